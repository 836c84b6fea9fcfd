// The FUSE side of the stand-in driver: a file system with one file,
// "quillmar0", served by the low-level FUSE interface with libfuse's
// multi-threaded loop, started from a thread of its own. Every request runs
// on one of the loop's workers, so a caller whose memory cannot be read
// (a record in a page that faults slowly, say) holds up only its own
// request; the driver's state has a lock of its own (driver.cpp).
//
// An ioctl whose request number carries no direction or size (100, 101 and
// 102 do not) reaches the server with the caller's raw argument and the
// caller's process ID. The record and its data buffer are read from the
// caller's memory with process_vm_readv, and the reply text and the result
// word go back with process_vm_writev; the caller stays blocked in its ioctl
// meanwhile.
#define FUSE_USE_VERSION 312  // 3.12: the loop configuration with a worker limit
#include <fuse_lowlevel.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "pf_driverif.h"
#include "qmdrvd.h"
#include "qmerror.h"

namespace qmdrvd {
namespace {

constexpr fuse_ino_t kDeviceIno = 2;
// Workers of the serving loop: at most this many requests are served at
// once (a blocked caller holds one), and this many wait idle for the next.
constexpr unsigned kMaxWorkers = 64;
constexpr unsigned kIdleWorkers = 4;
// Longest input text that a request may carry.
constexpr uint64_t kMaxInput = 65536;

Device &DeviceOf(fuse_req_t req) { return *static_cast<Device *>(fuse_req_userdata(req)); }

// The attributes of the root directory and of the device file. The file is
// 0600, enforced by the kernel (default_permissions), like a device node.
void FillAttr(fuse_ino_t ino, struct stat *st) {
  std::memset(st, 0, sizeof *st);
  st->st_ino = ino;
  st->st_uid = 0;
  st->st_gid = 0;
  if (ino == FUSE_ROOT_ID) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
  }
}

// Copies `size` bytes from address `remote` in process `pid`.
bool ReadCaller(pid_t pid, uint64_t remote, void *local, size_t size) {
  const iovec to{local, size};
  const iovec from{reinterpret_cast<void *>(static_cast<uintptr_t>(remote)), size};
  return process_vm_readv(pid, &to, 1, &from, 1, 0) == static_cast<ssize_t>(size);
}

// Copies `size` bytes to address `remote` in process `pid`.
bool WriteCaller(pid_t pid, uint64_t remote, const void *local, size_t size) {
  const iovec from{const_cast<void *>(local), size};
  const iovec to{reinterpret_cast<void *>(static_cast<uintptr_t>(remote)), size};
  return process_vm_writev(pid, &from, 1, &to, 1, 0) == static_cast<ssize_t>(size);
}

// Counts the reserved bytes of a record that are not zero.
int NonZeroReserved(const PF_DriverCommand &record) {
  int count = 0;
  auto add = [&count](const void *words, size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(words);
    for (size_t i = 0; i < size; ++i) count += bytes[i] != 0;
  };
  add(record.reserved1, sizeof record.reserved1);
  add(&record.reserved2, sizeof record.reserved2);
  add(record.reserved3, sizeof record.reserved3);
  return count;
}

// Reads the record's input text (inLength bytes, cut at its first NUL). A
// length beyond the buffer's capacity or beyond kMaxInput is a bad record.
bool ReadInput(pid_t pid, const PF_DriverCommand &record, std::string *text, int64_t *refusal) {
  text->clear();
  if (record.inLength == 0) return true;
  if (record.inLength > record.bufferSize || record.inLength > kMaxInput) {
    *refusal = QM_ERR_BADPARAM;
    return true;
  }
  std::vector<char> input(record.inLength);
  if (!ReadCaller(pid, record.buffer, input.data(), input.size())) return false;
  text->assign(input.data(), strnlen(input.data(), input.size()));
  return true;
}

// Handles requests 100-102 against the driver and answers through the
// caller's memory. Returns 0 or a negative errno for the ioctl itself.
int Exchange(Device &device, unsigned cmd, pid_t pid, uint64_t address) {
  PF_DriverCommand record;
  if (!ReadCaller(pid, address, &record, sizeof record)) return -EFAULT;

  std::string text;
  int64_t refusal = QM_SUCCESS;
  if (!ReadInput(pid, record, &text, &refusal)) return -EFAULT;
  Answer answer;
  if (record.version != PF_DRIVER_COMMAND_VERSION || record.recordSize != PF_DRIVER_COMMAND_SIZE) {
    answer.result = QM_ERR_BADPARAM;
  } else if (refusal != QM_SUCCESS) {
    answer.result = refusal;
  } else if (cmd == DRV_IOCTL_COMMAND) {
    answer = device.driver().Command(text, record.code, record.bufferSize);
  } else {
    answer = device.driver().HookRequest(cmd, pid, text);
  }
  if (answer.hasReply) {
    if (answer.reply.size() + 1 > record.bufferSize) {
      answer.result = QM_ERR_DRIVERBUFFER;
    } else if (!WriteCaller(pid, record.buffer, answer.reply.c_str(), answer.reply.size() + 1)) {
      return -EFAULT;
    }
  }
  const int64_t result = answer.result;
  if (!WriteCaller(pid, address + offsetof(PF_DriverCommand, result), &result, sizeof result)) {
    return -EFAULT;
  }

  device.log().Line(
      "ioctl=%u pid=%d version=%llu code=%llu recordSize=%llu inLength=%llu bufferSize=%llu "
      "result=%lld reserved=%d buffer=0x%llx text=\"%s\" answer=%lld%s%s",
      cmd, static_cast<int>(pid), static_cast<unsigned long long>(record.version),
      static_cast<unsigned long long>(record.code),
      static_cast<unsigned long long>(record.recordSize),
      static_cast<unsigned long long>(record.inLength),
      static_cast<unsigned long long>(record.bufferSize), static_cast<long long>(record.result),
      NonZeroReserved(record), static_cast<unsigned long long>(record.buffer),
      Printable(text).c_str(), static_cast<long long>(answer.result),
      answer.detail.empty() ? "" : " ", answer.detail.c_str());
  return 0;
}

// ---- FUSE operations ----------------------------------------------------------

void OpLookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, kDeviceFileName) != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = kDeviceIno;
  entry.attr_timeout = 1.0;
  entry.entry_timeout = 1.0;
  FillAttr(kDeviceIno, &entry.attr);
  fuse_reply_entry(req, &entry);
}

void OpGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
  if (ino != FUSE_ROOT_ID && ino != kDeviceIno) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st;
  FillAttr(ino, &st);
  fuse_reply_attr(req, &st, 1.0);
}

// Lists ".", ".." and the device file, from offset `off` on.
void OpReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  const struct {
    const char *name;
    fuse_ino_t ino;
  } entries[] = {{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}, {kDeviceFileName, kDeviceIno}};
  std::vector<char> buffer(size);
  size_t used = 0;
  for (off_t i = off; i < static_cast<off_t>(std::size(entries)); ++i) {
    struct stat st;
    FillAttr(entries[i].ino, &st);
    const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].name,
                                          &st, i + 1);
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

// Opens the device file unbuffered and without a position, like a device.
void OpOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
  if (ino != kDeviceIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  fi->direct_io = 1;
  fi->nonseekable = 1;
  DeviceOf(req).log().Line("open pid=%d flags=0%o", static_cast<int>(fuse_req_ctx(req)->pid),
                           static_cast<unsigned>(fi->flags));
  fuse_reply_open(req, fi);
}

// close() waits for the flush, so its log line is there when close returns.
void OpFlush(fuse_req_t req, fuse_ino_t, fuse_file_info *) {
  DeviceOf(req).log().Line("close pid=%d", static_cast<int>(fuse_req_ctx(req)->pid));
  fuse_reply_err(req, 0);
}

void OpRelease(fuse_req_t req, fuse_ino_t, fuse_file_info *) { fuse_reply_err(req, 0); }

void OpRead(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *) {
  const std::string data = DeviceOf(req).driver().Read(size);
  DeviceOf(req).log().Line("read size=%zu count=%zu", size, data.size());
  fuse_reply_buf(req, data.data(), data.size());
}

// A write that finds the FIFO full fails with ENOSPC; otherwise it takes
// what fits, which may be a short write.
void OpWrite(fuse_req_t req, fuse_ino_t, const char *data, size_t size, off_t, fuse_file_info *) {
  const size_t taken = DeviceOf(req).driver().Write(data, size);
  DeviceOf(req).log().Line("write size=%zu count=%zu", size, taken);
  if (taken == 0 && size > 0) {
    fuse_reply_err(req, ENOSPC);
    return;
  }
  fuse_reply_write(req, taken);
}

void OpIoctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *arg, fuse_file_info *,
             unsigned, const void *, size_t, size_t) {
  Device &device = DeviceOf(req);
  const pid_t pid = fuse_req_ctx(req)->pid;
  const Behaviour &behaviour = device.behaviour();
  if (behaviour.failIoctl) {
    device.log().Line("ioctl=%u pid=%d failed=%d", cmd, static_cast<int>(pid),
                      behaviour.failReturn);
    if (behaviour.failReturn < 0) {
      fuse_reply_err(req, -behaviour.failReturn);
    } else {
      fuse_reply_ioctl(req, behaviour.failReturn, nullptr, 0);
    }
    return;
  }
  if (cmd != DRV_IOCTL_COMMAND && cmd != DRV_IOCTL_HOOK && cmd != DRV_IOCTL_HOOK_PARENT) {
    device.log().Line("ioctl=%u pid=%d unknown", cmd, static_cast<int>(pid));
    fuse_reply_err(req, ENOTTY);
    return;
  }
  const int status = Exchange(device, cmd, pid, reinterpret_cast<uintptr_t>(arg));
  if (status < 0) {
    device.log().Line("ioctl=%u pid=%d fault", cmd, static_cast<int>(pid));
    fuse_reply_err(req, -status);
    return;
  }
  fuse_reply_ioctl(req, 0, nullptr, 0);
}

const fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops ops{};
  ops.lookup = OpLookup;
  ops.getattr = OpGetattr;
  ops.readdir = OpReaddir;
  ops.open = OpOpen;
  ops.flush = OpFlush;
  ops.release = OpRelease;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.ioctl = OpIoctl;
  return ops;
}();

// Interrupts the serving thread's wait for the next request at shutdown.
void WakeUp(int) {}

// The serving thread runs the multi-threaded loop, whose workers it starts
// and, once the session ends, collects. SIGUSR1 is its wake-up call (no
// SA_RESTART, so its wait returns and the loop sees that the session ended).
void *Serve(void *session) {
  struct sigaction action{};
  action.sa_handler = WakeUp;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  fuse_loop_config *config = fuse_loop_cfg_create();
  if (config == nullptr) {  // no memory for it: serve on this thread alone
    fuse_session_loop(static_cast<fuse_session *>(session));
    return nullptr;
  }
  fuse_loop_cfg_set_max_threads(config, kMaxWorkers);
  fuse_loop_cfg_set_idle_threads(config, kIdleWorkers);
  fuse_session_loop_mt(static_cast<fuse_session *>(session), config);
  fuse_loop_cfg_destroy(config);
  return nullptr;
}

}  // namespace

bool Device::Start(const char *mountpoint) {
  const char *argv[] = {"qmdrvd", "-o", "allow_other,default_permissions,fsname=qmdrvd,subtype=qmdrvd"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
  session_ = fuse_session_new(&args, &kOperations, sizeof kOperations, this);
  fuse_opt_free_args(&args);
  if (session_ == nullptr) {
    std::fprintf(stderr, "qmdrvd: cannot create the FUSE session\n");
    return false;
  }
  if (fuse_session_mount(session_, mountpoint) != 0) {
    std::fprintf(stderr, "qmdrvd: cannot mount the device file system at %s\n", mountpoint);
    fuse_session_destroy(session_);
    session_ = nullptr;
    return false;
  }
  const int started = pthread_create(&thread_, nullptr, Serve, session_);
  if (started != 0) {
    std::fprintf(stderr, "qmdrvd: cannot start the serving thread: %s\n", std::strerror(started));
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    return false;
  }
  serving_ = true;
  return true;
}

// Ends the session, unmounts (which closes the session's channel), then
// wakes the serving thread until it has left its loop.
void Device::Stop() {
  if (session_ == nullptr) return;
  fuse_session_exit(session_);
  fuse_session_unmount(session_);
  if (serving_) {
    for (;;) {
      pthread_kill(thread_, SIGUSR1);
      timespec deadline;
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_nsec += 50 * 1000 * 1000;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      if (pthread_timedjoin_np(thread_, nullptr, &deadline) == 0) break;
    }
    serving_ = false;
  }
  fuse_session_destroy(session_);
  session_ = nullptr;
}

// ---- request log --------------------------------------------------------------

RequestLog::~RequestLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RequestLog::Open(const char *path) {
  file_ = std::fopen(path, "a");
  return file_ != nullptr;
}

// Requests come from several workers: the stream stays locked for the
// whole line, so lines are never mixed.
void RequestLog::Line(const char *format, ...) {
  if (file_ == nullptr) return;
  flockfile(file_);
  va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
  std::fputc('\n', file_);
  std::fflush(file_);
  funlockfile(file_);
}

std::string Printable(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

}  // namespace qmdrvd
