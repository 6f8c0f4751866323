// MAG reader of vbmag.spi: signature test, picture information and decoder.
#include "mag/mag_reader.h"

#include <string.h>

#include "framework/bytes.h"
#include "framework/checks.h"
#include "framework/decode_frame.h"

// clang-format off
const MagCopyPosition MagCopyPositions[16] = {
    // {bytes left, rows up}; entry 0 stands for new data from the pixel stream
    {0, 0}, {2, 0}, {4, 0}, {8, 0},   //  0 to  3
    {0, 1}, {2, 1}, {0, 2}, {2, 2},   //  4 to  7
    {4, 2}, {0, 4}, {2, 4}, {4, 4},   //  8 to 11
    {0, 8}, {2, 8}, {4, 8}, {0, 16},  // 12 to 15
};
// clang-format on

// The farthest any copy code reaches, to the left and upwards.
enum : uint32_t {
    MAG_MAX_BYTES_LEFT = 8,
    MAG_MAX_ROWS_UP = 16,
};

// What one flag byte (4 bytes of a row) takes from each stream at most: 4 pixel bytes, 1 flag B
// byte and 1 bit of flag A. The zero slack after the data holds a row's worth of the most any
// stream takes, plus flag A's partly used byte.
enum : uint32_t { MAG_ROW_BYTES_PER_FLAG_BYTE = 4, MAG_SLACK_EXTRA = 8 };
static constexpr uint32_t MagRowReach(uint32_t flagBytes) {
    return MAG_ROW_BYTES_PER_FLAG_BYTE * flagBytes;
}
static_assert(MagRowReach(1) >= 1 && MAG_SLACK_EXTRA >= 1,
              "the pixel stream reaches furthest; flag A needs one byte beyond flagBytes / 8");

static const uint8_t MagSignature[MAG_SIGNATURE_SIZE] = {'M', 'A', 'K', 'I', '0', '2', ' ', ' '};

int32_t IsMagSignature(const uint8_t* head) {
    if (!head) return 0;
    // Byte by byte, stopping at the first difference, so a shorter buffer ended by a 0 byte
    // is never read past that byte.
    for (uint32_t i = 0; i < MAG_SIGNATURE_SIZE; ++i) {
        if (head[i] != MagSignature[i]) return 0;
    }
    return 1;
}

int32_t AcceptMagPicture(const char16_t* fileName, const uint8_t* fileHead) {
    (void)fileName;  // MAG files are recognised by their contents alone
    return IsMagSignature(fileHead);
}

void ParseMagHeader(const uint8_t* bytes, MagHeader* header) {
    header->mode = bytes[3];
    header->xStart = (int16_t)ReadLe16(bytes + 4);
    header->yStart = (int16_t)ReadLe16(bytes + 6);
    header->xEnd = (int16_t)ReadLe16(bytes + 8);
    header->yEnd = (int16_t)ReadLe16(bytes + 10);
    header->flagAOffset = (int32_t)ReadLe32(bytes + 12);
    header->flagBOffset = (int32_t)ReadLe32(bytes + 16);
    header->flagBSize = (int32_t)ReadLe32(bytes + 20);
    header->pixelOffset = (int32_t)ReadLe32(bytes + 24);
    header->pixelSize = (int32_t)ReadLe32(bytes + 28);
}

