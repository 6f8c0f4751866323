#include "host/device_check.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "host/text.h"

#ifdef _WIN32

// On Windows the device and the registry are the system's: the user gave nothing to check.
bool CheckDeviceVariables(const DeviceSettings&, std::string*) {
    return true;
}

bool CheckRegistryFile(const DeviceSettings&, std::string*) {
    return true;
}

#else

namespace {

// Digits only (hexadecimal after 0x where `hexAllowed`), as the platform reads them, within
// lowest..highest.
bool ReadNumber(const std::string& text, bool hexAllowed, uint32_t lowest, uint32_t highest) {
    size_t start = 0;
    int base = 10;
    if (hexAllowed && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        start = 2;
        base = 16;
    }
    if (start >= text.size()) return false;
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'                 ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0) return false;
        value = value * base + (uint64_t)digit;
        if (value > highest) return false;
    }
    return value >= lowest;
}

bool ReadVersion(const std::string& text) {
    size_t dot = text.find('.');
    if (dot == std::string::npos) return ReadNumber(text, false, 0, 255);
    return ReadNumber(text.substr(0, dot), false, 0, 255) &&
           ReadNumber(text.substr(dot + 1), false, 0, 99);
}

// The variable's value, or empty when it is unset or empty.
std::string ReadVariable(const char* name) {
    const char* value = getenv(name);
    return value ? std::string(value) : std::string();
}

std::string DescribeVariable(const char* name, const std::string& value, const char* wanted) {
    return std::string(name) + " is '" + value + "', which is not " + wanted +
           " (unset it to get the default)";
}

// regedit writes version 5 files in UTF-16 with a byte-order mark; the rest is UTF-8 text.
std::string DecodeRegistryBytes(const std::string& bytes) {
    if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            wide.push_back(
                (char16_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
        }
        return ConvertUtf16ToUtf8(wide.data(), wide.size());
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

std::string TrimBlanks(const std::string& line) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) return std::string();
    size_t end = line.find_last_not_of(" \t\r");
    return line.substr(start, end - start + 1);
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "01,02,ff": bytes of one or two hex digits separated by commas (blanks allowed); may be empty.
bool IsHexList(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\t') digits.push_back(c);
    }
    if (digits.empty()) return true;
    size_t start = 0;
    while (start <= digits.size()) {
        size_t comma = digits.find(',', start);
        if (comma == std::string::npos) comma = digits.size();
        size_t count = comma - start;
        if (count < 1 || count > 2) return false;
        for (size_t i = start; i < comma; ++i) {
            if (!IsHexDigit(digits[i])) return false;
        }
        start = comma + 1;
    }
    return true;
}

// A quoted string at text[*at]: true with *at just past the closing quote.
bool SkipQuoted(const std::string& text, size_t* at) {
    if (*at >= text.size() || text[*at] != '"') return false;
    for (size_t i = *at + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            *at = i + 1;
            return true;
        }
    }
    return false;
}

// The data after '=': a string, dword:, hex: or hex(N):, or "-" to delete the value.
bool IsValueData(const std::string& data) {
    if (data == "-") return true;
    if (!data.empty() && data[0] == '"') {
        size_t at = 0;
        return SkipQuoted(data, &at) && TrimBlanks(data.substr(at)).empty();
    }
    std::string lower = data;
    for (char& c : lower) c = (char)tolower((unsigned char)c);
    if (lower.compare(0, 6, "dword:") == 0) {
        std::string digits = TrimBlanks(data.substr(6));
        if (digits.empty() || digits.size() > 8) return false;
        for (char c : digits) {
            if (!IsHexDigit(c)) return false;
        }
        return true;
    }
    if (lower.compare(0, 4, "hex:") == 0) return IsHexList(data.substr(4));
    if (lower.compare(0, 4, "hex(") == 0) {
        size_t close = lower.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        for (size_t i = 4; i < close; ++i) {
            if (!IsHexDigit(lower[i])) return false;
        }
        return IsHexList(data.substr(close + 2));
    }
    return false;
}

