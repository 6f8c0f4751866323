// A filter that decodes nothing: it records each call the exports make and answers with the
// result the test chose.
#ifndef VB_TESTS_FRAMEWORK_FAKE_FILTER_H
#define VB_TESTS_FRAMEWORK_FAKE_FILTER_H

#include "framework/format.h"

struct FakeFilterCalls {
    int acceptCount;
    int infoCount;
    int decodeCount;
    const char16_t* fileName;
    const uint8_t* fileHead;
    int32_t offset;
    PictureInfoRecord* info;
    void** headerSlot;
    void** bitsSlot;
    ProgressNotifier notifier;
    intptr_t userData;
};

extern FakeFilterCalls FakeCalls;
// What the next operation answers.
extern int32_t FakeAnswer;

void ResetFakeFilter();

// The fake's information strings, as the tests expect to read them back.
extern const char16_t FakeDescription[];
extern const char16_t FakePattern[];
extern const char16_t FakePatternName[];

#endif
