// The shared file steps of the kv2 commands. A command that reads a file
// loads it through LoadValidFile, so check, info, dump, convert and
// recompress accept and refuse the same files; a command that writes one
// writes it through a staged_output.
#include "kv2_files.h"
#include "kv2_tree_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace kv2 {

namespace {

// The first problems reported, with whether each is an error.
struct report {
    bool IsError;
    std::string Text;
};
std::vector<report> Reports;
int ProblemCount = 0;
int ErrorCount = 0;

constexpr int MaxKeptReports = 1000;

// Messages start with the reporting source line, "path(line): ".
char const *WithoutLocation(char const *Message) {
    char const *End = strstr(Message, "): ");
    return End ? End + 3 : Message;
}

void KELVO_CALLBACK PrintLibraryMessage(kelvo_log_message_type Type, kelvo_log_message_origin,
                                        char const *Message, void *) {
    if (Type < KelvoWarningLogMessage) {
        return;
    }
    ErrorCount += Type >= KelvoErrorLogMessage;
    if (++ProblemCount <= MaxKeptReports) {
        Reports.push_back({Type >= KelvoErrorLogMessage, WithoutLocation(Message)});
    }
    fprintf(stderr, "kv2: %s: %s\n", KelvoGetLogMessageTypeString(Type), Message);
}

bool SectionsLoaded(kelvo_file const *File, std::string &Reason) {
    kelvo_section_header const *Sections = KelvoGetKVNSectionArray(File->Header);
    for (kelvo_int32 Index = 0; Index < File->SectionCount; ++Index) {
        if (!File->Sections[Index] && Sections[Index].ExpandedDataSize != 0) {
            Reason = "section " + std::to_string(Index) + " did not load";
            return false;
        }
    }
    return true;
}

// Why the loaded tree may not be walked, or null.
char const *TreeFault(kelvo_file const *File) {
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    if (!Root.Object || !Root.Type) {
        return "its root does not lie inside its loaded sections";
    }
    if (!KelvoCheckFileDataTree(File)) {
        return "its data tree reaches outside its sections";
    }
    section_memory Memory(File);
    walk_options Silent;
    Silent.Out = nullptr;
    tree_walker Walker(Memory, Silent);
    return Walker.Walk(Root.Type, Root.Object) ? nullptr : Walker.Fault();
}

// The CRC step; false when the file is refused here.
bool CRCAccepted(char const *FileName, crc_mismatch Crc, std::string &Reason) {
    library_reports Reading;
    if (KelvoFileCRCIsValid(FileName)) {
        return true;
    }
    if (Reading.Errors()) {
        Reason = "unreadable header: " + Reading.FirstError("");
        return false;
    }
    Reason = "CRC mismatch";
    if (Crc == crc_mismatch::Refuse) {
        return false;
    }
    fflush(stdout);
    fprintf(stderr, "kv2: warning: %s: %s\n", FileName, Reason.c_str());
    Reason.clear();
    return true;
}

} // namespace

void ReportLibraryMessages() {
    static kelvo_log_callback Callback = {&PrintLibraryMessage, nullptr};
    KelvoSetLogCallback(&Callback);
}

library_reports::library_reports() : ProblemsAtMark(ProblemCount), ErrorsAtMark(ErrorCount) {}

int library_reports::Problems() const {
    return ProblemCount - ProblemsAtMark;
}

int library_reports::Errors() const {
    return ErrorCount - ErrorsAtMark;
}

std::string library_reports::FirstError(char const *Otherwise) const {
    for (bool WantError : {true, false}) {
        for (size_t Index = (size_t)ProblemsAtMark; Index < Reports.size(); ++Index) {
            if (Reports[Index].IsError == WantError) {
                return Reports[Index].Text;
            }
        }
    }
    return Problems() ? "(see above)" : Otherwise;
}

kelvo_file_reader *OpenFileReader(char const *FileName, std::string &Reason) {
    library_reports Opening;
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        // The platform reader is silent only about a file that is not there.
        Reason = "cannot open it: " + Opening.FirstError("no such file");
    }
    return Reader;
}

kelvo_file *LoadValidFile(char const *FileName, crc_mismatch Crc, std::string &Reason) {
    Reason.clear();
    kelvo_file_reader *Reader = OpenFileReader(FileName, Reason);
    if (!Reader) {
        return nullptr;
    }
    if (!CRCAccepted(FileName, Crc, Reason)) {
        KelvoCloseFileReader(Reader);
        return nullptr;
    }
    library_reports Loading;
    kelvo_file *File = KelvoReadEntireFileFromReader(Reader);
    KelvoCloseFileReader(Reader);
    if (!File) {
        Reason = "unreadable header: " + Loading.FirstError("no file was loaded");
        return nullptr;
    }
    if (!SectionsLoaded(File, Reason)) {
        Reason += ": " + Loading.FirstError("no reason was given");
    } else if (Loading.Errors()) {
        Reason = "loading it met an error: " + Loading.FirstError("");
    } else if (char const *Fault = TreeFault(File)) {
        Reason = Fault; // the library's own report is on stderr already
    }
    if (!Reason.empty()) {
        KelvoFreeFile(File);
        return nullptr;
    }
    return File;
}

