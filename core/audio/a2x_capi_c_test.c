/* The audio-to-expression C functions from plain C, against le/le_a2x.h
 * alone. Usage: audio_a2x_capi_c_test BUNDLE_DIR (with $W2V_ONNX set). */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le_a2x.h"

#define LE_CHECK_CONTEXT le_a2x_last_error()
#include "tests/c_check.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s BUNDLE_DIR\n", argv[0]);
    return 2;
  }
  CHECK(le_a2x_create(NULL, 1) == NULL);
  CHECK(strcmp(le_a2x_last_error(), "le_a2x_create: NULL or empty bundle path") == 0);
  CHECK(le_a2x_preload_w2v(NULL) == 1);

  le_a2x* a = le_a2x_create(argv[1], 1);
  CHECK(a != NULL);
  if (!a) return 1;
  CHECK(strcmp(le_a2x_last_error(), "") == 0);
  CHECK(le_a2x_nt(a) > 0);
  le_a2x_set_eager(a, 1);

  /* One second of a 220 Hz tone, pushed in odd pieces. */
  enum { N = 16000 };
  float* tone = malloc(sizeof(float) * N);
  for (int i = 0; i < N; ++i) tone[i] = 0.3f * sinf(6.2831853f * 220.0f * (float)i / 16000.0f);
  for (int at = 0; at < N; at += 999) CHECK(le_a2x_push(a, tone + at, at + 999 <= N ? 999 : N - at) == 1);
  CHECK(le_a2x_total(a) == -1);
  le_a2x_finish(a);
  CHECK(le_a2x_total(a) == 25);
  int32_t idx[25];
  float base[25 * 63], expr[25 * 63], wn[25];
  int got = 0;
  while (got < 25) {
    const int n = le_a2x_pull_wn(a, idx + got, base + got * 63, expr + got * 63, wn + got, 25 - got);
    if (n <= 0) break;
    got += n;
  }
  CHECK(got == 25);
  CHECK(idx[0] == 0 && idx[1] == 1);

  float* out = malloc(sizeof(float) * 25 * 63);
  CHECK(le_a2x_deltas(a, tone, N, out, 24) == -2);
  CHECK(le_a2x_deltas(a, tone, N, out, 25) == 25);
  CHECK(le_a2x_deltas(a, tone, 0, out, 25) == 0);
  if (le_a2x_width(a)) CHECK(le_a2x_deltas_wn(a, tone, N, out, wn, 25) == 25);
  else CHECK(le_a2x_deltas_wn(a, tone, N, out, wn, 25) == -3);

  le_a2x_reset(a, -1, -1, 0);
  CHECK(le_a2x_total(a) == -1);
  CHECK(le_a2x_avail(a) == 0);
  le_a2x_destroy(a);
  le_a2x_destroy(NULL);
  CHECK(le_a2x_nt(NULL) == 0);
  CHECK(le_a2x_push(NULL, tone, 1) == 0);
  CHECK(strcmp(le_a2x_last_error(), "le_a2x_push: NULL stream") == 0);
  free(out);
  free(tone);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
