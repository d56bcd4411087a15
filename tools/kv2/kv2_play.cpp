// kv2 play: instantiates a model of a file, plays an animation on it and
// prints the world position of every bone at the requested times, or runs a
// frame loop and reports the time per frame. The default is the first model
// and the first animation with a track group named for it. A second
// animation is blended in through a blend DAG (a weighted blend, or a
// crossfade masked to a bone's subtree), and a bone can be made to reach a
// point by two-bone inverse kinematics after sampling.
#include "kelvo2.h"
#include "kv2_commands.h"
#include "kv2_files.h"

#include <algorithm>
#include <chrono>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct play_options {
    char const *FileName = nullptr;
    char const *ModelName = nullptr;
    char const *AnimationName = nullptr;
    std::vector<float> Times;
    float FramesPerSecond = 0.0f;
    float Seconds = 0.0f;
    int LoopCount = 1;
    bool Stats = false;
    char const *BlendName = nullptr; // the second animation
    float Weight = 0.5f;             // of the second animation
    bool WeightGiven = false;
    char const *MaskBone = nullptr;
    char const *ReachBone = nullptr;
    float Reach[3] = {};
};

bool ParseNumber(char const *Text, float *Result) {
    char *End = nullptr;
    double Value = strtod(Text, &End);
    if (End == Text || *End || !(Value > -1e9 && Value < 1e9)) {
        return false;
    }
    *Result = (float)Value;
    return true;
}

bool ParseTimes(char const *Text, std::vector<float> &Times) {
    std::string List = Text;
    size_t Start = 0;
    for (;;) {
        size_t Comma = List.find(',', Start);
        float Time;
        if (!ParseNumber(List.substr(Start, Comma - Start).c_str(), &Time)) {
            return false;
        }
        Times.push_back(Time);
        if (Comma == std::string::npos) {
            return true;
        }
        Start = Comma + 1;
    }
}

// False, with the complaint printed, when the arguments are wrong.
bool ParseOptions(int Count, char **Arguments, play_options &Options) {
    for (int Index = 0; Index < Count; ++Index) {
        std::string Argument = Arguments[Index];
        bool HasValue = Index + 1 < Count;
        char const *Value = HasValue ? Arguments[Index + 1] : "";
        float Number = 0.0f;
        if (Argument == "--stats") {
            Options.Stats = true;
            continue;
        }
        if (Argument.rfind("--", 0) != 0) {
            if (Options.FileName) {
                fprintf(stderr, "kv2: play takes one FILE\n");
                return false;
            }
            Options.FileName = Arguments[Index];
            continue;
        }
        if (!HasValue) {
            fprintf(stderr, "kv2: %s needs a value\n", Argument.c_str());
            return false;
        }
        ++Index;
        if (Argument == "--model") {
            Options.ModelName = Value;
        } else if (Argument == "--animation") {
            Options.AnimationName = Value;
        } else if (Argument == "--at") {
            if (!ParseTimes(Value, Options.Times)) {
                fprintf(stderr, "kv2: --at needs times separated by commas\n");
                return false;
            }
        } else if (Argument == "--fps" && ParseNumber(Value, &Number) && Number > 0) {
            Options.FramesPerSecond = Number;
        } else if (Argument == "--seconds" && ParseNumber(Value, &Number) && Number >= 0) {
            Options.Seconds = Number;
        } else if (Argument == "--loop" && ParseNumber(Value, &Number) && Number >= 0 &&
                   Number == (float)(int)Number) {
            Options.LoopCount = (int)Number;
        } else if (Argument == "--blend") {
            Options.BlendName = Value;
        } else if (Argument == "--weight" && ParseNumber(Value, &Number) && Number >= 0 &&
                   Number <= 1) {
            Options.Weight = Number;
            Options.WeightGiven = true;
        } else if (Argument == "--mask-from") {
            Options.MaskBone = Value;
        } else if (Argument == "--reach" && Index + 1 < Count) {
            Options.ReachBone = Value;
            std::vector<float> Point;
            if (!ParseTimes(Arguments[++Index], Point) || Point.size() != 3) {
                fprintf(stderr, "kv2: --reach needs BONE X,Y,Z\n");
                return false;
            }
            std::copy(Point.begin(), Point.end(), Options.Reach);
        } else {
            fprintf(stderr, "kv2: play does not understand %s %s\n", Argument.c_str(), Value);
            return false;
        }
    }
    if (!Options.FileName) {
        fprintf(stderr, "kv2: play needs FILE\n");
        return false;
    }
    if ((Options.FramesPerSecond > 0) != (Options.Seconds > 0)) {
        fprintf(stderr, "kv2: --fps and --seconds go together\n");
        return false;
    }
    if ((Options.WeightGiven || Options.MaskBone) && !Options.BlendName) {
        fprintf(stderr, "kv2: --weight and --mask-from need --blend\n");
        return false;
    }
    return true;
}

