// The balanced tree against std::multimap: random and adversarial insertion
// orders, with the AVL invariants checked throughout.
#include "kelvo_balanced_tree.h"
#include "kelvo_test.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <stdint.h>
#include <vector>

namespace {

using kelvo::kelvo_balanced_tree;
using kelvo::kelvo_balanced_tree_node;

struct integer_order {
    int operator()(void const *A, void const *B) const {
        uintptr_t KeyA = reinterpret_cast<uintptr_t>(A), KeyB = reinterpret_cast<uintptr_t>(B);
        return (KeyA > KeyB) - (KeyA < KeyB);
    }
};

void const *Key(uintptr_t Value) {
    return reinterpret_cast<void const *>(Value);
}
uintptr_t KeyOf(kelvo_balanced_tree_node const *Node) {
    return reinterpret_cast<uintptr_t>(Node->Key);
}

// Height of the subtree; checks each node's balance bits against the heights
// of its subtrees, the AVL bound, and the order of keys within [Low, High].
int CheckedHeight(kelvo_balanced_tree_node const *Node, uintptr_t Low, uintptr_t High) {
    if (!Node) {
        return 0;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Node) % 4, 0u);
    EXPECT_GE(KeyOf(Node), Low);
    EXPECT_LE(KeyOf(Node), High);
    // Rotations may lift an equal key above another, so equal keys can sit on
    // either side; their order is checked in order against the model.
    int Left = CheckedHeight(Node->Left, Low, KeyOf(Node));
    int Right = CheckedHeight(kelvo::RightChild(Node), KeyOf(Node), High);
    EXPECT_LE(std::abs(Left - Right), 1);
    kelvo::balanced_tree_balance Expected = Left == Right  ? kelvo::BalancedTreeEven
                                            : Left > Right ? kelvo::BalancedTreeLeftTaller
                                                           : kelvo::BalancedTreeRightTaller;
    EXPECT_EQ(kelvo::BalanceOf(Node), Expected) << "key " << KeyOf(Node);
    return 1 + std::max(Left, Right);
}

// The tree holds exactly the model's pairs, equal keys in insertion order.
void ExpectMatches(kelvo_balanced_tree const &Tree,
                   std::multimap<uintptr_t, uintptr_t> const &Model) {
    int Height = CheckedHeight(Tree.Root, 0, UINTPTR_MAX);
    EXPECT_LE(Height, 1.4405 * std::log2(Model.size() + 2.0));
    std::vector<std::pair<uintptr_t, uintptr_t>> InOrder;
    kelvo::VisitBalancedTreeInOrder(Tree, [&](kelvo_balanced_tree_node *Node) {
        InOrder.emplace_back(KeyOf(Node), reinterpret_cast<uintptr_t>(Node->Value));
        return true;
    });
    EXPECT_EQ(InOrder, (std::vector<std::pair<uintptr_t, uintptr_t>>(Model.begin(), Model.end())));
    if (Model.empty()) {
        EXPECT_EQ(Tree.Smallest, nullptr);
        EXPECT_EQ(Tree.Largest, nullptr);
        return;
    }
    EXPECT_EQ(KeyOf(Tree.Smallest), Model.begin()->first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Tree.Smallest->Value), Model.begin()->second);
    EXPECT_EQ(KeyOf(Tree.Largest), Model.rbegin()->first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Tree.Largest->Value), Model.rbegin()->second);
}

std::vector<uintptr_t> RandomKeys(unsigned Seed, int Count, uintptr_t Range) {
    std::mt19937 Random(Seed);
    std::vector<uintptr_t> Keys(Count);
    for (uintptr_t &K : Keys) {
        K = Random() % Range;
    }
    return Keys;
}

class BalancedTreeTest : public KelvoTest {
  protected:
    void SetUp() override {
        KelvoTest::SetUp();
        ASSERT_TRUE(kelvo::InitializeBalancedTree(Tree));
    }
    void TearDown() override {
        kelvo::FreeBalancedTree(Tree);
        KelvoTest::TearDown();
    }

