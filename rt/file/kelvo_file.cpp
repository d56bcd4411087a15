// Loading .kv2 files: the header, sections read into their own blocks or the
// application's memory, pointer fix-ups and marshalling in two phases, the
// root, the CRC checks and the root converted to the current layout.
//
// Nothing read from a file is trusted. The header block and the file's
// TotalSize are probed through the reader before a block of their size is
// allocated; every section header is checked against TotalSize (and, when
// compressed, against a bound on expansion) before its block is; fix-ups go
// through the checked forms of the file layout. A fault in the header gives
// a null file, one in a section a null section, decided before any pointer
// is written so that no fixed-up pointer can lead into a freed block.
#include "file/kelvo_file.h"

#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "file/kelvo_file_operations.h"
#include "file/kelvo_platform_conversion.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_crc.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_compression.h"
#include "kelvo2/kelvo2_data_type_conversion.h"

#include <string.h>

using kelvo::Log;
using kelvo::ReadExactly;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoFileReadingLogMessage;
constexpr kelvo_int32 CRCChunkSize = 65536;
// Larger alignments would only inflate the block of a hostile section.
constexpr kelvo_uint32 MaxSectionAlignment = 4096;

// Whether the file reaches Position: probed before allocating for a size it
// claims, so that a short file cannot ask for a large block.
bool HasByteAt(kelvo_file_reader *Reader, kelvo_int64 Position) {
    kelvo_uint8 Byte;
    return ReadExactly(Reader, Position, 1, &Byte);
}

kelvo_int64 RoundUp4(kelvo_int64 Size) {
    return (Size + 3) & ~(kelvo_int64)3;
}

struct header_block {
    kelvo_file_magic_value Magic; // as stored
    kelvo_file_header *Header;    // native order, the section array behind it
    bool IsByteReversed;
    bool PointerSizeDiffers;
};

bool ReadMagicValueAndHeader(kelvo_file_reader *Reader, header_block &Result) {
    Result.Header = nullptr;
    if (!ReadExactly(Reader, 0, sizeof(Result.Magic), &Result.Magic)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to read magic value", KELVO_HERE);
        return false;
    }
    kelvo_uint32 HeaderSize;
    kelvo_bool32 Reversed, Differs;
    if (!KelvoIsKelvoFile(&Result.Magic, &HeaderSize, &Reversed, &Differs)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): File is not a Kelvo file", KELVO_HERE);
        return false;
    }
    Result.IsByteReversed = Reversed != 0;
    Result.PointerSizeDiffers = Differs != 0;
    kelvo_uint32 Format = Result.Magic.HeaderFormat;
    if (Result.IsByteReversed) {
        kelvo::Reverse32(sizeof(Format), &Format);
    }
    if (Format != 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): File has an unrecognized header format (%d)",
            KELVO_HERE, (kelvo_int32)Format);
        return false;
    }
    // HeaderSize counts the magic value record too. Only the header and the
    // section array are read, so a file need not continue past them.
    kelvo_int64 BlockSize = (kelvo_int64)HeaderSize - kelvo::FileHeaderOffset;
    if (BlockSize < kelvo::FileHeaderSize || !HasByteAt(Reader, (kelvo_int64)HeaderSize - 1)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to read file header", KELVO_HERE);
        return false;
    }
    kelvo_int64 Allocated = RoundUp4(BlockSize);
    auto *Block = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)Allocated));
    if (!Block) {
        return false;
    }
    kelvo::SetUInt8((kelvo_int32)(Allocated - BlockSize), 0, Block + BlockSize);
    if (!ReadExactly(Reader, kelvo::FileHeaderOffset, BlockSize, Block)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to read file header", KELVO_HERE);
        KELVO_DEALLOCATE(Block);
        return false;
    }
    if (Result.IsByteReversed) {
        kelvo::Reverse32((kelvo_int32)Allocated, Block);
    }
    auto *Header = reinterpret_cast<kelvo_file_header *>(Block);
    if (!kelvo::GetCheckedSectionArray(Header, BlockSize)) {
        KELVO_DEALLOCATE(Block);
        return false;
    }
    // Sections are checked against TotalSize, so the file must really reach it.
    if (Header->TotalSize < HeaderSize || Header->TotalSize > INT32_MAX ||
        !HasByteAt(Reader, (kelvo_int64)Header->TotalSize - 1)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): File claims a total size of %u bytes, which its header and the file's "
            "end do not allow",
            KELVO_HERE, Header->TotalSize);
        KELVO_DEALLOCATE(Block);
        return false;
    }
    Result.Header = Header;
    return true;
}

kelvo_section_header *SectionArray(kelvo_file const *File) {
    return KelvoGetKVNSectionArray(File->Header);
}

kelvo::section_bounds Bounds(kelvo_file const *File) {
    return {File->SectionCount, File->Sections, SectionArray(File)};
}

