// Tests of identities, password checks and processes. The user tests run in
// a private mount namespace over test copies of the password, shadow and
// group databases, whose hashes are made with the system's crypt.
#include <crypt.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <tuple>

#include "log_capture.h"
#include "pf_user.h"
#include "qmerror.h"
#include "rtktest.h"

namespace {

using rtktest::TempDir;
using rtktest::WriteFile;
using testing::IsSubstring;

constexpr uid_t kAlice = 4241;  // ordinary user, MD5-crypt hash in the shadow file
constexpr gid_t kStaff = 4250;  // a supplementary group of alice

std::string Crypt(const std::string &password, const std::string &setting) {
  struct crypt_data work {};
  const char *hash = crypt_r(password.c_str(), setting.c_str(), &work);
  return hash != nullptr ? hash : "";
}

// Bind-mounts test databases over /etc/passwd, /etc/shadow and /etc/group
// in a private mount namespace, and takes them away again afterwards.
class UserDatabases : public ::testing::Test {
 protected:
  void SetUp() override {
    RTK_REQUIRE_PRIVATE_MOUNT_NS();
    char yescrypt[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn("$y$", 0, nullptr, 0, yescrypt, sizeof yescrypt), nullptr);
    // carol's hash claims a salt longer than MD5-crypt's eight characters.
    const std::string carol = "$1$abcdefghijkl" + Crypt("carol-pw", "$1$abcdefgh").substr(11);
    const std::string aging = ":19000:0:99999:7:::\n";
    WriteFile(dir / "passwd",
              "root:x:0:0:root:/root:/bin/sh\nquillmar:" + Crypt("qm-secret", "Qm") + ":4240:4240::/:/bin/sh\n"
              "alice:x:4241:4241::/:/bin/sh\nbob:x:4242:4242::/:/bin/sh\n"
              "carol:x:4243:4243::/:/bin/sh\ndave:x:4244:4244::/:/bin/sh\n");
    WriteFile(dir / "shadow", "root:" + Crypt("root-pw", "$1$rootsalt") + aging + "alice:" +
                                  Crypt("alice-pw", "$1$ab") + aging + "bob:" + Crypt("bob-pw", yescrypt) +
                                  aging + "carol:" + carol + aging, 0600);
    WriteFile(dir / "group", "root:x:0:\nalice:x:4241:\nstaff2:x:4250:alice\n");
    for (const char *db : {"passwd", "shadow", "group"}) {
      const std::string target = std::string("/etc/") + db;
      ASSERT_EQ(mount((dir / db).c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << db;
      mounted_.push_back(target);
    }
  }
  void TearDown() override {
    for (const std::string &target : mounted_) umount(target.c_str());
  }
  TempDir dir;
  std::vector<std::string> mounted_;
};

TEST_F(UserDatabases, IdTextsAndNamesBothWays) {
  // Kind (0 user, 1 group), ID text and the name it shows as.
  const std::tuple<int32_t, const char *, const char *> toName[] = {
      {0, "0", "root"}, {1, "0", "0"}, {0, "4241", "alice"}, {0, "99999", "99999"}, {0, "alice", "alice"}, {0, "-1", "-1"}};
  for (const auto &[kind, text, name] : toName) {
    char out[PF_IDTYPE_SIZE];
    EXPECT_STREQ(PF_IDType2Str(kind, text, out, sizeof out), name) << text;
  }
  rtktest::GuardedBuffer cut(3);
  EXPECT_STREQ(PF_IDType2Str(0, "4241", cut.data(), 3), "al");
  EXPECT_TRUE(cut.Intact());
  const std::tuple<int32_t, const char *, int32_t, const char *> toText[] = {
      {0, "root", QM_SUCCESS, "0"},       {0, "alice", QM_SUCCESS, "4241"}, {0, "77777", QM_SUCCESS, "77777"},
      {0, "ghost", QM_ERR_UNKNOWNUSER, ""}, {1, "4250", QM_SUCCESS, "4250"}, {1, "staff2", QM_ERR_UNKNOWNGROUP, ""}};
  for (const auto &[kind, name, result, text] : toText) {
    IDType out = "";
    EXPECT_EQ(PF_IDStr2IDType(kind, name, out), result) << name;
    EXPECT_STREQ(out, text) << name;
  }
}

TEST_F(UserDatabases, PasswordChecks) {
  const std::tuple<const char *, const char *, int32_t, uint32_t> cases[] = {
      {"0", "root-pw", QM_SUCCESS, PF_ACCESS_ADMIN}, {"root", "Root-pw", QM_ERR_IVPASSWORD, PF_ACCESS_NONE},
      // A classic hash in the password file itself; a wrong password there
      // goes on to the shadow database, which has no entry for the user.
      {"quillmar", "qm-secret", QM_SUCCESS, PF_ACCESS_ADMIN}, {"4240", "qm-secret", QM_SUCCESS, PF_ACCESS_ADMIN},
      {"quillmar", "qm-Secret", QM_ERR_UNKNOWNUSER, PF_ACCESS_NONE},
      {"alice", "alice-pw", QM_SUCCESS, PF_ACCESS_USER}, {"alice", "", QM_ERR_IVPASSWORD, PF_ACCESS_NONE},
      // Hashes other than MD5-crypt are judged by their first two
      // characters, which no modern hash accepts as a salt.
      {"bob", "bob-pw", QM_ERR_IVPASSWORD, PF_ACCESS_NONE},
      // The salt is cut to eight characters, so it cannot reproduce a hash
      // that claims a longer one.
      {"carol", "carol-pw", QM_ERR_IVPASSWORD, PF_ACCESS_NONE},
      // No shadow entry, no such user, no such ID.
      {"dave", "anything", QM_ERR_UNKNOWNUSER, PF_ACCESS_NONE}, {"ghost", "anything", QM_ERR_UNKNOWNUSER, PF_ACCESS_NONE},
      {"99999", "anything", QM_ERR_UNKNOWNUSER, PF_ACCESS_NONE},
  };
  for (const auto &[user, password, result, expectedLevel] : cases) {
    uint32_t level = 77;
    EXPECT_EQ(PF_UserAuthenticates(user, password, &level), result) << user;
    EXPECT_EQ(level, expectedLevel) << user;
  }
}

// Look-ups and password checks from several threads at once give every
// caller its own answer (the reentrant calls share no static storage).
TEST_F(UserDatabases, LookupsAndChecksFromFourThreads) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([odd = t % 2 != 0, &wrong] {
      for (int i = 0; i < 50; ++i) {
        char name[PF_IDTYPE_SIZE];
        uint32_t level = 0;
        PF_IDType2Str(0, odd ? "4241" : "0", name, sizeof name);
        wrong += std::string(name) != (odd ? "alice" : "root") ||
                 PF_UserAuthenticates(odd ? "alice" : "root", odd ? "alice-pw" : "root-pw", &level) != QM_SUCCESS ||
                 level != (odd ? PF_ACCESS_USER : PF_ACCESS_ADMIN);
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// The administrator's tool answers from the same databases.
TEST_F(UserDatabases, RtkctlWhoisAndStat) {
  std::string out, stat;
  EXPECT_EQ(rtktest::Rtkctl({"whois", "4241"}, &out), 0);
  EXPECT_EQ(rtktest::Rtkctl({"whois", "alice"}, &out), 0);
  EXPECT_EQ(out, "uid 4241 name alice\nuid 4241 name alice\n");
  EXPECT_EQ(rtktest::Rtkctl({"whois", "ghost"}), 1);
  EXPECT_EQ(rtktest::Rtkctl({"whois"}), 2);
  // Ids are read modulo 2^32: numbers outside 0..4294967295 are refused, not taken as root.
  for (const char *outside : {"4294967296", "-4294967296", "18446744073709551616"})
    EXPECT_EQ(rtktest::Rtkctl({"whois", outside}), 2) << outside;
  EXPECT_EQ(rtktest::Rtkctl({"whois", "4294967295"}), 1);
  ASSERT_EQ(chown((dir / "group").c_str(), kAlice, kStaff), 0);
  EXPECT_EQ(rtktest::Rtkctl({"stat", dir / "group"}, &stat), 0);
  EXPECT_PRED_FORMAT2(IsSubstring, "owner:  4241 (alice)\ngroup:  4250\n", stat);
  EXPECT_EQ(rtktest::Rtkctl({"stat", dir / "missing"}), 1);
}

int32_t g_ranInThisProcess = 0;

// Answers 3 when it runs as alice with her groups and without root's, and
// the calls on the root-only file named by the argument meet the system's
// refusals.
int32_t CheckIsAlice(void *rootOnly) {
  g_ranInThisProcess = 1;
  std::vector<gid_t> groups(64);
  groups.resize(static_cast<size_t>(std::max(getgroups(64, groups.data()), 0)));
  uint32_t level = 5;
  const bool ok = getuid() == kAlice && geteuid() == kAlice && getgid() == kAlice &&
                  std::count(groups.begin(), groups.end(), kStaff) == 1 &&
                  std::count(groups.begin(), groups.end(), 0u) == 0 &&
                  PF_unlink(static_cast<char *>(rootOnly)) == QM_ERR_PERM &&
                  PF_IsReadable(static_cast<char *>(rootOnly)) == QM_ERR_BADFILE &&
                  PF_UserAuthenticates("alice", "alice-pw", &level) == QM_ERR_UNKNOWNUSER && level == PF_ACCESS_NONE;
  return ok ? 3 : 9;
}

TEST_F(UserDatabases, ExecuteFunctionAsARealUser) {
  std::string rootOnly = dir / "root-only";
  WriteFile(rootOnly, "secret", 0600);
  EXPECT_EQ(PF_ExecuteFunctionAs("4241", nullptr, CheckIsAlice, rootOnly.data()), 768) << "the wait status of exit 3";
  EXPECT_EQ(g_ranInThisProcess, 0) << "the function runs in the child only";
  // setuid refuses an id of -1: the child exits with 0 and the function never runs.
  EXPECT_EQ(PF_ExecuteFunctionAs("-1", nullptr, CheckIsAlice, rootOnly.data()), 0);
  EXPECT_EQ(PF_ExecuteFunctionAs("4241", nullptr, nullptr, nullptr), -1);
  // A name is no ID text; it must not run the function as user 0.
  EXPECT_EQ(PF_ExecuteFunctionAs("alice", nullptr, CheckIsAlice, rootOnly.data()), -1);
}

// With no process to spare, both process starters fail cleanly: no shell
// (BADFILE), no child (-1) and no other child of the caller collected.
TEST_F(UserDatabases, NoProcessCanBeStarted) {
  EXPECT_EQ(rtktest::InChild([] {
    const pid_t other = rtktest::Fork();
    if (other == 0) _exit(7);
    struct rlimit none = {0, 0};
    if (setgid(kAlice) != 0 || setuid(kAlice) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0) return 20;
    if (PF_ExecuteFunctionAs("4241", nullptr, CheckIsAlice, nullptr) != -1) return 21;
    if (PF_DoSystemCommand("true", "/", 1) != QM_ERR_BADFILE) return 22;
    return rtktest::WaitForExit(other) != 7 ? 23 : 0;
  }), 0) << "exit 20 setup, 21 fork, 22 shell, 23 other child reaped";
}

TEST(PfSmallCalls, ShellCommandsAndResultCodesOfTheSystemsRefusals) {
  TempDir dir;
  const std::string marker = dir / "marker";
  EXPECT_EQ(PF_DoSystemCommand(("sleep 0.1; touch '" + marker + "'; exit 1").c_str(), "/nowhere", 0), QM_SUCCESS);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the command was waited for";
  EXPECT_EQ(PF_DoSystemCommand(nullptr, "/", 1), QM_ERR_NULLPARAM);
  // The small file calls give the result codes of the system's refusals.
  const std::string file = dir / "file", sub = dir / "sub", missing = dir / "missing", moved = dir / "moved";
  WriteFile(file, "x");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  WriteFile(sub + "/inner", "y");
  EXPECT_EQ(std::vector<int32_t>({PF_rename(missing.c_str(), file.c_str()), PF_rename(file.c_str(), sub.c_str()),
                                  PF_rename(file.c_str(), moved.c_str()), PF_unlink(sub.c_str()),
                                  PF_unlink(missing.c_str()), PF_IsReadable(missing.c_str()),
                                  PF_IsReadable(moved.c_str()), PF_unlink(moved.c_str())}),
            std::vector<int32_t>({QM_ERR_NOENT, QM_ERR_BADFILE /* EISDIR */, QM_SUCCESS, QM_ERR_EISDIR,
                                  QM_ERR_NOENT, QM_ERR_BADFILE, QM_SUCCESS, QM_SUCCESS}));
  EXPECT_EQ(PF_open(missing.c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  const int fd = PF_open(missing.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
}

TEST(PfHost, FactsAndFixedAnswers) {
  PF_HostInfo info;
  std::memset(&info, 'x', sizeof info);
  ASSERT_EQ(PF_GetHostInfo(&info), QM_SUCCESS);
  EXPECT_STREQ(info.osName, "Linux");
  EXPECT_NE(std::memchr(info.hostName, '\0', sizeof info.hostName), nullptr);
  rtktest::GuardedBuffer out(5);
  EXPECT_EQ(PF_GetInstallDir(out.data(), 5), QM_SUCCESS);
  EXPECT_STREQ(out.data(), "/opt");
  EXPECT_TRUE(out.Intact());
  EXPECT_EQ(rtktest::LoggedTexts([] { EXPECT_EQ(pf_YesNoDialog(), 0); }),
            std::vector<std::string>{"Quillmar ERROR pf_YesNo not implemented yet"});
}

}  // namespace
