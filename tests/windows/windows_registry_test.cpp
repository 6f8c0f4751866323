// The switches in the real registry, written with the system's own "reg" tool as a user or an
// installer would: "full color" for every TGA decode, "Force english", "Jmenu" and "Jtitle" for
// the start-up probe. These tests run in a wine prefix of their own, one at a time.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "framework/environment.h"
#include "framework/format.h"
#include "framework/resources.h"
#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"
#include "tests/support/tga_encoder.h"

// The framework is linked in for the probe; it wants a filter behind the exports.
static int32_t AcceptNothing(const char16_t*, const uint8_t*) {
    return 0;
}
static int32_t ReadNoInfo(const char16_t*, int32_t, PictureInfoRecord*) {
    return RESULT_UNKNOWN_FORMAT;
}
static int32_t DecodeNothing(const char16_t*, int32_t, void**, void**, ProgressNotifier, intptr_t) {
    return RESULT_UNKNOWN_FORMAT;
}
const FormatOperations ThisFormat = {AcceptNothing, ReadNoInfo, DecodeNothing, 0};
const PlatformModuleResources ThisModuleResources = {"registry.spi", nullptr, 0};

namespace {

// Runs reg.exe with these arguments and returns its exit code.
DWORD RunReg(const std::wstring& arguments) {
    std::wstring command = L"reg.exe " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        return (DWORD)-1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = (DWORD)-1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

const wchar_t VelbrookKey[] = L"\"HKCU\\Software\\Velbrook\"";
const wchar_t PlugInKey[] = L"\"HKCU\\Software\\Velbrook\\PlugIn\"";

void SetDword(const wchar_t* key, const wchar_t* name, uint32_t value) {
    ASSERT_EQ(RunReg(std::wstring(L"add ") + key + L" /v \"" + name + L"\" /t REG_DWORD /d " +
                     std::to_wstring(value) + L" /f"),
              0u);
}

void SetValue(const wchar_t* key, const wchar_t* name, const wchar_t* type, const wchar_t* data) {
    ASSERT_EQ(RunReg(std::wstring(L"add ") + key + L" /v \"" + name + L"\" /t " + type + L" /d " +
                     data + L" /f"),
              0u);
}

void RemoveVelbrookKey() {
    RunReg(std::wstring(L"delete ") + VelbrookKey + L" /f");
}

class WindowsRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        RemoveVelbrookKey();
        liveBlocks = TestingLiveBlockCount();
    }
    void TearDown() override {
        RemoveVelbrookKey();
        ResetEnvironmentForTesting();
        TestingReset();
        EXPECT_EQ(TestingLiveBlockCount(), liveBlocks);
        RemoveTemporaryFiles();
    }
    int64_t liveBlocks = 0;
};

// biBitCount of a 24-bit TGA decoded through vbtga.spi, with the colour table.
DecodeRecord DecodeColourTga() {
    TgaImage image;
    image.width = 2;
    image.height = 1;
    image.pixels = {0, 0, 0, 255, 255, 255};
    std::u16string path = WriteTemporaryFile("colour.tga", EncodeTga(image));
    return Decode("vbtga", path);
}

TEST_F(WindowsRegistryTest, FullColorSwitchChoosesTheDepthOnAColourDisplay) {
    // The real display of the session: more than 8 bits under wine and on any desktop.
    if (QueryDisplayBitsPerPixel() <= 8) GTEST_SKIP() << "display of 8 bits or fewer";
    ASSERT_NE(Plugin("vbtga").library, nullptr);

    DecodeRecord missing = DecodeColourTga();
    ASSERT_EQ(missing.result, RESULT_OK);
    EXPECT_EQ(missing.header[14], 24);

    SetDword(PlugInKey, L"full color", 0);
    DecodeRecord off = DecodeColourTga();
    ASSERT_EQ(off.result, RESULT_OK);
    EXPECT_EQ(off.header[14], 8);
    // The 3-3-2 cube: black first, white (252, 252, 255) last; the pixels are those two.
    const uint8_t last[4] = {255, 252, 252, 0};
    EXPECT_EQ(memcmp(&off.header[40 + 4 * 255], last, 4), 0);
    EXPECT_EQ(off.bits[0], 0);
    EXPECT_EQ(off.bits[1], 255);

    SetDword(PlugInKey, L"full color", 7);
    DecodeRecord on = DecodeColourTga();
    ASSERT_EQ(on.result, RESULT_OK);
    EXPECT_EQ(on.header[14], 24);
}

// Probes again as at attach, on a desktop of the given language and version.
void ProbeOn(uint16_t language, uint32_t major, uint32_t minor) {
    UseDesktopDevice();
    TestingDevice device;
    TestingGetDevice(&device);
    device.language = language;
    device.versionMajor = major;
    device.versionMinor = minor;
    TestingSetDevice(&device);
    ResetEnvironmentForTesting();
    ProbeEnvironment();
}

TEST_F(WindowsRegistryTest, ProbeCopiesJmenuAndJtitleFromVersionTwoOn) {
    SetDword(VelbrookKey, L"Jmenu", 1);
    SetDword(VelbrookKey, L"Jtitle", 42);
    ProbeOn(0x0409, 2, 0);
    EXPECT_EQ(SystemVersion, 200);
    EXPECT_EQ(JapaneseMode, 0);
    EXPECT_EQ(JmenuFlag, 1);
    EXPECT_EQ(JtitleFlag, 42);

    ProbeOn(0x0409, 1, 1);
    EXPECT_EQ(SystemVersion, 101);
    EXPECT_EQ(JmenuFlag, 0);
    EXPECT_EQ(JtitleFlag, 0);

    RemoveVelbrookKey();
    ProbeOn(0x0409, 2, 0);
    EXPECT_EQ(JmenuFlag, 0);
    EXPECT_EQ(JtitleFlag, 0);
}

TEST_F(WindowsRegistryTest, ForceEnglishKeepsAJapaneseSystemOnTheOrdinaryPath) {
    SetDword(VelbrookKey, L"Jmenu", 0);
    SetDword(VelbrookKey, L"Jtitle", 5);
    ProbeOn(0x0411, 2, 0);
    EXPECT_EQ(JapaneseMode, 1);
    EXPECT_EQ(JmenuFlag, 1);
    EXPECT_EQ(JtitleFlag, 1);
    EXPECT_EQ(NarrowText, NarrowBySystemCodePage);

    SetDword(VelbrookKey, L"Force english", 1);
    ProbeOn(0x0411, 2, 0);
    EXPECT_EQ(JapaneseMode, 0);
    EXPECT_EQ(JmenuFlag, 0);
    EXPECT_EQ(JtitleFlag, 5);
    // KJMAP.DLL lies beside the program, where the system's search finds it.
    EXPECT_EQ(ConverterReady, 1);
    EXPECT_EQ(NarrowText, NarrowToShiftJis);
}

TEST_F(WindowsRegistryTest, SettingReaderTakesAnyValueOfAtMostFourBytes) {
    SetValue(VelbrookKey, L"short", L"REG_BINARY", L"0102");
    SetValue(VelbrookKey, L"text", L"REG_SZ", L"longer");
    uint32_t value = 0xAAAAAAAAu;
    EXPECT_EQ(ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook", u"short", &value),
              PLATFORM_ERROR_SUCCESS);
    EXPECT_EQ(value, 0xAAAA0201u);

    value = 0x12345678u;
    EXPECT_EQ(ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook", u"text", &value),
              PLATFORM_ERROR_MORE_DATA);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(
        ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook", u"absent", &value),
        PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Absent", u"x", &value),
              PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0x12345678u);
}

}  // namespace
