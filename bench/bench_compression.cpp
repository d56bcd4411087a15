// Section compression: Fenwa1 beside zlib (levels 6 and 9) and zstd (level 19)
// on a generated corpus of section-like data, each section compressed on its
// own as the file builder would. Fenwa1's decoding is also measured with the
// reference decoder the library's is checked against. Fenwa1 codes the three regions of a section
// as its three pieces; the references take the section whole.
//
// The corpus (about 13 MiB, fixed seeds): vertex arrays of parametric meshes
// with displacement noise (rigid: position, normal, UV; deformable: with four
// bone weights and indices), 16- and 32-bit triangle index lists, animation
// curves (float knots and quaternion/position controls, and 16- and 8-bit
// quantized curves with their scale records), and string tables (bone,
// material and texture names, paths, type member names) beside small mixed
// records. The summary printed first gives the sizes by kind.
#include "fenwa1_reference.h"
#include "kelvo2.h"

#include <benchmark/benchmark.h>
#include <zlib.h>
#include <zstd.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct section {
    char const *Kind;
    std::vector<unsigned char> Bytes;
    int First16Bit;
    int First8Bit;
};

// ---- corpus ------------------------------------------------------------------

struct section_writer {
    std::vector<unsigned char> Region32, Region16, Region8;

    void Float(float Value) { Append(Region32, &Value, 4); }
    void Int32(int32_t Value) { Append(Region32, &Value, 4); }
    void Int16(uint16_t Value) { Append(Region16, &Value, 2); }
    void Byte(uint8_t Value) { Region8.push_back(Value); }
    void Text(std::string const &Value) {
        Region8.insert(Region8.end(), Value.begin(), Value.end());
        Region8.push_back(0);
    }
    void MixedInt32(int32_t Value) { Append(Region8, &Value, 4); }
    void MixedFloat(float Value) { Append(Region8, &Value, 4); }
    static void Append(std::vector<unsigned char> &To, void const *From, size_t Count) {
        auto const *Bytes = static_cast<unsigned char const *>(From);
        To.insert(To.end(), Bytes, Bytes + Count);
    }

    section Finish(char const *Kind) {
        section Result{Kind, {}, 0, 0};
        Result.Bytes = Region32;
        Result.First16Bit = (int)Result.Bytes.size();
        Result.Bytes.insert(Result.Bytes.end(), Region16.begin(), Region16.end());
        while (Result.Bytes.size() % 4) {
            Result.Bytes.push_back(0);
        }
        Result.First8Bit = (int)Result.Bytes.size();
        Result.Bytes.insert(Result.Bytes.end(), Region8.begin(), Region8.end());
        return Result;
    }
};

struct vector3 {
    float X, Y, Z;
};

vector3 Normalize(vector3 V) {
    float Length = sqrtf(V.X * V.X + V.Y * V.Y + V.Z * V.Z);
    return Length > 0 ? vector3{V.X / Length, V.Y / Length, V.Z / Length} : vector3{0, 0, 1};
}

// A lumpy surface of revolution (limbs, torsos, props) sampled on a grid.
struct surface {
    int Rings, Segments;
    float Radius, Height, Lumps;
};

vector3 SurfacePoint(surface const &Shape, float U, float V, float Phase) {
    float Angle = U * 6.2831853f;
    float Profile = sinf(V * 3.1415927f) * (1.0f + 0.25f * sinf(V * 9.0f + Phase)) + 0.05f;
    float Bumps = 1.0f + Shape.Lumps * sinf(Angle * 3.0f + Phase) * sinf(V * 11.0f);
    float R = Shape.Radius * Profile * Bumps;
    return {R * cosf(Angle), Shape.Height * (V - 0.5f), R * sinf(Angle)};
}