// The header check the operations open with; the wording of its message
// differs between them.
bool FileHasHeader(kelvo_file const *File, char const *Message) {
    KELVO_CHECK_NOT_NULL(File, Origin, false);
    if (!File->Header) {
        Log(KelvoErrorLogMessage, Origin, Message, KELVO_HERE);
        return false;
    }
    return true;
}

// The checks the step-by-step operations open with; false ends the call.
bool CheckFileAndIndex(kelvo_file const *File, kelvo_int32 SectionIndex) {
    if (!FileHasHeader(File, "%s(%d): File.Header is not allowed to be 0")) {
        return false;
    }
    KELVO_CHECK_INDEX(SectionIndex, File->SectionCount, Origin, false);
    return true;
}

// What CheckSectionHeader leaves to the loader: a known format, an
// alignment a block can be given, and a compressed size that could expand
// as far as it claims.
bool SectionCanBeRead(kelvo_section_header const &Section, kelvo_int32 SectionIndex,
                      kelvo_uint32 FileSize, kelvo_int32 &Alignment) {
    if (!kelvo::CheckSectionHeader(Section, SectionIndex, FileSize)) {
        return false;
    }
    if (Section.Format >= KelvoOnePastLastCompressionType) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Section %d has unknown compression type %u",
            KELVO_HERE, SectionIndex, Section.Format);
        return false;
    }
    if (Section.Format != KelvoNoCompression &&
        Section.ExpandedDataSize > Section.DataSize * kelvo::MaxExpansionPerStoredByte) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Section %d claims to expand %u stored bytes to %u, further than any "
            "compressor reaches",
            KELVO_HERE, SectionIndex, Section.DataSize, Section.ExpandedDataSize);
        return false;
    }
    kelvo_int32 Claimed = (kelvo_int32)Section.InternalAlignment;
    if (Claimed <= 0) {
        Alignment = 4;
        return true;
    }
    if ((Claimed & (Claimed - 1)) != 0 || (kelvo_uint32)Claimed > MaxSectionAlignment) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Section %d asks for an alignment of %u bytes, which is not a power of two "
            "up to %u",
            KELVO_HERE, SectionIndex, Section.InternalAlignment, MaxSectionAlignment);
        return false;
    }
    Alignment = Claimed;
    return true;
}

// The stored bytes into Destination, decompressed when they are compressed.
bool ReadSectionData(kelvo_file_reader *Reader, kelvo_section_header const &Section,
                     bool IsByteReversed, void *Destination) {
    if (Section.Format == KelvoNoCompression) {
        return ReadExactly(Reader, Section.DataOffset, Section.DataSize, Destination);
    }
    kelvo_int64 StoredSize =
        (kelvo_int64)Section.DataSize + KelvoGetCompressedBytesPaddingSize(Section.Format);
    void *Stored = KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)StoredSize);
    if (!Stored) {
        return false;
    }
    bool Done = ReadExactly(Reader, Section.DataOffset, Section.DataSize, Stored) &&
                KelvoDecompressData((kelvo_compression_type)Section.Format, IsByteReversed,
                                    (kelvo_int32)Section.DataSize, Stored,
                                    (kelvo_int32)Section.First16Bit, (kelvo_int32)Section.First8Bit,
                                    (kelvo_int32)Section.ExpandedDataSize, Destination);
    KELVO_DEALLOCATE(Stored);
    return Done;
}

void ReadSection(kelvo_file_reader *Reader, kelvo_file *File, kelvo_int32 SectionIndex,
                 void *Memory) {
    KELVO_CHECK_NOT_NULL(Reader, Origin, KELVO_NOTHING);
    if (!CheckFileAndIndex(File, SectionIndex)) {
        return;
    }
    if (File->Sections[SectionIndex]) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): Ignored request to read already populated file section %d", KELVO_HERE,
            SectionIndex);
        return;
    }
    kelvo_section_header const &Section = SectionArray(File)[SectionIndex];
    kelvo_int32 Alignment;
    if (Section.ExpandedDataSize == 0 ||
        !SectionCanBeRead(Section, SectionIndex, File->Header->TotalSize, Alignment)) {
        return;
    }
    kelvo_int64 BlockSize = RoundUp4(Section.ExpandedDataSize);
    void *Destination = Memory ? Memory : KELVO_ALLOCATE_ALIGNED(Alignment, (kelvo_int32)BlockSize);
    if (!Destination) {
        return;
    }
    if (!Memory) {
        kelvo::SetUInt8((kelvo_int32)(BlockSize - Section.ExpandedDataSize), 0,
                        static_cast<kelvo_uint8 *>(Destination) + Section.ExpandedDataSize);
    }
    if (!ReadSectionData(Reader, Section, File->IsByteReversed != 0, Destination)) {
        // A short or corrupt section is dropped, not kept half read.
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Unable to read section %d (%u stored bytes at offset %u)", KELVO_HERE,
            SectionIndex, Section.DataSize, Section.DataOffset);
        if (!Memory) {
            KELVO_DEALLOCATE(Destination);
        }
        return;
    }
    File->Sections[SectionIndex] = Destination;
    File->IsUserMemory[SectionIndex] = Memory != nullptr;
    if (File->IsByteReversed) {
        KelvoReverseSection(Section.First16Bit, Section.First8Bit, Section.ExpandedDataSize,
                            Destination);
    }
    File->Marshalled[SectionIndex] = !File->IsByteReversed;
}

