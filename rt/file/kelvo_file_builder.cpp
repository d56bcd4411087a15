// The file builder: sections of three region streams (in temporary files or
// memory) that chunks are appended to, with pointer and marshalling fix-ups
// kept as lists of locations; the end calls lay out and write the .kv2 file
// or its raw image.
//
// Locations are checked when they are marked and again against the final
// stream sizes before anything is written through them, so a bad location
// fails the end call instead of writing outside a stream.
#include "file/kelvo_file_builder.h"

#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "file/kelvo_file_layout.h"
#include "file/kelvo_file_operations.h"
#include "file/kelvo_file_writer.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"
#include "kelvo2/kelvo2_compression.h"

using kelvo::Log;

namespace {

constexpr kelvo_int32 StreamCount = 3;
constexpr kelvo_int32 PathSize = 512;
constexpr kelvo_int32 CopyBufferSize = 65536;
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

// Appends Item (whose Next is null) to a singly linked list kept in order.
template <typename item> void AppendToList(item *&First, item *&Last, item *Item) {
    (Last ? Last->Next : First) = Item;
    Last = Item;
}

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
            if ((kelvo_int64)Fixup->From.Offset + PointerWordSize > Size) {
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
                    kelvo::Copy(PointerWordSize, Zeros,
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
                    !KelvoWrite(Writer, PointerWordSize, Zeros)) {
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
                                  (kelvo_compression_type)Section.Header.Format, 0, Output);
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

// Pads while every earlier write succeeded, up to offsets measured from the
// image's start.
struct file_output {
    kelvo_file_writer *Writer;
    kelvo_int32 Start;
    kelvo_int64 Written; // bytes from Start
    bool OK;

    void PadTo(kelvo_int64 Offset) {
        if (OK && Offset > Written) {
            OK = WriteZeros(Writer, Offset - Written);
        }
        Written = Offset;
    }
};

// The builder's parts for the file layout: stored sections, and fix-ups
// with their locations turned into section offsets.
bool WriteBuilderPart(void *Context, kelvo_int32 Index, kelvo::layout_part Part,
                      kelvo::layout_output &Out) {
    kelvo_file_builder const &Builder = *static_cast<kelvo_file_builder const *>(Context);
    builder_section const &Section = Builder.Sections[Index];
    if (Part == kelvo::layout_part::Data) {
        Out.Bytes(Section.Header.DataSize, Section.CompressedData);
    } else if (Part == kelvo::layout_part::PointerFixups) {
        for (kelvo_file_fixup const *Fixup = Section.FirstFixup; Fixup; Fixup = Fixup->Next) {
            kelvo_pointer_fixup Record = {SectionOffset(Builder, Fixup->From),
                                          Reference(Builder, Fixup->To)};
            Out.Words(sizeof(Record), &Record);
        }
    } else {
        for (marshalling_record const *Fixup = Section.FirstMarshalling; Fixup;
             Fixup = Fixup->Next) {
            kelvo_marshalling_fixup Record = {(kelvo_uint32)Fixup->Count,
                                              SectionOffset(Builder, Fixup->Object),
                                              Reference(Builder, Fixup->Type)};
            Out.Words(sizeof(Record), &Record);
        }
    }
    return true;
}

bool WriteFile(kelvo_file_builder &Builder, kelvo_file_writer *Writer) {
    kelvo_int32 Count = Builder.SectionCount;
    kelvo_section_header *Headers = nullptr;
    if (Count > 0) {
        Headers = static_cast<kelvo_section_header *>(
            KELVO_ALLOCATE_SIZE((kelvo_int32)((kelvo_int64)Count * sizeof(kelvo_section_header))));
        if (!Headers) {
            return false;
        }
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Headers[Index] = Builder.Sections[Index].Header;
    }
    kelvo::file_layout Layout = {};
    Layout.PointerSizeInBits = kelvo::ThisPlatformPointerSizeInBits;
    Layout.IsLittleEndian = kelvo::ThisPlatformIsLittleEndian;
    Layout.Header.RootObjectTypeDefinition = Reference(Builder, Builder.RootTypeLocation);
    Layout.Header.RootObject = Reference(Builder, Builder.RootObjectLocation);
    Layout.Header.TypeTag = Builder.TypeTag;
    for (kelvo_int32 Tag = 0; Tag < 4; ++Tag) {
        Layout.Header.ExtraTags[Tag] = Builder.ExtraTags[Tag];
    }
    Layout.SectionCount = Count;
    Layout.Sections = Headers;
    bool Written = kelvo::WriteFileLayout(Writer, Layout, &WriteBuilderPart, &Builder);
    KELVO_DEALLOCATE(Headers);
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
    return IsThisPlatform(Builder.TargetMagicValue) ? EndNativeToWriter(Builder, Writer)
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
    AppendToList(Section.FirstFixup, Section.LastFixup, Fixup);
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
    AppendToList(Section.FirstMarshalling, Section.LastMarshalling, Record);
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
    KELVO_CHECK_INDEX(Index, 4, KelvoFileWritingLogMessage, KELVO_NOTHING);
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
    // An existing file is replaced only by a whole new one.
    kelvo::file_replacement Output;
    if (!FileName) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): FileName is not allowed to be 0", KELVO_HERE);
    }
    if (!FileName || !kelvo::BeginReplacement(FileName, Output)) {
        KelvoAbortFile(Builder);
        return 0;
    }
    if (!EndToWriter(Builder, Output.Writer)) {
        kelvo::AbandonReplacement(Output);
        return 0;
    }
    return kelvo::CommitReplacement(Output, FileName);
}

} // namespace

KELVO_API kelvo_bool32 KelvoEndFileToWriter(kelvo_file_builder *Builder,
                                            kelvo_file_writer *Writer) {
    KELVO_TIMED_BLOCK("EndFileToWriter");
    return EndBuilderToWriter(Builder, Writer, &EndToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFileRawToWriter(kelvo_file_builder *Builder,
                                               kelvo_file_writer *Writer) {
    KELVO_TIMED_BLOCK("EndFileRawToWriter");
    return EndBuilderToWriter(Builder, Writer, &EndRawToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFile(kelvo_file_builder *Builder, char const *FileName) {
    return EndBuilderToFile(Builder, FileName, &KelvoEndFileToWriter);
}

KELVO_API kelvo_bool32 KelvoEndFileRaw(kelvo_file_builder *Builder, char const *FileName) {
    return EndBuilderToFile(Builder, FileName, &KelvoEndFileRawToWriter);
}

KELVO_API void KelvoAbortFile(kelvo_file_builder *Builder) {
    if (Builder) {
        FreeBuilder(Builder);
    }
}
