// The fixture every suite derives from: it captures the log and wraps each
// test in an allocation check, so a leak or an unexpected warning or error
// fails the test that caused it.
#ifndef KELVO_TEST_H
#define KELVO_TEST_H

#include "kelvo2.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

struct captured_message {
    kelvo_log_message_type Type;
    kelvo_log_message_origin Origin;
    std::string Text;
};

class KelvoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Removes the first captured message of this type whose text contains
    // Fragment; fails the test when there is none.
    void ExpectLogged(kelvo_log_message_type Type, std::string const &Fragment);
    // The same, and every captured message containing Fragment must come from Origin.
    void ExpectLoggedFrom(kelvo_log_message_type Type, kelvo_log_message_origin Origin,
                          std::string const &Fragment);
    // Removes and returns every captured message.
    std::vector<captured_message> TakeMessages();
    // Captured messages so far (not removed).
    std::vector<captured_message> const &Messages() const { return Captured; }

    std::vector<captured_message> Captured;

private:
    static void KELVO_CALLBACK Capture(kelvo_log_message_type Type,
                                       kelvo_log_message_origin Origin, char const *Message,
                                       void *UserData);
    void *CheckMarker = nullptr;
};

// The failing allocator: while it lives it carries every allocation and free
// to the allocator it replaced, counting them. Allocation number FailAt
// (counting from 1; 0 fails none) fails, and with FailTheRest every one after
// it too; so do requests above SizeLimit. A failure is reported as the
// default allocator reports an exhausted heap, unless Reports is false.
// From allocation number MisalignFrom on (0: never) blocks come two bytes off
// their alignment.
class failing_allocator {
public:
    explicit failing_allocator(int FailAt = 0, bool FailTheRest = false, bool Reports = true);
    ~failing_allocator();
    failing_allocator(failing_allocator const &) = delete;
    failing_allocator &operator=(failing_allocator const &) = delete;

    int Allocations = 0; // asked for, the failed ones included
    int Failures = 0;
    int Frees = 0;
    kelvo_int32 LargestRequest = 0;
    kelvo_int32 SizeLimit = INT32_MAX;
    bool Reports;
    int MisalignFrom = 0;
    std::vector<std::string> Callers; // the source file named by each request

    static void *KELVO_CALLBACK Allocate(char const *File, kelvo_int32 Line,
                                         kelvo_int32 Alignment, kelvo_int32 Size);
    static void KELVO_CALLBACK Deallocate(char const *File, kelvo_int32 Line, void *Memory);

private:
    int FailAt;
    bool FailTheRest;
    kelvo_allocate_callback *PreviousAllocate = nullptr;
    kelvo_deallocate_callback *PreviousDeallocate = nullptr;
    std::set<char *> Misaligned;
    static failing_allocator *Current;
};

// Path of a file of the shared test data, or "" when the folder is absent.
std::string SharedDataPath(char const *RelativePath);

// A fresh path in the temporary directory, unique to this process.
std::string TemporaryPath(char const *Name);

#endif
