// The WIC PNG writer of the Windows build, read back through the system's PNG decoder: the
// stored depth and colour type from the file's IHDR, the palette and every pixel.
#include <windows.h>
// After windows.h, which it needs.
#include <gtest/gtest.h>
#include <wincodec.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/image_writer.h"

namespace {

void PutLe32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = (uint8_t)(value >> (8 * i));
}

uint32_t StrideOf(int32_t width, int bitCount) {
    return ((width * bitCount + 31) / 32) * 4;
}

// A DIB of `bitCount` bits whose colour table has `entries` entries (blue i*3, green 255-i,
// red i*7) and whose pixel (x, y from the top) is (x + 2y + 1) mod 2^bits, or for 24 bits the
// colour (x*40, y*50, x+y) as red, green, blue.
struct TestDib {
    std::vector<uint8_t> header;
    std::vector<uint8_t> bits;
};

int IndexAt(int x, int y, int bitCount) {
    return (x + 2 * y + 1) % (1 << bitCount);
}

TestDib MakeDib(int32_t width, int32_t height, int bitCount, uint32_t entries, bool bottomUp) {
    TestDib dib;
    dib.header.assign(40 + 4 * entries, 0);
    PutLe32(&dib.header, 0, 40);
    PutLe32(&dib.header, 4, (uint32_t)width);
    PutLe32(&dib.header, 8, (uint32_t)(bottomUp ? height : -height));
    dib.header[12] = 1;
    dib.header[14] = (uint8_t)bitCount;
    PutLe32(&dib.header, 32, bitCount <= 8 ? entries : 0);
    for (uint32_t i = 0; i < entries; ++i) {
        dib.header[40 + 4 * i] = (uint8_t)(i * 3);
        dib.header[41 + 4 * i] = (uint8_t)(255 - i);
        dib.header[42 + 4 * i] = (uint8_t)(i * 7);
    }
    uint32_t stride = StrideOf(width, bitCount);
    dib.bits.assign((size_t)stride * height, 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &dib.bits[(size_t)(bottomUp ? height - 1 - y : y) * stride];
        for (int x = 0; x < width; ++x) {
            if (bitCount == 24) {
                row[3 * x] = (uint8_t)(x + y);
                row[3 * x + 1] = (uint8_t)(y * 50);
                row[3 * x + 2] = (uint8_t)(x * 40);
            } else {
                int bit = x * bitCount;
                row[bit / 8] |= (uint8_t)(IndexAt(x, y, bitCount) << (8 - bitCount - bit % 8));
            }
        }
    }
    return dib;
}

uint32_t ReadBe32(const uint8_t* bytes) {
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) |
           bytes[3];
}

// What the system's decoder makes of the bytes.
struct ReadBack {
    UINT width = 0, height = 0;
    WICPixelFormatGUID format = {};
    std::vector<WICColor> palette;
    std::vector<uint8_t> pixels;  // top row first, rows of `stride` bytes
    UINT stride = 0;
};

bool DecodeWithWic(const std::vector<uint8_t>& png, ReadBack* back) {
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICPalette* palette = nullptr;
    bool ok =
        SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
        SUCCEEDED(factory->CreateStream(&stream)) &&
        SUCCEEDED(stream->InitializeFromMemory(const_cast<BYTE*>(png.data()), (DWORD)png.size())) &&
        SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand,
                                                   &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(frame->GetSize(&back->width, &back->height)) &&
        SUCCEEDED(frame->GetPixelFormat(&back->format));
    if (ok && !IsEqualGUID(back->format, GUID_WICPixelFormat24bppBGR)) {
        UINT count = 0;
        ok = SUCCEEDED(factory->CreatePalette(&palette)) &&
             SUCCEEDED(frame->CopyPalette(palette)) && SUCCEEDED(palette->GetColorCount(&count));
        if (ok) {
            back->palette.resize(count);
            ok = SUCCEEDED(palette->GetColors(count, back->palette.data(), &count));
        }
    }
    if (ok) {
        UINT bits = IsEqualGUID(back->format, GUID_WICPixelFormat24bppBGR)      ? 24
                    : IsEqualGUID(back->format, GUID_WICPixelFormat8bppIndexed) ? 8
                    : IsEqualGUID(back->format, GUID_WICPixelFormat4bppIndexed) ? 4
                    : IsEqualGUID(back->format, GUID_WICPixelFormat2bppIndexed) ? 2
                                                                                : 1;
        back->stride = (back->width * bits + 7) / 8;
        back->pixels.resize((size_t)back->stride * back->height);
        ok = SUCCEEDED(frame->CopyPixels(nullptr, back->stride, (UINT)back->pixels.size(),
                                         back->pixels.data()));
    }
    if (palette) palette->Release();
    if (frame) frame->Release();
    if (decoder) decoder->Release();
    if (stream) stream->Release();
    if (factory) factory->Release();
    return ok;
}

class WicPngWriter : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

