// Rewriting whole files: recompression (every section in a chosen format, in
// the file's own layout and byte order) and platform conversion of a reader
// into a writer. Both read through the loader's checked header and section
// reads, store each section with the compressor stage and write through the
// one writer of the file layout, so they sit above the loader, platform
// conversion and the layout, none of which calls back into them.
//
// Recompression takes only a file that the loader and the tree check accept
// whole and whose stored CRC matches: it would otherwise write a fresh CRC
// over damaged data. Its output replaces an existing file only once it is
// complete, so a failure loses nothing, even when the output is the input.
#include "kelvo2/kelvo2_compression.h"
#include "kelvo2/kelvo2_file_builder.h"
#include "foundation/kelvo_counters.h"
#include "file/kelvo_file.h"
#include "file/kelvo_file_format.h"
#include "file/kelvo_file_layout.h"
#include "file/kelvo_file_operations.h"
#include "file/kelvo_file_writer.h"
#include "file/kelvo_platform_conversion.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

using kelvo::Log;

namespace {

constexpr kelvo_log_message_origin ConversionOrigin = KelvoFileReadingLogMessage;
constexpr kelvo_log_message_origin RecompressionOrigin = KelvoFileWritingLogMessage;
constexpr kelvo_int32 OutputGranularity = 65536;

// A file read in a layout to be written: its sections (in the byte order to
// be written), their fix-up arrays in native order, and each section once
// stored in its format.
struct stored_file {
    kelvo_file *File;
    kelvo::fixup_arrays Arrays;
    kelvo_uint8 **Stored;
};

void Release(stored_file &Source) {
    for (kelvo_int32 Index = 0; Source.Stored && Index < Source.File->SectionCount; ++Index) {
        KelvoFreeMemoryWriterBuffer(Source.Stored[Index]);
    }
    KELVO_DEALLOCATE(Source.Stored);
    kelvo::FreeFixupArrays(Source.Arrays);
    KelvoFreeFile(Source.File);
    Source = {};
}

// One section compressed in its header's format, DataSize set; Fenwa0 cannot
// be written, so its sections become Fenwa1.
bool StoreSection(kelvo_file const *File, kelvo_int32 Index, kelvo_uint8 *&Stored) {
    kelvo_section_header &Header = KelvoGetKVNSectionArray(File->Header)[Index];
    Stored = nullptr;
    if (Header.ExpandedDataSize == 0) {
        Header.DataSize = 0;
        return true;
    }
    if (Header.Format == KelvoFenwa0Compression) {
        Header.Format = KelvoFenwa1Compression;
    }
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(KELVO_HERE, OutputGranularity);
    if (!Output) {
        return false;
    }
    kelvo_file_compressor *Compressor = KelvoBeginFileCompression(
        (kelvo_int32)Header.ExpandedDataSize, 3, (kelvo_compression_type)Header.Format,
        File->IsByteReversed, Output);
    auto *Data = static_cast<kelvo_uint8 const *>(File->Sections[Index]);
    kelvo_uint32 Bounds[4] = {0, Header.First16Bit, Header.First8Bit, Header.ExpandedDataSize};
    bool Done = Compressor != nullptr;
    for (kelvo_int32 Region = 0; Done && Region < 3; ++Region) {
        Done = KelvoCompressContentsOfMemory(Compressor,
                                             (kelvo_int32)(Bounds[Region + 1] - Bounds[Region]),
                                             Data + Bounds[Region]) != 0;
    }
    kelvo_int32 Size = 0;
    if (Compressor && !KelvoEndFileCompression(Compressor, &Size)) {
        Done = false;
    }
    kelvo_int32 BufferSize = 0;
    if (Done && !KelvoStealMemoryWriterBuffer(Output, &Stored, &BufferSize)) {
        Done = false;
    }
    Header.DataSize = (kelvo_uint32)Size;
    KelvoDeleteFileWriter(Output);
    return Done;
}

bool StoreSections(stored_file &Source) {
    kelvo_int32 Count = Source.File->SectionCount;
    if (Count == 0) {
        return true;
    }
    Source.Stored = static_cast<kelvo_uint8 **>(
        KELVO_ALLOCATE_SIZE((kelvo_int32)(Count * (kelvo_int64)sizeof(kelvo_uint8 *))));
    if (!Source.Stored) {
        return false;
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Source.Stored[Index] = nullptr;
    }
    bool Stored = true;
    for (kelvo_int32 Index = 0; Stored && Index < Count; ++Index) {
        Stored = StoreSection(Source.File, Index, Source.Stored[Index]);
    }
    return Stored;
}

bool WriteStoredPart(void *Context, kelvo_int32 Index, kelvo::layout_part Part,
                     kelvo::layout_output &Out) {
    stored_file const &Source = *static_cast<stored_file const *>(Context);
    kelvo_section_header const &Header = KelvoGetKVNSectionArray(Source.File->Header)[Index];
    void const *Records = nullptr;
    kelvo_int64 Size = 0;
    if (Part == kelvo::layout_part::Data) {
        Out.Bytes(Header.DataSize, Source.Stored[Index]);
        return Header.DataSize == 0 || Source.Stored[Index];
    }
    if (Part == kelvo::layout_part::PointerFixups) {
        Records = Source.Arrays.Pointers[Index];
        Size = (kelvo_int64)Header.PointerFixupArrayCount * sizeof(kelvo_pointer_fixup);
    } else {
        Records = Source.Arrays.Marshallings[Index];
        Size = (kelvo_int64)Header.MixedMarshallingFixupArrayCount *
               sizeof(kelvo_marshalling_fixup);
    }
    if (Size > 0 && !Records) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Section %d counts fix-ups that were not read", KELVO_HERE, Index);
        return false;
    }
    Out.Words(Size, Records);
    return true;
}

