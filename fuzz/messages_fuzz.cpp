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
#include <unistd.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"

namespace {

using fuzz::check;

// Arguments passed to each announcement; no built-in text takes more than four.
constexpr size_t kArguments = 8;

// A catalogue row as it must look again after each rundown, and the
// arguments that callers pass when they announce its code.
struct RowSnapshot {
  int32_t code;
  std::string text;
  int32_t disabled;
  uintptr_t arguments[kArguments];
};

// The arguments for a converted built-in text: for "%s" a string in
// read-only memory, for everything else 7 (an int, and no valid address).
void argumentsFor(const std::string &text, uintptr_t (&arguments)[kArguments]) {
  static const char kString[] = "fuzz";
  size_t n = 0;
  for (size_t at = text.find('%'); at != std::string::npos && n < kArguments; at = text.find('%', at + 2)) {
    if (text.compare(at, 2, "%%") != 0) arguments[n++] = text.compare(at, 2, "%s") == 0 ? reinterpret_cast<uintptr_t>(kString) : 7;
  }
  for (; n < kArguments; ++n) arguments[n] = 7;
}

// ---- state gathered once, before the first input ----------------------
std::vector<RowSnapshot> rows;
uint64_t heapInUse = 0;

uint64_t allocatedBytes() {
  uint64_t allocated = 0;
  uint64_t free = 0;
  MEM_Stats(&allocated, &free);
  return allocated;
}

// Every code of the catalogue: the codes whose row is not WEIRD's, and
// WEIRD itself.
std::vector<int32_t> catalogueCodes() {
  std::vector<int32_t> codes;
  const char *weird = QMERR_err2mnemonic(QM_ERR_WEIRD);
  for (int32_t code = 0; code < QM_ERR_WEIRD; ++code) {
    if (QMERR_err2mnemonic(code) != weird) codes.push_back(code);
  }
  codes.push_back(QM_ERR_WEIRD);
  return codes;
}

}  // namespace

// The failure line goes to standard output, which is discarded, instead of
// the system log. The one-time conversion of the texts and the first
// rundown happen here, so that each input starts from the same table.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  qmmem_setDbg(1);
  for (int32_t code : catalogueCodes()) {
    rows.push_back({code, "", QMERR_getDisabled(code), {}});
    argumentsFor(QMERR_err2str(code), rows.back().arguments);
  }
  qmexit_rundown();
  for (RowSnapshot &row : rows) row.text = QMERR_err2str(row.code);
  heapInUse = allocatedBytes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input = fuzz::cString(std::string(reinterpret_cast<const char *>(data), size));
  auto text = fuzz::block(input, input.size() + 1);

  const int32_t rc = QMERR_Integrate(text.get());
  check(rc == QM_SUCCESS || rc == QM_ERR_IVKEYWORD || rc == QM_ERR_IVVALUE ||
        rc == QM_ERR_IVSYNTAX || rc == QM_ERR_NOMEM);
  check(std::strlen(text.get()) == input.size());
  for (const RowSnapshot &row : rows) {
    if (row.text == QMERR_err2str(row.code)) continue;
    QMERR_setDisabled(row.code, 0);
    const uintptr_t *a = row.arguments;
    QMERR_Announce(row.code, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  }

  qmexit_rundown();
  check(qmmem_check() == 0 && allocatedBytes() == heapInUse);
  for (const RowSnapshot &row : rows) {
    check(row.text == QMERR_err2str(row.code));
    QMERR_setDisabled(row.code, row.disabled);
  }
  return 0;
}
