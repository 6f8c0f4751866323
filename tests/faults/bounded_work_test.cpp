// Hostile headers on tiny files: sizes that cannot be allocated are refused before the block is
// asked for, and nothing a header claims may make a decode read or allocate out of proportion to
// the file: once the file has ended the decoders stop reading and decoding rows it cannot hold.
#include <gtest/gtest.h>

#include "platform/platform_testing.h"
#include "tests/faults/fault_support.h"
#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

namespace {

DecodeRecord DecodeHostile(const std::string& plugin, const std::vector<uint8_t>& file,
                           int32_t displayBits = 24) {
    FaultCase faultCase;
    faultCase.plugin = plugin;
    faultCase.file = file;
    faultCase.displayBits = displayBits;
    return DecodeCase(faultCase);
}

std::vector<uint8_t> TgaHeaderOnly(uint8_t type, uint16_t width, uint16_t height, uint8_t depth) {
    TgaImage image;
    image.imageType = type;
    image.width = width;
    image.height = height;
    image.pixelDepth = depth;
    image.useRawData = true;
    return EncodeTga(image);
}

PcxFile PcxHeaderOnly(int16_t xmin, int16_t xmax, int16_t ymin, int16_t ymax, int16_t bytesPerLine,
                      bool planar) {
    PcxFile file;
    file.bitsPerPixel = planar ? 1 : 8;
    file.planes = planar ? 4 : 1;
    file.xmin = xmin;
    file.xmax = xmax;
    file.ymin = ymin;
    file.ymax = ymax;
    file.bytesPerLine = bytesPerLine;
    return file;
}

// A small MAG picture whose header fields are then overwritten.
MagEncoded SmallMag(bool full) {
    MagSourcePicture picture = MakeMagPicture(16, 4, full);
    return EncodeMag(picture);
}

void PutLe16(std::vector<uint8_t>* bytes, size_t at, uint16_t value) {
    (*bytes)[at] = (uint8_t)value;
    (*bytes)[at + 1] = (uint8_t)(value >> 8);
}
void PutLe32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; k++) (*bytes)[at + k] = (uint8_t)(value >> (8 * k));
}

class BoundedWork : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        // A decoder that trusted the heap to refuse absurd sizes would show up here as
        // RESULT_MEMORY_ERROR from the cap after an extra allocation call.
        TestingSetAllocationLimit(256u << 20);
        for (const char* plugin : {"vbtga", "vbpcx", "vbmag"}) {
            ASSERT_NE(Plugin(plugin).library, nullptr) << plugin;
        }
    }
};

// Blocks that do not fit below 2^31 are refused before they are asked for: at most the header
// block has been allocated, nothing is left, no notifier call is made.
TEST_F(BoundedWork, BlocksPastTwoGigabytesAreRefusedBeforeAllocating) {
    struct Case {
        const char* label;
        std::string plugin;
        std::vector<uint8_t> file;
        int32_t displayBits;
    };
    std::vector<Case> cases;
    cases.push_back({"tga 65535 x 65535 x 24", "vbtga", TgaHeaderOnly(2, 65535, 65535, 24), 24});
    cases.push_back({"tga 65535 x 65535 gray", "vbtga", TgaHeaderOnly(11, 65535, 65535, 8), 8});
    cases.push_back(
        {"tga 65535 x 65535 reduced to 8", "vbtga", TgaHeaderOnly(10, 65535, 65535, 32), 8});
    cases.push_back({"pcx 65536 x 65536", "vbpcx",
                     WritePcx(PcxHeaderOnly(-32768, 32767, -32768, 32767, 32767, false)), 24});
    std::vector<uint8_t> mag = SmallMag(true).bytes;
    size_t header = SmallMag(true).headerOffset;
    PutLe16(&mag, header + 4, 0x8000);  // x start -32768
    PutLe16(&mag, header + 8, 0x7FFF);  // x end 32767: 65536 pixels
    PutLe16(&mag, header + 6, 0x8000);
    PutLe16(&mag, header + 10, 0x7FFF);
    cases.push_back({"mag 65536 x 65536 x 8", "vbmag", mag, 24});
    std::vector<uint8_t> doubled = SmallMag(false).bytes;
    header = SmallMag(false).headerOffset;
    doubled[header + 3] |= 1;  // 200-line: rows doubled
    PutLe16(&doubled, header + 4, 0x8000);
    PutLe16(&doubled, header + 8, 0x7FFF);  // stride 32768 at 4 bits
    PutLe16(&doubled, header + 6, 0x8000);
    PutLe16(&doubled, header + 10, 7232);  // 40001 rows, doubled past 2^31 bytes
    cases.push_back({"mag doubled past 2^31", "vbmag", doubled, 24});
    for (const Case& hostile : cases) {
        SCOPED_TRACE(hostile.label);
        DecodeRecord run = DecodeHostile(hostile.plugin, hostile.file, hostile.displayBits);
        EXPECT_EQ(run.result, RESULT_MEMORY_ERROR);
        EXPECT_LE(run.allocations, 1);
        EXPECT_TRUE(run.calls.empty());
        EXPECT_EQ(run.blocksLeft, 0);
    }
}

