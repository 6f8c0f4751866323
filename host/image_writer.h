// Turns the two DIB blocks that a plug-in hands over (header block, bits block) into PNG or BMP
// file bytes. The header block is checked before anything is read from the bits block, since
// its sizes say how much of the bits block there is.
#ifndef VB_HOST_IMAGE_WRITER_H
#define VB_HOST_IMAGE_WRITER_H

#include <stdint.h>

#include <string>
#include <vector>

// A DIB whose header ReadDibLayout has accepted: its sizes, computed once, and its blocks.
struct DibLayout {
    int32_t width = 0;
    int32_t rows = 0;           // |biHeight|
    bool bottomUp = true;       // biHeight > 0: the first row in memory is the bottom row
    uint16_t bitCount = 0;      // 1, 2, 4, 8 or 24
    uint32_t tableEntries = 0;  // RGBQUAD entries that follow the 40-byte header
    uint32_t stride = 0;        // bytes per stored row, a multiple of 4
    uint32_t headerBytes = 0;   // 40 + 4 x tableEntries
    uint32_t bitsBytes = 0;     // stride x rows
    const uint8_t* header = nullptr;
    const uint8_t* bits = nullptr;
};

enum : uint32_t { DIB_INFO_HEADER_SIZE = 40 };

// Checks the BITMAPINFOHEADER at `header` (40 bytes are read, then the colour table it
// announces) and fills `layout`. False, with the reason in `problem`, for a header the writers
// cannot take: a size field other than 40, a negative width, planes other than 1, a depth other
// than 1, 2, 4, 8 or 24, compression, too many colour-table entries, or blocks whose sizes do not
// fit below 2^31 bytes.
bool ReadDibLayout(const void* header, const void* bits, DibLayout* layout, std::string* problem);

// PNG: depths 1 to 8 become palette pictures carrying the DIB's colour table (padded with black
// to 2^depth entries so that every index is valid), 24 bits becomes RGB; rows go top row first.
bool EncodePng(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem);

// BMP: a 14-byte BITMAPFILEHEADER, then the header block and bits block as received.
bool EncodeBmp(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem);

// Writes `bytes` to a temporary file next to `path` and renames it into place, so that a failed
// write leaves neither a partial file nor a damaged older one.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* problem);

#endif
