// vbtga.spi end to end: loaded at run time as a host loads it, pictures served from memory,
// the display and the "full color" setting driven through the platform's testing interface.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/file_cursor.h"
#include "platform/platform_testing.h"
#include "tests/support/tga_encoder.h"
#include "tga_test_helpers.h"

namespace {

class TgaDecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        SetFullColor(-1);
        SetDisplayBits(24);
    }
};

TgaImage ColourImage(int32_t width, int32_t height, const std::vector<uint8_t>& topDown,
                     uint8_t type = 2, uint8_t descriptor = 0) {
    TgaImage image;
    image.imageType = type;
    image.width = width;
    image.height = height;
    image.pixelDepth = 24;
    image.descriptor = descriptor;
    image.pixels = OrderTgaRows(topDown, width, height, 3, descriptor);
    return image;
}

TgaImage GrayImage(int32_t width, int32_t height, const std::vector<uint8_t>& topDown,
                   uint8_t type = 3, uint8_t descriptor = 0) {
    TgaImage image;
    image.imageType = type;
    image.width = width;
    image.height = height;
    image.pixelDepth = 8;
    image.descriptor = descriptor;
    image.pixels = OrderTgaRows(topDown, width, height, 1, descriptor);
    return image;
}

// Adds a fourth byte to every pixel.
std::vector<uint8_t> WithAttributeBytes(const std::vector<uint8_t>& bgr) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bgr.size(); i += 3) {
        out.insert(out.end(), {bgr[i], bgr[i + 1], bgr[i + 2], (uint8_t)(0x80 ^ bgr[i])});
    }
    return out;
}

void ExpectNothingLeft(const DecodeRecord& outcome) {
    EXPECT_EQ(outcome.blocksLeft, 0);
}

// ---- Output depth and colour table by case ----------------------------------------------------

struct TableCase {
    bool gray;
    int32_t displayBits;
    int64_t fullColor;  // -1: no value
    int32_t outputDepth;
    bool reduced;
    ExpectedPalette palette;
};

class TgaColourTableTest : public TgaDecodeTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(TgaColourTableTest, DecodesByteForByte) {
    const TableCase& c = GetParam();
    const int32_t width = 13, height = 7;
    SetDisplayBits(c.displayBits);
    if (!SetFullColor(c.fullColor)) GTEST_SKIP() << FullColorReason;
    std::vector<uint8_t> file;
    std::vector<uint8_t> picture;  // top row first
    std::vector<uint8_t> pictureBgr;
    if (c.gray) {
        picture = MakeTestPictureGray(width, height, 11);
        pictureBgr = GrayToBgr(picture);
        file = EncodeTga(GrayImage(width, height, picture));
    } else {
        picture = MakeTestPictureBgr(width, height, 11);
        pictureBgr = picture;
        file = EncodeTga(ColourImage(width, height, picture));
    }
    DecodeRecord outcome = DecodeServed("vbtga", file);
    ASSERT_EQ(outcome.result, RESULT_OK);
    EXPECT_EQ(outcome.header, ExpectedHeaderBlock(width, height, c.outputDepth, c.palette));
    std::vector<uint8_t> expectedBits =
        c.reduced ? ReferenceDither(ReverseRows(pictureBgr, width, height, 3), width, height,
                                    c.outputDepth, true)
                  : ExpectedStraightBits(picture, width, height, c.gray ? 1 : 3);
    EXPECT_EQ(outcome.bits, expectedBits);
    EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, height, height));
    ExpectNothingLeft(outcome);
}

const ExpectedPalette kNone = ExpectedPalette::None;
const ExpectedPalette kCube = ExpectedPalette::Cube332;
const ExpectedPalette kGray4 = ExpectedPalette::Gray4;
const ExpectedPalette kRamp = ExpectedPalette::GrayRamp256;
const ExpectedPalette kGray4OverRamp = ExpectedPalette::Gray4OverRamp;

INSTANTIATE_TEST_SUITE_P(
    SourceDisplayAndSetting, TgaColourTableTest,
    ::testing::Values(
        // colour source
        TableCase{false, 24, -1, 24, false, kNone}, TableCase{false, 24, 1, 24, false, kNone},
        TableCase{false, 24, 0, 8, true, kCube}, TableCase{false, 16, -1, 24, false, kNone},
        TableCase{false, 16, 0, 8, true, kCube}, TableCase{false, 8, -1, 8, true, kCube},
        TableCase{false, 8, 0, 8, true, kCube}, TableCase{false, 8, 1, 8, true, kCube},
        TableCase{false, 2, -1, 2, true, kGray4}, TableCase{false, 2, 0, 2, true, kGray4},
        TableCase{false, 2, 1, 2, true, kGray4}, TableCase{false, 1, 1, 2, true, kGray4},
        // gray source
        TableCase{true, 24, -1, 8, false, kRamp}, TableCase{true, 24, 0, 8, false, kRamp},
        TableCase{true, 24, 1, 8, false, kRamp}, TableCase{true, 8, -1, 8, false, kRamp},
        TableCase{true, 8, 0, 8, false, kRamp}, TableCase{true, 8, 1, 8, false, kRamp},
        TableCase{true, 2, -1, 2, true, kGray4OverRamp},
        TableCase{true, 2, 0, 2, true, kGray4OverRamp},
        TableCase{true, 2, 1, 2, true, kGray4OverRamp},
        TableCase{true, 4, 1, 2, true, kGray4OverRamp}),
    [](const ::testing::TestParamInfo<TableCase>& info) {
        const TableCase& c = info.param;
        return std::string(c.gray ? "Gray" : "Colour") + "OnDisplay" +
               std::to_string(c.displayBits) +
               (c.fullColor < 0 ? std::string("FullColorMissing")
                                : "FullColor" + std::to_string(c.fullColor));
    });

