// The checked walk behind `kv2 dump`. The command lets the library check the
// tree first, but the printer does not lean on that: a hostile file may say
// anything in its definitions, counts, pointers and strings, and nothing here
// is read before the section it lies in has been found and its size checked.
#include "kv2_tree_walk.h"

#include <stdarg.h>
#include <string.h>

#include <string>

namespace kv2 {

namespace {

// The library's own bounds on definitions, so that the walk accepts every
// definition KelvoCheckFileDataTree accepts; hostile ones stop here.
constexpr int MaxDefinitionMembers = 1 << 20;
constexpr int MaxInlineNesting = 64;
// Nested objects and members visited in one walk, whatever --depth says.
constexpr int MaxWalkDepth = 64;
constexpr kelvo_int64 MaxSteps = 50 * 1000 * 1000;
constexpr int MaxPrintedWidth = 16;
constexpr int MaxPrintedString = 120;

template <typename Value> Value Read(kelvo_uint8 const *At) {
    Value Result;
    memcpy(&Result, At, sizeof(Result));
    return Result;
}

void const *ReadPointer(kelvo_uint8 const *At) {
    return Read<void const *>(At);
}

bool IsScalar(kelvo_member_type Type) {
    return Type >= KelvoReal32Member && Type <= KelvoUInt32Member;
}

// The one scalar member of an element type such as KelvoInt32Type, or null.
kelvo_data_type_definition const *SoleScalar(kelvo_data_type_definition const *Type) {
    if (IsScalar(Type[0].Type) && Type[1].Type == KelvoEndMember) {
        return Type;
    }
    return nullptr;
}

void Append(std::string &Text, char const *Format, ...) {
    char Buffer[64];
    va_list Arguments;
    va_start(Arguments, Format);
    vsnprintf(Buffer, sizeof(Buffer), Format, Arguments);
    va_end(Arguments);
    Text += Buffer;
}

bool IsSigned(kelvo_member_type Type) {
    return Type == KelvoInt8Member || Type == KelvoBinormalInt8Member || Type == KelvoInt16Member ||
           Type == KelvoBinormalInt16Member || Type == KelvoInt32Member;
}

// One scalar element of Unit bytes.
void AppendElement(std::string &Text, kelvo_member_type Type, kelvo_int32 Unit,
                   kelvo_uint8 const *At) {
    if (Type == KelvoReal32Member) {
        Append(Text, "%g", (double)Read<kelvo_real32>(At));
        return;
    }
    kelvo_uint32 Bits = Unit == 1   ? Read<kelvo_uint8>(At)
                        : Unit == 2 ? Read<kelvo_uint16>(At)
                                    : Read<kelvo_uint32>(At);
    if (IsSigned(Type)) {
        kelvo_int32 Shift = Unit == 1 || Unit == 2 ? 32 - 8 * Unit : 0;
        Append(Text, "%d", (int)((kelvo_int32)(Bits << Shift) >> Shift));
    } else {
        Append(Text, "%u", (unsigned)Bits);
    }
}

// "1.5", or "[1, 2, 3]" for a member of several elements.
std::string ScalarText(kelvo_data_type_definition const &Member, kelvo_uint8 const *At) {
    kelvo_int32 Width = KelvoGetMemberArrayWidth(&Member);
    kelvo_int32 Unit = KelvoGetMemberUnitSize(&Member);
    if (Width == 1) {
        std::string Text;
        AppendElement(Text, Member.Type, Unit, At);
        return Text;
    }
    std::string Text = "[";
    for (kelvo_int32 Index = 0; Index < Width && Index < MaxPrintedWidth; ++Index) {
        if (Index) {
            Text += ", ";
        }
        AppendElement(Text, Member.Type, Unit, At + Index * Unit);
    }
    if (Width > MaxPrintedWidth) {
        Append(Text, ", ... %d in all", Width);
    }
    return Text + "]";
}

std::string TransformText(kelvo_uint8 const *At) {
    kelvo_transform Transform = Read<kelvo_transform>(At);
    std::string Text;
    Append(Text, "flags 0x%x position (%g %g %g)", (unsigned)Transform.Flags,
           (double)Transform.Position[0], (double)Transform.Position[1],
           (double)Transform.Position[2]);
    Append(Text, " orientation (%g %g %g %g)", (double)Transform.Orientation[0],
           (double)Transform.Orientation[1], (double)Transform.Orientation[2],
           (double)Transform.Orientation[3]);
    Text += " scale/shear (";
    for (int Index = 0; Index < 9; ++Index) {
        Append(Text, Index ? " %g" : "%g", (double)Transform.ScaleShear[Index]);
    }
    return Text + ")";
}

std::string Quoted(char const *Value) {
    std::string Text = "\"";
    int Length = 0;
    for (; *Value && Length < MaxPrintedString; ++Value, ++Length) {
        unsigned char Character = (unsigned char)*Value;
        if (Character < 32 || Character >= 127 || Character == '"' || Character == '\\') {
            Append(Text, "\\x%02x", Character);
        } else {
            Text += (char)Character;
        }
    }
    return Text + (*Value ? "\"..." : "\"");
}

} // namespace

// ---- section memory ----------------------------------------------------------

section_memory::section_memory(kelvo_file const *File) {
    if (!File || !File->Header) {
        return;
    }
    kelvo_section_header const *Headers = KelvoGetKVNSectionArray(File->Header);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        if (File->Sections[Index]) {
            Ranges.push_back({static_cast<kelvo_uint8 const *>(File->Sections[Index]),
                              Headers[Index].ExpandedDataSize});
        }
    }
}

