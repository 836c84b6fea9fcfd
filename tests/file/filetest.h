// Helpers for the file-utility tests: scratch directories, files, copies.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "qmfile.h"

namespace filetest {

// A fresh directory below /tmp, removed with its content when it goes.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/rtk-file-XXXXXX";
    path_ = mkdtemp(templ) != nullptr ? templ : "/nonexistent";
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string &path, const std::string &data, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline std::string ReadFile(const std::string &path) {
  std::ostringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

// Creates a directory (and missing parents) with the given permissions.
inline void MakeDir(const std::string &path, mode_t mode = 0755) {
  std::filesystem::create_directories(path);
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline struct stat StatOf(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// n bytes of a varied, deterministic pattern without line structure.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(1 + (i * 7 + i / 251) % 250);
  return s;
}

inline bool MountTmpfs(const std::string &dir, const std::string &size) {
  return mount("rtktest", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

// Counts the copy's callback calls and answers `code` at call `failAt`.
struct Counter {
  int calls = 0;
  int failAt = 0;
  int32_t code = 0;
  static int32_t Call(uint64_t context) {
    auto *c = reinterpret_cast<Counter *>(context);
    return ++c->calls == c->failAt ? c->code : 0;
  }
};

struct CopyRun {
  int32_t rc;
  int64_t copied;
  std::string msg;  // "untouched" when the copy left it alone
};

// Copies through writable copies of both paths and checks that they come back unchanged.
inline CopyRun Copy(const std::string &dst, const std::string &src, bool catchup, Counter *counter = nullptr) {
  std::string d = dst;
  std::string s = src;
  char msg[256] = "untouched";
  CopyRun run{};
  run.rc = qmfile_CopyFile(d.data(), s.data(), catchup ? 1 : 0, 0, counter != nullptr ? Counter::Call : nullptr,
                           reinterpret_cast<uint64_t>(counter), msg, sizeof msg, &run.copied);
  EXPECT_EQ(d + s, dst + src);
  run.msg = msg;
  return run;
}

}  // namespace filetest