// Sizes the headers cannot mean: negative extents and data blocks end before any allocation.
TEST_F(BoundedWork, ImpossibleSizesEndBeforeAllocating) {
    DecodeRecord pcx = DecodeHostile("vbpcx", WritePcx(PcxHeaderOnly(5, 4, 0, 9, 4, true)));
    EXPECT_EQ(pcx.result, RESULT_UNKNOWN_FORMAT);
    EXPECT_EQ(pcx.allocations, 0);

    MagEncoded encoded = SmallMag(false);
    std::vector<uint8_t> mag = encoded.bytes;
    PutLe32(&mag, encoded.headerOffset + 12, 0x7FFFFFF0);  // flag A offset past the pixel data
    DecodeRecord negative = DecodeHostile("vbmag", mag);
    EXPECT_EQ(negative.result, RESULT_BROKEN_DATA);
    EXPECT_LE(negative.allocations, 2);
    EXPECT_EQ(negative.blocksLeft, 0);
}

// Decodes whose header claims far more than the file holds: the work follows the file.

// An 18-byte TGA header announcing 64 x 65535 pixels: every row after the first is read from a
// file that has already ended.
TEST_F(BoundedWork, TgaStopsReadingWhenTheFileHasEnded) {
    DecodeRecord run = DecodeHostile("vbtga", TgaHeaderOnly(2, 64, 65535, 24), 2);
    EXPECT_EQ(run.result, RESULT_OK);
    EXPECT_LE(run.reads, 3);
    EXPECT_EQ(run.blocksLeft, 0);
}

// A 128-byte PCX header with 32767 bytes per plane line: each of its 4000 rows reads, clears and
// decodes 262 KB that the file does not have, for a picture 8 pixels wide.
TEST_F(BoundedWork, PcxStopsReadingWhenTheFileHasEnded) {
    DecodeRecord run = DecodeHostile("vbpcx", WritePcx(PcxHeaderOnly(0, 7, 0, 3999, 32767, true)));
    EXPECT_EQ(run.result, RESULT_OK);
    EXPECT_LE(run.reads, 3);
    EXPECT_EQ(run.blocksLeft, 0);
}

// A MAG file of a few hundred bytes whose pixel size claims almost 2 GiB: the data block is
// allocated at the claimed size although at most the rest of the file can be read into it.
TEST_F(BoundedWork, MagDataBlockIsBoundedByTheFile) {
    MagEncoded encoded = SmallMag(false);
    std::vector<uint8_t> mag = encoded.bytes;
    PutLe32(&mag, encoded.headerOffset + 28, 0x7F000000);  // pixel size
    TestingSetAllocationLimit(16u << 20);
    DecodeRecord run = DecodeHostile("vbmag", mag);
    EXPECT_EQ(run.result, RESULT_OK);
    EXPECT_EQ(run.blocksLeft, 0);
}

