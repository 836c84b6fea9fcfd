/*
 * qmfile_copy.cpp - the replication copy (qmfile.h): qmfile_CopyFile with
 * its catch-up mode, PF_CopyFile, and the rule for a restartable failure.
 *
 * PF_CopyFile, the platform layer's name for the copy, is declared with the
 * copy in qmfile.h and lives beside it: the platform layer sits below the
 * file utilities, so a definition there would have to call up into them.
 *
 * The copy reads 64 KiB blocks into a 4 KiB-aligned window of one heap
 * block and writes each at once; descriptors are owned by guards. State:
 * none.
 */
#include <fcntl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "file/file_internal.h"
#include "pf_file.h"
#include "platform/pf_sys.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

using rtk::file::HeapBlock;
using rtk::file::kTrace;
using rtk::file::Shown;
using rtk::file::TextCut;
using rtk::platform::CodeForErrno;
using rtk::platform::ErrnoCode;
using rtk::platform::Fd;

// The copy reads 64 KiB blocks into a 4 KiB-aligned window of one heap block.
constexpr int32_t kCopyBlock = 65536;
constexpr int32_t kCopyAlign = 4096;
constexpr int32_t kCopyAlloc = kCopyBlock + kCopyAlign;  // 69,632 bytes

// The one system error after which a failed replication may be tried again.
constexpr int kRestartableError = EIO;

// Result codes for the system errors of each step; rows are tried in order
// (permission, then a full disk, then the restartable error, then a missing
// source), and any other error gives the code named where a table is used.
constexpr ErrnoCode kSourceOpenCodes[] = {
    {EPERM, QM_ERR_SRCEPERM},
    {EACCES, QM_ERR_SRCEPERM},
    {kRestartableError, QM_ERR_RESTARTABLE},
    {ENOENT, QM_ERR_SRCFNF},
};
constexpr ErrnoCode kDestinationOpenCodes[] = {
    {EPERM, QM_ERR_DSTEPERM},
    {EACCES, QM_ERR_DSTEPERM},
    {ENOSPC, QM_ERR_NOSPC},
    {kRestartableError, QM_ERR_RESTARTABLE},
};
constexpr ErrnoCode kReadCodes[] = {{kRestartableError, QM_ERR_RESTARTABLE}};
constexpr ErrnoCode kWriteCodes[] = {{ENOSPC, QM_ERR_NOSPC}};

// Writes a failure text into the caller's msg buffer, cut to fit; a null
// buffer or a size below 1 receives nothing.
void putMsg(char *msg, int32_t size, const char *fmt, ...) QM_PRINTF_LIKE(3, 4);
void putMsg(char *msg, int32_t size, const char *fmt, ...) {
  if (msg == nullptr || size < 1) return;
  va_list args;
  va_start(args, fmt);
  STR_vsnprintf(msg, size, fmt, args);
  va_end(args);
  msg[size - 1] = '\0';
}

// Opens the copy's destination: write-only, created and truncated normally;
// in catch-up mode read-write, created only when it is missing.
int openDestination(const char *dst, bool catchup) {
  if (!catchup) return PF_open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
  const int fd = PF_open(dst, O_RDWR | O_CLOEXEC, 0);
  return fd >= 0 ? fd : PF_open(dst, O_RDWR | O_CREAT | O_CLOEXEC, 0777);
}

