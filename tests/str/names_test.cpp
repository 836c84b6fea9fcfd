// Wildcard matching and file-name shaping: split, squeeze, versioned names.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;

TEST(WildcardMatch, TakesTheLastOccurrenceWithoutBacktracking) {
  const struct { const char *s, *pattern; int32_t match; } cases[] = {
      {"FILE.TXT", "*.txt", 1}, {"a.txt.bak", "*.txt", 0}, {"abcbc", "a*c", 1}, {"", "", 1},
      {"a", "", 0},   {"", "*", 1},       {"", "*x", 0},     {"abc", "abc*", 1}, {"ab", "abc*", 0},
      {"a", "a*", 1}, {"ab", "a*b*", 0},  {"abc", "a*b*", 1}, {"b", "*b*", 0},  {"a", "a**z", 1},
      {"abXa", "*a*b*", 0}, {"xyx", "*x*y*", 0},  // the last 'x' is taken, nothing is left for 'y'
      {"\xE9", "\xC9", 0},  // only ASCII letters fold
  };
  for (const auto &c : cases)
    EXPECT_EQ(STR_wildcardMatch(c.s, c.pattern), c.match) << '"' << c.s << "\" ~ \"" << c.pattern << '"';
  EXPECT_EQ(STR_wildcardMatch(nullptr, "*"), 0);
  EXPECT_EQ(STR_wildcardMatch("a", nullptr), 0);
}

// The matching rules restated over std::string: split the pattern at every
// '*', require the first piece as a prefix, then find each later piece at
// its last place in what remains.
int32_t ReferenceMatch(std::string s, std::string pattern) {
  for (std::string *t : {&s, &pattern})
    for (char &ch : *t)
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  std::vector<std::string> pieces(1);
  for (char ch : pattern) {
    if (ch == '*')
      pieces.emplace_back();
    else
      pieces.back() += ch;
  }
  if (pieces.size() == 1) return s == pattern;
  if (s.compare(0, pieces[0].size(), pieces[0]) != 0) return 0;
  size_t at = pieces[0].size();
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (pieces[i].empty()) return 1;
    if (at == s.size()) return 0;
    const size_t hit = s.rfind(pieces[i]);
    if (hit == std::string::npos || hit < at) return 0;
    at = hit + pieces[i].size();
    if (i + 1 == pieces.size()) return at == s.size();
    if (at == s.size()) return 0;
  }
  return 0;
}

TEST(WildcardMatch, AgreesWithTheRulesOnGeneratedInputs) {
  std::mt19937 rng(77);
  const std::string letters = "aAbB.", patternLetters = "aAbB.**";
  auto make = [&](const std::string &alphabet, size_t maxLen) {
    std::string out(std::uniform_int_distribution<size_t>(0, maxLen)(rng), ' ');
    for (char &ch : out) ch = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return out;
  };
  int matches = 0;  // the generator must exercise matches as well as misses
  for (int i = 0; i < 50000; ++i) {
    const std::string s = make(letters, 8), pattern = make(patternLetters, 7);
    const int32_t expected = ReferenceMatch(s, pattern);
    ASSERT_EQ(STR_wildcardMatch(s.c_str(), pattern.c_str()), expected) << '"' << s << "\" ~ \"" << pattern << '"';
    matches += expected;
  }
  EXPECT_GT(matches, 1000);
}

