// Resampling and error-diffusion dithering of source rows into 2-bit gray or 3-3-2 DIB rows.
#include "tga/colour_reducer.h"

#include <string.h>

// The groups of eight rows in 64-bit x86 builds, whose stack is always 16-byte aligned for the
// vectors the loop keeps there.
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define REDUCER_WAVE 1
#endif

#include "framework/bytes.h"
#include "framework/checks.h"
#include "platform/platform.h"

// Keeps a routine out of line where inlining it at every call would only make the plug-in
// bigger (the loops that run for a few pixels of a row, the vectorised pass).
#if defined(__GNUC__)
#define REDUCER_OUT_OF_LINE __attribute__((noinline))
#else
#define REDUCER_OUT_OF_LINE
#endif

// The gray value of each colour-table entry, for indexed sources dithered to gray. Module-wide:
// the TGA reader's indexed sources are gray, whose table is always the same ramp, so a reducer
// set up inside another's decode writes the values it already holds.
static uint8_t LumaOfIndex[256];

static inline void AddTableColour(ColourReducer* reducer, int32_t column, uint32_t index) {
    const uint8_t* entry = reducer->srcColourTable + 4u * index;
    reducer->sumBlue[column] += entry[0];
    reducer->sumGreen[column] += entry[1];
    reducer->sumRed[column] += entry[2];
}

void AccumulateRow1(ColourReducer* reducer, const uint8_t* row) {
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        AddTableColour(reducer, i, (row[i >> 3] >> (7 - (i & 7))) & 1u);
    }
}

void AccumulateRow2(ColourReducer* reducer, const uint8_t* row) {
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        AddTableColour(reducer, i, (row[i >> 2] >> (6 - 2 * (i & 3))) & 3u);
    }
}

void AccumulateRow4(ColourReducer* reducer, const uint8_t* row) {
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        AddTableColour(reducer, i, (row[i >> 1] >> ((i & 1) ? 0 : 4)) & 15u);
    }
}

void AccumulateRow8(ColourReducer* reducer, const uint8_t* row) {
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        AddTableColour(reducer, i, row[i]);
    }
}

void AccumulateRow24(ColourReducer* reducer, const uint8_t* row) {
    int32_t* red = reducer->sumRed;
    int32_t* green = reducer->sumGreen;
    int32_t* blue = reducer->sumBlue;
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        blue[i] += row[0];
        green[i] += row[1];
        red[i] += row[2];
        row += 3;
    }
}

// The gray value that 2-bit gray dithers, from blue, green, red.
static inline uint8_t Luma(const uint8_t* pixel) {
    return (uint8_t)((77 * pixel[2] + 151 * pixel[1] + 28 * pixel[0]) >> 8);
}

// The gray writers' inputs: rows of blue, green, red, or rows of 8-bit indices. The gray value
// is taken in the pixel loop, which waits on its chains and has room for it.
struct LumaOfBgr {
    static uint8_t At(const uint8_t* row, intptr_t j) { return Luma(row + 3 * j); }
};
struct LumaOfIndices {
    static uint8_t At(const uint8_t* row, intptr_t j) { return LumaOfIndex[row[j]]; }
};

static const uint8_t* FillAverageFrom24(ColourReducer*, const uint8_t* row, uint8_t*) {
    return row;
}

// Indices of 8 bits: one byte a pixel.
static const uint8_t* FillAverageFrom8(ColourReducer* reducer, const uint8_t* row, uint8_t* out) {
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        const uint8_t* entry = reducer->srcColourTable + 4u * row[i];
        out[3 * i] = entry[0];
        out[3 * i + 1] = entry[1];
        out[3 * i + 2] = entry[2];
    }
    return out;
}

// Indices of 1, 2 or 4 bits, the leftmost pixel in the most significant bits.
static const uint8_t* FillAverageFromIndexed(ColourReducer* reducer, const uint8_t* row,
                                             uint8_t* out) {
    const uint32_t bits = (uint32_t)reducer->srcBitCount;
    const uint32_t mask = (1u << bits) - 1u;
    for (uint32_t i = 0; i < (uint32_t)reducer->srcWidth; i++) {
        uint32_t bit = i * bits;
        uint32_t index = (row[bit >> 3] >> (8u - bits - (bit & 7u))) & mask;
        const uint8_t* entry = reducer->srcColourTable + 4u * index;
        out[3 * i] = entry[0];
        out[3 * i + 1] = entry[1];
        out[3 * i + 2] = entry[2];
    }
    return out;
}

// Indices of 8 bits dithered to gray are read as they are (see LumaOfIndex).
static const uint8_t* FillIndicesFrom8(ColourReducer*, const uint8_t* row, uint8_t*) {
    return row;
}

// The diffused error of a channel is the weighted sum S of the twelve errors quantised before
// it, divided by 48 toward zero. Ten of the twelve lie in the two rows above and do not depend on
// the row being written: PassErrorsOn adds them up for the whole next row once a row is done (a
// loop without dependencies from one lane to the next, which the compiler vectorises), so the
// pixel loop keeps only the two errors of its own row, 5 x e(j-2) + 7 x e(j-1). From one pixel
// to the next a channel then waits on three table reads: 7 x the error, S / 48, the next entry.
// The static_asserts below hold S and base + S / 48 within the tables.
enum : int32_t {
    KERNEL_WEIGHTS = 48,
    SUM_LIMIT = KERNEL_WEIGHTS * 63,
    QUANTISE_LOWEST = -64,
    QUANTISE_ENTRIES = 320 + 64,
};

// The largest error, in size, of quantising 0..255 to levels v >> shift of `step` each.
constexpr int32_t LargestQuantiseError(int32_t shift, int32_t step) {
    int32_t largest = 0;
    for (int32_t v = 0; v < 256; v++) {
        const int32_t error = v - step * (v >> shift);
        if (error > largest) largest = error;
        if (-error > largest) largest = -error;
    }
    return largest;
}
static_assert(KERNEL_WEIGHTS * LargestQuantiseError(5, 36) <= SUM_LIMIT &&
                  KERNEL_WEIGHTS * LargestQuantiseError(6, 85) <= SUM_LIMIT,
              "every weighted sum of twelve errors lies within the division table");
// Black with any diffused error stays at level 0: the mean of errors stays below the first level.
static_assert(LargestQuantiseError(5, 36) < 32 && LargestQuantiseError(6, 85) < 64,
              "rows of black need not be fed");
static_assert(QUANTISE_LOWEST <= -(SUM_LIMIT / KERNEL_WEIGHTS) &&
                  255 + SUM_LIMIT / KERNEL_WEIGHTS < QUANTISE_LOWEST + QUANTISE_ENTRIES,
              "base + S / 48 lies within the quantise tables");

