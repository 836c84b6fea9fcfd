/*
 * pf_unix_driverif.cpp - the thin layer over the driver's character device:
 * open and close, the three ioctl requests, the file-system attach, and
 * plain read and write.
 *
 * Nothing here logs or traces and nothing is kept between calls: every
 * operation works on its arguments and on a descriptor that it owns for the
 * call or that the caller passes in.
 */
#include "pf_driverif.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/pf_sys.h"
#include "qmerror.h"
#include "qmstr.h"

static_assert(sizeof(PF_DriverCommand) == PF_DRIVER_COMMAND_SIZE);
static_assert(offsetof(PF_DriverCommand, version) == 0);
static_assert(offsetof(PF_DriverCommand, code) == 8);
static_assert(offsetof(PF_DriverCommand, recordSize) == 16);
static_assert(offsetof(PF_DriverCommand, inLength) == 24);
static_assert(offsetof(PF_DriverCommand, bufferSize) == 32);
static_assert(offsetof(PF_DriverCommand, reserved1) == 40);
static_assert(offsetof(PF_DriverCommand, result) == 96);
static_assert(offsetof(PF_DriverCommand, reserved2) == 104);
static_assert(offsetof(PF_DriverCommand, buffer) == 112);
static_assert(offsetof(PF_DriverCommand, reserved3) == 120);

namespace {

// Size of the attach's working copy of the path.
constexpr size_t kAttachPathSize = 2048;

// The descriptor held in the low 32 bits of a device handle.
int descriptorOf(int64_t handle) { return static_cast<int>(static_cast<uint32_t>(handle)); }

using rtk::platform::RetryOnSignal;

// Opens `path` with `flags`, retrying when a signal interrupts the open.
int openRetrying(const char *path, int flags) {
  return RetryOnSignal([&] { return open(path, flags); });
}

// Issues one ioctl request with the record's address. Only a return of 0
// counts as success; any other return, negative or positive, is BADFILE. An
// interrupted request is not repeated: the driver may have acted on it.
int32_t sendIoctl(int64_t handle, unsigned long request, PF_DriverCommand *record) {
  return ioctl(descriptorOf(handle), request, record) == 0 ? QM_SUCCESS : QM_ERR_BADFILE;
}

// One hook request: the object at `path` ("/" when empty) stays open while
// the driver resolves its descriptor, which travels as decimal text.
int32_t do_hook(unsigned long request, const char *path) {
  const rtk::platform::Fd object(openRetrying(path[0] == '\0' ? "/" : path, O_RDONLY));
  if (object.get() < 0) return QM_ERR_HOOKFILE;

  char fdText[32];
  std::snprintf(fdText, sizeof fdText, "%d", object.get());

  int64_t handle = -1;
  if (PF_OpenDriver(&handle) != QM_SUCCESS) return QM_ERR_DRVROPEN;

  char data[PF_DRIVER_HOOK_BUFFER] = {};
  PF_DriverCommand record = {};
  record.version = PF_DRIVER_COMMAND_VERSION;
  record.code = 0;
  record.recordSize = PF_DRIVER_COMMAND_SIZE;
  record.bufferSize = sizeof data;
  record.inLength = std::strlen(fdText) + 1;
  STR_copy(data, fdText, static_cast<int32_t>(sizeof data));
  record.buffer = reinterpret_cast<uintptr_t>(data);
  record.result = 0;

  const int32_t sent = sendIoctl(handle, request, &record);
  const int32_t result = sent != QM_SUCCESS ? sent : static_cast<int32_t>(record.result);
  PF_CloseDriver(handle);
  return result;
}

// Cuts `text` at the first occurrence of `marker`, if any.
void cutAt(char *text, const char *marker) {
  char *found = std::strstr(text, marker);
  if (found != nullptr) *found = '\0';
}

}  // namespace

extern "C" {

// Opens the device for reading and writing. The handle takes the descriptor
// even when the open failed (-1), as callers expect.
int32_t PF_OpenDriver(int64_t *handle) {
  if (handle == nullptr) return QM_ERR_NULLPARAM;
  *handle = openRetrying(PF_DRIVER_DEVICE, O_RDWR);
  return *handle >= 0 ? QM_SUCCESS : QM_ERR_DRVROPEN;
}

// Closes the device; a failing close has nothing left to release.
int32_t PF_CloseDriver(int64_t handle) {
  close(descriptorOf(handle));
  return QM_SUCCESS;
}

// Sends a control command record (request 100).
int32_t PF_CommandDriver(int64_t handle, PF_DriverCommand *record) {
  if (record == nullptr) return QM_ERR_NULLPARAM;
  return sendIoctl(handle, DRV_IOCTL_COMMAND, record);
}

// Hooks the object named by `path` and then its parent directory. The path
// may carry the tail of an XML element ("/>" or ">"), which is cut off.
int32_t PF_AttachDriverToFileSystem(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  char buffer[kAttachPathSize];
  STR_copy(buffer, path, static_cast<int32_t>(sizeof buffer));
  cutAt(buffer, "/>");
  cutAt(buffer, ">");

  const int32_t objectResult = do_hook(DRV_IOCTL_HOOK, buffer);
  if (objectResult != QM_SUCCESS) return objectResult;

  // The parent: cut at the last '/'. "/x" becomes "" (the root), and a
  // trailing '/' leaves the directory itself.
  char *lastSlash = std::strrchr(buffer, '/');
  if (lastSlash != nullptr) *lastSlash = '\0';
  return do_hook(DRV_IOCTL_HOOK_PARENT, buffer);
}

// A hooked object stays hooked; there is nothing to undo on this platform.
int32_t PF_DetachDriverToFileSystem(const char *) { return QM_SUCCESS; }

// Writes the data in one call; a short write is reported, not retried.
int32_t PF_WriteDriver(int64_t handle, const void *data, uint64_t length, int64_t *count) {
  if (count == nullptr) return QM_ERR_NULLPARAM;
  const ssize_t written = RetryOnSignal([&] { return write(descriptorOf(handle), data, length); });
  if (written < 0) return QM_ERR_BADFILE;
  *count = written;
  return QM_SUCCESS;
}

// Reads once, at most `length` bytes. The length is capped at INT32_MAX so
// that the count always fits its 32-bit field.
int32_t PF_ReadDriver(int64_t handle, void *data, uint32_t length, int32_t *count) {
  if (count == nullptr) return QM_ERR_NULLPARAM;
  const size_t wanted = length > INT32_MAX ? static_cast<size_t>(INT32_MAX) : length;
  const ssize_t got = RetryOnSignal([&] { return read(descriptorOf(handle), data, wanted); });
  if (got < 0) return QM_ERR_DRVRREAD;
  *count = static_cast<int32_t>(got);
  return QM_SUCCESS;
}

}  // extern "C"