// ---- Stored forms of the same picture -----------------------------------------------------------

TEST_F(TgaDecodeTest, RawRunLengthAnd32BitFormsDecodeAlike) {
    const int32_t width = 37, height = 11;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 5);
    TgaRleOptions wrapping;
    wrapping.layout = TgaPacketLayout::WrapAcrossRows;
    TgaRleOptions runsOnly;
    runsOnly.minRunPixels = 1;
    TgaRleOptions shortPackets;
    shortPackets.maxPacketPixels = 3;
    shortPackets.layout = TgaPacketLayout::WrapAcrossRows;

    std::vector<std::vector<uint8_t>> files;
    files.push_back(EncodeTga(ColourImage(width, height, picture, 10)));
    files.push_back(EncodeTga(ColourImage(width, height, picture, 10), wrapping));
    files.push_back(EncodeTga(ColourImage(width, height, picture, 10), runsOnly));
    files.push_back(EncodeTga(ColourImage(width, height, picture, 10), shortPackets));
    for (uint8_t type : {2, 10}) {
        TgaImage wide = ColourImage(width, height, picture, type, 0x08);
        wide.pixelDepth = 32;
        wide.pixels = WithAttributeBytes(wide.pixels);
        files.push_back(EncodeTga(wide));
        files.push_back(EncodeTga(wide, wrapping));
    }

    for (int32_t displayBits : {24, 8, 2}) {
        SetDisplayBits(displayBits);
        DecodeRecord reference =
            DecodeServed("vbtga", EncodeTga(ColourImage(width, height, picture)));
        ASSERT_EQ(reference.result, RESULT_OK);
        if (displayBits == 24) {
            EXPECT_EQ(reference.bits, ExpectedStraightBits(picture, width, height, 3));
        }
        for (size_t f = 0; f < files.size(); f++) {
            DecodeRecord outcome = DecodeServed("vbtga", files[f]);
            ASSERT_EQ(outcome.result, RESULT_OK) << "file " << f;
            EXPECT_EQ(outcome.header, reference.header)
                << "file " << f << ", display " << displayBits;
            EXPECT_EQ(outcome.bits, reference.bits) << "file " << f << ", display " << displayBits;
        }
    }
}

