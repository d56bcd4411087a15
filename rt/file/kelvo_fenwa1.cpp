// Fenwa1: the adaptive models both directions share, and the decoder. A stream
// is the piece headers followed by one range-coded byte stream that runs on
// across the pieces; each piece builds fresh models from its own header.
//
// The decoder trusts nothing in the stream: bytes past the stored ones read as
// the zeroed padding would, and a stream that would need more than that, copy
// from before the output or write past its end is reported and refused.
#include "file/kelvo_fenwa1.h"
#include "file/kelvo_compression.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {
namespace fenwa1 {

piece_parameters ReadPieceHeader(kelvo_uint32 const Words[PieceHeaderWords]) {
    piece_parameters Piece;
    Piece.LiteralCount = (kelvo_int32)(Words[0] & 0x1FF);
    Piece.Window = (kelvo_int32)(Words[0] >> 9);
    Piece.LiteralModelSize = (kelvo_int32)(Words[1] & 0x1FF);
    Piece.HighModelSize = (kelvo_int32)(Words[1] >> 19) + 1;
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        // Byte k (most significant first) sizes models 16k to 16k + 15; the
        // last byte also sizes model 64.
        kelvo_int32 Group = Model < 64 ? Model / 16 : 3;
        Piece.LengthModelSize[Model] = (kelvo_int32)((Words[2] >> (24 - 8 * Group)) & 0xFF);
    }
    Piece.LowCount = Piece.Window <= 3 ? Piece.Window + 1 : 4;
    Piece.MidCount = Piece.Window < 1024 ? Piece.Window / 4 + 1 : 256;
    Piece.HighCount = Piece.Window / 1024 + 1;
    return Piece;
}

void ReserveModel(model_pools &Pools, kelvo_int32 Size, kelvo_int32 ValueCount,
                  kelvo_int32 IndexBits) {
    Pools.RankCount += (kelvo_int64)Size + 1;
    Pools.CumCount += (kelvo_int64)Size + 1 + CumSlack;
    Pools.ValueCount += ValueCount;
    Pools.BucketTotal += ValueCount > 0 ? 0 : (1 << IndexBits) + BucketSlack;
}

void InitModel(model &Model, model_pools &Pools, kelvo_int32 Largest, kelvo_int32 Size,
               kelvo_int32 ValueCount, kelvo_int32 IndexBits) {
    Model.Count = Pools.Counts;
    Model.Symbol = Pools.Symbols;
    Model.Cum = Pools.Cums;
    Pools.Counts += Size + 1;
    Pools.Symbols += Size + 1;
    Pools.Cums += Size + 1 + CumSlack;
    memset(Model.Count, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1));
    memset(Model.Symbol, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1));
    memset(Model.Cum, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1 + CumSlack));
    Model.RankOf = nullptr;
    Model.Bucket = nullptr;
    if (ValueCount > 0) {
        Model.RankOf = Pools.RanksOf;
        Pools.RanksOf += ValueCount;
        memset(Model.RankOf, 0, sizeof(kelvo_uint16) * (size_t)ValueCount);
    } else {
        // Every bucket starts in rank 0, the only one in the first table.
        Model.Bucket = Pools.Buckets;
        Pools.Buckets += (1 << IndexBits) + BucketSlack;
        for (kelvo_int32 Bucket = 0; Bucket < 1 << IndexBits; ++Bucket) {
            Model.Bucket[Bucket] = PackBucket(0, CumStart, CumEnd, CumEnd);
        }
    }

    Model.IndexBits = IndexBits;
    Model.BucketShift = FrequencyBits - (kelvo_uint32)IndexBits;
    Model.Size = Size;
    Model.Top = 0;
    Model.Mark = 0;
    Model.MaxTop = 0;
    // The first table is the escape alone.
    Model.Likely = 0;
    Model.LikelyLow = 0;
    Model.LikelyWidth = CumEnd - CumStart;
    Model.LikelyReach = ValueCount > 0 ? 0 : LastReach;
    Model.LikelyRest = ~0u;
    Model.Count[0] = 4;
    Model.Total = 4;
    Model.Cum[0] = CumStart;
    for (kelvo_int32 Index = 1; Index <= 5; ++Index) {
        Model.Cum[Index] = CumEnd;
    }
    Model.Threshold = 8;
    Model.Step = 4;
    kelvo_int32 Limit = 32 * Largest;
    Limit = Limit < 256 ? 256 : (Limit > 15160 ? 15160 : Limit);
    Model.RescaleLimit = (kelvo_uint32)Limit;
    kelvo_int32 MaxStep = 2 * Largest;
    if (MaxStep < 128) {
        MaxStep = 128;
    } else if (MaxStep > Limit / 2 - 32) {
        MaxStep = Limit / 2 - 32;
    }
    Model.MaxStep = (kelvo_uint32)MaxStep;
}

