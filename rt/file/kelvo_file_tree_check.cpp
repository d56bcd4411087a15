// Checking a loaded file's data tree before anything walks it. The loader
// proves that every fixed-up pointer lands inside a loaded section, but a
// file also supplies counts, string terminators, member records and pointer
// words that no fix-up rewrote. This walk follows the tree from the root
// exactly as the typed-tree operations will and proves, before they run,
// that every definition, object, array and string they would touch lies
// wholly inside one loaded section, that every definition is well formed
// (known member types, widths, reference types, no type inlining itself,
// measures within the library's bounds), and that the walk stays within a
// budget proportional to the loaded bytes.
//
// The same walk proves that the tree means the same on every platform and
// through every command: each object starts on its alignment and lies in
// the region of its section that its byte order asks for, a pointer fix-up
// wrote only pointer words of what the tree reaches and every pointer the
// tree holds, and in a byte-reversed file the marshalling fix-ups reversed
// exactly the mixed records of the tree, each by its own layout.
#include "kelvo2/kelvo2_file.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "foundation/kelvo_counters.h"
#include "data/kelvo_data_type.h"
#include "data/kelvo_data_type_iterator.h"
#include "file/kelvo_file.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_log.h"

#include <algorithm>
#include <stddef.h>
#include <string.h>

namespace {

constexpr kelvo_log_message_origin Origin = KelvoFileReadingLogMessage;
using kelvo::Log;

struct loaded_range {
    kelvo_uintaddrx Base;
    kelvo_uintaddrx Size;
    kelvo_int32 Section;
    kelvo_uint32 First16Bit, First8Bit;
    // The words the library's pointer fix-ups wrote; null in a section
    // without fix-ups. Not Audited when another party fixed it up.
    kelvo::applied_fixups const *Applied;
    bool Audited;
};

// Bytes the tree reaches, kept for the marshalling audit of byte-reversed
// files: Type is set for records of mixed marshalling, Stride bytes apart.
struct reached_bytes {
    kelvo_uintaddrx Begin;
    kelvo_int64 Size;
    kelvo_data_type_definition const *Type;
    kelvo_int64 Stride;
};

constexpr kelvo_int64 PointerSize = (kelvo_int64)sizeof(void *);
constexpr kelvo_int64 RecordSize = (kelvo_int64)sizeof(kelvo_data_type_definition);
constexpr kelvo_int64 NameField = offsetof(kelvo_data_type_definition, Name);
constexpr kelvo_int64 ReferenceField = offsetof(kelvo_data_type_definition, ReferenceType);

// What the check learned about one definition, memoized so that a
// definition shared by many objects costs its records once.
struct type_facts {
    kelvo_data_type_definition const *Type;
    kelvo_int64 Size;  // bytes of one object in this build's layout
    kelvo_int64 Steps; // member records the member iterator visits
    kelvo_int32 Depth; // levels of inline nesting, the type itself included
    kelvo_int32 State; // Unmeasured, Measuring, Measured
    bool HasPointers;
    kelvo_int32 Align; // 4 with words or pointers, 2 with halves, else 1
    kelvo_marshalling_type Marshalling;
};
enum { Unmeasured, Measuring, Measured };

struct pending_object {
    kelvo_data_type_definition const *Type;
    kelvo_uint8 const *Object;
};

class tree_check {
  public:
    explicit tree_check(kelvo_file const &File) : File(File) {}
    ~tree_check() {
        KelvoDeletePointerHash(Types);
        KelvoDeletePointerHash(Objects);
    }

    bool Run(kelvo_variant const &Root);

  private:
    bool Setup();
    loaded_range const *RangeOf(void const *Address) const;
    bool Contains(void const *Address, kelvo_int64 Size) const;
    bool StringIsInside(char const *String) const;
    bool Charge(kelvo_int64 Steps);

    template <typename slot_test>
    bool WroteOnlyAt(void const *Begin, kelvo_int64 Size, slot_test IsSlot, char const *What);
    bool FixupWrote(void const *Word, char const *MemberName);
    bool LiesInItsRegion(void const *Begin, kelvo_int64 Size, kelvo_marshalling_type Marshalling,
                         char const *What);
    bool IsAligned(void const *Begin, kelvo_int32 Align, char const *What);
    bool Reached(void const *Begin, kelvo_int64 Size, kelvo_data_type_definition const *Type,
                 kelvo_int64 Stride);
    bool StringKeepsItsBytes(char const *String);
    bool DefinitionKeepsItsBytes(kelvo_data_type_definition const *Type, kelvo_int64 Records);
    bool SameLayout(kelvo_data_type_definition const *A, kelvo_data_type_definition const *B,
                    kelvo_int32 Depth) const;
    bool CollectMarshalled();
    bool MarshallingMatchesTheTree();

