// Blend DAGs: node lifetime and child management, validity, sampling through
// pose caches, root motion, clocks and the completed-control sweeps.
// Every way of attaching a child goes through one check that refuses a
// second parent, a cycle and a tree deeper than the limit, so the recursive
// walks below are bounded by KELVO_BLEND_DAG_MAX_DEPTH. Sampling trusts no
// node: a missing source, a wrong child count or a pose with too few bones
// is reported and the sample fails.
#include "anim/kelvo_blend_dag_internal.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_skeleton.h"

#include <math.h>
#include <string.h>

#include <initializer_list>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoAnimationLogMessage;

// The names the type assertions print.
enum node_type : kelvo_int32 {
    DagNodeType_Leaf_AnimationBlend = KelvoDagNodeType_Leaf_AnimationBlend,
    DagNodeType_Leaf_LocalPose = KelvoDagNodeType_Leaf_LocalPose,
    DagNodeType_Leaf_Callback = KelvoDagNodeType_Leaf_Callback,
    DagNodeType_Node_Crossfade = KelvoDagNodeType_Node_Crossfade,
    DagNodeType_Node_WeightedBlend = KelvoDagNodeType_Node_WeightedBlend,
    DagNodeType_Freed = KelvoDagNodeType_Freed,
};

#define KELVO_CHECK_NODE_TYPE(Node, Wanted, FailResult)                                            \
    KELVO_CHECK_NOT_NULL(Node, Origin, FailResult);                                                \
    KELVO_REFUSE_UNLESS((Node)->Type == Wanted, Origin, FailResult,                                \
                        "%s(%d): Node->Type == " #Wanted " was not true", KELVO_HERE)

constexpr kelvo_int32 MaxDepth = KELVO_BLEND_DAG_MAX_DEPTH;

kelvo_fixed_allocator NodeAllocator;

bool IsLeaf(kelvo_blend_dag_node const *Node) {
    return Node->Type < 3;
}

// ---- owned objects ----------------------------------------------------------------------------

// Frees Object when the node owns it; either way the node lets go of it.
template <typename object> void Release(object *&Object, bool &Owns, void (*Free)(object *)) {
    if (Owns && Object) {
        Free(Object);
    }
    Object = nullptr;
    Owns = false;
}

void ReleaseResultMask(kelvo_blend_dag_node *Node) {
    Release(Node->ResultTrackMask, Node->OwnsResultTrackMask, KelvoFreeTrackMask);
}

// What the node's own type fields own.
void ReleaseTypeObjects(kelvo_blend_dag_node *Node) {
    switch (Node->Type) {
    case DagNodeType_Leaf_AnimationBlend:
        Release(Node->AnimationBlend.ModelInstance, Node->AnimationBlend.OwnsModelInstance,
                KelvoFreeModelInstance);
        break;
    case DagNodeType_Leaf_LocalPose:
        Release(Node->LocalPose.LocalPose, Node->LocalPose.OwnsLocalPose, KelvoFreeLocalPose);
        break;
    case DagNodeType_Node_Crossfade:
        Release(Node->Crossfade.TrackMask, Node->Crossfade.OwnsTrackMask, KelvoFreeTrackMask);
        break;
    default:
        break;
    }
}

kelvo_blend_dag_node *NewNode(kelvo_int32 Type) {
    if (NodeAllocator.UnitSize == 0) {
        KelvoInitializeFixedAllocator(&NodeAllocator, (kelvo_int32)sizeof(kelvo_blend_dag_node));
    }
    kelvo_blend_dag_node *Node = (kelvo_blend_dag_node *)KelvoAllocateFixed(&NodeAllocator);
    if (!Node) {
        return nullptr;
    }
    memset((void *)Node, 0, sizeof(*Node));
    Node->ResultWeight = 1.0f;
    Node->Type = Type;
    return Node;
}

// ---- children ---------------------------------------------------------------------------------

kelvo_int32 TreeDepth(kelvo_blend_dag_node const *Node) {
    kelvo_int32 Deepest = 0;
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (kelvo_blend_dag_node const *Child = Node->ChildNodes[Index]) {
            kelvo_int32 Depth = TreeDepth(Child);
            Deepest = Depth > Deepest ? Depth : Deepest;
        }
    }
    return 1 + Deepest;
}

// Whether Child may become a child of Node: it has no parent, it is not
// Node or an ancestor of Node, and the tree stays within the depth limit.
bool ChildIsAcceptable(kelvo_blend_dag_node *Node, kelvo_blend_dag_node *Child) {
    KELVO_CHECK_NOT_NULL(Child, Origin, false);
    KELVO_CHECK(Child->ParentNode == NULL, Origin, false);
    kelvo_int32 Level = 1;
    for (kelvo_blend_dag_node const *Above = Node; Above; Above = Above->ParentNode, ++Level) {
        if (Above == Child) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Child is the node itself or one of its ancestors (that would be a cycle)",
                KELVO_HERE);
            return false;
        }
    }
    // Level is now the node's level plus one: the child's.
    if (Level - 1 + TreeDepth(Child) > MaxDepth) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): the tree would be deeper than %d nodes",
            KELVO_HERE, MaxDepth);
        return false;
    }
    return true;
}

bool NodeTakesChildren(kelvo_blend_dag_node const *Node) {
    KELVO_CHECK_NOT_NULL(Node, Origin, false);
    KELVO_REFUSE_UNLESS(!IsLeaf(Node), Origin, false,
                        "%s(%d): !IsBlendDagLeafType ( Node ) was not true", KELVO_HERE);
    return true;
}

// Node's child array resized to Count (entries past the old count null).
bool ResizeChildren(kelvo_blend_dag_node *Node, kelvo_int32 Count) {
    kelvo_blend_dag_node **Children = nullptr;
    if (Count > 0) {
        kelvo_int64 Bytes = (kelvo_int64)Count * (kelvo_int64)sizeof(kelvo_blend_dag_node *);
        KELVO_REFUSE_UNLESS(Bytes <= INT32_MAX, Origin, false,
                            "%s(%d): NumChildren %d is out of range [%d, %d]", KELVO_HERE, Count, 0,
                            (kelvo_int32)(INT32_MAX / sizeof(kelvo_blend_dag_node *)));
        Children = (kelvo_blend_dag_node **)KELVO_ALLOCATE_SIZE((kelvo_int32)Bytes);
        if (!Children) {
            return false;
        }
        kelvo_int32 Kept = Count < Node->NumChildNodes ? Count : Node->NumChildNodes;
        for (kelvo_int32 Index = 0; Index < Count; ++Index) {
            Children[Index] = Index < Kept ? Node->ChildNodes[Index] : nullptr;
        }
    }
    if (Node->ChildNodes) {
        KELVO_DEALLOCATE(Node->ChildNodes);
    }
    Node->ChildNodes = Children;
    Node->NumChildNodes = Count;
    return true;
}

void DetachAllChildren(kelvo_blend_dag_node *Node) {
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (kelvo_blend_dag_node *Child = Node->ChildNodes[Index]) {
            if (Child->ParentNode == Node) {
                Child->ParentNode = nullptr;
            }
        }
    }
    ResizeChildren(Node, 0);
}

bool AppendChild(kelvo_blend_dag_node *Node, kelvo_blend_dag_node *Child) {
    if (!ChildIsAcceptable(Node, Child) || !ResizeChildren(Node, Node->NumChildNodes + 1)) {
        return false;
    }
    Node->ChildNodes[Node->NumChildNodes - 1] = Child;
    Child->ParentNode = Node;
    return true;
}

