#include "mag_test_helpers.h"

#include <algorithm>
#include <random>

ExpectedDib ExpectedMagDib(const MagSourcePicture& picture, bool twoHundredLine) {
    ExpectedDib dib;
    const uint32_t colours = picture.Colours();
    const int32_t bitCount = picture.fullColours ? 8 : 4;
    const int32_t rows = twoHundredLine ? 2 * picture.height : picture.height;

    dib.header = DibHeaderBlock(picture.width, rows, bitCount, colours, picture.palette);

    // Rows padded to 32 bits, bottom row first.
    dib.stride = (uint32_t)DibStride(picture.width, bitCount);
    dib.bits.assign((size_t)dib.stride * rows, 0);
    for (int32_t y = 0; y < picture.height; ++y) {
        std::vector<uint8_t> row(dib.stride, 0);
        for (int32_t x = 0; x < picture.width; ++x) {
            const uint8_t index = picture.At(x, y);
            if (picture.fullColours) {
                row[x] = index;
            } else if (x % 2 == 0) {
                row[x / 2] |= (uint8_t)((index & 0x0F) << 4);
            } else {
                row[x / 2] |= (uint8_t)(index & 0x0F);
            }
        }
        const int32_t copies = twoHundredLine ? 2 : 1;
        for (int32_t c = 0; c < copies; ++c) {
            const int32_t fromTop = copies * y + c;
            const size_t memoryRow = (size_t)(rows - 1 - fromTop);
            std::copy(row.begin(), row.end(), dib.bits.begin() + memoryRow * dib.stride);
        }
    }
    return dib;
}

MagSourcePicture RandomMagPicture(int32_t width, int32_t height, bool fullColours,
                                  uint32_t distinct, uint32_t seed) {
    MagSourcePicture picture = MakeMagPicture(width, height, fullColours);
    std::mt19937 random(seed);
    for (auto& colour : picture.palette) colour = (uint8_t)random();
    if (distinct == 0) distinct = 1;
    for (auto& pixel : picture.pixels) pixel = (uint8_t)(random() % distinct);
    return picture;
}

MagSourcePicture PatternMagPicture(int32_t width, int32_t height, bool fullColours) {
    MagSourcePicture picture = MakeMagPicture(width, height, fullColours);
    const int32_t colours = (int32_t)picture.Colours();
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            int32_t value = (x / 8 + y / 8) % colours;
            if ((x / 32 + y / 16) % 3 == 0) value = (colours - 1 - (x / 16) % colours);
            picture.Set(x, y, (uint8_t)value);
        }
    }
    return picture;
}
