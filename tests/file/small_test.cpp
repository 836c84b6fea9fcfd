// Tail, line count, whole-file read and the restartable rule.
#include <cerrno>
#include <string>

#include "filetest.h"
#include "qmerror.h"
#include "qmfile.h"
#include "rtktest.h"

namespace {

using filetest::TempDir;
using filetest::WriteFile;

std::string Tail(const std::string &path, int32_t n, int64_t newestFirst, int32_t *rc,
                 int32_t outSize = 4096) {
  rtktest::GuardedBuffer out(static_cast<size_t>(outSize));
  *rc = qmf_tailFile(path.c_str(), n, out.data(), outSize, newestFirst);
  EXPECT_TRUE(out.Intact()) << path << " n=" << n << " size=" << outSize;
  return out.data();
}

TEST(FileTail, LinesInFileOrderOrNewestFirst) {
  const struct { const char *content; int32_t n; int64_t newest; const char *lines; } cases[] = {
      {"a\nb\nc\nd\ne\n", 3, 0, "c\nd\ne\n"},
      {"a\nb\nc\nd\ne\n", 3, 1, "e\nd\nc\n"},
      {"a\n\nb\n", 2, 0, "a\nb\n"},            // empty lines are not counted
      {"a\r\nb\r\n", 5, 0, "a \nb \n"},        // carriage returns become blanks
      {"x\ny", 5, 1, "y\nx\n"},                // a last line without line feed
      {"", 3, 0, ""},
  };
  TempDir dir;
  for (const auto &c : cases) {
    WriteFile(dir / "log", c.content);
    int32_t rc = -1;
    EXPECT_EQ(Tail(dir / "log", c.n, c.newest, &rc), c.lines) << c.content;
    EXPECT_EQ(rc, QM_SUCCESS);
  }
}

TEST(FileTail, LooksAtTheLast500LinesWorthOfBytesOnly) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 600; ++i) content += std::to_string(100000 + i) + std::string(293, 'x') + "\n";
  WriteFile(dir / "big", content);
  // 1,000 lines behave as 500: the window is the last 128,000 bytes, so the
  // oldest line shown starts inside a line of the file.
  const std::string window = content.substr(content.size() - 500 * 256);
  int32_t rc = -1;
  EXPECT_EQ(Tail(dir / "big", 1000, 0, &rc, 200000), window);
  EXPECT_EQ(Tail(dir / "big", 500, 0, &rc, 200000), window);
}

TEST(FileTail, FullOutputStopsEarlyAndNeverOverflows) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 100; ++i) content += std::string(50, static_cast<char>('a' + i % 26)) + "\n";
  WriteFile(dir / "log", content);
  int32_t rc = -1;
  const std::string all = Tail(dir / "log", 100, 0, &rc, 8192);
  ASSERT_EQ(all, content);
  const std::string part = Tail(dir / "log", 100, 0, &rc, 1000);
  EXPECT_GT(part.size(), 1000u - 128u);
  EXPECT_LT(part.size(), 1000u);
  EXPECT_EQ(all.compare(0, part.size(), part), 0);
  for (int32_t size = 1; size < 128; ++size) {  // buffers below 128 bytes fill up with a prefix
    const std::string small = Tail(dir / "log", 100, 0, &rc, size);
    EXPECT_EQ(rc, QM_SUCCESS);
    EXPECT_EQ(small.size(), static_cast<size_t>(size >= 2 ? size - 2 : 0)) << size;
    EXPECT_EQ(all.compare(0, small.size(), small), 0) << size;
  }
}

TEST(FileTail, RefusesOrReportsWhatCannotBeRead) {
  TempDir dir;
  WriteFile(dir / "f", "a\n");
  int32_t rc = -1;
  EXPECT_EQ(Tail(dir / "missing", 3, 0, &rc), "");
  EXPECT_EQ(rc, QM_ERR_NOENT);
  const std::string notDir = dir / "f/x";
  EXPECT_EQ(Tail(notDir, 3, 0, &rc), std::string(QMERR_err2str(QM_ERR_BADFILE)) + " [" + notDir + "]\n");
  EXPECT_EQ(rc, QM_ERR_BADFILE);
  EXPECT_EQ(Tail(dir / "f", 0, 0, &rc), "");
  EXPECT_EQ(rc, QM_ERR_BADPARAM);
  rtktest::GuardedBuffer none(0);
  EXPECT_EQ(qmf_tailFile((dir / "f").c_str(), 3, none.data(), 0, 0), QM_ERR_BADPARAM);
  EXPECT_TRUE(none.Intact());
}

TEST(FileCount, CountsLinesUpToOneMoreThanMax) {
  const std::string five = "1\n2\n3\n4\n5\n";
  const std::string longLine = std::string(12000, 'x') + "\n";  // read in three pieces
  const struct { std::string content; int32_t max; int32_t count; } cases[] = {
      {five, 0, 5}, {five, 10, 5}, {five, 2, 3}, {five, -1, 5},
      {"a\nb", 0, 2}, {"", 0, 0}, {longLine, 0, 3},
  };
  TempDir dir;
  for (const auto &c : cases) {
    WriteFile(dir / "f", c.content);
    EXPECT_EQ(qmfile_getCount((dir / "f").c_str(), c.max), c.count) << c.content.size() << " " << c.max;
  }
  EXPECT_EQ(qmfile_getCount((dir / "missing").c_str(), 0), 0);
  EXPECT_EQ(qmfile_getCount(dir.path().c_str(), 0), 0);  // a read error ends the count
}

TEST(FileInsert, ReadsWhatFitsAndTellsFailuresApart) {
  TempDir dir;
  WriteFile(dir / "ten", "0123456789");
  const struct { int32_t size; const char *text; } cases[] = {{64, "0123456789"}, {8, "0123456"}, {1, ""}};
  for (const auto &c : cases) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    EXPECT_EQ(qmf_insertFile((dir / "ten").c_str(), buf.data(), c.size), QM_SUCCESS);
    EXPECT_STREQ(buf.data(), c.text);
    EXPECT_TRUE(buf.Intact()) << c.size;
  }
  rtktest::GuardedBuffer buf(64);
  EXPECT_EQ(qmf_insertFile((dir / "ten").c_str(), buf.data(), 0), QM_ERR_BADPARAM);
  EXPECT_EQ(qmf_insertFile((dir / "missing").c_str(), buf.data(), 64), QM_ERR_NOENT);
  EXPECT_EQ(qmf_insertFile((dir / "ten/x").c_str(), buf.data(), 64), QM_ERR_BADFILE);
  EXPECT_EQ(qmf_insertFile(dir.path().c_str(), buf.data(), 64), QM_ERR_IOERR);  // read of a directory
  EXPECT_TRUE(buf.Intact());
}

TEST(FileRestartable, OnlyTheInputOutputErrorIsRestartable) {
  EXPECT_EQ(qmfile_restartable(EIO, "/x"), 1);
  for (int err : {0, ENOENT, EACCES, ENOSPC, EPERM}) EXPECT_EQ(qmfile_restartable(err, nullptr), 0) << err;
}

}  // namespace
