// The Fenwa1 encoder: an LZ77 parse over hash chains, coded with the same
// adaptive models the decoder keeps. Each Compress call codes one piece with
// fresh models; the range coder runs on across pieces, and End flushes it and
// writes the piece headers that size the decoder's models.
//
// The parse is greedy with one step of lookahead: a short match gives way to
// literals when those are estimated cheaper, and a match gives way to a better
// one starting a byte later. Estimates are the models' current code lengths.
#include "file/kelvo_compression.h"
#include "foundation/kelvo_counters.h"
#include "file/kelvo_fenwa1.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <math.h>
#include <string.h>

using namespace kelvo::fenwa1;

namespace {

// Match finder limits: candidates tried per chain, and the length at which a
// search stops looking for longer.
constexpr kelvo_int32 Chain4Depth = 32;
constexpr kelvo_int32 Chain3Depth = 12;
constexpr kelvo_int32 Chain2Depth = 6;
// Short matches pay for themselves only at short offsets.
constexpr kelvo_int32 Chain3Reach = 1 << 13;
constexpr kelvo_int32 Chain2Reach = 1 << 8;
constexpr kelvo_int32 NiceLength = 256;
// Matches this long are taken without looking one byte further.
constexpr kelvo_int32 LazyLength = 64;
// Inside a run of one byte value, positions past this far into the run share
// one chain node rather than crowding out older candidates.
constexpr kelvo_int32 RunInsertLimit = 32;

constexpr kelvo_int32 LargestChainBits = 18; // covers the whole window
// High offsets, and so mid-offset models, as the window allows; a section
// shorter than the window reaches fewer of the models.
constexpr kelvo_int32 HighCount = (EncoderWindow >> 10) + 1;

// Code lengths in bits: of an interval of Width in the 14-bit table, and of a
// uniform choice among Count values.
float WidthBits[(1 << FrequencyBits) + 1];
float UniformBits[EncoderAlphabet + 2];
bool CostTablesReady = false;

void MakeCostTables() {
    if (CostTablesReady) {
        return;
    }
    WidthBits[0] = 64.0f; // cannot be coded at all
    for (kelvo_int32 Width = 1; Width <= (1 << FrequencyBits); ++Width) {
        WidthBits[Width] = (float)(FrequencyBits - log2((double)Width));
    }
    UniformBits[0] = 0.0f;
    for (kelvo_int32 Count = 1; Count < EncoderAlphabet + 2; ++Count) {
        UniformBits[Count] = (float)log2((double)Count);
    }
    CostTablesReady = true;
}

struct match {
    kelvo_int32 Length; // 0 when there is none
    kelvo_int32 Offset;
};

} // namespace

struct kelvo_fenwa1_compressor {
    kelvo_int32 ExpandedSize;
    kelvo_int32 PieceCount;
    kelvo_int32 PiecesDone;
    kelvo_int32 BytesDone; // before the current piece; the decoder's output position
    bool Failed;
    bool Ended;

    // Range encoder: the byte awaiting a possible carry, and the 0xFF bytes
    // behind it that a carry would turn to 0x00.
    kelvo_uint32 Low;
    kelvo_uint32 Range;
    kelvo_int32 Pending; // -1 before the first byte
    kelvo_int32 Deferred;

    kelvo_uint8 *Output; // piece headers, then the coded bytes
    kelvo_int32 OutputSize;
    kelvo_int32 OutputCapacity;
    kelvo_uint8 *GrownOutput; // a block of its own once the first one overflowed
    kelvo_uint32 *HeaderWords;

    // Hash chains: heads hold a position + 1 (0 for none), chains the previous
    // position with the same key. Positions count across pieces, so entries of
    // earlier pieces are told apart by value rather than cleared.
    kelvo_uint32 *Head4, *Head3, *Head2;
    kelvo_uint32 *Chain4, *Chain3, *Chain2;
    kelvo_int32 HashBits4, HashBits3, HashBits2;
    kelvo_uint32 ChainMask;

    kelvo::fenwa1::model *Models;
    kelvo::fenwa1::model_pools Pools;
    kelvo_int32 MidModelCount;
};

