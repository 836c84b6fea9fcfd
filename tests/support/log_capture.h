// Capture of the message log's terminal output: standard output redirected
// while a test runs, split into log lines, and a fixture with known log and
// trace settings.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rtktest {

// One terminal line of the log: "<pid> <msecs>: <text>" (stamped) or
// "<pid> <text>" (a repeat notice, msecs 0). `text` keeps its line feed.
struct LogLine {
  bool stamped;
  std::string text;
  long long msecs = 0;
};

// Redirects standard output into a memory file until Finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture() { Finish(); }
  StdoutCapture(const StdoutCapture &) = delete;
  std::string Finish();   // restores standard output, answers what was written

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Runs body with the message log on the terminal and answers what reached
// standard output meanwhile.
std::string Logged(const std::function<void()> &body);

// The texts (after "<pid> <msecs>: ", without the line feed) of the stamped
// log lines that this process wrote while body ran; lines of other
// processes (a script's output) and repeat notices are left out.
std::vector<std::string> LoggedTexts(const std::function<void()> &body);

// Trace off, level Fine, no filter, plain mode, depth 0, terminal target,
// and a capture that starts with a unique marker line, so that repeats left
// by earlier tests do not leak into this one.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::vector<LogLine> Captured();   // the lines after the marker
  std::vector<std::string> CapturedTexts();   // their texts, line feeds kept

 private:
  std::unique_ptr<StdoutCapture> capture_;
  std::string marker_;
};

}  // namespace rtktest
