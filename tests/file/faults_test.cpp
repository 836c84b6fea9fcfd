// Real faults: a full file system, failing reads, missing permissions, file
// systems mounted below a walked tree, and a very large directory.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "filetest.h"
#include "qmerror.h"
#include "qmmem.h"
#include "rtktest.h"

namespace {

using namespace filetest;

// A FUSE file system served by a child process, with one file, /failing
// (300,000 bytes): once it has been opened its status fails with EIO (so a
// second open fails too), and reads beyond its first 64 KiB fail with EIO.
constexpr off_t kFaultySize = 300000;
bool opened = false;

int FsGetattr(const char *path, struct stat *st, struct fuse_file_info *) {
  const bool root = std::strcmp(path, "/") == 0;
  if (!root && std::strcmp(path, "/failing") != 0) return -ENOENT;
  if (!root && opened) return -EIO;
  *st = {};
  st->st_mode = root ? S_IFDIR | 0755 : S_IFREG | 0644;
  st->st_size = kFaultySize;
  return 0;
}

int FsOpen(const char *, struct fuse_file_info *fi) {
  opened = true;
  fi->direct_io = 1;  // every read reaches FsRead with the caller's offset
  return 0;
}

int FsRead(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *) {
  if (off >= 65536) return -EIO;
  std::memset(buf, 'f', size);
  return static_cast<int>(size);
}

void *FsInit(struct fuse_conn_info *, struct fuse_config *cfg) {
  cfg->attr_timeout = 0;  // every status call reaches FsGetattr
  cfg->entry_timeout = 0;
  return nullptr;
}

// Mounts the faulty file system at dir and serves it from a child; answers the child's pid, or -1.
pid_t ServeFaultyFs(const std::string &dir) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    struct fuse_operations ops {};
    ops.getattr = FsGetattr;
    ops.open = FsOpen;
    ops.read = FsRead;
    ops.init = FsInit;
    char name[] = "rtktest-faulty";
    char *argv[] = {name, nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(1, argv);
    struct fuse *fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    const bool ok = fs != nullptr && fuse_mount(fs, dir.c_str()) == 0;
    if (write(ready[1], ok ? "1" : "0", 1) == 1 && ok) fuse_loop(fs);
    _exit(0);
  }
  char c = '0';
  const bool mounted = pid > 0 && read(ready[0], &c, 1) == 1 && c == '1';
  close(ready[0]);
  close(ready[1]);
  return mounted ? pid : -1;
}

TEST(FileFaults, FullFileSystemAndFailingReads) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  TempDir dir;
  MakeDir(dir / "small");
  ASSERT_TRUE(MountTmpfs(dir / "small", "256k"));
  WriteFile(dir / "src", Pattern(1 << 20), 0640);
  auto run = Copy(dir / "small/dst", dir / "src", false);
  EXPECT_EQ(run.rc, QM_ERR_NOSPC);
  EXPECT_EQ(run.msg, "errno:" + std::to_string(ENOSPC));
  EXPECT_GT(run.copied, 0);
  EXPECT_EQ(run.copied % 65536, 0);  // the whole blocks written before the failing one
  EXPECT_GE(StatOf(dir / "small/dst").st_size, run.copied);
  EXPECT_EQ(StatOf(dir / "small/dst").st_mode & 07777, 0640u);  // attributes applied all the same

  MakeDir(dir / "fuse");
  const pid_t server = ServeFaultyFs(dir / "fuse");
  ASSERT_GT(server, 0);
  run = Copy(dir / "dst", dir / "fuse/failing", false);
  EXPECT_EQ(run.rc, QM_ERR_RESTARTABLE);
  EXPECT_EQ(run.copied, 65536);
  EXPECT_NE(StatOf(dir / "dst").st_mode & 0777, 0u);  // unreadable attributes are not applied as zeros
  EXPECT_NE(StatOf(dir / "dst").st_mtime, 0);
  run = Copy(dir / "dst", dir / "fuse/failing", false);
  EXPECT_EQ(run.rc, QM_ERR_RESTARTABLE);
  EXPECT_EQ(run.msg, "$T(FailedToOpenSrc) [" + dir / "fuse/failing" + "] " + std::strerror(EIO));
  umount2((dir / "fuse").c_str(), MNT_DETACH);
  umount2((dir / "small").c_str(), MNT_DETACH);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
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
  int32_t codes[2] = {0, 0};
  EXPECT_EQ(read(results[0], codes, sizeof codes), static_cast<ssize_t>(sizeof codes));
  close(results[0]);
  close(results[1]);
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
  ASSERT_TRUE(MountTmpfs(t + "/mnt", "1m"));
  ASSERT_TRUE(MountTmpfs(dir / "other", "1m"));
  WriteFile(t + "/mnt/inner", "x");
  WriteFile(t + "/near", "x");
  WriteFile(dir / "other/far", "x");
  ASSERT_EQ(symlink((dir / "other/far").c_str(), (t + "/farlink").c_str()), 0);
  std::vector<std::string> seen;
  EXPECT_EQ(qmfile_treeWalk(t.c_str(), Collect, reinterpret_cast<uint64_t>(&seen)), QM_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::string>{t, t + "/near", t + "/mnt", t + "/mnt/inner"}));
  EXPECT_EQ(qmfile_rmdirTree(t.c_str()), QM_ERR_SYSERR);  // the mounted file system is not entered
  EXPECT_EQ(access((t + "/mnt/inner").c_str(), F_OK), 0);
  EXPECT_NE(access((t + "/near").c_str(), F_OK), 0);
  umount2((t + "/mnt").c_str(), MNT_DETACH);
  umount2((dir / "other").c_str(), MNT_DETACH);
}

TEST(FileFaults, LargeDirectoryIsListedUpToTheLimit) {
  TempDir dir;
  for (int i = 0; i < 12000; ++i) close(open((dir / ("f" + std::to_string(100000 + i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0, dirs = 0;
  EXPECT_EQ(qmfile_ScanDir(dir.path().c_str(), &list, &files, &dirs), QM_SUCCESS);
  EXPECT_EQ(files + dirs, 10240u);
  ASSERT_NE(list, nullptr);
  for (uint32_t i = 1; i < files; ++i) ASSERT_LT(std::strcmp(list[i - 1].name, list[i].name), 0) << i;
  MEM_free(list);
  EXPECT_EQ(qmfile_CountItemsInDir(dir.path().c_str(), 20000), 12000);
}

}  // namespace
