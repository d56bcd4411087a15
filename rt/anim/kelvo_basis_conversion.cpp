// Basis conversion: moving a file's content from the basis its art tool
// recorded into the one the application wants, in place. It sits with the
// animation runtime because it changes track groups as well as meshes and
// skeletons. One walk serves every export: it notes each object it changed,
// so an object reached along several paths (a vertex data shared by meshes,
// a topology whose winding is reversed, a curve shared by tracks) changes
// once. Trees from files have been checked when they were loaded.
#include "kelvo2/kelvo2_basis_conversion.h"
#include "kelvo2/kelvo2_mesh.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "kelvo2/kelvo2_track_group.h"

#include "anim/kelvo_track_internal.h"
#include "asset/kelvo_annotation_curves.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"

#include <math.h>
#include <string.h>

namespace {

using kelvo::FirstVisit;

constexpr kelvo_log_message_origin Origin = KelvoMathLogMessage;

struct basis_change {
    kelvo_real32 const *Affine;
    kelvo_real32 const *Linear;
    kelvo_real32 const *InverseLinear;
    kelvo_real32 Tolerance;
    kelvo_int32 Flags;
    kelvo_pointer_hash *Done;
};

// Visit on each element of an array that may be null.
template <typename Element, typename Visitor>
void ForEach(Element *Array, kelvo_int32 Count, Visitor Visit) {
    for (kelvo_int32 Index = 0; Array && Index < Count; ++Index) {
        Visit(Array[Index]);
    }
}

// The same over an array of references from a file, whose 8-byte pointers
// may sit at 4-byte alignment (the slot types' alignment does not survive
// template deduction, so each is copied out).
template <typename Slot, typename Visitor>
void ForEachReference(Slot const *Slots, kelvo_int32 Count, Visitor Visit) {
    for (kelvo_int32 Index = 0; Slots && Index < Count; ++Index) {
        Slot Object;
        memcpy(&Object, reinterpret_cast<char const *>(Slots) + Index * sizeof(Slot), sizeof(Slot));
        Visit(Object);
    }
}
// The same, skipping empty slots.
template <typename Slot, typename Visitor>
void ForEachPresent(Slot const *Slots, kelvo_int32 Count, Visitor Visit) {
    ForEachReference(Slots, Count, [&](Slot Object) {
        if (Object) {
            Visit(Object);
        }
    });
}

// ---- vertex data and its morph curves --------------------------------------------

// Rows scaled to unit length; a row shorter than 0.00001 becomes zero.
void NormalizeRows(kelvo_real32 *Matrix) {
    for (int Row = 0; Row < 3; ++Row) {
        kelvo_real32 *R = Matrix + 3 * Row;
        kelvo_real32 Length = kelvo::Length3(R);
        kelvo_real32 Scale = Length < 0.00001f ? 0.0f : 1.0f / Length;
        R[0] *= Scale;
        R[1] *= Scale;
        R[2] *= Scale;
    }
}

enum morph_curve_kind { NotMorphCurves, Positions, Normals, Tangents };

morph_curve_kind MorphCurveKind(char const *Name) {
    struct {
        char const *Name;
        morph_curve_kind Kind;
    } const Sets[] = {{"VertexMorphCurvePosition", Positions},
                      {"VertexMorphCurveNormal", Normals},
                      {"VertexMorphCurveTangentBinormalCross", Normals},
                      {"VertexMorphCurveTangent", Tangents},
                      {"VertexMorphCurveBinormal", Tangents}};
    for (auto const &Set : Sets) {
        if (Name && strcmp(Name, Set.Name) == 0) {
            return Set.Kind;
        }
    }
    return NotMorphCurves;
}

// Positions move with the whole change; normals by the inverse transpose,
// tangents by the linear part, both without the offset.
void TransformMorphCurves(basis_change const &Change, kelvo_vertex_annotation_set const &Set) {
    morph_curve_kind Kind = MorphCurveKind(Set.Name);
    if (Kind == NotMorphCurves) {
        return;
    }
    kelvo_real32 Direction[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            Direction[3 * Row + Column] = Kind == Normals ? Change.InverseLinear[3 * Column + Row]
                                                          : Change.Linear[3 * Row + Column];
        }
    }
    if (Change.Flags & KelvoBasisRenormalize) {
        NormalizeRows(Direction);
    }
    static kelvo_real32 const NoOffset[3] = {};
    kelvo::ForEachAnnotationCurve(Set, [&](kelvo_curve2 *Curve) {
        if (kelvo::TrackCurveIsIdentity(Curve) ||
            !FirstVisit(Change.Done, Curve->CurveData.Object)) {
            return;
        }
        if (Kind == Positions) {
            KelvoSimilarityTransformCurvePosition(Change.Affine, Change.Linear,
                                                  Change.InverseLinear, Change.Tolerance, Curve);
        } else {
            KelvoTransformCurveVec3(NoOffset, Direction, Change.InverseLinear, Change.Tolerance,
                                    Curve);
        }
    });
}

