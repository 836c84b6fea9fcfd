// UTF-8 <-> UTF-16 conversion: exact units and bytes, partial output on
// failure, cutting at the buffer's end, and a randomized round trip.
#include <random>
#include <vector>

#include "qmstr.h"
#include "rtktest.h"

namespace {

using rtktest::GuardedBuffer;
using Units = std::vector<uint16_t>;
using Bytes = std::vector<uint8_t>;

uint16_t *AsUnits(GuardedBuffer &buf) { return reinterpret_cast<uint16_t *>(buf.data()); }
uint8_t *AsBytes(GuardedBuffer &buf) { return reinterpret_cast<uint8_t *>(buf.data()); }

TEST(Utf8ToUtf16, DecodesShapesKeepsPartialOutputAndStopsAtTheLastIndex) {
  const Bytes mixed = {'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
  const struct { Bytes in; int64_t maxIndex; int32_t result; Units stored; } cases[] = {
      {mixed, 4, 5, {0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00}},
      {mixed, 3, -1, {0x0041, 0x00E9, 0x20AC, 0xD83D}},  // the pair's first half stays
      {{0xF4, 0x8F, 0xBF, 0xBF}, 1, 2, {0xDBFF, 0xDFFF}},
      {{0xE2, 0x82}, 9, -1, {}}, {{'x', 0x80}, 9, -1, {'x'}}, {{0xFF}, 9, -1, {}},
      {{0xC3, 'A'}, 9, -1, {}},  {{'a'}, 0, 1, {'a'}},       {{'a', 'b'}, 0, -1, {'a'}},
      {{}, 0, 0, {}},            {{'a'}, -1, -1, {}},        {{}, -5, 0, {}},
      // Runs of ASCII taken eight bytes at a time stop at the last index and
      // at a malformed byte.
      {Bytes(12, 'a'), 6, -1, Units(7, 'a')},
      {{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0xFF, 'j', 'k', 'l', 'm'}, 20, -1,
       {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}},
  };
  for (const auto &c : cases) {
    GuardedBuffer out(c.maxIndex >= 0 ? 2 * static_cast<size_t>(c.maxIndex + 1) : 0);
    EXPECT_EQ(utf8array_to_utf16asciz(c.in.data(), c.in.size(), AsUnits(out), c.maxIndex), c.result)
        << c.in.size() << " bytes, last index " << c.maxIndex;
    EXPECT_EQ(Units(AsUnits(out), AsUnits(out) + c.stored.size()), c.stored);
    EXPECT_TRUE(out.Intact());
  }
}

TEST(Utf8ToUtf16, WellShapedButInvalidFourByteFormsStillGiveASurrogatePair) {
  // Overlong, beyond U+10FFFF, and leads 0xF5-0xF7 are not refused.
  for (const Bytes &in : {Bytes{0xF0, 0x80, 0x80, 0x80}, Bytes{0xF4, 0x90, 0x80, 0x80}, Bytes{0xF7, 0xBF, 0xBF, 0xBF}}) {
    GuardedBuffer out(4);
    ASSERT_EQ(utf8array_to_utf16asciz(in.data(), in.size(), AsUnits(out), 1), 2);
    EXPECT_EQ(AsUnits(out)[0] & 0xFC00, 0xD800);
    EXPECT_EQ(AsUnits(out)[1] & 0xFC00, 0xDC00);
    EXPECT_TRUE(out.Intact());
  }
}

TEST(Utf16ToUtf8, EncodesPairsAndLoneSurrogatesAndCutsAtTheEnd) {
  const struct { Units in; int32_t size, result; Bytes stored; } cases[] = {
      {{0xD83D, 0xDE00, 0xD83D, 0xDE00}, 9, 8, {0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9F, 0x98, 0x80, 0}},
      {{0xD800}, 8, 3, {0xED, 0xA0, 0x80, 0}},
      {{0xDC00, 0xD800, 'a'}, 8, 7, {0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80, 'a', 0}},
      {{'a', 0x00E9}, 3, 3, {'a', 0xC3, 0}},  // full: the last byte becomes the terminator
      {{0x20AC, 'z'}, 2, 2, {0xE2, 0}},       {{'x'}, 1, 1, {0}},   {{}, 1, 0, {0}},
      {{0x7FF, 0x800}, 16, 5, {0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0}},
      {{'a'}, 0, 0, {}},                      {{'a'}, INT32_MIN, 0, {}},  // nothing written
      // Eight ASCII units and two three-byte units at a time, cut at the end.
      {Units(12, 'a'), 9, 9, {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 0}},
      {{0x20AC, 0x20AC, 0x20AC}, 7, 7, {0xE2, 0x82, 0xAC, 0xE2, 0x82, 0xAC, 0}},
      {{0x20AC, 0xD83D, 0xDE00}, 6, 6, {0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0}},
  };
  for (const auto &c : cases) {
    GuardedBuffer out(c.size > 0 ? static_cast<size_t>(c.size) : 0);
    EXPECT_EQ(utf16array_to_utf8asciz(c.in.data(), c.in.size(), AsBytes(out), c.size), c.result)
        << c.in.size() << " units into " << c.size;
    EXPECT_EQ(Bytes(AsBytes(out), AsBytes(out) + c.stored.size()), c.stored);
    EXPECT_TRUE(out.Intact());
  }
}

TEST(UtfRoundTrip, RandomValidUtf16SurvivesBothWaysAndCutsAsAPrefix) {
  std::mt19937 rng(20240607);
  std::uniform_int_distribution<uint32_t> length(0, 40), kind(0, 3);
  constexpr uint32_t kLow[] = {0x0, 0x80, 0x800, 0x10000}, kHigh[] = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  for (int iteration = 0; iteration < 2000; ++iteration) {
    Units units;
    for (uint32_t i = length(rng); i > 0; --i) {
      const uint32_t k = kind(rng);
      uint32_t cp = std::uniform_int_distribution<uint32_t>(kLow[k], kHigh[k])(rng);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;  // surrogates are not code points
      if (cp < 0x10000) {
        units.push_back(static_cast<uint16_t>(cp));
      } else {
        units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      }
    }
    // Large enough buffers: there and back gives the very same units.
    GuardedBuffer utf8(3 * units.size() + 1), back(2 * units.size());
    const int32_t total = utf16array_to_utf8asciz(units.data(), units.size(), AsBytes(utf8),
                                                  static_cast<int32_t>(utf8.size()));
    ASSERT_EQ(AsBytes(utf8)[total], 0);
    ASSERT_EQ(utf8array_to_utf16asciz(AsBytes(utf8), static_cast<uint64_t>(total), AsUnits(back),
                                      static_cast<int64_t>(units.size()) - 1),
              static_cast<int32_t>(units.size()));
    ASSERT_EQ(Units(AsUnits(back), AsUnits(back) + units.size()), units);

    // Any smaller size answers min(total, size) and keeps a terminated prefix.
    const auto size = std::uniform_int_distribution<int32_t>(1, total + 1)(rng);
    GuardedBuffer cut(static_cast<size_t>(size));
    ASSERT_EQ(utf16array_to_utf8asciz(units.data(), units.size(), AsBytes(cut), size), std::min(total, size));
    const auto kept = static_cast<size_t>(std::min(total, size - 1));
    Bytes prefix(AsBytes(utf8), AsBytes(utf8) + kept);
    prefix.push_back(0);
    ASSERT_EQ(Bytes(AsBytes(cut), AsBytes(cut) + kept + 1), prefix);
    ASSERT_TRUE(utf8.Intact() && back.Intact() && cut.Intact());
  }
}

}  // namespace
