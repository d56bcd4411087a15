/* kelvo2: moving a file's content into another coordinate basis and unit.

   A change is three arrays: Affine[3], Linear[9] (row-major, acting on
   columns) and InverseLinear[9]; a point p becomes Linear.p + Affine.
   Transforms, matrices, vertices, boxes and curves change together through
   the similarity transforms of kelvo2_transform.h, in place. Within one
   call an object reachable along several paths (a vertex data shared by two
   meshes, a topology, a curve shared by tracks) changes once. The
   tolerances are those of the track-group transform; the affine one is
   unused. The Transform calls return false, reported, and change nothing
   when memory for that bookkeeping cannot be had; memory running out
   midway is reported, and a shared object may then change twice. */
#ifndef KELVO2_BASIS_CONVERSION_H
#define KELVO2_BASIS_CONVERSION_H

#include "kelvo2_file_info.h"
#include "kelvo2_types.h"

/* Flags of the Transform calls. */
enum kelvo_transform_file_flags {
    KelvoBasisRenormalize = 0x1,   /* direction vectors back to unit length */
    KelvoBasisReverseWinding = 0x2 /* reverse winding when Linear mirrors */
};

/* The change from the basis of FileInfo's art tool info (its units per
   meter, origin and right, up and back vectors) into the desired one. False,
   reported, with nothing written, when there is no art tool info, a units
   per meter is not a positive finite number, or the change is singular. */
KELVO_API kelvo_bool32
KelvoComputeBasisConversion(kelvo_file_info const *FileInfo, kelvo_real32 DesiredUnitsPerMeter,
                            kelvo_real32 const DesiredOrigin[3], kelvo_real32 const DesiredRight[3],
                            kelvo_real32 const DesiredUp[3], kelvo_real32 const DesiredBack[3],
                            kelvo_real32 ResultAffine[3], kelvo_real32 ResultLinear[9],
                            kelvo_real32 ResultInverseLinear[9]);

/* Every skeleton, mesh, model placement and animation of the file, and the
   vertex datas and track groups of its own lists that none of those reach. */
KELVO_API kelvo_bool32 KelvoTransformFile(kelvo_file_info *FileInfo, kelvo_real32 const Affine[3],
                                          kelvo_real32 const Linear[9],
                                          kelvo_real32 const InverseLinear[9],
                                          kelvo_real32 AffineTolerance,
                                          kelvo_real32 LinearTolerance, kelvo_int32 Flags);
/* The skeleton, each bound mesh and the initial placement. */
KELVO_API kelvo_bool32 KelvoTransformModel(kelvo_model *Model, kelvo_real32 const Affine[3],
                                           kelvo_real32 const Linear[9],
                                           kelvo_real32 const InverseLinear[9],
                                           kelvo_real32 AffineTolerance,
                                           kelvo_real32 LinearTolerance, kelvo_int32 Flags);
/* Every bone's transform and inverse world transform. */
KELVO_API kelvo_bool32 KelvoTransformSkeleton(kelvo_skeleton *Skeleton,
                                              kelvo_real32 const Affine[3],
                                              kelvo_real32 const Linear[9],
                                              kelvo_real32 const InverseLinear[9],
                                              kelvo_real32 AffineTolerance,
                                              kelvo_real32 LinearTolerance, kelvo_int32 Flags);
/* The primary vertices with their morph-curve annotation sets, every morph
   target's vertices, the bone bindings' boxes and, under
   KelvoBasisReverseWinding, the winding of the primary topology. */
KELVO_API kelvo_bool32 KelvoTransformMesh(kelvo_mesh *Mesh, kelvo_real32 const Affine[3],
                                          kelvo_real32 const Linear[9],
                                          kelvo_real32 const InverseLinear[9],
                                          kelvo_real32 AffineTolerance,
                                          kelvo_real32 LinearTolerance, kelvo_int32 Flags);
/* Every track group of the animation. */
KELVO_API kelvo_bool32 KelvoTransformAnimation(kelvo_animation *Animation,
                                               kelvo_real32 const Affine[3],
                                               kelvo_real32 const Linear[9],
                                               kelvo_real32 const InverseLinear[9],
                                               kelvo_real32 AffineTolerance,
                                               kelvo_real32 LinearTolerance, kelvo_int32 Flags);

/* KelvoResortTrackGroup on each track group of the animation, or of every
   animation of the file. */
KELVO_API void KelvoResortAllAnimationTrackGroups(kelvo_animation *Animation);
KELVO_API void KelvoResortAllFileTrackGroups(kelvo_file_info *FileInfo);

#endif
