// The operations of the 19 curve formats: counts, knot search, decoding,
// encoding, layout for the builder, copying and the scale/offset/swizzle
// transform. Formats of one family share their code, templated on the record
// and on the width of the stored values. Curves from files were checked (format,
// degree, counts, knot order); decoding trusts the caller's knot range.
#include "anim/kelvo_curve_formats.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <limits>
#include <type_traits>

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;

template <typename record> record *DataOf(kelvo_curve2 const *Curve) {
    return static_cast<record *>(Curve->CurveData.Object);
}

curve_format_layout const &LayoutOf(kelvo_curve2 const *Curve) {
    return CurveFormatLayouts[CurveHeader(Curve)->Format];
}

// ---- stored arrays ---------------------------------------------------------------

struct record_array {
    kelvo_int32 CountOffset;
    kelvo_int32 ElementBytes;
};

// The arrays of a format record, in member order; returns how many.
kelvo_int32 RecordArrays(curve_format_layout const &Layout, record_array *Arrays) {
    switch (Layout.Family) {
    case curve_family::Keyframes:
        Arrays[0] = {(kelvo_int32)offsetof(kelvo_curve_data_da_keyframes32f, ControlCount), 4};
        return 1;
    case curve_family::Floats:
        Arrays[0] = {(kelvo_int32)offsetof(kelvo_curve_data_da_k32f_c32f, KnotCount), 4};
        Arrays[1] = {(kelvo_int32)offsetof(kelvo_curve_data_da_k32f_c32f, ControlCount), 4};
        return 2;
    case curve_family::Constant:
        Arrays[0] = {(kelvo_int32)offsetof(kelvo_curve_data_da_constant32f, ControlCount), 4};
        return 1;
    case curve_family::Scaled:
        Arrays[0] = {(kelvo_int32)offsetof(kelvo_curve_data_da_k16u_c16u, ControlScaleOffsetCount),
                     4};
        Arrays[1] = {Layout.KnotsControlsOffset, Layout.ValueBytes};
        return 2;
    case curve_family::Identity:
    case curve_family::FixedConstant:
        return 0;
    default:
        Arrays[0] = {Layout.KnotsControlsOffset, Layout.ValueBytes};
        return 1;
    }
}

// Element counts of those arrays for a curve of KnotCount knots of Dimension.
void ArrayCounts(curve_format_layout const &Layout, kelvo_int64 KnotCount, kelvo_int64 Dimension,
                 kelvo_int64 *Counts) {
    switch (Layout.Family) {
    case curve_family::Keyframes:
        Counts[0] = KnotCount * Dimension;
        break;
    case curve_family::Floats:
        Counts[0] = KnotCount;
        Counts[1] = KnotCount * Dimension;
        break;
    case curve_family::Constant:
        Counts[0] = Dimension;
        break;
    case curve_family::Scaled:
        Counts[0] = 2 * Dimension;
        Counts[1] = KnotCount * (Dimension + 1);
        break;
    case curve_family::Identity:
    case curve_family::FixedConstant:
        break;
    default:
        Counts[0] = KnotCount * (Layout.StoredPerKnot + 1);
        break;
    }
}

struct stored_array {
    kelvo_int32 Count;
    void *Values;
};

stored_array ArrayAt(void const *Record, kelvo_int32 CountOffset) {
    stored_array Array;
    memcpy(&Array.Count, static_cast<kelvo_uint8 const *>(Record) + CountOffset, 4);
    memcpy(&Array.Values, static_cast<kelvo_uint8 const *>(Record) + CountOffset + 4,
           sizeof(void *));
    return Array;
}

// ---- knots -----------------------------------------------------------------------

kelvo_real32 ScaleFromTruncated(kelvo_uint16 Truncated) {
    kelvo_uint32 Bits = (kelvo_uint32)Truncated << 16;
    kelvo_real32 Scale;
    memcpy(&Scale, &Bits, sizeof(Scale));
    return Scale;
}

kelvo_uint16 TruncateScale(kelvo_real32 Scale) {
    kelvo_uint32 Bits;
    memcpy(&Bits, &Scale, sizeof(Bits));
    return (kelvo_uint16)(Bits >> 16);
}

template <typename record> kelvo_real32 OneOverKnotScale(record const &Data) {
    if constexpr (requires { Data.OneOverKnotScale; }) {
        return Data.OneOverKnotScale;
    } else if constexpr (requires { Data.OneOverKnotScaleTrunc; }) {
        return ScaleFromTruncated(Data.OneOverKnotScaleTrunc);
    } else {
        return 1.0f;
    }
}

template <typename record> void SetKnotScale(record &Data, kelvo_real32 Scale) {
    if constexpr (requires { Data.OneOverKnotScale; }) {
        Data.OneOverKnotScale = Scale;
    } else if constexpr (requires { Data.OneOverKnotScaleTrunc; }) {
        Data.OneOverKnotScaleTrunc = TruncateScale(Scale);
    }
}

// Integer knots are searched with an integer key (KnotKey).
template <typename value> kelvo_int32 IntegerKnotKey(kelvo_real32 T, kelvo_real32 Scale) {
    return KnotKey(T, Scale, (kelvo_real32)std::numeric_limits<value>::max());
}

template <typename value> value Quantize(kelvo_real32 Value) {
    constexpr kelvo_real32 Largest = (kelvo_real32)std::numeric_limits<value>::max();
    if (!(Value > 0.0f)) {
        return 0;
    }
    return Value >= Largest ? (value)Largest : (value)(Value + 0.5f);
}

// Encodes the knots and returns the scale that decodes them. A last knot of
// 0 (or below, or not finite) gives a scale of 1 and all knots 0.
template <typename value>
kelvo_real32 EncodeKnots(value *Stored, kelvo_real32 const *Knots, kelvo_int32 KnotCount,
                         bool Truncated) {
    constexpr kelvo_real32 Largest = (kelvo_real32)std::numeric_limits<value>::max();
    kelvo_real32 Last = KnotCount > 0 ? Knots[KnotCount - 1] : 0.0f;
    kelvo_real32 Scale = Largest / Last;
    if (!(Last > 0.0f) || !isfinite(Scale)) {
        Scale = 1.0f;
    }
    if (Truncated) {
        Scale = ScaleFromTruncated(TruncateScale(Scale));
    }
    for (kelvo_int32 Index = 0; Index < KnotCount; ++Index) {
        Stored[Index] = Quantize<value>(Knots[Index] * Scale);
    }
    return Scale;
}

template <typename value>
void DecodeKnots(value const *Stored, kelvo_int32 First, kelvo_int32 Count, kelvo_real32 Scale,
                 kelvo_real32 *Knots) {
    kelvo_real32 Step = 1.0f / Scale;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        Knots[Index] = (kelvo_real32)Stored[First + Index] * Step;
    }
}

// ---- value ranges ------------------------------------------------------------------

template <typename value> constexpr kelvo_real32 QuantumOfRange() {
    return sizeof(value) == 1 ? 0.0039215689f : 1.5259022e-05f;
}

