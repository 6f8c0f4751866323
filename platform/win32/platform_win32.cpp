// The platform operations on the real Windows API, built as vbplatform.dll so that the plug-ins
// and the host share one set of counters over the process-wide local heap.
//
// Every operation is a thin call into the system. The testing interface wraps a few of them:
// block and call counters, planned failures of an allocation, a read or an open, overrides of
// the device queries, library blocking and files served from memory. What it cannot imitate on
// Windows is the registry file: the registry here is the real one (tests write it with
// "reg add"), so TestingSetRegistryFile has no effect. The system code page is the real one
// too; it does not follow the language override.
#include <string.h>
#include <windows.h>

#include "platform/platform_testing.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is handed to the W functions");
static_assert(sizeof(OSVERSIONINFOW) == 276, "the version record is the 276-byte one");

static const wchar_t* AsWide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
static wchar_t* AsWide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

// ---- Counters and planned failures ------------------------------------------------------------

// The plug-ins run on the host's thread, but a test runner may not: the counters are interlocked.
static volatile LONG64 LiveBlocks = 0;
static volatile LONG64 AllocationCalls = 0;
static volatile LONG64 FailingAllocation = 0;  // number of the allocation call to fail; 0: none
static volatile LONG64 AllocationLimit = 0;    // bytes; 0: no limit
static volatile LONG64 ReadCalls = 0;
static volatile LONG64 FailingRead = 0;
static volatile LONG OpenFails = 0;
static volatile LONG LibrariesBlocked = 0;

// True when `call` is the planned one; the plan is then used up.
static bool TakePlannedFailure(volatile LONG64* planned, LONG64 call) {
    return InterlockedCompareExchange64(planned, 0, call) == call;
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

// A file served from memory by a test. Open ones are records of a fixed table, so that a
// PlatformFile is either such a record or a system handle, told apart by address.
struct ServedFile {
    wchar_t* name;  // process heap
    uint8_t* data;  // process heap
    size_t size;
    ServedFile* next;
};

struct OpenServedFile {
    bool inUse;
    uint8_t* data;  // a copy of its own, so that removing the entry does not pull it away
    size_t size;
    uint64_t position;
};

enum { OPEN_SERVED_FILES = 32 };

static SRWLOCK ServedFilesLock = SRWLOCK_INIT;
static ServedFile* ServedFiles = nullptr;
static OpenServedFile OpenServed[OPEN_SERVED_FILES];

static OpenServedFile* AsServed(PlatformFile file) {
    uintptr_t address = (uintptr_t)file;
    uintptr_t first = (uintptr_t)&OpenServed[0];
    uintptr_t end = (uintptr_t)&OpenServed[OPEN_SERVED_FILES];
    if (address < first || address >= end) return nullptr;
    return (OpenServedFile*)file;
}

static void* HeapCopy(const void* data, size_t size) {
    void* copy = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (copy && size) memcpy(copy, data, size);
    return copy;
}

static void ReleaseServedFile(ServedFile* entry) {
    HeapFree(GetProcessHeap(), 0, entry->name);
    HeapFree(GetProcessHeap(), 0, entry->data);
    HeapFree(GetProcessHeap(), 0, entry);
}

// Opens a served copy of the named file; null when it is not served (or the table is full).
static PlatformFile OpenServedCopy(const char16_t* name, bool* served) {
    *served = false;
    PlatformFile result = nullptr;
    AcquireSRWLockExclusive(&ServedFilesLock);
    for (ServedFile* entry = ServedFiles; entry; entry = entry->next) {
        if (wcscmp(entry->name, AsWide(name)) != 0) continue;
        *served = true;
        for (int i = 0; i < OPEN_SERVED_FILES; i++) {
            if (OpenServed[i].inUse) continue;
            uint8_t* copy = (uint8_t*)HeapCopy(entry->data, entry->size);
            if (!copy) break;
            OpenServed[i] = OpenServedFile{true, copy, entry->size, 0};
            result = &OpenServed[i];
            break;
        }
        break;
    }
    ReleaseSRWLockExclusive(&ServedFilesLock);
    return result;
}

PlatformFile VB_CALL OpenFileForReading(const char16_t* name) {
    if (!name || OpenFails != 0) return nullptr;
    if (ServedFiles) {
        bool served;
        PlatformFile file = OpenServedCopy(name, &served);
        if (served) return file;
    }
    HANDLE file = CreateFileW(AsWide(name), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : (PlatformFile)file;
}

int32_t VB_CALL ReadFileBytes(PlatformFile file, void* buffer, uint32_t count,
                              uint32_t* delivered) {
    LONG64 call = InterlockedIncrement64(&ReadCalls);
    if (delivered) *delivered = 0;
    if (TakePlannedFailure(&FailingRead, call)) return 0;
    if (!file || !delivered || (!buffer && count != 0)) return 0;
    if (OpenServedFile* served = AsServed(file)) {
        uint64_t available = served->position < served->size ? served->size - served->position : 0;
        uint32_t take = available < count ? (uint32_t)available : count;
        if (take != 0) memcpy(buffer, served->data + served->position, take);
        served->position += take;
        *delivered = take;
        return 1;
    }
    DWORD got = 0;
    BOOL done = ReadFile((HANDLE)file, buffer, count, &got, nullptr);
    *delivered = got;
    return done ? 1 : 0;
}

uint32_t VB_CALL SetFilePosition(PlatformFile file, int32_t distance, int32_t origin) {
    if (!file || origin < PLATFORM_SEEK_BEGIN || origin > PLATFORM_SEEK_END) {
        return PLATFORM_INVALID_POSITION;
    }
    if (OpenServedFile* served = AsServed(file)) {
        int64_t base = origin == PLATFORM_SEEK_BEGIN     ? 0
                       : origin == PLATFORM_SEEK_CURRENT ? (int64_t)served->position
                                                         : (int64_t)served->size;
        int64_t target = base + distance;
        if (target < 0 || target >= (int64_t)PLATFORM_INVALID_POSITION) {
            return PLATFORM_INVALID_POSITION;
        }
        served->position = (uint64_t)target;
        return (uint32_t)target;
    }
    static_assert(PLATFORM_SEEK_BEGIN == FILE_BEGIN && PLATFORM_SEEK_CURRENT == FILE_CURRENT &&
                      PLATFORM_SEEK_END == FILE_END,
                  "the origins are the system's");
    // Without the high half a move below 0 fails and leaves the position where it was.
    return SetFilePointer((HANDLE)file, distance, nullptr, (DWORD)origin);
}

void VB_CALL CloseFile(PlatformFile file) {
    if (!file) return;
    if (OpenServedFile* served = AsServed(file)) {
        AcquireSRWLockExclusive(&ServedFilesLock);
        HeapFree(GetProcessHeap(), 0, served->data);
        *served = OpenServedFile{false, nullptr, 0, 0};
        ReleaseSRWLockExclusive(&ServedFilesLock);
        return;
    }
    CloseHandle((HANDLE)file);
}

// ---- Local heap -------------------------------------------------------------------------------

void* VB_CALL AllocateBlock(uint32_t size) {
    LONG64 call = InterlockedIncrement64(&AllocationCalls);
    if (TakePlannedFailure(&FailingAllocation, call)) return nullptr;
    LONG64 limit = AllocationLimit;
    if (limit != 0 && (LONG64)size > limit) return nullptr;
    // LMEM_FIXED (0): the handle is the block's address. A fixed block of 0 bytes is valid; the
    // fallback only guards against a heap that answers null for it.
    HLOCAL block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size);
    if (!block && size == 0) block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 1);
    if (!block) return nullptr;
    InterlockedIncrement64(&LiveBlocks);
    return block;
}