namespace {

void MoveRank(model &Model, kelvo_int32 From, kelvo_int32 To) {
    Model.Count[To] = Model.Count[From];
    Model.Symbol[To] = Model.Symbol[From];
    if (Model.RankOf) {
        Model.RankOf[Model.Symbol[To]] = (kelvo_uint16)To;
    }
}

// Halves the counts and drops ranks seen fewer than twice, so the model
// follows recent statistics. The busiest rank goes last, where the table's
// rounding slack lands.
void Rescale(model &Model) {
    kelvo_uint16 *Count = Model.Count;
    Count[0] >>= 1;
    Model.Total = Count[0];
    for (kelvo_int32 Rank = 1; Rank <= Model.Top;) {
        if (Count[Rank] < 2) {
            if (Model.RankOf) {
                Model.RankOf[Model.Symbol[Rank]] = 0;
            }
            if (Rank != Model.Top) {
                MoveRank(Model, Model.Top, Rank);
            }
            // New ranks start from a zero count.
            Count[Model.Top] = 0;
            --Model.Top;
        } else {
            Count[Rank] >>= 1;
            Model.Total += Count[Rank];
            ++Rank;
        }
    }
    if (Model.Top > 0) {
        kelvo_int32 Busiest = 1;
        for (kelvo_int32 Rank = 2; Rank <= Model.Top; ++Rank) {
            if (Count[Rank] > Count[Busiest]) {
                Busiest = Rank;
            }
        }
        if (Busiest != Model.Top) {
            kelvo_uint16 BusiestCount = Count[Busiest];
            kelvo_uint16 BusiestSymbol = Model.Symbol[Busiest];
            MoveRank(Model, Model.Top, Busiest);
            Count[Model.Top] = BusiestCount;
            Model.Symbol[Model.Top] = BusiestSymbol;
            if (Model.RankOf) {
                Model.RankOf[BusiestSymbol] = (kelvo_uint16)Model.Top;
            }
        }
    }
    if (Model.Top < Model.Size && Count[0] == 0) {
        Count[0] = 1;
        Model.Total += 1;
    }
}

// The decoder's index of a fresh table: each bucket gets the rank its start
// lies in, and a rank that takes most of the table is kept to be tested
// before the division (the last rank's interval runs on past the table, as
// far as any target). The index has about two buckets a rank, so a table of
// few ranks costs little to index; each rank writes BucketSlack entries
// without a test, and later ranks overwrite those that are not its own.
void IndexRanks(model &Model) {
    kelvo_uint16 const *Cum = Model.Cum;
    kelvo_int32 Bits = 1;
    while (Bits < Model.IndexBits && (1 << Bits) < 2 * (Model.Mark + 1)) {
        ++Bits;
    }
    Model.BucketShift = FrequencyBits - (kelvo_uint32)Bits;
    kelvo_uint32 const Shift = Model.BucketShift;
    kelvo_int32 const BucketTotal = 1 << Bits;
    rank_bucket *Buckets = Model.Bucket;
    kelvo_int32 Bucket = 0, Widest = 0;
    kelvo_uint32 WidestWidth = 0;
    for (kelvo_int32 Rank = 0; Rank <= Model.Mark; ++Rank) {
        kelvo_uint32 Low = Cum[Rank], High = Cum[Rank + 1];
        if (High - Low > WidestWidth) {
            WidestWidth = High - Low;
            Widest = Rank;
        }
        // Buckets that start before the rank's end (and after the previous
        // rank's) start in it.
        kelvo_int32 End = (kelvo_int32)((High - CumStart + (1u << Shift) - 1) >> Shift);
        End = End < BucketTotal ? End : BucketTotal;
        rank_bucket Entry = PackBucket((kelvo_uint32)Rank, Low, High, Cum[Rank + 2]);
        for (kelvo_int32 Index = 0; Index < BucketSlack; ++Index) {
            Buckets[Bucket + Index] = Entry;
        }
        for (kelvo_int32 Index = Bucket + BucketSlack; Index < End; ++Index) {
            Buckets[Index] = Entry;
        }
        Bucket = End > Bucket ? End : Bucket;
    }
    Model.Likely = Widest;
    Model.LikelyLow = Cum[Widest] - CumStart;
    Model.LikelyWidth = WidestWidth;
    Model.LikelyRest = 0u - (kelvo_uint32)(Widest == Model.Mark);
    Model.LikelyReach =
        WidestWidth < LikelyShare ? 0 : (Model.LikelyRest ? LastReach : WidestWidth);
}

void Rebuild(model &Model) {
    kelvo_uint32 Scale = Model.Total ? 0x20000u / Model.Total : 0;
    kelvo_uint16 *Cum = Model.Cum;
    Cum[0] = (kelvo_uint16)CumStart;
    for (kelvo_int32 Rank = 0; Rank < Model.Top; ++Rank) {
        Cum[Rank + 1] = (kelvo_uint16)(Cum[Rank] + Model.Count[Rank] * Scale / 8);
    }
    Cum[Model.Top + 1] = (kelvo_uint16)CumEnd;
    Model.Mark = Model.Top;
    for (kelvo_int32 Index = Model.Mark + 2; Index <= Model.Mark + CumSlack; ++Index) {
        Cum[Index] = (kelvo_uint16)CumEnd;
    }
    if (Model.Bucket) {
        IndexRanks(Model);
    }
    // Rebuilds come at geometric intervals up to the largest step.
    if (Model.MaxStep < 2 * Model.Step) {
        Model.Threshold = Model.Total + Model.MaxStep;
    } else {
        Model.Step *= 2;
        Model.Threshold = Model.Total + Model.Step;
    }
}

} // namespace

