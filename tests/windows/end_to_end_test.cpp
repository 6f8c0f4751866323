// The three plug-ins end to end, loaded at run time the way a host loads them and reading real
// files: acceptance test, picture information and decode, compared byte for byte with DIBs
// written out here from the pictures' own pixels. The same cases run in every build (Linux,
// Windows under wine, 32-bit ARM under qemu), so each platform is held to the same blocks.
#include <gtest/gtest.h>
#include <string.h>

#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"
#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

namespace {

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        UseDesktopDevice();
        liveBlocks = TestingLiveBlockCount();
    }
    void TearDown() override {
        EXPECT_EQ(TestingLiveBlockCount(), liveBlocks);
        RemoveTemporaryFiles();
    }
    int64_t liveBlocks = 0;
};

// The notifier calls, (current, total), of a whole decode.
typedef std::vector<std::pair<int32_t, int32_t>> Progress;

// Six pixels, 3 x 2, as blue, green, red triples: bottom row first, as TGA stores it with the
// origin at the lower left, and as a DIB stores it.
const uint8_t TgaPixels[2][9] = {
    {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03},
};

std::vector<uint8_t> TgaFile(uint8_t imageType) {
    TgaImage image;
    image.imageType = imageType;
    image.width = 3;
    image.height = 2;
    image.pixelDepth = 24;
    for (const auto& row : TgaPixels) image.pixels.insert(image.pixels.end(), row, row + 9);
    return EncodeTga(image);
}

TEST_F(EndToEndTest, TgaAcceptsByNameAndDecodesRawAndRunLengthAlike) {
    const LoadedPlugin& tga = Plugin("vbtga");
    ASSERT_NE(tga.library, nullptr);
    uint8_t head[8] = {};
    EXPECT_EQ(tga.isSupported(u"picture.tga", (uintptr_t)head), 1);
    EXPECT_EQ(tga.isSupported(u"PICTURE.TGA", (uintptr_t)head), 1);
    EXPECT_EQ(tga.isSupported(u"picture.pcx", (uintptr_t)head), 0);
    EXPECT_EQ(tga.isSupported(u"picture.tga", 0x1234), RESULT_NOT_IMPLEMENTED);

    std::vector<uint8_t> expectedHeader = DibHeaderBlock(3, 2, 24, 256);
    std::vector<uint8_t> expectedBits(2 * 12, 0);  // 9 bytes a row, padded to 12
    for (int row = 0; row < 2; row++) memcpy(&expectedBits[row * 12], TgaPixels[row], 9);

    for (uint8_t type : {2, 10}) {
        std::u16string path = WriteTemporaryFile("picture.tga", TgaFile(type));
        InfoReading info = ReadInfo("vbtga", path);
        ASSERT_EQ(info.result, RESULT_OK);
        EXPECT_EQ(info.record.left, 0);
        EXPECT_EQ(info.record.top, 0);
        EXPECT_EQ(info.record.width, 3);
        EXPECT_EQ(info.record.height, 2);
        EXPECT_EQ(info.record.xDensity, 0);
        EXPECT_EQ(info.record.yDensity, 0);
        EXPECT_EQ(info.record.colourDepth, 24);
        uintptr_t text = info.record.infoText;  // a copy: the packed field is misaligned
        EXPECT_EQ(text, 0u);

        DecodeRecord dib = Decode("vbtga", path);
        ASSERT_EQ(dib.result, RESULT_OK) << "type " << (int)type;
        EXPECT_EQ(dib.header, expectedHeader) << "type " << (int)type;
        EXPECT_EQ(dib.bits, expectedBits) << "type " << (int)type;
        // TGA reports the start, each row as it begins, then the end.
        EXPECT_EQ(dib.calls, (Progress{{0, 2}, {0, 2}, {1, 2}, {2, 2}})) << "type " << (int)type;
        EXPECT_EQ(dib.callsWithOtherUserData, 0) << "type " << (int)type;
    }
}

