// The 19 curve formats as the asset tree knows them: their definitions (the
// C records of kelvo2_curve.h are checked against them while compiling), the
// layout facts every curve module reads, and the curve path of tree
// conversion. Decoding and evaluation live with the animation runtime.
#include "asset/kelvo_curve_formats.h"

#include "data/kelvo_data_type.h"
#include "data/kelvo_data_type_conversion.h"

#include <stddef.h>
#include <string.h>

namespace kelvo {

constexpr kelvo_data_type_definition CurveDataHeaderMembers[] = {
    MakeMember(KelvoUInt8Member, "Format"), MakeMember(KelvoUInt8Member, "Degree"),
    MakeMember(KelvoEndMember)};

constexpr kelvo_data_type_definition Header(char const *Name) {
    return MakeMember(KelvoInlineMember, Name, CurveDataHeaderMembers);
}

constexpr kelvo_data_type_definition DaKeyframes32fMembers[] = {
    Header("CurveDataHeader_DaKeyframes32f"), MakeMember(KelvoInt16Member, "Dimension"),
    MakeMember(KelvoReferenceToArrayMember, "Controls", Real32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DaK32fC32fMembers[] = {
    Header("CurveDataHeader_DaK32fC32f"), MakeMember(KelvoInt16Member, "Padding"),
    MakeMember(KelvoReferenceToArrayMember, "Knots", Real32Members),
    MakeMember(KelvoReferenceToArrayMember, "Controls", Real32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DaIdentityMembers[] = {
    Header("CurveDataHeader_DaIdentity"), MakeMember(KelvoInt16Member, "Dimension"),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DaConstant32fMembers[] = {
    Header("CurveDataHeader_DaConstant32f"), MakeMember(KelvoInt16Member, "Padding"),
    MakeMember(KelvoReferenceToArrayMember, "Controls", Real32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D3Constant32fMembers[] = {
    Header("CurveDataHeader_D3Constant32f"), MakeMember(KelvoInt16Member, "Padding"),
    MakeMember(KelvoReal32Member, "Controls", nullptr, 3), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D4Constant32fMembers[] = {
    Header("CurveDataHeader_D4Constant32f"), MakeMember(KelvoInt16Member, "Padding"),
    MakeMember(KelvoReal32Member, "Controls", nullptr, 4), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DaK16uC16uMembers[] = {
    Header("CurveDataHeader_DaK16uC16u"), MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReferenceToArrayMember, "ControlScaleOffsets", Real32Members),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DaK8uC8uMembers[] = {
    Header("CurveDataHeader_DaK8uC8u"), MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReferenceToArrayMember, "ControlScaleOffsets", Real32Members),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D4nK16uC15uMembers[] = {
    Header("CurveDataHeader_D4nK16uC15u"), MakeMember(KelvoUInt16Member, "ScaleOffsetTableEntries"),
    MakeMember(KelvoReal32Member, "OneOverKnotScale"),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D4nK8uC7uMembers[] = {
    Header("CurveDataHeader_D4nK8uC7u"), MakeMember(KelvoUInt16Member, "ScaleOffsetTableEntries"),
    MakeMember(KelvoReal32Member, "OneOverKnotScale"),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D9I1K16uC16uMembers[] = {
    Header("CurveDataHeader_D9I1K16uC16u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScale"),
    MakeMember(KelvoReal32Member, "ControlOffset"),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D9I1K8uC8uMembers[] = {
    Header("CurveDataHeader_D9I1K8uC8u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScale"),
    MakeMember(KelvoReal32Member, "ControlOffset"),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};

constexpr kelvo_data_type_definition D3K16uC16uMembers[] = {
    Header("CurveDataHeader_D3K16uC16u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D3K8uC8uMembers[] = {
    Header("CurveDataHeader_D3K8uC8u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D9I3K16uC16uMembers[] = {
    Header("CurveDataHeader_D9I3K16uC16u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D9I3K8uC8uMembers[] = {
    Header("CurveDataHeader_D9I3K8uC8u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D3I1K32fC32fMembers[] = {
    Header("CurveDataHeader_D3I1K32fC32f"),
    MakeMember(KelvoUInt16Member, "Padding"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", Real32Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D3I1K16uC16uMembers[] = {
    Header("CurveDataHeader_D3I1K16uC16u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt16Members),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition D3I1K8uC8uMembers[] = {
    Header("CurveDataHeader_D3I1K8uC8u"),
    MakeMember(KelvoUInt16Member, "OneOverKnotScaleTrunc"),
    MakeMember(KelvoReal32Member, "ControlScales", nullptr, 3),
    MakeMember(KelvoReal32Member, "ControlOffsets", nullptr, 3),
    MakeMember(KelvoReferenceToArrayMember, "KnotsControls", UInt8Members),
    MakeMember(KelvoEndMember)};

// ---- the C records match the definitions ------------------------------------

#define KELVO_CHECK_CURVE_RECORD(Record, Members, Size32)                                          \
    static_assert(ConstantObjectSize(Members, 32) == (Size32));                                    \
    static_assert(sizeof(Record) == (size_t)ConstantObjectSize(Members, NativePointerSizeInBits))
#define KELVO_CHECK_CURVE_MEMBER(Record, Members, Field)                                           \
    static_assert(offsetof(Record, Field) ==                                                       \
                  (size_t)ConstantMemberOffset(Members, #Field, NativePointerSizeInBits))
static_assert(ConstantObjectSize(CurveDataHeaderMembers, 32) == 2);
static_assert(sizeof(kelvo_curve_data_header) == 2);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_keyframes32f, DaKeyframes32fMembers, 12);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_k32f_c32f, DaK32fC32fMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_identity, DaIdentityMembers, 4);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_constant32f, DaConstant32fMembers, 12);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3_constant32f, D3Constant32fMembers, 16);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d4_constant32f, D4Constant32fMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_k16u_c16u, DaK16uC16uMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_da_k8u_c8u, DaK8uC8uMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d4n_k16u_c15u, D4nK16uC15uMembers, 16);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d4n_k8u_c7u, D4nK8uC7uMembers, 16);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3_k16u_c16u, D3K16uC16uMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3_k8u_c8u, D3K8uC8uMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d9i1_k16u_c16u, D9I1K16uC16uMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d9i3_k16u_c16u, D9I3K16uC16uMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d9i1_k8u_c8u, D9I1K8uC8uMembers, 20);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d9i3_k8u_c8u, D9I3K8uC8uMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3i1_k32f_c32f, D3I1K32fC32fMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3i1_k16u_c16u, D3I1K16uC16uMembers, 36);
KELVO_CHECK_CURVE_RECORD(kelvo_curve_data_d3i1_k8u_c8u, D3I1K8uC8uMembers, 36);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_da_keyframes32f, DaKeyframes32fMembers, Dimension);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_da_k32f_c32f, DaK32fC32fMembers, Padding);
static_assert(offsetof(kelvo_curve_data_da_k32f_c32f, KnotCount) ==
              (size_t)ConstantMemberOffset(DaK32fC32fMembers, "Knots", NativePointerSizeInBits));
static_assert(offsetof(kelvo_curve_data_da_k32f_c32f, ControlCount) ==
              (size_t)ConstantMemberOffset(DaK32fC32fMembers, "Controls", NativePointerSizeInBits));
static_assert(offsetof(kelvo_curve_data_da_constant32f, ControlCount) ==
              (size_t)ConstantMemberOffset(DaConstant32fMembers, "Controls",
                                           NativePointerSizeInBits));
static_assert(offsetof(kelvo_curve_data_da_keyframes32f, ControlCount) ==
              (size_t)ConstantMemberOffset(DaKeyframes32fMembers, "Controls",
                                           NativePointerSizeInBits));
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d3_constant32f, D3Constant32fMembers, Controls);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d4_constant32f, D4Constant32fMembers, Controls);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d4n_k16u_c15u, D4nK16uC15uMembers, OneOverKnotScale);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d3_k16u_c16u, D3K16uC16uMembers, ControlOffsets);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d9i1_k16u_c16u, D9I1K16uC16uMembers, ControlOffset);
KELVO_CHECK_CURVE_MEMBER(kelvo_curve_data_d3i1_k32f_c32f, D3I1K32fC32fMembers, ControlOffsets);
static_assert(offsetof(kelvo_curve_data_da_k16u_c16u, ControlScaleOffsetCount) ==
              (size_t)ConstantMemberOffset(DaK16uC16uMembers, "ControlScaleOffsets",
                                           NativePointerSizeInBits));

#define KELVO_LAYOUT(Format, Record, Family, Dimension, PerKnot, Bytes, Truncated)                 \
    {                                                                                              \
        Format##Members, #Format, curve_family::Family, Dimension, PerKnot, Bytes,                 \
            (kelvo_int32)sizeof(Record),                                                           \
            ConstantMemberOffset(Format##Members, "KnotsControls", NativePointerSizeInBits),       \
            Truncated                                                                              \
    }

constinit curve_format_layout const CurveFormatLayouts[CurveFormatCount] = {
    KELVO_LAYOUT(DaKeyframes32f, kelvo_curve_data_da_keyframes32f, Keyframes, 0, 0, 4, false),
    KELVO_LAYOUT(DaK32fC32f, kelvo_curve_data_da_k32f_c32f, Floats, 0, 0, 4, false),
    KELVO_LAYOUT(DaIdentity, kelvo_curve_data_da_identity, Identity, 0, 0, 0, false),
    KELVO_LAYOUT(DaConstant32f, kelvo_curve_data_da_constant32f, Constant, 0, 0, 4, false),
    KELVO_LAYOUT(D3Constant32f, kelvo_curve_data_d3_constant32f, FixedConstant, 3, 0, 4, false),
    KELVO_LAYOUT(D4Constant32f, kelvo_curve_data_d4_constant32f, FixedConstant, 4, 0, 4, false),
    KELVO_LAYOUT(DaK16uC16u, kelvo_curve_data_da_k16u_c16u, Scaled, 0, 0, 2, true),
    KELVO_LAYOUT(DaK8uC8u, kelvo_curve_data_da_k8u_c8u, Scaled, 0, 0, 1, true),
    KELVO_LAYOUT(D4nK16uC15u, kelvo_curve_data_d4n_k16u_c15u, Quaternion, 4, 3, 2, false),
    KELVO_LAYOUT(D4nK8uC7u, kelvo_curve_data_d4n_k8u_c7u, Quaternion, 4, 3, 1, false),
    KELVO_LAYOUT(D3K16uC16u, kelvo_curve_data_d3_k16u_c16u, ThreeScaled, 3, 3, 2, true),
    KELVO_LAYOUT(D3K8uC8u, kelvo_curve_data_d3_k8u_c8u, ThreeScaled, 3, 3, 1, true),
    KELVO_LAYOUT(D9I1K16uC16u, kelvo_curve_data_d9i1_k16u_c16u, OneScaled, 9, 1, 2, true),
    KELVO_LAYOUT(D9I3K16uC16u, kelvo_curve_data_d9i3_k16u_c16u, ThreeScaled, 9, 3, 2, true),
    KELVO_LAYOUT(D9I1K8uC8u, kelvo_curve_data_d9i1_k8u_c8u, OneScaled, 9, 1, 1, true),
    KELVO_LAYOUT(D9I3K8uC8u, kelvo_curve_data_d9i3_k8u_c8u, ThreeScaled, 9, 3, 1, true),
    KELVO_LAYOUT(D3I1K32fC32f, kelvo_curve_data_d3i1_k32f_c32f, Line, 3, 1, 4, false),
    KELVO_LAYOUT(D3I1K16uC16u, kelvo_curve_data_d3i1_k16u_c16u, Line, 3, 1, 2, true),
    KELVO_LAYOUT(D3I1K8uC8u, kelvo_curve_data_d3i1_k8u_c8u, Line, 3, 1, 1, true),
};

kelvo_uint8 FindCurveFormat(kelvo_data_type_definition const *Type) {
    if (!Type) {
        return UnknownCurveFormat;
    }
    for (kelvo_int32 Index = 0; Index < CurveFormatCount; ++Index) {
        if (Type == CurveFormatLayouts[Index].Definition ||
            KelvoDataTypesAreEqualWithNames(Type, CurveFormatLayouts[Index].Definition)) {
            return (kelvo_uint8)Index;
        }
    }
    return UnknownCurveFormat;
}

// ---- the curve path of tree conversion ------------------------------------------

namespace {

// An old-form curve becomes DaK32fC32f data that refers to its arrays.
void ConvertOldCurve(kelvo_data_type_definition const *SourceType, void const *Source, void *Curve,
                     void *Data) {
    kelvo_old_curve Old;
    KelvoConvertSingleObject(SourceType, Source, KelvoOldCurveType, &Old);
    kelvo_int32 Dimension =
        Old.KnotCount > 0 && Old.ControlCount > 0 ? Old.ControlCount / Old.KnotCount : 0;
    kelvo_curve_data_da_k32f_c32f Record = {};
    Record.CurveDataHeader_DaK32fC32f.Format = DaK32fC32f;
    Record.CurveDataHeader_DaK32fC32f.Degree = (kelvo_uint8)Old.Degree;
    if (Old.KnotCount > 0 && Old.Knots) {
        Record.KnotCount = Old.KnotCount;
        Record.Knots = Old.Knots;
        if (Dimension > 0 && Old.Controls) {
            Record.ControlCount = Old.KnotCount * Dimension;
            Record.Controls = Old.Controls;
        }
    }
    // Degrees outside a byte stay out of range, so that the curve check
    // refuses them rather than a wrapped value passing.
    if (Old.Degree < 0 || Old.Degree > 255) {
        Record.CurveDataHeader_DaK32fC32f.Degree = 255;
    }
    memcpy(Data, &Record, sizeof(Record));
    kelvo_curve2 Result = {{DaK32fC32fMembers, Data}};
    memcpy(Curve, &Result, sizeof(Result));
}

// The data of a converted curve is the source's, shared; its byte is written
// only when it is wrong, so data in read-only memory that is right stays
// untouched. Data of no known format is left alone: its first byte is not a
// format byte, and the curve check refuses the curve.
void UpdateCurveFormat(void *Curve) {
    kelvo_curve2 Record;
    memcpy(&Record, Curve, sizeof(Record));
    if (kelvo_curve_data_header *Header = CurveHeader(&Record)) {
        kelvo_uint8 Format = FindCurveFormat(Record.CurveData.Type);
        if (Format != UnknownCurveFormat && Header->Format != Format) {
            Header->Format = Format;
        }
    }
}

curve_conversion CurveConversion = {nullptr, (kelvo_int32)sizeof(kelvo_curve_data_da_k32f_c32f),
                                    ConvertOldCurve, UpdateCurveFormat};

} // namespace

void InstallCurveConversion() {
    CurveConversion.CurveType = KelvoCurve2Type;
    SetCurveConversion(&CurveConversion);
}

} // namespace kelvo

// ---- exports --------------------------------------------------------------------

namespace kelvo {
constexpr kelvo_real32 IdentityPosition[3] = {0, 0, 0};
constexpr kelvo_real32 IdentityOrientation[4] = {0, 0, 0, 1};
constexpr kelvo_real32 IdentityScaleShear[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
constexpr kelvo_real32 IdentityScale[3] = {1, 1, 1};
constexpr kelvo_real32 IdentityShear[3] = {0, 0, 0};
constexpr kelvo_real32 IdentityNormal[3] = {0, 0, 1};
} // namespace kelvo

kelvo_data_type_definition const *const KelvoCurveDataHeaderType = kelvo::CurveDataHeaderMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaKeyframes32fType =
    kelvo::DaKeyframes32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaK32fC32fType = kelvo::DaK32fC32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaIdentityType = kelvo::DaIdentityMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaConstant32fType =
    kelvo::DaConstant32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3Constant32fType =
    kelvo::D3Constant32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataD4Constant32fType =
    kelvo::D4Constant32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaK16uC16uType = kelvo::DaK16uC16uMembers;
kelvo_data_type_definition const *const KelvoCurveDataDaK8uC8uType = kelvo::DaK8uC8uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD4nK16uC15uType = kelvo::D4nK16uC15uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD4nK8uC7uType = kelvo::D4nK8uC7uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3K16uC16uType = kelvo::D3K16uC16uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3K8uC8uType = kelvo::D3K8uC8uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD9I1K16uC16uType = kelvo::D9I1K16uC16uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD9I3K16uC16uType = kelvo::D9I3K16uC16uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD9I1K8uC8uType = kelvo::D9I1K8uC8uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD9I3K8uC8uType = kelvo::D9I3K8uC8uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3I1K32fC32fType = kelvo::D3I1K32fC32fMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3I1K16uC16uType = kelvo::D3I1K16uC16uMembers;
kelvo_data_type_definition const *const KelvoCurveDataD3I1K8uC8uType = kelvo::D3I1K8uC8uMembers;

kelvo_real32 const *const KelvoCurveIdentityPosition = kelvo::IdentityPosition;
kelvo_real32 const *const KelvoCurveIdentityOrientation = kelvo::IdentityOrientation;
kelvo_real32 const *const KelvoCurveIdentityScaleShear = kelvo::IdentityScaleShear;
kelvo_real32 const *const KelvoCurveIdentityScale = kelvo::IdentityScale;
kelvo_real32 const *const KelvoCurveIdentityShear = kelvo::IdentityShear;
kelvo_real32 const *const KelvoCurveIdentityNormal = kelvo::IdentityNormal;
