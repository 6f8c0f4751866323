// vbhost: a command-line host for the image filter plug-ins. It loads the .spi files at run time
// and drives them only through their five exports, as the viewer on the handheld does: it picks
// a plug-in with IsSupported and the file's first bytes, asks GetPictureInfo, decodes with
// GetPicture (or GetPreview) and frees every block it receives with the platform's FreeBlock.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/plugin.h"
#include "host/device.h"
#include "host/device_check.h"
#include "host/host_platform.h"
#include "host/image_writer.h"
#include "host/plugins.h"
#include "host/text.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "platform/platform_host.h"

namespace {

enum : int { EXIT_ALL_DONE = 0, EXIT_SOME_FAILED = 1, EXIT_USAGE = 2, EXIT_INTERRUPTED = 130 };

// IsSupported gets this much of the file, as the viewer reads it before choosing a filter.
const size_t FileHeadSize = 2048;

const char* const UsageText =
    "Usage: vbhost COMMAND [OPTIONS] [FILE...]\n"
    "\n"
    "Drives the image filter plug-ins (*.spi) through their exports, as the viewer does.\n"
    "\n"
    "Commands:\n"
    "  plugins              list the plug-ins with their four information strings\n"
    "  info FILE...         show each picture's format, size, origin, depth and text\n"
    "  convert FILE...      decode each picture and write it as a PNG or BMP file\n"
    "FILE may be - (standard input) or a folder: the files in it that a plug-in reads.\n"
    "\n"
    "Options:\n"
    "  --plugin-dir DIR     folder of the plug-ins (default: the folder of vbhost, or\n"
    "                       ../lib/velbrook from there once installed)\n"
    "  --json               (plugins, info) machine-readable output on stdout\n"
    "  --offset N           (info, convert) position of the picture in its file (default 0)\n"
    "  -r, --recursive      (info, convert) the pictures of a folder's subfolders too\n"
    "  -o FILE              (convert) output file; only with a single input. \"-\" is standard\n"
    "                       output; a device, a FIFO or a pipe (/dev/stdout, /dev/fd/N) is\n"
    "                       written in place, a regular file (or the file a link points to) is\n"
    "                       replaced once the new one is whole (a read-only one: --force)\n"
    "  -d DIR               (convert) output folder, made when the first file is written\n"
    "                       (default: the current folder); the output is named after the input:\n"
    "                       photo.tga -> photo.png\n"
    "  --format png|bmp     (convert) output format, in any letter case (default: the\n"
    "                       extension of -o, else png)\n"
    "  --png-level N        (convert) zlib level 0 to 9, every row filter tried on each row;\n"
    "                       9 for the smallest files (default: fast settings chosen for each\n"
    "                       picture)\n"
    "  --preview            (convert) decode through GetPreview instead of GetPicture\n"
    "  --abort-after N      (convert) answer \"stop\" to every progress call after the first N,\n"
    "                       to try a plug-in's abort path\n"
    "  -q, --quiet          (convert) no line for each file written; failures are still told\n"
    "  -n, --no-clobber     (convert) leave outputs that exist alone; those inputs are skipped\n"
    "  --force              (convert) replace read-only output files too\n"
    "  --strict             (convert) a picture delivered with a warning (a file that ends\n"
    "                       before its picture does) counts as failed: exit status 1\n"
    "  -h, --help           show this help\n"
    "  --version            show vbhost's version\n"
    "\n"
    "Emulated device and registry (defaults: VB_DISPLAY_BITS, VB_SCREEN_WIDTH, VB_LANGUAGE,\n"
    "VB_SYSTEM_VERSION and VB_REGISTRY from the environment, else a 24-bit, 640-pixel,\n"
    "English (United States) desktop with system version 2.00 and an empty registry):\n"
    "  --display-bits N     display bits per pixel (1 to 32)\n"
    "  --full-color on|off  the \"full color\" setting under HKCU\\Software\\Velbrook\\PlugIn\n"
    "  --extended-layouts on|off\n"
    "                       the \"extended layouts\" setting beside it (default: on, unless the\n"
    "                       registry file sets it; not on Windows). Off, the plug-ins read what\n"
    "                       the handheld shows by default; on, they also read TGA colour-mapped\n"
    "                       pictures (8- or 16-bit indices), 15/16-bit colour and 16-bit gray\n"
    "                       with alpha, and PCX 1 bit x 1 to 3 planes, 2 or 4 bits x 1 plane and\n"
    "                       24- and 32-bit colour (8 bits x 3 or 4 planes)\n"
    "  --language ID        language identifier, e.g. 0x0411 (Japanese), 0x0409 (English)\n"
    "  --screen-width N     screen width in pixels\n"
    "  --system-version V   system version as major.minor, e.g. 2.00\n"
    "  --registry FILE      .reg file holding HKEY_CURRENT_USER (not on Windows)\n"
    "On Windows the plug-ins ask the system for its device and read the system's registry: the\n"
    "device options and --registry are not available there, and --full-color sets the value in\n"
    "the registry for the run and puts the earlier state back when vbhost ends.\n"
    "\n"
    "A progress bar is drawn on stderr when it is a terminal; Ctrl-C stops the decode.\n"
    "Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage error,\n"
    "130 when interrupted, 128 + N when signal N ended vbhost (the partial file removed).\n";

struct HostOptions {
    std::string command;
    bool quiet = false;
    int32_t pngLevel = PNG_LEVEL_CHOSEN;
    std::vector<std::string> files;
    std::string pluginFolder;
    bool json = false;
    int32_t offset = 0;
    std::string outputPath;
    std::string outputFolder;
    std::string format;
    bool preview = false;
    bool strict = false;
    bool force = false;      // replace read-only outputs
    bool noClobber = false;  // leave existing outputs alone
    bool recursive = false;  // folders given as inputs are walked down
    int64_t abortAfterCalls = -1;
    DeviceSettings device;
};

// A picture file as the host has it before any plug-in sees it.
struct PictureFile {
    std::string path;
    std::u16string wideName;
    std::vector<uint8_t> head;
    // Standard input's spool: the name each plug-in is given, ending in its own extension.
    std::vector<std::pair<const PluginModule*, std::u16string>> namesForPlugins;
};

// The name `plugin` is given for the file.
const char16_t* NameFor(const PictureFile& file, const PluginModule& plugin) {
    for (const auto& entry : file.namesForPlugins) {
        if (entry.first == &plugin) return entry.second.c_str();
    }
    return file.wideName.c_str();
}

// The input that names standard input, and what it becomes: a file spooled when it is first met.
const char* const StandardInputName = "-";
SpooledInput StandardInputSpool;
bool StandardInputTried = false;
std::string StandardInputProblem;

// What the notifier and the writer's progress report need; its address travels as their user
// data. The bar covers the plug-in's rows, then the rows written: decodeShare is the part of the
// bar for the decode, set at the plug-in's first call from its total and the rows to write.
struct ProgressState {
    std::string label;
    bool drawBar = false;
    bool barShown = false;
    int lastPercent = -1;
    int64_t calls = 0;
    int64_t abortAfterCalls = -1;
    int32_t rowsToWrite = 0;
    double decodeShare = -1;
};

// The outcome of one file: a plug-in's result code, a problem with what the plug-in delivered,
// or a problem of vbhost's own with the output, which no plug-in caused.
struct FileOutcome {
    const PluginModule* plugin = nullptr;
    int32_t result = RESULT_OK;
    std::string hostProblem;
    std::string outputProblem;
    bool writeStopped = false;
    bool endedEarly = false;    // the decode failed for want of bytes the file lacks
    std::string warning;        // about a picture delivered all the same
    int32_t pictureDepth = -1;  // from the information record, when the plug-in gave one
    std::string refusedLayout;  // why a TGA or PCX file was refused, from its header
};

// What the project's plug-ins decode, to say what they do not when a decode is refused after
// the information record gave the picture's depth (a 16-bit TGA, a 24-bit PCX), and the depths
// their formats can have at all: any other means the header is not one of the format's, and is
// not repeated ("a 0-bit PCX picture" would mislead).
struct DecodedDepths {
    const char* plugin;
    const char* format;
    int32_t depths[3];
    const char* described;
    int32_t possible[7];
};

const DecodedDepths KnownPlugins[] = {
    {"vbtga.spi",
     "TGA",
     {8, 24, 32},
     "8-bit gray and 24- and 32-bit colour pictures",
     {8, 15, 16, 24, 32, 32, 32}},
    {"vbpcx.spi",
     "PCX",
     {4, 8, 8},
     "16-colour (4-bit planar) and 256-colour (8-bit) pictures",
     {1, 2, 3, 4, 8, 24, 32}},
    {"vbmag.spi", "MAG", {4, 8, 8}, "16- and 256-colour pictures", {4, 8, 8, 8, 8, 8, 8}},
};

// False when the plug-in is one of ours and `depth` is one its format cannot have: the header it
// read is not one of the format's.
bool IsPossibleDepth(const PluginModule& plugin, int32_t depth) {
    for (const DecodedDepths& known : KnownPlugins) {
        if (plugin.fileName != known.plugin) continue;
        for (int32_t possible : known.possible) {
            if (possible == depth) return true;
        }
        return false;
    }
    return true;
}

// ": this is a 16-bit TGA picture; vbtga.spi reads ...", or nothing when the depth is one the
// plug-in decodes (the refusal has another reason) or the plug-in is not one of ours.
std::string ExplainUnknownFormat(const FileOutcome& outcome) {
    if (outcome.result == RESULT_UNKNOWN_FORMAT && !outcome.refusedLayout.empty()) {
        return ": " + outcome.refusedLayout;
    }
    if (!outcome.plugin || outcome.result != RESULT_UNKNOWN_FORMAT || outcome.pictureDepth < 0) {
        return std::string();
    }
    for (const DecodedDepths& known : KnownPlugins) {
        if (outcome.plugin->fileName != known.plugin) continue;
        for (int32_t depth : known.depths) {
            if (depth == outcome.pictureDepth) return std::string();
        }
        if (!IsPossibleDepth(*outcome.plugin, outcome.pictureDepth)) return std::string();
        return ": this is a " + std::to_string(outcome.pictureDepth) + "-bit " + known.format +
               " picture; " + known.plugin + " reads " + known.described;
    }
    return std::string();
}

const char* const ExtendedLayoutsNote =
    " with the \"extended layouts\" setting on (--extended-layouts on)";

// Why vbtga.spi refuses a file, from its 18-byte header; empty when the header shows nothing
// that it refuses.
std::string ExplainRefusedTga(const std::vector<uint8_t>& head) {
    if (head.size() < 18) return "the file is shorter than a TGA header";
    const int type = head[2];
    const int entryBits = head[7];
    const int depth = head[16];
    const std::string bits = std::to_string(depth) + "-bit";
    const std::string reads = "; vbtga.spi reads it";
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11) {
        return "image type " + std::to_string(type) + " is not a TGA picture type";
    }
    if (head[17] & 0xC0) return "its rows are interleaved, which vbtga.spi does not read";
    if (type == 1 || type == 9) {
        const std::string what = "this is a colour-mapped TGA picture (" + bits +
                                 " indices into " + std::to_string(entryBits) + "-bit colours)";
        if ((depth == 8 || depth == 16) &&
            (entryBits == 15 || entryBits == 16 || entryBits == 24 || entryBits == 32)) {
            return what + reads + ExtendedLayoutsNote;
        }
        return what + "; vbtga.spi reads 8- and 16-bit indices into 15-, 16-, 24- and 32-bit "
                      "colours";
    }
    if (type == 2 || type == 10) {
        if (depth == 24 || depth == 32) return std::string();
        const std::string what = "this is a " + bits + " colour TGA picture";
        if (depth == 15 || depth == 16) return what + reads + ExtendedLayoutsNote;
        return what + "; vbtga.spi reads colour pictures of 24 and 32 bits, and of 15 and 16 bits" +
               ExtendedLayoutsNote;
    }
    if (depth == 8) return std::string();
    if (depth == 16) return "this is a 16-bit gray TGA picture with alpha" + reads +
                            ExtendedLayoutsNote;
    return "this is a gray TGA picture of " + bits + " pixels; vbtga.spi reads gray pictures of 8 "
           "bits, and of 16 bits with alpha" + ExtendedLayoutsNote;
}

