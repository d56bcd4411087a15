// The default allocator, allocation checks and statistics, the callback pair,
// the aggregate allocation, the byte utilities and the thread-ownership check.
#include "foundation/kelvo_memory.h"
#include "kelvo_test.h"

#include <algorithm>
#include <random>
#include <stdio.h>
#include <string.h>

namespace {

class MemoryTest : public KelvoTest {};
class MemoryAggrTest : public KelvoTest {};

kelvo_allocation_header *HeaderBefore(void *Memory) {
    return reinterpret_cast<kelvo_allocation_header *>(static_cast<char *>(Memory) -
                                                       kelvo::AllocationHeaderSize);
}

std::string Hex(void const *Pointer) {
    char Text[32];
    snprintf(Text, sizeof(Text), "0x%llx", (unsigned long long)(uintptr_t)Pointer);
    return Text;
}

int LiveBlockCount() {
    int Count = 0;
    for (kelvo_allocation_header *Header = KelvoAllocationsBegin(); Header != KelvoAllocationsEnd();
         Header = KelvoNextAllocation(Header)) {
        ++Count;
    }
    return Count;
}

TEST_F(MemoryTest, BlocksAreAlignedWithTheirHeaderJustBefore) {
    for (kelvo_int32 Alignment : {1, 4, 8, 16, 64}) {
        for (kelvo_int32 Size : {0, 1, 13, 64, 1000}) {
            void *Memory = kelvo::CallAllocate("here.cpp", 77, Alignment, Size);
            ASSERT_NE(Memory, nullptr);
            EXPECT_EQ((uintptr_t)Memory % Alignment, 0u) << Alignment;
            kelvo_allocation_header *Header = HeaderBefore(Memory);
            EXPECT_EQ((uintptr_t)Header % alignof(kelvo_allocation_header), 0u);
            EXPECT_EQ(Header->Magic, 0xCA5ECA5Eu);
            EXPECT_EQ(Header->RequestedSize, Size);
            EXPECT_EQ(Header->RawSize, Size + Alignment + kelvo::AllocationHeaderSize - 1);
            // Header and data lie inside what the heap returned.
            EXPECT_LE((char *)Header->RawBlock, (char *)Header);
            EXPECT_LE((char *)Memory + Size, (char *)Header->RawBlock + Header->RawSize);
            EXPECT_EQ(KelvoAllocationsBegin(), Header);

            kelvo_allocation_information Information;
            KelvoGetAllocationInformation(Header, &Information);
            EXPECT_EQ(Information.Memory, Memory);
            EXPECT_EQ(Information.RequestedSize, Size);
            EXPECT_EQ(Information.ActualSize, Size + kelvo::AllocationHeaderSize);
            EXPECT_STREQ(Information.SourceFileName, "here.cpp");
            EXPECT_EQ(Information.SourceLineNumber, 77);
            memset(Memory, 0xAB, Size);
            kelvo::CallDeallocate(KELVO_HERE, Memory);
        }
    }
    // The 32-bit build's header is exactly 32 bytes: alignment 16 asks for 47 more.
    if (sizeof(void *) == 4) {
        void *Memory = KELVO_ALLOCATE_ALIGNED(16, 100);
        EXPECT_EQ(HeaderBefore(Memory)->RawSize, 147);
        KELVO_DEALLOCATE(Memory);
    }
}

TEST_F(MemoryTest, OddAlignmentsKeepTheHeaderAligned) {
    for (kelvo_int32 Alignment : {3, 6, 12, 24, 100}) {
        void *Memory = KELVO_ALLOCATE_ALIGNED(Alignment, 10);
        ASSERT_NE(Memory, nullptr);
        EXPECT_EQ((uintptr_t)Memory % Alignment, 0u) << Alignment;
        EXPECT_EQ((uintptr_t)HeaderBefore(Memory) % alignof(kelvo_allocation_header), 0u);
        KELVO_DEALLOCATE(Memory);
    }
    // Alignment below 1 counts as 1.
    for (kelvo_int32 Alignment : {0, -8}) {
        void *Memory = KELVO_ALLOCATE_ALIGNED(Alignment, 10);
        ASSERT_NE(Memory, nullptr);
        EXPECT_EQ(HeaderBefore(Memory)->RawSize, 10 + 1 + kelvo::AllocationHeaderSize - 1);
        KELVO_DEALLOCATE(Memory);
    }
}

TEST_F(MemoryTest, ImpossibleSizesFailWithoutAllocating) {
    EXPECT_EQ(kelvo::CallAllocate("caller.cpp", 5, 4, -1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "(-1 requested by caller.cpp:5).");
    // The heap request would not fit in 32 bits.
    EXPECT_EQ(kelvo::CallAllocate("caller.cpp", 6, 16, INT32_MAX - 20), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Unable to allocate " +
                                           std::to_string((long long)INT32_MAX - 20 + 16 +
                                                          kelvo::AllocationHeaderSize - 1) +
                                           " bytes (");
    EXPECT_EQ(kelvo::CallAllocate("caller.cpp", 7, INT32_MAX, 1), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "requested by caller.cpp:7).");
    EXPECT_EQ(Messages().size(), 0u);
}

TEST_F(MemoryTest, BadFreesAreRefusedAndChangeNothing) {
    void *Keep = KELVO_ALLOCATE_SIZE(32);
    void *Freed = KELVO_ALLOCATE_SIZE(32);
    KELVO_DEALLOCATE(Freed);
    int Live = LiveBlockCount();

    // Twice the same block: caught without touching the released memory.
    kelvo::CallDeallocate("twice.cpp", 12, Freed);
    ExpectLogged(KelvoErrorLogMessage, "twice.cpp:12 Attempted to free " + Hex(Freed) +
                                           ", which was not allocated by this allocator.");
    // A large block goes back to the system at once, so its header is gone.
    void *Large = KELVO_ALLOCATE_SIZE(1 << 22);
    KELVO_DEALLOCATE(Large);
    KELVO_DEALLOCATE(Large);
    ExpectLogged(KelvoErrorLogMessage, "Attempted to free");

    // Memory that never came from this allocator, including a pointer into a
    // live block whose bytes look like a header.
    char Stack[256] = {};
    KELVO_DEALLOCATE(Stack + 128);
    ExpectLogged(KelvoErrorLogMessage, "Attempted to free " + Hex(Stack + 128));
    void *Big = KELVO_ALLOCATE_SIZE(256);
    memcpy((char *)Big + 128 - kelvo::AllocationHeaderSize, HeaderBefore(Keep),
           kelvo::AllocationHeaderSize);
    KELVO_DEALLOCATE((char *)Big + 128);
    ExpectLogged(KelvoErrorLogMessage, "Attempted to free");

    // A live block whose header was overwritten is kept, not freed blindly.
    HeaderBefore(Keep)->Magic = 0;
    KELVO_DEALLOCATE(Keep);
    ExpectLogged(KelvoErrorLogMessage, "Attempted to free");
    HeaderBefore(Keep)->Magic = kelvo::AllocationMagic;

    EXPECT_EQ(LiveBlockCount(), Live + 1);
    KELVO_DEALLOCATE(Big);
    KELVO_DEALLOCATE(Keep);
    EXPECT_EQ(LiveBlockCount(), Live - 1);
    KELVO_DEALLOCATE(nullptr); // allowed and silent
}

TEST_F(MemoryTest, ManyBlocksFreedInAnyOrder) {
    std::vector<void *> Blocks;
    for (int Index = 0; Index < 5000; ++Index) {
        Blocks.push_back(KELVO_ALLOCATE_SIZE(Index % 97));
        *(int *)Blocks.back() = 0;
    }
    std::mt19937 Random(7);
    std::shuffle(Blocks.begin(), Blocks.end(), Random);
    int Live = LiveBlockCount();
    for (size_t Index = 0; Index < Blocks.size() / 2; ++Index) {
        KELVO_DEALLOCATE(Blocks[Index]);
    }
    EXPECT_EQ(LiveBlockCount(), Live - 2500);
    // Every freed block is known to be gone, every other one still live.
    for (size_t Index = 0; Index < Blocks.size() / 2; Index += 100) {
        KELVO_DEALLOCATE(Blocks[Index]);
        ExpectLogged(KelvoErrorLogMessage, "Attempted to free");
    }
    for (size_t Index = Blocks.size() / 2; Index < Blocks.size(); ++Index) {
        KELVO_DEALLOCATE(Blocks[Index]);
    }
    EXPECT_EQ(LiveBlockCount(), Live - 5000);
}

TEST_F(MemoryTest, AllocationChecksListUnfreedBlocksNewestFirst) {
    void *Marker = KelvoBeginAllocationCheck();
    EXPECT_TRUE(KelvoEndAllocationCheck(Marker));
    EXPECT_EQ(Messages().size(), 0u);

    Marker = KelvoBeginAllocationCheck();
    void *Older = kelvo::CallAllocate("old.cpp", 10, 4, 5);
    void *Newer = kelvo::CallAllocate("new.cpp", 20, 4, 6);
    std::vector<void *> Seen;
    for (kelvo_allocation_header *Header = KelvoAllocationsBegin();
         Header != KelvoCheckedAllocationsEnd(Marker); Header = KelvoNextAllocation(Header)) {
        kelvo_allocation_information Information;
        KelvoGetAllocationInformation(Header, &Information);
        Seen.push_back(Information.Memory);
    }
    EXPECT_EQ(Seen, (std::vector<void *>{Newer, Older}));
    EXPECT_FALSE(KelvoEndAllocationCheck(Marker));
    std::vector<captured_message> Warnings = TakeMessages();
    ASSERT_EQ(Warnings.size(), 2u);
    EXPECT_EQ(Warnings[0].Type, KelvoWarningLogMessage);
    EXPECT_EQ(Warnings[0].Origin, KelvoMemoryLogMessage);
    EXPECT_NE(Warnings[0].Text.find("): Unfreed block new.cpp:20 (6 bytes at " + Hex(Newer) + ")"),
              std::string::npos)
        << Warnings[0].Text;
    EXPECT_NE(Warnings[1].Text.find("Unfreed block old.cpp:10 (5 bytes at " + Hex(Older) + ")"),
              std::string::npos)
        << Warnings[1].Text;
    KELVO_DEALLOCATE(Older);
    KELVO_DEALLOCATE(Newer);

    // A marker that is not a live block cannot be walked to.
    char NotAMarker[64];
    EXPECT_EQ(KelvoCheckedAllocationsEnd(NotAMarker + 32), KelvoAllocationsBegin());
    ExpectLogged(KelvoErrorLogMessage, "IsLiveBlock(CheckIdentifier) was not true");
    EXPECT_FALSE(KelvoEndAllocationCheck(NotAMarker + 32));
    ExpectLogged(KelvoErrorLogMessage, "IsLiveBlock(CheckIdentifier) was not true");
    ExpectLogged(KelvoErrorLogMessage, "Attempted to free");
}

TEST_F(MemoryTest, InstalledCallbacksCarryEveryAllocation) {
    failing_allocator Heap;
    kelvo_allocate_callback *Allocate = nullptr;
    KelvoGetAllocator(&Allocate, nullptr);
    EXPECT_EQ(Allocate, &failing_allocator::Allocate);

    int Live = LiveBlockCount();
    kelvo_memory_arena *Arena = KelvoNewMemoryArena();
    KelvoMemoryArenaPush(Arena, 10);
    KelvoFreeMemoryArena(Arena);
    EXPECT_EQ(Heap.Allocations, 2);
    EXPECT_EQ(Heap.Frees, 2);
    EXPECT_EQ(LiveBlockCount(), Live);

    // A null function would be called later; the pair stays as it was.
    KelvoSetAllocator(nullptr, &failing_allocator::Deallocate);
    ExpectLogged(KelvoErrorLogMessage, "NewAllocateCallback is not allowed to be 0");
    KelvoSetAllocator(&failing_allocator::Allocate, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "NewDeallocateCallback is not allowed to be 0");
    KelvoGetAllocator(&Allocate, nullptr);
    EXPECT_EQ(Allocate, &failing_allocator::Allocate);
}

// ---- aggregate allocation -------------------------------------------------

struct mesh_like {
    kelvo_int32 VertexCount;
    float *Vertices;
    kelvo_int32 IndexCount;
    kelvo_int32 *Indices;
    char *Name;
};

TEST_F(MemoryAggrTest, OneBlockCarriesTheRecordAndItsArrays) {
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo::SetAggrAlignment(Aggr, 16);
    mesh_like *Mesh;
    EXPECT_EQ(kelvo::AggrAllocPtr(Aggr, &Mesh, sizeof(mesh_like)), 0);
    EXPECT_EQ(kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, 7, offsetof(mesh_like, VertexCount),
                                                 offsetof(mesh_like, Vertices), sizeof(float)),
              (kelvo_int64)(sizeof(mesh_like) + 15) / 16 * 16);
    kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, 3, offsetof(mesh_like, IndexCount),
                                       offsetof(mesh_like, Indices), sizeof(kelvo_int32));
    kelvo::AggrAllocOffsetSizePtr(Aggr, 0, offsetof(mesh_like, Name), 5);
    double *Extra;
    kelvo_int64 ExtraOffset = kelvo::AggrAllocArrayPtr(Aggr, 2, &Extra);
    // Until the end the caller's variable holds the offset.
    EXPECT_EQ((kelvo_int64)(uintptr_t)Extra, ExtraOffset);

