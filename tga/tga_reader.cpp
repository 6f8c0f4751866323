// Truevision TGA: acceptance by name, picture information and the decoder.
#include "tga/tga_reader.h"

#include <string.h>

#include "framework/bytes.h"
#include "framework/checks.h"
#include "framework/decode_frame.h"
#include "framework/entry.h"
#include "framework/environment.h"
#include "framework/palette.h"
#include "tga/colour_reducer.h"

// The widest run-length window (65535 pixels of at most 4 bytes and a count byte each) and the
// widest raw row are peeked whole.
static_assert(DECODE_BUFFER_SIZE >= 65535u * (4u + 1u), "a TGA window fits the cursor's buffer");

// A file shorter than the header reads as image type 0, which neither reader takes: no byte
// that the file lacks is used.
static int32_t ReadTgaHeader(FileCursor* cursor, TgaHeader* header) {
    uint8_t bytes[TGA_HEADER_SIZE];
    uint32_t real = 0;
    if (ReadFileCursor(cursor, bytes, TGA_HEADER_SIZE, &real) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    if (real < TGA_HEADER_SIZE) memset(bytes, 0, sizeof bytes);
    ParseTgaHeader(bytes, header);
    return RESULT_OK;
}

void ParseTgaHeader(const uint8_t* bytes, TgaHeader* header) {
    header->idLength = bytes[0];
    header->imageType = bytes[2];
    header->colourMapLength = ReadLe16(bytes + 5);
    header->colourMapEntryBits = bytes[7];
    header->width = ReadLe16(bytes + 12);
    header->height = ReadLe16(bytes + 14);
    header->pixelDepth = bytes[16];
    header->descriptor = bytes[17];
}

static bool IsKnownImageType(uint8_t type) {
    return type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
}

static bool IsGrayType(uint8_t type) {
    return type == 3 || type == 11;
}
static bool IsRunLengthType(uint8_t type) {
    return type == 10 || type == 11;
}

// RESULT_OK for the pictures the decoder takes: true-colour of 24 or 32 bits and gray of 8,
// raw or run-length, not interleaved; and every size that does not depend on the display.
int32_t PlanTgaDecode(const TgaHeader* header, TgaLayout* layout) {
    memset(layout, 0, sizeof *layout);
    const uint8_t type = header->imageType;
    if (type != 2 && type != 3 && type != 10 && type != 11) return RESULT_UNKNOWN_FORMAT;
    if (header->descriptor & TGA_DESCRIPTOR_INTERLEAVING) return RESULT_UNKNOWN_FORMAT;
    const uint8_t depth = header->pixelDepth;
    if (depth != 8 && depth != 24 && depth != 32) return RESULT_UNKNOWN_FORMAT;
    // Rows are read at the source's own pixel size: gray at 1 byte, colour at 3 or 4. Gray
    // stored wider, or colour at one byte, would be read as something else.
    if (IsGrayType(type) != (depth == 8)) return RESULT_UNKNOWN_FORMAT;

    layout->width = header->width;
    layout->height = header->height;
    layout->gray = IsGrayType(type);
    layout->runLength = IsRunLengthType(type);
    layout->rightToLeft = (header->descriptor & TGA_DESCRIPTOR_RIGHT_TO_LEFT) != 0;
    layout->topOrigin = (header->descriptor & TGA_DESCRIPTOR_TOP_ORIGIN) != 0;
    const uint32_t entryBytes = ((uint32_t)header->colourMapEntryBits + 7u) / 8u;
    layout->pixelOffset =
        TGA_HEADER_SIZE + header->idLength + (uint32_t)header->colourMapLength * entryBytes;
    // 16-bit widths keep every row size far below 2^31.
    layout->bytesPerPixel = depth / 8u;
    layout->rowBytes = (uint32_t)layout->width * layout->bytesPerPixel;
    // Each packet that begins in a row gives it at least one pixel for at most bytesPerPixel + 1
    // bytes.
    layout->windowBytes =
        layout->runLength ? (uint32_t)layout->width * (layout->bytesPerPixel + 1) : 0;
    // The packets are unpacked straight from the cursor's buffer: the row buffer holds a row as
    // unpacked, 32-bit pixels without their fourth byte.
    layout->rowBufferSize = (uint32_t)layout->width * UnpackedPixelBytes(layout->bytesPerPixel);
    return RESULT_OK;
}

// The output depth for the display, and the bits block's size at that depth. RESULT_MEMORY_ERROR
// when the block would not fit below 2^31 bytes.
static int32_t PlanTgaOutput(TgaLayout* layout, int32_t fittedDepth) {
    const int32_t sourceDepth = layout->gray ? 8 : 24;
    layout->reduce = fittedDepth < sourceDepth;
    layout->outputDepth = layout->reduce ? fittedDepth : sourceDepth;
    if (!CheckedStride(layout->width, layout->outputDepth, &layout->stride) ||
        !CheckedBlockSize(layout->stride, layout->height, &layout->bitsSize)) {
        return RESULT_MEMORY_ERROR;
    }
    return RESULT_OK;
}

// Writes `count` copies of the first `bytesPerPixel` bytes of `pixel`.
static void RepeatPixel(uint8_t* out, const uint8_t* pixel, uint32_t count,
                        uint32_t bytesPerPixel) {
    if (bytesPerPixel == 1) {
        memset(out, pixel[0], count);
    } else if (bytesPerPixel == 3) {
        // Four pixels make 12 bytes, stored as whole words; the rest one pixel at a time.
        uint8_t four[12];
        for (uint32_t b = 0; b < 12; b++) four[b] = pixel[b % 3];
        uint32_t k = 0;
        for (; k + 4 <= count; k += 4) {
            memcpy(out, four, 12);
            out += 12;
        }
        for (; k < count; k++) {
            out[0] = four[0];
            out[1] = four[1];
            out[2] = four[2];
            out += 3;
        }
    } else if (bytesPerPixel == 4) {
        uint32_t word;
        memcpy(&word, pixel, 4);
        for (uint32_t k = 0; k < count; k++) {
            memcpy(out, &word, 4);
            out += 4;
        }
    } else {
        for (uint32_t k = 0; k < count; k++) {
            memcpy(out, pixel, bytesPerPixel);
            out += bytesPerPixel;
        }
    }
}

// What the 16-byte pieces below touch for `bytes` bytes: up to 15 more.
constexpr uint32_t InPieces(uint32_t bytes) {
    return (bytes + 15u) / 16u * 16u;
}

// Copies `bytes` bytes in 16-byte pieces, InPieces(bytes) on both sides: in busy pictures
// packets are short, and fixed-size pieces cost less than a general copy of an odd length.
static inline void CopyInPieces(uint8_t* out, const uint8_t* from, uint32_t bytes) {
    for (uint32_t k = 0; k < bytes; k += 16) memcpy(out + k, from + k, 16);
}

// Fills `count` bytes with `value` in 16-byte pieces, writing up to 15 bytes beyond them.
static inline void FillInPieces(uint8_t* out, uint8_t value, uint32_t count) {
    const uint64_t eight = 0x0101010101010101ull * value;
    for (uint32_t k = 0; k < count; k += 16) {
        memcpy(out + k, &eight, 8);
        memcpy(out + k + 8, &eight, 8);
    }
}

enum : uint32_t { PIECE_SLACK = 15 };
static_assert(InPieces(1) <= 1 + PIECE_SLACK, "a piece reaches at most PIECE_SLACK bytes past");

void CopyPixels32To24(uint8_t* to, const uint8_t* from, int32_t pixelCount) {
    // Two pixels at a time as one 8-byte word whose six pixel bytes are stored with two more
    // bytes that the next pixel overwrites; the last pixel byte by byte.
    int32_t k = 0;
    for (; k + 2 < pixelCount; k += 2) {
        uint64_t two;
        memcpy(&two, from, 8);
        two = (two & 0xFFFFFFu) | ((two >> 8) & 0xFFFFFF000000u);
        memcpy(to, &two, 8);
        from += 8;
        to += 6;
    }
    for (; k + 1 < pixelCount; k++) {
        uint32_t word;
        memcpy(&word, from, 4);
        memcpy(to, &word, 4);
        from += 4;
        to += 3;
    }
    if (k < pixelCount) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
    }
}