// The scale and offset that spread the values of component Component (of
// Stride per knot) over the stored range; a flat component gets scale 1.
template <typename value>
void RangeOf(kelvo_real32 const *Controls, kelvo_int32 KnotCount, kelvo_int32 Stride,
             kelvo_int32 Component, kelvo_real32 &Scale, kelvo_real32 &Offset) {
    kelvo_real32 Minimum = KnotCount > 0 ? Controls[Component] : 0.0f;
    kelvo_real32 Maximum = Minimum;
    for (kelvo_int32 Knot = 1; Knot < KnotCount; ++Knot) {
        kelvo_real32 Value = Controls[Knot * Stride + Component];
        Minimum = Value < Minimum ? Value : Minimum;
        Maximum = Value > Maximum ? Value : Maximum;
    }
    Scale = (Maximum - Minimum) * QuantumOfRange<value>();
    Offset = Minimum;
    if (Scale == 0.0f) {
        Scale = 1.0f;
    }
}

// ---- float formats: keyframes, knots and controls, constants ------------------------------

bool CheckSwizzles(kelvo_int32 Dimension, kelvo_int32 Components, kelvo_int32 const *Swizzles) {
    if (Dimension != Components) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve and argument dimensions do not match",
            KELVO_HERE);
        return false;
    }
    for (kelvo_int32 Index = 0; Index < Dimension; ++Index) {
        if (Swizzles[Index] < 0 || Swizzles[Index] >= Dimension) {
            Log(KelvoErrorLogMessage, Origin, "%s(%d): Swizzle %d is out of range [0, %d)",
                KELVO_HERE, Swizzles[Index], Dimension);
            return false;
        }
    }
    return true;
}

// Permutes each knot's Width stored values by the swizzle.
template <typename value>
void PermuteStored(value *Stored, kelvo_int32 KnotCount, kelvo_int32 Width,
                   kelvo_int32 const *Lanes) {
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        value *Values = Stored + Knot * Width;
        value In[MaxCurveDimension];
        memcpy(In, Values, Width * sizeof(value));
        for (kelvo_int32 Index = 0; Index < Width; ++Index) {
            Values[Index] = In[Lanes[Index]];
        }
    }
}

void SwizzleFloats(kelvo_real32 *Controls, kelvo_int32 VectorCount, kelvo_int32 Dimension,
                   kelvo_real32 const *Scales, kelvo_real32 const *Offsets,
                   kelvo_int32 const *Swizzles) {
    PermuteStored(Controls, VectorCount, Dimension, Swizzles);
    for (kelvo_int32 Index = 0; Index < VectorCount * Dimension; ++Index) {
        kelvo_int32 Lane = Index % Dimension;
        Controls[Index] = Controls[Index] * Scales[Lane] + Offsets[Lane];
    }
}

// Arrays of empty curves may be null.
void CopyReals(kelvo_real32 *Destination, kelvo_real32 const *Source, kelvo_int32 Count) {
    if (Count > 0) {
        memcpy(Destination, Source, Count * sizeof(kelvo_real32));
    }
}

void CopyVectors(kelvo_real32 const *Vector, kelvo_int32 Dimension, kelvo_int32 Count,
                 kelvo_real32 *Result) {
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        CopyReals(Result + Index * Dimension, Vector, Dimension);
    }
}

void ZeroKnots(kelvo_int32 Count, kelvo_real32 *Knots) {
    if (Knots) {
        memset(Knots, 0, Count * sizeof(kelvo_real32));
    }
}

kelvo_int32 FindNoKnot(kelvo_curve2 const *, kelvo_real32) {
    return 0;
}

// Keyframes.
using keyframes = kelvo_curve_data_da_keyframes32f;
kelvo_int32 KeyframesDimension(kelvo_curve2 const *Curve) {
    return DataOf<keyframes>(Curve)->Dimension;
}
// Knots or dimension from the stored count of control values.
kelvo_int32 CountPer(kelvo_int32 ControlCount, kelvo_int32 Divisor) {
    return Divisor > 0 ? ControlCount / Divisor : 0;
}
kelvo_int32 KeyframesKnotCount(kelvo_curve2 const *Curve) {
    return CountPer(DataOf<keyframes>(Curve)->ControlCount, DataOf<keyframes>(Curve)->Dimension);
}
void KeyframesExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                      kelvo_real32 *, kelvo_real32 *Controls, kelvo_real32 const *) {
    kelvo_int32 Dimension = KeyframesDimension(Curve);
    if (Controls) {
        CopyReals(Controls, DataOf<keyframes>(Curve)->Controls + First * Dimension,
                  Count * Dimension);
    }
}
void KeyframesSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32 Dimension,
                     kelvo_real32 const *, kelvo_real32 const *Controls) {
    keyframes *Data = DataOf<keyframes>(Curve);
    Data->Dimension = (kelvo_int16)Dimension;
    CopyReals(Data->Controls, Controls, KnotCount * Dimension);
}
bool KeyframesSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                      kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    keyframes *Data = DataOf<keyframes>(Curve);
    if (!CheckSwizzles(Dimension, Data->Dimension, Swizzles)) {
        return false;
    }
    SwizzleFloats(Data->Controls, KeyframesKnotCount(Curve), Dimension, Scales, Offsets, Swizzles);
    return true;
}

// Float knots and controls.
using floats = kelvo_curve_data_da_k32f_c32f;
kelvo_int32 FloatsKnotCount(kelvo_curve2 const *Curve) {
    return DataOf<floats>(Curve)->KnotCount;
}
kelvo_int32 FloatsDimension(kelvo_curve2 const *Curve) {
    return CountPer(DataOf<floats>(Curve)->ControlCount, DataOf<floats>(Curve)->KnotCount);
}
kelvo_int32 FloatsFindKnot(kelvo_curve2 const *Curve, kelvo_real32 T) {
    floats const *Data = DataOf<floats>(Curve);
    return UpperBound(Data->Knots, Data->KnotCount, T);
}
kelvo_int32 FloatsFindCloseKnot(kelvo_curve2 const *Curve, kelvo_real32 T, kelvo_int32 Start) {
    floats const *Data = DataOf<floats>(Curve);
    return CloseUpperBound(Data->Knots, Data->KnotCount, T, Start);
}
void FloatsExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                   kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_real32 const *) {
    floats const *Data = DataOf<floats>(Curve);
    kelvo_int32 Dimension = FloatsDimension(Curve);
    if (Knots) {
        CopyReals(Knots, Data->Knots + First, Count);
    }
    if (Controls) {
        CopyReals(Controls, Data->Controls + First * Dimension, Count * Dimension);
    }
}
void FloatsSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32 Dimension,
                  kelvo_real32 const *Knots, kelvo_real32 const *Controls) {
    floats *Data = DataOf<floats>(Curve);
    CopyReals(Data->Knots, Knots, KnotCount);
    CopyReals(Data->Controls, Controls, KnotCount * Dimension);
}
bool FloatsSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                   kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    floats *Data = DataOf<floats>(Curve);
    if (Data->KnotCount == 0) {
        return true;
    }
    if (!CheckSwizzles(Dimension, FloatsDimension(Curve), Swizzles)) {
        return false;
    }
    SwizzleFloats(Data->Controls, Data->KnotCount, Dimension, Scales, Offsets, Swizzles);
    return true;
}

