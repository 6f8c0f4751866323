// The plug-ins as PE modules under the real Windows loader: the exports reached by ordinal and
// by name, the string table that LoadStringW and FindResourceW see, and GetPluginInfo on top of
// them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"

namespace {

struct ModuleStrings {
    const char* name;
    const char16_t* strings[4];  // information numbers 0 to 3
};

// The texts that the viewer shows; the description goes on with the maker's notice.
const ModuleStrings Modules[] = {
    {"vbtga", {u"00IN", u"TGA to DIB filter version 0.50", u"*.TGA", u"TGA(*.tga)"}},
    {"vbpcx", {u"00IN", u"PCX to DIB filter version 0.01", u"*.PCX", u"PCX(*.pcx)"}},
    {"vbmag", {u"00IN", u"MAG to DIB filter version 0.50", u"*.MAG", u"MAG(*.mag)"}},
};

const char* const ExportNames[5] = {"GetPicture", "GetPreview", "IsSupported", "GetPictureInfo",
                                    "GetPluginInfo"};

HMODULE ModuleOf(const LoadedPlugin& plugin) {
    return (HMODULE)plugin.library;
}

std::u16string Text(const char16_t* buffer) {
    return std::u16string(buffer);
}

class WindowsModulesTest : public ::testing::TestWithParam<ModuleStrings> {
  protected:
    void SetUp() override {
        TestingReset();
        plugin = &Plugin(GetParam().name);
        ASSERT_NE(plugin->library, nullptr) << GetParam().name;
    }
    const LoadedPlugin* plugin = nullptr;
};

TEST_P(WindowsModulesTest, ModuleFileCarriesTheSpiName) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(ModuleOf(*plugin), path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring file(path, length);
    std::string name = std::string(GetParam().name) + ".spi";
    std::wstring expected(name.begin(), name.end());
    ASSERT_GE(file.size(), expected.size());
    EXPECT_EQ(file.substr(file.size() - expected.size()), expected);
}

TEST_P(WindowsModulesTest, OrdinalsOneToFiveAreTheFiveExports) {
    HMODULE module = ModuleOf(*plugin);
    for (int ordinal = 1; ordinal <= 5; ordinal++) {
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
        FARPROC byName = GetProcAddress(module, ExportNames[ordinal - 1]);
        ASSERT_NE(byName, nullptr) << ExportNames[ordinal - 1];
        EXPECT_EQ(byOrdinal, byName) << "ordinal " << ordinal;
    }
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(6)), nullptr);
    EXPECT_EQ(GetProcAddress(module, "LibraryEntry"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "DllMain"), nullptr);
}

TEST_P(WindowsModulesTest, PluginInfoReadsTheStringTable) {
    for (int32_t n = 0; n < 4; n++) {
        const std::u16string expected = GetParam().strings[n];
        char16_t buffer[128];
        int32_t count = plugin->getPluginInfo(n, buffer, 128);
        std::u16string text = Text(buffer);
        EXPECT_EQ(count, (int32_t)text.size()) << n;
        if (n == 1) {
            // The version text, one blank, then the maker's notice.
            ASSERT_GT(text.size(), expected.size() + 1) << n;
            EXPECT_EQ(text.substr(0, expected.size() + 1), expected + u" ");
        } else {
            EXPECT_EQ(text, expected) << n;
        }
        // The same string straight from the system's loader.
        wchar_t direct[128];
        int directCount = LoadStringW(ModuleOf(*plugin), 1024 + n, direct, 128);
        EXPECT_EQ(directCount, count) << n;
        EXPECT_EQ(std::u16string((const char16_t*)direct), text) << n;
    }
}

TEST_P(WindowsModulesTest, PluginInfoTruncatesAndKnowsNoOtherNumbers) {
    char16_t buffer[16];
    EXPECT_EQ(plugin->getPluginInfo(0, buffer, 3), 2);
    EXPECT_EQ(Text(buffer), u"00");
    EXPECT_EQ(plugin->getPluginInfo(0, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    for (int32_t n : {4, 5, 15, -1, -1024, 0x7FFFFFFF}) {
        buffer[0] = u'x';
        EXPECT_EQ(plugin->getPluginInfo(n, buffer, 16), 0) << n;
    }
}

TEST_P(WindowsModulesTest, NoBufferFormFindsNoResourceNamedByStringNumber) {
    char16_t buffer[16] = {u'x', 0};
    for (int32_t n = 0; n < 4; n++) {
        EXPECT_EQ(plugin->getPluginInfo(n, nullptr, 16), 0) << n;
        EXPECT_EQ(plugin->getPluginInfo(n, buffer, 0), 0) << n;
        EXPECT_EQ(buffer[0], u'x') << n;
        EXPECT_EQ(FindResourceW(ModuleOf(*plugin), MAKEINTRESOURCEW(1024 + n), MAKEINTRESOURCEW(6)),
                  nullptr)
            << n;
    }
}

TEST_P(WindowsModulesTest, StringTableIsOneEnglishBlockOfSixteen) {
    HMODULE module = ModuleOf(*plugin);
    // Strings 1024 to 1039 form block 65, in English (United States).
    HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(65),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(block, nullptr);
    // Sixteen length-prefixed strings without terminators: the same size that the POSIX
    // stand-in reports for the block.
    DWORD expectedSize = 16 * 2;
    for (int32_t n = 0; n < 4; n++) {
        char16_t buffer[128];
        expectedSize += 2 * (DWORD)plugin->getPluginInfo(n, buffer, 128);
    }
    EXPECT_EQ(SizeofResource(module, block), expectedSize);
    // Through the platform, as the no-buffer form of GetPluginInfo would load it.
    const void* found = FindModuleResource((PlatformInstance)module, PLATFORM_RT_STRING, 65);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(LoadModuleResource((PlatformInstance)module, found), expectedSize);
    for (uint32_t id = 1028; id < 1040; id++) {
        char16_t buffer[8];
        EXPECT_EQ(LoadStringResource((PlatformInstance)module, id, buffer, 8), 0) << id;
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, WindowsModulesTest, ::testing::ValuesIn(Modules),
                         [](const ::testing::TestParamInfo<ModuleStrings>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