void TransformVertexData(basis_change const &Change, kelvo_vertex_data *VertexData) {
    if (!VertexData || !FirstVisit(Change.Done, VertexData)) {
        return;
    }
    if (VertexData->Vertices && VertexData->VertexType) {
        KelvoTransformVertices(VertexData->VertexCount, VertexData->VertexType,
                               VertexData->Vertices, Change.Affine, Change.Linear,
                               Change.InverseLinear, (Change.Flags & KelvoBasisRenormalize) != 0);
    }
    ForEach(VertexData->VertexAnnotationSets, VertexData->VertexAnnotationSetCount,
            [&](kelvo_vertex_annotation_set const &Set) { TransformMorphCurves(Change, Set); });
}

// ---- meshes, skeletons, models and animations ------------------------------------

void TransformMesh(basis_change const &Change, kelvo_mesh *Mesh) {
    if (!Mesh || !FirstVisit(Change.Done, Mesh)) {
        return;
    }
    TransformVertexData(Change, Mesh->PrimaryVertexData);
    ForEach(Mesh->MorphTargets, Mesh->MorphTargetCount,
            [&](kelvo_morph_target &Target) { TransformVertexData(Change, Target.VertexData); });
    kelvo_tri_topology *Topology = Mesh->PrimaryTopology;
    if ((Change.Flags & KelvoBasisReverseWinding) && Topology &&
        kelvo::MatrixDeterminant3x3(Change.Linear) < 0 && FirstVisit(Change.Done, Topology)) {
        KelvoInvertTriTopologyWinding(Topology);
    }
    ForEach(Mesh->BoneBindings, Mesh->BoneBindingCount, [&](kelvo_bone_binding &Binding) {
        KelvoTransformBoundingBox(Change.Affine, Change.Linear, Binding.OBBMin, Binding.OBBMax);
    });
}

void TransformSkeleton(basis_change const &Change, kelvo_skeleton *Skeleton) {
    if (!Skeleton || !FirstVisit(Change.Done, Skeleton)) {
        return;
    }
    ForEach(Skeleton->Bones, Skeleton->BoneCount, [&](kelvo_bone &Bone) {
        KelvoSimilarityTransform(&Bone.Transform, Change.Affine, Change.Linear,
                                 Change.InverseLinear);
        KelvoInPlaceSimilarityTransform4x3(Change.Affine, Change.Linear, Change.InverseLinear,
                                           Bone.InverseWorldTransform);
    });
}

void TransformTrackGroup(basis_change const &Change, kelvo_track_group *TrackGroup) {
    if (TrackGroup && FirstVisit(Change.Done, TrackGroup)) {
        kelvo::SimilarityTransformTrackGroup(TrackGroup, Change.Affine, Change.Linear,
                                             Change.InverseLinear, Change.Tolerance, Change.Done);
    }
}

void TransformAnimation(basis_change const &Change, kelvo_animation *Animation) {
    if (Animation) {
        ForEachReference(Animation->TrackGroups, Animation->TrackGroupCount,
                         [&](kelvo_track_group *Group) { TransformTrackGroup(Change, Group); });
    }
}

