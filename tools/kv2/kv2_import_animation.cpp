// kv2 import, the animations: each becomes one track group for the model,
// a transform track per animated node. Channels are sampled at even steps
// as the source interpolates its keys (linear positions and scales,
// spherical rotations) and every curve is fitted and compressed within the
// tolerance of its kind.
#include "kv2_fitting.h"
#include "kv2_import.h"

#include <assimp/anim.h>
#include <assimp/scene.h>

#include <math.h>
#include <string.h>

#include <algorithm>
#include <map>

namespace kv2 {

namespace {

// Index of the last key at or before Time (0 before the first).
template <class Key> unsigned KeyBefore(Key const *Keys, unsigned Count, double Time) {
    unsigned Low = 0, High = Count;
    while (High - Low > 1) {
        unsigned Middle = Low + (High - Low) / 2;
        (Keys[Middle].mTime <= Time ? Low : High) = Middle;
    }
    return Low;
}

template <class Key> double Fraction(Key const *Keys, unsigned Count, unsigned At, double Time) {
    if (At + 1 >= Count || Time <= Keys[At].mTime) {
        return 0;
    }
    double Span = Keys[At + 1].mTime - Keys[At].mTime;
    return Span > 0 ? std::min(1.0, (Time - Keys[At].mTime) / Span) : 0;
}

// The value of Keys at Time, Blend joining two neighbours; Rest without keys.
template <class Key, class Value, class Join>
Value ValueAt(Key const *Keys, unsigned Count, double Time, Value Rest, Join const &Blend) {
    if (Count == 0) {
        return Rest;
    }
    unsigned At = KeyBefore(Keys, Count, Time);
    double F = Fraction(Keys, Count, At, Time);
    return F == 0 ? Keys[At].mValue : Blend(Keys[At].mValue, Keys[At + 1].mValue, (ai_real)F);
}

aiVector3D VectorAt(aiVectorKey const *Keys, unsigned Count, double Time, aiVector3D Rest) {
    return ValueAt(
        Keys, Count, Time, Rest,
        [](aiVector3D const &A, aiVector3D const &B, ai_real F) { return A + (B - A) * F; });
}

aiQuaternion RotationAt(aiQuatKey const *Keys, unsigned Count, double Time, aiQuaternion Rest) {
    return ValueAt(Keys, Count, Time, Rest,
                   [](aiQuaternion const &A, aiQuaternion const &B, ai_real F) {
                       aiQuaternion Result;
                       aiQuaternion::Interpolate(Result, A, B, F);
                       return Result;
                   });
}

// The sampling rate of an animation: asked for, or that of its closest keys.
double SampleRate(aiAnimation const *Animation, double TicksPerSecond, double Asked) {
    if (Asked > 0) {
        return Asked;
    }
    double Closest = 0;
    auto Look = [&](auto const *Keys, unsigned Count) {
        for (unsigned Index = 1; Index < Count; ++Index) {
            double Step = (Keys[Index].mTime - Keys[Index - 1].mTime) / TicksPerSecond;
            if (Step > 1.0e-4 && (Closest == 0 || Step < Closest)) {
                Closest = Step;
            }
        }
    };
    for (unsigned Index = 0; Index < Animation->mNumChannels; ++Index) {
        aiNodeAnim const *Channel = Animation->mChannels[Index];
        Look(Channel->mPositionKeys, Channel->mNumPositionKeys);
        Look(Channel->mRotationKeys, Channel->mNumRotationKeys);
        Look(Channel->mScalingKeys, Channel->mNumScalingKeys);
    }
    for (unsigned Index = 0; Index < Animation->mNumMorphMeshChannels; ++Index) {
        aiMeshMorphAnim const *Channel = Animation->mMorphMeshChannels[Index];
        Look(Channel->mKeys, Channel->mNumKeys);
    }
    // Sampled at least 30 times a second: between distant keys the fitted
    // curve must follow the spherical path, not the chord.
    return Closest > 0 ? std::min(std::max(1.0 / Closest, 30.0), 1000.0) : 30.0;
}

// The largest error halfway between samples, against the straight path
// between them (normalized for orientations) that the source's keys take:
// a fit checked only at the samples may swing between them.
double MidpointError(kelvo_curve2 const *Curve, curve_kind Kind,
                     std::vector<kelvo_real32> const &Samples, kelvo_int32 Dimension,
                     kelvo_int32 Count, kelvo_real32 Step) {
    bool Orientation = Kind == OrientationCurve;
    double Largest = 0;
    for (kelvo_int32 Sample = 0; Sample + 1 < Count; ++Sample) {
        kelvo_real32 Value[16];
        KelvoEvaluateCurveAtT(Dimension, Orientation, false, Curve, false, (Count - 1) * Step,
                              ((kelvo_real32)Sample + 0.5f) * Step, Value, IdentityOf(Kind));
        double Expected[16], Length = 0, ValueLength = 0, Distance = 0;
        for (kelvo_int32 C = 0; C < Dimension; ++C) {
            Expected[C] = 0.5 * ((double)Samples[(size_t)(Sample * Dimension + C)] +
                                 Samples[(size_t)((Sample + 1) * Dimension + C)]);
            Length += Expected[C] * Expected[C];
            ValueLength += (double)Value[C] * Value[C];
        }
        // Orientations by direction, as the fit judges them: 1 - cos of
        // the angle, half the squared distance of the unit vectors.
        bool Directions = Orientation && Length > 0 && ValueLength > 0;
        for (kelvo_int32 C = 0; C < Dimension; ++C) {
            double E = Directions ? Expected[C] / sqrt(Length) : Expected[C];
            double V = Directions ? Value[C] / sqrt(ValueLength) : Value[C];
            Distance += (E - V) * (E - V);
        }
        Largest = std::max(Largest, Orientation ? 0.5 * Distance : sqrt(Distance));
    }
    return Largest;
}

struct channel_fit {
    import_settings const &Settings;
    imported_asset &Asset;
    import_summary &Summary;
    bspline_solver *Solver;
    std::vector<kelvo_data_type_definition const *> Formats = AllFittedFormats();