void WriteMesh(section_writer &Writer, surface const &Shape, bool Deformable, std::mt19937 &Random,
               int BoneCount) {
    std::normal_distribution<float> Noise(0.0f, 0.002f);
    float Phase = (float)(Random() % 1000) * 0.01f;
    for (int Ring = 0; Ring <= Shape.Rings; ++Ring) {
        for (int Segment = 0; Segment <= Shape.Segments; ++Segment) {
            float U = (float)Segment / (float)Shape.Segments;
            float V = (float)Ring / (float)Shape.Rings;
            vector3 P = SurfacePoint(Shape, U, V, Phase);
            vector3 Du = SurfacePoint(Shape, U + 0.001f, V, Phase);
            vector3 Dv = SurfacePoint(Shape, U, V + 0.001f, Phase);
            vector3 A = {Du.X - P.X, Du.Y - P.Y, Du.Z - P.Z};
            vector3 B = {Dv.X - P.X, Dv.Y - P.Y, Dv.Z - P.Z};
            vector3 N =
                Normalize({A.Y * B.Z - A.Z * B.Y, A.Z * B.X - A.X * B.Z, A.X * B.Y - A.Y * B.X});
            Writer.Float(P.X + Noise(Random));
            Writer.Float(P.Y + Noise(Random));
            Writer.Float(P.Z + Noise(Random));
            if (Deformable) {
                // Weights to the bones along the height, as a skinning tool
                // leaves them: mostly one or two bones, quantized to bytes.
                float Along = V * (float)(BoneCount - 1);
                int Bone = (int)Along;
                float Blend = Along - (float)Bone;
                uint8_t Second = (uint8_t)(Blend * 255.0f + 0.5f);
                uint32_t Weights = (uint32_t)(255 - Second) | (uint32_t)Second << 8;
                uint32_t Bones = (uint32_t)Bone | (uint32_t)(Bone + 1 < BoneCount ? Bone + 1 : Bone)
                                                      << 8;
                Writer.Int32((int32_t)Weights);
                Writer.Int32((int32_t)Bones);
            }
            Writer.Float(N.X);
            Writer.Float(N.Y);
            Writer.Float(N.Z);
            Writer.Float(U);
            Writer.Float(1.0f - V);
        }
    }
}

void WriteIndices(section_writer &Writer, surface const &Shape, bool Wide) {
    int Row = Shape.Segments + 1;
    for (int Ring = 0; Ring < Shape.Rings; ++Ring) {
        for (int Segment = 0; Segment < Shape.Segments; ++Segment) {
            int A = Ring * Row + Segment, B = A + 1, C = A + Row, D = C + 1;
            int Triangle[6] = {A, C, B, B, C, D};
            for (int Index : Triangle) {
                if (Wide) {
                    Writer.Int32(Index);
                } else {
                    Writer.Int16((uint16_t)Index);
                }
            }
        }
    }
}

std::string const &Pick(std::vector<std::string> const &Names, std::mt19937 &Random) {
    return Names[Random() % Names.size()];
}

std::vector<std::string> BoneNames() {
    static char const *Parts[] = {"Pelvis",   "Spine",    "Chest",   "Neck", "Head",
                                  "Clavicle", "UpperArm", "Forearm", "Hand", "Finger",
                                  "Thigh",    "Calf",     "Foot",    "Toe",  "Jaw",
                                  "Eye",      "Brow",     "Tail",    "Cape", "Hair"};
    std::vector<std::string> Names;
    for (char const *Side : {"L_", "R_", ""}) {
        for (char const *Part : Parts) {
            for (int Index = 0; Index < 3; ++Index) {
                Names.push_back(std::string("Skel_") + Side + Part +
                                (Index ? "_0" + std::to_string(Index) : ""));
            }
        }
    }
    return Names;
}

