// vbhost's operating-system pieces on POSIX systems: names are UTF-8 bytes as they are.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host_platform.h"

namespace {

volatile sig_atomic_t InterruptFlag = 0;

// Files that a terminating signal removes before vbhost ends: the output while it is written as
// a temporary file, the registry copy, and standard input's spool, its folder last. The handler
// reads them, so they are kept as C text.
enum : int {
    REMOVE_OUTPUT,
    REMOVE_OTHER,
    REMOVE_SPOOL_FILES,
    REMOVE_SPOOL_FOLDER = REMOVE_SPOOL_FILES + 6,
    REMOVAL_SLOTS
};
char RemovalPaths[REMOVAL_SLOTS][PATH_MAX];
volatile sig_atomic_t RemovalSet[REMOVAL_SLOTS];

void SetRemovalPath(int slot, const std::string& path) {
    RemovalSet[slot] = 0;
    if (path.empty() || path.size() >= sizeof(RemovalPaths[slot])) return;
    memcpy(RemovalPaths[slot], path.c_str(), path.size() + 1);
    RemovalSet[slot] = 1;
}

// Only calls that are safe in a signal handler: unlink, write, _exit.
void EndAtSignal(int number) {
    for (int slot = 0; slot < REMOVAL_SLOTS; ++slot) {
        if (RemovalSet[slot] && unlink(RemovalPaths[slot]) != 0) rmdir(RemovalPaths[slot]);
    }
    if (number == SIGPIPE) _exit(128 + number);  // the reader has gone: nothing to tell
    // Below a progress bar, on a line of its own.
    char message[48];
    size_t length = 0;
    if (isatty(STDERR_FILENO)) message[length++] = '\n';
    const char text[] = "vbhost: stopped by signal ";
    memcpy(message + length, text, sizeof(text) - 1);
    length += sizeof(text) - 1;
    if (number >= 10) message[length++] = (char)('0' + number / 10);
    message[length++] = (char)('0' + number % 10);
    message[length++] = '\n';
    ssize_t written = write(STDERR_FILENO, message, length);
    (void)written;
    _exit(128 + number);
}

// The first Ctrl-C asks the decode or the write to stop, which vbhost then reports; any other
// terminating signal, a second Ctrl-C among them, ends vbhost at once.
void HandleSignal(int number) {
    if (number == SIGINT && !InterruptFlag) {
        InterruptFlag = 1;
        return;
    }
    EndAtSignal(number);
}

}  // namespace

void RemoveAtSignal(const std::string& path) {
    SetRemovalPath(REMOVE_OTHER, path);
}

const char* const PathSeparators = "/";

std::vector<std::string> ReadCommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {}

std::string FindExecutableFolder() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    std::string executable(path, (size_t)length);
    size_t slash = executable.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return executable.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string FindBaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ListPluginFileNames(const std::string& folder, std::vector<std::string>* names,
                         std::string* problem) {
    names->clear();
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        *problem = "cannot read " + folder + ": " + strerror(errno);
        return false;
    }
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        const std::string extension = ".spi";
        if (name.size() > extension.size() &&
            name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
            names->push_back(name);
        }
    }
    closedir(directory);
    return true;
}

bool ListFolder(const std::string& folder, std::vector<std::string>* files,
                std::vector<std::string>* folders, std::string* problem) {
    DIR* directory = opendir(folder.c_str());
    if (!directory) {
        *problem = "cannot read " + folder + ": " + strerror(errno);
        return false;
    }
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status;
        std::string path = JoinPath(folder, name);
        if (lstat(path.c_str(), &status) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            folders->push_back(name);
        } else if (!S_ISLNK(status.st_mode) || stat(path.c_str(), &status) != 0 ||
                   !S_ISDIR(status.st_mode)) {
            files->push_back(name);
        }
    }
    closedir(directory);
    return true;
}

void* OpenLibrary(const std::string& path, std::string* problem) {
    // A path without a slash would make dlopen search the library path instead of the folder.
    std::string located = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(located.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        *problem = reason ? reason : "cannot load";
    }
    return library;
}

void* FindLibraryExport(void* library, const char* name) {
    return dlsym(library, name);
}

void* FindPlatformExport(const char* name) {
    return dlsym(RTLD_DEFAULT, name);
}

FILE* OpenHostFile(const std::string& path, const char* mode) {
    return fopen(path.c_str(), mode);
}

bool IsRegularFile(FILE* stream) {
    struct stat status;
    return fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

bool SeekHostFile(FILE* stream, int64_t offset) {
    return fseeko(stream, (off_t)offset, SEEK_SET) == 0;
}

const char* const StandardOutputName = "-";

namespace {

const size_t OutputBufferBytes = 1024 * 1024;
// Pieces from this size up (a BMP's bands of rows, a PNG's compressed bands) go to the file
// straight from the writer's memory: a copy through the buffer would be one more pass over the
// picture for no fewer calls worth counting.
const size_t DirectWriteBytes = 64 * 1024;

// The name at the end of a chain of symbolic links from `path`; it need not exist yet.
bool FollowLinks(const std::string& path, std::string* target, std::string* problem) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status;
        if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            *target = current;
            return true;
        }
        char link[PATH_MAX];
        ssize_t length = readlink(current.c_str(), link, sizeof(link) - 1);
        if (length <= 0) {
            *problem = strerror(errno);
            return false;
        }
        std::string next(link, (size_t)length);
        size_t slash = current.rfind('/');
        if (next[0] != '/' && slash != std::string::npos)
            next = current.substr(0, slash + 1) + next;
        current = next;
    }
    *problem = strerror(ELOOP);
    return false;
}

