// qmdrvd: command line and life cycle of the stand-in driver.
//
//   qmdrvd [--daemon] [--pidfile FILE] [--device PATH] [answer options] MOUNTPOINT
//
// Start-up: refuse a second instance (pidfile lock, device or mount point
// already in use), detach when asked, mount the device file system, bind
// its file onto --device, write the pidfile, and only then report ready (a
// detaching start returns when the device answers). SIGTERM, SIGINT or
// SIGHUP undo all of it in reverse order.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmdrvd.h"

namespace qmdrvd {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: qmdrvd [OPTIONS] MOUNTPOINT\n"
    "Serves the stand-in driver's device file \"quillmar0\" from a FUSE file system\n"
    "mounted at MOUNTPOINT (created when missing) and, with --device, binds it\n"
    "onto PATH, for example /dev/quillmar0. SIGTERM, SIGINT or SIGHUP stop it and\n"
    "undo the mount and the bind.\n"
    "\n"
    "  -f, --foreground        stay in the foreground (the default)\n"
    "  -d, --daemon            detach; the start returns once the device answers\n"
    "  -p, --pidfile FILE      write the process ID to FILE; a second start with\n"
    "                          the same FILE is refused while the first one runs\n"
    "  -D, --device PATH       bind the device file onto PATH (created when\n"
    "                          missing and removed again at the stop)\n"
    "  -V, --version VERSION   driver version that \"<kversion/>\" reports (" RTK_DRIVER_VERSION ")\n"
    "  -c, --reply-code CODE   answer every request with result code CODE\n"
    "  -t, --reply-text TEXT   answer every command with the reply TEXT (result\n"
    "                          XMLRESPONSE unless --reply-code says otherwise)\n"
    "  -F, --fail-ioctl[=RET]  fail every ioctl: a negative RET fails it with the\n"
    "                          errno -RET, a positive RET makes ioctl return RET\n"
    "                          (default -5, EIO)\n"
    "  -l, --log FILE          append one line per request to FILE\n"
    "  -h, --help              print this text\n"
    "\n"
    "Commands: <kversion/>, <trace .../>, <reset/>, <hooks/>; others answer IVKEYWORD.\n"
    "Exit status: 0 stopped cleanly (or, with --daemon, started), 1 failed, 2 bad usage.\n";

struct Options {
  bool daemon = false;
  std::string pidfile;
  std::string device;
  std::string log;
  std::string mountpoint;
  Behaviour behaviour;
};

// Reads a whole decimal number (with sign) into *value; false for anything else.
bool ParseNumber(const char *text, long long *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

// Fills `options` from the command line; false (after a message) on bad usage.
bool ParseOptions(int argc, char **argv, Options *options, bool *help) {
  static const option kLong[] = {
      {"foreground", no_argument, nullptr, 'f'},   {"daemon", no_argument, nullptr, 'd'},
      {"pidfile", required_argument, nullptr, 'p'}, {"device", required_argument, nullptr, 'D'},
      {"version", required_argument, nullptr, 'V'}, {"reply-code", required_argument, nullptr, 'c'},
      {"reply-text", required_argument, nullptr, 't'},
      {"fail-ioctl", optional_argument, nullptr, 'F'}, {"log", required_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
  Behaviour &b = options->behaviour;
  int c;
  long long number = 0;
  while ((c = getopt_long(argc, argv, "fdp:D:V:c:t:F::l:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'f': options->daemon = false; break;
      case 'd': options->daemon = true; break;
      case 'p': options->pidfile = optarg; break;
      case 'D': options->device = optarg; break;
      case 'l': options->log = optarg; break;
      case 'V': b.version = optarg; break;
      case 't':
        b.fixedText = true;
        b.replyText = optarg;
        break;
      case 'c':
        if (!ParseNumber(optarg, &number) || number < INT32_MIN || number > INT32_MAX) {
          std::fprintf(stderr, "qmdrvd: --reply-code needs a 32-bit number, not '%s'\n", optarg);
          return false;
        }
        b.fixedCode = true;
        b.replyCode = number;
        break;
      case 'F':
        number = -EIO;
        if (optarg != nullptr && (!ParseNumber(optarg, &number) || number == 0 ||
                                  number < -4095 || number > INT32_MAX)) {
          std::fprintf(stderr, "qmdrvd: --fail-ioctl needs -ERRNO or a positive number\n");
          return false;
        }
        b.failIoctl = true;
        b.failReturn = static_cast<int>(number);
        break;
      case 'h': *help = true; return true;
      default: return false;
    }
  }
  if (optind != argc - 1) {
    std::fprintf(stderr, "qmdrvd: give exactly one MOUNTPOINT (see qmdrvd --help)\n");
    return false;
  }
  options->mountpoint = argv[optind];
  return true;
}

// The absolute form of `path` with symbolic links resolved in its directory;
// the last component is kept as it is, so that a path to a dead mount works.
std::string Canonical(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return path;
  std::string result = resolved;
  if (base.empty()) return result;
  if (result != "/") result += '/';
  return result + base;
}

// Decodes the octal escapes (\040 for a blank ...) of a mountinfo field.
std::string Unescape(const char *field) {
  std::string out;
  for (const char *p = field; *p != '\0'; ++p) {
    if (p[0] == '\\' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' &&
        p[3] <= '7') {
      out += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
      p += 3;
    } else {
      out += *p;
    }
  }
  return out;
}

// Whether something is mounted at `path` (an absolute, canonical path).
bool IsMountPoint(const std::string &path) {
  FILE *mounts = std::fopen("/proc/self/mountinfo", "r");
  if (mounts == nullptr) return false;
  char line[8192];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, mounts) != nullptr) {
    char point[4096];
    if (std::sscanf(line, "%*s %*s %*s %*s %4095s", point) == 1) found = Unescape(point) == path;
  }
  std::fclose(mounts);
  return found;
}

// What start-up finds at the mount point or the device path.
enum class Use { kFree, kStale, kBusy };

// Tells a free path from one that is already served. A mount left behind by
// a stand-in that died is detached (kStale): its FUSE connection is gone, so
// statfs, which unlike stat is never answered from a cache, gives ENOTCONN.
Use CheckUse(const std::string &path, const char *what) {
  if (!IsMountPoint(path)) return Use::kFree;
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0 && errno == ENOTCONN) {
    umount2(path.c_str(), MNT_DETACH);
    std::fprintf(stderr, "qmdrvd: removed the stale mount at %s\n", path.c_str());
    return Use::kStale;
  }
  std::fprintf(stderr, "qmdrvd: %s %s is already in use (is another qmdrvd running?)\n", what,
               path.c_str());
  return Use::kBusy;
}

// The pidfile: locked from the start (the lock refuses a second instance),
// written once the device answers, removed at the stop.
class PidFile {
 public:
  PidFile() = default;
  PidFile(const PidFile &) = delete;
  PidFile &operator=(const PidFile &) = delete;
  ~PidFile() {
    if (fd_ < 0) return;
    if (written_) unlink(path_.c_str());
    close(fd_);
  }

  bool Lock(const std::string &path) {
    path_ = path;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      std::fprintf(stderr, "qmdrvd: cannot open the pidfile %s: %s\n", path.c_str(),
                   std::strerror(errno));
      return false;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    char owner[32] = "?";
    const ssize_t n = pread(fd_, owner, sizeof owner - 1, 0);
    if (n > 0) owner[strcspn(owner, "\n")] = '\0';
    std::fprintf(stderr, "qmdrvd: already running (pid %s, pidfile %s)\n", owner, path.c_str());
    close(fd_);
    fd_ = -1;
    return false;
  }

  void Write() {
    if (fd_ < 0) return;
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    written_ = ftruncate(fd_, 0) == 0 && pwrite(fd_, text, static_cast<size_t>(length), 0) == length;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool written_ = false;
};

// A path that this run creates when it is missing (the mount point directory
// or the bind target file) and removes again at the stop.
class CreatedPath {
 public:
  CreatedPath() = default;
  CreatedPath(const CreatedPath &) = delete;
  CreatedPath &operator=(const CreatedPath &) = delete;
  ~CreatedPath() {
    if (path_.empty()) return;
    if (directory_) {
      rmdir(path_.c_str());
    } else {
      unlink(path_.c_str());
    }
  }

  // Makes sure `path` exists, as a directory or as an empty file. With
  // `adopt`, a path that exists already (left by a stand-in that died) is
  // removed at the stop as well.
  bool Ensure(const std::string &path, bool directory, bool adopt) {
    const int made = directory ? mkdir(path.c_str(), 0755)
                               : open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made < 0) {
      if (errno != EEXIST) {
        std::fprintf(stderr, "qmdrvd: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
      }
      if (adopt) {
        path_ = path;
        directory_ = directory;
      }
      return true;
    }
    if (!directory) close(made);
    path_ = path;
    directory_ = directory;
    return true;
  }

 private:
  std::string path_;
  bool directory_ = false;
};

// The bind of the device file onto the device path. A caller that still
// holds the device open keeps the old binding alive; it is then detached.
class Bind {
 public:
  Bind() = default;
  Bind(const Bind &) = delete;
  Bind &operator=(const Bind &) = delete;
  ~Bind() {
    if (target_.empty()) return;
    if (umount2(target_.c_str(), 0) != 0) umount2(target_.c_str(), MNT_DETACH);
  }

  bool Attach(const std::string &source, const std::string &target) {
    if (mount(source.c_str(), target.c_str(), "none", MS_BIND, nullptr) != 0) {
      std::fprintf(stderr, "qmdrvd: cannot bind %s onto %s: %s\n", source.c_str(), target.c_str(),
                   std::strerror(errno));
      return false;
    }
    target_ = target;
    return true;
  }

 private:
  std::string target_;
};

// Detaching: the parent waits until the child reports ready (or fails) and
// exits with the matching status, so a detaching start returns only once
// the device answers.
class Readiness {
 public:
  Readiness() = default;
  Readiness(const Readiness &) = delete;
  Readiness &operator=(const Readiness &) = delete;
  ~Readiness() {
    if (fd_ >= 0) close(fd_);
  }

  // Forks; returns only in the child. False when the fork fails.
  bool Detach() {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return false;
    const pid_t child = fork();
    if (child < 0) {
      close(pipefd[0]);
      close(pipefd[1]);
      return false;
    }
    if (child > 0) {
      close(pipefd[1]);
      char byte = 0;
      ssize_t n;
      do {
        n = read(pipefd[0], &byte, 1);
      } while (n < 0 && errno == EINTR);
      if (n == 1 && byte == 'R') _exit(kExitOk);
      int status = 0;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      _exit(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : kExitFailed);
    }
    close(pipefd[0]);
    fd_ = pipefd[1];
    setsid();
    return true;
  }

  // Tells a waiting parent that the device answers, and lets go of the
  // terminal and the working directory.
  void Signal() {
    if (fd_ < 0) return;
    const char byte = 'R';
    while (write(fd_, &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd_);
    fd_ = -1;
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      if (devnull > 2) close(devnull);
    }
    if (chdir("/") != 0) return;
  }

 private:
  int fd_ = -1;
};

// Runs the stand-in until a stop signal arrives. Every resource is owned by
// a guard declared in the order of set-up, so the clean-up runs in reverse.
int Run(const Options &options) {
  RequestLog log;
  if (!options.log.empty() && !log.Open(options.log.c_str())) {
    std::fprintf(stderr, "qmdrvd: cannot open the log %s: %s\n", options.log.c_str(),
                 std::strerror(errno));
    return kExitFailed;
  }
  PidFile pidfile;
  if (!options.pidfile.empty() && !pidfile.Lock(Canonical(options.pidfile))) return kExitFailed;
  const std::string mountpoint = Canonical(options.mountpoint);
  const std::string device = options.device.empty() ? "" : Canonical(options.device);
  const Use mountUse = CheckUse(mountpoint, "mount point");
  const Use deviceUse = device.empty() ? Use::kFree : CheckUse(device, "device");
  if (mountUse == Use::kBusy || deviceUse == Use::kBusy) return kExitFailed;

  Readiness readiness;
  if (options.daemon && !readiness.Detach()) {
    std::fprintf(stderr, "qmdrvd: cannot detach: %s\n", std::strerror(errno));
    return kExitFailed;
  }

  // The stop signals are taken with sigwait; the serving thread inherits
  // the mask and unblocks only its own wake-up signal.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  sigaddset(&stop, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  sigdelset(&stop, SIGUSR1);

  CreatedPath mountDir;
  if (!mountDir.Ensure(mountpoint, true, mountUse == Use::kStale)) return kExitFailed;
  Driver driver(options.behaviour);
  Device served(driver, log, options.behaviour);
  if (!served.Start(mountpoint.c_str())) return kExitFailed;
  CreatedPath deviceNode;
  Bind bind;
  if (!device.empty()) {
    if (!deviceNode.Ensure(device, false, deviceUse == Use::kStale)) return kExitFailed;
    if (!bind.Attach(mountpoint + "/" + kDeviceFileName, device)) return kExitFailed;
  }
  pidfile.Write();
  log.Line("start pid=%d", static_cast<int>(getpid()));
  if (!options.daemon) {
    std::fprintf(stderr, "qmdrvd: serving %s (pid %d)\n",
                 device.empty() ? (mountpoint + "/" + kDeviceFileName).c_str() : device.c_str(),
                 static_cast<int>(getpid()));
  }
  readiness.Signal();

  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }
  log.Line("stop signal=%d", signal);
  return kExitOk;
}

}  // namespace
}  // namespace qmdrvd

int main(int argc, char **argv) {
  qmdrvd::Options options;
  bool help = false;
  if (!qmdrvd::ParseOptions(argc, argv, &options, &help)) {
    std::fputs(qmdrvd::kUsage, stderr);
    return qmdrvd::kExitUsage;
  }
  if (help) {
    std::fputs(qmdrvd::kUsage, stdout);
    return qmdrvd::kExitOk;
  }
  return qmdrvd::Run(options);
}
