// The internal side of allocation: the calls every module allocates through,
// the aggregate allocation and the byte utilities.
#ifndef KELVO_MEMORY_INTERNAL_H
#define KELVO_MEMORY_INTERNAL_H

#include "foundation/kelvo_log.h"
#include "kelvo2/kelvo2_memory.h"

#include <new>

namespace kelvo {

// Alignment of ordinary blocks: 4 in the 32-bit build, and wide enough for the
// machine's pointers elsewhere.
constexpr kelvo_int32 DefaultAlignment = alignof(void *) > 4 ? (kelvo_int32)alignof(void *) : 4;

// Through the installed callbacks, with the allocating statement's location.
void *CallAllocate(char const *File, kelvo_int32 Line, kelvo_int32 Alignment, kelvo_int32 Size);
void CallDeallocate(char const *File, kelvo_int32 Line, void *Memory);

} // namespace kelvo

// The default allocator's header, directly before every block it hands out.
// The fields keep their natural alignment, so the header is 32 bytes in the
// 32-bit build and 56 bytes in 64-bit builds, where the pointers widen.
struct kelvo_allocation_header {
    kelvo_uint32 Magic;        // AllocationMagic while the block is live
    kelvo_int32 RequestedSize; // -1 once freed
    void *RawBlock;            // what the heap returned
    kelvo_int32 RawSize;       // bytes asked of the heap
    char const *SourceFileName;
    kelvo_int32 SourceLineNumber;
    kelvo_allocation_header *Next;     // older block
    kelvo_allocation_header *Previous; // newer block
};

namespace kelvo {

constexpr kelvo_uint32 AllocationMagic = 0xCA5ECA5Eu;
constexpr kelvo_int32 AllocationHeaderSize = (kelvo_int32)sizeof(kelvo_allocation_header);
static_assert(sizeof(void *) != 4 || AllocationHeaderSize == 32, "32-bit header is 32 bytes");
static_assert(sizeof(void *) != 8 || AllocationHeaderSize == 56, "64-bit header is 56 bytes");

} // namespace kelvo

#define KELVO_ALLOCATE_SIZE(Size) ::kelvo::CallAllocate(KELVO_HERE, ::kelvo::DefaultAlignment, Size)
#define KELVO_ALLOCATE_ALIGNED(Alignment, Size) ::kelvo::CallAllocate(KELVO_HERE, Alignment, Size)
#define KELVO_ALLOCATE(Type)                                                                       \
    static_cast<Type *>(                                                                           \
        ::kelvo::CallAllocate(KELVO_HERE, ::kelvo::DefaultAlignment, (kelvo_int32)sizeof(Type)))
#define KELVO_DEALLOCATE(Memory) ::kelvo::CallDeallocate(KELVO_HERE, Memory)
// A record of the library's memory holding Type{...}, or null.
#define KELVO_NEW(Type, ...) ::kelvo::NewRecord<Type>(KELVO_HERE, Type{__VA_ARGS__})

namespace kelvo {
template <typename type>
type *NewRecord(char const *SourceFileName, kelvo_int32 SourceLineNumber, type const &Value) {
    void *Memory =
        CallAllocate(SourceFileName, SourceLineNumber, DefaultAlignment, (kelvo_int32)sizeof(type));
    return Memory ? new (Memory) type(Value) : nullptr;
}
// Frees a singly linked chain of records through their Next members.
template <typename type>
void DeallocateChain(char const *SourceFileName, kelvo_int32 SourceLineNumber, type *First) {
    while (First) {
        type *Next = First->Next;
        CallDeallocate(SourceFileName, SourceLineNumber, First);
        First = Next;
    }
}
} // namespace kelvo
#define KELVO_DEALLOCATE_CHAIN(First) ::kelvo::DeallocateChain(KELVO_HERE, First)

