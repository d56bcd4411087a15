// kv2 import IN OUT.kv2: reads a scene of another format and writes it as an
// asset file, replacing OUT only once it is whole. Without assimp (the
// 32-bit build) the command exists and says why it cannot run.
#include "kv2_commands.h"
#include "kv2_files.h"
#ifdef KV2_HAVE_ASSIMP
#include "kv2_import.h"
#endif

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

namespace {

int Usage() {
    fprintf(stderr, "kv2: import needs IN OUT.kv2 [--tolerance T] [--rotation-tolerance R] "
                    "[--fps F] [--basis RIGHT,UP,BACK] [--units-per-meter U] [--format 0|2]\n"
                    "     [--platform 32le|32be|64le|64be] [--quiet]\n"
                    "     (RIGHT, UP, BACK: axes such as x, -z, y)\n");
    return 2;
}

#ifdef KV2_HAVE_ASSIMP

bool ParsePositive(char const *Text, kelvo_real32 &Value) {
    char *End = nullptr;
    double Parsed = strtod(Text, &End);
    if (End == Text || *End || !(Parsed > 0) || !isfinite(Parsed)) {
        return false;
    }
    Value = (kelvo_real32)Parsed;
    return true;
}

// One of x, y, z, -x, -y, -z.
bool ParseAxis(std::string const &Text, kelvo_real32 Axis[3]) {
    bool Negative = !Text.empty() && Text[0] == '-';
    std::string Name = Negative ? Text.substr(1) : Text;
    if (Name.size() != 1 || Name[0] < 'x' || Name[0] > 'z') {
        return false;
    }
    Axis[0] = Axis[1] = Axis[2] = 0;
    Axis[Name[0] - 'x'] = Negative ? -1.0f : 1.0f;
    return true;
}

bool ParseBasis(std::string const &Text, kv2::import_settings &Settings) {
    size_t First = Text.find(','),
           Second = First == std::string::npos ? First : Text.find(',', First + 1);
    return Second != std::string::npos && ParseAxis(Text.substr(0, First), Settings.Right) &&
           ParseAxis(Text.substr(First + 1, Second - First - 1), Settings.Up) &&
           ParseAxis(Text.substr(Second + 1), Settings.Back);
}

// How the written file is stored: a section format and a platform.
struct storage {
    int Format = -1;
    bool Converted = false;
    kelvo_file_magic_value Magic;
};

bool ParseOptions(int Count, char **Arguments, kv2::import_settings &Settings, storage &Storage) {
    for (int Index = 2; Index < Count; ++Index) {
        std::string Option = Arguments[Index];
        if (Option == "--quiet") {
            Settings.Progress = false;
            continue;
        }
        if (Index + 1 >= Count) {
            return false;
        }
        char const *Value = Arguments[++Index];
        bool Parsed = Option == "--tolerance" ? ParsePositive(Value, Settings.PositionTolerance)
                      : Option == "--rotation-tolerance"
                          ? ParsePositive(Value, Settings.RotationTolerance)
                      : Option == "--fps" ? ParsePositive(Value, Settings.FramesPerSecond)
                      : Option == "--units-per-meter" ? ParsePositive(Value, Settings.UnitsPerMeter)
                      : Option == "--basis" ? (Settings.ChangeBasis = ParseBasis(Value, Settings))
                      : Option == "--platform"
                          ? (Storage.Converted = kv2::ParsePlatform(Value, Storage.Magic))
                      : Option == "--format" && (!strcmp(Value, "0") || !strcmp(Value, "2"))
                          ? (Storage.Format = Value[0] - '0', true)
                          : false;
        if (!Parsed) {
            return false;
        }
    }
    return true;
}

long long FileSize(char const *Path) {
    struct stat Status;
    return stat(Path, &Status) == 0 ? (long long)Status.st_size : -1;
}

void PrintSummary(char const *In, char const *Out, kv2::import_summary const &Summary) {
    for (std::string const &Warning : Summary.Warnings) {
        fprintf(stderr, "kv2: %s: warning: %s\n", In, Warning.c_str());
    }
    printf("imported %s into %s\n", In, Out);
    printf("  %d bones, %d meshes (%d vertices, %d triangles), %d materials, %d textures\n",
           Summary.Bones, Summary.Meshes, Summary.Vertices, Summary.Triangles, Summary.Materials,
           Summary.Textures);
    printf("  %d animations, %d tracks: %lld bytes of samples -> %lld bytes of curves "
           "(%.1f:1)\n",
           Summary.Animations, Summary.Tracks, Summary.SampleBytes, Summary.CurveBytes,
           Summary.CurveBytes > 0 ? (double)Summary.SampleBytes / Summary.CurveBytes : 0.0);
    printf("  largest fitting error: position %.6g, rotation %.6g, scale/shear %.6g",
           Summary.LargestError[0], Summary.LargestError[1], Summary.LargestError[2]);
    printf(Summary.WeightTracks ? ", morph weights %.6g\n" : "\n", Summary.LargestError[3]);
    if (Summary.MissedTolerances) {
        printf("  %d curves missed their tolerance\n", Summary.MissedTolerances);
    }
    printf("  %lld bytes in, %lld bytes out\n", FileSize(In), FileSize(Out));
}

#endif

} // namespace

int RunImport(int ArgumentCount, char **Arguments) {
    if (ArgumentCount < 2) {
        return Usage();
    }
#ifdef KV2_HAVE_ASSIMP
    kv2::import_settings Settings;
    storage Storage;
    if (!ParseOptions(ArgumentCount, Arguments, Settings, Storage)) {
        return Usage();
    }
    char const *In = Arguments[0];
    char const *Out = Arguments[1];
    Settings.Destination = Out;
    kv2::staged_output Staged(Out);
    std::string Reason;
    kv2::import_summary Summary;
    if (!Staged.Create(Reason)) {
        return kv2::Refuse(Out, Reason);
    }
    if (!kv2::ImportScene(In, Staged.Path(), Settings, Summary, Reason)) {
        return kv2::Refuse(In, Reason);
    }
    kv2::staged_output Stored(Out);
    bool Restore = Storage.Format >= 0 || Storage.Converted;
    if (Restore && (!Stored.Create(Reason) ||
                    !kv2::WriteConverted(Staged.Path(), Stored.Path(), Storage.Format,
                                         Storage.Converted ? &Storage.Magic : nullptr, Reason))) {
        return kv2::Refuse(Out, Reason.empty() ? "the file could not be converted" : Reason);
    }
    if (!(Restore ? Stored : Staged).Commit(Reason)) {
        return kv2::Refuse(Out, Reason);
    }
    PrintSummary(In, Out, Summary);
    return 0;
#else
    return kv2::Refuse(Arguments[0], "cannot be imported: this kv2 was built without assimp");
#endif
}
