// The registry of the emulated device: HKEY_CURRENT_USER as a .reg file, the text format that
// regedit exports and imports ("REGEDIT4" or "Windows Registry Editor Version 5.00"). The file
// is read anew at every key open, so a test or a user can change it between calls; an open key
// holds a copy of its values.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "platform/platform_host.h"
#include "posix_internal.h"

enum : uint32_t { REG_TYPE_SZ = 1, REG_TYPE_BINARY = 3, REG_TYPE_DWORD = 4 };
enum : int32_t { ERROR_INVALID_HANDLE_CODE = 6, ERROR_NOT_ENOUGH_MEMORY_CODE = 8 };

struct RegistryValue {
    uint32_t type;
    std::vector<uint8_t> data;
};

// Keys and value names in lower case (the registry ignores the case of ASCII letters).
typedef std::map<std::string, RegistryValue> RegistryValues;

struct RegistryKey {
    std::string path;  // below HKEY_CURRENT_USER, lower case, no leading or trailing '\'
    RegistryValues values;
};

static std::mutex RegistryLock;
static std::set<const RegistryKey*> OpenKeys;

static const char RootName[] = "hkey_current_user";

static std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    return text;
}

// Joins path parts with single '\', dropping empty parts ("a\\b\" is "a\b").
static std::string NormalizeKeyPath(const std::string& path) {
    std::string result;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            if (!result.empty()) result.push_back('\\');
            result.append(path, start, end - start);
        }
        start = end + 1;
    }
    return LowerAscii(result);
}

// The file's bytes; false with errno's value in *error when it cannot be read.
static bool ReadWholeFile(const std::string& path, std::string* bytes, int* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = errno;
        return false;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, got);
    bool failed = ferror(file) != 0;
    *error = failed ? (errno != 0 ? errno : EIO) : 0;
    fclose(file);
    return !failed;
}

// regedit writes version 5 files as UTF-16LE with a byte-order mark; everything else is taken
// as UTF-8 (which covers ASCII REGEDIT4 files).
static std::string DecodeRegistryText(const std::string& bytes) {
    if (bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            wide.push_back((char16_t)((uint8_t)bytes[i] | ((uint8_t)bytes[i + 1] << 8)));
        }
        std::string text;
        if (ConvertNameToUtf8(wide.c_str(), &text)) return text;
        // A lone surrogate somewhere: keep what can be kept.
        for (char16_t unit : wide) text.push_back(unit < 0x80 ? (char)unit : '?');
        return text;
    }
    if (bytes.size() >= 3 && (uint8_t)bytes[0] == 0xEF && (uint8_t)bytes[1] == 0xBB &&
        (uint8_t)bytes[2] == 0xBF) {
        return bytes.substr(3);
    }
    return bytes;
}

static std::string TrimSpace(const std::string& text) {
    size_t start = 0, end = text.size();
    while (start < end && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r')) {
        start++;
    }
    while (end > start &&
           (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) {
        end--;
    }
    return text.substr(start, end - start);
}

// Logical lines: a line ending in '\' (inside hex lists) continues on the next one.
// `numbers` gets the number of the file line each logical line begins on.
static std::vector<std::string> SplitLogicalLines(const std::string& text,
                                                  std::vector<size_t>* numbers) {
    std::vector<std::string> lines;
    std::string current;
    size_t start = 0;
    size_t number = 0;
    size_t firstNumber = 1;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = TrimSpace(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (current.empty()) firstNumber = number;
        bool continues = !line.empty() && line.back() == '\\' && line[0] != ';';
        if (continues) {
            line.pop_back();
            current += line;
            continue;
        }
        current += line;
        lines.push_back(current);
        numbers->push_back(firstNumber);
        current.clear();
    }
    if (!current.empty()) {
        lines.push_back(current);
        numbers->push_back(firstNumber);
    }
    return lines;
}

// Parses a quoted string at text[*at] (which is '"'), undoing the \\ and \" escapes.
static bool ParseQuoted(const std::string& text, size_t* at, std::string* result) {
    if (*at >= text.size() || text[*at] != '"') return false;
    result->clear();
    for (size_t i = *at + 1; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            result->push_back(text[++i]);
        } else if (c == '"') {
            *at = i + 1;
            return true;
        } else {
            result->push_back(c);
        }
    }
    return false;
}

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "01,02,ff" (blanks allowed around the commas); an empty list is an empty value.
static bool ParseHexList(const std::string& text, std::vector<uint8_t>* data) {
    data->clear();
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        digits.push_back(c);
    }
    size_t i = 0;
    while (i < digits.size()) {
        size_t comma = digits.find(',', i);
        if (comma == std::string::npos) comma = digits.size();
        size_t count = comma - i;
        if (count < 1 || count > 2) return false;
        int value = 0;
        for (size_t k = i; k < comma; k++) {
            int digit = HexDigit(digits[k]);
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        data->push_back((uint8_t)value);
        i = comma + 1;
    }
    return true;
}