    kelvo_int32 FactsOf(kelvo_data_type_definition const *Type);
    bool Discover(kelvo_data_type_definition const *Type);
    bool AddType(kelvo_data_type_definition const *Type, kelvo_int32 &Index);
    bool Measure(kelvo_int32 Index, kelvo_int32 Level);
    bool CheckType(kelvo_data_type_definition const *Type, kelvo_int32 &Index);

    bool Visit(pending_object const &Pending);
    bool FollowSlot(kelvo::pointer_slot const &Slot);
    bool PushObject(kelvo_data_type_definition const *Type, void const *Object);
    bool PushArray(kelvo_data_type_definition const *Type, kelvo_int32 Count, void const *Array,
                   char const *MemberName);

    kelvo_file const &File;
    kelvo::work_stack<loaded_range> Ranges;
    kelvo::work_stack<type_facts> Facts;
    kelvo::work_stack<kelvo_data_type_definition const *> Discovering;
    kelvo::work_stack<pending_object> Pending;
    kelvo_pointer_hash *Types = nullptr;   // definition -> index + 1 in Facts
    kelvo_pointer_hash *Objects = nullptr; // object -> the type it was checked as
    kelvo_int64 Budget = 0;
    kelvo::work_stack<kelvo_int64> Slots; // pointer words of the object being visited
    kelvo::work_stack<kelvo::pointer_slot> PointerSlots;
    bool AuditsMarshalling = false;
    kelvo::work_stack<reached_bytes> Marshalled; // what marshalling fix-ups reversed
    kelvo::work_stack<reached_bytes> Reach;
};

bool tree_check::Setup() {
    Types = KelvoNewPointerHash();
    Objects = KelvoNewPointerHash();
    if (!Types || !Objects) {
        return false;
    }
    kelvo_section_header const *Headers = reinterpret_cast<kelvo_section_header const *>(
        reinterpret_cast<kelvo_uint8 const *>(File.Header) + File.Header->SectionArrayOffset);
    kelvo_int64 LoadedBytes = 0;
    // Marshalling ran only where the file was byte-reversed.
    AuditsMarshalling = File.IsByteReversed != 0;
    for (kelvo_int32 Index = 0; Index < File.SectionCount; ++Index) {
        kelvo_section_header const &Header = Headers[Index];
        if (File.Sections[Index] && Header.ExpandedDataSize > 0) {
            kelvo::applied_fixups const *Applied = kelvo::GetAppliedFixups(&File, Index);
            if (!Ranges.Push({(kelvo_uintaddrx)File.Sections[Index],
                              (kelvo_uintaddrx)Header.ExpandedDataSize, Index, Header.First16Bit,
                              Header.First8Bit, Applied,
                              Applied || Header.PointerFixupArrayCount == 0})) {
                return false;
            }
            LoadedBytes += Header.ExpandedDataSize;
            AuditsMarshalling = AuditsMarshalling &&
                                (Applied || Header.MixedMarshallingFixupArrayCount == 0);
        }
    }
    if (Ranges.Size() > 1) {
        std::sort(Ranges.begin(), Ranges.end(),
                  [](loaded_range const &A, loaded_range const &B) { return A.Base < B.Base; });
    }
    // Every real tree costs a few steps per loaded byte at most; the
    // constant covers the library's own definitions measured once each.
    Budget = 16 * LoadedBytes + kelvo::MaxTypeSteps;
    return true;
}

// The last range starting at or before Address, the only one that could
// hold it; null when there is none.
loaded_range const *tree_check::RangeOf(void const *Address) const {
    kelvo_uintaddrx At = (kelvo_uintaddrx)Address;
    kelvo_int32 Low = 0, High = Ranges.Size();
    while (Low < High) {
        kelvo_int32 Middle = Low + (High - Low) / 2;
        if (Ranges[Middle].Base <= At) {
            Low = Middle + 1;
        } else {
            High = Middle;
        }
    }
    return Low == 0 ? nullptr : &Ranges[Low - 1];
}

bool tree_check::Contains(void const *Address, kelvo_int64 Size) const {
    loaded_range const *Range = RangeOf(Address);
    if (Size < 0 || !Range) {
        return false;
    }
    kelvo_uintaddrx Offset = (kelvo_uintaddrx)Address - Range->Base;
    return Offset <= Range->Size && (kelvo_uint64)Size <= Range->Size - Offset;
}

bool tree_check::StringIsInside(char const *String) const {
    if (!Contains(String, 1)) {
        return false;
    }
    kelvo_uintaddrx At = (kelvo_uintaddrx)String;
    for (kelvo_int32 Index = Ranges.Size() - 1; Index >= 0; --Index) {
        if (Ranges[Index].Base <= At) {
            return memchr(String, 0, Ranges[Index].Base + Ranges[Index].Size - At) != nullptr;
        }
    }
    return false;
}

bool tree_check::Charge(kelvo_int64 Steps) {
    Budget -= Steps;
    if (Budget < 0) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The data tree takes more steps to walk than its sections could hold",
            KELVO_HERE);
        return false;
    }
    return true;
}

