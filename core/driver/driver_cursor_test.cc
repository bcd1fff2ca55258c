#include "core/driver/driver_cursor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/test_support.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <thread>

#include "core/driver/test_videos.h"

namespace le {
namespace {

using ::testing::HasSubstr;
using le::test::thrownBy;

constexpr int kFw = 8, kFh = 4;

// Frame i of the synthetic member: every byte depends on i and its offset.
std::vector<uint8_t> pattern(int i) {
  std::vector<uint8_t> v(kFw * kFh * 3);
  for (size_t k = 0; k < v.size(); ++k) v[k] = uint8_t(i * 37 + k * 3 + (i >> 8));
  std::memcpy(v.data(), &i, sizeof i);
  return v;
}

struct Counters {
  std::atomic<int> nexts{0}, seeks{0}, rewinds{0};
};

// An in-memory member that counts its calls, and can end early or fail.
class FakeSource : public driver::Source {
 public:
  FakeSource(int nt, Counters* c, int delivers = -1, int throwAt = -1)
      : nt_(nt), c_(c), delivers_(delivers < 0 ? nt : delivers), throwAt_(throwAt) {}
  int NT() const override { return nt_; }
  int W() const override { return kFw; }
  int H() const override { return kFh; }
  bool next(uint8_t* dst) override {
    if (pos_ == throwAt_) throw std::runtime_error("fake decode fault");
    if (pos_ >= delivers_) return false;
    c_->nexts++;
    auto p = pattern(pos_++);
    std::memcpy(dst, p.data(), p.size());
    return true;
  }
  void rewind() override {
    c_->rewinds++;
    pos_ = 0;
  }
  void seek(int i) override {
    c_->seeks++;
    pos_ = i;
  }
  std::string name() const override { return "fake"; }
  uint64_t residentBytes() const override { return 1000; }