// Why vbpcx.spi refuses a file, from its 128-byte header; empty when the header shows nothing
// that it refuses.
std::string ExplainRefusedPcx(const std::vector<uint8_t>& head) {
    if (head.size() < 128) return "the file is shorter than a PCX header";
    if (head[0] != 10) return "the file does not begin with the PCX manufacturer byte 10";
    if ((int8_t)head[1] > 5) return "PCX version " + std::to_string(head[1]) + " is not known";
    if (head[2] != 1) return "the PCX encoding byte is not 1 (run-length)";
    const int bits = (int8_t)head[3];
    const int planes = (int8_t)head[65];
    const std::string what = "this is a PCX picture of " + std::to_string(bits) + " bit" +
                             (bits == 1 ? "" : "s") + " x " + std::to_string(planes) + " plane" +
                             (planes == 1 ? "" : "s");
    auto edge = [&head](size_t at) { return (int16_t)(head[at] | head[at + 1] << 8); };
    if (edge(8) < edge(4) || edge(10) < edge(6)) {
        return "its edges leave no picture (a maximum below its minimum)";
    }
    const bool extended = (bits == 1 && planes >= 1 && planes <= 3) ||
                          ((bits == 2 || bits == 4) && planes == 1) ||
                          (bits == 8 && (planes == 3 || planes == 4));
    if (extended) return what + "; vbpcx.spi reads it" + ExtendedLayoutsNote;
    if (!(bits == 1 && planes == 4) && !(bits == 8 && planes == 1)) {
        return what + "; vbpcx.spi reads 1 bit x 4 planes and 8 bits x 1 plane, and more" +
               ExtendedLayoutsNote;
    }
    return std::string();
}

// A TGA or PCX file refused as an unknown format gets the reason its header shows. Those
// plug-ins read their files from the first byte, which the head holds when there is no offset.
void NameRefusedLayout(FileOutcome* outcome, const PictureFile& file, int32_t offset) {
    if (!outcome->plugin || outcome->result != RESULT_UNKNOWN_FORMAT || offset != 0) return;
    const std::string& name = outcome->plugin->fileName;
    if (name == "vbtga.spi") outcome->refusedLayout = ExplainRefusedTga(file.head);
    if (name == "vbpcx.spi") outcome->refusedLayout = ExplainRefusedPcx(file.head);
}

void ReportFileProblem(const std::string& file, const std::string& message) {
    fprintf(stderr, "vbhost: %s: %s\n", file.c_str(), message.c_str());
}

// ---- Option parsing -------------------------------------------------------------------------

// Decimal, or hexadecimal after 0x; the whole text must be the number.
bool ParseInteger(const std::string& text, int64_t lowest, int64_t highest, int64_t* value) {
    uint64_t number = 0;
    if (!ParseNumberText(text.c_str(), true, (uint64_t)lowest, (uint64_t)highest, &number)) {
        return false;
    }
    *value = (int64_t)number;
    return true;
}

