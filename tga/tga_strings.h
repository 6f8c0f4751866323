// Information strings of vbtga.spi, shared by the Windows string table and the POSIX table.
#ifndef VB_TGA_TGA_STRINGS_H
#define VB_TGA_TGA_STRINGS_H

#define PLUGIN_MODULE_NAME "vbtga.spi"
#define PLUGIN_STRING_DESCRIPTION "TGA to DIB filter version 0.50 Copyright (C) Velbrook"
#define PLUGIN_STRING_PATTERN "*.TGA"
#define PLUGIN_STRING_PATTERN_NAME "TGA(*.tga)"

#endif