void VB_CALL FreeBlock(void* block) {
    if (!block) return;
    InterlockedDecrement64(&LiveBlocks);
    LocalFree((HLOCAL)block);
}

// ---- Device -----------------------------------------------------------------------------------

// Overrides of the device queries. Without one, each query asks the system.
struct DeviceOverrides {
    bool displayBits, screenWidth, language, version;
    TestingDevice device;
};

static SRWLOCK DeviceLock = SRWLOCK_INIT;
static bool DeviceKnown = false;
static DeviceOverrides Overrides;

static bool ReadEnvironmentText(const char* name, char* text, DWORD room) {
    DWORD length = GetEnvironmentVariableA(name, text, room);
    return length > 0 && length < room;
}

// A whole decimal number, or hexadecimal after "0x"; false for anything else.
static bool ParseNumber(const char* text, bool allowHex, uint64_t* value) {
    if (!text || !*text) return false;
    uint64_t base = 10;
    if (allowHex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    uint64_t result = 0;
    for (; *text; text++) {
        char c = *text;
        uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = (uint64_t)(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = (uint64_t)(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = (uint64_t)(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu) return false;
    }
    *value = result;
    return true;
}

// "2.00" gives 2 and 0, "1.01" gives 1 and 1.
static bool ParseVersion(char* text, uint32_t* major, uint32_t* minor) {
    char* dot = strchr(text, '.');
    if (dot) *dot = 0;
    uint64_t high, low = 0;
    if (!ParseNumber(text, false, &high)) return false;
    if (dot && !ParseNumber(dot + 1, false, &low)) return false;
    *major = (uint32_t)high;
    *minor = (uint32_t)low;
    return true;
}

// The same variables as the POSIX stand-in reads; each one that is set overrides its query.
static DeviceOverrides ReadOverridesFromEnvironment() {
    DeviceOverrides overrides = {};
    char text[64];
    uint64_t value;
    if (ReadEnvironmentText("VB_DISPLAY_BITS", text, sizeof text) &&
        ParseNumber(text, false, &value) && value <= 0x7FFFFFFF) {
        overrides.displayBits = true;
        overrides.device.displayBits = (int32_t)value;
    }
    if (ReadEnvironmentText("VB_SCREEN_WIDTH", text, sizeof text) &&
        ParseNumber(text, false, &value) && value <= 0x7FFFFFFF) {
        overrides.screenWidth = true;
        overrides.device.screenWidth = (int32_t)value;
    }
    if (ReadEnvironmentText("VB_LANGUAGE", text, sizeof text) && ParseNumber(text, true, &value) &&
        value <= 0xFFFF) {
        overrides.language = true;
        overrides.device.language = (uint16_t)value;
    }
    if (ReadEnvironmentText("VB_SYSTEM_VERSION", text, sizeof text) &&
        ParseVersion(text, &overrides.device.versionMajor, &overrides.device.versionMinor)) {
        overrides.version = true;
    }
    return overrides;
}

static DeviceOverrides CurrentOverrides() {
    AcquireSRWLockExclusive(&DeviceLock);
    if (!DeviceKnown) {
        Overrides = ReadOverridesFromEnvironment();
        DeviceKnown = true;
    }
    DeviceOverrides overrides = Overrides;
    ReleaseSRWLockExclusive(&DeviceLock);
    return overrides;
}

static int32_t AskSystemVersion(uint32_t* major, uint32_t* minor) {
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version)) return 0;
    *major = version.dwMajorVersion;
    *minor = version.dwMinorVersion;
    return 1;
}

static int32_t AskDisplayBits() {
    HDC screen = GetDC(nullptr);
    if (!screen) return 0;
    int32_t bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bits;
}

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    DeviceOverrides overrides = CurrentOverrides();
    uint32_t high, low;
    if (overrides.version) {
        if (overrides.device.versionQueryFails) return 0;
        high = overrides.device.versionMajor;
        low = overrides.device.versionMinor;
    } else if (!AskSystemVersion(&high, &low)) {
        return 0;
    }
    if (major) *major = high;
    if (minor) *minor = low;
    return 1;
}

