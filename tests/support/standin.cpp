// Test support for the driver channel and the installer (see standin.h).
#include "standin.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "rtktest.h"

namespace rtktest {
namespace {

// Splits a log line into its key=value words; a quoted value may hold
// blanks and backslash escapes.
LogEntry ParseLine(const std::string &line) {
  LogEntry entry;
  for (size_t i = 0; i < line.size();) {
    if (line[i] == ' ') { ++i; continue; }
    const size_t keyStart = i;
    while (i < line.size() && line[i] != '=' && line[i] != ' ') ++i;
    const std::string key = line.substr(keyStart, i - keyStart);
    std::string value;
    const bool quoted = i + 1 < line.size() && line[i] == '=' && line[i + 1] == '"';
    if (i < line.size() && line[i] == '=') ++i;
    for (i += quoted; i < line.size() && line[i] != (quoted ? '"' : ' '); ++i) {
      if (quoted && line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    i += quoted;
    if (key.empty()) continue;
    if (entry.empty()) entry["event"] = key;
    entry[key] = value;
  }
  return entry;
}

std::string Failed(const std::string &what) { return "cannot " + what + ": " + strerror(errno); }

// Covers `dir` with an empty tmpfs and mounts back, at their own paths, the
// directories right below `dir` that hold the source or the build tree, so
// that a checkout under /tmp still finds its programs and package.
std::string CoverWithTmpfs(const std::string &dir) {
  const int old = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string reason = mount("rtktest", dir.c_str(), "tmpfs", 0, "mode=1777") == 0 ? "" : Failed("mount a private " + dir);
  for (const std::string tree : {RTK_SOURCE_DIR, RTK_BINARY_DIR}) {
    if (!reason.empty() || tree.compare(0, dir.size() + 1, dir + "/") != 0) continue;
    const std::string top = tree.substr(0, tree.find('/', dir.size() + 1));
    const std::string from = "/proc/self/fd/" + std::to_string(old) + top.substr(dir.size());
    if ((mkdir(top.c_str(), 0755) != 0 && errno != EEXIST) ||
        mount(from.c_str(), top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      reason = Failed("keep " + top + " visible");
  }
  if (old >= 0) close(old);
  return reason;
}

}  // namespace

std::string EnterDriverSandbox() {
  // A test that ran before in this process left its sandbox behind in the
  // copied mounts: drop its /dev (an overlay) so that every test starts afresh.
  struct statfs dev;
  if (statfs("/dev", &dev) == 0 && dev.f_type == 0x794c7630 && umount2("/dev", MNT_DETACH) != 0)
    return Failed("drop the previous /dev overlay");
  const std::string reason = CoverWithTmpfs("/tmp") + CoverWithTmpfs("/run");
  if (!reason.empty()) return reason;
  if (mkdir("/tmp/.dev-upper", 0755) != 0 || mkdir("/tmp/.dev-work", 0755) != 0 ||
      mount("rtkdev", "/dev", "overlay", 0,
            "lowerdir=/dev,upperdir=/tmp/.dev-upper,workdir=/tmp/.dev-work") != 0)
    return Failed("overlay /dev");
  return "";
}

bool IsMounted(const std::string &path) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line, skip, point; std::getline(in, line);) {
    std::istringstream(line) >> skip >> skip >> skip >> skip >> point;
    if (point == path) return true;
  }
  return false;
}

int StandIn::Start(const std::vector<std::string> &extra, std::string *output) {
  // The detached daemon is re-parented to this process, which then reaps it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> argv = {Binary(), "--daemon", "--pidfile", PidFile(), "--log",
                                   LogFile(), "--device", "/dev/quillmar0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(MountPoint());
  const int status = RunCommand(argv, output);
  if (status == 0) {
    std::ifstream(PidFile()) >> pid_;
    Forget();
  }
  return status;
}

bool StandIn::Stop() {
  const pid_t pid = std::exchange(pid_, -1);
  return pid <= 0 || (kill(pid, SIGTERM) == 0 && ExitStatusWithin10s(pid) == 0);
}

std::vector<LogEntry> StandIn::Requests() const {
  const std::vector<std::string> lines = Lines(ReadFile(LogFile()));
  std::vector<LogEntry> entries;
  for (size_t i = seen_; i < lines.size(); ++i) entries.push_back(ParseLine(lines[i]));
  return entries;
}

std::vector<LogEntry> StandIn::Ioctls() const {
  std::vector<LogEntry> ioctls;
  for (LogEntry &entry : Requests())
    if (entry["event"] == "ioctl") ioctls.push_back(entry);
  return ioctls;
}

void StandIn::Forget() { seen_ = Lines(ReadFile(LogFile())).size(); }

}  // namespace rtktest
