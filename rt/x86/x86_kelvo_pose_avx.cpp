// The world-pose kernels (x86_kelvo_pose_kernels.h) compiled for AVX: the
// same 128-bit operations as the SSE2 build, with the broadcast factors
// loaded rather than shuffled. Builds that hold scalars at extended
// precision leave it empty (their kernels call shared scalar code, which
// must not be compiled for AVX here). Nothing but AVXPoseRoutines may leave
// this file: code the linker could share with other modules would run AVX
// instructions on processors without it (a CTest check reads the object).
#include "anim/kelvo_pose.h"

#include <cfloat>

#if (defined(__x86_64__) || defined(__i386__)) && FLT_EVAL_METHOD == 0

#include "x86/x86_kelvo_pose_kernels.h"

namespace kelvo {

pose_routines const AVXPoseRoutines = {&BuildWorldBones<sse_kernels>, &MultiplyEach<sse_kernels>};

} // namespace kelvo

#else

namespace kelvo {

// Empty: AVXPosesEnabled() is false.
pose_routines const AVXPoseRoutines = {};

} // namespace kelvo

#endif
