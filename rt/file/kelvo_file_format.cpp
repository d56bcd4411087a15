// The .kv2 file layout: the magic values and their identification, the
// section array, standard section names, byte reversal of sections, pointer
// fix-ups, marshalling and file references.
//
// Offsets and counts come out of files, so the forms the loader uses
// (FixUpSection, MarshallSection) check each one against the sizes of the
// sections it touches before writing, and follow a type definition only once
// it is known to lie whole inside loaded sections. The exported fix-up forms
// keep their trusting signatures for callers that built their own arrays.
#include "file/kelvo_file_format.h"

#include "foundation/kelvo_counters.h"
#include "data/kelvo_data_type.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <stddef.h>

using kelvo::Log;
using kelvo::section_bounds;

// The on-disk records are the same in every build.
static_assert(sizeof(kelvo_file_magic_value) == 32);
static_assert(offsetof(kelvo_file_magic_value, HeaderSize) == 16);
static_assert(offsetof(kelvo_file_magic_value, HeaderFormat) == 20);
static_assert(offsetof(kelvo_file_magic_value, Reserved) == 24);

static_assert(sizeof(kelvo_file_reference) == 8);
static_assert(offsetof(kelvo_file_reference, Offset) == 4);

static_assert(sizeof(kelvo_file_header) == 56);
static_assert(offsetof(kelvo_file_header, TotalSize) == 4);
static_assert(offsetof(kelvo_file_header, CRC) == 8);
static_assert(offsetof(kelvo_file_header, SectionArrayOffset) == 12);
static_assert(offsetof(kelvo_file_header, SectionArrayCount) == 16);
static_assert(offsetof(kelvo_file_header, RootObjectTypeDefinition) == 20);
static_assert(offsetof(kelvo_file_header, RootObject) == 28);
static_assert(offsetof(kelvo_file_header, TypeTag) == 36);
static_assert(offsetof(kelvo_file_header, ExtraTags) == 40);

static_assert(sizeof(kelvo_section_header) == 44);
static_assert(offsetof(kelvo_section_header, DataOffset) == 4);
static_assert(offsetof(kelvo_section_header, DataSize) == 8);
static_assert(offsetof(kelvo_section_header, ExpandedDataSize) == 12);
static_assert(offsetof(kelvo_section_header, InternalAlignment) == 16);
static_assert(offsetof(kelvo_section_header, First16Bit) == 20);
static_assert(offsetof(kelvo_section_header, First8Bit) == 24);
static_assert(offsetof(kelvo_section_header, PointerFixupArrayOffset) == 28);
static_assert(offsetof(kelvo_section_header, PointerFixupArrayCount) == 32);
static_assert(offsetof(kelvo_section_header, MixedMarshallingFixupArrayOffset) == 36);
static_assert(offsetof(kelvo_section_header, MixedMarshallingFixupArrayCount) == 40);

static_assert(sizeof(kelvo_pointer_fixup) == 12);
static_assert(offsetof(kelvo_pointer_fixup, To) == 4);

static_assert(sizeof(kelvo_marshalling_fixup) == 16);
static_assert(offsetof(kelvo_marshalling_fixup, Offset) == 4);
static_assert(offsetof(kelvo_marshalling_fixup, Type) == 8);

static_assert(kelvo::HeaderSizeForSections(8) == 440);

