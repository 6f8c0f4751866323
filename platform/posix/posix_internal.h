// Pieces shared by the source files of the POSIX stand-in. Nothing here is exported.
#ifndef VB_PLATFORM_POSIX_INTERNAL_H
#define VB_PLATFORM_POSIX_INTERNAL_H

#include <stdint.h>

#include <string>

#include "platform/platform.h"

// UTF-16 (ended by a 0 unit) to UTF-8. False for a null name or a lone surrogate, which no
// file or library name on disk can hold.
bool ConvertNameToUtf8(const char16_t* name, std::string* utf8);
// Length in units up to the terminator.
size_t MeasureWide(const char16_t* text);

#endif
