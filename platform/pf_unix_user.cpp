/*
 * pf_unix_user.cpp - identities and users (pf_user.h): user look-ups both
 * ways, password checks against the password and shadow databases, and
 * running a function as another user in a child process. The shell and the
 * host are in pf_unix_user_system.cpp, the program's name in
 * pf_unix_user_program.cpp, the ID texts with the attribute record in
 * pf_unix_file.cpp.
 *
 * Every look-up uses the reentrant system calls (getpwnam_r, getpwuid_r,
 * getspnam_r, crypt_r) with storage on the caller's stack, so concurrent
 * callers need no lock. A group id is never turned into a name. State: none.
 */
#include <crypt.h>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pf_file.h"
#include "pf_user.h"
#include "platform/pf_sys.h"
#include "qmerror.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

// Bytes of string storage for one password or shadow record. A record that
// needs more (the system says ERANGE) is treated as not found.
constexpr size_t kRecordStorage = 16384;

// Most supplementary groups that a child takes over from its new user.
constexpr int kMaxGroups = 256;

// The salt of an MD5-crypt hash: "$1$", at most eight characters and a NUL.
constexpr char kMd5Prefix[] = "$1$";
constexpr size_t kMd5PrefixLength = sizeof kMd5Prefix - 1;
constexpr size_t kMd5SaltChars = 8;
constexpr size_t kSaltSize = kMd5PrefixLength + kMd5SaltChars + 1;

// Wait status that PF_ExecuteFunctionAs returns when it starts no child: no
// function, a text that is no ID text (a name would read as id 0 and run
// the function as root), or a failed fork. No real wait status has all bits
// set.
constexpr int32_t kNoChild = -1;

// One record of the password database, looked up by name or by id.
struct PasswdRecord {
  struct passwd entry;
  char storage[kRecordStorage];

  bool byName(const char *name) {
    struct passwd *found = nullptr;
    const int rc = getpwnam_r(name, &entry, storage, sizeof storage, &found);
    if (rc != 0) errno = rc;
    return found != nullptr;
  }
  bool byId(uid_t id) {
    struct passwd *found = nullptr;
    const int rc = getpwuid_r(id, &entry, storage, sizeof storage, &found);
    if (rc != 0) errno = rc;
    return found != nullptr;
  }
};

// One record of the shadow database, looked up by name.
struct ShadowRecord {
  struct spwd entry;
  char storage[kRecordStorage];

  bool byName(const char *name) {
    struct spwd *found = nullptr;
    const int rc = getspnam_r(name, &entry, storage, sizeof storage, &found);
    if (rc != 0) errno = rc;
    return found != nullptr;
  }
};

// True when text is a user id: optional '-' and at least one decimal digit,
// nothing else; a name such as "root" is not one.
bool isIdText(const char *text) {
  if (*text == '-') ++text;
  return STR_isNumeric(text) != 0;
}

// True when crypt_r of password with the given salt reproduces hash. A
// failed crypt_r (null or a "*" failure token) never matches.
bool passwordMatches(const char *password, const char *salt, const char *hash) {
  static_assert(sizeof(struct crypt_data) <= 65536, "crypt work area fits on the stack");
  struct crypt_data work;
  std::memset(&work, 0, sizeof work);
  const char *outcome = crypt_r(password, salt, &work);
  const bool match = outcome != nullptr && outcome[0] != '*' && std::strcmp(outcome, hash) == 0;
  explicit_bzero(&work, sizeof work);
  return match;
}

// The classic salt: the first two characters of a stored hash.
void classicSalt(const char *hash, char (&salt)[kSaltSize]) {
  size_t n = 0;
  for (; n < 2 && hash[n] != '\0'; ++n) salt[n] = hash[n];
  salt[n] = '\0';
}

// The salt of a shadow hash: for an MD5-crypt hash longer than 11
// characters, "$1$" and the characters up to the next '$'; otherwise the
// classic salt. MD5-crypt reads no more than eight salt characters, so a
// longer salt part is cut to eight: the buffer is never overrun, and the hash
// computed with the cut salt cannot equal such a malformed stored hash.
void shadowSalt(const char *hash, char (&salt)[kSaltSize]) {
  if (std::strlen(hash) <= 11 || std::strncmp(hash, kMd5Prefix, kMd5PrefixLength) != 0) {
    classicSalt(hash, salt);
    return;
  }
  std::memcpy(salt, kMd5Prefix, kMd5PrefixLength);
  size_t n = kMd5PrefixLength;
  for (const char *p = hash + n; *p != '\0' && *p != '$' && n < kSaltSize - 1; ++p) salt[n++] = *p;
  salt[n] = '\0';
}

// The identity that a child takes on: user, primary group and the user's
// groups, gathered in the parent so that the child only makes system calls.
struct ChildIdentity {
  uid_t uid = 0;
  bool known = false;  // the user has a password-database record
  gid_t gid = 0;
  gid_t groups[kMaxGroups];
  int groupCount = 0;
};

// Looks up the user's primary group and groups, when the user is known.
void gatherIdentity(uid_t uid, ChildIdentity *identity) {
  identity->uid = uid;
  PasswdRecord record;
  if (!record.byId(uid)) return;
  identity->known = true;
  identity->gid = record.entry.pw_gid;
  int count = kMaxGroups;
  if (getgrouplist(record.entry.pw_name, record.entry.pw_gid, identity->groups, &count) < 0) {
    // Too many groups for the list: keep the primary group only.
    identity->groups[0] = record.entry.pw_gid;
    count = 1;
  }
  identity->groupCount = count;
}

