/*
 * rtk.cpp - the driver installer's entry points and the name of the current
 * program.
 */
#include "pf_user.h"
#include "qmstr.h"

extern "C" {

// Copies the name of the current program, "rtk" in this library, into buf
// (bounded like STR_copy) and returns buf. The trace's program filter is
// matched against it.
char *PF_GetCurrentProgram(char *buf, int32_t size) {
  if (buf == nullptr) return nullptr;
  return STR_copy(buf, "rtk", size);
}

}  // extern "C"
