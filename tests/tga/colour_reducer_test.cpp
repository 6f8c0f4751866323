// The colour reducer on its own: resampling, the dither's exact numbers, the routine choices
// and its blocks.
#include "tga/colour_reducer.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "framework/checks.h"
#include "platform/platform_testing.h"
#include "tga_test_helpers.h"

namespace {

class ColourReducerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        liveAtStart = TestingLiveBlockCount();
    }
    void TearDown() override { EXPECT_EQ(TestingLiveBlockCount(), liveAtStart); }

    // A destination block as the reader provides it: zero-filled, stride x height bytes.
    std::vector<uint8_t> Destination(int32_t width, int32_t height, int32_t bitCount) {
        return std::vector<uint8_t>((size_t)DibStride(width, bitCount) * height, 0);
    }

    // Reduces the first `rowsFed` rows of a 24-bit picture of equal size, then releases the
    // reducer; the destination block.
    std::vector<uint8_t> ReduceRows(const std::vector<uint8_t>& picture, int32_t width,
                                    int32_t height, int32_t bitCount, int32_t bottomUp,
                                    int32_t rowsFed) {
        std::vector<uint8_t> bits = Destination(width, height, bitCount);
        ColourReducer reducer;
        EXPECT_EQ(ReducerInit(&reducer, width, height, 24, nullptr, width, height, bitCount,
                              bits.data(), bottomUp),
                  1);
        for (int32_t k = 0; k < rowsFed; k++) {
            ReducerFeedRow(&reducer, &picture[(size_t)k * width * 3]);
        }
        ReducerRelease(&reducer);
        return bits;
    }

    int64_t liveAtStart = 0;
};

std::vector<uint8_t> SolidRow(int32_t width, uint8_t blue, uint8_t green, uint8_t red) {
    std::vector<uint8_t> row;
    for (int32_t i = 0; i < width; i++) row.insert(row.end(), {blue, green, red});
    return row;
}

// The error of channel `c` of destination pixel j in the row last written.
int ErrorAt(const ColourReducer& reducer, int j, int c) {
    return reducer.errRow[reducer.lanes * (2 + j) + c];
}

// A colour table whose entries all differ: entry k = (red 37k mod 256, green 255 - k, blue k).
std::vector<uint8_t> DistinctTable() {
    std::vector<uint8_t> table(1024);
    for (int k = 0; k < 256; k++) {
        table[4 * k] = (uint8_t)k;
        table[4 * k + 1] = (uint8_t)(255 - k);
        table[4 * k + 2] = (uint8_t)((37 * k) & 255);
        table[4 * k + 3] = 0xEE;  // reserved: never read
    }
    return table;
}

TEST_F(ColourReducerTest, Gray2FirstRowOfMidGray) {
    // One row, so it is written as soon as it is fed.
    std::vector<uint8_t> bits = Destination(8, 1, 2);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 8, 1, 24, nullptr, 8, 1, 2, bits.data(), 1), 1);
    EXPECT_EQ(reducer.writeRow, WriteGray2Row);
    std::vector<uint8_t> row = SolidRow(8, 128, 128, 128);
    EXPECT_EQ(ReducerFeedRow(&reducer, row.data()), 1);

    // Levels 2, 1, 2, 1, ... pack to 0x99 twice.
    EXPECT_EQ(bits[0], 0x99);
    EXPECT_EQ(bits[1], 0x99);
    const int expected[8] = {-42, 37, -41, 41, -41, 42, -41, 42};
    EXPECT_EQ(reducer.lanes, 1);
    for (int j = 0; j < 8; j++) EXPECT_EQ(ErrorAt(reducer, j, 0), expected[j]) << "pixel " << j;
    // The margins stay zero, and the errors are passed on to the next row with the weights
    // 3 5 7 5 3 and to the row after it with 1 3 5 3 1.
    for (int j : {-2, -1, 8, 9}) EXPECT_EQ(ErrorAt(reducer, j, 0), 0);
    for (int j = 0; j < 8; j++) {
        int below = 0, twoBelow = 0;
        for (int k = -2; k <= 2; k++) {
            int error = j + k >= 0 && j + k < 8 ? expected[j + k] : 0;
            below += (7 - 2 * (k < 0 ? -k : k)) * error;
            twoBelow += (5 - 2 * (k < 0 ? -k : k)) * error;
        }
        EXPECT_EQ(reducer.sumsNext[j], below) << "pixel " << j;
        EXPECT_EQ(reducer.sumsLater[j], twoBelow) << "pixel " << j;
    }
    ReducerRelease(&reducer);
}

