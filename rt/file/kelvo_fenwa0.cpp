// Fenwa0, the older section coder, which the library only reads: LZ77 tokens
// coded bit by bit with a 31-bit arithmetic coder over adaptive models whose
// cumulative counts are summed in rank order. The stream is a run of 32-bit
// words (piece headers first), each read from its least significant bit.
//
// As with Fenwa1, nothing in the stream is trusted: reads stop at the stored
// bytes and their padding, copies stay inside the output, and a stream that
// would break either rule is reported and refused.
#include "file/kelvo_compression.h"
#include "file/kelvo_fenwa1.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {
namespace {

constexpr kelvo_int32 PieceHeaderWords = 3;
constexpr kelvo_int32 LengthSymbolCount = 65;
constexpr kelvo_uint32 RegisterMask = 0x7FFFFFFFu;
constexpr kelvo_uint32 Half = 0x40000000u;
constexpr kelvo_uint32 Quarter = 0x20000000u;
constexpr kelvo_uint32 RescaleTotal = 0x3FFF;
constexpr kelvo_int32 ReadablePadding = 4;

struct bit_reader {
    kelvo_uint8 const *Bytes;
    kelvo_int32 Size;
    bool Reversed;
    kelvo_int64 Word;    // index of the next word to load
    kelvo_int64 WordEnd; // words that may be read: the stored ones and the padding
    kelvo_uint32 Bits;   // what is left of the loaded word
    kelvo_int32 BitsLeft;
    decode_fault Fault;

    kelvo_uint32 LoadWord() {
        kelvo_uint8 Quad[4] = {0, 0, 0, 0};
        kelvo_int64 Offset = 4 * Word++;
        for (kelvo_int32 Index = 0; Index < 4 && Offset + Index < Size; ++Index) {
            Quad[Index] = Bytes[Offset + Index];
        }
        kelvo_uint32 Value;
        memcpy(&Value, Quad, 4);
        if (Reversed) {
            Reverse32(4, &Value);
        }
        return Value;
    }

    kelvo_uint32 NextBit() {
        if (BitsLeft == 0) {
            if (Word >= WordEnd) {
                Fault = ReadPastStoredBytes;
                return 0;
            }
            Bits = LoadWord();
            BitsLeft = 32;
        }
        kelvo_uint32 Bit = Bits & 1;
        Bits >>= 1;
        --BitsLeft;
        return Bit;
    }
};

struct arithmetic_decoder {
    kelvo_uint32 Low;
    kelvo_uint32 High;
    kelvo_uint32 Code;
    bit_reader Input;

    void Start() {
        Low = 0;
        High = RegisterMask;
        Code = 0;
        for (kelvo_int32 Bit = 0; Bit < 31; ++Bit) {
            Code = (Code << 1) | Input.NextBit();
        }
    }

    // Where the code lies within a distribution of Total; always below Total
    // while the code stays inside [Low, High], as the narrowing keeps it.
    kelvo_uint32 Target(kelvo_uint32 Total) const {
        kelvo_uint64 Range = (kelvo_uint64)(High - Low) + 1;
        kelvo_uint64 Above = Code >= Low ? (kelvo_uint64)(Code - Low) + 1 : 1;
        kelvo_uint64 Value = (Above * Total - 1) / Range;
        return Value < Total ? (kelvo_uint32)Value : Total - 1;
    }

    void Narrow(kelvo_uint32 Cum, kelvo_uint32 Count, kelvo_uint32 Total) {
        kelvo_uint64 Range = (kelvo_uint64)(High - Low) + 1;
        High = Low + (kelvo_uint32)(Range * (Cum + Count) / Total) - 1;
        Low = Low + (kelvo_uint32)(Range * Cum / Total);
        while (((Low ^ High) & Half) == 0) {
            Low = (Low << 1) & RegisterMask;
            High = ((High << 1) | 1) & RegisterMask;
            Code = ((Code << 1) | Input.NextBit()) & RegisterMask;
        }
        // Straddling the middle closely: widen around it.
        while ((Low & Quarter) && !(High & Quarter)) {
            Low = ((Low & ~Quarter) << 1) & RegisterMask;
            High = ((High << 1) + Half + 1) & RegisterMask;
            Code = (((Code ^ Quarter) << 1) | Input.NextBit()) & RegisterMask;
        }
    }

