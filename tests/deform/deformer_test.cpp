#include "data/kelvo_data_type.h"
#include "deform/kelvo_deformer.h"
#include "kelvo_test.h"

#include <math.h>
#include <random>
#include <thread>

namespace {

using kelvo::MakeMember;

class DeformerTest : public KelvoTest {
  protected:
    void TearDown() override {
        kelvo::RebuildDeformerRegistry(true);
        KelvoTest::TearDown();
    }
};

// A 16-byte aligned buffer of reals with room to start Offset bytes in.
struct aligned_reals {
    std::vector<kelvo_real32> Storage;
    kelvo_real32 *Data;
    aligned_reals(size_t Count, size_t Offset = 0) : Storage(Count + 8) {
        auto Address = reinterpret_cast<uintptr_t>(Storage.data());
        Data = reinterpret_cast<kelvo_real32 *>(((Address + 15) & ~uintptr_t(15)) + Offset);
    }
};

// Random bone matrices (a general linear part and a translation row).
aligned_reals RandomMatrices(int Count, std::mt19937 &Random) {
    std::uniform_real_distribution<float> Value(-2.0f, 2.0f);
    aligned_reals Matrices(16 * Count);
    for (int Index = 0; Index < 16 * Count; ++Index) {
        Matrices.Data[Index] = Index % 4 == 3 ? (Index % 16 == 15 ? 1.0f : 0.0f) : Value(Random);
    }
    return Matrices;
}

// Vertices of routine Routine's SSE input layout: random position, vectors and
// texture coordinates, bones below BoneCount, weights that need not sum to 255.
std::vector<kelvo_uint8> RandomVertices(int Routine, int Count, int BoneCount, std::mt19937 &Random,
                                        int &Stride) {
    int Bones = kelvo::BonesOfRoutine(Routine), Vectors = kelvo::VectorsOfRoutine(Routine);
    Stride = 12 + kelvo::SkinBytes(Bones) + 12 * Vectors + 8;
    std::vector<kelvo_uint8> Bytes(Stride * (size_t)Count + 16);
    std::uniform_real_distribution<float> Value(-1.0f, 1.0f);
    for (int Vertex = 0; Vertex < Count; ++Vertex) {
        kelvo_uint8 *At = Bytes.data() + 4 + Vertex * Stride; // deliberately unaligned
        for (int Real = 0; Real < 3; ++Real) {
            float V = Value(Random);
            memcpy(At + 4 * Real, &V, 4);
        }
        kelvo_uint8 *Skin = At + 12;
        if (Bones == 1) {
            kelvo_uint32 Bone = Random() % BoneCount;
            memcpy(Skin, &Bone, 4);
        }
        for (int Bone = 0; Bone < Bones && Bones > 1; ++Bone) {
            Skin[Bone] = (kelvo_uint8)(Random() % 256);
            Skin[Bones + Bone] = (kelvo_uint8)(Random() % BoneCount);
        }
        for (int Real = 0; Real < 3 * Vectors + 2; ++Real) {
            float V = Value(Random);
            memcpy(Skin + kelvo::SkinBytes(Bones) + 4 * Real, &V, 4);
        }
    }
    return Bytes;
}

struct choice_case {
    kelvo_data_type_definition const *const *Input;
    kelvo_data_type_definition const *const *Output;
    kelvo_int32 Type, Buffering;
    bool WithSse;
    int Routine; // -1: nothing fits
    bool Sse;
    kelvo_int32 TailCount;
};

TEST_F(DeformerTest, ChoosesTheFirstFittingRoutine) {
    choice_case const Cases[] = {
        {&KelvoPWN343VertexType, &KelvoPN33VertexType, 2, 0, true, 6, false, 0},
        {&KelvoPWNT3432VertexType, &KelvoPNT332VertexType, 2, 0, true, 6, true, 0},
        {&KelvoPWNT3432VertexType, &KelvoPNT332VertexType, 2, 0, false, 6, false, 2},
        {&KelvoPWNGB34333VertexType, &KelvoPNGB3333VertexType, 2, 0, true, 6, false, 6},
        {&KelvoPWN343VertexType, &KelvoPNG333VertexType, 3, 0, true, -1, false, 0},
        {&KelvoPWNGBT313332VertexType, &KelvoPNGBT33332VertexType, 4, 0, true, 2, true, 0},
        {&KelvoPNGT3332VertexType, &KelvoPNGT3332VertexType, 3, 0, true, 10, true, 0},
        {&KelvoPN33VertexType, &KelvoPN33VertexType, 5, 0, true, -1, false, 0},
        // A shorter output tail fits only with partial-tail buffering, and
        // then takes all of it.
        {&KelvoPWNT3432VertexType, &KelvoPN33VertexType, 2, 0, true, -1, false, 0},
        {&KelvoPWNT3432VertexType, &KelvoPN33VertexType, 2, 1, true, 6, false, 0},
        {&KelvoPWNGT34332VertexType, &KelvoPNG333VertexType, 2, 1, false, 6, false, 3},
    };
    for (choice_case const &Case : Cases) {
        kelvo::RebuildDeformerRegistry(Case.WithSse);
        SCOPED_TRACE(::testing::Message()
                     << static_cast<char const *>((*Case.Input)[0].Name) << " routine "
                     << Case.Routine << " sse " << Case.WithSse);
        kelvo_mesh_deformer *Deformer =
            KelvoNewMeshDeformer(*Case.Input, *Case.Output, Case.Type, Case.Buffering);
        if (Case.Routine < 0) {
            EXPECT_EQ(Deformer, nullptr);
            continue;
        }
        ASSERT_NE(Deformer, nullptr);
        if (Case.Sse && !kelvo::ProcessorHasSse()) {
            KelvoFreeMeshDeformer(Deformer);
            continue;
        }
        kelvo_direct_deformer *Expected = Case.Sse ? kelvo::SseDirectDeformer(Case.Routine)
                                                   : kelvo::PortableDirectDeformer(Case.Routine);
        EXPECT_EQ(Deformer->Entry.Direct, Expected);
        EXPECT_EQ(Deformer->TailCount, Case.TailCount);
        EXPECT_EQ(Deformer->InputSize, KelvoGetTotalObjectSize(*Case.Input));
        EXPECT_EQ(Deformer->OutputSize, KelvoGetTotalObjectSize(*Case.Output));
        KelvoFreeMeshDeformer(Deformer);
    }
}

TEST_F(DeformerTest, TailsOfTheSameSizeButAnotherLayoutWarn) {
    static kelvo_data_type_definition const Output[] = {
        MakeMember(KelvoReal32Member, "Position", nullptr, 3),
        MakeMember(KelvoReal32Member, "Normal", nullptr, 3),
        MakeMember(KelvoUInt32Member, "Ids", nullptr, 2), MakeMember(KelvoEndMember)};
    kelvo::RebuildDeformerRegistry(false);
    kelvo_mesh_deformer *Deformer = KelvoNewMeshDeformer(KelvoPWNT3432VertexType, Output, 2, 0);
    ASSERT_NE(Deformer, nullptr);
    ExpectLoggedFrom(KelvoWarningLogMessage, KelvoDeformerLogMessage,
                     "tail copy size matches, but whose layout may not be correct");
    EXPECT_EQ(Deformer->TailCount, 2);
    KelvoFreeMeshDeformer(Deformer);
}

// Translation-only matrices whose translation x is the matrix number.
aligned_reals NumberedMatrices(int Count) {
    aligned_reals Matrices(16 * Count);
    for (int Index = 0; Index < Count; ++Index) {
        kelvo_real32 *M = Matrices.Data + 16 * Index;
        for (int Element = 0; Element < 16; ++Element) {
            M[Element] = Element % 5 == 0 ? 1.0f : 0.0f;
        }
        M[12] = (kelvo_real32)Index;
    }
    return Matrices;
}

TEST_F(DeformerTest, BonesIndexTheBufferDirectlyOrThroughIndices) {
    aligned_reals Matrices = NumberedMatrices(10);
    kelvo_pwn313_vertex In = {{0, 0, 0}, {3}, {0, 0, 1}};
    kelvo_pn33_vertex Out;
    kelvo_mesh_deformer *Deformer =
        KelvoNewMeshDeformer(KelvoPWN313VertexType, KelvoPN33VertexType, 2, 0);
    ASSERT_NE(Deformer, nullptr);
    KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 1, &In, &Out);
    EXPECT_EQ(Out.Position[0], 3.0f);
    kelvo_int32 const Indices[] = {5, 6, 7, 9};
    KelvoDeformVertices(Deformer, Indices, Matrices.Data, 1, &In, &Out);
    EXPECT_EQ(Out.Position[0], 9.0f);
    EXPECT_EQ(Out.Normal[2], 1.0f); // no translation for vectors
    KelvoFreeMeshDeformer(Deformer);
}

