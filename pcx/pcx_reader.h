// ZSoft PCX reader: run-length encoded 16-colour pictures (1 bit x 4 planes) in their header
// palette's colours, shown on the 3-3-2 colour cube, and 256-colour pictures (8 bits x 1 plane)
// with their palette trailer, always delivered as an 8-bit DIB with a 256-entry colour table.
#ifndef VB_PCX_PCX_READER_H
#define VB_PCX_PCX_READER_H

#include <stdint.h>

#include "framework/format.h"
#include "framework/plugin.h"

enum : uint32_t {
    PCX_HEADER_SIZE = 128,
    PCX_PALETTE_MARKER = 12,         // the byte that introduces the 256-colour palette trailer
    PCX_HEADER_PALETTE_OFFSET = 16,  // 16 entries of red, green, blue
};

// The header fields the reader uses, each read with the sign the format gives it.
struct PcxHeader {
    int8_t manufacturer;
    int8_t version;
    int8_t encoding;
    int8_t bitsPerPixel;
    int8_t planes;
    int16_t xmin;
    int16_t ymin;
    int16_t xmax;
    int16_t ymax;
    int16_t bytesPerLine;
    uint8_t palette[48];  // the 16-colour palette: red, green, blue per entry
};

// What one decode works with, all checked before anything is allocated.
struct PcxLayout {
    int32_t planar;  // 1: 16 colours in 4 bit planes, 0: 256 colours in one byte plane
    int32_t planes;
    int32_t bytesPerLine;
    int32_t width;
    int32_t height;
    uint32_t stride;           // bytes of one DIB row
    uint32_t bitsSize;         // stride * height
    uint32_t encodedLineSize;  // the longest encoding of one row
    uint32_t zeroLineSize;     // what a row of zero bytes consumes; 0 when bytesPerLine < 1
    uint32_t workingSize;      // the working block: 16 colours' plane lines, or a 256-colour row
    uint8_t colourIndex[16];   // 16 colours: the cube index of each pixel value
    uint16_t pairIndex[256];   // the indices of two values v and w, at key v | w << 4
    // The extended layouts.
    int32_t outputDepth;    // 8, or 24 for 8 bits x 3 or 4 planes
    int32_t packedBits;     // 2 or 4 for several pixels packed in a byte of one plane, else 0
    int32_t colourPlanes;   // 3 or 4 for red, green, blue (and alpha) byte planes, else 0
    int32_t ownColours;     // entries of the colour table that come from the file; 0: the
                            // default layouts' colour table
    uint32_t lineAreaSize;  // packed and colour-plane layouts: the decoded plane lines
};

void ParsePcxHeader(const uint8_t* bytes, PcxHeader* header);
// Tests the header fields in the order the format gives them and works out every size the decode
// needs: RESULT_UNKNOWN_FORMAT or RESULT_MEMORY_ERROR before anything is allocated. `extended`
// non-zero also takes 1 bit x 1 to 3 planes, 2 or 4 bits x 1 plane and 8 bits x 3 or 4 planes.
int32_t PlanPcxDecode(const PcxHeader* header, PcxLayout* layout, int32_t extended = 0);

// The indices of two pixels whose values are v (left) and w, at key v | w << 4: the two bytes
// colourIndex[v], colourIndex[w] in memory order.
void BuildPairIndex(const uint8_t* colourIndex, uint16_t* pairIndex);

// The cube index of each of the 16 pixel values: the nearest cube entry to the value's colour in
// the header palette, or in the standard 16 colours when all 48 palette bytes are 0 (files that
// say they carry no palette often do all the same, so the bytes decide, not the version).
void BuildPlanarColourIndex(const uint8_t* headerPalette, uint8_t* colourIndex);

// 1 when the name ends with ".pcx" (any letter case); the file's bytes are not looked at.
int32_t AcceptPcxPicture(const char16_t* fileName, const uint8_t* fileHead);

// Fills `info` from the 128-byte header (bytes past the end of a short file read as 0). No
// header field is checked: a layout the decoder refuses still gets a record. The file is always
// read from its first byte.
int32_t ReadPcxPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info);

// Decodes the picture into an 8-bit bottom-up DIB. On RESULT_OK both blocks belong to the caller,
// otherwise every block has been freed (the slots then hold stale or null handles).
int32_t DecodePcxPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData);

// Decodes one 16-colour row, plane after plane (each plane line bytesPerLine plane bytes), into
// the plane lines at `planeLines` (PlanarLineAreaSize(rowSize) bytes), and from those stores all
// rowSize positions of `row`: the index pairIndex gives each pixel's value (plane p sets bit p
// of the value). Plane bytes at or past the row are decoded but not stored. Returns the encoded
// bytes consumed, 0 for broken data (a run length of 0, bytesPerLine below 1, a plane count
// outside 1..4, or a row that needs more than the `encodedSize` bytes at `encoded`).
uint32_t DecodePlanarLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                          uint32_t rowSize, int32_t bytesPerLine, int32_t planes,
                          const uint16_t* pairIndex, uint8_t* planeLines);
uint32_t PlanarLineAreaSize(uint32_t rowSize);
// The same with only the plain loops: no fast loop at all, as in checked mode.
uint32_t DecodePlanarLinePlain(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                               uint32_t rowSize, int32_t bytesPerLine, int32_t planes,
                               const uint16_t* pairIndex, uint8_t* planeLines);

// Decodes one 256-colour row of bytesPerLine pixels into `row`; positions at or past `rowSize`
// are not stored, and positions the line does not reach keep what `row` held. Returns the
// encoded bytes consumed, 0 for broken data as above.
uint32_t DecodeByteLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                        uint32_t rowSize, int32_t bytesPerLine);
// The same with only the plain loop, which tests every unit (checked mode).
uint32_t DecodeByteLinePlain(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                             uint32_t rowSize, int32_t bytesPerLine);

// The two line decoders along the given DecodePaths (framework/checks.h), whatever the
// processor and the build's setting: the tests run every path on the same lines, the x86-64 one
// without SSSE3 and the portable fast loops included.
uint32_t DecodePlanarLineAlong(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                               uint8_t* row, uint32_t rowSize, int32_t bytesPerLine,
                               int32_t planes, const uint16_t* pairIndex, uint8_t* planeLines);
uint32_t DecodeByteLineAlong(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                             uint8_t* row, uint32_t rowSize, int32_t bytesPerLine);

#endif