int RewriteFile(char const *In, char const *Out, crc_mismatch Crc, char const *Verb,
                std::function<bool(char const *Temporary, std::string &Reason)> const &Write) {
    std::string Reason;
    kelvo_file *File = LoadValidFile(In, Crc, Reason);
    if (!File) {
        if (Reason.rfind("CRC mismatch", 0) == 0) {
            Reason += "; --ignore-crc rewrites it all the same";
        }
        return Refuse(In, Reason);
    }
    KelvoFreeFile(File);
    staged_output Output(Out);
    if (!Output.Create(Reason)) {
        return Refuse(Out, "cannot write it: " + Reason);
    }
    library_reports Writing;
    if (!Write(Output.Path(), Reason)) {
        if (Reason.empty()) {
            Reason = Writing.FirstError("the library gave no reason");
        }
        fprintf(stderr, "kv2: cannot %s %s into %s: %s\n", Verb, In, Out, Reason.c_str());
        return 1;
    }
    return Output.Commit(Reason) ? 0 : Refuse(Out, Reason);
}

bool CopyWithMatchingCRC(char const *In, char const *Copy, std::string &Reason) {
    std::ifstream Input(In, std::ios::binary);
    std::vector<char> Bytes((std::istreambuf_iterator<char>(Input)),
                            std::istreambuf_iterator<char>());
    kelvo_file_reader *Reader = OpenFileReader(In, Reason);
    kelvo_file *File = Reader ? KelvoReadPartialFileFromReader(Reader) : nullptr;
    if (Reader) {
        KelvoCloseFileReader(Reader);
    }
    if (!File) {
        Reason = Reason.empty() ? "unreadable header" : Reason;
        return false;
    }
    size_t const HeaderAt = sizeof(kelvo_file_magic_value);
    size_t const From = HeaderAt + File->Header->SectionArrayOffset;
    bool const Reversed = File->IsByteReversed != 0;
    KelvoFreeFile(File);
    if (Input.bad() || From > Bytes.size()) {
        Reason = "cannot read it whole";
        return false;
    }
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    KelvoAddToCRC32(&CRC, (kelvo_uint32)(Bytes.size() - From), Bytes.data() + From);
    KelvoEndCRC32(&CRC);
    if (Reversed) {
        CRC = __builtin_bswap32(CRC);
    }
    memcpy(Bytes.data() + HeaderAt + offsetof(kelvo_file_header, CRC), &CRC, sizeof(CRC));
    std::ofstream Output(Copy, std::ios::binary | std::ios::trunc);
    Output.write(Bytes.data(), (std::streamsize)Bytes.size());
    Output.close();
    if (!Output) {
        Reason = std::string("cannot write ") + Copy + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool WalkRewriteOptions(int ArgumentCount, char **Arguments, crc_mismatch &Crc,
                        std::function<bool(char const *Name, char const *Value)> const &Take) {
    Crc = crc_mismatch::Refuse;
    for (int Index = 2; Index < ArgumentCount; Index += 2) {
        if (strcmp(Arguments[Index], "--ignore-crc") == 0) {
            if (Crc == crc_mismatch::Warn) {
                return false;
            }
            Crc = crc_mismatch::Warn;
            --Index; // a flag without a value
        } else if (Index + 1 >= ArgumentCount || !Take(Arguments[Index], Arguments[Index + 1])) {
            return false;
        }
    }
    return true;
}

int Refuse(char const *FileName, std::string const &Reason) {
    fflush(stdout);
    fprintf(stderr, "kv2: %s: %s\n", FileName, Reason.c_str());
    return 1;
}

// ---- staged outputs -----------------------------------------------------------

staged_output::staged_output(char const *Destination) : Destination(Destination) {}

staged_output::~staged_output() {
    if (!Temporary.empty() && !Committed) {
        unlink(Temporary.c_str());
    }
}

bool staged_output::Create(std::string &Reason) {
    struct stat Existing;
    bool Replaces = stat(Destination.c_str(), &Existing) == 0;
    if (Replaces && !S_ISREG(Existing.st_mode)) {
        Reason = S_ISDIR(Existing.st_mode) ? "it is a directory" : "it is not a regular file";
        return false;
    }
    std::string Pattern = Destination + ".kv2-XXXXXX";
    std::vector<char> Name(Pattern.begin(), Pattern.end());
    Name.push_back(0);
    int Descriptor = mkstemp(Name.data());
    if (Descriptor < 0) {
        size_t Slash = Destination.rfind('/');
        std::string Directory = Slash == std::string::npos ? "." : Destination.substr(0, Slash + 1);
        Reason = "cannot create a temporary file in " + Directory + ": " + strerror(errno);
        return false;
    }
    Temporary = Name.data();
    // The new file gets the mode the old one had, or the usual one.
    mode_t Mask = umask(0);
    umask(Mask);
    mode_t Mode = Replaces ? Existing.st_mode & 07777 : 0666 & ~Mask;
    bool Ready = fchmod(Descriptor, Mode) == 0;
    if (!Ready) {
        Reason = std::string("cannot set the mode of ") + Temporary + ": " + strerror(errno);
    }
    close(Descriptor);
    return Ready;
}

bool staged_output::Commit(std::string &Reason) {
    if (rename(Temporary.c_str(), Destination.c_str()) != 0) {
        Reason = "cannot rename " + Temporary + " over it: " + strerror(errno);
        return false;
    }
    Committed = true;
    return true;
}

} // namespace kv2
