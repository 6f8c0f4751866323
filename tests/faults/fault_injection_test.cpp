// Exhaustive fault injection through the built plug-ins: for every picture of the suite, every
// allocation of a decode fails in turn, then every read, then the notifier stops the decode after
// each row in turn. Each time the result code and the notifier calls must be what the filter
// promises for that failure, and no block may be left; a clean decode afterwards must still give
// the DIB of the first one.
#include <gtest/gtest.h>
#include <string.h>

#include "framework/file_cursor.h"
#include "platform/platform_testing.h"
#include "tests/faults/fault_support.h"

namespace {

class FaultInjection : public ::testing::TestWithParam<FaultCase> {
  protected:
    void SetUp() override {
        TestingReset();
        const FaultCase& faultCase = GetParam();
        ASSERT_NE(Plugin(faultCase.plugin).library, nullptr) << faultCase.plugin;
        clean_ = DecodeCase(faultCase);
        ASSERT_EQ(clean_.result, RESULT_OK);
        ASSERT_EQ(clean_.blocksLeft, 0);
        ASSERT_EQ(clean_.calls, ProgressCalls(faultCase.protocol, faultCase.rows, faultCase.rows));
        liveAtStart_ = TestingLiveBlockCount();
    }
    void TearDown() override {
        // Whatever failed, the filter must decode the picture as before.
        TestingReset();
        DecodeRecord again = DecodeCase(GetParam());
        EXPECT_EQ(again.result, RESULT_OK);
        EXPECT_EQ(again.header, clean_.header);
        EXPECT_EQ(again.bits, clean_.bits);
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_);
    }

    // The calls the clean decode made before the step that now fails, plus the closing call that
    // TGA and MAG make once they have started.
    std::vector<std::pair<int32_t, int32_t>> CallsBefore(bool (*before)(const DecodeStep&, int64_t),
                                                         int64_t step) const {
        const FaultCase& faultCase = GetParam();
        std::vector<std::pair<int32_t, int32_t>> calls;
        for (size_t i = 0; i < clean_.calls.size(); i++) {
            if (before(clean_.steps[i], step)) calls.push_back(clean_.calls[i]);
        }
        if (!calls.empty() && faultCase.protocol != Protocol::Pcx) {
            calls.push_back({faultCase.rows, faultCase.rows});
        }
        return calls;
    }

    DecodeRecord clean_;
    int64_t liveAtStart_ = 0;
};

bool CameBeforeAllocation(const DecodeStep& call, int64_t allocation) {
    return call.allocations < allocation;
}
bool CameBeforeRead(const DecodeStep& call, int64_t read) {
    return call.reads < read;
}

TEST_P(FaultInjection, BlocksAndReadsComeWhereTheFiltersPromise) {
    const FaultCase& faultCase = GetParam();
    // A case's "full color" value comes from a .reg file, which decides whether the colour
    // reducer allocates; asking changes nothing, since every decode of the case sets it again.
    if (faultCase.fullColor >= 0 && TestingSetRegistryFile(nullptr) == 0) {
        GTEST_SKIP() << "\"full color\" cannot be set from a .reg file where the registry is the "
                        "system's own";
    }
    // The header block, the bits block and the row buffer (MAG: data block) come before the first
    // notifier call ...
    ASSERT_FALSE(clean_.calls.empty());
    EXPECT_EQ(clean_.steps.front().allocations, faultCase.allocationsBeforeStart);
    // ... and only the colour reducer allocates after it.
    EXPECT_EQ(clean_.allocations > faultCase.allocationsBeforeStart, faultCase.allocatesAfterStart);
    // MAG reads the whole picture before it notifies; TGA and PCX read the header with the first
    // buffer of the file and refill it as the rows need. A picture the buffer holds costs one
    // read; a larger one a read for every half buffer at most.
    if (faultCase.protocol == Protocol::Mag) {
        EXPECT_EQ(clean_.steps.front().reads, clean_.reads);
    } else {
        EXPECT_EQ(clean_.steps.front().reads, 1);
    }
    if (faultCase.file.size() <= DECODE_BUFFER_SIZE) {
        EXPECT_EQ(clean_.reads, 1);
    } else {
        EXPECT_GE(clean_.reads, 2);
        EXPECT_LE(clean_.reads, 2 + (int64_t)(faultCase.file.size() / (DECODE_BUFFER_SIZE / 2)));
    }
}

TEST_P(FaultInjection, EveryAllocationFailureFreesEverything) {
    const FaultCase& faultCase = GetParam();
    for (int64_t nth = 1; nth <= clean_.allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " of " +
                     std::to_string(clean_.allocations));
        TestingFailAllocation(nth);
        DecodeRecord run = DecodeCase(faultCase);
        EXPECT_EQ(run.result, RESULT_MEMORY_ERROR);
        EXPECT_EQ(run.blocksLeft, 0);
        EXPECT_EQ(run.calls, CallsBefore(CameBeforeAllocation, nth));
        // The decode stops at a failed block of its own; the colour reducer may still ask for
        // the rest of its working rows before it frees them all.
        if (nth <= faultCase.allocationsBeforeStart) {
            EXPECT_EQ(run.allocations, nth);
        }
    }
}

