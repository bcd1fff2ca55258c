#include "core/foundation/c_boundary.h"

#include <new>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace le::capi {
namespace {

TEST(CBoundary, ExceptionBecomesPrefixedLastErrorAndFailValue) {
  int r = guarded(Family::kCore, "le_thing", -1, []() -> int { throw std::runtime_error("bad bundle."); });
  EXPECT_EQ(r, -1);
  EXPECT_EQ(lastError(Family::kCore), "le_thing: bad bundle.");
  // Families do not share slots; success clears on entry.
  EXPECT_EQ(lastError(Family::kUtt), "");
  EXPECT_EQ(guarded(Family::kCore, "le_thing", -1, [] { return 7; }), 7);
  EXPECT_EQ(lastError(Family::kCore), "");
  guarded(Family::kCore, "f", 0, []() -> int { throw 42; });
  EXPECT_EQ(lastError(Family::kCore), "f: unknown exception");
}

TEST(CBoundary, LastErrorIsPerThread) {
  setError(Family::kCore, "main", "x");
  std::string seen = "unset";
  std::thread([&] { seen = lastError(Family::kCore); }).join();
  EXPECT_EQ(seen, "");
  EXPECT_EQ(lastError(Family::kCore), "main: x");
}

TEST(CBoundary, CallerBufferTruncatesAndTerminates) {
  char buf[6] = {'z', 'z', 'z', 'z', 'z', 'z'};
  writeCallerBuffer(buf, sizeof buf, "abcdefgh");
  EXPECT_STREQ(buf, "abcde");
  writeCallerBuffer(buf, 1, "abc");
  EXPECT_STREQ(buf, "");
  writeCallerBuffer(nullptr, 10, "abc");  // must not crash
  buf[0] = 'q';
  writeCallerBuffer(buf, 0, "abc");
  EXPECT_EQ(buf[0], 'q');
  int r = guardedToBuffer(buf, sizeof buf, "fn", -2, []() -> int { throw std::runtime_error("long message"); });
  EXPECT_EQ(r, -2);
  EXPECT_STREQ(buf, "fn: l");
  char whole[64];
  guardedToBuffer(whole, sizeof whole, "fn", -1, []() -> int { throw std::bad_alloc(); });
  EXPECT_STREQ(whole, "fn: std::bad_alloc");
}

}  // namespace
}  // namespace le::capi
