// The curve builder: a chosen format, degree, dimension and knot count, then
// knots and controls (or a curve to copy), ended into one block holding the
// curve record, the format record and its arrays, or into caller memory.
#include "anim/kelvo_curve_formats.h"
#include "foundation/kelvo_counters.h"

#include <string.h>

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;

bool Reserve(kelvo_curve_builder const &Builder, aggr_allocator &Allocator, bool WithCurveRecord,
             kelvo_curve2 **Curve, void **Data) {
    if (WithCurveRecord) {
        AggrAllocPtr(Allocator, Curve, (kelvo_int64)sizeof(kelvo_curve2));
    }
    return CurveFormats[Builder.FormatIndex].AddToAggregate(Builder, Allocator, Data) >= 0;
}

kelvo_curve_builder *NewBuilder() {
    kelvo_curve_builder *Builder = KELVO_ALLOCATE(kelvo_curve_builder);
    if (Builder) {
        memset(Builder, 0, sizeof(*Builder));
        Builder->OwnedByCaller = true;
        Builder->FormatIndex = -1;
        Builder->SampleCount = -1;
        Builder->SampleDimension = -1;
    }
    return Builder;
}

void Release(kelvo_curve_builder *Builder) {
    if (Builder && Builder->OwnedByCaller) {
        KELVO_DEALLOCATE(Builder);
    }
}

// Formats whose controls are not knot by knot need no knot array.
bool NeedsKnots(kelvo_int32 FormatIndex) {
    curve_family Family = CurveFormatLayouts[FormatIndex].Family;
    return Family != curve_family::Keyframes && Family != curve_family::Identity &&
           Family != curve_family::Constant && Family != curve_family::FixedConstant;
}

// Steps 1 and 2 of ending: the reasons a builder cannot end.
bool CanEnd(kelvo_curve_builder const *Builder, void const *Memory) {
    if (!Builder) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Invalid curve_builder address - returning NULL",
            KELVO_HERE);
        return false;
    }
    if (Builder->FormatIndex < 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Invalid format specified for a kelvo_curve2 - returning NULL", KELVO_HERE);
        return false;
    }
    if (!Memory) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Out of memory or invalid address for curve - returning NULL", KELVO_HERE);
        return false;
    }
    if (Builder->SourceCurve) {
        return true;
    }
    if (Builder->Controls && !Builder->Knots && NeedsKnots(Builder->FormatIndex) &&
        Builder->KnotCount != 1) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unknown curve type - returning NULL",
            KELVO_HERE);
        return false;
    }
    if (Builder->Controls && !Builder->Knots && Builder->FormatIndex == DaKeyframes32f &&
        Builder->Degree != 0 && Builder->KnotCount != 1) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Unknown curve type - returning NULL",
            KELVO_HERE);
        return false;
    }
    // Knots without controls would leave the controls to be read from nowhere.
    if (!Builder->Controls && Builder->KnotCount != 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Need either a source curve to copy, or both knot and control arrays - "
            "returning NULL",
            KELVO_HERE);
        return false;
    }
    return true;
}

// The values of a laid-out curve: a copy of the source, or the pushed knots
// and controls encoded in the format. Samples are recorded by the builder,
// but no format fills a curve from them.
void Fill(kelvo_curve_builder const &Builder, kelvo_curve2 *Curve) {
    kelvo_curve_format const &Format = CurveFormats[Builder.FormatIndex];
    if (Builder.SourceCurve) {
        Format.Copy(Curve, Builder.SourceCurve);
        return;
    }
    kelvo_real32 const ZeroKnot = 0.0f;
    kelvo_real32 const *Knots = Builder.Knots;
    if (!Knots && Builder.FormatIndex != DaKeyframes32f) {
        Knots = &ZeroKnot;
    }
    Format.SetAllKnotValues(Curve, Builder.KnotCount, Builder.Dimension, Knots, Builder.Controls);
}

} // namespace

