// ZSoft PCX reader.
//
// Two layouts are decoded: 16 colours as 4 bit planes of 1 bit per pixel, whose colours come from
// the 16-entry palette in the header (or the standard 16 colours where that palette is all zero)
// and are shown as the nearest entries of the 3-3-2 colour cube, and 256 colours as 1 plane of 8
// bits per pixel, whose palette follows the image data behind a 12 byte. Both come out as an
// 8-bit bottom-up DIB with 256 colour-table entries.
//
// Encoding: a byte with its two top bits set carries a run length in its low 6 bits and is
// followed by the value to repeat; any other byte is a single value. Every row holds one encoded
// line per plane, bytesPerLine plane bytes each, one after the other.
#include "pcx/pcx_reader.h"

#include <string.h>

// SSSE3 paths only in 64-bit x86 builds, whose stack is always 16-byte aligned (a 32-bit
// Windows caller need not align it for the vector spills).
#if defined(__GNUC__) && defined(__x86_64__)
#include <tmmintrin.h>
#define VB_PCX_SSSE3 1
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#define VB_PCX_SSE2 1
static constexpr bool HAS_SSE2 = true;
#else
static constexpr bool HAS_SSE2 = false;
#endif
#if defined(__GNUC__)
#define VB_PCX_ALWAYS_INLINE __attribute__((always_inline))
#else
#define VB_PCX_ALWAYS_INLINE
#endif

#include "framework/bytes.h"
#include "framework/checks.h"
#include "framework/decode_frame.h"
#include "framework/entry.h"
#include "framework/environment.h"
#include "framework/palette.h"

enum : uint32_t {
    RUN_FLAGS = 0xC0,  // both top bits set: a run
    RUN_LENGTH_MASK = 0x3F,
};

// A row's whole encoded area (2 x 4 planes x 32767 bytes at most) is peeked at once.
static_assert(DECODE_BUFFER_SIZE >= 2u * 4u * 32767u, "a PCX row fits the cursor's buffer");

// ---- Header ----------------------------------------------------------------------------------

// Reads the 128-byte header; bytes a short file does not have read as 0.
static int32_t ReadPcxHeader(FileCursor* cursor, PcxHeader* header) {
    uint8_t bytes[PCX_HEADER_SIZE];
    int32_t result = ReadFileCursor(cursor, bytes, PCX_HEADER_SIZE, nullptr);
    if (result == RESULT_OK) ParsePcxHeader(bytes, header);
    return result;
}

void ParsePcxHeader(const uint8_t* bytes, PcxHeader* header) {
    header->manufacturer = (int8_t)bytes[0];
    header->version = (int8_t)bytes[1];
    header->encoding = (int8_t)bytes[2];
    header->bitsPerPixel = (int8_t)bytes[3];
    header->xmin = (int16_t)ReadLe16(bytes + 4);
    header->ymin = (int16_t)ReadLe16(bytes + 6);
    header->xmax = (int16_t)ReadLe16(bytes + 8);
    header->ymax = (int16_t)ReadLe16(bytes + 10);
    memcpy(header->palette, bytes + PCX_HEADER_PALETTE_OFFSET, sizeof header->palette);
    header->planes = (int8_t)bytes[65];
    header->bytesPerLine = (int16_t)ReadLe16(bytes + 66);
}

// The standard 16 colours, for files whose header palette is all zero.
// clang-format off
static const uint8_t StandardPalette[48] = {
    0,   0,   0,     0,   0,   170,   0,   170, 0,     0,   170, 170,  //  0 to  3
    170, 0,   0,     170, 0,   170,   170, 85,  0,     170, 170, 170,  //  4 to  7
    85,  85,  85,    85,  85,  255,   85,  255, 85,    85,  255, 255,  //  8 to 11
    255, 85,  85,    255, 85,  255,   255, 255, 85,    255, 255, 255,  // 12 to 15
};
// clang-format on

static uint32_t NearestLevel(uint32_t value, uint32_t step, uint32_t top) {
    const uint32_t level = (value + step / 2) / step;
    return level < top ? level : top;
}

void BuildPlanarColourIndex(const uint8_t* headerPalette, uint8_t* colourIndex) {
    const uint8_t* palette = StandardPalette;
    for (uint32_t i = 0; i < 48; i++) {
        if (headerPalette[i] != 0) {
            palette = headerPalette;
            break;
        }
    }
    // The nearest cube entry channel by channel: red and green levels 36 apart, blue 85.
    for (uint32_t value = 0; value < 16; value++) {
        const uint8_t* rgb = palette + 3 * value;
        colourIndex[value] =
            (uint8_t)(32 * NearestLevel(rgb[0], 36, 7) + 4 * NearestLevel(rgb[1], 36, 7) +
                      NearestLevel(rgb[2], 85, 3));
    }
}

// Tests the header fields in the order the format gives them and works out every size the
// decode needs; RESULT_UNKNOWN_FORMAT or RESULT_MEMORY_ERROR before anything is allocated.
// The extended layouts: bit planes of fewer than 4 planes go the 16-colour way with the pixel
// values as indices; the others are decoded line by line into plane lines first.
static int32_t PlanExtendedPcx(const PcxHeader* header, PcxLayout* layout) {
    const int32_t bits = header->bitsPerPixel;
    const int32_t planes = header->planes;
    if (bits == 1 && planes >= 1 && planes <= 3) {
        layout->planar = 1;
        layout->ownColours = 1 << planes;
    } else if ((bits == 2 || bits == 4) && planes == 1) {
        layout->packedBits = bits;
        layout->ownColours = 1 << bits;
    } else if (bits == 8 && (planes == 3 || planes == 4)) {
        layout->colourPlanes = planes;
        layout->outputDepth = 24;
    } else {
        return RESULT_UNKNOWN_FORMAT;
    }
    return RESULT_OK;
}