// Count records of RecordSize at Offset, in native order; null (reported)
// when they cannot be read. Callers have bounded Count by the file's size.
void *LoadRecords(kelvo_file_reader *Reader, kelvo_uint32 Offset, kelvo_uint32 Count,
                  kelvo_int32 RecordSize, bool IsByteReversed) {
    kelvo_int64 Size = (kelvo_int64)Count * RecordSize;
    void *Records = Size <= INT32_MAX ? KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)Size) : nullptr;
    if (!Records || !ReadExactly(Reader, Offset, Size, Records)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to read %u fix-ups at offset %u",
            KELVO_HERE, Count, Offset);
        KELVO_DEALLOCATE(Records);
        return nullptr;
    }
    if (IsByteReversed) {
        kelvo::Reverse32((kelvo_int32)Size, Records);
    }
    return Records;
}

// The same for a caller's section header, which nothing has checked: the
// file must reach the array's end before a block of its size is allocated.
void *LoadRecordsProbed(kelvo_file_reader *Reader, kelvo_uint32 Offset, kelvo_uint32 Count,
                        kelvo_int32 RecordSize, bool IsByteReversed) {
    kelvo_int64 End = (kelvo_int64)Offset + (kelvo_int64)Count * RecordSize;
    if (End > INT32_MAX || !HasByteAt(Reader, End - 1)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): %u fix-ups at offset %u run past the end of the file", KELVO_HERE, Count,
            Offset);
        return nullptr;
    }
    return LoadRecords(Reader, Offset, Count, RecordSize, IsByteReversed);
}

// The section's record of what its fix-ups write, made once before the
// first is applied: a bit per word of the section and room for every
// marshalling fix-up a byte-reversed file will apply. Null when it cannot
// be allocated.
kelvo::applied_fixups *KeepAppliedFixups(kelvo_file *File, kelvo_int32 SectionIndex) {
    if (File->AppliedFixups[SectionIndex]) {
        return static_cast<kelvo::applied_fixups *>(File->AppliedFixups[SectionIndex]);
    }
    kelvo_section_header const &Section = SectionArray(File)[SectionIndex];
    kelvo::applied_fixups *Applied = nullptr;
    kelvo_uint32 *Words = nullptr;
    kelvo_marshalling_fixup *Marshalling = nullptr;
    kelvo_uint32 WordCount = (kelvo_uint32)((RoundUp4(Section.ExpandedDataSize) / 4 + 31) / 32);
    kelvo_uint32 Room = File->IsByteReversed ? Section.MixedMarshallingFixupArrayCount : 0;
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo::AggrAllocPtr(Aggr, &Applied, sizeof(kelvo::applied_fixups));
    kelvo::AggrAllocArrayPtr(Aggr, (kelvo_int32)WordCount, &Words);
    kelvo::AggrAllocArrayPtr(Aggr, (kelvo_int32)Room, &Marshalling);
    if (!kelvo::EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    kelvo::SetUInt8((kelvo_int32)(WordCount * 4), 0, Words);
    *Applied = {Words, WordCount, Marshalling, 0};
    File->AppliedFixups[SectionIndex] = Applied;
    return Applied;
}

// The section's record of applied fix-ups; without it the section is
// unloaded and reported as not fixed up or not marshalled.
kelvo::applied_fixups *KeepOrUnload(kelvo_file *File, kelvo_int32 SectionIndex,
                                    char const *Undone) {
    kelvo::applied_fixups *Applied = KeepAppliedFixups(File, SectionIndex);
    if (!Applied) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Section %d was not %s", KELVO_HERE, SectionIndex,
            Undone);
        KelvoFreeFileSection(File, SectionIndex);
    }
    return Applied;
}

void FixUp(kelvo_file *File, kelvo_int32 SectionIndex, kelvo_pointer_fixup const *Fixups) {
    kelvo_uint32 Count = SectionArray(File)[SectionIndex].PointerFixupArrayCount;
    if (Count == 0) {
        return;
    }
    if (!Fixups) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): PointerFixupArray is not allowed to be 0",
            KELVO_HERE);
        return;
    }
    // Without the record the tree check could not tell the pointers written
    // from the file's own bytes: a section left unfixed would hold file
    // offsets where pointers belong, so it is unloaded, as when its fix-ups
    // cannot be read.
    kelvo::applied_fixups *Applied = KeepOrUnload(File, SectionIndex, "fixed up");
    if (!Applied) {
        return;
    }
    // Loaded sections passed CheckSectionHeader, which bounds Count by the file.
    kelvo::FixUpSection(Bounds(File), SectionIndex, (kelvo_int32)Count, Fixups,
                        Applied->WrittenWords);
}