    void *Block = kelvo::EndAggrAlloc(Aggr, KELVO_HERE);
    ASSERT_NE(Block, nullptr);
    EXPECT_EQ((uintptr_t)Block % 16, 0u);
    EXPECT_EQ((void *)Mesh, Block);
    EXPECT_EQ(Mesh->VertexCount, 7);
    EXPECT_EQ(Mesh->IndexCount, 3);
    for (void *Piece :
         {(void *)Mesh->Vertices, (void *)Mesh->Indices, (void *)Mesh->Name, (void *)Extra}) {
        EXPECT_EQ((uintptr_t)Piece % 16, 0u);
    }
    // Pieces follow one another without overlap, and all fit in the block.
    EXPECT_GE((char *)Mesh->Vertices, (char *)(Mesh + 1));
    EXPECT_GE((char *)Mesh->Indices, (char *)(Mesh->Vertices + 7));
    EXPECT_GE(Mesh->Name, (char *)(Mesh->Indices + 3));
    EXPECT_GE((char *)Extra, Mesh->Name + 5);
    EXPECT_EQ(HeaderBefore(Block)->RequestedSize, (char *)(Extra + 2) - (char *)Block);
    EXPECT_EQ(Aggr.PieceCount, 0); // cleared by the end
    KELVO_DEALLOCATE(Block);
}

