// What the library learns about its device at attach: system version, screen width, language,
// the registry switches, and the text converters that follow from them.
#include "framework/environment.h"

int32_t SystemVersion = 100;
int32_t SmallScreen = 0;
int32_t JapaneseMode = 0;
int32_t JmenuFlag = 0;
int32_t JtitleFlag = 0;
int32_t ConverterReady = 0;
PlatformLibrary ConversionLibrary = nullptr;
UnicodeToSjisFunction unicode2sjis = nullptr;
SjisToUnicodeFunction sjis2unicode = nullptr;
JisToUnicodeFunction jis2unicode = nullptr;
NarrowingConverter NarrowText = NarrowByTruncation;
WideningConverter WidenText = WidenByZeroExtension;

static const char16_t SettingsKeyPath[] = u"Software\\Velbrook";

enum : int32_t { NARROW_SCREEN_WIDTH = 240, VERSION_WITH_JAPANESE_SWITCHES = 200 };
enum : uint16_t { PRIMARY_LANGUAGE_MASK = 0x3FF, LANGUAGE_JAPANESE = 0x11 };

// A converter that does not go through the platform accepts no negative capacity: it neither
// measures nor writes then.
static int32_t IsUsableCapacity(int32_t size) {
    return size >= 0;
}

int32_t ReadSettingDword(PlatformRegistryKey root, const char16_t* keyPath,
                         const char16_t* valueName, uint32_t* destination) {
    PlatformRegistryKey key = nullptr;
    int32_t result = OpenRegistryKey(root, keyPath, 0, PLATFORM_KEY_ALL_ACCESS, &key);
    if (result != PLATFORM_ERROR_SUCCESS) return result;
    // The type is not looked at: any value of up to 4 bytes counts (a shorter one fills only
    // its own bytes); a longer one makes the query fail.
    uint32_t type = 0;
    uint32_t size = 4;
    result = QueryRegistryValue(key, valueName, &type, destination, &size);
    CloseRegistryKey(key);
    return result;
}

uint32_t ReadExtendedLayoutsSetting() {
    uint32_t extended = 0;
    if (ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, u"Software\\Velbrook\\PlugIn",
                         u"extended layouts", &extended) != PLATFORM_ERROR_SUCCESS) {
        return 0;
    }
    return extended;
}

int32_t BindConversionLibrary() {
    if (ConversionLibrary != nullptr) return 1;
    ConversionLibrary = LoadLibraryByName(u"KJMAP.DLL");
    if (ConversionLibrary == nullptr) return 0;
    unicode2sjis = reinterpret_cast<UnicodeToSjisFunction>(
        FindLibrarySymbol(ConversionLibrary, u"unicode2sjis"));
    sjis2unicode = reinterpret_cast<SjisToUnicodeFunction>(
        FindLibrarySymbol(ConversionLibrary, u"sjis2unicode"));
    jis2unicode = reinterpret_cast<JisToUnicodeFunction>(
        FindLibrarySymbol(ConversionLibrary, u"jis2unicode"));
    NarrowText = NarrowToShiftJis;
    WidenText = WidenFromShiftJis;
    return 1;
}

static void EnterJapaneseMode() {
    ConverterReady = 1;
    JtitleFlag = 1;
    JmenuFlag = 1;
    JapaneseMode = 1;
    // A Japanese system converts Shift-JIS itself; KJMAP.DLL is not needed.
    NarrowText = NarrowBySystemCodePage;
    WidenText = WidenBySystemCodePage;
}

void ProbeEnvironment() {
    uint32_t major = 0;
    uint32_t minor = 0;
    if (QuerySystemVersion(&major, &minor) != 0) {
        SystemVersion = (int32_t)(major * 100 + minor);
    }
    SmallScreen = QueryScreenWidth() <= NARROW_SCREEN_WIDTH ? 1 : 0;

    uint16_t language = QueryDefaultLanguage();
    if ((language & PRIMARY_LANGUAGE_MASK) == LANGUAGE_JAPANESE) {
        uint32_t forceEnglish = 0;
        int32_t read = ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, SettingsKeyPath,
                                        u"Force english", &forceEnglish);
        if (read != PLATFORM_ERROR_SUCCESS || forceEnglish == 0) {
            EnterJapaneseMode();
            return;
        }
    }

    // Values are read into locals first so that a failed read leaves the flag as it was.
    if (SystemVersion >= VERSION_WITH_JAPANESE_SWITCHES) {
        uint32_t value = 0;
        if (ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, SettingsKeyPath, u"Jmenu", &value) ==
            PLATFORM_ERROR_SUCCESS) {
            JmenuFlag = (int32_t)value;
        }
        value = 0;
        if (ReadSettingDword(PLATFORM_HKEY_CURRENT_USER, SettingsKeyPath, u"Jtitle", &value) ==
            PLATFORM_ERROR_SUCCESS) {
            JtitleFlag = (int32_t)value;
        }
    }
    if (BindConversionLibrary() == 1) ConverterReady = 1;
}