int32_t PlanPcxDecode(const PcxHeader* header, PcxLayout* layout, int32_t extended) {
    memset(layout, 0, sizeof *layout);
    layout->outputDepth = 8;
    if (header->manufacturer != 10) return RESULT_UNKNOWN_FORMAT;
    // Signed on purpose: version bytes 0x80 and above count as old versions.
    if (header->version > 5) return RESULT_UNKNOWN_FORMAT;
    if (header->encoding != 1) return RESULT_UNKNOWN_FORMAT;
    if (header->bitsPerPixel == 1 && header->planes == 4) {
        layout->planar = 1;
    } else if (header->bitsPerPixel == 8 && header->planes == 1) {
        layout->planar = 0;
    } else if (!extended || PlanExtendedPcx(header, layout) != RESULT_OK) {
        return RESULT_UNKNOWN_FORMAT;
    }
    // An edge that lies before its opposite edge leaves no picture to decode.
    if (header->xmax < header->xmin || header->ymax < header->ymin) return RESULT_UNKNOWN_FORMAT;

    layout->planes = header->planes;
    layout->bytesPerLine = header->bytesPerLine;
    layout->width = (int32_t)header->xmax - header->xmin + 1;
    layout->height = (int32_t)header->ymax - header->ymin + 1;
    // A negative bytes-per-line reserves no encoded room; the first row then ends as broken
    // data without ever sizing anything from it.
    int64_t lineBytes = header->bytesPerLine > 0 ? header->bytesPerLine : 0;
    if (!CheckedStride(layout->width, layout->outputDepth, &layout->stride) ||
        !CheckedBlockSize(layout->stride, layout->height, &layout->bitsSize) ||
        !CheckedBlockSize(2 * (int64_t)layout->planes, lineBytes, &layout->encodedLineSize)) {
        return RESULT_MEMORY_ERROR;
    }
    // Rows after the end of the file decode from zeros: single values 0, one per plane byte.
    layout->zeroLineSize = (uint32_t)(layout->planes * lineBytes);
    // The working block: the plane lines of a 16-colour row, or a 256-colour row.
    layout->workingSize = layout->stride;
    if (layout->planar) {
        layout->workingSize = PlanarLineAreaSize(layout->stride);
        if (layout->ownColours) {
            // Each pixel value is its own index into the file's colours.
            for (uint32_t value = 0; value < 16; value++) layout->colourIndex[value] = (uint8_t)value;
        } else {
            BuildPlanarColourIndex(header->palette, layout->colourIndex);
        }
        BuildPairIndex(layout->colourIndex, layout->pairIndex);
    } else if (layout->packedBits || layout->colourPlanes) {
        // One plane line of the whole row's pixels (packed: their bytes); pixels past a short
        // line keep the row before's values, as 256-colour pixels do. Rows past the end of the
        // file are decoded from its zeros like any other.
        const uint32_t lines = layout->colourPlanes ? (uint32_t)layout->colourPlanes : 1u;
        const uint32_t lineBytes =
            layout->colourPlanes
                ? (uint32_t)layout->width
                : (uint32_t)(((int64_t)layout->width * layout->packedBits + 7) / 8);
        layout->lineAreaSize = lineBytes;
        // 24-bit rows are put together after the plane lines (but for SSSE3, see DecodeLinesRow)
        // and copied whole into the bits block: stores of a few bytes straight into its new
        // pages cost twice as much.
        layout->workingSize = lines * lineBytes + (layout->colourPlanes ? layout->stride : 0);
        layout->zeroLineSize = 0;
    }
    return RESULT_OK;
}

// ---- Line decoders -------------------------------------------------------------------------
//
// One encoded unit (a single value, or a count byte and its value) yields at least one plane
// byte and takes at most two encoded bytes, and a plane line ends as soon as it has its
// bytesPerLine bytes. So one row never occupies more than 2 x planes x bytesPerLine encoded
// bytes, the size of the encoded area the decoder reads each row into. When the bytes handed
// over are at least that many, the loops run without end tests (CHECK_END false); otherwise
// every unit is tested and a row that runs out of bytes is broken data.
//
// The fast loop below works on 64 encoded bytes at a time and reads up to FAST_LOOP_LOOKAHEAD
// ahead; it stores up to FAST_PIECE_BYTES from a position it decodes (see DecodeBytes for where
// those may land).
enum : uint32_t { FAST_PIECE_BYTES = 64, FAST_LOOP_LOOKAHEAD = 128 };
static_assert(FAST_LOOP_LOOKAHEAD >= 2 * FAST_PIECE_BYTES,
              "a block's units and the single values after its last one lie in the lookahead");
//
// A last run may carry a line past bytesPerLine; it is expanded whole (up to the row's end) and
// the next plane line begins after it.

// Bit 7 of every byte in which both top bits are set, among 8 loaded from memory.
static inline uint64_t FindHighBytes(uint64_t eight) {
    return eight & (eight << 1) & 0x8080808080808080ull;
}

// Bit i set for every byte i of the 64 at `p` from 0xC0 up; the plain version, which every
// build has.
template <bool SSE2>
static inline uint64_t MarkHighBytes(const uint8_t* p) {
    uint64_t mask = 0;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Bit 7 of byte i moves to bit 56 + i; no two products land on one bit, so nothing carries.
    for (uint32_t k = 0; k < 8; k++) {
        uint64_t eight;
        memcpy(&eight, p + 8 * k, 8);
        mask |= ((FindHighBytes(eight) * 0x0002040810204081ull) >> 56) << (8 * k);
    }
#else
    for (uint32_t k = 0; k < 64; k++) mask |= (uint64_t)(p[k] >= RUN_FLAGS) << k;
#endif
    return mask;
}

#if defined(VB_PCX_SSE2)
// The same with SSE2: a byte from 0xC0 up is its own maximum with 0xC0.
template <>
inline uint64_t MarkHighBytes<true>(const uint8_t* p) {
    const __m128i flags = _mm_set1_epi8((char)RUN_FLAGS);
    uint64_t mask = 0;
    for (uint32_t k = 0; k < 4; k++) {
        const __m128i bytes = _mm_loadu_si128((const __m128i*)(const void*)(p + 16 * k));
        const __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(bytes, flags), bytes);
        mask |= (uint64_t)(uint32_t)_mm_movemask_epi8(high) << (16 * k);
    }
    return mask;
}
#endif

static inline uint32_t LowestBit(uint64_t bits) {
#if defined(__GNUC__)
    return (uint32_t)__builtin_ctzll(bits);
#else
    uint32_t k = 0;
    while (!((bits >> k) & 1)) k++;
    return k;
#endif
}

// The count bytes among the bytes from 0xC0 up (`high`) of a block that starts on a unit: in
// every stretch of such bytes, the first, third, fifth... are count bytes and the others their
// values. Adding a stretch's first bit clears the stretch, which sorts the stretches that start
// on an even byte from those that start on an odd one.
static inline uint64_t FindCountBytes(uint64_t high) {
    const uint64_t EVEN = 0x5555555555555555ull;
    const uint64_t evenStarts = high & ~(high << 1) & EVEN;
    const uint64_t evenStretches = high & ~(high + evenStarts);
    return (evenStretches & EVEN) | (high & ~evenStretches & ~EVEN);
}

// Copies up to 64 single values: always 64 bytes, with no branch on how many there are.
static inline void CopySingles(const uint8_t* from, uint8_t* to) {
    memcpy(to, from, FAST_PIECE_BYTES);
}

// Stores `run` copies of `value`, 16 bytes at a time: up to 63 bytes past them. The longer runs
// come in whole stretches of a picture or not at all, so the branch is well predicted.
static inline void FillRun(uint8_t* to, uint32_t value, uint32_t run) {
    const uint64_t fill = value * 0x0101010101010101ull;
    memcpy(to, &fill, 8);
    memcpy(to + 8, &fill, 8);
    if (run > 16) {
        for (uint32_t k = 16; k < FAST_PIECE_BYTES; k += 8) memcpy(to + k, &fill, 8);
    }
}