int32_t VB_CALL QueryScreenWidth(void) {
    DeviceOverrides overrides = CurrentOverrides();
    return overrides.screenWidth ? overrides.device.screenWidth : GetSystemMetrics(SM_CXSCREEN);
}

uint16_t VB_CALL QueryDefaultLanguage(void) {
    DeviceOverrides overrides = CurrentOverrides();
    return overrides.language ? overrides.device.language : GetSystemDefaultLangID();
}

int32_t VB_CALL QueryDisplayBitsPerPixel(void) {
    DeviceOverrides overrides = CurrentOverrides();
    return overrides.displayBits ? overrides.device.displayBits : AskDisplayBits();
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

enum { LONGEST_PATH = 1024 };

// Tries `name` in each ';'-separated folder of VB_LIBRARY_PATH; the system's own search (the
// program's folder first) comes after.
static HMODULE LoadFromLibraryPath(const wchar_t* name) {
    static wchar_t folders[4 * LONGEST_PATH];
    DWORD length = GetEnvironmentVariableW(L"VB_LIBRARY_PATH", folders, 4 * LONGEST_PATH);
    if (length == 0 || length >= 4 * LONGEST_PATH) return nullptr;
    size_t nameLength = wcslen(name);
    const wchar_t* start = folders;
    while (*start) {
        const wchar_t* end = wcschr(start, L';');
        size_t folderLength = end ? (size_t)(end - start) : wcslen(start);
        if (folderLength != 0 && folderLength + 1 + nameLength < LONGEST_PATH) {
            wchar_t path[LONGEST_PATH];
            memcpy(path, start, folderLength * sizeof(wchar_t));
            path[folderLength] = L'\\';
            memcpy(path + folderLength + 1, name, (nameLength + 1) * sizeof(wchar_t));
            if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
                HMODULE library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
                if (library) return library;
            }
        }
        if (!end) break;
        start = end + 1;
    }
    return nullptr;
}

