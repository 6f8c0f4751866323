// Colour tables: the 3-3-2 cube and the gray ramps, checked entry by entry with the bytes
// after the palette left alone.
#include "framework/palette.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const uint8_t Fill = 0xC3;

struct Colour {
    int red, green, blue;
};

// A table of 260 entries filled with a marker, so that writes past the palette show.
std::vector<uint8_t> FreshTable() {
    return std::vector<uint8_t>(260 * 4, Fill);
}

void ExpectEntry(const std::vector<uint8_t>& table, int index, Colour colour) {
    const uint8_t* entry = &table[4 * index];
    EXPECT_EQ(entry[0], colour.blue) << "entry " << index;
    EXPECT_EQ(entry[1], colour.green) << "entry " << index;
    EXPECT_EQ(entry[2], colour.red) << "entry " << index;
    EXPECT_EQ(entry[3], 0) << "entry " << index;
}

void ExpectUntouchedFrom(const std::vector<uint8_t>& table, int firstEntry) {
    for (size_t i = 4 * (size_t)firstEntry; i < table.size(); i++) {
        ASSERT_EQ(table[i], Fill) << "byte " << i;
    }
}

void ExpectGrays(const std::vector<uint8_t>& table, const std::vector<int>& levels) {
    for (size_t k = 0; k < levels.size(); k++) {
        ExpectEntry(table, (int)k, {levels[k], levels[k], levels[k]});
    }
    ExpectUntouchedFrom(table, (int)levels.size());
}

std::vector<int> Levels(int count, int step, bool rising) {
    std::vector<int> levels;
    for (int k = 0; k < count; k++) levels.push_back((rising ? k : count - 1 - k) * step);
    return levels;
}

TEST(PaletteTest, OutputPaletteFromEightBitsOnIsTheColourCube) {
    for (int32_t bits : {8, 24, 32, 1000}) {
        std::vector<uint8_t> table = FreshTable();
        BuildOutputPalette(table.data(), bits);
        ExpectEntry(table, 0, {0, 0, 0});
        ExpectEntry(table, 3, {0, 0, 255});
        ExpectEntry(table, 28, {0, 252, 0});
        ExpectEntry(table, 224, {252, 0, 0});
        ExpectEntry(table, 255, {252, 252, 255});
        ExpectEntry(table, 0x6D, {108, 108, 85});  // r 3, g 3, b 1
        for (int index = 0; index < 256; index++) {
            ExpectEntry(table, index,
                        {36 * (index >> 5), 36 * ((index >> 2) & 7), 85 * (index & 3)});
        }
        ExpectUntouchedFrom(table, 256);
    }
}

TEST(PaletteTest, OutputPaletteBelowEightBitsIsARisingGrayRamp) {
    // Levels truncate: 255 / (count - 1) is not whole for 3, 5, 6 and 7 bits.
    struct Case {
        int32_t bits;
        int count, step, top;
    } cases[] = {
        {0, 1, 255, 0},   {1, 2, 255, 255}, {2, 4, 85, 255}, {3, 8, 36, 252},
        {4, 16, 17, 255}, {5, 32, 8, 248},  {6, 64, 4, 252}, {7, 128, 2, 254},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<uint8_t> table = FreshTable();
        BuildOutputPalette(table.data(), c.bits);
        std::vector<int> levels = Levels(c.count, c.step, true);
        EXPECT_EQ(levels.back(), c.top);
        ExpectGrays(table, levels);
    }
    std::vector<uint8_t> table = FreshTable();
    BuildOutputPalette(table.data(), 2);
    ExpectGrays(table, {0, 85, 170, 255});
}

TEST(PaletteTest, GrayRampRisingOrFalling) {
    std::vector<uint8_t> table = FreshTable();
    BuildGrayRamp(table.data(), 16, 1);  // more than 8 bits counts as 8
    ExpectGrays(table, Levels(256, 1, true));

    table = FreshTable();
    BuildGrayRamp(table.data(), 8, 0);
    ExpectGrays(table, Levels(256, 1, false));

    table = FreshTable();
    BuildGrayRamp(table.data(), 3, 0);
    ExpectGrays(table, {252, 216, 180, 144, 108, 72, 36, 0});

    table = FreshTable();
    BuildGrayRamp(table.data(), 1, 5);  // any non-zero flag rises
    ExpectGrays(table, {0, 255});

    table = FreshTable();
    BuildGrayRamp(table.data(), 0, 0);
    ExpectGrays(table, {0});
}

TEST(PaletteTest, NegativeDepthsWriteNothing) {
    for (int32_t bits : {-1, -8, (int32_t)0x80000000}) {
        std::vector<uint8_t> table = FreshTable();
        BuildOutputPalette(table.data(), bits);
        ExpectUntouchedFrom(table, 0);
        BuildGrayRamp(table.data(), bits, 1);
        BuildGrayRamp(table.data(), bits, 0);
        ExpectUntouchedFrom(table, 0);
    }
}

}  // namespace
