// vbhost's operating-system pieces on Windows: UTF-8 inside the host, UTF-16 at every system
// call, so that any file name the system can hold reaches the plug-ins.
#include <errno.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "host/host_platform.h"

namespace {

volatile LONG CtrlCPresses = 0;
UINT ConsoleCodePageBefore = 0;

std::wstring WidenUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide((size_t)length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], length);
    return wide;
}

std::string NarrowToUtf8(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string narrow((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

std::string NarrowToUtf8(const std::wstring& text) {
    return NarrowToUtf8(text.data(), (int)text.size());
}

// The system's text for an error code, without the line break it ends with.
std::string DescribeSystemError(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text) message = NarrowToUtf8(text, (int)length);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error " + std::to_string(error);
    return message;
}

bool EndsWithSpiIgnoringCase(const std::wstring& name) {
    const wchar_t* extension = L".spi";
    size_t length = wcslen(extension);
    if (name.size() <= length) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = name[name.size() - length + i];
        if (c >= L'A' && c <= L'Z') c = (wchar_t)(c - L'A' + L'a');
        if (c != extension[i]) return false;
    }
    return true;
}

BOOL WINAPI HandleConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // The first press asks the decode to stop; the next one gets the default: the process ends.
    return InterlockedIncrement(&CtrlCPresses) == 1 ? TRUE : FALSE;
}

void RestoreConsoleCodePage() {
    if (ConsoleCodePageBefore != 0) SetConsoleOutputCP(ConsoleCodePageBefore);
}

}  // namespace

const char* const PathSeparators = "/\\";

std::vector<std::string> ReadCommandLine(int argc, char** argv) {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!words) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(NarrowToUtf8(std::wstring(words[i])));
    LocalFree(words);
    return arguments;
}

void PrepareConsole() {
    // The console shows UTF-8 output only in code page 65001; the earlier one comes back at exit.
    UINT before = GetConsoleOutputCP();
    if (before != 0 && before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        ConsoleCodePageBefore = before;
        atexit(RestoreConsoleCodePage);
    }
    // No message boxes from the loader for a module that cannot be loaded: the host reports it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

std::string FindExecutableFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
        if (length == 0) return ".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 32768) return ".";
        path.resize(path.size() * 2);
    }
    size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return ".";
    return NarrowToUtf8(path.substr(0, separator));
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    if (last == '\\' || last == '/' || last == ':') return folder + name;
    // Keep to the separator the folder was written with.
    bool forward = folder.find('/') != std::string::npos && folder.find('\\') == std::string::npos;
    return folder + (forward ? "/" : "\\") + name;
}

