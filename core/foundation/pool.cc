#include "core/foundation/pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

// One calling thread's workers. Worker i runs slice i of each job; the
// owning thread runs slice 0 itself.
class Pool {
 public:
  Pool() : threads_(threads()) {
    workers_.reserve(static_cast<std::size_t>(std::max(threads_, 1) - 1));
    for (int i = 1; i < threads_; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Runs one job of p slices and rethrows the first exception any slice
  // threw, once every slice has finished.
  void run(std::uint64_t n, int p, const RangeFn& fn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &fn;
      total_ = n;
      parts_ = p;
      pending_ = static_cast<int>(workers_.size());
      error_ = nullptr;
      ++generation_;
    }
    wake_.notify_all();

    std::exception_ptr callerError;
    const std::uint64_t chunk = (n + static_cast<std::uint64_t>(p) - 1) / static_cast<std::uint64_t>(p);
    try {
      if (n > 0) fn(0, std::min(chunk, n));
    } catch (...) {
      callerError = std::current_exception();
    }

    std::exception_ptr workerError;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [this] { return pending_ == 0; });
      job_ = nullptr;
      workerError = error_;
      error_ = nullptr;
    }
    if (callerError) std::rethrow_exception(callerError);
    if (workerError) std::rethrow_exception(workerError);
  }

 private:
  void workerLoop(int index) {
    std::uint64_t last = 0;
    for (;;) {
      const RangeFn* fn;
      std::uint64_t total;
      int parts;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != last; });
        if (stop_) return;
        last = generation_;
        fn = job_;
        total = total_;
        parts = parts_;
      }
      std::exception_ptr error;
      if (index < parts) {
        const std::uint64_t chunk = (total + static_cast<std::uint64_t>(parts) - 1) / static_cast<std::uint64_t>(parts);
        const std::uint64_t begin = static_cast<std::uint64_t>(index) * chunk;
        if (begin < total) {
          try {
            (*fn)(begin, std::min(begin + chunk, total));
          } catch (...) {
            error = std::current_exception();
          }
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (error && !error_) error_ = error;
      if (--pending_ == 0) done_.notify_all();
    }
  }

  const int threads_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;  // idle workers wait here for a new generation
  std::condition_variable done_;  // the owner waits here for pending_ == 0
  // Guarded by mutex_:
  const RangeFn* job_ = nullptr;
  std::uint64_t total_ = 0;
  int parts_ = 1;
  int pending_ = 0;
  std::uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;  // first exception a worker's slice threw
};

thread_local bool tBusy = false;
thread_local std::unique_ptr<Pool> tPool;  // joined when the owning thread exits

struct BusyScope {
  BusyScope() { tBusy = true; }
  ~BusyScope() { tBusy = false; }
};

}  // namespace

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
  tPool->run(n, p, fn);
}

}  // namespace le::pool
