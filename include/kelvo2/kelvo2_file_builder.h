/* kelvo2: building .kv2 files. Callers write chunks of bytes into numbered
   sections and mark the pointer fix-ups, marshalling fix-ups, root and tags
   that go with them; the end call lays the file out, compresses each section
   with its own format and writes it with its header and CRC.

   While building, each section keeps three streams, one per region (32-bit,
   16-bit and 8-bit data), in temporary files or in memory. A location names
   a byte in one of them; it becomes a section offset when the file is ended.
   Every end and abort call frees the builder, whatever its result. */
#ifndef KELVO2_FILE_BUILDER_H
#define KELVO2_FILE_BUILDER_H

#include "kelvo2_file_format.h"
#include "kelvo2_file_reader.h"
#include "kelvo2_file_writer.h"
#include "kelvo2_types.h"

typedef struct kelvo_file_location {
    kelvo_uint32 SectionIndex;
    kelvo_uint32 BufferIndex; /* 0: 32-bit stream, 1: 16-bit stream, 2: 8-bit stream */
    kelvo_uint32 Offset;      /* from the start of that stream */
} kelvo_file_location;

typedef struct kelvo_file_builder kelvo_file_builder;
typedef struct kelvo_file_fixup kelvo_file_fixup;
typedef struct kelvo_file_compressor kelvo_file_compressor;

/* Streams in temporary files named "Directory/Prefix_Section_Stream.utf", or
   in memory writers of the given granularity. Null when a stream cannot be
   made or the magic value is unknown. Files for another platform than this
   build's are written natively first and then converted. */
KELVO_API kelvo_file_builder *KelvoBeginFile(kelvo_int32 SectionCount, kelvo_uint32 FileTypeTag,
                                             kelvo_file_magic_value const *PlatformMagicValue,
                                             char const *TemporaryDirectory,
                                             char const *TemporaryFileNamePrefix);
KELVO_API kelvo_file_builder *
KelvoBeginFileInMemory(kelvo_int32 SectionCount, kelvo_uint32 FileTypeTag,
                       kelvo_file_magic_value const *PlatformMagicValue,
                       kelvo_int32 MemoryGranularity);

KELVO_API void KelvoSetFileSectionFormat(kelvo_file_builder *Builder, kelvo_int32 SectionIndex,
                                         kelvo_compression_type Format,
                                         kelvo_int32 InternalAlignment);

/* Appends Size bytes to the stream the marshalling picks and pads it to the
   section's alignment; Location (may be null) receives where they went. */
KELVO_API void KelvoWriteFileChunk(kelvo_file_builder *Builder, kelvo_int32 InSectionIndex,
                                   kelvo_uint32 Marshalling, kelvo_int32 Size, void const *Data,
                                   kelvo_file_location *Location);
KELVO_API void KelvoOffsetFileLocation(kelvo_file_builder *Builder,
                                       kelvo_file_location const *Location,
                                       kelvo_uint32 AdditionalOffset, kelvo_file_location *Result);

/* The pointer word at From + FromOffset will point at To once loaded. The
   record may be given a new target until the file is ended. */
KELVO_API kelvo_file_fixup *KelvoMarkFileFixup(kelvo_file_builder *Builder,
                                               kelvo_file_location const *From,
                                               kelvo_int32 FromOffset,
                                               kelvo_file_location const *To);
KELVO_API void KelvoAdjustFileFixup(kelvo_file_builder *Builder, kelvo_file_fixup *Fixup,
                                    kelvo_file_location const *NewTo);
/* Count records at Object of the definition at Type mix element sizes. */
KELVO_API void KelvoMarkMarshallingFixup(kelvo_file_builder *Builder,
                                         kelvo_file_location const *Type,
                                         kelvo_file_location const *Object, kelvo_int32 Count);
KELVO_API void KelvoMarkFileRootObject(kelvo_file_builder *Builder,
                                       kelvo_file_location const *TypeLocation,
                                       kelvo_file_location const *ObjectLocation);
KELVO_API void KelvoSetFileExtraTag(kelvo_file_builder *Builder, kelvo_int32 Index,
                                    kelvo_uint32 Value);

/* The ends that take a file name write a temporary file beside it, which
   replaces an existing file only once complete. */
KELVO_API kelvo_bool32 KelvoEndFile(kelvo_file_builder *Builder, char const *FileName);
KELVO_API kelvo_bool32 KelvoEndFileToWriter(kelvo_file_builder *Builder, kelvo_file_writer *Writer);
/* The headerless image: sections' streams in order, each pointer field
   holding the byte offset of its target from the start of the image. */
KELVO_API kelvo_bool32 KelvoEndFileRaw(kelvo_file_builder *Builder, char const *FileName);
KELVO_API kelvo_bool32 KelvoEndFileRawToWriter(kelvo_file_builder *Builder,
                                               kelvo_file_writer *Writer);
KELVO_API void KelvoAbortFile(kelvo_file_builder *Builder);

/* The compressor stage: contents (pieces) go in one after another and come
   out of the writer as one stored section. Type 1 is never written (null). */
KELVO_API kelvo_file_compressor *KelvoBeginFileCompression(kelvo_int32 ExpandedDataSize,
                                                           kelvo_int32 ContentsCount,
                                                           kelvo_compression_type Type,
                                                           kelvo_bool32 WritingForEndianSwap,
                                                           kelvo_file_writer *Writer);
KELVO_API kelvo_bool32 KelvoCompressContentsOfFile(kelvo_file_compressor *Compressor,
                                                   kelvo_int32 FileSize, char const *FileName,
                                                   kelvo_int32 CopyBufferSize, void *CopyBuffer);
KELVO_API kelvo_bool32 KelvoCompressContentsOfReader(kelvo_file_compressor *Compressor,
                                                     kelvo_int32 FileSize,
                                                     kelvo_file_reader *Reader,
                                                     kelvo_int32 CopyBufferSize, void *CopyBuffer);
KELVO_API kelvo_bool32 KelvoCompressContentsOfMemory(kelvo_file_compressor *Compressor,
                                                     kelvo_int32 Size, void const *Data);
/* Frees the compressor in every case. */
KELVO_API kelvo_bool32 KelvoEndFileCompression(kelvo_file_compressor *Compressor,
                                               kelvo_int32 *CompressedSize);

/* Rewrites a file in its own layout with each section's format mapped
   through the array (a format below the count becomes the entry at its
   index; Fenwa0, which cannot be written, becomes Fenwa1).
   Only a file whose stored CRC matches and that loads whole with a sound
   tree is rewritten. The destination (which may be the source) is replaced
   only once the new file is complete. */
KELVO_API kelvo_bool32 KelvoRecompressFile(char const *SourceFileName,
                                           char const *DestinationFileName,
                                           kelvo_int32 CompressorMappingCount,
                                           kelvo_int32 const *CompressorMapping);

/* Rewrites a whole file for the platform (pointer size and byte order) of
   DestMagicValue: the tree is walked from the root through the file's own
   type definitions and every object, definition and string is copied once
   in the new layout. Each section keeps its format (Fenwa0 becomes Fenwa1).
   The last argument has no effect. */
KELVO_API kelvo_bool32 KelvoPlatformConvertReaderToWriter(
    kelvo_file_reader *SourceReader, kelvo_file_writer *DestWriter,
    kelvo_file_magic_value const *DestMagicValue, kelvo_bool32 ExcludeTypeTree);

#endif
