// Shared test support: private mount namespaces for tests that need root,
// and guarded buffers that catch writes outside a caller's buffer.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtktest {

// Moves the calling (single-threaded) test process into a private mount
// namespace whose mounts do not propagate to the host. Returns an empty
// string on success, or the reason why it cannot be done (not root, no
// unshare permission) so that the caller can skip with that reason.
std::string EnterPrivateMountNamespace();

// A byte buffer of `size` usable bytes with 64 guard bytes on each side,
// filled with a known pattern. `Intact()` tells whether anything wrote
// outside the usable bytes.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size, unsigned char fill = 0xA5);
  char *data() { return reinterpret_cast<char *>(storage_.data() + kGuard); }
  size_t size() const { return size_; }
  bool Intact() const;

 private:
  static constexpr size_t kGuard = 64;
  static constexpr unsigned char kGuardByte = 0xE7;
  size_t size_;
  std::vector<unsigned char> storage_;
};

// Runs `argv` (no shell) and returns its exit status, or -1 when it could
// not be started; standard output and error are appended to *output.
int RunCommand(const std::vector<std::string> &argv, std::string *output = nullptr);

// Waits up to 10 s for child `pid` to end and answers its exit status; a
// child that is still there is killed and gives -1, as does one that a
// signal ended. A process stuck in a request that a FUSE server holds cannot
// die before the server lets go; it is then left unreaped.
int ExitStatusWithin10s(pid_t pid);

}  // namespace rtktest

// Skips the current test, with the reason, unless it now runs as root in a
// private mount namespace.
#define RTK_REQUIRE_PRIVATE_MOUNT_NS()                                  \
  do {                                                                  \
    const std::string rtk_ns_reason = rtktest::EnterPrivateMountNamespace(); \
    if (!rtk_ns_reason.empty()) GTEST_SKIP() << rtk_ns_reason;          \
  } while (0)