void RefreshModel(model &Model) {
    if (Model.Threshold >= Model.RescaleLimit) {
        Rescale(Model);
    }
    Rebuild(Model);
}

} // namespace fenwa1

namespace {

using namespace fenwa1;

// The hot path is one loop per piece with the coder's registers in locals:
// everything it calls on every symbol is inlined into it.
#define KELVO_DECODER_INLINE inline __attribute__((always_inline))

// What a table of 2^14 steps leaves of the range: the last rank's share.
constexpr kelvo_uint32 RangeRest = (1u << FrequencyBits) - 1;

// Bytes past the stored ones read as zero, as far as the padding the reader
// keeps after them; past that the stream is refused.
constexpr kelvo_int32 ReadablePadding = 4;

struct range_decoder {
    kelvo_uint8 const *Bytes;
    kelvo_int32 Size;
    kelvo_int32 Position;
    kelvo_uint32 Code;
    kelvo_uint32 Range;
    kelvo_uint32 Previous; // the last byte read; its low bit is still owed to Code
    decode_fault Fault;

    KELVO_DECODER_INLINE void Shift(kelvo_uint32 Byte) {
        Code = (Code << 8) | ((Previous << 7) & 0xFF) | (Byte >> 1);
        Previous = Byte;
        Range <<= 8;
    }

    kelvo_uint32 NextByte() {
        if (Position < Size) {
            return Bytes[Position++];
        }
        if (Position - Size < ReadablePadding) {
            ++Position;
        } else {
            Fault = ReadPastStoredBytes;
        }
        return 0;
    }

    void Start() {
        Previous = NextByte();
        Code = Previous >> 1;
        Range = 0x80;
    }

    // The range never falls to 0, so three bytes always restore it; away from
    // the end of the stream they are read unchecked.
    KELVO_DECODER_INLINE void Normalize() {
        if (Range > RangeBottom) {
            return;
        }
        if (Size - Position >= 3) {
            do {
                Shift(Bytes[Position++]);
            } while (Range <= RangeBottom);
            return;
        }
        do {
            Shift(NextByte());
        } while (Range <= RangeBottom);
    }

    // A value in [0, Count), all equally likely.
    KELVO_DECODER_INLINE kelvo_uint32 Uniform(kelvo_uint32 Count) {
        Normalize();
        kelvo_uint32 Step = Range / Count;
        kelvo_uint32 Value = Code / Step;
        if (Value > Count - 1) {
            Value = Count - 1;
        }
        Code -= Step * Value;
        Range = Value + 1 < Count ? Step : Range - Step * Value;
        return Value;
    }

