/*
 * qmtrace.h - the trace: 64-bit subsystem masks, three levels of detail, a
 * program filter, plain or XML output, the trace command and the writers.
 *
 * A trace line is written when its level is not above the trace level, the
 * program filter (if set) occurs in the current program's name, and its mask
 * shares a bit with the trace mask. Lines go to the message log as Print
 * lines, so they land where the log target says. Settings start as: mask 0,
 * level Fine, no program filter, plain mode.
 */
#ifndef RTK_QMTRACE_H
#define RTK_QMTRACE_H

#include <stdarg.h>
#include "qmlog.h"
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Trace levels. */
#define QM_TRACE_COARSE 0u
#define QM_TRACE_MEDIUM 1u
#define QM_TRACE_FINE 2u

/* Named subsystem bits. Bit 43 and bits 55-63 have no name. */
#define QM_TRACE_BASIC            (UINT64_C(1) << 0)
#define QM_TRACE_DEBUG1           (UINT64_C(1) << 1)
#define QM_TRACE_SYS              (UINT64_C(1) << 2)
#define QM_TRACE_HOOK             (UINT64_C(1) << 3)
#define QM_TRACE_HOOK_IO          (UINT64_C(1) << 4)
#define QM_TRACE_QMA              (UINT64_C(1) << 5)
#define QM_TRACE_REPLQ            (UINT64_C(1) << 6)
#define QM_TRACE_REPLT            (UINT64_C(1) << 7)
#define QM_TRACE_REPLK            (UINT64_C(1) << 8)
#define QM_TRACE_REPLD            (UINT64_C(1) << 9)
#define QM_TRACE_LOG              (UINT64_C(1) << 10)
#define QM_TRACE_EXEC             (UINT64_C(1) << 11)
#define QM_TRACE_AUDIT            (UINT64_C(1) << 12)
#define QM_TRACE_QML              (UINT64_C(1) << 13)
#define QM_TRACE_QML_OPEN         (UINT64_C(1) << 14)
#define QM_TRACE_QML_WRITE        (UINT64_C(1) << 15)
#define QM_TRACE_QML_CLOSE        (UINT64_C(1) << 16)
#define QM_TRACE_QML_META         (UINT64_C(1) << 17)
#define QM_TRACE_HTML             (UINT64_C(1) << 18)
#define QM_TRACE_HTML_GET         (UINT64_C(1) << 19)
#define QM_TRACE_HTML_SET         (UINT64_C(1) << 20)
#define QM_TRACE_XML              (UINT64_C(1) << 21)
#define QM_TRACE_QMQ              (UINT64_C(1) << 22)
#define QM_TRACE_METRIC           (UINT64_C(1) << 23)
#define QM_TRACE_ERR              (UINT64_C(1) << 24)
#define QM_TRACE_HASH             (UINT64_C(1) << 25)
#define QM_TRACE_IOCTL            (UINT64_C(1) << 26)
#define QM_TRACE_PF               (UINT64_C(1) << 27)
#define QM_TRACE_FILE             (UINT64_C(1) << 28)
#define QM_TRACE_LRP              (UINT64_C(1) << 29)
#define QM_TRACE_ANALFS           (UINT64_C(1) << 30)
#define QM_TRACE_ANALFS_XML       (UINT64_C(1) << 31)
#define QM_TRACE_ANALFS_FILES     (UINT64_C(1) << 32)
#define QM_TRACE_HTML_RESTORE     (UINT64_C(1) << 33)
#define QM_TRACE_EXPUNGE          (UINT64_C(1) << 34)
#define QM_TRACE_FNAME            (UINT64_C(1) << 35)
#define QM_TRACE_WORM             (UINT64_C(1) << 36)
#define QM_TRACE_CAS              (UINT64_C(1) << 37)
#define QM_TRACE_TABULATION       (UINT64_C(1) << 38)
#define QM_TRACE_QML_LIST         (UINT64_C(1) << 39)
#define QM_TRACE_MIRROR_META      (UINT64_C(1) << 40)
#define QM_TRACE_MIRROR_IO        (UINT64_C(1) << 41)
#define QM_TRACE_MIRROR_IOLIST    (UINT64_C(1) << 42)
#define QM_TRACE_MIRROR_DRAINER   (UINT64_C(1) << 44)
#define QM_TRACE_RENAME           (UINT64_C(1) << 45)
#define QM_TRACE_ASSOC            (UINT64_C(1) << 46)
#define QM_TRACE_VSB              (UINT64_C(1) << 47)
#define QM_TRACE_PACK             (UINT64_C(1) << 48)
#define QM_TRACE_FSMON            (UINT64_C(1) << 49)
#define QM_TRACE_SYSPROTECT       (UINT64_C(1) << 50)
#define QM_TRACE_PURGE            (UINT64_C(1) << 51)
#define QM_TRACE_VFTEST           (UINT64_C(1) << 52)
#define QM_TRACE_WS               (UINT64_C(1) << 53)
#define QM_TRACE_RTK              (UINT64_C(1) << 54)
/* The mask that the word "all" stands for: every bit except DEBUG1. */
#define QM_TRACE_ALL UINT64_C(0xFFFFFFFFFFFFFFFD)