TEST_F(DeformerTest, WeightsBlendEveryBoneAsStored) {
    aligned_reals Matrices = NumberedMatrices(3);
    kelvo_mesh_deformer *Deformer =
        KelvoNewMeshDeformer(KelvoPWN323VertexType, KelvoPN33VertexType, 2, 0);
    ASSERT_NE(Deformer, nullptr);
    kelvo_pwn323_vertex In = {{0, 0, 0}, {128, 127}, {1, 2}, {1, 0, 0}};
    kelvo_pn33_vertex Out;
    KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 1, &In, &Out);
    EXPECT_NEAR(Out.Position[0], (128.0f * 1 + 127.0f * 2) / 255.0f, 1e-6);
    // A zero weight still reads its bone: a NaN there reaches the result.
    Matrices.Data[16 * 2 + 12] = NAN;
    In.BoneWeights[0] = 255;
    In.BoneWeights[1] = 0;
    KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 1, &In, &Out);
    EXPECT_TRUE(isnan(Out.Position[0]));
    KelvoFreeMeshDeformer(Deformer);
}

// v.M in double precision, for the deformed members of a portable vertex.
void ReferenceDeform(int Bones, int Vectors, kelvo_uint8 const *Vertex, kelvo_real32 const *M,
                     double *Out) {
    double Blend[16] = {};
    for (int Bone = 0; Bone < (Bones == 0 ? 1 : Bones); ++Bone) {
        kelvo_uint32 Index = 0;
        double Weight = 1.0;
        if (Bones == 1) {
            memcpy(&Index, Vertex + 12, 4);
        } else if (Bones > 1) {
            Index = Vertex[12 + Bones + Bone];
            Weight = Vertex[12 + Bone] / 255.0;
        }
        for (int Element = 0; Element < 16; ++Element) {
            Blend[Element] += Weight * M[16 * Index + Element];
        }
    }
    float In[12];
    memcpy(In, Vertex, 12);
    memcpy(In + 3, Vertex + 12 + kelvo::SkinBytes(Bones), 12 * Vectors);
    for (int Member = 0; Member <= Vectors; ++Member) {
        for (int Column = 0; Column < 3; ++Column) {
            double Sum = Member == 0 ? Blend[12 + Column] : 0.0;
            for (int Row = 0; Row < 3; ++Row) {
                Sum += In[3 * Member + Row] * Blend[4 * Row + Column];
            }
            Out[3 * Member + Column] = Sum;
        }
    }
}

