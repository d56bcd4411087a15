// The statistics snapshot and its text dump. The capture reads every
// process-wide list (instances, controls, the binding cache, live blocks of
// the default allocator, the timing counters) and copies what it finds into
// one block, so the snapshot stays valid whatever happens after it. It sits
// with the animation runtime because most of what it counts lives here.
#include "anim/kelvo_control_internal.h"
#include "kelvo2/kelvo2_counters.h"
#include "kelvo2/kelvo2_stats.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"

#include <algorithm>
#include <float.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

using namespace kelvo;

constexpr kelvo_log_message_origin Origin = KelvoAnimationLogMessage;
constexpr int DumpLines = 256;
constexpr int DumpLineSize = 256;

// The live blocks as they were when the walk began (blocks allocated
// later sit before Begin).
struct block_walk {
    kelvo_allocation_header *Begin = KelvoAllocationsBegin();
    kelvo_allocation_header *End = KelvoAllocationsEnd();
};

bool SameSite(kelvo_stats_allocation_site const &A, kelvo_stats_allocation_site const &B) {
    return A.SourceLineNumber == B.SourceLineNumber &&
           (A.SourceFileName == B.SourceFileName ||
            (A.SourceFileName && B.SourceFileName && !strcmp(A.SourceFileName, B.SourceFileName)));
}

bool SiteOrder(kelvo_stats_allocation_site const &A, kelvo_stats_allocation_site const &B) {
    int Names = strcmp(A.SourceFileName ? A.SourceFileName : "",
                       B.SourceFileName ? B.SourceFileName : "");
    return Names != 0 ? Names < 0 : A.SourceLineNumber < B.SourceLineNumber;
}

// Sites grouped by file and line, most actual bytes first; returns the count.
kelvo_int32 GroupSites(kelvo_stats_allocation_site *Sites, kelvo_int32 Count) {
    std::sort(Sites, Sites + Count, SiteOrder);
    kelvo_int32 Groups = 0;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        if (Groups > 0 && SameSite(Sites[Groups - 1], Sites[Index])) {
            Sites[Groups - 1].Count += 1;
            Sites[Groups - 1].RequestedBytes += Sites[Index].RequestedBytes;
            Sites[Groups - 1].ActualBytes += Sites[Index].ActualBytes;
        } else {
            Sites[Groups++] = Sites[Index];
        }
    }
    std::stable_sort(Sites, Sites + Groups,
                     [](kelvo_stats_allocation_site const &A,
                        kelvo_stats_allocation_site const &B) {
                         return A.ActualBytes > B.ActualBytes;
                     });
    return Groups;
}

kelvo_int32 CensusClass(kelvo_uint8 Flags, int Shift) {
    int Class = (Flags >> Shift) & 3;
    return Class == KelvoBoundCurveIdentity ? 0 : Class == KelvoBoundCurveConstant ? 1 : 2;
}

