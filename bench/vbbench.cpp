// vbbench: decode speed of the three plug-ins against independent decoders of the same files.
//
//   vbbench [--inputs DIR] [--plugins DIR] [--rounds N] [--only TEXT] [--no-peers] [--no-reducer]
//           [--cold-pages] [--wall-clock] [--python PATH] [--pillow-script PATH]
//           [--markdown FILE]
//   vbbench --digests [--inputs DIR] [--plugins DIR] [--only TEXT]
//
// --digests prints a hash of each of our outputs (header and bits blocks, every display depth)
// instead of timing: two builds whose digests match decode the inputs to the same bytes.
//
// Every input (bench_inputs.h, written by vbbench_inputs) is decoded, in the same process and
// interleaved round by round, by:
//   - our plug-in, loaded with dlopen and driven through GetPicture by file name as a host does,
//     the blocks freed with FreeBlock after each decode; for TGA also with the emulated display
//     at 8 and 2 bits per pixel, which sends the rows through the colour reducer;
//   - stb_image (TGA), SDL2_image (TGA, PCX), ImageMagick's MagickCore (TGA, PCX, one thread),
//     each reading the file by name into memory of its own; and SDL2_image once more from
//     memory: the file read whole, then decoded from a memory stream, both timed (the fastest
//     way to call it);
//   - Pillow (TGA, PCX) in a Python process of its own that times each decode itself;
//   - two baselines: reading the whole file into fresh memory, and copying a block of our
//     output's size into fresh memory.
// Our plug-in also decodes each input once a round in a new process of its own (vbbench
// --cold-decode FILE, with glibc's default settings), timed there by the wall clock: a cold
// decode, whose output pages are new to the process, as a viewer's first decode gets them (for
// TGA at each of the three display depths). After the rounds, vbhost (the one beside the
// plug-ins) converts the 24-bit photo-like TGA inputs to BMP in new processes, timed from start
// to exit, beside a baseline that writes as many bytes from memory in use to a new file.
// The order of the decoders changes from round to round, the page cache is warmed first, and
// the table shows medians. Each decoder's output is freed outside the timed region.
//
// Every decoder gets its output from a new allocation. Unless --cold-pages is given, glibc is
// told to keep freed memory in the process (no mmap'd chunks, no trimming), here and in the
// Pillow process alike, so a new allocation reuses pages that are already mapped (the local
// heap keeps the mapping of the last large block freed in any case): on a virtual
// machine a first touch of a 4 KiB page can cost tens of microseconds, which would otherwise
// swamp the decoding work of every decoder and measure the kernel instead.
//
// Times are the processor time of the decoding process (user and system, in the Pillow process
// as measured there), so that other work on a shared machine does not enter the measurement;
// --wall-clock measures elapsed time instead.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_inputs.h"
#include "bench/heap_tracking.h"
#include "framework/plugin.h"
#include "platform/platform_testing.h"

#if VB_BENCH_HAVE_STB
#include <stb_image.h>
#endif
#if VB_BENCH_HAVE_SDL2_IMAGE
#include <SDL_image.h>
#endif
#if VB_BENCH_HAVE_MAGICKCORE
#include <magick/MagickCore.h>
#endif

namespace {

// ---- Decoders -------------------------------------------------------------------------------

enum Decoder {
    DECODER_READ,       // baseline: read the file into fresh memory
    DECODER_COPY,       // baseline: copy a block of our output's size into fresh memory
    DECODER_OURS,       // the plug-in, display 24 bits
    DECODER_OURS_8,     // the plug-in, display 8 bits (TGA: reducer to 3-3-2)
    DECODER_OURS_2,     // the plug-in, display 2 bits (TGA: reducer to 2-bit gray)
    DECODER_OURS_COLD,  // the plug-in, display 24 bits, fresh output pages, wall-clock time
    DECODER_OURS_8_COLD,
    DECODER_OURS_2_COLD,
    DECODER_STB,
    DECODER_SDL,
    DECODER_SDL_MEMORY,  // SDL2_image on the file read whole into memory
    DECODER_MAGICK,
    DECODER_PILLOW,
    DECODER_COUNT
};

const char* const DecoderNames[DECODER_COUNT] = {
    "read",           "copy",        "ours",        "ours@8",    "ours@2",
    "ours cold",      "ours@8 cold", "ours@2 cold", "stb_image", "SDL2_image",
    "SDL2_image mem", "MagickCore",  "Pillow",
};

struct Options {
    std::string inputs = "bench-inputs";
    std::string plugins = VB_BENCH_PLUGIN_DIR;
    int rounds = 7;
    std::string only;
    bool peers = true;
    bool reducer = true;  // TGA also at display depths 8 and 2
    bool coldPages = false;
    std::string python = "/usr/bin/python3";
    std::string pillowScript = VB_BENCH_SOURCE_DIR "/bench/pillow_decode.py";
    std::string markdown;
    bool digests = false;
    bool wallClock = false;
    std::string coldDecode;    // internal: decode this file once, print the wall-clock ms
    int32_t coldDisplay = 24;  // internal: the display bits of that decode
};

struct LoadedFilter {
    GetPictureFunction getPicture = nullptr;
};

struct PillowProcess {
    pid_t pid = -1;
    FILE* requests = nullptr;
    FILE* answers = nullptr;
    std::string version;
};

struct InputState {
    const BenchInput* input;
    std::string path;
    std::u16string wideName;
    size_t fileBytes = 0;
    size_t outputBytes = 0;  // our straight DIB: header block + bits block
    bool decoders[DECODER_COUNT] = {};
    std::vector<double> times[DECODER_COUNT];
    std::vector<double> coldProcessor[DECODER_COUNT];  // a cold decode's processor time
    int64_t peak[DECODER_COUNT] = {};
    bool failed[DECODER_COUNT] = {};
    std::string check;  // outcome of the pixel comparison with a peer
};

LoadedFilter Filters[3];
PillowProcess Pillow;
std::vector<uint8_t> CopySource;
int64_t NotifierCalls = 0;

bool UseWallClock = false;
std::string SelfPath;      // this program, for the cold decodes
std::string PluginFolder;  // where the plug-ins were loaded from

double ReadClockMs(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

double NowMs() {
    return ReadClockMs(UseWallClock ? CLOCK_MONOTONIC : CLOCK_PROCESS_CPUTIME_ID);
}

// The whole file in fresh memory (free it with free), or null.
uint8_t* ReadWholeFile(const std::string& path, size_t* size) {
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        if (descriptor >= 0) close(descriptor);
        return nullptr;
    }
    uint8_t* bytes = (uint8_t*)malloc((size_t)status.st_size + 1);
    size_t total = 0;
    while (bytes && total < (size_t)status.st_size) {
        ssize_t got = read(descriptor, bytes + total, (size_t)status.st_size - total);
        if (got <= 0) break;
        total += (size_t)got;
    }
    close(descriptor);
    *size = total;
    return bytes;
}

std::u16string WidenAscii(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide.push_back((char16_t)c);
    return wide;
}

// The host's progress callback: counts the calls and never asks to stop.
int32_t VB_CALL CountProgress(int32_t current, int32_t total, intptr_t userData) {
    (void)current;
    (void)total;
    (void)userData;
    NotifierCalls++;
    return 0;
}

bool LoadFilter(const std::string& folder, const char* name, LoadedFilter* filter) {
    std::string path = folder + "/" + name + ".spi";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "vbbench: %s\n", dlerror());
        return false;
    }
    filter->getPicture = (GetPictureFunction)dlsym(library, "GetPicture");
    return filter->getPicture != nullptr;
}

