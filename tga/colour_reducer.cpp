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

// The diffused error of a channel is the weighted sum S of the twelve errors quantised before
// it, divided by 48 toward zero. Ten of the twelve lie in the two rows above and do not depend on
// the row being written: PassErrorsOn adds them up for the whole next row once a row is done (a
// loop without dependencies from one lane to the next, which the compiler vectorises), so the
// pixel loop keeps only the two errors of its own row, 5 x e(j-2) + 7 x e(j-1).

// What quantising one channel gives for x = base + diffused error: the clamped value's level,
// the error left over and 7 times that error (the weight of the next pixel's nearest
// neighbour). Errors lie within -63 to 63, so S lies within 48 x [-63, 63] and x within -63 to
// 318; the table covers -128 to 382.
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

// A finished row's errors reach the row below with the weights 3 5 7 5 3 and the row after it
// with 1 3 5 3 1, over pixels j - 2 to j + 2; the first weights are the second plus 2 x each
// error. The row below gets its sums complete, the one after that the part this row gives.
// Every value stays within 48 x [-63, 63], well inside 16 bits.
// `centre` points at the first pixel's lanes, with two pixels of margin on either side; the
// blocks are distinct, which lets the compiler vectorise the loop without checks.
static void SpreadRowErrors(const int16_t* __restrict centre, int32_t c, int32_t lanes,
                            int16_t* __restrict next, int16_t* __restrict later) {
    for (int32_t i = 0; i < lanes; i++) {
        int16_t outer = (int16_t)(centre[i - 2 * c] + centre[i + 2 * c]);
        int16_t inner = (int16_t)(centre[i - c] + centre[i + c]);
        int16_t twoBelow = (int16_t)(outer + 3 * inner + 5 * centre[i]);
        next[i] = (int16_t)(twoBelow + 2 * (outer + inner + centre[i]) + later[i]);
        later[i] = twoBelow;
    }
}

static void PassErrorsOn(ColourReducer* reducer) {
    const int32_t c = reducer->channels;
    SpreadRowErrors(reducer->errRow + 2 * c, c, c * reducer->dstWidth, reducer->sumsNext,
                    reducer->sumsLater);
}

void WriteGray2Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    int16_t* errors = reducer->errRow + 2;
    const int16_t* sums = reducer->sumsNext;
    const uint8_t* average = reducer->avgRow;
    uint8_t* destination = DestinationRow(reducer);
    const QuantisedChannel* quantise = QuantiseBy85.entry - QUANTISE_LOWEST;
    // 7 x the error of pixel j - 1 (the margin's 0 for the first pixel); pointer-wide, so the
    // chain from one pixel to the next holds no sign extensions.
    intptr_t errorBackTimes7 = 0;
    uint32_t packed = 0;  // the levels of the destination byte being filled, two bits each
    for (int32_t j = 0; j < width; j++) {
        const uint8_t* pixel = average + 3 * j;
        intptr_t base = (77 * pixel[2] + 151 * pixel[1] + 28 * pixel[0]) >> 8;
        intptr_t sum = sums[j] + 5 * errors[j - 2] + errorBackTimes7;
        const QuantisedChannel& gray = quantise[base + sum / 48];
        errors[j] = gray.error;
        errorBackTimes7 = gray.errorTimes7;
        // Pixel 0 of a byte lies in its two most significant bits.
        packed = (packed << 2) | gray.level;
        if ((j & 3) == 3) {
            destination[j >> 2] |= (uint8_t)packed;
            packed = 0;
        }
    }
    if (width > 0 && (width & 3) != 0) {
        destination[width >> 2] |= (uint8_t)(packed << (2 * (4 - (width & 3))));
    }
    PassErrorsOn(reducer);
}