namespace {

using compressor = kelvo_fenwa1_compressor;

// ---- output and range encoder ------------------------------------------------

bool GrowOutput(compressor &State) {
    kelvo_int64 Capacity = (kelvo_int64)State.OutputCapacity;
    Capacity += Capacity / 2 + 4096;
    if (Capacity > INT32_MAX) {
        Capacity = INT32_MAX;
    }
    if (Capacity <= State.OutputCapacity) {
        kelvo::Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
                   "%s(%d): Fenwa1 output would pass %d bytes", KELVO_HERE, State.OutputCapacity);
        return false;
    }
    kelvo_uint8 *Grown = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Capacity));
    if (!Grown) {
        return false;
    }
    kelvo::Copy(State.OutputSize, State.Output, Grown);
    if (State.GrownOutput) {
        KELVO_DEALLOCATE(State.GrownOutput);
    }
    State.GrownOutput = Grown;
    State.Output = Grown;
    State.OutputCapacity = (kelvo_int32)Capacity;
    return true;
}

inline void EmitByte(compressor &State, kelvo_uint32 Byte) {
    if (State.OutputSize == State.OutputCapacity && !GrowOutput(State)) {
        State.Failed = true;
        return;
    }
    State.Output[State.OutputSize++] = (kelvo_uint8)Byte;
}

// Settles the pending byte and the deferred ones behind it, given whether a
// carry reached them.
void SettlePending(compressor &State, bool Carry) {
    if (State.Pending >= 0) {
        EmitByte(State, (kelvo_uint32)State.Pending + (Carry ? 1 : 0));
    }
    for (; State.Deferred > 0; --State.Deferred) {
        EmitByte(State, Carry ? 0x00 : 0xFF);
    }
}

inline void Normalize(compressor &State) {
    while (State.Range <= RangeBottom) {
        if (State.Low < (0xFFu << 23)) {
            SettlePending(State, false);
            State.Pending = (kelvo_int32)(State.Low >> 23);
        } else if (State.Low & RangeTop) {
            SettlePending(State, true);
            State.Pending = (kelvo_int32)((State.Low >> 23) & 0xFF);
        } else {
            // A top byte of 0xFF may still take a carry: hold it back.
            ++State.Deferred;
        }
        State.Range <<= 8;
        State.Low = (State.Low << 8) & (RangeTop - 1);
    }
}

void Flush(compressor &State) {
    Normalize(State);
    SettlePending(State, (State.Low & RangeTop) != 0);
    State.Pending = -1;
    kelvo_uint32 Low = State.Low & (RangeTop - 1);
    EmitByte(State, Low >> 23);
    EmitByte(State, (Low >> 15) & 0xFF);
    EmitByte(State, (Low >> 7) & 0xFF);
    EmitByte(State, (Low << 1) & 0xFF);
}

// An interval of the 14-bit table; the table's last rank takes the rounding
// slack, as the decoder assumes.
inline void EncodeShift(compressor &State, kelvo_uint32 Below, kelvo_uint32 Width, bool Last) {
    Normalize(State);
    kelvo_uint32 Step = State.Range >> FrequencyBits;
    kelvo_uint32 Start = Step * Below;
    State.Low += Start;
    State.Range = Last ? State.Range - Start : Step * Width;
}

inline void EncodeUniform(compressor &State, kelvo_uint32 Value, kelvo_uint32 Count) {
    Normalize(State);
    kelvo_uint32 Step = State.Range / Count;
    kelvo_uint32 Start = Step * Value;
    State.Low += Start;
    State.Range = Value + 1 < Count ? Step : State.Range - Start;
}

// ---- models ------------------------------------------------------------------

