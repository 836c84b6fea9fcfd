// End-to-end tests of the installer entry points: the sample package, its
// scripts and the stand-in driver, run for real inside a private mount
// namespace with its own /opt, /tmp and /dev.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "pf_driverif.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtk.h"
#include "rtktest.h"
#include "standin.h"

namespace {

using rtktest::Exists;
using rtktest::Lines;
using rtktest::ReadFile;
using rtktest::WriteFile;

const std::string kSamplePackage = RTK_BINARY_DIR "/sample-package";
constexpr char kScriptLog[] = "/tmp/scripts.log";
constexpr char kPackage[] = "/tmp/pkg";

// The script command lines that ran since the last call ("NAME ARGS").
std::vector<std::string> TakeScriptCalls() {
  std::vector<std::string> calls = Lines(ReadFile(kScriptLog));
  unlink(kScriptLog);
  return calls;
}

// Fails the test unless a call answered 0.
void Ok(int rc) { ASSERT_EQ(rc, 0) << strerror(errno); }

RTK_InstallRequest Request(const std::string &dir, int64_t traceOn = 0) {
  RTK_InstallRequest request{};
  request.traceOn = traceOn;
  std::strncpy(request.untarDir, dir.c_str(), sizeof request.untarDir - 1);
  return request;
}

// Asks the device for its version; "" when no driver answers.
std::string RunningDriverVersion() {
  char command[] = "<kversion/>";
  char reply[1024] = {};
  if (qma_simpleXML(0, command, reply, sizeof reply) != QM_INFO_XMLRESPONSE) return "";
  const char *version = std::strstr(reply, "version=\"");
  return version ? std::string(version + 9, std::strcspn(version + 9, "\"")) : "";
}

// Every test runs in its own namespace: /opt is a fresh tmpfs, the sample
// package is copied to /tmp/pkg, scripts record their command lines, and
// the library traces RTK at Fine to the terminal.
class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    RTK_REQUIRE_DRIVER_SANDBOX();
    ASSERT_EQ(mount("qm-opt", "/opt", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
    ASSERT_EQ(rtktest::RunCommand({"cp", "-a", kSamplePackage, kPackage}), 0);
    setenv("QM_SCRIPT_LOG", kScriptLog, 1);
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
    TRACE_SetLevelByStr("Fine");
    TRACE_SetProgram(nullptr);
    TRACE_Set(QM_TRACE_RTK);
  }

  // Runs `call` with the terminal captured; answers the log texts.
  static std::vector<std::string> Logged(const std::function<void()> &call) { return rtktest::LoggedTexts(call); }

  // Replaces the package's install script and the installed scripts with
  // recorders that exit with `status`, for tests of the sequence alone.
  void UseRecordingScripts(int status) {
    const std::string recorder =
        "#!/bin/sh\nprintf '%s %s\\n' \"${0##*/}\" \"$*\" >> \"$QM_SCRIPT_LOG\"\nexit " +
        std::to_string(status) + "\n";
    WriteFile(std::string(kPackage) + "/platforms/linux/rtkinstall", recorder, 0755);
    mkdir("/opt/quillmar", 0755);
    for (const char *name : {"qmloaddrv.sh", "qmunloaddrv.sh", "rtkuninstall"}) {
      WriteFile(std::string("/opt/quillmar/") + name, recorder, 0755);
    }
  }
};

TEST_F(Installer, InstallsLoadsReinstallsAndUninstallsTheSamplePackage) {
  const RTK_InstallRequest request = Request(kPackage);
  int32_t rc = -1;
  const std::vector<std::string> first = Logged([&] { rc = RTK_InstallDriver(&request); });
  ASSERT_EQ(rc, QM_SUCCESS);
  EXPECT_EQ(first, (std::vector<std::string>{
                       "RTK testValidDir dir:/tmp/pkg",
                       " RTK testValidDir: fullName is:/tmp/pkg/rtkDirTest.txt",
                       "RTK testValidDir Result:0 (0x0)",
                       "RTK checkInstallDir dir:/tmp/pkg",
                       "RTK checkInstallDir Result:0 (0x0)",
                       "RTK RTK_InstallDriver installDir: /opt/quillmar/, Untar dir: /tmp/pkg",
                       " RTK PF_rtk_InstallDriver: kversion returned 5003 temp:",
                       " RTK install cmd is /tmp/pkg/platforms/linux/rtkinstall "
                       "/tmp/pkg/platforms/linux/ 1 /tmp/pkg",
                       " RTK load cmd is /opt/quillmar/qmloaddrv.sh",
                       "RTK RTK_InstallDriver Result:0 (0x0)",
                   }));
  EXPECT_EQ(TakeScriptCalls(), (std::vector<std::string>{
                                   "rtkinstall /tmp/pkg/platforms/linux/ 1 /tmp/pkg",
                                   "qmloaddrv.sh ",
                               }));
  EXPECT_EQ(ReadFile("/opt/quillmar/version.txt"), "1.0.0.8\n");
  EXPECT_EQ(RunningDriverVersion(), "1.0.0.8");
  EXPECT_FALSE(Exists("/tmp/pkg/rtkDirTest.txt"));

  // The driver is current now: the package is installed again, not loaded.
  ASSERT_EQ(RTK_InstallDriver(&request), QM_SUCCESS);
  EXPECT_EQ(TakeScriptCalls(),
            std::vector<std::string>{"rtkinstall /tmp/pkg/platforms/linux/ 0 /tmp/pkg"});

  const std::vector<std::string> removal = Logged([&] { rc = RTK_UninstallDriver(1); });
  ASSERT_EQ(rc, QM_SUCCESS);
  EXPECT_EQ(removal, (std::vector<std::string>{
                         "RTK RTK_UninstallDriver  mode: 1",
                         " RTK unload cmd is /opt/quillmar/qmunloaddrv.sh",
                         " RTK uninstall cmd is /opt/quillmar/rtkuninstall",
                         "RTK RTK_UninstallDriver Result:0 (0x0)",
                     }));
  EXPECT_EQ(TakeScriptCalls(), (std::vector<std::string>{"qmunloaddrv.sh ", "rtkuninstall "}));
  EXPECT_FALSE(Exists("/opt/quillmar"));
  EXPECT_EQ(RunningDriverVersion(), "");

  // The uninstall script went with the product; running the package's copy
  // on what is no longer installed succeeds quietly, and so do the library's
  // calls, since the shell itself could start.
  std::string output;
  EXPECT_EQ(rtktest::RunCommand({"/tmp/pkg/platforms/linux/rtkuninstall"}, &output), 0);
  EXPECT_EQ(output, "rtkuninstall: Quillmar is not installed\n");
  EXPECT_EQ(rtktest::RunCommand({"/tmp/pkg/platforms/linux/qmunloaddrv.sh"}, &output), 0);
  TakeScriptCalls();
  EXPECT_EQ(RTK_UninstallDriver(1), QM_SUCCESS);
}

TEST_F(Installer, TheRunningDriversAnswerDecidesTheLoad) {
  const std::string install0 = "rtkinstall /tmp/pkg/platforms/linux/ 0 /tmp/pkg";
  const std::string install1 = "rtkinstall /tmp/pkg/platforms/linux/ 1 /tmp/pkg";
  struct Case {
    std::vector<std::string> driver;  // qmdrvd options; empty: no driver
    int status;                       // exit status of the scripts
    int32_t result;
    std::vector<std::string> calls;
  } const cases[] = {
      {{}, 0, QM_SUCCESS, {install1, "qmloaddrv.sh "}},
      {{"--version=1.0.0.7"}, 0, QM_SUCCESS, {install1, "qmloaddrv.sh "}},
      {{"--version=1.0.0.8"}, 0, QM_SUCCESS, {install0}},
      {{"--version=2.0.0.0"}, 0, QM_SUCCESS, {install1, "qmloaddrv.sh "}},
      {{"--reply-code=0"}, 0, QM_SUCCESS, {install0}},
      {{"--fail-ioctl"}, 0, QM_SUCCESS, {install0}},
      {{"--reply-text=<reply/>"}, 0, QM_INFO_BADXML, {}},
      {{"--version=one.two"}, 0, QM_ERR_BADPARAM, {}},
      {{"--version="}, 0, QM_ERR_BADPARAM, {}},
      {{"--version=1.0.0.7"}, 1, QM_SUCCESS, {install1, "qmloaddrv.sh "}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.driver.empty() ? "no driver" : c.driver.front());
    UseRecordingScripts(c.status);
    rtktest::StandIn driver;
    if (!c.driver.empty()) {
      ASSERT_EQ(driver.Start(c.driver), 0);
    }
    const RTK_InstallRequest request = Request(kPackage);
    const std::vector<std::string> logged =
        Logged([&] { EXPECT_EQ(RTK_InstallDriver(&request), c.result); });
    EXPECT_EQ(TakeScriptCalls(), c.calls);
    // The "missing version" text has no line feed of its own, so the next
    // log line follows it on the same terminal line.
    const bool missing = std::any_of(logged.begin(), logged.end(), [](const std::string &text) {
      return text.rfind("Quillmar ERROR PF_rtk_InstallDriver: missing version", 0) == 0;
    });
    EXPECT_EQ(missing, c.result == QM_INFO_BADXML);
  }
}

TEST_F(Installer, AShellThatCannotStartFailsEachScriptStep) {
  // A device node over the shell: exec of /bin/sh fails, so no script starts.
  ASSERT_EQ(mount("/dev/null", "/bin/sh", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  const RTK_InstallRequest request = Request(kPackage);
  int32_t install = -1;
  int32_t unload = -1;
  int32_t uninstall = -1;
  const std::vector<std::string> logged = Logged([&] {
    TRACE_Set(0);
    install = RTK_InstallDriver(&request);
    unload = RTK_UninstallDriver(1);
    uninstall = RTK_UninstallDriver(0);
  });
  ASSERT_EQ(umount("/bin/sh"), 0);
  EXPECT_EQ(install, QM_ERR_INSTALL_FAILED);
  EXPECT_EQ(unload, QM_ERR_UNLOAD_DRV_FAILED);
  EXPECT_EQ(uninstall, QM_ERR_UNINSTALL_FAILED);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Quillmar ERROR PF_rtk_InstallDriver: failed to run install",
                        "Quillmar ERROR failed to run qmunloaddrv",
                        "Quillmar ERROR failed to run rtkuninstall",
                    }));
  EXPECT_TRUE(TakeScriptCalls().empty());
}

