// Internal routines of the MAG reader: the layout derived from a header, and the row decoder
// against a plain model on damaged data, where streams and copy sources leave their blocks.
#include "mag/mag_reader.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

MagHeader HeaderFor(int32_t width, int32_t height, bool fullColours, bool doubled) {
    MagHeader header = {};
    header.mode = (uint8_t)((fullColours ? 0x80 : 0) | (doubled ? 0x01 : 0));
    header.xEnd = (int16_t)(width - 1);
    header.yEnd = (int16_t)(height - 1);
    header.flagAOffset = 32 + 48;
    header.flagBOffset = header.flagAOffset;
    header.pixelOffset = header.flagAOffset;
    return header;
}

TEST(MagLayout, RowSizesFollowTheWidth) {
    struct Case {
        int32_t width;
        bool full;
        uint32_t stride;
        uint32_t flagBytes;
    };
    const Case cases[] = {
        {640, false, 320, 80},    {641, false, 324, 81},   {2048, false, 1024, 256},
        {2049, false, 1028, 257}, {1024, true, 1024, 256}, {1025, true, 1028, 257},
        {1, false, 4, 1},         {1, true, 4, 1},
    };
    for (const Case& c : cases) {
        MagHeader header = HeaderFor(c.width, 3, c.full, false);
        MagLayout layout;
        ASSERT_EQ(PlanMagDecode(&header, &layout), 0) << c.width;
        EXPECT_EQ(layout.stride, c.stride) << c.width;
        EXPECT_EQ(layout.flagBytes, c.flagBytes) << c.width;
        EXPECT_EQ(layout.bitsSize, 3 * c.stride) << c.width;
    }

    MagHeader header = HeaderFor(640, 200, false, true);
    header.xStart = 100;  // used as it stands
    header.xEnd = 739;
    MagLayout layout;
    ASSERT_EQ(PlanMagDecode(&header, &layout), 0);
    EXPECT_EQ(layout.width, 640);
    EXPECT_EQ(layout.outputHeight, 400);
    EXPECT_EQ(layout.bitsSize, 320u * 400);
    EXPECT_EQ(layout.headerBlockSize, 104u);
}

TEST(MagLayout, RefusesBeforeAnythingIsAllocated) {
    MagLayout layout;
    MagHeader header = HeaderFor(0, 10, false, false);
    EXPECT_EQ(PlanMagDecode(&header, &layout), 3);
    header = HeaderFor(10, -3, true, false);
    EXPECT_EQ(PlanMagDecode(&header, &layout), 3);

    header = HeaderFor(10, 10, false, false);
    header.pixelSize = 0;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 0);
    EXPECT_EQ(layout.dataSize, 0u);
    header.pixelSize = -1;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 3);
    // The offsets are signed 32-bit values; their sums do not wrap.
    header.pixelOffset = INT32_MAX;
    header.pixelSize = INT32_MAX;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 5);
    header.pixelOffset = INT32_MIN;
    header.pixelSize = INT32_MIN;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 3);

    // 32768 x 65536 at 16 colours is 2^30 bytes; doubled it reaches 2^31.
    header = HeaderFor(32768, 1, false, false);
    header.yStart = INT16_MIN;
    header.yEnd = INT16_MAX;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 0);
    EXPECT_EQ(layout.bitsSize, 1u << 30);
    header.mode = 0x01;
    EXPECT_EQ(PlanMagDecode(&header, &layout), 5);
}

// The decoding steps written out plainly: a byte at a time, every position looked up with its
// bounds, the row ended by the pixel count.
std::vector<uint8_t> DecodeRowsPlainly(int32_t width, int32_t height, bool full, bool doubled,
                                       const std::vector<uint8_t>& data, int64_t flagB,
                                       int64_t pixels) {
    const int bytesLeft[16] = {0, 2, 4, 8, 0, 2, 0, 2, 4, 0, 2, 4, 0, 2, 4, 0};
    const int rowsUp[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};
    const int64_t depth = full ? 8 : 4;
    const int64_t stride = (width * depth + 31) / 32 * 4;
    const int64_t rows = doubled ? 2 * height : height;
    std::vector<uint8_t> bits((size_t)(stride * rows), 0);
    auto dataAt = [&](int64_t p) -> uint8_t {
        return p >= 0 && p < (int64_t)data.size() ? data[(size_t)p] : 0;
    };
    auto bitsAt = [&](int64_t p) -> uint8_t {
        return p >= 0 && p < (int64_t)bits.size() ? bits[(size_t)p] : 0;
    };
    std::vector<uint8_t> line((size_t)width, 0);
    int64_t flagA = 0;
    int mask = 0x80;
    for (int32_t row = 0; row < height; ++row) {
        int64_t out = (height - 1 - row) * stride;
        int32_t done = 0;
        for (size_t i = 0; done < width; ++i) {
            if (dataAt(flagA) & mask) line[i] ^= dataAt(flagB++);
            mask >>= 1;
            if (mask == 0) {
                mask = 0x80;
                ++flagA;
            }
            for (int code : {line[i] >> 4, line[i] & 15}) {
                uint8_t first, second;
                if (code == 0) {
                    first = dataAt(pixels++);
                    second = dataAt(pixels++);
                } else {
                    const int64_t source = out + rowsUp[code] * stride - bytesLeft[code];
                    first = bitsAt(source);
                    second = bitsAt(source + 1);
                }
                bits[(size_t)out] = first;
                bits[(size_t)out + 1] = second;
                out += 2;
                done += full ? 2 : 4;
            }
        }
    }
    return bits;
}

