// Tests of the attribute scanner: quoting and nesting, the path flag,
// blanking, entity order, keyword boundaries, truncation and the safe answers
// for unusable buffers. Every text and output buffer is guarded.
#include <algorithm>
#include <cstring>
#include <string>

#include "qmxml.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;

// A guarded buffer holding `text` with exactly `size` bytes (default: fits).
struct Text {
  GuardedBuffer buf;
  explicit Text(const std::string &text, size_t size = 0) : buf(size != 0 ? size : text.size() + 1) {
    std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  }
  char *get() { return buf.data(); }
  std::string str() { return buf.data(); }
};

struct Lookup {
  const char *text;
  const char *key;
  int32_t outSize;
  bool found;
  const char *value;  // what `out` holds afterwards
  const char *gone;   // the part of the text that ends up blanked (null: none)
};

const Lookup kLookups[] = {
    {"<kversion version=\"1.0.0.8\"/>", "version", 64, true, "1.0.0.8", "version=\"1.0.0.8\""},
    {"<trace mask=\"RTK\" level=\"Fine\" program=\"\" />", "level", 64, true, "Fine", "level=\"Fine\""},
    {"<trace mask=\"RTK\" level=\"Fine\" program=\"\" />", "program", 64, true, "", "program=\"\""},
    {"<trace mask=\"RTK\" />", "device", 64, false, "dflt", nullptr},
    {"<hook file=/data/a/>", "file", 64, true, "/data/a", "file=/data/a"},
    // An apostrophe nests; the double-quoted value runs to the end.
    {"<m t=\"it's\" u=\"x\"/>", "t", 64, true, "it's\" u=\"x\"/>", "t=\"it's\" u=\"x\"/>"},
    // A path makes every apostrophe plain.
    {"<m t=\"/it's\" u=\"x\"/>", "t", 64, true, "/it's", "t=\"/it's\""},
    {"<m t=\"C:\\it's\" u=1/>", "t", 64, true, "C:\\it's", "t=\"C:\\it's\""},
    {"<m t=\"abc/it's\" u=1/>", "t", 64, true, "abc/it's", "t=\"abc/it's\""},
    {"<m t=\"abcd/it's\">", "t", 64, true, "abcd/it's\">", "t=\"abcd/it's\">"},
    {"<m t='/a' u='1'/>", "t", 64, true, "/a' u='1'/>", "t='/a' u='1'/>"},
    {"<m n=it's two three>", "n", 64, true, "it's two", "n=it's two"},
    {"<a keyx=1 key=2>", "key", 64, true, "2", "key=2"},
    {"<<key=3 b=\"x key\">", "key", 64, true, "3", "key=3"},  // the first word, after '<'s
    {"a<key=4 key=5>", "key", 64, true, "5", "key=5"},        // "a<key" is one word
    {"<a KEY=\"v\">", "key", 64, true, "v", "KEY=\"v\""},
    {"<a x=\"y key=v\">", "key", 64, true, "v\"", "key=v\""},
    {"<a\tkey=\"v\"/>", "key", 64, false, "dflt", nullptr},
    {"<a k= x>", "k", 64, true, "", "k="},
    {"<a k=>", "k", 64, true, "", "k="},
    {"<a k=\"\">", "k", 64, true, "", "k=\"\""},
    {"<a flag/>", "flag", 64, true, "", "flag"},
    {"<a flag", "flag", 64, true, "", "flag"},
    {"<a k=\"a&amp;lt;b&amp;quot;c\">", "k", 64, true, "a<b&quot;c", "k=\"a&amp;lt;b&amp;quot;c\""},
    {"<a k=\"ab  \">", "k", 64, true, "ab  ", "k=\"ab  \""},
    {"<a k=ab\t\t c>", "k", 64, true, "ab", "k=ab\t\t"},
    {"<a k=\t\t c>", "k", 64, true, "\t", "k=\t\t"},
    {"<a k=\"abc", "k", 64, true, "abc", "k=\"abc"},
    // Cut to the buffer, but blanked whole.
    {"<a k=\"abcdef\" j=1>", "k", 4, true, "abc", "k=\"abcdef\""},
    {"<a k=abcdef j=1>", "k", 1, true, "", "k=abcdef"},
    {"", "k", 64, false, "dflt", nullptr},
};

