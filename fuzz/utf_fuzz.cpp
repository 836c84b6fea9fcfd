// Fuzz target for the UTF-8 <-> UTF-16 converters. Input and output are
// heap blocks of exactly the sizes the converters are told (the UTF-16
// output holds maxIndex + 1 units, possibly none), so AddressSanitizer
// catches any access past them. The results stay within their bounds, and
// well-formed UTF-16 (every high surrogate followed by a low one, no lone
// low one) comes back unchanged through UTF-8, both when it is the input
// and when UTF-8 input converted to it.
//
// Input layout (seeds are plain UTF-8 text after two control bytes):
//   byte 0      seed of the highest UTF-16 output index (-1..n+1)
//   byte 1      seed of the UTF-8 output size (-1..3 * units + 1)
//   the rest    the UTF-8 input; read again in byte pairs (low byte
//               first) as the UTF-16 input
#include <algorithm>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmstr.h"

namespace {

using fuzz::check;
using Units = std::vector<uint16_t>;

// UTF-8 to UTF-16 into exactly maxIndex + 1 units (vectors made at their
// size allocate just that, so inputs are built whole, never grown); answers the units, or none when the conversion failed.
Units toUtf16(const std::vector<uint8_t> &src, int64_t maxIndex) {
  Units dst(static_cast<size_t>(maxIndex + 1));
  const int32_t rc = utf8array_to_utf16asciz(src.data(), src.size(), dst.data(), maxIndex);
  check(rc >= -1 && rc <= maxIndex + 1);
  return {dst.begin(), dst.begin() + std::max(rc, 0)};
}

// UTF-16 to UTF-8 into exactly `size` bytes: at most `size` bytes stored
// and counted, terminated within the buffer; answers the bytes before the
// terminator.
std::vector<uint8_t> toUtf8(const Units &src, int32_t size) {
  std::vector<uint8_t> dst(size > 0 ? static_cast<size_t>(size) : 0);
  const int32_t rc = utf16array_to_utf8asciz(src.data(), src.size(), dst.data(), size);
  if (size < 1) return {};
  check(rc >= 0 && rc <= size && std::find(dst.begin(), dst.end(), 0) != dst.end());
  return {dst.begin(), dst.begin() + std::min(rc, size - 1)};
}

// Well-formed units (every high surrogate followed by a low one, no lone
// low one) go through UTF-8, with room for four bytes a unit, and back.
void roundTrip(const Units &units) {
  for (size_t i = 0; i < units.size(); ++i) {
    const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF, low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
    if (low || (high && (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF))) return;
    i += high;
  }
  check(toUtf16(toUtf8(units, static_cast<int32_t>(4 * units.size() + 1)), static_cast<int64_t>(units.size())) == units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const std::vector<uint8_t> bytes(data + 2, data + size);
  Units units(bytes.size() / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  roundTrip(toUtf16(bytes, static_cast<int64_t>(data[0] % (bytes.size() + 3)) - 1));
  toUtf8(units, static_cast<int32_t>(data[1] % (3 * units.size() + 3)) - 1);
  roundTrip(units);
  return 0;
}
