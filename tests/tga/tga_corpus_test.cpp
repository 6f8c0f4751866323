// TGA files written by other programs (tests/data/tga, origins in SOURCES.tsv): every file
// gives its expected result, files holding the same picture decode to the same DIB whatever
// their orientation and packing, and raw files decode to exactly their stored rows.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/platform_testing.h"
#include "tga_test_helpers.h"

namespace {

std::string CorpusFile(const std::string& name) {
    return std::string(VB_SOURCE_DIR) + "/tests/data/tga/" + name;
}

std::u16string CorpusPath(const std::string& name) {
    return Utf16(CorpusFile(name));
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(file);
    return bytes;
}

// The DIB bits of an uncompressed true-colour or gray file, computed from its stored rows and
// its descriptor's origin bits.
std::vector<uint8_t> BitsOfRawFile(const std::vector<uint8_t>& file) {
    const int width = file[12] | file[13] << 8;
    const int height = file[14] | file[15] << 8;
    const int stored = file[16] / 8;
    const bool top = (file[17] & 0x20) != 0;
    const bool rightToLeft = (file[17] & 0x10) != 0;
    const int entryBytes = (file[7] + 7) / 8;
    const size_t data = 18 + file[0] + (size_t)(file[5] | file[6] << 8) * entryBytes;
    const int out = stored == 1 ? 1 : 3;
    const int stride = DibStride(width, out * 8);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    for (int i = 0; i < height; i++) {
        int row = top ? height - 1 - i : i;
        for (int x = 0; x < width; x++) {
            int column = rightToLeft ? width - 1 - x : x;
            size_t from = data + ((size_t)i * width + x) * stored;
            for (int b = 0; b < out; b++) {
                bits[(size_t)row * stride + (size_t)column * out + b] =
                    from + b < file.size() ? file[from + b] : 0;
            }
        }
    }
    return bits;
}

class TgaCorpusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        SetFullColor(-1);
        SetDisplayBits(24);
    }
};

TEST_F(TgaCorpusTest, SamePictureSameDib) {
    // The first file of each group is its reference. Raw references are also checked against
    // their stored rows.
    const std::vector<std::vector<const char*>> groups = {
        {"ftr__utc24.tga", "ftr__ctc24.tga", "ftr__utc32.tga", "ftr__ctc32.tga"},
        {"ftr__ubw8.tga", "ftr__cbw8.tga"},
        {"ftr__monochrome8_bottom_left.tga", "ftr__monochrome8_bottom_left_rle.tga"},
        {"ftr__rgb24_top_left.tga", "ftr__rgb24_bottom_left_rle.tga"},
        {"ftr__rgb32_bottom_left.tga", "ftr__rgb32_top_left_rle.tga"},
        {"kde__bottom_left.tga", "kde__bottom_right.tga", "kde__top_left.tga",
         "kde__top_right.tga"},
        {"kde__rgb-gimp-2.8.10-bottom-left.tga", "kde__rgb-gimp-2.8.10-rle-bottom-left.tga",
         "kde__rgb-gimp-2.8.10-rle-top-left.tga", "kde__rgb-gimp-2.8.10-top-left.tga"},
        {"pillow__200x32_l_bl_raw.tga", "pillow__200x32_l_bl_rle.tga",
         "pillow__200x32_l_tl_raw.tga", "pillow__200x32_l_tl_rle.tga"},
        {"pillow__200x32_rgb_bl_raw.tga", "pillow__200x32_rgb_bl_rle.tga",
         "pillow__200x32_rgb_tl_rle.tga"},
        {"pillow__200x32_rgba_bl_raw.tga", "pillow__200x32_rgba_bl_rle.tga",
         "pillow__200x32_rgba_tl_raw.tga", "pillow__200x32_rgba_tl_rle.tga"},
        {"pillow__1x1_l_bl_raw.tga", "pillow__1x1_l_bl_rle.tga", "pillow__1x1_l_tl_raw.tga",
         "pillow__1x1_l_tl_rle.tga"},
        {"kde__rgb.tga"},
        {"kde__rgba.tga"},
        {"kde__devarea.tga"},
        {"kde__extarea.tga"},
        {"pillow__tga_id_field.tga"},
    };
    for (const auto& group : groups) {
        DecodeRecord reference = Decode("vbtga", CorpusPath(group[0]));
        ASSERT_EQ(reference.result, RESULT_OK) << group[0];
        EXPECT_EQ(reference.blocksLeft, 0);
        std::vector<uint8_t> file = ReadWholeFile(CorpusFile(group[0]));
        ASSERT_GE(file.size(), 18u);
        if (file[2] == 2 || file[2] == 3) {
            EXPECT_EQ(reference.bits, BitsOfRawFile(file)) << group[0];
        }
        for (size_t i = 1; i < group.size(); i++) {
            DecodeRecord outcome = Decode("vbtga", CorpusPath(group[i]));
            ASSERT_EQ(outcome.result, RESULT_OK) << group[i];
            EXPECT_EQ(outcome.header, reference.header) << group[i];
            EXPECT_TRUE(outcome.bits == reference.bits) << group[i] << " differs from " << group[0];
        }
    }
}