// What quantising one channel gives for x = base + S / 48, in one word read at once: 2^32 x 7 x
// the error (the weight of the next pixel's nearest neighbour) + a low half that holds, for
// 3-3-2, the error as a byte in its channel's lane and the level, already in its place in the
// destination byte, in the fourth lane, laid out so that the three channels' low halves OR-ed
// together are the pixel's four error lanes as they lie in memory; for gray, the error in bits
// 0 to 7 and the level in bits 8 to 15.
static inline intptr_t QuantisedErrorTimes7(int64_t entry) {
    return (intptr_t)(entry >> 32);
}

// Built once, by the first ReducerInit of the module.
struct DitherTables {
    int8_t divideBy48[2 * SUM_LIMIT + 1];  // S / 48 toward zero, from S = -SUM_LIMIT
    int64_t red[QUANTISE_ENTRIES];         // 8 levels of 36, in bits 5 to 7
    int64_t green[QUANTISE_ENTRIES];       // 8 levels of 36, in bits 2 to 4
    int64_t blue[QUANTISE_ENTRIES];        // 4 levels of 85, in bits 0 and 1
    int64_t gray[QUANTISE_ENTRIES];        // 4 levels of 85
    int32_t built;
};
static DitherTables Tables;
static_assert(sizeof Tables.divideBy48 == 2 * SUM_LIMIT + 1, "one entry for every S");

// Levels v >> shift of the clamped x, each standing for the colour step x level: the error goes
// to bits errorAt, the level moved by `position` to bits levelAt.
REDUCER_OUT_OF_LINE static void BuildQuantiseTable(int64_t* table, int32_t shift, int32_t step,
                                                   int32_t position, uint32_t errorAt,
                                                   uint32_t levelAt) {
    for (int32_t i = 0; i < QUANTISE_ENTRIES; i++) {
        int32_t v = i + QUANTISE_LOWEST;
        v = v < 0 ? 0 : (v > 255 ? 255 : v);
        int32_t level = v >> shift;
        int32_t error = v - step * level;
        uint32_t low = (uint32_t)(uint8_t)error << errorAt;
        low |= (uint32_t)(level << position) << levelAt;
        table[i] = (int64_t)(7 * error) * 4294967296 + (int64_t)low;
    }
}

static void BuildDitherTables() {
    if (Tables.built) return;
    // Quotient q toward zero: S from 48 q to 48 q + 47 for q > 0, the mirror image for q < 0,
    // and -47 to 47 for 0.
    int8_t* divide = Tables.divideBy48 + SUM_LIMIT;
    for (int32_t q = 1; q <= 63; q++) {
        memset(divide + 48 * q, q, q < 63 ? 48 : 1);
        memset(divide - 48 * q - (q < 63 ? 47 : 0), -q, q < 63 ? 48 : 1);
    }
    memset(divide - 47, 0, 95);
    // Which bits of a 32-bit word land in each of its four bytes in memory.
    const uint32_t probe = 0x03020100u;
    uint8_t order[4];
    memcpy(order, &probe, 4);
    BuildQuantiseTable(Tables.red, 5, 36, 5, 8u * order[0], 8u * order[3]);
    BuildQuantiseTable(Tables.green, 5, 36, 2, 8u * order[1], 8u * order[3]);
    BuildQuantiseTable(Tables.blue, 6, 85, 0, 8u * order[2], 8u * order[3]);
    BuildQuantiseTable(Tables.gray, 6, 85, 0, 0, 8);
    Tables.built = 1;
}

static uint8_t* DestinationRow(const ColourReducer* reducer, int32_t row) {
    int32_t r = reducer->bottomUp ? row : reducer->dstHeight - 1 - row;
    return reducer->dstBits + (size_t)r * (size_t)reducer->dstStride;
}

// A finished row's errors reach the row below with the weights 3 5 7 5 3 and the row after it
// with 1 3 5 3 1, over pixels j - 2 to j + 2; the first weights are the second plus 2 x each
// error. The row below gets its sums complete, the one after that the part this row gives.
// Every value stays within 48 x [-63, 63], well inside 16 bits.
//
// `centre` points at the first pixel's lanes, with two pixels of margin on either side; the
// blocks are distinct, which lets the compiler vectorise the loop without checks. One copy
// serves every caller, `c` (lanes a pixel) being read from the reducer.
REDUCER_OUT_OF_LINE static void SpreadRowErrors(const int8_t* __restrict centre, int32_t c,
                                                int32_t lanes, int16_t* __restrict next,
                                                int16_t* __restrict later) {
    for (int32_t i = 0; i < lanes; i++) {
        // Two errors add up within a signed byte, so the pairs are formed before widening.
        int8_t outer = (int8_t)(centre[i - 2 * c] + centre[i + 2 * c]);
        int8_t inner = (int8_t)(centre[i - c] + centre[i + c]);
        int16_t twoBelow = (int16_t)(outer + 3 * inner + 5 * centre[i]);
        next[i] = (int16_t)(twoBelow + 2 * (outer + inner + centre[i]) + later[i]);
        later[i] = twoBelow;
    }
}

static void PassErrorsOn(ColourReducer* reducer) {
    const int32_t c = reducer->lanes;
    SpreadRowErrors(reducer->errRow + 2 * c, c, c * reducer->dstWidth, reducer->sumsNext,
                    reducer->sumsLater);
}

// The entry of one channel: `table` is the channel's table moved to its base, `above` the sum
// from the rows above plus 5 x e(j-2), `back7` 7 x e(j-1). Pointer-wide values, so the chain from
// one pixel to the next holds no sign extensions.
static inline int64_t DitherChannel(const int64_t* table, intptr_t above, intptr_t back7) {
    VB_ASSERT(above + back7 >= -SUM_LIMIT && above + back7 <= SUM_LIMIT);
    return table[Tables.divideBy48[SUM_LIMIT + above + back7]];
}

// 7 x the errors of the pixel before, per channel (0 for the first pixel: the margin).
struct RgbCarry {
    intptr_t red, green, blue;
};

