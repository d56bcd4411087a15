/* kelvo2: allocation callbacks, allocation checks, fixed and stack allocators,
   memory arenas and the thread-ownership check. */
#ifndef KELVO2_MEMORY_H
#define KELVO2_MEMORY_H

#include "kelvo2_types.h"

typedef void *KELVO_CALLBACK kelvo_allocate_callback(char const *File, kelvo_int32 Line,
                                                     kelvo_int32 Alignment, kelvo_int32 Size);
typedef void KELVO_CALLBACK kelvo_deallocate_callback(char const *File, kelvo_int32 Line,
                                                      void *Memory);

KELVO_API void KelvoGetAllocator(kelvo_allocate_callback **AllocateCallback,
                                 kelvo_deallocate_callback **DeallocateCallback);
KELVO_API void KelvoSetAllocator(kelvo_allocate_callback *AllocateCallback,
                                 kelvo_deallocate_callback *DeallocateCallback);

/* The default allocator puts a header directly before every block it hands
   out: 32 bytes in 32-bit builds, 56 bytes in 64-bit builds (its three
   pointers widen to 8 bytes and the fields keep their natural alignment). */
typedef struct kelvo_allocation_header kelvo_allocation_header;

typedef struct kelvo_allocation_information {
    void *Memory;
    kelvo_int32 RequestedSize;
    kelvo_int32 ActualSize; /* requested size + the header */
    char const *SourceFileName;
    kelvo_int32 SourceLineNumber;
} kelvo_allocation_information;

/* Live blocks of the default allocator, newest first. */
KELVO_API kelvo_allocation_header *KelvoAllocationsBegin(void);
KELVO_API kelvo_allocation_header *KelvoNextAllocation(kelvo_allocation_header *Current);
KELVO_API kelvo_allocation_header *KelvoAllocationsEnd(void);
KELVO_API void KelvoGetAllocationInformation(kelvo_allocation_header const *Header,
                                             kelvo_allocation_information *Information);

/* A check marker is a zero-byte block; the blocks allocated after it run from
   KelvoAllocationsBegin to KelvoCheckedAllocationsEnd(marker). */
KELVO_API void *KelvoBeginAllocationCheck(void);
KELVO_API kelvo_allocation_header *KelvoCheckedAllocationsEnd(void *CheckIdentifier);
KELVO_API kelvo_bool32 KelvoEndAllocationCheck(void *CheckIdentifier);

/* The library takes no locks; these exist for callers that expect them. */
KELVO_API void KelvoAcquireMemorySpinlock(void);
KELVO_API void KelvoReleaseMemorySpinlock(void);

/* Fixed allocator: equal-sized units from chained blocks. */
typedef struct kelvo_fixed_allocator_block kelvo_fixed_allocator_block;
struct kelvo_fixed_allocator_block {
    kelvo_int32 UnitCount; /* units handed out and not yet returned */
    /* Head of the free list as a unit index, -1 when empty. A free unit's
       first four bytes hold the next index, so units are 4 bytes at least in
       every build. */
    kelvo_int32 FirstFreeIndex;
    kelvo_uint8 *Units;
    kelvo_fixed_allocator_block *Next;
    kelvo_fixed_allocator_block *Previous;
};

typedef struct kelvo_fixed_allocator {
    kelvo_int32 UnitSize;
    kelvo_int32 UnitsPerBlock;
    kelvo_fixed_allocator_block Sentinel;
} kelvo_fixed_allocator;

KELVO_API void KelvoInitializeFixedAllocator(kelvo_fixed_allocator *Allocator, kelvo_int32 UnitSize);
KELVO_API void *KelvoAllocateFixed(kelvo_fixed_allocator *Allocator);
KELVO_API void KelvoDeallocateFixed(kelvo_fixed_allocator *Allocator, void *Memory);
KELVO_API void KelvoDeallocateAllFixed(kelvo_fixed_allocator *Allocator);

/* Stack allocator: an indexed, growable array of equal-sized units. */
typedef struct kelvo_stack_allocator_block kelvo_stack_allocator_block;
struct kelvo_stack_allocator_block {
    kelvo_int32 UsedUnitCount;
    kelvo_uint8 *Base;
    kelvo_int32 FirstIndex;
    kelvo_stack_allocator_block *Previous;
};

typedef struct kelvo_stack_allocator {
    kelvo_int32 UnitSize;
    kelvo_int32 UnitsPerBlock;
    kelvo_int32 TotalUsedUnitCount;
    kelvo_stack_allocator_block *LastBlock;
    kelvo_int32 MaxUnits;        /* -1 without a directory */
    kelvo_int32 ActiveBlocks;    /* -1 without a directory */
    kelvo_int32 MaxActiveBlocks; /* -1 without a directory */
    kelvo_stack_allocator_block **BlockDirectory;
} kelvo_stack_allocator;

KELVO_API void KelvoStackInitialize(kelvo_stack_allocator *Allocator, kelvo_int32 UnitSize,
                                    kelvo_int32 UnitsPerBlock);
KELVO_API void KelvoStackInitializeWithDirectory(kelvo_stack_allocator *Allocator,
                                                 kelvo_int32 UnitSize, kelvo_int32 UnitsPerBlock,
                                                 kelvo_int32 MaxUnits);
KELVO_API void KelvoStackCleanUp(kelvo_stack_allocator *Allocator);
KELVO_API kelvo_int32 KelvoGetStackUnitCount(kelvo_stack_allocator const *Allocator);
KELVO_API kelvo_bool32 KelvoNewStackUnit(kelvo_stack_allocator *Allocator, kelvo_int32 *Index);
KELVO_API kelvo_bool32 KelvoMultipleNewStackUnits(kelvo_stack_allocator *Allocator,
                                                  kelvo_int32 UnitCount, kelvo_int32 *FirstIndex,
                                                  void const *InitialValue);
KELVO_API void *KelvoGetStackUnit(kelvo_stack_allocator *Allocator, kelvo_int32 Index);
KELVO_API void KelvoPopStackUnits(kelvo_stack_allocator *Allocator, kelvo_int32 UnitCount);
KELVO_API void KelvoSerializeStack(kelvo_stack_allocator const *Allocator, void *Destination);

/* Memory arena: blocks freed together. */
typedef struct kelvo_memory_arena kelvo_memory_arena;

KELVO_API kelvo_memory_arena *KelvoNewMemoryArena(void);
KELVO_API void *KelvoMemoryArenaPush(kelvo_memory_arena *Arena, kelvo_int32 Size);
KELVO_API void KelvoClearArena(kelvo_memory_arena *Arena);
KELVO_API void KelvoFreeMemoryArena(kelvo_memory_arena *Arena);

/* Thread-ownership check, offered to applications; the library never calls it. */
typedef kelvo_uint32 KELVO_CALLBACK kelvo_thread_id_callback(void);

KELVO_API void KelvoSetAllowGlobalStateChanges(kelvo_bool32 Allowed);
KELVO_API kelvo_bool32 KelvoGetAllowGlobalStateChanges(void);
KELVO_API kelvo_thread_id_callback *KelvoSetThreadIDCallback(kelvo_thread_id_callback *Callback);
KELVO_API kelvo_bool32 KelvoThreadAllowedToCallKelvo(void);

#endif