#if defined(VB_PCX_SSSE3)
// For each 8-bit mask of bytes to keep, the byte shuffle that moves them to the front, and their
// number.
struct KeepShuffleTable {
    uint8_t shuffles[256][8];
    uint8_t counts[256];
};

static constexpr KeepShuffleTable BuildKeepShuffleTable() {
    KeepShuffleTable table{};
    for (uint32_t keep = 0; keep < 256; keep++) {
        uint32_t count = 0;
        for (uint32_t byte = 0; byte < 8; byte++) {
            if ((keep >> byte) & 1) table.shuffles[keep][count++] = (uint8_t)byte;
        }
        for (uint32_t rest = count; rest < 8; rest++) table.shuffles[keep][rest] = 0x80;
        table.counts[keep] = (uint8_t)count;
    }
    return table;
}

static constexpr KeepShuffleTable KeepShuffle = BuildKeepShuffleTable();

// Decodes a block of 64 encoded bytes whose runs (count bytes `counts`) are all of length 1 or
// 2, as in photos, where most runs are values from 0xC0 up written as runs of one: a run of one
// is its value alone, a run of two its value in place of the count byte and again, and the
// block comes out as its bytes less the dropped ones, moved together 8 at a time by a byte
// shuffle. `skipFirst` drops byte 0 (the value of a run the block before has stored). Returns
// the positions stored, or 64 + 1 when the block has other runs (nothing is stored then).
// Stores at most 64 bytes; reads 65.
__attribute__((target("ssse3"))) static inline uint32_t DecodeShortRunBlock(const uint8_t* block,
                                                                    uint64_t counts,
                                                                    uint64_t skipFirst,
                                                                    uint8_t* out) {
    __m128i bytes[4];
    uint64_t ones = 0, twos = 0;
    for (uint32_t k = 0; k < 4; k++) {
        bytes[k] = _mm_loadu_si128((const __m128i*)(const void*)(block + 16 * k));
        const uint64_t shift = 16 * k;
        ones |= (uint64_t)(uint32_t)_mm_movemask_epi8(
                    _mm_cmpeq_epi8(bytes[k], _mm_set1_epi8((char)(RUN_FLAGS | 1))))
                << shift;
        twos |= (uint64_t)(uint32_t)_mm_movemask_epi8(
                    _mm_cmpeq_epi8(bytes[k], _mm_set1_epi8((char)(RUN_FLAGS | 2))))
                << shift;
    }
    if ((counts & ~(ones | twos)) != 0) return 64 + 1;
    const uint64_t keep = ~((counts & ones) | skipFirst);
    const uint64_t doubles = counts & twos;
    // Lane x of a 16-byte piece stands for bit x % 8 of its byte of the mask.
    const __m128i laneBits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64,
                                           -128);
    const __m128i spreadBytes = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
    uint32_t at = 0;
    for (uint32_t k = 0; k < 4; k++) {
        // A run of two's count byte takes the value after it.
        const __m128i next = _mm_loadu_si128((const __m128i*)(const void*)(block + 16 * k + 1));
        const __m128i doubleBits = _mm_shuffle_epi8(
            _mm_cvtsi32_si128((int)((doubles >> (16 * k)) & 0xFFFF)), spreadBytes);
        const __m128i isDouble = _mm_cmpeq_epi8(_mm_and_si128(doubleBits, laneBits), laneBits);
        __m128i piece = _mm_or_si128(_mm_and_si128(isDouble, next),
                                     _mm_andnot_si128(isDouble, bytes[k]));
        for (uint32_t half = 0; half < 2; half++) {
            const uint32_t mask = (uint32_t)(keep >> (16 * k + 8 * half)) & 0xFF;
            const __m128i shuffle =
                _mm_loadl_epi64((const __m128i*)(const void*)KeepShuffle.shuffles[mask]);
            _mm_storel_epi64((__m128i*)(void*)(out + at), _mm_shuffle_epi8(piece, shuffle));
            at += KeepShuffle.counts[mask];
            piece = _mm_srli_si128(piece, 8);
        }
    }
    return at;
}
#endif

// How far past the last position it starts a store at the fast loop may write.
static constexpr uint32_t FAST_LOOP_REACH = 64;
static_assert(FAST_LOOP_REACH >= FAST_PIECE_BYTES, "every store of the fast loop is one piece");

// Decodes units from `p` into `row`, from position *count on, while the position stays at or
// below `last` and the next 128 encoded bytes lie before `end`: the count bytes of 64 encoded bytes at a time are found with bit operations,
// then every run and the single values before it are stored without a test per byte, and with
// no branch on the order of runs and single values (in photos such branches are mispredicted
// about once a unit). Returns where the undecoded units begin, with *count their position;
// null for a run length of 0. Stores never reach past last + FAST_LOOP_REACH.
template <bool SSE2, bool SSSE3>
static inline VB_PCX_ALWAYS_INLINE const uint8_t* DecodeUnitsFast(const uint8_t* p,
                                                                  const uint8_t* end,
                                                                  uint8_t* row, uint32_t* count,
                                                                  uint32_t last) {
    uint32_t at = *count;
    const uint8_t* singles = p;  // the first single value not stored yet
    const uint8_t* block = p;
    uint64_t carried = 0;  // 1 when the block starts with the value of the last block's count byte
    // A block's units read at most FAST_LOOP_LOOKAHEAD bytes from its start.
    while (at <= last && end - block >= (ptrdiff_t)FAST_LOOP_LOOKAHEAD) {
        uint64_t counts = FindCountBytes(MarkHighBytes<SSE2>(block) & ~carried);
        const uint64_t values = counts << 1 | carried;
        carried = counts >> 63;
#if defined(VB_PCX_SSSE3)
        // The whole block at once when all its units start inside the line, and its first run
        // (a cheap guess at the others) is short.
        if (SSSE3 && at + 63 <= last &&
            (counts == 0 || (block[LowestBit(counts)] & RUN_LENGTH_MASK) <= 2)) {
            // It stores at most 64 + 1 bytes from `at`, and reads 65 from the block.
            VB_ASSERT(at + 64 < last + FAST_LOOP_REACH && end - block > 64);
            const uint32_t stored =
                DecodeShortRunBlock(block, counts, (uint64_t)(singles - block), row + at);
            if (stored <= 64) {
                // A run whose value starts the next block ends here, so that the block after
                // starts on a unit as well: its value once more.
                row[at + stored] = block[64];
                at += stored + (uint32_t)carried;
                block += 64;
                singles = block + carried;
                continue;
            }
        }
#endif
        if ((counts | values) == ~0ull) {
            // Only runs (posters, and bright parts of photos where every value is a run of
            // one): nothing to copy before each.
            // Runs one after the other, past the block as long as they are longer than 2, as in
            // posters; the blocks start again at the first single value or short run (those
            // the short-run blocks take).
            const uint8_t* unit = singles;
            while (unit < block + 64 || (end - unit >= 2 && unit[0] > (RUN_FLAGS | 2))) {
                if (at > last) {
                    *count = at;
                    return unit;
                }
                const uint32_t run = unit[0] & RUN_LENGTH_MASK;
                if (run == 0) return nullptr;
                VB_ASSERT(at <= last && end - unit >= 2);
                FillRun(row + at, unit[1], RUN_LENGTH_MASK);  // always 64: runs of all lengths
                at += run;
                unit += 2;
            }
            block = unit;
            singles = unit;
            carried = 0;
            continue;
        }
        while (counts) {
            const uint8_t* unit = block + LowestBit(counts);
            counts &= counts - 1;
            const uint32_t before = (uint32_t)(unit - singles);
            if (at + before > last) {
                *count = at;
                return singles;
            }
            VB_ASSERT(end - singles >= (ptrdiff_t)FAST_PIECE_BYTES);
            CopySingles(singles, row + at);
            at += before;
            const uint32_t run = unit[0] & RUN_LENGTH_MASK;
            if (run == 0) return nullptr;
            VB_ASSERT(at <= last);
            FillRun(row + at, unit[1], run);
            at += run;
            singles = unit + 2;
        }
        block += 64;
        if (singles < block) {
            const uint32_t before = (uint32_t)(block - singles);
            if (at + before > last) break;
            VB_ASSERT(end - singles >= (ptrdiff_t)FAST_PIECE_BYTES);
            CopySingles(singles, row + at);
            at += before;
            singles = block;
        }
    }
    *count = at;
    return singles;
}