TEST_F(TgaDecodeTest, ExtendedLayoutsDecodeLikeTheSamePictureStoredAt24Bits) {
    // With "extended layouts" on, colour-mapped and 15/16-bit colour pictures give, at every
    // display depth, exactly the DIB of the same picture stored at 24 bits; 16-bit gray with
    // alpha that of the gray picture at 8 bits.
    if (!SetPlugInSettings(-1, 1)) GTEST_SKIP() << FullColorReason;
    const int32_t width = 37, height = 11;
    const size_t count = (size_t)width * height;
    const std::vector<uint8_t> shades = MakeTestPictureGray(width, height, 9);
    TgaRleOptions wrapping;
    wrapping.layout = TgaPacketLayout::WrapAcrossRows;
    auto widen = [](uint32_t c) { return (uint8_t)(c * 255 / 31); };

    // 5-5-5 pixels, the top bit set on some of them; the 24-bit picture widens each channel.
    std::vector<uint8_t> fives(2 * count), widened(3 * count);
    const std::vector<uint8_t> photo = MakeTestPictureBgr(width, height, 4);
    for (size_t k = 0; k < count; k++) {
        const uint32_t b = photo[3 * k] >> 3, g = photo[3 * k + 1] >> 3, r = photo[3 * k + 2] >> 3;
        const uint32_t v = b | g << 5 | r << 10 | (k % 3 == 0 ? 0x8000u : 0u);
        fives[2 * k] = (uint8_t)v;
        fives[2 * k + 1] = (uint8_t)(v >> 8);
        widened[3 * k] = widen(b);
        widened[3 * k + 1] = widen(g);
        widened[3 * k + 2] = widen(r);
    }
    // Indices into 200 colours, and 6 of every 200 outside the map: black.
    std::vector<uint8_t> palette(3 * 200);
    for (size_t k = 0; k < palette.size(); k++) palette[k] = (uint8_t)(k * 97 + 13);
    std::vector<uint8_t> mapped(3 * count, 0);
    std::vector<uint16_t> indices(count);
    for (size_t k = 0; k < count; k++) {
        indices[k] = (uint16_t)(shades[k] % 206);
        if (indices[k] < 200) memcpy(&mapped[3 * k], &palette[3 * indices[k]], 3);
    }
    auto mappedImage = [&](uint8_t type, uint8_t depth, uint16_t first, uint8_t entryBits) {
        TgaImage image = ColourImage(width, height, mapped, type);
        image.pixelDepth = depth;
        image.colourMapType = 1;
        image.colourMapFirst = first;
        image.colourMapLength = 200;
        image.colourMapEntryBits = entryBits;
        for (size_t e = 0; e < 200; e++) {
            image.colourMap.insert(image.colourMap.end(), &palette[3 * e], &palette[3 * e + 3]);
            if (entryBits == 32) image.colourMap.push_back(0x5A);
        }
        image.pixels.clear();
        for (size_t k = 0; k < count; k++) {
            // Rows bottom first, as the descriptor 0 lays them out.
            const size_t y = (size_t)height - 1 - k / width, x = k % width;
            const uint32_t index = indices[y * width + x] + first;
            image.pixels.push_back((uint8_t)index);
            if (depth == 16) image.pixels.push_back((uint8_t)(index >> 8));
        }
        return image;
    };
    TgaImage fiveBits = ColourImage(width, height, widened, 2);
    fiveBits.pixelDepth = 16;
    fiveBits.pixels = ReverseRows(fives, width, height, 2);
    // Map entries of 15 bits hold the 5-5-5 values.
    TgaImage fiveBitMap = mappedImage(1, 8, 0, 15);
    fiveBitMap.colourMapLength = 256;
    fiveBitMap.colourMap.clear();
    for (uint32_t e = 0; e < 256; e++) {
        fiveBitMap.colourMap.push_back(fives[2 * e]);
        fiveBitMap.colourMap.push_back(fives[2 * e + 1]);
    }
    std::vector<uint8_t> fiveBitMapped(3 * count, 0);
    for (size_t k = 0; k < count; k++) {
        const size_t y = (size_t)height - 1 - k / width, x = k % width;
        memcpy(&fiveBitMapped[3 * (y * width + x)], &widened[3 * fiveBitMap.pixels[k]], 3);
    }

    struct Pair {
        std::vector<uint8_t> file;
        const std::vector<uint8_t>* picture;  // top row first
        bool gray;
    };
    std::vector<Pair> pairs = {
        {EncodeTga(mappedImage(1, 8, 0, 24)), &mapped, false},
        {EncodeTga(mappedImage(9, 8, 30, 32), wrapping), &mapped, false},
        {EncodeTga(mappedImage(1, 16, 300, 24)), &mapped, false},
        {EncodeTga(mappedImage(9, 16, 65000, 32)), &mapped, false},
        {EncodeTga(fiveBitMap), &fiveBitMapped, false},
        {EncodeTga(fiveBits), &widened, false},
    };
    fiveBits.imageType = 10;
    pairs.push_back({EncodeTga(fiveBits, wrapping), &widened, false});
    fiveBits.pixelDepth = 15;
    pairs.push_back({EncodeTga(fiveBits), &widened, false});
    for (uint8_t type : {3, 11}) {
        TgaImage grayAlpha = GrayImage(width, height, shades, type);
        grayAlpha.pixelDepth = 16;
        grayAlpha.pixels.clear();
        for (size_t k = 0; k < count; k++) {
            const size_t y = (size_t)height - 1 - k / width, x = k % width;
            grayAlpha.pixels.push_back(shades[y * width + x]);
            grayAlpha.pixels.push_back((uint8_t)(k * 7));
        }
        pairs.push_back({EncodeTga(grayAlpha, wrapping), &shades, true});
    }

    for (int32_t displayBits : {24, 8, 2}) {
        SetDisplayBits(displayBits);
        for (size_t p = 0; p < pairs.size(); p++) {
            const TgaImage stored = pairs[p].gray ? GrayImage(width, height, *pairs[p].picture)
                                                  : ColourImage(width, height, *pairs[p].picture);
            DecodeRecord reference = DecodeServed("vbtga", EncodeTga(stored));
            DecodeRecord outcome = DecodeServed("vbtga", pairs[p].file);
            ASSERT_EQ(outcome.result, RESULT_OK) << "pair " << p;
            EXPECT_EQ(outcome.header, reference.header)
                << "pair " << p << ", display " << displayBits;
            EXPECT_EQ(outcome.bits, reference.bits) << "pair " << p << ", display " << displayBits;
        }
    }
}

