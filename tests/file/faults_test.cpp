// Real faults: a full file system, failing reads, missing permissions, file
// systems mounted below a walked tree, and a very large directory.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filetest.h"
#include "qmerror.h"
#include "qmfile.h"
#include "qmmem.h"
#include "rtktest.h"

namespace {

using filetest::Copy;
using filetest::CopyRun;
using filetest::MakeDir;
using filetest::TempDir;
using filetest::WriteFile;

// ---- a small FUSE file system whose files fail on purpose -----------------
//   /readfail  300,000 bytes; reads beyond the first 64 KiB fail with EIO
//   /openfail  every open fails with EIO
//   /statfail  opens and reads, but its status fails with EIO once opened
constexpr off_t kFaultySize = 300000;
bool statfailOpened = false;  // state of the serving child process

int FsGetattr(const char *path, struct stat *st, struct fuse_file_info *) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    return 0;
  }
  if (std::strcmp(path, "/statfail") == 0 && statfailOpened) return -EIO;
  for (const char *name : {"/readfail", "/openfail", "/statfail"}) {
    if (std::strcmp(path, name) == 0) {
      st->st_mode = S_IFREG | 0644;
      st->st_size = kFaultySize;
      return 0;
    }
  }
  return -ENOENT;
}

int FsOpen(const char *path, struct fuse_file_info *fi) {
  if (std::strcmp(path, "/openfail") == 0) return -EIO;
  statfailOpened = statfailOpened || std::strcmp(path, "/statfail") == 0;
  fi->direct_io = 1;  // every read reaches FsRead with the caller's offset
  return 0;
}

int FsRead(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *) {
  if (std::strcmp(path, "/readfail") == 0 && off >= 65536) return -EIO;
  const size_t n = off >= kFaultySize ? 0 : std::min(size, static_cast<size_t>(kFaultySize - off));
  std::memset(buf, 'f', n);
  return static_cast<int>(n);
}

void *FsInit(struct fuse_conn_info *, struct fuse_config *cfg) {
  cfg->attr_timeout = 0;  // every status call reaches FsGetattr
  cfg->entry_timeout = 0;
  return nullptr;
}

// Serves the faulty file system at dir from a child process while it lives.
class FaultyFs {
 public:
  explicit FaultyFs(const std::string &dir) : dir_(dir) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      Serve(ready[1]);
    }
    close(ready[1]);
    char c = 0;
    mounted_ = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == '1';
    close(ready[0]);
  }
  ~FaultyFs() {
    umount2(dir_.c_str(), MNT_DETACH);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool mounted() const { return mounted_; }

 private:
  [[noreturn]] void Serve(int ready) {
    struct fuse_operations ops {};
    ops.getattr = FsGetattr;
    ops.open = FsOpen;
    ops.read = FsRead;
    ops.init = FsInit;
    char name[] = "rtktest-faulty";
    char *argv[] = {name, nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(1, argv);
    struct fuse *fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    const bool ok = fs != nullptr && fuse_mount(fs, dir_.c_str()) == 0;
    if (write(ready, ok ? "1" : "0", 1) != 1 || !ok) _exit(1);
    close(ready);
    fuse_loop(fs);
    _exit(0);
  }

  std::string dir_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};

struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(FileFaults, FullFileSystemGivesNospcAndStillAppliesTheAttributes) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  TempDir dir;
  MakeDir(dir / "small");
  ASSERT_TRUE(filetest::MountTmpfs(dir / "small", "256k"));
  WriteFile(dir / "src", filetest::Pattern(1 << 20), 0640);
  const CopyRun run = Copy(dir / "small/dst", dir / "src", false);
  EXPECT_EQ(run.rc, QM_ERR_NOSPC);
  EXPECT_EQ(run.msg, "errno:" + std::to_string(ENOSPC));
  EXPECT_GT(run.copied, 0);
  EXPECT_LT(run.copied, 1 << 20);
  EXPECT_EQ(run.copied % 65536, 0);  // whole blocks handled before the failing one
  EXPECT_GE(StatOf(dir / "small/dst").st_size, run.copied);
  EXPECT_EQ(StatOf(dir / "small/dst").st_mode & 07777, 0640u);
}

