// Curve records built from arbitrary bytes, as a loaded file may hold them:
// a definition (a format's, sometimes another format's or none), a format
// record whose fields, format byte and degree come from the input, and arrays
// of exactly their stated counts, as KelvoCheckFileDataTree guarantees them.
// The curve check decides; a curve it accepts is decoded, searched, copied,
// converted, swizzled and evaluated at arbitrary times with and without
// looping, and nothing may read outside its arrays or crash.
#include "asset/kelvo_curve_formats.h"
#include "kelvo2.h"

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

struct input {
    uint8_t const *Data;
    size_t Size;
    uint8_t Byte() {
        if (!Size) {
            return 0;
        }
        --Size;
        return *Data++;
    }
    void Bytes(void *To, size_t Count) {
        uint8_t *Out = static_cast<uint8_t *>(To);
        for (size_t Index = 0; Index < Count; ++Index) {
            Out[Index] = Byte();
        }
    }
    float Real() {
        float Value;
        Bytes(&Value, sizeof(Value));
        return Value;
    }
};

// Arrays live in blocks of their own, sized exactly, so that a read past one
// is caught.
struct arrays {
    std::vector<std::vector<uint8_t>> Blocks;
    void *Make(input &In, kelvo_int32 Count, kelvo_int32 ElementBytes) {
        if (Count <= 0) {
            return nullptr;
        }
        Blocks.emplace_back((size_t)Count * ElementBytes);
        In.Bytes(Blocks.back().data(), Blocks.back().size());
        return Blocks.back().data();
    }
};

// Counts are small signed values: negative ones must be refused.
kelvo_int32 Count(input &In) {
    return (kelvo_int8)In.Byte();
}