// A registry file in TMPDIR holding "extended layouts" = 1, removed at exit; empty when it
// cannot be written.
std::string WriteExtendedLayoutsRegistry() {
    static std::string path;
    const char* folder = getenv("TMPDIR");
    path = std::string(folder && *folder ? folder : "/tmp") + "/vbbench-XXXXXX.reg";
    int descriptor = mkstemps(&path[0], 4);
    if (descriptor < 0) {
        fprintf(stderr, "vbbench: cannot write a registry file in %s\n", path.c_str());
        return std::string();
    }
    static const char text[] =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\r\n"
        "\"extended layouts\"=dword:00000001\r\n";
    const bool written = write(descriptor, text, sizeof text - 1) == (ssize_t)(sizeof text - 1);
    close(descriptor);
    atexit([] { unlink(path.c_str()); });
    return written ? path : std::string();
}

LoadedFilter& FilterFor(BenchFormat format) {
    return Filters[(int)format];
}

void SetDisplayBits(int32_t bits) {
    TestingDevice device;
    TestingGetDevice(&device);
    device.displayBits = bits;
    TestingSetDevice(&device);
}

int32_t DibStride(int32_t width, int32_t bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

uint32_t ReadHeaderField(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// ---- Pillow process -------------------------------------------------------------------------

bool StartPillow(const Options& options) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        execl(options.python.c_str(), options.python.c_str(), options.pillowScript.c_str(),
              options.wallClock ? "wall" : "cpu", (char*)nullptr);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    Pillow.pid = pid;
    Pillow.requests = fdopen(toChild[1], "w");
    Pillow.answers = fdopen(fromChild[0], "r");
    char line[256];
    if (!fgets(line, sizeof line, Pillow.answers) || strncmp(line, "ready ", 6) != 0) {
        fprintf(stderr, "vbbench: Pillow did not start (%s %s)\n", options.python.c_str(),
                options.pillowScript.c_str());
        fclose(Pillow.requests);
        fclose(Pillow.answers);
        waitpid(pid, nullptr, 0);
        Pillow.pid = -1;
        return false;
    }
    Pillow.version = std::string(line + 6);
    while (!Pillow.version.empty() && Pillow.version.back() == '\n') Pillow.version.pop_back();
    return true;
}

void StopPillow() {
    if (Pillow.pid < 0) return;
    fclose(Pillow.requests);
    fclose(Pillow.answers);
    waitpid(Pillow.pid, nullptr, 0);
    Pillow.pid = -1;
}

// ---- One timed decode -----------------------------------------------------------------------

// One decode by our plug-in with the emulated display at `displayBits`, timed by `clock`; the
// milliseconds, or a negative value when it failed.
double TimeOurDecode(InputState* state, int32_t displayBits, clockid_t clock) {
    SetDisplayBits(displayBits);
    void* header = nullptr;
    void* bits = nullptr;
    double start = ReadClockMs(clock);
    int32_t result =
        FilterFor(state->input->format)
            .getPicture(state->wideName.c_str(), 0, 0, &header, &bits, CountProgress, 0);
    double took = ReadClockMs(clock) - start;
    if (result != RESULT_OK) {
        took = -1.0;
    } else {
        FreeBlock(bits);
        FreeBlock(header);
    }
    SetDisplayBits(24);
    return took;
}

// This process's environment without the glibc settings that it gives itself.
std::vector<char*> DefaultEnvironment() {
    std::vector<char*> environment;
    for (char** variable = environ; *variable; variable++) {
        if (strncmp(*variable, "GLIBC_TUNABLES=", 15) != 0) environment.push_back(*variable);
    }
    environment.push_back(nullptr);
    return environment;
}

// A cold decode, timed by the wall clock: one decode by a new vbbench process (--cold-decode)
// with glibc's default settings, whose output lands on pages new to the process as a viewer's
// first decode gets them. A process of its own (not a fork, which would make the pages of this
// one copy-on-write) leaves the other decoders' warm heap alone.
double TimeColdDecode(InputState* state, int32_t displayBits, double* processor) {
    int answer[2];
    if (pipe(answer) != 0) return -1.0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, answer[1], 1);
    posix_spawn_file_actions_addclose(&actions, answer[0]);
    posix_spawn_file_actions_addclose(&actions, answer[1]);
    std::vector<char*> environment = DefaultEnvironment();
    std::string self = SelfPath;
    std::string plugins = PluginFolder;
    char pluginsOption[] = "--plugins";
    char coldOption[] = "--cold-decode";
    char displayOption[] = "--display";
    std::string display = std::to_string(displayBits);
    char* arguments[] = {&self[0],        pluginsOption, &plugins[0], coldOption,
                         &state->path[0], displayOption, &display[0], nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    close(answer[1]);
    char text[64] = {};
    ssize_t got = spawned == 0 ? read(answer[0], text, sizeof text - 1) : -1;
    close(answer[0]);
    int status = 0;
    if (spawned == 0) waitpid(pid, &status, 0);
    if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1.0;
    char* rest = nullptr;
    double took = strtod(text, &rest);
    *processor = strtod(rest, nullptr);
    return took;
}

// Runs one decode; returns the milliseconds, or a negative value when the decoder failed.
double RunDecoder(InputState* state, Decoder decoder, bool measureHeap) {
    const BenchInput& input = *state->input;
    double took = -1.0;
    if (measureHeap) BeginHeapPeak();
    switch (decoder) {
        case DECODER_READ: {
            size_t size = 0;
            double start = NowMs();
            uint8_t* bytes = ReadWholeFile(state->path, &size);
            took = NowMs() - start;
            if (!bytes) took = -1.0;
            free(bytes);
            break;
        }
        case DECODER_COPY: {
            double start = NowMs();
            uint8_t* bytes = (uint8_t*)malloc(state->outputBytes);
            memcpy(bytes, CopySource.data(), state->outputBytes);
            took = NowMs() - start;
            // Keep the copy from being optimised away.
            if (bytes[state->outputBytes / 2] == 1) NotifierCalls++;
            free(bytes);
            break;
        }
        case DECODER_OURS:
        case DECODER_OURS_8:
        case DECODER_OURS_2:
            took = TimeOurDecode(state,
                                 decoder == DECODER_OURS_8   ? 8
                                 : decoder == DECODER_OURS_2 ? 2
                                                             : 24,
                                 UseWallClock ? CLOCK_MONOTONIC : CLOCK_PROCESS_CPUTIME_ID);
            break;
        case DECODER_OURS_COLD:
        case DECODER_OURS_8_COLD:
        case DECODER_OURS_2_COLD:
            if (!measureHeap) {
                double processor = 0.0;
                took = TimeColdDecode(state,
                                      decoder == DECODER_OURS_8_COLD   ? 8
                                      : decoder == DECODER_OURS_2_COLD ? 2
                                                                       : 24,
                                      &processor);
                state->coldProcessor[decoder].push_back(processor);
            } else {
                took = 0.0;  // the warm-up round
            }
            break;
        case DECODER_STB: {
#if VB_BENCH_HAVE_STB
            int w = 0, h = 0, channels = 0;
            double start = NowMs();
            stbi_uc* pixels = stbi_load(state->path.c_str(), &w, &h, &channels, 0);
            took = NowMs() - start;
            if (!pixels) took = -1.0;
            stbi_image_free(pixels);
#endif
            break;
        }
        case DECODER_SDL: {
#if VB_BENCH_HAVE_SDL2_IMAGE
            double start = NowMs();
            SDL_Surface* surface = IMG_Load(state->path.c_str());
            took = NowMs() - start;
            if (!surface) took = -1.0;
            SDL_FreeSurface(surface);
#endif
            break;
        }
        case DECODER_SDL_MEMORY: {
#if VB_BENCH_HAVE_SDL2_IMAGE
            size_t size = 0;
            double start = NowMs();
            uint8_t* bytes = ReadWholeFile(state->path, &size);
            SDL_Surface* surface = nullptr;
            if (bytes) {
                SDL_RWops* stream = SDL_RWFromConstMem(bytes, (int)size);
                surface =
                    IMG_LoadTyped_RW(stream, 1, input.format == BenchFormat::Tga ? "TGA" : "PCX");
            }
            took = NowMs() - start;
            if (!surface) took = -1.0;
            SDL_FreeSurface(surface);
            free(bytes);
#endif
            break;
        }
        case DECODER_MAGICK: {
#if VB_BENCH_HAVE_MAGICKCORE
            ExceptionInfo* exception = AcquireExceptionInfo();
            ImageInfo* info = CloneImageInfo(nullptr);
            snprintf(info->filename, sizeof info->filename, "%s", state->path.c_str());
            double start = NowMs();
            Image* image = ReadImage(info, exception);
            took = NowMs() - start;
            if (!image) took = -1.0;
            if (image) DestroyImage(image);
            DestroyImageInfo(info);
            DestroyExceptionInfo(exception);
#endif
            break;
        }
        case DECODER_PILLOW: {
            if (Pillow.pid < 0) break;
            fprintf(Pillow.requests, "%s\n", state->path.c_str());
            fflush(Pillow.requests);
            char line[512];
            if (!fgets(line, sizeof line, Pillow.answers)) break;
            if (strncmp(line, "error", 5) == 0) {
                fprintf(stderr, "vbbench: Pillow, %s: %s", input.fileName, line);
                break;
            }
            took = atof(line);
            break;
        }
        default:
            break;
    }
    if (measureHeap) state->peak[decoder] = ReadHeapPeak();
    return took;
}

// ---- Pixel comparison with a peer (once, before timing) ------------------------------------

// Our straight decode, kept for the comparison: bits block rows bottom up.
struct OurPicture {
    std::vector<uint8_t> bits;
    int32_t width = 0, height = 0, bitCount = 0, stride = 0;
};

bool DecodeOurs(InputState* state, OurPicture* picture) {
    void* header = nullptr;
    void* bits = nullptr;
    SetDisplayBits(24);
    int32_t result = FilterFor(state->input->format)
                         .getPicture(state->wideName.c_str(), 0, 0, &header, &bits, nullptr, 0);
    if (result != RESULT_OK) return false;
    const uint8_t* h = (const uint8_t*)header;
    picture->width = (int32_t)ReadHeaderField(h + 4);
    picture->height = (int32_t)ReadHeaderField(h + 8);
    picture->bitCount = h[14] | h[15] << 8;
    picture->stride = DibStride(picture->width, picture->bitCount);
    size_t size = (size_t)picture->stride * (size_t)picture->height;
    picture->bits.assign((const uint8_t*)bits, (const uint8_t*)bits + size);
    FreeBlock(bits);
    FreeBlock(header);
    return true;
}

void CheckAgainstPeers(InputState* state) {
    OurPicture ours;
    if (!DecodeOurs(state, &ours)) {
        state->check = "our decode failed";
        return;
    }
    state->outputBytes = FULL_HEADER_BLOCK_SIZE + ours.bits.size();
    const BenchInput& input = *state->input;
    (void)input;
#if VB_BENCH_HAVE_STB
    if (input.format == BenchFormat::Tga && state->decoders[DECODER_STB]) {
        int w = 0, h = 0, channels = 0;
        stbi_uc* pixels = stbi_load(state->path.c_str(), &w, &h, &channels, 0);
        if (!pixels || w != ours.width || h != ours.height) {
            state->check = "stb_image: no picture";
            stbi_image_free(pixels);
            return;
        }
        size_t differ = 0;
        for (int32_t y = 0; y < h; y++) {
            // Our row y is the picture's row h-1-y counted from the top; stb gives rows top down
            // as red, green, blue (and alpha), ours blue, green, red or gray.
            const uint8_t* mine = ours.bits.data() + (size_t)y * ours.stride;
            const stbi_uc* theirs = pixels + (size_t)(h - 1 - y) * w * channels;
            for (int32_t x = 0; x < w; x++) {
                const stbi_uc* p = theirs + (size_t)x * channels;
                if (channels == 1) {
                    differ += mine[x] != p[0];
                } else {
                    const uint8_t* q = mine + 3 * x;
                    differ += q[0] != p[2] || q[1] != p[1] || q[2] != p[0];
                }
            }
        }
        stbi_image_free(pixels);
        state->check = differ == 0 ? "= stb_image" : "DIFFERS from stb_image";
        return;
    }
#endif
#if VB_BENCH_HAVE_SDL2_IMAGE
    if (input.format == BenchFormat::Pcx && state->decoders[DECODER_SDL]) {
        SDL_Surface* surface = IMG_Load(state->path.c_str());
        if (!surface || surface->w != ours.width || surface->h != ours.height ||
            surface->format->BytesPerPixel != 1) {
            state->check = "SDL2_image: no 8-bit picture";
            SDL_FreeSurface(surface);
            return;
        }
        // 16 colours: SDL2_image gives the plane bits as a value 0..15 with the header's
        // palette; we give the place of that colour in the 3-3-2 colour cube, or of the
        // standard 16 colours when the header's palette is all zero.
        uint8_t cubeIndex[16] = {0, 96, 12, 108, 1, 97, 13, 109, 0, 192, 24, 216, 2, 194, 26, 218};
        const bool planar = input.path == BenchPath::Pcx16Planar;
        const SDL_Palette* palette = surface->format->palette;
        bool headerPalette = false;
        for (int i = 0; planar && palette && i < 16 && i < palette->ncolors; i++) {
            const SDL_Color& c = palette->colors[i];
            headerPalette = headerPalette || c.r != 0 || c.g != 0 || c.b != 0;
        }
        for (int i = 0; headerPalette && i < 16 && i < palette->ncolors; i++) {
            const SDL_Color& c = palette->colors[i];
            cubeIndex[i] = (uint8_t)(32 * std::min(7, (c.r + 18) / 36) +
                                     4 * std::min(7, (c.g + 18) / 36) + (c.b + 42) / 85);
        }
        size_t differ = 0;
        for (int32_t y = 0; y < surface->h; y++) {
            const uint8_t* mine = ours.bits.data() + (size_t)(surface->h - 1 - y) * ours.stride;
            const uint8_t* theirs = (const uint8_t*)surface->pixels + (size_t)y * surface->pitch;
            for (int32_t x = 0; x < surface->w; x++) {
                uint8_t expected = planar ? cubeIndex[theirs[x] & 15] : theirs[x];
                differ += mine[x] != expected;
            }
        }
        SDL_FreeSurface(surface);
        state->check = differ == 0 ? "= SDL2_image" : "DIFFERS from SDL2_image";
        return;
    }
#endif
    state->check = "-";
}

// ---- Digests of our output ------------------------------------------------------------------

uint64_t HashBytes(uint64_t hash, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; i++) hash = (hash ^ bytes[i]) * 0x100000001B3ull;  // FNV-1a
    return hash;
}

