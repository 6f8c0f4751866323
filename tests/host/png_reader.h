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

// Red, green, blue of pixel (x, y) as the PNG shows it (black for an index past the palette).
std::vector<uint8_t> PngColourAt(const DecodedPng& png, uint32_t y, uint32_t x);

std::vector<uint8_t> ReadFileBytes(const std::string& path);

// What libpng lets pass: false, with the first fault, unless the file is the signature, then
// chunks whose CRCs hold, IHDR first, PLTE (if any) before the IDAT chunks, the IDAT chunks
// side by side with their data exactly one zlib stream (inflated, so its Adler-32 is checked),
// and an empty IEND last with nothing after it. `types` gets the chunk types in order.
bool CheckPngChunks(const std::vector<uint8_t>& bytes, std::vector<std::string>* types,
                    std::string* problem);

// False, with the first pixel that differs, unless every pixel of the PNG shows the colour of
// the same pixel of the DIB (read here from its blocks, not through the writer's code), and
// the PNG is the form the writer promises: RGB for 24 bits, gray for a full gray-ramp table,
// else a palette of just the colours in use at the smallest depth when they are 16 or fewer,
// or of the DIB's depth and 2^depth entries.
struct DibLayout;
bool ComparePngWithDib(const DibLayout& dib, const DecodedPng& png, std::string* problem);

#endif
