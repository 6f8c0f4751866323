#include "fake_filter.h"

#include <string.h>

FakeFilterCalls FakeCalls;
int32_t FakeAnswer = 0;

void ResetFakeFilter() {
    memset(&FakeCalls, 0, sizeof FakeCalls);
    FakeAnswer = 0;
}

static int32_t FakeAccept(const char16_t* fileName, const uint8_t* fileHead) {
    FakeCalls.acceptCount++;
    FakeCalls.fileName = fileName;
    FakeCalls.fileHead = fileHead;
    return FakeAnswer;
}

static int32_t FakeReadInfo(const char16_t* fileName, int32_t offset, PictureInfoRecord* info) {
    FakeCalls.infoCount++;
    FakeCalls.fileName = fileName;
    FakeCalls.offset = offset;
    FakeCalls.info = info;
    return FakeAnswer;
}

static int32_t FakeDecode(const char16_t* fileName, int32_t offset, void** headerSlot,
                          void** bitsSlot, ProgressNotifier notifier, intptr_t userData) {
    FakeCalls.decodeCount++;
    FakeCalls.fileName = fileName;
    FakeCalls.offset = offset;
    FakeCalls.headerSlot = headerSlot;
    FakeCalls.bitsSlot = bitsSlot;
    FakeCalls.notifier = notifier;
    FakeCalls.userData = userData;
    return FakeAnswer;
}

const FormatOperations ThisFormat = {FakeAccept, FakeReadInfo, FakeDecode, 1};

#define PLUGIN_MODULE_NAME "vbfake.spi"
#define PLUGIN_STRING_DESCRIPTION "FAKE to DIB filter version 9.99 Copyright (C) Velbrook"
#define PLUGIN_STRING_PATTERN "*.FAK"
#define PLUGIN_STRING_PATTERN_NAME "FAKE(*.fak)"
#define VB_DEFINE_MODULE_RESOURCES
#include "framework/resources.h"

const char16_t FakeDescription[] = u"FAKE to DIB filter version 9.99 Copyright (C) Velbrook";
const char16_t FakePattern[] = u"*.FAK";
const char16_t FakePatternName[] = u"FAKE(*.fak)";