    kelvo_uint32 Uniform(kelvo_uint32 Count) {
        kelvo_uint32 Value = Target(Count);
        Narrow(Value, 1, Count);
        return Value;
    }
};

// Counts in rank order; rank 0 is the escape. Symbols are 32-bit, since
// mid offsets reach past 16 bits with large windows.
struct model {
    kelvo_uint16 *Count;
    kelvo_uint32 *Symbol;
    kelvo_int32 N;        // ranks besides the escape
    kelvo_int32 M;        // most symbols the header allows
    kelvo_int32 Capacity; // ranks the arrays hold, at most M
    kelvo_uint32 Total;
};

// Where a rescale puts the busiest rank, from a bucket size chosen for X ranks.
void BucketParameters(kelvo_int64 X, kelvo_int32 &Shift, kelvo_int64 &Limit) {
    if (X <= 5) {
        Shift = 15;
        Limit = 0;
        return;
    }
    Shift = 0;
    kelvo_int64 Best = 0xFFFFFFFF;
    for (kelvo_int32 Index = 0; Index <= 15; ++Index) {
        kelvo_int64 E = (kelvo_int64)1 << Index;
        kelvo_int64 F = (X + E - 1) / E;
        kelvo_int64 G = X - E * (F < 17 ? F - 1 : 15);
        G = G > E ? G : E;
        if (G < Best) {
            Shift = Index;
        }
        if (E > X) {
            break;
        }
        Best = G < Best ? G : Best;
    }
    Limit = (kelvo_int64)15 << Shift;
}

void Rescale(model &Model) {
    kelvo_uint16 *Count = Model.Count;
    kelvo_uint32 *Symbol = Model.Symbol;
    Count[0] >>= 1;
    kelvo_int32 Shift;
    kelvo_int64 Limit;
    BucketParameters((kelvo_int64)Model.N + 1, Shift, Limit);
    kelvo_uint32 Busiest = 0;
    kelvo_int32 BusiestRank = 0;
    for (kelvo_int32 Rank = 1; Rank <= Model.N; ++Rank) {
        bool WalkEnded = false;
        while (Count[Rank] < 2) {
            if (Rank >= Model.N) {
                Count[Rank] = 0;
                --Model.N;
                WalkEnded = true;
                break;
            }
            Count[Rank] = Count[Model.N];
            Symbol[Rank] = Symbol[Model.N];
            Count[Model.N] = 0;
            --Model.N;
        }
        if (WalkEnded) {
            break;
        }
        Count[Rank] >>= 1;
        if (Count[Rank] > Busiest) {
            Busiest = Count[Rank];
            BusiestRank = Rank;
        }
    }
    if (Busiest != 0) {
        kelvo_int64 Place =
            Model.N < Limit ? ((kelvo_int64)Model.N & ~(((kelvo_int64)1 << Shift) - 1)) : Limit;
        if (Place == 0) {
            Place = 1;
        }
        if (Place != BusiestRank) {
            kelvo_uint16 SwapCount = Count[Place];
            kelvo_uint32 SwapSymbol = Symbol[Place];
            Count[Place] = Count[BusiestRank];
            Symbol[Place] = Symbol[BusiestRank];
            Count[BusiestRank] = SwapCount;
            Symbol[BusiestRank] = SwapSymbol;
        }
    }
    if (Model.N != Model.M && Count[0] == 0) {
        Count[0] = 2;
    }
    Model.Total = 0;
    for (kelvo_int32 Rank = 0; Rank <= Model.N; ++Rank) {
        Model.Total += Count[Rank];
    }
}

bool DecodeValue(model &Model, arithmetic_decoder &Decoder, kelvo_uint32 UniformCount,
                 kelvo_uint32 &Value) {
    if (Model.Total > RescaleTotal) {
        Rescale(Model);
    }
    if (Model.Total == 0) {
        Decoder.Input.Fault = ModelOverflow;
        return false;
    }
    kelvo_uint32 Target = Decoder.Target(Model.Total);
    kelvo_uint32 Cum = 0;
    kelvo_int32 Rank = 0;
    while (Rank < Model.N && Target >= Cum + Model.Count[Rank]) {
        Cum += Model.Count[Rank++];
    }
    Decoder.Narrow(Cum, Model.Count[Rank], Model.Total);
    Model.Count[Rank] += 1;
    Model.Total += 1;
    if (Rank > 0) {
        Value = Model.Symbol[Rank];
        return true;
    }
    if (Model.N >= Model.Capacity) {
        Decoder.Input.Fault = ModelOverflow;
        return false;
    }
    if (UniformCount == 0) {
        Decoder.Input.Fault = EmptyAlphabet;
        return false;
    }
    kelvo_int32 N = ++Model.N;
    Model.Count[N] = 2;
    Model.Total += 2;
    if (N >= Model.M) {
        Model.Total -= Model.Count[0];
        Model.Count[0] = 0;
    }
    Value = Decoder.Uniform(UniformCount);
    Model.Symbol[N] = Value;
    return true;
}

struct piece_models {
    model Length[LengthSymbolCount];
    model Literal;
    model Low;
    model Mid;
    void *Block;
};

bool BuildModels(kelvo_int32 const Sizes[LengthSymbolCount + 3],
                 kelvo_int32 const Capacities[LengthSymbolCount + 3], piece_models &Models) {
    model *All[LengthSymbolCount + 3];
    for (kelvo_int32 Index = 0; Index < LengthSymbolCount; ++Index) {
        All[Index] = &Models.Length[Index];
    }
    All[LengthSymbolCount] = &Models.Literal;
    All[LengthSymbolCount + 1] = &Models.Low;
    All[LengthSymbolCount + 2] = &Models.Mid;
    kelvo_int64 RankCount = 0;
    for (kelvo_int32 Index = 0; Index < LengthSymbolCount + 3; ++Index) {
        RankCount += (kelvo_int64)Capacities[Index] + 1;
    }
    kelvo_uint16 *Counts;
    kelvo_uint32 *Symbols;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, RankCount, &Counts);
    AggrAllocArrayPtr(Aggr, RankCount, &Symbols);
    Models.Block = EndAggrAlloc(Aggr, KELVO_HERE);
    if (!Models.Block) {
        return false;
    }
    memset(Counts, 0, sizeof(kelvo_uint16) * (size_t)RankCount);
    memset(Symbols, 0, sizeof(kelvo_uint32) * (size_t)RankCount);
    for (kelvo_int32 Index = 0; Index < LengthSymbolCount + 3; ++Index) {
        model &Model = *All[Index];
        Model.Count = Counts;
        Model.Symbol = Symbols;
        Counts += Capacities[Index] + 1;
        Symbols += Capacities[Index] + 1;
        Model.N = 0;
        Model.M = Sizes[Index];
        Model.Capacity = Capacities[Index];
        Model.Count[0] = 3;
        Model.Total = 3;
    }
    return true;
}