// Switches the child to the identity. A privileged caller first drops the
// groups it holds and takes the user's, so that the function does not run
// with the caller's group rights (an unknown user keeps no extra groups).
bool switchIdentity(const ChildIdentity &identity) {
  if (geteuid() == 0) {
    if (identity.known) {
      if (setgroups(static_cast<size_t>(identity.groupCount), identity.groups) != 0) return false;
      if (setgid(identity.gid) != 0) return false;
    } else if (setgroups(0, nullptr) != 0) {
      return false;
    }
  }
  return setuid(identity.uid) == 0;
}

}  // namespace

extern "C" {

// Writes the real user id of the process into out.
int32_t PF_GetCurrentID(char *out) { return UnixID2IDType(getuid(), out); }

// For a user id text that names a user, writes the login name into out;
// otherwise (a group, a name, an id without user) copies text as it stands.
char *PF_IDType2Str(int32_t kind, const char *text, char *out, int32_t size) {
  if (out == nullptr) return out;
  if (text == nullptr) return STR_copy(out, "", size);
  if (kind == 0 && isIdText(text)) {
    PasswdRecord record;
    if (record.byId(UnixIDType2ID(text))) return STR_copy(out, record.entry.pw_name, size);
  }
  return STR_copy(out, text, size);
}

// Turns a user name (or a numeric user) or a numeric group into ID text.
int32_t PF_IDStr2IDType(int32_t kind, const char *name, char *out) {
  if (name == nullptr || out == nullptr) return QM_ERR_NULLPARAM;
  if (kind != 0) {
    if (STR_isNumeric(name) == 0) return QM_ERR_UNKNOWNGROUP;
    STR_copy(out, name, PF_IDTYPE_SIZE);
    return QM_SUCCESS;
  }
  PasswdRecord record;
  if (record.byName(name)) return UnixID2IDType(record.entry.pw_uid, out);
  if (STR_isNumeric(name) == 0) return QM_ERR_UNKNOWNUSER;
  STR_copy(out, name, PF_IDTYPE_SIZE);
  return QM_SUCCESS;
}

// Checks a clear-text password for a user given by id text or name: first
// against the password file, then against the shadow database. Sets the
// access level (0 on every failure, 2 for "root" and "quillmar", else 1).
int32_t PF_UserAuthenticates(const char *text, const char *password, uint32_t *accessLevel) {
  if (accessLevel != nullptr) *accessLevel = PF_ACCESS_NONE;
  if (text == nullptr || password == nullptr || accessLevel == nullptr) return QM_ERR_NULLPARAM;
  char name[PF_IDTYPE_SIZE];
  PF_IDType2Str(0, text, name, sizeof name);
  TRACE_LogFine(QM_TRACE_HTML, "PF_UserAuthenticates id:[%s] username [%s]\n", text, name);

  char salt[kSaltSize];
  bool authenticated = false;
  {
    PasswdRecord record;
    if (record.byName(name)) {
      classicSalt(record.entry.pw_passwd, salt);
      authenticated = passwordMatches(password, salt, record.entry.pw_passwd);
    }
  }
  if (!authenticated) {
    ShadowRecord shadow;
    if (!shadow.byName(name)) {
      TRACE_LogFine(QM_TRACE_HTML, "authuser_2: [%s] not a valid user? %s id:%d id:%d\n", name,
                    std::strerror(errno), static_cast<int>(getuid()), static_cast<int>(geteuid()));
      return QM_ERR_UNKNOWNUSER;
    }
    shadowSalt(shadow.entry.sp_pwdp, salt);
    if (!passwordMatches(password, salt, shadow.entry.sp_pwdp)) return QM_ERR_IVPASSWORD;
  }
  const bool admin = std::strcmp(name, "quillmar") == 0 || std::strcmp(name, "root") == 0;
  *accessLevel = admin ? PF_ACCESS_ADMIN : PF_ACCESS_USER;
  return QM_SUCCESS;
}

// Runs function(argument) in a child process under the user of text and
// returns the child's raw wait status (a status n gives n * 256). A refused
// user switch exits the child with 0 before the function runs. When no
// child can be started the result is -1, and no other child is waited for.
int32_t PF_ExecuteFunctionAs(const char *text, void *ignored, PF_UserFunction function,
                             void *argument) {
  (void)ignored;
  if (text == nullptr || function == nullptr || !isIdText(text)) return kNoChild;
  ChildIdentity identity;
  gatherIdentity(UnixIDType2ID(text), &identity);
  // Buffered output of the parent would otherwise be written twice.
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    TRACE_LogFine(QM_TRACE_HTML, "PF_ExecuteFunctionAs: fork failed: %s\n", std::strerror(errno));
    return kNoChild;
  }
  if (child == 0) {
    // _exit, not exit: the child must not run the parent's exit handlers;
    // it flushes its own output first.
    MEM_FreeAll();
    if (!switchIdentity(identity)) _exit(0);
    const int32_t status = function(argument);
    TRACE_LogFine(QM_TRACE_HTML, "PF_ExecuteFunctionAs func status:%d\n", status);
    std::fflush(nullptr);
    _exit(status);
  }
  TRACE_LogFine(QM_TRACE_HTML, "PF_ExecuteFunctionAs: Parent. Forked. Waiting for pid:%d\n",
                static_cast<int>(child));
  int status = 0;
  if (rtk::platform::WaitForChild(child, &status) < 0) status = kNoChild;
  TRACE_LogFine(QM_TRACE_HTML, "PF_ExecuteFunctionAs result:%d; myid:%d\n", status,
                static_cast<int>(getuid()));
  return status;
}

}  // extern "C"
