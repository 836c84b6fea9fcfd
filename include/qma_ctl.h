/*
 * qma_ctl.h - control commands for the loaded driver: one short text
 * (usually one XML element such as "<kversion/>") goes to the driver in one
 * exchange, and its result code and reply text come back.
 */
#ifndef RTK_QMA_CTL_H
#define RTK_QMA_CTL_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Size of the process-wide buffer that takes the exchange when a caller
 * passes no reply buffer. */
#define QMA_IGNORE_OUTPUT_SIZE 1024

/*
 * The raw exchange. `handle` is an open device handle, or 0 to open and
 * close the device within the call. `command` (may be null: no text) is
 * copied with its NUL to the start of `reply`, which the driver overwrites
 * with its answer within `replySize` bytes; a null `reply` selects the
 * 1024-byte discard buffer. Returns the driver's result word, BADFILE when
 * the request failed, DRVROPEN when the device could not be opened, or -1
 * (not a catalogue code) when the command does not fit the buffer.
 */
RTK_API int32_t qma_simpleCtl(int64_t handle, int64_t code, const char *command, char *reply,
                              int64_t replySize);

/*
 * The installer's entry: "hook" attaches the driver to the file system at
 * the path given by the attribute "file" or by the second word, "unhook" and
 * "hookdir" do nothing and answer SUCCESS; any other text goes to the driver
 * through qma_simpleCtl with control code 0. `command` must not be null and
 * may be changed in place.
 */
RTK_API int32_t qma_simpleXML(int64_t handle, char *command, char *reply, int64_t replySize);

RTK_EXTERN_C_END

#endif /* RTK_QMA_CTL_H */
