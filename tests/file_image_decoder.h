// Takes a .kv2 image of this build's platform apart with the file-layout
// operations alone, checking what a loader relies on: magic value, header,
// CRC, section placement, zeroed pointer fields. The builder and writer tests
// read their output through it.
#ifndef FILE_IMAGE_DECODER_H
#define FILE_IMAGE_DECODER_H

#include "kelvo2.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct decoded_file {
    kelvo_file_magic_value Magic;
    kelvo_file_header Header;
    std::vector<kelvo_section_header> SectionHeaders;
    std::vector<std::vector<kelvo_uint8>> Sections; // expanded, fixed up
    std::vector<std::vector<kelvo_pointer_fixup>> Fixups;
    std::vector<std::vector<kelvo_marshalling_fixup>> Marshallings;
    std::vector<void *> Bases;

    void *Resolve(kelvo_file_reference const &Reference) const {
        return KelvoDecodeKVNReference(Bases.data(), &Reference);
    }
    kelvo_uint8 const *Section(kelvo_int32 Index) const { return Sections[Index].data(); }
};

inline std::vector<kelvo_uint8> ReadFileBytes(std::string const &Path) {
    std::ifstream In(Path, std::ios::binary);
    return std::vector<kelvo_uint8>(std::istreambuf_iterator<char>(In), {});
}

inline std::vector<kelvo_uint8> StealWriterBytes(kelvo_file_writer *Writer) {
    kelvo_uint8 *Buffer = nullptr;
    kelvo_int32 Size = 0;
    KelvoStealMemoryWriterBuffer(Writer, &Buffer, &Size);
    std::vector<kelvo_uint8> Bytes(Buffer, Buffer + Size);
    KelvoFreeMemoryWriterBuffer(Buffer);
    KelvoDeleteFileWriter(Writer);
    return Bytes;
}

// Empty on success, else what was wrong.
inline std::string DecodeFileImage(std::vector<kelvo_uint8> const &Bytes, decoded_file &File) {
    auto Fits = [&](kelvo_uint64 Offset, kelvo_uint64 Size) {
        return Offset + Size <= Bytes.size();
    };
    if (!Fits(0, 88)) {
        return "shorter than magic value and header";
    }
    memcpy(&File.Magic, Bytes.data(), 32);
    memcpy(&File.Header, Bytes.data() + 32, 56);
    if (memcmp(File.Magic.MagicValue, KelvoKVNFileMV_ThisPlatform->MagicValue, 16) != 0) {
        return "not this platform's magic value";
    }
    kelvo_uint32 Count = File.Header.SectionArrayCount;
    if (File.Magic.HeaderSize != 88 + 44 * Count || File.Magic.HeaderFormat != 0 ||
        File.Magic.Reserved[0] || File.Magic.Reserved[1]) {
        return "bad magic value record";
    }
    if (File.Header.Version != 6 || File.Header.SectionArrayOffset != 56 ||
        File.Header.TotalSize != Bytes.size()) {
        return "bad header";
    }
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)(Bytes.size() - 88), Bytes.data() + 88);
    KelvoEndCRC32(&CRC);
    if (CRC != File.Header.CRC) {
        return "CRC mismatch";
    }
    File.SectionHeaders.resize(Count);
    auto const *Headers = reinterpret_cast<kelvo_section_header const *>(Bytes.data() + 88);
    File.SectionHeaders.assign(Headers, Headers + Count);
    File.Sections.assign(Count, {});
    File.Fixups.assign(Count, {});
    File.Marshallings.assign(Count, {});
    File.Bases.assign(Count, nullptr);
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        kelvo_section_header const &Section = File.SectionHeaders[Index];
        if (Section.DataOffset % 4 || Section.PointerFixupArrayOffset % 4 ||
            Section.MixedMarshallingFixupArrayOffset % 4 ||
            !Fits(Section.DataOffset, Section.DataSize) ||
            !Fits(Section.PointerFixupArrayOffset, 12ull * Section.PointerFixupArrayCount) ||
            !Fits(Section.MixedMarshallingFixupArrayOffset,
                  16ull * Section.MixedMarshallingFixupArrayCount)) {
            return "section " + std::to_string(Index) + " lies outside the file";
        }
        if (Section.First16Bit > Section.First8Bit ||
            Section.First8Bit > Section.ExpandedDataSize) {
            return "section " + std::to_string(Index) + " has regions out of order";
        }
        File.Sections[Index].assign(Section.ExpandedDataSize + 16, 0);
        if (Section.ExpandedDataSize > 0) {
            std::vector<kelvo_uint8> Stored(Bytes.begin() + Section.DataOffset,
                                            Bytes.begin() + Section.DataOffset + Section.DataSize);
            Stored.resize(Stored.size() + 4, 0);
            if (!KelvoDecompressData(
                    (kelvo_compression_type)Section.Format, 0, (kelvo_int32)Section.DataSize,
                    Stored.data(), (kelvo_int32)Section.First16Bit, (kelvo_int32)Section.First8Bit,
                    (kelvo_int32)Section.ExpandedDataSize, File.Sections[Index].data())) {
                return "section " + std::to_string(Index) + " does not decompress";
            }
            File.Bases[Index] = File.Sections[Index].data();
        } else if (Section.DataSize != 0) {
            return "empty section with stored bytes";
        }
        auto const *Pointers = reinterpret_cast<kelvo_pointer_fixup const *>(
            Bytes.data() + Section.PointerFixupArrayOffset);
        File.Fixups[Index].assign(Pointers, Pointers + Section.PointerFixupArrayCount);
        auto const *Mixed = reinterpret_cast<kelvo_marshalling_fixup const *>(
            Bytes.data() + Section.MixedMarshallingFixupArrayOffset);
        File.Marshallings[Index].assign(Mixed, Mixed + Section.MixedMarshallingFixupArrayCount);
    }
    for (kelvo_uint32 Index = 0; Index < Count; ++Index) {
        for (kelvo_pointer_fixup const &Fixup : File.Fixups[Index]) {
            if ((kelvo_uint64)Fixup.FromOffset + sizeof(void *) >
                File.SectionHeaders[Index].ExpandedDataSize) {
                return "pointer field outside its section";
            }
            void *Stored;
            memcpy(&Stored, File.Sections[Index].data() + Fixup.FromOffset, sizeof(Stored));
            if (Stored) {
                return "pointer field not zero on disk";
            }
        }
        KelvoKVNFixUp((kelvo_int32)File.Fixups[Index].size(), File.Fixups[Index].data(),
                      File.Bases.data(), File.Bases[Index]);
    }
    return "";
}

#endif