void RemoveChildAt(kelvo_blend_dag_node *Node, kelvo_int32 Index) {
    Node->ChildNodes[Index]->ParentNode = nullptr;
    for (kelvo_int32 Later = Index + 1; Later < Node->NumChildNodes; ++Later) {
        Node->ChildNodes[Later - 1] = Node->ChildNodes[Later];
    }
    --Node->NumChildNodes;
    if (Node->NumChildNodes == 0) {
        ResizeChildren(Node, 0);
    }
}

void FreeNode(kelvo_blend_dag_node *Node) {
    ReleaseTypeObjects(Node);
    ReleaseResultMask(Node);
    if (kelvo_blend_dag_node *Parent = Node->ParentNode) {
        for (kelvo_int32 Index = 0; Index < Parent->NumChildNodes; ++Index) {
            if (Parent->ChildNodes[Index] == Node) {
                RemoveChildAt(Parent, Index);
                break;
            }
        }
    }
    DetachAllChildren(Node);
    Node->Type = DagNodeType_Freed;
    KelvoDeallocateFixed(&NodeAllocator, Node);
}

void FreeTree(kelvo_blend_dag_node *Node) {
    while (Node->NumChildNodes > 0) {
        kelvo_blend_dag_node *Child = Node->ChildNodes[Node->NumChildNodes - 1];
        if (Child && Child->ParentNode == Node) {
            FreeTree(Child); // detaches itself
        } else {
            --Node->NumChildNodes; // not ours to free
        }
    }
    FreeNode(Node);
}

// ---- validity ---------------------------------------------------------------------------------

char const *NodeFault(kelvo_blend_dag_node const *Node) {
    switch (Node->Type) {
    case DagNodeType_Leaf_AnimationBlend:
        if (!Node->AnimationBlend.ModelInstance)
            return "AnimationBlend node has a NULL ModelInstance";
        break;
    case DagNodeType_Leaf_LocalPose:
        if (!Node->LocalPose.LocalPose)
            return "LocalPose node has a NULL LocalPose";
        break;
    case DagNodeType_Leaf_Callback:
        if (!Node->Callback.SampleCallback)
            return "Callback node has a NULL SampleCallback";
        break;
    case DagNodeType_Node_Crossfade:
        if (Node->NumChildNodes != 2)
            return "Crossfade node does not have exactly two children";
        break;
    case DagNodeType_Node_WeightedBlend:
        if (!Node->WeightedBlend.ReferenceSkeleton)
            return "WeightedBlend node has a NULL skeleton";
        break;
    default:
        return "Unknown node type";
    }
    if (IsLeaf(Node) && Node->NumChildNodes > 0) {
        return "Leaf type node has children";
    }
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (!Node->ChildNodes[Index])
            return "Node has a NULL child";
        if (Node->ChildNodes[Index]->ParentNode != Node)
            return "A child node does not point back to its parent";
    }
    return nullptr;
}

// Depth-first; Depth guards against trees crafted around the checks.
kelvo_blend_dag_node const *FirstFaultyNode(kelvo_blend_dag_node const *Node, kelvo_int32 Depth,
                                            char const **Reason) {
    if (Depth > MaxDepth) {
        *Reason = "Tree is deeper than the depth limit";
        return Node;
    }
    if ((*Reason = NodeFault(Node)) != nullptr) {
        return Node;
    }
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (kelvo_blend_dag_node const *Faulty =
                FirstFaultyNode(Node->ChildNodes[Index], Depth + 1, Reason)) {
            return Faulty;
        }
    }
    return nullptr;
}

bool ReportValidity(kelvo_blend_dag_node const *Faulty, char const *Reason,
                    char const **ReasonFailed, kelvo_blend_dag_node const **NodeFailed) {
    if (ReasonFailed)
        *ReasonFailed = Faulty ? Reason : nullptr;
    if (NodeFailed)
        *NodeFailed = Faulty;
    return Faulty == nullptr;
}

// ---- duplication ------------------------------------------------------------------------------

kelvo_int32 CountNodes(kelvo_blend_dag_node const *Node) {
    kelvo_int32 Count = 1;
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (Node->ChildNodes[Index])
            Count += CountNodes(Node->ChildNodes[Index]);
    }
    return Count;
}

// Null when out of memory (the partial copy freed by the caller's root).
kelvo_blend_dag_node *CopyTree(kelvo_blend_dag_node const *Source,
                               kelvo_blend_dag_node const **SourceList,
                               kelvo_blend_dag_node **DestList, kelvo_int32 &Count) {
    kelvo_blend_dag_node *Copy = NewNode(Source->Type);
    if (!Copy) {
        return nullptr;
    }
    memcpy((void *)Copy, (void const *)Source, sizeof(*Copy));
    Copy->ParentNode = nullptr;
    Copy->NumChildNodes = 0;
    Copy->ChildNodes = nullptr;
    Copy->OwnsResultTrackMask = false;
    switch (Copy->Type) {
    case DagNodeType_Leaf_AnimationBlend:
        Copy->AnimationBlend.OwnsModelInstance = false;
        break;
    case DagNodeType_Leaf_LocalPose:
        Copy->LocalPose.OwnsLocalPose = false;
        break;
    case DagNodeType_Node_Crossfade:
        Copy->Crossfade.OwnsTrackMask = false;
        break;
    default:
        break;
    }
    SourceList[Count] = Source;
    DestList[Count] = Copy;
    ++Count;
    for (kelvo_int32 Index = 0; Index < Source->NumChildNodes; ++Index) {
        kelvo_blend_dag_node const *Child = Source->ChildNodes[Index];
        if (!Child) {
            continue;
        }
        kelvo_blend_dag_node *ChildCopy = CopyTree(Child, SourceList, DestList, Count);
        if (!ChildCopy || !ResizeChildren(Copy, Copy->NumChildNodes + 1)) {
            if (ChildCopy)
                FreeTree(ChildCopy);
            FreeTree(Copy);
            return nullptr;
        }
        Copy->ChildNodes[Copy->NumChildNodes - 1] = ChildCopy;
        ChildCopy->ParentNode = Copy;
    }
    return Copy;
}

} // namespace

// ---- pose caches ------------------------------------------------------------------------------

// A chain of blocks; scratch poses are carved from the first one.
struct dag_cache_block {
    dag_cache_block *Next;
    kelvo_int64 Size;
    kelvo_int64 Used;
    kelvo_uint8 *Memory;
};

struct kelvo_dag_pose_cache {
    dag_cache_block *First;
    kelvo_int32 BoneCount;
    kelvo_int64 PoseSize;
};

namespace {

kelvo_dag_pose_cache GlobalCache;

constexpr kelvo_int64 BlockHeaderSize = (sizeof(dag_cache_block) + 15) / 16 * 16;

kelvo_int64 PoseSizeFor(kelvo_int32 BoneCount) {
    kelvo_int32 Size = KelvoGetResultingLocalPoseSize(BoneCount);
    return Size > 0 ? ((kelvo_int64)Size + 15) / 16 * 16 : 0;
}

dag_cache_block *NewBlock(kelvo_int64 Size) {
    kelvo_int64 Total = BlockHeaderSize + Size;
    if (Size <= 0 || Total > INT32_MAX) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): pose cache block of %I64d bytes is too large",
            KELVO_HERE, Total);
        return nullptr;
    }
    dag_cache_block *Block = (dag_cache_block *)KELVO_ALLOCATE_ALIGNED(16, (kelvo_int32)Total);
    if (Block) {
        Block->Next = nullptr;
        Block->Size = Size;
        Block->Used = 0;
        Block->Memory = (kelvo_uint8 *)Block + BlockHeaderSize;
    }
    return Block;
}

