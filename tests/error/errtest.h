// Test helpers for the catalogue: its rows as the lookups show them, fresh
// runs for tests that change process-wide state, and log capture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "rtktest.h"

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

// Sends the message log to standard output, and that into a file; Text()
// answers what was written since the last call.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string Text();

 private:
  int saved_ = -1;
  std::FILE *file_ = nullptr;
};

}  // namespace errtest
