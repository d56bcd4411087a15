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
#include "kelvo2/kelvo2_file.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "foundation/kelvo_counters.h"
#include "data/kelvo_data_type.h"
#include "data/kelvo_data_type_iterator.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_log.h"

#include <algorithm>
#include <string.h>

namespace {

constexpr kelvo_log_message_origin Origin = KelvoFileReadingLogMessage;
using kelvo::Log;

struct loaded_range {
    kelvo_uintaddrx Base;
    kelvo_uintaddrx Size;
};

// What the check learned about one definition, memoized so that a
// definition shared by many objects costs its records once.
struct type_facts {
    kelvo_data_type_definition const *Type;
    kelvo_int64 Size;  // bytes of one object in this build's layout
    kelvo_int64 Steps; // member records the member iterator visits
    kelvo_int32 Depth; // levels of inline nesting, the type itself included
    kelvo_int32 State; // Unmeasured, Measuring, Measured
    bool HasPointers;
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
    bool Contains(void const *Address, kelvo_int64 Size) const;
    bool StringIsInside(char const *String) const;
    bool Charge(kelvo_int64 Steps);

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
    for (kelvo_int32 Index = 0; Index < File.SectionCount; ++Index) {
        if (File.Sections[Index] && Headers[Index].ExpandedDataSize > 0) {
            if (!Ranges.Push({(kelvo_uintaddrx)File.Sections[Index],
                              (kelvo_uintaddrx)Headers[Index].ExpandedDataSize})) {
                return false;
            }
            LoadedBytes += Headers[Index].ExpandedDataSize;
        }
    }
    if (Ranges.Size() > 1) {
        std::sort(&Ranges[0], &Ranges[0] + Ranges.Size(),
                  [](loaded_range const &A, loaded_range const &B) { return A.Base < B.Base; });
    }
    // Every real tree costs a few steps per loaded byte at most; the
    // constant covers the library's own definitions measured once each.
    Budget = 16 * LoadedBytes + kelvo::MaxTypeSteps;
    return true;
}

bool tree_check::Contains(void const *Address, kelvo_int64 Size) const {
    if (Size < 0) {
        return false;
    }
    kelvo_uintaddrx At = (kelvo_uintaddrx)Address;
    // The last range starting at or before Address is the only candidate.
    kelvo_int32 Low = 0, High = Ranges.Size();
    while (Low < High) {
        kelvo_int32 Middle = Low + (High - Low) / 2;
        if (Ranges[Middle].Base <= At) {
            Low = Middle + 1;
        } else {
            High = Middle;
        }
    }
    if (Low == 0) {
        return false;
    }
    loaded_range const &Range = Ranges[Low - 1];
    kelvo_uintaddrx Offset = At - Range.Base;
    return Offset <= Range.Size && (kelvo_uint64)Size <= Range.Size - Offset;
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
    }
    if (!Charge(Records + 1)) {
        return false;
    }
    Index = Facts.Size();
    return Facts.Push({Type, 0, Records, 1, Unmeasured, false}) &&
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
    kelvo_int32 Depth = 1;
    bool HasPointers = false;
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
        } else {
            HasPointers = HasPointers || KelvoMemberHasPointers(Member);
            kelvo_int64 Width = Member->ArrayWidth ? Member->ArrayWidth : 1;
            Size += kelvo::GetMemberUnitSize(Member->Type, kelvo::NativePointerSizeInBits) * Width;
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
    Facts[Index] = {Facts[Index].Type, Size, Steps, Depth, Measured, HasPointers};
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
    kelvo_int64 Stride = Facts[Index].Size;
    if (!Contains(Array, Stride * Count)) {
        Log(KelvoErrorLogMessage, Origin,
            "%s(%d): The %d elements of member \"%s\" do not lie inside the loaded sections",
            KELVO_HERE, Count, MemberName);
        return false;
    }
    if (Stride == 0 || !Facts[Index].HasPointers) {
        return true;
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
    switch (Member.Type) {
    case KelvoStringMember:
        if (Pointer && !StringIsInside(static_cast<char const *>(Pointer))) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): String member \"%s\" is not terminated inside the loaded sections",
                KELVO_HERE, Member.Name);
            return false;
        }
        return true;
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
        if (!Contains(Pointer, (kelvo_int64)Count * (kelvo_int64)sizeof(void *))) {
            Log(KelvoErrorLogMessage, Origin,
                "%s(%d): The %d references of member \"%s\" do not lie inside the loaded "
                "sections",
                KELVO_HERE, Count, Member.Name);
            return false;
        }
        for (kelvo_int32 Entry = 0; Entry < Count; ++Entry) {
            void *Target =
                kelvo::LoadPointer(static_cast<kelvo_uint8 const *>(Pointer) + Entry * sizeof(void *));
            if (!PushObject(Member.ReferenceType, Target)) {
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
    kelvo::member_iterator Members(Object.Type, const_cast<kelvo_uint8 *>(Object.Object));
    kelvo::pointer_slot Slot;
    while (Members.Next(Slot)) {
        if (!FollowSlot(Slot)) {
            return false;
        }
    }
    return !Members.Failed();
}

bool tree_check::Run(kelvo_variant const &Root) {
    if (!Setup() || !PushObject(Root.Type, Root.Object)) {
        return false;
    }
    pending_object Next;
    while (Pending.Pop(Next)) {
        if (!Visit(Next)) {
            return false;
        }
    }
    return true;
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
