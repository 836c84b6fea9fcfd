// Test helper: enumerates the catalogue through QMERR_err2mnemonic.
#include "catalogue_rows.h"

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

}  // namespace errtest
