// The driver channel through the real device (records as the driver sees
// them, command length limits, hook forms, read and write, failures), the
// stand-in driver's life cycle and answer options, and rtkctl's subcommands.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "pf_driverif.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "rtktest.h"
#include "standin.h"

namespace {

// Every test leaves no descriptor open: the channel closes the device after
// each request, and whenever an open or a request fails.
[[maybe_unused]] const bool kDescriptorsChecked = rtktest::CheckDescriptorsAroundEachTest();

using rtktest::Exists;
using rtktest::IsMounted;
using rtktest::LogEntry;
using rtktest::StandIn;

std::string Hex(const void *address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", (unsigned long long)(uintptr_t)address);
  return text;
}

class ChannelTest : public ::testing::Test {
 protected:
  void StartDriver(const std::vector<std::string> &extra = {}) {
    std::string output;
    ASSERT_EQ(driver_.Start(extra, &output), 0) << output;
  }
  StandIn driver_;
};

TEST_F(ChannelTest, RecordReachesTheDriverAsLaidOut) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  rtktest::GuardedBuffer reply(64);
  EXPECT_EQ(qma_simpleCtl(0, 7, "<kversion/>", reply.data(), 64), QM_ERR_IVKEYWORD);
  EXPECT_EQ(qma_simpleCtl(0, 0, "<kversion/>", reply.data(), 64), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(reply.data(), "<kversion version=\"1.0.0.8\"/>");
  EXPECT_TRUE(reply.Intact());
  const std::vector<LogEntry> requests = driver_.Requests();
  ASSERT_EQ(requests.size(), 6u);  // each call opens, sends and closes
  for (size_t call = 0; call < 2; ++call) {
    EXPECT_EQ(requests[3 * call].at("event"), "open");
    EXPECT_EQ(requests[3 * call + 2].at("event"), "close");
    LogEntry expected = {{"event", "ioctl"}, {"ioctl", "100"}, {"version", "1"},
                         {"code", call == 0 ? "7" : "0"}, {"recordSize", "152"},
                         {"inLength", "12"}, {"bufferSize", "64"}, {"result", "0"},
                         {"reserved", "0"}, {"buffer", Hex(reply.data())}, {"text", "<kversion/>"}};
    for (const auto &[key, value] : expected) EXPECT_EQ(requests[3 * call + 1].at(key), value);
  }
}

TEST_F(ChannelTest, CommandMustFitTheBufferWithItsTerminator) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  struct Case {
    size_t length;      // characters of the command
    int64_t replySize;  // what the caller says its buffer holds
    bool withReply;     // false: null reply, the 1024-byte discard buffer
    int32_t result;
  } const cases[] = {{31, 32, true, QM_ERR_IVKEYWORD}, {32, 32, true, -1},
                     {1023, 5, false, QM_ERR_IVKEYWORD}, {1024, 4096, false, -1},
                     {0, -1, true, -1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " characters into " << c.replySize);
    std::string command(c.length, 'x');
    if (!command.empty()) command[0] = '<';
    rtktest::GuardedBuffer reply(c.replySize > 0 ? static_cast<size_t>(c.replySize) : 1);
    driver_.Forget();
    EXPECT_EQ(qma_simpleCtl(0, 0, command.c_str(), c.withReply ? reply.data() : nullptr,
                            c.replySize), c.result);
    const std::vector<LogEntry> ioctls = driver_.Ioctls();
    ASSERT_EQ(ioctls.size(), c.result == -1 ? 0u : 1u);
    if (!ioctls.empty()) {
      EXPECT_EQ(ioctls[0].at("bufferSize"), c.withReply ? std::to_string(c.replySize) : "1024");
      EXPECT_EQ(ioctls[0].at("inLength"), std::to_string(c.length + 1));
    }
    EXPECT_TRUE(reply.Intact());
  }
}