// ---- Truncated files: rows past the end of the file ------------------------------------------
//
// A file cut short reads its missing bytes as 0, so it must decode exactly as the same file
// padded with explicit zero bytes, which the decoders read row by row like any data. Both runs
// are compared whole: result, notifier calls, header and bits blocks; also when the notifier
// stops the decode at a row past the end.

std::vector<uint8_t> Noise(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = (uint8_t)(state >> 23);
    }
    return bytes;
}

std::vector<uint8_t> Cut(const std::vector<uint8_t>& file, size_t length) {
    return std::vector<uint8_t>(file.begin(), file.begin() + (ptrdiff_t)length);
}

std::vector<uint8_t> ZeroPadded(const std::vector<uint8_t>& file, size_t zeros) {
    std::vector<uint8_t> padded = file;
    padded.resize(file.size() + zeros, 0);
    return padded;
}

void ExpectSameDecode(const DecodeRecord& cut, const DecodeRecord& padded) {
    EXPECT_EQ(cut.result, padded.result);
    EXPECT_EQ(cut.calls, padded.calls);
    EXPECT_TRUE(cut.header == padded.header) << "header blocks differ";
    EXPECT_TRUE(cut.bits == padded.bits) << "bits blocks differ";
    EXPECT_EQ(cut.blocksLeft, 0);
    EXPECT_EQ(padded.blocksLeft, 0);
}

// Decodes `cut` and `padded` in full and stopped at the notifier call `stopCall`.
void CompareCutWithPadded(FaultCase faultCase, const std::vector<uint8_t>& cut,
                          const std::vector<uint8_t>& padded, int stopCall) {
    faultCase.file = cut;
    DecodeRecord cutRun = DecodeCase(faultCase);
    faultCase.file = padded;
    DecodeRecord paddedRun = DecodeCase(faultCase);
    {
        SCOPED_TRACE("whole decode");
        ExpectSameDecode(cutRun, paddedRun);
    }
    // The padded file is read row by row; the cut one must not be once it has ended.
    EXPECT_LE(cutRun.reads, paddedRun.reads);

    faultCase.file = cut;
    DecodeRecord cutStopped = DecodeCase(faultCase, StopOnCall(stopCall));
    faultCase.file = padded;
    DecodeRecord paddedStopped = DecodeCase(faultCase, StopOnCall(stopCall));
    SCOPED_TRACE("stopped at call " + std::to_string(stopCall));
    EXPECT_EQ(cutStopped.result, RESULT_ABORTED);
    ExpectSameDecode(cutStopped, paddedStopped);
}

class TruncatedFiles : public BoundedWork {};

// Raw and run-length (packets crossing rows, cut inside one), 24 and 32 bits, gray, both
// origins and right-to-left, each on the straight path and through the colour reducer (2-bit
// gray and 8-bit colour): the reducer's dithering errors run on into the zero rows after the end.
TEST_F(TruncatedFiles, TgaDecodesAsIfPaddedWithZeros) {
    struct Layout {
        uint8_t type;
        uint8_t depth;
        uint8_t descriptor;
        bool wrap;
    };
    const Layout layouts[] = {
        {2, 24, 0x00, false}, {2, 32, 0x20, false}, {10, 24, 0x10, true},
        {10, 32, 0x30, true}, {3, 8, 0x00, false},  {11, 8, 0x20, true},
    };
    const int width = 37;
    const int height = 40;
    for (const Layout& layout : layouts) {
        TgaImage image;
        image.imageType = layout.type;
        image.width = width;
        image.height = height;
        image.pixelDepth = layout.depth;
        image.descriptor = layout.descriptor;
        // Runs and noise, so that run-length files hold both kinds of packet.
        image.pixels =
            Noise((size_t)width * height * (layout.depth / 8), layout.type + layout.depth);
        for (size_t k = 0; k + 40 < image.pixels.size(); k += 97) {
            for (size_t j = 1; j < 40; j++) image.pixels[k + j] = image.pixels[k];
        }
        TgaRleOptions rle;
        if (layout.wrap) rle.layout = TgaPacketLayout::WrapAcrossRows;
        std::vector<uint8_t> file = EncodeTga(image, rle);
        const size_t dataBytes = file.size() - 18;
        // Generous: zero packets take at most bytes-per-pixel + 1 bytes a pixel.
        const size_t zeros = (size_t)width * (height + 1) * 5;
        for (size_t length : {(size_t)18, 18 + dataBytes / 3, 18 + dataBytes / 2 + 1}) {
            for (int32_t display : {24, 8, 2}) {
                SCOPED_TRACE("type " + std::to_string(layout.type) + " depth " +
                             std::to_string(layout.depth) + " cut at " + std::to_string(length) +
                             " display " + std::to_string(display));
                FaultCase faultCase;
                faultCase.plugin = "vbtga";
                faultCase.displayBits = display;
                std::vector<uint8_t> cut = Cut(file, length);
                // Call 1 is (0, h); call k + 2 follows stored row k.
                CompareCutWithPadded(faultCase, cut, ZeroPadded(cut, zeros), height - 3);
            }
        }
    }
}

