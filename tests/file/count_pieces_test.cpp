// The line counter on a file far larger than its stream buffer: lines and
// long-line pieces that straddle buffer ends, and pieces that start with a
// NUL byte (which it does not count), all count as the 5,119-byte line
// reader sees them.
#include <gtest/gtest.h>

#include <string>

#include "filetest.h"
#include "qmfile.h"

namespace {

using filetest::TempDir;
using filetest::WriteFile;

TEST(FileCount, CountsPiecesAcrossStreamBufferEnds) {
  std::string text;
  int32_t expected = 0;
  // Lines of 1 to 97 bytes, so that buffer ends fall anywhere in a line.
  for (int i = 0; text.size() < 300000; ++i, ++expected) text += std::string(1 + i % 97, 'l') + "\n";
  const struct { std::string line; int32_t pieces; } specials[] = {
      {std::string(5118, 'a') + "\n", 1},   // fills the reader's buffer exactly
      {std::string(5119, 'b') + "\n", 2},   // its line feed is a piece of its own
      {std::string(12000, 'c') + "\n", 3},  // 5,119 + 5,119 + 1,762 bytes and the line feed
      {std::string(1, '\0') + "abc\n", 0},  // a piece that starts with NUL is not counted
      {"x" + std::string(1, '\0') + "y\n", 1},
  };
  size_t before = 37;
  for (const auto &s : specials) {
    // Short lines of padding, so that the special line starts `before`
    // bytes ahead of the next end of the 64 KiB stream buffer.
    const size_t start = (text.size() + before + 1 + 65535) / 65536 * 65536 - before;
    for (size_t left; (left = start - text.size()) > 0; ++expected) {
      text += std::string((left > 100 ? 50 : left) - 1, 'p') + "\n";
    }
    text += s.line;
    expected += s.pieces;
    before += 2000;
  }
  TempDir dir;
  WriteFile(dir / "log", text);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), 0), expected);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), expected - 1), expected);
  EXPECT_EQ(qmfile_getCount((dir / "log").c_str(), 1000), 1001);
}

}  // namespace
