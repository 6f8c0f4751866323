// vbpcx.spi through its exports, with pictures written by the project's PCX encoder and served
// from memory.
#include "pcx_plugin_support.h"

namespace {

// A 16-colour test picture using every pixel value in several run patterns.
std::vector<uint8_t> PlanarPixels(int32_t width, int32_t height) {
    std::vector<uint8_t> pixels((size_t)width * height);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            pixels[(size_t)y * width + x] = (uint8_t)(y % 3 == 0 ? (x / 5 + y) & 15 : (x * y) & 15);
        }
    }
    return pixels;
}

std::vector<uint8_t> IndexedPixels(int32_t width, int32_t height) {
    std::vector<uint8_t> pixels((size_t)width * height);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            // Runs, single bytes from 0xC0 up, and everything in between.
            pixels[(size_t)y * width + x] = (uint8_t)(x < width / 3 ? 0xC0 + y : x * 37 + y * 11);
        }
    }
    return pixels;
}

std::vector<uint8_t> TestPalette() {
    std::vector<uint8_t> rgb(768);
    for (int i = 0; i < 768; i++) rgb[i] = (uint8_t)(i * 7 + 3);
    return rgb;
}

// What a well-formed 16-colour picture decodes to: plane bits up to 8 x bytesPerLine, including
// padding bits that fall inside the DIB row's own padding.
std::vector<uint8_t> PlanarExpectation(int32_t width, int32_t height,
                                       const std::vector<uint8_t>& pixels, int32_t lineBytes,
                                       uint8_t padding) {
    return ExpectedBits(width, height, [&](int32_t x, int32_t y) -> uint8_t {
        if (x >= 8 * lineBytes) return PlanarIndex(0);
        return PlanarIndex(x < width ? pixels[(size_t)y * width + x] : padding);
    });
}

TEST_F(PcxPluginTest, InformationStringsAndAcceptanceByName) {
    const LoadedPlugin& pcx = Plugin("vbpcx");
    char16_t buffer[80];
    const char* expected[4] = {"00IN", "PCX to DIB filter version 0.01 Copyright (C) Velbrook",
                               "*.PCX", "PCX(*.pcx)"};
    for (int32_t n = 0; n < 4; n++) {
        int32_t length = pcx.getPluginInfo(n, buffer, 80);
        EXPECT_EQ(std::u16string(buffer, length), Utf16(expected[n])) << n;
    }
    static const uint8_t head[128] = {10, 5, 1, 8};
    uintptr_t headAddress = (uintptr_t)head;
    EXPECT_EQ(pcx.isSupported(u"picture.pcx", headAddress), 1);
    EXPECT_EQ(pcx.isSupported(u"PICTURE.PCX", headAddress), 1);
    EXPECT_EQ(pcx.isSupported(u"picture.tga", headAddress), 0);
    EXPECT_EQ(pcx.isSupported(u"picture.pcx.bak", headAddress), 0);
    EXPECT_EQ(pcx.isSupported(u".pcx", headAddress), 0);
    EXPECT_EQ(pcx.isSupported(u"picture.pcx", 0x1234), -1);
}