void EncodeValue(compressor &State, model &Model, kelvo_uint32 Value, kelvo_uint32 UniformCount) {
    if (Model.Total >= Model.Threshold) {
        RefreshModel(Model);
    }
    kelvo_uint16 *Cum = Model.Cum;
    kelvo_int32 Rank = Model.RankOf[Value];
    if (Rank != 0 && Rank <= Model.Mark) {
        EncodeShift(State, Cum[Rank] - CumStart, (kelvo_uint32)(Cum[Rank + 1] - Cum[Rank]),
                    Rank == Model.Mark);
        Model.Count[Rank] += 1;
        Model.Total += 1;
        return;
    }
    EncodeShift(State, 0, (kelvo_uint32)(Cum[1] - Cum[0]), Model.Mark == 0);
    Model.Count[0] += 1;
    Model.Total += 1;
    if (Rank != 0) {
        EncodeUniform(State, 1, 2);
        EncodeUniform(State, (kelvo_uint32)(Rank - Model.Mark - 1),
                      (kelvo_uint32)(Model.Top - Model.Mark));
        Model.Count[Rank] += 2;
        Model.Total += 2;
        return;
    }
    if (Model.Top != Model.Mark) {
        EncodeUniform(State, 0, 2);
    }
    kelvo_int32 Top = AddRank(Model);
    Model.Symbol[Top] = (kelvo_uint16)Value;
    Model.RankOf[Value] = (kelvo_uint16)Top;
    if (Top > Model.MaxTop) {
        Model.MaxTop = Top;
    }
    EncodeUniform(State, Value, UniformCount);
}

// Estimated bits for Value with the model as it stands.
inline float ValueBits(model const &Model, kelvo_uint32 Value, kelvo_uint32 UniformCount) {
    kelvo_uint16 const *Cum = Model.Cum;
    kelvo_int32 Rank = Model.RankOf[Value];
    if (Rank != 0 && Rank <= Model.Mark) {
        return WidthBits[Cum[Rank + 1] - Cum[Rank]];
    }
    float Bits = WidthBits[Cum[1] - Cum[0]];
    if (Rank != 0) {
        return Bits + 1.0f + UniformBits[Model.Top - Model.Mark];
    }
    return Bits + (Model.Top != Model.Mark ? 1.0f : 0.0f) + UniformBits[UniformCount];
}

struct piece_coder {
    compressor *State;
    kelvo_uint8 const *Data;
    kelvo_int32 Size;
    kelvo_int32 Start; // of the piece, counted across pieces
    kelvo_uint32 PreviousLength;
    model *Length;
    model *Literal;
    model *Low;
    model *High;
    model *Mid;
    kelvo_int32 Inserted; // positions below this are in the chains
    kelvo_int32 RunLength;
};

void StartModels(compressor &State, piece_coder &Coder) {
    model_pools Pools = State.Pools;
    model *Next = State.Models;
    Coder.Length = Next;
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        InitModel(*Next++, Pools, LengthSymbolCount - 1, LengthSymbolCount, LengthSymbolCount);
    }
    Coder.Literal = Next;
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        InitModel(*Next++, Pools, EncoderAlphabet - 1, EncoderAlphabet, EncoderAlphabet);
    }
    Coder.Low = Next;
    InitModel(*Next++, Pools, 3, 4, 4);
    Coder.High = Next;
    InitModel(*Next++, Pools, HighCount - 1, HighCount, HighCount);
    Coder.Mid = Next;
    for (kelvo_int32 Model = 0; Model < State.MidModelCount; ++Model) {
        InitModel(*Next++, Pools, 255, 256, 256);
    }
}

void ReserveModels(model_pools &Pools, kelvo_int32 MidModelCount) {
    for (kelvo_int32 Model = 0; Model < LengthSymbolCount; ++Model) {
        ReserveModel(Pools, LengthSymbolCount, LengthSymbolCount);
    }
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        ReserveModel(Pools, EncoderAlphabet, EncoderAlphabet);
    }
    ReserveModel(Pools, 4, 4);
    ReserveModel(Pools, HighCount, HighCount);
    for (kelvo_int32 Model = 0; Model < MidModelCount; ++Model) {
        ReserveModel(Pools, 256, 256);
    }
}