TEST(XmlGetAssignment, FindsQuotesNestsAndBlanks) {
  for (const Lookup &c : kLookups) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.key);
    std::string rest = c.text;
    if (c.gone != nullptr) {
      const size_t at = rest.find(c.gone);
      ASSERT_NE(at, std::string::npos);
      rest.replace(at, std::strlen(c.gone), std::strlen(c.gone), ' ');
    }
    Text text(c.text);
    GuardedBuffer out(static_cast<size_t>(c.outSize));
    char *r = xml_getAssignment(text.get(), c.key, out.data(), c.outSize, "dflt");
    EXPECT_EQ(r, c.found ? out.data() : nullptr);
    EXPECT_STREQ(out.data(), c.value);
    EXPECT_EQ(text.str(), rest);
    EXPECT_TRUE(out.Intact() && text.buf.Intact());
  }
}

TEST(XmlGetAssignment, SecondCallFindsNextOccurrenceThenNothingIsLeft) {
  Text text("<a k=1 k=\"2\" k='3' x=9/>");
  GuardedBuffer out(8);
  for (const char *want : {"1", "2", "3"}) {
    ASSERT_NE(xml_getAssignment(text.get(), "k", out.data(), 8, ""), nullptr);
    EXPECT_STREQ(out.data(), want);
  }
  EXPECT_EQ(xml_getAssignment(text.get(), "K", out.data(), 8, ""), nullptr);
  EXPECT_EQ(xml_packUnused(text.get()), 1);
  EXPECT_EQ(text.str(), "<a x=9/>");
  EXPECT_EQ(xml_getAssignment64(text.get(), "x", "0"), 9);
  EXPECT_EQ(xml_packUnused(text.get()), 0);
  EXPECT_TRUE(out.Intact() && text.buf.Intact());
}

TEST(XmlGetAssignment, UnusableBufferOrDefaultIsSafe) {
  for (int32_t size : {0, -1}) {
    Text text("<a k=1/>");
    GuardedBuffer out(0);
    EXPECT_EQ(xml_getAssignment(text.get(), "k", out.data(), size, "d"), nullptr);
    EXPECT_EQ(text.str(), "<a k=1/>");  // not consumed: the value had nowhere to go
    EXPECT_TRUE(out.Intact() && text.buf.Intact());
  }
  Text text("<a k=1/>");
  EXPECT_EQ(xml_getAssignment(text.get(), "k", nullptr, 8, "d"), nullptr);
  EXPECT_EQ(text.str(), "<a k=1/>");
  GuardedBuffer out(8);
  EXPECT_EQ(xml_getAssignment(text.get(), "j", out.data(), 8, nullptr), nullptr);
  EXPECT_STREQ(out.data(), "");
  // A default is cut to the buffer, then trimmed and decoded.
  EXPECT_EQ(xml_getAssignment(text.get(), "j", out.data(), 8, "x&lt;   y"), nullptr);
  EXPECT_STREQ(out.data(), "x<");
  EXPECT_TRUE(out.Intact() && text.buf.Intact());
}

TEST(XmlGetAssignment, NumbersAndBareWords) {
  struct Case {
    const char *text, *key, *dflt;
    int64_t value;
  } const cases[] = {
      {"<Message val=5003 disabled>", "val", "999990", 5003},
      {"<Message val=5003 disabled>", "disabled", "0", 1},
      {"<Message val=5003>", "enabled", "0", 0},
      {"<Message>", "val", "999990", 999990},
      {"<a n=4k>", "n", "0", 4096},
      {"<a n=\"-2M\">", "n", "0", -2097152},
      {"<a n=abc>", "n", "7", 0},
      {"<a n=\"\">", "n", "7", 1},
      {"<a n=12345678901234567890123>", "n", "0", 1234567890123456789},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.key);
    Text t64(c.text), t32(c.text);
    EXPECT_EQ(xml_getAssignment64(t64.get(), c.key, c.dflt), c.value);
    EXPECT_EQ(xml_getAssignment32(t32.get(), c.key, c.dflt), static_cast<int32_t>(c.value));
    EXPECT_TRUE(t64.buf.Intact() && t32.buf.Intact());
  }
}

