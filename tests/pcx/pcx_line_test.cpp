// The two line decoders, called directly: colour mapping, plane order, runs at and across the
// end of a plane line, positions past the row, and the end of the encoded bytes.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "framework/checks.h"
#include "pcx/pcx_reader.h"
#include "tests/support/pcx_encoder.h"

namespace {

const uint8_t kCanary = 0xA5;

// A row area of `size` bytes followed by guard bytes that no decoder may touch.
struct GuardedRow {
    explicit GuardedRow(size_t size, uint8_t fill = 0) : size(size), bytes(size + 64, kCanary) {
        std::fill(bytes.begin(), bytes.begin() + size, fill);
    }
    uint8_t* data() { return bytes.data(); }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); i++) {
            if (bytes[i] != kCanary) return false;
        }
        return true;
    }
    size_t size;
    std::vector<uint8_t> bytes;
};

// The encoded row of a planar picture's first row, as the encoder writes it.
std::vector<uint8_t> EncodedPlanarRow(const PcxFile& file) {
    std::vector<uint8_t> whole = WritePcx(file);
    return std::vector<uint8_t>(whole.begin() + 128, whole.end());
}

// The pair index that gives every pixel its value (plane p sets bit p) as its index.
const uint16_t* ValuePairIndex() {
    static uint16_t pairIndex[256];
    uint8_t values[16];
    for (int v = 0; v < 16; v++) values[v] = (uint8_t)v;
    BuildPairIndex(values, pairIndex);
    return pairIndex;
}

// Paths other than this processor's fastest: the x86-64 one without SSSE3, the portable fast
// loops of the ARM builds, and the plain loops of checked mode. Each must decode as the fastest.
const int32_t kOtherPaths[] = {DECODE_PATHS_NO_SSSE3, DECODE_PATHS_PORTABLE, DECODE_PATHS_PLAIN};
const int32_t kPathsOfTheBuild = -1;

// DecodePlanarLine (or DecodePlanarLineAlong `paths`) with its own plane-line area, which starts
// out holding garbage.
uint32_t DecodePlanar(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row, uint32_t rowSize,
                      int32_t lineBytes, int32_t planes,
                      const uint16_t* pairIndex = ValuePairIndex(),
                      int32_t paths = kPathsOfTheBuild) {
    std::vector<uint8_t> planeLines(PlanarLineAreaSize(rowSize), 0x5A);
    if (paths == kPathsOfTheBuild) {
        return DecodePlanarLine(encoded, encodedSize, row, rowSize, lineBytes, planes, pairIndex,
                                planeLines.data());
    }
    return DecodePlanarLineAlong(paths, encoded, encodedSize, row, rowSize, lineBytes, planes,
                                 pairIndex, planeLines.data());
}

uint32_t DecodeIntoRow(const std::vector<uint8_t>& encoded, GuardedRow* row, int32_t lineBytes,
                       int32_t planes = 4) {
    // Give the decoder the whole worst-case area, as the picture decoder does.
    std::vector<uint8_t> area(encoded);
    area.resize(std::max<size_t>(area.size(), 2u * planes * (lineBytes > 0 ? lineBytes : 0)), 0);
    return DecodePlanar(area.data(), (uint32_t)area.size(), row->data(), (uint32_t)row->size,
                            lineBytes, planes);
}

TEST(PcxPlanarLine, PlaneBitsMakeThePixelValue) {
    std::vector<uint8_t> pixels(16);
    for (int v = 0; v < 16; v++) pixels[v] = (uint8_t)v;
    PcxFile file = MakePlanarPcx(16, 1, pixels);
    file.maxRun = 1;
    std::vector<uint8_t> encoded = EncodedPlanarRow(file);
    GuardedRow row(16);
    EXPECT_EQ(DecodeIntoRow(encoded, &row, 2), encoded.size());
    for (int v = 0; v < 16; v++) EXPECT_EQ(row.bytes[v], v) << "pixel value " << v;
    EXPECT_TRUE(row.GuardIntact());
    // Plane 3 alone is value 8, all four planes 15.
    GuardedRow one(8);
    EXPECT_EQ(DecodeIntoRow({0x00, 0x00, 0x00, 0x80}, &one, 1), 4u);
    EXPECT_EQ(one.bytes[0], 8);
    EXPECT_EQ(DecodeIntoRow({0x80, 0x80, 0x80, 0x80}, &one, 1), 4u);
    EXPECT_EQ(one.bytes[0], 8 | 15);
    EXPECT_EQ(one.bytes[1], 0);
}

