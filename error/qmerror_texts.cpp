/*
 * qmerror_texts.cpp - the printf-ready texts of the catalogue: the one-time
 * conversion of the argument markers, QMERR_err2str, the disabled flag, and
 * the exit handler "err" that releases the converted copies again.
 *
 * The first QMERR_err2str or announcement turns the markers of every text
 * into printf conversions, in heap copies that the table owns until
 * error_fini releases them; nothing else converts the table.
 *
 * Threads: conversions are serialised by the conversion lock, and threads
 * that arrive during the conversion wait for it. The conversion allocates,
 * logs and registers its exit handler with the table lock free, and hangs
 * each copy into its row under that lock, so the message log (which reads
 * the table under the lock) is never kept waiting on the heap. The heap may
 * log while the conversion allocates, and the program's error hook may then
 * ask for a text on the same thread: the conversion lock is recursive, so
 * that call converts what it can and comes back, and the outer conversion,
 * which hangs a copy only into a row that still lacks one, converts the
 * rest.
 */
#include <pthread.h>

#include <cstring>

#include "error/error_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace rtk::error {
namespace {

// Text shown by a row whose converted copy was released at exit and that had
// no earlier text to go back to.
constexpr const char kDeletedText[] = "(msg deleted)";

// The log keeps no more of a message than this.
constexpr size_t kShownSize = 1024;

// ---- process-wide state ----------------------------------------------------
// Held by the thread that runs the one-time conversion; the others wait.
struct {
  pthread_mutex_t conversionLock;
} texts = {PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP};
// ---------------------------------------------------------------------------

// Holds the conversion lock for one scope.
class ConversionLock {
 public:
  ConversionLock() { pthread_mutex_lock(&texts.conversionLock); }
  ~ConversionLock() { pthread_mutex_unlock(&texts.conversionLock); }
  ConversionLock(const ConversionLock &) = delete;
  ConversionLock &operator=(const ConversionLock &) = delete;
};

// Converts one row: a text with markers that the row does not own is
// replaced by a converted heap copy. Answers whether a copy was hung in;
// *leftover tells whether the row's text still holds a "<var". A text that
// the row owns was converted when it was made, and any other text without
// "<var " holds no complete marker, so neither needs a copy. If no copy can
// be allocated the row keeps its built-in text; its markers hold no '%', so
// it is still a harmless format.
bool convertRow(ErrEntry &e, bool *leftover) {
  const char *text;
  {
    TableLock lock;
    text = TextOf(e);
    *leftover = std::strstr(text, "<var") != nullptr;
    if (e.owned != 0 || std::strstr(text, "<var ") == nullptr) return false;
  }
  // A text the row does not own is never released: it is read unlocked.
  const auto size = static_cast<uint32_t>(std::strlen(text) + 1);
  auto *copy = static_cast<char *>(MEM_malloc(-8, static_cast<int32_t>(size), "er11"));
  if (copy == nullptr) return false;
  std::memcpy(copy, text, size);
  const bool left = !SubstituteMarkers(copy, size);
  {
    TableLock lock;
    // The messages file may have replaced the text meanwhile; its own text
    // was converted when it was made.
    if (TextOf(e) == text && e.owned == 0) {
      SetText(e, copy);
      e.owned = 1;
      *leftover = left;
      return true;
    }
    *leftover = std::strstr(TextOf(e), "<var") != nullptr;
  }
  ReleaseText(copy);
  return false;
}

// Logs the current text of a row that kept a marker.
void reportLeftover(const ErrEntry &e) {
  char shown[kShownSize];
  {
    TableLock lock;
    STR_copy(shown, TextOf(e), sizeof shown);
  }
  LOG_Log(QM_LOG_ERROR, "qmerror convert failed:%s\n", shown);
}

}  // namespace

// Releases a text that the table owned; it was allocated as writable.
void ReleaseText(const char *text) { MEM_free(const_cast<char *>(text)); }

// Turns the markers of a writable text into printf conversions; a text that
// keeps a "<var" is reported in the message log and answers UNKNOWNVAR.
int32_t convertVarToPercents(char *text, uint32_t size) {
  if (SubstituteMarkers(text, size)) return QM_SUCCESS;
  LOG_Log(QM_LOG_ERROR, "qmerror convert failed:%s\n", text);
  return QM_ERR_UNKNOWNVAR;
}

// Makes every text of the table a printf format, once per process, and
// registers error_fini when it made a copy. Texts that keep a marker are
// logged once the whole table is done.
void convertVarToPercents_all() {
  if (TextsConverted()) return;
  ConversionLock lock;
  if (TextsConverted()) return;
  bool leftover[kRowCount] = {};
  bool copied = false;
  for (int32_t i = 0; i < kRowCount; ++i) copied |= convertRow(RowAt(i), &leftover[i]);
  MarkTextsConverted();
  if (copied) qmexit_register(error_fini, "err");
  for (int32_t i = 0; i < kRowCount; ++i) {
    if (leftover[i]) reportLeftover(RowAt(i));
  }
}

// Exit handler "err": releases every text that the table owns and points
// the row back at the text it had before the messages file replaced it, or
// at "(msg deleted)". The table stays usable; the conversion does not rerun.
void error_fini() {
  const char *released[kRowCount];
  size_t count = 0;
  {
    TableLock lock;
    for (int32_t i = 0; i < kRowCount; ++i) {
      ErrEntry &e = RowAt(i);
      if (e.owned == 0) continue;
      e.owned = 0;
      released[count++] = TextOf(e);
      SetText(e, e.savedMessage != nullptr ? e.savedMessage : kDeletedText);
    }
  }
  for (size_t i = 0; i < count; ++i) ReleaseText(released[i]);
}

}  // namespace rtk::error

extern "C" {

// The current text of a code as a printf format, after the one-time
// conversion of the table.
const char *QMERR_err2str(int32_t code) {
  rtk::error::ErrEntry &e = rtk::error::Row(code);
  rtk::error::convertVarToPercents_all();
  return rtk::error::TextOf(e);
}

// Stores a code's disabled value as given (not reduced to 0 or 1).
void QMERR_setDisabled(int32_t code, int32_t value) {
  const int32_t idx = rtk::error::qmerr2idx(code);
  TRACE_LogFine(QM_TRACE_ERR, "QMERR_setDisbled: err:%d idx:%d to disabled:%d\n", code, idx, value);
  rtk::error::DisabledOf(rtk::error::RowAt(idx)).store(value, std::memory_order_relaxed);
}

}  // extern "C"
