/*
 * pf_driverif.h - the driver's character device: open and close it, send a
 * command record, hook file-system objects, plain read and write.
 *
 * The device "/dev/quillmar0" belongs to the kernel driver. Every ioctl
 * request passes the address of a PF_DriverCommand; the request numbers are
 * plain numbers without direction or size encoding. A device handle is the
 * open descriptor held in a signed 64-bit integer (-1 after a failed open).
 */
#ifndef RTK_PF_DRIVERIF_H
#define RTK_PF_DRIVERIF_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* The driver's device node. */
#define PF_DRIVER_DEVICE "/dev/quillmar0"

/* Request numbers, passed as the plain request argument of ioctl. */
#define DRV_IOCTL_COMMAND     100 /* a control command and its reply */
#define DRV_IOCTL_HOOK        101 /* hook the object open under a descriptor */
#define DRV_IOCTL_HOOK_PARENT 102 /* hook the parent directory of that object */

/* Values the senders put into every record. */
#define PF_DRIVER_COMMAND_VERSION 1
#define PF_DRIVER_COMMAND_SIZE    152

/* Size of the data buffer of a hook request. */
#define PF_DRIVER_HOOK_BUFFER     1024

/*
 * The record whose address every request passes: nineteen 64-bit words in
 * native byte order, no gaps. Senders clear it to zero, then set:
 *
 *   offset  0  version      always 1
 *           8  code         control code; 0 for text commands and hooks
 *          16  recordSize   152
 *          24  inLength     input bytes in the buffer, NUL included; 0: none
 *          32  bufferSize   capacity of the data buffer (bounds the reply)
 *          40  reserved     7 words, zero
 *          96  result       0 on the way in; the driver's result code back
 *         104  reserved     1 word, zero
 *         112  buffer       address of the data buffer in the caller
 *         120  reserved     4 words, zero
 *         152  (end)
 */
typedef struct PF_DriverCommand {
    uint64_t version;
    uint64_t code;
    uint64_t recordSize;
    uint64_t inLength;
    uint64_t bufferSize;
    uint64_t reserved1[7];
    int64_t result;
    uint64_t reserved2;
    uint64_t buffer;
    uint64_t reserved3[4];
} PF_DriverCommand;

/* Opens the device for reading and writing; *handle gets the descriptor, or
 * -1. SUCCESS, or DRVROPEN when it cannot be opened (no driver loaded). */
RTK_API int32_t PF_OpenDriver(int64_t *handle);

/* Closes the device handle. Always SUCCESS. */
RTK_API int32_t PF_CloseDriver(int64_t handle);

/* Sends the command request (100) with `record`. SUCCESS when the request
 * went through (the driver's own answer is then in record->result), else
 * BADFILE. */
RTK_API int32_t PF_CommandDriver(int64_t handle, PF_DriverCommand *record);

/* Hooks the object at `path` and then its parent directory. An XML tail
 * after the path ("/>" or '>') is dropped. SUCCESS or the first failure:
 * HOOKFILE, DRVROPEN, BADFILE or the driver's refusal. */
RTK_API int32_t PF_AttachDriverToFileSystem(const char *path);

/* Kept for symmetry with the attach: does nothing, always SUCCESS. */
RTK_API int32_t PF_DetachDriverToFileSystem(const char *path);

/* One write of `length` bytes; *count gets the bytes written. SUCCESS, or
 * BADFILE with *count unchanged when the write fails. */
RTK_API int32_t PF_WriteDriver(int64_t handle, const void *data, uint64_t length, int64_t *count);

/* One read of at most `length` bytes; *count gets the bytes read (0 too).
 * SUCCESS, or DRVRREAD with *count unchanged when the read fails. */
RTK_API int32_t PF_ReadDriver(int64_t handle, void *data, uint32_t length, int32_t *count);

RTK_EXTERN_C_END

#endif /* RTK_PF_DRIVERIF_H */
