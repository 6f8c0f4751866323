// Helpers of the platform-build tests: picture files on the real file system, decodes through a
// loaded plug-in with the blocks copied out and freed as a host frees them, DIB digests, and
// DIB headers written independently of the decoders.
#ifndef VB_TESTS_WINDOWS_BUILD_TEST_SUPPORT_H
#define VB_TESTS_WINDOWS_BUILD_TEST_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "framework/plugin.h"
#include "tests/support/plugin_loader.h"

// Writes `bytes` to a file of that name in this process's own temporary folder; returns its
// UTF-16 path, as the host hands it to the plug-ins.
std::u16string WriteTemporaryFile(const std::string& name, const std::vector<uint8_t>& bytes);
// Removes the folder and what was written into it.
void RemoveTemporaryFiles();

// The plug-in of that name loaded from the build's output folder (kept loaded).
const LoadedPlugin& Plugin(const std::string& name);

struct DecodedDib {
    int32_t result = -100;
    std::vector<uint8_t> header;  // the header block: BITMAPINFOHEADER and colour table
    std::vector<uint8_t> bits;
    std::vector<std::pair<int32_t, int32_t>> progress;  // the notifier's (current, total) calls
    int32_t callsWithOtherUserData = 0;                 // calls that did not get ProgressUserData
};

// The user data that DecodeThroughPlugin hands to GetPicture with its notifier.
const intptr_t ProgressUserData = (intptr_t)0x7A5C3E91;

// GetPicture through the plug-in with a notifier of the interface's calling convention that
// records its calls and the user data it gets; on RESULT_OK copies `headerBytes` of the header
// block and the bits block (its size from the header's width, height and bit count), then frees
// both blocks with the local-heap free operation. On 32-bit x86 a notifier called with another
// convention than its own leaves the stack unbalanced on every call, which a decode of several
// rows does not survive.
DecodedDib DecodeThroughPlugin(const LoadedPlugin& plugin, const std::u16string& path,
                               int32_t offset, uint32_t headerBytes);

// Header block size that a filter allocates for a DIB of this bit count.
uint32_t HeaderBlockSize(const std::string& pluginName, int32_t bitCount);

// 64-bit FNV-1a.
uint64_t Digest(const std::vector<uint8_t>& bytes);

// A BITMAPINFOHEADER with biSize 40, planes 1, BI_RGB and every other field 0, followed by
// `colours` colour-table entries of 0, as the expected start of a header block.
std::vector<uint8_t> ExpectedHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                         uint32_t colours);
// Stores one RGBQUAD (blue, green, red, 0) at colour-table index `index`.
void PutColour(std::vector<uint8_t>* header, uint32_t index, uint8_t red, uint8_t green,
               uint8_t blue);
// Bytes of one DIB row: ((width * bitCount + 31) / 32) * 4.
uint32_t DibStride(int32_t width, int32_t bitCount);

// Puts the device back to the desktop that the POSIX stand-in assumes by default (24-bit display,
// 640 pixels wide, English (United States), version 2.00), so that every build decodes alike.
void UseDesktopDevice();

#endif
