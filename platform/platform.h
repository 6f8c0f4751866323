// The only door to the operating system for the filters.
//
// Every system call that a filter makes goes through one of these functions. On the handheld
// they map onto the system library (platform/win32/ for Windows-family builds); on Linux the
// stand-in library libvbplatform.so (platform/posix/) imitates them: one local heap shared by
// the plug-ins and the host, string resources per module, a registry kept in a .reg file and an
// emulated device.
#ifndef VB_PLATFORM_PLATFORM_H
#define VB_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VB_CALL __stdcall
#if defined(VB_BUILDING_PLATFORM)
#define VB_PLATFORM_API __declspec(dllexport)
#elif defined(VB_STATIC_PLATFORM)
#define VB_PLATFORM_API
#else
#define VB_PLATFORM_API __declspec(dllimport)
#endif
#else
#define VB_CALL
#define VB_PLATFORM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- Modules and their string resources ---------------------------------------------------

// A module instance: HINSTANCE on Windows; on POSIX the address of the module's
// PlatformModuleResources record, handed over at attach.
typedef const void* PlatformInstance;
// A library loaded by LoadLibraryByName; null when it did not load.
typedef void* PlatformLibrary;

// The string table of a module as the POSIX stand-in sees it (on Windows the .rc file holds it).
typedef struct PlatformStringResource {
    uint32_t id;
    const char16_t* text;
} PlatformStringResource;

typedef struct PlatformModuleResources {
    const char* moduleName;                 // "vbtga.spi"
    const PlatformStringResource* strings;  // sorted by id
    uint32_t stringCount;
} PlatformModuleResources;

#define PLATFORM_RT_STRING 6u

// Loads string `id` of the module into `buffer`, truncated to capacity - 1 units and ended by
// a 0 unit. Returns the units copied without the terminator; 0 when there is no such string
// (or no buffer / no capacity).
VB_PLATFORM_API int32_t VB_CALL LoadStringResource(PlatformInstance instance, uint32_t id,
                                                   char16_t* buffer, int32_t capacity);
// Finds a resource of the module by type and integer name (FindResource with MAKEINTRESOURCE).
// String resources are stored in blocks of sixteen named (id / 16) + 1. Null when absent.
VB_PLATFORM_API const void* VB_CALL FindModuleResource(PlatformInstance instance, uint32_t type,
                                                       uint32_t name);
// Loads a found resource; the answer is the resource's size in bytes (0 for a null resource).
VB_PLATFORM_API uint32_t VB_CALL LoadModuleResource(PlatformInstance instance,
                                                    const void* resource);

// ---- Files ----------------------------------------------------------------------------------

typedef void* PlatformFile;  // null when the open failed

#define PLATFORM_SEEK_BEGIN 0
#define PLATFORM_SEEK_CURRENT 1
#define PLATFORM_SEEK_END 2
#define PLATFORM_INVALID_POSITION 0xFFFFFFFFu

// Opens an existing file for reading only, with no sharing, by UTF-16 name.
VB_PLATFORM_API PlatformFile VB_CALL OpenFileForReading(const char16_t* name);
// Reads up to `count` bytes. Returns 1 when the call succeeded (also when it delivered fewer
// bytes than asked, at the end of the file) and 0 when it failed; `*delivered` gets the count.
VB_PLATFORM_API int32_t VB_CALL ReadFileBytes(PlatformFile file, void* buffer, uint32_t count,
                                              uint32_t* delivered);
// Moves the file position (SetFilePointer); returns the new position, or
// PLATFORM_INVALID_POSITION when the move failed (a negative target, say).
VB_PLATFORM_API uint32_t VB_CALL SetFilePosition(PlatformFile file, int32_t distance,
                                                 int32_t origin);
VB_PLATFORM_API void VB_CALL CloseFile(PlatformFile file);

// ---- Local heap -----------------------------------------------------------------------------

// A zero-filled local-heap block (LocalAlloc(LMEM_ZEROINIT)); the handle is its address. A size
// of 0 gives a valid empty block. Null when the heap refuses.
VB_PLATFORM_API void* VB_CALL AllocateBlock(uint32_t size);
// LocalFree; null is ignored.
VB_PLATFORM_API void VB_CALL FreeBlock(void* block);

// ---- Device ---------------------------------------------------------------------------------

// GetVersionEx with the 276-byte version record. 1 with the version, 0 when the query failed.
VB_PLATFORM_API int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor);
// GetSystemMetrics(SM_CXSCREEN).
VB_PLATFORM_API int32_t VB_CALL QueryScreenWidth(void);
// GetSystemDefaultLangID.
VB_PLATFORM_API uint16_t VB_CALL QueryDefaultLanguage(void);
// GetDC(NULL), GetDeviceCaps(BITSPIXEL), ReleaseDC: the display's bits per pixel, 0 on failure.
VB_PLATFORM_API int32_t VB_CALL QueryDisplayBitsPerPixel(void);

// ---- Registry -------------------------------------------------------------------------------

typedef void* PlatformRegistryKey;

#define PLATFORM_HKEY_CURRENT_USER ((PlatformRegistryKey)(uintptr_t)0x80000001u)
#define PLATFORM_KEY_ALL_ACCESS 0xF003Fu
// Error codes as the system gives them.
#define PLATFORM_ERROR_SUCCESS 0
#define PLATFORM_ERROR_FILE_NOT_FOUND 2
#define PLATFORM_ERROR_INVALID_PARAMETER 87
#define PLATFORM_ERROR_MORE_DATA 234

// RegOpenKeyEx: 0 and the key in *key, or the error code.
VB_PLATFORM_API int32_t VB_CALL OpenRegistryKey(PlatformRegistryKey root, const char16_t* path,
                                                uint32_t options, uint32_t access,
                                                PlatformRegistryKey* key);
// RegQueryValueEx: data of at most *size bytes. 0 and the value's length in *size, or the error
// code (PLATFORM_ERROR_MORE_DATA when the value is longer than *size).
VB_PLATFORM_API int32_t VB_CALL QueryRegistryValue(PlatformRegistryKey key, const char16_t* name,
                                                   uint32_t* type, void* data, uint32_t* size);
VB_PLATFORM_API int32_t VB_CALL CloseRegistryKey(PlatformRegistryKey key);

// ---- Libraries ------------------------------------------------------------------------------

// LoadLibrary by name. Null when it cannot be loaded.
VB_PLATFORM_API PlatformLibrary VB_CALL LoadLibraryByName(const char16_t* name);
// GetProcAddress by UTF-16 name; null when the library lacks it.
VB_PLATFORM_API void* VB_CALL FindLibrarySymbol(PlatformLibrary library, const char16_t* name);

// ---- Text -----------------------------------------------------------------------------------

// WideCharToMultiByte / MultiByteToWideChar with the system default code page (code page 0),
// no flags, no default character. `sourceLength` -1 takes the source up to and including its
// terminator. With size 0 the answer is the units needed; otherwise the units written, and 0
// when the conversion failed (a destination that is too small makes it fail).
VB_PLATFORM_API int32_t VB_CALL WideToSystemCodePage(const char16_t* source, int32_t sourceLength,
                                                     char* destination, int32_t size);
VB_PLATFORM_API int32_t VB_CALL SystemCodePageToWide(const char* source, int32_t sourceLength,
                                                     char16_t* destination, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