// Identity.
using identity = kelvo_curve_data_da_identity;
kelvo_int32 IdentityDimension(kelvo_curve2 const *Curve) {
    return DataOf<identity>(Curve)->Dimension;
}
kelvo_int32 NoKnots(kelvo_curve2 const *) {
    return 0;
}
void IdentityExtract(kelvo_curve2 const *Curve, kelvo_int32, kelvo_int32 Count, kelvo_real32 *Knots,
                     kelvo_real32 *Controls, kelvo_real32 const *IdentityVector) {
    if (Knots && Count == 1) {
        Knots[0] = 0.0f;
    }
    if (Controls) {
        CopyVectors(IdentityVector, IdentityDimension(Curve), Count, Controls);
    }
}
void IdentitySetAll(kelvo_curve2 *Curve, kelvo_int32, kelvo_int32 Dimension, kelvo_real32 const *,
                    kelvo_real32 const *) {
    DataOf<identity>(Curve)->Dimension = (kelvo_int16)Dimension;
}
bool IdentitySwizzle(kelvo_curve2 *, kelvo_int32, kelvo_real32 const *, kelvo_real32 const *,
                     kelvo_int32 const *) {
    return true;
}

// Constants: one control, knot 0.
kelvo_int32 OneKnot(kelvo_curve2 const *) {
    return 1;
}
using constant = kelvo_curve_data_da_constant32f;
kelvo_int32 ConstantDimension(kelvo_curve2 const *Curve) {
    return DataOf<constant>(Curve)->ControlCount;
}
template <typename record> kelvo_real32 *ConstantControls(kelvo_curve2 const *Curve) {
    return DataOf<record>(Curve)->Controls;
}
template <typename record> kelvo_int32 ConstantWidth(kelvo_curve2 const *Curve) {
    if constexpr (requires { DataOf<record>(Curve)->ControlCount; }) {
        return DataOf<record>(Curve)->ControlCount;
    } else {
        return (kelvo_int32)(sizeof(record::Controls) / sizeof(kelvo_real32));
    }
}
template <typename record>
void ConstantExtract(kelvo_curve2 const *Curve, kelvo_int32, kelvo_int32 Count, kelvo_real32 *Knots,
                     kelvo_real32 *Controls, kelvo_real32 const *) {
    ZeroKnots(Count, Knots);
    if (Controls) {
        CopyVectors(ConstantControls<record>(Curve), ConstantWidth<record>(Curve), Count, Controls);
    }
}
template <typename record>
void ConstantSetAll(kelvo_curve2 *Curve, kelvo_int32, kelvo_int32 Dimension, kelvo_real32 const *,
                    kelvo_real32 const *Controls) {
    CopyReals(ConstantControls<record>(Curve), Controls, Dimension);
}
template <typename record>
bool ConstantSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                     kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    if (!CheckSwizzles(Dimension, ConstantWidth<record>(Curve), Swizzles)) {
        return false;
    }
    SwizzleFloats(ConstantControls<record>(Curve), 1, Dimension, Scales, Offsets, Swizzles);
    return true;
}
template <kelvo_int32 Dimension> kelvo_int32 FixedDimension(kelvo_curve2 const *) {
    return Dimension;
}

// ---- quantized formats with a KnotsControls array ---------------------------------------

template <typename record> auto *StoredValues(kelvo_curve2 const *Curve) {
    return DataOf<record>(Curve)->KnotsControls;
}

// Values stored per knot after the knots: the dimension for DaK*, one for
// the formats with a single scale or a line, three for the others.
template <typename record> kelvo_int32 PerKnot(kelvo_curve2 const *Curve) {
    if constexpr (requires { DataOf<record>(Curve)->ControlScaleOffsetCount; }) {
        return DataOf<record>(Curve)->ControlScaleOffsetCount / 2;
    } else if constexpr (requires { DataOf<record>(Curve)->ControlScale; } ||
                         std::is_same_v<record, kelvo_curve_data_d3i1_k32f_c32f> ||
                         std::is_same_v<record, kelvo_curve_data_d3i1_k16u_c16u> ||
                         std::is_same_v<record, kelvo_curve_data_d3i1_k8u_c8u>) {
        return 1;
    } else {
        return 3;
    }
}

// The common widths divide by a constant, which compiles to a multiply:
// searches and decodes of DaK* curves ask on every call.
template <typename record> kelvo_int32 StoredKnotCount(kelvo_curve2 const *Curve) {
    kelvo_int32 const Count = DataOf<record>(Curve)->KnotControlCount;
    switch (kelvo_int32 const Width = PerKnot<record>(Curve) + 1) {
    case 4:
        return Count / 4;
    case 5:
        return Count / 5;
    default:
        return Count / Width;
    }
}

// Without a start (-1) the halving search.
template <typename record>
kelvo_int32 StoredFindCloseKnot(kelvo_curve2 const *Curve, kelvo_real32 T, kelvo_int32 Start) {
    record const *Data = DataOf<record>(Curve);
    using value = std::remove_cv_t<std::remove_pointer_t<decltype(Data->KnotsControls)>>;
    if constexpr (sizeof(value) == 4) {
        return CloseUpperBound(Data->KnotsControls, StoredKnotCount<record>(Curve), T, Start);
    } else {
        return CloseUpperBound(Data->KnotsControls, StoredKnotCount<record>(Curve),
                               IntegerKnotKey<value>(T, OneOverKnotScale(*Data)), Start);
    }
}

// CloseUpperBound from Knot answers Knot at once while the key is not
// below knot Knot-1 and below knot Knot, and walks on one knot for each
// knot the key is not below; the last knot bounds nothing. Formats with
// float knots get a scale of 0: they are always searched.
template <typename record>
void StoredKnotKeys(kelvo_curve2 const *Curve, kelvo_int32 Knot, kelvo_int32 KnotCount,
                    knot_keys *Keys) {
    record const *Data = DataOf<record>(Curve);
    using value = std::remove_cv_t<std::remove_pointer_t<decltype(Data->KnotsControls)>>;
    if constexpr (sizeof(value) == 4) {
        Keys->Scale = 0.0f;
    } else {
        Keys->Scale = OneOverKnotScale(*Data);
        Keys->Largest = (kelvo_real32)std::numeric_limits<value>::max();
        Keys->Low = Knot > 0 ? (kelvo_int32)Data->KnotsControls[Knot - 1] : INT32_MIN;
        kelvo_int32 Bounds[3];
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            Bounds[Index] = Knot + Index < KnotCount - 1
                                ? (kelvo_int32)Data->KnotsControls[Knot + Index]
                                : INT32_MAX;
        }
        Keys->High = Bounds[0];
        Keys->Next = Bounds[1];
        Keys->After = Bounds[2];
    }
}

template <typename record> kelvo_int32 StoredFindKnot(kelvo_curve2 const *Curve, kelvo_real32 T) {
    return StoredFindCloseKnot<record>(Curve, T, -1);
}

template <typename record>
void StoredExtractKnots(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                        kelvo_real32 *Knots) {
    record const *Data = DataOf<record>(Curve);
    if constexpr (sizeof(*Data->KnotsControls) == 4) {
        CopyReals(Knots, Data->KnotsControls + First, Count);
    } else {
        DecodeKnots(Data->KnotsControls, First, Count, OneOverKnotScale(*Data), Knots);
    }
}

