#include "tga_test_helpers.h"

#include <string.h>

std::vector<uint8_t> ExpectedHeaderBlock(int32_t width, int32_t height, int32_t bitCount,
                                         ExpectedPalette palette) {
    if (palette == ExpectedPalette::Cube332) {
        return DibHeaderBlock(width, height, bitCount, 256, CubePalette());
    }
    std::vector<uint8_t> rgb(768, 0);
    for (int k = 0; k < 256 && palette != ExpectedPalette::None; k++) {
        bool ramp = palette == ExpectedPalette::GrayRamp256 ||
                    (palette == ExpectedPalette::Gray4OverRamp && k >= 4);
        rgb[3 * k] = rgb[3 * k + 1] = rgb[3 * k + 2] = (uint8_t)(ramp ? k : k < 4 ? 85 * k : 0);
    }
    return DibHeaderBlock(width, height, bitCount, 256, rgb);
}

std::vector<uint8_t> ExpectedStraightBits(const std::vector<uint8_t>& topDown, int32_t width,
                                          int32_t height, int32_t bytesPerPixel) {
    const int32_t stride = DibStride(width, bytesPerPixel * 8);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    for (int32_t r = 0; r < height; r++) {
        const uint8_t* source = &topDown[(size_t)(height - 1 - r) * width * bytesPerPixel];
        memcpy(&bits[(size_t)r * stride], source, (size_t)width * bytesPerPixel);
    }
    return bits;
}

std::vector<uint8_t> ReferenceDither(const std::vector<uint8_t>& fedRowsBgr, int32_t width,
                                     int32_t height, int32_t bitCount, bool bottomUp) {
    const int32_t stride = DibStride(width, bitCount);
    std::vector<uint8_t> bits((size_t)stride * height, 0);
    const int channels = bitCount == 2 ? 1 : 3;
    // error[row][x][channel], channel 0 red (or gray), 1 green, 2 blue
    std::vector<int> error((size_t)height * width * 3, 0);
    auto storedError = [&](int y, int x, int c) {
        if (y < 0 || x < 0 || x >= width) return 0;
        return error[((size_t)y * width + x) * 3 + c];
    };
    static const int weightsTwoAbove[5] = {1, 3, 5, 3, 1};
    static const int weightsAbove[5] = {3, 5, 7, 5, 3};
    for (int y = 0; y < height; y++) {
        uint8_t* out = &bits[(size_t)(bottomUp ? y : height - 1 - y) * stride];
        for (int x = 0; x < width; x++) {
            const uint8_t* pixel = &fedRowsBgr[((size_t)y * width + x) * 3];
            int base[3];
            if (channels == 1) {
                base[0] = (77 * pixel[2] + 151 * pixel[1] + 28 * pixel[0]) >> 8;
            } else {
                base[0] = pixel[2];
                base[1] = pixel[1];
                base[2] = pixel[0];
            }
            int level[3] = {0, 0, 0};
            for (int c = 0; c < channels; c++) {
                int sum = 0;
                for (int k = 0; k < 5; k++) {
                    sum += weightsTwoAbove[k] * storedError(y - 2, x - 2 + k, c);
                    sum += weightsAbove[k] * storedError(y - 1, x - 2 + k, c);
                }
                sum += 5 * storedError(y, x - 2, c) + 7 * storedError(y, x - 1, c);
                int v = base[c] + sum / 48;
                v = v < 0 ? 0 : v > 255 ? 255 : v;
                bool fourLevels = channels == 1 || c == 2;
                level[c] = fourLevels ? v / 64 : v / 32;
                int colour = fourLevels ? 85 * level[c] : 36 * level[c];
                error[((size_t)y * width + x) * 3 + c] = v - colour;
            }
            if (channels == 1) {
                out[x / 4] |= (uint8_t)(level[0] << (6 - 2 * (x % 4)));
            } else {
                out[x] = (uint8_t)(level[0] * 32 + level[1] * 4 + level[2]);
            }
        }
    }
    return bits;
}

std::vector<uint8_t> GrayToBgr(const std::vector<uint8_t>& gray) {
    std::vector<uint8_t> bgr;
    bgr.reserve(gray.size() * 3);
    for (uint8_t g : gray) bgr.insert(bgr.end(), {g, g, g});
    return bgr;
}

std::vector<uint8_t> ReverseRows(const std::vector<uint8_t>& picture, int32_t width, int32_t height,
                                 int32_t bytesPerPixel) {
    const size_t rowBytes = (size_t)width * bytesPerPixel;
    std::vector<uint8_t> out(picture.size());
    for (int32_t y = 0; y < height; y++) {
        memcpy(&out[(size_t)y * rowBytes], &picture[(size_t)(height - 1 - y) * rowBytes], rowBytes);
    }
    return out;
}

static uint32_t NextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 24;
}

std::vector<uint8_t> MakeTestPictureBgr(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> picture((size_t)width * height * 3);
    uint32_t state = seed;
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            uint8_t* p = &picture[((size_t)y * width + x) * 3];
            bool flat = ((x / 7) + (y / 3)) % 4 == 0;  // flat patches make runs
            if (flat) {
                p[0] = 40;
                p[1] = 200;
                p[2] = 120;
                continue;
            }
            int noise = (int)(NextRandom(state) % 24) - 12;
            int red = width > 1 ? 255 * x / (width - 1) : 128;
            int green = height > 1 ? 255 * y / (height - 1) : 128;
            int blue = (red + green) / 2 + noise;
            p[0] = (uint8_t)(blue < 0 ? 0 : blue > 255 ? 255 : blue);
            p[1] = (uint8_t)green;
            p[2] = (uint8_t)red;
        }
    }
    return picture;
}

std::vector<uint8_t> MakeTestPictureGray(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> colour = MakeTestPictureBgr(width, height, seed);
    std::vector<uint8_t> gray((size_t)width * height);
    for (size_t i = 0; i < gray.size(); i++) {
        gray[i] = (uint8_t)((colour[3 * i] + 2 * colour[3 * i + 1] + colour[3 * i + 2]) / 4);
    }
    return gray;
}
