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

std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x80) {
            out.push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            out.push_back((char16_t)(((c & 0x1F) << 6) | (text[i + 1] & 0x3F)));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            out.push_back((char16_t)(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F)));
            i += 3;
        } else {
            out.push_back(u'?');
            i += 1;
        }
    }
    return out;
}
