// The TGA reader's row routines and its two questions to the device: the run-length unpacker
// with packets carried across row ends, the 32-to-24 copy, the display-fitted depth and the
// "full color" setting.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform_testing.h"
#include "tga/tga_reader.h"
#include "tga_test_helpers.h"

namespace {

class TgaRowsTest : public ::testing::Test {
  protected:
    void SetUp() override { TestingReset(); }
};

// The paths the unpacking tests run along: with the checked mode built in, also those of x86-64
// processors without SSSE3, so that both kinds of 32-bit pixel copy are tested on this one.
std::vector<int32_t> PathsToTest() {
#if defined(VB_CHECKED_MODE)
    return {DECODE_PATHS_FASTEST, DECODE_PATHS_NO_SSSE3};
#else
    return {DECODE_PATHS_FASTEST};
#endif
}

// Unpacks `rows` rows of `width` pixels from one packet stream the way the decoder does: each
// row's window starts at the first byte the previous rows did not consume.
std::vector<uint8_t> UnpackRows(const std::vector<uint8_t>& stream, int32_t width, int32_t rows,
                                int32_t bytesPerPixel, std::vector<uint32_t>* consumedPerRow) {
    TgaPacketCarry carry;
    memset(&carry, 0, sizeof carry);
    const uint32_t windowBytes = (uint32_t)(width * (bytesPerPixel + 1));
    const size_t rowBytes = (size_t)width * UnpackedPixelBytes((uint32_t)bytesPerPixel);
    std::vector<uint8_t> out;
    size_t position = 0;
    for (int32_t r = 0; r < rows; r++) {
        // Window padded with zeros past the stream, as a short read leaves it; a guard byte
        // after the row catches writes past it.
        std::vector<uint8_t> window(windowBytes, 0);
        if (position < stream.size()) {
            size_t n = std::min(stream.size() - position, (size_t)windowBytes);
            memcpy(window.data(), &stream[position], n);
        }
        std::vector<uint8_t> row(rowBytes + 1, 0xCD);
        uint32_t consumed =
            UnpackTgaRow(window.data(), windowBytes, row.data(), width, bytesPerPixel, &carry);
        EXPECT_LE(consumed, windowBytes);
        EXPECT_EQ(row[rowBytes], 0xCD) << "wrote past row " << r;
        if (consumedPerRow) consumedPerRow->push_back(consumed);
        position += consumed;
        out.insert(out.end(), row.begin(), row.begin() + (ptrdiff_t)rowBytes);
    }
    return out;
}

TEST_F(TgaRowsTest, PacketsEndingAtRowEnds) {
    // Row 0: run of 3 x 7, raw 9 8. Row 1: raw 1 2 3 4 5.
    const std::vector<uint8_t> stream = {0x82, 7, 0x01, 9, 8, 0x04, 1, 2, 3, 4, 5};
    std::vector<uint32_t> consumed;
    std::vector<uint8_t> pixels = UnpackRows(stream, 5, 2, 1, &consumed);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{7, 7, 7, 9, 8, 1, 2, 3, 4, 5}));
    EXPECT_EQ(consumed, (std::vector<uint32_t>{5, 6}));
}

TEST_F(TgaRowsTest, MultiBytePixelsInRunsAndRawPackets) {
    for (int32_t bytesPerPixel : {3, 4}) {
        std::vector<uint8_t> a = {10, 20, 30, 40}, b = {50, 60, 70, 80}, c = {1, 2, 3, 4};
        a.resize(bytesPerPixel);
        b.resize(bytesPerPixel);
        c.resize(bytesPerPixel);
        std::vector<uint8_t> stream = {0x81};
        stream.insert(stream.end(), a.begin(), a.end());
        stream.push_back(0x01);
        stream.insert(stream.end(), b.begin(), b.end());
        stream.insert(stream.end(), c.begin(), c.end());
        // 32-bit pixels come out without their fourth byte.
        std::vector<uint8_t> expected;
        for (const auto* p : {&a, &a, &b, &c})
            expected.insert(expected.end(), p->begin(), p->begin() + 3);
        std::vector<uint32_t> consumed;
        EXPECT_EQ(UnpackRows(stream, 4, 1, bytesPerPixel, &consumed), expected);
        EXPECT_EQ(consumed[0], stream.size());
    }
}

