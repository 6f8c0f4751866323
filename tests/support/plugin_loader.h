// Loads a built .spi at run time and finds its exports by name, as a host does; for the suites
// not on the decode harness (decode_harness.h) yet.
#ifndef VB_TESTS_SUPPORT_PLUGIN_LOADER_H
#define VB_TESTS_SUPPORT_PLUGIN_LOADER_H

#include <string>

#include "framework/plugin.h"

struct LoadedPlugin {
    void* library = nullptr;
    GetPluginInfoFunction getPluginInfo = nullptr;
    IsSupportedFunction isSupported = nullptr;
    GetPictureInfoFunction getPictureInfo = nullptr;
    GetPictureFunction getPicture = nullptr;
    GetPictureFunction getPreview = nullptr;
};

// Path of a plug-in in the build tree: PluginPath("vbmag") gives ".../bin/vbmag.spi".
std::string PluginPath(const std::string& name);
// Loads the plug-in (kept loaded for the rest of the process, like a viewer keeps it) and
// resolves the five exports; library is null when dlopen failed.
LoadedPlugin LoadPlugin(const std::string& path);

// UTF-8 to UTF-16 (in decode_harness.cpp).
std::u16string Utf16(const std::string& text);

#endif