TEST_F(ChannelTest, DriverKeepsItsOwnTraceSettings) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  struct Step {
    const char *command;
    int32_t result;
    const char *reply;  // null: the buffer keeps the command
  } const steps[] = {
      {"<trace/>", QM_INFO_XMLRESPONSE,
       "<trace device=\"file\" mask=\"\" level=\"Fine\" program=\"\"/>"},
      {"<trace mask=\"RTK\" level=\"Medium\" device=\"screen\" program=\"inst\" />",
       QM_SUCCESS, nullptr},
      {"<trace mask=\"NOPE\"/>", QM_ERR_IVLOGLVL, nullptr},
      {"<reset/>", QM_SUCCESS, nullptr},
      {"<trace/>", QM_INFO_XMLRESPONSE,
       "<trace device=\"terminal\" mask=\"RTK\" level=\"Medium\" program=\"inst\"/>"}};
  for (const Step &step : steps) {
    SCOPED_TRACE(step.command);
    char buffer[1024];
    std::strcpy(buffer, step.command);
    EXPECT_EQ(qma_simpleXML(0, buffer, buffer, sizeof buffer), step.result);
    EXPECT_STREQ(buffer, step.reply != nullptr ? step.reply : step.command);
  }
}

TEST_F(ChannelTest, NoDeviceMeansNoDriver) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  int64_t handle = 5;
  EXPECT_EQ(PF_OpenDriver(&handle), QM_ERR_DRVROPEN);
  EXPECT_EQ(handle, -1);
  char reply[32] = "<kversion/>";
  EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), QM_ERR_DRVROPEN);
  EXPECT_STREQ(reply, "<kversion/>");
  EXPECT_EQ(PF_AttachDriverToFileSystem("/tmp"), QM_ERR_DRVROPEN);
}

// A failed or refused request is reported, and a refused hook of the object
// does not go on to the parent.
TEST_F(ChannelTest, FailedAndRefusedRequests) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  const std::pair<std::vector<std::string>, int32_t> cases[] = {
      {{"--fail-ioctl"}, QM_ERR_BADFILE}, {{"--fail-ioctl=3"}, QM_ERR_BADFILE},
      {{"--reply-code", "6001"}, 6001}};
  for (const auto &[options, result] : cases) {
    SCOPED_TRACE(options[0]);
    StartDriver(options);
    char reply[32] = "<kversion/>";
    EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), result);
    driver_.Forget();
    EXPECT_EQ(PF_AttachDriverToFileSystem("/tmp"), result);
    EXPECT_EQ(driver_.Ioctls().size(), 1u);
    ASSERT_TRUE(driver_.Stop());
  }
}

// Every hook form, with the objects that reach the driver as (request, path).
TEST_F(ChannelTest, HookForms) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  ASSERT_EQ(mkdir("/tmp/d", 0755), 0);
  ASSERT_EQ(mkdir("/tmp/d/sub", 0755), 0);
  ASSERT_EQ(close(open("/tmp/d/a", O_CREAT | O_WRONLY, 0644)), 0);
  ASSERT_EQ(chdir("/tmp/d"), 0);
  StartDriver();
  using Hooks = std::vector<std::pair<std::string, std::string>>;
  const Hooks a = {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}};
  const struct Case {
    std::string command;
    int32_t result;
    Hooks hooks;
  } cases[] = {
      {"<hook file=\"/tmp/d/a\"/>", QM_SUCCESS, a}, {"<hook file=/tmp/d/a/>", QM_SUCCESS, a},
      {"hook /tmp/d/a", QM_SUCCESS, a}, {"<HOOK /tmp/d/a/>", QM_SUCCESS, a},
      {"<Hook /tmp/d/a>", QM_SUCCESS, a},
      {"hook /", QM_SUCCESS, {{"101", "/"}, {"102", "/"}}},
      {"hook /tmp", QM_SUCCESS, {{"101", "/tmp"}, {"102", "/"}}},
      {"<hook/>", QM_SUCCESS, {{"101", "/"}, {"102", "/"}}},
      {"hook /tmp/d/sub/", QM_SUCCESS, {{"101", "/tmp/d/sub"}, {"102", "/tmp/d/sub"}}},
      {"hook a", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d/a"}}},
      // A first word of any length is passed over; the path is the next word.
      {"hook/" + std::string(100, 'w') + " /tmp", QM_SUCCESS, {{"101", "/tmp"}, {"102", "/"}}},
      {"hook /tmp/d/missing", QM_ERR_HOOKFILE, {}},
      // A path too long for the path buffer is refused, not cut.
      {"hook /" + std::string(1100, 'p'), QM_ERR_BADPARAM, {}},
      {"<hookdir file=\"/tmp/d\"/>", QM_SUCCESS, {}},
      {"<unhook file=\"/tmp/d/a\"/>", QM_SUCCESS, {}},
      // A word that only begins with "hook" is an ordinary command.
      {"<hookx file=\"/tmp\"/>", QM_ERR_IVKEYWORD, {{"100", ""}}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command.substr(0, 40));
    std::vector<char> command(c.command.begin(), c.command.end() + 1);
    rtktest::GuardedBuffer reply(2048, 'r');
    driver_.Forget();
    EXPECT_EQ(qma_simpleXML(0, command.data(), reply.data(), 2048), c.result);
    // Hook commands never touch the reply; an ordinary one gets its answer.
    EXPECT_EQ(reply.data()[0], c.result == QM_ERR_IVKEYWORD ? '<' : 'r');
    Hooks seen;
    for (LogEntry &ioctl : driver_.Ioctls()) {
      seen.emplace_back(ioctl["ioctl"], ioctl["file"]);
      EXPECT_EQ(ioctl["code"], "0");
    }
    EXPECT_EQ(seen, c.hooks);
  }
  EXPECT_EQ(qma_simpleXML(0, nullptr, nullptr, 0), QM_ERR_NULLPARAM);
  EXPECT_EQ(PF_DetachDriverToFileSystem("/no/such/path"), QM_SUCCESS);
  ASSERT_EQ(chdir("/"), 0);
}

