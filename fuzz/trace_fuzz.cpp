// Fuzz target for the trace command and the mask text. The command lies in
// a heap block of exactly the buffer size it is passed with (its length
// plus a random amount of room), mask texts are read back into blocks of
// random exact sizes, so AddressSanitizer sees any access past them.
// After every input:
//   - TRACE_Parse_Common answers one of its four results, leaves a
//     terminated text within the buffer, and a settings reply is exactly
//     the full reply cut at the buffer size;
//   - the level is one of the three names and the program filter keeps at
//     most 15 characters;
//   - TRACE_SetByStr accepts the text or leaves the mask as it was, and
//     TRACE_mask2str writes within its buffer a text that reads back as a
//     mask with the same text.
// The settings are put back to their initial values after each input.
//
// Input layout (seeds stay readable text):
//   byte 0      room beyond the command: byte % 200 bytes
//   command     up to the first '\n'
//   mask text   the rest (up to a NUL)
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace {

using fuzz::block;
using fuzz::check;

uint64_t mask() {
  uint64_t mask = 0;
  TRACE_Get(&mask);
  return mask;
}

// The mask as text, into a block of exactly `size` bytes.
std::string maskText(size_t size) {
  auto text = block("", size);
  TRACE_mask2str(mask(), text.get(), static_cast<int32_t>(size));
  check(size == 0 || std::strlen(text.get()) < size);
  return size == 0 ? "" : text.get();
}

}  // namespace

// Nothing here should log, but a line would go to standard output (which
// is discarded) rather than to the system log.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::discardStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t *p = data + 1, *end = data + size;
  const std::string command = fuzz::field(p, end), text = fuzz::rest(p, end);
  const size_t room = command.size() + 1 + data[0] % 200;
  auto cmd = block(command, room), full = block("", 1024);
  const int32_t rc = TRACE_Parse_Common(cmd.get(), static_cast<int32_t>(room));
  check(rc == QM_SUCCESS || rc == QM_INFO_XMLRESPONSE || rc == QM_ERR_IVLOGLVL || rc == QM_ERR_IVLOGDEV);
  TRACE_getXmlTraceCommand(full.get(), 1024);
  check(std::strlen(cmd.get()) < room && (rc != QM_INFO_XMLRESPONSE || cmd.get() == std::string(full.get()).substr(0, room - 1)));
  const std::string level = TRACE_GetLevelStr();
  check((level == "Coarse" || level == "Medium" || level == "Fine") && std::strlen(TRACE_GetProgram()) <= 15);

  const uint64_t before = mask();
  const int32_t set = TRACE_SetByStr(text.c_str());
  check(set == QM_SUCCESS || (set == QM_ERR_IVLOGLVL && mask() == before));
  maskText(data[0] % 200);
  const std::string written = maskText(2048);
  check(TRACE_SetByStr(written.c_str()) == QM_SUCCESS && maskText(2048) == written);

  TRACE_Set(0);
  TRACE_SetLevelByStr("Fine");
  TRACE_SetProgram(nullptr);
  TRACE_SetMode(0);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  return 0;
}
