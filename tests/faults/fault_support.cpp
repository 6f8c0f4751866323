#include "tests/faults/fault_support.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <map>

#include "platform/platform_testing.h"
#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

// ---- Pictures ---------------------------------------------------------------------------------

// Bytes with some structure, so that runs, raw packets and copy codes all occur.
static uint8_t Pattern(int x, int y, int channel) {
    if ((x / 3 + y) % 3 == 0) return (uint8_t)(50 + channel);
    return (uint8_t)(x * 23 + y * 41 + channel * 67);
}

static std::vector<uint8_t> TgaPixels(int width, int height, int bytesPerPixel) {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (int c = 0; c < bytesPerPixel; c++) pixels.push_back(Pattern(x, y, c));
        }
    }
    return pixels;
}

static FaultCase TgaCase(const std::string& label, uint8_t type, uint8_t depth, uint8_t descriptor,
                         int32_t displayBits, int32_t fullColor, bool reduced, int width = 9,
                         int height = 6) {
    TgaImage image;
    image.imageType = type;
    image.width = width;
    image.height = height;
    image.pixelDepth = depth;
    image.descriptor = descriptor;
    image.pixels = TgaPixels(width, height, depth / 8);
    TgaRleOptions rle;
    rle.layout = TgaPacketLayout::WrapAcrossRows;
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbtga";
    faultCase.protocol = Protocol::Tga;
    faultCase.file = EncodeTga(image, rle);
    faultCase.displayBits = displayBits;
    faultCase.fullColor = fullColor;
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, row buffer
    faultCase.allocatesAfterStart = reduced;
    return faultCase;
}

static FaultCase PcxCase(const std::string& label, bool planar, int width = 13, int height = 5) {
    std::vector<uint8_t> pixels;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) pixels.push_back(Pattern(x, y, 0) & (planar ? 15 : 255));
    }
    PcxFile file;
    if (planar) {
        file = MakePlanarPcx(width, height, pixels);
    } else {
        std::vector<uint8_t> palette;
        for (int i = 0; i < 768; i++) palette.push_back((uint8_t)(i * 7));
        file = MakeIndexedPcx(width, height, pixels, palette);
        file.bytesBeforeMarker = {1, 2, 3};  // skipped by the marker search, one read each
    }
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbpcx";
    faultCase.protocol = Protocol::Pcx;
    faultCase.file = WritePcx(file);
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, row buffer
    return faultCase;
}

static FaultCase MagCase(const std::string& label, int32_t width, int32_t height, bool full,
                         bool twoHundredLine, size_t leading) {
    MagSourcePicture picture = MakeMagPicture(width, height, full);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            picture.Set(x, y, (uint8_t)((x / 4 + y / 3) % picture.Colours()));
        }
    }
    MagEncodeOptions options;
    options.comment = "fault";
    options.twoHundredLine = twoHundredLine;
    options.leading.assign(leading, 0x1A);
    MagEncoded encoded = EncodeMag(picture, options);
    FaultCase faultCase;
    faultCase.label = label;
    faultCase.plugin = "vbmag";
    faultCase.protocol = Protocol::Mag;
    faultCase.file = encoded.bytes;
    faultCase.offset = (int32_t)encoded.pictureOffset;
    faultCase.rows = height;
    faultCase.allocationsBeforeStart = 3;  // header block, bits block, data block
    return faultCase;
}

void PrintTo(const FaultCase& faultCase, std::ostream* out) {
    *out << faultCase.label;
}

std::vector<FaultCase> AllFaultCases() {
    return {
        // Colour source: straight 24-bit, and reduced to 8 and 2 bits.
        TgaCase("TgaRaw24Straight", 2, 24, 0x00, 24, -1, false),
        TgaCase("TgaRle24ReducedTo8ByFullColorOff", 10, 24, 0x20, 24, 0, true),
        TgaCase("TgaRle32ReducedTo8", 10, 32, 0x28, 8, 1, true),
        TgaCase("TgaRaw32ReducedTo2", 2, 32, 0x18, 2, 1, true),
        // Gray source: straight 8-bit, and reduced to 2 bits.
        TgaCase("TgaRleGrayStraight", 11, 8, 0x00, 8, -1, false),
        TgaCase("TgaRawGrayReducedTo2", 3, 8, 0x30, 1, -1, true),
        PcxCase("PcxPlanar16", true),
        PcxCase("Pcx256", false),
        // Larger than the decoders' read buffer: rows that need a refill.
        TgaCase("TgaRaw24Wide", 2, 24, 0x00, 24, -1, false, 3000, 40),
        TgaCase("TgaRle32WideReducedTo8", 10, 32, 0x20, 8, -1, true, 3000, 30),
        PcxCase("PcxPlanar16Wide", true, 9000, 40),
        PcxCase("Pcx256Wide", false, 4000, 90),
        MagCase("Mag16", 24, 8, false, false, 0),
        MagCase("Mag256AtOffset", 20, 6, true, false, 100),
        MagCase("Mag200Line", 16, 5, false, true, 0),
    };
}

// ---- Driving a plug-in ------------------------------------------------------------------------

