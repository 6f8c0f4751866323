// Resampling and error-diffusion dithering of source rows into 2-bit gray or 3-3-2 DIB rows.
#include "tga/colour_reducer.h"

#include <string.h>

#include "framework/bytes.h"
#include "platform/platform.h"

ReducerAccumulator CurrentAccumulator = nullptr;
ReducerRowWriter CurrentRowWriter = nullptr;

// With equal sizes every column map entry is i + 1 and every row is written as soon as it is
// fed, alone in its band, so the averaged row is the source row's colours unchanged. This slot
// fills avgRow from the source row directly then; it is null when the sizes differ.
typedef void (*ReducerDirectFill)(ColourReducer* reducer, const uint8_t* row);
static ReducerDirectFill CurrentDirectFill = nullptr;

// Margin of two pixels on either side of each error row.
enum : int32_t { ERROR_MARGIN_BYTES = 6 };

static inline uint32_t ErrorRowBytes(const ColourReducer* reducer) {
    return 3u * (uint32_t)reducer->dstWidth + 2u * ERROR_MARGIN_BYTES;
}

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

static void FillAverageFrom24(ColourReducer* reducer, const uint8_t* row) {
    memcpy(reducer->avgRow, row, 3u * (uint32_t)reducer->srcWidth);
}

// Indices of 8 bits: one byte a pixel.
static void FillAverageFrom8(ColourReducer* reducer, const uint8_t* row) {
    uint8_t* out = reducer->avgRow;
    for (int32_t i = 0; i < reducer->srcWidth; i++) {
        const uint8_t* entry = reducer->srcColourTable + 4u * row[i];
        out[0] = entry[0];
        out[1] = entry[1];
        out[2] = entry[2];
        out += 3;
    }
}

// Indices of 1, 2 or 4 bits, the leftmost pixel in the most significant bits.
static void FillAverageFromIndexed(ColourReducer* reducer, const uint8_t* row) {
    const uint32_t bits = (uint32_t)reducer->srcBitCount;
    const uint32_t mask = (1u << bits) - 1u;
    uint8_t* out = reducer->avgRow;
    for (uint32_t i = 0; i < (uint32_t)reducer->srcWidth; i++) {
        uint32_t bit = i * bits;
        uint32_t index = (row[bit >> 3] >> (8u - bits - (bit & 7u))) & mask;
        const uint8_t* entry = reducer->srcColourTable + 4u * index;
        out[0] = entry[0];
        out[1] = entry[1];
        out[2] = entry[2];
        out += 3;
    }
}

// The diffused error of a channel byte p is the weighted sum S of the twelve errors quantised
// before it, divided by 48 toward zero. Ten of the twelve lie in the two rows above and do not
// depend on the row being written, so the writers add them up for a stretch of pixels at once
// (a loop without dependencies from one byte to the next, which the compiler vectorises) and
// keep only the two errors of the current row, 5 x e(j-2) + 7 x e(j-1), in the pixel loop.
enum : int32_t { KERNEL_STRETCH_PIXELS = 256 };

// sums[i] = the part of S from the two rows above for channel byte first + i, counted from the
// first pixel's first byte. Errors are signed bytes, so a sum lies within 40 x [-128, 127].
static void SumErrorsAbove(const int8_t* twoAbove, const int8_t* above, int32_t first,
                           int32_t count, int16_t* sums) {
    const int8_t* t = twoAbove + ERROR_MARGIN_BYTES + first;
    const int8_t* a = above + ERROR_MARGIN_BYTES + first;
    for (int32_t i = 0; i < count; i++) {
        sums[i] = (int16_t)(t[i - 6] + t[i + 6] + 3 * (t[i - 3] + t[i + 3] + a[i - 6] + a[i + 6]) +
                            5 * (t[i] + a[i - 3] + a[i + 3]) + 7 * a[i]);
    }
}

// What quantising one channel gives for x = base + diffused error: the clamped value's level,
// the error left over and 7 times that error (the weight of the next pixel's nearest
// neighbour). S lies within 48 x [-128, 127], so x lies within -128 to 382.
struct QuantisedChannel {
    int16_t errorTimes7;
    int8_t error;
    uint8_t level;
};

enum : int32_t { QUANTISE_LOWEST = -128, QUANTISE_ENTRIES = 382 - QUANTISE_LOWEST + 1 };

struct QuantiseTable {
    QuantisedChannel entry[QUANTISE_ENTRIES];
    // Levels v >> shift, each standing for the colour step x level.
    constexpr QuantiseTable(int32_t shift, int32_t step) : entry() {
        for (int32_t i = 0; i < QUANTISE_ENTRIES; i++) {
            int32_t v = i + QUANTISE_LOWEST;
            v = v < 0 ? 0 : (v > 255 ? 255 : v);
            int32_t level = v >> shift;
            int32_t error = v - step * level;
            entry[i] = QuantisedChannel{(int16_t)(7 * error), (int8_t)error, (uint8_t)level};
        }
    }
};