namespace {

// ---- magic values -----------------------------------------------------------

using magic_bytes = kelvo_uint8[16];

// The bytes in file order, read as this machine reads the file's words.
constexpr kelvo_file_magic_value MagicValueFromBytes(magic_bytes const &Bytes) {
    kelvo_file_magic_value Value{};
    for (int Word = 0; Word < 4; ++Word) {
        kelvo_uint8 const *At = Bytes + 4 * Word;
        Value.MagicValue[Word] = kelvo::ThisPlatformIsLittleEndian
                                     ? (kelvo_uint32)At[0] | (kelvo_uint32)At[1] << 8 |
                                           (kelvo_uint32)At[2] << 16 | (kelvo_uint32)At[3] << 24
                                     : (kelvo_uint32)At[0] << 24 | (kelvo_uint32)At[1] << 16 |
                                           (kelvo_uint32)At[2] << 8 | (kelvo_uint32)At[3];
    }
    return Value;
}

constexpr magic_bytes Bytes32Little = {0x29, 0xde, 0x6c, 0xc0, 0xba, 0xa4, 0x53, 0x2b,
                                       0x25, 0xf5, 0xb7, 0xa5, 0xf6, 0x66, 0xe2, 0xee};
constexpr magic_bytes Bytes32Big = {0x0e, 0x11, 0x95, 0xb5, 0x6a, 0xa5, 0xb5, 0x4b,
                                    0xeb, 0x28, 0x28, 0x50, 0x25, 0x78, 0xb3, 0x04};
constexpr magic_bytes Bytes64Little = {0xe5, 0x9b, 0x49, 0x5e, 0x6f, 0x63, 0x1f, 0x14,
                                       0x1e, 0x13, 0xeb, 0xa9, 0x90, 0xbe, 0xed, 0xc4};
constexpr magic_bytes Bytes64Big = {0x31, 0x95, 0xd4, 0xe3, 0x20, 0xdc, 0x4f, 0x62,
                                    0xcc, 0x36, 0xd0, 0x3a, 0xb1, 0x82, 0xff, 0x89};
constexpr magic_bytes BytesOld = {0xb8, 0x67, 0xb0, 0xca, 0xf8, 0x6d, 0xb1, 0x0f,
                                  0x84, 0x72, 0x8c, 0x7e, 0x5e, 0x19, 0x00, 0x1e};

constinit kelvo_file_magic_value const MagicValue32Little = MagicValueFromBytes(Bytes32Little);
constinit kelvo_file_magic_value const MagicValue32Big = MagicValueFromBytes(Bytes32Big);
constinit kelvo_file_magic_value const MagicValue64Little = MagicValueFromBytes(Bytes64Little);
constinit kelvo_file_magic_value const MagicValue64Big = MagicValueFromBytes(Bytes64Big);
constinit kelvo_file_magic_value const MagicValueOld = MagicValueFromBytes(BytesOld);

constexpr kelvo_file_magic_value const *ThisPlatformMagicValue() {
    if (kelvo::ThisPlatformPointerSizeInBits == 64) {
        return kelvo::ThisPlatformIsLittleEndian ? &MagicValue64Little : &MagicValue64Big;
    }
    return kelvo::ThisPlatformIsLittleEndian ? &MagicValue32Little : &MagicValue32Big;
}

} // namespace

constinit kelvo_file_magic_value const *const KelvoKVNFileMV_32Bit_LittleEndian =
    &MagicValue32Little;
constinit kelvo_file_magic_value const *const KelvoKVNFileMV_32Bit_BigEndian = &MagicValue32Big;
constinit kelvo_file_magic_value const *const KelvoKVNFileMV_64Bit_LittleEndian =
    &MagicValue64Little;
constinit kelvo_file_magic_value const *const KelvoKVNFileMV_64Bit_BigEndian = &MagicValue64Big;
constinit kelvo_file_magic_value const *const KelvoKVNFileMV_Old = &MagicValueOld;
constinit kelvo_file_magic_value const *const KelvoKVNFileMV_ThisPlatform =
    ThisPlatformMagicValue();

namespace {

struct platform_magic_value {
    kelvo_file_magic_value const *Value;
    kelvo_int32 PointerSizeInBits;
    bool IsLittleEndian;
};

// Searched in this order; the old value is not among them.
constexpr platform_magic_value PlatformMagicValues[] = {
    {&MagicValue32Little, 32, true},
    {&MagicValue32Big, 32, false},
    {&MagicValue64Little, 64, true},
    {&MagicValue64Big, 64, false},
};

enum class word_order { NoMatch, Same, Reversed };

// A writer of the other byte order stores each word reversed.
word_order MatchMagicWords(kelvo_file_magic_value const &Value,
                           kelvo_file_magic_value const &Known) {
    constexpr kelvo_int32 Size = (kelvo_int32)sizeof(Value.MagicValue);
    if (kelvo::Compare(Size, Value.MagicValue, Known.MagicValue)) {
        return word_order::Same;
    }
    kelvo_uint32 Reversed[4];
    kelvo::Copy(Size, Known.MagicValue, Reversed);
    kelvo::Reverse32(Size, Reversed);
    return kelvo::Compare(Size, Value.MagicValue, Reversed) ? word_order::Reversed
                                                            : word_order::NoMatch;
}

// ---- references and sections ------------------------------------------------

kelvo_uint8 *SectionBytes(void *Base, kelvo_uint32 Offset) {
    return static_cast<kelvo_uint8 *>(Base) + Offset;
}

void WritePointer(void *Field, void *Pointer) {
    // Fields sit at 4-byte alignment in 64-bit builds.
    kelvo::Copy((kelvo_int32)sizeof(Pointer), &Pointer, Field);
}

bool SectionIndexInRange(section_bounds const &Sections, kelvo_int32 SectionIndex) {
    if (SectionIndex >= 0 && SectionIndex < Sections.Count) {
        return true;
    }
    Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
        "%s(%d): SectionIndex %d is out of range [0, %d)", KELVO_HERE, SectionIndex,
        Sections.Count);
    return false;
}