// Phase 2 with the marshalling fix-ups at hand. Reversing mixed records
// also reverses the pointer words among them, so the pointers are written
// again afterwards.
void MarshallAndFixUp(kelvo_file *File, kelvo_int32 SectionIndex,
                      kelvo_marshalling_fixup const *Marshalling,
                      kelvo_pointer_fixup const *Pointers) {
    kelvo_uint32 Count = SectionArray(File)[SectionIndex].MixedMarshallingFixupArrayCount;
    kelvo::applied_fixups *Applied = KeepOrUnload(File, SectionIndex, "marshalled");
    if (!Applied) {
        return;
    }
    Applied->MarshallingCount = 0;
    bool Sound = kelvo::MarshallSection(Bounds(File), SectionIndex, (kelvo_int32)Count, Marshalling,
                                        Applied->Marshalling, &Applied->MarshallingCount);
    FixUp(File, SectionIndex, Pointers);
    File->Marshalled[SectionIndex] = Sound;
}

bool NeedsPhase2(kelvo_file const *File, kelvo_int32 SectionIndex) {
    return File->IsByteReversed && File->Sections[SectionIndex] && !File->Marshalled[SectionIndex];
}

// Files of the other pointer size: every section in the file's own byte
// order with its pointer fix-ups, rebuilt for this build by platform
// conversion, then fixed up.
kelvo_file *ReadRestOfFileConverted(kelvo_file_reader *Reader, kelvo_file *File,
                                    kelvo_int32 FilePointerSize) {
    Log(KelvoWarningLogMessage, Origin,
        "%s(%d): Converting pointer size from %d to %d.  This is EXTREMELY SLOW!", KELVO_HERE,
        FilePointerSize, kelvo::ThisPlatformPointerSizeInBits);
    kelvo::fixup_arrays Arrays;
    kelvo::platform This = {kelvo::ThisPlatformPointerSizeInBits,
                            kelvo::ThisPlatformIsLittleEndian};
    bool Converted = kelvo::ReadSectionsForConversion(Reader, File, Arrays, false);
    if (Converted && !kelvo::ConvertFileToPlatform(File, This, Arrays)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): ReadRestOfFileFromReaderPointerSize: PlatformConversion failed", KELVO_HERE);
        Converted = false;
    }
    for (kelvo_int32 Index = 0; Converted && Index < File->SectionCount; ++Index) {
        KelvoFixupFileSectionPhase1(File, Index, Arrays.Pointers[Index]);
    }
    kelvo::FreeFixupArrays(Arrays);
    if (!Converted) {
        KelvoFreeFile(File);
        return nullptr;
    }
    return File;
}

kelvo_file *ReadRestOfFile(kelvo_file_reader *Reader, kelvo_file *File) {
    kelvo_int32 FilePointerSize = 0;
    KelvoGetMagicValueProperties(File->SourceMagicValue, &FilePointerSize, nullptr);
    if (FilePointerSize != kelvo::ThisPlatformPointerSizeInBits) {
        return ReadRestOfFileConverted(Reader, File, FilePointerSize);
    }
    if (File->IsByteReversed) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): Endian mismatch between current platform and source.  File will be "
            "endian marshalled.",
            KELVO_HERE);
    }
    kelvo_int32 Count = File->SectionCount;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        KelvoReadFileSection(Reader, File, Index);
    }

    // Every fix-up array is loaded before any pointer is written: a section
    // whose arrays cannot be read is dropped while nothing points into it.
    void **Arrays = nullptr;
    if (Count > 0) {
        Arrays = static_cast<void **>(
            KELVO_ALLOCATE_SIZE((kelvo_int32)(2 * (kelvo_int64)Count * sizeof(void *))));
        if (!Arrays) {
            KelvoFreeFile(File);
            return nullptr;
        }
    }
    void **PointerArrays = Arrays;
    void **MarshallingArrays = Arrays + Count;
    kelvo_section_header const *Sections = SectionArray(File);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        PointerArrays[Index] = MarshallingArrays[Index] = nullptr;
        if (!File->Sections[Index]) {
            continue;
        }
        kelvo_section_header const &Section = Sections[Index];
        bool Loaded = true;
        if (Section.PointerFixupArrayCount) {
            PointerArrays[Index] =
                LoadRecords(Reader, Section.PointerFixupArrayOffset, Section.PointerFixupArrayCount,
                            sizeof(kelvo_pointer_fixup), File->IsByteReversed);
            Loaded = PointerArrays[Index] != nullptr;
        }
        if (Loaded && File->IsByteReversed && Section.MixedMarshallingFixupArrayCount) {
            MarshallingArrays[Index] = LoadRecords(Reader, Section.MixedMarshallingFixupArrayOffset,
                                                   Section.MixedMarshallingFixupArrayCount,
                                                   sizeof(kelvo_marshalling_fixup), true);
            Loaded = MarshallingArrays[Index] != nullptr;
        }
        if (!Loaded) {
            KelvoFreeFileSection(File, Index);
        }
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        KelvoFixupFileSectionPhase1(File, Index,
                                    static_cast<kelvo_pointer_fixup const *>(PointerArrays[Index]));
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        if (NeedsPhase2(File, Index)) {
            KELVO_TIMED_BLOCK("FixupFileSectionPhase2");
            MarshallAndFixUp(File, Index,
                             static_cast<kelvo_marshalling_fixup const *>(MarshallingArrays[Index]),
                             static_cast<kelvo_pointer_fixup const *>(PointerArrays[Index]));
        }
    }
    for (kelvo_int32 Index = 0; Index < 2 * Count; ++Index) {
        KELVO_DEALLOCATE(Arrays[Index]);
    }
    KELVO_DEALLOCATE(Arrays);
    return File;
}

