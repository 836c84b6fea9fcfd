// The replication copy, directory chains, comparison and path overlap.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "filetest.h"
#include "qmerror.h"

namespace {

using namespace filetest;

// A source with permissions 0640 and modification time 1,200,000,000.
void MakeSource(const std::string &path, const std::string &data) {
  WriteFile(path, data, 0640);
  const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

bool HasSourceAttributes(const std::string &path) {
  const struct stat st = StatOf(path);
  return (st.st_mode & 07777) == 0640 && st.st_mtime == 1200000000;
}

TEST(FileCopy, CopiesBlockByBlockOrCatchesUpAndAppliesTheSourceAttributes) {
  TempDir dir;
  for (size_t size : {0, 1, 65536, 200000}) {
    MakeSource(dir / "src", Pattern(size));
    WriteFile(dir / "dst", std::string(300000, 'z'));  // truncated by the copy
    Counter counter;
    const auto run = Copy(dir / "dst", dir / "src", false, &counter);
    EXPECT_EQ(run.rc, QM_SUCCESS);
    EXPECT_EQ(run.copied, static_cast<int64_t>(size));
    EXPECT_EQ(run.msg, "");
    EXPECT_EQ(counter.calls, 1 + static_cast<int>((size + 65535) / 65536)) << size;  // before the start, after each block
    EXPECT_EQ(ReadFile(dir / "dst"), Pattern(size)) << size;
    EXPECT_TRUE(HasSourceAttributes(dir / "dst")) << size;
  }
  // Catch-up reads what the destination lacks and writes nothing.
  MakeSource(dir / "src", Pattern(300000));
  const struct { int64_t have, read; int calls; } cases[] = {{100000, 200000, 5}, {400000, 0, 1}, {-1, 300000, 6}};
  for (const auto &c : cases) {
    unlink((dir / "dst").c_str());
    const std::string had(static_cast<size_t>(c.have < 0 ? 0 : c.have), 'd');
    if (c.have >= 0) WriteFile(dir / "dst", had);
    Counter counter;
    const auto run = Copy(dir / "dst", dir / "src", true, &counter);
    EXPECT_EQ(run.rc, QM_SUCCESS);
    EXPECT_EQ(run.copied, c.read);
    EXPECT_EQ(counter.calls, c.calls);
    EXPECT_EQ(ReadFile(dir / "dst"), had);
    EXPECT_TRUE(HasSourceAttributes(dir / "dst")) << c.have;
  }
}

TEST(FileCopy, CallbackEndsTheCopyBeforeTheStartOrAfterABlock) {
  TempDir dir;
  MakeSource(dir / "src", Pattern(200000));
  Counter before{0, 1, QM_ERR_ABORT};
  auto run = Copy(dir / "dst", dir / "src", false, &before);
  EXPECT_EQ(run.rc, QM_ERR_ABORT);
  EXPECT_EQ(run.msg, "untouched");
  EXPECT_NE(access((dir / "dst").c_str(), F_OK), 0);
  Counter afterFirst{0, 2, QM_ERR_ABORT};
  run = Copy(dir / "dst", dir / "src", false, &afterFirst);
  EXPECT_EQ(run.rc, QM_ERR_ABORT);
  EXPECT_EQ(run.copied, 65536);
  EXPECT_EQ(ReadFile(dir / "dst"), Pattern(65536));
  EXPECT_TRUE(HasSourceAttributes(dir / "dst"));
}

TEST(FileCopy, FailuresGiveTheirCodesAndTexts) {
  TempDir dir;
  MakeSource(dir / "src", "data");
  MakeDir(dir / "adir");
  const struct { std::string dst, src; int32_t rc; std::string msg; } cases[] = {
      {dir / "dst", dir / "missing", QM_ERR_SRCFNF, "$T(FailedToOpenSrc) [" + dir / "missing" + "] " + strerror(ENOENT)},
      {"", dir / "src", QM_ERR_DSTFILE, std::string("$T(FailedToOpenDst) [] ") + strerror(ENOENT)},
      {dir / "adir", dir / "src", QM_ERR_DSTFILE, "$T(FailedToOpenDst) [" + dir / "adir" + "] " + strerror(EISDIR)},
      {dir / "dst", dir / "adir", QM_ERR_IOERR, ""}};  // a directory opens but cannot be read
  for (const auto &c : cases) {
    const auto run = Copy(c.dst, c.src, false);
    EXPECT_EQ(run.rc, c.rc) << c.dst << " <- " << c.src;
    EXPECT_EQ(run.msg, c.msg);
    EXPECT_EQ(run.copied, 0);
  }
}

TEST(FileMkdirs, MakesTheChainWithTheModelsAttributesLevelByLevel) {
  TempDir dir;
  MakeDir(dir / "d/p/q", 0750);
  ASSERT_EQ(chmod((dir / "d/p").c_str(), 0711), 0);
  ASSERT_EQ(chown((dir / "d/p").c_str(), 65534, 65534), 0);
  MakeDir(dir / "b");
  std::string dest = dir / "b/x/y";
  std::string model = dir / "d/p/q";
  EXPECT_EQ(qmfile_mkdirs(dest.data(), model.data()), QM_SUCCESS);
  EXPECT_EQ(dest + model, dir / "b/x/y" + dir / "d/p/q");
  EXPECT_EQ(StatOf(dir / "b/x").st_mode & 07777, 0711u);
  EXPECT_EQ(StatOf(dir / "b/x").st_uid, 65534u);
  EXPECT_EQ(StatOf(dir / "b/x/y").st_mode & 07777, 0750u);
  EXPECT_EQ(StatOf(dir / "b/x/y").st_uid, 0u);
  std::string bare = "rtk-no-such-relative-dir";
  EXPECT_EQ(qmfile_mkdirs(bare.data(), model.data()), QM_ERR_NOENT);
  // A '/' after ':' at the end cannot be cut off: the chain stops there instead of looping.
  std::string colon = dir / "q:/";
  EXPECT_EQ(qmfile_mkdirs(colon.data(), model.data()), QM_SUCCESS);
  EXPECT_TRUE(S_ISDIR(StatOf(dir / "q:").st_mode));
  // The copy makes a missing destination directory once, modelled on the source's.
  MakeSource(dir / "d/p/q/src", "data");
  EXPECT_EQ(Copy(dir / "to/deeper/dst", dir / "d/p/q/src", true).rc, QM_ERR_DSTFILE);
  EXPECT_EQ(Copy(dir / "to/deeper/dst", dir / "d/p/q/src", false).rc, QM_SUCCESS);
  EXPECT_EQ(StatOf(dir / "to/deeper").st_mode & 07777, 0750u);
  EXPECT_EQ(StatOf(dir / "to").st_uid, 65534u);
}

TEST(FileDiff, SameBytesOnlyWhenBothFilesOpen) {
  TempDir dir;
  const std::string data = Pattern(10000);
  std::string changed = data;
  changed[9000] ^= 1;
  const struct { std::string a, b; int32_t rc; } cases[] = {
      {"", "", QM_SUCCESS}, {data.substr(0, 4096), data.substr(0, 4096), QM_SUCCESS},
      {data, changed, QM_ERR_BADFILE}, {data, data + "x", QM_ERR_BADFILE}, {data + "x", data, QM_ERR_BADFILE}};
  for (const auto &c : cases) {
    WriteFile(dir / "a", c.a);
    WriteFile(dir / "b", c.b);
    EXPECT_EQ(qmfile_diff((dir / "a").c_str(), (dir / "b").c_str()), c.rc) << c.a.size() << " " << c.b.size();
  }
  EXPECT_EQ(qmfile_diff((dir / "a").c_str(), (dir / "missing").c_str()), QM_ERR_BADFILE);
}

TEST(FileOverlap, SharedTailAtWholeComponents) {
  const struct { const char *src, *dst; size_t at; } cases[] = {
      {"/a/b/f", "/x/a/b/f", 0}, {"/data/a/b/file.txt", "/backup/x/a/b/file.txt", 5},
      {"/xa/b/f", "/ya/b/f", 3},  // "xa" and "ya" share only part of a component
      {"/f", "/x/f", 0}, {"f", "/x/f", 1}, {"/a/f", "g", 4}};  // at the end: the empty text
  for (const auto &c : cases) {
    const char *tail = qmfile_findOverlap(c.src, c.dst);
    if (c.at == std::strlen(c.src)) {
      EXPECT_STREQ(tail, "") << c.src;
    } else {
      EXPECT_EQ(tail, c.src + c.at) << c.src;  // a position inside src, not a copy
    }
  }
}

}  // namespace
