// The emulated device: a desktop unless the environment says otherwise. Each query reads its
// variable anew, as a system answers from its current state: a host sets them before it loads
// the plug-ins, which probe the device when they are attached.
#include <stdlib.h>
#include <string.h>

#include "platform/number_text.h"
#include "posix_internal.h"

// A number from the variable, or `fallback` when it is unset or does not parse.
static uint64_t ReadNumberVariable(const char* name, bool allowHex, uint64_t most,
                                   uint64_t fallback) {
    uint64_t value;
    if (ParseNumberText(getenv(name), allowHex, 0, most, &value)) return value;
    return fallback;
}

int32_t VB_CALL QuerySystemVersion(uint32_t* major, uint32_t* minor) {
    uint32_t high = 2, low = 0;
    ParseVersionText(getenv("VB_SYSTEM_VERSION"), 0xFFFFFFFFu, 0xFFFFFFFFu, &high, &low);
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
