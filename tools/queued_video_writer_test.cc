// The queue in front of the encoder: everything arrives in order, close()
// waits for it, a full queue holds the producer back, and the writer
// thread's failure reaches the caller.
#include "tools/queued_video_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

constexpr size_t kBytes = 12;

// Records what reaches it: "v<first byte>" per frame, "a<n>" per audio
// write; can be made to hold every write until released, or to fail.
class RecordingSink final : public le::tools::VideoSink {
 public:
  void write(const uint8_t* rgb) override {
    while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (failAt >= 0 && frames == failAt)
      throw std::runtime_error("Cannot encode frame " + std::to_string(frames) + ".");
    ++frames;
    std::lock_guard<std::mutex> lk(mu);
    log.push_back("v" + std::to_string(rgb[0]));
  }
  void writeAudio(const int16_t*, size_t n) override {
    std::lock_guard<std::mutex> lk(mu);
    log.push_back("a" + std::to_string(n));
  }
  std::atomic<bool> hold{false};
  int failAt = -1;
  int frames = 0;
  std::mutex mu;
  std::vector<std::string> log;
};

std::vector<uint8_t> frame(uint8_t level) { return std::vector<uint8_t>(kBytes, level); }

TEST(QueuedVideoWriter, WritesFramesAndAudioInOrderAndCloseWaitsForThem) {
  RecordingSink sink;
  sink.hold = true;  // nothing gets through until every item is queued
  le::tools::QueuedVideoWriter q(sink, kBytes, 100);
  const int16_t pcm[640] = {};
  for (uint8_t i = 0; i < 20; ++i) {
    std::vector<uint8_t> f = frame(i);
    q.write(f.data());
    f.assign(kBytes, 255);  // the queue copied the frame; the caller may reuse its buffer
    q.writeAudio(pcm, 640 - i);
  }
  sink.hold = false;
  q.close();
  ASSERT_EQ(sink.log.size(), 40u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(sink.log[size_t(2 * i)], "v" + std::to_string(i));
    EXPECT_EQ(sink.log[size_t(2 * i + 1)], "a" + std::to_string(640 - i));
  }
  EXPECT_EQ(q.backlog(), 0u);
  const std::vector<uint8_t> f = frame(1);
  EXPECT_EQ(le::test::thrownBy([&] { q.write(f.data()); }), "QueuedVideoWriter: a frame came after close().");
}

TEST(QueuedVideoWriter, AFullQueueHoldsTheProducerBack) {
  RecordingSink sink;
  sink.hold = true;
  le::tools::QueuedVideoWriter q(sink, kBytes, 2);
  std::atomic<int> queued{0};
  std::thread producer([&] {
    for (uint8_t i = 0; i < 6; ++i) {
      const std::vector<uint8_t> f = frame(i);
      q.write(f.data());
      ++queued;
    }
  });
  // Two frames in the writer's hands (the first held in the sink): the third waits.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(queued.load(), 2);
  EXPECT_LE(q.backlog(), 2u);
  sink.hold = false;
  producer.join();
  q.close();
  EXPECT_EQ(sink.frames, 6);
}

TEST(QueuedVideoWriter, TheSinksFailureReachesTheCaller) {
  RecordingSink sink;
  sink.failAt = 1;
  le::tools::QueuedVideoWriter q(sink, kBytes, 4);
  EXPECT_FALSE(q.failed());
  const std::vector<uint8_t> f = frame(7);
  std::string error = "(nothing thrown)";
  // The failure comes from the writer thread: a later write or close() reports it.
  for (int i = 0; i < 500 && error == "(nothing thrown)"; ++i) {
    error = le::test::thrownBy([&] { q.write(f.data()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(error, "Cannot encode frame 1.");
  EXPECT_TRUE(q.failed()) << "the caller can tell the output's failure from its own";
  EXPECT_EQ(le::test::thrownBy([&] { q.close(); }), "Cannot encode frame 1.");
}

}  // namespace
