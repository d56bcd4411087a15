// Allocation: the process-wide callback pair, the default heap allocator with
// its list of live blocks (leak listings and allocation checks read it), the
// byte utilities and the thread-ownership check.
#include "foundation/kelvo_memory.h"
#include "kelvo_platform.h"

#include <stddef.h>
#include <string.h>

namespace kelvo {
namespace {

// Raw blocks come from the C heap, which aligns them for any type, so power-of-
// two alignments below the header's own keep the header aligned too.
static_assert(alignof(max_align_t) >= alignof(kelvo_allocation_header));

// The sentinel heads the circular live list; new blocks go right after it, so
// the list runs from the newest block to the oldest.
constinit kelvo_allocation_header Sentinel = {0, 0, nullptr, 0, nullptr, 0, &Sentinel, &Sentinel};

// Which headers are live, in constant time. A free consults it before reading
// anything before the pointer: a stale pointer's block may be unmapped already,
// and a foreign pointer may sit at the very start of a mapping.
class live_block_table {
  public:
    bool Insert(kelvo_allocation_header *Header) {
        if (Count >= GrowAt && !Grow()) {
            return false;
        }
        kelvo_uint32 Slot = Home(Header);
        while (Slots[Slot]) {
            Slot = (Slot + 1) & Mask;
        }
        Slots[Slot] = Header;
        ++Count;
        return true;
    }

    // The slot holding Header, or -1.
    kelvo_int64 Find(void const *Header) const {
        for (kelvo_uint32 Slot = Home(Header); Slots[Slot]; Slot = (Slot + 1) & Mask) {
            if (Slots[Slot] == Header) {
                return Slot;
            }
        }
        return -1;
    }

    // Linear probing without tombstones: later members of the run move back
    // into the hole unless their home lies between the hole and them.
    void RemoveAt(kelvo_uint32 Hole) {
        Slots[Hole] = nullptr;
        for (kelvo_uint32 Slot = (Hole + 1) & Mask; Slots[Slot]; Slot = (Slot + 1) & Mask) {
            kelvo_uint32 Wanted = Home(Slots[Slot]);
            if (((Slot - Wanted) & Mask) >= ((Slot - Hole) & Mask)) {
                Slots[Hole] = Slots[Slot];
                Slots[Slot] = nullptr;
                Hole = Slot;
            }
        }
        --Count;
    }

  private:
    // Headers within one 64 KiB region keep their order in the table, so that
    // blocks allocated together share cache lines of it; the regions
    // themselves are scattered, so that strided addresses do not pile up.
    kelvo_uint32 Home(void const *Header) const {
        kelvo_uintaddrx Address = (kelvo_uintaddrx)Header;
        kelvo_uint32 Base = (kelvo_uint32)(Address >> 16) * 0x9E3779B9u;
        return (Base + (kelvo_uint32)(Address >> 4)) & Mask;
    }

    __attribute__((noinline)) bool Grow() {
        kelvo_uint64 NewCapacity = Slots == &NoSlot ? 256 : ((kelvo_uint64)Mask + 1) * 2;
        kelvo_uint64 Bytes = NewCapacity * sizeof(kelvo_allocation_header *);
        if (Bytes > 0xFFFFFFFFu) {
            return false;
        }
        auto **NewSlots =
            static_cast<kelvo_allocation_header **>(PlatformHeapAllocate((kelvo_uint32)Bytes));
        if (!NewSlots) {
            return false;
        }
        memset(NewSlots, 0, (size_t)Bytes);
        kelvo_allocation_header **OldSlots = Slots;
        kelvo_uint32 OldCapacity = Mask + 1;
        Slots = NewSlots;
        Mask = (kelvo_uint32)NewCapacity - 1;
        GrowAt = (kelvo_uint32)(NewCapacity / 2);
        Count = 0;
        for (kelvo_uint32 Slot = 0; Slot < OldCapacity; ++Slot) {
            if (OldSlots[Slot]) {
                Insert(OldSlots[Slot]);
            }
        }
        if (OldSlots != &NoSlot) {
            PlatformHeapFree(OldSlots);
        }
        return true;
    }