    // Uniform(2) without the division: the value is whether Code reaches the
    // step.
    KELVO_DECODER_INLINE kelvo_uint32 Bit() {
        Normalize();
        kelvo_uint32 Step = Range >> 1;
        kelvo_uint32 Value = Code >= Step;
        Code -= Step & (0u - Value);
        Range = Value ? Range - Step : Step;
        return Value;
    }
};

// The escape: a symbol never seen (or dropped by a rescale), whose value comes
// uniformly from [0, UniformCount), or one seen since the last rebuild.
KELVO_DECODER_INLINE bool DecodeEscape(model &Model, range_decoder &Decoder,
                                       kelvo_uint32 UniformCount, kelvo_uint32 &Value) {
    if (Model.Top == Model.Mark || Decoder.Bit() == 0) {
        if (Model.Top >= Model.Size) {
            Decoder.Fault = ModelOverflow;
            return false;
        }
        if (UniformCount == 0) {
            Decoder.Fault = EmptyAlphabet;
            return false;
        }
        kelvo_int32 Top = AddRank(Model);
        Value = Decoder.Uniform(UniformCount);
        Model.Symbol[Top] = (kelvo_uint16)Value;
        return true;
    }
    kelvo_int32 Rank =
        Model.Mark + 1 + (kelvo_int32)Decoder.Uniform((kelvo_uint32)(Model.Top - Model.Mark));
    Model.Count[Rank] += 2;
    Model.Total += 2;
    Value = Model.Symbol[Rank];
    return true;
}

KELVO_DECODER_INLINE bool DecodeValue(model &Model, range_decoder &Decoder,
                                      kelvo_uint32 UniformCount, kelvo_uint32 &Value) {
    if (__builtin_expect(Model.Total >= Model.Threshold, 0)) {
        RefreshModel(Model);
    }
    Decoder.Normalize();
    kelvo_uint32 Step = Decoder.Range >> FrequencyBits;
    kelvo_uint32 Target = Decoder.Code / Step;
    if (Target > 0x3FFF) {
        Target = 0x3FFF;
    }
    // Issued before the test below, so that a miss finds it under way.
    __asm__("" : "+r"(Target));
    kelvo_int32 Rank;
    kelvo_uint32 Below = Step * Model.LikelyLow;
    kelvo_int64 Past = (kelvo_int64)Decoder.Code - (kelvo_int64)Below;
    if ((kelvo_uint64)Past < (kelvo_uint64)Step * Model.LikelyReach) {
        Rank = Model.Likely;
        Decoder.Code = (kelvo_uint32)Past;
        Decoder.Range = Step * Model.LikelyWidth + (Decoder.Range & RangeRest & Model.LikelyRest);
    } else {
        // The bucket usually lies inside one rank; else the rank is further on.
        rank_bucket Bucket = Model.Bucket[Target >> Model.BucketShift];
        Target += CumStart;
        // A bucket that ends in the next rank picks it by shifting the entry
        // one field down, as arithmetic: compilers turn a select into a branch
        // here, which mispredicts on a good share of literal decodes.
        kelvo_uint32 Past = (kelvo_uint32)(Bucket >> 32 & 0xFFFF) <= Target;
        Rank = (kelvo_int32)(Bucket & 0xFFFF) + (kelvo_int32)Past;
        Bucket >>= 16 * Past;
        kelvo_uint32 Low = (kelvo_uint32)(Bucket >> 16) & 0xFFFF;
        kelvo_uint32 High = (kelvo_uint32)(Bucket >> 32) & 0xFFFF;
        if (__builtin_expect(High <= Target, 0)) {
            kelvo_uint16 const *Cum = Model.Cum;
            do {
                ++Rank;
            } while (Cum[Rank + 1] <= Target);
            Low = Cum[Rank];
            High = Cum[Rank + 1];
        }
        Below = Step * (Low - CumStart);
        Decoder.Code -= Below;
        // The last rank also takes what the table's Step << 14 leaves of the
        // range (its High is CumEnd); added under a mask rather than chosen.
        kelvo_uint32 Rest = Decoder.Range & RangeRest & (0u - (kelvo_uint32)(Rank == Model.Mark));
        Decoder.Range = Step * (High - Low) + Rest;
    }
    Model.Count[Rank] += 1;
    Model.Total += 1;
    if (__builtin_expect(Rank > 0, 1)) {
        Value = Model.Symbol[Rank];
        return true;
    }
    return DecodeEscape(Model, Decoder, UniformCount, Value);
}

// The models of one piece in one block. Mid-offset models are set up on
// first use: a long window has many, and short pieces reach few of them.
struct piece_models {
    model *Models;
    model *Length;  // LengthSymbolCount of them
    model *Literal; // LiteralContextCount
    model *Low;
    model *High;
    model *Mid; // MidModelCount
    kelvo_int32 MidModelCount;
    kelvo_int32 MidLargest;
    kelvo_int32 MidSize;
    model_pools MidPools; // where mid-offset model 0's arrays start
    void *Block;
};

bool BuildModels(piece_parameters const &Piece, kelvo_int32 MidModelCount, piece_models &Models) {
    kelvo_int32 ModelCount = LengthSymbolCount + LiteralContextCount + 2 + MidModelCount;
    model_pools Pools = {};
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        ReserveModel(Pools, Piece.LengthModelSize[Model], 0);
    }
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        ReserveModel(Pools, Piece.LiteralModelSize, 0, LiteralBucketBits);
    }
    ReserveModel(Pools, Piece.LowCount, 0);
    ReserveModel(Pools, Piece.HighModelSize, 0);
    for (kelvo_int32 Model = 0; Model < MidModelCount; ++Model) {
        ReserveModel(Pools, Piece.MidCount, 0);
    }

    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, ModelCount, &Models.Models);
    AggrAllocArrayPtr(Aggr, Pools.RankCount, &Pools.Counts);
    AggrAllocArrayPtr(Aggr, Pools.RankCount, &Pools.Symbols);
    AggrAllocArrayPtr(Aggr, Pools.CumCount, &Pools.Cums);
    AggrAllocArrayPtr(Aggr, Pools.BucketTotal, &Pools.Buckets);
    Models.Block = EndAggrAlloc(Aggr, KELVO_HERE);
    if (!Models.Block) {
        return false;
    }

    model *Next = Models.Models;
    Models.Length = Next;
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        InitModel(*Next++, Pools, LengthSymbolCount - 1, Piece.LengthModelSize[Model], 0);
    }
    Models.Literal = Next;
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        InitModel(*Next++, Pools, Piece.LiteralCount - 1, Piece.LiteralModelSize, 0,
                  LiteralBucketBits);
    }
    Models.Low = Next;
    InitModel(*Next++, Pools, Piece.LowCount - 1, Piece.LowCount, 0);
    Models.High = Next;
    InitModel(*Next++, Pools, Piece.HighCount - 1, Piece.HighModelSize, 0);
    Models.Mid = Next;
    for (kelvo_int32 Model = 0; Model < MidModelCount; ++Model) {
        Models.Mid[Model].Count = nullptr; // not set up yet
    }
    Models.MidModelCount = MidModelCount;
    Models.MidLargest = Piece.MidCount - 1;
    Models.MidSize = Piece.MidCount;
    Models.MidPools = Pools;
    return true;
}

