// The fixed allocator: equal-sized units from a chain of blocks, each with its
// own free list. A block that gets all its units back is freed at once.
//
// Block layout, one aggregate: the block record, one in-use bit per unit, the
// units. The bits let a free tell a handed-out unit from one already returned
// or from a pointer into the middle of a unit; pushing either onto the free
// list would let the block be freed under its live units.
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {
namespace {

static_assert(sizeof(kelvo_fixed_allocator_block) % DefaultAlignment == 0,
              "the in-use bits follow the block record directly");

constexpr kelvo_int32 MinimumUnitSize = 4; // room for the free-list link
constexpr kelvo_int32 MinimumUnitsPerBlock = 64;

kelvo_uint8 *InUseBits(kelvo_fixed_allocator_block *Block) {
    return reinterpret_cast<kelvo_uint8 *>(Block + 1);
}

bool ListIsSetUp(kelvo_fixed_allocator const *Allocator) {
    return Allocator->Sentinel.Next != nullptr;
}

void Unlink(kelvo_fixed_allocator_block *Block) {
    Block->Previous->Next = Block->Next;
    Block->Next->Previous = Block->Previous;
}

kelvo_uint8 *UnitAt(kelvo_fixed_allocator const *Allocator, kelvo_fixed_allocator_block *Block,
                    kelvo_int32 Index) {
    return Block->Units + (kelvo_int64)Index * Allocator->UnitSize;
}

kelvo_fixed_allocator_block *AppendBlock(kelvo_fixed_allocator *Allocator) {
    kelvo_fixed_allocator_block *Block;
    kelvo_uint8 *Bits;
    kelvo_uint8 *Units;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Block, sizeof(kelvo_fixed_allocator_block));
    AggrAllocPtr(Aggr, &Bits, ((kelvo_int64)Allocator->UnitsPerBlock + 7) / 8);
    AggrAllocPtr(Aggr, &Units, (kelvo_int64)Allocator->UnitsPerBlock * Allocator->UnitSize);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    SetUInt8((Allocator->UnitsPerBlock + 7) / 8, 0, Bits);
    Block->UnitCount = 0;
    Block->FirstFreeIndex = -1;
    Block->Units = Units;
    Block->Next = &Allocator->Sentinel;
    Block->Previous = Allocator->Sentinel.Previous;
    Block->Previous->Next = Block;
    Allocator->Sentinel.Previous = Block;
    return Block;
}

// The block whose units span Memory, or null.
kelvo_fixed_allocator_block *BlockHolding(kelvo_fixed_allocator *Allocator, void const *Memory) {
    if (!ListIsSetUp(Allocator)) {
        return nullptr;
    }
    kelvo_uintaddrx Address = (kelvo_uintaddrx)Memory;
    kelvo_uintaddrx Span = (kelvo_uintaddrx)Allocator->UnitsPerBlock * Allocator->UnitSize;
    for (kelvo_fixed_allocator_block *Block = Allocator->Sentinel.Next;
         Block != &Allocator->Sentinel; Block = Block->Next) {
        kelvo_uintaddrx First = (kelvo_uintaddrx)Block->Units;
        if (Address >= First && Address - First < Span) {
            return Block;
        }
    }
    return nullptr;
}

} // namespace
} // namespace kelvo

using namespace kelvo;

KELVO_API void KelvoInitializeFixedAllocator(kelvo_fixed_allocator *Allocator,
                                             kelvo_int32 UnitSize) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoFixedAllocatorLogMessage, KELVO_NOTHING);
    SetUInt8(sizeof(*Allocator), 0, Allocator);
    Allocator->UnitSize = UnitSize;
}

