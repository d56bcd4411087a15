// The library's Fenwa1 decoder beside the reference decoder on the same
// arbitrary bytes (see fenwa1_differential.h); any difference is a crash.
#include "fenwa1_differential.h"

#include <stdio.h>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *Input, size_t Size) {
    if (Size > (1 << 20)) {
        return 0;
    }
    std::string Why = fenwa1_differential::Disagreement(Input, Size);
    if (!Why.empty()) {
        fprintf(stderr, "Fenwa1 decoders disagree: %s\n", Why.c_str());
        __builtin_trap();
    }
    return 0;
}