// Frees the blocks behind the first and keeps the first when it holds
// PoseCount poses of BoneCount bones, else replaces it.
bool ResetCache(kelvo_dag_pose_cache &Cache, kelvo_int32 BoneCount, kelvo_int32 PoseCount) {
    if (Cache.First) {
        KELVO_DEALLOCATE_CHAIN(Cache.First->Next);
        Cache.First->Next = nullptr;
    }
    Cache.BoneCount = BoneCount;
    Cache.PoseSize = PoseSizeFor(BoneCount);
    if (Cache.PoseSize <= 0) {
        return false;
    }
    kelvo_int64 Needed = Cache.PoseSize * PoseCount;
    if (Cache.First && Cache.First->Size >= Needed) {
        Cache.First->Used = 0;
        return true;
    }
    KELVO_DEALLOCATE_CHAIN(Cache.First);
    Cache.First = NewBlock(Needed);
    return Cache.First != nullptr;
}

void FreeCache(kelvo_dag_pose_cache &Cache) {
    KELVO_DEALLOCATE_CHAIN(Cache.First);
    Cache.First = nullptr;
}

kelvo_local_pose *ScratchPose(kelvo_dag_pose_cache &Cache, kelvo_real32 FillThreshold) {
    dag_cache_block *Block = Cache.First;
    if (!Block || Block->Used + Cache.PoseSize > Block->Size) {
        kelvo_int64 Size = Block ? 2 * Block->Size : 0;
        Size = Size > 3 * Cache.PoseSize ? Size : 3 * Cache.PoseSize;
        dag_cache_block *Fresh = NewBlock(Size);
        if (!Fresh) {
            return nullptr;
        }
        Fresh->Next = Block;
        Cache.First = Block = Fresh;
    }
    kelvo_local_pose *Pose = KelvoNewLocalPoseInPlace(Cache.BoneCount, Block->Memory + Block->Used);
    Block->Used += Cache.PoseSize;
    if (Pose) {
        Pose->FillThreshold = FillThreshold;
    }
    return Pose;
}

// ---- sampling ---------------------------------------------------------------------------------

struct sample_job {
    kelvo_int32 BoneCount;
    kelvo_real32 AllowedError;
    kelvo_int32 const *Sparse;
    kelvo_int32 BonesNeeded; // a skeleton or pose must hold this many bones
    kelvo_dag_pose_cache *Cache;
};

// A node's pose; Scratch when it came from the cache and may be changed.
struct sampled {
    kelvo_local_pose *Pose;
    bool Scratch;
};

constexpr sampled Failed = {nullptr, false};

kelvo_local_pose *NewScratch(sample_job const &Job, kelvo_real32 FillThreshold) {
    kelvo_local_pose *Pose = ScratchPose(*Job.Cache, FillThreshold);
    if (!Pose) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to get a scratch pose for %d bones",
            KELVO_HERE, Job.BoneCount);
    }
    return Pose;
}

bool SkeletonCovers(sample_job const &Job, kelvo_skeleton const *Skeleton) {
    KELVO_REFUSE_UNLESS(Skeleton && Skeleton->BoneCount >= Job.BonesNeeded, Origin, false,
                        "%s(%d): the skeleton has %d bones, %d are sampled", KELVO_HERE,
                        Skeleton ? Skeleton->BoneCount : 0, Job.BonesNeeded);
    return true;
}

// A borrowed pose must hold every sampled bone.
sampled Borrowed(sample_job const &Job, kelvo_local_pose *Pose, char const *Source) {
    KELVO_REFUSE_UNLESS(Pose, Origin, Failed, "%s(%d): %s gave no pose", KELVO_HERE, Source);
    KELVO_REFUSE_UNLESS(Pose->BoneCount >= Job.BoneCount, Origin, Failed,
                        "%s(%d): %s gave a pose of %d bones, %d are sampled", KELVO_HERE, Source,
                        Pose->BoneCount, Job.BoneCount);
    return {Pose, false};
}

sampled SampleNode(sample_job const &Job, kelvo_blend_dag_node *Node, kelvo_int32 Depth);

sampled SampleAnimationBlend(sample_job const &Job, kelvo_blend_dag_node *Node) {
    kelvo_model_instance *Instance = Node->AnimationBlend.ModelInstance;
    KELVO_REFUSE_UNLESS(Instance, Origin, Failed,
                        "%s(%d): AnimationBlend node has a NULL ModelInstance", KELVO_HERE);
    if (!SkeletonCovers(Job, KelvoGetSourceSkeleton(Instance))) {
        return Failed;
    }
    kelvo_local_pose *Pose = NewScratch(Job, Node->AnimationBlend.FillThreshold);
    if (!Pose) {
        return Failed;
    }
    KelvoSampleModelAnimationsLODSparse(Instance, 0, Job.BoneCount, Pose, Job.AllowedError,
                                        Job.Sparse);
    return {Pose, true};
}

sampled SampleLocalPose(sample_job const &Job, kelvo_blend_dag_node *Node) {
    kelvo_local_pose *Source = Node->LocalPose.LocalPose;
    KELVO_REFUSE_UNLESS(Source, Origin, Failed, "%s(%d): LocalPose node has a NULL LocalPose",
                        KELVO_HERE);
    if (!Job.Sparse) {
        return Borrowed(Job, Source, "LocalPose node");
    }
    KELVO_REFUSE_UNLESS(Source->BoneCount >= Job.BonesNeeded, Origin, Failed,
                        "%s(%d): LocalPose node has a pose of %d bones, %d are sampled", KELVO_HERE,
                        Source->BoneCount, Job.BonesNeeded);
    kelvo_local_pose *Pose = NewScratch(Job, Source->FillThreshold);
    if (!Pose) {
        return Failed;
    }
    for (kelvo_int32 Index = 0; Index < Job.BoneCount; ++Index) {
        Pose->Transforms[Index] = Source->Transforms[Job.Sparse[Index]];
    }
    return {Pose, true};
}

// The first BoneCount entries of a pose that may hold more.
kelvo_local_pose View(sample_job const &Job, kelvo_local_pose const *Pose) {
    kelvo_local_pose Result = *Pose;
    Result.BoneCount = Job.BoneCount;
    return Result;
}

