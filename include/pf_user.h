/*
 * pf_user.h - the platform layer's identities, users and processes.
 */
#ifndef RTK_PF_USER_H
#define RTK_PF_USER_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Copies the name of the current program ("rtk" in this library) into buf,
 * bounded by size like STR_copy, and returns buf. */
RTK_API char *PF_GetCurrentProgram(char *buf, int32_t size);

RTK_EXTERN_C_END

#endif /* RTK_PF_USER_H */
