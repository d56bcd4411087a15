// The file builder: sections of three region streams (in temporary files or
// memory) that chunks are appended to, with pointer and marshalling fix-ups
// kept as lists of locations; the end calls lay out and write the .kv2 file
// or its raw image. Also the compressor stage and whole-file recompression.
//
// Locations are checked when they are marked and again against the final
// stream sizes before anything is written through them, so a bad location
// fails the end call instead of writing outside a stream.
#include "file/kelvo_file_builder.h"

#include "kelvo2/kelvo2_compression.h"
#include "foundation/kelvo_counters.h"
#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "file/kelvo_file_operations.h"
#include "file/kelvo_file_writer.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

using kelvo::Log;

namespace {

constexpr kelvo_int32 StreamCount = 3;
constexpr kelvo_int32 PathSize = 512;
constexpr kelvo_int32 CopyBufferSize = 65536;
constexpr kelvo_int32 ConversionGranularity = 65536;
constexpr kelvo_int32 CompressedGranularity = 8192;
constexpr kelvo_int32 ConvertedGranularity = 65536;
// Pointer fields in sections are this build's pointers.
constexpr kelvo_int32 PointerWordSize = (kelvo_int32)sizeof(void *);
constexpr kelvo_int64 Int32Max = 0x7fffffff;

struct marshalling_record {
    kelvo_int32 Count;
    kelvo_file_location Type;
    kelvo_file_location Object;
    marshalling_record *Next;
};

} // namespace

struct kelvo_file_fixup {
    kelvo_file_location From;
    kelvo_file_location To;
    kelvo_file_fixup *Next;
};

namespace {

struct builder_section {
    kelvo_section_header Header;
    kelvo_int64 StreamSize[StreamCount];
    kelvo_file_writer *Streams[StreamCount];
    kelvo_uint8 *StreamBuffers[StreamCount]; // in-memory builders, once closed
    kelvo_uint8 *CompressedData;
    kelvo_file_fixup *FirstFixup;
    kelvo_file_fixup *LastFixup;
    marshalling_record *FirstMarshalling;
    marshalling_record *LastMarshalling;
    kelvo_int64 RawStart[StreamCount];
};

} // namespace

struct kelvo_file_builder {
    kelvo_file_magic_value TargetMagicValue;
    kelvo_stack_allocator Fixups;
    kelvo_stack_allocator Marshallings;
    kelvo_uint32 TypeTag;
    kelvo_uint32 ExtraTags[4];
    char TemporaryDirectory[PathSize];
    char TemporaryFilePrefix[PathSize];
    bool InTemporaryFiles;
    kelvo_file_location RootTypeLocation;
    kelvo_file_location RootObjectLocation;
    kelvo_int32 SectionCount;
    builder_section *Sections;
    bool OK;
    kelvo_file_fixup Dummy; // handed out for refused marks; nothing reads it
    // Chunks laid out for the target already (recompression copies a file's
    // sections as they are): written as they stand, labelled with the target
    // magic value, header and fix-ups in its byte order. Otherwise chunks are
    // this build's records, converted at the end for another platform.
    bool ChunksInTargetLayout;
    bool TargetIsByteReversed;
    kelvo_int32 PointerFieldSize; // bytes cleared at a pointer fix-up's field
};

struct kelvo_file_compressor {
    kelvo_compression_type Type;
    kelvo_file_writer *Writer;
    kelvo_bool32 WritingForEndianSwap;
    kelvo_fenwa1_compressor *Fenwa1;
    kelvo_int64 PassedThrough;
    bool Failed;
};

namespace {

void TemporaryFileName(kelvo_file_builder const &Builder, kelvo_int32 Section, kelvo_int32 Stream,
                       char (&Name)[PathSize]) {
    kelvo::Format(PathSize, Name, "%s/%s_%d_%d.utf", Builder.TemporaryDirectory,
                  Builder.TemporaryFilePrefix, Section, Stream);
}

bool SectionInRange(kelvo_file_builder const &Builder, kelvo_uint32 Section, char const *Format) {
    if (Section >= (kelvo_uint32)Builder.SectionCount) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, Format, KELVO_HERE,
            (kelvo_int32)Section, Builder.SectionCount);
        return false;
    }
    return true;
}

bool StreamInRange(kelvo_uint32 Stream, char const *Format) {
    if (Stream >= (kelvo_uint32)StreamCount) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, Format, KELVO_HERE,
            (kelvo_int32)Stream, StreamCount);
        return false;
    }
    return true;
}

kelvo_file_builder *AllocateBuilder(kelvo_int32 SectionCount, kelvo_uint32 FileTypeTag,
                                    kelvo_file_magic_value const *PlatformMagicValue) {
    KELVO_CHECK_NOT_NULL(PlatformMagicValue, KelvoFileWritingLogMessage, nullptr);
    KELVO_CHECK(SectionCount >= 0, KelvoFileWritingLogMessage, nullptr);
    // A magic value no reader would recognise makes a file nobody can load.
    if (!KelvoGetMagicValueProperties(PlatformMagicValue, nullptr, nullptr)) {
        return nullptr;
    }
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo_file_builder *Builder;
    builder_section *Sections;
    kelvo::AggrAllocPtr(Aggr, &Builder, sizeof(kelvo_file_builder));
    kelvo::AggrAllocArrayPtr(Aggr, SectionCount, &Sections);
    if (!kelvo::EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    kelvo::SetUInt8((kelvo_int32)sizeof(*Builder), 0, Builder);
    kelvo::SetUInt8(SectionCount * (kelvo_int32)sizeof(*Sections), 0, Sections);
    Builder->Sections = Sections;
    Builder->SectionCount = SectionCount;
    KelvoStackInitialize(&Builder->Fixups, sizeof(kelvo_file_fixup), 256);
    KelvoStackInitialize(&Builder->Marshallings, sizeof(marshalling_record), 256);
    Builder->TypeTag = FileTypeTag;
    Builder->TargetMagicValue = *PlatformMagicValue;
    Builder->PointerFieldSize = PointerWordSize;
    for (kelvo_int32 Index = 0; Index < SectionCount; ++Index) {
        Sections[Index].Header.InternalAlignment = 4;
    }
    return Builder;
}

// Closes whatever writers are still open and frees every buffer, fix-up and
// temporary file, then the builder.
void FreeBuilder(kelvo_file_builder *Builder) {
    for (kelvo_int32 Index = 0; Index < Builder->SectionCount; ++Index) {
        builder_section &Section = Builder->Sections[Index];
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            KelvoDeleteFileWriter(Section.Streams[Stream]);
            Section.Streams[Stream] = nullptr;
            KelvoFreeMemoryWriterBuffer(Section.StreamBuffers[Stream]);
            Section.StreamBuffers[Stream] = nullptr;
            if (Builder->InTemporaryFiles) {
                char Name[PathSize];
                TemporaryFileName(*Builder, Index, Stream, Name);
                kelvo::DeleteFile(Name);
            }
        }
        KelvoFreeMemoryWriterBuffer(Section.CompressedData);
        Section.CompressedData = nullptr;
    }
    KelvoStackCleanUp(&Builder->Fixups);
    KelvoStackCleanUp(&Builder->Marshallings);
    KELVO_DEALLOCATE(Builder);
}

bool WriteZeros(kelvo_file_writer *Writer, kelvo_int64 Count) {
    static kelvo_uint8 const Zeros[64] = {};
    while (Count > 0) {
        kelvo_int32 Piece =
            Count > (kelvo_int64)sizeof(Zeros) ? (kelvo_int32)sizeof(Zeros) : (kelvo_int32)Count;
        if (!KelvoWrite(Writer, Piece, Zeros)) {
            return false;
        }
        Count -= Piece;
    }
    return true;
}

