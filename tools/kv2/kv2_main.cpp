// kv2: the command-line tool over the library. Each command is one entry of
// the table below; main only finds the entry and hands it the arguments.
#include "kelvo2.h"
#include "kv2_commands.h"
#include "kv2_files.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

enum exit_status { Success = 0, Failure = 1, UsageError = 2 };

struct command {
    char const *Name;
    char const *Arguments;
    char const *Summary;
    int (*Run)(int ArgumentCount, char **Arguments);
};

int RunVersion(int ArgumentCount, char **) {
    if (ArgumentCount != 0) {
        fprintf(stderr, "kv2: version takes no arguments\n");
        return UsageError;
    }
    printf("%s\n", KelvoGetVersionString());
    return Success;
}

// Streams the file through the reader open callback; false, with the
// reason, when it cannot be read to its end.
bool FileCRC(char const *FileName, kelvo_uint32 *Result, std::string &Reason) {
    kelvo_file_reader *Reader = kv2::OpenFileReader(FileName, Reason);
    if (!Reader) {
        return false;
    }
    static unsigned char Chunk[64 * 1024];
    kv2::library_reports Reading;
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
    Reason = Reading.Problems() ? "a read failed" : "it is too large for this tool";
    return Complete && Reading.Problems() == 0;
}

// Runs Each on every FILE argument; the status is the worst of theirs.
template <typename each>
int ForEachFile(char const *Command, int ArgumentCount, char **Arguments, each Each) {
    if (ArgumentCount == 0) {
        fprintf(stderr, "kv2: %s needs at least one FILE\n", Command);
        return UsageError;
    }
    int Status = Success;
    for (int Index = 0; Index < ArgumentCount; ++Index) {
        if (!Each(Arguments[Index])) {
            Status = Failure;
        }
    }
    return Status;
}

int RunCRC(int ArgumentCount, char **Arguments) {
    return ForEachFile("crc", ArgumentCount, Arguments, [](char const *Name) {
        kelvo_uint32 CRC = 0;
        std::string Reason;
        if (!FileCRC(Name, &CRC, Reason)) {
            kv2::Refuse(Name, Reason);
            return false;
        }
        printf("%08x  %s\n", (unsigned)CRC, Name);
        return true;
    });
}

int RunCheck(int ArgumentCount, char **Arguments) {
    return ForEachFile("check", ArgumentCount, Arguments, [](char const *Name) {
        std::string Reason;
        kelvo_file *File = kv2::LoadValidFile(Name, kv2::crc_mismatch::Refuse, Reason);
        if (!File) {
            printf("FAILED  %s: %s\n", Name, Reason.c_str());
            return false;
        }
        printf("ok      %s\n", Name);
        KelvoFreeFile(File);
        return true;
    });
}

// Every section takes the one format asked for; Fenwa0 cannot be written.
int RunRecompress(int ArgumentCount, char **Arguments) {
    kelvo_int32 Format = 2;
    kv2::crc_mismatch Crc;
    bool Usable = ArgumentCount >= 2 &&
                  kv2::WalkRewriteOptions(
                      ArgumentCount, Arguments, Crc, [&](char const *Name, char const *Value) {
                          if (strcmp(Name, "--format") != 0 ||
                              (strcmp(Value, "0") != 0 && strcmp(Value, "2") != 0)) {
                              return false;
                          }
                          Format = Value[0] - '0';
                          return true;
                      });
    if (!Usable) {
        fprintf(stderr, "kv2: recompress needs IN OUT [--format 0|2] [--ignore-crc]\n");
        return UsageError;
    }
    kelvo_int32 const Mapping[3] = {Format, Format, Format};
    return kv2::RewriteFile(
        Arguments[0], Arguments[1], Crc, "recompress",
        [&](char const *Temporary, std::string &Reason) {
            // The library recompresses only files whose stored CRC matches.
            std::string Source = Arguments[0];
            kv2::staged_output Copy(Arguments[1]);
            if (Crc == kv2::crc_mismatch::Warn && !KelvoFileCRCIsValid(Arguments[0])) {
                if (!Copy.Create(Reason) ||
                    !kv2::CopyWithMatchingCRC(Arguments[0], Copy.Path(), Reason)) {
                    return false;
                }
                Source = Copy.Path();
            }
            return KelvoRecompressFile(Source.c_str(), Temporary, 3, Mapping) != 0;
        });
}

int RunHelp(int ArgumentCount, char **Arguments);

command const Commands[] = {
    {"version", "", "print the library version", &RunVersion},
    {"crc", "FILE...", "print the CRC-32 of each file", &RunCRC},
    {"recompress", "IN OUT [--format 0|2] [--ignore-crc]",
     "rewrite IN with every section in one format (default 2)", &RunRecompress},
    {"check", "FILE...", "check that each file loads whole and intact", &RunCheck},
    {"convert", "IN OUT --platform P [--format 0|2] [--ignore-crc]",
     "rewrite IN for platform 32le, 32be, 64le or 64be", &RunConvert},
    {"info", "[--bones] FILE", "summarise a file's platform, sections and assets", &RunInfo},
    {"dump", "FILE [--depth N]", "print a file's tree from its own type definitions", &RunDump},
    {"make-sample", "OUT", "write a small sample asset to OUT", &RunMakeSample},
    {"texture", "FILE NAME OUT.png", "write a texture's top level as a PNG", &RunTexture},
    {"compress", "FILE OUT [--tolerance POS,ROT,SCALE] [--formats LIST] [--ignore-crc]",
     "refit and recompress every animation's curves", &RunCompress},
    {"basis", "FILE OUT AXES",
     "rewrite FILE in another basis; AXES: --units-per-meter U --right X,Y,Z --up X,Y,Z "
     "--back X,Y,Z [--origin X,Y,Z] [--ignore-crc]",
     &RunBasis},
    {"play",
     "FILE [--model NAME] [--animation NAME] [--at T1,T2,...] [--fps F --seconds S] "
     "[--loop N] [--stats] [--blend ANIM2 [--weight W] [--mask-from BONE]] "
     "[--reach BONE X,Y,Z]",
     "play an animation and print the bones' world positions", &RunPlay},
    {"import", "IN OUT [--tolerance T] [--rotation-tolerance R] [--fps F] "
               "[--basis RIGHT,UP,BACK] [--units-per-meter U] [--format 0|2] [--platform P] [--quiet]",
     "import a glTF, FBX, COLLADA, BVH or other scene through assimp", &RunImport},
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
    kv2::ReportLibraryMessages();
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
