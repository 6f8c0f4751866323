// vbbench_inputs: writes the benchmark pictures with the project's own TGA, PCX and MAG
// encoders into a folder.
//
//   vbbench_inputs FOLDER [--force]
//
// Files that already exist are kept unless --force is given; the pictures are the same on
// every run (a fixed pseudo-random sequence makes the noise).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "bench/bench_inputs.h"
#include "tests/support/mag_encoder.h"
#include "tests/support/pcx_encoder.h"
#include "tests/support/tga_encoder.h"

namespace {

// xorshift32: small, fast and the same everywhere.
struct NoiseSource {
    uint32_t state;
    int32_t Next(int32_t spread) {  // -spread .. spread
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (int32_t)(state % (uint32_t)(2 * spread + 1)) - spread;
    }
};

uint8_t ClampByte(int32_t v) {
    return (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Red, green, blue of pixel (x, y).
void MakeColour(BenchStyle style, int32_t x, int32_t y, int32_t w, int32_t h, NoiseSource* noise,
                uint8_t rgb[3]) {
    if (style == BenchStyle::Photo) {
        rgb[0] = ClampByte(x * 255 / (w - 1) + noise->Next(10));
        rgb[1] = ClampByte(y * 255 / (h - 1) + noise->Next(10));
        rgb[2] = ClampByte(128 + (x - y) * 127 / w + noise->Next(10));
    } else {
        rgb[0] = (uint8_t)((x * 8 / w) * 36);
        rgb[1] = (uint8_t)((y * 8 / h) * 36);
        rgb[2] = (uint8_t)((((x + y) / 384) & 3) * 85);
    }
}

uint8_t MakeGray(BenchStyle style, int32_t x, int32_t y, int32_t w, int32_t h, NoiseSource* noise) {
    if (style == BenchStyle::Photo) {
        return ClampByte((x + y) * 255 / (w + h - 2) + noise->Next(12));
    }
    return (uint8_t)(((x + y) * 8 / (w + h)) * 32 + (((x / 512) ^ (y / 512)) & 1) * 16);
}

// Palette index 0..colours-1 of pixel (x, y).
uint8_t MakeIndex(BenchStyle style, int32_t x, int32_t y, int32_t w, int32_t h, int32_t colours,
                  NoiseSource* noise) {
    if (style == BenchStyle::Photo) {
        int32_t v = (x + y) * colours / (w + h) + noise->Next(colours == 16 ? 2 : 12);
        return (uint8_t)(v < 0 ? 0 : (v >= colours ? colours - 1 : v));
    }
    int32_t band = (x * 4 / w) + 4 * (y * 4 / h) + (((x + y) / 300) & 1) * 5;
    return (uint8_t)((band * (colours / 16)) % colours);
}

// The 3-3-2 colour cube as red, green, blue triples.
std::vector<uint8_t> CubePalette() {
    std::vector<uint8_t> palette(768);
    for (int32_t i = 0; i < 256; i++) {
        palette[3 * i] = (uint8_t)((i >> 5) * 36);
        palette[3 * i + 1] = (uint8_t)(((i >> 2) & 7) * 36);
        palette[3 * i + 2] = (uint8_t)((i & 3) * 85);
    }
    return palette;
}

// Colour-mapped (256 entries of 24 bits) and 5-5-5 pictures, run-length, bottom row first.
std::vector<uint8_t> MakeExtendedTga(const BenchInput& input) {
    NoiseSource noise{0x1234567u + (uint32_t)input.path};
    const bool mapped = input.path == BenchPath::TgaMappedRle;
    TgaImage image;
    image.width = input.width;
    image.height = input.height;
    image.imageType = mapped ? 9 : 10;
    image.pixelDepth = mapped ? 8 : 16;
    if (mapped) {
        const std::vector<uint8_t> palette = CubePalette();
        image.colourMapType = 1;
        image.colourMapLength = 256;
        image.colourMapEntryBits = 24;
        for (int32_t i = 0; i < 256; i++) {
            image.colourMap.push_back(palette[3 * i + 2]);
            image.colourMap.push_back(palette[3 * i + 1]);
            image.colourMap.push_back(palette[3 * i]);
        }
    }
    for (int32_t stored = 0; stored < input.height; stored++) {
        int32_t y = input.height - 1 - stored;
        for (int32_t x = 0; x < input.width; x++) {
            if (mapped) {
                image.pixels.push_back(
                    MakeIndex(input.style, x, y, input.width, input.height, 256, &noise));
                continue;
            }
            uint8_t rgb[3];
            MakeColour(input.style, x, y, input.width, input.height, &noise, rgb);
            const uint32_t v = (rgb[2] >> 3) | (rgb[1] >> 3) << 5 | (rgb[0] >> 3) << 10;
            image.pixels.push_back((uint8_t)v);
            image.pixels.push_back((uint8_t)(v >> 8));
        }
    }
    return EncodeTga(image);
}

std::vector<uint8_t> MakeTga(const BenchInput& input) {
    if (input.path == BenchPath::TgaMappedRle || input.path == BenchPath::Tga16Rle) {
        return MakeExtendedTga(input);
    }
    NoiseSource noise{0x1234567u + (uint32_t)input.path};
    TgaImage image;
    image.width = input.width;
    image.height = input.height;
    const bool gray = input.path == BenchPath::Tga8GrayRaw || input.path == BenchPath::Tga8GrayRle;
    const bool runLength = input.path == BenchPath::Tga24Rle || input.path == BenchPath::Tga32Rle ||
                           input.path == BenchPath::Tga8GrayRle;
    image.pixelDepth = gray ? 8 : (input.path == BenchPath::Tga32Rle ? 32 : 24);
    image.imageType = (uint8_t)((gray ? 3 : 2) + (runLength ? 8 : 0));
    image.descriptor = image.pixelDepth == 32 ? 0x08 : 0x00;  // bottom-left origin
    const size_t pixelBytes = image.pixelDepth / 8u;
    image.pixels.resize((size_t)input.width * input.height * pixelBytes);
    uint8_t* out = image.pixels.data();
    // Stored rows run from the bottom row of the picture up.
    for (int32_t stored = 0; stored < input.height; stored++) {
        int32_t y = input.height - 1 - stored;
        for (int32_t x = 0; x < input.width; x++) {
            if (gray) {
                *out++ = MakeGray(input.style, x, y, input.width, input.height, &noise);
                continue;
            }
            uint8_t rgb[3];
            MakeColour(input.style, x, y, input.width, input.height, &noise, rgb);
            *out++ = rgb[2];
            *out++ = rgb[1];
            *out++ = rgb[0];
            if (pixelBytes == 4) *out++ = 255;
        }
    }
    return EncodeTga(image);
}

// 8 bits x 3 planes: each row's red, green and blue lines.
std::vector<uint8_t> MakeColourPcx(const BenchInput& input) {
    NoiseSource noise{0x7654321u + (uint32_t)input.path};
    PcxFile file;
    file.planes = 3;
    file.xmax = (int16_t)(input.width - 1);
    file.ymax = (int16_t)(input.height - 1);
    file.bytesPerLine = (int16_t)(input.width + (input.width & 1));
    file.planeData.assign((size_t)3 * file.bytesPerLine * input.height, 0);
    for (int32_t y = 0; y < input.height; y++) {
        uint8_t* line = &file.planeData[(size_t)3 * file.bytesPerLine * y];
        for (int32_t x = 0; x < input.width; x++) {
            uint8_t rgb[3];
            MakeColour(input.style, x, y, input.width, input.height, &noise, rgb);
            for (int32_t plane = 0; plane < 3; plane++)
                line[plane * file.bytesPerLine + x] = rgb[plane];
        }
    }
    return WritePcx(file);
}

std::vector<uint8_t> MakePcx(const BenchInput& input) {
    if (input.path == BenchPath::Pcx24) return MakeColourPcx(input);
    NoiseSource noise{0x7654321u + (uint32_t)input.path};
    const int32_t colours = input.path == BenchPath::Pcx256 ? 256 : 16;
    std::vector<uint8_t> pixels((size_t)input.width * input.height);
    for (int32_t y = 0; y < input.height; y++) {
        for (int32_t x = 0; x < input.width; x++) {
            pixels[(size_t)y * input.width + x] =
                MakeIndex(input.style, x, y, input.width, input.height, colours, &noise);
        }
    }
    if (colours == 16) return WritePcx(MakePlanarPcx(input.width, input.height, pixels));
    return WritePcx(MakeIndexedPcx(input.width, input.height, pixels, CubePalette()));
}

std::vector<uint8_t> MakeMag(const BenchInput& input) {
    NoiseSource noise{0x2468ACEu + (uint32_t)input.path};
    const bool full = input.path == BenchPath::Mag256;
    MagSourcePicture picture = MakeMagPicture(input.width, input.height, full);
    const int32_t colours = full ? 256 : 16;
    for (int32_t y = 0; y < input.height; y++) {
        for (int32_t x = 0; x < input.width; x++) {
            picture.Set(x, y,
                        MakeIndex(input.style, x, y, input.width, input.height, colours, &noise));
        }
    }
    MagEncodeOptions options;
    options.comment = "vbbench";
    return EncodeMag(picture, options).bytes;
}

bool FileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: vbbench_inputs FOLDER [--force]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool force = argc > 2 && strcmp(argv[2], "--force") == 0;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "vbbench_inputs: cannot create %s\n", folder.c_str());
        return 1;
    }
    for (size_t i = 0; i < BenchInputCount; i++) {
        const BenchInput& input = BenchInputs[i];
        const std::string path = folder + "/" + input.fileName;
        if (!force && FileExists(path)) continue;
        std::vector<uint8_t> bytes;
        switch (input.format) {
            case BenchFormat::Tga:
                bytes = MakeTga(input);
                break;
            case BenchFormat::Pcx:
                bytes = MakePcx(input);
                break;
            case BenchFormat::Mag:
                bytes = MakeMag(input);
                break;
        }
        if (!WriteWholeFile(path, bytes)) {
            fprintf(stderr, "vbbench_inputs: cannot write %s\n", path.c_str());
            return 1;
        }
        printf("%-22s %10zu bytes\n", input.fileName, bytes.size());
    }
    return 0;
}
