// Heap accounting for vbbench: the program's own malloc family, forwarding to glibc's and
// counting the bytes held, so that the peak heap use of one decode can be read afterwards. The
// plug-ins' local heap (libvbplatform.so) and the peers' allocations all come through here,
// because definitions in the executable take precedence over libc's for every loaded library.
#include "bench/heap_tracking.h"

#include <malloc.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>

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

static void NoteTaken(void* block) {
    if (!block) return;
    int64_t now = HeapBytesHeld.fetch_add((int64_t)malloc_usable_size(block)) +
                  (int64_t)malloc_usable_size(block);
    int64_t peak = HeapBytesPeak.load(std::memory_order_relaxed);
    while (now > peak && !HeapBytesPeak.compare_exchange_weak(peak, now)) {
    }
}

static void NoteGiven(void* block) {
    if (block) HeapBytesHeld.fetch_sub((int64_t)malloc_usable_size(block));
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
    size_t before = malloc_usable_size(block);
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
