/*
 * qmstr_utf.cpp - the converters between UTF-8 byte arrays and arrays of
 * 16-bit UTF-16 units in the host's byte order. Both take a counted input,
 * write into a caller's buffer of a given size and report how much they
 * wrote; the UTF-8 side checks only the shape of each sequence.
 *
 * Each converter goes in blocks inside which the room left has been checked
 * once for the whole block, and passes runs of ASCII eight at a time; what
 * is left after the last block goes one sequence at a time with every
 * bound checked.
 */
#include <cstdint>
#include <cstring>

#include "qmstr.h"
#include "str/str_internal.h"

namespace {

// True when none of the eight bytes at p has its high bit set: eight ASCII
// characters. The caller makes sure that all eight lie inside its input.
inline bool eightAsciiBytes(const uint8_t *p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080u) == 0;
}

// How many of the eight units at p, from the first on, are ASCII (0 to 8).
// The caller makes sure that all eight lie inside its input.
inline uint64_t leadingAsciiUnits(const uint16_t *p) {
  constexpr uint64_t kAboveAscii = 0xFF80FF80FF80FF80u;
  uint64_t words[2];
  memcpy(words, p, sizeof words);
  if ((words[0] & kAboveAscii) != 0) return rtk::str::FirstFlaggedByte(words[0] & kAboveAscii) / 2;
  if ((words[1] & kAboveAscii) != 0) return 4 + rtk::str::FirstFlaggedByte(words[1] & kAboveAscii) / 2;
  return 8;
}

// UTF-16 units stored at dst[0..last].
struct Utf16Out {
  uint16_t *dst;
  int64_t last;
  int64_t written = 0;
};

// The bytes src[0..3] as one number, the first byte lowest; checked, bytes
// past the input's end (left bytes from src on) read as 0, which continues no
// sequence.
template <bool kChecked>
uint32_t sequenceWord(const uint8_t *src, uint64_t left) {
  uint32_t word = src[0];
  for (uint64_t k = 1; k < 4; ++k) {
    if (!kChecked || k < left) word |= uint32_t{src[k]} << (8 * k);
  }
  return word;
}

// Decodes the UTF-8 sequence at src (left bytes of input from there on) into
// out. Answers the bytes taken, or 0 when the sequence is malformed (a lead
// byte that starts none, a byte that should continue it and does not, or
// the end of the input inside it) or a unit finds no room. Unchecked
// (kChecked false), the caller has made sure that four bytes of input and
// two units of room are left. Each test of a word checks the lead byte's
// form and the continuation bytes' forms at once.
template <bool kChecked>
uint64_t decodeSequence(const uint8_t *src, uint64_t left, Utf16Out &out) {
  auto store = [&out](uint32_t unit) {
    if (kChecked && out.written > out.last) return false;
    out.dst[out.written++] = static_cast<uint16_t>(unit);
    return true;
  };
  const uint32_t word = sequenceWord<kChecked>(src, left);
  const uint32_t c = word & 0xFF;
  const uint32_t c1 = (word >> 8) & 0x3F;
  const uint32_t c2 = (word >> 16) & 0x3F;
  if ((word & 0x80) == 0) return store(c) ? 1 : 0;
  if ((word & 0xC0E0) == 0x80C0) return store(((c & 0x1F) << 6) | c1) ? 2 : 0;
  if ((word & 0xC0C0F0) == 0x8080E0) return store(((c & 0x0F) << 12) | (c1 << 6) | c2) ? 3 : 0;
  if ((word & 0xC0C0C0F8) == 0x808080F0) {
    const uint32_t plane = ((((c & 0x07) << 2) | (c1 >> 4)) - 1) & 0x0F;
    const bool stored = store(0xD800 | (plane << 6) | ((c1 & 0x0F) << 2) | (c2 >> 4)) &&
                        store(0xDC00 | ((c2 & 0x0F) << 6) | ((word >> 24) & 0x3F));
    return stored ? 4 : 0;
  }
  return 0;
}

