// The host's text conversions: file names to the plug-ins, strings and comments back.
#include "host/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HostText, FileNamesGoToUtf16AndBack) {
    // A, e acute, euro sign, and a character beyond the BMP as a surrogate pair.
    std::string name = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.tga";
    std::u16string wide;
    ASSERT_TRUE(ConvertUtf8ToUtf16(name, &wide));
    EXPECT_EQ(u"A\u00E9\u20AC\xD83D\xDE00.tga", wide);
    EXPECT_EQ(name, ConvertUtf16ToUtf8(wide.data(), wide.size()));
}

TEST(HostText, RefusesNamesThatAreNotUtf8) {
    std::u16string wide;
    for (const char* bad :
         {"\xC0\xAF", "\xED\xA0\x80", "a\x80", "\xE2\x82", "\xF5\x80\x80\x80", "\xFF"}) {
        EXPECT_FALSE(ConvertUtf8ToUtf16(bad, &wide)) << bad;
    }
    const char16_t lone[] = {u'a', 0xDC00, u'b'};
    EXPECT_EQ(
        "a\xEF\xBF\xBD"
        "b",
        ConvertUtf16ToUtf8(lone, 3));
}

TEST(HostText, CommentsAreShiftJis) {
    // Hiragana A, half-width katakana A, ASCII; a lead byte with nothing after it.
    EXPECT_EQ("\xE3\x81\x82", ConvertShiftJisToUtf8("\x82\xA0"));
    EXPECT_EQ("\xEF\xBD\xB1", ConvertShiftJisToUtf8("\xB1"));
    EXPECT_EQ("Saved by MAG 1.0", ConvertShiftJisToUtf8("Saved by MAG 1.0"));
    EXPECT_EQ("ok\xEF\xBF\xBD", ConvertShiftJisToUtf8("ok\x82"));
    // A long comment goes through the converter's buffer in several rounds.
    std::string longComment;
    for (int i = 0; i < 300; ++i) longComment += "\x82\xA0";
    std::string expected;
    for (int i = 0; i < 300; ++i) expected += "\xE3\x81\x82";
    EXPECT_EQ(expected, ConvertShiftJisToUtf8(longComment));
}

TEST(HostText, JsonAndTerminalTextAreSafe) {
    EXPECT_EQ("\"a\\\"b\\\\c\\n\\u0001\\u001b\"", QuoteJson("a\"b\\c\n\x01\x1B"));
    EXPECT_EQ("\"x\xEF\xBF\xBDy\xE3\x81\x82\"", QuoteJson("x\xFFy\xE3\x81\x82"));
    EXPECT_EQ("one / two / three [2J", FlattenForTerminal("one\r\ntwo\nthree\x1B[2J"));
}

}  // namespace