// The plain twins of RepeatPixel and CopyPixels, a byte at a time, for checked mode.
static void RepeatPixelPlainly(uint8_t* out, const uint8_t* pixel, uint32_t count,
                               uint32_t pixelBytes) {
    for (uint32_t k = 0; k < count; k++) {
        for (uint32_t b = 0; b < pixelBytes; b++) out[k * pixelBytes + b] = pixel[b];
    }
}
static void CopyPixelsPlainly(uint8_t* to, const uint8_t* from, uint32_t count,
                              uint32_t bytesPerPixel) {
    const uint32_t pixelBytes = UnpackedPixelBytes(bytesPerPixel);
    for (uint32_t k = 0; k < count; k++) {
        for (uint32_t b = 0; b < pixelBytes; b++) to[k * pixelBytes + b] = from[k * bytesPerPixel + b];
    }
}

static inline bool DecodingPlainly() {
    return ChosenDecodePaths() == DECODE_PATHS_PLAIN;
}

// Copies `count` stored pixels as unpacked ones.
static inline void CopyPixels(uint8_t* to, const uint8_t* from, uint32_t count,
                              uint32_t bytesPerPixel) {
    if (DecodingPlainly()) {
        CopyPixelsPlainly(to, from, count, bytesPerPixel);
        return;
    }
    if (bytesPerPixel == 4) {
        CopyPixels32To24(to, from, (int32_t)count);
    } else {
        memcpy(to, from, count * bytesPerPixel);
    }
}

