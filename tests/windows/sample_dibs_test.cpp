// The sample pictures decode to the same DIBs in every build. sample_dibs.txt beside this file
// holds, for each picture under samples/, the result and digests of the header and bits blocks
// as the Linux build decodes them; the Windows build (under wine) and the 32-bit ARM build
// (under qemu) must match it byte for byte.
//
// After a deliberate change of a decoder or of the samples, rewrite the table from the Linux
// build:  VB_WRITE_SAMPLE_DIBS=tests/windows/sample_dibs.txt build/bin/platform_build_tests
//             --gtest_filter='SampleDibsTest.*'
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>

#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"

namespace {

namespace fs = std::filesystem;

struct SampleDib {
    std::string plugin;
    int32_t result = 0;
    int32_t bitCount = 0;
    size_t headerSize = 0;
    uint64_t headerDigest = 0;
    size_t bitsSize = 0;
    uint64_t bitsDigest = 0;
};

std::string PluginForExtension(std::string extension) {
    for (char& c : extension) c = (char)tolower((unsigned char)c);
    if (extension == ".tga") return "vbtga";
    if (extension == ".pcx") return "vbpcx";
    if (extension == ".mag") return "vbmag";
    return std::string();
}

// Sample pictures by their path below samples/, with '/' between folders on every platform.
std::map<std::string, fs::path> ListSamples() {
    std::map<std::string, fs::path> samples;
    fs::path root = fs::path(VB_SOURCE_DIR) / "samples";
    std::error_code error;
    if (!fs::is_directory(root, error)) return samples;
    for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
        if (!entry.is_regular_file()) continue;
        if (PluginForExtension(entry.path().extension().string()).empty()) continue;
        samples[entry.path().lexically_relative(root).generic_string()] = entry.path();
    }
    return samples;
}

// 64-bit FNV-1a.
uint64_t Digest(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

SampleDib DecodeSample(const fs::path& path) {
    SampleDib sample;
    sample.plugin = PluginForExtension(path.extension().string());
    DecodeRecord dib = Decode(sample.plugin, path.u16string());
    sample.result = dib.result;
    if (dib.result != RESULT_OK) return sample;
    sample.bitCount = dib.header[14];
    sample.headerSize = dib.header.size();
    sample.headerDigest = Digest(dib.header);
    sample.bitsSize = dib.bits.size();
    sample.bitsDigest = Digest(dib.bits);
    return sample;
}

std::string Hex64(uint64_t value) {
    std::ostringstream text;
    text << std::hex << std::setw(16) << std::setfill('0') << value;
    return text.str();
}

std::string FormatLine(const std::string& name, const SampleDib& sample) {
    std::ostringstream line;
    line << name << ' ' << sample.plugin << ' ' << sample.result << ' ' << sample.bitCount << ' '
         << sample.headerSize << ' ' << Hex64(sample.headerDigest) << ' ' << sample.bitsSize << ' '
         << Hex64(sample.bitsDigest);
    return line.str();
}

fs::path TablePath() {
    return fs::path(VB_SOURCE_DIR) / "tests" / "windows" / "sample_dibs.txt";
}

// Lines of the table by sample name; '#' starts a comment line.
std::map<std::string, std::string> ReadTable() {
    std::map<std::string, std::string> table;
    std::ifstream in(TablePath());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        table[line.substr(0, line.find(' '))] = line;
    }
    return table;
}

TEST(SampleDibsTest, EverySampleDecodesAsOnLinux) {
    TestingReset();
    UseDesktopDevice();
    int64_t liveBlocks = TestingLiveBlockCount();
    std::map<std::string, fs::path> samples = ListSamples();

    if (const char* output = getenv("VB_WRITE_SAMPLE_DIBS")) {
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out << "# sample plug-in result bit-count header-bytes header-fnv1a64 bits-bytes "
               "bits-fnv1a64\n";
        out << "# Written by SampleDibsTest from the Linux build on a desktop device (24-bit "
               "display).\n";
        for (const auto& [name, path] : samples)
            out << FormatLine(name, DecodeSample(path)) << "\n";
        GTEST_SKIP() << "wrote " << samples.size() << " lines to " << output;
    }

    std::map<std::string, std::string> table = ReadTable();
    if (samples.empty() && table.empty()) GTEST_SKIP() << "no sample pictures yet";
    for (const auto& [name, path] : samples) {
        std::string line = FormatLine(name, DecodeSample(path));
        auto expected = table.find(name);
        if (expected == table.end()) {
            ADD_FAILURE() << "sample " << name << " is not in " << TablePath().string()
                          << "; its line here: " << line;
            continue;
        }
        EXPECT_EQ(line, expected->second);
    }
    for (const auto& [name, line] : table) {
        EXPECT_TRUE(samples.count(name)) << "listed sample is missing: " << name;
    }
    EXPECT_EQ(TestingLiveBlockCount(), liveBlocks);
}

}  // namespace
