// ZSoft PCX reader.
//
// Two layouts are decoded: 16 colours as 4 bit planes of 1 bit per pixel, whose colours come from
// the 16-entry palette in the header (or the standard 16 colours where that palette is all zero)
// and are shown as the nearest entries of the 3-3-2 colour cube, and 256 colours as 1 plane of 8
// bits per pixel, whose palette follows the image data behind a 12 byte. Both come out as an
// 8-bit bottom-up DIB with 256 colour-table entries.
//
// Encoding: a byte with its two top bits set carries a run length in its low 6 bits and is
// followed by the value to repeat; any other byte is a single value. Every row holds one encoded
// line per plane, bytesPerLine plane bytes each, one after the other.
#include "pcx/pcx_reader.h"

#include <string.h>

#include "framework/bytes.h"
#include "framework/decode_frame.h"
#include "framework/entry.h"
#include "framework/palette.h"

enum : uint32_t {
    RUN_FLAGS = 0xC0,  // both top bits set: a run
    RUN_LENGTH_MASK = 0x3F,
};

// ---- Header ----------------------------------------------------------------------------------

// Reads the 128-byte header; bytes a short file does not have read as 0.
static int32_t ReadPcxHeader(FileCursor* cursor, PcxHeader* header) {
    uint8_t bytes[PCX_HEADER_SIZE];
    int32_t result = ReadFileCursor(cursor, bytes, PCX_HEADER_SIZE, nullptr);
    if (result == RESULT_OK) ParsePcxHeader(bytes, header);
    return result;
}

void ParsePcxHeader(const uint8_t* bytes, PcxHeader* header) {
    header->manufacturer = (int8_t)bytes[0];
    header->version = (int8_t)bytes[1];
    header->encoding = (int8_t)bytes[2];
    header->bitsPerPixel = (int8_t)bytes[3];
    header->xmin = (int16_t)ReadLe16(bytes + 4);
    header->ymin = (int16_t)ReadLe16(bytes + 6);
    header->xmax = (int16_t)ReadLe16(bytes + 8);
    header->ymax = (int16_t)ReadLe16(bytes + 10);
    memcpy(header->palette, bytes + PCX_HEADER_PALETTE_OFFSET, sizeof header->palette);
    header->planes = (int8_t)bytes[65];
    header->bytesPerLine = (int16_t)ReadLe16(bytes + 66);
}

// The standard 16 colours, for files whose header palette is all zero.
// clang-format off
static const uint8_t StandardPalette[48] = {
    0,   0,   0,     0,   0,   170,   0,   170, 0,     0,   170, 170,  //  0 to  3
    170, 0,   0,     170, 0,   170,   170, 85,  0,     170, 170, 170,  //  4 to  7
    85,  85,  85,    85,  85,  255,   85,  255, 85,    85,  255, 255,  //  8 to 11
    255, 85,  85,    255, 85,  255,   255, 255, 85,    255, 255, 255,  // 12 to 15
};
// clang-format on

static uint32_t NearestLevel(uint32_t value, uint32_t step, uint32_t top) {
    const uint32_t level = (value + step / 2) / step;
    return level < top ? level : top;
}

void BuildPlanarColourIndex(const uint8_t* headerPalette, uint8_t* colourIndex) {
    const uint8_t* palette = StandardPalette;
    for (uint32_t i = 0; i < 48; i++) {
        if (headerPalette[i] != 0) {
            palette = headerPalette;
            break;
        }
    }
    // The nearest cube entry channel by channel: red and green levels 36 apart, blue 85.
    for (uint32_t value = 0; value < 16; value++) {
        const uint8_t* rgb = palette + 3 * value;
        colourIndex[value] =
            (uint8_t)(32 * NearestLevel(rgb[0], 36, 7) + 4 * NearestLevel(rgb[1], 36, 7) +
                      NearestLevel(rgb[2], 85, 3));
    }
}

