// Writes the seed corpora of the fuzz targets: pictures from the project's own encoders in every
// layout, depth, compression and orientation the filters know (and a few they refuse), each
// behind the harness's option bytes, plus the hand-picked files of fuzz/corpus/.
//
//   vbfuzzseeds OUTPUT_DIR [CORPUS_DIR]
//
// writes OUTPUT_DIR/tga, OUTPUT_DIR/pcx and OUTPUT_DIR/mag; the info and decode targets of a
// filter share its folder. OUTPUT_DIR/png_writer holds the PNG writer's seeds.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_harness.h"
#include "mag_encoder.h"
#include "pcx_encoder.h"
#include "tga_encoder.h"

typedef std::vector<uint8_t> Bytes;

static std::string OutputDirectory;
static int SeedsWritten = 0;

// Option bytes (see fuzz_harness.h): a handful of host situations that the seeds rotate through.
struct SeedOptions {
    uint8_t device;
    uint8_t offset;
    uint16_t stopPlan;
};
static const SeedOptions OptionRotation[] = {
    {0x00, 0x00, 0},                           // 24-bit display, "full color" absent
    {0x01 | 0x08, FUZZ_DECODE_TWICE, 3},       // 8-bit display, "full color" 0; stop on call 3
    {0x02 | 0x20, 17, 0},                      // 2-bit display, no notifier; MAG at offset 17
    {0x00 | 0x08 | 0x40, 0, 0},                // 24-bit display, "full color" 0: reduced; preview
    {0x07 | 0x10 | 0x80, FUZZ_OFFSET_END, 2},  // failed display query; high flag bits; stop early
    {0x03 | 0x18, 0, 0x8000 | 4},              // 16-bit display, "full color" as text; stop from 4
};
static const size_t OptionCount = sizeof OptionRotation / sizeof OptionRotation[0];

static void WriteSeed(const char* filter, const std::string& name, const SeedOptions& options,
                      const Bytes& file) {
    std::string path = OutputDirectory + "/" + filter + "/" + name;
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        fprintf(stderr, "vbfuzzseeds: cannot write %s\n", path.c_str());
        return;
    }
    uint8_t prefix[FUZZ_OPTION_BYTES] = {options.device, options.offset, (uint8_t)options.stopPlan,
                                         (uint8_t)(options.stopPlan >> 8)};
    fwrite(prefix, 1, sizeof prefix, out);
    if (!file.empty()) fwrite(file.data(), 1, file.size(), out);
    fclose(out);
    SeedsWritten++;
}

// Each picture goes in with two option sets: the plain one and the next of the rotation.
static void AddSeed(const char* filter, const std::string& name, const Bytes& file) {
    static size_t turn = 0;
    WriteSeed(filter, name + ".o0", OptionRotation[0], file);
    turn = turn % (OptionCount - 1) + 1;
    WriteSeed(filter, name + ".o" + std::to_string(turn), OptionRotation[turn], file);
}

// A picture with some structure: gradients and repeats, so that run-length and copy codes occur.
static uint8_t PatternByte(int x, int y, int channel) {
    if ((x / 3 + y) % 4 == 0) return (uint8_t)(40 * channel);
    return (uint8_t)(x * 17 + y * 29 + channel * 71);
}

// ---- TGA ------------------------------------------------------------------------------------

