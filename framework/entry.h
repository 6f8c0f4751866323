// Process attach and the shared acceptance helper.
#ifndef VB_FRAMEWORK_ENTRY_H
#define VB_FRAMEWORK_ENTRY_H

#include "framework/plugin.h"

// This library's own module instance, stored at process attach; null before.
extern PlatformInstance PluginInstance;

// Called by the platform at attach (DllMain on Windows, an ELF constructor on POSIX).
// Reason 1 is process attach: stores the instance and runs ProbeEnvironment. Always 1.
int32_t LibraryEntry(PlatformInstance instance, uint32_t reason, void* reserved);

// 1 when `fileName` is longer than `extension` and ends with it, ASCII letters compared without
// regard to case; 0 otherwise, and for a null name or extension.
int32_t EndsWithExtension(const char16_t* fileName, const char16_t* extension);

#endif
