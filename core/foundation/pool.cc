#include "core/foundation/pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/telemetry/frame_cpu.h"

namespace le::pool {
namespace {

using RangeFn = std::function<void(std::uint64_t, std::uint64_t)>;

std::atomic<int> gThreadsOverride{0};

}  // namespace

int detail::threadCountRule(const char* facecoreThreads, const char* pasteThreads,
                            unsigned hw) {
  const char* request = facecoreThreads;
  if (!request || !*request) request = pasteThreads;
  long requested = 4;
  if (request && *request) {
    requested = std::strtol(request, nullptr, 10);
    if (requested <= 0) requested = 1;
    if (requested > 1 << 20) requested = 1 << 20;
  }
  if (hw > 0 && static_cast<long>(hw) < requested) return static_cast<int>(hw);
  return static_cast<int>(requested);
}

void detail::overrideThreadsForTest(int count) { gThreadsOverride = count; }

namespace {

// A job handed to idle workers usually follows the previous one within
// microseconds (the passes of one frame), while waking a sleeping thread
// costs tens of microseconds. Workers and the owner therefore poll for a
// short, bounded time before they block; a pool with no jobs sleeps and
// burns nothing.
constexpr auto kSpinBudget = std::chrono::microseconds(50);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Polls `ready` for up to kSpinBudget; true as soon as it holds.
template <class Ready>
bool spinUntil(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinBudget;
  for (;;) {
    for (int k = 0; k < 64; ++k) {
      if (ready()) return true;
      cpuRelax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return ready();
  }
}

// One calling thread's workers. Worker i runs slice i of each job; the
// owning thread runs slice 0 itself.
//
// Hand-over without the mutex: the owner writes the job fields, then bumps
// generation_ (release); a worker that sees the new generation (acquire)
// reads them, and the owner leaves them alone until pending_ is back to 0.
// Blocking uses the mutex and the two conditions; a thread announces that it
// is about to block (sleepers_, ownerWaiting_) before it re-checks under the
// mutex, and the other side notifies under the mutex only when it sees such
// an announcement. Both use sequentially consistent order, so at least one
// of them sees the other and no wake-up is lost.
class Pool {
 public:
  // Built on the owning thread, whose stages the workers' CPU counts to.
  Pool() {
    const int wanted = threads();
    workers_.reserve(static_cast<std::size_t>(std::max(wanted, 1) - 1));
    try {
      for (int i = 1; i < wanted; ++i) {
        workers_.emplace_back([this, i] { workerLoop(i); });
        telemetry::watchHelperThread(workers_.back().native_handle());
      }
    } catch (const std::system_error&) {
      // The system refused another thread (a process or cgroup limit): the
      // pool works with those it got, rather than unwinding past running ones.
    }
  }

  // The most slices a job can have: one per worker and the owner's.
  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // Torn down on the owning thread.
  ~Pool() {
    for (std::thread& t : workers_) telemetry::unwatchHelperThread(t.native_handle());
    stop_.store(true, std::memory_order_relaxed);
    publish();
    for (std::thread& t : workers_) t.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int blockedWorkers() {
    std::lock_guard<std::mutex> lock(mutex_);  // a counted worker is inside wait() once we hold it
    return sleepers_.load();
  }

  // Runs one job of p slices and rethrows the first exception any slice
  // threw, once every slice has finished.
  void run(std::uint64_t n, int p, const RangeFn& fn) {
    job_ = &fn;
    total_ = n;
    parts_ = p;
    pending_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
    publish();

    std::exception_ptr callerError;
    const std::uint64_t chunk = (n + static_cast<std::uint64_t>(p) - 1) / static_cast<std::uint64_t>(p);
    try {
      if (n > 0) fn(0, std::min(chunk, n));
    } catch (...) {
      callerError = std::current_exception();
    }

    auto finished = [this] { return pending_.load(std::memory_order_acquire) == 0; };
    std::exception_ptr workerError;
    {
      const bool early = spinUntil(finished);
      std::unique_lock<std::mutex> lock(mutex_);
      if (!early) {
        // A read-modify-write rather than a store: it is a full barrier on
        // every machine, including emulators (qemu-user) that let a
        // sequentially consistent store pass the load below.
        ownerWaiting_.exchange(true);
        while (pending_.load() != 0) done_.wait(lock);
        ownerWaiting_.store(false, std::memory_order_relaxed);
      }
      job_ = nullptr;
      workerError = error_;
      error_ = nullptr;
    }
    if (callerError) std::rethrow_exception(callerError);
    if (workerError) std::rethrow_exception(workerError);
  }

 private:
  // Makes a new generation (a job, or the stop) visible and wakes any
  // worker that blocked.
  void publish() {
    generation_.fetch_add(1);
    if (sleepers_.load() > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      wake_.notify_all();
    }
  }

  // The first generation other than `last`, polled for a while, then waited for.
  std::uint64_t awaitGeneration(std::uint64_t last) {
    std::uint64_t g = last;
    if (spinUntil([&] { return (g = generation_.load(std::memory_order_acquire)) != last; })) return g;
    std::unique_lock<std::mutex> lock(mutex_);
    sleepers_.fetch_add(1);
    while ((g = generation_.load()) == last) wake_.wait(lock);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    return g;
  }

  void workerLoop(int index) {
    std::uint64_t last = 0;
    for (;;) {
      last = awaitGeneration(last);
      if (stop_.load(std::memory_order_relaxed)) return;  // ordered by the generation's acquire
      const RangeFn* fn = job_;
      const std::uint64_t total = total_;
      const int parts = parts_;
      if (index < parts) {
        const std::uint64_t chunk = (total + static_cast<std::uint64_t>(parts) - 1) / static_cast<std::uint64_t>(parts);
        const std::uint64_t begin = static_cast<std::uint64_t>(index) * chunk;
        if (begin < total) {
          try {
            (*fn)(begin, std::min(begin + chunk, total));
          } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) error_ = std::current_exception();
          }
        }
      }
      if (pending_.fetch_sub(1) == 1 && ownerWaiting_.load()) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_one();
      }
    }
  }