#if defined(VB_PCX_SSSE3)
// The fast loop compiled for SSSE3 as a whole, so that the short-run blocks are part of it.
__attribute__((target("ssse3"))) static const uint8_t* DecodeUnitsFastSsse3(
    const uint8_t* p, const uint8_t* end, uint8_t* row, uint32_t* count, uint32_t last) {
    return DecodeUnitsFast<true, true>(p, end, row, count, last);
}
#endif

// Decodes one line of bytesPerLine bytes; positions at or past rowSize are not stored, except
// that `slack` bytes past the row, which hold nothing, may be written with anything.
template <bool CHECK_END, bool SSE2 = HAS_SSE2>
static uint32_t DecodeBytes(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                            uint32_t rowSize, uint32_t lineBytes, uint32_t slack,
                            bool ssse3 = false) {
    const uint8_t* p = encoded;
    const uint8_t* end = encoded + encodedSize;
    uint32_t count = 0;
    // Positions below both the line length and the row size are stored.
    const uint32_t storeStop = lineBytes < rowSize ? lineBytes : rowSize;

    // The fast loop may store past what it decodes: below storeStop the line writes those bytes
    // again (the assert after the loops), past the row they land in the slack. It starts units
    // only inside the line.
    const uint32_t writeStop = lineBytes >= rowSize ? rowSize + slack : storeStop;
    if (!CHECK_END && writeStop > FAST_LOOP_REACH) {
        const uint32_t last = writeStop - FAST_LOOP_REACH;
        const uint32_t lastStart = last < lineBytes ? last : lineBytes - 1;
        // The encoded area holds the longest encoding of the line (two bytes a position).
        VB_ASSERT((uint64_t)encodedSize >= 2ull * lineBytes);
        VB_ASSERT(lastStart + FAST_LOOP_REACH <= writeStop);
#if defined(VB_PCX_SSSE3)
        if (SSE2 && ssse3) {
            p = DecodeUnitsFastSsse3(p, end, row, &count, lastStart);
        } else {
            p = DecodeUnitsFast<SSE2, false>(p, end, row, &count, lastStart);
        }
#else
        (void)ssse3;
        p = DecodeUnitsFast<SSE2, false>(p, end, row, &count, lastStart);
#endif
        if (!p) return 0;
        VB_ASSERT(count < lastStart + FAST_LOOP_REACH);
    }

    while (count < storeStop) {
        if (CHECK_END && p >= end) return 0;
        uint32_t value = *p++;
        if (value < RUN_FLAGS) {
            row[count++] = (uint8_t)value;
            continue;
        }
        const uint32_t run = value & RUN_LENGTH_MASK;
        if (run == 0) return 0;
        if (CHECK_END && p >= end) return 0;
        value = *p++;
        const uint32_t room = rowSize - count;
        memset(row + count, (int)value, run < room ? run : room);
        count += run;
    }
    // Every position below storeStop that the fast loop may have written past is written again.
    VB_ASSERT(count >= storeStop);
    // The rest of the line lies past the row: consume it without storing.
    while (count < lineBytes) {
        if (CHECK_END && p >= end) return 0;
        const uint32_t value = *p++;
        if (value < RUN_FLAGS) {
            count++;
            continue;
        }
        const uint32_t run = value & RUN_LENGTH_MASK;
        if (run == 0) return 0;
        if (CHECK_END && p >= end) return 0;
        p++;
        count += run;
    }
    return (uint32_t)(p - encoded);
}

// FAST false: only the loop that tests every unit runs (the plain paths).
template <bool SSE2, bool FAST = true>
static uint32_t DecodeByteLineWith(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                                   uint32_t rowSize, int32_t bytesPerLine, bool ssse3) {
    if (bytesPerLine < 1) return 0;
    const uint32_t lineBytes = (uint32_t)bytesPerLine;
    if (FAST && (uint64_t)encodedSize >= 2ull * lineBytes) {
        return DecodeBytes<false, SSE2>(encoded, encodedSize, row, rowSize, lineBytes, 0, ssse3);
    }
    return DecodeBytes<true, false>(encoded, encodedSize, row, rowSize, lineBytes, 0);
}

static uint32_t DecodeByteLineOn(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                                 uint8_t* row, uint32_t rowSize, int32_t bytesPerLine) {
    if (paths == DECODE_PATHS_PLAIN) {
        return DecodeByteLineWith<false, false>(encoded, encodedSize, row, rowSize, bytesPerLine,
                                                false);
    }
    if (paths == DECODE_PATHS_PORTABLE) {
        return DecodeByteLineWith<false>(encoded, encodedSize, row, rowSize, bytesPerLine, false);
    }
    return DecodeByteLineWith<HAS_SSE2>(encoded, encodedSize, row, rowSize, bytesPerLine,
                                        paths == DECODE_PATHS_FASTEST);
}

