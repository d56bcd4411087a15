// Aggregate allocation: a record and all its arrays laid out in one block, so
// that one allocation builds it and one free releases it. Reservations only
// compute offsets; the end operations turn them into addresses.
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {
namespace {

// A refused reservation poisons the record: the end operations then produce
// nothing, so a caller that checks only the final block cannot miss it.
#define KELVO_AGGR_CHECK(Condition)                                                                \
    do {                                                                                           \
        if (!(Condition)) {                                                                        \
            Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,                                       \
                "%s(%d): " #Condition " was not true", KELVO_HERE);                                \
            Allocator.Failed = true;                                                               \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

kelvo_int64 Reserve(aggr_allocator &Allocator, void **Variable, kelvo_int64 PointerOffset,
                    kelvo_int32 Count, kelvo_int64 CountOffset, kelvo_int64 Size) {
    if (Allocator.Failed) {
        return -1;
    }
    KELVO_AGGR_CHECK(Size >= 0);
    KELVO_AGGR_CHECK(Allocator.PieceCount < AggrMaxPieces);
    kelvo_int64 Align = Allocator.Alignment;
    KELVO_AGGR_CHECK(Allocator.TotalSize <= INT64_MAX - Align);
    kelvo_int64 Offset = (Allocator.TotalSize + Align - 1) / Align * Align;
    KELVO_AGGR_CHECK(Size <= INT64_MAX - Offset);

    aggr_piece &Piece = Allocator.Pieces[Allocator.PieceCount++];
    Piece.Offset = Offset;
    Piece.Variable = Variable;
    Piece.PointerOffset = PointerOffset;
    Piece.Count = Count;
    Piece.CountOffset = CountOffset;
    Allocator.TotalSize = Offset + Size;
    if (Variable) {
        // Until the end operation the variable holds the piece's offset.
        *Variable = reinterpret_cast<void *>((kelvo_uintaddrx)Offset);
    }
    return Offset;
}

// Fields written into the block must lie inside it.
bool FieldsFit(aggr_allocator const &Allocator) {
    for (kelvo_int32 Index = 0; Index < Allocator.PieceCount; ++Index) {
        aggr_piece const &Piece = Allocator.Pieces[Index];
        if (Piece.Variable) {
            continue;
        }
        if (Piece.PointerOffset > Allocator.TotalSize - (kelvo_int64)sizeof(void *) ||
            (Piece.Count >= 0 &&
             Piece.CountOffset > Allocator.TotalSize - (kelvo_int64)sizeof(kelvo_int32))) {
            return false;
        }
    }
    return true;
}

// The block size, or -1 when the record cannot produce a block.
kelvo_int64 FinalSize(aggr_allocator const &Allocator) {
    if (Allocator.Failed) {
        return -1;
    }
    if (!FieldsFit(Allocator)) {
        Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
            "%s(%d): FieldsFit(Allocator) was not true", KELVO_HERE);
        return -1;
    }
    return Allocator.TotalSize;
}

void Place(aggr_allocator const &Allocator, kelvo_uint8 *Block) {
    for (kelvo_int32 Index = 0; Index < Allocator.PieceCount; ++Index) {
        aggr_piece const &Piece = Allocator.Pieces[Index];
        void *Address = Block + Piece.Offset;
        if (Piece.Variable) {
            *Piece.Variable = Address;
            continue;
        }
        // Field offsets come from the caller; they need not be aligned.
        memcpy(Block + Piece.PointerOffset, &Address, sizeof(Address));
        if (Piece.Count >= 0) {
            memcpy(Block + Piece.CountOffset, &Piece.Count, sizeof(Piece.Count));
        }
    }
}

} // namespace

void AggrInit(aggr_allocator &Allocator) {
    // Pointers inside the pieces need the machine's alignment.
    Allocator.Alignment = DefaultAlignment;
    Allocator.TotalSize = 0;
    Allocator.PieceCount = 0;
    Allocator.Failed = false;
    memset(Allocator.Pieces, 0, sizeof(Allocator.Pieces));
}

void SetAggrAlignment(aggr_allocator &Allocator, kelvo_int32 Alignment) {
    KELVO_CHECK(Alignment > 0, KelvoMemoryLogMessage, KELVO_NOTHING);
    Allocator.Alignment = Alignment;
}

kelvo_int64 AggrAllocSizePtr(aggr_allocator &Allocator, void **Variable, kelvo_int64 Size) {
    if (!Variable) {
        Log(KelvoErrorLogMessage, KelvoMemoryLogMessage, "%s(%d): Variable is not allowed to be 0",
            KELVO_HERE);
        Allocator.Failed = true;
        return -1;
    }
    return Reserve(Allocator, Variable, 0, -1, 0, Size);
}

kelvo_int64 AggrAllocOffsetSizePtr(aggr_allocator &Allocator, kelvo_int64 StructOffset,
                                   kelvo_int64 PointerFieldOffset, kelvo_int64 Size) {
    KELVO_AGGR_CHECK(StructOffset >= 0 && PointerFieldOffset >= 0);
    KELVO_AGGR_CHECK(StructOffset <= INT32_MAX && PointerFieldOffset <= INT32_MAX);
    return Reserve(Allocator, nullptr, StructOffset + PointerFieldOffset, -1, 0, Size);
}

kelvo_int64 AggrAllocOffsetArraySizePtr(aggr_allocator &Allocator, kelvo_int64 StructOffset,
                                        kelvo_int32 Count, kelvo_int64 CountFieldOffset,
                                        kelvo_int64 PointerFieldOffset, kelvo_int64 ElementSize) {
    KELVO_AGGR_CHECK(Count >= 0);
    KELVO_AGGR_CHECK(ElementSize >= 0 && ElementSize <= INT64_MAX / ((kelvo_int64)Count + 1));
    KELVO_AGGR_CHECK(StructOffset >= 0 && PointerFieldOffset >= 0 && CountFieldOffset >= 0);
    KELVO_AGGR_CHECK(StructOffset <= INT32_MAX && PointerFieldOffset <= INT32_MAX &&
                     CountFieldOffset <= INT32_MAX);
    return Reserve(Allocator, nullptr, StructOffset + PointerFieldOffset, Count,
                   StructOffset + CountFieldOffset, Count * ElementSize);
}

void *EndAggrAlloc(aggr_allocator &Allocator, char const *File, kelvo_int32 Line) {
    kelvo_int64 Size = FinalSize(Allocator);
    void *Block = nullptr;
    if (Size > INT32_MAX) {
        Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
            "%s(%d): FinalSize(Allocator) %I64d is out of range for an int32 Size", KELVO_HERE,
            Size);
    } else if (Size >= 0) {
        Block = CallAllocate(File, Line, Allocator.Alignment, (kelvo_int32)Size);
        if (Block) {
            Place(Allocator, static_cast<kelvo_uint8 *>(Block));
        }
    }
    AggrInit(Allocator);
    return Block;
}

void *EndAggrPlacement(aggr_allocator &Allocator, char const *File, kelvo_int32 Line,
                       void *Memory) {
    (void)File;
    (void)Line;
    kelvo_int64 Size = FinalSize(Allocator);
    if (Size >= 0 && Memory) {
        Place(Allocator, static_cast<kelvo_uint8 *>(Memory));
    } else if (Size >= 0) {
        Log(KelvoErrorLogMessage, KelvoMemoryLogMessage, "%s(%d): Memory is not allowed to be 0",
            KELVO_HERE);
    }
    AggrInit(Allocator);
    return Size >= 0 ? Memory : nullptr;
}

kelvo_int64 EndAggrSize(aggr_allocator &Allocator, char const *File, kelvo_int32 Line) {
    (void)File;
    (void)Line;
    kelvo_int64 Size = FinalSize(Allocator);
    AggrInit(Allocator);
    return Size;
}

kelvo_int32 ResultingSize(kelvo_int64 Size, kelvo_log_message_origin Origin) {
    if (Size < 0 || Size > INT32_MAX) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): EndAggrSize(Allocator) %I64d is out of range for an int32 ResultingSize",
            KELVO_HERE, Size);
        return 0;
    }
    return (kelvo_int32)Size;
}

} // namespace kelvo
