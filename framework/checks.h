// Bounds the fast paths rest on, held at run time, and the switch that leaves them all out.
//
// VB_ASSERT(condition) stops the process when the condition fails, in builds with VB_ASSERTS
// (Debug, and the sanitize and fuzz presets); elsewhere it compiles to nothing and the condition
// is not evaluated. Size relationships that do not depend on the file are static_asserts beside
// the code that relies on them.
//
// The decode paths: builds with VB_CHECKED_MODE (the sanitize and fuzz presets, never a shipped
// plug-in) have a run-time setting that chooses which code decodes, so that a test or the fuzz
// harness can run the fast and the plain code on the same input and compare them. Every other
// build decodes along the fastest paths, and the setting does not exist.
#ifndef VB_FRAMEWORK_CHECKS_H
#define VB_FRAMEWORK_CHECKS_H

#include <stdint.h>

#if defined(VB_ASSERTS)
#define VB_ASSERT(condition) ((condition) ? (void)0 : __builtin_trap())
#else
#define VB_ASSERT(condition) ((void)sizeof(!(condition)))
#endif

enum DecodePaths : int32_t {
    DECODE_PATHS_FASTEST = 0,   // every fast path the processor has
    DECODE_PATHS_NO_SSSE3 = 1,  // as x86-64 processors without SSSE3 decode
    DECODE_PATHS_PORTABLE =
        2,                   // the fast loops without vector instructions, as ARM builds run them
    DECODE_PATHS_PLAIN = 3,  // checked mode: no fast loop and no end-of-data shortcut
};

// The paths a decode takes on this processor: `chosen`, except that the fastest are those without
// SSSE3 where the processor lacks it (and in every build but the x86-64 ones with GCC or Clang,
// which alone have SSSE3 code). The processor is asked once a process: the question is a trap
// under some virtual machines.
int32_t PathsOnThisProcessor(int32_t chosen);

#if defined(VB_CHECKED_MODE)
// Read by every decode as it starts (and by the line routines on each call).
extern int32_t DecodePathsSetting;
inline int32_t ChosenDecodePaths() {
    return DecodePathsSetting;
}
inline void SetDecodePaths(int32_t paths) {
    DecodePathsSetting = paths;
}
#else
constexpr int32_t ChosenDecodePaths() {
    return DECODE_PATHS_FASTEST;
}
#endif

#endif
