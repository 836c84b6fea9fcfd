// Directory scans and their order, counting, packing, tree walks and removals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "filetest.h"
#include "qmerror.h"
#include "qmfile.h"
#include "qmmem.h"

namespace {

using filetest::MakeDir;
using filetest::TempDir;
using filetest::WriteFile;

struct Scan {
  int32_t rc;
  std::vector<std::string> names;
  uint32_t files, dirs;
  std::vector<std::pair<int32_t, int64_t>> gens;  // baseLen and gen of each entry
};

Scan ScanOf(const std::string &dir) {
  Scan s{};
  qmfile_DirEntry *list = reinterpret_cast<qmfile_DirEntry *>(1);
  s.rc = qmfile_ScanDir(dir.c_str(), &list, &s.files, &s.dirs);
  for (uint32_t i = 0; list != nullptr && i < s.files + s.dirs; ++i) {
    s.names.push_back(list[i].name);
    s.gens.emplace_back(list[i].baseLen, list[i].gen);
  }
  MEM_free(list);
  return s;
}

TEST(FileScan, ListsFilesThenDirectoriesInTheProductsOrder) {
  TempDir dir;
  for (const char *f : {"report.txt-QM2.txt", "Alpha", "report.txt-QM10.txt", "b", "C-QM3", "c-QM1"})
    WriteFile(dir / f, "x");
  for (const char *d : {"beta", "Abc", "abc2"}) MakeDir(dir / d);
  ASSERT_EQ(symlink((dir / "beta").c_str(), (dir / "link-to-dir").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  const Scan s = ScanOf(dir.path());
  EXPECT_EQ(s.rc, QM_SUCCESS);
  EXPECT_EQ(s.files, 6u);
  EXPECT_EQ(s.dirs, 3u);
  const std::vector<std::string> order = {"Alpha", "b", "C-QM3", "c-QM1", "report.txt-QM10.txt",
                                          "report.txt-QM2.txt", "Abc", "abc2", "beta"};
  EXPECT_EQ(s.names, order);
}

TEST(FileScan, EmptyMissingAndSingleFileDirectories) {
  TempDir dir;
  MakeDir(dir / "empty");
  Scan s = ScanOf(dir / "empty");
  EXPECT_EQ(s.rc, QM_SUCCESS);
  EXPECT_EQ(ScanOf(dir / "missing").rc, QM_ERR_NOENT);
  MakeDir(dir / "one");
  WriteFile(dir / "one/report-QM7", "x");
  s = ScanOf(dir / "one");
  ASSERT_EQ(s.names.size(), 1u);
  EXPECT_EQ(s.gens[0], std::make_pair(int32_t{6}, int64_t{7}));
  // An entry whose status fails, read last, gives that failure; nothing is listed.
  MakeDir(dir / "dangling");
  ASSERT_EQ(symlink("nowhere", (dir / "dangling/link").c_str()), 0);
  s = ScanOf(dir / "dangling");
  EXPECT_EQ(s.rc, QM_ERR_NOENT);
  EXPECT_EQ(s.files + s.dirs, 0u);
}

TEST(FileCount, CountsEntriesUpToMax) {
  TempDir dir;
  for (const char *f : {"1", "2", "3", "4", "5"}) WriteFile(dir / f, "");
  const std::pair<int32_t, int32_t> cases[] = {{2, 2}, {0, 0}, {-3, 0}, {5, 5}, {100, 5}};
  for (const auto &[max, count] : cases) EXPECT_EQ(qmfile_CountItemsInDir(dir.path().c_str(), max), count) << max;
  EXPECT_EQ(qmfile_CountItemsInDir((dir / "missing").c_str(), 10), 0);
}

TEST(FilePack, PacksNamesBehindTheirPointersInOneBlock) {
  qmfile_DirEntry list[4] = {};
  const char *names[] = {"f", "dir-one", "", "d3"};
  for (int i = 0; i < 4; ++i) std::snprintf(list[i].name, sizeof list[i].name, "%s", names[i]);
  char **packed = nullptr;
  ASSERT_EQ(qmfile_PackDirs(list, 1, 3, &packed), QM_SUCCESS);
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(packed[i], names[i + 1]);
    EXPECT_EQ(reinterpret_cast<char *>(packed[i]) - reinterpret_cast<char *>(packed), 3 * 8 + (i == 0 ? 0 : i == 1 ? 8 : 9));
  }
  MEM_free(packed);
}

// Records every object a walk offers; answers `code` for the path that ends in `at`.
struct Recorder {
  std::vector<std::pair<std::string, uint32_t>> seen;
  std::string at;
  int32_t code = QM_SUCCESS;
};

int32_t Record(const char *path, uint64_t context, const PF_Attrs *attrs) {
  auto *r = reinterpret_cast<Recorder *>(context);
  r->seen.emplace_back(path, attrs->kind);
  const std::string p = path;
  return !r->at.empty() && p.size() >= r->at.size() && p.compare(p.size() - r->at.size(), r->at.size(), r->at) == 0
             ? r->code : QM_SUCCESS;
}

std::vector<std::string> Walked(const std::string &top, Recorder &r, int32_t *rc) {
  *rc = qmfile_treeWalk(top.c_str(), Record, reinterpret_cast<uint64_t>(&r));
  std::vector<std::string> paths;
  for (const auto &s : r.seen) paths.push_back(s.first.substr(top.size()));
  return paths;
}

TEST(FileWalk, OffersDepthFirstPreOrderWithFilesFirst) {
  TempDir dir;
  const std::string t = dir / "t";
  MakeDir(t + "/sub");
  MakeDir(t + "/sub2");
  for (const char *f : {"/b", "/a", "/sub/g", "/sub2/h", "/sub2/i"}) WriteFile(t + f, "x");
  ASSERT_EQ(symlink((t + "/sub").c_str(), (t + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((t + "/a").c_str(), (t + "/filelink").c_str()), 0);
  const struct { std::string at; int32_t code; int32_t rc; std::vector<std::string> paths; } cases[] = {
      {"", 0, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h", "/sub2/i"}},
      {"/sub", QM_INFO_EXCLUDED, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub2", "/sub2/h", "/sub2/i"}},
      {"/b", QM_INFO_EXCLUDED, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h", "/sub2/i"}},
      {"/filelink", QM_ERR_BADFILE, QM_ERR_BADFILE, {"", "/a", "/b", "/filelink"}},
      {"/sub2/h", QM_ERR_ABORT, QM_ERR_ABORT, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h"}},
  };
  for (const auto &c : cases) {
    Recorder r{{}, c.at, c.code};
    int32_t rc = -1;
    EXPECT_EQ(Walked(t, r, &rc), c.paths) << c.at;
    EXPECT_EQ(rc, c.rc) << c.at;
  }
  Recorder single;
  int32_t rc = -1;
  EXPECT_EQ(Walked(t + "/a", single, &rc), std::vector<std::string>{""});
  EXPECT_EQ(rc, QM_SUCCESS);
  Recorder none;
  EXPECT_TRUE(Walked(t + "/missing", none, &rc).empty());
  EXPECT_EQ(rc, QM_SUCCESS);
  Recorder viaLink;  // a top path that links to a directory is offered as kind 2 and entered
  EXPECT_EQ(Walked(t + "/dirlink", viaLink, &rc), (std::vector<std::string>{"", "/g"}));
  EXPECT_EQ(viaLink.seen[0].second, PF_KIND_OTHER);
}

TEST(FileWalk, NeverOffersACutPathAndReportsWhatWasLeftOut) {
  TempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 1900) deep += "/" + std::string(200, 'd');
  MakeDir(deep);
  const std::string fits = "/" + std::string(2047 - deep.size() - 1, 'f');  // exactly 2,047 bytes
  const std::string tooLong = fits + "g";
  WriteFile(deep + fits, "x");
  WriteFile(deep + tooLong, "x");
  MakeDir(deep + tooLong.substr(0, tooLong.size() - 2) + "dd");  // a directory that does not fit either
  Recorder r;
  int32_t rc = -1;
  const std::vector<std::string> paths = Walked(dir.path(), r, &rc);
  EXPECT_EQ(rc, QM_ERR_IVLENGTH);
  ASSERT_GE(paths.size(), 2u);  // the deepest directory, then the one file that fits, and nothing cut
  EXPECT_EQ(r.seen[r.seen.size() - 2].first, deep);
  EXPECT_EQ(r.seen.back().first, deep + fits);
  for (const auto &s : r.seen) EXPECT_EQ(access(s.first.c_str(), F_OK), 0) << s.first.size();
}

TEST(FileRemove, AttemptRmdirClimbsWhileEmptyAndStopsAtStopAt) {
  TempDir dir;
  MakeDir(dir / "r/a/b");
  WriteFile(dir / "r/keep", "");
  std::string path = dir / "r/a/b/f";
  const std::string stopAt = dir / "r";
  EXPECT_EQ(qmfile_AttemptRmdir(path.data(), stopAt.c_str()), QM_SUCCESS);
  EXPECT_EQ(path, dir / "r/a/b/f");
  EXPECT_NE(access((dir / "r/a").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir / "r/keep").c_str(), F_OK), 0);
  MakeDir(dir / "r/a/b");
  EXPECT_EQ(qmfile_AttemptRmdir(path.data(), nullptr), QM_SUCCESS);  // stops at r, which is not empty
  EXPECT_NE(access((dir / "r/a").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir / "r").c_str(), F_OK), 0);
}

TEST(FileRemove, RemovesExactlyTheNamedTreeWhateverItsName) {
  TempDir dir;
  MakeDir(dir / "outside");
  WriteFile(dir / "outside/precious", "x");
  const char *hostile[] = {"a b", "x;touch CANARY", "$(touch CANARY)", "`touch CANARY`", "-rf",
                           "new\nline", "q\"uote's", "*"};
  for (const char *name : hostile) {
    const std::string top = dir / name;
    MakeDir(top + "/sub/deeper");
    WriteFile(top + "/sub/file", "x");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (top + "/link").c_str()), 0);
    EXPECT_EQ(qmfile_rmdirTree(top.c_str()), QM_SUCCESS) << name;
    EXPECT_NE(access(top.c_str(), F_OK), 0) << name;
  }
  EXPECT_EQ(access((dir / "outside/precious").c_str(), F_OK), 0);
  EXPECT_NE(access((dir / "CANARY").c_str(), F_OK), 0);
  EXPECT_NE(access("CANARY", F_OK), 0);
  MakeDir(dir / "empty");
  EXPECT_EQ(qmfile_rmdirTree((dir / "empty").c_str()), QM_SUCCESS);
  EXPECT_EQ(qmfile_rmdirTree((dir / "missing").c_str()), QM_SUCCESS);
}

}  // namespace