// UTF-8 to UTF-16 units with a terminator, as REG_SZ data is stored.
static std::vector<uint8_t> EncodeStringValue(const std::string& text) {
    std::vector<uint8_t> data;
    auto put = [&data](uint32_t unit) {
        data.push_back((uint8_t)unit);
        data.push_back((uint8_t)(unit >> 8));
    };
    for (size_t i = 0; i < text.size();) {
        uint8_t c = (uint8_t)text[i];
        uint32_t point = 0xFFFD;
        size_t extra = 0;
        if (c < 0x80) {
            point = c;
        } else if ((c & 0xE0) == 0xC0) {
            point = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            point = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            point = c & 0x07;
            extra = 3;
        }
        if (i + extra >= text.size()) {
            point = 0xFFFD;  // a sequence cut off by the end of the text
            i = text.size();
        } else {
            for (size_t k = 1; k <= extra; k++)
                point = (point << 6) | ((uint8_t)text[i + k] & 0x3F);
            i += extra + 1;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            put(0xD800 + (point >> 10));
            put(0xDC00 + (point & 0x3FF));
        } else {
            put(point);
        }
    }
    put(0);
    return data;
}

// The value part after '=': true with the value, false for a line we do not understand.
static bool ParseValueData(const std::string& text, RegistryValue* value) {
    if (!text.empty() && text[0] == '"') {
        size_t at = 0;
        std::string content;
        if (!ParseQuoted(text, &at, &content) || !TrimSpace(text.substr(at)).empty()) return false;
        value->type = REG_TYPE_SZ;
        value->data = EncodeStringValue(content);
        return true;
    }
    std::string lower = LowerAscii(text);
    if (lower.compare(0, 6, "dword:") == 0) {
        std::string digits = TrimSpace(text.substr(6));
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            int digit = HexDigit(c);
            if (digit < 0) return false;
            number = number * 16 + (uint32_t)digit;
        }
        value->type = REG_TYPE_DWORD;
        value->data = {(uint8_t)number, (uint8_t)(number >> 8), (uint8_t)(number >> 16),
                       (uint8_t)(number >> 24)};
        return true;
    }
    if (lower.compare(0, 4, "hex:") == 0) {
        value->type = REG_TYPE_BINARY;
        return ParseHexList(text.substr(4), &value->data);
    }
    if (lower.compare(0, 4, "hex(") == 0) {
        size_t close = lower.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        uint32_t type = 0;
        for (size_t k = 4; k < close; k++) {
            int digit = HexDigit(lower[k]);
            if (digit < 0) return false;
            type = type * 16 + (uint32_t)digit;
        }
        value->type = type;
        return ParseHexList(text.substr(close + 2), &value->data);
    }
    return false;
}

// Everything under HKEY_CURRENT_USER that the file holds: key path -> values. Keys that only
// appear as a part of a longer section path exist too; KeyExists looks for them.
typedef std::map<std::string, RegistryValues> RegistryTree;

