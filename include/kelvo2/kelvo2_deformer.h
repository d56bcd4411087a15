/* kelvo2: mesh deformers and degree-of-freedom clipping.

   A deformer skins vertices of one stock layout into another: it blends the
   4x4 row-vector matrices of each vertex's bones (weights / 255, summed as
   they are, never renormalized), maps the position with the translation row
   and the normal, tangent and binormal with the upper 3x3 (no inverse
   transpose, no renormalization), and copies the words that follow the
   deformed members. KelvoNewMeshDeformer picks the first registered routine
   that fits the two layouts; SSE routines come first when the processor has
   SSE and need exact layouts and 16-byte aligned matrices (else they hand
   over to the portable routine). Setting the environment variable
   KELVO_NO_SSE before the first deformer is made keeps to portable routines.

   The matrix buffer is indexed by each vertex's BoneIndices (direct form) or
   through the caller's index array (indirect form, KelvoDeformVertices with
   indices): callers must give a buffer, and an index array, at least as long
   as the largest bone index of the vertices. Meshes from files are checked
   for that against their bone bindings when the file info is taken; meshes
   built by the caller must hold to it.

   Deformers keep no scratch of their own: any number of threads may deform
   through one deformer at once. */
#ifndef KELVO2_DEFORMER_H
#define KELVO2_DEFORMER_H

#include "kelvo2_data_type.h"
#include "kelvo2_transform.h"

typedef struct kelvo_mesh_deformer kelvo_mesh_deformer;

/* What a deformer transforms besides the position. */
typedef enum kelvo_deformation_type {
    KelvoDeformPositionNormal = 2,
    KelvoDeformPositionNormalTangent = 3,
    KelvoDeformPositionNormalTangentBinormal = 4
} kelvo_deformation_type;

/* Buffering type 1 lets an output tail shorter than the input tail be filled
   from the start of the input tail. */
typedef enum kelvo_deformer_buffering_type {
    KelvoDeformerDefaultBuffering = 0,
    KelvoDeformerPartialTailBuffering = 1
} kelvo_deformer_buffering_type;

/* Routines: vertex count, input vertices, output vertices, [matrix indices],
   matrix buffer (16 reals each), tail count (32-bit words), input stride,
   output stride. */
typedef void KELVO_CALLBACK kelvo_direct_deformer(kelvo_int32 Count, void const *SourceVertices,
                                                  void *DestVertices,
                                                  kelvo_real32 const *MatrixBuffer4x4,
                                                  kelvo_int32 TailCount, kelvo_int32 SourceStride,
                                                  kelvo_int32 DestStride);
typedef void KELVO_CALLBACK kelvo_indirect_deformer(kelvo_int32 Count, void const *SourceVertices,
                                                    void *DestVertices,
                                                    kelvo_int32 const *MatrixIndices,
                                                    kelvo_real32 const *MatrixBuffer4x4,
                                                    kelvo_int32 TailCount, kelvo_int32 SourceStride,
                                                    kelvo_int32 DestStride);

KELVO_API kelvo_mesh_deformer *
KelvoNewMeshDeformer(kelvo_data_type_definition const *InputVertexLayout,
                     kelvo_data_type_definition const *OutputVertexLayout,
                     kelvo_int32 DeformationType, kelvo_int32 BufferingType);
KELVO_API void KelvoFreeMeshDeformer(kelvo_mesh_deformer *Deformer);
KELVO_API void KelvoDeformVertices(kelvo_mesh_deformer const *Deformer,
                                   kelvo_int32 const *MatrixIndices,
                                   kelvo_real32 const *MatrixBuffer4x4, kelvo_int32 VertexCount,
                                   void const *SourceVertices, void *DestVertices);

/* Allowed degrees of freedom. */
typedef enum kelvo_dof_flags {
    KelvoXTranslation = 0x1,
    KelvoYTranslation = 0x2,
    KelvoZTranslation = 0x4,
    KelvoXRotation = 0x8,
    KelvoYRotation = 0x10,
    KelvoZRotation = 0x20,
    KelvoXScaleShear = 0x40,
    KelvoYScaleShear = 0x80,
    KelvoZScaleShear = 0x100,
    KelvoAllDOFs = 0x1FF
} kelvo_dof_flags;

/* Each returns false, with the value zeroed (or the identity orientation),
   when none of its degrees of freedom is allowed. */
KELVO_API kelvo_bool32 KelvoClipPositionDOFs(kelvo_real32 Vector[3], kelvo_uint32 AllowedDOFs);
KELVO_API kelvo_bool32 KelvoClipAngularVelocityDOFs(kelvo_real32 Vector[3],
                                                    kelvo_uint32 AllowedDOFs);
KELVO_API kelvo_bool32 KelvoClipOrientationDOFs(kelvo_real32 Orientation[4],
                                                kelvo_uint32 AllowedDOFs);
KELVO_API void KelvoClipTransformDOFs(kelvo_transform *Transform, kelvo_uint32 AllowedDOFs);

#endif
