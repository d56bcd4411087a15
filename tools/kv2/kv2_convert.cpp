// kv2 convert: rewrites a file for another pointer size and byte order,
// optionally with every section in one format first.
#include "kv2_commands.h"
#include "kv2_files.h"

#include "kelvo2.h"

#include <stdio.h>
#include <string.h>
#include <string>

namespace {

int Usage() {
    fprintf(stderr, "kv2: convert needs IN OUT --platform 32le|32be|64le|64be [--format 0|2] "
                    "[--ignore-crc]\n");
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
    return Converted;
}

} // namespace

namespace kv2 {

bool ParsePlatform(char const *Name, kelvo_file_magic_value &Magic) {
    struct platform_name {
        char const *Name;
        kelvo_int32 PointerSize;
        bool IsLittleEndian;
    };
    static constexpr platform_name Platforms[] = {
        {"32le", 32, true}, {"32be", 32, false}, {"64le", 64, true}, {"64be", 64, false}};
    for (platform_name const &Candidate : Platforms) {
        if (strcmp(Candidate.Name, Name) == 0) {
            KelvoGetMagicValueForPlatform(Candidate.PointerSize, Candidate.IsLittleEndian, &Magic);
            return true;
        }
    }
    return false;
}

bool WriteConverted(char const *In, char const *Out, int Format,
                    kelvo_file_magic_value const *Magic, std::string &Reason) {
    kelvo_int32 const Mapping[3] = {Format, Format, Format};
    if (!Magic) {
        return KelvoRecompressFile(In, Out, 3, Mapping) != 0;
    }
    if (Format < 0) {
        return Convert(In, Out, *Magic);
    }
    // Every section takes the format in the source's own layout, which
    // the conversion keeps; that copy is staged beside the output too.
    staged_output Formatted(Out);
    if (!Formatted.Create(Reason)) {
        Reason = "cannot write " + std::string(Out) + ": " + Reason;
        return false;
    }
    return KelvoRecompressFile(In, Formatted.Path(), 3, Mapping) &&
           Convert(Formatted.Path(), Out, *Magic);
}

} // namespace kv2

int RunConvert(int ArgumentCount, char **Arguments) {
    if (ArgumentCount < 2) {
        return Usage();
    }
    kelvo_file_magic_value Magic;
    bool Platform = false;
    int Format = -1;
    kv2::crc_mismatch Crc;
    bool Valid = kv2::WalkRewriteOptions(
        ArgumentCount, Arguments, Crc, [&](char const *Name, char const *Value) {
            if (strcmp(Name, "--platform") == 0 && !Platform) {
                Platform = kv2::ParsePlatform(Value, Magic);
                return Platform;
            }
            if (strcmp(Name, "--format") == 0 && Format < 0 &&
                (strcmp(Value, "0") == 0 || strcmp(Value, "2") == 0)) {
                Format = Value[0] - '0';
                return true;
            }
            return false;
        });
    if (!Valid || !Platform) {
        return Usage();
    }
    char const *In = Arguments[0];
    auto Write = [&](char const *Temporary, std::string &Reason) {
        return kv2::WriteConverted(In, Temporary, Format, &Magic, Reason);
    };
    return kv2::RewriteFile(In, Arguments[1], Crc, "convert", Write);
}
