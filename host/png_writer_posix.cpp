// PNG output on POSIX systems: the chunks and row filters here, the compression by zlib.
//
// With libpng's default settings (zlib level 6, each row tried with the five filters) writing
// a 4096 x 4096 photo took about 2 s, eight times its decode, and zlib was most of it. So:
// - Unless a level is asked for, large pictures get cheaper settings: zlib's run-length
//   strategy, which codes the filtered bytes and runs of one byte but looks for no other
//   repeats, with one or two row filters; or zlib's fastest level without filters where a
//   picture repeats patterns (dithered pictures). The candidates are tried on sample bands of
//   the picture, and a slower one is kept only when its output is clearly smaller.
// - The rows are compressed in bands, on as many threads as the machine has: each band is
//   a piece of deflate data of its own, primed with the end of the band before it and ended
//   with a sync flush, so that the pieces join into the one zlib stream of the IDAT chunks (as
//   pigz joins its blocks): zlib writes the first band with the stream's header, the others
//   raw, and the Adler-32 of the whole follows the last, joined from the bands' with
//   adler32_combine. Each band is reported when written, and a report that says stop ends the
//   write there.
// bench/png_bench.cpp measures the result against libpng's defaults.
#include <string.h>
#include <zlib.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host/image_writer.h"

namespace {

enum : int {
    FILTER_NONE = 1 << 0,
    FILTER_SUB = 1 << 1,
    FILTER_UP = 1 << 2,
    FILTER_AVERAGE = 1 << 3,
    FILTER_PAETH = 1 << 4,
    FILTER_ALL = 0x1F,
};

// zlib's level and strategy, and the row filters to choose from on each row.
struct PngPlan {
    int level;
    int strategy;
    int filters;
};

// Below this much pixel data a picture is written at zlib's default level: a few milliseconds.
const size_t SmallPictureBytes = 1024 * 1024;

// Candidates for pictures of 8-bit samples (RGB, gray) and of palette indices, fastest first.
// Palette indices are not levels, so a filter only helps where rows repeat.
const PngPlan SampleCandidates[] = {
    {1, Z_RLE, FILTER_UP},
    {1, Z_RLE, FILTER_SUB | FILTER_UP},
    {1, Z_DEFAULT_STRATEGY, FILTER_SUB | FILTER_UP},
};
const PngPlan IndexCandidates[] = {
    {1, Z_RLE, FILTER_NONE},
    {1, Z_RLE, FILTER_UP},
    {1, Z_DEFAULT_STRATEGY, FILTER_NONE},
};
const size_t CandidateCount = sizeof(SampleCandidates) / sizeof(SampleCandidates[0]);

// A slower candidate is taken only when its sample output is this much smaller (in 1/100).
const uint64_t WorthSlowerPercent = 3;

// Sample bands for the trial: this many bands of this many rows, spread over the picture.
const int32_t TrialBands = 8;
const int32_t TrialRowsPerBand = 4;

// zlib's window: the end of the band before that each band's compressor may refer to.
const size_t DictionaryBytes = 32768;

// A picture as the encoder sees it.
struct PngPicture {
    const DibLayout* dib;
    size_t rowBytes;    // one PNG row without its filter byte
    size_t pixelBytes;  // the distance the filters look back: whole bytes of one pixel, at least 1
    bool gray;
    uint8_t bitDepth;                   // of the PNG: 8 for RGB, else the indices' depth
    const PaletteReduction* reduction;  // the few colours in use, or null
};

// Row y counted from the top of the picture, wherever the DIB keeps it.
const uint8_t* FindRowFromTop(const DibLayout& dib, int32_t y) {
    int32_t memoryRow = dib.bottomUp ? dib.rows - 1 - y : y;
    return dib.bits + (size_t)memoryRow * dib.stride;
}

// One PNG row from one DIB row: palette indices and gray levels are packed the same way in both
// (left pixel in the high bits), 24-bit pixels turn from blue-green-red into red-green-blue.
void ConvertRow(const PngPicture& picture, int32_t y, uint8_t* row) {
    const uint8_t* source = FindRowFromTop(*picture.dib, y);
    if (picture.reduction && !picture.reduction->sameIndices) {
        PackReducedRow(*picture.dib, *picture.reduction, source, row);
    } else if (picture.dib->bitCount == 24) {
        for (size_t x = 0; x < picture.rowBytes; x += 3) {
            row[x] = source[x + 2];
            row[x + 1] = source[x + 1];
            row[x + 2] = source[x];
        }
    } else {
        memcpy(row, source, picture.rowBytes);
    }
}

uint8_t PredictPaeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    return (uint8_t)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters `row` against `prior` (the row above; zeros for the first row) with filter type
// `type` (0 to 4) into out[0] = type, out[1..] = filtered bytes.
void FilterRow(int type, const uint8_t* row, const uint8_t* prior, size_t count, size_t back,
               uint8_t* out) {
    out[0] = (uint8_t)type;
    uint8_t* filtered = out + 1;
    size_t lead = back < count ? back : count;
    switch (type) {
        case 0:
            memcpy(filtered, row, count);
            break;
        case 1:
            for (size_t i = 0; i < lead; ++i) filtered[i] = row[i];
            for (size_t i = back; i < count; ++i) filtered[i] = (uint8_t)(row[i] - row[i - back]);
            break;
        case 2:
            for (size_t i = 0; i < count; ++i) filtered[i] = (uint8_t)(row[i] - prior[i]);
            break;
        case 3:
            for (size_t i = 0; i < lead; ++i) filtered[i] = (uint8_t)(row[i] - (prior[i] >> 1));
            for (size_t i = back; i < count; ++i) {
                filtered[i] = (uint8_t)(row[i] - ((row[i - back] + prior[i]) >> 1));
            }
            break;
        default:
            for (size_t i = 0; i < lead; ++i) filtered[i] = (uint8_t)(row[i] - prior[i]);
            for (size_t i = back; i < count; ++i) {
                filtered[i] =
                    (uint8_t)(row[i] - PredictPaeth(row[i - back], prior[i], prior[i - back]));
            }
            break;
    }
}

// The usual choice among several filters: the one whose bytes, read as signed, add up to the
// least in absolute value.
uint64_t SumMagnitudes(const uint8_t* filtered, size_t count) {
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        int value = (int8_t)filtered[i];
        sum += (uint64_t)(value < 0 ? -value : value);
    }
    return sum;
}

