// Shared test support (see rtktest.h).
#include "rtktest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace rtktest {
namespace {

// The descriptors open in this process, with what each refers to.
// The listing's own descriptor (to the directory /proc/PID/fd) is left out.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> open;
  std::error_code ec;
  for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
    open[std::stoi(fd.path().filename())] = std::filesystem::read_symlink(fd.path(), ec);
  std::erase_if(open, [](const auto &fd) { return fd.second == "/proc/" + std::to_string(getpid()) + "/fd"; });
  return open;
}

// Fails a test that ends with a descriptor open that it did not find open.
struct DescriptorCheck : testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override { before = OpenDescriptors(); }
  void OnTestEnd(const testing::TestInfo &) override {
    for (const auto &[fd, target] : OpenDescriptors())
      if (!before.contains(fd) || before[fd] != target) ADD_FAILURE() << "descriptor " << fd << " (" << target << ") left open";
  }
  std::map<int, std::string> before;
};

}  // namespace

std::string EnterPrivateMountNamespace() {
  if (geteuid() != 0) return "needs root for a private mount namespace";
  if (unshare(CLONE_NEWNS) != 0)
    return std::string("unshare(CLONE_NEWNS) failed: ") + strerror(errno);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("cannot make / private: ") + strerror(errno);
  return "";
}

GuardedBuffer::GuardedBuffer(size_t size, unsigned char fill)
    : size_(size), storage_(size + 2 * kGuard, kGuardByte) {
  std::memset(storage_.data() + kGuard, fill, size);
}

bool GuardedBuffer::Intact() const {
  for (size_t i = 0; i < kGuard; ++i) {
    if (storage_[i] != kGuardByte || storage_[kGuard + size_ + i] != kGuardByte) return false;
  }
  return true;
}

TempDir::TempDir() {
  if (mkdtemp(path_.data()) == nullptr || chmod(path_.c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << path_;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  EXPECT_TRUE(static_cast<bool>(std::ofstream(path, std::ios::binary) << content)) << "cannot write " << path;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A child whose parent died before it could ask for the signal ends at once.
pid_t Fork() {
  std::fflush(nullptr);
  const pid_t parent = getpid(), pid = fork();
  if (pid == 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) _exit(127);
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int InChild(const std::function<int()> &fn) {
  const pid_t pid = Fork();
  if (pid == 0) _exit(fn());
  return pid < 0 ? -1 : WaitForExit(pid);
}

pid_t StartCommand(const std::vector<std::string> &argv, int output) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = Fork();
  if (pid == 0) {
    dup2(output, 1);
    dup2(output, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int RunCommand(const std::vector<std::string> &argv, std::string *output) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  const pid_t pid = StartCommand(argv, pipefd[1]);
  close(pipefd[1]);
  char chunk[4096];
  for (ssize_t n; (n = read(pipefd[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0 && output) output->append(chunk, static_cast<size_t>(n));
  close(pipefd[0]);
  return pid < 0 ? -1 : WaitForExit(pid);
}

int Rtkctl(std::vector<std::string> args, std::string *output) {
  args.insert(args.begin(), RTK_BINARY_DIR "/tools/rtkctl");
  return RunCommand(args, output);
}

int ExitStatusWithin10s(pid_t pid) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd gone{pidfd, POLLIN, 0};
  if (pidfd >= 0 && poll(&gone, 1, 10000) != 1) {
    kill(pid, SIGKILL);
    poll(&gone, 1, 1000);
  }
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The namespace's first process (the reaper) and the process that runs the
// tests are children of the caller and die with it; each ends at once when
// the caller is gone before it could ask for that. The reaper ignores
// SIGCHLD, so that the orphans handed to it are collected at once; the tests
// get a /proc of their namespace, so that /proc/PID names their children.
// The caller exits with the tests' exit status, or 128 + the signal that
// ended them (as a shell does).
void ContainDescendants() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || unshare(CLONE_NEWPID) != 0)
    return;
  const int caller = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
  const pid_t reaper = fork();
  if (reaper == 0) {
    pollfd gone{caller, POLLIN, 0};
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || poll(&gone, 1, 0) != 0) _exit(127);
    signal(SIGCHLD, SIG_IGN);
    for (;;) pause();
  }
  const pid_t tests = reaper > 0 ? fork() : -1;
  if (tests == 0) {
    // The caller lies outside the namespace: 0 is its process ID here.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != 0) _exit(127);
    close(caller);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) perror("rtktest: mount /proc");
    return;
  }
  if (tests < 0) perror("rtktest: cannot start the tests in a PID namespace");
  int status = 0;
  while (tests > 0 && waitpid(tests, &status, 0) < 0 && errno == EINTR) {}
  _exit(tests < 0 ? 1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

bool CheckDescriptorsAroundEachTest() {
  testing::UnitTest::GetInstance()->listeners().Append(new DescriptorCheck);
  return true;
}

}  // namespace rtktest