// Animation tracks: per bone a float B-spline of orientation, position and
// scale, or quantized curves with their scale and offset records.
void WriteCurves(section_writer &Writer, std::mt19937 &Random, int BoneCount, int FrameCount,
                 bool Quantized) {
    std::uniform_real_distribution<float> Unit(-1.0f, 1.0f);
    for (int Bone = 0; Bone < BoneCount; ++Bone) {
        float Speed = 0.5f + 2.0f * (float)(Random() % 100) / 100.0f;
        float Amplitude = 0.05f + 0.5f * (float)(Random() % 100) / 100.0f;
        float Phase = Unit(Random) * 3.0f;
        int KnotCount = FrameCount / (1 + (int)(Random() % 4));
        bool Animated = Random() % 5 != 0;
        if (!Animated) {
            KnotCount = 1;
        }
        Writer.Int32(KnotCount);
        for (int Knot = 0; Knot < KnotCount; ++Knot) {
            float Time = (float)Knot * (float)FrameCount / (float)KnotCount / 30.0f;
            float Angle = Amplitude * sinf(Speed * Time + Phase);
            float Twist = 0.3f * Amplitude * cosf(1.7f * Speed * Time);
            float Q[4] = {sinf(Angle * 0.5f), sinf(Twist * 0.5f), 0.0f, 0.0f};
            Q[3] = sqrtf(fmaxf(0.0f, 1.0f - Q[0] * Q[0] - Q[1] * Q[1]));
            if (Quantized) {
                Writer.Int16((uint16_t)(Time * 30.0f + 0.5f));
                for (float Component : Q) {
                    Writer.Int16((uint16_t)((Component * 0.5f + 0.5f) * 65535.0f));
                }
                Writer.Byte((uint8_t)((Angle / (2 * Amplitude) + 0.5f) * 255.0f));
                Writer.Byte((uint8_t)((Twist / (2 * Amplitude) + 0.5f) * 255.0f));
            } else {
                Writer.Float(Time);
                for (float Component : Q) {
                    Writer.Float(Component);
                }
                // Positions: the bone's rest offset, moving only at the root.
                Writer.Float(Bone == 0 ? 0.8f * Time : 0.0f);
                Writer.Float(Bone == 0 ? 0.95f + 0.02f * sinf(4 * Time) : 0.12f);
                Writer.Float(0.0f);
            }
        }
        if (Quantized) {
            // Scale and offset records of the quantized tracks: mixed sizes.
            Writer.MixedFloat(2.0f * Amplitude);
            Writer.MixedFloat(-Amplitude);
            Writer.MixedInt32(KnotCount);
            Writer.MixedInt32(Bone);
        }
    }
}

void WriteStrings(section_writer &Writer, std::mt19937 &Random, int Count) {
    std::vector<std::string> Bones = BoneNames();
    std::vector<std::string> Materials = {"Skin",       "Cloth_Dark", "Cloth_Light", "Leather",
                                          "Metal_Worn", "Hair_Cards", "Eye_Wet",     "Teeth"};
    std::vector<std::string> Characters = {"knight", "archer",   "villager_f",   "villager_m",
                                           "wolf",   "merchant", "guard_captain"};
    std::vector<std::string> Maps = {"diffuse", "normal", "specular", "mask", "emissive"};
    std::vector<std::string> Members = {"Position",
                                        "Normal",
                                        "Tangent",
                                        "Binormal",
                                        "TextureCoordinates0",
                                        "BoneWeights",
                                        "BoneIndices",
                                        "DiffuseColor",
                                        "Name",
                                        "ParentIndex",
                                        "LocalTransform",
                                        "InverseWorldTransform",
                                        "LODError",
                                        "Flags"};
    for (int Index = 0; Index < Count; ++Index) {
        std::string const &Character = Pick(Characters, Random);
        switch (Random() % 5) {
        case 0:
            Writer.Text(Pick(Bones, Random));
            break;
        case 1:
            Writer.Text(Character + "_" + Pick(Materials, Random));
            break;
        case 2:
            Writer.Text("textures/characters/" + Character + "/" + Character + "_" +
                        Pick(Materials, Random) + "_" + Pick(Maps, Random) + ".tga");
            break;
        case 3:
            Writer.Text(Pick(Members, Random));
            break;
        default:
            Writer.Text("C:/work/assets/characters/" + Character + "/source/" + Character +
                        "_rig_v" + std::to_string(1 + Random() % 12) + ".scene");
            break;
        }
        // A member record beside each name: type, name pointer (zero on disk),
        // array width and offset.
        Writer.MixedInt32((int32_t)(Random() % 24));
        Writer.MixedInt32(0);
        Writer.MixedInt32(Random() % 4 ? 0 : (int32_t)(1 + Random() % 16));
        Writer.MixedInt32((int32_t)(4 * (Random() % 64)));
    }
}

