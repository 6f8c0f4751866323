// Fuzz target: vbhost's PNG writer, on DIBs and settings made from the input, every result read
// back through libpng and zlib.
//
// Input: 12 option bytes, then the bytes that fill the colour table and the rows (repeated,
// and changed on each repeat, as far as the picture needs them).
//   0      depth: value % 5 picks 1, 2, 4, 8 or 24 bits; bit 7 set: rows stored top row first;
//          bit 6 set: a large picture
//   1-2    width - 1, 3-4 height - 1 (little-endian, each % 4096; pictures whose bits block
//          passes 64 KiB, or 1.25 MiB for a large one, are skipped, so that most runs are fast
//          yet large pictures still get the settings chosen by trial)
//   5      level: below 128 the writer chooses, else (value - 128) % 10
//   6      colour table: value % 4: 0 or 3 colours from the input, 1 the gray ramp, 2 entries
//          alike in groups of value / 4 % 16 + 1
//   7      biClrUsed (0: a full table; else at most 2^depth)
//   8      indices in use: 0 any, else each pixel's index is taken modulo this value
//   9      value % 4: 0 a plain write; 1 a sink that fails after N bytes; 2 a report that says
//          stop at band N; 3 a comment of N characters
//   10-11  N (little-endian)
// A write must give a file that libpng reads, with sound chunks and one zlib stream, that shows
// every pixel of the DIB in the promised form (ComparePngWithDib); a failed or stopped write
// must have handed over a beginning of that same file, and the same file is written every time.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/image_writer.h"
#include "tests/host/png_reader.h"

namespace {

const size_t OptionBytes = 12;
const uint64_t LargestBits = 1280 * 1024;
const uint64_t LargestSmallBits = 64 * 1024;

[[noreturn]] void Broken(const std::string& what) {
    fprintf(stderr, "png_writer_fuzzer: invariant broken: %s\n", what.c_str());
    abort();
}

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

// The input's bytes over `out`, changed on each repeat so that long pictures are not periodic.
void FillFrom(const uint8_t* data, size_t size, size_t* position, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i, ++*position) {
        out[i] = size ? (uint8_t)(data[*position % size] + *position / size) : (uint8_t)*position;
    }
}

struct CollectingSink {
    std::vector<uint8_t> bytes;
    size_t limit = SIZE_MAX;
};

bool Collect(void* context, const uint8_t* bytes, size_t count, std::string* problem) {
    CollectingSink* sink = static_cast<CollectingSink*>(context);
    if (sink->bytes.size() + count > sink->limit) {
        *problem = "sink full";
        return false;
    }
    sink->bytes.insert(sink->bytes.end(), bytes, bytes + count);
    return true;
}

struct Reports {
    int32_t stopAt = -1;  // the report (from 0) that says stop
    int32_t count = 0;
    int32_t lastRows = 0;
    int32_t rows = 0;
};

bool Report(void* context, int32_t rowsDone, int32_t rows) {
    Reports* reports = static_cast<Reports*>(context);
    if (rows != reports->rows || rowsDone <= reports->lastRows || rowsDone > rows) {
        Broken("report of " + std::to_string(rowsDone) + " of " + std::to_string(rows) +
               " rows after " + std::to_string(reports->lastRows));
    }
    reports->lastRows = rowsDone;
    return reports->count++ != reports->stopAt;
}

