// The attach-time probe on emulated devices and registries, and the registry reader.
#include "framework/environment.h"

#include <gtest/gtest.h>

#include "platform/platform_testing.h"
#include "registry_file.h"

namespace {

struct DeviceSetting {
    int32_t screenWidth = 640;
    uint16_t language = 0x0409;
    uint32_t versionMajor = 2;
    uint32_t versionMinor = 0;
    int32_t versionQueryFails = 0;
};

class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        TestingSetRegistryFile(nullptr);
        ResetEnvironmentForTesting();
    }
    void TearDown() override {
        TestingReset();
        ResetEnvironmentForTesting();
    }

    static void Probe(const DeviceSetting& setting) {
        TestingDevice device;
        TestingGetDevice(&device);
        device.screenWidth = setting.screenWidth;
        device.language = setting.language;
        device.versionMajor = setting.versionMajor;
        device.versionMinor = setting.versionMinor;
        device.versionQueryFails = setting.versionQueryFails;
        TestingSetDevice(&device);
        ResetEnvironmentForTesting();
        ProbeEnvironment();
    }

    static void ExpectDefaultConverters() {
        EXPECT_EQ(NarrowText, &NarrowByTruncation);
        EXPECT_EQ(WidenText, &WidenByZeroExtension);
    }
};

TEST_F(ProbeTest, NarrowScreenIsAtMost240PixelsWide) {
    for (int32_t width : {0, 160, 240}) {
        Probe(DeviceSetting{width});
        EXPECT_EQ(SmallScreen, 1) << width;
    }
    for (int32_t width : {241, 320, 640}) {
        Probe(DeviceSetting{width});
        EXPECT_EQ(SmallScreen, 0) << width;
    }
}

TEST_F(ProbeTest, SystemVersionAndWhenTheJapaneseSwitchesAreRead) {
    RegistryFile registry("\"Jmenu\"=dword:00000005\n\"Jtitle\"=dword:00000006");
    if (!registry.InEffect()) GTEST_SKIP() << SystemRegistryReason;
    struct Case {
        uint32_t major, minor;
        int32_t fails;
        int32_t version, jmenu, jtitle;
    } cases[] = {
        {1, 1, 0, 101, 0, 0},  // before 2.00 the switches do not exist
        {1, 99, 0, 199, 0, 0}, {2, 0, 0, 200, 5, 6}, {2, 11, 0, 211, 5, 6},
        {3, 0, 0, 300, 5, 6},  {2, 0, 1, 100, 0, 0},  // no version: taken as 1.00
    };
    for (const Case& c : cases) {
        DeviceSetting setting;
        setting.versionMajor = c.major;
        setting.versionMinor = c.minor;
        setting.versionQueryFails = c.fails;
        Probe(setting);
        EXPECT_EQ(SystemVersion, c.version) << c.major << "." << c.minor;
        EXPECT_EQ(JmenuFlag, c.jmenu) << c.major << "." << c.minor;
        EXPECT_EQ(JtitleFlag, c.jtitle) << c.major << "." << c.minor;
        EXPECT_EQ(JapaneseMode, 0);
    }
}

TEST_F(ProbeTest, SwitchesThatCannotBeReadStayZero) {
    {
        // Jtitle too long for 4 bytes, Jmenu absent.
        RegistryFile registry("\"Jtitle\"=\"long text\"");
        if (!registry.InEffect()) GTEST_SKIP() << SystemRegistryReason;
        Probe(DeviceSetting{});
        EXPECT_EQ(JmenuFlag, 0);
        EXPECT_EQ(JtitleFlag, 0);
    }
    {
        RegistryFile registry("\"Jmenu\"=dword:00000002");
        Probe(DeviceSetting{});
        EXPECT_EQ(JmenuFlag, 2);
        EXPECT_EQ(JtitleFlag, 0);
    }
}

TEST_F(ProbeTest, JapaneseIsThePrimaryLanguageInTheLow10Bits) {
    for (uint16_t language : {0x0411, 0x0011, 0x0811, 0xFC11}) {
        DeviceSetting setting;
        setting.language = language;
        Probe(setting);
        EXPECT_EQ(JapaneseMode, 1) << std::hex << language;
    }
    for (uint16_t language : {0x0409, 0x0412, 0x0111, 0x0211, 0x0012, 0x0000}) {
        DeviceSetting setting;
        setting.language = language;
        Probe(setting);
        EXPECT_EQ(JapaneseMode, 0) << std::hex << language;
    }
}

TEST_F(ProbeTest, JapaneseModeUsesTheSystemCodePageAndNeedsNoLibrary) {
    DeviceSetting japanese;
    japanese.language = 0x0411;
    // "Force english" missing, 0, or unreadable (too long) all mean Japanese mode, whatever the
    // other switches say.
    const char* registries[] = {
        "\"Jmenu\"=dword:00000000\n\"Jtitle\"=dword:00000000",
        "\"Force english\"=dword:00000000\n\"Jmenu\"=dword:00000000\n\"Jtitle\"=dword:00000000",
        "\"Force english\"=hex:01,00,00,00,00",
    };
    for (const char* values : registries) {
        RegistryFile registry(values);
        Probe(japanese);
        EXPECT_EQ(JapaneseMode, 1) << values;
        EXPECT_EQ(JmenuFlag, 1) << values;
        EXPECT_EQ(JtitleFlag, 1) << values;
        EXPECT_EQ(ConverterReady, 1) << values;
        EXPECT_EQ(NarrowText, &NarrowBySystemCodePage) << values;
        EXPECT_EQ(WidenText, &WidenBySystemCodePage) << values;
        EXPECT_EQ(ConversionLibrary, nullptr) << values;
        EXPECT_EQ(unicode2sjis, nullptr) << values;
        EXPECT_EQ(SystemVersion, 200) << values;
    }
}