model &MidModel(piece_models &Models, kelvo_int32 High) {
    model &Model = Models.Mid[High];
    if (!Model.Count) {
        model_pools Pools = Models.MidPools;
        kelvo_int32 Size = Models.MidSize;
        Pools.Counts += (size_t)High * (Size + 1);
        Pools.Symbols += (size_t)High * (Size + 1);
        Pools.Cums += (size_t)High * (Size + 1 + CumSlack);
        Pools.Buckets += (size_t)High * (BucketCount + BucketSlack);
        InitModel(Model, Pools, Models.MidLargest, Size, 0);
    }
    return Model;
}

// Decodes one piece from Position up to Stop; Position moves on.
KELVO_DECODER_INLINE decode_fault DecodeSymbols(piece_parameters const &Piece, piece_models &Models,
                                                range_decoder &Decoder, kelvo_int32 &Position,
                                                kelvo_int32 Stop, kelvo_int32 ExpandedSize,
                                                kelvo_uint8 *Output) {
    kelvo_int32 const PieceStart = Position;
    kelvo_uint32 Previous = 0;
    kelvo_uint32 const LiteralCount = (kelvo_uint32)Piece.LiteralCount;
    while (Position < Stop) {
        kelvo_uint32 Symbol;
        if (!DecodeValue(Models.Length[Previous], Decoder, LengthSymbolCount, Symbol)) {
            return Decoder.Fault;
        }
        Previous = Symbol;
        if (Symbol == 0) {
            kelvo_uint32 Literal;
            if (!DecodeValue(Models.Literal[Position & 3], Decoder, LiteralCount, Literal)) {
                return Decoder.Fault;
            }
            if (Position >= ExpandedSize) {
                return WritePastOutput;
            }
            Output[Position++] = (kelvo_uint8)Literal;
        } else {
            kelvo_int32 Length = MatchLength((kelvo_int32)Symbol);
            kelvo_int32 Decoded = Position - PieceStart;
            kelvo_uint32 Reach = (kelvo_uint32)(Piece.Window < Decoded ? Piece.Window : Decoded);
            kelvo_uint32 Low, High, Mid;
            if (!DecodeValue(*Models.Low, Decoder, (kelvo_uint32)Piece.LowCount, Low) ||
                !DecodeValue(*Models.High, Decoder, Reach / 1024 + 1, High)) {
                return Decoder.Fault;
            }
            // High values never exceed what the piece's length allows, which
            // is what MidModelCount was sized by.
            if (High >= (kelvo_uint32)Models.MidModelCount) {
                return CopyBeforeOutput;
            }
            if (!DecodeValue(MidModel(Models, (kelvo_int32)High), Decoder,
                             Reach < 1024 ? Reach / 4 + 1 : 256, Mid)) {
                return Decoder.Fault;
            }
            kelvo_uint32 Offset = 1024 * High + 4 * Mid + Low + 1;
            decode_fault Fault = CopyMatch(Output, Position, ExpandedSize, Offset, Length);
            if (Fault != NoFault) {
                return Fault;
            }
        }
        if (Decoder.Fault != NoFault) {
            return Decoder.Fault;
        }
    }
    return NoFault;
}

