#include "build_test_support.h"

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

static fs::path TemporaryFolder() {
    static fs::path folder =
        fs::temp_directory_path() / ("vb-platform-build-" + std::to_string(ThisProcessId()));
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

const LoadedPlugin& Plugin(const std::string& name) {
    static std::map<std::string, LoadedPlugin> loaded;
    auto found = loaded.find(name);
    if (found == loaded.end()) found = loaded.emplace(name, LoadPlugin(PluginPath(name))).first;
    return found->second;
}

uint32_t DibStride(int32_t width, int32_t bitCount) {
    return (uint32_t)(((int64_t)width * bitCount + 31) / 32 * 4);
}

static int32_t ReadLe32Signed(const uint8_t* p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                     (uint32_t)p[3] << 24);
}

// The decode whose notifier calls are being recorded (one at a time: the tests run in sequence).
static DecodedDib* RecordingDib = nullptr;

static int32_t VB_CALL RecordProgress(int32_t current, int32_t total, intptr_t userData) {
    RecordingDib->progress.emplace_back(current, total);
    if (userData != ProgressUserData) RecordingDib->callsWithOtherUserData++;
    return 0;
}

DecodedDib DecodeThroughPlugin(const LoadedPlugin& plugin, const std::u16string& path,
                               int32_t offset, uint32_t headerBytes) {
    DecodedDib dib;
    void* header = nullptr;
    void* bits = nullptr;
    RecordingDib = &dib;
    dib.result = plugin.getPicture(path.c_str(), offset, 0, &header, &bits, RecordProgress,
                                   ProgressUserData);
    RecordingDib = nullptr;
    if (dib.result != RESULT_OK) return dib;
    const uint8_t* headerBlock = (const uint8_t*)header;
    dib.header.assign(headerBlock, headerBlock + headerBytes);
    int32_t width = ReadLe32Signed(headerBlock + 4);
    int32_t height = ReadLe32Signed(headerBlock + 8);
    int32_t bitCount = headerBlock[14] | headerBlock[15] << 8;
    size_t size = (size_t)DibStride(width, bitCount) * (size_t)(height < 0 ? -height : height);
    dib.bits.assign((const uint8_t*)bits, (const uint8_t*)bits + size);
    FreeBlock(bits);
    FreeBlock(header);
    return dib;
}

uint32_t HeaderBlockSize(const std::string& pluginName, int32_t bitCount) {
    // vbmag sizes its colour table to the depth; the others always make room for 256 entries.
    if (pluginName == "vbmag") return 40 + 4 * (1u << bitCount);
    return 1064;
}

uint64_t Digest(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

static void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(value >> (8 * i));
}

std::vector<uint8_t> ExpectedHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                         uint32_t colours) {
    std::vector<uint8_t> header(40 + 4 * (size_t)colours, 0);
    PutLe32(&header[0], 40);
    PutLe32(&header[4], (uint32_t)width);
    PutLe32(&header[8], (uint32_t)height);
    header[12] = 1;  // planes
    header[14] = (uint8_t)bitCount;
    return header;
}

void PutColour(std::vector<uint8_t>* header, uint32_t index, uint8_t red, uint8_t green,
               uint8_t blue) {
    uint8_t* entry = &(*header)[40 + 4 * (size_t)index];
    entry[0] = blue;
    entry[1] = green;
    entry[2] = red;
    entry[3] = 0;
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
