#include "tga_test_helpers.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform_testing.h"
#include "tests/support/plugin_loader.h"

int32_t DibStride(int32_t width, int32_t bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

static void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

static void PutEntry(std::vector<uint8_t>& header, int index, int red, int green, int blue) {
    uint8_t* entry = &header[40 + 4 * index];
    entry[0] = (uint8_t)blue;
    entry[1] = (uint8_t)green;
    entry[2] = (uint8_t)red;
    entry[3] = 0;
}

std::vector<uint8_t> ExpectedHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                         ExpectedPalette palette) {
    std::vector<uint8_t> header(1064, 0);
    PutLe32(&header[0], 40);
    PutLe32(&header[4], (uint32_t)width);
    PutLe32(&header[8], (uint32_t)height);
    header[12] = 1;  // biPlanes
    header[14] = (uint8_t)bitCount;
    switch (palette) {
        case ExpectedPalette::None:
            break;
        case ExpectedPalette::GrayRamp256:
            for (int k = 0; k < 256; k++) PutEntry(header, k, k, k, k);
            break;
        case ExpectedPalette::Cube332:
            for (int r = 0; r < 8; r++)
                for (int g = 0; g < 8; g++)
                    for (int b = 0; b < 4; b++)
                        PutEntry(header, r * 32 + g * 4 + b, 36 * r, 36 * g, 85 * b);
            break;
        case ExpectedPalette::Gray4OverRamp:
            for (int k = 4; k < 256; k++) PutEntry(header, k, k, k, k);
            [[fallthrough]];
        case ExpectedPalette::Gray4:
            PutEntry(header, 0, 0, 0, 0);
            PutEntry(header, 1, 85, 85, 85);
            PutEntry(header, 2, 170, 170, 170);
            PutEntry(header, 3, 255, 255, 255);
            break;
    }
    return header;
}

std::vector<uint8_t> ExpectedStraightBits(const std::vector<uint8_t>& topDown, int32_t width,
                                          int32_t height, int32_t bytesPerPixel) {
    const int32_t stride = DibStride(width, bytesPerPixel * 8);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    for (int32_t r = 0; r < height; r++) {
        const uint8_t* source = &topDown[(size_t)(height - 1 - r) * width * bytesPerPixel];
        memcpy(&bits[(size_t)r * stride], source, (size_t)width * bytesPerPixel);
    }
    return bits;
}

std::vector<uint8_t> ReferenceDither(const std::vector<uint8_t>& fedRowsBgr, int32_t width,
                                     int32_t height, int32_t bitCount, bool bottomUp) {
    const int32_t stride = DibStride(width, bitCount);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    const int channels = bitCount == 2 ? 1 : 3;
    // error[row][x][channel], channel 0 red (or gray), 1 green, 2 blue
    std::vector<int> error((size_t)height * width * 3, 0);
    auto storedError = [&](int y, int x, int c) {
        if (y < 0 || x < 0 || x >= width) return 0;
        return error[((size_t)y * width + x) * 3 + c];
    };
    static const int weightsTwoAbove[5] = {1, 3, 5, 3, 1};
    static const int weightsAbove[5] = {3, 5, 7, 5, 3};
    for (int y = 0; y < height; y++) {
        uint8_t* out = &bits[(size_t)(bottomUp ? y : height - 1 - y) * stride];
        for (int x = 0; x < width; x++) {
            const uint8_t* pixel = &fedRowsBgr[((size_t)y * width + x) * 3];
            int base[3];
            if (channels == 1) {
                base[0] = (77 * pixel[2] + 151 * pixel[1] + 28 * pixel[0]) >> 8;
            } else {
                base[0] = pixel[2];
                base[1] = pixel[1];
                base[2] = pixel[0];
            }
            int level[3] = {0, 0, 0};
            for (int c = 0; c < channels; c++) {
                int sum = 0;
                for (int k = 0; k < 5; k++) {
                    sum += weightsTwoAbove[k] * storedError(y - 2, x - 2 + k, c);
                    sum += weightsAbove[k] * storedError(y - 1, x - 2 + k, c);
                }
                sum += 5 * storedError(y, x - 2, c) + 7 * storedError(y, x - 1, c);
                int v = base[c] + sum / 48;
                v = v < 0 ? 0 : v > 255 ? 255 : v;
                bool fourLevels = channels == 1 || c == 2;
                level[c] = fourLevels ? v / 64 : v / 32;
                int colour = fourLevels ? 85 * level[c] : 36 * level[c];
                error[((size_t)y * width + x) * 3 + c] = v - colour;
            }
            if (channels == 1) {
                out[x / 4] |= (uint8_t)(level[0] << (6 - 2 * (x % 4)));
            } else {
                out[x] = (uint8_t)(level[0] * 32 + level[1] * 4 + level[2]);
            }
        }
    }
    return bits;
}

std::vector<uint8_t> GrayToBgr(const std::vector<uint8_t>& gray) {
    std::vector<uint8_t> bgr;
    bgr.reserve(gray.size() * 3);
    for (uint8_t g : gray) bgr.insert(bgr.end(), {g, g, g});
    return bgr;
}

std::vector<uint8_t> ReverseRows(const std::vector<uint8_t>& picture, int32_t width, int32_t height,
                                 int32_t bytesPerPixel) {
    const size_t rowBytes = (size_t)width * bytesPerPixel;
    std::vector<uint8_t> out(picture.size());
    for (int32_t y = 0; y < height; y++) {
        memcpy(&out[(size_t)y * rowBytes], &picture[(size_t)(height - 1 - y) * rowBytes], rowBytes);
    }
    return out;
}

