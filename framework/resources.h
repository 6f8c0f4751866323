// The information strings of a filter come from one header per filter (e.g. tga/tga_strings.h)
// holding plain narrow literals, so that the Windows string table (.rc) and the POSIX table
// below are built from the same text.
//
//   #define PLUGIN_MODULE_NAME          "vbtga.spi"
//   #define PLUGIN_STRING_DESCRIPTION   "TGA to DIB filter version 0.50 Copyright (C) Velbrook"
//   #define PLUGIN_STRING_PATTERN       "*.TGA"
//   #define PLUGIN_STRING_PATTERN_NAME  "TGA(*.tga)"
//
// A filter's resources.cpp includes its strings header and then this one with
// VB_DEFINE_MODULE_RESOURCES defined.
#ifndef VB_FRAMEWORK_RESOURCES_H
#define VB_FRAMEWORK_RESOURCES_H

#include "platform/platform.h"

#define PLUGIN_STRING_INTERFACE_VERSION "00IN"

// Strings 1024 + n answer information number n.
enum : uint32_t { PLUGIN_STRING_BASE = 1024 };

extern const PlatformModuleResources ThisModuleResources;

#define VB_WIDEN_LITERAL2(text) u##text
#define VB_WIDEN_LITERAL(text) VB_WIDEN_LITERAL2(text)

#if defined(VB_DEFINE_MODULE_RESOURCES)
static const PlatformStringResource ThisModuleStrings[] = {
    {PLUGIN_STRING_BASE + 0, VB_WIDEN_LITERAL(PLUGIN_STRING_INTERFACE_VERSION)},
    {PLUGIN_STRING_BASE + 1, VB_WIDEN_LITERAL(PLUGIN_STRING_DESCRIPTION)},
    {PLUGIN_STRING_BASE + 2, VB_WIDEN_LITERAL(PLUGIN_STRING_PATTERN)},
    {PLUGIN_STRING_BASE + 3, VB_WIDEN_LITERAL(PLUGIN_STRING_PATTERN_NAME)},
};
const PlatformModuleResources ThisModuleResources = {
    PLUGIN_MODULE_NAME, ThisModuleStrings, sizeof ThisModuleStrings / sizeof ThisModuleStrings[0]};
#endif

#endif
