// What the Fenwa1 decoder and encoder share: the piece header, the adaptive
// model with its rebuild and rescale rules, and the range coder's constants.
// Both sides must step their models identically, so the rules live here once.
#ifndef KELVO_FENWA1_INTERNAL_H
#define KELVO_FENWA1_INTERNAL_H

#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_types.h"

namespace kelvo {
namespace fenwa1 {

constexpr kelvo_int32 PieceHeaderWords = 3;
constexpr kelvo_int32 PieceHeaderSize = 4 * PieceHeaderWords;
constexpr kelvo_int32 SectionPieceCount = 3;

// Length symbols 0 (a literal) to 64; the previous one picks the length model.
constexpr kelvo_int32 LengthSymbolCount = 65;
constexpr kelvo_int32 LiteralContextCount = 4;
constexpr kelvo_int32 LongestMatch = 512;

// What the encoder always writes: full byte alphabet and an 18-bit window.
constexpr kelvo_int32 EncoderAlphabet = 256;
constexpr kelvo_int32 EncoderWindow = 0x3FFFF;

// Range coder: 31 bits of code, bytes shifted in with a one-bit offset.
constexpr kelvo_uint32 RangeTop = 0x80000000u;
constexpr kelvo_uint32 RangeBottom = 0x800000u;
constexpr kelvo_uint32 FrequencyBits = 14;
constexpr kelvo_uint32 CumStart = 0x8000u; // frequencies live in [CumStart, CumEnd)
constexpr kelvo_uint32 CumEnd = 0xC000u;
// cum[] carries these entries past the table's last rank.
constexpr kelvo_int32 CumSlack = 6;
// The decoder finds ranks through an index of the table in this many buckets.
constexpr kelvo_int32 BucketBits = 7;
constexpr kelvo_int32 BucketCount = 1 << BucketBits;
// Literal models are the busiest and, on numeric data, the flattest: a finer
// index spares most of their lookups a walk.
constexpr kelvo_int32 LiteralBucketBits = 9;
// Entries past a model's index that its fill may write.
constexpr kelvo_int32 BucketSlack = 4;
// How wide (of the table's 0x4000) a rank must be to be tried first. A hit
// skips the division and the index, which pays for the mispredicted test even
// when the rank takes only an eighth of the decodes.
constexpr kelvo_uint32 LikelyShare = 0x0800;
// The reach of the last rank, whose interval takes any target past the table.
constexpr kelvo_uint32 LastReach = 1u << 20;

inline kelvo_int32 MatchLength(kelvo_int32 Symbol) {
    // Symbols 61 to 64 stand for long runs; 62 to 127 bytes have no symbol.
    static constexpr kelvo_int32 Long[4] = {128, 192, 256, 512};
    return Symbol <= 60 ? Symbol + 1 : Long[Symbol - 61];
}

// The longest codable length not above Length (at least 2).
inline kelvo_int32 CodableLength(kelvo_int32 Length) {
    if (Length >= 512)
        return 512;
    if (Length >= 256)
        return 256;
    if (Length >= 192)
        return 192;
    if (Length >= 128)
        return 128;
    return Length > 61 ? 61 : Length;
}

inline kelvo_int32 LengthSymbol(kelvo_int32 CodableLength) {
    switch (CodableLength) {
    case 128:
        return 61;
    case 192:
        return 62;
    case 256:
        return 63;
    case 512:
        return 64;
    default:
        return CodableLength - 1;
    }
}

// A piece header in native order, and what follows from it.
struct piece_parameters {
    kelvo_int32 LiteralCount; // L: literal values sent uniformly
    kelvo_int32 Window;       // W: largest offset
    kelvo_int32 LiteralModelSize;
    kelvo_int32 HighModelSize;
    kelvo_int32 LengthModelSize[LengthSymbolCount];
    kelvo_int32 LowCount;  // Nlow
    kelvo_int32 MidCount;  // Nmid
    kelvo_int32 HighCount; // Nhigh, also the number of mid-offset models
};

piece_parameters ReadPieceHeader(kelvo_uint32 const Words[PieceHeaderWords]);

// A bucket of the decoder's index, one 64-bit word from the low bits up: the
// rank at the bucket's start, its interval (cum[Rank], cum[Rank + 1]) and the
// end of the next rank's (cum[Rank + 2]), so that most lookups need nothing
// else. Shifting the word down one field gives the next rank's interval.
typedef kelvo_uint64 rank_bucket;

inline rank_bucket PackBucket(kelvo_uint32 Rank, kelvo_uint32 Low, kelvo_uint32 High,
                              kelvo_uint32 Next) {
    return (kelvo_uint64)Rank | (kelvo_uint64)Low << 16 | (kelvo_uint64)High << 32 |
           (kelvo_uint64)Next << 48;
}

// An adaptive model over ranks; rank 0 is the escape, the others stand for
// symbol values in order of first appearance. Only ranks up to Mark are in the
// cumulative table; newer ones are reached through the escape.
struct model {
    kelvo_uint16 *Count;  // Size + 1 ranks
    kelvo_uint16 *Cum;    // Size + 1 + CumSlack entries
    kelvo_uint16 *Symbol; // value of each rank
    kelvo_uint16 *RankOf; // encoder only: rank of each value, 0 when absent
    rank_bucket *Bucket;  // decoder only: 2^(FrequencyBits - BucketShift) of them
    kelvo_int32 Size;     // most ranks besides the escape
    kelvo_int32 Top;
    kelvo_int32 Mark;
    kelvo_int32 MaxTop;       // the most ranks ever in use, for the encoder's header
    kelvo_int32 IndexBits;    // decoder only: the most buckets are 2^IndexBits
    kelvo_uint32 BucketShift; // decoder only: a target's bucket is Target >> BucketShift
    // Decoder only: the widest rank, tried before the division when it is
    // wide enough: its start less CumStart, its width in the table, how far
    // past its start a target still falls in it (0 when it is not tried) and
    // all ones when it is the last rank, which also takes what the table
    // leaves of the range.
    kelvo_int32 Likely;
    kelvo_uint32 LikelyLow;
    kelvo_uint32 LikelyWidth;
    kelvo_uint32 LikelyReach;
    kelvo_uint32 LikelyRest;
    kelvo_uint32 Total;
    kelvo_uint32 Threshold;
    kelvo_uint32 Step;
    kelvo_uint32 MaxStep;
    kelvo_uint32 RescaleLimit;
};

// The models' arrays come from shared pools; a reservation counts what a model
// of this size needs.
struct model_pools {
    kelvo_int64 RankCount;
    kelvo_int64 CumCount;
    kelvo_int64 ValueCount;  // encoder
    kelvo_int64 BucketTotal; // decoder
    kelvo_uint16 *Counts;
    kelvo_uint16 *Cums;
    kelvo_uint16 *Symbols;
    kelvo_uint16 *RanksOf;
    rank_bucket *Buckets;
};

// The encoder maps ValueCount values to ranks; the decoder (ValueCount 0)
// keeps a bucket index instead.
void ReserveModel(model_pools &Pools, kelvo_int32 Size, kelvo_int32 ValueCount,
                  kelvo_int32 IndexBits = BucketBits);
// Carves the arrays in reservation order and starts the model empty.
void InitModel(model &Model, model_pools &Pools, kelvo_int32 Largest, kelvo_int32 Size,
               kelvo_int32 ValueCount, kelvo_int32 IndexBits = BucketBits);

// Due when Total has reached Threshold: rescales when the threshold has reached
// the limit, then rebuilds the cumulative table.
void RefreshModel(model &Model);

// A new rank for a symbol never seen (or dropped); once the model holds as
// many as its size allows, the escape is no longer needed.
inline kelvo_int32 AddRank(model &Model) {
    kelvo_int32 Top = ++Model.Top;
    Model.Count[Top] += 2;
    Model.Total += 2;
    if (Top >= Model.Size) {
        Model.Total -= Model.Count[0];
        Model.Count[0] = 0;
    }
    return Top;
}

} // namespace fenwa1
} // namespace kelvo

#endif
