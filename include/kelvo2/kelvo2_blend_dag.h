/* kelvo2: blend DAGs, trees that describe how several animated sources
   combine into one local pose. Leaves produce poses (the playing animations
   of a model instance, a fixed local pose, or an application callback);
   inner nodes combine their children (a masked crossfade of two, or a
   weighted blend of any number). Messages go under origin Animation.

   Conventions of the area:
   - Every node has at most one parent: a child must be detached before it
     is given to another node, and a child that would make a node its own
     ancestor is refused. Trees are at most KELVO_BLEND_DAG_MAX_DEPTH nodes
     deep (a child that would make one deeper is refused), so every walk
     over a tree is bounded.
   - Freeing a node detaches it from its parent and its children, so a
     freed node is never reached again through the tree.
   - "Owns" flags make a node free the instance, pose or mask it refers to
     when that is replaced or the node is freed.
   - Sampling returns a local pose of BoneCount entries (entry i is skeleton
     bone SparseBoneArray[i] with a sparse array) that stays valid until the
     next sampling with the same cache; it is null, with the cause reported,
     when a node cannot be sampled. Scratch poses come from a pose cache:
     the process-wide one for the plain calls, the caller's for the
     Reentrant ones. Once a cache has grown to the tree, sampling allocates
     nothing. */
#ifndef KELVO2_BLEND_DAG_H
#define KELVO2_BLEND_DAG_H

#include "kelvo2_local_pose.h"
#include "kelvo2_model_instance.h"
#include "kelvo2_track_mask.h"
#include "kelvo2_types.h"

#define KELVO_BLEND_DAG_MAX_DEPTH 64

typedef struct kelvo_blend_dag_node kelvo_blend_dag_node;
typedef struct kelvo_dag_pose_cache kelvo_dag_pose_cache;

typedef enum kelvo_blend_dag_node_type {
    KelvoDagNodeType_Leaf_AnimationBlend = 0,
    KelvoDagNodeType_Leaf_LocalPose = 1,
    KelvoDagNodeType_Leaf_Callback = 2,
    KelvoDagNodeType_Node_Crossfade = 4,
    KelvoDagNodeType_Node_WeightedBlend = 5,
    KelvoDagNodeType_Freed = 6,
    KelvoBlendDagNodeTypeForceInt = 0x7fffffff
} kelvo_blend_dag_node_type;

/* A callback leaf's pose for BoneCount entries (entry i is skeleton bone
   SparseBoneArray[i] when that is given); the tree does not own it. */
typedef kelvo_local_pose *KELVO_CALLBACK
kelvo_blend_dag_sample_callback(void *UserData, kelvo_int32 BoneCount, kelvo_real32 AllowedError,
                                kelvo_int32 const *SparseBoneArray);
typedef void KELVO_CALLBACK kelvo_blend_dag_set_clock_callback(void *UserData, kelvo_real32 Clock);
typedef void KELVO_CALLBACK kelvo_blend_dag_motion_vectors_callback(void *UserData,
                                                                    kelvo_real32 SecondsElapsed,
                                                                    kelvo_real32 *ResultTranslation,
                                                                    kelvo_real32 *ResultRotation,
                                                                    kelvo_bool32 Inverse);

/* ---- nodes ---------------------------------------------------------------- */

/* Leaves; null with the cause reported when the source is missing. The
   animation-blend leaf fills its scratch pose with FillThreshold 0.2. */
KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeAnimationBlend(kelvo_model_instance *ModelInstance, kelvo_bool32 Owns);
KELVO_API kelvo_blend_dag_node *KelvoCreateBlendDagNodeLocalPose(kelvo_local_pose *LocalPose,
                                                                 kelvo_bool32 Owns);
KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeCallback(kelvo_blend_dag_sample_callback *SampleCallback,
                                kelvo_blend_dag_set_clock_callback *SetClockCallback,
                                kelvo_blend_dag_motion_vectors_callback *MotionVectorsCallback,
                                void *UserData);
