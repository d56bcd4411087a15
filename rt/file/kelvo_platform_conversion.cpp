// Platform conversion: a file's sections rebuilt for another pointer size or
// byte order. Pointer size changes the size and member offsets of records,
// so the tree is walked from the root through the file's own stored type
// definitions, and every object, definition and string reached is copied
// once into per-section streams (32-, 16- and 8-bit regions) in the target
// layout, with new pointer and marshalling fix-ups. The tree is walked
// twice: the first walk finds every object and array (and every fault), so
// that an object reached both alone and inside an array is copied once, as
// part of the array; the second copies.
//
// The sections come from a file, so nothing in them is trusted: references
// are checked against their sections, definitions must end inside theirs,
// strings must be terminated inside theirs, inline nesting is bounded and a
// type that inlines itself is refused, counts are multiplied in 64 bits, and
// the output and the members visited may not grow beyond bounds set by the
// input's size. The walk
// keeps its pending work on a stack of its own, not the machine's, so a
// long chain of objects cannot exhaust the call stack.
#include "file/kelvo_platform_conversion.h"

#include "data/kelvo_data_type.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_compression.h"
#include "kelvo2/kelvo2_pointer_hash.h"

#include <algorithm>
#include <string.h>

using kelvo::Log;

namespace {

constexpr kelvo_log_message_origin Origin = KelvoDataTypeLogMessage;
constexpr kelvo_int32 StreamCount = 3;
constexpr kelvo_int32 FixupsPerBlock = 4096;
constexpr kelvo_int32 WorkPerBlock = 4096;
constexpr kelvo_int32 PoolChunkSize = 64 * 1024;
constexpr kelvo_int32 NoSection = -1; // a from location that is the root, not a field

struct target_location {
    kelvo_int32 Section;
    kelvo_int32 Stream;
    kelvo_uint32 Offset;
};

target_location Offset(target_location Location, kelvo_int64 By) {
    Location.Offset += (kelvo_uint32)By;
    return Location;
}

struct pointer_record {
    target_location From, To;
};
struct marshalling_record {
    target_location Type, Object;
    kelvo_uint32 Count;
};

struct stream {
    kelvo_uint8 *Bytes;
    kelvo_int64 Size;
    kelvo_int64 Capacity;
};

struct section_state {
    kelvo_uint8 const *Source; // null where not loaded
    kelvo_uint32 SourceSize;
    kelvo_pointer_fixup *Fixups; // sorted by FromOffset
    kelvo_uint8 *Used;           // per fix-up: a field of the tree took it
    kelvo_uint32 FixupCount;
    kelvo_int32 Alignment;
    stream Streams[StreamCount];
    kelvo_uint32 StreamStart[StreamCount]; // in the flattened section
    kelvo_uint32 ExpandedSize;
    kelvo_uint8 *Flattened;
    kelvo_int32 PointerCount, MarshallingCount;
};

enum class resolution { Found, Unloaded, Bad };

struct stored_type;

// A member record as stored, with its references found through the fix-ups.
struct stored_member {
    kelvo_member_type Type;
    kelvo_int32 ArrayWidth;
    bool HasName;
    bool HasReference;
    bool ReferenceLooked; // Reference below is valid
    kelvo_file_reference Name;
    kelvo_file_reference ReferenceWhere;
    stored_type *Reference; // null when absent or in a section not loaded
    kelvo_int32 SourceSize, TargetSize;
    kelvo_marshalling_type Marshalling;
};

enum class measure_state { Unmeasured, Measuring, Measured };

struct stored_type {
    kelvo_file_reference Where;
    kelvo_int32 MemberCount; // without the end marker
    stored_member *Members;
    measure_state State;
    kelvo_int32 SourceSize, TargetSize;
    kelvo_marshalling_type Marshalling;
    bool HasPointers;
    bool Copied;
    target_location Target;
};

// Objects of one type that the walk reached at one source address: one, or
// an array. Extents of a type that overlap element for element are merged
// under one root, which is copied whole, so that an object reached both
// alone and as an array element stays one object.
struct extent {
    stored_type *Type;
    kelvo_uint32 Section;
    kelvo_uint32 Offset;
    kelvo_uint32 Count;
    extent *NextAtAddress;
    extent *Root;
    bool Copied;
    target_location Target;
};

// Source bytes the tree reaches: objects, definitions, strings, pointer
// blocks.
struct source_bytes {
    kelvo_uint32 Section;
    kelvo_int64 Begin, End;
};

// What a block of source pointers became.
struct pointer_block {
    kelvo_uint32 Count;
    target_location Target;
};

enum class work_kind { Objects, LinkType };

struct work_item {
    work_kind Kind;
    stored_type *Type;
    kelvo_file_reference Source;
    kelvo_uint32 Count;
    bool IsArray;
    target_location From;
};

struct conversion {
    kelvo_int32 SourcePointerSize, TargetPointerSize; // bytes
    bool SourceReversed, TargetReversed, Swap;        // against this machine; between the two
    kelvo_int32 SourceRecordSize, TargetRecordSize;
    kelvo_int32 SourceReferenceOffset, TargetReferenceOffset;
    kelvo_int32 SourceWidthOffset, TargetWidthOffset;

    kelvo_int32 SectionCount;
    section_state *Sections;
    kelvo_memory_arena *Arena;
    kelvo_uint8 *PoolNext;
    kelvo_int32 PoolLeft;
    kelvo_pointer_hash *Types;   // source address -> stored_type
    kelvo_pointer_hash *Strings; // source address -> target_location
    kelvo_pointer_hash *Blocks;  // source address -> pointer_block
    kelvo_pointer_hash *Extents; // source address -> extent list
    kelvo_stack_allocator PointerFixups, MarshallingFixups, Work;
    kelvo_stack_allocator AllExtents; // extent pointers, in the order found
    kelvo_stack_allocator Reached;    // source_bytes, each once

    // The first walk only finds the extents; the second copies.
    bool Discovering;
    kelvo_int64 Steps, StepBudget;
    kelvo_int64 TargetBytes, TargetBudget;
    target_location RootType, RootObject;
    bool RootObjectCopied;
};

// ---- byte order ---------------------------------------------------------------

kelvo_uint32 Load32(bool Reversed, kelvo_uint8 const *At) {
    kelvo_uint32 Value;
    memcpy(&Value, At, 4);
    return Reversed ? __builtin_bswap32(Value) : Value;
}

void Store32(bool Reversed, kelvo_uint8 *At, kelvo_uint32 Value) {
    Value = Reversed ? __builtin_bswap32(Value) : Value;
    memcpy(At, &Value, 4);
}

kelvo_uint64 LoadPointerValue(conversion const &C, kelvo_uint8 const *At) {
    if (C.SourcePointerSize == 4) {
        return Load32(C.SourceReversed, At);
    }
    kelvo_uint64 Value;
    memcpy(&Value, At, 8);
    return C.SourceReversed ? __builtin_bswap64(Value) : Value;
}

void StorePointerValue(conversion const &C, kelvo_uint8 *At, kelvo_uint64 Value) {
    if (C.TargetPointerSize == 4) {
        Store32(C.TargetReversed, At, (kelvo_uint32)Value);
        return;
    }
    Value = C.TargetReversed ? __builtin_bswap64(Value) : Value;
    memcpy(At, &Value, 8);
}

// ---- source side ----------------------------------------------------------------

void ReportBadReference(char const *What, kelvo_file_reference const &Reference) {
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): PlatformConversion: %s at offset %u of section %u does not lie inside a "
        "section",
        KELVO_HERE, What, Reference.Offset, Reference.SectionIndex);
}

// Whether Size bytes at Reference lie inside a loaded section; What names
// them when they do not (reported).
resolution Resolve(conversion const &C, kelvo_file_reference const &Reference, kelvo_int64 Size,
                   kelvo_uint8 const *&Address, char const *What) {
    Address = nullptr;
    section_state const *Section = Reference.SectionIndex < (kelvo_uint32)C.SectionCount
                                       ? &C.Sections[Reference.SectionIndex]
                                       : nullptr;
    if (Section && !Section->Source) {
        return resolution::Unloaded;
    }
    if (!Section || Size < 0 || Reference.Offset > Section->SourceSize ||
        (Reference.Offset == Section->SourceSize && Size > 0) ||
        (kelvo_int64)Reference.Offset + Size > Section->SourceSize) {
        ReportBadReference(What, Reference);
        return resolution::Bad;
    }
    Address = Section->Source + Reference.Offset;
    return resolution::Found;
}

