// Tests of the platform layer's file-system operations on real files, links,
// pipes, devices and, inside a private mount namespace, a tmpfs.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "pf_file.h"
#include "platform_test_util.h"
#include "qmerror.h"

namespace {

using plattest::ScratchDir;
using plattest::WriteFile;

// The names in a directory, read with the platform layer's listing.
std::set<std::string> ListDir(const std::string &path) {
  std::set<std::string> names;
  uint64_t handle;
  char name[PF_READDIR_NAME_SIZE];
  if (PF_OpenDir(path.c_str(), &handle) != QM_SUCCESS) return {"(cannot open)"};
  while (PF_ReadDir(handle, name) == QM_SUCCESS) names.insert(name);
  PF_CloseDir(handle);
  return names;
}

class PfStat : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "file", "hello", 0644);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("file", (dir / "to-file").c_str()), 0);
    ASSERT_EQ(symlink("sub", (dir / "to-sub").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  }
  ScratchDir dir;
};

// Links are followed; a failure leaves the record all zero, keeps errno and
// traces the path with the system error number.
TEST_F(PfStat, KindsResultsAndModeTexts) {
  struct {
    const char *name;  // entry in the scratch directory, or an absolute path
    int32_t result;
    uint32_t kind;
    const char *mode;  // expected mode text, null when not checked
    int64_t size;      // expected size, -1 when not checked
  } const cases[] = {
      {"file", QM_SUCCESS, PF_KIND_FILE, "33188", 5},
      {"to-file", QM_SUCCESS, PF_KIND_FILE, "33188", 5},
      {"sub", QM_SUCCESS, PF_KIND_DIRECTORY, "16877", -1},
      {"sub/", QM_SUCCESS, PF_KIND_DIRECTORY, "16877", -1},
      {"to-sub", QM_SUCCESS, PF_KIND_OTHER, "16877", -1},
      {"fifo", QM_SUCCESS, PF_KIND_OTHER, "4480", 0},
      {"/dev/null", QM_SUCCESS, PF_KIND_OTHER, nullptr, -1},
      {"/", QM_SUCCESS, PF_KIND_DIRECTORY, nullptr, -1},
      {"dangling", QM_ERR_NOENT, 0, "", 0},
      {"missing", QM_ERR_NOENT, 0, "", 0},
      {"missing/deeper", QM_ERR_NOENT, 0, "", 0},
      {"file/below-a-file", QM_ERR_BADFILE, 0, "", 0},
  };
  plattest::TraceCapture trace(QM_TRACE_FILE);
  for (const auto &c : cases) {
    const std::string path = c.name[0] == '/' ? std::string(c.name) : dir / c.name;
    PF_Attrs attrs;
    std::memset(&attrs, 0xAB, sizeof attrs);
    EXPECT_EQ(PF_Stat(path.c_str(), &attrs), c.result) << c.name;
    EXPECT_EQ(attrs.kind, c.kind) << c.name;
    EXPECT_TRUE(c.mode == nullptr || std::string(attrs.mode) == c.mode) << c.name << attrs.mode;
    EXPECT_TRUE(c.size < 0 || attrs.size == c.size) << c.name;
    if (c.result != QM_SUCCESS) {
      const PF_Attrs zero{};
      EXPECT_EQ(std::memcmp(&attrs, &zero, sizeof attrs), 0) << c.name << ": record not all zero";
      EXPECT_EQ(errno, c.result == QM_ERR_NOENT ? ENOENT : ENOTDIR) << c.name;
    } else {
      EXPECT_STREQ(attrs.name, path.c_str());
    }
  }
  const std::string lines = trace.Text();
  for (const std::string tail :
       {"dangling] returned error 2\n", "file/below-a-file] returned error 20\n"}) {
    EXPECT_NE(lines.find("FILE PF_Stat of [" + dir.path() + "/" + tail), std::string::npos) << lines;
  }
}

