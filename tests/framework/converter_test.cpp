// The text converters: the defaults, the system code page, and Shift-JIS through the library's
// entry points (stand-ins recording their arguments, and the real KJMAP.DLL).
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/environment.h"
#include "platform/platform_testing.h"

namespace {

// Output buffers start filled with this, so that bytes past the answer show whether anything
// was written beyond the capacity.
const uint8_t Untouched = 0x7E;

struct Narrowed {
    int32_t answer;
    std::string bytes;  // the whole buffer of `size` + 2 bytes
};

Narrowed Narrow(NarrowingConverter convert, const std::u16string& text, int32_t size) {
    std::string buffer((size_t)(size > 0 ? size : 0) + 2, (char)Untouched);
    Narrowed result;
    result.answer = convert(text.c_str(), size == 0 ? nullptr : &buffer[0], size);
    result.bytes = buffer;
    return result;
}

struct Widened {
    int32_t answer;
    std::u16string units;
};

Widened Widen(WideningConverter convert, const std::string& text, int32_t size) {
    std::u16string buffer((size_t)(size > 0 ? size : 0) + 2, (char16_t)Untouched);
    Widened result;
    result.answer = convert(text.c_str(), size == 0 ? nullptr : &buffer[0], size);
    result.units = buffer;
    return result;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string text;
    for (int value : values) text.push_back((char)value);
    return text;
}

class ConverterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        ResetEnvironmentForTesting();
    }
    void TearDown() override {
        TestingReset();
        ResetEnvironmentForTesting();
    }
};

TEST_F(ConverterTest, TruncationKeepsTheLowByteOfEachUnit) {
    EXPECT_EQ(Narrow(NarrowByTruncation, u"AB", 0).answer, 3);
    EXPECT_EQ(Narrow(NarrowByTruncation, u"", 0).answer, 1);

    struct Case {
        int32_t size;
        int32_t answer;
        std::string bytes;
    } cases[] = {
        {1, 1, Bytes({0, Untouched, Untouched})},
        {2, 2, Bytes({'A', 0, Untouched, Untouched})},
        {3, 3, Bytes({'A', 'B', 0, Untouched, Untouched})},
        {5, 3, Bytes({'A', 'B', 0, Untouched, Untouched, Untouched, Untouched})},
    };
    for (const Case& c : cases) {
        Narrowed out = Narrow(NarrowByTruncation, u"AB", c.size);
        EXPECT_EQ(out.answer, c.answer) << c.size;
        EXPECT_EQ(out.bytes, c.bytes) << c.size;
    }
    Narrowed wide = Narrow(NarrowByTruncation, u"\u3042\u00E9", 8);
    EXPECT_EQ(wide.answer, 3);
    EXPECT_EQ(wide.bytes.substr(0, 3), Bytes({0x42, 0xE9, 0}));
}

TEST_F(ConverterTest, ZeroExtensionGivesEachByteItsOwnUnit) {
    std::string text = Bytes({0xE9, 'A', 0x80, 0xFF});
    EXPECT_EQ(Widen(WidenByZeroExtension, text, 0).answer, 5);
    EXPECT_EQ(Widen(WidenByZeroExtension, "", 0).answer, 1);

    Widened all = Widen(WidenByZeroExtension, text, 16);
    EXPECT_EQ(all.answer, 5);
    EXPECT_EQ(all.units.substr(0, 5), std::u16string(u"\u00E9A\u0080\u00FF\0", 5));

    Widened cut = Widen(WidenByZeroExtension, text, 2);
    EXPECT_EQ(cut.answer, 2);
    EXPECT_EQ(cut.units, std::u16string(u"\u00E9\0\u007E\u007E", 4));

    Widened one = Widen(WidenByZeroExtension, text, 1);
    EXPECT_EQ(one.answer, 1);
    EXPECT_EQ(one.units, std::u16string(u"\0\u007E\u007E", 3));
}

TEST_F(ConverterTest, NegativeCapacityWritesNothing) {
    char narrow = (char)Untouched;
    char16_t wide = Untouched;
    EXPECT_EQ(NarrowByTruncation(u"AB", &narrow, -1), 0);
    EXPECT_EQ(WidenByZeroExtension("AB", &wide, -1), 0);
    EXPECT_EQ(NarrowToShiftJis(u"AB", &narrow, -5), 0);
    EXPECT_EQ(WidenFromShiftJis("AB", &wide, -5), 0);
    EXPECT_EQ(narrow, (char)Untouched);
    EXPECT_EQ(wide, Untouched);
}

