// Tail, line count, whole-file read and the restartable rule.
#include <cerrno>
#include <string>

#include "filetest.h"
#include "qmerror.h"
#include "rtktest.h"

namespace {

using namespace filetest;

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
    const size_t least = size < 128 ? (size < 2 ? 0 : size - 2) : size - 127;
    EXPECT_GE(part.size(), least) << size;
    EXPECT_LE(part.size(), static_cast<size_t>(size < 2 ? 0 : size - 2)) << size;
  }
  EXPECT_EQ(Tail(dir / "missing", 3, 0, &rc), "");
  EXPECT_EQ(rc, QM_ERR_NOENT);
  EXPECT_EQ(Tail(dir / "log/x", 3, 0, &rc), std::string(QMERR_err2str(QM_ERR_BADFILE)) + " [" + dir / "log/x" + "]\n");
  EXPECT_EQ(rc, QM_ERR_BADFILE);
  Tail(dir / "log", 0, 0, &rc);
  EXPECT_EQ(rc, QM_ERR_BADPARAM);
  Tail(dir / "log", 3, 0, &rc, 0);
  EXPECT_EQ(rc, QM_ERR_BADPARAM);
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

}  // namespace
