// The process-wide log: message types and origins, the installed callback,
// per-origin filters, the most serious message and the optional log file.
// Nothing here is printed; messages go to the callback and the file only.
#include "foundation/kelvo_log.h"

#include "foundation/kelvo_format.h"
#include "kelvo_platform.h"
#include "foundation/kelvo_string.h"

namespace {

constexpr kelvo_int32 MessageBufferSize = 32768;
constexpr kelvo_int32 LogFileNameSize = 512;
constexpr int OriginCount = KelvoOnePastLastMessageOrigin;

char const *const TypeNames[] = {"Ignored", "Note", "Warning", "Error"};

char const *const OriginNames[OriginCount] = {
    "NotImplemented", "Application", "Win32Subsystem", "Win64Subsystem", "MacOSSubsystem",
    "ANSISubsystem", "GamecubeSubsystem", "PS2Subsystem", "PSPSubsystem", "PS3Subsystem",
    "XboxSubsystem", "XenonSubsystem", "MAXSubsystem", "MayaSubsystem", "XSISubsystem",
    "LightwaveSubsystem", "FileWriting", "FileReading", "Exporter", "Compressor", "String",
    "StringTable", "VertexLayout", "Mesh", "Property", "Skeleton", "Animation", "SetupGraph",
    "Texture", "BSpline", "Hash", "Linker", "Instantiator", "DataType", "NameMap", "Material",
    "Model", "StackAllocator", "FixedAllocator", "Scene", "TrackMask", "LocalPose", "WorldPose",
    "NameLibrary", "Control", "MeshBinding", "Math", "Version", "Memory", "Deformer", "Voxel",
    "Bitmap", "IK", "Curve", "TrackGroup", "ThreadSafety", "Quantize"};

struct log_state {
    kelvo_log_callback Callback;
    char FileName[LogFileNameSize];
    // Cleared while a message is appended, so that the writer's own reports
    // during that time are not appended again.
    bool MayWriteLogFile = true;
    kelvo_uint8 Silenced[OriginCount];
    kelvo_log_message_type MostSeriousType;
    char MostSeriousMessage[MessageBufferSize];
    char CurrentMessage[MessageBufferSize];
    // A report made by the log-file writer while it appends a message must not
    // overwrite that message before the callback has seen it.
    char NestedMessage[MessageBufferSize];
};

log_state State;

bool OriginIsValid(kelvo_log_message_origin Origin) {
    return (kelvo_int32)Origin >= 0 && (kelvo_int32)Origin < OriginCount;
}

bool OriginIsSilenced(kelvo_log_message_origin Origin) {
    return OriginIsValid(Origin) && State.Silenced[Origin] != 0;
}

void AppendToLogFile(char const *Text, kelvo_int32 Length) {
    State.MayWriteLogFile = false;
    kelvo_file_writer *Writer = kelvo::PlatformCreateFileWriter(KELVO_HERE, State.FileName, 0);
    if (Writer) {
        KelvoSeekWriterFromEnd(Writer, 0);
        KelvoWrite(Writer, Length, Text);
        KelvoWrite(Writer, 1, "\n");
        KelvoDeleteFileWriter(Writer);
    }
    State.MayWriteLogFile = true;
}

void Deliver(kelvo_log_message_type Type, kelvo_log_message_origin Origin, char const *Text,
             kelvo_int32 Length) {
    if (State.FileName[0] && State.MayWriteLogFile) {
        AppendToLogFile(Text, Length);
    }
    if (State.Callback.Function) {
        State.Callback.Function(Type, Origin, Text, State.Callback.UserData);
    }
}

} // namespace