KELVO_API void *KelvoAllocateFixed(kelvo_fixed_allocator *Allocator) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoFixedAllocatorLogMessage, nullptr);
    if (Allocator->UnitSize == 0) {
        Log(KelvoErrorLogMessage, KelvoFixedAllocatorLogMessage,
            "%s(%d): The fixed allocator cannot be used with a unit size of 0.", KELVO_HERE);
        return nullptr;
    }
    KELVO_CHECK(Allocator->UnitSize > 0, KelvoFixedAllocatorLogMessage, nullptr);

    if (Allocator->UnitsPerBlock == 0 || !ListIsSetUp(Allocator)) {
        if (Allocator->UnitSize < MinimumUnitSize) {
            Allocator->UnitSize = MinimumUnitSize;
        }
        if (Allocator->UnitsPerBlock != 0) {
            Allocator->UnitsPerBlock = 4000 / Allocator->UnitSize;
        }
        if (Allocator->UnitsPerBlock < MinimumUnitsPerBlock) {
            Allocator->UnitsPerBlock = MinimumUnitsPerBlock;
        }
        if (!ListIsSetUp(Allocator)) {
            Allocator->Sentinel.Next = Allocator->Sentinel.Previous = &Allocator->Sentinel;
        }
    }

    kelvo_fixed_allocator_block *Block = Allocator->Sentinel.Next;
    while (Block != &Allocator->Sentinel && Block->FirstFreeIndex < 0 &&
           Block->UnitCount >= Allocator->UnitsPerBlock) {
        Block = Block->Next;
    }
    if (Block == &Allocator->Sentinel) {
        Block = AppendBlock(Allocator);
        if (!Block) {
            return nullptr;
        }
    }

    // With the free list empty, the units handed out are exactly those below
    // the used count, so that index is the first fresh one.
    kelvo_int32 Index = Block->FirstFreeIndex;
    if (Index >= 0) {
        memcpy(&Block->FirstFreeIndex, UnitAt(Allocator, Block, Index), sizeof(kelvo_int32));
    } else {
        Index = Block->UnitCount;
    }
    InUseBits(Block)[Index / 8] |= (kelvo_uint8)(1u << (Index % 8));
    ++Block->UnitCount;
    return UnitAt(Allocator, Block, Index);
}

KELVO_API void KelvoDeallocateFixed(kelvo_fixed_allocator *Allocator, void *Memory) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoFixedAllocatorLogMessage, KELVO_NOTHING);
    if (!Memory) {
        return;
    }
    kelvo_fixed_allocator_block *Block = BlockHolding(Allocator, Memory);
    kelvo_int32 Index = -1;
    if (Block) {
        kelvo_uintaddrx Offset = (kelvo_uintaddrx)Memory - (kelvo_uintaddrx)Block->Units;
        kelvo_uint8 *Bits = InUseBits(Block);
        Index = (kelvo_int32)(Offset / (kelvo_uintaddrx)Allocator->UnitSize);
        if (Offset % (kelvo_uintaddrx)Allocator->UnitSize != 0 ||
            !(Bits[Index / 8] & (1u << (Index % 8)))) {
            Index = -1;
        }
    }
    if (Index < 0) {
        Log(KelvoErrorLogMessage, KelvoFixedAllocatorLogMessage,
            "%s(%d): Memory block 0x%" KELVO_PTR_FORMAT " was not allocated by this allocator.",
            KELVO_HERE, KELVO_PTR_ARG(Memory));
        return;
    }
    InUseBits(Block)[Index / 8] &= (kelvo_uint8) ~(1u << (Index % 8));
    if (--Block->UnitCount == 0) {
        Unlink(Block);
        KELVO_DEALLOCATE(Block);
        return;
    }
    memcpy(Memory, &Block->FirstFreeIndex, sizeof(kelvo_int32));
    Block->FirstFreeIndex = Index;
}

KELVO_API void KelvoDeallocateAllFixed(kelvo_fixed_allocator *Allocator) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoFixedAllocatorLogMessage, KELVO_NOTHING);
    if (!ListIsSetUp(Allocator)) {
        return;
    }
    while (Allocator->Sentinel.Next != &Allocator->Sentinel) {
        kelvo_fixed_allocator_block *Block = Allocator->Sentinel.Next;
        Unlink(Block);
        KELVO_DEALLOCATE(Block);
    }
}