// The header words that size the decoder's models to what this piece used.
void WritePieceHeader(piece_coder const &Coder, kelvo_uint32 Words[PieceHeaderWords]) {
    kelvo_int32 LiteralRanks = 0;
    for (kelvo_int32 Model = 0; Model < LiteralContextCount; ++Model) {
        kelvo_int32 Ranks = Coder.Literal[Model].MaxTop + 1;
        LiteralRanks = Ranks > LiteralRanks ? Ranks : LiteralRanks;
    }
    LiteralRanks = LiteralRanks > EncoderAlphabet ? EncoderAlphabet : LiteralRanks;
    kelvo_int64 HighReach = 1024 * ((kelvo_int64)Coder.High->MaxTop + 1);
    HighReach = HighReach < EncoderWindow ? HighReach : EncoderWindow;
    kelvo_uint32 LengthSizes = 0;
    for (kelvo_int32 Group = 0; Group < 4; ++Group) {
        kelvo_int32 Ranks = 0;
        kelvo_int32 Last = Group == 3 ? LengthSymbolCount : 16 * Group + 16;
        for (kelvo_int32 Model = 16 * Group; Model < Last; ++Model) {
            kelvo_int32 Used = Coder.Length[Model].MaxTop + 1;
            Ranks = Used > Ranks ? Used : Ranks;
        }
        Ranks = Ranks > LengthSymbolCount ? LengthSymbolCount : Ranks;
        LengthSizes = (LengthSizes << 8) | (kelvo_uint32)Ranks;
    }
    Words[0] = (kelvo_uint32)EncoderAlphabet + 512u * (kelvo_uint32)EncoderWindow;
    Words[1] = (kelvo_uint32)LiteralRanks + 512u * (kelvo_uint32)HighReach;
    Words[2] = LengthSizes;
}

// ---- match finder ------------------------------------------------------------

inline kelvo_uint32 Read32(kelvo_uint8 const *Bytes) {
    kelvo_uint32 Value;
    memcpy(&Value, Bytes, 4);
    return Value;
}

inline kelvo_uint32 Hash(kelvo_uint32 Key, kelvo_int32 Bits) {
    return (Key * 2654435761u) >> (32 - Bits);
}

inline kelvo_uint32 Key3(kelvo_uint8 const *Bytes) {
    return Bytes[0] | (kelvo_uint32)Bytes[1] << 8 | (kelvo_uint32)Bytes[2] << 16;
}

inline kelvo_uint32 Key2(kelvo_uint8 const *Bytes) {
    return Bytes[0] | (kelvo_uint32)Bytes[1] << 8;
}

// Deep inside a run the chain keeps a single node for the run, moved along to
// the newest position: offset 1 stays the first candidate, and the positions
// before the run stay within reach of the chain.
inline void Link(kelvo_uint32 *Head, kelvo_uint32 *Chain, kelvo_uint32 Slot, kelvo_uint32 Global,
                 kelvo_uint32 Mask, bool DeepInRun) {
    if (DeepInRun && Head[Slot] == Global) {
        Chain[Global & Mask] = Chain[(Global - 1) & Mask];
    } else {
        Chain[Global & Mask] = Head[Slot];
    }
    Head[Slot] = Global + 1;
}

void InsertUpTo(piece_coder &Coder, kelvo_int32 End) {
    compressor &State = *Coder.State;
    kelvo_uint8 const *Data = Coder.Data;
    for (kelvo_int32 Position = Coder.Inserted; Position < End; ++Position) {
        Coder.RunLength =
            Position > 0 && Data[Position] == Data[Position - 1] ? Coder.RunLength + 1 : 0;
        bool DeepInRun = Coder.RunLength >= RunInsertLimit;
        kelvo_int32 Left = Coder.Size - Position;
        kelvo_uint32 Global = (kelvo_uint32)(Coder.Start + Position);
        kelvo_uint8 const *Bytes = Data + Position;
        if (Left >= 4) {
            Link(State.Head4, State.Chain4, Hash(Read32(Bytes), State.HashBits4), Global,
                 State.ChainMask, DeepInRun);
        }
        if (Left >= 3) {
            Link(State.Head3, State.Chain3, Hash(Key3(Bytes), State.HashBits3), Global,
                 State.ChainMask, DeepInRun);
        }
        if (Left >= 2) {
            Link(State.Head2, State.Chain2, Hash(Key2(Bytes), State.HashBits2), Global,
                 State.ChainMask, DeepInRun);
        }
    }
    if (End > Coder.Inserted) {
        Coder.Inserted = End;
    }
}

