// rtkutils.cpp - helpers of the driver installer: the package's platform
// directory for an operating-system name, and the comparison of driver
// versions. State: none.
#include <cstdio>

#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "rtk.h"

namespace {

// Words searched in the operating-system name, in order, and the platform
// directory each one selects.
struct PlatformRow {
  const char *word;
  const char *platform;
};
constexpr PlatformRow kPlatforms[] = {
    {"Linux", "linux"}, {"SunOS", "solaris"}, {"Win", "windows"}, {"AIX", "aix"}, {"HPUX", "hpux"},
};

}  // namespace

extern "C" {

// Maps an operating-system name to the package's platform directory name by
// case-insensitive substring search; logs and answers -8 when none matches.
int32_t rtkutils_getPlatform(const char *osName, char *platform, int32_t size) {
  STR_copy(platform, "", size);
  for (const PlatformRow &row : kPlatforms) {
    if (STR_strstrcase(osName, row.word) != nullptr) {
      STR_copy(platform, row.platform, size);
      return 0;
    }
  }
  LOG_Log(QM_LOG_ERROR, "No platform match for %s\n", osName);
  return RTK_NO_PLATFORM;
}

// Answers 1 when the installed version is older than the new one: some
// position, tested first to fourth, holds a smaller installed number. A
// larger number at an earlier position does not end the test. -1 when
// either text is not four dotted numbers.
int32_t rtkutils_compareQuillmarVersions(const char *installedVersion, const char *newVersion) {
  qmenter(QM_TRACE_RTK, __func__, "installed ver: %s newVer: %s\n", installedVersion, newVersion);
  int iv[4];
  int nv[4];
  if (std::sscanf(installedVersion, "%d.%d.%d.%d", &iv[0], &iv[1], &iv[2], &iv[3]) != 4 ||
      std::sscanf(newVersion, "%d.%d.%d.%d", &nv[0], &nv[1], &nv[2], &nv[3]) != 4) {
    qmexit(QM_TRACE_RTK, __func__, -1);
    return -1;
  }
  TRACE_LogFine(QM_TRACE_RTK, "iv1:%d iv2:%d iv3:%d iv4:%d\n", iv[0], iv[1], iv[2], iv[3]);
  TRACE_LogFine(QM_TRACE_RTK, "nv1:%d nv2:%d nv3:%d nv4:%d\n", nv[0], nv[1], nv[2], nv[3]);
  int32_t older = 0;
  for (int i = 0; i < 4; ++i) {
    if (iv[i] < nv[i]) {
      older = 1;
      break;
    }
  }
  qmexit(QM_TRACE_RTK, __func__, older);
  return older;
}

}  // extern "C"
