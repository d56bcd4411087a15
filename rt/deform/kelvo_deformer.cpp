// Deformers: the routine registry, choosing a routine for two layouts, the
// portable routines, and degree-of-freedom clipping.
#include "deform/kelvo_deformer.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_file_info.h"
#include "kelvo2/kelvo2_model_instance.h"

#include <stdlib.h>
#include <string.h>

namespace kelvo {
namespace {

constexpr kelvo_log_message_origin Origin = KelvoDeformerLogMessage;

// Timing block names, direct then indirect, by routine number.
constexpr char const *PortableNames[DeformRoutineCount][2] = {
    {"DeformPWN313D", "DeformPWN313I"},
    {"GeneratedDeformPWNG3133D", "GeneratedDeformPWNG3133I"},
    {"DeformPWNGB31333D", "DeformPWNGB31333I"},
    {"GeneratedDeformPWN323D", "GeneratedDeformPWN323I"},
    {"GeneratedDeformPWNG3233D", "GeneratedDeformPWNG3233I"},
    {"GeneratedDeformPWNGB32333D", "GeneratedDeformPWNGB32333I"},
    {"GeneratedDeformPWN343D", "GeneratedDeformPWN343I"},
    {"GeneratedDeformPWNG3433D", "GeneratedDeformPWNG3433I"},
    {"GeneratedDeformPWNGB34333D", "GeneratedDeformPWNGB34333I"},
    {"DeformPN33D", "DeformPN33I"},
    {"GeneratedDeformPNG333D", "GeneratedDeformPNG333I"},
    {"DeformPNGB3333D", "DeformPNGB3333I"}};

template <int Routine>
void KELVO_CALLBACK PortableDirect(kelvo_int32 Count, void const *Source, void *Dest,
                                   kelvo_real32 const *Matrices, kelvo_int32 TailCount,
                                   kelvo_int32 SourceStride, kelvo_int32 DestStride) {
    KELVO_TIMED_BLOCK(PortableNames[Routine][0]);
    DeformPortable<BonesOfRoutine(Routine), VectorsOfRoutine(Routine)>(
        Count, Source, Dest, nullptr, Matrices, TailCount, SourceStride, DestStride);
}

template <int Routine>
void KELVO_CALLBACK PortableIndirect(kelvo_int32 Count, void const *Source, void *Dest,
                                     kelvo_int32 const *Indices, kelvo_real32 const *Matrices,
                                     kelvo_int32 TailCount, kelvo_int32 SourceStride,
                                     kelvo_int32 DestStride) {
    KELVO_TIMED_BLOCK(PortableNames[Routine][1]);
    DeformPortable<BonesOfRoutine(Routine), VectorsOfRoutine(Routine)>(
        Count, Source, Dest, Indices, Matrices, TailCount, SourceStride, DestStride);
}

template <int... Routines> struct portable_table {
    static constexpr kelvo_direct_deformer *Direct[] = {&PortableDirect<Routines>...};
    static constexpr kelvo_indirect_deformer *Indirect[] = {&PortableIndirect<Routines>...};
};
using portable = portable_table<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11>;

// Layouts by routine number: the portable ones, then those of the SSE
// routines, which carry two texture coordinates after the deformed members.
struct layout_pair {
    kelvo_data_type_definition const *const *Input;
    kelvo_data_type_definition const *const *Output;
};
layout_pair const PortableLayouts[DeformRoutineCount] = {
    {&KelvoPWN313VertexType, &KelvoPN33VertexType},
    {&KelvoPWNG3133VertexType, &KelvoPNG333VertexType},
    {&KelvoPWNGB31333VertexType, &KelvoPNGB3333VertexType},
    {&KelvoPWN323VertexType, &KelvoPN33VertexType},
    {&KelvoPWNG3233VertexType, &KelvoPNG333VertexType},
    {&KelvoPWNGB32333VertexType, &KelvoPNGB3333VertexType},
    {&KelvoPWN343VertexType, &KelvoPN33VertexType},
    {&KelvoPWNG3433VertexType, &KelvoPNG333VertexType},
    {&KelvoPWNGB34333VertexType, &KelvoPNGB3333VertexType},
    {&KelvoPN33VertexType, &KelvoPN33VertexType},
    {&KelvoPNG333VertexType, &KelvoPNG333VertexType},
    {&KelvoPNGB3333VertexType, &KelvoPNGB3333VertexType}};
layout_pair const SseLayouts[DeformRoutineCount] = {
    {&KelvoPWNT3132VertexType, &KelvoPNT332VertexType},
    {&KelvoPWNGT31332VertexType, &KelvoPNGT3332VertexType},
    {&KelvoPWNGBT313332VertexType, &KelvoPNGBT33332VertexType},
    {&KelvoPWNT3232VertexType, &KelvoPNT332VertexType},
    {&KelvoPWNGT32332VertexType, &KelvoPNGT3332VertexType},
    {&KelvoPWNGBT323332VertexType, &KelvoPNGBT33332VertexType},
    {&KelvoPWNT3432VertexType, &KelvoPNT332VertexType},
    {&KelvoPWNGT34332VertexType, &KelvoPNGT3332VertexType},
    {&KelvoPWNGBT343332VertexType, &KelvoPNGBT33332VertexType},
    {&KelvoPNT332VertexType, &KelvoPNT332VertexType},
    {&KelvoPNGT3332VertexType, &KelvoPNGT3332VertexType},
    {&KelvoPNGBT33332VertexType, &KelvoPNGBT33332VertexType}};

struct registry {
    kelvo_deformer_entry Entries[2 * DeformRoutineCount];
    kelvo_int32 Count;

