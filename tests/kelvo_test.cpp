#include "kelvo_test.h"

#include "foundation/kelvo_log.h"

#include <sys/stat.h>
#include <unistd.h>

void KelvoTest::SetUp() {
    kelvo_log_callback Callback = {&KelvoTest::Capture, this};
    KelvoSetLogCallback(&Callback);
    KelvoClearMostSeriousMessage();
    KelvoFilterAllMessages(1);
    CheckMarker = KelvoBeginAllocationCheck();
}

void KelvoTest::TearDown() {
    // Nothing the test allocated may still be live.
    EXPECT_TRUE(KelvoEndAllocationCheck(CheckMarker)) << "the test leaked blocks";
    for (captured_message const &Message : Captured) {
        if (Message.Type >= KelvoWarningLogMessage) {
            ADD_FAILURE() << "unexpected " << KelvoGetLogMessageTypeString(Message.Type) << " ("
                          << KelvoGetLogMessageOriginString(Message.Origin)
                          << "): " << Message.Text;
        }
    }
    kelvo_log_callback None = {nullptr, nullptr};
    KelvoSetLogCallback(&None);
    KelvoSetLogFileName(nullptr, 0);
    KelvoFilterAllMessages(1);
    KelvoClearMostSeriousMessage();
}

void KelvoTest::ExpectLogged(kelvo_log_message_type Type, std::string const &Fragment) {
    for (auto It = Captured.begin(); It != Captured.end(); ++It) {
        if (It->Type == Type && It->Text.find(Fragment) != std::string::npos) {
            Captured.erase(It);
            return;
        }
    }
    std::string Seen;
    for (captured_message const &Message : Captured) {
        Seen += "\n  " + Message.Text;
    }
    ADD_FAILURE() << "no " << KelvoGetLogMessageTypeString(Type) << " message containing \""
                  << Fragment << "\"; captured:" << Seen;
}

void KelvoTest::ExpectLoggedFrom(kelvo_log_message_type Type, kelvo_log_message_origin Origin,
                                 std::string const &Fragment) {
    for (captured_message const &Message : Captured) {
        if (Message.Text.find(Fragment) != std::string::npos) {
            EXPECT_EQ(Message.Origin, Origin) << Message.Text;
        }
    }
    ExpectLogged(Type, Fragment);
}

std::vector<captured_message> KelvoTest::TakeMessages() {
    std::vector<captured_message> Result;
    Result.swap(Captured);
    return Result;
}

void KELVO_CALLBACK KelvoTest::Capture(kelvo_log_message_type Type,
                                       kelvo_log_message_origin Origin, char const *Message,
                                       void *UserData) {
    static_cast<KelvoTest *>(UserData)->Captured.push_back({Type, Origin, Message});
}

failing_allocator *failing_allocator::Current = nullptr;

failing_allocator::failing_allocator(int FailAt, bool FailTheRest, bool Reports)
    : Reports(Reports), FailAt(FailAt), FailTheRest(FailTheRest) {
    KelvoGetAllocator(&PreviousAllocate, &PreviousDeallocate);
    Current = this;
    KelvoSetAllocator(&Allocate, &Deallocate);
}

failing_allocator::~failing_allocator() {
    KelvoSetAllocator(PreviousAllocate, PreviousDeallocate);
    Current = nullptr;
    EXPECT_TRUE(Misaligned.empty()) << "misaligned blocks outlive the allocator";
}

void *KELVO_CALLBACK failing_allocator::Allocate(char const *File, kelvo_int32 Line,
                                                 kelvo_int32 Alignment, kelvo_int32 Size) {
    failing_allocator &Heap = *Current;
    int const Number = ++Heap.Allocations;
    Heap.Callers.push_back(File ? File : "");
    Heap.LargestRequest = Size > Heap.LargestRequest ? Size : Heap.LargestRequest;
    bool const Fails = Number == Heap.FailAt || (Heap.FailTheRest && Heap.FailAt > 0 &&
                                                 Number > Heap.FailAt) ||
                       Size > Heap.SizeLimit;
    if (Fails) {
        ++Heap.Failures;
        if (Heap.Reports) {
            kelvo::Log(KelvoErrorLogMessage, KelvoMemoryLogMessage,
                       "%s(%d): Unable to allocate %d bytes (%d requested by %s:%d).", KELVO_HERE,
                       Size, Size, File, Line);
        }
        return nullptr;
    }
    if (Heap.MisalignFrom <= 0 || Number < Heap.MisalignFrom) {
        return Heap.PreviousAllocate(File, Line, Alignment, Size);
    }
    char *Memory = static_cast<char *>(Heap.PreviousAllocate(File, Line, Alignment, Size + 2));
    if (!Memory) {
        return nullptr;
    }
    Heap.Misaligned.insert(Memory + 2);
    return Memory + 2;
}

void KELVO_CALLBACK failing_allocator::Deallocate(char const *File, kelvo_int32 Line,
                                                  void *Memory) {
    failing_allocator &Heap = *Current;
    Heap.Frees += Memory != nullptr;
    char *Bytes = static_cast<char *>(Memory);
    if (Heap.Misaligned.erase(Bytes)) {
        Bytes -= 2;
    }
    Heap.PreviousDeallocate(File, Line, Bytes);
}

std::string SharedDataPath(char const *RelativePath) {
    std::string Path = std::string(KELVO_SOURCE_DIR) + "/../shared/data/" + RelativePath;
    struct stat Info;
    return stat(Path.c_str(), &Info) == 0 ? Path : std::string();
}

std::string TemporaryPath(char const *Name) {
    char const *Directory = getenv("TMPDIR");
    std::string Path = (Directory && *Directory) ? Directory : "/tmp";
    return Path + "/kelvo2_test_" + std::to_string(getpid()) + "_" + Name;
}
