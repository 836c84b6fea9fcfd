// Shared test support: private mount namespaces for tests that need root,
// guarded buffers that catch writes outside a caller's buffer, scratch
// directories and files, child processes that die with the test, and the
// check that a test leaves no descriptor open.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
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

// A fresh directory below /tmp (mode 0755, so that a child running as
// another user can enter it), removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }
  std::string path_ = "/tmp/rtk-test-XXXXXX";
};

// Writes `content` to `path` (created or truncated) with permissions `mode`;
// a failure fails the test.
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);

// The whole content of `path`; "" when it cannot be read.
std::string ReadFile(const std::string &path);

// The lines of `text`, without their line feeds.
std::vector<std::string> Lines(const std::string &text);

// True when something (a link included) has the name `path`.
bool Exists(const std::string &path);

// fork() for tests: the child is killed when the thread that forked it
// ends, so that a fault that makes it spin cannot outlive the test.
pid_t Fork();

// Waits for child `pid` to end and answers its exit code (-1 when a signal
// ended it).
int WaitForExit(pid_t pid);

// Runs body in a new run of this program (a death test), where process-wide
// state is as loaded; its failed checks fail the current test (and are shown).
void InFreshProcess(const std::function<void()> &body);

// Runs fn in a child made by Fork() and answers its exit code (-1 when a
// signal ended it).
int InChild(const std::function<int()> &fn);

// Runs `argv` (no shell) and returns its exit status, or -1 when it could
// not be started; standard output and error are appended to *output.
int RunCommand(const std::vector<std::string> &argv, std::string *output = nullptr);

// Runs the build's rtkctl with `args` (see RunCommand).
int Rtkctl(std::vector<std::string> args, std::string *output = nullptr);

// Waits up to 10 s for child `pid` to end and answers its exit status; a
// child that is still there is killed and gives -1, as does one that a
// signal ended. A process stuck in a request that a FUSE server holds cannot
// die before the server lets go; it is then left unreaped.
int ExitStatusWithin10s(pid_t pid);

// Run by the test programs' main() first. As root, the rest of the program
// runs in a PID namespace of its own whose first process dies with the
// calling process, so that every process a test starts (daemons included)
// dies when the program ends or is killed: it returns in the process that
// runs the tests (in a private mount namespace, with a /proc of its own),
// while the calling process waits for it and exits with its exit status (or
// 128 + the signal that ended it). Elsewhere (no root, several threads) it returns at once and only
// the children made by Fork() die with the test.
void ContainDescendants();

// Makes every test of the program fail that leaves a descriptor open which
// was not open when it started. Call it from a namespace-scope initializer.
bool CheckDescriptorsAroundEachTest();

}  // namespace rtktest

// Skips the current test, with the reason, unless it now runs as root in a
// private mount namespace.
#define RTK_REQUIRE_PRIVATE_MOUNT_NS() \
  do { if (const std::string rtk_ns_reason = rtktest::EnterPrivateMountNamespace(); !rtk_ns_reason.empty()) GTEST_SKIP() << rtk_ns_reason; } while (0)

// A test whose body runs in a fresh run of the program (InFreshProcess).
#define FRESH_TEST(suite, name) \
  void suite##name(); TEST(suite, name) { rtktest::InFreshProcess(suite##name); } void suite##name()
