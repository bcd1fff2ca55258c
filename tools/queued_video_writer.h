// Hands frames and audio to another sink on a thread of its own at the
// lowest scheduling priority, so that a live host's pulls never wait for the
// encoder and the encoder takes only the CPU the engine leaves over.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/video_sink.h"

namespace le::tools {

class QueuedVideoWriter final : public VideoSink {
 public:
  // Writes into `out` (which must outlive this object) frames of
  // `frameBytes`; at most `maxFrames` frames wait, beyond that write()
  // waits for room. Each frame's encode CPU is recorded as the telemetry
  // value "frame_cpu.encode_ms".
  QueuedVideoWriter(VideoSink& out, size_t frameBytes, size_t maxFrames = 50);
  // Stops the thread; items still queued are dropped (close() writes them).
  ~QueuedVideoWriter() override;
  QueuedVideoWriter(const QueuedVideoWriter&) = delete;
  QueuedVideoWriter& operator=(const QueuedVideoWriter&) = delete;

  // Copies the frame and queues it. Throws the writer thread's failure,
  // once one has happened.
  void write(const uint8_t* rgb) override;
  void writeAudio(const int16_t* pcm, size_t n) override;
  // Waits until everything queued is written and stops the thread; throws
  // the writer thread's failure if there was one.
  void close();
  // Frames queued and not yet written.
  size_t backlog();
  // Whether writing has failed: then write() and close() throw its error.
  bool failed();

 private:
  struct Item {
    bool video = false;
    std::vector<uint8_t> rgb;
    std::vector<int16_t> pcm;
  };
  void run();
  void push(Item&& item, std::unique_lock<std::mutex>& lk);
  void throwIfFailed();  // with mu_ held

  VideoSink& out_;
  const size_t frameBytes_, maxFrames_;
  // Guarded by mu_: the queue, its frame count, the spare frame buffers,
  // the stop flag and the failure text. cv_ signals both directions.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  size_t queuedFrames_ = 0;
  bool busy_ = false;  // the thread is writing an item it took off the queue
  std::vector<std::vector<uint8_t>> spare_;
  bool stop_ = false;
  std::string failure_;
  std::thread thread_;  // joined in close() or the destructor, before the queue goes
};

}  // namespace le::tools