std::string NameForMessages(const OutputFile& file) {
    return file.name == StandardOutputName ? std::string("standard output") : file.name;
}

bool WriteWhole(const OutputFile& file, const uint8_t* bytes, size_t size, std::string* problem) {
    size_t written = 0;
    while (written < size) {
        ssize_t count = write((int)file.handle, bytes + written, size - written);
        if (count < 0 && errno == EINTR) continue;  // Ctrl-C is answered between bands
        if (count <= 0) {
            *problem =
                "cannot write " + NameForMessages(file) + ": " + strerror(count < 0 ? errno : EIO);
            return false;
        }
        written += (size_t)count;
    }
    return true;
}

bool FlushOutputFile(OutputFile* file, std::string* problem) {
    if (!WriteWhole(*file, file->buffer.data(), file->buffer.size(), problem)) return false;
    file->buffer.clear();
    return true;
}

}  // namespace

bool OpenOutputFile(const std::string& name, OutputFile* file, std::string* problem) {
    *file = OutputFile();
    file->name = name;
    file->buffer.reserve(OutputBufferBytes);
    if (name == StandardOutputName) {
        file->handle = STDOUT_FILENO;
        return true;
    }
    // The system follows the links first: /dev/stdout and /dev/fd/N lead through links of /proc
    // that name no path ("pipe:[1234]") to what the descriptor holds.
    struct stat status;
    bool inPlace =
        stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
    std::string target = name, reason;
    if (!inPlace && !FollowLinks(name, &target, &reason)) {
        *problem = "cannot create " + name + ": " + reason;
        return false;
    }
    bool exists = inPlace || stat(target.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
        *problem = "cannot create " + name + ": " + strerror(EISDIR);
        return false;
    }
    if (exists && !S_ISREG(status.st_mode)) {
        // A device or a FIFO takes the bytes itself: replacing it would destroy it.
        int descriptor;
        do {
            descriptor = open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        } while (descriptor < 0 && errno == EINTR && !IsInterruptRequested());
        if (descriptor < 0) {
            *problem = "cannot open " + name + ": " + strerror(errno);
            return false;
        }
        file->handle = descriptor;
        file->closeHandle = true;
        return true;
    }
    file->finalPath = target;
    file->temporaryPath = target + ".partial" + std::to_string(CurrentProcessNumber());
    SetRemovalPath(REMOVE_OUTPUT, file->temporaryPath);
    int descriptor = open(file->temporaryPath.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        *problem = "cannot create " + name + ": " + strerror(errno);
        return false;
    }
    // The replacement keeps the permissions of the file it replaces.
    if (exists) fchmod(descriptor, status.st_mode & 07777);
    file->handle = descriptor;
    file->closeHandle = true;
    return true;
}

bool WriteOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* problem) {
    if ((file->buffer.size() + count > OutputBufferBytes || count >= DirectWriteBytes) &&
        !FlushOutputFile(file, problem)) {
        return false;
    }
    if (count >= DirectWriteBytes) return WriteWhole(*file, bytes, count, problem);
    file->buffer.insert(file->buffer.end(), bytes, bytes + count);
    return true;
}

bool FinishOutputFile(OutputFile* file, std::string* problem) {
    if (!FlushOutputFile(file, problem)) {
        AbandonOutputFile(file);
        return false;
    }
    if (file->closeHandle) {
        int closed = close((int)file->handle);
        file->closeHandle = false;
        if (closed != 0) {
            *problem = "cannot write " + file->name + ": " + strerror(errno);
            AbandonOutputFile(file);
            return false;
        }
    }
    if (file->temporaryPath.empty()) return true;
    if (rename(file->temporaryPath.c_str(), file->finalPath.c_str()) != 0) {
        *problem = "cannot write " + file->name + ": " + strerror(errno);
        AbandonOutputFile(file);
        return false;
    }
    SetRemovalPath(REMOVE_OUTPUT, std::string());
    file->temporaryPath.clear();
    return true;
}

void AbandonOutputFile(OutputFile* file) {
    if (file->closeHandle) close((int)file->handle);
    file->closeHandle = false;
    if (!file->temporaryPath.empty()) unlink(file->temporaryPath.c_str());
    SetRemovalPath(REMOVE_OUTPUT, std::string());
    file->temporaryPath.clear();
    file->buffer.clear();
}