bool IsValueLine(const std::string& line) {
    size_t at = 0;
    if (line[0] == '@') {
        at = 1;
    } else if (!SkipQuoted(line, &at)) {
        return false;
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size() || line[at] != '=') return false;
    return IsValueData(TrimBlanks(line.substr(at + 1)));
}

}  // namespace

bool CheckDeviceVariables(const DeviceSettings& settings, std::string* problem) {
    struct Variable {
        const char* name;
        bool overridden;
        const char* wanted;
    };
    const Variable variables[] = {
        {"VB_DISPLAY_BITS", settings.setDisplayBits, "a number of bits from 1 to 32"},
        {"VB_SCREEN_WIDTH", settings.setScreenWidth, "a number of pixels from 1 to 65535"},
        {"VB_LANGUAGE", settings.setLanguage, "a language identifier such as 0x0411 or 1041"},
        {"VB_SYSTEM_VERSION", settings.setSystemVersion, "a version such as 2.00"},
    };
    for (const Variable& variable : variables) {
        std::string value = ReadVariable(variable.name);
        if (variable.overridden || value.empty()) continue;
        bool readable = false;
        if (strcmp(variable.name, "VB_DISPLAY_BITS") == 0) {
            readable = ReadNumber(value, false, 1, 32);
        } else if (strcmp(variable.name, "VB_SCREEN_WIDTH") == 0) {
            readable = ReadNumber(value, false, 1, 65535);
        } else if (strcmp(variable.name, "VB_LANGUAGE") == 0) {
            readable = ReadNumber(value, true, 0, 0xFFFF);
        } else {
            readable = ReadVersion(value);
        }
        if (!readable) {
            *problem = DescribeVariable(variable.name, value, variable.wanted);
            return false;
        }
    }
    return true;
}

namespace {

bool CheckRegistryText(const std::string& bytes, std::string* problem) {
    std::string text = DecodeRegistryBytes(bytes);
    bool headerSeen = false;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        // A line that ends in '\' goes on in the next one (long hex lists).
        size_t firstLine = lineNumber + 1;
        std::string line;
        for (;;) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string piece = TrimBlanks(text.substr(start, end - start));
            start = end + 1;
            ++lineNumber;
            bool continues = !piece.empty() && piece.back() == '\\' && piece[0] != ';';
            if (continues) piece.pop_back();
            line += piece;
            if (!continues || start >= text.size()) break;
        }
        if (line.empty()) continue;
        std::string where = "line " + std::to_string(firstLine) + ": ";
        if (!headerSeen) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") {
                *problem =
                    "it does not begin with REGEDIT4 or "
                    "\"Windows Registry Editor Version 5.00\"";
                return false;
            }
            headerSeen = true;
            continue;
        }
        if (line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                *problem = where + "a key without its closing ]";
                return false;
            }
            continue;
        }
        if (!IsValueLine(line)) {
            *problem = where + "not a value regedit writes: " + line;
            return false;
        }
    }
    // A file without a line is an empty registry, as it says.
    return true;
}

}  // namespace

bool CheckRegistryFile(const DeviceSettings& settings, std::string* problem) {
    std::string path =
        settings.setRegistryFile ? settings.registryFile : ReadVariable("VB_REGISTRY");
    if (path.empty()) return true;
    const char* from = settings.setRegistryFile ? "" : " (VB_REGISTRY)";
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *problem = "cannot read the registry file " + path + from + ": " + strerror(errno);
        return false;
    }
    std::string bytes;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, count);
    bool failed = ferror(file) != 0;
    int error = errno;
    fclose(file);
    if (failed) {
        *problem = "cannot read the registry file " + path + from + ": " + strerror(error);
        return false;
    }
    std::string reason;
    if (!CheckRegistryText(bytes, &reason)) {
        *problem = "the registry file " + path + from + " cannot be used: " + reason;
        return false;
    }
    return true;
}

#endif