TEST(PcxColourIndex, HeaderPaletteOrTheStandardColoursOnTheNearestCubeEntry) {
    struct Case {
        const char* name;
        std::vector<uint8_t> palette;  // 48 bytes; empty: all zero
        uint8_t index[16];
    };
    std::vector<uint8_t> own(48, 0);
    // Entry 0 red-ish, 8 mid gray, 15 white, 3 just below and 4 just above a level's middle.
    const uint8_t entries[][4] = {{0, 200, 10, 0}, {8, 85, 85, 85}, {15, 255, 255, 255},
                                  {3, 17, 53, 42}, {4, 18, 54, 43}, {9, 0, 0, 1}};
    for (const auto& e : entries) {
        own[3 * e[0]] = e[1];
        own[3 * e[0] + 1] = e[2];
        own[3 * e[0] + 2] = e[3];
    }
    std::vector<uint8_t> last(48, 0);
    last[47] = 255;
    const Case cases[] = {
        {"all zero: the standard colours",
         {},
         {0, 2, 20, 22, 160, 162, 168, 182, 73, 75, 93, 95, 233, 235, 253, 255}},
        {"the header's own", own, {192, 0, 0, 4, 41, 0, 0, 0, 73, 0, 0, 0, 0, 0, 0, 255}},
        // Only the last byte, entry 15's blue, is set: the palette is the header's.
        {"byte 47 alone", last, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> palette = c.palette.empty() ? std::vector<uint8_t>(48, 0) : c.palette;
        uint8_t index[16];
        BuildPlanarColourIndex(palette.data(), index);
        for (int v = 0; v < 16; v++) EXPECT_EQ(index[v], c.index[v]) << c.name << ", value " << v;
    }
}

TEST(PcxPlanarLine, PixelsOfValueZeroTakeTheIndexOfEntryZero) {
    // Entry 0 is not black: rows that start on value 0 (or where the plain loop takes over from
    // the 128-pixel blocks on value 0) must not be taken for index 0. Value 1 in the last eight
    // pixels of some rows.
    uint8_t colourIndex[16];
    for (int v = 0; v < 16; v++) colourIndex[v] = (uint8_t)(100 + v);
    uint16_t pairIndex[256];
    BuildPairIndex(colourIndex, pairIndex);
    for (uint32_t rowSize : {8u, 16u, 20u, 128u, 136u, 256u, 264u}) {
        for (bool lastSet : {false, true}) {
            const uint32_t planeBytes = (rowSize + 7) / 8;
            std::vector<uint8_t> encoded;
            for (int plane = 0; plane < 4; plane++) {
                for (uint32_t k = 0; k < planeBytes; k++) {
                    if (plane == 0 && lastSet && k + 1 == planeBytes) {
                        encoded.insert(encoded.end(), {0xC1, 0xFF});  // a run of one 0xFF
                    } else {
                        encoded.push_back(0);
                    }
                }
            }
            for (bool plain : {false, true}) {
                GuardedRow row(rowSize);
                ASSERT_EQ(DecodePlanar(encoded.data(), (uint32_t)encoded.size(), row.data(),
                                       rowSize, (int32_t)planeBytes, 4, pairIndex, plain),
                          encoded.size());
                for (uint32_t x = 0; x < rowSize; x++) {
                    const bool one = lastSet && x >= 8 * (planeBytes - 1);
                    ASSERT_EQ(row.bytes[x], one ? 101 : 100)
                        << rowSize << " pixels, " << (plain ? "plain" : "fast") << ", x " << x;
                }
                EXPECT_TRUE(row.GuardIntact());
            }
        }
    }
}

TEST(PcxPlanarLine, PaddingBitsPastTheRowAreDroppedAndDoNotChangeThePixels) {
    // 100 pixels with 14 bytes per line: positions 100 to 111 of every plane are padding.
    std::vector<uint8_t> pixels(100);
    for (int x = 0; x < 100; x++) pixels[x] = (uint8_t)((x * 7 + x / 9) & 15);
    std::vector<uint8_t> rows[2];
    for (int pad = 0; pad < 2; pad++) {
        PcxFile file = MakePlanarPcx(100, 1, pixels, 14, pad ? 15 : 0);
        GuardedRow row(100);
        std::vector<uint8_t> encoded = EncodedPlanarRow(file);
        EXPECT_EQ(DecodeIntoRow(encoded, &row, 14), encoded.size());
        EXPECT_TRUE(row.GuardIntact());
        rows[pad].assign(row.bytes.begin(), row.bytes.begin() + 100);
        for (int x = 0; x < 100; x++) ASSERT_EQ(row.bytes[x], pixels[x]) << x;
    }
    EXPECT_EQ(rows[0], rows[1]);
}

TEST(PcxPlanarLine, SolidRowAsOneRunPerPlane) {
    // Pixel value 13 = planes 0, 2 and 3 set: each plane line is one run of 14 bytes.
    const std::vector<uint8_t> encoded = {0xCE, 0xFF, 0xCE, 0x00, 0xCE, 0xFF, 0xCE, 0xFF};
    GuardedRow row(100);
    EXPECT_EQ(DecodeIntoRow(encoded, &row, 14), 8u);
    for (int x = 0; x < 100; x++) ASSERT_EQ(row.bytes[x], 13) << x;
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxPlanarLine, RunCrossingThePlaneLineIsExpandedWholeAndTheNextPlaneFollowsIt) {
    // Two bytes per line. Plane 0 is one run of 3 bytes: its third byte lands on pixels 16 to 23.
    // Plane 1 starts right after the run's two bytes.
    const std::vector<uint8_t> encoded = {0xC3, 0xFF, 0xC2, 0x00, 0xC2, 0xF0, 0xC2, 0x00};
    GuardedRow wide(24);
    EXPECT_EQ(DecodeIntoRow(encoded, &wide, 2), 8u);
    for (int x = 0; x < 24; x++) {
        int expected = 1;                          // plane 0 everywhere, also past 16
        if (x < 16 && (x % 8) < 4) expected |= 4;  // plane 2's 0xF0 on its two bytes
        ASSERT_EQ(wide.bytes[x], expected) << x;
    }
    // With a 16-byte row the run's third byte is decoded but not stored.
    GuardedRow narrow(16);
    EXPECT_EQ(DecodeIntoRow(encoded, &narrow, 2), 8u);
    EXPECT_TRUE(narrow.GuardIntact());
    EXPECT_EQ(narrow.bytes[0], 5);
    EXPECT_EQ(narrow.bytes[15], 1);
}

TEST(PcxPlanarLine, RowEndingInsideAPlaneByteStoresOnlyItsOwnPixels) {
    // A 12-byte row (stride of a 10 to 12 pixel picture): plane byte 1 covers pixels 8 to 15, of
    // which 8 to 11 are stored.
    const std::vector<uint8_t> encoded = {0xC2, 0xFF, 0xC2, 0xFF, 0x00, 0x5A, 0xC2, 0xFF};
    GuardedRow row(12);
    EXPECT_EQ(DecodeIntoRow(encoded, &row, 2), 8u);
    const uint8_t secondByte = 0x5A;  // 0101 1010
    for (int x = 0; x < 12; x++) {
        int plane2 = x < 8 ? 0 : (secondByte >> (7 - (x - 8))) & 1;
        ASSERT_EQ(row.bytes[x], 1 + 2 + 4 * plane2 + 8) << x;
    }
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxLines, RunLengthZeroIsBrokenData) {
    std::vector<uint8_t> area(64, 0);
    GuardedRow row(16);
    area[0] = 0x01;
    area[1] = 0xC0;  // run of nothing, in plane 0's line
    EXPECT_EQ(DecodePlanar(area.data(), (uint32_t)area.size(), row.data(), 16, 2, 4), 0u);
    area[0] = 0xC2;
    area[1] = 0x00;
    area[2] = 0x00;
    area[3] = 0xC0;  // at the start of plane 1's line
    EXPECT_EQ(DecodePlanar(area.data(), (uint32_t)area.size(), row.data(), 16, 2, 4), 0u);
    area[0] = 0x07;
    area[1] = 0xC0;
    EXPECT_EQ(DecodeByteLine(area.data(), (uint32_t)area.size(), row.data(), 16, 8), 0u);
    // Also in the part of a line that lies past the row.
    area[0] = 0xC4;
    area[1] = 0x07;
    area[2] = 0xC0;
    EXPECT_EQ(DecodeByteLine(area.data(), (uint32_t)area.size(), row.data(), 4, 8), 0u);
}

TEST(PcxLines, NothingToDecodeIsBrokenData) {
    std::vector<uint8_t> area(64, 0);
    GuardedRow row(16);
    EXPECT_EQ(DecodePlanar(area.data(), 64, row.data(), 16, 0, 4), 0u);
    EXPECT_EQ(DecodePlanar(area.data(), 64, row.data(), 16, -3, 4), 0u);
    EXPECT_EQ(DecodePlanar(area.data(), 64, row.data(), 16, 2, 0), 0u);
    EXPECT_EQ(DecodePlanar(area.data(), 64, row.data(), 16, 2, 5), 0u);
    EXPECT_EQ(DecodeByteLine(area.data(), 64, row.data(), 16, 0), 0u);
    EXPECT_EQ(DecodeByteLine(area.data(), 64, row.data(), 16, -1), 0u);
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxByteLine, WritesLiteralsAndRunsAndReportsTheBytesConsumed) {
    // 0xC5 as a value needs a count byte; the encoder writes it as a run of one.
    const std::vector<uint8_t> line = {3, 3, 3, 0xC5, 9, 200, 200, 1};
    std::vector<uint8_t> encoded = EncodePcxBytes(line.data(), line.size());
    ASSERT_EQ(encoded, (std::vector<uint8_t>{0xC3, 3, 0xC1, 0xC5, 9, 0xC2, 200, 1}));
    encoded.resize(16, 0);
    GuardedRow row(8);
    EXPECT_EQ(DecodeByteLine(encoded.data(), 16, row.data(), 8, 8), 8u);
    EXPECT_EQ(std::vector<uint8_t>(row.bytes.begin(), row.bytes.begin() + 8), line);
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxByteLine, PositionsPastTheRowAreConsumedButNotStored) {
    // A 10-byte line into an 8-byte row, the last run carrying the line to 12.
    const std::vector<uint8_t> encoded = {1, 2, 3, 4, 5, 6, 0xC6, 7, 0, 0,
                                          0, 0, 0, 0, 0, 0, 0,    0, 0, 0};
    GuardedRow row(8);
    EXPECT_EQ(DecodeByteLine(encoded.data(), 20, row.data(), 8, 10), 8u);
    EXPECT_EQ(std::vector<uint8_t>(row.bytes.begin(), row.bytes.begin() + 8),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 7}));
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxByteLine, ShortLineLeavesTheRestOfTheRowAndALastRunGoesPastTheLine) {
    GuardedRow row(8, 0x33);
    // Two bytes per line; the run of 5 is written whole.
    const std::vector<uint8_t> encoded = {0xC5, 0x44, 0, 0};
    EXPECT_EQ(DecodeByteLine(encoded.data(), 4, row.data(), 8, 2), 2u);
    EXPECT_EQ(std::vector<uint8_t>(row.bytes.begin(), row.bytes.begin() + 8),
              (std::vector<uint8_t>{0x44, 0x44, 0x44, 0x44, 0x44, 0x33, 0x33, 0x33}));
}