TEST_P(WicPngWriter, StoresTheDepthPaletteAndPixels) {
    const int bitCount = GetParam();
    const int32_t width = 13, height = 5;
    // Palette pictures with a short table: the PNG's palette is padded to 2^depth with black.
    uint32_t entries = bitCount == 24 ? 0 : bitCount == 8 ? 200 : (1u << bitCount) - 1;
    for (bool bottomUp : {true, false}) {
        SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
        TestDib dib = MakeDib(width, height, bitCount, entries, bottomUp);
        DibLayout layout;
        std::string problem;
        ASSERT_TRUE(ReadDibLayout(dib.header.data(), dib.bits.data(), &layout, &problem))
            << problem;
        std::vector<uint8_t> png;
        ASSERT_TRUE(EncodePng(layout, PngSettings(), &png, &problem)) << problem;

        // IHDR, the first chunk: width, height, bit depth, colour type (3 palette, 2 RGB).
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(0, memcmp(png.data(), "\x89PNG\r\n\x1A\n", 8));
        EXPECT_EQ(0, memcmp(png.data() + 12, "IHDR", 4));
        EXPECT_EQ((uint32_t)width, ReadBe32(png.data() + 16));
        EXPECT_EQ((uint32_t)height, ReadBe32(png.data() + 20));
        EXPECT_EQ(bitCount == 24 ? 8 : bitCount, png[24]);
        EXPECT_EQ(bitCount == 24 ? 2 : 3, png[25]);

        ReadBack back;
        ASSERT_TRUE(DecodeWithWic(png, &back));
        ASSERT_EQ((UINT)width, back.width);
        ASSERT_EQ((UINT)height, back.height);
        if (bitCount == 24) {
            ASSERT_TRUE(IsEqualGUID(GUID_WICPixelFormat24bppBGR, back.format));
        } else {
            ASSERT_EQ(1u << bitCount, back.palette.size());
            for (uint32_t i = 0; i < back.palette.size(); ++i) {
                WICColor expected = i < entries ? 0xFF000000u | ((i * 7 & 0xFF) << 16) |
                                                      ((255 - i) << 8) | (i * 3 & 0xFF)
                                                : 0xFF000000u;
                EXPECT_EQ(expected, back.palette[i]) << "entry " << i;
            }
        }
        for (int y = 0; y < height; ++y) {
            const uint8_t* row = &back.pixels[(size_t)y * back.stride];
            for (int x = 0; x < width; ++x) {
                if (bitCount == 24) {
                    EXPECT_EQ((uint8_t)(x + y), row[3 * x]) << x << "," << y;
                    EXPECT_EQ((uint8_t)(y * 50), row[3 * x + 1]) << x << "," << y;
                    EXPECT_EQ((uint8_t)(x * 40), row[3 * x + 2]) << x << "," << y;
                } else {
                    int bit = x * bitCount;
                    int index = (row[bit / 8] >> (8 - bitCount - bit % 8)) & ((1 << bitCount) - 1);
                    EXPECT_EQ(IndexAt(x, y, bitCount), index) << x << "," << y;
                }
            }
        }
    }
}

TEST_P(WicPngWriter, APictureOfAFewColoursGetsAPaletteOfJustThose) {
    const int bitCount = GetParam();
    if (bitCount == 24) return;
    // Three colours (two at 1 bit): a 2-bit (1-bit) palette of those, in table order.
    const int32_t width = 13, height = 5;
    const int colours = bitCount == 1 ? 2 : 3;
    TestDib dib = MakeDib(width, height, bitCount, 1u << bitCount, true);
    std::fill(dib.bits.begin(), dib.bits.end(), 0);
    uint32_t stride = StrideOf(width, bitCount);
    auto indexAt = [&](int x, int y) { return (1 << bitCount) - 1 - (x + y) % colours; };
    for (int y = 0; y < height; ++y) {
        uint8_t* row = &dib.bits[(size_t)(height - 1 - y) * stride];
        for (int x = 0; x < width; ++x) {
            int bit = x * bitCount;
            row[bit / 8] |= (uint8_t)(indexAt(x, y) << (8 - bitCount - bit % 8));
        }
    }
    DibLayout layout;
    std::string problem;
    ASSERT_TRUE(ReadDibLayout(dib.header.data(), dib.bits.data(), &layout, &problem)) << problem;
    std::vector<uint8_t> png;
    ASSERT_TRUE(EncodePng(layout, PngSettings(), &png, &problem)) << problem;
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(colours == 2 ? 1 : 2, png[24]);
    EXPECT_EQ(3, png[25]);
    ReadBack back;
    ASSERT_TRUE(DecodeWithWic(png, &back));
    ASSERT_EQ((size_t)colours, back.palette.size());
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &back.pixels[(size_t)y * back.stride];
        for (int x = 0; x < width; ++x) {
            int depth = png[24];
            int bit = x * depth;
            int index = (row[bit / 8] >> (8 - depth - bit % 8)) & ((1 << depth) - 1);
            ASSERT_LT(index, colours);
            uint32_t i = (uint32_t)indexAt(x, y);
            WICColor expected =
                0xFF000000u | ((i * 7 & 0xFF) << 16) | ((255 - i) << 8) | (i * 3 & 0xFF);
            EXPECT_EQ(expected, back.palette[index]) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, WicPngWriter, ::testing::Values(1, 2, 4, 8, 24));

TEST(WicPngWriter, RefusesAnEmptyPicture) {
    TestDib dib = MakeDib(0, 3, 8, 256, true);
    DibLayout layout;
    std::string problem;
    ASSERT_TRUE(ReadDibLayout(dib.header.data(), dib.bits.data(), &layout, &problem)) << problem;
    std::vector<uint8_t> png;
    EXPECT_FALSE(EncodePng(layout, PngSettings(), &png, &problem));
    EXPECT_TRUE(png.empty());
}

}  // namespace
