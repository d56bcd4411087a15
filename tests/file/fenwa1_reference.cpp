// The Fenwa1 decoder as it was first written: plain, one symbol at a time,
// with its own copy of the model rules. The library's decoder must produce the
// same bytes and the same refusals for every stream; the benchmark measures it
// beside this one.
#include "fenwa1_reference.h"

#include "file/kelvo_compression.h"
#include "file/kelvo_fenwa1.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {
namespace {

using fenwa1::CumEnd;
using fenwa1::CumStart;
using fenwa1::FrequencyBits;
using fenwa1::LengthSymbolCount;
using fenwa1::LiteralContextCount;
using fenwa1::MatchLength;
using fenwa1::piece_parameters;
using fenwa1::PieceHeaderSize;
using fenwa1::RangeBottom;
using fenwa1::ReadPieceHeader;

constexpr kelvo_int32 CumSlack = 6;
constexpr kelvo_int32 BucketBits = 7;
constexpr kelvo_int32 BucketCount = 1 << BucketBits;

struct model {
    kelvo_uint16 *Count;  // Size + 1 ranks
    kelvo_uint16 *Cum;    // Size + 1 + CumSlack entries
    kelvo_uint16 *Symbol; // value of each rank
    kelvo_uint16 *Bucket; // the rank at the start of each bucket
    kelvo_int32 Size;
    kelvo_int32 Top;
    kelvo_int32 Mark;
    kelvo_uint32 Total;
    kelvo_uint32 Threshold;
    kelvo_uint32 Step;
    kelvo_uint32 MaxStep;
    kelvo_uint32 RescaleLimit;
};

struct model_pools {
    kelvo_int64 RankCount;
    kelvo_int64 CumCount;
    kelvo_int64 BucketTotal;
    kelvo_uint16 *Counts;
    kelvo_uint16 *Cums;
    kelvo_uint16 *Symbols;
    kelvo_uint16 *Buckets;
};

void ReserveModel(model_pools &Pools, kelvo_int32 Size, kelvo_int32) {
    Pools.RankCount += (kelvo_int64)Size + 1;
    Pools.CumCount += (kelvo_int64)Size + 1 + CumSlack;
    Pools.BucketTotal += BucketCount;
}

void InitModel(model &Model, model_pools &Pools, kelvo_int32 Largest, kelvo_int32 Size,
               kelvo_int32) {
    Model.Count = Pools.Counts;
    Model.Symbol = Pools.Symbols;
    Model.Cum = Pools.Cums;
    Model.Bucket = Pools.Buckets;
    Pools.Counts += Size + 1;
    Pools.Symbols += Size + 1;
    Pools.Cums += Size + 1 + CumSlack;
    Pools.Buckets += BucketCount;
    memset(Model.Count, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1));
    memset(Model.Symbol, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1));
    memset(Model.Cum, 0, sizeof(kelvo_uint16) * ((size_t)Size + 1 + CumSlack));
    memset(Model.Bucket, 0, sizeof(kelvo_uint16) * BucketCount);
    Model.Size = Size;
    Model.Top = 0;
    Model.Mark = 0;
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

void Rescale(model &Model) {
    kelvo_uint16 *Count = Model.Count;
    Count[0] >>= 1;
    Model.Total = Count[0];
    for (kelvo_int32 Rank = 1; Rank <= Model.Top;) {
        if (Count[Rank] < 2) {
            if (Rank != Model.Top) {
                Count[Rank] = Count[Model.Top];
                Model.Symbol[Rank] = Model.Symbol[Model.Top];
            }
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
            Count[Busiest] = Count[Model.Top];
            Model.Symbol[Busiest] = Model.Symbol[Model.Top];
            Count[Model.Top] = BusiestCount;
            Model.Symbol[Model.Top] = BusiestSymbol;
        }
    }
    if (Model.Top < Model.Size && Count[0] == 0) {
        Count[0] = 1;
        Model.Total += 1;
    }
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
    kelvo_int32 Rank = 0;
    for (kelvo_int32 Bucket = 0; Bucket < BucketCount; ++Bucket) {
        kelvo_uint32 Start = CumStart + ((kelvo_uint32)Bucket << (FrequencyBits - BucketBits));
        while (Cum[Rank + 1] <= Start) {
            ++Rank;
        }
        Model.Bucket[Bucket] = (kelvo_uint16)Rank;
    }
    if (Model.MaxStep < 2 * Model.Step) {
        Model.Threshold = Model.Total + Model.MaxStep;
    } else {
        Model.Step *= 2;
        Model.Threshold = Model.Total + Model.Step;
    }
}

void RefreshModel(model &Model) {
    if (Model.Threshold >= Model.RescaleLimit) {
        Rescale(Model);
    }
    Rebuild(Model);
}

kelvo_int32 AddRank(model &Model) {
    kelvo_int32 Top = ++Model.Top;
    Model.Count[Top] += 2;
    Model.Total += 2;
    if (Top >= Model.Size) {
        Model.Total -= Model.Count[0];
        Model.Count[0] = 0;
    }
    return Top;
}

