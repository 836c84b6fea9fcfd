// The file utilities on real files, directories and file systems: the replication
// copy, directory chains, comparison, paths, small-file reads, scans, walks and
// removals, and real faults (a full file system, failing reads, missing
// permissions, mounts below a walked tree, a very large directory).
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "qmerror.h"
#include "qmfile.h"
#include "qmmem.h"
#include "rtktest.h"

namespace {

// Every test leaves no descriptor open: the utilities close what they open,
// on success and on failure.
[[maybe_unused]] const bool kDescriptorsChecked = rtktest::CheckDescriptorsAroundEachTest();

using rtktest::InChild;
using rtktest::ReadFile;
using rtktest::TempDir;
using rtktest::WriteFile;

// Creates a directory (and missing parents) with the given permissions.
void MakeDir(const std::string &path, mode_t mode = 0755) {
  std::filesystem::create_directories(path);
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// n bytes of a varied, deterministic pattern without line structure.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(1 + (i * 7 + i / 251) % 250);
  return s;
}

bool MountTmpfs(const std::string &dir, const std::string &size) {
  return mount("rtktest", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

// Counts the copy's callback calls and ends the copy at call `failAt`.
struct Counter {
  int failAt = 0, calls = 0;
  static int32_t Call(uint64_t context) {
    auto *c = reinterpret_cast<Counter *>(context);
    return ++c->calls == c->failAt ? QM_ERR_ABORT : QM_SUCCESS;
  }
};

struct CopyRun {
  int32_t rc;
  int64_t copied;
  std::string msg;  // "untouched" when the copy left it alone
};

// Copies through writable copies of both paths and checks that they come back unchanged.
CopyRun Copy(const std::string &dst, const std::string &src, bool catchup, Counter *counter = nullptr) {
  std::string d = dst, s = src;
  char msg[256] = "untouched";
  CopyRun run{};
  run.rc = qmfile_CopyFile(d.data(), s.data(), catchup ? 1 : 0, 0, counter != nullptr ? Counter::Call : nullptr,
                           reinterpret_cast<uint64_t>(counter), msg, sizeof msg, &run.copied);
  EXPECT_EQ(d + s, dst + src);
  run.msg = msg;
  return run;
}

// Records what a walk offers (path below the top, "@" for kind 2) and answers
// `code` for the path that ends in `at`.
struct Recorder {
  std::string top, at;
  int32_t code = QM_SUCCESS;
  std::vector<std::string> seen;
  static int32_t Offer(const char *path, uint64_t context, const PF_Attrs *attrs) {
    auto *r = reinterpret_cast<Recorder *>(context);
    const std::string p = path;
    r->seen.push_back(p.substr(r->top.size()) + (attrs->kind == PF_KIND_OTHER ? "@" : ""));
    return !r->at.empty() && p.ends_with(r->at) ? r->code : QM_SUCCESS;
  }
  int32_t Walk() { return qmfile_treeWalk(top.c_str(), Offer, reinterpret_cast<uint64_t>(this)); }
};

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

TEST(FileCopy, CopiesOrCatchesUpBlockByBlockUntilTheCallbackEndsIt) {
  TempDir dir;
  // The callback runs before the start and after each 64 KiB block; failAt ends the copy there.
  // The destination holds `had` bytes first: the copy truncates them, the catch-up only reads what they lack.
  const struct { size_t size; bool catchup; int had, failAt; int32_t rc; int64_t copied; int calls; } cases[] = {
      {0, false, 300000, 0, QM_SUCCESS, 0, 1},           {1, false, 300000, 0, QM_SUCCESS, 1, 2},
      {65536, false, 300000, 0, QM_SUCCESS, 65536, 2},   {200000, false, 300000, 0, QM_SUCCESS, 200000, 5},
      {200000, false, -1, 2, QM_ERR_ABORT, 65536, 2},    {200000, false, -1, 1, QM_ERR_ABORT, 0, 1},
      {300000, true, 100000, 0, QM_SUCCESS, 200000, 5},  {300000, true, 400000, 0, QM_SUCCESS, 0, 1},
      {300000, true, -1, 0, QM_SUCCESS, 300000, 6}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.catchup ? " catch-up" : "") << " had " << c.had << " fail at " << c.failAt);
    MakeSource(dir / "src", Pattern(c.size));
    unlink((dir / "dst").c_str());
    if (c.had >= 0) WriteFile(dir / "dst", std::string(c.had, 'd'));
    Counter counter{c.failAt};
    const auto run = Copy(dir / "dst", dir / "src", c.catchup, &counter);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(counter.calls, c.calls);
    if (c.failAt == 1) {  // ended before the start: nothing is said and the destination is not even made
      EXPECT_EQ(run.msg, "untouched");
      EXPECT_NE(access((dir / "dst").c_str(), F_OK), 0);
      continue;
    }
    EXPECT_EQ(run.copied, c.copied);
    EXPECT_EQ(run.msg, "");
    EXPECT_EQ(ReadFile(dir / "dst"), c.catchup ? std::string(c.had < 0 ? 0 : c.had, 'd') : Pattern(c.copied));
    EXPECT_TRUE(HasSourceAttributes(dir / "dst"));
  }
}

// A failed open leaves an existing destination ("dst") as it was.
TEST(FileCopy, FailuresGiveTheirCodesAndTexts) {
  TempDir dir;
  MakeSource(dir / "src", "data");
  MakeDir(dir / "adir");
  WriteFile(dir / "dst", "keep", 0600);
  const struct { std::string dst, src; int32_t rc; std::string msg; } cases[] = {
      {dir / "dst", dir / "missing", QM_ERR_SRCFNF, "$T(FailedToOpenSrc) [" + dir / "missing" + "] " + strerror(ENOENT)},
      {"", dir / "src", QM_ERR_DSTFILE, std::string("$T(FailedToOpenDst) [] ") + strerror(ENOENT)},
      {dir / "adir", dir / "src", QM_ERR_DSTFILE, "$T(FailedToOpenDst) [" + dir / "adir" + "] " + strerror(EISDIR)},
      // A directory opens but cannot be read: refused before the destination is opened.
      {dir / "dst", dir / "adir", QM_ERR_SRCFILE, "$T(FailedToOpenSrc) [" + dir / "adir" + "] " + strerror(EISDIR)}};
  for (const auto &c : cases) {
    const auto run = Copy(c.dst, c.src, false);
    EXPECT_EQ(run.rc, c.rc) << c.dst << " <- " << c.src;
    EXPECT_EQ(run.msg, c.msg);
    EXPECT_EQ(run.copied, 0);
    EXPECT_EQ(ReadFile(dir / "dst"), "keep");
    EXPECT_EQ(StatOf(dir / "dst").st_mode & 07777, 0600u);
  }
}

// rtkctl copy and tail on what is no plain file: a copy that waits for a
// FIFO's peer in its open ends on SIGINT or SIGTERM with the open's failure;
// a directory is refused by both, and the copy's destination is kept.
TEST(RtkctlFiles, CopyEndsOnASignalWhileWaitingAndDirectoriesAreRefused) {
  const std::string rtkctl = RTK_BINARY_DIR "/tools/rtkctl";
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  WriteFile(dir / "file", "data");
  const struct { std::string src, dst; int signal; const char *shown; } waits[] = {
      {dir / "fifo", dir / "out", SIGINT, "copied 0 bytes (interrupted)\nmessage: $T(FailedToOpenSrc)"},
      {dir / "file", dir / "fifo", SIGTERM, "copied 0 bytes (interrupted)\nmessage: $T(FailedToOpenDst)"}};
  for (const auto &w : waits) {
    const int out = open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = rtktest::StartCommand({rtkctl, "copy", w.src, w.dst}, out);
    close(out);
    // Signalled only once it waits in the FIFO's open, past its own set-up.
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int i = 0; i < 1000 && ReadFile(wchan) != "wait_for_partner"; ++i) usleep(10000);
    kill(pid, w.signal);
    EXPECT_EQ(rtktest::ExitStatusWithin10s(pid), 1) << w.shown;
    EXPECT_NE(ReadFile(dir / "log").find(w.shown), std::string::npos) << ReadFile(dir / "log");
  }
  std::string out;
  EXPECT_EQ(rtktest::Rtkctl({"copy", dir.path(), dir / "file"}, &out), 1);
  EXPECT_NE(out.find("5081 SRCFILE"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir / "file"), "data");
  EXPECT_EQ(rtktest::Rtkctl({"tail", dir.path()}, &out), 1);
  EXPECT_NE(out.find("rtkctl tail: " + dir.path() + ": Is a directory"), std::string::npos) << out;
}