TEST_F(PcxPluginTest, SixteenColoursComeFromTheHeaderPalette) {
    // One row of the 16 pixel values. The header palette decides their colours whatever the
    // version byte says; an all-zero one stands for the standard 16 colours. Each colour is
    // shown as the nearest cube entry.
    std::vector<uint8_t> values(16);
    for (int v = 0; v < 16; v++) values[v] = (uint8_t)v;
    uint8_t own[48] = {};
    own[0] = 200, own[1] = 10;                    // 0: (200, 10, 0) -> red level 6
    own[9] = 17, own[10] = 53, own[11] = 42;      // 3: just below three level middles
    own[12] = 18, own[13] = 54, own[14] = 43;     // 4: on them
    own[24] = 85, own[25] = 85, own[26] = 85;     // 8: mid gray
    own[45] = 255, own[46] = 255, own[47] = 255;  // 15: white
    const uint8_t ownIndex[16] = {192, 0, 0, 4, 41, 0, 0, 0, 73, 0, 0, 0, 0, 0, 0, 255};
    const uint8_t standardIndex[16] = {0,  2,  20, 22, 160, 162, 168, 182,
                                       73, 75, 93, 95, 233, 235, 253, 255};
    for (uint8_t version : {5, 3, 0}) {
        for (bool withPalette : {true, false}) {
            PcxFile file = MakePlanarPcx(16, 1, values);
            file.version = version;
            for (int i = 0; i < 48; i++) file.headerPalette[i] = withPalette ? own[i] : 0;
            DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
            ASSERT_EQ(out.result, RESULT_OK);
            EXPECT_EQ(out.header, ExpectedHeader(16, 1, CubePalette()));
            for (int v = 0; v < 16; v++) {
                EXPECT_EQ(out.bits[v], withPalette ? ownIndex[v] : standardIndex[v])
                    << "version " << (int)version << (withPalette ? ", own" : ", zero")
                    << " palette, value " << v;
            }
        }
    }
    // Positions past the plane lines read as value 0: here palette entry 0 is not black.
    PcxFile narrow = MakePlanarPcx(16, 1, values, 1);
    for (int i = 0; i < 48; i++) narrow.headerPalette[i] = own[i];
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(narrow));
    ASSERT_EQ(out.result, RESULT_OK);
    for (int x = 8; x < 16; x++) EXPECT_EQ(out.bits[x], 192) << x;
    // So do the rows after the end of a file cut after its first row.
    PcxFile tall = MakePlanarPcx(16, 40, std::vector<uint8_t>(16 * 40, 15));
    for (int i = 0; i < 48; i++) tall.headerPalette[i] = own[i];
    std::vector<uint8_t> cut = WritePcx(tall);
    cut.resize(128 + 8);  // each plane line of the first row is one run of 2 bytes
    out = DecodeServed("vbpcx", cut);
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, ExpectedBits(16, 40, [](int32_t, int32_t y) -> uint8_t {
                  return y == 0 ? 255 : 192;
              }));
}

TEST_F(PcxPluginTest, TheSixteenColourSampleShowsWhatItsEncoderDrew) {
    // samples/planar16.pcx: a landscape whose header palette reads value bits as 1 red, 2 green,
    // 4 blue and 8 bright. Spots of each part, with their colours' nearest cube entries.
    DecodeRecord out = Decode("vbpcx", Utf16(std::string(VB_SOURCE_DIR) + "/samples/planar16.pcx"));
    ASSERT_EQ(out.result, RESULT_OK);
    const int32_t width = 320, height = 200;
    ASSERT_EQ(out.bits.size(), (size_t)width * height);
    auto at = [&](int32_t x, int32_t y) { return out.bits[(size_t)(height - 1 - y) * width + x]; };
    EXPECT_EQ(at(0, 0), 2);       // top of the sky, value 4: blue (0, 0, 170)
    EXPECT_EQ(at(5, 40), 75);     // lower sky, value 12: bright blue (85, 85, 255)
    EXPECT_EQ(at(240, 55), 253);  // the sun, value 11: yellow (255, 255, 85)
    EXPECT_EQ(at(90, 120), 160);  // the roof, value 1: red (170, 0, 0)
    EXPECT_EQ(at(70, 140), 233);  // the wall, value 9: bright red (255, 85, 85)
    EXPECT_EQ(at(300, 190), 93);  // the near hill, value 10: bright green (85, 255, 85)
    EXPECT_EQ(at(10, 198), 73);   // the ground line, value 8: gray (85, 85, 85)
}

TEST_F(PcxPluginTest, DecodesASixteenColourPictureOntoTheCube) {
    const int32_t width = 37, height = 9;
    std::vector<uint8_t> pixels = PlanarPixels(width, height);
    PcxFile file = MakePlanarPcx(width, height, pixels, 0, 9);
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, CubePalette()));
    EXPECT_EQ(out.bits, PlanarExpectation(width, height, pixels, 5, 9));
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, height));

    // The same picture with single bytes only: only the encoding differs; without a notifier.
    file.maxRun = 1;
    DecodeOptions silent;
    silent.notifier = false;
    EXPECT_EQ(DecodeServed("vbpcx", WritePcx(file), silent).bits, out.bits);
    silent.preview = true;
    EXPECT_EQ(DecodeServed("vbpcx", WritePcx(file), silent).bits, out.bits);
}

