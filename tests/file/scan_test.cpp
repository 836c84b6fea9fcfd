// Directory scans and their order, counting, tree walks and removals.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "filetest.h"
#include "qmerror.h"
#include "qmmem.h"

namespace {

using namespace filetest;

// Scans dir; answers the result and the listed names with baseLen and gen.
int32_t ScanOf(const std::string &dir, std::vector<std::string> *names, std::vector<std::pair<int32_t, int64_t>> *gens = nullptr) {
  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0, dirs = 0;
  const int32_t rc = qmfile_ScanDir(dir.c_str(), &list, &files, &dirs);
  for (uint32_t i = 0; i < files + dirs; ++i) {
    names->push_back((list[i].attrs.kind == PF_KIND_DIRECTORY ? "d:" : "") + std::string(list[i].name));
    if (gens != nullptr) gens->emplace_back(list[i].baseLen, list[i].gen);
  }
  MEM_free(list);
  return rc;
}

TEST(FileScan, ListsFilesThenDirectoriesInTheProductsOrder) {
  TempDir dir;
  for (const char *f : {"report.txt-QM2.txt", "Alpha", "report.txt-QM10.txt", "b", "C-QM3", "c-QM1"}) WriteFile(dir / f, "");
  for (const char *d : {"beta", "Abc", "abc2"}) MakeDir(dir / d);
  ASSERT_EQ(symlink((dir / "beta").c_str(), (dir / "link-to-dir").c_str()), 0);  // kind 2: left out
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  std::vector<std::string> names;
  EXPECT_EQ(ScanOf(dir.path(), &names), QM_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "b", "C-QM3", "c-QM1", "report.txt-QM10.txt",
                                             "report.txt-QM2.txt", "d:Abc", "d:abc2", "d:beta"}));
  MakeDir(dir / "one");
  WriteFile(dir / "one/report-QM7", "x");
  std::vector<std::pair<int32_t, int64_t>> gens;
  names.clear();
  EXPECT_EQ(ScanOf(dir / "one", &names, &gens), QM_SUCCESS);
  EXPECT_EQ(gens, (std::vector<std::pair<int32_t, int64_t>>{{6, 7}}));  // a lone file gets its generation read
  // Empty, missing, and only an entry whose status fails (read last: its failure is the result).
  MakeDir(dir / "empty");
  MakeDir(dir / "dangling");
  ASSERT_EQ(symlink("nowhere", (dir / "dangling/link").c_str()), 0);
  names.clear();
  EXPECT_EQ(ScanOf(dir / "empty", &names), QM_SUCCESS);
  EXPECT_EQ(ScanOf(dir / "missing", &names), QM_ERR_NOENT);
  EXPECT_EQ(ScanOf(dir / "dangling", &names), QM_ERR_NOENT);
  EXPECT_TRUE(names.empty());
  for (const auto &[max, count] : {std::pair{2, 2}, {0, 0}, {-3, 0}, {100, 14}})
    EXPECT_EQ(qmfile_CountItemsInDir(dir.path().c_str(), max), count) << max;
  EXPECT_EQ(qmfile_CountItemsInDir((dir / "missing").c_str(), 10), 0);
}

// Records what a walk offers (path below the top, kind) and answers `code`
// for the path that ends in `at`.
struct Recorder {
  std::string top, at;
  int32_t code = QM_SUCCESS;
  std::vector<std::string> seen;
  static int32_t Offer(const char *path, uint64_t context, const PF_Attrs *attrs) {
    auto *r = reinterpret_cast<Recorder *>(context);
    const std::string p = path;
    r->seen.push_back(p.substr(r->top.size()) + (attrs->kind == PF_KIND_OTHER ? "@" : ""));
    const bool hit = !r->at.empty() && p.size() >= r->at.size() && p.compare(p.size() - r->at.size(), r->at.size(), r->at) == 0;
    return hit ? r->code : QM_SUCCESS;
  }
  int32_t Walk() { return qmfile_treeWalk(top.c_str(), Offer, reinterpret_cast<uint64_t>(this)); }
};

