// Runs the built vbhost as a user would, on pictures written by the project's encoders, and
// checks its exit status, its messages and the files it writes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "png_reader.h"
#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

extern char** environ;

namespace {

struct RunResult {
    int status = -1;  // exit status; -1 when vbhost did not exit normally (a crash)
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file) << path;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

bool FileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
}

class VbhostRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vbhost-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        folder_ = pattern;
        captures_ = folder_ + "/.captures";
        ASSERT_EQ(0, mkdir(captures_.c_str(), 0700));
    }

    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Path(const std::string& name) const { return folder_ + "/" + name; }

    // Runs vbhost in the test's folder with the device variables of the environment removed,
    // so that the defaults (24-bit desktop, empty registry) hold unless `environment` adds some.
    // The testing layer is preloaded, so that vbhost counts the local-heap blocks and warns
    // about any left at the end: no run may leave one.
    RunResult Run(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {}) {
        std::vector<std::string> variables = environment;
        variables.push_back(std::string("LD_PRELOAD=") + VBTESTING_PATH);
        // The sanitizer runtime then comes after the preloaded layer, which it allows when told.
        std::string sanitizerOptions = "ASAN_OPTIONS=verify_asan_link_order=0";
        for (char** entry = environ; *entry; ++entry) {
            if (strncmp(*entry, "ASAN_OPTIONS=", 13) == 0) {
                sanitizerOptions += std::string(":") + (*entry + 13);
            } else if (strncmp(*entry, "VB_", 3) != 0 && strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
                variables.push_back(*entry);
            }
        }
        variables.push_back(sanitizerOptions);
        std::vector<std::string> words = {VBHOST_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv, envp;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        for (std::string& variable : variables) envp.push_back(&variable[0]);
        envp.push_back(nullptr);
        std::string outPath = captures_ + "/stdout", errPath = captures_ + "/stderr";

        RunResult result;
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            if (chdir(folder_.c_str()) != 0 || !freopen("/dev/null", "rb", stdin) ||
                !freopen(outPath.c_str(), "wb", stdout) ||
                !freopen(errPath.c_str(), "wb", stderr)) {
                _exit(127);
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        result.out = ReadText(outPath);
        result.err = ReadText(errPath);
        EXPECT_EQ(result.err.find("left allocated"), std::string::npos) << result.err;
        return result;
    }

    std::string folder_;
    std::string captures_;
};

// Top row first, 3 bytes a pixel as red, green, blue: distinct values everywhere.
std::vector<uint8_t> MakeRgbPicture(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            rgb.push_back((uint8_t)(x * 40 + 5));
            rgb.push_back((uint8_t)(y * 60 + 7));
            rgb.push_back((uint8_t)(x * 11 + y * 23 + 9));
        }
    }
    return rgb;
}

std::vector<uint8_t> EncodeColourTga(const std::vector<uint8_t>& rgb, int width, int height,
                                     uint8_t imageType = 2) {
    std::vector<uint8_t> bgr(rgb.size());
    for (size_t i = 0; i < rgb.size(); i += 3) {
        bgr[i] = rgb[i + 2];
        bgr[i + 1] = rgb[i + 1];
        bgr[i + 2] = rgb[i];
    }
    TgaImage image;
    image.imageType = imageType;
    image.width = width;
    image.height = height;
    image.pixelDepth = 24;
    image.pixels = OrderTgaRows(bgr, width, height, 3, 0);
    return EncodeTga(image);
}

MagSourcePicture MakeMagSource(int32_t width, int32_t height, bool fullColours) {
    MagSourcePicture picture = MakeMagPicture(width, height, fullColours);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            picture.Set(x, y, (uint8_t)((x / 2 + y * 3) % picture.Colours()));
        }
    }
    return picture;
}