TEST_F(Installer, PackageChecksRefuseBadDirectoriesBeforeAnyScript) {
  // A read-only package directory: the test file cannot be created.
  ASSERT_EQ(rtktest::RunCommand({"cp", "-a", kPackage, "/tmp/ro"}), 0);
  ASSERT_EQ(mount("/tmp/ro", "/tmp/ro", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, "/tmp/ro", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  RTK_InstallRequest request = Request("/tmp/ro");
  std::vector<std::string> logged = Logged([&] { EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE); });
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "RTK testValidDir dir:/tmp/ro",
                        " RTK testValidDir: fullName is:/tmp/ro/rtkDirTest.txt",
                        "Quillmar ERROR Failed to open /tmp/ro/rtkDirTest.txt errno 30",
                        "RTK testValidDir Result:5022 (0x139e)",
                        "RTK RTK_InstallDriver: installDir is not valid",
                    }));

  // No version file: refused, and the test file is not left behind.
  ASSERT_EQ(unlink("/tmp/pkg/misc/version.txt"), 0);
  request = Request(kPackage);
  EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE);
  EXPECT_FALSE(Exists("/tmp/pkg/rtkDirTest.txt"));
  WriteFile("/tmp/pkg/misc/version.txt", "1.0.0.8\n");

  // A version file that cannot be opened for writing.
  ASSERT_EQ(mount("/tmp/pkg/misc", "/tmp/pkg/misc", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, "/tmp/pkg/misc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE);
  ASSERT_EQ(umount("/tmp/pkg/misc"), 0);

  // A relative path to a complete, writable package is refused after the file tests.
  ASSERT_EQ(chdir("/tmp"), 0);
  request = Request("pkg");
  logged = Logged([&] { EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADPARAM); });
  EXPECT_EQ(logged.back(), "RTK checkInstallDir Result:5054 (0x13be)");

  // Empty: refused without touching anything.
  request = Request("");
  logged = Logged([&] { EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE); });
  EXPECT_EQ(logged, std::vector<std::string>{"RTK RTK_InstallDriver: installDir is not valid"});

  // Package paths that the shell would interpret never reach the shell.
  ASSERT_EQ(chdir("/tmp"), 0);
  for (const std::string hostile : {"/tmp/p;touch canary", "/tmp/p$(touch canary)",
                                    "/tmp/p`touch canary`", "/tmp/p q", "/tmp/p\ntouch canary"}) {
    ASSERT_EQ(rtktest::RunCommand({"cp", "-a", kPackage, hostile}), 0) << hostile;
    request = Request(hostile);
    EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADPARAM) << hostile;
    EXPECT_FALSE(Exists("/tmp/canary"));
    EXPECT_TRUE(TakeScriptCalls().empty()) << hostile;
  }
}

