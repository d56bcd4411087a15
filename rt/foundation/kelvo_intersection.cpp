// Ray tests against planes, spheres, oriented boxes and triangles, used for
// picking. Rays are an origin and a unit direction; distances along the ray
// are therefore lengths. Pure functions: no allocation, no logging.
#include "foundation/kelvo_math.h"

#include <cmath>
#include <limits>

using namespace kelvo;

KELVO_API kelvo_int32 KelvoRayIntersectsPlaneAt(kelvo_real32 const PlaneNormal[3],
                                                kelvo_real32 PlaneD,
                                                kelvo_real32 const RayOrigin[3],
                                                kelvo_real32 const RayDirection[3],
                                                kelvo_real32 *T) {
    kelvo_real32 const Speed = Dot3(PlaneNormal, RayDirection);
    if (Speed == 0) {
        return 0;
    }
    *T = -(Dot3(PlaneNormal, RayOrigin) + PlaneD) / Speed;
    return *T >= 0 ? 1 : -1;
}

// b = (centre - origin).direction, and the discriminant of |origin + t.d - c| = r.
static kelvo_real32 SphereDiscriminant(kelvo_real32 const *Center, kelvo_real32 Radius,
                                       kelvo_real32 const *RayOrigin,
                                       kelvo_real32 const *RayDirection, kelvo_real32 *B) {
    kelvo_real32 const ToCenter[3] = {Center[0] - RayOrigin[0], Center[1] - RayOrigin[1],
                                      Center[2] - RayOrigin[2]};
    *B = Dot3(ToCenter, RayDirection);
    return *B * *B - Dot3(ToCenter, ToCenter) + Radius * Radius;
}

KELVO_API kelvo_bool32 KelvoRayIntersectsSphere(kelvo_real32 const Center[3], kelvo_real32 Radius,
                                                kelvo_real32 const RayOrigin[3],
                                                kelvo_real32 const RayDirection[3]) {
    kelvo_real32 B;
    return SphereDiscriminant(Center, Radius, RayOrigin, RayDirection, &B) >= 0;
}

KELVO_API kelvo_int32 KelvoRayIntersectsSphereAt(kelvo_real32 const Center[3], kelvo_real32 Radius,
                                                 kelvo_real32 const RayOrigin[3],
                                                 kelvo_real32 const RayDirection[3],
                                                 kelvo_real32 *InT, kelvo_real32 *OutT) {
    kelvo_real32 B;
    kelvo_real32 const Discriminant =
        SphereDiscriminant(Center, Radius, RayOrigin, RayDirection, &B);
    if (Discriminant < 0) {
        return 0;
    }
    kelvo_real32 const HalfChord = std::sqrt(Discriminant);
    *InT = B - HalfChord;
    *OutT = B + HalfChord;
    return (*InT >= 0 || *OutT >= 0) ? 1 : -1;
}

namespace {

// The ray in box coordinates: along box axis i it starts at Start[i] and moves
// Speed[i] per unit of t.
struct slab_clip {
    kelvo_real32 InT = -std::numeric_limits<kelvo_real32>::infinity();
    kelvo_real32 OutT = std::numeric_limits<kelvo_real32>::infinity();
    int InAxis = -1;
    int OutAxis = -1;
    bool InAtMax = false;
    bool OutAtMax = false;
};

// False when the ray misses the box or the box lies wholly behind it.
bool ClipSlabs(kelvo_real32 const *Start, kelvo_real32 const *Speed, kelvo_real32 const *Min,
               kelvo_real32 const *Max, slab_clip *Clip) {
    for (int Axis = 0; Axis < 3; ++Axis) {
        if (Speed[Axis] == 0) {
            // Parallel to this slab: inside it for every t, or never.
            if (Start[Axis] < Min[Axis] || Start[Axis] > Max[Axis]) {
                return false;
            }
            continue;
        }
        kelvo_real32 const ToMin = (Min[Axis] - Start[Axis]) / Speed[Axis];
        kelvo_real32 const ToMax = (Max[Axis] - Start[Axis]) / Speed[Axis];
        bool const EntersAtMax = Speed[Axis] < 0;
        kelvo_real32 const Enter = EntersAtMax ? ToMax : ToMin;
        kelvo_real32 const Leave = EntersAtMax ? ToMin : ToMax;
        if (Enter > Clip->InT) {
            Clip->InT = Enter;
            Clip->InAxis = Axis;
            Clip->InAtMax = EntersAtMax;
        }
        if (Leave < Clip->OutT) {
            Clip->OutT = Leave;
            Clip->OutAxis = Axis;
            Clip->OutAtMax = !EntersAtMax;
        }
    }
    return Clip->InT <= Clip->OutT && (Clip->InT >= 0 || Clip->OutT >= 0);
}

} // namespace