TEST(FileFaults, InputOutputErrorsAreRestartable) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  TempDir dir;
  MakeDir(dir / "fuse");
  const FaultyFs fs(dir / "fuse");
  ASSERT_TRUE(fs.mounted());
  CopyRun run = Copy(dir / "dst", dir / "fuse/readfail", false);
  EXPECT_EQ(run.rc, QM_ERR_RESTARTABLE);
  EXPECT_EQ(run.copied, 65536);
  EXPECT_EQ(run.msg, "");
  run = Copy(dir / "dst", dir / "fuse/openfail", false);
  EXPECT_EQ(run.rc, QM_ERR_RESTARTABLE);
  EXPECT_EQ(run.msg, "$T(FailedToOpenSrc) [" + dir / "fuse/openfail" + "] " + std::strerror(EIO));
  // Source attributes that cannot be read are not applied as zeros.
  run = Copy(dir / "dst", dir / "fuse/statfail", false);
  EXPECT_EQ(run.rc, QM_SUCCESS);
  EXPECT_EQ(run.copied, kFaultySize);
  EXPECT_NE(StatOf(dir / "dst").st_mode & 0777, 0u);
  EXPECT_NE(StatOf(dir / "dst").st_mtime, 0);
}

TEST(FileFaults, UnprivilegedCallerGetsPermissionCodes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  TempDir dir;
  WriteFile(dir / "secret", "x", 0600);
  WriteFile(dir / "open", "x", 0644);
  MakeDir(dir / "locked", 0755);
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    int32_t codes[2] = {-1, -1};
    if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
      codes[0] = Copy(dir / "copy", dir / "secret", false).rc;
      codes[1] = Copy(dir / "locked/copy", dir / "open", false).rc;
    }
    _exit(write(results[1], codes, sizeof codes) == sizeof codes ? 0 : 1);
  }
  close(results[1]);
  int32_t codes[2] = {0, 0};
  EXPECT_EQ(read(results[0], codes, sizeof codes), static_cast<ssize_t>(sizeof codes));
  close(results[0]);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(codes[0], QM_ERR_SRCEPERM);
  EXPECT_EQ(codes[1], QM_ERR_DSTEPERM);
}

int32_t Collect(const char *path, uint64_t context, const PF_Attrs *) {
  reinterpret_cast<std::vector<std::string> *>(context)->push_back(path);
  return QM_SUCCESS;
}

TEST(FileFaults, WalkEntersMountsButNotLinksToOtherFileSystemsAndRemovalStopsAtMounts) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  TempDir dir;
  const std::string t = dir / "t";
  MakeDir(t + "/mnt");
  MakeDir(dir / "other");
  ASSERT_TRUE(filetest::MountTmpfs(t + "/mnt", "1m"));
  ASSERT_TRUE(filetest::MountTmpfs(dir / "other", "1m"));
  WriteFile(t + "/mnt/inner", "x");
  WriteFile(t + "/near", "x");
  WriteFile(dir / "other/far", "x");
  ASSERT_EQ(symlink((dir / "other/far").c_str(), (t + "/farlink").c_str()), 0);
  std::vector<std::string> seen;
  EXPECT_EQ(qmfile_treeWalk(t.c_str(), Collect, reinterpret_cast<uint64_t>(&seen)), QM_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::string>{t, t + "/near", t + "/mnt", t + "/mnt/inner"}));
  // The removal does not reach into the mounted file system, so the tree stays.
  EXPECT_EQ(qmfile_rmdirTree(t.c_str()), QM_ERR_SYSERR);
  EXPECT_EQ(access((t + "/mnt/inner").c_str(), F_OK), 0);
  EXPECT_NE(access((t + "/near").c_str(), F_OK), 0);
  umount2((t + "/mnt").c_str(), MNT_DETACH);
  umount2((dir / "other").c_str(), MNT_DETACH);
}

TEST(FileFaults, LargeDirectoryIsListedUpToTheLimit) {
  TempDir dir;
  char name[32];
  for (int i = 0; i < 12000; ++i) {
    std::snprintf(name, sizeof name, "/f%05d", i);
    const int fd = open((dir.path() + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0, dirs = 0;
  EXPECT_EQ(qmfile_ScanDir(dir.path().c_str(), &list, &files, &dirs), QM_SUCCESS);
  EXPECT_EQ(files, 10240u);
  EXPECT_EQ(dirs, 0u);
  ASSERT_NE(list, nullptr);
  for (uint32_t i = 1; i < files; ++i) ASSERT_LT(std::strcmp(list[i - 1].name, list[i].name), 0) << i;
  MEM_free(list);
  EXPECT_EQ(qmfile_CountItemsInDir(dir.path().c_str(), 20000), 12000);
}

}  // namespace
