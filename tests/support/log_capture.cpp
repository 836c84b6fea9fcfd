// Capture of the message log's terminal output (see log_capture.h).
#include "log_capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "qmexit.h"
#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace rtktest {

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  file_ = memfd_create("rtktest-stdout", MFD_CLOEXEC);
  EXPECT_GE(file_, 0);
  saved_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
  dup2(file_, 1);
}

std::string StdoutCapture::Finish() {
  if (saved_ < 0) return "";
  std::fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
  const std::string out = ReadFile("/proc/self/fd/" + std::to_string(file_));
  close(file_);
  return out;
}

std::vector<LogLine> ParseLines(const std::string &raw, bool othersAllowed) {
  std::vector<LogLine> lines;
  const std::string pid = std::to_string(getpid()) + " ";
  for (size_t pos = 0, end; pos < raw.size(); pos = end) {
    end = raw.find('\n', pos);
    end = end == std::string::npos ? raw.size() : end + 1;
    std::string line = raw.substr(pos, end - pos);
    if (line.compare(0, pid.size(), pid) != 0) {
      if (!othersAllowed) ADD_FAILURE() << "line without the process ID: [" << line << "]";
      continue;
    }
    line.erase(0, pid.size());
    const size_t digits = line.find_first_not_of("0123456789");
    const bool stamped = digits > 0 && digits != std::string::npos && line.compare(digits, 2, ": ") == 0;
    lines.push_back({stamped, stamped ? line.substr(digits + 2) : line, stamped ? std::stoll(line) : 0});
  }
  return lines;
}

std::string Logged(const std::function<void()> &body) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  StdoutCapture capture;
  body();
  return capture.Finish();
}

std::vector<std::string> LoggedTexts(const std::function<void()> &body) {
  std::vector<std::string> texts;
  for (const LogLine &line : ParseLines(Logged(body), true))
    if (line.stamped) texts.push_back(line.text.substr(0, line.text.find('\n')));
  return texts;
}

void LoggingTest::SetUp() {
  TRACE_SetLevelByStr("Fine");
  TRACE_SetProgram(nullptr);
  TRACE_SetMode(0);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  StartCapture();
}

void LoggingTest::StartCapture() {
  capture_.reset();
  static int serial = 0;
  marker_ = "start of test " + std::to_string(++serial) + " " + std::to_string(rand()) + "\n";
  capture_ = std::make_unique<StdoutCapture>();
  TRACE_Set(QM_TRACE_ALL);   // an exit line of a "hook_" function resets the depth
  qmexitn(QM_TRACE_BASIC, "hook_reset", 0);
  TRACE_Set(0);
  LOG_Log(QM_LOG_PRINT, "%s", marker_.c_str());
}

void LoggingTest::TearDown() {
  capture_.reset();
  TRACE_Set(0);
}

std::vector<LogLine> LoggingTest::Captured() {
  const std::vector<LogLine> lines = ParseLines(capture_->Finish());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].stamped && lines[i].text == marker_) return {lines.begin() + static_cast<long>(i) + 1, lines.end()};
  }
  ADD_FAILURE() << "start marker not captured";
  return lines;
}

std::vector<std::string> LoggingTest::CapturedTexts() {
  std::vector<std::string> texts;
  for (const LogLine &l : Captured()) texts.push_back(l.text);
  return texts;
}

}  // namespace rtktest
