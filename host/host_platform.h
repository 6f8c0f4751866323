// The operating-system pieces of vbhost, one implementation per system (host_platform_posix.cpp,
// host_platform_win32.cpp). The rest of the host works on UTF-8 text throughout: names of files,
// folders and modules are converted here, at the system's edge.
#ifndef VB_HOST_HOST_PLATFORM_H
#define VB_HOST_HOST_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// The command line as UTF-8 words, the program name first. On Windows the words are taken from
// the system's UTF-16 command line, so that names outside the ANSI code page survive.
std::vector<std::string> ReadCommandLine(int argc, char** argv);

// Makes stdout and stderr take the UTF-8 text vbhost prints (the console's code page on Windows).
void PrepareConsole();

// The folder that holds the running executable ("." when it cannot be found).
std::string FindExecutableFolder();

// The characters that separate folders in a path: "/" (POSIX) or "/\\" (Windows).
extern const char* const PathSeparators;

// `name` inside `folder`, with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The last component of `path` (after the last separator).
std::string FindBaseName(const std::string& path);

// Names of the files in `folder` that end in ".spi" (on Windows in any letter case), unsorted.
// False with the reason when the folder cannot be read.
bool ListPluginFileNames(const std::string& folder, std::vector<std::string>* names,
                         std::string* problem);

// The entries of `folder` (without "." and ".."), unsorted: subfolders in `folders`, the rest in
// `files`. A link to a folder is in neither, so that a walk down the folders ends. False with the
// reason when the folder cannot be read.
bool ListFolder(const std::string& folder, std::vector<std::string>* files,
                std::vector<std::string>* folders, std::string* problem);

// Loads a module by path (dlopen / LoadLibraryW); null with the reason when it does not load.
void* OpenLibrary(const std::string& path, std::string* problem);
// An export by its name (dlsym / GetProcAddress); null when the module lacks it.
void* FindLibraryExport(void* library, const char* name);
// An export of the platform library the process runs with, by its name: the first definition in
// the global scope (POSIX), or the export of the loaded vbplatform.dll (Windows). Null when
// there is none (the testing interface is not in the shipped library).
void* FindPlatformExport(const char* name);

// fopen with a UTF-8 name.
FILE* OpenHostFile(const std::string& path, const char* mode);
// True when the open stream is a regular file (not a folder or a device).
bool IsRegularFile(FILE* stream);
// Moves the stream to `offset` bytes from the start; false when it cannot.
bool SeekHostFile(FILE* stream, int64_t offset);
// An output file while it is written.
// - A new name, or an existing regular file, is written as a temporary file in the same folder
//   and renamed over the name when it is whole, so a failed or stopped write leaves no partial
//   file and the older file as it was. Through a symbolic link it is the file the link points
//   to that is replaced; the link stays.
// - Anything else that exists (a device such as /dev/null, a FIFO) is opened and written in
//   place, and its write errors are reported.
// - "-" is standard output.
struct OutputFile {
    std::string name;           // as given, for messages
    std::string temporaryPath;  // empty when written in place
    std::string finalPath;      // the file the temporary one replaces
    intptr_t handle = -1;       // descriptor (POSIX) or HANDLE (Windows)
    bool closeHandle = false;   // false for standard output
    std::vector<uint8_t> buffer;
};

// The name given for standard output.
extern const char* const StandardOutputName;

// Opens `name` for writing as above. False with the reason ("cannot create NAME: ...").
bool OpenOutputFile(const std::string& name, OutputFile* file, std::string* problem);
// Buffered; false with the reason ("cannot write NAME: ...") when the system refuses the bytes.
bool WriteOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* problem);
// Writes what is buffered, closes, and renames the temporary file into place.
bool FinishOutputFile(OutputFile* file, std::string* problem);
// Closes and removes the temporary file; what a device or a pipe already got stays sent.
void AbandonOutputFile(OutputFile* file);

// Standard input, read to its end into a file of a temporary folder, since plug-ins read files by
// name. The plug-ins choose by the name's extension, so the file gets a name for each of
// `extensions` too (".TGA": "stdin.TGA"), links to the same bytes. `paths` holds those names in
// the order of `extensions`, then the plain one. False with the reason (standard input is a
// terminal, the temporary folder cannot be made or written).
struct SpooledInput {
    std::string folder;
    std::vector<std::string> paths;
};
bool SpoolStandardInput(const std::vector<std::string>& extensions, SpooledInput* spool,
                        std::string* problem);
// Removes the spool's files and folder; safe to call more than once.
void RemoveSpooledInput(SpooledInput* spool);

// True when standard output is a terminal (a console on Windows).
bool IsStandardOutputTerminal();
// Makes one folder; true when it was made or already exists as a folder.
bool MakeHostFolder(const std::string& path, std::string* problem);
bool IsHostFolder(const std::string& path);
// What `path` names, through links: nothing, a regular file (one whose permissions forbid writing
// is read-only), a folder, or something else that takes bytes in place (a device, a FIFO, a
// pipe such as bash's >(cmd), reached through /dev/fd too).
enum PathKind { PATH_ABSENT, PATH_FILE, PATH_READ_ONLY_FILE, PATH_FOLDER, PATH_OTHER };
PathKind FindPathKind(const std::string& path);
// A number that differs between processes running at the same time, for temporary names.
unsigned long CurrentProcessNumber();

// True when stderr is a terminal (a console on Windows), where a progress bar may be drawn.
bool IsErrorOutputTerminal();
// The width of that terminal in columns, asked anew at every call (it may be resized); 80 when
// the system does not say.
int CountErrorOutputColumns();

// The first Ctrl-C sets the flag read by IsInterruptRequested; a second one ends the process
// at once (the system's default handling comes back). On POSIX every other terminating signal
// (TERM, HUP, QUIT, ALRM, ...) and a second Ctrl-C end vbhost at once with status 128 + the
// signal's number, after removing the output's temporary file and the RemoveAtSignal file.
void InstallInterruptHandler();
bool IsInterruptRequested();
#ifndef _WIN32
// A file of vbhost's own that a terminating signal removes (the registry copy); "" for none.
void RemoveAtSignal(const std::string& path);
#endif

// Converts the Shift-JIS (code page 932) bytes at the start of `bytes` to UTF-8, appending to
// `out`, and stops before the first byte sequence that is not Shift-JIS (or a lead byte at the
// very end). Returns the number of bytes converted.
size_t ConvertShiftJisRun(const char* bytes, size_t count, std::string* out);

#endif
