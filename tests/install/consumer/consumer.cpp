// The consumer compiled as C++: the public headers must give C linkage, or
// the program does not link against the installed library.
#include "consumer.c"
