// Libraries by name, searched the way the plug-ins expect on the handheld: first where the
// environment points, then beside this library (where the plug-ins and KJMAP.DLL are
// installed), then on the normal search path.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "posix_internal.h"

static void* OpenLibraryFile(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

static std::string DirectoryOfThisLibrary() {
    // The address of a routine of this file that nothing outside can take the place of (an
    // exported one may be another library's definition of the same name).
    Dl_info info;
    if (dladdr((void*)&OpenLibraryFile, &info) == 0 || !info.dli_fname) return std::string();
    std::string path(info.dli_fname);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

PlatformLibrary VB_CALL LoadLibraryByName(const char16_t* name) {
    std::string file;
    if (!ConvertNameToUtf8(name, &file) || file.empty()) return nullptr;
    if (file.find('/') != std::string::npos) return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);

    if (const char* searchPath = getenv("VB_LIBRARY_PATH")) {
        std::string directories(searchPath);
        size_t start = 0;
        while (start <= directories.size()) {
            size_t end = directories.find(':', start);
            if (end == std::string::npos) end = directories.size();
            if (end > start) {
                if (void* library =
                        OpenLibraryFile(directories.substr(start, end - start) + "/" + file)) {
                    return library;
                }
            }
            start = end + 1;
        }
    }
    std::string home = DirectoryOfThisLibrary();
    if (!home.empty()) {
        if (void* library = OpenLibraryFile(home + "/" + file)) return library;
    }
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* VB_CALL FindLibrarySymbol(PlatformLibrary library, const char16_t* name) {
    if (!library || !name) return nullptr;
    std::string symbol;
    for (size_t i = 0; name[i] != 0; i++) {
        if (name[i] >= 0x80) return nullptr;  // export names are ASCII
        symbol.push_back((char)name[i]);
    }
    if (symbol.empty()) return nullptr;
    return dlsym(library, symbol.c_str());
}
