/* The core context's C functions from plain C, against le/le.h alone.
 * Usage: session_capi_c_test BUNDLE_DIR MODEL_KEY */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "le/le.h"

#define LE_CHECK_CONTEXT le_last_error()
#include "tests/c_check.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s BUNDLE_DIR MODEL_KEY\n", argv[0]);
    return 2;
  }
  CHECK(le_create(NULL, argv[2], 1, NULL) == NULL);
  CHECK(strcmp(le_last_error(), "le_create: NULL bundle_dir/model_key") == 0);

  le_ctx* ctx = le_create(argv[1], argv[2], 1, "");
  CHECK(ctx != NULL);
  if (!ctx) return 1;
  CHECK(strcmp(le_last_error(), "") == 0);
  const int w = le_width(ctx), h = le_height(ctx);
  CHECK(w > 0 && h > 0 && le_crop(ctx) > 0 && le_nt(ctx) > 0 && le_drive_frames(ctx) > 0);

  unsigned char* rgba = malloc((size_t)w * h * 4);
  CHECK(le_render_drive_rgba(ctx, 0, rgba, (size_t)w * h * 4) == 1);
  CHECK(rgba[3] == 255);
  CHECK(le_render_drive_rgba(ctx, 0, rgba, (size_t)w * h * 4 - 1) == 0);
  CHECK(strcmp(le_last_error(), "le_render_*_rgba: out buffer too small") == 0);

  const float* crop = le_render_drive_crop(ctx, 1);
  CHECK(crop != NULL);
  CHECK(le_paste_last(ctx, 1) != NULL);
  CHECK(le_target_frame(ctx, le_nt(ctx)) == NULL);
  CHECK(strcmp(le_last_error(), "le_target_frame: bad args") == 0);

  char path[4096];
  CHECK(le_bundle_resolve_member(argv[1], "manifest.json", path, sizeof path) == 1);
  free(rgba);
  le_destroy(ctx);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  else printf("C API checks passed\n");
  return failures ? 1 : 0;
}
