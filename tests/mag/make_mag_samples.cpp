// Writes the MAG sample pictures of samples/ with the test encoder:
//   mag16_640x400.mag  16 colours, 640x400: a sky gradient, a sun, hills and a checkered field
//   mag256.mag         256 colours, 320x240: a hue and brightness sweep with rings
//   mag200line.mag     16 colours, 640x200 stored, shown as 640x400: bars and a diagonal band
// Usage: make_mag_samples [output directory]   (default: the source tree's samples/)
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/mag_encoder.h"

namespace {

// Ordered dither of a level 0..1 between two palette indices, so gradients show as bands
// with soft edges even with 16 colours.
uint8_t Dither(double level, int x, int y, uint8_t low, uint8_t high) {
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    return level * 16.0 > bayer[y % 4][x % 4] + 0.5 ? high : low;
}

void SetPalette(MagSourcePicture& picture, uint32_t index, int red, int green, int blue) {
    picture.palette[3 * index] = (uint8_t)red;
    picture.palette[3 * index + 1] = (uint8_t)green;
    picture.palette[3 * index + 2] = (uint8_t)blue;
}

MagSourcePicture Landscape() {
    MagSourcePicture picture = MakeMagPicture(640, 400, false);
    // 0-5 sky from deep to pale blue, 6-7 sun, 8-10 hills, 11-14 field, 15 white.
    const int sky[6][3] = {{16, 32, 96},    {32, 64, 144},   {64, 104, 192},
                           {104, 144, 216}, {152, 184, 232}, {200, 216, 240}};
    for (int i = 0; i < 6; ++i) SetPalette(picture, i, sky[i][0], sky[i][1], sky[i][2]);
    SetPalette(picture, 6, 255, 200, 64);
    SetPalette(picture, 7, 255, 240, 160);
    SetPalette(picture, 8, 32, 96, 48);
    SetPalette(picture, 9, 48, 128, 64);
    SetPalette(picture, 10, 80, 160, 80);
    SetPalette(picture, 11, 144, 112, 48);
    SetPalette(picture, 12, 176, 144, 64);
    SetPalette(picture, 13, 112, 80, 32);
    SetPalette(picture, 14, 200, 176, 96);
    SetPalette(picture, 15, 255, 255, 255);

    for (int y = 0; y < 400; ++y) {
        for (int x = 0; x < 640; ++x) {
            uint8_t index;
            const double farHill = 230 - 40 * sin(x / 90.0) - 15 * sin(x / 23.0 + 1);
            const double nearHill = 285 - 30 * sin(x / 130.0 + 2);
            const double sunDistance = hypot(x - 470.0, y - 110.0);
            if (y >= 300) {
                // Field: a checkerboard in perspective.
                const double depth = (y - 290) / 110.0;
                const int column = (int)floor((x - 320) / (40.0 * depth + 8));
                const int row = (int)floor(20.0 / depth);
                index = ((column + row) % 2 == 0) ? 12 : 11;
                if (depth < 0.25) index = Dither(depth * 4, x, y, 14, index);
                if (((column + row) % 7) == 0) index = 13;
            } else if (y >= nearHill) {
                index = Dither((y - nearHill) / 30.0, x, y, 9, 8);
            } else if (y >= farHill) {
                index = 10;
            } else if (sunDistance < 48) {
                index = Dither(sunDistance / 48.0, x, y, 7, 6);
            } else if (sunDistance < 52) {
                index = 15;
            } else {
                const double level = y / 230.0 * 5;
                const int band = (int)level;
                index =
                    band >= 5 ? 5 : Dither(level - band, x, y, (uint8_t)band, (uint8_t)(band + 1));
            }
            picture.Set(x, y, index);
        }
    }
    return picture;
}

void HsvToRgb(double hue, double saturation, double value, int* rgb) {
    const double h = fmod(hue, 1.0) * 6;
    const int sector = (int)h;
    const double f = h - sector;
    const double p = value * (1 - saturation);
    const double q = value * (1 - saturation * f);
    const double t = value * (1 - saturation * (1 - f));
    double r, g, b;
    switch (sector) {
        case 0:
            r = value, g = t, b = p;
            break;
        case 1:
            r = q, g = value, b = p;
            break;
        case 2:
            r = p, g = value, b = t;
            break;
        case 3:
            r = p, g = q, b = value;
            break;
        case 4:
            r = t, g = p, b = value;
            break;
        default:
            r = value, g = p, b = q;
            break;
    }
    rgb[0] = (int)(r * 255 + 0.5);
    rgb[1] = (int)(g * 255 + 0.5);
    rgb[2] = (int)(b * 255 + 0.5);
}

MagSourcePicture ColourSweep() {
    MagSourcePicture picture = MakeMagPicture(320, 240, true);
    // 16 hues x 16 brightness steps.
    for (int hue = 0; hue < 16; ++hue) {
        for (int step = 0; step < 16; ++step) {
            int rgb[3];
            HsvToRgb(hue / 16.0, 0.85, (step + 1) / 16.0, rgb);
            SetPalette(picture, (uint32_t)(hue * 16 + step), rgb[0], rgb[1], rgb[2]);
        }
    }
    for (int y = 0; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            int hue = x * 16 / 320;
            int step = 15 - y * 16 / 240;
            const double ring = hypot(x - 160.0, y - 120.0);
            if (ring > 60 && ring < 100 && ((int)ring / 10) % 2 == 0) {
                hue = (hue + 8) % 16;
                step = 15;
            }
            picture.Set(x, y, (uint8_t)(hue * 16 + step));
        }
    }
    return picture;
}

