// The skeleton builder: exporters add bones in their own order with parents
// and rest transforms; finishing produces a skeleton whose parents precede
// their children and whose bones are ordered by non-increasing LODError.
// The builder trusts nothing it was given: parents that were never added
// and parenting cycles are reported and their bones made roots, so every
// walk up a parent chain ends.
#include "kelvo2/kelvo2_skeleton_builder.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"

#include <initializer_list>
#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoSkeletonLogMessage;
constexpr kelvo_int32 NoBone = -1;

struct builder_bone {
    kelvo_int32 ParentIndex;
    kelvo_transform LocalTransform;
    kelvo_real32 InverseWorldTransform[16];
    kelvo_real32 LODError; // negative until set
};

} // namespace

struct kelvo_skeleton_builder {
    kelvo_int32 AllottedBoneCount;
    kelvo_int32 UsedBoneCount;
    builder_bone *Bones;
    kelvo_int32 LODType;
    kelvo_int32 *Work;        // per bone: visit state, then final index
    kelvo_int32 *Order;       // input indices in output order
    kelvo_int32 *Chain;       // ancestors waiting to be emitted
    kelvo_real32 *Candidates; // measured LOD errors
};

namespace {

bool InDomain(kelvo_skeleton_builder const *Builder, kelvo_int32 BoneIndex) {
    return BoneIndex >= 0 && BoneIndex < Builder->AllottedBoneCount;
}

// What names the index in the report ("SetBoneParent bone index", ...).
bool CheckDomain(kelvo_skeleton_builder const *Builder, kelvo_int32 Index, char const *What) {
    if (InDomain(Builder, Index)) {
        return true;
    }
    Log(KelvoErrorLogMessage, Origin, "%s(%d): %s (%d) is out of specified bone domain (%d)",
        KELVO_HERE, What, Index, Builder->AllottedBoneCount);
    return false;
}

// Affine inverse of a row-vector composite: the 3x3 block inverted, the
// position row -p.M^-1, the last column (0, 0, 0, 1).
void InvertComposite(kelvo_real32 Result[16], kelvo_real32 const Composite[16]) {
    kelvo_real32 Block[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Block[Row * 3 + Column] = Composite[Row * 4 + Column];
        }
    }
    kelvo_real32 Inverse[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    kelvo::MatrixInvert3x3(Inverse, Block); // a singular block keeps the identity
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Result[Row * 4 + Column] = Inverse[Row * 3 + Column];
        }
        Result[Row * 4 + 3] = 0;
    }
    kelvo_real32 const *P = Composite + 12;
    for (int Column = 0; Column < 3; ++Column) {
        Result[12 + Column] =
            -(P[0] * Inverse[Column] + P[1] * Inverse[3 + Column] + P[2] * Inverse[6 + Column]);
    }
    Result[15] = 1;
}

// Parents that were set but never added become roots.
void DropMissingParents(kelvo_skeleton_builder *Builder) {
    for (kelvo_int32 Bone = 0; Bone < Builder->UsedBoneCount; ++Bone) {
        kelvo_int32 &Parent = Builder->Bones[Bone].ParentIndex;
        if (Parent >= Builder->UsedBoneCount) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): SetBoneParent parent index (%d) is out of specified bone domain (%d)",
                KELVO_HERE, Parent, Builder->UsedBoneCount);
            Parent = NoBone;
        }
    }
}

// Walks every chain the way emission does (roots, then the rest in input
// order); the first bone met again on a chain still being walked closes a
// cycle and becomes a root.
void BreakCycles(kelvo_skeleton_builder *Builder) {
    enum : kelvo_int32 { Unvisited = -1, Walking = -2, Done = -3 };
    kelvo_int32 *State = Builder->Work;
    for (kelvo_int32 Bone = 0; Bone < Builder->UsedBoneCount; ++Bone) {
        State[Bone] = Unvisited;
    }
    for (kelvo_int32 Bone = 0; Bone < Builder->UsedBoneCount; ++Bone) {
        kelvo_int32 At = Bone;
        while (At != NoBone && State[At] == Unvisited) {
            State[At] = Walking;
            At = Builder->Bones[At].ParentIndex;
        }
        kelvo_int32 Closing = At != NoBone && State[At] == Walking ? At : NoBone;
        for (At = Bone; At != NoBone && State[At] == Walking; At = Builder->Bones[At].ParentIndex) {
            State[At] = Done;
        }
        if (Closing != NoBone) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): Circular parenting chain located at bone %d",
                KELVO_HERE, Closing);
            Builder->Bones[Closing].ParentIndex = NoBone;
        }
    }
}