TEST(PcxLines, EncodedBytesThatRunOutAreBrokenDataNeverReadPast) {
    // Handed fewer bytes than a row's longest encoding, the decoders test every unit against the
    // end. Each test buffer ends exactly where the decoder is told, so ASan sees any overrun.
    GuardedRow row(16);
    const std::vector<uint8_t> literals = {1, 2, 3, 4, 5, 6, 7, 8};
    for (size_t cut = 0; cut < literals.size(); cut++) {
        std::vector<uint8_t> area(literals.begin(), literals.begin() + cut);
        EXPECT_EQ(DecodeByteLine(area.data(), (uint32_t)cut, row.data(), 16, 8), 0u) << cut;
    }
    // A count byte whose value is missing.
    std::vector<uint8_t> countOnly = {1, 2, 0xC3};
    EXPECT_EQ(DecodeByteLine(countOnly.data(), 3, row.data(), 16, 5), 0u);
    // Enough bytes for this row, though fewer than the worst case: decoded.
    std::vector<uint8_t> runs = {0xC8, 9};
    EXPECT_EQ(DecodeByteLine(runs.data(), 2, row.data(), 16, 8), 2u);
    EXPECT_EQ(row.bytes[7], 9);

    const std::vector<uint8_t> planar = {0xC2, 0xFF, 0x80, 0x01, 0xC2, 0x00, 0xC2, 0xFF};
    for (size_t cut = 0; cut < planar.size(); cut++) {
        std::vector<uint8_t> area(planar.begin(), planar.begin() + cut);
        EXPECT_EQ(DecodePlanar(area.data(), (uint32_t)cut, row.data(), 16, 2, 4), 0u) << cut;
    }
    std::vector<uint8_t> whole(planar);
    EXPECT_EQ(DecodePlanar(whole.data(), 8, row.data(), 16, 2, 4), 8u);
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxLines, WorstCaseLinesInAreasOfExactlyTheirSize) {
    // Every value from 0xC0 up takes a count byte: such a line fills the worst-case area of
    // 2 bytes a position exactly, the end of which the loops without end tests must not read
    // past (the area and the row are blocks of exactly their size, for the sanitizers). One
    // byte short, the last unit is not whole: broken data.
    for (uint32_t length : {1u, 7u, 8u, 9u, 63u, 64u, 65u, 200u, 1001u}) {
        std::vector<uint8_t> line(length);
        for (uint32_t x = 0; x < length; x++) line[x] = (uint8_t)(0xC0 | (x * 7 % 64));
        std::vector<uint8_t> encoded = EncodePcxBytes(line.data(), line.size());
        ASSERT_EQ(encoded.size(), 2u * length);
        for (uint32_t cut : {0u, 1u}) {
            for (bool plain : {false, true}) {
                const uint32_t size = 2 * length - cut;
                std::unique_ptr<uint8_t[]> area(new uint8_t[size]);
                memcpy(area.get(), encoded.data(), size);
                std::unique_ptr<uint8_t[]> row(new uint8_t[length]);
                const uint32_t used = (plain ? DecodeByteLinePlain : DecodeByteLine)(
                    area.get(), size, row.get(), length, (int32_t)length);
                EXPECT_EQ(used, cut ? 0u : size) << length << " " << plain;
                if (!cut) {
                    EXPECT_TRUE(std::equal(line.begin(), line.end(), row.get())) << length;
                }
            }
        }
        // The same bytes as one plane line of each of 4 planes: 8 x length pixels.
        std::vector<uint8_t> planar;
        for (int plane = 0; plane < 4; plane++)
            planar.insert(planar.end(), encoded.begin(), encoded.end());
        for (uint32_t cut : {0u, 1u}) {
            for (bool plain : {false, true}) {
                const uint32_t size = (uint32_t)planar.size() - cut;
                std::unique_ptr<uint8_t[]> area(new uint8_t[size]);
                memcpy(area.get(), planar.data(), size);
                const uint32_t rowSize = 8 * length;
                std::unique_ptr<uint8_t[]> row(new uint8_t[rowSize]);
                const uint32_t used = DecodePlanar(area.get(), size, row.get(), rowSize,
                                                   (int32_t)length, 4, ValuePairIndex(), plain);
                EXPECT_EQ(used, cut ? 0u : size) << length << " " << plain;
                if (!cut) {
                    for (uint32_t x = 0; x < rowSize; x++) {
                        const bool bit = (line[x / 8] >> (7 - x % 8)) & 1;
                        ASSERT_EQ(row[x], bit ? 15 : 0) << length << " " << x;
                    }
                }
            }
        }
    }
}

