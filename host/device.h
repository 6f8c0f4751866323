// The emulated device and registry that vbhost sets up for one run. The plug-ins probe the device
// when they are attached, so ApplyDeviceSettings runs before any plug-in is loaded (and before
// anything else asks the platform library).
#ifndef VB_HOST_DEVICE_H
#define VB_HOST_DEVICE_H

#include <stdint.h>

#include <string>

struct DeviceSettings {
    // Each value applies only when its flag is set; the rest come from the environment
    // (VB_DISPLAY_BITS, VB_SCREEN_WIDTH, VB_LANGUAGE, VB_SYSTEM_VERSION, VB_REGISTRY).
    bool setDisplayBits = false;
    int32_t displayBits = 0;
    bool setScreenWidth = false;
    int32_t screenWidth = 0;
    bool setLanguage = false;
    uint16_t language = 0;
    bool setSystemVersion = false;
    uint32_t versionMajor = 0;
    uint32_t versionMinor = 0;
    bool setRegistryFile = false;
    std::string registryFile;
    int32_t fullColor = -1;  // -1: as the registry says; 0 off; 1 on
    // "extended layouts": -1 on unless the registry file sets it (POSIX; on Windows as the
    // registry says); 0 off; 1 on.
    int32_t extendedLayouts = -1;
};

// Sets up the device, then the registry (ApplyRegistrySettings). False with the reason when that
// cannot be done:
// - POSIX: the device options become the VB_ environment variables that libvbplatform.so reads
//   at every query.
// - Windows: the device is the system's own; the device options are refused.
bool ApplyDeviceSettings(const DeviceSettings& settings, std::string* problem);

// The registry part, one implementation per system:
// - POSIX: the registry is a .reg file. A "full color" or "extended layouts" choice is written
//   into a temporary copy of the file in use, whose value of its own comes last and so holds;
//   "extended layouts" on goes in first, so that a value in the file holds over it (when no
//   copy can be written for that default alone, the registry stays as it is).
// - Windows: the registry is the system's. A "full color" choice is written under
//   HKEY_CURRENT_USER\Software\Velbrook\PlugIn for the run; a registry file cannot be used, nor
//   can "extended layouts" be chosen.
bool ApplyRegistrySettings(const DeviceSettings& settings, std::string* problem);

// Undoes what ApplyRegistrySettings changed (removes the temporary copy; on Windows puts the
// earlier "full color" value, or its absence, back). Safe to call more than once.
void RestoreRegistry();

#endif