// ---- Default converters: one unit per byte --------------------------------------------------

// Both defaults copy unit by unit, each unit keeping its low 8 bits' value: UTF-16 narrowed to
// its low byte, a byte widened to the unit of the same value (0 to 255).
template <typename From, typename To>
static int32_t CopyUnitByUnit(const From* source, To* destination, int32_t size) {
    if (!IsUsableCapacity(size)) return 0;
    int32_t n = 1;
    if (size == 0) {
        while (source[n - 1] != 0) n++;
        return n;
    }
    while (*source != 0 && n < size) {
        *destination++ = (To)(uint8_t)*source++;
        n++;
    }
    *destination = 0;
    return n;
}

int32_t NarrowByTruncation(const char16_t* source, char* destination, int32_t size) {
    return CopyUnitByUnit(source, destination, size);
}

int32_t WidenByZeroExtension(const char* source, char16_t* destination, int32_t size) {
    return CopyUnitByUnit(source, destination, size);
}

// ---- The system's own code page (Japanese mode) ---------------------------------------------

int32_t NarrowBySystemCodePage(const char16_t* source, char* destination, int32_t size) {
    return WideToSystemCodePage(source, -1, destination, size);
}

int32_t WidenBySystemCodePage(const char* source, char16_t* destination, int32_t size) {
    return SystemCodePageToWide(source, -1, destination, size);
}

// ---- Shift-JIS through KJMAP.DLL ------------------------------------------------------------

static int32_t IsShiftJisLeadByte(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFD);
}

int32_t NarrowToShiftJis(const char16_t* source, char* destination, int32_t size) {
    // A library without this entry point leaves the default behaviour for this direction.
    if (unicode2sjis == nullptr) return NarrowByTruncation(source, destination, size);
    if (!IsUsableCapacity(size)) return 0;
    int32_t n = 1;
    if (size == 0) {
        for (; *source != 0; source++) {
            uint32_t code = unicode2sjis(*source) & 0xFFFF;
            n += (code >> 8) != 0 ? 2 : 1;
        }
        return n;
    }
    while (*source != 0 && n < size) {
        uint32_t code = unicode2sjis(*source) & 0xFFFF;
        if (code == 0) {
            *destination++ = '?';
        } else if ((code >> 8) != 0) {
            *destination++ = (char)(uint8_t)(code >> 8);
            n++;
            // No room for the trail byte: a lone lead byte ends the text.
            if (n >= size) break;
            *destination++ = (char)(uint8_t)code;
        } else {
            *destination++ = (char)(uint8_t)code;
        }
        source++;
        n++;
    }
    *destination = 0;
    return n;
}

char16_t MapSingleByte(uint8_t byte) {
    // 0xA1..0xDF are the half-width katakana U+FF61..U+FF9F; the rest keep their value.
    if (byte >= 0xA1 && byte <= 0xDF) return (char16_t)(byte + 0xFEC0);
    return (char16_t)byte;
}

int32_t WidenFromShiftJis(const char* source, char16_t* destination, int32_t size) {
    if (sjis2unicode == nullptr) return WidenByZeroExtension(source, destination, size);
    if (!IsUsableCapacity(size)) return 0;
    const uint8_t* bytes = (const uint8_t*)source;
    int32_t n = 1;
    if (size == 0) {
        while (*bytes != 0) {
            // A lead byte right before the terminator counts as one character and ends the text.
            bytes += (IsShiftJisLeadByte(*bytes) && bytes[1] != 0) ? 2 : 1;
            n++;
        }
        return n;
    }
    while (*bytes != 0 && n < size) {
        if (IsShiftJisLeadByte(*bytes)) {
            if (bytes[1] == 0) {
                // The trail byte is missing: mark the broken character and stop at the terminator.
                *destination++ = u'?';
                n++;
                break;
            }
            // The library takes the lead byte as a signed char and the trail byte unsigned.
            uint32_t unit = sjis2unicode((int32_t)(int8_t)bytes[0], (int32_t)bytes[1]) & 0xFFFF;
            *destination++ = unit != 0 ? (char16_t)unit : u'?';
            bytes += 2;
        } else {
            *destination++ = MapSingleByte(*bytes);
            bytes++;
        }
        n++;
    }
    *destination = 0;
    return n;
}
