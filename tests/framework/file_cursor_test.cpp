// The file cursor and the decode frame on their own, over files served from memory: refills at
// the buffer's edge, the zero-fill past the end, the position limit, what the cursor knows once
// the file has ended, and the frame's blocks, module buffer and one exit.
#include "framework/file_cursor.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/bytes.h"
#include "framework/decode_frame.h"
#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"

namespace {

std::vector<uint8_t> Counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) bytes[i] = (uint8_t)(i * 7 + 1);
    return bytes;
}

class FileCursorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestingReset();
        openAtStart_ = TestingOpenFileCount();
    }
    void TearDown() override {
        EXPECT_EQ(TestingOpenFileCount(), openAtStart_);
        TestingReset();
    }

    // Opens a cursor with a buffer of `capacity` bytes over `bytes` at `origin`.
    void Open(const std::vector<uint8_t>& bytes, uint32_t capacity, int32_t origin = 0) {
        buffer_.assign(capacity, 0xEE);
        name_ = ServeFile("cursor.bin", bytes);
        ASSERT_EQ(OpenFileCursor(&cursor_, name_.c_str(), origin, buffer_.data(), capacity),
                  RESULT_OK);
    }
    std::vector<uint8_t> Read(uint32_t count, uint32_t* real = nullptr) {
        std::vector<uint8_t> out(count, 0xEE);
        EXPECT_EQ(ReadFileCursor(&cursor_, out.data(), count, real), RESULT_OK);
        return out;
    }

    FileCursor cursor_;
    std::vector<uint8_t> buffer_;
    std::u16string name_;
    int64_t openAtStart_ = 0;
};

TEST_F(FileCursorTest, RefillsAtTheBufferEdgeKeepWhatTheBufferHolds) {
    const std::vector<uint8_t> file = Counting(100);
    Open(file, 16);
    const int64_t reads = TestingReadCount();
    EXPECT_EQ(Read(10), std::vector<uint8_t>(file.begin(), file.begin() + 10));
    EXPECT_EQ(TestingReadCount() - reads, 1);
    // Ten bytes from position 10: 6 are in the buffer, moved to its front; one read adds 10.
    const uint8_t* peeked = PeekFileCursor(&cursor_, 10);
    ASSERT_NE(peeked, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(peeked, peeked + 10),
              std::vector<uint8_t>(file.begin() + 10, file.begin() + 20));
    EXPECT_EQ(peeked, buffer_.data());
    EXPECT_EQ(TestingReadCount() - reads, 2);
    EXPECT_EQ(FileCursorPosition(&cursor_), 10u);
    // A peek as large as the buffer; then the whole buffer's worth read across its edge.
    ASSERT_NE(PeekFileCursor(&cursor_, 16), nullptr);
#if !defined(VB_ASSERTS)
    // One byte more is refused; builds with the bounds checks stop there instead.
    EXPECT_EQ(PeekFileCursor(&cursor_, 17), nullptr);
#endif
    EXPECT_EQ(Read(15), std::vector<uint8_t>(file.begin() + 10, file.begin() + 25));
    // A read of at least the capacity goes straight to its destination: one call.
    const int64_t before = TestingReadCount();
    EXPECT_EQ(Read(40), std::vector<uint8_t>(file.begin() + 25, file.begin() + 65));
    EXPECT_LE(TestingReadCount() - before, 1);
    // Moving back inside what the buffer holds (positions 10 to 25) costs no read.
    const int64_t afterLarge = TestingReadCount();
    ASSERT_EQ(SeekFileCursor(&cursor_, 20), RESULT_OK);
    EXPECT_EQ(Read(5), std::vector<uint8_t>(file.begin() + 20, file.begin() + 25));
    EXPECT_EQ(TestingReadCount(), afterLarge);
    CloseFileCursor(&cursor_);
    CloseFileCursor(&cursor_);  // closing again does nothing
}