TEST_P(FaultInjection, EveryReadFailureFreesEverything) {
    const FaultCase& faultCase = GetParam();
    for (int64_t nth = 1; nth <= clean_.reads; nth++) {
        SCOPED_TRACE("read " + std::to_string(nth) + " of " + std::to_string(clean_.reads));
        TestingFailRead(nth);
        DecodeRecord run = DecodeCase(faultCase);
        EXPECT_EQ(run.result, RESULT_FILE_ERROR);
        EXPECT_EQ(run.blocksLeft, 0);
        // A failed row read ends the loop without that row's call.
        EXPECT_EQ(run.calls, CallsBefore(CameBeforeRead, nth));
        // Nothing is read after the failure, except that PCX still looks for its palette.
        if (faultCase.protocol != Protocol::Pcx) {
            EXPECT_EQ(run.reads, nth);
        }
    }
}

TEST_P(FaultInjection, StopAfterEveryRowFreesEverything) {
    const FaultCase& faultCase = GetParam();
    // Calls made before the first row: one for TGA and MAG, two for PCX.
    int firstRowCall = faultCase.protocol == Protocol::Pcx ? 3 : 2;
    for (int32_t row = 1; row <= faultCase.rows; row++) {
        SCOPED_TRACE("stop after row " + std::to_string(row));
        DecodeRecord run = DecodeCase(faultCase, StopOnCall(firstRowCall + row - 1));
        EXPECT_EQ(run.result, RESULT_ABORTED);
        EXPECT_EQ(run.blocksLeft, 0);
        EXPECT_EQ(run.calls, ProgressCalls(faultCase.protocol, faultCase.rows, row));
    }
}

TEST_P(FaultInjection, StopAnswersOutsideTheRowsAreIgnored) {
    const FaultCase& faultCase = GetParam();
    // The first call, and the second (PCX) or the closing one.
    DecodeOptions outside =
        StopOnCall(faultCase.protocol == Protocol::Pcx ? 2 : 2 + faultCase.rows);
    outside.answers[0] = 1;
    DecodeRecord run = DecodeCase(faultCase, outside);
    EXPECT_EQ(run.result, RESULT_OK);
    EXPECT_EQ(run.header, clean_.header);
    EXPECT_EQ(run.bits, clean_.bits);
}

TEST_P(FaultInjection, FailedOpenTouchesNothing) {
    const FaultCase& faultCase = GetParam();
    TestingFailOpen(1);
    DecodeRecord run = DecodeCase(faultCase);
    EXPECT_EQ(run.result, RESULT_FILE_ERROR);
    EXPECT_TRUE(run.calls.empty());
    EXPECT_EQ(run.allocations, 0);
    EXPECT_EQ(run.headerSlot, UntouchedSlot);
    EXPECT_EQ(run.bitsSlot, UntouchedSlot);
    InfoReading info = ReadInfo(faultCase.plugin, PrepareCase(faultCase), faultCase.offset);
    EXPECT_EQ(info.result, RESULT_FILE_ERROR);
    EXPECT_EQ(info.allocations, 0);
    TestingFailOpen(0);
}

// The information readers: every read and every allocation failing in turn.
TEST_P(FaultInjection, InformationReaderFailuresLeaveNoBlock) {
    const FaultCase& faultCase = GetParam();
    std::u16string name = PrepareCase(faultCase);
    InfoReading clean = ReadInfo(faultCase.plugin, name, faultCase.offset);
    ASSERT_EQ(clean.result, RESULT_OK);
    // Only MAG hands over a block with the record: its comment.
    EXPECT_EQ(clean.allocations, faultCase.protocol == Protocol::Mag ? 1 : 0);
    EXPECT_EQ(!clean.text.empty(), faultCase.protocol == Protocol::Mag);
    PictureInfoRecord zero;
    memset(&zero, 0, sizeof zero);
    for (int64_t nth = 1; nth <= clean.reads; nth++) {
        SCOPED_TRACE("read " + std::to_string(nth) + " of " + std::to_string(clean.reads));
        TestingFailRead(nth);
        InfoReading info = ReadInfo(faultCase.plugin, name, faultCase.offset);
        EXPECT_EQ(info.result, RESULT_FILE_ERROR);
        EXPECT_EQ(info.blocksLeft, 0);
        if (faultCase.protocol == Protocol::Tga) {
            EXPECT_EQ(memcmp(&info.record, &zero, sizeof zero), 0) << "record not cleared";
        }
    }
    for (int64_t nth = 1; nth <= clean.allocations; nth++) {
        TestingFailAllocation(nth);
        InfoReading info = ReadInfo(faultCase.plugin, name, faultCase.offset);
        EXPECT_EQ(info.result, RESULT_MEMORY_ERROR);
        EXPECT_EQ(info.blocksLeft, 0);
    }
}

