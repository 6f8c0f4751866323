// The string table of vbpcx.spi.
#include "pcx/pcx_strings.h"

#define VB_DEFINE_MODULE_RESOURCES
#include "framework/resources.h"
