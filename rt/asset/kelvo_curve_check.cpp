// The check of curve records from files. It runs once per file, where the
// loaded tree is checked, so that every curve operation may trust a format
// byte, a degree, counts that agree with each other and knots in order. It
// trusts what KelvoCheckFileDataTree proved: records and their arrays lie
// inside the file's sections.
#include "asset/kelvo_curve_formats.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_format.h"
#include "foundation/kelvo_log.h"

#include <string.h>

namespace kelvo {

namespace {

constexpr kelvo_log_message_origin Origin = KelvoCurveLogMessage;

bool Refuse(char const *Name, char const *Format, ...) {
    char Reason[256];
    va_list Arguments;
    va_start(Arguments, Format);
    FormatV((kelvo_int32)sizeof(Reason), Reason, Format, Arguments);
    va_end(Arguments);
    Log(KelvoErrorLogMessage, Origin, "%s(%d): Curve %s is refused: %s", KELVO_HERE,
        Name ? Name : "(unnamed)", Reason);
    return false;
}

// An array member of a format record: its count, then its pointer.
struct stored_array {
    kelvo_int32 Count;
    void const *Values;
};

stored_array ArrayAt(kelvo_uint8 const *Record, kelvo_int32 Offset) {
    stored_array Array;
    memcpy(&Array.Count, Record + Offset, sizeof(Array.Count));
    memcpy(&Array.Values, Record + Offset + 4, sizeof(Array.Values));
    return Array;
}

bool CheckArray(char const *Name, char const *Member, stored_array const &Array) {
    if (Array.Count < 0) {
        return Refuse(Name, "%s count %d is negative", Member, Array.Count);
    }
    if (Array.Count > 0 && !Array.Values) {
        return Refuse(Name, "%s has %d values and no array", Member, Array.Count);
    }
    return true;
}

bool CheckDimension(char const *Name, kelvo_int32 Dimension) {
    if (Dimension < 1 || Dimension > MaxCurveDimension) {
        return Refuse(Name, "dimension %d is out of range [1, %d]", Dimension, MaxCurveDimension);
    }
    return true;
}

// Knots must not decrease, so that knot search finds a window whose spans
// are not negative; a NaN knot fails the comparison too.
template <typename value>
bool CheckKnotOrder(char const *Name, void const *Values, kelvo_int32 KnotCount) {
    value Previous{};
    for (kelvo_int32 Index = 0; Index < KnotCount; ++Index) {
        value Knot;
        memcpy(&Knot, static_cast<kelvo_uint8 const *>(Values) + Index * sizeof(value),
               sizeof(Knot));
        if (!(Knot == Knot) || (Index > 0 && !(Knot >= Previous))) {
            return Refuse(Name, "knot %d is out of order", Index);
        }
        Previous = Knot;
    }
    return true;
}

bool CheckKnots(char const *Name, kelvo_int32 ValueBytes, void const *Values,
                kelvo_int32 KnotCount) {
    switch (ValueBytes) {
    case 1:
        return CheckKnotOrder<kelvo_uint8>(Name, Values, KnotCount);
    case 2:
        return CheckKnotOrder<kelvo_uint16>(Name, Values, KnotCount);
    default:
        return CheckKnotOrder<kelvo_real32>(Name, Values, KnotCount);
    }
}

// The count of a KnotsControls array is a whole number of knots.
bool CheckKnotsControls(char const *Name, curve_format_layout const &Layout,
                        kelvo_uint8 const *Record, kelvo_int32 PerKnot) {
    stored_array Array = ArrayAt(Record, Layout.KnotsControlsOffset);
    if (!CheckArray(Name, "KnotsControls", Array)) {
        return false;
    }
    if (Array.Count % (PerKnot + 1) != 0) {
        return Refuse(Name, "KnotsControls count %d is not a multiple of %d values per knot",
                      Array.Count, PerKnot + 1);
    }
    return CheckKnots(Name, Layout.ValueBytes, Array.Values, Array.Count / (PerKnot + 1));
}

bool CheckRecord(char const *Name, curve_format_layout const &Layout, kelvo_uint8 const *Record) {
    switch (Layout.Family) {
    case curve_family::Keyframes: {
        kelvo_curve_data_da_keyframes32f Data;
        memcpy(&Data, Record, sizeof(Data));
        stored_array Controls = {Data.ControlCount, Data.Controls};
        if (!CheckDimension(Name, Data.Dimension) || !CheckArray(Name, "Controls", Controls)) {
            return false;
        }
        if (Controls.Count % Data.Dimension != 0) {
            return Refuse(Name, "Controls count %d is not a multiple of dimension %d",
                          Controls.Count, Data.Dimension);
        }
        return true;
    }
    case curve_family::Floats: {
        kelvo_curve_data_da_k32f_c32f Data;
        memcpy(&Data, Record, sizeof(Data));
        stored_array Knots = {Data.KnotCount, Data.Knots};
        stored_array Controls = {Data.ControlCount, Data.Controls};
        if (!CheckArray(Name, "Knots", Knots) || !CheckArray(Name, "Controls", Controls)) {
            return false;
        }
        // Without knots the controls are keyframes of no stated dimension.
        if (Knots.Count > 0) {
            if (Controls.Count % Knots.Count != 0) {
                return Refuse(Name, "Controls count %d is not a multiple of knot count %d",
                              Controls.Count, Knots.Count);
            }
            if (!CheckDimension(Name, Controls.Count / Knots.Count)) {
                return false;
            }
        }
        return CheckKnots(Name, 4, Knots.Values, Knots.Count);
    }
    case curve_family::Identity: {
        kelvo_curve_data_da_identity Data;
        memcpy(&Data, Record, sizeof(Data));
        // Never used to size anything; a copy of an empty curve stores 0.
        if (Data.Dimension < 0 || Data.Dimension > MaxCurveDimension) {
            return Refuse(Name, "dimension %d is out of range [0, %d]", Data.Dimension,
                          MaxCurveDimension);
        }
        return true;
    }
    case curve_family::Constant: {
        kelvo_curve_data_da_constant32f Data;
        memcpy(&Data, Record, sizeof(Data));
        stored_array Controls = {Data.ControlCount, Data.Controls};
        return CheckArray(Name, "Controls", Controls) && CheckDimension(Name, Controls.Count);
    }
    case curve_family::FixedConstant:
        return true;
    case curve_family::Scaled: {
        kelvo_curve_data_da_k16u_c16u Data; // the 8-bit record differs only in its pointer's type
        memcpy(&Data, Record, sizeof(Data));
        stored_array ScaleOffsets = {Data.ControlScaleOffsetCount, Data.ControlScaleOffsets};
        if (!CheckArray(Name, "ControlScaleOffsets", ScaleOffsets)) {
            return false;
        }
        if (ScaleOffsets.Count % 2 != 0) {
            return Refuse(Name, "ControlScaleOffsets count %d is odd", ScaleOffsets.Count);
        }
        return CheckDimension(Name, ScaleOffsets.Count / 2) &&
               CheckKnotsControls(Name, Layout, Record, ScaleOffsets.Count / 2);
    }
    case curve_family::Quaternion:
    case curve_family::ThreeScaled:
    case curve_family::OneScaled:
    case curve_family::Line:
        return CheckKnotsControls(Name, Layout, Record, Layout.StoredPerKnot);
    }
    return false;
}

} // namespace

bool CheckCurve(kelvo_curve2 const *Curve, char const *Name) {
    kelvo_variant Data;
    memcpy(&Data, &Curve->CurveData, sizeof(Data));
    if (!Data.Type && !Data.Object) {
        return true;
    }
    if (!Data.Type || !Data.Object) {
        return Refuse(Name,
                      Data.Type ? "it has a format and no data" : "it has data and no format");
    }
    kelvo_uint8 Format = FindCurveFormat(Data.Type);
    if (Format == UnknownCurveFormat) {
        return Refuse(Name, "its data's definition is none of the %d curve formats",
                      CurveFormatCount);
    }
    curve_format_layout const &Layout = CurveFormatLayouts[Format];
    kelvo_uint8 Record[64];
    static_assert(sizeof(kelvo_curve_data_d3_k16u_c16u) <= sizeof(Record));
    memcpy(Record, Data.Object, Layout.RecordSize);
    kelvo_curve_data_header Header;
    memcpy(&Header, Record, sizeof(Header));
    if (Header.Format != Format) {
        return Refuse(Name, "its format byte %d disagrees with its definition, format %d (\"%s\")",
                      Header.Format, Format, Layout.Name);
    }
    if (Header.Degree > MaxCurveDegree) {
        return Refuse(Name, "degree %d is out of range [0, %d]", Header.Degree, MaxCurveDegree);
    }
    return CheckRecord(Name, Layout, Record);
}

namespace {

// The dimension a curve that passed CheckCurve decodes to; 0 when it has
// none to compare (identities, no curve, controls without knots).
kelvo_int32 CheckedCurveDimension(kelvo_curve2 const *Curve) {
    kelvo_variant Data;
    memcpy(&Data, &Curve->CurveData, sizeof(Data));
    if (!Data.Object) {
        return 0;
    }
    curve_format_layout const &Layout = CurveFormatLayouts[FindCurveFormat(Data.Type)];
    kelvo_uint8 Record[64];
    memcpy(Record, Data.Object, Layout.RecordSize);
    switch (Layout.Family) {
    case curve_family::Keyframes: {
        kelvo_curve_data_da_keyframes32f Keys;
        memcpy(&Keys, Record, sizeof(Keys));
        return Keys.ControlCount > 0 ? Keys.Dimension : 0;
    }
    case curve_family::Floats: {
        kelvo_curve_data_da_k32f_c32f Floats;
        memcpy(&Floats, Record, sizeof(Floats));
        return Floats.KnotCount > 0 ? Floats.ControlCount / Floats.KnotCount : 0;
    }
    case curve_family::Identity:
        return 0;
    case curve_family::Constant: {
        kelvo_curve_data_da_constant32f Constant;
        memcpy(&Constant, Record, sizeof(Constant));
        return Constant.ControlCount;
    }
    case curve_family::Scaled: {
        kelvo_curve_data_da_k16u_c16u Scaled;
        memcpy(&Scaled, Record, sizeof(Scaled));
        return Scaled.ControlScaleOffsetCount / 2;
    }
    default:
        return Layout.Dimension;
    }
}

// A checked curve whose values do not have the dimension its track gives it.
bool CheckRole(kelvo_curve2 const *Curve, char const *Name, kelvo_int32 Dimension) {
    kelvo_int32 Actual = CheckedCurveDimension(Curve);
    if (Actual != 0 && Actual != Dimension) {
        return Refuse(Name, "its dimension %d is not the %d of its role", Actual, Dimension);
    }
    return true;
}

bool CheckTrackGroupCurves(kelvo_track_group const *Group) {
    char Name[512];
    char const *GroupName = Group->Name ? Group->Name : "";
    for (kelvo_int32 Index = 0; Group->VectorTracks && Index < Group->VectorTrackCount; ++Index) {
        kelvo_vector_track const &Track = Group->VectorTracks[Index];
        Format((kelvo_int32)sizeof(Name), Name,
               "\"%s\" of vector track \"%s\" in track group \"%s\"", "ValueCurve",
               Track.Name ? Track.Name : "", GroupName);
        if (!CheckCurve(&Track.ValueCurve, Name) ||
            !CheckRole(&Track.ValueCurve, Name, Track.Dimension)) {
            return false;
        }
    }
    kelvo_int32 TrackCount = Group->TransformTracks ? Group->TransformTrackCount : 0;
    for (kelvo_int32 Index = -1; Index < TrackCount; ++Index) {
        kelvo_transform_track const *Track =
            Index < 0 ? Group->RootMotion : &Group->TransformTracks[Index];
        if (!Track) {
            continue;
        }
        struct {
            char const *Member;
            kelvo_curve2 const *Curve;
            kelvo_int32 Dimension;
        } const Curves[] = {{"OrientationCurve", &Track->OrientationCurve, 4},
                            {"PositionCurve", &Track->PositionCurve, 3},
                            {"ScaleShearCurve", &Track->ScaleShearCurve, 9}};
        for (auto const &Entry : Curves) {
            Format((kelvo_int32)sizeof(Name), Name, "\"%s\" of %s \"%s\" in track group \"%s\"",
                   Entry.Member, Index < 0 ? "root motion" : "transform track",
                   Track->Name ? Track->Name : "", GroupName);
            if (!CheckCurve(Entry.Curve, Name) || !CheckRole(Entry.Curve, Name, Entry.Dimension)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool CheckFileInfoCurves(kelvo_file_info const *FileInfo) {
    KELVO_TIMED_BLOCK("CheckFileInfoCurves");
    for (kelvo_int32 Index = 0; FileInfo->TrackGroups && Index < FileInfo->TrackGroupCount; ++Index) {
        if (kelvo_track_group const *Group = FileInfo->TrackGroups[Index];
            Group && !CheckTrackGroupCurves(Group)) {
            return false;
        }
    }
    // Animations may hold track groups the file info does not list.
    for (kelvo_int32 Index = 0; FileInfo->Animations && Index < FileInfo->AnimationCount; ++Index) {
        kelvo_animation const *Animation = FileInfo->Animations[Index];
        for (kelvo_int32 Group = 0; Animation && Animation->TrackGroups && Group < Animation->TrackGroupCount;
             ++Group) {
            kelvo_track_group const *Entry = Animation->TrackGroups[Group];
            if (Entry && !CheckTrackGroupCurves(Entry)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace kelvo