TEST_F(PcxPluginTest, DecodesATwoHundredFiftySixColourPictureWithItsPalette) {
    const int32_t width = 23, height = 7;
    std::vector<uint8_t> pixels = IndexedPixels(width, height);
    PcxFile file = MakeIndexedPcx(width, height, pixels, TestPalette());
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, TestPalette()));
    EXPECT_EQ(out.bits, ExpectedBits(width, height, [&](int32_t x, int32_t y) -> uint8_t {
                  // bytesPerLine 24 reaches one padding byte (0) past the width.
                  return x < width ? pixels[(size_t)y * width + x] : 0;
              }));
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, height));

    // GetPreview runs the same decoder.
    DecodeOptions preview;
    preview.preview = true;
    DecodeRecord previewed = DecodeServed("vbpcx", WritePcx(file), preview);
    EXPECT_EQ(previewed.result, RESULT_OK);
    EXPECT_EQ(previewed.bits, out.bits);
    EXPECT_EQ(previewed.header, out.header);
    EXPECT_EQ(previewed.calls, out.calls);
}

TEST_F(PcxPluginTest, WidePicturesInBothLayouts) {
    // Wide enough for the decoders' long-line paths, with lines shorter than the row as well.
    const int32_t width = 703, height = 5;
    std::vector<uint8_t> planarPixels = PlanarPixels(width, height);
    DecodeRecord out =
        DecodeServed("vbpcx", WritePcx(MakePlanarPcx(width, height, planarPixels, 0, 6)));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, PlanarExpectation(width, height, planarPixels, 88, 6));

    std::vector<uint8_t> pixels = IndexedPixels(width, height);
    for (int32_t lineBytes : {704, 400}) {
        PcxFile file = MakeIndexedPcx(width, height, pixels, TestPalette(), lineBytes);
        out = DecodeServed("vbpcx", WritePcx(file));
        ASSERT_EQ(out.result, RESULT_OK);
        EXPECT_EQ(out.bits, ExpectedBits(width, height,
                                         [&](int32_t x, int32_t y) -> uint8_t {
                                             return x < width && x < lineBytes
                                                        ? pixels[(size_t)y * width + x]
                                                        : 0;
                                         }))
            << lineBytes;
    }
}

TEST_F(PcxPluginTest, PictureInformationIsTheHeaderUnchecked) {
    PcxFile planar = MakePlanarPcx(10, 4, std::vector<uint8_t>(40, 3));
    planar.xmin = 10;
    planar.xmax = 19;
    planar.ymin = -3;
    planar.ymax = 0;
    InfoReading info = ReadInfo("vbpcx", ServeFile("p.pcx", WritePcx(planar)));
    EXPECT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.left, 10);
    EXPECT_EQ(info.record.top, -3);
    EXPECT_EQ(info.record.width, 10);
    EXPECT_EQ(info.record.height, 4);
    EXPECT_EQ(info.record.colourDepth, 4);
    EXPECT_EQ(info.record.xDensity, 0);
    EXPECT_EQ(info.record.yDensity, 0);
    EXPECT_EQ((uintptr_t)info.record.infoText, 0u);  // a copy: the packed field is unaligned

    // 8 bits x 3 planes: reported with depth 24, refused by the decoder.
    PcxFile rgb = MakeRawPcx(8, 3, 4, 2, 4, std::vector<uint8_t>(24, 0x40));
    std::u16string name = ServeFile("p.pcx", WritePcx(rgb));
    info = ReadInfo("vbpcx", name);
    EXPECT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.colourDepth, 24);
    EXPECT_EQ(info.record.width, 4);
    EXPECT_EQ(Decode("vbpcx", name).result, RESULT_UNKNOWN_FORMAT);

    // Not even a PCX file: still a record, from whatever the bytes say.
    std::vector<uint8_t> junk(128, 0xFF);
    info = ReadInfo("vbpcx", ServeFile("p.pcx", junk));
    EXPECT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.left, -1);
    EXPECT_EQ(info.record.width, 1);
    EXPECT_EQ(info.record.colourDepth, 1);  // -1 x -1
}

