#include "png_reader.h"

#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>

#include "host/image_writer.h"

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

namespace {

void ReadPngPixel(const DecodedPng& png, uint32_t y, uint32_t x, uint8_t rgb[3]) {
    if (png.colourType == 2) {
        memcpy(rgb, &png.rows[y][3 * x], 3);
        return;
    }
    uint32_t index = (uint32_t)PngIndexAt(png, y, x);
    if (png.colourType == 0) {
        rgb[0] = rgb[1] = rgb[2] = (uint8_t)(index * 255 / ((1u << png.bitDepth) - 1));
    } else if (3 * index < png.palette.size()) {
        memcpy(rgb, &png.palette[3 * index], 3);
    } else {
        rgb[0] = rgb[1] = rgb[2] = 0;
    }
}

}  // namespace

std::vector<uint8_t> PngColourAt(const DecodedPng& png, uint32_t y, uint32_t x) {
    std::vector<uint8_t> rgb(3);
    ReadPngPixel(png, y, x, rgb.data());
    return rgb;
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

namespace {

uint32_t ReadBe32(const uint8_t* bytes) {
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) |
           bytes[3];
}

bool Fail(std::string* problem, const std::string& text) {
    *problem = text;
    return false;
}

// Inflates the IDAT data as one zlib stream: it must end exactly where the data ends.
bool CheckZlibStream(const std::vector<uint8_t>& data, std::string* problem) {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit(&stream) != Z_OK) return Fail(problem, "inflateInit failed");
    std::vector<uint8_t> out(1 << 16);
    stream.next_in = const_cast<uint8_t*>(data.data());
    stream.avail_in = (uInt)data.size();
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = out.data();
        stream.avail_out = (uInt)out.size();
        status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_BUF_ERROR && stream.avail_out > 0) break;  // input ran out
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    size_t left = stream.avail_in;
    std::string message = stream.msg ? stream.msg : "";
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
        return Fail(problem, "the IDAT data is not a whole zlib stream (" + std::to_string(status) +
                                 " " + message + ")");
    }
    if (left != 0) return Fail(problem, std::to_string(left) + " bytes after the zlib stream");
    return true;
}

}  // namespace

bool CheckPngChunks(const std::vector<uint8_t>& bytes, std::vector<std::string>* types,
                    std::string* problem) {
    types->clear();
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 8 || memcmp(bytes.data(), signature, 8) != 0) {
        return Fail(problem, "no PNG signature");
    }
    std::vector<uint8_t> imageData;
    bool idatEnded = false;
    size_t at = 8;
    while (at < bytes.size()) {
        if (bytes.size() - at < 12)
            return Fail(problem, "a chunk cut short at " + std::to_string(at));
        uint32_t length = ReadBe32(&bytes[at]);
        if (length > bytes.size() - at - 12) return Fail(problem, "a chunk longer than the file");
        std::string type(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
        uLong crc = crc32(crc32(0, Z_NULL, 0), &bytes[at + 4], 4 + length);
        if (crc != ReadBe32(&bytes[at + 8 + length])) return Fail(problem, type + ": wrong CRC");
        if (types->empty() != (type == "IHDR")) return Fail(problem, type + " where IHDR belongs");
        if (type == "IDAT") {
            if (idatEnded) return Fail(problem, "IDAT chunks apart");
            imageData.insert(imageData.end(), &bytes[at + 8], &bytes[at + 8 + length]);
        } else if (!imageData.empty()) {
            idatEnded = true;
        }
        if (type == "PLTE" && !imageData.empty()) return Fail(problem, "PLTE after IDAT");
        types->push_back(type);
        at += 12 + length;
        if (type == "IEND") {
            if (length != 0) return Fail(problem, "IEND with data");
            if (at != bytes.size()) return Fail(problem, "bytes after IEND");
            return CheckZlibStream(imageData, problem);
        }
    }
    return Fail(problem, "no IEND");
}

