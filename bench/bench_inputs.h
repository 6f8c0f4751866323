// The benchmark inputs: one file per decode path and picture style, written by vbbench_inputs
// with the project's own encoders and read back by vbbench.
#ifndef VB_BENCH_BENCH_INPUTS_H
#define VB_BENCH_BENCH_INPUTS_H

#include <stddef.h>
#include <stdint.h>

enum class BenchFormat { Tga, Pcx, Mag };

enum class BenchPath {
    Tga24Raw,
    Tga24Rle,
    Tga32Rle,
    Tga8GrayRaw,
    Tga8GrayRle,
    Pcx256,
    Pcx16Planar,
    Mag16,
    Mag256,
    // Layouts decoded only with "extended layouts" on. New paths go last: each path's number
    // seeds its picture's noise.
    TgaMappedRle,
    Tga16Rle,
    Pcx24,
};

// Photo-like: gradients plus noise, so neighbouring pixels rarely repeat and runs stay short.
// Posterized: a few flat levels in large areas, so runs are long.
enum class BenchStyle { Photo, Posterized };

struct BenchInput {
    const char* fileName;  // inside the inputs folder
    const char* label;     // the decode path, as the table names it
    BenchFormat format;
    BenchPath path;
    BenchStyle style;
    int32_t width;
    int32_t height;
};

static const BenchInput BenchInputs[] = {
    {"tga24raw-photo.tga", "TGA 24-bit raw", BenchFormat::Tga, BenchPath::Tga24Raw,
     BenchStyle::Photo, 4096, 4096},
    {"tga24raw-poster.tga", "TGA 24-bit raw", BenchFormat::Tga, BenchPath::Tga24Raw,
     BenchStyle::Posterized, 4096, 4096},
    {"tga24rle-photo.tga", "TGA 24-bit RLE", BenchFormat::Tga, BenchPath::Tga24Rle,
     BenchStyle::Photo, 4096, 4096},
    {"tga24rle-poster.tga", "TGA 24-bit RLE", BenchFormat::Tga, BenchPath::Tga24Rle,
     BenchStyle::Posterized, 4096, 4096},
    {"tga32rle-photo.tga", "TGA 32-bit RLE", BenchFormat::Tga, BenchPath::Tga32Rle,
     BenchStyle::Photo, 4096, 4096},
    {"tga32rle-poster.tga", "TGA 32-bit RLE", BenchFormat::Tga, BenchPath::Tga32Rle,
     BenchStyle::Posterized, 4096, 4096},
    {"tga8raw-photo.tga", "TGA 8-bit gray raw", BenchFormat::Tga, BenchPath::Tga8GrayRaw,
     BenchStyle::Photo, 4096, 4096},
    {"tga8raw-poster.tga", "TGA 8-bit gray raw", BenchFormat::Tga, BenchPath::Tga8GrayRaw,
     BenchStyle::Posterized, 4096, 4096},
    {"tga8rle-photo.tga", "TGA 8-bit gray RLE", BenchFormat::Tga, BenchPath::Tga8GrayRle,
     BenchStyle::Photo, 4096, 4096},
    {"tga8rle-poster.tga", "TGA 8-bit gray RLE", BenchFormat::Tga, BenchPath::Tga8GrayRle,
     BenchStyle::Posterized, 4096, 4096},
    {"pcx256-photo.pcx", "PCX 256 colours", BenchFormat::Pcx, BenchPath::Pcx256, BenchStyle::Photo,
     4096, 4096},
    {"pcx256-poster.pcx", "PCX 256 colours", BenchFormat::Pcx, BenchPath::Pcx256,
     BenchStyle::Posterized, 4096, 4096},
    {"pcx16-photo.pcx", "PCX 16 colours planar", BenchFormat::Pcx, BenchPath::Pcx16Planar,
     BenchStyle::Photo, 4096, 4096},
    {"pcx16-poster.pcx", "PCX 16 colours planar", BenchFormat::Pcx, BenchPath::Pcx16Planar,
     BenchStyle::Posterized, 4096, 4096},
    {"mag16-photo.mag", "MAG 16 colours", BenchFormat::Mag, BenchPath::Mag16, BenchStyle::Photo,
     2048, 2048},
    {"mag16-poster.mag", "MAG 16 colours", BenchFormat::Mag, BenchPath::Mag16,
     BenchStyle::Posterized, 2048, 2048},
    {"mag256-photo.mag", "MAG 256 colours", BenchFormat::Mag, BenchPath::Mag256, BenchStyle::Photo,
     2048, 2048},
    {"mag256-poster.mag", "MAG 256 colours", BenchFormat::Mag, BenchPath::Mag256,
     BenchStyle::Posterized, 2048, 2048},
    {"tgamaprle-photo.tga", "TGA colour-mapped RLE", BenchFormat::Tga, BenchPath::TgaMappedRle,
     BenchStyle::Photo, 4096, 4096},
    {"tgamaprle-poster.tga", "TGA colour-mapped RLE", BenchFormat::Tga, BenchPath::TgaMappedRle,
     BenchStyle::Posterized, 4096, 4096},
    {"tga16rle-photo.tga", "TGA 16-bit RLE", BenchFormat::Tga, BenchPath::Tga16Rle,
     BenchStyle::Photo, 4096, 4096},
    {"tga16rle-poster.tga", "TGA 16-bit RLE", BenchFormat::Tga, BenchPath::Tga16Rle,
     BenchStyle::Posterized, 4096, 4096},
    {"pcx24-photo.pcx", "PCX 24-bit", BenchFormat::Pcx, BenchPath::Pcx24, BenchStyle::Photo, 4096,
     4096},
    {"pcx24-poster.pcx", "PCX 24-bit", BenchFormat::Pcx, BenchPath::Pcx24, BenchStyle::Posterized,
     4096, 4096},
};

static const size_t BenchInputCount = sizeof(BenchInputs) / sizeof(BenchInputs[0]);

inline const char* NameBenchStyle(BenchStyle style) {
    return style == BenchStyle::Photo ? "photo" : "poster";
}

#endif
