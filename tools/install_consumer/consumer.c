/* A host outside the project: built only against an installed facecore
 * (headers, library and package files) to prove the install is complete. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <le/le.h>
#include <le/le_a2x.h>

int main(int argc, char** argv) {
  printf("facecore %s, keypoint rows %d, simd %s\n", le_version(), le_host_kp_rows(), le_simd_target());
  if (le_host_kp_rows() != 21) return 1;
  /* A bad bundle is refused with a message, through the installed library. */
  if (le_create("/nonexistent-bundle", "b1_fp32", 1, NULL) != NULL || !*le_last_error()) return 1;
  const int64_t len = le_telemetry_json(NULL, 0);
  char* doc = malloc((size_t)len + 4096);
  if (len <= 0 || le_telemetry_json(doc, (size_t)len + 4096) <= 0 || !strstr(doc, "facecore-telemetry-v1")) return 1;
  free(doc);
  /* The plug-in is installed beside the library and loads like any host's. */
  if (argc > 1) {
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
      fprintf(stderr, "consumer: %s\n", dlerror());
      return 1;
    }
    dlclose(plugin);
    printf("plug-in loads: %s\n", argv[1]);
  }
  printf("consumer ok\n");
  return 0;
}