PcxFile MakePcxSource(int32_t width, int32_t height, std::vector<uint8_t>* pixels,
                      std::vector<uint8_t>* palette) {
    for (int32_t i = 0; i < width * height; ++i) pixels->push_back((uint8_t)(i * 37 % 256));
    for (int i = 0; i < 256; ++i) {
        palette->push_back((uint8_t)i);
        palette->push_back((uint8_t)(i ^ 0x55));
        palette->push_back((uint8_t)(255 - i));
    }
    return MakeIndexedPcx(width, height, *pixels, *palette);
}

TEST_F(VbhostRun, PluginsListsTheThreeFiltersWithTheirStrings) {
    RunResult run = Run({"plugins"});
    EXPECT_EQ(0, run.status) << run.err;
    for (const char* text : {"vbmag.spi", "vbpcx.spi", "vbtga.spi", "MAG(*.mag)", "PCX(*.pcx)",
                             "TGA(*.tga)", "*.MAG", "TGA to DIB filter version 0.50"}) {
        EXPECT_NE(std::string::npos, run.out.find(text)) << text << "\n" << run.out;
    }
    RunResult json = Run({"plugins", "--json"});
    EXPECT_EQ(0, json.status);
    size_t interfaces = 0;
    for (size_t at = 0; (at = json.out.find("\"interface\": \"00IN\"", at)) != std::string::npos;
         ++at) {
        ++interfaces;
    }
    EXPECT_EQ(3u, interfaces) << json.out;

    ASSERT_EQ(0, mkdir(Path("empty").c_str(), 0700));
    RunResult none = Run({"plugins", "--plugin-dir", "empty"});
    EXPECT_EQ(1, none.status);
    EXPECT_NE(std::string::npos, none.err.find("no plug-ins")) << none.err;
}

TEST_F(VbhostRun, InfoShowsEachFormatAndTheCommentInUtf8) {
    MagEncodeOptions options;
    options.comment = "\x82\xA0 comment";  // Shift-JIS hiragana A
    WriteBytes(Path("pic.mag"), EncodeMag(MakeMagSource(16, 4, false), options).bytes);
    WriteBytes(Path("pic.tga"), EncodeColourTga(MakeRgbPicture(5, 3), 5, 3));
    std::vector<uint8_t> pixels, palette;
    PcxFile pcx = MakePcxSource(6, 2, &pixels, &palette);
    pcx.xmin = 10;
    pcx.xmax = 15;
    pcx.ymin = 5;
    pcx.ymax = 6;
    WriteBytes(Path("pic.pcx"), WritePcx(pcx));

    RunResult run = Run({"info", "pic.mag", "pic.tga", "pic.pcx"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("text:     \xE3\x81\x82 comment")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("size:     16 x 4")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("origin:   10, 5")) << run.out;

    RunResult json = Run({"info", "--json", "pic.mag", "pic.pcx"});
    EXPECT_EQ(0, json.status) << json.err;
    EXPECT_NE(std::string::npos,
              json.out.find("{\"file\": \"pic.mag\", \"plugin\": \"vbmag.spi\", \"format\": "
                            "\"MAG(*.mag)\", \"result\": 0, \"width\": 16, \"height\": 4, "
                            "\"left\": 0, \"top\": 0, \"depth\": 4, \"xDensity\": 1, "
                            "\"yDensity\": 1, \"text\": \"\xE3\x81\x82 comment\"}"))
        << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"width\": 6, \"height\": 2, \"left\": 10, "
                                               "\"top\": 5, \"depth\": 8"))
        << json.out;
}

