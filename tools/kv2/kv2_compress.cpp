// kv2 compress: refits every curve of every animated track group. Each
// track is sampled at its animation's time step, the samples are fitted and
// compressed into the smallest allowed format within the tolerance of its
// kind, and the file is written with the new curves. Identity curves stay.
#include "kv2_commands.h"
#include "kv2_files.h"

#include "kelvo2.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct format_name {
    char const *Name;
    kelvo_data_type_definition const *const *Type;
};

// The formats a fit can produce.
constexpr format_name KnotFormats[] = {
    {"DaK32fC32f", &KelvoCurveDataDaK32fC32fType},
    {"DaK16uC16u", &KelvoCurveDataDaK16uC16uType},
    {"DaK8uC8u", &KelvoCurveDataDaK8uC8uType},
    {"D4nK16uC15u", &KelvoCurveDataD4nK16uC15uType},
    {"D4nK8uC7u", &KelvoCurveDataD4nK8uC7uType},
    {"D3K16uC16u", &KelvoCurveDataD3K16uC16uType},
    {"D3K8uC8u", &KelvoCurveDataD3K8uC8uType},
    {"D9I1K16uC16u", &KelvoCurveDataD9I1K16uC16uType},
    {"D9I3K16uC16u", &KelvoCurveDataD9I3K16uC16uType},
    {"D9I1K8uC8u", &KelvoCurveDataD9I1K8uC8uType},
    {"D9I3K8uC8u", &KelvoCurveDataD9I3K8uC8uType},
    {"D3I1K32fC32f", &KelvoCurveDataD3I1K32fC32fType},
    {"D3I1K16uC16u", &KelvoCurveDataD3I1K16uC16uType},
    {"D3I1K8uC8u", &KelvoCurveDataD3I1K8uC8uType},
};

enum curve_kind { Position, Orientation, ScaleShear, Vector, KindCount };
char const *const KindNames[KindCount] = {"position", "rotation", "scale/shear", "vector"};

struct settings {
    kelvo_real32 Tolerance[KindCount] = {0.01f, 0.0001f, 0.001f, 0.01f};
    kv2::crc_mismatch Crc = kv2::crc_mismatch::Refuse;
    std::vector<kelvo_data_type_definition const *> Formats;
};

int Usage() {
    fprintf(stderr, "kv2: compress needs FILE OUT [--tolerance POS,ROT,SCALE] [--formats LIST] "
                    "[--ignore-crc]\n"
                    "     (LIST: comma-separated curve formats such as D3K16uC16u,D4nK16uC15u)\n");
    return 2;
}

bool ParseTolerances(char const *Text, settings &Settings) {
    float Values[3];
    char Tail;
    if (sscanf(Text, "%f,%f,%f%c", &Values[0], &Values[1], &Values[2], &Tail) != 3) {
        return false;
    }
    for (float Value : Values) {
        if (!(Value >= 0.0f) || !isfinite(Value)) {
            return false;
        }
    }
    Settings.Tolerance[Position] = Settings.Tolerance[Vector] = Values[0];
    Settings.Tolerance[Orientation] = Values[1];
    Settings.Tolerance[ScaleShear] = Values[2];
    return true;
}

bool ParseFormats(std::string const &List, settings &Settings) {
    size_t Start = 0;
    while (Start <= List.size()) {
        size_t End = List.find(',', Start);
        std::string Name = List.substr(Start, End == std::string::npos ? End : End - Start);
        format_name const *Found = nullptr;
        for (format_name const &Format : KnotFormats) {
            Found = Name == Format.Name ? &Format : Found;
        }
        if (!Found) {
            fprintf(stderr, "kv2: compress: unknown curve format '%s'\n", Name.c_str());
            return false;
        }
        Settings.Formats.push_back(*Found->Type);
        if (End == std::string::npos) {
            break;
        }
        Start = End + 1;
    }
    return true;
}

struct totals {
    long long Before = 0;
    long long After = 0;
    double LargestError[KindCount] = {};
};

// One animation's refit: a solver for its length and the samples of one curve.
class compressor {
  public:
    compressor(settings const &Settings, kelvo_animation const &Animation)
        : Settings(Settings), Step(Animation.TimeStep),
          SampleCount((kelvo_int32)floor(Animation.Duration / Animation.TimeStep + 0.5) + 1),
          Solver(KelvoAllocateBSplineSolver(3, SampleCount, 9)) {}
    ~compressor() { KelvoDeallocateBSplineSolver(Solver); }
    compressor(compressor const &) = delete;
    compressor &operator=(compressor const &) = delete;

    bool Ready() const { return Solver != nullptr; }