// The caller's own handle: null command, command and reply in one buffer,
// read and write counts; the handle is closed only by PF_CloseDriver.
TEST_F(ChannelTest, OwnHandleReadsAndWrites) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  int64_t handle = -1, written = -1;
  ASSERT_EQ(PF_OpenDriver(&handle), QM_SUCCESS);
  char reply[16] = "untouched";
  EXPECT_EQ(qma_simpleCtl(handle, 0, nullptr, reply, sizeof reply), QM_SUCCESS);
  EXPECT_STREQ(reply, "untouched");
  EXPECT_EQ(PF_WriteDriver(handle, "hello", 5, &written), QM_SUCCESS);
  EXPECT_EQ(written, 5);
  char data[100] = {};
  int32_t got = -1;
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(std::string(data, got), "hello");
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(got, 0);
  // The driver holds 64 KiB: a larger write is short and not retried, the
  // next one fails and leaves the count alone.
  const std::vector<char> block(70000, 'b');
  EXPECT_EQ(PF_WriteDriver(handle, block.data(), block.size(), &written), QM_SUCCESS);
  EXPECT_EQ(written, 65536);
  EXPECT_EQ(PF_WriteDriver(handle, block.data(), 1, &written), QM_ERR_BADFILE);
  EXPECT_EQ(written, 65536);
  char command[32] = "<reset/>";
  EXPECT_EQ(qma_simpleXML(handle, command, command, sizeof command), QM_SUCCESS);
  EXPECT_STREQ(command, "<reset/>");
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(got, 0);
  const std::vector<LogEntry> ioctls = driver_.Ioctls();
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[0].at("inLength"), "0");
  EXPECT_EQ(ioctls[0].at("buffer"), Hex(reply));
  EXPECT_EQ(ioctls[1].at("text"), "<reset/>");
  for (const LogEntry &request : driver_.Requests()) EXPECT_NE(request.at("event"), "close");
  EXPECT_EQ(PF_CloseDriver(handle), QM_SUCCESS);
  EXPECT_EQ(driver_.Requests().back().at("event"), "close");
  got = 42;
  EXPECT_EQ(PF_ReadDriver(-1, data, sizeof data, &got), QM_ERR_DRVRREAD);
  EXPECT_EQ(got, 42);
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, nullptr), QM_ERR_NULLPARAM);
}

