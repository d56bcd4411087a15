// The data tree writer: walks a typed tree from its root and writes every
// object, definition and string it reaches into a file builder, each once per
// pass, marking a pointer fix-up for every pointer word and a marshalling
// fix-up for every record that mixes element sizes.
//
// The source tree is never modified: each block is copied, and the copy is
// normalised (empty arrays and variants cleared, strings replaced by the
// callback's values) before it is written, so every pointer word the file
// keeps either has a fix-up or is zero.
#include "kelvo2/kelvo2_data_tree_writer.h"

#include "kelvo2/kelvo2_file.h"

#include "data/kelvo_data_type.h"
#include "data/kelvo_data_type_iterator.h"
#include "file/kelvo_file_builder.h"
#include "file/kelvo_file_format.h"
#include "foundation/kelvo_counters.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"
#include "kelvo2/kelvo2_pointer_hash.h"

#include <stddef.h>

using kelvo::Log;

namespace {

constexpr kelvo_int32 PointerSize = (kelvo_int32)sizeof(void *);
constexpr kelvo_int32 MemberRecordSize = (kelvo_int32)sizeof(kelvo_data_type_definition);
constexpr kelvo_int32 FirstEntryCapacity = 256;
constexpr kelvo_int32 FileBufferGranularity = 65536;

// Entries are kept per address and kind: one block of memory may be an
// object of one type, of another, a definition and a slot block at once, and
// each must be written as what it is reached as.
struct writer_entry {
    void const *Kind;        // the object's type, or one of the markers below
    kelvo_int32 Next;        // the next entry at the same address, or -1
    kelvo_int32 Section;     // for ExplicitSectionKind: the section chosen
    kelvo_int32 TypeSection; // for definitions: where objects of the type go; -1 for none
    kelvo_int32 Pass;        // the pass that last wrote it
    kelvo_int64 WrittenSize;
    kelvo_file_location Location;
};

} // namespace

struct kelvo_file_data_tree_writer {
    kelvo_data_type_definition const *RootType;
    void *RootObject;
    kelvo_int32 DefaultTypeSection;
    kelvo_int32 DefaultObjectSection;
    kelvo_file_data_tree_flags Flags;
    kelvo_int32 Pass;
    kelvo_file const *SourceFile; // blocks inside its sections keep their section
    kelvo_file_writer_string_callback *StringCallback;
    void *StringUserData;
    kelvo_pointer_hash *Hash; // address -> entry index
    writer_entry *Entries;
    kelvo_int32 EntryCount;
    kelvo_int32 EntryCapacity;
};

namespace {

// Markers of the kinds that are not objects; only their addresses matter.
char DefinitionKind, SlotsKind, StringKind, ExplicitSectionKind;

writer_entry *FindEntry(kelvo_file_data_tree_writer &Writer, void const *Key, void const *Kind) {
    void *Data = nullptr;
    if (!KelvoGetHashedPointerData(Writer.Hash, Key, &Data)) {
        return nullptr;
    }
    for (kelvo_int32 Index = (kelvo_int32)(kelvo_intaddrx)Data; Index >= 0;
         Index = Writer.Entries[Index].Next) {
        if (Writer.Entries[Index].Kind == Kind) {
            return &Writer.Entries[Index];
        }
    }
    return nullptr;
}

// Null when the entries cannot grow (reported).
writer_entry *FindOrAddEntry(kelvo_file_data_tree_writer &Writer, void const *Key,
                             void const *Kind) {
    if (writer_entry *Entry = FindEntry(Writer, Key, Kind)) {
        return Entry;
    }
    if (Writer.EntryCount == Writer.EntryCapacity &&
        !kelvo::GrowArray(KelvoFileWritingLogMessage, "writer_entry", FirstEntryCapacity,
                          Writer.EntryCount, Writer.EntryCapacity, Writer.Entries)) {
        return nullptr;
    }
    kelvo_int32 Index = Writer.EntryCount;
    void *Head = nullptr;
    bool Shared = KelvoGetHashedPointerData(Writer.Hash, Key, &Head) != 0;
    bool Stored = Shared
                      ? KelvoSetHashedPointerData(Writer.Hash, Key, (void *)(kelvo_intaddrx)Index)
                      : KelvoAddPointerToHash(Writer.Hash, Key, (void *)(kelvo_intaddrx)Index);
    if (!Stored) {
        return nullptr;
    }
    ++Writer.EntryCount;
    writer_entry &Entry = Writer.Entries[Index];
    Entry.Kind = Kind;
    Entry.Next = Shared ? (kelvo_int32)(kelvo_intaddrx)Head : -1;
    Entry.Section = -1;
    Entry.TypeSection = -1;
    Entry.Pass = 0;
    Entry.WrittenSize = 0;
    Entry.Location = kelvo_file_location{0, 0, 0};
    return &Entry;
}

enum class item_kind { Object, Definition };

// A written block whose pointer words still need their fix-ups.
struct work_item {
    item_kind Kind;
    kelvo_data_type_definition const *Type;
    kelvo_uint8 const *Source;
    kelvo_int32 Count;
    kelvo_file_location Location;
};

struct write_pass {
    kelvo_file_data_tree_writer &Writer;
    kelvo_file_builder *Builder;
    kelvo_string_table *Strings;
    kelvo_int32 SectionCount;
    kelvo::work_stack<work_item> Pending;
    bool Failed = false;

