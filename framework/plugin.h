// The plug-in interface shared with the host: result codes, the picture information record,
// the progress notifier and the five exports. Hosts (vbhost, tests, fuzzers, benchmarks)
// include this header too.
#ifndef VB_FRAMEWORK_PLUGIN_H
#define VB_FRAMEWORK_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

#if defined(_WIN32)
#define VB_EXPORT
#else
#define VB_EXPORT __attribute__((visibility("default")))
#endif

enum : int32_t {
    RESULT_OK = 0,
    RESULT_NOT_IMPLEMENTED = -1,
    RESULT_ABORTED = 1,
    RESULT_UNKNOWN_FORMAT = 2,
    RESULT_BROKEN_DATA = 3,
    // 4 is never used.
    RESULT_MEMORY_ERROR = 5,
    RESULT_FILE_ERROR = 6,
};

// Packed, little-endian. The interface's 32-bit handle is pointer-sized here, so a 32-bit build
// has exactly 26 bytes with infoText at offset 22 and a 64-bit build 30 bytes.
#pragma pack(push, 1)
struct PictureInfoRecord {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t xDensity;
    uint16_t yDensity;
    int16_t colourDepth;
    uintptr_t infoText;  // local-heap block with the picture's text, 0 when there is none
};
#pragma pack(pop)
static_assert(offsetof(PictureInfoRecord, infoText) == 22, "infoText lies at offset 22");
static_assert(sizeof(PictureInfoRecord) == 22 + sizeof(uintptr_t), "record is packed");

// The host's progress callback: a non-zero answer after a row stops the decode.
typedef int32_t(VB_CALL* ProgressNotifier)(int32_t current, int32_t total, intptr_t userData);

// Sizes of the DIB header block pieces.
enum : uint32_t {
    BITMAPINFOHEADER_SIZE = 40,
    RGBQUAD_SIZE = 4,
    FULL_HEADER_BLOCK_SIZE = BITMAPINFOHEADER_SIZE + 256 * RGBQUAD_SIZE,  // 1064
};

extern "C" {
VB_EXPORT int32_t VB_CALL GetPluginInfo(int32_t infoNumber, char16_t* buffer, int32_t bufferLength);
VB_EXPORT int32_t VB_CALL IsSupported(const char16_t* fileName, uintptr_t fileHead);
VB_EXPORT int32_t VB_CALL GetPictureInfo(const char16_t* fileName, int32_t offset, uint32_t flags,
                                         PictureInfoRecord* info);
VB_EXPORT int32_t VB_CALL GetPicture(const char16_t* fileName, int32_t offset, uint32_t flags,
                                     void** headerSlot, void** bitsSlot,
                                     ProgressNotifier notifier, intptr_t userData);
VB_EXPORT int32_t VB_CALL GetPreview(const char16_t* fileName, int32_t offset, uint32_t flags,
                                     void** headerSlot, void** bitsSlot,
                                     ProgressNotifier notifier, intptr_t userData);
}

// Function-pointer types for hosts that look the exports up by name.
typedef int32_t(VB_CALL* GetPluginInfoFunction)(int32_t, char16_t*, int32_t);
typedef int32_t(VB_CALL* IsSupportedFunction)(const char16_t*, uintptr_t);
typedef int32_t(VB_CALL* GetPictureInfoFunction)(const char16_t*, int32_t, uint32_t,
                                                 PictureInfoRecord*);
typedef int32_t(VB_CALL* GetPictureFunction)(const char16_t*, int32_t, uint32_t, void**, void**,
                                             ProgressNotifier, intptr_t);

#endif
