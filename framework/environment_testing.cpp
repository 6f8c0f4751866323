// The test builds' way back to the state before the probe. Built into the tests only, not
// into the plug-ins.
#include "framework/environment.h"

void ResetEnvironmentForTesting() {
    SystemVersion = 100;
    SmallScreen = 0;
    JapaneseMode = 0;
    JmenuFlag = 0;
    JtitleFlag = 0;
    ConverterReady = 0;
    ConversionLibrary = nullptr;
    unicode2sjis = nullptr;
    sjis2unicode = nullptr;
    jis2unicode = nullptr;
    NarrowText = NarrowByTruncation;
    WidenText = WidenByZeroExtension;
}
