// Shared by the fault-injection tests: pictures for every decode path of the three filters, and
// their decode through the built .spi.
#ifndef VB_TESTS_FAULTS_FAULT_SUPPORT_H
#define VB_TESTS_FAULTS_FAULT_SUPPORT_H

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/decode_harness.h"

struct FaultCase {
    std::string label;
    std::string plugin;  // "vbtga"
    Protocol protocol = Protocol::Tga;
    std::vector<uint8_t> file;
    int32_t offset = 0;
    int32_t displayBits = 24;
    int32_t fullColor = -1;  // -1: no value in the registry
    int32_t rows = 0;        // rows in the file = notifier total
    // Where the decode's blocks are allocated (checked on the clean run).
    int32_t allocationsBeforeStart = 3;  // header, bits, row buffer / data block
    bool allocatesAfterStart = false;    // the colour reducer's working rows
};

// Names the case in test output.
void PrintTo(const FaultCase& faultCase, std::ostream* out);

// Every case of the suite: raw and run-length, each output path of TGA, both PCX layouts, MAG
// 16-colour, 256-colour (at an offset) and 200-line.
std::vector<FaultCase> AllFaultCases();

// Serves the case's file, sets up the emulated display and "full color", and returns the name
// to open.
std::u16string PrepareCase(const FaultCase& faultCase);

// Decodes the case through GetPicture at its offset. On RESULT_OK it also checks that the DIB
// came as two blocks of exactly the sizes its header implies.
DecodeRecord DecodeCase(const FaultCase& faultCase, DecodeOptions options = DecodeOptions());

#endif