decode_fault DecodePiece(kelvo_uint32 const Words[PieceHeaderWords], arithmetic_decoder &Decoder,
                         kelvo_int32 &Position, kelvo_int32 Stop, kelvo_int32 ExpandedSize,
                         kelvo_uint8 *Output) {
    kelvo_uint32 const LiteralCount = Words[0] & 0x1FF;
    kelvo_uint32 const Window = Words[0] >> 9;
    kelvo_uint32 const LowCount = Words[0] < 2048 ? Window : 4;
    kelvo_int32 Sizes[LengthSymbolCount + 3];
    kelvo_int32 Capacities[LengthSymbolCount + 3];
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        kelvo_int32 Group = Model < 64 ? Model / 16 : 3;
        Sizes[Model] = (kelvo_int32)((Words[2] >> (24 - 8 * Group)) & 0xFF);
    }
    Sizes[LengthSymbolCount] = (kelvo_int32)(Words[1] & 0x1FF);
    Sizes[LengthSymbolCount + 1] = (kelvo_int32)LowCount;
    Sizes[LengthSymbolCount + 2] = (kelvo_int32)(Words[1] >> 9);
    memcpy(Capacities, Sizes, sizeof(Sizes));
    // Every new mid offset comes with a match of two bytes or more, which
    // bounds its model by the piece's length whatever the header claims.
    kelvo_int64 Matches = (kelvo_int64)(Stop - Position) / 2 + 2;
    if (Capacities[LengthSymbolCount + 2] > Matches) {
        Capacities[LengthSymbolCount + 2] = (kelvo_int32)Matches;
    }
    piece_models Models;
    if (!BuildModels(Sizes, Capacities, Models)) {
        return NoModelMemory;
    }

    kelvo_int32 const PieceStart = Position;
    kelvo_uint32 Previous = 0;
    decode_fault Fault = NoFault;
    while (Position < Stop && Fault == NoFault) {
        kelvo_uint32 Symbol, Value;
        if (!DecodeValue(Models.Length[Previous], Decoder, LengthSymbolCount, Symbol)) {
            break;
        }
        Previous = Symbol;
        if (Symbol == 0) {
            if (!DecodeValue(Models.Literal, Decoder, LiteralCount, Value)) {
                break;
            }
            if (Position >= ExpandedSize) {
                Fault = WritePastOutput;
                break;
            }
            Output[Position++] = (kelvo_uint8)Value;
        } else {
            kelvo_int32 Length = fenwa1::MatchLength((kelvo_int32)Symbol);
            kelvo_uint32 Decoded = (kelvo_uint32)(Position - PieceStart);
            kelvo_uint32 Reach = Decoded < Window ? Decoded : Window;
            kelvo_uint32 Low, Mid;
            if (!DecodeValue(Models.Low, Decoder, LowCount, Low) ||
                !DecodeValue(Models.Mid, Decoder, Reach / 4 + 1, Mid)) {
                break;
            }
            kelvo_uint64 Offset = 4 * (kelvo_uint64)Mid + Low + 1;
            Fault = CopyMatch(Output, Position, ExpandedSize, Offset, Length);
            if (Fault != NoFault) {
                break;
            }
        }
        Fault = Decoder.Input.Fault;
    }
    if (Fault == NoFault) {
        Fault = Decoder.Input.Fault;
    }
    KELVO_DEALLOCATE(Models.Block);
    return Fault;
}

} // namespace

bool Fenwa0DecodePieces(bool ByteReversed, kelvo_int32 StoredSize, void const *StoredBytes,
                        kelvo_int32 PieceCount, kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
                        void *Destination) {
    kelvo_uint8 const *Stored = static_cast<kelvo_uint8 const *>(StoredBytes);
    arithmetic_decoder Decoder;
    Decoder.Input = {Stored,
                     StoredSize,
                     ByteReversed,
                     PieceHeaderWords * PieceCount,
                     ((kelvo_int64)StoredSize + 3) / 4 + ReadablePadding / 4,
                     0,
                     0,
                     NoFault};
    Decoder.Start();

    return RunPieces("Fenwa0", ByteReversed, Stored, PieceCount, Stops, ExpandedSize,
                     [&](kelvo_uint32 const *Words, kelvo_int32 Stop, kelvo_int32 &Position) {
                         return DecodePiece(Words, Decoder, Position, Stop, ExpandedSize,
                                            static_cast<kelvo_uint8 *>(Destination));
                     });
}

} // namespace kelvo
