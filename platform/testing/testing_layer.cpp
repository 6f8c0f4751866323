// The testing layer: the testing interface (platform_testing.h) in front of a plain backend.
//
// The layer exports every platform operation under its own name, keeps its counters, planned
// failures, served files and overrides, and hands each call it does not answer itself to the
// backend's function of the same name. The test, fuzz and bench programs link it; the shipped
// libraries know nothing of it.
//   - ELF (Linux, ARM): libvbtesting.so, linked ahead of libvbplatform.so. A plug-in opened with
//     dlopen finds its platform functions in the program's global scope, where the layer comes
//     first, so the plug-ins and the program both call the layer; it reaches libvbplatform.so
//     through dlsym(RTLD_NEXT).
//   - PE (Windows): a DLL import names its module, so the layer is itself a vbplatform.dll, in a
//     folder of its own (testing-bin/) with the test programs. A plug-in loaded from bin/ binds
//     to the vbplatform.dll already in the process. Beside the layer lies a copy of the shipped
//     bin/vbplatform.dll named vbplatform-backend.dll, which the layer loads and calls.
// Either way the backend that the tests exercise is the shipped library itself.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform_testing.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// ---- The backend ------------------------------------------------------------------------------

#define VB_BACKEND_FUNCTIONS(X) \
    X(LoadStringResource)       \
    X(FindModuleResource)       \
    X(LoadModuleResource)       \
    X(OpenFileForReading)       \
    X(ReadFileBytes)            \
    X(SetFilePosition)          \
    X(CloseFile)                \
    X(AllocateBlock)            \
    X(FreeBlock)                \
    X(QuerySystemVersion)       \
    X(QueryScreenWidth)         \
    X(QueryDefaultLanguage)     \
    X(QueryDisplayBitsPerPixel) \
    X(OpenRegistryKey)          \
    X(QueryRegistryValue)       \
    X(CloseRegistryKey)         \
    X(LoadLibraryByName)        \
    X(FindLibrarySymbol)        \
    X(WideToSystemCodePage)     \
    X(SystemCodePageToWide)

struct Backend {
#define VB_BACKEND_FIELD(name) decltype(&::name) name;
    VB_BACKEND_FUNCTIONS(VB_BACKEND_FIELD)
#undef VB_BACKEND_FIELD
};

static void* FindBackendFunction(const char* name) {
#if defined(_WIN32)
    static HMODULE library = LoadLibraryW(L"vbplatform-backend.dll");
    return library ? (void*)GetProcAddress(library, name) : nullptr;
#else
    return dlsym(RTLD_NEXT, name);
#endif
}