// Whether [Address, Address + Size) lies inside section Index. Addresses
// from files may be anything, so nothing here can overflow.
bool SectionHolds(section_bounds const &Sections, kelvo_int32 Index, kelvo_uintaddrx Address,
                  kelvo_uintaddrx Size) {
    kelvo_uintaddrx Base = (kelvo_uintaddrx)Sections.Bases[Index];
    kelvo_uintaddrx SectionSize = Sections.Headers[Index].ExpandedDataSize;
    return Base && Address >= Base && Address - Base <= SectionSize &&
           SectionSize - (Address - Base) >= Size;
}

// The section that holds [Address, Address + Size), trying Hint first; -1
// when none does.
kelvo_int32 FindSection(section_bounds const &Sections, kelvo_uintaddrx Address,
                        kelvo_uintaddrx Size, kelvo_int32 Hint) {
    if (Hint >= 0 && Hint < Sections.Count && SectionHolds(Sections, Hint, Address, Size)) {
        return Hint;
    }
    for (kelvo_int32 Index = 0; Index < Sections.Count; ++Index) {
        if (SectionHolds(Sections, Index, Address, Size)) {
            return Index;
        }
    }
    return -1;
}

// ---- type definitions inside loaded sections ---------------------------------

enum class definition_fault { None, Outside, Unterminated, BadMember, TooDeep, TooLong, Overlaps };

// A walk over a definition and the types it inlines, in the order
// KelvoReverseTypeArray follows them, before it is trusted to follow them.
struct definition_walk {
    section_bounds const &Sections;
    kelvo_uintaddrx ForbiddenBegin = 0; // the objects about to be reversed
    kelvo_uintaddrx ForbiddenEnd = 0;
    kelvo_int32 Depth = 0;
    kelvo_int64 Steps = 0; // members visited for one object
    kelvo_int32 Hint = -1;
    bool HasBytes = false; // some member has a size, so the object has one
};

definition_fault CheckDefinition(definition_walk &Walk, kelvo_data_type_definition const *Type) {
    constexpr kelvo_uintaddrx RecordSize = sizeof(kelvo_data_type_definition);
    if (!Type) {
        return definition_fault::None; // measures as empty
    }
    if (Walk.Depth >= kelvo::MaxTypeNesting) {
        return definition_fault::TooDeep;
    }
    kelvo_uintaddrx Address = (kelvo_uintaddrx)Type;
    kelvo_int32 Section = FindSection(Walk.Sections, Address, RecordSize, Walk.Hint);
    if (Section < 0 || Address % alignof(kelvo_data_type_definition) != 0) {
        return definition_fault::Outside;
    }
    Walk.Hint = Section;
    ++Walk.Depth;
    definition_fault Fault = definition_fault::None;
    for (kelvo_uintaddrx At = Address;; At += RecordSize) {
        if (!SectionHolds(Walk.Sections, Section, At, RecordSize)) {
            Fault = definition_fault::Unterminated;
            break;
        }
        if (At < Walk.ForbiddenEnd && Walk.ForbiddenBegin < At + RecordSize) {
            // Reversing the objects would rewrite the type that describes them.
            Fault = definition_fault::Overlaps;
            break;
        }
        auto const *Member = reinterpret_cast<kelvo_data_type_definition const *>(At);
        if (Member->Type == KelvoEndMember) {
            break;
        }
        if (++Walk.Steps > kelvo::MaxTypeSteps) {
            Fault = definition_fault::TooLong;
            break;
        }
        if (Member->Type < 0 || Member->Type >= KelvoOnePastLastMemberType ||
            Member->ArrayWidth < 0) {
            Fault = definition_fault::BadMember;
            break;
        }
        if (Member->Type != KelvoInlineMember &&
            kelvo::GetMemberUnitSize(Member->Type, kelvo::ThisPlatformPointerSizeInBits) > 0) {
            Walk.HasBytes = true;
        }
        if (Member->Type == KelvoInlineMember) {
            Fault = CheckDefinition(Walk, Member->ReferenceType);
            if (Fault != definition_fault::None) {
                break;
            }
        }
    }
    --Walk.Depth;
    return Fault;
}

void ReportDefinitionFault(definition_fault Fault, kelvo_int32 FixupIndex,
                           kelvo_int32 SectionIndex) {
    switch (Fault) {
    case definition_fault::Outside:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d uses a type definition that does not "
            "lie, 4-byte aligned, inside a loaded section",
            KELVO_HERE, FixupIndex, SectionIndex);
        break;
    case definition_fault::Unterminated:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d uses a type definition that runs past "
            "the end of its section",
            KELVO_HERE, FixupIndex, SectionIndex);
        break;
    case definition_fault::BadMember:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d uses a type definition with a member "
            "type or array width out of range",
            KELVO_HERE, FixupIndex, SectionIndex);
        break;
    case definition_fault::TooDeep:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d uses a type definition whose inline "
            "members nest deeper than %d levels",
            KELVO_HERE, FixupIndex, SectionIndex, kelvo::MaxTypeNesting);
        break;
    case definition_fault::TooLong:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d uses a type definition with more than "
            "%d members, counting those of inline types",
            KELVO_HERE, FixupIndex, SectionIndex, kelvo::MaxTypeSteps);
        break;
    case definition_fault::Overlaps:
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Marshalling fix-up %d of section %d reverses records that overlap their "
            "own type definition",
            KELVO_HERE, FixupIndex, SectionIndex);
        break;
    case definition_fault::None:
        break;
    }
}

