// rtkctl messages FILE: reads a messages file into the catalogue of this
// process and lists the codes whose text or disabled flag it changed, then
// the result code. It shows what the file would do to a program's messages.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qmerror.h"
#include "qmlog.h"
#include "rtkctl.h"

namespace {

int RunMessages(int argc, char **argv);
const rtkctl::Command kMessages{"messages", "FILE",
                                "integrate a messages file and list what it changed", RunMessages};

struct RowState {
  int32_t code;
  std::string text;
  int32_t disabled;
};

// The text and disabled flag of every row of the catalogue; a code belongs
// to a row unless it reads WEIRD (WEIRD's own code 100000 included).
std::vector<RowState> Snapshot() {
  std::vector<RowState> rows;
  for (int32_t code = 0; code <= QM_ERR_WEIRD; ++code) {
    if (code != QM_ERR_WEIRD && std::strcmp(QMERR_err2mnemonic(code), "WEIRD") == 0) continue;
    rows.push_back({code, QMERR_err2str(code), QMERR_getDisabled(code)});
  }
  return rows;
}

// Reads a whole file; false when it cannot be opened or read.
bool ReadFile(const char *path, std::string *contents) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0) contents->append(block, n);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

int RunMessages(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kMessages);
  std::string contents;
  if (!ReadFile(argv[1], &contents)) {
    std::fprintf(stderr, "rtkctl messages: cannot read '%s': %s\n", argv[1], std::strerror(errno));
    return rtkctl::kExitFailed;
  }
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);  // a failing element is reported here, not in the system log
  const std::vector<RowState> before = Snapshot();
  const int32_t rc = QMERR_Integrate(contents.data());
  std::fflush(stdout);
  for (const RowState &old : before) {
    const char *text = QMERR_err2str(old.code);
    const int32_t disabled = QMERR_getDisabled(old.code);
    const char *mnemonic = QMERR_err2mnemonic(old.code);
    if (disabled != old.disabled) std::printf("%s(%d): disabled %d -> %d\n", mnemonic, old.code, old.disabled, disabled);
    if (old.text != text) std::printf("%s(%d): text '%s'\n", mnemonic, old.code, text);
  }
  std::printf("result: %d %s\n", rc, QMERR_err2mnemonic(rc));
  return rc == QM_SUCCESS ? rtkctl::kExitOk : rtkctl::kExitFailed;
}

const rtkctl::Registration kRegistration(kMessages);

}  // namespace
