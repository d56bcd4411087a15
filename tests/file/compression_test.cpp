#include "fenwa0_test_encoder.h"
#include "fenwa1_differential.h"
#include "file/kelvo_compression.h"
#include "file/kelvo_fenwa1.h"
#include "kelvo_test.h"

#include <dirent.h>
#include <math.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

class CompressionTest : public KelvoTest {
  protected:
    // Compresses Data as pieces split at Stops through the public interface.
    bytes Fenwa1(bytes const &Data, std::vector<int> const &Stops, bool Swap = false) {
        kelvo_fenwa1_compressor *State =
            KelvoFenwa1BeginSimple((kelvo_int32)Data.size(), (kelvo_int32)Stops.size());
        EXPECT_NE(State, nullptr);
        int Start = 0;
        for (int Stop : Stops) {
            KelvoFenwa1Compress(State, Stop - Start, Data.data() + Start);
            Start = Stop;
        }
        void *Out = nullptr;
        kelvo_int32 Size = KelvoFenwa1End(State, &Out, Swap);
        bytes Stored(static_cast<uint8_t *>(Out), static_cast<uint8_t *>(Out) + Size);
        KelvoFenwa1FreeSimple(State);
        return Stored;
    }

    // Decodes into a buffer with guard bytes behind the expanded size, which
    // must come back untouched whatever the stream holds. The stored bytes sit
    // in a block of exactly their size, so the sanitizer build catches reads
    // past them.
    bool Decode(kelvo_compression_type Format, bytes const &Stored, int First16Bit, int First8Bit,
                int Expanded, bytes &Out, bool Reversed = false, bool Chunk = false) {
        std::unique_ptr<uint8_t[]> Exact(new uint8_t[Stored.size() + 1]);
        memcpy(Exact.get(), Stored.data(), Stored.size());
        bytes Buffer((size_t)Expanded + 64, 0xA5);
        bool Result =
            Chunk ? KelvoDecompressDataChunk(Format, Reversed, (kelvo_int32)Stored.size(),
                                             Exact.get(), Expanded, Buffer.data())
                  : KelvoDecompressData(Format, Reversed, (kelvo_int32)Stored.size(), Exact.get(),
                                        First16Bit, First8Bit, Expanded, Buffer.data());
        for (size_t Index = (size_t)Expanded; Index < Buffer.size(); ++Index) {
            EXPECT_EQ(Buffer[Index], 0xA5) << "written past the expanded size at " << Index;
        }
        Out.assign(Buffer.begin(), Buffer.begin() + Expanded);
        return Result;
    }

    // A corrupt stream either decodes to something (garbage is allowed) or is
    // refused with exactly one report.
    void ExpectSafe(kelvo_compression_type Format, bytes const &Stored, int First16Bit,
                    int First8Bit, int Expanded, bool Reversed, bool Chunk) {
        bytes Out;
        bool Result = Decode(Format, Stored, First16Bit, First8Bit, Expanded, Out, Reversed, Chunk);
        std::vector<captured_message> Messages = TakeMessages();
        if (Result) {
            EXPECT_TRUE(Messages.empty());
        } else {
            ASSERT_EQ(Messages.size(), 1u);
            EXPECT_EQ(Messages[0].Type, KelvoErrorLogMessage);
            EXPECT_EQ(Messages[0].Origin, KelvoCompressorLogMessage);
        }
    }
};

bytes RandomBytes(size_t Count, uint32_t Seed, uint32_t Alphabet = 256) {
    std::mt19937 Random(Seed);
    bytes Data(Count);
    for (uint8_t &Byte : Data) {
        Byte = (uint8_t)(Random() % Alphabet);
    }
    return Data;
}

bytes Text(size_t Count) {
    static char const *Words[] = {"Pelvis",    "Spine",   "L_UpperArm", "R_Forearm", "Head",
                                  "textures/", "knight_", "diffuse",    ".tga",      " "};
    std::mt19937 Random(5);
    std::string Result;
    while (Result.size() < Count) {
        Result += Words[Random() % 10];
    }
    return bytes(Result.begin(), Result.begin() + (long)Count);
}

template <typename T> bytes AsBytes(std::vector<T> const &Values) {
    auto const *First = reinterpret_cast<uint8_t const *>(Values.data());
    return bytes(First, First + Values.size() * sizeof(T));
}

// Vertex positions and normals on a sphere, and a smooth animation channel.
bytes VertexFloats(int Count) {
    std::vector<float> Values;
    for (int Index = 0; Index < Count; ++Index) {
        float A = 0.1f * (float)Index, B = 0.013f * (float)Index;
        for (float Value :
             {cosf(A) * sinf(B), cosf(B), sinf(A) * sinf(B), 0.5f * (float)(Index % 7)}) {
            Values.push_back(Value);
        }
    }
    return AsBytes(Values);
}

bytes Int16Indices(int Quads) {
    std::vector<uint16_t> Values;
    for (int Quad = 0; Quad < Quads; ++Quad) {
        uint16_t A = (uint16_t)(Quad + Quad / 32), B = (uint16_t)(A + 1), C = (uint16_t)(A + 33),
                 D = (uint16_t)(C + 1);
        for (uint16_t Value : {A, C, B, B, C, D}) {
            Values.push_back(Value);
        }
    }
    return AsBytes(Values);
}

bytes Concatenate(std::vector<bytes> const &Parts) {
    bytes Result;
    for (bytes const &Part : Parts) {
        Result.insert(Result.end(), Part.begin(), Part.end());
    }
    return Result;
}

kelvo_uint32 Word(bytes const &Stored, int Index, bool Swapped) {
    kelvo_uint32 Value = 0;
    for (int Byte = 0; Byte < 4; ++Byte) {
        int Shift = Swapped ? 24 - 8 * Byte : 8 * Byte;
        Value |= (kelvo_uint32)Stored[(size_t)(4 * Index + Byte)] << Shift;
    }
    return Value;
}

// ---- Fenwa1 round trips --------------------------------------------------------

