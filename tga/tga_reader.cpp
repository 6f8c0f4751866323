// Truevision TGA: acceptance by name, picture information and the decoder.
#include "tga/tga_reader.h"

#include <string.h>

#include "framework/bytes.h"
#include "framework/entry.h"
#include "framework/environment.h"
#include "framework/palette.h"
#include "platform/platform.h"
#include "tga/colour_reducer.h"

namespace {

// The 18-byte file header; the colour-map start index and the origin are never used.
struct TgaHeader {
    uint8_t idLength;
    uint8_t imageType;
    uint16_t colourMapLength;
    uint8_t colourMapEntryBits;
    uint16_t width;
    uint16_t height;
    uint8_t pixelDepth;
    uint8_t descriptor;
};

// What one decode needs to read its rows.
struct TgaRowReader {
    PlatformFile file;
    int32_t width;
    uint32_t bytesPerPixel;  // as stored: 1, 3 or 4
    uint32_t rowBytes;       // one stored row
    int32_t runLength;
    int32_t rightToLeft;
    uint8_t* window;  // run-length types: the packed bytes of a row
    uint32_t windowBytes;
    uint64_t packetPosition;  // run-length types: file position of the next row's packets
    TgaPacketCarry carry;
    // Set once a row has been read from the end of the file with no packet carried into it:
    // that row and every later one are all zero, and reading them again would only cost time.
    int32_t dataEnded;
};

}  // namespace

// Reads up to `count` bytes. Bytes the file does not have read as 0, so a truncated picture
// shows black where its data ends rather than bytes of an earlier row. 0 only when the read
// call itself fails. `delivered` gets the bytes the file had.
static int32_t ReadBytesOrZeros(PlatformFile file, uint8_t* buffer, uint32_t count,
                                uint32_t* delivered) {
    *delivered = 0;
    if (!ReadFileBytes(file, buffer, count, delivered)) return 0;
    if (*delivered < count) memset(buffer + *delivered, 0, count - *delivered);
    return 1;
}