    // Replaces Curve by its refit (kept alive in Made); false when it failed.
    bool Refit(kelvo_curve2 &Curve, curve_kind Kind, kelvo_int32 Dimension, totals &Totals,
               std::vector<kelvo_curve2 *> &Made) {
        if (!Curve.CurveData.Object || KelvoCurveIsIdentity(&Curve)) {
            return true;
        }
        Sample(Curve, Kind, Dimension);
        compress_curve_parameters Params = {};
        Params.DesiredDegree = 3;
        Params.AllowDegreeReduction = true;
        Params.ErrorTolerance = Settings.Tolerance[Kind];
        Params.PossibleCompressionTypes =
            const_cast<kelvo_data_type_definition const **>(Settings.Formats.data());
        Params.PossibleCompressionTypesCount = (kelvo_int32)Settings.Formats.size();
        Params.ConstantCompressionType = Dimension == 3   ? KelvoCurveDataD3Constant32fType
                                         : Dimension == 4 ? KelvoCurveDataD4Constant32fType
                                                          : KelvoCurveDataDaConstant32fType;
        Params.IdentityVector = IdentityOf(Kind);
        Params.IdentityCompressionType =
            Params.IdentityVector ? KelvoCurveDataDaIdentityType : nullptr;
        kelvo_uint32 Flags =
            BSplineSolverExtraDOFKnotZero | BSplineSolverAllowReduceKeys |
            (Kind == Orientation ? (kelvo_uint32)BSplineSolverEvaluateAsQuaternions : 0u);
        kelvo_curve2 *Fitted = KelvoCompressCurve(Solver, Flags, &Params, Samples.data(), Dimension,
                                                  SampleCount, Step, nullptr);
        if (!Fitted) {
            return false;
        }
        bspline_error Error;
        KelvoGetSquaredErrorOverCurve(Flags, KelvoCurveGetDegree(Fitted), Dimension,
                                      (SampleCount - 1) * Step, Fitted, SampleCount, Samples.data(),
                                      Params.IdentityVector, &Error);
        double Largest = sqrt((double)Error.MaximumSquaredError);
        Totals.LargestError[Kind] =
            Largest > Totals.LargestError[Kind] ? Largest : Totals.LargestError[Kind];
        Totals.Before += KelvoCurveGetSize(&Curve);
        Totals.After += KelvoCurveGetSize(Fitted);
        Made.push_back(Fitted);
        Curve = *Fitted;
        return true;
    }

  private:
    static kelvo_real32 const *IdentityOf(curve_kind Kind) {
        return Kind == Position      ? KelvoCurveIdentityPosition
               : Kind == Orientation ? KelvoCurveIdentityOrientation
               : Kind == ScaleShear  ? KelvoCurveIdentityScaleShear
                                     : nullptr;
    }

    void Sample(kelvo_curve2 const &Curve, curve_kind Kind, kelvo_int32 Dimension) {
        Samples.assign((size_t)SampleCount * Dimension, 0.0f);
        kelvo_real32 const Duration = (SampleCount - 1) * Step;
        kelvo_int32 KnotCount = KelvoCurveGetKnotCount(&Curve);
        for (kelvo_int32 Index = 0; Index < SampleCount; ++Index) {
            kelvo_real32 *Value = &Samples[(size_t)Index * Dimension];
            if (KelvoCurveIsKeyframed(&Curve)) {
                kelvo_int32 Frame = Index < KnotCount ? Index : KnotCount - 1;
                KelvoCurveExtractKnotValue(&Curve, Frame, Value, IdentityOf(Kind));
            } else {
                KelvoEvaluateCurveAtT(Dimension, Kind == Orientation, false, &Curve, false,
                                      Duration, (kelvo_real32)Index * Step, Value,
                                      IdentityOf(Kind));
            }
            if (Kind == Orientation) {
                Normalize(Value, Index > 0 ? Value - 4 : nullptr);
            }
        }
    }