// The target of the pointer field at Offset of Section, when it has one.
bool FindFixup(conversion const &C, kelvo_uint32 Section, kelvo_int64 FieldOffset,
               kelvo_file_reference &To) {
    section_state const &State = C.Sections[Section];
    kelvo_pointer_fixup const *Begin = State.Fixups;
    kelvo_pointer_fixup const *End = Begin + State.FixupCount;
    // The last of equal entries wins, as when the fix-ups are applied in order.
    kelvo_pointer_fixup const *Found = std::upper_bound(
        Begin, End, FieldOffset, [](kelvo_int64 Value, kelvo_pointer_fixup const &Fixup) {
            return Value < (kelvo_int64)Fixup.FromOffset;
        });
    if (Found == Begin || (Found - 1)->FromOffset != FieldOffset) {
        return false;
    }
    To = (Found - 1)->To;
    // Repeats of the field's fix-up are taken with it.
    for (kelvo_int64 Index = Found - 1 - Begin;
         Index >= 0 && Begin[Index].FromOffset == FieldOffset; --Index) {
        State.Used[Index] = 1;
    }
    return true;
}

bool NoteReached(conversion &C, kelvo_uint32 Section, kelvo_int64 Begin, kelvo_int64 Size) {
    kelvo_int32 Index;
    if (Size <= 0) {
        return true;
    }
    if (!KelvoNewStackUnit(&C.Reached, &Index)) {
        return false;
    }
    *static_cast<source_bytes *>(KelvoGetStackUnit(&C.Reached, Index)) = {Section, Begin,
                                                                          Begin + Size};
    return true;
}

void *PoolAllocate(conversion &C, kelvo_int32 Size) {
    Size = (Size + 7) & ~7;
    if (Size > PoolChunkSize / 4) {
        return KelvoMemoryArenaPush(C.Arena, Size);
    }
    if (C.PoolLeft < Size) {
        C.PoolNext = static_cast<kelvo_uint8 *>(KelvoMemoryArenaPush(C.Arena, PoolChunkSize));
        C.PoolLeft = C.PoolNext ? PoolChunkSize : 0;
        if (!C.PoolNext) {
            return nullptr;
        }
    }
    void *Result = C.PoolNext;
    C.PoolNext += Size;
    C.PoolLeft -= Size;
    return Result;
}

// Every record read and member visited counts against a bound set by the
// input's size, so that no definition, however it nests, makes the walk
// run on.
bool TakeSteps(conversion &C, kelvo_int64 Count) {
    C.Steps += Count;
    if (C.Steps > C.StepBudget) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: the tree visits more than %I64d members", KELVO_HERE,
            C.StepBudget);
        return false;
    }
    return true;
}

// The stored definition at Reference, read once. Null with Bad set when it
// does not lie whole inside its section; null alone when its section is not
// loaded.
stored_type *GetType(conversion &C, kelvo_file_reference const &Reference, bool &Bad) {
    kelvo_uint8 const *Address;
    resolution Where = Resolve(C, Reference, C.SourceRecordSize, Address, "A type definition");
    if (Where != resolution::Found) {
        Bad = Where == resolution::Bad;
        return nullptr;
    }
    void *Known = nullptr;
    if (KelvoGetHashedPointerData(C.Types, Address, &Known)) {
        return static_cast<stored_type *>(Known);
    }
    section_state const &Section = C.Sections[Reference.SectionIndex];
    kelvo_int64 Count = 0;
    kelvo_int64 At = Reference.Offset;
    for (;; ++Count, At += C.SourceRecordSize) {
        if (At + C.SourceRecordSize > Section.SourceSize || Count > kelvo::MaxTypeSteps) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: type definition at offset %u of section %u has no "
                "end marker inside its section",
                KELVO_HERE, Reference.Offset, Reference.SectionIndex);
            Bad = true;
            return nullptr;
        }
        if (Load32(C.SourceReversed, Section.Source + At) == KelvoEndMember) {
            break;
        }
    }
    if (!TakeSteps(C, Count + 1)) {
        Bad = true;
        return nullptr;
    }
    kelvo_int64 Size =
        (kelvo_int64)sizeof(stored_type) + Count * (kelvo_int64)sizeof(stored_member);
    auto *Type = static_cast<stored_type *>(PoolAllocate(C, (kelvo_int32)Size));
    if (!Type) {
        Bad = true;
        return nullptr;
    }
    Type->Where = Reference;
    Type->MemberCount = (kelvo_int32)Count;
    Type->Members = reinterpret_cast<stored_member *>(Type + 1);
    Type->State = measure_state::Unmeasured;
    Type->SourceSize = Type->TargetSize = 0;
    Type->Marshalling = KelvoNoMarshalling;
    Type->HasPointers = false;
    Type->Copied = false;
    for (kelvo_int32 Index = 0; Index < Type->MemberCount; ++Index) {
        kelvo_int64 Record = Reference.Offset + (kelvo_int64)Index * C.SourceRecordSize;
        stored_member &Member = Type->Members[Index];
        Member = {};
        Member.Type = (kelvo_member_type)Load32(C.SourceReversed, Section.Source + Record);
        Member.ArrayWidth =
            (kelvo_int32)Load32(C.SourceReversed, Section.Source + Record + C.SourceWidthOffset);
        Member.HasName = FindFixup(C, Reference.SectionIndex, Record + 4, Member.Name);
        Member.HasReference = FindFixup(C, Reference.SectionIndex, Record + C.SourceReferenceOffset,
                                        Member.ReferenceWhere);
    }
    if (!KelvoAddPointerToHash(C.Types, Address, Type) ||
        !NoteReached(C, Reference.SectionIndex, Reference.Offset,
                     (Count + 1) * C.SourceRecordSize)) {
        Bad = true;
        return nullptr;
    }
    return Type;
}

// The member's referenced type: null when it has none or it lies in a
// section that is not loaded; false when it is bad.
bool GetMemberReference(conversion &C, stored_member &Member) {
    if (!Member.ReferenceLooked) {
        bool Bad = false;
        Member.Reference = Member.HasReference ? GetType(C, Member.ReferenceWhere, Bad) : nullptr;
        if (Bad) {
            return false;
        }
        Member.ReferenceLooked = true;
    }
    return true;
}