TEST_F(VbhostRun, OffsetFindsAPictureInsideALargerFile) {
    MagEncodeOptions options;
    options.leading.assign(100, 0xEE);
    options.comment = "inner";
    MagSourcePicture source = MakeMagSource(8, 2, true);
    WriteBytes(Path("album.bin"), EncodeMag(source, options).bytes);

    RunResult without = Run({"info", "album.bin"});
    EXPECT_EQ(1, without.status);
    EXPECT_EQ("vbhost: album.bin: no plug-in reads this file\n", without.err);

    RunResult with = Run({"info", "album.bin", "--offset", "100"});
    EXPECT_EQ(0, with.status) << with.err;
    EXPECT_NE(std::string::npos, with.out.find("text:     inner")) << with.out;

    RunResult convert = Run({"convert", "--offset=100", "album.bin"});
    EXPECT_EQ(0, convert.status) << convert.err;
    DecodedPng png;
    std::string problem;
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("album.png")), &png, &problem)) << problem;
    EXPECT_EQ(8, png.bitDepth);
    EXPECT_EQ(source.palette, png.palette);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < 8; ++x) EXPECT_EQ(source.At(x, y), PngIndexAt(png, y, x));
    }
}

TEST_F(VbhostRun, ConvertWritesEachPicturesPixels) {
    std::vector<uint8_t> rgb = MakeRgbPicture(5, 3);
    WriteBytes(Path("photo.tga"), EncodeColourTga(rgb, 5, 3, 10));
    MagSourcePicture mag = MakeMagSource(16, 4, false);
    WriteBytes(Path("pic.mag"), EncodeMag(mag).bytes);
    std::vector<uint8_t> pixels, palette;
    WriteBytes(Path("pic.pcx"), WritePcx(MakePcxSource(6, 2, &pixels, &palette)));

    RunResult run = Run({"convert", "photo.tga", "pic.mag", "pic.pcx", "-d", "out/png"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(3u, CountLines(run.out)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("photo.tga -> out/png/photo.png (vbtga.spi, "
                                              "5 x 3, 24 bits)"))
        << run.out;

    DecodedPng png;
    std::string problem;
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/png/photo.png")), &png, &problem)) << problem;
    EXPECT_EQ(2, png.colourType);
    ASSERT_EQ(3u, png.rows.size());
    for (uint32_t y = 0; y < 3; ++y) {
        EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + y * 15, rgb.begin() + y * 15 + 15),
                  png.rows[y])
            << "row " << y;
    }

    // Both pic.mag and pic.pcx would be pic.png: each keeps its extension.
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/png/pic.mag.png")), &png, &problem)) << problem;
    EXPECT_EQ(3, png.colourType);
    EXPECT_EQ(4, png.bitDepth);
    EXPECT_EQ(mag.palette, png.palette);
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 16; ++x) EXPECT_EQ(mag.At(x, y), PngIndexAt(png, y, x));
    }

    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/png/pic.pcx.png")), &png, &problem)) << problem;
    EXPECT_EQ(8, png.bitDepth);
    EXPECT_EQ(palette, png.palette);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < 6; ++x) EXPECT_EQ(pixels[y * 6 + x], PngIndexAt(png, y, x));
    }
}

TEST_F(VbhostRun, BmpIsTheDibBehindAFileHeader) {
    std::vector<uint8_t> rgb = MakeRgbPicture(2, 2);
    WriteBytes(Path("tiny.tga"), EncodeColourTga(rgb, 2, 2));
    RunResult run = Run({"convert", "tiny.tga", "-o", "tiny.bmp"});
    ASSERT_EQ(0, run.status) << run.err;

    // 24 bits, 2 x 2: stride 8, bottom row first, blue-green-red.
    std::vector<uint8_t> expected = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                     0,   0,   0,  2, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
    expected.resize(14 + 40, 0);
    for (int y = 1; y >= 0; --y) {
        for (int x = 0; x < 2; ++x) {
            const uint8_t* pixel = &rgb[(y * 2 + x) * 3];
            expected.insert(expected.end(), {pixel[2], pixel[1], pixel[0]});
        }
        expected.insert(expected.end(), {0, 0});
    }
    EXPECT_EQ(expected, ReadFileBytes(Path("tiny.bmp")));

    RunResult preview = Run({"convert", "tiny.tga", "--preview", "--format", "bmp", "-o", "p"});
    ASSERT_EQ(0, preview.status) << preview.err;
    EXPECT_EQ(expected, ReadFileBytes(Path("p")));
}