TEST_F(PfStat, LongPathFillsEveryFieldAndCutsTheName) {
  std::string path = dir.path();
  while (path.size() < 300) {
    path += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  path += "/f";
  WriteFile(path, "abc");
  PF_Attrs attrs;
  ASSERT_EQ(PF_Stat(path.c_str(), &attrs), QM_SUCCESS);
  EXPECT_EQ(attrs.size, 3);
  EXPECT_EQ(attrs.kind, PF_KIND_FILE);
  EXPECT_EQ(std::string(attrs.name), path.substr(0, PF_ATTRS_NAME_SIZE - 1));
}

// SyncMtimes copies owner, group, mode and times; an id above 2147483647
// travels as a negative text and is restored exactly; the type bits of a
// mode text play no part; a failed time change is logged, not returned.
TEST_F(PfStat, AttributeSettersAndSync) {
  const std::string src = dir / "file", dst = dir / "sub";
  ASSERT_EQ(chown(src.c_str(), 4294967294u, 4294967293u), 0);
  ASSERT_EQ(chmod(src.c_str(), 0640), 0);
  struct utimbuf times = {1100000000, 1000000000};
  ASSERT_EQ(utime(src.c_str(), &times), 0);
  struct stat before, st;
  ASSERT_EQ(stat(dst.c_str(), &before), 0);
  EXPECT_EQ(PF_SyncMtimes((dir / "missing").c_str(), dst.c_str()), QM_ERR_NOENT);
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode == before.st_mode && st.st_mtime == before.st_mtime);

  ASSERT_EQ(PF_SyncMtimes(src.c_str(), dst.c_str()), QM_SUCCESS);
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4294967294u);
  EXPECT_EQ(st.st_gid, 4294967293u);
  EXPECT_EQ(st.st_mode, 040640u);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(st.st_atime, 1100000000);

  PF_Attrs attrs;
  ASSERT_EQ(PF_Stat(src.c_str(), &attrs), QM_SUCCESS);
  EXPECT_STREQ(attrs.owner, "-2");
  EXPECT_STREQ(attrs.group, "-3");
  plattest::ErrorLines log;
  const std::string missing = dir / "missing";
  EXPECT_EQ(PF_SetAttributes(missing.c_str(), &attrs), QM_ERR_BADFILE);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"pf_unix_file: error No such file or directory "
                                                  "setting utime of " + missing + " to 1000000000\n"});
}

TEST(PfDirectories, ListingAndRemoval) {
  ScratchDir dir;
  uint64_t handle = 99;
  EXPECT_EQ(PF_OpenDir((dir / "missing").c_str(), &handle), QM_ERR_BADFILE);
  EXPECT_EQ(handle, 0u);

  char name[PF_READDIR_NAME_SIZE];
  ASSERT_EQ(PF_OpenDir(dir.path().c_str(), &handle), QM_SUCCESS);
  EXPECT_EQ(PF_ReadDir(handle, name), QM_ERR_BADFILE) << "an empty directory has no names";
  EXPECT_EQ(PF_CloseDir(handle), QM_SUCCESS);

  const std::set<std::string> made = {"a", ".hidden", std::string(255, 'n')};
  for (const std::string &n : made) WriteFile(dir / n, "");
  EXPECT_EQ(ListDir(dir.path()), made);

  EXPECT_EQ(PF_rmdir((dir / "missing").c_str()), QM_SUCCESS);
  EXPECT_EQ(PF_rmdir(dir.path().c_str()), QM_ERR_BADFILE) << "not empty";
  EXPECT_EQ(PF_rmdir((dir / "a").c_str()), QM_ERR_BADFILE) << "not a directory";
  ASSERT_EQ(mkdir((dir / "empty").c_str(), 0700), 0);
  EXPECT_EQ(PF_rmdir((dir / "empty").c_str()), QM_SUCCESS);
  EXPECT_NE(access((dir / "empty").c_str(), F_OK), 0);
}

TEST(PfMakeADirectory, PermissionsFromTheModelAndOwnerFromTheRecord) {
  ScratchDir dir;
  PF_Attrs generic;
  ASSERT_EQ(PF_SetAttrsGeneric(&generic), QM_SUCCESS);
  EXPECT_STREQ(generic.mode, "511");
  const std::string deep = dir / "a/b/c";
  plattest::TraceCapture trace(QM_TRACE_FILE);
  ASSERT_EQ(PF_MakeADirectory(deep.c_str(), &generic), QM_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, 040777u) << "the umask plays no part";
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);

  PF_Attrs model{};
  UnixID2IDType(0106644, model.mode);  // a regular file with set-uid: only 644 counts
  UnixID2IDType(4241, model.owner);
  UnixID2IDType(4242, model.group);
  const std::string other = dir / "d";
  ASSERT_EQ(PF_MakeADirectory(other.c_str(), &model), QM_SUCCESS);
  const std::string lines = trace.Text();
  EXPECT_NE(lines.find("FILE Mkdirs [mkdir -p -m 777 \"" + deep + "\"] result:0\n"), std::string::npos)
      << lines;
  EXPECT_NE(lines.find("FILE Mkdirs [mkdir -p -m 644 \"" + other + "\"] result:0\n"), std::string::npos)
      << lines;
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, 040644u);
  EXPECT_EQ(st.st_uid, 4241u);

  // An existing directory keeps its permissions and takes the owner.
  ASSERT_EQ(PF_MakeADirectory(deep.c_str(), &model), QM_SUCCESS);
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, 040777u);
  EXPECT_EQ(st.st_gid, 4242u);

  WriteFile(dir / "plain", "");
  EXPECT_EQ(PF_MakeADirectory((dir / "plain/x").c_str(), &generic), QM_ERR_SYSERR);
}