  std::vector<std::thread> workers_;
  // The published job: written by the owner before a generation bump, read
  // by workers after they see it, left alone until pending_ returns to 0.
  const RangeFn* job_ = nullptr;
  std::uint64_t total_ = 0;
  int parts_ = 1;
  std::atomic<std::uint64_t> generation_{0};  // one per job, one at shutdown
  std::atomic<int> pending_{0};               // workers not yet done with the job
  std::atomic<bool> stop_{false};             // set before the last generation
  std::atomic<int> sleepers_{0};              // workers blocked, or about to, on wake_
  std::atomic<bool> ownerWaiting_{false};     // the owner blocked, or about to, on done_
  std::mutex mutex_;
  std::condition_variable wake_;  // idle workers block here for a new generation
  std::condition_variable done_;  // the owner blocks here for pending_ == 0
  std::exception_ptr error_;      // guarded by mutex_: first exception a worker's slice threw
};

thread_local bool tBusy = false;
thread_local std::unique_ptr<Pool> tPool;  // joined when the owning thread exits

struct BusyScope {
  BusyScope() { tBusy = true; }
  ~BusyScope() { tBusy = false; }
};

}  // namespace

int detail::blockedWorkersForTest() { return tPool ? tPool->blockedWorkers() : 0; }

int threads() {
  static const int count = detail::threadCountRule(
      std::getenv("FACECORE_THREADS"), std::getenv("LE_PASTE_THREADS"),
      std::thread::hardware_concurrency());
  const int forced = gThreadsOverride.load(std::memory_order_relaxed);
  return forced > 0 ? forced : count;
}

bool available() { return true; }

int parts(std::uint64_t n, std::uint64_t grain) {
  const int t = threads();
  if (t <= 1) return 1;
  const std::uint64_t q = n / std::max<std::uint64_t>(grain, 1);
  if (q <= 1) return 1;
  return static_cast<int>(std::min<std::uint64_t>(q, static_cast<std::uint64_t>(t)));
}

void parallelRange(std::uint64_t n, std::uint64_t grain, const RangeFn& fn) {
  if (!fn) throw std::bad_function_call();
  if (tBusy) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p <= 1) {
    fn(0, n);
    return;
  }
  if (!tPool) tPool = std::make_unique<Pool>();
  BusyScope busy;
  // A pool keeps the size it was built with; a slice beyond it would have no thread.
  tPool->run(n, std::min(p, tPool->size()), fn);
}

}  // namespace le::pool
