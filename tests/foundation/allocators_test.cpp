// The fixed allocator, the stack allocator and the memory arena.
#include "foundation/kelvo_memory.h"
#include "kelvo_test.h"

#include <map>
#include <random>
#include <string.h>

namespace {

class MemoryFixedTest : public KelvoTest {};
class MemoryStackTest : public KelvoTest {};
class MemoryArenaTest : public KelvoTest {};

int BlockCount(kelvo_fixed_allocator const &Allocator) {
    int Count = 0;
    for (kelvo_fixed_allocator_block const *Block = Allocator.Sentinel.Next;
         Block && Block != &Allocator.Sentinel; Block = Block->Next) {
        ++Count;
    }
    return Count;
}

TEST_F(MemoryFixedTest, SmallUnitsAreFourBytesSixtyFourToABlock) {
    kelvo_fixed_allocator Allocator;
    KelvoInitializeFixedAllocator(&Allocator, 2);
    std::vector<kelvo_uint8 *> Units;
    for (int Index = 0; Index < 65; ++Index) {
        Units.push_back(static_cast<kelvo_uint8 *>(KelvoAllocateFixed(&Allocator)));
        ASSERT_NE(Units.back(), nullptr);
    }
    EXPECT_EQ(Allocator.UnitSize, 4);
    EXPECT_EQ(Allocator.UnitsPerBlock, 64);
    EXPECT_EQ(BlockCount(Allocator), 2);
    for (int Index = 1; Index < 64; ++Index) {
        EXPECT_EQ(Units[Index] - Units[Index - 1], 4);
    }
    // Returning every unit of the first block frees that block.
    for (int Index = 0; Index < 64; ++Index) {
        KelvoDeallocateFixed(&Allocator, Units[Index]);
    }
    EXPECT_EQ(BlockCount(Allocator), 1);
    KelvoDeallocateFixed(&Allocator, Units[64]);
    EXPECT_EQ(BlockCount(Allocator), 0);
}

TEST_F(MemoryFixedTest, BlockSizeFollowsAPresetUnitsPerBlock) {
    kelvo_fixed_allocator Allocator;
    KelvoInitializeFixedAllocator(&Allocator, 10);
    Allocator.UnitsPerBlock = 1;
    void *Unit = KelvoAllocateFixed(&Allocator);
    EXPECT_EQ(Allocator.UnitsPerBlock, 400);
    KelvoDeallocateFixed(&Allocator, Unit);

    KelvoInitializeFixedAllocator(&Allocator, 100); // 4000 / 100 is below the minimum
    Allocator.UnitsPerBlock = 1;
    Unit = KelvoAllocateFixed(&Allocator);
    EXPECT_EQ(Allocator.UnitsPerBlock, 64);
    KelvoDeallocateAllFixed(&Allocator);
}

// Random traffic against a model: every live unit keeps its contents, units
// never overlap, and returned units are handed out again before fresh ones.
TEST_F(MemoryFixedTest, RandomTrafficKeepsUnitsIntact) {
    kelvo_fixed_allocator Allocator;
    KelvoInitializeFixedAllocator(&Allocator, 5); // odd size: unaligned free-list links
    std::map<kelvo_uint8 *, kelvo_uint8> Live;
    std::mt19937 Random(3);
    kelvo_uint8 Stamp = 0;
    for (int Step = 0; Step < 20000; ++Step) {
        if (Live.empty() || Random() % 5 < 3) {
            auto *Unit = static_cast<kelvo_uint8 *>(KelvoAllocateFixed(&Allocator));
            ASSERT_NE(Unit, nullptr);
            ASSERT_EQ(Live.count(Unit), 0u);
            memset(Unit, ++Stamp, 5);
            Live[Unit] = Stamp;
        } else {
            auto It = Live.begin();
            std::advance(It, Random() % Live.size());
            for (int Byte = 0; Byte < 5; ++Byte) {
                ASSERT_EQ(It->first[Byte], It->second);
            }
            KelvoDeallocateFixed(&Allocator, It->first);
            Live.erase(It);
        }
    }
    for (auto const &[Unit, Value] : Live) {
        for (int Byte = 0; Byte < 5; ++Byte) {
            ASSERT_EQ(Unit[Byte], Value);
        }
    }
    // Neighbouring units never overlap.
    for (auto It = Live.begin(); It != Live.end() && std::next(It) != Live.end(); ++It) {
        ASSERT_GE(std::next(It)->first - It->first, 5);
    }
    KelvoDeallocateAllFixed(&Allocator);
    EXPECT_EQ(BlockCount(Allocator), 0);
}

TEST_F(MemoryFixedTest, ForeignAndRepeatedFreesAreRefused) {
    kelvo_fixed_allocator Allocator;
    KelvoInitializeFixedAllocator(&Allocator, 16);
    auto *A = static_cast<kelvo_uint8 *>(KelvoAllocateFixed(&Allocator));
    auto *B = static_cast<kelvo_uint8 *>(KelvoAllocateFixed(&Allocator));

    kelvo_fixed_allocator Other;
    KelvoInitializeFixedAllocator(&Other, 16);
    void *Theirs = KelvoAllocateFixed(&Other);
    KelvoDeallocateFixed(&Allocator, Theirs);
    ExpectLogged(KelvoErrorLogMessage, "was not allocated by this allocator.");
    void *Heap = KELVO_ALLOCATE_SIZE(16);
    KelvoDeallocateFixed(&Allocator, Heap);
    ExpectLogged(KelvoErrorLogMessage, "was not allocated by this allocator.");
    KELVO_DEALLOCATE(Heap);

    // Inside a unit, and a unit not handed out yet.
    KelvoDeallocateFixed(&Allocator, A + 3);
    ExpectLogged(KelvoErrorLogMessage, "was not allocated by this allocator.");
    KelvoDeallocateFixed(&Allocator, B + 16);
    ExpectLogged(KelvoErrorLogMessage, "was not allocated by this allocator.");

    // A second free would otherwise count the block empty with B still in it.
    KelvoDeallocateFixed(&Allocator, A);
    KelvoDeallocateFixed(&Allocator, A);
    ExpectLogged(KelvoErrorLogMessage, "was not allocated by this allocator.");
    EXPECT_EQ(BlockCount(Allocator), 1);
    memset(B, 0x5A, 16);
    EXPECT_EQ(KelvoAllocateFixed(&Allocator), A); // the returned unit comes back first
    KelvoDeallocateAllFixed(&Allocator);
    KelvoDeallocateAllFixed(&Other);
}

TEST_F(MemoryFixedTest, ZeroUnitSizeIsRefused) {
    kelvo_fixed_allocator Allocator;
    KelvoInitializeFixedAllocator(&Allocator, 0);
    EXPECT_EQ(KelvoAllocateFixed(&Allocator), nullptr);
    ExpectLogged(KelvoErrorLogMessage,
                 "): The fixed allocator cannot be used with a unit size of 0.");
    KelvoInitializeFixedAllocator(&Allocator, -4);
    EXPECT_EQ(KelvoAllocateFixed(&Allocator), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Allocator->UnitSize > 0 was not true");
    // A block that cannot be sized fails cleanly.
    KelvoInitializeFixedAllocator(&Allocator, INT32_MAX / 8);
    EXPECT_EQ(KelvoAllocateFixed(&Allocator), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "is out of range for an int32 Size");
    KelvoDeallocateFixed(&Allocator, nullptr); // allowed
    KelvoDeallocateAllFixed(&Allocator);
}

// ---- stack allocator --------------------------------------------------------

void FillWithIndices(kelvo_stack_allocator &Stack, int Count) {
    for (int Unit = 0; Unit < Count; ++Unit) {
        kelvo_int32 Index;
        ASSERT_TRUE(KelvoNewStackUnit(&Stack, &Index));
        ASSERT_EQ(Index, Unit);
        *static_cast<kelvo_int32 *>(KelvoGetStackUnit(&Stack, Index)) = Index * 3;
    }
}

void ExpectIndices(kelvo_stack_allocator &Stack) {
    kelvo_int32 Count = KelvoGetStackUnitCount(&Stack);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        ASSERT_EQ(*static_cast<kelvo_int32 *>(KelvoGetStackUnit(&Stack, Index)), Index * 3);
    }
    std::vector<kelvo_int32> Flat(Count + 1, -7);
    KelvoSerializeStack(&Stack, Flat.data());
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        ASSERT_EQ(Flat[Index], Index * 3);
    }
    EXPECT_EQ(Flat[Count], -7); // nothing past the used units
}

