// Turns the two DIB blocks that a plug-in hands over (header block, bits block) into PNG or BMP
// file bytes. The header block is checked before anything is read from the bits block, since
// its sizes say how much of the bits block there is.
#ifndef VB_HOST_IMAGE_WRITER_H
#define VB_HOST_IMAGE_WRITER_H

#include <stddef.h>
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

// Where a writer puts the file's bytes, in order. `take` answers false, with the reason in
// `problem`, to stop the writer (a full disk, a closed pipe).
struct ByteSink {
    bool (*take)(void* context, const uint8_t* bytes, size_t count, std::string* problem);
    void* context;
};

// Told after each band of rows that a writer has handed to its sink; answering false stops the
// writer there.
struct RowProgress {
    bool (*report)(void* context, int32_t rowsDone, int32_t rows);
    void* context;
};

enum WriteResult { WRITE_DONE, WRITE_FAILED, WRITE_STOPPED };

// Compression of a PNG: PNG_LEVEL_CHOSEN lets the writer pick settings for the picture, 0 to 9
// are zlib's levels with libpng's own row filters (6 is libpng's default).
enum : int32_t { PNG_LEVEL_CHOSEN = -1 };

struct PngSettings {
    int32_t level = PNG_LEVEL_CHOSEN;
    std::string comment;  // UTF-8; when not empty, written as an iTXt "Comment" chunk
};

// False when the system's PNG encoder has no compression levels (the Windows Imaging
// Component), so that --png-level can be refused instead of ignored.
bool HasPngLevels();

// PNG: a depth of 1 to 8 bits whose full colour table is the gray ramp of that depth (black to
// white in even steps) becomes a grayscale picture; other depths 1 to 8 become palette pictures:
// of just the colours in use when they are 16 or fewer (FindPaletteReduction), else carrying the
// DIB's colour table (padded with black to 2^depth entries so that every index is valid);
// 24 bits becomes RGB. Rows go top row first, in bands, each band reported to
// `progress` (may be null).
WriteResult WritePng(const DibLayout& dib, const PngSettings& settings, const ByteSink& sink,
                     const RowProgress* progress, std::string* problem);

// BMP: a 14-byte BITMAPFILEHEADER, then the header block and bits block as received, the bits
// in bands reported to `progress` (may be null).
WriteResult WriteBmp(const DibLayout& dib, const ByteSink& sink, const RowProgress* progress,
                     std::string* problem);

// The whole file in memory, for tests and tools.
bool EncodePng(const DibLayout& dib, const PngSettings& settings, std::vector<uint8_t>* out,
               std::string* problem);
bool EncodeBmp(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem);

// Rows per band of a writer: about 256 KiB of pixel data, at least one row.
int32_t CountRowsPerBand(const DibLayout& dib);

// The colour table entry `index` as red, green, blue (entries past the table are black).
void ReadTableColour(const DibLayout& dib, uint32_t index, uint8_t rgb[3]);

// True when the DIB has a full colour table that runs from black to white in even steps, so
// that its indices are gray levels: 0 and 255 at 1 bit, 0, 85, 170, 255 at 2 bits, ...
bool HasGrayRampTable(const DibLayout& dib);

// The colours that a palette picture shows, when they are few: a picture whose pixels show at
// most 2, 4 or 16 distinct colours is written at 1, 2 or 4 bits with a palette of just those
// colours, in the order of their first entry in the DIB's table.
struct PaletteReduction {
    uint16_t bitCount = 0;  // 1, 2 or 4
    uint32_t colours = 0;   // entries of rgb in use
    uint8_t rgb[16][3] = {};
    bool sameIndices = false;  // the DIB's rows serve as they are: same depth, same indices
    // A byte of the DIB's indices -> the same pixels' new indices, packed at bitCount bits.
    uint8_t packed[256] = {};
};

// False for 24-bit and gray-ramp pictures and for those that show more than 16 colours (the
// scan stops at the row where the 17th appears).
bool FindPaletteReduction(const DibLayout& dib, PaletteReduction* reduction);

// One stored row of `dib` (unless sameIndices) at the reduced depth into `out`: the row's
// (width x bitCount + 7) / 8 bytes, the bits past the last pixel 0.
void PackReducedRow(const DibLayout& dib, const PaletteReduction& reduction, const uint8_t* source,
                    uint8_t* out);

#endif
