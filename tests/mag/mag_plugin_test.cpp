// vbmag.spi driven through its exports, as a viewer drives it: pictures written by the test
// encoder are served from memory and the delivered DIBs are compared byte for byte with DIBs
// built from the source pictures.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mag_test_helpers.h"
#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"
#include "tests/support/mag_encoder.h"

namespace {

const char16_t* const PictureName = u"picture.mag";

void PatchLe16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    bytes[at] = (uint8_t)value;
    bytes[at + 1] = (uint8_t)(value >> 8);
}

void PatchLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    PatchLe16(bytes, at, value & 0xFFFF);
    PatchLe16(bytes, at + 2, value >> 16);
}

// Units of 2 bytes: 4 pixels at 16 colours, 2 at 256.
int32_t PixelsPerUnit(const MagSourcePicture& picture) {
    return picture.fullColours ? 2 : 4;
}

void ClearUnit(MagSourcePicture& picture, int32_t row, int32_t unit) {
    const int32_t perUnit = PixelsPerUnit(picture);
    for (int32_t x = unit * perUnit; x < (unit + 1) * perUnit && x < picture.width; ++x) {
        picture.Set(x, row, 0);
    }
}

class MagPluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Plugin("vbmag").library, nullptr) << "vbmag.spi did not load";
        TestingReset();
        liveAtStart = TestingLiveBlockCount();
    }

    void TearDown() override {
        TestingReset();
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart) << "a block was left allocated";
    }

    void Serve(const std::vector<uint8_t>& bytes) { ServeFile("picture.mag", bytes); }

    // The notifier answers 1 once `stopAfter` calls have been answered (never when negative).
    DecodeRecord Decode(int32_t offset = 0, int32_t stopAfter = -1, bool preview = false) {
        DecodeOptions options;
        options.offset = offset;
        options.stopAfter = stopAfter;
        options.preview = preview;
        return ::Decode("vbmag", PictureName, options);
    }

    // The header block holds exactly the colours in use: 104 or 1064 bytes.
    void ExpectDib(const DecodeRecord& decoded, const ExpectedDib& expected) {
        ASSERT_EQ(decoded.result, RESULT_OK);
        EXPECT_EQ(decoded.header, expected.header);
        EXPECT_EQ(decoded.bits, expected.bits);
    }

    void ExpectRoundTrip(const MagSourcePicture& picture, const MagEncodeOptions& options = {}) {
        Serve(EncodeMag(picture, options).bytes);
        const DecodeRecord decoded = Decode();
        EXPECT_EQ(decoded.calls, ProgressCalls(Protocol::Mag, picture.height, picture.height));
        ExpectDib(decoded, ExpectedMagDib(picture, options.twoHundredLine));
    }

    int64_t liveAtStart = 0;
};

TEST_F(MagPluginTest, AcceptsTheSignatureWhateverTheName) {
    const LoadedPlugin& plugin = Plugin("vbmag");
    const char good[] = "MAKI02  \x00\x00\x00\x00";
    EXPECT_EQ(plugin.isSupported(u"photo.txt", (uintptr_t)good), 1);
    EXPECT_EQ(plugin.isSupported(u"", (uintptr_t)good), 1);
    // A value below 0x10000 is no buffer address; nothing is read.
    EXPECT_EQ(plugin.isSupported(u"picture.mag", 0x1234), -1);

    const char* const refused[] = {"MAKI01  rest", "MAKI02 xrest", "MAKI02\0  rest", "maki02  rest",
                                   "MAKI0"};
    for (const char* head : refused) {
        EXPECT_EQ(plugin.isSupported(u"picture.mag", (uintptr_t)head), 0) << head;
    }
}

