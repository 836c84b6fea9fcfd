/*
 * pf_unix_file.cpp - the platform layer's file-system operations (pf_file.h):
 *
 *   ID texts            the decimal text form of user, group and mode
 *   attributes          PF_Stat and its setters, PF_SyncMtimes
 *   directories         creation through the shell, listing, removal
 *   locations           the network-location test, the storage-manager client
 *   small file calls    rename, open, unlink, the readability test
 *
 * Nothing here allocates or keeps state; every failure is a result code and
 * errno is left as the failing system call set it.
 */
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "pf_file.h"
#include "platform/pf_sys.h"
#include "platform/platform_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

using rtk::platform::CodeForErrno;
using rtk::platform::ErrnoCode;
using rtk::platform::Shown;

// System errors that keep a code of their own; any other one gives BADFILE.
constexpr ErrnoCode kStatErrors[] = {{ENOENT, QM_ERR_NOENT}};
constexpr ErrnoCode kRmdirErrors[] = {{ENOENT, QM_SUCCESS}};  // a missing directory is removed
constexpr ErrnoCode kRenameErrors[] = {{EEXIST, QM_ERR_EEXIST}, {ENOENT, QM_ERR_NOENT}};
constexpr ErrnoCode kUnlinkErrors[] = {
    {ENOENT, QM_ERR_NOENT}, {EISDIR, QM_ERR_EISDIR}, {EACCES, QM_ERR_PERM}};

// Where the product family's storage-manager client is installed.
constexpr const char kVsbClientDir[] = "/opt/orvane/vsb/client/ba";

// The directory command line is built in a buffer of this many bytes.
constexpr size_t kMkdirLineSize = 4116;

// Appends text to a fixed buffer, never past its end; a text that does not
// fit marks the line as overflowed instead of being cut.
class BoundedLine {
 public:
  BoundedLine(char *buffer, size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }

  void append(char c) {
    if (length_ + 1 >= size_) {
      overflow_ = true;
      return;
    }
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
  }
  void append(const char *text) {
    for (; *text != '\0'; ++text) append(*text);
  }
  bool overflowed() const { return overflow_; }

 private:
  char *buffer_;
  size_t size_;
  size_t length_ = 0;
  bool overflow_ = false;
};

// Builds "mkdir -p -m %o \"%s\"" so that the shell sees the path as one
// inert word: inside the double quotes a backslash goes before '"', '$', '`'
// and '\', the only characters the shell still interprets there (a newline
// stays literal). A relative path that starts with '-' gets "./" in front so
// that mkdir never reads it as an option. Returns false when the line would
// not fit the buffer; then nothing must be run.
bool buildMkdirLine(const char *path, uint32_t permissions, char *line, size_t size) {
  BoundedLine out(line, size);
  char head[32];
  std::snprintf(head, sizeof head, "mkdir -p -m %o \"", permissions);
  out.append(head);
  if (path[0] == '-') out.append("./");
  for (const char *p = path; *p != '\0'; ++p) {
    if (std::strchr("\"$`\\", *p) != nullptr) out.append('\\');
    out.append(*p);
  }
  out.append('"');
  return !out.overflowed();
}

// Reads the status of name, relative to the directory dirFd (AT_FDCWD: the
// current directory), following a symbolic link, and answers the kind of
// object: a directory reached through a link as the last component is
// "other", so that a walk that descends into kind 0 only never follows such
// a link. The link itself is seen by a first look that does not follow it;
// only a link is looked at twice. -1 with errno set on failure.
int statKind(int dirFd, const char *name, struct stat *st, uint32_t *kind) {
  if (fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  const bool link = S_ISLNK(st->st_mode);
  if (link && fstatat(dirFd, name, st, 0) != 0) return -1;
  if (S_ISDIR(st->st_mode)) {
    *kind = link ? PF_KIND_OTHER : PF_KIND_DIRECTORY;
  } else {
    *kind = S_ISREG(st->st_mode) ? PF_KIND_FILE : PF_KIND_OTHER;
  }
  return 0;
}

// PF_Stat of the object that name names relative to dirFd; path is its whole
// path, which the record and the trace lines show.
int32_t statAt(int dirFd, const char *name, const char *path, PF_Attrs *attrs) {
  constexpr const char kFunction[] = "PF_Stat";
  qmenter(QM_TRACE_FILE, kFunction, "filename:[%s]\n", Shown(path));
  if (name == nullptr || path == nullptr || attrs == nullptr) {
    qmexit(QM_TRACE_FILE, kFunction, QM_ERR_NULLPARAM);
    return QM_ERR_NULLPARAM;
  }
  std::memset(attrs, 0, sizeof *attrs);
  struct stat st;
  uint32_t kind = PF_KIND_OTHER;
  if (statKind(dirFd, name, &st, &kind) != 0) {
    const int err = errno;
    TRACE_LogFine(QM_TRACE_FILE, "PF_Stat of [%s] returned error %d\n", path, err);
    const int32_t result = CodeForErrno(err, kStatErrors);
    qmexit(QM_TRACE_FILE, kFunction, result);
    errno = err;
    return result;
  }
  UnixID2IDType(st.st_uid, attrs->owner);
  UnixID2IDType(st.st_gid, attrs->group);
  UnixID2IDType(st.st_mode, attrs->mode);
  STR_copy(attrs->name, path, PF_ATTRS_NAME_SIZE);
  attrs->size = st.st_size;
  attrs->mtime = st.st_mtim.tv_sec;
  attrs->atime = st.st_atim.tv_sec;
  attrs->devID = st.st_dev;
  attrs->kind = kind;
  qmexit(QM_TRACE_FILE, kFunction, QM_SUCCESS);
  return QM_SUCCESS;
}

// Answer of PF_isNetworkLocation for a path whose own status failed: judge
// it by its parent directory. The parent of a name without '/' is the
// current directory, and the parent of "/name" is the root itself, so both
// left-open cases get the answer that their real parent gives.
int32_t judgeByParent(char *path, dev_t rootDevice) {
  char *slash = std::strrchr(path, '/');
  struct stat st;
  int rc;
  if (slash == nullptr) {
    rc = stat(".", &st);
  } else if (slash == path) {
    rc = stat("/", &st);
  } else {
    *slash = '\0';
    rc = stat(path, &st);
    *slash = '/';
  }
  if (rc == 0) return st.st_dev != rootDevice ? 1 : 0;
  return errno == ENOENT ? 1 : 0;
}

}  // namespace