// A skeleton record array: parent index, local transform, inverse world matrix.
void WriteSkeleton(section_writer &Writer, std::mt19937 &Random, int BoneCount) {
    std::uniform_real_distribution<float> Offset(-0.3f, 0.3f);
    for (int Bone = 0; Bone < BoneCount; ++Bone) {
        Writer.Int32(0); // name pointer
        Writer.Int32(Bone == 0 ? -1 : (int32_t)(Random() % Bone));
        Writer.Int32(Random() % 3 ? 3 : 7); // transform flags
        vector3 Position = {Offset(Random), Offset(Random) + 0.2f, Offset(Random)};
        float Matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        for (float Value : {Position.X, Position.Y, Position.Z, 0.0f, 0.0f, 0.0f, 1.0f}) {
            Writer.Float(Value);
        }
        for (int Index = 0; Index < 9; ++Index) {
            Writer.Float(Index % 4 == 0 ? 1.0f : 0.0f);
        }
        Matrix[12] = -Position.X * (float)(Bone % 5);
        Matrix[13] = -Position.Y * (float)(Bone % 7);
        Matrix[14] = -Position.Z;
        for (float Value : Matrix) {
            Writer.Float(Value);
        }
        Writer.Float(0.001f * (float)(Random() % 100)); // LOD error
    }
}

std::vector<section> const &Corpus() {
    static std::vector<section> Sections = [] {
        std::vector<section> Result;
        std::mt19937 Random(2024);
        surface Shapes[] = {{96, 128, 0.4f, 1.8f, 0.10f}, {64, 64, 0.15f, 0.7f, 0.20f},
                            {48, 96, 0.3f, 0.5f, 0.05f},  {128, 160, 0.5f, 1.2f, 0.15f},
                            {40, 40, 0.1f, 0.3f, 0.30f},  {80, 112, 0.25f, 1.0f, 0.08f}};
        // Two characters' worth: the second with denser meshes and longer clips.
        for (int Character = 0; Character < 2; ++Character) {
            int ShapeIndex = 0;
            for (surface Shape : Shapes) {
                Shape.Rings += Character * Shape.Rings / 2;
                Shape.Segments += Character * Shape.Segments / 3;
                bool Deformable = (ShapeIndex + Character) % 2 == 0;
                section_writer Vertices;
                WriteMesh(Vertices, Shape, Deformable, Random, 4 + ShapeIndex * 3);
                Result.push_back(
                    Vertices.Finish(Deformable ? "deformable vertices" : "rigid vertices"));
                section_writer Indices;
                WriteIndices(Indices, Shape, ShapeIndex == 3);
                Result.push_back(Indices.Finish("indices"));
                ++ShapeIndex;
            }
            for (int Animation = 0; Animation < 6; ++Animation) {
                section_writer Curves;
                WriteCurves(Curves, Random, 60 + 10 * Animation + 20 * Character,
                            120 + 60 * Animation, Animation % 2 == 1);
                Result.push_back(Curves.Finish("curves"));
            }
            for (int File = 0; File < 4; ++File) {
                section_writer Main;
                WriteSkeleton(Main, Random, 60 + 20 * File);
                WriteStrings(Main, Random, 4000 + 2000 * File);
                Result.push_back(Main.Finish("strings and records"));
            }
        }
        return Result;
    }();
    return Sections;
}

