// Arbitrary bytes taken as a file image and taken apart the way the loader
// does: magic value, header block, section headers, uncompressed sections,
// byte reversal, pointer fix-ups and marshalling. Whatever the bytes say,
// nothing may be read or written outside the image and the loaded sections.
#include "kelvo2.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_memory.h"

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

// Enough sections and bytes to reach every path; more only slow the fuzzer
// down (a loader would allocate what a header claims and fail gracefully).
constexpr kelvo_uint32 MaxSections = 16;
constexpr kelvo_uint32 MaxSectionSize = 1 << 20;

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

// Count records of Size bytes at Offset, in native order; the section header
// check has put them inside the image.
template <typename T>
std::vector<T> LoadArray(uint8_t const *Image, kelvo_uint32 Offset, kelvo_uint32 Count,
                         bool Reversed) {
    std::vector<T> Records(Count);
    if (Count) {
        memcpy(Records.data(), Image + Offset, Count * sizeof(T));
        if (Reversed) {
            kelvo::Reverse32((kelvo_int32)(Count * sizeof(T)), Records.data());
        }
    }
    return Records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Image, size_t Size) {
    static bool Quiet = [] {
        kelvo_log_callback Callback = {&Discard, nullptr};
        KelvoSetLogCallback(&Callback);
        return true;
    }();
    (void)Quiet;
    if (Size < sizeof(kelvo_file_magic_value) || Size > INT32_MAX) {
        return 0;
    }
    kelvo_file_magic_value Magic;
    memcpy(&Magic, Image, sizeof(Magic));
    kelvo_uint32 HeaderSize;
    kelvo_bool32 Reversed, PointerSizeDiffers;
    if (!KelvoIsKelvoFile(&Magic, &HeaderSize, &Reversed, &PointerSizeDiffers) ||
        Magic.HeaderFormat != 0 || HeaderSize > Size - kelvo::FileHeaderOffset) {
        return 0;
    }

    // The header block as a loader reads it: HeaderSize bytes from offset 32,
    // in a block never smaller than the header so that a short one can be
    // refused by looking at it.
    kelvo_uint32 BlockBytes =
        HeaderSize > kelvo::FileHeaderSize ? HeaderSize : kelvo::FileHeaderSize;
    std::vector<kelvo_uint32> Block((BlockBytes + 3) / 4);
    memcpy(Block.data(), Image + kelvo::FileHeaderOffset, HeaderSize);
    if (Reversed) {
        kelvo::Reverse32((kelvo_int32)(Block.size() * 4), Block.data());
    }
    auto *Header = reinterpret_cast<kelvo_file_header *>(Block.data());
    kelvo_section_header *Headers = kelvo::GetCheckedSectionArray(Header, HeaderSize);
    if (!Headers) {
        return 0;
    }
    kelvo_uint32 Count = Header->SectionArrayCount;
    if (Count > MaxSections) {
        Count = MaxSections;
    }

    std::vector<std::vector<uint64_t>> Memory(Count);
    std::vector<void *> Bases(Count, nullptr);
    std::vector<bool> Usable(Count, false);
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        kelvo_section_header const &Section = Headers[Index];
        KelvoGetStandardSectionName((kelvo_int32)Index);
        Usable[Index] = kelvo::CheckSectionHeader(Section, (kelvo_int32)Index, (kelvo_int64)Size);
        if (!Usable[Index] || Section.Format != KelvoNoCompression ||
            Section.ExpandedDataSize == 0 || Section.ExpandedDataSize > MaxSectionSize) {
            continue;
        }
        // Exactly the expanded size, rounded up to whole words, so that the
        // sanitizer sees any step past it.
        Memory[Index].resize((Section.ExpandedDataSize + 7) / 8);
        Bases[Index] = Memory[Index].data();
        memcpy(Bases[Index], Image + Section.DataOffset, Section.DataSize);
        if (Reversed) {
            KelvoReverseSection(Section.First16Bit, Section.First8Bit, Section.ExpandedDataSize,
                                Bases[Index]);
        }
    }

    kelvo::section_bounds Sections = {(kelvo_int32)Count, Bases.data(), Headers};
    std::vector<std::vector<kelvo_pointer_fixup>> PointerFixups(Count);
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        if (Usable[Index]) {
            PointerFixups[Index] =
                LoadArray<kelvo_pointer_fixup>(Image, Headers[Index].PointerFixupArrayOffset,
                                               Headers[Index].PointerFixupArrayCount, Reversed);
            kelvo::FixUpSection(Sections, (kelvo_int32)Index,
                                (kelvo_int32)PointerFixups[Index].size(),
                                PointerFixups[Index].data());
        }
    }
    // Marshalling runs whatever the byte order, to reach it from every seed.
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        if (Usable[Index]) {
            std::vector<kelvo_marshalling_fixup> Marshalling = LoadArray<kelvo_marshalling_fixup>(
                Image, Headers[Index].MixedMarshallingFixupArrayOffset,
                Headers[Index].MixedMarshallingFixupArrayCount, Reversed);
            kelvo::MarshallSection(Sections, (kelvo_int32)Index, (kelvo_int32)Marshalling.size(),
                                   Marshalling.data());
            kelvo::FixUpSection(Sections, (kelvo_int32)Index,
                                (kelvo_int32)PointerFixups[Index].size(),
                                PointerFixups[Index].data());
        }
    }

    void *Root;
    kelvo::ResolveReference(Sections, Header->RootObject, 0, Root);
    return 0;
}
