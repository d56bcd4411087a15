// Rebasing: adding an offset to the pointers of a tree that was moved in
// memory as one block, including the definitions its variants carry.
//
// Every pointer word is rebased once and every object walked once, both
// remembered in one pointer hash, so shared objects, shared slot arrays and
// cycles are safe. The walk keeps its own stack.
#include "data/kelvo_data_type_iterator.h"

#include "kelvo2/kelvo2_data_type_conversion.h"
#include "kelvo2/kelvo2_pointer_hash.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"

using kelvo::Log;

namespace {

// What has been done at an address, as flags in the hash's data.
enum : kelvo_uintaddrx {
    WordRebased = 1,
    ObjectQueued = 2,
    DefinitionRebased = 4,
};

struct rebase {
    kelvo_pointer_hash *Seen = nullptr;
    kelvo_intaddrx Offset = 0;
    bool RebaseStrings = false;
    kelvo_string_callback *Callback = nullptr;
    void *UserData = nullptr;
    kelvo::work_stack<kelvo_variant> Objects;
    kelvo::work_stack<kelvo_data_type_definition *> Definitions;
    bool Failed = false;
};

// True the first time Flag is asked for at Address.
bool FirstTime(rebase &Rebase, void const *Address, kelvo_uintaddrx Flag) {
    void *Data = nullptr;
    bool Present = KelvoGetHashedPointerData(Rebase.Seen, Address, &Data);
    kelvo_uintaddrx Flags = reinterpret_cast<kelvo_uintaddrx>(Data);
    if (Flags & Flag) {
        return false;
    }
    void *NewData = reinterpret_cast<void *>(Flags | Flag);
    if (Present) {
        KelvoSetHashedPointerData(Rebase.Seen, Address, NewData);
    } else if (!KelvoAddPointerToHash(Rebase.Seen, Address, NewData)) {
        Rebase.Failed = true;
        return false;
    }
    return true;
}

enum class word_kind { Pointer, String, Name };

// Rebases the word once and returns what it holds afterwards.
void *RebaseWord(rebase &Rebase, kelvo_uint8 *Word, word_kind Kind) {
    kelvo_uintaddrx Value = reinterpret_cast<kelvo_uintaddrx>(kelvo::LoadPointer(Word));
    if (!Value || (Kind == word_kind::String && !Rebase.RebaseStrings && !Rebase.Callback) ||
        !FirstTime(Rebase, Word, WordRebased)) {
        return reinterpret_cast<void *>(Value);
    }
    if (Kind != word_kind::Pointer && Rebase.Callback) {
        Value = Rebase.Callback(Rebase.UserData, Value);
    } else {
        Value += (kelvo_uintaddrx)Rebase.Offset;
    }
    void *NewValue = reinterpret_cast<void *>(Value);
    kelvo::StorePointer(Word, NewValue);
    return NewValue;
}

// A variant's definition lies in the moved block too: its names and the
// definitions it refers to are rebased, each definition once.
void RebaseDefinitions(rebase &Rebase, kelvo_data_type_definition const *First) {
    if (!First || !FirstTime(Rebase, First, DefinitionRebased) ||
        !Rebase.Definitions.Push(const_cast<kelvo_data_type_definition *>(First))) {
        return;
    }
    kelvo_data_type_definition *Definition;
    while (!Rebase.Failed && Rebase.Definitions.Pop(Definition)) {
        kelvo_int32 Steps = 0;
        for (kelvo_data_type_definition *Member = Definition; Member->Type != KelvoEndMember;
             ++Member) {
            if (++Steps > kelvo::MaxTypeSteps) {
                Log(KelvoErrorLogMessage, KelvoDataTypeLogMessage,
                    "%s(%d): Type definition has more than %d members", KELVO_HERE,
                    kelvo::MaxTypeSteps);
                Rebase.Failed = true;
                return;
            }
            kelvo_uint8 *Record = reinterpret_cast<kelvo_uint8 *>(Member);
            RebaseWord(Rebase, Record + offsetof(kelvo_data_type_definition, Name),
                       word_kind::Name);
            void *Referenced =
                RebaseWord(Rebase, Record + offsetof(kelvo_data_type_definition, ReferenceType),
                           word_kind::Pointer);
            if (Referenced && FirstTime(Rebase, Referenced, DefinitionRebased) &&
                !Rebase.Definitions.Push(static_cast<kelvo_data_type_definition *>(Referenced))) {
                Rebase.Failed = true;
            }
        }
    }
}

// Queues the objects a slot leads to (their pointers are rebased already).
// Objects of types without pointers need no walk.
void QueueSubObjects(rebase &Rebase, kelvo::pointer_slot const &Slot) {
    kelvo::sub_object_cursor Cursor;
    if (!kelvo::IterateOverSubMembers(Slot, Cursor)) {
        Rebase.Failed = true;
        return;
    }
    if (!Cursor.Type) {
        return;
    }
    if (!kelvo::CheckDefinition(Cursor.Type)) {
        Rebase.Failed = true;
        return;
    }
    if (!KelvoTypeHasPointers(Cursor.Type)) {
        return;
    }
    kelvo::sub_object Object;
    while (!Rebase.Failed && Cursor.Next(Object)) {
        if (FirstTime(Rebase, Object.Object, ObjectQueued) &&
            !Rebase.Objects.Push({Object.Type, Object.Object})) {
            Rebase.Failed = true;
        }
    }
}

void RebaseObject(rebase &Rebase, kelvo_variant const &Object) {
    kelvo::member_iterator Members(Object.Type, Object.Object);
    kelvo::pointer_slot Slot;
    while (!Rebase.Failed && Members.Next(Slot)) {
        kelvo_member_type Type = Slot.Member->Type;
        if (Type == KelvoStringMember) {
            RebaseWord(Rebase, Slot.Address + Slot.PointerOffset, word_kind::String);
            continue;
        }
        if (Slot.TypeOffset >= 0) {
            RebaseDefinitions(Rebase,
                              static_cast<kelvo_data_type_definition const *>(RebaseWord(
                                  Rebase, Slot.Address + Slot.TypeOffset, word_kind::Pointer)));
        }
        kelvo_uint8 *Pointer = static_cast<kelvo_uint8 *>(
            RebaseWord(Rebase, Slot.Address + Slot.PointerOffset, word_kind::Pointer));
        if (Type == KelvoArrayOfReferencesMember && Pointer) {
            kelvo_int32 Count = kelvo::LoadInt32(Slot.Address + Slot.CountOffset);
            for (kelvo_int32 Entry = 0; Entry < Count; ++Entry) {
                RebaseWord(Rebase, Pointer + Entry * (kelvo_int32)sizeof(void *),
                           word_kind::Pointer);
            }
        }
        QueueSubObjects(Rebase, Slot);
    }
    Rebase.Failed |= Members.Failed();
}

kelvo_bool32 RebaseTree(kelvo_data_type_definition const *Type, void *Root, kelvo_intaddrx Offset,
                        bool RebaseStrings, kelvo_string_callback *Callback, void *UserData) {
    KELVO_CHECK_NOT_NULL(Root, KelvoDataTypeLogMessage, 0);
    rebase Rebase;
    Rebase.Seen = KelvoNewPointerHash();
    Rebase.Offset = Offset;
    Rebase.RebaseStrings = RebaseStrings;
    Rebase.Callback = Callback;
    Rebase.UserData = UserData;
    if (!Rebase.Seen) {
        return 0;
    }
    // The root's own type is the caller's, not part of the block.
    FirstTime(Rebase, Root, ObjectQueued);
    kelvo_variant Object = {Type, Root};
    do {
        RebaseObject(Rebase, Object);
    } while (!Rebase.Failed && Rebase.Objects.Pop(Object));
    KelvoDeletePointerHash(Rebase.Seen);
    return !Rebase.Failed;
}

} // namespace

KELVO_API kelvo_bool32 KelvoRebasePointers(kelvo_data_type_definition const *Type, void *Root,
                                           kelvo_intaddrx Offset, kelvo_bool32 RebaseStrings) {
    KELVO_TIMED_BLOCK("RebasePointers");
    return RebaseTree(Type, Root, Offset, RebaseStrings != 0, nullptr, nullptr);
}

KELVO_API kelvo_bool32 KelvoRebasePointersStringCallback(kelvo_data_type_definition const *Type,
                                                         void *Root, kelvo_intaddrx Offset,
                                                         kelvo_string_callback *Callback,
                                                         void *UserData) {
    KELVO_TIMED_BLOCK("RebasePointers");
    KELVO_CHECK_NOT_NULL(Callback, KelvoDataTypeLogMessage, 0);
    return RebaseTree(Type, Root, Offset, false, Callback, UserData);
}
