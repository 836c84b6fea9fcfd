/*
 * qmstr.h - bounded string basics, UTF-8/UTF-16 conversion, wildcards and
 * file-name shaping.
 *
 * Strings are 8-bit and NUL-terminated; a "size" is the byte count of the
 * caller's buffer, terminator included. Case-insensitive operations fold the
 * ASCII letters a-z only. None of these functions trace, allocate or keep
 * state, apart from the separator byte STR_thousandths.
 */
#ifndef RTK_QMSTR_H
#define RTK_QMSTR_H

#include <stdarg.h>
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Digit-group separator inserted by STR_commize and STR_pretty; ',' at load. */
RTK_API extern char STR_thousandths;

/* Copy and append. */
RTK_API char *STR_copy(char *dst, const char *src, int32_t size);
RTK_API char *STR_cat(char *dst, const char *src, int32_t size);

/* Numbers and comparison. */
RTK_API int64_t STR_toll(const char *s);
RTK_API int32_t STR_strcasecmp(const char *a, const char *b);
RTK_API int32_t STR_strncasecmp(const char *a, const char *b, int32_t n);
RTK_API int32_t STR_str2enum(const char *s, const char *const *table, int32_t count);
RTK_API int32_t STR_isNumeric(const char *s);

/* Search. */
RTK_API char *STR_strstrcase(const char *hay, const char *needle);
RTK_API char *STR_withinDir(const char *path, const char *dir);

/* Formatting. */
RTK_API char *STR_64toString(char *dst, int32_t size, int64_t value);
RTK_API void STR_commize(char *digits);
RTK_API char *STR_pretty(char *dst, int64_t bytes);
RTK_API int32_t STR_vsnprintf(char *buf, int32_t size, const char *fmt, va_list args);
RTK_API char *STR_snprintf(char *buf, int32_t size, const char *fmt, ...);

/* In-place edits. */
RTK_API char *STR_removeChars(char *s, uint32_t n);
RTK_API void STR_trim(char *s);
RTK_API char *STR_insertStr(char *s, uint32_t size, const char *ins);
RTK_API char *STR_substitute1(char *s, uint32_t size, const char *oldText, const char *newText);
RTK_API int32_t STR_substitute(char *s, uint32_t size, const char *oldText, const char *newText);
RTK_API int32_t STR_expandSlashes(char *s, uint32_t size);

/* UTF-8 <-> UTF-16 (native byte order, no byte-order mark). */
RTK_API int32_t utf8array_to_utf16asciz(const uint8_t *src, uint64_t n, uint16_t *dst, int64_t maxIndex);
RTK_API int32_t utf16array_to_utf8asciz(const uint16_t *src, uint64_t n, uint8_t *dst, int32_t size);

/* Wildcards and file-name shaping. */
RTK_API int32_t STR_wildcardMatch(const char *s, const char *pattern);
RTK_API void STR_splitName(const char *path, char *dir, char *base, char *ext, int32_t size);
RTK_API char *STR_makeSqueezedName(const char *name, char *out, int32_t size);
RTK_API char *STR_filebuildVersionName(const char *name, int32_t deleted, int64_t generation,
                                       char *out, int32_t size);

RTK_EXTERN_C_END

#endif /* RTK_QMSTR_H */
