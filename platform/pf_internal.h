// pf_internal.h - helpers shared by the platform layer's source files, and
// the directory entry status that the file utilities' scan uses; not part
// of the library's interface.
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>

#include "pf_file.h"
#include "qmerror.h"

namespace rtk_platform {

// One row of an errno-to-result-code table.
struct ErrnoCode {
  int err;
  int32_t code;
};

// The platform layer's one error convention: the result code that a table
// gives for a system error number, BADFILE for any number not in the table.
constexpr int32_t MapErrno(int err, std::span<const ErrnoCode> table) {
  for (const ErrnoCode &row : table) {
    if (row.err == err) return row.code;
  }
  return QM_ERR_BADFILE;
}

// Text that trace lines show for a path argument that may be null.
constexpr const char *Shown(const char *text) { return text != nullptr ? text : "(null)"; }

// Runs a command line through "/bin/sh -c" and waits for it, as system()
// does, and returns the raw wait status; -1 when no shell could be started
// or its status could not be collected.
int RunShell(const char *command);

// PF_Stat of the entry `name` of a directory open for PF_ReadDir (its
// handle), looked up relative to that directory: the same record, result
// and trace lines as PF_Stat of path, the entry's whole path, without the
// kernel resolving every component of the path again.
int32_t StatEntry(uint64_t dirHandle, const char *name, const char *path, PF_Attrs *attrs);

}  // namespace rtk_platform
