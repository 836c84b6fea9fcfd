// The catalogue's shape and its lookups by code and by name, checked over
// every row that the public lookups show.
#include <cctype>
#include <string>

#include "errtest.h"
#include "qmerror.h"

namespace {

using errtest::AllRows;
using errtest::Row;

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(Catalogue, ShapeAndCodesOutsideIt) {
  ASSERT_EQ(AllRows().size(), 224u);
  int errors = 0, infos = 0;
  for (const Row &r : AllRows()) (QMERR_getSeverity(r.code) == 1 ? errors : infos) += 1;
  EXPECT_EQ(errors, 146);
  EXPECT_EQ(infos, 78);
  EXPECT_EQ(AllRows().front().code, QM_SUCCESS);
  EXPECT_EQ(AllRows()[222].mnemonic, "xyz");
  for (int32_t code : {5006, 5007, 5020, 5021, 5029, 5048, 5085, 5102, 5104, 6034, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(QMERR_err2mnemonic(code), "WEIRD") << code;
    EXPECT_EQ(QMERR_getSeverity(code), 1) << code;
  }
}

// Every mnemonic finds its own row in any case and behind any one prefix,
// which also shows that no two mnemonics differ only in case; names are
// matched whole.
TEST(Catalogue, StrToErrFindsEveryMnemonic) {
  for (const Row &r : AllRows()) {
    const std::string m = r.mnemonic;
    for (const std::string &name : {m, Lower(m), "QM_ERR_" + m, "qm_info_" + m, "Qm_Panic_" + m, "QM_WARN_" + Lower(m)}) {
      EXPECT_EQ(QMERR_str2err(name.c_str()), r.code) << name;
    }
    EXPECT_EQ(QMERR_str2err((" " + m).c_str()), QM_ERR_WEIRD) << m;
    EXPECT_EQ(QMERR_str2err(("QM_ERR_QM_INFO_" + m).c_str()), QM_ERR_WEIRD) << m;
    const std::string shorter = m.substr(0, m.size() - 1);  // HTTPSET of HTTPSETf is a mnemonic of its own
    const int32_t found = QMERR_str2err(shorter.c_str());
    EXPECT_TRUE(found == QM_ERR_WEIRD || Lower(QMERR_err2mnemonic(found)) == Lower(shorter)) << m;
  }
  for (const char *name : {"QM_ERR_", "", "5001", "NOMEM ", "QM_ERRNOMEM"}) EXPECT_EQ(QMERR_str2err(name), QM_ERR_WEIRD) << name;
}

}  // namespace