// ---- definitions ----------------------------------------------------------------

kelvo_int32 tree_check::FactsOf(kelvo_data_type_definition const *Type) {
    void *Data = nullptr;
    if (KelvoGetHashedPointerData(Types, Type, &Data)) {
        return (kelvo_int32)(kelvo_intaddrx)Data - 1;
    }
    return -1;
}


// Records of one definition: inside a section, terminated there, known
// member types, widths not negative, names and reference types present
// where the walkers read them.
bool tree_check::AddType(kelvo_data_type_definition const *Type, kelvo_int32 &Index) {
    Index = FactsOf(Type);
    if (Index >= 0) {
        return true;
    }
    constexpr kelvo_int64 RecordSize = sizeof(kelvo_data_type_definition);
    kelvo_int64 Records = 0;
    for (;; ++Records) {
        kelvo_data_type_definition const *Member = Type + Records;
        if ((kelvo_uintaddrx)Type % 4 != 0 || !Contains(Member, RecordSize)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): A type definition of the data tree does not lie inside the loaded "
                "sections",
                KELVO_HERE);
            return false;
        }
        if (Member->Type == KelvoEndMember) {
            break;
        }
        if (Member->Type < 0 || Member->Type >= KelvoOnePastLastMemberType ||
            Member->ArrayWidth < 0 || (Member->Name && !StringIsInside(Member->Name)) ||
            (kelvo::NeedsReferenceType(Member->Type) && !Member->ReferenceType)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Member %d of a type definition of the data tree is malformed",
                KELVO_HERE, (kelvo_int32)Records);
            return false;
        }
        if (Member->Name && !StringKeepsItsBytes(Member->Name)) {
            return false;
        }
    }
    if (!Charge(Records + 1)) {
        return false;
    }
    Index = Facts.Size();
    return DefinitionKeepsItsBytes(Type, Records) &&
           Facts.Push({Type, 0, Records, 1, Unmeasured, false, 1, KelvoNoMarshalling}) &&
           KelvoAddPointerToHash(Types, Type, (void *)(kelvo_intaddrx)(Index + 1));
}

// Every definition Type leads to through its members' reference types.
bool tree_check::Discover(kelvo_data_type_definition const *Type) {
    Discovering.Clear();
    if (!Discovering.Push(Type)) {
        return false;
    }
    kelvo_data_type_definition const *Next;
    while (Discovering.Pop(Next)) {
        if (FactsOf(Next) >= 0) {
            continue;
        }
        kelvo_int32 Index;
        if (!AddType(Next, Index)) {
            return false;
        }
        for (kelvo_data_type_definition const *Member = Next; Member->Type != KelvoEndMember;
             ++Member) {
            // Copied out: the field may be misaligned for a reference.
            kelvo_data_type_definition const *Referenced = Member->ReferenceType;
            if (kelvo::NeedsReferenceType(Member->Type) && FactsOf(Referenced) < 0 &&
                !Discovering.Push(Referenced)) {
                return false;
            }
        }
    }
    return true;
}

