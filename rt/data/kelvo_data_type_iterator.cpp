// The member iterator: the pointer-bearing members of an object, and the
// objects each of them leads to. Every pass over pointers goes through it, so
// it is also where definitions are checked before anything is followed.
#include "data/kelvo_data_type_iterator.h"

#include "foundation/kelvo_log.h"

using kelvo::Log;

namespace {

void SetWordOffsets(kelvo::pointer_slot &Slot, kelvo_int32 PointerSize) {
    Slot.TypeOffset = -1;
    Slot.CountOffset = -1;
    Slot.PointerOffset = 0;
    switch (Slot.Member->Type) {
    case KelvoReferenceToArrayMember:
    case KelvoArrayOfReferencesMember:
        Slot.CountOffset = 0;
        Slot.PointerOffset = 4;
        break;
    case KelvoVariantReferenceMember:
        Slot.TypeOffset = 0;
        Slot.PointerOffset = PointerSize;
        break;
    case KelvoReferenceToVariantArrayMember:
        Slot.TypeOffset = 0;
        Slot.CountOffset = PointerSize;
        Slot.PointerOffset = PointerSize + 4;
        break;
    default:
        break;
    }
}

} // namespace

namespace kelvo {

member_iterator::member_iterator(kelvo_data_type_definition const *Type, void *Object,
                                 kelvo_int32 PointerSizeInBits)
    : Depth(Type ? 1 : 0), PointerSizeInBits(PointerSizeInBits) {
    Levels[0] = {Type, 0};
    Base = static_cast<kelvo_uint8 *>(Object);
    if (PointerSizeInBits != 32 && PointerSizeInBits != 64) {
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): PointerSizeInBits %d is neither 32 nor 64", KELVO_HERE, PointerSizeInBits);
        Fail();
    }
}

bool member_iterator::Fail() {
    HasFailed = true;
    Depth = 0;
    return false;
}

bool member_iterator::Next(pointer_slot &Slot) {
    while (Depth > 0) {
        level &Level = Levels[Depth - 1];
        kelvo_data_type_definition const &Member = *Level.Member;
        if (Member.Type == KelvoEndMember) {
            // The end of an inline part: its parent goes on behind it.
            if (--Depth > 0) {
                Levels[Depth - 1].Offset = Level.Offset;
                ++Levels[Depth - 1].Member;
            }
            continue;
        }
        if (Element == 0) {
            if (++Steps > MaxTypeSteps) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): Type definition has more than %d members, counting those of "
                    "inline types",
                    KELVO_HERE, MaxTypeSteps);
                return Fail();
            }
            if (Member.Type < 0 || Member.Type >= KelvoOnePastLastMemberType) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): MemberType %d is out of range [0, %d)", KELVO_HERE, Member.Type,
                    (kelvo_int32)KelvoOnePastLastMemberType);
                return Fail();
            }
            if (NeedsReferenceType(Member.Type) && !Member.ReferenceType) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): %s \"%s\" has no ReferenceType", KELVO_HERE,
                    KelvoGetMemberTypeName(Member.Type), Member.Name);
                return Fail();
            }
            if (Member.ArrayWidth < 0) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): ArrayWidth %d of member \"%s\" is negative", KELVO_HERE,
                    Member.ArrayWidth, Member.Name);
                return Fail();
            }
        }
        if (Member.Type == KelvoInlineMember) {
            if (Depth >= MaxTypeNesting) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): Inline members nest deeper than %d levels; does a type contain "
                    "itself?",
                    KELVO_HERE, MaxTypeNesting);
                return Fail();
            }
            Levels[Depth++] = {Member.ReferenceType, Level.Offset};
            continue;
        }
        kelvo_int32 Width = Member.ArrayWidth ? Member.ArrayWidth : 1;
        kelvo_int64 UnitSize = GetMemberUnitSize(Member.Type, PointerSizeInBits);
        if (IsPointerBearing(Member.Type) && Element < (EveryElement ? Width : 1)) {
            Slot.Member = &Member;
            Slot.Element = Element;
            Slot.Offset = (kelvo_int32)(Level.Offset + Element * UnitSize);
            Slot.Address = Base ? Base + Slot.Offset : nullptr;
            SetWordOffsets(Slot, PointerSizeInBits / 8);
            ++Element;
            return true;
        }
        Element = 0;
        Level.Offset += UnitSize * Width;
        if (Level.Offset > INT32_MAX) {
            Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                "%s(%d): Offset %I64d is out of range for an int32 ObjectSize", KELVO_HERE,
                Level.Offset);
            return Fail();
        }
        ++Level.Member;
    }
    return false;
}