inline kelvo_int32 CommonLength(kelvo_uint8 const *A, kelvo_uint8 const *B, kelvo_int32 Limit) {
    kelvo_int32 Length = 0;
    while (Length + 8 <= Limit) {
        kelvo_uint64 X, Y;
        memcpy(&X, A + Length, 8);
        memcpy(&Y, B + Length, 8);
        if (X != Y) {
            return Length + (__builtin_ctzll(X ^ Y) >> 3);
        }
        Length += 8;
    }
    while (Length < Limit && A[Length] == B[Length]) {
        ++Length;
    }
    return Length;
}

// Walks one chain for matches longer than Best.Length, newest first.
void SearchChain(piece_coder const &Coder, kelvo_uint32 const *Head, kelvo_uint32 const *Chain,
                 kelvo_uint32 Slot, kelvo_int32 Depth, kelvo_int32 Farthest, kelvo_int32 Position,
                 kelvo_int32 Limit, match &Best) {
    compressor const &State = *Coder.State;
    kelvo_uint8 const *Data = Coder.Data;
    kelvo_uint8 const *Here = Data + Position;
    kelvo_int32 Reach = Position < Farthest ? Position : Farthest;
    kelvo_uint32 Entry = Head[Slot];
    kelvo_uint32 Global = (kelvo_uint32)(Coder.Start + Position);
    for (; Depth > 0 && Entry > (kelvo_uint32)Coder.Start; --Depth) {
        kelvo_uint32 Candidate = Entry - 1;
        kelvo_int32 Offset = (kelvo_int32)(Global - Candidate);
        if (Offset <= 0 || Offset > Reach) {
            break;
        }
        kelvo_uint8 const *There = Here - Offset;
        if (There[Best.Length] == Here[Best.Length]) {
            kelvo_int32 Length = CommonLength(Here, There, Limit);
            if (Length > Best.Length) {
                Best.Length = Length;
                Best.Offset = Offset;
                if (Length >= Limit || Length >= NiceLength) {
                    return;
                }
            }
        }
        Entry = Chain[Candidate & State.ChainMask];
    }
}

match FindMatch(piece_coder &Coder, kelvo_int32 Position) {
    InsertUpTo(Coder, Position);
    compressor const &State = *Coder.State;
    match Best = {1, 0};
    kelvo_int32 Left = Coder.Size - Position;
    kelvo_int32 Limit = Left < LongestMatch ? Left : LongestMatch;
    kelvo_uint8 const *Bytes = Coder.Data + Position;
    if (Limit >= 4) {
        SearchChain(Coder, State.Head4, State.Chain4, Hash(Read32(Bytes), State.HashBits4),
                    Chain4Depth, EncoderWindow, Position, Limit, Best);
    }
    if (Best.Length <= 3 && Limit >= 3) {
        SearchChain(Coder, State.Head3, State.Chain3, Hash(Key3(Bytes), State.HashBits3),
                    Chain3Depth, Chain3Reach, Position, Limit, Best);
    }
    if (Best.Length <= 2 && Limit >= 2) {
        SearchChain(Coder, State.Head2, State.Chain2, Hash(Key2(Bytes), State.HashBits2),
                    Chain2Depth, Chain2Reach, Position, Limit, Best);
    }
    if (Best.Length < 2) {
        Best.Length = 0;
    }
    return Best;
}

// ---- parse -------------------------------------------------------------------

kelvo_uint32 Reach(kelvo_int32 Position) {
    return (kelvo_uint32)(Position < EncoderWindow ? Position : EncoderWindow);
}

float LiteralBits(piece_coder const &Coder, kelvo_int32 Position, kelvo_uint32 Context) {
    return ValueBits(Coder.Length[Context], 0, LengthSymbolCount) +
           ValueBits(Coder.Literal[(Coder.Start + Position) & 3], Coder.Data[Position],
                     EncoderAlphabet);
}