size_t CorpusBytes() {
    size_t Total = 0;
    for (section const &Section : Corpus()) {
        Total += Section.Bytes.size();
    }
    return Total;
}

// ---- codecs ------------------------------------------------------------------

std::vector<unsigned char> Fenwa1Compress(section const &Section) {
    int Size = (int)Section.Bytes.size();
    kelvo_fenwa1_compressor *State = KelvoFenwa1BeginSimple(Size, 3);
    unsigned char const *Bytes = Section.Bytes.data();
    KelvoFenwa1Compress(State, Section.First16Bit, Bytes);
    KelvoFenwa1Compress(State, Section.First8Bit - Section.First16Bit, Bytes + Section.First16Bit);
    KelvoFenwa1Compress(State, Size - Section.First8Bit, Bytes + Section.First8Bit);
    void *Out = nullptr;
    int OutSize = KelvoFenwa1End(State, &Out, 0);
    std::vector<unsigned char> Result(static_cast<unsigned char *>(Out),
                                      static_cast<unsigned char *>(Out) + OutSize);
    KelvoFenwa1FreeSimple(State);
    return Result;
}

bool Fenwa1Decompress(section const &Section, std::vector<unsigned char> const &Stored,
                      std::vector<unsigned char> &Out) {
    Out.resize(Section.Bytes.size());
    return KelvoDecompressData(KelvoFenwa1Compression, 0, (kelvo_int32)Stored.size(), Stored.data(),
                               Section.First16Bit, Section.First8Bit, (kelvo_int32)Out.size(),
                               Out.data()) != 0;
}

bool Fenwa1ReferenceDecompress(section const &Section, std::vector<unsigned char> const &Stored,
                               std::vector<unsigned char> &Out) {
    Out.resize(Section.Bytes.size());
    kelvo_int32 const Stops[3] = {Section.First16Bit, Section.First8Bit, (kelvo_int32)Out.size()};
    return kelvo::ReferenceFenwa1DecodePieces(false, (kelvo_int32)Stored.size(), Stored.data(), 3,
                                              Stops, (kelvo_int32)Out.size(), Out.data());
}

std::vector<unsigned char> ZlibCompress(section const &Section, int Level) {
    uLongf Size = compressBound(Section.Bytes.size());
    std::vector<unsigned char> Result(Size);
    compress2(Result.data(), &Size, Section.Bytes.data(), Section.Bytes.size(), Level);
    Result.resize(Size);
    return Result;
}

bool ZlibDecompress(section const &Section, std::vector<unsigned char> const &Stored,
                    std::vector<unsigned char> &Out) {
    Out.resize(Section.Bytes.size());
    uLongf Size = Out.size();
    return uncompress(Out.data(), &Size, Stored.data(), Stored.size()) == Z_OK &&
           Size == Out.size();
}

std::vector<unsigned char> ZstdCompress(section const &Section, int Level) {
    std::vector<unsigned char> Result(ZSTD_compressBound(Section.Bytes.size()));
    size_t Size = ZSTD_compress(Result.data(), Result.size(), Section.Bytes.data(),
                                Section.Bytes.size(), Level);
    Result.resize(ZSTD_isError(Size) ? 0 : Size);
    return Result;
}

bool ZstdDecompress(section const &Section, std::vector<unsigned char> const &Stored,
                    std::vector<unsigned char> &Out) {
    Out.resize(Section.Bytes.size());
    size_t Size = ZSTD_decompress(Out.data(), Out.size(), Stored.data(), Stored.size());
    return !ZSTD_isError(Size) && Size == Out.size();
}

