// Per-frame CPU accounting on the host's side: the encode stage beside the
// engine's own stage values, and the one-line summary of all of them.
#pragma once

#include <cstdint>
#include <string>

#include "le/le.h"

namespace le::tools {

// CPU milliseconds the calling thread has used since it started.
double threadCpuMs();

// Adds `frames` samples sharing cpuMs to the telemetry value
// "frame_cpu.encode_ms", beside the engine's own stage values.
void recordEncodeCpu(double cpuMs, int64_t frames = 1);

// "CPU per delivered frame: source 1.2, render 40.1, ... ms", from the
// telemetry values "frame_cpu.<stage>_ms"; "" when no frame was recorded.
std::string stageCpuLine();

}  // namespace le::tools