// Callers on several threads at once are served at once; every hook they
// make is kept, none lost to another's.
TEST_F(ChannelTest, ConcurrentCallersKeepEveryHook) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  std::vector<std::thread> callers;
  std::atomic<int> failed{0};
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&failed] {
      for (int i = 0; i < 100; ++i) failed += PF_AttachDriverToFileSystem("/tmp") != QM_SUCCESS;
    });
  }
  for (std::thread &caller : callers) caller.join();
  EXPECT_EQ(failed.load(), 0);
  std::vector<char> reply(65536);
  std::strcpy(reply.data(), "<hooks/>");
  EXPECT_EQ(qma_simpleXML(0, reply.data(), reply.data(), static_cast<int64_t>(reply.size())), QM_INFO_XMLRESPONSE);
  EXPECT_EQ(std::string(reply.data(), 20), "<hooks count=\"1600\">");
}

// A caller whose command record lies in a page that is not filled in (a
// userfaultfd region whose faults nobody serves): the driver's read of the
// record waits, and the caller cannot even be killed while its request is
// with the driver. The child writes 'f' to `ready` once the driver has
// touched the page ('u' when userfaultfd is not available); when `release`
// is written to or closed, it drops the userfaultfd, the page fills with
// zeros, and the driver answers the caller.
pid_t StartBlockedCaller(const int (&ready)[2], const int (&release)[2]) {
  const pid_t pid = rtktest::Fork();
  if (pid != 0) return pid;
  close(ready[0]);
  close(release[1]);
  const int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  uffdio_api api{UFFD_API, 0, 0};
  uffdio_register area{{reinterpret_cast<uintptr_t>(page), 4096}, UFFDIO_REGISTER_MODE_MISSING, 0};
  if (uffd < 0 || page == MAP_FAILED || ioctl(uffd, UFFDIO_API, &api) != 0 ||
      ioctl(uffd, UFFDIO_REGISTER, &area) != 0) {
    _exit(write(ready[1], "u", 1) == 1 ? 1 : 2);
  }
  std::thread([uffd, told = ready[1], wait = release[0]] {
    pollfd fault{uffd, POLLIN, 0};
    char byte;
    if (poll(&fault, 1, -1) == 1 && write(told, "f", 1) == 1 && read(wait, &byte, 1) >= 0) close(uffd);
  }).detach();
  int64_t handle = -1;
  PF_OpenDriver(&handle);
  PF_CommandDriver(handle, static_cast<PF_DriverCommand *>(page));
  _exit(0);
}

// While one caller's request waits on its own memory, another is answered.
TEST_F(ChannelTest, ABlockedCallerHoldsUpOnlyItself) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready) | pipe(release), 0);
  const pid_t blocked = StartBlockedCaller(ready, release);
  close(ready[1]);
  close(release[0]);
  pollfd told{ready[0], POLLIN, 0};
  char what = 0;
  if (poll(&told, 1, 10000) != 1 || read(ready[0], &what, 1) != 1) what = '?';
  close(ready[0]);
  int answered = -1;
  if (what == 'f') {
    const pid_t other = rtktest::Fork();
    if (other == 0) {
      char reply[64] = "<kversion/>";
      _exit(qma_simpleXML(0, reply, reply, sizeof reply) == QM_INFO_XMLRESPONSE ? 0 : 1);
    }
    answered = rtktest::ExitStatusWithin10s(other);
  }
  close(release[1]);
  EXPECT_EQ(rtktest::ExitStatusWithin10s(blocked), what == 'f' ? 0 : 1);
  if (what == 'u') GTEST_SKIP() << "userfaultfd is not available";
  ASSERT_EQ(what, 'f') << "the driver never read the blocked caller's record";
  EXPECT_EQ(answered, 0);
}

