// Helpers of the MAG plug-in tests: expected DIBs computed from the source picture, random test
// pictures.
#ifndef VB_TESTS_MAG_MAG_TEST_HELPERS_H
#define VB_TESTS_MAG_MAG_TEST_HELPERS_H

#include <stdint.h>

#include <vector>

#include "tests/support/decode_harness.h"
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

#endif