/* Mask settings. TRACE_Get ignores a null pointer. LogOn answers nonzero
 * when mask shares a bit with the trace mask. */
RTK_API void TRACE_Set(uint64_t mask);
RTK_API void TRACE_AddBit(uint64_t bits);
RTK_API void TRACE_Get(uint64_t *mask);
RTK_API int32_t LogOn(uint64_t mask);

/* Mask text such as "RTK,FILE" or "all" to mask and back. TRACE_SetByStr
 * answers SUCCESS or IVLOGLVL (the mask is then unchanged). TRACE_mask2str
 * writes the names of the mask's bits, comma-separated, into out (size
 * bytes, always terminated when size >= 1). */
RTK_API int32_t TRACE_SetByStr(const char *text);
RTK_API void TRACE_mask2str(uint64_t mask, char *out, int32_t size);

/* Level by name ("Coarse", "Medium", "Fine", any case): SUCCESS, or
 * IVLOGLVL for any other name (the level is then unchanged). */
RTK_API int32_t TRACE_SetLevelByStr(const char *name);
RTK_API const char *TRACE_GetLevelStr(void);

/* Program filter: null or "" clears it; at most 15 characters are kept. */
RTK_API void TRACE_SetProgram(const char *program);
RTK_API const char *TRACE_GetProgram(void);

/* Output mode: 0 plain lines, nonzero XML records. */
RTK_API void TRACE_SetMode(int64_t mode);

/* Writes the current settings as a trace command,
 * <trace device="..." mask="..." level="..." program="..."/>, cut to size. */
RTK_API int32_t TRACE_getXmlTraceCommand(char *out, int32_t size);

/* Applies a trace command held in cmd (a buffer of size bytes, edited in
 * place). Answers SUCCESS, XMLRESPONSE with the current settings written
 * into cmd (when the command names neither a mask nor a device), IVLOGLVL
 * or IVLOGDEV. */
RTK_API int32_t TRACE_Parse_Common(char *cmd, int32_t size);

/* Trace writers at a fixed level; TRACE_LogL takes the level. */
RTK_API void TRACE_LogCoarse(uint64_t mask, const char *fmt, ...) QM_PRINTF_LIKE(2, 3);
RTK_API void TRACE_LogMedium(uint64_t mask, const char *fmt, ...) QM_PRINTF_LIKE(2, 3);
RTK_API void TRACE_LogFine(uint64_t mask, const char *fmt, ...) QM_PRINTF_LIKE(2, 3);
RTK_API void TRACE_LogL(uint64_t mask, uint32_t level, const char *fmt, ...) QM_PRINTF_LIKE(3, 4);

RTK_EXTERN_C_END

#endif /* RTK_QMTRACE_H */
