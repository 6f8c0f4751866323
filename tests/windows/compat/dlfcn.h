// The few <dlfcn.h> calls that the shared test support makes (tests/support/decode_harness.cpp),
// on the Windows loader, so the same support code loads the .spi modules in the wine build.
// Only the mingw-w64 build puts this folder on the include path.
#ifndef VB_TESTS_WINDOWS_COMPAT_DLFCN_H
#define VB_TESTS_WINDOWS_COMPAT_DLFCN_H

#include <windows.h>

#include <string>

#define RTLD_LAZY 0x1
#define RTLD_NOW 0x2
#define RTLD_LOCAL 0x0
#define RTLD_GLOBAL 0x100

// UTF-8 path with either slash; a path that names a folder makes the loader look for the
// module's own imports (vbplatform.dll) beside it first.
inline void* dlopen(const char* path, int flags) {
    (void)flags;
    if (!path) return (void*)GetModuleHandleW(nullptr);
    int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide((size_t)units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], units);
    bool hasFolder = false;
    for (wchar_t& unit : wide) {
        if (unit == L'/') unit = L'\\';
        if (unit == L'\\') hasFolder = true;
    }
    return (void*)LoadLibraryExW(wide.c_str(), nullptr,
                                 hasFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
}

inline void* dlsym(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}

inline int dlclose(void* library) {
    return FreeLibrary((HMODULE)library) ? 0 : -1;
}

inline char* dlerror() {
    static char message[64];
    DWORD code = GetLastError();
    if (code == 0) return nullptr;
    wsprintfA(message, "Windows error %lu", code);
    SetLastError(0);
    return message;
}

#endif
