// Runs the built vbhost as a user would, on pictures written by the project's encoders, and
// checks its exit status, its messages and the files it writes.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
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

// A run on a terminal: what vbhost drew there, and the percentages of its progress bar in the
// order drawn.
struct TerminalRun {
    int status = -1;
    std::string screen;
    std::vector<int> percents;
    double secondsAfterInterrupt = -1;
};

double MonotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

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

// Empty when this process can start vbhost (its --help ends with status 0), else what went
// wrong. Under qemu-user an emulated program cannot start another one: a forked child dies of
// SIGSEGV, and without binfmt_misc the kernel could not run an ARM program anyway (ENOEXEC).
std::string VbhostStartProblem() {
    static const std::string problem = []() -> std::string {
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            char* argv[] = {const_cast<char*>(VBHOST_PATH), const_cast<char*>("--help"),
                            nullptr};
            if (freopen("/dev/null", "wb", stdout) && freopen("/dev/null", "wb", stderr)) {
                execv(argv[0], argv);
            }
            int failure = errno;
            ssize_t written = write(report[1], &failure, sizeof failure);
            _exit(written == (ssize_t)sizeof failure ? 127 : 126);
        }
        int failure = child < 0 ? errno : 0;
        close(report[1]);
        if (child < 0) {
            close(report[0]);
            return std::string("fork: ") + strerror(failure);
        }
        // Nothing to read when execv succeeded and closed the pipe.
        bool execFailed = read(report[0], &failure, sizeof failure) == (ssize_t)sizeof failure;
        close(report[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (execFailed) return std::string("execv: ") + strerror(failure);
        if (WIFSIGNALED(status)) {
            return "the child process died of signal " + std::to_string(WTERMSIG(status));
        }
        if (WEXITSTATUS(status) != 0) {
            return "vbhost --help ended with status " + std::to_string(WEXITSTATUS(status));
        }
        return "";
    }();
    return problem;
}

class VbhostRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string problem = VbhostStartProblem();
        if (!problem.empty()) {
            GTEST_SKIP() << "this process cannot start vbhost (" << problem
                         << "), as under qemu-user, where an emulated program cannot start "
                            "another; tests/windows runs vbhost through the emulator instead";
        }
        char pattern[] = "/tmp/vbhost-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        folder_ = pattern;
        captures_ = folder_ + "/.captures";
        ASSERT_EQ(0, mkdir(captures_.c_str(), 0700));
    }

    void TearDown() override {
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    std::string Path(const std::string& name) const { return folder_ + "/" + name; }

    // Runs vbhost in the test's folder with the device variables of the environment removed,
    // so that the defaults (24-bit desktop, empty registry) hold unless `environment` adds some.
    // The testing layer is preloaded, so that vbhost counts the local-heap blocks and warns
    // about any left at the end: no run may leave one.
    RunResult Run(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {},
                  const std::string& input = "/dev/null") {
        std::vector<std::string> words, variables;
        std::vector<char*> argv, envp;
        PrepareCommand(arguments, environment, &words, &variables, &argv, &envp);
        std::string outPath = captures_ + "/stdout", errPath = captures_ + "/stderr";

        RunResult result;
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            if (chdir(folder_.c_str()) != 0 || !freopen(input.c_str(), "rb", stdin) ||
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

    // Runs vbhost with stdout and stderr on a terminal of its own, as a person sees it. With
    // `interruptAt` >= 0, `signals` (Ctrl-C by default) are sent 1 ms apart once the bar shows
    // at least that percentage (and less than 100).
    TerminalRun RunOnTerminal(const std::vector<std::string>& arguments, int interruptAt = -1,
                              const std::vector<int>& signals = {SIGINT},
                              const std::vector<std::string>& environment = {}) {
        std::vector<std::string> words, variables;
        std::vector<char*> argv, envp;
        PrepareCommand(arguments, environment, &words, &variables, &argv, &envp);
        TerminalRun result;
        fflush(nullptr);
        int terminal = -1;
        winsize size = {24, terminalColumns_, 0, 0};
        pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
        if (child == 0) {
            if (chdir(folder_.c_str()) != 0) _exit(127);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (child < 0) return result;
        double interruptedAt = -1;
        std::string digits;
        char buffer[4096];
        for (;;) {
            ssize_t count = read(terminal, buffer, sizeof(buffer));
            if (count <= 0) break;  // EIO once vbhost has ended and the terminal is closed
            for (ssize_t i = 0; i < count; ++i) {
                char c = buffer[i];
                result.screen.push_back(c);
                if (c >= '0' && c <= '9') {
                    digits.push_back(c);
                    continue;
                }
                if (c == '%' && !digits.empty()) result.percents.push_back(atoi(digits.c_str()));
                digits.clear();
            }
            if (interruptAt >= 0 && interruptedAt < 0 && !result.percents.empty() &&
                result.percents.back() >= interruptAt && result.percents.back() < 100) {
                for (size_t k = 0; k < signals.size(); ++k) {
                    if (k > 0) usleep(1000);
                    kill(child, signals[k]);
                }
                interruptedAt = MonotonicSeconds();
            }
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (interruptedAt >= 0) result.secondsAfterInterrupt = MonotonicSeconds() - interruptedAt;
        close(terminal);
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        return result;
    }

    // vbhost's path and arguments, and this process's environment without VB_ variables plus
    // `environment`, as execve takes them (the pointers point into `words` and `variables`).
    void PrepareCommand(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment,
                        std::vector<std::string>* words, std::vector<std::string>* variables,
                        std::vector<char*>* argv, std::vector<char*>* envp) {
        *variables = environment;
        variables->push_back(std::string("LD_PRELOAD=") + VBTESTING_PATH);
        // The sanitizer runtime then comes after the preloaded layer, which it allows when told.
        std::string sanitizerOptions = "ASAN_OPTIONS=verify_asan_link_order=0";
        for (char** entry = environ; *entry; ++entry) {
            if (strncmp(*entry, "ASAN_OPTIONS=", 13) == 0) {
                sanitizerOptions += std::string(":") + (*entry + 13);
            } else if (strncmp(*entry, "VB_", 3) != 0 && strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
                variables->push_back(*entry);
            }
        }
        variables->push_back(sanitizerOptions);
        *words = {VBHOST_PATH};
        words->insert(words->end(), arguments.begin(), arguments.end());
        for (std::string& word : *words) argv->push_back(&word[0]);
        argv->push_back(nullptr);
        for (std::string& variable : *variables) envp->push_back(&variable[0]);
        envp->push_back(nullptr);
    }

    std::string folder_;
    std::string captures_;
    unsigned short terminalColumns_ = 80;  // of RunOnTerminal's terminal
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

    // convert keeps the comment in the PNG.
    RunResult convert = Run({"convert", "pic.mag"});
    ASSERT_EQ(0, convert.status) << convert.err;
    DecodedPng png;
    std::string problem;
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("pic.png")), &png, &problem)) << problem;
    EXPECT_EQ(std::vector<std::string>{"iTXt Comment: \xE3\x81\x82 comment"}, png.texts);

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
    // 16 pixels of a 256-colour picture: a 4-bit palette of the colours they show.
    EXPECT_EQ(4, png.bitDepth);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < 8; ++x) {
            const uint8_t* colour = &source.palette[3 * source.At(x, y)];
            EXPECT_EQ(std::vector<uint8_t>(colour, colour + 3), PngColourAt(png, y, x));
        }
    }
}

