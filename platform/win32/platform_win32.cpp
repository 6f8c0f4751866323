// The platform operations on the real Windows API, built as vbplatform.dll so that the plug-ins
// and the host share one local heap. Each operation is one call into the system; the registry,
// the string resources, the device and the code page are the system's own.
#include <string.h>
#include <windows.h>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is handed to the W functions");
static_assert(sizeof(OSVERSIONINFOW) == 276, "the version record is the 276-byte one");

static const wchar_t* AsWide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
static wchar_t* AsWide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

// ---- Modules and their string resources -------------------------------------------------------

int32_t VB_CALL LoadStringResource(PlatformInstance instance, uint32_t id, char16_t* buffer,
                                   int32_t capacity) {
    // LoadStringW with a capacity of 0 hands out a pointer into the resource instead of a copy.
    if (!buffer || capacity < 1 || id > 0xFFFF) return 0;
    if (capacity == 1) {
        // Room for the terminator alone, which the system's LoadStringW may then not write.
        const wchar_t* text = nullptr;
        if (LoadStringW((HINSTANCE)instance, id, (LPWSTR)&text, 0) > 0) buffer[0] = 0;
        return 0;
    }
    return LoadStringW((HINSTANCE)instance, id, AsWide(buffer), capacity);
}

const void* VB_CALL FindModuleResource(PlatformInstance instance, uint32_t type, uint32_t name) {
    // Integer names only: a value above 16 bits would be taken for the address of a text name.
    if (type > 0xFFFF || name > 0xFFFF) return nullptr;
    return FindResourceW((HMODULE)instance, MAKEINTRESOURCEW(name), MAKEINTRESOURCEW(type));
}

uint32_t VB_CALL LoadModuleResource(PlatformInstance instance, const void* resource) {
    if (!resource) return 0;
    HRSRC found = (HRSRC)resource;
    if (!LoadResource((HMODULE)instance, found)) return 0;
    return SizeofResource((HMODULE)instance, found);
}

// ---- Files ------------------------------------------------------------------------------------

PlatformFile VB_CALL OpenFileForReading(const char16_t* name) {
    if (!name) return nullptr;
    HANDLE file = CreateFileW(AsWide(name), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : (PlatformFile)file;
}

int32_t VB_CALL ReadFileBytes(PlatformFile file, void* buffer, uint32_t count,
                              uint32_t* delivered) {
    if (delivered) *delivered = 0;
    if (!file || !delivered || (!buffer && count != 0)) return 0;
    DWORD got = 0;
    BOOL done = ReadFile((HANDLE)file, buffer, count, &got, nullptr);
    *delivered = got;
    return done ? 1 : 0;
}

uint32_t VB_CALL SetFilePosition(PlatformFile file, int32_t distance, int32_t origin) {
    if (!file || origin < PLATFORM_SEEK_BEGIN || origin > PLATFORM_SEEK_END) {
        return PLATFORM_INVALID_POSITION;
    }
    static_assert(PLATFORM_SEEK_BEGIN == FILE_BEGIN && PLATFORM_SEEK_CURRENT == FILE_CURRENT &&
                      PLATFORM_SEEK_END == FILE_END,
                  "the origins are the system's");
    // Without the high half a move below 0 fails and leaves the position where it was.
    return SetFilePointer((HANDLE)file, distance, nullptr, (DWORD)origin);
}

void VB_CALL CloseFile(PlatformFile file) {
    if (file) CloseHandle((HANDLE)file);
}

// ---- Local heap -------------------------------------------------------------------------------

void* VB_CALL AllocateBlock(uint32_t size) {
    // LMEM_FIXED (0): the handle is the block's address. A fixed block of 0 bytes is valid; the
    // fallback only guards against a heap that answers null for it.
    HLOCAL block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size);
    if (!block && size == 0) block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 1);
    return block;
}

void VB_CALL FreeBlock(void* block) {
    if (block) LocalFree((HLOCAL)block);
}

