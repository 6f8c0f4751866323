// Putting the stand-in back to what the environment gives, between tests.
#include "posix_internal.h"

void VB_CALL TestingReset(void) {
    ResetDevice();
    ResetFileOverrides();
    ResetHeapOverrides();
    ResetRegistryOverrides();
    ResetLibraryOverrides();
}