// Sizes on both sides, marshalling and whether there are pointers, through
// inline members to a bounded depth. A type that inlines itself is refused.
bool Measure(conversion &C, stored_type &Type, kelvo_int32 Depth) {
    if (Type.State == measure_state::Measured) {
        return true;
    }
    if (Type.State == measure_state::Measuring || Depth >= kelvo::MaxTypeNesting) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: type definition at offset %u of section %u inlines "
            "itself or nests deeper than %d levels",
            KELVO_HERE, Type.Where.Offset, Type.Where.SectionIndex, kelvo::MaxTypeNesting);
        return false;
    }
    Type.State = measure_state::Measuring;
    kelvo_int64 SourceSize = 0, TargetSize = 0;
    kelvo_marshalling_type Marshalling = KelvoNoMarshalling;
    bool HasPointers = false;
    for (kelvo_int32 Index = 0; Index < Type.MemberCount; ++Index) {
        stored_member &Member = Type.Members[Index];
        if (Member.Type <= KelvoEndMember || Member.Type >= KelvoOnePastLastMemberType ||
            Member.ArrayWidth < 0) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: member %d of the type definition at offset %u of "
                "section %u has type %d and width %d",
                KELVO_HERE, Index, Type.Where.Offset, Type.Where.SectionIndex, Member.Type,
                Member.ArrayWidth);
            return false;
        }
        if (Member.Type == KelvoInlineMember) {
            if (!GetMemberReference(C, Member)) {
                return false;
            }
            if (Member.Reference) {
                if (!Measure(C, *Member.Reference, Depth + 1)) {
                    return false;
                }
                Member.SourceSize = Member.Reference->SourceSize;
                Member.TargetSize = Member.Reference->TargetSize;
                Marshalling |= Member.Reference->Marshalling;
                HasPointers = HasPointers || Member.Reference->HasPointers;
            }
        } else {
            kelvo_int64 Width = Member.ArrayWidth ? Member.ArrayWidth : 1;
            kelvo_int64 Source =
                Width * kelvo::GetMemberUnitSize(Member.Type, C.SourcePointerSize * 8);
            kelvo_int64 Target =
                Width * kelvo::GetMemberUnitSize(Member.Type, C.TargetPointerSize * 8);
            if (Source > INT32_MAX || Target > INT32_MAX) {
                Log(KelvoErrorLogMessage, Origin,
                    "%s(%d): PlatformConversion: member %d of the type definition at offset %u "
                    "of section %u is larger than an int32 can measure",
                    KELVO_HERE, Index, Type.Where.Offset, Type.Where.SectionIndex);
                return false;
            }
            Member.SourceSize = (kelvo_int32)Source;
            Member.TargetSize = (kelvo_int32)Target;
            kelvo_data_type_definition Native = kelvo::MakeMember(Member.Type);
            Member.Marshalling = KelvoGetMemberMarshalling(&Native);
            Marshalling |= Member.Marshalling;
            HasPointers = HasPointers || kelvo::IsPointerBearing(Member.Type);
        }
        SourceSize += Member.SourceSize;
        TargetSize += Member.TargetSize;
        if (SourceSize > INT32_MAX || TargetSize > INT32_MAX) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: objects of the type definition at offset %u of "
                "section %u are larger than an int32 can measure",
                KELVO_HERE, Type.Where.Offset, Type.Where.SectionIndex);
            return false;
        }
    }
    Type.SourceSize = (kelvo_int32)SourceSize;
    Type.TargetSize = (kelvo_int32)TargetSize;
    Type.Marshalling = Marshalling;
    Type.HasPointers = HasPointers;
    Type.State = measure_state::Measured;
    return true;
}

// ---- target side -------------------------------------------------------------------

kelvo_int32 StreamFor(kelvo_marshalling_type Marshalling) {
    if (Marshalling == KelvoNoMarshalling || Marshalling == KelvoInt32Marshalling) {
        return 0;
    }
    return Marshalling == KelvoInt16Marshalling ? 1 : 2;
}

kelvo_uint8 *TargetAt(conversion &C, target_location const &Location) {
    return C.Sections[Location.Section].Streams[Location.Stream].Bytes + Location.Offset;
}

// Size zeroed bytes at the end of a stream, its size first rounded up to
// Alignment. Refused beyond the walk's budget.
bool Append(conversion &C, kelvo_int32 Section, kelvo_int32 Stream, kelvo_int64 Size,
            kelvo_int32 Alignment, target_location &Location) {
    stream &Into = C.Sections[Section].Streams[Stream];
    kelvo_int64 Start = (Into.Size + Alignment - 1) & ~(kelvo_int64)(Alignment - 1);
    kelvo_int64 End = Start + Size;
    C.TargetBytes += End - Into.Size;
    if (Size < 0 || End > INT32_MAX / 2 || C.TargetBytes > C.TargetBudget) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: the converted sections would grow beyond %I64d bytes",
            KELVO_HERE, C.TargetBudget);
        return false;
    }
    if (End > Into.Capacity) {
        kelvo_int64 Capacity =
            std::max<kelvo_int64>(End, std::max<kelvo_int64>(4096, 2 * Into.Capacity));
        Capacity = std::min<kelvo_int64>(Capacity, INT32_MAX / 2 + 8);
        auto *Bytes = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_ALIGNED(8, (kelvo_int32)Capacity));
        if (!Bytes) {
            return false;
        }
        kelvo::Copy((kelvo_int32)Into.Size, Into.Bytes, Bytes);
        KELVO_DEALLOCATE(Into.Bytes);
        Into.Bytes = Bytes;
        Into.Capacity = Capacity;
    }
    kelvo::SetUInt8((kelvo_int32)(End - Into.Size), 0, Into.Bytes + Into.Size);
    Into.Size = End;
    Location = {Section, Stream, (kelvo_uint32)Start};
    return true;
}

bool AddPointerFixup(conversion &C, target_location const &From, target_location const &To) {
    if (From.Section == NoSection) {
        C.RootObject = To;
        C.RootObjectCopied = true;
        return true;
    }
    kelvo_int32 Index;
    if (!KelvoNewStackUnit(&C.PointerFixups, &Index)) {
        return false;
    }
    *static_cast<pointer_record *>(KelvoGetStackUnit(&C.PointerFixups, Index)) = {From, To};
    ++C.Sections[From.Section].PointerCount;
    return true;
}

bool PushWork(conversion &C, work_item const &Item) {
    kelvo_int32 Index;
    if (!KelvoNewStackUnit(&C.Work, &Index)) {
        return false;
    }
    *static_cast<work_item *>(KelvoGetStackUnit(&C.Work, Index)) = Item;
    return true;
}

// A string copied once, with its terminator, into the 8-bit stream of its
// own section. Found is false when its section is not loaded.
bool CopyString(conversion &C, kelvo_file_reference const &Reference, target_location &Location,
                bool &Found) {
    kelvo_uint8 const *Address;
    resolution Where = Resolve(C, Reference, 1, Address, "A string");
    Found = Where == resolution::Found;
    if (!Found) {
        return Where == resolution::Unloaded;
    }
    void *Known = nullptr;
    if (KelvoGetHashedPointerData(C.Strings, Address, &Known)) {
        Location = *static_cast<target_location *>(Known);
        return true;
    }
    kelvo_uint32 Left = C.Sections[Reference.SectionIndex].SourceSize - Reference.Offset;
    auto const *Zero = static_cast<kelvo_uint8 const *>(memchr(Address, 0, Left));
    if (!Zero) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: string at offset %u of section %u is not terminated "
            "inside its section",
            KELVO_HERE, Reference.Offset, Reference.SectionIndex);
        return false;
    }
    kelvo_int64 Size = Zero - Address + 1;
    if (!Append(C, (kelvo_int32)Reference.SectionIndex, 2, Size, 1, Location) ||
        !NoteReached(C, Reference.SectionIndex, Reference.Offset, Size)) {
        return false;
    }
    kelvo::Copy((kelvo_int32)Size, Address, TargetAt(C, Location));
    auto *Saved = static_cast<target_location *>(PoolAllocate(C, sizeof(target_location)));
    if (!Saved) {
        return false;
    }
    *Saved = Location;
    return KelvoAddPointerToHash(C.Strings, Address, Saved) != 0;
}

// A definition's records in the 32-bit stream of its own section, once; its
// names and referenced types follow as work.
bool CopyType(conversion &C, stored_type &Type) {
    if (Type.Copied) {
        return true;
    }
    kelvo_int64 Size = ((kelvo_int64)Type.MemberCount + 1) * C.TargetRecordSize;
    if (!Append(C, (kelvo_int32)Type.Where.SectionIndex, 0, Size, 4, Type.Target)) {
        return false;
    }
    kelvo_uint8 *Records = TargetAt(C, Type.Target);
    for (kelvo_int32 Index = 0; Index < Type.MemberCount; ++Index) {
        kelvo_uint8 *Record = Records + (kelvo_int64)Index * C.TargetRecordSize;
        Store32(C.TargetReversed, Record, (kelvo_uint32)Type.Members[Index].Type);
        Store32(C.TargetReversed, Record + C.TargetWidthOffset,
                (kelvo_uint32)Type.Members[Index].ArrayWidth);
    }
    Type.Copied = true;
    work_item Item = {};
    Item.Kind = work_kind::LinkType;
    Item.Type = &Type;
    return PushWork(C, Item);
}

