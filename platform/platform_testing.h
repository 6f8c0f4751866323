// The testing interface. The testing layer (platform/testing/) provides it in front of a
// platform backend; the test, fuzz and bench programs link the layer, the shipped libraries do
// not have it, and the filters never include this header.
//
// Without overrides every call goes to the backend: on POSIX the stand-in, whose device and
// registry come from environment variables read at every query (defaults: a desktop):
//   VB_DISPLAY_BITS    display bits per pixel            default 24
//   VB_SCREEN_WIDTH    screen width in pixels            default 640
//   VB_LANGUAGE        language identifier, 0x0411 style default 0x0409 (English, United States)
//   VB_SYSTEM_VERSION  major.minor, e.g. 2.00            default 2.00
//   VB_REGISTRY        path of a .reg file (REGEDIT4 or "Windows Registry Editor Version 5.00")
//                      holding HKEY_CURRENT_USER; unset: an empty registry
//   VB_LIBRARY_PATH    directories (':'-separated) searched first by LoadLibraryByName
//   VB_HUGE_PAGES      0: large blocks from the C library, not huge pages (read once)
// and on Windows the system itself. The functions below override them for the running process.
#ifndef VB_PLATFORM_PLATFORM_TESTING_H
#define VB_PLATFORM_PLATFORM_TESTING_H

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TestingDevice {
    int32_t displayBits;      // QueryDisplayBitsPerPixel
    int32_t screenWidth;      // QueryScreenWidth
    uint16_t language;        // QueryDefaultLanguage
    uint32_t versionMajor;    // QuerySystemVersion
    uint32_t versionMinor;
    int32_t versionQueryFails;  // non-zero: QuerySystemVersion answers 0
} TestingDevice;

// Blocks allocated and not yet freed, over the whole process.
VB_PLATFORM_API int64_t VB_CALL TestingLiveBlockCount(void);
// Size in bytes asked for when the block was allocated (a live block from AllocateBlock); -1 for
// null.
VB_PLATFORM_API int64_t VB_CALL TestingBlockSize(const void* block);
// Files opened and not yet closed, over the whole process.
VB_PLATFORM_API int64_t VB_CALL TestingOpenFileCount(void);
// Allocation and read calls made so far (for counting the steps of a decode).
VB_PLATFORM_API int64_t VB_CALL TestingAllocationCount(void);
VB_PLATFORM_API int64_t VB_CALL TestingReadCount(void);

// Fail the nth allocation / read call from now on (1 = the next one); 0 switches it off.
// Only that one call fails; later ones succeed again.
VB_PLATFORM_API void VB_CALL TestingFailAllocation(int64_t nth);
VB_PLATFORM_API void VB_CALL TestingFailRead(int64_t nth);
// Non-zero: every OpenFileForReading fails until switched off.
VB_PLATFORM_API void VB_CALL TestingFailOpen(int32_t fail);
// Refuse allocations above this many bytes (0: no limit); fuzzers cap memory with it.
VB_PLATFORM_API void VB_CALL TestingSetAllocationLimit(uint64_t bytes);

VB_PLATFORM_API void VB_CALL TestingGetDevice(TestingDevice* device);
VB_PLATFORM_API void VB_CALL TestingSetDevice(const TestingDevice* device);

// Points the emulated registry at a .reg file (read anew at every key open); null: empty.
// Returns 1; 0 where the call has no effect: on Windows, whose registry is the system's. Tests of
// settings kept in such a file skip themselves on that answer.
VB_PLATFORM_API int32_t VB_CALL TestingSetRegistryFile(const char* path);

// Serves the named file from memory: OpenFileForReading(name) then reads these bytes (copied)
// instead of the disk. A null `data` with size 0 removes the entry.
VB_PLATFORM_API void VB_CALL TestingServeFile(const char16_t* name, const void* data, size_t size);
VB_PLATFORM_API void VB_CALL TestingClearServedFiles(void);

// Non-zero: LoadLibraryByName fails for every name (as on a device without KJMAP.DLL).
VB_PLATFORM_API void VB_CALL TestingBlockLibraries(int32_t block);

// Puts every override back to the state the environment gives (device, registry, failures,
// served files, library blocking, allocation limit). Counters and live blocks are kept.
VB_PLATFORM_API void VB_CALL TestingReset(void);

#ifdef __cplusplus
}
#endif

#endif