    write_pass(kelvo_file_data_tree_writer &Writer, kelvo_file_builder *Builder)
        : Writer(Writer), Builder(Builder), Strings(nullptr),
          SectionCount(kelvo::GetBuilderSectionCount(Builder)) {}

    bool Fail() {
        Failed = true;
        return false;
    }

    bool SectionIsValid(kelvo_int32 Section) {
        if (Section < 0 || Section >= SectionCount) {
            Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                "%s(%d): SectionIndex %d is out of range [0, %d)", KELVO_HERE, Section,
                SectionCount);
            return false;
        }
        return true;
    }

    // Finds or adds Key's entry; Entry is left null when this pass already
    // wrote Key at least Size bytes (Location is then where).
    bool Lookup(void const *Key, void const *Kind, kelvo_int64 Size, kelvo_file_location &Location,
                writer_entry *&Entry) {
        Entry = FindOrAddEntry(Writer, Key, Kind);
        if (!Entry) {
            return Fail();
        }
        if (Entry->Pass == Writer.Pass && Size <= Entry->WrittenSize) {
            Location = Entry->Location;
            Entry = nullptr;
        }
        return true;
    }

    // Writes Size bytes once per pass under Key; Written tells whether this
    // call wrote them. A block already written smaller is written again.
    bool Place(void const *Key, void const *Kind, kelvo_int32 Section, kelvo_uint32 Marshalling,
               kelvo_int64 Size, void const *Data, kelvo_file_location &Location, bool &Written) {
        Written = false;
        writer_entry *Entry;
        if (!Lookup(Key, Kind, Size, Location, Entry)) {
            return false;
        }
        if (!Entry) {
            return true; // written already
        }
        writer_entry const *Chosen = FindEntry(Writer, Key, &ExplicitSectionKind);
        if (Chosen) {
            Section = Chosen->Section;
        } else if (Writer.SourceFile) {
            kelvo_int32 Source = KelvoGetFileSectionOfLoadedObject(Writer.SourceFile, Key);
            if (Source >= 0) {
                Section = Source;
            }
        }
        if (!SectionIsValid(Section)) {
            return Fail();
        }
        if (Size > 0x7fffffff) {
            Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
                "%s(%d): Count * ObjectSize %I64d is out of range for an int32 Size", KELVO_HERE,
                Size);
            return Fail();
        }
        KelvoWriteFileChunk(Builder, Section, Marshalling, (kelvo_int32)Size, Data, &Location);
        // Growth may have moved the entries.
        Entry = FindEntry(Writer, Key, Kind);
        Entry->Pass = Writer.Pass;
        Entry->WrittenSize = Size;
        Entry->Location = Location;
        Written = true;
        return true;
    }

    void Fixup(kelvo_file_location const &From, kelvo_int64 Offset, kelvo_file_location const &To) {
        KelvoMarkFileFixup(Builder, &From, (kelvo_int32)Offset, &To);
    }

    bool String(char const *Text, kelvo_int32 Section, kelvo_file_location &Location) {
        char const *Interned = KelvoMapString(Strings, Text);
        if (!Interned) {
            return Fail();
        }
        bool Written;
        return Place(Interned, &StringKind, Section, KelvoInt8Marshalling,
                     kelvo::StringLength(Interned) + 1, Interned, Location, Written);
    }

    kelvo_uintaddrx CallbackValue(char const *Text) {
        return Writer.StringCallback(Writer.StringUserData, Text);
    }

    bool Definition(kelvo_data_type_definition const *Type, kelvo_file_location &Location) {
        kelvo_int32 Size = KelvoGetTotalTypeSize(Type);
        if (Size <= 0 || !kelvo::CheckDefinition(Type)) {
            return Fail();
        }
        kelvo_data_type_definition *Copy =
            static_cast<kelvo_data_type_definition *>(KELVO_ALLOCATE_SIZE(Size));
        if (!Copy) {
            return Fail();
        }
        kelvo::Copy(Size, Type, Copy);
        for (kelvo_data_type_definition *Member = Copy; Member->Type != KelvoEndMember; ++Member) {
            if (Writer.StringCallback) {
                Member->Name = Member->Name ? (char const *)CallbackValue(Member->Name) : nullptr;
            }
            if (!kelvo::NeedsReferenceType(Member->Type)) {
                Member->ReferenceType = nullptr; // no fix-up would clear it
            }
        }
        bool Written;
        bool Placed = Place(Type, &DefinitionKind, Writer.DefaultTypeSection, KelvoInt32Marshalling,
                            Size, Copy, Location, Written);
        KELVO_DEALLOCATE(Copy);
        if (Placed && Written &&
            !Pending.Push(work_item{item_kind::Definition, Type, nullptr, 1, Location})) {
            return Fail();
        }
        return Placed;
    }

    kelvo_int32 SectionForObjectOf(kelvo_data_type_definition const *Type) {
        if (writer_entry *TypeEntry = FindEntry(Writer, Type, &DefinitionKind)) {
            if (TypeEntry->TypeSection >= 0) {
                return TypeEntry->TypeSection;
            }
        }
        return Writer.DefaultObjectSection;
    }

    // Clears what the file must not keep: arrays without elements, variants
    // without a definition, and (with a callback) string pointers.
    void Normalise(kelvo_data_type_definition const *Type, kelvo_uint8 *Object) {
        kelvo::member_iterator Members(Type, Object);
        kelvo::pointer_slot Slot;
        while (Members.Next(Slot)) {
            kelvo_uint8 *At = Slot.Address;
            switch (Slot.Member->Type) {
            case KelvoStringMember:
                if (Writer.StringCallback) {
                    char const *Text = (char const *)kelvo::LoadPointer(At + Slot.PointerOffset);
                    kelvo::StorePointer(At + Slot.PointerOffset,
                                        Text ? (void *)CallbackValue(Text) : nullptr);
                }
                break;
            case KelvoReferenceToArrayMember:
            case KelvoArrayOfReferencesMember:
                if (kelvo::LoadInt32(At + Slot.CountOffset) <= 0 ||
                    !kelvo::LoadPointer(At + Slot.PointerOffset)) {
                    kelvo::StoreInt32(At + Slot.CountOffset, 0);
                    kelvo::StorePointer(At + Slot.PointerOffset, nullptr);
                }
                break;
            case KelvoVariantReferenceMember:
                if (!kelvo::LoadPointer(At + Slot.TypeOffset)) {
                    kelvo::StorePointer(At + Slot.PointerOffset, nullptr);
                }
                break;
            case KelvoReferenceToVariantArrayMember:
                if (!kelvo::LoadPointer(At + Slot.TypeOffset) ||
                    kelvo::LoadInt32(At + Slot.CountOffset) <= 0 ||
                    !kelvo::LoadPointer(At + Slot.PointerOffset)) {
                    kelvo::StoreInt32(At + Slot.CountOffset, 0);
                    kelvo::StorePointer(At + Slot.PointerOffset, nullptr);
                }
                break;
            default:
                break;
            }
        }
    }

    bool Object(kelvo_data_type_definition const *Type, void const *Source, kelvo_int32 Count,
                kelvo_file_location &Location) {
        kelvo_int32 Unit = KelvoGetTotalObjectSize(Type);
        kelvo_int64 Size = (kelvo_int64)Unit * Count;
        writer_entry *Entry;
        if (!Lookup(Source, Type, Size, Location, Entry)) {
            return false;
        }
        if (!Entry) {
            return true; // written already
        }
        kelvo_int32 Section = SectionForObjectOf(Type);
        bool HasPointers = KelvoTypeHasPointers(Type) != 0;
        void const *Data = Source;
        kelvo_uint8 *Copy = nullptr;
        if (HasPointers && Size > 0) {
            if (Size > 0x7fffffff ||
                !(Copy = static_cast<kelvo_uint8 *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Size)))) {
                return Fail();
            }
            kelvo::Copy((kelvo_int32)Size, Source, Copy);
            for (kelvo_int32 Index = 0; Index < Count; ++Index) {
                Normalise(Type, Copy + (kelvo_int64)Index * Unit);
            }
            Data = Copy;
        }
        kelvo_marshalling_type Marshalling = KelvoGetObjectMarshalling(Type);
        bool Written;
        bool Placed =
            Place(Source, Type, Section, (kelvo_uint32)Marshalling, Size, Data, Location, Written);
        if (Copy) {
            KELVO_DEALLOCATE(Copy);
        }
        if (!Placed || !Written) {
            return Placed;
        }
        if (KelvoIsMixedMarshalling(Marshalling) && Size > 0) {
            kelvo_file_location TypeLocation;
            if (!Definition(Type, TypeLocation)) {
                return false;
            }
            KelvoMarkMarshallingFixup(Builder, &TypeLocation, &Location, Count);
        }
        if (HasPointers && Size > 0 &&
            !Pending.Push(work_item{item_kind::Object, Type,
                                    static_cast<kelvo_uint8 const *>(Source), Count, Location})) {
            return Fail();
        }
        return true;
    }

    // The slot block of an array of references, then each object it names.
    bool References(kelvo_data_type_definition const *Type, void *const *Slots, kelvo_int32 Count,
                    kelvo_file_location &Location) {
        bool Written;
        if (!Place(Slots, &SlotsKind, Writer.DefaultObjectSection, KelvoNoMarshalling,
                   (kelvo_int64)Count * PointerSize, Slots, Location, Written)) {
            return false;
        }
        for (kelvo_int32 Index = 0; Written && Index < Count; ++Index) {
            void const *Target = kelvo::LoadPointer(Slots + Index);
            kelvo_file_location TargetLocation;
            if (Target) {
                if (!Object(Type, Target, 1, TargetLocation)) {
                    return false;
                }
                Fixup(Location, (kelvo_int64)Index * PointerSize, TargetLocation);
            }
        }
        return true;
    }

    void WalkObject(work_item const &Item) {
        kelvo_int32 Unit = KelvoGetTotalObjectSize(Item.Type);
        for (kelvo_int32 Index = 0; !Failed && Index < Item.Count; ++Index) {
            kelvo_int64 Base = (kelvo_int64)Index * Unit;
            kelvo::member_iterator Members(Item.Type, (void *)(Item.Source + Base));
            kelvo::pointer_slot Slot;
            while (!Failed && Members.Next(Slot)) {
                WalkSlot(Slot, Item.Location, Base + Slot.Offset);
            }
            if (Members.Failed()) {
                Fail();
            }
        }
    }

    void WalkSlot(kelvo::pointer_slot const &Slot, kelvo_file_location const &Block,
                  kelvo_int64 At) {
        kelvo_uint8 const *Address = Slot.Address;
        kelvo_data_type_definition const *Target = Slot.Member->ReferenceType;
        kelvo_file_location To;
        void *Pointer =
            Slot.PointerOffset >= 0 ? kelvo::LoadPointer(Address + Slot.PointerOffset) : nullptr;
        kelvo_int32 Count =
            Slot.CountOffset >= 0 ? kelvo::LoadInt32(Address + Slot.CountOffset) : 0;
        switch (Slot.Member->Type) {
        case KelvoStringMember:
            if (Pointer && !Writer.StringCallback &&
                String((char const *)Pointer, Writer.DefaultObjectSection, To)) {
                Fixup(Block, At + Slot.PointerOffset, To);
            }
            break;
        case KelvoReferenceMember:
            if (Pointer && Object(Target, Pointer, 1, To)) {
                Fixup(Block, At + Slot.PointerOffset, To);
            }
            break;
        case KelvoReferenceToArrayMember:
            if (Pointer && Count > 0 && Object(Target, Pointer, Count, To)) {
                Fixup(Block, At + Slot.PointerOffset, To);
            }
            break;
        case KelvoArrayOfReferencesMember:
            if (Pointer && Count > 0 && References(Target, (void *const *)Pointer, Count, To)) {
                Fixup(Block, At + Slot.PointerOffset, To);
            }
            break;
        case KelvoVariantReferenceMember:
        case KelvoReferenceToVariantArrayMember: {
            auto *Type =
                (kelvo_data_type_definition const *)kelvo::LoadPointer(Address + Slot.TypeOffset);
            if (!Type) {
                break;
            }
            if (!Definition(Type, To)) {
                break;
            }
            Fixup(Block, At + Slot.TypeOffset, To);
            if (Slot.Member->Type == KelvoVariantReferenceMember) {
                Count = 1;
            }
            if (Pointer && Count > 0 && Object(Type, Pointer, Count, To)) {
                Fixup(Block, At + Slot.PointerOffset, To);
            }
            break;
        }
        default:
            break;
        }
    }

    void WalkDefinition(work_item const &Item) {
        auto const *Members = Item.Type;
        for (kelvo_int32 Index = 0; !Failed && Members[Index].Type != KelvoEndMember; ++Index) {
            kelvo_data_type_definition const &Member = Members[Index];
            kelvo_int64 At = (kelvo_int64)Index * MemberRecordSize;
            kelvo_file_location To;
            if (Member.Name && !Writer.StringCallback &&
                String(Member.Name, Writer.DefaultTypeSection, To)) {
                Fixup(Item.Location, At + offsetof(kelvo_data_type_definition, Name), To);
            }
            if (Member.ReferenceType && kelvo::NeedsReferenceType(Member.Type) &&
                Definition(Member.ReferenceType, To)) {
                Fixup(Item.Location, At + offsetof(kelvo_data_type_definition, ReferenceType), To);
            }
        }
    }

    bool Run() {
        kelvo_file_location ObjectLocation, TypeLocation;
        kelvo_data_type_definition const *RootType =
            (Writer.Flags & KelvoExcludeTypeTree) ? KelvoEmptyType : Writer.RootType;
        if (!Object(Writer.RootType, Writer.RootObject, 1, ObjectLocation) ||
            !Definition(RootType, TypeLocation)) {
            return false;
        }
        work_item Item;
        while (!Failed && Pending.Pop(Item)) {
            if (Item.Kind == item_kind::Object) {
                WalkObject(Item);
            } else {
                WalkDefinition(Item);
            }
        }
        if (!Failed) {
            KelvoMarkFileRootObject(Builder, &TypeLocation, &ObjectLocation);
        }
        return !Failed;
    }
};

} // namespace

