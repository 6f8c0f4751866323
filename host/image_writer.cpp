#include "host/image_writer.h"

#include <string.h>

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

WriteResult WriteBmp(const DibLayout& dib, const ByteSink& sink, const RowProgress* progress,
                     std::string* problem) {
    const uint32_t fileHeaderBytes = 14;
    uint64_t fileBytes = (uint64_t)fileHeaderBytes + dib.headerBytes + dib.bitsBytes;
    if (fileBytes > 0xFFFFFFFFu) {
        *problem = "too large for a BMP file";
        return WRITE_FAILED;
    }
    std::vector<uint8_t> head;
    head.reserve(fileHeaderBytes + dib.headerBytes);
    head.push_back('B');
    head.push_back('M');
    AppendLe32(&head, (uint32_t)fileBytes);
    AppendLe16(&head, 0);
    AppendLe16(&head, 0);
    AppendLe32(&head, fileHeaderBytes + dib.headerBytes);
    head.insert(head.end(), dib.header, dib.header + dib.headerBytes);
    if (!sink.take(sink.context, head.data(), head.size(), problem)) return WRITE_FAILED;
    // The rows go as the DIB keeps them; only the reports count them in bands.
    const int32_t band = CountRowsPerBand(dib);
    for (int32_t row = 0; row < dib.rows; row += band) {
        int32_t count = dib.rows - row < band ? dib.rows - row : band;
        if (!sink.take(sink.context, dib.bits + (size_t)row * dib.stride,
                       (size_t)count * dib.stride, problem)) {
            return WRITE_FAILED;
        }
        if (progress && !progress->report(progress->context, row + count, dib.rows)) {
            return WRITE_STOPPED;
        }
    }
    return WRITE_DONE;
}

namespace {

bool AppendToVector(void* context, const uint8_t* bytes, size_t count, std::string*) {
    std::vector<uint8_t>* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), bytes, bytes + count);
    return true;
}

}  // namespace

bool EncodePng(const DibLayout& dib, const PngSettings& settings, std::vector<uint8_t>* out,
               std::string* problem) {
    out->clear();
    ByteSink sink = {AppendToVector, out};
    if (WritePng(dib, settings, sink, nullptr, problem) == WRITE_DONE) return true;
    out->clear();
    return false;
}

bool EncodeBmp(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
    out->clear();
    ByteSink sink = {AppendToVector, out};
    if (WriteBmp(dib, sink, nullptr, problem) == WRITE_DONE) return true;
    out->clear();
    return false;
}

int32_t CountRowsPerBand(const DibLayout& dib) {
    const uint32_t bandBytes = 256 * 1024;
    uint32_t rows = dib.stride == 0 ? bandBytes : bandBytes / dib.stride;
    return rows < 1 ? 1 : (int32_t)rows;
}

void ReadTableColour(const DibLayout& dib, uint32_t index, uint8_t rgb[3]) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    if (index >= dib.tableEntries) return;
    const uint8_t* entry = dib.header + DIB_INFO_HEADER_SIZE + 4 * index;
    rgb[0] = entry[2];
    rgb[1] = entry[1];
    rgb[2] = entry[0];
}

bool HasGrayRampTable(const DibLayout& dib) {
    if (dib.bitCount > 8 || dib.tableEntries != (1u << dib.bitCount)) return false;
    const uint32_t highest = dib.tableEntries - 1;
    for (uint32_t i = 0; i <= highest; ++i) {
        uint8_t rgb[3];
        ReadTableColour(dib, i, rgb);
        const uint32_t level = i * 255 / highest;
        if (rgb[0] != level || rgb[1] != level || rgb[2] != level) return false;
    }
    return true;
}

namespace {

// Marks the indices of the byte values seen in rows, as colours; false once more than 16
// distinct colours are in use.
struct ColourCount {
    uint8_t byteSeen[256] = {};
    uint8_t byteCounted[256] = {};
    uint8_t colourOf[256] = {};  // index -> the first index of the table with its colour
    bool colourUsed[256] = {};
    uint32_t colours = 0;
};

bool CountIndex(ColourCount* count, uint32_t index) {
    uint8_t colour = count->colourOf[index];
    if (!count->colourUsed[colour]) {
        count->colourUsed[colour] = true;
        ++count->colours;
    }
    return count->colours <= 16;
}

// The indices of the byte values marked since the last call.
bool CountNewBytes(ColourCount* count, uint16_t bitCount) {
    const uint32_t mask = (1u << bitCount) - 1;
    for (uint32_t value = 0; value < 256; ++value) {
        if (!count->byteSeen[value] || count->byteCounted[value]) continue;
        count->byteCounted[value] = 1;
        for (int shift = 8 - bitCount; shift >= 0; shift -= bitCount) {
            if (!CountIndex(count, (value >> shift) & mask)) return false;
        }
    }
    return true;
}

// One output byte from `group` source bytes of `codeBits` bits each.
template <int group>
void PackWholeBytes(const uint8_t* packed, int codeBits, const uint8_t* source, size_t count,
                    uint8_t* out) {
    for (size_t i = 0; i < count; ++i, source += group) {
        uint32_t value = 0;
        for (int k = 0; k < group; ++k) value = (value << codeBits) | packed[source[k]];
        out[i] = (uint8_t)value;
    }
}

}  // namespace

