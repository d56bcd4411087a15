// kv2 compress: refits every curve of every animated track group. Each
// track is sampled at its animation's time step, the samples are fitted and
// compressed into the smallest allowed format within the tolerance of its
// kind, and the file is written with the new curves. Identity curves stay.
#include "kv2_commands.h"
#include "kv2_files.h"
#include "kv2_fitting.h"

#include "kelvo2.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

using kv2::curve_kind;
constexpr curve_kind Position = kv2::PositionCurve, Orientation = kv2::OrientationCurve,
                     ScaleShear = kv2::ScaleShearCurve, Vector = kv2::VectorCurve;
constexpr int KindCount = kv2::CurveKindCount;

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
        double Largest = 0;
        kelvo_curve2 *Fitted =
            kv2::FitSamples(Solver, Kind, 3, Settings.Tolerance[Kind], Settings.Formats,
                            Samples.data(), Dimension, SampleCount, Step, &Largest);
        if (!Fitted) {
            return false;
        }
        Totals.LargestError[Kind] =
            Largest > Totals.LargestError[Kind] ? Largest : Totals.LargestError[Kind];
        Totals.Before += KelvoCurveGetSize(&Curve);
        Totals.After += KelvoCurveGetSize(Fitted);
        Made.push_back(Fitted);
        Curve = *Fitted;
        return true;
    }

  private:
    void Sample(kelvo_curve2 const &Curve, curve_kind Kind, kelvo_int32 Dimension) {
        Samples.assign((size_t)SampleCount * Dimension, 0.0f);
        kelvo_real32 const Duration = (SampleCount - 1) * Step;
        kelvo_int32 KnotCount = KelvoCurveGetKnotCount(&Curve);
        for (kelvo_int32 Index = 0; Index < SampleCount; ++Index) {
            kelvo_real32 *Value = &Samples[(size_t)Index * Dimension];
            if (KelvoCurveIsKeyframed(&Curve)) {
                kelvo_int32 Frame = Index < KnotCount ? Index : KnotCount - 1;
                KelvoCurveExtractKnotValue(&Curve, Frame, Value, kv2::IdentityOf(Kind));
            } else {
                KelvoEvaluateCurveAtT(Dimension, Kind == Orientation, false, &Curve, false,
                                      Duration, (kelvo_real32)Index * Step, Value,
                                      kv2::IdentityOf(Kind));
            }
            if (Kind == Orientation) {
                kv2::MakeContinuousQuaternion(Value, Index > 0 ? Value - 4 : nullptr);
            }
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
                   kv2::ParseCurveFormats(Value, Settings.Formats);
        });
    if (!Valid) {
        return Usage();
    }
    if (Settings.Formats.empty()) {
        Settings.Formats = kv2::AllFittedFormats();
    }
    return kv2::RewriteFile(Arguments[0], Arguments[1], Settings.Crc, "compress",
                            [&](char const *Temporary, std::string &Reason) {
                                return Compress(Arguments[0], Temporary, Settings, Reason);
                            });
}
