/*
 * qmfile_walk.cpp - the tree walk (qmfile.h): depth-first and pre-order,
 * every directory and regular file below a path is offered to the caller's
 * callback, which may skip a directory's content or end the walk.
 *
 * Each level scans its directory (qmfile_scan.cpp), offers the files with
 * the attributes that the scan read, and keeps only its subdirectories'
 * packed names while it descends. One path buffer serves all levels; an
 * entry whose whole path does not fit it is left out, never offered cut.
 * State: none.
 */
#include <cinttypes>
#include <cstring>

#include "file/file_internal.h"
#include "pf_file.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmfile.h"
#include "qmmem.h"
#include "qmtrace.h"

namespace {

using rtk::file::HeapBlock;
using rtk::file::JoinedLength;
using rtk::file::kTrace;

// One walk: the caller's callback and context, one path buffer shared by all
// levels (each level appends its entries' names behind its own path), and
// whether any entry was left out because its path did not fit.
struct Walk {
  qmfile_WalkCallback callback;
  uint64_t context;
  bool leftOut;
  char path[QMFILE_WALK_PATH_SIZE];
};

// Puts name behind the directory path that fills walk.path up to dirLen.
// An entry whose whole path does not fit is never offered under a cut path:
// it is left out, traced and remembered, and false is answered.
bool joinEntry(Walk &w, size_t dirLen, const char *name, size_t *len) {
  const size_t joined = dirLen < QMFILE_WALK_PATH_SIZE ? JoinedLength(w.path, dirLen, name)
                                                       : QMFILE_WALK_PATH_SIZE;
  if (joined >= QMFILE_WALK_PATH_SIZE) {
    TRACE_LogFine(kTrace, "treeWalk: left out, path too long: %s\n", name);
    w.leftOut = true;
    return false;
  }
  w.path[dirLen] = '\0';
  qmfile_dircat(w.path, QMFILE_WALK_PATH_SIZE, name);
  *len = joined;
  return true;
}

int32_t walkTree(Walk &w, const char *path, size_t len);

// Offers path and then its regular files and subdirectories (see
// qmfile_treeWalk). path is walk.path, or the caller's top path when that
// is too long for it.
int32_t walkLevel(Walk &w, const char *path, size_t len) {
  PF_Attrs attrs;
  int32_t rc = PF_Stat(path, &attrs);
  if (rc != QM_SUCCESS) {
    TRACE_LogFine(kTrace, "Swallowing err:%d\n", rc);
    return QM_SUCCESS;
  }
  rc = w.callback(path, w.context, &attrs);
  if (rc == QM_INFO_EXCLUDED) return QM_SUCCESS;
  if (rc != QM_SUCCESS) return rc;
  const uint64_t dev = attrs.devID;

  qmfile_DirEntry *list = nullptr;
  uint32_t files = 0;
  uint32_t dirs = 0;
  qmfile_ScanDir(path, &list, &files, &dirs);
  if (list == nullptr) return QM_SUCCESS;
  HeapBlock listBlock(list);
  size_t joined = 0;
  for (uint32_t i = 0; i < files; ++i) {
    const qmfile_DirEntry &e = list[i];
    TRACE_LogFine(kTrace, "file %s Kind:%d\n", e.name, static_cast<int>(e.attrs.kind));
    if (!joinEntry(w, len, e.name, &joined)) continue;
    if (e.attrs.devID != dev) {
      TRACE_LogFine(kTrace, "    no match devID:%" PRId64 "  vs stat:%" PRId64 "\n",
                    static_cast<int64_t>(dev), static_cast<int64_t>(e.attrs.devID));
      continue;
    }
    rc = w.callback(w.path, w.context, &e.attrs);
    if (rc != QM_SUCCESS && rc != QM_INFO_EXCLUDED) return rc;
  }
  if (dirs == 0) return QM_SUCCESS;
  // Only the subdirectories' names are kept while the walk descends.
  char **names = nullptr;
  rc = qmfile_PackDirs(list, static_cast<int32_t>(files), static_cast<int32_t>(dirs), &names);
  listBlock.reset();
  if (rc != QM_SUCCESS) return rc;
  const HeapBlock namesBlock(names);
  for (uint32_t i = 0; i < dirs; ++i) {
    if (!joinEntry(w, len, names[i], &joined)) continue;
    TRACE_LogFine(kTrace, "Processing sub-dir %s\n", w.path);
    rc = walkTree(w, w.path, joined);
    if (rc != QM_SUCCESS) return rc;
  }
  return QM_SUCCESS;
}

// One level of the walk inside its call frame.
int32_t walkTree(Walk &w, const char *path, size_t len) {
  constexpr const char kFunction[] = "treeWalk";
  qmenter(kTrace, kFunction, "%s\n", path);
  const int32_t rc = walkLevel(w, path, len);
  qmexit(kTrace, kFunction, rc);
  return rc;
}

}  // namespace

extern "C" {

// Walks a tree depth-first, pre-order, offering every directory and regular
// file to the callback. Entries whose whole path does not fit the walk's
// path buffer are left out, never offered cut; the walk then ends with
// IVLENGTH unless something else ended it first.
int32_t qmfile_treeWalk(const char *path, qmfile_WalkCallback callback, uint64_t context) {
  if (path == nullptr || callback == nullptr) return QM_ERR_NULLPARAM;
  Walk w{callback, context, false, {}};
  const size_t len = strlen(path);
  const char *top = path;
  if (len < sizeof w.path) {
    memcpy(w.path, path, len + 1);
    top = w.path;
  }
  int32_t rc = walkTree(w, top, len);
  if (rc == QM_SUCCESS && w.leftOut) rc = QM_ERR_IVLENGTH;
  return rc;
}

}  // extern "C"