namespace rtk::platform {

int32_t StatEntry(uint64_t dirHandle, const char *name, const char *path, PF_Attrs *attrs) {
  DIR *dir = StreamOf(dirHandle);
  return statAt(dir != nullptr ? dirfd(dir) : AT_FDCWD, name, path, attrs);
}

}  // namespace rtk::platform

extern "C" {

// Reads an ID text (sign and digits, via STR_toll) and keeps the low 32 bits.
uint32_t UnixIDType2ID(const char *text) {
  if (text == nullptr) return 0;
  return static_cast<uint32_t>(STR_toll(text));
}

// Writes id as a signed 32-bit decimal into the 64-byte field out (the
// field's last byte becomes zero too, as bounded formatting leaves it).
int32_t UnixID2IDType(uint32_t id, char *out) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  STR_64toString(out, PF_IDTYPE_SIZE, static_cast<int32_t>(id));
  return QM_SUCCESS;
}

// Fills attrs with the status of path, following symbolic links. The record
// stays all zero on failure; errno is kept for the caller.
int32_t PF_Stat(const char *path, PF_Attrs *attrs) { return statAt(AT_FDCWD, path, path, attrs); }

// Clears attrs and sets the permissions 0777: a model record for objects
// that have no model of their own (owner 0, group 0).
int32_t PF_SetAttrsGeneric(PF_Attrs *attrs) {
  if (attrs == nullptr) return QM_ERR_NULLPARAM;
  std::memset(attrs, 0, sizeof *attrs);
  UnixID2IDType(0777, attrs->mode);
  return QM_SUCCESS;
}

// Sets the mode of path from attrs->mode, following symbolic links.
int32_t PF_chmod(const char *path, const PF_Attrs *attrs) {
  if (path == nullptr || attrs == nullptr) return QM_ERR_NULLPARAM;
  return chmod(path, UnixIDType2ID(attrs->mode)) == 0 ? QM_SUCCESS : QM_ERR_BADFILE;
}

// Sets the owner and group of path from attrs, following symbolic links;
// an id text of -1 leaves that id unchanged.
int32_t PF_chown(const char *path, const PF_Attrs *attrs) {
  if (path == nullptr || attrs == nullptr) return QM_ERR_NULLPARAM;
  const uid_t owner = UnixIDType2ID(attrs->owner);
  const gid_t group = UnixIDType2ID(attrs->group);
  return chown(path, owner, group) == 0 ? QM_SUCCESS : QM_ERR_BADFILE;
}

// Applies mode, owner and group, then the access and modification times.
// Only the owner change decides the result; a failed time change is logged.
int32_t PF_SetAttributes(const char *path, const PF_Attrs *attrs) {
  if (path == nullptr || attrs == nullptr) return QM_ERR_NULLPARAM;
  PF_chmod(path, attrs);
  const int32_t result = PF_chown(path, attrs);
  struct utimbuf times;
  times.actime = attrs->atime;
  times.modtime = attrs->mtime;
  if (utime(path, &times) != 0) {
    // The time is printed in full; for every time before 2038 this is the
    // same text that a 32-bit conversion would give.
    LOG_Log(QM_LOG_ERROR, "pf_unix_file: error %s setting utime of %s to %" PRId64 "\n", std::strerror(errno),
            path, attrs->mtime);
  }
  return result;
}

