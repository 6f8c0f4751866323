// vbplatform.dll on the Windows API: what the system itself decides (sharing, positions, the
// local heap, the device) and what the testing interface adds on top of it.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"

namespace {

class WindowsPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        liveBlocks = TestingLiveBlockCount();
    }
    void TearDown() override {
        TestingReset();
        EXPECT_EQ(TestingLiveBlockCount(), liveBlocks);
        RemoveTemporaryFiles();
    }
    int64_t liveBlocks = 0;
};

TEST_F(WindowsPlatformTest, BlocksAreZeroFilledFixedLocalBlocks) {
    uint8_t* block = (uint8_t*)AllocateBlock(1000);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(block[i], 0) << i;
    // A fixed block: the handle is its address, and the local heap knows its size.
    EXPECT_EQ(LocalHandle(block), (HLOCAL)block);
    EXPECT_GE(LocalSize(block), 1000u);
    EXPECT_EQ(TestingLiveBlockCount(), liveBlocks + 1);
    FreeBlock(block);

    void* empty = AllocateBlock(0);
    ASSERT_NE(empty, nullptr);
    void* other = AllocateBlock(0);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(empty, other);
    FreeBlock(other);
    FreeBlock(empty);
    FreeBlock(nullptr);
}

TEST_F(WindowsPlatformTest, HostFreesPlugInBlocksWithLocalFree) {
    // A host that frees with the system's LocalFree instead of the platform works too; only the
    // testing counter does not see it.
    void* block = AllocateBlock(16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LocalFree(block), nullptr);
    FreeBlock(AllocateBlock(1));  // the heap is still sound
    liveBlocks += 1;              // the counter still holds the block freed behind its back
}

TEST_F(WindowsPlatformTest, PlannedAllocationFailureHitsOnlyThatCall) {
    TestingFailAllocation(2);
    void* first = AllocateBlock(8);
    void* second = AllocateBlock(8);
    void* third = AllocateBlock(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    FreeBlock(third);
    FreeBlock(first);

    TestingSetAllocationLimit(100);
    EXPECT_EQ(AllocateBlock(101), nullptr);
    void* small = AllocateBlock(100);
    EXPECT_NE(small, nullptr);
    FreeBlock(small);
}

TEST_F(WindowsPlatformTest, FilesAreOpenedWithoutSharing) {
    std::u16string path = WriteTemporaryFile("shared.bin", {1, 2, 3});
    PlatformFile file = OpenFileForReading(path.c_str());
    ASSERT_NE(file, nullptr);
    // No sharing: neither a second reader nor a writer gets in while it is open.
    EXPECT_EQ(OpenFileForReading(path.c_str()), nullptr);
    HANDLE writer = CreateFileW((const wchar_t*)path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseFile(file);

    PlatformFile again = OpenFileForReading(path.c_str());
    EXPECT_NE(again, nullptr);
    CloseFile(again);
    EXPECT_EQ(OpenFileForReading((path + u".absent").c_str()), nullptr);
}

TEST_F(WindowsPlatformTest, ReadsAndPositionsFollowTheSystem) {
    std::u16string path = WriteTemporaryFile("positions.bin", {10, 11, 12, 13, 14});
    PlatformFile file = OpenFileForReading(path.c_str());
    ASSERT_NE(file, nullptr);
    uint8_t buffer[8] = {};
    uint32_t delivered = 99;
    EXPECT_EQ(SetFilePosition(file, 3, PLATFORM_SEEK_BEGIN), 3u);
    EXPECT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(delivered, 2u);
    EXPECT_EQ(buffer[0], 13);
    EXPECT_EQ(buffer[1], 14);
    // At the end: the call succeeds and delivers nothing.
    EXPECT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(delivered, 0u);
    // A move of 0 from the current position tells the position; a move below 0 fails and
    // leaves it.
    EXPECT_EQ(SetFilePosition(file, 0, PLATFORM_SEEK_CURRENT), 5u);
    EXPECT_EQ(SetFilePosition(file, -6, PLATFORM_SEEK_CURRENT), PLATFORM_INVALID_POSITION);
    EXPECT_EQ(SetFilePosition(file, 0, PLATFORM_SEEK_CURRENT), 5u);
    EXPECT_EQ(SetFilePosition(file, 100, PLATFORM_SEEK_BEGIN), 100u);

    TestingFailRead(1);
    EXPECT_EQ(SetFilePosition(file, 0, PLATFORM_SEEK_BEGIN), 0u);
    EXPECT_EQ(ReadFileBytes(file, buffer, 1, &delivered), 0);
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(ReadFileBytes(file, buffer, 1, &delivered), 1);
    EXPECT_EQ(buffer[0], 10);
    CloseFile(file);
}

TEST_F(WindowsPlatformTest, ServedFilesShadowTheDiskUntilReset) {
    std::u16string path = WriteTemporaryFile("served.bin", {1, 1, 1});
    const uint8_t served[4] = {7, 8, 9, 10};
    TestingServeFile(path.c_str(), served, sizeof served);
    PlatformFile file = OpenFileForReading(path.c_str());
    ASSERT_NE(file, nullptr);
    uint8_t buffer[8] = {};
    uint32_t delivered = 0;
    EXPECT_EQ(SetFilePosition(file, 1, PLATFORM_SEEK_BEGIN), 1u);
    EXPECT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(delivered, 3u);
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(SetFilePosition(file, -5, PLATFORM_SEEK_CURRENT), PLATFORM_INVALID_POSITION);
    CloseFile(file);

    TestingFailOpen(1);
    EXPECT_EQ(OpenFileForReading(path.c_str()), nullptr);
    TestingReset();
    file = OpenFileForReading(path.c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(delivered, 3u);
    EXPECT_EQ(buffer[0], 1);
    CloseFile(file);
}

TEST_F(WindowsPlatformTest, DeviceQueriesAskTheSystemUnlessOverridden) {
    HDC screen = GetDC(nullptr);
    ASSERT_NE(screen, nullptr);
    int bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(QueryDisplayBitsPerPixel(), bits);
    EXPECT_EQ(QueryScreenWidth(), GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(QueryDefaultLanguage(), GetSystemDefaultLangID());
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(&version));
    uint32_t major = 0, minor = 0;
    EXPECT_EQ(QuerySystemVersion(&major, &minor), 1);
    EXPECT_EQ(major, version.dwMajorVersion);
    EXPECT_EQ(minor, version.dwMinorVersion);

    TestingDevice device = {};
    device.displayBits = 2;
    device.screenWidth = 240;
    device.language = 0x0411;
    device.versionMajor = 1;
    device.versionMinor = 1;
    TestingSetDevice(&device);
    EXPECT_EQ(QueryDisplayBitsPerPixel(), 2);
    EXPECT_EQ(QueryScreenWidth(), 240);
    EXPECT_EQ(QueryDefaultLanguage(), 0x0411);
    EXPECT_EQ(QuerySystemVersion(&major, &minor), 1);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 1u);
    device.versionQueryFails = 1;
    TestingSetDevice(&device);
    EXPECT_EQ(QuerySystemVersion(&major, &minor), 0);

    TestingReset();
    EXPECT_EQ(QueryDisplayBitsPerPixel(), bits);
}

TEST_F(WindowsPlatformTest, PredefinedKeyReachesTheCurrentUser) {
    // The interface writes HKEY_CURRENT_USER as its 32-bit value; the system's own key is that
    // value sign-extended on 64-bit Windows.
    PlatformRegistryKey key = nullptr;
    ASSERT_EQ(
        OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software", 0, PLATFORM_KEY_ALL_ACCESS, &key),
        PLATFORM_ERROR_SUCCESS);
    EXPECT_EQ(CloseRegistryKey(key), PLATFORM_ERROR_SUCCESS);
    EXPECT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software\\No Such Key Here", 0,
                              PLATFORM_KEY_ALL_ACCESS, &key),
              PLATFORM_ERROR_FILE_NOT_FOUND);
}