KELVO_API kelvo_bool32 KelvoRayIntersectsBox(kelvo_real32 const Box[16], kelvo_real32 const Min[3],
                                             kelvo_real32 const Max[3],
                                             kelvo_real32 const RayOrigin[3],
                                             kelvo_real32 const RayDirection[3]) {
    // Unit orthogonal axes: box coordinates are plain projections.
    kelvo_real32 const Relative[3] = {RayOrigin[0] - Box[12], RayOrigin[1] - Box[13],
                                      RayOrigin[2] - Box[14]};
    kelvo_real32 Start[3], Speed[3];
    for (int Axis = 0; Axis < 3; ++Axis) {
        Start[Axis] = Dot3(Box + 4 * Axis, Relative);
        Speed[Axis] = Dot3(Box + 4 * Axis, RayDirection);
    }
    slab_clip Clip;
    return ClipSlabs(Start, Speed, Min, Max, &Clip);
}

KELVO_API kelvo_bool32 KelvoRayIntersectsBoxAt(kelvo_real32 const Box[16],
                                               kelvo_real32 const Min[3], kelvo_real32 const Max[3],
                                               kelvo_real32 const RayOrigin[3],
                                               kelvo_real32 const RayDirection[3],
                                               kelvo_box_intersection *Result) {
    // A point x has box coordinates a with x = Origin + a.Axes (row vector), so
    // a = (x - Origin).Axes^-1 and the gradient of a_i is column i of Axes^-1.
    kelvo_real32 const Axes[9] = {Box[0], Box[1], Box[2], Box[4], Box[5],
                                  Box[6], Box[8], Box[9], Box[10]};
    kelvo_real32 Inverse[9];
    if (!MatrixInvert3x3(Inverse, Axes)) {
        return 0;
    }
    kelvo_real32 const Relative[3] = {RayOrigin[0] - Box[12], RayOrigin[1] - Box[13],
                                      RayOrigin[2] - Box[14]};
    kelvo_real32 Start[3], Speed[3];
    TransposeVectorTransform3x3(Start, Inverse, Relative);
    TransposeVectorTransform3x3(Speed, Inverse, RayDirection);
    slab_clip Clip;
    if (!ClipSlabs(Start, Speed, Min, Max, &Clip)) {
        return 0;
    }
    auto FaceNormal = [&Inverse](kelvo_real32 *Normal, int Axis, bool AtMax) {
        if (Axis < 0) {
            Normal[0] = Normal[1] = Normal[2] = 0;
            return;
        }
        kelvo_real32 const Sign = AtMax ? 1.0f : -1.0f;
        Normal[0] = Sign * Inverse[0 + Axis];
        Normal[1] = Sign * Inverse[3 + Axis];
        Normal[2] = Sign * Inverse[6 + Axis];
        Normalize3(Normal);
    };
    Result->InT = Clip.InT;
    Result->OutT = Clip.OutT;
    FaceNormal(Result->InNormal, Clip.InAxis, Clip.InAtMax);
    FaceNormal(Result->OutNormal, Clip.OutAxis, Clip.OutAtMax);
    return 1;
}

KELVO_API kelvo_int32 KelvoRayIntersectsTriangleAt(kelvo_real32 const Vertex0[3],
                                                   kelvo_real32 const Vertex1[3],
                                                   kelvo_real32 const Vertex2[3],
                                                   kelvo_real32 const RayOrigin[3],
                                                   kelvo_real32 const RayDirection[3],
                                                   kelvo_triangle_intersection *Result) {
    // Solves Origin + t.Direction = Vertex0 + u.EdgeU + v.EdgeV by Cramer's
    // rule with scalar triple products.
    kelvo_real32 const EdgeU[3] = {Vertex1[0] - Vertex0[0], Vertex1[1] - Vertex0[1],
                                   Vertex1[2] - Vertex0[2]};
    kelvo_real32 const EdgeV[3] = {Vertex2[0] - Vertex0[0], Vertex2[1] - Vertex0[1],
                                   Vertex2[2] - Vertex0[2]};
    kelvo_real32 P[3];
    Cross3(P, RayDirection, EdgeV);
    kelvo_real32 const Determinant = Dot3(EdgeU, P);
    if (Determinant == 0) {
        return 0;
    }
    kelvo_real32 const InverseDeterminant = 1 / Determinant;
    kelvo_real32 const FromVertex0[3] = {RayOrigin[0] - Vertex0[0], RayOrigin[1] - Vertex0[1],
                                         RayOrigin[2] - Vertex0[2]};
    kelvo_real32 const U = Dot3(FromVertex0, P) * InverseDeterminant;
    if (!(U > 0 && U < 1)) {
        return 0;
    }
    kelvo_real32 Q[3];
    Cross3(Q, FromVertex0, EdgeU);
    kelvo_real32 const V = Dot3(RayDirection, Q) * InverseDeterminant;
    if (!(V > 0 && U + V < 1)) {
        return 0;
    }
    Result->T = Dot3(EdgeV, Q) * InverseDeterminant;
    Result->U = U;
    Result->V = V;
    for (int Index = 0; Index < 3; ++Index) {
        Result->EdgeU[Index] = EdgeU[Index];
        Result->EdgeV[Index] = EdgeV[Index];
    }
    Result->Backfacing = Determinant < 0;
    return Result->T >= 0 ? 1 : -1;
}