 private:
  int nt_;
  Counters* c_;
  int delivers_, throwAt_;
  int pos_ = 0;
};

void waitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(cond());
}

std::unique_ptr<DriverCursor> fakeCursor(int nt, Counters* c, int delivers = -1, int throwAt = -1) {
  return DriverCursor::over(std::make_unique<FakeSource>(nt, c, delivers, throwAt), 2, 11);
}

TEST(DriverCursor, PlayingTheLoopInOrderWrapsWithoutSeeking) {
  Counters c;
  auto cur = fakeCursor(20, &c);
  EXPECT_EQ(cur->residentBytes(), 14u * kFw * kFh * 3 + 1000);
  std::vector<uint8_t> buf(cur->frameBytes());
  for (int k = 0; k < 22; ++k) {
    ASSERT_EQ(cur->pull(buf.data()), k % 20);
    ASSERT_EQ(buf, pattern(k % 20));
  }
  EXPECT_EQ(cur->position(), 2);
  EXPECT_EQ(cur->seeks(), 0u);
  EXPECT_EQ(c.seeks.load(), 0);
  EXPECT_GE(c.rewinds.load(), 1);
}

TEST(DriverCursor, ALookAheadAndHistoryBeyondItsBuffersAreRefusedNotOverflowed) {
  Counters c;
  EXPECT_EQ(thrownBy([&] { DriverCursor::over(std::make_unique<FakeSource>(20, &c), 2, INT_MAX); }),
            "le_driver: a look-ahead of 2 and a history of 2147483647 frames need more than 4096 frame buffers — "
            "refusing");
  EXPECT_NO_THROW(DriverCursor::over(std::make_unique<FakeSource>(20, &c), 2, 4093));
}

TEST(DriverCursor, AJumpBackWithinTheHistoryComesFromMemory) {
  Counters c;
  auto cur = fakeCursor(300, &c);
  std::vector<uint8_t> buf(cur->frameBytes());
  for (int k = 0; k <= 10; ++k) cur->pull(buf.data());
  waitFor([&] { return c.nexts.load() == 13; });  // look-ahead of 2 filled
  ASSERT_EQ(cur->pullAt(5, buf.data()), 5);
  EXPECT_EQ(buf, pattern(5));
  EXPECT_EQ(cur->seeks(), 0u);
  // The plain pull goes on from 6, still from memory.
  ASSERT_EQ(cur->pull(buf.data()), 6);
  EXPECT_EQ(buf, pattern(6));
  EXPECT_EQ(c.nexts.load(), 13);

  // A jump outside the ring restarts the source once.
  int frame = -1;
  const uint8_t* p = cur->pullAt(200, &frame);
  EXPECT_EQ(frame, 200);
  EXPECT_EQ(std::vector<uint8_t>(p, p + cur->frameBytes()), pattern(200));
  EXPECT_EQ(cur->seeks(), 1u);
  EXPECT_EQ(c.seeks.load(), 1);

  Counters c2;
  auto fresh = fakeCursor(300, &c2);
  ASSERT_EQ(fresh->pullAt(10, buf.data()), 10);
  EXPECT_EQ(buf, pattern(10));
  EXPECT_EQ(fresh->seeks(), 1u);
  EXPECT_EQ(thrownBy([&] { fresh->seek(300); }), "le_driver: seek(300) outside [0,300)");
  EXPECT_EQ(thrownBy([&] { fresh->pullAt(-1, buf.data()); }), "le_driver: seek(-1) outside [0,300)");
}

TEST(DriverCursor, InPlaceFramesStayIntactForTheHistoryAndMutatedOnesAreNotReoffered) {
  Counters c;
  auto cur = fakeCursor(50, &c);
  std::vector<const uint8_t*> ptrs;
  for (int k = 0; k <= 11; ++k) {
    int f = -1;
    ptrs.push_back(cur->pull(&f));
    ASSERT_EQ(f, k);
  }
  waitFor([&] { return c.nexts.load() == 14; });
  for (int k = 0; k <= 11; ++k) {
    EXPECT_EQ(std::vector<uint8_t>(ptrs[k], ptrs[k] + cur->frameBytes()), pattern(k)) << k;
  }

  int f = -1;
  uint8_t* m = cur->pullMut(&f);
  ASSERT_EQ(f, 12);
  std::memset(m, 0xEE, cur->frameBytes());
  std::vector<uint8_t> buf(cur->frameBytes());
  ASSERT_EQ(cur->pullAt(12, buf.data()), 12);
  EXPECT_EQ(buf, pattern(12));
  EXPECT_EQ(cur->seeks(), 1u);
  // Frames before the mutated one are not offered either.
  ASSERT_EQ(cur->pullAt(9, buf.data()), 9);
  EXPECT_EQ(buf, pattern(9));
  EXPECT_EQ(cur->seeks(), 2u);
}

TEST(DriverCursor, AShortMemberFailsAtTheWrapAndStaysFailed) {
  Counters c;
  auto cur = fakeCursor(20, &c, /*delivers=*/19);
  std::vector<uint8_t> buf(cur->frameBytes());
  const std::string want =
      "fake ended after 19 frames, the manifest says NT=20 — a short driver is a session that stops part way "
      "through the loop, refusing";
  int pulled = 0;
  std::string err;
  for (; pulled < 25; ++pulled) {
    try {
      ASSERT_EQ(cur->pull(buf.data()), pulled);
      ASSERT_EQ(buf, pattern(pulled));
    } catch (const std::runtime_error& e) {
      err = e.what();
      break;
    }
  }
  EXPECT_EQ(err, want);
  EXPECT_LE(pulled, 19);
  EXPECT_EQ(thrownBy([&] { cur->pull(buf.data()); }), want);
  EXPECT_EQ(thrownBy([&] { cur->seek(0); }), want);
  EXPECT_EQ(thrownBy([&] { cur->pullAt(3, buf.data()); }), want);
}

TEST(DriverCursor, ADecodeFaultSurfacesAtTheNextPullNeverAsAStaleFrame) {
  Counters c;
  auto cur = fakeCursor(20, &c, -1, /*throwAt=*/5);
  std::vector<uint8_t> buf(cur->frameBytes());
  std::string err;
  for (int k = 0; k < 10 && err.empty(); ++k) {
    try {
      ASSERT_EQ(cur->pull(buf.data()), k);
      ASSERT_EQ(buf, pattern(k));
    } catch (const std::runtime_error& e) {
      err = e.what();
      EXPECT_LE(k, 5);
    }
  }
  EXPECT_EQ(err, "le_driver: fake decode fault");
}

// Random pulls and seeks against the pattern: the ring's bookkeeping must
// never hand out a frame other than the one asked for, or stale bytes.
TEST(DriverCursor, HammerRandomAccessOverASyntheticLoop) {
  Counters c;
  auto cur = DriverCursor::over(std::make_unique<FakeSource>(97, &c), 3, 6);
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(cur->frameBytes());
  int at = 0;
  for (int op = 0; op < 6000; ++op) {
    const int kind = int(rng() % 10);
    int si = (at + int(rng() % 9) - 6 + 97) % 97;
    if (kind == 0) si = int(rng() % 97);
    int f = -1;
    if (kind < 4) {
      ASSERT_EQ(cur->pullAt(si, buf.data()), si);
      ASSERT_EQ(buf, pattern(si)) << "op " << op;
      at = (si + 1) % 97;
    } else if (kind < 7) {
      ASSERT_EQ(cur->pull(buf.data()), at) << "op " << op;
      ASSERT_EQ(buf, pattern(at)) << "op " << op;
      at = (at + 1) % 97;
    } else if (kind < 8) {
      uint8_t* m = cur->pullMutAt(si, &f);
      ASSERT_EQ(f, si);
      ASSERT_EQ(std::vector<uint8_t>(m, m + cur->frameBytes()), pattern(si)) << "op " << op;
      std::memset(m, 0xA5, cur->frameBytes());
      at = (si + 1) % 97;
    } else {
      cur->seek(si);
      ASSERT_EQ(cur->position(), si);
      at = si;
    }
  }
}

// The same against a real video and a reference decode of every frame.
TEST(DriverCursor, HammerRandomAccessOverAVideoMatchesAReferenceDecode) {
  setenv("LE_DRIVER_HWDEC", "0", 1);
  using namespace le::test;
  auto ref = driver::openMp4(videoPath("drive.mp4"), kVidNT, kVidW, kVidH);
  std::vector<std::vector<uint8_t>> frames(kVidNT, std::vector<uint8_t>(ref->frameBytes()));
  for (auto& fr : frames) ASSERT_TRUE(ref->next(fr.data()));
  auto cur = DriverCursor::over(driver::openMp4(videoPath("drive.mp4"), kVidNT, kVidW, kVidH), 2, 11);
  unsetenv("LE_DRIVER_HWDEC");
  std::mt19937 rng(11);
  std::vector<uint8_t> buf(cur->frameBytes());
  int at = 0;
  for (int op = 0; op < 3000; ++op) {
    const int kind = int(rng() % 20);
    if (kind == 0) {
      const int si = int(rng() % kVidNT);
      ASSERT_EQ(cur->pullAt(si, buf.data()), si);
      ASSERT_EQ(buf, frames[si]) << "op " << op;
      at = (si + 1) % kVidNT;
    } else if (kind < 5) {
      const int si = (at + kVidNT - 1 - int(rng() % 12)) % kVidNT;
      int f = -1;
      const uint8_t* p = cur->pullAt(si, &f);
      ASSERT_EQ(f, si);
      ASSERT_EQ(0, std::memcmp(p, frames[si].data(), buf.size())) << "op " << op;
      at = (si + 1) % kVidNT;
    } else if (kind == 5) {
      const int si = int(rng() % kVidNT);
      cur->seek(si);
      at = si;
    } else {
      ASSERT_EQ(cur->pull(buf.data()), at);
      ASSERT_EQ(buf, frames[at]) << "op " << op;
      at = (at + 1) % kVidNT;
    }
  }
}

TEST(DriverCursor, AVideoOneFrameShortFailsWithTheEndedAfterText) {
  setenv("LE_DRIVER_HWDEC", "0", 1);
  using namespace le::test;
  auto cur = DriverCursor::over(driver::openMp4(videoPath("drive_short.mkv"), kVidNT, kVidW, kVidH), 2, 11);
  unsetenv("LE_DRIVER_HWDEC");
  std::vector<uint8_t> buf(cur->frameBytes());
  std::string err;
  int k = 0;
  for (; k < kVidNT + 2 && err.empty(); ++k) {
    try {
      ASSERT_EQ(cur->pull(buf.data()), k);
    } catch (const std::runtime_error& e) {
      err = e.what();
    }
  }
  EXPECT_EQ(err, cur->backend() +
                     " ended after 39 frames, the manifest says NT=40 — a short driver is a session that stops "
                     "part way through the loop, refusing");
}

}  // namespace
}  // namespace le
