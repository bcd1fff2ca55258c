#include "core/foundation/pool.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace le::pool {
namespace {

using Slice = std::pair<std::uint64_t, std::uint64_t>;

// Runs `body` on a fresh thread so that its pool is built with the
// currently forced thread count and torn down when the thread ends.
template <class Body>
void onFreshThread(int forcedThreads, Body body) {
  detail::overrideThreadsForTest(forcedThreads);
  std::thread t(body);
  t.join();
  detail::overrideThreadsForTest(0);
}

struct Recorder {
  std::mutex mutex;
  std::vector<Slice> slices;
  std::set<std::thread::id> threads;
  void operator()(std::uint64_t b, std::uint64_t e) {
    std::lock_guard<std::mutex> lock(mutex);
    slices.emplace_back(b, e);
    threads.insert(std::this_thread::get_id());
  }
  std::vector<Slice> sorted() {
    std::vector<Slice> s = slices;
    std::sort(s.begin(), s.end());
    return s;
  }
};

TEST(PoolThreadCount, RuleFollowsRequestsAndCapsAtCores) {
  using detail::threadCountRule;
  EXPECT_EQ(threadCountRule(nullptr, nullptr, 8), 4);
  EXPECT_EQ(threadCountRule(nullptr, nullptr, 2), 2);
  EXPECT_EQ(threadCountRule(nullptr, nullptr, 0), 4);  // unknown hardware does not limit
  EXPECT_EQ(threadCountRule("3", "1", 8), 3);
  EXPECT_EQ(threadCountRule("16", nullptr, 8), 8);
  EXPECT_EQ(threadCountRule("0", nullptr, 8), 1);
  EXPECT_EQ(threadCountRule("-5", nullptr, 8), 1);
  EXPECT_EQ(threadCountRule("abc", nullptr, 8), 1);
  EXPECT_EQ(threadCountRule("6x", nullptr, 8), 6);
  EXPECT_EQ(threadCountRule("", "2", 8), 2);  // empty FACECORE_THREADS defers
  EXPECT_EQ(threadCountRule("", "", 8), 4);   // empty LE_PASTE_THREADS: default
  EXPECT_EQ(threadCountRule(nullptr, "0", 8), 1);
  EXPECT_GE(threads(), 1);
  EXPECT_LE(threads(), 4);
  EXPECT_TRUE(available());
}

TEST(PoolParts, GrainBoundsSliceCount) {
  onFreshThread(4, [] {
    EXPECT_EQ(parts(0, 1), 1);
    EXPECT_EQ(parts(1, 1), 1);
    EXPECT_EQ(parts(2, 1), 2);
    EXPECT_EQ(parts(100, 0), 4);  // grain 0 counts as 1
    EXPECT_EQ(parts(100, 30), 3);
    EXPECT_EQ(parts(100, 50), 2);
    EXPECT_EQ(parts(100, 51), 1);
  });
  onFreshThread(1, [] { EXPECT_EQ(parts(1000, 1), 1); });
}

TEST(PoolParallelRange, ContiguousSlicesCallerDoesFirst) {
  onFreshThread(4, [] {
    Recorder rec;
    std::thread::id caller = std::this_thread::get_id();
    std::uint64_t callerBegin = 99;
    parallelRange(10, 1, [&](std::uint64_t b, std::uint64_t e) {
      if (std::this_thread::get_id() == caller) callerBegin = b;
      rec(b, e);
    });
    EXPECT_EQ(rec.sorted(), (std::vector<Slice>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
    EXPECT_EQ(callerBegin, 0u);
    EXPECT_EQ(rec.threads.size(), 4u);

    // Last slice would start at n: only three calls, and the call still
    // returns after every worker reported.
    Recorder nine;
    parallelRange(9, 1, std::ref(nine));
    EXPECT_EQ(nine.sorted(), (std::vector<Slice>{{0, 3}, {3, 6}, {6, 9}}));

    // The same workers serve job after job.
    std::atomic<std::uint64_t> total{0};
    for (int job = 0; job < 200; ++job) {
      parallelRange(1000, 10, [&](std::uint64_t b, std::uint64_t e) { total += e - b; });
    }
    EXPECT_EQ(total.load(), 200u * 1000u);
  });
}

TEST(PoolParallelRange, SerialCasesCallOnceOnCaller) {
  onFreshThread(4, [] {
    Recorder rec;
    parallelRange(0, 1, std::ref(rec));
    parallelRange(7, 100, std::ref(rec));
    EXPECT_EQ(rec.slices, (std::vector<Slice>{{0, 0}, {0, 7}}));
    EXPECT_EQ(rec.threads.size(), 1u);
  });
  onFreshThread(1, [] {
    Recorder rec;
    parallelRange(1000, 1, std::ref(rec));
    EXPECT_EQ(rec.slices, (std::vector<Slice>{{0, 1000}}));
  });
}

TEST(PoolParallelRange, NestedCallsRunSeriallyOnCallerAndPooledOnWorkers) {
  onFreshThread(2, [] {
    std::thread::id caller = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<std::pair<bool, std::size_t>> inner;  // (on caller, slices seen)
    parallelRange(2, 1, [&](std::uint64_t, std::uint64_t) {
      Recorder rec;
      parallelRange(8, 1, std::ref(rec));
      std::lock_guard<std::mutex> lock(mutex);
      inner.emplace_back(std::this_thread::get_id() == caller, rec.slices.size());
    });
    std::sort(inner.begin(), inner.end());
    // The worker's nested call gets a pool of its own; the caller's runs serially.
    EXPECT_EQ(inner, (std::vector<std::pair<bool, std::size_t>>{{false, 2}, {true, 1}}));
  });
}

TEST(PoolParallelRange, ExceptionIsRethrownAfterAllSlicesFinish) {
  onFreshThread(4, [] {
    for (int thrower = 0; thrower < 4; ++thrower) {
      std::atomic<int> finished{0};
      auto body = [&](std::uint64_t b, std::uint64_t) {
        if (static_cast<int>(b / 25) == thrower) throw std::runtime_error("slice failed");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++finished;
      };
      EXPECT_THROW(parallelRange(100, 1, body), std::runtime_error);
      // Nothing may still be running once the call returned.
      EXPECT_EQ(finished.load(), 3) << "thrower " << thrower;
    }
    // The pool stays usable.
    std::atomic<std::uint64_t> total{0};
    parallelRange(100, 1, [&](std::uint64_t b, std::uint64_t e) { total += e - b; });
    EXPECT_EQ(total.load(), 100u);
    std::function<void(std::uint64_t, std::uint64_t)> empty;
    EXPECT_THROW(parallelRange(100, 1, empty), std::bad_function_call);
  });
}

TEST(PoolParallelRange, ThreadsHaveIndependentPools) {
  detail::overrideThreadsForTest(2);
  std::atomic<std::uint64_t> total{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int job = 0; job < 100; ++job) {
        parallelRange(64, 1, [&](std::uint64_t b, std::uint64_t e) { total += e - b; });
      }
    });
  }
  for (std::thread& t : callers) t.join();
  detail::overrideThreadsForTest(0);
  EXPECT_EQ(total.load(), 4u * 100u * 64u);
}

