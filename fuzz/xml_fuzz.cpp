// Fuzz target for the attribute scanner. Every buffer is a heap block of
// exactly the size the scanner is told, so any write or read outside it is
// caught by AddressSanitizer.
//
// Input layout (seeds stay readable text):
//   byte 0      bit 7 set: null default; bits 0-6 mod 70, minus 2: outSize (-2..67)
//   key         up to the first '\n'
//   default     up to the next '\n'
//   the rest    the element text (up to its first NUL)
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmxml.h"

namespace {

using fuzz::block;
using fuzz::check;

// Takes every occurrence of the key, checking that positions never move and
// that the value fits its buffer, then reads the rest of the element.
void scanAttributes(const std::string &element, const std::string &key, const std::string &dflt,
                    bool nullDefault, int32_t outSize) {
  auto text = block(element, element.size() + 1), out = block("", outSize > 0 ? static_cast<size_t>(outSize) : 1);
  // A found bare word of an empty key blanks nothing, so the loop is bounded.
  for (int i = 0; i < 8; ++i) {
    char *r = xml_getAssignment(text.get(), key.c_str(), outSize > 0 ? out.get() : nullptr, outSize,
                                nullDefault ? nullptr : dflt.c_str());
    check(std::strlen(text.get()) == element.size() && (outSize <= 0 || std::strlen(out.get()) < static_cast<size_t>(outSize)));
    if (r == nullptr) break;
    check(r == out.get());
  }
  xml_isKeyword(key.c_str(), text.get());
  xml_getAssignment64(text.get(), key.c_str(), nullDefault ? "0" : dflt.c_str());
  xml_packUnused(text.get());
}

// Walks the element list element by element, copying each into buffers of
// a size derived from the input, and checks that each step moves forward.
void walkElements(const std::string &texts, size_t sizeSeed) {
  auto text = block(texts, texts.size() + 1);
  const char *end = text.get() + std::strlen(text.get());
  for (const char *p = text.get(); *p != '\0';) {
    const char *next = xml_advance(p);
    check(next > p && next <= end);
    const size_t dstSize = sizeSeed % (static_cast<size_t>(next - p) + 2);
    check(xml_copy(block("", dstSize == 0 ? 1 : dstSize).get(), static_cast<int32_t>(dstSize), p) == next);
    p = next;
  }
}

// Encodes the text in a buffer between just large enough to hold it and six
// times its length (room for every character to become an entity).
void encode(const std::string &texts, size_t sizeSeed) {
  const size_t len = std::strlen(texts.c_str());
  const size_t size = len + 1 + sizeSeed % (5 * len + 1);
  auto text = block(texts, size);
  xml_ConvertToAmpersands(text.get(), static_cast<int32_t>(size));
  check(std::strlen(text.get()) < size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t *p = data + 1, *end = data + size;
  const std::string key = fuzz::field(p, end), dflt = fuzz::field(p, end), element = fuzz::rest(p, end);
  scanAttributes(element, key, dflt, (data[0] & 0x80) != 0, static_cast<int32_t>((data[0] & 0x7F) % 70) - 2);
  walkElements(element, size);
  encode(element, size);
  return 0;
}
