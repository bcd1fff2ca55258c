/* The teeth members and the batch runners from plain C, against le/le.h alone.
 * Usage: tessera_run_c_test BUNDLE_DIR (a generated teeth-member bundle) */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"

#define LE_CHECK_CONTEXT err
#include "tests/c_check.h"

int main(int argc, char** argv) {
  char err[512] = "";
  if (argc != 2) {
    fprintf(stderr, "usage: %s BUNDLE_DIR\n", argv[0]);
    return 2;
  }
  le_tessera_members* m = le_tessera_members_open(argv[1], err, sizeof err);
  CHECK(m != NULL);
  if (!m) return 1;
  const int n = le_tessera_members_n_donors(m);
  const int32_t* st = le_tessera_members_stamp(m);
  const int cw = st[0], ch = st[1], wx = st[2], wy = st[3], ww = st[4], wh = st[5];
  const size_t canvas = (size_t)cw * ch, window = (size_t)ww * wh * 3;
  uint8_t* bands = malloc((size_t)le_tessera_members_band_bytes(m));
  CHECK(le_tessera_members_decode_bank(m, bands, err, sizeof err) == 0);
  CHECK(le_tessera_members_decode_bank(NULL, bands, err, sizeof err) == 1);
  CHECK(strcmp(err, "le_tessera_members_decode_bank: null argument") == 0);

  /* Three frames: two with a mouth at the bank's canonical centroid, the
   * last with an empty mask. */
  enum { kFrames = 3 };
  uint8_t* canvases = malloc(kFrames * canvas * 3);
  uint8_t* masks = calloc(kFrames * canvas, 1);
  uint8_t* windows = malloc(kFrames * window);
  uint8_t skipped[kFrames] = {9, 9, 9};
  const double* canon = le_tessera_members_c_canon(m);
  for (size_t i = 0; i < kFrames * canvas * 3; ++i) canvases[i] = (uint8_t)((i * 29) % 253);
  for (int f = 0; f < 2; ++f)
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        const double dx = (x - canon[0]) / 14.0, dy = (y - canon[1]) / 7.0;
        if (dx * dx + dy * dy <= 1.0) masks[f * canvas + (size_t)y * cw + x] = 255;
      }
  const double* cent = le_tessera_members_cent(m);
  const double* ap = le_tessera_members_aperture(m);
  const uint8_t* pt = le_tessera_members_head_pt(m);
  const size_t ptLen = le_tessera_members_head_pt_len(m);
  const char* headJson = le_tessera_members_head_json(m);

  CHECK(le_tessera_run(bands, n, cent, canon, ap, st, headJson, pt, ptLen, canvases, masks, kFrames, windows,
                       skipped, err, sizeof err) == 0);
  CHECK(skipped[0] == 0 && skipped[1] == 0 && skipped[2] == 1);
  int changed = 0;
  for (int f = 0; f < kFrames; ++f)
    for (int y = 0; y < wh; ++y) {
      const uint8_t* own = canvases + f * canvas * 3 + ((size_t)(wy + y) * cw + wx) * 3;
      const int diff = memcmp(own, windows + f * window + (size_t)y * ww * 3, (size_t)ww * 3) != 0;
      if (f == 2) CHECK(!diff); /* a skipped frame keeps its own mouth */
      changed += diff;
    }
  CHECK(changed > 0);

  /* Given shifts: the second is beyond the stamp's pad. */
  const int32_t shifts[2 * kFrames] = {0, 0, 0, st[6] + 1, 0, 0};
  CHECK(le_tessera_run_shift(bands, n, cent, canon, ap, st, headJson, pt, ptLen, canvases, masks, shifts, kFrames,
                             windows, skipped, err, sizeof err) == 0);
  CHECK(skipped[0] == 0 && skipped[1] == 1 && skipped[2] == 0);
  /* The most negative shift has no magnitude in int: still out of range. */
  const int32_t extreme[2 * kFrames] = {INT32_MIN, 0, 0, INT32_MIN, INT32_MIN, INT32_MIN};
  CHECK(le_tessera_run_shift(bands, n, cent, canon, ap, st, headJson, pt, ptLen, canvases, masks, extreme, kFrames,
                             windows, skipped, err, sizeof err) == 0);
  CHECK(skipped[0] == 1 && skipped[1] == 1 && skipped[2] == 1);
  CHECK(le_tessera_run(bands, n, cent, canon, ap, st, headJson, pt, ptLen, NULL, NULL, 0, NULL, NULL, err,
                       sizeof err) == 0);

  /* Refusals land in the caller's buffer. */
  CHECK(le_tessera_run(NULL, n, cent, canon, ap, st, headJson, pt, ptLen, canvases, masks, kFrames, windows, NULL,
                       err, sizeof err) == 1);
  CHECK(strcmp(err, "le_tessera_run: null argument") == 0);
  CHECK(le_tessera_run_shift(bands, n, cent, canon, ap, st, headJson, pt, ptLen, canvases, masks, NULL, kFrames,
                             windows, NULL, err, sizeof err) == 1);
  CHECK(strcmp(err, "le_tessera_run_shift: null argument") == 0);
  int32_t bad[12];
  memcpy(bad, st, sizeof bad);
  bad[4] = 0;
  CHECK(le_tessera_run(bands, n, cent, canon, ap, bad, headJson, pt, ptLen, canvases, masks, kFrames, windows,
                       NULL, err, sizeof err) == 1);
  CHECK(strncmp(err, "teeth: GeometryStamp incoherent: window dims must be positive;", 62) == 0);
  CHECK(le_tessera_run(bands, n, cent, canon, ap, st, "{}", pt, ptLen, canvases, masks, kFrames, windows, NULL, err,
                       sizeof err) == 1);
  CHECK(strcmp(err, "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing "
                    "to serve defaults") == 0);
  CHECK(le_tessera_run(bands, n, cent, canon, ap, st, headJson, pt, 10, canvases, masks, kFrames, windows, NULL,
                       err, sizeof err) == 1);
  CHECK(strcmp(err, "teeth: head .pt is not a zip") == 0);
  char small[8] = "xxxxxxx";
  CHECK(le_tessera_run(bands, n, cent, canon, ap, st, headJson, pt, 10, canvases, masks, kFrames, windows, NULL,
                       small, sizeof small) == 1);
  CHECK(strcmp(small, "teeth: ") == 0);

  free(windows);
  free(masks);
  free(canvases);
  free(bands);
  le_tessera_members_close(m);
  if (failures) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("tessera C runners: all checks passed\n");
  return 0;
}
