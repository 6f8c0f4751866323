#include "host/device_check.h"

#include <stdlib.h>
#include <string.h>

#include "platform/number_text.h"
#include "platform/platform_host.h"

#ifdef _WIN32

// On Windows the device and the registry are the system's: the user gave nothing to check.
bool CheckDeviceVariables(const DeviceSettings&, std::string*) {
    return true;
}

bool CheckRegistryFile(const DeviceSettings&, std::string*) {
    return true;
}

#else

namespace {

// The variable's value, or empty when it is unset or empty.
std::string ReadVariable(const char* name) {
    const char* value = getenv(name);
    return value ? std::string(value) : std::string();
}

std::string DescribeVariable(const char* name, const std::string& value, const char* wanted) {
    return std::string(name) + " is '" + value + "', which is not " + wanted +
           " (unset it to get the default)";
}

}  // namespace

bool CheckDeviceVariables(const DeviceSettings& settings, std::string* problem) {
    struct Variable {
        const char* name;
        bool overridden;
        const char* wanted;
    };
    const Variable variables[] = {
        {"VB_DISPLAY_BITS", settings.setDisplayBits, "a number of bits from 1 to 32"},
        {"VB_SCREEN_WIDTH", settings.setScreenWidth, "a number of pixels from 1 to 65535"},
        {"VB_LANGUAGE", settings.setLanguage, "a language identifier such as 0x0411 or 1041"},
        {"VB_SYSTEM_VERSION", settings.setSystemVersion, "a version such as 2.00"},
    };
    for (const Variable& variable : variables) {
        std::string value = ReadVariable(variable.name);
        if (variable.overridden || value.empty()) continue;
        bool readable = false;
        uint64_t number;
        uint32_t major, minor;
        if (strcmp(variable.name, "VB_DISPLAY_BITS") == 0) {
            readable = ParseNumberText(value.c_str(), false, 1, 32, &number);
        } else if (strcmp(variable.name, "VB_SCREEN_WIDTH") == 0) {
            readable = ParseNumberText(value.c_str(), false, 1, 65535, &number);
        } else if (strcmp(variable.name, "VB_LANGUAGE") == 0) {
            readable = ParseNumberText(value.c_str(), true, 0, 0xFFFF, &number);
        } else {
            readable = ParseVersionText(value.c_str(), 255, 99, &major, &minor);
        }
        if (!readable) {
            *problem = DescribeVariable(variable.name, value, variable.wanted);
            return false;
        }
    }
    return true;
}

bool CheckRegistryFile(const DeviceSettings& settings, std::string* problem) {
    std::string path =
        settings.setRegistryFile ? settings.registryFile : ReadVariable("VB_REGISTRY");
    if (path.empty()) return true;
    const char* from = settings.setRegistryFile ? "" : " (VB_REGISTRY)";
    // The registry's own reader says what it would skip.
    char reason[512];
    int32_t verdict = ExamineRegistryFile(path.c_str(), reason, sizeof(reason));
    if (verdict == REGISTRY_FILE_UNREADABLE) {
        *problem = "cannot read the registry file " + path + from + ": " + reason;
        return false;
    }
    if (verdict != REGISTRY_FILE_USABLE) {
        *problem = "the registry file " + path + from + " cannot be used: " + reason;
        return false;
    }
    return true;
}

#endif
