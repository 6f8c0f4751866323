// Heap accounting for vbbench: the program's own malloc family, forwarding to glibc's and
// counting the bytes held, so that the peak heap use of one decode can be read afterwards. The
// plug-ins' local heap (libvbplatform.so) and the peers' allocations all come through here,
// because definitions in the executable take precedence over libc's for every loaded library.
// The local heap's own AllocateBlock and FreeBlock come through here the same way (vbbench
// exports them): its blocks count by the size asked for, whether the heap takes their memory
// from the C library or maps it itself, and whether or not it keeps that memory once freed.
#include "bench/heap_tracking.h"

#include <dlfcn.h>
#include <malloc.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform_testing.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}

static std::atomic<int64_t> HeapBytesHeld{0};
static std::atomic<int64_t> HeapBytesPeak{0};
static std::atomic<int64_t> HeapBytesBase{0};
// Non-zero while the local heap works for its caller: what it takes from the malloc family then
// is the block counted in AllocateBlock (or its own bookkeeping), not counted again.
static thread_local int InsideLocalHeap = 0;

static void NoteBytes(int64_t bytes) {
    int64_t now = HeapBytesHeld.fetch_add(bytes) + bytes;
    int64_t peak = HeapBytesPeak.load(std::memory_order_relaxed);
    while (now > peak && !HeapBytesPeak.compare_exchange_weak(peak, now)) {
    }
}

static void NoteTaken(void* block) {
    if (block && InsideLocalHeap == 0) NoteBytes((int64_t)malloc_usable_size(block));
}

static void NoteGiven(void* block) {
    if (block && InsideLocalHeap == 0) NoteBytes(-(int64_t)malloc_usable_size(block));
}

extern "C" {

void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    NoteTaken(block);
    return block;
}

void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    NoteTaken(block);
    return block;
}

void* realloc(void* block, size_t size) {
    if (!block) return malloc(size);
    size_t before = InsideLocalHeap == 0 ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved) {
        HeapBytesHeld.fetch_sub((int64_t)before);
        NoteTaken(moved);
    } else if (size == 0) {
        HeapBytesHeld.fetch_sub((int64_t)before);  // realloc(p, 0) freed it
    }
    return moved;
}

void free(void* block) {
    NoteGiven(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
    void* block = __libc_memalign(alignment, size);
    NoteTaken(block);
    return block;
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    void* block = memalign(alignment, size);
    if (!block && size != 0) return 12;  // ENOMEM
    *result = block;
    return 0;
}

void* valloc(size_t size) {
    return memalign((size_t)sysconf(_SC_PAGESIZE), size);
}

void* pvalloc(size_t size) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return memalign(page, (size + page - 1) / page * page);
}

void* VB_CALL AllocateBlock(uint32_t size) {
    static const auto next = (decltype(&AllocateBlock))dlsym(RTLD_NEXT, "AllocateBlock");
    InsideLocalHeap++;
    void* block = next(size);
    InsideLocalHeap--;
    if (block) NoteBytes((int64_t)size);
    return block;
}

void VB_CALL FreeBlock(void* block) {
    static const auto next = (decltype(&FreeBlock))dlsym(RTLD_NEXT, "FreeBlock");
    int64_t size = TestingBlockSize(block);
    InsideLocalHeap++;
    next(block);
    InsideLocalHeap--;
    if (size > 0) NoteBytes(-size);
}

}  // extern "C"

void BeginHeapPeak() {
    int64_t now = HeapBytesHeld.load();
    HeapBytesBase.store(now);
    HeapBytesPeak.store(now);
}

int64_t ReadHeapPeak() {
    return HeapBytesPeak.load() - HeapBytesBase.load();
}

int64_t ReadHeapHeld() {
    return HeapBytesHeld.load() - HeapBytesBase.load();
}