// Filters a row with the best of `filters` into out (1 + rowBytes); scratch holds 1 + rowBytes.
void FilterRowWithChoice(int filters, const PngPicture& picture, const uint8_t* row,
                         const uint8_t* prior, uint8_t* out, uint8_t* scratch) {
    uint64_t best = UINT64_MAX;
    for (int type = 0; type < 5; ++type) {
        if (!(filters & (1 << type))) continue;
        if (filters == (1 << type)) {
            FilterRow(type, row, prior, picture.rowBytes, picture.pixelBytes, out);
            return;
        }
        FilterRow(type, row, prior, picture.rowBytes, picture.pixelBytes, scratch);
        uint64_t sum = SumMagnitudes(scratch + 1, picture.rowBytes);
        if (sum < best) {
            best = sum;
            memcpy(out, scratch, picture.rowBytes + 1);
        }
    }
}

// What one thread compresses with, kept from band to band: zlib's state and the buffers, whose
// memory would otherwise be mapped and cleared anew for every band.
struct BandCompressor {
    z_stream stream;
    bool started = false;
    bool wrapped = false;  // the stream writes the zlib header and Adler-32 (the first band)
    std::vector<uint8_t> filtered;
    std::vector<uint8_t> rows;     // the row and the row above it
    std::vector<uint8_t> scratch;  // a filter candidate
    BandCompressor() { memset(&stream, 0, sizeof(stream)); }
    ~BandCompressor() {
        if (started) deflateEnd(&stream);
    }
};

// Filters rows [first, first + count) into compressor->filtered (1 + rowBytes each).
void FilterRows(const PngPicture& picture, int filters, int32_t first, int32_t count,
                BandCompressor* compressor) {
    size_t lineBytes = picture.rowBytes + 1;
    compressor->filtered.resize(lineBytes * (size_t)count);
    compressor->rows.assign(2 * picture.rowBytes, 0);
    compressor->scratch.resize(lineBytes);
    uint8_t* prior = compressor->rows.data();
    uint8_t* row = compressor->rows.data() + picture.rowBytes;
    if (first > 0) ConvertRow(picture, first - 1, prior);
    for (int32_t n = 0; n < count; ++n) {
        ConvertRow(picture, first + n, row);
        FilterRowWithChoice(filters, picture, row, prior,
                            compressor->filtered.data() + lineBytes * n,
                            compressor->scratch.data());
        uint8_t* swap = prior;
        prior = row;
        row = swap;
    }
}