int32_t PlanMagDecode(const MagHeader* header, MagLayout* layout) {
    memset(layout, 0, sizeof *layout);
    // x start and x end count only through the width; they are not aligned to flag bytes.
    layout->width = (int32_t)header->xEnd - (int32_t)header->xStart + 1;
    layout->height = (int32_t)header->yEnd - (int32_t)header->yStart + 1;
    const bool fullColours = (header->mode & MAG_MODE_256_COLOURS) != 0;
    layout->colours = fullColours ? 256 : 16;
    layout->depth = fullColours ? 8 : 4;
    layout->outputHeight = (header->mode & MAG_MODE_200_LINE) ? 2 * layout->height : layout->height;
    layout->headerBlockSize = (layout->colours + 10) * RGBQUAD_SIZE;
    if (layout->width < 1 || layout->height < 1) return RESULT_BROKEN_DATA;

    // The offsets matter only relative to flag A, which the data block starts with.
    const int64_t dataSize = (int64_t)header->pixelOffset + header->pixelSize - header->flagAOffset;
    if (dataSize < 0) return RESULT_BROKEN_DATA;
    layout->flagBStart = (int64_t)header->flagBOffset - header->flagAOffset;
    layout->pixelStart = (int64_t)header->pixelOffset - header->flagAOffset;

    if (!CheckedStride(layout->width, layout->depth, &layout->stride)) return RESULT_MEMORY_ERROR;
    if (!CheckedBlockSize(layout->stride, layout->outputHeight, &layout->bitsSize)) {
        return RESULT_MEMORY_ERROR;
    }
    // One flag byte gives 4 bytes of a row at either depth.
    layout->flagBytes = layout->stride / MAG_ROW_BYTES_PER_FLAG_BYTE;
    // Zero bytes after the data let a row that starts inside it run without a test per byte
    // (DecodeRowInside's asserts), and read 0 past its end as a short file would.
    layout->streamSlack = MagRowReach(layout->flagBytes) + MAG_SLACK_EXTRA;
    VB_ASSERT(layout->streamSlack >= layout->flagBytes / 8 + 1);
    const int64_t workSize = dataSize + layout->streamSlack + layout->flagBytes;
    if (workSize > INT32_MAX) return RESULT_MEMORY_ERROR;
    layout->dataSize = (uint32_t)dataSize;
    layout->workSize = (uint32_t)workSize;
    return RESULT_OK;
}

void StartMagRows(MagRowDecoder* decoder, const MagLayout* layout, uint8_t* bits, uint8_t* data) {
    decoder->bits = bits;
    decoder->bitsSize = layout->bitsSize;
    decoder->stride = layout->stride;
    decoder->flagBytes = layout->flagBytes;
    decoder->height = layout->height;
    decoder->flagLine = data + layout->dataSize + layout->streamSlack;
    memset(decoder->flagLine, 0, layout->flagBytes);
    decoder->data = data;
    decoder->dataSize = layout->dataSize;
    decoder->flagAPosition = 0;
    decoder->flagAMask = 0x80;
    decoder->flagBPosition = layout->flagBStart;
    decoder->pixelPosition = layout->pixelStart;
    // Widths come from 16-bit fields, so a stride stays below 2^17 and 16 strides fit easily.
    for (uint32_t code = 0; code < 16; ++code) {
        VB_ASSERT(MagCopyPositions[code].rowsUp <= MAG_MAX_ROWS_UP &&
                  MagCopyPositions[code].bytesLeft <= MAG_MAX_BYTES_LEFT);
        decoder->copyOffsets[code] = (int32_t)(MagCopyPositions[code].rowsUp * layout->stride) -
                                     (int32_t)MagCopyPositions[code].bytesLeft;
    }
}