bool FindPaletteReduction(const DibLayout& dib, PaletteReduction* reduction) {
    *reduction = PaletteReduction();
    if (dib.bitCount > 8 || HasGrayRampTable(dib)) return false;
    ColourCount count;
    const uint32_t indices = 1u << dib.bitCount;
    uint8_t rgb[256][3];
    for (uint32_t i = 0; i < indices; ++i) {
        ReadTableColour(dib, i, rgb[i]);
        uint32_t first = 0;
        while (memcmp(rgb[first], rgb[i], 3) != 0) ++first;
        count.colourOf[i] = (uint8_t)first;
    }
    // Whole bytes are marked as values, the pixels of a last partial byte one by one (its
    // padding bits are no pixels).
    const uint64_t rowBits = (uint64_t)dib.width * dib.bitCount;
    const size_t wholeBytes = (size_t)(rowBits / 8);
    const uint32_t tailPixels = (uint32_t)(rowBits % 8) / dib.bitCount;
    // The marks are counted every few KiB, so that narrow pictures do not pay per row.
    size_t marked = 0;
    for (int32_t y = 0; y < dib.rows; ++y) {
        const uint8_t* row = dib.bits + (size_t)y * dib.stride;
        for (size_t i = 0; i < wholeBytes; ++i) count.byteSeen[row[i]] = 1;
        for (uint32_t k = 0; k < tailPixels; ++k) {
            uint32_t shift = 8 - dib.bitCount * (k + 1);
            if (!CountIndex(&count, (row[wholeBytes] >> shift) & (indices - 1))) return false;
        }
        marked += wholeBytes;
        if (marked >= 4096 || y == dib.rows - 1) {
            if (!CountNewBytes(&count, dib.bitCount)) return false;
            marked = 0;
        }
    }
    // New indices in the order of the colours' first entries.
    uint8_t newIndex[256] = {};
    for (uint32_t i = 0; i < indices; ++i) {
        if (!count.colourUsed[i]) continue;
        newIndex[i] = (uint8_t)reduction->colours;
        memcpy(reduction->rgb[reduction->colours++], rgb[i], 3);
    }
    reduction->bitCount = reduction->colours <= 2 ? 1 : reduction->colours <= 4 ? 2 : 4;
    reduction->sameIndices = reduction->bitCount == dib.bitCount;
    for (uint32_t i = 0; i < indices; ++i) {
        uint8_t colour = count.colourOf[i];
        if (count.colourUsed[colour] && newIndex[colour] != i) reduction->sameIndices = false;
    }
    const uint32_t pixelsPerByte = 8 / dib.bitCount;
    for (uint32_t value = 0; value < 256; ++value) {
        uint32_t code = 0;
        for (uint32_t k = 0; k < pixelsPerByte; ++k) {
            uint32_t index = (value >> (8 - dib.bitCount * (k + 1))) & (indices - 1);
            code = (code << reduction->bitCount) | newIndex[count.colourOf[index]];
        }
        reduction->packed[value] = (uint8_t)code;
    }
    return true;
}

void PackReducedRow(const DibLayout& dib, const PaletteReduction& reduction, const uint8_t* source,
                    uint8_t* out) {
    // One source byte becomes codeBits bits (the new depth is never above the DIB's).
    const int codeBits = 8 * reduction.bitCount / dib.bitCount;
    const int group = 8 / codeBits;
    const size_t sourceBytes = ((size_t)dib.width * dib.bitCount + 7) / 8;
    const size_t whole = sourceBytes / group;
    switch (group) {
        case 1:
            PackWholeBytes<1>(reduction.packed, codeBits, source, whole, out);
            break;
        case 2:
            PackWholeBytes<2>(reduction.packed, codeBits, source, whole, out);
            break;
        case 4:
            PackWholeBytes<4>(reduction.packed, codeBits, source, whole, out);
            break;
        default:
            PackWholeBytes<8>(reduction.packed, codeBits, source, whole, out);
            break;
    }
    const size_t outBytes = ((size_t)dib.width * reduction.bitCount + 7) / 8;
    if (whole < outBytes) {
        uint32_t value = 0;
        int bits = 0;
        for (size_t i = whole * group; i < sourceBytes; ++i, bits += codeBits) {
            value = (value << codeBits) | reduction.packed[source[i]];
        }
        out[whole] = (uint8_t)(value << (8 - bits));
    }
    // Padding pixels of the DIB's last byte may have mapped to any index.
    const uint32_t usedBits = (uint32_t)(((uint64_t)dib.width * reduction.bitCount) % 8);
    if (usedBits != 0) out[outBytes - 1] &= (uint8_t)(0xFF << (8 - usedBits));
}