bool LinkType(conversion &C, stored_type &Type) {
    for (kelvo_int32 Index = 0; Index < Type.MemberCount; ++Index) {
        stored_member &Member = Type.Members[Index];
        target_location Record = Offset(Type.Target, (kelvo_int64)Index * C.TargetRecordSize);
        if (Member.HasName) {
            target_location Name;
            bool Found;
            if (!CopyString(C, Member.Name, Name, Found) ||
                (Found && !AddPointerFixup(C, Offset(Record, 4), Name))) {
                return false;
            }
        }
        switch (Member.Type) {
        case KelvoInlineMember:
        case KelvoReferenceMember:
        case KelvoReferenceToArrayMember:
        case KelvoArrayOfReferencesMember:
            if (!GetMemberReference(C, Member)) {
                return false;
            }
            if (Member.Reference && (!CopyType(C, *Member.Reference) ||
                                     !AddPointerFixup(C, Offset(Record, C.TargetReferenceOffset),
                                                      Member.Reference->Target))) {
                return false;
            }
            break;
        default:
            break;
        }
    }
    return true;
}

// One object's values, member by member; pointer fields stay zero.
bool CopyData(conversion &C, stored_type const &Type, kelvo_uint32 Section,
              kelvo_int64 SourceOffset, kelvo_uint8 *Target) {
    if (!TakeSteps(C, Type.MemberCount)) {
        return false;
    }
    kelvo_uint8 const *Source = C.Sections[Section].Source;
    kelvo_int32 SP = C.SourcePointerSize, TP = C.TargetPointerSize;
    for (kelvo_int32 Index = 0; Index < Type.MemberCount; ++Index) {
        stored_member const &Member = Type.Members[Index];
        kelvo_uint8 const *From = Source + SourceOffset;
        switch (Member.Type) {
        case KelvoInlineMember:
            if (Member.Reference && Member.SourceSize > 0 &&
                !CopyData(C, *Member.Reference, Section, SourceOffset, Target)) {
                return false;
            }
            break;
        case KelvoReferenceToArrayMember:
        case KelvoArrayOfReferencesMember:
            Store32(C.TargetReversed, Target, Load32(C.SourceReversed, From));
            break;
        case KelvoReferenceToVariantArrayMember:
            Store32(C.TargetReversed, Target + TP, Load32(C.SourceReversed, From + SP));
            break;
        case KelvoStringMember: {
            // A value the writer's string callback put there, not a string.
            kelvo_file_reference Unused;
            if (!FindFixup(C, Section, SourceOffset, Unused)) {
                StorePointerValue(C, Target, LoadPointerValue(C, From));
            }
            break;
        }
        case KelvoReferenceMember:
        case KelvoVariantReferenceMember:
        case KelvoRetiredSwitchableMember:
            break;
        default: {
            kelvo::Copy(Member.SourceSize, From, Target);
            if (C.Swap && Member.Marshalling == KelvoInt32Marshalling) {
                kelvo::Reverse32(Member.SourceSize, Target);
            } else if (C.Swap && Member.Marshalling == KelvoInt16Marshalling) {
                kelvo::Reverse16(Member.SourceSize, Target);
            }
            break;
        }
        }
        SourceOffset += Member.SourceSize;
        Target += Member.TargetSize;
    }
    return true;
}

bool FailTraversal(char const *Message) {
    Log(KelvoErrorLogMessage, Origin, Message, KELVO_HERE);
    return false;
}

// A block of Count pointers in the 8-bit stream, each slot's object pending.
bool CopyPointerBlock(conversion &C, stored_type *Type, kelvo_file_reference const &Block,
                      kelvo_uint32 Count, target_location const &From) {
    kelvo_uint8 const *Address;
    resolution Where = Resolve(C, Block, (kelvo_int64)Count * C.SourcePointerSize, Address,
                               "An array of references");
    if (Where != resolution::Found) {
        return Where == resolution::Unloaded;
    }
    void *Known = nullptr;
    if (KelvoGetHashedPointerData(C.Blocks, Address, &Known)) {
        auto const *Copied = static_cast<pointer_block const *>(Known);
        if (Copied->Count >= Count) {
            return C.Discovering || AddPointerFixup(C, From, Copied->Target);
        }
    }
    target_location Location = {};
    auto *Copied = static_cast<pointer_block *>(PoolAllocate(C, sizeof(pointer_block)));
    if (!Copied ||
        (!C.Discovering &&
         (!Append(C, (kelvo_int32)Block.SectionIndex, 2, (kelvo_int64)Count * C.TargetPointerSize,
                  C.Sections[Block.SectionIndex].Alignment, Location) ||
          !AddPointerFixup(C, From, Location) ||
          !NoteReached(C, Block.SectionIndex, Block.Offset,
                       (kelvo_int64)Count * C.SourcePointerSize)))) {
        return false;
    }
    *Copied = {Count, Location};
    KelvoSetHashedPointerData(C.Blocks, Address, Copied);
    for (kelvo_uint32 Slot = 0; Type && Slot < Count; ++Slot) {
        kelvo_file_reference Object;
        if (FindFixup(C, Block.SectionIndex, Block.Offset + (kelvo_int64)Slot * C.SourcePointerSize,
                      Object)) {
            work_item Item = {work_kind::Objects,
                              Type,
                              Object,
                              1,
                              false,
                              Offset(Location, (kelvo_int64)Slot * C.TargetPointerSize)};
            if (!PushWork(C, Item)) {
                return false;
            }
        }
    }
    return true;
}

// The variant's type, copied and pointed at; null when the field has none.
bool CopyVariantType(conversion &C, kelvo_uint32 Section, kelvo_int64 Field,
                     target_location const &Target, stored_type *&Type) {
    Type = nullptr;
    kelvo_file_reference Where;
    if (!FindFixup(C, Section, Field, Where)) {
        return true;
    }
    bool Bad = false;
    Type = GetType(C, Where, Bad);
    if (Bad) {
        return false;
    }
    return !Type || C.Discovering ||
           (CopyType(C, *Type) && AddPointerFixup(C, Target, Type->Target));
}

// The objects, arrays and strings one object refers to; objects become
// pending work, so the walk's depth is not the machine stack's.
bool CopySubObjects(conversion &C, stored_type &Type, kelvo_uint32 Section,
                    kelvo_int64 SourceOffset, target_location Target) {
    if (!TakeSteps(C, Type.MemberCount)) {
        return false;
    }
    kelvo_uint8 const *Source = C.Sections[Section].Source;
    kelvo_int32 SP = C.SourcePointerSize, TP = C.TargetPointerSize;
    for (kelvo_int32 Index = 0; Index < Type.MemberCount; ++Index) {
        stored_member &Member = Type.Members[Index];
        kelvo_file_reference To;
        switch (Member.Type) {
        case KelvoInlineMember:
            if (Member.Reference && Member.Reference->HasPointers &&
                !CopySubObjects(C, *Member.Reference, Section, SourceOffset, Target)) {
                return false;
            }
            break;
        case KelvoReferenceMember:
        case KelvoReferenceToArrayMember: {
            bool IsArray = Member.Type == KelvoReferenceToArrayMember;
            kelvo_int32 Field = IsArray ? 4 : 0;
            if (!GetMemberReference(C, Member)) {
                return false;
            }
            if (Member.Reference && FindFixup(C, Section, SourceOffset + Field, To)) {
                kelvo_uint32 Count = IsArray ? Load32(C.SourceReversed, Source + SourceOffset) : 1;
                work_item Item = {work_kind::Objects,   Member.Reference, To, Count, IsArray,
                                  Offset(Target, Field)};
                if (!PushWork(C, Item)) {
                    return false;
                }
            }
            break;
        }
        case KelvoArrayOfReferencesMember:
            if (!GetMemberReference(C, Member)) {
                return false;
            }
            if (FindFixup(C, Section, SourceOffset + 4, To) &&
                !CopyPointerBlock(C, Member.Reference, To,
                                  Load32(C.SourceReversed, Source + SourceOffset),
                                  Offset(Target, 4))) {
                return false;
            }
            break;
        case KelvoVariantReferenceMember:
        case KelvoReferenceToVariantArrayMember: {
            // The type reference, then the object (or a count and the array).
            bool const IsArray = Member.Type == KelvoReferenceToVariantArrayMember;
            kelvo_int32 const CountSize = IsArray ? 4 : 0;
            stored_type *Variant;
            if (!CopyVariantType(C, Section, SourceOffset, Target, Variant)) {
                return false;
            }
            if (Variant && FindFixup(C, Section, SourceOffset + SP + CountSize, To)) {
                kelvo_uint32 Count =
                    IsArray ? Load32(C.SourceReversed, Source + SourceOffset + SP) : 1;
                work_item Item = {work_kind::Objects,
                                  Variant,
                                  To,
                                  Count,
                                  IsArray,
                                  Offset(Target, TP + CountSize)};
                if (!PushWork(C, Item)) {
                    return false;
                }
            }
            break;
        }
        case KelvoStringMember:
            if (FindFixup(C, Section, SourceOffset, To)) {
                target_location String;
                bool Found;
                if (C.Discovering) {
                    kelvo_uint8 const *Unused;
                    if (Resolve(C, To, 1, Unused, "A string") == resolution::Bad) {
                        return false;
                    }
                } else if (!CopyString(C, To, String, Found) ||
                           (Found && !AddPointerFixup(C, Target, String))) {
                    return false;
                }
            }
            break;
        default:
            break;
        }
        SourceOffset += Member.SourceSize;
        Target.Offset += (kelvo_uint32)Member.TargetSize;
    }
    return true;
}