// Red and green: 8 levels of 36; blue and 2-bit gray: 4 levels of 85.
static constexpr QuantiseTable QuantiseBy36(5, 36);
static constexpr QuantiseTable QuantiseBy85(6, 85);

static uint8_t* DestinationRow(const ColourReducer* reducer) {
    int32_t r = reducer->bottomUp ? reducer->dstRow : reducer->dstHeight - 1 - reducer->dstRow;
    return reducer->dstBits + (size_t)r * (size_t)reducer->dstStride;
}

// The row just written becomes the row above; the one above it the row two above.
static void PassErrorsOn(ColourReducer* reducer) {
    uint32_t bytes = ErrorRowBytes(reducer);
    memcpy(reducer->errTwoAbove, reducer->errAbove, bytes);
    memcpy(reducer->errAbove, reducer->errCurrent, bytes);
}

void WriteGray2Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    int8_t* current = reducer->errCurrent + ERROR_MARGIN_BYTES;
    const uint8_t* average = reducer->avgRow;
    uint8_t* destination = DestinationRow(reducer);
    const QuantisedChannel* quantise = QuantiseBy85.entry - QUANTISE_LOWEST;
    // The errors of pixels j - 2 and j - 1 (the margin for the first pixel), the latter also
    // times 7.
    int32_t errorTwoBack = current[-6];
    int32_t errorBack = current[-3];
    int32_t errorBackTimes7 = 7 * errorBack;
    uint32_t packed = 0;  // the levels of the destination byte being filled, two bits each
    int16_t sumsAbove[3 * KERNEL_STRETCH_PIXELS];
    for (int32_t first = 0; first < width; first += KERNEL_STRETCH_PIXELS) {
        const int32_t count =
            width - first < KERNEL_STRETCH_PIXELS ? width - first : KERNEL_STRETCH_PIXELS;
        SumErrorsAbove(reducer->errTwoAbove, reducer->errAbove, 3 * first, 3 * count, sumsAbove);
        for (int32_t k = 0; k < count; k++) {
            const int32_t j = first + k;
            const uint8_t* pixel = average + 3 * j;
            int32_t base = (77 * pixel[2] + 151 * pixel[1] + 28 * pixel[0]) >> 8;
            int32_t sum = sumsAbove[3 * k] + 5 * errorTwoBack + errorBackTimes7;
            const QuantisedChannel& gray = quantise[base + sum / 48];
            current[3 * j] = gray.error;
            errorTwoBack = errorBack;
            errorBack = gray.error;
            errorBackTimes7 = gray.errorTimes7;
            // Pixel 0 of a byte lies in its two most significant bits.
            packed = (packed << 2) | gray.level;
            if ((j & 3) == 3) {
                destination[j >> 2] |= (uint8_t)packed;
                packed = 0;
            }
        }
    }
    if (width > 0 && (width & 3) != 0) {
        destination[width >> 2] |= (uint8_t)(packed << (2 * (4 - (width & 3))));
    }
    PassErrorsOn(reducer);
}

void WriteRgb332Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    int8_t* current = reducer->errCurrent + ERROR_MARGIN_BYTES;
    const uint8_t* average = reducer->avgRow;
    uint8_t* destination = DestinationRow(reducer);
    const QuantisedChannel* by36 = QuantiseBy36.entry - QUANTISE_LOWEST;
    const QuantisedChannel* by85 = QuantiseBy85.entry - QUANTISE_LOWEST;
    // Per channel, the errors of pixels j - 2 and j - 1 (the margin for the first pixel), the
    // latter also times 7.
    int32_t redTwoBack = current[-6], greenTwoBack = current[-5], blueTwoBack = current[-4];
    int32_t redBack = current[-3], greenBack = current[-2], blueBack = current[-1];
    int32_t redBack7 = 7 * redBack, greenBack7 = 7 * greenBack, blueBack7 = 7 * blueBack;
    int16_t sumsAbove[3 * KERNEL_STRETCH_PIXELS];
    for (int32_t first = 0; first < width; first += KERNEL_STRETCH_PIXELS) {
        const int32_t count =
            width - first < KERNEL_STRETCH_PIXELS ? width - first : KERNEL_STRETCH_PIXELS;
        SumErrorsAbove(reducer->errTwoAbove, reducer->errAbove, 3 * first, 3 * count, sumsAbove);
        for (int32_t k = 0; k < count; k++) {
            const int32_t j = first + k;
            const uint8_t* pixel = average + 3 * j;
            const int16_t* sums = sumsAbove + 3 * k;
            const QuantisedChannel& red =
                by36[pixel[2] + (sums[0] + 5 * redTwoBack + redBack7) / 48];
            const QuantisedChannel& green =
                by36[pixel[1] + (sums[1] + 5 * greenTwoBack + greenBack7) / 48];
            const QuantisedChannel& blue =
                by85[pixel[0] + (sums[2] + 5 * blueTwoBack + blueBack7) / 48];
            int8_t* errors = current + 3 * j;
            errors[0] = red.error;
            errors[1] = green.error;
            errors[2] = blue.error;
            redTwoBack = redBack;
            greenTwoBack = greenBack;
            blueTwoBack = blueBack;
            redBack = red.error;
            greenBack = green.error;
            blueBack = blue.error;
            redBack7 = red.errorTimes7;
            greenBack7 = green.errorTimes7;
            blueBack7 = blue.errorTimes7;
            destination[j] = (uint8_t)((red.level << 5) | (green.level << 2) | blue.level);
        }
    }
    PassErrorsOn(reducer);
}

