// Fuzz target: the MAG filter's acceptance test and picture-information reader, through
// IsSupported and GetPictureInfo.
#include "fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    PrepareFuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunFuzzInput(FUZZ_FORMAT_MAG, FUZZ_ENTRY_INFO, data, size);
}