static Backend FindBackend() {
    Backend backend;
#define VB_BACKEND_FIND(name)                                                     \
    backend.name = (decltype(&::name))FindBackendFunction(#name);                 \
    if (!backend.name) {                                                          \
        fprintf(stderr, "testing layer: the platform library lacks %s\n", #name); \
        abort();                                                                  \
    }
    VB_BACKEND_FUNCTIONS(VB_BACKEND_FIND)
#undef VB_BACKEND_FIND
    return backend;
}

static const Backend& Next() {
    static const Backend backend = FindBackend();
    return backend;
}

// Kept for the whole process (never destroyed), so that a block freed or a file closed during
// the process's exit still finds them.
template <typename T>
static T& Lasting() {
    static T* value = new T();
    return *value;
}

// True when `call` is the planned one; the plan is then used up.
static bool TakePlannedFailure(std::atomic<int64_t>* planned, int64_t call) {
    int64_t expected = call;
    return planned->compare_exchange_strong(expected, 0);
}

// ---- Modules and their string resources -------------------------------------------------------

int32_t VB_CALL LoadStringResource(PlatformInstance instance, uint32_t id, char16_t* buffer,
                                   int32_t capacity) {
    return Next().LoadStringResource(instance, id, buffer, capacity);
}

const void* VB_CALL FindModuleResource(PlatformInstance instance, uint32_t type, uint32_t name) {
    return Next().FindModuleResource(instance, type, name);
}

uint32_t VB_CALL LoadModuleResource(PlatformInstance instance, const void* resource) {
    return Next().LoadModuleResource(instance, resource);
}

// ---- Files ------------------------------------------------------------------------------------

typedef std::shared_ptr<const std::vector<uint8_t>> ServedBytes;

// Every open file is one of these: a backend file, or bytes served from memory (kept alive even
// if the entry is removed while the file is open).
struct LayerFile {
    PlatformFile system;  // null for a served file
    ServedBytes served;
    uint64_t position;  // of a served file
};

static std::mutex ServedFilesLock;
static std::atomic<int64_t> ReadCalls{0};
static std::atomic<int64_t> FailingRead{0};
static std::atomic<int32_t> OpenFails{0};
static std::atomic<int64_t> OpenFiles{0};

static std::map<std::u16string, ServedBytes>& ServedFiles() {
    return Lasting<std::map<std::u16string, ServedBytes>>();
}

static ServedBytes FindServedFile(const char16_t* name) {
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    auto found = ServedFiles().find(std::u16string(name));
    return found == ServedFiles().end() ? nullptr : found->second;
}

PlatformFile VB_CALL OpenFileForReading(const char16_t* name) {
    if (!name || OpenFails.load() != 0) return nullptr;
    LayerFile* file = nullptr;
    if (ServedBytes served = FindServedFile(name)) {
        file = new (std::nothrow) LayerFile{nullptr, served, 0};
    } else {
        PlatformFile system = Next().OpenFileForReading(name);
        if (!system) return nullptr;
        file = new (std::nothrow) LayerFile{system, nullptr, 0};
        if (!file) Next().CloseFile(system);
    }
    if (file) OpenFiles.fetch_add(1);
    return file;
}

int32_t VB_CALL ReadFileBytes(PlatformFile handle, void* buffer, uint32_t count,
                              uint32_t* delivered) {
    int64_t call = ReadCalls.fetch_add(1) + 1;
    if (delivered) *delivered = 0;
    if (TakePlannedFailure(&FailingRead, call)) return 0;
    LayerFile* file = (LayerFile*)handle;
    if (!file) return 0;
    if (file->system) return Next().ReadFileBytes(file->system, buffer, count, delivered);
    if (!delivered || (!buffer && count != 0)) return 0;
    const std::vector<uint8_t>& bytes = *file->served;
    uint64_t available = file->position < bytes.size() ? bytes.size() - file->position : 0;
    uint32_t take = available < count ? (uint32_t)available : count;
    if (take != 0) memcpy(buffer, bytes.data() + file->position, take);
    file->position += take;
    *delivered = take;
    return 1;
}

uint32_t VB_CALL SetFilePosition(PlatformFile handle, int32_t distance, int32_t origin) {
    LayerFile* file = (LayerFile*)handle;
    if (!file) return PLATFORM_INVALID_POSITION;
    if (file->system) return Next().SetFilePosition(file->system, distance, origin);
    int64_t base;
    if (origin == PLATFORM_SEEK_BEGIN) {
        base = 0;
    } else if (origin == PLATFORM_SEEK_CURRENT) {
        base = (int64_t)file->position;
    } else if (origin == PLATFORM_SEEK_END) {
        base = (int64_t)file->served->size();
    } else {
        return PLATFORM_INVALID_POSITION;
    }
    int64_t target = base + distance;
    if (target < 0 || target >= (int64_t)PLATFORM_INVALID_POSITION) {
        return PLATFORM_INVALID_POSITION;
    }
    file->position = (uint64_t)target;
    return (uint32_t)target;
}

void VB_CALL CloseFile(PlatformFile handle) {
    LayerFile* file = (LayerFile*)handle;
    if (!file) return;
    if (file->system) Next().CloseFile(file->system);
    delete file;
    OpenFiles.fetch_sub(1);
}

int64_t VB_CALL TestingOpenFileCount(void) {
    return OpenFiles.load();
}

int64_t VB_CALL TestingReadCount(void) {
    return ReadCalls.load();
}

void VB_CALL TestingFailRead(int64_t nth) {
    FailingRead.store(nth > 0 ? ReadCalls.load() + nth : 0);
}

void VB_CALL TestingFailOpen(int32_t fail) {
    OpenFails.store(fail);
}

void VB_CALL TestingServeFile(const char16_t* name, const void* data, size_t size) {
    if (!name) return;
    std::u16string key(name);
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    if (!data && size == 0) {
        ServedFiles().erase(key);
        return;
    }
    if (!data) return;
    const uint8_t* bytes = (const uint8_t*)data;
    ServedFiles()[key] = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
}

void VB_CALL TestingClearServedFiles(void) {
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    ServedFiles().clear();
}

// ---- Local heap -------------------------------------------------------------------------------

static std::atomic<int64_t> LiveBlocks{0};
static std::atomic<int64_t> AllocationCalls{0};
static std::atomic<int64_t> FailingAllocation{0};  // number of the call to fail; 0: none
static std::atomic<uint64_t> AllocationLimit{0};   // bytes; 0: no limit
static std::mutex BlockSizesLock;

// The size asked for, by block; the blocks themselves are the backend's, untouched.
static std::unordered_map<const void*, uint32_t>& BlockSizes() {
    return Lasting<std::unordered_map<const void*, uint32_t>>();
}

void* VB_CALL AllocateBlock(uint32_t size) {
    int64_t call = AllocationCalls.fetch_add(1) + 1;
    if (TakePlannedFailure(&FailingAllocation, call)) return nullptr;
    uint64_t limit = AllocationLimit.load();
    if (limit != 0 && size > limit) return nullptr;
    void* block = Next().AllocateBlock(size);
    if (!block) return nullptr;
    LiveBlocks.fetch_add(1);
    std::lock_guard<std::mutex> hold(BlockSizesLock);
    BlockSizes()[block] = size;
    return block;
}

void VB_CALL FreeBlock(void* block) {
    if (!block) return;
    LiveBlocks.fetch_sub(1);
    {
        std::lock_guard<std::mutex> hold(BlockSizesLock);
        BlockSizes().erase(block);
    }
    Next().FreeBlock(block);
}

int64_t VB_CALL TestingBlockSize(const void* block) {
    if (!block) return -1;
    std::lock_guard<std::mutex> hold(BlockSizesLock);
    auto found = BlockSizes().find(block);
    return found == BlockSizes().end() ? -1 : (int64_t)found->second;
}

int64_t VB_CALL TestingLiveBlockCount(void) {
    return LiveBlocks.load();
}

int64_t VB_CALL TestingAllocationCount(void) {
    return AllocationCalls.load();
}

void VB_CALL TestingFailAllocation(int64_t nth) {
    FailingAllocation.store(nth > 0 ? AllocationCalls.load() + nth : 0);
}

void VB_CALL TestingSetAllocationLimit(uint64_t bytes) {
    AllocationLimit.store(bytes);
}

// ---- Device -----------------------------------------------------------------------------------

static std::mutex DeviceLock;
static bool DeviceOverridden = false;
static TestingDevice Device;

static bool ReadOverride(TestingDevice* device) {
    std::lock_guard<std::mutex> hold(DeviceLock);
    if (DeviceOverridden) *device = Device;
    return DeviceOverridden;
}

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    TestingDevice device;
    if (!ReadOverride(&device)) return Next().QuerySystemVersion(major, minor);
    if (device.versionQueryFails != 0) return 0;
    if (major) *major = device.versionMajor;
    if (minor) *minor = device.versionMinor;
    return 1;
}

int32_t VB_CALL QueryScreenWidth(void) {
    TestingDevice device;
    return ReadOverride(&device) ? device.screenWidth : Next().QueryScreenWidth();
}

uint16_t VB_CALL QueryDefaultLanguage(void) {
    TestingDevice device;
    return ReadOverride(&device) ? device.language : Next().QueryDefaultLanguage();
}

int32_t VB_CALL QueryDisplayBitsPerPixel(void) {
    TestingDevice device;
    return ReadOverride(&device) ? device.displayBits : Next().QueryDisplayBitsPerPixel();
}

void VB_CALL TestingGetDevice(TestingDevice* device) {
    if (!device || ReadOverride(device)) return;
    const Backend& backend = Next();
    device->displayBits = backend.QueryDisplayBitsPerPixel();
    device->screenWidth = backend.QueryScreenWidth();
    device->language = backend.QueryDefaultLanguage();
    device->versionMajor = 0;
    device->versionMinor = 0;
    device->versionQueryFails =
        backend.QuerySystemVersion(&device->versionMajor, &device->versionMinor) ? 0 : 1;
}

void VB_CALL TestingSetDevice(const TestingDevice* device) {
    if (!device) return;
    std::lock_guard<std::mutex> hold(DeviceLock);
    Device = *device;
    DeviceOverridden = true;
}

// ---- Registry ---------------------------------------------------------------------------------

int32_t VB_CALL OpenRegistryKey(PlatformRegistryKey root, const char16_t* path, uint32_t options,
                                uint32_t access, PlatformRegistryKey* key) {
    return Next().OpenRegistryKey(root, path, options, access, key);
}

int32_t VB_CALL QueryRegistryValue(PlatformRegistryKey key, const char16_t* name, uint32_t* type,
                                   void* data, uint32_t* size) {
    return Next().QueryRegistryValue(key, name, type, data, size);
}

int32_t VB_CALL CloseRegistryKey(PlatformRegistryKey key) {
    return Next().CloseRegistryKey(key);
}

// The POSIX stand-in reads the file that VB_REGISTRY names at every key open, so the layer
// points it elsewhere by setting the variable, and puts the variable back at TestingReset. On
// Windows the registry is the system's own (tests write it with "reg add"): no effect there.
#if defined(_WIN32)

int32_t VB_CALL TestingSetRegistryFile(const char* path) {
    (void)path;
    return 0;
}

static void ResetRegistryFile() {}

#else

static std::mutex RegistryLock;
static bool RegistryOverridden = false;
static bool RegistryVariableWasSet = false;
static std::string RegistryVariable;

int32_t VB_CALL TestingSetRegistryFile(const char* path) {
    std::lock_guard<std::mutex> hold(RegistryLock);
    if (!RegistryOverridden) {
        const char* before = getenv("VB_REGISTRY");
        RegistryVariableWasSet = before != nullptr;
        RegistryVariable = before ? before : "";
        RegistryOverridden = true;
    }
    // An empty value is an empty registry.
    setenv("VB_REGISTRY", path ? path : "", 1);
    return 1;
}

static void ResetRegistryFile() {
    std::lock_guard<std::mutex> hold(RegistryLock);
    if (!RegistryOverridden) return;
    if (RegistryVariableWasSet) {
        setenv("VB_REGISTRY", RegistryVariable.c_str(), 1);
    } else {
        unsetenv("VB_REGISTRY");
    }
    RegistryOverridden = false;
}

#endif

// ---- Libraries --------------------------------------------------------------------------------

static std::atomic<int32_t> LibrariesBlocked{0};

PlatformLibrary VB_CALL LoadLibraryByName(const char16_t* name) {
    if (LibrariesBlocked.load() != 0) return nullptr;
    return Next().LoadLibraryByName(name);
}

void* VB_CALL FindLibrarySymbol(PlatformLibrary library, const char16_t* name) {
    return Next().FindLibrarySymbol(library, name);
}

void VB_CALL TestingBlockLibraries(int32_t block) {
    LibrariesBlocked.store(block);
}

// ---- Text -------------------------------------------------------------------------------------

int32_t VB_CALL WideToSystemCodePage(const char16_t* source, int32_t sourceLength,
                                     char* destination, int32_t size) {
    return Next().WideToSystemCodePage(source, sourceLength, destination, size);
}

int32_t VB_CALL SystemCodePageToWide(const char* source, int32_t sourceLength,
                                     char16_t* destination, int32_t size) {
    return Next().SystemCodePageToWide(source, sourceLength, destination, size);
}

// ---- Reset ------------------------------------------------------------------------------------

void VB_CALL TestingReset(void) {
    FailingAllocation.store(0);
    AllocationLimit.store(0);
    FailingRead.store(0);
    OpenFails.store(0);
    LibrariesBlocked.store(0);
    TestingClearServedFiles();
    {
        std::lock_guard<std::mutex> hold(DeviceLock);
        DeviceOverridden = false;
    }
    ResetRegistryFile();
}