TEST_F(CompressionTest, Fenwa1RoundTripsSectionsInBothByteOrders) {
    struct sample {
        char const *Name;
        bytes Data;
    };
    std::vector<sample> Samples = {
        {"empty", {}},
        {"one byte", {0x5A}},
        {"zeros", bytes(1000, 0)},
        {"runs", Concatenate({bytes(700, 'a'), bytes(1, 'b'), bytes(130, 'c'), bytes(513, 'd')})},
        {"random", RandomBytes(20000, 1)},
        {"few values", RandomBytes(5000, 2, 3)},
        {"text", Text(30000)},
        {"floats", VertexFloats(3000)},
        {"int16", Int16Indices(3000)},
        {"mixed", Concatenate({VertexFloats(500), Int16Indices(500), Text(4000)})},
    };
    for (sample const &Sample : Samples) {
        int Size = (int)Sample.Data.size();
        // Regions of every shape: empty ones first, middle or last, and a split.
        std::vector<std::vector<int>> Splits = {{0, 0, Size},
                                                {Size, Size, Size},
                                                {Size / 3, Size / 3, Size},
                                                {Size / 4 & ~3, Size / 2 & ~3, Size}};
        for (auto const &Stops : Splits) {
            for (bool Swap : {false, true}) {
                SCOPED_TRACE(std::string(Sample.Name) + " stops " + std::to_string(Stops[0]) + "," +
                             std::to_string(Stops[1]) + (Swap ? " swapped" : ""));
                bytes Stored = Fenwa1(Sample.Data, Stops, Swap);
                ASSERT_GE(Stored.size(), 36u);
                bytes Out;
                ASSERT_TRUE(
                    Decode(KelvoFenwa1Compression, Stored, Stops[0], Stops[1], Size, Out, Swap));
                ASSERT_EQ(Out, Sample.Data);
            }
        }
        // One piece, through the chunk dispatch and the direct export.
        for (bool Swap : {false, true}) {
            bytes Stored = Fenwa1(Sample.Data, {Size}, Swap);
            bytes Out;
            ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 0, 0, Size, Out, Swap, true))
                << Sample.Name;
            ASSERT_EQ(Out, Sample.Data) << Sample.Name;
            bytes Direct(Sample.Data.size() + 1);
            ASSERT_TRUE(KelvoFenwa1Decompress(Swap, (kelvo_int32)Stored.size(), Stored.data(), Size,
                                              Direct.data()));
            ASSERT_TRUE(std::equal(Sample.Data.begin(), Sample.Data.end(), Direct.begin()));
        }
    }
}

TEST_F(CompressionTest, Fenwa1CompressesStructuredDataAndBarelyGrowsRandomData) {
    bytes Zeros(1000, 0);
    EXPECT_LT(Fenwa1(Zeros, {400, 700, 1000}).size(), 80u);
    bytes Floats = VertexFloats(3000), Indices = Int16Indices(3000), Words = Text(30000);
    EXPECT_LT(Fenwa1(Floats, {(int)Floats.size()}).size(), Floats.size() * 3 / 4);
    EXPECT_LT(Fenwa1(Indices, {(int)Indices.size()}).size(), Indices.size() / 3);
    EXPECT_LT(Fenwa1(Words, {(int)Words.size()}).size(), Words.size() / 4);
    // Incompressible input costs a few percent over its size, within the
    // first buffer's ninth bit a byte.
    bytes Noise = RandomBytes(100000, 3);
    size_t Size = Fenwa1(Noise, {(int)Noise.size()}).size();
    EXPECT_LT(Size, Noise.size() * 105 / 100);
}

TEST_F(CompressionTest, Fenwa1StopsSplitTheOutputIntoPieces) {
    bytes Data = Concatenate({bytes(400, 'A'), bytes(300, 'B'), bytes(300, 'C')});
    bytes Stored = Fenwa1(Data, {400, 700, 1000});
    bytes Out;
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 400, 700, 1000, Out));
    EXPECT_EQ(Out, Data);
    // Each piece holds exactly its region: with other stops the second piece
    // starts too early and decodes with the wrong models.
    EXPECT_FALSE(Decode(KelvoFenwa1Compression, Stored, 300, 700, 1000, Out) && Out == Data);
    TakeMessages();
}

TEST_F(CompressionTest, Fenwa1MatchesReachExactlyTheWindow) {
    // The same block twice, one byte inside and one byte outside the window.
    bytes Block = RandomBytes(4096, 4);
    for (int Distance : {kelvo::fenwa1::EncoderWindow, kelvo::fenwa1::EncoderWindow + 1}) {
        bytes Data = Block;
        Data.resize((size_t)Distance, 0);
        size_t Before = Fenwa1(Data, {Distance}).size();
        Data.insert(Data.end(), Block.begin(), Block.end());
        int Size = (int)Data.size();
        bytes Stored = Fenwa1(Data, {Size});
        bytes Out;
        ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 0, 0, Size, Out, false, true));
        ASSERT_EQ(Out, Data);
        if (Distance == kelvo::fenwa1::EncoderWindow) {
            EXPECT_LT(Stored.size(), Before + 100) << "the copy within reach was not used";
        } else {
            EXPECT_GT(Stored.size(), Before + Block.size()) << "a match reached past the window";
        }
    }
}

TEST_F(CompressionTest, Fenwa1HeaderWordsSizeTheDecodersModels) {
    bytes Data = Concatenate({RandomBytes(12000, 6), bytes(1000, 7), Text(2000)});
    for (bool Swap : {false, true}) {
        bytes Stored = Fenwa1(Data, {12000, 13000, 15000}, Swap);
        for (int Piece = 0; Piece < 3; ++Piece) {
            SCOPED_TRACE(Piece);
            kelvo_uint32 Word0 = Word(Stored, 3 * Piece, Swap);
            kelvo_uint32 Word1 = Word(Stored, 3 * Piece + 1, Swap);
            kelvo_uint32 Word2 = Word(Stored, 3 * Piece + 2, Swap);
            EXPECT_EQ(Word0, 256u + 512u * 0x3FFFFu);
            kelvo_uint32 LiteralSize = Word1 & 0x1FF;
            if (Piece == 0) {
                EXPECT_EQ(LiteralSize, 256u); // every value seen: the escape's rank is clipped
            } else if (Piece == 1) {
                EXPECT_EQ(LiteralSize, 2u); // the escape and the one value 7
            }
            kelvo_uint32 Reach = Word1 >> 9;
            EXPECT_LE(Reach, 0x3FFFFu);
            EXPECT_EQ(Reach % 1024, 0u);
            for (int Byte = 0; Byte < 4; ++Byte) {
                kelvo_uint32 Size = (Word2 >> (8 * Byte)) & 0xFF;
                EXPECT_GE(Size, 1u);
                EXPECT_LE(Size, 65u);
            }
        }
    }
}

