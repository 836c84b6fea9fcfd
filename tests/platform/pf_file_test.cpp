// Tests of the platform layer's file-system operations on real files, links,
// pipes, devices and, inside a private mount namespace, a tmpfs.
#include <sys/mount.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>

#include "log_capture.h"
#include "pf_file.h"
#include "qmerror.h"
#include "rtktest.h"

namespace {

// Every test leaves no descriptor open: the platform layer closes what it
// opens, on success and on failure.
[[maybe_unused]] const bool kDescriptorsChecked = rtktest::CheckDescriptorsAroundEachTest();

using rtktest::TempDir;
using rtktest::WriteFile;

// The names in a directory, read with the platform layer's listing.
std::set<std::string> ListDir(const std::string &path) {
  std::set<std::string> names;
  uint64_t handle;
  char name[PF_READDIR_NAME_SIZE];
  if (PF_OpenDir(path.c_str(), &handle) != QM_SUCCESS) return {"(cannot open)"};
  int32_t rc;
  while ((rc = PF_ReadDir(handle, name)) == QM_SUCCESS) names.insert(name);
  EXPECT_EQ(rc, QM_ERR_BADFILE) << "the end of " << path;
  EXPECT_EQ(PF_CloseDir(handle), QM_SUCCESS);
  return names;
}

// Links are followed; a failure leaves the record all zero and keeps errno;
// a path longer than the record's name is cut.
TEST(PfStat, KindsResultsAndModeTexts) {
  TempDir dir;
  const std::string longName(255, 'f');
  ASSERT_EQ(rtktest::RunCommand({"sh", "-c", "cd \"$0\" && printf hello >file && printf abc >\"$1\" && chmod 644 file \"$1\""
                                 " && mkdir -m 755 sub && ln -s file to-file && ln -s sub to-sub && ln -s nowhere dangling"
                                 " && mkfifo -m 600 fifo", dir.path(), longName}), 0);
  // Entry in the scratch directory or absolute path, result, kind, mode text
  // (null: not checked) and size (-1: not checked).
  const std::tuple<std::string, int32_t, uint32_t, const char *, int64_t> cases[] = {
      {"file", QM_SUCCESS, PF_KIND_FILE, "33188", 5},   {"to-file", QM_SUCCESS, PF_KIND_FILE, "33188", 5},
      {longName, QM_SUCCESS, PF_KIND_FILE, "33188", 3}, {"sub/", QM_SUCCESS, PF_KIND_DIRECTORY, "16877", -1},
      {"to-sub", QM_SUCCESS, PF_KIND_OTHER, "16877", -1}, {"fifo", QM_SUCCESS, PF_KIND_OTHER, "4480", 0},
      {"/dev/null", QM_SUCCESS, PF_KIND_OTHER, nullptr, -1}, {"dangling", QM_ERR_NOENT, 0, "", 0},
      {"missing/deeper", QM_ERR_NOENT, 0, "", 0},       {"file/below-a-file", QM_ERR_BADFILE, 0, "", 0},
  };
  for (const auto &[name, result, kind, mode, size] : cases) {
    const std::string path = name[0] == '/' ? name : dir / name;
    PF_Attrs attrs, zero{};
    std::memset(&attrs, 0xAB, sizeof attrs);
    EXPECT_EQ(PF_Stat(path.c_str(), &attrs), result) << name;
    EXPECT_EQ(attrs.kind, kind) << name;
    EXPECT_TRUE(mode == nullptr || std::string(attrs.mode) == mode) << name << attrs.mode;
    EXPECT_TRUE(size < 0 || attrs.size == size) << name;
    if (result == QM_SUCCESS) {
      EXPECT_EQ(std::string(attrs.name), path.substr(0, PF_ATTRS_NAME_SIZE - 1));
    } else {
      EXPECT_EQ(std::memcmp(&attrs, &zero, sizeof attrs), 0) << name << ": record not all zero";
      EXPECT_EQ(errno, result == QM_ERR_NOENT ? ENOENT : ENOTDIR) << name;
    }
  }
}

// SyncMtimes copies owner, group, mode and times; an id above 2147483647
// travels as a negative text and is restored exactly; the type bits of a
// mode text play no part; a failed time change is logged, not returned.
TEST(PfStat, AttributeSettersAndSync) {
  TempDir dir;
  const std::string src = dir / "file", dst = dir / "sub", missing = dir / "missing";
  WriteFile(src, "");
  ASSERT_EQ(mkdir(dst.c_str(), 0755), 0);
  ASSERT_EQ(chown(src.c_str(), 4294967294u, 4294967293u), 0);
  ASSERT_EQ(chmod(src.c_str(), 0640), 0);
  struct utimbuf times = {1100000000, 1000000000};
  ASSERT_EQ(utime(src.c_str(), &times), 0);
  struct stat before, st;
  ASSERT_EQ(stat(dst.c_str(), &before), 0);
  EXPECT_EQ(PF_SyncMtimes(missing.c_str(), dst.c_str()), QM_ERR_NOENT);
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode == before.st_mode && st.st_mtime == before.st_mtime);

