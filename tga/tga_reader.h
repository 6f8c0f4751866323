// The TGA reader of vbtga.spi: uncompressed and run-length true-colour (24, 32 bits) and
// grayscale (8 bits) Truevision TGA pictures, delivered as DIBs fitted to the display: 24-bit
// colour or 8-bit gray where the display shows it, otherwise reduced to 8-bit 3-3-2 colour or
// 2-bit gray by the colour reducer.
#ifndef VB_TGA_TGA_READER_H
#define VB_TGA_TGA_READER_H

#include <stdint.h>

#include "framework/format.h"

enum : uint32_t { TGA_HEADER_SIZE = 18 };

// Image descriptor bits.
enum : uint8_t {
    TGA_DESCRIPTOR_RIGHT_TO_LEFT = 0x10,
    TGA_DESCRIPTOR_TOP_ORIGIN = 0x20,
    TGA_DESCRIPTOR_INTERLEAVING = 0xC0,
};

// The fields of the 18-byte file header that the reader uses; the origin is never used, the
// colour-map start index only by colour-mapped pictures.
struct TgaHeader {
    uint8_t idLength;
    uint8_t imageType;
    uint16_t colourMapFirst;
    uint16_t colourMapLength;
    uint8_t colourMapEntryBits;
    uint16_t width;
    uint16_t height;
    uint8_t pixelDepth;
    uint8_t descriptor;
};

void ParseTgaHeader(const uint8_t* bytes, TgaHeader* header);

// What one decode works with, planned from the header before anything is allocated; the output
// part once the display has been asked.
struct TgaLayout {
    int32_t width;
    int32_t height;
    int32_t gray;  // 8-bit gray source; otherwise 24-bit colour
    int32_t runLength;
    int32_t rightToLeft;
    int32_t topOrigin;
    uint32_t pixelOffset;    // where the pixel data starts
    uint32_t bytesPerPixel;  // as stored: 1, 3 or 4
    uint32_t rowBytes;       // one stored row
    uint32_t windowBytes;    // run-length types: the most packed bytes one row can take
    uint32_t rowBufferSize;  // one stored (or unpacked) row
    int32_t outputDepth;
    int32_t reduce;  // the rows go through the colour reducer
    uint32_t stride;
    uint32_t bitsSize;
    // The extended layouts: stored pixels that become 24-bit colour or 8-bit gray ones first.
    int32_t expand;          // TGA_EXPAND_*; TGA_EXPAND_NONE for the default layouts
    uint32_t mapOffset;      // colour-mapped: where the colour map starts
    uint32_t mapFirst;       // the index of its first entry
    uint32_t mapLength;      // its entries
    uint32_t mapEntryBits;   // 15, 16, 24 or 32; 0 without a colour map
    uint32_t expandSize;     // the second working block: unpacked stored row, then the table
};

enum : int32_t {
    TGA_EXPAND_NONE = 0,
    TGA_EXPAND_INDEX8 = 1,      // 8-bit colour-map indices
    TGA_EXPAND_INDEX16 = 2,     // 16-bit colour-map indices
    TGA_EXPAND_GRAY_ALPHA = 3,  // 16-bit gray and alpha: the gray byte
    TGA_EXPAND_RGB555 = 4,      // 15/16-bit colour, each 5-5-5 value looked up
};

// RESULT_OK and the layout for the pictures the decoder takes, RESULT_UNKNOWN_FORMAT for the
// others; nothing is allocated. `extended` non-zero also takes colour-mapped pictures (8- or
// 16-bit indices into 15-, 16-, 24- or 32-bit entries), 15- and 16-bit colour and 16-bit gray
// with alpha.
int32_t PlanTgaDecode(const TgaHeader* header, TgaLayout* layout, int32_t extended = 0);

// A run-length packet that reaches past the end of a row goes on in the next row. This holds
// what is still due of it between rows; it starts zeroed and lives for one decode.
struct TgaPacketCarry {
    int32_t pixelsDue;   // pixels of the packet not yet produced
    int32_t runPending;  // non-zero: a run packet, repeating runPixel; zero: a raw packet, whose
                         // remaining pixel bytes begin the next row's packed bytes
    uint8_t runPixel[4];
};

// The bytes of an unpacked pixel: 32-bit pixels lose their fourth (attribute) byte.
inline uint32_t UnpackedPixelBytes(uint32_t storedBytes) {
    return storedBytes == 4 ? 3 : storedBytes;
}

// Unpacks `pixelCount` pixels stored in `bytesPerPixel` (1 to 4) bytes from the packed bytes into
// `destination`, pixelCount x UnpackedPixelBytes(bytesPerPixel) bytes, starting with what
// `carry` says is still due, and leaves in `carry` the part of a packet that reaches past the
// row. Returns the packed bytes consumed. Never reads past `packedSize` bytes nor writes past the
// row: a packet that the packed bytes do not hold whole ends the row with black pixels. A window
// of pixelCount x (bytesPerPixel + 1) bytes always holds every packet that a row takes.
uint32_t UnpackTgaRow(const uint8_t* packed, uint32_t packedSize, uint8_t* destination,
                      int32_t pixelCount, int32_t bytesPerPixel, TgaPacketCarry* carry);

// Copies `pixelCount` 32-bit pixels as 24-bit ones, dropping each fourth byte; writes exactly
// 3 x pixelCount bytes.
void CopyPixels32To24(uint8_t* to, const uint8_t* from, int32_t pixelCount);

// The display-fitted depth, 2, 8 or 24, from the display's bits per pixel (asked each call) and
// the preferred depth (24 when "full color" is on, else 8).
int32_t ChooseOutputDepth(int32_t preferredDepth);

// The "full color" value under HKEY_CURRENT_USER\Software\Velbrook\PlugIn; 1 when it cannot be
// read.
uint32_t ReadFullColorSetting();

int32_t AcceptTgaPicture(const char16_t* fileName, const uint8_t* fileHead);
int32_t ReadTgaPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info);
int32_t DecodeTgaPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData);

#endif
