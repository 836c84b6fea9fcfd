// Tests of the driver installer: the entry points end to end, with the
// sample package, its scripts and the stand-in driver, inside a private mount
// namespace with its own /opt, /tmp and /dev; rtkctl's account of what an
// install did; the platform names and the version comparison.
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "log_capture.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtk.h"
#include "rtktest.h"
#include "standin.h"

namespace {

using rtktest::Exists;
using rtktest::ReadFile;
using rtktest::WriteFile;
using Texts = std::vector<std::string>;

const std::string kSample = RTK_BINARY_DIR "/sample-package", kPkg = "/tmp/pkg", kCalls = "/tmp/scripts.log";
const std::string kProbe = kPkg + "/rtkDirTest.txt", kVersion = kPkg + "/misc/version.txt";
const std::string kInstall0 = "rtkinstall /tmp/pkg/platforms/linux/ 0 /tmp/pkg", kInstall1 = "rtkinstall /tmp/pkg/platforms/linux/ 1 /tmp/pkg";

// The script command lines ("NAME ARGS") that ran since the last call.
Texts TakeCalls() {
  Texts calls = rtktest::Lines(ReadFile(kCalls));
  unlink(kCalls.c_str());
  return calls;
}

// Runs `call`; answers its result, and in *logged what it logged and traced.
int32_t Logged(const std::function<int32_t()> &call, Texts *logged) {
  int32_t rc = -1;
  *logged = rtktest::LoggedTexts([&] { rc = call(); });
  return rc;
}

// Installs the package at `dir` (see Logged).
int32_t Install(const std::string &dir, Texts *logged, int64_t traceOn = 0) {
  RTK_InstallRequest request{traceOn, {}};
  dir.copy(request.untarDir, sizeof request.untarDir - 1);
  return Logged([&] { return RTK_InstallDriver(&request); }, logged);
}

// The log target, trace level and trace mask in force.
std::tuple<int32_t, std::string, uint64_t> Settings() {
  int32_t target = -1;
  uint64_t mask = 0;
  return {(LOG_GetTarget(&target), target), TRACE_GetLevelStr(), (TRACE_Get(&mask), mask)};
}

// A path of exactly `length` characters below /tmp/long, in components of at
// most 101 `fill` characters.
std::string DeepPath(size_t length, char fill) {
  std::string path = "/tmp/long";
  while (path.size() + 102 < length) path += "/" + std::string(100, fill);
  return path + "/" + std::string(length - path.size() - 1, fill);
}

// Every test: /opt is a fresh tmpfs, the sample package lies at /tmp/pkg,
// the scripts record their command lines, RTK traces at Fine.
class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    RTK_REQUIRE_DRIVER_SANDBOX();
    ASSERT_EQ(mount("qm-opt", "/opt", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
    ASSERT_EQ(rtktest::RunCommand({"cp", "-a", kSample, kPkg}), 0);
    ASSERT_EQ(chdir("/tmp"), 0);
    setenv("QM_SCRIPT_LOG", kCalls.c_str(), 1);
    TRACE_SetLevelByStr("Fine");
    TRACE_Set(QM_TRACE_RTK);
  }

  // Puts recorders that then run `then` in place of the package's install
  // script and the installed scripts.
  static void UseRecorders(const std::string &then = "exit 0") {
    const std::string recorder = "#!/bin/sh\nprintf '%s %s\\n' \"${0##*/}\" \"$*\" >> " + kCalls + "\n" + then + "\n";
    mkdir("/opt/quillmar", 0755);
    for (const char *path : {"/tmp/pkg/platforms/linux/rtkinstall", "/opt/quillmar/qmloaddrv.sh", "/opt/quillmar/qmunloaddrv.sh", "/opt/quillmar/rtkuninstall"})
      WriteFile(path, recorder, 0755);
  }
};

TEST_F(Installer, InstallsLoadsReinstallsAndUninstallsTheSamplePackage) {
  Texts logged;
  ASSERT_EQ(Install(kPkg, &logged), QM_SUCCESS);
  EXPECT_EQ(logged, (Texts{"RTK testValidDir dir:/tmp/pkg", " RTK testValidDir: fullName is:/tmp/pkg/rtkDirTest.txt",
                           "RTK testValidDir Result:0 (0x0)", "RTK checkInstallDir dir:/tmp/pkg", "RTK checkInstallDir Result:0 (0x0)",
                           "RTK RTK_InstallDriver installDir: /opt/quillmar/, Untar dir: /tmp/pkg", " RTK PF_rtk_InstallDriver: kversion returned 5003 temp:",
                           " RTK install cmd is /tmp/pkg/platforms/linux/rtkinstall /tmp/pkg/platforms/linux/ 1 /tmp/pkg",
                           " RTK load cmd is /opt/quillmar/qmloaddrv.sh", "RTK RTK_InstallDriver Result:0 (0x0)"}));
  EXPECT_EQ((std::tuple{TakeCalls(), Exists(kProbe)}), std::tuple(Texts{kInstall1, "qmloaddrv.sh "}, false));

  // The driver that the package loaded answers 1.0.0.8: the package is
  // installed again, not loaded.
  ASSERT_EQ(Install(kPkg, &logged), QM_SUCCESS);
  EXPECT_EQ(TakeCalls(), Texts{kInstall0});

  EXPECT_EQ(Logged([] { return RTK_UninstallDriver(1); }, &logged), QM_SUCCESS);
  EXPECT_EQ(logged, (Texts{"RTK RTK_UninstallDriver  mode: 1", " RTK unload cmd is /opt/quillmar/qmunloaddrv.sh",
                           " RTK uninstall cmd is /opt/quillmar/rtkuninstall", "RTK RTK_UninstallDriver Result:0 (0x0)"}));
  EXPECT_EQ(TakeCalls(), (Texts{"qmunloaddrv.sh ", "rtkuninstall "}));
  EXPECT_FALSE(Exists("/opt/quillmar") || Exists("/dev/quillmar0"));
}

// Every way an install (or, where a row says, another call) can end: what
// the running driver answers, a shell that cannot start (a device node over
// /bin/sh), what the package holds at the probe's or the version file's
// name, package paths that the shell would interpret or that do not fit.
// Each row answers its code, logs its one error or nothing (the trace is
// off), runs only the scripts it must, and changes nothing outside the
// package (the victim, /tmp/new, /tmp/canary).
TEST_F(Installer, TheDriverThePackageAndThePathDecideWhatRuns) {
  std::string victim;
  const auto keep = [&](const std::string &path) { WriteFile(victim = path, "keep"); return 0; };
  const auto deepPackage = [](const std::string &dir) { std::filesystem::create_directories(dir); return rtktest::RunCommand({"cp", "-a", kSample + "/.", dir}); };
  const auto link = [](const std::string &dir) { return [dir] { return mkdir("/tmp/h", 0755) & symlink(kPkg.c_str(), dir.c_str()); }; };
  const auto nothing = [] { return 0; };
  const auto noShell = [] { return mount("/dev/null", "/bin/sh", nullptr, MS_BIND, nullptr); };
  const auto uninstall = [](int32_t mode) { return [mode] { return RTK_UninstallDriver(mode); }; };
  const std::string probeLog = "Quillmar ERROR Failed to open /tmp/pkg/rtkDirTest.txt errno ", fits = DeepPath(1006, 'd'), cut = DeepPath(1007, 'd');
  const std::string unusable = "Quillmar ERROR PF_rtk_InstallDriver: package path not usable in a command: ", sibling = DeepPath(1012, 's');
  const Texts both = {kInstall1, "qmloaddrv.sh "}, none;
  // qmdrvd options (none: no driver), what changes the package (0 when that
  // worked), the path to install, the result, the scripts that ran, the start
  // of the error logged ("": none), the call when not the install. No two
  // log lines in a row alike: the log would fold them.
  const struct Case { Texts driver; std::function<int()> prepare; std::string dir; int32_t result; Texts calls; std::string log;
                     std::function<int32_t()> call = nullptr; } cases[] = {
      {{"--reply-code=0"}, nothing, kPkg, QM_SUCCESS, {kInstall0}, ""},
      {{"--reply-text=<reply/>"}, nothing, kPkg, QM_INFO_BADXML, none, "Quillmar ERROR PF_rtk_InstallDriver: missing version"},
      {{"--version=one.two"}, nothing, kPkg, QM_ERR_BADPARAM, none, ""},
      {{"--version=1.0.0.7"}, [] { UseRecorders("exit 1"); return 0; }, kPkg, QM_SUCCESS, both, ""},
      {{}, noShell, kPkg, QM_ERR_INSTALL_FAILED, none, "Quillmar ERROR PF_rtk_InstallDriver: failed to run install"},
      {{}, nothing, "", QM_SUCCESS, {"rtkuninstall "}, "", uninstall(0)},
      {{}, noShell, "", QM_ERR_UNLOAD_DRV_FAILED, none, "Quillmar ERROR failed to run qmunloaddrv", uninstall(1)},
      {{}, noShell, "", QM_ERR_UNINSTALL_FAILED, none, "Quillmar ERROR failed to run rtkuninstall", uninstall(0)},
      {{}, [] { UseRecorders("mount --bind /dev/null /bin/sh"); return 0; }, kPkg, QM_ERR_DRVROPEN, {kInstall1}, "Quillmar ERROR failed to run qmloaddrv"},
      {{}, [] { return mkdir("/tmp/ro", 0755) | mount("ro", "/tmp/ro", "tmpfs", MS_RDONLY, nullptr); }, "/tmp/ro", QM_ERR_BADFILE, none, "Quillmar ERROR Failed to open /tmp/ro/rtkDirTest.txt errno 30"},
      {{}, [] { return unlink(kVersion.c_str()); }, kPkg, QM_ERR_BADFILE, none, ""},
      {{}, [] { return mount(kVersion.c_str(), kVersion.c_str(), nullptr, MS_BIND, nullptr) |
                       mount(nullptr, kVersion.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr); }, kPkg, QM_ERR_BADFILE, none, ""},
      {{}, nothing, "pkg", QM_ERR_BADPARAM, none, ""},
      {{}, nothing, "", QM_ERR_BADFILE, none, ""},
      {{}, nothing, "p", QM_ERR_BADFILE, none, "Quillmar ERROR Failed to open p/rtkDirTest.txt errno 2"},
      {{}, [] { return symlink("/tmp/victim", kProbe.c_str()); }, kPkg, QM_ERR_BADFILE, none, probeLog + "40"},
      {{}, [] { return ::link("/tmp/victim", kProbe.c_str()); }, kPkg, QM_ERR_BADFILE, none, probeLog + "31"},
      {{}, [] { return symlink("/tmp/new", kProbe.c_str()); }, kPkg, QM_ERR_BADFILE, none, probeLog + "40"},
      {{}, [] { WriteFile(kProbe, "old"); return 0; }, kPkg, QM_SUCCESS, both, ""},
      {{}, [] { return unlink(kVersion.c_str()) | symlink("/tmp/victim", kVersion.c_str()); }, kPkg, QM_ERR_BADFILE, none, ""},
      {{}, [] { return unlink(kVersion.c_str()) | mkfifo(kVersion.c_str(), 0644); }, kPkg, QM_ERR_BADFILE, none, ""},
      {{}, link("/tmp/h/pkg"), "/tmp/h/pkg", QM_SUCCESS, {"rtkinstall /tmp/h/pkg/platforms/linux/ 1 /tmp/h/pkg", "qmloaddrv.sh "}, ""},
      {{}, link("/tmp/h/p;touch canary"), "/tmp/h/p;touch canary", QM_ERR_BADPARAM, none, unusable + "/tmp/h/p;touch canary"},
      {{}, link("/tmp/h/p$(touch canary)"), "/tmp/h/p$(touch canary)", QM_ERR_BADPARAM, none, unusable + "/tmp/h/p$(touch canary)"},
      {{}, link("/tmp/h/p\ntouch canary"), "/tmp/h/p\ntouch canary", QM_ERR_BADPARAM, none, unusable + "/tmp/h/p"},
      // The probe path, cut to 1,023 characters, would name another file.
      {{}, [&] { std::filesystem::create_directories(DeepPath(1022, 'v')); return keep(DeepPath(1022, 'v') + "v"); }, DeepPath(1022, 'v') + "v/../pkg", QM_ERR_BADFILE, none, "Quillmar ERROR Failed to open /tmp/long/v"},
      {{}, [&] { return deepPackage(sibling) | keep(sibling + "/rtkDirTest"); }, sibling, QM_ERR_BADFILE, none, "Quillmar ERROR Failed to open /tmp/long/s"},
      // The longest path whose version path fits passes the file checks (and
      // is too long for the install command); one more does not.
      {{}, [&] { return deepPackage(fits); }, fits, QM_ERR_BADPARAM, none, unusable + "/tmp/long/d"},
      {{}, [&] { return deepPackage(cut); }, cut, QM_ERR_BADFILE, none, ""},
  };
  const auto cleanUp = [] {
    for (const char *mounted : {"/bin/sh", "/tmp/ro", kVersion.c_str()}) umount2(mounted, MNT_DETACH);
    std::error_code ec;
    for (const char *path : {"/tmp/pkg", "/tmp/h", "/tmp/ro", "/tmp/long", "/tmp/new", "/tmp/victim"}) std::filesystem::remove_all(path, ec);
    return rtktest::RunCommand({"cp", "-a", kSample, kPkg});
  };
  TRACE_Set(0);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << &c - cases);
    ASSERT_EQ(cleanUp(), 0);
    UseRecorders();
    keep("/tmp/victim");
    rtktest::StandIn driver;
    ASSERT_EQ(c.driver.empty() ? 0 : driver.Start(c.driver), 0);
    ASSERT_EQ(c.prepare(), 0) << strerror(errno);
    // The version file is opened only when it is the package's plain file.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const bool watched = inotify_add_watch(watch, kVersion.c_str(), IN_OPEN | IN_DONT_FOLLOW) >= 0;
    Texts logged;
    EXPECT_EQ(c.call ? Logged(c.call, &logged) : Install(c.dir, &logged), c.result);
    char events[256];
    const bool opened = read(watch, events, sizeof events) > 0;
    close(watch);
    if (watched && c.dir == kPkg && (c.result == QM_SUCCESS || c.result == QM_ERR_BADFILE)) { EXPECT_EQ(opened, c.result == QM_SUCCESS); }
    EXPECT_TRUE(logged.size() == !c.log.empty() && (logged.empty() || logged[0].starts_with(c.log))) << testing::PrintToString(logged);
    EXPECT_EQ((std::tuple{TakeCalls(), ReadFile(victim), Exists("/tmp/new") || Exists("/tmp/canary"), c.result == QM_SUCCESS && Exists(kProbe)}),
              std::tuple(c.calls, "keep", false, false));
  }
  EXPECT_EQ(cleanUp(), 0);
}