// Size, steps and depth through inline members. Recursion follows inline
// members only and stops at the nesting limit, so the native stack stays
// shallow; a type met again while it is being measured contains itself.
bool tree_check::Measure(kelvo_int32 Index, kelvo_int32 Level) {
    if (Facts[Index].State == Measured) {
        return true;
    }
    if (Facts[Index].State == Measuring || Level > kelvo::MaxTypeNesting) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): A type definition of the data tree contains itself or nests deeper than %d "
            "levels",
            KELVO_HERE, kelvo::MaxTypeNesting);
        return false;
    }
    Facts[Index].State = Measuring;
    kelvo_int64 Size = 0, Steps = Facts[Index].Steps;
    kelvo_int32 Depth = 1, Align = 1;
    bool HasPointers = false;
    kelvo_marshalling_type Marshalling = KelvoNoMarshalling;
    for (kelvo_data_type_definition const *Member = Facts[Index].Type;
         Member->Type != KelvoEndMember; ++Member) {
        if (Member->Type == KelvoInlineMember) {
            kelvo_int32 Inner = FactsOf(Member->ReferenceType);
            if (Inner < 0 || !Measure(Inner, Level + 1)) {
                return false;
            }
            Size += Facts[Inner].Size;
            Steps += Facts[Inner].Steps;
            Depth = std::max(Depth, Facts[Inner].Depth + 1);
            HasPointers = HasPointers || Facts[Inner].HasPointers;
            Align = std::max(Align, Facts[Inner].Align);
            Marshalling |= Facts[Inner].Marshalling;
        } else {
            HasPointers = HasPointers || KelvoMemberHasPointers(Member);
            kelvo_int64 Width = Member->ArrayWidth ? Member->ArrayWidth : 1;
            Size += kelvo::GetMemberUnitSize(Member->Type, kelvo::NativePointerSizeInBits) * Width;
            kelvo_marshalling_type Own = kelvo::MemberTypes[Member->Type].Marshalling;
            Marshalling |= Own;
            bool Words = (Own & KelvoInt32Marshalling) || kelvo::IsPointerBearing(Member->Type);
            Align = std::max(Align, Words ? 4 : (Own & KelvoInt16Marshalling) ? 2 : 1);
        }
        if (Size > INT32_MAX || Steps > kelvo::MaxTypeSteps || Depth > kelvo::MaxTypeNesting) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): A type definition of the data tree measures beyond the library's "
                "bounds",
                KELVO_HERE);
            return false;
        }
    }
    if (!Charge(Steps)) {
        return false;
    }
    Facts[Index] = {Facts[Index].Type, Size,        Steps,      Depth,
                    Measured,          HasPointers, Align, Marshalling};
    return true;
}

bool tree_check::CheckType(kelvo_data_type_definition const *Type, kelvo_int32 &Index) {
    Index = FactsOf(Type);
    if (Index >= 0 && Facts[Index].State == Measured) {
        return true;
    }
    kelvo_int32 First = Facts.Size();
    if (!Discover(Type)) {
        return false;
    }
    for (kelvo_int32 New = First; New < Facts.Size(); ++New) {
        if (!Measure(New, 1)) {
            return false;
        }
    }
    Index = FactsOf(Type);
    return Index >= 0;
}

// ---- objects ------------------------------------------------------------------

bool tree_check::PushObject(kelvo_data_type_definition const *Type, void const *Object) {
    if (!Object) {
        return true;
    }
    void *Seen = nullptr;
    if (KelvoGetHashedPointerData(Objects, Object, &Seen) && Seen == Type) {
        return true;
    }
    // An object met as another type is checked again as that type; the
    // budget bounds how often that can happen.
    if (!Seen && !KelvoAddPointerToHash(Objects, Object, (void *)Type)) {
        return false;
    }
    return Pending.Push({Type, static_cast<kelvo_uint8 const *>(Object)});
}

bool CountIsSound(kelvo_int32 Count, char const *MemberName) {
    if (Count < 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Count %d of member \"%s\" is negative",
            KELVO_HERE, Count, MemberName);
        return false;
    }
    return true;
}

bool tree_check::PushArray(kelvo_data_type_definition const *Type, kelvo_int32 Count,
                           void const *Array, char const *MemberName) {
    if (Count < 0) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): Count %d of member \"%s\" is negative",
            KELVO_HERE, Count, MemberName);
        return false;
    }
    if (!Array || !Type || Count == 0) {
        return true;
    }
    kelvo_int32 Index;
    if (!CheckType(Type, Index)) {
        return false;
    }
    type_facts const Element = Facts[Index];
    kelvo_int64 Stride = Element.Size;
    if (!Contains(Array, Stride * Count)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The %d elements of member \"%s\" do not lie inside the loaded sections",
            KELVO_HERE, Count, MemberName);
        return false;
    }
    if (Stride == 0) {
        return true;
    }
    if (!IsAligned(Array, Element.Align, "An array") ||
        !LiesInItsRegion(Array, Stride * Count, Element.Marshalling, "An array")) {
        return false;
    }
    if (!Element.HasPointers) {
        // Elements with pointers are visited, and checked, one by one.
        bool Mixed = KelvoIsMixedMarshalling(Element.Marshalling);
        return WroteOnlyAt(Array, Stride * Count, [](kelvo_int64) { return false; }, "an array") &&
               Reached(Array, Stride * Count, Mixed ? Type : nullptr, Stride);
    }
    for (kelvo_int32 Element = 0; Element < Count; ++Element) {
        if (!PushObject(Type, static_cast<kelvo_uint8 const *>(Array) + Element * Stride)) {
            return false;
        }
    }
    return true;
}

