// The emulated device: what a desktop looks like unless the environment or a test says otherwise.
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "posix_internal.h"

static std::mutex DeviceLock;
static bool DeviceKnown = false;
static TestingDevice Device;

// A whole decimal number, or hexadecimal after "0x"; false for anything else.
static bool ParseNumber(const char* text, bool allowHex, uint64_t* value) {
    if (!text || !*text) return false;
    int base = 10;
    if (allowHex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    uint64_t result = 0;
    for (; *text; text++) {
        int digit;
        char c = *text;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu) return false;
    }
    *value = result;
    return true;
}

// "2.00" gives 2 and 0, "2.1" gives 2 and 1, "1.01" gives 1 and 1.
static bool ParseVersion(const char* text, uint32_t* major, uint32_t* minor) {
    if (!text) return false;
    const char* dot = strchr(text, '.');
    std::string left = dot ? std::string(text, dot - text) : std::string(text);
    uint64_t high, low = 0;
    if (!ParseNumber(left.c_str(), false, &high)) return false;
    if (dot && !ParseNumber(dot + 1, false, &low)) return false;
    *major = (uint32_t)high;
    *minor = (uint32_t)low;
    return true;
}

static TestingDevice ReadDeviceFromEnvironment() {
    TestingDevice device;
    device.displayBits = 24;
    device.screenWidth = 640;
    device.language = 0x0409;
    device.versionMajor = 2;
    device.versionMinor = 0;
    device.versionQueryFails = 0;
    uint64_t value;
    if (ParseNumber(getenv("VB_DISPLAY_BITS"), false, &value) && value <= 0x7FFFFFFF) {
        device.displayBits = (int32_t)value;
    }
    if (ParseNumber(getenv("VB_SCREEN_WIDTH"), false, &value) && value <= 0x7FFFFFFF) {
        device.screenWidth = (int32_t)value;
    }
    if (ParseNumber(getenv("VB_LANGUAGE"), true, &value) && value <= 0xFFFF) {
        device.language = (uint16_t)value;
    }
    uint32_t major, minor;
    if (ParseVersion(getenv("VB_SYSTEM_VERSION"), &major, &minor)) {
        device.versionMajor = major;
        device.versionMinor = minor;
    }
    return device;
}

TestingDevice CurrentDevice() {
    std::lock_guard<std::mutex> hold(DeviceLock);
    if (!DeviceKnown) {
        Device = ReadDeviceFromEnvironment();
        DeviceKnown = true;
    }
    return Device;
}

void ResetDevice() {
    std::lock_guard<std::mutex> hold(DeviceLock);
    Device = ReadDeviceFromEnvironment();
    DeviceKnown = true;
}

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    TestingDevice device = CurrentDevice();
    if (device.versionQueryFails != 0) return 0;
    if (major) *major = device.versionMajor;
    if (minor) *minor = device.versionMinor;
    return 1;
}

int32_t VB_CALL QueryScreenWidth(void) {
    return CurrentDevice().screenWidth;
}

uint16_t VB_CALL QueryDefaultLanguage(void) {
    return CurrentDevice().language;
}

int32_t VB_CALL QueryDisplayBitsPerPixel(void) {
    return CurrentDevice().displayBits;
}

void VB_CALL TestingGetDevice(TestingDevice* device) {
    if (device) *device = CurrentDevice();
}

void VB_CALL TestingSetDevice(const TestingDevice* device) {
    if (!device) return;
    std::lock_guard<std::mutex> hold(DeviceLock);
    Device = *device;
    DeviceKnown = true;
}
