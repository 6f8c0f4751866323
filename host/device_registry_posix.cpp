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
#include "host/text.h"

namespace {

std::string TemporaryRegistryPath;

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* problem) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *problem = "cannot read the registry file " + path + ": " + strerror(errno);
        return false;
    }
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) contents->append(buffer, count);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *problem = "cannot read the registry file " + path;
        return false;
    }
    return true;
}

// regedit writes version 5 files in UTF-16; the copy is written as UTF-8 text, so a UTF-16 file
// is turned into UTF-8 before the new value is appended to it.
std::string ConvertRegistryTextToUtf8(const std::string& contents) {
    if (contents.size() >= 2 && (unsigned char)contents[0] == 0xFF &&
        (unsigned char)contents[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < contents.size(); i += 2) {
            wide.push_back(
                (char16_t)((unsigned char)contents[i] | ((unsigned char)contents[i + 1] << 8)));
        }
        return ConvertUtf16ToUtf8(wide.data(), wide.size());
    }
    if (contents.size() >= 3 && contents.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return contents.substr(3);
    }
    return contents;
}

// The platform reads a file whose first non-empty line is not one of regedit's headers as an
// empty registry; the copy does the same, so that the value added to it still counts.
bool HasRegistryHeader(const std::string& contents) {
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string line = contents.substr(start, end - start);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos) {
            line = line.substr(first);
            return line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00";
        }
        start = end + 1;
    }
    return false;
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
    if (!base.empty()) {
        if (!ReadWholeFile(base, &contents, problem)) return false;
        contents = ConvertRegistryTextToUtf8(contents);
    }
    if (!HasRegistryHeader(contents)) contents = "REGEDIT4\r\n";
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
    TemporaryRegistryPath.clear();
}
