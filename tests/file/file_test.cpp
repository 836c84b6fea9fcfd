// The file utilities on real files, directories and file systems: the replication
// copy, directory chains, comparison, paths, small-file reads, scans, walks and
// removals, and real faults (a full file system, failing reads and writes,
// missing permissions, mounts below a walked tree, a very large directory).
#include <grp.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>

#include "qmerror.h"
#include "qmfile.h"
#include "qmmem.h"
#include "rtktest.h"

namespace {

// Every test leaves no descriptor open: the utilities close what they open,
// on success and on failure.
[[maybe_unused]] const bool kDescriptorsChecked = rtktest::CheckDescriptorsAroundEachTest();

using namespace rtktest;  // NOLINT(google-build-using-namespace): the tests' own helpers
using Names = std::vector<std::string>;

// Permissions, owner and modification time of path, as "750 0 1200000000".
std::string Attrs(const std::string &path) {
  struct stat st {};
  char text[64] = "";
  if (stat(path.c_str(), &st) == 0) std::snprintf(text, sizeof text, "%o %u %lld", st.st_mode & 07777, st.st_uid, (long long)st.st_mtime);
  return text;
}

// n bytes of a varied, deterministic pattern without line structure.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(1 + (i * 7 + i / 251) % 250);
  return s;
}

// A copy through writable copies of both paths, which must come back
// unchanged; the callback counts its calls and ends the copy at call failAt.
struct Copy {
  int failAt = -1, calls = 0;  // -1: no callback
  int64_t copied = -1;
  char msg[256] = "untouched";
  static int32_t Call(uint64_t self) { auto *c = reinterpret_cast<Copy *>(self); return ++c->calls == c->failAt ? QM_ERR_ABORT : 0; }
  int32_t Run(const std::string &dst, const std::string &src, bool catchup = false) {
    std::string d = dst, s = src;
    const int32_t rc = PF_CopyFile(d.data(), s.data(), catchup, 0, failAt >= 0 ? Call : nullptr,
                                   reinterpret_cast<uint64_t>(this), msg, sizeof msg, &copied);
    EXPECT_EQ(d + s, dst + src);
    return rc;
  }
};

// Records what a walk offers (path below the top, "@" for kind 2) and answers
// `code` for the path that ends in `at`.
struct Recorder {
  std::string top, at;
  int32_t code = QM_SUCCESS;
  Names seen;
  static int32_t Offer(const char *path, uint64_t context, const PF_Attrs *attrs) {
    auto *r = reinterpret_cast<Recorder *>(context);
    r->seen.push_back(std::string(path).substr(r->top.size()) + (attrs->kind == PF_KIND_OTHER ? "@" : ""));
    return !r->at.empty() && std::string(path).ends_with(r->at) ? r->code : QM_SUCCESS;
  }
  int32_t Walk() { return qmfile_treeWalk(top.c_str(), Offer, reinterpret_cast<uint64_t>(this)); }
};

// A scratch directory; Sh runs a shell script in it, MakeSource makes "src"
// with permissions 0640 and modification time 1,200,000,000.
struct FileTest : ::testing::Test {
  TempDir dir;
  void SetUp() override { qmmem_setDbg(1); }  // every heap block checked
  void Sh(const std::string &script, const std::string &arg = "") {
    ASSERT_EQ(RunCommand({"sh", "-ec", "cd \"$0\"; " + script, dir.path(), arg}), 0) << script;
  }
  void MakeSource(const std::string &data) { WriteFile(dir / "src", data, 0640); Sh("touch -m -d @1200000000 src"); }
};

