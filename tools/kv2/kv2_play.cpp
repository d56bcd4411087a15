// kv2 play: instantiates a model of a file, plays an animation on it and
// prints the world position of every bone at the requested times, or runs a
// frame loop and reports the time per frame. The default is the first model
// and the first animation with a track group named for it.
#include "kelvo2.h"
#include "kv2_commands.h"
#include "kv2_files.h"

#include <chrono>
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
    return true;
}

bool Named(char const *Name, char const *Wanted) {
    return !Wanted || (Name && !strcmp(Name, Wanted));
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
        Reason = Options.ModelName ? "no model named " + std::string(Options.ModelName)
                                   : "no model";
        return false;
    }
    for (kelvo_int32 Index = 0; Info->Animations && Index < Info->AnimationCount; ++Index) {
        kelvo_animation const *Candidate = Info->Animations[Index];
        if (Candidate && Named(Candidate->Name, Options.AnimationName) &&
            KelvoFindTrackGroupForModel(Candidate, Model, nullptr)) {
            Animation = Candidate;
            return true;
        }
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

int Play(kelvo_file_info const *Info, play_options const &Options) {
    kelvo_model const *Model;
    kelvo_animation const *Animation;
    std::string Reason;
    if (!Choose(Info, Options, Model, Animation, Reason)) {
        return kv2::Refuse(Options.FileName, Reason);
    }
    kelvo_skeleton const *Skeleton = Model->Skeleton;
    kelvo_int32 const Bones = Skeleton->BoneCount;
    kelvo_model_instance *Instance = KelvoInstantiateModel(Model);
    kelvo_control *Control = KelvoPlayControlledAnimation(0.0f, Animation, Instance);
    kelvo_local_pose *Pose = KelvoNewLocalPose(Bones);
    kelvo_world_pose *World = KelvoNewWorldPose(Bones);
    int Status = 0;
    if (!Instance || !Control || !Pose || !World) {
        Status = kv2::Refuse(Options.FileName, "the animation cannot be played");
    } else {
        KelvoSetControlLoopCount(Control, Options.LoopCount);
        printf("model %s, animation %s (%.4f s)\n", Model->Name ? Model->Name : "",
               Animation->Name ? Animation->Name : "", Animation->Duration);
        std::vector<float> Times = Options.Times;
        if (Times.empty() && Options.FramesPerSecond <= 0) {
            Times = {0.0f, 0.5f * Animation->Duration, Animation->Duration};
        }
        for (float Time : Times) {
            KelvoSetModelClock(Instance, Time);
            KelvoSampleModelAnimations(Instance, 0, Bones, Pose);
            KelvoBuildWorldPose(Skeleton, 0, Bones, Pose, nullptr, World);
            PrintPositions(Time, Skeleton, World);
        }
        int Frames = (int)(Options.FramesPerSecond * Options.Seconds + 0.5f);
        if (Frames > 0) {
            auto Start = std::chrono::steady_clock::now();
            for (int Frame = 0; Frame < Frames; ++Frame) {
                KelvoSetModelClock(Instance, (float)Frame / Options.FramesPerSecond);
                KelvoSampleModelAnimations(Instance, 0, Bones, Pose);
                KelvoBuildWorldPose(Skeleton, 0, Bones, Pose, nullptr, World);
            }
            double Seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
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
    if (World)
        KelvoFreeWorldPose(World);
    if (Pose)
        KelvoFreeLocalPose(Pose);
    if (Control)
        KelvoFreeControl(Control);
    if (Instance)
        KelvoFreeModelInstance(Instance);
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