section_memory::range const *section_memory::RangeOf(void const *Address) const {
    kelvo_uintaddrx At = (kelvo_uintaddrx)Address;
    for (range const &Range : Ranges) {
        kelvo_uintaddrx Base = (kelvo_uintaddrx)Range.Base;
        if (At >= Base && At - Base < Range.Size) {
            return &Range;
        }
    }
    return nullptr;
}

bool section_memory::Holds(void const *Address, kelvo_uint64 Size) const {
    // As the library's check holds it: an empty object may sit at the very
    // end of a section, as it reads nothing there.
    kelvo_uintaddrx At = (kelvo_uintaddrx)Address;
    for (range const &Range : Ranges) {
        kelvo_uintaddrx Base = (kelvo_uintaddrx)Range.Base;
        if (At >= Base && At - Base <= Range.Size && Size <= Range.Size - (At - Base)) {
            return true;
        }
    }
    return false;
}

bool section_memory::HoldsString(char const *Text) const {
    range const *Range = RangeOf(Text);
    if (!Range) {
        return false;
    }
    kelvo_uint64 Left = Range->Size - ((kelvo_uintaddrx)Text - (kelvo_uintaddrx)Range->Base);
    return memchr(Text, 0, (size_t)Left) != nullptr;
}

bool section_memory::HoldsDefinition(kelvo_data_type_definition const *Type) const {
    return HoldsDefinitionAt(Type, 0);
}

bool section_memory::HoldsDefinitionAt(kelvo_data_type_definition const *Type, int Depth) const {
    // Member records are read in place, so they must be aligned as records.
    if (!Type || Depth > MaxInlineNesting ||
        (kelvo_uintaddrx)Type % alignof(kelvo_data_type_definition)) {
        return false;
    }
    if (HeldDefinitions.count(Type)) {
        return true;
    }
    kelvo_data_type_definition const *Start = Type;
    // Measured here in 64 bits: the library's measures give 0 both for an
    // empty inline type and for one too large to measure, and only the
    // second would let the walk read past its object.
    kelvo_int64 Size = 0;
    for (int Count = 0;; ++Count, ++Type) {
        if (Count > MaxDefinitionMembers || !Holds(Type, sizeof(*Type))) {
            return false;
        }
        kelvo_data_type_definition const Member = *Type;
        if (Member.Type == KelvoEndMember) {
            break;
        }
        if (Member.Type < 0 || Member.Type >= KelvoOnePastLastMemberType || Member.ArrayWidth < 0 ||
            (Member.Name && !HoldsString(Member.Name))) {
            return false;
        }
        if (Member.Type == KelvoInlineMember) {
            // Copied out: the packed field is misaligned for a reference.
            kelvo_data_type_definition const *Inner = Member.ReferenceType;
            if (!HoldsDefinitionAt(Inner, Depth + 1)) {
                return false;
            }
            Size += HeldDefinitions[Inner];
        } else {
            Size += (kelvo_int64)KelvoGetMemberUnitSize(Type) *
                    (Member.ArrayWidth ? Member.ArrayWidth : 1);
        }
        if (Size > 0x7fffffff) {
            return false;
        }
    }
    HeldDefinitions[Start] = Size;
    return true;
}

// ---- the walk ---------------------------------------------------------------------

tree_walker::tree_walker(section_memory const &Memory, walk_options const &Options)
    : Memory(Memory), Options(Options) {}

void tree_walker::Bad(char const *Why) {
    if (!FirstFault) {
        FirstFault = Why;
    }
}

void tree_walker::Line(int Indent, char const *Format, ...) {
    if (!Options.Out) {
        return;
    }
    fprintf(Options.Out, "%*s", 2 * Indent, "");
    va_list Arguments;
    va_start(Arguments, Format);
    vfprintf(Options.Out, Format, Arguments);
    va_end(Arguments);
    fputc('\n', Options.Out);
}

