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
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmxml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using fuzz::block;
  using fuzz::check;
  if (size == 0) return 0;
  fuzz::Input in{data + 1, data + size};
  const std::string key = in.field(), dflt = in.field(), element = in.field('\0');
  const char *const byDefault = data[0] & 0x80 ? nullptr : dflt.c_str();
  const int32_t outSize = static_cast<int32_t>((data[0] & 0x7F) % 70) - 2;

  // Takes every occurrence of the key (a found bare word of an empty key
  // blanks nothing, so the loop is bounded): positions never move, the
  // value fits its buffer. Then reads the rest of the element.
  auto text = block(element, static_cast<int64_t>(element.size() + 1)), out = block("", outSize);
  for (int i = 0; i < 8; ++i) {
    char *r = xml_getAssignment(text.get(), key.c_str(), outSize > 0 ? out.get() : nullptr, outSize, byDefault);
    check(std::strlen(text.get()) == element.size() && (outSize <= 0 || std::strlen(out.get()) < static_cast<size_t>(outSize)));
    if (r == nullptr) break;
    check(r == out.get());
  }
  xml_isKeyword(key.c_str(), text.get());
  xml_getAssignment64(text.get(), key.c_str(), byDefault ? byDefault : "0");
  xml_packUnused(text.get());

  // Walks the element list, copying each element into a buffer of a size
  // derived from the input; each step moves forward within the text.
  text = block(element, static_cast<int64_t>(element.size() + 1));
  for (const char *p = text.get(), *next; *p != '\0'; p = next) {
    next = xml_advance(p);
    const auto dstSize = static_cast<int32_t>(size % (static_cast<size_t>(next - p) + 2));
    check(next > p && next <= text.get() + element.size() && xml_copy(block("", dstSize).get(), dstSize, p) == next);
  }

  // Encodes the text in a buffer between just large enough to hold it and
  // six times its length (room for every character to become an entity).
  const auto encodedSize = static_cast<int32_t>(element.size() + 1 + size % (5 * element.size() + 1));
  text = block(element, encodedSize);
  xml_ConvertToAmpersands(text.get(), encodedSize);
  check(std::strlen(text.get()) < static_cast<size_t>(encodedSize));
  return 0;
}