// The coder's state is copied in and out, so that inside the loop it lives in
// registers.
decode_fault DecodePiece(piece_parameters const &Piece, piece_models &Models,
                         range_decoder &Decoder, kelvo_int32 &Position, kelvo_int32 Stop,
                         kelvo_int32 ExpandedSize, kelvo_uint8 *Output) {
    range_decoder Local = Decoder;
    kelvo_int32 At = Position;
    decode_fault Fault = DecodeSymbols(Piece, Models, Local, At, Stop, ExpandedSize, Output);
    Decoder = Local;
    Position = At;
    return Fault;
}

} // namespace

bool Fenwa1DecodePieces(bool ByteReversed, kelvo_int32 StoredSize, void const *StoredBytes,
                        kelvo_int32 PieceCount, kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
                        void *Destination) {
    kelvo_int32 const HeaderSize = PieceHeaderSize * PieceCount;
    kelvo_uint8 const *Stored = static_cast<kelvo_uint8 const *>(StoredBytes);
    kelvo_uint8 *Output = static_cast<kelvo_uint8 *>(Destination);
    range_decoder Decoder = {Stored, StoredSize, HeaderSize, 0, 0, 0, NoFault};
    Decoder.Start();

    return RunPieces(
        "Fenwa1", ByteReversed, Stored, PieceCount, Stops, ExpandedSize,
        [&](kelvo_uint32 const *Words, kelvo_int32 Stop, kelvo_int32 &Position) {
            piece_parameters Piece = ReadPieceHeader(Words);
            // A high offset never exceeds what the piece has decoded, so the
            // piece's length bounds how many mid-offset models can be reached.
            kelvo_int32 Reachable = (Stop - Position - 1) / 1024 + 1;
            piece_models Models;
            if (!BuildModels(Piece, Piece.HighCount < Reachable ? Piece.HighCount : Reachable,
                             Models)) {
                return NoModelMemory; // reported by the allocator
            }
            decode_fault Fault =
                DecodePiece(Piece, Models, Decoder, Position, Stop, ExpandedSize, Output);
            KELVO_DEALLOCATE(Models.Block);
            return Fault;
        });
}

} // namespace kelvo

KELVO_API kelvo_bool32 KelvoFenwa1Decompress(kelvo_bool32 FileIsByteReversed,
                                             kelvo_int32 StoredSize, void const *StoredBytes,
                                             kelvo_int32 ExpandedSize, void *Destination) {
    KELVO_TIMED_BLOCK("Fenwa1Decompress");
    return kelvo::DecodePieces(KelvoFenwa1Compression, FileIsByteReversed != 0, StoredSize,
                               StoredBytes, 1, &ExpandedSize, ExpandedSize, Destination);
}

KELVO_API kelvo_int32 KelvoGetFenwa1DecompressBufferPaddingSize(void) {
    return 4;
}
