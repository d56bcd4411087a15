// World poses: every build form against a double-precision product of local
// matrices, the SSE path against the portable one, composites and composite
// buffers, subtree updates, layout, and the range checks.
#include "kelvo_test.h"

#include "anim/kelvo_pose.h"
#include "pose_test_skeleton.h"

#include <cfloat>
#include <cstring>
#include <functional>
#include <memory>

namespace {

struct pose_deleter {
    void operator()(kelvo_local_pose *Pose) const { KelvoFreeLocalPose(Pose); }
    void operator()(kelvo_world_pose *Pose) const { KelvoFreeWorldPose(Pose); }
};
using local_pose_ptr = std::unique_ptr<kelvo_local_pose, pose_deleter>;
using world_pose_ptr = std::unique_ptr<kelvo_world_pose, pose_deleter>;

class WorldPoseTest : public KelvoTest {
  protected:
    void TearDown() override {
        kelvo::SetSSEPosesAllowed(true);
        kelvo::SetAVXPosesAllowed(true);
        KelvoTest::TearDown();
    }
};

// A random local pose; every fourth entry has scale/shear.
std::vector<kelvo_transform> RandomLocals(int Count, unsigned Seed) {
    std::mt19937 Engine(Seed);
    std::vector<kelvo_transform> Result;
    for (int Index = 0; Index < Count; ++Index) {
        Result.push_back(RandomTransform(Engine, Index % 4));
    }
    return Result;
}

local_pose_ptr LocalPoseOf(std::vector<kelvo_transform> const &Transforms) {
    local_pose_ptr Pose(KelvoNewLocalPose((int)Transforms.size()));
    for (size_t Index = 0; Index < Transforms.size(); ++Index) {
        Pose->Transforms[Index].Transform = Transforms[Index];
    }
    return Pose;
}

matrix64 const Identity64 = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

TEST_F(WorldPoseTest, BuildsEqualTheDoublePrecisionChainAndAgreeBitForBitWithAndWithoutSSE) {
    int const Count = 67;
    test_skeleton S(Count, 5);
    std::vector<kelvo_transform> Locals = RandomLocals(Count, 6);
    local_pose_ptr Local = LocalPoseOf(Locals);
    // The sparse pose holds every other bone, in reverse order; the others rest.
    std::vector<kelvo_int32> Reverse((size_t)Count, -1);
    std::vector<kelvo_transform> SparseLocals = Locals;
    local_pose_ptr Sparse(KelvoNewLocalPose(Count));
    for (int Bone = 0, Entry = Count - 1; Bone < Count; ++Bone) {
        if (Bone % 2) {
            Reverse[(size_t)Bone] = Entry;
            Sparse->Transforms[Entry--].Transform = Locals[(size_t)Bone];
        } else {
            SparseLocals[(size_t)Bone] = S.Bones[(size_t)Bone].Transform;
        }
    }
    std::vector<kelvo_transform> LODLocals = Locals; // valid range [10, 40)
    for (int Bone = 0; Bone < Count; ++Bone) {
        if (Bone < 10 || Bone >= 40) {
            LODLocals[(size_t)Bone] = S.Bones[(size_t)Bone].Transform;
        }
    }
    std::mt19937 Engine(7);
    kelvo_transform OffsetTransform = RandomTransform(Engine, 3);
    float Offset[17]; // misaligned on purpose: the build copies it
    KelvoBuildCompositeTransform4x4(&OffsetTransform, Offset + 1);

    world_pose_ptr World(KelvoNewWorldPose(Count));
    world_pose_ptr Portable(KelvoNewWorldPose(Count));
    for (bool WithOffset : {false, true}) {
        matrix64 const Offset64 = WithOffset ? FromFloats(Offset + 1) : Identity64;
        float const *OffsetArgument = WithOffset ? Offset + 1 : nullptr;
        struct form {
            char const *Name;
            std::vector<kelvo_transform> const *Expected;
            std::function<void(kelvo_world_pose *)> Build;
        } const Forms[] = {
            {"whole", &Locals,
             [&](kelvo_world_pose *W) {
                 KelvoBuildWorldPose(&S.Skeleton, 0, Count, Local.get(), OffsetArgument, W);
             }},
            {"LOD", &LODLocals,
             [&](kelvo_world_pose *W) {
                 KelvoBuildWorldPoseLOD(&S.Skeleton, 0, Count, 10, 30, Local.get(), OffsetArgument,
                                        W);
             }},
            {"sparse", &SparseLocals,
             [&](kelvo_world_pose *W) {
                 KelvoBuildWorldPoseSparse(&S.Skeleton, 0, Count, Reverse.data(), Sparse.get(),
                                           OffsetArgument, W);
             }},
        };
        for (form const &Form : Forms) {
            SCOPED_TRACE(Form.Name);
            SCOPED_TRACE(WithOffset ? "with offset" : "without offset");
            kelvo::SetSSEPosesAllowed(false);
            Form.Build(Portable.get());
            kelvo::SetSSEPosesAllowed(true);
            // The SSE2 build of the kernels, then the AVX one where the
            // processor has it: every path does the same single-precision
            // operations in one order (x87 builds hold the portable path's
            // scalars wider).
            for (bool AVX : {false, true}) {
                SCOPED_TRACE(AVX ? "AVX" : "SSE2");
                kelvo::SetAVXPosesAllowed(AVX);
                Form.Build(World.get());
                if (FLT_EVAL_METHOD == 0) {
                    EXPECT_EQ(memcmp(World->WorldTransformBuffer, Portable->WorldTransformBuffer,
                                     (size_t)Count * 64),
                              0);
                    EXPECT_EQ(memcmp(World->CompositeTransformBuffer,
                                     Portable->CompositeTransformBuffer, (size_t)Count * 64),
                              0);
                }
            }
            for (int Bone = 0; Bone < Count; ++Bone) {
                matrix64 Expected = ReferenceWorld(S, *Form.Expected, Bone, Offset64);
                ExpectMatrixNear(KelvoGetWorldPose4x4(World.get(), Bone), Expected, 1e-5);
                ExpectMatrixNear(KelvoGetWorldPose4x4(Portable.get(), Bone), Expected, 1e-5);
                matrix64 Composite =
                    Multiply64(FromFloats(S.Bones[(size_t)Bone].InverseWorldTransform), Expected);
                ExpectMatrixNear(KelvoGetWorldPoseComposite4x4(World.get(), Bone), Composite, 1e-5);
                ExpectMatrixNear(KelvoGetWorldPoseComposite4x4(Portable.get(), Bone), Composite,
                                 1e-5);
            }
        }
    }
}

TEST_F(WorldPoseTest, RestPoseCompositesAreIdentityAndFlaglessBonesCopyTheirParent) {
    test_skeleton S(40, 9);
    world_pose_ptr Rest(KelvoNewWorldPose(40)), LOD(KelvoNewWorldPose(40));
    local_pose_ptr Local = LocalPoseOf(RandomLocals(40, 10));
    KelvoBuildRestWorldPose(&S.Skeleton, 0, 40, nullptr, Rest.get());
    KelvoBuildWorldPoseLOD(&S.Skeleton, 0, 40, 0, 0, Local.get(), nullptr, LOD.get());
    EXPECT_EQ(memcmp(Rest->WorldTransformBuffer, LOD->WorldTransformBuffer, 40 * 64), 0);
    for (int Bone = 0; Bone < 40; ++Bone) {
        ExpectMatrixNear(KelvoGetWorldPoseComposite4x4(Rest.get(), Bone), Identity64, 1e-5);
        kelvo_bone const &B = S.Bones[(size_t)Bone];
        if (B.Transform.Flags == 0 && B.ParentIndex >= 0) {
            EXPECT_EQ(memcmp(KelvoGetWorldPose4x4(Rest.get(), Bone),
                             KelvoGetWorldPose4x4(Rest.get(), B.ParentIndex), 64),
                      0);
        }
    }
}

TEST_F(WorldPoseTest, CompositeBuffersMatchThePoseComposites) {
    int const Count = 30;
    test_skeleton S(Count, 11);
    local_pose_ptr Local = LocalPoseOf(RandomLocals(Count, 12));
    world_pose_ptr World(KelvoNewWorldPose(Count)), Plain(KelvoNewWorldPoseNoComposite(Count));
    KelvoBuildWorldPose(&S.Skeleton, 0, Count, Local.get(), nullptr, World.get());
    KelvoBuildWorldPoseNoComposite(&S.Skeleton, 0, Count, Local.get(), nullptr, Plain.get());
    EXPECT_EQ(KelvoGetWorldPoseComposite4x4(Plain.get(), 0), nullptr);
    EXPECT_EQ(memcmp(World->WorldTransformBuffer, Plain->WorldTransformBuffer, Count * 64), 0);

    std::vector<float> Buffer((size_t)Count * 16, -1), Transposed((size_t)Count * 12, -1);
    KelvoBuildCompositeBuffer(&S.Skeleton, 5, 20, World.get(), Buffer.data());
    KelvoBuildCompositeBufferTransposed(&S.Skeleton, 5, 20, World.get(), Transposed.data());
    kelvo_int32 const Indices[] = {29, 0, 7, 7};
    std::vector<float> Indexed(4 * 16), IndexedTransposed(4 * 12);
    KelvoBuildIndexedCompositeBuffer(&S.Skeleton, World.get(), Indices, 4, Indexed.data());
    KelvoBuildIndexedCompositeBufferTransposed(&S.Skeleton, World.get(), Indices, 4,
                                               IndexedTransposed.data());
    auto ExpectTransposed = [](float const *Composite, float const *Rows) {
        for (int Row = 0; Row < 3; ++Row) {
            for (int Column = 0; Column < 4; ++Column) {
                EXPECT_NEAR(Rows[4 * Row + Column], Composite[4 * Column + Row], 1e-6);
            }
        }
    };
    for (int Bone = 0; Bone < Count; ++Bone) {
        float const *Composite = KelvoGetWorldPoseComposite4x4(World.get(), Bone);
        if (Bone < 5 || Bone >= 25) {
            EXPECT_EQ(Buffer[16 * (size_t)Bone], -1) << "outside the range";
            continue;
        }
        for (int Element = 0; Element < 16; ++Element) {
            EXPECT_NEAR(Buffer[16 * (size_t)Bone + Element], Composite[Element], 1e-6);
        }
        ExpectTransposed(Composite, &Transposed[12 * (size_t)Bone]);
    }
    for (int Index = 0; Index < 4; ++Index) {
        float const *Composite = KelvoGetWorldPoseComposite4x4(World.get(), Indices[Index]);
        for (int Element = 0; Element < 16; ++Element) {
            EXPECT_NEAR(Indexed[16 * (size_t)Index + Element], Composite[Element], 1e-6);
        }
        ExpectTransposed(Composite, &IndexedTransposed[12 * (size_t)Index]);
    }

    // Recomputing composites from changed world matrices.
    std::vector<float> Saved(World->CompositeTransformBuffer,
                             World->CompositeTransformBuffer + Count * 16);
    memset(World->CompositeTransformBuffer, 0, Count * 64);
    KelvoBuildWorldPoseComposites(&S.Skeleton, 0, Count, World.get());
    for (int Element = 0; Element < Count * 16; ++Element) {
        EXPECT_NEAR(World->CompositeTransformBuffer[Element], Saved[(size_t)Element], 1e-6);
    }
    KelvoBuildWorldPoseComposites(&S.Skeleton, 0, Count, Plain.get());
    ExpectLogged(KelvoErrorLogMessage, "Result.CompositeTransformBuffer is not allowed to be 0");
}

TEST_F(WorldPoseTest, UpdatingChildrenRebuildsExactlyTheSubtree) {
    int const Count = 50;
    test_skeleton S(Count, 13);
    std::vector<kelvo_transform> Locals = RandomLocals(Count, 14);
    local_pose_ptr Local = LocalPoseOf(Locals);
    world_pose_ptr World(KelvoNewWorldPose(Count));
    for (int Parent : {1, 3, Count - 1}) {
        SCOPED_TRACE(Parent);
        KelvoBuildRestWorldPose(&S.Skeleton, 0, Count, nullptr, World.get());
        std::vector<float> Before(World->WorldTransformBuffer,
                                  World->WorldTransformBuffer + Count * 16);
        KelvoUpdateWorldPoseChildren(&S.Skeleton, Parent, Local.get(), nullptr, World.get());
        for (int Bone = 0; Bone < Count; ++Bone) {
            bool InSubtree = false;
            for (int Up = Bone; Up >= 0 && !InSubtree; Up = S.Bones[(size_t)Up].ParentIndex) {
                InSubtree = Up == Parent;
            }
            float const *Now = KelvoGetWorldPose4x4(World.get(), Bone);
            if (!InSubtree) {
                EXPECT_EQ(memcmp(Now, &Before[16 * (size_t)Bone], 64), 0) << Bone;
                continue;
            }
            // Above the updated bone the rest pose holds.
            std::vector<kelvo_transform> Mixed = Locals;
            for (int Up = S.Bones[(size_t)Parent].ParentIndex; Up >= 0;
                 Up = S.Bones[(size_t)Up].ParentIndex) {
                Mixed[(size_t)Up] = S.Bones[(size_t)Up].Transform;
            }
            ExpectMatrixNear(Now, ReferenceWorld(S, Mixed, Bone, Identity64), 1e-5);
        }
    }
}

TEST_F(WorldPoseTest, LayoutAlignsBothBuffersAndWarnsForUnalignedMemory) {
    EXPECT_EQ(KelvoGetResultingWorldPoseSize(3, 0),
              16 * (((int)sizeof(kelvo_world_pose) + 15) / 16) + 6 * 64);
    EXPECT_EQ(KelvoGetResultingWorldPoseSize(3, 1),
              16 * (((int)sizeof(kelvo_world_pose) + 15) / 16) + 3 * 64);
    world_pose_ptr Pose(KelvoNewWorldPose(5));
    EXPECT_EQ(KelvoGetWorldPoseBoneCount(Pose.get()), 5);
    EXPECT_EQ((uintptr_t)Pose->WorldTransformBuffer % 16, 0u);
    EXPECT_EQ((uintptr_t)Pose->CompositeTransformBuffer % 16, 0u);
    EXPECT_EQ(KelvoGetWorldPose4x4(Pose.get(), 5), nullptr);
    EXPECT_EQ(KelvoGetWorldPose4x4(Pose.get(), -1), nullptr);
    EXPECT_EQ(KelvoGetWorldPoseComposite4x4(Pose.get(), 5), nullptr);

    alignas(16) std::array<unsigned char, 1024> Memory{};
    unsigned char *Unaligned = Memory.data() + alignof(kelvo_world_pose);
    kelvo_world_pose *InPlace = KelvoNewWorldPoseInPlace(3, 0, Unaligned);
    ASSERT_EQ((void *)InPlace, Unaligned);
    ExpectLogged(KelvoWarningLogMessage, "world_pose WorldTransformBuffer is unaligned");
    ExpectLogged(KelvoWarningLogMessage, "world_pose CompositeTransformBuffer is unaligned");
    EXPECT_EQ(KelvoNewWorldPoseInPlace(3, 0, Memory.data() + 2), nullptr);
    ExpectLogged(KelvoErrorLogMessage, "is not aligned to");
    EXPECT_EQ(KelvoGetResultingWorldPoseSize(-1, 0), 0);
    ExpectLogged(KelvoErrorLogMessage, "BoneCount >= 0 was not true");
    EXPECT_EQ(KelvoGetResultingWorldPoseSize(INT32_MAX / 64, 0), 0);
    ExpectLogged(KelvoErrorLogMessage, "out of range for an int32 ResultingSize");
    {
        failing_allocator Failing(1);
        EXPECT_EQ(KelvoNewWorldPose(4), nullptr);
    }
    TakeMessages();
}

TEST_F(WorldPoseTest, BadRangesAreReportedAndWriteNothing) {
    test_skeleton S(10, 15);
    local_pose_ptr Local = LocalPoseOf(RandomLocals(8, 16));
    world_pose_ptr World(KelvoNewWorldPose(10));
    memset(World->WorldTransformBuffer, 0x7f, 10 * 64);
    std::vector<kelvo_int32> Reverse(10, -1);
    Reverse[4] = 8;
    kelvo_int32 const BadIndex[] = {3, 10};
    std::vector<float> Buffer(16 * 10);
    struct {
        char const *Message;
        std::function<void()> Call;
    } const Cases[] = {
        {"OnePastLastBone 9 is out of range [0, 8]",
         [&] { KelvoBuildWorldPose(&S.Skeleton, 0, 9, Local.get(), nullptr, World.get()); }},
        {"FirstBone -1 is out of range [0, 10]",
         [&] { KelvoBuildRestWorldPose(&S.Skeleton, -1, 2, nullptr, World.get()); }},
        {"OnePastLastValidLocalBone 9 is out of range [0, 8]",
         [&] {
             KelvoBuildWorldPoseLOD(&S.Skeleton, 0, 10, 2, 7, Local.get(), nullptr, World.get());
         }},
        {"SparseBoneArrayReverse[4] is out of range",
         [&] {
             KelvoBuildWorldPoseSparse(&S.Skeleton, 0, 10, Reverse.data(), Local.get(), nullptr,
                                       World.get());
         }},
        {"FirstBone + BoneCount 11 is out of range [0, 10]",
         [&] { KelvoBuildCompositeBuffer(&S.Skeleton, 1, 10, World.get(), Buffer.data()); }},
        {"CompositeBuffer is not allowed to be 0",
         [&] { KelvoBuildCompositeBufferTransposed(&S.Skeleton, 0, 1, World.get(), nullptr); }},
        {"Indices is not allowed to be 0",
         [&] {
             KelvoBuildIndexedCompositeBuffer(&S.Skeleton, World.get(), nullptr, 1, Buffer.data());
         }},
        {"IndexCount 11 is out of range [0, 10]",
         [&] {
             KelvoBuildIndexedCompositeBuffer(&S.Skeleton, World.get(), BadIndex, 11,
                                              Buffer.data());
         }},
        {"Indices[1] 10 is out of range [0, 10)",
         [&] {
             KelvoBuildIndexedCompositeBuffer(&S.Skeleton, World.get(), BadIndex, 2, Buffer.data());
         }},
        {"ParentBone 8 is out of range [0, 7]",
         [&] { KelvoUpdateWorldPoseChildren(&S.Skeleton, 8, Local.get(), nullptr, World.get()); }},
    };
    for (auto const &Case : Cases) {
        Case.Call();
        ExpectLoggedFrom(KelvoErrorLogMessage, KelvoWorldPoseLogMessage, Case.Message);
    }
    for (int Element = 0; Element < 10 * 16; ++Element) {
        ASSERT_EQ(World->WorldTransformBuffer[Element], World->WorldTransformBuffer[0])
            << "a refused build wrote";
    }
}

} // namespace