TEST_F(MemoryStackTest, DirectoryBoundsTheStack) {
    kelvo_stack_allocator Stack;
    KelvoStackInitializeWithDirectory(&Stack, 4, 64, 100);
    EXPECT_EQ(Stack.MaxActiveBlocks, 2);
    FillWithIndices(Stack, 128);
    kelvo_int32 Index = 5;
    EXPECT_FALSE(KelvoNewStackUnit(&Stack, &Index));
    EXPECT_EQ(Index, -1);
    EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 128);
    ExpectIndices(Stack);
    KelvoStackCleanUp(&Stack);
    EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 0);
    // Its directory is gone, so it cannot grow again.
    EXPECT_FALSE(KelvoNewStackUnit(&Stack, &Index));
}

TEST_F(MemoryStackTest, PopsFreeEmptiedBlocks) {
    for (bool Directory : {false, true}) {
        kelvo_stack_allocator Stack;
        if (Directory) {
            KelvoStackInitializeWithDirectory(&Stack, 4, 8, 1000);
        } else {
            KelvoStackInitialize(&Stack, 4, 8);
        }
        FillWithIndices(Stack, 20); // blocks of 8, 8 and 4
        kelvo_stack_allocator_block *Second = Stack.LastBlock->Previous;
        KelvoPopStackUnits(&Stack, 4); // exactly the newest block
        EXPECT_EQ(Stack.LastBlock, Second);
        EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 16);
        KelvoPopStackUnits(&Stack, 3);
        EXPECT_EQ(Stack.LastBlock, Second);
        EXPECT_EQ(Stack.LastBlock->UsedUnitCount, 5);
        ExpectIndices(Stack);
        KelvoPopStackUnits(&Stack, 6); // across a block boundary
        EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 7);
        if (Directory) {
            EXPECT_EQ(Stack.ActiveBlocks, 1);
            EXPECT_EQ(Stack.BlockDirectory[1], nullptr);
        }
        for (kelvo_int32 Index = 7; Index < 30; ++Index) {
            kelvo_int32 New;
            ASSERT_TRUE(KelvoNewStackUnit(&Stack, &New));
            *static_cast<kelvo_int32 *>(KelvoGetStackUnit(&Stack, New)) = New * 3;
        }
        ExpectIndices(Stack);
        KelvoStackCleanUp(&Stack);
    }
}

