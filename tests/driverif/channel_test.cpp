// The driver channel through the real device: records as the driver sees
// them, command length limits, hook forms, read and write, and failures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "pf_driverif.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "rtktest.h"
#include "standin.h"

namespace {

using drvtest::LogEntry;

std::string Hex(const void *address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

class ChannelTest : public ::testing::Test {
 protected:
  // Starts the stand-in with `extra` options inside the sandbox.
  void StartDriver(const std::vector<std::string> &extra = {}) {
    std::string output;
    ASSERT_EQ(driver_.Start(extra, &output), 0) << output;
  }
  drvtest::StandIn driver_;
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
    const LogEntry &ioctl = requests[3 * call + 1];
    EXPECT_EQ(ioctl.at("ioctl"), "100");
    EXPECT_EQ(ioctl.at("version"), "1");
    EXPECT_EQ(ioctl.at("code"), call == 0 ? "7" : "0");
    EXPECT_EQ(ioctl.at("recordSize"), "152");
    EXPECT_EQ(ioctl.at("inLength"), "12");
    EXPECT_EQ(ioctl.at("bufferSize"), "64");
    EXPECT_EQ(ioctl.at("result"), "0");
    EXPECT_EQ(ioctl.at("reserved"), "0");
    EXPECT_EQ(ioctl.at("buffer"), Hex(reply.data()));
    EXPECT_EQ(ioctl.at("text"), "<kversion/>");
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
  } const cases[] = {
      {31, 32, true, QM_ERR_IVKEYWORD}, {32, 32, true, -1},
      {1023, 5, false, QM_ERR_IVKEYWORD}, {1024, 4096, false, -1},
      {0, -1, true, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " characters into " << c.replySize);
    std::string command(c.length, 'x');
    if (!command.empty()) command[0] = '<';
    rtktest::GuardedBuffer reply(c.replySize > 0 ? static_cast<size_t>(c.replySize) : 1);
    driver_.Forget();
    EXPECT_EQ(qma_simpleCtl(0, 0, command.c_str(), c.withReply ? reply.data() : nullptr,
                            c.replySize),
              c.result);
    const std::vector<LogEntry> ioctls = driver_.Ioctls();
    if (c.result == -1) {
      EXPECT_TRUE(ioctls.empty());
    } else {
      ASSERT_EQ(ioctls.size(), 1u);
      EXPECT_EQ(ioctls[0].at("bufferSize"), c.withReply ? std::to_string(c.replySize) : "1024");
      EXPECT_EQ(ioctls[0].at("inLength"), std::to_string(c.length + 1));
    }
    EXPECT_TRUE(reply.Intact());
  }
}

TEST_F(ChannelTest, NullCommandAndOwnHandle) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  int64_t handle = 0;
  ASSERT_EQ(PF_OpenDriver(&handle), QM_SUCCESS);
  char reply[16] = "untouched";
  EXPECT_EQ(qma_simpleCtl(handle, 0, nullptr, reply, sizeof reply), QM_SUCCESS);
  EXPECT_STREQ(reply, "untouched");
  char command[32] = "<reset/>";  // command and reply in one buffer
  EXPECT_EQ(qma_simpleXML(handle, command, command, sizeof command), QM_SUCCESS);
  EXPECT_STREQ(command, "<reset/>");
  std::vector<LogEntry> requests = driver_.Requests();
  ASSERT_EQ(requests.size(), 3u);  // the caller's handle is never closed
  EXPECT_EQ(requests[1].at("inLength"), "0");
  EXPECT_EQ(requests[1].at("buffer"), Hex(reply));
  EXPECT_EQ(requests[2].at("text"), "<reset/>");
  EXPECT_EQ(PF_CloseDriver(handle), QM_SUCCESS);
  requests = driver_.Requests();
  EXPECT_EQ(requests.back().at("event"), "close");
}

TEST_F(ChannelTest, ReplyLargerThanTheBufferIsRefusedByTheDriver) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver({"--version", "1.0.0.7"});
  char reply[16];
  EXPECT_EQ(qma_simpleXML(0, strcpy(reply, "<kversion/>"), reply, sizeof reply),
            QM_ERR_DRIVERBUFFER);
  EXPECT_STREQ(reply, "<kversion/>");
  char roomy[64];
  EXPECT_EQ(qma_simpleXML(0, strcpy(roomy, "<kversion/>"), roomy, sizeof roomy),
            QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(roomy, "<kversion version=\"1.0.0.7\"/>");
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
      {"<trace mask=\"RTK\" level=\"Medium\" device=\"screen\" program=\"inst\" />", QM_SUCCESS,
       nullptr},
      {"<trace mask=\"NOPE\"/>", QM_ERR_IVLOGLVL, nullptr},
      {"<reset/>", QM_SUCCESS, nullptr},
      {"<trace/>", QM_INFO_XMLRESPONSE,
       "<trace device=\"terminal\" mask=\"RTK\" level=\"Medium\" program=\"inst\"/>"},
  };
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

