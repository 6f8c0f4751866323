#include <gtest/gtest.h>

#include <string>

#include "platform/platform_testing.h"

static const PlatformStringResource Strings[] = {
    {1, u"About"},      // block 1
    {1024, u"00IN"},    // block 65
    {1025, u"Filter"},  //
    {1039, u"Last"},    //
    {1040, u""},        // block 66, empty: not stored
};
static const PlatformModuleResources Module = {"test.spi", Strings, 5};

TEST(ResourcesTest, LoadsStringsLikeLoadString) {
    char16_t buffer[16];
    EXPECT_EQ(LoadStringResource(&Module, 1024, buffer, 16), 4);
    EXPECT_EQ(std::u16string(buffer), u"00IN");
    EXPECT_EQ(LoadStringResource(&Module, 1024, buffer, 3), 2);  // truncated and terminated
    EXPECT_EQ(std::u16string(buffer), u"00");
    EXPECT_EQ(LoadStringResource(&Module, 1024, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(LoadStringResource(&Module, 1, buffer, 16), 5);
    EXPECT_EQ(LoadStringResource(&Module, 1039, buffer, 16), 4);

    buffer[0] = u'x';
    EXPECT_EQ(LoadStringResource(&Module, 1026, buffer, 16), 0);  // no such string
    EXPECT_EQ(LoadStringResource(&Module, 1040, buffer, 16), 0);
    EXPECT_EQ(LoadStringResource(&Module, 1024, nullptr, 16), 0);
    EXPECT_EQ(LoadStringResource(&Module, 1024, buffer, 0), 0);
    EXPECT_EQ(LoadStringResource(nullptr, 1024, buffer, 16), 0);
}

TEST(ResourcesTest, FindsStringBlocksByBlockName) {
    // Strings 1024..1039 lie in block 65; a string id used as the name finds nothing.
    const void* block = FindModuleResource(&Module, PLATFORM_RT_STRING, 65);
    ASSERT_NE(block, nullptr);
    // Sixteen 16-bit lengths plus the units of "00IN", "Filter" and "Last".
    EXPECT_EQ(LoadModuleResource(&Module, block), 32u + 2 * (4 + 6 + 4));
    EXPECT_EQ(FindModuleResource(&Module, PLATFORM_RT_STRING, 1024), nullptr);
    EXPECT_EQ(FindModuleResource(&Module, PLATFORM_RT_STRING, 66), nullptr);
    EXPECT_EQ(FindModuleResource(&Module, PLATFORM_RT_STRING, 0), nullptr);
    EXPECT_EQ(FindModuleResource(&Module, 5, 65), nullptr);
    EXPECT_EQ(LoadModuleResource(&Module, FindModuleResource(&Module, PLATFORM_RT_STRING, 1)),
              32u + 2 * 5);
    EXPECT_EQ(LoadModuleResource(&Module, nullptr), 0u);
    EXPECT_EQ(FindModuleResource(nullptr, PLATFORM_RT_STRING, 65), nullptr);
}
