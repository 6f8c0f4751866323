// Little-endian field access, packed record stores and checked size arithmetic.
#ifndef VB_FRAMEWORK_BYTES_H
#define VB_FRAMEWORK_BYTES_H

#include <stdint.h>

#include "framework/plugin.h"

inline uint16_t ReadLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void WriteLe16(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// Stores the record's fields byte by byte (the host's record is packed and may be unaligned).
// Every byte of the record is written.
void StorePictureInfo(PictureInfoRecord* info, int32_t left, int32_t top, int32_t width,
                      int32_t height, uint16_t xDensity, uint16_t yDensity, int16_t colourDepth,
                      uintptr_t infoText);
// Clears every byte of the record.
void ClearPictureInfo(PictureInfoRecord* info);

// Writes the 40-byte BITMAPINFOHEADER: biSize 40, the width and height, biPlanes 1, the bit
// count, biCompression 0 and every other field 0.
void WriteBitmapInfoHeader(uint8_t* header, int32_t width, int32_t height, int32_t bitCount);

// Block sizes are signed 32-bit values: a product or stride that does not fit below 2^31 is
// refused (answer 0) and the caller reports RESULT_MEMORY_ERROR. Negative factors are refused
// too. On success *result holds the value and the answer is 1.
int32_t CheckedBlockSize(int64_t a, int64_t b, uint32_t* result);
// ((width * bitCount + 31) / 32) * 4 with the same rule; width >= 0, bitCount > 0.
int32_t CheckedStride(int64_t width, int64_t bitCount, uint32_t* result);

#endif
