// Shared by the driver subcommands of rtkctl (driver, send, hook).
#pragma once

#include <cstdint>

namespace rtkctl {

// Prints "result: CODE MNEMONIC" for a driver-channel result; -1 is the
// control commands' "does not fit the buffer", which is no catalogue code.
void PrintDriverResult(int32_t result);

}  // namespace rtkctl