// Lines of every kind of content: random bytes (a quarter of them from 0xC0 up), runs of random
// lengths past the longest count, short runs mixed with single values, and (kind 3) short runs
// of values from 0xC0 up only.
std::vector<uint8_t> MakeLine(uint32_t length, int kind, uint32_t* seed, uint8_t valueMask) {
    auto next = [seed]() {
        *seed = *seed * 1103515245u + 12345u;
        return *seed >> 16;
    };
    std::vector<uint8_t> line;
    while (line.size() < length) {
        uint32_t value = next() & valueMask;
        uint32_t run = kind == 0 ? 1 : kind == 1 ? 1 + next() % 90 : (next() % 3 == 0 ? 2 : 1);
        if (kind == 3) value |= 0xC0;  // bright: every unit a count byte and its value
        for (uint32_t k = 0; k < run && line.size() < length; k++) line.push_back((uint8_t)value);
    }
    return line;
}

TEST(PcxByteLine, WideLinesComeBackAsEncoded) {
    // Long lines take the decoder's 8-bytes-at-a-time path; lengths around its margins too.
    uint32_t seed = 7;
    for (uint32_t length : {1u, 64u, 65u, 66u, 70u, 128u, 129u, 150u, 641u, 4096u}) {
        for (int kind = 0; kind < 4; kind++) {
            std::vector<uint8_t> line = MakeLine(length, kind, &seed, 0xFF);
            std::vector<uint8_t> area = EncodePcxBytes(line.data(), line.size());
            const uint32_t encodedLength = (uint32_t)area.size();
            area.resize(2 * length, 0);
            for (uint32_t rowSize : {length, (length + 3) / 4 * 4, length + 100}) {
                GuardedRow row(rowSize, 0x33);
                ASSERT_EQ(DecodeByteLine(area.data(), (uint32_t)area.size(), row.data(), rowSize,
                                         (int32_t)length),
                          encodedLength)
                    << length << " " << kind;
                for (int32_t paths : kOtherPaths) {
                    GuardedRow other(rowSize, 0x33);
                    ASSERT_EQ(DecodeByteLineAlong(paths, area.data(), (uint32_t)area.size(),
                                                  other.data(), rowSize, (int32_t)length),
                              encodedLength);
                    ASSERT_EQ(other.bytes, row.bytes)
                        << length << " " << kind << " " << rowSize << " paths " << paths;
                }
                ASSERT_TRUE(std::equal(line.begin(), line.end(), row.bytes.begin()))
                    << length << " " << kind << " " << rowSize;
                // Past the line the row keeps what it held.
                for (uint32_t x = length; x < rowSize; x++) ASSERT_EQ(row.bytes[x], 0x33) << x;
                ASSERT_TRUE(row.GuardIntact());
            }
            // Into a row shorter than the line: the row's part only.
            GuardedRow shortRow(length / 2);
            ASSERT_EQ(DecodeByteLine(area.data(), (uint32_t)area.size(), shortRow.data(),
                                     length / 2, (int32_t)length),
                      encodedLength);
            ASSERT_TRUE(
                std::equal(line.begin(), line.begin() + length / 2, shortRow.bytes.begin()));
            ASSERT_TRUE(shortRow.GuardIntact());
        }
    }
}