TEST_F(PcxPluginTest, ShortFilesReadAsAZeroExtendedHeader) {
    PcxFile file = MakeIndexedPcx(4, 4, std::vector<uint8_t>(16, 1), TestPalette());
    file.xmin = 2;
    file.xmax = 5;
    std::vector<uint8_t> whole = WritePcx(file);

    // 8 bytes: xmin is there, xmax and everything after it are 0.
    std::vector<uint8_t> head(whole.begin(), whole.begin() + 8);
    std::u16string name = ServeFile("p.pcx", head);
    InfoReading info = ReadInfo("vbpcx", name);
    EXPECT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.left, 2);
    EXPECT_EQ(info.record.width, 0 - 2 + 1);
    EXPECT_EQ(info.record.height, 1);
    EXPECT_EQ(info.record.colourDepth, 0);  // planes lie past the end
    EXPECT_EQ(Decode("vbpcx", name).result, RESULT_UNKNOWN_FORMAT);

    // An empty file: manufacturer 0.
    name = ServeFile("p.pcx", {});
    info = ReadInfo("vbpcx", name);
    EXPECT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.width, 1);
    DecodeRecord out = Decode("vbpcx", name);
    EXPECT_EQ(out.result, RESULT_UNKNOWN_FORMAT);
    EXPECT_EQ(out.allocations, 0);
}

TEST_F(PcxPluginTest, HeaderChecks) {
    PcxFile good = MakeIndexedPcx(3, 2, {1, 2, 3, 4, 5, 6}, TestPalette());
    struct Case {
        const char* what;
        std::function<void(PcxFile*)> change;
        int32_t result;
    } cases[] = {
        {"version 5", [](PcxFile* f) { f->version = 5; }, RESULT_OK},
        {"version 0", [](PcxFile* f) { f->version = 0; }, RESULT_OK},
        {"version 0x80", [](PcxFile* f) { f->version = 0x80; }, RESULT_OK},
        {"version 0xFF", [](PcxFile* f) { f->version = 0xFF; }, RESULT_OK},
        {"version 6", [](PcxFile* f) { f->version = 6; }, RESULT_UNKNOWN_FORMAT},
        {"version 0x7F", [](PcxFile* f) { f->version = 0x7F; }, RESULT_UNKNOWN_FORMAT},
        {"manufacturer 0x0B", [](PcxFile* f) { f->manufacturer = 0x0B; }, RESULT_UNKNOWN_FORMAT},
        {"manufacturer 0", [](PcxFile* f) { f->manufacturer = 0; }, RESULT_UNKNOWN_FORMAT},
        {"manufacturer 0x8A", [](PcxFile* f) { f->manufacturer = 0x8A; }, RESULT_UNKNOWN_FORMAT},
        {"encoding 0", [](PcxFile* f) { f->encoding = 0; }, RESULT_UNKNOWN_FORMAT},
        {"encoding 2", [](PcxFile* f) { f->encoding = 2; }, RESULT_UNKNOWN_FORMAT},
        {"encoding 0x81", [](PcxFile* f) { f->encoding = 0x81; }, RESULT_UNKNOWN_FORMAT},
        {"1 bit x 1 plane", [](PcxFile* f) { f->bitsPerPixel = 1; }, RESULT_UNKNOWN_FORMAT},
        {"1 bit x 3 planes",
         [](PcxFile* f) {
             f->bitsPerPixel = 1;
             f->planes = 3;
         },
         RESULT_UNKNOWN_FORMAT},
        {"2 bits x 1 plane", [](PcxFile* f) { f->bitsPerPixel = 2; }, RESULT_UNKNOWN_FORMAT},
        {"4 bits x 1 plane", [](PcxFile* f) { f->bitsPerPixel = 4; }, RESULT_UNKNOWN_FORMAT},
        {"8 bits x 3 planes", [](PcxFile* f) { f->planes = 3; }, RESULT_UNKNOWN_FORMAT},
        {"8 bits x 4 planes", [](PcxFile* f) { f->planes = 4; }, RESULT_UNKNOWN_FORMAT},
        {"8 bits x 0 planes", [](PcxFile* f) { f->planes = 0; }, RESULT_UNKNOWN_FORMAT},
        {"xmax below xmin",
         [](PcxFile* f) {
             f->xmin = 5;
             f->xmax = 4;
         },
         RESULT_UNKNOWN_FORMAT},
        {"ymax below ymin",
         [](PcxFile* f) {
             f->ymin = 0;
             f->ymax = -1;
         },
         RESULT_UNKNOWN_FORMAT},
        {"a checked field wrong before an unchecked one",
         [](PcxFile* f) {
             f->encoding = 0;
             f->xmax = -100;
         },
         RESULT_UNKNOWN_FORMAT},
    };
    for (const Case& c : cases) {
        PcxFile file = good;
        c.change(&file);
        DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
        EXPECT_EQ(out.result, c.result) << c.what;
        if (c.result != RESULT_OK) {
            EXPECT_EQ(out.allocations, 0) << c.what << ": allocated";
            EXPECT_TRUE(out.calls.empty()) << c.what;
        }
    }
}

