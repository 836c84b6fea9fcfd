// file_internal.h - what the file utilities' source files (qmfile_*.cpp)
// share and nothing else sees: their trace bit, the guards of a heap block
// and of a cut in a writable path, and the length of a joined path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform_internal.h"
#include "qmmem.h"
#include "qmtrace.h"

namespace rtk::file {

// Every trace line of the file utilities is written under this bit.
constexpr uint64_t kTrace = QM_TRACE_FILE;

using rtk::platform::Shown;

// Owns a block of the debug heap and releases it when it goes.
class HeapBlock {
 public:
  explicit HeapBlock(void *p = nullptr) : p_(p) {}
  ~HeapBlock() { reset(); }
  HeapBlock(const HeapBlock &) = delete;
  HeapBlock &operator=(const HeapBlock &) = delete;
  template <typename T>
  T *as() const {
    return static_cast<T *>(p_);
  }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_ != nullptr) MEM_free(p_);
    p_ = nullptr;
  }

 private:
  void *p_;
};

// Puts a NUL at a position of a writable text for the length of a scope and
// gives the byte back at its end.
class TextCut {
 public:
  explicit TextCut(char *at) : at_(at), saved_(*at) { *at_ = '\0'; }
  ~TextCut() { *at_ = saved_; }
  TextCut(const TextCut &) = delete;
  TextCut &operator=(const TextCut &) = delete;

 private:
  char *at_;
  char saved_;
};

// Length of dir (dirLen characters) joined with name by qmfile_dircat: one
// '/' is put between them unless dir is empty or already ends with one.
inline size_t JoinedLength(const char *dir, size_t dirLen, const char *name) {
  const size_t sep = (dirLen > 0 && dir[dirLen - 1] != '/') ? 1 : 0;
  return dirLen + sep + std::strlen(name);
}

}  // namespace rtk::file
