// Files opened by UTF-16 name, read-only. A file is either a descriptor on disk or a copy of
// bytes that a test serves from memory; the decoders read row by row, so a read on disk is one
// read(2) call (repeated only when the kernel delivers less than asked before the end).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "posix_internal.h"

// SetFilePointer's FILE_END; platform.h names only the other two origins.
enum : int32_t { SEEK_FROM_END = PLATFORM_SEEK_END };

typedef std::shared_ptr<const std::vector<uint8_t>> ServedBytes;

struct PosixFile {
    int descriptor;      // -1 for a served file
    ServedBytes served;  // kept alive even if the entry is removed while the file is open
    uint64_t position;   // served files only; on disk the descriptor holds the position
};

static std::mutex ServedFilesLock;
static std::map<std::u16string, ServedBytes> ServedFiles;

static std::atomic<int64_t> ReadCalls{0};
static std::atomic<int64_t> FailingRead{0};
static std::atomic<int32_t> OpenFails{0};

bool ConvertNameToUtf8(const char16_t* name, std::string* utf8) {
    if (!name) return false;
    utf8->clear();
    for (size_t i = 0; name[i] != 0; i++) {
        uint32_t unit = name[i];
        uint32_t point = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t next = name[i + 1];
            if (next < 0xDC00 || next > 0xDFFF) return false;
            point = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
            i++;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        if (point < 0x80) {
            utf8->push_back((char)point);
        } else if (point < 0x800) {
            utf8->push_back((char)(0xC0 | (point >> 6)));
            utf8->push_back((char)(0x80 | (point & 0x3F)));
        } else if (point < 0x10000) {
            utf8->push_back((char)(0xE0 | (point >> 12)));
            utf8->push_back((char)(0x80 | ((point >> 6) & 0x3F)));
            utf8->push_back((char)(0x80 | (point & 0x3F)));
        } else {
            utf8->push_back((char)(0xF0 | (point >> 18)));
            utf8->push_back((char)(0x80 | ((point >> 12) & 0x3F)));
            utf8->push_back((char)(0x80 | ((point >> 6) & 0x3F)));
            utf8->push_back((char)(0x80 | (point & 0x3F)));
        }
    }
    return true;
}

size_t MeasureWide(const char16_t* text) {
    size_t length = 0;
    while (text[length] != 0) length++;
    return length;
}

static ServedBytes FindServedFile(const char16_t* name) {
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    if (ServedFiles.empty()) return nullptr;
    auto found = ServedFiles.find(std::u16string(name));
    return found == ServedFiles.end() ? nullptr : found->second;
}

PlatformFile VB_CALL OpenFileForReading(const char16_t* name) {
    if (!name || OpenFails.load() != 0) return nullptr;
    if (ServedBytes served = FindServedFile(name)) {
        return new (std::nothrow) PosixFile{-1, served, 0};
    }
    std::string path;
    if (!ConvertNameToUtf8(name, &path) || path.empty()) return nullptr;
    int descriptor;
    do {
        descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return nullptr;
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    PosixFile* file = new (std::nothrow) PosixFile{descriptor, nullptr, 0};
    if (!file) close(descriptor);
    return file;
}

static bool ReadFromDisk(int descriptor, uint8_t* buffer, uint32_t count, uint32_t* delivered) {
    uint32_t total = 0;
    while (total < count) {
        ssize_t got = read(descriptor, buffer + total, count - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;  // end of the file
        total += (uint32_t)got;
    }
    *delivered = total;
    return true;
}

int32_t VB_CALL ReadFileBytes(PlatformFile handle, void* buffer, uint32_t count,
                              uint32_t* delivered) {
    int64_t call = ReadCalls.fetch_add(1) + 1;
    if (delivered) *delivered = 0;
    int64_t failing = call;
    if (FailingRead.compare_exchange_strong(failing, 0)) return 0;
    PosixFile* file = (PosixFile*)handle;
    if (!file || !delivered || (!buffer && count != 0)) return 0;
    if (file->descriptor >= 0) {
        return ReadFromDisk(file->descriptor, (uint8_t*)buffer, count, delivered) ? 1 : 0;
    }
    const std::vector<uint8_t>& bytes = *file->served;
    uint64_t available = file->position < bytes.size() ? bytes.size() - file->position : 0;
    uint32_t take = available < count ? (uint32_t)available : count;
    if (take != 0) memcpy(buffer, bytes.data() + file->position, take);
    file->position += take;
    *delivered = take;
    return 1;
}

uint32_t VB_CALL SetFilePosition(PlatformFile handle, int32_t distance, int32_t origin) {
    PosixFile* file = (PosixFile*)handle;
    if (!file) return PLATFORM_INVALID_POSITION;
    int64_t base;
    if (file->descriptor >= 0) {
        if (origin == PLATFORM_SEEK_BEGIN) {
            base = 0;
        } else if (origin == PLATFORM_SEEK_CURRENT) {
            base = lseek(file->descriptor, 0, SEEK_CUR);
        } else if (origin == SEEK_FROM_END) {
            // fstat, not lseek to the end: a move that then fails must leave the position.
            struct stat status;
            base = fstat(file->descriptor, &status) == 0 ? (int64_t)status.st_size : -1;
        } else {
            return PLATFORM_INVALID_POSITION;
        }
    } else {
        if (origin == PLATFORM_SEEK_BEGIN) {
            base = 0;
        } else if (origin == PLATFORM_SEEK_CURRENT) {
            base = (int64_t)file->position;
        } else if (origin == SEEK_FROM_END) {
            base = (int64_t)file->served->size();
        } else {
            return PLATFORM_INVALID_POSITION;
        }
    }
    if (base < 0) return PLATFORM_INVALID_POSITION;
    int64_t target = base + distance;
    // The answer is a 32-bit position whose all-ones value means failure.
    if (target < 0 || target >= (int64_t)PLATFORM_INVALID_POSITION) {
        return PLATFORM_INVALID_POSITION;
    }
    if (file->descriptor >= 0) {
        if (lseek(file->descriptor, (off_t)target, SEEK_SET) < 0) return PLATFORM_INVALID_POSITION;
    } else {
        file->position = (uint64_t)target;
    }
    return (uint32_t)target;
}

void VB_CALL CloseFile(PlatformFile handle) {
    PosixFile* file = (PosixFile*)handle;
    if (!file) return;
    if (file->descriptor >= 0) close(file->descriptor);
    delete file;
}

int64_t VB_CALL TestingReadCount(void) {
    return ReadCalls.load();
}

void VB_CALL TestingFailRead(int64_t nth) {
    FailingRead.store(nth > 0 ? ReadCalls.load() + nth : 0);
}

void VB_CALL TestingFailOpen(int32_t fail) {
    OpenFails.store(fail);
}

void VB_CALL TestingServeFile(const char16_t* name, const void* data, size_t size) {
    if (!name) return;
    std::u16string key(name);
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    if (!data && size == 0) {
        ServedFiles.erase(key);
        return;
    }
    if (!data) return;
    const uint8_t* bytes = (const uint8_t*)data;
    ServedFiles[key] = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
}

void VB_CALL TestingClearServedFiles(void) {
    std::lock_guard<std::mutex> hold(ServedFilesLock);
    ServedFiles.clear();
}

void ResetFileOverrides() {
    FailingRead.store(0);
    OpenFails.store(0);
    TestingClearServedFiles();
}