TEST_F(ColourReducerTest, Rgb332FirstRowOfMidGray) {
    std::vector<uint8_t> bits = Destination(2, 1, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 2, 1, 24, nullptr, 2, 1, 8, bits.data(), 1), 1);
    EXPECT_EQ(reducer.writeRow, WriteRgb332Row);
    std::vector<uint8_t> row = SolidRow(2, 128, 128, 128);
    ReducerFeedRow(&reducer, row.data());

    // Pixel 0: levels 4, 4, 2. Pixel 1: red D = -112 / 48 = -2 (truncated, not -3), v 126,
    // level 3; blue D = -294 / 48 = -6, v 122, level 1.
    EXPECT_EQ(bits[0], 0x92);
    EXPECT_EQ(bits[1], 0x6D);
    EXPECT_EQ(ErrorAt(reducer, 0, 0), -16);
    EXPECT_EQ(ErrorAt(reducer, 0, 1), -16);
    EXPECT_EQ(ErrorAt(reducer, 0, 2), -42);
    EXPECT_EQ(ErrorAt(reducer, 1, 0), 18);
    EXPECT_EQ(ErrorAt(reducer, 1, 1), 18);
    EXPECT_EQ(ErrorAt(reducer, 1, 2), 37);
    ReducerRelease(&reducer);
}

TEST_F(ColourReducerTest, WhiteAndBlackStayPure) {
    // 3-3-2: white is index 0xFF with errors 3, 3, 0, and the clamp keeps every later pixel at
    // 255; black is index 0 with no error.
    std::vector<uint8_t> bits = Destination(6, 3, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 6, 3, 24, nullptr, 6, 3, 8, bits.data(), 1), 1);
    std::vector<uint8_t> white = SolidRow(6, 255, 255, 255);
    std::vector<uint8_t> black = SolidRow(6, 0, 0, 0);
    // The first two rows are written together, as a pair.
    ReducerFeedRow(&reducer, white.data());
    ReducerFeedRow(&reducer, white.data());
    for (int j = 0; j < 6; j++) {
        EXPECT_EQ(bits[j], 0xFF);
        EXPECT_EQ(bits[8 + j], 0xFF);
        EXPECT_EQ(ErrorAt(reducer, j, 0), 3);
        EXPECT_EQ(ErrorAt(reducer, j, 1), 3);
        EXPECT_EQ(ErrorAt(reducer, j, 2), 0);
    }
    ReducerFeedRow(&reducer, black.data());
    // The small positive errors above do not lift black out of level 0: 7 x 3 + ... < 48 x 32.
    for (int j = 0; j < 6; j++) EXPECT_EQ(bits[16 + j], 0x00);
    ReducerRelease(&reducer);

    // 2-bit gray: white is level 3 with error 0 everywhere.
    std::vector<uint8_t> grayBits = Destination(8, 1, 2);
    ASSERT_EQ(ReducerInit(&reducer, 8, 1, 24, nullptr, 8, 1, 2, grayBits.data(), 1), 1);
    std::vector<uint8_t> wide = SolidRow(8, 255, 255, 255);
    ReducerFeedRow(&reducer, wide.data());
    EXPECT_EQ(grayBits[0], 0xFF);
    EXPECT_EQ(grayBits[1], 0xFF);
    for (int j = 0; j < 8; j++) EXPECT_EQ(ErrorAt(reducer, j, 0), 0);
    ReducerRelease(&reducer);
}

