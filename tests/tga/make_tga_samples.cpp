// Writes the sample pictures of samples/: a photo-like colour picture stored run-length at 24
// bits and a gray one stored raw at 8 bits, both 320 x 240.
//
//   make_tga_samples [output folder]      (default: the source tree's samples/)
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/tga_encoder.h"

namespace {

const int kWidth = 320;
const int kHeight = 240;

// A smooth hash for texture: the same value for the same (x, y, seed).
int Grain(int x, int y, uint32_t seed) {
    uint32_t h = (uint32_t)x * 374761393u + (uint32_t)y * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return (int)((h ^ (h >> 16)) & 31) - 16;
}

int Clamp(double v) {
    return v < 0 ? 0 : v > 255 ? 255 : (int)v;
}

// Sky over hills with a sun, a textured foreground and a dark band at the bottom: large smooth
// areas for run-length packets, gradients and grain for the dither.
void PixelAt(int x, int y, int* red, int* green, int* blue) {
    double fx = (double)x / kWidth, fy = (double)y / kHeight;
    double hill = 0.55 + 0.08 * sin(fx * 6.5) + 0.04 * sin(fx * 17.0 + 1.3);
    double sunDistance = hypot((fx - 0.75) * kWidth / kHeight, fy - 0.22);
    if (fy < hill) {
        double glow = sunDistance < 0.08 ? 1.0 : 0.08 / sunDistance;
        *red = Clamp(70 + 120 * fy + 160 * glow * glow);
        *green = Clamp(120 + 100 * fy + 130 * glow * glow);
        *blue = Clamp(235 - 60 * fy + 20 * glow);
        if (sunDistance < 0.06) *red = *green = *blue = 250;  // flat: long runs
    } else if (fy < 0.92) {
        int grain = Grain(x / 2, y / 2, 7);
        *red = Clamp(40 + 90 * (fy - hill) + grain);
        *green = Clamp(110 + 60 * sin(fx * 9.0 + fy * 4.0) + grain);
        *blue = Clamp(30 + 20 * fx + grain / 2);
    } else {
        *red = *green = *blue = 24;  // flat band
    }
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : std::string(VB_SOURCE_DIR) + "/samples";
    std::vector<uint8_t> colour, gray;
    for (int y = 0; y < kHeight; y++) {
        for (int x = 0; x < kWidth; x++) {
            int red, green, blue;
            PixelAt(x, y, &red, &green, &blue);
            colour.insert(colour.end(), {(uint8_t)blue, (uint8_t)green, (uint8_t)red});
            gray.push_back((uint8_t)((77 * red + 151 * green + 28 * blue) >> 8));
        }
    }

    TgaImage rgb;
    rgb.imageType = 10;
    rgb.width = kWidth;
    rgb.height = kHeight;
    rgb.pixelDepth = 24;
    rgb.idField = {'V', 'e', 'l', 'b', 'r', 'o', 'o', 'k'};
    rgb.pixels = OrderTgaRows(colour, kWidth, kHeight, 3, 0);

    TgaImage mono;
    mono.imageType = 3;
    mono.width = kWidth;
    mono.height = kHeight;
    mono.pixelDepth = 8;
    mono.pixels = OrderTgaRows(gray, kWidth, kHeight, 1, 0);

    bool ok = WriteFile(folder + "/photo_rgb.tga", EncodeTga(rgb)) &&
              WriteFile(folder + "/photo_gray.tga", EncodeTga(mono));
    if (!ok) {
        fprintf(stderr, "make_tga_samples: cannot write into %s\n", folder.c_str());
        return 1;
    }
    printf("wrote %s/photo_rgb.tga and %s/photo_gray.tga\n", folder.c_str(), folder.c_str());
    return 0;
}
