/* A program built against an installed librtk. It calls the library, reads
 * one of its exported variables, and checks that the dynamic loader mapped
 * librtk from LIBDIR, so that a run proves the program uses the installed
 * copy.
 *
 *   consumer_c|consumer_cxx LIBDIR
 *
 * Exit 0 when every check holds. The same file is compiled as C99 and,
 * through consumer.cpp, as C++. */
#include "all_headers.h"

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    char cut[8], line[4096];
    int mapped = 0;
    FILE *maps = fopen("/proc/self/maps", "r");
    size_t n = argc == 2 ? strlen(argv[1]) : 0;

    /* An 8-byte copy of a longer text keeps 7 characters and terminates. */
    STR_copy(cut, "consumer", (int32_t)sizeof cut);
    while (maps != NULL && !mapped && fgets(line, (int)sizeof line, maps) != NULL) {
        const char *file = strchr(line, '/');
        mapped = file != NULL && strstr(file, "/librtk.so") != NULL && n > 0 && strncmp(file, argv[1], n) == 0 && file[n] == '/';
    }
    if (maps != NULL) fclose(maps);
    printf("consumer: STR_copy gave '%s', STR_thousandths is '%c', librtk %s mapped from %s\n", cut,
           STR_thousandths, mapped ? "is" : "is not", argc == 2 ? argv[1] : "(no LIBDIR given)");
    return strcmp(cut, "consume") == 0 && STR_thousandths == ',' && mapped ? 0 : 1;
}
