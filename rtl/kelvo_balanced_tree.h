// A height-balanced (AVL) binary search tree of pointer-sized keys and values:
// the ordered lookup behind the pointer hash and the string table, and for any
// other ordered lookup of the library. The ordering is the caller's: Find and
// Insert take a comparison object, Order(A, B) < 0, == 0 or > 0.
//
// Nodes are never removed. They are carved from blocks of 32, allocated through
// the library allocator and freed only with the whole tree, so a node's address
// is stable for the tree's life. Equal keys are inserted to the right of each
// other: duplicates stay in the tree, in insertion order, and a lookup returns
// the first equal node met from the root.
#ifndef KELVO_BALANCED_TREE_H
#define KELVO_BALANCED_TREE_H

#include "foundation/kelvo_memory.h"
#include "kelvo2/kelvo2_types.h"

namespace kelvo {

struct kelvo_balanced_tree_node {
    void const *Key;
    void *Value;
    kelvo_balanced_tree_node *Left;
    // The right child, with the node's balance in the two low bits.
    kelvo_uintaddrx RightAndBalance;
};

// The balance lives in the low bits of a node address, so those bits must be
// zero in every node address of both builds.
static_assert(alignof(kelvo_balanced_tree_node) >= 4, "nodes leave two low address bits free");
static_assert(sizeof(kelvo_balanced_tree_node) % 4 == 0, "every node of a block is 4-aligned");

// Which subtree is one level taller, if any.
enum balanced_tree_balance : kelvo_uintaddrx {
    BalancedTreeEven = 0,
    BalancedTreeLeftTaller = 1,
    BalancedTreeRightTaller = 2,
};
constexpr kelvo_uintaddrx BalancedTreeBalanceMask = 3;

inline kelvo_balanced_tree_node *RightChild(kelvo_balanced_tree_node const *Node) {
    return reinterpret_cast<kelvo_balanced_tree_node *>(Node->RightAndBalance &
                                                        ~BalancedTreeBalanceMask);
}
inline balanced_tree_balance BalanceOf(kelvo_balanced_tree_node const *Node) {
    return static_cast<balanced_tree_balance>(Node->RightAndBalance & BalancedTreeBalanceMask);
}

constexpr kelvo_int32 BalancedTreeNodesPerBlock = 32;

// An AVL tree of height h holds at least Fibonacci(h + 2) - 1 nodes, which for
// h = 96 is far beyond any address space: no insertion path is longer.
constexpr int BalancedTreeMaxHeight = 96;

struct kelvo_balanced_tree_block;

struct kelvo_balanced_tree {
    kelvo_balanced_tree_node *Root;
    kelvo_balanced_tree_node *Smallest; // first node in order, or null
    kelvo_balanced_tree_node *Largest;  // last node in order, or null
    kelvo_balanced_tree_block *Blocks;  // newest first
    kelvo_balanced_tree_node *FreeNode; // next unused node of the newest block
    kelvo_int32 FreeNodeCount;          // unused nodes left in the newest block
};

// Sets the tree up empty with its first node block; false when that block
// cannot be allocated (the tree then holds nothing to free).
bool InitializeBalancedTree(kelvo_balanced_tree &Tree);
// Frees every node block; the tree is left empty and without blocks.
void FreeBalancedTree(kelvo_balanced_tree &Tree);
// A new record of the library's memory whose member Tree is set up empty;
// null when either allocation fails.
template <typename owner> owner *NewTreeOwner() {
    owner *Owner = KELVO_ALLOCATE(owner);
    if (Owner && !InitializeBalancedTree(Owner->Tree)) {
        KELVO_DEALLOCATE(Owner);
        Owner = nullptr;
    }
    return Owner;
}
// Makes sure the next insertion has a node, allocating a block when the newest
// is used up. False when no block can be had; the tree is unchanged then.
bool ReserveBalancedTreeNode(kelvo_balanced_tree &Tree);

// The way down to where a new key goes: each node passed and the side taken.
struct balanced_tree_path {
    kelvo_balanced_tree_node *Nodes[BalancedTreeMaxHeight];
    bool WentRight[BalancedTreeMaxHeight];
    int Depth;
};

// Hangs a reserved node at the end of Path and rebalances back up. Callers go
// through InsertBalancedTreeNode.
kelvo_balanced_tree_node *LinkBalancedTreeNode(kelvo_balanced_tree &Tree,
                                               balanced_tree_path const &Path, void const *Key,
                                               void *Value);

template <typename Order>
kelvo_balanced_tree_node *FindBalancedTreeNode(kelvo_balanced_tree const &Tree, void const *Key,
                                               Order const &Compare) {
    kelvo_balanced_tree_node *Node = Tree.Root;
    while (Node) {
        int Difference = Compare(Key, Node->Key);
        if (Difference == 0) {
            return Node;
        }
        Node = Difference < 0 ? Node->Left : RightChild(Node);
    }
    return nullptr;
}

// Inserts a node even when an equal key is present; null when no node block
// could be allocated, and then the tree is unchanged.
template <typename Order>
kelvo_balanced_tree_node *InsertBalancedTreeNode(kelvo_balanced_tree &Tree, void const *Key,
                                                 void *Value, Order const &Compare) {
    if (!ReserveBalancedTreeNode(Tree)) {
        return nullptr;
    }
    balanced_tree_path Path;
    Path.Depth = 0;
    for (kelvo_balanced_tree_node *Node = Tree.Root; Node;) {
        bool Right = Compare(Key, Node->Key) >= 0;
        Path.Nodes[Path.Depth] = Node;
        Path.WentRight[Path.Depth] = Right;
        ++Path.Depth;
        Node = Right ? RightChild(Node) : Node->Left;
    }
    return LinkBalancedTreeNode(Tree, Path, Key, Value);
}

// Calls Visit(Node) for every node in order; stops early when it returns false.
template <typename Visitor>
void VisitBalancedTreeInOrder(kelvo_balanced_tree const &Tree, Visitor &&Visit) {
    kelvo_balanced_tree_node *Pending[BalancedTreeMaxHeight];
    int Depth = 0;
    kelvo_balanced_tree_node *Node = Tree.Root;
    while (Node || Depth > 0) {
        while (Node) {
            Pending[Depth++] = Node;
            Node = Node->Left;
        }
        Node = Pending[--Depth];
        if (!Visit(Node)) {
            return;
        }
        Node = RightChild(Node);
    }
}

} // namespace kelvo

#endif
