// Arbitrary bytes loaded as a whole file from a memory reader, its root and
// queries taken, then freed. Whatever the header, section headers, stored
// data and fix-ups say, nothing may be read or written outside the image and
// the loaded sections, no block may stay allocated, and no allocation may be
// far larger than the image.
#include "kelvo2.h"

#include <stdint.h>
#include <stdlib.h>

namespace {

void KELVO_CALLBACK Discard(kelvo_log_message_type, kelvo_log_message_origin, char const *,
                            void *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Data, size_t Size) {
    static bool Quiet = [] {
        kelvo_log_callback Callback = {&Discard, nullptr};
        KelvoSetLogCallback(&Callback);
        return true;
    }();
    (void)Quiet;
    if (Size > INT32_MAX) {
        return 0;
    }
    void *Check = KelvoBeginAllocationCheck();
    kelvo_file *File = KelvoReadEntireFileFromMemory((kelvo_int32)Size, Data);
    if (File) {
        kelvo_variant Root;
        KelvoGetDataTreeFromFile(File, &Root);
        if (Root.Object && KelvoGetFileSectionOfLoadedObject(File, Root.Object) < 0) {
            abort(); // a root outside the sections it was checked against
        }
        KelvoGetInMemoryFileCRC(File);
        KelvoGetFileInfo(File);
    }
    KelvoFreeFile(File);
    if (!KelvoEndAllocationCheck(Check)) {
        abort();
    }
    return 0;
}
