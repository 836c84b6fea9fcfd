// Test support for the driver channel and the installer: a sandbox in which
// tests may create "/dev/quillmar0", and the stand-in driver qmdrvd started
// and stopped around a test.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace rtktest {

// Gives the calling process (already in a private mount namespace) its own
// /tmp and /run (tmpfs; the source and build trees stay visible where they
// lie below them) and a /dev that is an overlay over the host's, so that
// device paths can be created and bound without touching the host. Returns
// an empty string, or the reason why it cannot be done.
std::string EnterDriverSandbox();

// One request as the stand-in logged it: the words "key=value" of the line
// (quotes removed from values), with "event" holding the first word's key.
using LogEntry = std::map<std::string, std::string>;

// The stand-in driver, started detached with a pidfile and a request log,
// bound onto /dev/quillmar0. The destructor stops it.
class StandIn {
 public:
  StandIn() = default;
  StandIn(const StandIn &) = delete;
  StandIn &operator=(const StandIn &) = delete;
  ~StandIn() { Stop(); }

  // Starts qmdrvd with `extra` options; returns its exit status and output.
  int Start(const std::vector<std::string> &extra = {}, std::string *output = nullptr);
  // Stops it with SIGTERM and waits until it is gone; false if it would not go.
  bool Stop();
  // The requests logged since the start (or since the last Forget).
  std::vector<LogEntry> Requests() const;
  // Only the ioctl lines, for tests that look at what reached the driver.
  std::vector<LogEntry> Ioctls() const;
  // Makes Requests() start after what has been logged so far.
  void Forget();

  static const char *Binary() { return RTK_BINARY_DIR "/tools/qmdrvd/qmdrvd"; }
  static const char *PidFile() { return "/tmp/qmdrvd-test.pid"; }
  static const char *LogFile() { return "/tmp/qmdrvd-test.log"; }
  static const char *MountPoint() { return "/tmp/qmdrvd-test.mnt"; }

 private:
  pid_t pid_ = -1;
  size_t seen_ = 0;
};

}  // namespace rtktest

// Enters a private mount namespace (skips without root) and the driver
// sandbox (fails when that cannot be set up as root).
#define RTK_REQUIRE_DRIVER_SANDBOX() \
  do { RTK_REQUIRE_PRIVATE_MOUNT_NS(); if (const std::string rtk_reason = rtktest::EnterDriverSandbox(); !rtk_reason.empty()) GTEST_FAIL() << rtk_reason; } while (0)