const LoadedPlugin& PluginFor(const std::string& name) {
    static std::map<std::string, LoadedPlugin> loaded;
    auto found = loaded.find(name);
    if (found == loaded.end()) found = loaded.emplace(name, LoadPlugin(PluginPath(name))).first;
    return found->second;
}

// "full color" 0 and 1 as .reg files beside the plug-ins, written once per process.
static const char* FullColorRegistry(int32_t value) {
    static std::string paths[2];
    std::string& path = paths[value != 0];
    if (path.empty()) {
        std::string name = std::string(VB_PLUGIN_DIR) + "/fault_tests_full_color_" +
                           std::to_string(value != 0) + ".reg";
        FILE* file = fopen(name.c_str(), "w");
        if (!file) return nullptr;
        fprintf(file,
                "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n"
                "\"full color\"=dword:%08x\n",
                (unsigned)value);
        fclose(file);
        path = name;
    }
    return path.c_str();
}

std::u16string PrepareCase(const FaultCase& faultCase) {
    std::u16string name = u"fault." + Utf16(faultCase.plugin.substr(2));
    TestingServeFile(name.c_str(), faultCase.file.data(), faultCase.file.size());
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = faultCase.displayBits;
    TestingSetDevice(&device);
    TestingSetRegistryFile(faultCase.fullColor < 0 ? nullptr
                                                   : FullColorRegistry(faultCase.fullColor));
    return name;
}

struct NotifierState {
    std::vector<NotifierCall>* calls;
    const std::set<int>* stopCalls;
    int64_t allocationBase;
    int64_t readBase;
};

static int32_t VB_CALL RecordCall(int32_t current, int32_t total, intptr_t userData) {
    NotifierState* state = (NotifierState*)userData;
    state->calls->push_back({current, total, TestingAllocationCount() - state->allocationBase,
                             TestingReadCount() - state->readBase});
    return state->stopCalls->count((int)state->calls->size()) ? 1 : 0;
}

uint32_t BitsBlockSize(const uint8_t* header) {
    int32_t width = (int32_t)(header[4] | header[5] << 8 | header[6] << 16 | header[7] << 24);
    int32_t height = (int32_t)(header[8] | header[9] << 8 | header[10] << 16 | header[11] << 24);
    uint32_t bitCount = header[14];
    return (uint32_t)(((width * bitCount + 31) / 32) * 4 * (height < 0 ? -height : height));
}

uint32_t HeaderBlockSize(const uint8_t* header, const std::string& plugin) {
    if (plugin != "vbmag") return FULL_HEADER_BLOCK_SIZE;
    return BITMAPINFOHEADER_SIZE + RGBQUAD_SIZE * (1u << header[14]);
}

DecodeRun DecodeCase(const FaultCase& faultCase, const std::set<int>& stopCalls) {
    const LoadedPlugin& plugin = PluginFor(faultCase.plugin);
    std::u16string name = PrepareCase(faultCase);
    DecodeRun run;
    NotifierState state = {&run.calls, &stopCalls, TestingAllocationCount(), TestingReadCount()};
    int64_t liveBefore = TestingLiveBlockCount();
    void* header = nullptr;
    void* bits = nullptr;
    run.result = plugin.getPicture(name.c_str(), faultCase.offset, 0, &header, &bits, RecordCall,
                                   (intptr_t)&state);
    run.allocations = TestingAllocationCount() - state.allocationBase;
    run.reads = TestingReadCount() - state.readBase;
    if (run.result == RESULT_OK) {
        EXPECT_EQ(TestingLiveBlockCount(), liveBefore + 2) << "the DIB is two blocks";
        const uint8_t* headerBytes = (const uint8_t*)header;
        uint32_t headerSize = HeaderBlockSize(headerBytes, faultCase.plugin);
        EXPECT_EQ(TestingBlockSize(header), (int64_t)headerSize);
        EXPECT_EQ(TestingBlockSize(bits), (int64_t)BitsBlockSize(headerBytes));
        run.header.assign(headerBytes, headerBytes + headerSize);
        run.bits.assign((const uint8_t*)bits, (const uint8_t*)bits + BitsBlockSize(headerBytes));
        FreeBlock(bits);
        FreeBlock(header);
    }
    run.blocksLeft = TestingLiveBlockCount() - liveBefore;
    return run;
}

std::vector<std::pair<int32_t, int32_t>> ProtocolCalls(Protocol protocol, int32_t total,
                                                       int32_t rowsDone) {
    std::vector<std::pair<int32_t, int32_t>> calls = {{0, total}};
    if (protocol == Protocol::Pcx) calls.push_back({total, total});
    for (int32_t row = 0; row < rowsDone; row++) {
        calls.push_back({protocol == Protocol::Mag ? row + 1 : row, total});
    }
    if (protocol != Protocol::Pcx) calls.push_back({total, total});
    return calls;
}

std::vector<std::pair<int32_t, int32_t>> CallPairs(const std::vector<NotifierCall>& calls) {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    for (const NotifierCall& call : calls) pairs.push_back({call.current, call.total});
    return pairs;
}
