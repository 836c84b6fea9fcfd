/*
 * qmfile_dirs.cpp - directory chains and removal (qmfile.h): making a
 * missing chain of directories in the image of a model chain, removing a
 * whole tree, and removing the directories that a removal left empty.
 *
 * The paths taken as char * are cut at a '/' for a while and given back
 * whole. State: none.
 */
#include <cstring>

#include "file/file_internal.h"
#include "pf_file.h"
#include "platform/pf_sys.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

using rtk::file::kTrace;
using rtk::file::Shown;
using rtk::file::TextCut;

// Size of the text that names a failed tree removal in its announcement.
constexpr int32_t kRemoveTextSize = 4116;

// True for a drive root such as "C:/": second character ':' and the text
// three characters long.
bool isDriveRoot(const char *s) {
  return s[0] != '\0' && s[1] == ':' && s[2] != '\0' && s[3] == '\0';
}

// Where a path (holding a '/') is cut to give its parent: at its last '/',
// or one further when that '/' starts the text or follows ':', so that the
// parent of /a is / and the parent of C:/a is C:/.
char *parentCut(char *path) {
  char *slash = strrchr(path, '/');
  return (slash == path || slash[-1] == ':') ? slash + 1 : slash;
}

// qmfile_mkdirs without its call frame.
int32_t makeChain(char *dest, char *model) {
  PF_Attrs attrs;
  const int32_t have = PF_Stat(dest, &attrs);
  if (have == QM_SUCCESS) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs dest exists; nothing to do.\n");
    return QM_SUCCESS;
  }
  if (have != QM_ERR_NOENT) return have;
  TRACE_LogFine(kTrace, "qmfile_mkdirs dest does not [yet] exist\n");
  if (strchr(dest, '/') == nullptr) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs dest has no slash\n");
    return QM_ERR_NOENT;
  }
  if (strchr(model, '/') == nullptr) {
    TRACE_LogFine(kTrace, "qmfile_mkdirs source has no slash; making target w/generic attrs\n");
    PF_SetAttrsGeneric(&attrs);
    return PF_MakeADirectory(dest, &attrs);
  }
  int32_t above = QM_SUCCESS;
  {
    char *destCut = parentCut(dest);
    // A cut at the terminator ("x:/" ends in a '/' after ':') would not
    // shorten dest; going higher would then never end, so it counts as a top.
    const bool noParent = *destCut == '\0';
    const TextCut destParent(destCut);
    const TextCut modelParent(parentCut(model));
    if (noParent || isDriveRoot(dest)) {
      TRACE_LogFine(kTrace, "Top of disk...must fail-out.\n");
    } else {
      above = qmfile_mkdirs(dest, model);
    }
  }
  if (above != QM_SUCCESS && above != QM_ERR_NOENT) return above;
  const int32_t modelRc = PF_Stat(model, &attrs);
  if (isDriveRoot(model)) PF_SetAttrsGeneric(&attrs);
  STR_copy(attrs.name, model, PF_ATTRS_NAME_SIZE);
  TRACE_LogFine(kTrace, "qmfile_mkdirs PF_Stat of src %d\n", modelRc);
  if (modelRc != QM_SUCCESS) PF_SetAttrsGeneric(&attrs);
  return PF_MakeADirectory(dest, &attrs);
}

// Removes a tree that is not empty, without a shell (see RemoveTree): the
// tree counts as removed when it is gone afterwards, whatever failed on the
// way; otherwise the first failure is announced.
int32_t removeTree(const char *path) {
  int err = 0;
  const int status = rtk::platform::RemoveTree(path, &err);
  TRACE_LogFine(kTrace, "full_rmdir: [%s] result: %d\n", path, status);
  PF_Attrs attrs;
  if (PF_Stat(path, &attrs) == QM_ERR_NOENT) return QM_SUCCESS;
  char what[kRemoveTextSize];
  STR_snprintf(what, sizeof what, "remove tree %s", path);
  QMERR_Announce(QM_ERR_SYSERRMSG, what, strerror(err));
  return QM_ERR_SYSERR;
}

}  // namespace

extern "C" {

// Creates dest and the missing directories above it, highest first, each
// with the attributes of the model directory at the same depth.
int32_t qmfile_mkdirs(char *dest, char *model) {
  qmenter(kTrace, __func__, "dest:[%s] model:[%s]\n", Shown(dest), Shown(model));
  const int32_t rc = (dest != nullptr && model != nullptr) ? makeChain(dest, model)
                                                           : QM_ERR_NULLPARAM;
  qmexit(kTrace, __func__, rc);
  return rc;
}

// Removes a directory tree; an empty or missing directory is removed (or
// found gone) by the platform call alone.
int32_t qmfile_rmdirTree(const char *path) {
  qmenter(kTrace, __func__, "Tree:%s\n", Shown(path));
  int32_t rc = QM_ERR_NULLPARAM;
  if (path != nullptr) rc = PF_rmdir(path) == QM_SUCCESS ? QM_SUCCESS : removeTree(path);
  qmexit(kTrace, __func__, rc);
  return rc;
}

// Removes the directories above a removed object while they are empty, up
// to (not including) stopAt. Its trace lines name it three ways, as the
// product's traces always have: the entry line, the exit at the stopping
// directory, and every other exit.
int32_t qmfile_AttemptRmdir(char *path, const char *stopAt) {
  constexpr const char kFunction[] = "qmfile_AttemptRmdir";
  constexpr const char kExit[] = "qmfile_AttemptRmDir";
  constexpr const char kExitAtStop[] = "qmFile_AttemptRmDir";
  qmenter(kTrace, kFunction, "[%s] stopAt[%s]\n", Shown(path), Shown(stopAt));
  char *slash = path != nullptr ? strrchr(path, '/') : nullptr;
  if (slash == nullptr) {
    qmexit(kTrace, kExit, QM_SUCCESS);
    return QM_SUCCESS;
  }
  const TextCut parent(slash);
  if (stopAt != nullptr) {
    const char *hit = strstr(path, stopAt);
    if (hit != nullptr && hit + strlen(stopAt) == slash) {
      qmexit(kTrace, kExitAtStop, QM_SUCCESS);
      return QM_SUCCESS;
    }
  }
  if (qmfile_CountItemsInDir(path, 2) == 0 && PF_rmdir(path) == QM_SUCCESS) {
    TRACE_LogFine(kTrace, "qmfile_AttemptRmdir: Removed %s\n", path);
    qmfile_AttemptRmdir(path, stopAt);
  }
  qmexit(kTrace, kExit, QM_SUCCESS);
  return QM_SUCCESS;
}

}  // extern "C"