TEST_F(MagPluginTest, InformationOfAPictureEmbeddedAtAnOffset) {
    MagSourcePicture picture = RandomMagPicture(96, 20, false, 4, 7);
    MagEncodeOptions options;
    // Shift-JIS "サンプル画像", handed over as it stands in the file.
    options.comment = "\x83\x54\x83\x93\x83\x76\x83\x8B\x89\xE6\x91\x9C";
    // The bytes before the picture would read as a MAG picture with another comment.
    const std::string decoy = "MAKI02  decoy\x1A";
    options.leading.assign(1000, 0x55);
    std::copy(decoy.begin(), decoy.end(), options.leading.begin());
    options.trailing.assign(300, 0x1A);
    const MagEncoded encoded = EncodeMag(picture, options);
    ASSERT_EQ(encoded.pictureOffset, 1000u);
    Serve(encoded.bytes);

    InfoReading info = ReadInfo("vbmag", PictureName, 1000);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.left, 0);
    EXPECT_EQ(info.record.top, 0);
    EXPECT_EQ(info.record.width, 96);
    EXPECT_EQ(info.record.height, 20);
    EXPECT_EQ(info.record.xDensity, 1);
    EXPECT_EQ(info.record.yDensity, 1);
    EXPECT_EQ(info.record.colourDepth, 4);
    // The text block holds the comment and its terminator.
    EXPECT_EQ(info.text, options.comment + '\0');

    const DecodeRecord decoded = Decode(1000);
    ExpectDib(decoded, ExpectedMagDib(picture, false));
}

TEST_F(MagPluginTest, InformationTextOfAnEmptyCommentIsEmpty) {
    Serve(EncodeMag(RandomMagPicture(16, 2, true, 3, 1)).bytes);
    InfoReading info = ReadInfo("vbmag", PictureName);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.text, std::string(1, '\0'));
    EXPECT_EQ(info.record.colourDepth, 8);
}

TEST_F(MagPluginTest, InformationTakesTheHeaderAsItStands) {
    // A 200-line picture reports its stored height; x start and y start count only through
    // the differences.
    MagEncodeOptions options;
    options.twoHundredLine = true;
    options.xStart = 13;
    options.yStart = -5;
    options.comment = "note";
    Serve(EncodeMag(RandomMagPicture(50, 30, true, 5, 2), options).bytes);
    InfoReading info = ReadInfo("vbmag", PictureName);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.width, 50);
    EXPECT_EQ(info.record.height, 30);
    EXPECT_EQ(info.record.colourDepth, 8);
    EXPECT_EQ(info.text, std::string("note", 5));
}

struct RoundTripCase {
    int32_t width;
    int32_t height;
    bool fullColours;
    uint32_t distinct;
};

TEST_F(MagPluginTest, RandomPicturesRoundTrip) {
    const RoundTripCase cases[] = {
        {1, 1, false, 16},    {3, 5, false, 2},     {7, 9, true, 3},      {8, 17, false, 16},
        {9, 33, true, 256},   {640, 40, false, 3},  {641, 40, false, 16}, {641, 20, true, 4},
        {2048, 20, false, 2}, {2100, 18, false, 5}, {1024, 20, true, 2},  {1030, 19, true, 7},
        {37, 64, false, 1},   {5, 3, true, 1},
    };
    uint32_t seed = 11;
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.width << "x" << c.height << (c.fullColours ? " 256" : " 16")
                     << " colours, " << c.distinct << " values");
        ExpectRoundTrip(RandomMagPicture(c.width, c.height, c.fullColours, c.distinct, seed++));
    }
}

TEST_F(MagPluginTest, PatternPicturesRoundTrip) {
    ExpectRoundTrip(PatternMagPicture(640, 400, false));
    ExpectRoundTrip(PatternMagPicture(320, 100, true));
}

// For each code, a picture whose units repeat at exactly that code's distance, encoded with
// that code wherever the distance lies inside the picture and new data everywhere else.
TEST_F(MagPluginTest, EveryCopyCodeReachesItsOwnDistance) {
    const int bytesLeft[16] = {0, 2, 4, 8, 0, 2, 0, 2, 4, 0, 2, 4, 0, 2, 4, 0};
    const int rowsUp[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};
    for (bool full : {false, true}) {
        for (int code = 1; code < 16; ++code) {
            SCOPED_TRACE(testing::Message() << "code " << code << (full ? " at 256" : " at 16"));
            MagSourcePicture picture = RandomMagPicture(48, 40, full, full ? 256 : 16, 100 + code);
            const int32_t perUnit = PixelsPerUnit(picture);
            const int dx = bytesLeft[code] / 2 * perUnit;
            const int dy = rowsUp[code];
            auto repeats = [&](int32_t row, int32_t unit) {
                return row >= dy && unit * perUnit >= dx;
            };
            for (int32_t y = dy; y < picture.height; ++y) {
                for (int32_t x = dx; x < picture.width; ++x) {
                    picture.Set(x, y, picture.At(x - dx, y - dy));
                }
            }
            MagEncodeOptions options;
            options.forceCode = [&](int32_t row, int32_t unit) {
                return repeats(row, unit) ? code : 0;
            };
            const MagEncoded encoded = EncodeMag(picture, options);
            const int32_t units = picture.width / perUnit;
            EXPECT_EQ(encoded.codeCount[code],
                      (uint64_t)(picture.height - dy) * (units - dx / perUnit));
            Serve(encoded.bytes);
            ExpectDib(Decode(), ExpectedMagDib(picture, false));
        }
    }
}

