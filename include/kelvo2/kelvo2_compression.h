/* kelvo2: section compression. Sections may be stored with one of the
   library's two LZ77 coders with adaptive models: Fenwa0 (read only) and
   Fenwa1 (read and written). A compressed section holds three pieces, one per
   region ([0, First16Bit), [First16Bit, First8Bit), [First8Bit, expanded
   size)), each with statistics of its own; a chunk holds a single piece.

   The decoders check what they read: a corrupt or truncated stream never makes
   them read past the stored bytes or write past the expanded size. Such a
   stream is reported and the call returns false; the destination then holds
   whatever was decoded before the fault. */
#ifndef KELVO2_COMPRESSION_H
#define KELVO2_COMPRESSION_H

#include "kelvo2_file_format.h"
#include "kelvo2_types.h"

typedef struct kelvo_fenwa1_compressor kelvo_fenwa1_compressor;

/* Type 0 copies ExpandedSize bytes, type 1 decodes Fenwa0, type 2 Fenwa1. The
   stored bytes are only read. */
KELVO_API kelvo_bool32 KelvoDecompressData(kelvo_compression_type Format,
                                           kelvo_bool32 FileIsByteReversed, kelvo_int32 StoredSize,
                                           void const *StoredBytes, kelvo_int32 First16Bit,
                                           kelvo_int32 First8Bit, kelvo_int32 ExpandedSize,
                                           void *Destination);
KELVO_API kelvo_bool32 KelvoDecompressDataChunk(kelvo_compression_type Format,
                                                kelvo_bool32 FileIsByteReversed,
                                                kelvo_int32 StoredSize, void const *StoredBytes,
                                                kelvo_int32 ExpandedSize, void *Destination);

/* Compression: Begin for the total size of the pieces to come, one Compress
   per piece, then End, which returns the stream (valid until FreeSimple) and
   its size, or 0 when something failed. WriteForEndianSwap writes the piece
   headers for the other byte order. */
KELVO_API kelvo_fenwa1_compressor *KelvoFenwa1BeginSimple(kelvo_int32 ExpandedSize,
                                                          kelvo_int32 PieceCount);
KELVO_API void KelvoFenwa1Compress(kelvo_fenwa1_compressor *State, kelvo_int32 ByteCount,
                                   void const *Data);
KELVO_API kelvo_int32 KelvoFenwa1End(kelvo_fenwa1_compressor *State, void **CompressedBytes,
                                     kelvo_bool32 WriteForEndianSwap);
KELVO_API void KelvoFenwa1FreeSimple(kelvo_fenwa1_compressor *State);

/* One piece whose header is the first 12 stored bytes. */
KELVO_API kelvo_bool32 KelvoFenwa1Decompress(kelvo_bool32 FileIsByteReversed,
                                             kelvo_int32 StoredSize, void const *StoredBytes,
                                             kelvo_int32 ExpandedSize, void *Destination);

/* Spare bytes callers keep after the buffers they hand over. The decoders no
   longer need them; the sizes stay for callers that allocate by them. */
KELVO_API kelvo_int32 KelvoGetFenwa1CompressBufferPaddingSize(void);
KELVO_API kelvo_int32 KelvoGetFenwa1DecompressBufferPaddingSize(void);

#endif