// Pixel j of a 3-3-2 row: `bgr` blue, green, red per pixel, `sums` and `errors` four lanes a
// pixel (errors with its margin before it). The destination byte goes to the fourth error lane
// (see CopyLevels), which keeps the destination rows out of the pixel loops.
static inline void DitherRgbPixel(const uint8_t* bgr, const int16_t* sums, int8_t* errors,
                                  intptr_t j, RgbCarry* back) {
    const uint8_t* pixel = bgr + 3 * j;
    const int16_t* above = sums + 4 * j;
    int8_t* e = errors + 4 * j;
    const int64_t red = DitherChannel(Tables.red - QUANTISE_LOWEST + pixel[2],
                                      (intptr_t)above[0] + 5 * (intptr_t)e[-8], back->red);
    const int64_t green = DitherChannel(Tables.green - QUANTISE_LOWEST + pixel[1],
                                        (intptr_t)above[1] + 5 * (intptr_t)e[-7], back->green);
    const int64_t blue = DitherChannel(Tables.blue - QUANTISE_LOWEST + pixel[0],
                                       (intptr_t)above[2] + 5 * (intptr_t)e[-6], back->blue);
    const uint32_t lanes = (uint32_t)(red | green | blue);
    memcpy(e, &lanes, 4);
    back->red = QuantisedErrorTimes7(red);
    back->green = QuantisedErrorTimes7(green);
    back->blue = QuantisedErrorTimes7(blue);
}

// The destination bytes of a 3-3-2 row out of the fourth error lanes.
static void CopyLevels(const int8_t* errors, int32_t width, uint8_t* destination) {
    for (int32_t j = 0; j < width; j++) destination[j] = (uint8_t)errors[4 * j + 3];
}

// 7 x the error of the pixel before, and the levels of the destination byte being filled, two
// bits each (pixel 0 of a byte in its two most significant bits).
struct GrayCarry {
    intptr_t back7;
    uint32_t packed;
};

// Pixel j of a 2-bit gray row, one lane a pixel.
template <typename Input>
static inline void DitherGrayPixel(const uint8_t* row, const int16_t* sums, int8_t* errors,
                                   uint8_t* destination, intptr_t j, GrayCarry* carry) {
    const int64_t gray =
        DitherChannel(Tables.gray - QUANTISE_LOWEST + Input::At(row, j),
                      (intptr_t)sums[j] + 5 * (intptr_t)errors[j - 2], carry->back7);
    errors[j] = (int8_t)(uint8_t)gray;
    carry->back7 = QuantisedErrorTimes7(gray);
    carry->packed = (carry->packed << 2) | (uint8_t)(gray >> 8);
    if ((j & 3) == 3) {
        destination[j >> 2] |= (uint8_t)carry->packed;
        carry->packed = 0;
    }
}

// The last byte of a row whose width is not a multiple of 4.
static void FinishGrayRow(uint8_t* destination, int32_t width, const GrayCarry* carry) {
    if ((width & 3) != 0) {
        destination[width >> 2] |= (uint8_t)(carry->packed << (2 * (4 - (width & 3))));
    }
}

// Pixels [from, to) of one gray row alone.
template <typename Input>
REDUCER_OUT_OF_LINE static void DitherGrayPixels(const uint8_t* row, const int16_t* sums,
                                                 int8_t* errors, uint8_t* destination, int32_t from,
                                                 int32_t to, GrayCarry* carry) {
    for (int32_t j = from; j < to; j++) {
        DitherGrayPixel<Input>(row, sums, errors, destination, j, carry);
    }
}

template <typename Input>
static void DitherGray2Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    uint8_t* destination = DestinationRow(reducer, reducer->dstRow);
    GrayCarry carry = {0, 0};
    DitherGrayPixels<Input>(reducer->avgRow, reducer->sumsNext, reducer->errRow + 2, destination, 0,
                            width, &carry);
    FinishGrayRow(destination, width, &carry);
    PassErrorsOn(reducer);
}

void WriteGray2Row(ColourReducer* reducer) {
    DitherGray2Row<LumaOfBgr>(reducer);
}

void WriteGray2RowFromIndices(ColourReducer* reducer) {
    DitherGray2Row<LumaOfIndices>(reducer);
}

// Pixels [from, to) of one 3-3-2 row alone.
REDUCER_OUT_OF_LINE static void DitherRgbPixels(const uint8_t* bgr, const int16_t* sums,
                                                int8_t* errors, int32_t from, int32_t to,
                                                RgbCarry* back) {
    for (int32_t j = from; j < to; j++) DitherRgbPixel(bgr, sums, errors, j, back);
}

void WriteRgb332Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    int8_t* errors = reducer->errRow + 8;
    RgbCarry back = {0, 0, 0};
    DitherRgbPixels(reducer->avgRow, reducer->sumsNext, errors, 0, width, &back);
    CopyLevels(errors, width, DestinationRow(reducer, reducer->dstRow));
    PassErrorsOn(reducer);
}

// Two rows at once, y (in avgRow) and y + 1 (in `second`), so that the processor works on two
// independent chains of table reads. Row y + 1 runs PAIR_LEAD pixels behind row y; before each
// stretch of PAIR_STRETCH pixels of row y + 1, SpreadRowErrors completes the sums of that
// stretch in place from row y's errors, which are done (the asserts below).
//
// Both rows keep their errors in errRow, row y + 1 PAIR_BACK pixels to the left of its place
// (into the wider left margin), behind every error of row y still to be read; so one pointer
// serves both rows, and the loop keeps its registers for the chains.
enum : int32_t { PAIR_STRETCH = 128, PAIR_LEAD = PAIR_STRETCH + 2, PAIR_BACK = 3 };
// The kernel reads errors up to two pixels on either side of its own.
static_assert(PAIR_LEAD >= PAIR_STRETCH + 2,
              "row y is done through the last error (j + 2) a stretch's sums read");
static_assert(PAIR_BACK >= 2,
              "row y + 1's errors stay left of the first error (j - 2) the next stretch reads");

// Row y is done through pixel `firstDone` - 1 as the stretch from `start` on begins.
static inline bool StretchMayBegin(int32_t width, int32_t start, int32_t count, int32_t firstDone) {
    const int32_t needed = start + count + 2 < width ? start + count + 2 : width;
    return firstDone >= needed;
}

// Moves row y + 1's errors to their place, where the next row and the pass expect them, and
// clears the margin they leave.
static void SettleSecondRow(int8_t* errors, int32_t lanes, int32_t width) {
    memmove(errors, errors - lanes * PAIR_BACK, (size_t)lanes * (size_t)width);
    memset(errors - lanes * PAIR_BACK, 0, (size_t)lanes * PAIR_BACK);
}

// Pixels of row y + 1 that row y goes along with in the stretch from `start` on.
static inline int32_t PixelsAlongside(int32_t width, int32_t start, int32_t count) {
    int32_t along = width - start - PAIR_LEAD;
    return along < 0 ? 0 : (along < count ? along : count);
}

