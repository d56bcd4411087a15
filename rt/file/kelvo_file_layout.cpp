// The one writer of the file layout (see the header). Offsets are computed
// first, from the sizes the section headers count, and every part is held
// to its size as it is written, so the offsets written are the offsets used.
#include "file/kelvo_file_layout.h"

#include "file/kelvo_file_format.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

using kelvo::Log;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoFileWritingLogMessage;
constexpr kelvo_int32 WordBufferSize = 4096;

kelvo_int64 RoundUp4(kelvo_int64 Value) {
    return (Value + 3) & ~(kelvo_int64)3;
}

kelvo_int64 PartSize(kelvo_section_header const &Section, kelvo::layout_part Part) {
    switch (Part) {
    case kelvo::layout_part::Data:
        return Section.DataSize;
    case kelvo::layout_part::PointerFixups:
        return (kelvo_int64)Section.PointerFixupArrayCount * sizeof(kelvo_pointer_fixup);
    default:
        return (kelvo_int64)Section.MixedMarshallingFixupArrayCount *
               sizeof(kelvo_marshalling_fixup);
    }
}

kelvo_uint32 &PartOffset(kelvo_section_header &Section, kelvo::layout_part Part) {
    switch (Part) {
    case kelvo::layout_part::Data:
        return Section.DataOffset;
    case kelvo::layout_part::PointerFixups:
        return Section.PointerFixupArrayOffset;
    default:
        return Section.MixedMarshallingFixupArrayOffset;
    }
}

constexpr kelvo::layout_part Parts[] = {kelvo::layout_part::Data,
                                        kelvo::layout_part::PointerFixups,
                                        kelvo::layout_part::MarshallingFixups};
constexpr char const *PartNames[] = {"data", "pointer fix-ups", "marshalling fix-ups"};

// Every part's offset, in file order; the end of the file, or -1 past 2 GiB.
kelvo_int64 LayOut(kelvo::file_layout &Layout) {
    kelvo_int64 Offset = kelvo::HeaderSizeForSections(Layout.SectionCount);
    for (kelvo::layout_part Part : Parts) {
        for (kelvo_int32 Index = 0; Index < Layout.SectionCount; ++Index) {
            kelvo_section_header &Section = Layout.Sections[Index];
            PartOffset(Section, Part) = (kelvo_uint32)Offset;
            Offset = RoundUp4(Offset + PartSize(Section, Part));
            if (Offset > INT32_MAX) {
                Log(KelvoErrorLogMessage, Origin,
                    "%s(%d): TotalSize %I64d is out of range for an int32 FileSize", KELVO_HERE,
                    Offset);
                return -1;
            }
        }
    }
    return Offset;
}

bool WriteZeros(kelvo_file_writer *Writer, kelvo_int64 Count) {
    static kelvo_uint8 const Zeros[4] = {};
    return Count <= 0 || KelvoWrite(Writer, (kelvo_int32)Count, Zeros);
}

bool WriteParts(kelvo_file_writer *Writer, kelvo::file_layout &Layout,
                kelvo::layout_part_writer WritePart, void *Context) {
    kelvo::layout_output Out = {Writer, Layout.IsLittleEndian != kelvo::ThisPlatformIsLittleEndian,
                                true, 0};
    Out.Words(Layout.SectionCount * (kelvo_int64)sizeof(kelvo_section_header), Layout.Sections);
    for (kelvo_int32 PartIndex = 0; Out.OK && PartIndex < 3; ++PartIndex) {
        for (kelvo_int32 Index = 0; Out.OK && Index < Layout.SectionCount; ++Index) {
            kelvo_section_header const &Section = Layout.Sections[Index];
            kelvo_int64 Expected = PartSize(Section, Parts[PartIndex]);
            Out.Written = 0;
            Out.OK = WritePart(Context, Index, Parts[PartIndex], Out) && Out.OK;
            if (Out.OK && Out.Written != Expected) {
                Log(KelvoErrorLogMessage, Origin,
                    "%s(%d): Section %d has %I64d bytes of %s where its header counts %I64d",
                    KELVO_HERE, Index, Out.Written, PartNames[PartIndex], Expected);
                Out.OK = false;
            }
            Out.OK = Out.OK && WriteZeros(Writer, RoundUp4(Expected) - Expected);
        }
    }
    return Out.OK;
}

} // namespace

