// Fuzz target for the messages file: QMERR_Integrate reads random text into
// the catalogue, every code whose text changed is announced, and the
// exit-handler rundown (error_fini) puts the texts back. The text is a heap
// block of exactly its length plus the terminator. After every input:
//   - the result is SUCCESS or the failure of one element;
//   - the announcements, made with the arguments that the code's built-in
//     text asks for (a read-only string for each "%s", a small number for
//     any other conversion and for every argument beyond them), did not
//     crash: a replaced text that reads more or other arguments, or writes
//     through one ("%n"), would;
//   - the text kept its length (attributes are blanked out, never removed,
//     and the '<' cut for the failure line is put back);
//   - after the rundown every row shows the text it had before, and the
//     debug heap holds no block more than before: every replaced text was
//     released, and the heap checks clean.
//
// Input: the messages text itself (up to its first NUL).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"

namespace {

// A catalogue row as it must look again after each rundown, and the eight
// arguments that callers pass when they announce its code (no built-in
// text takes more than four).
struct RowSnapshot { int32_t code; std::string text; int32_t disabled; uintptr_t arguments[8]; };

// ---- state gathered once, before the first input ----------------------
std::vector<RowSnapshot> rows;
uint64_t heapInUse = 0;

uint64_t allocatedBytes() {
  uint64_t allocated = 0, free = 0;
  MEM_Stats(&allocated, &free);
  return allocated;
}

}  // namespace

// The failure line goes to standard output, which is discarded, instead of
// the system log. The one-time conversion of the texts and the first
// rundown happen here, so that each input starts from the same table. The
// catalogue's codes are those whose row is not WEIRD's, and WEIRD itself.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  qmmem_setDbg(1);
  static const char kString[] = "fuzz";
  for (int32_t code = 0; code <= QM_ERR_WEIRD; ++code) {
    if (code != QM_ERR_WEIRD && QMERR_err2mnemonic(code) == QMERR_err2mnemonic(QM_ERR_WEIRD)) continue;
    RowSnapshot row{code, "", QMERR_getDisabled(code), {7, 7, 7, 7, 7, 7, 7, 7}};
    // For "%s" a string in read-only memory, for everything else 7 (an int,
    // and no valid address).
    const std::string text = QMERR_err2str(code);
    size_t n = 0;
    for (size_t at = text.find('%'); at != std::string::npos && n < 8; at = text.find('%', at + 2))
      if (text.compare(at, 2, "%%") != 0) row.arguments[n++] = text.compare(at, 2, "%s") == 0 ? reinterpret_cast<uintptr_t>(kString) : 7;
    rows.push_back(row);
  }
  qmexit_rundown();
  for (RowSnapshot &row : rows) row.text = QMERR_err2str(row.code);
  heapInUse = allocatedBytes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input = fuzz::Input{data, data + size}.field('\0');
  auto text = fuzz::block(input, static_cast<int64_t>(input.size() + 1));
  const int32_t rc = QMERR_Integrate(text.get());
  fuzz::check((rc == QM_SUCCESS || rc == QM_ERR_IVKEYWORD || rc == QM_ERR_IVVALUE || rc == QM_ERR_IVSYNTAX || rc == QM_ERR_NOMEM) &&
        std::strlen(text.get()) == input.size());
  for (const RowSnapshot &row : rows) {
    if (row.text == QMERR_err2str(row.code)) continue;
    const uintptr_t *a = row.arguments;
    QMERR_setDisabled(row.code, 0);
    QMERR_Announce(row.code, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  }
  qmexit_rundown();
  fuzz::check(qmmem_check() == 0 && allocatedBytes() == heapInUse);
  for (const RowSnapshot &row : rows) {
    fuzz::check(row.text == QMERR_err2str(row.code));
    QMERR_setDisabled(row.code, row.disabled);
  }
  return 0;
}