namespace kelvo {

void LogV(kelvo_log_message_type Type, kelvo_log_message_origin Origin, char const *Format,
          va_list Arguments) {
    if (Type == KelvoIgnoredLogMessage) {
        return;
    }
    if (Type > State.MostSeriousType) {
        State.MostSeriousType = Type;
        kelvo_int32 Length =
            FormatV(MessageBufferSize, State.MostSeriousMessage, Format, Arguments);
        if (!OriginIsSilenced(Origin)) {
            Deliver(Type, Origin, State.MostSeriousMessage, Length);
        }
        return;
    }
    if (OriginIsSilenced(Origin) || !KelvoLogging()) {
        return;
    }
    char *Buffer = State.MayWriteLogFile ? State.CurrentMessage : State.NestedMessage;
    kelvo_int32 Length = FormatV(MessageBufferSize, Buffer, Format, Arguments);
    Deliver(Type, Origin, Buffer, Length);
}

void Log(kelvo_log_message_type Type, kelvo_log_message_origin Origin, char const *Format, ...) {
    va_list Arguments;
    va_start(Arguments, Format);
    LogV(Type, Origin, Format, Arguments);
    va_end(Arguments);
}

void ReportLastSystemError(bool Serious, char const *SourceFileName, kelvo_int32 SourceLineNumber,
                           char const *FailedCallName, char const *FileName) {
    kelvo_int32 Code = PlatformLastErrorCode();
    if (Code == 0) {
        return;
    }
    char Text[512];
    PlatformErrorText(Code, Text, (kelvo_int32)sizeof(Text));
    if (!Text[0]) {
        CopyString(Text, (kelvo_int32)sizeof(Text), "unknown win32 error");
    }
    kelvo_log_message_type Type = Serious ? KelvoErrorLogMessage : KelvoWarningLogMessage;
    if (FileName) {
        Log(Type, KelvoWin32SubsystemLogMessage,
            "%s(%d): %s failed with error \"%s\" for \"%s\" at %s(%d)", KELVO_HERE, FailedCallName,
            Text, FileName, SourceFileName, SourceLineNumber);
        return;
    }
    Log(Type, KelvoWin32SubsystemLogMessage, "%s(%d): %s failed with error \"%s\" at %s(%d)",
        KELVO_HERE, FailedCallName, Text, SourceFileName, SourceLineNumber);
}

} // namespace kelvo

KELVO_API kelvo_bool32 KelvoSetLogFileName(char const *FileName, kelvo_bool32 Clear) {
    if (!FileName) {
        State.FileName[0] = 0;
        return 1;
    }
    kelvo::CopyString(State.FileName, LogFileNameSize, FileName);
    if (!State.FileName[0]) {
        return 1;
    }
    // The writer's own report of a failed open is the same failure; do not
    // try to append it to the file that just failed to open.
    State.MayWriteLogFile = false;
    kelvo_file_writer *Writer =
        kelvo::PlatformCreateFileWriter(KELVO_HERE, State.FileName, Clear ? 1 : 0);
    State.MayWriteLogFile = true;
    if (!Writer) {
        return 0;
    }
    KelvoDeleteFileWriter(Writer);
    return 1;
}

KELVO_API void KelvoGetLogCallback(kelvo_log_callback *Result) {
    if (Result) {
        *Result = State.Callback;
    }
}

KELVO_API void KelvoSetLogCallback(kelvo_log_callback const *LogCallback) {
    if (LogCallback) {
        State.Callback = *LogCallback;
    } else {
        State.Callback = kelvo_log_callback{nullptr, nullptr};
    }
}

KELVO_API char const *KelvoGetLogMessageTypeString(kelvo_log_message_type Type) {
    kelvo_int32 Index = (kelvo_int32)Type;
    return (Index >= 0 && Index < 4) ? TypeNames[Index] : "UnknownMessageType";
}

KELVO_API char const *KelvoGetLogMessageOriginString(kelvo_log_message_origin Origin) {
    return OriginIsValid(Origin) ? OriginNames[Origin] : "UnknownMessageOrigin";
}

KELVO_API kelvo_bool32 KelvoLogging(void) {
    return (State.FileName[0] != 0 || State.Callback.Function != nullptr) ? 1 : 0;
}

KELVO_API void KelvoFilterMessage(kelvo_log_message_origin Origin, kelvo_bool32 Enabled) {
    if (OriginIsValid(Origin)) {
        State.Silenced[Origin] = Enabled ? 0 : 1;
    }
}

KELVO_API void KelvoFilterAllMessages(kelvo_bool32 Enabled) {
    for (kelvo_uint8 &Silenced : State.Silenced) {
        Silenced = Enabled ? 0 : 1;
    }
}

KELVO_API kelvo_log_message_type KelvoGetMostSeriousMessageType(void) {
    return State.MostSeriousType;
}

KELVO_API char const *KelvoGetMostSeriousMessage(void) { return State.MostSeriousMessage; }

KELVO_API void KelvoClearMostSeriousMessage(void) {
    State.MostSeriousType = KelvoIgnoredLogMessage;
    State.MostSeriousMessage[0] = 0;
}
