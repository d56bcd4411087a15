// Raw conversion: a file info tree written as one headerless image in this
// build's format, every pointer field holding the offset of its target from
// the image's start, for readers that take the bytes as they are.
#include "kelvo2/kelvo2_data_tree_writer.h"
#include "kelvo2/kelvo2_file_builder.h"
#include "kelvo2/kelvo2_file_info.h"
#include "kelvo2/kelvo2_file_writer.h"
#include "foundation/kelvo_log.h"

using kelvo::Log;

namespace {

// The builder keeps its streams in memory: temporary files of a fixed name
// would collide between two conversions at once.
constexpr kelvo_int32 RawBufferGranularity = 64 * 1024;

bool WriteRawImage(kelvo_file_info *FileInfo, kelvo_file_writer *Writer) {
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(1, 0, KelvoKVNFileMV_ThisPlatform, RawBufferGranularity);
    if (!Builder) {
        return false;
    }
    kelvo_file_data_tree_writer *TreeWriter =
        KelvoBeginFileDataTreeWriting(KelvoFileInfoType, FileInfo, 0, 0);
    if (!TreeWriter) {
        KelvoAbortFile(Builder);
        return false;
    }
    KelvoSetFileDataTreeFlags(TreeWriter, KelvoExcludeTypeTree);
    bool Written = KelvoWriteDataTreeToFileBuilder(TreeWriter, Builder);
    KelvoEndFileDataTreeWriting(TreeWriter);
    if (!Written) {
        KelvoAbortFile(Builder);
        return false;
    }
    return KelvoEndFileRawToWriter(Builder, Writer);
}

} // namespace

KELVO_API kelvo_bool32 KelvoConvertFileInfoToRaw(kelvo_file_info *FileInfo,
                                                 char const *DestinationFileName) {
    KELVO_CHECK_NOT_NULL(FileInfo, KelvoFileWritingLogMessage, 0);
    KELVO_CHECK_NOT_NULL(DestinationFileName, KelvoFileWritingLogMessage, 0);
    kelvo_file_writer *Writer = KelvoOpenFileWriter(DestinationFileName, 1);
    if (!Writer) {
        return 0;
    }
    bool Written = WriteRawImage(FileInfo, Writer);
    KelvoDeleteFileWriter(Writer);
    return Written;
}

KELVO_API kelvo_bool32 KelvoConvertFileToRaw(char const *SourceFileName,
                                             char const *DestinationFileName) {
    KELVO_CHECK_NOT_NULL(SourceFileName, KelvoFileReadingLogMessage, 0);
    kelvo_file *File = KelvoReadEntireFile(SourceFileName);
    if (!File) {
        Log(KelvoWarningLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Unable to read %s for raw conversion.", KELVO_HERE, SourceFileName);
        return 0;
    }
    // The writer walks the whole tree, which KelvoGetFileInfo checks first.
    kelvo_file_info *FileInfo = KelvoGetFileInfo(File);
    kelvo_bool32 Converted =
        FileInfo ? KelvoConvertFileInfoToRaw(FileInfo, DestinationFileName) : 0;
    KelvoFreeFile(File);
    return Converted;
}
