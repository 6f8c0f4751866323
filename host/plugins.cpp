#include "host/plugins.h"

#include <algorithm>

#include "host/host_platform.h"
#include "host/text.h"

bool ListPluginFiles(const std::string& folder, std::vector<std::string>* names,
                     std::string* problem) {
    if (!ListPluginFileNames(folder, names, problem)) return false;
    std::sort(names->begin(), names->end());
    return true;
}

PluginModule LoadPluginModule(const std::string& folder, const std::string& fileName) {
    PluginModule plugin;
    plugin.fileName = fileName;
    plugin.path = JoinPath(folder, fileName);
    void* library = OpenLibrary(plugin.path, &plugin.loadProblem);
    if (!library) {
        if (plugin.loadProblem.empty()) plugin.loadProblem = "cannot load";
        return plugin;
    }
    plugin.getPluginInfo = (GetPluginInfoFunction)FindLibraryExport(library, "GetPluginInfo");
    plugin.isSupported = (IsSupportedFunction)FindLibraryExport(library, "IsSupported");
    plugin.getPictureInfo = (GetPictureInfoFunction)FindLibraryExport(library, "GetPictureInfo");
    plugin.getPicture = (GetPictureFunction)FindLibraryExport(library, "GetPicture");
    plugin.getPreview = (GetPictureFunction)FindLibraryExport(library, "GetPreview");
    if (!plugin.getPluginInfo || !plugin.isSupported || !plugin.getPictureInfo ||
        !plugin.getPicture || !plugin.getPreview) {
        plugin.loadProblem = "not a plug-in: it lacks some of the five exports";
        return plugin;  // left loaded: unloading a half-understood module is not worth the risk
    }
    plugin.library = library;
    return plugin;
}

std::string ReadPluginInfoString(const PluginModule& plugin, int32_t number) {
    char16_t buffer[512];
    const int32_t capacity = (int32_t)(sizeof(buffer) / sizeof(buffer[0]));
    int32_t length = plugin.getPluginInfo(number, buffer, capacity);
    // The count is the plug-in's word; the text cannot be longer than the buffer it was given.
    if (length <= 0) return std::string();
    if (length >= capacity) length = capacity - 1;
    return ConvertUtf16ToUtf8(buffer, (size_t)length);
}