bool CheckDefinition(kelvo_data_type_definition const *Type) {
    member_iterator Members(Type, nullptr);
    Members.FirstElementsOnly();
    pointer_slot Slot;
    while (Members.Next(Slot)) {
    }
    return !Members.Failed();
}

bool IterateOverSubMembers(pointer_slot const &Slot, sub_object_cursor &Cursor) {
    Cursor = {};
    kelvo_uint8 *Words = Slot.Address;
    kelvo_data_type_definition const &Member = *Slot.Member;
    kelvo_int32 Count = 1;
    if (Slot.CountOffset >= 0) {
        Count = LoadInt32(Words + Slot.CountOffset);
        if (Count < 0) {
            Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                "%s(%d): Count %d of member \"%s\" is negative", KELVO_HERE, Count, Member.Name);
            Cursor.Failed = true;
            return false;
        }
    }
    kelvo_uint8 *Pointer = Words + Slot.PointerOffset;
    switch (Member.Type) {
    case KelvoReferenceMember:
        Cursor.Type = Member.ReferenceType;
        Cursor.Entries = true;
        break;
    case KelvoVariantReferenceMember:
        Cursor.Type =
            static_cast<kelvo_data_type_definition const *>(LoadPointer(Words + Slot.TypeOffset));
        Cursor.Entries = true;
        break;
    case KelvoArrayOfReferencesMember:
        Cursor.Type = Member.ReferenceType;
        Cursor.Entries = true;
        Pointer = static_cast<kelvo_uint8 *>(LoadPointer(Pointer));
        break;
    case KelvoReferenceToArrayMember:
        Cursor.Type = Member.ReferenceType;
        Pointer = static_cast<kelvo_uint8 *>(LoadPointer(Pointer));
        break;
    case KelvoReferenceToVariantArrayMember:
        Cursor.Type =
            static_cast<kelvo_data_type_definition const *>(LoadPointer(Words + Slot.TypeOffset));
        Pointer = static_cast<kelvo_uint8 *>(LoadPointer(Pointer));
        break;
    default:
        Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
            "%s(%d): Illegal iterator type (%d) in IterateOverSubMembers", KELVO_HERE, Member.Type);
        Cursor.Failed = true;
        return false;
    }
    if (!Pointer || !Cursor.Type) {
        return true;
    }
    Cursor.At = Pointer;
    Cursor.Stride =
        Cursor.Entries ? (kelvo_int32)sizeof(void *) : KelvoGetTotalObjectSize(Cursor.Type);
    // Elements of an empty type hold nothing to follow.
    Cursor.Remaining = Cursor.Stride > 0 ? Count : 0;
    return true;
}

bool sub_object_cursor::Next(sub_object &Object) {
    while (Remaining > 0) {
        kelvo_uint8 *Here = At;
        --Remaining;
        if (Remaining > 0) {
            At += Stride;
        }
        if (!Entries) {
            Object = {Type, Here, nullptr};
            return true;
        }
        kelvo_uint8 *Target = static_cast<kelvo_uint8 *>(LoadPointer(Here));
        if (Target) {
            Object = {Type, Target, Here};
            return true;
        }
    }
    return false;
}

} // namespace kelvo