TEST(MapSingleByteTest, HalfWidthKatakanaAndEverythingElse) {
    EXPECT_EQ(MapSingleByte(0xA1), 0xFF61);
    EXPECT_EQ(MapSingleByte(0xB1), 0xFF71);
    EXPECT_EQ(MapSingleByte(0xDF), 0xFF9F);
    for (int byte : {0x00, 0x41, 0x7F, 0x80, 0xA0, 0xE0, 0xFE, 0xFF}) {
        EXPECT_EQ(MapSingleByte((uint8_t)byte), byte) << byte;
    }
}

// ---- Shift-JIS with recording stand-ins for the library's entry points -----------------------

std::vector<uint32_t> NarrowCalls;
std::vector<std::pair<int32_t, int32_t>> WidenCalls;

uint32_t VB_CALL FakeUnicodeToSjis(uint32_t unit) {
    NarrowCalls.push_back(unit);
    switch (unit) {
        case u'A':
            return 0x41;
        case u'B':
            return 0x42;
        case 0x3042:
            return 0x82A0;  // HIRAGANA LETTER A
        case 0x4E9C:
            return 0x889F;  // the first kanji
        case 0xFF71:
            return 0xB1;  // half-width katakana A
        case 0x00E9:
            return 0xFFFF0000;  // only the low 16 bits count: no mapping
        case 0x00C0:
            return 0x12340041;  // low 16 bits 0x0041
        default:
            return 0;
    }
}

uint32_t VB_CALL FakeSjisToUnicode(int32_t lead, int32_t trail) {
    WidenCalls.push_back({lead, trail});
    if (lead == (int8_t)0x88 && trail == 0x9F) return 0x4E9C;
    if (lead == (int8_t)0x82 && trail == 0xA0) return 0x3042;
    if (lead == (int8_t)0xFD && trail == 0x41) return 0x70000 | 0x2460;  // low 16 bits count
    if (lead == (int8_t)0xE0 && trail == 0x40) return 0x10000;           // low 16 bits 0
    return 0;
}

class ShiftJisTest : public ConverterTest {
  protected:
    void SetUp() override {
        ConverterTest::SetUp();
        unicode2sjis = FakeUnicodeToSjis;
        sjis2unicode = FakeSjisToUnicode;
        NarrowCalls.clear();
        WidenCalls.clear();
    }
};

TEST_F(ShiftJisTest, NarrowingMeasuresTwoBytesForDoubleByteCodes) {
    // A, あ, 亜, ｱ, unmapped U+0E01: 1 + 2 + 2 + 1 + 1 bytes and the terminator.
    EXPECT_EQ(Narrow(NarrowToShiftJis, u"A\u3042\u4E9C\uFF71\u0E01", 0).answer, 8);
    EXPECT_EQ(NarrowCalls.size(), 5u);
    EXPECT_EQ(Narrow(NarrowToShiftJis, u"", 0).answer, 1);
}

TEST_F(ShiftJisTest, NarrowingWritesCodesAndQuestionMarks) {
    Narrowed out = Narrow(NarrowToShiftJis, u"A\u3042\u0E01\uFF71\u00E9\u00C0", 16);
    EXPECT_EQ(out.answer, 8);
    EXPECT_EQ(out.bytes.substr(0, 9), Bytes({'A', 0x82, 0xA0, '?', 0xB1, '?', 'A', 0, Untouched}));
}

TEST_F(ShiftJisTest, NarrowingStopsInsideTheCapacity) {
    // No room for the trail byte: the lead byte and the terminator.
    Narrowed lead = Narrow(NarrowToShiftJis, u"\u3042B", 2);
    EXPECT_EQ(lead.answer, 2);
    EXPECT_EQ(lead.bytes, Bytes({0x82, 0, Untouched, Untouched}));

    Narrowed pair = Narrow(NarrowToShiftJis, u"\u3042B", 3);
    EXPECT_EQ(pair.answer, 3);
    EXPECT_EQ(pair.bytes, Bytes({0x82, 0xA0, 0, Untouched, Untouched}));

    Narrowed whole = Narrow(NarrowToShiftJis, u"\u3042B", 4);
    EXPECT_EQ(whole.answer, 4);
    EXPECT_EQ(whole.bytes, Bytes({0x82, 0xA0, 'B', 0, Untouched, Untouched}));

    Narrowed none = Narrow(NarrowToShiftJis, u"\u3042B", 1);
    EXPECT_EQ(none.answer, 1);
    EXPECT_EQ(none.bytes, Bytes({0, Untouched, Untouched}));
}

