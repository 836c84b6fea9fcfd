// Shared test support (see rtktest.h).
#include "rtktest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rtktest {

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

int RunCommand(const std::vector<std::string> &argv, std::string *output) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipefd[1]);
  char chunk[4096];
  for (;;) {
    ssize_t n = read(pipefd[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output) output->append(chunk, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

}  // namespace rtktest
