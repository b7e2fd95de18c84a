// Who is at the other end of a connection, from /proc, in a form safe to
// put in a console line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <sys/types.h>

namespace brim {

// The start time of process pid, in clock ticks after boot (/proc/PID/stat,
// field 22); with the pid it names one process for the life of the host.
// 0 when it cannot be read.
uint64_t ProcessStartTime(pid_t pid);

// The start time in a stat line: field 22, counted after the last ')' (the
// command name before it may hold spaces and parentheses). 0 when the line
// has no such field.
uint64_t StartTimeOfStatLine(std::string_view line);

// The program of process pid (/proc/PID/exe) into out, escaped as by
// EscapeForLog; "?" when it cannot be read.
void ProcessProgram(pid_t pid, std::span<char> out);

// Copies in into out as a NUL-terminated text in which every byte of 0x80
// or above, every control character, the braces and the backslash stand as
// \xNN, so no name can split a line, for any reader, or forge a field. A
// text that does not fit ends in "..." instead. out holds at least 8 bytes.
void EscapeForLog(std::string_view in, std::span<char> out);

} // namespace brim