static void AddTgaSeeds() {
    struct Shape {
        int width, height;
    };
    const Shape shapes[] = {{7, 5}, {1, 3}, {5, 2}, {16, 4}};
    const uint8_t types[] = {2, 3, 10, 11};
    const uint8_t descriptors[] = {0x00, 0x20, 0x10, 0x30};
    int serial = 0;
    for (uint8_t type : types) {
        bool gray = type == 3 || type == 11;
        const uint8_t depths[] = {8, 24, 32};
        for (uint8_t depth : depths) {
            if (!gray && depth == 8) continue;
            for (const Shape& shape : shapes) {
                TgaImage image;
                image.imageType = type;
                image.width = shape.width;
                image.height = shape.height;
                image.pixelDepth = depth;
                image.descriptor = descriptors[serial % 4] | (depth == 32 ? 0x08 : 0);
                int bytesPerPixel = depth / 8;
                for (int y = 0; y < shape.height; y++) {
                    for (int x = 0; x < shape.width; x++) {
                        for (int c = 0; c < bytesPerPixel; c++) {
                            image.pixels.push_back(PatternByte(x, y, c));
                        }
                    }
                }
                TgaRleOptions rle;
                if (serial % 3 == 1) rle.layout = TgaPacketLayout::WrapAcrossRows;
                if (serial % 5 == 2) rle.minRunPixels = 200;  // raw packets only
                if (serial % 7 == 3) rle.maxPacketPixels = 3;
                char name[64];
                snprintf(name, sizeof name, "t%u-%ub-%dx%d-d%02x", type, depth, shape.width,
                         shape.height, image.descriptor);
                AddSeed("tga", name, EncodeTga(image, rle));
                serial++;
            }
        }
    }
    // An ID field and a colour map of 15-bit entries to skip; colour-mapped types; odd headers.
    TgaImage skipped;
    skipped.imageType = 10;
    skipped.width = 6;
    skipped.height = 3;
    skipped.idField.assign(11, 'i');
    skipped.colourMapType = 1;
    skipped.colourMapLength = 5;
    skipped.colourMapEntryBits = 15;
    skipped.colourMap.assign(10, 0x33);
    for (int i = 0; i < 6 * 3 * 3; i++) skipped.pixels.push_back((uint8_t)(i / 5 * 40));
    AddSeed("tga", "id-and-map", EncodeTga(skipped));
    for (uint8_t type : {1, 9, 0, 4}) {
        TgaImage mapped;
        mapped.imageType = type;
        mapped.width = 4;
        mapped.height = 2;
        mapped.pixelDepth = 8;
        mapped.colourMapType = 1;
        mapped.colourMapLength = 4;
        mapped.colourMapEntryBits = 24;
        mapped.colourMap.assign(12, 0x80);
        mapped.pixels.assign(8, 1);
        AddSeed("tga", "mapped-t" + std::to_string(type), EncodeTga(mapped));
    }
    TgaImage sixteen;
    sixteen.imageType = 2;
    sixteen.width = 3;
    sixteen.height = 2;
    sixteen.pixelDepth = 16;
    sixteen.pixels.assign(12, 0x42);
    AddSeed("tga", "t2-16b", EncodeTga(sixteen));
    TgaImage empty;
    empty.imageType = 2;
    empty.width = 0;
    empty.height = 5;
    AddSeed("tga", "zero-width", EncodeTga(empty));
    empty.width = 5;
    empty.height = 0;
    AddSeed("tga", "zero-height", EncodeTga(empty));
    // Truncated pixel data, and hand-made packets that reach past the row and the picture.
    TgaImage cut;
    cut.imageType = 10;
    cut.width = 8;
    cut.height = 4;
    cut.useRawData = true;
    cut.rawData = {0xFF, 1, 2, 3, 0x05, 9, 9, 9, 8, 8, 8};
    AddSeed("tga", "rle-cut", EncodeTga(cut));
    cut.imageType = 2;
    cut.rawData.assign(40, 0x77);
    AddSeed("tga", "raw-cut", EncodeTga(cut));
    Bytes header = EncodeTga(cut);
    header.resize(18);
    AddSeed("tga", "header-only", header);
}

// ---- PCX ------------------------------------------------------------------------------------

static Bytes MakePalette() {
    Bytes palette;
    for (int i = 0; i < 256; i++) {
        palette.push_back((uint8_t)i);
        palette.push_back((uint8_t)(255 - i));
        palette.push_back((uint8_t)(i * 5));
    }
    return palette;
}

