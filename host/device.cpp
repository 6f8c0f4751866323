#include "host/device.h"

#include "platform/platform_testing.h"

bool ApplyDeviceSettings(const DeviceSettings& settings, std::string* problem) {
    // Only an override is set: on Windows setting the device fixes every query to the value given.
    if (settings.setDisplayBits || settings.setScreenWidth || settings.setLanguage ||
        settings.setSystemVersion) {
        TestingDevice device;
        TestingGetDevice(&device);
        if (settings.setDisplayBits) device.displayBits = settings.displayBits;
        if (settings.setScreenWidth) device.screenWidth = settings.screenWidth;
        if (settings.setLanguage) device.language = settings.language;
        if (settings.setSystemVersion) {
            device.versionMajor = settings.versionMajor;
            device.versionMinor = settings.versionMinor;
        }
        TestingSetDevice(&device);
    }
    return ApplyRegistrySettings(settings, problem);
}