// Skipped fix-ups are reported one by one up to this many per call, then
// counted, so that a hostile file cannot flood the log.
constexpr kelvo_int32 ReportedSkips = 4;

// Work allowed for the marshalling of one section, in members visited:
// records that do not overlap stay far below it, hostile ones stop there.
kelvo_int64 MarshallingBudget(kelvo_uint32 SectionSize) {
    return kelvo::MaxTypeSteps + 16 * (kelvo_int64)SectionSize;
}

// Outputs the caller may leave null.
template <typename T, typename V> void SetOutput(T *Output, V Value) {
    if (Output) {
        *Output = (T)Value;
    }
}

void ReverseInPieces(void (*Reverse)(kelvo_int32, void *), kelvo_uint8 *Bytes, kelvo_uint32 Count) {
    // The utilities count in int32; pieces are whole words.
    constexpr kelvo_uint32 Piece = 1u << 30;
    while (Count) {
        kelvo_uint32 Step = Count < Piece ? Count : Piece;
        Reverse((kelvo_int32)Step, Bytes);
        Bytes += Step;
        Count -= Step;
    }
}

} // namespace

// ---- internal interface -------------------------------------------------------

namespace kelvo {

bool IdentifyMagicValue(kelvo_file_magic_value const &MagicValue, kelvo_int32 &PointerSizeInBits,
                        bool &IsLittleEndian, bool Report) {
    // The old value's word order is the only sign of its writer's byte order.
    word_order Order = MatchMagicWords(MagicValue, MagicValueOld);
    if (Order != word_order::NoMatch) {
        PointerSizeInBits = 32;
        IsLittleEndian = (Order == word_order::Same) == ThisPlatformIsLittleEndian;
        return true;
    }
    for (platform_magic_value const &Known : PlatformMagicValues) {
        if (MatchMagicWords(MagicValue, *Known.Value) != word_order::NoMatch) {
            PointerSizeInBits = Known.PointerSizeInBits;
            IsLittleEndian = Known.IsLittleEndian;
            return true;
        }
    }
    PointerSizeInBits = 0;
    IsLittleEndian = false;
    if (Report) {
        Log(KelvoWarningLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Magic value (0x%x, 0x%x, 0x%x, 0x%x) doesn't match any known file format",
            KELVO_HERE, MagicValue.MagicValue[0], MagicValue.MagicValue[1],
            MagicValue.MagicValue[2], MagicValue.MagicValue[3]);
    }
    return false;
}

kelvo_section_header *GetCheckedSectionArray(kelvo_file_header *Header, kelvo_int64 BlockSize) {
    KELVO_CHECK_NOT_NULL(Header, KelvoFileReadingLogMessage, nullptr);
    if (BlockSize < FileHeaderSize) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Header block of %I64d bytes is too small for the %d-byte file header",
            KELVO_HERE, BlockSize, FileHeaderSize);
        return nullptr;
    }
    kelvo_int64 ArrayEnd = (kelvo_int64)Header->SectionArrayOffset +
                           (kelvo_int64)Header->SectionArrayCount * sizeof(kelvo_section_header);
    if (Header->SectionArrayOffset < (kelvo_uint32)FileHeaderSize ||
        Header->SectionArrayOffset % 4 != 0 || Header->SectionArrayCount > INT32_MAX ||
        ArrayEnd > BlockSize) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section array of %u sections at offset %u does not lie inside the %I64d "
            "header bytes",
            KELVO_HERE, Header->SectionArrayCount, Header->SectionArrayOffset, BlockSize);
        return nullptr;
    }
    return KelvoGetKVNSectionArray(Header);
}