static uint32_t NextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 24;
}

std::vector<uint8_t> MakeTestPictureBgr(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> picture((size_t)width * height * 3);
    uint32_t state = seed;
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            uint8_t* p = &picture[((size_t)y * width + x) * 3];
            bool flat = ((x / 7) + (y / 3)) % 4 == 0;  // flat patches make runs
            if (flat) {
                p[0] = 40;
                p[1] = 200;
                p[2] = 120;
                continue;
            }
            int noise = (int)(NextRandom(state) % 24) - 12;
            int red = width > 1 ? 255 * x / (width - 1) : 128;
            int green = height > 1 ? 255 * y / (height - 1) : 128;
            int blue = (red + green) / 2 + noise;
            p[0] = (uint8_t)(blue < 0 ? 0 : blue > 255 ? 255 : blue);
            p[1] = (uint8_t)green;
            p[2] = (uint8_t)red;
        }
    }
    return picture;
}

std::vector<uint8_t> MakeTestPictureGray(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> colour = MakeTestPictureBgr(width, height, seed);
    std::vector<uint8_t> gray((size_t)width * height);
    for (size_t i = 0; i < gray.size(); i++) {
        gray[i] = (uint8_t)((colour[3 * i] + 2 * colour[3 * i + 1] + colour[3 * i + 2]) / 4);
    }
    return gray;
}

bool SetFullColor(int64_t value) {
    if (value < 0) {
        TestingSetRegistryFile(nullptr);
        return true;
    }
    // One file per process, since ctest runs test processes side by side; removed at exit.
    static struct RegistryFile {
        std::string path =
            testing::TempDir() + "vb_tga_full_color_" + std::to_string((long)getpid()) + ".reg";
        ~RegistryFile() { remove(path.c_str()); }
    } registryFile;
    const std::string& path = registryFile.path;
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot write " << path;
        return false;
    }
    fprintf(file,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n"
            "\"full color\"=dword:%08x\n",
            (unsigned)value);
    fclose(file);
    return TestingSetRegistryFile(path.c_str()) != 0;
}

void SetDisplayBits(int32_t bits) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = bits;
    TestingSetDevice(&device);
}

static const LoadedPlugin& TgaPlugin() {
    static LoadedPlugin plugin = LoadPlugin(PluginPath("vbtga"));
    return plugin;
}

namespace {
struct NotifierLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
    int32_t abortAfterRow;
};
}  // namespace

static int32_t VB_CALL RecordProgress(int32_t current, int32_t total, intptr_t userData) {
    NotifierLog* log = (NotifierLog*)userData;
    log->calls.push_back({current, total});
    // Only the per-row calls may stop the decode; a non-zero answer elsewhere is ignored.
    return log->abortAfterRow >= 0 && current == log->abortAfterRow ? 1 : 0;
}

static DecodeOutcome DecodeNamed(const char16_t* name, const DecodeOptions& options) {
    DecodeOutcome outcome;
    const LoadedPlugin& plugin = TgaPlugin();
    if (!plugin.getPicture) {
        ADD_FAILURE() << "vbtga.spi did not load from " << PluginPath("vbtga");
        return outcome;
    }
    NotifierLog log{{}, options.abortAfterRow};
    void* const untouched = (void*)(uintptr_t)0x5A5A;
    void* headerSlot = untouched;
    void* bitsSlot = untouched;
    int64_t before = TestingLiveBlockCount();
    GetPictureFunction call = options.preview ? plugin.getPreview : plugin.getPicture;
    outcome.result = call(name, 0, 0, &headerSlot, &bitsSlot,
                          options.withNotifier ? RecordProgress : nullptr, (intptr_t)&log);
    outcome.headerSlotTouched = headerSlot != untouched;
    outcome.bitsSlotTouched = bitsSlot != untouched;
    if (outcome.result == RESULT_OK) {
        const uint8_t* header = (const uint8_t*)headerSlot;
        outcome.header.assign(header, header + 1064);
        int32_t width = (int32_t)(header[4] | header[5] << 8 | header[6] << 16 | header[7] << 24);
        int32_t height =
            (int32_t)(header[8] | header[9] << 8 | header[10] << 16 | header[11] << 24);
        int32_t bitCount = header[14];
        size_t size = (size_t)DibStride(width, bitCount) * (size_t)height;
        const uint8_t* bits = (const uint8_t*)bitsSlot;
        outcome.bits.assign(bits, bits + size);
        FreeBlock(bitsSlot);
        FreeBlock(headerSlot);
    }
    outcome.blocksLeft = TestingLiveBlockCount() - before;
    outcome.calls = log.calls;
    return outcome;
}

DecodeOutcome DecodeServedTga(const std::vector<uint8_t>& file, const DecodeOptions& options) {
    static const char16_t name[] = u"picture.tga";
    static const uint8_t nothing = 0;  // a null pointer would withdraw the file instead
    TestingServeFile(name, file.empty() ? &nothing : file.data(), file.size());
    DecodeOutcome outcome = DecodeNamed(name, options);
    TestingServeFile(name, nullptr, 0);
    return outcome;
}

DecodeOutcome DecodeTgaFile(const std::string& path) {
    std::u16string name = Utf16(path);
    return DecodeNamed(name.c_str(), DecodeOptions());
}

std::vector<std::pair<int32_t, int32_t>> FullProgress(int32_t height) {
    std::vector<std::pair<int32_t, int32_t>> calls;
    calls.push_back({0, height});
    for (int32_t i = 0; i < height; i++) calls.push_back({i, height});
    calls.push_back({height, height});
    return calls;
}