sampled SampleCrossfade(sample_job const &Job, kelvo_blend_dag_node *Node, kelvo_int32 Depth) {
    if (Node->NumChildNodes == 1) {
        return SampleNode(Job, Node->ChildNodes[0], Depth + 1);
    }
    KELVO_REFUSE_UNLESS(Node->NumChildNodes == 2, Origin, Failed,
                        "%s(%d): Crossfade node does not have exactly two children", KELVO_HERE);
    kelvo_real32 const None = Node->Crossfade.WeightNone, All = Node->Crossfade.WeightAll;
    kelvo_track_mask const *Mask = Node->Crossfade.TrackMask;
    bool const OnlyFirst = Mask ? (None < 0.001f && All < 0.001f) : All < 0.001f;
    bool const OnlySecond = Mask ? (None > 0.999f && All > 0.999f) : All > 0.999f;
    if (OnlyFirst || OnlySecond) {
        return SampleNode(Job, Node->ChildNodes[OnlyFirst ? 0 : 1], Depth + 1);
    }
    sampled First = SampleNode(Job, Node->ChildNodes[0], Depth + 1);
    sampled Second = First.Pose ? SampleNode(Job, Node->ChildNodes[1], Depth + 1) : Failed;
    if (!Second.Pose) {
        return Failed;
    }
    if (!First.Scratch && Second.Scratch) {
        kelvo_local_pose Composite = View(Job, First.Pose);
        KelvoModulationCompositeLocalPoseSparse(Second.Pose, 1 - None, 1 - All, Mask, &Composite,
                                                Job.Sparse);
        return Second;
    }
    if (!First.Scratch) {
        kelvo_local_pose *Copy = NewScratch(Job, First.Pose->FillThreshold);
        if (!Copy) {
            return Failed;
        }
        memcpy(Copy->Transforms, First.Pose->Transforms,
               (size_t)Job.BoneCount * sizeof(kelvo_local_pose_transform));
        First = {Copy, true};
    }
    kelvo_local_pose Composite = View(Job, Second.Pose);
    KelvoModulationCompositeLocalPoseSparse(First.Pose, None, All, Mask, &Composite, Job.Sparse);
    return First;
}

sampled SampleWeightedBlend(sample_job const &Job, kelvo_blend_dag_node *Node, kelvo_int32 Depth) {
    if (Node->NumChildNodes == 1) {
        return SampleNode(Job, Node->ChildNodes[0], Depth + 1);
    }
    kelvo_skeleton const *Skeleton = Node->WeightedBlend.ReferenceSkeleton;
    KELVO_REFUSE_UNLESS(Skeleton, Origin, Failed, "%s(%d): WeightedBlend node has a NULL skeleton",
                        KELVO_HERE);
    if (!SkeletonCovers(Job, Skeleton)) {
        return Failed;
    }
    kelvo_local_pose *Pose = NewScratch(Job, Node->WeightedBlend.FillThreshold);
    if (!Pose) {
        return Failed;
    }
    KelvoBeginLocalPoseAccumulation(Pose, 0, Job.BoneCount, Job.Sparse);
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        kelvo_blend_dag_node *Child = Node->ChildNodes[Index];
        KELVO_REFUSE_UNLESS(Child, Origin, Failed, "%s(%d): Node has a NULL child", KELVO_HERE);
        kelvo_real32 const Weight = Child->ResultWeight;
        if (fabsf(Weight) < 0.001f) {
            continue;
        }
        sampled Result = SampleNode(Job, Child, Depth + 1);
        if (!Result.Pose) {
            return Failed;
        }
        kelvo_track_mask const *Mask = Child->ResultTrackMask;
        for (kelvo_int32 Bone = 0; Bone < Job.BoneCount; ++Bone) {
            kelvo_int32 const SkeletonBone = Job.Sparse ? Job.Sparse[Bone] : Bone;
            kelvo_real32 const BoneWeight =
                Mask ? Weight * KelvoGetTrackMaskBoneWeight(Mask, SkeletonBone) : Weight;
            KelvoAccumulateLocalTransform(Pose, Bone, SkeletonBone, BoneWeight, Skeleton,
                                          Node->WeightedBlend.QuaternionMode,
                                          &Result.Pose->Transforms[Bone].Transform);
        }
    }
    KelvoEndLocalPoseAccumulationLOD(Pose, 0, Job.BoneCount, Skeleton, Job.AllowedError,
                                     Job.Sparse);
    return {Pose, true};
}

sampled SampleNode(sample_job const &Job, kelvo_blend_dag_node *Node, kelvo_int32 Depth) {
    KELVO_REFUSE_UNLESS(Node, Origin, Failed, "%s(%d): Node has a NULL child", KELVO_HERE);
    KELVO_REFUSE_UNLESS(Depth <= MaxDepth, Origin, Failed,
                        "%s(%d): the tree is deeper than %d nodes", KELVO_HERE, MaxDepth);
    switch (Node->Type) {
    case DagNodeType_Leaf_AnimationBlend:
        return SampleAnimationBlend(Job, Node);
    case DagNodeType_Leaf_LocalPose:
        return SampleLocalPose(Job, Node);
    case DagNodeType_Leaf_Callback:
        KELVO_REFUSE_UNLESS(Node->Callback.SampleCallback, Origin, Failed,
                            "%s(%d): Callback node has a NULL SampleCallback", KELVO_HERE);
        return Borrowed(Job,
                        Node->Callback.SampleCallback(Node->Callback.UserData, Job.BoneCount,
                                                      Job.AllowedError, Job.Sparse),
                        "Callback node");
    case DagNodeType_Node_Crossfade:
        return SampleCrossfade(Job, Node, Depth);
    case DagNodeType_Node_WeightedBlend:
        return SampleWeightedBlend(Job, Node, Depth);
    default:
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unknown node type %d", KELVO_HERE, Node->Type);
        return Failed;
    }
}

kelvo_local_pose *SampleTree(kelvo_blend_dag_node *RootNode, kelvo_int32 BoneCount,
                             kelvo_real32 AllowedError, kelvo_int32 const *SparseBoneArray,
                             kelvo_dag_pose_cache &Cache) {
    KELVO_TIMED_BLOCK("SampleBlendDagTree");
    KELVO_CHECK_NOT_NULL(RootNode, Origin, nullptr);
    KELVO_REFUSE_UNLESS(BoneCount >= 0, Origin, nullptr,
                        "%s(%d): BoneCount %d is out of range [%d, %d]", KELVO_HERE, BoneCount, 0,
                        INT32_MAX);
    sample_job Job = {BoneCount, AllowedError, SparseBoneArray, BoneCount, &Cache};
    if (SparseBoneArray) {
        Job.BonesNeeded = 0;
        for (kelvo_int32 Index = 0; Index < BoneCount; ++Index) {
            KELVO_REFUSE_UNLESS(SparseBoneArray[Index] >= 0, Origin, nullptr,
                                "%s(%d): SparseBoneArray[%i] is out of range", KELVO_HERE, Index);
            if (SparseBoneArray[Index] >= Job.BonesNeeded)
                Job.BonesNeeded = SparseBoneArray[Index] + 1;
        }
    }
    if (!ResetCache(Cache, BoneCount, 3)) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unable to prepare the pose cache for %d bones",
            KELVO_HERE, BoneCount);
        return nullptr;
    }
    return SampleNode(Job, RootNode, 1).Pose;
}

// ---- motion vectors ---------------------------------------------------------------------------

void Zero3(kelvo_real32 *Vector) {
    Vector[0] = Vector[1] = Vector[2] = 0.0f;
}

void MotionVectors(kelvo_blend_dag_node *Node, kelvo_real32 Seconds, kelvo_real32 *Translation,
                   kelvo_real32 *Rotation, kelvo_bool32 Inverse);

// Translation/Rotation += Weight x the child's vectors.
void AddChildMotion(kelvo_blend_dag_node *Child, kelvo_real32 Weight, kelvo_real32 Seconds,
                    kelvo_real32 *Translation, kelvo_real32 *Rotation, kelvo_bool32 Inverse) {
    kelvo_real32 T[3], R[3];
    MotionVectors(Child, Seconds, T, R, Inverse);
    for (int Axis = 0; Axis < 3; ++Axis) {
        Translation[Axis] += Weight * T[Axis];
        Rotation[Axis] += Weight * R[Axis];
    }
}

