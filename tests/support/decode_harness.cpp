#include "tests/support/decode_harness.h"

#include <dlfcn.h>  // tests/windows/compat gives the Windows build LoadLibrary behind it
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/platform_testing.h"

#if defined(_WIN32)
#include <windows.h>
static unsigned long ThisProcessId() {
    return GetCurrentProcessId();
}
#else
#include <unistd.h>
static unsigned long ThisProcessId() {
    return (unsigned long)getpid();
}
#endif

namespace fs = std::filesystem;

// ---- Plug-ins and files -------------------------------------------------------------------------

static LoadedPlugin LoadPlugin(const std::string& path) {
    LoadedPlugin plugin;
    plugin.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin.library) return plugin;
    plugin.getPluginInfo = (GetPluginInfoFunction)dlsym(plugin.library, "GetPluginInfo");
    plugin.isSupported = (IsSupportedFunction)dlsym(plugin.library, "IsSupported");
    plugin.getPictureInfo = (GetPictureInfoFunction)dlsym(plugin.library, "GetPictureInfo");
    plugin.getPicture = (GetPictureFunction)dlsym(plugin.library, "GetPicture");
    plugin.getPreview = (GetPictureFunction)dlsym(plugin.library, "GetPreview");
    return plugin;
}

const LoadedPlugin& Plugin(const std::string& name) {
    static std::map<std::string, LoadedPlugin> loaded;
    auto found = loaded.find(name);
    if (found == loaded.end()) {
        std::string path = std::string(VB_PLUGIN_DIR) + "/" + name + ".spi";
        found = loaded.emplace(name, LoadPlugin(path)).first;
    }
    return found->second;
}

std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x80) {
            out.push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            out.push_back((char16_t)(((c & 0x1F) << 6) | (text[i + 1] & 0x3F)));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            out.push_back((char16_t)(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) |
                                     (text[i + 2] & 0x3F)));
            i += 3;
        } else {
            out.push_back(u'?');
            i += 1;
        }
    }
    return out;
}

std::u16string ServeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    static const uint8_t nothing = 0;  // a null pointer would withdraw the file instead
    std::u16string wide = Utf16(name);
    TestingServeFile(wide.c_str(), bytes.empty() ? &nothing : bytes.data(), bytes.size());
    return wide;
}

static fs::path TemporaryFolder() {
    static fs::path folder =
        fs::temp_directory_path() / ("vb-tests-" + std::to_string(ThisProcessId()));
    return folder;
}

std::u16string WriteTemporaryFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(TemporaryFolder());
    fs::path path = TemporaryFolder() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    out.close();
    return path.u16string();
}

void RemoveTemporaryFiles() {
    std::error_code ignored;
    fs::remove_all(TemporaryFolder(), ignored);
}

// ---- The emulated device ------------------------------------------------------------------------

void SetDisplayBits(int32_t bits) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = bits;
    TestingSetDevice(&device);
}

bool SetFullColor(int64_t value) {
    return SetPlugInSettings(value, -1);
}

