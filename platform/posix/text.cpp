// Conversion between UTF-16 and the system code page, which follows the emulated language:
// code page 932 (Shift-JIS, through iconv) on a Japanese device, Windows-1252 elsewhere.
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <mutex>
#include <vector>

#include "posix_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "char16_t buffers are read as UTF-16LE");

// Bytes 0x80 to 0x9F of Windows-1252. The five bytes that the code page leaves undefined map to
// the C1 controls of the same value, as Windows maps them.
static const char16_t Windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The language as QueryDefaultLanguage answers it in this process: through the exported
// routine, so that a testing layer that answers in its place sets the code page too.
static bool DeviceUsesShiftJis() {
    return (QueryDefaultLanguage() & 0x3FF) == 0x11;
}

static bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
static bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

static void NarrowTo1252(const char16_t* source, size_t length, std::string* out) {
    for (size_t i = 0; i < length; i++) {
        uint32_t unit = source[i];
        if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
            out->push_back((char)unit);
            continue;
        }
        char byte = '?';
        for (int k = 0; k < 32; k++) {
            if (Windows1252High[k] == unit) byte = (char)(0x80 + k);
        }
        // A surrogate pair is one character and so one '?'.
        if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(source[i + 1])) i++;
        out->push_back(byte);
    }
}

static void WidenFrom1252(const char* source, size_t length, std::u16string* out) {
    for (size_t i = 0; i < length; i++) {
        uint8_t byte = (uint8_t)source[i];
        out->push_back(byte >= 0x80 && byte <= 0x9F ? Windows1252High[byte - 0x80] : byte);
    }
}

// iconv descriptors are costly to open and hold shift state, so one pair is kept and used
// under a lock.
static std::mutex ShiftJisLock;
static iconv_t NarrowingDescriptor = (iconv_t)-1;
static iconv_t WideningDescriptor = (iconv_t)-1;

static iconv_t OpenDescriptor(iconv_t* slot, const char* to, const char* from) {
    if (*slot == (iconv_t)-1) *slot = iconv_open(to, from);
    if (*slot != (iconv_t)-1) iconv(*slot, nullptr, nullptr, nullptr, nullptr);
    return *slot;
}

static bool NarrowToShiftJis(const char16_t* source, size_t length, std::string* out) {
    std::lock_guard<std::mutex> hold(ShiftJisLock);
    iconv_t descriptor = OpenDescriptor(&NarrowingDescriptor, "CP932", "UTF-16LE");
    if (descriptor == (iconv_t)-1) return false;
    char* in = (char*)source;
    size_t inLeft = length * 2;
    char chunk[256];
    while (inLeft > 0) {
        char* outPointer = chunk;
        size_t outLeft = sizeof chunk;
        size_t done = iconv(descriptor, &in, &inLeft, &outPointer, &outLeft);
        out->append(chunk, outPointer - chunk);
        if (done != (size_t)-1 || errno == E2BIG) continue;
        // Unmappable or broken input: one '?' for the character, then go on after it.
        const char16_t* unit = (const char16_t*)in;
        size_t skip = 2;
        if (inLeft >= 4 && IsHighSurrogate(unit[0]) && IsLowSurrogate(unit[1])) skip = 4;
        if (skip > inLeft) skip = inLeft;
        out->push_back('?');
        in += skip;
        inLeft -= skip;
    }
    return true;
}

static bool IsShiftJisLead(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

static bool IsShiftJisTrail(uint8_t byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

static bool WidenFromShiftJis(const char* source, size_t length, std::u16string* out) {
    std::lock_guard<std::mutex> hold(ShiftJisLock);
    iconv_t descriptor = OpenDescriptor(&WideningDescriptor, "UTF-16LE", "CP932");
    if (descriptor == (iconv_t)-1) return false;
    char* in = (char*)source;
    size_t inLeft = length;
    char16_t chunk[128];
    while (inLeft > 0) {
        char* outPointer = (char*)chunk;
        size_t outLeft = sizeof chunk;
        size_t done = iconv(descriptor, &in, &inLeft, &outPointer, &outLeft);
        out->append(chunk, (char16_t*)outPointer - chunk);
        if (done != (size_t)-1 || errno == E2BIG) continue;
        // A byte pair of the right shape that has no character is one replacement; any other
        // bad byte is one replacement on its own.
        const uint8_t* bytes = (const uint8_t*)in;
        size_t skip = inLeft >= 2 && IsShiftJisLead(bytes[0]) && IsShiftJisTrail(bytes[1]) ? 2 : 1;
        out->push_back(0xFFFD);
        in += skip;
        inLeft -= skip;
    }
    return true;
}

int32_t VB_CALL WideToSystemCodePage(const char16_t* source, int32_t sourceLength,
                                     char* destination, int32_t size) {
    if (!source || sourceLength == 0 || sourceLength < -1 || size < 0) return 0;
    if (size > 0 && !destination) return 0;
    size_t length = sourceLength == -1 ? MeasureWide(source) + 1 : (size_t)sourceLength;
    std::string converted;
    if (DeviceUsesShiftJis()) {
        if (!NarrowToShiftJis(source, length, &converted)) return 0;
    } else {
        NarrowTo1252(source, length, &converted);
    }
    if (converted.size() > 0x7FFFFFFF) return 0;
    if (size == 0) return (int32_t)converted.size();
    if (converted.size() > (size_t)size) return 0;
    memcpy(destination, converted.data(), converted.size());
    return (int32_t)converted.size();
}

int32_t VB_CALL SystemCodePageToWide(const char* source, int32_t sourceLength,
                                     char16_t* destination, int32_t size) {
    if (!source || sourceLength == 0 || sourceLength < -1 || size < 0) return 0;
    if (size > 0 && !destination) return 0;
    size_t length = sourceLength == -1 ? strlen(source) + 1 : (size_t)sourceLength;
    std::u16string converted;
    if (DeviceUsesShiftJis()) {
        if (!WidenFromShiftJis(source, length, &converted)) return 0;
    } else {
        WidenFrom1252(source, length, &converted);
    }
    if (converted.size() > 0x7FFFFFFF) return 0;
    if (size == 0) return (int32_t)converted.size();
    if (converted.size() > (size_t)size) return 0;
    memcpy(destination, converted.data(), converted.size() * sizeof(char16_t));
    return (int32_t)converted.size();
}