TEST_F(VbhostRun, ConvertWritesEachPicturesPixels) {
    std::vector<uint8_t> rgb = MakeRgbPicture(5, 3);
    WriteBytes(Path("photo.tga"), EncodeColourTga(rgb, 5, 3, 10));
    MagSourcePicture mag = MakeMagSource(16, 4, false);
    WriteBytes(Path("pic.mag"), EncodeMag(mag).bytes);
    std::vector<uint8_t> pixels, palette;
    WriteBytes(Path("pic.pcx"), WritePcx(MakePcxSource(6, 2, &pixels, &palette)));

    TgaImage gray;
    gray.imageType = 3;
    gray.width = 4;
    gray.height = 2;
    gray.pixelDepth = 8;
    gray.pixels = {0, 50, 100, 150, 200, 250, 255, 1};  // bottom row first
    WriteBytes(Path("gray.tga"), EncodeTga(gray));

    RunResult run =
        Run({"convert", "photo.tga", "pic.mag", "pic.pcx", "gray.tga", "-d", "out/png"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(4u, CountLines(run.out)) << run.out;
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
    EXPECT_EQ(4, png.bitDepth);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < 6; ++x) {
            const uint8_t* colour = &palette[3 * pixels[y * 6 + x]];
            EXPECT_EQ(std::vector<uint8_t>(colour, colour + 3), PngColourAt(png, y, x));
        }
    }

    // An 8-bit gray picture comes as a gray ramp table: a grayscale PNG.
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/png/gray.png")), &png, &problem)) << problem;
    EXPECT_EQ(0, png.colourType);
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{{200, 250, 255, 1}, {0, 50, 100, 150}}), png.rows);

    // -q: only failures are told.
    RunResult quiet = Run({"convert", "-q", "photo.tga", "missing.tga", "-d", "out/quiet"});
    EXPECT_EQ(1, quiet.status);
    EXPECT_EQ("", quiet.out);
    EXPECT_EQ("vbhost: missing.tga: cannot open the file: No such file or directory\n", quiet.err);
    EXPECT_TRUE(FileExists(Path("out/quiet/photo.png")));
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
        {{"--display-bits", "2"}, {}, 2, 0},  // four grays: a grayscale PNG
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