void WriteRgb332Row(ColourReducer* reducer) {
    const int32_t width = reducer->dstWidth;
    int16_t* errors = reducer->errRow + 6;
    const int16_t* sums = reducer->sumsNext;
    const uint8_t* average = reducer->avgRow;
    uint8_t* destination = DestinationRow(reducer);
    const QuantisedChannel* by36 = QuantiseBy36.entry - QUANTISE_LOWEST;
    const QuantisedChannel* by85 = QuantiseBy85.entry - QUANTISE_LOWEST;
    // Per channel, 7 x the error of pixel j - 1 (the margin's 0 for the first pixel).
    intptr_t redBack7 = 0, greenBack7 = 0, blueBack7 = 0;
    for (int32_t j = 0; j < width; j++) {
        const uint8_t* pixel = average + 3 * j;
        const int16_t* above = sums + 3 * j;
        int16_t* pixelErrors = errors + 3 * j;
        intptr_t redSum = above[0] + 5 * pixelErrors[-6] + redBack7;
        intptr_t greenSum = above[1] + 5 * pixelErrors[-5] + greenBack7;
        intptr_t blueSum = above[2] + 5 * pixelErrors[-4] + blueBack7;
        const QuantisedChannel& red = by36[pixel[2] + redSum / 48];
        const QuantisedChannel& green = by36[pixel[1] + greenSum / 48];
        const QuantisedChannel& blue = by85[pixel[0] + blueSum / 48];
        pixelErrors[0] = red.error;
        pixelErrors[1] = green.error;
        pixelErrors[2] = blue.error;
        redBack7 = red.errorTimes7;
        greenBack7 = green.errorTimes7;
        blueBack7 = blue.errorTimes7;
        destination[j] = (uint8_t)((red.level << 5) | (green.level << 2) | blue.level);
    }
    PassErrorsOn(reducer);
}

static void ForgetBlocks(ColourReducer* reducer) {
    reducer->sumRed = nullptr;
    reducer->sumGreen = nullptr;
    reducer->sumBlue = nullptr;
    reducer->columnEnd = nullptr;
    reducer->errRow = nullptr;
    reducer->sumsNext = nullptr;
    reducer->sumsLater = nullptr;
    reducer->avgRow = nullptr;
}

static void FreeBlocks(ColourReducer* reducer) {
    FreeBlock(reducer->sumRed);
    FreeBlock(reducer->sumGreen);
    FreeBlock(reducer->sumBlue);
    FreeBlock(reducer->columnEnd);
    FreeBlock(reducer->errRow);
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
    reducer->dstStride = 0;
    reducer->channels = dstBitCount == 2 ? 1 : 3;

    // Only the two writers exist; other depths would write rows of the wrong size.
    if (dstBitCount != 2 && dstBitCount != 8) return 0;
    if (srcWidth < 0 || srcHeight < 0 || dstWidth < 0 || dstHeight < 0) return 0;

    uint32_t columnBytes, errorBytes, sumsBytes, averageBytes, stride;
    if (!CheckedBlockSize(4, srcWidth, &columnBytes) ||
        !CheckedBlockSize(2 * reducer->channels, (int64_t)dstWidth + 4, &errorBytes) ||
        !CheckedBlockSize(2 * reducer->channels, dstWidth, &sumsBytes) ||
        !CheckedStride(dstWidth, 24, &averageBytes) ||
        !CheckedStride(dstWidth, dstBitCount, &stride)) {
        return 0;
    }

    // All eight are asked for before any answer is looked at.
    reducer->sumRed = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumGreen = (int32_t*)AllocateBlock(columnBytes);
    reducer->sumBlue = (int32_t*)AllocateBlock(columnBytes);
    reducer->columnEnd = (int32_t*)AllocateBlock(columnBytes);
    reducer->errRow = (int16_t*)AllocateBlock(errorBytes);
    reducer->sumsNext = (int16_t*)AllocateBlock(sumsBytes);
    reducer->sumsLater = (int16_t*)AllocateBlock(sumsBytes);
    reducer->avgRow = (uint8_t*)AllocateBlock(averageBytes);
    if (!reducer->sumRed || !reducer->sumGreen || !reducer->sumBlue || !reducer->columnEnd ||
        !reducer->errRow || !reducer->sumsNext || !reducer->sumsLater || !reducer->avgRow) {
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