PlatformLibrary VB_CALL LoadLibraryByName(const char16_t* name) {
    if (!name || !*name || LibrariesBlocked != 0) return nullptr;
    if (HMODULE library = LoadFromLibraryPath(AsWide(name))) return (PlatformLibrary)library;
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

// ---- Testing interface ------------------------------------------------------------------------

int64_t VB_CALL TestingLiveBlockCount(void) {
    return LiveBlocks;
}

// A fixed local block knows the size it was asked for.
int64_t VB_CALL TestingBlockSize(const void* block) {
    if (!block) return -1;
    return (int64_t)LocalSize((HLOCAL)block);
}
int64_t VB_CALL TestingAllocationCount(void) {
    return AllocationCalls;
}
int64_t VB_CALL TestingReadCount(void) {
    return ReadCalls;
}

void VB_CALL TestingFailAllocation(int64_t nth) {
    InterlockedExchange64(&FailingAllocation, nth > 0 ? AllocationCalls + nth : 0);
}

void VB_CALL TestingFailRead(int64_t nth) {
    InterlockedExchange64(&FailingRead, nth > 0 ? ReadCalls + nth : 0);
}

void VB_CALL TestingFailOpen(int32_t fail) {
    InterlockedExchange(&OpenFails, fail);
}

void VB_CALL TestingSetAllocationLimit(uint64_t bytes) {
    InterlockedExchange64(&AllocationLimit, bytes > 0x7FFFFFFFFFFFFFFFull ? 0 : (LONG64)bytes);
}

void VB_CALL TestingGetDevice(TestingDevice* device) {
    if (!device) return;
    DeviceOverrides overrides = CurrentOverrides();
    *device = overrides.device;
    if (!overrides.displayBits) device->displayBits = AskDisplayBits();
    if (!overrides.screenWidth) device->screenWidth = GetSystemMetrics(SM_CXSCREEN);
    if (!overrides.language) device->language = GetSystemDefaultLangID();
    if (!overrides.version) {
        device->versionQueryFails =
            AskSystemVersion(&device->versionMajor, &device->versionMinor) ? 0 : 1;
    }
}

void VB_CALL TestingSetDevice(const TestingDevice* device) {
    if (!device) return;
    AcquireSRWLockExclusive(&DeviceLock);
    Overrides.displayBits = Overrides.screenWidth = Overrides.language = Overrides.version = true;
    Overrides.device = *device;
    DeviceKnown = true;
    ReleaseSRWLockExclusive(&DeviceLock);
}

// The registry is the system's own here; see the top of this file.
void VB_CALL TestingSetRegistryFile(const char* path) {
    (void)path;
}

void VB_CALL TestingServeFile(const char16_t* name, const void* data, size_t size) {
    if (!name || (!data && size != 0)) return;
    ServedFile* added = nullptr;
    if (data) {
        size_t nameBytes = (wcslen(AsWide(name)) + 1) * sizeof(wchar_t);
        added = (ServedFile*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ServedFile));
        if (!added) return;
        added->name = (wchar_t*)HeapCopy(name, nameBytes);
        added->data = (uint8_t*)HeapCopy(data, size);
        added->size = size;
        if (!added->name || !added->data) {
            ReleaseServedFile(added);
            return;
        }
    }
    AcquireSRWLockExclusive(&ServedFilesLock);
    for (ServedFile** link = &ServedFiles; *link;) {
        ServedFile* entry = *link;
        if (wcscmp(entry->name, AsWide(name)) == 0) {
            *link = entry->next;
            ReleaseServedFile(entry);
        } else {
            link = &entry->next;
        }
    }
    if (added) {
        added->next = ServedFiles;
        ServedFiles = added;
    }
    ReleaseSRWLockExclusive(&ServedFilesLock);
}

void VB_CALL TestingClearServedFiles(void) {
    AcquireSRWLockExclusive(&ServedFilesLock);
    while (ServedFiles) {
        ServedFile* entry = ServedFiles;
        ServedFiles = entry->next;
        ReleaseServedFile(entry);
    }
    ReleaseSRWLockExclusive(&ServedFilesLock);
}

void VB_CALL TestingBlockLibraries(int32_t block) {
    InterlockedExchange(&LibrariesBlocked, block);
}

void VB_CALL TestingReset(void) {
    AcquireSRWLockExclusive(&DeviceLock);
    Overrides = ReadOverridesFromEnvironment();
    DeviceKnown = true;
    ReleaseSRWLockExclusive(&DeviceLock);
    InterlockedExchange64(&FailingAllocation, 0);
    InterlockedExchange64(&AllocationLimit, 0);
    InterlockedExchange64(&FailingRead, 0);
    InterlockedExchange(&OpenFails, 0);
    InterlockedExchange(&LibrariesBlocked, 0);
    TestingClearServedFiles();
}