bool StartsWith(const std::vector<uint8_t>& whole, const std::vector<uint8_t>& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < OptionBytes) return 0;
    static const uint16_t depths[5] = {1, 2, 4, 8, 24};
    const uint16_t bitCount = depths[data[0] % 5];
    const bool topDown = data[0] & 0x80;
    const int32_t width = 1 + (data[1] | data[2] << 8) % 4096;
    const int32_t height = 1 + (data[3] | data[4] << 8) % 4096;
    const uint64_t stride = (((uint64_t)width * bitCount + 31) / 32) * 4;
    if (stride * (uint64_t)height > (data[0] & 0x40 ? LargestBits : LargestSmallBits)) return 0;
    PngSettings settings;
    settings.level = data[5] < 128 ? PNG_LEVEL_CHOSEN : (data[5] - 128) % 10;
    const int mode = data[9] % 4;
    const uint32_t n = (uint32_t)(data[10] | data[11] << 8);
    const uint8_t* fill = data + OptionBytes;
    const size_t fillSize = size - OptionBytes;
    size_t position = 0;

    // The header block: BITMAPINFOHEADER and a table of biClrUsed or 2^depth entries.
    const uint32_t full = bitCount <= 8 ? 1u << bitCount : 0;
    uint32_t coloursUsed = data[7] > full ? full : data[7];
    uint32_t entries = coloursUsed ? coloursUsed : full;
    std::vector<uint8_t> header(40 + 4 * entries, 0);
    PutLe32(&header[0], 40);
    PutLe32(&header[4], (uint32_t)width);
    PutLe32(&header[8], topDown ? (uint32_t)-height : (uint32_t)height);
    header[12] = 1;
    header[14] = (uint8_t)bitCount;
    PutLe32(&header[32], coloursUsed);
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t* entry = &header[40 + 4 * i];
        switch (data[6] % 4) {
            case 1:
                entry[0] = entry[1] = entry[2] = (uint8_t)(full > 1 ? i * 255 / (full - 1) : 0);
                break;
            case 2: {
                uint32_t group = data[6] / 4 % 16 + 1;
                size_t at = i / group * 3;
                FillFrom(fill, fillSize, &at, entry, 3);
                break;
            }
            default:
                FillFrom(fill, fillSize, &position, entry, 3);
                break;
        }
    }

    // The rows, with the indices limited when asked.
    std::vector<uint8_t> bits((size_t)(stride * height));
    FillFrom(fill, fillSize, &position, bits.data(), bits.size());
    if (data[8] != 0 && bitCount <= 8) {
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* row = &bits[(size_t)(y * stride)];
            for (int32_t x = 0; x < width; ++x) {
                uint32_t bit = (uint32_t)x * bitCount;
                uint32_t shift = 8 - bitCount - bit % 8;
                uint32_t mask = ((1u << bitCount) - 1) << shift;
                uint32_t index = ((row[bit / 8] & mask) >> shift) % data[8];
                row[bit / 8] = (uint8_t)((row[bit / 8] & ~mask) | (index << shift));
            }
        }
    }
    if (mode == 3) {
        for (uint32_t i = 0; i < n % 200; ++i) {
            settings.comment.push_back((char)(' ' + (fillSize ? fill[i % fillSize] : i) % 95));
        }
    }

    DibLayout dib;
    std::string problem;
    if (!ReadDibLayout(header.data(), bits.data(), &dib, &problem)) Broken("layout: " + problem);

    // The whole file, checked.
    std::vector<uint8_t> file;
    if (!EncodePng(dib, settings, &file, &problem)) Broken("write failed: " + problem);
    std::vector<std::string> types;
    if (!CheckPngChunks(file, &types, &problem)) Broken("chunks: " + problem);
    DecodedPng png;
    if (!DecodePng(file, &png, &problem)) Broken("libpng: " + problem);
    if (!ComparePngWithDib(dib, png, &problem)) Broken("pixels: " + problem);
    std::vector<std::string> texts;
    if (!settings.comment.empty()) texts.push_back("iTXt Comment: " + settings.comment);
    if (png.texts != texts) Broken("the comment");

    // Again, through a sink that fails, or with a report that says stop.
    CollectingSink collected;
    Reports reports;
    reports.rows = dib.rows;
    if (mode == 1) collected.limit = n % (file.size() + 16);
    if (mode == 2) reports.stopAt = (int32_t)(n % 16);
    ByteSink sink = {Collect, &collected};
    RowProgress progress = {Report, &reports};
    WriteResult result = WritePng(dib, settings, sink, &progress, &problem);
    const int32_t bands = (dib.rows + CountRowsPerBand(dib) - 1) / CountRowsPerBand(dib);
    WriteResult expected = mode == 1 && collected.limit < file.size() ? WRITE_FAILED
                           : mode == 2 && reports.stopAt < bands      ? WRITE_STOPPED
                                                                      : WRITE_DONE;
    if (result != expected) Broken("result " + std::to_string(result) + ": " + problem);
    if (result == WRITE_DONE ? collected.bytes != file : !StartsWith(file, collected.bytes)) {
        Broken("a different file the second time");
    }
    if (result == WRITE_DONE && reports.lastRows != dib.rows) Broken("the last report");
    return 0;
}
