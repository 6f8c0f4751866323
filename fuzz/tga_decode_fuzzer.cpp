// Fuzz target: the TGA filter's decoder, through GetPicture and GetPreview.
#include "fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    PrepareFuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunFuzzInput(FUZZ_FORMAT_TGA, FUZZ_ENTRY_DECODE, data, size);
}
