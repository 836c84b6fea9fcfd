// Shared by the subcommands of rtkctl that talk to the driver (driver, send,
// hook, status, install, uninstall).
#pragma once

#include <cstdint>
#include <string>

namespace rtkctl {

// Prints "result: CODE MNEMONIC" for a driver-channel result; -1 is the
// control commands' "does not fit the buffer", which is no catalogue code.
void PrintDriverResult(int32_t result);

// 0 when the driver's device opens, else the errno of its open: ENOENT or
// ENXIO when no driver is loaded, EACCES or EPERM when one may be loaded but
// this user may not use it.
int DeviceOpenError();

// True for the errnos of a device that is there but refused to this user.
bool IsPermissionError(int err);

// Sends "<kversion/>" and answers its result, with the reply's "version"
// attribute in *version (empty when there is none).
int32_t AskDriverVersion(std::string *version);

}  // namespace rtkctl