// 0 when the read call failed. A file shorter than the header gives image type 0, which
// neither reader takes: no byte that the file lacks is used.
static int32_t ReadTgaHeader(PlatformFile file, TgaHeader* header) {
    uint8_t bytes[TGA_HEADER_SIZE] = {0};
    uint32_t delivered = 0;
    if (!ReadFileBytes(file, bytes, TGA_HEADER_SIZE, &delivered)) return 0;
    if (delivered < TGA_HEADER_SIZE) memset(bytes, 0, sizeof bytes);
    header->idLength = bytes[0];
    header->imageType = bytes[2];
    header->colourMapLength = ReadLe16(bytes + 5);
    header->colourMapEntryBits = bytes[7];
    header->width = ReadLe16(bytes + 12);
    header->height = ReadLe16(bytes + 14);
    header->pixelDepth = bytes[16];
    header->descriptor = bytes[17];
    return 1;
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

// RESULT_OK for the pictures the decoder takes: true-colour of 24 or 32 bits and gray of 8 (or,
// as stored by some writers, 24 or 32), raw or run-length, not interleaved.
static int32_t CheckDecodableHeader(const TgaHeader* header) {
    uint8_t type = header->imageType;
    if (type != 2 && type != 3 && type != 10 && type != 11) return RESULT_UNKNOWN_FORMAT;
    if (header->descriptor & TGA_DESCRIPTOR_INTERLEAVING) return RESULT_UNKNOWN_FORMAT;
    uint8_t depth = header->pixelDepth;
    if (depth != 8 && depth != 24 && depth != 32) return RESULT_UNKNOWN_FORMAT;
    // True-colour rows of one byte a pixel would be read as three.
    if (!IsGrayType(type) && depth == 8) return RESULT_UNKNOWN_FORMAT;
    return RESULT_OK;
}

static uint32_t PixelDataOffset(const TgaHeader* header) {
    uint32_t entryBytes = ((uint32_t)header->colourMapEntryBits + 7u) / 8u;
    return TGA_HEADER_SIZE + header->idLength + (uint32_t)header->colourMapLength * entryBytes;
}

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

// Copies `bytes` bytes in 16-byte pieces: it reads and writes up to 15 bytes beyond them, so the
// caller makes sure both sides have that much room. Packets are short in busy pictures, and
// fixed-size pieces cost less than a general copy of an odd length.
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

uint32_t UnpackTgaRow(const uint8_t* packed, uint32_t packedSize, uint8_t* destination,
                      int32_t pixelCount, int32_t bytesPerPixel, TgaPacketCarry* carry) {
    if (pixelCount <= 0 || bytesPerPixel < 1 || bytesPerPixel > 4) return 0;
    const uint32_t pixelBytes = (uint32_t)bytesPerPixel;
    uint32_t remaining = (uint32_t)pixelCount;
    uint32_t position = 0;
    uint8_t* out = destination;

    // The rest of a packet that began in an earlier row.
    if (carry->pixelsDue > 0) {
        uint32_t take =
            (uint32_t)carry->pixelsDue < remaining ? (uint32_t)carry->pixelsDue : remaining;
        if (carry->runPending) {
            RepeatPixel(out, carry->runPixel, take, pixelBytes);
        } else {
            if (take * pixelBytes > packedSize) {
                carry->pixelsDue = 0;
                memset(out, 0, remaining * pixelBytes);
                return 0;
            }
            memcpy(out, packed, take * pixelBytes);
            position = take * pixelBytes;
        }
        out += take * pixelBytes;
        remaining -= take;
        carry->pixelsDue -= (int32_t)take;
    }

    // Each packet begun here gives this row at least one pixel and costs at most bytesPerPixel
    // + 1 bytes per pixel it gives, so a window of pixelCount x (bytesPerPixel + 1) bytes holds
    // the row; the one test per packet guards callers with smaller windows. Where a packet
    // leaves at least PIECE_SLACK bytes of the row after it (which later packets or the final
    // fill overwrite) and of the window after its bytes, it is stored in whole pieces.
    while (remaining > 0) {
        if (position >= packedSize) break;
        uint8_t count = packed[position];
        uint32_t pixels = (count & 0x7Fu) + 1u;
        uint32_t take = pixels < remaining ? pixels : remaining;
        uint32_t available = packedSize - position - 1u;
        const uint32_t bytes = take * pixelBytes;
        const bool roomForPieces = bytes + PIECE_SLACK <= remaining * pixelBytes;
        if (count & 0x80u) {
            if (available < pixelBytes) break;
            const uint8_t* pixel = packed + position + 1;
            if (pixelBytes == 1 && roomForPieces) {
                FillInPieces(out, pixel[0], bytes);
            } else {
                RepeatPixel(out, pixel, take, pixelBytes);
            }
            if (pixels > take) {
                carry->pixelsDue = (int32_t)(pixels - take);
                carry->runPending = 1;
                memcpy(carry->runPixel, pixel, pixelBytes);
            }
            position += 1u + pixelBytes;
        } else {
            if (available < bytes) break;
            if (roomForPieces && bytes + PIECE_SLACK <= available) {
                CopyInPieces(out, packed + position + 1, bytes);
            } else {
                memcpy(out, packed + position + 1, bytes);
            }
            if (pixels > take) {
                // The remaining pixel bytes stay unconsumed and begin the next row's window.
                carry->pixelsDue = (int32_t)(pixels - take);
                carry->runPending = 0;
            }
            position += 1u + bytes;
        }
        out += take * pixelBytes;
        remaining -= take;
    }
    if (remaining > 0) memset(out, 0, remaining * pixelBytes);
    return position;
}

void CollapseRow32To24(uint8_t* row, int32_t pixelCount) {
    // Upward in place: a pixel's new place never lies beyond its old one. Each pixel but the
    // last is moved as a 4-byte word whose fourth byte lands on the next pixel's first place,
    // 3k + 3, which the next move overwrites; the unread pixels start at 4k + 4, beyond it.
    const uint8_t* from = row;
    uint8_t* to = row;
    for (int32_t k = 0; k + 1 < pixelCount; k++) {
        uint32_t word;
        memcpy(&word, from, 4);
        memcpy(to, &word, 4);
        from += 4;
        to += 3;
    }
    if (pixelCount > 0) {
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
    }
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

int32_t ReadTgaPictureInfo(const char16_t* fileName, PictureInfoRecord* info) {
    ClearPictureInfo(info);
    PlatformFile file = OpenFileForReading(fileName);
    if (!file) return RESULT_FILE_ERROR;
    TgaHeader header;
    int32_t read = ReadTgaHeader(file, &header);
    CloseFile(file);
    if (!read) return RESULT_FILE_ERROR;
    if (!IsKnownImageType(header.imageType)) return RESULT_UNKNOWN_FORMAT;
    StorePictureInfo(info, 0, 0, header.width, header.height, 0, 0, header.pixelDepth, 0);
    return RESULT_OK;
}

// Reads the next stored row into `destination` (room for one stored row), unpacked, 32-bit
// pixels collapsed to 24 and right-to-left rows turned around. 0 when a read call failed.
// Once the file has ended the row is all zero and so is every later one (see dataEnded).
static int32_t ReadTgaRow(TgaRowReader* reader, uint8_t* destination) {
    uint32_t delivered = 0;
    if (!reader->runLength) {
        if (!ReadBytesOrZeros(reader->file, destination, reader->rowBytes, &delivered)) return 0;
        // The position only moves forward from here, so later reads deliver nothing either.
        if (delivered == 0) reader->dataEnded = 1;
    } else {
        // The window is read from the first packet of this row; afterwards the file is set to
        // the first packet of the next row.
        if (!ReadBytesOrZeros(reader->file, reader->window, reader->windowBytes, &delivered)) {
            return 0;
        }
        // An all-zero window with nothing carried unpacks into one-pixel raw packets of 0 that
        // end with the row, so the next row starts the same way, further on in the file.
        if (delivered == 0 && reader->carry.pixelsDue == 0) reader->dataEnded = 1;
        uint32_t consumed =
            UnpackTgaRow(reader->window, reader->windowBytes, destination, reader->width,
                         (int32_t)reader->bytesPerPixel, &reader->carry);
        reader->packetPosition += consumed;
        // Positions are signed 32-bit; past that the file has no more bytes anyway.
        uint64_t target =
            reader->packetPosition < 0x7FFFFFFFu ? reader->packetPosition : 0x7FFFFFFFu;
        SetFilePosition(reader->file, (int32_t)target, PLATFORM_SEEK_BEGIN);
    }
    uint32_t pixelBytes = reader->bytesPerPixel;
    if (pixelBytes == 4) {
        CollapseRow32To24(destination, reader->width);
        pixelBytes = 3;
    }
    if (reader->rightToLeft) ReverseRowPixels(destination, reader->width, pixelBytes);
    return 1;
}

int32_t DecodeTgaPicture(const char16_t* fileName, void** headerSlot, void** bitsSlot,
                         ProgressNotifier notifier, intptr_t userData) {
    PlatformFile file = OpenFileForReading(fileName);
    if (!file) return RESULT_FILE_ERROR;
    TgaHeader header;
    if (!ReadTgaHeader(file, &header)) {
        CloseFile(file);
        return RESULT_FILE_ERROR;
    }
    int32_t result = CheckDecodableHeader(&header);
    if (result != RESULT_OK) {
        CloseFile(file);
        return result;
    }
    SetFilePosition(file, (int32_t)PixelDataOffset(&header), PLATFORM_SEEK_BEGIN);

    uint8_t* headerBlock = (uint8_t*)AllocateBlock(FULL_HEADER_BLOCK_SIZE);
    if (!headerBlock) {
        CloseFile(file);
        return RESULT_MEMORY_ERROR;
    }
    *headerSlot = headerBlock;
    uint8_t* colourTable = headerBlock + BITMAPINFOHEADER_SIZE;

    // The setting is read before the display is asked, both anew on every decode.
    int32_t preferredDepth = ReadFullColorSetting() ? 24 : 8;
    int32_t fittedDepth = ChooseOutputDepth(preferredDepth);
    const bool gray = IsGrayType(header.imageType);
    const int32_t sourceDepth = gray ? 8 : 24;
    const bool reduce = fittedDepth < sourceDepth;
    const int32_t outputDepth = reduce ? fittedDepth : sourceDepth;
    const int32_t width = header.width;
    const int32_t height = header.height;

    if (gray) BuildGrayRamp(colourTable, 8, 1);
    WriteBitmapInfoHeader(headerBlock, width, height, outputDepth);

    TgaRowReader reader;
    memset(&reader, 0, sizeof reader);
    reader.file = file;
    reader.width = width;
    reader.bytesPerPixel = header.pixelDepth / 8u;
    reader.rowBytes = (uint32_t)width * reader.bytesPerPixel;
    reader.runLength = IsRunLengthType(header.imageType);
    reader.rightToLeft = (header.descriptor & TGA_DESCRIPTOR_RIGHT_TO_LEFT) != 0;
    const bool topOrigin = (header.descriptor & TGA_DESCRIPTOR_TOP_ORIGIN) != 0;

    uint32_t stride, bitsBytes;
    uint8_t* bits = nullptr;
    if (CheckedStride(width, outputDepth, &stride) &&
        CheckedBlockSize(stride, height, &bitsBytes)) {
        bits = (uint8_t*)AllocateBlock(bitsBytes);
    }
    if (!bits) {
        FreeBlock(headerBlock);
        CloseFile(file);
        return RESULT_MEMORY_ERROR;
    }
    *bitsSlot = bits;

    // Raw rows: one stored row. Run-length rows: the unpacked row, then the window.
    uint32_t rowBufferBytes = 0;
    bool sizesFit = true;
    if (reader.runLength) {
        sizesFit =
            CheckedBlockSize(width, reader.bytesPerPixel + 1, &reader.windowBytes) &&
            CheckedBlockSize(1, (int64_t)reader.rowBytes + reader.windowBytes, &rowBufferBytes);
    } else {
        rowBufferBytes = reader.rowBytes;
    }
    uint8_t* rowBuffer = sizesFit ? (uint8_t*)AllocateBlock(rowBufferBytes) : nullptr;
    if (!rowBuffer) {
        FreeBlock(bits);
        FreeBlock(headerBlock);
        CloseFile(file);
        return RESULT_MEMORY_ERROR;
    }
    reader.window = rowBuffer + reader.rowBytes;

    if (notifier) notifier(0, height, userData);

    // Where the stored rows already have the DIB's pixel layout, they are read or unpacked
    // straight into the DIB row.
    const uint32_t copyBytes = (uint32_t)width * (uint32_t)outputDepth / 8u;
    const bool intoDib = !reduce && reader.rowBytes == copyBytes;
    if (reader.runLength) {
        uint32_t position = SetFilePosition(file, 0, PLATFORM_SEEK_CURRENT);
        reader.packetPosition = position == PLATFORM_INVALID_POSITION ? 0 : position;
    }

    result = RESULT_OK;
    if (!reduce) {
        for (int32_t i = 0; i < height; i++) {
            // The first stored row is the bottom one unless the descriptor says top.
            int32_t dibRow = topOrigin ? height - 1 - i : i;
            uint8_t* target = bits + (size_t)dibRow * stride;
            // After the end of the data the zero-filled DIB row is already right.
            if (!reader.dataEnded) {
                if (!ReadTgaRow(&reader, intoDib ? target : rowBuffer)) {
                    result = RESULT_FILE_ERROR;
                    break;
                }
                if (!intoDib) memcpy(target, rowBuffer, copyBytes);
            }
            if (notifier && notifier(i, height, userData)) {
                result = RESULT_ABORTED;
                break;
            }
        }
    } else {
        // The colour table holds the gray ramp for a gray source until the rows are done.
        ColourReducer reducer;
        if (!ReducerInit(&reducer, width, height, sourceDepth, colourTable, width, height,
                         outputDepth, bits, topOrigin ? 0 : 1)) {
            result = RESULT_MEMORY_ERROR;
        } else {
            for (int32_t i = 0; i < height; i++) {
                // After the end of the data every row is black, and the reducer turns black
                // rows into rows of 0, which the zero-filled block already holds.
                if (!reader.dataEnded) {
                    if (!ReadTgaRow(&reader, rowBuffer)) {
                        result = RESULT_FILE_ERROR;
                        break;
                    }
                    ReducerFeedRow(&reducer, rowBuffer);
                }
                if (notifier && notifier(i, height, userData)) {
                    result = RESULT_ABORTED;
                    break;
                }
            }
            ReducerRelease(&reducer);
            if (result == RESULT_OK) BuildOutputPalette(colourTable, outputDepth);
        }
    }

    if (notifier) notifier(height, height, userData);
    FreeBlock(rowBuffer);
    if (result != RESULT_OK) {
        FreeBlock(bits);
        FreeBlock(headerBlock);
    }
    CloseFile(file);
    return result;
}

static int32_t ReadTgaPictureInfoAt(const char16_t* fileName, int32_t offset,
                                    PictureInfoRecord* info) {
    (void)offset;  // a TGA file is always read from its first byte
    return ReadTgaPictureInfo(fileName, info);
}

static int32_t DecodeTgaPictureAt(const char16_t* fileName, int32_t offset, void** headerSlot,
                                  void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    (void)offset;
    return DecodeTgaPicture(fileName, headerSlot, bitsSlot, notifier, userData);
}

const FormatOperations ThisFormat = {AcceptTgaPicture, ReadTgaPictureInfoAt, DecodeTgaPictureAt};