TEST_F(ColourReducerTest, OddWidthsAtTwoBitsLeaveTheRestOfTheRowZero) {
    for (int32_t width : {1, 5, 6, 7}) {
        std::vector<uint8_t> bits = Destination(width, 1, 2);
        ASSERT_EQ(bits.size(), 4u * (size_t)((width + 15) / 16));
        ColourReducer reducer;
        ASSERT_EQ(ReducerInit(&reducer, width, 1, 24, nullptr, width, 1, 2, bits.data(), 1), 1);
        EXPECT_EQ(reducer.dstStride, (int32_t)bits.size());
        std::vector<uint8_t> row = SolidRow(width, 255, 255, 255);
        ReducerFeedRow(&reducer, row.data());
        ReducerRelease(&reducer);
        std::vector<uint8_t> expected(bits.size(), 0);
        for (int32_t j = 0; j < width; j++) expected[j / 4] |= (uint8_t)(3 << (6 - 2 * (j % 4)));
        EXPECT_EQ(bits, expected) << "width " << width;
    }
}

TEST_F(ColourReducerTest, BottomUpZeroFillsTheBufferFromTheLastRow) {
    std::vector<uint8_t> bits = Destination(4, 3, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 4, 3, 24, nullptr, 4, 3, 8, bits.data(), 0), 1);
    std::vector<uint8_t> white = SolidRow(4, 255, 255, 255);
    ReducerFeedRow(&reducer, white.data());
    ReducerRelease(&reducer);
    std::vector<uint8_t> expected(bits.size(), 0);
    for (int j = 0; j < 4; j++) expected[2 * 4 + j] = 0xFF;
    EXPECT_EQ(bits, expected);
}

TEST_F(ColourReducerTest, EqualSizesPassColoursThroughInPairs) {
    const int32_t width = 5, height = 5;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 7);
    std::vector<uint8_t> bits = Destination(width, height, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, width, height, 24, nullptr, width, height, 8, bits.data(), 1),
              1);
    for (int32_t i = 0; i < width; i++) EXPECT_EQ(reducer.columnEnd[i], i + 1);
    for (int32_t k = 0; k < height; k++) {
        const uint8_t* row = &picture[(size_t)k * width * 3];
        ReducerFeedRow(&reducer, row);
        // An even row waits for the next, except the last.
        const bool held = k % 2 == 0 && k + 1 < height;
        if (k % 2 == 0) {
            EXPECT_EQ(memcmp(reducer.avgRow, row, (size_t)width * 3), 0) << "row " << k;
        }
        EXPECT_EQ(reducer.rowHeld, held ? 1 : 0) << "row " << k;
        EXPECT_EQ(reducer.dstRow, held ? k : k + 1);
        EXPECT_EQ(reducer.srcRowsFed, k + 1);
        EXPECT_EQ(reducer.rowsInSum, 0);
    }
    ReducerRelease(&reducer);
    EXPECT_EQ(bits, ReferenceDither(picture, width, height, 8, true));
}

// The TGA reader stops feeding once a file has ended, leaving the zero fill: black rows must
// write 0 whatever errors come down to them. The rows above hold noise and the channel values
// that leave the largest errors (31 at 8 levels, 63 at 4), each alone and mixed.
TEST_F(ColourReducerTest, BlackRowsWriteZeroWhateverErrorsComeDown) {
    const int32_t width = 29, height = 24, colourRows = 8;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 5);
    const uint8_t largest[3][3] = {{63, 31, 31}, {63, 63, 63}, {0, 31, 0}};
    for (int32_t k = 0; k < 3; k++) {
        for (int32_t x = 0; x < width; x++) {
            uint8_t* pixel = &picture[((size_t)(2 * k + 1) * width + x) * 3];
            memcpy(pixel, largest[k], 3);
        }
    }
    memset(&picture[(size_t)colourRows * width * 3], 0, (size_t)(height - colourRows) * width * 3);
    for (int32_t bitCount : {2, 8}) {
        std::vector<uint8_t> bits = Destination(width, height, bitCount);
        ColourReducer reducer;
        ASSERT_EQ(ReducerInit(&reducer, width, height, 24, nullptr, width, height, bitCount,
                              bits.data(), 0),
                  1);
        for (int32_t k = 0; k < height; k++) {
            ReducerFeedRow(&reducer, &picture[(size_t)k * width * 3]);
            if (k == colourRows) {
                int nonZero = 0;
                for (int32_t j = 0; j < width; j++) nonZero += reducer.sumsNext[j] != 0;
                EXPECT_GT(nonZero, 0) << "errors reach the black rows";
            }
        }
        ReducerRelease(&reducer);
        // Top-down: destination row k is buffer row height - 1 - k.
        const size_t stride = DibStride(width, bitCount);
        for (size_t at = 0; at < (size_t)(height - colourRows) * stride; at++) {
            ASSERT_EQ(bits[at], 0) << bitCount << " bits, byte " << at;
        }
    }
}