float MatchBits(piece_coder const &Coder, kelvo_int32 Position, kelvo_int32 Length,
                kelvo_int32 Offset, kelvo_uint32 Context) {
    kelvo_uint32 Distance = (kelvo_uint32)Offset - 1;
    kelvo_uint32 High = Distance >> 10;
    kelvo_uint32 Limit = Reach(Position);
    return ValueBits(Coder.Length[Context], (kelvo_uint32)LengthSymbol(Length), LengthSymbolCount) +
           ValueBits(*Coder.Low, Distance & 3, 4) + ValueBits(*Coder.High, High, Limit / 1024 + 1) +
           ValueBits(Coder.Mid[High], (Distance >> 2) & 255, Limit < 1024 ? Limit / 4 + 1 : 256);
}

void EmitLiteral(piece_coder &Coder, kelvo_int32 Position) {
    compressor &State = *Coder.State;
    EncodeValue(State, Coder.Length[Coder.PreviousLength], 0, LengthSymbolCount);
    EncodeValue(State, Coder.Literal[(Coder.Start + Position) & 3], Coder.Data[Position],
                EncoderAlphabet);
    Coder.PreviousLength = 0;
}

void EmitMatch(piece_coder &Coder, kelvo_int32 Position, kelvo_int32 Length, kelvo_int32 Offset) {
    compressor &State = *Coder.State;
    kelvo_uint32 Symbol = (kelvo_uint32)LengthSymbol(Length);
    EncodeValue(State, Coder.Length[Coder.PreviousLength], Symbol, LengthSymbolCount);
    Coder.PreviousLength = Symbol;
    kelvo_uint32 Distance = (kelvo_uint32)Offset - 1;
    kelvo_uint32 High = Distance >> 10;
    kelvo_uint32 Limit = Reach(Position);
    EncodeValue(State, *Coder.Low, Distance & 3, 4);
    EncodeValue(State, *Coder.High, High, Limit / 1024 + 1);
    EncodeValue(State, Coder.Mid[High], (Distance >> 2) & 255, Limit < 1024 ? Limit / 4 + 1 : 256);
}

void CodePiece(piece_coder &Coder) {
    kelvo_int32 const Size = Coder.Size;
    kelvo_int32 Position = 0;
    match Current = FindMatch(Coder, 0);
    while (Position < Size) {
        if (Current.Length < 2) {
            EmitLiteral(Coder, Position);
            ++Position;
            Current = FindMatch(Coder, Position);
            continue;
        }
        kelvo_int32 Length = CodableLength(Current.Length);
        float Bits = MatchBits(Coder, Position, Length, Current.Offset, Coder.PreviousLength);
        if (Length <= 5) {
            float Literals = LiteralBits(Coder, Position, Coder.PreviousLength);
            for (kelvo_int32 Index = 1; Index < Length && Literals < Bits; ++Index) {
                Literals += LiteralBits(Coder, Position + Index, 0);
            }
            if (Literals <= Bits) {
                EmitLiteral(Coder, Position);
                ++Position;
                Current = FindMatch(Coder, Position);
                continue;
            }
        }
        if (Position + 1 < Size && Length < LazyLength) {
            match Next = FindMatch(Coder, Position + 1);
            if (Next.Length > Length) {
                kelvo_int32 NextLength = CodableLength(Next.Length);
                float Deferred = LiteralBits(Coder, Position, Coder.PreviousLength) +
                                 MatchBits(Coder, Position + 1, NextLength, Next.Offset, 0);
                // Cheaper per byte covered, the literal included.
                if (Deferred * (float)Length < Bits * (float)(NextLength + 1)) {
                    EmitLiteral(Coder, Position);
                    ++Position;
                    Current = Next;
                    continue;
                }
            }
        }
        EmitMatch(Coder, Position, Length, Current.Offset);
        Position += Length;
        Current = FindMatch(Coder, Position);
    }
}

// ---- state -------------------------------------------------------------------

kelvo_int32 CeilLog2(kelvo_int64 Value) {
    kelvo_int32 Bits = 0;
    while (((kelvo_int64)1 << Bits) < Value) {
        ++Bits;
    }
    return Bits;
}