TEST_F(FileTest, CopyOrCatchUpBlockByBlockUntilTheCallbackEndsIt) {
  // The callback runs before the start and after each 64 KiB block; failAt ends the copy there.
  // The destination holds `had` bytes first: the copy truncates them, the catch-up only reads what they lack.
  const struct { size_t size; bool catchup; int had, failAt; int32_t rc; int64_t copied; int calls; } cases[] = {
      {0, false, 300000, 0, QM_SUCCESS, 0, 1},           {1, false, 300000, 0, QM_SUCCESS, 1, 2},
      {65536, false, 300000, 0, QM_SUCCESS, 65536, 2},   {200000, false, 300000, 0, QM_SUCCESS, 200000, 5},
      {200000, false, -1, 2, QM_ERR_ABORT, 65536, 2},    {200000, false, -1, 1, QM_ERR_ABORT, 0, 1},
      {300000, true, 100000, 0, QM_SUCCESS, 200000, 5},  {300000, true, 400000, 0, QM_SUCCESS, 0, 1},
      {300000, true, -1, 0, QM_SUCCESS, 300000, 6}};
  for (const auto &c : cases) {
    MakeSource(Pattern(c.size));
    unlink((dir / "dst").c_str());
    if (c.had >= 0) WriteFile(dir / "dst", std::string(c.had, 'd'));
    Copy copy{c.failAt};
    // Ended before the start: nothing is said and the destination is not even made.
    EXPECT_EQ((std::tuple{copy.Run(dir / "dst", dir / "src", c.catchup), copy.calls, copy.copied, std::string(copy.msg),
                          Exists(dir / "dst") ? Attrs(dir / "dst") : ""}), std::tuple(c.rc, c.calls, c.copied, std::string(c.failAt == 1 ? "untouched" : ""),
              c.failAt == 1 ? "" : "640 " + std::to_string(getuid()) + " 1200000000")) << c.size << c.catchup << c.had;
    EXPECT_TRUE(ReadFile(dir / "dst") == (c.catchup ? std::string(std::max(c.had, 0), 'd') : Pattern(c.copied))) << c.size << c.catchup << c.had;
  }
}

// A failed open leaves an existing destination ("dst") as it was. Reading
// the process's own memory at address 0 fails with EIO, a write beyond the
// file-size limit with EFBIG; a child without root's rights (dropped to
// nobody when it has them) meets permission errors.
TEST_F(FileTest, CopyFailuresGiveTheirCodesAndTexts) {
  MakeSource(Pattern(200000));
  Sh("mkdir adir locked; printf keep >dst; chmod 600 dst; touch secret; chmod 0 secret; chmod 555 locked; chmod 777 adir; chmod 644 src");
  const std::string open = "$T(FailedToOpenSrc) [", create = "$T(FailedToOpenDst) [";
  const struct { std::string dst, src; int32_t rc; std::string msg; } cases[] = {
      {dir / "dst", dir / "missing", QM_ERR_SRCFNF, open + dir / "missing" + "] " + strerror(ENOENT)},
      {"", dir / "src", QM_ERR_DSTFILE, create + "] " + strerror(ENOENT)},
      {dir / "adir", dir / "src", QM_ERR_DSTFILE, create + dir / "adir" + "] " + strerror(EISDIR)},
      {dir / "dst", dir / "adir", QM_ERR_SRCFILE, open + dir / "adir" + "] " + strerror(EISDIR)},
      {dir / "mem", "/proc/self/mem", QM_ERR_RESTARTABLE, ""}};
  for (const auto &c : cases) {
    Copy copy;
    EXPECT_EQ((std::tuple{copy.Run(c.dst, c.src), copy.msg + std::to_string(copy.copied)}), std::tuple(c.rc, c.msg + "0")) << c.dst << c.src;
    EXPECT_EQ(ReadFile(dir / "dst") + Attrs(dir / "dst").substr(0, 3), "keep600");
  }
  EXPECT_EQ(InChild([&] {
              const struct rlimit limit = {100000, 100000};
              Copy big, secret, locked;
              if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) return 9;
              return (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0 ? 8 : 0) +
                     (big.Run(dir / "adir/big", dir / "src") != QM_ERR_IOERR || big.copied != 65536 ||
                      big.msg != "errno:" + std::to_string(EFBIG)) + 2 * (secret.Run(dir / "adir/c", dir / "secret") != QM_ERR_SRCEPERM) +
                     4 * (locked.Run(dir / "locked/c", dir / "src") != QM_ERR_DSTEPERM); }), 0);  // 1: IOERR, 2: SRCEPERM, 4: DSTEPERM
}

