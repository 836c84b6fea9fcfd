// The driver channel through the stand-in driver's device: records as the
// driver sees them, command length limits, hook forms, read and write,
// failures, and rtkctl's driver subcommands.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
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

std::string Hex(const void *address) { return (std::ostringstream() << address).str(); }

// A test in the driver sandbox with the stand-in driver started.
class Channel : public ::testing::Test {
 protected:
  void SetUp() override {
    RTK_REQUIRE_DRIVER_SANDBOX();
    std::string output;
    ASSERT_EQ(driver_.Start({}, &output), 0) << output;
  }
  // What reached the driver since the last call, one "key=value ..." text
  // per ioctl, with the given keys.
  std::vector<std::string> Sent(const std::vector<std::string> &keys) {
    std::vector<std::string> sent;
    for (auto &ioctl : driver_.Ioctls()) {
      sent.emplace_back();
      for (const std::string &key : keys) sent.back() += (key == keys[0] ? "" : " ") + key + "=" + ioctl[key];
    }
    driver_.Forget();
    return sent;
  }
  // The events (open, ioctl, close ...) since the start, joined with ' '.
  std::string Events() {
    std::string events;
    for (auto &request : driver_.Requests()) events += (events.empty() ? "" : " ") + request["event"];
    return events;
  }
  rtktest::StandIn driver_;
};

// Each call opens, sends one record and closes. The command and its
// terminator must fit the buffer (the caller's, or the 1,024-byte discard
// buffer when there is no reply buffer); what does not fit is never sent.
TEST_F(Channel, RecordReachesTheDriverAsLaidOutWhenTheCommandFits) {
  rtktest::GuardedBuffer reply(64);
  EXPECT_EQ((std::tuple{qma_simpleCtl(0, 7, "<kversion/>", reply.data(), 64), qma_simpleCtl(0, 0, "<kversion/>", reply.data(), 64),
                        std::string(reply.data()), reply.Intact(), Events()}),
            std::tuple(QM_ERR_IVKEYWORD, QM_INFO_XMLRESPONSE, "<kversion version=\"1.0.0.8\"/>", true, "open ioctl close open ioctl close"));
  const std::string record = " recordSize=152 inLength=12 bufferSize=64 result=0 reserved=0 buffer=" + Hex(reply.data()) +
                             " text=<kversion/>";
  EXPECT_EQ(Sent({"ioctl", "version", "code", "recordSize", "inLength", "bufferSize", "result", "reserved", "buffer", "text"}),
            (std::vector<std::string>{"ioctl=100 version=1 code=7" + record, "ioctl=100 version=1 code=0" + record}));
  const struct { size_t length; int64_t size; bool withReply; int32_t rc; } cases[] = {
      {31, 32, true, QM_ERR_IVKEYWORD}, {32, 32, true, -1}, {1023, 5, false, QM_ERR_IVKEYWORD}, {1024, 4096, false, -1},
      {0, -1, true, -1}};
  for (const auto &c : cases) {
    const std::string command = c.length ? "<" + std::string(c.length - 1, 'x') : "";
    rtktest::GuardedBuffer buffer(c.size > 0 ? static_cast<size_t>(c.size) : 1);
    const std::string sent = "bufferSize=" + std::to_string(c.withReply ? c.size : 1024) + " inLength=" + std::to_string(c.length + 1);
    EXPECT_EQ((std::tuple{qma_simpleCtl(0, 0, command.c_str(), c.withReply ? buffer.data() : nullptr, c.size), Sent({"bufferSize", "inLength"}),
                          buffer.Intact()}), std::tuple(c.rc, std::vector<std::string>(c.rc != -1, sent), true)) << c.length;
  }
}

// No device means no driver; a failed request is BADFILE, and any code the
// driver answers is handed back; a refused hook of the object does not go on
// to the parent.
TEST(ChannelFailures, NoDriverFailedAndRefusedRequests) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  int64_t handle = 5;
  char reply[32] = "<kversion/>";
  EXPECT_EQ((std::tuple{PF_OpenDriver(&handle), handle, qma_simpleXML(0, reply, reply, sizeof reply) + PF_AttachDriverToFileSystem("/tmp"),
                        std::string(reply)}), std::tuple(QM_ERR_DRVROPEN, -1, 2 * QM_ERR_DRVROPEN, "<kversion/>"));
  const std::pair<std::vector<std::string>, int32_t> cases[] = {
      {{"--fail-ioctl"}, QM_ERR_BADFILE}, {{"--fail-ioctl=3"}, QM_ERR_BADFILE}, {{"--reply-code", "6001"}, 6001}};
  for (const auto &[options, result] : cases) {
    rtktest::StandIn driver;
    std::string output;
    ASSERT_EQ(driver.Start(options, &output), 0) << output;
    EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), result) << options[0];
    driver.Forget();
    EXPECT_EQ((std::tuple{PF_AttachDriverToFileSystem("/tmp"), driver.Ioctls().size()}), std::tuple(result, 1u)) << options[0];
  }
  EXPECT_EQ(qma_simpleXML(0, nullptr, nullptr, 0) + PF_CommandDriver(0, nullptr) + PF_OpenDriver(nullptr), 3 * QM_ERR_NULLPARAM);
}

