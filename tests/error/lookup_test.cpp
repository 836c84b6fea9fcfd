// The catalogue's shape and its lookups by code and by name, checked over
// every row found through the public lookups rather than row by row.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue_rows.h"
#include "qmerror.h"

namespace {

using errtest::AllRows;
using errtest::Row;

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(CatalogueShape, RowCountsAndSeverities) {
  const std::vector<Row> &rows = AllRows();
  ASSERT_EQ(rows.size(), 224u);
  int errors = 0, infos = 0;
  for (const Row &r : rows) {
    const int32_t severity = QMERR_getSeverity(r.code);
    if (severity == 1) ++errors;
    if (severity == 3) ++infos;
  }
  EXPECT_EQ(errors, 146);
  EXPECT_EQ(infos, 78);
  EXPECT_EQ(rows.front().code, QM_SUCCESS);
  EXPECT_EQ(rows.back().code, QM_ERR_WEIRD);
  EXPECT_EQ(rows[rows.size() - 2].mnemonic, "xyz");
}

TEST(CatalogueShape, CodesOutsideTheTableReadWeird) {
  for (int32_t code : {5006, 5007, 5020, 5021, 5029, 5048, 5085, 5102, 5104, 6034, -1,
                       INT32_MIN, INT32_MAX, 100001, 99998}) {
    EXPECT_STREQ(QMERR_err2mnemonic(code), "WEIRD") << code;
    EXPECT_EQ(QMERR_getSeverity(code), 1) << code;
    EXPECT_EQ(QMERR_getDisabled(code), QMERR_getDisabled(QM_ERR_WEIRD)) << code;
  }
}

// Every mnemonic finds its own row whatever its case and with any one of the
// four prefixes, which also proves that no two mnemonics differ only in case.
TEST(StrToErr, EveryMnemonicFindsItsOwnRow) {
  for (const Row &r : AllRows()) {
    const std::string m = r.mnemonic;
    EXPECT_EQ(QMERR_str2err(m.c_str()), r.code) << m;
    EXPECT_EQ(QMERR_str2err(Lower(m).c_str()), r.code) << m;
    for (const char *prefix : {"QM_ERR_", "qm_info_", "Qm_Panic_", "QM_WARN_"}) {
      EXPECT_EQ(QMERR_str2err((prefix + m).c_str()), r.code) << prefix << m;
    }
    // Names are matched whole: a blank, a second prefix or a shortened name
    // never reaches the row.
    EXPECT_EQ(QMERR_str2err((" " + m).c_str()), QM_ERR_WEIRD) << m;
    EXPECT_EQ(QMERR_str2err(("QM_ERR_QM_INFO_" + m).c_str()), QM_ERR_WEIRD) << m;
    const std::string shorter = m.substr(0, m.size() - 1);
    const int32_t found = QMERR_str2err(shorter.c_str());
    if (found != QM_ERR_WEIRD) {
      EXPECT_EQ(Lower(QMERR_err2mnemonic(found)), Lower(shorter)) << m;
    }
  }
}

TEST(StrToErr, NamesThatAreNoMnemonic) {
  const struct {
    const char *name;
    int32_t code;
  } cases[] = {
      {"QM_ERR_", QM_ERR_WEIRD},      {"", QM_ERR_WEIRD},           {"5001", QM_ERR_WEIRD},
      {"NOMEM ", QM_ERR_WEIRD},       {"QM_ERRNOMEM", QM_ERR_WEIRD}, {"HTTPSET", QM_ERR_HTTPSET},
      {"httpsetf", QM_ERR_HTTPSETf},  {"qm_info_NoMem", QM_ERR_NOMEM}, {"QM_WARN_weird", QM_ERR_WEIRD},
  };
  for (const auto &c : cases) EXPECT_EQ(QMERR_str2err(c.name), c.code) << "'" << c.name << "'";
}

}  // namespace
