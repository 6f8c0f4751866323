// The buffered file cursor of the readers.
#include "framework/file_cursor.h"

#include <string.h>

#include "framework/checks.h"
#include "framework/plugin.h"

static const uint64_t UNKNOWN_POSITION = UINT64_MAX;

int32_t OpenFileCursor(FileCursor* cursor, const char16_t* fileName, int32_t origin,
                       uint8_t* buffer, uint32_t capacity) {
    memset(cursor, 0, sizeof *cursor);
    cursor->fileEnd = UNKNOWN_POSITION;
    if (origin < 0) return RESULT_FILE_ERROR;
    cursor->file = OpenFileForReading(fileName);
    if (!cursor->file) return RESULT_FILE_ERROR;
    cursor->buffer = buffer;
    cursor->capacity = capacity;
    cursor->origin = (uint32_t)origin;
    cursor->systemPosition = 0;  // a file opens at its first byte
    return RESULT_OK;
}

void CloseFileCursor(FileCursor* cursor) {
    if (cursor->file) CloseFile(cursor->file);
    cursor->file = nullptr;
}

int32_t SeekFileCursor(FileCursor* cursor, int64_t position) {
    if (position < 0 || cursor->origin + position > LARGEST_FILE_POSITION) {
        return RESULT_FILE_ERROR;
    }
    cursor->position = (uint64_t)position;
    return RESULT_OK;
}

int32_t SkipFileCursor(FileCursor* cursor, uint32_t count) {
    return SeekFileCursor(cursor, (int64_t)cursor->position + count);
}

uint32_t FileCursorPosition(const FileCursor* cursor) {
    return (uint32_t)cursor->position;
}

int32_t FileCursorAtEnd(const FileCursor* cursor) {
    return cursor->origin + cursor->position >= cursor->fileEnd ? 1 : 0;
}

// Reads up to `count` bytes at file position `at` into `destination`; `delivered` gets what the
// file had there. Meeting the end of the file is remembered. 0 when a platform call failed.
static int32_t ReadFromFile(FileCursor* cursor, uint64_t at, uint8_t* destination, uint32_t count,
                            uint32_t* delivered) {
    *delivered = 0;
    // The platform counts positions in 31 bits; nothing lies beyond for us.
    if (at >= cursor->fileEnd || at > LARGEST_FILE_POSITION) return 1;
    if (count > LARGEST_FILE_POSITION + 1 - at) count = (uint32_t)(LARGEST_FILE_POSITION + 1 - at);
    if (cursor->systemPosition != at) {
        if (SetFilePosition(cursor->file, (int32_t)at, PLATFORM_SEEK_BEGIN) != at) {
            cursor->systemPosition = UNKNOWN_POSITION;
            return 0;
        }
        cursor->systemPosition = at;
    }
    if (!ReadFileBytes(cursor->file, destination, count, delivered)) {
        cursor->systemPosition = UNKNOWN_POSITION;
        *delivered = 0;
        return 0;
    }
    if (*delivered > count) *delivered = count;
    cursor->systemPosition = at + *delivered;
    if (*delivered < count && at + count <= LARGEST_FILE_POSITION) {
        cursor->fileEnd = at + *delivered;
    }
    return 1;
}

// Makes file bytes [at, at + count) readable in the buffer, count at most the capacity: what the
// buffer already holds from `at` on moves to its front and one read fills the rest. Bytes past
// the end of the file read as 0. 0 when a read call failed.
static int32_t FillBuffer(FileCursor* cursor, uint64_t at, uint32_t count) {
    VB_ASSERT(count <= cursor->capacity);
    if (at >= cursor->bufferStart && at - cursor->bufferStart + count <= cursor->bufferValid) {
        return 1;
    }
    uint32_t kept = 0;
    if (at >= cursor->bufferStart && at < cursor->bufferStart + cursor->bufferFill) {
        kept = (uint32_t)(cursor->bufferStart + cursor->bufferFill - at);
        memmove(cursor->buffer, cursor->buffer + (at - cursor->bufferStart), kept);
    }
    cursor->bufferStart = at;
    cursor->bufferFill = kept;
    cursor->bufferValid = kept;
    uint32_t delivered = 0;
    if (!ReadFromFile(cursor, at + kept, cursor->buffer + kept, cursor->capacity - kept,
                      &delivered)) {
        return 0;
    }
    cursor->bufferFill += delivered;
    cursor->bufferValid = cursor->bufferFill;
    if (cursor->bufferValid < count) {
        memset(cursor->buffer + cursor->bufferValid, 0, count - cursor->bufferValid);
        cursor->bufferValid = count;
    }
    VB_ASSERT(cursor->bufferFill <= cursor->bufferValid && cursor->bufferValid <= cursor->capacity);
    return 1;
}

