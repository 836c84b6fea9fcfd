// Helpers for the file-utility tests: scratch directories and small files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace filetest {

// A fresh directory below /tmp, removed with its content when it goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes data to path (created or truncated) and sets its permissions.
void WriteFile(const std::string &path, const std::string &data, mode_t mode = 0644);
// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
// n bytes of a varied, deterministic pattern (no line structure).
std::string Pattern(size_t n);
// Creates a directory with the given permissions (and missing parents with 0755).
void MakeDir(const std::string &path, mode_t mode = 0755);
// Counts the copy's callback calls and answers `code` at call `failAt`.
struct Counter {
  int calls = 0;
  int failAt = 0;
  int32_t code = 0;
};

struct CopyRun {
  int32_t rc;
  int64_t copied;
  std::string msg;  // "untouched" when the copy left it alone
};

// Runs qmfile_CopyFile on writable copies of the paths (and checks that
// both come back unchanged); a counter, when given, is the callback's context.
CopyRun Copy(const std::string &dst, const std::string &src, bool catchup, Counter *counter = nullptr);

// Mounts a tmpfs of the given size at dir; false when that fails.
bool MountTmpfs(const std::string &dir, const char *size);

}  // namespace filetest
