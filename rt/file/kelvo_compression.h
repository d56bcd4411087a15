// The internal side of section compression: the decoders behind the dispatch
// exports, taking the stops of their pieces, and the encoder's seam for tests.
#ifndef KELVO_COMPRESSION_INTERNAL_H
#define KELVO_COMPRESSION_INTERNAL_H

#include "kelvo2/kelvo2_compression.h"

namespace kelvo {

// Why a decoder gave up on a stream.
enum decode_fault {
    NoFault,
    ReadPastStoredBytes,
    CopyBeforeOutput,
    WritePastOutput,
    ModelOverflow,
    EmptyAlphabet,
    NoModelMemory, // reported by the allocator
};

// The checks every decoder starts with, reported: DecodeRefused for unusable
// arguments or a stream too short for its piece headers, DecodeNothing when
// there is nothing to produce.
enum decode_start { DecodeRefused, DecodeNothing, DecodeGo };
decode_start StartDecoding(char const *Codec, kelvo_int32 StoredSize, void const *StoredBytes,
                           kelvo_int32 PieceCount, kelvo_int32 ExpandedSize,
                           void const *Destination);
// Reports a corrupt stream (a fault other than NoModelMemory).
void ReportCorruptStream(char const *Codec, decode_fault Fault, kelvo_int32 Position,
                         kelvo_int32 ExpandedSize);

// Both decoders run their pieces in turn, each while the output is below its
// stop, and return false (after reporting) when the stream is corrupt or the
// model memory cannot be had. Nothing outside the stored bytes is read and
// nothing outside [0, ExpandedSize) of the destination is written.
bool Fenwa1DecodePieces(bool ByteReversed, kelvo_int32 StoredSize, void const *StoredBytes,
                        kelvo_int32 PieceCount, kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
                        void *Destination);
bool Fenwa0DecodePieces(bool ByteReversed, kelvo_int32 StoredSize, void const *StoredBytes,
                        kelvo_int32 PieceCount, kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
                        void *Destination);

// KelvoFenwa1BeginSimple with a chosen first output capacity; the buffer grows
// past it when a piece codes larger than estimated.
kelvo_fenwa1_compressor *Fenwa1Begin(kelvo_int32 ExpandedSize, kelvo_int32 PieceCount,
                                     kelvo_int32 OutputCapacity);

} // namespace kelvo

#endif
