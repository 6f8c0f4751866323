// A .reg file written for one test and pointed at by the emulated registry. Where the registry
// is the system's own (Windows) the file has no effect: InEffect() says so, and the test skips
// with SystemRegistryReason.
#ifndef VB_TESTS_FRAMEWORK_REGISTRY_FILE_H
#define VB_TESTS_FRAMEWORK_REGISTRY_FILE_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/platform_testing.h"

class RegistryFile {
  public:
    // `values` are the lines of the [HKEY_CURRENT_USER\Software\Velbrook] section.
    explicit RegistryFile(const std::string& values, const std::string& plugInValues = "") {
        char pattern[] = "/tmp/vb_framework_registry_XXXXXX";
        int descriptor = mkstemp(pattern);
        path_ = pattern;
        std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Velbrook]\n" + values +
                           "\n\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n" + plugInValues +
                           "\n";
        if (descriptor >= 0) {
            ssize_t written = write(descriptor, text.data(), text.size());
            (void)written;
            close(descriptor);
        }
        inEffect_ = TestingSetRegistryFile(path_.c_str()) != 0;
    }
    ~RegistryFile() {
        TestingSetRegistryFile(nullptr);
        unlink(path_.c_str());
    }
    bool InEffect() const { return inEffect_; }
    RegistryFile(const RegistryFile&) = delete;
    RegistryFile& operator=(const RegistryFile&) = delete;

  private:
    std::string path_;
    bool inEffect_ = false;
};

inline const char* const SystemRegistryReason =
    "the registry is the system's own here, so a .reg file has no effect; windows_registry_tests "
    "covers the same values in the real registry";

#endif