// The common case: every stream starts inside the data (the slack covers the rest of the row)
// and every copy source of the row lies inside the bits block.
static void DecodeRowInside(MagRowDecoder* decoder, uint8_t* out) {
    const uint8_t* flagA = decoder->data + decoder->flagAPosition;
    const uint8_t* flagB = decoder->data + decoder->flagBPosition;
    const uint8_t* pixels = decoder->data + decoder->pixelPosition;
    uint32_t mask = decoder->flagAMask;
    uint8_t* flagLine = decoder->flagLine;
    const int32_t* copyOffsets = decoder->copyOffsets;
    const uint32_t flagBytes = decoder->flagBytes;
    // Each stream starts inside the data (held there) and goes at most MagRowReach into the
    // slack, which ends where the flag line begins.
    VB_ASSERT(decoder->flagAPosition >= 0 && decoder->flagBPosition >= 0 &&
              decoder->pixelPosition >= 0);
    VB_ASSERT(pixels + MagRowReach(flagBytes) <= flagLine &&
              flagB + MagRowReach(flagBytes) <= flagLine &&
              flagA + flagBytes / 8 + 1 <= flagLine);
    VB_ASSERT(out - decoder->bits >= (ptrdiff_t)MAG_MAX_BYTES_LEFT &&
              out + (MAG_MAX_ROWS_UP + 1) * (size_t)decoder->stride <=
                  decoder->bits + decoder->bitsSize);

    for (uint32_t i = 0; i < flagBytes; ++i) {
        if (*flagA & mask) flagLine[i] ^= *flagB++;
        mask >>= 1;
        if (mask == 0) {
            mask = 0x80;
            ++flagA;
        }
        const uint32_t flags = flagLine[i];
        if (flags == 0) {
            memcpy(out, pixels, 4);
            pixels += 4;
        } else {
            const uint32_t high = flags >> 4;
            const uint32_t low = flags & 0x0F;
            if (high == 0) {
                memcpy(out, pixels, 2);
                pixels += 2;
            } else {
                memcpy(out, out + copyOffsets[high], 2);
            }
            if (low == 0) {
                memcpy(out + 2, pixels, 2);
                pixels += 2;
            } else {
                memcpy(out + 2, out + 2 + copyOffsets[low], 2);
            }
        }
        out += 4;
    }

    decoder->flagAPosition = flagA - decoder->data;
    decoder->flagAMask = mask;
    decoder->flagBPosition = flagB - decoder->data;
    decoder->pixelPosition = pixels - decoder->data;
}

static inline uint8_t StreamByteAt(const MagRowDecoder* decoder, int64_t position) {
    if (position < 0 || position >= (int64_t)decoder->dataSize) return 0;
    return decoder->data[position];
}

static inline uint8_t BitsByteAt(const MagRowDecoder* decoder, int64_t position) {
    if (position < 0 || position >= (int64_t)decoder->bitsSize) return 0;
    return decoder->bits[position];
}

static void PutUnitChecked(MagRowDecoder* decoder, int64_t out, uint32_t code) {
    uint8_t first;
    uint8_t second;
    if (code == 0) {
        first = StreamByteAt(decoder, decoder->pixelPosition);
        second = StreamByteAt(decoder, decoder->pixelPosition + 1);
        decoder->pixelPosition += 2;
    } else {
        const int64_t source = out + decoder->copyOffsets[code];
        first = BitsByteAt(decoder, source);
        second = BitsByteAt(decoder, source + 1);
    }
    decoder->bits[out] = first;
    decoder->bits[out + 1] = second;
}

// Rows near the edges of the bits block and damaged streams: every byte is looked up with its
// bounds, and whatever lies outside reads as 0, as the untouched parts of the blocks do.
static void DecodeRowChecked(MagRowDecoder* decoder, int64_t out) {
    for (uint32_t i = 0; i < decoder->flagBytes; ++i) {
        if (StreamByteAt(decoder, decoder->flagAPosition) & decoder->flagAMask) {
            decoder->flagLine[i] ^= StreamByteAt(decoder, decoder->flagBPosition);
            ++decoder->flagBPosition;
        }
        decoder->flagAMask >>= 1;
        if (decoder->flagAMask == 0) {
            decoder->flagAMask = 0x80;
            ++decoder->flagAPosition;
        }
        const uint32_t flags = decoder->flagLine[i];
        PutUnitChecked(decoder, out, flags >> 4);
        PutUnitChecked(decoder, out + 2, flags & 0x0F);
        out += 4;
    }
}

// A stream that has run past the end reads nothing but 0 from then on; holding it at the end
// keeps it inside the zero slack.
static void HoldMagStreamsAtTheEnd(MagRowDecoder* decoder) {
    const int64_t dataSize = decoder->dataSize;
    if (decoder->flagAPosition > dataSize) decoder->flagAPosition = dataSize;
    if (decoder->flagBPosition > dataSize) decoder->flagBPosition = dataSize;
    if (decoder->pixelPosition > dataSize) decoder->pixelPosition = dataSize;
}

