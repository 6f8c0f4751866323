// The PNG/BMP writer against DIBs built byte by byte here, the way a plug-in lays them out.
#include "host/image_writer.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/host_platform.h"
#include "png_reader.h"

namespace {

void PutLe32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = (uint8_t)(value >> (8 * i));
}

// A header block as the plug-ins allocate it: 40 bytes of BITMAPINFOHEADER, then `blockEntries`
// RGBQUADs; entry i is blue i*3, green 255-i, red i*7.
std::vector<uint8_t> MakeHeaderBlock(int32_t width, int32_t height, uint16_t bitCount,
                                     uint32_t blockEntries, uint32_t coloursUsed = 0) {
    std::vector<uint8_t> block(40 + 4 * blockEntries, 0);
    PutLe32(&block, 0, 40);
    PutLe32(&block, 4, (uint32_t)width);
    PutLe32(&block, 8, (uint32_t)height);
    block[12] = 1;
    block[14] = (uint8_t)bitCount;
    PutLe32(&block, 32, coloursUsed);
    for (uint32_t i = 0; i < blockEntries; ++i) {
        block[40 + 4 * i] = (uint8_t)(i * 3);
        block[41 + 4 * i] = (uint8_t)(255 - i);
        block[42 + 4 * i] = (uint8_t)(i * 7);
    }
    return block;
}

uint32_t StrideOf(int32_t width, int bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

// Index of pixel (x, y from the top) in the palette pictures below.
int IndexAt(int x, int y, int bitCount) {
    return (x + 2 * y + 1) % (1 << bitCount);
}

// Bottom-up bits with the pixels of IndexAt, left pixel in the high bits, pads 0.
std::vector<uint8_t> MakePaletteBits(int32_t width, int32_t height, int bitCount) {
    uint32_t stride = StrideOf(width, bitCount);
    std::vector<uint8_t> bits(stride * height, 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &bits[(size_t)(height - 1 - y) * stride];
        for (int x = 0; x < width; ++x) {
            int bit = x * bitCount;
            row[bit / 8] |= (uint8_t)(IndexAt(x, y, bitCount) << (8 - bitCount - bit % 8));
        }
    }
    return bits;
}

DibLayout ReadLayout(const std::vector<uint8_t>& header, const std::vector<uint8_t>& bits) {
    DibLayout layout;
    std::string problem;
    EXPECT_TRUE(ReadDibLayout(header.data(), bits.data(), &layout, &problem)) << problem;
    return layout;
}

DecodedPng EncodeAndDecodePng(const DibLayout& layout,
                              const PngSettings& settings = PngSettings()) {
    std::vector<uint8_t> bytes;
    std::string problem;
    EXPECT_TRUE(EncodePng(layout, settings, &bytes, &problem)) << problem;
    DecodedPng png;
    EXPECT_TRUE(DecodePng(bytes, &png, &problem)) << problem;
    return png;
}

TEST(BmpWriter, WritesFileHeaderThenTheDibAsReceived) {
    // 4 bits, 3 x 2: a 104-byte header block and two 4-byte rows.
    std::vector<uint8_t> header = MakeHeaderBlock(3, 2, 4, 16);
    std::vector<uint8_t> bits = {0x12, 0x30, 0, 0, 0x45, 0x60, 0, 0};
    std::vector<uint8_t> bmp;
    std::string problem;
    ASSERT_TRUE(EncodeBmp(ReadLayout(header, bits), &bmp, &problem)) << problem;

    std::vector<uint8_t> expected = {'B', 'M', 126, 0, 0, 0, 0, 0, 0, 0, 118, 0, 0, 0};
    expected.insert(expected.end(), header.begin(), header.end());
    expected.insert(expected.end(), bits.begin(), bits.end());
    EXPECT_EQ(expected, bmp);
}

TEST(BmpWriter, TakesOnlyTheColourTableInUse) {
    // The TGA filter hands over a 1064-byte header block at every depth; at 24 bits none of its
    // table belongs to the picture, and a short biClrUsed table is all that is written.
    std::vector<uint8_t> header = MakeHeaderBlock(1, 1, 24, 256);
    std::vector<uint8_t> bits = {1, 2, 3, 0};
    std::vector<uint8_t> bmp;
    std::string problem;
    ASSERT_TRUE(EncodeBmp(ReadLayout(header, bits), &bmp, &problem));
    ASSERT_EQ(14u + 40 + 4, bmp.size());
    EXPECT_EQ(54, bmp[10]);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 40),
              std::vector<uint8_t>(bmp.begin() + 14, bmp.begin() + 54));

    std::vector<uint8_t> shortTable = MakeHeaderBlock(1, 1, 8, 256, 2);
    ASSERT_TRUE(EncodeBmp(ReadLayout(shortTable, bits), &bmp, &problem));
    EXPECT_EQ(14u + 48 + 4, bmp.size());
    EXPECT_EQ(62, bmp[10]);
}