// Decodes the knots when asked and, when controls are asked for, hands
// Decode each knot's stored values and its Width controls.
template <typename record, typename decode>
void ExtractStored(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                   kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_int32 Width,
                   decode &&Decode) {
    if (Knots) {
        StoredExtractKnots<record>(Curve, First, Count, Knots);
    }
    if (!Controls) {
        return;
    }
    record const &Data = *DataOf<record>(Curve);
    kelvo_int32 Stride = PerKnot<record>(Curve);
    auto const *Stored = Data.KnotsControls + StoredKnotCount<record>(Curve) + First * Stride;
    for (kelvo_int32 Knot = 0; Knot < Count; ++Knot) {
        Decode(Data, Stored + Knot * Stride, Controls + Knot * Width);
    }
}

// DaK*: component j = q_j * scale_j + offset_j.
template <typename record, kelvo_int32 Fixed>
void ScaledExtractOf(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                     kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_int32 Dimension) {
    ExtractStored<record>(Curve, First, Count, Knots, Controls, Dimension,
                          [&](record const &Data, auto const *Stored, kelvo_real32 *Control) {
                              kelvo_real32 const *Scales = Data.ControlScaleOffsets;
                              if constexpr (Fixed > 0) {
                                  // Whole: the evaluator loads a control at once,
                                  // which lane by lane stores would stall.
                                  kelvo_real32 Lanes[Fixed];
                                  for (kelvo_int32 Lane = 0; Lane < Fixed; ++Lane) {
                                      Lanes[Lane] = (kelvo_real32)Stored[Lane] * Scales[Lane] +
                                                    Scales[Fixed + Lane];
                                  }
                                  memcpy(Control, Lanes, sizeof(Lanes));
                              } else {
                                  for (kelvo_int32 Lane = 0; Lane < Dimension; ++Lane) {
                                      Control[Lane] = (kelvo_real32)Stored[Lane] * Scales[Lane] +
                                                      Scales[Dimension + Lane];
                                  }
                              }
                          });
}

// Positions and quaternions get loops of a known length, which unroll.
template <typename record>
void ScaledExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                   kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_real32 const *) {
    kelvo_int32 Dimension = DataOf<record>(Curve)->ControlScaleOffsetCount / 2;
    switch (Dimension) {
    case 3:
        ScaledExtractOf<record, 3>(Curve, First, Count, Knots, Controls, 3);
        break;
    case 4:
        ScaledExtractOf<record, 4>(Curve, First, Count, Knots, Controls, 4);
        break;
    default:
        ScaledExtractOf<record, 0>(Curve, First, Count, Knots, Controls, Dimension);
    }
}

template <typename record>
void ScaledSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32 Dimension,
                  kelvo_real32 const *Knots, kelvo_real32 const *Controls) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    record *Data = DataOf<record>(Curve);
    SetKnotScale(*Data, EncodeKnots(Data->KnotsControls, Knots, KnotCount, true));
    kelvo_real32 *Scales = Data->ControlScaleOffsets;
    kelvo_real32 *Offsets = Scales + Dimension;
    value *Stored = Data->KnotsControls + KnotCount;
    for (kelvo_int32 Component = 0; Component < Dimension; ++Component) {
        RangeOf<value>(Controls, KnotCount, Dimension, Component, Scales[Component],
                       Offsets[Component]);
        for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
            kelvo_int32 At = Knot * Dimension + Component;
            Stored[At] = Quantize<value>((Controls[At] - Offsets[Component]) / Scales[Component]);
        }
    }
}

// New scale_j = old scale[s_j] * Scales[j], new offset_j = old offset[s_j] *
// Scales[j] + Offsets[j], for Width lanes taken at Lanes.
void SwizzleScaleOffsets(kelvo_real32 *ScaleValues, kelvo_real32 *OffsetValues, kelvo_int32 Width,
                         kelvo_int32 const *Lanes, kelvo_real32 const *Scales,
                         kelvo_real32 const *Offsets) {
    kelvo_real32 OldScales[MaxCurveDimension], OldOffsets[MaxCurveDimension];
    memcpy(OldScales, ScaleValues, Width * sizeof(kelvo_real32));
    memcpy(OldOffsets, OffsetValues, Width * sizeof(kelvo_real32));
    for (kelvo_int32 Index = 0; Index < Width; ++Index) {
        ScaleValues[Index] = OldScales[Lanes[Index]] * Scales[Index];
        OffsetValues[Index] = OldOffsets[Lanes[Index]] * Scales[Index] + Offsets[Index];
    }
}

template <typename record>
bool ScaledSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                   kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    record *Data = DataOf<record>(Curve);
    kelvo_int32 Width = Data->ControlScaleOffsetCount / 2;
    if (!CheckSwizzles(Dimension, Width, Swizzles)) {
        return false;
    }
    kelvo_int32 KnotCount = StoredKnotCount<record>(Curve);
    SwizzleScaleOffsets(Data->ControlScaleOffsets, Data->ControlScaleOffsets + Width, Width,
                        Swizzles, Scales, Offsets);
    PermuteStored(Data->KnotsControls + KnotCount, KnotCount, Width, Swizzles);
    return true;
}

// D3K*, D9I3*: three stored values per knot, each with its scale and offset;
// D9I3* place them on the diagonal of a 3x3 matrix.
template <typename record, kelvo_int32 Dimension>
void ThreeExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                  kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_real32 const *) {
    constexpr kelvo_int32 Step = Dimension == 9 ? 4 : 1;
    ExtractStored<record>(Curve, First, Count, Knots, Controls, Dimension,
                          [](record const &Data, auto const *Stored, kelvo_real32 *Control) {
                              if constexpr (Dimension == 9) {
                                  memset(Control, 0, 9 * sizeof(kelvo_real32));
                              }
                              for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
                                  Control[Lane * Step] =
                                      (kelvo_real32)Stored[Lane] * Data.ControlScales[Lane] +
                                      Data.ControlOffsets[Lane];
                              }
                          });
}

template <typename record, kelvo_int32 Dimension>
void ThreeSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32, kelvo_real32 const *Knots,
                 kelvo_real32 const *Controls) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    record *Data = DataOf<record>(Curve);
    SetKnotScale(*Data, EncodeKnots(Data->KnotsControls, Knots, KnotCount, true));
    value *Stored = Data->KnotsControls + KnotCount;
    constexpr kelvo_int32 Step = Dimension == 9 ? 4 : 1;
    for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
        RangeOf<value>(Controls, KnotCount, Dimension, Lane * Step, Data->ControlScales[Lane],
                       Data->ControlOffsets[Lane]);
        for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
            kelvo_real32 Value = Controls[Knot * Dimension + Lane * Step];
            Stored[Knot * 3 + Lane] =
                Quantize<value>((Value - Data->ControlOffsets[Lane]) / Data->ControlScales[Lane]);
        }
    }
}

// A nine-entry swizzle of a diagonal matrix can only move diagonal entries
// onto the diagonal: output lane a takes Swizzles[4a], which must be 0, 4 or
// 8. With three entries the swizzle names lanes directly.
bool DiagonalLanes(kelvo_int32 Dimension, kelvo_real32 const *Scales, kelvo_real32 const *Offsets,
                   kelvo_int32 const *Swizzles, kelvo_int32 *Lanes, kelvo_real32 *LaneScales,
                   kelvo_real32 *LaneOffsets) {
    if (Dimension == 3) {
        if (!CheckSwizzles(3, 3, Swizzles)) {
            return false;
        }
        memcpy(Lanes, Swizzles, 3 * sizeof(kelvo_int32));
        memcpy(LaneScales, Scales, 3 * sizeof(kelvo_real32));
        memcpy(LaneOffsets, Offsets, 3 * sizeof(kelvo_real32));
        return true;
    }
    if (!CheckSwizzles(Dimension, 9, Swizzles)) {
        return false;
    }
    for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
        kelvo_int32 From = Swizzles[4 * Lane];
        if (From % 4 != 0) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Swizzle %d of a diagonal curve names no diagonal component", KELVO_HERE,
                From);
            return false;
        }
        Lanes[Lane] = From / 4;
        LaneScales[Lane] = Scales[4 * Lane];
        LaneOffsets[Lane] = Offsets[4 * Lane];
    }
    return true;
}

