// The fixture every suite derives from: it captures the log and wraps each
// test in an allocation check, so a leak or an unexpected warning or error
// fails the test that caused it.
#ifndef KELVO_TEST_H
#define KELVO_TEST_H

#include "kelvo2.h"

#include <gtest/gtest.h>

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

// Path of a file of the shared test data, or "" when the folder is absent.
std::string SharedDataPath(char const *RelativePath);

// A fresh path in the temporary directory, unique to this process.
std::string TemporaryPath(char const *Name);

#endif
