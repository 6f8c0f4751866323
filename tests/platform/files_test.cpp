#include <gtest/gtest.h>

#include <string>

#include "platform/platform_testing.h"
#include "platform_test_support.h"
#include "tests/support/decode_harness.h"

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { TestingReset(); }
    void TearDown() override { TestingReset(); }

    TemporaryFolder folder;
};

static std::string ReadAll(PlatformFile file, uint32_t chunk) {
    std::string bytes;
    for (;;) {
        char buffer[64];
        uint32_t delivered = 12345;
        if (ReadFileBytes(file, buffer, chunk, &delivered) != 1) return "<read failed>";
        bytes.append(buffer, delivered);
        if (delivered < chunk) return bytes;
    }
}

TEST_F(FilesTest, OpensNonAsciiNameAndReadsToTheEnd) {
    std::string path = folder.Write("写真 é.tga", "0123456789");
    std::u16string name = Utf16(path);
    PlatformFile file = OpenFileForReading(name.c_str());
    ASSERT_NE(file, nullptr);
    int64_t reads = TestingReadCount();
    // The last read meets the end: it succeeds with fewer bytes; a further one gives none.
    EXPECT_EQ(ReadAll(file, 4), "0123456789");
    char byte;
    uint32_t delivered = 99;
    EXPECT_EQ(ReadFileBytes(file, &byte, 1, &delivered), 1);
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(TestingReadCount(), reads + 4);
    CloseFile(file);
}

TEST_F(FilesTest, RefusesWhatIsNotAnExistingRegularFile) {
    EXPECT_EQ(OpenFileForReading(Utf16(folder.path() + "/missing.tga").c_str()), nullptr);
    EXPECT_EQ(OpenFileForReading(Utf16(folder.path()).c_str()), nullptr);  // a directory
    EXPECT_EQ(OpenFileForReading(u""), nullptr);
    EXPECT_EQ(OpenFileForReading(nullptr), nullptr);
    const char16_t loneSurrogate[] = {u'/', 0xD800, u'x', 0};
    EXPECT_EQ(OpenFileForReading(loneSurrogate), nullptr);
}

// The same moves on a disk file and on a served one must give the same answers.
static void CheckMoves(PlatformFile file) {
    char buffer[8];
    uint32_t delivered = 0;
    EXPECT_EQ(SetFilePosition(file, 3, PLATFORM_SEEK_BEGIN), 3u);
    EXPECT_EQ(SetFilePosition(file, 2, PLATFORM_SEEK_CURRENT), 5u);
    ASSERT_EQ(ReadFileBytes(file, buffer, 2, &delivered), 1);
    EXPECT_EQ(std::string(buffer, delivered), "56");
    EXPECT_EQ(SetFilePosition(file, -3, 2), 7u);
    // A target before the start fails and leaves the position where it was.
    EXPECT_EQ(SetFilePosition(file, -8, PLATFORM_SEEK_CURRENT), PLATFORM_INVALID_POSITION);
    EXPECT_EQ(SetFilePosition(file, -1, PLATFORM_SEEK_BEGIN), PLATFORM_INVALID_POSITION);
    EXPECT_EQ(SetFilePosition(file, -11, 2), PLATFORM_INVALID_POSITION);
    EXPECT_EQ(SetFilePosition(file, 0, 3), PLATFORM_INVALID_POSITION);
    ASSERT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(std::string(buffer, delivered), "789");
    // Past the end is a valid place to be; reads there deliver nothing.
    EXPECT_EQ(SetFilePosition(file, 100, PLATFORM_SEEK_BEGIN), 100u);
    ASSERT_EQ(ReadFileBytes(file, buffer, 8, &delivered), 1);
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(SetFilePosition(file, -10, 2), 0u);
}

TEST_F(FilesTest, MovesOnDisk) {
    std::string path = folder.Write("moves.bin", "0123456789");
    PlatformFile file = OpenFileForReading(Utf16(path).c_str());
    ASSERT_NE(file, nullptr);
    CheckMoves(file);
    CloseFile(file);
}

