// The library's Fenwa1 decoder beside the reference on the same input: both
// must return the same, write the same bytes (the whole destination, whatever
// a refused stream left in it) and log the same messages. An input is what
// fuzz_fenwa1 takes: a flags byte, three 16-bit values and a payload. The
// payload is a stream decoded as a section (stops from the values) or as one
// piece; or, with the round-trip flag, data compressed first and split at the
// values, which must then come back exactly.
#ifndef KELVO_FENWA1_DIFFERENTIAL_H
#define KELVO_FENWA1_DIFFERENTIAL_H

#include "fenwa1_reference.h"
#include "file/kelvo_compression.h"
#include "kelvo2.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace fenwa1_differential {

enum flags : uint8_t {
    RoundTrip = 1,
    ByteReversed = 2,
    Chunk = 4,
};

struct run {
    bool Result;
    std::vector<uint8_t> Output;
    std::string Log;
};

inline void KELVO_CALLBACK Capture(kelvo_log_message_type Type, kelvo_log_message_origin Origin,
                                   char const *Message, void *Log) {
    *static_cast<std::string *>(Log) +=
        std::to_string(Type) + "/" + std::to_string(Origin) + ": " + Message + "\n";
}

// One decoder on a copy of the stream in a block of exactly its size, into a
// destination of exactly the expanded size.
template <typename decoder>
run Run(decoder &&Decode, std::vector<uint8_t> const &Stored, kelvo_int32 Expanded) {
    run Result = {false, std::vector<uint8_t>((size_t)Expanded, 0x5A), std::string()};
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Stored.size()]);
    memcpy(Exact.get(), Stored.data(), Stored.size());
    kelvo_log_callback Previous, Capturing = {&Capture, &Result.Log};
    KelvoGetLogCallback(&Previous);
    KelvoSetLogCallback(&Capturing);
    Result.Result = Decode(Exact.get(), Result.Output.data());
    KelvoSetLogCallback(&Previous);
    return Result;
}

inline std::vector<uint8_t> Compress(std::vector<uint8_t> const &Data, kelvo_int32 PieceCount,
                                     kelvo_int32 const *Stops, bool Swap) {
    kelvo_fenwa1_compressor *State = KelvoFenwa1BeginSimple((kelvo_int32)Data.size(), PieceCount);
    kelvo_int32 Start = 0;
    for (kelvo_int32 Piece = 0; Piece < PieceCount; ++Piece) {
        KelvoFenwa1Compress(State, Stops[Piece] - Start, Data.data() + Start);
        Start = Stops[Piece];
    }
    void *Out = nullptr;
    kelvo_int32 Size = KelvoFenwa1End(State, &Out, Swap);
    std::vector<uint8_t> Stored(static_cast<uint8_t *>(Out), static_cast<uint8_t *>(Out) + Size);
    KelvoFenwa1FreeSimple(State);
    return Stored;
}

// Empty when the decoders agree (and a round trip comes back exactly), else
// what differs.
inline std::string Disagreement(uint8_t const *Input, size_t Size) {
    if (Size < 7) {
        return std::string();
    }
    uint8_t Flags = Input[0];
    kelvo_int32 Values[3];
    for (int Index = 0; Index < 3; ++Index) {
        Values[Index] = Input[1 + 2 * Index] | Input[2 + 2 * Index] << 8;
    }
    bool Reversed = Flags & ByteReversed;
    kelvo_int32 PieceCount = Flags & Chunk ? 1 : 3;
    std::vector<uint8_t> Payload(Input + 7, Input + Size), Stored = Payload;
    kelvo_int32 Stops[3] = {Values[0], Values[1], Values[2]};
    if (Flags & RoundTrip) {
        kelvo_int32 Total = (kelvo_int32)Payload.size();
        Stops[0] = Values[0] % (Total + 1);
        Stops[1] = Values[1] % (Total + 1);
        std::sort(Stops, Stops + 2);
        Stops[2] = Total;
    }
    if (PieceCount == 1) {
        Stops[0] = Stops[2];
    }
    if (Flags & RoundTrip) {
        Stored = Compress(Payload, PieceCount, Stops, Reversed);
    }
    kelvo_int32 Expanded = Stops[PieceCount - 1];
    kelvo_int32 StoredSize = (kelvo_int32)Stored.size();
    // Past the checks kelvo::DecodePieces makes before either decoder runs.
    if (Expanded == 0 || StoredSize < 12 * PieceCount) {
        return std::string();
    }
    run Library = Run(
        [&](void const *Bytes, void *Out) {
            return kelvo::DecodePieces(KelvoFenwa1Compression, Reversed, StoredSize, Bytes,
                                       PieceCount, Stops, Expanded, Out);
        },
        Stored, Expanded);
    run Reference = Run(
        [&](void const *Bytes, void *Out) {
            return kelvo::ReferenceFenwa1DecodePieces(Reversed, StoredSize, Bytes, PieceCount,
                                                      Stops, Expanded, Out);
        },
        Stored, Expanded);
    if (Library.Result != Reference.Result) {
        return "results differ: " + std::to_string(Library.Result) + " beside " +
               std::to_string(Reference.Result);
    }
    if (Library.Log != Reference.Log) {
        return "messages differ:\n" + Library.Log + "beside\n" + Reference.Log;
    }
    auto Mismatch = std::mismatch(Library.Output.begin(), Library.Output.end(),
                                  Reference.Output.begin());
    if (Mismatch.first != Library.Output.end()) {
        return "output differs from offset " +
               std::to_string(Mismatch.first - Library.Output.begin());
    }
    if ((Flags & RoundTrip) && (!Library.Result || Library.Output != Payload)) {
        return "the round trip does not come back";
    }
    return std::string();
}

} // namespace fenwa1_differential

#endif
