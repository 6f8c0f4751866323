// The five exports. They check the arguments the host passes and hand everything else to the
// filter's own operations (ThisFormat), returning their answers unchanged.
#include "framework/bytes.h"
#include "framework/entry.h"
#include "framework/format.h"
#include "framework/plugin.h"
#include "framework/resources.h"

// The picture's position in the file as the filter reads it: TGA and PCX files hold one picture
// from their first byte, whatever offset the host passes.
static int32_t PictureOffset(int32_t offset) {
    return ThisFormat.readsAtOffset ? offset : 0;
}

// Only input kind 0 (the first argument names a file) is served; memory input is not.
static int32_t IsFileInput(uint32_t flags) {
    return (flags & 7) == 0;
}

extern "C" {

VB_EXPORT int32_t VB_CALL GetPluginInfo(int32_t infoNumber, char16_t* buffer,
                                        int32_t bufferLength) {
    // Unsigned arithmetic: any information number maps to some id without overflow.
    uint32_t id = (uint32_t)infoNumber + PLUGIN_STRING_BASE;
    if (buffer != nullptr && bufferLength != 0) {
        return LoadStringResource(PluginInstance, id, buffer, bufferLength);
    }
    // Without a buffer the host asks for the resource itself. String resources live in blocks of
    // sixteen named by block number, so this finds nothing for the strings we carry.
    const void* resource = FindModuleResource(PluginInstance, PLATFORM_RT_STRING, id & 0xFFFF);
    if (resource == nullptr) return 0;
    return (int32_t)LoadModuleResource(PluginInstance, resource);
}

VB_EXPORT int32_t VB_CALL IsSupported(const char16_t* fileName, uintptr_t fileHead) {
    // A value below 0x10000 is a file handle, not the address of the file's first bytes.
    if (fileHead < 0x10000) return RESULT_NOT_IMPLEMENTED;
    return ThisFormat.acceptPicture(fileName, (const uint8_t*)fileHead);
}

VB_EXPORT int32_t VB_CALL GetPictureInfo(const char16_t* fileName, int32_t offset, uint32_t flags,
                                         PictureInfoRecord* info) {
    if (!IsFileInput(flags)) return RESULT_NOT_IMPLEMENTED;
    ClearPictureInfo(info);
    return ThisFormat.readPictureInfo(fileName, PictureOffset(offset), info);
}

VB_EXPORT int32_t VB_CALL GetPicture(const char16_t* fileName, int32_t offset, uint32_t flags,
                                     void** headerSlot, void** bitsSlot, ProgressNotifier notifier,
                                     intptr_t userData) {
    if (!IsFileInput(flags)) return RESULT_NOT_IMPLEMENTED;
    return ThisFormat.decodePicture(fileName, PictureOffset(offset), headerSlot, bitsSlot, notifier,
                                    userData);
}

// The preview is the whole picture: the filters have no cheaper reduced decode.
VB_EXPORT int32_t VB_CALL GetPreview(const char16_t* fileName, int32_t offset, uint32_t flags,
                                     void** headerSlot, void** bitsSlot, ProgressNotifier notifier,
                                     intptr_t userData) {
    return GetPicture(fileName, offset, flags, headerSlot, bitsSlot, notifier, userData);
}

}  // extern "C"
