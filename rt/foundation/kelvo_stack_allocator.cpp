// The stack allocator: an indexed array of equal-sized units that grows and
// shrinks at its end, one block at a time. Every block but the newest is full,
// which is what lets the optional directory find a unit's block by division.
#include "foundation/kelvo_memory.h"

namespace kelvo {
namespace {

bool HasDirectory(kelvo_stack_allocator const *Allocator) {
    return Allocator->MaxActiveBlocks >= 0;
}

bool PushBlock(kelvo_stack_allocator *Allocator) {
    if (HasDirectory(Allocator) &&
        (!Allocator->BlockDirectory || Allocator->ActiveBlocks >= Allocator->MaxActiveBlocks)) {
        return false;
    }
    kelvo_stack_allocator_block *Block;
    kelvo_uint8 *Units;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Block, sizeof(kelvo_stack_allocator_block));
    AggrAllocPtr(Aggr, &Units, (kelvo_int64)Allocator->UnitsPerBlock * Allocator->UnitSize);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return false;
    }
    Block->UsedUnitCount = 0;
    Block->Base = Units;
    Block->FirstIndex = Allocator->TotalUsedUnitCount;
    Block->Previous = Allocator->LastBlock;
    Allocator->LastBlock = Block;
    if (HasDirectory(Allocator)) {
        Allocator->BlockDirectory[Allocator->ActiveBlocks++] = Block;
    }
    return true;
}

// The caller has checked the record; the new unit is in the newest block.
bool NewUnit(kelvo_stack_allocator *Allocator, kelvo_int32 &Index) {
    Index = -1;
    if (Allocator->TotalUsedUnitCount == INT32_MAX) {
        return false;
    }
    kelvo_stack_allocator_block *Block = Allocator->LastBlock;
    if (!Block || Block->UsedUnitCount >= Allocator->UnitsPerBlock) {
        if (!PushBlock(Allocator)) {
            return false;
        }
        Block = Allocator->LastBlock;
    }
    ++Block->UsedUnitCount;
    Index = Allocator->TotalUsedUnitCount++;
    return true;
}

void PopUnits(kelvo_stack_allocator *Allocator, kelvo_int32 Count) {
    kelvo_stack_allocator_block *Block = Allocator->LastBlock;
    while (Block && Block->UsedUnitCount <= Count) {
        Count -= Block->UsedUnitCount;
        Allocator->TotalUsedUnitCount -= Block->UsedUnitCount;
        Allocator->LastBlock = Block->Previous;
        if (HasDirectory(Allocator) && Allocator->BlockDirectory) {
            Allocator->BlockDirectory[--Allocator->ActiveBlocks] = nullptr;
        }
        KELVO_DEALLOCATE(Block);
        Block = Allocator->LastBlock;
    }
    if (Block) {
        Block->UsedUnitCount -= Count;
        Allocator->TotalUsedUnitCount -= Count;
    }
}

kelvo_uint8 *UnitIn(kelvo_stack_allocator const *Allocator,
                    kelvo_stack_allocator_block const *Block, kelvo_int32 Index) {
    return Block->Base + (kelvo_int64)(Index - Block->FirstIndex) * Allocator->UnitSize;
}

bool IsUsable(kelvo_stack_allocator const *Allocator) {
    return Allocator->UnitSize >= 0 && Allocator->UnitsPerBlock > 0;
}

} // namespace
} // namespace kelvo

using namespace kelvo;

KELVO_API void KelvoStackInitialize(kelvo_stack_allocator *Allocator, kelvo_int32 UnitSize,
                                    kelvo_int32 UnitsPerBlock) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    Allocator->UnitSize = UnitSize;
    Allocator->UnitsPerBlock = UnitsPerBlock;
    Allocator->TotalUsedUnitCount = 0;
    Allocator->LastBlock = nullptr;
    Allocator->MaxUnits = -1;
    Allocator->ActiveBlocks = -1;
    Allocator->MaxActiveBlocks = -1;
    Allocator->BlockDirectory = nullptr;
    // Left as given; every later growth refuses such a record.
    KELVO_CHECK(IsUsable(Allocator), KelvoStackAllocatorLogMessage, KELVO_NOTHING);
}

