// Helpers shared by the platform-layer tests: scratch directories, small
// files, and capture of the message log's ERROR lines through its hook.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "qmlog.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace plattest {

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/rtk-plat-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~ScratchDir() { rtktest::RunCommand({"rm", "-rf", "--", path_}); }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644) {
  FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fputs(content.c_str(), f);
  std::fclose(f);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Collects every PANIC/ERROR message of the message log, formatted, while
// it lives.
class ErrorLines {
 public:
  ErrorLines() {
    lines_.clear();
    qmlog_errStat = &Hook;
  }
  ~ErrorLines() { qmlog_errStat = nullptr; }
  const std::vector<std::string> &lines() const { return lines_; }

 private:
  static int32_t Hook(uint32_t, const char *, const char *fmt, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, args);
    lines_.push_back(text);
    return 0;
  }
  static inline std::vector<std::string> lines_;
};

// Turns on the Fine trace of the given bits with the terminal as log target
// and collects what reaches standard output until Text() is called.
class TraceCapture {
 public:
  explicit TraceCapture(uint64_t mask) {
    std::fflush(stdout);
    saved_ = dup(1);
    file_ = std::tmpfile();
    dup2(fileno(file_), 1);
    TRACE_SetLevelByStr("Fine");
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
    TRACE_Set(mask);
  }
  ~TraceCapture() { Text(); }
  std::string Text() {
    if (file_ == nullptr) return text_;
    TRACE_Set(0);
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text_.append(chunk, n);
    std::fclose(file_);
    file_ = nullptr;
    return text_;
  }

 private:
  int saved_;
  FILE *file_;
  std::string text_;
};

}  // namespace plattest
