// The pointer hash and the string table through their exports: lookups and
// replacement, node and string blocks, allocation failures and null arguments.
#include "kelvo_test.h"

#include <map>
#include <random>
#include <set>
#include <stdint.h>
#include <string>
#include <vector>

namespace {

void *Address(uintptr_t Value) {
    return reinterpret_cast<void *>(Value);
}

// Consumes an expected error, which must come under Origin from the module.
class ContainerTest : public KelvoTest {
  protected:
    void ExpectError(kelvo_log_message_origin Origin, char const *Module, char const *Fragment) {
        for (captured_message const &Message : Messages()) {
            if (Message.Text.find(Fragment) != std::string::npos) {
                EXPECT_EQ(Message.Origin, Origin) << Message.Text;
                EXPECT_EQ(Message.Text.rfind(Module, 0), 0u) << Message.Text;
                break;
            }
        }
        ExpectLogged(KelvoErrorLogMessage, Fragment);
    }
};

class PointerHashTest : public ContainerTest {
  protected:
    void ExpectHashError(char const *Fragment) {
        ExpectError(KelvoHashLogMessage, "rt/data/kelvo_pointer_hash.cpp(", Fragment);
    }
};

class StringTableTest : public ContainerTest {
  protected:
    void ExpectTableError(char const *Fragment) {
        ExpectError(KelvoStringTableLogMessage, "rt/data/kelvo_string_table.cpp(", Fragment);
    }
};

TEST_F(PointerHashTest, AbsentKeysSetAndReplace) {
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    int Objects[3];
    void *Data = &Objects[2];
    EXPECT_FALSE(KelvoGetHashedPointerData(Hash, &Objects[0], &Data));
    EXPECT_EQ(Data, nullptr);
    EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, &Objects[0]));

    // Absent: inserted and false; present: replaced and true.
    EXPECT_FALSE(KelvoSetHashedPointerData(Hash, &Objects[0], &Objects[1]));
    EXPECT_TRUE(KelvoGetHashedPointerData(Hash, &Objects[0], &Data));
    EXPECT_EQ(Data, &Objects[1]);
    EXPECT_TRUE(KelvoSetHashedPointerData(Hash, &Objects[0], &Objects[2]));
    EXPECT_TRUE(KelvoGetHashedPointerData(Hash, &Objects[0], &Data));
    EXPECT_EQ(Data, &Objects[2]);
    EXPECT_TRUE(KelvoHashedPointerKeyExists(Hash, &Objects[0]));
    EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, &Objects[1]));

    // A second node for a present key is allowed; the lookup finds one of them.
    EXPECT_TRUE(KelvoAddPointerToHash(Hash, &Objects[0], &Objects[1]));
    EXPECT_TRUE(KelvoGetHashedPointerData(Hash, &Objects[0], &Data));
    EXPECT_TRUE(Data == &Objects[1] || Data == &Objects[2]);

    // The null address is a key like any other.
    EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, nullptr));
    EXPECT_TRUE(KelvoAddPointerToHash(Hash, nullptr, &Objects[1]));
    EXPECT_TRUE(KelvoGetHashedPointerData(Hash, nullptr, &Data));
    EXPECT_EQ(Data, &Objects[1]);
    KelvoDeletePointerHash(Hash);
}

TEST_F(PointerHashTest, KeysAcrossTheWholeAddressRange) {
    // Addresses more than half the address space apart must still order.
    std::vector<uintptr_t> Keys = {0,
                                   1,
                                   UINTPTR_MAX,
                                   UINTPTR_MAX - 1,
                                   UINTPTR_MAX / 2,
                                   UINTPTR_MAX / 2 + 1,
                                   UINTPTR_MAX / 4 * 3,
                                   UINTPTR_MAX / 4};
    std::mt19937_64 Random(7);
    for (int Index = 0; Index < 2000; ++Index) {
        Keys.push_back((uintptr_t)Random() & ~(uintptr_t)1); // odd addresses stay absent
    }
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    for (size_t Index = 0; Index < Keys.size(); ++Index) {
        KelvoSetHashedPointerData(Hash, Address(Keys[Index]), Address(Index));
    }
    for (size_t Index = 0; Index < Keys.size(); ++Index) {
        void *Data = nullptr;
        ASSERT_TRUE(KelvoGetHashedPointerData(Hash, Address(Keys[Index]), &Data)) << Index;
        EXPECT_EQ(Keys[(uintptr_t)Data], Keys[Index]);
    }
    for (size_t Index = 8; Index < Keys.size(); ++Index) {
        EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, Address(Keys[Index] + 1)));
    }
    KelvoDeletePointerHash(Hash);
}

TEST_F(PointerHashTest, NodeBlocksOfThirtyTwo) {
    failing_allocator Heap;
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    int const Created = Heap.Allocations; // the record and the first block
    for (uintptr_t Key = 1; Key <= 32; ++Key) {
        KelvoAddPointerToHash(Hash, Address(Key * 16), nullptr);
    }
    EXPECT_EQ(Heap.Allocations, Created);
    KelvoAddPointerToHash(Hash, Address(33 * 16), nullptr);
    EXPECT_EQ(Heap.Allocations, Created + 1);
    for (uintptr_t Key = 1; Key <= 33; ++Key) {
        EXPECT_TRUE(KelvoHashedPointerKeyExists(Hash, Address(Key * 16)));
    }
    KelvoDeletePointerHash(Hash);
}