bool Named(char const *Name, char const *Wanted) {
    return !Wanted || (Name && !strcmp(Name, Wanted));
}

// The first animation of that name (any, when null) that animates the model.
kelvo_animation const *AnimationFor(kelvo_file_info const *Info, kelvo_model const *Model,
                                    char const *Name) {
    for (kelvo_int32 Index = 0; Info->Animations && Index < Info->AnimationCount; ++Index) {
        kelvo_animation const *Candidate = Info->Animations[Index];
        if (Candidate && Named(Candidate->Name, Name) &&
            KelvoFindTrackGroupForModel(Candidate, Model, nullptr)) {
            return Candidate;
        }
    }
    return nullptr;
}

// The model and animation to play, or a reason why there are none.
bool Choose(kelvo_file_info const *Info, play_options const &Options, kelvo_model const *&Model,
            kelvo_animation const *&Animation, std::string &Reason) {
    Model = nullptr;
    Animation = nullptr;
    for (kelvo_int32 Index = 0; Info->Models && Index < Info->ModelCount && !Model; ++Index) {
        if (Info->Models[Index] && Named(Info->Models[Index]->Name, Options.ModelName)) {
            Model = Info->Models[Index];
        }
    }
    if (!Model) {
        Reason =
            Options.ModelName ? "no model named " + std::string(Options.ModelName) : "no model";
        return false;
    }
    Animation = AnimationFor(Info, Model, Options.AnimationName);
    if (Animation) {
        return true;
    }
    Reason = "no animation" +
             (Options.AnimationName ? " named " + std::string(Options.AnimationName) : "") +
             " has a track group for the model " + (Model->Name ? Model->Name : "");
    return false;
}

void PrintPositions(float Time, kelvo_skeleton const *Skeleton, kelvo_world_pose const *World) {
    int Width = 0;
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        int Length = Skeleton->Bones[Bone].Name ? (int)strlen(Skeleton->Bones[Bone].Name) : 0;
        Width = Length > Width ? Length : Width;
    }
    printf("t=%.4f\n", Time);
    for (kelvo_int32 Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        float const *M = KelvoGetWorldPose4x4(World, Bone);
        char const *Name = Skeleton->Bones[Bone].Name;
        printf("  %-*s %10.4f %10.4f %10.4f\n", Width, Name ? Name : "", M[12], M[13], M[14]);
    }
}

kelvo_int32 BoneNamed(kelvo_skeleton const *Skeleton, char const *Name) {
    kelvo_int32 Bone = -1;
    return KelvoFindBoneByName(Skeleton, Name, &Bone) ? Bone : -1;
}

// What plays: one animation on an instance, or two on two instances of the
// model blended by a DAG; the frame's local and world poses.
struct scene {
    kelvo_skeleton const *Skeleton = nullptr;
    kelvo_int32 Bones = 0;
    kelvo_model_instance *Instances[2] = {};
    kelvo_control *Controls[2] = {};
    kelvo_blend_dag_node *Root = nullptr;
    kelvo_local_pose *Pose = nullptr;
    kelvo_world_pose *World = nullptr;
    kelvo_int32 ReachBone = -1;
    float const *Reach = nullptr;

    ~scene() {
        if (Root)
            KelvoFreeBlendDagEntireTree(Root);
        KelvoFreeBlendDagLocalPoseCache();
        if (World)
            KelvoFreeWorldPose(World);
        if (Pose)
            KelvoFreeLocalPose(Pose);
        for (int Index = 0; Index < 2; ++Index) {
            if (Controls[Index])
                KelvoFreeControl(Controls[Index]);
            if (Instances[Index])
                KelvoFreeModelInstance(Instances[Index]);
        }
    }

