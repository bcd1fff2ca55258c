// A snapshot of the machine the engine runs on, for telemetry reports.
#pragma once

#include <cstdint>
#include <string>

namespace le::telemetry {

struct MachineInfo {
  std::string cpuModel;          // processor model name, or its vendor and part numbers
  int logicalCores = 0;          // processors configured
  int onlineCores = 0;           // processors online now
  std::string simdTarget;        // the SIMD target the kernels run on
  std::string onnxRuntime;       // ONNX Runtime version the engine runs with
  std::string libavcodec;        // libavcodec version as major.minor.micro
  std::string ffmpeg;            // FFmpeg's own version text
  std::string os;                // kernel name, release and architecture
  int64_t memoryTotalBytes = -1;      // -1 when the system does not say
  int64_t memoryAvailableBytes = -1;  // -1 when the system does not say
  int64_t processRssBytes = -1;       // resident memory of this process, -1 when unknown
};

// Reads the snapshot now. Never throws for a missing source: fields it cannot
// learn stay empty or -1.
MachineInfo machineInfo();

}  // namespace le::telemetry