TEST_F(ColourReducerTest, EqualSizesMatchTheReferenceDitherInBothDepths) {
    const int32_t width = 23, height = 9;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 99);
    for (int32_t bitCount : {2, 8}) {
        for (int32_t bottomUp : {0, 1}) {
            std::vector<uint8_t> bits =
                ReduceRows(picture, width, height, bitCount, bottomUp, height);
            EXPECT_EQ(bits, ReferenceDither(picture, width, height, bitCount, bottomUp != 0))
                << bitCount << " bits, bottomUp " << bottomUp;
        }
        // When the rows stop early (a file that ends), ReducerRelease writes the row still
        // held back, and the rest stays zero: black, as the reader leaves it.
        for (int32_t fed : {3, 4}) {
            std::vector<uint8_t> bits = ReduceRows(picture, width, height, bitCount, 1, fed);
            std::vector<uint8_t> blackened = picture;
            std::fill(blackened.begin() + (size_t)fed * width * 3, blackened.end(), 0);
            EXPECT_EQ(bits, ReferenceDither(blackened, width, height, bitCount, true))
                << bitCount << " bits, " << fed << " rows fed";
        }
    }
}

TEST_F(ColourReducerTest, WideRowsMatchTheReferenceDither) {
    // Rows written in pairs, the second row some pixels behind the first and its sums completed
    // stretch by stretch: widths about the lead (130) and the stretch (128), and wide ones, with
    // noise and saturated areas so the clamp and every level come up at the joins; an odd
    // height ends with a row alone. 3-3-2 rows of 64 pixels and more go in groups of eight
    // rows, each row three pixels behind the one above: 19 rows are two groups and three rows
    // left over, and rows that stop after 11 leave three held for ReducerRelease.
    for (int32_t width : {35, 63, 64, 65, 129, 130, 131, 132, 259, 600}) {
        for (int32_t height : {7, 19}) {
            std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 7);
            for (size_t i = 0; i < picture.size(); i += 97) picture[i] = 255;
            for (size_t i = 5; i < picture.size(); i += 89) picture[i] = 0;
            const int32_t bottomUp = height == 7 ? 1 : 0;
            for (int32_t bitCount : {2, 8}) {
                std::vector<uint8_t> bits =
                    ReduceRows(picture, width, height, bitCount, bottomUp, height);
                EXPECT_EQ(bits, ReferenceDither(picture, width, height, bitCount, bottomUp != 0))
                    << width << " x " << height << " pixels, " << bitCount << " bits";
            }
        }
        const int32_t height = 19, fed = 11;
        std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 3);
        std::vector<uint8_t> bits = ReduceRows(picture, width, height, 8, 1, fed);
        std::fill(picture.begin() + (size_t)fed * width * 3, picture.end(), 0);
        EXPECT_EQ(bits, ReferenceDither(picture, width, height, 8, true))
            << width << " pixels, " << fed << " rows fed";
    }
}

