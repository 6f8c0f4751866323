// The shared fuzz harness (see fuzz_harness.h for the input layout).
//
// Every run serves the file from memory, calls the export once (twice when asked) and then checks
// what a host relies on: the result code is a defined one and the one the file's header calls
// for, no block is left behind except those handed over on RESULT_OK, the handed-over blocks have
// exactly the sizes their header fields imply, the record holds the header's values, and the
// notifier calls follow the filter's protocol. A broken invariant prints what broke and aborts,
// so libFuzzer keeps the input as a crash.
#include "fuzz/fuzz_harness.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "framework/checks.h"
#include "framework/plugin.h"
#include "platform/platform_testing.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VB_FUZZ_WITH_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VB_FUZZ_WITH_ASAN 1
#endif
#if defined(VB_FUZZ_WITH_ASAN)
#include <sanitizer/asan_interface.h>
#endif

const int32_t FuzzDisplayChoices[8] = {24, 8, 2, 16, 1, 4, 32, 0};

static const char16_t* const FuzzFileNames[3] = {u"fuzz.tga", u"fuzz.pcx", u"fuzz.mag"};
static const char* const FuzzFormatNames[3] = {"tga", "pcx", "mag"};

// VB_FUZZ_VERBOSE set: every call's result is printed (for looking at single inputs).
static bool Verbose = false;
// VB_FUZZ_ALLOCATION_LIMIT: the largest block a filter may get, in bytes (for measuring hostile
// headers with the replay programs); 0 lifts the cap.
static int64_t AllocationLimit = FUZZ_ALLOCATION_LIMIT;
// VB_FUZZ_WORK_BUDGET: bytes of decode work past which an input is skipped (it would take
// seconds under the sanitizers and add nothing to the search); 0 runs every input.
static int64_t WorkBudget = 4ll << 20;

// Registry files for "full color" choices 1 to 3 (choice 0 is the empty registry), and for the
// four choices with "extended layouts" 1.
static std::string FullColorRegistryFiles[4];
static std::string ExtendedRegistryFiles[4];

static void ReportBroken(const char* format, ...) {
    fprintf(stderr, "fuzz: invariant broken: ");
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fprintf(stderr, "\n");
    fflush(stderr);
    abort();
}

#define REQUIRE(condition, ...)                      \
    do {                                             \
        if (!(condition)) ReportBroken(__VA_ARGS__); \
    } while (0)

// ---- Start-up -------------------------------------------------------------------------------

static std::string WriteRegistryFile(const char* directory, const char* name, const char* value,
                                     bool extended = false) {
    std::string path = std::string(directory) + "/" + name;
    FILE* file = fopen(path.c_str(), "w");
    if (!file) {
        fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        abort();
    }
    fprintf(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n");
    if (value) fprintf(file, "\"full color\"=%s\n", value);
    if (extended) fprintf(file, "\"extended layouts\"=dword:00000001\n");
    fclose(file);
    return path;
}

void PrepareFuzzing() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    Verbose = getenv("VB_FUZZ_VERBOSE") != nullptr;
    if (const char* budget = getenv("VB_FUZZ_WORK_BUDGET")) WorkBudget = atoll(budget);
    if (const char* limit = getenv("VB_FUZZ_ALLOCATION_LIMIT")) AllocationLimit = atoll(limit);
    if (AllocationLimit <= 0) AllocationLimit = INT64_MAX;
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vbfuzz.XXXXXX";
    std::vector<char> directory(pattern.begin(), pattern.end());
    directory.push_back(0);
    if (!mkdtemp(directory.data())) {
        fprintf(stderr, "fuzz: cannot make a temporary folder\n");
        abort();
    }
    FullColorRegistryFiles[1] = WriteRegistryFile(directory.data(), "off.reg", "dword:00000000");
    FullColorRegistryFiles[2] = WriteRegistryFile(directory.data(), "on.reg", "dword:00000001");
    FullColorRegistryFiles[3] = WriteRegistryFile(directory.data(), "text.reg", "\"1\"");
    ExtendedRegistryFiles[0] = WriteRegistryFile(directory.data(), "x.reg", nullptr, true);
    ExtendedRegistryFiles[1] =
        WriteRegistryFile(directory.data(), "xoff.reg", "dword:00000000", true);
    ExtendedRegistryFiles[2] =
        WriteRegistryFile(directory.data(), "xon.reg", "dword:00000001", true);
    ExtendedRegistryFiles[3] = WriteRegistryFile(directory.data(), "xtext.reg", "\"1\"", true);
    TestingReset();
}

// ---- Reading the file as the filters must -----------------------------------------------------

// The file as the filter sees it: bytes the file does not have read as 0.
struct FuzzFile {
    const uint8_t* bytes;
    size_t size;
};

static uint8_t ByteAt(const FuzzFile& file, uint64_t position) {
    return position < file.size ? file.bytes[position] : 0;
}
static uint16_t Le16At(const FuzzFile& file, uint64_t position) {
    return (uint16_t)(ByteAt(file, position) | (ByteAt(file, position + 1) << 8));
}
static uint32_t Le32At(const FuzzFile& file, uint64_t position) {
    return (uint32_t)Le16At(file, position) | ((uint32_t)Le16At(file, position + 2) << 16);
}

// Blocks above this size are refused: by the cap, and by the 2^31 rule of the filters.
static int64_t LargestBlock() {
    return AllocationLimit < INT32_MAX ? AllocationLimit : INT32_MAX;
}

