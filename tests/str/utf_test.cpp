// UTF-8 <-> UTF-16 conversion: exact units and bytes, partial output on
// failure, cutting at the buffer's end, and a randomized round trip.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;
using Units = std::vector<uint16_t>;
using Bytes = std::vector<uint8_t>;

// A guarded array of `count` 16-bit units.
struct GuardedUnits {
  explicit GuardedUnits(int64_t count) : buf(count > 0 ? static_cast<size_t>(count) * 2 : 0) {}
  uint16_t *data() { return reinterpret_cast<uint16_t *>(buf.data()); }
  Units First(int32_t n) { return Units(data(), data() + (n > 0 ? n : 0)); }
  GuardedBuffer buf;
};

TEST(Utf8ToUtf16, DecodesShapesAndStopsAtTheLastIndex) {
  const Bytes mixed = {'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
  const struct { Bytes in; int64_t maxIndex; int32_t result; Units stored; } cases[] = {
      {mixed, 4, 5, {0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00}},
      {mixed, 3, -1, {0x0041, 0x00E9, 0x20AC, 0xD83D}},  // the pair's first half is kept
      {mixed, 2, -1, {0x0041, 0x00E9, 0x20AC}},
      {{0xF4, 0x8F, 0xBF, 0xBF}, 9, 2, {0xDBFF, 0xDFFF}},  // U+10FFFF
      {{0xE2, 0x82}, 9, -1, {}},                         // input ends inside a sequence
      {{'x', 0x80}, 9, -1, {'x'}},                       // stray continuation byte
      {{0xFF}, 9, -1, {}},
      {{0xC3, 'A'}, 9, -1, {}},                          // continuation of the wrong form
      {{'a'}, 0, 1, {'a'}},
      {{'a', 'b'}, 0, -1, {'a'}},
      {{}, 0, 0, {}},
      {{'a'}, -1, -1, {}},                               // no room at all
      {{}, -5, 0, {}},
  };
  for (const auto &c : cases) {
    GuardedUnits out(c.maxIndex + 1);
    const int32_t r = utf8array_to_utf16asciz(c.in.data(), c.in.size(), out.data(), c.maxIndex);
    EXPECT_EQ(r, c.result) << "case with " << c.in.size() << " bytes, max " << c.maxIndex;
    EXPECT_EQ(out.First(static_cast<int32_t>(c.stored.size())), c.stored);
    EXPECT_TRUE(out.buf.Intact());
  }
}

TEST(Utf8ToUtf16, WellShapedButInvalidFourByteFormsStillGiveAPair) {
  // Overlong, beyond U+10FFFF and leads 0xF5-0xF7 are not refused; their
  // first unit stays a high surrogate and the second a low one.
  const Bytes forms[] = {{0xF0, 0x80, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}, {0xF7, 0xBF, 0xBF, 0xBF}};
  for (const auto &in : forms) {
    GuardedUnits out(2);
    ASSERT_EQ(utf8array_to_utf16asciz(in.data(), in.size(), out.data(), 1), 2);
    EXPECT_EQ(out.data()[0] & 0xFC00, 0xD800);
    EXPECT_EQ(out.data()[1] & 0xFC00, 0xDC00);
    EXPECT_TRUE(out.buf.Intact());
  }
}

TEST(Utf16ToUtf8, EncodesPairsLoneSurrogatesAndCutsAtTheEnd) {
  const struct { Units in; int32_t size; int32_t result; Bytes stored; } cases[] = {
      {{0xD83D, 0xDE00, 0xD83D, 0xDE00}, 9, 8,
       {0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9F, 0x98, 0x80, 0}},
      {{0xD800}, 8, 3, {0xED, 0xA0, 0x80, 0}},
      {{0xD800, 'a'}, 8, 4, {0xED, 0xA0, 0x80, 'a', 0}},  // high surrogate before a non-low unit
      {{0xDC00, 0xD800}, 8, 6, {0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80, 0}},
      {{'a', 0x00E9}, 3, 3, {'a', 0xC3, 0}},              // full: last byte becomes the terminator
      {{'a', 0x20AC}, 3, 3, {'a', 0xE2, 0}},
      {{0x20AC, 'z'}, 2, 2, {0xE2, 0}},
      {{'x'}, 1, 1, {0}},
      {{}, 1, 0, {0}},
      {{0x7FF, 0x800}, 16, 5, {0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0}},
  };
  for (const auto &c : cases) {
    GuardedBuffer out(static_cast<size_t>(c.size));
    const int32_t r = utf16array_to_utf8asciz(c.in.data(), c.in.size(),
                                              reinterpret_cast<uint8_t *>(out.data()), c.size);
    EXPECT_EQ(r, c.result) << c.in.size() << " units into " << c.size;
    EXPECT_EQ(Bytes(out.data(), out.data() + c.stored.size()), c.stored);
    EXPECT_TRUE(out.Intact());
  }
}

TEST(Utf16ToUtf8, SizeBelowOneWritesNothing) {
  const Units in = {'a', 'b'};
  for (int32_t size : {0, -1, INT32_MIN}) {
    GuardedBuffer out(0);
    EXPECT_EQ(utf16array_to_utf8asciz(in.data(), in.size(), reinterpret_cast<uint8_t *>(out.data()), size), 0);
    EXPECT_TRUE(out.Intact()) << size;
  }
}

// Encodes one code point as UTF-8 from its definition, for comparison.
void AppendUtf8(uint32_t cp, Bytes *out) {
  if (cp < 0x80) {
    out->push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out->insert(out->end(), {static_cast<uint8_t>(0xC0 | (cp >> 6)), static_cast<uint8_t>(0x80 | (cp & 0x3F))});
  } else if (cp < 0x10000) {
    out->insert(out->end(), {static_cast<uint8_t>(0xE0 | (cp >> 12)),
                             static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
                             static_cast<uint8_t>(0x80 | (cp & 0x3F))});
  } else {
    out->insert(out->end(), {static_cast<uint8_t>(0xF0 | (cp >> 18)),
                             static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)),
                             static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
                             static_cast<uint8_t>(0x80 | (cp & 0x3F))});
  }
}

