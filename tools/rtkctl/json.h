// rtkctl's JSON output (--json): one object per result, written field by
// field as the command learns its values, so no document is held in memory.
//
// Strings are the library's bytes. Valid UTF-8 is written as it is, with '"',
// '\\' and the control characters U+0000-U+001F and U+007F escaped. File and
// user names need not be UTF-8: a value that is not valid UTF-8 (overlong
// forms, surrogates and code points above U+10FFFF count as invalid) is
// written with U+FFFD in place of every byte that does not belong to a valid
// sequence, and its exact bytes follow in a second field named KEY_hex, as
// lowercase hexadecimal. A script that must act on such a name reads KEY_hex
// when it is present.
#pragma once

#include <cstdint>
#include <cstdio>

namespace rtkctl {

class JsonObject {
 public:
  // Opens the object; the destructor closes what is still open and ends the
  // line, so that every result is one line.
  explicit JsonObject(FILE *out = stdout);
  ~JsonObject();
  JsonObject(const JsonObject &) = delete;
  JsonObject &operator=(const JsonObject &) = delete;

  JsonObject &Begin(const char *key);  // a nested object as the value of key
  JsonObject &End();                   // closes the innermost nested object
  JsonObject &String(const char *key, const char *value);
  JsonObject &Number(const char *key, int64_t value);
  JsonObject &Unsigned(const char *key, uint64_t value);
  JsonObject &Bool(const char *key, bool value);
  JsonObject &Null(const char *key);

  // The four settings of a trace command or reply ("<trace device=... mask=...
  // level=... program=.../>") as the fields device, mask, level and program.
  JsonObject &TraceSettings(const char *command);

 private:
  void Key(const char *key);

  FILE *out_;
  int depth_ = 1;      // objects open, the outermost included
  bool empty_ = true;  // the innermost open object has no field yet
};

}  // namespace rtkctl