namespace kelvo {

// Aggregate allocation: one block carved into aligned pieces. Reservations
// return the piece's offset; the end operation turns offsets into addresses.
// Sizes are kept in 64 bits so that overflow is caught, not wrapped.
constexpr int AggrMaxPieces = 64;

struct aggr_piece {
    kelvo_int64 Offset;
    void **Variable;           // receives the address, or null ...
    kelvo_int64 PointerOffset; // ... and then the pointer field in the block does
    kelvo_int32 Count;         // -1 when no count field is written
    kelvo_int64 CountOffset;
};

struct aggr_allocator {
    kelvo_int32 Alignment;
    kelvo_int64 TotalSize;
    kelvo_int32 PieceCount;
    bool Failed; // a bad reservation; the end operations then produce nothing
    aggr_piece Pieces[AggrMaxPieces];
};

void AggrInit(aggr_allocator &Allocator);
void SetAggrAlignment(aggr_allocator &Allocator, kelvo_int32 Alignment);
kelvo_int64 AggrAllocSizePtr(aggr_allocator &Allocator, void **Variable, kelvo_int64 Size);
kelvo_int64 AggrAllocOffsetSizePtr(aggr_allocator &Allocator, kelvo_int64 StructOffset,
                                   kelvo_int64 PointerFieldOffset, kelvo_int64 Size);
kelvo_int64 AggrAllocOffsetArraySizePtr(aggr_allocator &Allocator, kelvo_int64 StructOffset,
                                        kelvo_int32 Count, kelvo_int64 CountFieldOffset,
                                        kelvo_int64 PointerFieldOffset, kelvo_int64 ElementSize);
// Null on failure; then no address is stored anywhere.
void *EndAggrAlloc(aggr_allocator &Allocator, char const *File, kelvo_int32 Line);
void *EndAggrPlacement(aggr_allocator &Allocator, char const *File, kelvo_int32 Line, void *Memory);
// The block size the reservations need, or -1 after a bad reservation.
kelvo_int64 EndAggrSize(aggr_allocator &Allocator, char const *File, kelvo_int32 Line);
// A size for the int32 ResultingSize of the size queries: 0, reported under
// Origin, when it is -1 or does not fit.
kelvo_int32 ResultingSize(kelvo_int64 Size, kelvo_log_message_origin Origin);

template <typename T>
kelvo_int64 AggrAllocPtr(aggr_allocator &Allocator, T **Variable, kelvo_int64 Size) {
    return AggrAllocSizePtr(Allocator, reinterpret_cast<void **>(Variable), Size);
}
template <typename T>
kelvo_int64 AggrAllocArrayPtr(aggr_allocator &Allocator, kelvo_int64 Count, T **Variable) {
    // A count whose byte size would not fit is refused like a negative one.
    bool Fits = Count >= 0 && Count <= INT64_MAX / (kelvo_int64)sizeof(T);
    return AggrAllocSizePtr(Allocator, reinterpret_cast<void **>(Variable),
                            Fits ? Count * (kelvo_int64)sizeof(T) : -1);
}

// Doubles an array of Count items (to FirstCapacity when it has room for
// none), keeping the items and freeing the old block. False, reported under
// Origin, when the bytes would not fit an int32 or the allocation fails;
// the array is then unchanged.
bool GrowArray(kelvo_log_message_origin Origin, char const *ItemName, kelvo_int32 ItemSize,
               kelvo_int32 FirstCapacity, kelvo_int32 Count, kelvo_int32 &Capacity, void *&Items);
template <typename item>
bool GrowArray(kelvo_log_message_origin Origin, char const *ItemName, kelvo_int32 FirstCapacity,
               kelvo_int32 Count, kelvo_int32 &Capacity, item *&Items) {
    void *Block = Items;
    bool Grown = GrowArray(Origin, ItemName, (kelvo_int32)sizeof(item), FirstCapacity, Count,
                           Capacity, Block);
    Items = static_cast<item *>(Block);
    return Grown;
}

// For records that own memory: copying one would free it twice.
struct no_copy {
    no_copy() = default;
    no_copy(no_copy const &) = delete;
    no_copy &operator=(no_copy const &) = delete;
};

// Byte utilities; counts are in bytes.
void SetUInt8(kelvo_int32 Count, kelvo_uint8 Value, void *Buffer);
void Copy(kelvo_int32 Count, void const *Source, void *Destination);
void Copy32(kelvo_int32 WordCount, void const *Source, void *Destination);
bool Compare(kelvo_int32 Count, void const *A, void const *B);
// Reverses every whole 4-byte (2-byte) element of the range.
void Reverse32(kelvo_int32 Count, void *Buffer);
void Reverse16(kelvo_int32 Count, void *Buffer);

} // namespace kelvo

#endif
