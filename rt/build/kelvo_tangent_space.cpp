// Tangent frames from positions and the first texture coordinates, in the
// convention glTF content and its viewers use: each triangle's frame follows
// the directions in which u and v grow, frames are averaged per vertex, and
// the tangent and binormal are then made orthonormal to the vertex normal.
// The cross member carries the handedness: +Normal where the mapping is
// right-handed, -Normal where it is mirrored. A vertex whose triangles
// disagree in handedness or direction is split, so mirrored seams keep
// both frames.
#include "build/kelvo_mesh_builder.h"

#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"

#include <algorithm>

#include <math.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoExporterLogMessage;
// Positions of coincident vertices agree within this (sum of absolute
// differences); their agreeing frames are smoothed together.
constexpr kelvo_real32 CoincidenceTolerance = 0.00001f;
constexpr kelvo_real32 Tiny = 1e-12f;

// The frames of the triangles that meet at one vertex and agree.
struct frame_cluster {
    kelvo_int32 Vertex; // the vertex that receives the frame
    kelvo_int32 Next;   // next cluster of the same corner vertex
    kelvo_real32 Sign;
    kelvo_real32 Tangent[3], Binormal[3]; // sums of unit directions
    kelvo_real32 SmoothTangent[3], SmoothBinormal[3];
};

struct triangle_frame {
    bool Valid;
    kelvo_real32 Sign;
    kelvo_real32 Tangent[3], Binormal[3];
};

struct vec3 {
    kelvo_real32 P[3];
};

struct work {
    triangle_frame *Frames;
    frame_cluster *Clusters;
    kelvo_int32 *Heads; // per vertex that triangles used before splitting
    kelvo_int32 ClusterCount;
    vec3 *Positions; // of those vertices
    kelvo_int32 *Sorted;
};

void Subtract(kelvo_real32 *Result, kelvo_real32 const *A, kelvo_real32 const *B) {
    for (int Axis = 0; Axis < 3; ++Axis) {
        Result[Axis] = A[Axis] - B[Axis];
    }
}

void AddTo(kelvo_real32 *Sum, kelvo_real32 const *Value) {
    for (int Axis = 0; Axis < 3; ++Axis) {
        Sum[Axis] += Value[Axis];
    }
}

kelvo_real32 CosineBetween(kelvo_real32 const *A, kelvo_real32 const *B) {
    kelvo_real32 Lengths = Length3(A) * Length3(B);
    return Lengths > Tiny ? Dot3(A, B) / Lengths : -1;
}

bool FramesAgree(kelvo_mesh_builder const *Builder, kelvo_real32 SignA, kelvo_real32 const *TA,
                 kelvo_real32 const *BA, kelvo_real32 SignB, kelvo_real32 const *TB,
                 kelvo_real32 const *BB) {
    return SignA == SignB && CosineBetween(TA, TB) > Builder->TangentMergingTolerance &&
           CosineBetween(BA, BB) > Builder->TangentMergingTolerance;
}

void ComputeTriangleFrame(kelvo_mesh_builder const *Builder, kelvo_int32 Triangle,
                          member_link const &UVLink, triangle_frame &Frame) {
    kelvo_int32 const *Vertices = Builder->Triangles[Triangle].Vertices;
    kelvo_real32 P[3][3], UV[3][2];
    for (int Corner = 0; Corner < 3; ++Corner) {
        GetVertexPosition(Builder, Vertices[Corner], P[Corner]);
        kelvo_real32 const *Values = CornerAt(Builder, Vertices[Corner]) + UVLink.StoredOffset;
        UV[Corner][0] = Values[0];
        UV[Corner][1] = UVLink.Width > 1 ? Values[1] : 0;
    }
    kelvo_real32 E1[3], E2[3];
    Subtract(E1, P[1], P[0]);
    Subtract(E2, P[2], P[0]);
    kelvo_real32 DU1 = UV[1][0] - UV[0][0], DV1 = UV[1][1] - UV[0][1];
    kelvo_real32 DU2 = UV[2][0] - UV[0][0], DV2 = UV[2][1] - UV[0][1];
    kelvo_real32 Det = DU1 * DV2 - DU2 * DV1;
    Frame.Valid = false;
    if (!(fabsf(Det) > Tiny)) {
        return;
    }
    for (int Axis = 0; Axis < 3; ++Axis) {
        Frame.Tangent[Axis] = (E1[Axis] * DV2 - E2[Axis] * DV1) / Det;
        Frame.Binormal[Axis] = (E2[Axis] * DU1 - E1[Axis] * DU2) / Det;
    }
    Frame.Sign = Det > 0 ? 1.0f : -1.0f;
    Frame.Valid = Normalize3(Frame.Tangent) > Tiny && Normalize3(Frame.Binormal) > Tiny;
}

