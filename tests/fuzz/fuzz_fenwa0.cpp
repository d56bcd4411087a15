// Fenwa0, which the library only reads. An input is a flags byte, three 16-bit
// values and a payload. Decoding: the payload is a stream, decoded as a
// section (stops from the first two values, expanded size from the third) or
// as one piece, from and into blocks of exactly their sizes. Round trip: the
// payload is data, coded by the tests' own Fenwa0 writer with the pieces split
// at the two values, and must decode back unchanged.
#include "../file/fenwa0_test_encoder.h"
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
    TightModels = 8,
    NarrowWindow = 16,
};

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

uint32_t Value16(uint8_t const *Bytes) {
    return Bytes[0] | (uint32_t)Bytes[1] << 8;
}

bool DecodeInto(uint8_t Flags, kelvo_int32 First16Bit, kelvo_int32 First8Bit, kelvo_int32 Expanded,
                uint8_t const *Stored, size_t Size, uint8_t *Output) {
    bool Reversed = Flags & ByteReversed;
    if (Flags & Chunk) {
        return KelvoDecompressDataChunk(KelvoFenwa0Compression, Reversed, (kelvo_int32)Size, Stored,
                                        Expanded, Output);
    }
    return KelvoDecompressData(KelvoFenwa0Compression, Reversed, (kelvo_int32)Size, Stored,
                               First16Bit, First8Bit, Expanded, Output);
}

void Decode(uint8_t Flags, uint32_t First16Bit, uint32_t First8Bit, uint32_t Expanded,
            uint8_t const *Payload, size_t Size) {
    std::unique_ptr<uint8_t[]> Stored(new uint8_t[Size]);
    memcpy(Stored.get(), Payload, Size);
    std::unique_ptr<uint8_t[]> Output(new uint8_t[Expanded]);
    DecodeInto(Flags, (kelvo_int32)First16Bit, (kelvo_int32)First8Bit, (kelvo_int32)Expanded,
               Stored.get(), Size, Output.get());
}

void RoundTripData(uint8_t Flags, uint32_t A, uint32_t B, uint8_t const *Data, size_t Size) {
    std::vector<uint8_t> Bytes(Data, Data + Size);
    int Total = (int)Size;
    std::vector<int> Stops = {Total};
    if (!(Flags & Chunk)) {
        Stops = {(int)(A % (Size + 1)), (int)(B % (Size + 1)), Total};
        std::sort(Stops.begin(), Stops.begin() + 2);
    }
    fenwa0_test::piece_options Options;
    Options.SearchLimit = 64;
    Options.Tight = Flags & TightModels;
    if (Flags & NarrowWindow) {
        Options.Window = (uint32_t)(B % 4);
    }
    std::vector<uint8_t> Coded = fenwa0_test::Compress(Bytes, Stops, Options, Flags & ByteReversed);
    std::unique_ptr<uint8_t[]> Stored(new uint8_t[Coded.size()]);
    memcpy(Stored.get(), Coded.data(), Coded.size());
    std::unique_ptr<uint8_t[]> Output(new uint8_t[Size + 1]);
    if (!DecodeInto(Flags, Stops[0], Stops[1], Total, Stored.get(), Coded.size(), Output.get()) ||
        memcmp(Output.get(), Data, Size) != 0) {
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
    if (Size < 7 || Size > (1 << 16)) {
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
