// Fixed colour tables for DIB header blocks: the 3-3-2 colour cube and gray ramps.
#ifndef VB_FRAMEWORK_PALETTE_H
#define VB_FRAMEWORK_PALETTE_H

#include <stdint.h>

// `table` points at the first RGBQUAD (blue, green, red, reserved) of a colour table with room
// for every entry written (at most 256). Entries past the palette are left as they are.
//
// Bits >= 8: the 3-3-2 colour cube (index = 32 * r + 4 * g + b; red 36 r, green 36 g, blue 85 b).
// Bits 0..7: the rising gray ramp of that many bits. Negative: nothing.
void BuildOutputPalette(uint8_t* table, int32_t bits);
// A gray ramp of min(bits, 8) bits, rising when `rising` is non-zero. Negative: nothing.
void BuildGrayRamp(uint8_t* table, int32_t bits, int32_t rising);

#endif