// Gray packets while the row and the window have room for the longest packet in pieces (the
// static_asserts below): each is stored without a branch on its kind, since in busy pictures
// short runs and raw packets alternate at random. A packet of up to GRAY_PIECE_BYTES pixels is
// stored as GRAY_PIECE_BYTES bytes, the run's value or the raw bytes chosen by a mask from the
// count byte; a longer one in 16-byte pieces. Bytes written past a packet are overwritten by the
// packets after it. Returns the packed bytes consumed; `out` and `remaining` move past the
// pixels produced.
enum : uint32_t {
    GRAY_LONGEST_PACKET = 128,
    GRAY_PIECE_BYTES = 64,
    GRAY_FAST_ROW_ROOM = 128,
    GRAY_FAST_WINDOW_ROOM = 129,
};
static_assert(GRAY_PIECE_BYTES % 16 == 0 && GRAY_PIECE_BYTES <= GRAY_FAST_ROW_ROOM &&
                  1 + GRAY_PIECE_BYTES <= GRAY_FAST_WINDOW_ROOM,
              "a selected piece fits the room of the row and of the window");
static_assert(InPieces(GRAY_LONGEST_PACKET) <= GRAY_FAST_ROW_ROOM &&
                  1 + InPieces(GRAY_LONGEST_PACKET) <= GRAY_FAST_WINDOW_ROOM,
              "the longest packet in pieces fits the room of the row and of the window");

// Sixteen bytes as one value of GCC's and Clang's vector extension (the compilers of every build
// here): each target turns the operations into its own vector instructions, or into plain ones
// where it has none.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

static uint32_t UnpackGrayPackets(const uint8_t* packed, uint32_t packedSize, uint8_t** out,
                                  uint32_t* remaining) {
    const uint8_t* from = packed;
    const uint8_t* const fromEnd = packed + packedSize;
    uint8_t* to = *out;
    uint8_t* const toEnd = to + *remaining;
    while (toEnd - to >= (ptrdiff_t)GRAY_FAST_ROW_ROOM &&
           fromEnd - from >= (ptrdiff_t)GRAY_FAST_WINDOW_ROOM) {
        const uint32_t count = from[0];
        const uint32_t pixels = (count & 0x7Fu) + 1u;
        VB_ASSERT(pixels <= GRAY_LONGEST_PACKET);
        VB_ASSERT(toEnd - to >= (ptrdiff_t)InPieces(pixels) &&
                  toEnd - to >= (ptrdiff_t)GRAY_PIECE_BYTES);
        VB_ASSERT(fromEnd - from >= (ptrdiff_t)(1 + InPieces(pixels)) &&
                  fromEnd - from >= (ptrdiff_t)(1 + GRAY_PIECE_BYTES));
        // All ones for a run, else zero.
        const uint32_t runMask = 0u - (count >> 7);
        if (pixels <= GRAY_PIECE_BYTES) {
            const Bytes16 mask = (Bytes16){} + (uint8_t)runMask;
            const Bytes16 fill = ((Bytes16){} + from[1]) & mask;
            for (uint32_t k = 0; k < GRAY_PIECE_BYTES; k += 16) {
                Bytes16 raw;
                memcpy(&raw, from + 1 + k, 16);
                raw = (raw & ~mask) | fill;
                memcpy(to + k, &raw, 16);
            }
        } else if (runMask) {
            FillInPieces(to, from[1], pixels);
        } else {
            CopyInPieces(to, from + 1, pixels);
        }
        to += pixels;
        // A run takes 2 bytes, a raw packet 1 + pixels, that is 2 + its count byte.
        from += 2u + (count & ~runMask);
    }
    *remaining -= (uint32_t)(to - *out);
    *out = to;
    return (uint32_t)(from - packed);
}