TEST_F(MemoryAggrTest, SizeAndPlacementAgreeWithAllocation) {
    auto Reserve = [](kelvo::aggr_allocator &Aggr, mesh_like **Mesh, char **Tail) {
        kelvo::AggrInit(Aggr);
        kelvo::AggrAllocPtr(Aggr, Mesh, sizeof(mesh_like));
        kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, 4, offsetof(mesh_like, VertexCount),
                                           offsetof(mesh_like, Vertices), sizeof(float));
        kelvo::AggrAllocPtr(Aggr, Tail, 3);
    };
    kelvo::aggr_allocator Aggr;
    mesh_like *Mesh;
    char *Tail;
    Reserve(Aggr, &Mesh, &Tail);
    kelvo_int64 Size = kelvo::EndAggrSize(Aggr, KELVO_HERE);
    EXPECT_EQ(Size, (kelvo_int64)((sizeof(mesh_like) + 3) / 4 * 4 + 16 + 3));
    EXPECT_EQ(kelvo::EndAggrSize(Aggr, KELVO_HERE), 0); // the record was cleared

    std::vector<kelvo_uint8> Memory(Size);
    Reserve(Aggr, &Mesh, &Tail);
    EXPECT_EQ(kelvo::EndAggrPlacement(Aggr, KELVO_HERE, Memory.data()), Memory.data());
    EXPECT_EQ((void *)Mesh, Memory.data());
    EXPECT_EQ(Mesh->VertexCount, 4);
    EXPECT_EQ(Tail + 3, (char *)Memory.data() + Size);

    Reserve(Aggr, &Mesh, &Tail);
    EXPECT_EQ(kelvo::EndAggrPlacement(Aggr, KELVO_HERE, nullptr), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Memory is not allowed to be 0");
}

