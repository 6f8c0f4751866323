// The decode frame.
#include "framework/decode_frame.h"

#include <string.h>

#include "framework/checks.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <cpuid.h>
#endif

#if defined(VB_CHECKED_MODE)
int32_t DecodePathsSetting = DECODE_PATHS_FASTEST;
#endif

static bool ProcessorHasSsse3() {
#if defined(__GNUC__) && defined(__x86_64__)
    // 0 not asked yet, 1 no, 2 yes; every thread that asks gets the same answer.
    static int32_t answer = 0;
    int32_t known = __atomic_load_n(&answer, __ATOMIC_RELAXED);
    if (known == 0) {
        uint32_t eax, ebx, ecx, edx;
        const bool has = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSSE3) != 0;
        known = has ? 2 : 1;
        __atomic_store_n(&answer, known, __ATOMIC_RELAXED);
    }
    return known == 2;
#else
    return false;
#endif
}

int32_t PathsOnThisProcessor(int32_t chosen) {
    return chosen == DECODE_PATHS_FASTEST && !ProcessorHasSsse3() ? DECODE_PATHS_NO_SSSE3 : chosen;
}

// One decode at a time reads through this buffer. A decode started from inside another's
// notifier finds it taken and gets a local-heap block of its own.
static uint8_t ModuleDecodeBuffer[DECODE_BUFFER_SIZE];
static int32_t ModuleDecodeBufferTaken;

int32_t OpenDecodeFrame(DecodeFrame* frame, const char16_t* fileName, int32_t offset,
                        void** headerSlot, void** bitsSlot, ProgressNotifier notifier,
                        intptr_t userData) {
    memset(frame, 0, sizeof *frame);
    frame->headerSlot = headerSlot;
    frame->bitsSlot = bitsSlot;
    frame->notifier = notifier;
    frame->userData = userData;
    uint8_t* buffer = ModuleDecodeBuffer;
    if (ModuleDecodeBufferTaken) {
        frame->ownBuffer = (uint8_t*)AllocateBlock(DECODE_BUFFER_SIZE);
        if (!frame->ownBuffer) return RESULT_MEMORY_ERROR;
        buffer = frame->ownBuffer;
    } else {
        ModuleDecodeBufferTaken = 1;
        frame->holdsModuleBuffer = 1;
    }
    return OpenFileCursor(&frame->cursor, fileName, offset, buffer, DECODE_BUFFER_SIZE);
}

uint8_t* AllocateHeaderBlock(DecodeFrame* frame, uint32_t size) {
    frame->header = (uint8_t*)AllocateBlock(size);
    *frame->headerSlot = frame->header;
    return frame->header;
}

uint8_t* AllocateBitsBlock(DecodeFrame* frame, uint32_t size) {
    frame->bits = (uint8_t*)AllocateBlock(size);
    *frame->bitsSlot = frame->bits;
    return frame->bits;
}

uint8_t* AllocateWorkingBlock(DecodeFrame* frame, uint32_t size) {
    if (frame->workingCount == DECODE_FRAME_WORKING_BLOCKS) return nullptr;
    uint8_t* block = (uint8_t*)AllocateBlock(size);
    if (block) frame->working[frame->workingCount++] = block;
    return block;
}

int32_t NotifyProgress(DecodeFrame* frame, int32_t current, int32_t total) {
    return frame->notifier ? frame->notifier(current, total, frame->userData) : 0;
}

void CloseDecodeFile(DecodeFrame* frame) {
    CloseFileCursor(&frame->cursor);
}

int32_t FinishDecode(DecodeFrame* frame, int32_t result) {
    while (frame->workingCount > 0) FreeBlock(frame->working[--frame->workingCount]);
    if (result != RESULT_OK) {
        FreeBlock(frame->bits);
        FreeBlock(frame->header);
    }
    frame->bits = nullptr;
    frame->header = nullptr;
    CloseFileCursor(&frame->cursor);
    FreeBlock(frame->ownBuffer);
    frame->ownBuffer = nullptr;
    if (frame->holdsModuleBuffer) ModuleDecodeBufferTaken = 0;
    frame->holdsModuleBuffer = 0;
    return result;
}

int32_t RunDecodeFrame(int32_t (*decodeFile)(DecodeFrame* frame), const char16_t* fileName,
                       int32_t offset, void** headerSlot, void** bitsSlot,
                       ProgressNotifier notifier, intptr_t userData) {
    DecodeFrame frame;
    int32_t result =
        OpenDecodeFrame(&frame, fileName, offset, headerSlot, bitsSlot, notifier, userData);
    if (result == RESULT_OK) result = decodeFile(&frame);
    return FinishDecode(&frame, result);
}

uint8_t* AllocateInfoText(InfoFrame* frame, uint32_t size) {
    frame->text = (uint8_t*)AllocateBlock(size);
    return frame->text;
}

int32_t RunInfoFrame(int32_t (*readInfo)(InfoFrame* frame, PictureInfoRecord* info),
                     const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    InfoFrame frame;
    frame.text = nullptr;
    int32_t result =
        OpenFileCursor(&frame.cursor, fileName, offset, frame.buffer, sizeof frame.buffer);
    if (result != RESULT_OK) return result;
    result = readInfo(&frame, info);
    CloseFileCursor(&frame.cursor);
    if (result != RESULT_OK) FreeBlock(frame.text);
    return result;
}