TEST_F(PcxPluginTest, LeftEdgeTenAndOddTopGiveWidthTenAndStrideTwelve) {
    // xmin 10 / xmax 19: 10 pixels in a 12-byte DIB row. Plane bits 10 and 11 (padding in the
    // file) are decoded into the DIB row's padding.
    const int32_t width = 10, height = 3;
    std::vector<uint8_t> pixels = PlanarPixels(width, height);
    PcxFile file = MakePlanarPcx(width, height, pixels, 0, 5);
    file.xmin = 10;
    file.xmax = 19;
    file.ymin = 7;
    file.ymax = 9;
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, CubePalette()));
    ASSERT_EQ(out.bits.size(), 12u * height);
    EXPECT_EQ(out.bits, PlanarExpectation(width, height, pixels, 2, 5));
    EXPECT_EQ(out.bits[10], PlanarIndex(5));

    InfoReading info = ReadInfo("vbpcx", ServeFile("p.pcx", WritePcx(file)));
    EXPECT_EQ(info.record.left, 10);
    EXPECT_EQ(info.record.top, 7);
    EXPECT_EQ(info.record.width, 10);
    EXPECT_EQ(info.record.height, 3);
}

TEST_F(PcxPluginTest, BytesPerLineTooSmallForTheWidth) {
    // 16 colours, 20 pixels, 1 byte per line: pixels 8 to 19 stay black in every row.
    std::vector<uint8_t> pixels = PlanarPixels(20, 3);
    PcxFile planar = MakePlanarPcx(20, 3, pixels, 1);
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(planar));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, PlanarExpectation(20, 3, pixels, 1, 0));

    // 256 colours, 6 pixels, 2 bytes per line. The first row's run of 6 goes past the line and
    // is written whole; later rows keep those pixels where their lines do not reach.
    PcxFile indexed = MakeIndexedPcx(6, 3, std::vector<uint8_t>(18, 0), TestPalette(), 2);
    indexed.encodedData = {0xC6, 7, 1, 2, 3, 0xC3, 4};
    out = DecodeServed("vbpcx", WritePcx(indexed));
    ASSERT_EQ(out.result, RESULT_OK);
    const uint8_t rows[3][8] = {
        {7, 7, 7, 7, 7, 7, 0, 0}, {1, 2, 7, 7, 7, 7, 0, 0}, {3, 4, 4, 4, 7, 7, 0, 0}};
    EXPECT_EQ(out.bits, ExpectedBits(6, 3, [&](int32_t x, int32_t y) { return rows[y][x]; }));
}

TEST_F(PcxPluginTest, RunCrossingAPlaneLineMovesTheNextRowToJustAfterIt) {
    // 16 pixels, 2 bytes per line. Row 0's plane 0 is a run of 3 (one byte past its line), so
    // the row takes 8 encoded bytes, not the 16 read for it; row 1 must start right after.
    PcxFile file = MakePlanarPcx(16, 2, std::vector<uint8_t>(32, 0));
    file.encodedData = {0xC3, 0xFF, 0xC2, 0x00, 0xC2, 0x00, 0xC2, 0x00,   // row 0: value 1
                        0xC2, 0x00, 0xC2, 0x00, 0xC2, 0xFF, 0xC2, 0xFF};  // row 1: value 12
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, ExpectedBits(16, 2, [](int32_t, int32_t y) -> uint8_t {
                  return PlanarIndex(y == 0 ? 1 : 12);
              }));

    // A writer whose runs carry on into the next plane line: planes 0 and 1 all set, 2 and 3
    // clear, written as a run of 4 x 0xFF and a run of 4 x 0x00. The first run stays in plane
    // 0, the second fills plane 1 with zeros, and planes 2 and 3 read the zeros past the end.
    std::vector<uint8_t> both(16, 3);
    PcxFile crossing = MakePlanarPcx(16, 1, both);
    crossing.runsCrossPlaneLines = true;
    std::vector<uint8_t> bytes = WritePcx(crossing);
    ASSERT_EQ(std::vector<uint8_t>(bytes.begin() + 128, bytes.end()),
              (std::vector<uint8_t>{0xC4, 0xFF, 0xC4, 0x00}));
    out = DecodeServed("vbpcx", bytes);
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, std::vector<uint8_t>(16, PlanarIndex(1)));
}

