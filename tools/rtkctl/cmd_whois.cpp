// rtkctl whois ID|NAME: turns a user id into the login name, or a login
// name into the user id, through the platform layer's identity look-ups.
#include <cstdio>
#include <cstring>

#include "pf_user.h"
#include "qmerror.h"
#include "qmstr.h"
#include "rtkctl.h"

namespace {

int RunWhois(int argc, char **argv);
const rtkctl::Command kWhois = {"whois", "ID|NAME", "user id to name, or name to user id",
                                RunWhois};
const rtkctl::Registration kRegistration(kWhois);

int RunWhois(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kWhois);
  const char *who = argv[1];
  const bool isId = STR_isNumeric(who[0] == '-' ? who + 1 : who) != 0;
  if (isId) {
    char name[PF_IDTYPE_SIZE];
    PF_IDType2Str(0, who, name, sizeof name);
    if (std::strcmp(name, who) == 0) {
      std::fprintf(stderr, "rtkctl whois: no user has the id %s\n", who);
      return rtkctl::kExitFailed;
    }
    std::printf("uid %s name %s\n", who, name);
    return rtkctl::kExitOk;
  }
  IDType id;
  const int32_t rc = PF_IDStr2IDType(0, who, id);
  if (rc != QM_SUCCESS) {
    std::fprintf(stderr, "rtkctl whois: %s: %s (%d)\n", who, QMERR_err2mnemonic(rc), rc);
    return rtkctl::kExitFailed;
  }
  std::printf("uid %s name %s\n", id, who);
  return rtkctl::kExitOk;
}

}  // namespace