// rtkctl install and uninstall check what the scripts really did: a step
// changes the package (or the driver), then rtkctl exits with `status` and
// shows `shown`.
TEST_F(Installer, RtkctlReportsWhatReallyHappened) {
  // Writes a script of the package ("" puts back the sample's) or, with a
  // '/', an installed one.
  const auto put = [](const std::string &name, const std::string &text) {
    const std::string sample = kSample + "/platforms/linux/" + name.substr(name.rfind('/') + 1);
    WriteFile(name[0] == '/' ? name : kPkg + "/platforms/linux/" + name, text.empty() ? ReadFile(sample) : text, 0755);
  };
  const struct Step { std::function<void()> before; Texts args; int status; const char *shown; } steps[] = {
      {[&] { put("rtkinstall", "#!/bin/sh\nexit 1\n"); }, {"install", kPkg}, 1, "failed: not installed: /opt/quillmar/qmloaddrv.sh: No such file"},
      {[&] { put("rtkinstall", ""), put("qmloaddrv.sh", "#!/bin/sh\n"); }, {"install", kPkg}, 1,
       "failed: the driver was to be loaded, but /dev/quillmar0 does not answer with its version"},
      {[&] { put("qmloaddrv.sh", ""); }, {"install", kPkg}, 0, "result: 0 SUCCESS"},
      {[&] { put("/opt/quillmar/rtkuninstall", "#!/bin/sh\n"); }, {"uninstall"}, 1, "failed: still installed: /opt/quillmar/qmloaddrv.sh"},
      // An install over the installed product that does not install anything.
      {[&] { WriteFile(kVersion, "1.0.0.9\n"), put("rtkinstall", "#!/bin/sh\nexit 1\n"); }, {"install", kPkg}, 1,
       "/opt/quillmar/version.txt records '1.0.0.8', not the package's 1.0.0.9"},
      {[&] { put("/opt/quillmar/rtkuninstall", ""); }, {"uninstall", "--unload"}, 0, "result: 0 SUCCESS"},
      {[] {}, {"driver", "start"}, 0, "driver: started"},
      {[] {}, {"uninstall", "--unload"}, 1, "failed: the driver is still loaded (/dev/quillmar0 is there); /opt/quillmar/qmunloaddrv.sh: No such file"},
      {[] {}, {"driver", "stop"}, 0, "driver: stopped"},
  };
  for (const Step &step : steps) {
    step.before();
    std::string output;
    EXPECT_EQ((std::tuple{rtktest::Rtkctl(step.args, &output), output.find(step.shown) != output.npos}), std::tuple(step.status, true)) << output;
  }
}

