// KJMAP.DLL on POSIX: the optional code-conversion library between UTF-16 and Shift-JIS (code
// page 932), one character per call. The mapping is iconv's "CP932" table, the Windows flavour
// of Shift-JIS. It stands alone: it does not link the platform library.
#include <errno.h>
#include <iconv.h>

#include <mutex>

#include "platform/kjmap/kjmap_jis.h"
#include "platform/platform.h"

#define KJMAP_API extern "C" __attribute__((visibility("default")))

// One descriptor per direction, opened on first use and kept; iconv keeps state in a
// descriptor, so calls take turns.
static std::mutex ConversionLock;
static iconv_t ToShiftJis = (iconv_t)-1;
static iconv_t FromShiftJis = (iconv_t)-1;
static bool ToShiftJisTried = false;
static bool FromShiftJisTried = false;

// Converts `length` bytes through the descriptor; the number of bytes produced, or 0 when the
// input does not convert completely.
static size_t ConvertOnce(iconv_t* slot, bool* tried, const char* to, const char* from,
                          const uint8_t* input, size_t length, uint8_t* output, size_t room) {
    if (!*tried) {
        *slot = iconv_open(to, from);
        *tried = true;
    }
    if (*slot == (iconv_t)-1) return 0;
    iconv(*slot, nullptr, nullptr, nullptr, nullptr);
    char* in = (char*)input;
    size_t inLeft = length;
    char* out = (char*)output;
    size_t outLeft = room;
    if (iconv(*slot, &in, &inLeft, &out, &outLeft) == (size_t)-1 || inLeft != 0) return 0;
    // Flush any shift state so that the output is complete.
    if (iconv(*slot, nullptr, nullptr, &out, &outLeft) == (size_t)-1) return 0;
    return room - outLeft;
}

static bool IsLeadByte(uint32_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The Shift-JIS code of one UTF-16 unit in the low 16 bits: a single byte as is, a pair as
// lead << 8 | trail; 0 when the unit has no mapping (surrogate halves never have one). iconv
// also maps some look-alikes one way (U+00A5 to the backslash byte, U+301C to the code of
// U+FF5E); those guesses do not count as mappings, so only a code that maps back to the same
// unit is answered, as Windows answers without best fit.
KJMAP_API uint32_t VB_CALL unicode2sjis(uint32_t unit) {
    if (unit == 0 || unit > 0xFFFF || (unit >= 0xD800 && unit <= 0xDFFF)) return 0;
    uint8_t input[2] = {(uint8_t)unit, (uint8_t)(unit >> 8)};
    uint8_t output[4];
    uint8_t back[8];
    size_t produced, returned = 0;
    {
        std::lock_guard<std::mutex> hold(ConversionLock);
        produced = ConvertOnce(&ToShiftJis, &ToShiftJisTried, "CP932", "UTF-16LE", input, 2, output,
                               sizeof output);
        if (produced == 1 || produced == 2) {
            returned = ConvertOnce(&FromShiftJis, &FromShiftJisTried, "UTF-16LE", "CP932", output,
                                   produced, back, sizeof back);
        }
    }
    if (returned != 2 || back[0] != input[0] || back[1] != input[1]) return 0;
    if (produced == 1) return output[0];
    return (uint32_t)output[0] << 8 | output[1];
}

// The UTF-16 unit of a double-byte Shift-JIS character. Callers hand the lead byte over as a
// signed char widened to 32 bits, so only its low 8 bits count; 0 when the pair has no
// character.
KJMAP_API uint32_t VB_CALL sjis2unicode(int32_t lead, int32_t trail) {
    uint32_t leadByte = (uint32_t)lead & 0xFF;
    uint32_t trailByte = (uint32_t)trail & 0xFF;
    if (!IsLeadByte(leadByte)) return 0;
    uint8_t input[2] = {(uint8_t)leadByte, (uint8_t)trailByte};
    uint8_t output[8];
    size_t produced;
    {
        std::lock_guard<std::mutex> hold(ConversionLock);
        produced = ConvertOnce(&FromShiftJis, &FromShiftJisTried, "UTF-16LE", "CP932", input, 2,
                               output, sizeof output);
    }
    if (produced != 2) return 0;  // nothing, or a character outside one unit
    return (uint32_t)output[0] | (uint32_t)output[1] << 8;
}

// The UTF-16 unit of a JIS X 0208 character given by its two 7-bit bytes (row + 0x20, cell +
// 0x20, each 0x21 to 0x7E); 0 outside that range or for an empty cell. The pair is moved to its
// Shift-JIS code and mapped from there, so both entry points agree.
KJMAP_API uint32_t VB_CALL jis2unicode(int32_t high, int32_t low) {
    int32_t lead, trail;
    if (!JisToShiftJis(high, low, &lead, &trail)) return 0;
    return sjis2unicode(lead, trail);
}