TEST(MagRowDecoder, MatchesThePlainStepsOnDamagedData) {
    std::mt19937 random(20240601);
    for (int trial = 0; trial < 3000; ++trial) {
        const bool full = random() % 2;
        const bool doubled = random() % 3 == 0;
        const int32_t width = 1 + (int32_t)(random() % (trial % 10 == 0 ? 300 : 40));
        const int32_t height = 1 + (int32_t)(random() % (trial % 7 == 0 ? 120 : 30));
        std::vector<uint8_t> data(random() % 3000);
        // Mostly zero bytes keep flags and copies frequent; the rest is noise.
        for (auto& byte : data) byte = random() % 3 ? 0 : (uint8_t)random();
        const int64_t size = (int64_t)data.size();
        const int64_t flagB = (int64_t)(random() % (size + 200)) - 100;
        const int64_t pixels = (int64_t)(random() % (size + 200)) - 100;
        SCOPED_TRACE(testing::Message()
                     << "trial " << trial << ": " << width << "x" << height
                     << (full ? " 256" : " 16") << (doubled ? " doubled" : "") << ", data " << size
                     << ", flag B " << flagB << ", pixels " << pixels);

        MagHeader header = HeaderFor(width, height, full, doubled);
        header.flagAOffset = 1000;
        header.flagBOffset = (int32_t)(1000 + flagB);
        header.pixelOffset = (int32_t)(1000 + pixels);
        header.pixelSize = (int32_t)(size - pixels);
        MagLayout layout;
        ASSERT_EQ(PlanMagDecode(&header, &layout), 0);
        ASSERT_EQ(layout.dataSize, (uint32_t)size);

        std::vector<uint8_t> work(layout.workSize, 0);
        std::copy(data.begin(), data.end(), work.begin());
        std::vector<uint8_t> bits(layout.bitsSize, 0);
        MagRowDecoder decoder;
        StartMagRows(&decoder, &layout, bits.data(), work.data());
        for (int32_t row = 0; row < height; ++row) DecodeMagRow(&decoder, row);
        ASSERT_EQ(bits, DecodeRowsPlainly(width, height, full, doubled, data, flagB, pixels));

        // The checked loop alone, on every row, gives the same picture.
        std::vector<uint8_t> checked(layout.bitsSize, 0);
        StartMagRows(&decoder, &layout, checked.data(), work.data());
        for (int32_t row = 0; row < height; ++row) DecodeMagRowChecked(&decoder, row);
        ASSERT_EQ(checked, bits);
        // The data itself is read, never written.
        ASSERT_TRUE(std::equal(data.begin(), data.end(), work.begin()));
    }
}

TEST(MagRowDecoder, BothLoopsAgreeOnTheSamplePictures) {
    for (const char* name : {"mag16_640x400.mag", "mag256.mag", "mag200line.mag"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(VB_SOURCE_DIR) + "/samples/" + name, std::ios::binary);
        ASSERT_TRUE(in);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        // The header follows the comment's closing 0x1A; the offsets count from the header.
        const size_t headerAt =
            (size_t)(std::find(file.begin() + 8, file.end(), 0x1A) - file.begin()) + 1;
        ASSERT_LE(headerAt + 32, file.size());
        MagHeader header;
        ParseMagHeader(&file[headerAt], &header);
        MagLayout layout;
        ASSERT_EQ(PlanMagDecode(&header, &layout), 0);
        std::vector<uint8_t> work(layout.workSize, 0);
        const size_t dataAt = headerAt + (size_t)header.flagAOffset;
        ASSERT_LE(dataAt + layout.dataSize, file.size());
        std::copy(file.begin() + (ptrdiff_t)dataAt,
                  file.begin() + (ptrdiff_t)(dataAt + layout.dataSize), work.begin());

        std::vector<uint8_t> bits(layout.bitsSize, 0), checked(layout.bitsSize, 0);
        MagRowDecoder decoder;
        StartMagRows(&decoder, &layout, bits.data(), work.data());
        for (int32_t row = 0; row < layout.height; ++row) DecodeMagRow(&decoder, row);
        StartMagRows(&decoder, &layout, checked.data(), work.data());
        for (int32_t row = 0; row < layout.height; ++row) DecodeMagRowChecked(&decoder, row);
        ASSERT_EQ(checked, bits);
        ASSERT_NE(std::count(bits.begin(), bits.end(), 0), (ptrdiff_t)bits.size());
    }
}

}  // namespace
