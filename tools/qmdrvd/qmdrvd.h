// qmdrvd: the user-space stand-in for the Quillmar kernel driver.
//
// It serves one file, "quillmar0", from a FUSE mount and binds it onto the
// driver's device path, so that the library reaches it through real open,
// ioctl, read and write calls. The pieces:
//   Driver  (driver.cpp)  what the driver answers: commands, hooks, the FIFO
//   Device  (device.cpp)  the FUSE file system and the caller-memory access
//   main    (qmdrvd.cpp)  command line, daemon life cycle, bind, clean-up
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "rtk.h"

struct fuse_session;

namespace qmdrvd {

// Answer settings from the command line, for testing callers.
struct Behaviour {
  // The version that "<kversion/>" reports: by default the one the library carries.
  std::string version = RTK_DRIVER_VERSION;
  bool fixedCode = false;           // answer every request with replyCode
  int64_t replyCode = 0;
  bool fixedText = false;           // answer every command with replyText
  std::string replyText;
  bool failIoctl = false;           // fail every ioctl: a negative failReturn
  int failReturn = 0;               // is an errno failure, a positive one a
                                    // non-zero return of ioctl
};

// What the driver makes of one request: the result word for the record and,
// when hasReply, the text that goes into the caller's data buffer.
struct Answer {
  int64_t result = 0;
  bool hasReply = false;
  std::string reply;
  std::string detail;  // extra words for the request log
};

// One hooked object: the request that hooked it and its resolved path.
struct Hook {
  const char *kind;  // "object" (request 101) or "parent" (request 102)
  std::string path;
};

// The driver's state and behaviour. Requests are served by several threads
// at once: every public call holds the driver's lock, which also keeps the
// library's trace settings (the driver's own) to one request at a time.
class Driver {
 public:
  explicit Driver(const Behaviour &behaviour) : behaviour_(behaviour) {}

  // A control command (request 100): `text` is the command as read from the
  // caller, `code` the record's control code, `bufferSize` its capacity.
  Answer Command(const std::string &text, uint64_t code, uint64_t bufferSize);

  // A hook request (101 or 102) whose data names descriptor `fdText` in
  // process `pid`.
  Answer HookRequest(unsigned request, pid_t pid, const std::string &fdText);

  // Plain write and read: a FIFO of bounded size. Write returns the bytes
  // taken (0 when full); Read removes and returns at most `size` bytes.
  size_t Write(const char *data, size_t size);
  std::string Read(size_t size);

 private:
  Answer HookList() const;
  void Reset();

  const Behaviour &behaviour_;
  std::mutex mutex_;  // guards hooks_, fifo_ and the trace settings
  std::vector<Hook> hooks_;
  std::string fifo_;
};

// The request log (--log FILE): one line per request, flushed at once so
// that a caller finds its line as soon as its call returns.
class RequestLog {
 public:
  ~RequestLog();
  bool Open(const char *path);
  void Line(const char *format, ...) __attribute__((format(printf, 2, 3)));

 private:
  FILE *file_ = nullptr;
};

// Renders `text` for a log line: printable ASCII stays, '"' and '\\' get a
// backslash, everything else becomes \xNN.
std::string Printable(const std::string &text);

// The FUSE side: mounts the file system at a directory and serves it from
// threads of its own, so that the main thread may use the mount (the bind).
class Device {
 public:
  Device(Driver &driver, RequestLog &log, const Behaviour &behaviour)
      : driver_(driver), log_(log), behaviour_(behaviour) {}
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;
  ~Device() { Stop(); }

  // Mounts at `mountpoint` and starts serving. False with a message on
  // standard error when that fails.
  bool Start(const char *mountpoint);
  // Unmounts and ends the serving thread; safe to call more than once.
  void Stop();

  Driver &driver() { return driver_; }
  RequestLog &log() { return log_; }
  const Behaviour &behaviour() const { return behaviour_; }

 private:
  Driver &driver_;
  RequestLog &log_;
  const Behaviour &behaviour_;
  fuse_session *session_ = nullptr;
  bool serving_ = false;
  pthread_t thread_{};
};

// Name of the served file inside the mount.
inline constexpr char kDeviceFileName[] = "quillmar0";

}  // namespace qmdrvd
