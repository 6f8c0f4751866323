// Fixed colour tables: the 3-3-2 colour cube and evenly spaced gray ramps.
#include "framework/palette.h"

static void WriteEntry(uint8_t* entry, uint32_t red, uint32_t green, uint32_t blue) {
    entry[0] = (uint8_t)blue;
    entry[1] = (uint8_t)green;
    entry[2] = (uint8_t)red;
    entry[3] = 0;
}

// Levels k * step with step = 255 / (count - 1), truncated: the top level reaches 255 only when
// count - 1 divides 255. Bits must lie in 0..8.
static void WriteGrayRamp(uint8_t* table, int32_t bits, int32_t rising) {
    uint32_t count = 1u << bits;
    uint32_t step = count == 1 ? 255 : 255 / (count - 1);
    for (uint32_t k = 0; k < count; k++) {
        uint32_t level = (rising ? k : count - 1 - k) * step;
        WriteEntry(table + 4 * k, level, level, level);
    }
}

void BuildOutputPalette(uint8_t* table, int32_t bits) {
    if (bits < 0) return;
    if (bits < 8) {
        WriteGrayRamp(table, bits, 1);
        return;
    }
    // Index = 32 r + 4 g + b, so walking r, g, b in nested order writes the entries in order.
    uint8_t* entry = table;
    for (uint32_t r = 0; r < 8; r++) {
        for (uint32_t g = 0; g < 8; g++) {
            for (uint32_t b = 0; b < 4; b++) {
                WriteEntry(entry, 36 * r, 36 * g, 85 * b);
                entry += 4;
            }
        }
    }
}

void BuildGrayRamp(uint8_t* table, int32_t bits, int32_t rising) {
    if (bits < 0) return;
    WriteGrayRamp(table, bits > 8 ? 8 : bits, rising);
}
