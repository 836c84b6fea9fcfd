// rtkctl whois ID|NAME: turns a user id into the login name, or a login
// name into the user id, through the platform layer's identity look-ups;
// with --json as one object {"uid":N,"name":"..."}.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json.h"
#include "pf_user.h"
#include "qmerror.h"
#include "qmstr.h"
#include "rtkctl.h"

namespace {

int RunWhois(int argc, char **argv);
const rtkctl::Command kWhois = {"whois", "[--json] ID|NAME", "user id to name, or name to user id",
                                RunWhois};
const rtkctl::Registration kRegistration(kWhois, rtkctl::Forms::kTextAndJson);

// Prints one answer: "uid ID name NAME", or the JSON object.
int PrintAnswer(const char *id, const char *name) {
  if (rtkctl::JsonOutput()) {
    rtkctl::JsonObject().Number("uid", std::strtoll(id, nullptr, 10)).String("name", name);
  } else {
    std::printf("uid %s name %s\n", id, name);
  }
  return rtkctl::kExitOk;
}

// True for the decimal text of a user id, 0 to 4294967295. The library
// reads any number modulo 2^32 (4294967296 would name root), so a number
// outside that range, or with a sign, is refused here instead.
bool IsUserId(const char *text) {
  if (STR_isNumeric(text) == 0) return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  return errno == 0 && value <= UINT32_MAX;
}

int RunWhois(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kWhois);
  const char *who = argv[1];
  const bool numeric = STR_isNumeric(who[0] == '-' ? who + 1 : who) != 0;
  if (numeric && !IsUserId(who)) {
    std::fprintf(stderr, "rtkctl whois: %s is not a user id (0 to 4294967295)\n", who);
    return rtkctl::kExitUsage;
  }
  if (numeric) {
    char name[PF_IDTYPE_SIZE];
    PF_IDType2Str(0, who, name, sizeof name);
    if (std::strcmp(name, who) == 0) {
      std::fprintf(stderr, "rtkctl whois: no user has the id %s\n", who);
      return rtkctl::kExitFailed;
    }
    return PrintAnswer(who, name);
  }
  IDType id;
  const int32_t rc = PF_IDStr2IDType(0, who, id);
  if (rc != QM_SUCCESS) {
    std::fprintf(stderr, "rtkctl whois: %s: %s (%d)\n", who, QMERR_err2mnemonic(rc), rc);
    return rtkctl::kExitFailed;
  }
  return PrintAnswer(id, who);
}

}  // namespace