// `problem` (may be null) gets what is wrong with the first line that is skipped, a line that is
// neither a key, a value nor a comment, or with a file that is not a registry file at all.
static void ParseRegistryText(const std::string& text, RegistryTree* tree, std::string* problem) {
    std::vector<size_t> numbers;
    std::vector<std::string> lines = SplitLogicalLines(text, &numbers);
    auto skip = [&](size_t i, const std::string& what) {
        if (problem && problem->empty()) {
            *problem = "line " + std::to_string(numbers[i]) + ": " + what;
        }
    };
    size_t first = 0;
    while (first < lines.size() && lines[first].empty()) first++;
    if (first == lines.size()) return;
    if (lines[first] != "REGEDIT4" && lines[first] != "Windows Registry Editor Version 5.00") {
        if (problem) {
            *problem =
                "it does not begin with REGEDIT4 or \"Windows Registry Editor Version 5.00\"";
        }
        return;  // not a registry file: an empty registry
    }
    RegistryValues* section = nullptr;  // null: values are outside HKEY_CURRENT_USER
    for (size_t i = first + 1; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            section = nullptr;
            size_t close = line.rfind(']');
            if (close == std::string::npos) {
                skip(i, "a key without its closing ]");
                continue;
            }
            std::string path = line.substr(1, close - 1);
            if (!path.empty() && path[0] == '-') {
                // A removal section: drop the key and its subkeys.
                std::string removed = NormalizeKeyPath(path.substr(1));
                if (removed.compare(0, sizeof RootName - 1, RootName) != 0) continue;
                for (auto it = tree->begin(); it != tree->end();) {
                    std::string full = it->first.empty() ? std::string(RootName)
                                                         : std::string(RootName) + "\\" + it->first;
                    bool under =
                        full == removed || full.compare(0, removed.size() + 1, removed + "\\") == 0;
                    it = under ? tree->erase(it) : std::next(it);
                }
                continue;
            }
            std::string normalized = NormalizeKeyPath(path);
            if (normalized == RootName) {
                section = &(*tree)[std::string()];
            } else if (normalized.compare(0, sizeof RootName, std::string(RootName) + "\\") == 0) {
                section = &(*tree)[normalized.substr(sizeof RootName)];
            }
            continue;
        }
        // Values outside HKEY_CURRENT_USER are read too, to be checked, and then dropped.
        std::string name;
        size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!ParseQuoted(line, &at, &name)) {
            skip(i, "not a value regedit writes: " + line);
            continue;
        }
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) at++;
        if (at >= line.size() || line[at] != '=') {
            skip(i, "not a value regedit writes: " + line);
            continue;
        }
        std::string data = TrimSpace(line.substr(at + 1));
        std::string key = LowerAscii(name);
        RegistryValue value;
        if (data != "-" && !ParseValueData(data, &value)) {
            skip(i, "not a value regedit writes: " + line);
            continue;
        }
        if (!section) continue;
        if (data == "-") {
            section->erase(key);
        } else {
            (*section)[key] = value;
        }
    }
}

static bool LoadRegistryTree(RegistryTree* tree) {
    const char* variable = getenv("VB_REGISTRY");
    std::string path = variable ? variable : "";
    (*tree)[std::string()];  // HKEY_CURRENT_USER itself always exists
    if (path.empty()) return true;
    std::string bytes;
    int error;
    if (!ReadWholeFile(path, &bytes, &error)) return true;
    ParseRegistryText(DecodeRegistryText(bytes), tree, nullptr);
    return true;
}

// Copies `text` into the caller's buffer of `size` bytes, cut short and ended by 0.
static void CopyOut(const std::string& text, char* buffer, uint32_t size) {
    if (!buffer || size == 0) return;
    size_t count = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), count);
    buffer[count] = 0;
}

int32_t VB_CALL ExamineRegistryFile(const char* path, char* problem, uint32_t size) {
    std::string bytes;
    int error;
    if (!path || !ReadWholeFile(path, &bytes, &error)) {
        CopyOut(strerror(path ? error : EINVAL), problem, size);
        return REGISTRY_FILE_UNREADABLE;
    }
    RegistryTree tree;
    std::string what;
    ParseRegistryText(DecodeRegistryText(bytes), &tree, &what);
    CopyOut(what, problem, size);
    return what.empty() ? REGISTRY_FILE_USABLE : REGISTRY_FILE_SKIPS_LINES;
}

