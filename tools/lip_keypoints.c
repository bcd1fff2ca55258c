/* Runs one utterance through an animation source of a bundle and writes the
 * keypoints it pulls, for measuring what the speech models do to the lips.
 *
 *   lip_keypoints a2x|motion BUNDLE SPEECH.f32 OUT.f32
 *
 * SPEECH.f32 is raw little-endian 16 kHz mono float samples. OUT.f32 gets one
 * record of 127 floats per frame: the driving frame index, the driving
 * frame's own 63 keypoint values and the 63 driven ones. a2x needs W2V_ONNX
 * (the speech encoder). Written in plain C against the public headers, as a
 * host would drive the sources. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"
#include "le/le_a2x.h"

enum { kValues = 63, kRecord = 1 + 2 * kValues };

static float* readSamples(const char* path, int* n) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "lip_keypoints: cannot open %s\n", path);
    return NULL;
  }
  fseek(f, 0, SEEK_END);
  long bytes = ftell(f);
  fseek(f, 0, SEEK_SET);
  if (bytes <= 0 || bytes % 4 != 0 || bytes / 4 > 16000L * 600) {
    fprintf(stderr, "lip_keypoints: %s holds %ld bytes, not 1 to 9600000 float samples\n", path, bytes);
    fclose(f);
    return NULL;
  }
  float* s = malloc((size_t)bytes);
  *n = (int)(bytes / 4);
  if (s && fread(s, 4, (size_t)*n, f) != (size_t)*n) {
    fprintf(stderr, "lip_keypoints: short read of %s\n", path);
    free(s);
    s = NULL;
  }
  fclose(f);
  return s;
}

static int writeFrames(FILE* out, const int32_t* idx, const float* base, const float* kp, int frames) {
  for (int i = 0; i < frames; ++i) {
    float rec[kRecord];
    rec[0] = (float)idx[i];
    memcpy(rec + 1, base + (size_t)i * kValues, sizeof(float) * kValues);
    memcpy(rec + 1 + kValues, kp + (size_t)i * kValues, sizeof(float) * kValues);
    if (fwrite(rec, sizeof rec, 1, out) != 1) return -1;
  }
  return 0;
}

/* The two sources' pull functions differ only in their handle's type. */
typedef int (*PullFn)(void* source, int32_t* idx, float* base, float* kp, int max);
static int pullA2x(void* a, int32_t* idx, float* base, float* kp, int max) {
  return le_a2x_pull((le_a2x*)a, idx, base, kp, max);
}
static int pullMotion(void* m, int32_t* idx, float* base, float* kp, int max) {
  return le_motion_pull((le_motion*)m, idx, base, kp, max);
}

/* Pulls until `frames` are taken or the source has none left. */
static int pullAll(PullFn pull, void* source, int32_t* idx, float* base, float* kp, int frames) {
  int got = 0;
  for (int k; got < frames && (k = pull(source, idx + got, base + (size_t)got * kValues,
                                        kp + (size_t)got * kValues, frames - got)) > 0;)
    got += k;
  return got;
}

int main(int argc, char** argv) {
  if (argc != 5 || (strcmp(argv[1], "a2x") != 0 && strcmp(argv[1], "motion") != 0)) {
    fprintf(stderr, "usage: lip_keypoints a2x|motion BUNDLE SPEECH.f32 OUT.f32\n");
    return 2;
  }
  int n = 0;
  float* samples = readSamples(argv[3], &n);
  if (!samples) return 1;
  int frames = (n + 639) / 640;
  int32_t* idx = malloc(sizeof(int32_t) * (size_t)frames);
  float* base = malloc(sizeof(float) * kValues * (size_t)frames);
  float* kp = malloc(sizeof(float) * kValues * (size_t)frames);
  int got = -1;
  if (idx && base && kp) {
    if (argv[1][0] == 'a') {
      le_a2x* a = le_a2x_create(argv[2], 1);
      if (!a) {
        fprintf(stderr, "lip_keypoints: %s\n", le_a2x_last_error());
      } else {
        le_a2x_push(a, samples, n);
        le_a2x_finish(a);
        got = pullAll(pullA2x, a, idx, base, kp, frames);
        le_a2x_destroy(a);
      }
    } else {
      le_motion* m = le_motion_create(argv[2], 1, "");
      if (!m) {
        fprintf(stderr, "lip_keypoints: %s\n", le_motion_last_error());
      } else if (le_motion_push(m, samples, n)) {
        le_motion_finish(m);
        got = pullAll(pullMotion, m, idx, base, kp, frames);
        le_motion_destroy(m);
      } else {
        fprintf(stderr, "lip_keypoints: %s\n", le_motion_last_error());
        le_motion_destroy(m);
      }
    }
  }
  int rc = 1;
  if (got != frames) {
    fprintf(stderr, "lip_keypoints: pulled %d of %d frames\n", got, frames);
  } else {
    FILE* out = fopen(argv[4], "wb");
    if (!out || writeFrames(out, idx, base, kp, frames) != 0) {
      fprintf(stderr, "lip_keypoints: cannot write %s\n", argv[4]);
    } else {
      rc = 0;
    }
    if (out && fclose(out) != 0) rc = 1;
  }
  free(samples);
  free(idx);
  free(base);
  free(kp);
  return rc;
}