TEST_F(MemoryStackTest, MultipleUnitsAreAllOrNothing) {
    kelvo_stack_allocator Stack;
    KelvoStackInitializeWithDirectory(&Stack, 8, 4, 12);
    kelvo_int32 First = 9;
    EXPECT_FALSE(KelvoMultipleNewStackUnits(&Stack, 0, &First, nullptr));
    EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 0);
    EXPECT_EQ(Stack.LastBlock, nullptr);

    double Value = 2.5;
    EXPECT_TRUE(KelvoMultipleNewStackUnits(&Stack, 3, &First, &Value));
    EXPECT_EQ(First, 0);
    Value = -1;
    EXPECT_TRUE(KelvoMultipleNewStackUnits(&Stack, 7, &First, &Value));
    EXPECT_EQ(First, 3);
    EXPECT_EQ(*static_cast<double *>(KelvoGetStackUnit(&Stack, 2)), 2.5);
    EXPECT_EQ(*static_cast<double *>(KelvoGetStackUnit(&Stack, 9)), -1);

    // Only two of five fit: nothing is taken.
    EXPECT_FALSE(KelvoMultipleNewStackUnits(&Stack, 5, &First, &Value));
    EXPECT_EQ(First, -1);
    EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 10);
    EXPECT_EQ(Stack.ActiveBlocks, 3);
    KelvoStackCleanUp(&Stack);
}

