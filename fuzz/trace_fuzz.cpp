// Fuzz target for the trace command and the mask text. The command lies in
// a heap block of exactly the buffer size it is passed with (its length
// plus a random amount of room), mask texts are read back into blocks of
// random exact sizes, so AddressSanitizer sees any access past them.
// After every input:
//   - TRACE_Parse_Common answers one of its four results, leaves a
//     terminated text within the buffer, and a settings reply is exactly
//     the full reply cut at the buffer size;
//   - the program filter keeps at most 15 characters;
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
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace {

using fuzz::block;
using fuzz::check;

// The mask as text, into a block of exactly `size` bytes.
std::string maskText(int32_t size) {
  uint64_t mask = 0;
  TRACE_Get(&mask);
  auto text = block("", size);
  TRACE_mask2str(mask, text.get(), size);
  check(size == 0 || std::strlen(text.get()) < static_cast<size_t>(size));
  return size == 0 ? "" : text.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  fuzz::Input in{data + 1, data + size};
  const std::string command = in.field(), text = in.field('\0');
  const auto room = static_cast<int32_t>(command.size() + 1 + data[0] % 200);
  auto cmd = block(command, room), full = block("", 1024);
  const int32_t rc = TRACE_Parse_Common(cmd.get(), room);
  TRACE_getXmlTraceCommand(full.get(), 1024);
  check((rc == QM_SUCCESS || rc == QM_INFO_XMLRESPONSE || rc == QM_ERR_IVLOGLVL || rc == QM_ERR_IVLOGDEV) &&
        std::strlen(cmd.get()) < static_cast<size_t>(room) && std::strlen(TRACE_GetProgram()) <= 15 &&
        (rc != QM_INFO_XMLRESPONSE || cmd.get() == std::string(full.get()).substr(0, static_cast<size_t>(room) - 1)));

  const std::string before = maskText(2048);
  const int32_t set = TRACE_SetByStr(text.c_str());
  check(set == QM_SUCCESS || (set == QM_ERR_IVLOGLVL && maskText(2048) == before));
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