    bool Start(kelvo_model const *Model, kelvo_animation const *const Animations[2],
               play_options const &Options) {
        Skeleton = Model->Skeleton;
        Bones = Skeleton->BoneCount;
        for (int Index = 0; Index < 2 && Animations[Index]; ++Index) {
            Instances[Index] = KelvoInstantiateModel(Model);
            Controls[Index] =
                KelvoPlayControlledAnimation(0.0f, Animations[Index], Instances[Index]);
            if (!Controls[Index])
                return false;
            KelvoSetControlLoopCount(Controls[Index], Options.LoopCount);
        }
        Pose = KelvoNewLocalPose(Bones);
        World = KelvoNewWorldPose(Bones);
        if (!Pose || !World)
            return false;
        return !Animations[1] || MakeBlend(Options);
    }

    // Both leaves borrow their instances; the scene frees those.
    bool MakeBlend(play_options const &Options) {
        kelvo_blend_dag_node *Leaves[2] = {KelvoCreateBlendDagNodeAnimationBlend(Instances[0], 0),
                                           KelvoCreateBlendDagNodeAnimationBlend(Instances[1], 0)};
        if (!Leaves[0] || !Leaves[1]) {
            for (kelvo_blend_dag_node *Leaf : Leaves)
                if (Leaf)
                    KelvoFreeBlendDagNode(Leaf);
            return false;
        }
        if (Options.MaskBone) {
            kelvo_track_mask *Mask = KelvoNewTrackMask(0.0f, Bones);
            if (Mask) {
                KelvoSetSkeletonTrackMaskChainDownwards(Mask, Skeleton,
                                                        BoneNamed(Skeleton, Options.MaskBone), 1);
            }
            Root = KelvoCreateBlendDagNodeCrossfade(Leaves[0], Leaves[1], Options.Weight, 0.0f,
                                                    Mask, 1, 0);
            if (!Root && Mask)
                KelvoFreeTrackMask(Mask);
        } else {
            KelvoSetBlendDagNodeResultWeight(Leaves[0], 1 - Options.Weight);
            KelvoSetBlendDagNodeResultWeight(Leaves[1], Options.Weight);
            Root = KelvoCreateBlendDagNodeWeightedBlendChildren(Skeleton, 0.2f, 2, 0, 2, Leaves);
        }
        if (!Root) {
            for (kelvo_blend_dag_node *Leaf : Leaves)
                KelvoFreeBlendDagEntireTree(Leaf);
            return false;
        }
        return true;
    }

    // The knee bends in the plane the leg spans now, or across the goal's
    // direction when the leg is straight.
    void ReachOut() {
        kelvo_int32 const Knee = Skeleton->Bones[ReachBone].ParentIndex;
        kelvo_int32 const Hip = Skeleton->Bones[Knee].ParentIndex;
        float const *H = KelvoGetWorldPose4x4(World, Hip) + 12;
        float const *K = KelvoGetWorldPose4x4(World, Knee) + 12;
        float const *F = KelvoGetWorldPose4x4(World, ReachBone) + 12;
        float const A[3] = {K[0] - H[0], K[1] - H[1], K[2] - H[2]};
        float const B[3] = {F[0] - K[0], F[1] - K[1], F[2] - K[2]};
        float Normal[3] = {A[1] * B[2] - A[2] * B[1], A[2] * B[0] - A[0] * B[2],
                           A[0] * B[1] - A[1] * B[0]};
        if (Normal[0] * Normal[0] + Normal[1] * Normal[1] + Normal[2] * Normal[2] < 1e-10f) {
            float const D[3] = {Reach[0] - H[0], Reach[1] - H[1], Reach[2] - H[2]};
            int Least = 0;
            for (int Axis = 1; Axis < 3; ++Axis)
                Least = fabsf(D[Axis]) < fabsf(D[Least]) ? Axis : Least;
            Normal[0] = Normal[1] = Normal[2] = 0;
            Normal[Least] = 1;
        }
        KelvoIKUpdate2Bone(ReachBone, Reach, Normal, Skeleton, nullptr, Pose, World, 0.0f, 0.0f);
    }

    void Frame(float Time) {
        if (Root) {
            KelvoSetBlendDagTreeClock(Root, Time);
            kelvo_local_pose *Blended = KelvoSampleBlendDagTree(Root, Bones);
            if (Blended)
                KelvoCopyLocalPose(Blended, Pose);
        } else {
            KelvoSetModelClock(Instances[0], Time);
            KelvoSampleModelAnimations(Instances[0], 0, Bones, Pose);
        }
        KelvoBuildWorldPose(Skeleton, 0, Bones, Pose, nullptr, World);
        if (ReachBone >= 0)
            ReachOut();
    }
};

