// The memory arena: blocks pushed one by one and freed together. The arena
// record has the shape of a link, so one walk frees the chain.
#include "foundation/kelvo_memory.h"

struct kelvo_memory_arena {
    kelvo_memory_arena *Older;
};

using namespace kelvo;

KELVO_API kelvo_memory_arena *KelvoNewMemoryArena(void) {
    kelvo_memory_arena *Arena = KELVO_ALLOCATE(kelvo_memory_arena);
    if (Arena) {
        Arena->Older = nullptr;
    }
    return Arena;
}

KELVO_API void *KelvoMemoryArenaPush(kelvo_memory_arena *Arena, kelvo_int32 Size) {
    KELVO_CHECK_NOT_NULL(Arena, KelvoMemoryLogMessage, nullptr);
    kelvo_memory_arena *Link;
    void *Bytes;
    aggr_allocator Aggr;
    AggrInit(Aggr);
    AggrAllocPtr(Aggr, &Link, sizeof(kelvo_memory_arena));
    AggrAllocPtr(Aggr, &Bytes, Size);
    if (!EndAggrAlloc(Aggr, KELVO_HERE)) {
        return nullptr;
    }
    Link->Older = Arena->Older;
    Arena->Older = Link;
    return Bytes;
}

KELVO_API void KelvoClearArena(kelvo_memory_arena *Arena) {
    KELVO_CHECK_NOT_NULL(Arena, KelvoMemoryLogMessage, KELVO_NOTHING);
    while (Arena->Older) {
        kelvo_memory_arena *Block = Arena->Older;
        Arena->Older = Block->Older;
        KELVO_DEALLOCATE(Block);
    }
}

KELVO_API void KelvoFreeMemoryArena(kelvo_memory_arena *Arena) {
    KELVO_CHECK_NOT_NULL(Arena, KelvoMemoryLogMessage, KELVO_NOTHING);
    KelvoClearArena(Arena);
    KELVO_DEALLOCATE(Arena);
}