bool CheckSectionHeader(kelvo_section_header const &Section, kelvo_int32 SectionIndex,
                        kelvo_int64 FileSize) {
    auto Inside = [FileSize](kelvo_uint32 Offset, kelvo_int64 Size) {
        return (kelvo_int64)Offset + Size <= FileSize;
    };
    if (!Inside(Section.DataOffset, Section.DataSize)) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d stores %u bytes at offset %u, past the end of the %I64d-byte "
            "file",
            KELVO_HERE, SectionIndex, Section.DataSize, Section.DataOffset, FileSize);
        return false;
    }
    if (!Inside(Section.PointerFixupArrayOffset,
                (kelvo_int64)Section.PointerFixupArrayCount * sizeof(kelvo_pointer_fixup))) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d has %u pointer fix-ups at offset %u, past the end of the "
            "%I64d-byte file",
            KELVO_HERE, SectionIndex, Section.PointerFixupArrayCount,
            Section.PointerFixupArrayOffset, FileSize);
        return false;
    }
    if (!Inside(Section.MixedMarshallingFixupArrayOffset,
                (kelvo_int64)Section.MixedMarshallingFixupArrayCount *
                    sizeof(kelvo_marshalling_fixup))) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d has %u marshalling fix-ups at offset %u, past the end of the "
            "%I64d-byte file",
            KELVO_HERE, SectionIndex, Section.MixedMarshallingFixupArrayCount,
            Section.MixedMarshallingFixupArrayOffset, FileSize);
        return false;
    }
    if (Section.First16Bit > Section.First8Bit || Section.First8Bit > Section.ExpandedDataSize) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d has its 16-bit region at %u and its 8-bit region at %u, not in "
            "order inside its %u bytes",
            KELVO_HERE, SectionIndex, Section.First16Bit, Section.First8Bit,
            Section.ExpandedDataSize);
        return false;
    }
    if (Section.ExpandedDataSize > (kelvo_uint32)INT32_MAX - 3) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d expands to %u bytes, more than one block can hold", KELVO_HERE,
            SectionIndex, Section.ExpandedDataSize);
        return false;
    }
    // Stored as they load: a loader reads them straight into the section.
    if (Section.Format == KelvoNoCompression && Section.DataSize != Section.ExpandedDataSize) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): Section %d stores %u uncompressed bytes for %u loaded bytes", KELVO_HERE,
            SectionIndex, Section.DataSize, Section.ExpandedDataSize);
        return false;
    }
    return true;
}

reference_status ResolveReference(section_bounds const &Sections,
                                  kelvo_file_reference const &Reference, kelvo_uint32 ObjectSize,
                                  void *&Address) {
    Address = nullptr;
    if (Sections.Count <= 0 || Reference.SectionIndex >= (kelvo_uint32)Sections.Count) {
        return reference_status::BadSection;
    }
    void *Base = Sections.Bases[Reference.SectionIndex];
    if (!Base) {
        return reference_status::NotLoaded;
    }
    kelvo_uint32 SectionSize = Sections.Headers[Reference.SectionIndex].ExpandedDataSize;
    if ((kelvo_uint64)Reference.Offset + ObjectSize > SectionSize) {
        return reference_status::BadOffset;
    }
    Address = SectionBytes(Base, Reference.Offset);
    return reference_status::Resolved;
}

void ReportSkipTotal(char const *What, kelvo_int32 Skipped, kelvo_int32 SectionIndex) {
    if (Skipped > ReportedSkips) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): %d %s fix-ups of section %d were skipped in all", KELVO_HERE, Skipped, What,
            SectionIndex);
    }
}

bool PointerFieldFits(kelvo_pointer_fixup const &Fixup, kelvo_int32 FixupIndex,
                      kelvo_int32 SectionIndex, kelvo_uint32 SectionSize,
                      kelvo_int32 PointerSize, kelvo_int32 &Skipped) {
    if ((kelvo_uint64)Fixup.FromOffset + (kelvo_uint64)PointerSize > SectionSize) {
        if (++Skipped <= ReportedSkips) {
            Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                "%s(%d): Pointer fix-up %d of section %d writes at offset %u, past the "
                "section's %u bytes; skipped",
                KELVO_HERE, FixupIndex, SectionIndex, Fixup.FromOffset, SectionSize);
        }
        return false;
    }
    // Pointer words of records sit at 4-byte offsets; a field elsewhere
    // would straddle the words a reader of the other byte order reverses.
    if (Fixup.FromOffset % 4 != 0) {
        if (++Skipped <= ReportedSkips) {
            Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                "%s(%d): Pointer fix-up %d of section %d writes at offset %u, off the 4-byte "
                "alignment of pointer fields; skipped",
                KELVO_HERE, FixupIndex, SectionIndex, Fixup.FromOffset);
        }
        return false;
    }
    return true;
}

kelvo_int32 FindLoadedSection(section_bounds const &Sections, void const *Address,
                              kelvo_uintaddrx Size) {
    return FindSection(Sections, (kelvo_uintaddrx)Address, Size, -1);
}

