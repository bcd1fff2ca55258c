#include "tools/stage_cpu.h"

#include <time.h>

#include <cstdio>

namespace le::tools {

double threadCpuMs() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
}

void recordEncodeCpu(double cpuMs, int64_t frames) {
  for (int64_t i = 0; i < frames; ++i) le_telemetry_record("frame_cpu.encode_ms", cpuMs / double(frames));
}

std::string stageCpuLine() {
  std::string line;
  for (const char* stage : {"source", "render", "teeth", "decode", "paste", "encode"}) {
    int64_t count = 0;
    double sum = 0;
    if (le_telemetry_value((std::string("frame_cpu.") + stage + "_ms").c_str(), &count, &sum) != 1 || count == 0)
      continue;
    char part[64];
    std::snprintf(part, sizeof part, "%s%s %.1f", line.empty() ? "" : ", ", stage, sum / double(count));
    line += part;
  }
  return line.empty() ? line : "CPU per delivered frame: " + line + " ms";
}

}  // namespace le::tools
