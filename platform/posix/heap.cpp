// The local heap: zero-filled blocks shared by the plug-ins and the host through this one
// library.
//
// Small blocks come from the C library. A large block (a picture's bits, say) gets a mapping of
// its own, aligned to 2 MiB, rounded up to whole 2 MiB and advised for transparent huge pages.
// The kernel hands such memory out zero-filled, so nothing clears it, and the first touch of it
// faults in 2 MiB at a time instead of 4 KiB. On the virtual machines we build on a 4 KiB fault
// costs about 11 us: 48 MiB of fresh small pages took 139 ms of processor time, of huge pages
// 4.4 ms. Where the kernel has no transparent huge pages (or VB_HUGE_PAGES=0 says to act as if)
// every block comes from the C library, as it did before.
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <mutex>
#include <new>
#include <vector>

#include "posix_internal.h"

namespace {

const size_t HugePageBytes = (size_t)2 << 20;
// From here up a block gets a mapping of its own. Rounded up to whole huge pages, such a block
// never leaves more of its last huge page unused than it uses, and it is still where small
// pages hurt: 1 MiB of them cost 3.1 ms of faults here, a huge page 0.2 ms.
const size_t LargeBlockBytes = (size_t)1 << 20;

struct Mapping {
    void* start;
    size_t length;
};

std::mutex MappingsLock;
// The large blocks handed out and not yet freed.
std::vector<Mapping>* LiveMappings = nullptr;
// The mappings of the last few large blocks freed, kept for the next ones of about their sizes
// (as the C library keeps freed memory): a picture viewer decodes one picture after another,
// and clearing pages already mapped costs less than mapping fresh ones and faulting them in,
// which may also make the kernel gather free memory into huge pages first. Latest first; an
// empty slot has length 0. At most KeptBytesMost in all.
const int KeptSlots = 4;
const size_t KeptBytesMost = (size_t)128 << 20;
Mapping KeptMappings[KeptSlots] = {};

// Whether large blocks get huge pages: not where the kernel was built without them, has them
// switched off ("never") or was told to keep them from this process, nor when VB_HUGE_PAGES is 0.
bool ProbeHugePages() {
    // In a process under AddressSanitizer (the fuzzers, the sanitizer builds; the platform
    // library itself need not be instrumented) every block stays with the sanitizer's allocator,
    // which catches a write past a block's end or after its free; a mapping would not.
    if (dlsym(RTLD_DEFAULT, "__asan_init") || dlsym(RTLD_DEFAULT, "__msan_init")) return false;
    const char* setting = getenv("VB_HUGE_PAGES");
    if (setting && strcmp(setting, "0") == 0) return false;
    if (prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) > 0) return false;
    FILE* file = fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re");
    if (!file) return false;
    char line[128] = {};
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    return read && strstr(line, "[never]") == nullptr;
}

bool HugePagesAvailable() {
    static const bool available = ProbeHugePages();
    return available;
}

void* MapAnonymous(size_t length) {
    void* area = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return area == MAP_FAILED ? nullptr : area;
}

// A fresh mapping of `length` bytes (a multiple of HugePageBytes) starting on a huge-page
// boundary and advised for huge pages (without the advice the kernel's usual setting, "madvise",
// gives small pages), or null.
void* MapAligned(size_t length) {
    // Recent kernels place a mapping of whole huge pages on a boundary by themselves.
    uint8_t* start = (uint8_t*)MapAnonymous(length);
    if (start && ((uintptr_t)start & (HugePageBytes - 1)) != 0) {
        // Older ones not: one huge page more, and the ends beyond the aligned stretch given back.
        munmap(start, length);
        uint8_t* area = (uint8_t*)MapAnonymous(length + HugePageBytes);
        if (!area) return nullptr;
        size_t offset = (uintptr_t)area & (HugePageBytes - 1);
        size_t before = offset == 0 ? 0 : HugePageBytes - offset;
        start = area + before;
        if (before != 0) munmap(area, before);
        munmap(start + length, HugePageBytes - before);
    }
    // Should the advice fail, the mapping still serves, in small pages.
    if (start) madvise(start, length, MADV_HUGEPAGE);
    return start;
}

// A large zero-filled block of `size` bytes in a mapping of its own, or null.
void* AllocateLargeBlock(size_t size) {
    size_t length = (size + HugePageBytes - 1) & ~(HugePageBytes - 1);
    Mapping taken = {nullptr, 0};
    std::lock_guard<std::mutex> hold(MappingsLock);
    // The smallest kept mapping that fits serves, if the block needs most of it.
    int best = -1;
    for (int i = 0; i < KeptSlots; i++) {
        size_t kept = KeptMappings[i].length;
        if (kept >= length && kept - length <= length / 4 &&
            (best < 0 || kept < KeptMappings[best].length)) {
            best = i;
        }
    }
    if (best >= 0) {
        taken = KeptMappings[best];
        for (int i = best; i + 1 < KeptSlots; i++) KeptMappings[i] = KeptMappings[i + 1];
        KeptMappings[KeptSlots - 1] = {nullptr, 0};
    } else {
        taken.start = MapAligned(length);
        taken.length = length;
        if (!taken.start) return nullptr;
    }
    try {
        if (!LiveMappings) LiveMappings = new std::vector<Mapping>();
        LiveMappings->push_back(taken);
    } catch (const std::bad_alloc&) {
        munmap(taken.start, taken.length);
        return nullptr;
    }
    // A kept mapping holds an earlier block's bytes (the part past `size` is nobody's).
    if (best >= 0) memset(taken.start, 0, size);
    return taken.start;
}

// Frees the block if it is a large one (true), keeping its mapping for the next large blocks.
bool FreeLargeBlock(void* block) {
    // Every large block starts on a huge-page boundary; most small ones do not, and skip the lock.
    if (((uintptr_t)block & (HugePageBytes - 1)) != 0) return false;
    Mapping released[KeptSlots + 1] = {};
    {
        std::lock_guard<std::mutex> hold(MappingsLock);
        if (!LiveMappings) return false;
        auto found = LiveMappings->begin();
        while (found != LiveMappings->end() && found->start != block) ++found;
        if (found == LiveMappings->end()) return false;
        Mapping freed = *found;
        *found = LiveMappings->back();
        LiveMappings->pop_back();
        // The freed one goes first; those that find no slot or no room within the bytes allowed
        // (the oldest, or one alone larger than that) are unmapped.
        int count = 0;
        size_t bytes = 0;
        Mapping kept[KeptSlots + 1];
        kept[0] = freed;
        for (int i = 0; i < KeptSlots; i++) kept[i + 1] = KeptMappings[i];
        for (int i = 0; i <= KeptSlots; i++) {
            if (kept[i].length == 0) continue;
            if (count < KeptSlots && bytes + kept[i].length <= KeptBytesMost) {
                bytes += kept[i].length;
                KeptMappings[count++] = kept[i];
            } else {
                released[i] = kept[i];
            }
        }
        for (int i = count; i < KeptSlots; i++) KeptMappings[i] = {nullptr, 0};
    }
    for (const Mapping& mapping : released) {
        if (mapping.start) munmap(mapping.start, mapping.length);
    }
    return true;
}

}  // namespace

void* VB_CALL AllocateBlock(uint32_t size) {
    if (size >= LargeBlockBytes && HugePagesAvailable()) {
        if (void* block = AllocateLargeBlock(size)) return block;
    }
    // A block of 0 bytes is valid and distinct from every other block.
    return calloc(1, size != 0 ? (size_t)size : 1);
}

void VB_CALL FreeBlock(void* block) {
    if (block && FreeLargeBlock(block)) return;
    free(block);
}
