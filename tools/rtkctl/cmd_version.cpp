// rtkctl version: prints the library version this tool was built with.
#include <cstdio>

#include "rtkctl.h"

namespace {

int RunVersion(int, char **) {
  std::printf("rtkctl %s\n", RTK_TOOL_VERSION);
  return rtkctl::kExitOk;
}

const rtkctl::Registration kRegistration({"version", "", "print the version", RunVersion});

}  // namespace
