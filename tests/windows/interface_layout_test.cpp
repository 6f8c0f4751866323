// The plug-in interface as the host sees it in memory. A 32-bit build (the handheld's ARM, or
// 32-bit Windows) has exactly the 26-byte packed record with infoText at offset 22 and 32-bit
// handles; a 64-bit build keeps the same fields with pointer-sized handles. The readers store
// the record byte by byte, so it may lie at any address and nothing beyond it is written.
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>

#include "framework/plugin.h"
#include "platform/platform_testing.h"
#include "tests/support/decode_harness.h"
#include "tests/support/mag_encoder.h"

namespace {

#if defined(VB_EXPECT_32BIT_INTERFACE)
static_assert(sizeof(void*) == 4, "this build is configured as a 32-bit one");
static_assert(sizeof(PictureInfoRecord) == 26, "the record is 26 bytes");
static_assert(offsetof(PictureInfoRecord, infoText) == 22, "infoText lies at offset 22");
static_assert(sizeof(uintptr_t) == 4 && sizeof(intptr_t) == 4,
              "infoText, the block slots, fileHead and the user data are 32-bit");
#endif

// The record's size as the host counts it, independently of the header's own definition.
const size_t RecordBytes = sizeof(void*) == 4 ? 26 : 30;

TEST(InterfaceLayoutTest, RecordFieldsLieWhereTheHostLooks) {
    EXPECT_EQ(offsetof(PictureInfoRecord, left), 0u);
    EXPECT_EQ(offsetof(PictureInfoRecord, top), 4u);
    EXPECT_EQ(offsetof(PictureInfoRecord, width), 8u);
    EXPECT_EQ(offsetof(PictureInfoRecord, height), 12u);
    EXPECT_EQ(offsetof(PictureInfoRecord, xDensity), 16u);
    EXPECT_EQ(offsetof(PictureInfoRecord, yDensity), 18u);
    EXPECT_EQ(offsetof(PictureInfoRecord, colourDepth), 20u);
    EXPECT_EQ(offsetof(PictureInfoRecord, infoText), 22u);
    EXPECT_EQ(alignof(PictureInfoRecord), 1u);
    EXPECT_EQ(sizeof(PictureInfoRecord), 22u + sizeof(void*));
}

TEST(InterfaceLayoutTest, HandlesAreAsWideAsAddresses) {
    // infoText, the two block slots, fileHead and the notifier's user data carry addresses.
    EXPECT_EQ(sizeof(PictureInfoRecord::infoText), sizeof(void*));
    EXPECT_EQ(sizeof(uintptr_t), sizeof(void*));
    EXPECT_EQ(sizeof(intptr_t), sizeof(void*));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(PictureInfoRecord), 26u);
    } else {
        EXPECT_EQ(sizeof(PictureInfoRecord), 30u);
    }
}

TEST(InterfaceLayoutTest, ReaderWritesTheWholeRecordAtAnOddAddressAndNothingMore) {
    TestingReset();
    MagSourcePicture picture = MakeMagPicture(8, 3, false);
    MagEncodeOptions options;
    options.comment = "layout";
    std::u16string path = WriteTemporaryFile("layout.mag", EncodeMag(picture, options).bytes);

    // Guard bytes around a record that starts at an odd address: the plug-in must write exactly
    // RecordBytes (26 in a 32-bit build) and not one more.
    uint8_t storage[1 + RecordBytes + 8];
    memset(storage, 0xA5, sizeof storage);
    PictureInfoRecord* info = (PictureInfoRecord*)(storage + 1);
    const LoadedPlugin& mag = Plugin("vbmag");
    ASSERT_NE(mag.library, nullptr);
    ASSERT_EQ(mag.getPictureInfo(path.c_str(), 0, 0, info), RESULT_OK);

    const uint8_t* record = storage + 1;
    const uint8_t expectedStart[22] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0,
                                       0, 3, 0, 0, 0, 1, 0, 1, 0, 4, 0};
    EXPECT_EQ(memcmp(record, expectedStart, sizeof expectedStart), 0);
    // The handle is stored little-endian in the bytes from offset 22 on.
    uintptr_t handle = 0;
    for (size_t i = 0; i < sizeof handle; i++) handle |= (uintptr_t)record[22 + i] << (8 * i);
    ASSERT_NE(handle, 0u);
    EXPECT_STREQ((const char*)handle, "layout");
    FreeBlock((void*)handle);

    EXPECT_EQ(storage[0], 0xA5);
    for (size_t i = 1 + RecordBytes; i < sizeof storage; i++) {
        EXPECT_EQ(storage[i], 0xA5) << "byte " << i - 1 << " past the record's start";
    }
    RemoveTemporaryFiles();
}

}  // namespace
