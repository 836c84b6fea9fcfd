// rtkctl walk DIR: lists what the library's tree walk offers, one line per
// object in walk order: kind, size in bytes, path. With --json each line is
// an object {"kind":..,"size":..,"path":..}, and failures go to standard
// error only, so that standard output holds nothing but those lines.
#include <cinttypes>
#include <cstdio>

#include "json.h"
#include "qmerror.h"
#include "qmfile.h"
#include "rtkctl.h"

namespace {

int RunWalk(int argc, char **argv);
const rtkctl::Command kWalk{"walk", "[--json] DIR", "list the objects a tree walk offers, with kind and size",
                            RunWalk};

// Names of PF_Attrs.kind values.
const char *KindName(uint32_t kind) {
  switch (kind) {
    case PF_KIND_DIRECTORY: return "dir";
    case PF_KIND_FILE: return "file";
    default: return "other";
  }
}

// The walk's callback: one line per object; counts them in the context.
int32_t PrintObject(const char *path, uint64_t context, const PF_Attrs *attrs) {
  ++*reinterpret_cast<uint64_t *>(context);
  if (rtkctl::JsonOutput()) {
    rtkctl::JsonObject().String("kind", KindName(attrs->kind)).Number("size", attrs->size)
        .String("path", path);
  } else {
    std::printf("%-5s %14" PRId64 "  %s\n", KindName(attrs->kind), attrs->size, path);
  }
  return QM_SUCCESS;
}

int RunWalk(int argc, char **argv) {
  if (argc != 2) return rtkctl::UsageError(kWalk);
  uint64_t objects = 0;
  const int32_t rc = qmfile_treeWalk(argv[1], PrintObject, reinterpret_cast<uint64_t>(&objects));
  if (rc == QM_SUCCESS && objects == 0) {
    std::fprintf(stderr, "rtkctl walk: %s: nothing to walk (missing or unreadable)\n", argv[1]);
    return rtkctl::kExitFailed;
  }
  if (rc == QM_ERR_IVLENGTH) {
    std::fprintf(stderr, "rtkctl walk: some entries were left out: their path is longer than %d bytes\n",
                 QMFILE_WALK_PATH_SIZE - 1);
  }
  if (rc != QM_SUCCESS && rtkctl::JsonOutput()) {
    std::fprintf(stderr, "rtkctl walk: %s: %d %s\n", argv[1], rc, QMERR_err2mnemonic(rc));
  } else if (rc != QM_SUCCESS) {
    rtkctl::PrintResult(rc);
  }
  return rtkctl::ExitStatusFor(rc);
}

const rtkctl::Registration kRegistration(kWalk, rtkctl::Forms::kTextAndJson);

}  // namespace
