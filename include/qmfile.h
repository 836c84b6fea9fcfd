/*
 * qmfile.h - file utilities: path joining, copies, directory chains,
 * comparisons, scans, tree walks, tails and line counts.
 */
#ifndef RTK_QMFILE_H
#define RTK_QMFILE_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Joins name onto the directory path held in buf (size bytes in all) with
 * exactly one '/' between them; answers where the name starts in buf. */
RTK_API char *qmfile_dircat(char *buf, int32_t size, const char *name);

RTK_EXTERN_C_END

#endif /* RTK_QMFILE_H */
