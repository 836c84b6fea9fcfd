/*
 * unix_common.cpp - the platform layer's common operations on this system.
 *
 * Threads, synchronisation and time: thin wrappers over POSIX threads,
 * unnamed semaphores, sleep, gettimeofday and time. The semaphore operations
 * keep no state of their own; the caller owns each semaphore's storage.
 *
 * Identities, users and processes: the shell runner, host facts, the
 * installation directory, the small file calls and the counterparts of
 * other platforms' operations. They keep no state either.
 */
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "pf_file.h"
#include "pf_thread.h"
#include "pf_user.h"
#include "platform/pf_internal.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"

extern "C" {

// Starts start(argument) on a new system-scope thread. A detached thread
// gets the handle -1, since its id may be reused as soon as it ends.
int32_t PF_ThreadCreate(int64_t *thread, PF_ThreadStart start, int64_t /*ignored*/,
                        int32_t detach, void *argument) {
  if (start == nullptr) return EINVAL;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
  pthread_t id;
  rc = pthread_create(&id, &attr, start, argument);
  pthread_attr_destroy(&attr);
  int64_t handle = -1;
  if (rc == 0) {
    handle = static_cast<int64_t>(id);
    if (detach != 0) {
      pthread_detach(id);
      handle = -1;
    }
  }
  if (thread != nullptr) *thread = handle;
  return rc;
}

// Initialises a semaphore with count 1 (free) or 0 (taken). Inter-process
// semaphores are not supported yet; the request is logged and honoured.
int32_t PF_SemInit(int32_t shared, PF_Semaphore *sem, int32_t taken) {
  if (shared != 0) LOG_Log(QM_LOG_PANIC, "PF_SemInit NOT SUPPORTED FOR INTER-PROCESS YET!!!\n");
  if (sem == nullptr) return -1;
  return sem_init(sem, shared != 0 ? 1 : 0, taken != 0 ? 0u : 1u) == 0 ? 0 : -1;
}

// Waits on a semaphore. A wait that a signal interrupts is repeated, unless
// the caller asked to give up then (INTRPTD).
int32_t PF_SemDown(PF_Semaphore *sem, int32_t interruptible) {
  if (sem == nullptr) return -1;
  while (sem_wait(sem) != 0) {
    if (errno != EINTR) return -1;
    if (interruptible != 0) return QM_ERR_INTRPTD;
  }
  return 0;
}

// Posts a semaphore.
int32_t PF_SemUp(PF_Semaphore *sem) {
  if (sem == nullptr) return -1;
  return sem_post(sem) == 0 ? 0 : -1;
}

// Destroys a semaphore; the answer is always 0.
int32_t PF_SemDestroy(PF_Semaphore *sem) {
  if (sem != nullptr) sem_destroy(sem);
  return 0;
}

// A mutex is a semaphore that starts free and whose hold is never given up.
int32_t PF_MutexInit(int32_t shared, PF_Mutex *mutex) { return PF_SemInit(shared, mutex, 0); }
int32_t PF_MutexHold(PF_Mutex *mutex) { return PF_SemDown(mutex, 0); }
int32_t PF_MutexRelease(PF_Mutex *mutex) { return PF_SemUp(mutex); }
int32_t PF_MutexDestroy(PF_Mutex *mutex) { return PF_SemDestroy(mutex); }

// Sleeps whole seconds: the count divided by 1000, truncated toward zero.
// A negative count never sleeps, and a count beyond what sleep() takes is
// capped there, so no argument turns into a wrapped-around sleep.
void PF_SleepMSecs(int64_t milliseconds) {
  const int64_t seconds = milliseconds / 1000;
  if (seconds <= 0) return;
  sleep(seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(seconds));
}

// Gives up nothing on this platform: sleep(0) returns at once.
void PF_ThreadYield(void) { sleep(0); }

// Wall-clock microseconds since the epoch.
int64_t pf_usecs(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Wall-clock milliseconds since the epoch, microseconds truncated.
int64_t pf_msecs(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Wall-clock seconds since the epoch.
int64_t pf_secs(void) { return static_cast<int64_t>(time(nullptr)); }

}  // extern "C"

// ---- identities, users and processes ----------------------------------------

namespace {

// System errors that the small file calls tell apart; others give BADFILE.
constexpr rtk_platform::ErrnoCode kRenameErrors[] = {{EEXIST, QM_ERR_EEXIST},
                                                     {ENOENT, QM_ERR_NOENT}};
constexpr rtk_platform::ErrnoCode kUnlinkErrors[] = {
    {ENOENT, QM_ERR_NOENT}, {EISDIR, QM_ERR_EISDIR}, {EACCES, QM_ERR_PERM}};

// Where the product family's storage-manager client is installed.
constexpr const char kVsbClientDir[] = "/opt/orvane/vsb/client/ba";

}  // namespace

namespace rtk_platform {

// The C library's system() reports a shell that could not be started as
// exit status 127, the same as a command that was not found; this runner
// reports it as -1. The caller's signal dispositions are left alone (they
// are process-wide); the shell gets default SIGINT and SIGQUIT handling.
int RunShell(const char *command) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                        const_cast<char *>("--"), const_cast<char *>(command), nullptr};
  pid_t child;
  const int spawned = posix_spawn(&child, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    errno = spawned;
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace rtk_platform

extern "C" {

// Runs command through the shell in the current directory and waits for it.
// Only a shell that could not be started is a failure; the command's own
// exit status is not.
int32_t PF_DoSystemCommand(const char *command, const char *directory, int32_t wait) {
  qmenter(QM_TRACE_PF, "DoSystemCommand", "cmd:[%s] dir:[%s] wait:%d\n",
          rtk_platform::Shown(command), rtk_platform::Shown(directory), wait);
  // A null command would ask system() whether a shell exists and run nothing.
  const int32_t result = command == nullptr                      ? QM_ERR_NULLPARAM
                         : rtk_platform::RunShell(command) == -1 ? QM_ERR_BADFILE
                                                                 : QM_SUCCESS;
  qmexit(QM_TRACE_PF, "DoSystemCommand", result);
  return result;
}

// Fills info with the system name, release and node name (cut to fit).
int32_t PF_GetHostInfo(PF_HostInfo *info) {
  if (info == nullptr) return QM_ERR_NULLPARAM;
  std::memset(info, 0, sizeof *info);
  struct utsname host;
  if (uname(&host) != 0) return QM_ERR_BADFILE;
  STR_copy(info->osName, host.sysname, sizeof info->osName);
  STR_copy(info->osRelease, host.release, sizeof info->osRelease);
  STR_copy(info->hostName, host.nodename, sizeof info->hostName);
  return QM_SUCCESS;
}

// Copies the product's installation directory into out, cut to fit.
int32_t PF_GetInstallDir(char *out, int32_t size) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  STR_copy(out, PF_INSTALL_DIR, size);
  return QM_SUCCESS;
}

// There are no drive letters here: the text stays as it is.
char *PF_DriveLetter2GUID(const char *drive, char *out, int32_t size) {
  if (out == nullptr) return out;
  return STR_copy(out, drive != nullptr ? drive : "", size);
}

// There are no volume GUIDs here: the value comes back unchanged.
char *PF_ReplaceGUIDs(char *value) { return value; }

// No web page is started on this platform.
int32_t pf_StartWebPage(void) { return QM_ERR_BADFILE; }

// Processes are not killed through the platform layer here.
int32_t PF_KillProcess(int64_t, ...) { return QM_ERR_BADFILE; }

// No dialog exists here; the call is logged and answers 0.
int32_t pf_YesNoDialog(void) {
  LOG_Log(QM_LOG_ERROR, "pf_YesNo not implemented yet\n");
  return 0;
}

// Renames from to to; EEXIST and ENOENT keep their own codes.
int32_t PF_rename(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return QM_ERR_NULLPARAM;
  if (std::rename(from, to) == 0) return QM_SUCCESS;
  return rtk_platform::MapErrno(errno, kRenameErrors);
}

// open() with large-file support: the descriptor or -1, not a result code.
// An open interrupted by a signal is not repeated: a caller whose handler
// was installed without SA_RESTART wants a blocking open (a FIFO without a
// peer) to end, and gets -1 with EINTR; with SA_RESTART the kernel restarts
// it by itself.
int32_t PF_open(const char *path, int32_t flags, uint32_t mode) {
  if (path == nullptr) {
    errno = EFAULT;
    return -1;
  }
  return open(path, flags | O_LARGEFILE, static_cast<mode_t>(mode));
}

// Removes a file; a missing file, a directory and a denied removal keep
// their own codes.
int32_t PF_unlink(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  if (unlink(path) == 0) return QM_SUCCESS;
  return rtk_platform::MapErrno(errno, kUnlinkErrors);
}

// SUCCESS when the process may read path.
int32_t PF_IsReadable(const char *path) {
  if (path == nullptr) return QM_ERR_NULLPARAM;
  return access(path, R_OK) == 0 ? QM_SUCCESS : QM_ERR_BADFILE;
}

// Gives `to` the owner, group, mode and times of `from`.
int32_t PF_SyncMtimes(const char *from, const char *to) {
  PF_Attrs attrs;
  const int32_t result = PF_Stat(from, &attrs);
  if (result != QM_SUCCESS) return result;
  return PF_SetAttributes(to, &attrs);
}

// Copies the storage-manager client's directory into out when it exists;
// out is empty otherwise.
int32_t PF_GetVSBInstallLocation(char *out, int32_t size) {
  if (out == nullptr) return QM_ERR_NULLPARAM;
  STR_copy(out, "", size);
  PF_Attrs attrs;
  if (PF_Stat(kVsbClientDir, &attrs) != QM_SUCCESS) return QM_ERR_BADFILE;
  STR_copy(out, kVsbClientDir, size);
  return QM_SUCCESS;
}

}  // extern "C"
