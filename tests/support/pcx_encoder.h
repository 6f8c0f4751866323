// Writes ZSoft PCX files for the tests and the samples: any header values, run-length encoded
// plane data, and the 256-colour palette trailer with whatever comes before its marker.
#ifndef VB_TESTS_SUPPORT_PCX_ENCODER_H
#define VB_TESTS_SUPPORT_PCX_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct PcxFile {
    // Header fields, written as they are (no consistency checks: rejection tests need that).
    uint8_t manufacturer = 10;
    uint8_t version = 5;
    uint8_t encoding = 1;
    uint8_t bitsPerPixel = 8;
    uint8_t planes = 1;
    int16_t xmin = 0;
    int16_t ymin = 0;
    int16_t xmax = 0;
    int16_t ymax = 0;
    int16_t bytesPerLine = 0;
    uint8_t headerPalette[48] = {};

    // Unencoded plane bytes: for each row, `planes` lines of `bytesPerLine` bytes, plane 0's
    // line first. Encoded row by row unless `encodedData` is given.
    std::vector<uint8_t> planeData;
    // Longest run written (1 to 63); 1 writes every byte on its own (values from 0xC0 up then
    // still take a count byte).
    int maxRun = 63;
    // Encode each row as one stream instead of plane line by plane line, so that runs of equal
    // bytes cross from one plane line into the next, as some careless writers do.
    bool runsCrossPlaneLines = false;
    // Written as the image data instead of the encoded `planeData` when not empty.
    std::vector<uint8_t> encodedData;

    // Trailer: `bytesBeforeMarker`, then (when `writeMarker`) the 12 byte, then `palette`
    // (normally 768 bytes of red, green, blue; may be cut short or left empty).
    std::vector<uint8_t> bytesBeforeMarker;
    bool writeMarker = false;
    std::vector<uint8_t> palette;
};

// The bytes of the whole file.
std::vector<uint8_t> WritePcx(const PcxFile& file);

// Run-length encodes `count` bytes as one stream; runs are at most `maxRun` long.
std::vector<uint8_t> EncodePcxBytes(const uint8_t* bytes, size_t count, int maxRun = 63);

// A 16-colour picture, 1 bit x 4 planes. `pixels` holds width x height pixel values 0 to 15 (bit
// p of a value is plane p's bit), top row first. Plane bits past the width, up to
// 8 x bytesPerLine, take the value `padding`. bytesPerLine 0 means the least that holds a row.
PcxFile MakePlanarPcx(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                      int32_t bytesPerLine = 0, uint8_t padding = 0);

// A 256-colour picture, 8 bits x 1 plane, with its marker and palette (768 bytes, red, green,
// blue per entry). Bytes past the width take the value `padding`. bytesPerLine 0 means the width
// rounded up to an even count, as most writers do.
PcxFile MakeIndexedPcx(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                       const std::vector<uint8_t>& palette, int32_t bytesPerLine = 0,
                       uint8_t padding = 0);

// Any other layout (2 or 4 bits per pixel, 8 bits x 3 planes, ...), from raw plane data.
PcxFile MakeRawPcx(int32_t bitsPerPixel, int32_t planes, int32_t width, int32_t height,
                   int32_t bytesPerLine, const std::vector<uint8_t>& planeData);

#endif
