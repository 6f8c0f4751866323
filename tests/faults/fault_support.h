// Shared by the fault-injection tests: pictures for every decode path of the three filters, a
// notifier that records where in the decode each call came (allocations and reads made so far),
// and a decode through the built .spi that copies and frees what it hands over.
#ifndef VB_TESTS_FAULTS_FAULT_SUPPORT_H
#define VB_TESTS_FAULTS_FAULT_SUPPORT_H

#include <stdint.h>

#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "framework/plugin.h"
#include "tests/support/plugin_loader.h"

// The notifier protocols: when the calls come relative to the rows.
enum class Protocol {
    Tga,  // (0, h), (i, h) per row from 0, (h, h) closing whatever the result
    Pcx,  // (0, h), (h, h) before the rows, (i, h) per row from 0, no closing call
    Mag,  // (0, h) after reading, (k, h) per row from 1, (h, h) closing whatever the result
};

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

struct NotifierCall {
    int32_t current;
    int32_t total;
    int64_t allocations;  // allocation calls of this decode made before this notifier call
    int64_t reads;        // read calls of this decode made before this notifier call
};

struct DecodeRun {
    int32_t result = -100;
    std::vector<NotifierCall> calls;
    std::vector<uint8_t> header;  // on RESULT_OK, the whole header block
    std::vector<uint8_t> bits;    // on RESULT_OK, the whole bits block
    int64_t allocations = 0;      // allocation calls made by the decode
    int64_t reads = 0;            // read calls made by the decode
    int64_t blocksLeft = 0;       // live blocks after the decode (after freeing the DIB on OK)
};

// Loads the plug-in once per process.
const LoadedPlugin& PluginFor(const std::string& name);

// Serves the case's file, sets up the emulated display and "full color", and returns the name
// to open.
std::u16string PrepareCase(const FaultCase& faultCase);

// Decodes through GetPicture; the notifier answers "stop" on the calls numbered in `stopCalls`
// (1 = the first call).
DecodeRun DecodeCase(const FaultCase& faultCase, const std::set<int>& stopCalls = {});

// The calls of a decode that stopped after `rowsDone` rows (all rows: a complete decode) and,
// for TGA and MAG, made its closing call.
std::vector<std::pair<int32_t, int32_t>> ProtocolCalls(Protocol protocol, int32_t total,
                                                       int32_t rowsDone);
std::vector<std::pair<int32_t, int32_t>> CallPairs(const std::vector<NotifierCall>& calls);

// Sizes of the blocks a DIB header implies.
uint32_t HeaderBlockSize(const uint8_t* header, const std::string& plugin);
uint32_t BitsBlockSize(const uint8_t* header);

#endif
