// Writes Truevision TGA files for the tests, the samples and the benchmarks: raw and
// run-length, true-colour, gray and colour-mapped types, with ID fields, colour maps and any
// image descriptor, and run-length packets that either end at row ends or run on across them.
#ifndef VB_TESTS_SUPPORT_TGA_ENCODER_H
#define VB_TESTS_SUPPORT_TGA_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct TgaImage {
    uint8_t imageType = 2;  // 1/2/3 raw, 9/10/11 run-length
    int width = 0;
    int height = 0;
    uint8_t pixelDepth = 24;
    uint8_t descriptor = 0;  // written as given: attribute bits, origin bits, interleaving
    uint16_t xOrigin = 0;
    uint16_t yOrigin = 0;
    std::vector<uint8_t> idField;  // its size is the ID length (at most 255)
    uint8_t colourMapType = 0;
    uint16_t colourMapFirst = 0;
    uint16_t colourMapLength = 0;
    uint8_t colourMapEntryBits = 0;
    std::vector<uint8_t> colourMap;  // written as given, after the ID field
    // Stored pixels in file order (as the descriptor's origin bits lay them out), pixelDepth / 8
    // bytes each. Run-length types pack them.
    std::vector<uint8_t> pixels;
    // When set, written as the pixel data unchanged (hand-made packets, truncated data).
    bool useRawData = false;
    std::vector<uint8_t> rawData;
};

enum class TgaPacketLayout {
    EndAtRowEnds,    // every row is packed on its own, as the format recommends
    WrapAcrossRows,  // the picture is packed as one stream, so packets cross row ends
};

struct TgaRleOptions {
    TgaPacketLayout layout = TgaPacketLayout::EndAtRowEnds;
    int maxPacketPixels = 128;  // 1 to 128
    int minRunPixels = 2;       // shorter repeats go into raw packets; above 128: raw packets only
};

// The whole file: header, ID field, colour map, pixel data.
std::vector<uint8_t> EncodeTga(const TgaImage& image, const TgaRleOptions& rle = TgaRleOptions());

// Run-length packets for `pixelCount` pixels; `rowPixels` is the row length used by
// TgaPacketLayout::EndAtRowEnds.
std::vector<uint8_t> EncodeTgaPackets(const uint8_t* pixels, size_t pixelCount, int bytesPerPixel,
                                      int rowPixels, const TgaRleOptions& rle);

// Takes a picture given top row first, each row left to right, and returns its rows in the
// order and direction that `descriptor` declares (bit 5 top origin, bit 4 right-to-left).
std::vector<uint8_t> OrderTgaRows(const std::vector<uint8_t>& topDown, int width, int height,
                                  int bytesPerPixel, uint8_t descriptor);

#endif
