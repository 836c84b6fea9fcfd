// rtkctl driver start|stop|status: starts and stops the stand-in driver
// qmdrvd with its bind onto /dev/quillmar0, and tells whether the device
// opens and what "<kversion/>" returns.
#include "cmd_driver.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pf_driverif.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmxml.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

// Where the stand-in keeps its process ID and mounts its file system; the
// sample package's load and unload scripts are built with the same directory.
constexpr char kRunDir[] = RTK_DRIVER_RUN_DIR;
constexpr char kPidFile[] = RTK_DRIVER_RUN_DIR "/qmdrvd.pid";
constexpr char kMountPoint[] = RTK_DRIVER_RUN_DIR "/mnt";
// How long a stop waits for the stand-in to go.
constexpr int kStopWaitMs = 10000;

// The stand-in binary: beside rtkctl (installed together, or in the build
// tree's qmdrvd directory), in ../sbin, or else from PATH.
std::string FindStandIn() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    const std::string dir = std::string(self, std::strrchr(self, '/') - self);
    for (const char *relative : {"/qmdrvd", "/qmdrvd/qmdrvd", "/../sbin/qmdrvd"}) {
      const std::string candidate = dir + relative;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
  }
  return "qmdrvd";
}

// Runs argv (no shell) with this tool's output, and returns its exit status.
int RunProgram(std::vector<std::string> argv) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "rtkctl: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The stand-in's process ID from its pidfile, or 0 when none runs.
pid_t RunningPid() {
  FILE *file = std::fopen(kPidFile, "r");
  if (file == nullptr) return 0;
  int pid = 0;
  if (std::fscanf(file, "%d", &pid) != 1) pid = 0;
  std::fclose(file);
  return pid > 0 && kill(pid, 0) == 0 ? pid : 0;
}

// Starts the stand-in as a daemon, with its pid file and mount point in the
// run directory (created when missing) and its device on /dev/quillmar0.
int Start(int argc, char **argv) {
  if (mkdir(kRunDir, 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "driver: cannot create %s: %s\n", kRunDir, std::strerror(errno));
    return kExitFailed;
  }
  std::vector<std::string> args = {FindStandIn(), "--daemon", "--pidfile", kPidFile,
                                   "--device", PF_DRIVER_DEVICE};
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  args.emplace_back(kMountPoint);
  if (RunProgram(args) != 0) {
    std::fprintf(stderr, "driver: the stand-in driver did not start\n");
    return kExitFailed;
  }
  std::printf("driver: started (pid %d), serving %s\n", static_cast<int>(RunningPid()),
              PF_DRIVER_DEVICE);
  return kExitOk;
}

// Sends SIGTERM and waits (bounded) until the process has gone.
int Stop() {
  const pid_t pid = RunningPid();
  if (pid == 0) {
    std::printf("driver: not running\n");
    return kExitOk;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0 || kill(pid, SIGTERM) != 0) {
    std::fprintf(stderr, "driver: cannot stop pid %d: %s\n", static_cast<int>(pid),
                 std::strerror(errno));
    if (pidfd >= 0) close(pidfd);
    return kExitFailed;
  }
  pollfd gone{pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&gone, 1, kStopWaitMs);
  } while (ready < 0 && errno == EINTR);
  close(pidfd);
  if (ready != 1) {
    std::fprintf(stderr, "driver: pid %d did not stop\n", static_cast<int>(pid));
    return kExitFailed;
  }
  std::printf("driver: stopped (pid %d)\n", static_cast<int>(pid));
  return kExitOk;
}

// Loaded means the device opens; the driver's version comes from
// "<kversion/>" as the installer reads it.
int Status() {
  int64_t handle = -1;
  const int32_t opened = PF_OpenDriver(&handle);
  if (opened != QM_SUCCESS) {
    const int err = errno;
    if (IsPermissionError(err)) {
      std::printf("driver: cannot tell (%s: %s)\n", PF_DRIVER_DEVICE, std::strerror(err));
    } else {
      std::printf("driver: not loaded (%s does not open)\n", PF_DRIVER_DEVICE);
    }
    PrintDriverResult(opened);
    return kExitFailed;
  }
  char reply[1024] = "<kversion/>";
  const int32_t result = qma_simpleXML(handle, reply, reply, sizeof reply);
  PF_CloseDriver(handle);
  std::printf("driver: loaded (%s opens)\n", PF_DRIVER_DEVICE);
  PrintDriverResult(result);
  std::printf("reply: %s\n", reply);
  char version[64];
  if (result == QM_INFO_XMLRESPONSE &&
      xml_getAssignment(reply, "version", version, sizeof version, "") != nullptr) {
    std::printf("version: %s\n", version);
  }
  return kExitOk;
}

int RunDriver(int argc, char **argv);

const Command kDriver = {"driver", "start [OPTIONS]|stop|status",
                         "start, stop or query the stand-in driver", RunDriver};

int RunDriver(int argc, char **argv) {
  if (argc < 2) return UsageError(kDriver);
  const std::string action = argv[1];
  if (action == "start") return Start(argc - 2, argv + 2);
  if (argc != 2) return UsageError(kDriver);
  if (action == "stop") return Stop();
  if (action == "status") return Status();
  return UsageError(kDriver);
}

const Registration kRegistration(kDriver);

}  // namespace

int DeviceOpenError() {
  int64_t handle = -1;
  if (PF_OpenDriver(&handle) == QM_SUCCESS) {
    PF_CloseDriver(handle);
    return 0;
  }
  return errno;
}

bool IsPermissionError(int err) { return err == EACCES || err == EPERM; }

int32_t AskDriverVersion(std::string *version) {
  char reply[1024] = "<kversion/>";
  const int32_t result = qma_simpleXML(0, reply, reply, sizeof reply);
  char value[sizeof reply] = "";
  if (result == QM_INFO_XMLRESPONSE) xml_getAssignment(reply, "version", value, sizeof value, "");
  *version = value;
  return result;
}

void PrintDriverResult(int32_t result) {
  if (result == -1) {
    std::printf("result: -1 (the command does not fit the buffer)\n");
  } else {
    std::printf("result: %d %s\n", static_cast<int>(result), QMERR_err2mnemonic(result));
  }
}

}  // namespace rtkctl
