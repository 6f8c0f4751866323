#include "host/plugins.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "host/text.h"

std::string FindExecutableFolder() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    std::string executable(path, (size_t)length);
    size_t slash = executable.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return executable.substr(0, slash);
}

bool ListPluginFiles(const std::string& folder, std::vector<std::string>* names,
                     std::string* problem) {
    names->clear();
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        *problem = "cannot read " + folder + ": " + strerror(errno);
        return false;
    }
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        const std::string extension = ".spi";
        if (name.size() > extension.size() &&
            name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
            names->push_back(name);
        }
    }
    closedir(directory);
    std::sort(names->begin(), names->end());
    return true;
}

PluginModule LoadPluginModule(const std::string& folder, const std::string& fileName) {
    PluginModule plugin;
    plugin.fileName = fileName;
    plugin.path = folder + "/" + fileName;
    // A path without a slash would make dlopen search the library path instead of the folder.
    if (plugin.path.find('/') == std::string::npos) plugin.path = "./" + plugin.path;
    void* library = dlopen(plugin.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        plugin.loadProblem = reason ? reason : "cannot load";
        return plugin;
    }
    plugin.getPluginInfo = (GetPluginInfoFunction)dlsym(library, "GetPluginInfo");
    plugin.isSupported = (IsSupportedFunction)dlsym(library, "IsSupported");
    plugin.getPictureInfo = (GetPictureInfoFunction)dlsym(library, "GetPictureInfo");
    plugin.getPicture = (GetPictureFunction)dlsym(library, "GetPicture");
    plugin.getPreview = (GetPictureFunction)dlsym(library, "GetPreview");
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