// Closing fixes the regions of each section; memory streams hand over their
// buffers. False when a section grew beyond what a file can describe.
bool CloseStreams(kelvo_file_builder &Builder) {
    bool Closed = true;
    for (kelvo_int32 Index = 0; Index < Builder.SectionCount; ++Index) {
        builder_section &Section = Builder.Sections[Index];
        kelvo_int64 Total = Section.StreamSize[0] + Section.StreamSize[1] + Section.StreamSize[2];
        if (Total > Int32Max) {
            Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                "%s(%d): ExpandedDataSize %I64d is out of range for an int32 SectionSize",
                KELVO_HERE, Total);
            Closed = false;
        }
        Section.Header.First16Bit = (kelvo_uint32)Section.StreamSize[0];
        Section.Header.First8Bit = (kelvo_uint32)(Section.StreamSize[0] + Section.StreamSize[1]);
        Section.Header.ExpandedDataSize = (kelvo_uint32)Total;
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            kelvo_file_writer *Writer = Section.Streams[Stream];
            if (!Builder.InTemporaryFiles && Writer) {
                kelvo_int32 Size = 0;
                KelvoStealMemoryWriterBuffer(Writer, &Section.StreamBuffers[Stream], &Size);
            }
            KelvoDeleteFileWriter(Writer);
            Section.Streams[Stream] = nullptr;
        }
    }
    return Closed;
}

// Every pointer field must lie whole inside its stream before the end call
// writes through it.
bool CheckFixupFields(kelvo_file_builder const &Builder) {
    for (kelvo_int32 Index = 0; Index < Builder.SectionCount; ++Index) {
        builder_section const &Section = Builder.Sections[Index];
        for (kelvo_file_fixup const *Fixup = Section.FirstFixup; Fixup; Fixup = Fixup->Next) {
            kelvo_int64 Size = Section.StreamSize[Fixup->From.BufferIndex];
            if ((kelvo_int64)Fixup->From.Offset + Builder.PointerFieldSize > Size) {
                Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                    "%s(%d): Fixup field at %u of stream %d of section %d lies outside its %I64d "
                    "bytes",
                    KELVO_HERE, Fixup->From.Offset, (kelvo_int32)Fixup->From.BufferIndex, Index,
                    Size);
                return false;
            }
        }
    }
    return true;
}

// Pointer fields hold this process's addresses until now; files store zero.
bool ClearPointerFields(kelvo_file_builder &Builder) {
    static kelvo_uint8 const Zeros[8] = {};
    for (kelvo_int32 Index = 0; Index < Builder.SectionCount; ++Index) {
        builder_section &Section = Builder.Sections[Index];
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            kelvo_file_writer *Writer = nullptr;
            for (kelvo_file_fixup *Fixup = Section.FirstFixup; Fixup; Fixup = Fixup->Next) {
                if (Fixup->From.BufferIndex != (kelvo_uint32)Stream) {
                    continue;
                }
                if (!Builder.InTemporaryFiles) {
                    kelvo::Copy(Builder.PointerFieldSize, Zeros,
                                Section.StreamBuffers[Stream] + Fixup->From.Offset);
                    continue;
                }
                if (!Writer) {
                    char Name[PathSize];
                    TemporaryFileName(Builder, Index, Stream, Name);
                    Writer = KelvoCreatePlatformFileWriter(KELVO_HERE, Name, 0);
                    if (!Writer) {
                        return false;
                    }
                }
                if (KelvoSeekWriterFromStart(Writer, (kelvo_int32)Fixup->From.Offset) !=
                        (kelvo_int32)Fixup->From.Offset ||
                    !KelvoWrite(Writer, Builder.PointerFieldSize, Zeros)) {
                    KelvoDeleteFileWriter(Writer);
                    return false;
                }
            }
            KelvoDeleteFileWriter(Writer);
        }
    }
    return true;
}

// A reader over one closed stream; null (reported) when it cannot be made.
kelvo_file_reader *OpenStream(kelvo_file_builder const &Builder, kelvo_int32 Index,
                              kelvo_int32 Stream) {
    kelvo_file_reader *Reader;
    if (Builder.InTemporaryFiles) {
        char Name[PathSize];
        TemporaryFileName(Builder, Index, Stream, Name);
        Reader = KelvoCreatePlatformFileReader(KELVO_HERE, Name);
    } else {
        builder_section const &Section = Builder.Sections[Index];
        Reader = KelvoCreateMemoryFileReader(KELVO_HERE, 0, (kelvo_int32)Section.StreamSize[Stream],
                                             Section.StreamBuffers[Stream]);
    }
    if (!Reader) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): Unable to allocate a reader",
            KELVO_HERE);
    }
    return Reader;
}

bool CompressSection(kelvo_file_builder &Builder, kelvo_int32 Index, void *CopyBuffer) {
    builder_section &Section = Builder.Sections[Index];
    if (Section.Header.ExpandedDataSize == 0) {
        Section.Header.DataSize = 0;
        return true;
    }
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(KELVO_HERE, CompressedGranularity);
    if (!Output) {
        return false;
    }
    kelvo_file_compressor *Compressor =
        KelvoBeginFileCompression((kelvo_int32)Section.Header.ExpandedDataSize, StreamCount,
                                  (kelvo_compression_type)Section.Header.Format,
                                  Builder.TargetIsByteReversed, Output);
    bool Compressed = Compressor != nullptr;
    for (kelvo_int32 Stream = 0; Compressed && Stream < StreamCount; ++Stream) {
        kelvo_file_reader *Reader = OpenStream(Builder, Index, Stream);
        Compressed = Reader && KelvoCompressContentsOfReader(
                                   Compressor, (kelvo_int32)Section.StreamSize[Stream], Reader,
                                   CopyBufferSize, CopyBuffer);
        KelvoCloseFileReader(Reader);
    }
    kelvo_int32 Size = 0;
    if (Compressor && !KelvoEndFileCompression(Compressor, &Size)) {
        Compressed = false;
    }
    if (Compressed) {
        kelvo_int32 BufferSize = 0;
        if (!KelvoStealMemoryWriterBuffer(Output, &Section.CompressedData, &BufferSize)) {
            Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                "%s(%d): Failed to steal memorywriter buffer", KELVO_HERE);
            Compressed = false;
        }
        Section.Header.DataSize = (kelvo_uint32)Size;
    }
    KelvoDeleteFileWriter(Output);
    return Compressed;
}

kelvo_uint32 SectionOffset(kelvo_file_builder const &Builder, kelvo_file_location const &Location) {
    builder_section const &Section = Builder.Sections[Location.SectionIndex];
    kelvo_uint32 Offset = Location.Offset;
    for (kelvo_uint32 Stream = 0; Stream < Location.BufferIndex; ++Stream) {
        Offset += (kelvo_uint32)Section.StreamSize[Stream];
    }
    return Offset;
}

kelvo_file_reference Reference(kelvo_file_builder const &Builder,
                               kelvo_file_location const &Location) {
    kelvo_file_reference Result = {Location.SectionIndex, 0};
    if (Location.SectionIndex < (kelvo_uint32)Builder.SectionCount) {
        Result.Offset = SectionOffset(Builder, Location);
    }
    return Result;
}

kelvo_int64 RoundUp4(kelvo_int64 Value) {
    return (Value + 3) & ~(kelvo_int64)3;
}