uint32_t DecodeByteLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                        uint32_t rowSize, int32_t bytesPerLine) {
    return DecodeByteLineOn(PathsOnThisProcessor(ChosenDecodePaths()), encoded, encodedSize, row,
                            rowSize, bytesPerLine);
}

uint32_t DecodeByteLineAlong(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                             uint8_t* row, uint32_t rowSize, int32_t bytesPerLine) {
    return DecodeByteLineOn(PathsOnThisProcessor(paths), encoded, encodedSize, row, rowSize,
                            bytesPerLine);
}

uint32_t DecodeByteLinePlain(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                             uint32_t rowSize, int32_t bytesPerLine) {
    return DecodeByteLineOn(DECODE_PATHS_PLAIN, encoded, encodedSize, row, rowSize, bytesPerLine);
}

// Every pair of bits of a plane byte in a byte of its own, leftmost pixel pair first: the left
// pixel's bit at bit 0, the right one's at bit 4. Shifted left by p for plane p and OR-ed over
// the planes, each byte is the key of its two pixels' values in pairIndex.
struct PairSpreadTable {
    uint32_t pairs[256];
};

static constexpr PairSpreadTable BuildPairSpreadTable() {
    PairSpreadTable table{};
    for (uint32_t value = 0; value < 256; value++) {
        uint32_t spread = 0;
        for (uint32_t pair = 0; pair < 4; pair++) {
            const uint32_t left = (value >> (7 - 2 * pair)) & 1;
            const uint32_t right = (value >> (6 - 2 * pair)) & 1;
            spread |= (left | right << 4) << (8 * pair);
        }
        table.pairs[value] = spread;
    }
    return table;
}

static constexpr PairSpreadTable PairSpread = BuildPairSpreadTable();

// The keys of the 4 pixel pairs of 8 pixels, from the 4 plane bytes that hold them.
static inline uint32_t PairKeys(const uint8_t* const* planes, uint32_t k) {
    return PairSpread.pairs[planes[0][k]] | PairSpread.pairs[planes[1][k]] << 1 |
           PairSpread.pairs[planes[2][k]] << 2 | PairSpread.pairs[planes[3][k]] << 3;
}

// The 8 indices of 8 pixels, in memory order, from their pair keys.
static inline uint64_t MapPairKeys(uint32_t keys, const uint16_t* pairIndex) {
    const uint64_t first = pairIndex[keys & 0xFF];
    const uint64_t second = pairIndex[(keys >> 8) & 0xFF];
    const uint64_t third = pairIndex[(keys >> 16) & 0xFF];
    const uint64_t fourth = pairIndex[keys >> 24];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return first << 48 | second << 32 | third << 16 | fourth;
#else
    return first | second << 16 | third << 32 | fourth << 48;
#endif
}

// Turns the 4 decoded plane lines (planeBytes each, lineStride apart) into the row's rowSize
// indices from plane byte `from` on, 8 pixels per plane byte; of the last plane byte only the
// pixels inside the row are stored. Where the plane lines hold runs, 8 pixels often repeat the
// 8 before them.
static void CombinePlaneLines(const uint8_t* lines, uint32_t lineStride, uint32_t planeBytes,
                              uint32_t from, uint8_t* row, uint32_t rowSize,
                              const uint16_t* pairIndex) {
    const uint8_t* const planes[4] = {lines, lines + lineStride, lines + 2 * lineStride,
                                      lines + 3 * lineStride};
    const uint32_t wholeBytes = rowSize / 8;
    uint32_t lastKeys = 0;
    uint64_t eight = MapPairKeys(0, pairIndex);
    for (uint32_t k = from; k < wholeBytes; k++) {
        const uint32_t keys = PairKeys(planes, k);
        if (keys != lastKeys) {
            eight = MapPairKeys(keys, pairIndex);
            lastKeys = keys;
        }
        memcpy(row + 8 * k, &eight, 8);
    }
    if (wholeBytes < planeBytes) {
        eight = MapPairKeys(PairKeys(planes, wholeBytes), pairIndex);
        memcpy(row + 8 * wholeBytes, &eight, rowSize - 8 * wholeBytes);
    }
}

#if defined(VB_PCX_SSSE3)
// The same for 16 plane bytes (128 pixels) at a time on processors with SSSE3, whose byte
// shuffle both spreads a plane byte over 8 pixels and looks their values up in the 16 indices.
// Returns the plane bytes done; the plain loop does the rest.
__attribute__((target("ssse3"))) static uint32_t CombinePlaneLinesSsse3(
    const uint8_t* lines, uint32_t lineStride, uint8_t* row, uint32_t rowSize,
    const uint16_t* pairIndex) {
    uint8_t colourIndex[16];
    for (uint32_t value = 0; value < 16; value++) {
        memcpy(&colourIndex[value], &pairIndex[value], 1);  // the left pixel of key `value`
    }
    const __m128i indices = _mm_loadu_si128((const __m128i*)(const void*)colourIndex);
    // Lane x holds the bit of pixel x % 8 in its plane byte: the leftmost pixel is bit 7.
    const __m128i pixelBits = _mm_setr_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4,
                                            2, 1);
    const uint32_t wholeBytes = rowSize / 8;
    uint32_t k = 0;
    for (; k + 16 <= wholeBytes; k += 16) {
        VB_ASSERT(8 * (k + 16) <= rowSize && k + 16 <= lineStride);
        __m128i planes[4];
        for (uint32_t plane = 0; plane < 4; plane++) {
            planes[plane] =
                _mm_loadu_si128((const __m128i*)(const void*)(lines + plane * lineStride + k));
        }
        for (uint32_t pair = 0; pair < 8; pair++) {
            // Plane byte 2 * pair over lanes 0 to 7, the next one over lanes 8 to 15.
            const __m128i spread = _mm_add_epi8(
                _mm_set1_epi8((char)(2 * pair)),
                _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
            __m128i values = _mm_setzero_si128();
            for (uint32_t plane = 0; plane < 4; plane++) {
                const __m128i bytes = _mm_shuffle_epi8(planes[plane], spread);
                const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(bytes, pixelBits), pixelBits);
                values = _mm_or_si128(values, _mm_and_si128(set, _mm_set1_epi8((char)(1 << plane))));
            }
            _mm_storeu_si128((__m128i*)(void*)(row + 8 * k + 16 * pair),
                             _mm_shuffle_epi8(indices, values));
        }
    }
    return k;
}

#endif

// The plain twin of the two above: each pixel's value from its bit in each plane line.
static void CombinePlaneLinesPlainly(const uint8_t* lines, uint32_t lineStride, uint8_t* row,
                                     uint32_t rowSize, const uint16_t* pairIndex) {
    for (uint32_t x = 0; x < rowSize; x++) {
        uint32_t value = 0;
        for (uint32_t plane = 0; plane < 4; plane++) {
            value |= ((lines[plane * lineStride + x / 8] >> (7 - x % 8)) & 1u) << plane;
        }
        uint8_t pair[2];
        memcpy(pair, &pairIndex[value], 2);
        row[x] = pair[0];  // key `value` below 16: its left pixel has that value
    }
}

