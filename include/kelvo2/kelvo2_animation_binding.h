/* kelvo2: animation bindings. A binding connects one track group of an
   animation to the skeleton of one model: one bound transform track per bone
   (kelvo2_track_group.h), found by name or by wildcard patterns, optionally
   rebased from one model's skeleton onto another's.

   Conventions of the area:
   - Messages go under origin Animation.
   - Bindings are shared through a process-wide cache keyed by the binding
     identifier and counted by use. Bindings whose use count falls to 0 are
     kept, oldest first, until the total exceeds the maximum (initially 0,
     so an unused binding is freed at once) or until flushed.
   - The cache has no lock: callers serialize every binding operation. */
#ifndef KELVO2_ANIMATION_BINDING_H
#define KELVO2_ANIMATION_BINDING_H

#include "kelvo2_file_info.h"
#include "kelvo2_track_group.h"
#include "kelvo2_types.h"

/* The cache key; fields compare in this order. */
typedef struct kelvo_animation_binding_identifier {
    kelvo_animation const *Animation;
    kelvo_int32 SourceTrackGroupIndex;
    char const *TrackPattern;
    char const *BonePattern;
    kelvo_model const *OnModel;
    kelvo_model const *FromBasis; /* rebasing happens when these two differ */
    kelvo_model const *ToBasis;
} kelvo_animation_binding_identifier;

typedef struct kelvo_animation_binding kelvo_animation_binding;

struct kelvo_animation_binding {
    kelvo_animation_binding_identifier ID;
    void *RebasingMemory;
    kelvo_int32 TrackBindingCount; /* the bone count of ID.OnModel's skeleton */
    kelvo_bound_transform_track *TrackBindings;
    kelvo_int32 UsedBy;
    /* the cache's links */
    kelvo_animation_binding *Left;
    kelvo_animation_binding *Right;
    kelvo_animation_binding *Parent;
    kelvo_animation_binding *PreviousUnused;
    kelvo_animation_binding *NextUnused;
};

typedef struct kelvo_animation_binding_cache_status {
    kelvo_int32 BindingsCreated;
    kelvo_int32 BindingsDestroyed;
    kelvo_int32 DirectAcquireCount;
    kelvo_int32 IndirectAcquireCount;
    kelvo_int32 ReleaseCount;
    kelvo_int32 CurrentTotalBindingCount;
    kelvo_int32 CurrentUsedBindingCount;
    kelvo_int32 CacheHits;
    kelvo_int32 CacheMisses;
    kelvo_int32 ExplicitFlushCount;
    kelvo_int32 ExplicitFlushFrees;
    kelvo_int32 OverflowFrees;
} kelvo_animation_binding_cache_status;

/* Both patterns "*", no model; the caller sets OnModel. */
KELVO_API void KelvoMakeDefaultAnimationBindingID(kelvo_animation_binding_identifier *ID,
                                                  kelvo_animation const *Animation,
                                                  kelvo_int32 TrackGroupIndex);
/* A binding with an equal identifier, or a new one; null when it cannot be
   built. Each acquire is matched by one release. */
KELVO_API kelvo_animation_binding *
KelvoAcquireAnimationBindingFromID(kelvo_animation_binding_identifier const *ID);
KELVO_API kelvo_animation_binding *KelvoAcquireAnimationBinding(kelvo_animation_binding *Binding);
KELVO_API void KelvoReleaseAnimationBinding(kelvo_animation_binding *Binding);

KELVO_API kelvo_int32 KelvoGetMaximumAnimationBindingCount(void);
/* Frees nothing by itself; the next release or miss trims the cache. */
KELVO_API void KelvoSetMaximumAnimationBindingCount(kelvo_int32 Maximum);

KELVO_API void KelvoFlushAllUnusedAnimationBindings(void);
KELVO_API void KelvoFlushAllBindingsForAnimation(kelvo_animation const *Animation);
KELVO_API void KelvoFlushAnimationBinding(kelvo_animation_binding *Binding);

/* The bindings of one animation in key order; null at the end. */
KELVO_API kelvo_animation_binding *
KelvoGetFirstBindingForAnimation(kelvo_animation const *Animation);
KELVO_API kelvo_animation_binding *
KelvoGetNextBindingForAnimation(kelvo_animation const *Animation, kelvo_animation_binding *Binding);
/* The unused bindings, oldest first. */
KELVO_API kelvo_animation_binding *KelvoGetFirstUnusedAnimationBinding(void);
KELVO_API kelvo_animation_binding *
KelvoGetNextUnusedAnimationBinding(kelvo_animation_binding *Binding);
KELVO_API kelvo_bool32 KelvoIsAnimationUsed(kelvo_animation const *Animation);

/* Re-keys bindings to another animation of the same track layout (a reloaded
   copy): tracks are re-pointed by index. */
KELVO_API void KelvoRemapAnimationBindingPointers(kelvo_animation_binding *Binding,
                                                  kelvo_animation const *NewAnimation);
KELVO_API void KelvoRemapAllAnimationBindingPointers(kelvo_animation const *Animation,
                                                     kelvo_animation const *NewAnimation);

KELVO_API void KelvoGetAnimationBindingCacheStatus(kelvo_animation_binding_cache_status *Result);

/* ---- level-of-detail values -------------------------------------------------- */

KELVO_API kelvo_real32 KelvoGetLODErrorValue(kelvo_animation_binding const *Binding,
                                             kelvo_int32 TrackIndex);
KELVO_API void KelvoSetLODErrorValue(kelvo_animation_binding *Binding, kelvo_int32 TrackIndex,
                                     kelvo_real32 Value);
/* Both also refill every LODTransform. */
KELVO_API void KelvoSetAllLODErrorValues(kelvo_animation_binding *Binding, kelvo_real32 Value);
KELVO_API void KelvoResetLODErrorValues(kelvo_animation_binding *Binding);
/* The track group's error of each bound track = Scale x LODError (only when
   larger, if asked). */
KELVO_API void KelvoCopyLODErrorValuesToAnimation(kelvo_animation_binding *Binding,
                                                  kelvo_real32 Scale, kelvo_bool32 OnlyIfLarger);
KELVO_API void KelvoCopyLODErrorValuesFromAnimation(kelvo_animation_binding *Binding,
                                                    kelvo_real32 Scale);

#endif