// Whether a definition at Address is terminated inside its section.
bool DefinitionIsTerminated(kelvo_file const *File, kelvo_uint32 SectionIndex,
                            kelvo_uint32 Offset) {
    constexpr kelvo_uint32 RecordSize = sizeof(kelvo_data_type_definition);
    kelvo_uint32 Size = SectionArray(File)[SectionIndex].ExpandedDataSize;
    auto const *Bytes = static_cast<kelvo_uint8 const *>(File->Sections[SectionIndex]);
    for (kelvo_uint64 At = Offset; At + RecordSize <= Size; At += RecordSize) {
        auto const *Member = reinterpret_cast<kelvo_data_type_definition const *>(Bytes + At);
        if (Member->Type == KelvoEndMember) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace kelvo {

bool ReadSectionsForConversion(kelvo_file_reader *Reader, kelvo_file *File, fixup_arrays &Arrays,
                               bool WithMarshallingFixups) {
    if (!AllocateFixupArrays(Arrays, File->SectionCount)) {
        return false;
    }
    kelvo_section_header const *Sections = SectionArray(File);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        KelvoReadFileSection(Reader, File, Index);
        if (!File->Sections[Index]) {
            continue;
        }
        kelvo_section_header const &Section = Sections[Index];
        if (File->IsByteReversed) {
            // Back to the order the file was written in, which the
            // conversion reads its values in.
            KelvoReverseSection(Section.First16Bit, Section.First8Bit, Section.ExpandedDataSize,
                                File->Sections[Index]);
        }
        if (Section.PointerFixupArrayCount) {
            Arrays.Pointers[Index] = static_cast<kelvo_pointer_fixup *>(
                LoadRecords(Reader, Section.PointerFixupArrayOffset, Section.PointerFixupArrayCount,
                            sizeof(kelvo_pointer_fixup), File->IsByteReversed));
            if (!Arrays.Pointers[Index]) {
                KelvoFreeFileSection(File, Index);
                continue;
            }
        }
        if (WithMarshallingFixups && Section.MixedMarshallingFixupArrayCount) {
            Arrays.Marshallings[Index] = static_cast<kelvo_marshalling_fixup *>(
                LoadRecords(Reader, Section.MixedMarshallingFixupArrayOffset,
                            Section.MixedMarshallingFixupArrayCount,
                            sizeof(kelvo_marshalling_fixup), File->IsByteReversed));
            if (!Arrays.Marshallings[Index]) {
                KelvoFreeFileSection(File, Index);
            }
        }
    }
    return true;
}

} // namespace kelvo

// ---- whole files ------------------------------------------------------------

KELVO_API kelvo_file *KelvoReadEntireFile(char const *FileName) {
    KELVO_TIMED_BLOCK("ReadEntireFile");
    KELVO_CHECK_NOT_NULL(FileName, Origin, nullptr);
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to open %s for reading", KELVO_HERE,
            FileName);
        return nullptr;
    }
    kelvo_file *File = KelvoReadEntireFileFromReader(Reader);
    KelvoCloseFileReader(Reader);
    return File;
}

KELVO_API kelvo_file *KelvoReadEntireFileFromMemory(kelvo_int32 MemorySize, void const *Memory) {
    kelvo_file_reader *Reader = KelvoCreateMemoryFileReader(KELVO_HERE, 0, MemorySize, Memory);
    if (!Reader) {
        return nullptr;
    }
    kelvo_file *File = KelvoReadEntireFileFromReader(Reader);
    KelvoCloseFileReader(Reader);
    return File;
}

KELVO_API kelvo_file *KelvoReadEntireFileFromReader(kelvo_file_reader *Reader) {
    KELVO_TIMED_BLOCK("ReadEntireFileFromReader");
    kelvo_file *File = KelvoReadPartialFileFromReader(Reader);
    return File ? ReadRestOfFile(Reader, File) : nullptr;
}