// Every hook form, with the objects that reach the driver as (request, path):
// the object, then its parent. Hook commands never touch the reply; an
// ordinary one gets its answer.
TEST_F(Channel, HookForms) {
  ASSERT_EQ(rtktest::RunCommand({"sh", "-ec", "mkdir -p /tmp/d/sub; touch /tmp/d/a"}) || chdir("/tmp/d"), 0);
  using Hooks = std::vector<std::string>;
  const Hooks a = {"ioctl=101 file=/tmp/d/a code=0", "ioctl=102 file=/tmp/d code=0"};
  const Hooks root = {"ioctl=101 file=/ code=0", "ioctl=102 file=/ code=0"}, tmp = {"ioctl=101 file=/tmp code=0", "ioctl=102 file=/ code=0"};
  const struct { std::string command; int32_t rc; Hooks hooks; } cases[] = {
      {"<hook file=\"/tmp/d/a\"/>", 0, a}, {"<hook file=/tmp/d/a/>", 0, a}, {"hook /tmp/d/a", 0, a}, {"<HOOK /tmp/d/a/>", 0, a},
      {"<Hook /tmp/d/a>", 0, a}, {"hook /", 0, root}, {"<hook/>", 0, root}, {"hook /tmp", 0, tmp},
      {"hook /tmp/d/sub/", 0, {"ioctl=101 file=/tmp/d/sub code=0", "ioctl=102 file=/tmp/d/sub code=0"}},
      {"hook a", 0, {"ioctl=101 file=/tmp/d/a code=0", "ioctl=102 file=/tmp/d/a code=0"}},
      {"hook/" + std::string(100, 'w') + " /tmp", 0, tmp},  // a first word of any length is passed over
      {"hook /tmp/d/missing", QM_ERR_HOOKFILE, {}},
      // The path and its terminator fill the 1,024-byte path buffer; a byte more is refused, not cut.
      {"hook " + std::string(1020, '/') + "tmp", 0, tmp}, {"hook " + std::string(1021, '/') + "tmp", QM_ERR_BADPARAM, {}},
      {"<hookdir file=\"/tmp/d\"/>", 0, {}}, {"<unhook file=\"/tmp/d/a\"/>", 0, {}},
      {"<hookx file=\"/tmp\"/>", QM_ERR_IVKEYWORD, {"ioctl=100 file= code=0"}}};  // only begins with "hook"
  for (const auto &c : cases) {
    std::vector<char> command(c.command.begin(), c.command.end() + 1);
    rtktest::GuardedBuffer reply(2048, 'r');
    EXPECT_EQ((std::tuple{qma_simpleXML(0, command.data(), reply.data(), 2048), reply.data()[0], Sent({"ioctl", "file", "code"})}),
              std::tuple(c.rc, c.rc == QM_ERR_IVKEYWORD ? '<' : 'r', c.hooks)) << c.command.substr(0, 40);
  }
  EXPECT_EQ(PF_DetachDriverToFileSystem("/no/such/path") + chdir("/"), QM_SUCCESS);
}

// The caller's own handle: null command, command and reply in one buffer,
// read and write counts; the handle is closed only by PF_CloseDriver. The
// driver holds 64 KiB: a larger write is short and not retried, the next
// one fails and leaves the count alone.
TEST_F(Channel, OwnHandleReadsAndWrites) {
  int64_t handle = -1, written = -1;
  ASSERT_EQ(PF_OpenDriver(&handle), QM_SUCCESS);
  char reply[16] = "untouched", data[100] = {}, command[32] = "<reset/>";
  int32_t got = -1;
  // Each call as "result:count" (write) or "result:bytes read" (read).
  auto write = [&](const char *bytes, size_t size) {
    const int32_t rc = PF_WriteDriver(handle, bytes, size, &written);
    return std::to_string(rc) + ":" + std::to_string(written);
  };
  auto read = [&] {
    const int32_t rc = PF_ReadDriver(handle, data, sizeof data, &got);
    return std::to_string(rc) + ":" + std::string(data, got);
  };
  EXPECT_EQ((std::tuple{qma_simpleCtl(handle, 0, nullptr, reply, sizeof reply), std::string(reply)}), std::tuple(QM_SUCCESS, "untouched"));
  const std::vector<char> block(70000, 'b');
  EXPECT_EQ((std::vector<std::string>{write("hello", 5), read(), read(), write(block.data(), block.size()), write(block.data(), 1)}),
            (std::vector<std::string>{"0:5", "0:hello", "0:", "0:65536", std::to_string(QM_ERR_BADFILE) + ":65536"}));
  EXPECT_EQ((std::tuple{qma_simpleXML(handle, command, command, sizeof command), std::string(command), read()}),
            std::tuple(QM_SUCCESS, "<reset/>", "0:"));
  EXPECT_EQ(Events(), "open ioctl write read read write write ioctl read");  // nothing repeated, nothing closed
  EXPECT_EQ(Sent({"inLength", "buffer", "text"}),
            (std::vector<std::string>{"inLength=0 buffer=" + Hex(reply) + " text=",
                                      "inLength=9 buffer=" + Hex(command) + " text=<reset/>"}));
  got = 42;
  EXPECT_EQ((std::tuple{PF_CloseDriver(handle), Events(), PF_ReadDriver(-1, data, sizeof data, &got), got}),
            std::tuple(QM_SUCCESS, "close", QM_ERR_DRVRREAD, 42));
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, nullptr) + PF_WriteDriver(handle, data, 1, nullptr), 2 * QM_ERR_NULLPARAM);
}

