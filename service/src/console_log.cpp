// Console log: one formatted line per call, flushed at once.
#include "console_log.h"

#include "bounded.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" void GetLogTime(char *buf, int size)
{
    if (buf == nullptr || size <= 0) {
        return;
    }
    const time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        return;
    }
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) {
        return;
    }
    if (sprintf_s(buf, static_cast<size_t>(size), "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec) < 0) {
        buf[0] = '\0';
    }
}

extern "C" void PrintLog(const char *level, const char *function, int line, const char *format, ...)
{
    if (level == nullptr || format == nullptr) {
        return;
    }
    char stamp[BRIM_LOG_TIME_SIZE];
    char text[BRIM_LOG_LINE_SIZE];
    (void)memset_s(stamp, sizeof(stamp), 0, sizeof(stamp));
    (void)memset_s(text, sizeof(text), 0, sizeof(text));
    GetLogTime(stamp, static_cast<int>(sizeof(stamp)));

    const int prefix = sprintf_s(text, sizeof(text), "[%s][%s][%s][%d]", stamp, level,
                                 function != nullptr ? function : "", line);
    if (prefix < 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int message = vsprintf_s(text + prefix, sizeof(text) - static_cast<size_t>(prefix), format, args);
    va_end(args);
    if (message < 0) {
        return;
    }
    // The daemon ends only by a signal, which would discard a stream buffer:
    // every line is pushed out before returning.
    FILE *stream = strcmp(level, "Error") == 0 ? stderr : stdout;
    (void)fprintf(stream, "%s\n", text);
    (void)fflush(stream);
}
