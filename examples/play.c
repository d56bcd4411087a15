/* The road of a frame: load a file, take its file info, instantiate its
   first model, play the first animation made for it, and at each time given
   set the clock, sample into a local pose and build the world pose with its
   composites. Prints every bone's world position as `kv2 play` does.
   Usage: play FILE TIME... */
#include <kelvo2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintPositions(float Time, kelvo_skeleton const *Skeleton,
                           kelvo_world_pose const *World) {
    int Width = 0;
    kelvo_int32 Bone;
    for (Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        char const *Name = Skeleton->Bones[Bone].Name;
        int Length = Name ? (int)strlen(Name) : 0;
        Width = Length > Width ? Length : Width;
    }
    printf("t=%.4f\n", Time);
    for (Bone = 0; Bone < Skeleton->BoneCount; ++Bone) {
        kelvo_real32 const *M = KelvoGetWorldPose4x4(World, Bone);
        char const *Name = Skeleton->Bones[Bone].Name;
        printf("  %-*s %10.4f %10.4f %10.4f\n", Width, Name ? Name : "", M[12], M[13], M[14]);
    }
}

int main(int ArgumentCount, char **Arguments) {
    kelvo_file *File;
    kelvo_file_info *Info;
    kelvo_model const *Model;
    kelvo_animation const *Animation = NULL;
    kelvo_model_instance *Instance;
    kelvo_control *Control;
    kelvo_local_pose *LocalPose;
    kelvo_world_pose *WorldPose;
    kelvo_int32 BoneCount, Index;
    int Argument;

    if (ArgumentCount < 2) {
        fprintf(stderr, "usage: play FILE TIME...\n");
        return 2;
    }
    File = KelvoReadEntireFile(Arguments[1]);
    Info = File ? KelvoGetFileInfo(File) : NULL;
    if (!Info || Info->ModelCount < 1 || !Info->Models || !Info->Models[0]) {
        fprintf(stderr, "play: %s has no model\n", Arguments[1]);
        if (File)
            KelvoFreeFile(File);
        return 1;
    }
    Model = Info->Models[0];
    for (Index = 0; Info->Animations && Index < Info->AnimationCount && !Animation; ++Index) {
        if (KelvoFindTrackGroupForModel(Info->Animations[Index], Model, NULL))
            Animation = Info->Animations[Index];
    }
    if (!Animation) {
        fprintf(stderr, "play: %s has no animation for its model\n", Arguments[1]);
        KelvoFreeFile(File);
        return 1;
    }

    BoneCount = Model->Skeleton->BoneCount;
    Instance = KelvoInstantiateModel(Model);
    Control = KelvoPlayControlledAnimation(0.0f, Animation, Instance);
    LocalPose = KelvoNewLocalPose(BoneCount);
    WorldPose = KelvoNewWorldPose(BoneCount);
    for (Argument = 2; Control && Argument < ArgumentCount; ++Argument) {
        float Time = (float)atof(Arguments[Argument]);
        KelvoSetModelClock(Instance, Time);
        KelvoSampleModelAnimations(Instance, 0, BoneCount, LocalPose);
        KelvoBuildWorldPose(Model->Skeleton, 0, BoneCount, LocalPose, NULL, WorldPose);
        PrintPositions(Time, Model->Skeleton, WorldPose);
    }

    KelvoFreeWorldPose(WorldPose);
    KelvoFreeLocalPose(LocalPose);
    if (Control)
        KelvoFreeControl(Control);
    KelvoFreeModelInstance(Instance);
    KelvoFreeFile(File);
    return Control ? 0 : 1;
}
