#include "tools/queued_video_writer.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "tools/stage_cpu.h"

namespace le::tools {
namespace {

// Linux gives each thread its own nice value; failing to lower it only
// costs the engine some CPU, so it is not an error.
void lowerThisThreadsPriority() { setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 19); }

}  // namespace

QueuedVideoWriter::QueuedVideoWriter(VideoSink& out, size_t frameBytes, size_t maxFrames)
    : out_(out), frameBytes_(frameBytes), maxFrames_(maxFrames < 1 ? 1 : maxFrames) {
  thread_ = std::thread([this] { run(); });
}

QueuedVideoWriter::~QueuedVideoWriter() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void QueuedVideoWriter::throwIfFailed() {
  if (!failure_.empty()) throw std::runtime_error(failure_);
}

void QueuedVideoWriter::push(Item&& item, std::unique_lock<std::mutex>& lk) {
  queue_.push_back(std::move(item));
  lk.unlock();
  cv_.notify_all();
}

void QueuedVideoWriter::write(const uint8_t* rgb) {
  std::unique_lock<std::mutex> lk(mu_);
  throwIfFailed();
  if (stop_) throw std::runtime_error("QueuedVideoWriter: a frame came after close().");
  cv_.wait(lk, [&] { return queuedFrames_ < maxFrames_ || !failure_.empty(); });
  throwIfFailed();
  Item item;
  item.video = true;
  if (!spare_.empty()) {
    item.rgb = std::move(spare_.back());
    spare_.pop_back();
  }
  ++queuedFrames_;
  lk.unlock();
  // The copy runs outside the lock; the writer thread may hand back a buffer meanwhile.
  item.rgb.resize(frameBytes_);
  std::memcpy(item.rgb.data(), rgb, frameBytes_);
  lk.lock();
  push(std::move(item), lk);
}

void QueuedVideoWriter::writeAudio(const int16_t* pcm, size_t n) {
  std::unique_lock<std::mutex> lk(mu_);
  throwIfFailed();
  if (stop_) throw std::runtime_error("QueuedVideoWriter: audio came after close().");
  Item item;
  item.pcm.assign(pcm, pcm + n);
  push(std::move(item), lk);
}

size_t QueuedVideoWriter::backlog() {
  std::lock_guard<std::mutex> lk(mu_);
  return queuedFrames_;
}

bool QueuedVideoWriter::failed() {
  std::lock_guard<std::mutex> lk(mu_);
  return !failure_.empty();
}

void QueuedVideoWriter::close() {
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return (queue_.empty() && !busy_) || !failure_.empty(); });
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lk(mu_);
  throwIfFailed();
}

void QueuedVideoWriter::run() {
  lowerThisThreadsPriority();
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopped with nothing left
      item = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    std::string failure;
    try {
      if (item.video) {
        const double t0 = threadCpuMs();
        out_.write(item.rgb.data());
        recordEncodeCpu(threadCpuMs() - t0);
      } else {
        out_.writeAudio(item.pcm.data(), item.pcm.size());
      }
    } catch (const std::exception& e) {
      failure = e.what();
    }
    {
      std::lock_guard<std::mutex> lk(mu_);
      busy_ = false;
      if (item.video) {
        --queuedFrames_;
        spare_.push_back(std::move(item.rgb));
      }
      if (!failure.empty()) {
        failure_ = failure;
        queue_.clear();
        queuedFrames_ = 0;
      }
    }
    cv_.notify_all();
    if (!failure.empty()) return;
  }
}

}  // namespace le::tools
