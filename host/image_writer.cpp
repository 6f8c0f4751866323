#include "host/image_writer.h"

#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// Blocks of the local heap are sized by signed 32-bit values.
const uint64_t LargestBlock = 0x7FFFFFFFu;

uint16_t ReadLe16(const uint8_t* bytes) {
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

uint32_t ReadLe32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

void AppendLe16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back((uint8_t)value);
    out->push_back((uint8_t)(value >> 8));
}

void AppendLe32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back((uint8_t)(value >> shift));
}

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

bool ReadDibLayout(const void* header, const void* bits, DibLayout* layout, std::string* problem) {
    *layout = DibLayout();
    if (!header) {
        *problem = "no header block";
        return false;
    }
    const uint8_t* fields = static_cast<const uint8_t*>(header);
    uint32_t size = ReadLe32(fields);
    int32_t width = (int32_t)ReadLe32(fields + 4);
    int32_t height = (int32_t)ReadLe32(fields + 8);
    uint16_t planes = ReadLe16(fields + 12);
    uint16_t bitCount = ReadLe16(fields + 14);
    uint32_t compression = ReadLe32(fields + 16);
    uint32_t coloursUsed = ReadLe32(fields + 32);

    if (size != DIB_INFO_HEADER_SIZE) {
        *problem = "header size " + std::to_string(size) + ", expected 40";
        return false;
    }
    if (width < 0) {
        *problem = "negative width " + std::to_string(width);
        return false;
    }
    if (height == INT32_MIN) {
        *problem = "height out of range";
        return false;
    }
    if (planes != 1) {
        *problem = std::to_string(planes) + " planes, expected 1";
        return false;
    }
    if (bitCount != 1 && bitCount != 2 && bitCount != 4 && bitCount != 8 && bitCount != 24) {
        *problem = "unsupported depth of " + std::to_string(bitCount) + " bits";
        return false;
    }
    if (compression != 0) {
        *problem = "compressed bitmap (type " + std::to_string(compression) + ")";
        return false;
    }
    // With biClrUsed 0 a palette picture has a full table and a 24-bit one has none.
    uint32_t fullTable = bitCount <= 8 ? 1u << bitCount : 0;
    uint32_t tableEntries = coloursUsed != 0 ? coloursUsed : fullTable;
    if (tableEntries > 256 || (bitCount <= 8 && tableEntries > fullTable)) {
        *problem = std::to_string(coloursUsed) + " colour-table entries for " +
                   std::to_string(bitCount) + " bits";
        return false;
    }
    int32_t rows = height < 0 ? -height : height;
    uint64_t stride = (((uint64_t)width * bitCount + 31) / 32) * 4;
    uint64_t bitsBytes = stride * (uint64_t)rows;
    if (bitsBytes > LargestBlock) {
        *problem = "bits block of " + std::to_string(bitsBytes) + " bytes is too large";
        return false;
    }
    if (!bits && bitsBytes > 0) {
        *problem = "no bits block";
        return false;
    }
    layout->width = width;
    layout->rows = rows;
    layout->bottomUp = height > 0;
    layout->bitCount = bitCount;
    layout->tableEntries = tableEntries;
    layout->stride = (uint32_t)stride;
    layout->headerBytes = DIB_INFO_HEADER_SIZE + 4 * tableEntries;
    layout->bitsBytes = (uint32_t)bitsBytes;
    layout->header = fields;
    layout->bits = static_cast<const uint8_t*>(bits);
    return true;
}

bool EncodePng(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
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

bool EncodeBmp(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
    out->clear();
    const uint32_t fileHeaderBytes = 14;
    uint64_t fileBytes = (uint64_t)fileHeaderBytes + dib.headerBytes + dib.bitsBytes;
    if (fileBytes > 0xFFFFFFFFu) {
        *problem = "too large for a BMP file";
        return false;
    }
    out->reserve((size_t)fileBytes);
    out->push_back('B');
    out->push_back('M');
    AppendLe32(out, (uint32_t)fileBytes);
    AppendLe16(out, 0);
    AppendLe16(out, 0);
    AppendLe32(out, fileHeaderBytes + dib.headerBytes);
    out->insert(out->end(), dib.header, dib.header + dib.headerBytes);
    if (dib.bitsBytes > 0) out->insert(out->end(), dib.bits, dib.bits + dib.bitsBytes);
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* problem) {
    std::string temporary = path + ".partial" + std::to_string((long)getpid());
    FILE* file = fopen(temporary.c_str(), "wb");
    if (!file) {
        *problem = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool written = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    int writeError = errno;
    if (fclose(file) != 0 && written) {
        written = false;
        writeError = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        *problem = "cannot write " + path + ": " + strerror(writeError);
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        int renameError = errno;
        unlink(temporary.c_str());
        *problem = "cannot write " + path + ": " + strerror(renameError);
        return false;
    }
    return true;
}