TEST_F(TgaDecodeTest, GrayRunLengthDecodesLikeRaw) {
    const int32_t width = 29, height = 6;
    std::vector<uint8_t> picture = MakeTestPictureGray(width, height, 8);
    TgaRleOptions wrapping;
    wrapping.layout = TgaPacketLayout::WrapAcrossRows;
    for (int32_t displayBits : {24, 2}) {
        SetDisplayBits(displayBits);
        DecodeRecord raw = DecodeServed("vbtga", EncodeTga(GrayImage(width, height, picture)));
        DecodeRecord packed =
            DecodeServed("vbtga", EncodeTga(GrayImage(width, height, picture, 11)));
        DecodeRecord wrapped =
            DecodeServed("vbtga", EncodeTga(GrayImage(width, height, picture, 11), wrapping));
        ASSERT_EQ(raw.result, RESULT_OK);
        EXPECT_EQ(packed.bits, raw.bits);
        EXPECT_EQ(wrapped.bits, raw.bits);
        EXPECT_EQ(packed.header, raw.header);
    }
}

TEST_F(TgaDecodeTest, IdFieldAndColourMapAreSkipped) {
    const int32_t width = 6, height = 3;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 2);
    std::vector<uint8_t> expected = ExpectedStraightBits(picture, width, height, 3);
    // Entry sizes 15, 16, 24 and 32 bits take 2, 2, 3 and 4 bytes.
    for (uint8_t entryBits : {15, 16, 24, 32}) {
        for (uint8_t type : {2, 10}) {
            TgaImage image = ColourImage(width, height, picture, type);
            image.idField = std::vector<uint8_t>(7, 0x77);
            image.colourMapType = 1;
            image.colourMapFirst = 3;
            image.colourMapLength = 5;
            image.colourMapEntryBits = entryBits;
            image.colourMap = std::vector<uint8_t>(5 * ((entryBits + 7) / 8), 0xEE);
            DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(image));
            ASSERT_EQ(outcome.result, RESULT_OK);
            EXPECT_EQ(outcome.bits, expected)
                << (int)entryBits << " bit entries, type " << (int)type;
        }
    }
}

TEST_F(TgaDecodeTest, PacketsCarriedAcrossRowEnds) {
    // 3 x 3 gray, bottom row first in the file: a run of 4 (row 0 and the first pixel of row
    // 1), a raw packet of 4 (the rest of row 1 and the first two of row 2), a run of 1.
    TgaImage image;
    image.imageType = 11;
    image.width = 3;
    image.height = 3;
    image.pixelDepth = 8;
    image.useRawData = true;
    image.rawData = {0x83, 10, 0x03, 20, 30, 40, 50, 0x80, 60};
    DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(image));
    ASSERT_EQ(outcome.result, RESULT_OK);
    EXPECT_EQ(outcome.bits, (std::vector<uint8_t>{10, 10, 10, 0, 10, 20, 30, 0, 40, 50, 60, 0}));

    // The same at 24 bits: a run of 5 over rows of 2, then a raw packet of 3 over two rows.
    image.imageType = 10;
    image.width = 2;
    image.height = 4;
    image.pixelDepth = 24;
    image.rawData = {0x84, 1, 2, 3, 0x02, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    outcome = DecodeServed("vbtga", EncodeTga(image));
    ASSERT_EQ(outcome.result, RESULT_OK);
    EXPECT_EQ(outcome.bits,
              (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 0, 0, 1, 2, 3, 1,  2,  3,  0, 0,
                                    1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}));
}

TEST_F(TgaDecodeTest, NarrowPicturesPadTheirRows) {
    // Width 1 at 24 bits: stride 4. Width 5 gray: stride 8.
    std::vector<uint8_t> colour = MakeTestPictureBgr(1, 4, 1);
    DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(ColourImage(1, 4, colour, 10)));
    ASSERT_EQ(outcome.result, RESULT_OK);
    ASSERT_EQ(outcome.bits.size(), 16u);
    EXPECT_EQ(outcome.bits, ExpectedStraightBits(colour, 1, 4, 3));

    std::vector<uint8_t> gray = MakeTestPictureGray(5, 3, 1);
    outcome = DecodeServed("vbtga", EncodeTga(GrayImage(5, 3, gray)));
    ASSERT_EQ(outcome.result, RESULT_OK);
    ASSERT_EQ(outcome.bits.size(), 24u);
    EXPECT_EQ(outcome.bits, ExpectedStraightBits(gray, 5, 3, 1));
}