// Each new level takes the attributes of the model at its depth; a parent
// cut after ':' keeps its '/', and a drive root ("c:/") is never made.
TEST_F(FileTest, MkdirsMakesTheChainWithTheModelsAttributesLevelByLevel) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the model directories another owner";
  Sh("mkdir -p b d/p/q/r m:/p fresh; chmod 700 d/p/q/r m:; chmod 750 d/p/q; chmod 711 d/p m:/p; chown 65534 d/p;"
     "echo data >d/p/q/src");
  std::string dest = dir / "b/x/y/z", model = dir / "d/p/q/r", bare = "rtk-none", colon = dir / "q:/", drive = "c:/x",
              driveModel = "m:/p";
  // "q:/" is a top that cannot be cut further; drive roots are relative paths here. The copy makes a
  // missing destination directory once, modelled on the source's (not in catch-up mode).
  EXPECT_EQ(std::vector<int32_t>({qmfile_mkdirs(dest.data(), model.data()), qmfile_mkdirs(bare.data(), model.data()),
                                  qmfile_mkdirs(colon.data(), model.data()), chdir(dir.path().c_str()),
                                  qmfile_mkdirs(drive.data(), driveModel.data()), chdir("/"),
                                  Copy().Run(dir / "to/deeper/dst", dir / "d/p/q/src", true), Copy().Run(dir / "to/deeper/dst", dir / "d/p/q/src")}),
            std::vector<int32_t>({0, QM_ERR_NOENT, 0, 0, 0, 0, QM_ERR_DSTFILE, 0}));
  EXPECT_EQ(dest + model, dir / "b/x/y/z" + dir / "d/p/q/r");
  for (const auto &[made, attrs] : std::vector<std::pair<std::string, std::string>>{
           {"b/x", "711 65534"}, {"b/x/y", "750 0"}, {"b/x/y/z", "700 0"}, {"q:", "700 0"}, {"c:/x", "711 0"}, {"to", "711 65534"},
           {"to/deeper", "750 0"}, {"c:", Attrs(dir / "fresh").substr(0, 5)}})  // "c:" as mkdir -p makes a parent
    EXPECT_EQ(Attrs(dir / made).substr(0, attrs.size() + 1), attrs + " ") << made;
}