// Every routine, portable and SSE, against double precision: random
// vertices with their texture coordinates copied as a two-word tail.
TEST_F(DeformerTest, EveryRoutineMatchesDoublePrecisionAndSseMatchesPortable) {
    std::mt19937 Random(7);
    constexpr int BoneCount = 40;
    aligned_reals Matrices = RandomMatrices(BoneCount, Random);
    kelvo_int32 Indices[BoneCount];
    for (int Index = 0; Index < BoneCount; ++Index) {
        Indices[Index] = BoneCount - 1 - Index;
    }
    for (int Routine = 0; Routine < kelvo::DeformRoutineCount; ++Routine) {
        int Bones = kelvo::BonesOfRoutine(Routine), Vectors = kelvo::VectorsOfRoutine(Routine);
        int OutStride = 12 + 12 * Vectors + 8;
        for (int Count : {1, 2, 3, 1000, 10000}) {
            SCOPED_TRACE(::testing::Message() << "routine " << Routine << " count " << Count);
            int Stride;
            std::vector<kelvo_uint8> In = RandomVertices(Routine, Count, BoneCount, Random, Stride);
            kelvo_uint8 const *Source = In.data() + 4;
            aligned_reals Portable(Count * OutStride / 4), Sse(Count * OutStride / 4);
            kelvo::PortableDirectDeformer(Routine)(Count, Source, Portable.Data, Matrices.Data, 2,
                                                   Stride, OutStride);
            for (int Vertex = 0; Vertex < Count; Vertex += 97) {
                double Expected[12];
                ReferenceDeform(Bones, Vectors, Source + Vertex * Stride, Matrices.Data, Expected);
                kelvo_real32 const *Got = Portable.Data + Vertex * OutStride / 4;
                for (int Real = 0; Real < 3 + 3 * Vectors; ++Real) {
                    ASSERT_NEAR(Got[Real], Expected[Real], 1e-4 * (1 + fabs(Expected[Real])));
                }
                ASSERT_EQ(memcmp(Got + 3 + 3 * Vectors, Source + Vertex * Stride + Stride - 8, 8),
                          0);
            }
            if (!kelvo::ProcessorHasSse()) {
                continue;
            }
            for (bool Indirect : {false, true}) {
                kelvo_int32 const *Through = Indirect ? Indices : nullptr;
                if (Indirect) {
                    kelvo::PortableIndirectDeformer(Routine)(Count, Source, Portable.Data, Through,
                                                             Matrices.Data, 2, Stride, OutStride);
                    kelvo::SseIndirectDeformer(Routine)(Count, Source, Sse.Data, Through,
                                                        Matrices.Data, 0, Stride, OutStride);
                } else {
                    kelvo::SseDirectDeformer(Routine)(Count, Source, Sse.Data, Matrices.Data, 0,
                                                      Stride, OutStride);
                }
                for (int Real = 0; Real < Count * OutStride / 4; ++Real) {
                    ASSERT_NEAR(Sse.Data[Real], Portable.Data[Real],
                                1e-5 * (1 + fabs(Portable.Data[Real])));
                }
            }
        }
    }
}