class PalettePng : public ::testing::TestWithParam<int> {};

TEST_P(PalettePng, KeepsIndicesAndTheDibsColourTableTopRowFirst) {
    int bitCount = GetParam();
    // Every index in use (more than 16 colours at 8 bits): the indices stay as they are.
    const int32_t width = bitCount >= 4 ? 1 << bitCount : 5, height = 3;
    std::vector<uint8_t> header =
        MakeHeaderBlock(width, height, (uint16_t)bitCount, 1u << bitCount);
    std::vector<uint8_t> bits = MakePaletteBits(width, height, bitCount);
    DecodedPng png = EncodeAndDecodePng(ReadLayout(header, bits));

    ASSERT_EQ((uint32_t)width, png.width);
    ASSERT_EQ(3u, png.height);
    EXPECT_EQ(3, png.colourType);  // PNG_COLOR_TYPE_PALETTE
    EXPECT_EQ(bitCount, png.bitDepth);
    ASSERT_EQ(3u << bitCount, png.palette.size());
    for (int i = 0; i < (1 << bitCount); ++i) {
        EXPECT_EQ((uint8_t)(i * 7), png.palette[3 * i]) << i;
        EXPECT_EQ((uint8_t)(255 - i), png.palette[3 * i + 1]) << i;
        EXPECT_EQ((uint8_t)(i * 3), png.palette[3 * i + 2]) << i;
    }
    for (uint32_t y = 0; y < png.height; ++y) {
        for (uint32_t x = 0; x < png.width; ++x) {
            EXPECT_EQ(IndexAt(x, y, bitCount), PngIndexAt(png, y, x)) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, PalettePng, ::testing::Values(1, 2, 4, 8));

TEST(PalettePng, PadsAShortColourTableWithBlack) {
    // Indices past biClrUsed must still name a palette entry, or PNG readers refuse the file.
    // 20 entries and index 200 in use: more colours than a 4-bit palette holds.
    std::vector<uint8_t> header = MakeHeaderBlock(21, 1, 8, 20, 20);
    std::vector<uint8_t> bits(24, 0);
    for (uint8_t i = 0; i < 20; ++i) bits[i] = i;
    bits[20] = 200;
    DecodedPng png = EncodeAndDecodePng(ReadLayout(header, bits));
    ASSERT_EQ(768u, png.palette.size());
    EXPECT_EQ((std::vector<uint8_t>{7, 254, 3}),
              std::vector<uint8_t>(png.palette.begin() + 3, png.palette.begin() + 6));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0}),
              std::vector<uint8_t>(png.palette.begin() + 600, png.palette.begin() + 603));
    EXPECT_EQ(200, PngIndexAt(png, 0, 20));
}