TEST_F(FileTest, DiffInsertOverlapAndJoin) {
  const std::string data = Pattern(10000), changed = Pattern(9000) + "?" + Pattern(10000).substr(9001);
  const struct { std::string a, b; int32_t rc; const char *other = "b"; } diffs[] = {
      {"", "", QM_SUCCESS}, {data.substr(0, 4096), data.substr(0, 4096), QM_SUCCESS}, {data, changed, QM_ERR_BADFILE},
      {data, data + "x", QM_ERR_BADFILE}, {data + "x", data, QM_ERR_BADFILE}, {"", "", QM_ERR_BADFILE, "missing"}};
  for (const auto &c : diffs) {
    WriteFile(dir / "a", c.a);
    WriteFile(dir / "b", c.b);
    EXPECT_EQ(qmfile_diff((dir / "a").c_str(), (dir / c.other).c_str()), c.rc) << c.a.size() << " " << c.b.size() << c.other;
  }
  // A pipe delivers its bytes in two short reads.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  WriteFile(dir / "b", "abcd");
  const pid_t writer = Fork();
  if (writer == 0) execlp("sh", "sh", "-c", "exec >\"$0\"; printf ab; sleep 0.2; printf cd", (dir / "fifo").c_str(), nullptr), _exit(1);
  EXPECT_EQ((std::tuple{qmfile_diff((dir / "fifo").c_str(), (dir / "b").c_str()), WaitForExit(writer)}), std::tuple(QM_SUCCESS, 0));
  WriteFile(dir / "b", "0123456789");
  const struct { std::string path; int32_t size, rc; const char *text; } inserts[] = {
      {"b", 11, QM_SUCCESS, "0123456789"}, {"b", 8, QM_SUCCESS, "0123456"}, {"b", 1, QM_SUCCESS, ""},
      {"b", 0, QM_ERR_BADPARAM, nullptr}, {"missing", 64, QM_ERR_NOENT, nullptr}, {"b/x", 64, QM_ERR_BADFILE, nullptr},
      {".", 64, QM_ERR_IOERR, nullptr}};  // a directory opens but cannot be read
  for (const auto &c : inserts) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    EXPECT_EQ((std::tuple{qmf_insertFile((dir / c.path).c_str(), buf.data(), c.size), std::string(c.text != nullptr ? buf.data() : "-"),
                          buf.Intact()}), std::tuple(c.rc, c.text != nullptr ? c.text : "-", true)) << c.path << " " << c.size;
  }
  for (int err : {EIO, 0, ENOENT, EACCES, ENOSPC}) EXPECT_EQ(qmfile_restartable(err, nullptr), err == EIO) << err;
  // The shared tail is a position inside src, not a copy; "xa" and "ya" share only part of a component.
  const struct { const char *src, *dst; size_t at; } overlaps[] = {
      {"/a/b/f", "/x/a/b/f", 0}, {"/data/a/b/file.txt", "/backup/x/a/b/file.txt", 5}, {"/xa/b/f", "/ya/b/f", 3},
      {"/f", "/x/f", 0}, {"f", "/x/f", 1}, {"/a/f", "g", 4}};  // at the end: the empty text
  for (const auto &c : overlaps)
    EXPECT_TRUE(c.at == std::strlen(c.src) ? *qmfile_findOverlap(c.src, c.dst) == '\0' : qmfile_findOverlap(c.src, c.dst) == c.src + c.at) << c.src;
}

std::string Tail(const std::string &path, int32_t n, int32_t *rc, int32_t outSize, int64_t newestFirst = 0) {
  rtktest::GuardedBuffer out(static_cast<size_t>(outSize));
  *rc = qmf_tailFile(path.c_str(), n, out.data(), outSize, newestFirst);
  EXPECT_TRUE(out.Intact()) << "n=" << n << " size=" << outSize;
  return outSize > 0 ? out.data() : "";
}