TEST_F(MagPluginTest, EncoderChoicesCoverEveryCode) {
    // Few values and a shuffled preference give every code its turn in ordinary encoding.
    uint64_t used[16] = {};
    for (uint32_t seed = 0; seed < 6; ++seed) {
        MagSourcePicture picture = RandomMagPicture(64, 48, seed % 2 == 1, 2, 300 + seed);
        MagEncodeOptions options;
        for (int code = 15; code >= 1; --code) options.codeOrder.push_back(code);
        std::rotate(options.codeOrder.begin(), options.codeOrder.begin() + seed * 2,
                    options.codeOrder.end());
        const MagEncoded encoded = EncodeMag(picture, options);
        for (int code = 0; code < 16; ++code) used[code] += encoded.codeCount[code];
        Serve(encoded.bytes);
        ExpectDib(Decode(), ExpectedMagDib(picture, false));
    }
    for (int code = 0; code < 16; ++code) EXPECT_GT(used[code], 0u) << "code " << code;
}

TEST_F(MagPluginTest, CopiesFromOutsideThePictureReadZero) {
    MagSourcePicture picture = RandomMagPicture(40, 12, false, 15, 5);
    for (auto& pixel : picture.pixels) pixel = (uint8_t)(pixel + 1);  // no unit is all zero
    MagSourcePicture expected = picture;
    // Top row: above it lies nothing. Bottom row, first unit: before the block. Any other
    // row's first unit with code 1: the end of the row below, not decoded yet.
    MagEncodeOptions options;
    options.forceCode = [&](int32_t row, int32_t unit) {
        if (row == 0) return unit % 2 ? 4 : 15;
        if (unit == 0 && row == picture.height - 1) return 3;
        if (unit == 0 && row == 5) return 1;
        return -1;
    };
    for (int32_t unit = 0; unit < 10; ++unit) ClearUnit(expected, 0, unit);
    ClearUnit(expected, picture.height - 1, 0);
    ClearUnit(expected, 5, 0);
    Serve(EncodeMag(picture, options).bytes);
    ExpectDib(Decode(), ExpectedMagDib(expected, false));
}

TEST_F(MagPluginTest, TwoHundredLinePicturesAreDoubled) {
    MagEncodeOptions options;
    options.twoHundredLine = true;
    const MagSourcePicture picture = PatternMagPicture(640, 200, false);
    Serve(EncodeMag(picture, options).bytes);
    const DecodeRecord decoded = Decode();
    EXPECT_EQ(decoded.calls, ProgressCalls(Protocol::Mag, 200, 200));
    EXPECT_EQ(HeaderField(decoded.header, 8), 400);
    ExpectDib(decoded, ExpectedMagDib(picture, true));

    ExpectRoundTrip(RandomMagPicture(33, 7, true, 3, 9), options);
    ExpectRoundTrip(RandomMagPicture(1, 1, false, 16, 9), options);

    // In a short doubled picture, eight rows up lands in the second half of the bits block,
    // not decoded into yet, and sixteen rows up beyond the block: both read 0.
    MagSourcePicture shortPicture = RandomMagPicture(16, 6, false, 15, 10);
    for (auto& pixel : shortPicture.pixels) pixel = (uint8_t)(pixel + 1);
    MagSourcePicture expected = shortPicture;
    options.forceCode = [](int32_t row, int32_t unit) {
        if (row == 3 && unit == 1) return 15;
        if (row == 4 && unit == 2) return 12;
        return -1;
    };
    ClearUnit(expected, 3, 1);
    ClearUnit(expected, 4, 2);
    Serve(EncodeMag(shortPicture, options).bytes);
    ExpectDib(Decode(), ExpectedMagDib(expected, true));
}