// ---- step by step -------------------------------------------------------------

KELVO_API kelvo_file *KelvoReadPartialFileFromReader(kelvo_file_reader *Reader) {
    KELVO_CHECK_NOT_NULL(Reader, Origin, nullptr);
    header_block Block;
    if (!ReadMagicValueAndHeader(Reader, Block)) {
        return nullptr;
    }
    kelvo_file_header *Header = Block.Header;
    if (Header->Version != kelvo::CurrentFileFormatRevision) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): File is file format revision %d (current version is %d)", KELVO_HERE,
            (kelvo_int32)Header->Version, (kelvo_int32)kelvo::CurrentFileFormatRevision);
    }
    kelvo_int32 Count = (kelvo_int32)Header->SectionArrayCount;
    kelvo_file *File = nullptr;
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo::AggrAllocPtr(Aggr, &File, sizeof(kelvo_file));
    kelvo_file_magic_value *Magic = nullptr;
    void **Sections = nullptr;
    kelvo_bool8 *Marshalled = nullptr;
    kelvo_bool8 *IsUserMemory = nullptr;
    void **AppliedFixups = nullptr;
    kelvo::AggrAllocPtr(Aggr, &Magic, sizeof(kelvo_file_magic_value));
    kelvo::AggrAllocArrayPtr(Aggr, Count, &Sections);
    kelvo::AggrAllocArrayPtr(Aggr, Count, &AppliedFixups);
    kelvo::AggrAllocArrayPtr(Aggr, Count, &Marshalled);
    kelvo::AggrAllocArrayPtr(Aggr, Count, &IsUserMemory);
    if (!kelvo::EndAggrAlloc(Aggr, KELVO_HERE)) {
        KELVO_DEALLOCATE(Header);
        return nullptr;
    }
    *Magic = Block.Magic;
    // No conversion buffer yet.
    *File = {Block.IsByteReversed, Header,       Magic,   Count,        Sections,
             Marshalled,           IsUserMemory, nullptr, AppliedFixups};
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Sections[Index] = AppliedFixups[Index] = nullptr;
        Marshalled[Index] = IsUserMemory[Index] = 0;
    }
    return File;
}

KELVO_API void KelvoReadFileSection(kelvo_file_reader *Reader, kelvo_file *File,
                                    kelvo_int32 SectionIndex) {
    ReadSection(Reader, File, SectionIndex, nullptr);
}

KELVO_API void KelvoReadFileSectionInPlace(kelvo_file_reader *Reader, kelvo_file *File,
                                           kelvo_int32 SectionIndex, void *Memory) {
    KELVO_TIMED_BLOCK("ReadFileSectionInPlace");
    ReadSection(Reader, File, SectionIndex, Memory);
}

KELVO_API kelvo_pointer_fixup *KelvoLoadFixupArray(kelvo_file_reader *Reader,
                                                   kelvo_section_header const *Section,
                                                   kelvo_bool32 FileIsByteReversed) {
    KELVO_CHECK_NOT_NULL(Reader, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(Section, Origin, nullptr);
    if (Section->PointerFixupArrayCount == 0) {
        return nullptr;
    }
    return static_cast<kelvo_pointer_fixup *>(
        LoadRecordsProbed(Reader, Section->PointerFixupArrayOffset, Section->PointerFixupArrayCount,
                          sizeof(kelvo_pointer_fixup), FileIsByteReversed != 0));
}

KELVO_API void KelvoFixupFileSectionPhase1(kelvo_file *File, kelvo_int32 SectionIndex,
                                           kelvo_pointer_fixup const *PointerFixupArray) {
    KELVO_TIMED_BLOCK("FixupFileSectionPhase1");
    if (CheckFileAndIndex(File, SectionIndex) && File->Sections[SectionIndex]) {
        FixUp(File, SectionIndex, PointerFixupArray);
    }
}

KELVO_API void KelvoFixupFileSectionPhase2(kelvo_file_reader *Reader, kelvo_file *File,
                                           kelvo_int32 SectionIndex,
                                           kelvo_pointer_fixup const *PointerFixupArray) {
    KELVO_TIMED_BLOCK("FixupFileSectionPhase2");
    if (!CheckFileAndIndex(File, SectionIndex) || !NeedsPhase2(File, SectionIndex)) {
        return;
    }
    kelvo_section_header const &Section = SectionArray(File)[SectionIndex];
    void *Marshalling = nullptr;
    if (Section.MixedMarshallingFixupArrayCount) {
        KELVO_CHECK_NOT_NULL(Reader, Origin, KELVO_NOTHING);
        Marshalling = LoadRecordsProbed(Reader, Section.MixedMarshallingFixupArrayOffset,
                                        Section.MixedMarshallingFixupArrayCount,
                                        sizeof(kelvo_marshalling_fixup), true);
        if (!Marshalling) {
            return; // the section stays unmarshalled
        }
    }
    MarshallAndFixUp(File, SectionIndex, static_cast<kelvo_marshalling_fixup *>(Marshalling),
                     PointerFixupArray);
    KELVO_DEALLOCATE(Marshalling);
}

// ---- freeing ------------------------------------------------------------------

KELVO_API void KelvoFreeFileSection(kelvo_file *File, kelvo_int32 SectionIndex) {
    KELVO_CHECK_NOT_NULL(File, Origin, KELVO_NOTHING);
    KELVO_CHECK_INDEX(SectionIndex, File->SectionCount, Origin, KELVO_NOTHING);
    if (File->AppliedFixups) {
        KELVO_DEALLOCATE(File->AppliedFixups[SectionIndex]);
        File->AppliedFixups[SectionIndex] = nullptr;
    }
    if (!File->Sections[SectionIndex]) {
        return;
    }
    if (!File->IsUserMemory[SectionIndex]) {
        KELVO_DEALLOCATE(File->Sections[SectionIndex]);
    }
    File->Sections[SectionIndex] = nullptr;
    File->Marshalled[SectionIndex] = 0;
    File->IsUserMemory[SectionIndex] = 0;
}

KELVO_API void KelvoFreeAllFileSections(kelvo_file *File) {
    KELVO_CHECK_NOT_NULL(File, Origin, KELVO_NOTHING);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        KelvoFreeFileSection(File, Index);
    }
}