template <typename Input>
static void DitherGray2Pair(ColourReducer* reducer, const uint8_t* second) {
    const int32_t width = reducer->dstWidth;
    const uint8_t* first = reducer->avgRow;
    int16_t* sums = reducer->sumsNext;
    int8_t* errorsFirst = reducer->errRow + 2;
    int8_t* errorsSecond = errorsFirst - PAIR_BACK;
    uint8_t* destinationFirst = DestinationRow(reducer, reducer->dstRow);
    uint8_t* destinationSecond = DestinationRow(reducer, reducer->dstRow + 1);
    GrayCarry carryFirst = {0, 0}, carrySecond = {0, 0};
    const int32_t head = width < PAIR_LEAD ? width : PAIR_LEAD;
    DitherGrayPixels<Input>(first, sums, errorsFirst, destinationFirst, 0, head, &carryFirst);
    int32_t firstDone = head;
    for (int32_t start = 0; start < width; start += PAIR_STRETCH) {
        const int32_t count = width - start < PAIR_STRETCH ? width - start : PAIR_STRETCH;
        VB_ASSERT(StretchMayBegin(width, start, count, firstDone));
        SpreadRowErrors(errorsFirst + start, reducer->lanes, count, sums + start,
                        reducer->sumsLater + start);
        const int32_t along = PixelsAlongside(width, start, count);
        for (int32_t i = 0; i < along; i++) {
            DitherGrayPixel<Input>(first, sums, errorsFirst, destinationFirst,
                                   start + PAIR_LEAD + i, &carryFirst);
            DitherGrayPixel<Input>(second, sums, errorsSecond, destinationSecond, start + i,
                                   &carrySecond);
        }
        firstDone += along;
        DitherGrayPixels<Input>(second, sums, errorsSecond, destinationSecond, start + along,
                                start + count, &carrySecond);
    }
    FinishGrayRow(destinationFirst, width, &carryFirst);
    FinishGrayRow(destinationSecond, width, &carrySecond);
    SettleSecondRow(errorsFirst, 1, width);
    PassErrorsOn(reducer);
}

void WriteGray2Pair(ColourReducer* reducer, const uint8_t* second) {
    DitherGray2Pair<LumaOfBgr>(reducer, second);
}

void WriteGray2PairFromIndices(ColourReducer* reducer, const uint8_t* second) {
    DitherGray2Pair<LumaOfIndices>(reducer, second);
}

void WriteRgb332Pair(ColourReducer* reducer, const uint8_t* second) {
    const int32_t width = reducer->dstWidth;
    const uint8_t* first = reducer->avgRow;
    int16_t* sums = reducer->sumsNext;
    int8_t* errorsFirst = reducer->errRow + 8;
    int8_t* errorsSecond = errorsFirst - 4 * PAIR_BACK;
    uint8_t* destinationFirst = DestinationRow(reducer, reducer->dstRow);
    RgbCarry backFirst = {0, 0, 0}, backSecond = {0, 0, 0};
    const int32_t head = width < PAIR_LEAD ? width : PAIR_LEAD;
    DitherRgbPixels(first, sums, errorsFirst, 0, head, &backFirst);
    int32_t firstDone = head;
    for (int32_t start = 0; start < width; start += PAIR_STRETCH) {
        const int32_t count = width - start < PAIR_STRETCH ? width - start : PAIR_STRETCH;
        VB_ASSERT(StretchMayBegin(width, start, count, firstDone));
        SpreadRowErrors(errorsFirst + 4 * start, reducer->lanes, 4 * count, sums + 4 * start,
                        reducer->sumsLater + 4 * start);
        // Row y + 1 is about to write over these pixels of row y.
        CopyLevels(errorsFirst + 4 * start, count, destinationFirst + start);
        const int32_t along = PixelsAlongside(width, start, count);
        for (int32_t i = 0; i < along; i++) {
            DitherRgbPixel(first, sums, errorsFirst, start + PAIR_LEAD + i, &backFirst);
            DitherRgbPixel(second, sums, errorsSecond, start + i, &backSecond);
        }
        firstDone += along;
        DitherRgbPixels(second, sums, errorsSecond, start + along, start + count, &backSecond);
    }
    CopyLevels(errorsSecond, width, DestinationRow(reducer, reducer->dstRow + 1));
    SettleSecondRow(errorsFirst, 4, width);
    PassErrorsOn(reducer);
}

// Eight rows at once in 16-bit vector lanes, one row a lane, for 3-3-2 at equal sizes. Row y + 1
// at column x needs row y only through x + 2, so with each row WAVE_SKEW columns behind the one
// above, the eight pixels of a step are independent: lane k works on column t - 3k at step t.
// The errors of the last eight steps then hold every neighbour the kernel reads: in lane k, the
// pixel's own row two and one steps back; in lane k - 1, the row above at x + 2 down to x - 2
// one to five steps back; in lane k - 2, the row two above, four to eight steps back. Lanes 0
// and 1 take the rows above the group from sumsNext and sumsLater, and lanes 6 and 7 leave them
// for the next group, as PassErrorsOn would.
//
// The rows are held as they come, blue, green, red, each with WAVE_DRAIN pixels of margin on
// either side for the lanes outside their rows to read (waveIn); the levels come out laid out by
// step (waveOut: per step, eight destination bytes) and go to their rows once the group is done.
enum : int32_t {
    WAVE_ROWS = 8,
    WAVE_SKEW = 3,
    // Steps before the last row starts, and before the next group's sums are all out.
    WAVE_LAG = WAVE_SKEW * (WAVE_ROWS - 1),
    WAVE_DRAIN = WAVE_LAG + 2 * WAVE_SKEW,
    // Narrower rows would spend most steps filling and draining the lanes.
    WAVE_MIN_WIDTH = 64,
};
static_assert(WAVE_SKEW >= 3, "the row above is done through x + 2 a step before x is needed");
static_assert(WAVE_MIN_WIDTH >= WAVE_DRAIN, "the steps between the edges have every lane at work");

// Bytes of a held row: its pixels, the margins, and one spare byte for the 4-byte reads. Lane k
// reads columns t - 3k for t from 0 to width + WAVE_DRAIN - 1.
static_assert(WAVE_DRAIN >= WAVE_LAG, "the left margin holds the columns of the lanes not begun");
static inline int64_t WaveRowBytes(int64_t width) {
    return 3 * (width + 2 * WAVE_DRAIN) + 1;
}

// S / 48 toward zero as the vector loop takes it: a multiply-high by 21846 / 2^16 (1/3 and a
// little), a shift by 4 (floor), plus one for negative S, exact over every S the kernel gives.
constexpr bool VectorDivisionIsExact() {
    for (int32_t s = -SUM_LIMIT; s <= SUM_LIMIT; s++) {
        const int32_t high = (s * 21846) >> 16;
        if ((high >> 4) - (s >> 15) != s / KERNEL_WEIGHTS) return false;
    }
    return true;
}
static_assert(VectorDivisionIsExact(), "the vector division gives the table's quotients");

