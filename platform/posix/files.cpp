// Files opened by UTF-16 name, read-only. Each request is one system call on the descriptor:
// open(2) (and fstat(2) to refuse what is not a regular file), read(2), lseek(2), close(2). The
// handle is the descriptor plus one, so that no handle is null.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform_host.h"
#include "posix_internal.h"

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

static int DescriptorOf(PlatformFile file) {
    return (int)((intptr_t)file - 1);
}

// The size that short files seem to have while a host asks for it (ExtendShortFiles), and the
// value of the bytes they seem to have past their end.
static std::atomic<uint32_t> ExtendedSize{0};
static std::atomic<uint8_t> ExtensionValue{0};

static std::atomic<uint64_t> FileEndsMet{0};

uint64_t VB_CALL CountFileEndsMet(void) {
    return FileEndsMet.load();
}

void VB_CALL ExtendShortFiles(uint32_t size, uint8_t value) {
    ExtensionValue = value;
    ExtendedSize = size;
}

// The size the file seems to have: its own, or the extended one when that is larger.
static off_t SeemingSize(off_t size) {
    const off_t extended = (off_t)ExtendedSize.load();
    return extended > size ? extended : size;
}

// After a read of `got` bytes that came back short: the bytes between the file's end and its
// seeming size, added behind them, with the position moved past them.
static uint32_t ReadExtension(int descriptor, uint8_t* buffer, uint32_t count, uint32_t got) {
    struct stat status;
    const off_t at = lseek(descriptor, 0, SEEK_CUR);
    if (ExtendedSize.load() == 0 || at < 0 || fstat(descriptor, &status) != 0 ||
        at < status.st_size || at >= SeemingSize(status.st_size)) {
        return got;
    }
    const off_t left = SeemingSize(status.st_size) - at;
    const uint32_t added = left < (off_t)(count - got) ? (uint32_t)left : count - got;
    memset(buffer + got, ExtensionValue.load(), added);
    lseek(descriptor, added, SEEK_CUR);
    return got + added;
}

PlatformFile VB_CALL OpenFileForReading(const char16_t* name) {
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
    return (PlatformFile)((intptr_t)descriptor + 1);
}

int32_t VB_CALL ReadFileBytes(PlatformFile file, void* buffer, uint32_t count,
                              uint32_t* delivered) {
    if (delivered) *delivered = 0;
    if (!file || !delivered || (!buffer && count != 0)) return 0;
    // A regular file delivers all it has in one read: fewer bytes only at its end.
    ssize_t got;
    do {
        got = read(DescriptorOf(file), buffer, count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return 0;
    *delivered = (uint32_t)got;
    if (*delivered < count) {
        FileEndsMet++;
        *delivered = ReadExtension(DescriptorOf(file), (uint8_t*)buffer, count, *delivered);
    }
    return 1;
}

uint32_t VB_CALL SetFilePosition(PlatformFile file, int32_t distance, int32_t origin) {
    if (!file) return PLATFORM_INVALID_POSITION;
    int descriptor = DescriptorOf(file);
    off_t target;
    if (origin == PLATFORM_SEEK_BEGIN) {
        // A target before the start fails in lseek itself and leaves the position.
        target = lseek(descriptor, (off_t)distance, SEEK_SET);
    } else if (origin == PLATFORM_SEEK_CURRENT) {
        target = lseek(descriptor, (off_t)distance, SEEK_CUR);
        // The answer is a 32-bit position whose all-ones value means failure: a move that lands
        // there or beyond (only in files of 4 GiB or more) fails and goes back.
        if (target >= (off_t)PLATFORM_INVALID_POSITION) {
            lseek(descriptor, target - distance, SEEK_SET);
            return PLATFORM_INVALID_POSITION;
        }
    } else if (origin == PLATFORM_SEEK_END) {
        // From the size, so that a target out of range is refused before anything moves.
        FileEndsMet++;
        struct stat status;
        if (fstat(descriptor, &status) != 0) return PLATFORM_INVALID_POSITION;
        off_t wanted = SeemingSize(status.st_size) + distance;
        if (wanted < 0 || wanted >= (off_t)PLATFORM_INVALID_POSITION) {
            return PLATFORM_INVALID_POSITION;
        }
        target = lseek(descriptor, wanted, SEEK_SET);
    } else {
        return PLATFORM_INVALID_POSITION;
    }
    return target < 0 ? PLATFORM_INVALID_POSITION : (uint32_t)target;
}

void VB_CALL CloseFile(PlatformFile file) {
    if (file) close(DescriptorOf(file));
}
