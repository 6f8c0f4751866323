// The local heap: zero-filled blocks shared by the plug-ins and the host, with the counters and
// planned failures that tests use to walk every allocation path of a decode.
#include <stdlib.h>

#include <atomic>

#include "posix_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define VB_HEAP_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VB_HEAP_UNDER_ASAN 1
#endif
#endif
#if defined(VB_HEAP_UNDER_ASAN)
#include <sanitizer/asan_interface.h>
// The size prefix is poisoned so that a read just before a block is reported like any other
// read outside it.
#define POISON_PREFIX(raw) ASAN_POISON_MEMORY_REGION((raw), BLOCK_PREFIX)
#define UNPOISON_PREFIX(raw) ASAN_UNPOISON_MEMORY_REGION((raw), BLOCK_PREFIX)
#else
#define POISON_PREFIX(raw) ((void)(raw))
#define UNPOISON_PREFIX(raw) ((void)(raw))
#endif

static const size_t BLOCK_PREFIX = 16;

static std::atomic<int64_t> LiveBlocks{0};
static std::atomic<int64_t> AllocationCalls{0};
// Number of the allocation call (counted by AllocationCalls) that is to fail; 0: none.
static std::atomic<int64_t> FailingAllocation{0};
static std::atomic<uint64_t> AllocationLimit{0};

void* VB_CALL AllocateBlock(uint32_t size) {
    int64_t call = AllocationCalls.fetch_add(1) + 1;
    int64_t failing = call;
    if (FailingAllocation.compare_exchange_strong(failing, 0)) return nullptr;
    uint64_t limit = AllocationLimit.load();
    if (limit != 0 && size > limit) return nullptr;
    // Each block carries its size in a 16-byte prefix (keeping the caller's part 16-byte aligned)
    // so that tests can check the sizes of the blocks a decoder hands over. A size of 0 is a valid
    // block: the prefix alone.
    uint8_t* raw = (uint8_t*)calloc(1, (size_t)size + BLOCK_PREFIX);
    if (!raw) return nullptr;
    *(uint64_t*)raw = size;
    POISON_PREFIX(raw);
    LiveBlocks.fetch_add(1);
    return raw + BLOCK_PREFIX;
}

void VB_CALL FreeBlock(void* block) {
    if (!block) return;
    LiveBlocks.fetch_sub(1);
    uint8_t* raw = (uint8_t*)block - BLOCK_PREFIX;
    UNPOISON_PREFIX(raw);
    free(raw);
}

int64_t VB_CALL TestingBlockSize(const void* block) {
    if (!block) return -1;
    uint8_t* raw = (uint8_t*)block - BLOCK_PREFIX;
    UNPOISON_PREFIX(raw);
    int64_t size = (int64_t) * (const uint64_t*)raw;
    POISON_PREFIX(raw);
    return size;
}

int64_t VB_CALL TestingLiveBlockCount(void) {
    return LiveBlocks.load();
}

int64_t VB_CALL TestingAllocationCount(void) {
    return AllocationCalls.load();
}

void VB_CALL TestingFailAllocation(int64_t nth) {
    FailingAllocation.store(nth > 0 ? AllocationCalls.load() + nth : 0);
}

void VB_CALL TestingSetAllocationLimit(uint64_t bytes) {
    AllocationLimit.store(bytes);
}

void ResetHeapOverrides() {
    FailingAllocation.store(0);
    AllocationLimit.store(0);
}
