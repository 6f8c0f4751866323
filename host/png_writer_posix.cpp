// PNG output through libpng (the POSIX builds).
//
// libpng's default settings (zlib level 6, every row tried with each of the five filters) spend
// most of a conversion in zlib: about 2 s for a 4096 x 4096 photo, against 0.25 s for its
// decode. Unless a level is asked for, the writer picks cheaper settings for the picture:
// zlib's run-length strategy, which codes the bytes of filtered rows and runs of one byte but
// looks for no other repeats, with one or two row filters, or zlib's fastest level where a
// picture repeats patterns (dithered pictures). It tries the candidates on a few sample bands
// of the picture and keeps the first one whose sample output is no more than a little larger
// than the smallest. bench/png_bench.cpp measures the result against libpng's defaults.
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include "host/image_writer.h"

namespace {

// Settings for one PNG: zlib's level and strategy and the row filters libpng may choose from
// (a strategy of -1 and filters of 0: libpng's defaults for the picture).
struct PngPlan {
    int level;
    int strategy;
    int filters;
};

// Below this much pixel data a picture is written with libpng's defaults: a few milliseconds.
const size_t SmallPictureBytes = 1024 * 1024;

// Candidates for a picture of 8-bit samples (RGB, gray) and for palette indices, fastest
// first. Palette indices are not levels, so filters only help where whole rows repeat.
const PngPlan SampleCandidates[] = {
    {1, Z_RLE, PNG_FILTER_UP},
    {1, Z_RLE, PNG_FILTER_SUB | PNG_FILTER_UP},
    {1, Z_DEFAULT_STRATEGY, PNG_FILTER_SUB | PNG_FILTER_UP},
};
const PngPlan IndexCandidates[] = {
    {1, Z_RLE, PNG_FILTER_NONE},
    {1, Z_RLE, PNG_FILTER_UP},
    {1, Z_DEFAULT_STRATEGY, PNG_FILTER_NONE},
};
const size_t CandidateCount = sizeof(SampleCandidates) / sizeof(SampleCandidates[0]);

// A slower candidate is taken only when its sample output is this much smaller (in 1/100).
const uint64_t WorthSlowerPercent = 3;

// Sample bands for the trial: this many bands of this many rows, spread over the picture.
const int32_t TrialBands = 8;
const int32_t TrialRowsPerBand = 8;

// Row y counted from the top of the picture, wherever the DIB keeps it.
const uint8_t* FindRowFromTop(const DibLayout& dib, int32_t y) {
    int32_t memoryRow = dib.bottomUp ? dib.rows - 1 - y : y;
    return dib.bits + (size_t)memoryRow * dib.stride;
}

// What the libpng callbacks share: the sink, and the reason of a failure.
struct PngOutput {
    const ByteSink* sink;
    uint64_t bytes;  // handed to the sink so far
    bool sinkFailed;
    std::string problem;
};

// libpng reports errors through this callback and expects it not to return.
void RecordPngError(png_structp png, png_const_charp message) {
    PngOutput* output = static_cast<PngOutput*>(png_get_error_ptr(png));
    if (!output->sinkFailed) output->problem = std::string("PNG encoding failed: ") + message;
    png_longjmp(png, 1);
}

void IgnorePngWarning(png_structp, png_const_charp) {}

void PassPngBytes(png_structp png, png_bytep data, png_size_t length) {
    PngOutput* output = static_cast<PngOutput*>(png_get_io_ptr(png));
    if (!output->sink->take(output->sink->context, data, length, &output->problem)) {
        output->sinkFailed = true;
        png_error(png, "the output cannot be written");
    }
    output->bytes += length;
}

void FlushNothing(png_structp) {}

bool CountBytes(void* context, const uint8_t*, size_t count, std::string*) {
    *static_cast<uint64_t*>(context) += count;
    return true;
}

// Builds one PNG row from one DIB row: palette indices and gray levels are packed the same way
// in both (left pixel in the high bits), 24-bit pixels turn from blue-green-red into
// red-green-blue.
void ConvertRowForPng(const DibLayout& dib, const uint8_t* source, uint8_t* row) {
    if (dib.bitCount == 24) {
        for (int32_t x = 0; x < dib.width; ++x) {
            row[3 * x] = source[3 * x + 2];
            row[3 * x + 1] = source[3 * x + 1];
            row[3 * x + 2] = source[3 * x];
        }
    } else {
        memcpy(row, source, ((size_t)dib.width * dib.bitCount + 7) / 8);
    }
}

// The rows one run of the encoder writes: the whole picture, or the trial's sample bands.
struct RowSelection {
    int32_t count;
    int32_t bandRows;  // rows per band of the sample (0: every row in order)
    int32_t bandStep;  // rows from the start of one sample band to the next
};

int32_t PickRow(const RowSelection& selection, int32_t n) {
    if (selection.bandRows == 0) return n;
    return n / selection.bandRows * selection.bandStep + n % selection.bandRows;
}

// Everything between setjmp and the last libpng call lives here, with plain locals only, so
// that a longjmp out of libpng skips no destructor. False when libpng failed (output->problem
// says why) or the progress report asked to stop (*stopped).
bool RunPngEncoder(const DibLayout& dib, const PngPlan& plan, const RowSelection& selection,
                   const png_color* palette, int paletteSize, bool gray, png_text* comment,
                   uint8_t* row, PngOutput* output, const RowProgress* progress, bool* stopped) {
    *stopped = false;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, output, RecordPngError, IgnorePngWarning);
    if (!png) {
        output->problem = "PNG encoding failed: libpng could not start";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        output->problem = "PNG encoding failed: libpng could not start";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, output, PassPngBytes, FlushNothing);
    png_set_user_limits(png, 0x7FFFFFFFu, 0x7FFFFFFFu);
    png_set_compression_level(png, plan.level);
    if (plan.strategy >= 0) png_set_compression_strategy(png, plan.strategy);
    if (plan.filters != 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, plan.filters);
    // Fewer, larger IDAT chunks: fewer calls into zlib and the sink.
    png_set_compression_buffer_size(png, 256 * 1024);
    int colourType = dib.bitCount == 24 ? PNG_COLOR_TYPE_RGB
                     : gray             ? PNG_COLOR_TYPE_GRAY
                                        : PNG_COLOR_TYPE_PALETTE;
    png_set_IHDR(png, info, (png_uint_32)dib.width, (png_uint_32)selection.count,
                 dib.bitCount == 24 ? 8 : dib.bitCount, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, paletteSize);
    if (comment) png_set_text(png, info, comment, 1);
    png_write_info(png, info);
    const int32_t band = CountRowsPerBand(dib);
    for (int32_t n = 0; n < selection.count; ++n) {
        ConvertRowForPng(dib, FindRowFromTop(dib, PickRow(selection, n)), row);
        png_write_row(png, row);
        bool bandEnds = (n + 1) % band == 0 || n + 1 == selection.count;
        if (progress && bandEnds && !progress->report(progress->context, n + 1, selection.count)) {
            *stopped = true;
            png_destroy_write_struct(&png, &info);
            return false;
        }
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Encodes the trial's sample bands with each candidate and keeps the first candidate that
// the slower ones do not beat by WorthSlowerPercent.
PngPlan ChoosePngPlan(const DibLayout& dib, const png_color* palette, int paletteSize, bool gray,
                      uint8_t* row) {
    const PngPlan* candidates = dib.bitCount == 24 || gray ? SampleCandidates : IndexCandidates;
    RowSelection sample = {dib.rows, 0, 0};
    if (dib.rows > TrialBands * TrialRowsPerBand) {
        sample.bandRows = TrialRowsPerBand;
        sample.bandStep = dib.rows / TrialBands;
        sample.count = TrialBands * TrialRowsPerBand;
    }
    size_t chosen = 0;
    uint64_t chosenBytes = 0;
    for (size_t i = 0; i < CandidateCount; ++i) {
        uint64_t bytes = 0;
        ByteSink counter = {CountBytes, &bytes};
        PngOutput output = {&counter, 0, false, std::string()};
        bool stopped;
        if (!RunPngEncoder(dib, candidates[i], sample, palette, paletteSize, gray, nullptr, row,
                           &output, nullptr, &stopped)) {
            continue;
        }
        if (i == 0 || bytes * 100 < chosenBytes * (100 - WorthSlowerPercent)) {
            chosen = i;
            chosenBytes = bytes;
        }
    }
    return candidates[chosen];
}

}  // namespace

bool HasPngLevels() {
    return true;
}

WriteResult WritePng(const DibLayout& dib, const PngSettings& settings, const ByteSink& sink,
                     const RowProgress* progress, std::string* problem) {
    if (dib.width < 1 || dib.rows < 1) {
        *problem = "a PNG cannot hold a picture of " + std::to_string(dib.width) + " x " +
                   std::to_string(dib.rows) + " pixels";
        return WRITE_FAILED;
    }
    bool gray = HasGrayRampTable(dib);
    png_color palette[256];
    memset(palette, 0, sizeof(palette));
    int paletteSize = 0;
    if (dib.bitCount <= 8 && !gray) {
        paletteSize = 1 << dib.bitCount;
        for (int i = 0; i < paletteSize; ++i) {
            uint8_t rgb[3];
            ReadTableColour(dib, (uint32_t)i, rgb);
            palette[i].red = rgb[0];
            palette[i].green = rgb[1];
            palette[i].blue = rgb[2];
        }
    }
    std::string key = "Comment", language, translatedKey;
    std::string text = settings.comment;
    png_text comment;
    memset(&comment, 0, sizeof(comment));
    comment.compression = PNG_ITXT_COMPRESSION_NONE;
    comment.key = &key[0];
    comment.text = &text[0];
    comment.itxt_length = text.size();
    comment.lang = &language[0];
    comment.lang_key = &translatedKey[0];

    std::vector<uint8_t> row(dib.bitCount == 24 ? (size_t)dib.width * 3 : dib.stride);
    size_t pixelBytes = row.size() * (size_t)dib.rows;
    PngPlan plan = {settings.level, -1, 0};
    if (settings.level == PNG_LEVEL_CHOSEN) {
        plan.level = Z_DEFAULT_COMPRESSION;
        if (pixelBytes > SmallPictureBytes) {
            plan = ChoosePngPlan(dib, palette, paletteSize, gray, row.data());
        }
    }
    RowSelection all = {dib.rows, 0, 0};
    PngOutput output = {&sink, 0, false, std::string()};
    bool stopped = false;
    if (RunPngEncoder(dib, plan, all, palette, paletteSize, gray, text.empty() ? nullptr : &comment,
                      row.data(), &output, progress, &stopped)) {
        return WRITE_DONE;
    }
    if (stopped) return WRITE_STOPPED;
    *problem = output.problem;
    return WRITE_FAILED;
}