TEST_F(PcxPluginTest, RunLengthZeroIsBrokenDataInBothLayouts) {
    PcxFile planar = MakePlanarPcx(8, 3, std::vector<uint8_t>(24, 6));
    planar.encodedData = {0xC1, 0x00, 0xC1, 0xFF, 0xC1, 0xFF, 0xC1, 0x00,  // row 0
                          0xC1, 0x00, 0xC0, 0xFF};                         // row 1: count 0
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(planar));
    EXPECT_EQ(out.result, RESULT_BROKEN_DATA);
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, 3, 1));

    PcxFile indexed = MakeIndexedPcx(4, 3, std::vector<uint8_t>(12, 0), TestPalette());
    indexed.encodedData = {1, 2, 3, 4, 0xC0, 5};
    out = DecodeServed("vbpcx", WritePcx(indexed));
    EXPECT_EQ(out.result, RESULT_BROKEN_DATA);
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, 3, 1));
}

TEST_F(PcxPluginTest, BytesPerLineBelowOneIsBrokenDataAtTheFirstRow) {
    for (int16_t lineBytes : {0, -1, -32768}) {
        PcxFile planar = MakePlanarPcx(8, 2, std::vector<uint8_t>(16, 1));
        planar.bytesPerLine = lineBytes;
        DecodeRecord out = DecodeServed("vbpcx", WritePcx(planar));
        EXPECT_EQ(out.result, RESULT_BROKEN_DATA);
        EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, 2, 0));
        PcxFile indexed = MakeIndexedPcx(8, 2, std::vector<uint8_t>(16, 1), TestPalette());
        indexed.bytesPerLine = lineBytes;
        EXPECT_EQ(DecodeServed("vbpcx", WritePcx(indexed)).result, RESULT_BROKEN_DATA) << lineBytes;
    }
}

TEST_F(PcxPluginTest, PaletteTrailer) {
    const int32_t width = 5, height = 2;
    std::vector<uint8_t> pixels = IndexedPixels(width, height);
    PcxFile file = MakeIndexedPcx(width, height, pixels, TestPalette());
    auto expectedBits = ExpectedBits(width, height, [&](int32_t x, int32_t y) -> uint8_t {
        return x < width ? pixels[(size_t)y * width + x] : 0;
    });

    // Bytes (none of them 12) between the last row and the marker are skipped.
    file.bytesBeforeMarker = {0, 1, 0xC1, 13, 11, 0xFF, 200};
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, TestPalette()));
    EXPECT_EQ(out.bits, expectedBits);

    // The first 12 after the image data is the marker, wherever it is.
    file.bytesBeforeMarker = {12, 40, 41, 42};
    std::vector<uint8_t> shifted = {40, 41, 42, 12};
    const std::vector<uint8_t> palette = TestPalette();
    shifted.insert(shifted.end(), palette.begin(), palette.end() - 4);
    out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, shifted));

    // A palette cut short: the triples past the end of the file are black.
    file.bytesBeforeMarker.clear();
    file.palette.resize(3 * 100 + 2);
    std::vector<uint8_t> cut(palette.begin(), palette.begin() + 302);
    cut.resize(768, 0);
    out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(width, height, cut));

    // No 12 after the image data at all.
    file.writeMarker = false;
    file.palette.clear();
    file.bytesBeforeMarker = {1, 2, 3};
    out = DecodeServed("vbpcx", WritePcx(file));
    EXPECT_EQ(out.result, RESULT_FILE_ERROR);
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, height));
}

TEST_F(PcxPluginTest, NotifierAnswers) {
    const int32_t height = 4;
    PcxFile file = MakePlanarPcx(9, height, PlanarPixels(9, height));
    std::u16string name = ServeFile("p.pcx", WritePcx(file));

    // The two calls before the first row cannot stop the decode.
    DecodeOptions answers;
    answers.answers = {1, 1};
    DecodeRecord out = Decode("vbpcx", name, answers);
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, height));

    // A stop after the first row.
    out = Decode("vbpcx", name, StopOnCall(3));
    EXPECT_EQ(out.result, RESULT_ABORTED);
    EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, 1));

    // A stop after the last row still hands nothing over.
    answers.answers = {0, 0, 0, 0, 0, -1};
    EXPECT_EQ(Decode("vbpcx", name, answers).result, RESULT_ABORTED);

    // The 256-colour palette is not searched for after a stop.
    PcxFile indexed = MakeIndexedPcx(3, 2, {1, 2, 3, 4, 5, 6}, TestPalette());
    name = ServeFile("p.pcx", WritePcx(indexed));
    answers.answers = {0, 0, 7};
    out = Decode("vbpcx", name, answers);
    EXPECT_EQ(out.result, RESULT_ABORTED);
    EXPECT_EQ(out.reads, 1);  // one refill holds the whole file
}

