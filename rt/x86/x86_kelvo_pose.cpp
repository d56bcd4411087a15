// Pose work with SSE2: the world-pose kernels (x86_kelvo_pose_kernels.h)
// compiled for SSE2, weighted accumulation, and the quaternion
// renormalization that ends accumulation.
#include "anim/kelvo_pose.h"

#if defined(__x86_64__) || defined(__i386__)

#include "x86/x86_kelvo_contribution.h"
#include "x86/x86_kelvo_pose_kernels.h"

namespace kelvo {

pose_routines const SSEPoseRoutines = {&BuildWorldBones<sse_kernels>, &MultiplyEach<sse_kernels>};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    __m128 const Q = _mm_loadu_ps(Quaternion);
    __m128 const Squares = _mm_mul_ps(Q, Q);
    __m128 const Pairs = _mm_add_ps(Squares, Pick<0xb1>(Squares));
    __m128 const E = _mm_add_ps(Pairs, Pick<0x4e>(Pairs)); // in every lane
    kelvo_real32 const Length2 = _mm_cvtss_f32(E);
    __m128 Scale;
    if (Length2 >= 0.9f && Length2 <= 1.1f) {
        // Two Newton steps of 1/sqrt from 1, as the portable path takes them.
        __m128 const T = _mm_sub_ps(_mm_set1_ps(3), E);
        __m128 const Inner = _mm_sub_ps(_mm_set1_ps(12), _mm_mul_ps(E, _mm_mul_ps(T, T)));
        Scale = _mm_mul_ps(_mm_mul_ps(T, Inner), _mm_set1_ps(1.0f / 16));
    } else if (Length2 > 0) {
        Scale = _mm_div_ps(_mm_set1_ps(1), _mm_sqrt_ps(E));
    } else {
        return;
    }
    _mm_storeu_ps(Quaternion, _mm_mul_ps(Q, Scale));
}

namespace {

// The sums of Sum times lane Lane of Inverse.
void ScaleSums(kelvo_transform &Sum, __m128 Inverse, int Lane) {
    __m128 const Scale = Lane == 0   ? Spread<0>(Inverse)
                         : Lane == 1 ? Spread<1>(Inverse)
                         : Lane == 2 ? Spread<2>(Inverse)
                                     : Spread<3>(Inverse);
    kelvo_real32 *Position = Sum.Position;
    kelvo_real32 *ScaleShear = Sum.ScaleShear;
    __m64 *Pair = reinterpret_cast<__m64 *>(Position);
    _mm_storel_pi(Pair, _mm_mul_ps(_mm_loadl_pi(_mm_setzero_ps(), Pair), Scale));
    _mm_store_ss(Position + 2, _mm_mul_ss(_mm_load_ss(Position + 2), Scale));
    _mm_storeu_ps(ScaleShear, _mm_mul_ps(_mm_loadu_ps(ScaleShear), Scale));
    _mm_storeu_ps(ScaleShear + 4, _mm_mul_ps(_mm_loadu_ps(ScaleShear + 4), Scale));
    _mm_store_ss(ScaleShear + 8, _mm_mul_ss(_mm_load_ss(ScaleShear + 8), Scale));
}

} // namespace

void AccumulateContributionsSSE(kelvo_local_pose_transform *Entries, kelvo_int32 TraversalID,
                                kelvo_bone const *Bones, int Count,
                                pose_contribution const *Contributions) {
    AddEachContribution(Entries, TraversalID, Bones, Count, Contributions,
                        [TraversalID](kelvo_local_pose_transform &Entry, kelvo_real32 Sign,
                                      pose_contribution const &Contribution) {
                            AddContributionTo(Entry, TraversalID, Contribution.Weight, Sign,
                                              Contribution.Flags, Contribution.Sums);
                        });
}

bool NormalizeEntriesSSE(kelvo_local_pose_transform *Entries) {
    kelvo_local_pose_transform &A = Entries[0], &B = Entries[1], &C = Entries[2], &D = Entries[3];
    __m128 X = _mm_loadu_ps(A.Transform.Orientation), Y = _mm_loadu_ps(B.Transform.Orientation);
    __m128 Z = _mm_loadu_ps(C.Transform.Orientation), W = _mm_loadu_ps(D.Transform.Orientation);
    _MM_TRANSPOSE4_PS(X, Y, Z, W);
    // Grouped as the single-quaternion sum groups them, so every lane has
    // its bits.
    __m128 const E = _mm_add_ps(_mm_add_ps(_mm_mul_ps(X, X), _mm_mul_ps(Y, Y)),
                                _mm_add_ps(_mm_mul_ps(Z, Z), _mm_mul_ps(W, W)));
    __m128 const Weight = _mm_setr_ps(A.Weight, B.Weight, C.Weight, D.Weight);
    __m128 const Zero = _mm_setzero_ps();
    if (_mm_movemask_ps(_mm_or_ps(_mm_cmpeq_ps(Weight, Zero), _mm_cmpeq_ps(E, Zero)))) {
        return false;
    }
    __m128 const One = _mm_set1_ps(1);
    __m128 const Inverse = _mm_div_ps(One, Weight);
    for (int Index = 0; Index < 4; ++Index) {
        if (Entries[Index].Count != 1 || Entries[Index].Weight != 1) {
            ScaleSums(Entries[Index].Transform, Inverse, Index);
        }
    }
    __m128 const T = _mm_sub_ps(_mm_set1_ps(3), E);
    __m128 const Inner = _mm_sub_ps(_mm_set1_ps(12), _mm_mul_ps(E, _mm_mul_ps(T, T)));
    __m128 const Newton = _mm_mul_ps(_mm_mul_ps(T, Inner), _mm_set1_ps(1.0f / 16));
    __m128 const Exact = _mm_div_ps(One, _mm_sqrt_ps(E));
    __m128 const Near =
        _mm_and_ps(_mm_cmpge_ps(E, _mm_set1_ps(0.9f)), _mm_cmple_ps(E, _mm_set1_ps(1.1f)));
    __m128 const Scale = Select(Near, Newton, Exact);
    // A NaN length leaves its quaternion as it is.
    __m128 const Scaled = _mm_cmpgt_ps(E, Zero);
    X = Select(Scaled, _mm_mul_ps(X, Scale), X);
    Y = Select(Scaled, _mm_mul_ps(Y, Scale), Y);
    Z = Select(Scaled, _mm_mul_ps(Z, Scale), Z);
    W = Select(Scaled, _mm_mul_ps(W, Scale), W);
    _MM_TRANSPOSE4_PS(X, Y, Z, W);
    _mm_storeu_ps(A.Transform.Orientation, X);
    _mm_storeu_ps(B.Transform.Orientation, Y);
    _mm_storeu_ps(C.Transform.Orientation, Z);
    _mm_storeu_ps(D.Transform.Orientation, W);
    return true;
}

} // namespace kelvo

#else

namespace kelvo {

// Never used: SSEPosesEnabled() is false off x86.
pose_routines const SSEPoseRoutines = {};

void RenormalizeQuaternionSSE(kelvo_real32 *Quaternion) {
    FastRenormalizeQuaternion(Quaternion);
}

bool NormalizeEntriesSSE(kelvo_local_pose_transform *) {
    return false;
}

void AccumulateContributionsSSE(kelvo_local_pose_transform *, kelvo_int32, kelvo_bone const *, int,
                                pose_contribution const *) {}

} // namespace kelvo

#endif
