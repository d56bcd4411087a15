// The process heap is the C heap. Its blocks are aligned for any type, which
// the default allocator relies on to keep its headers aligned.
#include "kelvo_platform.h"

#include <stdlib.h>

namespace kelvo {

void *PlatformHeapAllocate(kelvo_uint32 Size) {
    // malloc(0) may return null; a request of nothing still gets a block.
    return malloc(Size ? Size : 1);
}

void PlatformHeapFree(void *Memory) {
    free(Memory);
}

} // namespace kelvo
