#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

void Log::log(uint32_t package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;
    if (timestamped && strlen(format) > 10) {
        char stamp[129];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        size_t length = strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc);
        fprintf(stdout, "%.*s%s", static_cast<int>(length), stamp, SEPARATOR);
    }
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (fh) fputs(text, fh);
}