// Decodes started from inside the notifier of another find the reading buffer taken and get one
// of their own. Two run in one notifier, on its first two calls, and decode another picture of
// the same filter: were an inner decode's exit to give back the module's buffer, which it never
// held, the second would fill that buffer under the outer decode, whose rows would then come
// from the other file. All hand over what they should, and nothing is left.
struct NestedDecodes {
    const LoadedPlugin* plugin;
    std::u16string name;  // of the picture decoded inside
    int32_t offset = 0;
    int32_t decodes = 0;      // on the first calls of the outer notifier
    bool failBuffer = false;  // the inner decode's first allocation, its buffer, fails
    int calls = 0;
    size_t bitsSize = 0;
    std::vector<int32_t> results;
    std::vector<std::vector<uint8_t>> bits;
    std::vector<void*> headerSlots;
};

int32_t VB_CALL DecodeAgainOnFirstCalls(int32_t, int32_t, intptr_t userData) {
    NestedDecodes* nested = (NestedDecodes*)userData;
    if (nested->calls++ >= nested->decodes) return 0;
    void* header = UntouchedSlot;
    void* bits = UntouchedSlot;
    if (nested->failBuffer) TestingFailAllocation(1);
    const int64_t openBefore = TestingOpenFileCount();
    const int32_t result = nested->plugin->getPicture(nested->name.c_str(), nested->offset, 0,
                                                      &header, &bits, nullptr, 0);
    EXPECT_EQ(TestingOpenFileCount(), openBefore) << "the inner decode left a file open";
    nested->results.push_back(result);
    nested->headerSlots.push_back(header);
    if (result == RESULT_OK) {
        const uint8_t* start = (const uint8_t*)bits;
        nested->bits.emplace_back(start, start + nested->bitsSize);
        FreeBlock(bits);
        FreeBlock(header);
    }
    return 0;
}

TEST_P(FaultInjection, DecodeInsideTheNotifierOfAnother) {
    const FaultCase& faultCase = GetParam();
    const LoadedPlugin& plugin = Plugin(faultCase.plugin);
    // The inner picture: the next case of the same filter whose DIB differs, decoded on the
    // outer case's device.
    std::u16string name = PrepareCase(faultCase);
    NestedDecodes nested;
    nested.plugin = &plugin;
    nested.name = Utf16("nested." + faultCase.plugin.substr(2));
    DecodeRecord inner;
    const std::vector<FaultCase> cases = AllFaultCases();
    size_t at = 0;
    while (cases[at].label != faultCase.label) at++;
    for (size_t k = 1; k < cases.size(); k++) {
        const FaultCase& next = cases[(at + k) % cases.size()];
        if (next.plugin != faultCase.plugin) continue;
        ServeFile("nested." + faultCase.plugin.substr(2), next.file);
        DecodeOptions innerOptions;
        innerOptions.offset = next.offset;
        inner = Decode(faultCase.plugin, nested.name, innerOptions);
        nested.offset = next.offset;
        if (inner.result == RESULT_OK && inner.bits != clean_.bits) break;
    }
    ASSERT_EQ(inner.result, RESULT_OK);
    ASSERT_NE(inner.bits, clean_.bits);
    nested.bitsSize = inner.bits.size();

    for (bool failBuffer : {false, true}) {
        SCOPED_TRACE(failBuffer ? "the inner buffer cannot be had" : "two inner decodes");
        nested.decodes = failBuffer ? 1 : 2;
        nested.failBuffer = failBuffer;
        nested.calls = 0;
        nested.results.clear();
        nested.bits.clear();
        nested.headerSlots.clear();
        void* header = nullptr;
        void* bits = nullptr;
        ASSERT_EQ(plugin.getPicture(name.c_str(), faultCase.offset, 0, &header, &bits,
                                    DecodeAgainOnFirstCalls, (intptr_t)&nested),
                  RESULT_OK);
        const uint8_t* start = (const uint8_t*)bits;
        EXPECT_EQ(std::vector<uint8_t>(start, start + clean_.bits.size()), clean_.bits);
        FreeBlock(bits);
        FreeBlock(header);
        if (failBuffer) {
            // Refused before anything was opened or handed over.
            EXPECT_EQ(nested.results, std::vector<int32_t>{RESULT_MEMORY_ERROR});
            EXPECT_EQ(nested.headerSlots, std::vector<void*>{UntouchedSlot});
        } else {
            EXPECT_EQ(nested.results, (std::vector<int32_t>{RESULT_OK, RESULT_OK}));
            EXPECT_EQ(nested.bits, (std::vector<std::vector<uint8_t>>{inner.bits, inner.bits}));
        }
        EXPECT_EQ(TestingLiveBlockCount(), liveAtStart_);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFilters, FaultInjection, ::testing::ValuesIn(AllFaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return info.param.label;
                         });

}  // namespace