KELVO_API kelvo_file_data_tree_writer *
KelvoBeginFileDataTreeWriting(kelvo_data_type_definition const *RootObjectTypeDefinition,
                              void *RootObject, kelvo_int32 DefaultTypeSectionIndex,
                              kelvo_int32 DefaultObjectSectionIndex) {
    KELVO_CHECK_NOT_NULL(RootObjectTypeDefinition, KelvoDataTypeLogMessage, nullptr);
    KELVO_CHECK_NOT_NULL(RootObject, KelvoDataTypeLogMessage, nullptr);
    // No flags, pass, source file or string callback yet.
    kelvo_file_data_tree_writer *Writer = KELVO_NEW(
        kelvo_file_data_tree_writer, RootObjectTypeDefinition, RootObject, DefaultTypeSectionIndex,
        DefaultObjectSectionIndex, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0);
    if (!Writer) {
        return nullptr;
    }
    Writer->Hash = KelvoNewPointerHash();
    // The null object takes the first entry, so no pointer ever maps to it.
    if (!Writer->Hash || !FindOrAddEntry(*Writer, nullptr, nullptr)) {
        KelvoEndFileDataTreeWriting(Writer);
        return nullptr;
    }
    return Writer;
}

KELVO_API void KelvoPreserveFileSections(kelvo_file_data_tree_writer *Writer,
                                         kelvo_file const *SourceFile) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoDataTypeLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SourceFile, KelvoDataTypeLogMessage, KELVO_NOTHING);
    Writer->SourceFile = SourceFile;
}