    // Unit length, in the hemisphere of the previous sample so the fit sees
    // a continuous rotation.
    static void Normalize(kelvo_real32 *Q, kelvo_real32 const *Previous) {
        kelvo_real32 Length = sqrtf(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
        kelvo_real32 Scale = Length > 0.0f ? 1.0f / Length : 0.0f;
        if (Previous &&
            Q[0] * Previous[0] + Q[1] * Previous[1] + Q[2] * Previous[2] + Q[3] * Previous[3] < 0) {
            Scale = -Scale;
        }
        for (int Component = 0; Component < 4; ++Component) {
            Q[Component] *= Scale;
        }
    }

    settings const &Settings;
    kelvo_real32 Step;
    kelvo_int32 SampleCount;
    bspline_solver *Solver;
    std::vector<kelvo_real32> Samples;
};

bool RefitTrack(compressor &Compressor, kelvo_transform_track &Track, totals &Totals,
                std::vector<kelvo_curve2 *> &Made) {
    return Compressor.Refit(Track.PositionCurve, Position, 3, Totals, Made) &&
           Compressor.Refit(Track.OrientationCurve, Orientation, 4, Totals, Made) &&
           Compressor.Refit(Track.ScaleShearCurve, ScaleShear, 9, Totals, Made);
}

bool RefitGroup(compressor &Compressor, kelvo_track_group &Group, totals &Totals,
                std::vector<kelvo_curve2 *> &Made) {
    for (kelvo_int32 Index = 0; Index < Group.TransformTrackCount; ++Index) {
        if (!RefitTrack(Compressor, Group.TransformTracks[Index], Totals, Made)) {
            return false;
        }
    }
    if (Group.RootMotion && !RefitTrack(Compressor, *Group.RootMotion, Totals, Made)) {
        return false;
    }
    for (kelvo_int32 Index = 0; Index < Group.VectorTrackCount; ++Index) {
        kelvo_vector_track &Track = Group.VectorTracks[Index];
        if (!Compressor.Refit(Track.ValueCurve, Vector, Track.Dimension, Totals, Made)) {
            return false;
        }
    }
    return true;
}

// Refits every animation's groups in the loaded tree and writes it.
bool Compress(char const *In, char const *Temporary, settings const &Settings,
              std::string &Reason) {
    kelvo_file *File = kv2::LoadValidFile(In, Settings.Crc, Reason);
    kelvo_file_info *Info = File ? KelvoGetFileInfo(File) : nullptr;
    if (!Info) {
        if (File) {
            KelvoFreeFile(File);
        }
        return false;
    }
    std::vector<kelvo_curve2 *> Made;
    std::set<kelvo_track_group *> Done;
    bool Refitted = true;
    for (kelvo_int32 Index = 0; Refitted && Index < Info->AnimationCount; ++Index) {
        kelvo_animation *Animation = Info->Animations[Index];
        if (!Animation) {
            continue;
        }
        if (!(Animation->TimeStep > 0.0f) || !(Animation->Duration >= Animation->TimeStep) ||
            Animation->Duration / Animation->TimeStep > 1.0e6f) {
            printf("%s: skipped (time step %g over %g seconds cannot be sampled)\n",
                   Animation->Name ? Animation->Name : "(unnamed)", Animation->TimeStep,
                   Animation->Duration);
            continue;
        }
        compressor Compressor(Settings, *Animation);
        totals Totals;
        Refitted = Compressor.Ready();
        for (kelvo_int32 Group = 0; Refitted && Group < Animation->TrackGroupCount; ++Group) {
            kelvo_track_group *TrackGroup = Animation->TrackGroups[Group];
            if (TrackGroup && Done.insert(TrackGroup).second) {
                Refitted = RefitGroup(Compressor, *TrackGroup, Totals, Made);
            }
        }
        if (Refitted) {
            printf("%s: %lld -> %lld bytes, largest error: position %.6g, rotation %.6g, "
                   "scale/shear %.6g, vector %.6g\n",
                   Animation->Name ? Animation->Name : "(unnamed)", Totals.Before, Totals.After,
                   Totals.LargestError[Position], Totals.LargestError[Orientation],
                   Totals.LargestError[ScaleShear], Totals.LargestError[Vector]);
        }
    }
    bool Written = false;
    if (Refitted) {
        kelvo_file_data_tree_writer *Writer =
            KelvoBeginFileDataTreeWriting(KelvoFileInfoType, Info, 0, 0);
        if (Writer) {
            Written = KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag,
                                               KelvoKVNFileMV_ThisPlatform, Temporary, 1);
            KelvoEndFileDataTreeWriting(Writer);
        }
    } else {
        Reason = "a curve could not be refitted";
    }
    for (kelvo_curve2 *Curve : Made) {
        KelvoFreeCurve(Curve);
    }
    KelvoFreeFile(File);
    return Written;
}

} // namespace

int RunCompress(int ArgumentCount, char **Arguments) {
    if (ArgumentCount < 2) {
        return Usage();
    }
    settings Settings;
    bool Valid = kv2::WalkRewriteOptions(
        ArgumentCount, Arguments, Settings.Crc, [&](char const *Name, char const *Value) {
            if (strcmp(Name, "--tolerance") == 0) {
                return ParseTolerances(Value, Settings);
            }
            return strcmp(Name, "--formats") == 0 && Settings.Formats.empty() &&
                   ParseFormats(Value, Settings);
        });
    if (!Valid) {
        return Usage();
    }
    if (Settings.Formats.empty()) {
        for (format_name const &Format : KnotFormats) {
            Settings.Formats.push_back(*Format.Type);
        }
    }
    return kv2::RewriteFile(Arguments[0], Arguments[1], Settings.Crc, "compress",
                            [&](char const *Temporary, std::string &Reason) {
                                return Compress(Arguments[0], Temporary, Settings, Reason);
                            });
}