void DecodeMagRow(MagRowDecoder* decoder, int32_t row) {
    HoldMagStreamsAtTheEnd(decoder);
    const int64_t start = (int64_t)(decoder->height - 1 - row) * decoder->stride;
    const bool streamsInside =
        decoder->flagAPosition >= 0 && decoder->flagBPosition >= 0 && decoder->pixelPosition >= 0;
    const bool sourcesInside =
        start >= MAG_MAX_BYTES_LEFT &&
        start + (int64_t)(MAG_MAX_ROWS_UP + 1) * decoder->stride <= (int64_t)decoder->bitsSize;
    if (streamsInside && sourcesInside && ChosenDecodePaths() != DECODE_PATHS_PLAIN) {
        DecodeRowInside(decoder, decoder->bits + start);
    } else {
        DecodeRowChecked(decoder, start);
    }
}

void DecodeMagRowChecked(MagRowDecoder* decoder, int32_t row) {
    HoldMagStreamsAtTheEnd(decoder);
    DecodeRowChecked(decoder, (int64_t)(decoder->height - 1 - row) * decoder->stride);
}

// Picture row r becomes DIB rows 2r and 2r + 1 counted from the top. Working from the top row
// down, every memory row is copied before a later copy overwrites it.
static void DoubleMagRows(uint8_t* bits, uint32_t stride, int32_t height) {
    for (int32_t row = 0; row < height; ++row) {
        const size_t source = (size_t)(height - 1 - row);
        if (source != 0) memcpy(bits + 2 * source * stride, bits + source * stride, stride);
        memcpy(bits + (2 * source + 1) * stride, bits + source * stride, stride);
    }
}

