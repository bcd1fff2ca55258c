#include "core/telemetry/frame_cpu.h"

#include <time.h>

#include <string>

#include "core/telemetry/telemetry.h"

namespace le::telemetry {

double threadCpuMs() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
}

const char* stageName(Stage stage) noexcept {
  static const char* const kNames[kStageCount] = {"source", "render", "teeth", "decode", "paste", "encode"};
  const int i = int(stage);
  return i >= 0 && i < kStageCount ? kNames[i] : "unknown";
}

namespace {

Value& stageValue(Stage s) {
  static Value* values[kStageCount] = {};
  static const bool made = [] {
    for (int i = 0; i < kStageCount; ++i)
      values[i] = &value(std::string("frame_cpu.") + stageName(Stage(i)) + "_ms");
    return true;
  }();
  (void)made;
  return *values[int(s)];
}

}  // namespace

void recordFrameCpu(const FrameCpu& cpu) {
  for (int i = 0; i < kStageCount; ++i)
    if (Stage(i) != Stage::kEncode) stageValue(Stage(i)).record(cpu.ms[i]);
}

}  // namespace le::telemetry