// Groups of eight where the vector loop exists and the fast paths are chosen.
static bool UsesWaveFront(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth,
                          int32_t dstHeight, int32_t dstBitCount) {
#if defined(REDUCER_WAVE)
    const int32_t paths = ChosenDecodePaths();
    return dstBitCount == 8 && srcWidth == dstWidth && srcHeight == dstHeight &&
           dstWidth >= WAVE_MIN_WIDTH &&
           (paths == DECODE_PATHS_FASTEST || paths == DECODE_PATHS_NO_SSSE3);
#else
    (void)srcWidth, (void)srcHeight, (void)dstWidth, (void)dstHeight, (void)dstBitCount;
    return false;
#endif
}

#if defined(REDUCER_WAVE)
// Per channel, in rings indexed by the step's low bits: the errors of the last eight steps,
// the sums of each two neighbouring errors, and the two-rows-below sums (weights 1 3 5 3 1 over
// the row above) of the last three; and the sum of the last five errors.
struct WaveHistory {
    __m128i errors[WAVE_ROWS][3];
    __m128i pairs[WAVE_ROWS][3];  // errors of the step and the one before
    __m128i twoBelow[WAVE_ROWS][3];
    __m128i lastFive[3];
};

// A channel of 8 levels of 36 (red at bits 5 to 7, green at bits 2 to 4, as the destination
// byte holds them) or 4 levels of 85 (blue, bits 0 and 1): the level in its place and the error
// of the clamped x.
template <int32_t LevelAt>
static inline __m128i QuantiseWave(__m128i x, __m128i* error) {
    if (LevelAt == 0) {
        const __m128i level = _mm_srli_epi16(x, 6);
        *error = _mm_sub_epi16(x, _mm_mullo_epi16(level, _mm_set1_epi16(85)));
        return level;
    }
    // 32 x level, and x - 36 x level = (x - 32 x level) - 4 x level.
    const __m128i high = _mm_and_si128(x, _mm_set1_epi16(0xE0));
    const __m128i fourTimes = _mm_srli_epi16(high, 3);
    *error = _mm_sub_epi16(_mm_sub_epi16(x, high), fourTimes);
    return LevelAt == 5 ? high : fourTimes;
}

// One step of channel `c` at ring position `phase`: `pixel` the eight values, `inject` the sums
// from above the group in lanes 0 and 1, `active` the lanes inside their rows. Returns the
// level in its place; lane 7 of `next` and `later` gets what the group's last rows give the
// next group's first and second row.
template <int32_t LevelAt>
static inline __m128i WaveChannelStep(WaveHistory* history, intptr_t phase, int32_t c,
                                      __m128i pixel, __m128i inject, __m128i active,
                                      __m128i* next, __m128i* later) {
    const __m128i e1 = history->errors[(phase - 1) & 7][c];
    const __m128i e5 = history->errors[(phase - 5) & 7][c];
    const __m128i pair1 = history->pairs[(phase - 1) & 7][c];  // e1 + e2
    const __m128i p3 = history->twoBelow[(phase - 3) & 7][c];
    // Over the row above, x + 2 down to x - 2 in e1 to e5 (one lane to the left): 1 3 5 3 1
    // is the five plus twice e2 + 2 e3 + e4, and 3 5 7 5 3 that plus twice the five.
    const __m128i all = history->lastFive[c];
    const __m128i middle =
        _mm_add_epi16(history->pairs[(phase - 2) & 7][c], history->pairs[(phase - 3) & 7][c]);
    const __m128i twoBelow = _mm_add_epi16(all, _mm_add_epi16(middle, middle));
    const __m128i below = _mm_add_epi16(twoBelow, _mm_add_epi16(all, all));
    history->twoBelow[phase & 7][c] = twoBelow;
    // The rows above, a lane to the left: the row below's complete sums in this lane. And the
    // pixel's own row: 7 e1 + 5 e2 = 5 (e1 + e2) + 2 e1.
    *next = _mm_add_epi16(below, _mm_slli_si128(p3, 2));
    __m128i sum = _mm_add_epi16(_mm_slli_si128(*next, 2), inject);
    sum = _mm_add_epi16(sum, _mm_add_epi16(e1, e1));
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(pair1, _mm_set1_epi16(5)));
    const __m128i quotient =
        _mm_sub_epi16(_mm_srai_epi16(_mm_mulhi_epi16(sum, _mm_set1_epi16(21846)), 4),
                      _mm_srai_epi16(sum, 15));
    __m128i x = _mm_add_epi16(pixel, quotient);
    x = _mm_min_epi16(_mm_max_epi16(x, _mm_setzero_si128()), _mm_set1_epi16(255));
    __m128i error;
    const __m128i level = QuantiseWave<LevelAt>(x, &error);
    error = _mm_and_si128(error, active);
    history->errors[phase & 7][c] = error;
    history->pairs[phase & 7][c] = _mm_add_epi16(error, e1);
    history->lastFive[c] = _mm_sub_epi16(_mm_add_epi16(all, error), e5);
    *later = p3;
    return level;
}

// Lane 7 of the three channels' vectors, as four 16-bit lanes (the fourth a copy of blue).
static inline __m128i LastLanes(__m128i red, __m128i green, __m128i blue) {
    return _mm_unpackhi_epi32(_mm_unpackhi_epi16(red, green), _mm_unpackhi_epi16(blue, blue));
}

// The sums above the group for step t: lane 0 from sumsNext at column t, lane 1 from sumsLater
// at column t - WAVE_SKEW, one vector a channel; zero outside the row (Edge: either column may
// lie outside it).
template <bool Edge>
static inline void WaveInjection(const int16_t* sumsNext, const int16_t* sumsLater, int32_t width,
                                 intptr_t t, __m128i* red, __m128i* green, __m128i* blue) {
    __m128i first = _mm_setzero_si128(), second = _mm_setzero_si128();
    if (!Edge || t < width) first = _mm_loadl_epi64((const __m128i*)(sumsNext + 4 * t));
    if (!Edge || (t >= WAVE_SKEW && t - WAVE_SKEW < width)) {
        second = _mm_loadl_epi64((const __m128i*)(sumsLater + 4 * (t - WAVE_SKEW)));
    }
    // Red, green and blue pairs of (next, later) in 32-bit lanes 0 to 2.
    const __m128i pairs = _mm_unpacklo_epi16(first, second);
    const __m128i low = _mm_setr_epi32(-1, 0, 0, 0);
    *red = _mm_and_si128(pairs, low);
    *green = _mm_and_si128(_mm_srli_si128(pairs, 4), low);
    *blue = _mm_and_si128(_mm_srli_si128(pairs, 8), low);
}

