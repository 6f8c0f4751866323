#include "png_reader.h"

#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

namespace {

struct MemorySource {
    const std::vector<uint8_t>* bytes;
    size_t position;
};

void ReadFromMemory(png_structp png, png_bytep data, png_size_t length) {
    MemorySource* source = static_cast<MemorySource*>(png_get_io_ptr(png));
    if (source->position + length > source->bytes->size()) png_error(png, "read past the end");
    memcpy(data, source->bytes->data() + source->position, length);
    source->position += length;
}

void KeepError(png_structp png, png_const_charp message) {
    snprintf(static_cast<char*>(png_get_error_ptr(png)), 160, "%s", message);
    png_longjmp(png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

// Plain locals only between setjmp and the last libpng call.
bool RunPngDecoder(MemorySource* source, DecodedPng* out, char* errorText) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, errorText, KeepError, IgnoreWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, source, ReadFromMemory);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->bitDepth = png_get_bit_depth(png, info);
    out->colourType = png_get_color_type(png, info);
    png_colorp palette = nullptr;
    int entries = 0;
    if (png_get_PLTE(png, info, &palette, &entries)) {
        for (int i = 0; i < entries; ++i) {
            out->palette.push_back(palette[i].red);
            out->palette.push_back(palette[i].green);
            out->palette.push_back(palette[i].blue);
        }
    }
    png_textp texts = nullptr;
    int textCount = png_get_text(png, info, &texts, nullptr);
    for (int i = 0; i < textCount; ++i) {
        bool international = texts[i].compression == PNG_ITXT_COMPRESSION_NONE ||
                             texts[i].compression == PNG_ITXT_COMPRESSION_zTXt;
        std::string text = international ? std::string(texts[i].text, texts[i].itxt_length)
                                         : std::string(texts[i].text, texts[i].text_length);
        out->texts.push_back(std::string(international ? "iTXt " : "tEXt ") + texts[i].key + ": " +
                             text);
    }
    size_t rowBytes = png_get_rowbytes(png, info);
    out->rows.assign(out->height, std::vector<uint8_t>(rowBytes));
    for (uint32_t y = 0; y < out->height; ++y) png_read_row(png, out->rows[y].data(), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

bool DecodePng(const std::vector<uint8_t>& bytes, DecodedPng* png, std::string* problem) {
    *png = DecodedPng();
    MemorySource source = {&bytes, 0};
    char errorText[160] = "cannot start libpng";
    if (RunPngDecoder(&source, png, errorText)) return true;
    *problem = errorText;
    return false;
}

int PngIndexAt(const DecodedPng& png, uint32_t y, uint32_t x) {
    int depth = png.bitDepth;
    uint32_t bit = x * depth;
    uint8_t byte = png.rows[y][bit / 8];
    int shift = 8 - depth - (int)(bit % 8);
    return (byte >> shift) & ((1 << depth) - 1);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    uint8_t buffer[65536];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
    fclose(file);
    return bytes;
}