TEST_F(MagPluginTest, PreviewGivesTheSameAsPicture) {
    const MagSourcePicture picture = RandomMagPicture(70, 9, true, 6, 4);
    Serve(EncodeMag(picture).bytes);
    const ExpectedDib expected = ExpectedMagDib(picture, false);
    const DecodeRecord preview = Decode(0, -1, true);
    EXPECT_EQ(preview.calls, ProgressCalls(Protocol::Mag, 9, 9));
    ExpectDib(preview, expected);

    const DecodeRecord aborted = Decode(0, 1, true);
    EXPECT_EQ(aborted.result, RESULT_ABORTED);
}

TEST_F(MagPluginTest, DecodesWithoutANotifier) {
    const MagSourcePicture picture = RandomMagPicture(24, 24, false, 4, 8);
    Serve(EncodeMag(picture).bytes);
    DecodeOptions silent;
    silent.notifier = false;
    ExpectDib(::Decode("vbmag", PictureName, silent), ExpectedMagDib(picture, false));
}

TEST_F(MagPluginTest, AbortAfterTheFirstRow) {
    for (bool doubled : {false, true}) {
        MagEncodeOptions options;
        options.twoHundredLine = doubled;
        Serve(EncodeMag(RandomMagPicture(64, 30, false, 4, 12), options).bytes);
        // The answer to the call before the first row does not count; the one after it does.
        const DecodeRecord decoded = Decode(0, 1);
        EXPECT_EQ(decoded.result, RESULT_ABORTED);
        EXPECT_EQ(decoded.calls, ProgressCalls(Protocol::Mag, 30, 1));
        EXPECT_EQ(decoded.blocksLeft, 0);
    }
    // A notifier that always says stop: the first answer is ignored.
    Serve(EncodeMag(RandomMagPicture(8, 3, true, 4, 12)).bytes);
    const DecodeRecord decoded = Decode(0, 0);
    EXPECT_EQ(decoded.result, RESULT_ABORTED);
    EXPECT_EQ(decoded.calls.size(), 3u);
}

TEST_F(MagPluginTest, FailingOpenReadOrAllocation) {
    MagEncodeOptions options;
    options.comment = "abc";
    Serve(EncodeMag(RandomMagPicture(40, 10, true, 8, 13), options).bytes);

    TestingFailOpen(1);
    {
        const DecodeRecord decoded = Decode();
        EXPECT_EQ(decoded.result, RESULT_FILE_ERROR);
        EXPECT_EQ(decoded.headerSlot, UntouchedSlot);
        EXPECT_EQ(decoded.bitsSlot, UntouchedSlot);
        EXPECT_TRUE(decoded.calls.empty());
        EXPECT_EQ(ReadInfo("vbmag", PictureName).result, RESULT_FILE_ERROR);
    }
    TestingFailOpen(0);

    // Count the reads and allocations of a good decode, then fail each in turn: one refill holds
    // the whole small file; header, bits and data blocks.
    const DecodeRecord good = Decode();
    ASSERT_EQ(good.result, RESULT_OK);
    EXPECT_EQ(good.reads, 1);
    EXPECT_EQ(good.allocations, 3);

    for (int64_t nth = 1; nth <= good.reads; ++nth) {
        SCOPED_TRACE(testing::Message() << "read " << nth);
        TestingFailRead(nth);
        const DecodeRecord decoded = Decode();
        EXPECT_EQ(decoded.result, RESULT_FILE_ERROR);
        EXPECT_TRUE(decoded.calls.empty());
        EXPECT_EQ(decoded.blocksLeft, 0);
        TestingFailRead(0);
    }
    for (int64_t nth = 1; nth <= good.allocations; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth);
        TestingFailAllocation(nth);
        const DecodeRecord decoded = Decode();
        EXPECT_EQ(decoded.result, RESULT_MEMORY_ERROR);
        EXPECT_TRUE(decoded.calls.empty());
        // The failed block's slot receives a null handle.
        if (nth == 1) {
            EXPECT_EQ(decoded.headerSlot, nullptr);
            EXPECT_EQ(decoded.bitsSlot, UntouchedSlot);
        }
        if (nth == 2) {
            EXPECT_EQ(decoded.bitsSlot, nullptr);
        }
        EXPECT_EQ(decoded.blocksLeft, 0);
        TestingFailAllocation(0);
    }

    // The information reader: one refill for the signature, the comment, the comment again and
    // the header; one block.
    const InfoReading info = ReadInfo("vbmag", PictureName);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.reads, 1);
    for (int64_t nth = 1; nth <= info.reads; ++nth) {
        TestingFailRead(nth);
        const InfoReading failed = ReadInfo("vbmag", PictureName);
        EXPECT_EQ(failed.result, RESULT_FILE_ERROR) << nth;
        EXPECT_EQ(failed.blocksLeft, 0);
        TestingFailRead(0);
    }
    TestingFailAllocation(1);
    EXPECT_EQ(ReadInfo("vbmag", PictureName).result, RESULT_MEMORY_ERROR);
    TestingFailAllocation(0);
}

