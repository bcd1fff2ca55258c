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

  /* A host's own stage samples land beside the engine's; bad names are refused. */
  int64_t count = -1;
  double sum = -1.0;
  CHECK(le_telemetry_value("test.host.encode_ms", &count, &sum) == 0);
  CHECK(count == -1 && sum == -1.0); /* nothing written for an unknown value */
  CHECK(le_telemetry_record("test.host.encode_ms", 1.5) == 0);
  CHECK(le_telemetry_record("test.host.encode_ms", 2.5) == 0);
  CHECK(le_telemetry_value("test.host.encode_ms", &count, &sum) == 1);
  CHECK(count == 2 && sum == 4.0);
  CHECK(le_telemetry_record(NULL, 1.0) == -1);
  CHECK(strstr(le_last_error(), "le_telemetry_record: ") == le_last_error());
  CHECK(le_telemetry_record("no spaces allowed", 1.0) == -1);
  CHECK(le_telemetry_value(NULL, &count, &sum) == 0);

  if (failures) return 1;
  printf("telemetry C API ok\n");
  return 0;
}
