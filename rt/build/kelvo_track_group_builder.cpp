// The track group builder. Tracks arrive in any order; their names and
// curves are copied into an arena of blocks owned by the builder, so the
// caller's curves may go away at once. The end writes the whole group into
// one block: the record, its track arrays, the LOD errors, the text entries,
// one identity record shared by every identity curve, the curve data and
// the strings, each piece 8-byte aligned. Tracks are written in name order.
#include "kelvo2/kelvo2_track_group.h"

#include "anim/kelvo_track_internal.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_math.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

#include <algorithm>
#include <string.h>

namespace {

using kelvo::Log;

constexpr kelvo_log_message_origin Origin = KelvoTrackGroupLogMessage;

struct arena_block {
    arena_block *Next;
};

struct pending_curve {
    kelvo_curve2 *Copy; // null for an identity curve
    kelvo_int32 DataSize;
};

struct pending_transform {
    char const *Name;
    pending_curve Position, Orientation, ScaleShear;
};

struct pending_vector {
    char const *Name;
    kelvo_int32 Dimension;
    pending_curve Value;
};

struct pending_text {
    char const *Name;
    kelvo_int32 EntryCount;
    kelvo_int32 Capacity;
    kelvo_text_track_entry *Entries; // an arena block, replaced as it grows
};

} // namespace

struct kelvo_track_group_builder {
    char const *Name;
    bool LODErrorSpace;
    bool Failed; // an allocation failed: the end produces nothing
    kelvo_int32 VectorCapacity, TransformCapacity, TextCapacity;
    kelvo_int32 VectorCount, TransformCount, TextCount;
    bool InTransform, InText;
    pending_vector *Vectors;
    pending_transform *Transforms;
    pending_text *Texts;
    arena_block *Arena;
};

namespace {

constexpr kelvo_int64 RoundUp(kelvo_int64 Size) {
    return (Size + 7) & ~(kelvo_int64)7;
}

void *ArenaAllocate(kelvo_track_group_builder *Builder, kelvo_int64 Size) {
    kelvo_int64 Total = RoundUp(sizeof(arena_block)) + Size;
    void *Memory = Total <= INT32_MAX ? KELVO_ALLOCATE_SIZE((kelvo_int32)Total) : nullptr;
    if (!Memory) {
        Builder->Failed = true;
        return nullptr;
    }
    arena_block *Block = static_cast<arena_block *>(Memory);
    Block->Next = Builder->Arena;
    Builder->Arena = Block;
    return static_cast<kelvo_uint8 *>(Memory) + RoundUp(sizeof(arena_block));
}

char const *KeepString(kelvo_track_group_builder *Builder, char const *String) {
    if (!String) {
        return nullptr;
    }
    auto *Copy = static_cast<char *>(ArenaAllocate(Builder, kelvo::StringLength(String) + 1));
    if (Copy) {
        kelvo::CopyStringCount(Copy, String);
    }
    return Copy;
}

pending_curve KeepCurve(kelvo_track_group_builder *Builder, kelvo_curve2 const *Curve) {
    pending_curve Result = {nullptr, 0};
    if (!Curve || kelvo::TrackCurveIsIdentity(Curve)) {
        return Result;
    }
    kelvo_curve_builder *Copy = KelvoBeginCurveCopy(Curve);
    void *Memory = Copy ? ArenaAllocate(Builder, KelvoGetResultingCurveSize(Copy)) : nullptr;
    if (!Memory) {
        Builder->Failed = true;
        KelvoAbortCurveBuilder(Copy);
        return Result;
    }
    Result.DataSize = KelvoGetResultingCurveDataSize(Copy);
    Result.Copy = KelvoEndCurveInPlace(Copy, Memory);
    Builder->Failed |= !Result.Copy;
    return Result;
}

void FreeBuilder(kelvo_track_group_builder *Builder) {
    KELVO_DEALLOCATE_CHAIN(Builder->Arena);
    KELVO_DEALLOCATE(Builder);
}

bool HasRoom(kelvo_int32 Count, kelvo_int32 Capacity, char const *What) {
    if (Count >= Capacity) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The track group was begun with %d %s; one more is ignored", KELVO_HERE,
            Capacity, What);
        return false;
    }
    return true;
}

