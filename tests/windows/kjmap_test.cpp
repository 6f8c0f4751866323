// KJMAP.DLL answers alike on every platform: the POSIX build maps through iconv's CP932 table,
// the Windows build through the system's code page 932. Loaded by name through the platform,
// as the filters load it.
#include <gtest/gtest.h>

#include "framework/environment.h"
#include "platform/platform_testing.h"

namespace {

struct Kjmap {
    UnicodeToSjisFunction unicode2sjis = nullptr;
    SjisToUnicodeFunction sjis2unicode = nullptr;
    JisToUnicodeFunction jis2unicode = nullptr;
};

Kjmap LoadKjmap() {
    Kjmap kjmap;
    PlatformLibrary library = LoadLibraryByName(u"KJMAP.DLL");
    if (!library) return kjmap;
    kjmap.unicode2sjis = (UnicodeToSjisFunction)FindLibrarySymbol(library, u"unicode2sjis");
    kjmap.sjis2unicode = (SjisToUnicodeFunction)FindLibrarySymbol(library, u"sjis2unicode");
    kjmap.jis2unicode = (JisToUnicodeFunction)FindLibrarySymbol(library, u"jis2unicode");
    return kjmap;
}

// The lead byte goes over as a signed char widened to 32 bits.
int32_t Lead(uint8_t byte) {
    return (int32_t)(int8_t)byte;
}

class KjmapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        kjmap = LoadKjmap();
        ASSERT_NE(kjmap.unicode2sjis, nullptr);
        ASSERT_NE(kjmap.sjis2unicode, nullptr);
        ASSERT_NE(kjmap.jis2unicode, nullptr);
    }
    Kjmap kjmap;
};

struct Pair {
    uint32_t unit;
    uint32_t sjis;
};

// Characters that map both ways: ASCII, half-width katakana (single bytes), kana and kanji of
// JIS X 0208, and NEC's row 13 symbols, which code page 932 adds.
const Pair RoundTrips[] = {
    {0x0041, 0x41},   {0x007E, 0x7E},   {0xFF61, 0xA1},   {0xFF71, 0xB1},
    {0xFF9F, 0xDF},   {0x3000, 0x8140}, {0x3042, 0x82A0}, {0x30A2, 0x8341},
    {0x4E9C, 0x889F}, {0x6ECC, 0x9FFC}, {0x71FF, 0xE0A0}, {0x7199, 0xEAA4},
    {0x2460, 0x8740}, {0x2252, 0x81E0}, {0xFF5E, 0x8160}, {0x2225, 0x8161},
};

TEST_F(KjmapTest, CharactersOfCodePage932MapBothWays) {
    for (const Pair& pair : RoundTrips) {
        EXPECT_EQ(kjmap.unicode2sjis(pair.unit) & 0xFFFF, pair.sjis) << std::hex << pair.unit;
        if (pair.sjis > 0xFF) {
            EXPECT_EQ(
                kjmap.sjis2unicode(Lead((uint8_t)(pair.sjis >> 8)), pair.sjis & 0xFF) & 0xFFFF,
                pair.unit)
                << std::hex << pair.sjis;
        }
    }
}

TEST_F(KjmapTest, DuplicateCodesReadAsOneCharacter) {
    // The IBM extension and NEC's copy of it hold the same kanji; both read as U+7E8A.
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0xFA), 0x5C) & 0xFFFF, 0x7E8Au);
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0xED), 0x40) & 0xFFFF, 0x7E8Au);
    // U+FFE2 (not sign) is in row 2 and again among the IBM symbols.
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0x81), 0xCA) & 0xFFFF, 0xFFE2u);
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0xEE), 0xF9) & 0xFFFF, 0xFFE2u);
}

TEST_F(KjmapTest, UnitsWithoutACodeGiveZero) {
    // No best-fit guesses: e with acute has no code in 932, nor has a lone surrogate half.
    for (uint32_t unit : {0x0000u, 0x00E9u, 0x0101u, 0x20ACu, 0xD800u, 0xDFFFu, 0x10000u}) {
        EXPECT_EQ(kjmap.unicode2sjis(unit) & 0xFFFF, 0u) << std::hex << unit;
    }
}

TEST_F(KjmapTest, PairsWithoutACharacterGiveZero) {
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0x82), 0x20) & 0xFFFF, 0u);  // trail byte out of range
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0x85), 0x40) & 0xFFFF, 0u);  // an empty row
    EXPECT_EQ(kjmap.sjis2unicode(0x41, 0x42) & 0xFFFF, 0u);        // not a lead byte
    EXPECT_EQ(kjmap.sjis2unicode(Lead(0xA1), 0x40) & 0xFFFF, 0u);  // a katakana byte
}

TEST_F(KjmapTest, JisCodesGoThroughTheirShiftJisPair) {
    EXPECT_EQ(kjmap.jis2unicode(0x24, 0x22) & 0xFFFF, 0x3042u);
    EXPECT_EQ(kjmap.jis2unicode(0x30, 0x21) & 0xFFFF, 0x4E9Cu);
    EXPECT_EQ(kjmap.jis2unicode(0x21, 0x21) & 0xFFFF, 0x3000u);
    EXPECT_EQ(kjmap.jis2unicode(0x20, 0x21) & 0xFFFF, 0u);
    EXPECT_EQ(kjmap.jis2unicode(0x24, 0x7F) & 0xFFFF, 0u);
}

}  // namespace