TEST_F(TgaDecodeTest, OrientationBitsGiveAnUprightPicture) {
    const int32_t width = 9, height = 5;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 21);
    for (uint8_t type : {2, 10}) {
        for (uint8_t origin : {0x00, 0x10, 0x20, 0x30}) {
            std::vector<uint8_t> file =
                EncodeTga(ColourImage(width, height, picture, type, origin));
            SetDisplayBits(24);
            DecodeRecord straight = DecodeServed("vbtga", file);
            ASSERT_EQ(straight.result, RESULT_OK);
            EXPECT_EQ(straight.bits, ExpectedStraightBits(picture, width, height, 3))
                << "type " << (int)type << ", descriptor " << (int)origin;

            // Reduced rows are dithered in the order the file holds them: top row first for a
            // top-origin file, which the reducer then stores from the last DIB row up.
            SetDisplayBits(8);
            bool topOrigin = (origin & 0x20) != 0;
            std::vector<uint8_t> fed = topOrigin ? picture : ReverseRows(picture, width, height, 3);
            DecodeRecord reduced = DecodeServed("vbtga", file);
            ASSERT_EQ(reduced.result, RESULT_OK);
            EXPECT_EQ(reduced.bits, ReferenceDither(fed, width, height, 8, !topOrigin))
                << "type " << (int)type << ", descriptor " << (int)origin;
        }
    }
}

TEST_F(TgaDecodeTest, GrayStoredWiderThanOneByteIsRefusedButDescribed) {
    // The decoder would read such rows as something else; the information reader still tells
    // what the file says.
    for (uint8_t depth : {24, 32}) {
        TgaImage image;
        image.imageType = 3;
        image.width = 2;
        image.height = 1;
        image.pixelDepth = depth;
        image.pixels = std::vector<uint8_t>(2u * depth / 8, 7);
        std::vector<uint8_t> file = EncodeTga(image);
        DecodeRecord outcome = DecodeServed("vbtga", file);
        EXPECT_EQ(outcome.result, RESULT_UNKNOWN_FORMAT) << (int)depth;
        EXPECT_EQ(outcome.headerSlot, UntouchedSlot);
        ExpectNothingLeft(outcome);
        InfoReading info = ReadInfo("vbtga", ServeFile("wide-gray.tga", file));
        ASSERT_EQ(info.result, RESULT_OK);
        EXPECT_EQ(info.record.colourDepth, depth);
        EXPECT_EQ(info.record.width, 2);
    }
}

// ---- Short and empty files ------------------------------------------------------------------

TEST_F(TgaDecodeTest, TruncatedPixelDataReadsAsBlack) {
    const int32_t width = 4, height = 3;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 4);
    for (uint8_t type : {2, 10}) {
        TgaRleOptions rawPackets;
        rawPackets.minRunPixels = 200;  // one raw packet per row: 13 bytes
        std::vector<uint8_t> file =
            EncodeTga(ColourImage(width, height, picture, type), rawPackets);
        // Keep the first stored row and half of the second.
        size_t rowBytes = type == 2 ? 12 : 13;
        file.resize(18 + rowBytes + rowBytes / 2);
        DecodeRecord outcome = DecodeServed("vbtga", file);
        ASSERT_EQ(outcome.result, RESULT_OK);
        std::vector<uint8_t> expected = ExpectedStraightBits(picture, width, height, 3);
        // DIB row 0 is the first stored row; row 1 is cut after 6 bytes (raw) or after the
        // count byte and 5 pixel bytes (run-length); row 2 is black.
        size_t kept = type == 2 ? 6 : 5;
        for (size_t b = kept; b < 12; b++) expected[12 + b] = 0;
        for (size_t b = 0; b < 12; b++) expected[24 + b] = 0;
        EXPECT_EQ(outcome.bits, expected) << "type " << (int)type;
        EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, height, height));
    }
}

TEST_F(TgaDecodeTest, HeadersShorterThan18BytesAreUnknown) {
    std::vector<uint8_t> full = EncodeTga(ColourImage(1, 1, {1, 2, 3}));
    for (size_t length : {0, 1, 2, 3, 10, 17}) {
        std::vector<uint8_t> file(full.begin(), full.begin() + (ptrdiff_t)length);
        DecodeRecord outcome = DecodeServed("vbtga", file);
        EXPECT_EQ(outcome.result, RESULT_UNKNOWN_FORMAT) << length;
        EXPECT_EQ(outcome.headerSlot, UntouchedSlot);
        EXPECT_TRUE(outcome.calls.empty());
        ExpectNothingLeft(outcome);

        InfoReading info = ReadInfo("vbtga", ServeFile("short.tga", file));
        EXPECT_EQ(info.result, RESULT_UNKNOWN_FORMAT);
        PictureInfoRecord zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(&info.record, &zero, sizeof zero), 0);
    }
}