// Mirrors a DIB left to right and/or top to bottom.
std::vector<uint8_t> TurnDib(const std::vector<uint8_t>& bits, int width, int height,
                             int bytesPerPixel, bool vertical, bool horizontal) {
    const int stride = DibStride(width, bytesPerPixel * 8);
    std::vector<uint8_t> out(bits.size(), 0);
    for (int y = 0; y < height; y++) {
        int fromRow = vertical ? height - 1 - y : y;
        for (int x = 0; x < width; x++) {
            int fromColumn = horizontal ? width - 1 - x : x;
            for (int b = 0; b < bytesPerPixel; b++) {
                out[(size_t)y * stride + (size_t)x * bytesPerPixel + b] =
                    bits[(size_t)fromRow * stride + (size_t)fromColumn * bytesPerPixel + b];
            }
        }
    }
    return out;
}

TEST_F(TgaCorpusTest, SameStoredRowsTurnedByTheDescriptor) {
    // Each set holds one packet stream under different origin bits, so each picture is the
    // first one mirrored as its descriptor says. The 75 x 70 ones have packets that cross row
    // ends.
    struct Member {
        const char* name;
        bool vertical, horizontal;
    };
    const std::vector<std::vector<Member>> sets = {
        {{"imagers__bottom_left.tga", false, false},
         {"imagers__bottom_right.tga", false, true},
         {"imagers__top_left.tga", true, false},
         {"imagers__top_right.tga", true, true}},
        {{"pillow__rgb32rle.tga", false, false},
         {"pillow__rgb32rle_bottom_right.tga", false, true},
         {"pillow__rgb32rle_top_right.tga", true, true}},
    };
    for (const auto& set : sets) {
        DecodeRecord reference = Decode("vbtga", CorpusPath(set[0].name));
        ASSERT_EQ(reference.result, RESULT_OK) << set[0].name;
        int width = HeaderField(reference.header, 4), height = HeaderField(reference.header, 8);
        for (size_t i = 1; i < set.size(); i++) {
            DecodeRecord outcome = Decode("vbtga", CorpusPath(set[i].name));
            ASSERT_EQ(outcome.result, RESULT_OK) << set[i].name;
            EXPECT_EQ(outcome.header, reference.header);
            EXPECT_TRUE(outcome.bits == TurnDib(reference.bits, width, height, 3, set[i].vertical,
                                                set[i].horizontal))
                << set[i].name;
            EXPECT_FALSE(outcome.bits == reference.bits) << set[i].name;
        }
    }
}

TEST_F(TgaCorpusTest, RawPacketOverTheRowEnd) {
    // 2 x 2 gray, bottom row first: a raw packet of three pixels 0, 255, 255 takes the whole
    // bottom row and the first pixel of the top row; a raw packet of one 0 ends it.
    DecodeRecord outcome = Decode("vbtga", CorpusPath("pillow__cross_scan_line.tga"));
    ASSERT_EQ(outcome.result, RESULT_OK);
    EXPECT_EQ(outcome.bits, (std::vector<uint8_t>{0, 255, 0, 0, 255, 0, 0, 0}));
    EXPECT_EQ(outcome.header, ExpectedHeaderBlock(2, 2, 8, ExpectedPalette::GrayRamp256));
}

