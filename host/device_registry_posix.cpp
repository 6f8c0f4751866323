// The device and registry of the POSIX stand-in come from the environment: vbhost's options set
// the VB_ variables that libvbplatform.so reads (the device at every query, VB_REGISTRY at every
// key open). The registry is a .reg file: a "full color" or "extended layouts" choice goes into a
// temporary copy of the file in use.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host/device.h"
#include "host/host_platform.h"
#include "platform/platform_host.h"

namespace {

std::string TemporaryRegistryPath;

// The registry file's text as the platform reads it, in UTF-8 (regedit's UTF-16 files
// converted), so that the copy can take the new value as UTF-8 text behind it.
bool ReadRegistryText(const std::string& path, std::string* contents, std::string* problem) {
    int32_t length = ReadRegistryFileText(path.c_str(), nullptr, 0);
    if (length >= 0) {
        contents->assign((size_t)length + 1, 0);
        length = ReadRegistryFileText(path.c_str(), &(*contents)[0], (uint32_t)length + 1);
    }
    if (length < 0 || (size_t)length + 1 != contents->size()) {
        *problem = "cannot read the registry file " + path;
        return false;
    }
    contents->pop_back();
    return true;
}

// The section that turns "extended layouts" on (or off).
std::string ExtendedLayoutsSection(bool on) {
    return std::string("\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n") +
           (on ? "\"extended layouts\"=dword:00000001\r\n"
               : "\"extended layouts\"=dword:00000000\r\n");
}

bool WriteFullColorRegistry(const DeviceSettings& settings, std::string* problem) {
    std::string base;
    if (settings.setRegistryFile) {
        base = settings.registryFile;
    } else if (const char* fromEnvironment = getenv("VB_REGISTRY")) {
        base = fromEnvironment;
    }
    std::string contents;
    if (!base.empty() && !ReadRegistryText(base, &contents, problem)) return false;
    // CheckRegistryFile has let only a file with regedit's header, or one holding nothing, pass.
    if (contents.find_first_not_of(" \t\r\n") == std::string::npos) contents = "REGEDIT4\r\n";
    if (contents.back() != '\n') contents += "\r\n";
    if (settings.extendedLayouts < 0) {
        // Right after the header line: a value of the file's own comes later and holds.
        const size_t header = contents.find('\n', contents.find_first_not_of(" \t\r\n"));
        contents.insert(header + 1, ExtendedLayoutsSection(true));
    } else {
        contents += ExtendedLayoutsSection(settings.extendedLayouts != 0);
    }
    if (settings.fullColor >= 0) {
        contents += "\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n";
        contents += settings.fullColor ? "\"full color\"=dword:00000001\r\n"
                                       : "\"full color\"=dword:00000000\r\n";
    }

    const char* folder = getenv("TMPDIR");
    std::string pattern = std::string(folder && *folder ? folder : "/tmp") + "/vbhost-XXXXXX.reg";
    std::string path = pattern;
    int descriptor = mkstemps(&path[0], 4);
    if (descriptor < 0) {
        *problem = "cannot create a registry file in " + pattern + ": " + strerror(errno);
        return false;
    }
    TemporaryRegistryPath = path;
    RemoveAtSignal(path);
    size_t written = 0;
    while (written < contents.size()) {
        ssize_t count = write(descriptor, contents.data() + written, contents.size() - written);
        if (count <= 0) {
            *problem = "cannot write the registry file " + path + ": " + strerror(errno);
            close(descriptor);
            RestoreRegistry();
            return false;
        }
        written += (size_t)count;
    }
    close(descriptor);
    setenv("VB_REGISTRY", path.c_str(), 1);
    return true;
}

}  // namespace

bool ApplyDeviceSettings(const DeviceSettings& settings, std::string* problem) {
    if (settings.setDisplayBits) {
        setenv("VB_DISPLAY_BITS", std::to_string(settings.displayBits).c_str(), 1);
    }
    if (settings.setScreenWidth) {
        setenv("VB_SCREEN_WIDTH", std::to_string(settings.screenWidth).c_str(), 1);
    }
    if (settings.setLanguage) setenv("VB_LANGUAGE", std::to_string(settings.language).c_str(), 1);
    if (settings.setSystemVersion) {
        std::string version =
            std::to_string(settings.versionMajor) + "." + std::to_string(settings.versionMinor);
        setenv("VB_SYSTEM_VERSION", version.c_str(), 1);
    }
    return ApplyRegistrySettings(settings, problem);
}

bool ApplyRegistrySettings(const DeviceSettings& settings, std::string* problem) {
    if (settings.fullColor >= 0 || settings.extendedLayouts >= 0) {
        return WriteFullColorRegistry(settings, problem);
    }
    // "extended layouts" on by default: without a copy the registry stays as it is.
    std::string ignored;
    if (WriteFullColorRegistry(settings, &ignored)) return true;
    if (settings.setRegistryFile) setenv("VB_REGISTRY", settings.registryFile.c_str(), 1);
    return true;
}

void RestoreRegistry() {
    if (TemporaryRegistryPath.empty()) return;
    unlink(TemporaryRegistryPath.c_str());
    RemoveAtSignal(std::string());
    TemporaryRegistryPath.clear();
}