uint32_t UnpackTgaRow(const uint8_t* packed, uint32_t packedSize, uint8_t* destination,
                      int32_t pixelCount, int32_t bytesPerPixel, TgaPacketCarry* carry) {
    if (pixelCount <= 0 || bytesPerPixel < 1 || bytesPerPixel > 4) return 0;
    const bool plain = DecodingPlainly();
    const uint32_t storedBytes = (uint32_t)bytesPerPixel;
    const uint32_t pixelBytes = UnpackedPixelBytes(storedBytes);
    uint32_t remaining = (uint32_t)pixelCount;
    uint32_t position = 0;
    uint8_t* out = destination;

    // The rest of a packet that began in an earlier row.
    if (carry->pixelsDue > 0) {
        uint32_t take =
            (uint32_t)carry->pixelsDue < remaining ? (uint32_t)carry->pixelsDue : remaining;
        if (carry->runPending && plain) {
            RepeatPixelPlainly(out, carry->runPixel, take, pixelBytes);
        } else if (carry->runPending) {
            RepeatPixel(out, carry->runPixel, take, pixelBytes);
        } else {
            if (take * storedBytes > packedSize) {
                carry->pixelsDue = 0;
                memset(out, 0, remaining * pixelBytes);
                return 0;
            }
            CopyPixels(out, packed, take, storedBytes);
            position = take * storedBytes;
        }
        out += take * pixelBytes;
        remaining -= take;
        carry->pixelsDue -= (int32_t)take;
    }

    // A packet gives the row at least one pixel for at most bytesPerPixel + 1 bytes (windowBytes);
    // the test per packet guards smaller windows. A packet with PIECE_SLACK bytes of the row and
    // of the window after it is stored in whole pieces (the asserts below).
    if (storedBytes == 1 && !plain) {
        position += UnpackGrayPackets(packed + position, packedSize - position, &out, &remaining);
    }
    while (remaining > 0) {
        if (position >= packedSize) break;
        uint8_t count = packed[position];
        uint32_t pixels = (count & 0x7Fu) + 1u;
        uint32_t take = pixels < remaining ? pixels : remaining;
        uint32_t available = packedSize - position - 1u;
        const uint32_t bytes = take * pixelBytes;
        const uint32_t storedPacketBytes = take * storedBytes;
        const bool roomForPieces = !plain && bytes + PIECE_SLACK <= remaining * pixelBytes;
        if (count & 0x80u) {
            if (available < storedBytes) break;
            const uint8_t* pixel = packed + position + 1;
            if (plain) {
                RepeatPixelPlainly(out, pixel, take, pixelBytes);
            } else if (pixelBytes == 1 && roomForPieces) {
                VB_ASSERT(InPieces(bytes) <= remaining * pixelBytes);
                FillInPieces(out, pixel[0], bytes);
            } else {
                RepeatPixel(out, pixel, take, pixelBytes);
            }
            if (pixels > take) {
                carry->pixelsDue = (int32_t)(pixels - take);
                carry->runPending = 1;
                memcpy(carry->runPixel, pixel, storedBytes);
            }
            position += 1u + storedBytes;
        } else {
            if (available < storedPacketBytes) break;
            if (storedBytes != 4 && roomForPieces && bytes + PIECE_SLACK <= available) {
                VB_ASSERT(InPieces(bytes) <= remaining * pixelBytes && InPieces(bytes) <= available);
                CopyInPieces(out, packed + position + 1, bytes);
            } else {
                CopyPixels(out, packed + position + 1, take, storedBytes);
            }
            if (pixels > take) {
                // The remaining pixel bytes stay unconsumed and begin the next row's window.
                carry->pixelsDue = (int32_t)(pixels - take);
                carry->runPending = 0;
            }
            position += 1u + storedPacketBytes;
        }
        out += take * pixelBytes;
        remaining -= take;
    }
    if (remaining > 0) memset(out, 0, remaining * pixelBytes);
    return position;
}

