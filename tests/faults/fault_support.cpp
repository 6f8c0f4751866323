#include "tests/faults/fault_support.h"

#include <gtest/gtest.h>

#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

// ---- Pictures ---------------------------------------------------------------------------------

// Bytes with some structure, so that runs, raw packets and copy codes all occur.
static uint8_t Pattern(int x, int y, int channel) {
    if ((x / 3 + y) % 3 == 0) return (uint8_t)(50 + channel);
    return (uint8_t)(x * 23 + y * 41 + channel * 67);
}

static std::vector<uint8_t> TgaPixels(int width, int height, int bytesPerPixel) {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (int c = 0; c < bytesPerPixel; c++) pixels.push_back(Pattern(x, y, c));
        }
    }
    return pixels;
}

static FaultCase TgaCase(const std::string& label, uint8_t type, uint8_t depth, uint8_t descriptor,
                         int32_t displayBits, int32_t fullColor, bool reduced, int width = 9,
                         int height = 6) {
    TgaImage image;
    image.imageType = type;
    image.width = width;
    image.height = height;
    image.pixelDepth = depth;
    image.descriptor = descriptor;
    image.pixels = TgaPixels(width, height, depth / 8);
    TgaRleOptions rle;
    rle.layout = TgaPacketLayout::WrapAcrossRows;
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbtga";
    faultCase.protocol = Protocol::Tga;
    faultCase.file = EncodeTga(image, rle);
    faultCase.displayBits = displayBits;
    faultCase.fullColor = fullColor;
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, row buffer
    faultCase.allocatesAfterStart = reduced;
    return faultCase;
}

static FaultCase PcxCase(const std::string& label, bool planar, int width = 13, int height = 5) {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) pixels.push_back(Pattern(x, y, 0) & (planar ? 15 : 255));
    }
    PcxFile file;
    if (planar) {
        file = MakePlanarPcx(width, height, pixels);
    } else {
        std::vector<uint8_t> palette;
        for (int i = 0; i < 768; i++) palette.push_back((uint8_t)(i * 7));
        file = MakeIndexedPcx(width, height, pixels, palette);
        file.bytesBeforeMarker = {1, 2, 3};  // skipped by the marker search, one read each
    }
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbpcx";
    faultCase.protocol = Protocol::Pcx;
    faultCase.file = WritePcx(file);
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, row buffer
    return faultCase;
}

static FaultCase MagCase(const std::string& label, int32_t width, int32_t height, bool full,
                         bool twoHundredLine, size_t leading) {
    MagSourcePicture picture = MakeMagPicture(width, height, full);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            picture.Set(x, y, (uint8_t)((x / 4 + y / 3) % picture.Colours()));
        }
    }
    MagEncodeOptions options;
    options.comment = "fault";
    options.twoHundredLine = twoHundredLine;
    options.leading.assign(leading, 0x1A);
    MagEncoded encoded = EncodeMag(picture, options);
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbmag";
    faultCase.protocol = Protocol::Mag;
    faultCase.file = encoded.bytes;
    faultCase.offset = (int32_t)encoded.pictureOffset;
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, data block
    return faultCase;
}

void PrintTo(const FaultCase& faultCase, std::ostream* out) {
    *out << faultCase.label;
}

std::vector<FaultCase> AllFaultCases() {
    return {
        // Colour source: straight 24-bit, and reduced to 8 and 2 bits.
        TgaCase("TgaRaw24Straight", 2, 24, 0x00, 24, -1, false),
        TgaCase("TgaRle24ReducedTo8ByFullColorOff", 10, 24, 0x20, 24, 0, true),
        TgaCase("TgaRle32ReducedTo8", 10, 32, 0x28, 8, 1, true),
        TgaCase("TgaRaw32ReducedTo2", 2, 32, 0x18, 2, 1, true),
        // Gray source: straight 8-bit, and reduced to 2 bits.
        TgaCase("TgaRleGrayStraight", 11, 8, 0x00, 8, -1, false),
        TgaCase("TgaRawGrayReducedTo2", 3, 8, 0x30, 1, -1, true),
        PcxCase("PcxPlanar16", true),
        PcxCase("Pcx256", false),
        // Larger than the decoders' read buffer: rows that need a refill.
        TgaCase("TgaRaw24Wide", 2, 24, 0x00, 24, -1, false, 3000, 40),
        TgaCase("TgaRle32WideReducedTo8", 10, 32, 0x20, 8, -1, true, 3000, 30),
        PcxCase("PcxPlanar16Wide", true, 9000, 40),
        PcxCase("Pcx256Wide", false, 4000, 90),
        MagCase("Mag16", 24, 8, false, false, 0),
        MagCase("Mag256AtOffset", 20, 6, true, false, 100),
        MagCase("Mag200Line", 16, 5, false, true, 0),
    };
}

// ---- Driving a plug-in ------------------------------------------------------------------------

std::u16string PrepareCase(const FaultCase& faultCase) {
    SetDisplayBits(faultCase.displayBits);
    SetFullColor(faultCase.fullColor);
    return ServeFile("fault." + faultCase.plugin.substr(2), faultCase.file);
}

DecodeRecord DecodeCase(const FaultCase& faultCase, DecodeOptions options) {
    options.offset = faultCase.offset;
    DecodeRecord run = Decode(faultCase.plugin, PrepareCase(faultCase), options);
    if (run.result == RESULT_OK) {
        EXPECT_EQ(run.blocksAdded, 2) << "the DIB is two blocks";
        const int32_t bitCount = run.header.size() > 14 ? run.header[14] : 0;
        const size_t headerSize = faultCase.plugin != "vbmag"
                                      ? FULL_HEADER_BLOCK_SIZE
                                      : BITMAPINFOHEADER_SIZE + RGBQUAD_SIZE * (1u << bitCount);
        const int32_t height = HeaderField(run.header, 8);
        EXPECT_EQ(run.header.size(), headerSize);
        EXPECT_EQ(run.bits.size(), (size_t)DibStride(HeaderField(run.header, 4), bitCount) *
                                       (size_t)(height < 0 ? -height : height));
    }
    return run;
}