// Each bone's offset, carried up its chain through every ancestor's linear
// part, measures how far dropping that ancestor moves it.
void AssignLODErrors(kelvo_skeleton_builder *Builder) {
    kelvo_int32 const Count = Builder->UsedBoneCount;
    builder_bone *Bones = Builder->Bones;
    kelvo_real32 *Candidates = Builder->Candidates;
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        Candidates[Bone] = -1.0f;
    }
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        kelvo_real32 Carried[3];
        memcpy(Carried, Bones[Bone].LocalTransform.Position, sizeof(Carried));
        for (kelvo_int32 At = Bones[Bone].ParentIndex; At != NoBone; At = Bones[At].ParentIndex) {
            kelvo_real32 Length = kelvo::Length3(Carried);
            if (Candidates[At] < Length) {
                Candidates[At] = Length;
            }
            KelvoTransformVectorInPlace(Carried, &Bones[At].LocalTransform);
        }
    }
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        if (Bones[Bone].LODError < 0) {
            Bones[Bone].LODError = Candidates[Bone];
        } else {
            Builder->LODType = 2;
        }
    }
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        kelvo_int32 Parent = Bones[Bone].ParentIndex;
        if (Bones[Bone].LODError < 0) {
            Bones[Bone].LODError = Parent == NoBone ? 0.0f : Bones[Parent].LODError * 0.5f;
        }
        for (kelvo_int32 At = Parent; At != NoBone; At = Bones[At].ParentIndex) {
            if (Bones[At].LODError < Bones[Bone].LODError) {
                Bones[At].LODError = Bones[Bone].LODError;
            }
        }
    }
}

// Parents first: roots in input order, then every other bone in input order
// after its ancestors that are not out yet.
void OrderParentsFirst(kelvo_skeleton_builder *Builder) {
    kelvo_int32 const Count = Builder->UsedBoneCount;
    kelvo_int32 *Emitted = Builder->Work;
    kelvo_int32 OrderCount = 0;
    for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
        Emitted[Bone] = 0;
    }
    for (int Pass = 0; Pass < 2; ++Pass) {
        for (kelvo_int32 Bone = 0; Bone < Count; ++Bone) {
            bool IsRoot = Builder->Bones[Bone].ParentIndex == NoBone;
            if (Emitted[Bone] || IsRoot != (Pass == 0)) {
                continue;
            }
            kelvo_int32 ChainCount = 0;
            for (kelvo_int32 At = Bone; At != NoBone && !Emitted[At];
                 At = Builder->Bones[At].ParentIndex) {
                Builder->Chain[ChainCount++] = At;
            }
            while (ChainCount > 0) {
                kelvo_int32 Next = Builder->Chain[--ChainCount];
                Emitted[Next] = 1;
                Builder->Order[OrderCount++] = Next;
            }
        }
    }
}

// Stable: a bone moves before another only for a strictly larger error.
void SortByLODError(kelvo_skeleton_builder *Builder) {
    kelvo_int32 *Order = Builder->Order;
    for (kelvo_int32 Index = 1; Index < Builder->UsedBoneCount; ++Index) {
        kelvo_int32 Moving = Order[Index];
        kelvo_real32 Error = Builder->Bones[Moving].LODError;
        kelvo_int32 At = Index;
        while (At > 0 && Builder->Bones[Order[At - 1]].LODError < Error) {
            Order[At] = Order[At - 1];
            --At;
        }
        Order[At] = Moving;
    }
}

// Reservations only: the caller ends them with a size or a placement.
void PlanSkeleton(kelvo::aggr_allocator &Aggr, kelvo_int32 BoneCount, kelvo_skeleton **Skeleton,
                  kelvo_bone **Bones) {
    kelvo::AggrInit(Aggr);
    kelvo::AggrAllocPtr(Aggr, Skeleton, sizeof(kelvo_skeleton));
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, Bones);
}

