// KJMAP.DLL on Windows: the optional code-conversion library between UTF-16 and Shift-JIS, one
// character per call, through the system's own code page 932 tables. It links nothing of the
// project: it only borrows the calling convention from platform.h. Its answers are those of the
// POSIX build, whose table is the same code page.
#include <windows.h>

#include "platform/kjmap/kjmap_jis.h"
#include "platform/platform.h"

#define KJMAP_API extern "C"

enum : UINT { SHIFT_JIS_CODE_PAGE = 932 };

static bool IsLeadByte(uint32_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The Shift-JIS code of one UTF-16 unit in the low 16 bits: a single byte as is, a pair as
// lead << 8 | trail; 0 when the unit has no mapping (surrogate halves never have one). The
// system's best-fit guesses and its default character do not count as mappings.
KJMAP_API uint32_t VB_CALL unicode2sjis(uint32_t unit) {
    if (unit == 0 || unit > 0xFFFF || (unit >= 0xD800 && unit <= 0xDFFF)) return 0;
    wchar_t wide = (wchar_t)unit;
    char output[4];
    BOOL usedDefault = FALSE;
    int produced = WideCharToMultiByte(SHIFT_JIS_CODE_PAGE, WC_NO_BEST_FIT_CHARS, &wide, 1, output,
                                       (int)sizeof output, nullptr, &usedDefault);
    if (usedDefault) return 0;
    if (produced == 1) return (uint8_t)output[0];
    if (produced == 2) return (uint32_t)(uint8_t)output[0] << 8 | (uint8_t)output[1];
    return 0;
}

// The UTF-16 unit of a double-byte Shift-JIS character. Callers hand the lead byte over as a
// signed char widened to 32 bits, so only its low 8 bits count; 0 when the pair has no
// character.
KJMAP_API uint32_t VB_CALL sjis2unicode(int32_t lead, int32_t trail) {
    uint32_t leadByte = (uint32_t)lead & 0xFF;
    uint32_t trailByte = (uint32_t)trail & 0xFF;
    if (!IsLeadByte(leadByte)) return 0;
    char input[2] = {(char)leadByte, (char)trailByte};
    wchar_t output[4];
    int produced =
        MultiByteToWideChar(SHIFT_JIS_CODE_PAGE, MB_ERR_INVALID_CHARS, input, 2, output, 4);
    if (produced != 1) return 0;  // nothing, or the pair did not make one character
    // Without MB_ERR_INVALID_CHARS support for this code page the system puts its default
    // character (U+30FB) for an undefined pair; that pair converts back to something else.
    if (output[0] == 0x30FB && (leadByte != 0x81 || trailByte != 0x45)) return 0;
    return (uint16_t)output[0];
}

// The UTF-16 unit of a JIS X 0208 character given by its two 7-bit bytes (row + 0x20, cell +
// 0x20, each 0x21 to 0x7E); 0 outside that range or for an empty cell. The pair is moved to its
// Shift-JIS code and mapped from there, so both entry points agree.
KJMAP_API uint32_t VB_CALL jis2unicode(int32_t high, int32_t low) {
    int32_t lead, trail;
    if (!JisToShiftJis(high, low, &lead, &trail)) return 0;
    return sjis2unicode(lead, trail);
}