// Tests the header fields in the order the format gives them and works out every size the
// decode needs; RESULT_UNKNOWN_FORMAT or RESULT_MEMORY_ERROR before anything is allocated.
int32_t PlanPcxDecode(const PcxHeader* header, PcxLayout* layout) {
    if (header->manufacturer != 10) return RESULT_UNKNOWN_FORMAT;
    // Signed on purpose: version bytes 0x80 and above count as old versions.
    if (header->version > 5) return RESULT_UNKNOWN_FORMAT;
    if (header->encoding != 1) return RESULT_UNKNOWN_FORMAT;
    if (header->bitsPerPixel == 1 && header->planes == 4) {
        layout->planar = 1;
    } else if (header->bitsPerPixel == 8 && header->planes == 1) {
        layout->planar = 0;
    } else {
        return RESULT_UNKNOWN_FORMAT;
    }
    // An edge that lies before its opposite edge leaves no picture to decode.
    if (header->xmax < header->xmin || header->ymax < header->ymin) return RESULT_UNKNOWN_FORMAT;

    layout->planes = header->planes;
    layout->bytesPerLine = header->bytesPerLine;
    layout->width = (int32_t)header->xmax - header->xmin + 1;
    layout->height = (int32_t)header->ymax - header->ymin + 1;
    // A negative bytes-per-line reserves no encoded room; the first row then ends as broken
    // data without ever sizing anything from it.
    int64_t lineBytes = header->bytesPerLine > 0 ? header->bytesPerLine : 0;
    if (!CheckedStride(layout->width, 8, &layout->stride) ||
        !CheckedBlockSize(layout->stride, layout->height, &layout->bitsSize) ||
        !CheckedBlockSize(2 * (int64_t)layout->planes, lineBytes, &layout->encodedLineSize)) {
        return RESULT_MEMORY_ERROR;
    }
    // Rows after the end of the file decode from zeros: single values 0, one per plane byte.
    layout->zeroLineSize = (uint32_t)(layout->planes * lineBytes);
    if (layout->planar) {
        BuildPlanarColourIndex(header->palette, layout->colourIndex);
        for (uint32_t key = 0; key < 256; key++) {
            layout->pairIndex[key] =
                (uint16_t)(layout->colourIndex[key & 15] | layout->colourIndex[key >> 4] << 8);
        }
    }
    return RESULT_OK;
}

// ---- Line decoders -------------------------------------------------------------------------
//
// One encoded unit (a single value, or a count byte and its value) yields at least one plane
// byte and takes at most two encoded bytes, and a plane line ends as soon as it has its
// bytesPerLine bytes. So one row never occupies more than 2 x planes x bytesPerLine encoded
// bytes, the size of the encoded area the decoder reads each row into. When the bytes handed
// over are at least that many, the loops run without end tests (CHECK_END false); otherwise
// every unit is tested and a row that runs out of bytes is broken data.
//
// The same count bounds the fast loops below: while a line still needs n more plane bytes, at
// least 2 x n encoded bytes of the area lie ahead (units so far took at most 2 bytes per plane
// byte produced), so reading 8 bytes ahead is safe whenever n >= 8.
//
// A last run may carry a line past bytesPerLine; it is expanded whole and the next plane line
// begins after it. Positions past the decoded-row area are consumed but never stored.

// Bit 7 of every byte in which both top bits are set: the count bytes among 8 encoded bytes.
static inline uint64_t FindCountBytes(uint64_t eight) {
    return eight & (eight << 1) & 0x8080808080808080ull;
}

// Encoded bytes before the first count byte among 8 loaded from memory (`counts` non-zero).
static inline uint32_t CountLeadingSingles(uint64_t counts) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return (uint32_t)__builtin_ctzll(counts) >> 3;
#elif defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (uint32_t)__builtin_clzll(counts) >> 3;
#else
    uint8_t bytes[8];
    memcpy(bytes, &counts, 8);
    uint32_t singles = 0;
    while (bytes[singles] == 0) singles++;
    return singles;
#endif
}

// Every bit of a plane byte spread over a whole byte (0xFF when set), leftmost pixel (bit 7)
// first, so that one 64-bit operation applies a plane byte to its 8 pixels.
struct BitSpreadTable {
    uint8_t bytes[256][8];
};

