// The declarative side of curves, beside the asset tree they are part of:
// the 19 format definitions with the layout facts the check and the curve
// runtime share (fixed dimension, stored values per knot, knot width, where
// the KnotsControls array sits), the check of curve records from files, and
// the curve path of tree conversion.
#ifndef KELVO_CURVE_FORMATS_INTERNAL_H
#define KELVO_CURVE_FORMATS_INTERNAL_H

#include "kelvo2/kelvo2_curve.h"

namespace kelvo {

constexpr kelvo_int32 CurveFormatCount = 19;
constexpr kelvo_uint8 UnknownCurveFormat = 255;
constexpr kelvo_int32 MaxCurveDegree = 3;
constexpr kelvo_int32 MaxCurveDimension = 9;

enum curve_format_index : kelvo_uint8 {
    DaKeyframes32f,
    DaK32fC32f,
    DaIdentity,
    DaConstant32f,
    D3Constant32f,
    D4Constant32f,
    DaK16uC16u,
    DaK8uC8u,
    D4nK16uC15u,
    D4nK8uC7u,
    D3K16uC16u,
    D3K8uC8u,
    D9I1K16uC16u,
    D9I3K16uC16u,
    D9I1K8uC8u,
    D9I3K8uC8u,
    D3I1K32fC32f,
    D3I1K16uC16u,
    D3I1K8uC8u,
};

// How a format lays out its data; formats of one family share the record
// shape and differ in the width of their stored values.
enum class curve_family : kelvo_uint8 {
    Keyframes,     // Dimension, Controls
    Floats,        // Knots, Controls
    Identity,      // Dimension
    Constant,      // Controls array
    FixedConstant, // Controls[3] or [4] inline
    Scaled,        // ControlScaleOffsets, KnotsControls (DaK*)
    Quaternion,    // D4n: table nibbles, knot scale, KnotsControls
    ThreeScaled,   // ControlScales[3], ControlOffsets[3], KnotsControls (D3K*, D9I3*)
    OneScaled,     // ControlScale, ControlOffset, KnotsControls (D9I1*)
    Line,          // ControlScales[3], ControlOffsets[3], KnotsControls (D3I1*)
};

struct curve_format_layout {
    kelvo_data_type_definition const *Definition;
    char const *Name;
    curve_family Family;
    kelvo_int32 Dimension;           // decoded dimension; 0 where the record says
    kelvo_int32 StoredPerKnot;       // values per knot after the knots; 0 where the dimension says
    kelvo_int32 ValueBytes;          // of a knot or stored value: 4 (float), 2 or 1; 0 without
    kelvo_int32 RecordSize;          // of the C record in this build
    kelvo_int32 KnotsControlsOffset; // of the KnotsControls count in the record; -1 without
    bool TruncatedKnotScale;         // OneOverKnotScaleTrunc rather than a full float
};

extern curve_format_layout const CurveFormatLayouts[CurveFormatCount];

// The index of the format whose definition equals Type (names compared),
// or UnknownCurveFormat.
kelvo_uint8 FindCurveFormat(kelvo_data_type_definition const *Type);

// The format record's header, or null for a curve without data.
inline kelvo_curve_data_header *CurveHeader(kelvo_curve2 const *Curve) {
    return static_cast<kelvo_curve_data_header *>(Curve->CurveData.Object);
}

// Proves that a curve from a file can be used by every curve operation: its
// definition is one of the formats and its format byte says so, its degree
// is 0 to 3, its counts agree with each other and its dimension lies in
// 1..9, its arrays are present where counted and its knots do not decrease.
// A curve without definition and data (no curve at all) passes. A refusal is
// logged (Error, origin Curve) naming the curve by Name.
bool CheckCurve(kelvo_curve2 const *Curve, char const *Name);

// Every curve of every transform and vector track (and root motion) of the
// file info's track groups and of its animations' track groups.
bool CheckFileInfoCurves(kelvo_file_info const *FileInfo);

// Makes tree conversion convert curves (always, and old-form curves into
// DaK32fC32f data referring to the old arrays) and set their format bytes.
// Idempotent; the asset tree installs it when it is linked in.
void InstallCurveConversion();

} // namespace kelvo

#endif