pending_transform *CurrentTransform(kelvo_track_group_builder *Builder) {
    if (!Builder || !Builder->InTransform) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): No transform track was begun", KELVO_HERE);
        return nullptr;
    }
    return &Builder->Transforms[Builder->TransformCount];
}

// ---- writing the group -----------------------------------------------------------------

// Offsets of the pieces of the finished block.
struct group_layout {
    kelvo_int64 VectorTracks, TransformTracks, LODErrors, TextTracks, Entries, Identity, Curves,
        Strings, Size;
};

kelvo_int64 StringSize(char const *String) {
    return String ? kelvo::StringLength(String) + 1 : 0;
}

kelvo_int64 CurveSize(pending_curve const &Curve) {
    return Curve.Copy ? RoundUp(Curve.DataSize) : 0;
}

group_layout LayOut(kelvo_track_group_builder const *Builder) {
    group_layout Layout;
    kelvo_int64 At = RoundUp(sizeof(kelvo_track_group));
    Layout.VectorTracks = At;
    At += RoundUp((kelvo_int64)Builder->VectorCount * sizeof(kelvo_vector_track));
    Layout.TransformTracks = At;
    At += RoundUp((kelvo_int64)Builder->TransformCount * sizeof(kelvo_transform_track));
    Layout.LODErrors = At;
    if (Builder->LODErrorSpace) {
        At += RoundUp((kelvo_int64)Builder->TransformCount * sizeof(kelvo_real32));
    }
    Layout.TextTracks = At;
    At += RoundUp((kelvo_int64)Builder->TextCount * sizeof(kelvo_text_track));
    Layout.Entries = At;
    kelvo_int64 Strings = StringSize(Builder->Name);
    for (kelvo_int32 Index = 0; Index < Builder->TextCount; ++Index) {
        pending_text const &Text = Builder->Texts[Index];
        At += RoundUp((kelvo_int64)Text.EntryCount * sizeof(kelvo_text_track_entry));
        Strings += StringSize(Text.Name);
        for (kelvo_int32 Entry = 0; Entry < Text.EntryCount; ++Entry) {
            Strings += StringSize(Text.Entries[Entry].Text);
        }
    }
    Layout.Identity = At;
    At += RoundUp(sizeof(kelvo_curve_data_da_identity));
    Layout.Curves = At;
    for (kelvo_int32 Index = 0; Index < Builder->VectorCount; ++Index) {
        At += CurveSize(Builder->Vectors[Index].Value);
        Strings += StringSize(Builder->Vectors[Index].Name);
    }
    for (kelvo_int32 Index = 0; Index < Builder->TransformCount; ++Index) {
        pending_transform const &Track = Builder->Transforms[Index];
        At +=
            CurveSize(Track.Position) + CurveSize(Track.Orientation) + CurveSize(Track.ScaleShear);
        Strings += StringSize(Track.Name);
    }
    Layout.Strings = At;
    Layout.Size = At + Strings;
    return Layout;
}

struct writer {
    kelvo_uint8 *Base;
    kelvo_int64 CurveAt;
    char *StringAt;
    kelvo_curve_data_da_identity *Identity;
    bool Failed;

    char const *String(char const *Source) {
        if (!Source) {
            return nullptr;
        }
        char *Copy = StringAt;
        StringAt += kelvo::CopyStringCount(Copy, Source);
        return Copy;
    }

    void Curve(pending_curve const &Source, kelvo_curve2 &Destination) {
        if (!Source.Copy) {
            Destination.CurveData = {KelvoCurveDataDaIdentityType, Identity};
            return;
        }
        kelvo_curve_builder *Copy = KelvoBeginCurveCopy(Source.Copy);
        if (!Copy) {
            Failed = true;
            Destination.CurveData = {KelvoCurveDataDaIdentityType, Identity};
            return;
        }
        KelvoEndCurveDataInPlace(Copy, &Destination, Base + CurveAt);
        CurveAt += CurveSize(Source);
    }