static constexpr BitSpreadTable BuildBitSpreadTable() {
    BitSpreadTable table{};
    for (int32_t value = 0; value < 256; value++) {
        for (int32_t pixel = 0; pixel < 8; pixel++) {
            table.bytes[value][pixel] = ((value >> (7 - pixel)) & 1) ? 0xFF : 0x00;
        }
    }
    return table;
}

static constexpr BitSpreadTable BitSpread = BuildBitSpreadTable();

// A set bit of plane p sets bit p of its pixel's value.
static constexpr uint64_t PLANE_BITS = 0x0101010101010101ull;

template <int32_t PLANE>
static inline void ApplyPlaneByte(uint8_t* pixels, uint32_t value) {
    uint64_t spread, eight;
    memcpy(&spread, BitSpread.bytes[value], 8);
    memcpy(&eight, pixels, 8);
    eight |= spread & (PLANE_BITS << PLANE);
    memcpy(pixels, &eight, 8);
}

template <int32_t PLANE>
static inline uint8_t ApplyPlaneBit(uint8_t pixel) {
    return (uint8_t)(pixel | (1u << PLANE));
}

// Decodes one plane line starting at `p` into `row`; the position after it, or null for broken
// data.
template <int32_t PLANE, bool CHECK_END>
static const uint8_t* DecodePlaneLine(const uint8_t* p, const uint8_t* end, uint8_t* row,
                                      uint32_t rowSize, uint32_t lineBytes) {
    // Plane byte k covers pixels 8k to 8k + 7. Those below wholeBytes lie entirely inside the
    // row; the one at wholeBytes straddles its end when the row is not a multiple of 8 long.
    const uint32_t wholeBytes = rowSize / 8;
    uint32_t count = 0;

    if (!CHECK_END) {
        // Fast part: 8 single plane bytes at a time, or the singles before a run and the run.
        // The margin leaves room for 7 singles and the longest run inside both the line and
        // the row.
        const uint32_t fastStop = lineBytes < wholeBytes ? lineBytes : wholeBytes;
        while (count + 7 + RUN_LENGTH_MASK <= fastStop) {
            if (p[0] < RUN_FLAGS) {
                uint64_t eight;
                memcpy(&eight, p, 8);
                const uint64_t counts = FindCountBytes(eight);
                const uint32_t singles = counts ? CountLeadingSingles(counts) : 8;
                uint8_t* pixels = row + 8 * count;
                for (uint32_t k = 0; k < singles; k++) {
                    ApplyPlaneByte<PLANE>(pixels + 8 * k, p[k]);
                }
                p += singles;
                count += singles;
                if (!counts) continue;
            }
            const uint32_t run = p[0] & RUN_LENGTH_MASK;
            if (run == 0) return nullptr;
            const uint32_t value = p[1];
            p += 2;
            uint8_t* pixels = row + 8 * count;
            for (uint32_t k = 0; k < run; k++) ApplyPlaneByte<PLANE>(pixels + 8 * k, value);
            count += run;
        }
    }

    while (count < lineBytes) {
        if (CHECK_END && p >= end) return nullptr;
        uint32_t value = *p++;
        uint32_t run = 1;
        if (value >= RUN_FLAGS) {
            run = value & RUN_LENGTH_MASK;
            if (run == 0) return nullptr;
            if (CHECK_END && p >= end) return nullptr;
            value = *p++;
        }
        // count < 32768 and run < 64: no overflow.
        const uint32_t stop = count + run;
        const uint32_t wholeStop = stop < wholeBytes ? stop : wholeBytes;
        for (uint32_t k = count; k < wholeStop; k++) ApplyPlaneByte<PLANE>(row + 8 * k, value);
        if (count <= wholeBytes && wholeBytes < stop) {
            for (uint32_t x = 8 * wholeBytes; x < rowSize; x++) {
                if ((value >> (7 - (x - 8 * wholeBytes))) & 1)
                    row[x] = ApplyPlaneBit<PLANE>(row[x]);
            }
        }
        count = stop;
    }
    return p;
}

