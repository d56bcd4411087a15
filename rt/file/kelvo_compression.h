// The internal side of section compression: the decoders behind the dispatch
// exports, taking the stops of their pieces, and the encoder's seam for tests.
#ifndef KELVO_COMPRESSION_INTERNAL_H
#define KELVO_COMPRESSION_INTERNAL_H

#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_compression.h"

#include <string.h>

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

// Reports a corrupt stream (a fault other than NoModelMemory).
void ReportCorruptStream(char const *Codec, decode_fault Fault, kelvo_int32 Position,
                         kelvo_int32 ExpandedSize);

// Copies Length bytes in chunks of Chunk, front to back, the last chunk ending
// at Length and so overlapping the one before it; that rewrites bytes with
// the values they already hold, since every chunk reads bytes at least Chunk
// back, which are final. Needs Length >= Chunk and an offset of Chunk or more.
template <int Chunk>
inline void CopyChunks(kelvo_uint8 *To, kelvo_uint8 const *From, kelvo_int32 Length) {
    for (kelvo_int32 Index = 0; Index < Length - Chunk; Index += Chunk) {
        memcpy(To + Index, From + Index, Chunk);
    }
    memcpy(To + Length - Chunk, From + Length - Chunk, Chunk);
}

// Copies a match of Length bytes from Offset back in the output at Position,
// front to back so that a short offset repeats the latest bytes, in the widest
// chunks the offset and the length allow (most matches are a few bytes, so a
// byte loop for the tail would cost more than the copy); or names the fault
// when the match would reach before the output or past its end. Nothing past
// the match is written: a refused stream leaves the rest of the output as it
// was.
inline decode_fault CopyMatch(kelvo_uint8 *Output, kelvo_int32 &Position, kelvo_int32 ExpandedSize,
                              kelvo_uint64 Offset, kelvo_int32 Length) {
    if (Offset > (kelvo_uint64)Position) {
        return CopyBeforeOutput;
    }
    if (Length > ExpandedSize - Position) {
        return WritePastOutput;
    }
    kelvo_uint8 *To = Output + Position;
    kelvo_uint8 const *From = To - Offset;
    Position += Length;
    kelvo_int32 Reach = Offset < (kelvo_uint64)Length ? (kelvo_int32)Offset : Length;
    if (Reach >= 8) {
        CopyChunks<8>(To, From, Length);
    } else if (Reach >= 4) {
        CopyChunks<4>(To, From, Length);
    } else if (Reach >= 2) {
        CopyChunks<2>(To, From, Length);
    } else {
        for (kelvo_int32 Index = 0; Index < Length; ++Index) {
            To[Index] = From[Index];
        }
    }
    return NoFault;
}

// The piece loop both codecs share: each piece whose stop the output has not
// reached gets its three header words (in this machine's order) and its stop,
// and decodes from Position on. A fault ends the loop and, unless it is a
// failed allocation (already reported), is reported as a corrupt stream.
template <typename piece_decoder>
bool RunPieces(char const *Codec, bool ByteReversed, kelvo_uint8 const *Stored,
               kelvo_int32 PieceCount, kelvo_int32 const *Stops, kelvo_int32 ExpandedSize,
               piece_decoder &&DecodePiece) {
    kelvo_int32 Position = 0;
    decode_fault Fault = NoFault;
    for (kelvo_int32 PieceIndex = 0; PieceIndex < PieceCount && Fault == NoFault; ++PieceIndex) {
        if (Position >= Stops[PieceIndex]) {
            continue;
        }
        // Headers are read into words of our own: the stored bytes stay as
        // they are, whatever their byte order.
        kelvo_uint32 Words[3];
        memcpy(Words, Stored + sizeof(Words) * PieceIndex, sizeof(Words));
        if (ByteReversed) {
            Reverse32((kelvo_int32)sizeof(Words), Words);
        }
        Fault = DecodePiece(Words, Stops[PieceIndex], Position);
    }
    if (Fault == NoModelMemory) {
        return false;
    }
    if (Fault != NoFault) {
        ReportCorruptStream(Codec, Fault, Position, ExpandedSize);
        return false;
    }
    return true;
}

// Both decoders run their pieces in turn, each while the output is below its
// stop, and return false (after reporting) when the stream is corrupt or the
// model memory cannot be had. Nothing outside the stored bytes is read and
// nothing outside [0, ExpandedSize) of the destination is written.
// DecodePieces checks the arguments first (usable pointers and sizes, room
// for the piece headers) and hands a Fenwa0 or Fenwa1 stream to its decoder;
// the decoders rely on those checks.
bool DecodePieces(kelvo_compression_type Format, bool ByteReversed, kelvo_int32 StoredSize,
                  void const *StoredBytes, kelvo_int32 PieceCount, kelvo_int32 const *Stops,
                  kelvo_int32 ExpandedSize, void *Destination);
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