void PrintDigests(const std::vector<InputState>& states) {
    for (const InputState& state : states) {
        const bool tga = state.input->format == BenchFormat::Tga;
        for (int32_t display : {24, 8, 2}) {
            if (!tga && display != 24) continue;
            SetDisplayBits(display);
            void* header = nullptr;
            void* bits = nullptr;
            int32_t result =
                FilterFor(state.input->format)
                    .getPicture(state.wideName.c_str(), 0, 0, &header, &bits, nullptr, 0);
            uint64_t hash = 0xCBF29CE484222325ull;
            if (result == RESULT_OK) {
                const uint8_t* h = (const uint8_t*)header;
                int32_t width = (int32_t)ReadHeaderField(h + 4);
                int32_t height = (int32_t)ReadHeaderField(h + 8);
                int32_t bitCount = h[14] | h[15] << 8;
                uint32_t headerBytes = FULL_HEADER_BLOCK_SIZE;
                if (state.input->format == BenchFormat::Mag) {
                    headerBytes = BITMAPINFOHEADER_SIZE + RGBQUAD_SIZE * (1u << bitCount);
                }
                hash = HashBytes(hash, h, headerBytes);
                hash = HashBytes(hash, (const uint8_t*)bits,
                                 (size_t)DibStride(width, bitCount) * (size_t)height);
                FreeBlock(bits);
                FreeBlock(header);
            }
            printf("%-22s display %2d  result %d  %016llx\n", state.input->fileName, display,
                   result, (unsigned long long)hash);
        }
    }
    SetDisplayBits(24);
}

