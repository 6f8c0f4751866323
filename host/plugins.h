// The plug-ins as a viewer sees them: .spi files in a folder, loaded at run time, reached only
// through their five exports looked up by name.
#ifndef VB_HOST_PLUGINS_H
#define VB_HOST_PLUGINS_H

#include <string>
#include <vector>

#include "framework/plugin.h"

struct PluginModule {
    std::string fileName;  // "vbmag.spi"
    std::string path;
    void* library = nullptr;  // null when the module did not load; loadProblem says why
    std::string loadProblem;
    GetPluginInfoFunction getPluginInfo = nullptr;
    IsSupportedFunction isSupported = nullptr;
    GetPictureInfoFunction getPictureInfo = nullptr;
    GetPictureFunction getPicture = nullptr;
    GetPictureFunction getPreview = nullptr;
};

// Names of the *.spi files in `folder`, sorted, so that the order in which plug-ins are asked
// does not depend on the file system. False with the reason when the folder cannot be read.
bool ListPluginFiles(const std::string& folder, std::vector<std::string>* names,
                     std::string* problem);

// Loads one plug-in (attaching it, which runs its start-up probe) and finds its five exports.
// A module that lacks any of them is not used. Loaded modules stay loaded, as in a viewer.
PluginModule LoadPluginModule(const std::string& folder, const std::string& fileName);

// Information string `number` (0 to 3) as UTF-8; empty when the plug-in has none.
std::string ReadPluginInfoString(const PluginModule& plugin, int32_t number);

#endif