// Writes in sequence while every earlier write succeeded, with gaps up to
// offsets measured from the file's start.
struct file_output {
    kelvo_file_writer *Writer;
    kelvo_int32 Start;
    kelvo_int64 Written; // bytes from Start
    bool OK;

    void Write(kelvo_int64 Count, void const *Data) {
        if (OK && Count > 0) {
            OK = KelvoWrite(Writer, (kelvo_int32)Count, Data) != 0;
        }
        Written += Count;
    }
    void PadTo(kelvo_int64 Offset) {
        if (OK && Offset > Written) {
            OK = WriteZeros(Writer, Offset - Written);
        }
        Written = Offset;
    }
    // A record of 32-bit words, in the other byte order when Reversed.
    template <typename record> void WriteWords(record Record, bool Reversed) {
        if (Reversed) {
            kelvo::Reverse32(sizeof(Record), &Record);
        }
        Write(sizeof(Record), &Record);
    }
};

bool WriteFile(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    kelvo_int32 Count = Builder.SectionCount;
    kelvo_int64 HeaderSize = kelvo::HeaderSizeForSections(Count);
    kelvo_int64 Offset = RoundUp4(HeaderSize);
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Builder.Sections[Index].Header.DataOffset = (kelvo_uint32)Offset;
        Offset = RoundUp4(Offset + Builder.Sections[Index].Header.DataSize);
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_section_header &Header = Builder.Sections[Index].Header;
        Header.PointerFixupArrayOffset = (kelvo_uint32)Offset;
        Offset = RoundUp4(Offset +
                          (kelvo_int64)sizeof(kelvo_pointer_fixup) * Header.PointerFixupArrayCount);
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        kelvo_section_header &Header = Builder.Sections[Index].Header;
        Header.MixedMarshallingFixupArrayOffset = (kelvo_uint32)Offset;
        Offset = RoundUp4(Offset + (kelvo_int64)sizeof(kelvo_marshalling_fixup) *
                                       Header.MixedMarshallingFixupArrayCount);
    }
    if (Offset > Int32Max) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): TotalSize %I64d is out of range for an int32 FileSize", KELVO_HERE, Offset);
        return false;
    }

    file_output Out = {Writer, KelvoSeekWriterFromCurrentPosition(Writer, 0), 0, true};
    // A writer that cannot grow stays where it was: the sections would land
    // over the header.
    if (KelvoSeekWriterFromCurrentPosition(Writer, kelvo::FileHeaderOffset +
                                                       kelvo::FileHeaderSize) !=
        Out.Start + kelvo::FileHeaderOffset + kelvo::FileHeaderSize) {
        return false;
    }
    Out.Written = kelvo::FileHeaderOffset + kelvo::FileHeaderSize;
    KelvoBeginWriterCRC(Writer);
    bool Reversed = Builder.TargetIsByteReversed;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Out.WriteWords(Builder.Sections[Index].Header, Reversed);
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        builder_section const &Section = Builder.Sections[Index];
        Out.PadTo(Section.Header.DataOffset);
        Out.Write(Section.Header.DataSize, Section.CompressedData);
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        builder_section const &Section = Builder.Sections[Index];
        Out.PadTo(Section.Header.PointerFixupArrayOffset);
        for (kelvo_file_fixup const *Fixup = Section.FirstFixup; Fixup; Fixup = Fixup->Next) {
            kelvo_pointer_fixup Record = {SectionOffset(Builder, Fixup->From),
                                          Reference(Builder, Fixup->To)};
            Out.WriteWords(Record, Reversed);
        }
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        builder_section const &Section = Builder.Sections[Index];
        Out.PadTo(Section.Header.MixedMarshallingFixupArrayOffset);
        for (marshalling_record const *Fixup = Section.FirstMarshalling; Fixup;
             Fixup = Fixup->Next) {
            kelvo_marshalling_fixup Record = {(kelvo_uint32)Fixup->Count,
                                              SectionOffset(Builder, Fixup->Object),
                                              Reference(Builder, Fixup->Type)};
            Out.WriteWords(Record, Reversed);
        }
    }
    Out.PadTo(Offset);
    kelvo_uint32 CRC = KelvoEndWriterCRC(Writer);
    if (!Out.OK) {
        return false;
    }

    kelvo_file_magic_value Magic = *KelvoKVNFileMV_ThisPlatform;
    if (Builder.ChunksInTargetLayout) {
        kelvo_int32 PointerSize;
        bool IsLittleEndian;
        kelvo::IdentifyMagicValue(Builder.TargetMagicValue, PointerSize, IsLittleEndian, false);
        KelvoGetMagicValueForPlatform(PointerSize, IsLittleEndian, &Magic);
    }
    Magic.HeaderSize = (kelvo_uint32)HeaderSize;
    kelvo_file_header Header = {};
    Header.Version = kelvo::CurrentFileFormatRevision;
    Header.TotalSize = (kelvo_uint32)Offset;
    Header.CRC = CRC;
    Header.SectionArrayOffset = kelvo::FileHeaderSize;
    Header.SectionArrayCount = (kelvo_uint32)Count;
    Header.RootObjectTypeDefinition = Reference(Builder, Builder.RootTypeLocation);
    Header.RootObject = Reference(Builder, Builder.RootObjectLocation);
    Header.TypeTag = Builder.TypeTag;
    for (kelvo_int32 Tag = 0; Tag < 4; ++Tag) {
        Header.ExtraTags[Tag] = Builder.ExtraTags[Tag];
    }
    KelvoSeekWriterFromStart(Writer, Out.Start);
    if (Reversed) { // the magic words stay as they are
        kelvo::Reverse32(sizeof(Magic) - 16, &Magic.HeaderSize);
        kelvo::Reverse32(sizeof(Header), &Header);
    }
    bool Written =
        KelvoWrite(Writer, sizeof(Magic), &Magic) && KelvoWrite(Writer, sizeof(Header), &Header);
    KelvoSeekWriterFromStart(Writer, Out.Start + (kelvo_int32)Offset);
    return Written;
}

bool IsThisPlatform(kelvo_file_magic_value const &Magic) {
    kelvo_file_magic_value const &Native = *KelvoKVNFileMV_ThisPlatform;
    bool Equal = true;
    bool Reversed = true;
    for (kelvo_int32 Word = 0; Word < 4; ++Word) {
        kelvo_uint32 Value = Magic.MagicValue[Word];
        Equal = Equal && Value == Native.MagicValue[Word];
        kelvo::Reverse32(4, &Value);
        Reversed = Reversed && Value == Native.MagicValue[Word];
    }
    return Equal || Reversed;
}

bool EndNativeToWriter(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    void *CopyBuffer = KELVO_ALLOCATE_ALIGNED(4, CopyBufferSize);
    if (!CopyBuffer) {
        return false;
    }
    bool Written = ClearPointerFields(Builder);
    for (kelvo_int32 Index = 0; Written && Index < Builder.SectionCount; ++Index) {
        Written = CompressSection(Builder, Index, CopyBuffer);
    }
    KELVO_DEALLOCATE(CopyBuffer);
    return Written && WriteFile(Builder, Writer);
}