TEST_F(TgaDecodeTest, EmptyPicturesGiveCompleteHeadersAndEmptyBits) {
    for (auto size : {std::pair<int, int>{0, 3}, {4, 0}, {0, 0}}) {
        for (uint8_t type : {2, 3, 10, 11}) {
            for (int32_t displayBits : {24, 2}) {
                SetDisplayBits(displayBits);
                TgaImage image;
                image.imageType = type;
                image.width = size.first;
                image.height = size.second;
                image.pixelDepth = type == 3 || type == 11 ? 8 : 24;
                DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(image));
                ASSERT_EQ(outcome.result, RESULT_OK) << size.first << "x" << size.second;
                bool gray = type == 3 || type == 11;
                int32_t depth = displayBits == 2 ? 2 : gray ? 8 : 24;
                ExpectedPalette palette =
                    displayBits == 2
                        ? (gray ? ExpectedPalette::Gray4OverRamp : ExpectedPalette::Gray4)
                        : (gray ? ExpectedPalette::GrayRamp256 : ExpectedPalette::None);
                EXPECT_EQ(outcome.header,
                          ExpectedHeaderBlock(size.first, size.second, depth, palette));
                EXPECT_TRUE(outcome.bits.empty());
                EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, size.second, size.second));
            }
        }
    }
}

// ---- Refusals and failures ------------------------------------------------------------------

TEST_F(TgaDecodeTest, PicturesTheDecoderDoesNotTakeTouchNothing) {
    struct Case {
        uint8_t type, depth, descriptor;
    };
    const Case cases[] = {
        {0, 24, 0},
        {1, 8, 0},
        {9, 8, 0},
        {4, 24, 0},
        {12, 24, 0},
        {255, 24, 0},
        {2, 24, 0x40},
        {2, 24, 0x80},
        {10, 32, 0xC0},
        {2, 16, 0},
        {2, 15, 0},
        {10, 16, 1},
        {3, 16, 0},
        {2, 8, 0},
        {10, 8, 0},
        {2, 0, 0},
        {11, 12, 0},
        // Gray stored at 24 or 32 bits a pixel.
        {3, 24, 0},
        {3, 32, 0},
        {11, 24, 0},
        {11, 32, 0x20},
    };
    for (const Case& c : cases) {
        TgaImage image;
        image.imageType = c.type;
        image.width = 2;
        image.height = 2;
        image.pixelDepth = c.depth;
        image.descriptor = c.descriptor;
        image.pixels = std::vector<uint8_t>(16, 0x55);
        DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(image));
        EXPECT_EQ(outcome.result, RESULT_UNKNOWN_FORMAT)
            << "type " << (int)c.type << ", depth " << (int)c.depth << ", descriptor "
            << (int)c.descriptor;
        EXPECT_EQ(outcome.headerSlot, UntouchedSlot);
        EXPECT_EQ(outcome.bitsSlot, UntouchedSlot);
        EXPECT_TRUE(outcome.calls.empty());
        EXPECT_EQ(outcome.allocations, 0);
        ExpectNothingLeft(outcome);
    }
    // Attribute bits alone do not stop a decode.
    TgaImage attributes = ColourImage(1, 1, {1, 2, 3});
    attributes.pixelDepth = 32;
    attributes.descriptor = 0x08;
    attributes.pixels = {1, 2, 3, 4};
    EXPECT_EQ(DecodeServed("vbtga", EncodeTga(attributes)).result, RESULT_OK);
}

TEST_F(TgaDecodeTest, OpenAndHeaderReadFailures) {
    std::vector<uint8_t> file = EncodeTga(ColourImage(2, 2, MakeTestPictureBgr(2, 2, 1)));
    TestingFailOpen(1);
    DecodeRecord outcome = DecodeServed("vbtga", file);
    TestingFailOpen(0);
    EXPECT_EQ(outcome.result, RESULT_FILE_ERROR);
    EXPECT_EQ(outcome.headerSlot, UntouchedSlot);
    EXPECT_TRUE(outcome.calls.empty());
    ExpectNothingLeft(outcome);

    TestingFailRead(1);
    outcome = DecodeServed("vbtga", file);
    EXPECT_EQ(outcome.result, RESULT_FILE_ERROR);
    EXPECT_EQ(outcome.headerSlot, UntouchedSlot);
    EXPECT_TRUE(outcome.calls.empty());
    ExpectNothingLeft(outcome);

    // A file that is not there at all.
    EXPECT_EQ(Decode("vbtga", u"/nonexistent/picture.tga").result, RESULT_FILE_ERROR);
}

struct PathCase {
    const char* name;
    uint8_t type;
    int32_t displayBits;
    int32_t allocations;  // header, bits, row buffer, and the reducer's eight
};

class TgaFailureTest : public TgaDecodeTest, public ::testing::WithParamInterface<PathCase> {
  protected:
    std::vector<uint8_t> File(int32_t height, int32_t width = 5) {
        const PathCase& c = GetParam();
        bool gray = c.type == 3 || c.type == 11;
        std::vector<uint8_t> picture =
            gray ? MakeTestPictureGray(width, height, 3) : MakeTestPictureBgr(width, height, 3);
        return EncodeTga(gray ? GrayImage(width, height, picture, c.type)
                              : ColourImage(width, height, picture, c.type));
    }
};