TEST_F(FileCursorTest, BytesPastTheEndReadZeroAndAreNotAskedForAgain) {
    const std::vector<uint8_t> file = Counting(20);
    Open(file, 16);
    ASSERT_EQ(SeekFileCursor(&cursor_, 10), RESULT_OK);
    EXPECT_EQ(FileCursorAtEnd(&cursor_), 0);
    uint32_t real = 99;
    std::vector<uint8_t> expected(file.begin() + 10, file.end());
    expected.resize(30, 0);
    EXPECT_EQ(Read(30, &real), expected);
    EXPECT_EQ(real, 10u);
    EXPECT_EQ(FileCursorAtEnd(&cursor_), 1);
    EXPECT_EQ(FileCursorBytesLeft(&cursor_, 1000), 0u);
    // Once the end is known, reads and peeks there make no read call and give zeros.
    const int64_t reads = TestingReadCount();
    EXPECT_EQ(Read(5, &real), std::vector<uint8_t>(5, 0));
    EXPECT_EQ(real, 0u);
    const uint8_t* peeked = PeekFileCursor(&cursor_, 16);
    ASSERT_NE(peeked, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(peeked, peeked + 16), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(Read(40), std::vector<uint8_t>(40, 0));
    EXPECT_EQ(TestingReadCount(), reads);
    // Back inside the file: its bytes again, and the bytes left from there.
    ASSERT_EQ(SeekFileCursor(&cursor_, 18), RESULT_OK);
    EXPECT_EQ(FileCursorAtEnd(&cursor_), 0);
    EXPECT_EQ(FileCursorBytesLeft(&cursor_, 1000), 2u);
    EXPECT_EQ(FileCursorBytesLeft(&cursor_, 1), 1u);
    EXPECT_EQ(Read(3), (std::vector<uint8_t>{file[18], file[19], 0}));
    // The byte search looks only at the bytes the file has.
    ASSERT_EQ(SeekFileCursor(&cursor_, 0), RESULT_OK);
    uint32_t passed = 0;
    EXPECT_EQ(SkipPastFileCursorByte(&cursor_, file[12], &passed), RESULT_OK);
    EXPECT_EQ(passed, 13u);
    EXPECT_EQ(FileCursorPosition(&cursor_), 13u);
    EXPECT_EQ(SkipPastFileCursorByte(&cursor_, 0, &passed), RESULT_FILE_ERROR);
    CloseFileCursor(&cursor_);
}

TEST_F(FileCursorTest, BytesLeftAsksForTheSizeOnceWhenTheEndIsNotKnown) {
    const std::vector<uint8_t> file = Counting(50);
    Open(file, 16, 5);
    EXPECT_EQ(FileCursorBytesLeft(&cursor_, 1000), 45u);
    ASSERT_EQ(SkipFileCursor(&cursor_, 40), RESULT_OK);
    EXPECT_EQ(FileCursorBytesLeft(&cursor_, 1000), 5u);
    // Asking moved the system's position: the next read still reads from the cursor's.
    EXPECT_EQ(Read(5), std::vector<uint8_t>(file.begin() + 45, file.end()));
    CloseFileCursor(&cursor_);
}

TEST_F(FileCursorTest, PositionsStopAtTheLargestFilePositionCountedFromTheFileStart) {
    // The origin lies 10 bytes before 2^31 - 1: positions up to 10 can be reached, and a read
    // may end there but not past it.
    const int32_t origin = (int32_t)LARGEST_FILE_POSITION - 10;
    Open(Counting(8), 16, origin);
    EXPECT_EQ(SeekFileCursor(&cursor_, 10), RESULT_OK);
    EXPECT_EQ(SeekFileCursor(&cursor_, 11), RESULT_FILE_ERROR);
    EXPECT_EQ(FileCursorPosition(&cursor_), 10u);
    EXPECT_EQ(SeekFileCursor(&cursor_, -1), RESULT_FILE_ERROR);
    ASSERT_EQ(SeekFileCursor(&cursor_, 4), RESULT_OK);
    EXPECT_EQ(SkipFileCursor(&cursor_, 7), RESULT_FILE_ERROR);
    std::vector<uint8_t> out(7);
    EXPECT_EQ(ReadFileCursor(&cursor_, out.data(), 7, nullptr), RESULT_FILE_ERROR);
    EXPECT_EQ(FileCursorPosition(&cursor_), 4u);
    uint32_t real = 99;
    // The file is far shorter than the origin: every byte up to the limit reads 0.
    EXPECT_EQ(ReadFileCursor(&cursor_, out.data(), 6, &real), RESULT_OK);
    EXPECT_EQ(real, 0u);
    EXPECT_EQ(FileCursorPosition(&cursor_), 10u);
    CloseFileCursor(&cursor_);

    // An origin outside 0 .. 2^31 - 1 leaves nothing open.
    FileCursor other;
    EXPECT_EQ(OpenFileCursor(&other, name_.c_str(), -1, buffer_.data(), 16), RESULT_FILE_ERROR);
    EXPECT_EQ(TestingOpenFileCount(), openAtStart_);
    CloseFileCursor(&other);
    EXPECT_EQ(OpenFileCursor(&other, u"no such file", 0, buffer_.data(), 16), RESULT_FILE_ERROR);
    CloseFileCursor(&other);
}

TEST_F(FileCursorTest, FailedReadCallsAreFileErrors) {
    const std::vector<uint8_t> file = Counting(40);
    Open(file, 16);
    TestingFailRead(1);
    std::vector<uint8_t> out(4);
    EXPECT_EQ(ReadFileCursor(&cursor_, out.data(), 4, nullptr), RESULT_FILE_ERROR);
    TestingFailRead(1);
    EXPECT_EQ(PeekFileCursor(&cursor_, 4), nullptr);
    TestingFailRead(1);
    EXPECT_EQ(SkipPastFileCursorByte(&cursor_, file[3], nullptr), RESULT_FILE_ERROR);
    // The next call reads again, from the right place.
    ASSERT_EQ(SeekFileCursor(&cursor_, 20), RESULT_OK);
    EXPECT_EQ(Read(4), std::vector<uint8_t>(file.begin() + 20, file.begin() + 24));
    TestingFailRead(1);
    std::vector<uint8_t> large(32);
    EXPECT_EQ(ReadFileCursor(&cursor_, large.data(), 32, nullptr), RESULT_FILE_ERROR);
    CloseFileCursor(&cursor_);
}

// ---- The decode frame -------------------------------------------------------------------------

class DecodeFrameTest : public FileCursorTest {
  protected:
    void SetUp() override {
        FileCursorTest::SetUp();
        liveAtStart_ = TestingLiveBlockCount();
        name_ = ServeFile("frame.bin", Counting(64));
    }
    void TearDown() override {
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_);
        FileCursorTest::TearDown();
    }
    int32_t OpenFrame(DecodeFrame* frame) {
        header_ = UntouchedSlot;
        bits_ = UntouchedSlot;
        return OpenDecodeFrame(frame, name_.c_str(), 0, &header_, &bits_, nullptr, 0);
    }

    void* header_ = UntouchedSlot;
    void* bits_ = UntouchedSlot;
    int64_t liveAtStart_ = 0;
};

