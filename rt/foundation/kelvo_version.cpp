// The library's version and the check against the header an application
// was built with.
#include "kelvo2/kelvo2_version.h"

#include "foundation/kelvo_log.h"

KELVO_API void KelvoGetVersion(kelvo_int32 *MajorVersion, kelvo_int32 *MinorVersion,
                               kelvo_int32 *Customization, kelvo_int32 *BuildNumber) {
    if (MajorVersion) {
        *MajorVersion = KelvoProductMajorVersion;
    }
    if (MinorVersion) {
        *MinorVersion = KelvoProductMinorVersion;
    }
    if (Customization) {
        *Customization = KelvoProductCustomization;
    }
    if (BuildNumber) {
        *BuildNumber = KelvoProductBuildNumber;
    }
}

KELVO_API char const *KelvoGetVersionString(void) { return KelvoProductVersion; }

KELVO_API kelvo_bool32 KelvoVersionsMatch_(kelvo_int32 MajorVersion, kelvo_int32 MinorVersion,
                                           kelvo_int32 Customization, kelvo_int32 BuildNumber) {
    if (MajorVersion == KelvoProductMajorVersion && MinorVersion == KelvoProductMinorVersion &&
        Customization == KelvoProductCustomization && BuildNumber == KelvoProductBuildNumber) {
        return 1;
    }
    kelvo::Log(KelvoWarningLogMessage, KelvoVersionLogMessage,
               "%s(%d): Version of DLL (%d.%d.%d.%d) does not match version of .h (%d.%d.%d.%d)",
               KELVO_HERE, KelvoProductMajorVersion, KelvoProductMinorVersion,
               KelvoProductCustomization, KelvoProductBuildNumber, MajorVersion, MinorVersion,
               Customization, BuildNumber);
    return 0;
}