template <typename record, kelvo_int32 Dimension>
bool ThreeSwizzle(kelvo_curve2 *Curve, kelvo_int32 ArgumentDimension, kelvo_real32 const *Scales,
                  kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    record *Data = DataOf<record>(Curve);
    kelvo_int32 Lanes[3];
    kelvo_real32 LaneScales[3], LaneOffsets[3];
    if constexpr (Dimension == 9) {
        if (!DiagonalLanes(ArgumentDimension, Scales, Offsets, Swizzles, Lanes, LaneScales,
                           LaneOffsets)) {
            return false;
        }
    } else {
        if (!CheckSwizzles(ArgumentDimension, 3, Swizzles)) {
            return false;
        }
        memcpy(Lanes, Swizzles, sizeof(Lanes));
        memcpy(LaneScales, Scales, sizeof(LaneScales));
        memcpy(LaneOffsets, Offsets, sizeof(LaneOffsets));
    }
    kelvo_int32 KnotCount = StoredKnotCount<record>(Curve);
    SwizzleScaleOffsets(Data->ControlScales, Data->ControlOffsets, 3, Lanes, LaneScales,
                        LaneOffsets);
    PermuteStored(Data->KnotsControls + KnotCount, KnotCount, 3, Lanes);
    return true;
}

// D9I1*, D3I1*: one value s per knot. D9I1* is a uniform scale on the
// diagonal (the encoder stores the mean of the diagonal, which is the value
// itself for a uniform scale); D3I1* a point on a segment in 3-D.
template <typename record, kelvo_int32 Dimension>
void SingleExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                   kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_real32 const *) {
    ExtractStored<record>(Curve, First, Count, Knots, Controls, Dimension,
                          [](record const &Data, auto const *Stored, kelvo_real32 *Control) {
                              kelvo_real32 Value = (kelvo_real32)*Stored;
                              if constexpr (Dimension == 9) {
                                  memset(Control, 0, 9 * sizeof(kelvo_real32));
                                  Control[0] = Control[4] = Control[8] =
                                      Data.ControlOffset + Data.ControlScale * Value;
                              } else {
                                  for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
                                      Control[Lane] = Value * Data.ControlScales[Lane] +
                                                      Data.ControlOffsets[Lane];
                                  }
                              }
                          });
}

kelvo_real32 DiagonalMean(kelvo_real32 const *Matrix) {
    return (Matrix[0] + Matrix[4] + Matrix[8]) * (1.0f / 3.0f);
}

template <typename record>
void OneSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32, kelvo_real32 const *Knots,
               kelvo_real32 const *Controls) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    record *Data = DataOf<record>(Curve);
    SetKnotScale(*Data, EncodeKnots(Data->KnotsControls, Knots, KnotCount, true));
    kelvo_real32 Minimum = 0.0f, Maximum = 0.0f;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 Mean = DiagonalMean(Controls + Knot * 9);
        Minimum = Knot == 0 || Mean < Minimum ? Mean : Minimum;
        Maximum = Knot == 0 || Mean > Maximum ? Mean : Maximum;
    }
    Data->ControlScale = (Maximum - Minimum) * QuantumOfRange<value>();
    Data->ControlOffset = Minimum;
    if (Data->ControlScale == 0.0f) {
        Data->ControlScale = 1.0f;
    }
    value *Stored = Data->KnotsControls + KnotCount;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 Mean = DiagonalMean(Controls + Knot * 9);
        Stored[Knot] = Quantize<value>((Mean - Data->ControlOffset) / Data->ControlScale);
    }
}

template <typename record>
bool OneSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    if (!CheckSwizzles(Dimension, Dimension == 3 ? 3 : 9, Swizzles)) {
        return false;
    }
    record *Data = DataOf<record>(Curve);
    Data->ControlScale = Data->ControlScale * Scales[0];
    Data->ControlOffset = Data->ControlOffset * Scales[0] + Offsets[0];
    return true;
}

// The principal axis of the controls by power iteration, and the segment
// along it that holds their projections.
void FitControlLine(kelvo_int32 KnotCount, kelvo_real32 const *Controls, kelvo_real32 *Scales,
                    kelvo_real32 *Offsets) {
    kelvo_real32 Mean[3] = {0, 0, 0};
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
            Mean[Lane] += Controls[Knot * 3 + Lane];
        }
    }
    kelvo_real32 Covariance[9] = {};
    for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
        Mean[Lane] /= (kelvo_real32)KnotCount;
    }
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 const *X = Controls + Knot * 3;
        for (kelvo_int32 Row = 0; Row < 3; ++Row) {
            for (kelvo_int32 Column = 0; Column < 3; ++Column) {
                Covariance[Row * 3 + Column] += (X[Row] - Mean[Row]) * (X[Column] - Mean[Column]);
            }
        }
    }
    for (kelvo_real32 &Entry : Covariance) {
        Entry /= (kelvo_real32)KnotCount;
    }
    kelvo_real32 Axis[3] = {1, 2, 3};
    for (kelvo_int32 Round = 0; Round < 25; ++Round) {
        kelvo_real32 Next[3];
        for (kelvo_int32 Row = 0; Row < 3; ++Row) {
            Next[Row] = Covariance[Row * 3] * Axis[0] + Covariance[Row * 3 + 1] * Axis[1] +
                        Covariance[Row * 3 + 2] * Axis[2];
        }
        kelvo_real32 Length = sqrtf(Next[0] * Next[0] + Next[1] * Next[1] + Next[2] * Next[2]);
        for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
            Axis[Lane] = Length > 0.00001f ? Next[Lane] / Length : 0.0f;
        }
    }
    kelvo_real32 Minimum = 1.9140881e38f, Maximum = -1.9140881e38f;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 const *X = Controls + Knot * 3;
        kelvo_real32 P = Axis[0] * X[0] + Axis[1] * X[1] + Axis[2] * X[2];
        Minimum = P < Minimum ? P : Minimum;
        Maximum = P > Maximum ? P : Maximum;
    }
    if (Maximum != Minimum) {
        kelvo_real32 Along = Axis[0] * Mean[0] + Axis[1] * Mean[1] + Axis[2] * Mean[2] - Minimum;
        for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
            Scales[Lane] = (Maximum - Minimum) * Axis[Lane];
            Offsets[Lane] = Mean[Lane] - Axis[Lane] * Along;
        }
    } else {
        for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
            Scales[Lane] = 1.0f;
            Offsets[Lane] = Controls[Lane];
        }
    }
}

