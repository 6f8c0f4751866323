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

TEST_F(TgaCorpusTest, MalformedFilesGiveADefinedResultAndLeaveNothing) {
    struct Case {
        const char* name;
        int32_t result;
    };
    const Case cases[] = {
        {"imagers__bad-color-map.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__flip-zero-height.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__flip-zero-height2.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__orientation-zero-width.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__overfull-image.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__sixteen-bit-gray-colormap.tga", RESULT_UNKNOWN_FORMAT},
        {"imagers__sixteen-bit-gray-colormap2.tga", RESULT_UNKNOWN_FORMAT},
        // 8224 x 32 run-length with no pixel data at all: a black picture.
        {"imagers__slice-copy-length.tga", RESULT_OK},
        {"pillow__p_8.tga", RESULT_UNKNOWN_FORMAT},
        {"pillow__cross_scan_line_truncated.tga", RESULT_UNKNOWN_FORMAT},
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
}

}  // namespace