// A directory path of exactly `length` characters below /tmp/long (made,
// with its parents), in components of at most 200 `fill` characters.
std::string DeepDirectory(size_t length, char fill) {
  std::string path = "/tmp/long";
  while (path.size() < length) {
    size_t part = std::min<size_t>(200, length - path.size() - 1);
    if (length - path.size() - 1 - part == 1) --part;  // leave room for "/x", not "/"
    path += "/" + std::string(part, fill);
  }
  std::filesystem::create_directories(path);
  return path;
}

// What a hostile package holds at the probe's or the version file's name,
// and package paths whose probe or version path does not fit its buffer:
// the install refuses them (with the probe's log line and the errno of the
// reason) and changes no file outside the package (`victim`, "keep"); a
// leftover plain probe and a package named through a link still pass.
TEST_F(Installer, HostileEntriesAndLongPathsTouchNothingOutsideThePackage) {
  const std::string probe = std::string(kPackage) + "/rtkDirTest.txt";
  const std::string version = std::string(kPackage) + "/misc/version.txt";
  const auto packageAt = [&](const std::string &dir) {
    Ok(rtktest::RunCommand({"cp", "-a", std::string(kPackage) + "/.", dir}));
    return dir;
  };
  std::string victim;
  const auto victimAt = [&](const std::string &path) {
    victim = path;
    WriteFile(victim, "keep");
    return victim;
  };
  const struct Case {
    const char *what;
    std::function<std::string()> make;  // prepares the package, answers the path to install
    int32_t result;
    int logged;  // errno of the "Failed to open" line; 0: its end is cut by the log; -1: no such line
  } cases[] = {  // no two log lines in a row alike: the log would fold them
      {"probe links to a file", [&] { Ok(symlink(victim.c_str(), probe.c_str())); return kPackage; },
       QM_ERR_BADFILE, ELOOP},
      {"probe is another name of a file", [&] { Ok(link(victim.c_str(), probe.c_str())); return kPackage; },
       QM_ERR_BADFILE, EMLINK},
      {"probe links nowhere", [&] { Ok(symlink("/tmp/new", probe.c_str())); return kPackage; },
       QM_ERR_BADFILE, ELOOP},
      {"probe is a directory", [&] { Ok(mkdir(probe.c_str(), 0755)); return kPackage; }, QM_ERR_BADFILE, EISDIR},
      {"probe is a FIFO", [&] { Ok(mkfifo(probe.c_str(), 0644)); return kPackage; }, QM_ERR_BADFILE, EEXIST},
      {"probe left behind", [&] { WriteFile(probe, "old"); return kPackage; }, QM_SUCCESS, -1},
      {"version links to a file", [&] { Ok(unlink(version.c_str()) | symlink(victim.c_str(), version.c_str())); return kPackage; },
       QM_ERR_BADFILE, -1},
      {"version is a FIFO", [&] { Ok(unlink(version.c_str()) | mkfifo(version.c_str(), 0644)); return kPackage; },
       QM_ERR_BADFILE, -1},
      {"version is a device", [&] { Ok(unlink(version.c_str()) | mknod(version.c_str(), S_IFCHR | 0666, makedev(1, 3))); return kPackage; },
       QM_ERR_BADFILE, -1},
      {"package named through a link", [&] { Ok(symlink(kPackage, "/tmp/pkglink")); return "/tmp/pkglink"; },
       QM_SUCCESS, -1},
      // The cut probe path would name the existing 1,023-character file ...
      {"probe path cut to another file", [&] { return victimAt(DeepDirectory(1022, 'v') + "v") + "/../pkg"; },
       QM_ERR_BADFILE, 0},
      // ... or the probe's sibling "rtkDirTest".
      {"probe path cut to its sibling", [&] {
         const std::string dir = packageAt(DeepDirectory(1012, 's'));
         victimAt(dir + "/rtkDirTest");
         return dir;
       }, QM_ERR_BADFILE, 0},
      // The longest path whose version path fits passes the file checks
      // (and is too long for the install command); one more does not.
      {"version path fits", [&] { return packageAt(DeepDirectory(1006, 'd')); }, QM_ERR_BADPARAM, -1},
      {"version path cut", [&] { return packageAt(DeepDirectory(1007, 'd')); }, QM_ERR_BADFILE, -1},
  };
  TRACE_Set(0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(rtktest::RunCommand({"rm", "-rf", kPackage, "/tmp/pkglink", "/tmp/long", "/tmp/new"}), 0);
    ASSERT_EQ(rtktest::RunCommand({"cp", "-a", kSamplePackage, kPackage}), 0);
    UseRecordingScripts(0);
    victimAt("/tmp/victim");
    const RTK_InstallRequest request = Request(c.make());
    // Whatever sits at the version file's name is opened only when it is the
    // package's plain file: a FIFO or a device is refused before any open.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, version.c_str(), IN_OPEN | IN_DONT_FOLLOW), 0);
    const std::vector<std::string> logged = Logged([&] { EXPECT_EQ(RTK_InstallDriver(&request), c.result); });
    char events[256];
    EXPECT_EQ(read(watch, events, sizeof events) > 0, c.result == QM_SUCCESS);
    close(watch);
    const auto failed = std::find_if(logged.begin(), logged.end(), [](const std::string &text) {
      return text.rfind("Quillmar ERROR Failed to open ", 0) == 0;
    });
    EXPECT_EQ(failed != logged.end(), c.logged >= 0);
    if (c.logged > 0 && failed != logged.end()) {
      EXPECT_TRUE(failed->ends_with(" errno " + std::to_string(c.logged))) << *failed;
    }
    EXPECT_EQ(TakeScriptCalls().size(), c.result == QM_SUCCESS ? 2u : 0u);
    EXPECT_EQ(ReadFile(victim), "keep");
    EXPECT_FALSE(Exists("/tmp/new"));
    EXPECT_TRUE(c.result != QM_SUCCESS || !Exists(probe));
  }
}

