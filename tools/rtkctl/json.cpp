// rtkctl's JSON writer (see json.h): escaping, the UTF-8 check and the
// representation of names that are not UTF-8.
#include "json.h"

#include <cinttypes>
#include <cstring>
#include <string>

#include "qmxml.h"

namespace rtkctl {
namespace {

// Length of the valid UTF-8 sequence that starts at s, or 0 when the bytes
// there start none: a stray continuation byte, a cut sequence, an overlong
// form, a surrogate or a code point above U+10FFFF.
size_t ValidSequence(const unsigned char *s, const unsigned char *end) {
  if (s[0] < 0x80) return 1;
  size_t length;
  uint32_t code;
  uint32_t least;
  if ((s[0] & 0xE0) == 0xC0) {
    length = 2, code = s[0] & 0x1Fu, least = 0x80;
  } else if ((s[0] & 0xF0) == 0xE0) {
    length = 3, code = s[0] & 0x0Fu, least = 0x800;
  } else if ((s[0] & 0xF8) == 0xF0) {
    length = 4, code = s[0] & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - s) < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (s[i] & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Writes value as a JSON string, U+FFFD standing for each byte outside a
// valid UTF-8 sequence; answers whether every byte was valid.
bool WriteString(FILE *out, const char *value) {
  const auto *p = reinterpret_cast<const unsigned char *>(value);
  const unsigned char *end = p + std::strlen(value);
  bool valid = true;
  std::fputc('"', out);
  while (p < end) {
    const size_t length = ValidSequence(p, end);
    if (length == 0) {
      std::fputs("\xEF\xBF\xBD", out);
      valid = false;
      ++p;
      continue;
    }
    const unsigned char c = *p;
    if (c == '"' || c == '\\') {
      std::fputc('\\', out);
      std::fputc(c, out);
    } else if (c == '\n') {
      std::fputs("\\n", out);
    } else if (c == '\t') {
      std::fputs("\\t", out);
    } else if (c < 0x20 || c == 0x7F) {
      std::fprintf(out, "\\u%04x", c);
    } else {
      std::fwrite(p, 1, length, out);
    }
    p += length;
  }
  std::fputc('"', out);
  return valid;
}

}  // namespace

JsonObject::JsonObject(FILE *out) : out_(out) { std::fputc('{', out_); }

JsonObject::~JsonObject() {
  while (depth_ > 0) {
    std::fputc('}', out_);
    --depth_;
  }
  std::fputc('\n', out_);
}

// Writes the separator and "key": before a value.
void JsonObject::Key(const char *key) {
  if (!empty_) std::fputc(',', out_);
  empty_ = false;
  WriteString(out_, key);
  std::fputc(':', out_);
}

JsonObject &JsonObject::Begin(const char *key) {
  Key(key);
  std::fputc('{', out_);
  ++depth_;
  empty_ = true;
  return *this;
}

// The closed object was a field of its parent, so the parent is not empty.
JsonObject &JsonObject::End() {
  if (depth_ > 1) {
    std::fputc('}', out_);
    --depth_;
    empty_ = false;
  }
  return *this;
}

JsonObject &JsonObject::String(const char *key, const char *value) {
  Key(key);
  if (WriteString(out_, value)) return *this;
  Key((std::string(key) + "_hex").c_str());
  std::fputc('"', out_);
  for (const char *p = value; *p != '\0'; ++p) {
    std::fprintf(out_, "%02x", static_cast<unsigned char>(*p));
  }
  std::fputc('"', out_);
  return *this;
}

JsonObject &JsonObject::Number(const char *key, int64_t value) {
  Key(key);
  std::fprintf(out_, "%" PRId64, value);
  return *this;
}

JsonObject &JsonObject::Unsigned(const char *key, uint64_t value) {
  Key(key);
  std::fprintf(out_, "%" PRIu64, value);
  return *this;
}

JsonObject &JsonObject::Bool(const char *key, bool value) {
  Key(key);
  std::fputs(value ? "true" : "false", out_);
  return *this;
}

JsonObject &JsonObject::Null(const char *key) {
  Key(key);
  std::fputs("null", out_);
  return *this;
}

// An attribute missing from the command is null. The scanner blanks what it
// finds, so it works on a copy.
JsonObject &JsonObject::TraceSettings(const char *command) {
  std::string text = command;
  for (const char *attribute : {"device", "mask", "level", "program"}) {
    char value[1024];
    if (xml_getAssignment(text.data(), attribute, value, sizeof value, "") != nullptr) {
      String(attribute, value);
    } else {
      Null(attribute);
    }
  }
  return *this;
}

}  // namespace rtkctl