TEST_F(PcxPluginTest, TruncatedDataReadsAsZeros) {
    // A 16-colour file cut after its second row: the rows after it decode from zeros, black.
    const int32_t width = 12, height = 5;
    std::vector<uint8_t> pixels = PlanarPixels(width, height);
    PcxFile file = MakePlanarPcx(width, height, pixels);
    std::vector<uint8_t> firstRows = WritePcx(MakePlanarPcx(width, 2, pixels));
    std::vector<uint8_t> whole = WritePcx(file);
    whole.resize(firstRows.size());
    DecodeRecord out = DecodeServed("vbpcx", whole);
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.bits, ExpectedBits(width, height, [&](int32_t x, int32_t y) -> uint8_t {
                  return y < 2 && x < width ? PlanarIndex(pixels[(size_t)y * width + x]) : 0;
              }));

    // Cut anywhere, any picture gives a defined answer and leaves no block behind.
    std::vector<uint8_t> indexed =
        WritePcx(MakeIndexedPcx(7, 3, IndexedPixels(7, 3), TestPalette()));
    std::vector<uint8_t> planar = WritePcx(file);
    for (const std::vector<uint8_t>* bytes : {&indexed, &planar}) {
        for (size_t length = 0; length <= bytes->size(); length++) {
            std::vector<uint8_t> cutFile(bytes->begin(), bytes->begin() + length);
            int32_t result = DecodeServed("vbpcx", cutFile).result;
            // Broken data only where the cut takes bytes per line's high byte away (0 then).
            EXPECT_TRUE(result == RESULT_OK || result == RESULT_UNKNOWN_FORMAT ||
                        result == RESULT_FILE_ERROR ||
                        (result == RESULT_BROKEN_DATA && length <= 67))
                << length << ": " << result;
            ASSERT_EQ(TestingLiveBlockCount(), startBlocks) << length;
        }
    }
}

TEST_F(PcxPluginTest, SizesThatDoNotFitAreRefusedBeforeAllocating) {
    // 65536 x 65536 bytes of DIB: above what a block can hold.
    PcxFile file = MakeIndexedPcx(2, 2, {1, 2, 3, 4}, TestPalette());
    file.xmin = -32768;
    file.xmax = 32767;
    file.ymin = -32768;
    file.ymax = 32767;
    int64_t allocations = TestingAllocationCount();
    EXPECT_EQ(DecodeServed("vbpcx", WritePcx(file)).result, RESULT_MEMORY_ERROR);
    EXPECT_EQ(TestingAllocationCount(), allocations);

    // 2^31 bytes exactly is one too many.
    file.ymin = 0;
    file.ymax = 32767;
    EXPECT_EQ(DecodeServed("vbpcx", WritePcx(file)).result, RESULT_MEMORY_ERROR);
    EXPECT_EQ(TestingAllocationCount(), allocations);

    // The widest picture, one row high, with the longest line: decodes.
    file.ymax = 0;
    file.bytesPerLine = 32767;
    std::vector<uint8_t> line(32767, 5);
    file.encodedData = EncodePcxBytes(line.data(), line.size());
    DecodeRecord out = DecodeServed("vbpcx", WritePcx(file));
    ASSERT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.header, ExpectedHeader(65536, 1, TestPalette()));
    std::vector<uint8_t> row(65536, 0);
    std::fill(row.begin(), row.begin() + 32767, 5);
    EXPECT_EQ(out.bits, row);
}