TEST_F(DeformerTest, UnalignedSseCallsReportOnceAndMatchThePortableRoutine) {
    if (!kelvo::ProcessorHasSse()) {
        GTEST_SKIP() << "no SSE on this processor";
    }
    std::mt19937 Random(11);
    aligned_reals Matrices = RandomMatrices(8, Random);
    for (int Routine : {0, 3, 6, 9, 1}) {
        int Stride, OutStride = 12 + 12 * kelvo::VectorsOfRoutine(Routine) + 8;
        std::vector<kelvo_uint8> In = RandomVertices(Routine, 5, 8, Random, Stride);
        aligned_reals Portable(5 * OutStride / 4), Sse(5 * OutStride / 4, 4);
        kelvo::PortableDirectDeformer(Routine)(5, In.data() + 4, Portable.Data, Matrices.Data, 2,
                                               Stride, OutStride);
        for (int Call = 0; Call < 2; ++Call) {
            kelvo::SseDirectDeformer(Routine)(5, In.data() + 4, Sse.Data, Matrices.Data, 0, Stride,
                                              OutStride);
        }
        // Within rounding: a 32-bit build's portable arithmetic is x87.
        for (int Real = 0; Real < 5 * OutStride / 4; ++Real) {
            EXPECT_NEAR(Sse.Data[Real], Portable.Data[Real],
                        1e-5 * (1 + fabs(Portable.Data[Real])));
        }
        if (Routine == 1) { // generated routines check the matrices only
            EXPECT_TRUE(Messages().empty());
        } else {
            ExpectLoggedFrom(KelvoErrorLogMessage, KelvoDeformerLogMessage,
                             "were not aligned: DestVertices   (this message will only appear "
                             "once)");
        }
    }
}

