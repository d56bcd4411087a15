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

#endif