template <typename record>
void LineSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32, kelvo_real32 const *Knots,
                kelvo_real32 const *Controls) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    record *Data = DataOf<record>(Curve);
    if (KnotCount == 0) {
        return;
    }
    if constexpr (sizeof(value) == 4) {
        CopyReals(Data->KnotsControls, Knots, KnotCount);
    } else {
        SetKnotScale(*Data, EncodeKnots(Data->KnotsControls, Knots, KnotCount, true));
    }
    kelvo_real32 *Scales = Data->ControlScales;
    kelvo_real32 *Offsets = Data->ControlOffsets;
    FitControlLine(KnotCount, Controls, Scales, Offsets);
    kelvo_real32 LengthSquared =
        Scales[0] * Scales[0] + Scales[1] * Scales[1] + Scales[2] * Scales[2];
    value *Stored = Data->KnotsControls + KnotCount;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 const *X = Controls + Knot * 3;
        kelvo_real32 S = ((X[0] - Offsets[0]) * Scales[0] + (X[1] - Offsets[1]) * Scales[1] +
                          (X[2] - Offsets[2]) * Scales[2]) /
                         LengthSquared;
        if constexpr (sizeof(value) == 4) {
            Stored[Knot] = S;
        } else {
            Stored[Knot] = Quantize<value>(S * (kelvo_real32)std::numeric_limits<value>::max());
        }
    }
    if constexpr (sizeof(value) != 4) {
        for (kelvo_int32 Lane = 0; Lane < 3; ++Lane) {
            Scales[Lane] *= QuantumOfRange<value>();
        }
    }
}

template <typename record>
bool LineSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                 kelvo_real32 const *Offsets, kelvo_int32 const *Swizzles) {
    if (!CheckSwizzles(Dimension, 3, Swizzles)) {
        return false;
    }
    record *Data = DataOf<record>(Curve);
    SwizzleScaleOffsets(Data->ControlScales, Data->ControlOffsets, 3, Swizzles, Scales, Offsets);
    return true;
}

// ---- D4n: normalized quaternions --------------------------------------------------------

template <typename value> struct quaternion_fields {
    static constexpr kelvo_uint32 TopBit = sizeof(value) == 1 ? 0x80u : 0x8000u;
    static constexpr kelvo_uint32 Mask = TopBit - 1;
    static constexpr kelvo_real32 Quantum = sizeof(value) == 1 ? 0.0078740157f : 3.0518509e-05f;
};

// Q gets Values rotated so that Values[3] lands in lane Dropped: one
// whole store, as the evaluator loads a control at once, which lane by
// lane stores would stall.
inline void StoreRotated(kelvo_real32 *Q, kelvo_real32 const *Values, kelvo_int32 Dropped) {
    kelvo_real32 Lanes[4];
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        Lanes[Lane] = Values[(Lane + 3 - Dropped) & 3];
    }
    memcpy(Q, Lanes, sizeof(Lanes));
}

template <typename record>
void QuaternionExtract(kelvo_curve2 const *Curve, kelvo_int32 First, kelvo_int32 Count,
                       kelvo_real32 *Knots, kelvo_real32 *Controls, kelvo_real32 const *) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    using fields = quaternion_fields<value>;
    if (!Controls) {
        ExtractStored<record>(Curve, First, Count, Knots, nullptr, 4, [](auto &&...) {});
        return;
    }
    kelvo_uint32 Entries = DataOf<record>(Curve)->ScaleOffsetTableEntries;
    kelvo_real32 Scales[4], Offsets[4];
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        scale_offset const &Entry = QuaternionScaleOffsetTable[(Entries >> (4 * Lane)) & 15];
        Scales[Lane] = Entry.Scale * fields::Quantum;
        Offsets[Lane] = Entry.Offset;
    }
    ExtractStored<record>(Curve, First, Count, Knots, Controls, 4,
                          [&](record const &, auto const *Stored, kelvo_real32 *Q) {
                              kelvo_uint32 W[3] = {Stored[0], Stored[1], Stored[2]};
                              kelvo_int32 Dropped = 2 * ((W[1] & fields::TopBit) != 0) +
                                                    ((W[2] & fields::TopBit) != 0);
                              kelvo_real32 Sum = 0.0f;
                              kelvo_real32 Values[4]; // lanes Dropped + 1, + 2, + 3, Dropped
                              for (kelvo_int32 Index = 0; Index < 3; ++Index) {
                                  kelvo_int32 Lane = (Dropped + 1 + Index) & 3;
                                  Values[Index] =
                                      (kelvo_real32)(W[Index] & fields::Mask) * Scales[Lane] +
                                      Offsets[Lane];
                                  Sum += Values[Index] * Values[Index];
                              }
                              kelvo_real32 Root = sqrtf(1.0f - Sum);
                              Values[3] = (W[0] & fields::TopBit) ? -Root : Root;
                              StoreRotated(Q, Values, Dropped);
                          });
}

template <typename record>
void QuaternionSetAll(kelvo_curve2 *Curve, kelvo_int32 KnotCount, kelvo_int32,
                      kelvo_real32 const *Knots, kelvo_real32 const *Controls) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    using fields = quaternion_fields<value>;
    record *Data = DataOf<record>(Curve);
    SetKnotScale(*Data, EncodeKnots(Data->KnotsControls, Knots, KnotCount, false));
    // Unit quaternions and their dropped lanes first, then each lane's range.
    kelvo_real32 Minimum[4] = {2, 2, 2, 2}, Maximum[4] = {-2, -2, -2, -2};
    auto UnitAt = [&](kelvo_int32 Knot, kelvo_real32 *Q) {
        kelvo_real32 const *C = Controls + Knot * 4;
        kelvo_real32 Length = sqrtf(C[0] * C[0] + C[1] * C[1] + C[2] * C[2] + C[3] * C[3]);
        if (Length <= 0.00001f) {
            Q[0] = Q[1] = Q[2] = 0.0f;
            Q[3] = 1.0f;
        } else {
            for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
                Q[Lane] = C[Lane] / Length;
            }
        }
        kelvo_int32 Dropped = 0;
        for (kelvo_int32 Lane = 1; Lane < 4; ++Lane) {
            if (fabsf(Q[Lane]) > fabsf(Q[Dropped])) {
                Dropped = Lane;
            }
        }
        return Dropped;
    };
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 Q[4];
        kelvo_int32 Dropped = UnitAt(Knot, Q);
        for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
            if (Lane != Dropped) {
                Minimum[Lane] = Q[Lane] < Minimum[Lane] ? Q[Lane] : Minimum[Lane];
                Maximum[Lane] = Q[Lane] > Maximum[Lane] ? Q[Lane] : Maximum[Lane];
            }
        }
    }
    kelvo_uint16 Entries = 0;
    kelvo_real32 Scales[4], Offsets[4];
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        kelvo_int32 Chosen = 0;
        Scales[Lane] = 1.0f;
        Offsets[Lane] = 0.0f;
        if (Minimum[Lane] > Maximum[Lane]) {
            continue; // never stored
        }
        for (kelvo_int32 Entry = 7; Entry >= 0; --Entry) {
            scale_offset const &Candidate = QuaternionScaleOffsetTable[Entry];
            if (Candidate.Offset <= Minimum[Lane] &&
                Candidate.Offset + Candidate.Scale >= Maximum[Lane]) {
                Chosen = Entry;
                break;
            }
        }
        Entries |= (kelvo_uint16)(Chosen << (4 * Lane));
        Scales[Lane] = QuaternionScaleOffsetTable[Chosen].Scale * fields::Quantum;
        Offsets[Lane] = QuaternionScaleOffsetTable[Chosen].Offset;
    }
    Data->ScaleOffsetTableEntries = Entries;
    value *Stored = Data->KnotsControls + KnotCount;
    constexpr kelvo_real32 Largest = (kelvo_real32)fields::Mask;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        kelvo_real32 Q[4];
        kelvo_int32 Dropped = UnitAt(Knot, Q);
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            kelvo_int32 Lane = (Dropped + 1 + Index) & 3;
            kelvo_real32 Field = (Q[Lane] - Offsets[Lane]) / Scales[Lane];
            kelvo_uint32 Word = !(Field > 0.0f)    ? 0u
                                : Field >= Largest ? (kelvo_uint32)fields::Mask
                                                   : (kelvo_uint32)(Field + 0.5f);
            kelvo_uint32 Top = Index == 0   ? Q[Dropped] < 0.0f
                               : Index == 1 ? (Dropped >> 1) & 1
                                            : Dropped & 1;
            Stored[Knot * 3 + Index] = (value)(Word | (Top ? fields::TopBit : 0u));
        }
    }
}