// Reads the signature (not compared: the acceptance test has seen it) and the comment area
// through its closing 0x1A byte. `areaLength` (may be null) gets the number of comment-area bytes
// including the 0x1A.
static int32_t ReadMagLeadIn(FileCursor* cursor, uint32_t* areaLength) {
    uint8_t signature[MAG_SIGNATURE_SIZE];
    if (ReadFileCursor(cursor, signature, sizeof signature, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    // A file that ends inside the comment area is a file error.
    return SkipPastFileCursorByte(cursor, MAG_COMMENT_END, areaLength);
}

// A short header reads the missing bytes as 0.
static int32_t ReadMagHeader(FileCursor* cursor, MagHeader* header) {
    uint8_t bytes[MAG_HEADER_SIZE];
    int32_t result = ReadFileCursor(cursor, bytes, MAG_HEADER_SIZE, nullptr);
    if (result == RESULT_OK) ParseMagHeader(bytes, header);
    return result;
}

// Reads the comment a second time, now that its length is known, into the text block, ended
// where the 0x1A was.
static int32_t ReadMagComment(InfoFrame* frame, uint32_t areaLength) {
    if (areaLength > INT32_MAX) return RESULT_MEMORY_ERROR;
    uint8_t* text = AllocateInfoText(frame, areaLength);
    if (!text) return RESULT_MEMORY_ERROR;
    if (SeekFileCursor(&frame->cursor, MAG_SIGNATURE_SIZE) != RESULT_OK ||
        ReadFileCursor(&frame->cursor, text, areaLength, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    text[areaLength - 1] = 0;
    return RESULT_OK;
}

static int32_t ReadMagInfo(InfoFrame* frame, PictureInfoRecord* info) {
    uint32_t areaLength = 0;
    MagHeader header;
    int32_t result = ReadMagLeadIn(&frame->cursor, &areaLength);
    if (result == RESULT_OK) result = ReadMagComment(frame, areaLength);
    if (result == RESULT_OK) result = ReadMagHeader(&frame->cursor, &header);
    if (result != RESULT_OK) return result;
    const int32_t width = (int32_t)header.xEnd - (int32_t)header.xStart + 1;
    const int32_t height = (int32_t)header.yEnd - (int32_t)header.yStart + 1;
    const int16_t depth = (header.mode & MAG_MODE_256_COLOURS) ? 8 : 4;
    StorePictureInfo(info, 0, 0, width, height, 1, 1, depth, (uintptr_t)frame->text);
    return RESULT_OK;
}

int32_t ReadMagPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    return RunInfoFrame(ReadMagInfo, fileName, offset, info);
}

// Reads `colours` palette entries (green, red, blue) into the colour table (blue, green, red,
// 0). The raw entries are read into the tail of the table and spread out from the front: entry
// i is taken before its 4 bytes can reach any entry not yet converted. Entries the file does
// not have read as 0.
static int32_t ReadMagPalette(FileCursor* cursor, uint8_t* table, uint32_t colours) {
    uint8_t* raw = table + colours;
    if (ReadFileCursor(cursor, raw, colours * 3, nullptr) != RESULT_OK) return RESULT_FILE_ERROR;
    for (uint32_t i = 0; i < colours; ++i) {
        const uint8_t green = raw[3 * i];
        const uint8_t red = raw[3 * i + 1];
        const uint8_t blue = raw[3 * i + 2];
        table[4 * i] = blue;
        table[4 * i + 1] = green;
        table[4 * i + 2] = red;
        table[4 * i + 3] = 0;
    }
    return RESULT_OK;
}

// Decodes the rows top down and notifies after each; a 200-line picture's rows are doubled
// however the loop ended.
static int32_t DecodeMagRows(DecodeFrame* frame, const MagLayout* layout, uint8_t* data) {
    const int32_t height = layout->height;
    int32_t result = RESULT_OK;
    MagRowDecoder decoder;
    StartMagRows(&decoder, layout, frame->bits, data);
    for (int32_t row = 0; row < height; ++row) {
        DecodeMagRow(&decoder, row);
        if (NotifyProgress(frame, row + 1, height) != 0) {
            result = RESULT_ABORTED;
            break;
        }
    }
    if (layout->outputHeight != layout->height) DoubleMagRows(frame->bits, layout->stride, height);
    return result;
}

static int32_t DecodeMagFile(DecodeFrame* frame) {
    FileCursor* cursor = &frame->cursor;
    int32_t result = ReadMagLeadIn(cursor, nullptr);
    if (result != RESULT_OK) return result;
    MagHeader header;
    result = ReadMagHeader(cursor, &header);
    if (result != RESULT_OK) return result;
    MagLayout layout;
    result = PlanMagDecode(&header, &layout);
    if (result != RESULT_OK) return result;

    uint8_t* headerBlock = AllocateHeaderBlock(frame, layout.headerBlockSize);
    if (!headerBlock) return RESULT_MEMORY_ERROR;
    WriteBitmapInfoHeader(headerBlock, layout.width, layout.outputHeight, layout.depth);
    result = ReadMagPalette(cursor, headerBlock + BITMAPINFOHEADER_SIZE, layout.colours);
    if (result != RESULT_OK) return result;
    if (!AllocateBitsBlock(frame, layout.bitsSize)) return RESULT_MEMORY_ERROR;

    // Flag A, flag B and the pixel stream in one read. Bytes the file does not hold read as 0
    // whether or not the block covers them, and stream positions only grow, so the block need
    // not be larger than the rest of the file: the slack and the flag line keep their places
    // after the data.
    const uint32_t held = FileCursorBytesLeft(cursor, layout.dataSize);
    layout.workSize -= layout.dataSize - held;
    layout.dataSize = held;
    uint8_t* data = AllocateWorkingBlock(frame, layout.workSize);
    if (!data) return RESULT_MEMORY_ERROR;
    result = ReadFileCursor(cursor, data, layout.dataSize, nullptr);
    if (result != RESULT_OK) return result;
    // Everything the rows need is in memory now.
    CloseDecodeFile(frame);

    NotifyProgress(frame, 0, layout.height);
    result = DecodeMagRows(frame, &layout, data);
    NotifyProgress(frame, layout.height, layout.height);
    return result;
}

int32_t DecodeMagPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    return RunDecodeFrame(DecodeMagFile, fileName, offset, headerSlot, bitsSlot, notifier,
                          userData);
}

const FormatOperations ThisFormat = {AcceptMagPicture, ReadMagPictureInfo, DecodeMagPicture, 1};
