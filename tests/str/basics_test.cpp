// Bounded copy, append, parse, compare, search, format and in-place edits.
// Every output buffer is guarded so that a write outside it fails the test.
#include <climits>
#include <cstring>
#include <string>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;

// A guarded buffer of `size` bytes whose start holds `text` (which must fit).
GuardedBuffer Holding(const std::string &text, size_t size) {
  GuardedBuffer buf(size);
  if (size > 0) std::memcpy(buf.data(), text.c_str(), std::min(text.size() + 1, size));
  return buf;
}

struct BoundedCase {
  const char *before;  // string already in the buffer (STR_cat only)
  const char *src;
  int32_t size;
  const char *expected;  // nullptr: the buffer must be left as it was
};

TEST(StrCopy, CutsToSizeAndAlwaysTerminates) {
  const BoundedCase cases[] = {
      {"", "abc", 1, ""},          {"", "abc", 3, "ab"}, {"", "abc", 4, "abc"},
      {"", "abc", 100, "abc"},     {"", "", 5, ""},      {"", "abc", 0, nullptr},
      {"", "abc", -7, nullptr},
  };
  for (const auto &c : cases) {
    GuardedBuffer buf(c.size > 0 ? static_cast<size_t>(c.size) : 0);
    const std::string untouched(buf.data(), buf.size());
    EXPECT_EQ(STR_copy(buf.data(), c.src, c.size), buf.data());
    if (c.expected)
      EXPECT_STREQ(buf.data(), c.expected) << c.src << " size " << c.size;
    else
      EXPECT_EQ(std::string(buf.data(), buf.size()), untouched);
    EXPECT_TRUE(buf.Intact()) << "size " << c.size;
  }
}

TEST(StrCat, KeepsAtMostSizeMinusTwoCharacters) {
  const BoundedCase cases[] = {
      {"abc", "defghijk", 10, "abcdefgh"},  // cut one byte short of the buffer
      {"abcdefghi", "xyz", 10, "abcdefgh"}, // already full: cut, nothing appended
      {"abcdefgh", "xyz", 10, "abcdefgh"},  // exactly size - 2: nothing appended
      {"abc", "de", 10, "abcde"},
      {"", "abcdef", 4, "ab"},
      {"a", "bc", 2, ""},                   // size 2 holds no character at all
      {"", "abc", 1, nullptr},              // sizes below 2 leave the buffer alone
      {"", "abc", 0, nullptr},
  };
  for (const auto &c : cases) {
    const size_t size = c.size > 0 ? static_cast<size_t>(c.size) : 0;
    GuardedBuffer buf = Holding(c.before, size);
    const std::string untouched(buf.data(), buf.size());
    EXPECT_EQ(STR_cat(buf.data(), c.src, c.size), buf.data());
    if (c.expected)
      EXPECT_STREQ(buf.data(), c.expected) << c.before << "+" << c.src << " size " << c.size;
    else
      EXPECT_EQ(std::string(buf.data(), buf.size()), untouched);
    EXPECT_TRUE(buf.Intact()) << c.before << "+" << c.src << " size " << c.size;
  }
}

TEST(StrToll, ParsesSignDigitsAndOneUnitLetter) {
  const struct { const char *text; int64_t value; } cases[] = {
      {"  -12k", -12288},          {"+5", 0},           {"0x10", 0},
      {"7G", 7516192768LL},        {"", 0},             {"-", 0},
      {"5 M", 5},                  {"12KB", 12288},     {"\t\n 42", 42},
      {"3m", 3145728},             {"007", 7},          {"- 5", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"18446744073709551617", 1},  // wraps in 64 bits
  };
  for (const auto &c : cases) EXPECT_EQ(STR_toll(c.text), c.value) << '"' << c.text << '"';
}

int Sign(int32_t v) { return (v > 0) - (v < 0); }

