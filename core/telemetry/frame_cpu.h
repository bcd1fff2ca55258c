// Where a delivered frame's CPU budget went: the milliseconds of CPU each
// stage spent on it, measured with per-thread CPU clocks so that time a
// thread spent waiting is never counted, nor the work of another thread
// unless that thread works only for it.
//
// Every frame a pipeline publishes records one sample per stage into the
// values "frame_cpu.<stage>_ms" (0 for a stage the frame did not pass
// through), so a value's mean is that stage's CPU per delivered frame. Hosts
// add the encode stage through le_telemetry_record.
#pragma once

#include <pthread.h>
#include <time.h>

#include <mutex>
#include <vector>

namespace le::telemetry {

// CPU milliseconds the calling thread has used since it started, together
// with what threads working only for it have used: the workers it watches
// and the time handed to it. A thread's parallel loops and its inference
// runs thereby count towards the stage the thread is in.
double threadCpuMs() noexcept;

// Counts a helper thread's CPU in the calling thread's threadCpuMs() until
// unwatchHelperThread(); false (and nothing watched) when the thread already
// watches as many helpers as it can, or the thread's clock is not readable.
bool watchHelperThread(pthread_t helper) noexcept;
// Stops watching a helper; what it used so far stays counted.
void unwatchHelperThread(pthread_t helper) noexcept;
// Adds milliseconds of another thread's CPU spent for the calling thread.
void addHelperCpuMs(double ms) noexcept;

// The CPU clocks of a set of threads that work for whichever thread asks
// them to (an inference session's own threads); the set may change from any
// thread while another reads it.
class HelperClocks {
 public:
  // Leaves a thread uncounted when its clock cannot be read or kept.
  void add(pthread_t thread) noexcept;
  // Forgets a thread; its CPU so far stays in cpuMs().
  void remove(pthread_t thread);
  // The CPU milliseconds every thread in the set, and every removed one,
  // has used.
  double cpuMs() const;
  int size() const;

 private:
  struct Clock {
    pthread_t thread;
    clockid_t clock;
  };
  mutable std::mutex mutex_;
  std::vector<Clock> clocks_;  // guarded by mutex_
  double retiredMs_ = 0;       // guarded by mutex_: CPU of removed threads
};

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