KELVO_API void KelvoSetFileDataTreeFlags(kelvo_file_data_tree_writer *Writer,
                                         kelvo_file_data_tree_flags Flags) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoDataTypeLogMessage, KELVO_NOTHING);
    Writer->Flags = Flags;
}

namespace {

// Records a section chosen by the application for a type's objects or for
// one object.
void ChooseSection(kelvo_file_data_tree_writer *Writer, void const *Key, void const *Kind,
                   kelvo_int32 SectionIndex, kelvo_int32 writer_entry::*Field) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoDataTypeLogMessage, KELVO_NOTHING);
    KELVO_CHECK(SectionIndex >= 0, KelvoDataTypeLogMessage, KELVO_NOTHING);
    if (writer_entry *Entry = FindOrAddEntry(*Writer, Key, Kind)) {
        Entry->*Field = SectionIndex;
    }
}

} // namespace

KELVO_API void KelvoSetFileSectionForObjectsOfType(kelvo_file_data_tree_writer *Writer,
                                                   kelvo_data_type_definition const *Type,
                                                   kelvo_int32 SectionIndex) {
    KELVO_CHECK_NOT_NULL(Type, KelvoDataTypeLogMessage, KELVO_NOTHING);
    ChooseSection(Writer, Type, &DefinitionKind, SectionIndex, &writer_entry::TypeSection);
}

