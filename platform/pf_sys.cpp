/*
 * pf_sys.cpp - the library's raw system calls (declared in pf_sys.h): whole
 * reads and writes, seeks, the safe opens of package files, the tree removal
 * without a shell, the shell runner and the wait for a child.
 *
 * Nothing here traces, logs or allocates. State: none process-wide; per
 * thread, the first failure of the tree removal that runs on it (the
 * directory walk's callback takes no context).
 */
#include "platform/pf_sys.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// First failure of the tree removal running on this thread; 0 while none.
thread_local int tlRemovalError = 0;

// File descriptors that the tree removal keeps open at most.
constexpr int kRemovalOpenFds = 16;

// Flags for opening a file that must already exist: no link is followed at
// its name, a FIFO does not block the open, and a terminal does not become
// the controlling one.
constexpr int kExistingFileFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The errno that tells why an existing entry is not opened as a plain file,
// or 0 when it may be (see OpenExistingRegular).
int refusalOf(const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return ELOOP;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  return S_ISREG(st.st_mode) ? 0 : EEXIST;
}

// Removes one object met by the depth-first removal walk: directories after
// their content, everything else (links included) by unlink. A failure is
// remembered and the walk goes on, as "rm -rf" does.
int removeEntry(const char *path, const struct stat *, int type, struct FTW *) {
  const bool isDir = type == FTW_DP || type == FTW_DNR;
  if ((isDir ? rmdir(path) : unlink(path)) != 0 && tlRemovalError == 0) tlRemovalError = errno;
  return 0;
}

// True when path names the root directory itself, under whatever name
// ("/", "//", "/tmp/.."); a link to it is only a link.
bool isRootDirectory(const char *path) {
  struct stat target {};
  struct stat root {};
  return lstat(path, &target) == 0 && stat("/", &root) == 0 && target.st_dev == root.st_dev &&
         target.st_ino == root.st_ino;
}

}  // namespace

namespace rtk::platform {

ssize_t ReadSome(int fd, void *buf, size_t n) { return read(fd, buf, n); }

ReadResult ReadUpTo(int fd, void *buf, size_t n) {
  ReadResult result;
  auto *at = static_cast<char *>(buf);
  while (result.bytes < n) {
    const ssize_t more = read(fd, at + result.bytes, n - result.bytes);
    if (more <= 0) {
      (more == 0 ? result.atEnd : result.failed) = true;
      break;
    }
    result.bytes += static_cast<size_t>(more);
  }
  return result;
}

bool WriteAll(int fd, const void *data, size_t n) {
  const auto *p = static_cast<const char *>(data);
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

int64_t Seek(int fd, int64_t offset, int whence) {
  return static_cast<int64_t>(lseek(fd, static_cast<off_t>(offset), whence));
}

bool IsDirectory(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenExistingRegular(const char *path, int access, uint64_t *links) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (const int refusal = refusalOf(st)) {
    errno = refusal;
    return -1;
  }
  Fd fd(open(path, access | kExistingFileFlags));
  if (!fd.ok()) return -1;
  const int refusal = fstat(fd.get(), &st) != 0 ? errno : refusalOf(st);
  if (refusal != 0) {
    fd.reset();
    errno = refusal;
    return -1;
  }
  *links = st.st_nlink;
  return fd.release();
}

int CreateNewFile(const char *path, mode_t mode) {
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int TruncateToEmpty(int fd) { return ftruncate(fd, 0); }

int RemoveTree(const char *path, int *firstError) {
  tlRemovalError = 0;
  int status = -1;
  if (isRootDirectory(path)) {
    tlRemovalError = EPERM;
  } else {
    status = nftw(path, removeEntry, kRemovalOpenFds, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  }
  *firstError = tlRemovalError != 0 ? tlRemovalError : errno;
  return status;
}

// The C library's system() reports a shell that could not be started as
// exit status 127, the same as a command that was not found; this runner
// reports it as -1. The caller's signal dispositions are left alone (they
// are process-wide); the shell gets default SIGINT and SIGQUIT handling.
int RunShell(const char *command) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                        const_cast<char *>("--"), const_cast<char *>(command), nullptr};
  pid_t child;
  const int spawned = posix_spawn(&child, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    errno = spawned;
    return -1;
  }
  int status = 0;
  return WaitForChild(child, &status) < 0 ? -1 : status;
}

// A signal that arrives while the child runs must not lose its status (and
// leave it a zombie), so the wait is repeated.
pid_t WaitForChild(pid_t child, int *status) {
  return RetryOnSignal([&] { return waitpid(child, status, 0); });
}

}  // namespace rtk::platform
