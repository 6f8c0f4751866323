// Text conversions at the host's edges: command-line UTF-8 to the plug-ins' UTF-16 and back,
// Shift-JIS picture comments to UTF-8, and escaping for JSON and the terminal.
#ifndef VB_HOST_TEXT_H
#define VB_HOST_TEXT_H

#include <stddef.h>

#include <string>

// Strict UTF-8 to UTF-16 (characters above U+FFFF become surrogate pairs). False for bytes that
// are not UTF-8 (overlong forms, surrogates, stray continuation bytes, truncated sequences).
bool ConvertUtf8ToUtf16(const std::string& text, std::u16string* wide);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ConvertUtf16ToUtf8(const char16_t* text, size_t length);

// Shift-JIS (code page 932, which includes ASCII) to UTF-8. A byte sequence that is not
// Shift-JIS becomes U+FFFD and the conversion goes on with the next byte.
std::string ConvertShiftJisToUtf8(const std::string& bytes);

// A JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string QuoteJson(const std::string& utf8);

// Replaces control characters (C0, DEL) with blanks, so that text from a file cannot move the
// cursor or send escape sequences to a terminal; line breaks become " / ".
std::string FlattenForTerminal(const std::string& utf8);

#endif