    // Count records at Offset, or null for none.
    template <typename record> record *Array(kelvo_int64 Offset, kelvo_int32 Count) {
        return Count ? reinterpret_cast<record *>(Base + Offset) : nullptr;
    }

    // Count tracks at Offset, each named after its pending track and
    // filled from it by Fill.
    template <typename track, typename pending, typename fill>
    track *Tracks(kelvo_int64 Offset, pending const *Sources, kelvo_int32 Count, fill Fill) {
        track *Placed = Array<track>(Offset, Count);
        for (kelvo_int32 Index = 0; Index < Count; ++Index) {
            Placed[Index].Name = String(Sources[Index].Name);
            Fill(Sources[Index], Placed[Index]);
        }
        return Placed;
    }
};

template <typename pending> void SortByName(pending *Items, kelvo_int32 Count) {
    std::sort(Items, Items + Count, [](pending const &A, pending const &B) {
        return kelvo::CompareTrackNames(A.Name, B.Name) < 0;
    });
}

kelvo_track_group *Write(kelvo_track_group_builder *Builder, group_layout const &Layout,
                         void *Memory) {
    SortByName(Builder->Vectors, Builder->VectorCount);
    SortByName(Builder->Transforms, Builder->TransformCount);
    SortByName(Builder->Texts, Builder->TextCount);
    kelvo_uint8 *Base = static_cast<kelvo_uint8 *>(Memory);
    memset(Base, 0, (size_t)Layout.Strings);
    writer Out = {Base, Layout.Curves, reinterpret_cast<char *>(Base + Layout.Strings),
                  reinterpret_cast<kelvo_curve_data_da_identity *>(Base + Layout.Identity), false};
    kelvo_curve2 Identity = {{KelvoCurveDataDaIdentityType, Out.Identity}};
    KelvoCurveInitializeFormat(&Identity);

    auto *Group = reinterpret_cast<kelvo_track_group *>(Base);
    Group->Name = Out.String(Builder->Name);
    Group->VectorTrackCount = Builder->VectorCount;
    Group->VectorTracks = Out.Tracks<kelvo_vector_track>(
        Layout.VectorTracks, Builder->Vectors, Builder->VectorCount,
        [&](pending_vector const &Source, kelvo_vector_track &Track) {
            Track.Dimension = Source.Dimension;
            Out.Curve(Source.Value, Track.ValueCurve);
        });
    Group->TransformTrackCount = Builder->TransformCount;
    Group->TransformTracks = Out.Tracks<kelvo_transform_track>(
        Layout.TransformTracks, Builder->Transforms, Builder->TransformCount,
        [&](pending_transform const &Source, kelvo_transform_track &Track) {
            Out.Curve(Source.Orientation, Track.OrientationCurve);
            Out.Curve(Source.Position, Track.PositionCurve);
            Out.Curve(Source.ScaleShear, Track.ScaleShearCurve);
        });
    if (Builder->LODErrorSpace && Builder->TransformCount) {
        Group->TransformLODErrorCount = Builder->TransformCount;
        Group->TransformLODErrors = reinterpret_cast<kelvo_real32 *>(Base + Layout.LODErrors);
        KelvoResetLODErrorSpace(Group);
    }
    Group->TextTrackCount = Builder->TextCount;
    kelvo_int64 EntryAt = Layout.Entries;
    Group->TextTracks = Out.Tracks<kelvo_text_track>(
        Layout.TextTracks, Builder->Texts, Builder->TextCount,
        [&](pending_text const &Source, kelvo_text_track &Track) {
            Track.EntryCount = Source.EntryCount;
            Track.Entries = Out.Array<kelvo_text_track_entry>(EntryAt, Source.EntryCount);
            EntryAt += RoundUp((kelvo_int64)Source.EntryCount * sizeof(kelvo_text_track_entry));
            for (kelvo_int32 Entry = 0; Entry < Source.EntryCount; ++Entry) {
                Track.Entries[Entry] = {Source.Entries[Entry].TimeStamp,
                                        Out.String(Source.Entries[Entry].Text)};
            }
        });
    Group->InitialPlacement = kelvo::IdentityTransform;
    Group->AccumulationFlags = KELVO_TRACK_GROUP_IS_SORTED;
    return Out.Failed ? nullptr : Group;
}