TEST(PcxPlanarLine, WideRowsComeBackAsEncoded) {
    uint32_t seed = 11;
    for (int32_t width : {70 * 8, 77 * 8 + 3, 78 * 8, 80 * 8 - 1, 640, 1001, 4096}) {
        for (int kind = 0; kind < 3; kind++) {
            std::vector<uint8_t> pixels = MakeLine((uint32_t)width, kind, &seed, 15);
            PcxFile file = MakePlanarPcx(width, 1, pixels, 0, 15);
            std::vector<uint8_t> encoded = EncodedPlanarRow(file);
            const uint32_t stride = (uint32_t)((width + 3) / 4 * 4);
            GuardedRow row(stride);
            ASSERT_EQ(DecodeIntoRow(encoded, &row, file.bytesPerLine), encoded.size()) << width;
            for (int32_t x = 0; x < (int32_t)stride; x++) {
                uint8_t value = x < width ? pixels[x] : 15;  // padding bits up to the stride
                ASSERT_EQ(row.bytes[x], value) << width << " " << kind << " " << x;
            }
            ASSERT_TRUE(row.GuardIntact());
        }
    }
}

TEST(PcxLines, RunLengthZeroFarIntoALongLine) {
    std::vector<uint8_t> area(2 * 4 * 500, 0);
    for (size_t i = 0; i < 300; i++) area[i] = (uint8_t)(i % 0xC0);
    area[300] = 0xC0;
    GuardedRow row(4000);
    EXPECT_EQ(DecodeByteLine(area.data(), 1000, row.data(), 500, 500), 0u);
    EXPECT_EQ(DecodePlanar(area.data(), (uint32_t)area.size(), row.data(), 4000, 500, 4), 0u);
    area[300] = 0x00;
    area[200] = 0xC1;
    area[201] = 0xC0;  // a run of one 0xC0 value: fine
    EXPECT_NE(DecodeByteLine(area.data(), 1000, row.data(), 500, 500), 0u);
    EXPECT_TRUE(row.GuardIntact());
}

