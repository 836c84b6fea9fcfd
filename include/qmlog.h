/*
 * qmlog.h - the message log: severities, the log target (system log or
 * terminal), the error count and error hook, and PF_Log, the writer of
 * finished lines.
 *
 * Every line gets the header "Quillmar <level> <prefix>" (none for Print
 * lines) and a time stamp in milliseconds; an immediate repeat of the
 * previous line is counted and announced once by the next different line.
 * All entry points may be called from any thread: the log and the trace
 * share one lock, so lines never mix.
 */
#ifndef RTK_QMLOG_H
#define RTK_QMLOG_H

#include <stdarg.h>
#include "rtkdefs.h"

#if defined(__GNUC__)
#define QM_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QM_PRINTF_LIKE(fmt_index, first_arg)
#endif

RTK_EXTERN_C_BEGIN

/* Log levels (severities). Levels above QM_LOG_PRINT are written as ERROR
 * lines but neither counted nor passed to the error hook. */
#define QM_LOG_PANIC 0u
#define QM_LOG_ERROR 1u
#define QM_LOG_WARN 2u
#define QM_LOG_INFO 3u
#define QM_LOG_PRINT 4u

/* Log targets: 0 the system log, 1 standard output; -1 means "no change"
 * to LOG_SetTarget. PF_Log sends every value other than 1 to the system log. */
#define QM_LOG_TARGET_FILE 0
#define QM_LOG_TARGET_SCREEN 1
#define QM_LOG_TARGET_UNCHANGED (-1)

/* Error hook: receives the level, the prefix, the format and the arguments
 * of every PANIC or ERROR message before its line is composed. The result
 * is ignored. A message that the hook logs itself is not passed to it again. */
typedef int32_t (*QMLOG_ErrHook)(uint32_t level, const char *prefix, const char *fmt, va_list args);

/* Number of PANIC and ERROR messages logged so far; 0 at load. */
RTK_API extern int32_t log_nerrors;
/* The error hook; null at load, set by the loading program. */
RTK_API extern QMLOG_ErrHook qmlog_errStat;

/* Target setters and getter. LOG_SetTarget(-1) changes nothing; a null
 * pointer to LOG_GetTarget is ignored. LOG_SetTargetByStr accepts "file",
 * "screen" and "terminal" in any case (null or "" changes nothing) and
 * answers SUCCESS or IVLOGDEV. */
RTK_API void LOG_SetTarget(int32_t target);
RTK_API void LOG_GetTarget(int32_t *target);
RTK_API int32_t LOG_SetTargetByStr(const char *name);

/* Writes one message at a level; LOG_Log uses an empty prefix. */
RTK_API void LOG_Log(uint32_t level, const char *fmt, ...) QM_PRINTF_LIKE(2, 3);
RTK_API void LOG_Logv(uint32_t level, const char *prefix, const char *fmt, va_list args)
    QM_PRINTF_LIKE(3, 0);

/* Writes a finished line: "%d %s" (decimal process ID) to standard output
 * for target 1, otherwise "%x %s" (hexadecimal process ID) to the system log
 * with identity "qma", facility daemon, priority error. */
RTK_API void PF_Log(int32_t target, const char *line);

RTK_EXTERN_C_END

#endif /* RTK_QMLOG_H */
