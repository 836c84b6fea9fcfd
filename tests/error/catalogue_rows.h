// Test helper: the catalogue's rows as the public lookups show them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtktest.h"

namespace errtest {

struct Row {
  int32_t code;
  std::string mnemonic;
};

// Every row of the catalogue in code order, found by asking the mnemonic of
// each code from 0 to 100000: a code belongs to a row unless it reads WEIRD
// (WEIRD's own code 100000 included).
const std::vector<Row> &AllRows();

}  // namespace errtest