// Another platform's file is this build's file converted.
bool EndConvertedToWriter(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    kelvo_file_writer *Native = KelvoCreateMemoryFileWriter(KELVO_HERE, ConvertedGranularity);
    if (!Native) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): TargetWriter is not allowed to be 0", KELVO_HERE);
        return false;
    }
    kelvo_uint8 *Image = nullptr;
    kelvo_int32 Size = 0;
    bool Written =
        EndNativeToWriter(Builder, Native) && KelvoStealMemoryWriterBuffer(Native, &Image, &Size);
    KelvoDeleteFileWriter(Native);
    kelvo_file_reader *Reader =
        Written ? KelvoCreateMemoryFileReader(KELVO_HERE, 0, Size, Image) : nullptr;
    Written =
        Reader && KelvoPlatformConvertReaderToWriter(Reader, Writer, &Builder.TargetMagicValue, 0);
    KelvoCloseFileReader(Reader);
    KelvoFreeMemoryWriterBuffer(Image);
    return Written;
}

bool EndToWriter(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    bool Closed = CloseStreams(Builder);
    if (!Closed || !Builder.OK || !CheckFixupFields(Builder)) {
        return false;
    }
    return Builder.ChunksInTargetLayout || IsThisPlatform(Builder.TargetMagicValue)
               ? EndNativeToWriter(Builder, Writer)
               : EndConvertedToWriter(Builder, Writer);
}

bool EndRawToWriter(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    bool Closed = CloseStreams(Builder);
    if (!Closed || !Builder.OK || !CheckFixupFields(Builder)) {
        return false;
    }
    void *CopyBuffer = KELVO_ALLOCATE_ALIGNED(4, CopyBufferSize);
    if (!CopyBuffer) {
        return false;
    }
    kelvo_int32 Start = KelvoSeekWriterFromCurrentPosition(Writer, 0);
    file_output Out = {Writer, Start, 0, true};
    for (kelvo_int32 Index = 0; Out.OK && Index < Builder.SectionCount; ++Index) {
        builder_section &Section = Builder.Sections[Index];
        for (kelvo_int32 Stream = 0; Out.OK && Stream < StreamCount; ++Stream) {
            Section.RawStart[Stream] = Out.Written;
            kelvo_file_reader *Reader = OpenStream(Builder, Index, Stream);
            kelvo_int32 Copied = 0;
            Out.OK =
                Reader &&
                kelvo::CopyReaderToWriter(Writer, Reader, CopyBufferSize, CopyBuffer, &Copied) &&
                Copied == Section.StreamSize[Stream];
            KelvoCloseFileReader(Reader);
            Out.Written += Copied;
            Out.PadTo(RoundUp4(Out.Written));
        }
    }
    KELVO_DEALLOCATE(CopyBuffer);
    kelvo_int64 End = Out.Written;
    for (kelvo_int32 Index = 0; Out.OK && Index < Builder.SectionCount; ++Index) {
        builder_section const &Section = Builder.Sections[Index];
        for (kelvo_file_fixup const *Fixup = Section.FirstFixup; Out.OK && Fixup;
             Fixup = Fixup->Next) {
            kelvo_int64 Field = Section.RawStart[Fixup->From.BufferIndex] + Fixup->From.Offset;
            builder_section const &Target = Builder.Sections[Fixup->To.SectionIndex];
            kelvo_uintaddrx Value =
                (kelvo_uintaddrx)(Target.RawStart[Fixup->To.BufferIndex] + Fixup->To.Offset);
            if (Start + Field > Int32Max) {
                Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                    "%s(%d): TopOfFile + FromOffset %I64d is out of range for an int32 FileOffset",
                    KELVO_HERE, Start + Field);
                Out.OK = false;
                break;
            }
            Out.OK = KelvoSeekWriterFromStart(Writer, Start + (kelvo_int32)Field) ==
                         Start + (kelvo_int32)Field &&
                     KelvoWrite(Writer, PointerWordSize, &Value);
        }
    }
    if (Out.OK && Start + End <= Int32Max) {
        KelvoSeekWriterFromStart(Writer, Start + (kelvo_int32)End);
    }
    return Out.OK;
}

// Reads exactly Count bytes from position 0; false on a short read.
bool ReadWhole(kelvo_file_reader *Reader, kelvo_int32 Count, kelvo_uint8 *Buffer) {
    kelvo_int32 Position = 0;
    while (Position < Count) {
        kelvo_int32 Read = KelvoReadAtMost(Reader, Position, Count - Position, Buffer + Position);
        if (Read <= 0 || Read > Count - Position) {
            return false;
        }
        Position += Read;
    }
    return true;
}

} // namespace

namespace kelvo {

kelvo_int32 GetBuilderSectionCount(kelvo_file_builder const *Builder) {
    return Builder ? Builder->SectionCount : 0;
}

kelvo_file_magic_value const *GetBuilderTargetMagicValue(kelvo_file_builder const *Builder) {
    return Builder ? &Builder->TargetMagicValue : nullptr;
}

} // namespace kelvo

KELVO_API kelvo_file_builder *KelvoBeginFile(kelvo_int32 SectionCount, kelvo_uint32 FileTypeTag,
                                             kelvo_file_magic_value const *PlatformMagicValue,
                                             char const *TemporaryDirectory,
                                             char const *TemporaryFileNamePrefix) {
    KELVO_CHECK_NOT_NULL(TemporaryDirectory, KelvoFileWritingLogMessage, nullptr);
    KELVO_CHECK_NOT_NULL(TemporaryFileNamePrefix, KelvoFileWritingLogMessage, nullptr);
    kelvo_file_builder *Builder = AllocateBuilder(SectionCount, FileTypeTag, PlatformMagicValue);
    if (!Builder) {
        return nullptr;
    }
    kelvo::CopyString(Builder->TemporaryDirectory, PathSize, TemporaryDirectory);
    kelvo::CopyString(Builder->TemporaryFilePrefix, PathSize, TemporaryFileNamePrefix);
    Builder->InTemporaryFiles = true;
    for (kelvo_int32 Index = 0; Index < SectionCount; ++Index) {
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            char Name[PathSize];
            TemporaryFileName(*Builder, Index, Stream, Name);
            Builder->Sections[Index].Streams[Stream] =
                KelvoCreatePlatformFileWriter(KELVO_HERE, Name, 1);
            if (!Builder->Sections[Index].Streams[Stream]) {
                FreeBuilder(Builder);
                return nullptr;
            }
        }
    }
    Builder->OK = true;
    return Builder;
}

KELVO_API kelvo_file_builder *
KelvoBeginFileInMemory(kelvo_int32 SectionCount, kelvo_uint32 FileTypeTag,
                       kelvo_file_magic_value const *PlatformMagicValue,
                       kelvo_int32 MemoryGranularity) {
    kelvo_file_builder *Builder = AllocateBuilder(SectionCount, FileTypeTag, PlatformMagicValue);
    if (!Builder) {
        return nullptr;
    }
    kelvo::CopyString(Builder->TemporaryDirectory, PathSize, "invalid");
    kelvo::CopyString(Builder->TemporaryFilePrefix, PathSize, "invalid");
    for (kelvo_int32 Index = 0; Index < SectionCount; ++Index) {
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            Builder->Sections[Index].Streams[Stream] =
                KelvoCreateMemoryFileWriter(KELVO_HERE, MemoryGranularity);
            if (!Builder->Sections[Index].Streams[Stream]) {
                FreeBuilder(Builder);
                return nullptr;
            }
        }
    }
    Builder->OK = true;
    return Builder;
}