static void AddPcxSeeds() {
    struct Shape {
        int width, height;
    };
    const Shape shapes[] = {{8, 3}, {13, 4}, {1, 1}, {100, 2}};
    int serial = 0;
    for (const Shape& shape : shapes) {
        std::vector<uint8_t> planar, indexed;
        for (int y = 0; y < shape.height; y++) {
            for (int x = 0; x < shape.width; x++) {
                planar.push_back(PatternByte(x, y, 0) & 15);
                indexed.push_back(PatternByte(x, y, 1));
            }
        }
        for (int variant = 0; variant < 3; variant++) {
            int32_t bytesPerLine = variant == 1 ? (shape.width + 7) / 8 + 2 : 0;
            PcxFile file = MakePlanarPcx(shape.width, shape.height, planar, bytesPerLine,
                                         variant == 2 ? 0xFF : 0);
            file.runsCrossPlaneLines = variant == 2;
            file.maxRun = variant == 1 ? 1 : 63;
            char name[64];
            snprintf(name, sizeof name, "planar-%dx%d-v%d", shape.width, shape.height, variant);
            AddSeed("pcx", name, WritePcx(file));

            PcxFile bytes =
                MakeIndexedPcx(shape.width, shape.height, indexed, MakePalette(),
                               variant == 1 ? shape.width + 3 : 0, variant == 2 ? 0xC5 : 0);
            if (variant == 1) bytes.bytesBeforeMarker = {0, 1, 2, 0xC3};
            if (variant == 2) bytes.palette.resize(100);  // trailer cut short
            bytes.maxRun = variant == 1 ? 1 : 63;
            snprintf(name, sizeof name, "indexed-%dx%d-v%d", shape.width, shape.height, variant);
            AddSeed("pcx", name, WritePcx(bytes));
            serial++;
        }
    }
    std::vector<uint8_t> pixels(10 * 2, 3);
    PcxFile shifted = MakeIndexedPcx(10, 2, pixels, MakePalette());
    shifted.xmin = 10;
    shifted.xmax = 19;
    shifted.ymin = -3;
    shifted.ymax = -2;
    shifted.version = 0x80;
    AddSeed("pcx", "shifted-v80", WritePcx(shifted));
    PcxFile noMarker = MakeIndexedPcx(10, 2, pixels, MakePalette());
    noMarker.writeMarker = false;
    noMarker.palette.clear();
    AddSeed("pcx", "no-marker", WritePcx(noMarker));
    PcxFile zeroRun = MakePlanarPcx(8, 2, std::vector<uint8_t>(16, 5));
    zeroRun.encodedData = {0xC0, 0x00, 0xC1, 0xFF};
    AddSeed("pcx", "zero-run", WritePcx(zeroRun));
    PcxFile inverted = MakeIndexedPcx(4, 2, std::vector<uint8_t>(8, 1), MakePalette());
    inverted.xmax = -5;
    AddSeed("pcx", "inverted", WritePcx(inverted));
    // Layouts the decoder refuses but the information reader reports.
    AddSeed("pcx", "rgb24", WritePcx(MakeRawPcx(8, 3, 4, 2, 4, std::vector<uint8_t>(24, 9))));
    AddSeed("pcx", "mono", WritePcx(MakeRawPcx(1, 1, 16, 2, 2, std::vector<uint8_t>(4, 0xAA))));
    AddSeed("pcx", "cga", WritePcx(MakeRawPcx(2, 1, 8, 2, 2, std::vector<uint8_t>(4, 0x1B))));
    PcxFile head = MakeIndexedPcx(4, 2, std::vector<uint8_t>(8, 1), MakePalette());
    Bytes headBytes = WritePcx(head);
    headBytes.resize(70);
    AddSeed("pcx", "header-cut", headBytes);
}

// ---- MAG ------------------------------------------------------------------------------------

static MagSourcePicture PatternedMag(int32_t width, int32_t height, bool full) {
    MagSourcePicture picture = MakeMagPicture(width, height, full);
    uint32_t colours = picture.Colours();
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            // Blocks repeat to the left and above, so that most copy codes are chosen.
            picture.Set(x, y, (uint8_t)(((x / 4) * 3 + (y / 2) * 5 + (x % 4 == 0)) % colours));
        }
    }
    return picture;
}

static void AddMagSeeds() {
    struct Shape {
        int width, height;
    };
    const Shape shapes[] = {{16, 20}, {9, 5}, {40, 3}, {3, 1}};
    for (const Shape& shape : shapes) {
        for (int full = 0; full < 2; full++) {
            for (int doubled = 0; doubled < 2; doubled++) {
                MagEncodeOptions options;
                options.comment = doubled ? "200 lines" : "seed picture";
                options.twoHundredLine = doubled != 0;
                options.xStart = (int16_t)(full ? 0 : 8);
                char name[64];
                snprintf(name, sizeof name, "mag-%dx%d-%s%s", shape.width, shape.height,
                         full ? "256" : "16", doubled ? "-200" : "");
                AddSeed(
                    "mag", name,
                    EncodeMag(PatternedMag(shape.width, shape.height, full != 0), options).bytes);
            }
        }
    }
    // Copy codes whose sources lie above the picture or before the block.
    MagEncodeOptions outside;
    outside.comment = "";
    outside.forceCode = [](int32_t row, int32_t unit) { return row < 2 ? 15 - unit % 3 : -1; };
    AddSeed("mag", "mag-outside", EncodeMag(PatternedMag(12, 4, false), outside).bytes);
    outside.forceCode = [](int32_t row, int32_t unit) { return row == 0 && unit == 0 ? 3 : -1; };
    AddSeed("mag", "mag-left", EncodeMag(PatternedMag(12, 4, true), outside).bytes);
    // Trailing bytes, and a file cut inside the pixel stream and inside the comment.
    MagEncodeOptions trailing;
    trailing.comment = "cut";
    trailing.trailing = {1, 2, 3};
    Bytes whole = EncodeMag(PatternedMag(24, 6, false), trailing).bytes;
    AddSeed("mag", "mag-trailing", whole);
    AddSeed("mag", "mag-cut-pixels", Bytes(whole.begin(), whole.end() - 20));
    AddSeed("mag", "mag-cut-comment", Bytes(whole.begin(), whole.begin() + 10));
}