TEST_F(MemoryStackTest, BadIndicesAndCountsAreRefused) {
    kelvo_stack_allocator Stack;
    KelvoStackInitialize(&Stack, 4, 16);
    FillWithIndices(Stack, 5);
    EXPECT_EQ(KelvoGetStackUnit(&Stack, 5), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "): Index 5 is out of range [0, 5)");
    EXPECT_EQ(KelvoGetStackUnit(&Stack, -1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "): Index -1 is out of range [0, 5)");
    EXPECT_EQ(Captured.size(), 0u);

    KelvoPopStackUnits(&Stack, 6);
    ExpectLogged(KelvoErrorLogMessage, "was not true");
    KelvoPopStackUnits(&Stack, -1);
    ExpectLogged(KelvoErrorLogMessage, "was not true");
    EXPECT_EQ(KelvoGetStackUnitCount(&Stack), 5);
    ExpectIndices(Stack);
    KelvoStackCleanUp(&Stack);

    KelvoStackInitialize(&Stack, 4, 0);
    ExpectLogged(KelvoErrorLogMessage, "IsUsable(Allocator) was not true");
    kelvo_int32 Index;
    EXPECT_FALSE(KelvoNewStackUnit(&Stack, &Index));
    ExpectLogged(KelvoErrorLogMessage, "IsUsable(Allocator) was not true");
    KelvoStackInitializeWithDirectory(&Stack, 4, 4, -1);
    ExpectLogged(KelvoErrorLogMessage, "MaxUnits >= 0 was not true");
    EXPECT_FALSE(KelvoNewStackUnit(&Stack, &Index));
    KelvoStackCleanUp(&Stack);
}

// ---- memory arena -----------------------------------------------------------

TEST_F(MemoryArenaTest, BlocksAreFreedTogether) {
    kelvo_memory_arena *Arena = KelvoNewMemoryArena();
    ASSERT_NE(Arena, nullptr);
    std::vector<char *> Pieces;
    for (int Size : {1, 100, 0, 7}) {
        char *Piece = static_cast<char *>(KelvoMemoryArenaPush(Arena, Size));
        ASSERT_NE(Piece, nullptr);
        EXPECT_EQ((uintptr_t)Piece % kelvo::DefaultAlignment, 0u);
        memset(Piece, Size, Size);
        Pieces.push_back(Piece);
    }
    EXPECT_EQ(Pieces[1][99], 100);
    EXPECT_EQ(KelvoMemoryArenaPush(Arena, -1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Size >= 0 was not true");

    void *Marker = KelvoBeginAllocationCheck();
    KelvoClearArena(Arena);
    KelvoClearArena(Arena);
    EXPECT_TRUE(KelvoEndAllocationCheck(Marker));
    EXPECT_NE(KelvoMemoryArenaPush(Arena, 16), nullptr); // still usable
    KelvoFreeMemoryArena(Arena);
}

// Every entry point refuses a null record instead of crashing.
TEST_F(MemoryArenaTest, NullRecordsAreRefused) {
    KelvoMemoryArenaPush(nullptr, 4);
    KelvoClearArena(nullptr);
    KelvoFreeMemoryArena(nullptr);
    KelvoInitializeFixedAllocator(nullptr, 4);
    KelvoAllocateFixed(nullptr);
    KelvoDeallocateFixed(nullptr, nullptr);
    KelvoDeallocateAllFixed(nullptr);
    KelvoStackInitialize(nullptr, 4, 4);
    KelvoStackInitializeWithDirectory(nullptr, 4, 4, 4);
    KelvoStackCleanUp(nullptr);
    EXPECT_EQ(KelvoGetStackUnitCount(nullptr), 0);
    kelvo_int32 Index;
    EXPECT_FALSE(KelvoNewStackUnit(nullptr, &Index));
    EXPECT_FALSE(KelvoMultipleNewStackUnits(nullptr, 1, &Index, nullptr));
    EXPECT_EQ(KelvoGetStackUnit(nullptr, 0), nullptr);
    KelvoPopStackUnits(nullptr, 1);
    KelvoSerializeStack(nullptr, &Index);
    kelvo_stack_allocator Stack;
    KelvoStackInitialize(&Stack, 4, 4);
    KelvoSerializeStack(&Stack, nullptr);
    EXPECT_EQ(KelvoNextAllocation(nullptr), KelvoAllocationsEnd());
    kelvo_allocation_information Information;
    KelvoGetAllocationInformation(nullptr, &Information);
    KelvoGetAllocationInformation(KelvoAllocationsBegin(), nullptr);
    for (int Call = 0; Call < 20; ++Call) {
        ExpectLogged(KelvoErrorLogMessage, "is not allowed to be 0");
    }
    EXPECT_EQ(Captured.size(), 0u);
}

} // namespace