TEST_F(TgaCorpusTest, UnsupportedFormsAreUnknown) {
    // Colour-mapped pictures and 15/16-bit pixels (colour or gray with alpha).
    const char* files[] = {
        "ftr__ccm8.tga",
        "ftr__ucm8.tga",
        "ftr__ctc16.tga",
        "ftr__utc16.tga",
        "ftr__monochrome16_top_left.tga",
        "ftr__monochrome16_top_left_rle.tga",
        "ftr__rgb24_top_left_colormap.tga",
        "ftr__rgb32_top_left_rle_colormap.tga",
        "imagers__b5-attrib.tga",
        "imagers__b5-cmap.tga",
        "imagers__b5-noattrib.tga",
        "imagers__b5-unused-cmap.tga",
        "imagers__cmap_offset.tga",
        "kde__bwa.tga",
        "kde__colormapped.tga",
        "kde__rgb16.tga",
        "pillow__200x32_la_bl_raw.tga",
        "pillow__200x32_la_bl_rle.tga",
        "pillow__200x32_la_tl_raw.tga",
        "pillow__200x32_la_tl_rle.tga",
        "pillow__200x32_p_bl_raw.tga",
        "pillow__200x32_p_bl_raw_origin.tga",
        "pillow__200x32_p_bl_rle.tga",
        "pillow__200x32_p_tl_raw.tga",
        "pillow__200x32_p_tl_rle.tga",
        "pillow__la.tga",
        "pillow__p_16.tga",
        "pillow__rgba16.tga",
    };
    for (const char* name : files) {
        DecodeRecord outcome = Decode("vbtga", CorpusPath(name));
        EXPECT_EQ(outcome.result, RESULT_UNKNOWN_FORMAT) << name;
        EXPECT_TRUE(outcome.calls.empty()) << name;
        EXPECT_EQ(outcome.blocksLeft, 0) << name;
    }
    // A gray picture stored run-length from another writer decodes.
    DecodeRecord bw = Decode("vbtga", CorpusPath("kde__bw.tga"));
    EXPECT_EQ(bw.result, RESULT_OK);
}

TEST_F(TgaCorpusTest, ExtendedLayoutsShowTheReferencePictures) {
    // With "extended layouts" on, the files the default layouts refuse decode to the picture
    // their own test suite expects (its colours where it is opaque: the DIBs have no alpha),
    // checksummed as DibRgbChecksum does. Where that suite widens 5-bit channels with
    // rounding (image-rs, KDE: 16 gives 132, not 131) the checksum is Pillow's decode, c x 255 /
    // 31 rounded down; Pillow 9.4 in turn misreads the 15-bit colour map of b5-cmap and the
    // 16-bit pixels of b5-unused-cmap, which hold the picture of b5-noattrib.
    struct Reference {
        const char* name;
        int32_t bitCount;
        uint64_t checksum;
    };
    const Reference references[] = {
        // Colour-mapped: 8-bit indices into 15/16-, 24- and 32-bit entries, first index 39.
        {"ftr__ccm8.tga", 24, 0x42bea277e4730b25ull},
        {"ftr__ucm8.tga", 24, 0x42bea277e4730b25ull},
        {"ftr__rgb24_top_left_colormap.tga", 24, 0x05fc1518bb4433f7ull},
        {"ftr__rgb32_top_left_rle_colormap.tga", 24, 0x9795003175ead748ull},
        {"imagers__b5-cmap.tga", 24, 0x53029233dc8b040full},
        {"imagers__cmap_offset.tga", 24, 0xdb26351ae1e22ea7ull},
        {"kde__colormapped.tga", 24, 0x978ff82f7dfb8a0aull},
        {"pillow__200x32_p_bl_raw.tga", 24, 0x9ecce710d726e83full},
        {"pillow__200x32_p_bl_raw_origin.tga", 24, 0x9ecce710d726e83full},
        {"pillow__200x32_p_bl_rle.tga", 24, 0x9ecce710d726e83full},
        {"pillow__200x32_p_tl_raw.tga", 24, 0x9ecce710d726e83full},
        {"pillow__200x32_p_tl_rle.tga", 24, 0x9ecce710d726e83full},
        {"pillow__p_16.tga", 24, 0x42bea277e4730b25ull},
        // 15/16-bit colour.
        {"ftr__ctc16.tga", 24, 0x42bea277e4730b25ull},
        {"ftr__utc16.tga", 24, 0x42bea277e4730b25ull},
        {"imagers__b5-attrib.tga", 24, 0x53029233dc8b040full},
        {"imagers__b5-noattrib.tga", 24, 0x53029233dc8b040full},
        {"imagers__b5-unused-cmap.tga", 24, 0x53029233dc8b040full},
        {"kde__rgb16.tga", 24, 0x240e0a5b8fb83c8aull},
        {"pillow__rgba16.tga", 24, 0x291a757aabe25d93ull},
        // 16-bit gray with alpha.
        {"ftr__monochrome16_top_left.tga", 8, 0x6e431751526de325ull},
        {"ftr__monochrome16_top_left_rle.tga", 8, 0x6e431751526de325ull},
        {"kde__bwa.tga", 8, 0x7e8e0fa784351325ull},
        {"pillow__200x32_la_bl_raw.tga", 8, 0xe0e7fe935a53317cull},
        {"pillow__200x32_la_bl_rle.tga", 8, 0xe0e7fe935a53317cull},
        {"pillow__200x32_la_tl_raw.tga", 8, 0xe0e7fe935a53317cull},
        {"pillow__200x32_la_tl_rle.tga", 8, 0xe0e7fe935a53317cull},
        {"pillow__la.tga", 8, 0xcbdb1c84dff420d3ull},
    };
    if (!SetPlugInSettings(-1, 1)) GTEST_SKIP() << FullColorReason;
    for (const Reference& reference : references) {
        SCOPED_TRACE(reference.name);
        DecodeRecord outcome = Decode("vbtga", CorpusPath(reference.name));
        ASSERT_EQ(outcome.result, RESULT_OK);
        EXPECT_EQ(outcome.blocksLeft, 0);
        EXPECT_EQ(outcome.header[14], reference.bitCount);
        const uint64_t checksum = DibRgbChecksum(outcome);
        EXPECT_EQ(checksum, reference.checksum) << std::hex << checksum;
    }
    // The setting changes nothing for the layouts decoded without it.
    for (const char* name : {"ftr__utc32.tga", "ftr__cbw8.tga", "imagers__top_right.tga"}) {
        DecodeRecord on = Decode("vbtga", CorpusPath(name));
        ASSERT_TRUE(SetPlugInSettings(-1, -1));
        DecodeRecord off = Decode("vbtga", CorpusPath(name));
        ASSERT_TRUE(SetPlugInSettings(-1, 1));
        EXPECT_EQ(on.header, off.header) << name;
        EXPECT_TRUE(on.bits == off.bits) << name;
    }
}

