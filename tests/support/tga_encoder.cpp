#include "tga_encoder.h"

#include <string.h>

namespace {

bool SamePixel(const uint8_t* a, const uint8_t* b, int bytesPerPixel) {
    return memcmp(a, b, (size_t)bytesPerPixel) == 0;
}

// Packs one stretch of pixels: runs of at least minRunPixels become run packets, the rest raw.
void PackStretch(const uint8_t* pixels, size_t count, int bytesPerPixel, const TgaRleOptions& rle,
                 std::vector<uint8_t>& out) {
    const size_t maxPixels = (size_t)(rle.maxPacketPixels < 1     ? 1
                                      : rle.maxPacketPixels > 128 ? 128
                                                                  : rle.maxPacketPixels);
    const size_t minRun = rle.minRunPixels < 1 ? 1 : (size_t)rle.minRunPixels;
    auto pixelAt = [&](size_t i) { return pixels + i * (size_t)bytesPerPixel; };
    auto runLength = [&](size_t i) {
        size_t n = 1;
        while (i + n < count && n < maxPixels &&
               SamePixel(pixelAt(i), pixelAt(i + n), bytesPerPixel)) {
            n++;
        }
        return n;
    };
    size_t i = 0;
    while (i < count) {
        size_t run = runLength(i);
        if (run >= minRun && minRun <= 128) {
            out.push_back((uint8_t)(0x80 | (run - 1)));
            out.insert(out.end(), pixelAt(i), pixelAt(i) + bytesPerPixel);
            i += run;
            continue;
        }
        size_t start = i;
        size_t n = 0;
        while (i < count && n < maxPixels) {
            if (n > 0 && minRun <= 128 && runLength(i) >= minRun) break;
            i++;
            n++;
        }
        out.push_back((uint8_t)(n - 1));
        out.insert(out.end(), pixelAt(start), pixelAt(start) + n * (size_t)bytesPerPixel);
    }
}

}  // namespace

std::vector<uint8_t> EncodeTgaPackets(const uint8_t* pixels, size_t pixelCount, int bytesPerPixel,
                                      int rowPixels, const TgaRleOptions& rle) {
    std::vector<uint8_t> out;
    if (rle.layout == TgaPacketLayout::WrapAcrossRows || rowPixels <= 0) {
        PackStretch(pixels, pixelCount, bytesPerPixel, rle, out);
        return out;
    }
    for (size_t start = 0; start < pixelCount; start += (size_t)rowPixels) {
        size_t n = pixelCount - start < (size_t)rowPixels ? pixelCount - start : (size_t)rowPixels;
        PackStretch(pixels + start * (size_t)bytesPerPixel, n, bytesPerPixel, rle, out);
    }
    return out;
}

std::vector<uint8_t> EncodeTga(const TgaImage& image, const TgaRleOptions& rle) {
    std::vector<uint8_t> out;
    auto put16 = [&](uint16_t v) {
        out.push_back((uint8_t)v);
        out.push_back((uint8_t)(v >> 8));
    };
    out.push_back((uint8_t)image.idField.size());
    out.push_back(image.colourMapType);
    out.push_back(image.imageType);
    put16(image.colourMapFirst);
    put16(image.colourMapLength);
    out.push_back(image.colourMapEntryBits);
    put16(image.xOrigin);
    put16(image.yOrigin);
    put16((uint16_t)image.width);
    put16((uint16_t)image.height);
    out.push_back(image.pixelDepth);
    out.push_back(image.descriptor);
    out.insert(out.end(), image.idField.begin(), image.idField.end());
    out.insert(out.end(), image.colourMap.begin(), image.colourMap.end());

    if (image.useRawData) {
        out.insert(out.end(), image.rawData.begin(), image.rawData.end());
    } else if (image.imageType >= 9) {
        int bytesPerPixel = (image.pixelDepth + 7) / 8;
        size_t count = bytesPerPixel ? image.pixels.size() / (size_t)bytesPerPixel : 0;
        std::vector<uint8_t> packets =
            EncodeTgaPackets(image.pixels.data(), count, bytesPerPixel, image.width, rle);
        out.insert(out.end(), packets.begin(), packets.end());
    } else {
        out.insert(out.end(), image.pixels.begin(), image.pixels.end());
    }
    return out;
}

std::vector<uint8_t> OrderTgaRows(const std::vector<uint8_t>& topDown, int width, int height,
                                  int bytesPerPixel, uint8_t descriptor) {
    const bool topOrigin = (descriptor & 0x20) != 0;
    const bool rightToLeft = (descriptor & 0x10) != 0;
    const size_t rowBytes = (size_t)width * (size_t)bytesPerPixel;
    std::vector<uint8_t> out(topDown.size());
    for (int i = 0; i < height; i++) {
        int source = topOrigin ? i : height - 1 - i;
        for (int x = 0; x < width; x++) {
            int sx = rightToLeft ? width - 1 - x : x;
            memcpy(&out[(size_t)i * rowBytes + (size_t)x * (size_t)bytesPerPixel],
                   &topDown[(size_t)source * rowBytes + (size_t)sx * (size_t)bytesPerPixel],
                   (size_t)bytesPerPixel);
        }
    }
    return out;
}
