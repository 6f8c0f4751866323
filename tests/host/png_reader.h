// Reads a PNG back with libpng's low-level interface, keeping what the high-level one hides:
// the stored bit depth, the colour type, the palette and the rows as stored.
#ifndef VB_TESTS_HOST_PNG_READER_H
#define VB_TESTS_HOST_PNG_READER_H

#include <stdint.h>

#include <string>
#include <vector>

struct DecodedPng {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 0;
    int colourType = -1;
    std::vector<uint8_t> palette;            // red, green, blue per entry
    std::vector<std::vector<uint8_t>> rows;  // top row first, as stored (indices packed)
    std::vector<std::string> texts;          // "iTXt Comment: text" for each text chunk
};

// False with libpng's message when the bytes are not a PNG it can read.
bool DecodePng(const std::vector<uint8_t>& bytes, DecodedPng* png, std::string* problem);

// Palette index of pixel x in a row of packed indices.
int PngIndexAt(const DecodedPng& png, uint32_t y, uint32_t x);

std::vector<uint8_t> ReadFileBytes(const std::string& path);

#endif
