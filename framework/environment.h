// Start-up environment probe, the registry reader and the text converters.
#ifndef VB_FRAMEWORK_ENVIRONMENT_H
#define VB_FRAMEWORK_ENVIRONMENT_H

#include <stdint.h>

#include "platform/platform.h"

// A converter from UTF-16 to 8-bit text and one back. With size 0 they measure (units needed,
// terminator included); otherwise they convert, always end the output with a 0 unit inside the
// capacity and return the units written, terminator included.
typedef int32_t (*NarrowingConverter)(const char16_t* source, char* destination, int32_t size);
typedef int32_t (*WideningConverter)(const char* source, char16_t* destination, int32_t size);

// Entry points of KJMAP.DLL.
typedef uint32_t(VB_CALL* UnicodeToSjisFunction)(uint32_t unit);
typedef uint32_t(VB_CALL* SjisToUnicodeFunction)(int32_t lead, int32_t trail);
typedef uint32_t(VB_CALL* JisToUnicodeFunction)(int32_t high, int32_t low);

extern int32_t SystemVersion;   // major * 100 + minor; 100 until probed (and when the query fails)
extern int32_t SmallScreen;     // screen at most 240 pixels wide
extern int32_t JapaneseMode;
extern int32_t JmenuFlag;
extern int32_t JtitleFlag;
extern int32_t ConverterReady;
extern PlatformLibrary ConversionLibrary;
extern UnicodeToSjisFunction unicode2sjis;
extern SjisToUnicodeFunction sjis2unicode;
extern JisToUnicodeFunction jis2unicode;
extern NarrowingConverter NarrowText;
extern WideningConverter WidenText;

void ProbeEnvironment();
// 0 when the 4-byte value was read into *destination, else the platform's error code.
int32_t ReadSettingDword(PlatformRegistryKey root, const char16_t* keyPath,
                         const char16_t* valueName, uint32_t* destination);
// The "extended layouts" value under HKEY_CURRENT_USER\Software\Velbrook\PlugIn, read on every
// decode like "full color": non-zero lets the TGA and PCX readers decode the layouts beyond their
// default ones. 0 when it cannot be read.
uint32_t ReadExtendedLayoutsSetting();
int32_t BindConversionLibrary();

int32_t NarrowByTruncation(const char16_t* source, char* destination, int32_t size);
int32_t WidenByZeroExtension(const char* source, char16_t* destination, int32_t size);
int32_t NarrowBySystemCodePage(const char16_t* source, char* destination, int32_t size);
int32_t WidenBySystemCodePage(const char* source, char16_t* destination, int32_t size);
int32_t NarrowToShiftJis(const char16_t* source, char* destination, int32_t size);
int32_t WidenFromShiftJis(const char* source, char16_t* destination, int32_t size);
char16_t MapSingleByte(uint8_t byte);

// Puts every variable above back to its value before the probe. KJMAP.DLL stays loaded. Only
// the test programs have it (vbframework_testing); the plug-ins do not.
void ResetEnvironmentForTesting();

#endif