TEST_F(PointerHashTest, FailedNodeBlockRefusesTheInsertion) {
    {
        failing_allocator Heap(1, true, false);
        EXPECT_EQ(KelvoNewPointerHash(), nullptr);
    }
    {
        failing_allocator Heap(2, false, false); // the record but not its first block
        EXPECT_EQ(KelvoNewPointerHash(), nullptr);
    }
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    for (uintptr_t Key = 1; Key <= 32; ++Key) {
        KelvoAddPointerToHash(Hash, Address(Key * 16), Address(Key));
    }
    {
        failing_allocator Heap(1, true, false);
        EXPECT_FALSE(KelvoAddPointerToHash(Hash, Address(1000), nullptr));
        ExpectHashError("Out of space in pointer hash table");
        EXPECT_FALSE(KelvoSetHashedPointerData(Hash, Address(1001), nullptr));
        ExpectHashError("Out of space in pointer hash table");
        // Replacing needs no node.
        EXPECT_TRUE(KelvoSetHashedPointerData(Hash, Address(16), Address(99)));
    }
    EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, Address(1000)));
    EXPECT_FALSE(KelvoHashedPointerKeyExists(Hash, Address(1001)));
    for (uintptr_t Key = 1; Key <= 32; ++Key) {
        void *Data = nullptr;
        EXPECT_TRUE(KelvoGetHashedPointerData(Hash, Address(Key * 16), &Data));
        EXPECT_EQ(Data, Address(Key == 1 ? 99 : Key));
    }
    // Once memory is back the hash grows again.
    EXPECT_TRUE(KelvoAddPointerToHash(Hash, Address(1000), nullptr));
    KelvoDeletePointerHash(Hash);
}

TEST_F(PointerHashTest, MisalignedNodeBlockIsRefused) {
    // The balance bits live in the low bits of node addresses.
    failing_allocator Heap;
    Heap.MisalignFrom = 2; // the record, then its first node block
    EXPECT_EQ(KelvoNewPointerHash(), nullptr);
}

