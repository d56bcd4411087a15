// Printing a loaded file's tree through its own stored definitions without
// trusting anything the file says: every object, array, string and
// definition is checked to lie inside the loaded sections before it is read.
#ifndef KV2_TREE_WALK_H
#define KV2_TREE_WALK_H

#include "kelvo2.h"

#include <stdio.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace kv2 {

// The address ranges of a file's loaded sections.
class section_memory {
  public:
    explicit section_memory(kelvo_file const *File);
    // Whether [Address, Address + Size) lies inside one loaded section.
    bool Holds(void const *Address, kelvo_uint64 Size) const;
    // Whether a zero-terminated string starts and ends inside one section.
    bool HoldsString(char const *Text) const;
    // Whether the definition's member records, their names and the types
    // they inline lie inside the sections, with known member types, so that
    // the library may measure it.
    bool HoldsDefinition(kelvo_data_type_definition const *Type) const;

  private:
    struct range {
        kelvo_uint8 const *Base;
        kelvo_uint64 Size;
    };
    std::vector<range> Ranges;
    mutable std::map<kelvo_data_type_definition const *, kelvo_int64> HeldDefinitions; // -> size

    range const *RangeOf(void const *Address) const;
    bool HoldsDefinitionAt(kelvo_data_type_definition const *Type, int Depth) const;
};

struct walk_options {
    FILE *Out = stdout;  // null walks without printing, as a check
    int MaxDepth = 60;   // levels printed below the root
    int MaxElements = 8; // array elements printed per array
};

// Prints the tree below Root. Objects reached again are printed once and
// then referred to by number. Returns false when something it reaches lies
// outside the sections or the tree is too large to walk; the rest is then
// left out.
class tree_walker {
  public:
    tree_walker(section_memory const &Memory, walk_options const &Options);
    bool Walk(kelvo_data_type_definition const *Type, void const *Root);
    // What was wrong, for the first fault met.
    char const *Fault() const { return FirstFault; }

  private:
    section_memory const &Memory;
    walk_options Options;
    std::map<std::pair<void const *, void const *>, int> Visited;
    kelvo_int64 Steps = 0;
    char const *FirstFault = nullptr;

    void Bad(char const *Why);
    void Line(int Indent, char const *Format, ...);
    bool Object(kelvo_data_type_definition const *Type, kelvo_uint8 const *Object, int Depth);
    void Member(kelvo_data_type_definition const &Member, kelvo_uint8 const *At, int Depth);
    void Reference(char const *Label, kelvo_data_type_definition const *Type, void const *Target,
                   int Depth);
    bool HasElements(char const *Name, kelvo_int32 Count, void const *First, char const *Noun,
                     int Depth);
    void Array(char const *Name, kelvo_data_type_definition const *Type, kelvo_int32 Count,
               void const *Elements, int Depth);
    void Strings(char const *Name, kelvo_int32 Count, kelvo_uint8 const *Slots, int Depth);
    // Count elements Stride bytes apart under labels "[i]", up to the printed
    // maximum; ThroughSlots when the array holds references to them.
    void EachElement(kelvo_data_type_definition const *Type, kelvo_int32 Count,
                     kelvo_uint8 const *First, kelvo_int64 Stride, bool ThroughSlots, int Depth);
    void References(char const *Name, kelvo_data_type_definition const *Type, kelvo_int32 Count,
                    void const *Slots, int Depth);
};

} // namespace kv2

#endif
