// The host side of the tests: the built plug-ins loaded at run time and driven through their
// exports by file name, as a viewer drives them. Files come from disk or are served from memory
// through the platform's testing interface. A decode is recorded whole: the result, copies of the
// header and bits blocks, every notifier call with the allocations and reads the decode had made
// before it, and the live blocks; what the plug-in hands over is freed as the host frees it.
//
// Every suite that goes through the exports (per filter, fault injection, the platform builds)
// uses this, so they all hold the filters to the same record; and every call made here must
// close every file it opened, or the running test fails (the one use of GoogleTest here).
#ifndef VB_TESTS_SUPPORT_DECODE_HARNESS_H
#define VB_TESTS_SUPPORT_DECODE_HARNESS_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/plugin.h"

// ---- Plug-ins and files -------------------------------------------------------------------------

struct LoadedPlugin {
    void* library = nullptr;
    GetPluginInfoFunction getPluginInfo = nullptr;
    IsSupportedFunction isSupported = nullptr;
    GetPictureInfoFunction getPictureInfo = nullptr;
    GetPictureFunction getPicture = nullptr;
    GetPictureFunction getPreview = nullptr;
};

// The plug-in of that name ("vbtga") from the build's output folder, loaded on first use and kept
// loaded for the rest of the process, as a viewer keeps it; library is null when it did not load.
const LoadedPlugin& Plugin(const std::string& name);

// UTF-8 to UTF-16 (BMP only is enough for file names in tests).
std::u16string Utf16(const std::string& text);

// Serves `bytes` from memory under `name` (an empty file too) and gives the name to open.
std::u16string ServeFile(const std::string& name, const std::vector<uint8_t>& bytes);
// Writes `bytes` to a file of that name in this process's own temporary folder and gives its
// full path, as a host hands it to the plug-ins.
std::u16string WriteTemporaryFile(const std::string& name, const std::vector<uint8_t>& bytes);
// Removes the folder and what was written into it.
void RemoveTemporaryFiles();

// ---- The emulated device ------------------------------------------------------------------------

void SetDisplayBits(int32_t bits);
// Points the emulated registry at a .reg file holding "full color" = `value`, or at none when
// `value` is negative. (The Windows build reads the real registry instead.)
// Answers false when a value cannot be set that way because the registry is the system's own
// (Windows); the test then skips with FullColorReason. No value is what the tests' wine prefix
// holds too.
bool SetFullColor(int64_t value);
// The same with "extended layouts" too; a negative value leaves that one out. SetFullColor(v) is
// SetPlugInSettings(v, -1).
bool SetPlugInSettings(int64_t fullColor, int64_t extendedLayouts);
inline const char* const FullColorReason =
    "\"full color\" cannot be set from a .reg file where the registry is the system's own; "
    "windows_registry_tests sets it in the real registry";
// The desktop that the POSIX stand-in assumes by default (24-bit display, 640 pixels wide,
// English (United States), version 2.00), so that every build decodes alike.
void UseDesktopDevice();

// ---- Decoding -----------------------------------------------------------------------------------

struct DecodeOptions {
    int32_t offset = 0;
    bool preview = false;  // GetPreview instead of GetPicture
    bool notifier = true;  // false: the host passes no notifier
    // The notifier's answer to call k (1 = the first) is answers[k - 1]; past the list it is 0,
    // or 1 once `stopAfter` calls (when not negative) have been answered.
    std::vector<int32_t> answers;
    int32_t stopAfter = -1;
};

// Options whose notifier answers 1 to call `call` (1 = the first) and 0 to every other.
DecodeOptions StopOnCall(int32_t call);

// Allocation and read calls the decode had made at some point.
struct DecodeStep {
    int64_t allocations;
    int64_t reads;
};

// What a slot holds before the call, to tell whether the plug-in wrote it.
extern void* const UntouchedSlot;