TEST_F(VbhostRun, DeviceOptionsReachThePlugins) {
    WriteBytes(Path("photo.tga"), EncodeColourTga(MakeRgbPicture(8, 4), 8, 4));
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> environment;
        int bitDepth;
        int colourType;
    };
    ASSERT_EQ(0, mkdir(Path("tmp").c_str(), 0700));
    const std::string offRegistry = Path("off.reg");
    FILE* file = fopen(offRegistry.c_str(), "wb");
    fputs(
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n"
        "\"full color\"=dword:00000000\r\n",
        file);
    fclose(file);
    const Case cases[] = {
        {{}, {}, 8, 2},
        {{"--display-bits", "8"}, {}, 8, 3},
        {{"--display-bits", "2"}, {}, 2, 3},
        {{"--full-color", "off"}, {}, 8, 3},
        {{}, {"VB_DISPLAY_BITS=8"}, 8, 3},
        {{"--registry", "off.reg"}, {}, 8, 3},
        // The option wins over the registry file it is merged into.
        {{"--full-color", "on"}, {"VB_REGISTRY=" + offRegistry}, 8, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"convert", "photo.tga", "-o", "out.png"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        std::vector<std::string> environment = c.environment;
        environment.push_back("TMPDIR=" + Path("tmp"));
        RunResult run = Run(arguments, environment);
        std::string label =
            ::testing::PrintToString(c.options) + ::testing::PrintToString(c.environment);
        ASSERT_EQ(0, run.status) << label << run.err;
        DecodedPng png;
        std::string problem;
        ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out.png")), &png, &problem)) << label;
        EXPECT_EQ(c.bitDepth, png.bitDepth) << label;
        EXPECT_EQ(c.colourType, png.colourType) << label;
    }
    // The merged registry copy does not outlive the run.
    EXPECT_TRUE(std::filesystem::is_empty(Path("tmp")));
}

