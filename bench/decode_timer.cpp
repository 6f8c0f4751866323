// vbdecodetime: the wall time of a decode through the plug-ins' GetPicture, on every build
// (Linux, Windows under wine, ARM under qemu), so that the builds can be compared on the same
// files. Unlike vbbench it needs nothing but the plug-ins and the platform library.
//
//   vbdecodetime [--rounds N] [--plugins DIR] FILE...
//
// Each file is decoded once to warm up and then N times (default 5) by the plug-in that accepts
// it. Printed, one line a file: the median wall time of a decode; the median time to allocate a
// local-heap block of the bits block's size, write every byte of it once and free it (what
// the output costs before any decoding, very different between systems: under wine each fresh
// page costs far more than under Linux); and the decode less that.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "framework/plugin.h"

#if defined(_WIN32)
#include <windows.h>
static void* OpenLibrary(const std::string& path) {
    return (void*)LoadLibraryA(path.c_str());
}
static void* FindSymbol(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}
static const char PATH_SEPARATOR = '\\';
#else
#include <dlfcn.h>
static void* OpenLibrary(const std::string& path) {
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
static void* FindSymbol(void* library, const char* name) {
    return dlsym(library, name);
}
static const char PATH_SEPARATOR = '/';
#endif

struct Plugin {
    std::string name;
    IsSupportedFunction isSupported;
    GetPictureFunction getPicture;
};

// ASCII file names are enough for benchmark inputs.
static std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

static std::string FolderOf(const char* program) {
    std::string path(program);
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Bytes of the bits block that a DIB header describes.
static uint32_t BitsSize(const uint8_t* header) {
    int32_t width, height;
    uint16_t bitCount;
    memcpy(&width, header + 4, 4);
    memcpy(&height, header + 8, 4);
    memcpy(&bitCount, header + 14, 2);
    return (uint32_t)(((int64_t)width * bitCount + 31) / 32 * 4 * height);
}

static std::vector<uint8_t> ReadHead(const std::string& path) {
    std::vector<uint8_t> head(2048, 0);
    FILE* in = fopen(path.c_str(), "rb");
    if (in) {
        size_t got = fread(head.data(), 1, head.size(), in);
        (void)got;
        fclose(in);
    }
    return head;
}

int main(int argc, char** argv) {
    int rounds = 5;
    std::string pluginDir = FolderOf(argv[0]);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = atoi(argv[++i]);
        } else if (arg == "--plugins" && i + 1 < argc) {
            pluginDir = argv[++i];
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty() || rounds < 1) {
        fprintf(stderr, "usage: vbdecodetime [--rounds N] [--plugins DIR] FILE...\n");
        return 2;
    }
    std::vector<Plugin> plugins;
    for (const char* name : {"vbmag", "vbpcx", "vbtga"}) {
        void* library = OpenLibrary(pluginDir + PATH_SEPARATOR + name + ".spi");
        if (!library) {
            fprintf(stderr, "vbdecodetime: cannot load %s.spi from %s\n", name, pluginDir.c_str());
            return 1;
        }
        plugins.push_back({name, (IsSupportedFunction)FindSymbol(library, "IsSupported"),
                           (GetPictureFunction)FindSymbol(library, "GetPicture")});
    }

    int status = 0;
    for (const std::string& file : files) {
        const std::u16string wide = Widen(file);
        const std::vector<uint8_t> head = ReadHead(file);
        const Plugin* chosen = nullptr;
        for (const Plugin& plugin : plugins) {
            if (plugin.isSupported(wide.c_str(), (uintptr_t)head.data()) == 1) {
                chosen = &plugin;
                break;
            }
        }
        if (!chosen) {
            fprintf(stderr, "vbdecodetime: no plug-in reads %s\n", file.c_str());
            status = 1;
            continue;
        }
        std::vector<double> times, touches;
        int32_t result = RESULT_OK;
        for (int round = 0; round <= rounds && result == RESULT_OK; round++) {
            void* header = nullptr;
            void* bits = nullptr;
            auto start = std::chrono::steady_clock::now();
            result = chosen->getPicture(wide.c_str(), 0, 0, &header, &bits, nullptr, 0);
            auto end = std::chrono::steady_clock::now();
            if (result != RESULT_OK) break;
            const uint32_t bitsSize = BitsSize((const uint8_t*)header);
            FreeBlock(bits);
            FreeBlock(header);
            auto touchStart = std::chrono::steady_clock::now();
            void* block = AllocateBlock(bitsSize);
            if (block) memset(block, 1, bitsSize);
            FreeBlock(block);
            auto touchEnd = std::chrono::steady_clock::now();
            if (round > 0) {
                times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
                touches.push_back(
                    std::chrono::duration<double, std::milli>(touchEnd - touchStart).count());
            }
        }
        if (result != RESULT_OK) {
            fprintf(stderr, "vbdecodetime: %s: result %d\n", file.c_str(), (int)result);
            status = 1;
            continue;
        }
        std::sort(times.begin(), times.end());
        std::sort(touches.begin(), touches.end());
        const double decode = times[times.size() / 2], touch = touches[touches.size() / 2];
        const std::string base = file.substr(file.find_last_of("/\\") + 1);
        printf("%-24s %-6s decode %8.2f ms  output block %8.2f ms  difference %8.2f ms\n",
               base.c_str(), chosen->name.c_str(), decode, touch, decode - touch);
    }
    return status;
}
