/*
 * qma_ctl.cpp - control commands for the loaded driver.
 *
 * qma_simpleCtl is the raw exchange: the command text travels in the reply
 * buffer, the driver overwrites it with its answer and leaves its result code
 * in the record. qma_simpleXML is the installer's entry; it handles the three
 * hook keywords here, through the file-system attach, and sends everything
 * else as text. Nothing is logged or traced: the callers log.
 */
#include "qma_ctl.h"

#include <cstring>

#include "pf_driverif.h"
#include "qmerror.h"
#include "qmxml.h"

namespace {

// ---- process-wide state ------------------------------------------------------
// The data buffer of calls that pass no reply buffer. Nobody reads what the
// driver leaves in it; two reply-less calls must not run at the same time.
char ignore_output[QMA_IGNORE_OUTPUT_SIZE];
// -------------------------------------------------------------------------------

// Result of a command that does not fit the data buffer (not a catalogue code).
constexpr int32_t kDoesNotFit = -1;

// Size of the path buffer of a hook command.
constexpr int32_t kHookPathSize = 1024;

// Closes the device at the end of a call that opened it itself.
class CallDevice {
 public:
  explicit CallDevice(bool owned) : owned_(owned) {}
  CallDevice(const CallDevice &) = delete;
  CallDevice &operator=(const CallDevice &) = delete;
  ~CallDevice() {
    if (owned_) PF_CloseDriver(handle);
  }
  int64_t handle = 0;

 private:
  bool owned_;
};

// The white characters that end a word of the "keyword path" form.
bool isWordWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the second white-separated word of `command` into `path`. The first
// word is the hook keyword and is passed over whatever its length. A path
// longer than size - 1 characters is refused rather than cut, because a cut
// path would name another object; false then, with `path` left empty.
bool secondWord(const char *command, char *path, int32_t size) {
  const char *p = command;
  while (isWordWhite(*p)) ++p;
  while (*p != '\0' && !isWordWhite(*p)) ++p;
  while (isWordWhite(*p)) ++p;
  size_t length = 0;
  while (p[length] != '\0' && !isWordWhite(p[length])) ++length;
  if (length > static_cast<size_t>(size - 1)) return false;
  std::memcpy(path, p, length);
  path[length] = '\0';
  return true;
}

// The path of a "hook" or "unhook" command: the attribute "file" (which is
// blanked out of the command), else the word after the keyword. An empty
// path stands for the root. The attach drops an XML tail ("/>", '>') itself.
int32_t hookPath(char *command, char *path) {
  path[0] = '\0';
  if (xml_getAssignment(command, "file", path, kHookPathSize, "") != nullptr) return QM_SUCCESS;
  return secondWord(command, path, kHookPathSize) ? QM_SUCCESS : QM_ERR_BADPARAM;
}

}  // namespace

extern "C" {

// One exchange with the driver. A negative capacity is refused like a
// command that does not fit, so the driver is never told of a buffer that
// the caller does not have.
int32_t qma_simpleCtl(int64_t handle, int64_t code, const char *command, char *reply,
                      int64_t replySize) {
  char *data = reply;
  int64_t capacity = replySize;
  if (data == nullptr) {
    data = ignore_output;
    capacity = sizeof ignore_output;
  }

  CallDevice device(handle == 0);
  device.handle = handle;
  if (handle == 0) {
    const int32_t opened = PF_OpenDriver(&device.handle);
    if (opened != QM_SUCCESS) return opened;
  }

  PF_DriverCommand record = {};
  record.version = PF_DRIVER_COMMAND_VERSION;
  record.code = static_cast<uint64_t>(code);
  record.recordSize = PF_DRIVER_COMMAND_SIZE;
  record.bufferSize = static_cast<uint64_t>(capacity);
  if (command != nullptr) record.inLength = std::strlen(command) + 1;
  if (capacity < static_cast<int64_t>(record.inLength)) return kDoesNotFit;
  // The command may already sit in the reply buffer, or overlap it.
  if (command != nullptr) std::memmove(data, command, record.inLength);
  record.buffer = reinterpret_cast<uintptr_t>(data);
  record.result = 0;

  const int32_t sent = PF_CommandDriver(device.handle, &record);
  return sent != QM_SUCCESS ? sent : static_cast<int32_t>(record.result);
}

// Dispatches on the command's keyword: "hook" (tested before "hookdir",
// which the keyword boundary keeps apart), "unhook", "hookdir", or a text
// command for the driver.
int32_t qma_simpleXML(int64_t handle, char *command, char *reply, int64_t replySize) {
  if (command == nullptr) return QM_ERR_NULLPARAM;
  char path[kHookPathSize];
  if (xml_isKeyword("hook", command)) {
    const int32_t read = hookPath(command, path);
    return read != QM_SUCCESS ? read : PF_AttachDriverToFileSystem(path);
  }
  if (xml_isKeyword("unhook", command)) {
    const int32_t read = hookPath(command, path);
    return read != QM_SUCCESS ? read : PF_DetachDriverToFileSystem(path);
  }
  if (xml_isKeyword("hookdir", command)) return QM_SUCCESS;
  return qma_simpleCtl(handle, 0, command, reply, replySize);
}

}  // extern "C"