TEST_F(MemoryAggrTest, BadReservationsProduceNothing) {
    kelvo::aggr_allocator Aggr;
    char *Good;
    char *Bad;
    auto Start = [&] {
        kelvo::AggrInit(Aggr);
        Good = nullptr;
        kelvo::AggrAllocPtr(Aggr, &Good, 8);
    };

    Start();
    EXPECT_EQ(kelvo::AggrAllocPtr(Aggr, &Bad, -1), -1);
    ExpectLogged(KelvoErrorLogMessage, "Size >= 0 was not true");
    EXPECT_EQ(kelvo::EndAggrAlloc(Aggr, KELVO_HERE), nullptr);
    EXPECT_EQ(Good, nullptr); // no address stored anywhere

    Start();
    EXPECT_EQ(kelvo::AggrAllocArrayPtr(Aggr, -3, &Bad), -1);
    ExpectLogged(KelvoErrorLogMessage, "Size >= 0 was not true");
    EXPECT_EQ(kelvo::EndAggrSize(Aggr, KELVO_HERE), -1);

    Start();
    EXPECT_EQ(kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, -1, 0, 8, 4), -1);
    ExpectLogged(KelvoErrorLogMessage, "Count >= 0 was not true");
    // Later reservations of a failed record are refused silently.
    EXPECT_EQ(kelvo::AggrAllocPtr(Aggr, &Bad, 4), -1);
    std::vector<kelvo_uint8> Memory(64);
    EXPECT_EQ(kelvo::EndAggrPlacement(Aggr, KELVO_HERE, Memory.data()), nullptr);

    Start();
    for (int Piece = 1; Piece < kelvo::AggrMaxPieces; ++Piece) {
        kelvo::AggrAllocPtr(Aggr, &Bad, 1);
    }
    EXPECT_EQ(kelvo::AggrAllocPtr(Aggr, &Bad, 1), -1);
    ExpectLogged(KelvoErrorLogMessage, "Allocator.PieceCount < AggrMaxPieces was not true");
    EXPECT_EQ(kelvo::EndAggrAlloc(Aggr, KELVO_HERE), nullptr);

    // A pointer field that would be written outside the block.
    Start();
    kelvo::AggrAllocOffsetSizePtr(Aggr, 0, 5, 0); // 8-byte block
    EXPECT_EQ(kelvo::EndAggrAlloc(Aggr, KELVO_HERE), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FieldsFit(Allocator) was not true");

    Start();
    kelvo::SetAggrAlignment(Aggr, 0);
    ExpectLogged(KelvoErrorLogMessage, "Alignment > 0 was not true");
    EXPECT_EQ(Aggr.Alignment, kelvo::DefaultAlignment);

    EXPECT_EQ(kelvo::AggrAllocSizePtr(Aggr, nullptr, 4), -1);
    ExpectLogged(KelvoErrorLogMessage, "Variable is not allowed to be 0");
    kelvo::AggrInit(Aggr);
}

