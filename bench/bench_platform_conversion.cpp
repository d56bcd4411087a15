// Loading a 16 MiB tree written for this build's platform, for the other byte
// order (bulk reversal plus marshalling of mixed records) and for the other
// pointer size (the whole tree rebuilt by platform conversion), each from a
// memory reader; and KelvoCheckFileDataTree over the native tree. The foreign
// loads and the check report their time as a multiple of the
// native load's, measured in the same run ("vs_native").
#include "kelvo2.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <initializer_list>
#include <map>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<kelvo_uint8>;

#pragma pack(push, 4)
struct vertex {
    kelvo_real32 Position[3];
    kelvo_real32 Normal[3];
    kelvo_real32 UV[2];
};
struct bone {
    char const *Name;
    kelvo_int32 Parent;
    kelvo_transform Transform;
    bone *Next;
};
struct mixed { // 32-, 16- and 8-bit members: marshalled record by record
    kelvo_uint32 Key;
    kelvo_int16 Weights[2];
    kelvo_uint8 Bones[4];
};
struct mesh {
    char const *Name;
    kelvo_int32 VertexCount;
    vertex *Vertices;
    kelvo_int32 IndexCount;
    kelvo_uint16 *Indices;
    kelvo_int32 BoneCount;
    bone *Bones;
    kelvo_int32 MixedCount;
    mixed *Mixed;
};
#pragma pack(pop)

kelvo_data_type_definition Member(kelvo_member_type Type, char const *Name,
                                  kelvo_data_type_definition const *Reference = nullptr,
                                  kelvo_int32 Width = 0) {
    kelvo_data_type_definition Result = {};
    Result.Type = Type;
    Result.Name = Name;
    Result.ReferenceType = Reference;
    Result.ArrayWidth = Width;
    return Result;
}

kelvo_data_type_definition const End = {};
kelvo_data_type_definition const VertexType[] = {Member(KelvoReal32Member, "Position", nullptr, 3),
                                                 Member(KelvoReal32Member, "Normal", nullptr, 3),
                                                 Member(KelvoReal32Member, "UV", nullptr, 2), End};
extern kelvo_data_type_definition const BoneType[];
kelvo_data_type_definition const BoneType[] = {
    Member(KelvoStringMember, "Name"), Member(KelvoInt32Member, "Parent"),
    Member(KelvoTransformMember, "Transform"), Member(KelvoReferenceMember, "Next", BoneType), End};
kelvo_data_type_definition const MixedType[] = {Member(KelvoUInt32Member, "Key"),
                                                Member(KelvoInt16Member, "Weights", nullptr, 2),
                                                Member(KelvoUInt8Member, "Bones", nullptr, 4), End};
kelvo_data_type_definition const MeshType[] = {
    Member(KelvoStringMember, "Name"),
    Member(KelvoReferenceToArrayMember, "Vertices", VertexType),
    Member(KelvoReferenceToArrayMember, "Indices", KelvoUInt16Type),
    Member(KelvoReferenceToArrayMember, "Bones", BoneType),
    Member(KelvoReferenceToArrayMember, "Mixed", MixedType),
    End};

constexpr kelvo_int32 VertexCount = 256 * 1024; // 8 MiB
constexpr kelvo_int32 IndexCount = 1024 * 1024; // 2 MiB
constexpr kelvo_int32 BoneCount = 48 * 1024;    // about 4 MiB with 64-bit pointers
constexpr kelvo_int32 MixedCount = 128 * 1024;  // 1.5 MiB

struct tree {
    std::vector<vertex> Vertices;
    std::vector<kelvo_uint16> Indices;
    std::vector<bone> Bones;
    std::vector<std::string> Names;
    std::vector<mixed> Mixed;
    bone Skeleton = {"skeleton", -1, {}, nullptr}; // every bone points at it
    mesh Root = {};

    tree() : Vertices(VertexCount), Indices(IndexCount), Bones(BoneCount), Mixed(MixedCount) {
        for (kelvo_int32 Index = 0; Index < VertexCount; ++Index) {
            vertex &V = Vertices[Index];
            for (kelvo_int32 Axis = 0; Axis < 3; ++Axis) {
                V.Position[Axis] = (kelvo_real32)(Index % 977) * 0.01f + (kelvo_real32)Axis;
                V.Normal[Axis] = (kelvo_real32)Axis * 0.5f;
            }
            V.UV[0] = V.UV[1] = (kelvo_real32)(Index % 256) / 256.0f;
        }
        for (kelvo_int32 Index = 0; Index < IndexCount; ++Index) {
            Indices[Index] = (kelvo_uint16)(Index * 7);
        }
        for (kelvo_int32 Index = 0; Index < BoneCount; ++Index) {
            Names.push_back("bone_" + std::to_string(Index));
        }
        for (kelvo_int32 Index = 0; Index < BoneCount; ++Index) {
            bone &B = Bones[Index];
            B.Name = Names[Index].c_str();
            B.Parent = Index - 1;
            KelvoMakeIdentity(&B.Transform);
            B.Next = &Skeleton;
        }
        KelvoMakeIdentity(&Skeleton.Transform);
        for (kelvo_int32 Index = 0; Index < MixedCount; ++Index) {
            Mixed[Index] = {(kelvo_uint32)Index, {(kelvo_int16)Index, 3}, {1, 2, 3, 4}};
        }
        Root = {"mesh",    VertexCount,  Vertices.data(), IndexCount,  Indices.data(),
                BoneCount, Bones.data(), MixedCount,      Mixed.data()};
    }
};

