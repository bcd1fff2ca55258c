#include <cstring>
#include <string>

#include <hwy/highway.h>
#include <hwy/targets.h>

#include <gtest/gtest.h>

#include "core/foundation/simd.h"
#include "core/foundation/simd_test_targets.h"
#include "le/le.h"

namespace le::simd {
namespace {

TEST(SimdTarget, NamesTheBestSupportedTargetAndFollowsRestrictions) {
  const int64_t supported = hwy::SupportedTargets() & HWY_TARGETS;
  EXPECT_STREQ(target(), hwy::TargetName(supported & -supported));
  EXPECT_STREQ(le_simd_target(), target());
  int seen = 0;
  test::forEachTarget([&](int64_t t) {
    EXPECT_STREQ(target(), hwy::TargetName(t));
    ++seen;
  });
  EXPECT_GE(seen, 1);
  EXPECT_STREQ(target(), hwy::TargetName(supported & -supported));
}

}  // namespace
}  // namespace le::simd
