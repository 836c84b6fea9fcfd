// The string basics, the file-name shaping and the UTF-8 <-> UTF-16
// converters. Every output lies in a guarded buffer, so a write outside it
// fails the test. Round trips of random text are the fuzz targets' job.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using namespace std::string_literals;
using Units = std::vector<uint16_t>;

// Runs op on a guarded buffer of `size` bytes (none below 1) that holds
// `before` when it fits, and answers the buffer's text.
std::string In(int64_t size, const std::string &before, const std::function<void(char *)> &op) {
  rtktest::GuardedBuffer buf(size > 0 ? static_cast<size_t>(size) : 0);
  if (before.size() < buf.size()) std::memcpy(buf.data(), before.c_str(), before.size() + 1);
  op(buf.data());
  EXPECT_TRUE(buf.Intact()) << '"' << before << "\" in " << size << " bytes";
  return size > 0 ? std::string(buf.data()) : "untouched";
}

TEST(Str, CopyAppendAndInPlaceEdits) {
  const auto copy = [](const char *src, int32_t n) { return [=](char *b) { STR_copy(b, src, n); }; };
  const auto cat = [](const char *src, int32_t n) { return [=](char *b) { STR_cat(b, src, n); }; };
  EXPECT_EQ(In(1, "", copy("abc", 1)) + In(3, "", copy("abc", 3)) + In(4, "", copy("abc", 4)), "ababc");
  EXPECT_EQ(In(0, "", copy("abc", 0)) + In(0, "", cat("abc", 1)) + In(0, "", cat("abc", 0)), "untouched" "untouched" "untouched");
  EXPECT_EQ(In(10, "abc", cat("defghijk", 10)) + "|" + In(2, "a", cat("bc", 2)), "abcdefgh|");
  EXPECT_EQ(In(10, "abcdefghi", cat("xyz", 10)) + "|" + In(10, "abcdefgh", cat("xyz", 10)), "abcdefgh|abcdefgh");
  EXPECT_EQ(In(8, "  a b  ", STR_trim) + "|" + In(8, "    ", STR_trim) + "|" + In(8, "\ta \t", STR_trim), "a b||\ta \t");
  EXPECT_EQ(In(10, "world", [](char *b) { EXPECT_EQ(STR_insertStr(b, 10, "hello "), b + 5); }), "world");
  EXPECT_EQ(In(12, "world", [](char *b) { EXPECT_EQ(STR_insertStr(b, 12, "hello "), b + 6); }), "hello world");
  const struct { const char *in, *from, *to; uint32_t size; const char *out; int32_t count; } substitutions[] = {
      {"a\\b\\c", "\\", "\\\\", 64, "a\\\\b\\\\c", 2}, {"a\\b\\c", "\\", "\\\\", 7, "a\\\\bc", 2},
      {"aaa", "a", "aa", 64, "aaaaaa", 3},  {"xAx", "a", "b", 64, "xAx", 0},
      {"abc", "", "zz", 64, "abc", 0},      {"abcabc", "abc", "", 64, "", 2}};
  for (const auto &c : substitutions)
    EXPECT_EQ(In(c.size, c.in, [&c](char *b) { EXPECT_EQ(STR_substitute(b, c.size, c.from, c.to), c.count); }), c.out);
  EXPECT_EQ(In(5, "\\x\\", [](char *b) { EXPECT_EQ(STR_expandSlashes(b, 5), 2); }), "\\\\x");
  EXPECT_EQ(In(8, "abcdef", [](char *b) { EXPECT_EQ(STR_removeChars(b, 2), b); }) + In(8, "ab", [](char *b) { STR_removeChars(b, 9); }), "cdef");
}