static void ReverseRowPixels(uint8_t* row, int32_t pixelCount, uint32_t pixelBytes) {
    if (pixelCount < 2) return;
    uint8_t* left = row;
    uint8_t* right = row + (size_t)(pixelCount - 1) * pixelBytes;
    while (left < right) {
        for (uint32_t b = 0; b < pixelBytes; b++) {
            uint8_t t = left[b];
            left[b] = right[b];
            right[b] = t;
        }
        left += pixelBytes;
        right -= pixelBytes;
    }
}

int32_t ChooseOutputDepth(int32_t preferredDepth) {
    int32_t displayBits = QueryDisplayBitsPerPixel();
    if (displayBits < 8) return 2;
    if (displayBits == 8) return 8;
    return preferredDepth >= 24 ? 24 : 8;
}

uint32_t ReadFullColorSetting() {
    uint32_t fullColor = 1;
    ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook\\PlugIn", u"full color",
                     &fullColor);
    return fullColor;
}

int32_t AcceptTgaPicture(const char16_t* fileName, const uint8_t* fileHead) {
    (void)fileHead;
    return EndsWithExtension(fileName, u".tga") ? 1 : 0;
}

int32_t ReadTgaPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    uint8_t buffer[INFO_BUFFER_SIZE];
    FileCursor cursor;
    int32_t result = OpenFileCursor(&cursor, fileName, offset, buffer, sizeof buffer);
    if (result != RESULT_OK) return result;
    TgaHeader header;
    result = ReadTgaHeader(&cursor, &header);
    CloseFileCursor(&cursor);
    if (result != RESULT_OK) return result;
    if (!IsKnownImageType(header.imageType)) return RESULT_UNKNOWN_FORMAT;
    StorePictureInfo(info, 0, 0, header.width, header.height, 0, 0, header.pixelDepth, 0);
    return RESULT_OK;
}

// What the row loop reads with.
struct TgaRowReader {
    FileCursor* cursor;
    const TgaLayout* layout;
    TgaPacketCarry carry;
};

// Once the file has ended, a row with nothing carried into it is all zero, and so is every later
// one: a raw row reads as zeros, and a run-length window of zeros unpacks into one-pixel raw
// packets of 0 that end with the row. Such rows are not read.
static bool TgaDataEnded(const TgaRowReader* reader) {
    if (DecodingPlainly()) return false;
    return FileCursorAtEnd(reader->cursor) && reader->carry.pixelsDue == 0;
}

// Reads the next stored row into `destination` (room for one unpacked row): unpacked, 32-bit
// pixels without their fourth byte, right-to-left rows turned around.
static int32_t ReadTgaRow(TgaRowReader* reader, uint8_t* destination) {
    const TgaLayout* layout = reader->layout;
    VB_ASSERT(layout->rowBytes <= reader->cursor->capacity &&
              layout->windowBytes <= reader->cursor->capacity);
    if (!layout->runLength && layout->bytesPerPixel == 4) {
        const uint8_t* stored = PeekFileCursor(reader->cursor, layout->rowBytes);
        if (!stored) return RESULT_FILE_ERROR;
        CopyPixels(destination, stored, (uint32_t)layout->width, 4);
        int32_t result = SkipFileCursor(reader->cursor, layout->rowBytes);
        if (result != RESULT_OK) return result;
    } else if (!layout->runLength) {
        int32_t result = ReadFileCursor(reader->cursor, destination, layout->rowBytes, nullptr);
        if (result != RESULT_OK) return result;
    } else {
        // The packets are unpacked from a window on the file; the cursor then moves to the first
        // packet of the next row.
        const uint8_t* window = PeekFileCursor(reader->cursor, layout->windowBytes);
        if (!window) return RESULT_FILE_ERROR;
        const uint32_t consumed =
            UnpackTgaRow(window, layout->windowBytes, destination, layout->width,
                         (int32_t)layout->bytesPerPixel, &reader->carry);
        int32_t result = SkipFileCursor(reader->cursor, consumed);
        if (result != RESULT_OK) return result;
    }
    if (layout->rightToLeft) {
        ReverseRowPixels(destination, layout->width, UnpackedPixelBytes(layout->bytesPerPixel));
    }
    return RESULT_OK;
}

