/* Prints what this build of the engine is: version, keypoint contract and
 * the SIMD target its kernels run on. Written in plain C against the public
 * headers, as a host would use them. */
#include <stdio.h>

#include "le/le.h"
#include "le/le_a2x.h"
#include "tools/cli_options.h"

int main(int argc, char** argv) {
  le_cli_no_options(argc, argv, "le_info", "prints the engine version, keypoint rows and SIMD target", le_version());
  printf("facecore %s\n", le_version());
  printf("keypoint rows: %d\n", le_host_kp_rows());
  printf("simd target: %s\n", le_simd_target());
  printf("last error: \"%s\"\n", le_last_error());
  return le_host_kp_rows() == 21 ? 0 : 1;
}