TEST_F(FileTest, TailGivesTheLastLinesInEitherOrderAndCountCountsThem) {
  // Empty lines are not counted, carriage returns become blanks. 1,000
  // lines behave as 500: of 600 lines of 300 bytes, only the last 128,000
  // bytes are looked at, and the oldest line shown is cut at its start.
  std::string big;
  for (int i = 0; i < 600; ++i) big += std::to_string(100000 + i) + std::string(293, 'x') + "\n";
  WriteFile(dir / "big", big);
  const struct { const char *content; int32_t n; int64_t newest; std::string path, lines; int32_t rc; } cases[] = {
      {"a\nb\nc\nd\ne\n", 3, 0, "log", "c\nd\ne\n", 0}, {"a\nb\nc\nd\ne\n", 3, 1, "log", "e\nd\nc\n", 0},
      {"a\n\nb\n", 2, 0, "log", "a\nb\n", 0}, {"a\rb\r\nc\r\n", 5, 0, "log", "a b \nc \n", 0}, {"x\ny", 5, 1, "log", "y\nx\n", 0},
      {"", 3, 0, "log", "", 0}, {"", 0, 0, "log", "", QM_ERR_BADPARAM}, {"", 3, 0, "missing", "", QM_ERR_NOENT},
      {"", 3, 0, "log/x", std::string(QMERR_err2str(QM_ERR_BADFILE)) + " [" + dir / "log/x" + "]\n", QM_ERR_BADFILE},
      {"", 1000, 0, "big", big.substr(big.size() - 128000), 0}};
  int32_t rc = -1;
  for (const auto &c : cases) {
    WriteFile(dir / "log", c.content);
    EXPECT_EQ((std::pair{Tail(dir / c.path, c.n, &rc, 200000, c.newest), rc}), std::pair(c.lines, c.rc));
  }
  // An output buffer that fills up holds a prefix: longer than size - 128
  // bytes from 128 bytes on, filled to size - 2 bytes below that.
  const std::string all = Tail(dir / "big", 100, &rc, 30000);
  for (int32_t size : {0, 1, 2, 3, 127, 128, 1000, 20000}) {
    const std::string part = Tail(dir / "big", 100, &rc, size);
    EXPECT_TRUE(rc == (size == 0 ? QM_ERR_BADPARAM : QM_SUCCESS) && all.starts_with(part) && part.size() + 2 <= std::max<size_t>(size, 2) &&
                part.size() + (size < 128 ? 2 : 127) >= static_cast<size_t>(size)) << size << ": " << part.size();
  }
  // The count goes up to one more than max. On a large file, it counts the
  // pieces that a line reader with a 5,120-byte buffer delivers and that do
  // not start with NUL: short lines, lines around that size, pieces that
  // start with NUL, everywhere relative to the counter's read blocks.
  std::mt19937 rng(7);
  std::string large;
  int32_t pieces = 0;
  const size_t lengths[] = {5117, 5118, 5119, 5120, 12000, 0};
  while (large.size() < 2000000) {
    const size_t pick = rng() % 40, len = pick < 6 ? lengths[pick] : 1 + rng() % 97;
    const bool nul = rng() % 9 == 0, x = rng() % 5 == 0;
    large += std::string(len, nul ? '\0' : 'l') + (x ? "x\n" : "\n");
    pieces += static_cast<int32_t>((len + x) / 5119 + 1 - (nul ? (len + 5118) / 5119 : 0));
  }
  const std::string five = "1\n2\n3\n4\n5\n";
  const struct { std::string content; int32_t max, count; } counts[] = {
      {five, 0, 5}, {five, 10, 5}, {five, 2, 3}, {five, -1, 5}, {"a\nb", 0, 2}, {"", 0, 0},
      {large, 0, pieces}, {large, pieces - 1, pieces}, {large, 1000, 1001}};
  for (const auto &c : counts) {
    WriteFile(dir / "f", c.content);
    EXPECT_EQ(qmfile_getCount((dir / "f").c_str(), c.max), c.count) << c.content.size() << " max " << c.max;
  }
  EXPECT_EQ(qmfile_getCount((dir / "missing").c_str(), 0) + qmfile_getCount(dir.path().c_str(), 0), 0);
}

// Scans dir; answers the result and the listed names ("d:" for a directory),
// each followed by its baseLen and gen.
int32_t ScanOf(const std::string &dir, Names *names) {
  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0, dirs = 0;
  const int32_t rc = qmfile_ScanDir(dir.c_str(), &list, &files, &dirs);
  for (uint32_t i = 0; i < files + dirs; ++i) {
    EXPECT_EQ(list[i].attrs.kind, i < files ? PF_KIND_FILE : PF_KIND_DIRECTORY) << list[i].name;
    names->push_back((i < files ? "" : "d:") + std::string(list[i].name) + " " + std::to_string(list[i].baseLen) + " " +
                     std::to_string(list[i].gen));
  }
  MEM_free(list);
  EXPECT_EQ(qmmem_check(), 0) << "the heap around the list is intact";
  return rc;
}

