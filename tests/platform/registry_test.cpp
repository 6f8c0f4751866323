#include <gtest/gtest.h>

#include <string>

#include "platform/platform_host.h"
#include "platform/platform_testing.h"
#include "platform_test_support.h"

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { TestingReset(); }
    void TearDown() override { TestingReset(); }

    void UseRegistry(const std::string& bytes) {
        path = folder.Write("user.reg", bytes);
        TestingSetRegistryFile(path.c_str());
    }

    TemporaryFolder folder;
    std::string path;
};

static const char PlugInKey[] = "[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn]\n";

// Opens the key, queries one value offering `offered` bytes, closes the key.
struct QueryResult {
    int32_t code = -1;
    uint32_t type = 0;
    uint32_t size = 0;
    std::string data;
};

static QueryResult QueryValue(const char16_t* keyPath, const char16_t* name, uint32_t offered) {
    QueryResult result;
    PlatformRegistryKey key = nullptr;
    result.code =
        OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, keyPath, 0, PLATFORM_KEY_ALL_ACCESS, &key);
    if (result.code != 0) return result;
    std::string buffer(offered + 8, '\xEE');
    result.size = offered;
    result.code = QueryRegistryValue(key, name, &result.type, &buffer[0], &result.size);
    result.data = buffer.substr(0, result.code == 0 ? result.size : 0);
    EXPECT_EQ(buffer[offered], '\xEE') << "wrote past the offered size";
    EXPECT_EQ(CloseRegistryKey(key), 0);
    return result;
}

TEST_F(RegistryTest, ReadsEachKindOfValue) {
    UseRegistry(std::string("REGEDIT4\n\n; user switches\n") + PlugInKey +
                "\"full color\"=dword:00000001\n"
                "\"Mask\"=hex:01,02,\\\n  ff\n"
                "\"AsDword\"=hex(4):78,56,34,12\n"
                "\"Name\"=\"a \\\"b\\\" c:\\\\d\"\n"
                "@=dword:0000002a\n");
    const char16_t* key = u"Software\\Velbrook\\PlugIn";

    QueryResult dword = QueryValue(key, u"full color", 4);
    EXPECT_EQ(dword.code, 0);
    EXPECT_EQ(dword.type, 4u);
    EXPECT_EQ(dword.data, std::string("\x01\x00\x00\x00", 4));

    QueryResult binary = QueryValue(key, u"Mask", 4);
    EXPECT_EQ(binary.code, 0);
    EXPECT_EQ(binary.type, 3u);
    EXPECT_EQ(binary.data, std::string("\x01\x02\xff", 3));

    QueryResult typed = QueryValue(key, u"AsDword", 4);
    EXPECT_EQ(typed.type, 4u);
    EXPECT_EQ(typed.data, std::string("\x78\x56\x34\x12", 4));

    // A string is stored as UTF-16 with its terminator.
    QueryResult text = QueryValue(key, u"Name", 64);
    EXPECT_EQ(text.code, 0);
    EXPECT_EQ(text.type, 1u);
    std::u16string expected = u"a \"b\" c:\\d";
    expected.push_back(0);
    EXPECT_EQ(text.data, std::string((const char*)expected.data(), expected.size() * 2));

    QueryResult unnamed = QueryValue(key, u"", 4);
    EXPECT_EQ(unnamed.code, 0);
    EXPECT_EQ(unnamed.data, std::string("\x2a\x00\x00\x00", 4));
}

