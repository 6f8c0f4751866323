#include "pcx_encoder.h"

#include <string.h>

static void PutLe16(std::vector<uint8_t>* out, size_t at, int32_t value) {
    (*out)[at] = (uint8_t)(value & 0xFF);
    (*out)[at + 1] = (uint8_t)((value >> 8) & 0xFF);
}

std::vector<uint8_t> EncodePcxBytes(const uint8_t* bytes, size_t count, int maxRun) {
    if (maxRun < 1) maxRun = 1;
    if (maxRun > 63) maxRun = 63;
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < count) {
        size_t run = 1;
        while (i + run < count && run < (size_t)maxRun && bytes[i + run] == bytes[i]) run++;
        if (run > 1 || bytes[i] >= 0xC0) {
            out.push_back((uint8_t)(0xC0 | run));
        }
        out.push_back(bytes[i]);
        i += run;
    }
    return out;
}

std::vector<uint8_t> WritePcx(const PcxFile& file) {
    // Reserved up front: growing a 128-byte vector by insert() trips a false -Warray-bounds in
    // GCC 12 at -O2.
    std::vector<uint8_t> out;
    out.reserve(128 + file.encodedData.size() + 2 * file.planeData.size() + 1024);
    out.resize(128);
    out[0] = file.manufacturer;
    out[1] = file.version;
    out[2] = file.encoding;
    out[3] = file.bitsPerPixel;
    PutLe16(&out, 4, file.xmin);
    PutLe16(&out, 6, file.ymin);
    PutLe16(&out, 8, file.xmax);
    PutLe16(&out, 10, file.ymax);
    PutLe16(&out, 12, 72);  // resolution, never read
    PutLe16(&out, 14, 72);
    memcpy(out.data() + 16, file.headerPalette, 48);
    out[65] = file.planes;
    PutLe16(&out, 66, file.bytesPerLine);
    PutLe16(&out, 68, 1);  // palette type: colour

    if (!file.encodedData.empty()) {
        out.insert(out.end(), file.encodedData.begin(), file.encodedData.end());
    } else if (file.bytesPerLine > 0 && file.planes > 0) {
        size_t line = (size_t)file.bytesPerLine;
        size_t rowBytes = line * file.planes;
        for (size_t at = 0; at + rowBytes <= file.planeData.size(); at += rowBytes) {
            if (file.runsCrossPlaneLines) {
                std::vector<uint8_t> row =
                    EncodePcxBytes(&file.planeData[at], rowBytes, file.maxRun);
                out.insert(out.end(), row.begin(), row.end());
                continue;
            }
            for (size_t plane = 0; plane < file.planes; plane++) {
                std::vector<uint8_t> encoded =
                    EncodePcxBytes(&file.planeData[at + plane * line], line, file.maxRun);
                out.insert(out.end(), encoded.begin(), encoded.end());
            }
        }
    }

    out.insert(out.end(), file.bytesBeforeMarker.begin(), file.bytesBeforeMarker.end());
    if (file.writeMarker) out.push_back(12);
    out.insert(out.end(), file.palette.begin(), file.palette.end());
    return out;
}

static void SetExtent(PcxFile* file, int32_t width, int32_t height) {
    file->xmin = 0;
    file->ymin = 0;
    file->xmax = (int16_t)(width - 1);
    file->ymax = (int16_t)(height - 1);
}

PcxFile MakePlanarPcx(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                      int32_t bytesPerLine, uint8_t padding) {
    PcxFile file;
    file.bitsPerPixel = 1;
    file.planes = 4;
    SetExtent(&file, width, height);
    if (bytesPerLine == 0) bytesPerLine = (width + 7) / 8;
    file.bytesPerLine = (int16_t)bytesPerLine;
    // The EGA palette, which the decoder must not use.
    static const uint8_t ega[16][3] = {
        {0, 0, 0},     {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
        {170, 0, 0},   {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
        {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
        {255, 85, 85}, {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};
    memcpy(file.headerPalette, ega, 48);

    size_t line = (size_t)bytesPerLine;
    file.planeData.assign((size_t)height * 4 * line, 0);
    for (int32_t y = 0; y < height; y++) {
        uint8_t* row = &file.planeData[(size_t)y * 4 * line];
        for (int32_t x = 0; x < 8 * bytesPerLine; x++) {
            uint8_t value = x < width ? pixels[(size_t)y * width + x] : padding;
            for (int32_t plane = 0; plane < 4; plane++) {
                if ((value >> plane) & 1) row[plane * line + x / 8] |= (uint8_t)(0x80 >> (x % 8));
            }
        }
    }
    return file;
}

PcxFile MakeIndexedPcx(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                       const std::vector<uint8_t>& palette, int32_t bytesPerLine, uint8_t padding) {
    PcxFile file;
    file.bitsPerPixel = 8;
    file.planes = 1;
    SetExtent(&file, width, height);
    if (bytesPerLine == 0) bytesPerLine = (width + 1) / 2 * 2;
    file.bytesPerLine = (int16_t)bytesPerLine;
    size_t line = (size_t)bytesPerLine;
    file.planeData.assign((size_t)height * line, padding);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width && x < bytesPerLine; x++) {
            file.planeData[(size_t)y * line + x] = pixels[(size_t)y * width + x];
        }
    }
    file.writeMarker = true;
    file.palette = palette;
    return file;
}

PcxFile MakeRawPcx(int32_t bitsPerPixel, int32_t planes, int32_t width, int32_t height,
                   int32_t bytesPerLine, const std::vector<uint8_t>& planeData) {
    PcxFile file;
    file.bitsPerPixel = (uint8_t)bitsPerPixel;
    file.planes = (uint8_t)planes;
    SetExtent(&file, width, height);
    file.bytesPerLine = (int16_t)bytesPerLine;
    file.planeData = planeData;
    return file;
}