// RTK_SetTrace applies log target, level, program and mask here, in that
// order, stopping at the first that names nothing, then tells the driver;
// RTK_UninstallDriver resets the driver first; traceOn in an install request
// switches RTK tracing to the system log before the package is checked.
TEST_F(Installer, SettingsAndResetReachTheDriver) {
  Texts logged;
  EXPECT_EQ(Logged([] { return RTK_SetTrace("file", "RTK", "Fine", ""); }, &logged), QM_SUCCESS);  // no driver: the local settings stand
  EXPECT_EQ(logged, Texts{"RTK device: file mask: RTK, level: Fine, program: "});
  // The result, then the settings it left.
  const auto set = [](const char *device, const char *mask, const char *level) {
    return std::tuple{RTK_SetTrace(device, mask, level, ""), Settings()};
  };
  EXPECT_EQ(set("printer", "FILE", "Coarse"), std::tuple(QM_ERR_BADPARAM, std::make_tuple(QM_LOG_TARGET_FILE, "Fine", QM_TRACE_RTK)));
  EXPECT_EQ(set("screen", "FILE", "Loud"), std::tuple(QM_ERR_BADPARAM, std::make_tuple(QM_LOG_TARGET_SCREEN, "Fine", QM_TRACE_RTK)));
  EXPECT_EQ(set("file", "NOSUCHBIT", "Medium"), std::tuple(QM_ERR_BADPARAM, std::make_tuple(QM_LOG_TARGET_FILE, "Medium", QM_TRACE_RTK)));

  // Quotes and markup in a value stay one value of one command; a command
  // that would not fit whole is not sent.
  UseRecorders();
  rtktest::StandIn driver;
  ASSERT_EQ(driver.Start({"--version=1.0.0.8"}), 0);
  EXPECT_EQ((std::vector<int32_t>{RTK_SetTrace("screen", "RTK", "Medium", "\"/><reset/>'"),
                                  RTK_SetTrace("screen", "RTK", "Medium", std::string(200, '"').c_str()),
                                  RTK_SetTrace("screen", "RTK", "Medium", std::string(1000, 'x').c_str()), RTK_UninstallDriver(0)}),
            (std::vector<int32_t>{QM_SUCCESS, QM_ERR_BADPARAM, QM_ERR_BADPARAM, QM_SUCCESS}));
  Texts sent;
  for (const rtktest::LogEntry &ioctl : driver.Ioctls()) sent.push_back(ioctl.at("text"));
  EXPECT_EQ(sent, (Texts{"<trace mask=\"RTK\" level=\"Medium\" device=\"screen\" program=\"&quot;/&gt;&lt;reset/&gt;&apos;\" />", "<reset/>"}));

  // A driver that refuses the command: its result comes back, and is logged.
  ASSERT_TRUE(driver.Stop());
  ASSERT_EQ(driver.Start({"--reply-code=5030"}), 0);
  TRACE_Set(0);
  EXPECT_EQ(Logged([] { return RTK_SetTrace("screen", "FILE", "Fine", ""); }, &logged), QM_ERR_IVKEYWORD);
  EXPECT_EQ(logged, Texts{"Quillmar ERROR RTK_SetTrace failed with result:5030"});

  TRACE_SetLevelByStr("Coarse");
  EXPECT_EQ((std::tuple{Install("", &logged, 1), Settings()}), std::tuple(QM_ERR_BADFILE, std::make_tuple(QM_LOG_TARGET_FILE, "Fine", QM_TRACE_RTK)));
}

