// The scan's sort on a directory large enough for many levels of its heap:
// files before directories, generations of one versioned name highest first,
// other names ignoring case; checked against an ordinary sort by the same
// rules on names for which those rules give one order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "filetest.h"
#include "qmerror.h"
#include "qmfile.h"
#include "qmmem.h"

namespace {

using filetest::MakeDir;
using filetest::TempDir;
using filetest::WriteFile;

std::string Folded(std::string s) {
  for (char &c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

// Generation of a name "<base>-QM<n>..." and its base, or -1.
long long Generation(const std::string &name, std::string *base) {
  const size_t at = name.find("-QM");
  if (at == std::string::npos) return -1;
  *base = Folded(name.substr(0, at));
  return std::stoll(name.substr(at + 3));
}

bool Before(const std::string &a, const std::string &b) {
  std::string baseA, baseB;
  const long long genA = Generation(a, &baseA), genB = Generation(b, &baseB);
  if (genA >= 0 && genB >= 0 && baseA == baseB) return genA > genB;
  return Folded(a) < Folded(b);
}

TEST(FileScan, SortsALargeDirectoryLikeAnOrdinarySortByTheSameRules) {
  std::vector<std::string> files, dirs;
  for (int i = 0; i < 150; ++i) files.push_back((i % 2 ? "File" : "file") + std::to_string(1000 + i * 7));
  // Generations whose name order differs from their number order.
  for (int g : {1, 2, 3, 9, 10, 11, 19, 20, 100, 7}) files.push_back("report.txt-QM" + std::to_string(g) + ".txt");
  for (int g : {5, 50, 6}) files.push_back("Data-QM" + std::to_string(g));
  for (int i = 0; i < 40; ++i) dirs.push_back((i % 3 ? "dir" : "DIR") + std::to_string(500 - i * 3));
  TempDir dir;
  std::vector<std::string> all = files;
  all.insert(all.end(), dirs.begin(), dirs.end());
  std::shuffle(all.begin(), all.end(), std::mt19937(42));
  for (const std::string &name : all) {
    if (name.rfind("dir", 0) == 0 || name.rfind("DIR", 0) == 0) {
      MakeDir(dir / name);
    } else {
      WriteFile(dir / name, "");
    }
  }
  qmfile_DirEntry *list = nullptr;
  uint32_t nFiles = 0, nDirs = 0;
  ASSERT_EQ(qmfile_ScanDir(dir.path().c_str(), &list, &nFiles, &nDirs), QM_SUCCESS);
  ASSERT_NE(list, nullptr);
  std::vector<std::string> got;
  for (uint32_t i = 0; i < nFiles + nDirs; ++i) got.emplace_back(list[i].name);
  MEM_free(list);
  EXPECT_EQ(nFiles, files.size());
  EXPECT_EQ(nDirs, dirs.size());
  std::sort(files.begin(), files.end(), Before);
  std::sort(dirs.begin(), dirs.end(), Before);
  files.insert(files.end(), dirs.begin(), dirs.end());
  EXPECT_EQ(got, files);
}

}  // namespace
