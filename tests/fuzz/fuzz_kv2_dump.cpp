// Arbitrary bytes loaded as a file and printed by kv2 dump's tree printer,
// whether or not the library's tree check accepts them: the printer keeps
// its own checks and must read nothing outside the loaded sections, and a
// tree the check accepts it must print whole.
#include "kelvo2.h"
#include "kv2_tree_walk.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Data, size_t Size) {
    static FILE *Sink = [] {
        kelvo_log_callback Callback = {&Discard, nullptr};
        KelvoSetLogCallback(&Callback);
        return fopen("/dev/null", "w");
    }();
    if (Size > INT32_MAX || !Sink) {
        return 0;
    }
    void *Check = KelvoBeginAllocationCheck();
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Size, Data);
    if (File) {
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        bool Checked = Root.Object && KelvoCheckFileDataTree(File);
        kv2::section_memory Memory(File);
        kv2::walk_options Options;
        Options.Out = Sink;
        kv2::tree_walker Printer(Memory, Options);
        if (!Printer.Walk(Root.Type, Root.Object) && Checked) {
            abort(); // dump refuses a tree the library's check accepts
        }
    }
    KelvoFreeFile(File);
    if (!KelvoEndAllocationCheck(Check)) {
        abort();
    }
    return 0;
}