bool WriteStoredFile(stored_file &Source, kelvo::platform Target, kelvo_file_writer *Writer) {
    kelvo::file_layout Layout = {};
    Layout.PointerSizeInBits = Target.PointerSizeInBits;
    Layout.IsLittleEndian = Target.IsLittleEndian;
    Layout.Header = *Source.File->Header;
    Layout.SectionCount = Source.File->SectionCount;
    Layout.Sections = KelvoGetKVNSectionArray(Source.File->Header);
    return kelvo::WriteFileLayout(Writer, Layout, &WriteStoredPart, &Source);
}

// ---- recompression ------------------------------------------------------------

// Every entry must be a known format (Fenwa0, which cannot be written,
// becomes Fenwa1 as a source's Fenwa0 sections do).
bool MappingIsKnown(kelvo_int32 Count, kelvo_int32 const *Mapping) {
    KELVO_CHECK(Count >= 0, RecompressionOrigin, false);
    KELVO_CHECK(Mapping || Count == 0, RecompressionOrigin, false);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        if (Mapping[Index] < 0 || Mapping[Index] >= KelvoOnePastLastCompressionType) {
            Log(KelvoErrorLogMessage, RecompressionOrigin,
                "%s(%d): CompressorMapping[%d] is %d, which is no compression type", KELVO_HERE,
                Index, Mapping[Index]);
            return false;
        }
    }
    return true;
}

// Whether every section with data was read, and when asked, brought to
// native order (fixed up and marshalled).
bool LoadedWhole(kelvo_file const *File, bool InNativeOrder) {
    kelvo_section_header const *Sections = KelvoGetKVNSectionArray(File->Header);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        if (Sections[Index].ExpandedDataSize != 0 &&
            (!File->Sections[Index] || (InNativeOrder && !File->Marshalled[Index]))) {
            return false;
        }
    }
    return true;
}

// The file as every reader of it would see it: its stored CRC matches, the
// loader reads every section, and the tree check accepts the tree from its
// root. A file that fails any of these would come out different, or as a
// valid file it is not.
bool SourceIsSound(kelvo_file_reader *Reader, char const *Name) {
    bool Computed = false;
    if (!kelvo::FileCRCIsValid(Reader, &Computed)) {
        Log(KelvoErrorLogMessage, RecompressionOrigin,
            Computed ? "%s(%d): %s does not match the CRC its header stores, so it is not rewritten"
                     : "%s(%d): Unable to check the CRC of %s, so it is not rewritten",
            KELVO_HERE, Name);
        return false;
    }
    kelvo_file *File = KelvoReadEntireFileFromReader(Reader);
    bool Sound = File && LoadedWhole(File, true) && KelvoCheckFileDataTree(File);
    KelvoFreeFile(File);
    if (!Sound) {
        Log(KelvoErrorLogMessage, RecompressionOrigin,
            "%s(%d): %s does not load whole and sound, so it is not rewritten", KELVO_HERE, Name);
    }
    return Sound;
}

// The file read again as stored, each section in its mapped format, written
// in its own layout and byte order.
bool Recompress(kelvo_file_reader *Reader, char const *Name, kelvo_int32 MappingCount,
                kelvo_int32 const *Mapping, kelvo_file_writer *Writer) {
    stored_file Source = {};
    Source.File = KelvoReadPartialFileFromReader(Reader);
    kelvo::platform Platform = {};
    bool Done = Source.File &&
                kelvo::ReadSectionsForConversion(Reader, Source.File, Source.Arrays, true) &&
                LoadedWhole(Source.File, false) &&
                kelvo::IdentifyMagicValue(*Source.File->SourceMagicValue,
                                          Platform.PointerSizeInBits, Platform.IsLittleEndian,
                                          false);
    if (!Done) {
        // The same reads passed a moment ago: the file changed meanwhile.
        Log(KelvoErrorLogMessage, RecompressionOrigin, "%s(%d): Unable to read %s again",
            KELVO_HERE, Name);
    }
    for (kelvo_int32 Index = 0; Done && Index < Source.File->SectionCount; ++Index) {
        kelvo_section_header &Section = KelvoGetKVNSectionArray(Source.File->Header)[Index];
        if (Section.Format < (kelvo_uint32)MappingCount) {
            Section.Format = (kelvo_uint32)Mapping[Section.Format];
        }
    }
    Done = Done && StoreSections(Source) && WriteStoredFile(Source, Platform, Writer);
    Release(Source);
    return Done;
}

} // namespace

