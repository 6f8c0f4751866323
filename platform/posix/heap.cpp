// The local heap: zero-filled blocks from the C library's heap, shared by the plug-ins and the
// host through this one library.
#include <stdlib.h>

#include "posix_internal.h"

void* VB_CALL AllocateBlock(uint32_t size) {
    // A block of 0 bytes is valid and distinct from every other block.
    return calloc(1, size != 0 ? (size_t)size : 1);
}

void VB_CALL FreeBlock(void* block) {
    free(block);
}
