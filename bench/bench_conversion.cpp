// Tree conversion of 10,000 small records into another layout, in bytes of
// source per second, beside a hand-written loop that does the same
// conversion for the one layout it knows.
#include "data/kelvo_data_type_conversion.h"
#include "kelvo2/kelvo2_memory.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

using kelvo::MakeMember;

namespace {

constexpr kelvo_int32 RecordCount = 10000;

#pragma pack(push, 4)
struct source_record {
    kelvo_int32 Id;
    kelvo_real32 Position[3];
    kelvo_int16 Weight;
    kelvo_uint8 Flags[2];
    kelvo_real32 Scale;
};
struct destination_record {
    kelvo_real32 Position[4];
    kelvo_int32 Id;
    kelvo_real32 Weight;
    kelvo_uint16 Flags[2];
    kelvo_int16 Scale;
    kelvo_uint16 Pad;
};
struct record_list {
    kelvo_int32 Count;
    void *Records;
};
#pragma pack(pop)

constexpr kelvo_data_type_definition SourceRecordType[] = {
    MakeMember(KelvoInt32Member, "Id"),     MakeMember(KelvoReal32Member, "Position", nullptr, 3),
    MakeMember(KelvoInt16Member, "Weight"), MakeMember(KelvoUInt8Member, "Flags", nullptr, 2),
    MakeMember(KelvoReal32Member, "Scale"), MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DestinationRecordType[] = {
    MakeMember(KelvoReal32Member, "Position", nullptr, 4),
    MakeMember(KelvoInt32Member, "Id"),
    MakeMember(KelvoReal32Member, "Weight"),
    MakeMember(KelvoUInt16Member, "Flags", nullptr, 2),
    MakeMember(KelvoBinormalInt16Member, "Scale"),
    MakeMember(KelvoUInt16Member, "Pad"),
    MakeMember(KelvoEndMember)};

// One array of records, or one object per record behind a slot array.
constexpr kelvo_data_type_definition SourceArrayType[] = {
    MakeMember(KelvoReferenceToArrayMember, "Records", SourceRecordType),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DestinationArrayType[] = {
    MakeMember(KelvoReferenceToArrayMember, "Records", DestinationRecordType),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition SourceSlotsType[] = {
    MakeMember(KelvoArrayOfReferencesMember, "Records", SourceRecordType),
    MakeMember(KelvoEndMember)};
constexpr kelvo_data_type_definition DestinationSlotsType[] = {
    MakeMember(KelvoArrayOfReferencesMember, "Records", DestinationRecordType),
    MakeMember(KelvoEndMember)};

std::vector<source_record> MakeRecords() {
    std::vector<source_record> Records(RecordCount);
    for (kelvo_int32 Index = 0; Index < RecordCount; ++Index) {
        source_record &Record = Records[Index];
        Record = {Index,
                  {Index * 0.5f, 1.0f, -2.0f},
                  (kelvo_int16)(Index % 300),
                  {1, 2},
                  (Index % 100) * 0.01f};
    }
    return Records;
}

void FreeTree(void *Block) {
    kelvo_allocate_callback *Allocate;
    kelvo_deallocate_callback *Deallocate;
    KelvoGetAllocator(&Allocate, &Deallocate);
    Deallocate(__FILE__, __LINE__, Block);
}

void ConvertTreeOfArray(benchmark::State &State) {
    std::vector<source_record> Records = MakeRecords();
    record_list Root = {RecordCount, Records.data()};
    for (auto _ : State) {
        void *Tree = KelvoConvertTree(SourceArrayType, &Root, DestinationArrayType);
        benchmark::DoNotOptimize(Tree);
        FreeTree(Tree);
    }
    State.SetBytesProcessed(State.iterations() *
                            (sizeof(Root) + RecordCount * sizeof(source_record)));
}

void ConvertTreeOfObjects(benchmark::State &State) {
    std::vector<source_record> Records = MakeRecords();
    std::vector<source_record *> Slots(RecordCount);
    for (kelvo_int32 Index = 0; Index < RecordCount; ++Index) {
        Slots[Index] = &Records[Index];
    }
    record_list Root = {RecordCount, Slots.data()};
    for (auto _ : State) {
        void *Tree = KelvoConvertTree(SourceSlotsType, &Root, DestinationSlotsType);
        benchmark::DoNotOptimize(Tree);
        FreeTree(Tree);
    }
    State.SetBytesProcessed(State.iterations() * (sizeof(Root) + RecordCount * sizeof(void *) +
                                                  RecordCount * sizeof(source_record)));
}

kelvo_int16 ToBinormal16(float Value) {
    return (kelvo_int16)std::nearbyint(Value * 32767.0f);
}

// The reference: the same conversion written out for these two layouts,
// into one block allocated per call as the library's is.
void HandWrittenLoop(benchmark::State &State) {
    std::vector<source_record> Records = MakeRecords();
    record_list Root = {RecordCount, Records.data()};
    for (auto _ : State) {
        auto *Block =
            new kelvo_uint8[sizeof(record_list) + RecordCount * sizeof(destination_record)];
        record_list *Converted = reinterpret_cast<record_list *>(Block);
        auto *Out = reinterpret_cast<destination_record *>(Block + sizeof(record_list));
        auto const *In = static_cast<source_record const *>(Root.Records);
        for (kelvo_int32 Index = 0; Index < Root.Count; ++Index) {
            destination_record &To = Out[Index];
            source_record const &From = In[Index];
            To.Position[0] = From.Position[0];
            To.Position[1] = From.Position[1];
            To.Position[2] = From.Position[2];
            To.Position[3] = 0.0f;
            To.Id = From.Id;
            To.Weight = From.Weight;
            To.Flags[0] = From.Flags[0];
            To.Flags[1] = From.Flags[1];
            To.Scale = ToBinormal16(From.Scale);
            To.Pad = 0;
        }
        *Converted = {Root.Count, Out};
        benchmark::DoNotOptimize(Block);
        delete[] Block;
    }
    State.SetBytesProcessed(State.iterations() *
                            (sizeof(Root) + RecordCount * sizeof(source_record)));
}

} // namespace

BENCHMARK(HandWrittenLoop);
BENCHMARK(ConvertTreeOfArray);
BENCHMARK(ConvertTreeOfObjects);
BENCHMARK_MAIN();