// Room after each plane line for what the fast loop stores past it.
static constexpr uint32_t PLANE_LINE_SLACK = FAST_LOOP_REACH;
static_assert(PLANE_LINE_SLACK >= FAST_LOOP_REACH, "a plane line's slack takes the loop's reach");

uint32_t PlanarLineAreaSize(uint32_t rowSize) {
    return 4 * ((rowSize + 7) / 8 + PLANE_LINE_SLACK);
}

void BuildPairIndex(const uint8_t* colourIndex, uint16_t* pairIndex) {
    for (uint32_t key = 0; key < 256; key++) {
        const uint8_t pair[2] = {colourIndex[key & 15], colourIndex[key >> 4]};
        memcpy(&pairIndex[key], pair, 2);
    }
}

// FAST false: the plain loops alone. Inlined wherever it is called, the row loop included.
template <bool SSE2, bool FAST = true>
static inline VB_PCX_ALWAYS_INLINE uint32_t DecodePlanarLineWith(
    const uint8_t* encoded, uint32_t encodedSize, uint8_t* row, uint32_t rowSize,
    int32_t bytesPerLine, int32_t planes, const uint16_t* pairIndex, uint8_t* planeLines,
    bool ssse3) {
    if (bytesPerLine < 1 || planes < 1 || planes > 4) return 0;
    const uint32_t lineBytes = (uint32_t)bytesPerLine;
    const uint32_t planeBytes = (rowSize + 7) / 8;
    const bool fast = FAST && (uint64_t)encodedSize >= 2ull * (uint32_t)planes * lineBytes;
    const uint8_t* p = encoded;
    for (int32_t plane = 0; plane < 4; plane++) {
        uint8_t* line = planeLines + (uint32_t)plane * (planeBytes + PLANE_LINE_SLACK);
        if (plane >= planes) {
            if (planeBytes) memset(line, 0, planeBytes);  // a missing plane adds no bits
            continue;
        }
        // Positions the plane line does not reach have no bits set.
        if (planeBytes > lineBytes) memset(line + lineBytes, 0, planeBytes - lineBytes);
        const uint32_t left = encodedSize - (uint32_t)(p - encoded);
        const uint32_t used =
            fast ? DecodeBytes<false, SSE2>(p, left, line, planeBytes, lineBytes, PLANE_LINE_SLACK,
                                            ssse3)
                 : DecodeBytes<true, false>(p, left, line, planeBytes, lineBytes, PLANE_LINE_SLACK);
        if (used == 0) return 0;
        p += used;
    }
    const uint32_t lineStride = planeBytes + PLANE_LINE_SLACK;
    if (!FAST) {
        CombinePlaneLinesPlainly(planeLines, lineStride, row, rowSize, pairIndex);
        return (uint32_t)(p - encoded);
    }
    uint32_t done = 0;
#if defined(VB_PCX_SSSE3)
    if (ssse3) done = CombinePlaneLinesSsse3(planeLines, lineStride, row, rowSize, pairIndex);
#else
    (void)ssse3;
#endif
    CombinePlaneLines(planeLines, lineStride, planeBytes, done, row, rowSize, pairIndex);
    return (uint32_t)(p - encoded);
}

static uint32_t DecodePlanarLineOn(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                                   uint8_t* row, uint32_t rowSize, int32_t bytesPerLine,
                                   int32_t planes, const uint16_t* pairIndex,
                                   uint8_t* planeLines) {
    if (paths == DECODE_PATHS_PLAIN) {
        return DecodePlanarLineWith<false, false>(encoded, encodedSize, row, rowSize, bytesPerLine,
                                                  planes, pairIndex, planeLines, false);
    }
    if (paths == DECODE_PATHS_PORTABLE) {
        return DecodePlanarLineWith<false>(encoded, encodedSize, row, rowSize, bytesPerLine,
                                           planes, pairIndex, planeLines, false);
    }
    return DecodePlanarLineWith<HAS_SSE2>(encoded, encodedSize, row, rowSize, bytesPerLine, planes,
                                          pairIndex, planeLines, paths == DECODE_PATHS_FASTEST);
}

uint32_t DecodePlanarLine(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                          uint32_t rowSize, int32_t bytesPerLine, int32_t planes,
                          const uint16_t* pairIndex, uint8_t* planeLines) {
    return DecodePlanarLineOn(PathsOnThisProcessor(ChosenDecodePaths()), encoded, encodedSize, row,
                              rowSize, bytesPerLine, planes, pairIndex, planeLines);
}

uint32_t DecodePlanarLineAlong(int32_t paths, const uint8_t* encoded, uint32_t encodedSize,
                               uint8_t* row, uint32_t rowSize, int32_t bytesPerLine,
                               int32_t planes, const uint16_t* pairIndex, uint8_t* planeLines) {
    return DecodePlanarLineOn(PathsOnThisProcessor(paths), encoded, encodedSize, row, rowSize,
                              bytesPerLine, planes, pairIndex, planeLines);
}

uint32_t DecodePlanarLinePlain(const uint8_t* encoded, uint32_t encodedSize, uint8_t* row,
                               uint32_t rowSize, int32_t bytesPerLine, int32_t planes,
                               const uint16_t* pairIndex, uint8_t* planeLines) {
    return DecodePlanarLineOn(DECODE_PATHS_PLAIN, encoded, encodedSize, row, rowSize, bytesPerLine,
                              planes, pairIndex, planeLines);
}

// ---- Picture ---------------------------------------------------------------------------------

// Pixels packed 2 or 4 bits to a byte, leftmost in the high bits, as one index byte each.
static void UnpackPackedPixels(const uint8_t* line, int32_t bits, int32_t width, uint8_t* out) {
    const uint32_t perByte = 8u / (uint32_t)bits;
    const uint32_t mask = (1u << bits) - 1u;
    for (int32_t x = 0; x < width; x++) {
        const uint32_t slot = (uint32_t)x % perByte;
        out[x] = (uint8_t)((line[(uint32_t)x / perByte] >> (8u - (uint32_t)bits * (slot + 1u))) & mask);
    }
}

#if defined(VB_PCX_SSSE3)
// For each of the 3 output vectors of 16 pixels (48 bytes of blue, green, red) and each of the
// blue, green and red vectors: the lane of that colour's byte in each output byte, or 0x80 (0).
struct InterleaveShuffleTable {
    uint8_t lanes[3][3][16];
};