TEST_F(RegistryTest, SizeRulesOfTheQuery) {
    UseRegistry(std::string("REGEDIT4\n") + PlugInKey + "\"Long\"=hex:01,02,03,04,05,06\n" +
                "\"Short\"=hex:07,08\n");
    const char16_t* key = u"Software\\Velbrook\\PlugIn";
    QueryResult tooLong = QueryValue(key, u"Long", 4);
    EXPECT_EQ(tooLong.code, PLATFORM_ERROR_MORE_DATA);
    EXPECT_EQ(tooLong.size, 6u);
    QueryResult shorter = QueryValue(key, u"Short", 4);
    EXPECT_EQ(shorter.code, 0);
    EXPECT_EQ(shorter.size, 2u);
    EXPECT_EQ(shorter.data, "\x07\x08");

    // Without a buffer the query measures.
    PlatformRegistryKey opened = nullptr;
    ASSERT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, key, 0, PLATFORM_KEY_ALL_ACCESS, &opened),
              0);
    uint32_t size = 0, type = 0;
    EXPECT_EQ(QueryRegistryValue(opened, u"Long", &type, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(CloseRegistryKey(opened), 0);
}

TEST_F(RegistryTest, MissingKeysAndValues) {
    UseRegistry(std::string("Windows Registry Editor Version 5.00\n\n") +
                "[HKEY_CURRENT_USER\\Software\\Velbrook\\PlugIn\\Deeper]\n\"x\"=dword:1\n" +
                "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"y\"=dword:1\n");
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn\\Deeper", u"missing", 4).code,
              PLATFORM_ERROR_FILE_NOT_FOUND);
    // A key whose section is absent exists when a subkey's section is there.
    QueryResult parent = QueryValue(u"Software\\Velbrook", u"x", 4);
    EXPECT_EQ(parent.code, PLATFORM_ERROR_FILE_NOT_FOUND);
    PlatformRegistryKey key = nullptr;
    EXPECT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook", 0,
                              PLATFORM_KEY_ALL_ACCESS, &key),
              0);
    EXPECT_EQ(CloseRegistryKey(key), 0);
    // A key's name is not a prefix of its sibling's.
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\Plug", u"x", 4).code, PLATFORM_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryValue(u"Software\\Other", u"y", 4).code, PLATFORM_ERROR_FILE_NOT_FOUND);

    TestingSetRegistryFile(nullptr);  // an empty registry
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn\\Deeper", u"x", 4).code,
              PLATFORM_ERROR_FILE_NOT_FOUND);
    TestingSetRegistryFile((folder.path() + "/absent.reg").c_str());
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn\\Deeper", u"x", 4).code,
              PLATFORM_ERROR_FILE_NOT_FOUND);
    UseRegistry(std::string("not a registry file\n") + PlugInKey + "\"x\"=dword:1\n");
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn", u"x", 4).code,
              PLATFORM_ERROR_FILE_NOT_FOUND);
}

// What a host is told about a file is what the reader does with it: a line called unreadable is
// one whose value the registry does not have.
TEST_F(RegistryTest, ExaminingAFileNamesTheLinesTheReaderSkips) {
    struct Case {
        std::string lines;    // after the header and the PlugIn key (file lines 1 and 2)
        std::string problem;  // "" when usable
    };
    const Case cases[] = {
        {"\"x\"=dword:1\n\"bytes\"=hex:01,\\\n  02\n", ""},
        {"\"x\"=dword:zero\n", "line 3: not a value regedit writes: \"x\"=dword:zero"},
        {"\"x\"=\"text\" junk\n", "line 3: not a value regedit writes: \"x\"=\"text\" junk"},
        {"\"x\" dword:1\n", "line 3: not a value regedit writes: \"x\" dword:1"},
        {"\"b\"=hex:01,\\\n zz\n\"x\"=dword:1\n",
         "line 3: not a value regedit writes: \"b\"=hex:01,zz"},
        {"[HKEY_CURRENT_USER\\Software\n\"x\"=dword:1\n", "line 3: a key without its closing ]"},
    };
    for (const Case& c : cases) {
        UseRegistry(std::string("REGEDIT4\n") + PlugInKey + c.lines);
        char problem[256] = "unchanged";
        int32_t verdict = ExamineRegistryFile(path.c_str(), problem, sizeof problem);
        EXPECT_EQ(c.problem.empty() ? REGISTRY_FILE_USABLE : REGISTRY_FILE_SKIPS_LINES, verdict)
            << c.lines;
        EXPECT_EQ(c.problem, problem) << c.lines;
        bool readable = QueryValue(u"Software\\Velbrook\\PlugIn", u"x", 4).code == 0;
        EXPECT_EQ(c.problem.empty() || c.problem.find("\"b\"") != std::string::npos, readable)
            << c.lines;
    }
    UseRegistry(std::string("not a registry file\n") + PlugInKey);
    char problem[256];
    EXPECT_EQ(REGISTRY_FILE_SKIPS_LINES, ExamineRegistryFile(path.c_str(), problem, 256));
    EXPECT_EQ(0, std::string(problem).find("it does not begin with REGEDIT4"));
    UseRegistry("\r\n");
    EXPECT_EQ(REGISTRY_FILE_USABLE, ExamineRegistryFile(path.c_str(), problem, 256));
    EXPECT_EQ(REGISTRY_FILE_UNREADABLE,
              ExamineRegistryFile((folder.path() + "/absent.reg").c_str(), problem, 256));
    EXPECT_STREQ("No such file or directory", problem);
}