TEST_F(MemoryAggrTest, SizesBeyond32BitsAreCaughtNotWrapped) {
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo_int32 *Header;
    kelvo::AggrAllocPtr(Aggr, &Header, 16);
    // 2^31 elements of 4 bytes: 8 GiB, which wraps to 16 bytes in 32 bits.
    kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, INT32_MAX, 0, 8, 4);
    kelvo_int64 Expected = 16 + (kelvo_int64)INT32_MAX * 4;
    EXPECT_EQ(kelvo::EndAggrSize(Aggr, KELVO_HERE), Expected);

    kelvo::AggrAllocPtr(Aggr, &Header, 16);
    kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, INT32_MAX, 0, 8, 4);
    EXPECT_EQ(kelvo::EndAggrAlloc(Aggr, KELVO_HERE), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "FinalSize(Allocator) " + std::to_string(Expected) +
                                           " is out of range for an int32 Size");

    // A byte count past 64 bits is refused, whatever the element type.
    struct big {
        char Bytes[1024];
    };
    big *Bigs;
    EXPECT_EQ(kelvo::AggrAllocArrayPtr(Aggr, INT64_MAX / 512, &Bigs), -1);
    ExpectLogged(KelvoErrorLogMessage, "Size >= 0 was not true");
    EXPECT_EQ(kelvo::AggrAllocOffsetArraySizePtr(Aggr, 0, 2, 0, 8, INT64_MAX / 2), -1);
    ExpectLogged(KelvoErrorLogMessage, "ElementSize >= 0 && ElementSize <= INT64_MAX");
    kelvo::AggrInit(Aggr);
}