TEST_F(TgaCorpusTest, MalformedFilesGiveADefinedResultAndLeaveNothing) {
    struct Case {
        const char* name;
        int32_t result;
        int32_t extendedResult;  // with "extended layouts" on
    };
    const Case cases[] = {
        {"imagers__bad-color-map.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__flip-zero-height.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__flip-zero-height2.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__orientation-zero-width.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__overfull-image.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__sixteen-bit-gray-colormap.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        {"imagers__sixteen-bit-gray-colormap2.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        // 8224 x 32 run-length with no pixel data at all: a black picture.
        {"imagers__slice-copy-length.tga", RESULT_OK, RESULT_OK},
        // Colour-map entries of 8 bits.
        {"pillow__p_8.tga", RESULT_UNKNOWN_FORMAT, RESULT_UNKNOWN_FORMAT},
        // Colour-mapped run-length data that ends early: its missing indices read as 0.
        {"pillow__cross_scan_line_truncated.tga", RESULT_UNKNOWN_FORMAT, RESULT_OK},
    };
    for (int32_t displayBits : {24, 8, 2}) {
        SetDisplayBits(displayBits);
        for (const Case& c : cases) {
            DecodeRecord outcome = Decode("vbtga", CorpusPath(std::string("malformed/") + c.name));
            EXPECT_EQ(outcome.result, c.result) << c.name;
            EXPECT_EQ(outcome.blocksLeft, 0) << c.name;
            if (outcome.result == RESULT_OK) {
                bool black = true;
                for (uint8_t b : outcome.bits) black = black && b == 0;
                EXPECT_TRUE(black) << c.name;
            }
        }
    }
    // Where the registry is the system's own, only the default layouts are tried.
    if (!SetPlugInSettings(-1, 1)) return;
    for (int32_t displayBits : {24, 8, 2}) {
        SetDisplayBits(displayBits);
        for (const Case& c : cases) {
            DecodeRecord outcome = Decode("vbtga", CorpusPath(std::string("malformed/") + c.name));
            EXPECT_EQ(outcome.result, c.extendedResult) << c.name << " with extended layouts";
            EXPECT_EQ(outcome.blocksLeft, 0) << c.name;
        }
    }
}

}  // namespace
