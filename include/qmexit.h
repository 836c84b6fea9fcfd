/*
 * qmexit.h - the call frame (entry and exit trace lines of every traced
 * function) and the process-wide list of exit handlers.
 *
 * A traced function starts with qmenter under its trace bit and its own
 * name, and leaves through exactly one exit writer with the value it returns:
 *
 *     int32_t f(int32_t x) {
 *         qmenter(QM_TRACE_FILE, "f", " x:%d\n", x);
 *         ...
 *         qmexit(QM_TRACE_FILE, "f", rc);
 *         return rc;
 *     }
 *
 * Entry and exit lines are Medium trace lines; an entry deepens the
 * indentation by one and its exit undoes it.
 */
#ifndef RTK_QMEXIT_H
#define RTK_QMEXIT_H

#include "qmtrace.h"
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Entry line: the format filled with the arguments. */
RTK_API void qmenter(uint64_t mask, const char *func, const char *fmt, ...) QM_PRINTF_LIKE(3, 4);

/* Exit lines: "Result:%d <mnemonic>", "Result:%d (0x%x)", "Result:%d TRUE|FALSE",
 * "Result:[<string>]" ("[null]" for null) and "Result:%p". */
RTK_API void qmexit(uint64_t mask, const char *func, int32_t rc);
RTK_API void qmexitn(uint64_t mask, const char *func, int32_t n);
RTK_API void qmexitb(uint64_t mask, const char *func, int32_t b);
RTK_API void qmexits(uint64_t mask, const char *func, const char *s);
RTK_API void qmexitp(uint64_t mask, const char *func, const void *p);

/* Exit handlers: 100 slots, filled in order and never emptied.
 * qmexit_register answers 0 when the handler is registered (or already was;
 * its first name stays) and -1 when the list is full. qmexit_rundown calls
 * the handlers newest first; the program that loads the library calls it
 * once as it shuts down. */
typedef void (*QMEXIT_Handler)(void);
RTK_API int32_t qmexit_register(QMEXIT_Handler handler, const char *name);
RTK_API void qmexit_rundown(void);

RTK_EXTERN_C_END

#endif /* RTK_QMEXIT_H */
