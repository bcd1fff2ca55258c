// Reports the SIMD target the dispatched kernels run on.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include "core/foundation/simd.h"
#include "le/le.h"

namespace le::simd {

const char* target() {
  // Highway numbers better targets with lower bits: the lowest supported bit
  // among the compiled ones is the one dynamic dispatch picks. A CPU may
  // support more than we compile (AVX3_DL), which the kernels never run on.
  const int64_t supported = hwy::SupportedTargets() & HWY_TARGETS;
  const int64_t best = supported & -supported;
  return best ? hwy::TargetName(best) : "Unknown";
}

}  // namespace le::simd

extern "C" LE_API const char* le_simd_target(void) { return le::simd::target(); }