TEST(FileWalk, OffersDepthFirstPreOrderAndObeysTheCallback) {
  TempDir dir;
  const std::string t = dir / "t";
  MakeDir(t + "/sub");
  MakeDir(t + "/sub2");
  for (const char *f : {"/b", "/a", "/sub/g", "/sub2/h", "/sub2/i"}) WriteFile(t + f, "x");
  ASSERT_EQ(symlink((t + "/sub").c_str(), (t + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((t + "/a").c_str(), (t + "/filelink").c_str()), 0);
  using Paths = std::vector<std::string>;
  const struct { std::string top, at; int32_t code, rc; Paths seen; } cases[] = {
      {t, "", 0, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h", "/sub2/i"}},
      {t, "/sub", QM_INFO_EXCLUDED, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub2", "/sub2/h", "/sub2/i"}},
      {t, "/a", QM_INFO_EXCLUDED, QM_SUCCESS, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h", "/sub2/i"}},
      {t, "/filelink", QM_ERR_BADFILE, QM_ERR_BADFILE, {"", "/a", "/b", "/filelink"}},  // the third file
      {t, "/sub2/h", QM_ERR_ABORT, QM_ERR_ABORT, {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h"}},
      {t + "/a", "", 0, QM_SUCCESS, {""}},
      {t + "/missing", "", 0, QM_SUCCESS, {}},
      {t + "/dirlink", "", 0, QM_SUCCESS, {"@", "/g"}}};  // a linked top is offered as kind 2 and entered
  for (const auto &c : cases) {
    Recorder r{c.top, c.at, c.code, {}};
    EXPECT_EQ(r.Walk(), c.rc) << c.top << " " << c.at;
    EXPECT_EQ(r.seen, c.seen) << c.top << " " << c.at;
  }
}

TEST(FileWalk, NeverOffersACutPathAndReportsWhatWasLeftOut) {
  TempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 1900) deep += "/" + std::string(200, 'd');
  const std::string fits = "/" + std::string(2047 - deep.size() - 1, 'f');  // 2,047 bytes in all
  MakeDir(deep + fits.substr(0, fits.size() - 1) + "hh");  // a directory and a file one byte too long
  WriteFile(deep + fits + "g", "x");
  WriteFile(deep + fits, "x");
  Recorder r{dir.path(), "", QM_SUCCESS, {}};
  EXPECT_EQ(r.Walk(), QM_ERR_IVLENGTH);
  ASSERT_GE(r.seen.size(), 2u);  // the deepest directory, the one file that fits, nothing cut
  EXPECT_EQ(dir.path() + r.seen[r.seen.size() - 2], deep);
  EXPECT_EQ(dir.path() + r.seen.back(), deep + fits);
}

TEST(FileRemove, AttemptRmdirClimbsWhileEmptyUpToStopAt) {
  TempDir dir;
  MakeDir(dir / "r/a/b");
  WriteFile(dir / "r/keep", "");
  for (const char *stopAt : {"r", static_cast<const char *>(nullptr)}) {
    MakeDir(dir / "r/a/b");
    std::string path = dir / "r/a/b/f";
    EXPECT_EQ(qmfile_AttemptRmdir(path.data(), stopAt != nullptr ? (dir / stopAt).c_str() : nullptr), QM_SUCCESS);
    EXPECT_EQ(path, dir / "r/a/b/f");
    EXPECT_NE(access((dir / "r/a").c_str(), F_OK), 0);
    EXPECT_EQ(access((dir / "r/keep").c_str(), F_OK), 0);  // r is not empty: the climb ends there
  }
}

TEST(FileRemove, RemovesExactlyTheNamedTreeWhateverItsName) {
  TempDir dir;
  WriteFile(dir / "precious", "x");
  for (const char *name : {"a b", "x;touch CANARY", "$(touch CANARY)", "`touch CANARY`", "-rf", "new\nline", "q\"u'o", "*"}) {
    const std::string top = dir / name;
    MakeDir(top + "/sub/deeper");
    WriteFile(top + "/sub/file", "x");
    ASSERT_EQ(symlink((dir / "precious").c_str(), (top + "/link").c_str()), 0);
    EXPECT_EQ(qmfile_rmdirTree(top.c_str()), QM_SUCCESS) << name;
    EXPECT_NE(access(top.c_str(), F_OK), 0) << name;
  }
  EXPECT_EQ(access((dir / "precious").c_str(), F_OK), 0);
  EXPECT_NE(access((dir / "CANARY").c_str(), F_OK), 0);
  EXPECT_NE(access("CANARY", F_OK), 0);
  MakeDir(dir / "empty");
  EXPECT_EQ(qmfile_rmdirTree((dir / "empty").c_str()), QM_SUCCESS);
  EXPECT_NE(access((dir / "empty").c_str(), F_OK), 0);
  EXPECT_EQ(qmfile_rmdirTree((dir / "missing").c_str()), QM_SUCCESS);
}

TEST(FileRemove, RefusesTheRootDirectoryUnderAnyName) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to try it inside a chroot";
  TempDir dir;  // the child's root: a removal that went ahead would empty only this
  MakeDir(dir / "tmp");
  WriteFile(dir / "keep", "x");
  const pid_t pid = fork();
  if (pid == 0) {
    bool refused = chroot(dir.path().c_str()) == 0 && chdir("/") == 0;
    for (const char *root : {"/", "//", "/tmp/..", "/."}) refused = refused && qmfile_rmdirTree(root) == QM_ERR_SYSERR;
    _exit(refused && access("/keep", F_OK) == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(access((dir / "keep").c_str(), F_OK), 0);
}

}  // namespace
