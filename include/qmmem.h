/*
 * qmmem.h - the debug heap: the library's allocator for its larger working
 * buffers.
 *
 * Blocks come from large regions, are aligned to at least 512 bytes, carry a
 * four-character tag and are guarded by 8 bytes in front (inside the block
 * header) and 512 bytes behind the requested bytes. Every block, free or
 * allocated, stays on one list in address order within each region, so that
 * the whole heap can be checked and listed. All messages go to the message
 * log (qmlog.h). One semaphore guards the heap; every entry point may be
 * called from any thread.
 */
#ifndef RTK_QMMEM_H
#define RTK_QMMEM_H

#include "rtkdefs.h"

RTK_EXTERN_C_BEGIN

/* Allocates nbytes with the given alignment (rounded up to a multiple of
 * 512; 0 means 512; a negative value asks for a zero-filled block and its
 * absolute value is the alignment) and keeps the first four bytes of tag.
 * Answers the data address, or null when no memory is left, when the
 * alignment does not round to a power of two, or when nbytes is negative or
 * too large to round. */
RTK_API void *MEM_malloc(int32_t alignment, int32_t nbytes, const char *tag);

/* Releases a block (null is allowed) and merges it with free neighbours.
 * Answers the size that was asked for the block, or 0 (null pointer, a block
 * that is already free, or a pointer that is not a heap block). */
RTK_API int32_t MEM_free(void *p);

/* Releases every allocated block (used in a freshly forked child). Answers
 * the result of the final release of the heap's lock (0 on success). */
RTK_API int32_t MEM_FreeAll(void);

/* Hands a region of size bytes to the heap, which keeps it for good. A
 * region without room for a block header is not taken. */
RTK_API void MEM_AddMemory(void *region, int32_t size);

/* Stores the capacity of the allocated blocks and of the free blocks (block
 * headers not counted). Answers the result of releasing the lock (0). */
RTK_API int32_t MEM_Stats(uint64_t *allocated, uint64_t *free_bytes);

/* Lists the heap in the message log: "F..." free blocks only, "A..." the
 * allocated blocks only, "" all blocks; any other first byte lists none.
 * The totals are always written. */
RTK_API void MEM_Walk(const char *which);

/* Checks the whole list when the debug level is not 0. Answers 0 when it is
 * consistent (or the check is off) and 1 when a block is damaged beyond use
 * or the blocks do not add up to the memory handed to the heap. */
RTK_API int32_t qmmem_check(void);

/* Sets the debug level: not 0 checks the heap on every allocation and
 * release, above 0 zero-fills allocations and fills released data with 'C',
 * above 1..4 log ever more detail, above 4 lists the heap after each change. */
RTK_API void qmmem_setDbg(int32_t level);

/* The heap's source of regions: *size is the wanted byte count on entry and
 * the size of the returned region on return. Answers null when there is no
 * memory. */
RTK_API void *MEM_GetMemory_cb(int32_t *size);

RTK_EXTERN_C_END

#endif /* RTK_QMMEM_H */
