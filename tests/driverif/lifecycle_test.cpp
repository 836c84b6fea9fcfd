// The stand-in driver's life cycle and answer options, and the rtkctl
// subcommands that drive it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "qma_ctl.h"
#include "qmerror.h"
#include "rtktest.h"
#include "standin.h"

namespace {

bool Exists(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

std::string Rtkctl() { return RTK_BINARY_DIR "/tools/rtkctl"; }

// Runs rtkctl with `args`; returns the exit status, output in *output.
int RunRtkctl(const std::vector<std::string> &args, std::string *output) {
  std::vector<std::string> argv = {Rtkctl()};
  argv.insert(argv.end(), args.begin(), args.end());
  output->clear();
  return rtktest::RunCommand(argv, output);
}

TEST(StandInLifeCycle, RefusesASecondStartAndCleansUpOnStop) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  drvtest::StandIn driver;
  std::string output;
  ASSERT_EQ(driver.Start({}, &output), 0) << output;
  EXPECT_TRUE(drvtest::IsMounted("/dev/quillmar0"));
  EXPECT_TRUE(drvtest::IsMounted(drvtest::StandIn::MountPoint()));

  drvtest::StandIn second;
  EXPECT_EQ(second.Start({}, &output), 1);
  EXPECT_NE(output.find("already running"), std::string::npos) << output;

  ASSERT_TRUE(driver.Stop());
  EXPECT_FALSE(drvtest::IsMounted("/dev/quillmar0"));
  EXPECT_FALSE(drvtest::IsMounted(drvtest::StandIn::MountPoint()));
  EXPECT_FALSE(Exists("/dev/quillmar0"));
  EXPECT_FALSE(Exists(drvtest::StandIn::MountPoint()));
  EXPECT_FALSE(Exists(drvtest::StandIn::PidFile()));
}

TEST(StandInLifeCycle, RestartsOverTheMountsOfAKilledDriver) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  std::string output;
  {
    drvtest::StandIn killed;
    ASSERT_EQ(killed.Start({}, &output), 0) << output;
    std::string pid;
    ASSERT_EQ(rtktest::RunCommand({"cat", drvtest::StandIn::PidFile()}, &pid), 0);
    ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
    killed.Stop();
  }
  char reply[64] = "<kversion/>";
  EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), QM_ERR_DRVROPEN);  // dead connection

  drvtest::StandIn driver;
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
    int32_t result;
    const char *reply;
  } const cases[] = {
      {{"--reply-code", "0"}, QM_SUCCESS, "<kversion/>"},
      {{"--reply-text", "<kversion/>"}, QM_INFO_XMLRESPONSE, "<kversion/>"},
      {{"--reply-text", "<kversion version=\"x.y\"/>", "--reply-code", "6036"},
       QM_INFO_BADXML, "<kversion version=\"x.y\"/>"},
      {{"--version", "2.0.0.0"}, QM_INFO_XMLRESPONSE, "<kversion version=\"2.0.0.0\"/>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options[0]);
    drvtest::StandIn driver;
    std::string output;
    ASSERT_EQ(driver.Start(c.options, &output), 0) << output;
    char reply[64] = "<kversion/>";
    EXPECT_EQ(qma_simpleXML(0, reply, reply, sizeof reply), c.result);
    EXPECT_STREQ(reply, c.reply);
  }
  const std::vector<std::vector<std::string>> badUsage = {
      {drvtest::StandIn::Binary()},
      {drvtest::StandIn::Binary(), "--reply-code", "abc", "/tmp/m"},
      {drvtest::StandIn::Binary(), "--fail-ioctl=0", "/tmp/m"},
      {drvtest::StandIn::Binary(), "/tmp/m", "/tmp/n"}};
  for (const std::vector<std::string> &bad : badUsage) {
    std::string output;
    EXPECT_EQ(rtktest::RunCommand(bad, &output), 2) << bad.back();
    EXPECT_NE(output.find("usage: qmdrvd"), std::string::npos);
  }
}

TEST(RtkctlDriver, StartStatusSendHookStop) {
  RTK_REQUIRE_DRIVER_SANDBOX();
  std::string out;
  EXPECT_EQ(RunRtkctl({"driver", "status"}, &out), 1);
  EXPECT_NE(out.find("5003 DRVROPEN"), std::string::npos) << out;

  ASSERT_EQ(RunRtkctl({"driver", "start", "--version", "1.0.0.7"}, &out), 0) << out;
  EXPECT_EQ(RunRtkctl({"driver", "start"}, &out), 1);
  EXPECT_NE(out.find("already running"), std::string::npos) << out;
  EXPECT_EQ(RunRtkctl({"driver", "status"}, &out), 0);
  EXPECT_NE(out.find("version: 1.0.0.7"), std::string::npos) << out;

  EXPECT_EQ(RunRtkctl({"hook", "/tmp"}, &out), 0) << out;
  EXPECT_EQ(RunRtkctl({"send", "<hooks/>"}, &out), 0);
  EXPECT_NE(out.find("5049 XMLRESPONSE"), std::string::npos) << out;
  EXPECT_NE(out.find("<hook kind=\"object\" file=\"/tmp\"/><hook kind=\"parent\" file=\"/\"/>"),
            std::string::npos)
      << out;
  EXPECT_EQ(RunRtkctl({"send", "<nonsense/>"}, &out), 1);
  EXPECT_NE(out.find("5030 IVKEYWORD"), std::string::npos) << out;
  EXPECT_EQ(RunRtkctl({"send", "--size", "8", "<kversion/>"}, &out), 1);
  EXPECT_NE(out.find("result: -1"), std::string::npos) << out;
  EXPECT_EQ(RunRtkctl({"hook", "/no/such/path"}, &out), 1);
  EXPECT_NE(out.find("5050 HOOKFILE"), std::string::npos) << out;
  EXPECT_EQ(RunRtkctl({"send"}, &out), 2);

  EXPECT_EQ(RunRtkctl({"driver", "stop"}, &out), 0) << out;
  EXPECT_FALSE(Exists("/dev/quillmar0"));
  EXPECT_EQ(RunRtkctl({"driver", "stop"}, &out), 0);
  EXPECT_NE(out.find("not running"), std::string::npos) << out;
}

}  // namespace