TEST(XmlIsKeyword, OnlyBlankSlashOrCloseEndTheName) {
  struct Case {
    const char *keyword, *text;
    int32_t want;
  } const cases[] = {
      {"hook", "<hookdir file=x/>", 0}, {"hook", "<HOOK x", 1},  {"<Message", "<message val=1>", 1},
      {"hook", "hook/>", 1},            {"hook", "hook>", 1},    {"hook", "hook", 1},
      {"hook", "hook\tx", 0},           {"hook", " <hook", 0},   {"hook", "<ho", 0},
      {"hook", "<<hook", 0},
  };
  for (const Case &c : cases) EXPECT_EQ(xml_isKeyword(c.keyword, c.text), c.want) << c.keyword << " in " << c.text;
}

TEST(XmlAdvance, SkipsQuotedSectionsAndCopiesBounded) {
  struct Case {
    const char *text;
    size_t end;  // offset of the position after the element
  } const cases[] = {
      {"<a b=\"x>y\"/>tail", 12},
      {"<a b='x\"y>\"z>'>tail", 15},
      {"<a b=\"it's>'\">x", 14},
      {"<a b=\"x>", 8},
      {"<a b", 4},
      {">", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = c.text;
    EXPECT_EQ(xml_advance(c.text), c.text + c.end);
    for (size_t size : {size_t{1}, size_t{5}, text.size() + 1}) {
      GuardedBuffer dst(size);
      EXPECT_EQ(xml_copy(dst.data(), static_cast<int32_t>(size), c.text), c.text + c.end);
      EXPECT_EQ(std::string(dst.data()), text.substr(0, std::min(c.end, size - 1)));
      EXPECT_TRUE(dst.Intact());
    }
    GuardedBuffer none(0);
    EXPECT_EQ(xml_copy(none.data(), 0, c.text), c.text + c.end);
    EXPECT_TRUE(none.Intact());
  }
}

TEST(XmlPackUnused, KeepsOneWhiteCharacterBeforeLeftovers) {
  struct Case {
    const char *text;
    int32_t want;
    const char *after;
  } const cases[] = {
      {"<a", 0, "<a"},         {"<a    />", 0, "<a    />"}, {"<a \t >", 0, "<a \t >"},
      {"<a   ", 0, "<a   "},   {"<a\t  x=1/>", 1, "<a\tx=1/>"}, {"<a  x  y/>", 1, "<a x  y/>"},
      {"<\xc3\xa9  x/>", 1, "<\xc3\xa9 x/>"},
  };
  for (const Case &c : cases) {
    Text text(c.text);
    EXPECT_EQ(xml_packUnused(text.get()), c.want) << c.text;
    EXPECT_EQ(text.str(), c.after);
    EXPECT_TRUE(text.buf.Intact());
  }
}

TEST(XmlConvertToAmpersands, EncodesAmpersandFirstAndStaysInBuffer) {
  struct Case {
    const char *text;
    size_t size;
    const char *want;
  } const cases[] = {
      {"a&b<'\">", 64, "a&amp;b&lt;&apos;&quot;&gt;"},
      {"&lt;", 64, "&amp;lt;"},
      {"a<b", 5, "ab"},  // no room for "&lt;": the character goes
      {"a<b", 7, "a&lt;b"},
  };
  for (const Case &c : cases) {
    Text text(c.text, c.size);
    xml_ConvertToAmpersands(text.get(), static_cast<int32_t>(c.size));
    EXPECT_EQ(text.str(), c.want) << c.text;
    EXPECT_TRUE(text.buf.Intact());
  }
  Text text("a<b");
  xml_ConvertToAmpersands(text.get(), 0);
  EXPECT_EQ(text.str(), "a<b");
}

}  // namespace
