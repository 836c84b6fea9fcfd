/*
 * qmxml.h - the attribute scanner for the short XML-like texts that the
 * product exchanges: driver commands and replies, the trace command and the
 * elements of the messages file.
 *
 * The scanner works on one element's text at a time, changes it in place,
 * allocates nothing and keeps no state between calls. An attribute that
 * xml_getAssignment finds is blanked out of the text, so a second call with
 * the same key finds the next occurrence, and xml_packUnused can tell whether
 * anything the caller did not ask for is left.
 */
#ifndef RTK_QMXML_H
#define RTK_QMXML_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Finds the attribute `key` (letter case ignored) in `text`, copies its
 * decoded value into `out` (at most outSize - 1 characters, terminated) and
 * blanks the attribute in `text`. Returns `out` when the key was found as an
 * assignment or as a bare word, or null when it was not; `out` then holds
 * `dflt`. An outSize below 1 or a null `out` writes nothing anywhere and
 * returns null; a null `dflt` counts as the empty text. */
RTK_API char *xml_getAssignment(char *text, const char *key, char *out, int32_t outSize,
                                const char *dflt);

/* The attribute's value (or `dflt` when absent) read as a number with
 * STR_toll; a key present with an empty value gives 1. */
RTK_API int64_t xml_getAssignment64(char *text, const char *key, const char *dflt);
RTK_API int32_t xml_getAssignment32(char *text, const char *key, const char *dflt);

/* 1 when `text` starts with `keyword` (letter case ignored, one leading '<'
 * dropped from each) followed by the end, a blank, '/' or '>'; else 0. */
RTK_API int32_t xml_isKeyword(const char *keyword, const char *text);

/* The position just after the element's closing '>' (quotes honoured), or
 * the end of the text. */
RTK_API char *xml_advance(const char *text);

/* Copies the element starting at `src`, its '>' included, into `dst` (at
 * most dstSize - 1 characters, terminated) and returns the position after
 * the element. */
RTK_API char *xml_copy(char *dst, int32_t dstSize, const char *src);

/* Packs the white run after the element name down to one character when
 * attribute text follows it. Returns 1 if attribute text is left, else 0. */
RTK_API int32_t xml_packUnused(char *text);

/* Encodes '&', '\'', '"', '<' and '>' as entities, in that order, within
 * the `size` bytes of the buffer. A size below 1 changes nothing. */
RTK_API void xml_ConvertToAmpersands(char *text, int32_t size);

/* Records a region's address and length; the scanner itself never reads
 * them. */
RTK_API void xml_protect(void *address, uint32_t length);

RTK_EXTERN_C_END

#endif /* RTK_QMXML_H */