// One band of rows as a piece of the picture's deflate stream.
struct Band {
    int32_t first = 0;
    int32_t count = 0;
    bool last = false;
    std::vector<uint8_t> compressed;
    uLong adler = 1;  // adler32 of the band's filtered bytes
    size_t filteredBytes = 0;
    bool ready = false;
    bool failed = false;
};

// Filters and compresses one band into band->compressed (whose memory may come from an earlier
// band). Its deflate data may refer back into the band before it (the dictionary), ends with a
// sync flush so that the next band's data can follow, and the last band's data ends the stream.
bool CompressBand(const PngPicture& picture, const PngPlan& plan, BandCompressor* compressor,
                  Band* band) {
    z_stream* stream = &compressor->stream;
    const bool wrapped = band->first == 0;
    if (compressor->started && compressor->wrapped != wrapped) {
        deflateEnd(stream);
        compressor->started = false;
    }
    if (!compressor->started) {
        if (deflateInit2(stream, plan.level, Z_DEFLATED, wrapped ? 15 : -15, 8, plan.strategy) !=
            Z_OK) {
            return false;
        }
        compressor->started = true;
        compressor->wrapped = wrapped;
    } else if (deflateReset(stream) != Z_OK) {
        return false;
    }
    // Run-length coding looks back one byte only: the band before would not help it.
    if (band->first > 0 && plan.strategy != Z_HUFFMAN_ONLY && plan.strategy != Z_RLE) {
        // The previous band's last rows, filtered as that band filtered them.
        size_t lineBytes = picture.rowBytes + 1;
        int32_t rows = (int32_t)((DictionaryBytes + lineBytes - 1) / lineBytes);
        int32_t first = band->first - rows < 0 ? 0 : band->first - rows;
        FilterRows(picture, plan.filters, first, band->first - first, compressor);
        const std::vector<uint8_t>& tail = compressor->filtered;
        size_t keep = tail.size() < DictionaryBytes ? tail.size() : DictionaryBytes;
        if (deflateSetDictionary(stream, tail.data() + tail.size() - keep, (uInt)keep) != Z_OK) {
            return false;
        }
    }
    FilterRows(picture, plan.filters, band->first, band->count, compressor);
    const std::vector<uint8_t>& filtered = compressor->filtered;
    band->filteredBytes = filtered.size();
    band->compressed.resize(deflateBound(stream, (uLong)filtered.size()) + 16);
    stream->next_in = const_cast<uint8_t*>(filtered.data());
    stream->avail_in = (uInt)filtered.size();
    stream->next_out = band->compressed.data();
    stream->avail_out = (uInt)band->compressed.size();
    int status = deflate(stream, band->last ? Z_FINISH : Z_SYNC_FLUSH);
    bool done = band->last ? status == Z_STREAM_END : status == Z_OK && stream->avail_in == 0;
    band->compressed.resize(band->compressed.size() - stream->avail_out);
    // A wrapped stream has summed what it took; the others are summed here.
    band->adler = wrapped ? stream->adler
                          : adler32(adler32(0, Z_NULL, 0), filtered.data(), (uInt)filtered.size());
    return done;
}

// ---- Chunks ---------------------------------------------------------------------------------

void AppendBe32(std::vector<uint8_t>* out, uint32_t value) {
    const uint8_t bytes[4] = {(uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8),
                              (uint8_t)value};
    out->insert(out->end(), bytes, bytes + 4);
}

// A chunk: length, type, data, CRC of type and data.
bool PassChunk(const ByteSink& sink, const char* type, const uint8_t* data, size_t count,
               std::string* problem) {
    std::vector<uint8_t> head;
    AppendBe32(&head, (uint32_t)count);
    head.insert(head.end(), type, type + 4);
    uLong crc = crc32(crc32(0, Z_NULL, 0), head.data() + 4, 4);
    if (count > 0) crc = crc32(crc, data, (uInt)count);
    std::vector<uint8_t> tail;
    AppendBe32(&tail, (uint32_t)crc);
    return sink.take(sink.context, head.data(), head.size(), problem) &&
           (count == 0 || sink.take(sink.context, data, count, problem)) &&
           sink.take(sink.context, tail.data(), tail.size(), problem);
}

