/*
 * pf_file.h - the platform layer's file-system operations.
 *
 * The file attribute record PF_Attrs, the text form of a numeric identity
 * (IDType) that it carries, and small operations over the system's file and
 * directory calls. Every operation returns a result code of qmerror.h unless
 * its comment says otherwise. Paths are 8-bit NUL-terminated texts with '/'
 * as separator. Records, buffers and directory handles belong to the caller;
 * nothing here allocates or keeps state between calls.
 */
#ifndef RTK_PF_FILE_H
#define RTK_PF_FILE_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Bytes of an identity text field, terminator included. */
#define PF_IDTYPE_SIZE 64
/* Bytes of PF_Attrs.name: the path as given, cut to 255 bytes. */
#define PF_ATTRS_NAME_SIZE 256
/* Least size of the name buffer handed to PF_ReadDir (779 bytes and a NUL). */
#define PF_READDIR_NAME_SIZE 780

/* A user, group or mode value as NUL-terminated signed decimal text, e.g. "0". */
typedef char IDType[PF_IDTYPE_SIZE];

/* Kinds of object in PF_Attrs.kind. */
#define PF_KIND_DIRECTORY 0u /* a directory whose last path component is no link */
#define PF_KIND_FILE 1u      /* a regular file, also behind a symbolic link */
#define PF_KIND_OTHER 2u     /* a link to a directory, device, pipe, socket ... */

/*
 * PF_Attrs: the attributes of one file-system object.
 *
 *   offset  size  field
 *      0     64   owner   user id as signed decimal text
 *     64     64   group   group id as signed decimal text
 *    128     64   mode    whole mode word (type and permission bits), decimal
 *    192      8   size    bytes
 *    200      8   mtime   seconds since 1970-01-01 00:00 UTC
 *    208      8   atime   seconds since 1970-01-01 00:00 UTC
 *    216      4   kind    PF_KIND_*
 *    220      4   (padding)
 *    224      8   devID   the device (file system) holding the object
 *    232    256   name    the path as passed to PF_Stat, cut to 255 bytes
 *    488          total
 *
 * A record of all zero bytes reads as owner 0, group 0, mode 0, kind 0.
 */
typedef struct PF_Attrs {
    IDType owner;
    IDType group;
    IDType mode;
    int64_t size;
    int64_t mtime;
    int64_t atime;
    uint32_t kind;
    uint64_t devID;
    char name[PF_ATTRS_NAME_SIZE];
} PF_Attrs;

/* Identity texts. UnixIDType2ID reads sign and digits (STR_toll) and keeps
 * the low 32 bits; an empty text reads as 0. UnixID2IDType writes the id as a
 * signed 32-bit decimal into the 64-byte field and returns SUCCESS. */
RTK_API uint32_t UnixIDType2ID(const char *text);
RTK_API int32_t UnixID2IDType(uint32_t id, char *out);

/* Attributes. PF_Stat follows symbolic links and gives NOENT for a missing
 * path, BADFILE for any other failure (the record then stays all zero). */
RTK_API int32_t PF_Stat(const char *path, PF_Attrs *attrs);
RTK_API int32_t PF_SetAttrsGeneric(PF_Attrs *attrs);
RTK_API int32_t PF_chmod(const char *path, const PF_Attrs *attrs);
RTK_API int32_t PF_chown(const char *path, const PF_Attrs *attrs);
RTK_API int32_t PF_SetAttributes(const char *path, const PF_Attrs *attrs);
RTK_API int32_t PF_SyncMtimes(const char *from, const char *to);

/* Directories. PF_MakeADirectory creates the path and its missing parents
 * with the permission bits of attrs->mode and then sets its owner and group. */
RTK_API int32_t PF_MakeADirectory(const char *path, const PF_Attrs *attrs);
RTK_API int32_t PF_rmdir(const char *path);

/* Directory listing: PF_OpenDir, PF_ReadDir until it returns non-zero (it
 * skips "." and ".."), then PF_CloseDir once per successful open. The name
 * buffer holds at least PF_READDIR_NAME_SIZE bytes. */
RTK_API int32_t PF_OpenDir(const char *path, uint64_t *handle);
RTK_API int32_t PF_ReadDir(uint64_t handle, char *name);
RTK_API int32_t PF_CloseDir(uint64_t handle);

/* 1 when path lies on another file system than "/", else 0 (not a result
 * code). The path is written to during the call and restored before it returns. */
RTK_API int32_t PF_isNetworkLocation(char *path);

/* The storage-manager client's installation directory when it exists. */
RTK_API int32_t PF_GetVSBInstallLocation(char *out, int32_t size);

/* Small file calls. PF_open returns the descriptor or -1 (not a result code). */
RTK_API int32_t PF_rename(const char *from, const char *to);
RTK_API int32_t PF_open(const char *path, int32_t flags, uint32_t mode);
RTK_API int32_t PF_unlink(const char *path);
RTK_API int32_t PF_IsReadable(const char *path);

RTK_EXTERN_C_END

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(PF_Attrs) == 488, "PF_Attrs is 488 bytes");
static_assert(offsetof(PF_Attrs, group) == 64 && offsetof(PF_Attrs, mode) == 128, "id texts");
static_assert(offsetof(PF_Attrs, size) == 192 && offsetof(PF_Attrs, mtime) == 200 &&
                  offsetof(PF_Attrs, atime) == 208,
              "sizes and times");
static_assert(offsetof(PF_Attrs, kind) == 216 && offsetof(PF_Attrs, devID) == 224 &&
                  offsetof(PF_Attrs, name) == 232,
              "kind, device and name");
#endif

#endif /* RTK_PF_FILE_H */