// The blocks a group works in.
struct WaveBlocks {
    const uint8_t* in;   // held row 0's pixel 0
    intptr_t laneBytes;  // from lane k's pixel to lane k + 1's at the same step
    uint8_t* out;
    int16_t* sumsNext;
    int16_t* sumsLater;
    int32_t width;
};

// Step t at ring position `phase` (t modulo 8). Edge: some lanes may lie outside their rows, and
// the sums in or out may lie outside the row.
template <bool Edge>
static inline void WaveStep(const WaveBlocks& blocks, WaveHistory* history, intptr_t t,
                            intptr_t phase) {
    const int32_t width = blocks.width;
    const __m128i zero = _mm_setzero_si128();
    // Lane k: row k at column t - 3k, three bytes and one more that is dropped. The bytes of
    // the eight words are interleaved until each channel's eight lie together.
    const uint8_t* at = blocks.in + 3 * t;
    const intptr_t lane = blocks.laneBytes;
    auto word = [](const uint8_t* from) {
        int32_t value;
        memcpy(&value, from, 4);
        return _mm_cvtsi32_si128(value);
    };
    const __m128i low =
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(word(at), word(at + lane)),
                           _mm_unpacklo_epi8(word(at + 2 * lane), word(at + 3 * lane)));
    const __m128i high =
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(word(at + 4 * lane), word(at + 5 * lane)),
                           _mm_unpacklo_epi8(word(at + 6 * lane), word(at + 7 * lane)));
    // Eight blues, eight greens; eight reds.
    const __m128i blueGreen = _mm_unpacklo_epi32(low, high);
    const __m128i blueIn = _mm_unpacklo_epi8(blueGreen, zero);
    const __m128i greenIn = _mm_unpackhi_epi8(blueGreen, zero);
    const __m128i redIn = _mm_unpacklo_epi8(_mm_unpackhi_epi32(low, high), zero);
    __m128i injectRed, injectGreen, injectBlue;
    WaveInjection<Edge>(blocks.sumsNext, blocks.sumsLater, width, t, &injectRed, &injectGreen,
                        &injectBlue);
    __m128i active = _mm_set1_epi16(-1);
    if (Edge) {
        // Column t - 3k of lane k within [0, width), from t and t - width held within 16 bits:
        // only the lag of the lanes (at most WAVE_LAG) decides near either edge.
        const __m128i laneLag = _mm_setr_epi16(0, 3, 6, 9, 12, 15, 18, 21);
        static_assert(WAVE_SKEW == 3 && WAVE_ROWS == 8, "laneLag holds 3k for the eight lanes");
        const intptr_t drain = WAVE_DRAIN;
        const intptr_t fromStart = t < drain ? t : drain;
        const intptr_t fromEnd = t - width > -drain ? t - width : -drain;
        const __m128i before =
            _mm_cmplt_epi16(_mm_sub_epi16(_mm_set1_epi16((int16_t)fromStart), laneLag), zero);
        const __m128i inside =
            _mm_cmplt_epi16(_mm_sub_epi16(_mm_set1_epi16((int16_t)fromEnd), laneLag), zero);
        active = _mm_andnot_si128(before, inside);
    }
    __m128i nextRed, nextGreen, nextBlue, laterRed, laterGreen, laterBlue;
    const __m128i red =
        WaveChannelStep<5>(history, phase, 0, redIn, injectRed, active, &nextRed, &laterRed);
    const __m128i green =
        WaveChannelStep<2>(history, phase, 1, greenIn, injectGreen, active, &nextGreen,
                               &laterGreen);
    const __m128i blue =
        WaveChannelStep<0>(history, phase, 2, blueIn, injectBlue, active, &nextBlue,
                               &laterBlue);
    const __m128i levels = _mm_or_si128(_mm_or_si128(red, green), blue);
    _mm_storel_epi64((__m128i*)(blocks.out + WAVE_ROWS * t), _mm_packus_epi16(levels, levels));
    // The next group's rows: the first at column t - WAVE_LAG - 3, the second 3 further back.
    const intptr_t nextAt = t - (WAVE_LAG + WAVE_SKEW);
    const intptr_t laterAt = nextAt - WAVE_SKEW;
    if (!Edge || (nextAt >= 0 && nextAt < width)) {
        _mm_storeh_pd((double*)(blocks.sumsNext + 4 * nextAt),
                      _mm_castsi128_pd(LastLanes(nextRed, nextGreen, nextBlue)));
    }
    if (!Edge || (laterAt >= 0 && laterAt < width)) {
        _mm_storeh_pd((double*)(blocks.sumsLater + 4 * laterAt),
                      _mm_castsi128_pd(LastLanes(laterRed, laterGreen, laterBlue)));
    }
}

REDUCER_OUT_OF_LINE static void WaveEdgeSteps(const WaveBlocks& blocks, WaveHistory* history,
                                              intptr_t from, intptr_t to) {
    for (intptr_t t = from; t < to; t++) WaveStep<true>(blocks, history, t, t & 7);
}

// Every lane inside its row, eight steps a turn so that the ring positions are constants.
enum : int32_t { WAVE_INNER_START = (WAVE_DRAIN + 7) & ~7 };
static_assert(WAVE_MIN_WIDTH >= WAVE_INNER_START + 8, "the inner steps are a whole turn or more");

REDUCER_OUT_OF_LINE static void WaveInnerSteps(const WaveBlocks& blocks, WaveHistory* history,
                                               intptr_t from, intptr_t to) {
    VB_ASSERT(from % 8 == 0 && to % 8 == 0 && from >= WAVE_DRAIN && to <= blocks.width);
    for (intptr_t t = from; t < to; t += 8) {
        WaveStep<false>(blocks, history, t, 0);
        WaveStep<false>(blocks, history, t + 1, 1);
        WaveStep<false>(blocks, history, t + 2, 2);
        WaveStep<false>(blocks, history, t + 3, 3);
        WaveStep<false>(blocks, history, t + 4, 4);
        WaveStep<false>(blocks, history, t + 5, 5);
        WaveStep<false>(blocks, history, t + 6, 6);
        WaveStep<false>(blocks, history, t + 7, 7);
    }
}