TEST_F(ShiftJisTest, WideningMeasuresCharacters) {
    EXPECT_EQ(Widen(WidenFromShiftJis, Bytes({0x88, 0x9F, 0x41}), 0).answer, 3);
    EXPECT_EQ(Widen(WidenFromShiftJis, Bytes({0xB1, 0xE0, 0x40, 0xFD, 0x41, 0x80}), 0).answer, 5);
    EXPECT_EQ(Widen(WidenFromShiftJis, "", 0).answer, 1);
    // Measuring never asks the library.
    EXPECT_TRUE(WidenCalls.empty());
}

TEST_F(ShiftJisTest, WideningPassesTheLeadByteSigned) {
    Widened out = Widen(WidenFromShiftJis, Bytes({0x88, 0x9F, 0x41, 0xB1, 0x82, 0xA0}), 16);
    EXPECT_EQ(out.answer, 5);
    EXPECT_EQ(out.units.substr(0, 5), std::u16string(u"\u4E9CA\uFF71\u3042\0", 5));
    ASSERT_EQ(WidenCalls.size(), 2u);
    EXPECT_EQ(WidenCalls[0], std::make_pair(-120, 0x9F));
    EXPECT_EQ(WidenCalls[1], std::make_pair(-126, 0xA0));
}

TEST_F(ShiftJisTest, WideningMarksUnmappedPairsAndKeepsOtherBytes) {
    // 0xFD 0x41 maps (low 16 bits), 0xE0 0x40 does not (low 16 bits 0), 0x81 0x20 does not;
    // 0x80, 0xA0, 0xFE and 0xFF are not lead bytes.
    Widened out = Widen(WidenFromShiftJis,
                        Bytes({0xFD, 0x41, 0xE0, 0x40, 0x81, 0x20, 0x80, 0xA0, 0xFE, 0xFF}), 16);
    EXPECT_EQ(out.answer, 8);
    EXPECT_EQ(out.units.substr(0, 8), std::u16string(u"\u2460??\u0080\u00A0\u00FE\u00FF\0", 8));
}

TEST_F(ShiftJisTest, LoneLeadByteBeforeTheTerminatorEndsTheText) {
    // The byte after the terminator must not be taken as part of the text.
    const char text[] = {'A', (char)0x88, 0, 'Z', 0};
    char16_t buffer[8];
    for (char16_t& unit : buffer) unit = Untouched;
    EXPECT_EQ(WidenFromShiftJis(text, nullptr, 0), 3);
    EXPECT_EQ(WidenFromShiftJis(text, buffer, 8), 3);
    EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"A?\0\u007E", 4));
    EXPECT_TRUE(WidenCalls.empty());

    const char alone[] = {(char)0x9F, 0, 'Z', 0};
    EXPECT_EQ(WidenFromShiftJis(alone, nullptr, 0), 2);
    EXPECT_EQ(WidenFromShiftJis(alone, buffer, 8), 2);
    EXPECT_EQ(std::u16string(buffer, 2), std::u16string(u"?\0", 2));
}

TEST_F(ShiftJisTest, WideningStopsInsideTheCapacity) {
    std::string text = Bytes({0x88, 0x9F, 0x41});
    Widened two = Widen(WidenFromShiftJis, text, 2);
    EXPECT_EQ(two.answer, 2);
    EXPECT_EQ(two.units, std::u16string(u"\u4E9C\0\u007E\u007E", 4));
    Widened one = Widen(WidenFromShiftJis, text, 1);
    EXPECT_EQ(one.answer, 1);
    EXPECT_EQ(one.units, std::u16string(u"\0\u007E\u007E", 3));
    EXPECT_EQ(WidenCalls.size(), 1u);
}

TEST_F(ShiftJisTest, MissingEntryPointBehavesAsTheDefault) {
    unicode2sjis = nullptr;
    Narrowed narrow = Narrow(NarrowToShiftJis, u"A\u3042", 8);
    EXPECT_EQ(narrow.answer, 3);
    EXPECT_EQ(narrow.bytes.substr(0, 3), Bytes({'A', 0x42, 0}));
    EXPECT_EQ(Narrow(NarrowToShiftJis, u"A\u3042", 0).answer, 3);
    // The other direction still goes through the library.
    EXPECT_EQ(Widen(WidenFromShiftJis, Bytes({0x88, 0x9F}), 0).answer, 2);

    unicode2sjis = FakeUnicodeToSjis;
    sjis2unicode = nullptr;
    Widened wide = Widen(WidenFromShiftJis, Bytes({0x88, 0x9F, 0xB1}), 8);
    EXPECT_EQ(wide.answer, 4);
    EXPECT_EQ(wide.units.substr(0, 4), std::u16string(u"\u0088\u009F\u00B1\0", 4));
    EXPECT_EQ(Narrow(NarrowToShiftJis, u"\u3042", 0).answer, 3);
}

// ---- The real KJMAP.DLL ----------------------------------------------------------------------