static void ForgetBlocks(ColourReducer* reducer) {
    reducer->sumRed = nullptr;
    reducer->sumGreen = nullptr;
    reducer->sumBlue = nullptr;
    reducer->columnEnd = nullptr;
    reducer->errTwoAbove = nullptr;
    reducer->errAbove = nullptr;
    reducer->errCurrent = nullptr;
    reducer->avgRow = nullptr;
}

static void FreeBlocks(ColourReducer* reducer) {
    FreeBlock(reducer->sumRed);
    FreeBlock(reducer->sumGreen);
    FreeBlock(reducer->sumBlue);
    FreeBlock(reducer->columnEnd);
    FreeBlock(reducer->errTwoAbove);
    FreeBlock(reducer->errAbove);
    FreeBlock(reducer->errCurrent);
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
    reducer->dstStride = 0;

    // Only the two writers exist; other depths would write rows of the wrong size.
    if (dstBitCount != 2 && dstBitCount != 8) return 0;
    if (srcWidth < 0 || srcHeight < 0 || dstWidth < 0 || dstHeight < 0) return 0;

    uint32_t columnBytes, errorBytes, averageBytes, stride;
    if (!CheckedBlockSize(4, srcWidth, &columnBytes) ||
        !CheckedBlockSize(3, (int64_t)dstWidth + 4, &errorBytes) ||
        !CheckedStride(dstWidth, 24, &averageBytes) ||
        !CheckedStride(dstWidth, dstBitCount, &stride)) {
        return 0;
    }

    // All eight are asked for before any answer is looked at.
    reducer->sumRed = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumGreen = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumBlue = (int32_t*)AllocateBlock(columnBytes);
    reducer->columnEnd = (int32_t*)AllocateBlock(columnBytes);
    reducer->errTwoAbove = (int8_t*)AllocateBlock(errorBytes);
    reducer->errAbove = (int8_t*)AllocateBlock(errorBytes);
    reducer->errCurrent = (int8_t*)AllocateBlock(errorBytes);
    reducer->avgRow = (uint8_t*)AllocateBlock(averageBytes);
    if (!reducer->sumRed || !reducer->sumGreen || !reducer->sumBlue || !reducer->columnEnd ||
        !reducer->errTwoAbove || !reducer->errAbove || !reducer->errCurrent || !reducer->avgRow) {
        FreeBlocks(reducer);
        return 0;
    }

    // Destination column boundary at the right edge of each source column, rounded to the
    // nearest column; 64-bit because dstWidth * (i + 1) leaves 32 bits for wide pictures.
    for (int32_t i = 0; i < srcWidth; i++) {
        reducer->columnEnd[i] = (int32_t)(((int64_t)dstWidth * (i + 1) + srcWidth / 2) / srcWidth);
    }
    reducer->dstStride = (int32_t)stride;

    switch (srcBitCount) {
        case 1:
            CurrentAccumulator = AccumulateRow1;
            break;
        case 2:
            CurrentAccumulator = AccumulateRow2;
            break;
        case 4:
            CurrentAccumulator = AccumulateRow4;
            break;
        case 8:
            CurrentAccumulator = AccumulateRow8;
            break;
        default:
            CurrentAccumulator = AccumulateRow24;
            break;
    }
    CurrentRowWriter = dstBitCount == 2 ? WriteGray2Row : WriteRgb332Row;

    if (srcWidth == dstWidth && srcHeight == dstHeight) {
        bool packed = srcBitCount == 1 || srcBitCount == 2 || srcBitCount == 4;
        CurrentDirectFill = srcBitCount == 8 ? FillAverageFrom8
                            : packed         ? FillAverageFromIndexed
                                             : FillAverageFrom24;
    } else {
        CurrentDirectFill = nullptr;
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

int32_t ReducerFeedRow(ColourReducer* reducer, const uint8_t* row) {
    // Rows beyond the picture would take the boundary past the destination block.
    if (reducer->srcRowsFed >= reducer->srcHeight) return 1;

    if (CurrentDirectFill) {
        CurrentDirectFill(reducer, row);
        CurrentRowWriter(reducer);
        reducer->dstRow++;
        reducer->srcRowsFed++;
        return 1;
    }

    CurrentAccumulator(reducer, row);
    reducer->rowsInSum++;
    int32_t boundary = (int32_t)(((int64_t)reducer->dstHeight * (reducer->srcRowsFed + 1) +
                                  reducer->srcHeight / 2) /
                                 reducer->srcHeight);
    if (boundary != reducer->dstRow) {
        BuildAverageRow(reducer);
        CurrentRowWriter(reducer);
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
    FreeBlocks(reducer);
    return 1;
}