// Creates path and its missing parents with the permission bits of
// attrs->mode through the shell and waits for it, then sets owner and
// group from attrs.
int32_t PF_MakeADirectory(const char *path, const PF_Attrs *attrs) {
  if (path == nullptr || attrs == nullptr) return QM_ERR_NULLPARAM;
  const uint32_t permissions = UnixIDType2ID(attrs->mode) & 0777;
  char line[kMkdirLineSize];
  if (!buildMkdirLine(path, permissions, line, sizeof line)) {
    TRACE_LogFine(QM_TRACE_FILE, "Mkdirs [%s] refused: the command line does not fit\n", path);
    return QM_ERR_BADPARAM;
  }
  const int status = rtk::platform::RunShell(line);
  TRACE_LogFine(QM_TRACE_FILE, "Mkdirs [%s] result:%d\n", line, status);
  if (status != 0) return QM_ERR_SYSERR;
  return PF_chown(path, attrs);
}

// Gives `to` the owner, group, mode and times of `from`.
int32_t PF_SyncMtimes(const char *from, const char *to) {
  PF_Attrs attrs;
  const int32_t result = PF_Stat(from, &attrs);
  if (result != QM_SUCCESS) return result;
  return PF_SetAttributes(to, &attrs);
}

// Removes an empty directory; one that does not exist counts as removed.
int32_t PF_rmdir(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  if (rmdir(path) == 0) return QM_SUCCESS;
  return CodeForErrno(errno, kRmdirErrors);
}

// Opens a directory stream for PF_ReadDir; the handle is 0 on failure.
int32_t PF_OpenDir(const char *path, uint64_t *handle) {
  if (handle == nullptr) return QM_ERR_NULLPARAM;
  *handle = 0;
  if (path == nullptr) return QM_ERR_NULLPARAM;
  DIR *dir = opendir(path);
  if (dir == nullptr) return QM_ERR_BADFILE;
  *handle = reinterpret_cast<uintptr_t>(dir);
  return QM_SUCCESS;
}

// Copies the next name other than "." and ".." into name (at least
// PF_READDIR_NAME_SIZE bytes); BADFILE at the end or on a read error.
int32_t PF_ReadDir(uint64_t handle, char *name) {
  if (name == nullptr) return QM_ERR_NULLPARAM;
  if (handle == 0) return QM_ERR_BADFILE;
  DIR *dir = rtk::platform::StreamOf(handle);
  for (;;) {
    const struct dirent *entry = readdir(dir);
    if (entry == nullptr) return QM_ERR_BADFILE;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    STR_copy(name, entry->d_name, PF_READDIR_NAME_SIZE);
    return QM_SUCCESS;
  }
}

// Closes a directory stream; 0 whatever the system reports.
int32_t PF_CloseDir(uint64_t handle) {
  if (handle != 0) closedir(rtk::platform::StreamOf(handle));
  return QM_SUCCESS;
}

// 1 when path, or for a missing path its parent, lies on another device
// than "/"; a missing parent counts as remote. The path is cut at its last
// '/' for a moment and restored.
int32_t PF_isNetworkLocation(char *path) {
  struct stat root;
  if (path == nullptr || stat("/", &root) != 0) return 0;
  struct stat st;
  if (stat(path, &st) == 0) return st.st_dev != root.st_dev ? 1 : 0;
  return judgeByParent(path, root.st_dev);
}

// Copies the storage-manager client's directory into out when it exists;
// out is empty otherwise.
int32_t PF_GetVSBInstallLocation(char *out, int32_t size) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  STR_copy(out, "", size);
  PF_Attrs attrs;
  if (PF_Stat(kVsbClientDir, &attrs) != QM_SUCCESS) return QM_ERR_BADFILE;
  STR_copy(out, kVsbClientDir, size);
  return QM_SUCCESS;
}

// Renames from to to; EEXIST and ENOENT keep their own codes.
int32_t PF_rename(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return QM_ERR_NULLPARAM;
  if (std::rename(from, to) == 0) return QM_SUCCESS;
  return CodeForErrno(errno, kRenameErrors);
}

// open() with large-file support: the descriptor or -1, not a result code.
// An open interrupted by a signal is not repeated (see RetryOnSignal).
int32_t PF_open(const char *path, int32_t flags, uint32_t mode) {
  if (path == nullptr) {
    errno = EFAULT;
    return -1;
  }
  return open(path, flags | O_LARGEFILE, static_cast<mode_t>(mode));
}

// Removes a file; a missing file, a directory and a denied removal keep
// their own codes.
int32_t PF_unlink(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  if (unlink(path) == 0) return QM_SUCCESS;
  return CodeForErrno(errno, kUnlinkErrors);
}

// SUCCESS when the process may read path.
int32_t PF_IsReadable(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  return access(path, R_OK) == 0 ? QM_SUCCESS : QM_ERR_BADFILE;
}

}  // extern "C"