TEST_F(ConverterTest, RealLibraryConvertsShiftJisBothWays) {
    ASSERT_EQ(BindConversionLibrary(), 1);
    ASSERT_EQ(NarrowText, &NarrowToShiftJis);
    ASSERT_EQ(WidenText, &WidenFromShiftJis);

    std::u16string text = u"A\u3042\u4E9C\uFF71\u0E01";  // A あ 亜 ｱ and a Thai letter
    EXPECT_EQ(NarrowText(text.c_str(), nullptr, 0), 8);
    Narrowed narrow = Narrow(NarrowText, text, 16);
    EXPECT_EQ(narrow.answer, 8);
    EXPECT_EQ(narrow.bytes.substr(0, 8), Bytes({'A', 0x82, 0xA0, 0x88, 0x9F, 0xB1, '?', 0}));

    std::string sjis = Bytes({'A', 0x82, 0xA0, 0x88, 0x9F, 0xB1});
    EXPECT_EQ(WidenText(sjis.c_str(), nullptr, 0), 5);
    Widened wide = Widen(WidenText, sjis, 16);
    EXPECT_EQ(wide.answer, 5);
    EXPECT_EQ(wide.units.substr(0, 5), std::u16string(u"A\u3042\u4E9C\uFF71\0", 5));

    // 0x85 0x40 lies in a row that code page 932 leaves empty.
    Widened unmapped = Widen(WidenText, Bytes({0x85, 0x40, 'B'}), 8);
    EXPECT_EQ(unmapped.answer, 3);
    EXPECT_EQ(unmapped.units.substr(0, 3), std::u16string(u"?B\0", 3));
}

TEST_F(ConverterTest, WithoutTheLibraryTheDefaultsConvert) {
    TestingBlockLibraries(1);
    ASSERT_EQ(BindConversionLibrary(), 0);
    Narrowed narrow = Narrow(NarrowText, u"A\u3042", 8);
    EXPECT_EQ(narrow.answer, 3);
    EXPECT_EQ(narrow.bytes.substr(0, 3), Bytes({'A', 0x42, 0}));
    Widened wide = Widen(WidenText, Bytes({0x82, 0xA0, 0xB1}), 8);
    EXPECT_EQ(wide.answer, 4);
    EXPECT_EQ(wide.units.substr(0, 4), std::u16string(u"\u0082\u00A0\u00B1\0", 4));
}

// ---- The system code page ------------------------------------------------------------------

void SetLanguage(uint16_t language) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.language = language;
    TestingSetDevice(&device);
}

TEST_F(ConverterTest, SystemCodePageOnAJapaneseDevice) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows converts with its own code page, whatever language the emulated "
                    "device reports";
#endif
    SetLanguage(0x0411);
    EXPECT_EQ(NarrowBySystemCodePage(u"A\u3042", nullptr, 0), 4);
    Narrowed narrow = Narrow(NarrowBySystemCodePage, u"A\u3042", 8);
    EXPECT_EQ(narrow.answer, 4);
    EXPECT_EQ(narrow.bytes.substr(0, 4), Bytes({'A', 0x82, 0xA0, 0}));
    // Too small a destination makes the platform's conversion fail.
    EXPECT_EQ(Narrow(NarrowBySystemCodePage, u"A\u3042", 3).answer, 0);

    std::string sjis = Bytes({'A', 0x82, 0xA0, 0xB1});
    EXPECT_EQ(WidenBySystemCodePage(sjis.c_str(), nullptr, 0), 4);
    Widened wide = Widen(WidenBySystemCodePage, sjis, 8);
    EXPECT_EQ(wide.answer, 4);
    EXPECT_EQ(wide.units.substr(0, 4), std::u16string(u"A\u3042\uFF71\0", 4));
    EXPECT_EQ(Widen(WidenBySystemCodePage, sjis, 3).answer, 0);
}

TEST_F(ConverterTest, SystemCodePageElsewhereIsSingleByte) {
    SetLanguage(0x0409);
    EXPECT_EQ(NarrowBySystemCodePage(u"\u00E9t\u00E9", nullptr, 0), 4);
    Narrowed narrow = Narrow(NarrowBySystemCodePage, u"\u00E9t\u00E9", 4);
    EXPECT_EQ(narrow.answer, 4);
    EXPECT_EQ(narrow.bytes.substr(0, 4), Bytes({0xE9, 't', 0xE9, 0}));
    Widened wide = Widen(WidenBySystemCodePage, Bytes({0xE9, 'A'}), 3);
    EXPECT_EQ(wide.answer, 3);
    EXPECT_EQ(wide.units.substr(0, 3), std::u16string(u"\u00E9A\0", 3));
}

}  // namespace
