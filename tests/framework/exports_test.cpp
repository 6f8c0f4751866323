// The exports as the host sees them: argument gates, information strings, attach, and the
// extension test that the name-accepting filters share.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "fake_filter.h"
#include "framework/entry.h"
#include "framework/environment.h"
#include "framework/plugin.h"
#include "framework/resources.h"
#include "platform/platform_testing.h"

namespace {

static int32_t VB_CALL IgnoreProgress(int32_t, int32_t, intptr_t) {
    return 0;
}

// On Windows a module instance is the HMODULE and the strings are the module's .rc table, which
// the test program does not have; windows_tests reads them through the built plug-ins.
const char* const ModuleInstanceReason =
    "the module instance is the HMODULE here, not the string table that the POSIX stand-in hands "
    "over at attach; windows_tests covers the information strings of the built plug-ins";

class ExportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        ResetFakeFilter();
    }
};

TEST_F(ExportsTest, AttachStoredThisModuleBeforeMain) {
#if defined(_WIN32)
    GTEST_SKIP() << ModuleInstanceReason;
#endif
    // The constructor that stands in for process attach has run by now.
    EXPECT_EQ(PluginInstance, (PlatformInstance)&ThisModuleResources);
}

TEST_F(ExportsTest, LibraryEntryActsOnlyOnProcessAttach) {
    static const PlatformModuleResources other = {"other.spi", nullptr, 0};
    PlatformInstance saved = PluginInstance;
    for (uint32_t reason : {0u, 2u, 3u, 99u}) {
        EXPECT_EQ(LibraryEntry(&other, reason, nullptr), 1) << reason;
        EXPECT_EQ(PluginInstance, saved) << reason;
    }

    // A fresh attach stores the instance and probes again.
    ResetEnvironmentForTesting();
    TestingDevice device;
    TestingGetDevice(&device);
    device.screenWidth = 240;
    TestingSetDevice(&device);
    EXPECT_EQ(LibraryEntry(&other, 1, nullptr), 1);
    EXPECT_EQ(PluginInstance, (PlatformInstance)&other);
    EXPECT_EQ(SmallScreen, 1);

    PluginInstance = saved;
    ResetEnvironmentForTesting();
}

TEST_F(ExportsTest, PictureExportsRefuseEveryInputKindButFileName) {
    PictureInfoRecord info;
    memset(&info, 0xA5, sizeof info);
    PictureInfoRecord untouched = info;
    void* header = (void*)(uintptr_t)0x1111;
    void* bits = (void*)(uintptr_t)0x2222;
    for (uint32_t flags : {1u, 2u, 3u, 4u, 7u, 9u, 0xFFFFFFFFu}) {
        EXPECT_EQ(GetPictureInfo(u"a.fak", 0, flags, &info), RESULT_NOT_IMPLEMENTED) << flags;
        EXPECT_EQ(GetPicture(u"a.fak", 0, flags, &header, &bits, IgnoreProgress, 7),
                  RESULT_NOT_IMPLEMENTED)
            << flags;
        EXPECT_EQ(GetPreview(u"a.fak", 0, flags, &header, &bits, IgnoreProgress, 7),
                  RESULT_NOT_IMPLEMENTED)
            << flags;
    }
    EXPECT_EQ(memcmp(&info, &untouched, sizeof info), 0);
    EXPECT_EQ(header, (void*)(uintptr_t)0x1111);
    EXPECT_EQ(bits, (void*)(uintptr_t)0x2222);
    EXPECT_EQ(FakeCalls.infoCount, 0);
    EXPECT_EQ(FakeCalls.decodeCount, 0);
}

TEST_F(ExportsTest, PictureExportsPassArgumentsAndAnswersThroughUnchanged) {
    const char16_t* name = u"picture.fak";
    PictureInfoRecord info;
    void* header = nullptr;
    void* bits = nullptr;
    // Bits above the input kind are ignored; every answer comes back as the filter gave it.
    for (uint32_t flags : {0u, 8u, 0xFFFFFFF8u}) {
        for (int32_t answer : {RESULT_OK, RESULT_ABORTED, RESULT_BROKEN_DATA, RESULT_FILE_ERROR}) {
            ResetFakeFilter();
            FakeAnswer = answer;
            EXPECT_EQ(GetPictureInfo(name, 1234, flags, &info), answer);
            EXPECT_EQ(FakeCalls.infoCount, 1);
            EXPECT_EQ(FakeCalls.fileName, name);
            EXPECT_EQ(FakeCalls.offset, 1234);
            EXPECT_EQ(FakeCalls.info, &info);

            using PictureExport = int32_t(VB_CALL*)(const char16_t*, int32_t, uint32_t, void**,
                                                    void**, ProgressNotifier, intptr_t);
            for (PictureExport decode : {&GetPicture, &GetPreview}) {
                ResetFakeFilter();
                FakeAnswer = answer;
                EXPECT_EQ(decode(name, -5, flags, &header, &bits, IgnoreProgress, -77), answer);
                EXPECT_EQ(FakeCalls.decodeCount, 1);
                EXPECT_EQ(FakeCalls.fileName, name);
                EXPECT_EQ(FakeCalls.offset, -5);
                EXPECT_EQ(FakeCalls.headerSlot, &header);
                EXPECT_EQ(FakeCalls.bitsSlot, &bits);
                EXPECT_EQ(FakeCalls.notifier, &IgnoreProgress);
                EXPECT_EQ(FakeCalls.userData, -77);
            }
        }
    }
    // A null notifier is the host's to pass; the filter gets it as it is.
    ResetFakeFilter();
    GetPicture(name, 0, 0, &header, &bits, nullptr, 0);
    EXPECT_EQ(FakeCalls.notifier, nullptr);
}