    // Before the first block the table is one empty slot, so lookups need no
    // special case.
    static inline kelvo_allocation_header *NoSlot = nullptr;
    kelvo_allocation_header **Slots = &NoSlot;
    kelvo_uint32 Mask = 0;   // capacity - 1, a power of two less one
    kelvo_uint32 GrowAt = 0; // half the capacity
    kelvo_uint32 Count = 0;
};

constinit live_block_table LiveBlocks;

kelvo_allocation_header *HeaderOf(void const *Memory) {
    return reinterpret_cast<kelvo_allocation_header *>((kelvo_uintaddrx)Memory -
                                                       AllocationHeaderSize);
}

void *MemoryOf(kelvo_allocation_header const *Header) {
    return reinterpret_cast<void *>((kelvo_uintaddrx)Header + AllocationHeaderSize);
}

bool IsLiveBlock(void const *Memory) {
    return Memory && LiveBlocks.Find(HeaderOf(Memory)) >= 0;
}

kelvo_int64 GreatestCommonDivisor(kelvo_int64 A, kelvo_int64 B) {
    while (B) {
        kelvo_int64 Rest = A % B;
        A = B;
        B = Rest;
    }
    return A;
}

// Alignments that are not powers of two are rounded to a multiple of both
// themselves and the header's alignment, so that the header stays aligned.
__attribute__((noinline)) kelvo_int64 OddAlignment(kelvo_int64 Align) {
    kelvo_int64 HeaderAlign = alignof(kelvo_allocation_header);
    return Align / GreatestCommonDivisor(Align, HeaderAlign) * HeaderAlign;
}

__attribute__((noinline)) void *AllocationFailed(char const *File, kelvo_int32 Line,
                                                 kelvo_int32 Size, kelvo_int64 Request) {
    Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
        "%s(%d): Unable to allocate %I64d bytes (%d requested by %s:%d).", KELVO_HERE, Request,
        Size, File, Line);
    return nullptr;
}

void *KELVO_CALLBACK DefaultAllocate(char const *File, kelvo_int32 Line, kelvo_int32 Alignment,
                                     kelvo_int32 Size) {
    kelvo_int64 Align = Alignment < 1 ? 1 : Alignment;
    bool PowerOfTwo = (Align & (Align - 1)) == 0;
    if (!PowerOfTwo) {
        Align = OddAlignment(Align);
    }
    // Room for the header and for any placement of the aligned user pointer.
    kelvo_int64 Request = (kelvo_int64)Size + Align + AllocationHeaderSize - 1;
    if (Size < 0 || Request > INT32_MAX) {
        return AllocationFailed(File, Line, Size, Request);
    }
    void *Raw = PlatformHeapAllocate((kelvo_uint32)Request);
    if (!Raw) {
        return AllocationFailed(File, Line, Size, Request);
    }
    kelvo_uintaddrx User = (kelvo_uintaddrx)Raw + AllocationHeaderSize + (kelvo_uintaddrx)Align - 1;
    User = PowerOfTwo ? User & ~((kelvo_uintaddrx)Align - 1)
                      : User / (kelvo_uintaddrx)Align * (kelvo_uintaddrx)Align;
    kelvo_allocation_header *Header = HeaderOf(reinterpret_cast<void *>(User));
    if (!LiveBlocks.Insert(Header)) {
        PlatformHeapFree(Raw);
        return AllocationFailed(File, Line, Size, Request);
    }
    Header->Magic = AllocationMagic;
    Header->RequestedSize = Size;
    Header->RawBlock = Raw;
    Header->RawSize = (kelvo_int32)Request;
    Header->SourceFileName = File;
    Header->SourceLineNumber = Line;
    Header->Previous = &Sentinel;
    Header->Next = Sentinel.Next;
    Sentinel.Next->Previous = Header;
    Sentinel.Next = Header;
    return reinterpret_cast<void *>(User);
}

__attribute__((noinline)) void FreeRefused(char const *File, kelvo_int32 Line, void *Memory) {
    Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
        "%s(%d): %s:%d Attempted to free 0x%" KELVO_PTR_FORMAT
        ", which was not allocated by this allocator.",
        KELVO_HERE, File, Line, KELVO_PTR_ARG(Memory));
}

void KELVO_CALLBACK DefaultDeallocate(char const *File, kelvo_int32 Line, void *Memory) {
    if (!Memory) {
        return;
    }
    kelvo_allocation_header *Header = HeaderOf(Memory);
    kelvo_int64 Slot = LiveBlocks.Find(Header);
    // Only a block known to be live is read; its magic first, then the rest,
    // so that a header the caller overwrote is refused as well.
    if (Slot < 0 || Header->Magic != AllocationMagic || Header->RequestedSize == -1) {
        FreeRefused(File, Line, Memory);
        return;
    }
    LiveBlocks.RemoveAt((kelvo_uint32)Slot);
    Header->RequestedSize = -1;
    Header->Previous->Next = Header->Next;
    Header->Next->Previous = Header->Previous;
    PlatformHeapFree(Header->RawBlock);
}

