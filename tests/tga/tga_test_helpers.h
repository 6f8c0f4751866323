// Expectations for the TGA tests, computed without the decoder: DIB header blocks with the
// fixed palettes written out from their definitions, straight DIB rows from a picture given top
// row first, and a small reference of the error-diffusion dither on whole-picture arrays.
#ifndef VB_TESTS_TGA_TGA_TEST_HELPERS_H
#define VB_TESTS_TGA_TGA_TEST_HELPERS_H

#include <stdint.h>

#include <vector>

#include "framework/checks.h"

#include "tests/support/decode_harness.h"

enum class ExpectedPalette {
    None,          // 24 bits: every entry 0
    GrayRamp256,   // entry k = (k, k, k)
    Cube332,       // entry (r << 5) | (g << 2) | b = (red 36 r, green 36 g, blue 85 b)
    Gray4,         // entries 0 to 3 = 0, 85, 170, 255, the rest 0
    Gray4OverRamp  // entries 0 to 3 = 0, 85, 170, 255, entries 4 to 255 = (k, k, k)
};

// The 1064-byte header block.
std::vector<uint8_t> ExpectedHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                         ExpectedPalette palette);

// DIB bits for a picture given top row first: bottom row first, rows padded with zeros.
std::vector<uint8_t> ExpectedStraightBits(const std::vector<uint8_t>& topDown, int32_t width,
                                          int32_t height, int32_t bytesPerPixel);

// Dithers rows of blue-green-red pixels, given in the order they are fed, to 2-bit gray or 3-3-2
// indices with the twelve-neighbour kernel, as DIB bits: fed row k lands in row k when
// `bottomUp`, else in row height - 1 - k.
std::vector<uint8_t> ReferenceDither(const std::vector<uint8_t>& fedRowsBgr, int32_t width,
                                     int32_t height, int32_t bitCount, bool bottomUp);

// Gray levels to blue-green-red pixels.
std::vector<uint8_t> GrayToBgr(const std::vector<uint8_t>& gray);

// Rows of a picture (top row first) in reverse order: the order a bottom-origin file feeds them.
std::vector<uint8_t> ReverseRows(const std::vector<uint8_t>& picture, int32_t width, int32_t height,
                                 int32_t bytesPerPixel);

// A photo-like test picture, top row first, blue-green-red: gradients, a few flat areas (so
// run-length packets of every length occur) and some texture.
std::vector<uint8_t> MakeTestPictureBgr(int32_t width, int32_t height, uint32_t seed);
std::vector<uint8_t> MakeTestPictureGray(int32_t width, int32_t height, uint32_t seed);

// Decodes along `paths` while it lives.
struct PathsInUse {
    explicit PathsInUse(int32_t paths) {
#if defined(VB_CHECKED_MODE)
        SetDecodePaths(paths);
#else
        (void)paths;
#endif
    }
    ~PathsInUse() {
#if defined(VB_CHECKED_MODE)
        SetDecodePaths(DECODE_PATHS_FASTEST);
#endif
    }
};

#endif
