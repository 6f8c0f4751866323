#include "mag_encoder.h"

namespace {

// Bytes to the left and rows up of each copy code, as MAG defines them.
const int CopyBytesLeft[16] = {0, 2, 4, 8, 0, 2, 0, 2, 4, 0, 2, 4, 0, 2, 4, 0};
const int CopyRowsUp[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};

void PutLe16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back((uint8_t)value);
    out.push_back((uint8_t)(value >> 8));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    PutLe16(out, value & 0xFFFF);
    PutLe16(out, value >> 16);
}

}  // namespace

MagSourcePicture MakeMagPicture(int32_t width, int32_t height, bool fullColours) {
    MagSourcePicture picture;
    picture.width = width;
    picture.height = height;
    picture.fullColours = fullColours;
    picture.pixels.assign((size_t)width * height, 0);
    const uint32_t colours = picture.Colours();
    for (uint32_t i = 0; i < colours; ++i) {
        picture.palette.push_back((uint8_t)(i * 7 + 1));
        picture.palette.push_back((uint8_t)(255 - i));
        picture.palette.push_back((uint8_t)(i * 13 + 100));
    }
    return picture;
}

MagEncoded EncodeMag(const MagSourcePicture& picture, const MagEncodeOptions& options) {
    const int32_t width = picture.width;
    const int32_t height = picture.height;
    const bool full = picture.fullColours;
    // Flag bytes per row; each covers 4 bytes of the row (two 2-byte units).
    const int32_t flagBytes = full ? (width + 3) / 4 : (width + 7) / 8;
    const int32_t units = 2 * flagBytes;
    const int32_t rowBytes = 4 * flagBytes;

    // The rows as the decoder stores them: left pixel in the high nibble at 16 colours,
    // padding pixels 0.
    std::vector<uint8_t> packed((size_t)rowBytes * height, 0);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = &packed[(size_t)y * rowBytes];
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t index = picture.At(x, y);
            if (full) {
                row[x] = index;
            } else {
                row[x / 2] |= (uint8_t)((index & 0x0F) << ((x % 2) ? 0 : 4));
            }
        }
    }

    std::vector<int> order = options.codeOrder;
    if (order.empty()) {
        for (int code = 1; code < 16; ++code) order.push_back(code);
    }

    // What the decoder's bits block will hold: rows bottom first, one row of rowBytes each,
    // everything not yet decoded still 0. A forced code copies from here, so the encoder knows
    // what it produced and later matches stay true to what the decoder sees.
    const int64_t blockSize = (int64_t)rowBytes * height;
    std::vector<uint8_t> decoded((size_t)blockSize, 0);
    auto decodedAt = [&](int64_t position) -> uint8_t {
        return (position >= 0 && position < blockSize) ? decoded[(size_t)position] : 0;
    };

    MagEncoded encoded;
    std::vector<uint8_t> flagA((size_t)((int64_t)flagBytes * height + 7) / 8, 0);
    std::vector<uint8_t> flagB;
    std::vector<uint8_t> pixelStream;
    std::vector<uint8_t> previousFlags(flagBytes, 0);
    std::vector<uint8_t> flags(flagBytes, 0);
    int64_t flagBit = 0;

    for (int32_t y = 0; y < height; ++y) {
        const int64_t rowStart = (int64_t)(height - 1 - y) * rowBytes;
        const uint8_t* source = &packed[(size_t)y * rowBytes];
        for (int32_t u = 0; u < units; ++u) {
            const uint8_t first = source[2 * u];
            const uint8_t second = source[2 * u + 1];
            const int64_t out = rowStart + 2 * u;
            int code = options.forceCode ? options.forceCode(y, u) : -1;
            if (code < 0 || code > 15) {
                code = 0;
                for (int candidate : order) {
                    // Only units that really lie earlier in the picture, as MAG writers do.
                    const int dx = CopyBytesLeft[candidate] / 2;
                    const int dy = CopyRowsUp[candidate];
                    if (candidate < 1 || candidate > 15 || u - dx < 0 || y - dy < 0) continue;
                    const int64_t from = out + (int64_t)dy * rowBytes - CopyBytesLeft[candidate];
                    if (decodedAt(from) == first && decodedAt(from + 1) == second) {
                        code = candidate;
                        break;
                    }
                }
            }
            if (code == 0) {
                pixelStream.push_back(first);
                pixelStream.push_back(second);
                decoded[(size_t)out] = first;
                decoded[(size_t)out + 1] = second;
            } else {
                const int64_t from =
                    out + (int64_t)CopyRowsUp[code] * rowBytes - CopyBytesLeft[code];
                const uint8_t copied0 = decodedAt(from);
                const uint8_t copied1 = decodedAt(from + 1);
                decoded[(size_t)out] = copied0;
                decoded[(size_t)out + 1] = copied1;
            }
            ++encoded.codeCount[code];
            if (u % 2 == 0) {
                flags[u / 2] = (uint8_t)(code << 4);
            } else {
                flags[u / 2] |= (uint8_t)code;
            }
        }
        for (int32_t i = 0; i < flagBytes; ++i) {
            const uint8_t change = flags[i] ^ previousFlags[i];
            if (change != 0) {
                flagA[(size_t)(flagBit / 8)] |= (uint8_t)(0x80 >> (flagBit % 8));
                flagB.push_back(change);
            }
            ++flagBit;
        }
        previousFlags = flags;
    }

    const uint32_t colours = picture.Colours();
    const uint32_t paletteBytes = colours * 3;
    const uint32_t flagAOffset = 32 + paletteBytes;
    const uint32_t flagBOffset = flagAOffset + (uint32_t)flagA.size();
    const uint32_t pixelOffset = flagBOffset + (uint32_t)flagB.size();

    std::vector<uint8_t>& out = encoded.bytes;
    out = options.leading;
    encoded.pictureOffset = (uint32_t)out.size();
    static const char signature[] = "MAKI02  ";
    out.insert(out.end(), signature, signature + 8);
    out.insert(out.end(), options.comment.begin(), options.comment.end());
    out.push_back(0x1A);

    encoded.headerOffset = (uint32_t)out.size();
    out.push_back(0);  // header start byte
    out.push_back(options.machineCode);
    out.push_back(options.machineFlags);
    out.push_back((uint8_t)((full ? 0x80 : 0) | (options.twoHundredLine ? 0x01 : 0)));
    PutLe16(out, (uint16_t)options.xStart);
    PutLe16(out, (uint16_t)options.yStart);
    PutLe16(out, (uint16_t)(options.xStart + width - 1));
    PutLe16(out, (uint16_t)(options.yStart + height - 1));
    PutLe32(out, flagAOffset);
    PutLe32(out, flagBOffset);
    PutLe32(out, (uint32_t)flagB.size());
    PutLe32(out, pixelOffset);
    PutLe32(out, (uint32_t)pixelStream.size());

    for (uint32_t i = 0; i < colours; ++i) {
        const size_t at = (size_t)i * 3;
        const bool present = at + 2 < picture.palette.size();
        out.push_back(present ? picture.palette[at + 1] : 0);  // green
        out.push_back(present ? picture.palette[at] : 0);      // red
        out.push_back(present ? picture.palette[at + 2] : 0);  // blue
    }

    encoded.dataOffset = (uint32_t)out.size();
    out.insert(out.end(), flagA.begin(), flagA.end());
    out.insert(out.end(), flagB.begin(), flagB.end());
    out.insert(out.end(), pixelStream.begin(), pixelStream.end());
    out.insert(out.end(), options.trailing.begin(), options.trailing.end());
    encoded.flagASize = (uint32_t)flagA.size();
    encoded.flagBSize = (uint32_t)flagB.size();
    encoded.pixelSize = (uint32_t)pixelStream.size();
    return encoded;
}
