#include "host/image_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "host/host_platform.h"

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
    std::string temporary = path + ".partial" + std::to_string(CurrentProcessNumber());
    FILE* file = OpenHostFile(temporary, "wb");
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
        RemoveHostFile(temporary);
        *problem = "cannot write " + path + ": " + strerror(writeError);
        return false;
    }
    std::string reason;
    if (!ReplaceHostFile(temporary, path, &reason)) {
        RemoveHostFile(temporary);
        *problem = "cannot write " + path + ": " + reason;
        return false;
    }
    return true;
}