void MotionVectors(kelvo_blend_dag_node *Node, kelvo_real32 Seconds, kelvo_real32 *Translation,
                   kelvo_real32 *Rotation, kelvo_bool32 Inverse) {
    Zero3(Translation);
    Zero3(Rotation);
    if (!Node) {
        return;
    }
    switch (Node->Type) {
    case DagNodeType_Leaf_AnimationBlend:
        if (Node->AnimationBlend.ModelInstance) {
            KelvoGetRootMotionVectors(Node->AnimationBlend.ModelInstance, Seconds, Translation,
                                      Rotation, Inverse);
        }
        break;
    case DagNodeType_Leaf_Callback:
        if (Node->Callback.MotionVectorsCallback) {
            Node->Callback.MotionVectorsCallback(Node->Callback.UserData, Seconds, Translation,
                                                 Rotation, Inverse);
        }
        break;
    case DagNodeType_Node_Crossfade: {
        if (Node->NumChildNodes == 1) {
            MotionVectors(Node->ChildNodes[0], Seconds, Translation, Rotation, Inverse);
            break;
        }
        if (Node->NumChildNodes != 2) {
            break;
        }
        kelvo_track_mask const *Mask = Node->Crossfade.TrackMask;
        kelvo_real32 E = Node->Crossfade.WeightAll;
        if (Mask) {
            kelvo_real32 const M = KelvoGetTrackMaskBoneWeight(Mask, 0);
            E = (1 - M) * Node->Crossfade.WeightNone + M * Node->Crossfade.WeightAll;
        }
        if (E < 0.001f || E > 0.999f) {
            MotionVectors(Node->ChildNodes[E < 0.001f ? 0 : 1], Seconds, Translation, Rotation,
                          Inverse);
        } else {
            AddChildMotion(Node->ChildNodes[0], 1 - E, Seconds, Translation, Rotation, Inverse);
            AddChildMotion(Node->ChildNodes[1], E, Seconds, Translation, Rotation, Inverse);
        }
        break;
    }
    case DagNodeType_Node_WeightedBlend: {
        kelvo_real32 Total = 0.0f;
        for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
            kelvo_blend_dag_node *Child = Node->ChildNodes[Index];
            if (!Child) {
                continue;
            }
            kelvo_real32 Weight = Child->ResultWeight;
            if (Child->ResultTrackMask) {
                Weight *= KelvoGetTrackMaskBoneWeight(Child->ResultTrackMask, 0);
            }
            if (fabsf(Weight) < 0.001f) {
                continue;
            }
            AddChildMotion(Child, Weight, Seconds, Translation, Rotation, Inverse);
            Total += Weight;
        }
        if (Total > 0.001f) {
            for (int Axis = 0; Axis < 3; ++Axis) {
                Translation[Axis] /= Total;
                Rotation[Axis] /= Total;
            }
        }
        break;
    }
    default: // local poses do not move, unknown nodes are not read
        break;
    }
}

// Visits every animation-blend leaf of a tree with its instance.
template <typename action> void ForEachLeafInstance(kelvo_blend_dag_node *Node, action Action) {
    if (!Node) {
        return;
    }
    if (Node->Type == DagNodeType_Leaf_AnimationBlend && Node->AnimationBlend.ModelInstance) {
        Action(Node->AnimationBlend.ModelInstance);
    }
    if (!IsLeaf(Node)) {
        for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
            ForEachLeafInstance(Node->ChildNodes[Index], Action);
        }
    }
}

void SetTreeClock(kelvo_blend_dag_node *Node, kelvo_real32 Clock) {
    if (!Node) {
        return;
    }
    if (Node->Type == DagNodeType_Leaf_AnimationBlend && Node->AnimationBlend.ModelInstance) {
        KelvoSetModelClock(Node->AnimationBlend.ModelInstance, Clock);
    } else if (Node->Type == DagNodeType_Leaf_Callback && Node->Callback.SetClockCallback) {
        Node->Callback.SetClockCallback(Node->Callback.UserData, Clock);
    } else if (!IsLeaf(Node)) {
        for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
            SetTreeClock(Node->ChildNodes[Index], Clock);
        }
    }
}

} // namespace

// ---- creation and freeing ---------------------------------------------------------------------

KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeAnimationBlend(kelvo_model_instance *ModelInstance, kelvo_bool32 Owns) {
    KELVO_CHECK(ModelInstance != NULL, Origin, nullptr);
    kelvo_blend_dag_node *Node = NewNode(DagNodeType_Leaf_AnimationBlend);
    if (Node) {
        Node->AnimationBlend = {ModelInstance, 0.2f, Owns != 0};
    }
    return Node;
}

KELVO_API kelvo_blend_dag_node *KelvoCreateBlendDagNodeLocalPose(kelvo_local_pose *LocalPose,
                                                                 kelvo_bool32 Owns) {
    KELVO_CHECK(LocalPose != NULL, Origin, nullptr);
    kelvo_blend_dag_node *Node = NewNode(DagNodeType_Leaf_LocalPose);
    if (Node) {
        Node->LocalPose = {LocalPose, Owns != 0};
    }
    return Node;
}

KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeCallback(kelvo_blend_dag_sample_callback *SampleCallback,
                                kelvo_blend_dag_set_clock_callback *SetClockCallback,
                                kelvo_blend_dag_motion_vectors_callback *MotionVectorsCallback,
                                void *UserData) {
    KELVO_CHECK(SampleCallback != NULL, Origin, nullptr);
    kelvo_blend_dag_node *Node = NewNode(DagNodeType_Leaf_Callback);
    if (Node) {
        Node->Callback = {SampleCallback, SetClockCallback, MotionVectorsCallback, UserData};
    }
    return Node;
}

KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeCrossfade(kelvo_blend_dag_node *DagNode0, kelvo_blend_dag_node *DagNode1,
                                 kelvo_real32 WeightAll, kelvo_real32 WeightNone,
                                 kelvo_track_mask *TrackMask, kelvo_bool32 OwnsTrackMask,
                                 kelvo_int32 /*Unused*/) {
    kelvo_blend_dag_node *Node = NewNode(DagNodeType_Node_Crossfade);
    if (!Node) {
        return nullptr;
    }
    Node->Crossfade = {WeightNone, WeightAll, TrackMask, OwnsTrackMask != 0};
    for (kelvo_blend_dag_node *Child : {DagNode0, DagNode1}) {
        if (Child && !AppendChild(Node, Child)) {
            Node->Crossfade.OwnsTrackMask = false; // the caller keeps it on failure
            FreeNode(Node);
            return nullptr;
        }
    }
    return Node;
}

KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeWeightedBlend(kelvo_skeleton const *ReferenceSkeleton,
                                     kelvo_real32 FillThreshold, kelvo_int32 QuaternionMode,
                                     kelvo_int32 /*Unused*/) {
    KELVO_CHECK(ReferenceSkeleton != NULL, Origin, nullptr);
    kelvo_blend_dag_node *Node = NewNode(DagNodeType_Node_WeightedBlend);
    if (Node) {
        Node->WeightedBlend = {ReferenceSkeleton, QuaternionMode, FillThreshold};
    }
    return Node;
}