TEST(UtfRoundTrip, RandomValidUtf16SurvivesBothWaysAndCutsConsistently) {
  std::mt19937 rng(20240607);
  std::uniform_int_distribution<uint32_t> length(0, 40), kind(0, 3);
  for (int iteration = 0; iteration < 2000; ++iteration) {
    Units units;
    Bytes expected;
    for (uint32_t i = length(rng); i > 0; --i) {
      static constexpr uint32_t kLow[] = {0x0, 0x80, 0x800, 0x10000};
      static constexpr uint32_t kHigh[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
      const uint32_t k = kind(rng);
      uint32_t cp = std::uniform_int_distribution<uint32_t>(kLow[k], kHigh[k])(rng);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;  // surrogates are not code points
      if (cp >= 0x10000) {
        units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      } else {
        units.push_back(static_cast<uint16_t>(cp));
      }
      AppendUtf8(cp, &expected);
    }
    const auto total = static_cast<int32_t>(expected.size());

    // Any size: the result is min(total, size) and the text is a cut prefix.
    const auto size = std::uniform_int_distribution<int32_t>(1, total + 2)(rng);
    GuardedBuffer cut(static_cast<size_t>(size));
    auto *cutBytes = reinterpret_cast<uint8_t *>(cut.data());
    ASSERT_EQ(utf16array_to_utf8asciz(units.data(), units.size(), cutBytes, size), std::min(total, size));
    const auto kept = static_cast<size_t>(std::min(total, size - 1));
    EXPECT_EQ(Bytes(cutBytes, cutBytes + kept), Bytes(expected.begin(), expected.begin() + kept));
    EXPECT_EQ(cutBytes[kept], 0);
    ASSERT_TRUE(cut.Intact());

    // Large enough buffers: UTF-8 exactly as encoded from the code points,
    // and back to the very same units with an output of exactly their count.
    GuardedBuffer utf8(static_cast<size_t>(total) + 1);
    auto *bytes = reinterpret_cast<uint8_t *>(utf8.data());
    ASSERT_EQ(utf16array_to_utf8asciz(units.data(), units.size(), bytes, total + 1), total);
    ASSERT_EQ(Bytes(bytes, bytes + total), expected);
    GuardedUnits back(static_cast<int64_t>(units.size()));
    ASSERT_EQ(utf8array_to_utf16asciz(bytes, static_cast<uint64_t>(total), back.data(),
                                      static_cast<int64_t>(units.size()) - 1),
              static_cast<int32_t>(units.size()));
    ASSERT_EQ(back.First(static_cast<int32_t>(units.size())), units);
    ASSERT_TRUE(utf8.Intact() && back.buf.Intact());
  }
}

}  // namespace