// Opens the copy's source: read-only, or read-write in catch-up mode. A
// directory opens for reading but can never be read; it is refused here
// with EISDIR, before the destination is opened and truncated for nothing.
int openSource(const char *src, bool catchup) {
  Fd fd(PF_open(src, (catchup ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0777));
  if (!fd.ok() || !rtk::platform::IsDirectory(fd.get())) return fd.release();
  fd.reset();
  errno = EISDIR;
  return -1;
}

// Makes the destination's directory, modelled on the source's directory, for
// the copy's one retry. Both paths hold a '/'; both are given back whole.
void makeDestinationDir(char *dst, char *src) {
  const TextCut srcDir(strrchr(src, '/'));
  TRACE_LogFine(kTrace, "CopyFile, failed to open dst [%s]; will try to mkdir [%s]...\n", dst, src);
  const TextCut dstDir(strrchr(dst, '/'));
  const int32_t rc = qmfile_mkdirs(dst, src);
  if (rc != QM_SUCCESS) TRACE_LogFine(kTrace, "qmfile_mkdirs returned %d\n", rc);
}

// Reads the source block by block from where it stands and, unless in
// catch-up mode, writes each block to the destination; calls the callback
// after every block. Keeps the running total in *total (and *copied).
int32_t copyBlocks(int in, int out, char *buf, bool catchup, qmfile_CopyCallback callback,
                   uint64_t context, char *msg, int32_t msgSize, int64_t *total, int64_t *copied) {
  for (;;) {
    const ssize_t got = rtk::platform::ReadSome(in, buf, kCopyBlock);
    if (got == 0) return QM_SUCCESS;
    if (got < 0) {
      const int err = errno;
      const int32_t rc = CodeForErrno(err, kReadCodes, QM_ERR_IOERR);
      if (rc == QM_ERR_IOERR) TRACE_LogFine(kTrace, "error during read, errno:%d %s\n", err, strerror(err));
      return rc;
    }
    if (!catchup && !rtk::platform::WriteAll(out, buf, static_cast<size_t>(got))) {
      const int err = errno;
      putMsg(msg, msgSize, "errno:%d", err);
      const int32_t rc = CodeForErrno(err, kWriteCodes, QM_ERR_IOERR);
      if (rc == QM_ERR_IOERR) TRACE_LogFine(kTrace, "error during write, errno:%d %s\n", err, strerror(err));
      return rc;
    }
    *total += got;
    if (copied != nullptr) *copied = *total;
    if (callback != nullptr) {
      const int32_t rc = callback(context);
      if (rc != QM_SUCCESS) return rc;
    }
  }
}

// The copy after the callback's first call: allocation, opens, block loop,
// attributes. See qmfile_CopyFile.
int32_t copyFile(char *dst, char *src, bool catchup, qmfile_CopyCallback callback,
                 uint64_t context, char *msg, int32_t msgSize, int64_t *copied) {
  putMsg(msg, msgSize, "%s", "");
  const HeapBlock block(MEM_malloc(kCopyAlign, kCopyAlloc, "copy"));
  if (!block) {
    // The announcement names the bytes the copy works with, not the request.
    QMERR_Announce(QM_ERR_ALLOC, kCopyBlock, "CopyFile");
    return QM_ERR_NOMEM;
  }
  const auto start = reinterpret_cast<uintptr_t>(block.as<char>());
  char *buf = reinterpret_cast<char *>((start + kCopyAlign - 1) & ~uintptr_t{kCopyAlign - 1});

  Fd in(openSource(src, catchup));
  if (!in.ok()) {
    const int err = errno;
    putMsg(msg, msgSize, "$T(FailedToOpenSrc) [%s] %s", src, strerror(err));
    return CodeForErrno(err, kSourceOpenCodes, QM_ERR_SRCFILE);
  }
  // Attributes that cannot be read are not applied at the end: a record of
  // zeros would leave the destination with mode 0, owned by root, dated 1970.
  PF_Attrs srcAttrs;
  const bool haveAttrs = PF_Stat(src, &srcAttrs) == QM_SUCCESS;

  Fd out(openDestination(dst, catchup));
  if (!out.ok() && errno == ENOENT && !catchup && strchr(src, '/') != nullptr &&
      strchr(dst, '/') != nullptr) {
    makeDestinationDir(dst, src);
    out.reset(openDestination(dst, false));
  }
  if (!out.ok()) {
    const int err = errno;
    putMsg(msg, msgSize, "$T(FailedToOpenDst) [%s] %s", dst, strerror(err));
    return CodeForErrno(err, kDestinationOpenCodes, QM_ERR_DSTFILE);
  }

  if (catchup) {
    PF_Attrs have;
    PF_Stat(dst, &have);  // a failure leaves size 0: the source is read whole
    const int64_t pos = rtk::platform::Seek(in.get(), have.size, SEEK_SET);
    TRACE_LogFine(kTrace, "CopyFile: catchup: seeked to %" PRId64 " (result:%" PRId64 ")\n",
                  have.size, pos);
  }
  int64_t total = 0;
  const int32_t rc = copyBlocks(in.get(), out.get(), buf, catchup, callback, context, msg, msgSize,
                                &total, copied);
  in.reset();
  out.reset();
  if (haveAttrs) PF_SetAttributes(dst, &srcAttrs);
  if (copied != nullptr) *copied = total;
  return rc;
}

}  // namespace

extern "C" {

// Copies src to dst for replication (see qmfile.h). Both paths are cut and
// put back while a missing destination directory is made.
int32_t qmfile_CopyFile(char *dst, char *src, int64_t catchup, int64_t /*reserved*/,
                        qmfile_CopyCallback callback, uint64_t context, char *msg,
                        int32_t msgSize, int64_t *copied) {
  if (copied != nullptr) *copied = 0;
  qmenter(kTrace, __func__, "dst:%s src:%s catchup:%d\n", Shown(dst), Shown(src),
          static_cast<int>(catchup));
  int32_t rc = QM_ERR_NULLPARAM;
  if (dst != nullptr && src != nullptr) {
    rc = callback != nullptr ? callback(context) : QM_SUCCESS;
    if (rc == QM_SUCCESS) rc = copyFile(dst, src, catchup != 0, callback, context, msg, msgSize, copied);
  }
  qmexit(kTrace, __func__, rc);
  return rc;
}

// The platform layer's name for qmfile_CopyFile.
int32_t PF_CopyFile(char *dst, char *src, int64_t catchup, int64_t reserved,
                    qmfile_CopyCallback callback, uint64_t context, char *msg, int32_t msgSize,
                    int64_t *copied) {
  return qmfile_CopyFile(dst, src, catchup, reserved, callback, context, msg, msgSize, copied);
}

// A failed replication may be retried after an input/output error only.
int32_t qmfile_restartable(int32_t err, const char *) { return err == kRestartableError ? 1 : 0; }

}  // extern "C"