std::string FindBaseName(const std::string& path) {
    size_t separator = path.find_last_of("/\\:");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

bool ListPluginFileNames(const std::string& folder, std::vector<std::string>* names,
                         std::string* problem) {
    names->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(WidenUtf8(JoinPath(folder, "*.spi")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;  // a folder without plug-ins
        *problem = "cannot read " + folder + ": " + DescribeSystemError(error);
        return false;
    }
    do {
        // "*.spi" also matches the short 8.3 name of, say, "old.spix": check the long name.
        std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            EndsWithSpiIgnoringCase(name)) {
            names->push_back(NarrowToUtf8(name));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool ListFolder(const std::string& folder, std::vector<std::string>* files,
                std::vector<std::string>* folders, std::string* problem) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(WidenUtf8(JoinPath(folder, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;
        *problem = "cannot read " + folder + ": " + DescribeSystemError(error);
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files->push_back(NarrowToUtf8(name));
        } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            folders->push_back(NarrowToUtf8(name));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

void* OpenLibrary(const std::string& path, std::string* problem) {
    // The loader takes backslashes only.
    std::wstring wide = WidenUtf8(path);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    // A name without a folder would make LoadLibraryW search the system's folders.
    if (wide.find_first_of(L"\\:") == std::wstring::npos) wide = L".\\" + wide;
    HMODULE library = LoadLibraryW(wide.c_str());
    if (!library) *problem = DescribeSystemError(GetLastError());
    return library;
}

void* FindLibraryExport(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void* FindPlatformExport(const char* name) {
    HMODULE platform = GetModuleHandleW(L"vbplatform.dll");
    return platform ? reinterpret_cast<void*>(GetProcAddress(platform, name)) : nullptr;
}

FILE* OpenHostFile(const std::string& path, const char* mode) {
    std::wstring wideMode(mode, mode + strlen(mode));
    return _wfopen(WidenUtf8(path).c_str(), wideMode.c_str());
}

bool IsRegularFile(FILE* stream) {
    struct _stat64 status;
    return _fstat64(_fileno(stream), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

bool SeekHostFile(FILE* stream, int64_t offset) {
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

const char* const StandardOutputName = "-";

namespace {

const size_t OutputBufferBytes = 1024 * 1024;

std::string NameForMessages(const OutputFile& file) {
    return file.name == StandardOutputName ? std::string("standard output") : file.name;
}

bool FlushOutputFile(OutputFile* file, std::string* problem) {
    size_t written = 0;
    while (written < file->buffer.size()) {
        DWORD chunk =
            (DWORD)(file->buffer.size() - written > 0x10000000 ? 0x10000000
                                                               : file->buffer.size() - written);
        DWORD count = 0;
        if (!WriteFile((HANDLE)file->handle, file->buffer.data() + written, chunk, &count,
                       nullptr) ||
            count == 0) {
            *problem = "cannot write " + NameForMessages(*file) + ": " +
                       DescribeSystemError(GetLastError());
            return false;
        }
        written += count;
    }
    file->buffer.clear();
    return true;
}

}  // namespace

bool OpenOutputFile(const std::string& name, OutputFile* file, std::string* problem) {
    *file = OutputFile();
    file->name = name;
    file->buffer.reserve(OutputBufferBytes);
    if (name == StandardOutputName) {
        file->handle = (intptr_t)GetStdHandle(STD_OUTPUT_HANDLE);
        return true;
    }
    std::wstring wide = WidenUtf8(name);
    // A device (NUL, a console, a pipe) is written in place; a disk file is replaced.
    HANDLE existing = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        if (GetFileType(existing) != FILE_TYPE_DISK) {
            file->handle = (intptr_t)existing;
            file->closeHandle = true;
            return true;
        }
        CloseHandle(existing);
    }
    file->finalPath = name;
    file->temporaryPath = name + ".partial" + std::to_string(CurrentProcessNumber());
    HANDLE created = CreateFileW(WidenUtf8(file->temporaryPath).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        *problem = "cannot create " + name + ": " + DescribeSystemError(GetLastError());
        file->temporaryPath.clear();
        return false;
    }
    file->handle = (intptr_t)created;
    file->closeHandle = true;
    return true;
}

bool WriteOutputFile(OutputFile* file, const uint8_t* bytes, size_t count, std::string* problem) {
    if (file->buffer.size() + count > OutputBufferBytes && !FlushOutputFile(file, problem)) {
        return false;
    }
    file->buffer.insert(file->buffer.end(), bytes, bytes + count);
    if (file->buffer.size() >= OutputBufferBytes) return FlushOutputFile(file, problem);
    return true;
}

bool FinishOutputFile(OutputFile* file, std::string* problem) {
    if (!FlushOutputFile(file, problem)) {
        AbandonOutputFile(file);
        return false;
    }
    if (file->closeHandle) {
        CloseHandle((HANDLE)file->handle);
        file->closeHandle = false;
    }
    if (file->temporaryPath.empty()) return true;
    // rename() refuses an existing target on Windows.
    if (!MoveFileExW(WidenUtf8(file->temporaryPath).c_str(), WidenUtf8(file->finalPath).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        *problem = "cannot write " + file->name + ": " + DescribeSystemError(GetLastError());
        AbandonOutputFile(file);
        return false;
    }
    file->temporaryPath.clear();
    return true;
}

void AbandonOutputFile(OutputFile* file) {
    if (file->closeHandle) CloseHandle((HANDLE)file->handle);
    file->closeHandle = false;
    if (!file->temporaryPath.empty()) DeleteFileW(WidenUtf8(file->temporaryPath).c_str());
    file->temporaryPath.clear();
    file->buffer.clear();
}

bool SpoolStandardInput(const std::vector<std::string>& extensions, SpooledInput* spool,
                        std::string* problem) {
    *spool = SpooledInput();
    if (_isatty(_fileno(stdin))) {
        *problem = "standard input is a terminal; send the picture to it through a pipe or a file";
        return false;
    }
    wchar_t temporary[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) {
        *problem = "cannot find the temporary folder: " + DescribeSystemError(GetLastError());
        return false;
    }
    std::string folder = NarrowToUtf8(temporary, (int)length);
    for (unsigned attempt = 0;; ++attempt) {
        std::string candidate =
            JoinPath(folder, "vbhost-stdin-" + std::to_string(CurrentProcessNumber()) + "-" +
                                 std::to_string(attempt));
        if (CreateDirectoryW(WidenUtf8(candidate).c_str(), nullptr)) {
            spool->folder = candidate;
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == 100) {
            *problem =
                "cannot make a folder in " + folder + ": " + DescribeSystemError(GetLastError());
            return false;
        }
    }
    std::string base = JoinPath(spool->folder, "stdin");
    std::string reason;
    HANDLE file = CreateFileW(WidenUtf8(base).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) reason = "cannot create " + base;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<uint8_t> buffer(OutputBufferBytes);
    while (reason.empty()) {
        DWORD count = 0;
        // A pipe whose writer has gone ends with ERROR_BROKEN_PIPE: the end of the input.
        if (!ReadFile(input, buffer.data(), (DWORD)buffer.size(), &count, nullptr)) {
            if (GetLastError() != ERROR_BROKEN_PIPE) reason = "cannot read standard input";
            break;
        }
        if (count == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), count, &written, nullptr) || written != count) {
            reason = "cannot write " + base;
        }
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    for (const std::string& extension : extensions) {
        std::string path = base + extension;
        if (reason.empty() &&
            !CreateHardLinkW(WidenUtf8(path).c_str(), WidenUtf8(base).c_str(), nullptr) &&
            !CopyFileW(WidenUtf8(base).c_str(), WidenUtf8(path).c_str(), TRUE)) {
            reason = "cannot make " + path;
        }
        spool->paths.push_back(path);
    }
    spool->paths.push_back(base);
    if (!reason.empty()) {
        *problem = reason + ": " + DescribeSystemError(GetLastError());
        RemoveSpooledInput(spool);
        return false;
    }
    return true;
}

void RemoveSpooledInput(SpooledInput* spool) {
    for (const std::string& path : spool->paths) DeleteFileW(WidenUtf8(path).c_str());
    if (!spool->folder.empty()) RemoveDirectoryW(WidenUtf8(spool->folder).c_str());
    *spool = SpooledInput();
}

bool IsStandardOutputTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool MakeHostFolder(const std::string& path, std::string* problem) {
    if (_wmkdir(WidenUtf8(path).c_str()) == 0 || errno == EEXIST) return true;
    *problem = strerror(errno);
    return false;
}

bool IsHostFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesW(WidenUtf8(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

PathKind FindPathKind(const std::string& path) {
    std::wstring wide = WidenUtf8(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return PATH_FOLDER;
    }
    HANDLE existing = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        return attributes == INVALID_FILE_ATTRIBUTES ? PATH_ABSENT : PATH_FILE;
    }
    DWORD type = GetFileType(existing);
    CloseHandle(existing);
    if (type != FILE_TYPE_DISK) return PATH_OTHER;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? PATH_READ_ONLY_FILE : PATH_FILE;
}

unsigned long CurrentProcessNumber() {
    return (unsigned long)GetCurrentProcessId();
}

bool IsErrorOutputTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

int CountErrorOutputColumns() {
    CONSOLE_SCREEN_BUFFER_INFO console;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console)) {
        int columns = console.srWindow.Right - console.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(HandleConsoleControl, TRUE);
}

bool IsInterruptRequested() {
    return CtrlCPresses != 0;
}

size_t ConvertShiftJisRun(const char* bytes, size_t count, std::string* out) {
    const UINT ShiftJis = 932;
    size_t done = 0;
    while (done < count) {
        // One character at a time, so that the run ends exactly before a bad one.
        int length = IsDBCSLeadByteEx(ShiftJis, (BYTE)bytes[done]) ? 2 : 1;
        if (done + (size_t)length > count) break;
        wchar_t wide[2];
        int units =
            MultiByteToWideChar(ShiftJis, MB_ERR_INVALID_CHARS, bytes + done, length, wide, 2);
        if (units <= 0) break;
        out->append(NarrowToUtf8(wide, units));
        done += (size_t)length;
    }
    return done;
}