TEST_F(DecodeFrameTest, TheExitFreesWhatTheResultSaysAndClosesTheFile) {
    for (int32_t result : {RESULT_OK, RESULT_ABORTED, RESULT_BROKEN_DATA, RESULT_MEMORY_ERROR}) {
        SCOPED_TRACE(result);
        DecodeFrame frame;
        ASSERT_EQ(OpenFrame(&frame), RESULT_OK);
        EXPECT_EQ(TestingOpenFileCount(), openAtStart_ + 1);
        uint8_t* header = AllocateHeaderBlock(&frame, 40);
        uint8_t* bits = AllocateBitsBlock(&frame, 100);
        ASSERT_NE(AllocateWorkingBlock(&frame, 10), nullptr);
        ASSERT_NE(AllocateWorkingBlock(&frame, 10), nullptr);
        // Two working blocks at most: a third is refused without asking the heap.
        const int64_t allocations = TestingAllocationCount();
        EXPECT_EQ(AllocateWorkingBlock(&frame, 10), nullptr);
        EXPECT_EQ(TestingAllocationCount(), allocations);
        EXPECT_EQ(header_, header);
        EXPECT_EQ(bits_, bits);
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_ + 4);
        EXPECT_EQ(FinishDecode(&frame, result), result);
        EXPECT_EQ(TestingOpenFileCount(), openAtStart_);
        // On success the two DIB blocks are the host's; the slots keep their handles either way.
        EXPECT_EQ(header_, header);
        EXPECT_EQ(bits_, bits);
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_ + (result == RESULT_OK ? 2 : 0));
        if (result == RESULT_OK) {
            EXPECT_EQ(TestingBlockSize(header), 40);
            FreeBlock(bits);
            FreeBlock(header);
        }
    }
}

TEST_F(DecodeFrameTest, SlotsGetTheAnswerOfTheirAllocationAndAnEarlyCloseIsKept) {
    DecodeFrame frame;
    ASSERT_EQ(OpenFrame(&frame), RESULT_OK);
    TestingFailAllocation(1);
    EXPECT_EQ(AllocateHeaderBlock(&frame, 40), nullptr);
    EXPECT_EQ(header_, nullptr);
    EXPECT_EQ(bits_, UntouchedSlot);
    TestingFailAllocation(1);
    EXPECT_EQ(AllocateWorkingBlock(&frame, 8), nullptr);
    ASSERT_NE(AllocateWorkingBlock(&frame, 8), nullptr);
    ASSERT_NE(AllocateWorkingBlock(&frame, 8), nullptr);
    CloseDecodeFile(&frame);
    EXPECT_EQ(TestingOpenFileCount(), openAtStart_);
    EXPECT_EQ(FinishDecode(&frame, RESULT_MEMORY_ERROR), RESULT_MEMORY_ERROR);
}

