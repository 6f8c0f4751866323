// png_bench: how fast vbhost writes PNG files and how large they are, against the writer it had
// before (libpng with all of its defaults, which is also the size reference: libpng's default
// level) and against --png-level 9.
//
//   png_bench [--inputs DIR] [--plugins DIR] [--rounds N] [--only TEXT] [--markdown FILE]
//
// Each picture of bench_inputs.h (written by vbbench_inputs) is decoded once through its
// plug-in, as vbhost does; the TGA photo is decoded again with the emulated display at 8 bits,
// which dithers it to the 3-3-2 colour cube. Then every writer encodes the DIB into memory,
// round by round in a changing order, and the table shows the median elapsed time of each and,
// for the two default writers, the processor time (the new writer compresses on every
// processor, so its processor time is the sum over its threads).
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_inputs.h"
#include "bench/png_writer_before.h"
#include "framework/plugin.h"
#include "host/image_writer.h"
#include "platform/platform_testing.h"

namespace {

enum Writer { WRITER_BEFORE, WRITER_NEW, WRITER_LEVEL9, WRITER_BMP, WRITER_COUNT };

struct Options {
    std::string inputs = "build-bench/bench-inputs";
    std::string plugins = VB_BENCH_PLUGIN_DIR;
    int rounds = 3;
    std::string only;
    std::string markdown;
};

struct Picture {
    const BenchInput* input;
    int32_t displayBits;
    std::string label;
    void* header = nullptr;
    void* bits = nullptr;
    DibLayout dib;
    std::vector<double> times[WRITER_COUNT];
    std::vector<double> processorTimes[WRITER_COUNT];
    size_t bytes[WRITER_COUNT] = {};
};

double NowMs(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int32_t VB_CALL IgnoreProgress(int32_t, int32_t, intptr_t) {
    return 0;
}

void SetDisplayBits(int32_t bits) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = bits;
    TestingSetDevice(&device);
}

bool DecodePicture(const Options& options, Picture* picture) {
    static const char* const modules[] = {"vbtga", "vbpcx", "vbmag"};
    std::string module = options.plugins + "/" + modules[(int)picture->input->format] + ".spi";
    void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    GetPictureFunction getPicture =
        library ? (GetPictureFunction)dlsym(library, "GetPicture") : nullptr;
    if (!getPicture) {
        fprintf(stderr, "png_bench: cannot load %s\n", module.c_str());
        return false;
    }
    std::string path = options.inputs + "/" + picture->input->fileName;
    std::u16string wide;
    for (unsigned char c : path) wide.push_back((char16_t)c);
    SetDisplayBits(picture->displayBits);
    int32_t result =
        getPicture(wide.c_str(), 0, 0, &picture->header, &picture->bits, IgnoreProgress, 0);
    std::string problem;
    if (result != RESULT_OK ||
        !ReadDibLayout(picture->header, picture->bits, &picture->dib, &problem)) {
        fprintf(stderr, "png_bench: %s: cannot decode (result %d) %s\n", path.c_str(), result,
                problem.c_str());
        return false;
    }
    return true;
}

size_t RunWriter(Writer writer, const DibLayout& dib, std::vector<uint8_t>* out) {
    std::string problem;
    PngSettings settings;
    bool written = false;
    switch (writer) {
        case WRITER_BEFORE:
            written = EncodePngBefore(dib, out, &problem);
            break;
        case WRITER_NEW:
            written = EncodePng(dib, settings, out, &problem);
            break;
        case WRITER_LEVEL9:
            settings.level = 9;
            written = EncodePng(dib, settings, out, &problem);
            break;
        case WRITER_BMP:
            written = EncodeBmp(dib, out, &problem);
            break;
        case WRITER_COUNT:
            break;
    }
    if (!written)
        fprintf(stderr, "png_bench: writer %d failed: %s\n", (int)writer, problem.c_str());
    return out->size();
}

// What the new writer makes of the DIB.
std::string DescribeKind(const DibLayout& dib) {
    if (dib.bitCount == 24) return "RGB";
    if (HasGrayRampTable(dib)) return "gray " + std::to_string(dib.bitCount);
    PaletteReduction reduction;
    if (FindPaletteReduction(dib, &reduction) && reduction.bitCount != dib.bitCount) {
        return "palette " + std::to_string(reduction.bitCount) + " (DIB " +
               std::to_string(dib.bitCount) + ")";
    }
    return "palette " + std::to_string(dib.bitCount);
}

std::string FormatTable(const std::vector<Picture>& pictures, int rounds) {
    std::string table;
    char line[640];
    snprintf(line, sizeof(line),
             "Time to encode a decoded 4096 x 4096 (MAG: 2048 x 2048) picture into memory, "
             "median of %d rounds, on %u processors: elapsed, and processor time in brackets. "
             "\"before\" is vbhost's earlier writer, libpng with all of its defaults, so its "
             "size is also libpng's default level.\n\n",
             rounds, std::thread::hardware_concurrency());
    table += line;
    table +=
        "| Picture | Style | PNG | before ms | new ms | faster | before (default level) KB | "
        "new KB | new / default | level 9 ms | level 9 KB | BMP ms |\n"
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Picture& p : pictures) {
        double before = Median(p.times[WRITER_BEFORE]);
        double fresh = Median(p.times[WRITER_NEW]);
        snprintf(line, sizeof(line),
                 "| %s | %s | %s | %.0f (%.0f) | %.0f (%.0f) | %.1fx | %zu | %zu | %.1f%% | %.0f "
                 "| %zu | %.0f |\n",
                 p.label.c_str(), NameBenchStyle(p.input->style), DescribeKind(p.dib).c_str(),
                 before, Median(p.processorTimes[WRITER_BEFORE]), fresh,
                 Median(p.processorTimes[WRITER_NEW]), fresh > 0 ? before / fresh : 0,
                 p.bytes[WRITER_BEFORE] / 1024, p.bytes[WRITER_NEW] / 1024,
                 p.bytes[WRITER_BEFORE] ? 100.0 * p.bytes[WRITER_NEW] / p.bytes[WRITER_BEFORE] : 0,
                 Median(p.times[WRITER_LEVEL9]), p.bytes[WRITER_LEVEL9] / 1024,
                 Median(p.times[WRITER_BMP]));
        table += line;
    }
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        bool hasValue = i + 1 < argc;
        if (word == "--inputs" && hasValue) {
            options.inputs = argv[++i];
        } else if (word == "--plugins" && hasValue) {
            options.plugins = argv[++i];
        } else if (word == "--rounds" && hasValue) {
            options.rounds = atoi(argv[++i]);
        } else if (word == "--only" && hasValue) {
            options.only = argv[++i];
        } else if (word == "--markdown" && hasValue) {
            options.markdown = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: png_bench [--inputs DIR] [--plugins DIR] [--rounds N] [--only TEXT] "
                    "[--markdown FILE]\n");
            return 2;
        }
    }
    // One input per decoded picture: run-length variants decode to the same pixels as raw.
    std::vector<Picture> pictures;
    auto addPicture = [&pictures](const BenchInput* input, int32_t displayBits, const char* label) {
        pictures.emplace_back();
        pictures.back().input = input;
        pictures.back().displayBits = displayBits;
        pictures.back().label = label;
    };
    for (size_t i = 0; i < BenchInputCount; ++i) {
        const BenchInput& input = BenchInputs[i];
        if (input.path == BenchPath::Tga24Rle || input.path == BenchPath::Tga32Rle ||
            input.path == BenchPath::Tga8GrayRle) {
            continue;
        }
        if (std::string(input.fileName).find(options.only) == std::string::npos) {
            continue;
        }
        addPicture(&input, 24, input.label);
        if (input.path == BenchPath::Tga24Raw && input.style == BenchStyle::Photo) {
            addPicture(&input, 8, "TGA 24-bit, display 8 (dithered)");
        }
    }
    for (Picture& picture : pictures) {
        if (!DecodePicture(options, &picture)) return 1;
    }
    std::vector<uint8_t> out;
    for (int round = 0; round < options.rounds; ++round) {
        for (Picture& picture : pictures) {
            for (int k = 0; k < WRITER_COUNT; ++k) {
                Writer writer =
                    (Writer)((k + round + (int)(&picture - pictures.data())) % WRITER_COUNT);
                double start = NowMs(CLOCK_MONOTONIC);
                double processorStart = NowMs(CLOCK_PROCESS_CPUTIME_ID);
                size_t bytes = RunWriter(writer, picture.dib, &out);
                picture.processorTimes[writer].push_back(NowMs(CLOCK_PROCESS_CPUTIME_ID) -
                                                         processorStart);
                picture.times[writer].push_back(NowMs(CLOCK_MONOTONIC) - start);
                picture.bytes[writer] = bytes;
            }
        }
        fprintf(stderr, "png_bench: round %d of %d done\n", round + 1, options.rounds);
    }
    std::string table = FormatTable(pictures, options.rounds);
    fputs(table.c_str(), stdout);
    if (!options.markdown.empty()) {
        FILE* file = fopen(options.markdown.c_str(), "wb");
        if (!file || fputs(table.c_str(), file) < 0 || fclose(file) != 0) {
            fprintf(stderr, "png_bench: cannot write %s\n", options.markdown.c_str());
            return 1;
        }
    }
    for (Picture& picture : pictures) {
        FreeBlock(picture.bits);
        FreeBlock(picture.header);
    }
    return 0;
}