TEST_F(MagPluginTest, FileEndingInsideTheCommentArea) {
    const std::vector<uint8_t> bytes = {'M', 'A', 'K', 'I', '0', '2', ' ', ' ', 'a', 'b'};
    Serve(bytes);
    EXPECT_EQ(ReadInfo("vbmag", PictureName).result, RESULT_FILE_ERROR);
    const DecodeRecord decoded = Decode();
    EXPECT_EQ(decoded.result, RESULT_FILE_ERROR);
    EXPECT_TRUE(decoded.calls.empty());
    // An offset past the end of the file meets the end at once.
    Serve(EncodeMag(RandomMagPicture(8, 8, false, 3, 1)).bytes);
    EXPECT_EQ(Decode(100000).result, RESULT_FILE_ERROR);
}

TEST_F(MagPluginTest, InformationUpToTheLastFilePositionAtAnOffset) {
    // Signature, a comment area of the 0x1A alone and the header: 41 bytes, placed so that the
    // header ends exactly at the largest file position 2^31 - 1 (in a sparse file), reads; one
    // byte further it would pass that position, a file error.
    const MagEncoded encoded = EncodeMag(RandomMagPicture(24, 3, true, 4, 5));
    const std::vector<uint8_t> lead(encoded.bytes.begin() + encoded.pictureOffset,
                                    encoded.bytes.begin() + encoded.headerOffset + 32);
    ASSERT_EQ(lead.size(), 41u);
    const int64_t edge = 0x7FFFFFFF - (int64_t)lead.size();
    for (int64_t further : {0, 1}) {
        SCOPED_TRACE(further ? "one byte further" : "at the edge");
        const std::u16string name = WriteTemporaryFile("edge.mag", {});
        {
            std::ofstream out(std::filesystem::path(name), std::ios::binary | std::ios::in);
            out.seekp(edge + further);
            out.write((const char*)lead.data(), (std::streamsize)lead.size());
            ASSERT_TRUE(out.good()) << "cannot write a sparse file of 2 GB";
        }
        const InfoReading info = ReadInfo("vbmag", name, (int32_t)(edge + further));
        if (further) {
            EXPECT_EQ(info.result, RESULT_FILE_ERROR);
        } else {
            ASSERT_EQ(info.result, RESULT_OK);
            EXPECT_EQ(info.record.width, 24);
            EXPECT_EQ(info.record.height, 3);
            EXPECT_EQ(info.text, std::string(1, '\0'));
        }
        EXPECT_EQ(info.blocksLeft, 0);
        RemoveTemporaryFiles();
    }
}