bool tree_walker::Walk(kelvo_data_type_definition const *Type, void const *Root) {
    if (!Type || !Root) {
        Bad("the file has no root");
        return false;
    }
    Reference("root", Type, Root, 0);
    return FirstFault == nullptr;
}

// Prints "Label: #n" and the object's members below it, or refers back to
// the object when it was printed before.
void tree_walker::Reference(char const *Label, kelvo_data_type_definition const *Type,
                            void const *Target, int Depth) {
    if (!Target) {
        Line(Depth, "%s: null", Label);
        return;
    }
    if (!Type) {
        Line(Depth, "%s: (no type)", Label);
        return;
    }
    if (!Memory.HoldsDefinition(Type)) {
        Line(Depth, "%s: (definition outside the loaded sections)", Label);
        return Bad("a definition lies outside the loaded sections");
    }
    kelvo_int32 Size = KelvoGetTotalObjectSize(Type);
    if (!Memory.Holds(Target, (kelvo_uint64)Size)) {
        Line(Depth, "%s: (object outside the loaded sections)", Label);
        return Bad("an object lies outside the loaded sections");
    }
    auto Found = Visited.find({Target, Type});
    if (Found != Visited.end()) {
        Line(Depth, "%s: -> #%d", Label, Found->second);
        return;
    }
    if (Depth > Options.MaxDepth || Depth >= MaxWalkDepth) {
        Line(Depth, "%s: ...", Label);
        return;
    }
    int Number = (int)Visited.size() + 1;
    Visited[{Target, Type}] = Number;
    Line(Depth, "%s: #%d", Label, Number);
    Object(Type, static_cast<kelvo_uint8 const *>(Target), Depth + 1);
}

bool tree_walker::Object(kelvo_data_type_definition const *Type, kelvo_uint8 const *Object,
                         int Depth) {
    kelvo_int32 Offset = 0;
    for (; Type->Type != KelvoEndMember && !FirstFault; ++Type) {
        if (++Steps > MaxSteps) {
            Bad("the tree is too large to walk");
            return false;
        }
        Member(*Type, Object + Offset, Depth);
        Offset += KelvoGetMemberTypeSize(Type);
    }
    return !FirstFault;
}

void tree_walker::Member(kelvo_data_type_definition const &Member, kelvo_uint8 const *At,
                         int Depth) {
    char const *Name = Member.Name ? Member.Name : "(unnamed)";
    kelvo_int32 Pointer = (kelvo_int32)sizeof(void *);
    switch (Member.Type) {
    case KelvoInlineMember:
        if (Depth >= MaxWalkDepth) {
            Line(Depth, "%s: ...", Name); // as deep as the printing goes
            return;
        }
        Line(Depth, "%s:", Name);
        Object(Member.ReferenceType, At, Depth + 1);
        return;
    case KelvoReferenceMember:
        return Reference(Name, Member.ReferenceType, ReadPointer(At), Depth);
    case KelvoReferenceToArrayMember:
        return Array(Name, Member.ReferenceType, Read<kelvo_int32>(At), ReadPointer(At + 4), Depth);
    case KelvoArrayOfReferencesMember:
        return References(Name, Member.ReferenceType, Read<kelvo_int32>(At), ReadPointer(At + 4),
                          Depth);
    case KelvoVariantReferenceMember: {
        auto const *Type = static_cast<kelvo_data_type_definition const *>(ReadPointer(At));
        if (!Type) {
            Line(Depth, "%s: null", Name);
            return;
        }
        return Reference(Name, Type, ReadPointer(At + Pointer), Depth);
    }
    case KelvoReferenceToVariantArrayMember: {
        auto const *Type = static_cast<kelvo_data_type_definition const *>(ReadPointer(At));
        kelvo_int32 Count = Read<kelvo_int32>(At + Pointer);
        if (!Type) {
            Line(Depth, "%s: %d elements of no type", Name, Count);
            return;
        }
        return Array(Name, Type, Count, ReadPointer(At + Pointer + 4), Depth);
    }
    case KelvoStringMember: {
        auto const *Text = static_cast<char const *>(ReadPointer(At));
        if (!Text) {
            Line(Depth, "%s: null", Name);
        } else if (!Memory.HoldsString(Text)) {
            Line(Depth, "%s: (string outside the loaded sections)", Name);
            Bad("a string lies outside the loaded sections");
        } else {
            Line(Depth, "%s: %s", Name, Quoted(Text).c_str());
        }
        return;
    }
    case KelvoTransformMember:
        Line(Depth, "%s: %s", Name, TransformText(At).c_str());
        return;
    case KelvoRetiredSwitchableMember:
        Line(Depth, "%s: (retired member type)", Name);
        return;
    default:
        Line(Depth, "%s: %s", Name, ScalarText(Member, At).c_str());
        return;
    }
}