TEST_F(ExportsTest, IsSupportedServesOnlyBufferAddresses) {
    FakeAnswer = 1;
    // Values below 0x10000 are not addresses: nothing may read them.
    for (uintptr_t head : {(uintptr_t)0, (uintptr_t)1, (uintptr_t)0x8000, (uintptr_t)0xFFFF}) {
        EXPECT_EQ(IsSupported(u"a.fak", head), RESULT_NOT_IMPLEMENTED) << head;
    }
    EXPECT_EQ(FakeCalls.acceptCount, 0);

    const uint8_t buffer[8] = {'M', 'A', 'K', 'I', '0', '2', ' ', ' '};
    for (int32_t answer : {0, 1}) {
        ResetFakeFilter();
        FakeAnswer = answer;
        EXPECT_EQ(IsSupported(u"b.fak", (uintptr_t)buffer), answer);
        EXPECT_EQ(FakeCalls.acceptCount, 1);
        EXPECT_EQ(FakeCalls.fileHead, buffer);
    }
    // The smallest value that counts as an address is handed on as it is.
    ResetFakeFilter();
    IsSupported(u"c.fak", 0x10000);
    EXPECT_EQ(FakeCalls.fileHead, (const uint8_t*)(uintptr_t)0x10000);
}

std::u16string InfoString(int32_t number, int32_t capacity, int32_t* answer) {
    char16_t buffer[128];
    for (char16_t& unit : buffer) unit = u'#';
    *answer = GetPluginInfo(number, buffer, capacity);
    return std::u16string(buffer);
}

TEST_F(ExportsTest, PluginInfoCopiesTheNumberedStrings) {
#if defined(_WIN32)
    GTEST_SKIP() << ModuleInstanceReason;
#endif
    int32_t answer = 0;
    EXPECT_EQ(InfoString(0, 16, &answer), u"00IN");
    EXPECT_EQ(answer, 4);
    EXPECT_EQ(InfoString(1, 128, &answer), FakeDescription);
    EXPECT_EQ(answer, (int32_t)std::u16string(FakeDescription).size());
    EXPECT_EQ(InfoString(2, 128, &answer), FakePattern);
    EXPECT_EQ(answer, 5);
    EXPECT_EQ(InfoString(3, 128, &answer), FakePatternName);
    EXPECT_EQ(answer, 11);

    // Truncated to capacity - 1 units and always terminated.
    EXPECT_EQ(InfoString(0, 3, &answer), u"00");
    EXPECT_EQ(answer, 2);
    EXPECT_EQ(InfoString(0, 1, &answer), u"");
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(InfoString(3, 5, &answer), u"FAKE");
    EXPECT_EQ(answer, 4);

    // Numbers without a string.
    for (int32_t number : {4, 15, -1, -1024, 0x7FFFFFFF, (int32_t)0x80000000}) {
        char16_t buffer[16] = {u'#', 0};
        EXPECT_EQ(GetPluginInfo(number, buffer, 16), 0) << number;
    }
}

TEST_F(ExportsTest, PluginInfoWithoutBufferLooksUpTheResourceItself) {
#if defined(_WIN32)
    GTEST_SKIP() << ModuleInstanceReason;
#endif
    char16_t buffer[16];
    for (int32_t number = 0; number <= 3; number++) {
        // String resources live in blocks named by block number, so the strings' own numbers
        // find nothing.
        EXPECT_EQ(GetPluginInfo(number, nullptr, 16), 0) << number;
        EXPECT_EQ(GetPluginInfo(number, nullptr, 0), 0) << number;
        buffer[0] = u'#';
        EXPECT_EQ(GetPluginInfo(number, buffer, 0), 0) << number;
        EXPECT_EQ(buffer[0], u'#') << number;
    }
    // A number that lands on the block's name (65 = (1024 / 16) + 1) finds the block, whose
    // size is 16 length units plus the text of the strings it holds; only the low 16 bits of
    // the resource number count.
    uint32_t blockSize =
        16 * 2 + 2 * (4 + std::u16string(FakeDescription).size() +
                      std::u16string(FakePattern).size() + std::u16string(FakePatternName).size());
    EXPECT_EQ(GetPluginInfo(65 - 1024, nullptr, 0), (int32_t)blockSize);
    EXPECT_EQ(GetPluginInfo(65 - 1024 + 0x10000, nullptr, 0), (int32_t)blockSize);
}

TEST(EndsWithExtensionTest, MatchesTheEndOfLongerNamesInEitherCase) {
    struct Case {
        const char16_t* name;
        int32_t expected;
    } cases[] = {
        {u"a.tga", 1},
        {u"x.pcx.tga", 1},
        {u"PHOTO.TGA", 1},
        {u"Photo.TgA", 1},
        {u"C:\\My Documents\\pictures\\sea.tga", 1},
        {u"a.tgb", 0},
        {u".tga", 0},  // nothing but the extension
        {u"tga", 0},
        {u"", 0},
        {u"a.tga ", 0},
        {u"a.tga.bak", 0},
        {u"atga", 0},
        // Only ASCII letters fold: U+0130 and U+0131 are not "i", and "@" is not "`".
        {u"a.t\u0130a", 0},
        {u"a.@ga", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EndsWithExtension(c.name, u".tga"), c.expected)
            << std::string(c.name, c.name + std::u16string(c.name).size());
    }
    EXPECT_EQ(EndsWithExtension(u"a.tga", u".TGA"), 1);
    EXPECT_EQ(EndsWithExtension(u"a.`ga", u".@ga"), 0);
    EXPECT_EQ(EndsWithExtension(nullptr, u".tga"), 0);
    EXPECT_EQ(EndsWithExtension(u"a.tga", nullptr), 0);
}

}  // namespace