bool FixUpSection(section_bounds const &Sections, kelvo_int32 SectionIndex, kelvo_int32 FixupCount,
                  kelvo_pointer_fixup const *Fixups, kelvo_uint32 *WrittenWords) {
    KELVO_TIMED_BLOCK("FixUpSection");
    KELVO_CHECK(FixupCount >= 0, KelvoFileReadingLogMessage, false);
    if (!SectionIndexInRange(Sections, SectionIndex)) {
        return false;
    }
    void *Base = Sections.Bases[SectionIndex];
    if (FixupCount == 0 || !Base) {
        return true;
    }
    KELVO_CHECK_NOT_NULL(Fixups, KelvoFileReadingLogMessage, false);

    kelvo_uint32 SectionSize = Sections.Headers[SectionIndex].ExpandedDataSize;
    kelvo_int32 Skipped = 0;
    for (kelvo_int32 Index = 0; Index < FixupCount; ++Index) {
        kelvo_pointer_fixup const &Fixup = Fixups[Index];
        if (!PointerFieldFits(Fixup, Index, SectionIndex, SectionSize,
                              ThisPlatformPointerSizeInBits / 8, Skipped)) {
            continue;
        }
        // A target outside its section leaves null, as an unloaded one does.
        void *Target;
        reference_status Status = ResolveReference(Sections, Fixup.To, 0, Target);
        if (Status == reference_status::BadSection || Status == reference_status::BadOffset) {
            if (++Skipped <= ReportedSkips) {
                Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                    "%s(%d): Pointer fix-up %d of section %d points at offset %u of section %u, "
                    "outside the file's sections; set to null",
                    KELVO_HERE, Index, SectionIndex, Fixup.To.Offset, Fixup.To.SectionIndex);
            }
        }
        WritePointer(SectionBytes(Base, Fixup.FromOffset), Target);
        if (WrittenWords) {
            WrittenWords[Fixup.FromOffset / 128] |= 1u << (Fixup.FromOffset / 4 % 32);
        }
    }
    ReportSkipTotal("pointer", Skipped, SectionIndex);
    return Skipped == 0;
}

bool MarshallSection(section_bounds const &Sections, kelvo_int32 SectionIndex,
                     kelvo_int32 FixupCount, kelvo_marshalling_fixup const *Fixups,
                     kelvo_marshalling_fixup *Applied, kelvo_int32 *AppliedCount) {
    KELVO_TIMED_BLOCK("MarshallSection");
    KELVO_CHECK(FixupCount >= 0, KelvoFileReadingLogMessage, false);
    if (!SectionIndexInRange(Sections, SectionIndex)) {
        return false;
    }
    void *Base = Sections.Bases[SectionIndex];
    if (FixupCount == 0 || !Base) {
        return true;
    }
    KELVO_CHECK_NOT_NULL(Fixups, KelvoFileReadingLogMessage, false);

    kelvo_uint32 SectionSize = Sections.Headers[SectionIndex].ExpandedDataSize;
    kelvo_int64 Budget = MarshallingBudget(SectionSize);
    kelvo_int32 Skipped = 0;
    auto Skip = [&Skipped]() { return ++Skipped <= ReportedSkips; };
    for (kelvo_int32 Index = 0; Index < FixupCount; ++Index) {
        kelvo_marshalling_fixup const &Fixup = Fixups[Index];
        if (Fixup.Count == 0) {
            continue;
        }
        void *TypeAddress;
        reference_status Status = ResolveReference(
            Sections, Fixup.Type, (kelvo_uint32)sizeof(kelvo_data_type_definition), TypeAddress);
        if (Status != reference_status::Resolved) {
            if (Skip()) {
                Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                    "%s(%d): Marshalling fix-up %d of section %d takes its type from offset %u "
                    "of section %u, which is not loaded or not there; skipped",
                    KELVO_HERE, Index, SectionIndex, Fixup.Type.Offset, Fixup.Type.SectionIndex);
            }
            continue;
        }
        auto const *Type = static_cast<kelvo_data_type_definition const *>(TypeAddress);
        definition_walk Walk{Sections};
        definition_fault Fault = CheckDefinition(Walk, Type);
        if (Fault != definition_fault::None) {
            if (Skip()) {
                ReportDefinitionFault(Fault, Index, SectionIndex);
            }
            continue;
        }
        kelvo_int32 ObjectSize = GetTotalObjectSize(Type, ThisPlatformPointerSizeInBits);
        if (ObjectSize == 0) {
            // Without bytes there is nothing to reverse; with them, the size
            // did not fit (the measure reported it).
            if (Walk.HasBytes && Skip()) {
                Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                    "%s(%d): Marshalling fix-up %d of section %d uses a type definition too "
                    "large to measure; skipped",
                    KELVO_HERE, Index, SectionIndex);
            }
            continue;
        }
        if (Fixup.Count > INT32_MAX ||
            (kelvo_uint64)Fixup.Offset + (kelvo_uint64)Fixup.Count * ObjectSize > SectionSize) {
            if (Skip()) {
                Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                    "%s(%d): Marshalling fix-up %d of section %d: %u records of %d bytes at "
                    "offset %u run past the section's %u bytes; skipped",
                    KELVO_HERE, Index, SectionIndex, Fixup.Count, ObjectSize, Fixup.Offset,
                    SectionSize);
            }
            continue;
        }
        kelvo_uint8 *Objects = SectionBytes(Base, Fixup.Offset);
        definition_walk OverlapWalk{Sections};
        OverlapWalk.ForbiddenBegin = (kelvo_uintaddrx)Objects;
        OverlapWalk.ForbiddenEnd =
            OverlapWalk.ForbiddenBegin + Fixup.Count * (kelvo_uint64)ObjectSize;
        Fault = CheckDefinition(OverlapWalk, Type);
        if (Fault != definition_fault::None) {
            if (Skip()) {
                ReportDefinitionFault(Fault, Index, SectionIndex);
            }
            continue;
        }
        // Validation and reversal each visit the definition's members.
        Budget -= Walk.Steps * (2 + (kelvo_int64)Fixup.Count);
        if (Budget < 0) {
            Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
                "%s(%d): Marshalling fix-ups of section %d ask for more work than its %u bytes "
                "can need; fix-up %d and those after it are skipped",
                KELVO_HERE, SectionIndex, SectionSize, Index);
            Skipped += FixupCount - Index;
            break;
        }
        KelvoReverseTypeArray(Type, (kelvo_int32)Fixup.Count, Objects);
        if (Applied && AppliedCount) {
            Applied[(*AppliedCount)++] = Fixup;
        }
    }
    ReportSkipTotal("marshalling", Skipped, SectionIndex);
    return Skipped == 0;
}

} // namespace kelvo

