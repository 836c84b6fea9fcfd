// Test helpers for the catalogue.
#include "errtest.h"

#include <cstdio>
#include <cstring>

#include "qmerror.h"

namespace errtest {

const std::vector<Row> &AllRows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> found;
    for (int32_t code = 0; code <= QM_ERR_WEIRD; ++code) {
      const char *mnemonic = QMERR_err2mnemonic(code);
      if (code == QM_ERR_WEIRD || std::strcmp(mnemonic, "WEIRD") != 0) found.push_back({code, mnemonic});
    }
    return found;
  }();
  return rows;
}

void InFreshProcess(const std::function<void()> &body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child runs the program anew
  EXPECT_EXIT(
      {
        body();
        std::fflush(nullptr);
        const testing::TestResult *result = testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result->total_part_count(); ++i) {
          const testing::TestPartResult &part = result->GetTestPartResult(i);
          if (part.failed()) std::fprintf(stderr, "%s:%d: %s\n", part.file_name(), part.line_number(), part.message());
        }
        std::exit(result->Failed() ? 1 : 0);  // exit, not _Exit: LeakSanitizer checks the fresh run
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace errtest