// ---- Fenwa1 encoder interface --------------------------------------------------

TEST_F(CompressionTest, Fenwa1EndTwiceGivesTheSameStreamInEitherOrder) {
    bytes Data = Text(5000);
    kelvo_fenwa1_compressor *State = KelvoFenwa1BeginSimple(5000, 3);
    KelvoFenwa1Compress(State, 1000, Data.data());
    KelvoFenwa1Compress(State, 1000, Data.data() + 1000);
    KelvoFenwa1Compress(State, 3000, Data.data() + 2000);
    void *First = nullptr, *Second = nullptr;
    kelvo_int32 Size = KelvoFenwa1End(State, &First, 0);
    bytes Native(static_cast<uint8_t *>(First), static_cast<uint8_t *>(First) + Size);
    EXPECT_EQ(KelvoFenwa1End(State, &Second, 1), Size);
    bytes Swapped(static_cast<uint8_t *>(Second), static_cast<uint8_t *>(Second) + Size);
    for (int Index = 0; Index < 9; ++Index) {
        EXPECT_EQ(Word(Native, Index, false), Word(Swapped, Index, true));
    }
    EXPECT_TRUE(std::equal(Native.begin() + 36, Native.end(), Swapped.begin() + 36));
    KelvoFenwa1FreeSimple(State);
    KelvoFenwa1FreeSimple(nullptr);
}

TEST_F(CompressionTest, Fenwa1EncoderRefusesMisuse) {
    EXPECT_EQ(KelvoFenwa1BeginSimple(-1, 3), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "ExpandedSize >= 0 was not true");
    EXPECT_EQ(KelvoFenwa1BeginSimple(10, 0), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "PieceCount > 0");

    bytes Data(100, 1);
    // More bytes than announced, then more pieces: the stream is withheld.
    kelvo_fenwa1_compressor *State = KelvoFenwa1BeginSimple(50, 1);
    KelvoFenwa1Compress(State, 100, Data.data());
    ExpectLogged(KelvoErrorLogMessage, "ByteCount <= State->ExpandedSize - State->BytesDone");
    KelvoFenwa1Compress(State, 10, Data.data());
    KelvoFenwa1Compress(State, 10, Data.data());
    ExpectLogged(KelvoErrorLogMessage, "State->PiecesDone < State->PieceCount");
    void *Out = &Data;
    EXPECT_EQ(KelvoFenwa1End(State, &Out, 0), 0);
    EXPECT_EQ(Out, nullptr);
    KelvoFenwa1Compress(State, 10, Data.data());
    ExpectLogged(KelvoErrorLogMessage, "!State->Ended");
    KelvoFenwa1FreeSimple(State);

    KelvoFenwa1Compress(nullptr, 10, Data.data());
    ExpectLogged(KelvoErrorLogMessage, "State is not allowed to be 0");
    EXPECT_EQ(KelvoFenwa1End(nullptr, &Out, 0), 0);
    ExpectLogged(KelvoErrorLogMessage, "State is not allowed to be 0");
    EXPECT_EQ(KelvoGetFenwa1CompressBufferPaddingSize(), 8);
    EXPECT_EQ(KelvoGetFenwa1DecompressBufferPaddingSize(), 4);
}

TEST_F(CompressionTest, Fenwa1OutputGrowsPastItsFirstBuffer) {
    // A first buffer that holds only the headers: every coded byte is beyond it.
    bytes Data = Concatenate({RandomBytes(30000, 8), Text(10000)});
    kelvo_fenwa1_compressor *State = kelvo::Fenwa1Begin((kelvo_int32)Data.size(), 3, 36);
    ASSERT_NE(State, nullptr);
    KelvoFenwa1Compress(State, 10000, Data.data());
    KelvoFenwa1Compress(State, 20000, Data.data() + 10000);
    KelvoFenwa1Compress(State, 10000, Data.data() + 30000);
    void *Out = nullptr;
    kelvo_int32 Size = KelvoFenwa1End(State, &Out, 0);
    ASSERT_GT(Size, 30000);
    bytes Stored(static_cast<uint8_t *>(Out), static_cast<uint8_t *>(Out) + Size);
    KelvoFenwa1FreeSimple(State);
    bytes Decoded;
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 10000, 30000, 40000, Decoded));
    EXPECT_EQ(Decoded, Data);
}

// ---- Fenwa1 streams written token by token --------------------------------------

// Writes chosen tokens by the format's rules, apart from the library's encoder:
// its own range coder (carries propagated back through the written bytes) and
// models (rebuilds only; the streams are too short to rescale).
class fenwa1_writer {
  public:
    // Every piece uses the header the library's encoder writes at most.
    static constexpr kelvo_uint32 Header[3] = {256 + 512 * 0x3FFFF, 256 + 512 * (255 << 10),
                                               0x41414141};

    explicit fenwa1_writer(int PieceCount) : Pieces(PieceCount) {
        for (int Piece = 0; Piece < PieceCount; ++Piece) {
            for (kelvo_uint32 Word : Header) {
                for (int Byte = 0; Byte < 4; ++Byte) {
                    Out.push_back((uint8_t)(Word >> (8 * Byte)));
                }
            }
        }
        StartPiece();
    }

    void StartPiece() {
        LengthModels.assign(65, model(64, 65));
        LiteralModels.assign(4, model(255, 256));
        LowModel = model(3, 4);
        HighModel = model(255, 256);
        MidModels.assign(256, model(255, 256));
        Previous = 0;
        Decoded = 0;
    }

    void Literal(uint8_t Value) {
        LengthModels[Previous].Encode(*this, 0, 65);
        LiteralModels[Position & 3].Encode(*this, Value, 256);
        Previous = 0;
        ++Position;
        ++Decoded;
    }

    void Match(int Symbol, kelvo_uint32 Offset) {
        LengthModels[Previous].Encode(*this, (kelvo_uint32)Symbol, 65);
        Previous = (kelvo_uint32)Symbol;
        kelvo_uint32 Reach = std::min<kelvo_uint32>(Decoded, 0x3FFFF);
        kelvo_uint32 Distance = Offset - 1;
        LowModel.Encode(*this, Distance & 3, 4);
        HighModel.Encode(*this, Distance >> 10, Reach / 1024 + 1);
        MidModels[Distance >> 10].Encode(*this, (Distance >> 2) & 255,
                                         Reach < 1024 ? Reach / 4 + 1 : 256);
        int Bytes = kelvo::fenwa1::MatchLength(Symbol);
        Position += Bytes;
        Decoded += (kelvo_uint32)Bytes;
    }