bool SpoolStandardInput(const std::vector<std::string>& extensions, SpooledInput* spool,
                        std::string* problem) {
    *spool = SpooledInput();
    if (isatty(STDIN_FILENO)) {
        *problem = "standard input is a terminal; send the picture to it through a pipe or a file";
        return false;
    }
    const char* temporary = getenv("TMPDIR");
    std::string pattern =
        std::string(temporary && *temporary ? temporary : "/tmp") + "/vbhost-stdin-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        *problem = "cannot make a folder in " + pattern + ": " + strerror(errno);
        return false;
    }
    spool->folder = pattern;
    SetRemovalPath(REMOVE_SPOOL_FOLDER, spool->folder);
    std::string base = JoinPath(spool->folder, "stdin");
    SetRemovalPath(REMOVE_SPOOL_FILES, base);
    int descriptor = open(base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool failed = descriptor < 0;
    std::string reason = failed ? strerror(errno) : "";
    std::vector<uint8_t> buffer(OutputBufferBytes);
    while (!failed) {
        ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR && !IsInterruptRequested()) continue;
        if (count <= 0) {
            failed = count < 0;
            if (failed) reason = std::string("cannot read standard input: ") + strerror(errno);
            break;
        }
        for (ssize_t written = 0; written < count && !failed;) {
            ssize_t step = write(descriptor, buffer.data() + written, (size_t)(count - written));
            if (step < 0 && errno == EINTR) continue;
            failed = step <= 0;
            if (failed) reason = "cannot write " + base + ": " + strerror(errno);
            written += step > 0 ? step : 0;
        }
    }
    if (descriptor >= 0 && close(descriptor) != 0 && !failed) {
        failed = true;
        reason = "cannot write " + base + ": " + strerror(errno);
    }
    // One name for each plug-in's extension: another link to the same bytes.
    for (size_t i = 0; i < extensions.size(); ++i) {
        std::string path = base + extensions[i];
        if (i + 1 < REMOVE_SPOOL_FOLDER - REMOVE_SPOOL_FILES) {
            SetRemovalPath(REMOVE_SPOOL_FILES + 1 + (int)i, path);
        }
        if (!failed && link(base.c_str(), path.c_str()) != 0) {
            failed = true;
            reason = "cannot link " + path + ": " + strerror(errno);
        }
        spool->paths.push_back(path);
    }
    spool->paths.push_back(base);
    if (failed) {
        *problem = reason;
        RemoveSpooledInput(spool);
        return false;
    }
    return true;
}

void RemoveSpooledInput(SpooledInput* spool) {
    for (const std::string& path : spool->paths) unlink(path.c_str());
    if (!spool->folder.empty()) rmdir(spool->folder.c_str());
    for (int slot = REMOVE_SPOOL_FILES; slot <= REMOVE_SPOOL_FOLDER; ++slot) {
        SetRemovalPath(slot, std::string());
    }
    *spool = SpooledInput();
}

bool IsStandardOutputTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool MakeHostFolder(const std::string& path, std::string* problem) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
    *problem = strerror(errno);
    return false;
}

bool IsHostFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

PathKind FindPathKind(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return PATH_ABSENT;
    if (S_ISDIR(status.st_mode)) return PATH_FOLDER;
    if (!S_ISREG(status.st_mode)) return PATH_OTHER;
    // No write permission for anyone, or none for this process (root writes even the former).
    bool readOnly =
        (status.st_mode & 0222) == 0 || (access(path.c_str(), W_OK) != 0 && errno == EACCES);
    return readOnly ? PATH_READ_ONLY_FILE : PATH_FILE;
}

unsigned long CurrentProcessNumber() {
    return (unsigned long)getpid();
}

bool IsErrorOutputTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

int CountErrorOutputColumns() {
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void InstallInterruptHandler() {
    // Every signal whose default ends the process and that a handler may catch. Signals the
    // caller ignores stay ignored (nohup's SIGHUP).
    static const int terminating[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGALRM,
                                      SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGXFSZ};
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = HandleSignal;
    sigfillset(&action.sa_mask);
    for (int number : terminating) {
        struct sigaction current;
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
}

bool IsInterruptRequested() {
    return InterruptFlag != 0;
}

size_t ConvertShiftJisRun(const char* bytes, size_t count, std::string* out) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == (iconv_t)-1) {
        // Without iconv's CP932 tables the comment still shows its ASCII part.
        size_t ascii = 0;
        while (ascii < count && (unsigned char)bytes[ascii] < 0x80) ++ascii;
        out->append(bytes, ascii);
        return ascii;
    }
    char buffer[256];
    char* input = const_cast<char*>(bytes);
    size_t inputLeft = count;
    while (inputLeft > 0) {
        char* output = buffer;
        size_t outputLeft = sizeof(buffer);
        size_t converted = iconv(converter, &input, &inputLeft, &output, &outputLeft);
        out->append(buffer, (size_t)(output - buffer));
        // EILSEQ, or EINVAL for a lead byte at the very end: the run ends before that byte.
        if (converted == (size_t)-1 && errno != E2BIG) break;
    }
    iconv_close(converter);
    return count - inputLeft;
}