// rtkctl install and uninstall check what the scripts really did: a step
// changes the package (or the driver), runs rtkctl, and expects its exit
// status and a part of its output.
TEST_F(Installer, RtkctlReportsWhatReallyHappened) {
  const std::string rtkctl = RTK_BINARY_DIR "/tools/rtkctl";
  const std::string scripts = std::string(kPackage) + "/platforms/linux/";
  const std::string version = std::string(kPackage) + "/misc/version.txt";
  const auto failing = [](const std::string &path) { WriteFile(path, "#!/bin/sh\nexit 1\n", 0755); };
  const auto restore = [&](const std::string &path, const char *name) {
    WriteFile(path, ReadFile(kSamplePackage + "/platforms/linux/" + name), 0755);
  };
  const struct Step {
    std::function<void()> before;
    std::vector<std::string> args;
    int status;
    const char *shown;
  } steps[] = {
      {[&] { Ok(chmod((scripts + "rtkinstall").c_str(), 0644)); }, {"install", kPackage}, 1,
       "install script cannot run: /tmp/pkg/platforms/linux/rtkinstall: not executable"},
      {[&] { Ok(rename("/tmp/pkg/platforms", "/tmp/platforms")); }, {"install", kPackage}, 1,
       "rtkinstall: No such file or directory"},
      {[&] { Ok(rename("/tmp/platforms", "/tmp/pkg/platforms")); restore(scripts + "rtkinstall", "rtkinstall"); WriteFile(version, ""); },
       {"install", kPackage}, 1, "result: 0 SUCCESS: Success\nrtkctl install: failed: the package's misc/version.txt holds no version"},
      {[&] { WriteFile(version, "1.0.0.8\n"); failing(scripts + "rtkinstall"); }, {"install", kPackage}, 1,
       "failed: not installed: /opt/quillmar/qmloaddrv.sh: No such file"},
      {[&] { restore(scripts + "rtkinstall", "rtkinstall"); WriteFile(scripts + "qmloaddrv.sh", "#!/bin/sh\n", 0755); },
       {"install", kPackage}, 1, "failed: the driver was to be loaded, but /dev/quillmar0 does not answer with its version"},
      {[&] { restore(scripts + "qmloaddrv.sh", "qmloaddrv.sh"); }, {"install", kPackage}, 0, "result: 0 SUCCESS"},
      {[&] { WriteFile("/opt/quillmar/rtkuninstall", "#!/bin/sh\n", 0755); }, {"uninstall"}, 1,
       "failed: still installed: /opt/quillmar/qmloaddrv.sh"},
      // An install over the installed product that does not install anything.
      {[&] { WriteFile(version, "1.0.0.9\n"); failing(scripts + "rtkinstall"); }, {"install", kPackage}, 1,
       "/opt/quillmar/version.txt records '1.0.0.8', not the package's 1.0.0.9"},
      {[&] { restore("/opt/quillmar/rtkuninstall", "rtkuninstall"); }, {"uninstall", "--unload"}, 0, "result: 0 SUCCESS"},
      {[] {}, {"driver", "start"}, 0, "driver: started"},
      {[] {}, {"uninstall", "--unload"}, 1,
       "failed: the driver is still loaded (/dev/quillmar0 is there); /opt/quillmar/qmunloaddrv.sh: No such file"},
      {[] {}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", rtkctl, "status"}, 1,
       "rtkctl status: /dev/quillmar0: Permission denied"},
      {[] {}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", rtkctl, "driver", "status"}, 1,
       "driver: cannot tell (/dev/quillmar0: Permission denied)"},
      {[] {}, {"driver", "stop"}, 0, "driver: stopped"},
      {[] {}, {"uninstall", "--unload"}, 0, "result: 0 SUCCESS"},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.shown);
    step.before();
    std::vector<std::string> argv = step.args;
    if (argv[0] != "setpriv") argv.insert(argv.begin(), rtkctl);
    std::string output;
    EXPECT_EQ(rtktest::RunCommand(argv, &output), step.status) << output;
    EXPECT_NE(output.find(step.shown), std::string::npos) << output;
  }
}