bool SetPlugInSettings(int64_t fullColor, int64_t extendedLayouts) {
    if (fullColor < 0 && extendedLayouts < 0) {
        TestingSetRegistryFile(nullptr);
        return true;
    }
    // One file per process, since ctest runs test programs side by side; removed at exit.
    static struct RegistryFile {
        std::string path = (fs::temp_directory_path() /
                            ("vb-full-color-" + std::to_string(ThisProcessId()) + ".reg"))
                               .string();
        ~RegistryFile() { remove(path.c_str()); }
    } registryFile;
    FILE* file = fopen(registryFile.path.c_str(), "w");
    if (!file) {
        fprintf(stderr, "cannot write %s\n", registryFile.path.c_str());
        abort();
    }
    fprintf(file,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n");
    if (fullColor >= 0) fprintf(file, "\"full color\"=dword:%08x\n", (unsigned)fullColor);
    if (extendedLayouts >= 0) {
        fprintf(file, "\"extended layouts\"=dword:%08x\n", (unsigned)extendedLayouts);
    }
    fclose(file);
    return TestingSetRegistryFile(registryFile.path.c_str()) != 0;
}

void UseDesktopDevice() {
    TestingDevice device;
    memset(&device, 0, sizeof device);
    device.displayBits = 24;
    device.screenWidth = 640;
    device.language = 0x0409;
    device.versionMajor = 2;
    device.versionMinor = 0;
    TestingSetDevice(&device);
}

// ---- Decoding -----------------------------------------------------------------------------------

DecodeOptions StopOnCall(int32_t call) {
    DecodeOptions options;
    options.answers.assign((size_t)call, 0);
    options.answers.back() = 1;
    return options;
}

static int SlotSentinel;
void* const UntouchedSlot = &SlotSentinel;

namespace {
struct NotifierState {
    DecodeRecord* record;
    const DecodeOptions* options;
    DecodeStep start;
};
}  // namespace

static DecodeStep StepsSince(const DecodeStep& start) {
    return {TestingAllocationCount() - start.allocations, TestingReadCount() - start.reads};
}

// The decode whose notifier is recording: the user data each call brings must be its state.
static NotifierState* RecordingState = nullptr;

static int32_t VB_CALL RecordCall(int32_t current, int32_t total, intptr_t userData) {
    NotifierState* state = (NotifierState*)userData;
    if (state != RecordingState) {
        // Another user data than the one handed over (or a call of another convention on
        // 32-bit x86, whose arguments lie elsewhere): counted, and the decode left alone.
        if (RecordingState) RecordingState->record->callsWithOtherUserData++;
        return 0;
    }
    DecodeRecord* record = state->record;
    record->calls.push_back({current, total});
    record->steps.push_back(StepsSince(state->start));
    const size_t call = record->calls.size();
    const DecodeOptions& options = *state->options;
    if (call <= options.answers.size()) return options.answers[call - 1];
    return options.stopAfter >= 0 && call > (size_t)options.stopAfter ? 1 : 0;
}

// A decode or information call must close what it opened, whatever it answered.
static int64_t FilesLeftOpen(const char* call, int64_t openBefore, int32_t result) {
    const int64_t left = TestingOpenFileCount() - openBefore;
    if (left != 0)
        ADD_FAILURE() << call << " left " << left << " file(s) open (result " << result << ")";
    return left;
}

static std::vector<uint8_t> CopyBlock(const void* block) {
    int64_t size = TestingBlockSize(block);
    if (size <= 0) return std::vector<uint8_t>();
    return std::vector<uint8_t>((const uint8_t*)block, (const uint8_t*)block + size);
}

DecodeRecord Decode(const std::string& plugin, const std::u16string& fileName,
                    const DecodeOptions& options) {
    DecodeRecord record;
    const LoadedPlugin& loaded = Plugin(plugin);
    GetPictureFunction decode = options.preview ? loaded.getPreview : loaded.getPicture;
    if (!decode) return record;
    NotifierState state = {&record, &options, {TestingAllocationCount(), TestingReadCount()}};
    const int64_t liveBefore = TestingLiveBlockCount();
    const int64_t openBefore = TestingOpenFileCount();
    NotifierState* outer = RecordingState;
    RecordingState = &state;
    record.result =
        decode(fileName.c_str(), options.offset, 0, &record.headerSlot, &record.bitsSlot,
               options.notifier ? RecordCall : nullptr, (intptr_t)&state);
    RecordingState = outer;
    record.filesLeft = FilesLeftOpen("GetPicture", openBefore, record.result);
    const DecodeStep steps = StepsSince(state.start);
    record.allocations = steps.allocations;
    record.reads = steps.reads;
    record.blocksAdded = TestingLiveBlockCount() - liveBefore;
    if (record.result == RESULT_OK) {
        record.header = CopyBlock(record.headerSlot);
        record.bits = CopyBlock(record.bitsSlot);
        FreeBlock(record.bitsSlot);
        FreeBlock(record.headerSlot);
    }
    record.blocksLeft = TestingLiveBlockCount() - liveBefore;
    return record;
}

DecodeRecord DecodeServed(const std::string& plugin, const std::vector<uint8_t>& file,
                          const DecodeOptions& options) {
    return Decode(plugin, ServeFile("picture." + plugin.substr(2), file), options);
}

std::vector<std::pair<int32_t, int32_t>> ProgressCalls(Protocol protocol, int32_t total,
                                                       int32_t rowsDone) {
    std::vector<std::pair<int32_t, int32_t>> calls = {{0, total}};
    if (protocol == Protocol::Pcx) calls.push_back({total, total});
    for (int32_t row = 0; row < rowsDone; row++) {
        calls.push_back({protocol == Protocol::Mag ? row + 1 : row, total});
    }
    if (protocol != Protocol::Pcx) calls.push_back({total, total});
    return calls;
}

// ---- Picture information ------------------------------------------------------------------------

InfoReading ReadInfo(const std::string& plugin, const std::u16string& fileName, int32_t offset) {
    InfoReading reading;
    memset((void*)&reading.record, 0xA5, sizeof reading.record);
    const LoadedPlugin& loaded = Plugin(plugin);
    if (!loaded.getPictureInfo) return reading;
    const DecodeStep start = {TestingAllocationCount(), TestingReadCount()};
    const int64_t liveBefore = TestingLiveBlockCount();
    const int64_t openBefore = TestingOpenFileCount();
    reading.result = loaded.getPictureInfo(fileName.c_str(), offset, 0, &reading.record);
    reading.filesLeft = FilesLeftOpen("GetPictureInfo", openBefore, reading.result);
    const DecodeStep steps = StepsSince(start);
    reading.allocations = steps.allocations;
    reading.reads = steps.reads;
    const uintptr_t text = reading.record.infoText;  // a copy: the packed field is misaligned
    if (reading.result == RESULT_OK && text != 0) {
        std::vector<uint8_t> block = CopyBlock((const void*)text);
        reading.text.assign(block.begin(), block.end());
        FreeBlock((void*)text);
    }
    reading.blocksLeft = TestingLiveBlockCount() - liveBefore;
    return reading;
}

// ---- Expected DIBs ------------------------------------------------------------------------------

int32_t DibStride(int32_t width, int32_t bitCount) {
    return (int32_t)(((int64_t)width * bitCount + 31) / 32 * 4);
}

static void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(value >> (8 * i));
}