bool tree_check::FollowSlot(kelvo::pointer_slot const &Slot) {
    kelvo_data_type_definition const &Member = *Slot.Member;
    kelvo_uint8 const *Words = Slot.Address;
    void *Pointer = kelvo::LoadPointer(Words + Slot.PointerOffset);
    if (Pointer && !FixupWrote(Words + Slot.PointerOffset, Member.Name)) {
        return false;
    }
    switch (Member.Type) {
    case KelvoStringMember:
        if (Pointer && !StringIsInside(static_cast<char const *>(Pointer))) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): String member \"%s\" is not terminated inside the loaded sections",
                KELVO_HERE, Member.Name);
            return false;
        }
        return !Pointer || StringKeepsItsBytes(static_cast<char const *>(Pointer));
    case KelvoReferenceMember:
        return PushObject(Member.ReferenceType, Pointer);
    case KelvoReferenceToArrayMember:
        return PushArray(Member.ReferenceType, kelvo::LoadInt32(Words + Slot.CountOffset), Pointer,
                         Member.Name);
    case KelvoArrayOfReferencesMember: {
        kelvo_int32 Count = kelvo::LoadInt32(Words + Slot.CountOffset);
        if (!CountIsSound(Count, Member.Name)) {
            return false;
        }
        if (!Pointer || Count == 0) {
            return true;
        }
        kelvo_int64 Size = (kelvo_int64)Count * PointerSize;
        if (!Contains(Pointer, Size)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): The %d references of member \"%s\" do not lie inside the loaded "
                "sections",
                KELVO_HERE, Count, Member.Name);
            return false;
        }
        if (!IsAligned(Pointer, 4, "An array of references") ||
            !WroteOnlyAt(Pointer, Size, [](kelvo_int64 At) { return At % PointerSize == 0; },
                         "an array of references") ||
            !Reached(Pointer, Size, nullptr, 0)) {
            return false;
        }
        for (kelvo_int32 Entry = 0; Entry < Count; ++Entry) {
            auto const *Word = static_cast<kelvo_uint8 const *>(Pointer) + Entry * PointerSize;
            void *Target = kelvo::LoadPointer(Word);
            if ((Target && !FixupWrote(Word, Member.Name)) ||
                !PushObject(Member.ReferenceType, Target)) {
                return false;
            }
        }
        return true;
    }
    case KelvoVariantReferenceMember:
    case KelvoReferenceToVariantArrayMember: {
        auto const *Type =
            static_cast<kelvo_data_type_definition const *>(kelvo::LoadPointer(Words + Slot.TypeOffset));
        if (!Type) {
            return true; // nothing walks a variant without a definition
        }
        if (!FixupWrote(Words + Slot.TypeOffset, Member.Name)) {
            return false;
        }
        kelvo_int32 Index;
        if (!CheckType(Type, Index)) {
            return false;
        }
        if (Member.Type == KelvoVariantReferenceMember) {
            return PushObject(Type, Pointer);
        }
        return PushArray(Type, kelvo::LoadInt32(Words + Slot.CountOffset), Pointer, Member.Name);
    }
    default:
        return true;
    }
}

