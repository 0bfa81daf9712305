#include "aDefs.h"

#include <cstdarg>
#include <cstdio>

uint8_t aTessaLineDebuggingEnable = 0;
uint32_t aTessaLineDebuggingLevel = 0;

const char* aDefs_GetModelName(uint32_t model) {
    static const char* const kNames[] = {
        "Beryl",  "Cobalt", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        "Dolomite", "Feldspar", "Garnet", "Gypsum", "Jasper", "Marble", "Onyx", "Opal",
        "Pyrite", "Quartz", "Talc", "Topaz", "Zircon", "Basalt", "Mica",
    };
    constexpr uint32_t kFirst = 4;
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == 27 - kFirst + 1);
    if (model < kFirst || model - kFirst >= sizeof(kNames) / sizeof(kNames[0])) return "Unknown";
    const char* name = kNames[model - kFirst];
    return name ? name : "Unknown";
}

bool aDefs_DebugOn(uint32_t area) {
    return (aTessaLineDebuggingEnable & 1) != 0 && (aTessaLineDebuggingLevel & area) != 0;
}

void aDefs_Trace(uint32_t area, const char* format, ...) {
    if (!aDefs_DebugOn(area)) return;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
