// Tests of identities, password checks and processes. The user tests run in
// a private mount namespace over test copies of the password, shadow and
// group databases, whose hashes are made with the system's crypt.
#include <crypt.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "log_capture.h"
#include "pf_user.h"
#include "qmerror.h"
#include "rtktest.h"

namespace {

using namespace rtktest;  // NOLINT(google-build-using-namespace): the tests' own helpers

constexpr uid_t kAlice = 4241;  // ordinary user, MD5-crypt hash in the shadow file
constexpr gid_t kStaff = 4250;  // a supplementary group of alice

std::string Crypt(const std::string &password, const std::string &setting) {
  struct crypt_data work {};
  const char *hash = crypt_r(password.c_str(), setting.c_str(), &work);
  return hash != nullptr ? hash : "";
}

// Test databases bind-mounted over /etc/passwd, /etc/shadow and /etc/group
// in a private mount namespace. bob's yescrypt hash is judged by its first
// two characters, which no modern hash accepts as a salt; carol's claims a
// salt longer than MD5-crypt's eight characters; dave has no shadow entry.
class UserDatabases : public ::testing::Test {
 protected:
  void SetUp() override {
    RTK_REQUIRE_PRIVATE_MOUNT_NS();
    char yescrypt[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn("$y$", 0, nullptr, 0, yescrypt, sizeof yescrypt), nullptr);
    const std::string aging = ":19000:0:99999:7:::\n";
    WriteFile(dir / "passwd", "root:x:0:0:root:/root:/bin/sh\nquillmar:" + Crypt("qm-secret", "Qm") +
                                  ":4240:4240::/:/bin/sh\nalice:x:4241:4241::/:/bin/sh\nbob:x:4242:4242::/:/bin/sh\n"
                                  "carol:x:4243:4243::/:/bin/sh\ndave:x:4244:4244::/:/bin/sh\n");
    WriteFile(dir / "shadow", "root:" + Crypt("root-pw", "$1$rootsalt") + aging + "alice:" + Crypt("alice-pw", "$1$ab") +
                                  aging + "bob:" + Crypt("bob-pw", yescrypt) + aging + "carol:$1$abcdefghijkl" +
                                  Crypt("carol-pw", "$1$abcdefgh").substr(11) + aging, 0600);
    WriteFile(dir / "group", "root:x:0:\nalice:x:4241:\nstaff2:x:4250:alice\n");
    ASSERT_EQ(RunCommand({"sh", "-ec", "for db in passwd shadow group; do mount --bind \"$0/$db\" /etc/$db; done", dir.path()}), 0);
  }
  void TearDown() override { RunCommand({"umount", "/etc/passwd", "/etc/shadow", "/etc/group"}); }
  TempDir dir;
};

// Kind 0 is a user, any other a group. A classic hash in the password file
// itself; a wrong password there goes on to the shadow database, which has
// no entry for the user.
TEST_F(UserDatabases, IdTextsNamesAndPasswords) {
  char name[PF_IDTYPE_SIZE];
  GuardedBuffer cut(3);
  IDType current;
  // A name cut to its buffer, then the current user's id.
  EXPECT_EQ(std::vector<std::string>({PF_IDType2Str(0, "0", name, 64), PF_IDType2Str(1, "0", name, 64), PF_IDType2Str(0, "4241", name, 64),
                                      PF_IDType2Str(0, "99999", name, 64), PF_IDType2Str(0, "alice", name, 64), PF_IDType2Str(0, "-1", name, 64),
                                      PF_IDType2Str(0, "4241", cut.data(), 3), std::to_string(cut.Intact()),
                                      std::to_string(PF_GetCurrentID(current)), std::to_string(UnixIDType2ID(current))}),
            std::vector<std::string>({"root", "0", "alice", "99999", "alice", "-1", "al", "1", "0", std::to_string(getuid())}));
  const auto id = [](int32_t kind, const char *text) {
    IDType out = "";
    return std::to_string(PF_IDStr2IDType(kind, text, out)) + ":" + out;
  };
  EXPECT_EQ(std::vector<std::string>({id(0, "root"), id(0, "alice"), id(0, "77777"), id(0, "ghost"), id(1, "4250"), id(1, "staff2")}),
            std::vector<std::string>({"0:0", "0:4241", "0:77777", "5097:", "0:4250", "5098:"}));
  const auto check = [](const char *user, const char *password) {
    uint32_t level = 77;
    const int32_t rc = PF_UserAuthenticates(user, password, &level);  // before level is read
    return std::to_string(rc) + ":" + std::to_string(level);
  };
  EXPECT_EQ(std::vector<std::string>({check("0", "root-pw"), check("root", "Root-pw"), check("quillmar", "qm-secret"),
                                      check("4240", "qm-secret"), check("quillmar", "qm-Secret"), check("alice", "alice-pw"),
                                      check("alice", ""), check("bob", "bob-pw"), check("carol", "carol-pw"),
                                      check("dave", "x"), check("ghost", "x"), check("99999", "x")}),
            std::vector<std::string>({"0:2", "5103:0", "0:2", "0:2", "5097:0", "0:1", "5103:0", "5103:0", "5103:0", "5097:0",
                                      "5097:0", "5097:0"}));
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
  return getuid() == kAlice && geteuid() == kAlice && getgid() == kAlice &&
                  std::count(groups.begin(), groups.end(), kStaff) == 1 && std::count(groups.begin(), groups.end(), 0u) == 0 &&
                  PF_unlink(static_cast<char *>(rootOnly)) == QM_ERR_PERM &&
                  PF_IsReadable(static_cast<char *>(rootOnly)) == QM_ERR_BADFILE &&
                  PF_UserAuthenticates("alice", "alice-pw", &level) == QM_ERR_UNKNOWNUSER && level == PF_ACCESS_NONE ? 3 : 9;
}

// The function runs in the child only, under the user. setuid refuses an id
// of -1: the child exits with 0 and the function never runs. A name is no ID
// text and must not run the function as user 0. With no process to spare,
// both process starters fail cleanly: no shell (BADFILE), no child (-1) and
// no other child of the caller collected.
TEST_F(UserDatabases, ExecuteFunctionAsARealUser) {
  std::string rootOnly = dir / "root-only";
  WriteFile(rootOnly, "secret", 0600);
  // 768: the wait status of exit 3.
  EXPECT_EQ(std::vector<int32_t>({PF_ExecuteFunctionAs("4241", nullptr, CheckIsAlice, rootOnly.data()), g_ranInThisProcess,
                                  PF_ExecuteFunctionAs("-1", nullptr, CheckIsAlice, rootOnly.data()), PF_ExecuteFunctionAs("4241", nullptr, nullptr, nullptr),
                                  PF_ExecuteFunctionAs("alice", nullptr, CheckIsAlice, rootOnly.data())}),
            std::vector<int32_t>({768, 0, 0, -1, -1}));
  EXPECT_EQ(InChild([] {
              const pid_t other = Fork();
              if (other == 0) _exit(7);
              struct rlimit none = {0, 0};
              if (setgid(kAlice) != 0 || setuid(kAlice) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0) return 20;
              return PF_ExecuteFunctionAs("4241", nullptr, CheckIsAlice, nullptr) != -1 ? 21
                     : PF_DoSystemCommand("true", "/", 1) != QM_ERR_BADFILE            ? 22
                     : WaitForExit(other) != 7                                          ? 23 : 0;
            }), 0) << "exit 20 setup, 21 fork, 22 shell, 23 other child reaped";
}

// The shell command is waited for and its own status is no failure; the
// small file calls give the result codes of the system's refusals.
TEST(PfSmallCalls, ShellCommandsFileCallsAndHost) {
  TempDir dir;
  const std::string marker = dir / "marker", file = dir / "file", sub = dir / "sub", missing = dir / "missing";
  ASSERT_EQ(RunCommand({"sh", "-c", "mkdir \"$0\" && touch \"$0/inner\" \"$0/../file\"", sub}), 0);
  // The marker exists once the command was waited for.
  EXPECT_EQ(std::vector<int32_t>({PF_DoSystemCommand(("sleep 0.1; touch '" + marker + "'; exit 1").c_str(), "/nowhere", 0), Exists(marker),
                                  PF_DoSystemCommand(nullptr, "/", 1), PF_rename(missing.c_str(), file.c_str()), PF_rename(file.c_str(), sub.c_str()),
                                  PF_rename(file.c_str(), marker.c_str()), PF_unlink(sub.c_str()), PF_unlink(missing.c_str()),
                                  PF_IsReadable(missing.c_str()), PF_IsReadable(marker.c_str()), PF_unlink(marker.c_str())}),
            std::vector<int32_t>({QM_SUCCESS, 1, QM_ERR_NULLPARAM, QM_ERR_NOENT, QM_ERR_BADFILE, QM_SUCCESS, QM_ERR_EISDIR, QM_ERR_NOENT,
                                  QM_ERR_BADFILE, QM_SUCCESS, QM_SUCCESS}));
  PF_HostInfo info;
  GuardedBuffer out(5);
  EXPECT_EQ(std::vector<std::string>({std::to_string(PF_open(missing.c_str(), O_RDONLY, 0)), strerror(errno),
                                      std::to_string(close(PF_open(missing.c_str(), O_CREAT | O_WRONLY, 0600))),
                                      std::to_string(PF_GetHostInfo(&info)), info.osName, std::to_string(PF_GetInstallDir(out.data(), 5)),
                                      out.data(), std::to_string(out.Intact())}),
            std::vector<std::string>({"-1", strerror(ENOENT), "0", "0", "Linux", "0", "/opt", "1"}));
  EXPECT_EQ(LoggedTexts([] { EXPECT_EQ(pf_YesNoDialog(), 0); }),
            std::vector<std::string>{"Quillmar ERROR pf_YesNo not implemented yet"});
}

}  // namespace