// Whether an array has elements to walk; says why not, and a negative
// count is a fault.
bool tree_walker::HasElements(char const *Name, kelvo_int32 Count, void const *First,
                              char const *Noun, int Depth) {
    if (Count < 0) {
        Line(Depth, "%s: (negative count %d)", Name, Count);
        Bad("an array has a negative count");
        return false;
    }
    if (Count == 0 || !First) {
        Line(Depth, Count ? "%s: %d %s, null" : "%s: empty", Name, Count, Noun);
        return false;
    }
    return true;
}

void tree_walker::Array(char const *Name, kelvo_data_type_definition const *Type, kelvo_int32 Count,
                        void const *Elements, int Depth) {
    if (!HasElements(Name, Count, Elements, "elements", Depth)) {
        return;
    }
    if (!Type || !Memory.HoldsDefinition(Type)) {
        Line(Depth, "%s: (element definition missing or outside the loaded sections)", Name);
        return Bad("an element definition is missing or outside the loaded sections");
    }
    kelvo_int32 Size = KelvoGetTotalObjectSize(Type);
    auto const *First = static_cast<kelvo_uint8 const *>(Elements);
    if (!Memory.Holds(First, (kelvo_uint64)Count * (kelvo_uint64)Size)) {
        Line(Depth, "%s: %d elements (outside the loaded sections)", Name, Count);
        return Bad("an array reaches outside the loaded sections");
    }
    if (kelvo_data_type_definition const *Scalar = SoleScalar(Type)) {
        std::string Text;
        for (kelvo_int32 Index = 0; Index < Count && Index < Options.MaxElements; ++Index) {
            Text += Index ? ", " : "";
            Text += ScalarText(*Scalar, First + Index * Size);
        }
        Line(Depth, "%s: %d element%s [%s%s]", Name, Count, Count == 1 ? "" : "s", Text.c_str(),
             Count > Options.MaxElements ? ", ..." : "");
        return;
    }
    if (Type[0].Type == KelvoStringMember && Type[1].Type == KelvoEndMember) {
        return Strings(Name, Count, First, Depth);
    }
    Line(Depth, "%s: %d element%s", Name, Count, Count == 1 ? "" : "s");
    EachElement(Type, Count, First, Size, false, Depth);
}

void tree_walker::EachElement(kelvo_data_type_definition const *Type, kelvo_int32 Count,
                              kelvo_uint8 const *First, kelvo_int64 Stride, bool ThroughSlots,
                              int Depth) {
    for (kelvo_int32 Index = 0; Index < Count && !FirstFault; ++Index) {
        if (Index == Options.MaxElements) {
            Line(Depth + 1, "... %d more", Count - Index);
            break;
        }
        char Label[16];
        snprintf(Label, sizeof(Label), "[%d]", (int)Index);
        kelvo_uint8 const *At = First + Index * Stride;
        Reference(Label, Type, ThroughSlots ? ReadPointer(At) : At, Depth + 1);
    }
}

// An array of strings on one line; every string is checked.
void tree_walker::Strings(char const *Name, kelvo_int32 Count, kelvo_uint8 const *Slots,
                          int Depth) {
    std::string Text;
    for (kelvo_int32 Index = 0; Index < Count; ++Index) {
        auto const *Value = static_cast<char const *>(ReadPointer(Slots + Index * sizeof(void *)));
        if (Value && !Memory.HoldsString(Value)) {
            Line(Depth, "%s: %d strings (one outside the loaded sections)", Name, Count);
            return Bad("a string lies outside the loaded sections");
        }
        if (Index < Options.MaxElements) {
            Text += Index ? ", " : "";
            Text += Value ? Quoted(Value) : std::string("null");
        }
    }
    Line(Depth, "%s: %d string%s [%s%s]", Name, Count, Count == 1 ? "" : "s", Text.c_str(),
         Count > Options.MaxElements ? ", ..." : "");
}

void tree_walker::References(char const *Name, kelvo_data_type_definition const *Type,
                             kelvo_int32 Count, void const *Slots, int Depth) {
    if (!HasElements(Name, Count, Slots, "references", Depth)) {
        return;
    }
    auto const *Slot = static_cast<kelvo_uint8 const *>(Slots);
    if (!Memory.Holds(Slot, (kelvo_uint64)Count * sizeof(void *))) {
        Line(Depth, "%s: %d references (outside the loaded sections)", Name, Count);
        return Bad("an array of references reaches outside the loaded sections");
    }
    Line(Depth, "%s: %d reference%s", Name, Count, Count == 1 ? "" : "s");
    EachElement(Type, Count, Slot, sizeof(void *), true, Depth);
}

} // namespace kv2