TEST(FileMkdirs, MakesTheChainWithTheModelsAttributesLevelByLevel) {
  TempDir dir;
  MakeDir(dir / "d/p/q", 0750);
  ASSERT_EQ(chmod((dir / "d/p").c_str(), 0711), 0);
  ASSERT_EQ(chown((dir / "d/p").c_str(), 65534, 65534), 0);
  MakeDir(dir / "b");
  std::string dest = dir / "b/x/y", model = dir / "d/p/q", bare = "rtk-no-such-relative-dir", colon = dir / "q:/";
  EXPECT_EQ(qmfile_mkdirs(dest.data(), model.data()), QM_SUCCESS);
  EXPECT_EQ(dest + model, dir / "b/x/y" + dir / "d/p/q");
  EXPECT_EQ(qmfile_mkdirs(bare.data(), model.data()), QM_ERR_NOENT);
  // A '/' after ':' at the end cannot be cut off: the chain stops there instead of looping.
  EXPECT_EQ(qmfile_mkdirs(colon.data(), model.data()), QM_SUCCESS);
  EXPECT_TRUE(S_ISDIR(StatOf(dir / "q:").st_mode));
  // The copy makes a missing destination directory once, modelled on the source's.
  MakeSource(dir / "d/p/q/src", "data");
  EXPECT_EQ(Copy(dir / "to/deeper/dst", dir / "d/p/q/src", true).rc, QM_ERR_DSTFILE);
  EXPECT_EQ(Copy(dir / "to/deeper/dst", dir / "d/p/q/src", false).rc, QM_SUCCESS);
  const struct { const char *made; unsigned mode, uid; } levels[] = {  // each level like the model's at its depth
      {"b/x", 0711, 65534}, {"b/x/y", 0750, 0}, {"to", 0711, 65534}, {"to/deeper", 0750, 0}};
  for (const auto &l : levels) {
    EXPECT_EQ(StatOf(dir / l.made).st_mode & 07777, l.mode) << l.made;
    EXPECT_EQ(StatOf(dir / l.made).st_uid, l.uid) << l.made;
  }
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

TEST(FilePaths, OverlapIsASharedTailAtWholeComponents) {
  const struct { const char *src, *dst; size_t at; } cases[] = {
      {"/a/b/f", "/x/a/b/f", 0}, {"/data/a/b/file.txt", "/backup/x/a/b/file.txt", 5},
      {"/xa/b/f", "/ya/b/f", 3},  // "xa" and "ya" share only part of a component
      {"/f", "/x/f", 0}, {"f", "/x/f", 1}, {"/a/f", "g", 4}};  // at the end: the empty text
  for (const auto &c : cases) {
    const char *tail = qmfile_findOverlap(c.src, c.dst);
    EXPECT_STREQ(tail, c.src + c.at) << c.src;
    EXPECT_TRUE(c.at == std::strlen(c.src) || tail == c.src + c.at) << c.src;  // a position inside src, not a copy
  }
}

TEST(FilePaths, DircatJoinsWithExactlyOneSlashAndCutsToTheBuffer) {
  const struct { const char *dir, *name; int32_t size; const char *joined; int nameAt; } cases[] = {
      {"/d", "n", 64, "/d/n", 3},    {"/d/", "/n", 64, "/d/n", 3},  {"/d/", "n", 64, "/d/n", 3},
      {"/d", "//n", 64, "/d//n", 3},  // only one leading '/' of the name is dropped
      {"", "/n", 64, "n", 0},         // an empty directory stays relative
      {"/dir", "name", 8, "/dir/na", 5}, {"/dir", "name", 5, "/dir", 4}, {"/dir", "name", 6, "/dir/", 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.dir << " + " << c.name << " in " << c.size);
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    std::strcpy(buf.data(), c.dir);
    EXPECT_EQ(qmfile_dircat(buf.data(), c.size, c.name) - buf.data(), c.nameAt);
    EXPECT_STREQ(buf.data(), c.joined);
    EXPECT_TRUE(buf.Intact());
  }
  rtktest::GuardedBuffer unterminated(4, 'x'), none(0);
  EXPECT_EQ(qmfile_dircat(unterminated.data(), 4, "n"), unterminated.data() + 3);
  EXPECT_EQ(qmfile_dircat(none.data(), 0, "n"), none.data());
  EXPECT_EQ(std::string(unterminated.data(), 4), "xxxx");
  EXPECT_TRUE(unterminated.Intact() && none.Intact());
}

std::string Tail(const std::string &path, int32_t n, int64_t newestFirst, int32_t *rc, int32_t outSize = 4096) {
  rtktest::GuardedBuffer out(static_cast<size_t>(outSize));
  *rc = qmf_tailFile(path.c_str(), n, out.data(), outSize, newestFirst);
  EXPECT_TRUE(out.Intact()) << "n=" << n << " size=" << outSize;
  return outSize > 0 ? out.data() : "";
}

TEST(FileTail, LastLinesInEitherOrder) {
  const struct { const char *content; int32_t n; int64_t newest; const char *lines; } cases[] = {
      {"a\nb\nc\nd\ne\n", 3, 0, "c\nd\ne\n"}, {"a\nb\nc\nd\ne\n", 3, 1, "e\nd\nc\n"},
      {"a\n\nb\n", 2, 0, "a\nb\n"},      // empty lines are not counted
      {"a\r\nb\r\n", 5, 0, "a \nb \n"},  // carriage returns become blanks
      {"x\ny", 5, 1, "y\nx\n"},          {"", 3, 0, ""}};
  TempDir dir;
  int32_t rc = -1;
  for (const auto &c : cases) {
    WriteFile(dir / "log", c.content);
    EXPECT_EQ(Tail(dir / "log", c.n, c.newest, &rc), c.lines) << c.content;
  }
  // 600 lines of 300 bytes: 1,000 lines behave as 500, so only the last
  // 128,000 bytes are looked at and the oldest line shown is cut at its start.
  std::string big;
  for (int i = 0; i < 600; ++i) big += std::to_string(100000 + i) + std::string(293, 'x') + "\n";
  WriteFile(dir / "big", big);
  EXPECT_EQ(Tail(dir / "big", 1000, 0, &rc, 200000), big.substr(big.size() - 128000));
  // An output buffer that fills up holds a prefix: longer than size - 128
  // bytes from 128 bytes on, filled to size - 2 bytes below that.
  const std::string all = Tail(dir / "big", 100, 0, &rc, 30000);
  for (int32_t size : {1, 2, 3, 60, 127, 128, 1000, 20000}) {
    const std::string part = Tail(dir / "big", 100, 0, &rc, size);
    EXPECT_EQ(rc, QM_SUCCESS);
    EXPECT_EQ(all.compare(0, part.size(), part), 0) << size;
    EXPECT_GE(part.size(), size < 128 ? (size < 2 ? 0 : size - 2) : size - 127) << size;
    EXPECT_LE(part.size(), static_cast<size_t>(size < 2 ? 0 : size - 2)) << size;
  }
  EXPECT_EQ(Tail(dir / "missing", 3, 0, &rc), "");
  EXPECT_EQ(rc, QM_ERR_NOENT);
  EXPECT_EQ(Tail(dir / "log/x", 3, 0, &rc), std::string(QMERR_err2str(QM_ERR_BADFILE)) + " [" + dir / "log/x" + "]\n");
  EXPECT_EQ(rc, QM_ERR_BADFILE);
  for (const auto &[n, size] : {std::pair{0, 4096}, {3, 0}}) {
    Tail(dir / "log", n, 0, &rc, size);
    EXPECT_EQ(rc, QM_ERR_BADPARAM) << n << " " << size;
  }
}

TEST(FileCount, CountsLinesUpToOneMoreThanMax) {
  const std::string five = "1\n2\n3\n4\n5\n";
  const struct { std::string content; int32_t max, count; } cases[] = {
      {five, 0, 5}, {five, 10, 5}, {five, 2, 3}, {five, -1, 5}, {"a\nb", 0, 2}, {"", 0, 0},
      {std::string(12000, 'x') + "\n", 0, 3}};  // a long line counts once per 5,119-byte piece
  TempDir dir;
  for (const auto &c : cases) {
    WriteFile(dir / "f", c.content);
    EXPECT_EQ(qmfile_getCount((dir / "f").c_str(), c.max), c.count) << c.content.size() << " max " << c.max;
  }
  EXPECT_EQ(qmfile_getCount((dir / "missing").c_str(), 0), 0);
  EXPECT_EQ(qmfile_getCount(dir.path().c_str(), 0), 0);  // a read error ends the count
}

TEST(FileInsert, ReadsWhatFitsAndTellsFailuresApart) {
  TempDir dir;
  WriteFile(dir / "ten", "0123456789");
  const struct { std::string path; int32_t size, rc; const char *text; } cases[] = {
      {dir / "ten", 64, QM_SUCCESS, "0123456789"}, {dir / "ten", 8, QM_SUCCESS, "0123456"},
      {dir / "ten", 1, QM_SUCCESS, ""},            {dir / "ten", 0, QM_ERR_BADPARAM, nullptr},
      {dir / "missing", 64, QM_ERR_NOENT, nullptr}, {dir / "ten/x", 64, QM_ERR_BADFILE, nullptr},
      {dir.path(), 64, QM_ERR_IOERR, nullptr}};  // a directory opens but cannot be read
  for (const auto &c : cases) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    EXPECT_EQ(qmf_insertFile(c.path.c_str(), buf.data(), c.size), c.rc) << c.path << " " << c.size;
    EXPECT_STREQ(c.text != nullptr ? buf.data() : nullptr, c.text);
    EXPECT_TRUE(buf.Intact()) << c.size;
  }
  EXPECT_EQ(qmfile_restartable(EIO, nullptr), 1);
  for (int err : {0, ENOENT, EACCES, ENOSPC}) EXPECT_EQ(qmfile_restartable(err, nullptr), 0) << err;
}

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
  // A directory compared only with a file is never given its generation.
  MakeDir(dir / "two");
  WriteFile(dir / "two/f", "x");
  MakeDir(dir / "two/d-QM4");
  gens.clear();
  EXPECT_EQ(ScanOf(dir / "two", &names, &gens), QM_SUCCESS);
  EXPECT_EQ(gens, (std::vector<std::pair<int32_t, int64_t>>{{1, 0}, {0, 0}}));
  // Empty, missing, and only an entry whose status fails (read last: its failure is the result).
  MakeDir(dir / "empty");
  MakeDir(dir / "dangling");
  ASSERT_EQ(symlink("nowhere", (dir / "dangling/link").c_str()), 0);
  names.clear();
  EXPECT_EQ(ScanOf(dir / "empty", &names), QM_SUCCESS);
  EXPECT_EQ(ScanOf(dir / "missing", &names), QM_ERR_NOENT);
  EXPECT_EQ(ScanOf(dir / "dangling", &names), QM_ERR_NOENT);
  EXPECT_TRUE(names.empty());
  for (const auto &[max, count] : {std::pair{2, 2}, {0, 0}, {-3, 0}, {100, 15}})
    EXPECT_EQ(qmfile_CountItemsInDir(dir.path().c_str(), max), count) << max;
  EXPECT_EQ(qmfile_CountItemsInDir((dir / "missing").c_str(), 10), 0);
}

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
  MakeDir(dir / "r");
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
  EXPECT_EQ(InChild([&] {
              if (chroot(dir.path().c_str()) != 0 || chdir("/") != 0) return 2;
              for (const char *root : {"/", "//", "/tmp/..", "/."})
                if (qmfile_rmdirTree(root) != QM_ERR_SYSERR) return 3;
              return access("/keep", F_OK) == 0 ? 0 : 4;
            }),
            0);
  EXPECT_EQ(access((dir / "keep").c_str(), F_OK), 0);
}

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
  const pid_t pid = rtktest::Fork();
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
  rtktest::WaitForExit(server);
}