void CountInstances(kelvo_stats &Stats) {
    kelvo_model_instance *End = KelvoGetGlobalModelInstancesEnd();
    for (kelvo_model_instance *Instance = KelvoGetGlobalModelInstancesBegin(); Instance != End;
         Instance = Instance->Next) {
        kelvo_int32 Bones = Instance->Model->Skeleton->BoneCount;
        ++Stats.TotalInstances;
        Stats.TotalBones += Bones;
        Stats.MaxBonesPerInstance = std::max(Stats.MaxBonesPerInstance, Bones);
        // Quadratic in the instances, which a display of this kind can afford.
        kelvo_int32 SameModel = 0, Controls = 0;
        bool FirstOfModel = true, Before = true;
        for (kelvo_model_instance *Other = KelvoGetGlobalModelInstancesBegin(); Other != End;
             Other = Other->Next) {
            Before = Before && Other != Instance;
            if (Other->Model == Instance->Model) {
                ++SameModel;
                FirstOfModel = FirstOfModel && !Before;
            }
        }
        Stats.SourceModels += FirstOfModel;
        Stats.MaxInstancesPerModel = std::max(Stats.MaxInstancesPerModel, SameModel);
        for (kelvo_model_control_binding *Binding = Instance->Bindings.ModelNext;
             Binding != &Instance->Bindings; Binding = Binding->ModelNext) {
            ++Controls;
            kelvo_animation_binding *Bound = Binding->Operations->GetControlledAnimation(*Binding);
            for (kelvo_int32 Track = 0; Bound && Track < Bound->TrackBindingCount; ++Track) {
                kelvo_bound_transform_track const &T = Bound->TrackBindings[Track];
                if (!T.SourceTrack) {
                    continue;
                }
                kelvo_int32 Index = CensusClass(T.Flags, KELVO_BOUND_POSITION_SHIFT) * 18 +
                                    CensusClass(T.Flags, KELVO_BOUND_ORIENTATION_SHIFT) * 6 +
                                    CensusClass(T.Flags, KELVO_BOUND_SCALE_SHEAR_SHIFT) * 2 +
                                    (Bound->RebasingMemory ? 1 : 0);
                ++Stats.TrackCounts[Index];
                ++Stats.TrackTotal;
            }
        }
        Stats.MaxControlsPerInstance = std::max(Stats.MaxControlsPerInstance, Controls);
    }
}

void CountControls(kelvo_stats &Stats) {
    Stats.MinClock = Stats.MinCompletion = 0.0f;
    Stats.MaxClock = Stats.MaxCompletion = 0.0f;
    kelvo_control *End = KelvoGetGlobalControlsEnd();
    if (KelvoGetGlobalControlsBegin() != End) {
        Stats.MinClock = Stats.MinCompletion = FLT_MAX;
        Stats.MaxClock = Stats.MaxCompletion = -FLT_MAX;
    }
    for (kelvo_control *Control = KelvoGetGlobalControlsBegin(); Control != End;
         Control = Control->Next) {
        ++Stats.TotalControls;
        Stats.ActiveControls += (Control->Flags & ControlActive) != 0;
        Stats.ActiveWeightedControls += EffectiveWeight(Control) != 0.0f;
        Stats.UnusedControls += Control->Bindings.ControlNext == &Control->Bindings;
        Stats.MinClock = std::min(Stats.MinClock, Control->CurrentClock);
        Stats.MaxClock = std::max(Stats.MaxClock, Control->CurrentClock);
        if (Control->Flags & ControlCompletionCheck) {
            ++Stats.CompletableControls;
            Stats.CompletedControls += KelvoControlIsComplete(Control) != 0;
            Stats.MinCompletion = std::min(Stats.MinCompletion, Control->CompletionClock);
            Stats.MaxCompletion = std::max(Stats.MaxCompletion, Control->CompletionClock);
        }
    }
}

kelvo_int32 RoundedShare(kelvo_real64 Part, kelvo_real64 Whole) {
    return Whole > 0.0 ? (kelvo_int32)floor(100.0 * Part / Whole + 0.5) : 0;
}

char const *FileNameOf(char const *Path) {
    char const *Name = Path ? Path : "";
    for (char const *At = Name; *At; ++At) {
        if (*At == '/' || *At == '\\') {
            Name = At + 1;
        }
    }
    return Name;
}

struct line_writer {
    char **Lines;
    char *Text;
    int Count = 0;
    void operator()(char const *Format, ...) {
        if (Count >= DumpLines - 1) {
            return; // the last pointer stays null
        }
        va_list Arguments;
        va_start(Arguments, Format);
        Lines[Count] = Text + Count * DumpLineSize;
        // The C library's formatter: the display's columns need field widths.
        vsnprintf(Lines[Count], DumpLineSize, Format, Arguments);
        va_end(Arguments);
        ++Count;
    }
};

} // namespace