// ---- Hand-picked files ------------------------------------------------------------------------

static void AddCorpusFolder(const std::string& corpus, const char* filter) {
    std::string folder = corpus + "/" + filter;
    DIR* directory = opendir(folder.c_str());
    if (!directory) return;
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        FILE* in = fopen((folder + "/" + name).c_str(), "rb");
        if (!in) continue;
        Bytes bytes;
        uint8_t buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        fclose(in);
        AddSeed(filter, "corpus-" + name, bytes);
        // Once more with "extended layouts" on, which most of these files need to be decoded.
        WriteSeed(filter, "corpus-" + name + ".x", {0x00, 0x00, FUZZ_EXTENDED_LAYOUTS}, bytes);
    }
}

// The PNG writer's target (png_writer_fuzzer.cpp): every depth with each table, settings and
// stop, at sizes on both sides of a band of rows, then a little picture data.
static void AddPngWriterSeeds() {
    struct Shape {
        uint16_t width, height;
    };
    // The small ones fit in one band; the large ones (option bit 6) take several.
    static const Shape shapes[] = {{1, 1}, {7, 3}, {61, 40}, {300, 900}, {1500, 200}, {4096, 22}};
    int count = 0;
    for (uint8_t depth = 0; depth < 5; ++depth) {
        for (const Shape& shape : shapes) {
            for (uint8_t variant = 0; variant < 4; ++variant) {
                uint16_t w = shape.width - 1, h = shape.height - 1;
                bool large = shape.width * shape.height > 4096;
                // Settings, table and stop as the variant says (png_writer_fuzzer.cpp).
                uint8_t flags = (variant & 1 ? 0x80 : 0) | (large ? 0x40 : 0);
                uint8_t level = variant == 2 ? 128 + 9 : variant;
                uint8_t table = variant == 1 ? 1 : variant == 3 ? 2 + 4 * 3 : 0;
                uint8_t used = variant == 2 ? 5 : 0;
                uint8_t indices = variant == 3 ? 3 : variant == 2 ? 17 : 0;
                uint8_t options[12] = {(uint8_t)(depth | flags),
                                       (uint8_t)w,
                                       (uint8_t)(w >> 8),
                                       (uint8_t)h,
                                       (uint8_t)(h >> 8),
                                       level,
                                       table,
                                       used,
                                       indices,
                                       variant,
                                       (uint8_t)(variant * 200 + 7),
                                       1};
                Bytes input(options, options + sizeof options);
                for (int i = 0; i < 61; ++i) input.push_back(PatternByte(i, variant, depth));
                std::string path = OutputDirectory + "/png_writer/seed" + std::to_string(count++);
                FILE* out = fopen(path.c_str(), "wb");
                if (!out) continue;
                fwrite(input.data(), 1, input.size(), out);
                fclose(out);
                SeedsWritten++;
            }
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: vbfuzzseeds OUTPUT_DIR [CORPUS_DIR]\n");
        return 2;
    }
    OutputDirectory = argv[1];
    mkdir(OutputDirectory.c_str(), 0777);
    for (const char* filter : {"tga", "pcx", "mag", "png_writer"}) {
        mkdir((OutputDirectory + "/" + filter).c_str(), 0777);
    }
    AddTgaSeeds();
    AddPcxSeeds();
    AddMagSeeds();
    AddPngWriterSeeds();
    if (argc > 2) {
        for (const char* filter : {"tga", "pcx", "mag"}) AddCorpusFolder(argv[2], filter);
    }
    printf("vbfuzzseeds: %d seeds in %s\n", SeedsWritten, OutputDirectory.c_str());
    return SeedsWritten > 0 ? 0 : 1;
}