    kelvo_curve2 *Fit(curve_kind Kind, std::vector<kelvo_real32> const &Samples,
                      kelvo_int32 Dimension, kelvo_int32 Count, kelvo_real32 Step) {
        kelvo_real32 Tolerance = Kind == PositionCurve      ? Settings.PositionTolerance
                                 : Kind == OrientationCurve ? Settings.RotationTolerance
                                 : Kind == VectorCurve      ? Settings.WeightTolerance
                                                            : Settings.ScaleTolerance;
        // Largest is the error at the samples (what the summary reports);
        // the choice also weighs the error between them.
        double Largest = 0;
        kelvo_curve2 *Curve = FitSamples(Solver, Kind, 3, Tolerance, Formats, Samples.data(),
                                         Dimension, Count, Step, &Largest);
        double Between = Curve ? MidpointError(Curve, Kind, Samples, Dimension, Count, Step) : 0.0;
        if (Curve && std::max(Largest, Between) > Tolerance) {
            // Cubics cannot follow every capture's jitter; straight lines
            // between the samples can, as a source of linear keys does.
            double LinearLargest = 0;
            kelvo_curve2 *Linear = FitSamples(Solver, Kind, 1, Tolerance, Formats, Samples.data(),
                                              Dimension, Count, Step, &LinearLargest);
            double LinearBetween =
                Linear ? MidpointError(Linear, Kind, Samples, Dimension, Count, Step) : 0.0;
            if (Linear && std::max(LinearLargest, LinearBetween) < std::max(Largest, Between)) {
                std::swap(Curve, Linear);
                Largest = LinearLargest;
            }
            if (Linear) {
                KelvoFreeCurve(Linear);
            }
        }
        if (Curve) {
            Asset.Curves.push_back(Curve);
            Summary.LargestError[Kind] = std::max(Summary.LargestError[Kind], Largest);
            Summary.MissedTolerances += Largest > Tolerance * 1.001 ? 1 : 0;
            Summary.SampleBytes += (long long)Count * Dimension * sizeof(kelvo_real32);
            Summary.CurveBytes += KelvoCurveGetSize(Curve);
        }
        return Curve;
    }
};

bool FitChannel(aiNodeAnim const *Channel, scene_node const &Node, double TicksPerSecond,
                kelvo_int32 Count, kelvo_real32 Step, channel_fit &Fitter,
                kelvo_track_group_builder *Builder) {
    kelvo_real32 RestPosition[3], RestOrientation[4], RestScaleShear[9];
    Decompose(Node.Local, RestPosition, RestOrientation, RestScaleShear);
    aiVector3D const Position(RestPosition[0], RestPosition[1], RestPosition[2]);
    aiQuaternion const Orientation(RestOrientation[3], RestOrientation[0], RestOrientation[1],
                                   RestOrientation[2]);
    aiVector3D const Scale(RestScaleShear[0], RestScaleShear[4], RestScaleShear[8]);
    std::vector<kelvo_real32> P, R, S;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        double Time = Index * (double)Step * TicksPerSecond;
        aiVector3D T = VectorAt(Channel->mPositionKeys, Channel->mNumPositionKeys, Time, Position);
        aiQuaternion Q =
            RotationAt(Channel->mRotationKeys, Channel->mNumRotationKeys, Time, Orientation);
        aiVector3D D = VectorAt(Channel->mScalingKeys, Channel->mNumScalingKeys, Time, Scale);
        P.insert(P.end(), {T.x, T.y, T.z});
        R.insert(R.end(), {Q.x, Q.y, Q.z, Q.w});
        MakeContinuousQuaternion(&R[R.size() - 4], Index ? &R[R.size() - 8] : nullptr);
        S.insert(S.end(), {D.x, 0, 0, 0, D.y, 0, 0, 0, D.z});
    }
    kelvo_curve2 *Curves[3] = {Fitter.Fit(PositionCurve, P, 3, Count, Step),
                               Fitter.Fit(OrientationCurve, R, 4, Count, Step),
                               Fitter.Fit(ScaleShearCurve, S, 9, Count, Step)};
    if (!Curves[0] || !Curves[1] || !Curves[2]) {
        return false;
    }
    KelvoBeginTransformTrack(Builder, Node.Name.c_str());
    KelvoSetTransformTrackPositionCurve(Builder, Curves[0]);
    KelvoSetTransformTrackOrientationCurve(Builder, Curves[1]);
    KelvoSetTransformTrackScaleShearCurve(Builder, Curves[2]);
    KelvoEndTransformTrack(Builder);
    return true;
}

// Weight of source target Target at Time: keys join linearly, a key that
// does not list the target gives it 0, and the channel holds its first and
// last keys beyond them.
double WeightAt(aiMeshMorphAnim const *Channel, unsigned Target, double Time, double Rest) {
    if (Channel->mNumKeys == 0) {
        return Rest;
    }
    auto Of = [Target](aiMeshMorphKey const &Key) {
        for (unsigned Index = 0; Index < Key.mNumValuesAndWeights; ++Index) {
            if (Key.mValues[Index] == Target) {
                return Key.mWeights[Index];
            }
        }
        return 0.0;
    };
    unsigned At = KeyBefore(Channel->mKeys, Channel->mNumKeys, Time);
    double F = Fraction(Channel->mKeys, Channel->mNumKeys, At, Time);
    double Before = Of(Channel->mKeys[At]);
    return F == 0 ? Before : Before + (Of(Channel->mKeys[At + 1]) - Before) * F;
}

// The weights of the morph meshes a channel names: one vector track per
// mesh, named as the mesh, its components the mesh's targets in order. A
// curve holds at most 9 reals, so targets beyond the ninth go to further
// tracks named "MESH@FIRST" after the first target they carry.
bool FitMorphChannel(aiMeshMorphAnim const *Channel, double TicksPerSecond, kelvo_int32 Count,
                     kelvo_real32 Step, imported_asset &Asset, channel_fit &Fitter,
                     std::vector<std::pair<std::string, kelvo_curve2 *>> &Tracks, bool &Found) {
    std::string const Name = Channel->mName.C_Str();
    std::vector<morph_mesh const *> Meshes;
    for (morph_mesh const &Mesh : Asset.MorphMeshes) {
        if (Asset.Nodes[Mesh.Holder].Node->mName.C_Str() == Name) {
            Meshes.push_back(&Mesh);
        }
    }
    for (morph_mesh const &Mesh : Asset.MorphMeshes) {
        if (Meshes.empty() && Mesh.Source->mName.C_Str() == Name) {
            Meshes.push_back(&Mesh);
        }
    }
    Found = !Meshes.empty();
    for (morph_mesh const *Mesh : Meshes) {
        kelvo_int32 Targets = Mesh->Mesh->MorphTargetCount;
        std::vector<double> Rest(Targets, 0.0);
        std::vector<unsigned> SourceOf(Targets, 0);
        for (size_t From = 0; From < Mesh->TargetOfSource.size(); ++From) {
            if (int To = Mesh->TargetOfSource[From]; To >= 0) {
                SourceOf[To] = (unsigned)From;
                Rest[To] = Mesh->Source->mAnimMeshes[From]->mWeight;
            }
        }
        for (kelvo_int32 First = 0; First < Targets; First += 9) {
            kelvo_int32 Dimension = std::min(Targets - First, 9);
            std::vector<kelvo_real32> Samples;
            for (kelvo_int32 Index = 0; Index < Count; ++Index) {
                double Time = Index * (double)Step * TicksPerSecond;
                for (kelvo_int32 Target = First; Target < First + Dimension; ++Target) {
                    Samples.push_back(
                        (kelvo_real32)WeightAt(Channel, SourceOf[Target], Time, Rest[Target]));
                }
            }
            kelvo_curve2 *Curve = Fitter.Fit(VectorCurve, Samples, Dimension, Count, Step);
            if (!Curve) {
                return false;
            }
            std::string Track = Mesh->Mesh->Name;
            Tracks.push_back({First ? Track + "@" + std::to_string(First) : Track, Curve});
        }
    }
    return true;
}

bool BuildAnimation(aiAnimation const *Source, std::string const &Name,
                    import_settings const &Settings, std::map<std::string, int> const &NodeByName,
                    imported_asset &Asset, import_summary &Summary, std::string &Reason) {
    double TicksPerSecond = Source->mTicksPerSecond > 0 ? Source->mTicksPerSecond : 25.0;
    double Duration = Source->mDuration > 0 ? Source->mDuration / TicksPerSecond : 0;
    double Rate = SampleRate(Source, TicksPerSecond, Settings.FramesPerSecond);
    double Frames = ceil(Duration * Rate - 1.0e-6);
    if (!(Frames < 1.0e6)) {
        Reason = "animation '" + Name + "' is too long to sample";
        return false;
    }
    kelvo_int32 Count = std::max(2, (int)Frames + 1);
    if (Duration <= 0) {
        Duration = 1.0 / Rate; // a pose: held over one step
    }
    kelvo_real32 Step = (kelvo_real32)(Duration / (Count - 1));
    std::vector<std::pair<aiNodeAnim const *, int>> Channels;
    for (unsigned Index = 0; Index < Source->mNumChannels; ++Index) {
        aiNodeAnim const *Channel = Source->mChannels[Index];
        auto Found = NodeByName.find(Channel->mNodeName.C_Str());
        if (Found == NodeByName.end()) {
            Summary.Warnings.push_back("animation '" + Name + "' moves '" +
                                       Channel->mNodeName.C_Str() + "', which is no node; skipped");
            continue;
        }
        Channels.push_back({Channel, Found->second});
    }
    bspline_solver *Solver = KelvoAllocateBSplineSolver(3, Count, 9);
    channel_fit Fitter = {Settings, Asset, Summary, Solver};
    bool Fitted = Solver != nullptr;
    std::vector<std::pair<std::string, kelvo_curve2 *>> Weights;
    for (unsigned Index = 0; Fitted && Index < Source->mNumMorphMeshChannels; ++Index) {
        aiMeshMorphAnim const *Channel = Source->mMorphMeshChannels[Index];
        bool Found = false;
        Fitted =
            FitMorphChannel(Channel, TicksPerSecond, Count, Step, Asset, Fitter, Weights, Found);
        if (!Found) {
            Summary.Warnings.push_back("animation '" + Name + "' weighs the morph targets of '" +
                                       Channel->mName.C_Str() + "', which holds none; skipped");
        }
    }
    kelvo_track_group_builder *Builder =
        Fitted ? KelvoBeginTrackGroup(Asset.Model.Name, (kelvo_int32)Weights.size(),
                                      (kelvo_int32)Channels.size(), 0, true)
               : nullptr;
    Fitted = Fitted && Builder;
    for (auto const &[Track, Curve] : Weights) {
        KelvoPushVectorTrackCurve(Builder, Track.c_str(), Curve);
    }
    for (size_t Index = 0; Fitted && Index < Channels.size(); ++Index) {
        Fitted = FitChannel(Channels[Index].first, Asset.Nodes[Channels[Index].second],
                            TicksPerSecond, Count, Step, Fitter, Builder);
        Progress(Settings, Name.c_str(), (int)Index + 1, (int)Channels.size());
    }
    KelvoDeallocateBSplineSolver(Solver);
    kelvo_int32 Size = Builder ? KelvoGetResultingTrackGroupSize(Builder) : 0;
    kelvo_track_group *Group =
        Builder
            ? KelvoEndTrackGroupInPlace(Builder, Fitted && Size > 0 ? Asset.Block(Size) : nullptr)
            : nullptr;
    if (!Fitted || !Group) {
        Reason = "animation '" + Name + "' could not be fitted";
        return false;
    }
    kelvo_track_group_slot *Slot =
        static_cast<kelvo_track_group_slot *>(Asset.Block(sizeof(kelvo_track_group_slot)));
    *Slot = Group;
    kelvo_animation &Animation = Asset.Record<kelvo_animation>();
    Animation = {Asset.String(Name), (kelvo_real32)Duration, Step, 1.0f, 1, Slot};
    Asset.TrackGroups.push_back(Group);
    Asset.Animations.push_back(&Animation);
    Summary.Animations += 1;
    Summary.Tracks += (int)(Channels.size() + Weights.size());
    Summary.WeightTracks += (int)Weights.size();
    return true;
}

} // namespace

bool BuildAnimations(aiScene const *Scene, import_settings const &Settings, imported_asset &Asset,
                     import_summary &Summary, std::string &Reason) {
    std::map<std::string, int> const NodeByName = NodesBySourceName(Asset);
    std::map<std::string, int> Taken;
    for (unsigned Index = 0; Index < Scene->mNumAnimations; ++Index) {
        aiAnimation const *Source = Scene->mAnimations[Index];
        std::string Name = Source->mName.length ? Source->mName.C_Str() : "animation";
        Name = UniqueName(Taken, Name);
        if (!BuildAnimation(Source, Name, Settings, NodeByName, Asset, Summary, Reason)) {
            return false;
        }
    }
    return true;
}

} // namespace kv2