TEST_F(TgaRowsTest, RunPacketCarriedIntoTheNextRows) {
    // A run of 12 over rows of 5: rows 0 and 1 entirely, then 2 pixels of row 2, which ends with
    // a raw packet of 3. The later rows consume no bytes for the carried part.
    const std::vector<uint8_t> stream = {0x8B, 0x44, 0x02, 1, 2, 3};
    std::vector<uint32_t> consumed;
    std::vector<uint8_t> pixels = UnpackRows(stream, 5, 3, 1, &consumed);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44,
                                            0x44, 0x44, 0x44, 1, 2, 3}));
    EXPECT_EQ(consumed, (std::vector<uint32_t>{2, 0, 4}));
}

TEST_F(TgaRowsTest, RawPacketCarriedIntoTheNextRow) {
    // A raw packet of 5 three-byte pixels over rows of 3: its last two pixels start row 1, whose
    // window begins with their bytes; then a run of 1.
    std::vector<uint8_t> stream = {0x04};
    for (uint8_t k = 0; k < 15; k++) stream.push_back((uint8_t)(100 + k));
    stream.insert(stream.end(), {0x80, 7, 8, 9});
    std::vector<uint32_t> consumed;
    std::vector<uint8_t> pixels = UnpackRows(stream, 3, 2, 3, &consumed);
    std::vector<uint8_t> expected;
    for (uint8_t k = 0; k < 15; k++) expected.push_back((uint8_t)(100 + k));
    expected.insert(expected.end(), {7, 8, 9});
    EXPECT_EQ(pixels, expected);
    EXPECT_EQ(consumed, (std::vector<uint32_t>{10, 10}));
}

TEST_F(TgaRowsTest, WorstCaseRowFillsTheWholeWindow) {
    // Single-pixel raw packets take width x (bytes per pixel + 1) bytes, the whole window; a
    // raw packet carried in and ending in single-pixel packets takes no more.
    const int32_t width = 6;
    std::vector<uint8_t> stream;
    for (int k = 0; k < width; k++)
        stream.insert(stream.end(), {0x00, (uint8_t)k, (uint8_t)(k + 50)});
    std::vector<uint32_t> consumed;
    std::vector<uint8_t> pixels = UnpackRows(stream, width, 1, 2, &consumed);
    EXPECT_EQ(consumed[0], (uint32_t)(width * 3));
    EXPECT_EQ(pixels[10], 5);
    EXPECT_EQ(pixels[11], 55);
}

TEST_F(TgaRowsTest, ZeroPixelsConsumeNothing) {
    TgaPacketCarry carry = {3, 1, {9, 9, 9, 9}};
    const uint8_t packed[4] = {0x80, 1, 2, 3};
    uint8_t row[4] = {0xCD, 0xCD, 0xCD, 0xCD};
    EXPECT_EQ(UnpackTgaRow(packed, sizeof packed, row, 0, 1, &carry), 0u);
    EXPECT_EQ(row[0], 0xCD);
    EXPECT_EQ(carry.pixelsDue, 3);
}

