// Named counters and sampled values that the engine's stages update as they
// work (frames rendered, pasted, decoded; per-stage milliseconds; underruns;
// ramps and interrupts). Updating one is a few relaxed atomic operations and
// never takes a lock, so every frame may do it; looking one up by name takes
// the registry's lock, so callers look up once and keep the reference:
//
//   static le::telemetry::Counter& pasted = le::telemetry::counter("paste.frames");
//   pasted.add();
//
// Counters and values live until the process exits (they are never freed, so
// a stage may update one from any thread at any time, even during shutdown).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace le::telemetry {

// A count that only grows (until reset()).
class Counter {
 public:
  Counter() = default;
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;

  void add(int64_t n = 1) noexcept { count_.fetch_add(n, std::memory_order_relaxed); }
  int64_t value() const noexcept { return count_.load(std::memory_order_relaxed); }
  void reset() noexcept { count_.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> count_{0};
};

// A series of samples (typically milliseconds a stage took): how many, their
// sum, smallest, largest and latest.
class Value {
 public:
  struct Summary {
    int64_t count = 0;
    double sum = 0.0, min = 0.0, max = 0.0, last = 0.0;
  };

  Value() = default;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  // Adds one sample. Non-finite samples are ignored: one NaN would poison the
  // sum for the rest of the process.
  void record(double sample) noexcept;
  // Reads the fields one by one while writers may go on, so under concurrent
  // updates they can come from moments a few samples apart.
  Summary summary() const noexcept;
  void reset() noexcept;

 private:
  std::atomic<int64_t> count_{0};
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  std::atomic<double> sum_{0.0}, min_{kInf}, max_{-kInf}, last_{0.0};
};

// The counter or value named `name` (letters, digits, '.', '_' and '-'; 1 to
// 64 characters), created at zero on first use. Throws std::runtime_error for
// any other name. The reference stays valid until the process exits.
Counter& counter(const std::string& name);
Value& value(const std::string& name);

// Every registered counter and value, sorted by name.
std::vector<std::pair<std::string, int64_t>> counters();
std::vector<std::pair<std::string, Value::Summary>> values();

// Zeroes every counter and value; names stay registered.
void resetAll();

// Records the milliseconds from construction to destruction into a value.
class ScopedMs {
 public:
  explicit ScopedMs(Value& v) : value_(v), start_(std::chrono::steady_clock::now()) {}
  ~ScopedMs() {
    value_.record(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count());
  }
  ScopedMs(const ScopedMs&) = delete;
  ScopedMs& operator=(const ScopedMs&) = delete;

 private:
  Value& value_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace le::telemetry