// Raw rows that lie in the file as they lie in the bits block (bottom row first, left to right,
// no padding, no fourth byte to drop) are read many at a time straight into the block. A read
// twice the cursor's buffer goes past it but for the bytes the buffer already holds, so the
// rows are copied once, by the system, and there is still one read call for every buffer's
// worth of the file.
static bool RowsLieAsInTheBlock(const TgaLayout* layout) {
#if defined(_WIN32)
    // Not on Windows: measured under wine, a read straight into the new pages of the bits block
    // costs three times the copy it saves (4096 x 4096 24-bit: 7 ms of decoding became 22).
    (void)layout;
    return false;
#else
    return !DecodingPlainly() && !layout->runLength && layout->bytesPerPixel != 4 &&
           !layout->rightToLeft &&
           !layout->topOrigin && layout->rowBytes > 0 && layout->stride == layout->rowBytes;
#endif
}

static int32_t StoreTgaRowsInBulk(DecodeFrame* frame, TgaRowReader* reader) {
    const TgaLayout* layout = reader->layout;
    const int32_t height = layout->height;
    const int32_t rowsPerRead = (int32_t)(2u * frame->cursor.capacity / layout->rowBytes) + 1;
    for (int32_t first = 0; first < height; first += rowsPerRead) {
        const int32_t rows = height - first < rowsPerRead ? height - first : rowsPerRead;
        // After the end of the data the zero-filled DIB rows are already right.
        if (!TgaDataEnded(reader)) {
            VB_ASSERT(((uint64_t)first + rows) * layout->stride <= layout->bitsSize);
            int32_t result =
                ReadFileCursor(reader->cursor, frame->bits + (size_t)first * layout->stride,
                               (uint32_t)rows * layout->rowBytes, nullptr);
            if (result != RESULT_OK) return result;
        }
        for (int32_t i = first; i < first + rows; i++) {
            if (NotifyProgress(frame, i, height)) return RESULT_ABORTED;
        }
    }
    return RESULT_OK;
}

// Stores the rows as they are: the first stored row is the bottom one unless the descriptor says
// top. An unpacked row has the DIB row's pixel layout, so each is read or unpacked straight into
// its DIB row; the row buffer serves the reducer only.
static int32_t StoreTgaRows(DecodeFrame* frame, TgaRowReader* reader) {
    const TgaLayout* layout = reader->layout;
    if (RowsLieAsInTheBlock(layout)) return StoreTgaRowsInBulk(frame, reader);
    const int32_t height = layout->height;
    for (int32_t i = 0; i < height; i++) {
        const int32_t dibRow = layout->topOrigin ? height - 1 - i : i;
        uint8_t* target = frame->bits + (size_t)dibRow * layout->stride;
        // After the end of the data the zero-filled DIB row is already right.
        if (!TgaDataEnded(reader)) {
            int32_t result = ReadTgaRow(reader, target);
            if (result != RESULT_OK) return result;
        }
        if (NotifyProgress(frame, i, height)) return RESULT_ABORTED;
    }
    return RESULT_OK;
}

// Hands the next stored row to the reducer, which copies what it keeps: a raw row that needs no
// change is handed over where it lies in the cursor's buffer, any other row unpacked into the
// row buffer first.
static int32_t FeedTgaRow(TgaRowReader* reader, ColourReducer* reducer, uint8_t* rowBuffer) {
    const TgaLayout* layout = reader->layout;
    if (layout->runLength || layout->bytesPerPixel == 4 || layout->rightToLeft ||
        DecodingPlainly()) {
        int32_t result = ReadTgaRow(reader, rowBuffer);
        if (result == RESULT_OK) ReducerFeedRow(reducer, rowBuffer);
        return result;
    }
    const uint8_t* stored = PeekFileCursor(reader->cursor, layout->rowBytes);
    if (!stored) return RESULT_FILE_ERROR;
    ReducerFeedRow(reducer, stored);
    return SkipFileCursor(reader->cursor, layout->rowBytes);
}

