/* kelvo2: the statistics snapshot: model instances, controls, the binding
   cache, the tracks being played, live allocations and the timing counters,
   taken at once and rendered as lines of text for an on-screen display.
   Allocations are those of the default allocator. */
#ifndef KELVO2_STATS_H
#define KELVO2_STATS_H

#include "kelvo2_animation_binding.h"
#include "kelvo2_types.h"

typedef struct kelvo_stats_allocation_site {
    char const *SourceFileName;
    kelvo_int32 SourceLineNumber;
    kelvo_int32 Count;
    kelvo_int64 RequestedBytes;
    kelvo_int64 ActualBytes;
} kelvo_stats_allocation_site;

typedef struct kelvo_stats_counter {
    char const *Name;
    kelvo_int32 Count;
    kelvo_real64 SecondsWithoutChildren;
    kelvo_real64 CyclesWithoutChildren;
} kelvo_stats_counter;

/* Track census classes: identity, constant, animated. */
#define KELVO_STATS_TRACK_CLASSES 54

typedef struct kelvo_stats {
    kelvo_int32 FrameCount;

    kelvo_int32 TotalInstances;
    kelvo_int32 TotalBones;
    kelvo_int32 SourceModels;
    kelvo_int32 MaxInstancesPerModel;
    kelvo_int32 MaxBonesPerInstance;
    kelvo_int32 MaxControlsPerInstance;

    kelvo_int32 TotalControls;
    kelvo_int32 ActiveControls;
    kelvo_int32 ActiveWeightedControls;
    kelvo_int32 CompletableControls;
    kelvo_int32 CompletedControls;
    kelvo_int32 UnusedControls;
    kelvo_real32 MinClock, MaxClock;
    kelvo_real32 MinCompletion, MaxCompletion;

    kelvo_animation_binding_cache_status Cache;

    /* Counts indexed by position class x 18 + orientation class x 6 +
       scale/shear class x 2 + rebased, over the tracks of every binding
       played on an instance. */
    kelvo_int32 TrackTotal;
    kelvo_int32 TrackCounts[KELVO_STATS_TRACK_CLASSES];

    kelvo_int32 AllocationCount;
    kelvo_int64 RequestedBytes;
    kelvo_int64 ActualBytes;
    kelvo_int32 SiteCount;
    kelvo_stats_allocation_site *Sites; /* most actual bytes first */

    kelvo_real64 SecondsWithoutChildren;
    kelvo_real64 CyclesWithoutChildren;
    kelvo_int32 CounterCount;
    kelvo_stats_counter *Counters; /* most cycles first */
} kelvo_stats;

KELVO_API kelvo_stats *KelvoCaptureCurrentStats(kelvo_int32 FrameCount);
KELVO_API void KelvoFreeStats(kelvo_stats *Stats);
/* Null-terminated lines of at most 255 characters; at most 255 lines (the
   rest are left out). */
KELVO_API char **KelvoDumpStatHUD(kelvo_stats const *Stats);
KELVO_API void KelvoFreeStatHUDDump(char **Lines);

#endif