KELVO_API void KelvoSetFileSectionFormat(kelvo_file_builder *Builder, kelvo_int32 SectionIndex,
                                         kelvo_compression_type Format,
                                         kelvo_int32 InternalAlignment) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (!SectionInRange(*Builder, (kelvo_uint32)SectionIndex,
                        "%s(%d): SectionIndex %d is out of range [0, %d)")) {
        return;
    }
    // Fenwa0 is never written; padding needs a positive power of two.
    KELVO_CHECK(Format == KelvoNoCompression || Format == KelvoFenwa1Compression,
                KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK(InternalAlignment > 0 && (InternalAlignment & (InternalAlignment - 1)) == 0,
                KelvoFileWritingLogMessage, KELVO_NOTHING);
    Builder->Sections[SectionIndex].Header.Format = (kelvo_uint32)Format;
    Builder->Sections[SectionIndex].Header.InternalAlignment = (kelvo_uint32)InternalAlignment;
}

KELVO_API void KelvoWriteFileChunk(kelvo_file_builder *Builder, kelvo_int32 InSectionIndex,
                                   kelvo_uint32 Marshalling, kelvo_int32 Size, void const *Data,
                                   kelvo_file_location *Location) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (!SectionInRange(*Builder, (kelvo_uint32)InSectionIndex,
                        "%s(%d): InSectionIndex %d is out of range [0, %d)")) {
        return;
    }
    KELVO_CHECK(Size >= 0, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK(Data || Size == 0, KelvoFileWritingLogMessage, KELVO_NOTHING);
    builder_section &Section = Builder->Sections[InSectionIndex];
    kelvo_int32 Stream = 2;
    if (Marshalling == 0 || Marshalling == KelvoInt32Marshalling) {
        Stream = 0;
    } else if (Marshalling == KelvoInt16Marshalling) {
        Stream = 1;
    }
    kelvo_int64 Before = Section.StreamSize[Stream];
    kelvo_int64 Alignment = Section.Header.InternalAlignment;
    kelvo_int64 After = (Before + Size + Alignment - 1) / Alignment * Alignment;
    // Locations are 32-bit and the section's regions must fit an int32 total.
    if (After > Int32Max) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): StreamSize + Size %I64d is out of range for an int32 StreamSize", KELVO_HERE,
            After);
        Builder->OK = false;
        return;
    }
    if (Location) {
        Location->SectionIndex = (kelvo_uint32)InSectionIndex;
        Location->BufferIndex = (kelvo_uint32)Stream;
        Location->Offset = (kelvo_uint32)Before;
    }
    kelvo_file_writer *Writer = Section.Streams[Stream];
    if (Builder->OK && Writer) {
        Builder->OK = KelvoWrite(Writer, Size, Data) && WriteZeros(Writer, After - Before - Size);
    }
    Section.StreamSize[Stream] = After;
}

KELVO_API void KelvoOffsetFileLocation(kelvo_file_builder *, kelvo_file_location const *Location,
                                       kelvo_uint32 AdditionalOffset, kelvo_file_location *Result) {
    KELVO_CHECK_NOT_NULL(Result, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Location, KelvoFileWritingLogMessage, KELVO_NOTHING);
    *Result = *Location;
    Result->Offset = Location->Offset + AdditionalOffset;
}

KELVO_API kelvo_file_fixup *KelvoMarkFileFixup(kelvo_file_builder *Builder,
                                               kelvo_file_location const *From,
                                               kelvo_int32 FromOffset,
                                               kelvo_file_location const *To) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, nullptr);
    KELVO_CHECK_NOT_NULL(From, KelvoFileWritingLogMessage, &Builder->Dummy);
    KELVO_CHECK_NOT_NULL(To, KelvoFileWritingLogMessage, &Builder->Dummy);
    if (!SectionInRange(*Builder, From->SectionIndex,
                        "%s(%d): From.SectionIndex %d is out of range [0, %d)") ||
        !SectionInRange(*Builder, To->SectionIndex,
                        "%s(%d): To.SectionIndex %d is out of range [0, %d)") ||
        !StreamInRange(From->BufferIndex, "%s(%d): From.BufferIndex %d is out of range [0, %d)") ||
        !StreamInRange(To->BufferIndex, "%s(%d): To.BufferIndex %d is out of range [0, %d)")) {
        return &Builder->Dummy;
    }
    kelvo_int64 Field = (kelvo_int64)From->Offset + FromOffset;
    if (Field < 0 || Field > Int32Max) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): From.Offset + FromOffset %I64d is out of range for an int32 Offset",
            KELVO_HERE, Field);
        return &Builder->Dummy;
    }
    kelvo_int32 Index;
    if (!KelvoNewStackUnit(&Builder->Fixups, &Index)) {
        Builder->OK = false;
        return &Builder->Dummy;
    }
    kelvo_file_fixup *Fixup =
        static_cast<kelvo_file_fixup *>(KelvoGetStackUnit(&Builder->Fixups, Index));
    Fixup->From = *From;
    Fixup->From.Offset = (kelvo_uint32)Field;
    Fixup->To = *To;
    Fixup->Next = nullptr;
    builder_section &Section = Builder->Sections[From->SectionIndex];
    if (Section.LastFixup) {
        Section.LastFixup->Next = Fixup;
    } else {
        Section.FirstFixup = Fixup;
    }
    Section.LastFixup = Fixup;
    ++Section.Header.PointerFixupArrayCount;
    return Fixup;
}

KELVO_API void KelvoAdjustFileFixup(kelvo_file_builder *Builder, kelvo_file_fixup *Fixup,
                                    kelvo_file_location const *NewTo) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Fixup, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(NewTo, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (Fixup == &Builder->Dummy ||
        !SectionInRange(*Builder, NewTo->SectionIndex,
                        "%s(%d): To.SectionIndex %d is out of range [0, %d)") ||
        !StreamInRange(NewTo->BufferIndex, "%s(%d): To.BufferIndex %d is out of range [0, %d)")) {
        return;
    }
    Fixup->To = *NewTo;
}

KELVO_API void KelvoMarkMarshallingFixup(kelvo_file_builder *Builder,
                                         kelvo_file_location const *Type,
                                         kelvo_file_location const *Object, kelvo_int32 Count) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Type, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Object, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK(Count >= 0, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (!SectionInRange(*Builder, Type->SectionIndex,
                        "%s(%d): Type.SectionIndex %d is out of range [0, %d)") ||
        !SectionInRange(*Builder, Object->SectionIndex,
                        "%s(%d): Object.SectionIndex %d is out of range [0, %d)") ||
        !StreamInRange(Type->BufferIndex, "%s(%d): Type.BufferIndex %d is out of range [0, %d)") ||
        !StreamInRange(Object->BufferIndex,
                       "%s(%d): Object.BufferIndex %d is out of range [0, %d)")) {
        return;
    }
    kelvo_int32 Index;
    if (!KelvoNewStackUnit(&Builder->Marshallings, &Index)) {
        Builder->OK = false;
        return;
    }
    marshalling_record *Record =
        static_cast<marshalling_record *>(KelvoGetStackUnit(&Builder->Marshallings, Index));
    Record->Count = Count;
    Record->Type = *Type;
    Record->Object = *Object;
    Record->Next = nullptr;
    builder_section &Section = Builder->Sections[Object->SectionIndex];
    if (Section.LastMarshalling) {
        Section.LastMarshalling->Next = Record;
    } else {
        Section.FirstMarshalling = Record;
    }
    Section.LastMarshalling = Record;
    ++Section.Header.MixedMarshallingFixupArrayCount;
}