// Signature, IHDR, PLTE for palette pictures, iTXt for the comment.
bool PassHeaderChunks(const PngPicture& picture, const std::string& comment, const ByteSink& sink,
                      std::string* problem) {
    const DibLayout& dib = *picture.dib;
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!sink.take(sink.context, signature, sizeof(signature), problem)) return false;
    std::vector<uint8_t> header;
    AppendBe32(&header, (uint32_t)dib.width);
    AppendBe32(&header, (uint32_t)dib.rows);
    bool palette = dib.bitCount <= 8 && !picture.gray;
    header.push_back(picture.bitDepth);
    header.push_back(dib.bitCount == 24 ? 2 : palette ? 3 : 0);  // RGB, palette, gray
    header.insert(header.end(), {0, 0, 0});  // deflate, adaptive filters, not interlaced
    if (!PassChunk(sink, "IHDR", header.data(), header.size(), problem)) return false;
    if (palette) {
        // Just the colours in use, or the DIB's table padded with black to 2^depth entries so
        // that every index is valid.
        std::vector<uint8_t> entries;
        if (picture.reduction) {
            const uint8_t* colours = &picture.reduction->rgb[0][0];
            entries.assign(colours, colours + 3 * picture.reduction->colours);
        } else {
            for (uint32_t i = 0; i < (1u << dib.bitCount); ++i) {
                uint8_t rgb[3];
                ReadTableColour(dib, i, rgb);
                entries.insert(entries.end(), rgb, rgb + 3);
            }
        }
        if (!PassChunk(sink, "PLTE", entries.data(), entries.size(), problem)) return false;
    }
    if (!comment.empty()) {
        // Keyword, no compression, no language tag, no translated keyword, UTF-8 text.
        std::string text = std::string("Comment") + '\0' + '\0' + '\0' + '\0' + '\0' + comment;
        if (!PassChunk(sink, "iTXt", reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                       problem)) {
            return false;
        }
    }
    return true;
}

// ---- Bands on threads -----------------------------------------------------------------------

// The bands and the threads that compress them. Workers take bands in order, at most `ahead`
// past the last one written, so that memory stays bounded while the writer waits.
struct BandQueue {
    const PngPicture* picture;
    const PngPlan* plan;
    std::vector<Band> bands;
    std::mutex lock;
    std::condition_variable changed;
    size_t nextToTake = 0;
    size_t written = 0;
    size_t ahead = 1;
    bool stopping = false;
    std::vector<std::vector<uint8_t>> spare;  // output memory of bands already written
};

// Gives a band the memory of one already written, if there is one.
void ReuseSpareMemory(BandQueue* queue, Band* band) {
    std::lock_guard<std::mutex> hold(queue->lock);
    if (queue->spare.empty()) return;
    band->compressed.swap(queue->spare.back());
    queue->spare.pop_back();
}

void CompressBands(BandQueue* queue) {
    BandCompressor compressor;
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> hold(queue->lock);
            queue->changed.wait(hold, [queue] {
                return queue->stopping || queue->nextToTake >= queue->bands.size() ||
                       queue->nextToTake < queue->written + queue->ahead;
            });
            if (queue->stopping || queue->nextToTake >= queue->bands.size()) return;
            index = queue->nextToTake++;
        }
        Band* band = &queue->bands[index];
        ReuseSpareMemory(queue, band);
        bool compressed = CompressBand(*queue->picture, *queue->plan, &compressor, band);
        std::lock_guard<std::mutex> hold(queue->lock);
        band->failed = !compressed;
        band->ready = true;
        queue->changed.notify_all();
    }
}

