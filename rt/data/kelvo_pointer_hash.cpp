// The pointer hash: object addresses to caller data, kept in a balanced tree
// ordered by address. The tree walkers use it to visit each object once and to
// remember what they made for it.
#include "kelvo2/kelvo2_pointer_hash.h"

#include "foundation/kelvo_log.h"
#include "foundation/kelvo_memory.h"
#include "kelvo_balanced_tree.h"

struct kelvo_pointer_hash {
    kelvo::kelvo_balanced_tree Tree;
};

namespace kelvo {
namespace {

// Addresses compare as unsigned integers. A difference of addresses would
// wrap for keys more than half the address space apart and lose them.
struct address_order {
    int operator()(void const *A, void const *B) const {
        kelvo_uintaddrx AddressA = reinterpret_cast<kelvo_uintaddrx>(A);
        kelvo_uintaddrx AddressB = reinterpret_cast<kelvo_uintaddrx>(B);
        return (AddressA > AddressB) - (AddressA < AddressB);
    }
};

kelvo_balanced_tree_node *FindKey(kelvo_pointer_hash const *Hash, void const *Key) {
    return FindBalancedTreeNode(Hash->Tree, Key, address_order());
}

bool Add(kelvo_pointer_hash *Hash, void const *Key, void *Data) {
    if (!InsertBalancedTreeNode(Hash->Tree, Key, Data, address_order())) {
        Log(KelvoErrorLogMessage, KelvoHashLogMessage, "%s(%d): Out of space in pointer hash table",
            KELVO_HERE);
        return false;
    }
    return true;
}

} // namespace
} // namespace kelvo

using namespace kelvo;

KELVO_API kelvo_pointer_hash *KelvoNewPointerHash(void) {
    return NewTreeOwner<kelvo_pointer_hash>();
}

KELVO_API void KelvoDeletePointerHash(kelvo_pointer_hash *Hash) {
    if (Hash) {
        FreeBalancedTree(Hash->Tree);
        KELVO_DEALLOCATE(Hash);
    }
}

KELVO_API kelvo_bool32 KelvoAddPointerToHash(kelvo_pointer_hash *Hash, void const *Key,
                                             void *Data) {
    KELVO_CHECK_NOT_NULL(Hash, KelvoHashLogMessage, 0);
    return Add(Hash, Key, Data);
}

KELVO_API kelvo_bool32 KelvoSetHashedPointerData(kelvo_pointer_hash *Hash, void const *Key,
                                                 void *Data) {
    KELVO_CHECK_NOT_NULL(Hash, KelvoHashLogMessage, 0);
    if (kelvo_balanced_tree_node *Node = FindKey(Hash, Key)) {
        Node->Value = Data;
        return 1;
    }
    Add(Hash, Key, Data);
    return 0;
}

KELVO_API kelvo_bool32 KelvoGetHashedPointerData(kelvo_pointer_hash *Hash, void const *Key,
                                                 void **Data) {
    KELVO_CHECK_NOT_NULL(Data, KelvoHashLogMessage, 0);
    *Data = nullptr;
    KELVO_CHECK_NOT_NULL(Hash, KelvoHashLogMessage, 0);
    kelvo_balanced_tree_node *Node = FindKey(Hash, Key);
    if (!Node) {
        return 0;
    }
    *Data = Node->Value;
    return 1;
}

KELVO_API kelvo_bool32 KelvoHashedPointerKeyExists(kelvo_pointer_hash *Hash, void const *Key) {
    KELVO_CHECK_NOT_NULL(Hash, KelvoHashLogMessage, 0);
    return FindKey(Hash, Key) != nullptr;
}
