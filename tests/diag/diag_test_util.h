// Test helpers for the diagnostics: capture of standard output (the
// terminal target of the message log) split into log lines, and a fixture
// that puts every trace and log setting into a known state.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace diagtest {

// One line that the log wrote to the terminal: "<pid> <msecs>: <text>" when
// stamped, "<pid> <text>" for a repeat notice. `text` keeps its line feed.
struct LogLine {
  bool stamped;
  std::string text;
};

// Redirects standard output into a temporary file until Finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Restores standard output and answers everything written meanwhile.
  std::string Finish();

 private:
  int saved_ = -1;
  int file_ = -1;
};

// Splits captured terminal output into log lines. Lines that do not start
// with this process's ID, or whose stamp is malformed, fail the test.
std::vector<LogLine> ParseLines(const std::string &raw);

// The texts of the lines after the fixture's start marker.
std::vector<std::string> Texts(const std::vector<LogLine> &lines);

// Known settings (trace off, level Fine, no filter, plain mode, terminal
// target) and a capture that starts with a unique marker line, so that
// earlier repeats in the process do not leak into a test.
class DiagTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Finishes the capture and answers the lines after the marker.
  std::vector<LogLine> Captured();
  // The same, as texts only.
  std::vector<std::string> CapturedTexts() { return Texts(Captured()); }

 private:
  StdoutCapture *capture_ = nullptr;
  std::string marker_;
};

}  // namespace diagtest
