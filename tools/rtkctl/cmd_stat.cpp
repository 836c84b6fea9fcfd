// rtkctl stat PATH: prints the attribute record that the platform layer
// reads for a path (symbolic links followed), one field per line, or with
// --json as one object. Times are shown in ISO 8601, UTC.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "json.h"
#include "pf_file.h"
#include "pf_user.h"
#include "qmerror.h"
#include "rtkctl.h"

namespace {

constexpr const char *kKindNames[] = {"directory", "file", "other"};

int RunStat(int argc, char **argv);
const rtkctl::Command kStat = {"stat", "[--json] PATH", "print the attributes of a path", RunStat};
const rtkctl::Registration kRegistration(kStat, rtkctl::Forms::kTextAndJson);

// Seconds since 1970 as "YYYY-MM-DDThh:mm:ssZ". A time whose year does not
// have four digits has no such form; it is written as the plain number.
struct UtcTime {
  char text[80];  // room for any int fields, so that nothing is cut
  explicit UtcTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    if (gmtime_r(&t, &utc) != nullptr && utc.tm_year >= -1900 && utc.tm_year <= 9999 - 1900) {
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                    utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    } else {
      std::snprintf(text, sizeof text, "%" PRId64, seconds);
    }
  }
};

// The record's decimal identity texts as JSON numbers.
int64_t Decimal(const char *text) { return std::strtoll(text, nullptr, 10); }

void PrintJson(const PF_Attrs &attrs, const char *owner, uint32_t mode) {
  char octal[16];
  std::snprintf(octal, sizeof octal, "0%o", mode);
  rtkctl::JsonObject json;
  json.String("name", attrs.name)
      .String("kind", attrs.kind < 3 ? kKindNames[attrs.kind] : "?")
      .Number("owner", Decimal(attrs.owner))
      .String("owner_name", owner)
      .Number("group", Decimal(attrs.group))
      .Number("mode", Decimal(attrs.mode))
      .String("mode_octal", octal)
      .Number("size", attrs.size)
      .String("mtime", UtcTime(attrs.mtime).text)
      .Number("mtime_seconds", attrs.mtime)
      .String("atime", UtcTime(attrs.atime).text)
      .Number("atime_seconds", attrs.atime)
      .Unsigned("device", attrs.devID);
}

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
  if (rtkctl::JsonOutput()) {
    PrintJson(attrs, owner, mode);
    return rtkctl::kExitOk;
  }
  std::printf("name:   %s\n", attrs.name);
  std::printf("kind:   %u (%s)\n", attrs.kind, attrs.kind < 3 ? kKindNames[attrs.kind] : "?");
  std::printf("owner:  %s (%s)\n", attrs.owner, owner);
  std::printf("group:  %s\n", attrs.group);
  std::printf("mode:   %s (0%o)\n", attrs.mode, mode);
  std::printf("size:   %" PRId64 "\n", attrs.size);
  std::printf("mtime:  %s\n", UtcTime(attrs.mtime).text);
  std::printf("atime:  %s\n", UtcTime(attrs.atime).text);
  std::printf("device: %" PRIu64 "\n", attrs.devID);
  return rtkctl::kExitOk;
}

}  // namespace
