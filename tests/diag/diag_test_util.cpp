// Test helpers for the diagnostics (see diag_test_util.h).
#include "diag_test_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "qmexit.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace diagtest {

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char path[] = "/tmp/diagtest-stdout-XXXXXX";
  file_ = mkstemp(path);
  EXPECT_GE(file_, 0);
  unlink(path);
  saved_ = dup(1);
  dup2(file_, 1);
}

std::string StdoutCapture::Finish() {
  if (saved_ < 0) return "";
  std::fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
  std::string out(static_cast<size_t>(lseek(file_, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(file_, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
  close(file_);
  return out;
}

std::vector<LogLine> ParseLines(const std::string &raw) {
  std::vector<LogLine> lines;
  const std::string pid = std::to_string(getpid()) + " ";
  for (size_t pos = 0, end; pos < raw.size(); pos = end) {
    end = raw.find('\n', pos);
    end = end == std::string::npos ? raw.size() : end + 1;
    std::string line = raw.substr(pos, end - pos);
    if (line.compare(0, pid.size(), pid) != 0) {
      ADD_FAILURE() << "line without the process ID: [" << line << "]";
      continue;
    }
    line.erase(0, pid.size());
    const size_t digits = line.find_first_not_of("0123456789");
    const bool stamped = digits > 0 && digits != std::string::npos && line.compare(digits, 2, ": ") == 0;
    lines.push_back({stamped, stamped ? line.substr(digits + 2) : line, stamped ? std::stoll(line) : 0});
  }
  return lines;
}

void DiagTest::SetUp() {
  TRACE_SetLevelByStr("Fine");
  TRACE_SetProgram(nullptr);
  TRACE_SetMode(0);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  StartCapture();
}

void DiagTest::StartCapture() {
  delete capture_;
  static int serial = 0;
  marker_ = "start of test " + std::to_string(++serial) + " " + std::to_string(rand()) + "\n";
  capture_ = new StdoutCapture();
  TRACE_Set(QM_TRACE_ALL);   // an exit line of a "hook_" function resets the depth
  qmexitn(QM_TRACE_BASIC, "hook_reset", 0);
  TRACE_Set(0);
  LOG_Log(QM_LOG_PRINT, "%s", marker_.c_str());
}

void DiagTest::TearDown() {
  delete std::exchange(capture_, nullptr);
  TRACE_Set(0);
}

std::vector<LogLine> DiagTest::Captured() {
  const std::vector<LogLine> lines = ParseLines(capture_->Finish());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].stamped && lines[i].text == marker_) return {lines.begin() + static_cast<long>(i) + 1, lines.end()};
  }
  ADD_FAILURE() << "start marker not captured";
  return lines;
}

std::vector<std::string> DiagTest::CapturedTexts() {
  std::vector<std::string> texts;
  for (LogLine &l : Captured()) texts.push_back(std::move(l.text));
  return texts;
}

}  // namespace diagtest