// The cluster at Vertex that agrees with the frame; a new one (on Vertex
// itself first, else on a new copy of it) when none does. -1 when a copy
// cannot be made.
kelvo_int32 ClusterFor(kelvo_mesh_builder *Builder, work &Work, kelvo_int32 Vertex,
                       kelvo_int32 Triangle, triangle_frame const &Frame) {
    kelvo_int32 Last = -1;
    for (kelvo_int32 At = Work.Heads[Vertex]; At >= 0; At = Work.Clusters[At].Next) {
        frame_cluster const &C = Work.Clusters[At];
        if (FramesAgree(Builder, C.Sign, C.Tangent, C.Binormal, Frame.Sign, Frame.Tangent,
                        Frame.Binormal)) {
            return At;
        }
        Last = At;
    }
    kelvo_int32 Target = Vertex;
    if (Last >= 0) {
        Target = AppendRingCopy(Builder, Vertex, Vertex, Triangle);
        if (Target < 0) {
            return -1;
        }
    }
    kelvo_int32 Index = Work.ClusterCount++;
    frame_cluster &C = Work.Clusters[Index];
    memset(&C, 0, sizeof(C));
    C.Vertex = Target;
    C.Next = -1;
    C.Sign = Frame.Sign;
    if (Last >= 0) {
        Work.Clusters[Last].Next = Index;
    } else {
        Work.Heads[Vertex] = Index;
    }
    return Index;
}

void AddAgreeing(kelvo_mesh_builder const *Builder, work &Work, frame_cluster &C,
                 kelvo_int32 Other) {
    for (kelvo_int32 D = Work.Heads[Other]; D >= 0; D = Work.Clusters[D].Next) {
        frame_cluster const &O = Work.Clusters[D];
        if (FramesAgree(Builder, C.Sign, C.Tangent, C.Binormal, O.Sign, O.Tangent, O.Binormal)) {
            AddTo(C.SmoothTangent, O.Tangent);
            AddTo(C.SmoothBinormal, O.Binormal);
        }
    }
}

// Each cluster also takes the agreeing clusters of every other vertex at
// the same position (found through the vertices sorted by x), so frames stay
// smooth across seams of other channels.
void SmoothAcrossCoincident(kelvo_mesh_builder const *Builder, work &Work,
                            kelvo_int32 VertexCount) {
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        Work.Sorted[Vertex] = Vertex;
    }
    vec3 const *Positions = Work.Positions;
    std::sort(Work.Sorted, Work.Sorted + VertexCount, [Positions](kelvo_int32 A, kelvo_int32 B) {
        return Positions[A].P[0] < Positions[B].P[0];
    });
    for (kelvo_int32 At = 0; At < VertexCount; ++At) {
        kelvo_int32 const Vertex = Work.Sorted[At];
        kelvo_real32 const *P = Positions[Vertex].P;
        for (kelvo_int32 C = Work.Heads[Vertex]; C >= 0; C = Work.Clusters[C].Next) {
            frame_cluster &Cluster = Work.Clusters[C];
            memcpy(Cluster.SmoothTangent, Cluster.Tangent, sizeof(Cluster.Tangent));
            memcpy(Cluster.SmoothBinormal, Cluster.Binormal, sizeof(Cluster.Binormal));
            for (int Direction = -1; Direction <= 1; Direction += 2) {
                for (kelvo_int32 Near = At + Direction; Near >= 0 && Near < VertexCount;
                     Near += Direction) {
                    kelvo_real32 const *Q = Positions[Work.Sorted[Near]].P;
                    if (fabsf(Q[0] - P[0]) > CoincidenceTolerance) {
                        break;
                    }
                    if (fabsf(Q[0] - P[0]) + fabsf(Q[1] - P[1]) + fabsf(Q[2] - P[2]) <=
                        CoincidenceTolerance) {
                        AddAgreeing(Builder, Work, Cluster, Work.Sorted[Near]);
                    }
                }
            }
        }
    }
}

// Any unit vector perpendicular to N.
void Perpendicular(kelvo_real32 *Result, kelvo_real32 const *N) {
    kelvo_real32 const Axis[3] = {fabsf(N[0]) < 0.9f ? 1.0f : 0.0f,
                                  fabsf(N[0]) < 0.9f ? 0.0f : 1.0f, 0};
    kelvo_real32 Along = Dot3(Axis, N);
    for (int I = 0; I < 3; ++I) {
        Result[I] = Axis[I] - N[I] * Along;
    }
    Normalize3(Result);
}

void WriteFrame(kelvo_mesh_builder *Builder, kelvo_int32 Vertex, kelvo_real32 const *T,
                kelvo_real32 const *B, kelvo_real32 const *Cross) {
    SetCornerFrame(Builder, Vertex, T, B, Cross);
}

