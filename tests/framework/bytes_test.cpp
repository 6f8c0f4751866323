// Packed stores into host memory and the size checks that guard every allocation.
#include "framework/bytes.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

namespace {

TEST(BytesTest, PictureInfoIsStoredByteByByteAtAnyAddress) {
    // One byte off alignment, with marker bytes around the record.
    std::vector<uint8_t> memory(sizeof(PictureInfoRecord) + 2, 0xEE);
    PictureInfoRecord* info = (PictureInfoRecord*)&memory[1];
    uintptr_t text = (uintptr_t)0x0A0B0C0Du;
    StorePictureInfo(info, -2, 0x01020304, 640, 400, 1, 0xFFFF, -1, text);

    std::vector<uint8_t> expected = {0xEE, 0xFE, 0xFF, 0xFF, 0xFF,  // left
                                     0x04, 0x03, 0x02, 0x01,        // top
                                     0x80, 0x02, 0x00, 0x00,        // width
                                     0x90, 0x01, 0x00, 0x00,        // height
                                     0x01, 0x00,                    // xDensity
                                     0xFF, 0xFF,                    // yDensity
                                     0xFF, 0xFF,                    // colourDepth
                                     0x0D, 0x0C, 0x0B, 0x0A};
    expected.resize(memory.size() - 1, 0x00);  // the upper bytes of a 64-bit handle
    expected.push_back(0xEE);
    EXPECT_EQ(memory, expected);

    ClearPictureInfo(info);
    for (size_t i = 1; i + 1 < memory.size(); i++) EXPECT_EQ(memory[i], 0) << i;
    EXPECT_EQ(memory.front(), 0xEE);
    EXPECT_EQ(memory.back(), 0xEE);
}

TEST(BytesTest, BitmapInfoHeaderSetsEveryByte) {
    std::vector<uint8_t> header(44, 0xEE);
    WriteBitmapInfoHeader(header.data(), 641, 400, 4);
    std::vector<uint8_t> expected = {40,   0,    0, 0,  // biSize
                                     0x81, 0x02, 0, 0,  // biWidth
                                     0x90, 0x01, 0, 0,  // biHeight
                                     1,    0,           // biPlanes
                                     4,    0};          // biBitCount
    expected.resize(40, 0);  // compression, image size, resolutions, colours used / important
    expected.resize(44, 0xEE);
    EXPECT_EQ(header, expected);
}

TEST(BytesTest, BlockSizesMustStayBelowTwoToThe31) {
    struct Case {
        int64_t a, b;
        int32_t ok;
        uint32_t size;
    } cases[] = {
        {0, 0, 1, 0},
        {0, INT64_MAX, 1, 0},
        {1064, 1, 1, 1064},
        {0x7FFFFFFF, 1, 1, 0x7FFFFFFF},
        {1, 0x7FFFFFFF, 1, 0x7FFFFFFF},
        {46340, 46340, 1, 2147395600u},
        {46341, 46341, 0, 0},
        {0x80000000LL, 1, 0, 0},
        {65536, 32768, 0, 0},  // exactly 2^31
        {INT64_MAX, 2, 0, 0},
        {INT64_MAX, INT64_MAX, 0, 0},
        {-1, 1, 0, 0},
        {4, -1, 0, 0},
        {-4, -4, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t size = 0xDEADBEEF;
        EXPECT_EQ(CheckedBlockSize(c.a, c.b, &size), c.ok) << c.a << " x " << c.b;
        EXPECT_EQ(size, c.ok ? c.size : 0xDEADBEEF) << c.a << " x " << c.b;
    }
}

TEST(BytesTest, StridesArePaddedToWholeWords) {
    struct Case {
        int64_t width, bits;
        int32_t ok;
        uint32_t stride;
    } cases[] = {
        {0, 24, 1, 0},
        {1, 24, 1, 4},
        {5, 24, 1, 16},
        {3, 4, 1, 4},
        {9, 4, 1, 8},
        {33, 1, 1, 8},
        {641, 8, 1, 644},
        {5, 2, 1, 4},
        {0x7FFFFFFC, 8, 1, 0x7FFFFFFC},
        {0x7FFFFFFD, 8, 0, 0},  // would pad to 2^31
        {0x7FFFFFFFLL * 8 - 31, 1, 1, 0x7FFFFFFC},
        {0x2AAAAAAA, 24, 0, 0},
        {INT64_MAX, 24, 0, 0},
        {-1, 8, 0, 0},
        {8, 0, 0, 0},
        {8, -8, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t stride = 0xDEADBEEF;
        EXPECT_EQ(CheckedStride(c.width, c.bits, &stride), c.ok) << c.width << " x " << c.bits;
        EXPECT_EQ(stride, c.ok ? c.stride : 0xDEADBEEF) << c.width << " x " << c.bits;
    }
}

}  // namespace