KELVO_API kelvo_blend_dag_node *KelvoCreateBlendDagNodeWeightedBlendChildren(
    kelvo_skeleton const *ReferenceSkeleton, kelvo_real32 FillThreshold, kelvo_int32 QuaternionMode,
    kelvo_int32 Unused, kelvo_int32 NumChildren, kelvo_blend_dag_node **ArrayOfChildren) {
    KELVO_CHECK_NOT_NULL(ArrayOfChildren, Origin, nullptr);
    kelvo_blend_dag_node *Node = KelvoCreateBlendDagNodeWeightedBlend(
        ReferenceSkeleton, FillThreshold, QuaternionMode, Unused);
    if (Node && !KelvoSetBlendDagNodeChildren(Node, NumChildren, ArrayOfChildren)) {
        FreeNode(Node);
        return nullptr;
    }
    return Node;
}

KELVO_ACCESSOR(void, KelvoFreeBlendDagNode, kelvo_blend_dag_node, Node, FreeNode(Node),
               KELVO_NOTHING)
KELVO_ACCESSOR(void, KelvoFreeBlendDagEntireTree, kelvo_blend_dag_node, Node, FreeTree(Node),
               KELVO_NOTHING)
KELVO_ACCESSOR(kelvo_blend_dag_node_type, KelvoGetBlendDagNodeType, kelvo_blend_dag_node const,
               Node, (kelvo_blend_dag_node_type)Node->Type, KelvoDagNodeType_Freed)

KELVO_API kelvo_bool32 KelvoIsBlendDagLeafType(kelvo_blend_dag_node const *Node) {
    KELVO_CHECK_NOT_NULL(Node, Origin, 0);
    return IsLeaf(Node);
}

// ---- type fields ------------------------------------------------------------------------------

KELVO_API void KelvoSetBlendDagNodeAnimationBlend(kelvo_blend_dag_node *Node,
                                                  kelvo_model_instance *ModelInstance,
                                                  kelvo_real32 FillThreshold, kelvo_bool32 Owns) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Leaf_AnimationBlend, KELVO_NOTHING);
    if (ModelInstance != Node->AnimationBlend.ModelInstance) {
        ReleaseTypeObjects(Node);
    }
    Node->AnimationBlend.ModelInstance = ModelInstance;
    Node->AnimationBlend.FillThreshold = FillThreshold;
    Node->AnimationBlend.OwnsModelInstance = Owns != 0;
}

KELVO_API void KelvoSetBlendDagNodeLocalPose(kelvo_blend_dag_node *Node,
                                             kelvo_local_pose *LocalPose, kelvo_bool32 Owns) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Leaf_LocalPose, KELVO_NOTHING);
    if (LocalPose != Node->LocalPose.LocalPose) {
        ReleaseTypeObjects(Node);
    }
    Node->LocalPose.LocalPose = LocalPose;
    Node->LocalPose.OwnsLocalPose = Owns != 0;
}

KELVO_API void KelvoSetBlendDagNodeCallbacks(
    kelvo_blend_dag_node *Node, kelvo_blend_dag_sample_callback *SampleCallback,
    kelvo_blend_dag_set_clock_callback *SetClockCallback,
    kelvo_blend_dag_motion_vectors_callback *MotionVectorsCallback, void *UserData) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Leaf_Callback, KELVO_NOTHING);
    Node->Callback.SampleCallback = SampleCallback;
    Node->Callback.SetClockCallback = SetClockCallback;
    Node->Callback.MotionVectorsCallback = MotionVectorsCallback;
    Node->Callback.UserData = UserData;
}

KELVO_API void KelvoSetBlendDagNodeCrossfade(kelvo_blend_dag_node *Node, kelvo_real32 WeightNone,
                                             kelvo_real32 WeightAll, kelvo_track_mask *TrackMask,
                                             kelvo_bool32 OwnsTrackMask) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Node_Crossfade, KELVO_NOTHING);
    if (TrackMask != Node->Crossfade.TrackMask) {
        ReleaseTypeObjects(Node);
    }
    Node->Crossfade = {WeightNone, WeightAll, TrackMask, OwnsTrackMask != 0};
}

KELVO_API void KelvoSetBlendDagNodeCrossfadeWeights(kelvo_blend_dag_node *Node,
                                                    kelvo_real32 WeightNone,
                                                    kelvo_real32 WeightAll) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Node_Crossfade, KELVO_NOTHING);
    Node->Crossfade.WeightNone = WeightNone;
    Node->Crossfade.WeightAll = WeightAll;
}

KELVO_API void KelvoSetBlendDagNodeWeightedBlend(kelvo_blend_dag_node *Node,
                                                 kelvo_skeleton const *ReferenceSkeleton,
                                                 kelvo_real32 FillThreshold,
                                                 kelvo_int32 QuaternionMode) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Node_WeightedBlend, KELVO_NOTHING);
    Node->WeightedBlend.ReferenceSkeleton = ReferenceSkeleton;
    Node->WeightedBlend.FillThreshold = FillThreshold;
    Node->WeightedBlend.QuaternionMode = QuaternionMode;
}

// A field of one type of node: null, with the type fault, from any other.
#define KELVO_NODE_GETTER(Result, Name, NodeType, Field)                                           \
    KELVO_API Result Name(kelvo_blend_dag_node *Node) {                                            \
        KELVO_CHECK_NODE_TYPE(Node, NodeType, nullptr);                                            \
        return Node->Field;                                                                        \
    }
KELVO_NODE_GETTER(kelvo_model_instance *, KelvoGetBlendDagNodeAnimationBlend,
                  DagNodeType_Leaf_AnimationBlend, AnimationBlend.ModelInstance)

KELVO_NODE_GETTER(kelvo_local_pose *, KelvoGetBlendDagNodeLocalPose, DagNodeType_Leaf_LocalPose,
                  LocalPose.LocalPose)

KELVO_NODE_GETTER(kelvo_blend_dag_sample_callback *, KelvoGetBlendDagNodeCallbackSampleCallback,
                  DagNodeType_Leaf_Callback, Callback.SampleCallback)

KELVO_NODE_GETTER(kelvo_blend_dag_set_clock_callback *,
                  KelvoGetBlendDagNodeCallbackSetClockCallback, DagNodeType_Leaf_Callback,
                  Callback.SetClockCallback)

KELVO_NODE_GETTER(kelvo_blend_dag_motion_vectors_callback *,
                  KelvoGetBlendDagNodeCallbackMotionVectorsCallback, DagNodeType_Leaf_Callback,
                  Callback.MotionVectorsCallback)

KELVO_NODE_GETTER(void *, KelvoGetBlendDagNodeCallbackUserData, DagNodeType_Leaf_Callback,
                  Callback.UserData)

KELVO_NODE_GETTER(kelvo_track_mask *, KelvoGetBlendDagNodeCrossfadeTrackMask,
                  DagNodeType_Node_Crossfade, Crossfade.TrackMask)

KELVO_API kelvo_bool32 KelvoGetBlendDagNodeCrossfadeWeights(kelvo_blend_dag_node *Node,
                                                            kelvo_real32 *WeightNone,
                                                            kelvo_real32 *WeightAll) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Node_Crossfade, 0);
    KELVO_CHECK(WeightNone != 0 || WeightAll != 0, Origin, 0);
    if (WeightNone)
        *WeightNone = Node->Crossfade.WeightNone;
    if (WeightAll)
        *WeightAll = Node->Crossfade.WeightAll;
    return 1;
}

KELVO_NODE_GETTER(kelvo_skeleton const *, KelvoGetBlendDagNodeWeightedBlendSkeleton,
                  DagNodeType_Node_WeightedBlend, WeightedBlend.ReferenceSkeleton)

