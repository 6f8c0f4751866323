// Temporary folders and files for the tests of the platform stand-in.
#ifndef VB_TESTS_PLATFORM_SUPPORT_H
#define VB_TESTS_PLATFORM_SUPPORT_H

#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes away.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    const std::string& path() const { return path_; }
    // Writes `bytes` to path()/name and gives the full path.
    std::string Write(const std::string& name, const std::string& bytes) const;

  private:
    std::string path_;
};

#endif
