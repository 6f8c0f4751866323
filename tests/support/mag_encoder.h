// A MAG ("MAKI02  ") encoder for test pictures and samples.
//
// It compresses as MAG writers do: every 2-byte unit of a row (4 pixels at 16 colours, 2 at 256)
// gets a copy code 1..15 when an earlier unit at that code's distance holds the same bytes, else
// code 0 and its bytes go to the pixel stream. Each row's flag bytes (two codes each) are XORed
// with the row above's; flag A has one bit per flag byte, set where the XOR is not 0, and flag B
// holds those non-zero XOR bytes. Header offsets count from the header start, flag A directly
// after the palette, as real files have them.
#ifndef VB_TESTS_SUPPORT_MAG_ENCODER_H
#define VB_TESTS_SUPPORT_MAG_ENCODER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

struct MagSourcePicture {
    int32_t width = 0;
    int32_t height = 0;
    bool fullColours = false;      // 256 colours; else 16
    std::vector<uint8_t> pixels;   // width * height palette indices, top row first
    std::vector<uint8_t> palette;  // colours * 3 bytes: red, green, blue

    uint32_t Colours() const { return fullColours ? 256u : 16u; }
    uint8_t At(int32_t x, int32_t y) const { return pixels[(size_t)y * width + x]; }
    void Set(int32_t x, int32_t y, uint8_t index) { pixels[(size_t)y * width + x] = index; }
};

// A picture of the given size, every pixel index 0, with a palette whose entries all differ.
MagSourcePicture MakeMagPicture(int32_t width, int32_t height, bool fullColours);

struct MagEncodeOptions {
    std::string comment;          // comment-area bytes between the signature and the 0x1A
    bool twoHundredLine = false;  // mode bit 0: rows are doubled on output
    int16_t xStart = 0;           // stored as they are; x end = x start + width - 1
    int16_t yStart = 0;
    uint8_t machineCode = 0;
    uint8_t machineFlags = 0;
    std::vector<uint8_t> leading;   // bytes before the picture: it starts at leading.size()
    std::vector<uint8_t> trailing;  // bytes after the pixel stream
    std::vector<int> codeOrder;     // copy codes tried in this order; empty: 1, 2, ..., 15
    // Code for the unit (row from the top, unit within the row), or -1 to let the encoder
    // choose. A forced code is written even when its source does not hold the unit's bytes:
    // the decoder then reproduces whatever that source holds (0 outside the picture).
    std::function<int(int32_t row, int32_t unit)> forceCode;
};

struct MagEncoded {
    std::vector<uint8_t> bytes;
    uint32_t pictureOffset = 0;  // where the signature starts
    uint32_t headerOffset = 0;   // where the 32-byte header starts
    uint32_t dataOffset = 0;     // where flag A starts
    uint32_t flagASize = 0;
    uint32_t flagBSize = 0;
    uint32_t pixelSize = 0;
    uint64_t codeCount[16] = {};  // units written with each code
};

MagEncoded EncodeMag(const MagSourcePicture& picture, const MagEncodeOptions& options = {});

#endif