// A run-length packet that carries on into rows the file has no bytes for still gives them its
// pixel; only after it do the rows read as 0.
TEST_F(TruncatedFiles, TgaPacketCarriedPastTheEndFillsItsRows) {
    TgaImage image;
    image.imageType = 10;
    image.width = 4;
    image.height = 5;
    image.useRawData = true;
    image.rawData = {0x80 | 10, 0x10, 0x80, 0xF0};  // 11 pixels of one colour, then the end
    for (uint8_t descriptor : {0x00, 0x20}) {
        image.descriptor = descriptor;
        std::vector<uint8_t> file = EncodeTga(image);
        for (int32_t display : {24, 2}) {
            SCOPED_TRACE("descriptor " + std::to_string(descriptor) + " display " +
                         std::to_string(display));
            FaultCase faultCase;
            faultCase.plugin = "vbtga";
            faultCase.displayBits = display;
            CompareCutWithPadded(faultCase, file, ZeroPadded(file, 200), 6);
            if (display != 24) continue;
            faultCase.file = file;
            DecodeRecord run = DecodeCase(faultCase);
            ASSERT_EQ(run.result, RESULT_OK);
            const uint8_t pixel[3] = {0x10, 0x80, 0xF0};
            for (int32_t stored = 0; stored < 5; stored++) {
                const int32_t dibRow = descriptor ? 4 - stored : stored;
                for (int32_t x = 0; x < 4; x++) {
                    const int32_t index = stored * 4 + x;
                    for (int32_t c = 0; c < 3; c++) {
                        EXPECT_EQ(run.bits[(size_t)dibRow * 12 + 3 * x + c],
                                  index < 11 ? pixel[c] : 0)
                            << "stored row " << stored << " pixel " << x;
                    }
                }
            }
        }
    }
}

// 16 colours (the rows after the end stay 0) and 256 colours with lines shorter than the row
// (each later row repeats the row decoded from the first zeros) and covering it. A 256-colour
// file that ends in its rows has no palette: RESULT_FILE_ERROR either way.
TEST_F(TruncatedFiles, PcxDecodesAsIfPaddedWithZeros) {
    const int32_t width = 45;
    const int32_t height = 30;
    std::vector<uint8_t> values = Noise((size_t)width * height, 7);
    std::vector<uint8_t> nibbles(values.size());
    for (size_t k = 0; k < values.size(); k++) nibbles[k] = values[k] & 15;
    std::vector<PcxFile> files;
    files.push_back(MakePlanarPcx(width, height, nibbles, 9, 0xFF));
    std::vector<uint8_t> palette = Noise(768, 8);
    files.push_back(MakeIndexedPcx(width, height, values, palette, 20));  // shorter than the row
    files.push_back(MakeIndexedPcx(width, height, values, palette, 50));
    for (const PcxFile& pcx : files) {
        std::vector<uint8_t> file = WritePcx(pcx);
        const size_t zeros = (size_t)pcx.planes * pcx.bytesPerLine * (height + 1) * 2;
        const size_t dataBytes = file.size() - 128 - (pcx.planes == 1 ? 769 : 0);
        for (size_t length : {(size_t)128, 128 + dataBytes / 3, 128 + dataBytes - 1}) {
            SCOPED_TRACE("planes " + std::to_string(pcx.planes) + " bytes per line " +
                         std::to_string(pcx.bytesPerLine) + " cut at " + std::to_string(length));
            FaultCase faultCase;
            faultCase.plugin = "vbpcx";
            std::vector<uint8_t> cut = Cut(file, length);
            // Calls 1 and 2 come before the rows; call k + 3 follows row k.
            CompareCutWithPadded(faultCase, cut, ZeroPadded(cut, zeros), height - 2);
        }
    }
}