template <bool CHECK_END>
static uint32_t DecodePlanes(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                             uint32_t rowSize, uint32_t lineBytes, int32_t planes) {
    const uint8_t* end = encoded + encodedSize;
    const uint8_t* p = DecodePlaneLine<0, CHECK_END>(encoded, end, row, rowSize, lineBytes);
    if (p && planes > 1) p = DecodePlaneLine<1, CHECK_END>(p, end, row, rowSize, lineBytes);
    if (p && planes > 2) p = DecodePlaneLine<2, CHECK_END>(p, end, row, rowSize, lineBytes);
    if (p && planes > 3) p = DecodePlaneLine<3, CHECK_END>(p, end, row, rowSize, lineBytes);
    return p ? (uint32_t)(p - encoded) : 0;
}

uint32_t DecodePlanarLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                          uint32_t rowSize, int32_t bytesPerLine, int32_t planes) {
    if (bytesPerLine < 1 || planes < 1 || planes > 4) return 0;
    const uint32_t lineBytes = (uint32_t)bytesPerLine;
    if ((uint64_t)encodedSize >= 2ull * (uint32_t)planes * lineBytes) {
        return DecodePlanes<false>(encoded, encodedSize, row, rowSize, lineBytes, planes);
    }
    return DecodePlanes<true>(encoded, encodedSize, row, rowSize, lineBytes, planes);
}

template <bool CHECK_END>
static uint32_t DecodeBytes(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                            uint32_t rowSize, uint32_t lineBytes) {
    const uint8_t* p = encoded;
    const uint8_t* end = encoded + encodedSize;
    uint32_t count = 0;
    // Positions below both the line length and the row size are stored.
    const uint32_t storeStop = lineBytes < rowSize ? lineBytes : rowSize;

    if (!CHECK_END) {
        // Fast part, well inside the stored positions: single values are copied 8 at once, and
        // a run is filled with 64 bytes. Both may write past what they decode; the line itself
        // overwrites those bytes later, since every position below storeStop gets its value
        // from the line.
        while (count + 7 + RUN_LENGTH_MASK + 8 <= storeStop) {
            // Single values before the next count byte, up to 8 at once. Testing the first byte
            // alone keeps the next position a predicted branch away in pictures that are mostly
            // runs.
            if (p[0] < RUN_FLAGS) {
                uint64_t eight;
                memcpy(&eight, p, 8);
                memcpy(row + count, &eight, 8);
                const uint64_t counts = FindCountBytes(eight);
                const uint32_t singles = counts ? CountLeadingSingles(counts) : 8;
                p += singles;
                count += singles;
                if (!counts) continue;
            }
            const uint32_t run = p[0] & RUN_LENGTH_MASK;
            if (run == 0) return 0;
            const uint64_t fill = p[1] * 0x0101010101010101ull;
            p += 2;
            // Always the longest run's 64 bytes: no loop whose length depends on the data.
            uint8_t* at = row + count;
            memcpy(at, &fill, 8);
            memcpy(at + 8, &fill, 8);
            memcpy(at + 16, &fill, 8);
            memcpy(at + 24, &fill, 8);
            memcpy(at + 32, &fill, 8);
            memcpy(at + 40, &fill, 8);
            memcpy(at + 48, &fill, 8);
            memcpy(at + 56, &fill, 8);
            count += run;
        }
    }

    while (count < storeStop) {
        if (CHECK_END && p >= end) return 0;
        uint32_t value = *p++;
        if (value < RUN_FLAGS) {
            row[count++] = (uint8_t)value;
            continue;
        }
        const uint32_t run = value & RUN_LENGTH_MASK;
        if (run == 0) return 0;
        if (CHECK_END && p >= end) return 0;
        value = *p++;
        const uint32_t room = rowSize - count;
        memset(row + count, (int)value, run < room ? run : room);
        count += run;
    }
    // The rest of the line lies past the row: consume it without storing.
    while (count < lineBytes) {
        if (CHECK_END && p >= end) return 0;
        const uint32_t value = *p++;
        if (value < RUN_FLAGS) {
            count++;
            continue;
        }
        const uint32_t run = value & RUN_LENGTH_MASK;
        if (run == 0) return 0;
        if (CHECK_END && p >= end) return 0;
        p++;
        count += run;
    }
    return (uint32_t)(p - encoded);
}