// ---- vbhost in a new process ---------------------------------------------------------------

// A conversion as a user runs one: `vbhost convert FILE --format bmp -o OUT -q` in a new process
// with glibc's default settings, timed by the wall clock from its start to its exit; the
// milliseconds, or a negative value when it failed. `processor`: the process's processor time.
double TimeHostConversion(const std::string& host, const std::string& input,
                          const std::string& output, double* processor) {
    unlink(output.c_str());
    std::vector<char*> environment = DefaultEnvironment();
    std::string program = host, file = input, out = output;
    char convert[] = "convert", format[] = "--format", bmp[] = "bmp", to[] = "-o", quiet[] = "-q";
    char* arguments[] = {&program[0], convert, &file[0], format, bmp, to, &out[0], quiet, nullptr};
    pid_t pid = -1;
    double start = ReadClockMs(CLOCK_MONOTONIC);
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, arguments, environment.data()) != 0) {
        return -1.0;
    }
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(pid, &status, 0, &usage);
    double took = ReadClockMs(CLOCK_MONOTONIC) - start;
    *processor = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1.0;
}

// The write half of a conversion, warm: `bytes` bytes from memory in use to a new file, in
// pieces of 1 MiB, timed by the wall clock; the milliseconds, or a negative value. `processor`:
// the processor time it took.
double TimeFileWrite(const std::string& output, size_t bytes, double* processor) {
    unlink(output.c_str());
    double processorStart = ReadClockMs(CLOCK_PROCESS_CPUTIME_ID);
    double start = ReadClockMs(CLOCK_MONOTONIC);
    int descriptor = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) return -1.0;
    bool whole = true;
    for (size_t done = 0; done < bytes && whole;) {
        size_t piece = std::min(bytes - done, (size_t)1 << 20);
        ssize_t wrote = write(descriptor, CopySource.data() + done % CopySource.size(), piece);
        whole = wrote > 0;
        done += whole ? (size_t)wrote : 0;
    }
    whole = close(descriptor) == 0 && whole;
    double took = ReadClockMs(CLOCK_MONOTONIC) - start;
    *processor = ReadClockMs(CLOCK_PROCESS_CPUTIME_ID) - processorStart;
    unlink(output.c_str());
    return whole ? took : -1.0;
}