MagSourcePicture Bars() {
    MagSourcePicture picture = MakeMagPicture(640, 200, false);
    const int colours[16][3] = {{0, 0, 0},     {0, 0, 170},    {170, 0, 0},    {170, 0, 170},
                                {0, 170, 0},   {0, 170, 170},  {170, 170, 0},  {170, 170, 170},
                                {85, 85, 85},  {85, 85, 255},  {255, 85, 85},  {255, 85, 255},
                                {85, 255, 85}, {85, 255, 255}, {255, 255, 85}, {255, 255, 255}};
    for (int i = 0; i < 16; ++i)
        SetPalette(picture, i, colours[i][0], colours[i][1], colours[i][2]);
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 640; ++x) {
            uint8_t index = (uint8_t)(x / 40);
            if (y >= 150) index = (uint8_t)(15 - x / 40);
            const int band = x - 2 * y;
            if (band > 100 && band < 160) index = 15;
            if (band >= 160 && band < 170) index = 0;
            picture.Set(x, y, index);
        }
    }
    return picture;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : std::string(VB_SOURCE_DIR) + "/samples";

    MagEncodeOptions landscape;
    landscape.comment = "Velbrook sample: hills at dusk, 16 colours";
    MagEncodeOptions sweep;
    // Shift-JIS: "サンプル画像 256色"
    sweep.comment = "\x83\x54\x83\x93\x83\x76\x83\x8B\x89\xE6\x91\x9C 256\x90\x46";
    MagEncodeOptions bars;
    bars.comment = "Velbrook sample: 200-line picture, rows doubled on display";
    bars.twoHundredLine = true;

    struct Sample {
        const char* name;
        MagSourcePicture picture;
        const MagEncodeOptions* options;
    };
    const Sample samples[] = {
        {"mag16_640x400.mag", Landscape(), &landscape},
        {"mag256.mag", ColourSweep(), &sweep},
        {"mag200line.mag", Bars(), &bars},
    };
    int failures = 0;
    for (const Sample& sample : samples) {
        const MagEncoded encoded = EncodeMag(sample.picture, *sample.options);
        const std::string path = directory + "/" + sample.name;
        if (WriteFile(path, encoded.bytes)) {
            printf("%s: %zu bytes\n", path.c_str(), encoded.bytes.size());
        } else {
            fprintf(stderr, "%s: cannot write\n", path.c_str());
            ++failures;
        }
    }
    return failures ? 1 : 0;
}
