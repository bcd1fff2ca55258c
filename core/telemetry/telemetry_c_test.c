/* The telemetry C functions from plain C, against le/le.h alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"

#include "tests/c_check.h"

int main(void) {
  const int64_t len = le_telemetry_json(NULL, 0);
  CHECK(len > 0);

  char small[16];
  memset(small, 'x', sizeof small);
  CHECK(le_telemetry_json(small, sizeof small) >= (int64_t)sizeof small);
  CHECK(small[0] == '\0'); /* never a cut document */

  const size_t cap = (size_t)len + 4096;
  char* doc = malloc(cap);
  const int64_t got = le_telemetry_json(doc, cap);
  CHECK(got > 0 && (size_t)got < cap && strlen(doc) == (size_t)got);
  CHECK(doc[0] == '{');
  CHECK(strstr(doc, "\"format\": \"facecore-telemetry-v1\"") != NULL);
  CHECK(strstr(doc, "\"simd_target\": ") != NULL);
  CHECK(strstr(doc, le_version()) != NULL);
  le_telemetry_reset();
  CHECK(le_telemetry_json(doc, cap) > 0);
  free(doc);

  if (failures) return 1;
  printf("telemetry C API ok\n");
  return 0;
}