struct HostRun {
    const InputState* state;
    std::vector<double> convert, convertProcessor;
    std::vector<double> write, writeProcessor;
    bool failed = false;
};

// vbhost converts the 24-bit photo-like TGA inputs to BMP, round by round with the write
// baseline; vbhost is the one beside the plug-ins (as the build places it).
std::vector<HostRun> TimeHostConversions(const std::vector<InputState>& states,
                                         const Options& options) {
    std::vector<HostRun> runs;
    std::string host = PluginFolder + "/vbhost";
    if (access(host.c_str(), X_OK) != 0) return runs;
    for (const InputState& state : states) {
        const BenchPath path = state.input->path;
        if ((path == BenchPath::Tga24Raw || path == BenchPath::Tga24Rle) &&
            state.input->style == BenchStyle::Photo && !state.failed[DECODER_OURS]) {
            runs.push_back(HostRun{&state, {}, {}, {}, {}});
        }
    }
    std::string folder = options.inputs + "/vbhost-out";
    mkdir(folder.c_str(), 0777);
    for (int round = 0; round <= options.rounds; round++) {
        for (HostRun& run : runs) {
            std::string output = folder + "/" + run.state->input->fileName + ".bmp";
            double convertProcessor = 0.0, writeProcessor = 0.0;
            double convert = TimeHostConversion(host, run.state->path, output, &convertProcessor);
            double write =
                TimeFileWrite(output + ".baseline", run.state->outputBytes + 14, &writeProcessor);
            run.failed = run.failed || convert < 0 || write < 0;
            // Round 0 brings vbhost and the input into the page cache.
            if (round > 0) {
                run.convert.push_back(convert);
                run.convertProcessor.push_back(convertProcessor);
                run.write.push_back(write);
                run.writeProcessor.push_back(writeProcessor);
            }
            unlink(output.c_str());
        }
    }
    rmdir(folder.c_str());
    return runs;
}

// ---- Table ----------------------------------------------------------------------------------