// The placement is the model's own: it changes once however often the
// model is reached.
void TransformModel(basis_change const &Change, kelvo_model *Model) {
    if (!Model || !FirstVisit(Change.Done, Model)) {
        return;
    }
    ForEach(Model->MeshBindings, Model->MeshBindingCount,
            [&](kelvo_model_mesh_binding &Binding) { TransformMesh(Change, Binding.Mesh); });
    TransformSkeleton(Change, Model->Skeleton);
    KelvoSimilarityTransform(&Model->InitialPlacement, Change.Affine, Change.Linear,
                             Change.InverseLinear);
}

// Every export runs its walk inside one of these, which owns the notes.
template <typename Walk>
kelvo_bool32 RunChange(kelvo_real32 const *Affine, kelvo_real32 const *Linear,
                       kelvo_real32 const *InverseLinear, kelvo_real32 LinearTolerance,
                       kelvo_int32 Flags, Walk TheWalk) {
    basis_change Change = {Affine,          Linear, InverseLinear,
                           LinearTolerance, Flags,  KelvoNewPointerHash()};
    KELVO_REFUSE_UNLESS(Change.Done, Origin, false,
                        "%s(%d): Out of memory for a change of basis - nothing was changed",
                        KELVO_HERE);
    TheWalk(Change);
    KelvoDeletePointerHash(Change.Done);
    return true;
}

bool IsPositiveFinite(kelvo_real32 Value) {
    return Value > 0 && isfinite(Value);
}

} // namespace

KELVO_API kelvo_bool32
KelvoComputeBasisConversion(kelvo_file_info const *FileInfo, kelvo_real32 DesiredUnitsPerMeter,
                            kelvo_real32 const DesiredOrigin[3], kelvo_real32 const DesiredRight[3],
                            kelvo_real32 const DesiredUp[3], kelvo_real32 const DesiredBack[3],
                            kelvo_real32 ResultAffine[3], kelvo_real32 ResultLinear[9],
                            kelvo_real32 ResultInverseLinear[9]) {
    KELVO_CHECK_NOT_NULL(FileInfo, Origin, false);
    kelvo_art_tool_info const *Tool = FileInfo->ArtToolInfo;
    KELVO_REFUSE_UNLESS(Tool, Origin, false, "%s(%d): FileInfo.ArtToolInfo is not allowed to be 0",
                        KELVO_HERE);
    KELVO_REFUSE_UNLESS(
        IsPositiveFinite(Tool->UnitsPerMeter) && IsPositiveFinite(DesiredUnitsPerMeter), Origin,
        false, "%s(%d): Units per meter must be positive (the file has %f, %f is wanted)",
        KELVO_HERE, (double)Tool->UnitsPerMeter, (double)DesiredUnitsPerMeter);
    // Linear = D.S^T, D and S having the basis vectors as columns.
    kelvo_real32 const *Desired[3] = {DesiredRight, DesiredUp, DesiredBack};
    kelvo_real32 const *Stored[3] = {Tool->RightVector, Tool->UpVector, Tool->BackVector};
    kelvo_real32 Scale = DesiredUnitsPerMeter / Tool->UnitsPerMeter;
    kelvo_real32 Linear[9], Inverse[9];
    for (int Row = 0; Row < 3; ++Row) {
        for (int Column = 0; Column < 3; ++Column) {
            kelvo_real32 Sum = 0;
            for (int Axis = 0; Axis < 3; ++Axis) {
                Sum += Desired[Axis][Row] * Stored[Axis][Column];
            }
            Linear[3 * Row + Column] = Sum * Scale;
        }
    }
    KELVO_REFUSE_UNLESS(kelvo::MatrixInvert3x3(Inverse, Linear), Origin, false,
                        "%s(%d): The change of basis is singular (are the basis vectors of the "
                        "file and the desired ones independent?)",
                        KELVO_HERE);
    // The file's origin lands on the desired one: p -> Linear.(p - Origin) + DesiredOrigin.
    kelvo_real32 Moved[3];
    kelvo::VectorTransform3x3(Moved, Linear, Tool->Origin);
    for (int Axis = 0; Axis < 3; ++Axis) {
        ResultAffine[Axis] = DesiredOrigin[Axis] - Moved[Axis];
    }
    memcpy(ResultLinear, Linear, sizeof(Linear));
    memcpy(ResultInverseLinear, Inverse, sizeof(Inverse));
    return true;
}

