// PNG output through the Windows Imaging Component, the system's own encoder: depths 1 to 8 as
// palette pictures, 24 bits as RGB, as the libpng writer of the POSIX builds does.
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

// The encoder's steps; the caller has COM running on this thread.
bool RunWicEncoder(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
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
    WICPixelFormatGUID format = *FindPixelFormat(dib.bitCount);
    if (Failed(wic.frame->SetPixelFormat(&format), "pixel format", problem)) return false;
    // The encoder answers with the format it will write; another one would change the pixels.
    if (!IsEqualGUID(format, *FindPixelFormat(dib.bitCount))) {
        *problem = "the system's PNG encoder does not take " + std::to_string(dib.bitCount) +
                   "-bit pictures";
        return false;
    }
    if (dib.bitCount <= 8) {
        // Padded with opaque black to 2^depth entries so that every index is valid.
        WICColor colours[256];
        UINT entries = 1u << dib.bitCount;
        const uint8_t* table = dib.header + DIB_INFO_HEADER_SIZE;
        for (UINT i = 0; i < entries; ++i) {
            colours[i] = 0xFF000000u;
            if (i < dib.tableEntries) {
                colours[i] |=
                    ((UINT)table[4 * i + 2] << 16) | ((UINT)table[4 * i + 1] << 8) | table[4 * i];
            }
        }
        if (Failed(wic.factory->CreatePalette(&wic.palette), "palette", problem) ||
            Failed(wic.palette->InitializeCustom(colours, entries), "palette", problem) ||
            Failed(wic.frame->SetPalette(wic.palette), "palette", problem)) {
            return false;
        }
    }
    // Rows go top row first; WritePixels takes a writable buffer.
    std::vector<BYTE> row(dib.stride);
    for (int32_t y = 0; y < dib.rows; ++y) {
        int32_t memoryRow = dib.bottomUp ? dib.rows - 1 - y : y;
        memcpy(row.data(), dib.bits + (size_t)memoryRow * dib.stride, dib.stride);
        if (Failed(wic.frame->WritePixels(1, dib.stride, dib.stride, row.data()), "pixels",
                   problem)) {
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

bool EncodePng(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem) {
    out->clear();
    if (dib.width < 1 || dib.rows < 1) {
        *problem = "a PNG cannot hold a picture of " + std::to_string(dib.width) + " x " +
                   std::to_string(dib.rows) + " pixels";
        return false;
    }
    // S_FALSE: COM already runs on this thread, RPC_E_CHANGED_MODE: in the other threading
    // model; the imaging component works in either.
    HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool encoded = RunWicEncoder(dib, out, problem);
    if (SUCCEEDED(started)) CoUninitialize();
    if (!encoded) out->clear();
    return encoded;
}