// The eight held rows, dithered into rows dstRow to dstRow + 7.
static void WriteRgb332Wave(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    VB_ASSERT(width >= WAVE_MIN_WIDTH);
    // Row k's pixel t - 3k lies 3 t bytes after row 0's pixel 0 plus k lanes.
    const intptr_t rowBytes = (intptr_t)WaveRowBytes(width);
    const WaveBlocks blocks = {reducer->waveIn + 3 * WAVE_DRAIN, rowBytes - 3 * WAVE_SKEW,
                               reducer->waveOut, reducer->sumsNext, reducer->sumsLater, width};
    WaveHistory history;
    memset(&history, 0, sizeof history);
    const intptr_t innerEnd = width & ~7;
    WaveEdgeSteps(blocks, &history, 0, WAVE_INNER_START);
    WaveInnerSteps(blocks, &history, WAVE_INNER_START, innerEnd);
    WaveEdgeSteps(blocks, &history, innerEnd, width + WAVE_DRAIN);
    for (int32_t k = 0; k < WAVE_ROWS; k++) {
        const uint8_t* from = reducer->waveOut + WAVE_ROWS * WAVE_SKEW * k + k;
        uint8_t* to = DestinationRow(reducer, reducer->dstRow + k);
        for (int32_t x = 0; x < width; x++) to[x] = from[WAVE_ROWS * x];
    }
}
#else
// No reducer holds groups without the vector loop (UsesWaveFront).
static void WriteRgb332Wave(ColourReducer*) {
    VB_ASSERT(false);
}
#endif

// The pixels of held row k.
static uint8_t* HeldWaveRow(const ColourReducer* reducer, int32_t k) {
    return reducer->waveIn + (size_t)k * (size_t)WaveRowBytes(reducer->dstWidth) + 3 * WAVE_DRAIN;
}

// Keeps the row as row k of the group, blue, green, red.
static void HoldWaveRow(ColourReducer* reducer, const uint8_t* row, int32_t k) {
    uint8_t* to = HeldWaveRow(reducer, k);
    const uint8_t* bgr = reducer->directFill(reducer, row, to);
    if (bgr != to) memcpy(to, bgr, (size_t)reducer->heldRowBytes);
}

// The held rows of a group that the rows stopped short of, one at a time through the row writer.
static void WriteHeldWaveRows(ColourReducer* reducer) {
    for (int32_t k = 0; k < reducer->rowHeld; k++) {
        memcpy(reducer->avgRow, HeldWaveRow(reducer, k), (size_t)reducer->heldRowBytes);
        reducer->writeRow(reducer);
        reducer->dstRow++;
    }
    reducer->rowHeld = 0;
}

static void ForgetBlocks(ColourReducer* reducer) {
    reducer->sumRed = nullptr;
    reducer->sumGreen = nullptr;
    reducer->sumBlue = nullptr;
    reducer->columnEnd = nullptr;
    reducer->errRow = nullptr;
    reducer->errBlock = nullptr;
    reducer->sumsNext = nullptr;
    reducer->sumsLater = nullptr;
    reducer->avgRow = nullptr;
    reducer->avgOther = nullptr;
    reducer->waveIn = nullptr;
    reducer->waveOut = nullptr;
}

static void FreeBlocks(ColourReducer* reducer) {
    FreeBlock(reducer->sumRed);
    FreeBlock(reducer->sumGreen);
    FreeBlock(reducer->sumBlue);
    FreeBlock(reducer->columnEnd);
    FreeBlock(reducer->errBlock);
    FreeBlock(reducer->sumsNext);
    FreeBlock(reducer->sumsLater);
    FreeBlock(reducer->avgRow);
    ForgetBlocks(reducer);
}

int32_t ReducerInit(ColourReducer* reducer, int32_t srcWidth, int32_t srcHeight,
                    int32_t srcBitCount, const uint8_t* srcColourTable, int32_t dstWidth,
                    int32_t dstHeight, int32_t dstBitCount, uint8_t* dstBits, int32_t bottomUp) {
    reducer->srcWidth = srcWidth;
    reducer->srcHeight = srcHeight;
    reducer->srcBitCount = srcBitCount;
    reducer->srcColourTable = srcColourTable;
    reducer->dstWidth = dstWidth;
    reducer->dstHeight = dstHeight;
    reducer->dstBitCount = dstBitCount;
    reducer->dstBits = dstBits;
    reducer->bottomUp = bottomUp;
    ForgetBlocks(reducer);
    reducer->srcRowsFed = 0;
    reducer->dstRow = 0;
    reducer->rowsInSum = 0;
    reducer->rowHeld = 0;
    reducer->heldRowBytes = 0;
    reducer->dstStride = 0;
    reducer->lanes = dstBitCount == 2 ? 1 : 4;

    // Only the two writers exist; other depths would write rows of the wrong size.
    if (dstBitCount != 2 && dstBitCount != 8) return 0;
    if (srcWidth < 0 || srcHeight < 0 || dstWidth < 0 || dstHeight < 0) return 0;

    // The average block holds two rows, for the pairs; the error row has PAIR_BACK more pixels
    // of margin on the left.
    uint32_t columnBytes, errorBytes, sumsBytes, averageRowBytes, averageBytes, stride;
    if (!CheckedBlockSize(4, srcWidth, &columnBytes) ||
        !CheckedBlockSize(reducer->lanes, (int64_t)dstWidth + 4 + PAIR_BACK, &errorBytes) ||
        !CheckedBlockSize(2 * reducer->lanes, dstWidth, &sumsBytes) ||
        !CheckedStride(dstWidth, 24, &averageRowBytes) ||
        !CheckedBlockSize(2, averageRowBytes, &averageBytes) ||
        !CheckedStride(dstWidth, dstBitCount, &stride)) {
        return 0;
    }
    // Groups of eight rows also keep their held rows and the levels of every step there.
    uint32_t waveBytes = 0;
    if (UsesWaveFront(srcWidth, srcHeight, dstWidth, dstHeight, dstBitCount) &&
        CheckedBlockSize(WAVE_ROWS, WaveRowBytes(dstWidth) + dstWidth + WAVE_DRAIN, &waveBytes) &&
        (uint64_t)averageBytes + waveBytes < 0x80000000u) {
        averageBytes += waveBytes;
    } else {
        waveBytes = 0;
    }

    // All eight are asked for before any answer is looked at.
    reducer->sumRed = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumGreen = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumBlue = (int32_t*)AllocateBlock(columnBytes);
    reducer->columnEnd = (int32_t*)AllocateBlock(columnBytes);
    reducer->errBlock = (int8_t*)AllocateBlock(errorBytes);
    // The pair's error rows share the block, which starts at the lower of the two.
    if (reducer->errBlock) reducer->errRow = reducer->errBlock + reducer->lanes * PAIR_BACK;
    reducer->sumsNext = (int16_t*)AllocateBlock(sumsBytes);
    reducer->sumsLater = (int16_t*)AllocateBlock(sumsBytes);
    reducer->avgRow = (uint8_t*)AllocateBlock(averageBytes);
    if (!reducer->sumRed || !reducer->sumGreen || !reducer->sumBlue || !reducer->columnEnd ||
        !reducer->errBlock || !reducer->sumsNext || !reducer->sumsLater || !reducer->avgRow) {
        FreeBlocks(reducer);
        return 0;
    }
    reducer->avgOther = reducer->avgRow + averageRowBytes;
    if (waveBytes) {
        // The lanes outside their rows read the margins, zero as the block came (and drop what
        // they give).
        reducer->waveIn = reducer->avgOther + averageRowBytes;
        reducer->waveOut = reducer->waveIn + (size_t)WAVE_ROWS * (size_t)WaveRowBytes(dstWidth);
    }

    // Destination column boundary at the right edge of each source column, rounded to the
    // nearest column; 64-bit because dstWidth * (i + 1) leaves 32 bits for wide pictures.
    for (int32_t i = 0; i < srcWidth; i++) {
        reducer->columnEnd[i] = (int32_t)(((int64_t)dstWidth * (i + 1) + srcWidth / 2) / srcWidth);
    }
    reducer->dstStride = (int32_t)stride;

    switch (srcBitCount) {
        case 1:
            reducer->accumulate = AccumulateRow1;
            break;
        case 2:
            reducer->accumulate = AccumulateRow2;
            break;
        case 4:
            reducer->accumulate = AccumulateRow4;
            break;
        case 8:
            reducer->accumulate = AccumulateRow8;
            break;
        default:
            reducer->accumulate = AccumulateRow24;
            break;
    }
    reducer->writeRow = dstBitCount == 2 ? WriteGray2Row : WriteRgb332Row;
    reducer->writePair = dstBitCount == 2 ? WriteGray2Pair : WriteRgb332Pair;
    reducer->heldRowBytes = 3 * dstWidth;
    BuildDitherTables();

    const bool packed = srcBitCount == 1 || srcBitCount == 2 || srcBitCount == 4;
    if (dstBitCount == 2 && srcBitCount == 8) {
        for (uint32_t k = 0; k < 256; k++) {
            LumaOfIndex[k] = Luma(srcColourTable + 4u * k);
        }
    }
    // Checked mode: every row through the sums, the average and the single-row writers.
    if (srcWidth == dstWidth && srcHeight == dstHeight &&
        ChosenDecodePaths() != DECODE_PATHS_PLAIN) {
        if (dstBitCount == 2 && srcBitCount == 8) {
            reducer->directFill = FillIndicesFrom8;
            reducer->writeRow = WriteGray2RowFromIndices;
            reducer->writePair = WriteGray2PairFromIndices;
            reducer->heldRowBytes = dstWidth;
        } else {
            reducer->directFill = srcBitCount == 8 ? FillAverageFrom8
                                  : packed         ? FillAverageFromIndexed
                                                   : FillAverageFrom24;
        }
    } else {
        reducer->directFill = nullptr;
    }
    return 1;
}