TEST_F(WindowsPlatformTest, LibrariesLoadByNameUnlessBlocked) {
    PlatformLibrary library = LoadLibraryByName(u"KJMAP.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(FindLibrarySymbol(library, u"unicode2sjis"), nullptr);
    EXPECT_EQ(FindLibrarySymbol(library, u"missing"), nullptr);
    EXPECT_EQ(FindLibrarySymbol(library, u"unicode2sjis\u00e9"), nullptr);
    EXPECT_EQ(LoadLibraryByName(u"NO_SUCH_LIBRARY.DLL"), nullptr);
    TestingBlockLibraries(1);
    EXPECT_EQ(LoadLibraryByName(u"KJMAP.DLL"), nullptr);
}

TEST_F(WindowsPlatformTest, SystemCodePageConversionIsTheSystems) {
    // Measuring counts the terminator; a destination that is too small fails with 0.
    EXPECT_EQ(WideToSystemCodePage(u"abc", -1, nullptr, 0), 4);
    char narrow[8];
    EXPECT_EQ(WideToSystemCodePage(u"abc", -1, narrow, 8), 4);
    EXPECT_STREQ(narrow, "abc");
    EXPECT_EQ(WideToSystemCodePage(u"abc", -1, narrow, 2), 0);
    char16_t wide[8];
    EXPECT_EQ(SystemCodePageToWide("xyz", -1, nullptr, 0), 4);
    EXPECT_EQ(SystemCodePageToWide("xyz", -1, wide, 8), 4);
    EXPECT_EQ(std::u16string(wide), u"xyz");
    EXPECT_EQ(SystemCodePageToWide("xyz", -1, wide, 3), 0);
}

}  // namespace