struct DecodeRecord {
    int32_t result = -100;  // -100: the plug-in did not load
    // On RESULT_OK, copies of the whole blocks at the size each was allocated; both are freed.
    std::vector<uint8_t> header;
    std::vector<uint8_t> bits;
    // The slots after the call (on RESULT_OK the blocks, freed since): only to compare.
    void* headerSlot = UntouchedSlot;
    void* bitsSlot = UntouchedSlot;
    // (current, total) of every notifier call, and the decode's steps before each.
    std::vector<std::pair<int32_t, int32_t>> calls;
    std::vector<DecodeStep> steps;
    // Notifier calls whose user data was not the one handed to the decode.
    int32_t callsWithOtherUserData = 0;
    // Allocation and read calls of the whole decode.
    int64_t allocations = 0;
    int64_t reads = 0;
    // Live blocks after the call minus before; and after freeing what RESULT_OK handed over.
    int64_t blocksAdded = 0;
    int64_t blocksLeft = 0;
    // Open files after the call minus before (held to 0).
    int64_t filesLeft = 0;
};

// Decodes `fileName` through the plug-in's GetPicture (GetPreview).
DecodeRecord Decode(const std::string& plugin, const std::u16string& fileName,
                    const DecodeOptions& options = DecodeOptions());
// Serves `file` as "picture.tga" (.pcx, .mag: the plug-in's own extension) and decodes it.
DecodeRecord DecodeServed(const std::string& plugin, const std::vector<uint8_t>& file,
                          const DecodeOptions& options = DecodeOptions());

// The notifier calls each filter makes.
enum class Protocol {
    Tga,  // (0, h), (i, h) per row from 0, (h, h) closing whatever the result
    Pcx,  // (0, h), (h, h) before the rows, (i, h) per row from 0, no closing call
    Mag,  // (0, h) after reading, (k, h) per row from 1, (h, h) closing whatever the result
};
// The calls of a decode of `total` rows that got through `rowsDone` of them (all: a complete
// decode) and, for TGA and MAG, made its closing call.
std::vector<std::pair<int32_t, int32_t>> ProgressCalls(Protocol protocol, int32_t total,
                                                       int32_t rowsDone);

// ---- Picture information ------------------------------------------------------------------------

struct InfoReading {
    int32_t result = -100;
    PictureInfoRecord record;  // as the reader left it; every byte 0xA5 before the call
    std::string text;          // the whole information-text block (terminator included), freed
    int64_t allocations = 0;
    int64_t reads = 0;
    int64_t blocksLeft = 0;  // live blocks after the call (text freed) minus before
    int64_t filesLeft = 0;   // open files after the call minus before (held to 0)
};

InfoReading ReadInfo(const std::string& plugin, const std::u16string& fileName, int32_t offset = 0);

// ---- Expected DIBs ------------------------------------------------------------------------------

// Bytes of one DIB row: ((width * bitCount + 31) / 32) * 4.
int32_t DibStride(int32_t width, int32_t bitCount);
// A BITMAPINFOHEADER (size 40, one plane, BI_RGB, every other field 0) and `colours` RGBQUADs
// taken from the red, green, blue triples of `rgb` (entries it does not reach are 0).
std::vector<uint8_t> DibHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                    uint32_t colours, const std::vector<uint8_t>& rgb = {});
// The 3-3-2 colour cube of 8-bit colour output, as red, green, blue triples: index
// (r << 5) | (g << 2) | b is (36 r, 36 g, 85 b).
std::vector<uint8_t> CubePalette();
// A little-endian 32-bit field of a header block (4: width, 8: height).
int32_t HeaderField(const std::vector<uint8_t>& header, size_t at);
// FNV-1a 64 over the red, green and blue bytes of every pixel of a decoded DIB (8 or 24 bits),
// top row first, each row left to right: indexed pixels through the colour table.
uint64_t DibRgbChecksum(const DecodeRecord& out);

#endif