#if defined(VB_CHECKED_MODE)
// Every choice of paths writes what the fastest writes: the groups of eight rows (SSE2), the
// pairs (portable), and the rows one at a time (plain).
TEST_F(ColourReducerTest, EveryPathDithersAlike) {
    const int32_t width = 300, height = 27;
    std::vector<uint8_t> picture = MakeTestPictureBgr(width, height, 11);
    for (size_t i = 0; i < picture.size(); i += 61) picture[i] = 255;
    const std::vector<uint8_t> reference = ReferenceDither(picture, width, height, 8, true);
    for (int32_t paths : {DECODE_PATHS_FASTEST, DECODE_PATHS_NO_SSSE3, DECODE_PATHS_PORTABLE,
                          DECODE_PATHS_PLAIN}) {
        std::vector<uint8_t> bits;
        {
            PathsInUse use(paths);
            bits = ReduceRows(picture, width, height, 8, 1, height);
        }
        EXPECT_EQ(bits, reference) << "paths " << paths;
    }
}
#endif

TEST_F(ColourReducerTest, HalvingAFourByFourSource) {
    // Bytes of pixel (x, y) all equal 10 x (4y + x).
    std::vector<uint8_t> source;
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++) source.insert(source.end(), 3, (uint8_t)(10 * (4 * y + x)));
    std::vector<uint8_t> bits = Destination(2, 2, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 4, 4, 24, nullptr, 2, 2, 8, bits.data(), 1), 1);
    const int32_t columnEnds[4] = {1, 1, 2, 2};
    for (int i = 0; i < 4; i++) EXPECT_EQ(reducer.columnEnd[i], columnEnds[i]);

    // Row 0 alone is destination row 0: column 0, then columns 1 and 2 (10 and 20).
    ReducerFeedRow(&reducer, &source[0]);
    EXPECT_EQ(reducer.dstRow, 1);
    EXPECT_EQ(std::vector<uint8_t>(reducer.avgRow, reducer.avgRow + 6),
              (std::vector<uint8_t>{0, 0, 0, 15, 15, 15}));
    ReducerFeedRow(&reducer, &source[12]);
    EXPECT_EQ(reducer.dstRow, 1);  // boundary unchanged: the row stays in the sums
    EXPECT_EQ(reducer.rowsInSum, 1);
    EXPECT_EQ(reducer.sumRed[1], 50);
    ReducerFeedRow(&reducer, &source[24]);
    EXPECT_EQ(reducer.dstRow, 2);
    EXPECT_EQ(reducer.rowsInSum, 0);
    EXPECT_EQ(std::vector<uint8_t>(reducer.avgRow, reducer.avgRow + 6),
              (std::vector<uint8_t>{60, 60, 60, 75, 75, 75}));
    ReducerFeedRow(&reducer, &source[36]);  // never written
    EXPECT_EQ(reducer.dstRow, 2);
    EXPECT_EQ(reducer.rowsInSum, 1);
    ReducerRelease(&reducer);

    std::vector<uint8_t> averaged = {0, 0, 0, 15, 15, 15, 60, 60, 60, 75, 75, 75};
    EXPECT_EQ(bits, ReferenceDither(averaged, 2, 2, 8, true));
}

