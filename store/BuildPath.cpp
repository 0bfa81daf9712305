#include "BuildPath.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...) {
    std::string path = first ? first : "";
    va_list args;
    va_start(args, first);
    while (const char* part = va_arg(args, const char*)) {
        path += '/';
        path += part;
    }
    va_end(args);
    return path;
}