/* Child 1 is blended over child 0 by WeightNone where the mask is 0 and by
   WeightAll where it is 1 (WeightAll everywhere without a mask). Note the
   order: WeightAll comes before WeightNone here, after it in
   KelvoSetBlendDagNodeCrossfade. A null child is left out. */
KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeCrossfade(kelvo_blend_dag_node *DagNode0, kelvo_blend_dag_node *DagNode1,
                                 kelvo_real32 WeightAll, kelvo_real32 WeightNone,
                                 kelvo_track_mask *TrackMask, kelvo_bool32 OwnsTrackMask,
                                 kelvo_int32 Unused);
/* Children are summed with their ResultWeight times their ResultTrackMask,
   then normalized and filled from the reference skeleton's rest pose. */
KELVO_API kelvo_blend_dag_node *
KelvoCreateBlendDagNodeWeightedBlend(kelvo_skeleton const *ReferenceSkeleton,
                                     kelvo_real32 FillThreshold, kelvo_int32 QuaternionMode,
                                     kelvo_int32 Unused);
KELVO_API kelvo_blend_dag_node *KelvoCreateBlendDagNodeWeightedBlendChildren(
    kelvo_skeleton const *ReferenceSkeleton, kelvo_real32 FillThreshold, kelvo_int32 QuaternionMode,
    kelvo_int32 Unused, kelvo_int32 NumChildren, kelvo_blend_dag_node **ArrayOfChildren);

/* Releases what the node owns, detaches it and frees it. */
KELVO_API void KelvoFreeBlendDagNode(kelvo_blend_dag_node *Node);
KELVO_API void KelvoFreeBlendDagEntireTree(kelvo_blend_dag_node *Node);

KELVO_API kelvo_blend_dag_node_type KelvoGetBlendDagNodeType(kelvo_blend_dag_node const *Node);
KELVO_API kelvo_bool32 KelvoIsBlendDagLeafType(kelvo_blend_dag_node const *Node);

/* Replace a node's own fields; a node of another type is refused. */
KELVO_API void KelvoSetBlendDagNodeAnimationBlend(kelvo_blend_dag_node *Node,
                                                  kelvo_model_instance *ModelInstance,
                                                  kelvo_real32 FillThreshold, kelvo_bool32 Owns);
KELVO_API void KelvoSetBlendDagNodeLocalPose(kelvo_blend_dag_node *Node,
                                             kelvo_local_pose *LocalPose, kelvo_bool32 Owns);
KELVO_API void KelvoSetBlendDagNodeCallbacks(
    kelvo_blend_dag_node *Node, kelvo_blend_dag_sample_callback *SampleCallback,
    kelvo_blend_dag_set_clock_callback *SetClockCallback,
    kelvo_blend_dag_motion_vectors_callback *MotionVectorsCallback, void *UserData);
KELVO_API void KelvoSetBlendDagNodeCrossfade(kelvo_blend_dag_node *Node, kelvo_real32 WeightNone,
                                             kelvo_real32 WeightAll, kelvo_track_mask *TrackMask,
                                             kelvo_bool32 OwnsTrackMask);
KELVO_API void KelvoSetBlendDagNodeCrossfadeWeights(kelvo_blend_dag_node *Node,
                                                    kelvo_real32 WeightNone,
                                                    kelvo_real32 WeightAll);
KELVO_API void KelvoSetBlendDagNodeWeightedBlend(kelvo_blend_dag_node *Node,
                                                 kelvo_skeleton const *ReferenceSkeleton,
                                                 kelvo_real32 FillThreshold,
                                                 kelvo_int32 QuaternionMode);

