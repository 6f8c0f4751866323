// The emulated device: a desktop unless the environment says otherwise. Each query reads its
// variable anew, as a system answers from its current state: a host sets them before it loads
// the plug-ins, which probe the device when they are attached.
#include <stdlib.h>
#include <string.h>

#include "posix_internal.h"

// A whole decimal number, or hexadecimal after "0x"; false for anything else.
static bool ParseNumber(const char* text, bool allowHex, uint64_t* value) {
    if (!text || !*text) return false;
    int base = 10;
    if (allowHex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    uint64_t result = 0;
    for (; *text; text++) {
        int digit;
        char c = *text;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu) return false;
    }
    *value = result;
    return true;
}

// "2.00" gives 2 and 0, "2.1" gives 2 and 1, "1.01" gives 1 and 1.
static bool ParseVersion(const char* text, uint32_t* major, uint32_t* minor) {
    if (!text) return false;
    const char* dot = strchr(text, '.');
    std::string left = dot ? std::string(text, dot - text) : std::string(text);
    uint64_t high, low = 0;
    if (!ParseNumber(left.c_str(), false, &high)) return false;
    if (dot && !ParseNumber(dot + 1, false, &low)) return false;
    *major = (uint32_t)high;
    *minor = (uint32_t)low;
    return true;
}

// A number from the variable, or `fallback` when it is unset or does not parse.
static uint64_t ReadNumberVariable(const char* name, bool allowHex, uint64_t most,
                                   uint64_t fallback) {
    uint64_t value;
    if (ParseNumber(getenv(name), allowHex, &value) && value <= most) return value;
    return fallback;
}

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    uint32_t high = 2, low = 0;
    ParseVersion(getenv("VB_SYSTEM_VERSION"), &high, &low);
    if (major) *major = high;
    if (minor) *minor = low;
    return 1;
}

int32_t VB_CALL QueryScreenWidth(void) {
    return (int32_t)ReadNumberVariable("VB_SCREEN_WIDTH", false, 0x7FFFFFFF, 640);
}

uint16_t VB_CALL QueryDefaultLanguage(void) {
    return (uint16_t)ReadNumberVariable("VB_LANGUAGE", true, 0xFFFF, 0x0409);
}

int32_t VB_CALL QueryDisplayBitsPerPixel(void) {
    return (int32_t)ReadNumberVariable("VB_DISPLAY_BITS", false, 0x7FFFFFFF, 24);
}
