/* A program built against an installed librtk. It calls the library, reads
 * one of its exported variables, and reports which librtk the dynamic loader
 * mapped, so that a run proves the program uses the installed copy.
 *
 *   consumer_c|consumer_cxx LIBDIR
 *
 * Exit 0 when every check holds and the library came from LIBDIR. The same
 * file is compiled as C99 and, through consumer.cpp, as C++. */
#include "all_headers.h"

#include <stdio.h>
#include <string.h>

#ifdef __cplusplus
#define CONSUMER_LANGUAGE "C++"
#else
#define CONSUMER_LANGUAGE "C"
#endif

/* Copies into path the file of the first mapping of librtk.so in this
 * process; returns 0 when there is none. */
static int mapped_library(char *path, size_t size)
{
    char line[4096];
    int found = 0;
    FILE *maps = fopen("/proc/self/maps", "r");
    if (maps == NULL)
        return 0;
    while (!found && fgets(line, (int)sizeof line, maps) != NULL) {
        const char *file = strchr(line, '/');
        if (file != NULL && strstr(file, "/librtk.so") != NULL) {
            size_t n = strcspn(file, "\n");
            if (n >= size)
                n = size - 1;
            memcpy(path, file, n);
            path[n] = '\0';
            found = 1;
        }
    }
    fclose(maps);
    return found;
}

int main(int argc, char **argv)
{
    char cut[8];
    char path[4096];
    int failures = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBDIR\n", argv[0]);
        return 2;
    }
    /* An 8-byte copy of a longer text keeps 7 characters and terminates. */
    STR_copy(cut, "consumer", (int32_t)sizeof cut);
    if (strcmp(cut, "consume") != 0) {
        printf("%s: STR_copy gave '%s'\n", CONSUMER_LANGUAGE, cut);
        failures++;
    }
    if (STR_thousandths != ',') {
        printf("%s: STR_thousandths is '%c', not ','\n", CONSUMER_LANGUAGE, STR_thousandths);
        failures++;
    }
    if (!mapped_library(path, sizeof path)) {
        printf("%s: librtk is not mapped\n", CONSUMER_LANGUAGE);
        failures++;
    } else if (strncmp(path, argv[1], strlen(argv[1])) != 0 || path[strlen(argv[1])] != '/') {
        printf("%s: librtk came from %s, not from %s\n", CONSUMER_LANGUAGE, path, argv[1]);
        failures++;
    } else {
        printf("%s consumer: librtk from %s\n", CONSUMER_LANGUAGE, path);
    }
    return failures == 0 ? 0 : 1;
}