    bytes Finish() {
        Carry();
        kelvo_uint32 Value = (kelvo_uint32)LowEnd;
        for (int Shift : {23, 15, 7}) {
            Out.push_back((uint8_t)(Value >> Shift));
        }
        Out.push_back((uint8_t)(Value << 1));
        return Out;
    }

  private:
    struct model {
        model(int Largest, int Size)
            : Size(Size), Count((size_t)Size + 1), Cum((size_t)Size + 2),
              Limit(std::clamp(32 * Largest, 256, 15160)) {
            Count[0] = 4;
            Total = 4;
            Cum[0] = 0x8000;
            Cum[1] = 0xC000;
            MaxStep = 2 * Largest < 128 ? 128 : std::min(2 * Largest, Limit / 2 - 32);
        }

        void Encode(fenwa1_writer &Writer, kelvo_uint32 Value, kelvo_uint32 Uniform) {
            if (Total >= Threshold) {
                EXPECT_LT(Threshold, (kelvo_uint32)Limit) << "the writer cannot rescale";
                Cum[0] = 0x8000;
                kelvo_uint32 Scale = 0x20000 / Total;
                for (int Rank = 0; Rank < Top; ++Rank) {
                    Cum[(size_t)Rank + 1] =
                        (kelvo_uint16)(Cum[(size_t)Rank] + Count[(size_t)Rank] * Scale / 8);
                }
                Cum[(size_t)Top + 1] = 0xC000;
                Mark = Top;
                if ((kelvo_uint32)MaxStep < 2 * Step) {
                    Threshold = Total + (kelvo_uint32)MaxStep;
                } else {
                    Step *= 2;
                    Threshold = Total + Step;
                }
            }
            int Rank = 0;
            for (int Candidate = 1; Candidate <= Top; ++Candidate) {
                if (Symbols[(size_t)Candidate - 1] == Value) {
                    Rank = Candidate;
                }
            }
            bool InTable = Rank != 0 && Rank <= Mark;
            int Coded = InTable ? Rank : 0;
            Writer.Shift(Cum[(size_t)Coded] - 0x8000, Cum[(size_t)Coded + 1] - Cum[(size_t)Coded],
                         Coded == Mark);
            Count[(size_t)Coded] += 1;
            Total += 1;
            if (InTable) {
                return;
            }
            if (Rank != 0) {
                Writer.Uniform(1, 2);
                Writer.Uniform((kelvo_uint32)(Rank - Mark - 1), (kelvo_uint32)(Top - Mark));
                Count[(size_t)Rank] += 2;
                Total += 2;
                return;
            }
            if (Top != Mark) {
                Writer.Uniform(0, 2);
            }
            ++Top;
            Count[(size_t)Top] += 2;
            Total += 2;
            if (Top >= Size) {
                Total -= Count[0];
                Count[0] = 0;
            }
            Symbols.push_back(Value);
            Writer.Uniform(Value, Uniform);
        }

        int Size;
        std::vector<kelvo_uint32> Count;
        std::vector<kelvo_uint16> Cum;
        std::vector<kelvo_uint32> Symbols;
        int Limit;
        int Top = 0, Mark = 0, MaxStep;
        kelvo_uint32 Total, Threshold = 8, Step = 4;
    };

    // The coder's low end keeps a carry bit above its 31 bits.
    void Carry() {
        if (LowEnd >> 31) {
            for (size_t Index = Out.size(); Index-- > (size_t)(12 * Pieces);) {
                if (++Out[Index] != 0) {
                    break;
                }
            }
            LowEnd &= 0x7FFFFFFF;
        }
    }

    void Normalize() {
        while (Range <= 0x800000) {
            Carry();
            Out.push_back((uint8_t)(LowEnd >> 23));
            LowEnd = (LowEnd << 8) & 0x7FFFFFFF;
            Range <<= 8;
        }
    }

    void Shift(kelvo_uint32 Below, kelvo_uint32 Width, bool Last) {
        Normalize();
        kelvo_uint32 Step = Range >> 14;
        LowEnd += (uint64_t)Step * Below;
        Range = Last ? Range - Step * Below : Step * Width;
    }

    void Uniform(kelvo_uint32 Value, kelvo_uint32 Count) {
        Normalize();
        kelvo_uint32 Step = Range / Count;
        LowEnd += (uint64_t)Step * Value;
        Range = Value + 1 < Count ? Step : Range - Step * Value;
    }

    int Pieces;
    bytes Out;
    uint64_t LowEnd = 0;
    kelvo_uint32 Range = 0x80000000u;
    std::vector<model> LengthModels, LiteralModels, MidModels;
    model LowModel{3, 4}, HighModel{255, 256};
    kelvo_uint32 Previous = 0, Decoded = 0;
    int Position = 0;
};

TEST_F(CompressionTest, Fenwa1LengthSymbolsCoverTheirTable) {
    // Symbols 1 to 60 copy s + 1 bytes; 61 to 64 copy 128, 192, 256 and 512.
    struct expected {
        int Symbol, Length;
    };
    for (expected Case : {expected{1, 2}, {60, 61}, {61, 128}, {62, 192}, {63, 256}, {64, 512}}) {
        fenwa1_writer Writer(1);
        Writer.Literal('x');
        Writer.Literal('y');
        Writer.Match(Case.Symbol, 2);
        Writer.Literal('z');
        bytes Stored = Writer.Finish();
        int Size = 3 + Case.Length;
        bytes Out;
        ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 0, 0, Size, Out, false, true))
            << "symbol " << Case.Symbol;
        for (int Index = 0; Index < 2 + Case.Length; ++Index) {
            ASSERT_EQ(Out[(size_t)Index], Index % 2 ? 'y' : 'x') << "symbol " << Case.Symbol;
        }
        EXPECT_EQ(Out.back(), 'z') << "symbol " << Case.Symbol;
    }
}