// ---- exported operations ---------------------------------------------------------

KELVO_API kelvo_bool32 KelvoGetMagicValueForPlatform(kelvo_int32 PointerSizeInBits,
                                                     kelvo_bool32 IsLittleEndian,
                                                     kelvo_file_magic_value *MagicValue) {
    KELVO_CHECK_NOT_NULL(MagicValue, KelvoFileReadingLogMessage, 0);
    for (platform_magic_value const &Known : PlatformMagicValues) {
        if (Known.PointerSizeInBits == PointerSizeInBits &&
            Known.IsLittleEndian == (IsLittleEndian != 0)) {
            *MagicValue = *Known.Value;
            return 1;
        }
    }
    return 0;
}

KELVO_API kelvo_bool32 KelvoGetMagicValueProperties(kelvo_file_magic_value const *MagicValue,
                                                    kelvo_int32 *PointerSizeInBits,
                                                    kelvo_bool32 *IsLittleEndian) {
    SetOutput(PointerSizeInBits, 0);
    SetOutput(IsLittleEndian, 0);
    KELVO_CHECK_NOT_NULL(MagicValue, KelvoFileReadingLogMessage, 0);
    kelvo_int32 Size;
    bool Little;
    if (!kelvo::IdentifyMagicValue(*MagicValue, Size, Little, true)) {
        return 0;
    }
    SetOutput(PointerSizeInBits, Size);
    SetOutput(IsLittleEndian, Little);
    return 1;
}

KELVO_API kelvo_bool32 KelvoGetThisPlatformProperties(kelvo_int32 *PointerSizeInBits,
                                                      kelvo_bool32 *IsLittleEndian) {
    SetOutput(PointerSizeInBits, kelvo::ThisPlatformPointerSizeInBits);
    SetOutput(IsLittleEndian, kelvo::ThisPlatformIsLittleEndian);
    return 1;
}

KELVO_API kelvo_bool32 KelvoIsKelvoFile(kelvo_file_magic_value const *MagicValue,
                                        kelvo_uint32 *HeaderSize, kelvo_bool32 *IsByteReversed,
                                        kelvo_bool32 *PointerSizeDiffers) {
    SetOutput(HeaderSize, 0u);
    SetOutput(IsByteReversed, 0);
    SetOutput(PointerSizeDiffers, 0);
    KELVO_CHECK_NOT_NULL(MagicValue, KelvoFileReadingLogMessage, 0);
    kelvo_int32 PointerSize;
    bool Little;
    if (!kelvo::IdentifyMagicValue(*MagicValue, PointerSize, Little, true)) {
        return 0;
    }
    bool Reversed = Little != kelvo::ThisPlatformIsLittleEndian;
    kelvo_uint32 Size = MagicValue->HeaderSize;
    if (Reversed) {
        kelvo::Reverse32((kelvo_int32)sizeof(Size), &Size);
    }
    SetOutput(HeaderSize, Size);
    SetOutput(IsByteReversed, Reversed);
    SetOutput(PointerSizeDiffers, PointerSize != kelvo::ThisPlatformPointerSizeInBits);
    return 1;
}