TEST_F(ProbeTest, ForceEnglishTakesTheOrdinaryPathOnAJapaneseSystem) {
    RegistryFile registry(
        "\"Force english\"=dword:00000001\n\"Jmenu\"=dword:00000000\n\"Jtitle\"=dword:00000007");
    if (!registry.InEffect()) GTEST_SKIP() << SystemRegistryReason;
    DeviceSetting japanese;
    japanese.language = 0x0411;
    Probe(japanese);
    EXPECT_EQ(JapaneseMode, 0);
    EXPECT_EQ(JmenuFlag, 0);
    EXPECT_EQ(JtitleFlag, 7);
    EXPECT_NE(ConversionLibrary, nullptr);
    EXPECT_EQ(ConverterReady, 1);
    EXPECT_EQ(NarrowText, &NarrowToShiftJis);
    EXPECT_EQ(WidenText, &WidenFromShiftJis);

    japanese.versionMajor = 1;
    japanese.versionMinor = 1;
    Probe(japanese);
    EXPECT_EQ(JapaneseMode, 0);
    EXPECT_EQ(JtitleFlag, 0);
}

TEST_F(ProbeTest, ConversionLibraryBindsWhenPresent) {
    Probe(DeviceSetting{});
    ASSERT_NE(ConversionLibrary, nullptr);
    EXPECT_NE(unicode2sjis, nullptr);
    EXPECT_NE(sjis2unicode, nullptr);
    EXPECT_NE(jis2unicode, nullptr);
    EXPECT_EQ(ConverterReady, 1);
    EXPECT_EQ(NarrowText, &NarrowToShiftJis);
    EXPECT_EQ(WidenText, &WidenFromShiftJis);
    EXPECT_EQ(JapaneseMode, 0);

    // Bound once, it stays bound even when a later load would fail.
    PlatformLibrary bound = ConversionLibrary;
    TestingBlockLibraries(1);
    EXPECT_EQ(BindConversionLibrary(), 1);
    EXPECT_EQ(ConversionLibrary, bound);
}

TEST_F(ProbeTest, MissingConversionLibraryKeepsTheDefaults) {
    TestingBlockLibraries(1);
    Probe(DeviceSetting{});
    EXPECT_EQ(ConversionLibrary, nullptr);
    EXPECT_EQ(unicode2sjis, nullptr);
    EXPECT_EQ(sjis2unicode, nullptr);
    EXPECT_EQ(jis2unicode, nullptr);
    EXPECT_EQ(ConverterReady, 0);
    ExpectDefaultConverters();
    EXPECT_EQ(BindConversionLibrary(), 0);
    ExpectDefaultConverters();
}

class ReadSettingTest : public ::testing::Test {
  protected:
    void SetUp() override { TestingReset(); }
    void TearDown() override { TestingReset(); }

    static int32_t Read(const char16_t* name, uint32_t* value) {
        return ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook", name, value);
    }
};

TEST_F(ReadSettingTest, ReadsValuesOfUpToFourBytesWhateverTheirType) {
    RegistryFile registry(
        "\"Number\"=dword:12345678\n"
        "\"Short\"=hex:34,12\n"
        "\"Empty\"=hex:\n"
        "\"Text\"=\"a\"\n"
        "\"Long\"=hex:01,02,03,04,05\n"
        "\"Sentence\"=\"long text\"",
        "\"full color\"=dword:00000001");
    if (!registry.InEffect()) GTEST_SKIP() << SystemRegistryReason;
    uint32_t value = 0xAAAAAAAA;
    EXPECT_EQ(Read(u"Number", &value), 0);
    EXPECT_EQ(value, 0x12345678u);

    // A shorter value fills only its own bytes.
    value = 0xAAAAAAAA;
    EXPECT_EQ(Read(u"Short", &value), 0);
    EXPECT_EQ(value, 0xAAAA1234u);
    value = 0xAAAAAAAA;
    EXPECT_EQ(Read(u"Empty", &value), 0);
    EXPECT_EQ(value, 0xAAAAAAAAu);
    // "a" is stored as the UTF-16 units 'a' and 0: four bytes.
    EXPECT_EQ(Read(u"Text", &value), 0);
    EXPECT_EQ(value, 0x61u);

    EXPECT_EQ(Read(u"Long", &value), PLATFORM_ERROR_MORE_DATA);
    EXPECT_EQ(Read(u"Sentence", &value), PLATFORM_ERROR_MORE_DATA);

    value = 0;
    EXPECT_EQ(ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook\\PlugIn",
                               u"full color", &value),
              0);
    EXPECT_EQ(value, 1u);
}

TEST_F(ReadSettingTest, MissingKeyOrValueLeavesTheDestination) {
    RegistryFile registry("\"Number\"=dword:00000001");
    uint32_t value = 0xAAAAAAAA;
    EXPECT_EQ(Read(u"Absent", &value), PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0xAAAAAAAAu);
    EXPECT_EQ(
        ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Elsewhere", u"Number", &value),
        PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0xAAAAAAAAu);

    TestingSetRegistryFile(nullptr);
    EXPECT_EQ(Read(u"Number", &value), PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0xAAAAAAAAu);
}

}  // namespace