uint32_t DecodeByteLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                        uint32_t rowSize, int32_t bytesPerLine) {
    if (bytesPerLine < 1) return 0;
    const uint32_t lineBytes = (uint32_t)bytesPerLine;
    if ((uint64_t)encodedSize >= 2ull * lineBytes) {
        return DecodeBytes<false>(encoded, encodedSize, row, rowSize, lineBytes);
    }
    return DecodeBytes<true>(encoded, encodedSize, row, rowSize, lineBytes);
}

// ---- Picture ---------------------------------------------------------------------------------

// Turns the pixel values of a decoded 16-colour row into cube indices: every position of the
// row, those past the plane lines (value 0) included. Eight at a time: in each 16-bit lane of a
// 64-bit load, the two values make one key of pairIndex (one in the low nibble, the other in
// the high), whose two indices go back into the same lane, so the byte order does not matter.
static void MapPlanarRow(uint8_t* row, uint32_t size, const PcxLayout* layout) {
    const uint16_t* pairs = layout->pairIndex;
    uint32_t x = 0;
    for (; x + 8 <= size; x += 8) {
        uint64_t values;
        memcpy(&values, row + x, 8);
        const uint64_t keys = (values | (values >> 4)) & 0x00FF00FF00FF00FFull;
        const uint64_t indices =
            (uint64_t)pairs[keys & 0xFF] | (uint64_t)pairs[(keys >> 16) & 0xFF] << 16 |
            (uint64_t)pairs[(keys >> 32) & 0xFF] << 32 | (uint64_t)pairs[(keys >> 48) & 0xFF] << 48;
        memcpy(row + x, &indices, 8);
    }
    for (; x < size; x++) row[x] = layout->colourIndex[row[x] & 15];
}

// Decodes every row into the bits block, first file row at the top of the bottom-up DIB. Each row
// is decoded from a window of the file as long as its longest encoding, and the cursor then moves
// just past the bytes the row consumed.
static int32_t DecodePcxRows(DecodeFrame* frame, const PcxLayout* layout, uint8_t* row) {
    FileCursor* cursor = &frame->cursor;
    const int32_t height = layout->height;
    for (int32_t i = 0; i < height; i++) {
        // The bits block starts zero-filled and each DIB row is written once, so a 16-colour row,
        // which starts from a cleared row, is decoded in place; so is a 256-colour row whose line
        // covers the whole DIB row. Only a 256-colour line shorter than the row goes through the
        // decoded-row area, whose pixels past the line carry over to the next row.
        uint8_t* dibRow = frame->bits + (size_t)(height - 1 - i) * layout->stride;
        uint32_t consumed;
        if (layout->zeroLineSize != 0 && FileCursorAtEnd(cursor)) {
            // After the end of the file a row decodes from zeros: a 16-colour row is all value 0,
            // a 256-colour line covering its row stays all zero. A shorter 256-colour line would
            // change the row, but no palette trailer follows then and the decode fails anyway.
            consumed = layout->zeroLineSize;
            if (layout->planar && layout->colourIndex[0] != 0) {
                memset(dibRow, layout->colourIndex[0], layout->stride);
            }
        } else {
            const uint8_t* encoded = PeekFileCursor(cursor, layout->encodedLineSize);
            if (!encoded) return RESULT_FILE_ERROR;
            if (layout->planar) {
                consumed = DecodePlanarLine(encoded, layout->encodedLineSize, dibRow,
                                            layout->stride, layout->bytesPerLine, layout->planes);
                MapPlanarRow(dibRow, layout->stride, layout);
            } else if (layout->bytesPerLine >= (int64_t)layout->stride) {
                consumed = DecodeByteLine(encoded, layout->encodedLineSize, dibRow, layout->stride,
                                          layout->bytesPerLine);
            } else {
                consumed = DecodeByteLine(encoded, layout->encodedLineSize, row, layout->stride,
                                          layout->bytesPerLine);
                if (consumed != 0) memcpy(dibRow, row, layout->stride);
            }
            if (consumed == 0) return RESULT_BROKEN_DATA;
        }
        const int32_t result = SkipFileCursor(cursor, consumed);
        if (result != RESULT_OK) return result;
        if (NotifyProgress(frame, i, height) != 0) return RESULT_ABORTED;
    }
    return RESULT_OK;
}

