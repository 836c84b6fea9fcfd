// error_internal.h - what the catalogue's modules share with each other and
// with the message log, and nothing else sees.
//
// The catalogue is cut into four modules, each using only those before it:
//
//   qmerror_table.cpp     the rows, the lookups, the text fields under the
//                         table lock, and the printf-ready text of one code
//                         copied out without heap, trace or log (the log's
//                         repeat notice reads MSGREPEAT through it)
//   qmerror_texts.cpp     the one-time conversion into heap copies, the exit
//                         handler "err", QMERR_err2str, QMERR_setDisabled
//   qmerror_messages.cpp  the messages file
//   qmerror_announce.cpp  announcements to the message log
//
// Locks: the table lock guards the text fields of every row (message,
// savedMessage, owned). It is held only around reads and writes of those
// fields and the copying of a text: nothing allocates, logs or traces under
// it, so the log may take it while it holds its own output lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace rtk::error {

/*
 * One row of the catalogue (64-bit pointers):
 *
 *   offset  0  int32_t      code           the result code
 *   offset  8  const char  *mnemonic       constant name of the code
 *   offset 16  int32_t      severity       log level of announcements
 *   offset 24  const char  *message        current text (built-in, heap copy
 *                                          or replacement)
 *   offset 32  const char  *savedMessage   text before the first replacement
 *   offset 40  int32_t      disabled       nonzero: announcements suppressed
 *   offset 44  int32_t      announceCount  announcements so far
 *   offset 48  int32_t      owned          1: message is a heap copy we own
 *   size   56
 *
 * The text pointers are const: built-in texts live in read-only storage and
 * are never written; a heap copy is edited through its own pointer before it
 * is hung into a row. A text that the row does not own is a built-in text or
 * "(msg deleted)" and is never released, so it may be read without the lock.
 */
struct ErrEntry {
  int32_t code;
  const char *mnemonic;
  int32_t severity;
  const char *message;
  const char *savedMessage;
  int32_t disabled;
  int32_t announceCount;
  int32_t owned;
};
static_assert(sizeof(void *) != 8 || sizeof(ErrEntry) == 56, "ErrEntry layout");
static_assert(offsetof(ErrEntry, mnemonic) == sizeof(void *), "ErrEntry layout");
static_assert(offsetof(ErrEntry, disabled) == 5 * sizeof(void *), "ErrEntry layout");
static_assert(offsetof(ErrEntry, owned) == 5 * sizeof(void *) + 8, "ErrEntry layout");

// Number of rows; the last one is WEIRD, the row of every unknown code.
inline constexpr int32_t kRowCount = 224;

// Room for the longest built-in text and its terminator (the table checks it).
inline constexpr size_t kBuiltinTextRoom = 2048;

// Argument markers of the message texts, as the built-in rows write them.
#define RTK_MARKER_STRING "<var type=\"string\"/>"
#define RTK_MARKER_INT32 "<var type=\"int32\"/>"
#define RTK_MARKER_INT64 "<var type=\"int64\"/>"

// The markers and the printf conversions that replace them, in the order in
// which they are replaced.
inline constexpr const char *kMarkers[][2] = {
    {RTK_MARKER_STRING, "%s"},
    {RTK_MARKER_INT32, "%d"},
    {RTK_MARKER_INT64, "%Ld"},
};

// Holds the table lock for one scope.
class TableLock {
 public:
  TableLock();
  ~TableLock();
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
};

// Around fork, for the message log's fork handlers (which take the output
// lock first): the table lock is taken before the fork and released after
// it in the parent; the child gets a free lock even when another thread of
// the parent held it at that moment.
void TableForkPrepare();
void TableForkParent();
void TableForkChild();

// The row index of a code; every code that is not in the table answers the
// last row, WEIRD.
int32_t qmerr2idx(int32_t code);

// The row at an index, and the row of a code (WEIRD for an unknown code).
ErrEntry &RowAt(int32_t idx);
ErrEntry &Row(int32_t code);

// The built-in text of a row, markers included.
const char *BuiltinText(int32_t idx);

// The current text of a row and its replacement, published atomically:
// readers outside the table lock see a whole pointer.
const char *TextOf(const ErrEntry &e);
void SetText(ErrEntry &e, const char *text);

// The disabled value of a row, a single atomic word.
std::atomic_ref<int32_t> DisabledOf(ErrEntry &e);

// Whether the one-time conversion of the texts has run (the product's
// first_time flag, inverted), and marking that it has.
bool TextsConverted();
void MarkTextsConverted();

// Replaces the argument markers of a writable text within size bytes (the
// text only shrinks). True when no "<var" is left in it.
bool SubstituteMarkers(char *text, uint32_t size);

// Copies into out (size bytes, cut and terminated as STR_copy does) the text
// that QMERR_err2str answers for a code, without running the one-time
// conversion: before it has run, the markers of a text that the row does not
// own are converted in the copy. Takes no heap and writes no log or trace
// line, so the message log may call it for its repeat notice.
void CurrentFormat(int32_t code, char *out, uint32_t size);

// Copies a code's built-in text into out with its markers converted.
void BuiltinFormat(int32_t code, char *out, uint32_t size);

// ---- the texts module (qmerror_texts.cpp) ----------------------------------

// Turns the markers of a text into printf conversions; a text that keeps a
// "<var" is reported in the message log and answers UNKNOWNVAR.
int32_t convertVarToPercents(char *text, uint32_t size);

// Makes every text of the table a printf format, once per process.
void convertVarToPercents_all();

// Exit handler "err": releases the texts that the table owns.
void error_fini();

// Releases a heap text that a row owned.
void ReleaseText(const char *text);

}  // namespace rtk::error