KELVO_API void KelvoFreeFile(kelvo_file *File) {
    if (!File) {
        return;
    }
    KelvoFreeAllFileSections(File);
    KELVO_DEALLOCATE(File->Header);
    KELVO_DEALLOCATE(File->ConversionBuffer);
    KELVO_DEALLOCATE(File);
}

// ---- queries ------------------------------------------------------------------

KELVO_API void KelvoGetDataTreeFromFile(kelvo_file const *File, kelvo_variant *Result) {
    KELVO_CHECK_NOT_NULL(Result, Origin, KELVO_NOTHING);
    Result->Type = nullptr;
    Result->Object = nullptr;
    if (!FileHasHeader(File, "%s(%d): File.Header is not allowed to be 0")) {
        return;
    }
    kelvo::section_bounds Sections = Bounds(File);
    kelvo_file_reference const &TypeReference = File->Header->RootObjectTypeDefinition;
    kelvo_file_reference const &ObjectReference = File->Header->RootObject;
    void *Type, *Object;
    kelvo::reference_status TypeStatus =
        kelvo::ResolveReference(Sections, TypeReference, sizeof(kelvo_data_type_definition), Type);
    kelvo::reference_status ObjectStatus =
        kelvo::ResolveReference(Sections, ObjectReference, 1, Object);
    if (TypeStatus == kelvo::reference_status::NotLoaded ||
        ObjectStatus == kelvo::reference_status::NotLoaded) {
        return; // a partly loaded file has no root yet
    }
    if (TypeStatus != kelvo::reference_status::Resolved ||
        ObjectStatus != kelvo::reference_status::Resolved || TypeReference.Offset % 4 != 0 ||
        !DefinitionIsTerminated(File, TypeReference.SectionIndex, TypeReference.Offset)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The root (type at offset %u of section %u, object at offset %u of section "
            "%u) does not lie inside the loaded sections",
            KELVO_HERE, TypeReference.Offset, TypeReference.SectionIndex, ObjectReference.Offset,
            ObjectReference.SectionIndex);
        return;
    }
    Result->Type = static_cast<kelvo_data_type_definition const *>(Type);
    Result->Object = Object;
}

namespace {

// Stored definitions read in place, record by record: each must lie,
// aligned, inside a loaded section, and each name end inside one.
class loaded_definitions final : public kelvo::definition_memory {
  public:
    explicit loaded_definitions(kelvo_file const *File) : Sections(Bounds(File)) {}
    bool HoldsRecord(kelvo_data_type_definition const *Record) const override {
        return (kelvo_uintaddrx)Record % 4 == 0 &&
               kelvo::FindLoadedSection(Sections, Record, sizeof(*Record)) >= 0;
    }
    bool HoldsString(char const *String) const override {
        kelvo_int32 Index = kelvo::FindLoadedSection(Sections, String, 1);
        if (Index < 0) {
            return false;
        }
        kelvo_uintaddrx End =
            (kelvo_uintaddrx)Sections.Bases[Index] + Sections.Headers[Index].ExpandedDataSize;
        return memchr(String, 0, End - (kelvo_uintaddrx)String) != nullptr;
    }

  private:
    kelvo::section_bounds Sections;
};

} // namespace