void FreeBuilder(kelvo_skeleton_builder *Builder) {
    KELVO_DEALLOCATE(Builder);
}

// A bone's transform from its three parts, each refused when null ("Local"
// or "World" names them in the message, as the parameters are named).
bool SetTransform(kelvo_transform &Transform, char const *Which, kelvo_real32 const *Position,
                  kelvo_real32 const *Orientation, kelvo_real32 const *ScaleShear) {
    struct part {
        void const *Values;
        char const *Name;
    };
    for (part const &Part :
         {part{Position, "Position"}, {Orientation, "Orientation"}, {ScaleShear, "ScaleShear"}}) {
        if (!Part.Values) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): %s%s is not allowed to be 0", KELVO_HERE,
                Which, Part.Name);
            return false;
        }
    }
    KelvoSetTransformWithIdentityCheck(&Transform, Position, Orientation, ScaleShear);
    return true;
}

} // namespace

KELVO_API kelvo_skeleton_builder *KelvoBeginSkeleton(kelvo_int32 BoneCount) {
    KELVO_CHECK(BoneCount >= 0, Origin, nullptr);
    kelvo_skeleton_builder *Builder;
    builder_bone *Bones;
    kelvo_int32 *Work, *Order, *Chain;
    kelvo_real32 *Candidates;
    kelvo::aggr_allocator Aggr;
    kelvo::AggrInit(Aggr);
    kelvo::AggrAllocPtr(Aggr, &Builder, sizeof(kelvo_skeleton_builder));
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, &Bones);
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, &Work);
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, &Order);
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, &Chain);
    kelvo::AggrAllocArrayPtr(Aggr, BoneCount, &Candidates);
    if (!kelvo::EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    Builder->AllottedBoneCount = BoneCount;
    Builder->UsedBoneCount = 0;
    Builder->Bones = Bones;
    Builder->LODType = 1;
    Builder->Work = Work;
    Builder->Order = Order;
    Builder->Chain = Chain;
    Builder->Candidates = Candidates;
    for (kelvo_int32 Bone = 0; Bone < BoneCount; ++Bone) {
        Work[Bone] = -1;
        Bones[Bone].ParentIndex = NoBone;
        Bones[Bone].LODError = -1.0f;
        KelvoMakeIdentity(&Bones[Bone].LocalTransform);
    }
    return Builder;
}

KELVO_API void KelvoAddBoneWithInverse(kelvo_skeleton_builder *Builder,
                                       kelvo_real32 const LocalPosition[3],
                                       kelvo_real32 const LocalOrientation[4],
                                       kelvo_real32 const LocalScaleShear[9],
                                       kelvo_real32 const InverseWorld4x4[16]) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    kelvo_transform Local;
    if (!SetTransform(Local, "Local", LocalPosition, LocalOrientation, LocalScaleShear)) {
        return;
    }
    KELVO_CHECK_NOT_NULL(InverseWorld4x4, Origin, KELVO_NOTHING);
    if (Builder->UsedBoneCount >= Builder->AllottedBoneCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): AddBone called after all allotted bones were already used", KELVO_HERE);
        return;
    }
    builder_bone &Bone = Builder->Bones[Builder->UsedBoneCount++];
    Bone.LocalTransform = Local;
    memcpy(Bone.InverseWorldTransform, InverseWorld4x4, sizeof(Bone.InverseWorldTransform));
    Bone.ParentIndex = NoBone;
    Bone.LODError = -1.0f;
}

KELVO_API void KelvoAddBone(kelvo_skeleton_builder *Builder, kelvo_real32 const LocalPosition[3],
                            kelvo_real32 const LocalOrientation[4],
                            kelvo_real32 const LocalScaleShear[9],
                            kelvo_real32 const WorldPosition[3],
                            kelvo_real32 const WorldOrientation[4],
                            kelvo_real32 const WorldScaleShear[9]) {
    kelvo_transform World;
    if (!SetTransform(World, "World", WorldPosition, WorldOrientation, WorldScaleShear)) {
        return;
    }
    kelvo_real32 Composite[16], Inverse[16];
    KelvoBuildCompositeTransform4x4(&World, Composite);
    InvertComposite(Inverse, Composite);
    KelvoAddBoneWithInverse(Builder, LocalPosition, LocalOrientation, LocalScaleShear, Inverse);
}

