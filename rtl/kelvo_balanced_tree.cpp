// The balanced tree's node blocks and its AVL insertion. Searching is inline in
// the header, where the caller's comparison can be inlined; everything here is
// independent of the key order.
#include "kelvo_balanced_tree.h"

#include "foundation/kelvo_memory.h"

namespace kelvo {

// A block is one allocation: a header in the space of one node, then the nodes.
struct kelvo_balanced_tree_block {
    kelvo_balanced_tree_block *Next;
};

namespace {

using node = kelvo_balanced_tree_node;

static_assert(sizeof(kelvo_balanced_tree_block) <= sizeof(node), "the header fits in one node");
static_assert(DefaultAlignment % alignof(node) == 0, "blocks are aligned for their nodes");

constexpr kelvo_int32 NodeBlockSize = (BalancedTreeNodesPerBlock + 1) * (kelvo_int32)sizeof(node);

node *ChildOf(node const *Node, bool Right) {
    return Right ? RightChild(Node) : Node->Left;
}

void SetChild(node *Node, bool Right, node *Child) {
    if (Right) {
        Node->RightAndBalance = reinterpret_cast<kelvo_uintaddrx>(Child) |
                                (Node->RightAndBalance & BalancedTreeBalanceMask);
    } else {
        Node->Left = Child;
    }
}

void SetBalance(node *Node, balanced_tree_balance Balance) {
    Node->RightAndBalance = (Node->RightAndBalance & ~BalancedTreeBalanceMask) | Balance;
}

balanced_tree_balance TallerSide(bool Right) {
    return Right ? BalancedTreeRightTaller : BalancedTreeLeftTaller;
}

// Top's taller side has just become two levels taller than the other. Rotates
// the subtree back into balance and returns its new root, which after an
// insertion is exactly as tall as Top was before it.
node *Rotate(node *Top, bool TallerIsRight) {
    balanced_tree_balance Heavy = TallerSide(TallerIsRight);
    balanced_tree_balance Light = TallerSide(!TallerIsRight);
    node *Child = ChildOf(Top, TallerIsRight);
    if (BalanceOf(Child) == Heavy) {
        // The outer grandchild grew: one rotation lifts Child over Top.
        SetChild(Top, TallerIsRight, ChildOf(Child, !TallerIsRight));
        SetChild(Child, !TallerIsRight, Top);
        SetBalance(Top, BalancedTreeEven);
        SetBalance(Child, BalancedTreeEven);
        return Child;
    }
    // The inner grandchild grew: it is lifted over both, taking one of its
    // subtrees to each side.
    node *Grand = ChildOf(Child, !TallerIsRight);
    SetChild(Child, !TallerIsRight, ChildOf(Grand, TallerIsRight));
    SetChild(Top, TallerIsRight, ChildOf(Grand, !TallerIsRight));
    SetChild(Grand, TallerIsRight, Child);
    SetChild(Grand, !TallerIsRight, Top);
    balanced_tree_balance GrandBalance = BalanceOf(Grand);
    SetBalance(Child, GrandBalance == Light ? Heavy : BalancedTreeEven);
    SetBalance(Top, GrandBalance == Heavy ? Light : BalancedTreeEven);
    SetBalance(Grand, BalancedTreeEven);
    return Grand;
}

} // namespace

bool InitializeBalancedTree(kelvo_balanced_tree &Tree) {
    Tree = kelvo_balanced_tree{};
    return ReserveBalancedTreeNode(Tree);
}

void FreeBalancedTree(kelvo_balanced_tree &Tree) {
    while (Tree.Blocks) {
        kelvo_balanced_tree_block *Block = Tree.Blocks;
        Tree.Blocks = Block->Next;
        KELVO_DEALLOCATE(Block);
    }
    Tree = kelvo_balanced_tree{};
}

bool ReserveBalancedTreeNode(kelvo_balanced_tree &Tree) {
    if (Tree.FreeNodeCount > 0) {
        return true;
    }
    void *Memory = KELVO_ALLOCATE_SIZE(NodeBlockSize);
    if (!Memory) {
        return false;
    }
    // An installed allocator that ignores the alignment would have the balance
    // bits land in the child addresses.
    if (reinterpret_cast<kelvo_uintaddrx>(Memory) % alignof(node) != 0) {
        KELVO_DEALLOCATE(Memory);
        return false;
    }
    kelvo_balanced_tree_block *Block = static_cast<kelvo_balanced_tree_block *>(Memory);
    Block->Next = Tree.Blocks;
    Tree.Blocks = Block;
    Tree.FreeNode = static_cast<node *>(Memory) + 1;
    Tree.FreeNodeCount = BalancedTreeNodesPerBlock;
    return true;
}

kelvo_balanced_tree_node *LinkBalancedTreeNode(kelvo_balanced_tree &Tree,
                                               balanced_tree_path const &Path, void const *Key,
                                               void *Value) {
    node *New = Tree.FreeNode++;
    --Tree.FreeNodeCount;
    New->Key = Key;
    New->Value = Value;
    New->Left = nullptr;
    New->RightAndBalance = BalancedTreeEven;

    if (Path.Depth == 0) {
        Tree.Root = Tree.Smallest = Tree.Largest = New;
        return New;
    }
    node *Parent = Path.Nodes[Path.Depth - 1];
    bool Right = Path.WentRight[Path.Depth - 1];
    SetChild(Parent, Right, New);
    // A new leaf is the first in order only when it hangs left of the old first.
    if (Parent == Tree.Smallest && !Right) {
        Tree.Smallest = New;
    }
    if (Parent == Tree.Largest && Right) {
        Tree.Largest = New;
    }

    // Back up the path while the subtree below has grown a level.
    for (int Level = Path.Depth - 1; Level >= 0; --Level) {
        node *Node = Path.Nodes[Level];
        bool Grew = Path.WentRight[Level];
        balanced_tree_balance Balance = BalanceOf(Node);
        if (Balance == BalancedTreeEven) {
            SetBalance(Node, TallerSide(Grew));
            continue;
        }
        if (Balance != TallerSide(Grew)) {
            SetBalance(Node, BalancedTreeEven);
            break;
        }
        node *Top = Rotate(Node, Grew);
        if (Level == 0) {
            Tree.Root = Top;
        } else {
            SetChild(Path.Nodes[Level - 1], Path.WentRight[Level - 1], Top);
        }
        break;
    }
    return New;
}

} // namespace kelvo