TEST_F(ColourReducerTest, EnlargingFillsOnlyThePixelsTheSourceReaches) {
    std::vector<uint8_t> bits = Destination(4, 2, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 2, 1, 24, nullptr, 4, 2, 8, bits.data(), 1), 1);
    EXPECT_EQ(reducer.columnEnd[0], 2);
    EXPECT_EQ(reducer.columnEnd[1], 4);
    std::vector<uint8_t> white = SolidRow(2, 255, 255, 255);
    ReducerFeedRow(&reducer, white.data());
    EXPECT_EQ(reducer.dstRow, 2);
    std::vector<uint8_t> average(reducer.avgRow, reducer.avgRow + 12);
    ReducerRelease(&reducer);
    EXPECT_EQ(average, (std::vector<uint8_t>{255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0}));
    // Pixels 2 and 3 are dithered as black; destination row 1 keeps its zero fill.
    EXPECT_EQ(bits, (std::vector<uint8_t>{0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ColourReducerTest, ShrinkingMatchesTheBoxAverageDithered) {
    // 6 x 5 to 4 x 3: column ends (4 (i + 1) + 3) / 6 = 1, 1, 2, 3, 3, 4, row boundaries after
    // each source row (3 (k + 1) + 2) / 5 = 1, 1, 2, 2, 3.
    const int32_t srcWidth = 6, srcHeight = 5;
    std::vector<uint8_t> picture = MakeTestPictureBgr(srcWidth, srcHeight, 3);
    std::vector<uint8_t> bits = Destination(4, 3, 2);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, srcWidth, srcHeight, 24, nullptr, 4, 3, 2, bits.data(), 1), 1);
    for (int32_t k = 0; k < srcHeight; k++) ReducerFeedRow(&reducer, &picture[k * srcWidth * 3]);
    ReducerRelease(&reducer);

    // Bands: rows {0}, {1, 2}, {3, 4}; groups: columns {0, 1}, {2}, {3, 4}, {5}.
    const int bands[3][2] = {{0, 0}, {1, 2}, {3, 4}};
    const int groups[4][2] = {{0, 1}, {2, 2}, {3, 4}, {5, 5}};
    std::vector<uint8_t> averaged;
    for (const auto& band : bands) {
        for (const auto& group : groups) {
            for (int c = 0; c < 3; c++) {
                int sum = 0;
                for (int y = band[0]; y <= band[1]; y++)
                    for (int x = group[0]; x <= group[1]; x++)
                        sum += picture[(y * srcWidth + x) * 3 + c];
                int rows = band[1] - band[0] + 1, columns = group[1] - group[0] + 1;
                averaged.push_back((uint8_t)(sum / rows / columns));
            }
        }
    }
    EXPECT_EQ(bits, ReferenceDither(averaged, 4, 3, 2, true));
}