TEST_F(MagPluginTest, BytesTheFileLacksReadZero) {
    // Every unit from the pixel stream, so cutting the file's end clears the last units.
    MagSourcePicture picture = RandomMagPicture(32, 6, false, 16, 14);
    for (auto& pixel : picture.pixels) pixel = (uint8_t)(pixel | 1);
    MagEncodeOptions options;
    options.forceCode = [](int32_t, int32_t) { return 0; };
    MagEncoded encoded = EncodeMag(picture, options);
    encoded.bytes.resize(encoded.bytes.size() - 6);  // three units of the bottom row
    MagSourcePicture expected = picture;
    for (int32_t unit = 5; unit < 8; ++unit) ClearUnit(expected, 5, unit);
    Serve(encoded.bytes);
    ExpectDib(Decode(), ExpectedMagDib(expected, false));

    // A file that stops right after the 0x1A: an all-zero header is a 1x1 picture at 16
    // colours with no data.
    const std::vector<uint8_t> bare = {'M', 'A', 'K', 'I', '0', '2', ' ', ' ', 0x1A};
    Serve(bare);
    MagSourcePicture black = MakeMagPicture(1, 1, false);
    std::fill(black.palette.begin(), black.palette.end(), 0);
    ExpectDib(Decode(), ExpectedMagDib(black, false));
}

TEST_F(MagPluginTest, HeadersThatCannotBeDecoded) {
    const MagEncoded encoded = EncodeMag(RandomMagPicture(16, 4, false, 4, 15));
    const size_t header = encoded.headerOffset;
    struct Damage {
        size_t at;
        uint32_t value;
        int bytes;
        int32_t result;
    };
    const Damage damages[] = {
        {header + 8, 0xFFFE, 2, RESULT_BROKEN_DATA},         // x end below x start: width -1
        {header + 8, 0xFFFF, 2, RESULT_BROKEN_DATA},         // width 0
        {header + 10, 0xFFFF, 2, RESULT_BROKEN_DATA},        // height 0
        {header + 28, 0xFFFF0000u, 4, RESULT_BROKEN_DATA},   // data size below 0
        {header + 12, 0x7FFFFFF0u, 4, RESULT_BROKEN_DATA},   // flag A beyond the pixel data
        {header + 28, 0x7FFFFFFFu, 4, RESULT_MEMORY_ERROR},  // data block of 2^31 and more
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(testing::Message() << "byte " << damage.at - header);
        std::vector<uint8_t> bytes = encoded.bytes;
        if (damage.bytes == 2) {
            PatchLe16(bytes, damage.at, damage.value);
        } else {
            PatchLe32(bytes, damage.at, damage.value);
        }
        Serve(bytes);
        const DecodeRecord decoded = Decode();
        EXPECT_EQ(decoded.result, damage.result);
        EXPECT_EQ(decoded.allocations, 0) << "allocated before refusing";
        EXPECT_EQ(decoded.headerSlot, UntouchedSlot);
        EXPECT_EQ(decoded.bitsSlot, UntouchedSlot);
        EXPECT_TRUE(decoded.calls.empty());
    }

    // The information reader checks nothing and reports what the header says.
    std::vector<uint8_t> bytes = encoded.bytes;
    PatchLe16(bytes, header + 8, 0xFFF0);  // x end -16
    Serve(bytes);
    InfoReading info = ReadInfo("vbmag", PictureName);
    ASSERT_EQ(info.result, RESULT_OK);
    EXPECT_EQ(info.record.width, -15);

    // 65536 x 65536 at 256 colours needs a bits block of 2^32 bytes.
    bytes = encoded.bytes;
    bytes[header + 3] = 0x80;
    PatchLe16(bytes, header + 4, 0x8000);
    PatchLe16(bytes, header + 6, 0x8000);
    PatchLe16(bytes, header + 8, 0x7FFF);
    PatchLe16(bytes, header + 10, 0x7FFF);
    Serve(bytes);
    const DecodeRecord decoded = Decode();
    EXPECT_EQ(decoded.result, RESULT_MEMORY_ERROR);
    EXPECT_EQ(decoded.allocations, 0);
}

TEST_F(MagPluginTest, EmptyDataBlockGivesBlankRows) {
    const MagSourcePicture picture = RandomMagPicture(24, 5, true, 9, 16);
    MagEncoded encoded = EncodeMag(picture);
    // Pixel offset + pixel size = flag A offset: nothing to read, every flag and pixel 0.
    const size_t header = encoded.headerOffset;
    PatchLe32(encoded.bytes, header + 24, 32 + 768);
    PatchLe32(encoded.bytes, header + 28, 0);
    Serve(encoded.bytes);
    MagSourcePicture blank = picture;
    std::fill(blank.pixels.begin(), blank.pixels.end(), 0);
    ExpectDib(Decode(), ExpectedMagDib(blank, false));
}

}  // namespace