// The bones the options name must exist, and a reaching bone needs a
// parent and a grandparent.
bool BonesAreThere(kelvo_skeleton const *Skeleton, play_options const &Options,
                   std::string &Reason) {
    for (char const *Name : {Options.MaskBone, Options.ReachBone}) {
        if (Name && BoneNamed(Skeleton, Name) < 0) {
            Reason = "the skeleton has no bone named " + std::string(Name);
            return false;
        }
    }
    if (Options.ReachBone) {
        kelvo_int32 Bone = BoneNamed(Skeleton, Options.ReachBone);
        for (int Level = 0; Level < 2 && Bone >= 0; ++Level)
            Bone = Skeleton->Bones[Bone].ParentIndex;
        if (Bone < 0) {
            Reason = std::string("--reach needs a bone with a parent and a grandparent, and ") +
                     Options.ReachBone + " has not";
            return false;
        }
    }
    return true;
}

int Play(kelvo_file_info const *Info, play_options const &Options) {
    kelvo_model const *Model;
    kelvo_animation const *Animations[2] = {};
    std::string Reason;
    if (!Choose(Info, Options, Model, Animations[0], Reason) ||
        !BonesAreThere(Model->Skeleton, Options, Reason)) {
        return kv2::Refuse(Options.FileName, Reason);
    }
    if (Options.BlendName && !(Animations[1] = AnimationFor(Info, Model, Options.BlendName))) {
        return kv2::Refuse(Options.FileName, "no animation named " +
                                                 std::string(Options.BlendName) +
                                                 " has a track group for the model");
    }
    scene Scene;
    Scene.ReachBone = Options.ReachBone ? BoneNamed(Model->Skeleton, Options.ReachBone) : -1;
    Scene.Reach = Options.Reach;
    int Status = 0;
    if (!Scene.Start(Model, Animations, Options)) {
        Status = kv2::Refuse(Options.FileName, "the animation cannot be played");
    } else {
        kelvo_animation const *Animation = Animations[0];
        printf("model %s, animation %s (%.4f s)\n", Model->Name ? Model->Name : "",
               Animation->Name ? Animation->Name : "", Animation->Duration);
        if (Animations[1]) {
            printf("blended with %s, weight %.4f%s%s\n",
                   Animations[1]->Name ? Animations[1]->Name : "", Options.Weight,
                   Options.MaskBone ? ", from " : "", Options.MaskBone ? Options.MaskBone : "");
        }
        std::vector<float> Times = Options.Times;
        if (Times.empty() && Options.FramesPerSecond <= 0) {
            Times = {0.0f, 0.5f * Animation->Duration, Animation->Duration};
        }
        for (float Time : Times) {
            Scene.Frame(Time);
            PrintPositions(Time, Scene.Skeleton, Scene.World);
        }
        int Frames = (int)(Options.FramesPerSecond * Options.Seconds + 0.5f);
        if (Frames > 0) {
            auto Start = std::chrono::steady_clock::now();
            for (int Frame = 0; Frame < Frames; ++Frame) {
                Scene.Frame((float)Frame / Options.FramesPerSecond);
            }
            double Seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
            kelvo_int32 const Bones = Scene.Bones;
            printf("%d frames at %g fps: %.3f us/frame, %.1f ns/bone\n", Frames,
                   Options.FramesPerSecond, 1e6 * Seconds / Frames,
                   1e9 * Seconds / Frames / (Bones > 0 ? Bones : 1));
        }
    }
    if (Options.Stats) {
        kelvo_stats *Stats = KelvoCaptureCurrentStats(1);
        char **Lines = Stats ? KelvoDumpStatHUD(Stats) : nullptr;
        for (char **Line = Lines; Line && *Line; ++Line) {
            printf("%s\n", *Line);
        }
        KelvoFreeStatHUDDump(Lines);
        KelvoFreeStats(Stats);
    }
    return Status;
}

} // namespace

int RunPlay(int ArgumentCount, char **Arguments) {
    play_options Options;
    if (!ParseOptions(ArgumentCount, Arguments, Options)) {
        return 2;
    }
    std::string Reason;
    kelvo_file *File = kv2::LoadValidFile(Options.FileName, kv2::crc_mismatch::Warn, Reason);
    if (!File) {
        return kv2::Refuse(Options.FileName, Reason);
    }
    kelvo_file_info *Info = KelvoGetFileInfo(File);
    int Status = Info ? Play(Info, Options) : kv2::Refuse(Options.FileName, "it has no file info");
    KelvoFreeFile(File);
    return Status;
}