// Names that the shell would interpret must create exactly that directory
// and run nothing else. Run from inside the scratch directory, an injected
// "touch CANARY" would create the canary there.
TEST(PfMakeADirectory, HostileNamesAreInert) {
  ScratchDir dir;
  const std::string names[] = {
      "q\"uote", "$(touch CANARY)", "`touch CANARY`", "semi\";touch CANARY;\"",
      "back\\slash\\", "new\nline", "-m 700 -p", "--", "$HOME", "dollar$", "it's", "tab\there",
  };
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  PF_Attrs attrs;
  PF_SetAttrsGeneric(&attrs);
  for (const std::string &name : names) {
    EXPECT_EQ(PF_MakeADirectory(name.c_str(), &attrs), QM_SUCCESS) << name;
  }
  EXPECT_EQ(chdir("/"), 0);
  // Exactly these entries, all directories, and no canary.
  EXPECT_EQ(ListDir(dir.path()), std::set<std::string>(std::begin(names), std::end(names)));
  for (const std::string &name : names) EXPECT_EQ(ListDir(dir / name), std::set<std::string>{});
}

// A command line that would not fit its buffer is refused, not cut.
TEST(PfMakeADirectory, OverlongCommandLineIsRefused) {
  ScratchDir dir;
  PF_Attrs attrs;
  PF_SetAttrsGeneric(&attrs);
  // "mkdir -p -m 777 \"", the path, '"' and the NUL: a path of 4,097
  // bytes is the longest that fits (mkdir itself then refuses the name).
  const std::string longest = dir / std::string(4097 - dir.path().size() - 1, 'p');
  EXPECT_EQ(PF_MakeADirectory(longest.c_str(), &attrs), QM_ERR_SYSERR);
  EXPECT_EQ(PF_MakeADirectory((longest + "p").c_str(), &attrs), QM_ERR_BADPARAM);
  // Fits unescaped (about 2,100 bytes) but not once every '$' is escaped.
  const std::string dollars = dir / std::string(2100, '$');
  EXPECT_EQ(PF_MakeADirectory(dollars.c_str(), &attrs), QM_ERR_BADPARAM);
  EXPECT_EQ(ListDir(dir.path()), std::set<std::string>{});
}

TEST(PfNetworkLocation, DeviceOfThePathOrOfItsParent) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  ScratchDir local, remote;
  struct stat root, here;
  ASSERT_EQ(stat("/", &root), 0);
  ASSERT_EQ(stat(local.path().c_str(), &here), 0);
  ASSERT_EQ(here.st_dev, root.st_dev) << "the test needs /tmp on the root file system";
  ASSERT_EQ(mount("tmpfs", remote.path().c_str(), "tmpfs", 0, "size=1m"), 0);
  WriteFile(remote / "file", "x");
  struct Case {
    std::string path;
    int32_t expected;
  } const cases[] = {
      {"/", 0},
      {local.path(), 0},
      {local / "missing", 0},
      {local / "missing/child", 1},
      {"/rtk-no-such-entry", 0},
      {remote.path(), 1},
      {remote / "file", 1},
      {remote / "missing", 1},
  };
  for (const Case &c : cases) {
    std::string text = c.path;
    EXPECT_EQ(PF_isNetworkLocation(text.data()), c.expected) << c.path;
    EXPECT_EQ(text, c.path) << "the path is restored";
  }
  // A missing name without '/' is judged by the current directory.
  char bare[] = "rtk-missing-name";
  ASSERT_EQ(chdir(remote.path().c_str()), 0);
  EXPECT_EQ(PF_isNetworkLocation(bare), 1);
  ASSERT_EQ(chdir(local.path().c_str()), 0);
  EXPECT_EQ(PF_isNetworkLocation(bare), 0);
  ASSERT_EQ(chdir("/"), 0);
  umount(remote.path().c_str());
}

TEST(PfVsbLocation, FoundOnlyWhenTheClientIsInstalled) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  ASSERT_EQ(mount("tmpfs", "/opt", "tmpfs", 0, "size=1m"), 0);
  rtktest::GuardedBuffer out(64, 'z');
  EXPECT_EQ(PF_GetVSBInstallLocation(out.data(), 64), QM_ERR_BADFILE);
  EXPECT_STREQ(out.data(), "");
  ASSERT_EQ(rtktest::RunCommand({"mkdir", "-p", "/opt/orvane/vsb/client/ba"}), 0);
  EXPECT_EQ(PF_GetVSBInstallLocation(out.data(), 64), QM_SUCCESS);
  EXPECT_STREQ(out.data(), "/opt/orvane/vsb/client/ba");
  EXPECT_EQ(PF_GetVSBInstallLocation(out.data(), 5), QM_SUCCESS);
  EXPECT_STREQ(out.data(), "/opt");
  EXPECT_TRUE(out.Intact());
  umount("/opt");
}

}  // namespace
