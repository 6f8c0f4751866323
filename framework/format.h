// The three format operations that each filter supplies to the shared exports, and the
// filter's own string table. Every deliverable defines exactly one `ThisFormat` and one
// `ThisModuleResources` (see resources.h).
#ifndef VB_FRAMEWORK_FORMAT_H
#define VB_FRAMEWORK_FORMAT_H

#include "framework/plugin.h"

struct FormatOperations {
    // Acceptance test: 1 when the filter reads the file, else 0. `fileHead` holds the first
    // bytes of the file (the host's buffer); filters that go by the name do not read it.
    int32_t (*acceptPicture)(const char16_t* fileName, const uint8_t* fileHead);
    // Picture-information reader; `offset` is the picture's position in the file. The record
    // has been cleared; the reader stores into it only on success.
    int32_t (*readPictureInfo)(const char16_t* fileName, int32_t offset, PictureInfoRecord* info);
    // Decoder.
    int32_t (*decodePicture)(const char16_t* fileName, int32_t offset, void** headerSlot,
                             void** bitsSlot, ProgressNotifier notifier, intptr_t userData);
    // Non-zero when pictures may lie inside a larger file at the host's offset; otherwise the
    // readers are handed offset 0 and read the file from its first byte.
    int32_t readsAtOffset;
};

extern const FormatOperations ThisFormat;

#endif
