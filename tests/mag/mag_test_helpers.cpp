#include "mag_test_helpers.h"

#include <algorithm>
#include <random>

namespace {

void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, v & 0xFFFF);
    PutLe16(p + 2, v >> 16);
}

}  // namespace

ExpectedDib ExpectedMagDib(const MagSourcePicture& picture, bool twoHundredLine) {
    ExpectedDib dib;
    const uint32_t colours = picture.Colours();
    const int32_t bitCount = picture.fullColours ? 8 : 4;
    const int32_t rows = twoHundredLine ? 2 * picture.height : picture.height;

    dib.header.assign(40 + 4 * colours, 0);
    uint8_t* h = dib.header.data();
    PutLe32(h + 0, 40);
    PutLe32(h + 4, (uint32_t)picture.width);
    PutLe32(h + 8, (uint32_t)rows);
    PutLe16(h + 12, 1);
    PutLe16(h + 14, (uint32_t)bitCount);
    for (uint32_t i = 0; i < colours; ++i) {
        h[40 + 4 * i + 0] = picture.palette[3 * i + 2];  // blue
        h[40 + 4 * i + 1] = picture.palette[3 * i + 1];  // green
        h[40 + 4 * i + 2] = picture.palette[3 * i + 0];  // red
    }

    // Rows padded to 32 bits, bottom row first.
    dib.stride = (uint32_t)(((int64_t)picture.width * bitCount + 31) / 32 * 4);
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

int32_t VB_CALL RecordProgress(int32_t current, int32_t total, intptr_t userData) {
    ProgressLog* log = (ProgressLog*)userData;
    log->calls.emplace_back(current, total);
    if (log->stopAfter >= 0 && (int32_t)log->calls.size() > log->stopAfter) return 1;
    return 0;
}

std::vector<std::pair<int32_t, int32_t>> FullProgress(int32_t height) {
    std::vector<std::pair<int32_t, int32_t>> calls;
    for (int32_t k = 0; k <= height; ++k) calls.emplace_back(k, height);
    calls.emplace_back(height, height);
    return calls;
}

std::vector<uint8_t> BlockBytes(const void* block, size_t size) {
    const uint8_t* bytes = (const uint8_t*)block;
    return std::vector<uint8_t>(bytes, bytes + size);
}