// One byte at a time, front to back.
decode_fault CopyBytes(kelvo_uint8 *Output, kelvo_int32 &Position, kelvo_int32 ExpandedSize,
                       kelvo_uint64 Offset, kelvo_int32 Length) {
    if (Offset > (kelvo_uint64)Position) {
        return CopyBeforeOutput;
    }
    if (Length > ExpandedSize - Position) {
        return WritePastOutput;
    }
    for (kelvo_int32 Index = 0; Index < Length; ++Index, ++Position) {
        Output[Position] = Output[Position - Offset];
    }
    return NoFault;
}

kelvo_int32 FindRank(model const &Model, kelvo_uint32 Target) {
    kelvo_uint16 const *Cum = Model.Cum;
    kelvo_int32 Rank = Model.Bucket[(Target - CumStart) >> (FrequencyBits - BucketBits)];
    while (Cum[Rank + 1] <= Target) {
        ++Rank;
    }
    return Rank;
}

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

    void Normalize() {
        while (Range <= RangeBottom) {
            kelvo_uint32 Byte = NextByte();
            Code = (Code << 8) | ((Previous << 7) & 0xFF) | (Byte >> 1);
            Previous = Byte;
            Range <<= 8;
        }
    }

    // A value in [0, Count), all equally likely.
    kelvo_uint32 Uniform(kelvo_uint32 Count) {
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
};

// Decodes one value; an escape to a new symbol takes its value uniformly from
// [0, UniformCount).
inline bool DecodeValue(model &Model, range_decoder &Decoder, kelvo_uint32 UniformCount,
                        kelvo_uint32 &Value) {
    if (Model.Total >= Model.Threshold) {
        RefreshModel(Model);
    }
    Decoder.Normalize();
    kelvo_uint32 Step = Decoder.Range >> FrequencyBits;
    kelvo_uint32 Target = Decoder.Code / Step;
    if (Target > 0x3FFF) {
        Target = 0x3FFF;
    }
    kelvo_int32 Rank = FindRank(Model, CumStart + Target);
    kelvo_uint32 Below = Step * (Model.Cum[Rank] - CumStart);
    Decoder.Code -= Below;
    if (Rank == Model.Mark) {
        Decoder.Range -= Below;
    } else {
        Decoder.Range = Step * (kelvo_uint32)(Model.Cum[Rank + 1] - Model.Cum[Rank]);
    }
    Model.Count[Rank] += 1;
    Model.Total += 1;
    if (Rank > 0) {
        Value = Model.Symbol[Rank];
        return true;
    }

    if (Model.Top == Model.Mark || Decoder.Uniform(2) == 0) {
        // A symbol never seen, or dropped by a rescale.
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
    // Seen since the last rebuild but not yet in the table.
    Rank = Model.Mark + 1 + (kelvo_int32)Decoder.Uniform((kelvo_uint32)(Model.Top - Model.Mark));
    Model.Count[Rank] += 2;
    Model.Total += 2;
    Value = Model.Symbol[Rank];
    return true;
}

// The models of one piece in one block.
struct piece_models {
    model *Models;
    model *Length;  // LengthSymbolCount of them
    model *Literal; // LiteralContextCount
    model *Low;
    model *High;
    model *Mid; // MidModelCount
    kelvo_int32 MidModelCount;
    void *Block;
};

bool BuildModels(piece_parameters const &Piece, kelvo_int32 MidModelCount, piece_models &Models) {
    kelvo_int32 ModelCount = LengthSymbolCount + LiteralContextCount + 2 + MidModelCount;
    model_pools Pools = {};
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        ReserveModel(Pools, Piece.LengthModelSize[Model], 0);
    }
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        ReserveModel(Pools, Piece.LiteralModelSize, 0);
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
        InitModel(*Next++, Pools, Piece.LiteralCount - 1, Piece.LiteralModelSize, 0);
    }
    Models.Low = Next;
    InitModel(*Next++, Pools, Piece.LowCount - 1, Piece.LowCount, 0);
    Models.High = Next;
    InitModel(*Next++, Pools, Piece.HighCount - 1, Piece.HighModelSize, 0);
    Models.Mid = Next;
    for (kelvo_int32 Model = 0; Model < MidModelCount; ++Model) {
        InitModel(*Next++, Pools, Piece.MidCount - 1, Piece.MidCount, 0);
    }
    Models.MidModelCount = MidModelCount;
    return true;
}

// Decodes one piece from Position up to Stop; Position moves on.
decode_fault DecodePiece(piece_parameters const &Piece, piece_models &Models,
                         range_decoder &Decoder, kelvo_int32 &Position, kelvo_int32 Stop,
                         kelvo_int32 ExpandedSize, kelvo_uint8 *Output) {
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
            if (!DecodeValue(Models.Mid[High], Decoder, Reach < 1024 ? Reach / 4 + 1 : 256, Mid)) {
                return Decoder.Fault;
            }
            kelvo_uint32 Offset = 1024 * High + 4 * Mid + Low + 1;
            decode_fault Fault = CopyBytes(Output, Position, ExpandedSize, Offset, Length);
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

} // namespace

bool ReferenceFenwa1DecodePieces(bool ByteReversed, kelvo_int32 StoredSize, void const *StoredBytes,
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