std::vector<uint8_t> DibHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                    uint32_t colours, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> header(BITMAPINFOHEADER_SIZE + RGBQUAD_SIZE * (size_t)colours, 0);
    PutLe32(&header[0], BITMAPINFOHEADER_SIZE);
    PutLe32(&header[4], (uint32_t)width);
    PutLe32(&header[8], (uint32_t)height);
    header[12] = 1;  // biPlanes
    header[14] = (uint8_t)bitCount;
    for (size_t i = 0; i < colours && 3 * i + 2 < rgb.size(); i++) {
        uint8_t* entry = &header[BITMAPINFOHEADER_SIZE + RGBQUAD_SIZE * i];
        entry[0] = rgb[3 * i + 2];  // blue, green, red, 0
        entry[1] = rgb[3 * i + 1];
        entry[2] = rgb[3 * i];
    }
    return header;
}

std::vector<uint8_t> CubePalette() {
    std::vector<uint8_t> rgb(768);
    for (int i = 0; i < 256; i++) {
        rgb[3 * i] = (uint8_t)(36 * (i >> 5));
        rgb[3 * i + 1] = (uint8_t)(36 * ((i >> 2) & 7));
        rgb[3 * i + 2] = (uint8_t)(85 * (i & 3));
    }
    return rgb;
}

int32_t HeaderField(const std::vector<uint8_t>& header, size_t at) {
    if (header.size() < at + 4) return 0;
    return (int32_t)((uint32_t)header[at] | (uint32_t)header[at + 1] << 8 |
                     (uint32_t)header[at + 2] << 16 | (uint32_t)header[at + 3] << 24);
}

uint64_t DibRgbChecksum(const DecodeRecord& out) {
    const int32_t width = HeaderField(out.header, 4);
    const int32_t height = HeaderField(out.header, 8);
    const int32_t bitCount = out.header.size() >= 16 ? out.header[14] : 0;
    const int32_t stride = DibStride(width, bitCount);
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int32_t y = 0; y < height; y++) {
        const uint8_t* row = &out.bits[(size_t)(height - 1 - y) * stride];
        for (int32_t x = 0; x < width; x++) {
            uint8_t rgb[3];
            if (bitCount == 24) {
                rgb[0] = row[3 * x + 2];
                rgb[1] = row[3 * x + 1];
                rgb[2] = row[3 * x];
            } else {
                const uint8_t* quad = &out.header[40 + 4 * row[x]];
                rgb[0] = quad[2];
                rgb[1] = quad[1];
                rgb[2] = quad[0];
            }
            for (uint8_t byte : rgb) {
                hash ^= byte;
                hash *= 0x100000001b3ull;
            }
        }
    }
    return hash;
}