// Output lane j takes input lane Swizzles[j]; a negative scale negates the
// lane by choosing the negated table entry (and, for the dropped lane, by
// flipping its sign bit). Offsets and the scales' magnitudes do not apply.
template <typename record>
bool QuaternionSwizzle(kelvo_curve2 *Curve, kelvo_int32 Dimension, kelvo_real32 const *Scales,
                       kelvo_real32 const *, kelvo_int32 const *Swizzles) {
    using value = std::remove_pointer_t<decltype(record::KnotsControls)>;
    using fields = quaternion_fields<value>;
    if (!CheckSwizzles(Dimension, 4, Swizzles)) {
        return false;
    }
    kelvo_int32 OutputOf[4] = {-1, -1, -1, -1};
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        OutputOf[Swizzles[Lane]] = Lane;
    }
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        if (OutputOf[Lane] < 0) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): A quaternion curve's swizzle must be a permutation of its lanes",
                KELVO_HERE);
            return false;
        }
    }
    record *Data = DataOf<record>(Curve);
    kelvo_uint16 Entries = 0;
    for (kelvo_int32 Lane = 0; Lane < 4; ++Lane) {
        kelvo_int32 Entry = (Data->ScaleOffsetTableEntries >> (4 * Swizzles[Lane])) & 15;
        Entry ^= Scales[Lane] < 0.0f ? 8 : 0;
        Entries |= (kelvo_uint16)(Entry << (4 * Lane));
    }
    Data->ScaleOffsetTableEntries = Entries;
    kelvo_int32 KnotCount = StoredKnotCount<record>(Curve);
    value *Stored = Data->KnotsControls + KnotCount;
    for (kelvo_int32 Knot = 0; Knot < KnotCount; ++Knot) {
        value *W = Stored + Knot * 3;
        kelvo_int32 Dropped = 2 * ((W[1] & fields::TopBit) != 0) + ((W[2] & fields::TopBit) != 0);
        bool Negative = (W[0] & fields::TopBit) != 0;
        kelvo_uint32 Field[4] = {};
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            Field[(Dropped + 1 + Index) & 3] = W[Index] & fields::Mask;
        }
        kelvo_int32 NewDropped = OutputOf[Dropped];
        Negative ^= Scales[NewDropped] < 0.0f;
        for (kelvo_int32 Index = 0; Index < 3; ++Index) {
            kelvo_int32 Lane = (NewDropped + 1 + Index) & 3;
            bool Top = Index == 0 ? Negative : Index == 1 ? (NewDropped >> 1) & 1 : NewDropped & 1;
            W[Index] = (value)(Field[Swizzles[Lane]] | (Top ? fields::TopBit : 0u));
        }
    }
    return true;
}

// ---- shared by every format ---------------------------------------------------------

kelvo_int64 AddToAggregate(kelvo_curve_builder const &Builder, aggr_allocator &Allocator,
                           void **Record) {
    curve_format_layout const &Layout = CurveFormatLayouts[Builder.FormatIndex];
    kelvo_int64 Offset = AggrAllocSizePtr(Allocator, Record, Layout.RecordSize);
    record_array Arrays[2];
    kelvo_int64 Counts[2] = {};
    kelvo_int32 ArrayCount = RecordArrays(Layout, Arrays);
    ArrayCounts(Layout, Builder.KnotCount, Builder.Dimension, Counts);
    for (kelvo_int32 Index = 0; Index < ArrayCount; ++Index) {
        if (Counts[Index] < 0 || Counts[Index] > INT32_MAX) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Counts[Index] %I64d is out of range for an int32 Count", KELVO_HERE,
                Counts[Index]);
            return -1;
        }
        AggrAllocOffsetArraySizePtr(Allocator, Offset, (kelvo_int32)Counts[Index],
                                    Arrays[Index].CountOffset, Arrays[Index].CountOffset + 4,
                                    Arrays[Index].ElementBytes);
    }
    return Offset;
}

// The source's values and fields into a record laid out for the same counts.
void CopyRecord(kelvo_curve2 *Destination, kelvo_curve2 const *Source) {
    curve_format_layout const &Layout = LayoutOf(Source);
    kelvo_uint8 *To = static_cast<kelvo_uint8 *>(Destination->CurveData.Object);
    kelvo_uint8 const *From = static_cast<kelvo_uint8 const *>(Source->CurveData.Object);
    record_array Arrays[2];
    stored_array Kept[2];
    kelvo_int32 ArrayCount = RecordArrays(Layout, Arrays);
    for (kelvo_int32 Index = 0; Index < ArrayCount; ++Index) {
        Kept[Index] = ArrayAt(To, Arrays[Index].CountOffset);
    }
    memcpy(To, From, Layout.RecordSize);
    for (kelvo_int32 Index = 0; Index < ArrayCount; ++Index) {
        stored_array Values = ArrayAt(From, Arrays[Index].CountOffset);
        kelvo_int32 Count = Values.Count < Kept[Index].Count ? Values.Count : Kept[Index].Count;
        if (Count > 0) {
            memcpy(Kept[Index].Values, Values.Values, (size_t)Count * Arrays[Index].ElementBytes);
        }
        memcpy(To + Arrays[Index].CountOffset, &Kept[Index].Count, 4);
        memcpy(To + Arrays[Index].CountOffset + 4, &Kept[Index].Values, sizeof(void *));
    }
}

template <kelvo_int32 (*Find)(kelvo_curve2 const *, kelvo_real32)>
kelvo_int32 FindClose(kelvo_curve2 const *Curve, kelvo_real32 T, kelvo_int32 Start) {
    if constexpr (Find == FloatsFindKnot) {
        return FloatsFindCloseKnot(Curve, T, Start);
    } else {
        return Find(Curve, T);
    }
}

} // namespace

scale_offset const QuaternionScaleOffsetTable[16] = {
    {1.4142135f, -0.70710677f},   {0.70710677f, -0.35355338f}, {0.35355338f, -0.5303301f},
    {0.35355338f, -0.17677669f},  {0.35355338f, 0.17677669f},  {0.17677669f, -0.17677669f},
    {0.17677669f, -0.088388346f}, {0.17677669f, 0.0f},         {-1.4142135f, 0.70710677f},
    {-0.70710677f, 0.35355338f},  {-0.35355338f, 0.5303301f},  {-0.35355338f, 0.17677669f},
    {-0.35355338f, -0.17677669f}, {-0.17677669f, 0.17677669f}, {-0.17677669f, 0.088388346f},
    {-0.17677669f, -0.0f},
};

