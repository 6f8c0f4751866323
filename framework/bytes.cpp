// Stores into host records and DIB headers, and the size arithmetic that guards every block.
#include "framework/bytes.h"

#include <string.h>

enum : int64_t { LARGEST_BLOCK_SIZE = 0x7FFFFFFF };

void StorePictureInfo(PictureInfoRecord* info, int32_t left, int32_t top, int32_t width,
                      int32_t height, uint16_t xDensity, uint16_t yDensity, int16_t colourDepth,
                      uintptr_t infoText) {
    // The record is packed and the host may place it at any address: bytes only.
    uint8_t* record = (uint8_t*)info;
    WriteLe32(record + 0, (uint32_t)left);
    WriteLe32(record + 4, (uint32_t)top);
    WriteLe32(record + 8, (uint32_t)width);
    WriteLe32(record + 12, (uint32_t)height);
    WriteLe16(record + 16, xDensity);
    WriteLe16(record + 18, yDensity);
    WriteLe16(record + 20, (uint16_t)colourDepth);
    uint8_t* handle = record + offsetof(PictureInfoRecord, infoText);
    for (size_t i = 0; i < sizeof(uintptr_t); i++) {
        handle[i] = (uint8_t)(infoText >> (8 * i));
    }
}

void ClearPictureInfo(PictureInfoRecord* info) {
    memset((void*)info, 0, sizeof(PictureInfoRecord));
}

void WriteBitmapInfoHeader(uint8_t* header, int32_t width, int32_t height, int32_t bitCount) {
    memset(header, 0, BITMAPINFOHEADER_SIZE);
    WriteLe32(header + 0, BITMAPINFOHEADER_SIZE);  // biSize
    WriteLe32(header + 4, (uint32_t)width);        // biWidth
    WriteLe32(header + 8, (uint32_t)height);       // biHeight > 0: bottom row first
    WriteLe16(header + 12, 1);                     // biPlanes
    WriteLe16(header + 14, (uint32_t)bitCount);    // biBitCount
    // biCompression (BI_RGB), biSizeImage, resolutions, biClrUsed, biClrImportant stay 0.
}

int32_t CheckedBlockSize(int64_t a, int64_t b, uint32_t* result) {
    if (a < 0 || b < 0) return 0;
    // Division keeps the test itself from overflowing whatever the factors.
    if (b != 0 && a > LARGEST_BLOCK_SIZE / b) return 0;
    *result = (uint32_t)(a * b);
    return 1;
}

int32_t CheckedStride(int64_t width, int64_t bitCount, uint32_t* result) {
    if (width < 0 || bitCount <= 0) return 0;
    // Rows are padded to whole 32-bit words; the padded row must itself be a valid block size.
    if (width > (LARGEST_BLOCK_SIZE * 8) / bitCount) return 0;
    int64_t stride = ((width * bitCount + 31) / 32) * 4;
    if (stride > LARGEST_BLOCK_SIZE) return 0;
    *result = (uint32_t)stride;
    return 1;
}
