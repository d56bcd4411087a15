// Fenwa1 from both sides. An input is a flags byte, three 16-bit values and a
// payload. Decoding: the payload is a stream, decoded as a section (stops from
// the first two values, expanded size from the third) or as one piece; the
// stream and destination sit in blocks of exactly their sizes, so any read
// or write outside them is caught. Round trip: the payload is data, split at
// the two values, compressed and decoded back, and must come back unchanged.
#include "kelvo2.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>

namespace {

enum flags : uint8_t {
    RoundTrip = 1,
    ByteReversed = 2,
    Chunk = 4,
};

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

uint32_t Value16(uint8_t const *Bytes) {
    return Bytes[0] | (uint32_t)Bytes[1] << 8;
}

void Decode(uint8_t Flags, uint32_t First16Bit, uint32_t First8Bit, uint32_t Expanded,
            uint8_t const *Payload, size_t Size) {
    std::unique_ptr<uint8_t[]> Stored(new uint8_t[Size]);
    memcpy(Stored.get(), Payload, Size);
    std::unique_ptr<uint8_t[]> Output(new uint8_t[Expanded]);
    bool Reversed = Flags & ByteReversed;
    if (Flags & Chunk) {
        KelvoDecompressDataChunk(KelvoFenwa1Compression, Reversed, (kelvo_int32)Size, Stored.get(),
                                 (kelvo_int32)Expanded, Output.get());
    } else {
        KelvoDecompressData(KelvoFenwa1Compression, Reversed, (kelvo_int32)Size, Stored.get(),
                            (kelvo_int32)First16Bit, (kelvo_int32)First8Bit, (kelvo_int32)Expanded,
                            Output.get());
    }
}

void RoundTripData(uint8_t Flags, uint32_t A, uint32_t B, uint8_t const *Data, size_t Size) {
    kelvo_int32 Total = (kelvo_int32)Size;
    kelvo_int32 Stops[3] = {(kelvo_int32)(A % (Size + 1)), (kelvo_int32)(B % (Size + 1)), Total};
    std::sort(Stops, Stops + 2);
    bool Single = Flags & Chunk;
    bool Swap = Flags & ByteReversed;
    kelvo_fenwa1_compressor *State = KelvoFenwa1BeginSimple(Total, Single ? 1 : 3);
    if (Single) {
        KelvoFenwa1Compress(State, Total, Data);
    } else {
        kelvo_int32 Start = 0;
        for (kelvo_int32 Stop : Stops) {
            KelvoFenwa1Compress(State, Stop - Start, Data + Start);
            Start = Stop;
        }
    }
    void *Compressed = nullptr;
    kelvo_int32 CompressedSize = KelvoFenwa1End(State, &Compressed, Swap);
    if (CompressedSize <= 0) {
        __builtin_trap();
    }
    std::unique_ptr<uint8_t[]> Stored(new uint8_t[(size_t)CompressedSize]);
    memcpy(Stored.get(), Compressed, (size_t)CompressedSize);
    KelvoFenwa1FreeSimple(State);

    std::unique_ptr<uint8_t[]> Output(new uint8_t[Size + 1]);
    bool Decoded = Single
                       ? KelvoDecompressDataChunk(KelvoFenwa1Compression, Swap, CompressedSize,
                                                  Stored.get(), Total, Output.get())
                       : KelvoDecompressData(KelvoFenwa1Compression, Swap, CompressedSize,
                                             Stored.get(), Stops[0], Stops[1], Total, Output.get());
    if (!Decoded || memcmp(Output.get(), Data, Size) != 0) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Input, size_t Size) {
    static bool Quiet = [] {
        kelvo_log_callback Callback = {&Discard, nullptr};
        KelvoSetLogCallback(&Callback);
        return true;
    }();
    (void)Quiet;
    if (Size < 7 || Size > (1 << 20)) {
        return 0;
    }
    uint8_t Flags = Input[0];
    uint32_t A = Value16(Input + 1), B = Value16(Input + 3), C = Value16(Input + 5);
    if (Flags & RoundTrip) {
        RoundTripData(Flags, A, B, Input + 7, Size - 7);
    } else {
        Decode(Flags, A, B, C, Input + 7, Size - 7);
    }
    return 0;
}