KELVO_API void KelvoSetFileSectionForObject(kelvo_file_data_tree_writer *Writer, void const *Object,
                                            kelvo_int32 SectionIndex) {
    KELVO_CHECK_NOT_NULL(Object, KelvoDataTypeLogMessage, KELVO_NOTHING);
    ChooseSection(Writer, Object, &ExplicitSectionKind, SectionIndex, &writer_entry::Section);
}

KELVO_API void KelvoSetFileWriterStringCallback(kelvo_file_data_tree_writer *Writer,
                                                kelvo_file_writer_string_callback *Callback,
                                                void *UserData) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoDataTypeLogMessage, KELVO_NOTHING);
    Writer->StringCallback = Callback;
    Writer->StringUserData = UserData;
}

KELVO_API kelvo_bool32 KelvoWriteDataTreeToFileBuilder(kelvo_file_data_tree_writer *Writer,
                                                       kelvo_file_builder *Builder) {
    KELVO_TIMED_BLOCK("WriteDataTreeToFileBuilder");
    KELVO_CHECK_NOT_NULL(Writer, KelvoFileWritingLogMessage, 0);
    KELVO_CHECK_NOT_NULL(Builder, KelvoFileWritingLogMessage, 0);
    ++Writer->Pass;
    write_pass Pass(*Writer, Builder);
    Pass.Strings = KelvoNewStringTable();
    if (!Pass.Strings) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to create file string table builder", KELVO_HERE);
        return 0;
    }
    bool Written = Pass.Run();
    KelvoFreeStringTable(Pass.Strings);
    return Written;
}