constinit kelvo_allocate_callback *AllocateCallback = &DefaultAllocate;
constinit kelvo_deallocate_callback *DeallocateCallback = &DefaultDeallocate;

// Thread ownership: whoever last allowed global state changes owns the library.
constexpr kelvo_uint32 NoThread = 0xFFFFBEEFu;
constinit bool AllowGlobalStateChanges = true;
constinit kelvo_uint32 OwningThreadID = NoThread;
constinit kelvo_thread_id_callback *ThreadIDCallback = nullptr;

kelvo_uint32 CurrentThreadID() {
    return ThreadIDCallback ? ThreadIDCallback() : 0;
}

} // namespace

void *CallAllocate(char const *File, kelvo_int32 Line, kelvo_int32 Alignment, kelvo_int32 Size) {
    return AllocateCallback(File, Line, Alignment, Size);
}

void CallDeallocate(char const *File, kelvo_int32 Line, void *Memory) {
    DeallocateCallback(File, Line, Memory);
}

void SetUInt8(kelvo_int32 Count, kelvo_uint8 Value, void *Buffer) {
    if (Count > 0) {
        memset(Buffer, Value, (size_t)Count);
    }
}

void Copy(kelvo_int32 Count, void const *Source, void *Destination) {
    // Overlapping ranges are copied as if through a temporary.
    if (Count > 0) {
        memmove(Destination, Source, (size_t)Count);
    }
}

void Copy32(kelvo_int32 WordCount, void const *Source, void *Destination) {
    if (WordCount > 0) {
        memmove(Destination, Source, (size_t)WordCount * 4);
    }
}

bool Compare(kelvo_int32 Count, void const *A, void const *B) {
    return Count <= 0 || memcmp(A, B, (size_t)Count) == 0;
}

void Reverse32(kelvo_int32 Count, void *Buffer) {
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(Buffer);
    for (kelvo_int32 Offset = 0; Offset + 4 <= Count; Offset += 4) {
        kelvo_uint32 Word;
        memcpy(&Word, Bytes + Offset, 4);
        Word = __builtin_bswap32(Word);
        memcpy(Bytes + Offset, &Word, 4);
    }
}

void Reverse16(kelvo_int32 Count, void *Buffer) {
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(Buffer);
    kelvo_int32 Offset = 0;
    // Two elements per step while a whole pair remains.
    for (; Offset + 4 <= Count; Offset += 4) {
        kelvo_uint32 Pair;
        memcpy(&Pair, Bytes + Offset, 4);
        Pair = ((Pair & 0x00FF00FFu) << 8) | ((Pair >> 8) & 0x00FF00FFu);
        memcpy(Bytes + Offset, &Pair, 4);
    }
    if (Offset + 2 <= Count) {
        kelvo_uint8 First = Bytes[Offset];
        Bytes[Offset] = Bytes[Offset + 1];
        Bytes[Offset + 1] = First;
    }
}

bool GrowArray(kelvo_log_message_origin Origin, char const *ItemName, kelvo_int32 ItemSize,
               kelvo_int32 FirstCapacity, kelvo_int32 Count, kelvo_int32 &Capacity, void *&Items) {
    kelvo_int64 NewCapacity = Capacity ? 2 * (kelvo_int64)Capacity : FirstCapacity;
    kelvo_int64 Bytes = NewCapacity * ItemSize;
    if (Bytes > INT32_MAX) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): NewCapacity * sizeof(%s) %I64d is out of range for an int32 Size", KELVO_HERE,
            ItemName, Bytes);
        return false;
    }
    void *Grown = KELVO_ALLOCATE_SIZE((kelvo_int32)Bytes);
    if (!Grown) {
        return false;
    }
    Copy(Count * ItemSize, Items, Grown);
    if (Items) {
        KELVO_DEALLOCATE(Items);
    }
    Items = Grown;
    Capacity = (kelvo_int32)NewCapacity;
    return true;
}

} // namespace kelvo

using namespace kelvo;

KELVO_API void KelvoGetAllocator(kelvo_allocate_callback **AllocateCallbackOut,
                                 kelvo_deallocate_callback **DeallocateCallbackOut) {
    // Either may be null when the caller wants only the other.
    if (AllocateCallbackOut) {
        *AllocateCallbackOut = AllocateCallback;
    }
    if (DeallocateCallbackOut) {
        *DeallocateCallbackOut = DeallocateCallback;
    }
}

