// Test support: a ZorvaLogIntf that keeps every line it receives, message
// formatted, for the test to look at. Two independent recorders (A and B)
// tell which log function a line went to.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "zorva_main.h"

namespace zorva_test {

struct LogLine {
    int32_t module;
    int32_t level;
    std::string function;
    int32_t line;
    int32_t code;
    std::string format;
    std::string message;
};

class LogRecorder {
public:
    void Add(LogLine line)
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<LogLine> Lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    // Lines whose format is exactly fmt.
    std::vector<LogLine> WithFormat(const std::string &fmt) const
    {
        std::vector<LogLine> out;
        for (const LogLine &l : Lines()) {
            if (l.format == fmt) {
                out.push_back(l);
            }
        }
        return out;
    }
    bool Has(const std::string &fmt) const { return !WithFormat(fmt).empty(); }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

inline LogRecorder &RecorderA()
{
    static LogRecorder r;
    return r;
}

inline LogRecorder &RecorderB()
{
    static LogRecorder r;
    return r;
}

inline LogLine FormatLine(int32_t module, int32_t level, const char *function, int32_t line, int32_t code,
                          const char *format, va_list ap)
{
    char buffer[2048];
    std::vsnprintf(buffer, sizeof buffer, format, ap);
    return LogLine{module, level, function != nullptr ? function : "", line, code, format != nullptr ? format : "",
                   buffer};
}

inline void LogToA(int32_t module, int32_t level, const char *function, int32_t line, int32_t code,
                   const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    RecorderA().Add(FormatLine(module, level, function, line, code, format, ap));
    va_end(ap);
}

inline void LogToB(int32_t module, int32_t level, const char *function, int32_t line, int32_t code,
                   const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    RecorderB().Add(FormatLine(module, level, function, line, code, format, ap));
    va_end(ap);
}

} // namespace zorva_test