extent *FindExtent(conversion &C, void const *Address, stored_type const *Type) {
    void *Known = nullptr;
    KelvoGetHashedPointerData(C.Extents, Address, &Known);
    for (auto *Extent = static_cast<extent *>(Known); Extent; Extent = Extent->NextAtAddress) {
        if (Extent->Type == Type) {
            return Extent;
        }
    }
    return nullptr;
}

// The first walk: objects reached are noted as extents; elements that an
// extent gains are followed further.
bool DiscoverObjects(conversion &C, work_item const &Item, kelvo_uint8 const *Address) {
    stored_type &Type = *Item.Type;
    extent *Extent = FindExtent(C, Address, &Type);
    kelvo_uint32 First = Extent ? Extent->Count : 0;
    if (Extent && First >= Item.Count) {
        return true;
    }
    if (!Extent) {
        Extent = static_cast<extent *>(PoolAllocate(C, sizeof(extent)));
        kelvo_int32 Index;
        if (!Extent || !KelvoNewStackUnit(&C.AllExtents, &Index)) {
            return false;
        }
        void *Head = nullptr;
        KelvoGetHashedPointerData(C.Extents, Address, &Head);
        *Extent = {&Type,
                   Item.Source.SectionIndex,
                   Item.Source.Offset,
                   0,
                   static_cast<extent *>(Head),
                   nullptr,
                   false,
                   {}};
        *static_cast<extent **>(KelvoGetStackUnit(&C.AllExtents, Index)) = Extent;
        bool Stored = Head ? KelvoSetHashedPointerData(C.Extents, Address, Extent) != 0
                           : KelvoAddPointerToHash(C.Extents, Address, Extent) != 0;
        if (!Stored) {
            return false;
        }
    }
    Extent->Count = Item.Count;
    kelvo_uint32 Count = Type.SourceSize > 0 && Type.HasPointers ? Item.Count : First;
    if (!TakeSteps(C, Type.SourceSize > 0 ? (kelvo_int64)Item.Count - First : 1)) {
        return false;
    }
    for (kelvo_uint32 Element = First; Element < Count; ++Element) {
        if (!CopySubObjects(C, Type, Item.Source.SectionIndex,
                            Item.Source.Offset + (kelvo_int64)Element * Type.SourceSize, {})) {
            return false;
        }
    }
    return true;
}

// A stack's units copied out and sorted, freed with this; Failed (and
// reported) when the copy cannot be allocated.
template <typename unit> struct sorted_units : kelvo::no_copy {
    unit *Units = nullptr;
    kelvo_int32 Count = 0;
    bool Failed = false;

    template <typename before> sorted_units(kelvo_stack_allocator const &Stack, before Before) {
        kelvo_int32 Found = KelvoGetStackUnitCount(&Stack);
        if (Found == 0) {
            return;
        }
        kelvo_int64 Bytes = (kelvo_int64)Found * (kelvo_int64)sizeof(unit);
        if (Bytes > INT32_MAX) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: %d units of %d bytes are too many to sort", KELVO_HERE,
                Found, (kelvo_int32)sizeof(unit));
            Failed = true;
            return;
        }
        Units = static_cast<unit *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Bytes));
        if (!Units) {
            Failed = true;
            return;
        }
        KelvoSerializeStack(&Stack, Units);
        std::sort(Units, Units + Found, Before);
        Count = Found;
    }
    ~sorted_units() {
        if (Units) {
            KELVO_DEALLOCATE(Units);
        }
    }
};

// Merges the extents of each type that overlap element for element; each
// gets the root it is copied with.
bool SettleExtents(conversion &C) {
    sorted_units<extent *> Sorted(C.AllExtents, [](extent const *A, extent const *B) {
        if (A->Type != B->Type) {
            return A->Type < B->Type;
        }
        if (A->Section != B->Section) {
            return A->Section < B->Section;
        }
        return A->Offset < B->Offset;
    });
    if (Sorted.Failed) {
        return false;
    }
    extent *Root = nullptr;
    kelvo_int64 RootEnd = 0;
    for (kelvo_int32 Index = 0; Index < Sorted.Count; ++Index) {
        extent *Extent = Sorted.Units[Index];
        kelvo_int64 Size = Extent->Type->SourceSize;
        kelvo_int64 End = Extent->Offset + Size * Extent->Count;
        bool Joins =
            Root && Root->Type == Extent->Type && Root->Section == Extent->Section &&
            (Size == 0 ? Extent->Offset == Root->Offset
                       : Extent->Offset < RootEnd && (Extent->Offset - Root->Offset) % Size == 0);
        if (!Joins) {
            Root = Extent;
            RootEnd = End;
        } else if (End > RootEnd) {
            RootEnd = End;
            Root->Count = (kelvo_uint32)((RootEnd - Root->Offset) / Size);
        }
        Extent->Root = Root;
    }
    return true;
}

// Records without pointers whose members all reverse alike keep their
// layout: the whole extent is copied (and reversed) at once.
bool CopyInBulk(conversion &C, stored_type const &Type, extent const &Root,
                target_location const &Location) {
    bool Uniform =
        Type.Marshalling == KelvoNoMarshalling || Type.Marshalling == KelvoInt32Marshalling ||
        Type.Marshalling == KelvoInt16Marshalling || Type.Marshalling == KelvoInt8Marshalling;
    if (Type.HasPointers || Type.SourceSize != Type.TargetSize || !Uniform || Root.Count == 0) {
        return false;
    }
    kelvo_int32 Size = (kelvo_int32)((kelvo_int64)Type.SourceSize * Root.Count);
    kelvo_uint8 *Target = TargetAt(C, Location);
    kelvo::Copy(Size, C.Sections[Root.Section].Source + Root.Offset, Target);
    if (C.Swap && Type.Marshalling == KelvoInt32Marshalling) {
        kelvo::Reverse32(Size, Target);
    } else if (C.Swap && Type.Marshalling == KelvoInt16Marshalling) {
        kelvo::Reverse16(Size, Target);
    }
    return true;
}

// Streams sized for the objects the first walk found, so that copying does
// not grow them step by step; definitions, strings and pointer blocks still
// grow them a little.
bool ReserveStreams(conversion &C) {
    kelvo_int32 Count = KelvoGetStackUnitCount(&C.AllExtents);
    kelvo_int64 Total = 0;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        extent const *Extent = *static_cast<extent **>(KelvoGetStackUnit(&C.AllExtents, Index));
        if (Extent->Root == Extent) {
            stream &Into =
                C.Sections[Extent->Section].Streams[StreamFor(Extent->Type->Marshalling)];
            kelvo_int64 Size = (kelvo_int64)Extent->Type->TargetSize * Extent->Count +
                               C.Sections[Extent->Section].Alignment;
            Into.Capacity += Size; // a wish until allocated below
            Total += Size;
        }
    }
    for (kelvo_int32 Index = 0; Index < C.SectionCount; ++Index) {
        for (stream &Into : C.Sections[Index].Streams) {
            kelvo_int64 Wanted = Into.Capacity + 4096;
            bool Found = Into.Capacity > 0;
            Into.Capacity = 0;
            if (!Found || Total > C.TargetBudget || Wanted > INT32_MAX / 2) {
                continue; // the copying refuses such trees as they grow
            }
            Into.Bytes = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_ALIGNED(8, (kelvo_int32)Wanted));
            if (!Into.Bytes) {
                return false;
            }
            Into.Capacity = Wanted;
        }
    }
    return true;
}