TEST_F(Installer, TraceOnSwitchesTracingOnEvenWhenTheChecksFail) {
  TRACE_Set(0);
  TRACE_SetLevelByStr("Coarse");
  RTK_InstallRequest request = Request("");
  EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE);
  uint64_t mask = 1;
  TRACE_Get(&mask);
  EXPECT_EQ(mask, 0u);

  request.traceOn = 1;
  EXPECT_EQ(RTK_InstallDriver(&request), QM_ERR_BADFILE);
  int32_t target = -1;
  LOG_GetTarget(&target);
  TRACE_Get(&mask);
  EXPECT_EQ(target, QM_LOG_TARGET_FILE);
  EXPECT_EQ(mask, QM_TRACE_RTK);
  EXPECT_STREQ(TRACE_GetLevelStr(), "Fine");
}

TEST_F(Installer, SetTraceAppliesLocallyThenTellsTheDriver) {
  // No driver: the local settings stand and the call succeeds.
  EXPECT_EQ(RTK_SetTrace("file", "RTK", "Fine", ""), QM_SUCCESS);
  int32_t target = -1;
  LOG_GetTarget(&target);
  EXPECT_EQ(target, QM_LOG_TARGET_FILE);

  // A device that names no log target changes nothing.
  EXPECT_EQ(RTK_SetTrace("printer", "FILE", "Coarse", ""), QM_ERR_BADPARAM);
  LOG_GetTarget(&target);
  EXPECT_EQ(target, QM_LOG_TARGET_FILE);
  EXPECT_STREQ(TRACE_GetLevelStr(), "Fine");

  // A mask that names no bit: device and level stay changed.
  EXPECT_EQ(RTK_SetTrace("screen", "NOSUCHBIT", "Medium", ""), QM_ERR_BADPARAM);
  LOG_GetTarget(&target);
  EXPECT_EQ(target, QM_LOG_TARGET_SCREEN);
  EXPECT_STREQ(TRACE_GetLevelStr(), "Medium");

  // A loaded driver receives the settings, mask first and device third.
  rtktest::StandIn driver;
  ASSERT_EQ(driver.Start({"--version=1.0.0.8"}), 0);
  driver.Forget();
  EXPECT_EQ(RTK_SetTrace("screen", "RTK", "Medium", "inst"), QM_SUCCESS);
  std::vector<rtktest::LogEntry> ioctls = driver.Ioctls();
  ASSERT_EQ(ioctls.size(), 1u);
  EXPECT_EQ(ioctls[0]["text"],
            "<trace mask=\"RTK\" level=\"Medium\" device=\"screen\" program=\"inst\" />");

  // A program with quotes and markup stays one value of one command, and the
  // driver reads it back as it was given; a command that would not fit whole
  // is not sent.
  driver.Forget();
  EXPECT_EQ(RTK_SetTrace("screen", "RTK", "Medium", "\"/><reset/>'"), QM_SUCCESS);
  char settings[1024] = "<trace/>";
  EXPECT_EQ(qma_simpleXML(0, settings, settings, sizeof settings), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(settings, "<trace device=\"terminal\" mask=\"RTK\" level=\"Medium\" "
                         "program=\"&quot;/&gt;&lt;reset/&gt;&apos;\"/>");
  EXPECT_EQ(RTK_SetTrace("screen", "RTK", "Medium", std::string(200, '"').c_str()), QM_ERR_BADPARAM);
  ioctls = driver.Ioctls();
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[0]["text"],
            "<trace mask=\"RTK\" level=\"Medium\" device=\"screen\" "
            "program=\"&quot;/&gt;&lt;reset/&gt;&apos;\" />");
  TRACE_SetProgram(nullptr);
  ASSERT_TRUE(driver.Stop());

  // A driver that refuses the command: its result comes back, and is logged.
  rtktest::StandIn refusing;
  ASSERT_EQ(refusing.Start({"--reply-code=5030"}), 0);
  TRACE_Set(0);
  std::vector<std::string> logged =
      Logged([&] { EXPECT_EQ(RTK_SetTrace("screen", "FILE", "Fine", ""), QM_ERR_IVKEYWORD); });
  EXPECT_EQ(logged, std::vector<std::string>{"Quillmar ERROR RTK_SetTrace failed with result:5030"});
}

}  // namespace
