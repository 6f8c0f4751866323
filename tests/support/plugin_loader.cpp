#include "plugin_loader.h"

#include <dlfcn.h>

std::string PluginPath(const std::string& name) { return std::string(VB_PLUGIN_DIR) + "/" + name + ".spi"; }

LoadedPlugin LoadPlugin(const std::string& path) {
    LoadedPlugin plugin;
    plugin.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin.library) return plugin;
    plugin.getPluginInfo = (GetPluginInfoFunction)dlsym(plugin.library, "GetPluginInfo");
    plugin.isSupported = (IsSupportedFunction)dlsym(plugin.library, "IsSupported");
    plugin.getPictureInfo = (GetPictureInfoFunction)dlsym(plugin.library, "GetPictureInfo");
    plugin.getPicture = (GetPictureFunction)dlsym(plugin.library, "GetPicture");
    plugin.getPreview = (GetPictureFunction)dlsym(plugin.library, "GetPreview");
    return plugin;
}
