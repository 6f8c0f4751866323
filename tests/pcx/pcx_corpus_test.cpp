// PCX files written by other programs (tests/data/pcx, origins in SOURCES.tsv), read from disk
// through vbpcx.spi.
//
// The pixel checksums are FNV-1a 64 over the red, green, blue bytes of the width x height
// pixels, top row first, as ImageMagick 6 decodes the files. 256-colour pictures use their own
// palette. For the 16-colour ones ImageMagick's colours (from each file's header palette) were
// mapped to the nearest entry of the 3-3-2 cube, channel by channel, as this filter shows them;
// Pillow 9.4 reads two of them with one plane byte per line instead of two and is no reference
// there. ImageMagick tints kde__ccbug_463951's gray palette (index 255 comes out as
// 248, 248, 249), so its checksum comes from a plain reading of the file's runs and palette.
#include "pcx_plugin_support.h"

namespace {

struct CorpusFile {
    const char* name;
    int32_t result;
    int32_t left, top, width, height, depth;  // the information record
    uint64_t checksum;                        // on RESULT_OK
};

const CorpusFile kCorpus[] = {
    // 16 colours, 1 bit x 4 planes.
    {"kde__16color.pcx", RESULT_OK, 0, 0, 200, 168, 4, 0x7ee547e4ba37455dull},
    {"kryptan__tiny.pcx", RESULT_OK, 0, 0, 3, 3, 4, 0x7f2609d4f801216dull},
    {"pillow__p_4_planes.pcx", RESULT_OK, 0, 0, 1, 1, 4, 0xf0778e1bdf2e3ff3ull},
    // 256 colours, 8 bits x 1 plane, odd bytes per line among them.
    {"imagers__256-palette.pcx", RESULT_OK, 0, 0, 435, 353, 8, 0xb18ec222d05cf24eull},
    {"kde__ccbug_463951.pcx", RESULT_OK, 0, 0, 581, 400, 8, 0x40cfa5fd20c60b7cull},
    {"kde__indexed8.pcx", RESULT_OK, 0, 0, 32, 32, 8, 0xb4e7668b3485dd53ull},
    {"kryptan__gmarbles.pcx", RESULT_OK, 0, 0, 141, 99, 8, 0xf4717f69cca1def5ull},
    {"pillow__odd_stride.pcx", RESULT_OK, 0, 0, 371, 150, 8, 0x63b17ce546e8786dull},
    // Layouts this filter does not decode.
    {"kde__bw.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 32, 32, 24, 0},
    {"kde__rgb-gimp-2.8.10.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 32, 32, 24, 0},
    {"kde__dice_rgba.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 63, 47, 32, 0},
    {"kde__indexed4.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 32, 32, 4, 0},
    {"kryptan__CGA_BW.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 640, 200, 1, 0},
    {"kryptan__CGA_TST1.pcx", RESULT_UNKNOWN_FORMAT, 0, 0, 320, 200, 2, 0},
    {"pillow__pil184.pcx", RESULT_UNKNOWN_FORMAT, 1, 1, 447, 144, 1, 0},
    // Damaged: 12 bytes per line for 88 pixels and no palette after the rows; encoding byte 32.
    {"pillow__01r_00.pcx", RESULT_FILE_ERROR, 0, 0, 88, 52, 8, 0},
    {"pillow__ossfuzz-4836216264589312.pcx", RESULT_UNKNOWN_FORMAT, 0, 8224, 1, 1, 2, 0},
};

uint64_t PixelChecksum(const DecodeRecord& out, int32_t width, int32_t height) {
    uint64_t hash = 0xcbf29ce484222325ull;
    int32_t stride = DibStride(width, 8);
    for (int32_t y = 0; y < height; y++) {
        const uint8_t* row = &out.bits[(size_t)(height - 1 - y) * stride];
        for (int32_t x = 0; x < width; x++) {
            const uint8_t* quad = &out.header[40 + 4 * row[x]];
            for (int k = 2; k >= 0; k--) {  // red, green, blue
                hash ^= quad[k];
                hash *= 0x100000001b3ull;
            }
        }
    }
    return hash;
}

TEST_F(PcxPluginTest, CorpusFilesFromOtherWriters) {
    for (const CorpusFile& file : kCorpus) {
        SCOPED_TRACE(file.name);
        std::u16string path = Utf16(std::string(VB_SOURCE_DIR) + "/tests/data/pcx/" + file.name);
        InfoReading info = ReadInfo("vbpcx", path);
        ASSERT_EQ(info.result, RESULT_OK);
        EXPECT_EQ(info.record.left, file.left);
        EXPECT_EQ(info.record.top, file.top);
        EXPECT_EQ(info.record.width, file.width);
        EXPECT_EQ(info.record.height, file.height);
        EXPECT_EQ(info.record.colourDepth, file.depth);

        DecodeRecord out = Decode("vbpcx", path);
        EXPECT_EQ(out.result, file.result);
        EXPECT_EQ(out.blocksLeft, 0);
        if (out.result != RESULT_OK) continue;
        EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, file.height, file.height));
        std::vector<uint8_t> expected = ExpectedHeader(file.width, file.height, {});
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 40, out.header.begin()));
        if (file.checksum != 0) {
            uint64_t checksum = PixelChecksum(out, file.width, file.height);
            EXPECT_EQ(checksum, file.checksum) << std::hex << checksum;
        }
    }
}

}  // namespace

namespace {

// With "extended layouts" on, the layouts refused above decode to the picture each file's own
// test suite expects (Pillow's decode for pil184, which has none): 8-bit DIBs whose colour
// tables hold the file's colours and nothing past them, or 24-bit ones. The CGA pictures of 2
// bits are shown in the header palette's first 4 colours, as that suite expects too.
TEST_F(PcxPluginTest, CorpusFilesInTheExtendedLayouts) {
    struct Reference {
        const char* name;
        int32_t bitCount;
        int32_t colours;  // entries of the colour table in use; 0 at 24 bits
        uint64_t checksum;
    };
    const Reference references[] = {
        {"kde__mono.pcx", 8, 2, 0x87e313b12bad6a84ull},
        {"kryptan__CGA_BW.pcx", 8, 2, 0x8114fa192958a71aull},
        {"pillow__pil184.pcx", 8, 2, 0xc179cbeac538cdc6ull},
        {"kryptan__CGA_FSD.pcx", 8, 4, 0xc3d62ba8928505a7ull},
        {"kryptan__CGA_RGBI.pcx", 8, 4, 0x8bf693a6c3ea7519ull},
        {"kryptan__CGA_TST1.pcx", 8, 4, 0x1da41e8855f4be45ull},
        {"kde__indexed4.pcx", 8, 16, 0x81054ed9e41c09f2ull},
        {"kde__ICONDOC.pcx", 8, 8, 0xf1f4e84c3bf8d7a4ull},
        {"imagers__24bit.pcx", 24, 0, 0xcd8c0550d90f6ac3ull},
        {"kde__bw.pcx", 24, 0, 0x537772e91b3a1ccdull},
        {"kde__rgb-gimp-2.8.10.pcx", 24, 0, 0xadf02befa235452eull},
        {"kryptan__marbles.pcx", 24, 0, 0xc54b82db071b34f4ull},
        {"kde__dice_rgba.pcx", 24, 0, 0xad4f200df0ee6185ull},
    };
    if (!SetPlugInSettings(-1, 1)) GTEST_SKIP() << FullColorReason;
    for (const Reference& reference : references) {
        SCOPED_TRACE(reference.name);
        std::u16string path =
            Utf16(std::string(VB_SOURCE_DIR) + "/tests/data/pcx/" + reference.name);
        DecodeRecord out = Decode("vbpcx", path);
        ASSERT_EQ(out.result, RESULT_OK);
        const int32_t height = HeaderField(out.header, 8);
        EXPECT_EQ(out.calls, ProgressCalls(Protocol::Pcx, height, height));
        EXPECT_EQ(out.header[14], reference.bitCount);
        const uint64_t checksum = DibRgbChecksum(out);
        EXPECT_EQ(checksum, reference.checksum) << std::hex << checksum;
        for (size_t at = 40 + 4 * (size_t)reference.colours; at < out.header.size(); at++) {
            ASSERT_EQ(out.header[at], 0) << "colour table byte " << at;
        }
    }
    // The setting changes nothing for the layouts decoded without it.
    for (const CorpusFile& file : kCorpus) {
        if (file.result != RESULT_OK) continue;
        SCOPED_TRACE(file.name);
        DecodeRecord out =
            Decode("vbpcx", Utf16(std::string(VB_SOURCE_DIR) + "/tests/data/pcx/" + file.name));
        ASSERT_EQ(out.result, RESULT_OK);
        EXPECT_EQ(PixelChecksum(out, file.width, file.height), file.checksum);
    }
}

}  // namespace