// The 256-colour palette: the first 12 byte from the current position on, then 256 triples of
// red, green, blue. Triples past the end of the file read as 0.
static int32_t ReadPcxPalette(FileCursor* cursor, uint8_t* table) {
    if (SkipPastFileCursorByte(cursor, PCX_PALETTE_MARKER, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    uint8_t triples[256 * 3];
    if (ReadFileCursor(cursor, triples, sizeof triples, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    for (uint32_t entry = 0; entry < 256; entry++) {
        uint8_t* quad = table + RGBQUAD_SIZE * entry;
        quad[0] = triples[3 * entry + 2];
        quad[1] = triples[3 * entry + 1];
        quad[2] = triples[3 * entry];
        quad[3] = 0;
    }
    return RESULT_OK;
}

int32_t AcceptPcxPicture(const char16_t* fileName, const uint8_t* fileHead) {
    (void)fileHead;
    return EndsWithExtension(fileName, u".pcx");
}

int32_t ReadPcxPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    uint8_t buffer[INFO_BUFFER_SIZE];
    FileCursor cursor;
    int32_t result = OpenFileCursor(&cursor, fileName, offset, buffer, sizeof buffer);
    if (result != RESULT_OK) return result;
    PcxHeader header;
    result = ReadPcxHeader(&cursor, &header);
    CloseFileCursor(&cursor);
    if (result != RESULT_OK) return result;
    const int32_t width = (int32_t)header.xmax - header.xmin + 1;
    const int32_t height = (int32_t)header.ymax - header.ymin + 1;
    const int16_t depth = (int16_t)(header.bitsPerPixel * header.planes);
    StorePictureInfo(info, header.xmin, header.ymin, width, height, 0, 0, depth, 0);
    return RESULT_OK;
}

static int32_t DecodePcxFile(DecodeFrame* frame) {
    PcxHeader header;
    int32_t result = ReadPcxHeader(&frame->cursor, &header);
    if (result != RESULT_OK) return result;
    PcxLayout layout;
    result = PlanPcxDecode(&header, &layout);
    if (result != RESULT_OK) return result;

    uint8_t* headerBlock = AllocateHeaderBlock(frame, FULL_HEADER_BLOCK_SIZE);
    if (!headerBlock) return RESULT_MEMORY_ERROR;
    WriteBitmapInfoHeader(headerBlock, layout.width, layout.height, 8);
    if (!AllocateBitsBlock(frame, layout.bitsSize)) return RESULT_MEMORY_ERROR;
    uint8_t* row = AllocateWorkingBlock(frame, layout.stride);
    if (!row) return RESULT_MEMORY_ERROR;

    // Both calls come before the first row, and their answers do not stop the decode.
    NotifyProgress(frame, 0, layout.height);
    NotifyProgress(frame, layout.height, layout.height);
    result = DecodePcxRows(frame, &layout, row);
    // A failed decode hands nothing over, so the colour table is only worth filling (and the
    // palette trailer only worth searching for) when every row came through.
    if (result != RESULT_OK) return result;
    uint8_t* table = headerBlock + BITMAPINFOHEADER_SIZE;
    if (layout.planar) {
        BuildOutputPalette(table, 8);
        return RESULT_OK;
    }
    return ReadPcxPalette(&frame->cursor, table);
}

int32_t DecodePcxPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    return RunDecodeFrame(DecodePcxFile, fileName, offset, headerSlot, bitsSlot, notifier,
                          userData);
}

const FormatOperations ThisFormat = {AcceptPcxPicture, ReadPcxPictureInfo, DecodePcxPicture, 0};