  ASSERT_EQ(PF_SyncMtimes(src.c_str(), dst.c_str()), QM_SUCCESS);
  ASSERT_EQ(stat(dst.c_str(), &st), 0);
  EXPECT_EQ(std::vector<uint64_t>({st.st_uid, st.st_gid, st.st_mode, uint64_t(st.st_mtime), uint64_t(st.st_atime)}),
            std::vector<uint64_t>({4294967294u, 4294967293u, 040640u, 1000000000, 1100000000}));

  PF_Attrs attrs;
  ASSERT_EQ(PF_Stat(src.c_str(), &attrs), QM_SUCCESS);
  EXPECT_EQ(std::string(attrs.owner) + " " + attrs.group, "-2 -3");
  EXPECT_EQ(rtktest::LoggedTexts([&] { EXPECT_EQ(PF_SetAttributes(missing.c_str(), &attrs), QM_ERR_BADFILE); }),
            std::vector<std::string>{"Quillmar ERROR pf_unix_file: error No such file or directory setting utime of " +
                                     missing + " to 1000000000"});
}

TEST(PfDirectories, ListingAndRemoval) {
  TempDir dir;
  uint64_t handle = 99;
  EXPECT_EQ(PF_OpenDir((dir / "missing").c_str(), &handle), QM_ERR_BADFILE);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(ListDir(dir.path()), std::set<std::string>{});

  const std::set<std::string> made = {"a", ".hidden", std::string(255, 'n')};
  for (const std::string &n : made) WriteFile(dir / n, "");
  EXPECT_EQ(ListDir(dir.path()), made);

  ASSERT_EQ(mkdir((dir / "empty").c_str(), 0700), 0);
  EXPECT_EQ(PF_rmdir((dir / "missing").c_str()), QM_SUCCESS);
  EXPECT_EQ(PF_rmdir(dir.path().c_str()), QM_ERR_BADFILE) << "not empty";
  EXPECT_EQ(PF_rmdir((dir / "a").c_str()), QM_ERR_BADFILE) << "not a directory";
  EXPECT_EQ(PF_rmdir((dir / "empty").c_str()), QM_SUCCESS);
  EXPECT_NE(access((dir / "empty").c_str(), F_OK), 0);
}

