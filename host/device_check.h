// Checks of the emulated device and registry a run would use, made before anything is set up.
// libvbplatform.so reads the VB_ variables and the registry file quietly: a value it cannot read
// leaves its default, a line it cannot read is skipped. vbhost refuses them instead, so that a
// typing error does not go unnoticed; it reads them with the platform's own number parser and
// asks the platform's registry reader about the file, so the two cannot disagree. Whether the
// options reach the platform through the environment or otherwise, the checks look at what the user
// gave: the variables that no option overrides, and the registry file of --registry or VB_REGISTRY.
#ifndef VB_HOST_DEVICE_CHECK_H
#define VB_HOST_DEVICE_CHECK_H

#include <string>

#include "host/device.h"

// False with the reason when a VB_ variable that no option overrides holds a value that its
// option would refuse (VB_DISPLAY_BITS=abc, VB_LANGUAGE=japanese). An empty variable counts as
// unset. On Windows the device is the system's and the variables do not apply.
bool CheckDeviceVariables(const DeviceSettings& settings, std::string* problem);

// False with the reason when the registry file in use (--registry, else VB_REGISTRY) cannot be
// read, is not in regedit's text format, or has a line that is neither a key, a value nor a
// comment. On Windows the registry is the system's.
bool CheckRegistryFile(const DeviceSettings& settings, std::string* problem);

#endif