TEST(PcxLines, HostileBytesStayInsideTheAreas) {
    // Random encoded rows against rows of every size around the line: no write outside the row
    // (guard bytes), no read outside the area (ASan), and a consumed count within the area.
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (uint8_t)(seed >> 16);
    };
    for (int round = 0; round < 400; round++) {
        const int32_t lineBytes = 1 + round % 9;
        const int32_t planes = round % 2 ? 4 : 1;
        const uint32_t areaSize = 2u * planes * lineBytes;
        std::vector<uint8_t> area(areaSize);
        for (auto& b : area) b = (round % 3 == 0) ? (uint8_t)(0xC1 | (next() & 0x3F)) : next();
        for (uint32_t rowSize = 0; rowSize <= 8u * lineBytes + 9; rowSize += 3) {
            GuardedRow row(rowSize);
            uint32_t used =
                planes == 4 ? DecodePlanar(area.data(), areaSize, row.data(), rowSize,
                                               lineBytes, planes)
                            : DecodeByteLine(area.data(), areaSize, row.data(), rowSize, lineBytes);
            ASSERT_LE(used, areaSize);
            ASSERT_TRUE(row.GuardIntact()) << round << " " << rowSize;
        }
    }
}

// Every row of a whole PCX file, decoded twice: from the worst-case area, as the picture decoder
// hands it over (the loops that need no end test), and from exactly the bytes the row takes (the
// loops that test every unit against the end). Both must take the same bytes and store the same
// row, and neither may write past it. Every other path must agree too.
void ExpectBothLoopsAgree(const std::vector<uint8_t>& file, const std::string& label) {
    ASSERT_GE(file.size(), 128u) << label;
    PcxHeader header;
    ParsePcxHeader(file.data(), &header);
    PcxLayout layout;
    ASSERT_EQ(PlanPcxDecode(&header, &layout), RESULT_OK) << label;
    size_t position = 128;
    for (int32_t y = 0; y < layout.height; y++) {
        std::vector<uint8_t> area(layout.encodedLineSize, 0);
        if (position < file.size()) {
            const size_t available = std::min(area.size(), file.size() - position);
            std::copy(file.begin() + (ptrdiff_t)position,
                      file.begin() + (ptrdiff_t)(position + available), area.begin());
        }
        auto decode = [&](const std::vector<uint8_t>& encoded, GuardedRow* row, int32_t paths) {
            if (layout.planar) {
                return DecodePlanar(encoded.data(), (uint32_t)encoded.size(), row->data(),
                                    layout.stride, layout.bytesPerLine, layout.planes,
                                    layout.pairIndex, paths);
            }
            if (paths == kPathsOfTheBuild) {
                return DecodeByteLine(encoded.data(), (uint32_t)encoded.size(), row->data(),
                                      layout.stride, layout.bytesPerLine);
            }
            return DecodeByteLineAlong(paths, encoded.data(), (uint32_t)encoded.size(),
                                       row->data(), layout.stride, layout.bytesPerLine);
        };
        GuardedRow fast(layout.stride);
        const uint32_t used = decode(area, &fast, kPathsOfTheBuild);
        ASSERT_NE(used, 0u) << label << " row " << y;
        const std::vector<uint8_t> exact(area.begin(), area.begin() + used);
        GuardedRow checked(layout.stride);
        ASSERT_EQ(decode(exact, &checked, kPathsOfTheBuild), used) << label << " row " << y;
        ASSERT_EQ(fast.bytes, checked.bytes) << label << " row " << y;
        ASSERT_TRUE(fast.GuardIntact()) << label << " row " << y;
        for (int32_t paths : kOtherPaths) {
            GuardedRow other(layout.stride);
            ASSERT_EQ(decode(area, &other, paths), used) << label << " row " << y;
            ASSERT_EQ(other.bytes, fast.bytes) << label << " row " << y << " paths " << paths;
        }
        position += used;
    }
}