kelvo_int32 CheckedSize(kelvo_track_group_builder const *Builder) {
    return kelvo::ResultingSize(LayOut(Builder).Size, Origin);
}

} // namespace

KELVO_API kelvo_track_group_builder *KelvoBeginTrackGroup(char const *Name,
                                                          kelvo_int32 VectorTrackCount,
                                                          kelvo_int32 TransformTrackCount,
                                                          kelvo_int32 TextTrackCount,
                                                          kelvo_bool32 IncludeLODErrorSpace) {
    KELVO_CHECK(VectorTrackCount >= 0 && TransformTrackCount >= 0 && TextTrackCount >= 0, Origin,
                nullptr);
    kelvo_int64 Size = RoundUp(sizeof(kelvo_track_group_builder)) +
                       RoundUp((kelvo_int64)VectorTrackCount * sizeof(pending_vector)) +
                       RoundUp((kelvo_int64)TransformTrackCount * sizeof(pending_transform)) +
                       RoundUp((kelvo_int64)TextTrackCount * sizeof(pending_text));
    void *Memory = Size <= INT32_MAX ? KELVO_ALLOCATE_SIZE((kelvo_int32)Size) : nullptr;
    if (!Memory) {
        return nullptr;
    }
    memset(Memory, 0, (size_t)Size);
    auto *Builder = static_cast<kelvo_track_group_builder *>(Memory);
    kelvo_uint8 *At =
        static_cast<kelvo_uint8 *>(Memory) + RoundUp(sizeof(kelvo_track_group_builder));
    Builder->Vectors = reinterpret_cast<pending_vector *>(At);
    At += RoundUp((kelvo_int64)VectorTrackCount * sizeof(pending_vector));
    Builder->Transforms = reinterpret_cast<pending_transform *>(At);
    At += RoundUp((kelvo_int64)TransformTrackCount * sizeof(pending_transform));
    Builder->Texts = reinterpret_cast<pending_text *>(At);
    Builder->VectorCapacity = VectorTrackCount;
    Builder->TransformCapacity = TransformTrackCount;
    Builder->TextCapacity = TextTrackCount;
    Builder->LODErrorSpace = IncludeLODErrorSpace != 0;
    Builder->Name = KeepString(Builder, Name);
    return Builder;
}

KELVO_API void KelvoBeginTransformTrack(kelvo_track_group_builder *Builder, char const *Name) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (Builder->InTransform ||
        !HasRoom(Builder->TransformCount, Builder->TransformCapacity, "transform tracks")) {
        return;
    }
    Builder->InTransform = true;
    pending_transform &Track = Builder->Transforms[Builder->TransformCount];
    Track = {};
    Track.Name = KeepString(Builder, Name);
}

KELVO_API void KelvoSetTransformTrackPositionCurve(kelvo_track_group_builder *Builder,
                                                   kelvo_curve2 const *Curve) {
    if (pending_transform *Track = CurrentTransform(Builder)) {
        Track->Position = KeepCurve(Builder, Curve);
    }
}

KELVO_API void KelvoSetTransformTrackOrientationCurve(kelvo_track_group_builder *Builder,
                                                      kelvo_curve2 const *Curve) {
    if (pending_transform *Track = CurrentTransform(Builder)) {
        Track->Orientation = KeepCurve(Builder, Curve);
    }
}

