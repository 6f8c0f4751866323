// What libvbplatform.so offers hosts beside the platform interface. The filters never include
// this header and never call these functions; a host finds them with dlsym, so that a platform
// library without them (the Windows one) only means the host goes without what they give.
#ifndef VB_PLATFORM_PLATFORM_HOST_H
#define VB_PLATFORM_PLATFORM_HOST_H

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

// While `size` is not 0, every file opened with OpenFileForReading that is shorter reads as if
// it went on to `size` bytes, the missing ones all `value`. A reader reads the bytes a file
// lacks as 0 and says nothing; decoding the picture again this way shows the host which rows
// came from bytes the file does not have. 0 switches it off.
VB_PLATFORM_API void VB_CALL ExtendShortFiles(uint32_t size, uint8_t value);
// Reads that came back with fewer bytes than asked, and moves counted from a file's end, over
// the whole process so far. A reader that met none of them cannot have read past an end, so the
// host need not decode the picture again.
VB_PLATFORM_API uint64_t VB_CALL CountFileEndsMet(void);

// The emulated registry reads its .reg file quietly: a line it cannot read is skipped, a file
// without regedit's header is an empty registry. A host that would rather refuse such a file asks
// the registry's own reader about it.
enum {
    REGISTRY_FILE_USABLE = 0,       // every line is a key, a value or a comment (or it is empty)
    REGISTRY_FILE_UNREADABLE = 1,   // `problem` gets the system's reason
    REGISTRY_FILE_SKIPS_LINES = 2,  // `problem` gets what is wrong: "line 4: ..." or the header
};
// Examines the .reg file at `path` (a UTF-8 name). `problem` (`size` bytes) gets the reason as
// UTF-8 text ended by 0, cut short to fit.
VB_PLATFORM_API int32_t VB_CALL ExamineRegistryFile(const char* path, char* problem, uint32_t size);
// The text of the .reg file at `path` as UTF-8, as the registry reads it (regedit's UTF-16 files
// converted, a byte-order mark dropped), into `text` of `size` bytes ended by 0. Returns the
// text's length, which may be larger than fits (ask with size 0 first), or -1 when the file
// cannot be read.
VB_PLATFORM_API int32_t VB_CALL ReadRegistryFileText(const char* path, char* text, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
