// kv2 convert: rewrites a file for another pointer size and byte order,
// optionally with every section in one format first.
#include "kv2_commands.h"

#include "kelvo2.h"

#include <stdio.h>
#include <string.h>
#include <string>

namespace {

struct platform_name {
    char const *Name;
    kelvo_int32 PointerSize;
    bool IsLittleEndian;
};

constexpr platform_name Platforms[] = {
    {"32le", 32, true}, {"32be", 32, false}, {"64le", 64, true}, {"64be", 64, false}};

int Usage() {
    fprintf(stderr, "kv2: convert needs IN OUT --platform 32le|32be|64le|64be [--format 0|2]\n");
    return 2;
}

bool Convert(char const *In, char const *Out, kelvo_file_magic_value const &Magic) {
    kelvo_file_reader *Reader = KelvoOpenFileReader(In);
    if (!Reader) {
        return false;
    }
    kelvo_file_writer *Writer = KelvoCreatePlatformFileWriter(__FILE__, __LINE__, Out, 1);
    bool Converted = Writer && KelvoPlatformConvertReaderToWriter(Reader, Writer, &Magic, 0);
    KelvoCloseFileReader(Reader);
    if (Writer) {
        KelvoDeleteFileWriter(Writer);
    }
    if (!Converted) {
        remove(Out);
    }
    return Converted;
}

} // namespace

int RunConvert(int ArgumentCount, char **Arguments) {
    if (ArgumentCount < 2) {
        return Usage();
    }
    platform_name const *Platform = nullptr;
    int Format = -1;
    for (int Index = 2; Index < ArgumentCount; Index += 2) {
        if (Index + 1 >= ArgumentCount) {
            return Usage();
        }
        char const *Value = Arguments[Index + 1];
        if (strcmp(Arguments[Index], "--platform") == 0 && !Platform) {
            for (platform_name const &Candidate : Platforms) {
                Platform = strcmp(Candidate.Name, Value) == 0 ? &Candidate : Platform;
            }
            if (!Platform) {
                return Usage();
            }
        } else if (strcmp(Arguments[Index], "--format") == 0 && Format < 0 &&
                   (strcmp(Value, "0") == 0 || strcmp(Value, "2") == 0)) {
            Format = Value[0] - '0';
        } else {
            return Usage();
        }
    }
    if (!Platform) {
        return Usage();
    }
    kelvo_file_magic_value Magic;
    KelvoGetMagicValueForPlatform(Platform->PointerSize, Platform->IsLittleEndian, &Magic);
    char const *Source = Arguments[0];
    std::string Staged;
    if (Format >= 0) {
        // Every section takes the format in the source's own layout, which
        // the conversion keeps.
        Staged = std::string(Arguments[1]) + ".kv2-format";
        kelvo_int32 const Mapping[3] = {Format, Format, Format};
        if (!KelvoRecompressFile(Source, Staged.c_str(), 3, Mapping)) {
            fprintf(stderr, "kv2: cannot read %s\n", Source);
            remove(Staged.c_str());
            return 1;
        }
        Source = Staged.c_str();
    }
    bool Converted = Convert(Source, Arguments[1], Magic);
    if (!Staged.empty()) {
        remove(Staged.c_str());
    }
    if (!Converted) {
        fprintf(stderr, "kv2: cannot convert %s into %s\n", Arguments[0], Arguments[1]);
        return 1;
    }
    return 0;
}
