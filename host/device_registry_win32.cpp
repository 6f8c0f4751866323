// On Windows the plug-ins read the system's registry. A "full color" choice is written into
// HKEY_CURRENT_USER\Software\Velbrook\PlugIn for the run, and what was there before (a value of
// any type, or none, and keys that did not exist) is put back by RestoreRegistry at exit. Two
// runs at the same time with different choices would see each other's value.
#include <windows.h>

#include <vector>

#include "host/device.h"

namespace {

const wchar_t* const VendorKeyPath = L"Software\\Velbrook";
const wchar_t* const SettingsKeyPath = L"Software\\Velbrook\\PlugIn";
const wchar_t* const FullColorName = L"full color";

struct SavedSetting {
    bool changed = false;
    bool valueExisted = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool madeVendorKey = false;
    bool madeSettingsKey = false;
};

SavedSetting Saved;

bool KeyExists(const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The value as it is now; false when it cannot be read (absent is not a failure).
bool ReadEarlierValue(HKEY key, SavedSetting* saved) {
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, FullColorName, nullptr, &saved->type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    // The value may grow between the two calls; ask again until it fits.
    for (int attempt = 0; attempt < 4; ++attempt) {
        saved->data.resize(size);
        status = RegQueryValueExW(key, FullColorName, nullptr, &saved->type,
                                  saved->data.empty() ? nullptr : saved->data.data(), &size);
        if (status == ERROR_SUCCESS) {
            saved->data.resize(size);
            saved->valueExisted = true;
            return true;
        }
        if (status != ERROR_MORE_DATA) return false;
    }
    return false;
}

std::string DescribeRegistryError(LONG status) {
    return "cannot set \"full color\" under HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn (error " +
           std::to_string(status) + ")";
}

}  // namespace

bool ApplyDeviceSettings(const DeviceSettings& settings, std::string* problem) {
    if (settings.setDisplayBits || settings.setScreenWidth || settings.setLanguage ||
        settings.setSystemVersion) {
        *problem =
            "--display-bits, --screen-width, --language and --system-version are not available "
            "on Windows: the plug-ins ask the system for its device";
        return false;
    }
    return ApplyRegistrySettings(settings, problem);
}

bool ApplyRegistrySettings(const DeviceSettings& settings, std::string* problem) {
    if (settings.setRegistryFile) {
        *problem =
            "--registry is not available on Windows: the plug-ins read the system's registry "
            "(HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn)";
        return false;
    }
    if (settings.extendedLayouts >= 0) {
        *problem =
            "--extended-layouts is not available on Windows: the plug-ins read \"extended "
            "layouts\" from the system's registry (HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn)";
        return false;
    }
    if (settings.fullColor < 0) return true;
    SavedSetting saved;
    saved.madeVendorKey = !KeyExists(VendorKeyPath);
    saved.madeSettingsKey = !KeyExists(SettingsKeyPath);
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, SettingsKeyPath, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        *problem = DescribeRegistryError(status);
        return false;
    }
    if (!ReadEarlierValue(key, &saved)) {
        RegCloseKey(key);
        *problem = "cannot read the earlier \"full color\" value, so it could not be put back";
        return false;
    }
    DWORD value = settings.fullColor ? 1 : 0;
    status = RegSetValueExW(key, FullColorName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value));
    RegCloseKey(key);
    saved.changed = true;
    Saved = saved;
    if (status != ERROR_SUCCESS) {
        RestoreRegistry();
        *problem = DescribeRegistryError(status);
        return false;
    }
    return true;
}

void RestoreRegistry() {
    if (!Saved.changed) return;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKeyPath, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        if (Saved.valueExisted) {
            RegSetValueExW(key, FullColorName, 0, Saved.type,
                           Saved.data.empty() ? nullptr : Saved.data.data(),
                           (DWORD)Saved.data.size());
        } else {
            RegDeleteValueW(key, FullColorName);
        }
        RegCloseKey(key);
    }
    // Keys made for the run go again; RegDeleteKeyW leaves a key that has gained subkeys.
    if (Saved.madeSettingsKey) RegDeleteKeyW(HKEY_CURRENT_USER, SettingsKeyPath);
    if (Saved.madeVendorKey) RegDeleteKeyW(HKEY_CURRENT_USER, VendorKeyPath);
    Saved = SavedSetting();
}