TEST_F(CompressionTest, Fenwa1DecodesEscapesSeenSymbolsAndFarOffsets) {
    // Values repeat before the table is rebuilt (the escape's second branch),
    // and offsets use all three parts.
    fenwa1_writer Writer(1);
    bytes Expected;
    std::mt19937 Random(9);
    for (int Index = 0; Index < 1200; ++Index) {
        uint8_t Value = (uint8_t)(Random() % 40);
        Writer.Literal(Value);
        Expected.push_back(Value);
    }
    auto Copy = [&](int Symbol, kelvo_uint32 Offset) {
        Writer.Match(Symbol, Offset);
        for (int Index = 0; Index < kelvo::fenwa1::MatchLength(Symbol); ++Index) {
            Expected.push_back(Expected[Expected.size() - Offset]);
        }
    };
    // Long copies take the output past 6000 bytes with few symbols.
    for (int Index = 0; Index < 10; ++Index) {
        Copy(64, 1200);
    }
    for (kelvo_uint32 Offset : {1u, 4u, 5u, 1023u, 1024u, 1025u, 4100u, 5999u}) {
        Copy(20, Offset);
    }
    bytes Stored = Writer.Finish();
    bytes Out;
    ASSERT_TRUE(
        Decode(KelvoFenwa1Compression, Stored, 0, 0, (int)Expected.size(), Out, false, true));
    EXPECT_EQ(Out, Expected);
}

TEST_F(CompressionTest, Fenwa1SeenSymbolDecisionTakesACodeOnItsBoundary) {
    // The stream ends on the decision for a symbol already seen, and nothing
    // after it adds to the code, so the code sits exactly on the decision's
    // boundary, which belongs to the seen symbol.
    fenwa1_writer Writer(1);
    for (char Literal : std::string("abcda")) {
        Writer.Literal((uint8_t)Literal);
    }
    bytes Out;
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Writer.Finish(), 0, 0, 5, Out, false, true));
    EXPECT_EQ(std::string(Out.begin(), Out.end()), "abcda");
}

TEST_F(CompressionTest, Fenwa1MatchCrossingAStopMovesTheNextPiece) {
    // A piece ends at the first token past its stop, so the next piece starts
    // where the match left off.
    fenwa1_writer Writer(3);
    for (int Index = 0; Index < 4; ++Index) {
        Writer.Literal('a');
    }
    Writer.Match(9, 1); // ten bytes, to offset 14, past the stop at 8
    Writer.StartPiece();
    Writer.Literal('b');
    Writer.StartPiece();
    Writer.Literal('c');
    bytes Stored = Writer.Finish();
    bytes Out;
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Stored, 8, 15, 16, Out));
    EXPECT_EQ(std::string(Out.begin(), Out.end()), "aaaaaaaaaaaaaabc");
}

// Every offset below the widest chunk and beyond, with lengths around each
// chunk size: the copy repeats the latest bytes one at a time and writes
// nothing past the match.
TEST_F(CompressionTest, MatchCopiesRepeatTheLatestBytes) {
    for (kelvo_int32 Offset = 1; Offset <= 20; ++Offset) {
        for (kelvo_int32 Length : {2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 61, 128}) {
            bytes Out(300, 0xEE), Expected(300, 0xEE);
            for (kelvo_int32 Index = 0; Index < 20; ++Index) {
                Out[Index] = Expected[Index] = (uint8_t)(Index * 7 + 1);
            }
            for (kelvo_int32 Index = 20; Index < 20 + Length; ++Index) {
                Expected[Index] = Expected[Index - Offset];
            }
            kelvo_int32 Position = 20;
            ASSERT_EQ(kelvo::CopyMatch(Out.data(), Position, 300, (kelvo_uint64)Offset, Length),
                      kelvo::NoFault);
            EXPECT_EQ(Position, 20 + Length);
            EXPECT_EQ(Out, Expected) << "offset " << Offset << ", length " << Length;
        }
    }
}

TEST_F(CompressionTest, Fenwa1RefusesCopiesAndWritesOutsideTheOutput) {
    {
        // Offset 4 from position 1, well formed otherwise.
        fenwa1_writer Writer(1);
        Writer.Literal('a');
        Writer.Match(3, 4);
        bytes Out;
        EXPECT_FALSE(Decode(KelvoFenwa1Compression, Writer.Finish(), 0, 0, 10, Out, false, true));
        ExpectLogged(KelvoErrorLogMessage, "a match reaches before the start of the output");
    }
    {
        // The last match runs three bytes past the expanded size.
        fenwa1_writer Writer(1);
        Writer.Literal('a');
        Writer.Match(9, 1);
        bytes Out;
        EXPECT_FALSE(Decode(KelvoFenwa1Compression, Writer.Finish(), 0, 0, 8, Out, false, true));
        ExpectLogged(KelvoErrorLogMessage, "it writes past the expanded size");
    }
    {
        // Stops past the expanded size: the piece runs into its end.
        bytes Stored = Fenwa1(bytes(100, 3), {50, 100, 100});
        bytes Out;
        EXPECT_FALSE(Decode(KelvoFenwa1Compression, Stored, 50, 100, 60, Out));
        ExpectLogged(KelvoErrorLogMessage, "it writes past the expanded size");
    }
}

TEST_F(CompressionTest, Fenwa1RefusesBadHeadersAndShortStreams) {
    bytes Stored = Fenwa1(Text(500), {100, 200, 500});
    bytes Out;
    bytes Short(Stored.begin(), Stored.begin() + 35);
    EXPECT_FALSE(Decode(KelvoFenwa1Compression, Short, 100, 200, 500, Out));
    ExpectLogged(KelvoErrorLogMessage, "Fenwa1 stream of 35 bytes is too short for its 3 pieces");

    // Literal models of size 0, and an empty literal alphabet.
    bytes NoRanks = Stored;
    NoRanks[4] = 0;
    NoRanks[5] &= 0xFE;
    EXPECT_FALSE(Decode(KelvoFenwa1Compression, NoRanks, 100, 200, 500, Out));
    ExpectLogged(KelvoErrorLogMessage, "a model outgrows the size its header gives");
    bytes NoLiterals = Stored;
    NoLiterals[0] = 0;
    NoLiterals[1] &= 0xFE;
    EXPECT_FALSE(Decode(KelvoFenwa1Compression, NoLiterals, 100, 200, 500, Out));
    ExpectLogged(KelvoErrorLogMessage, "a value is sent from an empty range");

    // A stream whose bytes run out: every cut is either refused or decodes
    // within bounds.
    for (size_t Cut = 36; Cut < Stored.size(); ++Cut) {
        bytes Truncated(Stored.begin(), Stored.begin() + (long)Cut);
        ExpectSafe(KelvoFenwa1Compression, Truncated, 100, 200, 500, false, false);
    }
    bytes Cut(Stored.begin(), Stored.begin() + 36);
    EXPECT_FALSE(Decode(KelvoFenwa1Compression, Cut, 100, 200, 500, Out));
    ExpectLogged(KelvoErrorLogMessage, "it reads past its stored bytes");
}