KELVO_API void KelvoMarkFileRootObject(kelvo_file_builder *Builder,
                                       kelvo_file_location const *TypeLocation,
                                       kelvo_file_location const *ObjectLocation) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(TypeLocation, KelvoFileWritingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(ObjectLocation, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (!StreamInRange(TypeLocation->BufferIndex,
                       "%s(%d): TypeLocation.BufferIndex %d is out of range [0, %d)") ||
        !StreamInRange(ObjectLocation->BufferIndex,
                       "%s(%d): ObjectLocation.BufferIndex %d is out of range [0, %d)")) {
        return;
    }
    Builder->RootTypeLocation = *TypeLocation;
    Builder->RootObjectLocation = *ObjectLocation;
}

KELVO_API void KelvoSetFileExtraTag(kelvo_file_builder *Builder, kelvo_int32 Index,
                                    kelvo_uint32 Value) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, KELVO_NOTHING);
    if (Index < 0 || Index >= 4) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Index %d is out of range [0, %d)", KELVO_HERE, Index, 4);
        return;
    }
    Builder->ExtraTags[Index] = Value;
}

namespace {

// The two endings of a builder (whole file or raw image) share their argument
// checks and the builder's release.
kelvo_bool32 EndBuilderToWriter(kelvo_file_builder *Builder, kelvo_file_writer *Writer,
                                bool (*End)(kelvo_file_builder &, kelvo_file_writer *)) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, 0);
    bool Written = false;
    if (!Writer) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Writer is not allowed to be 0", KELVO_HERE);
    } else {
        Written = End(*Builder, Writer);
    }
    FreeBuilder(Builder);
    return Written;
}

kelvo_bool32 EndBuilderToFile(kelvo_file_builder *Builder, char const *FileName,
                              kelvo_bool32 (*EndToWriter)(kelvo_file_builder *,
                                                          kelvo_file_writer *)) {
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, 0);
    kelvo_file_writer *Writer =
        FileName ? KelvoCreatePlatformFileWriter(KELVO_HERE, FileName, 1) : nullptr;
    if (!Writer) {
        if (!FileName) {
            Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                "%s(%d): FileName is not allowed to be 0", KELVO_HERE);
        }
        KelvoAbortFile(Builder);
        return 0;
    }
    kelvo_bool32 Written = EndToWriter(Builder, Writer);
    KelvoDeleteFileWriter(Writer);
    if (!Written) {
        kelvo::DeleteFile(FileName); // no partial file stays behind
    }
    return Written;
}

} // namespace

KELVO_API kelvo_bool32 KelvoEndFileToWriter(kelvo_file_builder *Builder,
                                            kelvo_file_writer *Writer) {
    KELVO_TIMED_BLOCK("EndFileToWriter");
    return EndBuilderToWriter(Builder, Writer, &EndToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFile(kelvo_file_builder *Builder, char const *FileName) {
    return EndBuilderToFile(Builder, FileName, &KelvoEndFileToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFileRawToWriter(kelvo_file_builder *Builder,
                                               kelvo_file_writer *Writer) {
    KELVO_TIMED_BLOCK("EndFileRawToWriter");
    return EndBuilderToWriter(Builder, Writer, &EndRawToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFileRaw(kelvo_file_builder *Builder, char const *FileName) {
    return EndBuilderToFile(Builder, FileName, &KelvoEndFileRawToWriter);
}

KELVO_API void KelvoAbortFile(kelvo_file_builder *Builder) {
    if (Builder) {
        FreeBuilder(Builder);
    }
}

// ---- the compressor stage ----------------------------------------------------

KELVO_API kelvo_file_compressor *KelvoBeginFileCompression(kelvo_int32 ExpandedDataSize,
                                                           kelvo_int32 ContentsCount,
                                                           kelvo_compression_type Type,
                                                           kelvo_bool32 WritingForEndianSwap,
                                                           kelvo_file_writer *Writer) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoCompressorLogMessage, nullptr);
    if (Type == KelvoFenwa0Compression) {
        return nullptr; // read only
    }
    if (Type != KelvoNoCompression && Type != KelvoFenwa1Compression) {
        Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
            "%s(%d): Unrecognized compression type %d", KELVO_HERE, Type);
        return nullptr;
    }
    kelvo_file_compressor *Compressor = KELVO_ALLOCATE(kelvo_file_compressor);
    if (!Compressor) {
        return nullptr;
    }
    Compressor->Type = Type;
    Compressor->Writer = Writer;
    Compressor->WritingForEndianSwap = WritingForEndianSwap;
    Compressor->Fenwa1 = nullptr;
    Compressor->PassedThrough = 0;
    Compressor->Failed = false;
    if (Type == KelvoFenwa1Compression) {
        Compressor->Fenwa1 = KelvoFenwa1BeginSimple(ExpandedDataSize, ContentsCount);
        if (!Compressor->Fenwa1) {
            KELVO_DEALLOCATE(Compressor);
            return nullptr;
        }
    }
    return Compressor;
}

KELVO_API kelvo_bool32 KelvoCompressContentsOfMemory(kelvo_file_compressor *Compressor,
                                                     kelvo_int32 Size, void const *Data) {
    KELVO_CHECK_NOT_NULL(Compressor, KelvoCompressorLogMessage, 0);
    KELVO_CHECK(Size >= 0, KelvoCompressorLogMessage, 0);
    KELVO_CHECK(Data || Size == 0, KelvoCompressorLogMessage, 0);
    if (Compressor->Type == KelvoFenwa1Compression) {
        KelvoFenwa1Compress(Compressor->Fenwa1, Size, Data);
        return 1;
    }
    if (Size > 0 && !KelvoWrite(Compressor->Writer, Size, Data)) {
        Compressor->Failed = true;
        return 0;
    }
    Compressor->PassedThrough += Size;
    return 1;
}

KELVO_API kelvo_bool32 KelvoCompressContentsOfReader(kelvo_file_compressor *Compressor,
                                                     kelvo_int32 FileSize,
                                                     kelvo_file_reader *Reader,
                                                     kelvo_int32 CopyBufferSize, void *CopyBuffer) {
    KELVO_TIMED_BLOCK("CompressContents");
    KELVO_CHECK_NOT_NULL(Compressor, KelvoCompressorLogMessage, 0);
    KELVO_CHECK_NOT_NULL(Reader, KelvoCompressorLogMessage, 0);
    KELVO_CHECK(FileSize >= 0, KelvoCompressorLogMessage, 0);
    if (Compressor->Type == KelvoFenwa1Compression) {
        kelvo_int64 Padded = (kelvo_int64)FileSize + KelvoGetFenwa1CompressBufferPaddingSize();
        if (Padded > Int32Max) {
            Log(KelvoErrorLogMessage, KelvoCompressorLogMessage,
                "%s(%d): FileSize + Padding %I64d is out of range for an int32 BufferSize",
                KELVO_HERE, Padded);
            return 0;
        }
        kelvo_uint8 *Buffer =
            static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)Padded));
        if (!Buffer) {
            return 0;
        }
        bool Read = ReadWhole(Reader, FileSize, Buffer);
        if (Read) {
            kelvo::SetUInt8((kelvo_int32)(Padded - FileSize), 0, Buffer + FileSize);
            KelvoFenwa1Compress(Compressor->Fenwa1, FileSize, Buffer);
        }
        KELVO_DEALLOCATE(Buffer);
        return Read;
    }
    KELVO_CHECK_NOT_NULL(CopyBuffer, KelvoCompressorLogMessage, 0);
    KELVO_CHECK(CopyBufferSize > 0, KelvoCompressorLogMessage, 0);
    kelvo_int32 Position = 0;
    while (Position < FileSize) {
        kelvo_int32 Request =
            FileSize - Position < CopyBufferSize ? FileSize - Position : CopyBufferSize;
        kelvo_int32 Read = KelvoReadAtMost(Reader, Position, Request, CopyBuffer);
        if (Read <= 0 || Read > Request || !KelvoWrite(Compressor->Writer, Read, CopyBuffer)) {
            Compressor->Failed = true;
            return 0;
        }
        Position += Read;
    }
    Compressor->PassedThrough += FileSize;
    return 1;
}

