// kv2 basis: rewrites a file in another coordinate basis and unit. Its art
// tool info says where the content comes from and afterwards records the
// basis it is in, so converting back uses the output's own record.
#include "kv2_commands.h"
#include "kv2_files.h"

#include "kelvo2.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct desired_basis {
    kelvo_real32 UnitsPerMeter = 0;
    kelvo_real32 Origin[3] = {0, 0, 0};
    kelvo_real32 Right[3], Up[3], Back[3];
};

int Usage() {
    fprintf(stderr, "kv2: basis needs FILE OUT --units-per-meter U --right X,Y,Z --up X,Y,Z "
                    "--back X,Y,Z [--origin X,Y,Z] [--ignore-crc]\n");
    return 2;
}

// Count finite reals separated by commas, nothing else.
bool ParseReals(char const *Text, int Count, kelvo_real32 *Result) {
    for (int Index = 0; Index < Count; ++Index) {
        char *End = nullptr;
        double Value = strtod(Text, &End);
        char Expected = Index + 1 < Count ? ',' : '\0';
        if (End == Text || *End != Expected || !isfinite((float)Value)) {
            return false;
        }
        Result[Index] = (kelvo_real32)Value;
        Text = End + 1;
    }
    return true;
}

bool ParseOptions(int ArgumentCount, char **Arguments, desired_basis &Basis,
                  kv2::crc_mismatch &Crc) {
    struct option {
        char const *Name;
        int Count;
        kelvo_real32 *Values;
        bool Seen;
        bool Required;
    } Options[] = {{"--units-per-meter", 1, &Basis.UnitsPerMeter, false, true},
                   {"--right", 3, Basis.Right, false, true},
                   {"--up", 3, Basis.Up, false, true},
                   {"--back", 3, Basis.Back, false, true},
                   {"--origin", 3, Basis.Origin, false, false}};
    bool Valid = kv2::WalkRewriteOptions(
        ArgumentCount, Arguments, Crc, [&](char const *Name, char const *Value) {
            option *Found = nullptr;
            for (option &Option : Options) {
                Found = strcmp(Option.Name, Name) == 0 ? &Option : Found;
            }
            if (!Found || Found->Seen || !ParseReals(Value, Found->Count, Found->Values)) {
                return false;
            }
            Found->Seen = true;
            return true;
        });
    if (!Valid) {
        return false;
    }
    for (option const &Option : Options) {
        if (Option.Required && !Option.Seen) {
            return false;
        }
    }
    return Basis.UnitsPerMeter > 0;
}

void Copy3(kelvo_real32 *Destination, kelvo_real32 const *Source) {
    memcpy(Destination, Source, 3 * sizeof(kelvo_real32));
}

// Converts the loaded tree in place and writes it, sections kept, to Temporary.
bool WriteConverted(kelvo_file *File, desired_basis const &Basis, char const *Temporary,
                    std::string &Reason) {
    kelvo_file_info *Info = KelvoGetFileInfo(File);
    if (!Info) {
        Reason = "the root cannot be read as a file info";
        return false;
    }
    if (!Info->ArtToolInfo) {
        Reason = "it has no art tool info, so the basis it is in is unknown";
        return false;
    }
    kelvo_real32 Affine[3], Linear[9], InverseLinear[9];
    if (!KelvoComputeBasisConversion(Info, Basis.UnitsPerMeter, Basis.Origin, Basis.Right, Basis.Up,
                                     Basis.Back, Affine, Linear, InverseLinear) ||
        !KelvoTransformFile(Info, Affine, Linear, InverseLinear, 0.0f, 0.0001f,
                            KelvoBasisRenormalize | KelvoBasisReverseWinding)) {
        return false;
    }
    kelvo_art_tool_info &Tool = *Info->ArtToolInfo;
    Tool.UnitsPerMeter = Basis.UnitsPerMeter;
    Copy3(Tool.Origin, Basis.Origin);
    Copy3(Tool.RightVector, Basis.Right);
    Copy3(Tool.UpVector, Basis.Up);
    Copy3(Tool.BackVector, Basis.Back);
    kelvo_file_data_tree_writer *Writer =
        KelvoBeginFileDataTreeWriting(KelvoFileInfoType, Info, 0, 0);
    if (!Writer) {
        return false;
    }
    KelvoPreserveFileSections(Writer, File);
    bool Written =
        KelvoWriteDataTreeToFile(Writer, KelvoCurrentTypeTag, KelvoKVNFileMV_ThisPlatform,
                                 Temporary, File->SectionCount > 0 ? File->SectionCount : 1);
    KelvoEndFileDataTreeWriting(Writer);
    return Written;
}

} // namespace

int RunBasis(int ArgumentCount, char **Arguments) {
    desired_basis Basis;
    kv2::crc_mismatch Crc = kv2::crc_mismatch::Refuse;
    if (ArgumentCount < 2 || !ParseOptions(ArgumentCount, Arguments, Basis, Crc)) {
        return Usage();
    }
    char const *In = Arguments[0];
    return kv2::RewriteFile(In, Arguments[1], Crc, "convert the basis of",
                            [&](char const *Temporary, std::string &Reason) {
                                kelvo_file *File = kv2::LoadValidFile(In, Crc, Reason);
                                bool Written =
                                    File && WriteConverted(File, Basis, Temporary, Reason);
                                KelvoFreeFile(File);
                                return Written;
                            });
}
