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

#ifdef __cplusplus
}
#endif

#endif