KELVO_API void KelvoSetBlendDagNodeResultTrackMask(kelvo_blend_dag_node *Node,
                                                   kelvo_track_mask *TrackMask, kelvo_bool32 Owns) {
    KELVO_CHECK_NOT_NULL(Node, Origin, KELVO_NOTHING);
    if (TrackMask != Node->ResultTrackMask) {
        ReleaseResultMask(Node);
    }
    Node->ResultTrackMask = TrackMask;
    Node->OwnsResultTrackMask = Owns != 0;
}

KELVO_GETTER(kelvo_track_mask *, KelvoGetBlendDagNodeResultTrackMask, kelvo_blend_dag_node, Node,
             ResultTrackMask, nullptr)

KELVO_SETTER(KelvoSetBlendDagNodeResultWeight, kelvo_blend_dag_node, Node, kelvo_real32, Weight,
             ResultWeight)

KELVO_GETTER(kelvo_real32, KelvoGetBlendDagNodeResultWeight, kelvo_blend_dag_node const, Node,
             ResultWeight, 0.0f)

// ---- children ---------------------------------------------------------------------------------

KELVO_GETTER(kelvo_blend_dag_node *, KelvoGetBlendDagNodeParent, kelvo_blend_dag_node, Node,
             ParentNode, nullptr)

KELVO_API void KelvoClearBlendDagNodeChildren(kelvo_blend_dag_node *Node) {
    if (NodeTakesChildren(Node)) {
        DetachAllChildren(Node);
    }
}

KELVO_GETTER(kelvo_int32, KelvoGetBlendDagNodeChildrenCount, kelvo_blend_dag_node const, Node,
             NumChildNodes, 0)

KELVO_API kelvo_bool32 KelvoSetBlendDagNodeChildren(kelvo_blend_dag_node *Node,
                                                    kelvo_int32 NumChildren,
                                                    kelvo_blend_dag_node **ArrayOfChildren) {
    if (!NodeTakesChildren(Node)) {
        return 0;
    }
    KELVO_REFUSE_UNLESS(NumChildren >= 0, Origin, 0,
                        "%s(%d): NumChildren %d is out of range [%d, %d]", KELVO_HERE, NumChildren,
                        0, INT32_MAX);
    KELVO_CHECK(NumChildren == 0 || ArrayOfChildren != NULL, Origin, 0);
    DetachAllChildren(Node);
    for (kelvo_int32 Index = 0; Index < NumChildren; ++Index) {
        if (!AppendChild(Node, ArrayOfChildren[Index])) {
            DetachAllChildren(Node);
            return 0;
        }
    }
    return 1;
}

KELVO_API kelvo_bool32 KelvoSetBlendDagNodeChild(kelvo_blend_dag_node *Node, kelvo_int32 Index,
                                                 kelvo_blend_dag_node *Child) {
    if (!NodeTakesChildren(Node)) {
        return 0;
    }
    KELVO_CHECK_INDEX(Index, Node->NumChildNodes, Origin, 0);
    kelvo_blend_dag_node *Old = Node->ChildNodes[Index];
    if (Old == Child) {
        return 1;
    }
    if (Old) {
        Old->ParentNode = nullptr; // so that the depth is counted without it
    }
    if (!ChildIsAcceptable(Node, Child)) {
        if (Old) {
            Old->ParentNode = Node;
        }
        return 0;
    }
    Node->ChildNodes[Index] = Child;
    Child->ParentNode = Node;
    return 1;
}

KELVO_API kelvo_blend_dag_node *KelvoGetBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                          kelvo_int32 Index) {
    if (!NodeTakesChildren(Node)) {
        return nullptr;
    }
    KELVO_CHECK_INDEX(Index, Node->NumChildNodes, Origin, nullptr);
    return Node->ChildNodes[Index];
}

KELVO_API kelvo_int32 KelvoAddBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                kelvo_blend_dag_node *Child) {
    if (!NodeTakesChildren(Node) || !AppendChild(Node, Child)) {
        return -1;
    }
    return Node->NumChildNodes - 1;
}

KELVO_API kelvo_bool32 KelvoRemoveBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                    kelvo_blend_dag_node *Child) {
    if (!NodeTakesChildren(Node)) {
        return 0;
    }
    KELVO_CHECK_NOT_NULL(Child, Origin, 0);
    KELVO_CHECK(Child->ParentNode == Node, Origin, 0);
    for (kelvo_int32 Index = 0; Index < Node->NumChildNodes; ++Index) {
        if (Node->ChildNodes[Index] == Child) {
            RemoveChildAt(Node, Index);
            return 1;
        }
    }
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): RemoveBlendDagNodeChild couldn't find the specified child", KELVO_HERE);
    return 0;
}

KELVO_API kelvo_int32 KelvoGetBlendDagNodeChildren(kelvo_blend_dag_node *Node,
                                                   kelvo_int32 MaxChildren,
                                                   kelvo_blend_dag_node **ArrayOfChildren) {
    if (!NodeTakesChildren(Node)) {
        return 0;
    }
    KELVO_CHECK(MaxChildren <= 0 || ArrayOfChildren != NULL, Origin, 0);
    kelvo_int32 Count = Node->NumChildNodes;
    if (MaxChildren < Count) {
        Log(KelvoWarningLogMessage, Origin,
            "%s(%d): GetBlendDagNodeChildren: Array not large enough to hold all children",
            KELVO_HERE);
        Count = MaxChildren > 0 ? MaxChildren : 0;
    }
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        ArrayOfChildren[Index] = Node->ChildNodes[Index];
    }
    return Count;
}

// ---- whole trees ------------------------------------------------------------------------------

KELVO_API kelvo_bool32 KelvoIsBlendDagNodeValid(kelvo_blend_dag_node const *Node,
                                                char const **ReasonFailed,
                                                kelvo_blend_dag_node const **NodeFailed) {
    KELVO_CHECK_NOT_NULL(Node, Origin, 0);
    char const *Reason = NodeFault(Node);
    return ReportValidity(Reason ? Node : nullptr, Reason, ReasonFailed, NodeFailed);
}

KELVO_API kelvo_bool32 KelvoIsBlendDagTreeValid(kelvo_blend_dag_node const *RootNode,
                                                char const **ReasonFailed,
                                                kelvo_blend_dag_node const **NodeFailed) {
    KELVO_CHECK_NOT_NULL(RootNode, Origin, 0);
    char const *Reason = nullptr;
    kelvo_blend_dag_node const *Faulty = FirstFaultyNode(RootNode, 1, &Reason);
    return ReportValidity(Faulty, Reason, ReasonFailed, NodeFailed);
}

KELVO_API kelvo_int32 KelvoFindBlendDagTreeDepth(kelvo_blend_dag_node const *RootNode) {
    KELVO_CHECK_NOT_NULL(RootNode, Origin, 0);
    return TreeDepth(RootNode);
}

