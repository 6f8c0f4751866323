// Shared by the PCX tests that go through the built vbpcx.spi: loading it, serving files from
// memory, decoding with a recording notifier, and the DIBs the decoder should hand over.
#ifndef VB_TESTS_PCX_PCX_PLUGIN_SUPPORT_H
#define VB_TESTS_PCX_PCX_PLUGIN_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "framework/plugin.h"
#include "platform/platform_testing.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/plugin_loader.h"

// What the notifier was called with, and what it answers on each call (0 past the list).
struct NotifierLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
    std::vector<int32_t> answers;
};

inline int32_t VB_CALL RecordProgress(int32_t current, int32_t total, intptr_t userData) {
    NotifierLog* log = (NotifierLog*)userData;
    size_t call = log->calls.size();
    log->calls.push_back({current, total});
    return call < log->answers.size() ? log->answers[call] : 0;
}

// The calls of a decode of `height` rows that got through `rows` rows.
inline std::vector<std::pair<int32_t, int32_t>> ExpectedCalls(int32_t height, int32_t rows) {
    std::vector<std::pair<int32_t, int32_t>> calls = {{0, height}, {height, height}};
    for (int32_t i = 0; i < rows; i++) calls.push_back({i, height});
    return calls;
}

struct DecodeOutcome {
    int32_t result = -100;
    std::vector<uint8_t> header;  // the whole header block, on RESULT_OK
    std::vector<uint8_t> bits;    // the whole bits block, on RESULT_OK
};

inline uint32_t DibStride(int32_t width) {
    return (uint32_t)(((width * 8 + 31) / 32) * 4);
}

// 768 bytes: the 3-3-2 cube's red, green, blue per index.
inline std::vector<uint8_t> CubePalette() {
    std::vector<uint8_t> rgb(768);
    for (int i = 0; i < 256; i++) {
        rgb[3 * i] = (uint8_t)(36 * (i >> 5));
        rgb[3 * i + 1] = (uint8_t)(36 * ((i >> 2) & 7));
        rgb[3 * i + 2] = (uint8_t)(85 * (i & 3));
    }
    return rgb;
}

// The header block of an 8-bit DIB: BITMAPINFOHEADER and 256 RGBQUADs from `rgb` (missing
// entries 0).
inline std::vector<uint8_t> ExpectedHeader(int32_t width, int32_t height,
                                           const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> header(1064, 0);
    auto put32 = [&header](size_t at, uint32_t v) {
        for (int k = 0; k < 4; k++) header[at + k] = (uint8_t)(v >> (8 * k));
    };
    put32(0, 40);
    put32(4, (uint32_t)width);
    put32(8, (uint32_t)height);
    header[12] = 1;  // biPlanes
    header[14] = 8;  // biBitCount
    for (size_t i = 0; i < 256 && 3 * i + 2 < rgb.size(); i++) {
        header[40 + 4 * i] = rgb[3 * i + 2];
        header[40 + 4 * i + 1] = rgb[3 * i + 1];
        header[40 + 4 * i + 2] = rgb[3 * i];
    }
    return header;
}

// Bits block from a function of (x, file row y) for x below the stride; the first file row is
// the top (last) DIB row.
inline std::vector<uint8_t> ExpectedBits(int32_t width, int32_t height,
                                         const std::function<uint8_t(int32_t, int32_t)>& index) {
    uint32_t stride = DibStride(width);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    for (int32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < stride; x++) {
            bits[(size_t)(height - 1 - y) * stride + x] = index((int32_t)x, y);
        }
    }
    return bits;
}

// Cube index of a 16-colour pixel value in a file whose header palette is all zero: the nearest
// cube entry to the standard 16 colours, worked out by hand.
inline uint8_t PlanarIndex(uint8_t value) {
    static const uint8_t kIndex[16] = {0,  2,  20, 22, 160, 162, 168, 182,
                                       73, 75, 93, 95, 233, 235, 253, 255};
    return kIndex[value & 15];
}

class PcxPluginTest : public ::testing::Test {
  public:
    static const LoadedPlugin& Plugin() {
        static LoadedPlugin plugin = LoadPlugin(PluginPath("vbpcx"));
        return plugin;
    }

  protected:
    void SetUp() override {
        ASSERT_NE(Plugin().library, nullptr) << "vbpcx.spi did not load";
        TestingReset();
        startBlocks = TestingLiveBlockCount();
    }
    void TearDown() override {
        TestingReset();
        EXPECT_EQ(TestingLiveBlockCount(), startBlocks) << "a block was left allocated";
    }

    std::u16string Serve(const std::vector<uint8_t>& bytes, const std::string& name = "p.pcx") {
        static const uint8_t nothing = 0;  // a null pointer would withdraw the file
        std::u16string wide = Utf16(name);
        TestingServeFile(wide.c_str(), bytes.empty() ? &nothing : bytes.data(), bytes.size());
        return wide;
    }

    // Decodes through GetPicture (or GetPreview) and takes the blocks over as a host does.
    DecodeOutcome Decode(const std::u16string& name, NotifierLog* log = nullptr,
                         bool preview = false) {
        DecodeOutcome outcome;
        void* header = nullptr;
        void* bits = nullptr;
        GetPictureFunction get = preview ? Plugin().getPreview : Plugin().getPicture;
        outcome.result =
            get(name.c_str(), 0, 0, &header, &bits, log ? RecordProgress : nullptr, (intptr_t)log);
        if (outcome.result == RESULT_OK) {
            const uint8_t* h = (const uint8_t*)header;
            outcome.header.assign(h, h + 1064);
            int32_t width, height;
            memcpy(&width, h + 4, 4);
            memcpy(&height, h + 8, 4);
            const uint8_t* b = (const uint8_t*)bits;
            outcome.bits.assign(b, b + (size_t)DibStride(width) * height);
            FreeBlock(bits);
            FreeBlock(header);
        }
        return outcome;
    }

    int32_t DecodeResult(const std::vector<uint8_t>& bytes) { return Decode(Serve(bytes)).result; }

    PictureInfoRecord Info(const std::u16string& name, int32_t* result) {
        PictureInfoRecord info;
        memset((void*)&info, 0x5C, sizeof info);
        *result = Plugin().getPictureInfo(name.c_str(), 0, 0, &info);
        return info;
    }

    int64_t startBlocks = 0;
};

#endif
