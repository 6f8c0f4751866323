// The readers' one way into a file: a read position kept here, a read-ahead buffer, bytes past
// the end of the file read as 0, and one position limit.
//
// Every file call on the handheld is a trip into the system's file process, so the cursor asks the
// platform for a whole buffer at a time and serves rows, headers and single bytes from it; moving
// within the buffer costs nothing. Positions count from the picture's start in the file (the
// origin given at open) and stay at or below 2^31 - 1 counted from the file's start: a move or read
// that would go beyond is RESULT_FILE_ERROR. Bytes the file does not have read as 0, and the
// cursor says how many were real; once a refill has met the end of the file, the cursor knows it
// and reads nothing there again.
#ifndef VB_FRAMEWORK_FILE_CURSOR_H
#define VB_FRAMEWORK_FILE_CURSOR_H

#include <stdint.h>

#include "platform/platform.h"

enum : uint32_t {
    // The decoders' buffer: holds the widest window a reader peeks (static_asserts in the readers).
    DECODE_BUFFER_SIZE = 320 * 1024,
    // The information readers' buffer: a header, or a stretch of a MAG comment.
    INFO_BUFFER_SIZE = 512,
    LARGEST_FILE_POSITION = 0x7FFFFFFF,
};

struct FileCursor {
    PlatformFile file;  // null once closed
    uint8_t* buffer;
    uint32_t capacity;
    uint32_t origin;          // file position of cursor position 0
    uint64_t position;        // cursor position of the next byte
    uint64_t bufferStart;     // file position of buffer[0]
    uint32_t bufferFill;      // bytes of the buffer that came from the file
    uint32_t bufferValid;     // bytes that read right: the real ones, then zeros past the end
    uint64_t systemPosition;  // where the platform's file position stands
    uint64_t fileEnd;         // file size once a read has met the end; UINT64_MAX before
};

// Opens the file by name and places position 0 at `origin`. RESULT_FILE_ERROR when the file
// cannot be opened or the origin lies outside 0 .. 2^31 - 1 (nothing is left open then).
// The buffer belongs to the caller and must outlive the cursor.
int32_t OpenFileCursor(FileCursor* cursor, const char16_t* fileName, int32_t origin,
                       uint8_t* buffer, uint32_t capacity);
// Closes the file; closing again does nothing.
void CloseFileCursor(FileCursor* cursor);

// Moves to `position` (counted from the origin). RESULT_FILE_ERROR beyond the limit.
int32_t SeekFileCursor(FileCursor* cursor, int64_t position);
int32_t SkipFileCursor(FileCursor* cursor, uint32_t count);
uint32_t FileCursorPosition(const FileCursor* cursor);

// Reads `count` bytes to `destination` and moves past them; bytes the file lacks read as 0.
// `real` (may be null) gets how many came from the file. RESULT_FILE_ERROR when a read call
// fails or the position would pass the limit.
int32_t ReadFileCursor(FileCursor* cursor, void* destination, uint32_t count, uint32_t* real);

// The next `count` bytes (at most the capacity) in the cursor's buffer, without moving: valid
// until the next call on the cursor. Null when a read call fails.
const uint8_t* PeekFileCursor(FileCursor* cursor, uint32_t count);

// Moves past the first byte equal to `value` from the position on; `count` (may be null) gets the
// bytes passed, that byte included. RESULT_FILE_ERROR when the file ends first or a read fails.
int32_t SkipPastFileCursorByte(FileCursor* cursor, uint8_t value, uint32_t* count);

// 1 when the position is known to lie at or past the end of the file: every byte from here on
// reads as 0. 0 when it does not, or the cursor has not met the end yet.
int32_t FileCursorAtEnd(const FileCursor* cursor);

// Bytes the file holds from the position on, at most `limit`. Asks the file for its size when
// the cursor has not met the end; `limit` when the size cannot be had.
uint32_t FileCursorBytesLeft(FileCursor* cursor, uint32_t limit);

#endif