KELVO_API kelvo_section_header *KelvoGetKVNSectionArray(kelvo_file_header const *Header) {
    KELVO_CHECK_NOT_NULL(Header, KelvoFileReadingLogMessage, nullptr);
    kelvo_uint8 const *Bytes = reinterpret_cast<kelvo_uint8 const *>(Header);
    return const_cast<kelvo_section_header *>(
        reinterpret_cast<kelvo_section_header const *>(Bytes + Header->SectionArrayOffset));
}

KELVO_API char const *KelvoGetStandardSectionName(kelvo_int32 SectionIndex) {
    static char const *const Names[KelvoStandardSectionCount] = {
        "0 - StandardMainSection",
        "1 - StandardRigidVertexSection",
        "2 - StandardRigidIndexSection",
        "3 - StandardDeformableVertexSection",
        "4 - StandardDeformableIndexSection",
        "5 - StandardTextureSection",
        "6 - StandardDiscardableSection",
        "7 - StandardUnloadedSection"};
    if (SectionIndex < 0 || SectionIndex >= KelvoStandardSectionCount) {
        Log(KelvoErrorLogMessage, KelvoFileReadingLogMessage,
            "%s(%d): SectionIndex %d is out of range [0, %d)", KELVO_HERE, SectionIndex,
            (kelvo_int32)KelvoStandardSectionCount);
        return "(non-standard section)";
    }
    return Names[SectionIndex];
}

KELVO_API void KelvoReverseSection(kelvo_uint32 First16Bit, kelvo_uint32 First8Bit,
                                   kelvo_uint32 End, void *SectionData) {
    KELVO_TIMED_BLOCK("ReverseSection");
    kelvo_uint32 End32 = First16Bit < End ? First16Bit : End;
    kelvo_uint32 End16 = First8Bit < End ? First8Bit : End;
    if (End16 < End32) {
        End16 = End32;
    }
    if (End16 == 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(SectionData, KelvoFileReadingLogMessage, KELVO_NOTHING);
    kelvo_uint8 *Bytes = static_cast<kelvo_uint8 *>(SectionData);
    ReverseInPieces(&kelvo::Reverse32, Bytes, End32);
    ReverseInPieces(&kelvo::Reverse16, Bytes + End32, End16 - End32);
}

KELVO_API void KelvoKVNFixUp(kelvo_int32 FixupCount, kelvo_pointer_fixup const *Fixups,
                             void *const *Sections, void *SectionBase) {
    KELVO_TIMED_BLOCK("KVNFixUp");
    KELVO_CHECK(FixupCount >= 0, KelvoFileReadingLogMessage, KELVO_NOTHING);
    if (FixupCount == 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(Fixups, KelvoFileReadingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Sections, KelvoFileReadingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SectionBase, KelvoFileReadingLogMessage, KELVO_NOTHING);
    for (kelvo_int32 Index = 0; Index < FixupCount; ++Index) {
        WritePointer(SectionBytes(SectionBase, Fixups[Index].FromOffset),
                     KelvoDecodeKVNReference(Sections, &Fixups[Index].To));
    }
}

KELVO_API void KelvoKVNMarshall(kelvo_int32 FixupCount, kelvo_marshalling_fixup const *Fixups,
                                void *const *Sections, void *SectionBase) {
    KELVO_TIMED_BLOCK("KVNMarshall");
    KELVO_CHECK(FixupCount >= 0, KelvoFileReadingLogMessage, KELVO_NOTHING);
    if (FixupCount == 0) {
        return;
    }
    KELVO_CHECK_NOT_NULL(Fixups, KelvoFileReadingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(Sections, KelvoFileReadingLogMessage, KELVO_NOTHING);
    KELVO_CHECK_NOT_NULL(SectionBase, KelvoFileReadingLogMessage, KELVO_NOTHING);
    for (kelvo_int32 Index = 0; Index < FixupCount; ++Index) {
        kelvo_marshalling_fixup const &Fixup = Fixups[Index];
        auto const *Type = static_cast<kelvo_data_type_definition const *>(
            KelvoDecodeKVNReference(Sections, &Fixup.Type));
        KelvoReverseTypeArray(Type, (kelvo_int32)Fixup.Count,
                              SectionBytes(SectionBase, Fixup.Offset));
    }
}

KELVO_API void *KelvoDecodeKVNReference(void *const *Sections,
                                        kelvo_file_reference const *Reference) {
    KELVO_CHECK_NOT_NULL(Sections, KelvoFileReadingLogMessage, nullptr);
    KELVO_CHECK_NOT_NULL(Reference, KelvoFileReadingLogMessage, nullptr);
    void *Base = Sections[Reference->SectionIndex];
    return Base ? SectionBytes(Base, Reference->Offset) : nullptr;
}

KELVO_API kelvo_int32 KelvoGetCompressedBytesPaddingSize(kelvo_compression_type Format) {
    // The decoders read whole words past the last stored byte.
    return Format == KelvoFenwa0Compression || Format == KelvoFenwa1Compression ? 4 : 0;
}