// Averages the gathered band into avgRow: each output pixel is the mean of the source columns
// up to the next change of the column boundary, divided first by the rows, then by the columns.
static void BuildAverageRow(ColourReducer* reducer) {
    const int32_t rows = reducer->rowsInSum;
    const int32_t* columnEnd = reducer->columnEnd;
    uint8_t* out = reducer->avgRow;
    int64_t red = 0, green = 0, blue = 0;
    int32_t columns = 0;
    int32_t edge = 0;
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        red += reducer->sumRed[i];
        green += reducer->sumGreen[i];
        blue += reducer->sumBlue[i];
        columns++;
        if (columnEnd[i] != edge) {
            // The boundaries only grow and end at dstWidth, so at most dstWidth pixels come out.
            out[0] = (uint8_t)((blue / rows) / columns);
            out[1] = (uint8_t)((green / rows) / columns);
            out[2] = (uint8_t)((red / rows) / columns);
            out += 3;
            edge = columnEnd[i];
            red = green = blue = 0;
            columns = 0;
        }
    }
}

static void WriteHeldRow(ColourReducer* reducer) {
    reducer->writeRow(reducer);
    reducer->dstRow++;
    reducer->rowHeld = 0;
}

int32_t ReducerFeedRow(ColourReducer* reducer, const uint8_t* row) {
    // Rows beyond the picture would take the boundary past the destination block.
    if (reducer->srcRowsFed >= reducer->srcHeight) return 1;

    if (reducer->waveIn) {
        reducer->srcRowsFed++;
        HoldWaveRow(reducer, row, reducer->rowHeld);
        reducer->rowHeld++;
        if (reducer->rowHeld == WAVE_ROWS) {
            WriteRgb332Wave(reducer);
            reducer->dstRow += WAVE_ROWS;
            reducer->rowHeld = 0;
        } else if (reducer->srcRowsFed == reducer->srcHeight) {
            WriteHeldWaveRows(reducer);
        }
        return 1;
    }
    if (reducer->directFill) {
        reducer->srcRowsFed++;
        if (reducer->rowHeld) {
            reducer->writePair(reducer, reducer->directFill(reducer, row, reducer->avgOther));
            reducer->dstRow += 2;
            reducer->rowHeld = 0;
            return 1;
        }
        // The caller may reuse its row once this returns.
        const uint8_t* input = reducer->directFill(reducer, row, reducer->avgRow);
        VB_ASSERT(reducer->avgOther - reducer->avgRow >= reducer->heldRowBytes);
        if (input != reducer->avgRow) {
            memcpy(reducer->avgRow, input, (uint32_t)reducer->heldRowBytes);
        }
        reducer->rowHeld = 1;
        if (reducer->srcRowsFed == reducer->srcHeight) WriteHeldRow(reducer);
        return 1;
    }

    reducer->accumulate(reducer, row);
    reducer->rowsInSum++;
    int32_t boundary = (int32_t)(((int64_t)reducer->dstHeight * (reducer->srcRowsFed + 1) +
                                  reducer->srcHeight / 2) /
                                 reducer->srcHeight);
    if (boundary != reducer->dstRow) {
        BuildAverageRow(reducer);
        reducer->writeRow(reducer);
        reducer->dstRow = boundary;
        uint32_t columnBytes = 4u * (uint32_t)reducer->srcWidth;
        memset(reducer->sumRed, 0, columnBytes);
        memset(reducer->sumGreen, 0, columnBytes);
        memset(reducer->sumBlue, 0, columnBytes);
        reducer->rowsInSum = 0;
    }
    reducer->srcRowsFed++;
    return 1;
}

int32_t ReducerRelease(ColourReducer* reducer) {
    if (reducer->rowHeld) {
        if (reducer->waveIn) {
            WriteHeldWaveRows(reducer);
        } else {
            WriteHeldRow(reducer);
        }
    }
    FreeBlocks(reducer);
    return 1;
}
