// Information strings of the MAG filter. Plain narrow literals only: the Windows string table
// (.rc) is built from this header as well as the POSIX table in mag_resources.cpp.
#ifndef VB_MAG_MAG_STRINGS_H
#define VB_MAG_MAG_STRINGS_H

#define PLUGIN_MODULE_NAME "vbmag.spi"
#define PLUGIN_STRING_DESCRIPTION "MAG to DIB filter version 0.50 Copyright (C) Velbrook"
#define PLUGIN_STRING_PATTERN "*.MAG"
#define PLUGIN_STRING_PATTERN_NAME "MAG(*.mag)"

#endif
