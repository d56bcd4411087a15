// The frame of imported characters as `kv2 play` runs it, ns per bone per
// frame: advance the model clock by 1/60 s, sample the instance's
// animations into a local pose, build the world pose with composites. The
// curves are those kv2 import fits (the smallest format that holds each
// one, constant and identity curves for still components), so this is the
// path real content takes, unlike bench_controls' built cubic curves.
// Beside each character, in the same run:
// - Play3: three animations at once (the file's first three that animate
//   the model, or its first one three times at other clocks), weights 1,
//   1/2, 1/3, to compare with bench_controls' Frame3Animations;
// - WorldPoseOnly: the world pose with composites alone, same skeleton.
// Each file is imported once, outside the timed loops, to a temp file that
// is deleted as soon as it is loaded. The bound tracks' curve classes and
// formats go to stderr once per character.
#include "bench_support.h"
#include "kv2_import.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

char const *const Sources[] = {"mocap/walk.bvh", "characters/CesiumMan.glb",
                               "characters/RiggedFigure.glb"};

char const *const FormatNames[] = {"DaKeyframes32f", "DaK32fC32f",    "DaIdentity", "DaConstant32f",
                                   "D3Constant32f",  "D4Constant32f", "DaK16uC16u", "DaK8uC8u",
                                   "D4nK16uC15u",    "D4nK8uC7u",     "D3K16uC16u", "D3K8uC8u",
                                   "D9I1K16uC16u",   "D9I3K16uC16u",  "D9I1K8uC8u", "D9I3K8uC8u",
                                   "D3I1K32fC32f",   "D3I1K16uC16u",  "D3I1K8uC8u"};

// A loaded import: the file, its first model and the animations that have
// a track group for it.
struct imported {
    kelvo_file *File = nullptr;
    kelvo_model const *Model = nullptr;
    std::vector<kelvo_animation const *> Animations;
    std::string Reason;
    ~imported() {
        if (File)
            KelvoFreeFile(File);
    }
};

bool Exists(std::string const &Path) {
    struct stat Status;
    return stat(Path.c_str(), &Status) == 0;
}

void Load(imported &Result, char const *Source) {
    std::string In = std::string(KELVO_SOURCE_DIR) + "/../shared/data/" + Source;
    if (!Exists(In)) {
        Result.Reason = "../shared/data is absent: nothing to measure";
        return;
    }
    std::string Out = "/tmp/bench_play_imported_" + std::to_string(getpid()) + ".kv2";
    kv2::import_settings Settings;
    Settings.Progress = false;
    kv2::import_summary Summary;
    if (!kv2::ImportScene(In.c_str(), Out.c_str(), Settings, Summary, Result.Reason)) {
        unlink(Out.c_str());
        return;
    }
    Result.File = KelvoReadEntireFile(Out.c_str());
    unlink(Out.c_str());
    kelvo_file_info const *Info = Result.File ? KelvoGetFileInfo(Result.File) : nullptr;
    if (!Info || Info->ModelCount < 1 || !Info->Models || !Info->Models[0]) {
        Result.Reason = "the import has no model";
        return;
    }
    Result.Model = Info->Models[0];
    for (kelvo_int32 Index = 0; Info->Animations && Index < Info->AnimationCount; ++Index) {
        kelvo_animation const *Animation = Info->Animations[Index];
        if (Animation && KelvoFindTrackGroupForModel(Animation, Result.Model, nullptr)) {
            Result.Animations.push_back(Animation);
        }
    }
    if (Result.Animations.empty()) {
        Result.Reason = "no animation of the import animates its first model";
    }
}

imported const &Imported(char const *Source) {
    static std::map<std::string, std::unique_ptr<imported>> Cache;
    std::unique_ptr<imported> &Entry = Cache[Source];
    if (!Entry) {
        Entry = std::make_unique<imported>();
        Load(*Entry, Source);
    }
    return *Entry;
}

// Per component, how many bound tracks are of each class, and of which
// formats the animated and keyframed curves are.
void PrintCensus(char const *Source, kelvo_animation const *Animation,
                 kelvo_animation_binding const *Binding) {
    static char const *const Classes[] = {"identity", "constant", "keyframed", "animated"};
    static char const *const Components[] = {"position", "orientation", "scale/shear"};
    fprintf(stderr, "%s: %d bound tracks, %.3f s\n", Source, (int)Binding->TrackBindingCount,
            (double)Animation->Duration);
    for (int Component = 0; Component < 3; ++Component) {
        int Count[4] = {};
        std::map<std::string, int> Formats;
        double Knots = 0;
        for (kelvo_int32 Index = 0; Index < Binding->TrackBindingCount; ++Index) {
            kelvo_bound_transform_track const &Track = Binding->TrackBindings[Index];
            int Class = Track.Flags >> (2 * Component) & 3;
            ++Count[Class];
            kelvo_transform_track const *From = Track.SourceTrack;
            kelvo_curve2 const *Curve = !From            ? nullptr
                                        : Component == 0 ? &From->PositionCurve
                                        : Component == 1 ? &From->OrientationCurve
                                                         : &From->ScaleShearCurve;
            if (Class >= KelvoBoundCurveKeyframed && Curve && Curve->CurveData.Object) {
                Knots += KelvoCurveGetKnotCount(Curve);
                unsigned Format = *static_cast<kelvo_uint8 const *>(Curve->CurveData.Object);
                unsigned Degree = static_cast<kelvo_uint8 const *>(Curve->CurveData.Object)[1];
                ++Formats[std::string(Format < 19 ? FormatNames[Format] : "?") + " degree " +
                          std::to_string(Degree)];
            }
        }
        fprintf(stderr, "  %-11s", Components[Component]);
        for (int Class = 0; Class < 4; ++Class)
            fprintf(stderr, " %s %d", Classes[Class], Count[Class]);
        for (auto const &Format : Formats)
            fprintf(stderr, ", %s: %d", Format.first.c_str(), Format.second);
        if (Count[KelvoBoundCurveAnimated] > 0)
            fprintf(stderr, ", %.1f knots a curve", Knots / Count[KelvoBoundCurveAnimated]);
        fprintf(stderr, "\n");
    }
}