TEST_F(DeformerTest, ThreadsDeformThroughOneDeformerAtOnce) {
    std::mt19937 Random(3);
    aligned_reals Matrices = RandomMatrices(20, Random);
    kelvo::RebuildDeformerRegistry(false);
    kelvo_mesh_deformer *Deformer =
        KelvoNewMeshDeformer(KelvoPWNT3432VertexType, KelvoPNT332VertexType, 2, 0);
    ASSERT_NE(Deformer, nullptr);
    int Stride;
    std::vector<kelvo_uint8> In = RandomVertices(6, 20000, 20, Random, Stride);
    std::vector<kelvo_pnt332_vertex> Alone(20000), First(20000), Second(20000);
    KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 20000, In.data() + 4, Alone.data());
    std::thread Other([&] {
        KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 20000, In.data() + 4, First.data());
    });
    KelvoDeformVertices(Deformer, nullptr, Matrices.Data, 20000, In.data() + 4, Second.data());
    Other.join();
    EXPECT_EQ(memcmp(Alone.data(), First.data(), 20000 * sizeof(kelvo_pnt332_vertex)), 0);
    EXPECT_EQ(memcmp(Alone.data(), Second.data(), 20000 * sizeof(kelvo_pnt332_vertex)), 0);
    KelvoFreeMeshDeformer(Deformer);
}

TEST_F(DeformerTest, ClippingKeepsOnlyTheAllowedDegreesOfFreedom) {
    kelvo_real32 Position[3] = {1, 2, 3};
    EXPECT_TRUE(KelvoClipPositionDOFs(Position, KelvoXTranslation | KelvoZTranslation));
    EXPECT_EQ(Position[1], 0.0f);
    EXPECT_EQ(Position[2], 3.0f);
    EXPECT_FALSE(KelvoClipPositionDOFs(Position, KelvoAllDOFs & ~7u));
    EXPECT_EQ(Position[0], 0.0f);
    kelvo_real32 Velocity[3] = {1, 2, 3};
    EXPECT_TRUE(KelvoClipAngularVelocityDOFs(Velocity, KelvoYRotation));
    EXPECT_EQ(Velocity[0] + Velocity[2], 0.0f);

    kelvo_real32 Orientation[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    EXPECT_TRUE(KelvoClipOrientationDOFs(Orientation, KelvoZRotation));
    EXPECT_NEAR(Orientation[2], sqrtf(0.5f), 1e-6);
    EXPECT_NEAR(Orientation[3], sqrtf(0.5f), 1e-6);
    EXPECT_FALSE(KelvoClipOrientationDOFs(Orientation, KelvoXTranslation));
    EXPECT_EQ(Orientation[3], 1.0f);

    kelvo_transform Transform = {KelvoHasPosition | KelvoHasOrientation | KelvoHasScaleShear,
                                 {1, 2, 3},
                                 {0, 0.6f, 0, 0.8f},
                                 {2, 0.1f, 0.2f, 0.3f, 3, 0.4f, 0.5f, 0.6f, 4}};
    KelvoClipTransformDOFs(&Transform, KelvoYTranslation | KelvoXRotation | KelvoYScaleShear);
    EXPECT_EQ(Transform.Flags,
              (kelvo_uint32)(KelvoHasPosition | KelvoHasOrientation | KelvoHasScaleShear));
    EXPECT_EQ(Transform.Position[1], 2.0f);
    EXPECT_EQ(Transform.Orientation[3], 1.0f); // only y turned: nothing left about x
    kelvo_real32 const Scale[9] = {1, 0.1f, 0, 0, 3, 0, 0, 0.6f, 1};
    for (int Entry = 0; Entry < 9; ++Entry) {
        EXPECT_EQ(Transform.ScaleShear[Entry], Scale[Entry]) << Entry;
    }
    KelvoClipTransformDOFs(&Transform, 0);
    EXPECT_EQ(Transform.Flags, 0u);
    EXPECT_EQ(Transform.ScaleShear[1], 0.0f);
}

} // namespace