    // Inserts the keys in order, values counting up, checking as it goes.
    void InsertAndCheck(std::vector<uintptr_t> const &Keys) {
        for (uintptr_t K : Keys) {
            uintptr_t Value = Model.size();
            kelvo_balanced_tree_node *Node = kelvo::InsertBalancedTreeNode(
                Tree, Key(K), reinterpret_cast<void *>(Value), integer_order());
            ASSERT_NE(Node, nullptr);
            Nodes.emplace_back(Node, K);
            Model.emplace(K, Value);
            if (Model.size() < 64 || Model.size() % 97 == 0) {
                ExpectMatches(Tree, Model);
            }
        }
        ExpectMatches(Tree, Model);
    }

    // Every model key is found, and a key between them is not.
    void CheckLookups(uintptr_t Limit) {
        for (uintptr_t K = 0; K < Limit; ++K) {
            kelvo_balanced_tree_node *Found =
                kelvo::FindBalancedTreeNode(Tree, Key(K), integer_order());
            if (Model.count(K)) {
                ASSERT_NE(Found, nullptr) << K;
                EXPECT_EQ(KeyOf(Found), K);
            } else {
                EXPECT_EQ(Found, nullptr) << K;
            }
        }
    }

    kelvo_balanced_tree Tree;
    std::multimap<uintptr_t, uintptr_t> Model;
    std::vector<std::pair<kelvo_balanced_tree_node *, uintptr_t>> Nodes;
};

TEST_F(BalancedTreeTest, EmptyTree) {
    ExpectMatches(Tree, Model);
    EXPECT_EQ(kelvo::FindBalancedTreeNode(Tree, Key(0), integer_order()), nullptr);
}

TEST_F(BalancedTreeTest, RandomKeysWithFewDuplicates) {
    InsertAndCheck(RandomKeys(11, 3000, 100000));
    CheckLookups(1000);
}

TEST_F(BalancedTreeTest, RandomKeysWithManyDuplicates) {
    InsertAndCheck(RandomKeys(12, 2000, 40));
    CheckLookups(50);
}

TEST_F(BalancedTreeTest, AscendingDescendingAndZigZagOrders) {
    // Sorted runs take only single rotations one way or the other; zig-zags
    // around a middle take double rotations.
    std::vector<uintptr_t> Keys;
    for (uintptr_t K = 1000; K < 1500; ++K) {
        Keys.push_back(K);
    }
    for (uintptr_t K = 999; K > 500; --K) {
        Keys.push_back(K);
    }
    for (uintptr_t Step = 1; Step < 300; ++Step) {
        Keys.push_back(Step % 2 ? 200 + Step : 200 - Step / 2);
    }
    for (uintptr_t Repeat = 0; Repeat < 100; ++Repeat) {
        Keys.push_back(1200); // a run of duplicates in the middle
    }
    InsertAndCheck(Keys);
    CheckLookups(1600);
}

TEST_F(BalancedTreeTest, NodesNeverMove) {
    InsertAndCheck(RandomKeys(13, 500, 1000));
    for (size_t Index = 0; Index < Nodes.size(); ++Index) {
        EXPECT_EQ(KeyOf(Nodes[Index].first), Nodes[Index].second);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(Nodes[Index].first->Value), Index);
    }
}

TEST_F(BalancedTreeTest, OrderComesFromTheCaller) {
    struct descending {
        int operator()(void const *A, void const *B) const { return integer_order()(B, A); }
    };
    for (uintptr_t K : {5, 1, 9, 3, 7, 5}) {
        kelvo::InsertBalancedTreeNode(Tree, Key(K), nullptr, descending());
    }
    std::vector<uintptr_t> InOrder;
    kelvo::VisitBalancedTreeInOrder(Tree, [&](kelvo_balanced_tree_node *Node) {
        InOrder.push_back(KeyOf(Node));
        return InOrder.size() < 4; // stops after the fourth
    });
    EXPECT_EQ(InOrder, (std::vector<uintptr_t>{9, 7, 5, 5}));
    EXPECT_EQ(KeyOf(Tree.Smallest), 9u);
    EXPECT_EQ(KeyOf(Tree.Largest), 1u);
    EXPECT_NE(kelvo::FindBalancedTreeNode(Tree, Key(3), descending()), nullptr);
    EXPECT_EQ(kelvo::FindBalancedTreeNode(Tree, Key(4), descending()), nullptr);
}

} // namespace
