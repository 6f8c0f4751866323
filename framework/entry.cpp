// Process attach and the file-name extension test shared by the filters that accept by name.
#include "framework/entry.h"

#include "framework/environment.h"
#include "framework/resources.h"

PlatformInstance PluginInstance = nullptr;

enum : uint32_t { REASON_PROCESS_ATTACH = 1 };

int32_t LibraryEntry(PlatformInstance instance, uint32_t reason, void* reserved) {
    (void)reserved;
    if (reason == REASON_PROCESS_ATTACH) {
        PluginInstance = instance;
        ProbeEnvironment();
    }
    // Nothing at detach: what attach set up (KJMAP.DLL included) stays until unload.
    return 1;
}

static char16_t FoldAsciiCase(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') ? (char16_t)(unit - u'A' + u'a') : unit;
}

static uint32_t MeasureText(const char16_t* text) {
    uint32_t length = 0;
    while (text[length] != 0) length++;
    return length;
}

int32_t EndsWithExtension(const char16_t* fileName, const char16_t* extension) {
    if (fileName == nullptr || extension == nullptr) return 0;
    uint32_t nameLength = MeasureText(fileName);
    uint32_t extensionLength = MeasureText(extension);
    // A name that is only the extension (".tga") names no picture.
    if (nameLength <= extensionLength) return 0;
    // Pattern strings are in capitals ("*.TGA") and names on the device come in either case.
    const char16_t* tail = fileName + (nameLength - extensionLength);
    for (uint32_t i = 0; i < extensionLength; i++) {
        if (FoldAsciiCase(tail[i]) != FoldAsciiCase(extension[i])) return 0;
    }
    return 1;
}

#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    LibraryEntry((PlatformInstance)instance, (uint32_t)reason, reserved);
    return TRUE;
}
#else
// The POSIX loader has no entry routine with a reason; a constructor stands in for process
// attach and hands over this module's string table as its instance.
__attribute__((constructor)) static void AttachThisModule() {
    LibraryEntry(&ThisModuleResources, REASON_PROCESS_ATTACH, nullptr);
}
#endif
