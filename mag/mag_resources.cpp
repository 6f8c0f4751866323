// The string table of vbmag.spi as the POSIX platform stand-in reads it.
#include "mag/mag_strings.h"

#define VB_DEFINE_MODULE_RESOURCES
#include "framework/resources.h"
