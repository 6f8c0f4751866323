#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/platform_testing.h"

// Each test sets the variables it wants; the stand-in reads them at every query, and TestingReset
// drops the layer's overrides.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : Variables) unsetenv(name);
        TestingReset();
    }
    void TearDown() override {
        for (const char* name : Variables) unsetenv(name);
        TestingReset();
    }

    static constexpr const char* Variables[] = {"VB_DISPLAY_BITS", "VB_SCREEN_WIDTH", "VB_LANGUAGE",
                                                "VB_SYSTEM_VERSION"};
};

static void ExpectVersion(uint32_t major, uint32_t minor) {
    uint32_t gotMajor = 99, gotMinor = 99;
    EXPECT_EQ(QuerySystemVersion(&gotMajor, &gotMinor), 1);
    EXPECT_EQ(gotMajor, major);
    EXPECT_EQ(gotMinor, minor);
}

TEST_F(DeviceTest, DefaultsAreADesktop) {
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 24);
    EXPECT_EQ(QueryScreenWidth(), 640);
    EXPECT_EQ(QueryDefaultLanguage(), 0x0409);
    ExpectVersion(2, 0);
}

TEST_F(DeviceTest, EnvironmentSetsTheDevice) {
    setenv("VB_DISPLAY_BITS", "2", 1);
    setenv("VB_SCREEN_WIDTH", "240", 1);
    setenv("VB_LANGUAGE", "0x0411", 1);
    setenv("VB_SYSTEM_VERSION", "2.1", 1);
    TestingReset();
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 2);
    EXPECT_EQ(QueryScreenWidth(), 240);
    EXPECT_EQ(QueryDefaultLanguage(), 0x0411);
    ExpectVersion(2, 1);

    setenv("VB_LANGUAGE", "1041", 1);  // decimal
    setenv("VB_SYSTEM_VERSION", "1.01", 1);
    TestingReset();
    EXPECT_EQ(QueryDefaultLanguage(), 0x0411);
    ExpectVersion(1, 1);

    // Values that do not parse leave the defaults.
    setenv("VB_DISPLAY_BITS", "many", 1);
    setenv("VB_LANGUAGE", "0x10000", 1);
    setenv("VB_SYSTEM_VERSION", "two", 1);
    TestingReset();
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 24);
    EXPECT_EQ(QueryDefaultLanguage(), 0x0409);
    ExpectVersion(2, 0);
}

TEST_F(DeviceTest, OverridesLastUntilReset) {
    TestingDevice device;
    TestingGetDevice(&device);
    EXPECT_EQ(device.displayBits, 24);
    EXPECT_EQ(device.versionQueryFails, 0);
    device.displayBits = 8;
    device.screenWidth = 241;
    device.language = 0x0811;
    device.versionMajor = 3;
    device.versionMinor = 0;
    device.versionQueryFails = 1;
    TestingSetDevice(&device);
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 8);
    EXPECT_EQ(QueryScreenWidth(), 241);
    EXPECT_EQ(QueryDefaultLanguage(), 0x0811);
    uint32_t major = 7, minor = 7;
    EXPECT_EQ(QuerySystemVersion(&major, &minor), 0);
    EXPECT_EQ(major, 7u);

    TestingReset();
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 24);
    ExpectVersion(2, 0);
}

static void SetLanguage(uint16_t language) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.language = language;
    TestingSetDevice(&device);
}

TEST_F(DeviceTest, NarrowingFollowsTheLanguage) {
    const char16_t text[] = u"A\u3042\u00E9\u20AC";  // A, hiragana a, e acute, euro
    char out[16];

    SetLanguage(0x0409);  // Windows-1252
    EXPECT_EQ(WideToSystemCodePage(text, -1, nullptr, 0), 5);
    EXPECT_EQ(WideToSystemCodePage(text, -1, out, sizeof out), 5);
    EXPECT_EQ(std::string(out, 5), std::string("A?\xE9\x80\0", 5));
    EXPECT_EQ(WideToSystemCodePage(text, -1, out, 4), 0);  // too small: fails
    EXPECT_EQ(WideToSystemCodePage(text, 2, out, 2), 2);   // counted, no terminator
    EXPECT_EQ(std::string(out, 2), "A?");

    SetLanguage(0x0411);  // code page 932
    EXPECT_EQ(WideToSystemCodePage(text, -1, nullptr, 0), 6);
    EXPECT_EQ(WideToSystemCodePage(text, -1, out, sizeof out), 6);
    EXPECT_EQ(std::string(out, 6), std::string("A\x82\xA0??\0", 6));
    EXPECT_EQ(WideToSystemCodePage(text, -1, out, 5), 0);

    // A surrogate pair is one unmappable character; a lone half is one too.
    const char16_t astral[] = {0xD83D, 0xDE00, u'b', 0xDC00, 0};
    EXPECT_EQ(WideToSystemCodePage(astral, -1, out, sizeof out), 4);
    EXPECT_EQ(std::string(out, 4), std::string("?b?\0", 4));
    SetLanguage(0x0409);
    EXPECT_EQ(WideToSystemCodePage(astral, -1, out, sizeof out), 4);
    EXPECT_EQ(std::string(out, 4), std::string("?b?\0", 4));

    EXPECT_EQ(WideToSystemCodePage(nullptr, -1, out, sizeof out), 0);
    EXPECT_EQ(WideToSystemCodePage(text, -1, nullptr, 4), 0);
}

TEST_F(DeviceTest, WideningFollowsTheLanguage) {
    const char bytes[] = "A\x82\xA0\xB1";
    char16_t out[16];

    SetLanguage(0x0409);
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, nullptr, 0), 5);
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, out, 16), 5);
    EXPECT_EQ(std::u16string(out, 5), std::u16string(u"A\u201A\u00A0\u00B1\0", 5));
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, out, 4), 0);

    SetLanguage(0x0411);
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, nullptr, 0), 4);
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, out, 16), 4);
    EXPECT_EQ(std::u16string(out, 4), std::u16string(u"A\u3042\uFF71\0", 4));
    EXPECT_EQ(SystemCodePageToWide(bytes, -1, out, 3), 0);
    // A lead byte cut off by the end of the counted source is replaced, not read past.
    EXPECT_EQ(SystemCodePageToWide("\x82", 1, out, 16), 1);
    EXPECT_EQ(out[0], 0xFFFD);
}
