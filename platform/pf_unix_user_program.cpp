/*
 * pf_unix_user_program.cpp - the name of the current program (pf_user.h),
 * which the trace's program filter is matched against.
 *
 * A primitive of its own: the trace asks for it, so it neither traces nor
 * logs. State: none.
 */
#include "pf_user.h"
#include "qmstr.h"

extern "C" {

// Copies the name of the current program, "rtk" in this library, into buf
// (bounded like STR_copy) and returns buf.
char *PF_GetCurrentProgram(char *buf, int32_t size) {
  if (buf == nullptr) return nullptr;
  return STR_copy(buf, "rtk", size);
}

}  // extern "C"