double Median(std::vector<double> values) {
    if (values.empty()) return -1.0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::string Format(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

double Megapixels(const BenchInput& input) {
    return (double)input.width * input.height / 1e6;
}

struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

std::string RenderMarkdown(const Table& table) {
    std::string text = "|";
    for (const std::string& cell : table.header) text += " " + cell + " |";
    text += "\n|";
    for (size_t i = 0; i < table.header.size(); i++) text += i < 2 ? "---|" : "---:|";
    text += "\n";
    for (const auto& row : table.rows) {
        text += "|";
        for (const std::string& cell : row) text += " " + cell + " |";
        text += "\n";
    }
    return text;
}

std::string MedianCell(const InputState& state, Decoder decoder) {
    if (!state.decoders[decoder]) return "";
    if (state.failed[decoder]) return "failed";
    return Format("%.1f", Median(state.times[decoder]));
}

// A cold decode: processor time / elapsed time.
std::string ColdCell(const InputState& state, Decoder decoder) {
    if (!state.decoders[decoder]) return "";
    if (state.failed[decoder]) return "failed";
    return Format("%.1f", Median(state.coldProcessor[decoder])) + " / " +
           Format("%.1f", Median(state.times[decoder]));
}

std::string RatioCell(const InputState& state, Decoder decoder) {
    if (!state.decoders[decoder]) return "";
    if (state.failed[decoder] || state.failed[DECODER_OURS]) return "failed";
    double ours = Median(state.times[DECODER_OURS]);
    double theirs = Median(state.times[decoder]);
    return Format("%.1f", theirs) + " (" + Format("%.2fx", theirs / ours) + ")";
}

// The peer that decodes this input fastest, as a ratio of its time to ours.
double BestPeerRatio(const InputState& state) {
    double best = -1.0;
    for (int d = DECODER_STB; d <= DECODER_PILLOW; d++) {
        if (!state.decoders[d] || state.failed[d]) continue;
        double ratio = Median(state.times[d]) / Median(state.times[DECODER_OURS]);
        if (best < 0 || ratio < best) best = ratio;
    }
    return best;
}

std::string BuildReport(const std::vector<InputState>& states, const std::vector<HostRun>& runs,
                        const Options& options) {
    std::string report;
    Table speed;
    speed.header = {"Path",
                    "Style",
                    "MB file",
                    "read ms",
                    "copy ms",
                    "ours ms",
                    "ours MP/s",
                    "ours cold ms, processor / wall",
                    "stb_image ms (x)",
                    "SDL2_image ms (x)",
                    "SDL2_image mem ms (x)",
                    "MagickCore ms (x)",
                    "Pillow ms (x)",
                    "fastest peer x",
                    "pixels"};
    for (const InputState& state : states) {
        const BenchInput& input = *state.input;
        double ours = Median(state.times[DECODER_OURS]);
        double best = BestPeerRatio(state);
        speed.rows.push_back(
            {input.label, NameBenchStyle(input.style),
             Format("%.1f", (double)state.fileBytes / 1048576.0), MedianCell(state, DECODER_READ),
             MedianCell(state, DECODER_COPY), MedianCell(state, DECODER_OURS),
             state.failed[DECODER_OURS] ? "" : Format("%.0f", Megapixels(input) / ours * 1e3),
             ColdCell(state, DECODER_OURS_COLD), RatioCell(state, DECODER_STB),
             RatioCell(state, DECODER_SDL), RatioCell(state, DECODER_SDL_MEMORY),
             RatioCell(state, DECODER_MAGICK), RatioCell(state, DECODER_PILLOW),
             best < 0 ? "" : Format("%.2fx", best), state.check});
    }
    report +=
        std::string(options.wallClock ? "Elapsed" : "Processor") + " time of a decode, median of " +
        std::to_string(options.rounds) +
        " rounds; (x) = peer time / our time, above 1 means ours is faster; \"ours cold\" "
        "is a decode into pages new to the process, in a process of its own (its processor time, "
        "which a loaded machine leaves alone, and its elapsed time). Output memory: " +
        std::string(options.coldPages ? "fresh pages from the kernel (--cold-pages)"
                                      : "new allocations from a heap that keeps its pages") +
        ".\n\n";
    report += RenderMarkdown(speed);

    Table reducer;
    reducer.header = {"Path",
                      "Style",
                      "straight MP/s",
                      "display 8: MP/s",
                      "8 / straight",
                      "display 8 cold ms, processor / wall",
                      "display 2: MP/s",
                      "2 / straight",
                      "display 2 cold ms, processor / wall"};
    for (const InputState& state : states) {
        const BenchInput& input = *state.input;
        if (input.format != BenchFormat::Tga || !state.decoders[DECODER_OURS_8]) continue;
        double mp = Megapixels(input);
        double straight = mp / Median(state.times[DECODER_OURS]) * 1e3;
        double at8 = mp / Median(state.times[DECODER_OURS_8]) * 1e3;
        double at2 = mp / Median(state.times[DECODER_OURS_2]) * 1e3;
        reducer.rows.push_back({input.label, NameBenchStyle(input.style), Format("%.0f", straight),
                                Format("%.0f", at8), Format("%.2f", at8 / straight),
                                ColdCell(state, DECODER_OURS_8_COLD), Format("%.0f", at2),
                                Format("%.2f", at2 / straight),
                                ColdCell(state, DECODER_OURS_2_COLD)});
    }
    report +=
        "\nTGA with the emulated display at 8 and 2 bits per pixel (colour pictures go "
        "through the reducer to 3-3-2 or 2-bit gray; gray pictures at 8 bits are copied "
        "straight).\n\n";
    report += RenderMarkdown(reducer);

    Table memory;
    memory.header = {"Path",          "Style",           "output MB",
                     "ours extra KB", "ours@8 extra KB", "ours@2 extra KB",
                     "stb_image MB",  "SDL2_image MB",   "MagickCore MB"};
    for (const InputState& state : states) {
        const BenchInput& input = *state.input;
        const bool tga = input.format == BenchFormat::Tga;
        // Our peak beyond the two output blocks: the working memory of the decode. The output
        // of a reduced decode is smaller, so its blocks are worked out from its depth.
        auto extra = [&](Decoder d, int32_t bitCount) -> std::string {
            if (!state.decoders[d]) return "";
            int64_t blocks =
                FULL_HEADER_BLOCK_SIZE + (int64_t)DibStride(input.width, bitCount) * input.height;
            if (d == DECODER_OURS) blocks = (int64_t)state.outputBytes;
            return Format("%.0f", (double)(state.peak[d] - blocks) / 1024.0);
        };
        auto megabytes = [&](Decoder d) -> std::string {
            if (!state.decoders[d] || state.failed[d]) return "";
            return Format("%.1f", (double)state.peak[d] / 1048576.0);
        };
        memory.rows.push_back({input.label, NameBenchStyle(input.style),
                               Format("%.1f", (double)state.outputBytes / 1048576.0),
                               extra(DECODER_OURS, 0), tga ? extra(DECODER_OURS_8, 8) : "",
                               tga ? extra(DECODER_OURS_2, 2) : "", megabytes(DECODER_STB),
                               megabytes(DECODER_SDL), megabytes(DECODER_MAGICK)});
    }
    report +=
        "\nPeak heap use of one decode (malloc family, the plug-ins' local heap included). "
        "\"extra\" is our peak beyond the header and bits blocks handed to the host.\n\n";
    report += RenderMarkdown(memory);

    if (runs.empty()) return report;
    Table host;
    host.header = {"Path",
                   "Style",
                   "BMP MB",
                   "vbhost convert ms, processor / wall",
                   "ours ms",
                   "write ms, processor / wall",
                   "convert / (ours + write), processor",
                   "the same, wall"};
    for (const HostRun& run : runs) {
        const InputState& state = *run.state;
        if (run.failed) {
            host.rows.push_back(
                {state.input->label, NameBenchStyle(state.input->style), "", "failed"});
            continue;
        }
        double convert = Median(run.convert), convertProcessor = Median(run.convertProcessor);
        double write = Median(run.write), writeProcessor = Median(run.writeProcessor);
        double ours = Median(state.times[DECODER_OURS]);
        host.rows.push_back({state.input->label, NameBenchStyle(state.input->style),
                             Format("%.1f", (double)(state.outputBytes + 14) / 1048576.0),
                             Format("%.1f", convertProcessor) + " / " + Format("%.1f", convert),
                             Format("%.1f", ours),
                             Format("%.1f", writeProcessor) + " / " + Format("%.1f", write),
                             Format("%.2f", convertProcessor / (ours + writeProcessor)),
                             Format("%.2f", convert / (ours + write))});
    }
    report +=
        "\nvbhost converting to BMP in a new process (`vbhost convert FILE --format bmp -o OUT "
        "-q`, glibc's defaults), start to exit, against our warm decode (processor time) and a "
        "warm write of the BMP's bytes to a new file in the same folder.\n\n";
    report += RenderMarkdown(host);
    return report;
}

void PrintUsage() {
    fprintf(
        stderr,
        "usage: vbbench [--inputs DIR] [--plugins DIR] [--rounds N] [--only TEXT]\n"
        "               [--no-peers] [--no-reducer] [--cold-pages] [--wall-clock] [--python PATH] "
        "[--pillow-script PATH] [--markdown FILE]\n"
        "       vbbench --digests [--inputs DIR] [--plugins DIR] [--only TEXT]\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string number;
        if (arg == "--inputs") {
            if (!value(&options->inputs)) return false;
        } else if (arg == "--plugins") {
            if (!value(&options->plugins)) return false;
        } else if (arg == "--rounds") {
            if (!value(&number)) return false;
            options->rounds = atoi(number.c_str());
            if (options->rounds < 1) return false;
        } else if (arg == "--only") {
            if (!value(&options->only)) return false;
        } else if (arg == "--no-reducer") {
            options->reducer = false;
        } else if (arg == "--no-peers") {
            options->peers = false;
        } else if (arg == "--cold-decode") {
            if (!value(&options->coldDecode)) return false;
        } else if (arg == "--display") {
            if (!value(&number)) return false;
            options->coldDisplay = atoi(number.c_str());
        } else if (arg == "--digests") {
            options->digests = true;
        } else if (arg == "--wall-clock") {
            options->wallClock = true;
        } else if (arg == "--cold-pages") {
            options->coldPages = true;
        } else if (arg == "--python") {
            if (!value(&options->python)) return false;
        } else if (arg == "--pillow-script") {
            if (!value(&options->pillowScript)) return false;
        } else if (arg == "--markdown") {
            if (!value(&options->markdown)) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string DescribePeers() {
    std::string text;
#if VB_BENCH_HAVE_STB
    text += "stb_image " + std::to_string(STBI_VERSION) + " (libstb); ";
#endif
#if VB_BENCH_HAVE_SDL2_IMAGE
    const SDL_version* sdl = IMG_Linked_Version();
    text += "SDL2_image " + std::to_string(sdl->major) + "." + std::to_string(sdl->minor) + "." +
            std::to_string(sdl->patch) + "; ";
#endif
#if VB_BENCH_HAVE_MAGICKCORE
    size_t number = 0;
    text += std::string(GetMagickVersion(&number)) + ", 1 thread; ";
#endif
    if (Pillow.pid >= 0) text += "Pillow " + Pillow.version + " (own process); ";
    return text;
}

// --cold-decode: one decode of the file by the plug-in of its bench input, the wall-clock and
// the processor milliseconds on standard output.
int RunColdDecode(const std::string& path, int32_t displayBits) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    for (size_t i = 0; i < BenchInputCount; i++) {
        if (name != BenchInputs[i].fileName) continue;
        InputState state;
        state.input = &BenchInputs[i];
        state.path = path;
        state.wideName = WidenAscii(path);
        double processorStart = ReadClockMs(CLOCK_PROCESS_CPUTIME_ID);
        double took = TimeOurDecode(&state, displayBits, CLOCK_MONOTONIC);
        double processor = ReadClockMs(CLOCK_PROCESS_CPUTIME_ID) - processorStart;
        if (took < 0) return 1;
        printf("%.6f %.6f\n", took, processor);
        return 0;
    }
    fprintf(stderr, "vbbench: %s is not a bench input\n", name.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        PrintUsage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    UseWallClock = options.wallClock;
    if (!options.coldPages) {
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, INT_MAX);
        // The same for the Pillow process, through glibc's tunables.
        setenv("GLIBC_TUNABLES", "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=2147483647",
               1);
    }
    // "full color" is missing from the registry, so it reads as on; "extended layouts" is 1 for
    // the inputs that need it (it changes nothing for the others, as their digests show). The
    // display is set per decode.
    TestingReset();
    const std::string registry = WriteExtendedLayoutsRegistry();
    if (registry.empty()) return 1;
    TestingSetRegistryFile(registry.c_str());
    if (!LoadFilter(options.plugins, "vbtga", &Filters[(int)BenchFormat::Tga]) ||
        !LoadFilter(options.plugins, "vbpcx", &Filters[(int)BenchFormat::Pcx]) ||
        !LoadFilter(options.plugins, "vbmag", &Filters[(int)BenchFormat::Mag])) {
        return 1;
    }
    PluginFolder = options.plugins;
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) SelfPath = self;
    if (!options.coldDecode.empty()) return RunColdDecode(options.coldDecode, options.coldDisplay);

    if (options.digests) options.peers = false;
    bool havePillow = false;
#if VB_BENCH_HAVE_MAGICKCORE
    if (options.peers) {
        setenv("MAGICK_THREAD_LIMIT", "1", 1);
        setenv("OMP_NUM_THREADS", "1", 1);
        MagickCoreGenesis(argv[0], MagickFalse);
        SetMagickResourceLimit(ThreadResource, 1);
    }
#endif
    if (options.peers) havePillow = StartPillow(options);

    std::vector<InputState> states;
    for (size_t i = 0; i < BenchInputCount; i++) {
        const BenchInput& input = BenchInputs[i];
        if (!options.only.empty() &&
            std::string(input.fileName).find(options.only) == std::string::npos) {
            continue;
        }
        InputState state;
        state.input = &input;
        state.path = options.inputs + "/" + input.fileName;
        state.wideName = WidenAscii(state.path);
        struct stat status;
        if (stat(state.path.c_str(), &status) != 0) {
            fprintf(stderr, "vbbench: %s is missing (run vbbench_inputs %s)\n", state.path.c_str(),
                    options.inputs.c_str());
            return 1;
        }
        state.fileBytes = (size_t)status.st_size;
        state.decoders[DECODER_READ] = true;
        state.decoders[DECODER_COPY] = true;
        state.decoders[DECODER_OURS] = true;
        state.decoders[DECODER_OURS_COLD] = true;
        state.decoders[DECODER_OURS_8] = state.decoders[DECODER_OURS_2] =
            options.reducer && input.format == BenchFormat::Tga;
        state.decoders[DECODER_OURS_8_COLD] = state.decoders[DECODER_OURS_2_COLD] =
            state.decoders[DECODER_OURS_8];
        if (options.peers) {
            const bool tga = input.format == BenchFormat::Tga;
            const bool pcx = input.format == BenchFormat::Pcx;
            state.decoders[DECODER_STB] = VB_BENCH_HAVE_STB && tga;
            state.decoders[DECODER_SDL] = VB_BENCH_HAVE_SDL2_IMAGE && (tga || pcx);
            state.decoders[DECODER_SDL_MEMORY] = state.decoders[DECODER_SDL];
            state.decoders[DECODER_MAGICK] = VB_BENCH_HAVE_MAGICKCORE && (tga || pcx);
            state.decoders[DECODER_PILLOW] = havePillow && (tga || pcx);
        }
        states.push_back(state);
    }

    if (options.digests) {
        PrintDigests(states);
        return 0;
    }

    // Our output size for the copy baseline, and one comparison of pixels with a peer.
    size_t largest = 0;
    for (InputState& state : states) {
        CheckAgainstPeers(&state);
        largest = std::max(largest, state.outputBytes);
    }
    CopySource.assign(largest, 0x5A);

    fprintf(stderr, "vbbench: %zu inputs, %d rounds after a warm-up round\n", states.size(),
            options.rounds);
    // Round 0 warms the page cache and the libraries and measures the heap; its times are not
    // kept. Each round runs every input once through every decoder, in an order that turns by
    // one decoder per round.
    for (int round = 0; round <= options.rounds; round++) {
        for (InputState& state : states) {
            std::vector<Decoder> order;
            for (int d = 0; d < DECODER_COUNT; d++) {
                if (state.decoders[d]) order.push_back((Decoder)d);
            }
            std::rotate(order.begin(), order.begin() + (round % order.size()), order.end());
            for (Decoder decoder : order) {
                double took = RunDecoder(&state, decoder, round == 0);
                if (took < 0) {
                    state.failed[decoder] = true;
                } else if (round > 0) {
                    state.times[decoder].push_back(took);
                }
            }
        }
        if (round > 0) fprintf(stderr, "vbbench: round %d done\n", round);
    }
    std::vector<HostRun> runs = TimeHostConversions(states, options);
    std::string peers = DescribePeers();
    StopPillow();

    std::string report = BuildReport(states, runs, options);
    if (!peers.empty()) report += "\nPeers: " + peers + "\n";
    fputs(report.c_str(), stdout);
    if (!options.markdown.empty()) {
        FILE* file = fopen(options.markdown.c_str(), "w");
        if (!file) {
            fprintf(stderr, "vbbench: cannot write %s\n", options.markdown.c_str());
            return 1;
        }
        fputs(report.c_str(), file);
        fclose(file);
    }
#if VB_BENCH_HAVE_MAGICKCORE
    if (options.peers) MagickCoreTerminus();
#endif
    return 0;
}