TEST(StrCompare, FoldsAsciiLettersOnly) {
  const struct { const char *a, *b; int32_t n; int sign; } cases[] = {
      // n < 0 means STR_strcasecmp, otherwise STR_strncasecmp with n.
      {"ABC", "abc", -1, 0},  {"a", "_", -1, -1},    {"ab", "a", -1, 1},
      {"a", "ab", -1, -1},    {"", "", -1, 0},       {"\xE9", "\xC9", -1, 1},
      {"abc", "abd", 2, 0},   {"abc", "abc", 10, 0}, {"ab", "abc", 10, -1},
      {"abc", "ab", 10, 1},   {"x", "y", 0, 0},      {"abC", "ABd", 3, -1},
  };
  for (const auto &c : cases) {
    const int32_t r = c.n < 0 ? STR_strcasecmp(c.a, c.b) : STR_strncasecmp(c.a, c.b, c.n);
    EXPECT_EQ(Sign(r), c.sign) << c.a << " vs " << c.b << " n " << c.n;
  }
  // The exact answers the callers rely on: the folded difference or +-1.
  EXPECT_EQ(STR_strcasecmp("a", "_"), 'A' - '_');
  EXPECT_EQ(STR_strcasecmp("ab", "a"), 1);
  EXPECT_EQ(STR_strncasecmp("a", "abc", 5), -1);
}

TEST(StrCompare, EnumLookupAndNumericTest) {
  const char *const levels[] = {"Coarse", "Medium", "Fine"};
  EXPECT_EQ(STR_str2enum("medium", levels, 3), 1);
  EXPECT_EQ(STR_str2enum("FINE", levels, 3), 2);
  EXPECT_EQ(STR_str2enum("Fine", levels, 2), -1);
  EXPECT_EQ(STR_str2enum("Finest", levels, 3), -1);
  EXPECT_EQ(STR_str2enum("Coarse", levels, 0), -1);
  EXPECT_EQ(STR_str2enum("Coarse", levels, -4), -1);

  const struct { const char *text; int32_t numeric; } cases[] = {
      {"0123", 1}, {"", 0}, {"12a", 0}, {"-1", 0}, {" 1", 0}, {"9", 1}};
  for (const auto &c : cases) EXPECT_EQ(STR_isNumeric(c.text), c.numeric) << c.text;
}

TEST(StrSearch, FindsCaseInsensitivelyAndAtComponentStarts) {
  const struct { const char *hay, *needle; bool dir; int offset; } cases[] = {
      // offset -1: no match. dir: STR_withinDir instead of STR_strstrcase.
      {"Hello World", "WORLD", false, 6}, {"Hello", "", false, -1},
      {"", "a", false, -1},               {"aab", "AB", false, 1},
      {"abc", "abcd", false, -1},
      {"/a/foobar", "foo", true, 3},      {"xfoo/foo", "FOO", true, 5},
      {"foo/x", "foo", true, 0},          {"/afoo/bfoo", "foo", true, -1},
  };
  for (const auto &c : cases) {
    const char *hit = c.dir ? STR_withinDir(c.hay, c.needle) : STR_strstrcase(c.hay, c.needle);
    if (c.offset < 0)
      EXPECT_EQ(hit, nullptr) << c.hay << " / " << c.needle;
    else
      EXPECT_EQ(hit, c.hay + c.offset) << c.hay << " / " << c.needle;
  }
}