TEST(FileFaults, UnprivilegedCallerGetsPermissionCodes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  TempDir dir;
  WriteFile(dir / "secret", "x", 0600);
  WriteFile(dir / "open", "x", 0644);
  MakeDir(dir / "locked", 0755);
  EXPECT_EQ(InChild([&] {
              if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 9;
              return (Copy(dir / "copy", dir / "secret", false).rc != QM_ERR_SRCEPERM ? 1 : 0) +
                     (Copy(dir / "locked/copy", dir / "open", false).rc != QM_ERR_DSTEPERM ? 2 : 0);
            }),
            0);  // 1: not the source's code, 2: not the destination's
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
  Recorder r{t, "", 0, {}};
  EXPECT_EQ(r.Walk(), QM_SUCCESS);
  EXPECT_EQ(r.seen, (std::vector<std::string>{"", "/near", "/mnt", "/mnt/inner"}));
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

// The line counter on a file far larger than its stream buffer: lines and
// long-line pieces that straddle buffer ends, and pieces that start with a
// NUL byte (which it does not count), all count as the 5,119-byte line
// reader sees them.
TEST(FileCount, CountsPiecesAcrossStreamBufferEnds) {
  std::string text;
  int32_t expected = 0;
  // Lines of 1 to 97 bytes, so that buffer ends fall anywhere in a line.
  for (int i = 0; text.size() < 300000; ++i, ++expected) text += std::string(1 + i % 97, 'l') + "\n";
  const struct { std::string line; int32_t pieces; size_t before; } specials[] = {
      {std::string(5118, 'a') + "\n", 1, 37},    // fills the reader's buffer exactly
      {std::string(5119, 'b') + "\n", 2, 2037},  // its line feed is a piece of its own
      {std::string(12000, 'c') + "\n", 3, 4037}, // 5,119 + 5,119 + 1,762 bytes and the line feed
      {std::string(1, '\0') + "abc\n", 0, 6037}, // a piece that starts with NUL is not counted
      {"x" + std::string(1, '\0') + "y\n", 1, 8037},
      {std::string(1, '\0') + std::string(99, 'n') + "\n", 0, 50},  // ends in the next chunk
      {std::string(5119, 'e') + "\n", 2, 5120},  // its line feed ends a 2 KiB chunk of the count
  };
  for (const auto &s : specials) {
    // Short lines of padding, so that the special line starts `before`
    // bytes ahead of the next multiple of 64 KiB in the file.
    const size_t start = (text.size() + s.before + 1 + 65535) / 65536 * 65536 - s.before;
    for (size_t left; (left = start - text.size()) > 0; ++expected) {
      text += std::string((left > 100 ? 50 : left) - 1, 'p') + "\n";
    }
    text += s.line;
    expected += s.pieces;
  }
  TempDir dir;
  WriteFile(dir / "log", text);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), 0), expected);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), expected - 1), expected);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), 1000), 1001);
}