TEST_F(CompressionTest, Fenwa1SurvivesCorruptStreams) {
    bytes Data = Concatenate({VertexFloats(300), Int16Indices(300), Text(2000)});
    int First16Bit = 4800, First8Bit = 4800 + 3600, Size = (int)Data.size();
    bytes Stored = Fenwa1(Data, {First16Bit, First8Bit, Size});
    std::mt19937 Random(11);
    for (int Round = 0; Round < 300; ++Round) {
        bytes Corrupt = Stored;
        int Flips = 1 + (int)(Random() % 4);
        for (int Flip = 0; Flip < Flips; ++Flip) {
            Corrupt[Random() % Corrupt.size()] ^= (uint8_t)(1u << (Random() % 8));
        }
        ExpectSafe(KelvoFenwa1Compression, Corrupt, First16Bit, First8Bit, Size, Round % 2, false);
    }
    // Random bytes as a stream, with headers that allow everything.
    for (int Round = 0; Round < 100; ++Round) {
        bytes Noise = RandomBytes(40 + Random() % 400, (uint32_t)Round);
        ExpectSafe(KelvoFenwa1Compression, Noise, 0, 0, 2000, false, true);
    }
}

// ---- the decoder beside the reference ----------------------------------------------

// Every seed of the fuzz corpus in both byte orders, mutations of them (hostile
// headers, values and streams), and round trips of structured data: the
// library's decoder and the reference agree on results, bytes and messages.
TEST_F(CompressionTest, Fenwa1DecoderAgreesWithTheReference) {
    std::vector<bytes> Inputs;
    std::string Seeds = std::string(KELVO_SOURCE_DIR) + "/tests/fuzz/corpus/fenwa1";
    DIR *Directory = opendir(Seeds.c_str());
    ASSERT_NE(Directory, nullptr) << Seeds;
    while (dirent *Entry = readdir(Directory)) {
        FILE *File = Entry->d_name[0] == '.' ? nullptr
                                              : fopen((Seeds + "/" + Entry->d_name).c_str(), "rb");
        if (File) {
            bytes Seed;
            for (int Byte; (Byte = fgetc(File)) != EOF;) {
                Seed.push_back((uint8_t)Byte);
            }
            fclose(File);
            Inputs.push_back(Seed);
        }
    }
    closedir(Directory);
    ASSERT_GE(Inputs.size(), 5u);
    // Skewed literals: three bytes in four are zero, so one rank takes most of
    // a literal table.
    bytes Skewed = RandomBytes(3000, 9);
    for (uint8_t &Byte : Skewed) {
        Byte = Byte < 192 ? 0 : Byte;
    }
    // Few values: literal tables of a handful of ranks, indexed by a few buckets.
    bytes Few = RandomBytes(3000, 10);
    for (uint8_t &Byte : Few) {
        Byte = Byte < 128 ? 7 : Byte < 192 ? 0 : Byte < 240 ? 200 : 3;
    }
    for (bytes const &Data : {Concatenate({VertexFloats(400), Int16Indices(300), Text(3000)}),
                              RandomBytes(3000, 7), bytes(1000, 0), Text(5000), Skewed, Few}) {
        for (uint8_t Flags : {1, 5}) {
            bytes Input = {Flags, 0x40, 0x06, 0x80, 0x0C, 0, 0};
            Inputs.push_back(Concatenate({Input, Data}));
        }
    }
    size_t Originals = Inputs.size();
    std::mt19937 Random(26);
    for (size_t Index = 0; Index < Originals; ++Index) {
        bytes Flipped = Inputs[Index];
        Flipped[0] ^= fenwa1_differential::ByteReversed;
        Inputs.push_back(Flipped);
        for (int Round = 0; Round < 40; ++Round) {
            bytes Mutant = Inputs[Index];
            Mutant[0] &= (uint8_t)~fenwa1_differential::RoundTrip;
            for (int Flip = 1 + (int)(Random() % 4); Flip > 0; --Flip) {
                Mutant[Random() % Mutant.size()] ^= (uint8_t)(1u << (Random() % 8));
            }
            Inputs.push_back(Mutant);
        }
    }
    for (size_t Index = 0; Index < Inputs.size(); ++Index) {
        EXPECT_EQ(fenwa1_differential::Disagreement(Inputs[Index].data(), Inputs[Index].size()),
                  "")
            << "input " << Index;
    }
}

// ---- the model rules -------------------------------------------------------------

TEST_F(CompressionTest, Fenwa1ModelLimitsFollowTheLargestValue) {
    using namespace kelvo::fenwa1;
    struct expected {
        kelvo_int32 Largest;
        kelvo_uint32 Limit, MaxStep;
    };
    for (expected Case : {expected{-1, 256, 128},
                          {3, 256, 128},
                          {64, 2048, 128},
                          {255, 8160, 510},
                          {473, 15136, 946},
                          {474, 15160, 948},
                          {8191, 15160, 7548}}) {
        std::vector<kelvo_uint16> Counts(8), Cums(16), Symbols(8);
        std::vector<rank_bucket> Buckets(BucketCount);
        model_pools Pools = {};
        Pools.Counts = Counts.data();
        Pools.Cums = Cums.data();
        Pools.Symbols = Symbols.data();
        Pools.Buckets = Buckets.data();
        model Model;
        InitModel(Model, Pools, Case.Largest, 4, 0);
        EXPECT_EQ(Model.RescaleLimit, Case.Limit) << Case.Largest;
        EXPECT_EQ(Model.MaxStep, Case.MaxStep) << Case.Largest;
    }
}

