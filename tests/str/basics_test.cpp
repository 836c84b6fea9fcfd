// Bounded copy, append, parse, compare, search, format and in-place edits.
// Output buffers are guarded so that a write outside them fails the test.
#include <cstring>
#include <string>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;

// A guarded buffer of `size` bytes (none when size < 1) holding `text` if it fits.
GuardedBuffer Holding(const std::string &text, int64_t size) {
  GuardedBuffer buf(size > 0 ? static_cast<size_t>(size) : 0);
  if (text.size() < buf.size()) std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  return buf;
}

TEST(StrBounded, CopyCutsToSizeMinusOneAndCatToSizeMinusTwo) {
  const struct { bool cat; const char *before, *src; int32_t size; const char *expected; } cases[] = {
      {false, "", "abc", 1, ""},         {false, "", "abc", 3, "ab"},   {false, "", "abc", 4, "abc"},
      {false, "", "abc", 0, nullptr},    {false, "", "abc", -7, nullptr},  // nullptr: untouched
      {true, "abc", "defghijk", 10, "abcdefgh"}, {true, "abcdefghi", "xyz", 10, "abcdefgh"},
      {true, "abcdefgh", "xyz", 10, "abcdefgh"}, {true, "a", "bc", 2, ""},
      {true, "", "abc", 1, nullptr},     {true, "", "abc", 0, nullptr},
  };
  for (const auto &c : cases) {
    GuardedBuffer buf = Holding(c.before, c.size);
    const std::string untouched(buf.data(), buf.size());
    (c.cat ? STR_cat : STR_copy)(buf.data(), c.src, c.size);
    const std::string got = c.expected ? std::string(buf.data()) : std::string(buf.data(), buf.size());
    EXPECT_EQ(got, c.expected ? c.expected : untouched) << c.before << "+" << c.src << " size " << c.size;
    EXPECT_TRUE(buf.Intact()) << c.before << "+" << c.src << " size " << c.size;
  }
}

TEST(StrToll, ParsesSignDigitsAndOneUnitLetter) {
  const struct { const char *text; int64_t value; } cases[] = {
      {"  -12k", -12288}, {"+5", 0}, {"0x10", 0}, {"7G", 7516192768LL}, {"", 0}, {"-", 0},
      {"5 M", 5}, {"12KB", 12288}, {"\t\n 3m", 3145728}, {"- 5", 0},
      {"-9223372036854775808", INT64_MIN}, {"18446744073709551617", 1},  // wraps
  };
  for (const auto &c : cases) EXPECT_EQ(STR_toll(c.text), c.value) << '"' << c.text << '"';
}