namespace {

// The colour of pixel (x, y from the top) of a DIB, from its blocks.
void ReadDibPixel(const DibLayout& dib, int32_t y, int32_t x, uint8_t rgb[3]) {
    const uint8_t* row = dib.bits + (size_t)(dib.bottomUp ? dib.rows - 1 - y : y) * dib.stride;
    if (dib.bitCount == 24) {
        for (int c = 0; c < 3; ++c) rgb[c] = row[3 * x + 2 - c];
        return;
    }
    uint32_t bit = (uint32_t)x * dib.bitCount;
    uint32_t index = (row[bit / 8] >> (8 - dib.bitCount - bit % 8)) & ((1u << dib.bitCount) - 1);
    rgb[0] = rgb[1] = rgb[2] = 0;  // past the table: black
    if (index < dib.tableEntries) {
        for (int c = 0; c < 3; ++c) rgb[c] = dib.header[40 + 4 * index + 2 - c];
    }
}

bool IsGrayRamp(const DibLayout& dib) {
    if (dib.bitCount > 8 || dib.tableEntries != (1u << dib.bitCount)) return false;
    for (uint32_t i = 0; i < dib.tableEntries; ++i) {
        uint32_t level = i * 255 / (dib.tableEntries - 1);
        for (int c = 0; c < 3; ++c) {
            if (dib.header[40 + 4 * i + c] != level) return false;
        }
    }
    return true;
}

}  // namespace

bool ComparePngWithDib(const DibLayout& dib, const DecodedPng& png, std::string* problem) {
    if (png.width != (uint32_t)dib.width || png.height != (uint32_t)dib.rows) {
        return Fail(problem,
                    "size " + std::to_string(png.width) + " x " + std::to_string(png.height));
    }
    // The form: colour type, depth and palette size.
    std::vector<uint32_t> colours;
    for (int32_t y = 0; y < dib.rows && colours.size() <= 16 && dib.bitCount <= 8; ++y) {
        for (int32_t x = 0; x < dib.width; ++x) {
            uint8_t rgb[3];
            ReadDibPixel(dib, y, x, rgb);
            uint32_t colour = (uint32_t)rgb[0] << 16 | rgb[1] << 8 | rgb[2];
            if (std::find(colours.begin(), colours.end(), colour) == colours.end()) {
                colours.push_back(colour);
            }
        }
    }
    int type = dib.bitCount == 24 ? 2 : IsGrayRamp(dib) ? 0 : 3;
    int depth = dib.bitCount == 24 ? 8 : dib.bitCount;
    size_t entries = type == 3 ? (size_t)1 << depth : 0;
    if (type == 3 && colours.size() <= 16) {
        entries = colours.size();
        depth = entries <= 2 ? 1 : entries <= 4 ? 2 : 4;
    }
    if (png.colourType != type || png.bitDepth != depth || png.palette.size() != 3 * entries) {
        return Fail(problem, "colour type " + std::to_string(png.colourType) + ", depth " +
                                 std::to_string(png.bitDepth) + ", " +
                                 std::to_string(png.palette.size() / 3) +
                                 " palette entries; expected " + std::to_string(type) + ", " +
                                 std::to_string(depth) + ", " + std::to_string(entries));
    }
    for (uint32_t y = 0; y < png.height; ++y) {
        for (uint32_t x = 0; x < png.width; ++x) {
            uint8_t expected[3];
            ReadDibPixel(dib, (int32_t)y, (int32_t)x, expected);
            if (type == 3 && (uint32_t)PngIndexAt(png, y, x) >= entries) {
                return Fail(problem, "an index past the palette");
            }
            uint8_t actual[3];
            ReadPngPixel(png, y, x, actual);
            if (actual[0] != expected[0] || actual[1] != expected[1] || actual[2] != expected[2]) {
                char text[120];
                snprintf(text, sizeof(text), "pixel %u,%u: %02x%02x%02x, expected %02x%02x%02x", x,
                         y, actual[0], actual[1], actual[2], expected[0], expected[1], expected[2]);
                return Fail(problem, text);
            }
        }
    }
    return true;
}