KELVO_API void KelvoSetBoneParent(kelvo_skeleton_builder *Builder, kelvo_int32 BoneIndex,
                                  kelvo_int32 ParentIndex) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    // Below -1 is refused as well: it would read as a parent nowhere.
    if (!CheckDomain(Builder, BoneIndex, "SetBoneParent bone index") ||
        (ParentIndex != NoBone &&
         !CheckDomain(Builder, ParentIndex, "SetBoneParent parent index"))) {
        return;
    }
    Builder->Bones[BoneIndex].ParentIndex = ParentIndex;
}

KELVO_API void KelvoSetBoneLODError(kelvo_skeleton_builder *Builder, kelvo_int32 BoneIndex,
                                    kelvo_real32 LODError) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (!CheckDomain(Builder, BoneIndex, "SetBoneLODError bone index")) {
        return;
    }
    Builder->Bones[BoneIndex].LODError = LODError;
}

KELVO_API kelvo_int32 KelvoGetResultingSkeletonSize(kelvo_skeleton_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    kelvo::aggr_allocator Aggr;
    kelvo_skeleton *Skeleton;
    kelvo_bone *Bones;
    PlanSkeleton(Aggr, Builder->UsedBoneCount, &Skeleton, &Bones);
    return kelvo::ResultingSize(kelvo::EndAggrSize(Aggr, KELVO_HERE), Origin);
}

KELVO_API kelvo_skeleton *KelvoEndSkeletonInPlace(kelvo_skeleton_builder *Builder, void *Memory,
                                                  kelvo_int32 *RemappingTable) {
    KELVO_TIMED_BLOCK("EndSkeleton");
    if (!Builder) {
        return nullptr;
    }
    if (!Memory) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Memory is not allowed to be 0", KELVO_HERE);
        FreeBuilder(Builder);
        return nullptr;
    }
    DropMissingParents(Builder);
    BreakCycles(Builder);
    AssignLODErrors(Builder);
    OrderParentsFirst(Builder);
    SortByLODError(Builder);

    kelvo_int32 const Count = Builder->UsedBoneCount;
    kelvo_int32 *FinalIndex = Builder->Work;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        FinalIndex[Builder->Order[Index]] = Index;
    }
    kelvo::aggr_allocator Aggr;
    kelvo_skeleton *Skeleton;
    kelvo_bone *Bones;
    PlanSkeleton(Aggr, Count, &Skeleton, &Bones);
    if (!kelvo::EndAggrPlacement(Aggr, KELVO_HERE, Memory)) {
        FreeBuilder(Builder);
        return nullptr;
    }
    KelvoMakeEmptyDataTypeObject(KelvoSkeletonType, Skeleton);
    Skeleton->BoneCount = Count;
    Skeleton->Bones = Count ? Bones : nullptr;
    Skeleton->LODType = Builder->LODType;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        builder_bone const &From = Builder->Bones[Builder->Order[Index]];
        kelvo_bone &To = Bones[Index];
        KelvoMakeEmptyDataTypeObject(KelvoBoneType, &To);
        To.ParentIndex = From.ParentIndex == NoBone ? NoBone : FinalIndex[From.ParentIndex];
        To.Transform = From.LocalTransform;
        memcpy(To.InverseWorldTransform, From.InverseWorldTransform,
               sizeof(To.InverseWorldTransform));
        To.LODError = From.LODError;
    }
    if (RemappingTable) {
        memcpy(RemappingTable, FinalIndex, sizeof(kelvo_int32) * (size_t)Count);
    }
    FreeBuilder(Builder);
    return Skeleton;
}

KELVO_API kelvo_skeleton *KelvoEndSkeleton(kelvo_skeleton_builder *Builder,
                                           kelvo_int32 *RemappingTable) {
    if (!Builder) {
        return nullptr;
    }
    kelvo_int32 Size = KelvoGetResultingSkeletonSize(Builder);
    void *Memory = Size > 0 ? KELVO_ALLOCATE_SIZE(Size) : nullptr;
    if (!Memory) {
        FreeBuilder(Builder);
        return nullptr;
    }
    return KelvoEndSkeletonInPlace(Builder, Memory, RemappingTable);
}