// A second start is refused, a stop cleans up, and a start over the mounts
// of a killed driver takes them over.
TEST(StandInLifeCycle, StartStopAndRestartAfterKill) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  std::string output;
  {
    StandIn driver, second;
    ASSERT_EQ(driver.Start({}, &output), 0) << output;
    EXPECT_TRUE(IsMounted("/dev/quillmar0"));
    EXPECT_TRUE(IsMounted(StandIn::MountPoint()));
    EXPECT_EQ(second.Start({}, &output), 1);
    EXPECT_NE(output.find("already running"), std::string::npos) << output;
    ASSERT_TRUE(driver.Stop());
    EXPECT_FALSE(IsMounted("/dev/quillmar0") || IsMounted(StandIn::MountPoint()));
    for (const char *path : {"/dev/quillmar0", StandIn::MountPoint(), StandIn::PidFile()})
      EXPECT_FALSE(Exists(path)) << path;

    ASSERT_EQ(driver.Start({}, &output), 0) << output;
    pid_t pid = 0;
    std::ifstream(StandIn::PidFile()) >> pid;
    ASSERT_EQ(kill(pid, SIGKILL), 0);
  }
  char reply[64] = "<kversion/>";
  EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), QM_ERR_DRVROPEN);  // dead connection
  StandIn driver;
  ASSERT_EQ(driver.Start({}, &output), 0) << output;
  EXPECT_NE(output.find("stale"), std::string::npos) << output;
  EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), QM_INFO_XMLRESPONSE);
  ASSERT_TRUE(driver.Stop());
  EXPECT_FALSE(Exists("/dev/quillmar0"));  // the dead driver's node is taken over
}

TEST(StandInLifeCycle, FixedAnswersAndBadUsage) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  struct Case {
    std::vector<std::string> options;
    size_t size;  // of the reply buffer
    int32_t result;
    const char *reply;
  } const cases[] = {
      {{"--reply-code", "0"}, 64, QM_SUCCESS, "<kversion/>"},
      {{"--reply-text", "<kversion/>"}, 64, QM_INFO_XMLRESPONSE, "<kversion/>"},
      {{"--reply-text", "<kversion version=\"x.y\"/>", "--reply-code", "6036"}, 64,
       QM_INFO_BADXML, "<kversion version=\"x.y\"/>"},
      {{"--version", "2.0.0.0"}, 64, QM_INFO_XMLRESPONSE, "<kversion version=\"2.0.0.0\"/>"},
      // A reply larger than the buffer is refused by the driver.
      {{"--version", "1.0.0.7"}, 16, QM_ERR_DRIVERBUFFER, "<kversion/>"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options.back());
    StandIn driver;
    std::string output;
    ASSERT_EQ(driver.Start(c.options, &output), 0) << output;
    char reply[64] = "<kversion/>";
    EXPECT_EQ(qma_simpleXML(0, reply, reply, c.size), c.result);
    EXPECT_STREQ(reply, c.reply);
  }
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {}, {"--reply-code", "abc", "/tmp/m"}, {"--fail-ioctl=0", "/tmp/m"},
           {"/tmp/m", "/tmp/n"}}) {
    std::vector<std::string> argv = {StandIn::Binary()};
    argv.insert(argv.end(), bad.begin(), bad.end());
    std::string output;
    EXPECT_EQ(rtktest::RunCommand(argv, &output), 2) << argv.back();
    EXPECT_NE(output.find("usage: qmdrvd"), std::string::npos);
  }
}

TEST(RtkctlDriver, StartStatusSendHookStop) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  struct Step {
    std::vector<std::string> args;
    int status;
    const char *output;  // a part of it
  } const steps[] = {
      {{"driver", "status"}, 1, "5003 DRVROPEN"},
      {{"driver", "start", "--version", "1.0.0.7"}, 0, ""},
      {{"driver", "start"}, 1, "already running"},
      {{"driver", "status"}, 0, "version: 1.0.0.7"},
      {{"hook", "/tmp"}, 0, ""},
      {{"send", "<hooks/>"}, 0,
       "<hook kind=\"object\" file=\"/tmp\"/><hook kind=\"parent\" file=\"/\"/>"},
      {{"send", "<nonsense/>"}, 1, "5030 IVKEYWORD"},
      {{"send", "--size", "8", "<kversion/>"}, 1, "result: -1"},
      {{"hook", "/no/such/path"}, 1, "5050 HOOKFILE"},
      {{"send"}, 2, ""},
      {{"driver", "stop"}, 0, ""},
      {{"driver", "stop"}, 0, "not running"}};
  for (const Step &step : steps) {
    std::string output;
    EXPECT_EQ(rtktest::Rtkctl(step.args, &output), step.status) << output;
    EXPECT_NE(output.find(step.output), std::string::npos) << output;
  }
  EXPECT_FALSE(Exists("/dev/quillmar0"));
}

}  // namespace