// The second walk: an object's whole root extent is copied the first time
// any part of it is reached, and pointed into after that.
bool CopyObjects(conversion &C, work_item const &Item, kelvo_uint8 const *Address) {
    stored_type &Type = *Item.Type;
    if (!CopyType(C, Type)) {
        return FailTraversal("%s(%d): PlatformConversion::TraverseTree: Failed to copy type");
    }
    extent *Extent = FindExtent(C, Address, &Type);
    if (!Extent) {
        return FailTraversal("%s(%d): PlatformConversion::TraverseTree: Failed to ObjectData");
    }
    extent &Root = *Extent->Root;
    if (!Root.Copied) {
        target_location Location;
        if (!Append(C, (kelvo_int32)Root.Section, StreamFor(Type.Marshalling),
                    (kelvo_int64)Type.TargetSize * Root.Count, C.Sections[Root.Section].Alignment,
                    Location)) {
            return FailTraversal(Item.IsArray
                                     ? "%s(%d): PlatformConversion::CopySubObjects: Failed to "
                                       "copy ReferenceToArrayMember object data"
                                     : "%s(%d): PlatformConversion::TraverseTree: Failed to "
                                       "ObjectData");
        }
        Root.Copied = true;
        Root.Target = Location;
        if (!NoteReached(C, Root.Section, Root.Offset, (kelvo_int64)Type.SourceSize * Root.Count)) {
            return false;
        }
        // Objects without size have nothing to copy and nothing to follow.
        kelvo_uint32 Count = Type.SourceSize > 0 ? Root.Count : 0;
        if (CopyInBulk(C, Type, Root, Location)) {
            Count = 0;
        }
        for (kelvo_uint32 Element = 0; Element < Count; ++Element) {
            if (!CopyData(C, Type, Root.Section,
                          Root.Offset + (kelvo_int64)Element * Type.SourceSize,
                          TargetAt(C, Offset(Location, (kelvo_int64)Element * Type.TargetSize)))) {
                return false;
            }
        }
        if (KelvoIsMixedMarshalling(Type.Marshalling) && Root.Count > 0) {
            kelvo_int32 Index;
            if (!KelvoNewStackUnit(&C.MarshallingFixups, &Index)) {
                return false;
            }
            *static_cast<marshalling_record *>(KelvoGetStackUnit(&C.MarshallingFixups, Index)) = {
                Type.Target, Location, Root.Count};
            ++C.Sections[Root.Section].MarshallingCount;
        }
        for (kelvo_uint32 Element = 0; Type.HasPointers && Element < Count; ++Element) {
            if (!CopySubObjects(C, Type, Root.Section,
                                Root.Offset + (kelvo_int64)Element * Type.SourceSize,
                                Offset(Location, (kelvo_int64)Element * Type.TargetSize))) {
                return FailTraversal(
                    Item.IsArray
                        ? "%s(%d): PlatformConversion::CopySubObjects: Failed to copy "
                          "ReferenceToArrayMember SubObjects"
                        : "%s(%d): PlatformConversion::TraverseTree: Failed to CopySubObjects");
            }
        }
    }
    kelvo_int64 Element =
        Type.SourceSize > 0 ? ((kelvo_int64)Extent->Offset - Root.Offset) / Type.SourceSize : 0;
    return AddPointerFixup(C, Item.From, Offset(Root.Target, Element * Type.TargetSize));
}

// Count objects of one type at Source (one object, or an array whose
// elements follow each other), checked, then found or copied.
bool VisitObjects(conversion &C, work_item const &Item) {
    stored_type &Type = *Item.Type;
    if (!Measure(C, Type, 0)) {
        return false;
    }
    kelvo_uint8 const *Address;
    kelvo_int64 SourceSize = (kelvo_int64)Type.SourceSize * Item.Count;
    resolution Where =
        Resolve(C, Item.Source, SourceSize, Address, Item.IsArray ? "An array" : "An object");
    if (Where != resolution::Found) {
        return Where == resolution::Unloaded;
    }
    return C.Discovering ? DiscoverObjects(C, Item, Address) : CopyObjects(C, Item, Address);
}

bool Walk(conversion &C, stored_type &RootType, kelvo_file_reference const &RootObject) {
    // A bottom item stays pushed for the whole walk: a walk one item deep at
    // a time (a long list) would otherwise free and allocate the stack's
    // block for every item.
    work_item const Bottom = {};
    bool Done = PushWork(C, Bottom);
    if (Done && !C.Discovering) {
        Done = CopyType(C, RootType); // pushes the type's links
        if (Done) {
            C.RootType = RootType.Target;
        }
    }
    work_item Root = {work_kind::Objects, &RootType, RootObject, 1, false, {NoSection, 0, 0}};
    Done = Done && PushWork(C, Root);
    for (kelvo_int32 Pending; Done && (Pending = KelvoGetStackUnitCount(&C.Work)) > 1;) {
        work_item Item = *static_cast<work_item *>(KelvoGetStackUnit(&C.Work, Pending - 1));
        KelvoPopStackUnits(&C.Work, 1);
        Done = Item.Kind == work_kind::LinkType ? LinkType(C, *Item.Type) : VisitObjects(C, Item);
    }
    KelvoPopStackUnits(&C.Work, KelvoGetStackUnitCount(&C.Work));
    return Done;
}

// A source fix-up that no field of the tree took must not write into bytes
// the tree reaches: a loader of the file's own pointer size applies it, so
// the file would mean one thing there and another once converted.
bool FixupsStayOutsideTheTree(conversion &C) {
    auto Before = [](source_bytes const &A, source_bytes const &B) {
        return A.Section != B.Section ? A.Section < B.Section : A.Begin < B.Begin;
    };
    sorted_units<source_bytes> Sorted(C.Reached, Before);
    if (Sorted.Failed) {
        return false;
    }
    source_bytes *Bytes = Sorted.Units;
    kelvo_int32 const Count = Sorted.Count;
    // Each End becomes the furthest end of its section's bytes so far.
    for (kelvo_int32 Index = 1; Index < Count; ++Index) {
        if (Bytes[Index].Section == Bytes[Index - 1].Section) {
            Bytes[Index].End = std::max(Bytes[Index].End, Bytes[Index - 1].End);
        }
    }
    bool Outside = true;
    for (kelvo_int32 Section = 0; Outside && Section < C.SectionCount; ++Section) {
        section_state const &State = C.Sections[Section];
        for (kelvo_uint32 Fixup = 0; Outside && Fixup < State.FixupCount; ++Fixup) {
            kelvo_int64 From = State.Fixups[Fixup].FromOffset;
            source_bytes Probe = {(kelvo_uint32)Section, From + C.SourcePointerSize, 0};
            source_bytes const *Next = std::lower_bound(Bytes, Bytes + Count, Probe, Before);
            if (State.Used[Fixup] || Next == Bytes ||
                (Next - 1)->Section != (kelvo_uint32)Section || (Next - 1)->End <= From) {
                continue;
            }
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: pointer fix-up at offset %u of section %d writes over "
                "the bytes of the data tree, not a pointer it holds",
                KELVO_HERE, (kelvo_uint32)From, Section);
            Outside = false;
        }
    }
    return Outside;
}

