#include "platform_test_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

TemporaryFolder::TemporaryFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vbplatform.XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryFolder::Write(const std::string& name, const std::string& bytes) const {
    std::string full = path_ + "/" + name;
    FILE* file = fopen(full.c_str(), "wb");
    if (file) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    return full;
}