// A pool keeps the size it was built with: a larger count asked for later
// still covers the whole range, with the threads the pool has.
TEST(PoolParallelRange, ACountRaisedAfterThePoolIsBuiltStillCoversTheRange) {
  onFreshThread(2, [] {
    parallelRange(8, 1, [](std::uint64_t, std::uint64_t) {});
    detail::overrideThreadsForTest(4);
    Recorder rec;
    parallelRange(8, 1, std::ref(rec));
    EXPECT_EQ(rec.sorted(), (std::vector<Slice>{{0, 4}, {4, 8}}));
  });
}

// Workers poll briefly after a job and then block; jobs published around
// that moment (gaps below, near and above the polling time) must still reach
// every worker exactly once.
TEST(PoolParallelRange, IdleWorkersBlockAndJobsAroundThePollingTimeAllArrive) {
  onFreshThread(4, [] {
    Recorder warm;
    parallelRange(4, 1, std::ref(warm));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (detail::blockedWorkersForTest() != 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(detail::blockedWorkersForTest(), 3) << "idle workers never went to sleep";

    std::uint64_t seed = 12345;
    for (int job = 0; job < 1500; ++job) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      const int gapMicros = static_cast<int>((seed >> 33) % 140);
      if (gapMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(gapMicros));
      Recorder rec;
      parallelRange(8, 1, std::ref(rec));
      ASSERT_EQ(rec.sorted(), (std::vector<Slice>{{0, 2}, {2, 4}, {4, 6}, {6, 8}})) << "job " << job;
      ASSERT_EQ(rec.threads.size(), 4u) << "job " << job;
    }
  });
}

}  // namespace
}  // namespace le::pool