// Appends UTF-8 bytes to a caller's buffer of `size` bytes: bytes that no
// longer fit are dropped, and the count never exceeds the size.
struct Utf8Sink {
  uint8_t *dst;
  int32_t size;
  int32_t stored = 0;

  void put(uint32_t byte) {
    if (stored < size) dst[stored++] = static_cast<uint8_t>(byte);
  }
};

// Appends UTF-8 bytes where the caller has made sure that there is room for
// them.
struct RoomySink {
  uint8_t *at;

  void put(uint32_t byte) { *at++ = static_cast<uint8_t>(byte); }
  // The ASCII units that start the eight at src, each as its byte, with one
  // store of eight bytes; answers how many (1 to 8) when src[0] is ASCII.
  // The bytes stored for the units after them are written over by those
  // units' own bytes, which are at least one a unit: the caller keeps this
  // sink only while all eight units will still be written.
  uint64_t putAsciiRun(const uint16_t *src) {
    using EightUnits = uint16_t __attribute__((vector_size(16)));
    using EightBytes = uint8_t __attribute__((vector_size(8)));
    EightUnits units;
    memcpy(&units, src, sizeof units);
    const auto bytes = __builtin_convertvector(units, EightBytes);
    memcpy(at, &bytes, sizeof bytes);
    const uint64_t run = leadingAsciiUnits(src);
    at += run;
    return run;
  }
  // Two units that take three bytes each, written with one copy of six bytes.
  void putTwoThreeByteUnits(uint32_t w, uint32_t x) {
    const uint8_t bytes[6] = {
        static_cast<uint8_t>(0xE0 | (w >> 12)), static_cast<uint8_t>(0x80 | ((w >> 6) & 0x3F)),
        static_cast<uint8_t>(0x80 | (w & 0x3F)), static_cast<uint8_t>(0xE0 | (x >> 12)),
        static_cast<uint8_t>(0x80 | ((x >> 6) & 0x3F)), static_cast<uint8_t>(0x80 | (x & 0x3F))};
    memcpy(at, bytes, sizeof bytes);
    at += sizeof bytes;
  }
};

// True for a unit that UTF-8 writes in three bytes: from 0x800 on, and no surrogate.
inline bool threeBytes(uint32_t w) { return w >= 0x800 && (w < 0xD800 || w > 0xDFFF); }

// Writes the UTF-8 form of the unit at src[i] into out, the pair's code
// point when it is a high surrogate followed by a low one. Answers the
// number of units taken (1 or 2).
template <typename Sink>
uint64_t encodeUnit(const uint16_t *src, uint64_t i, uint64_t n, Sink &out) {
  const uint32_t w = src[i];
  if (w < 0x80) {
    out.put(w);
  } else if (w < 0x800) {
    out.put(0xC0 | (w >> 6));
    out.put(0x80 | (w & 0x3F));
  } else if (w >= 0xD800 && w <= 0xDBFF && i + 1 < n && src[i + 1] >= 0xDC00 &&
             src[i + 1] <= 0xDFFF) {
    const uint32_t w2 = src[i + 1];
    const uint32_t u = ((w >> 6) & 0x0F) + 1;
    out.put(0xF0 | (u >> 2));
    out.put(0x80 | ((u & 3) << 4) | ((w >> 2) & 0x0F));
    out.put(0x80 | ((w & 3) << 4) | ((w2 >> 6) & 0x0F));
    out.put(0x80 | (w2 & 0x3F));
    return 2;
  } else {
    out.put(0xE0 | (w >> 12));
    out.put(0x80 | ((w >> 6) & 0x3F));
    out.put(0x80 | (w & 0x3F));
  }
  return 1;
}

}  // namespace