// A file info list's slots sit at 4-byte alignment; they travel as bytes.
template <typename record>
void WalkListed(basis_change const &Change, void const *Slots, kelvo_int32 Count,
                void (*Walk)(basis_change const &, record *)) {
    ForEachReference(static_cast<record *const *>(Slots), Count,
                     [&](record *Object) { Walk(Change, Object); });
}

KELVO_API kelvo_bool32 KelvoTransformFile(kelvo_file_info *FileInfo, kelvo_real32 const Affine[3],
                                          kelvo_real32 const Linear[9],
                                          kelvo_real32 const InverseLinear[9], kelvo_real32,
                                          kelvo_real32 LinearTolerance, kelvo_int32 Flags) {
    KELVO_CHECK_NOT_NULL(FileInfo, Origin, false);
    kelvo_file_info &Info = *FileInfo;
    return RunChange(Affine, Linear, InverseLinear, LinearTolerance, Flags,
                     [&Info](basis_change const &Change) {
                         auto Each = [&](void const *Array, kelvo_int32 Count, auto Walk) {
                             WalkListed(Change, Array, Count, Walk);
                         };
                         Each(Info.Skeletons, Info.SkeletonCount, TransformSkeleton);
                         Each(Info.Meshes, Info.MeshCount, TransformMesh);
                         Each(Info.Models, Info.ModelCount, TransformModel);
                         Each(Info.Animations, Info.AnimationCount, TransformAnimation);
                         // What the file lists but nothing above reached is in its basis too.
                         Each(Info.VertexDatas, Info.VertexDataCount, TransformVertexData);
                         Each(Info.TrackGroups, Info.TrackGroupCount, TransformTrackGroup);
                     });
}

// The exports over one object differ only in the walk they start.
#define KELVO_BASIS_TRANSFORM(Name, Type, Argument, Walk)                                          \
    KELVO_API kelvo_bool32 Name(Type *Argument, kelvo_real32 const Affine[3],                      \
                                kelvo_real32 const Linear[9], kelvo_real32 const InverseLinear[9], \
                                kelvo_real32, kelvo_real32 LinearTolerance, kelvo_int32 Flags) {   \
        KELVO_CHECK_NOT_NULL(Argument, Origin, false);                                             \
        return RunChange(Affine, Linear, InverseLinear, LinearTolerance, Flags,                    \
                         [Argument](basis_change const &Change) { Walk(Change, Argument); });      \
    }
KELVO_BASIS_TRANSFORM(KelvoTransformModel, kelvo_model, Model, TransformModel)
KELVO_BASIS_TRANSFORM(KelvoTransformSkeleton, kelvo_skeleton, Skeleton, TransformSkeleton)
KELVO_BASIS_TRANSFORM(KelvoTransformMesh, kelvo_mesh, Mesh, TransformMesh)
KELVO_BASIS_TRANSFORM(KelvoTransformAnimation, kelvo_animation, Animation, TransformAnimation)
#undef KELVO_BASIS_TRANSFORM

KELVO_API void KelvoResortAllAnimationTrackGroups(kelvo_animation *Animation) {
    KELVO_CHECK_NOT_NULL(Animation, Origin, KELVO_NOTHING);
    ForEachPresent(Animation->TrackGroups, Animation->TrackGroupCount, KelvoResortTrackGroup);
}

KELVO_API void KelvoResortAllFileTrackGroups(kelvo_file_info *FileInfo) {
    KELVO_CHECK_NOT_NULL(FileInfo, Origin, KELVO_NOTHING);
    ForEachPresent(FileInfo->Animations, FileInfo->AnimationCount,
                   KelvoResortAllAnimationTrackGroups);
}