KELVO_API kelvo_stats *KelvoCaptureCurrentStats(kelvo_int32 FrameCount) {
    block_walk Blocks;
    kelvo_int32 BlockCount = 0;
    for (kelvo_allocation_header *Block = Blocks.Begin; Block != Blocks.End;
         Block = KelvoNextAllocation(Block)) {
        ++BlockCount;
    }
    kelvo_int32 CounterCount = KelvoGetCounterCount();

    kelvo_stats *Stats;
    kelvo_stats_allocation_site *Sites;
    kelvo_stats_counter *Counters;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Stats, sizeof(kelvo_stats));
    AggrAllocArrayPtr(Aggr, BlockCount, &Sites);
    AggrAllocArrayPtr(Aggr, CounterCount, &Counters);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    memset(Stats, 0, sizeof(*Stats));
    CountInstances(*Stats);
    CountControls(*Stats);
    Stats->FrameCount = FrameCount;
    KelvoGetAnimationBindingCacheStatus(&Stats->Cache);

    kelvo_int32 Site = 0;
    for (kelvo_allocation_header *Block = Blocks.Begin; Block != Blocks.End && Site < BlockCount;
         Block = KelvoNextAllocation(Block)) {
        kelvo_allocation_information Information;
        KelvoGetAllocationInformation(Block, &Information);
        Sites[Site++] = {Information.SourceFileName, Information.SourceLineNumber, 1,
                         Information.RequestedSize, Information.ActualSize};
        Stats->RequestedBytes += Information.RequestedSize;
        Stats->ActualBytes += Information.ActualSize;
    }
    Stats->AllocationCount = Site;
    Stats->SiteCount = GroupSites(Sites, Site);
    Stats->Sites = Sites;

    for (kelvo_int32 Index = 0; Index < CounterCount; ++Index) {
        kelvo_counter_results Results;
        KelvoGetCounterResults(Index, &Results);
        Counters[Index] = {Results.Name, Results.Count, Results.TotalSecondsWithoutChildren,
                           Results.TotalCyclesWithoutChildren};
        Stats->SecondsWithoutChildren += Results.TotalSecondsWithoutChildren;
        Stats->CyclesWithoutChildren += Results.TotalCyclesWithoutChildren;
    }
    std::stable_sort(Counters, Counters + CounterCount,
                     [](kelvo_stats_counter const &A, kelvo_stats_counter const &B) {
                         return A.CyclesWithoutChildren > B.CyclesWithoutChildren;
                     });
    Stats->CounterCount = CounterCount;
    Stats->Counters = Counters;
    return Stats;
}

KELVO_API void KelvoFreeStats(kelvo_stats *Stats) {
    KELVO_DEALLOCATE(Stats);
}