KELVO_API kelvo_bool32 KelvoCompressContentsOfFile(kelvo_file_compressor *Compressor,
                                                   kelvo_int32 FileSize, char const *FileName,
                                                   kelvo_int32 CopyBufferSize, void *CopyBuffer) {
    KELVO_CHECK_NOT_NULL(Compressor, KelvoCompressorLogMessage, 0);
    KELVO_CHECK_NOT_NULL(FileName, KelvoCompressorLogMessage, 0);
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        return 0;
    }
    kelvo_bool32 Result =
        KelvoCompressContentsOfReader(Compressor, FileSize, Reader, CopyBufferSize, CopyBuffer);
    KelvoCloseFileReader(Reader);
    return Result;
}

KELVO_API kelvo_bool32 KelvoEndFileCompression(kelvo_file_compressor *Compressor,
                                               kelvo_int32 *CompressedSize) {
    KELVO_CHECK_NOT_NULL(Compressor, KelvoCompressorLogMessage, 0);
    bool Ended = !Compressor->Failed;
    kelvo_int64 Size = Compressor->PassedThrough;
    if (Compressor->Type == KelvoFenwa1Compression) {
        void *Bytes = nullptr;
        Size = KelvoFenwa1End(Compressor->Fenwa1, &Bytes, Compressor->WritingForEndianSwap);
        Ended = Ended && Size > 0 && KelvoWrite(Compressor->Writer, (kelvo_int32)Size, Bytes);
        KelvoFenwa1FreeSimple(Compressor->Fenwa1);
    }
    if (Size > Int32Max) {
        Ended = false;
    }
    if (CompressedSize) {
        *CompressedSize = Ended ? (kelvo_int32)Size : 0;
    }
    KELVO_DEALLOCATE(Compressor);
    return Ended;
}

// ---- recompression -----------------------------------------------------------

namespace {

// A source file's header block, in native order, with its section array.
struct source_file {
    kelvo_file_reader *Reader;
    kelvo_file_magic_value Magic;
    bool IsByteReversed;
    kelvo_file_header *Header;
    kelvo_section_header *Sections;
};

bool ReadAt(kelvo_file_reader *Reader, kelvo_int32 Position, kelvo_int32 Count, void *Buffer) {
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(Buffer);
    kelvo_int32 Done = 0;
    while (Done < Count) {
        kelvo_int32 Read = KelvoReadAtMost(Reader, Position + Done, Count - Done, Bytes + Done);
        if (Read <= 0 || Read > Count - Done) {
            return false;
        }
        Done += Read;
    }
    return true;
}

bool ReadSourceHeader(source_file &Source) {
    if (!ReadAt(Source.Reader, 0, sizeof(Source.Magic), &Source.Magic)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): Unable to read magic value",
            KELVO_HERE);
        return false;
    }
    kelvo_uint32 HeaderSize = 0;
    kelvo_bool32 Reversed = 0;
    kelvo_bool32 PointerSizeDiffers = 0;
    if (!KelvoIsKelvoFile(&Source.Magic, &HeaderSize, &Reversed, &PointerSizeDiffers)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): File is not a Kelvo file",
            KELVO_HERE);
        return false;
    }
    Source.IsByteReversed = Reversed != 0;
    if (Source.Magic.HeaderFormat != 0) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): File has an unrecognized header format (%d)", KELVO_HERE,
            (kelvo_int32)Source.Magic.HeaderFormat);
        return false;
    }
    // The header and its section array: everything HeaderSize counts after
    // the magic value record.
    kelvo_int64 BlockSize = (kelvo_int64)HeaderSize - kelvo::FileHeaderOffset;
    if (BlockSize < kelvo::FileHeaderSize || BlockSize > Int32Max) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): Unable to read file header",
            KELVO_HERE);
        return false;
    }
    BlockSize &= ~(kelvo_int64)3;
    Source.Header =
        static_cast<kelvo_file_header *>(KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)BlockSize));
    if (!Source.Header) {
        return false;
    }
    if (!ReadAt(Source.Reader, kelvo::FileHeaderOffset, (kelvo_int32)BlockSize, Source.Header)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage, "%s(%d): Unable to read file header",
            KELVO_HERE);
        return false;
    }
    if (Source.IsByteReversed) {
        kelvo::Reverse32((kelvo_int32)BlockSize, Source.Header);
    }
    if (Source.Header->Version != kelvo::CurrentFileFormatRevision) {
        Log(KelvoWarningLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): File is file format revision %d (current version is %d)", KELVO_HERE,
            (kelvo_int32)Source.Header->Version, (kelvo_int32)kelvo::CurrentFileFormatRevision);
    }
    Source.Sections = kelvo::GetCheckedSectionArray(Source.Header, BlockSize);
    if (!Source.Sections) {
        return false;
    }
    for (kelvo_uint32 Index = 0; Index < Source.Header->SectionArrayCount; ++Index) {
        if (!kelvo::CheckSectionHeader(Source.Sections[Index], (kelvo_int32)Index,
                                       Source.Header->TotalSize)) {
            return false;
        }
    }
    return true;
}

// A section offset of the source turned back into a stream location.
bool SourceLocation(source_file const &Source, kelvo_file_reference const &Reference,
                    kelvo_file_location &Location) {
    if (Reference.SectionIndex >= Source.Header->SectionArrayCount) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): SectionIndex %d is out of range [0, %d)", KELVO_HERE,
            (kelvo_int32)Reference.SectionIndex, (kelvo_int32)Source.Header->SectionArrayCount);
        return false;
    }
    kelvo_section_header const &Section = Source.Sections[Reference.SectionIndex];
    Location.SectionIndex = Reference.SectionIndex;
    if (Reference.Offset < Section.First16Bit) {
        Location.BufferIndex = 0;
        Location.Offset = Reference.Offset;
    } else if (Reference.Offset < Section.First8Bit) {
        Location.BufferIndex = 1;
        Location.Offset = Reference.Offset - Section.First16Bit;
    } else {
        Location.BufferIndex = 2;
        Location.Offset = Reference.Offset - Section.First8Bit;
    }
    return true;
}

// Reads Count records of Size bytes at Offset as 32-bit words in native order.
void *ReadWordArray(source_file const &Source, kelvo_uint32 Offset, kelvo_uint32 Count,
                    kelvo_int32 Size) {
    kelvo_int32 Bytes = (kelvo_int32)(Count * (kelvo_uint32)Size); // bounded by the file's size
    void *Array = KELVO_ALLOCATE_ALIGNED(4, Bytes);
    if (!Array) {
        return nullptr;
    }
    if (!ReadAt(Source.Reader, (kelvo_int32)Offset, Bytes, Array)) {
        KELVO_DEALLOCATE(Array);
        return nullptr;
    }
    if (Source.IsByteReversed) {
        kelvo::Reverse32(Bytes, Array);
    }
    return Array;
}