void Exercise(kelvo_curve2 *Curve, input &In) {
    static float const Identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    kelvo_int32 KnotCount = KelvoCurveGetKnotCount(Curve);
    kelvo_int32 Dimension = KelvoCurveGetDimension(Curve);
    if (Dimension == 0) {
        Dimension = 1 + In.Byte() % 9;
    }
    // The first knots at most, so that the harness's own buffers stay small
    // whatever count a curve claims; every read of the curve is still checked.
    kelvo_int32 Extracted = KnotCount < 256 ? KnotCount : 256;
    std::vector<float> Knots(Extracted > 0 ? Extracted : 1);
    std::vector<float> Controls((size_t)(Extracted > 0 ? Extracted : 1) * 9);
    if (Extracted > 0) {
        KelvoCurveExtractKnotValues(Curve, 0, Extracted, Knots.data(), Controls.data(), Identity);
    }
    kelvo_curve2 *Copy = KelvoEndCurve(KelvoBeginCurveCopy(Curve));
    kelvo_curve2 *Floats = KelvoCurveConvertToDaK32fC32f(Curve, Identity);
    for (int Round = 0; Round < 4; ++Round) {
        uint8_t Flags = In.Byte();
        float T = In.Real();
        float Duration = In.Real();
        float Result[9];
        KelvoEvaluateCurveAtT(Dimension, Flags & 1, Flags & 2, Curve, Flags & 4, Duration, T,
                              Result, Identity);
        KelvoEvaluateCurveAtKnotIndex(Dimension, Flags & 1, Flags & 2, Curve, Flags & 4, Duration,
                                      (kelvo_int8)In.Byte(), T, Result, Identity);
        if (Copy) {
            KelvoEvaluateCurveAtT(Dimension, Flags & 1, Flags & 2, Copy, Flags & 4, Duration, T,
                                  Result, Identity);
        }
        if (Floats) {
            KelvoEvaluateCurveAtT(Dimension, Flags & 1, Flags & 2, Floats, Flags & 4, Duration, T,
                                  Result, Identity);
        }
        KelvoCurveFindKnot(Curve, T);
    }
    float Scales[9], Offsets[9];
    kelvo_int32 Swizzles[9];
    for (int Lane = 0; Lane < 9; ++Lane) {
        Scales[Lane] = In.Real();
        Offsets[Lane] = In.Real();
        Swizzles[Lane] = (kelvo_int8)In.Byte();
    }
    KelvoCurveScaleOffsetSwizzle(Curve, Dimension, Scales, Offsets, Swizzles);
    float Result[9];
    KelvoEvaluateCurveAtT(Dimension, 1, 1, Curve, 1, 1.0f, In.Real(), Result, Identity);
    if (KnotCount > 0 && KnotCount <= 64) {
        KelvoCurveSetAllKnotValues(Curve, KnotCount, KelvoCurveGetDimension(Curve), Knots.data(),
                                   Controls.data());
    }
    KelvoFreeCurve(Floats);
    KelvoFreeCurve(Copy);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Data, size_t Size) {
    kelvo_log_callback Callback = {Discard, nullptr};
    KelvoSetLogCallback(&Callback);
    input In = {Data, Size};
    uint8_t Choice = In.Byte();
    kelvo_uint8 Format = (kelvo_uint8)(Choice % kelvo::CurveFormatCount);
    // Mostly the format's own definition; sometimes another's or none. The
    // record and its arrays are laid out by the definition, as the tree
    // check guarantees for files; the format byte may disagree.
    uint8_t TypeChoice = In.Byte();
    kelvo::curve_format_layout const &Layout =
        kelvo::CurveFormatLayouts[TypeChoice >= 240 ? TypeChoice % kelvo::CurveFormatCount
                                                    : Format];
    kelvo_data_type_definition const *Type = Layout.Definition;
    if (TypeChoice >= 236 && TypeChoice < 240) {
        Type = KelvoOldCurveType;
    }
    alignas(8) uint8_t Record[64] = {};
    In.Bytes(Record, (size_t)Layout.RecordSize);
    arrays Arrays;
    // The arrays of the record: counts from the input, blocks of that size.
    auto SetArray = [&](kelvo_int32 CountOffset, kelvo_int32 ElementBytes) {
        kelvo_int32 Stored = Count(In);
        void *Values = Arrays.Make(In, Stored, ElementBytes);
        if (In.Byte() == 0xFF) {
            Values = nullptr; // a count without its array
        }
        memcpy(Record + CountOffset, &Stored, 4);
        memcpy(Record + CountOffset + 4, &Values, sizeof(Values));
    };
    switch (Layout.Family) {
    case kelvo::curve_family::Keyframes:
        SetArray((kelvo_int32)offsetof(kelvo_curve_data_da_keyframes32f, ControlCount), 4);
        break;
    case kelvo::curve_family::Floats:
        SetArray((kelvo_int32)offsetof(kelvo_curve_data_da_k32f_c32f, KnotCount), 4);
        SetArray((kelvo_int32)offsetof(kelvo_curve_data_da_k32f_c32f, ControlCount), 4);
        break;
    case kelvo::curve_family::Constant:
        SetArray((kelvo_int32)offsetof(kelvo_curve_data_da_constant32f, ControlCount), 4);
        break;
    case kelvo::curve_family::Scaled:
        SetArray((kelvo_int32)offsetof(kelvo_curve_data_da_k16u_c16u, ControlScaleOffsetCount), 4);
        SetArray(Layout.KnotsControlsOffset, Layout.ValueBytes);
        break;
    case kelvo::curve_family::Identity:
    case kelvo::curve_family::FixedConstant:
        break;
    default:
        SetArray(Layout.KnotsControlsOffset, Layout.ValueBytes);
        break;
    }
    // The format byte mostly agrees with the definition.
    if (In.Byte() < 200) {
        Record[0] = Format;
    }
    kelvo_curve2 Curve = {{Type, Record}};
    if (kelvo::CheckCurve(&Curve, "fuzzed")) {
        Exercise(&Curve, In);
    }
    return 0;
}
