// The attribute scanner: quoting and nesting, the path flag, blanking, entity
// order, keyword boundaries, truncation and the safe answers for unusable
// buffers. Every text and output buffer is guarded.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "qmxml.h"
#include "rtktest.h"

namespace {

// Runs op on a guarded copy of text in `size` bytes (default: just enough)
// and answers the text afterwards.
std::string Edited(const std::string &text, const std::function<void(char *)> &op, size_t size = 0) {
  rtktest::GuardedBuffer buf(std::max(size, text.size() + 1));
  std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  op(buf.data());
  EXPECT_TRUE(buf.Intact()) << text;
  return buf.data();
}

TEST(XmlGetAssignment, FindsQuotesNestsAndBlanks) {
  // [...] marks what the call blanks (and that the key is found); "dflt" is the default.
  const struct { const char *marked, *key, *value; int32_t outSize = 64; } cases[] = {
      {"<kversion [version=\"1.0.0.8\"]/>", "version", "1.0.0.8"}, {"<t mask=\"R\" [program=\"\"] />", "program", ""},
      {"<hook [file=/data/a]/>", "file", "/data/a"}, {"<m [t=\"it's\" u=\"x\"/>]", "t", "it's\" u=\"x\"/>"},  // ' nests
      {"<m [t=\"/it's\"] u=\"x\"/>", "t", "/it's"}, {"<m [t=\"C:\\it's\"] u=1/>", "t", "C:\\it's"},  // in a path ' is plain
      {"<m [t=\"abc/it's\"] u=1/>", "t", "abc/it's"}, {"<m [t=\"abcd/it's\">]", "t", "abcd/it's\">"},
      {"<m [t='/a' u='1'/>]", "t", "/a' u='1'/>"}, {"<m [n=it's two] three>", "n", "it's two"}, {"<a keyx=1 [key=2]>", "key", "2"},
      {"<<[key=3] b=\"x key\">", "key", "3"}, {"a<key=4 [key=5]>", "key", "5"}, {"<a [KEY=\"v\"]>", "key", "v"},
      {"<a x=\"y [key=v\"]>", "key", "v\""}, {"<a\tkey=\"v\"/>", "key", "dflt"}, {"<a [k=] x>", "k", ""}, {"<a [k=]>", "k", ""},
      {"<a [flag]/>", "flag", ""}, {"<a [flag]", "flag", ""}, {"<a [k=\"a&amp;lt;b&amp;quot;c\"]>", "k", "a<b&quot;c"},
      {"<a [k=\"ab  \"]>", "k", "ab  "}, {"<a [k=ab\t\t] c>", "k", "ab"}, {"<a [k=\t\t] c>", "k", "\t"}, {"<a [k=\"abc]", "k", "abc"},
      {"<a [k=\"abcdef\"] j=1>", "k", "abc", 4}, {"<a [k=abcdef] j=1>", "k", "", 1}, {"", "k", "dflt"}};
  for (const auto &c : cases) {
    std::string in = c.marked, rest = c.marked;
    const size_t from = in.find('['), to = in.find(']');
    if (from != std::string::npos) in.erase(to, 1).erase(from, 1), rest.replace(from, to - from + 1, to - from - 1, ' ');
    rtktest::GuardedBuffer out(static_cast<size_t>(c.outSize));
    EXPECT_EQ(Edited(in, [&](char *text) {
      EXPECT_EQ(xml_getAssignment(text, c.key, out.data(), c.outSize, "dflt"), from != std::string::npos ? out.data() : nullptr);
    }) + "|" + out.data(), rest + "|" + c.value) << in << " / " << c.key;
    EXPECT_TRUE(out.Intact()) << in;
  }
}

TEST(XmlGetAssignment, RepeatedKeysNumbersAndUnusableBuffers) {
  rtktest::GuardedBuffer out(8);
  EXPECT_EQ(Edited("<a k=1 k=\"2\" k='3' x=9/>", [&out](char *text) {
    for (const char *want : {"1", "2", "3"}) EXPECT_STREQ(xml_getAssignment(text, "k", out.data(), 8, ""), want);
    EXPECT_EQ((std::tuple{xml_getAssignment(text, "K", out.data(), 8, ""), xml_packUnused(text), std::string(text),
                          xml_getAssignment64(text, "x", "0"), xml_packUnused(text)}), std::tuple(nullptr, 1, "<a x=9/>", 9, 0));
    // An absent key's default is cut, trimmed and decoded; a null default counts as "".
    EXPECT_STREQ(xml_getAssignment(text, "j", out.data(), 8, "x&lt;   y") ? "found" : out.data(), "x<");
    EXPECT_STREQ(xml_getAssignment(text, "j", out.data(), 8, nullptr) ? "found" : out.data(), "");
  }), "<a    />");
  EXPECT_EQ(Edited("<a k=1/>", [&out](char *text) {  // nowhere to put the value: not consumed
    for (int32_t size : {0, -1}) EXPECT_EQ(xml_getAssignment(text, "k", out.data(), size, "d"), nullptr);
    EXPECT_EQ(xml_getAssignment(text, "k", nullptr, 8, "d"), nullptr);
  }), "<a k=1/>");
  EXPECT_TRUE(out.Intact());
  const struct { const char *text, *key, *dflt; int64_t value; } numbers[] = {
      {"<M val=5003 disabled>", "val", "999990", 5003}, {"<M val=5003 disabled>", "disabled", "0", 1}, {"<M val=5>", "enabled", "0", 0},
      {"<M>", "val", "999990", 999990}, {"<a n=4k>", "n", "0", 4096}, {"<a n=\"-2M\">", "n", "0", -2097152}, {"<a n=abc>", "n", "7", 0},
      {"<a n=\"\">", "n", "7", 1}, {"<a n=12345678901234567890123>", "n", "0", 1234567890123456789}};
  for (const auto &c : numbers)
    Edited(c.text, [&c](char *text) { EXPECT_EQ(xml_getAssignment64(text, c.key, c.dflt), c.value) << c.text; });
  Edited("<a n=4294967301>", [](char *text) { EXPECT_EQ(xml_getAssignment32(text, "n", "0"), 5); });
}

TEST(Xml, KeywordsElementEndsLeftoversAndEntities) {
  const struct { const char *keyword, *text; int32_t want; } keywords[] = {
      {"hook", "<hookdir file=x/>", 0}, {"hook", "<HOOK x", 1}, {"<Message", "<message val=1>", 1}, {"hook", "hook/>", 1},
      {"hook", "hook>", 1}, {"hook", "hook", 1}, {"hook", "hook\tx", 0}, {"hook", " <hook", 0}, {"hook", "<ho", 0}, {"hook", "<<hook", 0}};
  for (const auto &c : keywords) EXPECT_EQ(xml_isKeyword(c.keyword, c.text), c.want) << c.keyword << " in " << c.text;
  const struct { const char *text; size_t end; } elements[] = {
      {"<a b=\"x>y\"/>tail", 12}, {"<a b='x\"y>\"z>'>tail", 15}, {"<a b=\"it's>'\">x", 14}, {"<a b=\"x>", 8}, {"<a b", 4}, {">", 1}};
  for (const auto &c : elements) {
    EXPECT_EQ(xml_advance(c.text), c.text + c.end) << c.text;
    for (size_t size : {size_t{0}, size_t{1}, size_t{5}, std::strlen(c.text) + 1}) {
      rtktest::GuardedBuffer dst(size);
      EXPECT_EQ((std::tuple{xml_copy(dst.data(), static_cast<int32_t>(size), c.text), std::string(size ? dst.data() : ""), dst.Intact()}),
                std::tuple(c.text + c.end, std::string(c.text, std::min(c.end, size ? size - 1 : 0)), true)) << c.text;
    }
  }
  const struct { const char *text; int32_t want; const char *after; } leftovers[] = {
      {"<a", 0, "<a"}, {"<a    />", 0, "<a    />"}, {"<a \t >", 0, "<a \t >"}, {"<a   ", 0, "<a   "},
      {"<a\t  x=1/>", 1, "<a\tx=1/>"}, {"<a  x  y/>", 1, "<a x  y/>"}, {"<\xc3\xa9  x/>", 1, "<\xc3\xa9 x/>"}};
  for (const auto &c : leftovers)
    EXPECT_EQ(Edited(c.text, [&c](char *text) { EXPECT_EQ(xml_packUnused(text), c.want) << c.text; }), c.after);
  // '&' is encoded first; a character whose entity does not fit goes.
  const struct { const char *text; size_t size; const char *want; } encodings[] = {
      {"a&b<'\">", 64, "a&amp;b&lt;&apos;&quot;&gt;"}, {"&lt;", 64, "&amp;lt;"}, {"a<b", 5, "ab"}, {"a<b", 7, "a&lt;b"}, {"a<b", 0, "a<b"}};
  for (const auto &c : encodings)
    EXPECT_EQ(Edited(c.text, [&c](char *text) { xml_ConvertToAmpersands(text, static_cast<int32_t>(c.size)); }, c.size), c.want);
}

}  // namespace
