// pf_sys.h - the one home of the library's raw system calls (pf_sys.cpp).
//
//   guards       Fd (a file descriptor), DirHandle (a directory stream as
//                PF_OpenDir hands it out)
//   signals      RetryOnSignal, the one place that repeats an interrupted call
//   errors       CodeForErrno, the one map from a system error to a code
//   files        whole reads and writes, seeks, safe opens of package files
//   trees        removal of a directory tree without a shell
//   processes    running a shell command line, waiting for a child
//
// The file utilities, the installer and the driver channel call these
// instead of the C library. Nothing here traces, logs or allocates, so the
// module sits under the diagnostics. Calls answer as the system calls do
// (-1 with errno set) unless their comment says otherwise, and errno is left
// as the failing call set it.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

#include "qmerror.h"

namespace rtk::platform {

// ---- guards -----------------------------------------------------------------

// Owns a file descriptor and closes it when it goes. close() is not repeated
// after a signal: on Linux the descriptor is released even then.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Gives the descriptor to the caller, who closes it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The directory stream behind a handle of PF_OpenDir (0: none).
inline DIR *StreamOf(uint64_t handle) { return reinterpret_cast<DIR *>(static_cast<uintptr_t>(handle)); }

// Owns a directory handle of PF_OpenDir and closes its stream when it goes.
class DirHandle {
 public:
  DirHandle() = default;
  ~DirHandle() { reset(); }
  DirHandle(const DirHandle &) = delete;
  DirHandle &operator=(const DirHandle &) = delete;
  uint64_t *out() { return &handle_; }
  uint64_t get() const { return handle_; }
  void reset() {
    if (handle_ != 0) ::closedir(StreamOf(handle_));
    handle_ = 0;
  }

 private:
  uint64_t handle_ = 0;
};

// ---- signals ------------------------------------------------------------------

// Runs call() again for as long as it fails (-1) because a signal
// interrupted it, and answers its last result. Used only where a repeat is
// the wanted behaviour: a mutex hold, collecting a child, the driver's short
// device requests. Opens, reads and writes of files are never repeated: a
// caller whose handler was installed without SA_RESTART wants a wait on a
// FIFO to end (with SA_RESTART the kernel restarts them by itself).
template <typename Call>
auto RetryOnSignal(Call call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// ---- errors -------------------------------------------------------------------

// One row of an errno-to-code table.
struct ErrnoCode {
  int err;
  int32_t code;
};

// The library's one map from a system error number to a result code: the
// code of the first row that names err, `otherwise` for any other number.
// Each operation gives its own rows (see the tables at its definition).
constexpr int32_t CodeForErrno(int err, std::span<const ErrnoCode> rows,
                               int32_t otherwise = QM_ERR_BADFILE) {
  for (const ErrnoCode &row : rows) {
    if (row.err == err) return row.code;
  }
  return otherwise;
}

// ---- files --------------------------------------------------------------------

// One read of at most n bytes, as read(2) answers it.
ssize_t ReadSome(int fd, void *buf, size_t n);

// How ReadUpTo ended.
struct ReadResult {
  size_t bytes = 0;     // bytes read
  bool atEnd = false;   // a read found the end of the file
  bool failed = false;  // a read failed; errno says why (an interrupted read fails too)
};

// Reads until n bytes are in, the file ends or a read fails, as a buffered
// stream's fread does.
ReadResult ReadUpTo(int fd, void *buf, size_t n);

// Writes all n bytes; a short write goes on with the rest, so that a failure
// reports the error that the file system gives for it. A write that makes no
// progress fails with EIO. True when all went.
bool WriteAll(int fd, const void *data, size_t n);

// Moves the read/write position (lseek); the new position or -1.
int64_t Seek(int fd, int64_t offset, int whence);

// True when fd is open on a directory.
bool IsDirectory(int fd);

// Opens an existing regular file with the access mode `access` (O_RDONLY,
// O_RDWR ...) without following a link at its name, and tells its number of
// names in *links. What is not a plain file is refused before it is opened
// (an open of a device or a FIFO can act or wait): a link with ELOOP, a
// directory with EISDIR, anything else with EEXIST (the name is taken by
// something other than a file); the file that did open is checked again, in
// case the name was swapped in between.
int OpenExistingRegular(const char *path, int access, uint64_t *links);

// Creates path as a new file for reading and writing with the permission
// bits mode (the umask applies), never through a link; -1 with EEXIST when
// the name is taken.
int CreateNewFile(const char *path, mode_t mode);

// Empties the file open on fd.
int TruncateToEmpty(int fd);

// ---- trees --------------------------------------------------------------------

// Removes the tree at path without a shell: whatever characters the path
// holds, it is one operand and nothing else is touched. Links are removed,
// not followed; file systems mounted below the tree are not entered (their
// mount points stay). The root directory, under whatever name, is refused
// with EPERM, as "rm -rf" refuses it. Answers 0 when the walk ran, -1 when
// it could not; *firstError gets the first removal's failure, or else errno
// as the walk left it.
int RemoveTree(const char *path, int *firstError);

// ---- processes ----------------------------------------------------------------

// Runs a command line through "/bin/sh -c" and waits for it, as system()
// does, and answers the raw wait status; -1 when no shell could be started
// or its status could not be collected.
int RunShell(const char *command);

// Waits for the child and stores its raw wait status; the child's id, or -1.
pid_t WaitForChild(pid_t child, int *status);

}  // namespace rtk::platform
