#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/platform_testing.h"
#include "platform_test_support.h"

typedef uint32_t(VB_CALL* UnicodeToSjis)(uint32_t);
typedef uint32_t(VB_CALL* SjisToUnicode)(int32_t, int32_t);
typedef uint32_t(VB_CALL* JisToUnicode)(int32_t, int32_t);

class LibrariesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("VB_LIBRARY_PATH");
        TestingReset();
    }
    void TearDown() override {
        unsetenv("VB_LIBRARY_PATH");
        TestingReset();
    }
};

TEST_F(LibrariesTest, FindsKjmapBesideThePlatformLibrary) {
    PlatformLibrary library = LoadLibraryByName(u"KJMAP.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(FindLibrarySymbol(library, u"unicode2sjis"), nullptr);
    EXPECT_NE(FindLibrarySymbol(library, u"sjis2unicode"), nullptr);
    EXPECT_NE(FindLibrarySymbol(library, u"jis2unicode"), nullptr);
    EXPECT_EQ(FindLibrarySymbol(library, u"unicode2jis"), nullptr);
    EXPECT_EQ(FindLibrarySymbol(library, u"\u00FCnicode2sjis"), nullptr);
    EXPECT_EQ(FindLibrarySymbol(library, u""), nullptr);
    EXPECT_EQ(FindLibrarySymbol(nullptr, u"unicode2sjis"), nullptr);

    TestingBlockLibraries(1);
    EXPECT_EQ(LoadLibraryByName(u"KJMAP.DLL"), nullptr);
    TestingReset();
    EXPECT_NE(LoadLibraryByName(u"KJMAP.DLL"), nullptr);

    EXPECT_EQ(LoadLibraryByName(u"NOSUCH.DLL"), nullptr);
    EXPECT_EQ(LoadLibraryByName(nullptr), nullptr);
}

TEST_F(LibrariesTest, SearchesTheLibraryPathFirst) {
    // A file of that name that is not a library: found first on the path, so loading fails
    // there and the search goes on to the next places.
    TemporaryFolder folder;
    folder.Write("NOTALIB.DLL", "not an ELF file");
    setenv("VB_LIBRARY_PATH", ("/nonexistent:" + folder.path()).c_str(), 1);
    EXPECT_EQ(LoadLibraryByName(u"NOTALIB.DLL"), nullptr);
    EXPECT_NE(LoadLibraryByName(u"KJMAP.DLL"), nullptr);
}

TEST_F(LibrariesTest, TheLayerStandsBeforeAShippedLibraryWithoutTestingInterface) {
    void* shipped = dlopen("libvbplatform.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(shipped, nullptr);
    for (const char* name : {"TestingReset", "TestingLiveBlockCount", "TestingServeFile",
                             "TestingSetDevice", "TestingFailRead"}) {
        EXPECT_EQ(dlsym(shipped, name), nullptr) << name;
    }
    // The program (and so every plug-in it opens) calls the layer, which calls the library.
    void* backend = dlsym(shipped, "AllocateBlock");
    ASSERT_NE(backend, nullptr);
    EXPECT_NE((void*)&AllocateBlock, backend);
    Dl_info where;
    ASSERT_NE(dladdr((void*)&AllocateBlock, &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("libvbtesting.so"), std::string::npos);
    dlclose(shipped);
}

class KjmapTest : public LibrariesTest {
  protected:
    void SetUp() override {
        LibrariesTest::SetUp();
        PlatformLibrary library = LoadLibraryByName(u"KJMAP.DLL");
        ASSERT_NE(library, nullptr);
        toSjis = (UnicodeToSjis)FindLibrarySymbol(library, u"unicode2sjis");
        fromSjis = (SjisToUnicode)FindLibrarySymbol(library, u"sjis2unicode");
        fromJis = (JisToUnicode)FindLibrarySymbol(library, u"jis2unicode");
        ASSERT_TRUE(toSjis && fromSjis && fromJis);
    }

    UnicodeToSjis toSjis = nullptr;
    SjisToUnicode fromSjis = nullptr;
    JisToUnicode fromJis = nullptr;
};

// Callers pass the lead byte as a signed char widened to 32 bits.
static int32_t SignedLead(uint8_t lead) {
    return (int32_t)(int8_t)lead;
}

TEST_F(KjmapTest, MapsBothWays) {
    EXPECT_EQ(toSjis(0x3042) & 0xFFFF, 0x82A0u);  // hiragana a
    EXPECT_EQ(fromSjis(SignedLead(0x82), 0xA0) & 0xFFFF, 0x3042u);
    EXPECT_EQ(fromSjis(0x82, 0xA0) & 0xFFFF, 0x3042u);  // a positive lead works as well
    EXPECT_EQ(toSjis(0x4E9C) & 0xFFFF, 0x889Fu);        // the first kanji of level 1
    EXPECT_EQ(fromSjis(SignedLead(0x88), 0x9F) & 0xFFFF, 0x4E9Cu);
    EXPECT_EQ(fromSjis(SignedLead(0xE0), 0x40) & 0xFFFF, 0x6F3Eu);

    // Half-width katakana and ASCII are single bytes.
    EXPECT_EQ(toSjis(0xFF71) & 0xFFFF, 0xB1u);
    EXPECT_EQ(toSjis(u'A') & 0xFFFF, 0x41u);

    // No mapping answers 0.
    EXPECT_EQ(toSjis(0x00E9) & 0xFFFF, 0u);
    EXPECT_EQ(toSjis(0x00A5) & 0xFFFF, 0u);  // a look-alike of the backslash, not a mapping
    EXPECT_EQ(toSjis(0x301C) & 0xFFFF, 0u);  // likewise of U+FF5E, which does map
    EXPECT_EQ(toSjis(0xFF5E) & 0xFFFF, 0x8160u);
    EXPECT_EQ(toSjis(0xD800) & 0xFFFF, 0u);
    EXPECT_EQ(fromSjis(SignedLead(0x82), 0x20) & 0xFFFF, 0u);  // not a trail byte
    EXPECT_EQ(fromSjis(0x41, 0x41) & 0xFFFF, 0u);              // not a lead byte
    EXPECT_EQ(fromSjis(SignedLead(0x85), 0x40) & 0xFFFF, 0u);  // an empty cell

    // The JIS row/cell of the same characters.
    EXPECT_EQ(fromJis(0x24, 0x22) & 0xFFFF, 0x3042u);
    EXPECT_EQ(fromJis(0x30, 0x21) & 0xFFFF, 0x4E9Cu);
    EXPECT_EQ(fromJis(0x21, 0x21) & 0xFFFF, 0x3000u);  // ideographic space
    EXPECT_EQ(fromJis(0x20, 0x21) & 0xFFFF, 0u);
    EXPECT_EQ(fromJis(0x21, 0x7F) & 0xFFFF, 0u);
}

TEST_F(KjmapTest, RoundTripsEveryDoubleByteCharacter) {
    int mapped = 0;
    for (int lead = 0x81; lead <= 0xFC; lead++) {
        if (lead > 0x9F && lead < 0xE0) continue;
        for (int trail = 0x40; trail <= 0xFC; trail++) {
            uint32_t unit = fromSjis(SignedLead((uint8_t)lead), trail) & 0xFFFF;
            if (unit == 0) continue;
            mapped++;
            uint32_t back = toSjis(unit) & 0xFFFF;
            // Code page 932 holds a few duplicates (NEC and IBM rows); those map back to one
            // of the pair, which must map to the same character again.
            if (back != (uint32_t)(lead << 8 | trail)) {
                ASSERT_NE(back, 0u) << std::hex << lead << " " << trail;
                ASSERT_EQ(fromSjis(SignedLead((uint8_t)(back >> 8)), back & 0xFF) & 0xFFFF, unit);
            }
        }
    }
    EXPECT_GT(mapped, 7000);
}