TEST_P(PalettePng, AGrayRampTableMakesAGrayscalePicture) {
    int bitCount = GetParam();
    const int32_t width = 7, height = 3;
    uint32_t entries = 1u << bitCount;
    std::vector<uint8_t> header = MakeHeaderBlock(width, height, (uint16_t)bitCount, entries);
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t level = (uint8_t)(i * 255 / (entries - 1));
        header[40 + 4 * i] = header[41 + 4 * i] = header[42 + 4 * i] = level;
    }
    std::vector<uint8_t> bits = MakePaletteBits(width, height, bitCount);
    DecodedPng png = EncodeAndDecodePng(ReadLayout(header, bits));
    EXPECT_EQ(0, png.colourType);  // PNG_COLOR_TYPE_GRAY: the indices are the gray levels
    EXPECT_EQ(bitCount, png.bitDepth);
    EXPECT_TRUE(png.palette.empty());
    for (uint32_t y = 0; y < png.height; ++y) {
        for (uint32_t x = 0; x < png.width; ++x) {
            EXPECT_EQ(IndexAt(x, y, bitCount), PngIndexAt(png, y, x)) << x << "," << y;
        }
    }
    // One step off the ramp, or a table shorter than the depth's: a palette picture.
    header[40 + 4 * (entries - 1)] = 254;
    EXPECT_EQ(3, EncodeAndDecodePng(ReadLayout(header, bits)).colourType);
    std::vector<uint8_t> shortTable =
        MakeHeaderBlock(width, height, (uint16_t)bitCount, entries, entries - 1);
    for (uint32_t i = 0; i + 1 < entries; ++i) {
        uint8_t level = (uint8_t)(i * 255 / (entries - 1));
        shortTable[40 + 4 * i] = shortTable[41 + 4 * i] = shortTable[42 + 4 * i] = level;
    }
    EXPECT_EQ(3, EncodeAndDecodePng(ReadLayout(shortTable, bits)).colourType);
}

TEST(PngText, TheCommentIsAnItxtChunkInUtf8) {
    std::vector<uint8_t> header = MakeHeaderBlock(2, 1, 8, 256);
    std::vector<uint8_t> bits = {0, 1, 0, 0};
    PngSettings settings;
    settings.comment = "\xE3\x81\x82 first line\nsecond";
    DecodedPng png = EncodeAndDecodePng(ReadLayout(header, bits), settings);
    EXPECT_EQ(std::vector<std::string>{"iTXt Comment: \xE3\x81\x82 first line\nsecond"}, png.texts);
    EXPECT_TRUE(EncodeAndDecodePng(ReadLayout(header, bits)).texts.empty());
}

// Round trips through libpng of pictures of every kind the writer tells apart, at widths from 1
// to thousands of pixels and heights on every side of a band boundary (and, where the rows fit
// in a few MiB, one large enough for the writer to choose its settings by trial); each at the
// chosen settings, and the widest at every level from 0 to 9 once.
struct RoundTripCase {
    const char* what;
    int bitCount;
    int indices;            // palette pictures: the indices in use are 0 to indices - 1 (0: all)
    uint32_t tableEntries;  // biClrUsed (0: a full table)
    enum { COLOURS, GRAY_RAMP, SIXTEEN_REPEATED } table;  // entries 16 apart alike in the last
    std::vector<int32_t> widths;
};

void PrintTo(const RoundTripCase& c, std::ostream* out) {
    *out << c.what;
}

// Gradients with noise, flat bands and a dither pattern, so that each candidate setting has
// something to win on; the bits past each row's pixels are all ones, which no pixel may show.
std::vector<uint8_t> MakeRoundTripBits(const RoundTripCase& c, int32_t width, int32_t height) {
    uint32_t stride = StrideOf(width, c.bitCount);
    std::vector<uint8_t> bits((size_t)stride * height, 0xFF);
    uint32_t noise = 1;
    uint32_t indices = c.indices ? (uint32_t)c.indices : 1u << (c.bitCount & 15);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = &bits[(size_t)y * stride];
        for (int32_t x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            uint32_t value = y < height / 3       ? (uint32_t)(x + y) + (noise >> 28)
                             : y < 2 * height / 3 ? (uint32_t)x / 97 * 40
                                                  : (((x + y) & 1) ? 0x5Au : 0xA5u);
            if (c.bitCount == 24) {
                for (int k = 0; k < 3; ++k) row[3 * x + k] = (uint8_t)(value + 37 * k);
                continue;
            }
            uint32_t bit = (uint32_t)x * c.bitCount;
            uint32_t shift = 8 - c.bitCount - bit % 8;
            row[bit / 8] &= (uint8_t) ~(((1u << c.bitCount) - 1) << shift);
            row[bit / 8] |= (uint8_t)((value % indices) << shift);
        }
    }
    return bits;
}

class PngRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PngRoundTrip, KeepsEveryPixelAndWritesSoundChunks) {
    const RoundTripCase& c = GetParam();
    for (int32_t width : c.widths) {
        uint32_t full = c.bitCount == 24 ? 0 : 1u << c.bitCount;
        std::vector<uint8_t> header = MakeHeaderBlock(
            width, 1, (uint16_t)c.bitCount, c.tableEntries ? c.tableEntries : full, c.tableEntries);
        for (uint32_t i = 0; i < full && c.table != RoundTripCase::COLOURS; ++i) {
            uint8_t* entry = &header[40 + 4 * i];
            if (c.table == RoundTripCase::GRAY_RAMP) {
                entry[0] = entry[1] = entry[2] = (uint8_t)(i * 255 / (full - 1));
            } else {
                entry[0] = (uint8_t)(i % 16 * 3), entry[1] = (uint8_t)(255 - i % 16);
                entry[2] = (uint8_t)(i % 16 * 7);
            }
        }
        const uint32_t stride = StrideOf(width, c.bitCount);
        const int32_t band = (int32_t)(256 * 1024 / stride);
        std::vector<int32_t> heights = {1, band - 1, band, band + 1, 2 * band + 1};
        const uint64_t rowBytes = ((uint64_t)width * (c.bitCount == 24 ? 24 : c.bitCount) + 7) / 8;
        int32_t large = (int32_t)((1024 * 1024 / rowBytes / band + 1) * band + 1);
        if ((uint64_t)large * stride <= 4u << 20) heights.push_back(large);
        for (int32_t height : heights) {
            if (height < 1) continue;
            std::vector<uint8_t> bits = MakeRoundTripBits(c, width, height);
            PutLe32(&header, 8, (uint32_t)(height % 2 ? height : -height));
            DibLayout layout = ReadLayout(header, bits);
            std::vector<int32_t> levels = {PNG_LEVEL_CHOSEN};
            if (height == band + 1 && width == c.widths.back()) {
                for (int32_t level = 0; level <= 9; ++level) levels.push_back(level);
            }
            for (int32_t level : levels) {
                SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", level " +
                             std::to_string(level));
                PngSettings settings;
                settings.level = level;
                if (level == 1) settings.comment = "one";
                std::vector<uint8_t> bytes;
                std::string problem;
                ASSERT_TRUE(EncodePng(layout, settings, &bytes, &problem)) << problem;
                std::vector<std::string> types;
                ASSERT_TRUE(CheckPngChunks(bytes, &types, &problem)) << problem;
                EXPECT_EQ(level == 1, std::find(types.begin(), types.end(), "iTXt") != types.end());
                DecodedPng png;
                ASSERT_TRUE(DecodePng(bytes, &png, &problem)) << problem;
                ASSERT_TRUE(ComparePngWithDib(layout, png, &problem)) << problem;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, PngRoundTrip,
    ::testing::Values(
        RoundTripCase{"rgb", 24, 0, 0, RoundTripCase::COLOURS, {1, 7, 700, 3001}},
        RoundTripCase{"palette8", 8, 0, 0, RoundTripCase::COLOURS, {1, 33, 1500}},
        RoundTripCase{"palette8_17_colours", 8, 17, 0, RoundTripCase::COLOURS, {1, 5, 3001}},
        RoundTripCase{"palette8_16_colours", 8, 16, 0, RoundTripCase::COLOURS, {1, 5, 3001}},
        RoundTripCase{"palette8_3_colours", 8, 3, 0, RoundTripCase::COLOURS, {1, 5, 3001}},
        RoundTripCase{"palette8_2_colours", 8, 2, 0, RoundTripCase::COLOURS, {1, 5, 3001}},
        RoundTripCase{
            "palette8_32_indices_16_colours", 8, 32, 0, RoundTripCase::SIXTEEN_REPEATED, {3, 2000}},
        RoundTripCase{"palette8_short_table", 8, 0, 20, RoundTripCase::COLOURS, {2, 1001}},
        RoundTripCase{"palette8_short_table_3_colours", 8, 0, 2, RoundTripCase::COLOURS, {7}},
        RoundTripCase{"palette4", 4, 0, 0, RoundTripCase::COLOURS, {1, 3, 2400}},
        RoundTripCase{"palette4_5_colours", 4, 5, 0, RoundTripCase::COLOURS, {1, 3, 2400}},
        RoundTripCase{"palette4_3_colours", 4, 3, 0, RoundTripCase::COLOURS, {3, 2401}},
        RoundTripCase{"palette4_2_colours", 4, 2, 0, RoundTripCase::COLOURS, {3, 2401}},
        RoundTripCase{"palette2", 2, 0, 0, RoundTripCase::COLOURS, {1, 3, 999}},
        RoundTripCase{"palette2_2_colours", 2, 2, 0, RoundTripCase::COLOURS, {3, 999}},
        RoundTripCase{"palette1", 1, 0, 0, RoundTripCase::COLOURS, {1, 9, 4000}},
        RoundTripCase{"palette1_1_colour", 1, 1, 0, RoundTripCase::COLOURS, {9}},
        RoundTripCase{"gray8", 8, 0, 0, RoundTripCase::GRAY_RAMP, {1, 1001}},
        RoundTripCase{"gray4", 4, 0, 0, RoundTripCase::GRAY_RAMP, {3, 1001}},
        RoundTripCase{"gray2", 2, 0, 0, RoundTripCase::GRAY_RAMP, {3, 1001}},
        RoundTripCase{"gray1", 1, 0, 0, RoundTripCase::GRAY_RAMP, {3, 1001}}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) {
        return std::string(info.param.what);
    });

// A sink that refuses bytes past a limit, as a full disk does, and a report that stops.
struct LimitedSink {
    size_t limit;
    size_t taken = 0;
};

bool TakeUpToLimit(void* context, const uint8_t*, size_t count, std::string* problem) {
    LimitedSink* sink = static_cast<LimitedSink*>(context);
    if (sink->taken + count > sink->limit) {
        *problem = "disk full";
        return false;
    }
    sink->taken += count;
    return true;
}

bool StopAtFirstBand(void* context, int32_t rowsDone, int32_t) {
    *static_cast<int32_t*>(context) = rowsDone;
    return false;
}

TEST(Writers, StopWhenTheSinkFailsOrTheReportSaysSo) {
    // 1000 rows of 3000 bytes: several bands.
    std::vector<uint8_t> header = MakeHeaderBlock(1000, 1000, 24, 0);
    std::vector<uint8_t> bits(3000u * 1000, 7);
    DibLayout layout = ReadLayout(header, bits);
    for (bool png : {true, false}) {
        SCOPED_TRACE(png ? "png" : "bmp");
        std::string problem;
        LimitedSink full = {100};
        ByteSink sink = {TakeUpToLimit, &full};
        WriteResult result = png ? WritePng(layout, PngSettings(), sink, nullptr, &problem)
                                 : WriteBmp(layout, sink, nullptr, &problem);
        EXPECT_EQ(WRITE_FAILED, result);
        EXPECT_NE(std::string::npos, problem.find("disk full")) << problem;

        LimitedSink roomy = {SIZE_MAX};
        sink.context = &roomy;
        int32_t rowsReported = 0;
        RowProgress stop = {StopAtFirstBand, &rowsReported};
        result = png ? WritePng(layout, PngSettings(), sink, &stop, &problem)
                     : WriteBmp(layout, sink, &stop, &problem);
        EXPECT_EQ(WRITE_STOPPED, result);
        EXPECT_EQ(CountRowsPerBand(layout), rowsReported);
        EXPECT_LT(roomy.taken, bits.size() / 2);
    }
}

TEST(ColourPng, TurnsBlueGreenRedRowsIntoRgbWithTheTopRowFirst) {
    // 3 x 2 at 24 bits: stride 12. Memory row 0 is the bottom row.
    std::vector<uint8_t> header = MakeHeaderBlock(3, 2, 24, 0);
    std::vector<uint8_t> bits = {
        10, 11, 12, 20, 21, 22, 30, 31, 32, 0, 0, 0,  // bottom
        40, 41, 42, 50, 51, 52, 60, 61, 62, 0, 0, 0,  // top
    };
    DecodedPng png = EncodeAndDecodePng(ReadLayout(header, bits));
    EXPECT_EQ(2, png.colourType);  // PNG_COLOR_TYPE_RGB
    EXPECT_EQ(8, png.bitDepth);
    ASSERT_EQ(2u, png.rows.size());
    EXPECT_EQ((std::vector<uint8_t>{42, 41, 40, 52, 51, 50, 62, 61, 60}), png.rows[0]);
    EXPECT_EQ((std::vector<uint8_t>{12, 11, 10, 22, 21, 20, 32, 31, 30}), png.rows[1]);

    // A negative height says the rows are already top row first.
    PutLe32(&header, 8, (uint32_t)-2);
    png = EncodeAndDecodePng(ReadLayout(header, bits));
    EXPECT_EQ((std::vector<uint8_t>{12, 11, 10, 22, 21, 20, 32, 31, 30}), png.rows[0]);
}

struct BadHeader {
    const char* what;
    size_t offset;  // field to overwrite, 4 bytes little-endian
    uint32_t value;
};

void PrintTo(const BadHeader& header, std::ostream* out) {
    *out << header.what;
}

class UnusableHeader : public ::testing::TestWithParam<BadHeader> {};

TEST_P(UnusableHeader, IsRefusedBeforeTheBitsAreRead) {
    std::vector<uint8_t> header = MakeHeaderBlock(4, 4, 8, 256);
    PutLe32(&header, GetParam().offset, GetParam().value);
    if (GetParam().offset == 12) header[14] = 8;  // planes share a word with the depth
    DibLayout layout;
    std::string problem;
    // No bits block at all: a refused header must not lead to reading one.
    EXPECT_FALSE(ReadDibLayout(header.data(), nullptr, &layout, &problem));
    EXPECT_FALSE(problem.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, UnusableHeader,
    ::testing::Values(BadHeader{"core header", 0, 12}, BadHeader{"v5 header", 0, 124},
                      BadHeader{"negative width", 4, (uint32_t)-4},
                      BadHeader{"height INT32_MIN", 8, 0x80000000u}, BadHeader{"two planes", 12, 2},
                      BadHeader{"16 bits", 14, 16}, BadHeader{"32 bits", 14, 32},
                      BadHeader{"3 bits", 14, 3}, BadHeader{"RLE8", 16, 1},
                      BadHeader{"257 colours", 32, 257}, BadHeader{"rows need a bits block", 8, 4}),
    [](const ::testing::TestParamInfo<BadHeader>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = isalnum((unsigned char)c) ? c : '_';
        return name;
    });

TEST(DibLayout, RefusesSizesThatDoNotFitAHeapBlock) {
    std::string problem;
    DibLayout layout;
    uint8_t bits[4] = {};
    // 0x7FFFFFFF pixels of 3 bytes in one row, and a 4-bit table entry count above 16.
    std::vector<uint8_t> wide = MakeHeaderBlock(0x7FFFFFFF, 1, 24, 0);
    EXPECT_FALSE(ReadDibLayout(wide.data(), bits, &layout, &problem));
    std::vector<uint8_t> tall = MakeHeaderBlock(65536, 65536, 8, 256);
    EXPECT_FALSE(ReadDibLayout(tall.data(), bits, &layout, &problem));
    std::vector<uint8_t> table = MakeHeaderBlock(1, 1, 4, 16, 17);
    EXPECT_FALSE(ReadDibLayout(table.data(), bits, &layout, &problem));
}

TEST(DibLayout, EmptyPictureMakesABmpButNoPng) {
    std::vector<uint8_t> header = MakeHeaderBlock(0, 0, 24, 0);
    DibLayout layout;
    std::string problem;
    ASSERT_TRUE(ReadDibLayout(header.data(), nullptr, &layout, &problem)) << problem;
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(EncodePng(layout, PngSettings(), &bytes, &problem));
    EXPECT_TRUE(bytes.empty());
    ASSERT_TRUE(EncodeBmp(layout, &bytes, &problem));
    EXPECT_EQ(54u, bytes.size());
}

TEST(FileWriting, LeavesNoPartialFileBehind) {
    char folder[] = "/tmp/vbhost-writer-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    std::string path = std::string(folder) + "/out.png";
    std::vector<uint8_t> bytes = {1, 2, 3};
    std::string problem;
    OutputFile file;
    ASSERT_TRUE(OpenOutputFile(path, &file, &problem)) << problem;
    ASSERT_TRUE(WriteOutputFile(&file, bytes.data(), bytes.size(), &problem)) << problem;
    ASSERT_TRUE(FinishOutputFile(&file, &problem)) << problem;
    EXPECT_EQ(bytes, ReadFileBytes(path));
    // An older file is replaced whole, keeping its permissions, and only once the new one is.
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    ASSERT_TRUE(OpenOutputFile(path, &file, &problem));
    uint8_t nine = 9;
    ASSERT_TRUE(WriteOutputFile(&file, &nine, 1, &problem));
    EXPECT_EQ(bytes, ReadFileBytes(path));
    ASSERT_TRUE(FinishOutputFile(&file, &problem));
    EXPECT_EQ(std::vector<uint8_t>{9}, ReadFileBytes(path));
    struct stat status;
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 0777);
    // Abandoned: the older file stays as it was.
    ASSERT_TRUE(OpenOutputFile(path, &file, &problem));
    ASSERT_TRUE(WriteOutputFile(&file, bytes.data(), bytes.size(), &problem));
    AbandonOutputFile(&file);
    EXPECT_EQ(std::vector<uint8_t>{9}, ReadFileBytes(path));
    // Small pieces are gathered and large ones (bands of rows) written straight: in order.
    std::vector<uint8_t> mixed(300 * 1024);
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = (uint8_t)(i * 7 + i / 251);
    ASSERT_TRUE(OpenOutputFile(path, &file, &problem));
    size_t done = 0;
    for (size_t piece : {14, 1050, 100000, 7, 150000, 56129}) {
        ASSERT_TRUE(WriteOutputFile(&file, mixed.data() + done, piece, &problem)) << problem;
        done += piece;
    }
    ASSERT_EQ(mixed.size(), done);
    ASSERT_TRUE(FinishOutputFile(&file, &problem)) << problem;
    EXPECT_EQ(mixed, ReadFileBytes(path));

    EXPECT_FALSE(OpenOutputFile(std::string(folder) + "/missing/out.png", &file, &problem));
    EXPECT_EQ(
        "cannot create " + std::string(folder) + "/missing/out.png: No such file or directory",
        problem);

    unlink(path.c_str());
    EXPECT_EQ(0, rmdir(folder)) << "something else was left in the folder";
}

}  // namespace