TEST_F(ColourReducerTest, AccumulatorsReadEachDepthThroughTheTable) {
    std::vector<uint8_t> table = DistinctTable();
    struct Case {
        int32_t bitCount;
        ReducerAccumulator routine;
        std::vector<uint8_t> row;
        std::vector<int> indices;
    };
    const Case cases[] = {
        {1, AccumulateRow1, {0xB0, 0x01}, {1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {2, AccumulateRow2, {0x1B, 0xC0}, {0, 1, 2, 3, 3, 0}},
        {4, AccumulateRow4, {0xA5, 0xF0}, {10, 5, 15, 0}},
        {8, AccumulateRow8, {200, 0, 255}, {200, 0, 255}},
    };
    for (const Case& c : cases) {
        int32_t width = (int32_t)c.indices.size();
        std::vector<uint8_t> bits = Destination(width, 1, 8);
        ColourReducer reducer;
        ASSERT_EQ(
            ReducerInit(&reducer, width, 2, c.bitCount, table.data(), 1, 1, 8, bits.data(), 1), 1);
        EXPECT_EQ(reducer.accumulate, c.routine) << c.bitCount;
        c.routine(&reducer, c.row.data());
        c.routine(&reducer, c.row.data());
        for (int32_t i = 0; i < width; i++) {
            int k = c.indices[i];
            EXPECT_EQ(reducer.sumBlue[i], 2 * table[4 * k]) << c.bitCount << " bits, pixel " << i;
            EXPECT_EQ(reducer.sumGreen[i], 2 * table[4 * k + 1]);
            EXPECT_EQ(reducer.sumRed[i], 2 * table[4 * k + 2]);
        }
        ReducerRelease(&reducer);
    }
}

TEST_F(ColourReducerTest, OneBitSourceAtEqualSize) {
    // Black at entry 0, white at entry 1; first byte 0xB0.
    std::vector<uint8_t> table(1024, 0);
    memset(&table[4], 255, 3);
    std::vector<uint8_t> bits = Destination(8, 1, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 8, 1, 1, table.data(), 8, 1, 8, bits.data(), 1), 1);
    const uint8_t row[1] = {0xB0};
    ReducerFeedRow(&reducer, row);
    const bool white[8] = {true, false, true, true, false, false, false, false};
    for (int i = 0; i < 8; i++) {
        for (int c = 0; c < 3; c++) EXPECT_EQ(reducer.avgRow[3 * i + c], white[i] ? 255 : 0) << i;
    }
    ReducerRelease(&reducer);
}

TEST_F(ColourReducerTest, IndexedSourcesAtEqualSizeMatchTheirColours) {
    // The equal-size path must give what the table's colours give as 3-byte pixels.
    std::vector<uint8_t> table = DistinctTable();
    // Wide enough that the rows of a pair go along together for a few pixels.
    const int32_t width = 133, height = 3;
    for (int32_t bitCount : {1, 2, 4, 8}) {
        std::vector<uint8_t> rows;
        std::vector<uint8_t> colours;
        const int32_t rowBytes = (width * bitCount + 7) / 8;
        for (int32_t y = 0; y < height; y++) {
            for (int32_t b = 0; b < rowBytes; b++) rows.push_back((uint8_t)(37 * y + 91 * b + 5));
            for (int32_t x = 0; x < width; x++) {
                int bit = x * bitCount;
                int index = (rows[y * rowBytes + bit / 8] >> (8 - bitCount - bit % 8)) &
                            ((1 << bitCount) - 1);
                colours.insert(colours.end(),
                               {table[4 * index], table[4 * index + 1], table[4 * index + 2]});
            }
        }
        for (int32_t dstBitCount : {2, 8}) {
            std::vector<uint8_t> bits = Destination(width, height, dstBitCount);
            ColourReducer reducer;
            ASSERT_EQ(ReducerInit(&reducer, width, height, bitCount, table.data(), width, height,
                                  dstBitCount, bits.data(), 1),
                      1);
            for (int32_t y = 0; y < height; y++) ReducerFeedRow(&reducer, &rows[y * rowBytes]);
            ReducerRelease(&reducer);
            EXPECT_EQ(bits, ReferenceDither(colours, width, height, dstBitCount, true))
                << bitCount << " bits to " << dstBitCount;
        }
    }
}

TEST_F(ColourReducerTest, OtherSourceDepthsReadThreeBytePixels) {
    for (int32_t bitCount : {24, 16, 32, 0}) {
        std::vector<uint8_t> bits = Destination(2, 1, 8);
        ColourReducer reducer;
        ASSERT_EQ(ReducerInit(&reducer, 2, 2, bitCount, nullptr, 1, 1, 8, bits.data(), 1), 1);
        EXPECT_EQ(reducer.accumulate, AccumulateRow24) << bitCount;
        const uint8_t row[6] = {1, 2, 3, 4, 5, 6};
        reducer.accumulate(&reducer, row);
        EXPECT_EQ(reducer.sumBlue[1], 4);
        EXPECT_EQ(reducer.sumGreen[1], 5);
        EXPECT_EQ(reducer.sumRed[1], 6);
        ReducerRelease(&reducer);
    }
}

TEST_F(ColourReducerTest, ColumnMapAndRowBoundariesOfWidePictures) {
    // dstWidth x (i + 1) passes 2^31 here; the map must still be the rounded boundary.
    std::vector<uint8_t> bits = Destination(50000, 1, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 50000, 1, 24, nullptr, 50000, 1, 8, bits.data(), 1), 1);
    for (int32_t i = 0; i < 50000; i++) ASSERT_EQ(reducer.columnEnd[i], i + 1) << i;
    ReducerRelease(&reducer);

    ASSERT_EQ(ReducerInit(&reducer, 60000, 1, 24, nullptr, 50000, 1, 8, bits.data(), 1), 1);
    EXPECT_EQ(reducer.columnEnd[0], 1);          // (50000 + 30000) / 60000
    EXPECT_EQ(reducer.columnEnd[29999], 25000);  // (1.5e9 + 30000) / 60000
    EXPECT_EQ(reducer.columnEnd[59999], 50000);
    ReducerRelease(&reducer);

    // 60000 rows onto 50000: every boundary up to the last is reached, and no row lands past
    // the block.
    std::vector<uint8_t> tall = Destination(1, 50000, 8);
    ASSERT_EQ(ReducerInit(&reducer, 1, 60000, 24, nullptr, 1, 50000, 8, tall.data(), 1), 1);
    const uint8_t white[3] = {255, 255, 255};
    for (int32_t k = 0; k < 60000; k++) ReducerFeedRow(&reducer, white);
    EXPECT_EQ(reducer.dstRow, 50000);
    EXPECT_EQ(reducer.srcRowsFed, 60000);
    ReducerRelease(&reducer);
    for (int32_t r = 0; r < 50000; r++) ASSERT_EQ(tall[(size_t)r * 4], 0xFF) << r;
}