TEST(Str, NumbersComparisonAndSearch) {
  const struct { const char *text; int64_t value; } numbers[] = {
      {"  -12k", -12288}, {"+5", 0}, {"0x10", 0}, {"7G", 7516192768LL}, {"", 0}, {"-", 0}, {"5 M", 5},
      {"12KB", 12288}, {"\t\n 3m", 3145728}, {"- 5", 0}, {"-9223372036854775808", INT64_MIN}, {"18446744073709551617", 1}};
  for (const auto &c : numbers) EXPECT_EQ(STR_toll(c.text), c.value) << '"' << c.text << '"';
  const struct { const char *a, *b; int32_t n, result; } compares[] = {  // n < 0: STR_strcasecmp
      {"ABC", "abc", -1, 0}, {"a", "_", -1, 'A' - '_'}, {"ab", "a", -1, 1}, {"a", "ab", -1, -1},
      {"\xE9", "\xC9", -1, 0xE9 - 0xC9}, {"abc", "abd", 2, 0}, {"abc", "abc", 10, 0}, {"ab", "abc", 10, -1},
      {"abc", "ab", 10, 1}, {"x", "y", 0, 0}, {"abC", "ABd", 3, -1}};
  for (const auto &c : compares)
    EXPECT_EQ(c.n < 0 ? STR_strcasecmp(c.a, c.b) : STR_strncasecmp(c.a, c.b, c.n), c.result) << c.a << "/" << c.b << " " << c.n;
  const char *const levels[] = {"Coarse", "Medium", "Fine"};
  EXPECT_EQ(STR_str2enum("medium", levels, 3) * 10 + STR_str2enum("Fine", levels, 2) + STR_str2enum("Coarse", levels, -4), 8);
  for (const char *text : {"", "12a", "-1", " 1", "0123"}) EXPECT_EQ(STR_isNumeric(text), text[0] == '0') << text;
  const struct { const char *hay, *needle; bool dir; int offset; } searches[] = {  // -1: none
      {"Hello World", "WORLD", false, 6}, {"Hello", "", false, -1}, {"aab", "AB", false, 1}, {"abc", "abcd", false, -1},
      {"/a/foobar", "foo", true, 3}, {"xfoo/foo", "FOO", true, 5}, {"/afoo/bfoo", "foo", true, -1}};
  for (const auto &c : searches)
    EXPECT_EQ(c.dir ? STR_withinDir(c.hay, c.needle) : STR_strstrcase(c.hay, c.needle), c.offset < 0 ? nullptr : c.hay + c.offset) << c.hay;
}

TEST(Str, Formatting) {
  const struct { const char *digits, *grouped; } groups[] = {{"123", "123"}, {"1000", "1,000"}, {"", ""}, {"1234567", "1,234,567"},
      {"-123", "-123"}, {"-123456", "-123,456"}};  // each in just enough bytes
  for (const auto &c : groups) EXPECT_EQ(In(static_cast<int64_t>(std::strlen(c.grouped)) + 1, c.digits, STR_commize), c.grouped);
  const struct { int64_t bytes; const char *text; } pretty[] = {{0, "0"}, {1024, "1,024"}, {1025, "1K"}, {1048576, "1,024K"},
      {1048577, "1M"}, {5000000, "4M"}, {INT64_MIN, "-922,337,203,685,477,580"}};
  for (const auto &c : pretty) EXPECT_EQ(In(26, "", [&c](char *b) { STR_pretty(b, c.bytes); }), c.text);
  EXPECT_EQ(In(10, "1234567", [](char *b) { STR_thousandths = '.', STR_commize(b), STR_thousandths = ','; }), "1.234.567");
  for (int32_t size : {-3, 0, 1, 5, 40})
    EXPECT_EQ(In(size, "", [size](char *b) { EXPECT_EQ(STR_snprintf(b, size, "%s-%d", "abcd", 42), b); }),
              size < 1 ? "untouched" : std::string("abcd-42").substr(0, static_cast<size_t>(size) - 1));
  EXPECT_EQ(In(4, "", [](char *b) { STR_64toString(b, 4, -98765); }) + In(24, "", [](char *b) { STR_64toString(b, 24, INT64_MIN); }) +
                In(24, "", [](char *b) { STR_64toString(b, 24, 100200300); }) + In(3, "", [](char *b) { STR_64toString(b, 3, 7); }),
            "-98-92233720368547758081002003007");
}