TEST_F(CompressionTest, Fenwa1RescaleDropsRareRanksAndPutsTheBusiestLast) {
    using namespace kelvo::fenwa1;
    std::vector<kelvo_uint16> Counts(8), Cums(16), Symbols(8), RanksOf(16);
    model_pools Pools = {};
    Pools.Counts = Counts.data();
    Pools.Cums = Cums.data();
    Pools.Symbols = Symbols.data();
    Pools.RanksOf = RanksOf.data();
    model Model;
    InitModel(Model, Pools, 15, 6, 16);
    // Ranks 1 to 5 hold values 10 to 14 with counts 3, 1, 9, 1, 4.
    kelvo_uint16 const Count[] = {5, 3, 1, 9, 1, 4};
    for (int Rank = 0; Rank <= 5; ++Rank) {
        Model.Count[Rank] = Count[Rank];
        Model.Symbol[Rank] = (kelvo_uint16)(9 + Rank);
        Model.RankOf[9 + Rank] = (kelvo_uint16)Rank;
    }
    Model.Top = 5;
    Model.Total = 23;
    Model.Threshold = Model.RescaleLimit;
    RefreshModel(Model);
    // Ranks of count 1 go, the last rank filling their places (and checked
    // again there); counts halve; the busiest (value 12) moves last.
    ASSERT_EQ(Model.Top, 3);
    EXPECT_EQ(Model.Count[0], 2);
    EXPECT_EQ(Model.Symbol[1], 10);
    EXPECT_EQ(Model.Symbol[2], 14);
    EXPECT_EQ(Model.Symbol[3], 12);
    EXPECT_EQ(Model.Count[1], 1);
    EXPECT_EQ(Model.Count[2], 2);
    EXPECT_EQ(Model.Count[3], 4);
    EXPECT_EQ(Model.Total, 9u);
    EXPECT_EQ(Model.RankOf[11], 0);
    EXPECT_EQ(Model.RankOf[13], 0);
    EXPECT_EQ(Model.RankOf[12], 3);
    EXPECT_EQ(Model.RankOf[14], 2);
    EXPECT_EQ(Model.Mark, 3);
    EXPECT_EQ(Model.Cum[4], 0xC000);
}

// ---- Fenwa0 --------------------------------------------------------------------------

TEST_F(CompressionTest, Fenwa0DecodesSectionsAndChunksInBothByteOrders) {
    struct sample {
        char const *Name;
        bytes Data;
        fenwa0_test::piece_options Options;
    };
    fenwa0_test::piece_options Plain, Tight, Narrow, Tiny, SevenBit;
    Tight.Tight = true;
    Narrow.Window = 3; // low offsets of three symbols
    Tiny.Window = 0;   // no matches at all
    SevenBit.LiteralCount = 128;
    std::vector<sample> Samples = {
        {"one byte", {9}, Plain},
        {"zeros", bytes(3000, 0), Plain},
        {"random", RandomBytes(6000, 12), Plain},
        {"text", Text(8000), Plain},
        {"text, full models", Text(8000), Tight},
        {"few values, full models", RandomBytes(20000, 13, 5), Tight},
        {"floats", VertexFloats(1000), Tight},
        {"int16, short window", Int16Indices(600), Narrow},
        {"text, no window", Text(3000), Tiny},
        {"text, 7-bit literals", Text(3000), SevenBit},
    };
    for (sample const &Sample : Samples) {
        int Size = (int)Sample.Data.size();
        std::vector<int> Stops = {Size / 4, Size / 2, Size};
        for (bool BigEndian : {false, true}) {
            SCOPED_TRACE(std::string(Sample.Name) + (BigEndian ? " big-endian" : ""));
            bytes Stored = fenwa0_test::Compress(Sample.Data, Stops, Sample.Options, BigEndian);
            bytes Out;
            ASSERT_TRUE(
                Decode(KelvoFenwa0Compression, Stored, Stops[0], Stops[1], Size, Out, BigEndian));
            ASSERT_EQ(Out, Sample.Data);
            Stored = fenwa0_test::Compress(Sample.Data, {Size}, Sample.Options, BigEndian);
            ASSERT_TRUE(Decode(KelvoFenwa0Compression, Stored, 0, 0, Size, Out, BigEndian, true));
            ASSERT_EQ(Out, Sample.Data);
        }
    }
}

TEST_F(CompressionTest, Fenwa0RescalesLongPieces) {
    // Enough symbols through one model to rescale it many times, with the
    // distribution drifting so that ranks drop out and come back.
    bytes Data;
    std::mt19937 Random(14);
    for (int Index = 0; Index < 60000; ++Index) {
        int Phase = Index / 5000;
        Data.push_back((uint8_t)((Random() % (8 + Phase * 4)) + Phase * 3));
    }
    fenwa0_test::piece_options Options;
    Options.SearchLimit = 8;
    bytes Stored = fenwa0_test::Compress(Data, {(int)Data.size()}, Options, false);
    bytes Out;
    ASSERT_TRUE(Decode(KelvoFenwa0Compression, Stored, 0, 0, (int)Data.size(), Out, false, true));
    EXPECT_EQ(Out, Data);
}

TEST_F(CompressionTest, Fenwa0SurvivesCorruptAndTruncatedStreams) {
    bytes Data = Concatenate({VertexFloats(200), Int16Indices(200), Text(1500)});
    int First16Bit = 3200, First8Bit = 3200 + 2400, Size = (int)Data.size();
    fenwa0_test::piece_options Options;
    bytes Stored = fenwa0_test::Compress(Data, {First16Bit, First8Bit, Size}, Options, false);
    std::mt19937 Random(15);
    for (int Round = 0; Round < 200; ++Round) {
        bytes Corrupt = Stored;
        Corrupt[Random() % Corrupt.size()] ^= (uint8_t)(1u << (Random() % 8));
        ExpectSafe(KelvoFenwa0Compression, Corrupt, First16Bit, First8Bit, Size, false, false);
    }
    for (size_t Cut = 36; Cut < Stored.size(); Cut += 7) {
        bytes Truncated(Stored.begin(), Stored.begin() + (long)Cut);
        ExpectSafe(KelvoFenwa0Compression, Truncated, First16Bit, First8Bit, Size, false, false);
    }
    bytes Out;
    bytes Headers(Stored.begin(), Stored.begin() + 36);
    EXPECT_FALSE(Decode(KelvoFenwa0Compression, Headers, First16Bit, First8Bit, Size, Out));
    ExpectLogged(KelvoErrorLogMessage, "it reads past its stored bytes");
    for (int Round = 0; Round < 100; ++Round) {
        ExpectSafe(KelvoFenwa0Compression, RandomBytes(12 + Random() % 300, (uint32_t)Round), 0, 0,
                   1500, Round % 2, true);
    }
}