// Feeds the rows through the colour reducer, which writes them into the bits block. The colour
// table holds the gray ramp for a gray source until the rows are done.
static int32_t ReduceTgaRows(DecodeFrame* frame, TgaRowReader* reader, uint8_t* rowBuffer) {
    const TgaLayout* layout = reader->layout;
    const int32_t width = layout->width;
    const int32_t height = layout->height;
    ColourReducer reducer;
    if (!ReducerInit(&reducer, width, height, layout->gray ? 8 : 24,
                     frame->header + BITMAPINFOHEADER_SIZE, width, height, layout->outputDepth,
                     frame->bits, layout->topOrigin ? 0 : 1)) {
        return RESULT_MEMORY_ERROR;
    }
    int32_t result = RESULT_OK;
    for (int32_t i = 0; i < height; i++) {
        // After the end of the data every row is black, and the reducer turns black rows into
        // rows of 0, which the zero-filled block already holds.
        if (!TgaDataEnded(reader)) {
            result = FeedTgaRow(reader, &reducer, rowBuffer);
            if (result != RESULT_OK) break;
        }
        if (NotifyProgress(frame, i, height)) {
            result = RESULT_ABORTED;
            break;
        }
    }
    ReducerRelease(&reducer);
    return result;
}

static int32_t DecodeTgaRows(DecodeFrame* frame, const TgaLayout* layout, uint8_t* rowBuffer) {
    TgaRowReader reader;
    memset(&reader, 0, sizeof reader);
    reader.cursor = &frame->cursor;
    reader.layout = layout;
    if (layout->reduce) return ReduceTgaRows(frame, &reader, rowBuffer);
    return StoreTgaRows(frame, &reader);
}

static int32_t DecodeTgaFile(DecodeFrame* frame) {
    TgaHeader header;
    int32_t result = ReadTgaHeader(&frame->cursor, &header);
    if (result != RESULT_OK) return result;
    TgaLayout layout;
    result = PlanTgaDecode(&header, &layout);
    if (result != RESULT_OK) return result;
    result = SeekFileCursor(&frame->cursor, layout.pixelOffset);
    if (result != RESULT_OK) return result;

    uint8_t* headerBlock = AllocateHeaderBlock(frame, FULL_HEADER_BLOCK_SIZE);
    if (!headerBlock) return RESULT_MEMORY_ERROR;
    // The setting is read before the display is asked, both anew on every decode.
    const int32_t preferredDepth = ReadFullColorSetting() ? 24 : 8;
    const int32_t fittedDepth = ChooseOutputDepth(preferredDepth);
    // The output depth is known only now, so is the bits block's size.
    result = PlanTgaOutput(&layout, fittedDepth);
    uint8_t* colourTable = headerBlock + BITMAPINFOHEADER_SIZE;
    if (layout.gray) BuildGrayRamp(colourTable, 8, 1);
    WriteBitmapInfoHeader(headerBlock, layout.width, layout.height, layout.outputDepth);
    if (result != RESULT_OK) return result;
    if (!AllocateBitsBlock(frame, layout.bitsSize)) return RESULT_MEMORY_ERROR;
    uint8_t* rowBuffer = AllocateWorkingBlock(frame, layout.rowBufferSize);
    if (!rowBuffer) return RESULT_MEMORY_ERROR;

    NotifyProgress(frame, 0, layout.height);
    result = DecodeTgaRows(frame, &layout, rowBuffer);
    if (layout.reduce && result == RESULT_OK) BuildOutputPalette(colourTable, layout.outputDepth);
    NotifyProgress(frame, layout.height, layout.height);
    return result;
}

int32_t DecodeTgaPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    return RunDecodeFrame(DecodeTgaFile, fileName, offset, headerSlot, bitsSlot, notifier,
                          userData);
}

const FormatOperations ThisFormat = {AcceptTgaPicture, ReadTgaPictureInfo, DecodeTgaPicture, 0};