// The rows after the end still move the file position on by what their zeros take; past 2^31
// the decode ends in RESULT_FILE_ERROR at the row that would take it there.
TEST_F(TruncatedFiles, PcxPositionLimitHoldsAfterTheEnd) {
    const int16_t bytesPerLine = 32767;
    const int32_t rowBytes = 4 * bytesPerLine;  // four plane lines of single zeros
    const int32_t height = 20000;
    FaultCase faultCase;
    faultCase.plugin = "vbpcx";
    faultCase.file = WritePcx(PcxHeaderOnly(0, 7, 0, (int16_t)(height - 1), bytesPerLine, true));
    DecodeRecord run = DecodeCase(faultCase);
    int32_t failing = 0;
    while (128 + (int64_t)(failing + 1) * rowBytes <= 0x7FFFFFFF) failing++;
    ASSERT_LT(failing, height);
    EXPECT_EQ(run.result, RESULT_FILE_ERROR);
    EXPECT_EQ(run.calls, ProgressCalls(Protocol::Pcx, height, failing));
    EXPECT_LE(run.reads, 3);
    EXPECT_EQ(run.blocksLeft, 0);
}

// 16 and 256 colours, 200-line, cut inside each stream; the padded file holds every byte its
// header claims. The data block is sized by the bytes there are, so the cut file also decodes
// when its header claims far more than the allocation cap allows.
TEST_F(TruncatedFiles, MagDecodesAsIfPaddedWithZeros) {
    for (int variant = 0; variant < 3; variant++) {
        const bool full = variant == 1;
        MagSourcePicture picture = MakeMagPicture(full ? 30 : 60, 24, full);
        std::vector<uint8_t> indices = Noise(picture.pixels.size(), 11 + variant);
        for (size_t k = 0; k < indices.size(); k++) {
            // Repeats, so that copy codes and flag B come into play.
            picture.pixels[k] =
                (uint8_t)((k % 7 < 3 ? indices[k / 7] : indices[k]) & (full ? 255 : 15));
        }
        MagEncodeOptions options;
        options.twoHundredLine = variant == 2;
        MagEncoded encoded = EncodeMag(picture, options);
        const size_t end = encoded.bytes.size();
        const size_t flagB = encoded.dataOffset + encoded.flagASize;
        const size_t pixels = flagB + encoded.flagBSize;
        for (size_t length : {(size_t)encoded.dataOffset, flagB + encoded.flagBSize / 2,
                              pixels + encoded.pixelSize / 3, end - 1}) {
            SCOPED_TRACE("variant " + std::to_string(variant) + " cut at " +
                         std::to_string(length) + " of " + std::to_string(end));
            FaultCase faultCase;
            faultCase.plugin = "vbmag";
            std::vector<uint8_t> cut = Cut(encoded.bytes, length);
            CompareCutWithPadded(faultCase, cut, ZeroPadded(cut, end - length), 10);

            // A header that claims far more than the file: nothing changes.
            std::vector<uint8_t> claims = cut;
            PutLe32(&claims, encoded.headerOffset + 28, 0x7F000000);
            faultCase.file = claims;
            TestingSetAllocationLimit(16u << 20);
            DecodeRecord claimed = DecodeCase(faultCase);
            TestingSetAllocationLimit(256u << 20);
            faultCase.file = cut;
            DecodeRecord plain = DecodeCase(faultCase);
            ExpectSameDecode(claimed, plain);
            EXPECT_EQ(claimed.allocations, plain.allocations);
            EXPECT_EQ(claimed.reads, plain.reads);
        }
    }
}

}  // namespace
