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
//   - TRACE_SetByStr agrees with a reference written from the token rules
//     (names found through TRACE_mask2str), and a refused text leaves the
//     mask as it was.
// The settings are put back to their initial values after each input.
//
// Input layout (seeds stay readable text):
//   byte 0      room beyond the command: byte % 200 bytes
//   command     up to the first '\n'
//   mask text   the rest (up to a NUL)
#include <unistd.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qmerror.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace {

using fuzz::block;
using fuzz::check;

constexpr uint64_t kAll = 0xFFFFFFFFFFFFFFFDull;

// ---- state gathered once, before the first input ----------------------
// The name of each bit that has one (empty for the bits without a row).
std::string bitNames[64];

std::string upper(std::string s) {
  for (char &c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  return s;
}

// Mask text to mask by the rules: a token ends at the next comma if the
// rest holds one, else at the next bar, else at the end; empty tokens are
// skipped, "all" replaces what was gathered, any other token must be a
// name (case ignored, nothing trimmed). Answers false for an unknown name.
bool referenceMask(const std::string &text, uint64_t *mask) {
  *mask = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.find('|', pos);
    if (end == std::string::npos) end = text.size();
    const std::string token = upper(text.substr(pos, end - pos));
    pos = end + 1;
    if (token.empty()) continue;
    if (token == "ALL") {
      *mask = kAll;
      continue;
    }
    int bit = 0;
    while (bit < 64 && bitNames[bit] != token) ++bit;
    if (bit == 64) return false;
    *mask |= uint64_t{1} << bit;
  }
  return true;
}

// The full settings reply, from a buffer larger than any reply.
std::string fullReply() {
  auto reply = block("", 1024);
  TRACE_getXmlTraceCommand(reply.get(), 1024);
  return reply.get();
}

void resetSettings() {
  TRACE_Set(0);
  TRACE_SetLevelByStr("Fine");
  TRACE_SetProgram(nullptr);
  TRACE_SetMode(0);
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

void parseCommand(const std::string &command, size_t room) {
  const size_t size = command.size() + 1 + room;
  auto cmd = block(command, size);
  const int32_t rc = TRACE_Parse_Common(cmd.get(), static_cast<int32_t>(size));
  check(rc == QM_SUCCESS || rc == QM_INFO_XMLRESPONSE || rc == QM_ERR_IVLOGLVL || rc == QM_ERR_IVLOGDEV);
  check(std::strlen(cmd.get()) < size);
  if (rc == QM_INFO_XMLRESPONSE) check(cmd.get() == fullReply().substr(0, size - 1));
  const std::string level = TRACE_GetLevelStr();
  check(level == "Coarse" || level == "Medium" || level == "Fine");
  check(std::strlen(TRACE_GetProgram()) <= 15);
}

void setMaskText(const std::string &text, size_t room) {
  uint64_t before = 0;
  TRACE_Get(&before);
  uint64_t expected = 0;
  const bool known = referenceMask(text, &expected);
  const int32_t rc = TRACE_SetByStr(text.c_str());
  uint64_t after = 0;
  TRACE_Get(&after);
  check(rc == (known ? QM_SUCCESS : QM_ERR_IVLOGLVL));
  check(after == (known ? expected : before));

  // The mask read back as text, into a block of random exact size.
  const size_t size = room % 300;
  auto out = block("", size);
  TRACE_mask2str(after, out.get(), static_cast<int32_t>(size));
  if (size > 0) check(std::strlen(out.get()) < size);
}

}  // namespace

// Nothing here should log, but a line would go to standard output (which
// is discarded) rather than to the system log. The bit names are read from
// TRACE_mask2str one bit at a time; a bit with two rows reads "NAME,NAME".
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  for (int bit = 0; bit < 64; ++bit) {
    char name[64];
    TRACE_mask2str(uint64_t{1} << bit, name, sizeof name);
    bitNames[bit] = std::string(name).substr(0, std::string(name).find(','));
  }
  resetSettings();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t room = data[0] % 200;
  const uint8_t *p = data + 1;
  const uint8_t *end = data + size;
  const std::string command = fuzz::cString(fuzz::field(p, end));
  const std::string maskText =
      fuzz::cString(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p)));

  parseCommand(command, room);
  setMaskText(maskText, room);
  resetSettings();
  return 0;
}