// The scan's sort on a directory large enough for many levels of its heap:
// files before directories, generations of one versioned name highest first,
// other names ignoring case; checked against an ordinary sort by the same
// rules on names for which those rules give one order.
std::string Folded(std::string s) {
  for (char &c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

// Generation of a name "<base>-QM<n>..." and its base, or -1.
long long Generation(const std::string &name, std::string *base) {
  const size_t at = name.find("-QM");
  if (at == std::string::npos) return -1;
  *base = Folded(name.substr(0, at));
  return std::stoll(name.substr(at + 3));
}

bool Before(const std::string &a, const std::string &b) {
  std::string baseA, baseB;
  const long long genA = Generation(a, &baseA), genB = Generation(b, &baseB);
  if (genA >= 0 && genB >= 0 && baseA == baseB) return genA > genB;
  return Folded(a) < Folded(b);
}

TEST(FileScan, SortsALargeDirectoryLikeAnOrdinarySortByTheSameRules) {
  std::vector<std::string> files, dirs;
  // Long names: more than the scan keeps from its count, so it reads the directory twice.
  for (int i = 0; i < 150; ++i) files.push_back((i % 2 ? "File" : "file") + std::string(50, 'n') + std::to_string(1000 + i * 7));
  // Generations whose name order differs from their number order.
  for (int g : {1, 2, 3, 9, 10, 11, 19, 20, 100, 7}) files.push_back("report.txt-QM" + std::to_string(g) + ".txt");
  for (int g : {5, 50, 6}) files.push_back("Data-QM" + std::to_string(g));
  for (int i = 0; i < 40; ++i) dirs.push_back((i % 3 ? "dir" : "DIR") + std::to_string(500 - i * 3));
  TempDir dir;
  std::vector<std::string> all = files;
  all.insert(all.end(), dirs.begin(), dirs.end());
  std::shuffle(all.begin(), all.end(), std::mt19937(42));
  for (const std::string &name : all) {
    if (name.rfind("dir", 0) == 0 || name.rfind("DIR", 0) == 0) {
      MakeDir(dir / name);
    } else {
      WriteFile(dir / name, "");
    }
  }
  qmfile_DirEntry *list = nullptr;
  uint32_t nFiles = 0, nDirs = 0;
  ASSERT_EQ(qmfile_ScanDir(dir.path().c_str(), &list, &nFiles, &nDirs), QM_SUCCESS);
  ASSERT_NE(list, nullptr);
  std::vector<std::string> got;
  for (uint32_t i = 0; i < nFiles + nDirs; ++i) got.emplace_back(list[i].name);
  MEM_free(list);
  EXPECT_EQ(nFiles, files.size());
  EXPECT_EQ(nDirs, dirs.size());
  std::sort(files.begin(), files.end(), Before);
  std::sort(dirs.begin(), dirs.end(), Before);
  files.insert(files.end(), dirs.begin(), dirs.end());
  EXPECT_EQ(got, files);
}

}  // namespace