bool tree_check::Visit(pending_object const &Object) {
    kelvo_int32 Index;
    if (!CheckType(Object.Type, Index)) {
        return false;
    }
    type_facts const Type = Facts[Index];
    if (!Contains(Object.Object, Type.Size)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): An object of %I64d bytes does not lie inside the loaded sections", KELVO_HERE,
            Type.Size);
        return false;
    }
    // Each slot spans at least four bytes of the object.
    if (!Charge(1 + Type.Steps + Type.Size / 4)) {
        return false;
    }
    if (Type.Size == 0) {
        return true;
    }
    if (!IsAligned(Object.Object, Type.Align, "An object") ||
        !LiesInItsRegion(Object.Object, Type.Size, Type.Marshalling, "An object")) {
        return false;
    }
    // The pointer words first, in layout order, for the fix-up audit; the
    // slots are followed after it.
    Slots.Clear();
    PointerSlots.Clear();
    kelvo::member_iterator Members(Object.Type, const_cast<kelvo_uint8 *>(Object.Object));
    kelvo::pointer_slot Slot;
    while (Members.Next(Slot)) {
        kelvo_int64 At = Slot.Address - Object.Object;
        if ((Slot.TypeOffset >= 0 && !Slots.Push(At + Slot.TypeOffset)) ||
            !Slots.Push(At + Slot.PointerOffset) || !PointerSlots.Push(Slot)) {
            return false;
        }
    }
    bool Mixed = KelvoIsMixedMarshalling(Type.Marshalling);
    auto IsSlot = [this](kelvo_int64 At) {
        return std::binary_search(Slots.begin(), Slots.end(), At);
    };
    if (Members.Failed() || !WroteOnlyAt(Object.Object, Type.Size, IsSlot, "an object") ||
        !Reached(Object.Object, Type.Size, Mixed ? Object.Type : nullptr, Type.Size)) {
        return false;
    }
    // FollowSlot pushes objects only, never visits one, so the list stays.
    for (kelvo_int32 Index = 0; Index < PointerSlots.Size(); ++Index) {
        if (!FollowSlot(PointerSlots[Index])) {
            return false;
        }
    }
    return true;
}

// ---- what the fix-ups wrote -----------------------------------------------------

template <typename slot_test>
bool tree_check::WroteOnlyAt(void const *Begin, kelvo_int64 Size, slot_test IsSlot,
                             char const *What) {
    loaded_range const *Range = RangeOf(Begin);
    if (Size <= 0 || !Range || !Range->Applied) {
        return true; // nothing written, or nothing known
    }
    kelvo::applied_fixups const &Applied = *Range->Applied;
    kelvo_int64 Offset = (kelvo_int64)((kelvo_uintaddrx)Begin - Range->Base);
    // Words that start inside, and the one a pointer from before reaches in.
    kelvo_int64 Word = std::max<kelvo_int64>(0, Offset - PointerSize + 1 + 3) / 4;
    kelvo_int64 End = std::min<kelvo_int64>((Offset + Size + 3) / 4, 32 * (kelvo_int64)Applied.WordCount);
    while (Word < End) {
        kelvo_uint32 Bits = Applied.WrittenWords[Word / 32] >> (Word % 32);
        if (Bits == 0) {
            Word += 32 - Word % 32;
            continue;
        }
        Word += __builtin_ctz(Bits);
        if (Word < End && !IsSlot(4 * Word - Offset)) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): A pointer fix-up at offset %I64d of section %d writes over the bytes of "
                "%s",
                KELVO_HERE, 4 * Word, Range->Section, What);
            return false;
        }
        ++Word;
    }
    return true;
}

bool tree_check::FixupWrote(void const *Word, char const *MemberName) {
    loaded_range const *Range = RangeOf(Word);
    if (!Range || !Range->Audited) {
        return true;
    }
    kelvo_uintaddrx Offset = (kelvo_uintaddrx)Word - Range->Base;
    kelvo::applied_fixups const *Applied = Range->Applied;
    if (Offset % 4 == 0 && Applied && Offset / 4 < 32 * (kelvo_uintaddrx)Applied->WordCount &&
        (Applied->WrittenWords[Offset / 128] >> (Offset / 4 % 32) & 1)) {
        return true;
    }
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): Member \"%s\" holds a pointer at offset %u of section %d that no fix-up wrote",
        KELVO_HERE, MemberName, (kelvo_uint32)Offset, Range->Section);
    return false;
}

// Sections keep words, halves and bytes apart, so that a reader of the other
// byte order can reverse the first two regions whole; records of mixed sizes
// and bytes lie in the last, where marshalling fix-ups reverse them.
bool tree_check::LiesInItsRegion(void const *Begin, kelvo_int64 Size,
                                 kelvo_marshalling_type Marshalling, char const *What) {
    loaded_range const *Range = RangeOf(Begin);
    if (Marshalling == KelvoNoMarshalling || !Range) {
        return true;
    }
    kelvo_int64 From = 0, To = Range->First16Bit;
    if (Marshalling == KelvoInt16Marshalling) {
        From = Range->First16Bit, To = Range->First8Bit;
    } else if (Marshalling != KelvoInt32Marshalling) {
        From = Range->First8Bit, To = (kelvo_int64)Range->Size;
    }
    kelvo_int64 Offset = (kelvo_int64)((kelvo_uintaddrx)Begin - Range->Base);
    if (Offset >= From && Offset + Size <= To) {
        return true;
    }
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): %s at offset %I64d of section %d lies outside the region [%I64d, %I64d) its "
        "marshalling 0x%x asks for",
        KELVO_HERE, What, Offset, Range->Section, From, To, (kelvo_uint32)Marshalling);
    return false;
}

