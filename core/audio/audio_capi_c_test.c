/* The keypoint-motion and face-coefficient C functions from plain C,
 * against le/le.h alone.
 * Usage: audio_capi_c_test MOTION_DIR [ENCODER ADAPTER] */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"

static int failures = 0;

#define CHECK(cond)                                                                             \
  do {                                                                                          \
    if (!(cond)) {                                                                              \
      fprintf(stderr, "%s:%d: CHECK(%s) failed; last error \"%s\"\n", __FILE__, __LINE__, #cond, \
              le_motion_last_error());                                                          \
      ++failures;                                                                               \
    }                                                                                           \
  } while (0)

static void motion(const char* dir) {
  CHECK(le_motion_create(NULL, 1, NULL) == NULL);
  CHECK(strcmp(le_motion_last_error(), "le_motion_create: NULL motion_dir") == 0);
  CHECK(le_motion_create("/nonexistent/motion", 1, "") == NULL);
  CHECK(strcmp(le_motion_last_error(), "le_motion_create: cannot open /nonexistent/motion/meta.json") == 0);
  CHECK(le_motion_create(dir, 1, "tpu") == NULL);
  CHECK(strcmp(le_motion_last_error(), "le_motion_create: le_motion: unknown ep 'tpu'") == 0);

  le_motion* m = le_motion_create(dir, 1, NULL);
  CHECK(m != NULL);
  if (!m) return;
  CHECK(strcmp(le_motion_last_error(), "") == 0);
  CHECK(le_motion_nt(m) > 0);
  CHECK(le_motion_nt(NULL) == 0);
  le_motion_reset(m, 0, 1, 1);
  le_motion_set_eager(m, 0);

  float* pcm = calloc(16000, sizeof(float));
  for (int i = 0; i < 16000; ++i) pcm[i] = 0.2f * (float)sin(i * 0.05) * (float)(i % 4000 < 2000);
  CHECK(le_motion_push(m, NULL, 5) == 0);
  CHECK(strcmp(le_motion_last_error(), "le_motion_push: bad args / already finished") == 0);
  CHECK(le_motion_push(m, pcm, -1) == 0);
  CHECK(le_motion_push(m, pcm, 0) == 1);
  CHECK(strcmp(le_motion_last_error(), "") == 0);
  CHECK(le_motion_push(m, pcm, 16000) == 1);
  CHECK(le_motion_total(m) == -1);
  le_motion_finish(m);
  CHECK(le_motion_total(m) == 25);
  CHECK(le_motion_avail(m) == 25);
  CHECK(le_motion_push(m, pcm, 1) == 0);
  CHECK(strcmp(le_motion_last_error(), "le_motion_push: bad args / already finished") == 0);

  int32_t idx[25];
  float* xs = calloc(25 * 63, sizeof(float));
  float* xd = calloc(25 * 63, sizeof(float));
  CHECK(le_motion_pull(m, idx, NULL, xd, 25) == 0);
  CHECK(strcmp(le_motion_last_error(), "le_motion_pull: bad args") == 0);
  CHECK(le_motion_pull(m, idx, xs, xd, 0) == 0);
  CHECK(le_motion_pull(m, idx, xs, xd, 10) == 10);
  CHECK(le_motion_pull(m, NULL, xs, xd, 100) == 15);
  CHECK(le_motion_avail(m) == 0);
  CHECK(idx[0] == 0 && idx[1] == 1);
  CHECK(xs[0] != 0.0f);

  CHECK(le_motion_avail(NULL) == 0);
  CHECK(le_motion_total(NULL) == -1);
  le_motion_finish(NULL);
  le_motion_destroy(m);
  le_motion_destroy(NULL);
  free(pcm);
  free(xs);
  free(xd);
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s MOTION_DIR [ENCODER ADAPTER]\n", argv[0]);
    return 2;
  }
  motion(argv[1]);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
