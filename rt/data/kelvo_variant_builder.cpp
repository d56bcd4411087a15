// The variant builder: members added one by one into a list of nodes, each
// a member record followed by a copy of its value bytes in one block, then
// laid out as a definition and an object that match byte for byte.
//
// Names and string values are interned in the caller's string table, so the
// definition's pointers live as long as that table. Sizes are kept below
// int32 so that the measures stay exact.
#include "kelvo2/kelvo2_variant_builder.h"

#include "data/kelvo_data_type_iterator.h"
#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"

#include <string.h>

namespace {

constexpr kelvo_log_message_origin Origin = KelvoDataTypeLogMessage;
constexpr kelvo_int64 MaxSize = 0x7fffffff;

struct variant_node {
    variant_node *Next;
    kelvo_data_type_definition Member;
    kelvo_int32 ValueSize;
    // The value bytes follow.
    kelvo_uint8 *Value() { return reinterpret_cast<kelvo_uint8 *>(this + 1); }
};

kelvo_int64 TypeSizeOf(kelvo_int64 MemberCount) {
    return MemberCount * (kelvo_int64)sizeof(kelvo_data_type_definition);
}

} // namespace

struct kelvo_variant_builder {
    kelvo_string_table *Strings;
    kelvo_int32 MemberCount; // the terminator included
    kelvo_int32 ObjectSize;
    variant_node *First;
    variant_node *Last;
};

namespace {

// Appends a member of Type whose value is Size bytes; the caller writes
// them. Null, with the builder unchanged, when a name cannot be interned,
// a size would overflow or the node cannot be allocated.
variant_node *AddMember(kelvo_variant_builder *Builder, char const *Name, kelvo_member_type Type,
                        kelvo_data_type_definition const *ReferenceType, kelvo_int32 ArrayWidth) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(Name, Origin, nullptr);
    kelvo_data_type_definition Member = {};
    Member.Type = Type;
    Member.ReferenceType = ReferenceType;
    Member.ArrayWidth = ArrayWidth;
    kelvo_int32 Size = KelvoGetMemberTypeSize(&Member);
    KELVO_CHECK(Size > 0 && Builder->ObjectSize + (kelvo_int64)Size <= MaxSize &&
                    TypeSizeOf(Builder->MemberCount + (kelvo_int64)1) <= MaxSize,
                Origin, nullptr);
    Member.Name = KelvoMapString(Builder->Strings, Name);
    if (!Member.Name) {
        return nullptr;
    }
    auto *Node = static_cast<variant_node *>(
        KELVO_ALLOCATE_SIZE((kelvo_int32)sizeof(variant_node) + Size));
    if (!Node) {
        return nullptr;
    }
    Node->Next = nullptr;
    Node->Member = Member;
    Node->ValueSize = Size;
    (Builder->Last ? Builder->Last->Next : Builder->First) = Node;
    Builder->Last = Node;
    ++Builder->MemberCount;
    Builder->ObjectSize += Size;
    return Node;
}

template <typename value>
kelvo_data_type_definition *AddPlain(kelvo_variant_builder *Builder, char const *Name,
                                     kelvo_member_type Type, value Value) {
    variant_node *Node = AddMember(Builder, Name, Type, nullptr, 0);
    if (!Node) {
        return nullptr;
    }
    memcpy(Node->Value(), &Value, sizeof(Value));
    return &Node->Member;
}

kelvo_data_type_definition *AddPointer(kelvo_variant_builder *Builder, char const *Name,
                                       kelvo_member_type Type,
                                       kelvo_data_type_definition const *ReferenceType,
                                       void const *Pointer) {
    variant_node *Node = AddMember(Builder, Name, Type, ReferenceType, 0);
    if (!Node) {
        return nullptr;
    }
    kelvo::StorePointer(Node->Value(), Pointer);
    return &Node->Member;
}

void FreeBuilder(kelvo_variant_builder *Builder) {
    KELVO_DEALLOCATE_CHAIN(Builder->First);
    KELVO_DEALLOCATE(Builder);
}

} // namespace

kelvo_variant_builder *KelvoBeginVariant(kelvo_string_table *StringTable) {
    KELVO_CHECK_NOT_NULL(StringTable, Origin, nullptr);
    kelvo_variant_builder *Builder = KELVO_ALLOCATE(kelvo_variant_builder);
    if (Builder) {
        *Builder = {StringTable, 1, 0, nullptr, nullptr};
    }
    return Builder;
}

kelvo_data_type_definition *KelvoAddIntegerMember(kelvo_variant_builder *Builder, char const *Name,
                                                  kelvo_int32 Value) {
    return AddPlain(Builder, Name, KelvoInt32Member, Value);
}

kelvo_data_type_definition *KelvoAddBoolMember(kelvo_variant_builder *Builder, char const *Name,
                                               kelvo_bool32 Value) {
    return KelvoAddIntegerMember(Builder, Name, Value);
}

kelvo_data_type_definition *KelvoAddUnsignedIntegerMember(kelvo_variant_builder *Builder,
                                                          char const *Name, kelvo_uint32 Value) {
    return AddPlain(Builder, Name, KelvoUInt32Member, Value);
}

kelvo_data_type_definition *KelvoAddScalarMember(kelvo_variant_builder *Builder, char const *Name,
                                                 kelvo_real32 Value) {
    return AddPlain(Builder, Name, KelvoReal32Member, Value);
}