TEST_F(CompressionTest, Fenwa0RefusesCopiesBeforeTheOutput) {
    using fenwa0_test::token;
    fenwa0_test::piece_options Options;
    bytes Out;
    // The first token of a second piece may reach back into the first piece's
    // output; it lies inside the destination.
    bytes Stored = fenwa0_test::Encode(
        {{token{0, 'a', 0}, token{0, 'b', 0}}, {token{3, 0, 2}}, {token{0, 'c', 0}}}, Options,
        false);
    ASSERT_TRUE(Decode(KelvoFenwa0Compression, Stored, 2, 6, 7, Out));
    EXPECT_EQ(std::string(Out.begin(), Out.end()), "abababc");

    // A match before anything is decoded: its mid part can only be 0, but a
    // low part of 3 reaches four bytes before the destination.
    Stored = fenwa0_test::Encode({{token{3, 0, 4}, token{0, 'c', 0}}}, Options, false);
    EXPECT_FALSE(Decode(KelvoFenwa0Compression, Stored, 0, 0, 10, Out, false, true));
    ExpectLogged(KelvoErrorLogMessage, "a match reaches before the start of the output");

    // One past the expanded size.
    Stored = fenwa0_test::Encode({{token{0, 'a', 0}, token{9, 0, 1}}}, Options, false);
    EXPECT_FALSE(Decode(KelvoFenwa0Compression, Stored, 0, 0, 10, Out, false, true));
    ExpectLogged(KelvoErrorLogMessage, "it writes past the expanded size");

    EXPECT_FALSE(Decode(KelvoFenwa0Compression, bytes(Stored.begin(), Stored.begin() + 11), 0, 0,
                        10, Out, false, true));
    ExpectLogged(KelvoErrorLogMessage, "Fenwa0 stream of 11 bytes is too short for its 1 pieces");
}

// After three bytes a copy from three back starts at the output's first byte;
// one more reaches one byte before it.
TEST_F(CompressionTest, CopiesReachBackExactlyToTheStartOfTheOutput) {
    for (kelvo_uint32 Offset : {3u, 4u}) {
        SCOPED_TRACE(testing::Message() << "offset " << Offset);
        bool const Inside = Offset == 3;
        fenwa1_writer Writer(1);
        using fenwa0_test::token;
        std::vector<token> Tokens;
        for (char Literal : {'a', 'b', 'c'}) {
            Writer.Literal((uint8_t)Literal);
            Tokens.push_back(token{0, (uint8_t)Literal, 0});
        }
        Writer.Match(3, Offset); // four bytes
        Tokens.push_back(token{3, 0, Offset});
        bytes const Streams[] = {Writer.Finish(),
                                 fenwa0_test::Encode({Tokens}, fenwa0_test::piece_options{}, false)};
        kelvo_compression_type const Formats[] = {KelvoFenwa1Compression, KelvoFenwa0Compression};
        for (int Index = 0; Index < 2; ++Index) {
            bytes Out;
            EXPECT_EQ(Decode(Formats[Index], Streams[Index], 0, 0, 7, Out, false, true), Inside)
                << "format " << Formats[Index];
            if (Inside) {
                EXPECT_EQ(std::string(Out.begin(), Out.end()), "abcabca");
            } else {
                ExpectLogged(KelvoErrorLogMessage, "a match reaches before the start of the output");
            }
        }
    }
}

// ---- dispatch ------------------------------------------------------------------------

TEST_F(CompressionTest, DispatchCopiesRefusesAndTimes) {
    bytes Data = Text(300);
    bytes Out;
    ASSERT_TRUE(Decode(KelvoNoCompression, Data, 100, 200, 300, Out));
    EXPECT_EQ(Out, Data);
    ASSERT_TRUE(Decode(KelvoNoCompression, Data, 0, 0, 250, Out, false, true));
    EXPECT_TRUE(std::equal(Out.begin(), Out.end(), Data.begin()));
    EXPECT_FALSE(Decode(KelvoNoCompression, Data, 0, 0, 301, Out));
    ExpectLogged(KelvoErrorLogMessage,
                 "Uncompressed data of 300 bytes is shorter than its expanded size 301");

    EXPECT_FALSE(Decode(5, Data, 100, 200, 300, Out));
    ExpectLogged(KelvoErrorLogMessage, "Unrecognized compression type 5");
    EXPECT_FALSE(Decode(-1, Data, 0, 0, 300, Out, false, true));
    ExpectLogged(KelvoErrorLogMessage, "Unrecognized compression type -1");
    EXPECT_FALSE(
        KelvoDecompressData(KelvoFenwa1Compression, 0, -4, Data.data(), 0, 0, 10, Out.data()));
    ExpectLogged(KelvoErrorLogMessage, "StoredSize >= 0 && ExpandedSize >= 0 was not true");
    EXPECT_FALSE(KelvoDecompressDataChunk(KelvoFenwa0Compression, 0, 40, nullptr, 10, Out.data()));
    ExpectLogged(KelvoErrorLogMessage, "StoredBytes || StoredSize == 0 was not true");
    // Nothing to produce needs nothing stored.
    EXPECT_TRUE(KelvoDecompressData(KelvoFenwa1Compression, 0, 0, nullptr, 0, 0, 0, nullptr));

    bytes Compressed = Fenwa1(Data, {100, 200, 300});
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Compressed, 100, 200, 300, Out));
    Compressed = Fenwa1(Data, {300});
    ASSERT_TRUE(Decode(KelvoFenwa1Compression, Compressed, 0, 0, 300, Out, false, true));
    Compressed = fenwa0_test::Compress(Data, {100, 200, 300}, {}, false);
    ASSERT_TRUE(Decode(KelvoFenwa0Compression, Compressed, 100, 200, 300, Out));
    Compressed = fenwa0_test::Compress(Data, {300}, {}, false);
    ASSERT_TRUE(Decode(KelvoFenwa0Compression, Compressed, 0, 0, 300, Out, false, true));
    std::vector<std::string> Names;
    for (kelvo_int32 Index = 0; Index < KelvoGetCounterCount(); ++Index) {
        kelvo_counter_results Results;
        KelvoGetCounterResults(Index, &Results);
        if (Results.Count > 0) {
            Names.push_back(Results.Name);
        }
    }
    for (char const *Name :
         {"DecompressData", "DecompressDataChunk", "Fenwa1Decompress w/ stops", "Fenwa1Decompress",
          "Fenwa0Decompress w/ stops", "Fenwa0Decompress", "Fenwa1Compress"}) {
        EXPECT_NE(std::find(Names.begin(), Names.end(), Name), Names.end()) << Name;
    }
}

} // namespace