bytes WriteFor(kelvo_int32 PointerBits, bool LittleEndian) {
    static tree Tree;
    kelvo_file_magic_value Magic;
    KelvoGetMagicValueForPlatform(PointerBits, LittleEndian, &Magic);
    kelvo_file_data_tree_writer *Writer = KelvoBeginFileDataTreeWriting(MeshType, &Tree.Root, 0, 0);
    kelvo_file_builder *Builder = KelvoBeginFileInMemory(1, KelvoCurrentTypeTag, &Magic, 1 << 20);
    kelvo_file_writer *Output = KelvoCreateMemoryFileWriter(__FILE__, __LINE__, 1 << 20);
    if (!Writer || !Builder || !KelvoWriteDataTreeToFileBuilder(Writer, Builder) ||
        !KelvoEndFileToWriter(Builder, Output)) {
        abort();
    }
    KelvoEndFileDataTreeWriting(Writer);
    kelvo_uint8 *Buffer;
    kelvo_int32 Size;
    KelvoStealMemoryWriterBuffer(Output, &Buffer, &Size);
    bytes Image(Buffer, Buffer + Size);
    KelvoFreeMemoryWriterBuffer(Buffer);
    KelvoDeleteFileWriter(Output);
    return Image;
}

constexpr kelvo_int32 ThisBits = (kelvo_int32)sizeof(void *) * 8;
constexpr kelvo_int32 OtherBits = ThisBits == 64 ? 32 : 64;

// Each image is written once, on first use.
bytes const &Image(kelvo_int32 Bits, bool LittleEndian) {
    static std::map<std::pair<kelvo_int32, bool>, bytes> Images;
    auto [At, Added] = Images.try_emplace({Bits, LittleEndian});
    if (Added) {
        At->second = WriteFor(Bits, LittleEndian);
    }
    return At->second;
}
bytes const &Native() {
    return Image(ThisBits, true);
}

double LoadSeconds(bytes const &Image) {
    auto Start = std::chrono::steady_clock::now();
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Image.size(), Image.data());
    double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    if (!Root.Object) {
        abort();
    }
    KelvoFreeFile(File);
    return Seconds;
}

// The best of a few native loads: the reference every ratio divides by.
double NativeSeconds() {
    static double Best = [] {
        double Result = 1e9;
        for (int Round = 0; Round < 8; ++Round) {
            double Seconds = LoadSeconds(Native());
            Result = Seconds < Result ? Seconds : Result;
        }
        return Result;
    }();
    return Best;
}

void Load(benchmark::State &State, bytes const &Image) {
    double Best = 1e9;
    for (auto _ : State) {
        double Seconds = LoadSeconds(Image);
        Best = Seconds < Best ? Seconds : Best;
    }
    State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Native().size());
    State.counters["file_MiB"] = (double)Image.size() / (1 << 20);
    State.counters["vs_native"] = Best / NativeSeconds();
}

// The tree check an application runs on an untrusted file, after a native
// load: its cost as a multiple of that load.
void CheckNativeTree(benchmark::State &State) {
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Native().size(), Native().data());
    double Best = 1e9;
    for (auto _ : State) {
        auto Start = std::chrono::steady_clock::now();
        if (!KelvoCheckFileDataTree(File)) {
            abort();
        }
        double Seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        Best = Seconds < Best ? Seconds : Best;
    }
    KelvoFreeFile(File);
    State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Native().size());
    State.counters["vs_native"] = Best / NativeSeconds();
}

void KELVO_CALLBACK Quiet(kelvo_log_message_type, kelvo_log_message_origin, char const *, void *) {}

void LoadImage(benchmark::State &State, kelvo_int32 Bits, bool LittleEndian) {
    Load(State, Image(Bits, LittleEndian));
}

} // namespace

struct image_load {
    char const *Name;
    kelvo_int32 Bits;
    bool LittleEndian;
};
[[maybe_unused]] bool const Registered = [] {
    for (image_load const &Each : {image_load{"LoadNative", ThisBits, true},
                                   {"LoadOtherByteOrder", ThisBits, false},
                                   {"LoadOtherPointerSize", OtherBits, true},
                                   {"LoadOtherPointerSizeAndByteOrder", OtherBits, false}}) {
        benchmark::RegisterBenchmark(Each.Name, [Each](benchmark::State &State) {
            LoadImage(State, Each.Bits, Each.LittleEndian);
        })->Unit(benchmark::kMillisecond);
    }
    return true;
}();
BENCHMARK(CheckNativeTree)->Unit(benchmark::kMillisecond);

int main(int ArgumentCount, char **Arguments) {
    // The foreign loads announce themselves on every call.
    kelvo_log_callback Callback = {&Quiet, nullptr};
    KelvoSetLogCallback(&Callback);
    benchmark::Initialize(&ArgumentCount, Arguments);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