TEST_F(TgaRowsTest, PacketsTheWindowDoesNotHoldEndTheRowInBlack) {
    TgaPacketCarry carry;
    memset(&carry, 0, sizeof carry);
    // The raw packet wants 4 pixels of 3 bytes; only 2 bytes follow its count.
    const std::vector<uint8_t> window = {0x80, 1, 2, 3, 0x03, 4, 5};
    std::vector<uint8_t> row(3 * 5 + 1, 0xCD);
    uint32_t consumed =
        UnpackTgaRow(window.data(), (uint32_t)window.size(), row.data(), 5, 3, &carry);
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(std::vector<uint8_t>(row.begin(), row.begin() + 15),
              (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(row[15], 0xCD);
    // An empty window: a black row, nothing consumed.
    EXPECT_EQ(UnpackTgaRow(window.data(), 0, row.data(), 5, 3, &carry), 0u);
    EXPECT_EQ(row[0], 0);
}

TEST_F(TgaRowsTest, PacketsOfEveryLengthForEachPixelSize) {
    // One row of run packets and raw packets of 1 to 128 pixels, each pixel with its own value,
    // so a packet cut short or stretched (short packets, long ones and those near the end of
    // the row or of the window are stored differently) shows. The row ends with the longest
    // packets, the stream with the shortest.
    for (int32_t paths : PathsToTest()) {
        PathsInUse use(paths);
        SCOPED_TRACE("paths " + std::to_string(paths));
        for (int32_t bytesPerPixel : {1, 3, 4}) {
            for (bool longestLast : {true, false}) {
                std::vector<uint8_t> stream, expected;
                int32_t width = 0;
                for (int32_t i = 1; i <= 128; i++) {
                    const int32_t n = longestLast ? i : 129 - i;
                    std::vector<uint8_t> pixel;
                    for (int32_t b = 0; b < bytesPerPixel; b++)
                        pixel.push_back((uint8_t)(n * 7 + b * 50));
                    stream.push_back((uint8_t)(0x80 | (n - 1)));
                    stream.insert(stream.end(), pixel.begin(), pixel.end());
                    const int32_t kept = (int32_t)UnpackedPixelBytes((uint32_t)bytesPerPixel);
                    for (int32_t k = 0; k < n; k++)
                        expected.insert(expected.end(), pixel.begin(), pixel.begin() + kept);
                    stream.push_back((uint8_t)(n - 1));
                    for (int32_t k = 0; k < n * bytesPerPixel; k++) {
                        stream.push_back((uint8_t)(n + 3 * k));
                        if (k % bytesPerPixel < kept) expected.push_back((uint8_t)(n + 3 * k));
                    }
                    width += 2 * n;
                }
                std::vector<uint32_t> consumed;
                EXPECT_EQ(UnpackRows(stream, width, 1, bytesPerPixel, &consumed), expected)
                    << bytesPerPixel << " bytes a pixel";
                EXPECT_EQ(consumed[0], stream.size());
            }
        }
    }
}

TEST_F(TgaRowsTest, RandomPacketStreamsMatchAPlainUnpacker) {
    // Busy streams (short runs and raw packets at random, some of them long) over rows of
    // several widths, so packets cross row ends and the unpacker moves between its loops at
    // every place in a row; compared with a plain packet-by-packet unpacking of the same stream.
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    for (int32_t paths : PathsToTest()) {
        PathsInUse use(paths);
        SCOPED_TRACE("paths " + std::to_string(paths));
        for (int32_t bytesPerPixel : {1, 3, 4}) {
            for (int32_t width : {1, 150, 161, 333, 1000}) {
                const int32_t rows = 7;
                const uint32_t kept = UnpackedPixelBytes((uint32_t)bytesPerPixel);
                std::vector<uint8_t> stream, expected;
                while (expected.size() < (size_t)width * rows * kept) {
                    const uint32_t pixels = next(4) == 0 ? 1 + next(128) : 1 + next(6);
                    const bool run = next(2) == 0;
                    stream.push_back((uint8_t)((run ? 0x80 : 0) | (pixels - 1)));
                    for (uint32_t k = 0; k < (run ? 1 : pixels); k++) {
                        uint8_t pixel[4];
                        for (int32_t b = 0; b < bytesPerPixel; b++) pixel[b] = (uint8_t)next(256);
                        stream.insert(stream.end(), pixel, pixel + bytesPerPixel);
                        for (uint32_t copy = 0; copy < (run ? pixels : 1); copy++)
                            expected.insert(expected.end(), pixel, pixel + kept);
                    }
                }
                expected.resize((size_t)width * rows * kept);
                EXPECT_EQ(UnpackRows(stream, width, rows, bytesPerPixel, nullptr), expected)
                    << bytesPerPixel << " bytes a pixel, rows of " << width;
            }
        }
    }
}

// Packets with the pixels they give, for the tight-window cases below.
struct PacketStream {
    int32_t bytesPerPixel;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> pixels;  // unpacked
    uint8_t next = 1;
    uint32_t lastPacketBytes = 0;
    int32_t lastPacketPixels = 0;

    void Raw(int32_t count) {
        Start(count, 1u + (uint32_t)(count * bytesPerPixel));
        bytes.push_back((uint8_t)(count - 1));
        for (int32_t k = 0; k < count; k++) Pixel();
    }
    void Run(int32_t count) {
        Start(count, 1u + (uint32_t)bytesPerPixel);
        bytes.push_back((uint8_t)(0x80 | (count - 1)));
        const size_t at = pixels.size();
        Pixel();
        for (int32_t k = 1; k < count; k++) {
            for (uint32_t b = 0; b < UnpackedPixelBytes((uint32_t)bytesPerPixel); b++)
                pixels.push_back(pixels[at + b]);
        }
    }
    void Start(int32_t count, uint32_t packetBytes) {
        lastPacketPixels = count;
        lastPacketBytes = packetBytes;
    }
    void Pixel() {
        for (int32_t b = 0; b < bytesPerPixel; b++) {
            bytes.push_back(next);
            if ((uint32_t)b < UnpackedPixelBytes((uint32_t)bytesPerPixel)) pixels.push_back(next);
            next = (uint8_t)(next * 5 + 3);
        }
    }
};

TEST_F(TgaRowsTest, TightWindowsAreNeverReadOrWrittenPast) {
    // The packed bytes and the row each in a block of exactly their size, so that the sanitizers
    // see any read or write past them: a worst-case row filling its window exactly, the same one
    // byte short (its last packet is not whole: that pixel is black), and a long raw packet
    // whose last byte ends the window, after short packets and after a long run, with room left
    // in the row (the piece copies must not reach past the window).
    for (int32_t paths : PathsToTest()) {
        PathsInUse use(paths);
        SCOPED_TRACE("paths " + std::to_string(paths));
        for (int32_t bytesPerPixel : {1, 3, 4}) {
            const uint32_t pixelBytes = UnpackedPixelBytes((uint32_t)bytesPerPixel);
            for (int32_t width : {1, 2, 17, 130, 300}) {
                struct Case {
                    const char* name;
                    PacketStream stream;
                    uint32_t cut;  // bytes taken off the end of the stream
                };
                std::vector<Case> cases;
                PacketStream singles{bytesPerPixel, {}, {}};
                for (int32_t k = 0; k < width; k++) singles.Raw(1);
                cases.push_back({"exact window", singles, 0});
                cases.push_back({"one byte short", singles, 1});
                const int32_t raw = std::min(width, 128);
                PacketStream afterShort{bytesPerPixel, {}, {}};
                for (int32_t k = 0; k < width - raw; k++) {
                    if (k % 2) {
                        afterShort.Run(1);
                    } else {
                        afterShort.Raw(1);
                    }
                }
                afterShort.Raw(raw);
                cases.push_back({"raw packet ending the window", afterShort, 0});
                cases.push_back({"raw packet one byte short", afterShort, 1});
                // Raw packets of lengths that are no whole number of 16-byte pieces, with room for
                // pieces left in the row after them.
                for (int32_t length : {100, 127}) {
                    if (width - 1 - length < 16) continue;
                    PacketStream afterRun{bytesPerPixel, {}, {}};
                    afterRun.Run(1);
                    afterRun.Raw(length);
                    cases.push_back({"raw packet ending the window, row left over", afterRun, 0});
                }
                for (const Case& c : cases) {
                    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(bytesPerPixel) +
                                 " bytes a pixel, " + std::to_string(width) + " pixels");
                    const std::vector<uint8_t>& bytes = c.stream.bytes;
                    const uint32_t size = (uint32_t)bytes.size() - c.cut;
                    ASSERT_LE(size, (uint32_t)width * (uint32_t)(bytesPerPixel + 1));
                    std::unique_ptr<uint8_t[]> window(new uint8_t[size]);
                    memcpy(window.get(), bytes.data(), size);
                    const size_t rowBytes = (size_t)width * pixelBytes;
                    std::unique_ptr<uint8_t[]> row(new uint8_t[rowBytes]);
                    memset(row.get(), 0xCD, rowBytes);
                    TgaPacketCarry carry;
                    memset(&carry, 0, sizeof carry);
                    const uint32_t consumed =
                        UnpackTgaRow(window.get(), size, row.get(), width, bytesPerPixel, &carry);
                    // A packet cut short is not consumed, and it and the rest of the row are black.
                    std::vector<uint8_t> expected = c.stream.pixels;
                    expected.resize(rowBytes, 0);
                    uint32_t whole = (uint32_t)bytes.size();
                    if (c.cut) {
                        whole -= c.stream.lastPacketBytes;
                        const size_t lost = (size_t)c.stream.lastPacketPixels * pixelBytes;
                        std::fill(expected.begin() + (ptrdiff_t)(c.stream.pixels.size() - lost),
                                  expected.end(), 0);
                    }
                    EXPECT_EQ(consumed, whole);
                    EXPECT_EQ(std::vector<uint8_t>(row.get(), row.get() + rowBytes), expected);
                    EXPECT_EQ(carry.pixelsDue, 0);
                }
            }
        }
    }
}

TEST_F(TgaRowsTest, Copy32To24OfEveryShortRowLength) {
    for (int32_t count = 1; count <= 20; count++) {
        std::vector<uint8_t> from(4 * (size_t)count), expected;
        for (size_t i = 0; i < from.size(); i++) from[i] = (uint8_t)(i * 13 + 1);
        for (int32_t k = 0; k < count; k++) {
            expected.insert(expected.end(), from.begin() + 4 * k, from.begin() + 4 * k + 3);
        }
        // Nothing is written after the 24-bit pixels.
        std::vector<uint8_t> to(3 * (size_t)count + 4, 0xCD);
        expected.insert(expected.end(), 4, 0xCD);
        CopyPixels32To24(to.data(), from.data(), count);
        EXPECT_EQ(to, expected) << count << " pixels";
    }
}

TEST_F(TgaRowsTest, OutputDepthFollowsTheDisplayAskedEveryTime) {
    struct Case {
        int32_t displayBits, preferred, fitted;
    };
    const Case cases[] = {
        {0, 24, 2},   {1, 24, 2}, {2, 24, 2},  {4, 24, 2},   {8, 24, 8}, {8, 8, 8},    {15, 24, 24},
        {16, 24, 24}, {16, 8, 8}, {16, 16, 8}, {24, 24, 24}, {32, 8, 8}, {32, 32, 24},
    };
    for (const Case& c : cases) {
        SetDisplayBits(c.displayBits);
        EXPECT_EQ(ChooseOutputDepth(c.preferred), c.fitted)
            << c.displayBits << " display bits, preferred " << c.preferred;
    }
}

TEST_F(TgaRowsTest, FullColorIsReadAnewAndDefaultsToOn) {
    SetFullColor(-1);
    EXPECT_EQ(ReadFullColorSetting(), 1u);
    if (!SetFullColor(0)) GTEST_SKIP() << FullColorReason;
    EXPECT_EQ(ReadFullColorSetting(), 0u);
    SetFullColor(7);
    EXPECT_EQ(ReadFullColorSetting(), 7u);
    SetFullColor(1);
    EXPECT_EQ(ReadFullColorSetting(), 1u);
}

}  // namespace