TEST(StrNames, WildcardMatchTakesTheLastOccurrence) {
  const struct { const char *s, *pattern; int32_t match; } cases[] = {
      {"FILE.TXT", "*.txt", 1}, {"a.txt.bak", "*.txt", 0}, {"abcbc", "a*c", 1}, {"", "", 1}, {"a", "", 0}, {"", "*", 1},
      {"", "*x", 0}, {"abc", "abc*", 1}, {"ab", "abc*", 0}, {"a", "a*", 1}, {"ab", "a*b*", 0}, {"abc", "a*b*", 1},
      {"b", "*b*", 0}, {"a", "a**z", 1}, {"abXa", "*a*b*", 0}, {"xyx", "*x*y*", 0}, {"\xE9", "\xC9", 0}, {"b", "*ab", 0}};
  for (const auto &c : cases) EXPECT_EQ(STR_wildcardMatch(c.s, c.pattern), c.match) << c.s << " ~ " << c.pattern;
  EXPECT_EQ(STR_wildcardMatch(nullptr, "*") + STR_wildcardMatch("a", nullptr), 0);
}

TEST(StrNames, SplitSqueezeAndVersionNames) {
  const struct { const char *path; int32_t size; const char *parts; } splits[] = {  // dir|base|ext
      {"/a/b/c.txt", 64, "/a/b/|c|.txt"}, {"/a.b/c", 64, "/a.b/|c|"}, {"/x/c.tar.gz", 64, "/x/|c.tar|.gz"},
      {"/x/c.", 64, "/x/|c.|"}, {"/x/", 64, "/x/||"}, {"/file", 64, "/|file|"}, {"/", 64, "/||"},
      {"/x/.profile", 64, "/x/||.profile"}, {"", 64, "/||"}, {"/dir/longname.text", 4, "/di|lon|.te"},
      {"c.txt", 64, "|c|.txt"}, {"plain", 64, "|plain|"}, {"/a/b", 1, "||"}, {"/a/b.c", 0, "||"}};
  for (const auto &c : splits) {
    rtktest::GuardedBuffer dir(static_cast<size_t>(c.size)), base(dir.size()), ext(dir.size());
    STR_splitName(c.path, dir.data(), base.data(), ext.data(), c.size);
    EXPECT_EQ((c.size ? std::string(dir.data()) + "|" + base.data() + "|" + ext.data() : "||") +
                  (dir.Intact() && base.Intact() && ext.Intact() ? "" : " and past it"), c.parts) << c.path;
  }
  const std::string name = "abcdefghijklmnopqrstuvwxyz0123";
  const struct { size_t length; int32_t size; const char *squeezed; } squeezes[] = {
      {18, 20, "abcdefghijklmnopqr"}, {19, 20, "abcdefgh...mnopqrs"}, {30, 20, "abcdefgh...xyz0123"},
      {30, 22, "abcdefghi...wxyz0123"}, {9, 6, "a..."}, {9, 5, "abcd"}, {9, 0, "untouched"}};
  for (const auto &c : squeezes)
    EXPECT_EQ(In(c.size, "", [&](char *b) { EXPECT_EQ(STR_makeSqueezedName(name.substr(0, c.length).c_str(), b, c.size), b); }), c.squeezed);
  const struct { const char *name; int32_t deleted; int64_t gen; int32_t size; const char *out; } versions[] = {
      {"report.txt", 0, 3, 64, "report.txt-QM3.txt"}, {"report.txt", 1, 3, 64, "report.txt-QM3.txtdeleted"},
      {"Makefile", 0, 12, 64, "Makefile-QM12"}, {"data.archive", 0, 1, 64, "data.archive-QM1"}, {"a.b.c", 0, 7, 64, "a.b.c-QM7.c"},
      {"x.123456", 0, 0, 64, "x.123456-QM0.123456"}, {"f", 0, -1, 64, "f-QM-1"}, {"report.txt", 0, 3, 11, "report.txt"},
      {"report.txt", 0, 3, 14, "report.txt-QM"}, {"report.txt", 0, 3, 5, "repo"}, {"a", 0, 1, 0, "untouched"}};
  for (const auto &c : versions)
    EXPECT_EQ(In(c.size, "", [&c](char *b) { EXPECT_EQ(STR_filebuildVersionName(c.name, c.deleted, c.gen, b, c.size), b); }), c.out);
}