TEST(SplitName, SeparatesDirectoryBaseAndExtension) {
  const struct { const char *path; int32_t size; const char *dir, *base, *ext; } cases[] = {
      {"/a/b/c.txt", 64, "/a/b/", "c", ".txt"},  {"/a.b/c", 64, "/a.b/", "c", ""},
      {"/x/c.tar.gz", 64, "/x/", "c.tar", ".gz"}, {"/x/c.", 64, "/x/", "c.", ""},
      {"/x/", 64, "/x/", "", ""},                 {"/file", 64, "/", "file", ""},
      {"/", 64, "/", "", ""},                     {"/x/.profile", 64, "/x/", "", ".profile"},
      {"", 64, "/", "", ""},                      {"/dir/longname.text", 4, "/di", "lon", ".te"},
      {"c.txt", 64, "", "c", ".txt"},             {"plain", 64, "", "plain", ""},  // bare names
      {"/a/b", 1, "", "", ""},
  };
  for (const auto &c : cases) {
    GuardedBuffer dir(static_cast<size_t>(c.size)), base(dir.size()), ext(dir.size());
    STR_splitName(c.path, dir.data(), base.data(), ext.data(), c.size);
    EXPECT_STREQ(dir.data(), c.dir) << c.path;
    EXPECT_STREQ(base.data(), c.base) << c.path;
    EXPECT_STREQ(ext.data(), c.ext) << c.path;
    EXPECT_TRUE(dir.Intact() && base.Intact() && ext.Intact()) << c.path;
  }
  GuardedBuffer none(0);
  STR_splitName("/a/b.c", none.data(), none.data(), none.data(), 0);
  EXPECT_TRUE(none.Intact());
}

TEST(SqueezedName, KeepsHeadAndTailAroundDotsWithinTheBuffer) {
  const std::string name = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMN";
  for (int32_t size = -1; size <= 40; ++size) {
    for (size_t len = 0; len <= 45; ++len) {
      const std::string in = name.substr(0, len);
      GuardedBuffer out(size > 0 ? static_cast<size_t>(size) : 0);
      EXPECT_EQ(STR_makeSqueezedName(in.c_str(), out.data(), size), out.data());
      ASSERT_TRUE(out.Intact()) << "len " << len << " size " << size;
      if (size < 1) continue;
      const std::string got = out.data();
      const size_t half = static_cast<size_t>(size / 2);
      if (static_cast<int64_t>(len) <= size - 2)
        EXPECT_EQ(got, in);
      else if (size < 6)
        EXPECT_EQ(got, in.substr(0, static_cast<size_t>(size) - 1));
      else
        EXPECT_EQ(got, in.substr(0, half - 2) + "..." + in.substr(len - (half - 3)))
            << "len " << len << " size " << size;
    }
  }
  char out[20];
  EXPECT_STREQ(STR_makeSqueezedName("abcdefghijklmnopqrs", out, 20), "abcdefgh...mnopqrs");
}

TEST(VersionName, AppendsMarkerGenerationExtensionAndDeletedWithinSize) {
  const struct { const char *name; int32_t deleted; int64_t gen; int32_t size; const char *out; } cases[] = {
      {"report.txt", 0, 3, 64, "report.txt-QM3.txt"},
      {"report.txt", 1, 3, 64, "report.txt-QM3.txtdeleted"},
      {"Makefile", 0, 12, 64, "Makefile-QM12"},
      {"data.archive", 0, 1, 64, "data.archive-QM1"},  // ".archive" is 8 bytes: no extension
      {"a.b.c", 0, 7, 64, "a.b.c-QM7.c"},
      {"x.123456", 0, 0, 64, "x.123456-QM0.123456"},   // exactly 7 bytes
      {"f", 0, -1, 64, "f-QM-1"},                      {"report.txt", 0, 3, 11, "report.txt"},
      {"report.txt", 0, 3, 14, "report.txt-QM"},       {"report.txt", 0, 3, 5, "repo"},
  };
  for (const auto &c : cases) {
    GuardedBuffer out(static_cast<size_t>(c.size));
    EXPECT_STREQ(STR_filebuildVersionName(c.name, c.deleted, c.gen, out.data(), c.size), c.out);
    EXPECT_TRUE(out.Intact()) << c.name << " size " << c.size;
  }
  GuardedBuffer none(0);
  EXPECT_EQ(STR_filebuildVersionName("a", 0, 1, none.data(), 0), none.data());
  EXPECT_TRUE(none.Intact());
}

}  // namespace
