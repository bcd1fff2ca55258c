// Where a delivered frame's CPU budget went: the milliseconds of CPU each
// stage spent on it, measured with per-thread CPU clocks so that time a
// thread spent waiting, or another thread's work, is never counted.
//
// Every frame a pipeline publishes records one sample per stage into the
// values "frame_cpu.<stage>_ms" (0 for a stage the frame did not pass
// through), so a value's mean is that stage's CPU per delivered frame. Hosts
// add the encode stage through le_telemetry_record.
#pragma once

namespace le::telemetry {

// CPU milliseconds the calling thread has used since it started.
double threadCpuMs() noexcept;

enum class Stage { kSource, kRender, kTeeth, kDecode, kPaste, kEncode, kCount };
constexpr int kStageCount = int(Stage::kCount);

// "source", "render", "teeth", "decode", "paste", "encode".
const char* stageName(Stage stage) noexcept;

struct FrameCpu {
  double ms[kStageCount] = {};
  double& operator[](Stage s) noexcept { return ms[int(s)]; }
  double operator[](Stage s) const noexcept { return ms[int(s)]; }
};

// Records one delivered frame: every stage but encode (the host's own).
void recordFrameCpu(const FrameCpu& cpu);

// Adds the calling thread's CPU time between construction and destruction
// to a stage of a frame.
class ScopedCpu {
 public:
  ScopedCpu(FrameCpu& cpu, Stage stage) noexcept : target_(cpu[stage]), start_(threadCpuMs()) {}
  explicit ScopedCpu(double& target) noexcept : target_(target), start_(threadCpuMs()) {}
  ~ScopedCpu() { target_ += threadCpuMs() - start_; }
  ScopedCpu(const ScopedCpu&) = delete;
  ScopedCpu& operator=(const ScopedCpu&) = delete;

 private:
  double& target_;
  double start_;
};

}  // namespace le::telemetry
