// The JIS X 0208 to Shift-JIS arithmetic that both builds of KJMAP.DLL share: jis2unicode moves
// a row/cell pair to its Shift-JIS code and maps it from there, so it agrees with sjis2unicode.
#ifndef VB_PLATFORM_KJMAP_KJMAP_JIS_H
#define VB_PLATFORM_KJMAP_KJMAP_JIS_H

#include <stdint.h>

// The Shift-JIS lead and trail bytes of the JIS X 0208 character given by its two 7-bit bytes
// (row + 0x20, cell + 0x20, each 0x21 to 0x7E). 0 outside that range, else 1.
inline int32_t JisToShiftJis(int32_t high, int32_t low, int32_t* lead, int32_t* trail) {
    if (high < 0x21 || high > 0x7E || low < 0x21 || low > 0x7E) return 0;
    *lead = (high + 1) / 2 + (high <= 0x5E ? 0x70 : 0xB0);
    if (high & 1) {
        *trail = low + (low >= 0x60 ? 0x20 : 0x1F);
    } else {
        *trail = low + 0x7E;
    }
    return 1;
}

#endif