KELVO_API void KelvoSetTransformTrackScaleShearCurve(kelvo_track_group_builder *Builder,
                                                     kelvo_curve2 const *Curve) {
    if (pending_transform *Track = CurrentTransform(Builder)) {
        Track->ScaleShear = KeepCurve(Builder, Curve);
    }
}

KELVO_API void KelvoEndTransformTrack(kelvo_track_group_builder *Builder) {
    if (CurrentTransform(Builder)) {
        Builder->InTransform = false;
        ++Builder->TransformCount;
    }
}

KELVO_API void KelvoPushVectorTrackCurve(kelvo_track_group_builder *Builder, char const *Name,
                                         kelvo_curve2 const *Curve) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (!HasRoom(Builder->VectorCount, Builder->VectorCapacity, "vector tracks")) {
        return;
    }
    pending_vector &Track = Builder->Vectors[Builder->VectorCount++];
    Track.Name = KeepString(Builder, Name);
    Track.Dimension = Curve ? KelvoCurveGetDimension(Curve) : 0;
    Track.Value = KeepCurve(Builder, Curve);
}

KELVO_API void KelvoBeginTextTrack(kelvo_track_group_builder *Builder, char const *Name) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    if (Builder->InText || !HasRoom(Builder->TextCount, Builder->TextCapacity, "text tracks")) {
        return;
    }
    Builder->InText = true;
    pending_text &Track = Builder->Texts[Builder->TextCount];
    Track = {};
    Track.Name = KeepString(Builder, Name);
}

KELVO_API void KelvoAddTextEntry(kelvo_track_group_builder *Builder, kelvo_real32 TimeStamp,
                                 char const *Text) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK(Builder->InText, Origin, KELVO_NOTHING);
    pending_text &Track = Builder->Texts[Builder->TextCount];
    if (Track.EntryCount == Track.Capacity) {
        kelvo_int32 Capacity = Track.Capacity ? 2 * Track.Capacity : 8;
        auto *Entries = static_cast<kelvo_text_track_entry *>(
            ArenaAllocate(Builder, (kelvo_int64)Capacity * sizeof(kelvo_text_track_entry)));
        if (!Entries) {
            return;
        }
        if (Track.EntryCount) {
            memcpy(Entries, Track.Entries, Track.EntryCount * sizeof(kelvo_text_track_entry));
        }
        Track.Entries = Entries;
        Track.Capacity = Capacity;
    }
    Track.Entries[Track.EntryCount++] = {TimeStamp, KeepString(Builder, Text)};
}

KELVO_API void KelvoEndTextTrack(kelvo_track_group_builder *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, KELVO_NOTHING);
    KELVO_CHECK(Builder->InText, Origin, KELVO_NOTHING);
    Builder->InText = false;
    ++Builder->TextCount;
}

KELVO_API kelvo_int32 KelvoGetResultingTrackGroupSize(kelvo_track_group_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return CheckedSize(Builder);
}

KELVO_API kelvo_track_group *KelvoEndTrackGroupInPlace(kelvo_track_group_builder *Builder,
                                                       void *Memory) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    kelvo_track_group *Group = nullptr;
    if (Memory && !Builder->Failed && CheckedSize(Builder) > 0) {
        Group = Write(Builder, LayOut(Builder), Memory);
    }
    FreeBuilder(Builder);
    return Group;
}

KELVO_API kelvo_track_group *KelvoEndTrackGroup(kelvo_track_group_builder *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    kelvo_int32 Size = Builder->Failed ? 0 : CheckedSize(Builder);
    void *Memory = Size > 0 ? KELVO_ALLOCATE_SIZE(Size) : nullptr;
    kelvo_track_group *Group = KelvoEndTrackGroupInPlace(Builder, Memory);
    if (!Group) {
        KELVO_DEALLOCATE(Memory);
    }
    return Group;
}

KELVO_API void KelvoFreeTrackGroup(kelvo_track_group *TrackGroup) {
    KELVO_DEALLOCATE(TrackGroup);
}