KELVO_API kelvo_bool32 KelvoRecompressFile(char const *SourceFileName,
                                           char const *DestinationFileName,
                                           kelvo_int32 CompressorMappingCount,
                                           kelvo_int32 const *CompressorMapping) {
    KELVO_TIMED_BLOCK("RecompressFile");
    KELVO_CHECK_NOT_NULL(SourceFileName, RecompressionOrigin, 0);
    KELVO_CHECK_NOT_NULL(DestinationFileName, RecompressionOrigin, 0);
    if (!MappingIsKnown(CompressorMappingCount, CompressorMapping)) {
        return 0;
    }
    kelvo_file_reader *Reader = KelvoOpenFileReader(SourceFileName);
    if (!Reader) {
        Log(KelvoErrorLogMessage, RecompressionOrigin, "%s(%d): Unable to open %s for reading",
            KELVO_HERE, SourceFileName);
        return 0;
    }
    kelvo::file_replacement Output;
    bool Written = SourceIsSound(Reader, SourceFileName) &&
                   kelvo::BeginReplacement(DestinationFileName, Output);
    bool Begun = Written;
    Written = Written && Recompress(Reader, SourceFileName, CompressorMappingCount,
                                    CompressorMapping, Output.Writer);
    // Closed first: the output may be the input, and some systems keep an
    // open file from being replaced.
    KelvoCloseFileReader(Reader);
    if (Written) {
        return kelvo::CommitReplacement(Output, DestinationFileName);
    }
    if (Begun) {
        kelvo::AbandonReplacement(Output);
    }
    return 0;
}

// ---- reader to writer -------------------------------------------------------------

namespace {

bool MagicValuesMatch(kelvo_file_magic_value const &A, kelvo_file_magic_value const &B) {
    bool Equal = true, Reversed = true;
    for (kelvo_int32 Word = 0; Word < 4; ++Word) {
        Equal = Equal && A.MagicValue[Word] == B.MagicValue[Word];
        Reversed = Reversed && A.MagicValue[Word] == __builtin_bswap32(B.MagicValue[Word]);
    }
    return Equal || Reversed;
}

} // namespace

KELVO_API kelvo_bool32 KelvoPlatformConvertReaderToWriter(
    kelvo_file_reader *SourceReader, kelvo_file_writer *DestWriter,
    kelvo_file_magic_value const *DestMagicValue, kelvo_bool32 /*ExcludeTypeTree*/) {
    KELVO_TIMED_BLOCK("PlatformConvertReaderToWriter");
    KELVO_CHECK_NOT_NULL(SourceReader, ConversionOrigin, 0);
    KELVO_CHECK_NOT_NULL(DestWriter, ConversionOrigin, 0);
    KELVO_CHECK_NOT_NULL(DestMagicValue, ConversionOrigin, 0);
    stored_file Source = {};
    Source.File = KelvoReadPartialFileFromReader(SourceReader);
    if (!Source.File) {
        Log(KelvoErrorLogMessage, ConversionOrigin,
            "%s(%d): PlatformConvertReaderToWriter: ReadPartialFileFromReader failed", KELVO_HERE);
        return 0;
    }
    if (MagicValuesMatch(*Source.File->SourceMagicValue, *DestMagicValue)) {
        Log(KelvoWarningLogMessage, ConversionOrigin,
            "%s(%d): PlatformConvertReaderToWriter called when Source and Dest Magic values match.",
            KELVO_HERE);
    }
    kelvo::platform From, Target;
    if (!kelvo::IdentifyMagicValue(*Source.File->SourceMagicValue, From.PointerSizeInBits,
                                   From.IsLittleEndian, false) ||
        !kelvo::IdentifyMagicValue(*DestMagicValue, Target.PointerSizeInBits, Target.IsLittleEndian,
                                   false)) {
        Log(KelvoErrorLogMessage, ConversionOrigin,
            "%s(%d): PlatformConvertReaderToWriter: failed to obtain good platform information",
            KELVO_HERE);
        Release(Source);
        return 0;
    }
    bool Written = kelvo::ReadSectionsForConversion(SourceReader, Source.File, Source.Arrays, false) &&
                   kelvo::ConvertFileToPlatform(Source.File, Target, Source.Arrays) &&
                   StoreSections(Source) && WriteStoredFile(Source, Target, DestWriter);
    Release(Source);
    return Written;
}