TEST_F(RegistryTest, NamesIgnoreLetterCase) {
    UseRegistry(std::string("REGEDIT4\n[hkey_current_user\\SOFTWARE\\velbrook]\n") +
                "\"Force English\"=dword:00000001\n");
    QueryResult value = QueryValue(u"Software\\Velbrook", u"force english", 4);
    EXPECT_EQ(value.code, 0);
    EXPECT_EQ(value.data, std::string("\x01\x00\x00\x00", 4));
}

TEST_F(RegistryTest, ReadsUtf16FilesAsRegeditWritesThem) {
    std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Velbrook]\r\n"
        u"\"Jmenu\"=dword:00000003\r\n"
        u"\"Title\"=\"\u65E5\u672C\"\r\n";
    UseRegistry(std::string((const char*)text.data(), text.size() * 2));
    QueryResult jmenu = QueryValue(u"Software\\Velbrook", u"Jmenu", 4);
    EXPECT_EQ(jmenu.code, 0);
    EXPECT_EQ(jmenu.data, std::string("\x03\x00\x00\x00", 4));
    QueryResult title = QueryValue(u"Software\\Velbrook", u"Title", 16);
    EXPECT_EQ(title.data, std::string("\xE5\x65\x2C\x67\x00\x00", 6));
}

TEST_F(RegistryTest, FileIsReadAgainAtEveryOpen) {
    UseRegistry(std::string("REGEDIT4\n") + PlugInKey + "\"full color\"=dword:00000001\n");
    PlatformRegistryKey held = nullptr;
    ASSERT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook\\PlugIn", 0,
                              PLATFORM_KEY_ALL_ACCESS, &held),
              0);
    UseRegistry(std::string("REGEDIT4\n") + PlugInKey + "\"full color\"=dword:00000000\n");
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn", u"full color", 4).data,
              std::string(4, '\0'));
    EXPECT_EQ(CloseRegistryKey(held), 0);

    // Back to the environment, where VB_REGISTRY is not set for the tests.
    TestingReset();
    EXPECT_EQ(QueryValue(u"Software\\Velbrook\\PlugIn", u"full color", 4).code,
              PLATFORM_ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeysOpenBelowOpenKeysAndFreeOnClose) {
    UseRegistry(std::string("REGEDIT4\n") + PlugInKey + "\"full color\"=dword:00000001\n");
    int64_t live = TestingLiveBlockCount();
    PlatformRegistryKey parent = nullptr, child = nullptr;
    ASSERT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software", 0, PLATFORM_KEY_ALL_ACCESS,
                              &parent),
              0);
    ASSERT_EQ(OpenRegistryKey(parent, u"Velbrook\\PlugIn", 0, PLATFORM_KEY_ALL_ACCESS, &child), 0);
    uint32_t value = 0, size = 4;
    EXPECT_EQ(QueryRegistryValue(child, u"full color", nullptr, &value, &size), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(TestingLiveBlockCount(), live);  // keys are not local-heap blocks
    EXPECT_EQ(CloseRegistryKey(child), 0);
    EXPECT_EQ(CloseRegistryKey(parent), 0);
    EXPECT_EQ(OpenRegistryKey(PLATFORM_HKEY_CURRENT_USER, u"Software", 0, 0, nullptr),
              PLATFORM_ERROR_INVALID_PARAMETER);
}
