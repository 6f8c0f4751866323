// Helpers shared by the MAG tests: expected DIBs computed from the source picture, random test
// pictures, a recording progress notifier.
#ifndef VB_TESTS_MAG_MAG_TEST_HELPERS_H
#define VB_TESTS_MAG_MAG_TEST_HELPERS_H

#include <stdint.h>

#include <utility>
#include <vector>

#include "framework/plugin.h"
#include "tests/support/mag_encoder.h"

struct ExpectedDib {
    std::vector<uint8_t> header;  // BITMAPINFOHEADER and exactly `colours` RGBQUADs
    std::vector<uint8_t> bits;
    uint32_t stride = 0;
};

// The DIB a correct decoder delivers for `picture`, written from the picture itself.
ExpectedDib ExpectedMagDib(const MagSourcePicture& picture, bool twoHundredLine);

// Random pixels drawn from the first `distinct` palette indices, so that copy codes find
// matches; deterministic for a seed.
MagSourcePicture RandomMagPicture(int32_t width, int32_t height, bool fullColours,
                                  uint32_t distinct, uint32_t seed);

// A picture of soft stripes and blocks: long runs and repeats from rows above.
MagSourcePicture PatternMagPicture(int32_t width, int32_t height, bool fullColours);

// Records every notifier call; answers `stopAfter` calls with 0, then 1 (never, when negative).
struct ProgressLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
    int32_t stopAfter = -1;
};
int32_t VB_CALL RecordProgress(int32_t current, int32_t total, intptr_t userData);

// Progress calls of a complete decode of `height` rows: (0, h), (1, h) ... (h, h), (h, h).
std::vector<std::pair<int32_t, int32_t>> FullProgress(int32_t height);

// Copies of the blocks a decode handed over.
std::vector<uint8_t> BlockBytes(const void* block, size_t size);

#endif