// Both walks: the first finds every extent (and every fault), the second
// copies.
bool Traverse(conversion &C, stored_type &RootType, kelvo_file_reference const &RootObject) {
    C.Discovering = true;
    if (!Walk(C, RootType, RootObject) || !SettleExtents(C)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: Initial tree traversal failed", KELVO_HERE);
        return false;
    }
    // Pointer blocks are found again, this time to be copied.
    KelvoDeletePointerHash(C.Blocks);
    C.Blocks = KelvoNewPointerHash();
    C.Discovering = false;
    if (!C.Blocks || !ReserveStreams(C) || !Walk(C, RootType, RootObject) || !C.RootObjectCopied) {
        if (!C.RootObjectCopied) {
            ReportBadReference("The root object", RootObject);
        }
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: Secondary tree traversal failed", KELVO_HERE);
        return false;
    }
    return FixupsStayOutsideTheTree(C);
}

// ---- flattening ------------------------------------------------------------------

kelvo_uint32 SectionOffset(conversion const &C, target_location const &Location) {
    return C.Sections[Location.Section].StreamStart[Location.Stream] + Location.Offset;
}

kelvo_file_reference Reference(conversion const &C, target_location const &Location) {
    return {(kelvo_uint32)Location.Section, SectionOffset(C, Location)};
}

bool Flatten(conversion &C) {
    kelvo_int32 Padding = 2 * KelvoGetFenwa1CompressBufferPaddingSize();
    for (kelvo_int32 Index = 0; Index < C.SectionCount; ++Index) {
        section_state &Section = C.Sections[Index];
        kelvo_int64 Alignment = Section.Alignment;
        kelvo_int64 At = 0;
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            Section.StreamStart[Stream] = (kelvo_uint32)At;
            At = (At + Section.Streams[Stream].Size + Alignment - 1) & ~(Alignment - 1);
        }
        Section.ExpandedSize = (kelvo_uint32)At;
        if (At == 0) {
            continue;
        }
        if (At + Padding > INT32_MAX) {
            return false;
        }
        Section.Flattened = static_cast<kelvo_uint8 *>(
            KELVO_ALLOCATE_ALIGNED(Section.Alignment, (kelvo_int32)(At + Padding)));
        if (!Section.Flattened) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): WriteFixupsAndFlattenSections: Failed to create flattened array "
                "(attempting: %d",
                KELVO_HERE, (kelvo_int32)(At + Padding));
            return false;
        }
        kelvo::SetUInt8((kelvo_int32)(At + Padding), 0, Section.Flattened);
        for (kelvo_int32 Stream = 0; Stream < StreamCount; ++Stream) {
            stream &From = Section.Streams[Stream];
            kelvo::Copy((kelvo_int32)From.Size, From.Bytes,
                        Section.Flattened + Section.StreamStart[Stream]);
            KELVO_DEALLOCATE(From.Bytes);
            From = {};
        }
    }
    return true;
}

// The recorded fix-ups as per-section arrays, in the order recorded.
bool WriteFixupArrays(conversion &C, kelvo_pointer_fixup **Pointers,
                      kelvo_marshalling_fixup **Marshallings, kelvo_int32 *Filled) {
    for (kelvo_int32 Index = 0; Index < C.SectionCount; ++Index) {
        section_state const &Section = C.Sections[Index];
        Filled[Index] = Filled[C.SectionCount + Index] = 0;
        kelvo_int64 PointerBytes = (kelvo_int64)Section.PointerCount * sizeof(kelvo_pointer_fixup);
        kelvo_int64 MarshallingBytes =
            (kelvo_int64)Section.MarshallingCount * sizeof(kelvo_marshalling_fixup);
        if (PointerBytes > INT32_MAX || MarshallingBytes > INT32_MAX) {
            return false;
        }
        if (Section.PointerCount > 0 &&
            !(Pointers[Index] = static_cast<kelvo_pointer_fixup *>(
                  KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)PointerBytes)))) {
            return false;
        }
        if (Section.MarshallingCount > 0 &&
            !(Marshallings[Index] = static_cast<kelvo_marshalling_fixup *>(
                  KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)MarshallingBytes)))) {
            return false;
        }
    }
    kelvo_int32 PointerCount = KelvoGetStackUnitCount(&C.PointerFixups);
    for (kelvo_int32 Index = 0; Index < PointerCount; ++Index) {
        auto const &Record =
            *static_cast<pointer_record *>(KelvoGetStackUnit(&C.PointerFixups, Index));
        kelvo_int32 Section = Record.From.Section;
        Pointers[Section][Filled[Section]++] = {SectionOffset(C, Record.From),
                                                Reference(C, Record.To)};
    }
    kelvo_int32 MarshallingCount = KelvoGetStackUnitCount(&C.MarshallingFixups);
    for (kelvo_int32 Index = 0; Index < MarshallingCount; ++Index) {
        auto const &Record =
            *static_cast<marshalling_record *>(KelvoGetStackUnit(&C.MarshallingFixups, Index));
        kelvo_int32 Section = Record.Object.Section;
        Marshallings[Section][Filled[C.SectionCount + Section]++] = {
            Record.Count, SectionOffset(C, Record.Object), Reference(C, Record.Type)};
    }
    return true;
}

// ---- set-up and release ------------------------------------------------------------

void Release(conversion &C) {
    for (kelvo_int32 Index = 0; C.Sections && Index < C.SectionCount; ++Index) {
        section_state &Section = C.Sections[Index];
        KELVO_DEALLOCATE(Section.Fixups);
        KELVO_DEALLOCATE(Section.Used);
        KELVO_DEALLOCATE(Section.Flattened);
        for (stream &Stream : Section.Streams) {
            KELVO_DEALLOCATE(Stream.Bytes);
        }
    }
    KELVO_DEALLOCATE(C.Sections);
    if (C.Arena) {
        KelvoFreeMemoryArena(C.Arena);
    }
    KelvoDeletePointerHash(C.Types);
    KelvoDeletePointerHash(C.Strings);
    KelvoDeletePointerHash(C.Blocks);
    KelvoDeletePointerHash(C.Extents);
    KelvoStackCleanUp(&C.AllExtents);
    KelvoStackCleanUp(&C.Reached);
    KelvoStackCleanUp(&C.PointerFixups);
    KelvoStackCleanUp(&C.MarshallingFixups);
    KelvoStackCleanUp(&C.Work);
}

void SetLayout(conversion &C, kelvo::platform Source, kelvo::platform Target) {
    C.SourcePointerSize = Source.PointerSizeInBits / 8;
    C.TargetPointerSize = Target.PointerSizeInBits / 8;
    C.SourceReversed = Source.IsLittleEndian != kelvo::ThisPlatformIsLittleEndian;
    C.TargetReversed = Target.IsLittleEndian != kelvo::ThisPlatformIsLittleEndian;
    C.Swap = Source.IsLittleEndian != Target.IsLittleEndian;
    // Member records: type, name, reference type, width, three reserved
    // words and one reserved pointer.
    C.SourceRecordSize = 20 + 3 * C.SourcePointerSize;
    C.TargetRecordSize = 20 + 3 * C.TargetPointerSize;
    C.SourceReferenceOffset = 4 + C.SourcePointerSize;
    C.TargetReferenceOffset = 4 + C.TargetPointerSize;
    C.SourceWidthOffset = 4 + 2 * C.SourcePointerSize;
    C.TargetWidthOffset = 4 + 2 * C.TargetPointerSize;
}