TEST_F(MemoryAggrTest, AFailedAllocationStoresNothing) {
    failing_allocator Heap(1, true, false);
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    char *First = nullptr;
    char *Second = nullptr;
    kelvo::AggrAllocPtr(Aggr, &First, 8);
    kelvo_int64 Offset = kelvo::AggrAllocPtr(Aggr, &Second, 8);
    EXPECT_EQ(kelvo::EndAggrAlloc(Aggr, KELVO_HERE), nullptr);
    EXPECT_EQ(Heap.Allocations, 1);
    // The variables still hold their offsets, not addresses.
    EXPECT_EQ(First, nullptr);
    EXPECT_EQ((kelvo_int64)(uintptr_t)Second, Offset);
}

// ---- byte utilities -------------------------------------------------------

TEST_F(MemoryTest, ByteUtilities) {
    kelvo_uint8 Bytes[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    kelvo::Reverse32(11, Bytes); // the trailing three bytes are no whole word
    EXPECT_EQ(std::vector<int>(Bytes, Bytes + 11),
              (std::vector<int>{4, 3, 2, 1, 8, 7, 6, 5, 9, 10, 11}));

    kelvo_uint8 Even[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    kelvo::Reverse16(8, Even);
    EXPECT_EQ(std::vector<int>(Even, Even + 8), (std::vector<int>{2, 1, 4, 3, 6, 5, 8, 7}));
    kelvo_uint8 Odd[7] = {1, 2, 3, 4, 5, 6, 7}; // three elements and a stray byte
    kelvo::Reverse16(7, Odd + 0);
    EXPECT_EQ(std::vector<int>(Odd, Odd + 7), (std::vector<int>{2, 1, 4, 3, 6, 5, 7}));
    kelvo_uint8 Unaligned[7] = {0, 1, 2, 3, 4, 5, 6};
    kelvo::Reverse16(6, Unaligned + 1);
    EXPECT_EQ(std::vector<int>(Unaligned, Unaligned + 7), (std::vector<int>{0, 2, 1, 4, 3, 6, 5}));

    char Text[16] = "abcdefgh";
    kelvo::Copy(6, Text, Text + 2); // overlapping
    EXPECT_STREQ(Text, "ababcdef");
    kelvo_uint32 Words[3] = {1, 2, 3};
    kelvo_uint32 Target[3] = {};
    kelvo::Copy32(2, Words, Target);
    EXPECT_EQ(Target[1], 2u);
    EXPECT_EQ(Target[2], 0u);
    EXPECT_TRUE(kelvo::Compare(8, Words, Target));
    EXPECT_FALSE(kelvo::Compare(12, Words, Target));
    kelvo::SetUInt8(3, 0x7F, Text);
    EXPECT_STREQ(Text, "\x7F\x7F\x7F"
                       "bcdef");
}

// ---- thread-ownership check -----------------------------------------------

kelvo_uint32 CurrentThread = 0;
kelvo_uint32 KELVO_CALLBACK ThreadID() {
    return CurrentThread;
}

TEST_F(MemoryTest, ThreadOwnership) {
    EXPECT_TRUE(KelvoGetAllowGlobalStateChanges());
    EXPECT_TRUE(KelvoThreadAllowedToCallKelvo()); // no thread function

    CurrentThread = 5;
    EXPECT_EQ(KelvoSetThreadIDCallback(&ThreadID), nullptr);
    EXPECT_TRUE(KelvoThreadAllowedToCallKelvo()); // recorded 5 at installation
    CurrentThread = 6;
    EXPECT_FALSE(KelvoThreadAllowedToCallKelvo());

    KelvoSetAllowGlobalStateChanges(1); // already allowed
    ExpectLogged(KelvoErrorLogMessage, "AllowGlobalStateChanges == false was not true");
    EXPECT_EQ(TakeMessages().size(), 0u);
    EXPECT_FALSE(KelvoThreadAllowedToCallKelvo()); // still owned by 5

    KelvoSetAllowGlobalStateChanges(0);
    EXPECT_FALSE(KelvoGetAllowGlobalStateChanges());
    EXPECT_TRUE(KelvoThreadAllowedToCallKelvo()); // nobody owns it now
    KelvoSetAllowGlobalStateChanges(1);           // thread 6 takes it
    EXPECT_TRUE(KelvoThreadAllowedToCallKelvo());
    CurrentThread = 5;
    EXPECT_FALSE(KelvoThreadAllowedToCallKelvo());

    EXPECT_EQ(KelvoSetThreadIDCallback(nullptr), &ThreadID);
    EXPECT_TRUE(KelvoThreadAllowedToCallKelvo());
}

} // namespace