struct codec {
    char const *Name;
    std::vector<unsigned char> (*Compress)(section const &, int);
    bool (*Decompress)(section const &, std::vector<unsigned char> const &,
                       std::vector<unsigned char> &);
    int Level;
};

std::vector<unsigned char> Fenwa1CompressAtLevel(section const &Section, int) {
    return Fenwa1Compress(Section);
}

codec const Codecs[] = {
    {"Fenwa1", &Fenwa1CompressAtLevel, &Fenwa1Decompress, 0},
    {"zlib -6", &ZlibCompress, &ZlibDecompress, 6},
    {"zlib -9", &ZlibCompress, &ZlibDecompress, 9},
    {"zstd -19", &ZstdCompress, &ZstdDecompress, 19},
};

std::vector<std::vector<unsigned char>> CompressAll(codec const &Codec) {
    std::vector<std::vector<unsigned char>> Stored;
    for (section const &Section : Corpus()) {
        Stored.push_back(Codec.Compress(Section, Codec.Level));
    }
    return Stored;
}

void Encode(benchmark::State &State, codec const &Codec) {
    size_t Compressed = 0;
    for (auto _ : State) {
        Compressed = 0;
        for (auto const &Stored : CompressAll(Codec)) {
            Compressed += Stored.size();
        }
    }
    State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)CorpusBytes());
    State.counters["compressed"] = (double)Compressed;
    State.counters["ratio"] = (double)Compressed / (double)CorpusBytes();
}

void Decode(benchmark::State &State, codec const &Codec) {
    auto const Stored = CompressAll(Codec);
    std::vector<unsigned char> Out;
    for (auto _ : State) {
        for (size_t Index = 0; Index < Stored.size(); ++Index) {
            section const &Section = Corpus()[Index];
            if (!Codec.Decompress(Section, Stored[Index], Out) || Out != Section.Bytes) {
                State.SkipWithError("decoded bytes differ");
                return;
            }
        }
    }
    State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)CorpusBytes());
}

// Sizes by kind of data, once, before the timings.
void PrintSummary() {
    std::vector<std::string> Kinds;
    for (section const &Section : Corpus()) {
        if (std::find(Kinds.begin(), Kinds.end(), Section.Kind) == Kinds.end()) {
            Kinds.push_back(Section.Kind);
        }
    }
    printf("%-22s %12s", "kind", "bytes");
    for (codec const &Codec : Codecs) {
        printf(" %12s", Codec.Name);
    }
    printf("\n");
    std::vector<std::vector<std::vector<unsigned char>>> Stored;
    for (codec const &Codec : Codecs) {
        Stored.push_back(CompressAll(Codec));
    }
    Kinds.push_back("all");
    for (std::string const &Kind : Kinds) {
        size_t Raw = 0;
        std::vector<size_t> Sizes(std::size(Codecs), 0);
        for (size_t Index = 0; Index < Corpus().size(); ++Index) {
            if (Kind != "all" && Kind != Corpus()[Index].Kind) {
                continue;
            }
            Raw += Corpus()[Index].Bytes.size();
            for (size_t Codec = 0; Codec < std::size(Codecs); ++Codec) {
                Sizes[Codec] += Stored[Codec][Index].size();
            }
        }
        printf("%-22s %12zu", Kind.c_str(), Raw);
        for (size_t Size : Sizes) {
            printf(" %12zu", Size);
        }
        printf("\n");
    }
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    PrintSummary();
    for (codec const &Codec : Codecs) {
        benchmark::RegisterBenchmark((std::string("Encode/") + Codec.Name).c_str(), Encode, Codec)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Decode/") + Codec.Name).c_str(), Decode, Codec)
            ->Unit(benchmark::kMillisecond);
    }
    codec const Reference = {"Fenwa1 reference", &Fenwa1CompressAtLevel,
                              &Fenwa1ReferenceDecompress, 0};
    benchmark::RegisterBenchmark("Decode/Fenwa1 reference", Decode, Reference)
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
