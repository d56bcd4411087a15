/* kelvo2: mesh bindings.

   A binding resolves a mesh's bone binding names once against a skeleton
   (the "to" skeleton, whose world pose is used) and, when transferred,
   against the skeleton the mesh was modelled on (the "from" skeleton, whose
   inverse world transforms are used). A name missing from a skeleton binds
   its slot to bone 0, silently. Slot matrices are IW x W for row vectors: a
   rest-space vertex v maps to v.IW.W, ready for the direct deformers. */
#ifndef KELVO2_MESH_BINDING_H
#define KELVO2_MESH_BINDING_H

#include "kelvo2_file_info.h"
#include "kelvo2_world_pose.h"

typedef struct kelvo_mesh_binding kelvo_mesh_binding;

KELVO_API kelvo_int32 KelvoGetResultingMeshBindingSize(kelvo_mesh const *Mesh,
                                                       kelvo_skeleton const *FromSkeleton,
                                                       kelvo_skeleton const *ToSkeleton);
KELVO_API kelvo_mesh_binding *KelvoNewMeshBindingInPlace(kelvo_mesh const *Mesh,
                                                         kelvo_skeleton const *FromSkeleton,
                                                         kelvo_skeleton const *ToSkeleton,
                                                         void *Memory);
KELVO_API kelvo_mesh_binding *KelvoNewMeshBinding(kelvo_mesh const *Mesh,
                                                  kelvo_skeleton const *FromSkeleton,
                                                  kelvo_skeleton const *ToSkeleton);
KELVO_API void KelvoFreeMeshBinding(kelvo_mesh_binding *Binding);

KELVO_API kelvo_bool32 KelvoMeshBindingIsTransferred(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_int32 KelvoGetMeshBindingBoneCount(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_mesh const *KelvoGetMeshBindingSourceMesh(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_skeleton const *KelvoGetMeshBindingFromSkeleton(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_skeleton const *KelvoGetMeshBindingToSkeleton(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_int32 const *KelvoGetMeshBindingFromBoneIndices(kelvo_mesh_binding const *Binding);
KELVO_API kelvo_int32 const *KelvoGetMeshBindingToBoneIndices(kelvo_mesh_binding const *Binding);

/* BoneCount x 64 bytes. */
KELVO_API kelvo_int32 KelvoGetMeshBinding4x4ArraySize(kelvo_mesh_binding const *Binding,
                                                      kelvo_int32 BoneCount);
/* One matrix per slot FirstBoneIndex .. FirstBoneIndex + BoneCount - 1; a to-bone the world
   pose does not hold gets its inverse world transform alone (reported). */
KELVO_API void KelvoBuildMeshBinding4x4Array(kelvo_mesh_binding const *Binding,
                                             kelvo_world_pose const *WorldPose,
                                             kelvo_int32 FirstBoneIndex, kelvo_int32 BoneCount,
                                             kelvo_real32 *Matrix4x4Array);

/* ---- level-of-detail errors measured on a mesh ------------------------------------ */

struct kelvo_animation_binding;
struct kelvo_model_instance;
typedef struct kelvo_animation_lod_calculation kelvo_animation_lod_calculation;

/* Each bound track's LODError: the farthest any corner of the bounding box
   of a mesh bone at or below it moves, over every frame, when the track is
   held at its LODTransform, times ErrorScale. The mesh binding must be
   bound to the binding's skeleton. */
KELVO_API void KelvoCalculateLODErrorValues(struct kelvo_animation_binding *Binding,
                                            kelvo_mesh_binding const *MeshBinding, void *Unused,
                                            kelvo_real32 ErrorScale);
KELVO_API void KelvoCalculateLODErrorValuesAllBindings(struct kelvo_model_instance *ModelInstance,
                                                       kelvo_mesh_binding const *MeshBinding,
                                                       void *Unused, kelvo_real32 ErrorScale);
/* The track groups' errors over several meshes: Begin marks every error as
   not computed (making the arrays a group lacks), each mesh raises them to
   its measure times Scale x Tolerance, End sets those never measured to
   "never reduced", Cleanup frees what Begin made and the record. */
KELVO_API kelvo_animation_lod_calculation *KelvoCalculateAnimationLODBegin(kelvo_animation *Animation,
                                                                          kelvo_real32 Scale);
KELVO_API void KelvoCalculateAnimationLODAddMeshBinding(kelvo_animation_lod_calculation *Calculation,
                                                        kelvo_model const *Model,
                                                        kelvo_mesh_binding const *MeshBinding,
                                                        kelvo_real32 Tolerance);
KELVO_API void KelvoCalculateAnimationLODEnd(kelvo_animation_lod_calculation *Calculation);
KELVO_API void KelvoCalculateAnimationLODCleanup(kelvo_animation_lod_calculation *Calculation);

#endif
