// Information strings of vbpcx.spi: the Windows string table and the POSIX table are both
// built from these literals.
#ifndef VB_PCX_PCX_STRINGS_H
#define VB_PCX_PCX_STRINGS_H

#define PLUGIN_MODULE_NAME "vbpcx.spi"
#define PLUGIN_STRING_DESCRIPTION "PCX to DIB filter version 0.01 Copyright (C) Velbrook"
#define PLUGIN_STRING_PATTERN "*.PCX"
#define PLUGIN_STRING_PATTERN_NAME "PCX(*.pcx)"

#endif