// Tangent made orthogonal to the normal, the binormal rebuilt from both in
// the order the handedness asks for; the cross is then Sign * Normal.
void FinishFrame(kelvo_mesh_builder *Builder, kelvo_int32 Vertex, kelvo_real32 Sign,
                 kelvo_real32 const *Tangent) {
    kelvo_real32 N[3], T[3], B[3], Cross[3];
    GetCornerVector(Builder, Vertex, NormalAt, N);
    if (!(Normalize3(N) > Tiny)) {
        kelvo_real32 const X[3] = {1, 0, 0}, Y[3] = {0, 1, 0}, Z[3] = {0, 0, 1};
        WriteFrame(Builder, Vertex, X, Y, Z);
        return;
    }
    kelvo_real32 Along = Dot3(Tangent, N);
    for (int Axis = 0; Axis < 3; ++Axis) {
        T[Axis] = Tangent[Axis] - N[Axis] * Along;
    }
    if (!(Normalize3(T) > Tiny)) {
        Perpendicular(T, N);
    }
    if (Sign > 0) {
        Cross3(B, N, T);
    } else {
        Cross3(B, T, N);
    }
    for (int Axis = 0; Axis < 3; ++Axis) {
        Cross[Axis] = Sign * N[Axis];
    }
    WriteFrame(Builder, Vertex, T, B, Cross);
}

bool AllocateWork(work &Work, kelvo_int32 TriangleCount, kelvo_int32 VertexCount, void *&Block) {
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, TriangleCount, &Work.Frames);
    AggrAllocArrayPtr(Aggr, 3 * (kelvo_int64)TriangleCount, &Work.Clusters);
    AggrAllocArrayPtr(Aggr, VertexCount, &Work.Heads);
    AggrAllocArrayPtr(Aggr, VertexCount, &Work.Positions);
    AggrAllocArrayPtr(Aggr, VertexCount, &Work.Sorted);
    Block = EndAggrAlloc(Aggr, KELVO_HERE);
    if (!Block) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): Unable to allocate the appropriate number of tangent frames", KELVO_HERE);
        return false;
    }
    Work.ClusterCount = 0;
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        Work.Heads[Vertex] = -1;
    }
    return true;
}

bool BuildFrames(kelvo_mesh_builder *Builder, work &Work) {
    member_link const *UVLink = FindChannel(Builder, "TextureCoordinates0");
    if (!UVLink || UVLink->StoredOffset < 0 || Builder->PositionLink.LayoutOffset < 0) {
        return false;
    }
    kelvo_int32 const VertexCount = KelvoGetResultingVertexCount(Builder);
    bool AnyFrame = false;
    for (kelvo_int32 Triangle = 0; Triangle < Builder->TriangleCount; ++Triangle) {
        triangle_frame &Frame = Work.Frames[Triangle];
        ComputeTriangleFrame(Builder, Triangle, *UVLink, Frame);
        if (!Frame.Valid) {
            continue;
        }
        AnyFrame = true;
        kelvo_int32 *Vertices = Builder->Triangles[Triangle].Vertices;
        for (int Corner = 0; Corner < 3; ++Corner) {
            kelvo_int32 Cluster = ClusterFor(Builder, Work, Vertices[Corner], Triangle, Frame);
            if (Cluster < 0) {
                return false;
            }
            frame_cluster &C = Work.Clusters[Cluster];
            AddTo(C.Tangent, Frame.Tangent);
            AddTo(C.Binormal, Frame.Binormal);
            Vertices[Corner] = C.Vertex;
        }
    }
    if (!AnyFrame) {
        return false;
    }
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        GetVertexPosition(Builder, Vertex, Work.Positions[Vertex].P);
    }
    SmoothAcrossCoincident(Builder, Work, VertexCount);
    kelvo_int32 const Total = KelvoGetResultingVertexCount(Builder);
    // Vertices no usable triangle reached get some frame around their normal.
    kelvo_real32 const None[3] = {0, 0, 0};
    for (kelvo_int32 Vertex = 0; Vertex < Total; ++Vertex) {
        FinishFrame(Builder, Vertex, 1.0f, None);
    }
    for (kelvo_int32 Cluster = 0; Cluster < Work.ClusterCount; ++Cluster) {
        frame_cluster const &C = Work.Clusters[Cluster];
        FinishFrame(Builder, C.Vertex, C.Sign, C.SmoothTangent);
    }
    return true;
}

} // namespace

KELVO_API void KelvoGenerateTangentSpaceFromUVs(kelvo_mesh_builder *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_TIMED_BLOCK("GenerateTangentSpaceFromUVs");
    kelvo_int32 const VertexCount = KelvoGetResultingVertexCount(Builder);
    kelvo_real32 const Zero[3] = {0, 0, 0};
    for (kelvo_int32 Vertex = 0; Vertex < VertexCount; ++Vertex) {
        WriteFrame(Builder, Vertex, Zero, Zero, Zero);
    }
    work Work;
    void *Block = nullptr;
    bool Built = AllocateWork(Work, Builder->TriangleCount, VertexCount, Block) &&
                 BuildFrames(Builder, Work);
    if (Block) {
        KELVO_DEALLOCATE(Block);
    }
    if (Built) {
        return;
    }
    Log(KelvoErrorLogMessage, Origin, "%s(%d): Failed to create the tangent space", KELVO_HERE);
    kelvo_real32 const X[3] = {1, 0, 0}, Y[3] = {0, 1, 0}, Z[3] = {0, 0, 1};
    kelvo_int32 const Total = KelvoGetResultingVertexCount(Builder);
    for (kelvo_int32 Vertex = 0; Vertex < Total; ++Vertex) {
        WriteFrame(Builder, Vertex, X, Y, Z);
    }
}
