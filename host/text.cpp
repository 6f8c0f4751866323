#include "host/text.h"

#include <stdint.h>
#include <stdio.h>

#include "host/host_platform.h"

namespace {

const char* const ReplacementCharacter = "\xEF\xBF\xBD";

void AppendUtf8(std::string* out, uint32_t code) {
    if (code < 0x80) {
        out->push_back((char)code);
    } else if (code < 0x800) {
        out->push_back((char)(0xC0 | (code >> 6)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back((char)(0xE0 | (code >> 12)));
        out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (code >> 18)));
        out->push_back((char)(0x80 | ((code >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (code & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence at text[i] with its code point, or 0 when the bytes
// there are not UTF-8 (overlong forms, surrogates, stray continuation bytes, cut sequences).
size_t DecodeUtf8At(const std::string& text, size_t i, uint32_t* code) {
    unsigned char lead = (unsigned char)text[i];
    size_t extra;
    uint32_t smallest;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        *code = lead & 0x1F;
        extra = 1;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        *code = lead & 0x0F;
        extra = 2;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        *code = lead & 0x07;
        extra = 3;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i - 1 < extra) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        unsigned char next = (unsigned char)text[i + k];
        if ((next & 0xC0) != 0x80) return 0;
        *code = (*code << 6) | (next & 0x3F);
    }
    if (*code < smallest || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
    return extra + 1;
}

}  // namespace

bool ConvertUtf8ToUtf16(const std::string& text, std::u16string* wide) {
    wide->clear();
    size_t i = 0;
    while (i < text.size()) {
        uint32_t code;
        size_t length = DecodeUtf8At(text, i, &code);
        if (length == 0) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide->push_back((char16_t)(0xD800 + (code >> 10)));
            wide->push_back((char16_t)(0xDC00 + (code & 0x3FF)));
        } else {
            wide->push_back((char16_t)code);
        }
        i += length;
    }
    return true;
}

std::string ConvertUtf16ToUtf8(const char16_t* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            out += ReplacementCharacter;
        } else {
            AppendUtf8(&out, unit);
        }
    }
    return out;
}

std::string ConvertShiftJisToUtf8(const std::string& bytes) {
    std::string out;
    size_t done = 0;
    while (done < bytes.size()) {
        done += ConvertShiftJisRun(bytes.data() + done, bytes.size() - done, &out);
        if (done < bytes.size()) {
            // Not Shift-JIS, or a lead byte at the very end: one replacement, then go on after it.
            out += ReplacementCharacter;
            ++done;
        }
    }
    return out;
}

std::string QuoteJson(const std::string& utf8) {
    std::string out = "\"";
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = (unsigned char)utf8[i];
        uint32_t code;
        size_t length = DecodeUtf8At(utf8, i, &code);
        if (length == 0) {
            // A file name need not be UTF-8; the JSON text must be.
            out += ReplacementCharacter;
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(utf8, i, length);
        } else if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back((char)c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out.push_back((char)c);
        }
        i += length;
    }
    out.push_back('"');
    return out;
}

std::string FlattenForTerminal(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char)utf8[i];
        if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
        if (c == '\n' || c == '\r') {
            out += " / ";
        } else if (c < 0x20 || c == 0x7F) {
            out.push_back(' ');
        } else {
            out.push_back((char)c);
        }
    }
    return out;
}
