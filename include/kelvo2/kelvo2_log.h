/* kelvo2: the process-wide log. Every failure of the library is reported here. */
#ifndef KELVO2_LOG_H
#define KELVO2_LOG_H

#include "kelvo2_types.h"

typedef enum kelvo_log_message_type {
    KelvoIgnoredLogMessage = 0,
    KelvoNoteLogMessage = 1,
    KelvoWarningLogMessage = 2,
    KelvoErrorLogMessage = 3,
    KelvoLogMessageTypeForceInt = 0x7fffffff
} kelvo_log_message_type;

typedef enum kelvo_log_message_origin {
    KelvoNotImplementedLogMessage = 0,
    KelvoApplicationLogMessage = 1,
    KelvoWin32SubsystemLogMessage = 2,
    KelvoWin64SubsystemLogMessage = 3,
    KelvoMacOSSubsystemLogMessage = 4,
    KelvoANSISubsystemLogMessage = 5,
    KelvoGamecubeSubsystemLogMessage = 6,
    KelvoPS2SubsystemLogMessage = 7,
    KelvoPSPSubsystemLogMessage = 8,
    KelvoPS3SubsystemLogMessage = 9,
    KelvoXboxSubsystemLogMessage = 10,
    KelvoXenonSubsystemLogMessage = 11,
    KelvoMAXSubsystemLogMessage = 12,
    KelvoMayaSubsystemLogMessage = 13,
    KelvoXSISubsystemLogMessage = 14,
    KelvoLightwaveSubsystemLogMessage = 15,
    KelvoFileWritingLogMessage = 16,
    KelvoFileReadingLogMessage = 17,
    KelvoExporterLogMessage = 18,
    KelvoCompressorLogMessage = 19,
    KelvoStringLogMessage = 20,
    KelvoStringTableLogMessage = 21,
    KelvoVertexLayoutLogMessage = 22,
    KelvoMeshLogMessage = 23,
    KelvoPropertyLogMessage = 24,
    KelvoSkeletonLogMessage = 25,
    KelvoAnimationLogMessage = 26,
    KelvoSetupGraphLogMessage = 27,
    KelvoTextureLogMessage = 28,
    KelvoBSplineLogMessage = 29,
    KelvoHashLogMessage = 30,
    KelvoLinkerLogMessage = 31,
    KelvoInstantiatorLogMessage = 32,
    KelvoDataTypeLogMessage = 33,
    KelvoNameMapLogMessage = 34,
    KelvoMaterialLogMessage = 35,
    KelvoModelLogMessage = 36,
    KelvoStackAllocatorLogMessage = 37,
    KelvoFixedAllocatorLogMessage = 38,
    KelvoSceneLogMessage = 39,
    KelvoTrackMaskLogMessage = 40,
    KelvoLocalPoseLogMessage = 41,
    KelvoWorldPoseLogMessage = 42,
    KelvoNameLibraryLogMessage = 43,
    KelvoControlLogMessage = 44,
    KelvoMeshBindingLogMessage = 45,
    KelvoMathLogMessage = 46,
    KelvoVersionLogMessage = 47,
    KelvoMemoryLogMessage = 48,
    KelvoDeformerLogMessage = 49,
    KelvoVoxelLogMessage = 50,
    KelvoBitmapLogMessage = 51,
    KelvoIKLogMessage = 52,
    KelvoCurveLogMessage = 53,
    KelvoTrackGroupLogMessage = 54,
    KelvoThreadSafetyLogMessage = 55,
    KelvoQuantizeLogMessage = 56,
    KelvoOnePastLastMessageOrigin = 57,
    KelvoLogMessageOriginForceInt = 0x7fffffff
} kelvo_log_message_origin;

/* The text lives in a buffer of the log and is valid until the next report. */
typedef void KELVO_CALLBACK kelvo_log_function(kelvo_log_message_type Type,
                                               kelvo_log_message_origin Origin,
                                               char const *Message, void *UserData);

typedef struct kelvo_log_callback {
    kelvo_log_function *Function;
    void *UserData;
} kelvo_log_callback;

KELVO_API kelvo_bool32 KelvoSetLogFileName(char const *FileName, kelvo_bool32 Clear);
KELVO_API void KelvoGetLogCallback(kelvo_log_callback *Result);
KELVO_API void KelvoSetLogCallback(kelvo_log_callback const *LogCallback);
KELVO_API char const *KelvoGetLogMessageTypeString(kelvo_log_message_type Type);
KELVO_API char const *KelvoGetLogMessageOriginString(kelvo_log_message_origin Origin);
KELVO_API kelvo_bool32 KelvoLogging(void);
KELVO_API void KelvoFilterMessage(kelvo_log_message_origin Origin, kelvo_bool32 Enabled);
KELVO_API void KelvoFilterAllMessages(kelvo_bool32 Enabled);
KELVO_API kelvo_log_message_type KelvoGetMostSeriousMessageType(void);
KELVO_API char const *KelvoGetMostSeriousMessage(void);
KELVO_API void KelvoClearMostSeriousMessage(void);

#endif