TEST_F(EndToEndTest, PcxDecodesItsPaletteAndTurnsTheRowsOver) {
    const LoadedPlugin& pcx = Plugin("vbpcx");
    ASSERT_NE(pcx.library, nullptr);
    uint8_t head[8] = {};
    EXPECT_EQ(pcx.isSupported(u"picture.pcx", (uintptr_t)head), 1);
    EXPECT_EQ(pcx.isSupported(u"picture.tga", (uintptr_t)head), 0);

    // 5 x 2, top row first; a palette whose every entry differs.
    std::vector<uint8_t> pixels = {0, 1, 2, 3, 255, 200, 200, 200, 7, 7};
    std::vector<uint8_t> palette(768);
    for (int i = 0; i < 256; i++) {
        palette[3 * i] = (uint8_t)i;
        palette[3 * i + 1] = (uint8_t)(255 - i);
        palette[3 * i + 2] = (uint8_t)(i * 7);
    }
    PcxFile file = MakeIndexedPcx(5, 2, pixels, palette);
    file.xmin = 10;
    file.ymin = 20;
    file.xmax = 14;
    file.ymax = 21;
    std::u16string path = WriteTemporaryFile("picture.pcx", WritePcx(file));

    InfoReading info = ReadInfo("vbpcx", path);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.left, 10);
    EXPECT_EQ(info.record.top, 20);
    EXPECT_EQ(info.record.width, 5);
    EXPECT_EQ(info.record.height, 2);
    EXPECT_EQ(info.record.colourDepth, 8);
    uintptr_t text = info.record.infoText;  // a copy: the packed field is misaligned
    EXPECT_EQ(text, 0u);

    std::vector<uint8_t> expectedHeader = DibHeaderBlock(5, 2, 8, 256, palette);
    std::vector<uint8_t> expectedBits(2 * 8, 0);
    memcpy(&expectedBits[0], &pixels[5], 5);  // bottom row first
    memcpy(&expectedBits[8], &pixels[0], 5);
    DecodeRecord dib = Decode("vbpcx", path);
    ASSERT_EQ(dib.result, RESULT_OK);
    EXPECT_EQ(dib.header, expectedHeader);
    EXPECT_EQ(dib.bits, expectedBits);
    // PCX reports the start and the end first, then each row as it begins.
    EXPECT_EQ(dib.calls, (Progress{{0, 2}, {2, 2}, {0, 2}, {1, 2}}));
    EXPECT_EQ(dib.callsWithOtherUserData, 0);
}

TEST_F(EndToEndTest, MagAcceptsBySignatureAndDecodesAtAnOffsetWithItsComment) {
    const LoadedPlugin& mag = Plugin("vbmag");
    ASSERT_NE(mag.library, nullptr);
    EXPECT_EQ(mag.isSupported(u"any.name", (uintptr_t) "MAKI02  rest"), 1);
    EXPECT_EQ(mag.isSupported(u"picture.mag", (uintptr_t) "MAKI01  rest"), 0);
    EXPECT_EQ(mag.isSupported(u"picture.mag", 0x4D41), RESULT_NOT_IMPLEMENTED);

    // 8 x 2 at 16 colours, top row first, with repeats for the copy codes to find.
    MagSourcePicture picture = MakeMagPicture(8, 2, false);
    const uint8_t pixels[16] = {1, 2, 3, 4, 1, 2, 3, 4, 15, 0, 15, 0, 9, 9, 9, 9};
    picture.pixels.assign(pixels, pixels + 16);
    MagEncodeOptions options;
    options.comment = "made here";
    options.leading.assign(100, 0x55);
    MagEncoded encoded = EncodeMag(picture, options);
    std::u16string path = WriteTemporaryFile("embedded.bin", encoded.bytes);

    InfoReading info = ReadInfo("vbmag", path, 100);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.width, 8);
    EXPECT_EQ(info.record.height, 2);
    EXPECT_EQ(info.record.xDensity, 1);
    EXPECT_EQ(info.record.yDensity, 1);
    EXPECT_EQ(info.record.colourDepth, 4);
    EXPECT_EQ(info.text, std::string("made here", 10));

    std::vector<uint8_t> expectedHeader = DibHeaderBlock(8, 2, 4, 16, picture.palette);
    std::vector<uint8_t> expectedBits(2 * 4, 0);
    for (int row = 0; row < 2; row++) {
        int dibRow = 1 - row;  // bottom row first
        for (int x = 0; x < 8; x += 2) {
            expectedBits[dibRow * 4 + x / 2] =
                (uint8_t)(pixels[row * 8 + x] << 4 | pixels[row * 8 + x + 1]);
        }
    }
    DecodeOptions atOffset;
    atOffset.offset = 100;
    DecodeRecord dib = Decode("vbmag", path, atOffset);
    ASSERT_EQ(dib.result, RESULT_OK);
    EXPECT_EQ(dib.header, expectedHeader);
    EXPECT_EQ(dib.bits, expectedBits);
    // MAG reports each row as it is done, from 0, then the end once more.
    EXPECT_EQ(dib.calls, (Progress{{0, 2}, {1, 2}, {2, 2}, {2, 2}}));
    EXPECT_EQ(dib.callsWithOtherUserData, 0);
}

TEST_F(EndToEndTest, MissingFileIsAFileErrorInEveryFilter) {
    std::u16string path = WriteTemporaryFile("present.tga", {1}) + u".absent";
    for (const char* name : {"vbtga", "vbpcx", "vbmag"}) {
        ASSERT_NE(Plugin(name).library, nullptr) << name;
        DecodeRecord missing = Decode(name, path);
        EXPECT_EQ(missing.result, RESULT_FILE_ERROR) << name;
        EXPECT_EQ(missing.headerSlot, UntouchedSlot) << name;
        EXPECT_EQ(missing.bitsSlot, UntouchedSlot) << name;
        EXPECT_TRUE(missing.calls.empty()) << name;
    }
}

}  // namespace
