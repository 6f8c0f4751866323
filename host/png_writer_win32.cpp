// PNG output through the Windows Imaging Component, the system's own encoder: gray-ramp tables as
// grayscale, other depths 1 to 8 as palette pictures (of just the colours in use when they are
// 16 or fewer), 24 bits as RGB, as the zlib writer of the POSIX builds does. The encoder has no
// compression levels, and vbhost writes no comment chunk here.
#include <windows.h>
// After windows.h, which they need.
#include <objidl.h>
#include <string.h>
#include <wincodec.h>

#include "host/image_writer.h"

namespace {

template <typename Interface>
void Release(Interface** object) {
    if (*object) (*object)->Release();
    *object = nullptr;
}

const GUID* FindGrayFormat(uint16_t bitCount) {
    switch (bitCount) {
        case 1:
            return &GUID_WICPixelFormatBlackWhite;
        case 2:
            return &GUID_WICPixelFormat2bppGray;
        case 4:
            return &GUID_WICPixelFormat4bppGray;
        default:
            return &GUID_WICPixelFormat8bppGray;
    }
}

const GUID* FindPixelFormat(uint16_t bitCount) {
    switch (bitCount) {
        case 1:
            return &GUID_WICPixelFormat1bppIndexed;
        case 2:
            return &GUID_WICPixelFormat2bppIndexed;
        case 4:
            return &GUID_WICPixelFormat4bppIndexed;
        case 8:
            return &GUID_WICPixelFormat8bppIndexed;
        default:
            return &GUID_WICPixelFormat24bppBGR;  // the DIB's own blue-green-red order
    }
}

// Every COM object of one encoding, released together whatever step failed.
struct WicObjects {
    IWICImagingFactory* factory = nullptr;
    IStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    IPropertyBag2* options = nullptr;
    IWICPalette* palette = nullptr;