    void Fill(bool WithSse) {
        Count = 0;
        if (WithSse) {
            for (int Routine = 0; Routine < DeformRoutineCount; ++Routine) {
                Add(Routine, SseDirectDeformer(Routine), SseIndirectDeformer(Routine),
                    SseLayouts[Routine], 0);
            }
        }
        for (int Routine = 0; Routine < DeformRoutineCount; ++Routine) {
            Add(Routine, portable::Direct[Routine], portable::Indirect[Routine],
                PortableLayouts[Routine], 1);
        }
    }
    void Add(int Routine, kelvo_direct_deformer *Direct, kelvo_indirect_deformer *Indirect,
             layout_pair Layouts, kelvo_uint8 Flags) {
        if (Direct && Indirect) {
            Entries[Count++] = {VectorsOfRoutine(Routine) + 1,
                                Direct,
                                Indirect,
                                *Layouts.Input,
                                *Layouts.Output,
                                Flags,
                                Flags};
        }
    }
};

bool SseWanted() {
    return ProcessorHasSse() && !getenv("KELVO_NO_SSE");
}

registry &Registry() {
    static registry Instance = [] {
        registry Filled;
        Filled.Fill(SseWanted());
        return Filled;
    }();
    return Instance;
}

// How an entry fits two layouts: the tail count, or -1 when it does not.
kelvo_int32 TailCountFor(kelvo_deformer_entry const &Entry, kelvo_data_type_definition const *Input,
                         kelvo_data_type_definition const *Output, kelvo_int32 BufferingType) {
    if (!Entry.TailCopy) {
        bool Exact = KelvoDataTypesAreEqual(Input, Entry.InputLayout) &&
                     KelvoDataTypesAreEqual(Output, Entry.OutputLayout);
        return Exact ? 0 : -1;
    }
    kelvo_data_type_definition const *InputTail = KelvoDataTypeBeginsWith(Input, Entry.InputLayout);
    kelvo_data_type_definition const *OutputTail =
        KelvoDataTypeBeginsWith(Output, Entry.OutputLayout);
    if (!InputTail || !OutputTail) {
        return -1;
    }
    kelvo_int32 InputTailSize = KelvoGetTotalObjectSize(InputTail);
    kelvo_int32 OutputTailSize = KelvoGetTotalObjectSize(OutputTail);
    if (OutputTailSize % 4 != 0) {
        return -1;
    }
    if (InputTailSize == OutputTailSize) {
        if (!KelvoDataTypesAreEqual(InputTail, OutputTail)) {
            Log(KelvoWarningLogMessage, Origin,
                "%s(%d): Using deformer whose tail copy size matches, but whose layout may not "
                "be correct.",
                KELVO_HERE);
        }
        return OutputTailSize / 4;
    }
    // A shorter output tail is filled from the start of the input tail: all
    // of it, whatever the input has after it.
    bool Partial = Entry.PartialTail && BufferingType == KelvoDeformerPartialTailBuffering &&
                   KelvoDataTypeBeginsWith(InputTail, OutputTail);
    return Partial ? OutputTailSize / 4 : -1;
}

} // namespace

kelvo_direct_deformer *PortableDirectDeformer(int Routine) {
    return portable::Direct[Routine];
}

kelvo_indirect_deformer *PortableIndirectDeformer(int Routine) {
    return portable::Indirect[Routine];
}

void RebuildDeformerRegistry(bool WithSse) {
    Registry().Fill(WithSse && ProcessorHasSse());
}

} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_mesh_deformer *
KelvoNewMeshDeformer(kelvo_data_type_definition const *InputVertexLayout,
                     kelvo_data_type_definition const *OutputVertexLayout,
                     kelvo_int32 DeformationType, kelvo_int32 BufferingType) {
    KELVO_CHECK_NOT_NULL(InputVertexLayout, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(OutputVertexLayout, Origin, nullptr);
    registry const &Entries = Registry();
    for (kelvo_int32 Index = 0; Index < Entries.Count; ++Index) {
        kelvo_deformer_entry const &Entry = Entries.Entries[Index];
        if (Entry.DeformationType != DeformationType) {
            continue;
        }
        kelvo_int32 TailCount =
            TailCountFor(Entry, InputVertexLayout, OutputVertexLayout, BufferingType);
        if (TailCount >= 0) {
            return KELVO_NEW(kelvo_mesh_deformer, Entry, TailCount,
                             KelvoGetTotalObjectSize(InputVertexLayout),
                             KelvoGetTotalObjectSize(OutputVertexLayout));
        }
    }
    return nullptr;
}

KELVO_API void KelvoFreeMeshDeformer(kelvo_mesh_deformer *Deformer) {
    KELVO_DEALLOCATE(Deformer);
}

KELVO_API void KelvoDeformVertices(kelvo_mesh_deformer const *Deformer,
                                   kelvo_int32 const *MatrixIndices,
                                   kelvo_real32 const *MatrixBuffer4x4, kelvo_int32 VertexCount,
                                   void const *SourceVertices, void *DestVertices) {
    KELVO_TIMED_BLOCK("DeformVertices");
    KELVO_CHECK_NOT_NULL(Deformer, Origin, KELVO_NOTHING);
    if (VertexCount <= 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(MatrixBuffer4x4, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SourceVertices, Origin, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(DestVertices, Origin, KELVO_NOTHING);
    if (MatrixIndices) {
        Deformer->Entry.Indirect(VertexCount, SourceVertices, DestVertices, MatrixIndices,
                                 MatrixBuffer4x4, Deformer->TailCount, Deformer->InputSize,
                                 Deformer->OutputSize);
    } else {
        Deformer->Entry.Direct(VertexCount, SourceVertices, DestVertices, MatrixBuffer4x4,
                               Deformer->TailCount, Deformer->InputSize, Deformer->OutputSize);
    }
}

// ---- degree-of-freedom clipping ---------------------------------------------

namespace {

// Zeroes each of three components whose flag (FirstFlag, shifted left by
// the component) is clear; false, all zero, when none is set.
kelvo_bool32 ClipThree(kelvo_real32 *Vector, kelvo_uint32 AllowedDOFs, kelvo_uint32 FirstFlag) {
    bool Any = false;
    for (int Axis = 0; Axis < 3; ++Axis) {
        if (AllowedDOFs & (FirstFlag << Axis)) {
            Any = true;
        } else {
            Vector[Axis] = 0.0f;
        }
    }
    return Any;
}

} // namespace

KELVO_API kelvo_bool32 KelvoClipPositionDOFs(kelvo_real32 Vector[3], kelvo_uint32 AllowedDOFs) {
    return ClipThree(Vector, AllowedDOFs, KelvoXTranslation);
}

KELVO_API kelvo_bool32 KelvoClipAngularVelocityDOFs(kelvo_real32 Vector[3],
                                                    kelvo_uint32 AllowedDOFs) {
    return ClipThree(Vector, AllowedDOFs, KelvoXRotation);
}

// Root motion splits by the same flags; it lives here beside the clipping
// it is made of.
KELVO_API void KelvoClipRootMotionVectors(
    kelvo_real32 const Translation[3], kelvo_real32 const Rotation[3], kelvo_uint32 AllowedDOFs,
    kelvo_real32 AllowedTranslation[3], kelvo_real32 AllowedRotation[3],
    kelvo_real32 DisallowedTranslation[3], kelvo_real32 DisallowedRotation[3]) {
    kelvo_real32 *const Results[4] = {AllowedTranslation, AllowedRotation, DisallowedTranslation,
                                      DisallowedRotation};
    kelvo_real32 const *const Sources[4] = {Translation, Rotation, Translation, Rotation};
    for (int Index = 0; Index < 4; ++Index) {
        if (!Results[Index] || !Sources[Index]) {
            continue;
        }
        kelvo_real32 Vector[3] = {Sources[Index][0], Sources[Index][1], Sources[Index][2]};
        kelvo_uint32 Flags = Index < 2 ? AllowedDOFs : ~AllowedDOFs;
        ClipThree(Vector, Flags, Index % 2 ? KelvoXRotation : KelvoXTranslation);
        memcpy(Results[Index], Vector, sizeof(Vector));
    }
}

KELVO_API kelvo_bool32 KelvoClipOrientationDOFs(kelvo_real32 Orientation[4],
                                                kelvo_uint32 AllowedDOFs) {
    // A rotation about a forbidden axis alone leaves nothing to normalize:
    // it clips to the identity.
    if (!ClipThree(Orientation, AllowedDOFs, KelvoXRotation) ||
        NormalizeQuaternion(Orientation) == 0.0f) {
        Orientation[0] = Orientation[1] = Orientation[2] = 0.0f;
        Orientation[3] = 1.0f;
        return (AllowedDOFs & (KelvoXRotation | KelvoYRotation | KelvoZRotation)) != 0;
    }
    return 1;
}

KELVO_API void KelvoClipTransformDOFs(kelvo_transform *Transform, kelvo_uint32 AllowedDOFs) {
    KELVO_CHECK_NOT_NULL(Transform, Origin, KELVO_NOTHING);
    if (!KelvoClipPositionDOFs(Transform->Position, AllowedDOFs)) {
        Transform->Flags &= ~(kelvo_uint32)KelvoHasPosition;
    }
    if (!KelvoClipOrientationDOFs(Transform->Orientation, AllowedDOFs)) {
        Transform->Flags &= ~(kelvo_uint32)KelvoHasOrientation;
    }
    kelvo_real32 *Columns = Transform->ScaleShear;
    if (!(AllowedDOFs & (KelvoXScaleShear | KelvoYScaleShear | KelvoZScaleShear))) {
        Transform->Flags &= ~(kelvo_uint32)KelvoHasScaleShear;
        for (int Entry = 0; Entry < 9; ++Entry) {
            Columns[Entry] = Entry % 4 == 0 ? 1.0f : 0.0f;
        }
        return;
    }
    // Column c of the row-major 3x3 is entries c, c + 3, c + 6; column 2 is
    // reset unless its own scale is allowed.
    for (int Column = 0; Column < 3; ++Column) {
        if (!(AllowedDOFs & (KelvoXScaleShear << Column))) {
            for (int Row = 0; Row < 3; ++Row) {
                Columns[Row * 3 + Column] = Row == Column ? 1.0f : 0.0f;
            }
        }
    }
}
