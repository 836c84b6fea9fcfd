/* Drives the debug heap past its first region so that memcheck sees both
 * kinds of region the heap keeps for good (the first one and grown ones):
 * after every block is released, those regions must be the only memory
 * still held, and the heap must check clean. */
#include <stdio.h>
#include <string.h>

#include "qmmem.h"

int main(void)
{
    void *blocks[4];
    uint64_t allocated = 1, free_bytes = 0;
    int i;

    qmmem_setDbg(1);
    for (i = 0; i < 4; i++) {
        blocks[i] = MEM_malloc(512, (i + 1) * 1024 * 1024, "vgrd");
        if (blocks[i] == NULL) {
            puts("heap_regions: MEM_malloc failed");
            return 1;
        }
        memset(blocks[i], i, (size_t)(i + 1) * 1024 * 1024);
    }
    for (i = 0; i < 4; i++)
        MEM_free(blocks[i]);
    MEM_Stats(&allocated, &free_bytes);
    if (qmmem_check() != 0 || allocated != 0) {
        puts("heap_regions: the heap is not clean after releasing every block");
        return 1;
    }
    return 0;
}