extern "C" {

// Decodes n bytes of UTF-8 into UTF-16 units at dst[0..maxIndex]; checks only
// the shape of each sequence. Answers the unit count, or -1 on a malformed
// sequence or a full output (units already stored stay). Four-byte sequences
// beyond U+10FFFF (or overlong) are not rejected: the plane bits are kept to
// four so that the first unit is still a high surrogate. An output longer
// than the result can count fails like a full one.
//
// The input goes in blocks inside which only the sequences' shape is
// checked: a sequence that starts at least four bytes before the end lies
// inside the input whole, and the sequences that start within a block of k
// bytes make at most k + 1 units. Runs of ASCII go eight bytes at a time.
int32_t utf8array_to_utf16asciz(const uint8_t *src, uint64_t n, uint16_t *dst, int64_t maxIndex) {
  const int64_t last = maxIndex < INT32_MAX - 1 ? maxIndex : INT32_MAX - 1;
  Utf16Out out{dst, last};
  uint64_t i = 0;
  for (;;) {
    const int64_t unitRoom = last - out.written;
    if (n < 4 || i >= n - 3 || unitRoom < 1) break;
    const uint64_t inputRoom = n - 3 - i;
    const uint64_t blockEnd = i + (inputRoom < static_cast<uint64_t>(unitRoom) ? inputRoom : static_cast<uint64_t>(unitRoom));
    while (i < blockEnd) {
      if (src[i] < 0x80 && blockEnd - i >= 8 && eightAsciiBytes(src + i)) {
        for (int k = 0; k < 8; ++k) dst[out.written + k] = src[i + k];
        out.written += 8;
        i += 8;
        continue;
      }
      const uint64_t taken = decodeSequence<false>(src + i, n - i, out);
      if (taken == 0) return -1;
      i += taken;
    }
  }
  while (i < n) {
    const uint64_t taken = decodeSequence<true>(src + i, n - i, out);
    if (taken == 0) return -1;
    i += taken;
  }
  return static_cast<int32_t>(out.written);
}

// Encodes n UTF-16 units as UTF-8 into size bytes, cutting (never refusing)
// when the buffer runs out; unpaired surrogates are written as three bytes.
// Answers the bytes stored; a full buffer answers size and its last byte
// becomes the terminator. A size below 1 writes nothing and answers 0.
//
// The units go in blocks inside which bytes are stored without a check
// each: a unit takes at most three bytes (a pair four for its two units), so
// a block of k units that starts with 3k + 1 bytes of room left cannot run
// out. Runs of two or more ASCII units go up to eight at a time (one store
// of eight bytes), two three-byte units at once.
int32_t utf16array_to_utf8asciz(const uint16_t *src, uint64_t n, uint8_t *dst, int32_t size) {
  if (size < 1) return 0;
  uint8_t *const end = dst + size;
  uint64_t i = 0;
  RoomySink roomy{dst};
  for (;;) {
    const ptrdiff_t room = end - roomy.at;
    if (room < 4 || i >= n) break;
    const auto fit = static_cast<uint64_t>(room - 1) / 3;
    const uint64_t blockEnd = i + (n - i < fit ? n - i : fit);
    while (i < blockEnd) {
      const uint32_t w = src[i];
      if (w < 0x80 && blockEnd - i >= 8 && src[i + 1] < 0x80) {
        i += roomy.putAsciiRun(src + i);
      } else if (threeBytes(w) && blockEnd - i >= 2 && threeBytes(src[i + 1])) {
        roomy.putTwoThreeByteUnits(w, src[i + 1]);
        i += 2;
      } else {
        i += encodeUnit(src, i, n, roomy);
      }
    }
  }
  Utf8Sink out{dst, size, static_cast<int32_t>(roomy.at - dst)};
  while (i < n && out.stored < size) i += encodeUnit(src, i, n, out);
  dst[out.stored < size ? out.stored : size - 1] = '\0';
  return out.stored;
}

}  // extern "C"