namespace kelvo {

void layout_output::Bytes(kelvo_int64 Count, void const *Data) {
    if (OK && Count > 0) {
        OK = Count <= INT32_MAX && KelvoWrite(Writer, (kelvo_int32)Count, Data);
    }
    Written += Count;
}

void layout_output::Words(kelvo_int64 Count, void const *Data) {
    if (!Reversed) {
        Bytes(Count, Data);
        return;
    }
    kelvo_uint8 Buffer[WordBufferSize];
    auto const *Source = static_cast<kelvo_uint8 const *>(Data);
    for (kelvo_int64 Done = 0; Done < Count; Done += WordBufferSize) {
        kelvo_int32 Piece =
            Count - Done < WordBufferSize ? (kelvo_int32)(Count - Done) : WordBufferSize;
        Copy(Piece, Source + Done, Buffer);
        Reverse32(Piece, Buffer);
        Bytes(Piece, Buffer);
    }
}

bool WriteFileLayout(kelvo_file_writer *Writer, file_layout &Layout, layout_part_writer WritePart,
                     void *Context) {
    kelvo_file_magic_value Magic;
    if (!KelvoGetMagicValueForPlatform(Layout.PointerSizeInBits, Layout.IsLittleEndian, &Magic)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): No file format has %d-bit pointers", KELVO_HERE,
            Layout.PointerSizeInBits);
        return false;
    }
    kelvo_int64 End = LayOut(Layout);
    if (End < 0) {
        return false;
    }
    kelvo_int32 Start = KelvoSeekWriterFromCurrentPosition(Writer, 0);
    if ((kelvo_int64)Start + End > INT32_MAX) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Start + TotalSize %I64d is out of range for an int32 FileOffset", KELVO_HERE,
            (kelvo_int64)Start + End);
        return false;
    }
    // The magic value record and the header go last, when the CRC is known.
    // A writer that cannot grow stays where it was: the sections would land
    // over the header.
    if (KelvoSeekWriterFromCurrentPosition(Writer, FileHeaderOffset + FileHeaderSize) !=
        Start + FileHeaderOffset + FileHeaderSize) {
        return false;
    }
    KelvoBeginWriterCRC(Writer);
    bool Written = WriteParts(Writer, Layout, WritePart, Context);
    kelvo_uint32 CRC = KelvoEndWriterCRC(Writer);
    if (!Written) {
        return false;
    }
    Magic.HeaderSize = (kelvo_uint32)HeaderSizeForSections(Layout.SectionCount);
    Magic.HeaderFormat = 0;
    Magic.Reserved[0] = Magic.Reserved[1] = 0;
    kelvo_file_header Header = Layout.Header;
    Header.Version = CurrentFileFormatRevision;
    Header.TotalSize = (kelvo_uint32)End;
    Header.CRC = CRC;
    Header.SectionArrayOffset = FileHeaderSize;
    Header.SectionArrayCount = (kelvo_uint32)Layout.SectionCount;
    KelvoSeekWriterFromStart(Writer, Start);
    layout_output Out = {Writer, Layout.IsLittleEndian != ThisPlatformIsLittleEndian, true, 0};
    Out.Bytes(sizeof(Magic.MagicValue), Magic.MagicValue); // the magic words stay as they are
    Out.Words(sizeof(Magic) - sizeof(Magic.MagicValue), &Magic.HeaderSize);
    Out.Words(sizeof(Header), &Header);
    KelvoSeekWriterFromStart(Writer, Start + (kelvo_int32)End);
    return Out.OK;
}

} // namespace kelvo
