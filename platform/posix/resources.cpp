// String resources of a module. On the handheld they sit in the module's string table, grouped
// in blocks of sixteen named (id / 16) + 1; here the module hands over its table at attach and
// the block structure is computed from it.
#include "posix_internal.h"

static const PlatformStringResource* FindString(const PlatformModuleResources* module,
                                                uint32_t id) {
    if (!module || !module->strings) return nullptr;
    uint32_t low = 0, high = module->stringCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        uint32_t middleId = module->strings[middle].id;
        if (middleId == id) return &module->strings[middle];
        if (middleId < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}

static size_t MeasureText(const char16_t* text) {
    return text ? MeasureWide(text) : 0;
}

int32_t VB_CALL LoadStringResource(PlatformInstance instance, uint32_t id, char16_t* buffer,
                                   int32_t capacity) {
    if (!buffer || capacity < 1) return 0;
    const PlatformStringResource* string = FindString((const PlatformModuleResources*)instance, id);
    if (!string) return 0;
    size_t length = MeasureText(string->text);
    size_t copy = length < (size_t)(capacity - 1) ? length : (size_t)(capacity - 1);
    for (size_t i = 0; i < copy; i++) buffer[i] = string->text[i];
    buffer[copy] = 0;
    return (int32_t)copy;
}

// Block number of a string id, as the resource compiler names the blocks.
static uint32_t StringBlockName(uint32_t id) {
    return id / 16 + 1;
}

const void* VB_CALL FindModuleResource(PlatformInstance instance, uint32_t type, uint32_t name) {
    const PlatformModuleResources* module = (const PlatformModuleResources*)instance;
    if (!module || !module->strings || type != PLATFORM_RT_STRING) return nullptr;
    // An empty string is not stored, so a block of empty strings does not exist.
    for (uint32_t i = 0; i < module->stringCount; i++) {
        const PlatformStringResource& string = module->strings[i];
        if (StringBlockName(string.id) == name && MeasureText(string.text) != 0) return &string;
    }
    return nullptr;
}

uint32_t VB_CALL LoadModuleResource(PlatformInstance instance, const void* resource) {
    const PlatformModuleResources* module = (const PlatformModuleResources*)instance;
    if (!module || !module->strings || !resource) return 0;
    const PlatformStringResource* first = module->strings;
    const PlatformStringResource* found = (const PlatformStringResource*)resource;
    if (found < first || found >= first + module->stringCount) return 0;
    // Sixteen entries, each a 16-bit length followed by that many 16-bit units.
    uint32_t block = StringBlockName(found->id);
    uint32_t size = 16 * 2;
    for (uint32_t i = 0; i < module->stringCount; i++) {
        if (StringBlockName(first[i].id) == block) size += (uint32_t)MeasureText(first[i].text) * 2;
    }
    return size;
}