TEST_F(PointerHashTest, NullArgumentsAreReported) {
    int Object;
    void *Data = &Object;
    KelvoDeletePointerHash(nullptr);
    EXPECT_FALSE(KelvoAddPointerToHash(nullptr, &Object, nullptr));
    ExpectHashError("Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoSetHashedPointerData(nullptr, &Object, nullptr));
    ExpectHashError("Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoGetHashedPointerData(nullptr, &Object, &Data));
    EXPECT_EQ(Data, nullptr);
    ExpectHashError("Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoHashedPointerKeyExists(nullptr, &Object));
    ExpectHashError("Hash is not allowed to be 0");

    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    KelvoAddPointerToHash(Hash, &Object, &Object);
    EXPECT_FALSE(KelvoGetHashedPointerData(Hash, &Object, nullptr));
    ExpectHashError("Data is not allowed to be 0");
    KelvoDeletePointerHash(Hash);
}

// ---- string table ---------------------------------------------------------

TEST_F(StringTableTest, EqualStringsShareOneCopy) {
    kelvo_string_table *Table = KelvoNewStringTable();
    ASSERT_NE(Table, nullptr);
    char Buffer[] = "Bone";
    char const *Bone = KelvoMapString(Table, Buffer);
    ASSERT_NE(Bone, nullptr);
    EXPECT_NE(Bone, Buffer);
    Buffer[0] = 'Z'; // the table keeps its own copy
    EXPECT_STREQ(Bone, "Bone");
    EXPECT_EQ(KelvoMapString(Table, "Bone"), Bone);
    char const *Lower = KelvoMapString(Table, "bone");
    EXPECT_NE(Lower, Bone);
    EXPECT_STREQ(Lower, "bone");
    char const *Empty = KelvoMapString(Table, "");
    ASSERT_NE(Empty, nullptr);
    EXPECT_STREQ(Empty, "");
    EXPECT_EQ(KelvoMapString(Table, ""), Empty);
    EXPECT_EQ(KelvoMapString(Table, nullptr), nullptr);

    // Many strings with shared prefixes, case variants, repeats and bytes
    // above 127, against a model.
    std::map<std::string, char const *> Model;
    std::mt19937 Random(3);
    char const Alphabet[] = "aAbB\xe9\x01";
    for (int Index = 0; Index < 3000; ++Index) {
        std::string String(Random() % 6, ' ');
        for (char &Character : String) {
            Character = Alphabet[Random() % (sizeof(Alphabet) - 1)];
        }
        char const *Copy = KelvoMapString(Table, String.c_str());
        ASSERT_NE(Copy, nullptr);
        EXPECT_EQ(std::string(Copy), String);
        auto Inserted = Model.emplace(String, Copy);
        EXPECT_EQ(Inserted.first->second, Copy) << String;
    }
    std::set<char const *> Distinct;
    for (auto const &Entry : Model) {
        EXPECT_EQ(std::string(Entry.second), Entry.first);
        Distinct.insert(Entry.second);
    }
    EXPECT_EQ(Distinct.size(), Model.size());
    KelvoFreeStringTable(Table);
}

TEST_F(StringTableTest, CopiesFillBlocksOfFourThousandBytes) {
    failing_allocator Heap;
    kelvo_string_table *Table = KelvoNewStringTable();
    ASSERT_NE(Table, nullptr);
    int Blocks = Heap.Allocations; // the table and its first node block

    char const *A = KelvoMapString(Table, "a");
    EXPECT_EQ(Heap.Allocations, ++Blocks);
    // Exactly the 3998 bytes left: same block, right behind "a".
    std::string Fill(3997, 'f');
    EXPECT_EQ(KelvoMapString(Table, Fill.c_str()), A + 2);
    EXPECT_EQ(Heap.Allocations, Blocks);
    char const *B = KelvoMapString(Table, "b");
    EXPECT_EQ(Heap.Allocations, ++Blocks);

    // Longer than a block: a block of its own, and the current block keeps
    // being filled.
    std::string Long(5000, 'l');
    char const *LongCopy = KelvoMapString(Table, Long.c_str());
    EXPECT_EQ(Heap.Allocations, ++Blocks);
    EXPECT_EQ(std::string(LongCopy), Long);
    EXPECT_EQ(KelvoMapString(Table, "c"), B + 2);
    std::string JustOver(4000, 'o'); // 4001 bytes with the terminator
    KelvoMapString(Table, JustOver.c_str());
    EXPECT_EQ(Heap.Allocations, ++Blocks);
    EXPECT_EQ(KelvoMapString(Table, "d"), B + 4);

    // Exactly a block's size is an ordinary block, which then is current.
    std::string Whole(3999, 'w');
    KelvoMapString(Table, Whole.c_str());
    EXPECT_EQ(Heap.Allocations, ++Blocks);
    char const *E = KelvoMapString(Table, "e");
    EXPECT_EQ(Heap.Allocations, ++Blocks);
    EXPECT_NE(E, B + 6);

    EXPECT_EQ(KelvoMapString(Table, Long.c_str()), LongCopy);
    EXPECT_EQ(KelvoMapString(Table, "a"), A);
    KelvoFreeStringTable(Table);
}

TEST_F(StringTableTest, OversizedFirstStringLeavesRoomForNoOther) {
    kelvo_string_table *Table = KelvoNewStringTable();
    ASSERT_NE(Table, nullptr);
    std::string Long(5000, 'l');
    char const *LongCopy = KelvoMapString(Table, Long.c_str());
    char const *A = KelvoMapString(Table, "a");
    EXPECT_EQ(std::string(LongCopy), Long);
    EXPECT_STREQ(A, "a");
    EXPECT_TRUE(A < LongCopy || A > LongCopy + 5000);
    KelvoFreeStringTable(Table);
}

TEST_F(StringTableTest, FailedAllocationsMapNothing) {
    {
        failing_allocator Heap(1, true, false);
        EXPECT_EQ(KelvoNewStringTable(), nullptr);
    }
    {
        failing_allocator Heap(2, false, false);
        EXPECT_EQ(KelvoNewStringTable(), nullptr);
    }
    kelvo_string_table *Table = KelvoNewStringTable();
    ASSERT_NE(Table, nullptr);
    {
        // No string block yet.
        failing_allocator Heap(1, true, false);
        EXPECT_EQ(KelvoMapString(Table, "first"), nullptr);
        ExpectTableError("Out of space in string table");
    }
    std::vector<char const *> Copies;
    for (int Index = 0; Index < 32; ++Index) {
        Copies.push_back(KelvoMapString(Table, std::to_string(Index).c_str()));
    }
    {
        // The node blocks are used up.
        failing_allocator Heap(1, true, false);
        EXPECT_EQ(KelvoMapString(Table, "second"), nullptr);
        ExpectTableError("Out of space in string table");
        EXPECT_EQ(KelvoMapString(Table, "7"), Copies[7]); // mapped before: no allocation
    }
    char const *First = KelvoMapString(Table, "first");
    char const *Second = KelvoMapString(Table, "second");
    EXPECT_STREQ(First, "first");
    EXPECT_STREQ(Second, "second");
    EXPECT_EQ(KelvoMapString(Table, "second"), Second);
    for (int Index = 0; Index < 32; ++Index) {
        EXPECT_EQ(KelvoMapString(Table, std::to_string(Index).c_str()), Copies[Index]);
    }
    KelvoFreeStringTable(Table);
}

TEST_F(StringTableTest, NullTableIsReported) {
    KelvoFreeStringTable(nullptr);
    EXPECT_EQ(KelvoMapString(nullptr, "Bone"), nullptr);
    ExpectTableError("Table is not allowed to be 0");
}

} // namespace