static int64_t StrideOf(int64_t width, int64_t bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

// What the harness expects of one call, worked out from the file alone.
struct Expectation {
    // Result codes the call may return; checked as a bit set over the codes 0..6 (and -1).
    uint32_t allowedResults;
    // Picture sizes for the output checks, when the file tells them.
    bool shapeKnown;
    int64_t width;
    int64_t height;       // rows in the DIB
    int64_t notifyTotal;  // `total` of every notifier call
    int32_t bitCount;     // 0: any of the filter's depths
    int64_t headerBlockSize;
    // Set when the record's values on RESULT_OK are known.
    bool recordKnown;
    PictureInfoRecord record;
    std::vector<uint8_t> infoText;  // MAG: the comment, without the terminator
    // MAG: the picture's palette position (green, red, blue triples) for the colour-table check.
    bool paletteKnown;
    uint64_t palettePosition;
    uint32_t paletteEntries;
    // Bytes a decode must touch, roughly, for the work budget.
    int64_t predictedWork;
};

static uint32_t ResultBit(int32_t result) {
    return 1u << (uint32_t)(result + 1);
}
static bool ResultAllowed(const Expectation& expectation, int32_t result) {
    if (result < -1 || result > 6) return false;
    return (expectation.allowedResults & ResultBit(result)) != 0;
}

// ---- TGA ------------------------------------------------------------------------------------

// The layouts that "extended layouts" adds: colour-mapped (8- or 16-bit indices into 15-, 16-,
// 24- or 32-bit entries), 15/16-bit colour and 16-bit gray with alpha.
static bool IsExtendedTgaLayout(uint8_t imageType, uint8_t depth, uint8_t entryBits) {
    if (imageType == 1 || imageType == 9) {
        return (depth == 8 || depth == 16) &&
               (entryBits == 15 || entryBits == 16 || entryBits == 24 || entryBits == 32);
    }
    if (imageType == 2 || imageType == 10) return depth == 15 || depth == 16;
    return (imageType == 3 || imageType == 11) && depth == 16;
}

static int32_t TgaOutputDepth(uint8_t imageType, int32_t displayBits, uint32_t fullColor) {
    int32_t preferred = fullColor == 0 ? 8 : 24;
    int32_t fitted = displayBits < 8 ? 2 : displayBits == 8 ? 8 : (preferred >= 24 ? 24 : 8);
    int32_t sourceClass = (imageType == 3 || imageType == 11) ? 8 : 24;
    return fitted < sourceClass ? fitted : sourceClass;
}

static void ExpectTga(const FuzzFile& whole, FuzzEntry entry, int32_t displayBits,
                      uint32_t fullColor, bool extended, Expectation* out) {
    // A header cut short counts as no header at all (image type 0).
    FuzzFile file = whole;
    if (file.size < 18) file.size = 0;
    uint8_t imageType = ByteAt(file, 2);
    uint8_t depth = ByteAt(file, 16);
    uint8_t descriptor = ByteAt(file, 17);
    int64_t width = Le16At(file, 12);
    int64_t height = Le16At(file, 14);
    bool known = imageType == 1 || imageType == 2 || imageType == 3 || imageType == 9 ||
                 imageType == 10 || imageType == 11;
    if (entry == FUZZ_ENTRY_INFO) {
        out->allowedResults = ResultBit(known ? RESULT_OK : RESULT_UNKNOWN_FORMAT);
        out->recordKnown = true;
        memset(&out->record, 0, sizeof out->record);
        out->record.width = (int32_t)width;
        out->record.height = (int32_t)height;
        out->record.colourDepth = depth;
        return;
    }
    bool decoded = imageType == 2 || imageType == 3 || imageType == 10 || imageType == 11;
    bool colour = imageType == 2 || imageType == 10;
    // Gray is read at one byte a pixel and colour at three or four: nothing else is decoded.
    bool defaultLayout =
        decoded && (depth == 8 || depth == 24 || depth == 32) && colour != (depth == 8);
    bool expanded =
        !defaultLayout && extended && IsExtendedTgaLayout(imageType, depth, ByteAt(file, 7));
    if ((!defaultLayout && !expanded) || (descriptor & 0xC0) != 0) {
        out->allowedResults = ResultBit(RESULT_UNKNOWN_FORMAT);
        return;
    }
    int32_t bitCount = TgaOutputDepth(imageType, displayBits, fullColor);
    int64_t bitsSize = StrideOf(width, bitCount) * height;
    out->allowedResults = ResultBit(RESULT_OK) | ResultBit(RESULT_ABORTED);
    // Packets that do not fit the window may be refused as broken data.
    if (imageType >= 9) out->allowedResults |= ResultBit(RESULT_BROKEN_DATA);
    if (bitsSize > LargestBlock()) {
        out->allowedResults = ResultBit(RESULT_MEMORY_ERROR);
    }
    // Rows are read (the run-length window is up to 5 bytes a pixel) and, when reduced,
    // dithered pixel by pixel.
    out->predictedWork = height * (width * 5 + StrideOf(width, bitCount));
    if (bitCount < 8 || (bitCount == 8 && imageType != 3 && imageType != 11)) {
        out->predictedWork += height * width * 16;
    }
    // Expanded rows take one more pass, and a colour table of up to 65536 entries is built.
    if (expanded) {
        out->predictedWork += height * width * 3 + 65536 * 4;
        if (width * 2 + 65536 * 4 + 4 > LargestBlock()) {
            out->allowedResults |= ResultBit(RESULT_MEMORY_ERROR);
        }
    }
    out->shapeKnown = true;
    out->width = width;
    out->height = height;
    out->notifyTotal = height;
    out->bitCount = bitCount;
    out->headerBlockSize = FULL_HEADER_BLOCK_SIZE;
}

// ---- PCX ------------------------------------------------------------------------------------

static void ExpectPcx(const FuzzFile& file, FuzzEntry entry, bool extended, Expectation* out) {
    int8_t manufacturer = (int8_t)ByteAt(file, 0);
    int8_t version = (int8_t)ByteAt(file, 1);
    int8_t encoding = (int8_t)ByteAt(file, 2);
    int8_t bitsPerPixel = (int8_t)ByteAt(file, 3);
    int16_t xmin = (int16_t)Le16At(file, 4);
    int16_t ymin = (int16_t)Le16At(file, 6);
    int16_t xmax = (int16_t)Le16At(file, 8);
    int16_t ymax = (int16_t)Le16At(file, 10);
    int8_t planes = (int8_t)ByteAt(file, 65);
    int64_t width = (int64_t)xmax - xmin + 1;
    int64_t height = (int64_t)ymax - ymin + 1;
    if (entry == FUZZ_ENTRY_INFO) {
        out->allowedResults = ResultBit(RESULT_OK);
        out->recordKnown = true;
        memset(&out->record, 0, sizeof out->record);
        out->record.left = xmin;
        out->record.top = ymin;
        out->record.width = (int32_t)width;
        out->record.height = (int32_t)height;
        out->record.colourDepth = (int16_t)(bitsPerPixel * planes);
        return;
    }
    bool planar = bitsPerPixel == 1 && planes == 4;
    bool byteLayout = bitsPerPixel == 8 && planes == 1;
    // The layouts that "extended layouts" adds; 8 bits x 3 or 4 planes give 24-bit DIBs.
    bool colourPlanes = bitsPerPixel == 8 && (planes == 3 || planes == 4);
    bool more =
        extended && ((bitsPerPixel == 1 && planes >= 1 && planes <= 3) ||
                     ((bitsPerPixel == 2 || bitsPerPixel == 4) && planes == 1) || colourPlanes);
    if (manufacturer != 10 || version > 5 || encoding != 1 || (!planar && !byteLayout && !more) ||
        width < 1 || height < 1) {
        out->allowedResults = ResultBit(RESULT_UNKNOWN_FORMAT);
        return;
    }
    out->allowedResults =
        ResultBit(RESULT_OK) | ResultBit(RESULT_ABORTED) | ResultBit(RESULT_BROKEN_DATA);
    // The 256-colour palette search can run off the end of the file, and rows read past the end
    // may carry the file position beyond the 2^31 bytes a position can hold.
    int16_t lineBytes = (int16_t)Le16At(file, 66);
    int64_t furthest = 128 + height * (planes * (int64_t)(lineBytes > 0 ? lineBytes : 0) * 2 + 2);
    if (byteLayout || furthest > INT32_MAX) out->allowedResults |= ResultBit(RESULT_FILE_ERROR);
    int32_t bitCount = more && colourPlanes ? 24 : 8;
    if (StrideOf(width, bitCount) * height > LargestBlock()) {
        out->allowedResults = ResultBit(RESULT_MEMORY_ERROR);
    }
    // Every row reads, clears and decodes planes x bytes per line x 2 bytes, whatever the width.
    int16_t bytesPerLine = (int16_t)Le16At(file, 66);
    out->predictedWork =
        height * (planes * (bytesPerLine > 0 ? bytesPerLine : 0) * 2 + StrideOf(width, bitCount));
    out->shapeKnown = true;
    out->width = width;
    out->height = height;
    out->notifyTotal = height;
    out->bitCount = bitCount;
    out->headerBlockSize = FULL_HEADER_BLOCK_SIZE;
}

// ---- MAG ------------------------------------------------------------------------------------

static void ExpectMag(const FuzzFile& file, FuzzEntry entry, int64_t offset, bool offsetKnown,
                      Expectation* out) {
    if (!offsetKnown) {
        // A move to a negative position fails; where the reader then reads is its own affair.
        out->allowedResults = ResultBit(RESULT_OK) | ResultBit(RESULT_ABORTED) |
                              ResultBit(RESULT_BROKEN_DATA) | ResultBit(RESULT_MEMORY_ERROR) |
                              ResultBit(RESULT_FILE_ERROR);
        return;
    }
    uint64_t position = (uint64_t)offset + 8;
    uint64_t commentStart = position;
    while (position < file.size && file.bytes[position] != 0x1A) position++;
    if (position >= file.size) {
        out->allowedResults = ResultBit(RESULT_FILE_ERROR);
        return;
    }
    uint64_t header = position + 1;
    uint8_t mode = ByteAt(file, header + 3);
    int16_t xStart = (int16_t)Le16At(file, header + 4);
    int16_t yStart = (int16_t)Le16At(file, header + 6);
    int16_t xEnd = (int16_t)Le16At(file, header + 8);
    int16_t yEnd = (int16_t)Le16At(file, header + 10);
    int64_t width = (int64_t)xEnd - xStart + 1;
    int64_t height = (int64_t)yEnd - yStart + 1;
    int32_t bitCount = (mode & 0x80) ? 8 : 4;
    uint32_t colours = (mode & 0x80) ? 256 : 16;
    if (entry == FUZZ_ENTRY_INFO) {
        out->allowedResults = ResultBit(RESULT_OK);
        out->recordKnown = true;
        memset(&out->record, 0, sizeof out->record);
        out->record.width = (int32_t)width;
        out->record.height = (int32_t)height;
        out->record.xDensity = 1;
        out->record.yDensity = 1;
        out->record.colourDepth = (int16_t)bitCount;
        out->infoText.assign(file.bytes + commentStart, file.bytes + position);
        return;
    }
    if (width < 1 || height < 1) {
        out->allowedResults = ResultBit(RESULT_BROKEN_DATA);
        return;
    }
    int64_t rows = (mode & 1) ? 2 * height : height;
    uint32_t flagA = Le32At(file, header + 12);
    uint32_t pixelOffset = Le32At(file, header + 24);
    uint32_t pixelSize = Le32At(file, header + 28);
    // The offsets are taken as signed by some writers and unsigned by others; allow either
    // reading of a data block size that cannot be allocated.
    int64_t unsignedData = (int64_t)pixelOffset + pixelSize - flagA;
    int64_t signedData = (int64_t)(int32_t)pixelOffset + (int32_t)pixelSize - (int32_t)flagA;
    out->allowedResults =
        ResultBit(RESULT_OK) | ResultBit(RESULT_ABORTED) | ResultBit(RESULT_BROKEN_DATA);
    int64_t bitsSize = StrideOf(width, bitCount) * rows;
    // The data block also holds the flag line and some slack of the decoder's own.
    int64_t margin = 1 << 20;
    if (unsignedData > LargestBlock() - margin || signedData > LargestBlock() - margin) {
        out->allowedResults |= ResultBit(RESULT_MEMORY_ERROR);
    }
    if (bitsSize > LargestBlock()) {
        // A negative data block size may be refused before the bits block is asked for.
        out->allowedResults = ResultBit(RESULT_MEMORY_ERROR) | ResultBit(RESULT_BROKEN_DATA);
    }
    out->predictedWork = bitsSize + (unsignedData > 0 ? unsignedData : 0);
    out->shapeKnown = true;
    out->width = width;
    out->height = rows;
    out->notifyTotal = height;
    out->bitCount = bitCount;
    out->headerBlockSize = 40 + 4 * (int64_t)colours;
    out->paletteKnown = true;
    out->palettePosition = header + 32;
    out->paletteEntries = colours;
}

// ---- Notifier protocol ------------------------------------------------------------------------

// Streaming check of the notifier calls of one decode against the filter's protocol.
struct NotifierLog {
    FuzzFormat format;
    int64_t expectedTotal;  // -1: taken from the first call
    uint32_t stopCall;
    bool stopFromThenOn;
    uint32_t calls;
    bool started;
    bool closed;  // TGA, MAG: the closing call came; PCX: the second early call came
    int64_t rowsSeen;
    bool stopAnswered;  // "stop" was answered to a call after a row
    // Every call in order, for the decode-twice comparison.
    std::vector<int64_t> trace;
};

static void ExpectRowCall(NotifierLog* log, int64_t current, int64_t total) {
    // TGA and PCX count the row just stored from 0; MAG counts the rows finished from 1.
    int64_t expected = log->format == FUZZ_FORMAT_MAG ? log->rowsSeen + 1 : log->rowsSeen;
    REQUIRE(current == expected, "%s notifier: row call (%lld, %lld), expected row %lld",
            FuzzFormatNames[log->format], (long long)current, (long long)total,
            (long long)expected);
    log->rowsSeen++;
}

static int32_t VB_CALL RecordNotifierCall(int32_t current, int32_t total, intptr_t userData) {
    NotifierLog* log = (NotifierLog*)userData;
    log->calls++;
    log->trace.push_back(current);
    log->trace.push_back(total);
    const char* name = FuzzFormatNames[log->format];
    if (log->expectedTotal < 0) log->expectedTotal = total;
    REQUIRE(total == log->expectedTotal, "%s notifier: total %d, the file says %lld", name,
            (int)total, (long long)log->expectedTotal);
    bool answerStop = log->stopCall != 0 && (log->calls == log->stopCall ||
                                             (log->stopFromThenOn && log->calls > log->stopCall));
    bool rowCall = false;
    if (!log->started) {
        REQUIRE(current == 0, "%s notifier: first call (%d, %d)", name, (int)current, (int)total);
        log->started = true;
    } else if (log->format == FUZZ_FORMAT_PCX) {
        if (!log->closed) {
            REQUIRE(current == total, "%s notifier: second call (%d, %d)", name, (int)current,
                    (int)total);
            log->closed = true;
        } else {
            REQUIRE(!log->stopAnswered, "%s notifier: call after a stop", name);
            REQUIRE(log->rowsSeen < total, "%s notifier: more row calls than rows", name);
            ExpectRowCall(log, current, total);
            rowCall = true;
        }
    } else {
        REQUIRE(!log->closed, "%s notifier: call (%d, %d) after the closing call", name,
                (int)current, (int)total);
        int64_t nextRow = log->format == FUZZ_FORMAT_MAG ? log->rowsSeen + 1 : log->rowsSeen;
        if (!log->stopAnswered && log->rowsSeen < total && current == nextRow) {
            ExpectRowCall(log, current, total);
            rowCall = true;
        } else {
            REQUIRE(current == total, "%s notifier: call (%d, %d) after %lld rows", name,
                    (int)current, (int)total, (long long)log->rowsSeen);
            log->closed = true;
        }
    }
    if (rowCall && answerStop) log->stopAnswered = true;
    return answerStop ? 1 : 0;
}

// After the decode: the calls made must fit the result.
static void CheckNotifierOutcome(const NotifierLog& log, int32_t result, bool notifierGiven) {
    const char* name = FuzzFormatNames[log.format];
    if (!notifierGiven) {
        REQUIRE(result != RESULT_ABORTED, "%s: RESULT_ABORTED without a notifier", name);
        return;
    }
    if (result == RESULT_ABORTED) {
        REQUIRE(log.stopAnswered, "%s: RESULT_ABORTED though no row call was answered with stop",
                name);
    }
    if (log.stopAnswered) {
        // The 256-colour PCX palette search runs after an abort and its failure takes over.
        bool pcxPalette = log.format == FUZZ_FORMAT_PCX && result == RESULT_FILE_ERROR;
        REQUIRE(result == RESULT_ABORTED || pcxPalette,
                "%s: a stop answered after a row gave result %d", name, (int)result);
    }
    if (result == RESULT_OK) {
        REQUIRE(log.started && log.closed, "%s: RESULT_OK without the opening and closing calls",
                name);
        REQUIRE(log.rowsSeen == log.expectedTotal, "%s: RESULT_OK after %lld of %lld row calls",
                name, (long long)log.rowsSeen, (long long)log.expectedTotal);
    }
    if (log.started && log.format != FUZZ_FORMAT_PCX) {
        REQUIRE(log.closed, "%s: the closing call is missing (result %d)", name, (int)result);
    }
    if (log.started && log.format == FUZZ_FORMAT_PCX) {
        REQUIRE(log.closed, "%s: the second early call is missing (result %d)", name, (int)result);
    }
    if (result == RESULT_UNKNOWN_FORMAT) {
        REQUIRE(log.calls == 0, "%s: notifier called before RESULT_UNKNOWN_FORMAT", name);
    }
}

// ---- Block checks -----------------------------------------------------------------------------

// Whether `block` is a live local-heap block of exactly `size` bytes (the platform records every
// block's size); under AddressSanitizer all of it must also be addressable.
static void CheckBlockSize(const void* block, int64_t size, const char* what) {
    REQUIRE(block != nullptr, "%s block missing on RESULT_OK", what);
    int64_t recorded = TestingBlockSize(block);
    REQUIRE(recorded == size, "%s block has %lld bytes, the header implies %lld", what,
            (long long)recorded, (long long)size);
#if defined(VB_FUZZ_WITH_ASAN)
    if (size > 0) {
        const void* poisoned = __asan_region_is_poisoned((void*)block, (size_t)size);
        REQUIRE(poisoned == nullptr, "%s block unaddressable at +%lld", what,
                (long long)((const char*)poisoned - (const char*)block));
    }
#endif
}

static void CheckDib(FuzzFormat format, const Expectation& expectation, const FuzzFile& file,
                     const uint8_t* header, const uint8_t* bits) {
    const char* name = FuzzFormatNames[format];
    CheckBlockSize(header, expectation.headerBlockSize, "header");
    uint32_t biSize = (uint32_t)(header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24);
    int32_t biWidth =
        (int32_t)(header[4] | header[5] << 8 | header[6] << 16 | (uint32_t)header[7] << 24);
    int32_t biHeight =
        (int32_t)(header[8] | header[9] << 8 | header[10] << 16 | (uint32_t)header[11] << 24);
    uint16_t biPlanes = (uint16_t)(header[12] | header[13] << 8);
    uint16_t biBitCount = (uint16_t)(header[14] | header[15] << 8);
    REQUIRE(biSize == 40 && biPlanes == 1, "%s: biSize %u biPlanes %u", name, biSize, biPlanes);
    REQUIRE(biWidth == expectation.width && biHeight == expectation.height,
            "%s: DIB %d x %d, the file says %lld x %lld", name, (int)biWidth, (int)biHeight,
            (long long)expectation.width, (long long)expectation.height);
    REQUIRE(biBitCount == expectation.bitCount, "%s: biBitCount %u, expected %d", name, biBitCount,
            (int)expectation.bitCount);
    for (int i = 16; i < 40; i++) {
        REQUIRE(header[i] == 0, "%s: BITMAPINFOHEADER byte %d is %u", name, i, header[i]);
    }
    // The reserved byte of every colour-table entry stays 0.
    for (int64_t entry = 0; 40 + 4 * entry < expectation.headerBlockSize; entry++) {
        REQUIRE(header[40 + 4 * entry + 3] == 0, "%s: colour %lld has a reserved byte", name,
                (long long)entry);
    }
    if (expectation.bitCount == 24) {
        for (int64_t i = 40; i < expectation.headerBlockSize; i++) {
            REQUIRE(header[i] == 0, "%s: colour table of a 24-bit DIB not empty", name);
        }
    }
    if (expectation.paletteKnown) {
        for (uint32_t entry = 0; entry < expectation.paletteEntries; entry++) {
            uint64_t at = expectation.palettePosition + 3 * entry;
            const uint8_t* quad = header + 40 + 4 * entry;
            REQUIRE(quad[0] == ByteAt(file, at + 2) && quad[1] == ByteAt(file, at) &&
                        quad[2] == ByteAt(file, at + 1),
                    "%s: colour %u does not match the file's palette", name, entry);
        }
    }
    int64_t bitsSize = StrideOf(expectation.width, expectation.bitCount) * expectation.height;
    CheckBlockSize(bits, bitsSize, "bits");
}

// ---- One run ----------------------------------------------------------------------------------

struct DecodeOutcome {
    int32_t result;
    int32_t headerSlot;  // SlotState of each slot after the call
    int32_t bitsSlot;
    std::vector<uint8_t> header;
    std::vector<uint8_t> bits;
    std::vector<int64_t> trace;
};

static const uintptr_t SlotSentinel = 0x5A5A5A5A;

// What a slot holds after a decode: untouched, null, or a handle (whose value may differ).
static int32_t SlotState(void* slot) {
    return slot == (void*)SlotSentinel ? 0 : slot == nullptr ? 1 : 2;
}

static void RunDecode(FuzzFormat format, const char16_t* name, int32_t offset, uint32_t flags,
                      bool preview, bool notifierGiven, uint16_t stopPlan,
                      const Expectation& expectation, const FuzzFile& file, bool keepCopy,
                      DecodeOutcome* outcome) {
    const char* formatName = FuzzFormatNames[format];
    NotifierLog log;
    log.format = format;
    log.expectedTotal = expectation.shapeKnown ? expectation.notifyTotal : -1;
    log.stopCall = stopPlan & FUZZ_STOP_CALL_MASK;
    log.stopFromThenOn = (stopPlan & FUZZ_STOP_FROM_THEN_ON) != 0;
    log.calls = 0;
    log.started = false;
    log.closed = false;
    log.rowsSeen = 0;
    log.stopAnswered = false;

    void* headerSlot = (void*)SlotSentinel;
    void* bitsSlot = (void*)SlotSentinel;
    int64_t liveBefore = TestingLiveBlockCount();
    ProgressNotifier notifier = notifierGiven ? RecordNotifierCall : nullptr;
    int32_t result =
        preview ? GetPreview(name, offset, flags, &headerSlot, &bitsSlot, notifier, (intptr_t)&log)
                : GetPicture(name, offset, flags, &headerSlot, &bitsSlot, notifier, (intptr_t)&log);
    REQUIRE(ResultAllowed(expectation, result),
            "%s decode: result %d not expected (allowed set "
            "0x%x)",
            formatName, (int)result, expectation.allowedResults);
    CheckNotifierOutcome(log, result, notifierGiven);
    int64_t liveAfter = TestingLiveBlockCount();
    if (Verbose) {
        fprintf(stderr, "%s decode: result %d, %u notifier calls, %lld rows\n", formatName,
                (int)result, log.calls, (long long)log.rowsSeen);
    }
    outcome->result = result;
    outcome->headerSlot = SlotState(headerSlot);
    outcome->bitsSlot = SlotState(bitsSlot);
    outcome->trace = log.trace;
    if (result != RESULT_OK) {
        REQUIRE(liveAfter == liveBefore, "%s decode: %lld blocks left after result %d", formatName,
                (long long)(liveAfter - liveBefore), (int)result);
        if (result == RESULT_UNKNOWN_FORMAT) {
            REQUIRE(headerSlot == (void*)SlotSentinel && bitsSlot == (void*)SlotSentinel,
                    "%s decode: slots written before RESULT_UNKNOWN_FORMAT", formatName);
        }
        return;
    }
    REQUIRE(liveAfter == liveBefore + 2, "%s decode: %lld blocks live after RESULT_OK, not 2",
            formatName, (long long)(liveAfter - liveBefore));
    const uint8_t* headerBlock = (const uint8_t*)headerSlot;
    const uint8_t* bitsBlock = (const uint8_t*)bitsSlot;
    if (!expectation.shapeKnown) {
        FreeBlock(bitsSlot);
        FreeBlock(headerSlot);
        return;
    }
    CheckDib(format, expectation, file, headerBlock, bitsBlock);
    int64_t bitsSize = StrideOf(expectation.width, expectation.bitCount) * expectation.height;
    if (keepCopy) {
        outcome->header.assign(headerBlock, headerBlock + expectation.headerBlockSize);
        outcome->bits.assign(bitsBlock, bitsBlock + bitsSize);
    }
    // The host frees both blocks.
    FreeBlock(bitsSlot);
    FreeBlock(headerSlot);
    REQUIRE(TestingLiveBlockCount() == liveBefore, "%s decode: freeing the DIB left blocks",
            formatName);
}

static void RunInfo(FuzzFormat format, const char16_t* name, int32_t offset, uint32_t flags,
                    const Expectation& expectation) {
    const char* formatName = FuzzFormatNames[format];
    PictureInfoRecord record;
    memset(&record, 0xA5, sizeof record);
    int64_t liveBefore = TestingLiveBlockCount();
    int32_t result = GetPictureInfo(name, offset, flags, &record);
    REQUIRE(ResultAllowed(expectation, result), "%s info: result %d not expected", formatName,
            (int)result);
    int64_t liveAfter = TestingLiveBlockCount();
    if (Verbose) {
        fprintf(stderr, "%s info: result %d, %d x %d, depth %d\n", formatName, (int)result,
                (int)record.width, (int)record.height, (int)record.colourDepth);
    }
    if (result != RESULT_OK) {
        REQUIRE(liveAfter == liveBefore, "%s info: %lld blocks left after result %d", formatName,
                (long long)(liveAfter - liveBefore), (int)result);
        if (format == FUZZ_FORMAT_TGA) {
            PictureInfoRecord zero;
            memset(&zero, 0, sizeof zero);
            REQUIRE(memcmp(&record, &zero, sizeof record) == 0,
                    "tga info: record not cleared after result %d", (int)result);
        }
        return;
    }
    uintptr_t text = record.infoText;
    if (format == FUZZ_FORMAT_MAG) {
        REQUIRE(text != 0 && liveAfter == liveBefore + 1, "mag info: no information-text block");
        int64_t length = (int64_t)expectation.infoText.size();
        CheckBlockSize((const void*)text, length + 1, "information-text");
        if (expectation.recordKnown) {
            REQUIRE((length == 0 ||
                     memcmp((const void*)text, expectation.infoText.data(), (size_t)length) == 0) &&
                        ((const uint8_t*)text)[length] == 0,
                    "mag info: text is not the comment");
        }
        FreeBlock((void*)text);
        record.infoText = 0;
    } else {
        REQUIRE(text == 0 && liveAfter == liveBefore, "%s info: unexpected information text",
                formatName);
    }
    if (expectation.recordKnown) {
        PictureInfoRecord wanted = expectation.record;
        wanted.infoText = 0;
        REQUIRE(memcmp(&record, &wanted, sizeof record) == 0,
                "%s info: record (%d,%d %dx%d density %u,%u depth %d) differs from the header "
                "(%d,%d %dx%d density %u,%u depth %d)",
                formatName, (int)record.left, (int)record.top, (int)record.width,
                (int)record.height, (unsigned)record.xDensity, (unsigned)record.yDensity,
                (int)record.colourDepth, (int)wanted.left, (int)wanted.top, (int)wanted.width,
                (int)wanted.height, (unsigned)wanted.xDensity, (unsigned)wanted.yDensity,
                (int)wanted.colourDepth);
    }
}

// The input-kind gate: a form other than a file name touches nothing and reads nothing.
static void CheckGate(FuzzEntry entry, const char16_t* name, uint32_t flags) {
    int64_t liveBefore = TestingLiveBlockCount();
    int64_t readsBefore = TestingReadCount();
    int64_t allocationsBefore = TestingAllocationCount();
    int32_t result;
    if (entry == FUZZ_ENTRY_INFO) {
        PictureInfoRecord record;
        memset(&record, 0xA5, sizeof record);
        result = GetPictureInfo(name, 0, flags, &record);
        for (size_t i = 0; i < sizeof record; i++) {
            REQUIRE(((const uint8_t*)&record)[i] == 0xA5, "gate: record touched");
        }
    } else {
        void* headerSlot = (void*)SlotSentinel;
        void* bitsSlot = (void*)SlotSentinel;
        result = GetPicture(name, 0, flags, &headerSlot, &bitsSlot, nullptr, 0);
        REQUIRE(headerSlot == (void*)SlotSentinel && bitsSlot == (void*)SlotSentinel,
                "gate: slots touched");
    }
    REQUIRE(result == RESULT_NOT_IMPLEMENTED, "gate: flags %u gave %d", flags, (int)result);
    REQUIRE(TestingLiveBlockCount() == liveBefore && TestingReadCount() == readsBefore &&
                TestingAllocationCount() == allocationsBefore,
            "gate: flags %u read or allocated", flags);
}

static void CheckAcceptance(FuzzFormat format, const char16_t* name, const FuzzFile& file) {
    // The host hands over a buffer of the file's first bytes, larger than any signature.
    uint8_t head[2048];
    memset(head, 0, sizeof head);
    if (file.size > 0) memcpy(head, file.bytes, file.size < sizeof head ? file.size : sizeof head);
    int32_t answer = IsSupported(name, (uintptr_t)head);
    int32_t wanted = 1;
    if (format == FUZZ_FORMAT_MAG) wanted = memcmp(head, "MAKI02  ", 8) == 0 ? 1 : 0;
    REQUIRE(answer == wanted, "%s: IsSupported gave %d, expected %d", FuzzFormatNames[format],
            (int)answer, (int)wanted);
    REQUIRE(IsSupported(name, 0xFFFF) == RESULT_NOT_IMPLEMENTED,
            "IsSupported with a handle did not refuse");
}

#if defined(VB_CHECKED_MODE)
static const bool CheckedModeBuilt = true;
static void SetPaths(int32_t paths) { SetDecodePaths(paths); }
#else
// The filter's objects have no switch in this build: the fast paths alone are checked.
static const bool CheckedModeBuilt = false;
static void SetPaths(int32_t) {}
#endif

// Two decodes of one input along different paths: one result, one DIB, the same slots and the
// same notifier calls.
static void CompareDecodes(FuzzFormat format, const DecodeOutcome& first,
                           const DecodeOutcome& other, const char* what) {
    const char* name = FuzzFormatNames[format];
    REQUIRE(first.result == other.result, "%s: %s gave %d, first %d", name, what,
            (int)other.result, (int)first.result);
    REQUIRE(first.headerSlot == other.headerSlot && first.bitsSlot == other.bitsSlot,
            "%s: %s left the slots differently", name, what);
    REQUIRE(first.header == other.header, "%s: %s gave a different header block", name, what);
    REQUIRE(first.bits == other.bits, "%s: %s gave a different bits block", name, what);
    REQUIRE(first.trace == other.trace, "%s: %s notified differently", name, what);
}

int RunFuzzInput(FuzzFormat format, FuzzEntry entry, const uint8_t* data, size_t size) {
    PrepareFuzzing();
    uint8_t options[FUZZ_OPTION_BYTES] = {0, 0, 0, 0};
    if (size >= FUZZ_OPTION_BYTES) {
        memcpy(options, data, FUZZ_OPTION_BYTES);
        data += FUZZ_OPTION_BYTES;
        size -= FUZZ_OPTION_BYTES;
    }
    int32_t displayBits = FuzzDisplayChoices[options[0] & FUZZ_DISPLAY_MASK];
    uint32_t fullColorChoice = (options[0] >> FUZZ_FULL_COLOR_SHIFT) & 3;
    bool notifierGiven = (options[0] & FUZZ_NO_NOTIFIER) == 0;
    bool preview = (options[0] & FUZZ_USE_PREVIEW) != 0;
    uint32_t flags = (options[0] & FUZZ_HIGH_FLAGS) ? 0xFFFFFFF8u : 0;
    uint32_t offsetChoice = options[1] & FUZZ_OFFSET_MASK;
    bool twice = (options[1] & FUZZ_DECODE_TWICE) != 0;
    uint16_t stopPlan = (uint16_t)(options[2] | options[3] << 8);

    // MAG pictures may lie inside a larger file: put filler bytes in front and pass the offset.
    std::vector<uint8_t> served;
    size_t prefix = 0;
    if (format == FUZZ_FORMAT_MAG && offsetChoice >= 1 && offsetChoice <= FUZZ_OFFSET_LAST_PREFIX) {
        prefix = offsetChoice;
    }
    served.assign(prefix, (uint8_t)0x1A);
    served.insert(served.end(), data, data + size);
    FuzzFile file = {served.data(), served.size()};
    int64_t offset = (int64_t)prefix;
    bool offsetKnown = true;
    switch (offsetChoice) {
        case FUZZ_OFFSET_END:
            offset = (int64_t)served.size();
            break;
        case FUZZ_OFFSET_PAST_END:
            offset = (int64_t)served.size() + 4096;
            break;
        case FUZZ_OFFSET_MINUS_ONE:
            offset = -1;
            offsetKnown = false;
            break;
        case FUZZ_OFFSET_MINIMUM:
            offset = INT32_MIN;
            offsetKnown = false;
            break;
        case FUZZ_OFFSET_MAXIMUM:
            offset = INT32_MAX;
            break;
        default:
            break;
    }
    // TGA and PCX read from the first byte whatever the offset says.
    if (format != FUZZ_FORMAT_MAG) offsetKnown = true;
    FuzzFile pictureFile = file;
    if (format != FUZZ_FORMAT_MAG) offset = offset == 0 ? 0 : (int32_t)(offset * 7919);

    TestingReset();
    TestingSetAllocationLimit(AllocationLimit == INT64_MAX ? 0 : (uint64_t)AllocationLimit);
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = displayBits;
    TestingSetDevice(&device);
    const bool extended = (stopPlan & FUZZ_EXTENDED_LAYOUTS) != 0;
    if (extended) {
        TestingSetRegistryFile(ExtendedRegistryFiles[fullColorChoice].c_str());
    } else {
        TestingSetRegistryFile(
            fullColorChoice == 0 ? nullptr : FullColorRegistryFiles[fullColorChoice].c_str());
    }
    const char16_t* name = FuzzFileNames[format];
    // A null pointer would withdraw the file; an empty file is served from a non-null one.
    static const uint8_t nothing = 0;
    TestingServeFile(name, served.empty() ? &nothing : served.data(), served.size());

    Expectation expectation;
    expectation.allowedResults = 0;
    expectation.shapeKnown = false;
    expectation.width = expectation.height = expectation.notifyTotal = 0;
    expectation.bitCount = 0;
    expectation.headerBlockSize = 0;
    expectation.recordKnown = false;
    expectation.paletteKnown = false;
    expectation.palettePosition = 0;
    expectation.paletteEntries = 0;
    expectation.predictedWork = 0;
    uint32_t fullColorValue = fullColorChoice == 1 ? 0 : 1;
    switch (format) {
        case FUZZ_FORMAT_TGA:
            ExpectTga(pictureFile, entry, displayBits, fullColorValue, extended, &expectation);
            break;
        case FUZZ_FORMAT_PCX:
            ExpectPcx(pictureFile, entry, extended, &expectation);
            break;
        case FUZZ_FORMAT_MAG:
            ExpectMag(pictureFile, entry, offset, offsetKnown, &expectation);
            break;
    }
    // MAG pictures with a negative offset have no prediction; only the contracts are checked.
    if (!offsetKnown) expectation.recordKnown = false;

    // Inputs whose decode must churn through more than the budget are skipped: large pictures
    // are slow by the formats' design (see fuzz/README.md) and would only slow the search down.
    if (WorkBudget > 0 && expectation.predictedWork > WorkBudget &&
        (expectation.allowedResults & ResultBit(RESULT_OK)) != 0) {
        TestingClearServedFiles();
        return 0;
    }

    int64_t liveAtStart = TestingLiveBlockCount();
    CheckGate(entry, name, 1u + options[0] % 7u);
    if (entry == FUZZ_ENTRY_INFO) {
        CheckAcceptance(format, name, file);
        RunInfo(format, name, (int32_t)offset, flags, expectation);
        if (twice) RunInfo(format, name, (int32_t)offset, flags, expectation);
    } else {
        DecodeOutcome first;
        RunDecode(format, name, (int32_t)offset, flags, preview, notifierGiven, stopPlan,
                  expectation, pictureFile, twice || CheckedModeBuilt, &first);
        if (twice) {
            // The second decode also takes the other x86-64 paths: without SSSE3, or the
            // portable fast loops of the ARM builds.
            SetPaths(served.size() % 2 ? DECODE_PATHS_NO_SSSE3 : DECODE_PATHS_PORTABLE);
            DecodeOutcome second;
            RunDecode(format, name, (int32_t)offset, flags, !preview, notifierGiven, stopPlan,
                      expectation, pictureFile, true, &second);
            SetPaths(DECODE_PATHS_FASTEST);
            CompareDecodes(format, first, second, "second decode");
        }
        if (CheckedModeBuilt) {
            // Checked mode: the plain code alone must decode exactly as the fast paths did.
            SetPaths(DECODE_PATHS_PLAIN);
            DecodeOutcome plain;
            RunDecode(format, name, (int32_t)offset, flags, preview, notifierGiven, stopPlan,
                      expectation, pictureFile, true, &plain);
            SetPaths(DECODE_PATHS_FASTEST);
            CompareDecodes(format, first, plain, "checked decode");
        }
    }
    REQUIRE(TestingLiveBlockCount() == liveAtStart, "blocks left at the end of the run");
    TestingClearServedFiles();
    return 0;
}
