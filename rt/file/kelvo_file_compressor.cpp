// The compressor stage: one section's contents, fed in pieces from memory,
// readers or files, stored uncompressed or in Fenwa1 (Fenwa0 is read only).
// The builder and the file rewriters store their sections through it.
#include "file/kelvo_file_operations.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_compression.h"
#include "kelvo2/kelvo2_file_builder.h"

using kelvo::Log;

namespace {

constexpr kelvo_int64 Int32Max = 0x7fffffff;

} // namespace

struct kelvo_file_compressor {
    kelvo_compression_type Type;
    kelvo_file_writer *Writer;
    kelvo_bool32 WritingForEndianSwap;
    kelvo_fenwa1_compressor *Fenwa1;
    kelvo_int64 PassedThrough;
    bool Failed;
};

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
    kelvo_file_compressor *Compressor =
        KELVO_NEW(kelvo_file_compressor, Type, Writer, WritingForEndianSwap, nullptr, 0, false);
    if (!Compressor) {
        return nullptr;
    }
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
        bool Read = kelvo::ReadExactly(Reader, 0, FileSize, Buffer);
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
        if (!kelvo::ReadExactly(Reader, Position, Request, CopyBuffer) ||
            !KelvoWrite(Compressor->Writer, Request, CopyBuffer)) {
            Compressor->Failed = true;
            return 0;
        }
        Position += Request;
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
