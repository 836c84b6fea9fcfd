/*
 * qmfile.h - file utilities: path joining, copies, directory chains,
 * comparisons, scans, tree walks, tails and line counts.
 *
 * Paths use '/'. Functions that take a writable path (char *) change one
 * byte of it for the length of the call and give it back unchanged, so such
 * a text must not be shared with another thread meanwhile. Blocks that a
 * function hands out (scan lists, packed names) come from the debug heap and
 * are released by the caller with MEM_free.
 */
#ifndef RTK_QMFILE_H
#define RTK_QMFILE_H

#include "pf_file.h"
#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Joins name onto the directory path held in buf (size bytes in all) with
 * exactly one '/' between them; answers where the name starts in buf. */
RTK_API char *qmfile_dircat(char *buf, int32_t size, const char *name);

/* ---- copy, directory chains, comparison -------------------------------- */

/* Called by the copy once before it starts and once after every block with
 * the caller's context; a non-zero result ends the copy with that result. */
typedef int32_t (*qmfile_CopyCallback)(uint64_t context);

/* Copies src to dst in 64 KiB blocks and gives dst the attributes of src.
 * With catchup non-zero the source is opened read-write and read from the
 * destination's size onwards, and nothing is written (the count tells how
 * many bytes were read). msg (msgSize bytes) receives a failure text;
 * *copied (may be null) the bytes handled. A missing destination directory
 * is made once, modelled on the source's directory. Answers SUCCESS,
 * SRCFNF, SRCEPERM, SRCFILE, DSTEPERM, DSTFILE, NOSPC, RESTARTABLE, IOERR,
 * NOMEM, NULLPARAM, or the callback's code. */
RTK_API int32_t qmfile_CopyFile(char *dst, char *src, int64_t catchup, int64_t reserved,
                                qmfile_CopyCallback callback, uint64_t context, char *msg,
                                int32_t msgSize, int64_t *copied);
/* The platform layer's name for the same copy. */
RTK_API int32_t PF_CopyFile(char *dst, char *src, int64_t catchup, int64_t reserved,
                            qmfile_CopyCallback callback, uint64_t context, char *msg,
                            int32_t msgSize, int64_t *copied);

/* Creates dest and every missing directory above it; each new directory
 * takes permissions, owner and group from the model directory at the same
 * depth counted from the end. SUCCESS when dest exists or was made; NOENT
 * when dest is missing and holds no '/'; else the failing code. */
RTK_API int32_t qmfile_mkdirs(char *dest, char *model);

/* SUCCESS when both files open and hold the same bytes, BADFILE otherwise. */
RTK_API int32_t qmfile_diff(const char *path1, const char *path2);

/* The tail of src, at whole components and file name included, that the
 * directory parts of src and dst share: a position inside src, or "". */
RTK_API const char *qmfile_findOverlap(const char *src, const char *dst);

/* ---- directory scan and tree walk ---------------------------------------- */

/* Most entries listed for one directory. */
#define QMFILE_MAX_DIR_ENTRIES 10240
/* Bytes of qmfile_DirEntry.name, terminator included. */
#define QMFILE_NAME_SIZE 780
/* Bytes of the path buffer of the walk: longer paths are never offered. */
#define QMFILE_WALK_PATH_SIZE 2048

/*
 * qmfile_DirEntry: one element of a scan list (one contiguous array).
 *
 *   offset  size  field
 *      0    780   name     the entry's name within its directory
 *    780      4   (padding)
 *    784    488   attrs    PF_Attrs of the directory path joined with name
 *   1272      4   baseLen  characters of name before the first "-QM", or
 *                          the whole name's length; 0 until first needed
 *   1276      4   (padding)
 *   1280      8   gen      generation number after "-QM"; 0 until read
 *   1288          total
 */
typedef struct qmfile_DirEntry {
    char name[QMFILE_NAME_SIZE];
    PF_Attrs attrs;
    int32_t baseLen;
    int64_t gen;
} qmfile_DirEntry;

/* Lists dir as an array of entries, regular files first and directories
 * after them, each group sorted (generations of one versioned name highest
 * first, other names ignoring case). *list is null when nothing is listed,
 * else the caller releases it with MEM_free (also after a failure). */
RTK_API int32_t qmfile_ScanDir(const char *dir, qmfile_DirEntry **list, uint32_t *files,
                               uint32_t *dirs);

/* Called by the walk for every object offered, with its path, the caller's
 * context and its attributes. 0 goes on; EXCLUDED for a directory skips its
 * content; any other code ends the walk with that code. */
typedef int32_t (*qmfile_WalkCallback)(const char *path, uint64_t context,
                                       const PF_Attrs *attrs);

/* Visits path and, depth-first and pre-order, the regular files and
 * directories below it (files on another device than their directory are
 * not offered). Answers 0, the first failing code of the callback, NOMEM,
 * or IVLENGTH when everything else went well but entries were left out
 * because their full path does not fit QMFILE_WALK_PATH_SIZE - 1 bytes. */
RTK_API int32_t qmfile_treeWalk(const char *path, qmfile_WalkCallback callback, uint64_t context);

/* Entries of dir other than "." and "..", never more than max; 0 when the
 * directory cannot be opened. */
RTK_API int32_t qmfile_CountItemsInDir(const char *dir, int32_t max);

/* Removes the tree at path (without a shell and without crossing into other
 * file systems). SUCCESS when it is gone, SYSERR otherwise. */
RTK_API int32_t qmfile_rmdirTree(const char *path);

/* Removes the now empty directory that held path, then its parent if that is
 * empty in turn, and so on, never stopAt (may be null) itself. Always 0. */
RTK_API int32_t qmfile_AttemptRmdir(char *path, const char *stopAt);

/* Packs the names of list[first] .. list[first + count - 1] into one heap
 * block: count name pointers followed by the names. SUCCESS, or NOMEM with
 * *out untouched. */
RTK_API int32_t qmfile_PackDirs(const qmfile_DirEntry *list, int32_t first, int32_t count,
                                char ***out);

/* ---- tail, line count, small helpers ---------------------------------- */

/* The last n lines (at most 500, looking at the last n * 256 bytes) of a
 * text file, each followed by a line feed, in file order or newest first.
 * SUCCESS, NOMEM, NOENT (out empty), BADFILE (out holds a message), or
 * BADPARAM for n < 1 or outSize < 1. */
RTK_API int32_t qmf_tailFile(const char *path, int32_t n, char *out, int32_t outSize,
                             int64_t newestFirst);

/* Lines of a text file; with max > 0 counting stops at max + 1. 0 when the
 * file cannot be opened. */
RTK_API int32_t qmfile_getCount(const char *path, int32_t max);

/* Reads at most size - 1 bytes of a file into buffer and terminates them.
 * SUCCESS, NOENT, BADFILE, IOERR, or BADPARAM for size < 1. */
RTK_API int32_t qmf_insertFile(const char *path, char *buffer, int32_t size);

/* 1 when a failed replication may be tried again after the system error
 * err (the input/output error), else 0. path is not used. */
RTK_API int32_t qmfile_restartable(int32_t err, const char *path);

RTK_EXTERN_C_END

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(qmfile_DirEntry) == 1288, "qmfile_DirEntry is 1288 bytes");
static_assert(offsetof(qmfile_DirEntry, attrs) == 784 && offsetof(qmfile_DirEntry, baseLen) == 1272 &&
                  offsetof(qmfile_DirEntry, gen) == 1280,
              "qmfile_DirEntry layout");
#endif

#endif /* RTK_QMFILE_H */