TEST(StrFormat, NumbersGroupsAndByteCounts) {
  const struct { const char *digits, *grouped; } groups[] = {
      {"123", "123"}, {"1000", "1,000"}, {"", ""}, {"1234567", "1,234,567"},
      {"123456", "123,456"}, {"-123", "-123"}, {"-1234", "-1,234"}, {"-123456", "-123,456"},
  };
  for (const auto &g : groups) {
    GuardedBuffer buf = Holding(g.digits, std::strlen(g.grouped) + 1);
    STR_commize(buf.data());
    EXPECT_STREQ(buf.data(), g.grouped);
    EXPECT_TRUE(buf.Intact()) << g.digits;
  }

  const struct { int64_t bytes; const char *text; } pretty[] = {
      {0, "0"}, {1024, "1,024"}, {1025, "1K"}, {1048576, "1,024K"}, {1048577, "1M"},
      {5000000, "4M"}, {-5000, "-5,000"}, {INT64_MAX, "8,796,093,022,207M"},
      {INT64_MIN, "-922,337,203,685,477,580"},  // cut to 19 characters before grouping
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

  GuardedBuffer small(4);
  EXPECT_STREQ(STR_64toString(small.data(), 4, -98765), "-98");
  EXPECT_TRUE(small.Intact());
}

TEST(StrFormat, SnprintfTerminatesAndNeverWritesBelowSizeOne) {
  for (int32_t size : {-3, 0, 1, 2, 5, 40}) {
    GuardedBuffer buf(size > 0 ? static_cast<size_t>(size) : 0);
    const std::string untouched(buf.data(), buf.size());
    EXPECT_EQ(STR_snprintf(buf.data(), size, "%s-%d", "abcd", 42), buf.data());
    if (size < 1)
      EXPECT_EQ(std::string(buf.data(), buf.size()), untouched);
    else
      EXPECT_EQ(std::string(buf.data()), std::string("abcd-42").substr(0, size - 1));
    EXPECT_TRUE(buf.Intact()) << size;
  }
  // The last byte is zeroed even when the text is shorter.
  GuardedBuffer buf(8, 'x');
  STR_snprintf(buf.data(), 8, "ab");
  EXPECT_EQ(buf.data()[7], '\0');
  EXPECT_EQ(buf.data()[3], 'x');
}

TEST(StrEdit, RemoveTrimAndInsert) {
  char s[16] = "abcdef";
  EXPECT_STREQ(STR_removeChars(s, 2), "cdef");
  EXPECT_STREQ(STR_removeChars(s, 99), "");

  const struct { const char *in, *out; } trims[] = {
      {"  a b  ", "a b"}, {"    ", ""}, {"\ta \t", "\ta \t"}, {"", ""}};
  for (const auto &t : trims) {
    std::string copy = t.in;
    STR_trim(copy.data());
    EXPECT_STREQ(copy.c_str(), t.out) << '"' << t.in << '"';
  }

  GuardedBuffer full = Holding("world", 10);
  EXPECT_EQ(STR_insertStr(full.data(), 10, "hello "), full.data() + 5);
  EXPECT_STREQ(full.data(), "world");
  GuardedBuffer fits = Holding("world", 12);
  EXPECT_EQ(STR_insertStr(fits.data(), 12, "hello "), fits.data() + 6);
  EXPECT_STREQ(fits.data(), "hello world");
  EXPECT_TRUE(full.Intact() && fits.Intact());
}

TEST(StrEdit, SubstituteResumesAfterEachReplacementAndStopsWhenFull) {
  const struct { const char *in, *from, *to; uint32_t size; const char *out; int32_t count; } cases[] = {
      {"a\\b\\c", "\\", "\\\\", 64, "a\\\\b\\\\c", 2},
      {"a\\b\\c", "\\", "\\\\", 7, "a\\\\bc", 2},      // the second one no longer fits
      {"aaa", "a", "aa", 64, "aaaaaa", 3},             // a replacement is not searched again
      {"xAx", "a", "b", 64, "xAx", 0},                 // case-sensitive
      {"one two one", "one", "1", 64, "1 two 1", 2},
      {"abc", "", "zz", 64, "abc", 0},                 // nothing to find: no endless loop
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

  char once[32] = "path/to/file";
  EXPECT_EQ(STR_substitute1(once, sizeof once, "/", "::"), once + 6);
  EXPECT_STREQ(once, "path::to/file");
  EXPECT_EQ(STR_substitute1(once, sizeof once, "#", "x"), nullptr);
}

}  // namespace
