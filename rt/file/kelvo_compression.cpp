// Dispatch of stored sections by compression type: copied as they are, or
// handed to the Fenwa0 or Fenwa1 decoder with the stops of their pieces.
#include "file/kelvo_compression.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

namespace {

bool CopyUncompressed(kelvo_int32 StoredSize, void const *StoredBytes, kelvo_int32 ExpandedSize,
                      void *Destination) {
    KELVO_CHECK(ExpandedSize >= 0, KelvoCompressorLogMessage, false);
    KELVO_CHECK(Destination || ExpandedSize == 0, KelvoCompressorLogMessage, false);
    KELVO_CHECK(StoredBytes || ExpandedSize == 0, KelvoCompressorLogMessage, false);
    // A short stored copy would be read past its end.
    if (StoredSize < ExpandedSize) {
        kelvo::Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
                   "%s(%d): Uncompressed data of %d bytes is shorter than its expanded size %d",
                   KELVO_HERE, StoredSize, ExpandedSize);
        return false;
    }
    kelvo::Copy(ExpandedSize, StoredBytes, Destination);
    return true;
}

void ReportUnrecognized(kelvo_compression_type Format) {
    kelvo::Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
               "%s(%d): Unrecognized compression type %d", KELVO_HERE, Format);
}

char const *DescribeFault(kelvo::decode_fault Fault) {
    switch (Fault) {
    case kelvo::ReadPastStoredBytes:
        return "it reads past its stored bytes";
    case kelvo::CopyBeforeOutput:
        return "a match reaches before the start of the output";
    case kelvo::WritePastOutput:
        return "it writes past the expanded size";
    case kelvo::ModelOverflow:
        return "a model outgrows the size its header gives";
    case kelvo::EmptyAlphabet:
        return "a value is sent from an empty range";
    default:
        return "no fault";
    }
}

} // namespace

namespace kelvo {
namespace {

// The checks every decoder starts with, reported: DecodeRefused for unusable
// arguments or a stream too short for its piece headers, DecodeNothing when
// there is nothing to produce.
enum decode_start { DecodeRefused, DecodeNothing, DecodeGo };
decode_start StartDecoding(char const *Codec, kelvo_int32 StoredSize, void const *StoredBytes,
                           kelvo_int32 PieceCount, kelvo_int32 ExpandedSize,
                           void const *Destination) {
    KELVO_CHECK(StoredSize >= 0 && ExpandedSize >= 0, KelvoCompressorLogMessage, DecodeRefused);
    KELVO_CHECK(StoredBytes || StoredSize == 0, KelvoCompressorLogMessage, DecodeRefused);
    KELVO_CHECK(Destination || ExpandedSize == 0, KelvoCompressorLogMessage, DecodeRefused);
    if (ExpandedSize == 0) {
        return DecodeNothing;
    }
    // Both codecs head their streams with three 32-bit words a piece.
    if (StoredSize < 12 * PieceCount) {
        Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
            "%s(%d): %s stream of %d bytes is too short for its %d pieces", KELVO_HERE, Codec,
            StoredSize, PieceCount);
        return DecodeRefused;
    }
    return DecodeGo;
}

} // namespace

bool DecodePieces(kelvo_compression_type Format, bool ByteReversed, kelvo_int32 StoredSize,
                  void const *StoredBytes, kelvo_int32 PieceCount, kelvo_int32 const *Stops,
                  kelvo_int32 ExpandedSize, void *Destination) {
    bool Fenwa0 = Format == KelvoFenwa0Compression;
    decode_start Start = StartDecoding(Fenwa0 ? "Fenwa0" : "Fenwa1", StoredSize, StoredBytes,
                                       PieceCount, ExpandedSize, Destination);
    if (Start != DecodeGo) {
        return Start == DecodeNothing;
    }
    return (Fenwa0 ? Fenwa0DecodePieces : Fenwa1DecodePieces)(
        ByteReversed, StoredSize, StoredBytes, PieceCount, Stops, ExpandedSize, Destination);
}

void ReportCorruptStream(char const *Codec, decode_fault Fault, kelvo_int32 Position,
                         kelvo_int32 ExpandedSize) {
    Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
        "%s(%d): %s stream is corrupt: %s (output offset %d of %d)", KELVO_HERE, Codec,
        DescribeFault(Fault), Position, ExpandedSize);
}

namespace {
// One piece; the other codec's counterpart is KelvoFenwa1Decompress.
kelvo_bool32 Fenwa0DecompressChunk(bool Reversed, kelvo_int32 StoredSize, void const *StoredBytes,
                                   kelvo_int32 ExpandedSize, void *Destination) {
    KELVO_TIMED_BLOCK("Fenwa0Decompress");
    return DecodePieces(KelvoFenwa0Compression, Reversed, StoredSize, StoredBytes, 1, &ExpandedSize,
                        ExpandedSize, Destination);
}
} // namespace

} // namespace kelvo

KELVO_API kelvo_bool32 KelvoDecompressData(kelvo_compression_type Format,
                                           kelvo_bool32 FileIsByteReversed, kelvo_int32 StoredSize,
                                           void const *StoredBytes, kelvo_int32 First16Bit,
                                           kelvo_int32 First8Bit, kelvo_int32 ExpandedSize,
                                           void *Destination) {
    KELVO_TIMED_BLOCK("DecompressData");
    kelvo_int32 const Stops[3] = {First16Bit, First8Bit, ExpandedSize};
    switch (Format) {
    case KelvoNoCompression:
        return CopyUncompressed(StoredSize, StoredBytes, ExpandedSize, Destination);
    case KelvoFenwa0Compression: {
        KELVO_TIMED_BLOCK("Fenwa0Decompress w/ stops");
        return kelvo::DecodePieces(KelvoFenwa0Compression, FileIsByteReversed != 0, StoredSize,
                                   StoredBytes, 3, Stops, ExpandedSize, Destination);
    }
    case KelvoFenwa1Compression: {
        KELVO_TIMED_BLOCK("Fenwa1Decompress w/ stops");
        return kelvo::DecodePieces(KelvoFenwa1Compression, FileIsByteReversed != 0, StoredSize,
                                   StoredBytes, 3, Stops, ExpandedSize, Destination);
    }
    default:
        ReportUnrecognized(Format);
        return 0;
    }
}

KELVO_API kelvo_bool32 KelvoDecompressDataChunk(kelvo_compression_type Format,
                                                kelvo_bool32 FileIsByteReversed,
                                                kelvo_int32 StoredSize, void const *StoredBytes,
                                                kelvo_int32 ExpandedSize, void *Destination) {
    KELVO_TIMED_BLOCK("DecompressDataChunk");
    switch (Format) {
    case KelvoNoCompression:
        return CopyUncompressed(StoredSize, StoredBytes, ExpandedSize, Destination);
    case KelvoFenwa0Compression:
        return kelvo::Fenwa0DecompressChunk(FileIsByteReversed != 0, StoredSize, StoredBytes,
                                            ExpandedSize, Destination);
    case KelvoFenwa1Compression:
        return KelvoFenwa1Decompress(FileIsByteReversed, StoredSize, StoredBytes, ExpandedSize,
                                     Destination);
    default:
        ReportUnrecognized(Format);
        return 0;
    }
}
