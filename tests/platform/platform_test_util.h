// Helpers shared by the platform-layer tests: scratch directories, small
// files, and capture of the message log's ERROR lines through its hook.
#pragma once

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "qmlog.h"
#include "rtktest.h"

namespace plattest {

// A fresh directory under /tmp, removed with everything in it at the end.
struct ScratchDir {
  std::string path_ = [] { char t[] = "/tmp/rtk-plat-XXXXXX"; return std::string(mkdtemp(t)); }();
  ~ScratchDir() { rtktest::RunCommand({"rm", "-rf", "--", path_}); }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }
};

inline void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644) {
  ASSERT_TRUE(static_cast<bool>(std::ofstream(path) << content)) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Collects every PANIC/ERROR message of the message log, formatted, while it lives.
struct ErrorLines {
  static inline std::vector<std::string> lines;
  ErrorLines() { lines.clear(), qmlog_errStat = &Hook; }
  ~ErrorLines() { qmlog_errStat = nullptr; }
  static int32_t Hook(uint32_t, const char *, const char *fmt, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, args);
    lines.push_back(text);
    return 0;
  }
};

}  // namespace plattest