bool SetUp(conversion &C, kelvo_file const *File, kelvo::fixup_arrays const &Arrays) {
    KelvoStackInitialize(&C.PointerFixups, sizeof(pointer_record), FixupsPerBlock);
    KelvoStackInitialize(&C.MarshallingFixups, sizeof(marshalling_record), FixupsPerBlock);
    KelvoStackInitialize(&C.Work, sizeof(work_item), WorkPerBlock);
    KelvoStackInitialize(&C.AllExtents, sizeof(extent *), WorkPerBlock);
    KelvoStackInitialize(&C.Reached, sizeof(source_bytes), WorkPerBlock);
    C.SectionCount = File->SectionCount;
    C.Arena = KelvoNewMemoryArena();
    C.Types = KelvoNewPointerHash();
    C.Strings = KelvoNewPointerHash();
    C.Blocks = KelvoNewPointerHash();
    C.Extents = KelvoNewPointerHash();
    kelvo_int64 Size = (kelvo_int64)C.SectionCount * sizeof(section_state);
    C.Sections = Size <= INT32_MAX && Size > 0
                     ? static_cast<section_state *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Size))
                     : nullptr;
    // Empty before any early return: Release frees what every section holds.
    for (kelvo_int32 Index = 0; C.Sections && Index < C.SectionCount; ++Index) {
        C.Sections[Index] = {};
    }
    if (!C.Arena || !C.Types || !C.Strings || !C.Blocks || !C.Extents || !C.Sections) {
        return false;
    }
    kelvo_section_header const *Headers = KelvoGetKVNSectionArray(File->Header);
    kelvo_int64 SourceBytes = 0;
    for (kelvo_int32 Index = 0; Index < C.SectionCount; ++Index) {
        section_state &Section = C.Sections[Index];
        kelvo_int32 Alignment = (kelvo_int32)Headers[Index].InternalAlignment;
        Section.Alignment = Alignment >= 4 && (Alignment & (Alignment - 1)) == 0 ? Alignment : 4;
        if (!File->Sections[Index]) {
            continue;
        }
        Section.Source = static_cast<kelvo_uint8 const *>(File->Sections[Index]);
        Section.SourceSize = Headers[Index].ExpandedDataSize;
        SourceBytes += Section.SourceSize;
        kelvo_uint32 Count = Headers[Index].PointerFixupArrayCount;
        if (Count && Arrays.Pointers[Index]) {
            Section.Fixups = static_cast<kelvo_pointer_fixup *>(
                KELVO_ALLOCATE_ALIGNED(4, (kelvo_int32)(Count * sizeof(kelvo_pointer_fixup))));
            Section.Used = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Count));
            if (!Section.Fixups || !Section.Used) {
                return false;
            }
            kelvo::SetUInt8((kelvo_int32)Count, 0, Section.Used);
            // Fix-ups the loader would skip are skipped here too.
            kelvo_int32 Skipped = 0;
            kelvo_uint32 Kept = 0;
            for (kelvo_uint32 Fixup = 0; Fixup < Count; ++Fixup) {
                if (kelvo::PointerFieldFits(Arrays.Pointers[Index][Fixup], (kelvo_int32)Fixup,
                                            Index, Section.SourceSize, C.SourcePointerSize,
                                            Skipped)) {
                    Section.Fixups[Kept++] = Arrays.Pointers[Index][Fixup];
                }
            }
            kelvo::ReportSkipTotal("pointer", Skipped, Index);
            Count = Kept;
            std::stable_sort(Section.Fixups, Section.Fixups + Count,
                             [](kelvo_pointer_fixup const &A, kelvo_pointer_fixup const &B) {
                                 return A.FromOffset < B.FromOffset;
                             });
            Section.FixupCount = Count;
        }
    }
    // Pointers at most double, alignment pads; anything far beyond is hostile.
    C.TargetBudget = 8 * SourceBytes + (1 << 20);
    C.StepBudget = 8 * SourceBytes + (1 << 20);
    return true;
}

// The conversion's result moved into the file, the old sections released.
void ApplyToFile(conversion &C, kelvo_file *File, kelvo::fixup_arrays &Arrays,
                 kelvo_pointer_fixup **Pointers, kelvo_marshalling_fixup **Marshallings,
                 kelvo::platform Target) {
    kelvo_section_header *Headers = KelvoGetKVNSectionArray(File->Header);
    bool Reversed = Target.IsLittleEndian != kelvo::ThisPlatformIsLittleEndian;
    for (kelvo_int32 Index = 0; Index < C.SectionCount; ++Index) {
        section_state &Section = C.Sections[Index];
        kelvo_section_header &Header = Headers[Index];
        Header.ExpandedDataSize = Section.ExpandedSize;
        Header.First16Bit = Section.StreamStart[1];
        Header.First8Bit = Section.StreamStart[2];
        Header.DataSize = Section.ExpandedSize;
        Header.PointerFixupArrayCount = (kelvo_uint32)Section.PointerCount;
        Header.MixedMarshallingFixupArrayCount = (kelvo_uint32)Section.MarshallingCount;
        if (File->Sections[Index] && !File->IsUserMemory[Index]) {
            KELVO_DEALLOCATE(File->Sections[Index]);
        }
        File->Sections[Index] = Section.Flattened;
        Section.Flattened = nullptr;
        File->IsUserMemory[Index] = 0;
        File->Marshalled[Index] = !Reversed;
        KELVO_DEALLOCATE(Arrays.Pointers[Index]);
        KELVO_DEALLOCATE(Arrays.Marshallings[Index]);
        Arrays.Pointers[Index] = Pointers[Index];
        Arrays.Marshallings[Index] = Marshallings[Index];
    }
    File->Header->RootObjectTypeDefinition = Reference(C, C.RootType);
    File->Header->RootObject = Reference(C, C.RootObject);
    File->IsByteReversed = Reversed;
}

} // namespace

namespace kelvo {

bool AllocateFixupArrays(fixup_arrays &Arrays, kelvo_int32 SectionCount) {
    Arrays = {SectionCount, nullptr, nullptr};
    if (SectionCount <= 0) {
        return true;
    }
    auto **Block = static_cast<void **>(
        KELVO_ALLOCATE_SIZE((kelvo_int32)(2 * (kelvo_int64)SectionCount * sizeof(void *))));
    if (!Block) {
        return false;
    }
    for (kelvo_int32 Index = 0; Index < 2 * SectionCount; ++Index) {
        Block[Index] = nullptr;
    }
    Arrays.Pointers = reinterpret_cast<kelvo_pointer_fixup **>(Block);
    Arrays.Marshallings = reinterpret_cast<kelvo_marshalling_fixup **>(Block + SectionCount);
    return true;
}

void FreeFixupArrays(fixup_arrays &Arrays) {
    for (kelvo_int32 Index = 0; Arrays.Pointers && Index < Arrays.Count; ++Index) {
        KELVO_DEALLOCATE(Arrays.Pointers[Index]);
        KELVO_DEALLOCATE(Arrays.Marshallings[Index]);
    }
    KELVO_DEALLOCATE(Arrays.Pointers);
    Arrays = {0, nullptr, nullptr};
}

bool ConvertFileToPlatform(kelvo_file *File, platform Target, fixup_arrays &Arrays) {
    KELVO_TIMED_BLOCK("PlatformConversion");
    platform Source;
    if (!IdentifyMagicValue(*File->SourceMagicValue, Source.PointerSizeInBits,
                            Source.IsLittleEndian, false)) {
        return false;
    }
    conversion C = {};
    SetLayout(C, Source, Target);
    bool Converted = SetUp(C, File, Arrays);
    bool Bad = false;
    stored_type *RootType =
        Converted ? GetType(C, File->Header->RootObjectTypeDefinition, Bad) : nullptr;
    if (Converted && !RootType && !Bad) {
        ReportBadReference("The root type definition", File->Header->RootObjectTypeDefinition);
    }
    Converted = RootType != nullptr;
    if (Converted && RootType->MemberCount == 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): PlatformConversion: Cannot convert Raw File types (empty type as root "
            "object type detected)",
            KELVO_HERE);
        Converted = false;
    } else if (Converted && !Traverse(C, *RootType, File->Header->RootObject)) {
        Converted = false;
    }
    fixup_arrays Result;
    kelvo_int32 *Filled = nullptr;
    if (Converted) {
        Converted = AllocateFixupArrays(Result, C.SectionCount) &&
                    (Filled = static_cast<kelvo_int32 *>(KELVO_ALLOCATE_SIZE(
                         (kelvo_int32)(2 * C.SectionCount * sizeof(kelvo_int32))))) &&
                    Flatten(C) && WriteFixupArrays(C, Result.Pointers, Result.Marshallings, Filled);
        if (!Converted) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): PlatformConversion: Failed to write flattened sections and fixups",
                KELVO_HERE);
            FreeFixupArrays(Result);
        } else {
            ApplyToFile(C, File, Arrays, Result.Pointers, Result.Marshallings, Target);
            KELVO_DEALLOCATE(Result.Pointers); // the arrays themselves now belong to Arrays
        }
    }
    KELVO_DEALLOCATE(Filled);
    Release(C);
    return Converted;
}

} // namespace kelvo