kelvo_int64 CurveBlockSize(kelvo_curve_builder const &Builder, bool WithCurveRecord) {
    aggr_allocator Allocator;
    AggrInit(Allocator);
    kelvo_curve2 *Curve = nullptr;
    void *Data = nullptr;
    if (!Reserve(Builder, Allocator, WithCurveRecord, &Curve, &Data)) {
        AggrInit(Allocator);
        return -1;
    }
    return EndAggrSize(Allocator, KELVO_HERE);
}

kelvo_int32 ResultingCurveSize(kelvo_curve_builder const &Builder, bool WithCurveRecord) {
    return kelvo::ResultingSize(CurveBlockSize(Builder, WithCurveRecord), Origin);
}

kelvo_curve2 *LayOutCurve(kelvo_curve_builder const &Builder, kelvo_curve2 *Curve, void *Memory) {
    kelvo_int64 Size = CurveBlockSize(Builder, !Curve);
    aggr_allocator Allocator;
    AggrInit(Allocator);
    kelvo_curve2 *Record = nullptr;
    void *Data = nullptr;
    if (Size < 0 || !Reserve(Builder, Allocator, !Curve, &Record, &Data)) {
        AggrInit(Allocator);
        return nullptr;
    }
    // Fields no encoder writes (padding, unused scales) start as zeros.
    memset(Memory, 0, (size_t)Size);
    if (!EndAggrPlacement(Allocator, KELVO_HERE, Memory)) {
        return nullptr;
    }
    Curve = Curve ? Curve : Record;
    Curve->CurveData.Type = CurveFormatLayouts[Builder.FormatIndex].Definition;
    Curve->CurveData.Object = Data;
    kelvo_curve_data_header *Header = CurveHeader(Curve);
    Header->Format = (kelvo_uint8)Builder.FormatIndex;
    Header->Degree = (kelvo_uint8)Builder.Degree;
    return Curve;
}

} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_curve_builder *KelvoBeginCurve(kelvo_data_type_definition const *CurveType,
                                               kelvo_int32 Degree, kelvo_int32 Dimension,
                                               kelvo_int32 KnotCount) {
    KELVO_CHECK(Degree >= 0 && Degree <= MaxCurveDegree, Origin, nullptr);
    KELVO_CHECK(Dimension >= 0 && Dimension <= MaxCurveDimension, Origin, nullptr);
    KELVO_CHECK(KnotCount >= 0, Origin, nullptr);
    kelvo_curve_builder *Builder = NewBuilder();
    if (!Builder) {
        return nullptr;
    }
    Builder->Type = CurveType;
    Builder->Degree = Degree;
    Builder->Dimension = Dimension;
    Builder->KnotCount = KnotCount;
    kelvo_uint8 Format = FindCurveFormat(CurveType);
    kelvo_int32 FormatDimension =
        Format == UnknownCurveFormat ? 0 : CurveFormatLayouts[Format].Dimension;
    if (Format == UnknownCurveFormat) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Invalid format specified for a kelvo_curve2 - creating this curve will fail",
            KELVO_HERE);
    } else if (FormatDimension != 0 && Dimension != FormatDimension) {
        // The encoder would read the controls with the format's stride.
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Dimension %d does not fit format \"%s\" of dimension %d - creating this "
            "curve will fail",
            KELVO_HERE, Dimension, CurveFormatLayouts[Format].Name, FormatDimension);
    } else {
        Builder->FormatIndex = Format;
    }
    return Builder;
}

namespace kelvo {

bool DescribeCurveCopy(kelvo_curve_builder &Builder, kelvo_curve2 const *SourceCurve) {
    KELVO_CHECK_NOT_NULL(SourceCurve, Origin, false);
    kelvo_curve_format const *Format = CurveFormatOf(SourceCurve);
    if (!Format) {
        return false;
    }
    Builder.Type = SourceCurve->CurveData.Type;
    Builder.FormatIndex = CurveHeader(SourceCurve)->Format;
    Builder.Degree = CurveHeader(SourceCurve)->Degree;
    Builder.KnotCount = Format->GetKnotCount(SourceCurve);
    Builder.Dimension = Builder.KnotCount > 0 ? Format->GetDimension(SourceCurve) : 0;
    Builder.SourceCurve = SourceCurve;
    return true;
}

} // namespace kelvo