    ~WicObjects() {
        Release(&palette);
        Release(&options);
        Release(&frame);
        Release(&encoder);
        Release(&stream);
        Release(&factory);
    }
};

bool Failed(HRESULT result, const char* step, std::string* problem) {
    if (SUCCEEDED(result)) return false;
    char code[16];
    snprintf(code, sizeof(code), "%08lx", (unsigned long)result);
    *problem = std::string("PNG encoding failed: ") + step + " (HRESULT 0x" + code + ")";
    return true;
}

// The encoder's steps; the caller has COM running on this thread. The encoded file is left in
// `out`; *stopped tells that the progress report asked to stop.
bool RunWicEncoder(const DibLayout& dib, const RowProgress* progress, std::vector<uint8_t>* out,
                   bool* stopped, std::string* problem) {
    *stopped = false;
    WicObjects wic;
    if (Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&wic.factory)),
               "no imaging component", problem) ||
        Failed(CreateStreamOnHGlobal(nullptr, TRUE, &wic.stream), "no memory stream", problem) ||
        Failed(wic.factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &wic.encoder),
               "no PNG encoder", problem) ||
        Failed(wic.encoder->Initialize(wic.stream, WICBitmapEncoderNoCache), "encoder start",
               problem) ||
        Failed(wic.encoder->CreateNewFrame(&wic.frame, &wic.options), "new frame", problem) ||
        Failed(wic.frame->Initialize(wic.options), "frame start", problem) ||
        Failed(wic.frame->SetSize((UINT)dib.width, (UINT)dib.rows), "picture size", problem)) {
        return false;
    }
    // A gray-ramp picture goes as grayscale when the encoder takes that depth, else as a palette;
    // a palette picture of a few colours at the depth that holds just those.
    bool gray = HasGrayRampTable(dib);
    PaletteReduction reduction;
    const bool reduced = FindPaletteReduction(dib, &reduction);
    const uint16_t bitCount = reduced ? reduction.bitCount : dib.bitCount;
    WICPixelFormatGUID format = *(gray ? FindGrayFormat : FindPixelFormat)(bitCount);
    if (Failed(wic.frame->SetPixelFormat(&format), "pixel format", problem)) return false;
    if (gray && !IsEqualGUID(format, *FindGrayFormat(bitCount))) {
        gray = false;
        format = *FindPixelFormat(bitCount);
        if (Failed(wic.frame->SetPixelFormat(&format), "pixel format", problem)) return false;
    }
    // The encoder answers with the format it will write; another one would change the pixels.
    if (!IsEqualGUID(format, *(gray ? FindGrayFormat : FindPixelFormat)(bitCount))) {
        *problem =
            "the system's PNG encoder does not take " + std::to_string(bitCount) + "-bit pictures";
        return false;
    }
    if (bitCount <= 8 && !gray) {
        // Just the colours in use, or the table padded with opaque black to 2^depth entries so
        // that every index is valid.
        WICColor colours[256];
        UINT entries = reduced ? reduction.colours : 1u << bitCount;
        for (UINT i = 0; i < entries; ++i) {
            uint8_t rgb[3];
            if (reduced) {
                memcpy(rgb, reduction.rgb[i], 3);
            } else {
                ReadTableColour(dib, i, rgb);
            }
            colours[i] = 0xFF000000u | ((UINT)rgb[0] << 16) | ((UINT)rgb[1] << 8) | rgb[2];
        }
        if (Failed(wic.factory->CreatePalette(&wic.palette), "palette", problem) ||
            Failed(wic.palette->InitializeCustom(colours, entries), "palette", problem) ||
            Failed(wic.frame->SetPalette(wic.palette), "palette", problem)) {
            return false;
        }
    }
    // Rows go top row first, in bands; WritePixels takes a writable buffer.
    const bool packed = reduced && !reduction.sameIndices;
    const UINT stride = packed ? (((UINT)dib.width * bitCount + 31) / 32) * 4 : dib.stride;
    const int32_t band = CountRowsPerBand(dib);
    std::vector<BYTE> rows((size_t)stride * band);
    for (int32_t y = 0; y < dib.rows; y += band) {
        int32_t count = dib.rows - y < band ? dib.rows - y : band;
        for (int32_t i = 0; i < count; ++i) {
            int32_t memoryRow = dib.bottomUp ? dib.rows - 1 - (y + i) : y + i;
            const uint8_t* source = dib.bits + (size_t)memoryRow * dib.stride;
            if (packed) {
                PackReducedRow(dib, reduction, source, rows.data() + (size_t)i * stride);
            } else {
                memcpy(rows.data() + (size_t)i * stride, source, stride);
            }
        }
        if (Failed(wic.frame->WritePixels((UINT)count, stride, stride * (UINT)count, rows.data()),
                   "pixels", problem)) {
            return false;
        }
        if (progress && !progress->report(progress->context, y + count, dib.rows)) {
            *stopped = true;
            return false;
        }
    }
    if (Failed(wic.frame->Commit(), "frame end", problem) ||
        Failed(wic.encoder->Commit(), "encoder end", problem)) {
        return false;
    }
    // The encoded bytes end at the stream's position; its memory block may be larger.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ULARGE_INTEGER end;
    HGLOBAL memory = nullptr;
    if (Failed(wic.stream->Seek(zero, STREAM_SEEK_END, &end), "stream size", problem) ||
        Failed(GetHGlobalFromStream(wic.stream, &memory), "stream memory", problem)) {
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(GlobalLock(memory));
    if (!bytes || end.QuadPart > GlobalSize(memory)) {
        if (bytes) GlobalUnlock(memory);
        *problem = "PNG encoding failed: the stream's memory cannot be read";
        return false;
    }
    out->assign(bytes, bytes + (size_t)end.QuadPart);
    GlobalUnlock(memory);
    return true;
}

}  // namespace

bool HasPngLevels() {
    return false;
}

WriteResult WritePng(const DibLayout& dib, const PngSettings& settings, const ByteSink& sink,
                     const RowProgress* progress, std::string* problem) {
    (void)settings;
    if (dib.width < 1 || dib.rows < 1) {
        *problem = "a PNG cannot hold a picture of " + std::to_string(dib.width) + " x " +
                   std::to_string(dib.rows) + " pixels";
        return WRITE_FAILED;
    }
    // S_FALSE: COM already runs on this thread, RPC_E_CHANGED_MODE: in the other threading
    // model; the imaging component works in either.
    HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<uint8_t> bytes;
    bool stopped = false;
    bool encoded = RunWicEncoder(dib, progress, &bytes, &stopped, problem);
    if (SUCCEEDED(started)) CoUninitialize();
    if (stopped) return WRITE_STOPPED;
    if (!encoded) return WRITE_FAILED;
    // The encoder works in memory: the file is handed over once it is whole.
    if (!sink.take(sink.context, bytes.data(), bytes.size(), problem)) return WRITE_FAILED;
    return WRITE_DONE;
}