TEST_P(TgaFailureTest, EveryAllocationFailureFreesEverything) {
    const PathCase& c = GetParam();
    SetDisplayBits(c.displayBits);
    const int32_t height = 4;
    std::vector<uint8_t> file = File(height);
    DecodeRecord clean = DecodeServed("vbtga", file);
    ASSERT_EQ(clean.result, RESULT_OK);
    ASSERT_EQ(clean.allocations, c.allocations);

    for (int32_t nth = 1; nth <= c.allocations; nth++) {
        TestingFailAllocation(nth);
        DecodeRecord outcome = DecodeServed("vbtga", file);
        EXPECT_EQ(outcome.result, RESULT_MEMORY_ERROR) << "allocation " << nth;
        ExpectNothingLeft(outcome);
        // Each slot gets the answer of its allocation, a null one included.
        EXPECT_NE(outcome.headerSlot, UntouchedSlot) << nth;
        EXPECT_EQ(outcome.bitsSlot != UntouchedSlot, nth > 1) << nth;
        // Only a failed reducer set-up comes after the first notification.
        std::vector<std::pair<int32_t, int32_t>> calls;
        if (nth > 3) calls = ProgressCalls(Protocol::Tga, height, 0);
        EXPECT_EQ(outcome.calls, calls) << "allocation " << nth;
    }
}

TEST_P(TgaFailureTest, EveryRowReadFailureFreesEverything) {
    SetDisplayBits(GetParam().displayBits);
    // Rows of about 64 KB, three buffers' worth: the reads refill the decoder's buffer every
    // few rows.
    const int32_t height = (int32_t)(3 * DECODE_BUFFER_SIZE / 65535) + 1;
    const bool gray = GetParam().type == 3 || GetParam().type == 11;
    std::vector<uint8_t> file = File(height, gray ? 65535 : 65535 / 3);
    DecodeRecord clean = DecodeServed("vbtga", file);
    ASSERT_EQ(clean.result, RESULT_OK);
    ASSERT_GE(clean.reads, 3);
    // Read 1 also brings the header: nothing is allocated or notified when it fails. Every later
    // read fails a row, never an earlier one than the read before it.
    int32_t lastRow = 0;
    for (int64_t nth = 1; nth <= clean.reads; nth++) {
        TestingFailRead(nth);
        DecodeRecord outcome = DecodeServed("vbtga", file);
        EXPECT_EQ(outcome.result, RESULT_FILE_ERROR) << "read " << nth;
        ExpectNothingLeft(outcome);
        if (nth == 1) {
            EXPECT_TRUE(outcome.calls.empty());
            continue;
        }
        const int32_t failedRow = (int32_t)outcome.calls.size() - 2;
        ASSERT_GE(failedRow, lastRow) << "read " << nth;
        ASSERT_LT(failedRow, height) << "read " << nth;
        EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, height, failedRow)) << "read " << nth;
        lastRow = failedRow;
    }
    EXPECT_GT(lastRow, 0);
}

TEST_P(TgaFailureTest, AbortAfterEachRow) {
    SetDisplayBits(GetParam().displayBits);
    const int32_t height = 4;
    std::vector<uint8_t> file = File(height);
    for (int32_t k = 0; k < height; k++) {
        // The notifier answers non-zero to the calls for row k. The answer to the opening call is
        // ignored even when it asks to stop (k = 0 answers non-zero to (0, h) too).
        DecodeOptions options = StopOnCall(k + 2);
        options.answers[0] = k == 0;
        DecodeRecord outcome = DecodeServed("vbtga", file, options);
        EXPECT_EQ(outcome.result, RESULT_ABORTED) << "row " << k;
        ExpectNothingLeft(outcome);
        EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, height, k + 1)) << "row " << k;
    }
    // Rows that lie as in the bits block (the raw gray picture, 1024 bytes a row) come in bulk
    // reads of twice the cursor's buffer and a row: a stop at the edge of the first read, or in
    // a later one, ends the decode there too.
    const int32_t rowsPerRead = (int32_t)(2 * DECODE_BUFFER_SIZE / 1024) + 1;
    const int32_t tall = rowsPerRead + 400;
    std::vector<uint8_t> large = File(tall, 1024);
    ASSERT_GT(large.size(), 2 * (size_t)DECODE_BUFFER_SIZE);
    for (int32_t k : {rowsPerRead - 1, rowsPerRead, rowsPerRead + 59, tall - 1}) {
        DecodeRecord outcome = DecodeServed("vbtga", large, StopOnCall(k + 2));
        EXPECT_EQ(outcome.result, RESULT_ABORTED) << "row " << k;
        ExpectNothingLeft(outcome);
        EXPECT_EQ(outcome.calls, ProgressCalls(Protocol::Tga, tall, k + 1)) << "row " << k;
    }
}

