// kv2 make-sample: writes the sample asset, the file README's main command
// inspects.
#include "kv2_commands.h"
#include "kv2_sample_asset.h"

#include <stdio.h>

int RunMakeSample(int ArgumentCount, char **Arguments) {
    if (ArgumentCount != 1) {
        fprintf(stderr, "kv2: make-sample needs OUT\n");
        return 2;
    }
    kv2::sample_asset Asset;
    if (!kv2::WriteSampleAsset(Asset, Arguments[0])) {
        fprintf(stderr, "kv2: cannot write %s\n", Arguments[0]);
        return 1;
    }
    return 0;
}