TEST_F(DecodeFrameTest, FramesInsideAnOpenOneTakeBuffersOfTheirOwn) {
    // The first frame reads through the module's buffer: no allocation.
    DecodeFrame outer;
    int64_t allocations = TestingAllocationCount();
    ASSERT_EQ(OpenFrame(&outer), RESULT_OK);
    EXPECT_EQ(TestingAllocationCount(), allocations);
    // Frames opened while it is open get a block each, which their exit frees; that exit does
    // not give back the module's buffer, which the outer frame still holds.
    for (int round = 0; round < 2; round++) {
        DecodeFrame inner;
        void* header = UntouchedSlot;
        void* bits = UntouchedSlot;
        allocations = TestingAllocationCount();
        ASSERT_EQ(OpenDecodeFrame(&inner, name_.c_str(), 0, &header, &bits, nullptr, 0), RESULT_OK);
        EXPECT_EQ(TestingAllocationCount(), allocations + 1);
        EXPECT_EQ(TestingBlockSize(inner.cursor.buffer), (int64_t)DECODE_BUFFER_SIZE);
        EXPECT_EQ(FinishDecode(&inner, RESULT_BROKEN_DATA), RESULT_BROKEN_DATA);
    }
    // Without a buffer of its own an inner frame is a memory error, with nothing opened.
    DecodeFrame refused;
    TestingFailAllocation(1);
    void* header = UntouchedSlot;
    void* bits = UntouchedSlot;
    EXPECT_EQ(OpenDecodeFrame(&refused, name_.c_str(), 0, &header, &bits, nullptr, 0),
              RESULT_MEMORY_ERROR);
    EXPECT_EQ(TestingOpenFileCount(), openAtStart_ + 1);
    EXPECT_EQ(FinishDecode(&refused, RESULT_MEMORY_ERROR), RESULT_MEMORY_ERROR);
    EXPECT_EQ(header, UntouchedSlot);
    // Once the outer frame has left, the next one takes the module's buffer again, even after
    // an open that failed.
    EXPECT_EQ(FinishDecode(&outer, RESULT_OK), RESULT_OK);
    TestingFailOpen(1);
    DecodeFrame failed;
    EXPECT_EQ(OpenFrame(&failed), RESULT_FILE_ERROR);
    EXPECT_EQ(FinishDecode(&failed, RESULT_FILE_ERROR), RESULT_FILE_ERROR);
    TestingFailOpen(0);
    DecodeFrame next;
    allocations = TestingAllocationCount();
    ASSERT_EQ(OpenFrame(&next), RESULT_OK);
    EXPECT_EQ(TestingAllocationCount(), allocations);
    EXPECT_EQ(FinishDecode(&next, RESULT_OK), RESULT_OK);
}

// An information reader that takes a text block and answers what the test asks.
int32_t InfoAnswer = RESULT_OK;
uint8_t* InfoText = nullptr;
int32_t ReadFakeInfo(InfoFrame* frame, PictureInfoRecord* info) {
    uint8_t first = 0;
    if (ReadFileCursor(&frame->cursor, &first, 1, nullptr) != RESULT_OK) return RESULT_FILE_ERROR;
    InfoText = AllocateInfoText(frame, 8);
    if (!InfoText) return RESULT_MEMORY_ERROR;
    if (InfoAnswer == RESULT_OK)
        StorePictureInfo(info, 0, 0, first, 1, 0, 0, 8, (uintptr_t)InfoText);
    return InfoAnswer;
}

TEST_F(DecodeFrameTest, AnInformationCallHandsOverItsTextOnlyOnSuccessAndClosesTheFile) {
    for (int32_t answer : {RESULT_OK, RESULT_UNKNOWN_FORMAT, RESULT_FILE_ERROR}) {
        SCOPED_TRACE(answer);
        InfoAnswer = answer;
        PictureInfoRecord info;
        memset(&info, 0, sizeof info);
        EXPECT_EQ(RunInfoFrame(ReadFakeInfo, name_.c_str(), 3, &info), answer);
        EXPECT_EQ(TestingOpenFileCount(), openAtStart_);
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_ + (answer == RESULT_OK ? 1 : 0));
        const uintptr_t text = info.infoText;
        EXPECT_EQ(text, answer == RESULT_OK ? (uintptr_t)InfoText : 0u);
        if (answer == RESULT_OK) {
            const int32_t width = info.width;  // a copy: the record is packed
            EXPECT_EQ(width, Counting(64)[3]);
            FreeBlock(InfoText);
        }
    }
    // A text block refused, and a file that cannot be opened.
    InfoAnswer = RESULT_OK;
    PictureInfoRecord info;
    TestingFailAllocation(1);
    EXPECT_EQ(RunInfoFrame(ReadFakeInfo, name_.c_str(), 0, &info), RESULT_MEMORY_ERROR);
    EXPECT_EQ(RunInfoFrame(ReadFakeInfo, u"no such file", 0, &info), RESULT_FILE_ERROR);
    EXPECT_EQ(RunInfoFrame(ReadFakeInfo, name_.c_str(), -5, &info), RESULT_FILE_ERROR);
}

}  // namespace