TEST_F(FilesTest, MixedReadsAndMovesOnALargeFileMatchTheBytes) {
    // Read as the decoders do: rows of a few kilobytes, moves back to where a row's packets
    // ended, single bytes, large reads and reads that run past the end. The disk file (the
    // stand-in's descriptor) and a served copy of the same bytes (the testing layer's) must give
    // the same answers at every step.
    std::string bytes(400000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (char)((i * 7 + i / 251) & 0xFF);
    std::string path = folder.Write("large.bin", bytes);
    TestingServeFile(u"memory:large", bytes.data(), bytes.size());
    PlatformFile disk = OpenFileForReading(Utf16(path).c_str());
    PlatformFile served = OpenFileForReading(u"memory:large");
    ASSERT_NE(disk, nullptr);
    ASSERT_NE(served, nullptr);
    uint32_t state = 12345;
    auto next = [&](uint32_t range) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % range;
    };
    std::string fromDisk(300000, '\0'), fromServed(300000, '\0');
    uint64_t position = 0;
    for (int step = 0; step < 400; step++) {
        uint32_t kind = next(10);
        if (kind < 6) {
            static const uint32_t sizes[] = {1, 17, 4096, 12289, 131072, 140000, 300000};
            uint32_t count = sizes[next(kind < 4 ? 4 : 7)];
            uint32_t gotDisk = 0, gotServed = 0;
            ASSERT_EQ(ReadFileBytes(disk, &fromDisk[0], count, &gotDisk), 1);
            ASSERT_EQ(ReadFileBytes(served, &fromServed[0], count, &gotServed), 1);
            ASSERT_EQ(gotDisk, gotServed) << "step " << step;
            uint64_t expected = position < bytes.size() ? bytes.size() - position : 0;
            ASSERT_EQ(gotDisk, expected < count ? expected : count) << "step " << step;
            if (gotDisk > 0) {
                ASSERT_EQ(fromDisk.compare(0, gotDisk, bytes, (size_t)position, gotDisk), 0)
                    << "step " << step << " at " << position;
            }
            ASSERT_EQ(fromServed.compare(0, gotServed, fromDisk, 0, gotDisk), 0);
            position += gotDisk;
        } else if (kind < 8) {
            // Back to somewhere behind, as after a row of run-length packets.
            int32_t back = -(int32_t)next(20000);
            uint32_t to = SetFilePosition(disk, back, PLATFORM_SEEK_CURRENT);
            ASSERT_EQ(to, SetFilePosition(served, back, PLATFORM_SEEK_CURRENT));
            if (to != PLATFORM_INVALID_POSITION) position = to;
        } else {
            int32_t target = (int32_t)next(420000);
            ASSERT_EQ(SetFilePosition(disk, target, PLATFORM_SEEK_BEGIN), (uint32_t)target);
            ASSERT_EQ(SetFilePosition(served, target, PLATFORM_SEEK_BEGIN), (uint32_t)target);
            position = (uint64_t)target;
        }
    }
    CloseFile(disk);
    CloseFile(served);
}

TEST_F(FilesTest, ServedFilesTakePrecedenceAndAreCopied) {
    std::string path = folder.Write("served.bin", "from the disk");
    std::u16string name = Utf16(path);
    char bytes[] = "0123456789";
    TestingServeFile(name.c_str(), bytes, 10);
    bytes[0] = 'X';  // the layer holds its own copy
    PlatformFile file = OpenFileForReading(name.c_str());
    ASSERT_NE(file, nullptr);
    CheckMoves(file);
    // Removing the entry does not pull the bytes away from a file that is open.
    TestingServeFile(name.c_str(), nullptr, 0);
    EXPECT_EQ(SetFilePosition(file, 0, PLATFORM_SEEK_BEGIN), 0u);
    EXPECT_EQ(ReadAll(file, 7), "0123456789");
    CloseFile(file);

    file = OpenFileForReading(name.c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadAll(file, 64), "from the disk");
    CloseFile(file);

    // A name that exists nowhere on disk, an empty served file, and reset clearing them.
    TestingServeFile(u"memory:empty", "", 0);
    TestingServeFile(u"memory:one", "1", 1);
    file = OpenFileForReading(u"memory:empty");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadAll(file, 4), "");
    CloseFile(file);
    TestingClearServedFiles();
    EXPECT_EQ(OpenFileForReading(u"memory:one"), nullptr);
    TestingServeFile(u"memory:one", "1", 1);
    TestingReset();
    EXPECT_EQ(OpenFileForReading(u"memory:one"), nullptr);
}

TEST_F(FilesTest, PlannedFailures) {
    std::string path = folder.Write("fail.bin", "abcdef");
    std::u16string name = Utf16(path);
    TestingServeFile(u"memory:fail", "abcdef", 6);
    for (const std::u16string& which : {name, std::u16string(u"memory:fail")}) {
        TestingFailOpen(1);
        EXPECT_EQ(OpenFileForReading(which.c_str()), nullptr);
        EXPECT_EQ(OpenFileForReading(which.c_str()), nullptr);  // until switched off
        TestingFailOpen(0);
        PlatformFile file = OpenFileForReading(which.c_str());
        ASSERT_NE(file, nullptr);

        TestingFailRead(2);
        char buffer[4];
        uint32_t delivered = 99;
        EXPECT_EQ(ReadFileBytes(file, buffer, 2, &delivered), 1);
        EXPECT_EQ(delivered, 2u);
        EXPECT_EQ(ReadFileBytes(file, buffer, 2, &delivered), 0);
        EXPECT_EQ(delivered, 0u);
        // Only that call fails; the failed one did not move the position.
        EXPECT_EQ(ReadFileBytes(file, buffer, 2, &delivered), 1);
        EXPECT_EQ(std::string(buffer, delivered), "cd");
        CloseFile(file);
    }
    TestingFailOpen(1);
    TestingReset();
    PlatformFile file = OpenFileForReading(name.c_str());
    EXPECT_NE(file, nullptr);
    CloseFile(file);
}