// ---- Device -----------------------------------------------------------------------------------

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version)) return 0;
    if (major) *major = version.dwMajorVersion;
    if (minor) *minor = version.dwMinorVersion;
    return 1;
}

int32_t VB_CALL QueryScreenWidth(void) {
    return GetSystemMetrics(SM_CXSCREEN);
}

uint16_t VB_CALL QueryDefaultLanguage(void) {
    return GetSystemDefaultLangID();
}

int32_t VB_CALL QueryDisplayBitsPerPixel(void) {
    HDC screen = GetDC(nullptr);
    if (!screen) return 0;
    int32_t bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bits;
}

// ---- Registry ---------------------------------------------------------------------------------

// The interface writes the predefined keys as their 32-bit values; a 64-bit system spells them
// sign-extended (HKEY_CURRENT_USER is 0xFFFFFFFF80000001 there).
static HKEY SystemKey(PlatformRegistryKey key) {
    uintptr_t value = (uintptr_t)key;
    if (value >= 0x80000000u && value <= 0x800000FFu) {
        return (HKEY)(intptr_t)(int32_t)(uint32_t)value;
    }
    return (HKEY)key;
}

int32_t VB_CALL OpenRegistryKey(PlatformRegistryKey root, const char16_t* path, uint32_t options,
                                uint32_t access, PlatformRegistryKey* key) {
    if (!key) return PLATFORM_ERROR_INVALID_PARAMETER;
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(SystemKey(root), AsWide(path), options, access, &opened);
    if (status == ERROR_SUCCESS) *key = (PlatformRegistryKey)opened;
    return (int32_t)status;
}

int32_t VB_CALL QueryRegistryValue(PlatformRegistryKey key, const char16_t* name, uint32_t* type,
                                   void* data, uint32_t* size) {
    DWORD valueType = 0;
    DWORD length = size ? *size : 0;
    // The system leaves the caller's buffer undefined when the value does not fit; the
    // interface promises it untouched, so small values go through a buffer of our own.
    BYTE staging[256];
    bool staged = data && size && length <= sizeof staging;
    BYTE* target = staged ? staging : (BYTE*)data;
    LONG status = RegQueryValueExW(SystemKey(key), AsWide(name), nullptr, &valueType, target,
                                   size ? &length : nullptr);
    if (staged && status == ERROR_SUCCESS) memcpy(data, staging, length);
    if (type) *type = valueType;
    if (size) *size = length;
    return (int32_t)status;
}

int32_t VB_CALL CloseRegistryKey(PlatformRegistryKey key) {
    return (int32_t)RegCloseKey(SystemKey(key));
}

// ---- Libraries --------------------------------------------------------------------------------

PlatformLibrary VB_CALL LoadLibraryByName(const char16_t* name) {
    if (!name || !*name) return nullptr;
    return (PlatformLibrary)LoadLibraryW(AsWide(name));
}

void* VB_CALL FindLibrarySymbol(PlatformLibrary library, const char16_t* name) {
    if (!library || !name) return nullptr;
    // Desktop Windows looks entry points up by narrow name; export names are ASCII.
    char symbol[256];
    size_t i = 0;
    for (; name[i] != 0; i++) {
        if (name[i] >= 0x80 || i + 1 >= sizeof symbol) return nullptr;
        symbol[i] = (char)name[i];
    }
    if (i == 0) return nullptr;
    symbol[i] = 0;
    return (void*)GetProcAddress((HMODULE)library, symbol);
}

// ---- Text -------------------------------------------------------------------------------------

int32_t VB_CALL WideToSystemCodePage(const char16_t* source, int32_t sourceLength,
                                     char* destination, int32_t size) {
    return WideCharToMultiByte(CP_ACP, 0, AsWide(source), sourceLength, destination, size, nullptr,
                               nullptr);
}

int32_t VB_CALL SystemCodePageToWide(const char* source, int32_t sourceLength,
                                     char16_t* destination, int32_t size) {
    return MultiByteToWideChar(CP_ACP, 0, source, sourceLength, AsWide(destination), size);
}