TEST(PcxLines, BothLoopsAgreeOnFilesFromOtherWriters) {
    for (const char* name :
         {"kde__16color.pcx", "kryptan__tiny.pcx", "pillow__p_4_planes.pcx",
          "imagers__256-palette.pcx", "kde__ccbug_463951.pcx", "kde__indexed8.pcx",
          "kryptan__gmarbles.pcx", "pillow__odd_stride.pcx"}) {
        std::ifstream in(std::string(VB_SOURCE_DIR) + "/tests/data/pcx/" + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        ExpectBothLoopsAgree(file, name);
    }
}

TEST(PcxLines, BothLoopsAgreeOnLongRuns) {
    // Runs of up to 63 plane bytes, up to the last one of a row that ends inside a plane byte:
    // 120 plane bytes of one value make runs of 63 and 57, the second ending in the padding byte
    // that holds the row's last 5 pixels and 3 positions past it.
    uint32_t seed = 99;
    for (int32_t width : {8 * 120 - 3, 8 * 126 - 1, 8 * 127 - 5, 1000, 4093}) {
        for (int kind = 0; kind < 4; kind++) {
            std::vector<uint8_t> pixels =
                kind == 3 ? std::vector<uint8_t>((size_t)width, 15)
                          : MakeLine((uint32_t)width, kind == 2 ? 1 : kind, &seed, 15);
            if (kind == 2) {
                // Long stretches of one value between short busy ones.
                for (int32_t x = 0; x < width; x++) {
                    if ((x / 512) % 2 == 0) pixels[x] = (uint8_t)((x / 512) % 16);
                }
            }
            const int32_t height = 3;
            std::vector<uint8_t> rows;
            for (int32_t y = 0; y < height; y++)
                rows.insert(rows.end(), pixels.begin(), pixels.end());
            const std::string label = std::to_string(width) + " kind " + std::to_string(kind);
            ExpectBothLoopsAgree(WritePcx(MakePlanarPcx(width, height, rows, 0, pixels.back())),
                                 "planar " + label);
            std::vector<uint8_t> indexed(rows.size());
            for (size_t i = 0; i < rows.size(); i++) indexed[i] = (uint8_t)(rows[i] * 17);
            ExpectBothLoopsAgree(
                WritePcx(MakeIndexedPcx(width, height, indexed, std::vector<uint8_t>(768, 0))),
                "indexed " + label);
        }
    }
}

TEST(PcxPlanarLine, BothLoopsAgreeWhereALongRunEndsInThePadding) {
    // Batches of 8 single plane bytes up to 63 before the end of the row's whole bytes, 7 more
    // singles, then one run of 57 to 63 plane bytes through the padding bytes that end the line.
    // The loop without end tests takes the singles and the run in one step, and must still store
    // nothing past the row.
    for (uint32_t batches : {1u, 5u, 30u}) {
        const uint32_t wholeBytes = 63 + 8 * batches;
        for (uint32_t padding : {1u, 3u, 7u}) {
            const uint32_t lineBytes = wholeBytes + padding;
            std::vector<uint8_t> line;
            for (uint32_t i = 0; i < wholeBytes - 63 + 7; i++) line.push_back((uint8_t)(1 + i % 2));
            line.push_back((uint8_t)(0xC0 | (lineBytes - (uint32_t)line.size())));
            line.push_back(0xB5);
            std::vector<uint8_t> exact;
            for (int plane = 0; plane < 4; plane++)
                exact.insert(exact.end(), line.begin(), line.end());
            std::vector<uint8_t> area(exact);
            area.resize(2 * 4 * lineBytes, 0);
            for (uint32_t tail : {1u, 3u, 4u, 5u, 7u}) {
                const uint32_t width = 8 * wholeBytes + tail;
                const uint32_t stride = (width + 3) / 4 * 4;
                GuardedRow fast(stride), checked(stride);
                ASSERT_EQ(DecodePlanar(area.data(), (uint32_t)area.size(), fast.data(), stride,
                                           (int32_t)lineBytes, 4),
                          exact.size());
                ASSERT_EQ(DecodePlanar(exact.data(), (uint32_t)exact.size(), checked.data(),
                                           stride, (int32_t)lineBytes, 4),
                          exact.size());
                ASSERT_TRUE(fast.GuardIntact()) << wholeBytes << " " << padding << " " << tail;
                ASSERT_EQ(fast.bytes, checked.bytes) << wholeBytes << " " << padding << " " << tail;
            }
        }
    }
}

}  // namespace
