#include "foundation/kelvo_log.h"
#include "kelvo_platform.h"
#include "kelvo_test.h"

#include <errno.h>
#include <fstream>
#include <sstream>
#include <string.h>
#include <unistd.h>

namespace {

class LogTest : public KelvoTest {
protected:
    // Runs Work with no callback installed, then puts the fixture's back.
    template <typename F> void WithoutCallback(F Work) {
        kelvo_log_callback Saved;
        KelvoGetLogCallback(&Saved);
        kelvo_log_callback None = {nullptr, nullptr};
        KelvoSetLogCallback(&None);
        Work();
        KelvoSetLogCallback(&Saved);
    }
};

std::string ReadWholeFile(std::string const &Path) {
    std::ifstream File(Path, std::ios::binary);
    std::stringstream Contents;
    Contents << File.rdbuf();
    return Contents.str();
}

TEST_F(LogTest, NamesOfTypesAndOrigins) {
    EXPECT_STREQ(KelvoGetLogMessageTypeString(KelvoIgnoredLogMessage), "Ignored");
    EXPECT_STREQ(KelvoGetLogMessageTypeString(KelvoErrorLogMessage), "Error");
    EXPECT_STREQ(KelvoGetLogMessageTypeString((kelvo_log_message_type)4), "UnknownMessageType");
    EXPECT_STREQ(KelvoGetLogMessageTypeString((kelvo_log_message_type)-1), "UnknownMessageType");
    EXPECT_STREQ(KelvoGetLogMessageOriginString(KelvoNotImplementedLogMessage), "NotImplemented");
    EXPECT_STREQ(KelvoGetLogMessageOriginString(KelvoWin32SubsystemLogMessage), "Win32Subsystem");
    EXPECT_STREQ(KelvoGetLogMessageOriginString(KelvoFileReadingLogMessage), "FileReading");
    EXPECT_STREQ(KelvoGetLogMessageOriginString(KelvoMemoryLogMessage), "Memory");
    EXPECT_STREQ(KelvoGetLogMessageOriginString(KelvoQuantizeLogMessage), "Quantize");
    EXPECT_STREQ(KelvoGetLogMessageOriginString((kelvo_log_message_origin)57),
                 "UnknownMessageOrigin");
    EXPECT_STREQ(KelvoGetLogMessageOriginString((kelvo_log_message_origin)-3),
                 "UnknownMessageOrigin");
}

TEST_F(LogTest, MostSeriousMessageIsKeptWithoutAnyListener) {
    WithoutCallback([] {
        EXPECT_FALSE(KelvoLogging());
        kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s(%d): note", KELVO_HERE);
        kelvo::Log(KelvoErrorLogMessage, KelvoApplicationLogMessage, "%s(%d): first %d",
                   "here.cpp", 10, 1);
        // Neither a lesser nor an equal message replaces it.
        kelvo::Log(KelvoWarningLogMessage, KelvoApplicationLogMessage, "%s(%d): warn", KELVO_HERE);
        kelvo::Log(KelvoErrorLogMessage, KelvoApplicationLogMessage, "%s(%d): second", KELVO_HERE);
        kelvo::Log(KelvoIgnoredLogMessage, KelvoApplicationLogMessage, "%s(%d): ignored", KELVO_HERE);
    });
    EXPECT_EQ(KelvoGetMostSeriousMessageType(), KelvoErrorLogMessage);
    EXPECT_STREQ(KelvoGetMostSeriousMessage(), "here.cpp(10): first 1");
    KelvoClearMostSeriousMessage();
    EXPECT_EQ(KelvoGetMostSeriousMessageType(), KelvoIgnoredLogMessage);
    EXPECT_STREQ(KelvoGetMostSeriousMessage(), "");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(LogTest, DeliveryAndFilters) {
    EXPECT_TRUE(KelvoLogging());
    kelvo::Log(KelvoNoteLogMessage, KelvoMeshLogMessage, "%s(%d): a", "m.cpp", 1);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Type, KelvoNoteLogMessage);
    EXPECT_EQ(Messages()[0].Origin, KelvoMeshLogMessage);
    EXPECT_EQ(Messages()[0].Text, "m.cpp(1): a");

    KelvoFilterMessage(KelvoMeshLogMessage, 0);
    kelvo::Log(KelvoNoteLogMessage, KelvoMeshLogMessage, "%s(%d): silenced", "m.cpp", 2);
    kelvo::Log(KelvoNoteLogMessage, KelvoSkeletonLogMessage, "%s(%d): other", "s.cpp", 3);
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[1].Text, "s.cpp(3): other");

    // A silenced origin still raises the most serious message, but is not delivered.
    kelvo::Log(KelvoErrorLogMessage, KelvoMeshLogMessage, "%s(%d): quiet error", "m.cpp", 4);
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(KelvoGetMostSeriousMessageType(), KelvoErrorLogMessage);
    EXPECT_STREQ(KelvoGetMostSeriousMessage(), "m.cpp(4): quiet error");

