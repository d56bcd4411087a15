// The sampled-animation buffer content tools fill frame by frame before
// fitting: per transform curve, sample-count positions, orientations and
// scale/shears, all in one block. Samples start as the identity so a curve
// a tool never sets fits to an identity curve instead of to garbage.
#include "kelvo2/kelvo2_track_group.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

struct kelvo_sampled_animation {
    kelvo_int32 TransformCurveCount;
    kelvo_int32 SampleCount;
    kelvo_int32 CurrentSample;
    kelvo_real32 *Positions;    // 3 per sample, curve-major
    kelvo_real32 *Orientations; // 4
    kelvo_real32 *ScaleShears;  // 9
};

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;

kelvo_real32 const IdentityOrientation[4] = {0, 0, 0, 1};
kelvo_real32 const IdentityScaleShear[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

template <int Width>
kelvo_real32 *CurveSamples(kelvo_sampled_animation const *Buffer, kelvo_real32 *Base,
                           kelvo_int32 CurveIndex) {
    return Base + (kelvo_int64)CurveIndex * Buffer->SampleCount * Width;
}

template <int Width>
void Fill(kelvo_real32 *Samples, kelvo_int64 Count, kelvo_real32 const *Value) {
    for (kelvo_int64 Index = 0; Index < Count; ++Index) {
        memcpy(Samples + Index * Width, Value, sizeof(kelvo_real32) * Width);
    }
}

} // namespace

KELVO_API kelvo_sampled_animation *KelvoBeginSampledAnimation(kelvo_int32 TransformCurveCount,
                                                              kelvo_int32 SampleCount) {
    KELVO_CHECK(TransformCurveCount >= 0, Origin, nullptr);
    KELVO_CHECK(SampleCount >= 0, Origin, nullptr);
    kelvo_sampled_animation *Buffer = nullptr;
    kelvo_real32 *Positions = nullptr, *Orientations = nullptr, *ScaleShears = nullptr;
    kelvo_int64 Count = (kelvo_int64)TransformCurveCount * SampleCount;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Buffer, (kelvo_int64)sizeof(kelvo_sampled_animation));
    AggrAllocArrayPtr(Aggr, Count * 3, &Positions);
    AggrAllocArrayPtr(Aggr, Count * 4, &Orientations);
    AggrAllocArrayPtr(Aggr, Count * 9, &ScaleShears);
    // A buffer beyond int32 bytes is refused (and reported) by the allocation.
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    *Buffer = kelvo_sampled_animation{TransformCurveCount, SampleCount,  0,
                                      Positions,           Orientations, ScaleShears};
    memset(Positions, 0, sizeof(kelvo_real32) * 3 * Count);
    Fill<4>(Orientations, Count, IdentityOrientation);
    Fill<9>(ScaleShears, Count, IdentityScaleShear);
    return Buffer;
}

KELVO_API void KelvoEndSampledAnimation(kelvo_sampled_animation *Buffer) {
    if (Buffer) {
        KELVO_DEALLOCATE(Buffer);
    }
}

KELVO_API void KelvoSetTransformSample(kelvo_sampled_animation *Buffer, kelvo_int32 CurveIndex,
                                       kelvo_real32 const *Position,
                                       kelvo_real32 const *Orientation,
                                       kelvo_real32 const *ScaleShear) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, KELVO_NOTHING);
    KELVO_CHECK_INDEX(CurveIndex, Buffer->TransformCurveCount, Origin, KELVO_NOTHING);
    // Past the last frame there is no current sample to write.
    KELVO_CHECK_INDEX(Buffer->CurrentSample, Buffer->SampleCount, Origin, KELVO_NOTHING);
    kelvo_int32 Sample = Buffer->CurrentSample;
    if (Position) {
        memcpy(CurveSamples<3>(Buffer, Buffer->Positions, CurveIndex) + Sample * 3, Position,
               sizeof(kelvo_real32) * 3);
    }
    if (Orientation) {
        memcpy(CurveSamples<4>(Buffer, Buffer->Orientations, CurveIndex) + Sample * 4, Orientation,
               sizeof(kelvo_real32) * 4);
    }
    if (ScaleShear) {
        memcpy(CurveSamples<9>(Buffer, Buffer->ScaleShears, CurveIndex) + Sample * 9, ScaleShear,
               sizeof(kelvo_real32) * 9);
    }
}

KELVO_API void KelvoPushSampledFrame(kelvo_sampled_animation *Buffer) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, KELVO_NOTHING);
    KELVO_CHECK_INDEX(Buffer->CurrentSample, Buffer->SampleCount, Origin, KELVO_NOTHING);
    ++Buffer->CurrentSample;
}

KELVO_API kelvo_real32 *KelvoGetPositionSamples(kelvo_sampled_animation *Buffer,
                                                kelvo_int32 CurveIndex) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, nullptr);
    KELVO_CHECK_INDEX(CurveIndex, Buffer->TransformCurveCount, Origin, nullptr);
    return CurveSamples<3>(Buffer, Buffer->Positions, CurveIndex);
}

KELVO_API kelvo_real32 *KelvoGetOrientationSamples(kelvo_sampled_animation *Buffer,
                                                   kelvo_int32 CurveIndex) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, nullptr);
    KELVO_CHECK_INDEX(CurveIndex, Buffer->TransformCurveCount, Origin, nullptr);
    return CurveSamples<4>(Buffer, Buffer->Orientations, CurveIndex);
}

KELVO_API kelvo_real32 *KelvoGetScaleShearSamples(kelvo_sampled_animation *Buffer,
                                                  kelvo_int32 CurveIndex) {
    KELVO_CHECK_NOT_NULL(Buffer, Origin, nullptr);
    KELVO_CHECK_INDEX(CurveIndex, Buffer->TransformCurveCount, Origin, nullptr);
    return CurveSamples<9>(Buffer, Buffer->ScaleShears, CurveIndex);
}
