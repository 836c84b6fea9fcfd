// Helpers for the file-utility tests (see filetest.h).
#include "filetest.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "qmfile.h"
#include "rtktest.h"

namespace filetest {

TempDir::TempDir() {
  char templ[] = "/tmp/rtk-file-XXXXXX";
  const char *made = mkdtemp(templ);
  EXPECT_NE(made, nullptr);
  path_ = made != nullptr ? made : "/nonexistent";
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  umount2(path_.c_str(), MNT_DETACH);  // a test may have mounted something on the top
  rtktest::RunCommand({"rm", "-rf", "--", path_});
}

void WriteFile(const std::string &path, const std::string &data, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string ReadFile(const std::string &path) {
  std::ostringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 251);
  return s;
}

void MakeDir(const std::string &path, mode_t mode) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    struct stat st;
    if (stat(path.substr(0, slash).c_str(), &st) != 0) MakeDir(path.substr(0, slash));
  }
  EXPECT_EQ(mkdir(path.c_str(), mode), 0) << path;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

namespace {

int32_t CountCall(uint64_t context) {
  auto *c = reinterpret_cast<Counter *>(context);
  return ++c->calls == c->failAt ? c->code : 0;
}

}  // namespace

CopyRun Copy(const std::string &dst, const std::string &src, bool catchup, Counter *counter) {
  std::string d = dst;
  std::string s = src;
  char msg[256] = "untouched";
  CopyRun run{};
  run.rc = qmfile_CopyFile(d.data(), s.data(), catchup ? 1 : 0, 0, counter != nullptr ? CountCall : nullptr,
                           reinterpret_cast<uint64_t>(counter), msg, sizeof msg, &run.copied);
  EXPECT_EQ(d, dst);
  EXPECT_EQ(s, src);
  run.msg = msg;
  return run;
}

bool MountTmpfs(const std::string &dir, const char *size) {
  const std::string options = std::string("size=") + size;
  return mount("rtktest", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

}  // namespace filetest
