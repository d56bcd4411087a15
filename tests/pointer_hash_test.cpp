// The pointer hash and the string table through their exports: lookups and
// replacement, node and string blocks, allocation failures and null arguments.
#include "kelvo_test.h"

#include <random>
#include <set>
#include <stdint.h>
#include <string>
#include <vector>

namespace {

// Passes allocations to the allocator it replaces, counting them, until its
// budget of successful allocations is spent; then every allocation fails.
// With Shift set it returns addresses two bytes off the requested alignment.
struct scoped_test_heap {
    static inline kelvo_allocate_callback *Allocate = nullptr;
    static inline kelvo_deallocate_callback *Deallocate = nullptr;
    static inline int Allocations = 0;
    static inline int Budget = -1; // -1: unlimited
    static inline bool Shift = false;
    static inline std::set<char *> Shifted;

    explicit scoped_test_heap(int AllowedAllocations = -1, bool ShiftAddresses = false) {
        KelvoGetAllocator(&Allocate, &Deallocate);
        Allocations = 0;
        Budget = AllowedAllocations;
        Shift = ShiftAddresses;
        KelvoSetAllocator(&Counted, &Release);
    }
    ~scoped_test_heap() { KelvoSetAllocator(Allocate, Deallocate); }

    static void *KELVO_CALLBACK Counted(char const *File, kelvo_int32 Line, kelvo_int32 Alignment,
                                        kelvo_int32 Size) {
        if (Budget >= 0 && Allocations >= Budget) {
            return nullptr;
        }
        ++Allocations;
        if (!Shift) {
            return Allocate(File, Line, Alignment, Size);
        }
        char *Memory = static_cast<char *>(Allocate(File, Line, Alignment, Size + 2));
        Shifted.insert(Memory + 2);
        return Memory + 2;
    }
    static void KELVO_CALLBACK Release(char const *File, kelvo_int32 Line, void *Memory) {
        char *Bytes = static_cast<char *>(Memory);
        if (Shifted.erase(Bytes)) {
            Bytes -= 2;
        }
        Deallocate(File, Line, Bytes);
    }
};

void *Address(uintptr_t Value) {
    return reinterpret_cast<void *>(Value);
}

class PointerHashTest : public KelvoTest {};
class StringTableTest : public KelvoTest {};

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
    scoped_test_heap Heap;
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    int const Created = scoped_test_heap::Allocations; // the record and the first block
    for (uintptr_t Key = 1; Key <= 32; ++Key) {
        KelvoAddPointerToHash(Hash, Address(Key * 16), nullptr);
    }
    EXPECT_EQ(scoped_test_heap::Allocations, Created);
    KelvoAddPointerToHash(Hash, Address(33 * 16), nullptr);
    EXPECT_EQ(scoped_test_heap::Allocations, Created + 1);
    for (uintptr_t Key = 1; Key <= 33; ++Key) {
        EXPECT_TRUE(KelvoHashedPointerKeyExists(Hash, Address(Key * 16)));
    }
    KelvoDeletePointerHash(Hash);
}

TEST_F(PointerHashTest, FailedNodeBlockRefusesTheInsertion) {
    {
        scoped_test_heap Heap(0);
        EXPECT_EQ(KelvoNewPointerHash(), nullptr);
    }
    {
        scoped_test_heap Heap(1); // the record but not its first block
        EXPECT_EQ(KelvoNewPointerHash(), nullptr);
    }
    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    for (uintptr_t Key = 1; Key <= 32; ++Key) {
        KelvoAddPointerToHash(Hash, Address(Key * 16), Address(Key));
    }
    {
        scoped_test_heap Heap(0);
        EXPECT_FALSE(KelvoAddPointerToHash(Hash, Address(1000), nullptr));
        ExpectLogged(KelvoErrorLogMessage, "Out of space in pointer hash table");
        EXPECT_FALSE(KelvoSetHashedPointerData(Hash, Address(1001), nullptr));
        ExpectLogged(KelvoErrorLogMessage, "Out of space in pointer hash table");
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
    scoped_test_heap Heap(-1, true);
    EXPECT_EQ(KelvoNewPointerHash(), nullptr);
}

TEST_F(PointerHashTest, NullArgumentsAreReported) {
    int Object;
    void *Data = &Object;
    KelvoDeletePointerHash(nullptr);
    EXPECT_FALSE(KelvoAddPointerToHash(nullptr, &Object, nullptr));
    ExpectLogged(KelvoErrorLogMessage, "Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoSetHashedPointerData(nullptr, &Object, nullptr));
    ExpectLogged(KelvoErrorLogMessage, "Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoGetHashedPointerData(nullptr, &Object, &Data));
    EXPECT_EQ(Data, nullptr);
    ExpectLogged(KelvoErrorLogMessage, "Hash is not allowed to be 0");
    EXPECT_FALSE(KelvoHashedPointerKeyExists(nullptr, &Object));
    ExpectLogged(KelvoErrorLogMessage, "Hash is not allowed to be 0");

    kelvo_pointer_hash *Hash = KelvoNewPointerHash();
    ASSERT_NE(Hash, nullptr);
    KelvoAddPointerToHash(Hash, &Object, &Object);
    EXPECT_FALSE(KelvoGetHashedPointerData(Hash, &Object, nullptr));
    ExpectLogged(KelvoErrorLogMessage, "Data is not allowed to be 0");
    KelvoDeletePointerHash(Hash);
    for (captured_message const &Message : Messages()) {
        EXPECT_EQ(Message.Origin, KelvoHashLogMessage);
    }
}

} // namespace