// Every allocation and every read of a decode made to fail in turn.
void CheckEveryFailure(const std::u16string& name, int32_t height) {
    DecodeRecord clean = Decode("vbpcx", name);
    ASSERT_EQ(clean.result, RESULT_OK);
    EXPECT_EQ(clean.allocations, 3);  // header block, bits block, row buffer

    for (int64_t n = 1; n <= clean.allocations; n++) {
        TestingFailAllocation(n);
        DecodeRecord failed = Decode("vbpcx", name);
        EXPECT_EQ(failed.result, RESULT_MEMORY_ERROR) << "allocation " << n;
        EXPECT_TRUE(failed.calls.empty()) << "allocation " << n;
        EXPECT_EQ(failed.blocksLeft, 0) << "allocation " << n;
    }
    TestingFailAllocation(0);
    for (int64_t n = 1; n <= clean.reads; n++) {
        TestingFailRead(n);
        DecodeRecord failed = Decode("vbpcx", name);
        EXPECT_EQ(failed.result, RESULT_FILE_ERROR) << "read " << n;
        EXPECT_EQ(failed.blocksLeft, 0) << "read " << n;
        // Read 1 is the header, reads 2 to height + 1 the rows, the rest the palette trailer.
        int32_t rowsDone = n == 1 ? -1 : (int32_t)std::min<int64_t>(n - 2, height);
        if (rowsDone < 0) {
            EXPECT_TRUE(failed.calls.empty()) << "read " << n;
        } else {
            EXPECT_EQ(failed.calls, ProgressCalls(Protocol::Pcx, height, rowsDone)) << "read " << n;
        }
    }
    TestingFailRead(0);
    TestingFailOpen(1);
    DecodeRecord failed = Decode("vbpcx", name);
    EXPECT_EQ(failed.result, RESULT_FILE_ERROR);
    EXPECT_TRUE(failed.calls.empty());
    EXPECT_EQ(failed.blocksLeft, 0);
    TestingFailOpen(0);
}

TEST_F(PcxPluginTest, EveryFailureOfASixteenColourDecodeLeavesNoBlock) {
    PcxFile file = MakePlanarPcx(13, 4, PlanarPixels(13, 4));
    CheckEveryFailure(ServeFile("p.pcx", WritePcx(file)), 4);
}

TEST_F(PcxPluginTest, EveryFailureOfATwoHundredFiftySixColourDecodeLeavesNoBlock) {
    PcxFile file = MakeIndexedPcx(6, 3, IndexedPixels(6, 3), TestPalette());
    file.bytesBeforeMarker = {1, 2};  // the marker search takes three reads
    CheckEveryFailure(ServeFile("p.pcx", WritePcx(file)), 3);
}

TEST_F(PcxPluginTest, InformationReaderFailures) {
    std::u16string name =
        ServeFile("p.pcx", WritePcx(MakePlanarPcx(8, 1, std::vector<uint8_t>(8, 1))));
    TestingFailOpen(1);
    InfoReading info = ReadInfo("vbpcx", name);
    EXPECT_EQ(info.result, RESULT_FILE_ERROR);
    PictureInfoRecord cleared;
    memset((void*)&cleared, 0, sizeof cleared);
    EXPECT_EQ(memcmp(&info.record, &cleared, sizeof cleared), 0);
    TestingFailOpen(0);
    TestingFailRead(1);
    info = ReadInfo("vbpcx", name);
    EXPECT_EQ(info.result, RESULT_FILE_ERROR);
    EXPECT_EQ(memcmp(&info.record, &cleared, sizeof cleared), 0);
    info = ReadInfo("vbpcx", u"no such file.pcx");
    EXPECT_EQ(info.result, RESULT_FILE_ERROR);
}

TEST_F(PcxPluginTest, HostileImageDataGivesADefinedAnswer) {
    // Valid headers of both layouts followed by random bytes: never a crash, never a block left.
    uint32_t seed = 99;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return (uint8_t)(seed >> 24);
    };
    for (int round = 0; round < 300; round++) {
        int32_t width = 1 + round % 29, height = 1 + round % 7;
        PcxFile file =
            round % 2 ? MakePlanarPcx(width, height, PlanarPixels(width, height))
                      : MakeIndexedPcx(width, height, IndexedPixels(width, height), TestPalette());
        file.bytesPerLine = (int16_t)(round % 5 == 0 ? next() % 40 : file.bytesPerLine);
        file.encodedData.resize(next() % 200 + 1);
        for (auto& b : file.encodedData) b = next();
        file.palette.clear();
        file.writeMarker = false;
        int32_t result = DecodeServed("vbpcx", WritePcx(file)).result;
        EXPECT_TRUE(result == RESULT_OK || result == RESULT_BROKEN_DATA ||
                    result == RESULT_FILE_ERROR)
            << round << ": " << result;
        ASSERT_EQ(TestingLiveBlockCount(), startBlocks) << round;
    }
}

}  // namespace