// The platform reads the VB_ variables and the registry file quietly, keeping its defaults for
// what it cannot read; vbhost refuses them before any work.
TEST_F(VbhostRun, DeviceSettingsThatCannotBeReadAreRefused) {
    WriteBytes(Path("a.tga"), EncodeColourTga(MakeRgbPicture(2, 2), 2, 2));
    auto writeText = [&](const std::string& name, const std::string& text) {
        WriteBytes(Path(name), std::vector<uint8_t>(text.begin(), text.end()));
    };
    writeText("noheader.reg", "[HKEY_CURRENT_USER\\Software\\Velbrook]\r\n");
    writeText("value.reg",
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n"
              "\"full color\"=dword:zero\r\n");
    writeText("bracket.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\r\n");
    // regedit's own export: UTF-16 with a byte-order mark, a comment, a hex list on two lines.
    std::string exported =
        "Windows Registry Editor Version 5.00\r\n; saved\r\n[HKEY_CURRENT_USER\\Software\\"
        "Velbrook\\PlugIn]\r\n\"full color\"=dword:00000001\r\n\"bytes\"=hex:01,02,\\\r\n"
        "  03\r\n@=\"text\"\r\n";
    std::vector<uint8_t> wide = {0xFF, 0xFE};
    for (char c : exported) wide.insert(wide.end(), {(uint8_t)c, 0});
    WriteBytes(Path("exported.reg"), wide);

    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> environment;
        int status;
        std::string message;  // the whole of stderr's first line when refused
    };
    const Case cases[] = {
        {{},
         {"VB_DISPLAY_BITS=abc"},
         2,
         "vbhost: VB_DISPLAY_BITS is 'abc', which is not a number of bits from 1 to 32 (unset "
         "it to get the default)"},
        {{}, {"VB_DISPLAY_BITS=0x18"}, 2, ""},
        {{}, {"VB_SCREEN_WIDTH=wide"}, 2, ""},
        {{}, {"VB_LANGUAGE=japanese"}, 2, ""},
        {{}, {"VB_SYSTEM_VERSION=two"}, 2, ""},
        {{},
         {"VB_REGISTRY=missing.reg"},
         1,
         "vbhost: cannot read the registry file missing.reg (VB_REGISTRY): No such file or "
         "directory"},
        {{"--registry", "missing.reg"}, {}, 1, ""},
        {{"--registry", "noheader.reg"},
         {},
         1,
         "vbhost: the registry file noheader.reg cannot be used: it does not begin with REGEDIT4 "
         "or \"Windows Registry Editor Version 5.00\""},
        {{"--registry", "value.reg"},
         {},
         1,
         "vbhost: the registry file value.reg cannot be used: line 4: not a value regedit "
         "writes: \"full color\"=dword:zero"},
        {{"--registry", "bracket.reg"},
         {},
         1,
         "vbhost: the registry file bracket.reg cannot be used: line 3: a key without its "
         "closing ]"},
        {{"--full-color", "on"}, {"VB_REGISTRY=value.reg"}, 1, ""},
        // Accepted: an option overrides its variable, an empty variable is unset, regedit's file.
        {{"--display-bits", "24"}, {"VB_DISPLAY_BITS=abc"}, 0, ""},
        {{}, {"VB_DISPLAY_BITS=", "VB_LANGUAGE=0x0411", "VB_SYSTEM_VERSION=2.11"}, 0, ""},
        {{"--registry", "exported.reg"}, {}, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"convert", "a.tga", "-o", "out.png"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        std::string label =
            ::testing::PrintToString(c.options) + ::testing::PrintToString(c.environment);
        RunResult run = Run(arguments, c.environment);
        EXPECT_EQ(c.status, run.status) << label << run.err;
        EXPECT_EQ(c.status == 0, FileExists(Path("out.png"))) << label;
        if (!c.message.empty()) {
            EXPECT_EQ(c.message + "\n", run.err) << label;
        }
        if (c.status != 0) {
            EXPECT_EQ(1u, CountLines(run.err)) << label << run.err;
        }
        unlink(Path("out.png").c_str());
    }
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
    WriteBytes(Path("empty.tga"), {});
    std::string text(200, 'x');  // no PCX header: its depth field says 120 x 120 bits
    WriteBytes(Path("text.pcx"), std::vector<uint8_t>(text.begin(), text.end()));

    RunResult run = Run({"convert", "missing.tga", "bad.tga", "good.tga", "notes.txt", "mapped.tga",
                         "empty.tga", "text.pcx", "-d", "out"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(
        "vbhost: missing.tga: cannot open the file: No such file or directory\n"
        "vbhost: bad.tga: vbtga.spi: unknown or unsupported picture format (result 2): image "
        "type 0 is not a TGA picture type\n"
        "vbhost: notes.txt: no plug-in reads this file\n"
        "vbhost: mapped.tga: vbtga.spi: unknown or unsupported picture format (result 2): this "
        "is a colour-mapped TGA picture (8-bit indices into 0-bit colours); vbtga.spi reads 8- "
        "and 16-bit indices into 15-, 16-, 24- and 32-bit colours\n"
        "vbhost: empty.tga: empty file\n"
        "vbhost: text.pcx: vbpcx.spi: unknown or unsupported picture format (result 2): the "
        "file does not begin with the PCX manufacturer byte 10\n",
        run.err);
    EXPECT_EQ("good.tga -> out/good.png (vbtga.spi, 2 x 2, 24 bits)\n", run.out);
    EXPECT_FALSE(FileExists(Path("out/bad.png")));
    EXPECT_FALSE(FileExists(Path("out/mapped.png")));
    // Nothing converted: no folder made.
    RunResult none = Run({"convert", "missing.tga", "bad.tga", "-d", "never/made"});
    EXPECT_EQ(1, none.status);
    EXPECT_FALSE(FileExists(Path("never")));

    // Where the information record gives a depth the plug-in does not decode, the message
    // says so.
    TgaImage sixteen;
    sixteen.width = 2;
    sixteen.height = 1;
    sixteen.pixelDepth = 16;
    sixteen.pixels.assign(4, 0);
    WriteBytes(Path("sixteen.tga"), EncodeTga(sixteen));
    PcxFile colour;
    colour.planes = 3;
    colour.xmax = 1;
    colour.bytesPerLine = 2;
    colour.planeData.assign(6, 0);
    WriteBytes(Path("colour.pcx"), WritePcx(colour));
    PcxFile mono;
    mono.bitsPerPixel = 1;
    mono.xmax = 7;
    mono.bytesPerLine = 2;
    mono.planeData.assign(2, 0);
    WriteBytes(Path("mono.pcx"), WritePcx(mono));
    const std::string refused =
        "vbhost: sixteen.tga: vbtga.spi: unknown or unsupported picture format (result 2): this "
        "is a 16-bit colour TGA picture; vbtga.spi reads it with the \"extended layouts\" setting "
        "on (--extended-layouts on)\n"
        "vbhost: colour.pcx: vbpcx.spi: unknown or unsupported picture format (result 2): this "
        "is a PCX picture of 8 bits x 3 planes; vbpcx.spi reads it with the \"extended layouts\" "
        "setting on (--extended-layouts on)\n"
        "vbhost: mono.pcx: vbpcx.spi: unknown or unsupported picture format (result 2): this is "
        "a PCX picture of 1 bit x 1 plane; vbpcx.spi reads it with the \"extended layouts\" "
        "setting on (--extended-layouts on)\n";
    RunResult depths = Run({"convert", "sixteen.tga", "colour.pcx", "mono.pcx", "-d", "out",
                            "--extended-layouts", "off"});
    EXPECT_EQ(1, depths.status);
    EXPECT_EQ(refused, depths.err);
    // vbhost turns the setting on unless the registry file it is given sets it.
    WriteBytes(Path("off.reg"), {});
    FILE* off = fopen(Path("off.reg").c_str(), "wb");
    fputs(
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n"
        "\"extended layouts\"=dword:00000000\r\n",
        off);
    fclose(off);
    RunResult fromFile = Run(
        {"convert", "sixteen.tga", "colour.pcx", "mono.pcx", "-d", "out", "--registry", "off.reg"});
    EXPECT_EQ(1, fromFile.status);
    EXPECT_EQ(refused, fromFile.err);
    RunResult extended = Run({"convert", "sixteen.tga", "colour.pcx", "mono.pcx", "-d", "out"});
    EXPECT_EQ(0, extended.status) << extended.err;
    EXPECT_EQ(
        "sixteen.tga -> out/sixteen.png (vbtga.spi, 2 x 1, 24 bits)\n"
        "colour.pcx -> out/colour.png (vbpcx.spi, 2 x 1, 24 bits)\n"
        "mono.pcx -> out/mono.png (vbpcx.spi, 8 x 1, 8 bits)\n",
        extended.out);

    // info reads the colour-mapped header the decoder refuses.
    RunResult info = Run({"info", "mapped.tga", "missing.tga"});
    EXPECT_EQ(1, info.status);
    EXPECT_NE(std::string::npos, info.out.find("depth:    8 bits")) << info.out;
    EXPECT_EQ(1u, CountLines(info.err)) << info.err;
}

// "-" is standard input, spooled to a file that each plug-in sees with its own extension; a
// folder stands for the pictures in it that a plug-in reads.
TEST_F(VbhostRun, StandardInputAndFoldersAreInputs) {
    std::vector<uint8_t> rgb = MakeRgbPicture(3, 2);
    WriteBytes(Path("photo.tga"), EncodeColourTga(rgb, 3, 2));
    std::vector<uint8_t> pixels, palette;
    WriteBytes(Path("pic.pcx"), WritePcx(MakePcxSource(6, 2, &pixels, &palette)));
    RunResult run = Run({"convert", "-", "-d", "out"}, {}, Path("photo.tga"));
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("- -> out/stdin.png (vbtga.spi, 3 x 2, 24 bits)\n", run.out);
    DecodedPng png;
    std::string problem;
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/stdin.png")), &png, &problem)) << problem;
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 9), png.rows[0]);
    // The PCX plug-in, asked first, would read any header it is given: the TGA one answers.
    run = Run({"info", "-"}, {}, Path("photo.tga"));
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("TGA(*.tga) (vbtga.spi)")) << run.out;
    run = Run({"info", "-"}, {}, Path("pic.pcx"));
    EXPECT_NE(std::string::npos, run.out.find("PCX(*.pcx) (vbpcx.spi)")) << run.out;
    EXPECT_EQ("vbhost: -: empty file\n", Run({"info", "-"}).err);

    ASSERT_EQ(0, mkdir(Path("album").c_str(), 0700));
    ASSERT_EQ(0, mkdir(Path("album/sub").c_str(), 0700));
    ASSERT_EQ(0, mkdir(Path("nothing").c_str(), 0700));
    WriteBytes(Path("album/b.tga"), EncodeColourTga(rgb, 3, 2));
    WriteBytes(Path("album/notes.txt"), {'h', 'i'});
    WriteBytes(Path("album/sub/a.pcx"), WritePcx(MakePcxSource(6, 2, &pixels, &palette)));
    run = Run({"convert", "album", "-d", "flat"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("album/b.tga -> flat/b.png (vbtga.spi, 3 x 2, 24 bits)\n", run.out);
    run = Run({"convert", "album", "-r", "nothing", "-d", "deep"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(2u, CountLines(run.out)) << run.out;
    EXPECT_TRUE(FileExists(Path("deep/a.png")));
    EXPECT_EQ("vbhost: nothing: no picture in this folder that a plug-in reads\n", run.err);
    EXPECT_EQ(2, Run({"convert", "album", "-r", "-o", "one.png"}).status);
}

// The plug-ins deliver what a cut file holds, the rest as zeros; vbhost tells the user.
TEST_F(VbhostRun, AFileThatEndsBeforeItsPictureIsTold) {
    // 5 x 4 raw: 18 header bytes, then rows of 15 bytes; one row and a part of the next kept.
    std::vector<uint8_t> tga = EncodeColourTga(MakeRgbPicture(5, 4), 5, 4);
    WriteBytes(Path("whole.tga"), tga);
    WriteBytes(Path("cut.tga"), std::vector<uint8_t>(tga.begin(), tga.begin() + 18 + 15 + 7));
    std::vector<uint8_t> rle = EncodeColourTga(MakeRgbPicture(9, 8), 9, 8, 10);
    WriteBytes(Path("cutrle.tga"), std::vector<uint8_t>(rle.begin(), rle.begin() + rle.size() / 2));
    std::vector<uint8_t> pixels, palette;
    std::vector<uint8_t> pcx = WritePcx(MakePcxSource(6, 3, &pixels, &palette));
    WriteBytes(Path("cut.pcx"), std::vector<uint8_t>(pcx.begin(), pcx.begin() + 128 + 10));
    std::vector<uint8_t> mag = EncodeMag(MakeMagSource(32, 16, false)).bytes;
    WriteBytes(Path("cut.mag"), std::vector<uint8_t>(mag.begin(), mag.end() - 20));

    RunResult run =
        Run({"convert", "whole.tga", "cut.tga", "cutrle.tga", "cut.pcx", "cut.mag", "-d", "out"});
    EXPECT_EQ(1, run.status);  // cut.pcx failed
    EXPECT_EQ(4u, CountLines(run.out)) << run.out;
    EXPECT_EQ(0u, run.err.find("vbhost: cut.tga: warning: the file ended early: 3 of 4 rows are "
                               "missing\nvbhost: cutrle.tga: warning: the file ended early: "))
        << run.err;
    EXPECT_NE(std::string::npos,
              run.err.find("vbhost: cut.pcx: vbpcx.spi: the file ended before the picture did "
                           "(result 6)\nvbhost: cut.mag: warning: the file ended early: "))
        << run.err;
    EXPECT_EQ(4u, CountLines(run.err)) << run.err;
    // The picture is delivered as the plug-in gave it: the row the file holds, then black.
    DecodedPng png;
    std::string problem;
    ASSERT_TRUE(DecodePng(ReadFileBytes(Path("out/cut.tga.png")), &png, &problem)) << problem;
    std::vector<uint8_t> rgb = MakeRgbPicture(5, 4);
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + 45, rgb.end()), png.rows[3]);
    EXPECT_EQ(std::vector<uint8_t>(15, 0), png.rows[0]);

    // A warning alone leaves the status 0; --strict makes it 1, the file still written.
    EXPECT_EQ(0, Run({"convert", "cut.tga", "-o", "warned.png"}).status);
    RunResult strict = Run({"convert", "--strict", "cut.mag", "-o", "strict.png"});
    EXPECT_EQ(1, strict.status);
    EXPECT_EQ(1u, CountLines(strict.err)) << strict.err;
    EXPECT_TRUE(FileExists(Path("strict.png")));
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
        {"convert", "a.tga", "-o", ""},
        {"convert", "a.tga", "-o", "."},
        {"convert", "a.tga", "-o", "x.gif"},
        {"convert", "a.tga", "--format", "bmp", "-o", "x.png"},
        {"convert", "a.tga", "--format", "png", "-o", "x.BMP"},
        {"convert", "a.tga", "a.tga", "-o", "-"},
        {"convert", "a.tga", "--png-level", "10"},
        {"convert", "a.tga", "--format", "bmp", "--png-level", "9"},
        {"info", "a.tga", "-q"},
        {"convert", "a.tga", "-d", ""},
        {"convert", "a.tga", "-n", "--force"},
    };
    for (const std::vector<std::string>& arguments : refused) {
        RunResult run = Run(arguments);
        EXPECT_EQ(2, run.status) << ::testing::PrintToString(arguments);
        EXPECT_NE(std::string::npos, run.err.find("vbhost --help")) << run.err;
    }
    EXPECT_FALSE(FileExists(Path("x.png")));
    EXPECT_FALSE(FileExists(Path("x.gif")));
    EXPECT_EQ(0u, Run({"convert", "a.tga", "-o", "x.gif"})
                      .err.find("vbhost: -o x.gif: GIF is not a format vbhost writes"));
    RunResult help = Run({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("Usage: vbhost"));
    RunResult version = Run({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(0u, version.out.find("vbhost 1."));
    // A picture is not written to a terminal.
    TerminalRun terminal = RunOnTerminal({"convert", "a.tga", "-o", "-"});
    EXPECT_EQ(2, terminal.status) << terminal.screen;
}

TEST_F(VbhostRun, TheOutputNameDecidesTheFormatWhenNoneIsGiven) {
    WriteBytes(Path("a.tga"), EncodeColourTga(MakeRgbPicture(2, 2), 2, 2));
    ASSERT_EQ(0, Run({"convert", "a.tga", "-o", "upper.BMP"}).status);
    EXPECT_EQ('B', ReadFileBytes(Path("upper.BMP")).at(0));
    ASSERT_EQ(0, Run({"convert", "a.tga", "-o", "plain"}).status);
    EXPECT_EQ(0x89, ReadFileBytes(Path("plain")).at(0));
    ASSERT_EQ(0, Run({"convert", "a.tga", "-o", "named", "--format", "BMP"}).status);
    EXPECT_EQ('B', ReadFileBytes(Path("named")).at(0));
}

// Where -o points decides how it is written: a regular file (or one reached through links) is
// replaced whole, anything else is written in place and keeps what it is.
TEST_F(VbhostRun, OutputGoesThroughLinksAndIntoDevicesAndPipes) {
    std::vector<uint8_t> rgb = MakeRgbPicture(3, 2);
    WriteBytes(Path("ok.tga"), EncodeColourTga(rgb, 3, 2));
    auto expectPicture = [&](const std::vector<uint8_t>& bytes, const std::string& label) {
        DecodedPng png;
        std::string problem;
        ASSERT_TRUE(DecodePng(bytes, &png, &problem)) << label << ": " << problem;
        EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 9), png.rows[0]) << label;
    };
    auto isLink = [&](const std::string& name) {
        struct stat status;
        return lstat(Path(name).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    };

    // A link to a file: the file is replaced, the link stays; a dangling link gets its file.
    WriteBytes(Path("real.png"), {'o', 'l', 'd'});
    ASSERT_EQ(0, symlink("real.png", Path("link.png").c_str()));
    ASSERT_EQ(0, mkdir(Path("sub").c_str(), 0700));
    ASSERT_EQ(0, symlink("../made.png", Path("sub/dangling.png").c_str()));
    RunResult run = Run({"convert", "ok.tga", "-o", "link.png"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(isLink("link.png"));
    expectPicture(ReadFileBytes(Path("real.png")), "through a link");
    run = Run({"convert", "ok.tga", "-o", "sub/dangling.png"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(isLink("sub/dangling.png"));
    expectPicture(ReadFileBytes(Path("made.png")), "through a dangling link");

    // A FIFO is written, not replaced.
    ASSERT_EQ(0, mkfifo(Path("pipe.png").c_str(), 0600));
    std::vector<uint8_t> piped;
    std::thread reader([&] { piped = ReadFileBytes(Path("pipe.png")); });
    run = Run({"convert", "ok.tga", "-o", "pipe.png"});
    reader.join();
    EXPECT_EQ(0, run.status) << run.err;
    struct stat status;
    ASSERT_EQ(0, lstat(Path("pipe.png").c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    expectPicture(piped, "through a FIFO");
    // A FIFO's name says nothing of what it is sent: --format does.
    ASSERT_EQ(0, mkfifo(Path("pipe.bmp").c_str(), 0600));
    std::thread formatReader([&] { piped = ReadFileBytes(Path("pipe.bmp")); });
    run = Run({"convert", "ok.tga", "-o", "pipe.bmp", "--format", "PNG"});
    formatReader.join();
    EXPECT_EQ(0, run.status) << run.err;
    expectPicture(piped, "through a FIFO named .bmp");

    // A pipe reached through /dev/fd, as bash's >(cmd) hands it over, is written in place.
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    std::thread pipeReader([&] {
        piped.clear();
        uint8_t buffer[4096];
        ssize_t count;
        while ((count = read(ends[0], buffer, sizeof buffer)) > 0) {
            piped.insert(piped.end(), buffer, buffer + count);
        }
    });
    run = Run({"convert", "ok.tga", "-o", "/dev/fd/" + std::to_string(ends[1])});
    close(ends[1]);
    pipeReader.join();
    close(ends[0]);
    EXPECT_EQ(0, run.status) << run.err;
    expectPicture(piped, "through /dev/fd");

    // A read-only file is replaced only with --force; -n leaves any existing output alone.
    WriteBytes(Path("ro.png"), {'o', 'l', 'd'});
    ASSERT_EQ(0, chmod(Path("ro.png").c_str(), 0444));
    run = Run({"convert", "ok.tga", "-o", "ro.png"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("vbhost: ok.tga: ro.png is read-only, not replaced (--force replaces it)\n", run.err);
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadFileBytes(Path("ro.png")));
    run = Run({"convert", "ok.tga", "-o", "real.png", "-n"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("ok.tga: real.png exists, not replaced (-n)\n", run.out);
    run = Run({"convert", "ok.tga", "-o", "ro.png", "--force"});
    EXPECT_EQ(0, run.status) << run.err;
    expectPicture(ReadFileBytes(Path("ro.png")), "a read-only file, forced");

    // A character device is written in place (making one needs root).
    if (mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        run = Run({"convert", "ok.tga", "-o", "null"});
        EXPECT_EQ(0, run.status) << run.err;
        ASSERT_EQ(0, lstat(Path("null").c_str(), &status));
        EXPECT_TRUE(S_ISCHR(status.st_mode));
    }
    // A device that refuses the bytes: its error is told.
    if (FileExists("/dev/full")) {
        run = Run({"convert", "ok.tga", "-o", "/dev/full"});
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("vbhost: ok.tga: cannot write /dev/full: No space left on device\n", run.err);
        ASSERT_EQ(0, lstat("/dev/full", &status));
        EXPECT_TRUE(S_ISCHR(status.st_mode));
    }

    // Standard output: the picture there, the line that says so on stderr.
    run = Run({"convert", "ok.tga", "-o", "-"});
    EXPECT_EQ(0, run.status) << run.err;
    expectPicture(std::vector<uint8_t>(run.out.begin(), run.out.end()), "standard output");
    EXPECT_EQ("ok.tga -> - (vbtga.spi, 3 x 2, 24 bits)\n", run.err);

    // vbhost's own failures are not the plug-in's.
    run = Run({"convert", "ok.tga", "-o", "missing/ok.png"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("vbhost: ok.tga: cannot create missing/ok.png: No such file or directory\n", run.err);
    // Nothing else was left in the folder: no temporary files.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".captures", "link.png", "made.png", "null", "ok.tga",
                                        "pipe.bmp", "pipe.png", "real.png", "ro.png", "sub"}),
              names);
}

TEST_F(VbhostRun, TheProgressBarOnlyMovesForwardToTheEndOfTheWrite) {
    std::vector<uint8_t> pixels, palette;
    WriteBytes(Path("pic.pcx"), WritePcx(MakePcxSource(300, 200, &pixels, &palette)));
    WriteBytes(Path("photo.tga"), EncodeColourTga(MakeRgbPicture(300, 200), 300, 200));
    for (const char* name : {"pic.pcx", "photo.tga"}) {
        TerminalRun run = RunOnTerminal({"convert", name});
        EXPECT_EQ(0, run.status) << run.screen;
        ASSERT_FALSE(run.percents.empty()) << run.screen;
        for (size_t i = 1; i < run.percents.size(); ++i) {
            EXPECT_LT(run.percents[i - 1], run.percents[i]) << name << " step " << i;
        }
        EXPECT_EQ(100, run.percents.back()) << name;
    }
    // The bar keeps within a narrow terminal: no line wraps.
    for (unsigned short columns : {40, 16}) {
        terminalColumns_ = columns;
        TerminalRun run = RunOnTerminal({"convert", "photo.tga", "-d", "a/long/folder/name"});
        EXPECT_EQ(0, run.status) << run.screen;
        EXPECT_EQ(100, run.percents.back()) << columns;
        size_t start = 0;
        while (start < run.screen.size()) {
            size_t end = run.screen.find_first_of("\r\n", start);
            if (end == std::string::npos) end = run.screen.size();
            std::string line = run.screen.substr(start, end - start);
            // The line that says what was done is printed, not drawn.
            if (line.find(" -> ") == std::string::npos) {
                EXPECT_LT(line.size(), (size_t)columns) << columns << ": '" << line << "'";
            }
            start = end + 1;
        }
    }
}

TEST_F(VbhostRun, CtrlCWhileWritingStopsTheWriteAndLeavesNoFile) {
    // Noise at zlib's slowest level: the write takes long enough to be interrupted.
    const int width = 2048, height = 1024;
    std::vector<uint8_t> rgb((size_t)width * height * 3);
    uint32_t noise = 7;
    for (uint8_t& value : rgb) {
        noise = noise * 1103515245u + 12345u;
        value = (uint8_t)(noise >> 24);
    }
    WriteBytes(Path("big.tga"), EncodeColourTga(rgb, width, height));
    WriteBytes(Path("big.png"), {'o', 'l', 'd'});
    // The decode is the first part of the bar, about half for a TGA: 75% is in the write.
    TerminalRun run = RunOnTerminal({"convert", "big.tga", "--png-level", "9"}, 75);
    EXPECT_EQ(130, run.status) << run.screen;
    EXPECT_NE(std::string::npos,
              run.screen.find("vbhost: big.tga: writing big.png interrupted by Ctrl-C"))
        << run.screen;
    EXPECT_GE(run.secondsAfterInterrupt, 0);
    EXPECT_LT(run.secondsAfterInterrupt, 1.0);
    // The older file is untouched, and no partial file is left.
    EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadFileBytes(Path("big.png")));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(3u, entries);  // .captures, big.tga, big.png

    // Any other signal that ends vbhost, and a second Ctrl-C, end it at once: the partial file
    // and the registry copy are removed all the same.
    ASSERT_EQ(0, mkdir(Path("tmp").c_str(), 0700));
    const std::vector<int> endings[] = {{SIGTERM}, {SIGHUP}, {SIGINT, SIGINT}, {SIGALRM}};
    for (const std::vector<int>& signals : endings) {
        TerminalRun ended =
            RunOnTerminal({"convert", "big.tga", "--png-level", "9", "--full-color", "on"}, 75,
                          signals, {"TMPDIR=" + Path("tmp")});
        std::string label = ::testing::PrintToString(signals);
        EXPECT_EQ(128 + signals.back(), ended.status) << label << ended.screen;
        EXPECT_LT(ended.secondsAfterInterrupt, 1.0) << label;
        EXPECT_EQ((std::vector<uint8_t>{'o', 'l', 'd'}), ReadFileBytes(Path("big.png"))) << label;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(4u, names.size()) << label << ::testing::PrintToString(names);
        EXPECT_TRUE(std::filesystem::is_empty(Path("tmp"))) << label;
    }
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
    // Every file is accounted for: a line on stdout or a failure on stderr (a cut file that was
    // converted has a warning too).
    size_t warnings = 0;
    for (size_t at = 0; (at = run.err.find(": warning: ", at)) != std::string::npos; ++at) {
        ++warnings;
    }
    EXPECT_EQ(arguments.size() - 3, CountLines(run.out) + CountLines(run.err) - warnings)
        << run.err;
}

}  // namespace
