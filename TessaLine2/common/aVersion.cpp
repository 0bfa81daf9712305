#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kCurrentTag = 0x2F;

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

// The library's version text, built once; initialisation of a function-local static is
// thread-safe, so concurrent first callers all see the finished text.
const char* sVersionText() {
    static const struct Text {
        char buffer[15];
        Text() {
            snprintf(buffer, sizeof buffer, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, ".",
                     aVERSION_PATCH);
        }
    } text;
    return text.buffer;
}

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t packed) {
    uint32_t major = packed >> 28;
    uint32_t minor = (packed >> 24) & 0xF;
    return major < 2 || (major == 2 && minor < 15);
}

uint32_t aVersion_ParseMajor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? packed >> 28 : (packed >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0xF : (packed >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? packed & 0xFFFFFF : packed & 0xFF;
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    if (!buffer) size = 0;
    return snprintf(buffer, size, "%d.%d.%d", static_cast<int>(aVersion_ParseMajor(packed)),
                    static_cast<int>(aVersion_ParseMinor(packed)),
                    static_cast<int>(aVersion_ParsePatch(packed)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return (uint32_t{kCurrentTag} << 24) | (uint32_t{major} << 16) | (uint32_t{minor} << 8) |
               patch;
    return (uint32_t{major} << 28) | (uint32_t{minor & 0xFu} << 24) | patch;
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
    if (major1 != major2) return major1 > major2;
    if (minor1 != minor2) return minor1 > minor2;
    return patch1 >= patch2;
}

uint8_t aVersion_GetMajor() {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor() {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch() {
    return aVERSION_PATCH;
}
const char* aVersion_GetString() {
    return sVersionText();
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const Feature& feature : kFeatures)
        if (strcmp(feature.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList() {
    size_t size = 1;
    for (const Feature& feature : kFeatures)
        size += strlen(feature.name) + strlen(" - ") + strlen(feature.description) + 1;
    auto* list = static_cast<char*>(malloc(size));
    if (!list) return nullptr;
    size_t used = 0;
    for (const Feature& feature : kFeatures)
        used += static_cast<size_t>(snprintf(list + used, size - used, "%s%s - %s",
                                             used ? "\n" : "", feature.name, feature.description));
    list[used] = '\0';
    return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
    if (!list) return aErrParam;
    free(*list);
    *list = nullptr;
    return aErrNone;
}
