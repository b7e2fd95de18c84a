/*
 * Console log of the daemon and the tool: one line per call,
 *   [YYYY-MM-DD hh:mm:ss][Level][Function][Line]message
 * to standard error for level "Error" and to standard output for every other
 * level. Each line is flushed as it is written, so nothing is lost when the
 * process is ended by a signal.
 */
#ifndef BRIM_CONSOLE_LOG_H
#define BRIM_CONSOLE_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

#define BRIM_LOG_LINE_SIZE 512 /* line buffer with its NUL: at most 511 characters */
#define BRIM_LOG_TIME_SIZE 64

/* Writes one line. Writes nothing when level or format is null, or when the
 * line (prefix and message) does not fit in 511 characters: such a message is
 * dropped whole, never shortened. Never reports a failure. */
void PrintLog(const char *level, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Writes the local time as "YYYY-MM-DD hh:mm:ss" into buf (size bytes,
 * NUL-terminated). Leaves buf unchanged when the time cannot be read, and
 * empties it when the text does not fit. */
void GetLogTime(char *buf, int size);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_CONSOLE_LOG_H */