bool tree_check::IsAligned(void const *Begin, kelvo_int32 Align, char const *What) {
    if ((kelvo_uintaddrx)Begin % Align == 0) {
        return true;
    }
    loaded_range const *Range = RangeOf(Begin);
    Log(KelvoErrorLogMessage, Origin,
        "%s(%d): %s at offset %u of section %d is not aligned to its %d bytes", KELVO_HERE, What,
        (kelvo_uint32)((kelvo_uintaddrx)Begin - Range->Base), Range->Section, Align);
    return false;
}

bool tree_check::Reached(void const *Begin, kelvo_int64 Size,
                         kelvo_data_type_definition const *Type, kelvo_int64 Stride) {
    return !AuditsMarshalling || Size == 0 ||
           Reach.Push({(kelvo_uintaddrx)Begin, Size, Type, Stride});
}

bool tree_check::StringKeepsItsBytes(char const *String) {
    kelvo_int64 Size = (kelvo_int64)strlen(String) + 1;
    return LiesInItsRegion(String, Size, KelvoInt8Marshalling, "A string") &&
           WroteOnlyAt(String, Size, [](kelvo_int64) { return false; }, "a string") &&
           Reached(String, Size, nullptr, 0);
}

// A definition's records are words; the fix-ups write the name and the
// referenced type of each member, and any other pointer there is the file's.
bool tree_check::DefinitionKeepsItsBytes(kelvo_data_type_definition const *Type,
                                         kelvo_int64 Records) {
    kelvo_int64 Size = (Records + 1) * RecordSize;
    auto IsSlot = [Records](kelvo_int64 At) {
        kelvo_int64 Field = At % RecordSize;
        return At / RecordSize < Records && (Field == NameField || Field == ReferenceField);
    };
    if (!LiesInItsRegion(Type, Size, KelvoInt32Marshalling, "A type definition") ||
        !WroteOnlyAt(Type, Size, IsSlot, "a type definition") ||
        !Reached(Type, Size, nullptr, 0)) {
        return false;
    }
    for (kelvo_int64 Record = 0; Record < Records; ++Record) {
        auto const *Fields = reinterpret_cast<kelvo_uint8 const *>(Type + Record);
        if ((kelvo::LoadPointer(Fields + NameField) && !FixupWrote(Fields + NameField, "Name")) ||
            (kelvo::LoadPointer(Fields + ReferenceField) &&
             !FixupWrote(Fields + ReferenceField, "ReferenceType"))) {
            return false;
        }
    }
    return true;
}

// ---- marshalling ------------------------------------------------------------------

// Whether records of A reverse as records of B do: the same member types
// and widths, inline types alike. B has been checked; A is read only where
// it lies inside the sections.
bool tree_check::SameLayout(kelvo_data_type_definition const *A,
                            kelvo_data_type_definition const *B, kelvo_int32 Depth) const {
    if (A == B) {
        return true;
    }
    if (!A || !B || Depth > kelvo::MaxTypeNesting) {
        return false;
    }
    for (;; ++A, ++B) {
        if ((kelvo_uintaddrx)A % 4 != 0 || !Contains(A, RecordSize) || A->Type != B->Type ||
            A->ArrayWidth != B->ArrayWidth) {
            return false;
        }
        if (B->Type == KelvoEndMember) {
            return true;
        }
        if (B->Type == KelvoInlineMember &&
            !SameLayout(static_cast<kelvo_data_type_definition const *>(kelvo::LoadPointer(
                            reinterpret_cast<kelvo_uint8 const *>(A) + ReferenceField)),
                        B->ReferenceType, Depth + 1)) {
            return false;
        }
    }
}

