// Shared by the PCX tests that go through the built vbpcx.spi: the DIBs the decoder should hand
// over, and a fixture that checks no block is left.
#ifndef VB_TESTS_PCX_PCX_PLUGIN_SUPPORT_H
#define VB_TESTS_PCX_PCX_PLUGIN_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"
#include "tests/support/pcx_encoder.h"

// The header block of an 8-bit DIB: BITMAPINFOHEADER and 256 RGBQUADs from `rgb` (missing
// entries 0).
inline std::vector<uint8_t> ExpectedHeader(int32_t width, int32_t height,
                                           const std::vector<uint8_t>& rgb) {
    return DibHeaderBlock(width, height, 8, 256, rgb);
}

// Bits block from a function of (x, file row y) for x below the stride; the first file row is
// the top (last) DIB row.
inline std::vector<uint8_t> ExpectedBits(int32_t width, int32_t height,
                                         const std::function<uint8_t(int32_t, int32_t)>& index) {
    int32_t stride = DibStride(width, 8);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < stride; x++) {
            bits[(size_t)(height - 1 - y) * stride + x] = index(x, y);
        }
    }
    return bits;
}

// Cube index of a 16-colour pixel value in a file whose header palette is all zero: the nearest
// cube entry to the standard 16 colours, worked out by hand.
inline uint8_t PlanarIndex(uint8_t value) {
    static const uint8_t kIndex[16] = {0,  2,  20, 22, 160, 162, 168, 182,
                                       73, 75, 93, 95, 233, 235, 253, 255};
    return kIndex[value & 15];
}

class PcxPluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Plugin("vbpcx").library, nullptr) << "vbpcx.spi did not load";
        TestingReset();
        startBlocks = TestingLiveBlockCount();
    }
    void TearDown() override {
        TestingReset();
        EXPECT_EQ(TestingLiveBlockCount(), startBlocks) << "a block was left allocated";
    }

    int64_t startBlocks = 0;
};

#endif