KELVO_API char **KelvoDumpStatHUD(kelvo_stats const *Stats) {
    KELVO_CHECK_NOT_NULL(Stats, Origin, nullptr);
    char **Lines;
    char *Text;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocArrayPtr(Aggr, DumpLines, &Lines);
    AggrAllocArrayPtr(Aggr, DumpLines * DumpLineSize, &Text);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    memset(Lines, 0, DumpLines * sizeof(char *));
    line_writer Line{Lines, Text};
    kelvo_stats const &S = *Stats;
    // A frame count of 0 reports totals rather than dividing by zero.
    kelvo_real64 const Frames = S.FrameCount > 0 ? S.FrameCount : 1;

    Line("Model Instances:");
    Line("  Total instances: %d   Bones: %d   Source models: %d", S.TotalInstances, S.TotalBones,
         S.SourceModels);
    Line("  Max instances/m: %d   Max bones/m: %d   Max controls/i: %d", S.MaxInstancesPerModel,
         S.MaxBonesPerInstance, S.MaxControlsPerInstance);
    Line("Controls:");
    Line("  Total controls: %d   Active: %d   A/Weighted: %d", S.TotalControls, S.ActiveControls,
         S.ActiveWeightedControls);
    Line("  Completable: %d   Completed: %d   Unused: %d", S.CompletableControls,
         S.CompletedControls, S.UnusedControls);
    Line("  Clock range: %fs - %fs", (double)S.MinClock, (double)S.MaxClock);
    // No completable control leaves the range empty (minimum above maximum).
    if (S.MinCompletion >= S.MaxCompletion) {
        Line("  Completion range: (none)");
    } else if (S.MaxCompletion == FLT_MAX) {
        Line("  Completion range: %fs - Infinity", (double)S.MinCompletion);
    } else {
        Line("  Completion range: %fs - %fs", (double)S.MinCompletion, (double)S.MaxCompletion);
    }
    kelvo_animation_binding_cache_status const &C = S.Cache;
    Line("Animation binding cache:");
    Line("  Bindings created: %d   Destroyed: %d", C.BindingsCreated, C.BindingsDestroyed);
    Line("  Acquire direct: %d   Indirect: %d   Released: %d", C.DirectAcquireCount,
         C.IndirectAcquireCount, C.ReleaseCount);
    Line("  Current bindings: %d   Used: %d", C.CurrentTotalBindingCount,
         C.CurrentUsedBindingCount);
    Line("  Cache hits: %d   Misses: %d", C.CacheHits, C.CacheMisses);
    Line("  Flushes: %d   Flush frees: %d   Overflows: %d", C.ExplicitFlushCount,
         C.ExplicitFlushFrees, C.OverflowFrees);
    char const Letters[3] = {'I', 'C', 'A'};
    for (int Combination = 0; Combination < 27; ++Combination) {
        kelvo_int32 Plain = S.TrackCounts[2 * Combination], Rebased = S.TrackCounts[2 * Combination + 1];
        if (Plain + Rebased == 0) {
            continue;
        }
        Line("  (%d%%) %c%c%c bindings: %4d + %4dr = %4d", (Plain + Rebased) * 100 / S.TrackTotal,
             Letters[Combination / 9], Letters[Combination / 3 % 3], Letters[Combination % 3],
             Plain, Rebased, Plain + Rebased);
    }
    Line("Allocations: %d (%dk / %dk)", S.AllocationCount, (int)(S.RequestedBytes / 1024),
         (int)(S.ActualBytes / 1024));
    for (kelvo_int32 Index = 0; Index < S.SiteCount; ++Index) {
        kelvo_stats_allocation_site const &Site = S.Sites[Index];
        if (Site.ActualBytes > 0) {
            Line("  %2d%% %s(%d): %d (%dk / %dk)",
                 RoundedShare((kelvo_real64)Site.ActualBytes, (kelvo_real64)S.ActualBytes),
                 FileNameOf(Site.SourceFileName), Site.SourceLineNumber, Site.Count,
                 (int)(Site.RequestedBytes / 1024), (int)(Site.ActualBytes / 1024));
        }
    }
    Line("Clocks/frame: %fs (%.0f cycles)", S.SecondsWithoutChildren / Frames,
         S.CyclesWithoutChildren / Frames);
    for (kelvo_int32 Index = 0; Index < S.CounterCount; ++Index) {
        kelvo_stats_counter const &Counter = S.Counters[Index];
        if (Counter.Count != 0) {
            Line("  %2d%% %s: %dh/f %fs/f (%.0f cycles/hit)",
                 RoundedShare(Counter.SecondsWithoutChildren, S.SecondsWithoutChildren),
                 Counter.Name ? Counter.Name : "", (int)(Counter.Count / Frames),
                 Counter.SecondsWithoutChildren / Frames,
                 Counter.CyclesWithoutChildren / Counter.Count);
        }
    }
    return Lines;
}

KELVO_API void KelvoFreeStatHUDDump(char **Lines) {
    KELVO_DEALLOCATE(Lines);
}
