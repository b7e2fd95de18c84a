/*
 * Bounded memory, string and formatted-output functions.
 *
 * Every function takes the size of its destination (destMax) and never writes
 * beyond it. The copy, fill and string functions return one of the codes
 * below; a code with BOUNDED_RESET_BIT set means the destination was reset
 * before returning (copy: all destMax bytes zeroed; fill: all destMax bytes
 * set to the fill value; string copy: dest[0] set to NUL only). With a null
 * dest or destMax out of range nothing is written. The formatted-output
 * functions return the number of characters written (without the NUL) or -1.
 *
 * All names have C linkage and default visibility: the programs that link
 * this library export them to the agent library they load.
 */
#ifndef BOUNDED_H
#define BOUNDED_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOUNDED_API __attribute__((visibility("default")))

#define BOUNDED_OK 0
#define BOUNDED_EINVAL 22
#define BOUNDED_ERANGE 34
#define BOUNDED_RESET_BIT 128
#define BOUNDED_EINVAL_RESET (BOUNDED_EINVAL | BOUNDED_RESET_BIT) /* 150 */
#define BOUNDED_ERANGE_RESET (BOUNDED_ERANGE | BOUNDED_RESET_BIT) /* 162 */
#define BOUNDED_OVERLAP_RESET (54 | BOUNDED_RESET_BIT)            /* 182 */
#define BOUNDED_MAX_LEN ((size_t)0x7FFFFFFF)

/* Copies count bytes from src to dest. 0 on success and for the harmless
 * no-ops (count 0, dest == src); 34 destMax out of range; 22 dest null;
 * 150 src null; 162 count > destMax; 182 overlapping ranges. */
BOUNDED_API int memcpy_s(void *dest, size_t destMax, const void *src, size_t count);
/* As memcpy_s; copies of 1..64 bytes are done inline. */
BOUNDED_API int memcpy_sOptAsm(void *dest, size_t destMax, const void *src, size_t count);
/* As memcpy_sOptAsm, but a destMax above BOUNDED_MAX_LEN passes the fast test. */
BOUNDED_API int memcpy_sOptTc(void *dest, size_t destMax, const void *src, size_t count);

/* Fills count bytes of dest with the low byte of c. 0 on success (count 0
 * included, even with destMax 0); 34 destMax out of range; 22 dest null;
 * 162 count > destMax, after filling all destMax bytes with c. */
BOUNDED_API int memset_s(void *dest, size_t destMax, int c, size_t count);
/* As memset_s; fills of up to 32 bytes are done inline. */
BOUNDED_API int memset_sOptAsm(void *dest, size_t destMax, int c, size_t count);
/* As memset_sOptAsm, but a destMax above BOUNDED_MAX_LEN passes the fast test. */
BOUNDED_API int memset_sOptTc(void *dest, size_t destMax, int c, size_t count);

/* Copies the NUL-terminated src, terminator included. 0 on success; 34, 22,
 * 150 (src null), 162 (does not fit in destMax), 182 (overlap). On 150, 162
 * and 182 only dest[0] is set to NUL. Reads at most destMax bytes of src. */
BOUNDED_API int strcpy_s(char *dest, size_t destMax, const char *src);
/* The failure classifier of strcpy_s; never tests for overlap. */
BOUNDED_API int strcpy_error(char *dest, size_t destMax, const char *src);

/* Formats into dest of destMax bytes (1..BOUNDED_MAX_LEN, NUL included).
 * Returns the number of characters written, NUL not counted, when the whole
 * output fits; a result is never delivered shortened. Otherwise -1:
 * - dest or format null: dest[0] = NUL when dest and destMax are usable;
 * - destMax 0 or above BOUNDED_MAX_LEN: dest untouched;
 * - a refused directive (n, a and other letters outside the supported set,
 *   a misplaced %, . or *, a width or precision above 214748369 in digits
 *   or 214748360 from an argument, a wide character the locale cannot
 *   convert, a format ending inside a directive): dest[0] = NUL;
 * - output of destMax characters or more: dest[0] and dest[destMax - 1] =
 *   NUL, the bytes between hold the output's characters at those places.
 * Integer precision is capped at 512. Floating-point directives are
 * formatted by the C library, in the process's locale. No heap is used
 * except for floating-point text longer than 512 bytes. */
BOUNDED_API int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* As sprintf_s; works on a copy of argList, so the caller's list is left
 * as it was. */
BOUNDED_API int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
    __attribute__((format(printf, 3, 0)));
/* The formatting core behind vsprintf_s; checks none of its arguments:
 * string and format must not be null and 1 <= count <= BOUNDED_MAX_LEN.
 * argList is consumed, as by vsnprintf. Returns the character count; -1 when a directive was refused
 * (string[0] = NUL); -2 when the output did not fit (string[count - 1] =
 * NUL, string[0] still holds the first character). */
BOUNDED_API int SecVsnprintfImpl(char *string, size_t count, const char *format, va_list argList);

#ifdef __cplusplus
}
#endif

#endif /* BOUNDED_H */