KELVO_API void KelvoSetAllocator(kelvo_allocate_callback *NewAllocateCallback,
                                 kelvo_deallocate_callback *NewDeallocateCallback) {
    // A null function would be called on the next allocation; keep the old pair.
    KELVO_CHECK_NOT_NULL(NewAllocateCallback, KelvoMemoryLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(NewDeallocateCallback, KelvoMemoryLogMessage, KELVO_NOTHING);
    AllocateCallback = NewAllocateCallback;
    DeallocateCallback = NewDeallocateCallback;
}

KELVO_API kelvo_allocation_header *KelvoAllocationsBegin(void) {
    return Sentinel.Next;
}

KELVO_API kelvo_allocation_header *KelvoNextAllocation(kelvo_allocation_header *Current) {
    KELVO_CHECK_NOT_NULL(Current, KelvoMemoryLogMessage, &Sentinel);
    return Current->Next;
}

KELVO_API kelvo_allocation_header *KelvoAllocationsEnd(void) {
    return &Sentinel;
}

KELVO_API void KelvoGetAllocationInformation(kelvo_allocation_header const *Header,
                                             kelvo_allocation_information *Information) {
    KELVO_CHECK_NOT_NULL(Header, KelvoMemoryLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Information, KelvoMemoryLogMessage, KELVO_NOTHING);
    Information->Memory = MemoryOf(Header);
    Information->RequestedSize = Header->RequestedSize;
    Information->ActualSize = Header->RequestedSize + AllocationHeaderSize;
    Information->SourceFileName = Header->SourceFileName;
    Information->SourceLineNumber = Header->SourceLineNumber;
}

KELVO_API void *KelvoBeginAllocationCheck(void) {
    // Blocks go in at the front, so everything allocated later lies before it.
    return CallAllocate(KELVO_HERE, 4, 0);
}

KELVO_API kelvo_allocation_header *KelvoCheckedAllocationsEnd(void *CheckIdentifier) {
    // A bad marker gives an empty iteration rather than a walk off the list.
    KELVO_CHECK(IsLiveBlock(CheckIdentifier), KelvoMemoryLogMessage, KelvoAllocationsBegin());
    return HeaderOf(CheckIdentifier);
}

KELVO_API kelvo_bool32 KelvoEndAllocationCheck(void *CheckIdentifier) {
    if (!IsLiveBlock(CheckIdentifier)) {
        // Not a marker of the default allocator: nothing to walk. It still came
        // from the allocate callback, so it goes back through the other one.
        Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
            "%s(%d): IsLiveBlock(CheckIdentifier) was not true", KELVO_HERE);
        CallDeallocate(KELVO_HERE, CheckIdentifier);
        return 0;
    }
    kelvo_allocation_header *Marker = HeaderOf(CheckIdentifier);
    bool Clean = Sentinel.Next == Marker;
    for (kelvo_allocation_header *Header = Sentinel.Next; Header != Marker; Header = Header->Next) {
        Log(KelvoWarningLogMessage, KelvoMemoryLogMessage,
            "%s(%d): Unfreed block %s:%d (%d bytes at 0x%" KELVO_PTR_FORMAT ")", KELVO_HERE,
            Header->SourceFileName, Header->SourceLineNumber, Header->RequestedSize,
            KELVO_PTR_ARG(MemoryOf(Header)));
    }
    CallDeallocate(KELVO_HERE, CheckIdentifier);
    return Clean;
}

KELVO_API void KelvoAcquireMemorySpinlock(void) {}

KELVO_API void KelvoReleaseMemorySpinlock(void) {}

KELVO_API void KelvoSetAllowGlobalStateChanges(kelvo_bool32 Allowed) {
    if (Allowed) {
        KELVO_CHECK(AllowGlobalStateChanges == false, KelvoThreadSafetyLogMessage, KELVO_NOTHING);
        OwningThreadID = CurrentThreadID();
        AllowGlobalStateChanges = true;
    } else {
        OwningThreadID = NoThread;
        AllowGlobalStateChanges = false;
    }
}

KELVO_API kelvo_bool32 KelvoGetAllowGlobalStateChanges(void) {
    return AllowGlobalStateChanges;
}

KELVO_API kelvo_thread_id_callback *KelvoSetThreadIDCallback(kelvo_thread_id_callback *Callback) {
    kelvo_thread_id_callback *Previous = ThreadIDCallback;
    ThreadIDCallback = Callback;
    if (AllowGlobalStateChanges) {
        OwningThreadID = CurrentThreadID();
    }
    return Previous;
}

KELVO_API kelvo_bool32 KelvoThreadAllowedToCallKelvo(void) {
    if (!ThreadIDCallback || !AllowGlobalStateChanges) {
        return 1;
    }
    return ThreadIDCallback() == OwningThreadID;
}
