// kv2 dump: a file's tree printed member by member from the definitions the
// file stores, so records this build does not know show as well. Shared
// objects are printed once and then referred to by number. A file that is
// not valid (see kv2_files.h) is refused before anything is printed.
#include "kv2_commands.h"
#include "kv2_files.h"
#include "kv2_tree_walk.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Above this the walk stops anyway; see kv2_tree_walk.cpp.
constexpr int MaxDumpDepth = 60;

bool ParseDepth(char const *Text, int *Depth) {
    char *End = nullptr;
    long Value = strtol(Text, &End, 10);
    if (!*Text || *End || Value < 0 || Value > MaxDumpDepth) {
        return false;
    }
    *Depth = (int)Value;
    return true;
}

} // namespace

int RunDump(int ArgumentCount, char **Arguments) {
    kv2::walk_options Options;
    Options.MaxDepth = MaxDumpDepth;
    bool Usable =
        ArgumentCount == 1 || (ArgumentCount == 3 && strcmp(Arguments[1], "--depth") == 0 &&
                               ParseDepth(Arguments[2], &Options.MaxDepth));
    if (!Usable) {
        fprintf(stderr, "kv2: dump needs FILE [--depth N] (N from 0 to %d)\n", MaxDumpDepth);
        return 2;
    }
    char const *FileName = Arguments[0];
    std::string Reason;
    kelvo_file *File = kv2::LoadValidFile(FileName, kv2::crc_mismatch::Warn, Reason);
    if (!File) {
        return kv2::Refuse(FileName, Reason);
    }
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    printf("%s: type tag 0x%08x, %d sections\n", FileName, (unsigned)File->Header->TypeTag,
           (int)File->SectionCount);
    kv2::section_memory Memory(File);
    kv2::tree_walker Walker(Memory, Options);
    bool Whole = Walker.Walk(Root.Type, Root.Object);
    KelvoFreeFile(File);
    return Whole ? 0 : kv2::Refuse(FileName, Walker.Fault());
}
