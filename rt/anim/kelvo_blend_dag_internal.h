// The blend DAG node record, shared with the tests that craft faulty trees.
#ifndef KELVO_BLEND_DAG_INTERNAL_H
#define KELVO_BLEND_DAG_INTERNAL_H

#include "kelvo2/kelvo2_blend_dag.h"

struct kelvo_blend_dag_node {
    kelvo_blend_dag_node *ParentNode;
    kelvo_int32 NumChildNodes;
    kelvo_blend_dag_node **ChildNodes; // owned array, NumChildNodes long
    kelvo_real32 ResultWeight;
    kelvo_track_mask *ResultTrackMask;
    bool OwnsResultTrackMask;
    kelvo_int32 Type;
    union {
        struct {
            kelvo_model_instance *ModelInstance;
            kelvo_real32 FillThreshold;
            bool OwnsModelInstance;
        } AnimationBlend;
        struct {
            kelvo_local_pose *LocalPose;
            bool OwnsLocalPose;
        } LocalPose;
        struct {
            kelvo_blend_dag_sample_callback *SampleCallback;
            kelvo_blend_dag_set_clock_callback *SetClockCallback;
            kelvo_blend_dag_motion_vectors_callback *MotionVectorsCallback;
            void *UserData;
        } Callback;
        struct {
            kelvo_real32 WeightNone;
            kelvo_real32 WeightAll;
            kelvo_track_mask *TrackMask;
            bool OwnsTrackMask;
        } Crossfade;
        struct {
            kelvo_skeleton const *ReferenceSkeleton;
            kelvo_int32 QuaternionMode;
            kelvo_real32 FillThreshold;
        } WeightedBlend;
    };
};

#endif
