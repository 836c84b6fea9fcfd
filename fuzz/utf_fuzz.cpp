// Fuzz target for the UTF-8 <-> UTF-16 converters. Input and output are
// heap blocks of exactly the sizes the converters are told (the UTF-16
// output holds maxIndex + 1 units, possibly none), so AddressSanitizer
// catches any access past them. The results are compared with a reference
// codec written here from the Unicode rules: on valid UTF-8 the units and
// the count must be exactly the standard ones, a malformed sequence must
// fail, and UTF-16 (paired surrogates as one code point, anything else
// unit by unit) must come out as the standard UTF-8, cut at the buffer.
//
// Input layout (seeds are plain UTF-8 text after two control bytes):
//   byte 0      seed of the highest UTF-16 output index (-1..n+1)
//   byte 1      seed of the UTF-8 output size (-1..3 * units + 1)
//   the rest    the UTF-8 input; read again in byte pairs (low byte
//               first) as the UTF-16 input
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmstr.h"

namespace {

using fuzz::check;

// How a byte array reads as UTF-8: a sequence of the wrong shape, every
// sequence well-shaped but some value invalid (overlong, a surrogate, above
// U+10FFFF), or valid throughout.
enum class Utf8Shape { kMalformed, kShapeOnly, kValid };

// Strict UTF-8 decoding into code points.
Utf8Shape decodeUtf8(const uint8_t *s, size_t n, std::vector<uint32_t> *points) {
  Utf8Shape shape = Utf8Shape::kValid;
  for (size_t i = 0; i < n;) {
    const uint8_t lead = s[i];
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
      len = 1, cp = lead;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      len = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      len = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      len = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
      return Utf8Shape::kMalformed;
    }
    if (len > n - i) return Utf8Shape::kMalformed;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return Utf8Shape::kMalformed;
      cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    if (cp < least || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) shape = Utf8Shape::kShapeOnly;
    points->push_back(cp);
    i += len;
  }
  return shape;
}

// Code points as UTF-16 units; above U+FFFF as a surrogate pair.
std::vector<uint16_t> toUtf16(const std::vector<uint32_t> &points) {
  std::vector<uint16_t> units;
  for (uint32_t cp : points) {
    if (cp < 0x10000) {
      units.push_back(static_cast<uint16_t>(cp));
    } else {
      units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

// UTF-16 units as UTF-8: a high surrogate followed by a low one is one code
// point; every other unit, a lone surrogate included, is encoded as it is.
std::string toUtf8(const std::vector<uint16_t> &units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00u);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// UTF-8 to UTF-16 into exactly maxIndex + 1 units. Valid input gives the
// standard units, or -1 with the first maxIndex + 1 of them stored when the
// output is short; malformed input always fails.
void utf8ToUtf16(const std::string &bytes, int64_t maxIndex) {
  const auto n = bytes.size();
  std::unique_ptr<uint8_t[]> src(new uint8_t[n]);
  std::memcpy(src.get(), bytes.data(), n);
  const auto room = static_cast<size_t>(maxIndex + 1);
  std::unique_ptr<uint16_t[]> dst(new uint16_t[room]);
  const int32_t rc = utf8array_to_utf16asciz(src.get(), n, dst.get(), maxIndex);
  check(rc >= -1 && rc <= maxIndex + 1);

  std::vector<uint32_t> points;
  const Utf8Shape shape = decodeUtf8(src.get(), n, &points);
  if (shape == Utf8Shape::kMalformed) check(rc == -1);
  if (shape != Utf8Shape::kValid) return;
  const std::vector<uint16_t> expected = toUtf16(points);
  if (expected.size() <= room) {
    check(rc == static_cast<int32_t>(expected.size()));
    check(std::equal(expected.begin(), expected.end(), dst.get()));
  } else {
    check(rc == -1);
    check(std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(room), dst.get()));
  }
}

// UTF-16 to UTF-8 into exactly `size` bytes: the standard bytes cut at the
// buffer, terminated, the last byte given up to the terminator when full.
void utf16ToUtf8(const std::vector<uint16_t> &units, int32_t size) {
  std::unique_ptr<uint16_t[]> src(new uint16_t[units.size()]);
  std::copy(units.begin(), units.end(), src.get());
  const size_t room = size > 0 ? static_cast<size_t>(size) : 0;
  std::unique_ptr<uint8_t[]> dst(new uint8_t[room]);
  const int32_t rc = utf16array_to_utf8asciz(src.get(), units.size(), dst.get(), size);
  if (size < 1) return;

  const std::string expected = toUtf8(units);
  const size_t stored = expected.size() < room ? expected.size() : room;
  check(rc == static_cast<int32_t>(stored));
  const size_t kept = stored < room ? stored : room - 1;
  check(std::memcmp(dst.get(), expected.data(), kept) == 0 && dst[kept] == 0);
}

// Valid UTF-8 goes through both converters and comes back unchanged.
void roundTrip(const std::string &bytes) {
  const size_t n = bytes.size();
  std::vector<uint32_t> points;
  if (decodeUtf8(reinterpret_cast<const uint8_t *>(bytes.data()), n, &points) != Utf8Shape::kValid) return;
  std::unique_ptr<uint16_t[]> units(new uint16_t[n]);
  const int32_t count = utf8array_to_utf16asciz(reinterpret_cast<const uint8_t *>(bytes.data()), n,
                                                units.get(), static_cast<int64_t>(n) - 1);
  check(count >= 0);
  std::unique_ptr<uint8_t[]> back(new uint8_t[n + 1]);
  const int32_t rc = utf16array_to_utf8asciz(units.get(), static_cast<uint64_t>(count), back.get(),
                                             static_cast<int32_t>(n + 1));
  check(rc == static_cast<int32_t>(n) && std::memcmp(back.get(), bytes.data(), n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const std::string bytes(reinterpret_cast<const char *>(data + 2), size - 2);
  utf8ToUtf16(bytes, static_cast<int64_t>(data[0] % (bytes.size() + 3)) - 1);
  std::vector<uint16_t> units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
  utf16ToUtf8(units, static_cast<int32_t>(data[1] % (3 * units.size() + 3)) - 1);
  roundTrip(bytes);
  return 0;
}