// Count controls looping on one instance of the import's model: its first
// Count animations, or its first one again at later clocks when it has
// fewer, with weights 1, 1/2, 1/3.
struct playing {
    kelvo_skeleton const *Skeleton;
    kelvo_int32 Bones;
    kelvo_model_instance *Instance;
    std::vector<kelvo_control *> Controls;
    kelvo_local_pose *Pose;
    kelvo_world_pose *World;
    playing(imported const &Import, int Count)
        : Skeleton(Import.Model->Skeleton), Bones(Skeleton->BoneCount),
          Instance(KelvoInstantiateModel(Import.Model)), Pose(KelvoNewLocalPose(Bones)),
          World(KelvoNewWorldPose(Bones)) {
        for (int Clip = 0; Clip < Count; ++Clip) {
            bool Own = Clip < (int)Import.Animations.size();
            kelvo_animation const *Animation = Import.Animations[Own ? Clip : 0];
            float Start = Own ? 0.0f : -Animation->Duration * (float)Clip / 3.0f;
            kelvo_control *Control = KelvoPlayControlledAnimation(Start, Animation, Instance);
            KelvoSetControlLoopCount(Control, 0);
            KelvoSetControlWeight(Control, 1.0f / (float)(Clip + 1));
            Controls.push_back(Control);
        }
    }
    ~playing() {
        for (kelvo_control *Control : Controls)
            KelvoFreeControl(Control);
        KelvoFreeModelInstance(Instance);
        KelvoFreeLocalPose(Pose);
        KelvoFreeWorldPose(World);
    }
    void Frame() {
        KelvoSampleModelAnimations(Instance, 0, Bones, Pose);
        KelvoBuildWorldPose(Skeleton, 0, Bones, Pose, nullptr, World);
    }
};

void PlayFrames(benchmark::State &State, char const *Source, int Count) {
    imported const &Import = Imported(Source);
    if (!Import.File || Import.Animations.empty()) {
        State.SkipWithError(Import.Reason.c_str());
        return;
    }
    playing Scene(Import, Count);
    static std::map<std::string, bool> Told;
    if (!Told[Source]) {
        Told[Source] = true;
        PrintCensus(
            Source, Import.Animations[0],
            KelvoGetAnimationBindingFromControlBinding(KelvoControlModelsBegin(Scene.Controls[0])));
    }
    float Clock = 0.0f;
    for (auto _ : State) {
        Clock += 1.0f / 60;
        KelvoSetModelClock(Scene.Instance, Clock);
        Scene.Frame();
        benchmark::ClobberMemory();
    }
    NanosecondsPer(State, "ns_per_bone", Scene.Bones);
    State.counters["bones"] = Scene.Bones;
}

void WorldPoseOnly(benchmark::State &State, char const *Source) {
    imported const &Import = Imported(Source);
    if (!Import.File || Import.Animations.empty()) {
        State.SkipWithError(Import.Reason.c_str());
        return;
    }
    playing Scene(Import, 1);
    KelvoSetModelClock(Scene.Instance, 0.5f);
    KelvoSampleModelAnimations(Scene.Instance, 0, Scene.Bones, Scene.Pose);
    for (auto _ : State) {
        KelvoBuildWorldPose(Scene.Skeleton, 0, Scene.Bones, Scene.Pose, nullptr, Scene.World);
        benchmark::ClobberMemory();
    }
    NanosecondsPer(State, "ns_per_bone", Scene.Bones);
    State.counters["bones"] = Scene.Bones;
}

int const Registered = [] {
    for (char const *Source : Sources) {
        std::string Name = strrchr(Source, '/') + 1;
        benchmark::RegisterBenchmark(("Play1/" + Name).c_str(), PlayFrames, Source, 1);
        benchmark::RegisterBenchmark(("Play3/" + Name).c_str(), PlayFrames, Source, 3);
        benchmark::RegisterBenchmark(("WorldPoseOnly/" + Name).c_str(), WorldPoseOnly, Source);
    }
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
