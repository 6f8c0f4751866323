// The PNG writer vbhost had before the settings of host/png_writer_posix.cpp: libpng with all of
// its defaults (zlib level 6, five row filters tried on every row), the rows gathered in
// memory. png_bench measures the new writer against it.
#include "bench/png_writer_before.h"

#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

namespace {

// Row y counted from the top of the picture, wherever the DIB keeps it.
const uint8_t* FindRowFromTop(const DibLayout& dib, int32_t y) {
    int32_t memoryRow = dib.bottomUp ? dib.rows - 1 - y : y;
    return dib.bits + (size_t)memoryRow * dib.stride;
}

// libpng reports errors through this callback and expects it not to return.
void RecordPngError(png_structp png, png_const_charp message) {
    char* text = static_cast<char*>(png_get_error_ptr(png));
    snprintf(text, 160, "%s", message);
    png_longjmp(png, 1);
}

void IgnorePngWarning(png_structp, png_const_charp) {}

void AppendPngBytes(png_structp png, png_bytep data, png_size_t length) {
    std::vector<uint8_t>* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

// Builds one PNG row from one DIB row: palette indices are packed the same way in both (left
// pixel in the high bits), 24-bit pixels turn from blue-green-red into red-green-blue.
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

// Everything between setjmp and the last libpng call lives here, with plain locals only, so
// that a longjmp out of libpng skips no destructor.
bool RunPngEncoder(const DibLayout& dib, const png_color* palette, int paletteSize, uint8_t* row,
                   std::vector<uint8_t>* out, char* errorText) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, errorText, RecordPngError, IgnorePngWarning);
    if (!png) {
        snprintf(errorText, 160, "libpng could not start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        snprintf(errorText, 160, "libpng could not start");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, AppendPngBytes, FlushNothing);
    png_set_user_limits(png, 0x7FFFFFFFu, 0x7FFFFFFFu);
    bool colour = dib.bitCount == 24;
    png_set_IHDR(png, info, (png_uint_32)dib.width, (png_uint_32)dib.rows,
                 colour ? 8 : dib.bitCount, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!colour) png_set_PLTE(png, info, palette, paletteSize);
    png_write_info(png, info);
    for (int32_t y = 0; y < dib.rows; ++y) {
        ConvertRowForPng(dib, FindRowFromTop(dib, y), row);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool EncodePngBefore(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
    out->clear();
    if (dib.width < 1 || dib.rows < 1) {
        *problem = "a PNG cannot hold a picture of " + std::to_string(dib.width) + " x " +
                   std::to_string(dib.rows) + " pixels";
        return false;
    }
    png_color palette[256];
    memset(palette, 0, sizeof(palette));
    int paletteSize = 0;
    if (dib.bitCount <= 8) {
        paletteSize = 1 << dib.bitCount;
        const uint8_t* table = dib.header + DIB_INFO_HEADER_SIZE;
        for (uint32_t i = 0; i < dib.tableEntries; ++i) {
            palette[i].blue = table[4 * i];
            palette[i].green = table[4 * i + 1];
            palette[i].red = table[4 * i + 2];
        }
    }
    std::vector<uint8_t> row(dib.bitCount == 24 ? (size_t)dib.width * 3 : dib.stride);
    char errorText[160] = "";
    if (!RunPngEncoder(dib, palette, paletteSize, row.data(), out, errorText)) {
        *problem = std::string("PNG encoding failed: ") + errorText;
        out->clear();
        return false;
    }
    return true;
}
