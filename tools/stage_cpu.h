// Per-frame CPU accounting on the host's side: the encode stage beside the
// engine's own stage values, and the one-line summary of all of them.
#pragma once

#include <string>

#include "le/le.h"

namespace le::tools {

// CPU milliseconds the calling thread has used since it started.
double threadCpuMs();

// Runs `encode` and adds its CPU time on the calling thread to the
// telemetry value "frame_cpu.encode_ms" (one sample per frame).
template <class Fn>
void recordEncodeCpu(Fn&& encode) {
  const double t0 = threadCpuMs();
  encode();
  le_telemetry_record("frame_cpu.encode_ms", threadCpuMs() - t0);
}

// "CPU per delivered frame: source 1.2, render 40.1, ... ms", from the
// telemetry values "frame_cpu.<stage>_ms"; "" when no frame was recorded.
std::string stageCpuLine();

}  // namespace le::tools
