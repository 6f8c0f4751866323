// The colour reducer: takes a picture one source row at a time, box-averages it onto the
// destination grid and dithers it by error diffusion (Jarvis, Judice and Ninke: twelve
// neighbours, weights 1, 3, 5, 7, sum 48) into DIB rows of 2-bit gray (levels 0, 85, 170, 255)
// or 8-bit indices into the 3-3-2 colour cube (red 36 r, green 36 g, blue 85 b).
//
// Source rows hold colour-table indices of 1, 2, 4 or 8 bits (leftmost pixel in the most
// significant bits) or, for any other bit count, 3-byte pixels blue, green, red.
#ifndef VB_TGA_COLOUR_REDUCER_H
#define VB_TGA_COLOUR_REDUCER_H

#include <stdint.h>

struct ColourReducer;

typedef void (*ReducerAccumulator)(ColourReducer* reducer, const uint8_t* row);
typedef void (*ReducerRowWriter)(ColourReducer* reducer);
typedef void (*ReducerPairWriter)(ColourReducer* reducer, const uint8_t* second);
// At equal sizes every row is alone in its band and the averaged row is the source row's colours
// unchanged: this turns a source row into the writers' input directly, in `out` (room for one
// averaged row), or returns the row itself when it already is that input.
typedef const uint8_t* (*ReducerDirectFill)(ColourReducer* reducer, const uint8_t* row,
                                            uint8_t* out);

// State of one reduction. The caller owns the record; ReducerInit fills it and allocates the
// eight working blocks, ReducerRelease frees them. The colour table and the destination block
// are borrowed.
struct ColourReducer {
    int32_t srcWidth;
    int32_t srcHeight;
    int32_t srcBitCount;
    const uint8_t* srcColourTable;  // RGBQUAD entries (blue, green, red, reserved)
    int32_t dstWidth;
    int32_t dstHeight;
    int32_t dstBitCount;  // 2 or 8
    uint8_t* dstBits;     // dstHeight rows of dstStride bytes, zero-filled by its owner
    int32_t bottomUp;     // non-zero: destination row k lands in buffer row k

    // Per source column, the colours of the rows gathered for the next destination row.
    int32_t* sumRed;
    int32_t* sumGreen;
    int32_t* sumBlue;
    // Per source column, the destination column boundary at its right edge.
    int32_t* columnEnd;

    // The dither's state, in lanes: one a pixel for 2-bit gray, four for 3-3-2 (red, green,
    // blue, and the pixel's destination byte on its way to the row). errRow holds the errors of
    // the row last written as signed bytes, with two pixels of zero margin on either side, so
    // the kernel reads zeros there (its block has three more pixels before errRow, see
    // WriteRgb332Pair). sumsNext holds, per lane, the weighted errors of the two rows above the
    // row to be written next; sumsLater the part of the row after that which the last written
    // row already gives.
    int8_t* errRow;
    int8_t* errBlock;  // the error rows' block as allocated, which errRow lies inside
    int16_t* sumsNext;
    int16_t* sumsLater;
    int32_t lanes;  // lanes a pixel: 1 or 4

    // The averaged destination row: blue, green, red per pixel (at equal sizes, 8-bit indices
    // dithered to gray stay indices, one byte a pixel).
    uint8_t* avgRow;
    uint8_t* avgOther;  // the input of a pair's second row when it must be made, in avgRow's block
    int32_t heldRowBytes;  // bytes of a source row kept in avgRow while it waits for the next
    // Eight rows at once (3-3-2 at equal sizes, x86-64), in avgRow's block; null otherwise.
    uint8_t* waveIn;   // the held rows, each with margins
    uint8_t* waveOut;  // the group's levels, laid out by the steps that write them

    int32_t dstStride;
    int32_t srcRowsFed;
    int32_t dstRow;     // the next destination row to be written (the row boundary so far)
    int32_t rowsInSum;  // source rows in the sums since the last written row
    // Equal sizes: rows are written in pairs, so an even row waits in avgRow for the next;
    // or in groups of eight, in waveIn. The rows waiting.
    int32_t rowHeld;

    // Chosen once by ReducerInit, so the pixel loops hold no depth tests. Kept with the reducer,
    // not module-wide: a decode started from inside another's notifier has a reducer of its own.
    ReducerAccumulator accumulate;
    ReducerRowWriter writeRow;
    ReducerPairWriter writePair;
    ReducerDirectFill directFill;  // null when the sizes differ
};

// 1 when the reducer is ready; 0 when a working block could not be had, when a block size does
// not fit below 2^31, or when dstBitCount is neither 2 nor 8 (nothing is left allocated then).
int32_t ReducerInit(ColourReducer* reducer, int32_t srcWidth, int32_t srcHeight,
                    int32_t srcBitCount, const uint8_t* srcColourTable, int32_t dstWidth,
                    int32_t dstHeight, int32_t dstBitCount, uint8_t* dstBits, int32_t bottomUp);
// Takes the next source row (at most srcHeight rows); writes a destination row whenever the
// rounded row boundary moves. At equal sizes an even row is held back and written with the
// next one, or (3-3-2 on x86-64) rows are held back until there are eight; the last rows are
// written as soon as the last is fed. Always 1.
//
// A destination row averaged from black alone is all level 0, whatever errors the rows above
// pass on (static_assert in colour_reducer.cpp): the rows of a black band leave a zero-filled
// destination as it is, and need not be fed.
int32_t ReducerFeedRow(ColourReducer* reducer, const uint8_t* row);
// Writes the rows still held back (when the rows stopped coming early), then frees the working
// blocks. Always 1.
int32_t ReducerRelease(ColourReducer* reducer);

// Add one source row's colours into the per-column sums.
void AccumulateRow1(ColourReducer* reducer, const uint8_t* row);
void AccumulateRow2(ColourReducer* reducer, const uint8_t* row);
void AccumulateRow4(ColourReducer* reducer, const uint8_t* row);
void AccumulateRow8(ColourReducer* reducer, const uint8_t* row);
void AccumulateRow24(ColourReducer* reducer, const uint8_t* row);

// Dither avgRow into destination row dstRow and pass the errors on.
void WriteGray2Row(ColourReducer* reducer);
void WriteRgb332Row(ColourReducer* reducer);
// The same for rows dstRow (avgRow) and dstRow + 1 (`second`) at once, with the same result
// as two calls of the row writers.
void WriteGray2Pair(ColourReducer* reducer, const uint8_t* second);
void WriteRgb332Pair(ColourReducer* reducer, const uint8_t* second);
// Gray from rows of 8-bit indices, at equal sizes.
void WriteGray2RowFromIndices(ColourReducer* reducer);
void WriteGray2PairFromIndices(ColourReducer* reducer, const uint8_t* second);

#endif
