// The string table of vbtga.spi as the platform layer serves it.
#include "tga/tga_strings.h"

#define VB_DEFINE_MODULE_RESOURCES
#include "framework/resources.h"