bool ReportUsageError(const std::string& message) {
    fprintf(stderr, "vbhost: %s\nTry 'vbhost --help'.\n", message.c_str());
    return false;
}

// The extension of a file name in lower case, without the dot ("" when it has none).
std::string FindExtension(const std::string& path) {
    std::string base = FindBaseName(path);
    size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::string();
    std::string extension = base.substr(dot + 1);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    return extension;
}

// The format follows --format, else the extension of -o, else PNG; a name whose extension
// says another format than the one written would mislead whoever opens it.
bool ChooseOutputFormat(HostOptions* options) {
    std::string extension =
        options->outputPath == StandardOutputName ? "" : FindExtension(options->outputPath);
    // A device or a pipe keeps its name whatever it is sent: --format says what to send.
    if (!options->format.empty() && !extension.empty() &&
        FindPathKind(options->outputPath) == PATH_OTHER) {
        return true;
    }
    if (!extension.empty() && extension != "png" && extension != "bmp") {
        std::string upper = extension;
        for (char& c : upper) c = (char)toupper((unsigned char)c);
        return ReportUsageError("-o " + options->outputPath + ": " + upper +
                                " is not a format vbhost writes; it writes PNG and BMP");
    }
    if (options->format.empty()) {
        options->format = extension == "bmp" ? "bmp" : "png";
    }
    if (!extension.empty() && extension != options->format) {
        return ReportUsageError("-o " + options->outputPath + " does not end in ." +
                                options->format + ", the format written");
    }
    return true;
}

// Options may stand before or after the files; "--" ends them. "--name=value" is accepted too.
bool ParseOptions(const std::vector<std::string>& argv, HostOptions* options, bool* helpAsked) {
    *helpAsked = false;
    size_t argc = argv.size();
    if (argc < 2) return ReportUsageError("no command given");
    options->command = argv[1];
    if (options->command == "-h" || options->command == "--help" || options->command == "help" ||
        options->command == "--version") {
        *helpAsked = true;
        return true;
    }
    if (options->command != "plugins" && options->command != "info" &&
        options->command != "convert") {
        return ReportUsageError("unknown command '" + options->command + "'");
    }
    bool optionsEnded = false;
    for (size_t i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
            options->files.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = word;
        std::string value;
        bool hasValue = false;
        size_t equals = word.find('=');
        if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = word.substr(0, equals);
            value = word.substr(equals + 1);
            hasValue = true;
        }
        if (name == "-h" || name == "--help") {
            *helpAsked = true;
            return true;
        }
        if (name == "--version") {
            options->command = "--version";
            *helpAsked = true;
            return true;
        }
        if (name == "--json" || name == "--preview" || name == "-q" || name == "--quiet" ||
            name == "--strict" || name == "--force" || name == "-n" || name == "--no-clobber" ||
            name == "-r" || name == "--recursive") {
            if (hasValue) return ReportUsageError(name + " takes no value");
            if (name == "--json") options->json = true;
            if (name == "--preview") options->preview = true;
            if (name == "--strict") options->strict = true;
            if (name == "--force") options->force = true;
            if (name == "-n" || name == "--no-clobber") options->noClobber = true;
            if (name == "-r" || name == "--recursive") options->recursive = true;
            if (name == "-q" || name == "--quiet") options->quiet = true;
            continue;
        }
        static const char* const valued[] = {
            "--plugin-dir",     "--offset",       "-o",           "-d",         "--format",
            "--abort-after",    "--display-bits", "--full-color", "--language", "--screen-width",
            "--system-version", "--registry",     "--png-level",  "--extended-layouts"};
        bool known = false;
        for (const char* candidate : valued) known = known || name == candidate;
        if (!known) return ReportUsageError("unknown option '" + word + "'");
        if (!hasValue) {
            if (i + 1 >= argc) return ReportUsageError(name + " needs a value");
            value = argv[++i];
        }
        int64_t number = 0;
        if (name == "--plugin-dir") {
            options->pluginFolder = value;
        } else if (name == "--offset") {
            if (!ParseInteger(value, 0, INT32_MAX, &number)) {
                return ReportUsageError("--offset needs a number from 0 to 2147483647");
            }
            options->offset = (int32_t)number;
        } else if (name == "-o") {
            if (value.empty()) return ReportUsageError("-o needs a file name");
            options->outputPath = value;
        } else if (name == "-d") {
            if (value.empty()) return ReportUsageError("-d needs a folder name");
            options->outputFolder = value;
        } else if (name == "--format") {
            for (char& c : value) c = (char)tolower((unsigned char)c);
            if (value != "png" && value != "bmp") return ReportUsageError("--format is png or bmp");
            options->format = value;
        } else if (name == "--png-level") {
            if (!HasPngLevels()) {
                return ReportUsageError("--png-level: the system's PNG encoder has no levels");
            }
            if (!ParseInteger(value, 0, 9, &number)) {
                return ReportUsageError("--png-level needs a level from 0 to 9");
            }
            options->pngLevel = (int32_t)number;
        } else if (name == "--abort-after") {
            if (!ParseInteger(value, 0, INT32_MAX, &number)) {
                return ReportUsageError("--abort-after needs a count of calls");
            }
            options->abortAfterCalls = number;
        } else if (name == "--display-bits") {
            if (!ParseInteger(value, 1, 32, &number)) {
                return ReportUsageError("--display-bits needs a number from 1 to 32");
            }
            options->device.setDisplayBits = true;
            options->device.displayBits = (int32_t)number;
        } else if (name == "--full-color") {
            if (value != "on" && value != "off")
                return ReportUsageError("--full-color is on or off");
            options->device.fullColor = value == "on" ? 1 : 0;
        } else if (name == "--extended-layouts") {
            if (value != "on" && value != "off") {
                return ReportUsageError("--extended-layouts is on or off");
            }
            options->device.extendedLayouts = value == "on" ? 1 : 0;
        } else if (name == "--language") {
            if (!ParseInteger(value, 0, 0xFFFF, &number)) {
                return ReportUsageError("--language needs an identifier such as 0x0411");
            }
            options->device.setLanguage = true;
            options->device.language = (uint16_t)number;
        } else if (name == "--screen-width") {
            if (!ParseInteger(value, 1, 65535, &number)) {
                return ReportUsageError("--screen-width needs a number of pixels");
            }
            options->device.setScreenWidth = true;
            options->device.screenWidth = (int32_t)number;
        } else if (name == "--system-version") {
            if (!ParseVersionText(value.c_str(), 255, 99, &options->device.versionMajor,
                                  &options->device.versionMinor)) {
                return ReportUsageError("--system-version needs major.minor, such as 2.00");
            }
            options->device.setSystemVersion = true;
        } else if (name == "--registry") {
            options->device.setRegistryFile = true;
            options->device.registryFile = value;
        }
    }
    if (options->command == "plugins" && !options->files.empty()) {
        return ReportUsageError("plugins takes no files");
    }
    if (options->command != "plugins" && options->files.empty()) {
        return ReportUsageError(options->command + " needs at least one file");
    }
    if (options->command != "convert" &&
        (!options->outputPath.empty() || !options->outputFolder.empty() ||
         !options->format.empty() || options->preview || options->abortAfterCalls >= 0 ||
         options->quiet || options->strict || options->force || options->noClobber ||
         options->pngLevel != PNG_LEVEL_CHOSEN)) {
        return ReportUsageError(
            "-o, -d, --format, --png-level, --preview, --abort-after, --strict, --force, -n and "
            "-q are for convert");
    }
    if (options->command == "plugins" && options->recursive) {
        return ReportUsageError("-r is for info and convert");
    }
    if (options->command == "convert" && options->json) {
        return ReportUsageError("--json is for plugins and info");
    }
    if (!options->outputPath.empty() && !options->outputFolder.empty()) {
        return ReportUsageError("-o and -d exclude each other");
    }
    if (options->force && options->noClobber) {
        return ReportUsageError("--force and -n exclude each other");
    }
    if (!options->outputPath.empty() && options->files.size() != 1) {
        return ReportUsageError("-o takes a single input; use -d for several");
    }
    if (options->command == "convert" && !ChooseOutputFormat(options)) return false;
    if (options->format == "bmp" && options->pngLevel != PNG_LEVEL_CHOSEN) {
        return ReportUsageError("--png-level is for PNG output");
    }
    if (options->outputPath == StandardOutputName && IsStandardOutputTerminal()) {
        return ReportUsageError(
            "-o - would write the picture to the terminal; redirect standard output or name a "
            "file");
    }
    if (options->outputPath != StandardOutputName && IsHostFolder(options->outputPath)) {
        return ReportUsageError("-o " + options->outputPath + " is a folder; use -d for a folder");
    }
    return true;
}