KELVO_API kelvo_blend_dag_node *KelvoDuplicateBlendDagTree(
    kelvo_blend_dag_node const *SourceTreeRoot, kelvo_blend_dag_node const **SourceNodeList,
    kelvo_blend_dag_node **DestNodeList, kelvo_int32 MaxNodes, kelvo_int32 *NodeCount) {
    KELVO_CHECK_NOT_NULL(SourceTreeRoot, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(SourceNodeList, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(DestNodeList, Origin, nullptr);
    kelvo_int32 const Needed = CountNodes(SourceTreeRoot);
    KELVO_REFUSE_UNLESS(Needed <= MaxNodes, Origin, nullptr,
                        "%s(%d): MaxNodes %d is out of range [%d, %d]", KELVO_HERE, MaxNodes,
                        Needed, INT32_MAX);
    kelvo_int32 Count = 0;
    kelvo_blend_dag_node *Copy = CopyTree(SourceTreeRoot, SourceNodeList, DestNodeList, Count);
    if (NodeCount) {
        *NodeCount = Copy ? Count : 0;
    }
    return Copy;
}

// ---- caches -----------------------------------------------------------------------------------

KELVO_API void KelvoPrimeBlendDagLocalPoseCache(kelvo_int32 NumBones,
                                                kelvo_int32 NumberProbablyNeeded) {
    KELVO_REFUSE_UNLESS(NumBones >= 0, Origin, KELVO_NOTHING,
                        "%s(%d): NumBones %d is out of range [%d, %d]", KELVO_HERE, NumBones, 0,
                        INT32_MAX);
    KELVO_REFUSE_UNLESS(NumberProbablyNeeded >= 0, Origin, KELVO_NOTHING,
                        "%s(%d): NumberProbablyNeeded %d is out of range [%d, %d]", KELVO_HERE,
                        NumberProbablyNeeded, 0, INT32_MAX);
    ResetCache(GlobalCache, NumBones, NumberProbablyNeeded > 16 ? NumberProbablyNeeded : 16);
}

KELVO_API void KelvoFreeBlendDagLocalPoseCache(void) {
    FreeCache(GlobalCache);
}

KELVO_API kelvo_dag_pose_cache *KelvoCreateDagPoseCache(kelvo_int32 InitNumBones,
                                                        kelvo_int32 InitTreeDepth) {
    KELVO_REFUSE_UNLESS(InitNumBones >= 0, Origin, nullptr,
                        "%s(%d): InitNumBones %d is out of range [%d, %d]", KELVO_HERE,
                        InitNumBones, 0, INT32_MAX);
    KELVO_REFUSE_UNLESS(InitTreeDepth >= 0, Origin, nullptr,
                        "%s(%d): InitTreeDepth %d is out of range [%d, %d]", KELVO_HERE,
                        InitTreeDepth, 0, INT32_MAX);
    kelvo_dag_pose_cache *Cache = KELVO_NEW(kelvo_dag_pose_cache, nullptr, 0, 0);
    if (!Cache) {
        return nullptr;
    }
    kelvo_int32 const Depth = InitTreeDepth < 3 ? InitTreeDepth : 3;
    if (!ResetCache(*Cache, InitNumBones, 3 * (Depth > 1 ? Depth : 1))) {
        KELVO_DEALLOCATE(Cache);
        return nullptr;
    }
    return Cache;
}

KELVO_API void KelvoFreeDagPoseCache(kelvo_dag_pose_cache *Cache) {
    if (Cache) {
        FreeCache(*Cache);
        KELVO_DEALLOCATE(Cache);
    }
}

// ---- sampling ---------------------------------------------------------------------------------

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODSparse(kelvo_blend_dag_node *RootNode,
                                                             kelvo_int32 BoneCount,
                                                             kelvo_real32 AllowedError,
                                                             kelvo_int32 const *SparseBoneArray) {
    return SampleTree(RootNode, BoneCount, AllowedError, SparseBoneArray, GlobalCache);
}

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLOD(kelvo_blend_dag_node *RootNode,
                                                       kelvo_int32 BoneCount,
                                                       kelvo_real32 AllowedError) {
    return SampleTree(RootNode, BoneCount, AllowedError, nullptr, GlobalCache);
}

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTree(kelvo_blend_dag_node *RootNode,
                                                    kelvo_int32 BoneCount) {
    return SampleTree(RootNode, BoneCount, 0.0f, nullptr, GlobalCache);
}

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODSparseReentrant(
    kelvo_blend_dag_node *RootNode, kelvo_int32 BoneCount, kelvo_real32 AllowedError,
    kelvo_int32 const *SparseBoneArray, kelvo_dag_pose_cache *PoseCache) {
    KELVO_CHECK_NOT_NULL(PoseCache, Origin, nullptr);
    return SampleTree(RootNode, BoneCount, AllowedError, SparseBoneArray, *PoseCache);
}

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODReentrant(kelvo_blend_dag_node *RootNode,
                                                                kelvo_int32 BoneCount,
                                                                kelvo_real32 AllowedError,
                                                                kelvo_dag_pose_cache *PoseCache) {
    return KelvoSampleBlendDagTreeLODSparseReentrant(RootNode, BoneCount, AllowedError, nullptr,
                                                     PoseCache);
}

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeReentrant(kelvo_blend_dag_node *RootNode,
                                                             kelvo_int32 BoneCount,
                                                             kelvo_dag_pose_cache *PoseCache) {
    return KelvoSampleBlendDagTreeLODSparseReentrant(RootNode, BoneCount, 0.0f, nullptr, PoseCache);
}

// ---- motion, clocks and completed controls ----------------------------------------------------

KELVO_API void KelvoGetBlendDagTreeMotionVectors(kelvo_blend_dag_node *RootNode,
                                                 kelvo_real32 SecondsElapsed,
                                                 kelvo_real32 *ResultTranslation,
                                                 kelvo_real32 *ResultRotation,
                                                 kelvo_bool32 Inverse) {
    KELVO_CHECK_NOT_NULL(ResultTranslation, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(ResultRotation, Origin, KELVO_NOTHING);
    MotionVectors(RootNode, SecondsElapsed, ResultTranslation, ResultRotation, Inverse);
}

KELVO_API void KelvoUpdateBlendDagTreeMatrix(kelvo_blend_dag_node *RootNode,
                                             kelvo_real32 SecondsElapsed,
                                             kelvo_real32 const *ModelMatrix4x4,
                                             kelvo_real32 *DestMatrix4x4, kelvo_bool32 Inverse) {
    KELVO_CHECK_NOT_NULL(ModelMatrix4x4, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(DestMatrix4x4, Origin, KELVO_NOTHING);
    kelvo_real32 Translation[3], Rotation[3];
    MotionVectors(RootNode, SecondsElapsed, Translation, Rotation, Inverse);
    KelvoApplyRootMotionVectorsToMatrix(ModelMatrix4x4, Translation, Rotation, DestMatrix4x4);
}

KELVO_API void KelvoSetBlendDagTreeClock(kelvo_blend_dag_node *RootNode, kelvo_real32 Clock) {
    KELVO_CHECK_NOT_NULL(RootNode, Origin, KELVO_NOTHING);
    SetTreeClock(RootNode, Clock);
}

KELVO_API void KelvoBlendDagNodeAnimationBlendFreeCompletedControls(kelvo_blend_dag_node *Node) {
    KELVO_CHECK_NODE_TYPE(Node, DagNodeType_Leaf_AnimationBlend, KELVO_NOTHING);
    if (Node->AnimationBlend.ModelInstance) {
        KelvoFreeCompletedModelControls(Node->AnimationBlend.ModelInstance);
    }
}

KELVO_API void KelvoBlendDagFreeCompletedControlsEntireTree(kelvo_blend_dag_node *RootNode) {
    KELVO_CHECK_NOT_NULL(RootNode, Origin, KELVO_NOTHING);
    ForEachLeafInstance(RootNode, [](kelvo_model_instance *Instance) {
        KelvoFreeCompletedModelControls(Instance);
    });
}
