// rtkctl stat PATH: prints the attribute record that the platform layer
// reads for a path (symbolic links followed), one field per line.
#include <cinttypes>
#include <cstdio>

#include "pf_file.h"
#include "pf_user.h"
#include "qmerror.h"
#include "rtkctl.h"

namespace {

constexpr const char *kKindNames[] = {"directory", "file", "other"};

int RunStat(int argc, char **argv);
const rtkctl::Command kStat = {"stat", "PATH", "print the attributes of a path", RunStat};
const rtkctl::Registration kRegistration(kStat);

int RunStat(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kStat);
  PF_Attrs attrs;
  const int32_t rc = PF_Stat(argv[1], &attrs);
  if (rc != QM_SUCCESS) {
    std::fprintf(stderr, "rtkctl stat: %s: %s (%d)\n", argv[1], QMERR_err2mnemonic(rc), rc);
    return rtkctl::kExitFailed;
  }
  char owner[PF_IDTYPE_SIZE];
  PF_IDType2Str(0, attrs.owner, owner, sizeof owner);
  const uint32_t mode = UnixIDType2ID(attrs.mode);
  std::printf("name:   %s\n", attrs.name);
  std::printf("kind:   %u (%s)\n", attrs.kind, attrs.kind < 3 ? kKindNames[attrs.kind] : "?");
  std::printf("owner:  %s (%s)\n", attrs.owner, owner);
  std::printf("group:  %s\n", attrs.group);
  std::printf("mode:   %s (0%o)\n", attrs.mode, mode);
  std::printf("size:   %" PRId64 "\n", attrs.size);
  std::printf("mtime:  %" PRId64 "\n", attrs.mtime);
  std::printf("atime:  %" PRId64 "\n", attrs.atime);
  std::printf("device: %" PRIu64 "\n", attrs.devID);
  return rtkctl::kExitOk;
}

}  // namespace