KELVO_API kelvo_model_instance *KelvoGetBlendDagNodeAnimationBlend(kelvo_blend_dag_node *Node);
KELVO_API kelvo_local_pose *KelvoGetBlendDagNodeLocalPose(kelvo_blend_dag_node *Node);
KELVO_API kelvo_blend_dag_sample_callback *
KelvoGetBlendDagNodeCallbackSampleCallback(kelvo_blend_dag_node *Node);
KELVO_API kelvo_blend_dag_set_clock_callback *
KelvoGetBlendDagNodeCallbackSetClockCallback(kelvo_blend_dag_node *Node);
KELVO_API kelvo_blend_dag_motion_vectors_callback *
KelvoGetBlendDagNodeCallbackMotionVectorsCallback(kelvo_blend_dag_node *Node);
KELVO_API void *KelvoGetBlendDagNodeCallbackUserData(kelvo_blend_dag_node *Node);
KELVO_API kelvo_track_mask *KelvoGetBlendDagNodeCrossfadeTrackMask(kelvo_blend_dag_node *Node);
/* Either output may be null, not both. */
KELVO_API kelvo_bool32 KelvoGetBlendDagNodeCrossfadeWeights(kelvo_blend_dag_node *Node,
                                                            kelvo_real32 *WeightNone,
                                                            kelvo_real32 *WeightAll);
KELVO_API kelvo_skeleton const *
KelvoGetBlendDagNodeWeightedBlendSkeleton(kelvo_blend_dag_node *Node);

/* The node's contribution to its parent: a weight and a per-bone mask,
   read by a weighted-blend parent. */
KELVO_API void KelvoSetBlendDagNodeResultTrackMask(kelvo_blend_dag_node *Node,
                                                   kelvo_track_mask *TrackMask, kelvo_bool32 Owns);
KELVO_API kelvo_track_mask *KelvoGetBlendDagNodeResultTrackMask(kelvo_blend_dag_node *Node);
KELVO_API void KelvoSetBlendDagNodeResultWeight(kelvo_blend_dag_node *Node, kelvo_real32 Weight);
KELVO_API kelvo_real32 KelvoGetBlendDagNodeResultWeight(kelvo_blend_dag_node const *Node);

/* ---- children of inner nodes ---------------------------------------------- */

KELVO_API kelvo_blend_dag_node *KelvoGetBlendDagNodeParent(kelvo_blend_dag_node *Node);
/* Detaches every child (they become roots of their own trees). */
KELVO_API void KelvoClearBlendDagNodeChildren(kelvo_blend_dag_node *Node);
KELVO_API kelvo_int32 KelvoGetBlendDagNodeChildrenCount(kelvo_blend_dag_node const *Node);
/* Replaces all children; on any refusal the node keeps none of the new ones. */
KELVO_API kelvo_bool32 KelvoSetBlendDagNodeChildren(kelvo_blend_dag_node *Node,
                                                    kelvo_int32 NumChildren,
                                                    kelvo_blend_dag_node **ArrayOfChildren);
/* Replaces the child at Index, detaching the old one. */
KELVO_API kelvo_bool32 KelvoSetBlendDagNodeChild(kelvo_blend_dag_node *Node, kelvo_int32 Index,
                                                 kelvo_blend_dag_node *Child);
KELVO_API kelvo_blend_dag_node *KelvoGetBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                          kelvo_int32 Index);
/* The child's index, or -1 when refused. */
KELVO_API kelvo_int32 KelvoAddBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                kelvo_blend_dag_node *Child);
KELVO_API kelvo_bool32 KelvoRemoveBlendDagNodeChild(kelvo_blend_dag_node *Node,
                                                    kelvo_blend_dag_node *Child);
/* Copies up to MaxChildren children; returns how many it copied. */
KELVO_API kelvo_int32 KelvoGetBlendDagNodeChildren(kelvo_blend_dag_node *Node,
                                                   kelvo_int32 MaxChildren,
                                                   kelvo_blend_dag_node **ArrayOfChildren);

/* ---- whole trees ---------------------------------------------------------- */

/* True when the node (or, for the tree form, every node depth-first) is
   sound; otherwise the first fault's text and node go to the outputs,
   either of which may be null. */
KELVO_API kelvo_bool32 KelvoIsBlendDagNodeValid(kelvo_blend_dag_node const *Node,
                                                char const **ReasonFailed,
                                                kelvo_blend_dag_node const **NodeFailed);
KELVO_API kelvo_bool32 KelvoIsBlendDagTreeValid(kelvo_blend_dag_node const *RootNode,
                                                char const **ReasonFailed,
                                                kelvo_blend_dag_node const **NodeFailed);
