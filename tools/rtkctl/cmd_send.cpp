// rtkctl send 'XML': sends one control command to the driver as the
// installer does (qma_simpleXML with a 1024-byte buffer unless --size says
// otherwise) and prints the result code and the reply.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmd_driver.h"
#include "qma_ctl.h"
#include "qmerror.h"
#include "rtkctl.h"

namespace rtkctl {
namespace {

int RunSend(int argc, char **argv);

const Command kSend = {"send", "[--size N] 'XML'", "send one control command to the driver",
                       RunSend};

int RunSend(int argc, char **argv) {
  long size = 1024;
  int next = 1;
  if (argc == 4 && std::strcmp(argv[1], "--size") == 0) {
    char *end = nullptr;
    size = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || size < 1 || size > 1048576) return UsageError(kSend);
    next = 3;
  }
  if (argc != next + 1) return UsageError(kSend);
  const std::string command = argv[next];
  // The buffer holds the command even when it is longer than the reply size,
  // so that the library, not this tool, decides that it does not fit.
  std::vector<char> buffer(std::max(static_cast<size_t>(size), command.size() + 1));
  std::memcpy(buffer.data(), command.c_str(), command.size() + 1);
  const int32_t result = qma_simpleXML(0, buffer.data(), buffer.data(), size);
  PrintDriverResult(result);
  if (command != buffer.data()) std::printf("reply: %s\n", buffer.data());
  return result == QM_SUCCESS || result == QM_INFO_XMLRESPONSE ? kExitOk : kExitFailed;
}

const Registration kRegistration(kSend);

}  // namespace
}  // namespace rtkctl