using PlatformAndVersion = rtktest::LoggingTest;

// The first word of the table found in the system's name, in any case,
// selects the platform (cut to the buffer); none is logged and answers -8.
TEST_F(PlatformAndVersion, PlatformSearchesTheWordsInOrderIgnoringCase) {
  const struct { const char *os; int32_t size; const char *platform; } cases[] = {
      {"Linux", 64, "linux"}, {"linux", 64, "linux"}, {"GNU/LINUX", 64, "linux"}, {"SunOS", 4, "sol"},
      {"Darwin", 64, "windows"}, {"AIX", 64, "aix"}, {"HPUX", 64, "hpux"}, {"FreeBSD", 8, ""}};
  for (const auto &c : cases) {
    rtktest::GuardedBuffer out(static_cast<size_t>(c.size), 'x');
    EXPECT_EQ((std::tuple{rtkutils_getPlatform(c.os, out.data(), c.size), std::string(out.data()), out.Intact()}),
              std::tuple(c.platform[0] != '\0' ? 0 : RTK_NO_PLATFORM, c.platform, true)) << c.os;
  }
  EXPECT_EQ(CapturedTexts(), Texts{"Quillmar ERROR No platform match for FreeBSD\n"});
}

// 1 when some position, first to fourth, holds a smaller installed number;
// -1 when either text is not four dotted numbers. Both are traced.
TEST_F(PlatformAndVersion, VersionIsOlderWhenAnyPositionIsSmaller) {
  const struct { const char *installed, *latest; int32_t result; } cases[] = {
      {"1.0.0.7", "1.0.0.8", 1},  {"1.0.0.8", "1.0.0.8", 0}, {"1.0.0.9", "1.0.0.8", 0},  {"2.0.0.0", "1.0.0.8", 1},
      {"1.1.0.0", "1.0.1.0", 1},  {"0.9.9.9", "1.0.0.8", 1}, {"1.0.0.10", "1.0.0.8", 0}, {"1.0.0", "1.0.0.8", -1},
      {"1.0.0.8", "1.0", -1},     {"abc", "1.0.0.8", -1},    {"1.0.0.8 build 7", "1.0.0.8", 0}, {"-1.0.0.8", "1.0.0.8", 1},
  };
  for (const auto &c : cases) EXPECT_EQ(rtkutils_compareQuillmarVersions(c.installed, c.latest), c.result) << c.installed << " vs " << c.latest;
  TRACE_Set(QM_TRACE_RTK);
  rtkutils_compareQuillmarVersions("1.2.3.4", "5.6.7.8");
  EXPECT_EQ(CapturedTexts(), (Texts{"RTK rtkutils_compareQuillmarVersions installed ver: 1.2.3.4 newVer: 5.6.7.8\n", " RTK iv1:1 iv2:2 iv3:3 iv4:4\n",
                                    " RTK nv1:5 nv2:6 nv3:7 nv4:8\n", "RTK rtkutils_compareQuillmarVersions Result:1 WEIRD\n"}));
}

}  // namespace