KELVO_API kelvo_bool32 KelvoWriteDataTreeToFile(kelvo_file_data_tree_writer *Writer,
                                                kelvo_uint32 FileTypeTag,
                                                kelvo_file_magic_value const *FileMagicValue,
                                                char const *FileName, kelvo_int32 SectionCount) {
    KELVO_CHECK_NOT_NULL(Writer, KelvoFileWritingLogMessage, 0);
    KELVO_CHECK_NOT_NULL(FileName, KelvoFileWritingLogMessage, 0);
    // In memory: fixed temporary file names would collide between writers.
    kelvo_file_builder *Builder =
        KelvoBeginFileInMemory(SectionCount, FileTypeTag, FileMagicValue, FileBufferGranularity);
    if (!Builder) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to create file writing buffer", KELVO_HERE);
        return 0;
    }
    if (!KelvoWriteDataTreeToFileBuilder(Writer, Builder)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to write tree contents to file buffer", KELVO_HERE);
        KelvoAbortFile(Builder);
        return 0;
    }
    if (!KelvoEndFile(Builder, FileName)) {
        Log(KelvoErrorLogMessage, KelvoFileWritingLogMessage,
            "%s(%d): Unable to write buffer to file", KELVO_HERE);
        return 0;
    }
    return 1;
}

KELVO_API void KelvoEndFileDataTreeWriting(kelvo_file_data_tree_writer *Writer) {
    if (!Writer) {
        return;
    }
    KelvoDeletePointerHash(Writer->Hash);
    if (Writer->Entries) {
        KELVO_DEALLOCATE(Writer->Entries);
    }
    KELVO_DEALLOCATE(Writer);
}