// ---- Plug-ins -------------------------------------------------------------------------------

struct LoadedPlugin {
    PluginModule module;
    std::string patternName;  // information string 3, "MAG(*.mag)"
    std::string extension;    // from information string 2, "*.MAG": ".MAG"
};

// Loads every plug-in of the folder; those that fail are reported and left out.
bool LoadPlugins(const std::string& folder, std::vector<LoadedPlugin>* plugins) {
    std::vector<std::string> names;
    std::string problem;
    if (!ListPluginFiles(folder, &names, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        return false;
    }
    if (names.empty()) fprintf(stderr, "vbhost: no plug-ins (*.spi) in %s\n", folder.c_str());
    for (const std::string& name : names) {
        LoadedPlugin plugin;
        plugin.module = LoadPluginModule(folder, name);
        if (!plugin.module.library) {
            fprintf(stderr, "vbhost: %s: %s\n", name.c_str(), plugin.module.loadProblem.c_str());
            continue;
        }
        plugin.patternName = ReadPluginInfoString(plugin.module, 3);
        std::string pattern = ReadPluginInfoString(plugin.module, 2);
        size_t star = pattern.find('*');
        if (star != std::string::npos) {
            plugin.extension = pattern.substr(star + 1, pattern.find(';', star) - star - 1);
        }
        plugins->push_back(plugin);
    }
    return true;
}

std::string DescribeResult(int32_t result) {
    switch (result) {
        case RESULT_OK:
            return "done";
        case RESULT_NOT_IMPLEMENTED:
            return "the plug-in does not implement this request";
        case RESULT_ABORTED:
            return "decoding aborted";
        case RESULT_UNKNOWN_FORMAT:
            return "unknown or unsupported picture format";
        case RESULT_BROKEN_DATA:
            return "broken picture data";
        case RESULT_MEMORY_ERROR:
            return "not enough memory (the picture may be too large)";
        case RESULT_FILE_ERROR:
            return "file error: the plug-in could not open or read the file";
        default:
            return "unexpected result code from the plug-in";
    }
}

std::string DescribeOutcome(const FileOutcome& outcome) {
    if (!outcome.outputProblem.empty()) return outcome.outputProblem;
    if (!outcome.plugin) return outcome.hostProblem;
    std::string text = outcome.plugin->fileName + ": ";
    if (!outcome.hostProblem.empty()) return text + outcome.hostProblem;
    if (outcome.endedEarly) {
        return text + "the file ended before the picture did (result " +
               std::to_string(outcome.result) + ")";
    }
    return text + DescribeResult(outcome.result) + " (result " + std::to_string(outcome.result) +
           ")" + ExplainUnknownFormat(outcome);
}

bool FileFailed(const FileOutcome& outcome) {
    return !outcome.hostProblem.empty() || !outcome.outputProblem.empty() || outcome.writeStopped ||
           outcome.result != RESULT_OK;
}

// Reads the file's first bytes for IsSupported (the picture's, when it lies at an offset); the
// rest of the buffer stays zero for a short file.
bool PreparePictureFile(const std::string& path, int32_t offset, PictureFile* file,
                        std::string* problem) {
    file->path = path;
    if (!ConvertUtf8ToUtf16(path, &file->wideName)) {
        *problem = "the file name is not UTF-8 text";
        return false;
    }
    FILE* stream = OpenHostFile(path, "rb");
    if (!stream) {
        *problem = std::string("cannot open the file: ") + strerror(errno);
        return false;
    }
    if (!IsRegularFile(stream)) {
        fclose(stream);
        *problem = "not a regular file";
        return false;
    }
    // Nothing for a plug-in to tell about: say what it is.
    if (fgetc(stream) == EOF && !ferror(stream)) {
        fclose(stream);
        *problem = "empty file";
        return false;
    }
    file->head.assign(FileHeadSize, 0);
    bool readFailed = !SeekHostFile(stream, offset);
    if (!readFailed) {
        fread(file->head.data(), 1, FileHeadSize, stream);
        readFailed = ferror(stream) != 0;
    }
    fclose(stream);
    if (readFailed) {
        *problem = "cannot read the file";
        return false;
    }
    return true;
}

// The plug-ins that say they read this file, in the order of their file names.
std::vector<const LoadedPlugin*> FindCandidates(const std::vector<LoadedPlugin>& plugins,
                                                const PictureFile& file) {
    std::vector<const LoadedPlugin*> candidates;
    for (const LoadedPlugin& plugin : plugins) {
        // The buffer's address tells the plug-in that the file's bytes are there.
        uintptr_t fileHead = reinterpret_cast<uintptr_t>(file.head.data());
        if (plugin.module.isSupported(NameFor(file, plugin.module), fileHead) == 1) {
            candidates.push_back(&plugin);
        }
    }
    return candidates;
}

// Reads the input's first bytes (PreparePictureFile). "-" is standard input, spooled to a file
// when it is first met.
bool PrepareInput(const std::string& path, const std::vector<LoadedPlugin>& plugins, int32_t offset,
                  PictureFile* file, std::string* problem) {
    if (path != StandardInputName) return PreparePictureFile(path, offset, file, problem);
    if (!StandardInputTried) {
        StandardInputTried = true;
        std::vector<std::string> extensions;
        for (const LoadedPlugin& plugin : plugins) extensions.push_back(plugin.extension);
        SpoolStandardInput(extensions, &StandardInputSpool, &StandardInputProblem);
    }
    if (!StandardInputProblem.empty()) {
        *problem = StandardInputProblem;
        return false;
    }
    if (!PreparePictureFile(StandardInputSpool.paths.back(), offset, file, problem)) return false;
    file->path = path;
    for (size_t i = 0; i < plugins.size(); ++i) {
        std::u16string name;
        ConvertUtf8ToUtf16(StandardInputSpool.paths[i], &name);
        file->namesForPlugins.push_back({&plugins[i].module, name});
    }
    return true;
}

// ---- Folders among the inputs ---------------------------------------------------------------

// Adds the files of `folder` that a plug-in reads, by name, and with -r those of its subfolders.
void AddPicturesOfFolder(const HostOptions& options, const std::vector<LoadedPlugin>& plugins,
                         const std::string& folder, std::vector<std::string>* pictures,
                         bool* failed) {
    std::vector<std::string> files, folders;
    std::string problem;
    if (!ListFolder(folder, &files, &folders, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        *failed = true;
        return;
    }
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    for (const std::string& name : files) {
        std::string path = JoinPath(folder, name);
        PictureFile file;
        if (PreparePictureFile(path, options.offset, &file, &problem) &&
            !FindCandidates(plugins, file).empty()) {
            pictures->push_back(path);
        }
    }
    if (!options.recursive) return;
    for (const std::string& name : folders) {
        AddPicturesOfFolder(options, plugins, JoinPath(folder, name), pictures, failed);
    }
}

// A folder among the inputs stands for the pictures in it that a plug-in reads; the other files
// there are left out without a word. False for a usage error: -o for more than one picture.
bool ExpandFolders(HostOptions* options, const std::vector<LoadedPlugin>& plugins, bool* failed) {
    std::vector<std::string> inputs;
    for (const std::string& path : options->files) {
        if (path == StandardInputName || !IsHostFolder(path)) {
            inputs.push_back(path);
            continue;
        }
        size_t before = inputs.size();
        AddPicturesOfFolder(*options, plugins, path, &inputs, failed);
        if (inputs.size() == before) {
            ReportFileProblem(path, "no picture in this folder that a plug-in reads");
            *failed = true;
        }
    }
    options->files = inputs;
    if (!options->outputPath.empty() && options->files.size() > 1) {
        return ReportUsageError("-o takes a single input, and the folders hold " +
                                std::to_string(options->files.size()) + " pictures; use -d");
    }
    return true;
}

// ---- plugins --------------------------------------------------------------------------------

int ListPlugins(const HostOptions& options, const std::string& folder) {
    std::vector<std::string> names;
    std::string problem;
    if (!ListPluginFiles(folder, &names, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        return EXIT_SOME_FAILED;
    }
    if (names.empty()) {
        fprintf(stderr, "vbhost: no plug-ins (*.spi) in %s\n", folder.c_str());
        if (options.json) printf("[]\n");
        return EXIT_SOME_FAILED;
    }
    static const char* const labels[] = {"interface", "description", "pattern", "pattern name"};
    static const char* const keys[] = {"interface", "description", "pattern", "patternName"};
    bool anyFailed = false;
    if (options.json) printf("[");
    for (size_t n = 0; n < names.size(); ++n) {
        PluginModule plugin = LoadPluginModule(folder, names[n]);
        if (options.json) {
            printf("%s\n  {\"file\": %s", n ? "," : "", QuoteJson(names[n]).c_str());
        } else {
            printf("%s\n", names[n].c_str());
        }
        if (!plugin.library) {
            anyFailed = true;
            fprintf(stderr, "vbhost: %s: %s\n", names[n].c_str(), plugin.loadProblem.c_str());
            if (options.json) printf(", \"error\": %s}", QuoteJson(plugin.loadProblem).c_str());
            continue;
        }
        for (int32_t i = 0; i < 4; ++i) {
            std::string text = ReadPluginInfoString(plugin, i);
            if (options.json) {
                printf(", \"%s\": %s", keys[i], QuoteJson(text).c_str());
            } else {
                std::string label = std::string(labels[i]) + ":";
                printf("  %-14s%s\n", label.c_str(), FlattenForTerminal(text).c_str());
            }
        }
        if (options.json) printf("}");
    }
    if (options.json) printf("\n]\n");
    return anyFailed ? EXIT_SOME_FAILED : EXIT_ALL_DONE;
}

// ---- info -----------------------------------------------------------------------------------

std::string TakeInfoText(PictureInfoRecord* record, bool* present);

// Asks each candidate in turn; one that does not know the format passes the file on.
FileOutcome ReadPictureInfo(const std::vector<const LoadedPlugin*>& candidates,
                            const PictureFile& file, int32_t offset, PictureInfoRecord* record) {
    FileOutcome outcome;
    for (const LoadedPlugin* plugin : candidates) {
        memset(record, 0, sizeof(*record));
        outcome.plugin = &plugin->module;
        outcome.result =
            plugin->module.getPictureInfo(NameFor(file, plugin->module), offset, 0, record);
        outcome.hostProblem.clear();
        // A header the plug-in reads without checking (PCX's) may be no header of its format
        // at all: then the next plug-in may know the file (standard input has no extension).
        if (outcome.result == RESULT_OK && !IsPossibleDepth(plugin->module, record->colourDepth)) {
            bool hasText;
            TakeInfoText(record, &hasText);
            outcome.hostProblem = "the file does not begin with a header of the plug-in's format";
            continue;
        }
        if (outcome.result != RESULT_UNKNOWN_FORMAT) break;
    }
    NameRefusedLayout(&outcome, file, offset);
    return outcome;
}

// Takes the information text out of the record and frees its block: the host owns it.
std::string TakeInfoText(PictureInfoRecord* record, bool* present) {
    *present = record->infoText != 0;
    std::string text;
    if (*present) {
        char* block = reinterpret_cast<char*>(record->infoText);
        // Picture comments are Shift-JIS, as the handheld's Japanese system writes them.
        text = ConvertShiftJisToUtf8(block);
        FreeBlock(block);
        record->infoText = 0;
    }
    return text;
}

const LoadedPlugin* FindLoadedPlugin(const std::vector<LoadedPlugin>& plugins,
                                     const PluginModule* module) {
    for (const LoadedPlugin& plugin : plugins) {
        if (&plugin.module == module) return &plugin;
    }
    return nullptr;
}

int ShowPictureInfo(const HostOptions& options, const std::vector<LoadedPlugin>& plugins) {
    bool anyFailed = false;
    if (options.json) printf("[");
    for (size_t n = 0; n < options.files.size(); ++n) {
        if (IsInterruptRequested()) break;
        const std::string& path = options.files[n];
        PictureFile file;
        FileOutcome outcome;
        PictureInfoRecord record;
        memset(&record, 0, sizeof(record));
        if (PrepareInput(path, plugins, options.offset, &file, &outcome.hostProblem)) {
            std::vector<const LoadedPlugin*> candidates = FindCandidates(plugins, file);
            if (candidates.empty()) {
                outcome.hostProblem = "no plug-in reads this file";
            } else {
                outcome = ReadPictureInfo(candidates, file, options.offset, &record);
            }
        }
        bool hasText = false;
        std::string text;
        if (!FileFailed(outcome)) text = TakeInfoText(&record, &hasText);
        if (options.json) printf("%s\n  {\"file\": %s", n ? "," : "", QuoteJson(path).c_str());
        if (FileFailed(outcome)) {
            anyFailed = true;
            ReportFileProblem(path, DescribeOutcome(outcome));
            if (options.json) {
                printf(", \"plugin\": %s, \"result\": %s, \"error\": %s}",
                       outcome.plugin ? QuoteJson(outcome.plugin->fileName).c_str() : "null",
                       outcome.plugin ? std::to_string(outcome.result).c_str() : "null",
                       QuoteJson(DescribeOutcome(outcome)).c_str());
            }
            continue;
        }
        const LoadedPlugin* plugin = FindLoadedPlugin(plugins, outcome.plugin);
        std::string format = plugin ? plugin->patternName : std::string();
        int32_t left = record.left, top = record.top, width = record.width, height = record.height;
        unsigned xDensity = record.xDensity, yDensity = record.yDensity;
        int depth = record.colourDepth;
        if (options.json) {
            printf(
                ", \"plugin\": %s, \"format\": %s, \"result\": 0, \"width\": %d, "
                "\"height\": %d, \"left\": %d, \"top\": %d, \"depth\": %d, "
                "\"xDensity\": %u, \"yDensity\": %u, \"text\": %s}",
                QuoteJson(outcome.plugin->fileName).c_str(), QuoteJson(format).c_str(), width,
                height, left, top, depth, xDensity, yDensity,
                hasText ? QuoteJson(text).c_str() : "null");
        } else {
            printf("%s\n", path.c_str());
            printf("  format:   %s (%s)\n", FlattenForTerminal(format).c_str(),
                   outcome.plugin->fileName.c_str());
            printf("  size:     %d x %d\n", width, height);
            printf("  origin:   %d, %d\n", left, top);
            printf("  depth:    %d bits\n", depth);
            printf("  density:  %u x %u\n", xDensity, yDensity);
            if (hasText) printf("  text:     %s\n", FlattenForTerminal(text).c_str());
        }
    }
    if (options.json) printf("\n]\n");
    if (IsInterruptRequested()) {
        fprintf(stderr, "vbhost: interrupted\n");
        return EXIT_INTERRUPTED;
    }
    return anyFailed ? EXIT_SOME_FAILED : EXIT_ALL_DONE;
}

// ---- convert --------------------------------------------------------------------------------

// Draws the bar at `fraction` of the whole conversion. It only moves forward: plug-ins may
// report a row count that goes back (the PCX filter's first calls are (0, h), then (h, h)).
void DrawProgressBar(ProgressState* state, double fraction) {
    if (!state->drawBar) return;
    int percent = fraction <= 0 ? 0 : fraction >= 1 ? 100 : (int)(fraction * 100);
    if (percent <= state->lastPercent) return;
    state->lastPercent = percent;
    // "label [####......] 100%" in the terminal's width less one column, so that the line never
    // wraps: a name of up to 36 columns and a bar of up to 30, sharing a narrower terminal, where
    // a bar of fewer than 5 columns is left out.
    int room = CountErrorOutputColumns() - 1 - 8;
    int labelWidth = room >= 36 + 30 ? 36 : room > 0 ? room / 2 : 0;
    int barWidth = room - labelWidth > 30 ? 30 : room - labelWidth;
    if (barWidth < 5) {
        barWidth = 0;
        labelWidth = room + 3 > 0 ? room + 3 : 0;
    }
    std::string bar(barWidth, '.');
    for (int i = 0; i < percent * barWidth / 100; ++i) bar[i] = '#';
    // Keep the end of a long name: that is where the file's own name is.
    std::string label = state->label;
    if ((int)label.size() > labelWidth) {
        label = labelWidth > 3 ? "..." + label.substr(label.size() - (labelWidth - 3))
                               : label.substr(label.size() - labelWidth);
    }
    if (barWidth > 0) {
        fprintf(stderr, "\r%-*s [%s] %3d%%", labelWidth, label.c_str(), bar.c_str(), percent);
    } else {
        fprintf(stderr, "\r%-*s %3d%%", labelWidth, label.c_str(), percent);
    }
    fflush(stderr);
    state->barShown = true;
}

void ClearProgressBar(ProgressState* state) {
    if (!state->barShown) return;
    fprintf(stderr, "\r%*s\r", CountErrorOutputColumns() - 1, "");
    fflush(stderr);
    state->barShown = false;
}

int32_t VB_CALL ReportProgress(int32_t current, int32_t total, intptr_t userData) {
    ProgressState* state = reinterpret_cast<ProgressState*>(userData);
    ++state->calls;
    if (state->decodeShare < 0) {
        double decodeRows = total > 0 ? total : 1;
        state->decodeShare =
            decodeRows / (decodeRows + (state->rowsToWrite > 0 ? state->rowsToWrite : 1));
    }
    double done = total > 0 ? (double)current / total : 1;
    DrawProgressBar(state, state->decodeShare * (done < 0 ? 0 : done > 1 ? 1 : done));
    if (IsInterruptRequested()) return 1;
    if (state->abortAfterCalls >= 0 && state->calls > state->abortAfterCalls) return 1;
    return 0;
}

// The writer's report after each band of rows: Ctrl-C stops the write there.
bool ReportRowsWritten(void* context, int32_t rowsDone, int32_t rows) {
    ProgressState* state = static_cast<ProgressState*>(context);
    double share = state->decodeShare < 0 ? 0 : state->decodeShare;
    DrawProgressBar(state, share + (1 - share) * (rows > 0 ? (double)rowsDone / rows : 1));
    return !IsInterruptRequested();
}

bool TakeOutputBytes(void* context, const uint8_t* bytes, size_t count, std::string* problem) {
    return WriteOutputFile(static_cast<OutputFile*>(context), bytes, count, problem);
}

// The input's base name with the output's extension: photo.tga -> photo.png. Inputs that would
// meet in one name (photo.tga and photo.pcx) keep their extensions, photo.tga.png, and inputs
// of the same name from different folders are then numbered: photo.tga.png, 2-photo.tga.png.
std::vector<std::string> ChooseOutputPaths(const HostOptions& options, const std::string& format) {
    if (!options.outputPath.empty()) return {options.outputPath};
    std::vector<std::string> bases;
    std::vector<std::string> plainNames;
    for (const std::string& file : options.files) {
        std::string base = file == StandardInputName ? "stdin" : FindBaseName(file);
        bases.push_back(base);
        size_t dot = base.rfind('.');
        std::string stem = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
        plainNames.push_back(stem + "." + format);
    }
    std::vector<std::string> chosen;
    std::vector<std::string> paths;
    for (size_t i = 0; i < plainNames.size(); ++i) {
        size_t sharing = 0;
        for (const std::string& other : plainNames) sharing += other == plainNames[i] ? 1 : 0;
        std::string name =
            sharing > 1 ? bases[i] + "." + format : plainNames[i];
        std::string candidate = name;
        for (int number = 2;; ++number) {
            bool taken = false;
            for (const std::string& earlier : chosen) taken = taken || earlier == candidate;
            if (!taken) break;
            candidate = std::to_string(number) + "-" + name;
        }
        chosen.push_back(candidate);
        paths.push_back(JoinPath(options.outputFolder, candidate));
    }
    return paths;
}

// Makes the folder and the folders above it. A step that fails is no failure yet (a drive or a
// share at the start of a Windows path cannot be made): what counts is the folder at the end.
bool MakeFolders(const std::string& folder, std::string* problem) {
    std::string firstProblem;
    size_t start = 0;
    while (start <= folder.size()) {
        size_t separator = folder.find_first_of(PathSeparators, start);
        if (separator == std::string::npos) separator = folder.size();
        std::string path = folder.substr(0, separator);
        std::string reason;
        if (!path.empty() && !MakeHostFolder(path, &reason) && firstProblem.empty()) {
            firstProblem = "cannot make the folder " + path + ": " + reason;
        }
        start = separator + 1;
    }
    if (IsHostFolder(folder)) return true;
    *problem = firstProblem.empty() ? folder + " is not a folder" : firstProblem;
    return false;
}

void FreePictureBlocks(void* header, void* bits) {
    FreeBlock(bits);
    FreeBlock(header);
}

// ---- Files that end before their picture ----------------------------------------------------

// The bytes a file seems to go on in when it is decoded again. 0x0C is a literal in TGA's and
// PCX's run-length codes and the marker of PCX's palette, so that every reader decodes on to the
// end; 0xFF sets every MAG flag, whose rows would otherwise copy alike from earlier ones.
const uint8_t LiteralByte = 0x0C;
const uint8_t ExtensionBytes[] = {0xFF, LiteralByte};

int32_t VB_CALL AnswerInterrupt(int32_t, int32_t, intptr_t) {
    return IsInterruptRequested() ? 1 : 0;
}

typedef void(VB_CALL* ShortFileExtender)(uint32_t, uint8_t);

// ExtendShortFiles of the platform library; null where it has none (on Windows).
ShortFileExtender FindShortFileExtender() {
    return (ShortFileExtender)FindPlatformExport("ExtendShortFiles");
}

// CountFileEndsMet of the platform library, or -1 where it has none.
int64_t CountFileEndsMet() {
    typedef uint64_t(VB_CALL * Counter)(void);
    static Counter count = (Counter)FindPlatformExport("CountFileEndsMet");
    return count ? (int64_t)count() : -1;
}

// Decodes the file again as if it went on past its end in bytes of `value`. False when the
// decode fails.
bool DecodeExtended(ShortFileExtender extend, uint8_t value, const PluginModule& plugin,
                    const PictureFile& file, const HostOptions& options, void** header,
                    void** bits) {
    GetPictureFunction decode = options.preview ? plugin.getPreview : plugin.getPicture;
    extend(0x7FFFFFFF, value);
    int32_t result =
        decode(NameFor(file, plugin), options.offset, 0, header, bits, AnswerInterrupt, 0);
    extend(0, 0);
    return result == RESULT_OK;
}

// The plug-ins read the bytes a file lacks as 0 and deliver the picture all the same, as the
// viewer wants it. Decoded again with the file going on in other bytes, the rows that differ came
// from bytes the file does not have; the rows between the first and the last of them are counted,
// since rows decoded after the end may still come out alike. Empty when the file held the picture.
std::string FindMissingEnd(const PluginModule& plugin, const PictureFile& file,
                           const HostOptions& options, const DibLayout& dib,
                           int64_t endsMetBefore) {
    ShortFileExtender extend = FindShortFileExtender();
    // A decode that met no end of the file read nothing the file lacks.
    if (!extend || CountFileEndsMet() == endsMetBefore) return std::string();
    int32_t first = dib.rows, last = -1;
    bool tableDiffers = false;
    for (uint8_t value : ExtensionBytes) {
        void* header = nullptr;
        void* bits = nullptr;
        if (!DecodeExtended(extend, value, plugin, file, options, &header, &bits)) {
            // Decoded from other bytes the picture fails: the first decode used missing ones.
            return IsInterruptRequested() ? std::string() : "the file ended early";
        }
        DibLayout extended;
        std::string problem;
        if (!ReadDibLayout(header, bits, &extended, &problem) || extended.rows != dib.rows ||
            extended.stride != dib.stride || extended.headerBytes != dib.headerBytes) {
            FreePictureBlocks(header, bits);
            return "the file ended early";
        }
        for (int32_t row = 0; row < dib.rows; ++row) {
            size_t at = (size_t)row * dib.stride;
            if (memcmp(dib.bits + at, extended.bits + at, dib.stride) == 0) continue;
            if (row < first) first = row;
            if (row > last) last = row;
        }
        tableDiffers = tableDiffers || memcmp(dib.header, extended.header, dib.headerBytes) != 0;
        FreePictureBlocks(header, bits);
        // A file that holds the picture decodes alike whatever follows it: one look tells.
        if (last < 0 && !tableDiffers) return std::string();
    }
    if (last < 0) return "the file ended early: its colour table is missing";
    return "the file ended early: " + std::to_string(last - first + 1) + " of " +
           std::to_string(dib.rows) + " rows are missing";
}

// True when a failed decode succeeds with the file going on past its end: it failed for want of
// bytes the file does not have.
bool FailedForWantOfBytes(const PluginModule& plugin, const PictureFile& file,
                          const HostOptions& options, int64_t endsMetBefore) {
    ShortFileExtender extend = FindShortFileExtender();
    void* header = nullptr;
    void* bits = nullptr;
    if (!extend || CountFileEndsMet() == endsMetBefore ||
        !DecodeExtended(extend, LiteralByte, plugin, file, options, &header, &bits)) {
        return false;
    }
    FreePictureBlocks(header, bits);
    return true;
}

// PNG text: line breaks as LF only, and no NUL, which would end the text early.
std::string PrepareCommentForPng(const std::string& text) {
    std::string comment;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            comment.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (text[i] != 0) {
            comment.push_back(text[i]);
        }
    }
    return comment;
}

// What the files of one convert run share: the output folder is made when the first file is
// written, so that a run that writes nothing leaves nothing behind.
struct ConvertRun {
    const HostOptions* options;
    bool folderTried = false;
    std::string folderProblem;
};

// Writes the decoded picture to `outputPath`: OutputFile replaces a file only once the new one
// is whole, so a failure or Ctrl-C leaves no partial file.
void WriteOutput(ConvertRun* run, const DibLayout& dib, const std::string& comment,
                 const std::string& outputPath, ProgressState* progress, FileOutcome* outcome) {
    const HostOptions& options = *run->options;
    if (!options.outputFolder.empty() && !run->folderTried) {
        run->folderTried = true;
        MakeFolders(options.outputFolder, &run->folderProblem);
    }
    if (!run->folderProblem.empty()) {
        outcome->outputProblem = run->folderProblem;
        return;
    }
    OutputFile file;
    std::string problem;
    if (!OpenOutputFile(outputPath, &file, &problem)) {
        outcome->outputProblem = problem;
        return;
    }
    ByteSink sink = {TakeOutputBytes, &file};
    RowProgress rows = {ReportRowsWritten, progress};
    WriteResult written;
    if (options.format == "bmp") {
        written = WriteBmp(dib, sink, &rows, &problem);
    } else {
        PngSettings settings;
        settings.level = options.pngLevel;
        settings.comment = PrepareCommentForPng(comment);
        written = WritePng(dib, settings, sink, &rows, &problem);
    }
    if (written == WRITE_DONE && FinishOutputFile(&file, &problem)) return;
    AbandonOutputFile(&file);
    if (written == WRITE_STOPPED) {
        outcome->writeStopped = true;
    } else {
        outcome->outputProblem = problem;
    }
}

// Decodes with one plug-in and writes the output; the blocks are freed whatever happens.
FileOutcome ConvertWithPlugin(ConvertRun* run, const LoadedPlugin& plugin, const PictureFile& file,
                              const std::string& outputPath, ProgressState* progress,
                              std::string* summary) {
    const HostOptions& options = *run->options;
    FileOutcome outcome;
    outcome.plugin = &plugin.module;
    PictureInfoRecord record;
    memset(&record, 0, sizeof(record));
    outcome.result =
        plugin.module.getPictureInfo(NameFor(file, plugin.module), options.offset, 0, &record);
    if (outcome.result != RESULT_OK) {
        NameRefusedLayout(&outcome, file, options.offset);
        return outcome;
    }
    bool hasText;
    std::string comment = TakeInfoText(&record, &hasText);
    outcome.pictureDepth = record.colourDepth;
    int32_t expectedWidth = record.width;
    int32_t expectedHeight = record.height;

    void* header = nullptr;
    void* bits = nullptr;
    GetPictureFunction decode =
        options.preview ? plugin.module.getPreview : plugin.module.getPicture;
    progress->rowsToWrite = expectedHeight;
    int64_t endsMetBefore = CountFileEndsMet();
    outcome.result = decode(NameFor(file, plugin.module), options.offset, 0, &header, &bits,
                            ReportProgress, reinterpret_cast<intptr_t>(progress));
    NameRefusedLayout(&outcome, file, options.offset);
    // On any other result the plug-in has freed the blocks; the slots are not to be used.
    if (outcome.result != RESULT_OK) {
        ClearProgressBar(progress);
        outcome.endedEarly =
            (outcome.result == RESULT_FILE_ERROR || outcome.result == RESULT_BROKEN_DATA) &&
            FailedForWantOfBytes(plugin.module, file, options, endsMetBefore);
        return outcome;
    }

    DibLayout dib;
    std::string problem;
    if (!ReadDibLayout(header, bits, &dib, &problem)) {
        ClearProgressBar(progress);
        outcome.hostProblem = "the plug-in delivered an unusable bitmap: " + problem;
        FreePictureBlocks(header, bits);
        return outcome;
    }
    // Rows may be doubled on output (MAG's 200-line pictures), nothing else may differ.
    if (dib.width != expectedWidth ||
        (dib.rows != expectedHeight && (int64_t)dib.rows != 2 * (int64_t)expectedHeight)) {
        ClearProgressBar(progress);
        outcome.hostProblem = "the plug-in delivered a bitmap of " + std::to_string(dib.width) +
                              " x " + std::to_string(dib.rows) + " for a picture of " +
                              std::to_string(expectedWidth) + " x " +
                              std::to_string(expectedHeight);
        FreePictureBlocks(header, bits);
        return outcome;
    }
    outcome.warning = FindMissingEnd(plugin.module, file, options, dib, endsMetBefore);
    WriteOutput(run, dib, comment, outputPath, progress, &outcome);
    ClearProgressBar(progress);
    FreePictureBlocks(header, bits);
    *summary = std::to_string(dib.width) + " x " + std::to_string(dib.rows) + ", " +
               std::to_string(dib.bitCount) + " bits";
    return outcome;
}

int ConvertPictures(const HostOptions& options, const std::vector<LoadedPlugin>& plugins) {
    std::vector<std::string> outputPaths = ChooseOutputPaths(options, options.format);
    ConvertRun run;
    run.options = &options;
    bool drawBar = IsErrorOutputTerminal();
    // With the picture on standard output, the lines that say what was done go to stderr.
    FILE* doneLines = options.outputPath == StandardOutputName ? stderr : stdout;
    bool anyFailed = false;
    size_t n = 0;
    for (; n < options.files.size() && !IsInterruptRequested(); ++n) {
        const std::string& path = options.files[n];
        PictureFile file;
        FileOutcome outcome;
        std::string summary;
        PathKind existing =
            outputPaths[n] == StandardOutputName ? PATH_ABSENT : FindPathKind(outputPaths[n]);
        if (options.noClobber && existing != PATH_ABSENT) {
            if (!options.quiet) {
                fprintf(doneLines, "%s: %s exists, not replaced (-n)\n", path.c_str(),
                        outputPaths[n].c_str());
                fflush(doneLines);
            }
            continue;
        }
        if (existing == PATH_READ_ONLY_FILE && !options.force) {
            outcome.outputProblem =
                outputPaths[n] + " is read-only, not replaced (--force replaces it)";
        } else if (PrepareInput(path, plugins, options.offset, &file, &outcome.hostProblem)) {
            std::vector<const LoadedPlugin*> candidates = FindCandidates(plugins, file);
            if (candidates.empty()) outcome.hostProblem = "no plug-in reads this file";
            for (const LoadedPlugin* plugin : candidates) {
                ProgressState progress;
                progress.label = path;
                progress.drawBar = drawBar;
                progress.abortAfterCalls = options.abortAfterCalls;
                outcome =
                    ConvertWithPlugin(&run, *plugin, file, outputPaths[n], &progress, &summary);
                if (outcome.result != RESULT_UNKNOWN_FORMAT) break;
            }
        }
        if (!FileFailed(outcome)) {
            if (!options.quiet) {
                fprintf(doneLines, "%s -> %s (%s, %s)\n", path.c_str(), outputPaths[n].c_str(),
                        outcome.plugin->fileName.c_str(), summary.c_str());
                fflush(doneLines);
            }
            if (!outcome.warning.empty()) {
                ReportFileProblem(path, "warning: " + outcome.warning);
                anyFailed = anyFailed || options.strict;
            }
            continue;
        }
        anyFailed = true;
        std::string message = DescribeOutcome(outcome);
        if (outcome.writeStopped) {
            message = "writing " + outputPaths[n] + " interrupted by Ctrl-C";
        } else if (outcome.result == RESULT_ABORTED && IsInterruptRequested()) {
            message += ", interrupted by Ctrl-C";
        } else if (outcome.result == RESULT_ABORTED) {
            message += " as asked by --abort-after";
        }
        ReportFileProblem(path, message);
    }
    if (IsInterruptRequested()) {
        size_t left = options.files.size() - n;
        if (left > 0) fprintf(stderr, "vbhost: interrupted; %zu file(s) not converted\n", left);
        return EXIT_INTERRUPTED;
    }
    return anyFailed ? EXIT_SOME_FAILED : EXIT_ALL_DONE;
}

// The plug-ins lie beside vbhost in the build tree (and on Windows); an installed vbhost finds
// them in VB_PLUGIN_FOLDER_FROM_BIN (../lib/velbrook) from its own folder.
std::string FindDefaultPluginFolder() {
    std::string folder = FindExecutableFolder();
    std::vector<std::string> names;
    std::string problem;
    if (ListPluginFiles(folder, &names, &problem) && !names.empty()) return folder;
    std::string installed = JoinPath(folder, VB_PLUGIN_FOLDER_FROM_BIN);
    if (ListPluginFiles(installed, &names, &problem) && !names.empty()) return installed;
    return folder;
}

void RestoreRegistryAtExit() {
    RestoreRegistry();
}

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    HostOptions options;
    bool helpAsked = false;
    if (!ParseOptions(ReadCommandLine(argc, argv), &options, &helpAsked)) return EXIT_USAGE;
    if (helpAsked && options.command == "--version") {
        printf("vbhost %s\n", VB_HOST_VERSION);
        return EXIT_ALL_DONE;
    }
    if (helpAsked) {
        fputs(UsageText, stdout);
        return EXIT_ALL_DONE;
    }
    std::string folder =
        options.pluginFolder.empty() ? FindDefaultPluginFolder() : options.pluginFolder;
    InstallInterruptHandler();
    // The plug-ins probe the device when they are attached: set it up before loading them.
    atexit(RestoreRegistryAtExit);
    std::string problem;
    if (!CheckDeviceVariables(options.device, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        return EXIT_USAGE;
    }
    if (!CheckRegistryFile(options.device, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        return EXIT_SOME_FAILED;
    }
    if (!ApplyDeviceSettings(options.device, &problem)) {
        fprintf(stderr, "vbhost: %s\n", problem.c_str());
        return EXIT_SOME_FAILED;
    }
    if (options.command == "plugins") return ListPlugins(options, folder);

    std::vector<LoadedPlugin> plugins;
    if (!LoadPlugins(folder, &plugins)) return EXIT_SOME_FAILED;
    bool inputsFailed = false;
    if (!ExpandFolders(&options, plugins, &inputsFailed)) return EXIT_USAGE;
    // Every block a plug-in hands over is freed here, and a plug-in frees the rest itself:
    // blocks still alive at the end are a leak worth telling the plug-in's developer about. The
    // heap keeps no count of its own; the testing layer does, when a test runs vbhost with it.
    typedef int64_t(VB_CALL * BlockCounter)(void);
    BlockCounter countBlocks = (BlockCounter)FindPlatformExport("TestingLiveBlockCount");
    int64_t blocksBefore = countBlocks ? countBlocks() : 0;
    int status = options.command == "info" ? ShowPictureInfo(options, plugins)
                                           : ConvertPictures(options, plugins);
    if (status == EXIT_ALL_DONE && inputsFailed) status = EXIT_SOME_FAILED;
    RemoveSpooledInput(&StandardInputSpool);
    int64_t blocksLeft = countBlocks ? countBlocks() - blocksBefore : 0;
    if (blocksLeft != 0) {
        fprintf(stderr, "vbhost: warning: %lld local-heap block(s) left allocated\n",
                (long long)blocksLeft);
    }
    return status;
}