TEST_P(TgaFailureTest, SilentWithoutANotifierAndTheSameThroughGetPreview) {
    SetDisplayBits(GetParam().displayBits);
    std::vector<uint8_t> file = File(3);
    DecodeRecord picture = DecodeServed("vbtga", file);
    DecodeOptions silent;
    silent.notifier = false;
    DecodeRecord quiet = DecodeServed("vbtga", file, silent);
    DecodeOptions preview;
    preview.preview = true;
    DecodeRecord previewed = DecodeServed("vbtga", file, preview);
    ASSERT_EQ(picture.result, RESULT_OK);
    ASSERT_EQ(quiet.result, RESULT_OK);
    ASSERT_EQ(previewed.result, RESULT_OK);
    EXPECT_TRUE(quiet.calls.empty());
    EXPECT_EQ(quiet.bits, picture.bits);
    EXPECT_EQ(previewed.header, picture.header);
    EXPECT_EQ(previewed.bits, picture.bits);
    EXPECT_EQ(previewed.calls, picture.calls);
}

INSTANTIATE_TEST_SUITE_P(Paths, TgaFailureTest,
                         ::testing::Values(PathCase{"RawColourStraight", 2, 24, 3},
                                           PathCase{"RleColourStraight", 10, 24, 3},
                                           PathCase{"RawGrayStraight", 3, 8, 3},
                                           PathCase{"RawColourReduced", 2, 8, 11},
                                           PathCase{"RleColourReduced", 10, 2, 11},
                                           PathCase{"RleGrayReduced", 11, 2, 11}),
                         [](const ::testing::TestParamInfo<PathCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(TgaDecodeTest, PicturesTooLargeForSigned32BitBlocksAreMemoryErrors) {
    // 65535 x 65535 at 24 bits needs about 12.9 GB of bits: refused before it is asked for.
    TgaImage image;
    image.imageType = 2;
    image.width = 65535;
    image.height = 65535;
    image.pixelDepth = 24;
    DecodeRecord outcome = DecodeServed("vbtga", EncodeTga(image));
    EXPECT_EQ(outcome.result, RESULT_MEMORY_ERROR);
    EXPECT_EQ(outcome.allocations, 1);  // the header block only
    EXPECT_TRUE(outcome.calls.empty());
    ExpectNothingLeft(outcome);
}

// ---- Picture information and acceptance -----------------------------------------------------

TEST_F(TgaDecodeTest, PictureInformationComesFromTheHeader) {
    struct Case {
        uint8_t type, depth, descriptor;
        int32_t result;
    };
    const Case cases[] = {
        {1, 8, 0, RESULT_OK},
        {2, 24, 0, RESULT_OK},
        {3, 8, 0, RESULT_OK},
        {9, 8, 0, RESULT_OK},
        {10, 32, 0xC8, RESULT_OK},
        {11, 8, 0, RESULT_OK},
        {2, 16, 0, RESULT_OK},
        {2, 15, 0, RESULT_OK},
        {0, 24, 0, RESULT_UNKNOWN_FORMAT},
        {4, 24, 0, RESULT_UNKNOWN_FORMAT},
        {12, 24, 0, RESULT_UNKNOWN_FORMAT},
    };
    for (const Case& c : cases) {
        TgaImage image;
        image.imageType = c.type;
        image.width = 300;
        image.height = 40000;
        image.pixelDepth = c.depth;
        image.descriptor = c.descriptor;
        image.xOrigin = 12;
        image.yOrigin = 34;
        InfoReading info = ReadInfo("vbtga", ServeFile("info.tga", EncodeTga(image)), 77);
        EXPECT_EQ(info.result, c.result) << (int)c.type;
        PictureInfoRecord expected;
        memset(&expected, 0, sizeof expected);
        if (c.result == RESULT_OK) {
            expected.width = 300;
            expected.height = 40000;
            expected.colourDepth = c.depth;
        }
        EXPECT_EQ(memcmp(&info.record, &expected, sizeof expected), 0) << (int)c.type;
    }
    TestingFailOpen(1);
    EXPECT_EQ(ReadInfo("vbtga", u"info.tga").result, RESULT_FILE_ERROR);
    TestingFailOpen(0);
    TestingFailRead(1);
    InfoReading info = ReadInfo("vbtga", u"info.tga");
    EXPECT_EQ(info.result, RESULT_FILE_ERROR);
    PictureInfoRecord zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&info.record, &zero, sizeof zero), 0);
}

TEST_F(TgaDecodeTest, AcceptsFilesByTheirName) {
    const LoadedPlugin& plugin = Plugin("vbtga");
    ASSERT_NE(plugin.isSupported, nullptr);
    uint8_t head[32] = {0};
    uintptr_t address = (uintptr_t)head;
    EXPECT_EQ(plugin.isSupported(u"a.tga", address), 1);
    EXPECT_EQ(plugin.isSupported(u"x.pcx.tga", address), 1);
    EXPECT_EQ(plugin.isSupported(u"a.tgb", address), 0);
    EXPECT_EQ(plugin.isSupported(u".tga", address), 0);
    EXPECT_EQ(plugin.isSupported(u"tga", address), 0);
    EXPECT_EQ(plugin.isSupported(u"a.tga", 0x1234), -1);
}

}  // namespace