#define KELVO_COMPRESSOR_CHECK(Condition)                                                          \
    do {                                                                                           \
        if (!(Condition)) {                                                                        \
            kelvo::Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,                            \
                       "%s(%d): " #Condition " was not true", KELVO_HERE);                         \
            State->Failed = true;                                                                  \
            return;                                                                                \
        }                                                                                          \
    } while (0)

} // namespace

namespace kelvo {

kelvo_fenwa1_compressor *Fenwa1Begin(kelvo_int32 ExpandedSize, kelvo_int32 PieceCount,
                                     kelvo_int32 OutputCapacity) {
    KELVO_CHECK(ExpandedSize >= 0, KelvoCompressorLogMessage, nullptr);
    KELVO_CHECK(PieceCount > 0 && PieceCount <= INT32_MAX / PieceHeaderSize,
                KelvoCompressorLogMessage, nullptr);
    KELVO_CHECK(OutputCapacity >= PieceHeaderSize * PieceCount, KelvoCompressorLogMessage, nullptr);
    MakeCostTables();

    // Chains need not be longer than the data, nor longer than the window.
    kelvo_int32 ChainBits = CeilLog2(ExpandedSize > 1 ? ExpandedSize : 1);
    ChainBits = ChainBits < 8 ? 8 : (ChainBits > LargestChainBits ? LargestChainBits : ChainBits);
    kelvo_int64 ChainSize = (kelvo_int64)1 << ChainBits;

    compressor *State;
    kelvo_uint32 *Head4, *Head3, *Head2, *Chain4, *Chain3, *Chain2, *HeaderWords;
    kelvo_uint8 *Output;
    model *Models;
    model_pools Pools = {};
    kelvo_int32 MidModelCount = (ExpandedSize > 0 ? ExpandedSize - 1 : 0) / 1024 + 1;
    MidModelCount = MidModelCount < HighCount ? MidModelCount : HighCount;
    ReserveModels(Pools, MidModelCount);
    kelvo_int32 HashBits3 = ChainBits < 16 ? ChainBits : 16;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &State, sizeof(compressor));
    AggrAllocArrayPtr(Aggr, (kelvo_int64)1 << ChainBits, &Head4);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)1 << HashBits3, &Head3);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)1 << HashBits3, &Head2);
    AggrAllocArrayPtr(Aggr, ChainSize, &Chain4);
    AggrAllocArrayPtr(Aggr, ChainSize, &Chain3);
    AggrAllocArrayPtr(Aggr, ChainSize, &Chain2);
    AggrAllocArrayPtr(Aggr, (kelvo_int64)PieceHeaderWords * PieceCount, &HeaderWords);
    AggrAllocArrayPtr(Aggr, LengthSymbolCount + LiteralContextCount + 2 + MidModelCount, &Models);
    AggrAllocArrayPtr(Aggr, Pools.RankCount, &Pools.Counts);
    AggrAllocArrayPtr(Aggr, Pools.RankCount, &Pools.Symbols);
    AggrAllocArrayPtr(Aggr, Pools.CumCount, &Pools.Cums);
    AggrAllocArrayPtr(Aggr, Pools.ValueCount, &Pools.RanksOf);
    AggrAllocArrayPtr(Aggr, OutputCapacity, &Output);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }

    memset(State, 0, sizeof(*State));
    State->ExpandedSize = ExpandedSize;
    State->PieceCount = PieceCount;
    State->Range = RangeTop;
    State->Pending = -1;
    State->Output = Output;
    State->OutputCapacity = OutputCapacity;
    State->OutputSize = PieceHeaderSize * PieceCount;
    State->HeaderWords = HeaderWords;
    memset(HeaderWords, 0, sizeof(kelvo_uint32) * PieceHeaderWords * (size_t)PieceCount);
    State->Head4 = Head4;
    State->Head3 = Head3;
    State->Head2 = Head2;
    State->Chain4 = Chain4;
    State->Chain3 = Chain3;
    State->Chain2 = Chain2;
    State->HashBits4 = ChainBits;
    State->HashBits3 = HashBits3;
    State->HashBits2 = HashBits3;
    State->ChainMask = (kelvo_uint32)(ChainSize - 1);
    memset(Head4, 0, sizeof(kelvo_uint32) * ((size_t)1 << ChainBits));
    memset(Head3, 0, sizeof(kelvo_uint32) * ((size_t)1 << HashBits3));
    memset(Head2, 0, sizeof(kelvo_uint32) * ((size_t)1 << HashBits3));
    State->Models = Models;
    State->Pools = Pools;
    State->MidModelCount = MidModelCount;
    return State;
}

} // namespace kelvo

