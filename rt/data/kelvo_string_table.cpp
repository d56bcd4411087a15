// The string table: one copy of each distinct string, so that equal strings
// share an address. The copies live in a chain of blocks filled one after the
// other; the balanced tree, keyed by the copies, finds a string mapped before.
#include "kelvo2/kelvo2_pointer_hash.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "foundation/kelvo_string.h"
#include "kelvo_balanced_tree.h"

namespace kelvo {
namespace {

// One allocation: this header, then the bytes from Base to End.
struct string_block {
    char *Base;
    char *Cursor; // where the next copy goes
    char *End;
    string_block *Next;
};

constexpr kelvo_int32 DefaultStringBlockSize = 4000;

// Case-sensitive, a null string first.
struct string_order {
    int operator()(void const *A, void const *B) const {
        return KelvoStringDifference(static_cast<char const *>(A), static_cast<char const *>(B));
    }
};

void ReportOutOfSpace() {
    Log(KelvoErrorLogMessage, KelvoStringTableLogMessage, "%s(%d): Out of space in string table",
        KELVO_HERE);
}

string_block *NewStringBlock(kelvo_int64 Size) {
    kelvo_int64 Total = (kelvo_int64)sizeof(string_block) + Size;
    string_block *Block = Total <= INT32_MAX
                              ? static_cast<string_block *>(KELVO_ALLOCATE_SIZE((kelvo_int32)Total))
                              : nullptr;
    if (!Block) {
        ReportOutOfSpace();
        return nullptr;
    }
    Block->Base = Block->Cursor = reinterpret_cast<char *>(Block + 1);
    Block->End = Block->Base + Size;
    Block->Next = nullptr;
    return Block;
}

} // namespace
} // namespace kelvo

struct kelvo_string_table {
    kelvo::kelvo_balanced_tree Tree;
    kelvo_int32 BlockSize;
    // The block being filled; older blocks and those of oversized strings
    // follow it.
    kelvo::string_block *Current;
};

namespace kelvo {
namespace {

// The block to copy Size bytes into, or null (reported).
string_block *BlockWithRoomFor(kelvo_string_table *Table, kelvo_int64 Size) {
    if (Size > Table->BlockSize) {
        // Its own block, linked behind the current one, which keeps being filled.
        string_block *Block = NewStringBlock(Size);
        if (!Block) {
            return nullptr;
        }
        if (Table->Current) {
            Block->Next = Table->Current->Next;
            Table->Current->Next = Block;
        } else {
            Table->Current = Block;
        }
        return Block;
    }
    if (Table->Current) {
        kelvo_int64 WideSpaceLeft = Table->Current->End - Table->Current->Cursor;
        if (WideSpaceLeft > INT32_MAX) {
            Log(KelvoErrorLogMessage, KelvoStringTableLogMessage,
                "%s(%d): WideSpaceLeft %I64d is out of range for an int32 SpaceLeft", KELVO_HERE,
                WideSpaceLeft);
            return nullptr;
        }
        if ((kelvo_int32)WideSpaceLeft >= Size) {
            return Table->Current;
        }
    }
    string_block *Block = NewStringBlock(Table->BlockSize);
    if (!Block) {
        return nullptr;
    }
    Block->Next = Table->Current;
    Table->Current = Block;
    return Block;
}

} // namespace
} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_string_table *KelvoNewStringTable(void) {
    kelvo_string_table *Table = NewTreeOwner<kelvo_string_table>();
    if (!Table) {
        return nullptr;
    }
    Table->BlockSize = DefaultStringBlockSize;
    Table->Current = nullptr;
    return Table;
}

KELVO_API void KelvoFreeStringTable(kelvo_string_table *Table) {
    if (!Table) {
        return;
    }
    KELVO_DEALLOCATE_CHAIN(Table->Current);
    FreeBalancedTree(Table->Tree);
    KELVO_DEALLOCATE(Table);
}

KELVO_API char const *KelvoMapString(kelvo_string_table *Table, char const *String) {
    KELVO_CHECK_NOT_NULL(Table, KelvoStringTableLogMessage, nullptr);
    if (!String) {
        return nullptr;
    }
    if (kelvo_balanced_tree_node *Node =
            FindBalancedTreeNode(Table->Tree, String, string_order())) {
        return static_cast<char const *>(Node->Key);
    }
    // The node first: a copy is never stored without a node to find it by.
    if (!ReserveBalancedTreeNode(Table->Tree)) {
        ReportOutOfSpace();
        return nullptr;
    }
    kelvo_int64 Size = (kelvo_int64)StringLength(String) + 1;
    string_block *Block = BlockWithRoomFor(Table, Size);
    if (!Block) {
        return nullptr;
    }
    char *Copy = Block->Cursor;
    CopyStringCount(Copy, String);
    Block->Cursor += Size;
    InsertBalancedTreeNode(Table->Tree, Copy, nullptr, string_order());
    return Copy;
}