// The bytes each applied marshalling fix-up reversed, with its definition
// checked as the tree's are.
bool tree_check::CollectMarshalled() {
    kelvo_section_header const *Headers = KelvoGetKVNSectionArray(File.Header);
    kelvo::section_bounds Bounds = {File.SectionCount, File.Sections, Headers};
    for (kelvo_int32 Index = 0; AuditsMarshalling && Index < File.SectionCount; ++Index) {
        kelvo::applied_fixups const *Applied = kelvo::GetAppliedFixups(&File, Index);
        for (kelvo_int32 Fixup = 0; Applied && Fixup < Applied->MarshallingCount; ++Fixup) {
            kelvo_marshalling_fixup const &Record = Applied->Marshalling[Fixup];
            void *Address = nullptr;
            kelvo::ResolveReference(Bounds, Record.Type, (kelvo_uint32)RecordSize, Address);
            auto const *Type = static_cast<kelvo_data_type_definition const *>(Address);
            kelvo_int32 Measured;
            if (!CheckType(Type, Measured)) {
                return false;
            }
            kelvo_int64 Stride = Facts[Measured].Size;
            kelvo_uintaddrx Begin = (kelvo_uintaddrx)File.Sections[Index] + Record.Offset;
            if (!Marshalled.Push({Begin, Stride * Record.Count, Type, Stride})) {
                return false;
            }
        }
    }
    if (Marshalled.Size() > 1) {
        std::sort(Marshalled.begin(), Marshalled.end(),
                  [](reached_bytes const &A, reached_bytes const &B) { return A.Begin < B.Begin; });
    }
    for (kelvo_int32 Index = 1; Index < Marshalled.Size(); ++Index) {
        reached_bytes const &Before = Marshalled[Index - 1];
        if (Before.Begin + Before.Size > Marshalled[Index].Begin) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Marshalling fix-ups reverse the same bytes twice", KELVO_HERE);
            return false;
        }
    }
    return true;
}

// Every mixed record the tree reaches was reversed once, by its own layout,
// and nothing else the tree reaches was reversed by a marshalling fix-up.
bool tree_check::MarshallingMatchesTheTree() {
    kelvo_int32 Count = Marshalled.Size();
    for (kelvo_int32 Index = 0; Index < Reach.Size(); ++Index) {
        reached_bytes const &Bytes = Reach[Index];
        kelvo_uintaddrx End = Bytes.Begin + Bytes.Size;
        // The first fix-up that ends after the bytes begin.
        kelvo_int32 Low = 0, High = Count;
        while (Low < High) {
            kelvo_int32 Middle = Low + (High - Low) / 2;
            if (Marshalled[Middle].Begin + Marshalled[Middle].Size <= Bytes.Begin) {
                Low = Middle + 1;
            } else {
                High = Middle;
            }
        }
        kelvo_uintaddrx Covered = Bytes.Begin;
        for (kelvo_int32 At = Low; At < Count && Marshalled[At].Begin < End; ++At) {
            reached_bytes const &Fixup = Marshalled[At];
            bool Fits = Bytes.Type && Fixup.Begin <= Covered && Fixup.Stride == Bytes.Stride &&
                        (Covered - Fixup.Begin) % Fixup.Stride == 0 &&
                        SameLayout(Fixup.Type, Bytes.Type, 0);
            if (!Fits) {
                Log(KelvoErrorLogMessage, Origin,
                    "%s(%d): A marshalling fix-up reverses bytes of the data tree by a layout "
                    "that does not describe them",
                    KELVO_HERE);
                return false;
            }
            Covered = Fixup.Begin + Fixup.Size;
        }
        if (Bytes.Type && Covered < End) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): Records of mixed marshalling in the data tree have no marshalling "
                "fix-up",
                KELVO_HERE);
            return false;
        }
    }
    return true;
}

bool tree_check::Run(kelvo_variant const &Root) {
    if (!Setup() || !CollectMarshalled() || !PushObject(Root.Type, Root.Object)) {
        return false;
    }
    pending_object Next;
    while (Pending.Pop(Next)) {
        if (!Visit(Next)) {
            return false;
        }
    }
    return !AuditsMarshalling || MarshallingMatchesTheTree();
}

} // namespace

KELVO_API kelvo_bool32 KelvoCheckFileDataTree(kelvo_file const *File) {
    KELVO_TIMED_BLOCK("CheckFileDataTree");
    KELVO_CHECK_NOT_NULL(File, Origin, 0);
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    if (!Root.Type || !Root.Object) {
        Log(KelvoErrorLogMessage, Origin, "%s(%d): The file has no loaded root to check",
            KELVO_HERE);
        return 0;
    }
    tree_check Check(*File);
    return Check.Run(Root) ? 1 : 0;
}
