// Test helpers for the catalogue: its rows as the lookups show them, and
// fresh runs for tests that change process-wide state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"

namespace errtest {

struct Row {
  int32_t code;
  std::string mnemonic;
};

// Every row in code order: each code from 0 to 100000 that does not read
// WEIRD, and WEIRD's own code.
const std::vector<Row> &AllRows();

// Runs body in a new run of this test program, where the catalogue is as
// loaded (texts not converted, no exit handler); its failed checks fail the
// current test.
void InFreshProcess(const std::function<void()> &body);

}  // namespace errtest
