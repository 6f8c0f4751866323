// Files opened by UTF-16 name, read-only. A file is either a descriptor on disk or a copy of
// bytes that a test serves from memory.
//
// The decoders read one row at a time, and the run-length readers set the position back to the
// end of the packets they used after every row. On disk these reads go through a read-ahead
// buffer per open file, so that a row costs a copy from the buffer rather than a system call
// (and a seek): a system call per row costs more than the row's bytes. Reads of at least the
// buffer's size go straight into the caller's memory. The position is kept here, and the file is
// read with pread(2) at that position.
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

// The buffer holds about eight of the largest reads asked for so far (rows, for a decoder), so
// its system calls are few enough not to show while its memory stays a few rows; between 16 KiB
// and 128 KiB, which stays in the processor's cache between the system call that fills it and
// the copies that empty it.
enum : uint32_t {
    READ_AHEAD_READS = 8,
    READ_AHEAD_LEAST = 16 * 1024,
    READ_AHEAD_MOST = 128 * 1024,
};

struct PosixFile {
    int descriptor;      // -1 for a served file
    ServedBytes served;  // kept alive even if the entry is removed while the file is open
    uint64_t position;   // where the next read starts
    // Disk files: bytes [aheadStart, aheadStart + aheadFill) of the file in a buffer of
    // aheadSize bytes, allocated by the first read smaller than READ_AHEAD_MOST.
    uint8_t* ahead;
    uint64_t aheadStart;
    uint32_t aheadFill;
    uint32_t aheadSize;
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
        return new (std::nothrow) PosixFile{-1, served, 0, nullptr, 0, 0, 0};
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
    PosixFile* file = new (std::nothrow) PosixFile{descriptor, nullptr, 0, nullptr, 0, 0, 0};
    if (!file) close(descriptor);
    return file;
}

// Reads up to `count` bytes at `offset`, repeating short reads until the end of the file.
static bool ReadAt(int descriptor, uint8_t* buffer, uint32_t count, uint64_t offset,
                   uint32_t* delivered) {
    uint32_t total = 0;
    while (total < count) {
        ssize_t got = pread(descriptor, buffer + total, count - total, (off_t)(offset + total));
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

// Makes the read-ahead buffer large enough for reads of `wanted` bytes; a new buffer starts
// empty. False when there is no buffer (the read then goes straight to the file).
static bool SizeReadAhead(PosixFile* file, uint32_t wanted) {
    uint32_t size =
        wanted < READ_AHEAD_MOST / READ_AHEAD_READS ? wanted * READ_AHEAD_READS : READ_AHEAD_MOST;
    if (size < READ_AHEAD_LEAST) size = READ_AHEAD_LEAST;
    if (file->ahead && file->aheadSize >= size) return true;
    // The old buffer goes first, so the two are never held at once.
    delete[] file->ahead;
    file->ahead = new (std::nothrow) uint8_t[size];
    file->aheadSize = file->ahead ? size : 0;
    file->aheadFill = 0;
    return file->ahead != nullptr;
}

static bool ReadFromDisk(PosixFile* file, uint8_t* buffer, uint32_t count, uint32_t* delivered) {
    uint32_t total = 0;
    // What the buffer already holds from the position on.
    if (file->ahead && file->position >= file->aheadStart &&
        file->position - file->aheadStart < file->aheadFill) {
        uint32_t at = (uint32_t)(file->position - file->aheadStart);
        uint32_t take = file->aheadFill - at < count ? file->aheadFill - at : count;
        memcpy(buffer, file->ahead + at, take);
        total = take;
    }
    while (total < count) {
        uint64_t offset = file->position + total;
        uint32_t wanted = count - total;
        if (wanted >= READ_AHEAD_MOST || !SizeReadAhead(file, count) || wanted >= file->aheadSize) {
            uint32_t got = 0;
            if (!ReadAt(file->descriptor, buffer + total, wanted, offset, &got)) return false;
            total += got;
            break;
        }
        uint32_t got = 0;
        if (!ReadAt(file->descriptor, file->ahead, file->aheadSize, offset, &got)) {
            file->aheadFill = 0;
            return false;
        }
        file->aheadStart = offset;
        file->aheadFill = got;
        if (got == 0) break;  // end of the file
        uint32_t take = got < wanted ? got : wanted;
        memcpy(buffer + total, file->ahead, take);
        total += take;
        if (got < file->aheadSize) break;  // the file ends inside the buffer
    }
    file->position += total;
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
        return ReadFromDisk(file, (uint8_t*)buffer, count, delivered) ? 1 : 0;
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
            base = (int64_t)file->position;
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
    // The buffer stays: a move back into it, as after a run-length row, costs nothing.
    file->position = (uint64_t)target;
    return (uint32_t)target;
}

void VB_CALL CloseFile(PlatformFile handle) {
    PosixFile* file = (PosixFile*)handle;
    if (!file) return;
    if (file->descriptor >= 0) close(file->descriptor);
    delete[] file->ahead;
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
