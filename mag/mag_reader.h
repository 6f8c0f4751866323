// MAG reader: the signature test, the picture-information reader and the decoder of vbmag.spi.
//
// A MAG picture ("MAKI02  ") is laid out, from its start in the file:
//   signature (8 bytes) | comment area up to and including the byte 0x1A | header (32 bytes) |
//   palette (16 or 256 entries of green, red, blue) | flag A | flag B | pixel stream
// The header's offsets count from the header start; only their differences from the flag A
// offset are used, so flag A must follow the palette directly.
//
// The pixel rows are built from 2-byte units (4 pixels at 16 colours, 2 at 256). Each row has a
// line of flag bytes, carried over from the row above and changed by XOR with a flag B byte
// wherever the flag A bit stream says so. Each nibble of a flag byte gives one unit: 0 takes
// the next 2 bytes of the pixel stream, 1 to 15 copy 2 bytes that were decoded earlier, at a
// distance given by MagCopyPositions.
#ifndef VB_MAG_MAG_READER_H
#define VB_MAG_MAG_READER_H

#include <stdint.h>

#include "framework/format.h"

enum : uint32_t {
    MAG_SIGNATURE_SIZE = 8,
    MAG_HEADER_SIZE = 32,
    MAG_COMMENT_END = 0x1A,
};

// Mode byte bits.
enum : uint8_t {
    MAG_MODE_256_COLOURS = 0x80,
    MAG_MODE_200_LINE = 0x01,
};

// Where the 2 bytes a copy code takes lie, seen from the unit being written.
struct MagCopyPosition {
    uint8_t bytesLeft;  // within the row, towards its start
    uint8_t rowsUp;     // rows already decoded, above the current one
};
// Indexed by the 4-bit flag value; entry 0 (new data from the pixel stream) is unused.
extern const MagCopyPosition MagCopyPositions[16];

// The fields of the 32-byte header that the reader uses, as stored.
struct MagHeader {
    uint8_t mode;
    int16_t xStart;
    int16_t yStart;
    int16_t xEnd;
    int16_t yEnd;
    int32_t flagAOffset;
    int32_t flagBOffset;
    int32_t flagBSize;
    int32_t pixelOffset;
    int32_t pixelSize;
};

void ParseMagHeader(const uint8_t* bytes, MagHeader* header);

// Everything the decoder derives from a header before it allocates anything.
struct MagLayout {
    int32_t width;
    int32_t height;        // rows stored in the file
    int32_t outputHeight;  // rows of the DIB: twice `height` for a 200-line picture
    uint32_t colours;      // 16 or 256
    int32_t depth;         // 4 or 8
    uint32_t stride;       // bytes per DIB row, a multiple of 4
    uint32_t flagBytes;    // flag bytes per row: stride / 4, every row writes exactly one stride
    uint32_t headerBlockSize;
    uint32_t bitsSize;
    uint32_t dataSize;   // flag A, flag B and the pixel stream, as read from the file
    int64_t flagBStart;  // positions within the data; outside it on damaged files
    int64_t pixelStart;
    uint32_t streamSlack;  // zero bytes after the data that let a row read without tests
    uint32_t workSize;     // data block: data, slack, then the flag line
};

// RESULT_OK and the layout; RESULT_BROKEN_DATA for a width or height below 1 or a negative data
// size; RESULT_MEMORY_ERROR when a block would not fit below 2^31 bytes.
int32_t PlanMagDecode(const MagHeader* header, MagLayout* layout);

// State of the row decoder. Positions may lie outside the data on damaged files: bytes there
// read as 0. Bytes data[dataSize .. dataSize + streamSlack) must exist and be 0.
struct MagRowDecoder {
    uint8_t* bits;  // bits block; picture row r lies in memory row height - 1 - r
    uint32_t bitsSize;
    uint32_t stride;
    uint32_t flagBytes;
    int32_t height;
    uint8_t* flagLine;  // flagBytes entries, 0 before the first row
    const uint8_t* data;
    uint32_t dataSize;
    int64_t flagAPosition;
    uint32_t flagAMask;
    int64_t flagBPosition;
    int64_t pixelPosition;
    int32_t copyOffsets[16];  // source minus destination, per flag value (at most 16 strides)
};

// Prepares the decoder for the first row and clears the flag line; the bits block must be zero.
void StartMagRows(MagRowDecoder* decoder, const MagLayout* layout, uint8_t* bits, uint8_t* data);
// Decodes picture row `row` (0 is the top row) into its memory row. Rows whose streams and copy
// sources lie inside the blocks take a loop without bounds tests; the others the checked loop.
void DecodeMagRow(MagRowDecoder* decoder, int32_t row);
// The same row through the checked loop alone, for comparing the two loops.
void DecodeMagRowChecked(MagRowDecoder* decoder, int32_t row);

// 1 when the buffer starts with "MAKI02  ", else 0. Stops at the first byte that differs.
int32_t IsMagSignature(const uint8_t* head);
int32_t AcceptMagPicture(const char16_t* fileName, const uint8_t* fileHead);
int32_t ReadMagPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info);
int32_t DecodeMagPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData);

#endif
