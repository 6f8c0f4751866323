// The decode frame: what one decode owns, and its one exit.
//
// A decoder opens the frame (the file, through a cursor over the decode buffer), allocates its
// blocks through it, reads and reports progress through it, and leaves through FinishDecode,
// which frees the working blocks, and on failure the bits block and then the header block, closes
// the file and returns the result. A block's handle goes into the host's slot right after the
// allocation call, whatever it answered.
#ifndef VB_FRAMEWORK_DECODE_FRAME_H
#define VB_FRAMEWORK_DECODE_FRAME_H

#include <stdint.h>

#include "framework/file_cursor.h"
#include "framework/plugin.h"

enum : uint32_t { DECODE_FRAME_WORKING_BLOCKS = 2 };

struct DecodeFrame {
    FileCursor cursor;
    void** headerSlot;
    void** bitsSlot;
    uint8_t* header;
    uint8_t* bits;
    uint8_t* working[DECODE_FRAME_WORKING_BLOCKS];
    uint32_t workingCount;
    ProgressNotifier notifier;
    intptr_t userData;
    uint8_t* ownBuffer;  // the cursor's buffer when the module's one was taken
    int32_t holdsModuleBuffer;
};

// Opens the file at the picture's offset (see FileCursor). RESULT_FILE_ERROR when it cannot be
// opened; RESULT_MEMORY_ERROR when a decode running inside this one's notifier finds no buffer.
// Either way nothing stays open; FinishDecode may still be called.
int32_t OpenDecodeFrame(DecodeFrame* frame, const char16_t* fileName, int32_t offset,
                        void** headerSlot, void** bitsSlot, ProgressNotifier notifier,
                        intptr_t userData);

// Zero-filled blocks; null when the heap refuses (the caller answers RESULT_MEMORY_ERROR).
uint8_t* AllocateHeaderBlock(DecodeFrame* frame, uint32_t size);
uint8_t* AllocateBitsBlock(DecodeFrame* frame, uint32_t size);
// A block for this decode only, freed by FinishDecode.
uint8_t* AllocateWorkingBlock(DecodeFrame* frame, uint32_t size);

// Calls the notifier when there is one; its answer, 0 without one.
int32_t NotifyProgress(DecodeFrame* frame, int32_t current, int32_t total);

// Closes the file before the decode ends (a decoder that has all it needs in memory).
void CloseDecodeFile(DecodeFrame* frame);

// A whole decode: opens the frame, runs `decodeFile` inside it, and finishes with its result.
int32_t RunDecodeFrame(int32_t (*decodeFile)(DecodeFrame* frame), const char16_t* fileName,
                       int32_t offset, void** headerSlot, void** bitsSlot,
                       ProgressNotifier notifier, intptr_t userData);

// The one exit: frees the working blocks; unless the result is RESULT_OK, frees the bits block
// and then the header block; closes the file. Returns the result.
int32_t FinishDecode(DecodeFrame* frame, int32_t result);

// ---- Information calls ----------------------------------------------------------------------

// What one information call owns: the file, through a cursor over a header-sized buffer, and
// the block handed over with the record (MAG's comment), if any.
struct InfoFrame {
    FileCursor cursor;
    uint8_t buffer[INFO_BUFFER_SIZE];
    uint8_t* text;
};

// A zero-filled block that goes to the host with the record when the call succeeds; null when
// the heap refuses.
uint8_t* AllocateInfoText(InfoFrame* frame, uint32_t size);

// A whole information call: opens the file at the picture's offset (RESULT_FILE_ERROR when it
// cannot be), runs `readInfo`, which reads the header and, on success only, fills the record
// (cleared by the export), then closes the file and, unless the result is RESULT_OK, frees the
// text block. Returns the result.
int32_t RunInfoFrame(int32_t (*readInfo)(InfoFrame* frame, PictureInfoRecord* info),
                     const char16_t* fileName, int32_t offset, PictureInfoRecord* info);

#endif