int32_t ReadFileCursor(FileCursor* cursor, void* destination, uint32_t count, uint32_t* real) {
    if (real) *real = 0;
    if (cursor->origin + cursor->position + count > LARGEST_FILE_POSITION) {
        return RESULT_FILE_ERROR;
    }
    uint8_t* out = (uint8_t*)destination;
    uint32_t left = count;
    uint32_t realBytes = 0;
    while (left > 0) {
        const uint64_t at = cursor->origin + cursor->position;
        const uint64_t validEnd = cursor->bufferStart + cursor->bufferValid;
        if (at >= cursor->bufferStart && at < validEnd) {
            const uint32_t take = validEnd - at < left ? (uint32_t)(validEnd - at) : left;
            memcpy(out, cursor->buffer + (at - cursor->bufferStart), take);
            const uint64_t realEnd = cursor->bufferStart + cursor->bufferFill;
            if (at < realEnd) realBytes += realEnd - at < take ? (uint32_t)(realEnd - at) : take;
            out += take;
            left -= take;
            cursor->position += take;
        } else if (left >= cursor->capacity) {
            // A read as large as the buffer goes straight to its destination.
            uint32_t delivered = 0;
            if (!ReadFromFile(cursor, at, out, left, &delivered)) return RESULT_FILE_ERROR;
            memset(out + delivered, 0, left - delivered);
            realBytes += delivered;
            cursor->position += left;
            left = 0;
        } else if (!FillBuffer(cursor, at, left)) {
            return RESULT_FILE_ERROR;
        }
    }
    if (real) *real = realBytes;
    return RESULT_OK;
}

const uint8_t* PeekFileCursor(FileCursor* cursor, uint32_t count) {
    // A reader that peeks more than the buffer holds has outgrown it (see DECODE_BUFFER_SIZE).
    VB_ASSERT(count <= cursor->capacity);
    if (count > cursor->capacity) return nullptr;
    const uint64_t at = cursor->origin + cursor->position;
    if (!FillBuffer(cursor, at, count)) return nullptr;
    VB_ASSERT(at >= cursor->bufferStart && at - cursor->bufferStart + count <= cursor->bufferValid);
    return cursor->buffer + (at - cursor->bufferStart);
}

int32_t SkipPastFileCursorByte(FileCursor* cursor, uint8_t value, uint32_t* count) {
    uint64_t passed = 0;
    for (;;) {
        const uint64_t at = cursor->origin + cursor->position;
        if (at >= cursor->fileEnd) return RESULT_FILE_ERROR;
        if (!FillBuffer(cursor, at, 1)) return RESULT_FILE_ERROR;
        // Only the bytes the file has are searched; zeros past its end are not part of it.
        const uint64_t realEnd = cursor->bufferStart + cursor->bufferFill;
        if (at >= realEnd) return RESULT_FILE_ERROR;
        const uint8_t* from = cursor->buffer + (at - cursor->bufferStart);
        const uint32_t length = (uint32_t)(realEnd - at);
        const uint8_t* found = (const uint8_t*)memchr(from, value, length);
        const uint32_t step = found ? (uint32_t)(found - from) + 1 : length;
        if (SkipFileCursor(cursor, step) != RESULT_OK) return RESULT_FILE_ERROR;
        passed += step;
        if (found) break;
    }
    if (count) *count = passed > UINT32_MAX ? UINT32_MAX : (uint32_t)passed;
    return RESULT_OK;
}

uint32_t FileCursorBytesLeft(FileCursor* cursor, uint32_t limit) {
    if (cursor->fileEnd == UNKNOWN_POSITION) {
        const uint32_t end = SetFilePosition(cursor->file, 0, PLATFORM_SEEK_END);
        cursor->systemPosition = end == PLATFORM_INVALID_POSITION ? UNKNOWN_POSITION : end;
        if (end == PLATFORM_INVALID_POSITION) return limit;
        cursor->fileEnd = end;
    }
    const uint64_t at = cursor->origin + cursor->position;
    const uint64_t left = at < cursor->fileEnd ? cursor->fileEnd - at : 0;
    return left < limit ? (uint32_t)left : limit;
}
