// Track lookups, binding builds and track sampling, in one run each beside
// its reference:
// - KelvoFindTrackByName over a sorted 100-track group (halving search)
//   beside the same group unsorted (linear scan), ns per lookup;
// - building (and freeing) an animation binding for a 67-bone skeleton
//   beside the 67 name lookups it makes, ns per build;
// - sampling 67 tracks of animated position and orientation into world
//   matrices with the general sampler and with the specialized sampler the
//   binding picks for them, ns per bone.
#include "bench_curves_support.h"
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct curve_deleter {
    void operator()(kelvo_curve2 *Curve) const { KelvoFreeCurve(Curve); }
};
using owned_curve = std::unique_ptr<kelvo_curve2, curve_deleter>;

// Tracks named bone_000 ... in sorted order, each with animated position and
// orientation curves, and a chain skeleton of the same names.
struct scene {
    std::vector<std::string> Names;
    std::vector<owned_curve> Curves;
    owned_curve Identity;
    std::vector<kelvo_transform_track> Tracks;
    std::vector<kelvo_bone> Bones;
    kelvo_track_group Group = {};
    kelvo_track_group_slot Slot = &Group;
    kelvo_skeleton Skeleton = {};
    kelvo_model Model = {};
    kelvo_animation Animation = {};

    explicit scene(int Count) : Names((size_t)Count), Tracks((size_t)Count), Bones((size_t)Count) {
        kelvo_curve_builder *Builder = KelvoBeginCurve(KelvoCurveDataDaIdentityType, 0, 9, 0);
        Identity.reset(KelvoEndCurve(Builder));
        for (int Index = 0; Index < Count; ++Index) {
            char Name[32];
            std::snprintf(Name, sizeof(Name), "bone_%03d", Index);
            Names[(size_t)Index] = Name;
            std::vector<float> Positions, Orientations;
            for (int Knot = 0; Knot < 16; ++Knot) {
                float Angle = 0.1f * (float)(Knot + Index);
                Positions.insert(Positions.end(), {std::sin(Angle), 1.0f, std::cos(Angle)});
                Orientations.insert(Orientations.end(),
                                    {0.0f, std::sin(Angle / 2), 0.0f, std::cos(Angle / 2)});
            }
            Curves.emplace_back(BuildCubicCurve(3, Positions, 16));
            Curves.emplace_back(BuildCubicCurve(4, Orientations, 16));
            kelvo_transform_track &Track = Tracks[(size_t)Index];
            Track = {Names[(size_t)Index].c_str(), 0, *Curves.back(), *Curves[Curves.size() - 2],
                     *Identity};
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.Name = Names[(size_t)Index].c_str();
            Bone.ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bone.Transform);
        }
        Group.Name = "bench";
        Group.TransformTrackCount = Count;
        Group.TransformTracks = Tracks.data();
        Group.AccumulationFlags = KELVO_TRACK_GROUP_IS_SORTED;
        Skeleton = {"bench", Count, Bones.data(), 0};
        Model.Skeleton = &Skeleton;
        Animation = {"bench", 1.0f, 1.0f / 30, 1.0f, 1, &Slot};
    }
};

void PerItem(benchmark::State &State, int Count, char const *Name) {
    State.counters[Name] =
        benchmark::Counter((double)State.iterations() * Count,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void FindTrack(benchmark::State &State, bool Sorted) {
    scene Scene(100);
    Scene.Group.AccumulationFlags = Sorted ? KELVO_TRACK_GROUP_IS_SORTED : 0;
    for (auto _ : State) {
        for (std::string const &Name : Scene.Names) {
            kelvo_int32 Index;
            KelvoFindTrackByName(&Scene.Group, Name.c_str(), &Index);
            benchmark::DoNotOptimize(Index);
        }
    }
    PerItem(State, 100, "ns_per_lookup");
}

BENCHMARK_CAPTURE(FindTrack, Sorted, true)->Name("FindTrackSorted");
BENCHMARK_CAPTURE(FindTrack, LinearReference, false)->Name("FindTrackLinearReference");

void BuildBinding67(benchmark::State &State) {
    scene Scene(67);
    kelvo_animation_binding_identifier ID;
    KelvoMakeDefaultAnimationBindingID(&ID, &Scene.Animation, 0);
    ID.OnModel = &Scene.Model;
    KelvoSetMaximumAnimationBindingCount(0); // every release frees: each acquire builds
    for (auto _ : State) {
        kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
        benchmark::DoNotOptimize(Binding);
        KelvoReleaseAnimationBinding(Binding);
    }
    PerItem(State, 1, "ns_per_build");
}
BENCHMARK(BuildBinding67);

void BindingLookupsReference(benchmark::State &State) {
    scene Scene(67);
    for (auto _ : State) {
        for (kelvo_bone const &Bone : Scene.Bones) {
            kelvo_int32 Index;
            KelvoFindTrackByName(&Scene.Group, Bone.Name, &Index);
            benchmark::DoNotOptimize(Index);
        }
    }
    PerItem(State, 1, "ns_per_build");
}
BENCHMARK(BindingLookupsReference);

void Sample67(benchmark::State &State, bool General) {
    scene Scene(67);
    kelvo_animation_binding_identifier ID;
    KelvoMakeDefaultAnimationBindingID(&ID, &Scene.Animation, 0);
    ID.OnModel = &Scene.Model;
    kelvo_animation_binding *Binding = KelvoAcquireAnimationBindingFromID(&ID);
    kelvo_track_sampler *Uniform = KelvoGetTrackSamplerUUU();
    std::vector<float> Worlds(67 * 16), Composites(67 * 16);
    float Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float Clock = 0;
    for (auto _ : State) {
        kelvo_sample_context Context = {Clock, 1.0f, true, true, 0};
        Clock = Clock > 0.99f ? 0 : Clock + 0.013f;
        for (int Bone = 0; Bone < 67; ++Bone) {
            kelvo_bound_transform_track const &Track = Binding->TrackBindings[Bone];
            kelvo_transform Local;
            float const *Parent = Bone ? &Worlds[(size_t)(Bone - 1) * 16] : Identity;
            (General ? Uniform : Track.Sampler)(&Context, Track.SourceTrack, &Track, &Local,
                                                Identity, Parent, &Worlds[(size_t)Bone * 16],
                                                &Composites[(size_t)Bone * 16]);
        }
        benchmark::ClobberMemory();
    }
    PerItem(State, 67, "ns_per_bone");
    KelvoReleaseAnimationBinding(Binding);
}

BENCHMARK_CAPTURE(Sample67, Specialized, false)->Name("SampleSpecialized");
BENCHMARK_CAPTURE(Sample67, GeneralReference, true)->Name("SampleGeneralReference");

} // namespace

BENCHMARK_MAIN();
