/* CHECK(condition) for the plain C test programs: on a false condition it reports the file, the
 * line and the condition on stderr and makes the enclosing int function return 1. */
#ifndef CORVESSA_PLATFORM_TESTING_C_CHECK_H
#define CORVESSA_PLATFORM_TESTING_C_CHECK_H

#include <stdio.h>

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                     \
        }                                                                                 \
    } while (0)

#endif /* CORVESSA_PLATFORM_TESTING_C_CHECK_H */