int32_t VB_CALL ReadRegistryFileText(const char* path, char* text, uint32_t size) {
    std::string bytes;
    int error;
    if (!path || !ReadWholeFile(path, &bytes, &error)) return -1;
    std::string decoded = DecodeRegistryText(bytes);
    if (decoded.size() > 0x7FFFFFFE) return -1;
    CopyOut(decoded, text, size);
    return (int32_t)decoded.size();
}

static bool KeyExists(const RegistryTree& tree, const std::string& path) {
    if (tree.count(path)) return true;
    std::string prefix = path + "\\";
    auto next = tree.lower_bound(prefix);
    return next != tree.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

static bool IsOpenKey(const RegistryKey* key) {
    std::lock_guard<std::mutex> hold(RegistryLock);
    return OpenKeys.count(key) != 0;
}

int32_t VB_CALL OpenRegistryKey(PlatformRegistryKey root, const char16_t* path, uint32_t options,
                                uint32_t access, PlatformRegistryKey* key) {
    (void)options;
    (void)access;
    if (!key) return PLATFORM_ERROR_INVALID_PARAMETER;
    std::string base;
    if (root == PLATFORM_HKEY_CURRENT_USER) {
        base.clear();
    } else if ((uintptr_t)root >= 0x80000000u && (uintptr_t)root <= 0x80000006u) {
        return PLATFORM_ERROR_FILE_NOT_FOUND;  // the other predefined roots hold nothing here
    } else if (IsOpenKey((const RegistryKey*)root)) {
        base = ((const RegistryKey*)root)->path;
    } else {
        return ERROR_INVALID_HANDLE_CODE;
    }
    std::string relative;
    if (path && !ConvertNameToUtf8(path, &relative)) return PLATFORM_ERROR_FILE_NOT_FOUND;
    std::string full = NormalizeKeyPath(base + "\\" + relative);

    RegistryTree tree;
    LoadRegistryTree(&tree);
    if (!KeyExists(tree, full)) return PLATFORM_ERROR_FILE_NOT_FOUND;
    RegistryKey* opened = new (std::nothrow) RegistryKey{full, tree[full]};
    if (!opened) return ERROR_NOT_ENOUGH_MEMORY_CODE;
    {
        std::lock_guard<std::mutex> hold(RegistryLock);
        OpenKeys.insert(opened);
    }
    *key = opened;
    return PLATFORM_ERROR_SUCCESS;
}

int32_t VB_CALL QueryRegistryValue(PlatformRegistryKey key, const char16_t* name, uint32_t* type,
                                   void* data, uint32_t* size) {
    RegistryValues rootValues;
    const RegistryValues* values;
    if (key == PLATFORM_HKEY_CURRENT_USER) {
        RegistryTree tree;
        LoadRegistryTree(&tree);
        rootValues = tree[std::string()];
        values = &rootValues;
    } else if (IsOpenKey((const RegistryKey*)key)) {
        values = &((const RegistryKey*)key)->values;
    } else {
        return ERROR_INVALID_HANDLE_CODE;
    }
    if (data && !size) return PLATFORM_ERROR_INVALID_PARAMETER;
    std::string valueName;
    if (name && !ConvertNameToUtf8(name, &valueName)) return PLATFORM_ERROR_FILE_NOT_FOUND;
    auto found = values->find(LowerAscii(valueName));
    if (found == values->end()) return PLATFORM_ERROR_FILE_NOT_FOUND;
    const RegistryValue& value = found->second;
    uint32_t length = (uint32_t)value.data.size();
    if (type) *type = value.type;
    if (data) {
        if (length > *size) {
            *size = length;
            return PLATFORM_ERROR_MORE_DATA;
        }
        if (length != 0) memcpy(data, value.data.data(), length);
    }
    if (size) *size = length;
    return PLATFORM_ERROR_SUCCESS;
}

int32_t VB_CALL CloseRegistryKey(PlatformRegistryKey key) {
    if (key == PLATFORM_HKEY_CURRENT_USER) return PLATFORM_ERROR_SUCCESS;
    RegistryKey* opened = (RegistryKey*)key;
    {
        std::lock_guard<std::mutex> hold(RegistryLock);
        if (!OpenKeys.erase(opened)) return ERROR_INVALID_HANDLE_CODE;
    }
    delete opened;
    return PLATFORM_ERROR_SUCCESS;
}