// Links to directories and pipes (kind 2) are left out. Entries that a
// comparison within their group never looked at keep baseLen and gen 0; a
// lone file gets its generation read all the same. Equal generations of one
// name compare equal: the sort leaves the two in the reverse of the order in
// which the directory gives them.
TEST_F(FileTest, ScanListsFilesThenDirectoriesInTheProductsOrderUpToTheLimit) {
  Sh("mkdir -p all/beta all/Abc all/abc2 one two/d-QM4 empty dangling same; mkfifo all/pipe; ln -s beta all/link;"
     "cd all; touch report.txt-QM2.txt Alpha report.txt-QM10.txt b C-QM3 c-QM1; cd ..; touch one/report-QM7 two/f;"
     "ln -s nowhere dangling/link; touch same/v-QM1 same/V-QM1; ls -f same | grep QM >order; mkdir gens; cd gens;"
     "touch r-QM1 r-QM2 r-QM3 r-QM9 r-QM10 r-QM11 r-QM19 r-QM20 r-QM100 r-QM7");
  const Names order = rtktest::Lines(ReadFile(dir / "order"));
  const struct { std::string dir; int32_t rc; Names listed; } cases[] = {
      {"all", QM_SUCCESS, {"Alpha 5 0", "b 1 0", "C-QM3 1 3", "c-QM1 1 1", "report.txt-QM10.txt 10 10",
                           "report.txt-QM2.txt 10 2", "d:Abc 3 0", "d:abc2 4 0", "d:beta 4 0"}},
      {"one", QM_SUCCESS, {"report-QM7 6 7"}}, {"two", QM_SUCCESS, {"f 1 0", "d:d-QM4 0 0"}},
      {"empty", QM_SUCCESS, {}}, {"missing", QM_ERR_NOENT, {}},
      {"dangling", QM_ERR_NOENT, {}},  // only an entry whose status fails
      {"same", QM_SUCCESS, {order.at(1) + " 1 1", order.at(0) + " 1 1"}},
      {"gens", QM_SUCCESS, {"r-QM100 1 100", "r-QM20 1 20", "r-QM19 1 19", "r-QM11 1 11", "r-QM10 1 10", "r-QM9 1 9",
                            "r-QM7 1 7", "r-QM3 1 3", "r-QM2 1 2", "r-QM1 1 1"}}};
  for (const auto &c : cases) {
    Names names;
    EXPECT_EQ((std::tuple{ScanOf(dir / c.dir, &names), names}), std::tuple(c.rc, c.listed)) << c.dir;
  }
  for (const auto &[sub, max, count] : {std::tuple{"all", 2, 2}, {"all", 0, 0}, {"all", -3, 0}, {"all", 100, 11}, {"missing", 10, 0}})
    EXPECT_EQ(qmfile_CountItemsInDir((dir / sub).c_str(), max), count) << sub << max;
  // Of 12,000 entries 10,240 are listed, each once, sorted across many levels
  // of the scan's heap: files first, names ignoring case.
  Sh("mkdir big; cd big; seq 100000 7 182593 | sed 's/^.*[13579]$/File&/; s/^[0-9]/file&/' | xargs touch; mkdir $(seq -f dir%g 500 3 1097)");
  Names got;
  ASSERT_EQ(ScanOf(dir / "big", &got), QM_SUCCESS);
  EXPECT_EQ(std::adjacent_find(got.begin(), got.end(), [](const std::string &a, const std::string &b) {
              return a.starts_with("d:") != b.starts_with("d:") ? a.starts_with("d:") : strcasecmp(a.c_str(), b.c_str()) >= 0;
            }), got.end());
  EXPECT_EQ((std::tuple{got.size(), qmfile_CountItemsInDir((dir / "big").c_str(), 20000)}), std::tuple(10240u, 12000));
}