KELVO_API void KelvoStackInitializeWithDirectory(kelvo_stack_allocator *Allocator,
                                                 kelvo_int32 UnitSize, kelvo_int32 UnitsPerBlock,
                                                 kelvo_int32 MaxUnits) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    KelvoStackInitialize(Allocator, UnitSize, UnitsPerBlock);
    // A directory of no slots until the checks pass: such a stack never grows.
    Allocator->MaxUnits = MaxUnits;
    Allocator->ActiveBlocks = 0;
    Allocator->MaxActiveBlocks = 0;
    KELVO_CHECK(MaxUnits >= 0, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    if (!IsUsable(Allocator)) {
        return;
    }
    kelvo_int64 BlockCount = ((kelvo_int64)MaxUnits + UnitsPerBlock - 1) / UnitsPerBlock;
    kelvo_stack_allocator_block **Directory;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, BlockCount, &Directory);
    if (EndAggrAlloc(Aggr, KELVO_HERE)) {
        SetUInt8((kelvo_int32)(BlockCount * (kelvo_int64)sizeof(*Directory)), 0, Directory);
        Allocator->BlockDirectory = Directory;
        Allocator->MaxActiveBlocks = (kelvo_int32)BlockCount;
    }
}

KELVO_API void KelvoStackCleanUp(kelvo_stack_allocator *Allocator) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    PopUnits(Allocator, Allocator->TotalUsedUnitCount);
    if (Allocator->BlockDirectory) {
        KELVO_DEALLOCATE(Allocator->BlockDirectory);
        // Without its directory the stack must not grow again.
        Allocator->BlockDirectory = nullptr;
    }
}

KELVO_API kelvo_int32 KelvoGetStackUnitCount(kelvo_stack_allocator const *Allocator) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, 0);
    return Allocator->TotalUsedUnitCount;
}

KELVO_API kelvo_bool32 KelvoNewStackUnit(kelvo_stack_allocator *Allocator, kelvo_int32 *Index) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, 0);
    if (Index) {
        *Index = -1;
    }
    KELVO_CHECK(IsUsable(Allocator), KelvoStackAllocatorLogMessage, 0);
    kelvo_int32 NewIndex;
    bool Result = NewUnit(Allocator, NewIndex);
    if (Index) {
        *Index = NewIndex;
    }
    return Result;
}

KELVO_API kelvo_bool32 KelvoMultipleNewStackUnits(kelvo_stack_allocator *Allocator,
                                                  kelvo_int32 UnitCount, kelvo_int32 *FirstIndex,
                                                  void const *InitialValue) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, 0);
    if (FirstIndex) {
        *FirstIndex = -1;
    }
    if (UnitCount < 1) {
        return 0;
    }
    KELVO_CHECK(IsUsable(Allocator), KelvoStackAllocatorLogMessage, 0);
    kelvo_int32 First = Allocator->TotalUsedUnitCount;
    for (kelvo_int32 Taken = 0; Taken < UnitCount; ++Taken) {
        kelvo_int32 Index;
        if (!NewUnit(Allocator, Index)) {
            // All or nothing: the caller cannot tell how many it got otherwise.
            PopUnits(Allocator, Taken);
            return 0;
        }
        if (InitialValue) {
            Copy(Allocator->UnitSize, InitialValue, UnitIn(Allocator, Allocator->LastBlock, Index));
        }
    }
    if (FirstIndex) {
        *FirstIndex = First;
    }
    return 1;
}

KELVO_API void *KelvoGetStackUnit(kelvo_stack_allocator *Allocator, kelvo_int32 Index) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, nullptr);
    KELVO_CHECK_INDEX(Index, Allocator->TotalUsedUnitCount, KelvoStackAllocatorLogMessage, nullptr);
    kelvo_stack_allocator_block *Block;
    if (HasDirectory(Allocator)) {
        Block = Allocator->BlockDirectory[Index / Allocator->UnitsPerBlock];
    } else {
        Block = Allocator->LastBlock;
        while (Block->FirstIndex > Index) {
            Block = Block->Previous;
        }
    }
    return UnitIn(Allocator, Block, Index);
}

KELVO_API void KelvoPopStackUnits(kelvo_stack_allocator *Allocator, kelvo_int32 UnitCount) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    KELVO_CHECK(UnitCount >= 0 && UnitCount <= Allocator->TotalUsedUnitCount,
                KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    PopUnits(Allocator, UnitCount);
}

KELVO_API void KelvoSerializeStack(kelvo_stack_allocator const *Allocator, void *Destination) {
    KELVO_CHECK_NOT_NULL(Allocator, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Destination, KelvoStackAllocatorLogMessage, KELVO_NOTHING);
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(Destination);
    for (kelvo_stack_allocator_block const *Block = Allocator->LastBlock; Block;
         Block = Block->Previous) {
        Copy((kelvo_int32)((kelvo_int64)Block->UsedUnitCount * Allocator->UnitSize), Block->Base,
             Bytes + (kelvo_int64)Block->FirstIndex * Allocator->UnitSize);
    }
}