/* 1 for a leaf, else 1 + the deepest child. */
KELVO_API kelvo_int32 KelvoFindBlendDagTreeDepth(kelvo_blend_dag_node const *RootNode);
/* A copy of the tree whose nodes share the source's instances, poses, masks
   and callbacks without owning them. SourceNodeList[i] and DestNodeList[i]
   receive each source node and its copy (MaxNodes entries at most; a larger
   tree is refused and nothing is copied); *NodeCount receives the count. */
KELVO_API kelvo_blend_dag_node *KelvoDuplicateBlendDagTree(
    kelvo_blend_dag_node const *SourceTreeRoot, kelvo_blend_dag_node const **SourceNodeList,
    kelvo_blend_dag_node **DestNodeList, kelvo_int32 MaxNodes, kelvo_int32 *NodeCount);

/* ---- pose caches ----------------------------------------------------------- */

/* The process-wide cache, grown for at least 16 poses of NumBones. */
KELVO_API void KelvoPrimeBlendDagLocalPoseCache(kelvo_int32 NumBones,
                                                kelvo_int32 NumberProbablyNeeded);
KELVO_API void KelvoFreeBlendDagLocalPoseCache(void);
/* A cache of the caller's, sized for trees InitTreeDepth deep (3 at most
   counts). */
KELVO_API kelvo_dag_pose_cache *KelvoCreateDagPoseCache(kelvo_int32 InitNumBones,
                                                        kelvo_int32 InitTreeDepth);
KELVO_API void KelvoFreeDagPoseCache(kelvo_dag_pose_cache *Cache);

/* ---- sampling --------------------------------------------------------------- */

KELVO_API kelvo_local_pose *KelvoSampleBlendDagTree(kelvo_blend_dag_node *RootNode,
                                                    kelvo_int32 BoneCount);
KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLOD(kelvo_blend_dag_node *RootNode,
                                                       kelvo_int32 BoneCount,
                                                       kelvo_real32 AllowedError);
KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODSparse(kelvo_blend_dag_node *RootNode,
                                                             kelvo_int32 BoneCount,
                                                             kelvo_real32 AllowedError,
                                                             kelvo_int32 const *SparseBoneArray);
KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeReentrant(kelvo_blend_dag_node *RootNode,
                                                             kelvo_int32 BoneCount,
                                                             kelvo_dag_pose_cache *PoseCache);
KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODReentrant(kelvo_blend_dag_node *RootNode,
                                                                kelvo_int32 BoneCount,
                                                                kelvo_real32 AllowedError,
                                                                kelvo_dag_pose_cache *PoseCache);
KELVO_API kelvo_local_pose *KelvoSampleBlendDagTreeLODSparseReentrant(
    kelvo_blend_dag_node *RootNode, kelvo_int32 BoneCount, kelvo_real32 AllowedError,
    kelvo_int32 const *SparseBoneArray, kelvo_dag_pose_cache *PoseCache);

/* ---- motion, clocks and finished controls ------------------------------------- */

/* Root motion of the tree, blended as its poses are (see
   KelvoGetRootMotionVectors). */
KELVO_API void KelvoGetBlendDagTreeMotionVectors(kelvo_blend_dag_node *RootNode,
                                                 kelvo_real32 SecondsElapsed,
                                                 kelvo_real32 *ResultTranslation,
                                                 kelvo_real32 *ResultRotation,
                                                 kelvo_bool32 Inverse);
KELVO_API void KelvoUpdateBlendDagTreeMatrix(kelvo_blend_dag_node *RootNode,
                                             kelvo_real32 SecondsElapsed,
                                             kelvo_real32 const *ModelMatrix4x4,
                                             kelvo_real32 *DestMatrix4x4, kelvo_bool32 Inverse);
KELVO_API void KelvoSetBlendDagTreeClock(kelvo_blend_dag_node *RootNode, kelvo_real32 Clock);
KELVO_API void KelvoBlendDagNodeAnimationBlendFreeCompletedControls(kelvo_blend_dag_node *Node);
KELVO_API void KelvoBlendDagFreeCompletedControlsEntireTree(kelvo_blend_dag_node *RootNode);

#endif
