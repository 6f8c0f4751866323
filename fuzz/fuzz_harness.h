// The shared harness of the fuzz targets: it serves the input as a file, drives one filter's
// exports as a host would, and aborts the process when the filter breaks a contract (a block
// left behind, an undefined result code, wrong block sizes, a broken notifier protocol). In
// builds with the checked mode (VB_CHECKED_MODE: the fuzz and sanitize presets) every decode is
// run again along the plain code alone, and the two must agree in result, slots, header and bits
// blocks and notifier calls.
//
// Layout of an input: four option bytes, then the bytes of the file.
//   byte 0  bits 0-2  emulated display bits: 24, 8, 2, 16, 1, 4, 32, 0 (0: the query fails)
//           bits 3-4  "full color": 0 absent, 1 value 0, 2 value 1, 3 stored as text (unreadable)
//           bit 5     no progress notifier
//           bit 6     GetPreview instead of GetPicture
//           bit 7     every flag bit above the input-kind field set (must change nothing)
//   byte 1  bits 0-6  file offset: 0 none; 1-111: the picture follows that many filler bytes
//                     (MAG only, the other filters get it as an offset they must ignore);
//                     112 the end of the file, 113 past the end, 114 -1, 115 INT32_MIN,
//                     116 INT32_MAX; others 0
//           bit 7     decode twice and demand identical results (no state may outlive a call);
//                     the second decode runs without SSSE3 (odd file sizes) or with the portable
//                     fast loops of the ARM builds (even ones), where the build can choose
//   byte 2-3  stop plan, little-endian: the notifier answers "stop" on call number (value &
//             0x3FFF), counting from 1, and on every later call too when bit 15 is set; 0 never.
//             Bit 14 sets "extended layouts" to 1 in the registry (beside "full color").
// Inputs shorter than four bytes are whole files with every option 0.
#ifndef VB_FUZZ_FUZZ_HARNESS_H
#define VB_FUZZ_FUZZ_HARNESS_H

#include <stddef.h>
#include <stdint.h>

enum FuzzFormat { FUZZ_FORMAT_TGA, FUZZ_FORMAT_PCX, FUZZ_FORMAT_MAG };
enum FuzzEntry { FUZZ_ENTRY_INFO, FUZZ_ENTRY_DECODE };

enum : uint32_t {
    FUZZ_OPTION_BYTES = 4,
    // Largest block the harness lets a filter allocate; bigger requests fail like a full heap.
    FUZZ_ALLOCATION_LIMIT = 64u << 20,
};

// Option byte 0.
enum : uint8_t {
    FUZZ_DISPLAY_MASK = 0x07,
    FUZZ_FULL_COLOR_SHIFT = 3,
    FUZZ_NO_NOTIFIER = 0x20,
    FUZZ_USE_PREVIEW = 0x40,
    FUZZ_HIGH_FLAGS = 0x80,
};
// Option byte 1.
enum : uint8_t {
    FUZZ_OFFSET_MASK = 0x7F,
    FUZZ_OFFSET_LAST_PREFIX = 111,
    FUZZ_OFFSET_END = 112,
    FUZZ_OFFSET_PAST_END = 113,
    FUZZ_OFFSET_MINUS_ONE = 114,
    FUZZ_OFFSET_MINIMUM = 115,
    FUZZ_OFFSET_MAXIMUM = 116,
    FUZZ_DECODE_TWICE = 0x80,
};
enum : uint16_t {
    FUZZ_STOP_CALL_MASK = 0x3FFF,
    FUZZ_EXTENDED_LAYOUTS = 0x4000,
    FUZZ_STOP_FROM_THEN_ON = 0x8000,
};

// Display bits selected by option byte 0, bits 0-2.
extern const int32_t FuzzDisplayChoices[8];

// Sets up the emulated device, the registry files and the memory cap once per process.
void PrepareFuzzing();
// Runs one input through the chosen entry of the filter linked into this program; returns 0.
// Aborts the process when an invariant is broken.
int RunFuzzInput(FuzzFormat format, FuzzEntry entry, const uint8_t* data, size_t size);

#endif
