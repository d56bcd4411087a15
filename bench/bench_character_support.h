// The character the animation-playing benchmarks share: a 67-bone chain with
// animations of cubic curves on every bone, and the per-bone rate counter.
#ifndef BENCH_CHARACTER_SUPPORT_H
#define BENCH_CHARACTER_SUPPORT_H

#include "bench_curves_support.h"
#include "kelvo2.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

constexpr int BoneCount = 67;

// A chain skeleton and ClipCount (at most four) animations of it, each with cubic position
// and orientation curves on every bone.
struct character {
    std::vector<std::string> Names;
    std::vector<kelvo_curve2 *> Curves;
    kelvo_curve2 *Identity;
    std::vector<kelvo_bone> Bones;
    static constexpr int MaxClips = 4;
    std::vector<kelvo_transform_track> Tracks[MaxClips];
    kelvo_track_group Groups[MaxClips] = {};
    kelvo_track_group_slot Slots[MaxClips];
    kelvo_animation Animations[MaxClips] = {};
    kelvo_skeleton Skeleton = {};
    kelvo_model Model = {};

    explicit character(int ClipCount = 3) : Names(BoneCount), Bones(BoneCount) {
        ClipCount = std::min(ClipCount, MaxClips);
        kelvo_curve_builder *Builder = KelvoBeginCurve(KelvoCurveDataDaIdentityType, 0, 9, 0);
        Identity = KelvoEndCurve(Builder);
        for (int Index = 0; Index < BoneCount; ++Index) {
            char Name[32];
            std::snprintf(Name, sizeof(Name), "bone_%03d", Index);
            Names[(size_t)Index] = Name;
            kelvo_bone &Bone = Bones[(size_t)Index];
            Bone = {};
            Bone.Name = Names[(size_t)Index].c_str();
            Bone.ParentIndex = Index - 1;
            KelvoMakeIdentity(&Bone.Transform);
            Bone.Transform.Position[1] = 1.0f;
            Bone.Transform.Flags = KelvoHasPosition;
            float const I[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -(float)Index, 0, 1};
            std::copy(I, I + 16, Bone.InverseWorldTransform);
        }
        for (int Clip = 0; Clip < ClipCount; ++Clip) {
            for (int Index = 0; Index < BoneCount; ++Index) {
                std::vector<float> Positions, Orientations;
                for (int Knot = 0; Knot < 16; ++Knot) {
                    float Angle = 0.1f * (float)(Knot + Index) + (float)Clip;
                    Positions.insert(Positions.end(), {0.1f * std::sin(Angle), 1.0f, 0.0f});
                    Orientations.insert(Orientations.end(),
                                        {0.0f, std::sin(Angle / 4), 0.0f, std::cos(Angle / 4)});
                }
                Curves.push_back(BuildCubicCurve(3, Positions, 16));
                Curves.push_back(BuildCubicCurve(4, Orientations, 16));
                Tracks[Clip].push_back({Names[(size_t)Index].c_str(), 0, *Curves[Curves.size() - 1],
                                        *Curves[Curves.size() - 2], *Identity});
            }
            Groups[Clip].Name = "hero";
            Groups[Clip].TransformTrackCount = BoneCount;
            Groups[Clip].TransformTracks = Tracks[Clip].data();
            Groups[Clip].AccumulationFlags = KELVO_TRACK_GROUP_IS_SORTED;
            KelvoMakeIdentity(&Groups[Clip].InitialPlacement);
            Slots[Clip] = &Groups[Clip];
            Animations[Clip] = {"clip", 1.0f, 1.0f / 30, 1.0f, 1, &Slots[Clip]};
        }
        Skeleton = {"hero", BoneCount, Bones.data(), 0};
        Model.Name = "hero";
        Model.Skeleton = &Skeleton;
        KelvoMakeIdentity(&Model.InitialPlacement);
    }
    ~character() {
        for (kelvo_curve2 *Curve : Curves)
            KelvoFreeCurve(Curve);
        KelvoFreeCurve(Identity);
    }
};

inline void PerBone(benchmark::State &State) {
    NanosecondsPer(State, "ns_per_bone", BoneCount);
}

#endif
