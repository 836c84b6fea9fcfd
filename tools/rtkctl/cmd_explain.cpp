// rtkctl explain CODE|MNEMONIC: shows a result code of the catalogue with its
// mnemonic, the severity at which it is announced and its message text.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json.h"
#include "qmerror.h"
#include "qmstr.h"
#include "rtkctl.h"

namespace {

// Names of the log levels that severities refer to.
const char *const kSeverityNames[] = {"PANIC", "ERROR", "Warn", "Info", "Print"};

int RunExplain(int argc, char **argv);
const rtkctl::Command kExplain{"explain", "[--json] CODE|MNEMONIC",
                               "show a result code's mnemonic, severity and text", RunExplain};

// Finds the code that a decimal number or a mnemonic (with or without a
// QM_ERR_-style prefix) names. The library maps unknown codes and names to
// WEIRD; here they are unknown, and only WEIRD's own number or name is WEIRD.
bool FindCode(const char *arg, int32_t *code) {
  char *end = nullptr;
  errno = 0;
  const long number = std::strtol(arg, &end, 10);
  if (end != arg && *end == '\0') {
    if (errno != 0 || number < INT32_MIN || number > INT32_MAX) return false;
    *code = static_cast<int32_t>(number);
    return *code == QM_ERR_WEIRD || std::strcmp(QMERR_err2mnemonic(*code), "WEIRD") != 0;
  }
  *code = QMERR_str2err(arg);
  return *code != QM_ERR_WEIRD || STR_strcasecmp(arg, "WEIRD") == 0 ||
         STR_strcasecmp(arg, "QM_ERR_WEIRD") == 0;
}

// Prints the text, indenting its continuation lines under the first.
void PrintText(const char *text) {
  std::fputs("text:     ", stdout);
  for (const char *p = text; *p != '\0'; ++p) {
    std::putchar(*p);
    if (*p == '\n' && p[1] != '\0') std::fputs("          ", stdout);
  }
  const size_t length = std::strlen(text);
  if (length == 0 || text[length - 1] != '\n') std::putchar('\n');
}

int RunExplain(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kExplain);
  int32_t code = 0;
  if (!FindCode(argv[1], &code)) {
    std::fprintf(stderr, "rtkctl explain: '%s' is not a result code or mnemonic of the catalogue\n", argv[1]);
    return rtkctl::kExitUsage;
  }
  const int32_t severity = QMERR_getSeverity(code);
  const bool named = severity >= 0 && severity < static_cast<int32_t>(sizeof kSeverityNames / sizeof *kSeverityNames);
  if (rtkctl::JsonOutput()) {
    // The text without the line feed that catalogue texts may end with.
    std::string text = QMERR_err2str(code);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    rtkctl::JsonObject json;
    json.Number("code", code).String("mnemonic", QMERR_err2mnemonic(code));
    if (named) {
      json.String("severity", kSeverityNames[severity]);
    } else {
      json.Null("severity");
    }
    json.String("text", text.c_str());
    return rtkctl::kExitOk;
  }
  std::printf("code:     %d\nmnemonic: %s\nseverity: %s\n", code, QMERR_err2mnemonic(code),
              named ? kSeverityNames[severity] : "?");
  PrintText(QMERR_err2str(code));
  return rtkctl::kExitOk;
}

const rtkctl::Registration kRegistration(kExplain, rtkctl::Forms::kTextAndJson);

}  // namespace