    KelvoFilterAllMessages(0);
    kelvo::Log(KelvoNoteLogMessage, KelvoSkeletonLogMessage, "%s(%d): all off", "s.cpp", 5);
    EXPECT_EQ(Messages().size(), 2u);
    KelvoFilterAllMessages(1);
    kelvo::Log(KelvoNoteLogMessage, KelvoMeshLogMessage, "%s(%d): back", "m.cpp", 6);
    ASSERT_EQ(Messages().size(), 3u);
    EXPECT_EQ(Messages()[2].Text, "m.cpp(6): back");
    // Out-of-range origins cannot be filtered, but are still delivered.
    KelvoFilterMessage((kelvo_log_message_origin)999, 0);
    kelvo::Log(KelvoNoteLogMessage, (kelvo_log_message_origin)999, "%s(%d): odd", "x.cpp", 7);
    EXPECT_EQ(Messages().size(), 4u);
    TakeMessages();
}

TEST_F(LogTest, CallbackRecordRoundTripsAndNullRemovesIt) {
    kelvo_log_callback Saved;
    KelvoGetLogCallback(&Saved);
    EXPECT_NE(Saved.Function, nullptr);
    EXPECT_EQ(Saved.UserData, this);
    KelvoSetLogCallback(nullptr);
    kelvo_log_callback Now;
    KelvoGetLogCallback(&Now);
    EXPECT_EQ(Now.Function, nullptr);
    KelvoSetLogCallback(&Saved);
}

TEST_F(LogTest, MessagesCarryTheReportingModulePath) {
    EXPECT_FALSE(KelvoVersionsMatch_(1, 0, 0, 0));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Text.rfind("rt/foundation/kelvo_version.cpp(", 0), 0u) << Messages()[0].Text;
    TakeMessages();
}

TEST_F(LogTest, LongMessagesAreTruncated) {
    std::string Long(40000, 'x');
    kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s", Long.c_str());
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Text.size(), 32767u);
    TakeMessages();
}

TEST_F(LogTest, SystemErrorsAreReportedAsWarningsNamingTheCall) {
    kelvo::PlatformSetLastErrorCode(0);
    kelvo::ReportLastSystemError(false, "caller.cpp", 12, "open");
    EXPECT_TRUE(Messages().empty());

    kelvo::PlatformSetLastErrorCode(ENOENT);
    kelvo::ReportLastSystemError(false, "caller.cpp", 12, "open");
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Origin, KelvoWin32SubsystemLogMessage);
    std::string Expected =
        std::string(": open failed with error \"") + strerror(ENOENT) + "\" at caller.cpp(12)";
    ExpectLogged(KelvoWarningLogMessage, Expected);

    kelvo::PlatformSetLastErrorCode(EACCES);
    kelvo::ReportLastSystemError(true, "caller.cpp", 13, "write");
    ExpectLogged(KelvoErrorLogMessage, "write failed with error");
}

TEST_F(LogTest, LogFileIsClearedOrAppendedOneLinePerMessage) {
    std::string Path = TemporaryPath("log.txt");
    {
        std::ofstream Existing(Path);
        Existing << "old\n";
    }
    EXPECT_TRUE(KelvoSetLogFileName(Path.c_str(), 0));
    kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s(%d): one", "f.cpp", 1);
    EXPECT_EQ(ReadWholeFile(Path), "old\nf.cpp(1): one\n");

    EXPECT_TRUE(KelvoSetLogFileName(Path.c_str(), 1));
    EXPECT_EQ(ReadWholeFile(Path), "");
    WithoutCallback([] {
        EXPECT_TRUE(KelvoLogging());
        kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s(%d): two", "f.cpp", 2);
        kelvo::Log(KelvoErrorLogMessage, KelvoApplicationLogMessage, "%s(%d): three", "f.cpp", 3);
    });
    EXPECT_EQ(ReadWholeFile(Path), "f.cpp(2): two\nf.cpp(3): three\n");

    EXPECT_TRUE(KelvoSetLogFileName(nullptr, 0));
    kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s(%d): four", "f.cpp", 4);
    EXPECT_EQ(ReadWholeFile(Path), "f.cpp(2): two\nf.cpp(3): three\n");
    TakeMessages();
    unlink(Path.c_str());
}

TEST_F(LogTest, UnopenableLogFileKeepsItsNameAndReportsOnlyToTheCallback) {
    std::string Path = TemporaryPath("missing-dir/log.txt");
    EXPECT_FALSE(KelvoSetLogFileName(Path.c_str(), 1));
    ExpectLogged(KelvoWarningLogMessage, "open failed with error");
    EXPECT_TRUE(Messages().empty());
    // Later messages still try the file; the writer's report reaches the
    // callback once and is not appended again.
    kelvo::Log(KelvoNoteLogMessage, KelvoApplicationLogMessage, "%s(%d): note", "f.cpp", 1);
    ExpectLogged(KelvoWarningLogMessage, "open failed with error");
    ExpectLogged(KelvoNoteLogMessage, "f.cpp(1): note");
    EXPECT_TRUE(Messages().empty());
}

} // namespace