bool CopySectionData(source_file const &Source, kelvo_int32 Index, kelvo_file_builder *Builder) {
    kelvo_section_header const &Section = Source.Sections[Index];
    if (Section.ExpandedDataSize == 0) {
        return true;
    }
    kelvo_int32 Padding =
        KelvoGetCompressedBytesPaddingSize((kelvo_compression_type)Section.Format);
    kelvo_uint8 *Stored = static_cast<kelvo_uint8 *>(
        KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)Section.DataSize + Padding));
    kelvo_uint8 *Expanded = static_cast<kelvo_uint8 *>(
        KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)RoundUp4(Section.ExpandedDataSize)));
    bool Copied =
        Stored && Expanded &&
        ReadAt(Source.Reader, (kelvo_int32)Section.DataOffset, (kelvo_int32)Section.DataSize,
               Stored) &&
        KelvoDecompressData((kelvo_compression_type)Section.Format, Source.IsByteReversed,
                            (kelvo_int32)Section.DataSize, Stored, (kelvo_int32)Section.First16Bit,
                            (kelvo_int32)Section.First8Bit, (kelvo_int32)Section.ExpandedDataSize,
                            Expanded);
    if (Copied) {
        KelvoWriteFileChunk(Builder, Index, KelvoInt32Marshalling, (kelvo_int32)Section.First16Bit,
                            Expanded, nullptr);
        KelvoWriteFileChunk(Builder, Index, KelvoInt16Marshalling,
                            (kelvo_int32)(Section.First8Bit - Section.First16Bit),
                            Expanded + Section.First16Bit, nullptr);
        KelvoWriteFileChunk(Builder, Index, KelvoInt8Marshalling,
                            (kelvo_int32)(Section.ExpandedDataSize - Section.First8Bit),
                            Expanded + Section.First8Bit, nullptr);
    }
    if (Stored) {
        KELVO_DEALLOCATE(Stored);
    }
    if (Expanded) {
        KELVO_DEALLOCATE(Expanded);
    }
    return Copied;
}

bool CopySectionFixups(source_file const &Source, kelvo_int32 Index, kelvo_file_builder *Builder) {
    kelvo_section_header const &Section = Source.Sections[Index];
    bool Copied = true;
    if (Section.PointerFixupArrayCount > 0) {
        kelvo_pointer_fixup *Fixups = static_cast<kelvo_pointer_fixup *>(
            ReadWordArray(Source, Section.PointerFixupArrayOffset, Section.PointerFixupArrayCount,
                          sizeof(kelvo_pointer_fixup)));
        Copied = Fixups != nullptr;
        for (kelvo_uint32 Fixup = 0; Copied && Fixup < Section.PointerFixupArrayCount; ++Fixup) {
            kelvo_file_reference From = {(kelvo_uint32)Index, Fixups[Fixup].FromOffset};
            kelvo_file_location FromLocation, ToLocation;
            Copied = SourceLocation(Source, From, FromLocation) &&
                     SourceLocation(Source, Fixups[Fixup].To, ToLocation);
            if (Copied) {
                KelvoMarkFileFixup(Builder, &FromLocation, 0, &ToLocation);
            }
        }
        if (Fixups) {
            KELVO_DEALLOCATE(Fixups);
        }
    }
    if (Copied && Section.MixedMarshallingFixupArrayCount > 0) {
        kelvo_marshalling_fixup *Fixups = static_cast<kelvo_marshalling_fixup *>(ReadWordArray(
            Source, Section.MixedMarshallingFixupArrayOffset,
            Section.MixedMarshallingFixupArrayCount, sizeof(kelvo_marshalling_fixup)));
        Copied = Fixups != nullptr;
        for (kelvo_uint32 Fixup = 0; Copied && Fixup < Section.MixedMarshallingFixupArrayCount;
             ++Fixup) {
            kelvo_file_reference Object = {(kelvo_uint32)Index, Fixups[Fixup].Offset};
            kelvo_file_location ObjectLocation, TypeLocation;
            Copied = Fixups[Fixup].Count <= Int32Max &&
                     SourceLocation(Source, Object, ObjectLocation) &&
                     SourceLocation(Source, Fixups[Fixup].Type, TypeLocation);
            if (Copied) {
                KelvoMarkMarshallingFixup(Builder, &TypeLocation, &ObjectLocation,
                                          (kelvo_int32)Fixups[Fixup].Count);
            }
        }
        if (Fixups) {
            KELVO_DEALLOCATE(Fixups);
        }
    }
    return Copied;
}

kelvo_bool32 Recompress(source_file &Source, char const *DestinationFileName,
                        kelvo_int32 MappingCount, kelvo_int32 const *Mapping) {
    if (!ReadSourceHeader(Source)) {
        return 0;
    }
    kelvo_file_header const &Header = *Source.Header;
    // In memory: fixed temporary names would collide between processes.
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory((kelvo_int32)Header.SectionArrayCount, Header.TypeTag, &Source.Magic,
                               ConversionGranularity);
    if (!Builder) {
        return 0;
    }
    // The sections are copied in the source's own layout and byte order.
    kelvo_int32 PointerSize;
    bool IsLittleEndian;
    kelvo::IdentifyMagicValue(Source.Magic, PointerSize, IsLittleEndian, false);
    Builder->ChunksInTargetLayout = true;
    Builder->TargetIsByteReversed = IsLittleEndian != kelvo::ThisPlatformIsLittleEndian;
    Builder->PointerFieldSize = PointerSize / 8;
    for (kelvo_int32 Tag = 0; Tag < 4; ++Tag) {
        KelvoSetFileExtraTag(Builder, Tag, Header.ExtraTags[Tag]);
    }
    bool Copied = true;
    for (kelvo_int32 Index = 0; Copied && Index < (kelvo_int32)Header.SectionArrayCount; ++Index) {
        kelvo_section_header const &Section = Source.Sections[Index];
        kelvo_int32 Format = (kelvo_int32)Section.Format;
        if (Mapping && Format >= 0 && Format < MappingCount) {
            Format = Mapping[Format];
        }
        KelvoSetFileSectionFormat(Builder, Index, Format, (kelvo_int32)Section.InternalAlignment);
        Copied =
            CopySectionData(Source, Index, Builder) && CopySectionFixups(Source, Index, Builder);
    }
    kelvo_file_location TypeLocation, ObjectLocation;
    if (!Copied || !SourceLocation(Source, Header.RootObjectTypeDefinition, TypeLocation) ||
        !SourceLocation(Source, Header.RootObject, ObjectLocation)) {
        KelvoAbortFile(Builder);
        return 0;
    }
    KelvoMarkFileRootObject(Builder, &TypeLocation, &ObjectLocation);
    return KelvoEndFile(Builder, DestinationFileName);
}

} // namespace

KELVO_API kelvo_bool32 KelvoRecompressFile(char const *SourceFileName,
                                           char const *DestinationFileName,
                                           kelvo_int32 CompressorMappingCount,
                                           kelvo_int32 const *CompressorMapping) {
    KELVO_TIMED_BLOCK("RecompressFile");
    KELVO_CHECK_NOT_NULL(SourceFileName, KelvoFileWritingLogMessage, 0);
    KELVO_CHECK_NOT_NULL(DestinationFileName, KelvoFileWritingLogMessage, 0);
    source_file Source = {};
    Source.Reader = KelvoOpenFileReader(SourceFileName);
    if (!Source.Reader) {
        return 0;
    }
    kelvo_bool32 Result =
        Recompress(Source, DestinationFileName, CompressorMappingCount, CompressorMapping);
    if (Source.Header) {
        KELVO_DEALLOCATE(Source.Header);
    }
    KelvoCloseFileReader(Source.Reader);
    return Result;
}