// Callers on several threads at once are all served; every hook they make
// is kept, none lost to another's.
TEST_F(Channel, ConcurrentCallersKeepEveryHook) {
  std::atomic<int> failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t)
    callers.emplace_back([&failed] { for (int i = 0; i < 100; ++i) failed += PF_AttachDriverToFileSystem("/tmp") != QM_SUCCESS; });
  for (std::thread &caller : callers) caller.join();
  std::string reply = "<hooks/>" + std::string(65536, '\0');
  EXPECT_EQ((std::tuple{qma_simpleXML(0, reply.data(), reply.data(), static_cast<int64_t>(reply.size())) + failed, reply.substr(0, 20)}),
            std::tuple(QM_INFO_XMLRESPONSE, "<hooks count=\"1600\">"));
}

// A caller whose command record lies in a page that nobody fills in (a
// userfaultfd region) waits with its request, and meanwhile another caller is
// answered. The blocked child says 'f' once the driver has touched the page
// ('u' without userfaultfd); closing `release` drops the userfaultfd, the
// page fills with zeros and the blocked request ends.
TEST_F(Channel, ABlockedCallerHoldsUpOnlyItself) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready) | pipe(release), 0);
  const pid_t blocked = rtktest::Fork();
  if (blocked == 0) {
    close(release[1]);  // the read below ends when the test closes its end
    const int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uffdio_api api{UFFD_API, 0, 0};
    uffdio_register area{{reinterpret_cast<uintptr_t>(page), 4096}, UFFDIO_REGISTER_MODE_MISSING, 0};
    if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0 || ioctl(uffd, UFFDIO_REGISTER, &area) != 0)
      _exit(write(ready[1], "u", 1) == 1 ? 1 : 2);
    std::thread([&] {
      pollfd fault{uffd, POLLIN, 0};
      char byte;
      if (poll(&fault, 1, -1) == 1 && write(ready[1], "f", 1) == 1 && read(release[0], &byte, 1) >= 0) close(uffd);
    }).detach();
    int64_t handle = -1;
    PF_OpenDriver(&handle);
    PF_CommandDriver(handle, static_cast<PF_DriverCommand *>(page));
    _exit(0);
  }
  pollfd told{ready[0], POLLIN, 0};
  char what = '?';
  if (poll(&told, 1, 10000) != 1 || read(ready[0], &what, 1) != 1) what = '?';
  int answered = -1;
  if (what == 'f' && (answered = rtktest::Fork()) == 0) {
    char reply[64] = "<kversion/>";
    _exit(qma_simpleXML(0, reply, reply, sizeof reply) == QM_INFO_XMLRESPONSE ? 0 : 1);
  }
  if (what == 'f') answered = rtktest::ExitStatusWithin10s(answered);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_EQ(rtktest::ExitStatusWithin10s(blocked), what == 'f' ? 0 : 1);
  if (what == 'u') GTEST_SKIP() << "userfaultfd is not available";
  ASSERT_EQ(what, 'f') << "the driver never read the blocked caller's record";
  EXPECT_EQ(answered, 0);
}

TEST(RtkctlDriver, StartStatusSendHookStop) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  const struct { std::vector<std::string> args; int status; const char *output; } steps[] = {
      {{"driver", "status"}, 1, "5003 DRVROPEN"}, {{"driver", "start", "--version", "1.0.0.7"}, 0, ""},
      {{"driver", "start"}, 1, "already running"}, {{"driver", "status"}, 0, "version: 1.0.0.7"}, {{"hook", "/tmp"}, 0, ""},
      {{"send", "<hooks/>"}, 0, "<hook kind=\"object\" file=\"/tmp\"/><hook kind=\"parent\" file=\"/\"/>"},
      {{"send", "<nonsense/>"}, 1, "5030 IVKEYWORD"}, {{"send", "--size", "8", "<kversion/>"}, 1, "result: -1"},
      {{"hook", "/no/such/path"}, 1, "5050 HOOKFILE"}, {{"send"}, 2, ""}, {{"driver", "stop"}, 0, ""},
      {{"driver", "stop"}, 0, "not running"}};
  for (const auto &step : steps) {
    std::string output;
    EXPECT_EQ((std::tuple{rtktest::Rtkctl(step.args, &output), output.find(step.output) != output.npos}), std::tuple(step.status, true)) << output;
  }
  EXPECT_FALSE(rtktest::Exists("/dev/quillmar0"));
}

}  // namespace