TEST(StrCompare, FoldsAsciiLettersOnly) {
  const struct { const char *a, *b; int32_t n, result; } cases[] = {
      // n < 0: STR_strcasecmp; otherwise STR_strncasecmp over n.
      {"ABC", "abc", -1, 0}, {"a", "_", -1, 'A' - '_'}, {"ab", "a", -1, 1}, {"a", "ab", -1, -1},
      {"\xE9", "\xC9", -1, 0xE9 - 0xC9}, {"abc", "abd", 2, 0}, {"abc", "abc", 10, 0},
      {"ab", "abc", 10, -1}, {"abc", "ab", 10, 1}, {"x", "y", 0, 0}, {"abC", "ABd", 3, -1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.n < 0 ? STR_strcasecmp(c.a, c.b) : STR_strncasecmp(c.a, c.b, c.n), c.result)
        << c.a << " vs " << c.b << " n " << c.n;
  const char *const levels[] = {"Coarse", "Medium", "Fine"};
  EXPECT_EQ(STR_str2enum("medium", levels, 3), 1);
  EXPECT_EQ(STR_str2enum("Fine", levels, 2), -1);
  EXPECT_EQ(STR_str2enum("Coarse", levels, -4), -1);
  for (const char *text : {"", "12a", "-1", " 1"}) EXPECT_EQ(STR_isNumeric(text), 0) << text;
  EXPECT_EQ(STR_isNumeric("0123"), 1);
}

TEST(StrSearch, FindsCaseInsensitivelyAndAtComponentStarts) {
  const struct { const char *hay, *needle; bool dir; int offset; } cases[] = {
      // offset -1: no match. dir: STR_withinDir instead of STR_strstrcase.
      {"Hello World", "WORLD", false, 6}, {"Hello", "", false, -1}, {"aab", "AB", false, 1},
      {"abc", "abcd", false, -1},         {"/a/foobar", "foo", true, 3},
      {"xfoo/foo", "FOO", true, 5},       {"/afoo/bfoo", "foo", true, -1},
  };
  for (const auto &c : cases) {
    const char *hit = c.dir ? STR_withinDir(c.hay, c.needle) : STR_strstrcase(c.hay, c.needle);
    EXPECT_EQ(hit, c.offset < 0 ? nullptr : c.hay + c.offset) << c.hay << " / " << c.needle;
  }
}

TEST(StrFormat, GroupsDigitsAndRendersByteCounts) {
  const struct { const char *digits, *grouped; } groups[] = {
      {"123", "123"}, {"1000", "1,000"}, {"", ""}, {"1234567", "1,234,567"},
      {"-123", "-123"}, {"-123456", "-123,456"},  // the sign stays out of the groups
  };
  for (const auto &g : groups) {
    GuardedBuffer buf = Holding(g.digits, std::strlen(g.grouped) + 1);
    STR_commize(buf.data());
    EXPECT_STREQ(buf.data(), g.grouped);
    EXPECT_TRUE(buf.Intact()) << g.digits;
  }
  const struct { int64_t bytes; const char *text; } pretty[] = {
      {0, "0"}, {1024, "1,024"}, {1025, "1K"}, {1048576, "1,024K"}, {1048577, "1M"},
      {5000000, "4M"}, {INT64_MIN, "-922,337,203,685,477,580"},  // cut to 19 characters first
  };
  for (const auto &p : pretty) {
    GuardedBuffer buf(26);
    EXPECT_STREQ(STR_pretty(buf.data(), p.bytes), p.text);
    EXPECT_TRUE(buf.Intact()) << p.bytes;
  }
  STR_thousandths = '.';
  char dotted[16] = "1234567";
  STR_commize(dotted);
  STR_thousandths = ',';
  EXPECT_STREQ(dotted, "1.234.567");
}

TEST(StrFormat, SnprintfZeroesTheLastByteAndWritesNothingBelowSizeOne) {
  for (int32_t size : {-3, 0, 1, 5, 40}) {
    GuardedBuffer buf(size > 0 ? static_cast<size_t>(size) : 0, 'x');
    STR_snprintf(buf.data(), size, "%s-%d", "abcd", 42);
    const std::string want = size < 1 ? "" : std::string("abcd-42").substr(0, size - 1);
    EXPECT_EQ(std::string(buf.data(), want.size()), want);
    EXPECT_TRUE(size < 1 || buf.data()[size - 1] == '\0') << size;
    EXPECT_TRUE(buf.Intact()) << size;
  }
  GuardedBuffer small(4);
  EXPECT_STREQ(STR_64toString(small.data(), 4, -98765), "-98");
  EXPECT_TRUE(small.Intact());
  for (const auto &[value, text] : {std::pair<int64_t, const char *>{0, "0"}, {10, "10"}, {-7, "-7"},
                                    {INT64_MIN, "-9223372036854775808"}, {1234567, "1234567"}}) {
    char number[24];
    EXPECT_STREQ(STR_64toString(number, sizeof number, value), text);
  }
}

TEST(StrEdit, TrimAndInsert) {
  for (const auto &[in, out] : {std::pair{"  a b  ", "a b"}, {"    ", ""}, {"\ta \t", "\ta \t"}}) {
    std::string copy = in;
    STR_trim(copy.data());
    EXPECT_STREQ(copy.c_str(), out) << '"' << in << '"';
  }
  GuardedBuffer full = Holding("world", 10), fits = Holding("world", 12);
  EXPECT_EQ(STR_insertStr(full.data(), 10, "hello "), full.data() + 5);
  EXPECT_EQ(STR_insertStr(fits.data(), 12, "hello "), fits.data() + 6);
  EXPECT_STREQ(full.data(), "world");
  EXPECT_STREQ(fits.data(), "hello world");
  EXPECT_TRUE(full.Intact() && fits.Intact());
}

TEST(StrEdit, SubstituteResumesAfterEachReplacementAndStopsWhenFull) {
  const struct { const char *in, *from, *to; uint32_t size; const char *out; int32_t count; } cases[] = {
      {"a\\b\\c", "\\", "\\\\", 64, "a\\\\b\\\\c", 2},
      {"a\\b\\c", "\\", "\\\\", 7, "a\\\\bc", 2},  // the second one no longer fits
      {"aaa", "a", "aa", 64, "aaaaaa", 3},         // a replacement is not searched again
      {"xAx", "a", "b", 64, "xAx", 0},             // case-sensitive
      {"abc", "", "zz", 64, "abc", 0},             // nothing to find: no endless loop
      {"abcabc", "abc", "", 64, "", 2},
  };
  for (const auto &c : cases) {
    GuardedBuffer buf = Holding(c.in, c.size);
    EXPECT_EQ(STR_substitute(buf.data(), c.size, c.from, c.to), c.count) << c.in;
    EXPECT_STREQ(buf.data(), c.out) << c.in;
    EXPECT_TRUE(buf.Intact()) << c.in;
  }
  GuardedBuffer slashes = Holding("\\x\\", 5);
  EXPECT_EQ(STR_expandSlashes(slashes.data(), 5), 2);
  EXPECT_STREQ(slashes.data(), "\\\\x");
  EXPECT_TRUE(slashes.Intact());
}

}  // namespace
