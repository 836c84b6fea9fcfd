// What the stand-in driver answers. Commands are single XML elements told
// apart by their keyword. The driver's own trace settings are those of the
// library inside this process, read and changed with the library's trace
// command.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qmdrvd.h"
#include "qmerror.h"
#include "qmtrace.h"
#include "qmxml.h"

namespace qmdrvd {
namespace {

// Bytes that the FIFO between write and read holds at most.
constexpr size_t kFifoCapacity = 65536;
// Hooked objects that the driver keeps at most.
constexpr size_t kMaxHooks = 4096;
// Largest trace command (and reply) the driver handles.
constexpr size_t kTraceBufferMax = 4096;

// Encodes the five XML special characters of `text` as entities.
std::string XmlEscaped(const std::string &text) {
  std::vector<char> buffer(text.size() * 6 + 1);
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  xml_ConvertToAmpersands(buffer.data(), static_cast<int32_t>(buffer.size()));
  return buffer.data();
}

// An answer that carries a reply text.
Answer Reply(int64_t result, std::string text) {
  Answer answer;
  answer.result = result;
  answer.hasReply = true;
  answer.reply = std::move(text);
  return answer;
}

// An answer with a result word only; the caller's buffer stays as it is.
Answer Result(int64_t result) {
  Answer answer;
  answer.result = result;
  return answer;
}

// The trace command, applied to this process's trace settings. The reply
// (the settings, with XMLRESPONSE) is bounded by the caller's buffer size.
Answer Trace(const std::string &text, uint64_t bufferSize) {
  const size_t size = bufferSize < kTraceBufferMax ? bufferSize : kTraceBufferMax;
  if (text.size() + 1 > size) return Result(QM_ERR_DRIVERBUFFER);
  std::vector<char> buffer(size);
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  const int32_t result = TRACE_Parse_Common(buffer.data(), static_cast<int32_t>(size));
  if (result != QM_INFO_XMLRESPONSE) return Result(result);
  return Reply(result, buffer.data());
}

// Reads a descriptor number written as decimal text; -1 for anything else.
int ParseDescriptor(const std::string &text) {
  if (text.empty() || text.size() > 9) return -1;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
  }
  return std::atoi(text.c_str());
}

}  // namespace

// Dispatches a control command on its keyword. The stand-in knows no
// control code but 0; an empty command is a plain ping.
Answer Driver::Command(const std::string &text, uint64_t code, uint64_t bufferSize) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (behaviour_.fixedCode || behaviour_.fixedText) {
    const int64_t result =
        behaviour_.fixedCode ? behaviour_.replyCode : static_cast<int64_t>(QM_INFO_XMLRESPONSE);
    return behaviour_.fixedText ? Reply(result, behaviour_.replyText) : Result(result);
  }
  if (code != 0) return Result(QM_ERR_IVKEYWORD);
  const char *command = text.c_str();
  if (text.empty()) return Result(QM_SUCCESS);
  if (xml_isKeyword("kversion", command)) {
    return Reply(QM_INFO_XMLRESPONSE, "<kversion version=\"" + XmlEscaped(behaviour_.version) + "\"/>");
  }
  if (xml_isKeyword("trace", command)) return Trace(text, bufferSize);
  if (xml_isKeyword("reset", command)) {
    Reset();
    return Result(QM_SUCCESS);
  }
  if (xml_isKeyword("hooks", command)) return HookList();
  return Result(QM_ERR_IVKEYWORD);
}

// Resolves the caller's descriptor through /proc and records what it names.
Answer Driver::HookRequest(unsigned request, pid_t pid, const std::string &fdText) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (behaviour_.fixedCode) return Result(behaviour_.replyCode);
  const int fd = ParseDescriptor(fdText);
  if (fd < 0) return Result(QM_ERR_HOOKFILE);
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char target[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length < 0 || static_cast<size_t>(length) >= sizeof target) return Result(QM_ERR_HOOKFILE);
  if (hooks_.size() >= kMaxHooks) return Result(QM_ERR_OVERFLOW);
  Hook hook{request == 101 ? "object" : "parent", std::string(target, static_cast<size_t>(length))};
  Answer answer = Result(QM_SUCCESS);
  answer.detail = "file=\"" + Printable(hook.path) + "\"";
  hooks_.push_back(std::move(hook));
  return answer;
}

// Lists the hooked objects in the order they were hooked.
Answer Driver::HookList() const {
  std::string list = "<hooks count=\"" + std::to_string(hooks_.size()) + "\">";
  for (const Hook &hook : hooks_) {
    list += "<hook kind=\"";
    list += hook.kind;
    list += "\" file=\"" + XmlEscaped(hook.path) + "\"/>";
  }
  list += "</hooks>";
  return Reply(QM_INFO_XMLRESPONSE, std::move(list));
}

// Forgets every hook and any data queued between write and read.
void Driver::Reset() {
  hooks_.clear();
  fifo_.clear();
}

size_t Driver::Write(const char *data, size_t size) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const size_t room = kFifoCapacity - fifo_.size();
  const size_t taken = size < room ? size : room;
  fifo_.append(data, taken);
  return taken;
}

std::string Driver::Read(size_t size) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const size_t taken = size < fifo_.size() ? size : fifo_.size();
  std::string data = fifo_.substr(0, taken);
  fifo_.erase(0, taken);
  return data;
}

}  // namespace qmdrvd