TEST_F(FileTest, WalkOffersDepthFirstPreOrderAndRemovalsTakeExactlyTheirTrees) {
  Sh("mkdir -p t/sub t/sub2; touch t/b t/a t/sub/g t/sub2/h t/sub2/i; ln -s sub t/dirlink; ln -s a t/filelink");
  const std::string t = dir / "t";
  const Names all = {"", "/a", "/b", "/filelink", "/sub", "/sub/g", "/sub2", "/sub2/h", "/sub2/i"};
  const struct { std::string top, at; int32_t code; Names seen; } cases[] = {
      {t, "", 0, all}, {t, "/a", QM_INFO_EXCLUDED, all}, {t, "/filelink", QM_ERR_BADFILE, Names(&all[0], &all[4])},
      {t, "/sub2/h", QM_ERR_ABORT, Names(&all[0], &all[8])}, {t, "/sub2", QM_ERR_ABORT, Names(&all[0], &all[7])},
      {t, t, QM_ERR_ABORT, {""}}, {t + "/a", "", 0, {""}}, {t + "/missing", "", 0, {}},
      {t, "/sub", QM_INFO_EXCLUDED, {"", "/a", "/b", "/filelink", "/sub", "/sub2", "/sub2/h", "/sub2/i"}},
      {t + "/dirlink", "", 0, {"@", "/g"}}};  // a linked top is offered as kind 2 and entered
  for (const auto &c : cases) {
    Recorder r{c.top, c.at, c.code, {}};
    EXPECT_EQ((std::pair{r.Walk(), r.seen}), std::pair(c.code == QM_INFO_EXCLUDED ? 0 : c.code, c.seen)) << c.top << " " << c.at;
  }
  // Removals take exactly what they should.
  for (const char *stopAt : {"r/a", "r", static_cast<const char *>(nullptr)}) {
    Sh("mkdir -p r/a/b; touch r/keep");
    std::string path = dir / "r/a/b/f";
    EXPECT_EQ((std::tuple{qmfile_AttemptRmdir(path.data(), stopAt != nullptr ? (dir / stopAt).c_str() : nullptr), path, Exists(dir / "r/a"),
                          Exists(dir / "r/keep")}),  // r is not empty: the climb ends there
              std::tuple(0, dir / "r/a/b/f", std::string(stopAt != nullptr ? stopAt : "") == "r/a", true));
  }
  WriteFile(dir / "precious", "x");
  for (std::string name : {"a b", "x;touch CANARY", "$(touch CANARY)", "`touch CANARY`", "-rf", "new\nline", "q\"u'o", "*",
                           "empty", "missing"}) {
    Sh("case \"$1\" in missing) ;; empty) mkdir empty ;; *) mkdir -p \"./$1/sub\"; ln -s \"$PWD/precious\" \"./$1/sub/link\" ;; esac", name);
    EXPECT_EQ((std::tuple{qmfile_rmdirTree((dir / name).c_str()), Exists(dir / name)}), std::tuple(QM_SUCCESS, false)) << name;
  }
  EXPECT_TRUE(Exists(dir / "precious") && !Exists(dir / "CANARY") && !Exists("CANARY"));
}

// A full file system keeps the whole blocks written before the failing one
// and gets the attributes all the same; a walk enters a mount below its top
// but offers no link onto another file system; a removal stops at a mount.
TEST_F(FileTest, FullFileSystemAndMountsBelowATree) {
  RTK_REQUIRE_PRIVATE_MOUNT_NS();
  Sh("mkdir -p small t/mnt other; mount -t tmpfs -o size=256k rtktest small; for d in t/mnt other; do "
     "mount -t tmpfs -o size=1m rtktest $d; done; touch t/mnt/inner t/near other/far; ln -s \"$PWD/other/far\" t/farlink");
  MakeSource(Pattern(1 << 20));
  Copy copy;
  EXPECT_EQ((std::tuple{copy.Run(dir / "small/dst", dir / "src"), std::string(copy.msg), copy.copied > 0 && copy.copied % 65536 == 0,
                        Attrs(dir / "small/dst")}), std::tuple(QM_ERR_NOSPC, "errno:" + std::to_string(ENOSPC), true, std::string("640 0 1200000000")));
  const std::string t = dir / "t";
  Recorder r{t, "", 0, {}};
  EXPECT_EQ((std::pair{r.Walk(), r.seen}), std::pair(int32_t{QM_SUCCESS}, Names{"", "/near", "/mnt", "/mnt/inner"}));
  EXPECT_EQ((std::tuple{qmfile_rmdirTree(t.c_str()), Exists(t + "/mnt/inner"), Exists(t + "/near")}), std::tuple(QM_ERR_SYSERR, true, false));
  Sh("umount -l small t/mnt other");
}

}  // namespace
