// Splits loops over an index range across a small set of worker threads.
//
// There is no global pool: every thread that calls parallelRange() owns its
// own workers, built on its first call that really goes parallel and joined
// when that thread exits. Long-lived pipeline stages therefore never wait for
// each other's jobs.
#pragma once

#include <cstdint>
#include <functional>

namespace le::pool {

// The process-wide core thread count, fixed on first use: FACECORE_THREADS
// when set and not empty, else LE_PASTE_THREADS when set, else 4; a value of
// 0 or less (or unparsable) gives 1; never more than the hardware reports.
int threads();

// Always true: the pool needs nothing the platform may lack.
bool available();

// How many slices a range of n items is cut into: between 1 and threads(),
// each slice holding at least max(grain, 1) items.
int parts(std::uint64_t n, std::uint64_t grain);

// Runs fn over [0, n) in parts(n, grain) contiguous slices; the calling
// thread does slice 0, workers 1 .. p-1 the others. Returns when every slice
// is done. A call made from inside the calling thread's own slice runs fn(0,
// n) serially. fn is never copied. When a slice throws, the first exception
// is rethrown here after all slices have finished. Idle workers poll for a
// few tens of microseconds after a job, then block: back-to-back jobs are
// handed over without a wake-up, and a pool with no jobs uses no CPU.
void parallelRange(std::uint64_t n, std::uint64_t grain,
                   const std::function<void(std::uint64_t, std::uint64_t)>& fn);

namespace detail {
// The thread-count rule on given inputs: the two environment texts (null
// when unset) and the hardware concurrency (0 when unknown).
int threadCountRule(const char* facecoreThreads, const char* pasteThreads,
                    unsigned hardware);
// Tests only: makes threads() report `count` from now on (0 restores the
// rule). Pools already built keep their size.
void overrideThreadsForTest(int count);
// Tests only: how many workers of the calling thread's pool are blocked
// waiting for a job (0 when the thread has no pool).
int blockedWorkersForTest();
}  // namespace detail

}  // namespace le::pool
