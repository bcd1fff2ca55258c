/* CHECK for the plain-C tests of the C API: a failed condition is reported
 * with its file and line and counted in `failures`, and the test goes on.
 * A test may define LE_CHECK_CONTEXT before including this file, as an
 * expression giving a string to print beside the failure (the family's last
 * error, usually). */
#ifndef LE_TESTS_C_CHECK_H
#define LE_TESTS_C_CHECK_H

#include <stdio.h>

#ifndef LE_CHECK_CONTEXT
#define LE_CHECK_CONTEXT ""
#endif

static int failures = 0;

#define CHECK(cond)                                                                              \
  do {                                                                                           \
    if (!(cond)) {                                                                               \
      fprintf(stderr, "%s:%d: CHECK(%s) failed; %s\n", __FILE__, __LINE__, #cond, LE_CHECK_CONTEXT); \
      ++failures;                                                                                \
    }                                                                                            \
  } while (0)

#endif
