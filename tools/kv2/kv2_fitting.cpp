// The fit shared by kv2 compress and kv2 import.
#include "kv2_fitting.h"

#include <math.h>
#include <stdio.h>

namespace kv2 {

char const *const CurveKindNames[CurveKindCount] = {"position", "rotation", "scale/shear",
                                                    "vector"};

namespace {

struct format_name {
    char const *Name;
    kelvo_data_type_definition const *const *Type;
};

constexpr format_name KnotFormats[] = {
    {"DaK32fC32f", &KelvoCurveDataDaK32fC32fType},
    {"DaK16uC16u", &KelvoCurveDataDaK16uC16uType},
    {"DaK8uC8u", &KelvoCurveDataDaK8uC8uType},
    {"D4nK16uC15u", &KelvoCurveDataD4nK16uC15uType},
    {"D4nK8uC7u", &KelvoCurveDataD4nK8uC7uType},
    {"D3K16uC16u", &KelvoCurveDataD3K16uC16uType},
    {"D3K8uC8u", &KelvoCurveDataD3K8uC8uType},
    {"D9I1K16uC16u", &KelvoCurveDataD9I1K16uC16uType},
    {"D9I3K16uC16u", &KelvoCurveDataD9I3K16uC16uType},
    {"D9I1K8uC8u", &KelvoCurveDataD9I1K8uC8uType},
    {"D9I3K8uC8u", &KelvoCurveDataD9I3K8uC8uType},
    {"D3I1K32fC32f", &KelvoCurveDataD3I1K32fC32fType},
    {"D3I1K16uC16u", &KelvoCurveDataD3I1K16uC16uType},
    {"D3I1K8uC8u", &KelvoCurveDataD3I1K8uC8uType},
};

} // namespace

std::vector<kelvo_data_type_definition const *> AllFittedFormats() {
    std::vector<kelvo_data_type_definition const *> Formats;
    for (format_name const &Format : KnotFormats) {
        Formats.push_back(*Format.Type);
    }
    return Formats;
}

bool ParseCurveFormats(std::string const &List,
                       std::vector<kelvo_data_type_definition const *> &Formats) {
    size_t Start = 0;
    while (Start <= List.size()) {
        size_t End = List.find(',', Start);
        std::string Name = List.substr(Start, End == std::string::npos ? End : End - Start);
        format_name const *Found = nullptr;
        for (format_name const &Format : KnotFormats) {
            Found = Name == Format.Name ? &Format : Found;
        }
        if (!Found) {
            fprintf(stderr, "kv2: unknown curve format '%s'\n", Name.c_str());
            return false;
        }
        Formats.push_back(*Found->Type);
        if (End == std::string::npos) {
            break;
        }
        Start = End + 1;
    }
    return true;
}

kelvo_real32 const *IdentityOf(curve_kind Kind) {
    return Kind == PositionCurve      ? KelvoCurveIdentityPosition
           : Kind == OrientationCurve ? KelvoCurveIdentityOrientation
           : Kind == ScaleShearCurve  ? KelvoCurveIdentityScaleShear
                                      : nullptr;
}

kelvo_curve2 *FitSamples(bspline_solver *Solver, curve_kind Kind, kelvo_int32 Degree,
                         kelvo_real32 Tolerance,
                         std::vector<kelvo_data_type_definition const *> const &Formats,
                         kelvo_real32 const *Samples, kelvo_int32 Dimension,
                         kelvo_int32 SampleCount, kelvo_real32 dT, double *LargestError) {
    compress_curve_parameters Params = {};
    Params.DesiredDegree = Degree;
    Params.AllowDegreeReduction = true;
    Params.ErrorTolerance = Tolerance;
    Params.PossibleCompressionTypes =
        const_cast<kelvo_data_type_definition const **>(Formats.data());
    Params.PossibleCompressionTypesCount = (kelvo_int32)Formats.size();
    Params.ConstantCompressionType = Dimension == 3   ? KelvoCurveDataD3Constant32fType
                                     : Dimension == 4 ? KelvoCurveDataD4Constant32fType
                                                      : KelvoCurveDataDaConstant32fType;
    Params.IdentityVector = IdentityOf(Kind);
    Params.IdentityCompressionType = Params.IdentityVector ? KelvoCurveDataDaIdentityType : nullptr;
    kelvo_uint32 Flags =
        BSplineSolverExtraDOFKnotZero | BSplineSolverAllowReduceKeys |
        (Kind == OrientationCurve ? (kelvo_uint32)BSplineSolverEvaluateAsQuaternions : 0u);
    if (Degree == 1) {
        // A knot wherever the samples bend: the line through them all, then
        // thinned while it stays within the tolerance.
        Flags |= BSplineSolverAllowC1Splitting;
    }
    kelvo_curve2 *Fitted =
        KelvoCompressCurve(Solver, Flags, &Params, Samples, Dimension, SampleCount, dT, nullptr);
    if (Fitted) {
        bspline_error Error;
        KelvoGetSquaredErrorOverCurve(Flags, KelvoCurveGetDegree(Fitted), Dimension,
                                      (SampleCount - 1) * dT, Fitted, SampleCount, Samples,
                                      Params.IdentityVector, &Error);
        *LargestError = sqrt((double)Error.MaximumSquaredError);
    }
    return Fitted;
}

void MakeContinuousQuaternion(kelvo_real32 *Q, kelvo_real32 const *Previous) {
    kelvo_real32 Length = sqrtf(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3]);
    kelvo_real32 Scale = Length > 0.0f ? 1.0f / Length : 0.0f;
    if (Previous &&
        Q[0] * Previous[0] + Q[1] * Previous[1] + Q[2] * Previous[2] + Q[3] * Previous[3] < 0) {
        Scale = -Scale;
    }
    for (int Component = 0; Component < 4; ++Component) {
        Q[Component] *= Scale;
    }
}

} // namespace kv2