TEST_F(ChannelTest, FailedIoctlIsBadFile) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  for (const char *option : {"--fail-ioctl", "--fail-ioctl=3"}) {
    SCOPED_TRACE(option);
    StartDriver({option});
    char reply[32] = "<kversion/>";
    EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), QM_ERR_BADFILE);
    driver_.Forget();
    EXPECT_EQ(PF_AttachDriverToFileSystem("/tmp"), QM_ERR_BADFILE);
    EXPECT_EQ(driver_.Ioctls().size(), 1u);  // the parent is not sent
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
  struct Case {
    const char *command;
    int32_t result;
    Hooks hooks;
  } const cases[] = {
      {"<hook file=\"/tmp/d/a\"/>", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}}},
      {"<hook file=/tmp/d/a/>", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}}},
      {"hook /tmp/d/a", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}}},
      {"<HOOK /tmp/d/a/>", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}}},
      {"<Hook /tmp/d/a>", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d"}}},
      {"hook /", QM_SUCCESS, {{"101", "/"}, {"102", "/"}}},
      {"hook /tmp", QM_SUCCESS, {{"101", "/tmp"}, {"102", "/"}}},
      {"<hook/>", QM_SUCCESS, {{"101", "/"}, {"102", "/"}}},
      {"hook /tmp/d/sub/", QM_SUCCESS, {{"101", "/tmp/d/sub"}, {"102", "/tmp/d/sub"}}},
      {"hook a", QM_SUCCESS, {{"101", "/tmp/d/a"}, {"102", "/tmp/d/a"}}},
      {"hook /tmp/d/missing", QM_ERR_HOOKFILE, {}},
      {"<hookdir file=\"/tmp/d\"/>", QM_SUCCESS, {}},
      {"<unhook file=\"/tmp/d/a\"/>", QM_SUCCESS, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    char command[64];
    std::strcpy(command, c.command);
    rtktest::GuardedBuffer reply(32, 'r');
    driver_.Forget();
    EXPECT_EQ(qma_simpleXML(0, command, reply.data(), 32), c.result);
    EXPECT_EQ(reply.data()[0], 'r');  // hook commands never touch the reply
    Hooks seen;
    for (const LogEntry &ioctl : driver_.Ioctls()) seen.emplace_back(ioctl.at("ioctl"), ioctl.at("file"));
    EXPECT_EQ(seen, c.hooks);
  }
  for (const LogEntry &ioctl : driver_.Ioctls()) EXPECT_EQ(ioctl.at("code"), "0");
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(ChannelTest, HookEdgeCases) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  // A word that only begins with "hook" is an ordinary command.
  char command[2048] = "<hookx file=\"/tmp\"/>";
  EXPECT_EQ(qma_simpleXML(0, command, command, sizeof command), QM_ERR_IVKEYWORD);
  ASSERT_EQ(driver_.Ioctls().size(), 1u);
  EXPECT_EQ(driver_.Ioctls()[0].at("ioctl"), "100");
  // A first word of any length is passed over; the path is the next word.
  driver_.Forget();
  std::snprintf(command, sizeof command, "hook/%s /tmp", std::string(100, 'w').c_str());
  EXPECT_EQ(qma_simpleXML(0, command, nullptr, 0), QM_SUCCESS);
  const std::vector<LogEntry> hooks = driver_.Ioctls();
  ASSERT_EQ(hooks.size(), 2u);
  EXPECT_EQ(hooks[0].at("file"), "/tmp");
  EXPECT_EQ(hooks[1].at("file"), "/");
  // A path too long for the path buffer is refused, not cut; nothing is sent.
  driver_.Forget();
  std::snprintf(command, sizeof command, "hook /%s", std::string(1100, 'p').c_str());
  EXPECT_EQ(qma_simpleXML(0, command, nullptr, 0), QM_ERR_BADPARAM);
  EXPECT_TRUE(driver_.Ioctls().empty());
  EXPECT_EQ(qma_simpleXML(0, nullptr, nullptr, 0), QM_ERR_NULLPARAM);
  EXPECT_EQ(PF_DetachDriverToFileSystem("/no/such/path"), QM_SUCCESS);
}

TEST_F(ChannelTest, RefusedHookStopsBeforeTheParent) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver({"--reply-code", "6001"});
  EXPECT_EQ(PF_AttachDriverToFileSystem("/tmp"), 6001);
  EXPECT_EQ(driver_.Ioctls().size(), 1u);
}

TEST_F(ChannelTest, ReadAndWriteCounts) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  StartDriver();
  int64_t handle = -1;
  ASSERT_EQ(PF_OpenDriver(&handle), QM_SUCCESS);
  int64_t written = -1;
  EXPECT_EQ(PF_WriteDriver(handle, "hello", 5, &written), QM_SUCCESS);
  EXPECT_EQ(written, 5);
  char data[100] = {};
  int32_t got = -1;
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(std::string(data, 5), "hello");
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(got, 0);

  // The driver holds 64 KiB: a larger write is short and not retried, the
  // next one fails and leaves the count alone.
  const std::vector<char> block(70000, 'b');
  EXPECT_EQ(PF_WriteDriver(handle, block.data(), block.size(), &written), QM_SUCCESS);
  EXPECT_EQ(written, 65536);
  EXPECT_EQ(PF_WriteDriver(handle, block.data(), 1, &written), QM_ERR_BADFILE);
  EXPECT_EQ(written, 65536);
  char reset[16] = "<reset/>";
  EXPECT_EQ(qma_simpleXML(handle, reset, reset, sizeof reset), QM_SUCCESS);
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, &got), QM_SUCCESS);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(PF_CloseDriver(handle), QM_SUCCESS);

  got = 42;
  EXPECT_EQ(PF_ReadDriver(-1, data, sizeof data, &got), QM_ERR_DRVRREAD);
  EXPECT_EQ(got, 42);
  EXPECT_EQ(PF_ReadDriver(handle, data, sizeof data, nullptr), QM_ERR_NULLPARAM);
}

}  // namespace