TEST_F(ColourReducerTest, InitRefusesOtherDestinationDepthsWithoutAllocating) {
    std::vector<uint8_t> bits = Destination(4, 4, 24);
    for (int32_t bitCount : {0, 1, 4, 16, 24}) {
        int64_t allocations = TestingAllocationCount();
        ColourReducer reducer;
        EXPECT_EQ(ReducerInit(&reducer, 4, 4, 24, nullptr, 4, 4, bitCount, bits.data(), 1), 0);
        EXPECT_EQ(TestingAllocationCount(), allocations) << bitCount;
    }
}

TEST_F(ColourReducerTest, InitRefusesBlocksThatDoNotFitBelow2To31) {
    int64_t allocations = TestingAllocationCount();
    ColourReducer reducer;
    // 4 x srcWidth = 2^31
    EXPECT_EQ(ReducerInit(&reducer, 1 << 29, 1, 24, nullptr, 1, 1, 8, nullptr, 1), 0);
    // 3 x (dstWidth + 4) past 2^31
    EXPECT_EQ(ReducerInit(&reducer, 1, 1, 24, nullptr, 0x2AAAAAAA, 1, 8, nullptr, 1), 0);
    EXPECT_EQ(ReducerInit(&reducer, -1, 1, 24, nullptr, 1, 1, 8, nullptr, 1), 0);
    EXPECT_EQ(TestingAllocationCount(), allocations);
}

TEST_F(ColourReducerTest, EveryFailedAllocationLeavesNothing) {
    std::vector<uint8_t> bits = Destination(4, 4, 8);
    ColourReducer reducer;
    int64_t live = TestingLiveBlockCount();
    int64_t allocations = TestingAllocationCount();
    ASSERT_EQ(ReducerInit(&reducer, 4, 4, 24, nullptr, 4, 4, 8, bits.data(), 1), 1);
    EXPECT_EQ(TestingAllocationCount() - allocations, 8);
    EXPECT_EQ(TestingLiveBlockCount() - live, 8);
    EXPECT_EQ(ReducerRelease(&reducer), 1);
    EXPECT_EQ(TestingLiveBlockCount(), live);

    for (int nth = 1; nth <= 8; nth++) {
        allocations = TestingAllocationCount();
        TestingFailAllocation(nth);
        EXPECT_EQ(ReducerInit(&reducer, 4, 4, 24, nullptr, 4, 4, 8, bits.data(), 1), 0) << nth;
        // All eight are asked for before any answer is tested.
        EXPECT_EQ(TestingAllocationCount() - allocations, 8) << nth;
        EXPECT_EQ(TestingLiveBlockCount(), live) << nth;
    }
}

TEST_F(ColourReducerTest, RowsBeyondTheSourceHeightAreIgnored) {
    std::vector<uint8_t> bits = Destination(2, 2, 8);
    ColourReducer reducer;
    ASSERT_EQ(ReducerInit(&reducer, 2, 2, 24, nullptr, 2, 2, 8, bits.data(), 1), 1);
    std::vector<uint8_t> white = SolidRow(2, 255, 255, 255);
    for (int k = 0; k < 5; k++) EXPECT_EQ(ReducerFeedRow(&reducer, white.data()), 1);
    EXPECT_EQ(reducer.dstRow, 2);
    EXPECT_EQ(reducer.srcRowsFed, 2);
    ReducerRelease(&reducer);
}

}  // namespace