KELVO_API kelvo_curve_builder *KelvoBeginCurveCopy(kelvo_curve2 const *SourceCurve) {
    kelvo_curve_builder Description = {};
    if (!DescribeCurveCopy(Description, SourceCurve)) {
        return nullptr;
    }
    kelvo_curve_builder *Builder = NewBuilder();
    if (Builder) {
        Description.OwnedByCaller = true;
        Description.SampleCount = Description.SampleDimension = -1;
        *Builder = Description;
    }
    return Builder;
}

KELVO_API void KelvoPushCurveKnotArray(kelvo_curve_builder *Builder,
                                       kelvo_real32 const *KnotArray) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->Knots = KnotArray;
    Builder->SourceCurve = nullptr;
}

KELVO_API void KelvoPushCurveControlArray(kelvo_curve_builder *Builder,
                                          kelvo_real32 const *ControlArray) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->Controls = ControlArray;
    Builder->SourceCurve = nullptr;
}

KELVO_API void KelvoPushCurveSampleArrays(kelvo_curve_builder *Builder, kelvo_int32 SampleCount,
                                          kelvo_int32 Dimension,
                                          kelvo_real32 const *TransformedSamples,
                                          kelvo_real32 const *OriginalSamples) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    Builder->SampleCount = SampleCount;
    Builder->SampleDimension = Dimension;
    Builder->TransformedSamples = TransformedSamples;
    Builder->UntransformedSamples = OriginalSamples;
}

namespace {

kelvo_int32 ResultingSize(kelvo_curve_builder const *Builder, bool WithCurveRecord) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    if (Builder->FormatIndex < 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Invalid format specified for a kelvo_curve2 - returning size of 0",
            KELVO_HERE);
        return 0;
    }
    return ResultingCurveSize(*Builder, WithCurveRecord);
}

kelvo_curve2 *End(kelvo_curve_builder *Builder, kelvo_curve2 *Curve, void *Memory) {
    KELVO_TIMED_BLOCK("EndCurve");
    kelvo_curve2 *Result = nullptr;
    if (CanEnd(Builder, Memory)) {
        Result = LayOutCurve(*Builder, Curve, Memory);
        if (Result) {
            Fill(*Builder, Result);
        }
    }
    Release(Builder);
    return Result;
}

} // namespace

KELVO_API kelvo_int32 KelvoGetResultingCurveSize(kelvo_curve_builder const *Builder) {
    return ResultingSize(Builder, true);
}

KELVO_API kelvo_int32 KelvoGetResultingCurveDataSize(kelvo_curve_builder const *Builder) {
    return ResultingSize(Builder, false);
}

KELVO_API kelvo_curve2 *KelvoEndCurveInPlace(kelvo_curve_builder *Builder, void *Memory) {
    return End(Builder, nullptr, Memory);
}

KELVO_API void KelvoEndCurveDataInPlace(kelvo_curve_builder *Builder, kelvo_curve2 *Curve,
                                        void *Memory) {
    if (!Curve) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve is not allowed to be 0", KELVO_HERE);
        Release(Builder);
        return;
    }
    End(Builder, Curve, Memory);
}

KELVO_API kelvo_curve2 *KelvoEndCurve(kelvo_curve_builder *Builder) {
    kelvo_int32 Size = Builder && Builder->FormatIndex >= 0 ? ResultingSize(Builder, true) : 0;
    void *Memory = Size > 0 ? KELVO_ALLOCATE_SIZE(Size) : nullptr;
    kelvo_curve2 *Curve = End(Builder, nullptr, Memory);
    if (!Curve && Memory) {
        KELVO_DEALLOCATE(Memory);
    }
    return Curve;
}

KELVO_API void KelvoAbortCurveBuilder(kelvo_curve_builder *Builder) {
    Release(Builder);
}

KELVO_API void KelvoFreeCurve(kelvo_curve2 *Curve) {
    if (Curve) {
        KELVO_DEALLOCATE(Curve);
    }
}
