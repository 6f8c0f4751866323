// Writes the sample pictures in samples/ with the project's PCX encoder:
//   planar16.pcx   320 x 200, 16 colours in 4 bit planes: a landscape of simple shapes
//   colour256.pcx  320 x 240, 256 colours with their own palette: smooth gradients
// Usage: make_pcx_samples [output folder]   (default: the source tree's samples/)
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/pcx_encoder.h"

static bool SaveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && written;
}

// Pixel values are plane bits: 1 red, 2 green, 4 blue, 8 bright. The header palette says so: a
// set colour bit gives 170, the bright bit adds 85 to every channel.
static void SetLandscapePalette(uint8_t* palette) {
    for (int value = 0; value < 16; value++) {
        const int bright = (value & 8) ? 85 : 0;
        palette[3 * value] = (uint8_t)(((value & 1) ? 170 : 0) + bright);
        palette[3 * value + 1] = (uint8_t)(((value & 2) ? 170 : 0) + bright);
        palette[3 * value + 2] = (uint8_t)(((value & 4) ? 170 : 0) + bright);
    }
}

static std::vector<uint8_t> DrawLandscape(int width, int height) {
    std::vector<uint8_t> pixels((size_t)width * height);
    const double sunX = 240, sunY = 55, sunRadius = 28;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t value;
            // Sky in bands, darker at the top; an ordered pattern softens the band edges.
            int band = (y + ((x + y) % 2) * 3) / 24;
            value = band < 1 ? 4 : band < 3 ? 12 : 14;
            double dx = x - sunX, dy = y - sunY;
            double distance = sqrt(dx * dx + dy * dy);
            if (distance < sunRadius)
                value = 11;
            else if (distance < sunRadius + 3 && (x + y) % 2 == 0)
                value = 15;
            // Two rows of hills.
            double far = 120 + 14 * sin(x / 31.0) + 6 * sin(x / 11.0 + 1.0);
            double nearHill = 150 + 18 * sin(x / 47.0 + 2.0);
            if (y > far) value = 2;
            if (y > nearHill) value = 10;
            // A house with a roof, a door and a window.
            if (x >= 60 && x < 120 && y >= 130 && y < 175) value = 9;
            if (y >= 100 && y < 130 && abs(x - 90) < (y - 100) * 4 / 3) value = 1;
            if (x >= 82 && x < 98 && y >= 150 && y < 175) value = 6;
            if (x >= 104 && x < 114 && y >= 140 && y < 150) value = 15;
            // A path to the door, and a ground line.
            if (y >= 175 && abs(x - 90 - (y - 175) * 2) < 6 + (y - 175) / 2) value = 7;
            if (y >= 196) value = 8;
            pixels[(size_t)y * width + x] = value;
        }
    }
    return pixels;
}

static std::vector<uint8_t> GradientPalette() {
    std::vector<uint8_t> rgb(768);
    const double pi = 3.14159265358979;
    for (int i = 0; i < 256; i++) {
        double t = i / 255.0;
        rgb[3 * i] = (uint8_t)lround(255 * (0.5 + 0.5 * sin(2 * pi * (t + 0.00))));
        rgb[3 * i + 1] = (uint8_t)lround(255 * (0.5 + 0.5 * sin(2 * pi * (t + 0.33))));
        rgb[3 * i + 2] = (uint8_t)lround(255 * (0.5 + 0.5 * sin(2 * pi * (t + 0.67))));
    }
    return rgb;
}

static std::vector<uint8_t> DrawGradient(int width, int height) {
    std::vector<uint8_t> pixels((size_t)width * height);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double dx = x - width / 2.0, dy = y - height / 2.0;
            double ring = sqrt(dx * dx + dy * dy);
            // Wide horizontal sweep with slow rings on top; flat bands at the edges for runs.
            int index = (int)(x * 255.0 / (width - 1) + 40 * sin(ring / 18.0));
            if (y < 16 || y >= height - 16) index = x * 8 / width * 32;
            pixels[(size_t)y * width + x] = (uint8_t)(index & 255);
        }
    }
    return pixels;
}

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : std::string(VB_SOURCE_DIR) + "/samples";
    PcxFile planar = MakePlanarPcx(320, 200, DrawLandscape(320, 200));
    SetLandscapePalette(planar.headerPalette);
    PcxFile indexed = MakeIndexedPcx(320, 240, DrawGradient(320, 240), GradientPalette());
    bool ok = SaveFile(folder + "/planar16.pcx", WritePcx(planar)) &&
              SaveFile(folder + "/colour256.pcx", WritePcx(indexed));
    if (!ok) {
        fprintf(stderr, "make_pcx_samples: cannot write into %s\n", folder.c_str());
        return 1;
    }
    printf("wrote %s/planar16.pcx and %s/colour256.pcx\n", folder.c_str(), folder.c_str());
    return 0;
}
