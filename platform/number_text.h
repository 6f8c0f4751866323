// Numbers as the emulated device's variables and vbhost's options write them, read by one parser
// that the POSIX platform library and vbhost both compile, so that vbhost's checks of the VB_
// variables and the platform's reading of them cannot disagree.
#ifndef VB_PLATFORM_NUMBER_TEXT_H
#define VB_PLATFORM_NUMBER_TEXT_H

#include <stdint.h>
#include <string.h>

// Decimal digits, or hexadecimal ones after "0x" where `allowHex`; the whole text must be the
// number, no sign or blank, and lie within lowest..highest. False for anything else.
inline bool ParseNumberText(const char* text, bool allowHex, uint64_t lowest, uint64_t highest,
                            uint64_t* value) {
    if (!text || !*text) return false;
    int base = 10;
    if (allowHex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    uint64_t result = 0;
    for (; *text; text++) {
        const char c = *text;
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        if ((uint64_t)digit > highest) return false;
        if (result > (highest - (uint64_t)digit) / (uint64_t)base) return false;
        result = result * (uint64_t)base + (uint64_t)digit;
    }
    if (result < lowest) return false;
    *value = result;
    return true;
}

// A system version as "major.minor" or "major", decimal: "2.00" is 2 and 0, "2.1" 2 and 1.
inline bool ParseVersionText(const char* text, uint32_t highestMajor, uint32_t highestMinor,
                             uint32_t* major, uint32_t* minor) {
    if (!text) return false;
    const char* dot = strchr(text, '.');
    char left[24];
    const size_t length = dot ? (size_t)(dot - text) : strlen(text);
    if (length >= sizeof left) return false;
    memcpy(left, text, length);
    left[length] = 0;
    uint64_t high = 0, low = 0;
    if (!ParseNumberText(left, false, 0, highestMajor, &high)) return false;
    if (dot && !ParseNumberText(dot + 1, false, 0, highestMinor, &low)) return false;
    *major = (uint32_t)high;
    *minor = (uint32_t)low;
    return true;
}

#endif
