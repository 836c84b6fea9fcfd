// platform_internal.h - what the platform layer's source files share with
// each other and with the file utilities, beyond the exported headers. The
// raw system calls are in pf_sys.h.
#pragma once

#include <cstdint>

#include "pf_file.h"
#include "pf_thread.h"

namespace rtk::platform {

// Text that trace lines show for an argument that may be null.
constexpr const char *Shown(const char *text) { return text != nullptr ? text : "(null)"; }

// Initialises sem with the count 0 (taken) or 1 (free), shared between
// processes or not; 0, or -1 for a null sem or a refused initialisation.
// PF_SemInit without its log line (unix_common.cpp).
int32_t InitSemaphore(PF_Semaphore *sem, bool shared, bool taken);

// PF_Stat of the entry `name` of a directory open for PF_ReadDir (its
// handle), looked up relative to that directory: the same record, result
// and trace lines as PF_Stat of path, the entry's whole path, without the
// kernel resolving every component of the path again (pf_unix_file.cpp).
int32_t StatEntry(uint64_t dirHandle, const char *name, const char *path, PF_Attrs *attrs);

}  // namespace rtk::platform