KELVO_API kelvo_fenwa1_compressor *KelvoFenwa1BeginSimple(kelvo_int32 ExpandedSize,
                                                          kelvo_int32 PieceCount) {
    // Room for a ninth bit a byte, the piece headers and the coder's flush;
    // anything beyond that grows the buffer.
    kelvo_int64 Capacity = ((kelvo_int64)9 * (ExpandedSize > 0 ? ExpandedSize : 0) + 7) / 8 +
                           (kelvo_int64)PieceHeaderSize * (PieceCount > 0 ? PieceCount : 0) + 36;
    if (Capacity > INT32_MAX) {
        kelvo::Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
                   "%s(%d): Capacity %I64d is out of range for an int32 OutputCapacity", KELVO_HERE,
                   Capacity);
        return nullptr;
    }
    return kelvo::Fenwa1Begin(ExpandedSize, PieceCount, (kelvo_int32)Capacity);
}

KELVO_API void KelvoFenwa1Compress(kelvo_fenwa1_compressor *State, kelvo_int32 ByteCount,
                                   void const *Data) {
    KELVO_TIMED_BLOCK("Fenwa1Compress");
    KELVO_CHECK_NOT_NULL(State, KelvoCompressorLogMessage, KELVO_NOTHING);
    KELVO_COMPRESSOR_CHECK(!State->Ended);
    KELVO_COMPRESSOR_CHECK(State->PiecesDone < State->PieceCount);
    KELVO_COMPRESSOR_CHECK(ByteCount >= 0 && ByteCount <= State->ExpandedSize - State->BytesDone);
    KELVO_COMPRESSOR_CHECK(Data || ByteCount == 0);

    piece_coder Coder = {};
    Coder.State = State;
    Coder.Data = static_cast<kelvo_uint8 const *>(Data);
    Coder.Size = ByteCount;
    Coder.Start = State->BytesDone;
    StartModels(*State, Coder);
    CodePiece(Coder);
    WritePieceHeader(Coder, State->HeaderWords + PieceHeaderWords * State->PiecesDone);
    State->BytesDone += ByteCount;
    ++State->PiecesDone;
}

KELVO_API kelvo_int32 KelvoFenwa1End(kelvo_fenwa1_compressor *State, void **CompressedBytes,
                                     kelvo_bool32 WriteForEndianSwap) {
    KELVO_CHECK_NOT_NULL(CompressedBytes, KelvoCompressorLogMessage, 0);
    *CompressedBytes = nullptr;
    KELVO_CHECK_NOT_NULL(State, KelvoCompressorLogMessage, 0);
    if (!State->Ended) {
        Flush(*State);
        State->Ended = true;
    }
    if (State->Failed) {
        return 0;
    }
    // From the kept words, so that a second End may ask for either order.
    for (kelvo_int32 Index = 0; Index < PieceHeaderWords * State->PieceCount; ++Index) {
        kelvo_uint32 Word = State->HeaderWords[Index];
        if (WriteForEndianSwap) {
            kelvo::Reverse32(4, &Word);
        }
        memcpy(State->Output + 4 * Index, &Word, 4);
    }
    *CompressedBytes = State->Output;
    return State->OutputSize;
}

KELVO_API void KelvoFenwa1FreeSimple(kelvo_fenwa1_compressor *State) {
    if (!State) {
        return;
    }
    if (State->GrownOutput) {
        KELVO_DEALLOCATE(State->GrownOutput);
    }
    KELVO_DEALLOCATE(State);
}

KELVO_API kelvo_int32 KelvoGetFenwa1CompressBufferPaddingSize(void) {
    return 8;
}
