// Shared test support, in three parts: scratch files, child processes and
// the namespaces the programs run in (rtktest.h); the capture of the message
// log's terminal lines (log_capture.h); the driver sandbox and the stand-in
// driver (standin.h).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "log_capture.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"
#include "standin.h"

namespace rtktest {
namespace {

// Fails a test that ends with a descriptor open that it did not find open.
struct DescriptorCheck : testing::EmptyTestEventListener {
  // The descriptors open in this process, with what each refers to; the
  // listing's own descriptor is left out.
  static std::map<std::string, std::string> Open() {
    std::map<std::string, std::string> open;
    std::error_code ec;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) open[fd.path().filename()] = std::filesystem::read_symlink(fd.path(), ec);
    std::erase_if(open, [](const auto &entry) { return entry.second == "/proc/" + std::to_string(getpid()) + "/fd"; });
    return open;
  }
  void OnTestStart(const testing::TestInfo &) override { before = Open(); }
  void OnTestEnd(const testing::TestInfo &) override {
    for (const auto &[fd, target] : Open()) if (before[fd] != target) ADD_FAILURE() << "descriptor " << fd << " (" << target << ") left open";
  }
  std::map<std::string, std::string> before;
};

std::string Failed(const std::string &what) { return "cannot " + what + ": " + strerror(errno); }

// Covers `dir` with an empty tmpfs and mounts back, at their own paths, the
// directories right below `dir` that hold the source or the build tree, so
// that a checkout under /tmp still finds its programs and package.
std::string CoverWithTmpfs(const std::string &dir) {
  const int old = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string reason = mount("rtktest", dir.c_str(), "tmpfs", 0, "mode=1777") == 0 ? "" : Failed("mount a private " + dir);
  for (const std::string tree : {RTK_SOURCE_DIR, RTK_BINARY_DIR}) {
    if (!reason.empty() || !tree.starts_with(dir + "/")) continue;
    const std::string top = tree.substr(0, tree.find('/', dir.size() + 1)), from = "/proc/self/fd/" + std::to_string(old) + top.substr(dir.size());
    if ((mkdir(top.c_str(), 0755) != 0 && errno != EEXIST) || mount(from.c_str(), top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      reason = Failed("keep " + top + " visible");
  }
  close(old);
  return reason;
}

// Splits a log line of the stand-in into its key=value words; a quoted
// value may hold blanks and backslash escapes.
LogEntry ParseLine(const std::string &line) {
  static const std::regex word(R"re(([^ =]+)(=("((\\.|[^"\\])*)"|[^ ]*))?)re"), escape(R"re(\\(.))re");
  LogEntry entry;
  for (std::sregex_iterator it(line.begin(), line.end(), word), end; it != end; ++it) {
    if (entry.empty()) entry["event"] = (*it)[1];
    entry[(*it)[1]] = (*it)[4].matched ? std::regex_replace((*it)[4].str(), escape, "$1") : (*it)[3].str();
  }
  return entry;
}

// Splits terminal output into log lines; a line without this process's ID
// fails the test, or is left out when `othersAllowed`.
std::vector<LogLine> ParseLines(const std::string &raw, bool othersAllowed = false) {
  const std::regex line("^" + std::to_string(getpid()) + " (([0-9]+): )?([^\n]*\n?)");
  std::vector<LogLine> lines;
  for (size_t pos = 0, end; pos < raw.size(); pos = end) {
    end = std::min(raw.find('\n', pos), raw.size() - 1) + 1;
    std::smatch m;
    if (const std::string text = raw.substr(pos, end - pos); std::regex_match(text, m, line)) lines.push_back({m[2].matched, m[3], m[2].matched ? std::stoll(m[2]) : 0});
    else if (!othersAllowed) ADD_FAILURE() << "line without the process ID: [" << text << "]";
  }
  return lines;
}

}  // namespace

// ---- scratch files, children, namespaces ---------------------------------

std::string EnterPrivateMountNamespace() {
  if (geteuid() != 0) return "needs root for a private mount namespace";
  if (unshare(CLONE_NEWNS) != 0) return Failed("unshare(CLONE_NEWNS)");
  return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? "" : Failed("make / private");
}

GuardedBuffer::GuardedBuffer(size_t size, unsigned char fill) : size_(size), storage_(size + 2 * kGuard, kGuardByte) { std::memset(storage_.data() + kGuard, fill, size); }

// The guards are intact when each holds kGuard guard bytes.
bool GuardedBuffer::Intact() const {
  return std::count(storage_.begin(), storage_.begin() + kGuard, kGuardByte) + std::count(storage_.end() - kGuard, storage_.end(), kGuardByte) == 2 * kGuard;
}

TempDir::TempDir() { if (mkdtemp(path_.data()) == nullptr || chmod(path_.c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << path_; }

TempDir::~TempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  EXPECT_TRUE(static_cast<bool>(std::ofstream(path, std::ios::binary) << content) && chmod(path.c_str(), mode) == 0) << "cannot write " << path;
}

std::string ReadFile(const std::string &path) { return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}}; }

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Exists(const std::string &path) { struct stat st; return lstat(path.c_str(), &st) == 0; }

// A child whose parent died before it could ask for the signal ends at once.
pid_t Fork() {
  std::fflush(nullptr);
  const pid_t parent = getpid(), pid = fork();
  if (pid == 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) _exit(127);
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void InFreshProcess(const std::function<void()> &body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT({
    body();
    const testing::TestResult *result = testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result->total_part_count(); ++i) std::fprintf(stderr, "%s\n", result->GetTestPartResult(i).message());
    std::exit(result->Failed() ? 1 : 0);  // exit, not _Exit: LeakSanitizer checks the fresh run
  }, testing::ExitedWithCode(0), "");
}

int InChild(const std::function<int()> &fn) {
  const pid_t pid = Fork();
  if (pid == 0) _exit(fn());
  return pid < 0 ? -1 : WaitForExit(pid);
}

int RunCommand(const std::vector<std::string> &argv, std::string *output) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  const pid_t pid = Fork();
  if (pid == 0 && dup2(pipefd[1], 1) == 1 && dup2(pipefd[1], 2) == 2) execvp(args[0], args.data());
  if (pid == 0) _exit(127);
  close(pipefd[1]);
  char chunk[4096];
  for (ssize_t n; (n = read(pipefd[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0 && output) output->append(chunk, static_cast<size_t>(n));
  close(pipefd[0]);
  return pid < 0 ? -1 : WaitForExit(pid);
}

int Rtkctl(std::vector<std::string> args, std::string *output) { args.insert(args.begin(), RTK_BINARY_DIR "/tools/rtkctl"); return RunCommand(args, output); }

// Waits on a pidfd; a child still there after 10 s is killed, and given one
// more second.
int ExitStatusWithin10s(pid_t pid) {
  int status = 0;
  pollfd gone{static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0};
  if (gone.fd >= 0 && poll(&gone, 1, 10000) != 1 && kill(pid, SIGKILL) == 0) poll(&gone, 1, 1000);
  close(gone.fd);
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
  if (!EnterPrivateMountNamespace().empty() || unshare(CLONE_NEWPID) != 0) return;
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

bool CheckDescriptorsAroundEachTest() { testing::UnitTest::GetInstance()->listeners().Append(new DescriptorCheck); return true; }

// ---- the message log's terminal lines ------------------------------------

StdoutCapture::StdoutCapture() : saved_(fcntl(1, F_DUPFD_CLOEXEC, 3)), file_(memfd_create("rtktest-stdout", MFD_CLOEXEC)) {
  EXPECT_GE(file_, 0);
  std::fflush(stdout);
  dup2(file_, 1);
}

std::string StdoutCapture::Finish() {
  if (saved_ < 0) return "";
  std::fflush(stdout);
  dup2(saved_, 1);
  close(std::exchange(saved_, -1));
  const std::string out = ReadFile("/proc/self/fd/" + std::to_string(file_));
  close(file_);
  return out;
}

std::string Logged(const std::function<void()> &body) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  StdoutCapture capture;
  body();
  return capture.Finish();
}

std::vector<std::string> LoggedTexts(const std::function<void()> &body) {
  std::vector<std::string> texts;
  for (const LogLine &line : ParseLines(Logged(body), true)) if (line.stamped) texts.push_back(line.text.substr(0, line.text.find('\n')));
  return texts;
}

void LoggingTest::SetUp() {
  TRACE_SetLevelByStr("Fine");
  TRACE_SetProgram(nullptr);
  TRACE_SetMode(0);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  static int serial = 0;
  marker_ = "start of test " + std::to_string(++serial) + " " + std::to_string(rand()) + "\n";
  capture_ = std::make_unique<StdoutCapture>();
  TRACE_Set(QM_TRACE_ALL);  // an exit line of a "hook_" function resets the depth
  qmexitn(QM_TRACE_BASIC, "hook_reset", 0);
  TRACE_Set(0);
  LOG_Log(QM_LOG_PRINT, "%s", marker_.c_str());
}

void LoggingTest::TearDown() { capture_.reset(); TRACE_Set(0); }

std::vector<LogLine> LoggingTest::Captured() {
  const std::vector<LogLine> lines = ParseLines(capture_->Finish());
  const auto marker = std::find_if(lines.begin(), lines.end(), [&](const LogLine &l) { return l.stamped && l.text == marker_; });
  EXPECT_NE(marker, lines.end()) << "start marker not captured";
  return {marker == lines.end() ? lines.begin() : marker + 1, lines.end()};
}

std::vector<std::string> LoggingTest::CapturedTexts() {
  std::vector<std::string> texts;
  for (const LogLine &l : Captured()) texts.push_back(l.text);
  return texts;
}

// ---- the driver sandbox and the stand-in driver --------------------------

std::string EnterDriverSandbox() {
  // A test that ran before in this process left its sandbox behind in the
  // copied mounts: drop its /dev (an overlay) so that every test starts afresh.
  struct statfs dev;
  if (statfs("/dev", &dev) == 0 && dev.f_type == 0x794c7630 && umount2("/dev", MNT_DETACH) != 0)
    return Failed("drop the previous /dev overlay");
  if (const std::string reason = CoverWithTmpfs("/tmp") + CoverWithTmpfs("/run"); !reason.empty()) return reason;
  if (mkdir("/tmp/.dev-upper", 0755) != 0 || mkdir("/tmp/.dev-work", 0755) != 0 ||
      mount("rtkdev", "/dev", "overlay", 0, "lowerdir=/dev,upperdir=/tmp/.dev-upper,workdir=/tmp/.dev-work") != 0)
    return Failed("overlay /dev");
  return "";
}

int StandIn::Start(const std::vector<std::string> &extra, std::string *output) {
  // The detached daemon is re-parented to this process, which reaps it in
  // Stop(). Only this one: a daemon that a test's script or rtkctl starts
  // later goes to the namespace's reaper, so that a script waiting for it to
  // go does not wait for a zombie of this process.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> argv = {Binary(), "--daemon", "--pidfile", PidFile(), "--log", LogFile(), "--device", "/dev/quillmar0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(MountPoint());
  const int status = RunCommand(argv, output);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  if (status == 0) std::ifstream(PidFile()) >> pid_;
  Forget();
  return status;
}

bool StandIn::Stop() {
  const pid_t pid = std::exchange(pid_, -1);
  return pid <= 0 || (kill(pid, SIGTERM) == 0 && ExitStatusWithin10s(pid) == 0);
}

std::vector<LogEntry> StandIn::Requests() const {
  const std::vector<std::string> lines = Lines(ReadFile(LogFile()));
  std::vector<LogEntry> entries;
  std::transform(lines.begin() + static_cast<long>(std::min(seen_, lines.size())), lines.end(), std::back_inserter(entries), ParseLine);
  return entries;
}

std::vector<LogEntry> StandIn::Ioctls() const {
  std::vector<LogEntry> ioctls = Requests();
  std::erase_if(ioctls, [](LogEntry &entry) { return entry["event"] != "ioctl"; });
  return ioctls;
}

void StandIn::Forget() { seen_ = Lines(ReadFile(LogFile())).size(); }

}  // namespace rtktest
