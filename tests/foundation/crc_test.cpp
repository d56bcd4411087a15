#include "foundation/kelvo_crc.h"
#include "kelvo_test.h"

#include <random>
#include <vector>

namespace {

class CRCTest : public KelvoTest {};

// Bit by bit, straight from the definition of the reflected polynomial.
kelvo_uint32 BitwiseCRC32(kelvo_uint8 const *Data, size_t Count) {
    kelvo_uint32 CRC = 0xFFFFFFFFu;
    for (size_t Index = 0; Index < Count; ++Index) {
        CRC ^= Data[Index];
        for (int Bit = 0; Bit < 8; ++Bit) {
            CRC = (CRC >> 1) ^ (0xEDB88320u & (0u - (CRC & 1u)));
        }
    }
    return ~CRC;
}

TEST_F(CRCTest, CheckValueAndEmptyInput) {
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    EXPECT_EQ(CRC, 0xFFFFFFFFu);
    KelvoAddToCRC32(&CRC, 9, "123456789");
    KelvoEndCRC32(&CRC);
    EXPECT_EQ(CRC, 0xCBF43926u);

    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, 0, nullptr);
    KelvoEndCRC32(&CRC);
    EXPECT_EQ(CRC, 0u);
    // Null CRC pointers are ignored rather than written through.
    KelvoBeginCRC32(nullptr);
    KelvoAddToCRC32(nullptr, 3, "abc");
    KelvoEndCRC32(nullptr);
}

TEST_F(CRCTest, AnySplitAndAlignmentMatchesTheDefinition) {
    std::mt19937 Random(99);
    std::vector<kelvo_uint8> Data(4096 + 16);
    for (kelvo_uint8 &Byte : Data) {
        Byte = (kelvo_uint8)Random();
    }
    for (int Round = 0; Round < 300; ++Round) {
        size_t Start = Random() % 16;
        size_t Count = Random() % 4096;
        kelvo_uint8 const *Bytes = Data.data() + Start;
        kelvo_uint32 CRC;
        KelvoBeginCRC32(&CRC);
        size_t Done = 0;
        while (Done < Count) {
            size_t Piece = 1 + Random() % 100;
            if (Piece > Count - Done) {
                Piece = Count - Done;
            }
            KelvoAddToCRC32(&CRC, (kelvo_uint32)Piece, Bytes + Done);
            Done += Piece;
        }
        KelvoEndCRC32(&CRC);
        kelvo_uint32 const Expected = BitwiseCRC32(Bytes, Count);
        ASSERT_EQ(CRC, Expected) << "start " << Start << " count " << Count;
        // In one piece, long runs take the wide folding route.
        KelvoBeginCRC32(&CRC);
        KelvoAddToCRC32(&CRC, (kelvo_uint32)Count, Bytes);
        KelvoEndCRC32(&CRC);
        ASSERT_EQ(CRC, Expected) << "one piece, start " << Start << " count " << Count;
    }
}

} // namespace