// Compresses the bands on worker threads (inline when there is one band or one processor) and
// passes each to the sink in order as IDAT chunks.
WriteResult PassImageData(const PngPicture& picture, const PngPlan& plan, const ByteSink& sink,
                          const RowProgress* progress, std::string* problem) {
    const DibLayout& dib = *picture.dib;
    BandQueue queue;
    queue.picture = &picture;
    queue.plan = &plan;
    const int32_t bandRows = CountRowsPerBand(dib);
    for (int32_t first = 0; first < dib.rows; first += bandRows) {
        Band band;
        band.first = first;
        band.count = dib.rows - first < bandRows ? dib.rows - first : bandRows;
        queue.bands.push_back(band);
    }
    queue.bands.back().last = true;
#if defined(VB_PNG_ONE_THREAD)
    unsigned processors = 1;
#else
    unsigned processors = std::thread::hardware_concurrency();
#endif
    size_t workers = processors < 1 ? 1 : processors > 8 ? 8 : processors;
    if (workers > queue.bands.size()) workers = queue.bands.size();
    queue.ahead = 2 * workers;
    std::vector<std::thread> threads;
    if (workers > 1) {
        try {
            for (size_t i = 0; i < workers; ++i) threads.emplace_back(CompressBands, &queue);
        } catch (const std::system_error&) {
            // Fewer threads than hoped for; the writer compresses what none takes.
        }
    }

    WriteResult result = WRITE_DONE;
    BandCompressor compressor;  // for the bands no thread takes
    uLong adler = adler32(0, Z_NULL, 0);
    for (size_t index = 0; index < queue.bands.size() && result == WRITE_DONE; ++index) {
        Band* band = &queue.bands[index];
        bool mine = false;
        {
            std::unique_lock<std::mutex> hold(queue.lock);
            if (threads.empty() && queue.nextToTake == index) {
                queue.nextToTake++;
                mine = true;
            } else {
                queue.changed.wait(hold, [band] { return band->ready; });
            }
        }
        if (mine) {
            ReuseSpareMemory(&queue, band);
            band->failed = !CompressBand(picture, plan, &compressor, band);
        }
        if (band->failed) {
            *problem = "PNG encoding failed: zlib could not compress the rows";
            result = WRITE_FAILED;
            break;
        }
        adler = adler32_combine(adler, band->adler, (z_off_t)band->filteredBytes);
        // The first band's stream has its own Adler-32 at the end when it is the only band.
        std::vector<uint8_t>& data = band->compressed;
        if (band->last && index > 0) AppendBe32(&data, (uint32_t)adler);
        if (!PassChunk(sink, "IDAT", data.data(), data.size(), problem)) {
            result = WRITE_FAILED;
        } else if (progress &&
                   !progress->report(progress->context, band->first + band->count, dib.rows)) {
            result = WRITE_STOPPED;
        }
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.spare.push_back(std::vector<uint8_t>());
        queue.spare.back().swap(data);
        queue.written = index + 1;
        queue.changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.stopping = true;
        queue.changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
    return result;
}

// Compresses the trial's sample bands with each candidate and keeps the first candidate that
// the slower ones do not beat by WorthSlowerPercent.
PngPlan ChoosePngPlan(const PngPicture& picture) {
    const DibLayout& dib = *picture.dib;
    const PngPlan* candidates =
        dib.bitCount == 24 || picture.gray ? SampleCandidates : IndexCandidates;
    int32_t bandRows = dib.rows < TrialBands * TrialRowsPerBand ? dib.rows : TrialRowsPerBand;
    int32_t bandCount = dib.rows < TrialBands * TrialRowsPerBand ? 1 : TrialBands;
    size_t chosen = 0;
    uint64_t chosenBytes = 0;
    for (size_t i = 0; i < CandidateCount; ++i) {
        BandCompressor compressor;
        Band band;
        uint64_t bytes = 0;
        for (int32_t b = 0; b < bandCount; ++b) {
            band.first = (int32_t)((int64_t)dib.rows * b / bandCount);
            band.count = bandRows;
            band.last = true;
            CompressBand(picture, candidates[i], &compressor, &band);
            bytes += band.compressed.size();
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
    PngPicture picture;
    picture.dib = &dib;
    picture.gray = HasGrayRampTable(dib);
    PaletteReduction reduction;
    picture.reduction = FindPaletteReduction(dib, &reduction) ? &reduction : nullptr;
    picture.bitDepth = dib.bitCount == 24  ? 8
                       : picture.reduction ? (uint8_t)reduction.bitCount
                                           : (uint8_t)dib.bitCount;
    picture.rowBytes =
        dib.bitCount == 24 ? (size_t)dib.width * 3 : ((size_t)dib.width * picture.bitDepth + 7) / 8;
    picture.pixelBytes = dib.bitCount == 24 ? 3 : 1;
    // A level asked for gets the classic settings at that level: every filter tried on each row
    // of 8-bit samples, none on palette indices, zlib's strategy for filtered data.
    bool samples = dib.bitCount == 24 || (picture.gray && dib.bitCount == 8);
    PngPlan plan = {settings.level, samples ? Z_FILTERED : Z_DEFAULT_STRATEGY,
                    samples ? FILTER_ALL : FILTER_NONE};
    if (settings.level == PNG_LEVEL_CHOSEN) {
        plan.level = Z_DEFAULT_COMPRESSION;
        if (picture.rowBytes * (size_t)dib.rows > SmallPictureBytes) plan = ChoosePngPlan(picture);
    }
    if (!PassHeaderChunks(picture, settings.comment, sink, problem)) return WRITE_FAILED;
    WriteResult result = PassImageData(picture, plan, sink, progress, problem);
    if (result != WRITE_DONE) return result;
    return PassChunk(sink, "IEND", nullptr, 0, problem) ? WRITE_DONE : WRITE_FAILED;
}
