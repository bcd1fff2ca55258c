// Test helper: runs a body once per SIMD target that is both compiled and
// supported by this CPU, with dispatch restricted to that target.
#pragma once

#include <hwy/targets.h>

#include <gtest/gtest.h>

namespace le::simd::test {

template <class Body>
void forEachTarget(Body body) {
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    SCOPED_TRACE(hwy::TargetName(target));
    body(target);
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

}  // namespace le::simd::test