TEST(Utf, EightToSixteenStoresUpToTheLastIndexAndKeepsPartialOutput) {
  const std::string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const struct { std::string in; int64_t last; int32_t result; Units stored; } cases[] = {
      {mixed, 4, 5, {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}}, {mixed, 3, -1, {0x41, 0xE9, 0x20AC, 0xD83D}},
      {"\xF4\x8F\xBF\xBF", 1, 2, {0xDBFF, 0xDFFF}}, {"\xE2\x82", 9, -1, {}}, {"x\x80", 9, -1, {'x'}}, {"\xFF", 9, -1, {}},
      {"\xC3" "A", 9, -1, {}}, {"a", 0, 1, {'a'}}, {"ab", 0, -1, {'a'}}, {"", 0, 0, {}}, {"a", -1, -1, {}}, {"", -5, 0, {}},
      {std::string(12, 'a'), 6, -1, Units(7, 'a')}, {"abcdefghi\xFFjklm", 20, -1, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}}};
  for (const auto &c : cases) {
    rtktest::GuardedBuffer out(c.last >= 0 ? 2 * static_cast<size_t>(c.last + 1) : 0);
    auto *units = reinterpret_cast<uint16_t *>(out.data());
    EXPECT_EQ(utf8array_to_utf16asciz(reinterpret_cast<const uint8_t *>(c.in.data()), c.in.size(), units, c.last), c.result);
    EXPECT_EQ(Units(units, units + c.stored.size()), c.stored) << c.in.size() << " bytes, last index " << c.last;
    EXPECT_TRUE(out.Intact());
  }
}

TEST(Utf, SixteenToEightPairsSurrogatesAndCutsAtTheEnd) {
  const struct { Units in; int32_t size, result; std::string stored; } cases[] = {
      {{0xD83D, 0xDE00, 0xD83D, 0xDE00}, 9, 8, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\0"s}, {{0xD800}, 8, 3, "\xED\xA0\x80\0"s},
      {{0xDC00, 0xD800, 'a'}, 8, 7, "\xED\xB0\x80\xED\xA0\x80" "a\0"s}, {{'a', 0xE9}, 3, 3, "a\xC3\0"s}, {{0x20AC, 'z'}, 2, 2, "\xE2\0"s},
      {{'x'}, 1, 1, "\0"s}, {{}, 1, 0, "\0"s}, {{0x7FF, 0x800}, 16, 5, "\xDF\xBF\xE0\xA0\x80\0"s}, {{'a'}, 0, 0, ""},
      {{'a'}, INT32_MIN, 0, ""}, {Units(12, 'a'), 9, 9, "aaaaaaaa\0"s}, {{0x20AC, 0x20AC, 0x20AC}, 7, 7, "\xE2\x82\xAC\xE2\x82\xAC\0"s},
      {{0x20AC, 0xD83D, 0xDE00}, 6, 6, "\xE2\x82\xAC\xF0\x9F\0"s}, {{'a', 'b', 0xE9, 'c', 'd', 'e', 'f', 'g', 'h', 0xE9, 'i', 'j', 'k',
      'l', 'm', 'n', 'o', 'p', 0x20AC, 'x'}, 64, 24, "ab\xC3\xA9" "cdefgh\xC3\xA9" "ijklmnop\xE2\x82\xAC" "x\0"s}};
  for (const auto &c : cases) {
    rtktest::GuardedBuffer out(c.size > 0 ? static_cast<size_t>(c.size) : 0);
    EXPECT_EQ(utf16array_to_utf8asciz(c.in.data(), c.in.size(), reinterpret_cast<uint8_t *>(out.data()), c.size), c.result);
    EXPECT_EQ(std::string(out.data(), c.stored.size()), c.stored) << c.in.size() << " units into " << c.size;
    EXPECT_TRUE(out.Intact());
  }
}

}  // namespace
