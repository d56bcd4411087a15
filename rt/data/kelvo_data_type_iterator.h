// The member iterator every pointer pass uses (conversion, rebasing, the
// tree check and the data tree writer), the word accessors for objects whose
// pointers sit at 4-byte alignment, and the work stack of the tree walks.
#ifndef KELVO_DATA_TYPE_ITERATOR_INTERNAL_H
#define KELVO_DATA_TYPE_ITERATOR_INTERNAL_H

#include "data/kelvo_data_type.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace kelvo {

// Objects are packed to 4 bytes, so a pointer inside one may be misaligned
// for its type in 64-bit builds: words are moved bytewise.
inline void *LoadPointer(void const *Word) {
    void *Value;
    memcpy(&Value, Word, sizeof(Value));
    return Value;
}
inline void StorePointer(void *Word, void const *Value) {
    memcpy(Word, &Value, sizeof(Value));
}
inline kelvo_int32 LoadInt32(void const *Word) {
    kelvo_int32 Value;
    memcpy(&Value, Word, sizeof(Value));
    return Value;
}
inline void StoreInt32(void *Word, kelvo_int32 Value) {
    memcpy(Word, &Value, sizeof(Value));
}

// One element of a pointer-bearing member, found inside an object. The words
// are at Address + the offsets, laid out for the iterator's pointer size; an
// offset is -1 where the member type has no such word:
//   ReferenceMember, StringMember     pointer
//   ReferenceToArrayMember,
//   ArrayOfReferencesMember           count, pointer
//   VariantReferenceMember            type, pointer (the object)
//   ReferenceToVariantArrayMember     type, count, pointer (the array)
struct pointer_slot {
    kelvo_data_type_definition const *Member; // never an InlineMember
    kelvo_int32 Element;                      // index within the member's ArrayWidth
    kelvo_int32 Offset;                       // of the element in the object
    kelvo_uint8 *Address;                     // null when iterating without an object
    kelvo_int32 TypeOffset;
    kelvo_int32 CountOffset;
    kelvo_int32 PointerOffset;
};

// The pointer-bearing members of one object, in layout order, with inline
// members entered in place. A member of width N yields N slots. Objects may
// be laid out for either pointer size (the slots' words are then that wide),
// so the platform converter can walk objects of the other size.
//
// The definition is checked as it is walked: a member type outside the
// table, a negative width, a reference member without a ReferenceType, inline
// members nested deeper than MaxTypeNesting or more than MaxTypeSteps members
// are reported once, end the walk and set Failed.
class member_iterator {
  public:
    member_iterator(kelvo_data_type_definition const *Type, void *Object,
                    kelvo_int32 PointerSizeInBits = NativePointerSizeInBits);

    // The next slot; false at the end of the object or after a fault.
    bool Next(pointer_slot &Slot);
    bool Failed() const { return HasFailed; }
    // Only the first slot of each member: enough to check a definition,
    // whose array widths may run to millions.
    void FirstElementsOnly() { EveryElement = false; }

  private:
    struct level {
        kelvo_data_type_definition const *Member;
        kelvo_int64 Offset;
    };
    bool Fail();

    level Levels[MaxTypeNesting];
    kelvo_uint8 *Base;
    kelvo_int32 Depth;
    kelvo_int32 Element = 0; // of the current member, while its slots are handed out
    kelvo_int32 Steps = 0;
    kelvo_int32 PointerSizeInBits;
    bool HasFailed = false;
    bool EveryElement = true;
};

// Walks the definition without an object: true when the member iterator
// accepts it (faults are reported).
bool CheckDefinition(kelvo_data_type_definition const *Type);

// One object a slot leads to, in this build's layout. Word is where the
// pointer to it is stored, for the slots whose objects have one of their own
// (the reference, the variant's object word, an entry of a slot array); null
// for array elements.
struct sub_object {
    kelvo_data_type_definition const *Type;
    kelvo_uint8 *Object;
    kelvo_uint8 *Word;
};

// A cursor over the objects one slot leads to: the object of a ReferenceMember
// or VariantReferenceMember, every element of a ReferenceToArrayMember or
// ReferenceToVariantArrayMember, every non-null entry of an
// ArrayOfReferencesMember. Null pointers, zero counts, variants without a
// definition and elements of empty types yield nothing.
struct sub_object_cursor {
    kelvo_data_type_definition const *Type;
    kelvo_uint8 *At;       // the next element or slot-array entry
    kelvo_int32 Remaining; // elements or entries left
    kelvo_int32 Stride;
    bool Entries; // At walks pointer words: a reference, a variant's, a slot array
    bool Failed;

    bool Next(sub_object &Object);
};

// Starts a cursor at a slot of this build's layout. A slot that leads to no
// objects (a string) is reported as "Illegal iterator type (%d) in
// IterateOverSubMembers"; a negative count is reported too. Both give an empty
// cursor with Failed set, and false.
bool IterateOverSubMembers(pointer_slot const &Slot, sub_object_cursor &Cursor);

// The explicit stack of the tree walkers, so that deep trees cost memory, not
// native stack. Items are plain records; a failed growth is reported and
// the push refused.
template <typename item> class work_stack : no_copy {
  public:
    ~work_stack() {
        if (Items) {
            KELVO_DEALLOCATE(Items);
        }
    }

    bool Push(item const &Item) {
        if (Count == Capacity &&
            !GrowArray(KelvoDataTypeLogMessage, "item", 64, Count, Capacity, Items)) {
            return false;
        }
        Items[Count++] = Item;
        return true;
    }
    bool Pop(item &Item) {
        if (Count == 0) {
            return false;
        }
        Item = Items[--Count];
        return true;
    }
    kelvo_int32 Size() const { return Count; }
    item const &operator[](kelvo_int32 Index) const { return Items[Index]; }
    item &operator[](kelvo_int32 Index) { return Items[Index]; }
    // For the standard algorithms: an empty stack has no first item to index.
    item *begin() { return Items; }
    item *end() { return Items + Count; }
    void Clear() { Count = 0; }

  private:
    item *Items = nullptr;
    kelvo_int32 Count = 0;
    kelvo_int32 Capacity = 0;
};

} // namespace kelvo

#endif