TEST(PfMakeADirectory, PermissionsFromTheModelAndOwnerFromTheRecord) {
  TempDir dir;
  PF_Attrs generic, model{};
  ASSERT_EQ(PF_SetAttrsGeneric(&generic), QM_SUCCESS);
  EXPECT_STREQ(generic.mode, "511");
  UnixID2IDType(0106644, model.mode);  // a regular file with set-uid: only 644 counts
  UnixID2IDType(4241, model.owner);
  UnixID2IDType(4242, model.group);
  const std::string deep = dir / "a/b/c", other = dir / "d";
  ASSERT_EQ(PF_MakeADirectory(deep.c_str(), &generic), QM_SUCCESS);
  struct stat st, st2;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode == 040777u && st.st_uid == 0 && st.st_gid == 0) << "the umask plays no part";
  ASSERT_EQ(PF_MakeADirectory(other.c_str(), &model), QM_SUCCESS);
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode == 040644u && st.st_uid == 4241u) << st.st_mode << " " << st.st_uid;

  // An existing directory keeps its permissions and takes the owner.
  ASSERT_EQ(PF_MakeADirectory(deep.c_str(), &model), QM_SUCCESS);
  ASSERT_EQ(stat(deep.c_str(), &st2), 0);
  EXPECT_TRUE(st2.st_mode == 040777u && st2.st_gid == 4242u) << st2.st_mode << " " << st2.st_gid;
  WriteFile(dir / "plain", "");
  EXPECT_EQ(PF_MakeADirectory((dir / "plain/x").c_str(), &generic), QM_ERR_SYSERR);
}

// Names that the shell would interpret must create exactly that directory
// and run nothing else: run from inside the scratch directory, an injected
// "touch CANARY" would create the canary there. A command line that would
// not fit its buffer is refused, not cut.
TEST(PfMakeADirectory, HostileAndOverlongNames) {
  TempDir dir;
  const std::string names[] = {
      "q\"uote", "$(touch CANARY)", "`touch CANARY`", "semi\";touch CANARY;\"", "back\\slash\\",
      "new\nline", "-m 700 -p", "--", "$HOME", "dollar$", "it's", "tab\there",
  };
  PF_Attrs attrs;
  PF_SetAttrsGeneric(&attrs);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  for (const std::string &name : names) EXPECT_EQ(PF_MakeADirectory(name.c_str(), &attrs), QM_SUCCESS) << name;
  EXPECT_EQ(chdir("/"), 0);
  // "mkdir -p -m 777 \"", the path, '"' and the NUL: a path of 4,097 bytes
  // is the longest that fits (mkdir itself then refuses the name).
  const std::string longest = dir / std::string(4097 - dir.path().size() - 1, 'p');
  EXPECT_EQ(PF_MakeADirectory(longest.c_str(), &attrs), QM_ERR_SYSERR);
  EXPECT_EQ(PF_MakeADirectory((longest + "p").c_str(), &attrs), QM_ERR_BADPARAM);
  // Fits unescaped (about 2,100 bytes) but not once every '$' is escaped.
  EXPECT_EQ(PF_MakeADirectory((dir / std::string(2100, '$')).c_str(), &attrs), QM_ERR_BADPARAM);
  // Exactly the hostile names, all directories, and no canary.
  EXPECT_EQ(ListDir(dir.path()), std::set<std::string>(std::begin(names), std::end(names)));
  for (const std::string &name : names) EXPECT_EQ(ListDir(dir / name), std::set<std::string>{});
}

TEST(PfNetworkLocation, DeviceOfThePathOrOfItsParent) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  TempDir local, remote;
  struct stat root, here;
  ASSERT_EQ(stat("/", &root), 0);
  ASSERT_EQ(stat(local.path().c_str(), &here), 0);
  ASSERT_EQ(here.st_dev, root.st_dev) << "the test needs /tmp on the root file system";
  ASSERT_EQ(mount("tmpfs", remote.path().c_str(), "tmpfs", 0, "size=1m"), 0);
  WriteFile(remote / "file", "x");
  const std::pair<std::string, int32_t> cases[] = {
      {"/", 0},           {local / "missing", 0}, {local / "missing/child", 1}, {"/rtk-no-such-entry", 0},
      {remote.path(), 1}, {remote / "file", 1},   {remote / "missing", 1},
  };
  for (const auto &[path, expected] : cases) {
    std::string text = path;
    EXPECT_EQ(PF_isNetworkLocation(text.data()), expected) << path;
    EXPECT_EQ(text, path) << "the path is restored";
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
