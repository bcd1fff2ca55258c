/* The keypoint-motion and face-coefficient C functions from plain C,
 * against le/le.h alone.
 * Usage: audio_capi_c_test MOTION_DIR [ENCODER ADAPTER] */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"

/* Both families' last errors beside a failed check. */
static const char* checkContext(void) {
  static char text[1024];
  snprintf(text, sizeof text, "last errors \"%s\" / \"%s\"", le_motion_last_error(), le_fca_last_error());
  return text;
}
#define LE_CHECK_CONTEXT checkContext()
#include "tests/c_check.h"

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

static void fca(const char* encoder, const char* adapter) {
  CHECK(le_fca_create(NULL, adapter, 1) == NULL);
  CHECK(strcmp(le_fca_last_error(), "le_fca_create: NULL encoder_path/adapter_path") == 0);
  CHECK(le_fca_create(encoder, "/nonexistent/fca_stream.onnx", 1) == NULL);
  {
    const char* want = "le_fca_create: cannot load model /nonexistent/fca_stream.onnx: ";
    CHECK(strncmp(le_fca_last_error(), want, strlen(want)) == 0);
  }
  /* The error texts of the two families are separate. */
  CHECK(le_motion_create(NULL, 1, NULL) == NULL);
  CHECK(strncmp(le_fca_last_error(), "le_fca_create: ", 15) == 0);

  le_fca* f = le_fca_create(encoder, adapter, 0);
  CHECK(f != NULL);
  if (!f) return;
  CHECK(strcmp(le_fca_last_error(), "") == 0);
  float* pcm = calloc(2000, sizeof(float));
  for (int i = 0; i < 2000; ++i) pcm[i] = 0.3f * (float)sin(i * 0.07);
  float out[4 * 63];
  for (int i = 0; i < 4 * 63; ++i) out[i] = 42.0f;
  CHECK(le_fca_deltas(f, pcm, 0, out, 4) == 0);
  CHECK(le_fca_deltas(f, pcm, 640, out, 4) == 1);
  CHECK(le_fca_deltas(f, pcm, 641, out, 4) == 2);
  for (int i = 0; i < 4 * 63; ++i) out[i] = 42.0f;
  /* 1921 samples need 4 frames: one short of room is refused unwritten. */
  CHECK(le_fca_deltas(f, pcm, 1921, out, 3) == -1);
  CHECK(strcmp(le_fca_last_error(), "le_fca_deltas: room for 3 frames where 4 are needed") == 0);
  int untouched = 1;
  for (int i = 0; i < 4 * 63; ++i) untouched = untouched && out[i] == 42.0f;
  CHECK(untouched);
  CHECK(le_fca_deltas(f, pcm, 1921, out, 4) == 4);
  CHECK(strcmp(le_fca_last_error(), "") == 0);
  CHECK(le_fca_deltas(NULL, pcm, 640, out, 4) == -1);
  le_fca_destroy(f);
  le_fca_destroy(NULL);
  free(pcm);
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s MOTION_DIR [ENCODER ADAPTER]\n", argv[0]);
    return 2;
  }
  motion(argv[1]);
  if (argc == 4) fca(argv[2], argv[3]);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
