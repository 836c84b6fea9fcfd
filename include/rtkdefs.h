/*
 * rtkdefs.h - definitions shared by every public header of librtk.
 *
 * RTK_API marks a declaration that the library exports. Result codes are
 * signed 32-bit values from the catalogue in qmerror.h; 0 is success.
 */
#ifndef RTK_RTKDEFS_H
#define RTK_RTKDEFS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define RTK_API __attribute__((visibility("default")))
#else
#define RTK_API
#endif

#ifdef __cplusplus
#define RTK_EXTERN_C_BEGIN extern "C" {
#define RTK_EXTERN_C_END }
#else
#define RTK_EXTERN_C_BEGIN
#define RTK_EXTERN_C_END
#endif

/* A result code of the catalogue: 0 (SUCCESS) or one of the codes in qmerror.h. */
typedef int32_t RTK_Result;

#endif /* RTK_RTKDEFS_H */
