// kv2: the command-line tool over the library. Each command is one entry of
// the table below; main only finds the entry and hands it the arguments.
#include "kelvo2.h"
#include "kv2_commands.h"

#include <stdio.h>
#include <string.h>

namespace {

enum exit_status { Success = 0, Failure = 1, UsageError = 2 };

struct command {
    char const *Name;
    char const *Arguments;
    char const *Summary;
    int (*Run)(int ArgumentCount, char **Arguments);
};

// Warnings and errors reach the user; notes stay quiet. The count lets a
// command notice failures the library reports but cannot return (a read
// error looks like the end of the file otherwise).
int ReportedProblems = 0;

void KELVO_CALLBACK PrintLibraryMessage(kelvo_log_message_type Type, kelvo_log_message_origin,
                                        char const *Message, void *) {
    if (Type >= KelvoWarningLogMessage) {
        ++ReportedProblems;
        fprintf(stderr, "kv2: %s: %s\n", KelvoGetLogMessageTypeString(Type), Message);
    }
}

int RunVersion(int ArgumentCount, char **) {
    if (ArgumentCount != 0) {
        fprintf(stderr, "kv2: version takes no arguments\n");
        return UsageError;
    }
    printf("%s\n", KelvoGetVersionString());
    return Success;
}

// Streams the file through the reader open callback; false when it cannot be
// read to its end.
bool FileCRC(char const *FileName, kelvo_uint32 *Result) {
    kelvo_file_reader *Reader = KelvoOpenFileReader(FileName);
    if (!Reader) {
        return false;
    }
    static unsigned char Chunk[64 * 1024];
    int ProblemsBefore = ReportedProblems;
    kelvo_uint32 CRC;
    KelvoBeginCRC32(&CRC);
    kelvo_int32 Position = 0;
    bool Complete = true;
    for (;;) {
        kelvo_int32 Read = KelvoReadAtMost(Reader, Position, (kelvo_int32)sizeof(Chunk), Chunk);
        if (Read <= 0) {
            break;
        }
        KelvoAddToCRC32(&CRC, (kelvo_uint32)Read, Chunk);
        if (Read > 0x7fffffff - Position) {
            // Reader positions are 32-bit; the rest of the file is out of reach.
            Complete = false;
            break;
        }
        Position += Read;
    }
    KelvoEndCRC32(&CRC);
    KelvoCloseFileReader(Reader);
    *Result = CRC;
    return Complete && ReportedProblems == ProblemsBefore;
}

int RunCRC(int ArgumentCount, char **Arguments) {
    if (ArgumentCount == 0) {
        fprintf(stderr, "kv2: crc needs at least one FILE\n");
        return UsageError;
    }
    int Status = Success;
    for (int Index = 0; Index < ArgumentCount; ++Index) {
        kelvo_uint32 CRC = 0;
        if (FileCRC(Arguments[Index], &CRC)) {
            printf("%08x  %s\n", (unsigned)CRC, Arguments[Index]);
        } else {
            fprintf(stderr, "kv2: cannot read %s\n", Arguments[Index]);
            Status = Failure;
        }
    }
    return Status;
}

// Errors only: a byte-reversed or older file loads with a warning and is sound.
int ReportedErrors = 0;

void KELVO_CALLBACK CountLibraryError(kelvo_log_message_type Type,
                                      kelvo_log_message_origin Origin, char const *Message,
                                      void *UserData) {
    ReportedErrors += Type >= KelvoErrorLogMessage;
    PrintLibraryMessage(Type, Origin, Message, UserData);
}

// One line per file: whether its header, CRC and every section load and fix
// up, and its data tree stays inside its sections, without the library
// reporting an error.
bool CheckFile(char const *FileName, char const **Reason) {
    kelvo_log_callback Counting = {&CountLibraryError, nullptr};
    KelvoSetLogCallback(&Counting);
    int ProblemsBefore = ReportedErrors;
    if (!KelvoFileCRCIsValid(FileName)) {
        *Reason = ReportedErrors != ProblemsBefore ? "unreadable header" : "CRC mismatch";
        return false;
    }
    kelvo_file *File = KelvoReadEntireFile(FileName);
    bool Loaded = File != nullptr;
    for (kelvo_int32 Index = 0; Loaded && Index < File->SectionCount; ++Index) {
        Loaded = File->Sections[Index] ||
                 KelvoGetKVNSectionArray(File->Header)[Index].ExpandedDataSize == 0;
    }
    *Reason = "a section did not load or fix up";
    if (Loaded && ReportedErrors == ProblemsBefore) {
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        if (Root.Object && !KelvoCheckFileDataTree(File)) {
            *Reason = "its data tree reaches outside its sections";
        }
    }
    KelvoFreeFile(File);
    return Loaded && ReportedErrors == ProblemsBefore;
}

int RunCheck(int ArgumentCount, char **Arguments) {
    if (ArgumentCount == 0) {
        fprintf(stderr, "kv2: check needs at least one FILE\n");
        return UsageError;
    }
    int Status = Success;
    for (int Index = 0; Index < ArgumentCount; ++Index) {
        char const *Reason = "";
        if (CheckFile(Arguments[Index], &Reason)) {
            printf("ok      %s\n", Arguments[Index]);
        } else {
            printf("FAILED  %s: %s\n", Arguments[Index], Reason);
            Status = Failure;
        }
    }
    return Status;
}

// Every section takes the one format asked for; Fenwa0 cannot be written.
int RunRecompress(int ArgumentCount, char **Arguments) {
    kelvo_int32 Format = 2;
    if (ArgumentCount == 4 && strcmp(Arguments[2], "--format") == 0 &&
        (strcmp(Arguments[3], "0") == 0 || strcmp(Arguments[3], "2") == 0)) {
        Format = Arguments[3][0] - '0';
    } else if (ArgumentCount != 2) {
        fprintf(stderr, "kv2: recompress needs IN OUT [--format 0|2]\n");
        return UsageError;
    }
    kelvo_int32 const Mapping[3] = {Format, Format, Format};
    if (!KelvoRecompressFile(Arguments[0], Arguments[1], 3, Mapping)) {
        fprintf(stderr, "kv2: cannot recompress %s into %s\n", Arguments[0], Arguments[1]);
        return Failure;
    }
    return Success;
}

int RunHelp(int ArgumentCount, char **Arguments);

command const Commands[] = {
    {"version", "", "print the library version", &RunVersion},
    {"crc", "FILE...", "print the CRC-32 of each file", &RunCRC},
    {"recompress", "IN OUT [--format 0|2]", "rewrite IN with every section in one format (default 2)",
     &RunRecompress},
    {"check", "FILE...", "check that each file loads whole and intact", &RunCheck},
    {"convert", "IN OUT --platform P [--format 0|2]", "rewrite IN for platform 32le, 32be, 64le or 64be", &RunConvert},
    {"info", "[--bones] FILE", "summarise a file's platform, sections and assets", &RunInfo},
    {"dump", "FILE [--depth N]", "print a file's tree from its own type definitions", &RunDump},
    {"make-sample", "OUT", "write a small sample asset to OUT", &RunMakeSample},
    {"help", "", "list the commands", &RunHelp},
};

void PrintUsage(FILE *Out) {
    fprintf(Out, "usage: kv2 COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (command const &Command : Commands) {
        char Synopsis[64];
        snprintf(Synopsis, sizeof(Synopsis), "%s %s", Command.Name, Command.Arguments);
        fprintf(Out, "  %-20s %s\n", Synopsis, Command.Summary);
    }
}

int RunHelp(int, char **) {
    PrintUsage(stdout);
    return Success;
}

command const *FindCommand(char const *Name) {
    if (strcmp(Name, "--help") == 0 || strcmp(Name, "-h") == 0) {
        Name = "help";
    }
    for (command const &Command : Commands) {
        if (strcmp(Command.Name, Name) == 0) {
            return &Command;
        }
    }
    return nullptr;
}

} // namespace

int main(int ArgumentCount, char **Arguments) {
    kelvo_log_callback Callback = {&PrintLibraryMessage, nullptr};
    KelvoSetLogCallback(&Callback);
    if (ArgumentCount < 2) {
        PrintUsage(stderr);
        return UsageError;
    }
    command const *Command = FindCommand(Arguments[1]);
    if (!Command) {
        fprintf(stderr, "kv2: unknown command '%s' (try 'kv2 --help')\n", Arguments[1]);
        return UsageError;
    }
    int Status = Command->Run(ArgumentCount - 2, Arguments + 2);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "kv2: cannot write the output\n");
        return Failure;
    }
    return Status;
}
