// The SSE2 adding step of pose accumulation, shared by the accumulation
// kernel and the evaluation of steady cubic pairs straight into entries,
// and the loads and stores of three reals that both pair kernels use.
#pragma once

#include "anim/kelvo_pose.h"

#include <immintrin.h>

namespace kelvo {

// Three reals into lanes 0-2 (lane 3 zero) without reading past them.
inline __m128 Load3(kelvo_real32 const *From) {
    // loadl, unlike load_sd, is no double access, which the reals' 4-byte
    // alignment would not allow.
    __m128 const XY = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<__m64 const *>(From));
    return _mm_movelh_ps(XY, _mm_load_ss(From + 2));
}

inline void Store3(kelvo_real32 *To, __m128 Value) {
    _mm_storel_pi(reinterpret_cast<__m64 *>(To), Value);
    _mm_store_ss(To + 2, _mm_movehl_ps(Value, Value));
}

// Lanes of Mask from A, the others from B.
inline __m128 Select(__m128 Mask, __m128 A, __m128 B) {
    return _mm_or_ps(_mm_and_ps(Mask, A), _mm_andnot_ps(Mask, B));
}

// The adding step and the first contribution: every real gets the portable
// code's single operations (Sum + W x T, W x T, or T where a weight of 1
// copies), lane for lane. The 16 sums sit 12 bytes into the entry, after
// its weight, count and flags; the orientation takes lane 3 of the first
// four and lanes 0-2 of the second, as in T0 .. T3.
inline void AddContributionTo(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
                              kelvo_real32 Weight, kelvo_real32 Sign, kelvo_uint32 Flags, __m128 T0,
                              __m128 T1, __m128 T2, __m128 T3) {
    kelvo_real32 *const Sum = Entry.Transform.Position;
    kelvo_real32 const OrientationWeight = Sign * Weight;
    __m128 const W = _mm_set1_ps(Weight);
    __m128 const Last = _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1));
    __m128 const First = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
    // Weight in the lanes of position and scale/shear, the signed weight
    // in those of the orientation.
    __m128 const Both = _mm_unpacklo_ps(W, _mm_set_ss(OrientationWeight)); // W, OW, W, 0
    __m128 const W0 = _mm_shuffle_ps(Both, Both, _MM_SHUFFLE(1, 0, 0, 0));
    __m128 const W1 = _mm_shuffle_ps(Both, Both, _MM_SHUFFLE(0, 1, 1, 1));
    __m128 P0 = _mm_mul_ps(W0, T0), P1 = _mm_mul_ps(W1, T1);
    __m128 P2 = _mm_mul_ps(W, T2), P3 = _mm_mul_ps(W, T3);
    if (Entry.TraversalID == TraversalID) {
        _mm_storeu_ps(Sum, _mm_add_ps(_mm_loadu_ps(Sum), P0));
        _mm_storeu_ps(Sum + 4, _mm_add_ps(_mm_loadu_ps(Sum + 4), P1));
        _mm_storeu_ps(Sum + 8, _mm_add_ps(_mm_loadu_ps(Sum + 8), P2));
        _mm_storeu_ps(Sum + 12, _mm_add_ps(_mm_loadu_ps(Sum + 12), P3));
        Entry.Transform.Flags |= Flags;
        Entry.Weight += Weight;
        ++Entry.Count;
        return;
    }
    if (Weight == 1) {
        P0 = Select(Last, P0, T0);
        P1 = Select(First, P1, T1);
        P2 = T2;
        P3 = T3;
    }
    _mm_storeu_ps(Sum, P0);
    _mm_storeu_ps(Sum + 4, P1);
    _mm_storeu_ps(Sum + 8, P2);
    _mm_storeu_ps(Sum + 12, P3);
    Entry.Transform.Flags = Flags;
    Entry.Weight = Weight;
    Entry.Count = 1;
    Entry.TraversalID = TraversalID;
}

inline void AddContributionTo(kelvo_local_pose_transform &Entry, kelvo_int32 TraversalID,
                              kelvo_real32 Weight, kelvo_real32 Sign, kelvo_uint32 Flags,
                              kelvo_real32 const *Sums) {
    AddContributionTo(Entry, TraversalID, Weight, Sign, Flags, _mm_loadu_ps(Sums),
                      _mm_loadu_ps(Sums + 4), _mm_loadu_ps(Sums + 8), _mm_loadu_ps(Sums + 12));
}

// A steady cubic pair's lane (position P, normalized orientation Q) added to
// its entry as KelvoAccumulateLocalTransform adds a transform of identity
// scale/shear, the sign found from the orientation as stored.
inline void AddSteadyLane(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                          kelvo_bone const *Bones, steady_contribution const &Contribution,
                          __m128 P, __m128 Q) {
    kelvo_local_pose_transform &Entry = Entries[Contribution.Entry];
    alignas(16) kelvo_real32 Orientation[4];
    _mm_store_ps(Orientation, Q);
    kelvo_real32 const Sign =
        ContributionSign(Entry, TraversalID, Contribution.QuaternionMode,
                         Bones[Contribution.Bone].Transform.Orientation, Orientation);
    __m128 const One = _mm_set1_ps(1.0f);
    __m128 const ScaleShear = _mm_setr_ps(0, 0, 0, 1); // reals 1-4 and 5-8 of the identity
    __m128 const ZX = _mm_shuffle_ps(P, Q, _MM_SHUFFLE(0, 0, 2, 2));     // pz pz qx qx
    __m128 const T0 = _mm_shuffle_ps(P, ZX, _MM_SHUFFLE(2, 0, 1, 0));    // px py pz qx
    __m128 const WOne = _mm_shuffle_ps(Q, One, _MM_SHUFFLE(0, 0, 3, 3)); // qw qw 1 1
    __m128 const T1 = _mm_shuffle_ps(Q, WOne, _MM_SHUFFLE(2, 0, 2, 1));  // qy qz qw 1
    AddContributionTo(Entry, TraversalID, Contribution.Weight, Sign,
                      KelvoHasPosition | KelvoHasOrientation, T0, T1, ScaleShear, ScaleShear);
}

} // namespace kelvo