TEST_F(VbhostRun, EachFailingFileGetsOneLineAndTheStatusSaysSo) {
    WriteBytes(Path("good.tga"), EncodeColourTga(MakeRgbPicture(2, 2), 2, 2));
    WriteBytes(Path("bad.tga"), std::vector<uint8_t>(18, 0));  // image type 0
    WriteBytes(Path("notes.txt"), {'h', 'i', '\n'});
    TgaImage colourMapped;
    colourMapped.imageType = 1;
    colourMapped.width = 2;
    colourMapped.height = 2;
    colourMapped.pixelDepth = 8;
    colourMapped.pixels.assign(4, 0);
    WriteBytes(Path("mapped.tga"), EncodeTga(colourMapped));

    RunResult run = Run(
        {"convert", "missing.tga", "bad.tga", "good.tga", "notes.txt", "mapped.tga", "-d", "out"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(
        "vbhost: missing.tga: cannot open the file: No such file or directory\n"
        "vbhost: bad.tga: vbtga.spi: unknown or unsupported picture format (result 2)\n"
        "vbhost: notes.txt: no plug-in reads this file\n"
        "vbhost: mapped.tga: vbtga.spi: unknown or unsupported picture format (result 2)\n",
        run.err);
    EXPECT_EQ("good.tga -> out/good.png (vbtga.spi, 2 x 2, 24 bits)\n", run.out);
    EXPECT_FALSE(FileExists(Path("out/bad.png")));
    EXPECT_FALSE(FileExists(Path("out/mapped.png")));

    // info reads the colour-mapped header the decoder refuses.
    RunResult info = Run({"info", "mapped.tga", "missing.tga"});
    EXPECT_EQ(1, info.status);
    EXPECT_NE(std::string::npos, info.out.find("depth:    8 bits")) << info.out;
    EXPECT_EQ(1u, CountLines(info.err)) << info.err;
}

TEST_F(VbhostRun, AbortAnsweredByTheNotifierLeavesNoOutput) {
    WriteBytes(Path("photo.tga"), EncodeColourTga(MakeRgbPicture(4, 6), 4, 6));
    WriteBytes(Path("pic.mag"), EncodeMag(MakeMagSource(8, 6, false)).bytes);
    RunResult run = Run({"convert", "photo.tga", "pic.mag", "--abort-after", "1"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(
        "vbhost: photo.tga: vbtga.spi: decoding aborted (result 1) as asked by --abort-after\n"
        "vbhost: pic.mag: vbmag.spi: decoding aborted (result 1) as asked by --abort-after\n",
        run.err);
    EXPECT_FALSE(FileExists(Path("photo.png")));
    EXPECT_FALSE(FileExists(Path("pic.png")));
}

TEST_F(VbhostRun, UsageErrorsAreRefusedBeforeAnyWork) {
    WriteBytes(Path("a.tga"), EncodeColourTga(MakeRgbPicture(2, 2), 2, 2));
    const std::vector<std::string> refused[] = {
        {},
        {"show", "a.tga"},
        {"convert", "a.tga", "a.tga", "-o", "x.png"},
        {"convert", "a.tga", "-o", "x.png", "-d", "out"},
        {"convert", "a.tga", "--format", "gif"},
        {"convert", "a.tga", "--display-bits", "0"},
        {"convert", "a.tga", "--offset", "-4"},
        {"convert", "a.tga", "--language", "0x10000"},
        {"info", "a.tga", "-o", "x.png"},
        {"info"},
        {"convert", "a.tga", "--frobnicate"},
    };
    for (const std::vector<std::string>& arguments : refused) {
        RunResult run = Run(arguments);
        EXPECT_EQ(2, run.status) << ::testing::PrintToString(arguments);
        EXPECT_NE(std::string::npos, run.err.find("vbhost --help")) << run.err;
    }
    EXPECT_FALSE(FileExists(Path("x.png")));
    RunResult help = Run({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("Usage: vbhost"));
}

TEST_F(VbhostRun, DamagedFilesNeverCrashTheHost) {
    // Every cut of a valid file, and the same files with their bytes scrambled past the
    // headers: each run must end with a status, not a signal.
    std::vector<std::vector<uint8_t>> files = {
        EncodeColourTga(MakeRgbPicture(7, 5), 7, 5, 10),
        EncodeMag(MakeMagSource(16, 6, false)).bytes,
    };
    std::vector<uint8_t> pixels, palette;
    files.push_back(WritePcx(MakePcxSource(6, 3, &pixels, &palette)));
    const char* names[] = {"cut.tga", "cut.mag", "cut.pcx"};
    std::vector<std::string> arguments = {"convert", "-d", "out"};
    uint32_t seed = 12345;
    for (size_t f = 0; f < files.size(); ++f) {
        const std::vector<uint8_t>& whole = files[f];
        for (size_t length = 0; length < whole.size(); length += 1 + whole.size() / 40) {
            std::string name = std::to_string(length) + names[f];
            WriteBytes(Path(name), std::vector<uint8_t>(whole.begin(), whole.begin() + length));
            arguments.push_back(name);
        }
        for (int copy = 0; copy < 8; ++copy) {
            std::vector<uint8_t> scrambled = whole;
            for (size_t i = 8 + copy * 4; i < scrambled.size(); i += 3 + copy) {
                seed = seed * 1103515245u + 12345u;
                scrambled[i] = (uint8_t)(seed >> 16);
            }
            std::string name = "scrambled" + std::to_string(copy) + names[f];
            WriteBytes(Path(name), scrambled);
            arguments.push_back(name);
        }
    }
    RunResult run = Run(arguments);
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
    // Every file is accounted for: a line on stdout or one on stderr.
    EXPECT_EQ(arguments.size() - 3, CountLines(run.out) + CountLines(run.err)) << run.err;
}

}  // namespace
