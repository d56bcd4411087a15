/* kelvo2: the version of this interface and the check against the library. */
#ifndef KELVO2_VERSION_H
#define KELVO2_VERSION_H

#include "kelvo2_types.h"

#define KelvoProductMajorVersion 2
#define KelvoProductMinorVersion 7
#define KelvoProductCustomization 0
#define KelvoProductBuildNumber 14
#define KelvoProductVersion "2.7.0.14"

KELVO_API void KelvoGetVersion(kelvo_int32 *MajorVersion, kelvo_int32 *MinorVersion,
                               kelvo_int32 *Customization, kelvo_int32 *BuildNumber);
KELVO_API char const *KelvoGetVersionString(void);
KELVO_API kelvo_bool32 KelvoVersionsMatch_(kelvo_int32 MajorVersion, kelvo_int32 MinorVersion,
                                           kelvo_int32 Customization, kelvo_int32 BuildNumber);

/* True when the library is the one this header describes. */
#define KelvoVersionsMatch                                                                     \
    KelvoVersionsMatch_(KelvoProductMajorVersion, KelvoProductMinorVersion,                     \
                        KelvoProductCustomization, KelvoProductBuildNumber)

#endif