kelvo_data_type_definition *KelvoAddScalarArrayMember(kelvo_variant_builder *Builder,
                                                      char const *Name, kelvo_int32 Width,
                                                      kelvo_real32 const *Values) {
    KELVO_CHECK(Width >= 1, Origin, nullptr);
    KELVO_CHECK_NOT_NULL(Values, Origin, nullptr);
    variant_node *Node = AddMember(Builder, Name, KelvoReal32Member, nullptr, Width);
    if (!Node) {
        return nullptr;
    }
    memcpy(Node->Value(), Values, (size_t)Node->ValueSize);
    return &Node->Member;
}

kelvo_data_type_definition *KelvoAddStringMember(kelvo_variant_builder *Builder, char const *Name,
                                                 char const *Value) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, nullptr);
    char const *Interned = Value ? KelvoMapString(Builder->Strings, Value) : nullptr;
    if (Value && !Interned) {
        return nullptr;
    }
    return AddPointer(Builder, Name, KelvoStringMember, nullptr, Interned);
}

kelvo_data_type_definition *KelvoAddReferenceMember(kelvo_variant_builder *Builder,
                                                    char const *Name,
                                                    kelvo_data_type_definition const *Type,
                                                    void *Object) {
    return AddPointer(Builder, Name, KelvoReferenceMember, Type, Object);
}

kelvo_data_type_definition *KelvoAddDynamicArrayMember(kelvo_variant_builder *Builder,
                                                       char const *Name, kelvo_int32 Count,
                                                       kelvo_data_type_definition const *ElementType,
                                                       void *Array) {
    KELVO_CHECK(Count >= 0 && (Count == 0 || Array), Origin, nullptr);
    variant_node *Node = AddMember(Builder, Name, KelvoReferenceToArrayMember, ElementType, 0);
    if (!Node) {
        return nullptr;
    }
    memcpy(Node->Value(), &Count, 4);
    kelvo::StorePointer(Node->Value() + 4, Array);
    return &Node->Member;
}

kelvo_int32 KelvoGetResultingVariantTypeSize(kelvo_variant_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return (kelvo_int32)TypeSizeOf(Builder->MemberCount);
}

kelvo_int32 KelvoGetResultingVariantObjectSize(kelvo_variant_builder const *Builder) {
    KELVO_CHECK_NOT_NULL(Builder, Origin, 0);
    return Builder->ObjectSize ? Builder->ObjectSize : 4;
}

kelvo_bool32 KelvoEndVariantInPlace(kelvo_variant_builder *Builder, void *TypeMemory,
                                    kelvo_data_type_definition **ResultType, void *ObjectMemory,
                                    void **ResultObject) {
    if (ResultType) {
        *ResultType = nullptr;
    }
    if (ResultObject) {
        *ResultObject = nullptr;
    }
    if (!Builder) {
        return false;
    }
    if (TypeMemory) {
        auto *Members = static_cast<kelvo_data_type_definition *>(TypeMemory);
        kelvo_int32 Index = 0;
        for (variant_node *Node = Builder->First; Node; Node = Node->Next) {
            memcpy(&Members[Index++], &Node->Member, sizeof(kelvo_data_type_definition));
        }
        // The whole terminator is zeroed so that written files carry no stray bytes.
        memset(&Members[Index], 0, sizeof(kelvo_data_type_definition));
        if (ResultType) {
            *ResultType = Members;
        }
    }
    if (ObjectMemory) {
        kelvo_uint8 *At = static_cast<kelvo_uint8 *>(ObjectMemory);
        for (variant_node *Node = Builder->First; Node; Node = Node->Next) {
            memcpy(At, Node->Value(), (size_t)Node->ValueSize);
            At += Node->ValueSize;
        }
        if (Builder->ObjectSize == 0) {
            memset(ObjectMemory, 0, 4);
        }
        if (ResultObject) {
            *ResultObject = ObjectMemory;
        }
    }
    FreeBuilder(Builder);
    return TypeMemory && ObjectMemory && ResultType && ResultObject;
}

kelvo_bool32 KelvoEndVariant(kelvo_variant_builder *Builder,
                             kelvo_data_type_definition **ResultType, void **ResultObject) {
    if (ResultType) {
        *ResultType = nullptr;
    }
    if (ResultObject) {
        *ResultObject = nullptr;
    }
    if (!Builder) {
        return false;
    }
    if (!ResultType || !ResultObject) {
        // Nobody would hold the block.
        FreeBuilder(Builder);
        KELVO_CHECK(ResultType && ResultObject, Origin, false);
    }
    kelvo::aggr_allocator Allocator;
    kelvo::AggrInit(Allocator);
    kelvo_data_type_definition *Type = nullptr;
    void *Object = nullptr;
    kelvo::AggrAllocPtr(Allocator, &Type, KelvoGetResultingVariantTypeSize(Builder));
    kelvo::AggrAllocPtr(Allocator, &Object, KelvoGetResultingVariantObjectSize(Builder));
    if (!kelvo::EndAggrAlloc(Allocator, KELVO_HERE)) {
        FreeBuilder(Builder);
        return false;
    }
    return KelvoEndVariantInPlace(Builder, Type, ResultType, Object, ResultObject);
}
