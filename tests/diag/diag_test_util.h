// Test helpers for the diagnostics: capture of standard output (the log's
// terminal target) split into log lines, and a fixture with known settings.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace diagtest {

// One terminal line of the log: "<pid> <msecs>: <text>" (stamped) or
// "<pid> <text>" (a repeat notice, msecs 0). `text` keeps its line feed.
struct LogLine {
  bool stamped;
  std::string text;
  long long msecs = 0;
};

// Redirects standard output into a temporary file until Finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture() { Finish(); }
  std::string Finish();   // restores standard output, answers what was written

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Splits terminal output into log lines; a line without this process's ID
// fails the test.
std::vector<LogLine> ParseLines(const std::string &raw);

// Trace off, level Fine, no filter, plain mode, depth 0, terminal target,
// and a capture that starts with a unique marker line, so that repeats left
// by earlier tests do not leak into this one.
class DiagTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void StartCapture();   // a new capture and marker (e.g. in a forked child)
  std::vector<LogLine> Captured();   // the lines after the marker
  std::vector<std::string> CapturedTexts();

 private:
  StdoutCapture *capture_ = nullptr;
  std::string marker_;
};

}  // namespace diagtest
