// kv2 dump: a file's tree printed member by member from the definitions the
// file stores, so records this build does not know show as well. Shared
// objects are printed once and then referred to by number. A tree the
// library's check finds reaching outside its sections is refused.
#include "kv2_commands.h"
#include "kv2_tree_walk.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    kelvo_file *File = KelvoReadEntireFile(FileName);
    if (!File) {
        fprintf(stderr, "kv2: cannot load %s\n", FileName);
        return 1;
    }
    kelvo_variant Root;
    KelvoGetDataTreeFromFile(File, &Root);
    printf("%s: type tag 0x%08x, %d sections\n", FileName, (unsigned)File->Header->TypeTag,
           (int)File->SectionCount);
    if (Root.Object && !KelvoCheckFileDataTree(File)) {
        KelvoFreeFile(File);
        fflush(stdout);
        fprintf(stderr, "kv2: %s: its data tree reaches outside its sections\n", FileName);
        return 1;
    }
    kv2::section_memory Memory(File);
    kv2::tree_walker Walker(Memory, Options);
    bool Whole = Walker.Walk(Root.Type, Root.Object);
    KelvoFreeFile(File);
    if (!Whole) {
        fflush(stdout);
        fprintf(stderr, "kv2: %s: %s\n", FileName, Walker.Fault());
        return 1;
    }
    return 0;
}