static constexpr InterleaveShuffleTable BuildInterleaveShuffleTable() {
    InterleaveShuffleTable table{};
    for (uint32_t part = 0; part < 3; part++) {
        for (uint32_t colour = 0; colour < 3; colour++) {
            for (uint32_t lane = 0; lane < 16; lane++) {
                const uint32_t at = 16 * part + lane;
                table.lanes[part][colour][lane] = at % 3 == colour ? (uint8_t)(at / 3) : 0x80;
            }
        }
    }
    return table;
}

static constexpr InterleaveShuffleTable InterleaveShuffle = BuildInterleaveShuffleTable();

// 16 pixels at a time on processors with SSSE3; returns the pixels done.
__attribute__((target("ssse3"))) static int32_t InterleaveColourPlanesSsse3(
    const uint8_t* red, const uint8_t* green, const uint8_t* blue, int32_t width, uint8_t* out) {
    int32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i colours[3] = {_mm_loadu_si128((const __m128i*)(const void*)(blue + x)),
                                    _mm_loadu_si128((const __m128i*)(const void*)(green + x)),
                                    _mm_loadu_si128((const __m128i*)(const void*)(red + x))};
        for (uint32_t part = 0; part < 3; part++) {
            __m128i bytes = _mm_setzero_si128();
            for (uint32_t colour = 0; colour < 3; colour++) {
                const __m128i lanes = _mm_loadu_si128(
                    (const __m128i*)(const void*)InterleaveShuffle.lanes[part][colour]);
                bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(colours[colour], lanes));
            }
            _mm_storeu_si128((__m128i*)(void*)(out + 3 * x + 16 * part), bytes);
        }
    }
    return x;
}
#endif

// Red, green and blue plane lines (an alpha one after them is not read) as 24-bit pixels: 16 at
// a time with SSSE3, 4 at a time as three words where the bytes lie in that order in a word,
// then one by one.
static void InterleaveColourPlanes(const uint8_t* lines, int32_t width, uint8_t* out,
                                   bool ssse3) {
    const uint8_t* red = lines;
    const uint8_t* green = lines + width;
    const uint8_t* blue = lines + 2 * width;
    int32_t x = 0;
#if defined(VB_PCX_SSSE3)
    if (ssse3) x = InterleaveColourPlanesSsse3(red, green, blue, width, out);
#else
    (void)ssse3;
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; x + 4 <= width; x += 4) {
        uint32_t r, g, b;
        memcpy(&r, red + x, 4);
        memcpy(&g, green + x, 4);
        memcpy(&b, blue + x, 4);
        const uint32_t first =
            (b & 0xFFu) | (g & 0xFFu) << 8 | (r & 0xFFu) << 16 | (b & 0xFF00u) << 16;
        const uint32_t second =
            (g >> 8 & 0xFFu) | (r & 0xFF00u) | (b & 0xFF0000u) | (g & 0xFF0000u) << 8;
        const uint32_t third =
            (r >> 16 & 0xFFu) | (b >> 16 & 0xFF00u) | (g >> 8 & 0xFF0000u) | (r & 0xFF000000u);
        memcpy(out + 3 * x, &first, 4);
        memcpy(out + 3 * x + 4, &second, 4);
        memcpy(out + 3 * x + 8, &third, 4);
    }
#endif
    for (; x < width; x++) {
        out[3 * x] = blue[x];
        out[3 * x + 1] = green[x];
        out[3 * x + 2] = red[x];
    }
}

// A row of the packed or colour-plane layouts: each plane's line decoded into the working block,
// one after the other, then turned into the DIB row. Returns the encoded bytes consumed, 0 for
// broken data.
static uint32_t DecodeLinesRow(int32_t paths, const uint8_t* encoded, const PcxLayout* layout,
                               uint8_t* lines, uint8_t* dibRow) {
    const int32_t planes = layout->colourPlanes ? layout->colourPlanes : 1;
    const bool ssse3 = paths == DECODE_PATHS_FASTEST;
    uint32_t consumed = 0;
    for (int32_t plane = 0; plane < planes; plane++) {
        const uint32_t used = DecodeByteLineOn(
            paths, encoded + consumed, layout->encodedLineSize - consumed,
            lines + (uint32_t)plane * layout->lineAreaSize, layout->lineAreaSize,
            layout->bytesPerLine);
        if (used == 0) return 0;
        consumed += used;
    }
    if (layout->colourPlanes) {
        // With SSSE3 nearly every pixel is stored in whole 16-byte pieces, straight into the DIB
        // row; otherwise the row is put together in the working block and copied whole.
        uint8_t* row = ssse3 ? dibRow : lines + (uint32_t)planes * layout->lineAreaSize;
        InterleaveColourPlanes(lines, layout->width, row, ssse3);
        if (row != dibRow) memcpy(dibRow, row, (size_t)layout->width * 3);
    } else {
        UnpackPackedPixels(lines, layout->packedBits, layout->width, dibRow);
    }
    return consumed;
}

// Decodes every row into the bits block, first file row at the top of the bottom-up DIB. Each row
// is decoded from a window of the file as long as its longest encoding, and the cursor then moves
// just past the bytes the row consumed.
static int32_t DecodePcxRows(DecodeFrame* frame, const PcxLayout* layout, uint8_t* row) {
    FileCursor* cursor = &frame->cursor;
    const int32_t height = layout->height;
    // Shipped builds always take the fastest paths; the others are chosen by a test or the
    // fuzz harness (framework/checks.h).
    const int32_t chosenPaths = ChosenDecodePaths();
    const bool chosen = chosenPaths != DECODE_PATHS_FASTEST;
    const bool plain = chosenPaths == DECODE_PATHS_PLAIN;
    const int32_t paths = PathsOnThisProcessor(chosenPaths);
    const bool ssse3 = paths == DECODE_PATHS_FASTEST;
    for (int32_t i = 0; i < height; i++) {
        // A 16-colour row is decoded into plane lines in the working block and then mapped into
        // the DIB row, every position of it. A 256-colour row whose line covers the whole DIB row
        // is decoded in place; a shorter line goes through the working block, whose pixels past
        // the line carry over to the next row.
        uint8_t* dibRow = frame->bits + (size_t)(height - 1 - i) * layout->stride;
        uint32_t consumed;
        if (!plain && layout->zeroLineSize != 0 && FileCursorAtEnd(cursor)) {
            // After the end of the file a row decodes from zeros: a 16-colour row is all value 0,
            // a 256-colour line covering its row stays all zero. A shorter 256-colour line would
            // change the row, but no palette trailer follows then and the decode fails anyway.
            consumed = layout->zeroLineSize;
            if (layout->planar && layout->colourIndex[0] != 0) {
                memset(dibRow, layout->colourIndex[0], layout->stride);
            }
        } else {
            VB_ASSERT(layout->encodedLineSize <= cursor->capacity);
            const uint8_t* encoded = PeekFileCursor(cursor, layout->encodedLineSize);
            if (!encoded) return RESULT_FILE_ERROR;
            if (layout->packedBits || layout->colourPlanes) {
                consumed = DecodeLinesRow(paths, encoded, layout, row, dibRow);
            } else if (chosen) {
                // The same steps along the chosen paths.
                uint8_t* const target =
                    layout->bytesPerLine >= (int64_t)layout->stride ? dibRow : row;
                consumed = layout->planar
                               ? DecodePlanarLineOn(paths, encoded, layout->encodedLineSize,
                                                    dibRow, layout->stride, layout->bytesPerLine,
                                                    layout->planes, layout->pairIndex, row)
                               : DecodeByteLineOn(paths, encoded, layout->encodedLineSize, target,
                                                  layout->stride, layout->bytesPerLine);
                if (consumed != 0 && !layout->planar && target != dibRow) {
                    memcpy(dibRow, row, layout->stride);
                }
            } else if (layout->planar) {
                consumed = DecodePlanarLineWith<HAS_SSE2>(
                    encoded, layout->encodedLineSize, dibRow, layout->stride, layout->bytesPerLine,
                    layout->planes, layout->pairIndex, row, ssse3);
            } else if (layout->bytesPerLine >= (int64_t)layout->stride) {
                consumed = DecodeByteLineWith<HAS_SSE2>(encoded, layout->encodedLineSize, dibRow,
                                                        layout->stride, layout->bytesPerLine,
                                                        ssse3);
            } else {
                consumed = DecodeByteLineWith<HAS_SSE2>(encoded, layout->encodedLineSize, row,
                                                        layout->stride, layout->bytesPerLine,
                                                        ssse3);
                if (consumed != 0) memcpy(dibRow, row, layout->stride);
            }
            if (consumed == 0) return RESULT_BROKEN_DATA;
        }
        const int32_t result = SkipFileCursor(cursor, consumed);
        if (result != RESULT_OK) return result;
        if (NotifyProgress(frame, i, height) != 0) return RESULT_ABORTED;
    }
    return RESULT_OK;
}