#define KELVO_FLOAT_FORMAT(Index, Dimension, KnotCount, Find, Extract, SetAll, Swizzle)            \
    {                                                                                              \
        CurveFormatLayouts[Index].Definition, CurveFormatLayouts[Index].Name, Dimension,           \
            KnotCount, Find, FindClose<Find>, Extract, nullptr, nullptr, SetAll, AddToAggregate,   \
            CopyRecord, Swizzle, nullptr                                                           \
    }
#define KELVO_STORED_FORMAT(Index, Record, Dimension, Extract, SetAll, Swizzle)                    \
    {                                                                                              \
        CurveFormatLayouts[Index].Definition, CurveFormatLayouts[Index].Name, Dimension,           \
            StoredKnotCount<Record>, StoredFindKnot<Record>, StoredFindCloseKnot<Record>, Extract, \
            nullptr, nullptr, SetAll, AddToAggregate, CopyRecord, Swizzle, StoredKnotKeys<Record>  \
    }

using d3_constant = kelvo_curve_data_d3_constant32f;
using d4_constant = kelvo_curve_data_d4_constant32f;
using dak16 = kelvo_curve_data_da_k16u_c16u;
using dak8 = kelvo_curve_data_da_k8u_c8u;
using d4n16 = kelvo_curve_data_d4n_k16u_c15u;
using d4n8 = kelvo_curve_data_d4n_k8u_c7u;
using d3k16 = kelvo_curve_data_d3_k16u_c16u;
using d3k8 = kelvo_curve_data_d3_k8u_c8u;
using d9i1k16 = kelvo_curve_data_d9i1_k16u_c16u;
using d9i3k16 = kelvo_curve_data_d9i3_k16u_c16u;
using d9i1k8 = kelvo_curve_data_d9i1_k8u_c8u;
using d9i3k8 = kelvo_curve_data_d9i3_k8u_c8u;
using d3i1k32 = kelvo_curve_data_d3i1_k32f_c32f;
using d3i1k16 = kelvo_curve_data_d3i1_k16u_c16u;
using d3i1k8 = kelvo_curve_data_d3i1_k8u_c8u;

template <typename record> kelvo_int32 ScaledDimension(kelvo_curve2 const *Curve) {
    return DataOf<record>(Curve)->ControlScaleOffsetCount / 2;
}

kelvo_curve_format const CurveFormats[CurveFormatCount] = {
    KELVO_FLOAT_FORMAT(0, KeyframesDimension, KeyframesKnotCount, FindNoKnot, KeyframesExtract,
                       KeyframesSetAll, KeyframesSwizzle),
    KELVO_FLOAT_FORMAT(1, FloatsDimension, FloatsKnotCount, FloatsFindKnot, FloatsExtract,
                       FloatsSetAll, FloatsSwizzle),
    KELVO_FLOAT_FORMAT(2, IdentityDimension, NoKnots, FindNoKnot, IdentityExtract, IdentitySetAll,
                       IdentitySwizzle),
    KELVO_FLOAT_FORMAT(3, ConstantDimension, OneKnot, FindNoKnot, ConstantExtract<constant>,
                       ConstantSetAll<constant>, ConstantSwizzle<constant>),
    KELVO_FLOAT_FORMAT(4, FixedDimension<3>, OneKnot, FindNoKnot, ConstantExtract<d3_constant>,
                       ConstantSetAll<d3_constant>, ConstantSwizzle<d3_constant>),
    KELVO_FLOAT_FORMAT(5, FixedDimension<4>, OneKnot, FindNoKnot, ConstantExtract<d4_constant>,
                       ConstantSetAll<d4_constant>, ConstantSwizzle<d4_constant>),
    KELVO_STORED_FORMAT(6, dak16, ScaledDimension<dak16>, ScaledExtract<dak16>, ScaledSetAll<dak16>,
                        ScaledSwizzle<dak16>),
    KELVO_STORED_FORMAT(7, dak8, ScaledDimension<dak8>, ScaledExtract<dak8>, ScaledSetAll<dak8>,
                        ScaledSwizzle<dak8>),
    KELVO_STORED_FORMAT(8, d4n16, FixedDimension<4>, QuaternionExtract<d4n16>,
                        QuaternionSetAll<d4n16>, QuaternionSwizzle<d4n16>),
    KELVO_STORED_FORMAT(9, d4n8, FixedDimension<4>, QuaternionExtract<d4n8>, QuaternionSetAll<d4n8>,
                        QuaternionSwizzle<d4n8>),
    KELVO_STORED_FORMAT(10, d3k16, FixedDimension<3>, (ThreeExtract<d3k16, 3>),
                        (ThreeSetAll<d3k16, 3>), (ThreeSwizzle<d3k16, 3>)),
    KELVO_STORED_FORMAT(11, d3k8, FixedDimension<3>, (ThreeExtract<d3k8, 3>),
                        (ThreeSetAll<d3k8, 3>), (ThreeSwizzle<d3k8, 3>)),
    KELVO_STORED_FORMAT(12, d9i1k16, FixedDimension<9>, (SingleExtract<d9i1k16, 9>),
                        OneSetAll<d9i1k16>, OneSwizzle<d9i1k16>),
    KELVO_STORED_FORMAT(13, d9i3k16, FixedDimension<9>, (ThreeExtract<d9i3k16, 9>),
                        (ThreeSetAll<d9i3k16, 9>), (ThreeSwizzle<d9i3k16, 9>)),
    KELVO_STORED_FORMAT(14, d9i1k8, FixedDimension<9>, (SingleExtract<d9i1k8, 9>),
                        OneSetAll<d9i1k8>, OneSwizzle<d9i1k8>),
    KELVO_STORED_FORMAT(15, d9i3k8, FixedDimension<9>, (ThreeExtract<d9i3k8, 9>),
                        (ThreeSetAll<d9i3k8, 9>), (ThreeSwizzle<d9i3k8, 9>)),
    KELVO_STORED_FORMAT(16, d3i1k32, FixedDimension<3>, (SingleExtract<d3i1k32, 3>),
                        LineSetAll<d3i1k32>, LineSwizzle<d3i1k32>),
    KELVO_STORED_FORMAT(17, d3i1k16, FixedDimension<3>, (SingleExtract<d3i1k16, 3>),
                        LineSetAll<d3i1k16>, LineSwizzle<d3i1k16>),
    KELVO_STORED_FORMAT(18, d3i1k8, FixedDimension<3>, (SingleExtract<d3i1k8, 3>),
                        LineSetAll<d3i1k8>, LineSwizzle<d3i1k8>),
};

kelvo_curve_format const *CurveFormatOf(kelvo_curve2 const *Curve) {
    if (!Curve || !Curve->CurveData.Object) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): The curve has no data", KELVO_HERE);
        return nullptr;
    }
    kelvo_uint8 Format = CurveHeader(Curve)->Format;
    if (Format >= CurveFormatCount) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Curve format %d is unknown (there are %d formats)", KELVO_HERE, Format,
            CurveFormatCount);
        return nullptr;
    }
    return &CurveFormats[Format];
}

} // namespace kelvo