namespace kelvo {

applied_fixups const *GetAppliedFixups(kelvo_file const *File, kelvo_int32 SectionIndex) {
    if (!File->AppliedFixups || SectionIndex < 0 || SectionIndex >= File->SectionCount) {
        return nullptr;
    }
    return static_cast<applied_fixups const *>(File->AppliedFixups[SectionIndex]);
}

void *GetFileRootAs(kelvo_file *File, kelvo_data_type_definition const *TargetType,
                    kelvo_uint32 TargetTag) {
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    if (!Root.Object) {
        return nullptr;
    }
    // The tag alone does not make the root a TargetType: a file may store
    // any definition under the current tag. A root handed out in place is
    // walked by callers, so its tree is checked first.
    bool TagMatches = File->Header->TypeTag == TargetTag;
    loaded_definitions Stored(File);
    if (TagMatches && TargetType &&
        DataTypesAreEqual(Root.Type, TargetType, &CaseSensitiveDifference, nullptr, &Stored)) {
        return KelvoCheckFileDataTree(File) ? Root.Object : nullptr;
    }
    if (File->ConversionBuffer) {
        return File->ConversionBuffer;
    }
    if (TagMatches) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): File has run-time type tag 0x%x, but its root type definition differs "
            "from this version of Kelvo's.  Automatic conversion will be attempted.",
            KELVO_HERE, TargetTag);
    } else {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): File has run-time type tag of 0x%x, which doesn't match this version of "
            "Kelvo (0x%x).  Automatic conversion will be attempted.",
            KELVO_HERE, File->Header->TypeTag, TargetTag);
    }
    if (!TargetType) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): This build has no type definition to convert the root to", KELVO_HERE);
        return nullptr;
    }
    // Conversion walks the whole stored tree, which the loader has not
    // checked beyond its fixed-up pointers.
    if (!KelvoCheckFileDataTree(File)) {
        return nullptr;
    }
    File->ConversionBuffer = KelvoConvertTree(Root.Type, Root.Object, TargetType);
    return File->ConversionBuffer;
}

} // namespace kelvo

KELVO_API kelvo_uint32 KelvoGetFileTypeTag(kelvo_file const *File) {
    if (!FileHasHeader(File, "%s(%d): File.Header is not allowed to be 0")) {
        return 0;
    }
    return File->Header->TypeTag;
}

KELVO_API kelvo_int32 KelvoGetFileSectionOfLoadedObject(kelvo_file const *File,
                                                        void const *Object) {
    KELVO_CHECK_NOT_NULL(File, Origin, -1);
    if (!File->Header) {
        return -1;
    }
    kelvo_section_header const *Sections = SectionArray(File);
    kelvo_uintaddrx Address = (kelvo_uintaddrx)Object;
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        kelvo_uintaddrx Base = (kelvo_uintaddrx)File->Sections[Index];
        if (Base && Address >= Base && Address - Base < Sections[Index].ExpandedDataSize) {
            return Index;
        }
    }
    return -1;
}

// ---- CRC checks -----------------------------------------------------------------

namespace kelvo {

bool FileCRCIsValid(kelvo_file_reader *Reader, bool *Computed) {
    header_block Block;
    bool Valid = false;
    void *Chunk = nullptr;
    if (Computed) {
        *Computed = false;
    }
    if (ReadMagicValueAndHeader(Reader, Block) &&
        (Chunk = KELVO_ALLOCATE_ALIGNED(4, CRCChunkSize)) != nullptr) {
        kelvo_int64 Position =
            kelvo::FileHeaderOffset + (kelvo_int64)Block.Header->SectionArrayOffset;
        kelvo_uint32 CRC = 0xFFFFFFFFu;
        while (Position < INT32_MAX) {
            kelvo_int32 Read = KelvoReadAtMost(Reader, (kelvo_int32)Position, CRCChunkSize, Chunk);
            if (Read <= 0 || Read > CRCChunkSize) {
                break;
            }
            CRC = kelvo::UpdateCRC32(CRC, (kelvo_uint32)Read, Chunk);
            Position += Read;
        }
        Valid = ~CRC == Block.Header->CRC;
        if (Computed) {
            *Computed = true;
        }
    }
    KELVO_DEALLOCATE(Chunk);
    KELVO_DEALLOCATE(Block.Header);
    return Valid;
}

} // namespace kelvo

KELVO_API kelvo_bool32 KelvoFileCRCIsValid(char const *FileName) {
    KELVO_CHECK_NOT_NULL(FileName, Origin, 0);
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to open %s for reading", KELVO_HERE,
            FileName);
        return 0;
    }
    bool Valid = kelvo::FileCRCIsValid(Reader);
    KelvoCloseFileReader(Reader);
    return Valid;
}

KELVO_API kelvo_uint32 KelvoGetInMemoryFileCRC(kelvo_file const *File) {
    if (!FileHasHeader(File, "%s(%d): File->Header is not allowed to be 0")) {
        return 0;
    }
    kelvo_section_header const *Sections = SectionArray(File);
    kelvo_uint32 CRC = 0xFFFFFFFFu;
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        if (File->Sections[Index]) {
            CRC = kelvo::UpdateCRC32(CRC, Sections[Index].ExpandedDataSize, File->Sections[Index]);
        }
    }
    return ~CRC;
}