// The 256-colour palette: the first 12 byte from the current position on, then 256 triples of
// red, green, blue. Triples past the end of the file read as 0.
static int32_t ReadPcxPalette(FileCursor* cursor, uint8_t* table) {
    if (SkipPastFileCursorByte(cursor, PCX_PALETTE_MARKER, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    uint8_t triples[256 * 3];
    if (ReadFileCursor(cursor, triples, sizeof triples, nullptr) != RESULT_OK) {
        return RESULT_FILE_ERROR;
    }
    for (uint32_t entry = 0; entry < 256; entry++) {
        uint8_t* quad = table + RGBQUAD_SIZE * entry;
        quad[0] = triples[3 * entry + 2];
        quad[1] = triples[3 * entry + 1];
        quad[2] = triples[3 * entry];
        quad[3] = 0;
    }
    return RESULT_OK;
}

int32_t AcceptPcxPicture(const char16_t* fileName, const uint8_t* fileHead) {
    (void)fileHead;
    return EndsWithExtension(fileName, u".pcx");
}

static int32_t ReadPcxInfo(InfoFrame* frame, PictureInfoRecord* info) {
    PcxHeader header;
    int32_t result = ReadPcxHeader(&frame->cursor, &header);
    if (result != RESULT_OK) return result;
    const int32_t width = (int32_t)header.xmax - header.xmin + 1;
    const int32_t height = (int32_t)header.ymax - header.ymin + 1;
    const int16_t depth = (int16_t)(header.bitsPerPixel * header.planes);
    StorePictureInfo(info, header.xmin, header.ymin, width, height, 0, 0, depth, 0);
    return RESULT_OK;
}

int32_t ReadPcxPictureInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    return RunInfoFrame(ReadPcxInfo, fileName, offset, info);
}

// The colour table of the extended layouts of up to 16 colours: black and white for one bit in
// one plane, else the first entries of the header palette (red, green, blue each).
static void WriteOwnColours(const PcxHeader* header, int32_t colours, uint8_t* table) {
    static const uint8_t BlackAndWhite[6] = {0, 0, 0, 255, 255, 255};
    const uint8_t* rgb = colours == 2 && header->planes == 1 ? BlackAndWhite : header->palette;
    for (int32_t entry = 0; entry < colours; entry++) {
        uint8_t* quad = table + RGBQUAD_SIZE * entry;
        quad[0] = rgb[3 * entry + 2];
        quad[1] = rgb[3 * entry + 1];
        quad[2] = rgb[3 * entry];
        quad[3] = 0;
    }
}

static int32_t DecodePcxFile(DecodeFrame* frame) {
    PcxHeader header;
    int32_t result = ReadPcxHeader(&frame->cursor, &header);
    if (result != RESULT_OK) return result;
    PcxLayout layout;
    result = PlanPcxDecode(&header, &layout);
    // The extended layouts only where the default ones refuse the file, so that the switch
    // changes nothing for those.
    if (result == RESULT_UNKNOWN_FORMAT && ReadExtendedLayoutsSetting() != 0) {
        result = PlanPcxDecode(&header, &layout, 1);
    }
    if (result != RESULT_OK) return result;

    uint8_t* headerBlock = AllocateHeaderBlock(frame, FULL_HEADER_BLOCK_SIZE);
    if (!headerBlock) return RESULT_MEMORY_ERROR;
    WriteBitmapInfoHeader(headerBlock, layout.width, layout.height, layout.outputDepth);
    if (!AllocateBitsBlock(frame, layout.bitsSize)) return RESULT_MEMORY_ERROR;
    uint8_t* row = AllocateWorkingBlock(frame, layout.workingSize);
    if (!row) return RESULT_MEMORY_ERROR;

    // Both calls come before the first row, and their answers do not stop the decode.
    NotifyProgress(frame, 0, layout.height);
    NotifyProgress(frame, layout.height, layout.height);
    result = DecodePcxRows(frame, &layout, row);
    // A failed decode hands nothing over, so the colour table is only worth filling (and the
    // palette trailer only worth searching for) when every row came through.
    if (result != RESULT_OK) return result;
    uint8_t* table = headerBlock + BITMAPINFOHEADER_SIZE;
    if (layout.ownColours) {
        WriteOwnColours(&header, layout.ownColours, table);
        return RESULT_OK;
    }
    if (layout.outputDepth == 24) return RESULT_OK;
    if (layout.planar) {
        BuildOutputPalette(table, 8);
        return RESULT_OK;
    }
    return ReadPcxPalette(&frame->cursor, table);
}

int32_t DecodePcxPicture(const char16_t* fileName, int32_t offset, void** headerSlot,
                         void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    return RunDecodeFrame(DecodePcxFile, fileName, offset, headerSlot, bitsSlot, notifier,
                          userData);
}

const FormatOperations ThisFormat = {AcceptPcxPicture, ReadPcxPictureInfo, DecodePcxPicture, 0};
