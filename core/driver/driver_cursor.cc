#include "core/driver/driver_cursor.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/telemetry/frame_cpu.h"
#include "core/telemetry/telemetry.h"

namespace le {
namespace {

// More frame buffers than any loop needs; beyond it a caller's numbers are
// refused before they overflow or allocate without bound.
constexpr int64_t kMaxSlots = 4096;

int slotCount(int lookAhead, int history) {
  const int64_t slots = int64_t(lookAhead) + int64_t(history) + 1;
  if (slots > kMaxSlots) {
    throw std::runtime_error("le_driver: a look-ahead of " + std::to_string(lookAhead) + " and a history of " +
                             std::to_string(history) + " frames need more than " + std::to_string(kMaxSlots) +
                             " frame buffers — refusing");
  }
  return int(slots);
}

}  // namespace

class DriverCursor::Impl {
 public:
  Impl(std::unique_ptr<driver::Source> src, int lookAheadReq, int historyReq)
      : source(std::move(src)),
        NT(source->NT()),
        W(source->W()),
        H(source->H()),
        frameBytes(source->frameBytes()),
        lookAhead(std::max(lookAheadReq, 1)),
        history(std::max(historyReq, 0)),
        slots(slotCount(lookAhead, history)) {
    if (NT < 1) throw std::runtime_error("le_driver: a source of " + std::to_string(NT) + " frames cannot loop");
    ring.resize(size_t(slots));
    for (auto& buf : ring) buf.reset(new uint8_t[frameBytes]);
    slotFrame.assign(size_t(slots), -1);
    thread = std::thread([this] { run(); });
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lk(ringMutex);
      stop = true;
    }
    spaceCv.notify_all();
    readyCv.notify_all();
    if (thread.joinable()) thread.join();
  }

  struct Taken {
    uint8_t* data;
    int frame;
  };

  // The pulls below run under callerMutex.
  Taken takeNext(bool mut) {
    std::unique_lock<std::mutex> lk(ringMutex);
    seekLocked(expected);
    return take(lk, mut);
  }

  Taken takeAt(int si, bool mut) {
    std::unique_lock<std::mutex> lk(ringMutex);
    seekLocked(si);
    Taken t = take(lk, mut);
    if (t.frame != si) {
      throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(t.frame) + " for si=" +
                               std::to_string(si));
    }
    return t;
  }

  void seekLocked(int si) {
    throwIfFailed();
    if (si < 0 || si >= NT) {
      throw std::runtime_error("le_driver: seek(" + std::to_string(si) + ") outside [0," + std::to_string(NT) + ")");
    }
    expected = si;
    int current;
    if (consumed < produced) {
      current = slotFrame[consumed % slots];
    } else if (pendingSeek >= 0) {
      current = pendingSeek;
    } else {
      current = nextFrame;
    }
    if (current == si) return;
    if (pendingSeek < 0) {
      uint64_t lo = keepFrom;
      const uint64_t uslots = uint64_t(slots);
      if (produced >= uslots) lo = std::max(lo, produced + (busy ? 1 : 0) - uslots);
      if (consumed > uint64_t(history) + 1) lo = std::max(lo, consumed - 1 - uint64_t(history));
      for (uint64_t e = lo; e < produced; ++e) {
        if (slotFrame[e % uslots] == si) {
          consumed = e;
          spaceCv.notify_one();
          return;
        }
      }
      if (nextFrame == si) {
        consumed = produced;
        spaceCv.notify_one();
        return;
      }
    }
    consumed = produced;
    pendingSeek = si;
    ++epoch;
    ++seekCount;
    static telemetry::Counter& seeks = telemetry::counter("driver.seeks");
    seeks.add();
    spaceCv.notify_one();
  }

  Taken take(std::unique_lock<std::mutex>& lk, bool mut) {
    throwIfFailed();
    if (consumed == produced) {
      // The caller outran the decoder and has to wait for a frame.
      static telemetry::Counter& underruns = telemetry::counter("driver.underruns");
      underruns.add();
    }
    while (consumed == produced) {
      readyCv.wait(lk);
      throwIfFailed();
    }
    const uint64_t e = consumed++;
    if (mut) keepFrom = consumed;
    spaceCv.notify_one();
    const size_t b = size_t(e % uint64_t(slots));
    const int frame = slotFrame[b];
    expected = (frame + 1) % NT;
    return {ring[b].get(), frame};
  }

  void throwIfFailed() const {
    if (!error.empty()) throw std::runtime_error(error);
  }

  void fail(const std::string& text) {
    {
      std::lock_guard<std::mutex> lk(ringMutex);
      if (error.empty()) error = text;
    }
    readyCv.notify_all();
  }

  void run() {
    std::unique_lock<std::mutex> lk(ringMutex);
    for (;;) {
      if (stop) return;
      if (pendingSeek >= 0) {
        nextFrame = pendingSeek;
        pendingSeek = -1;
        const int target = nextFrame;
        lk.unlock();
        try {
          source->seek(target);
        } catch (const std::exception& e) {
          fail(std::string("le_driver: seek failed: ") + e.what());
          return;
        }
        sourcePos = target;
        lk.lock();
        continue;
      }
      if (produced - consumed >= uint64_t(lookAhead)) {
        spaceCv.wait(lk);
        continue;
      }
      busy = true;
      const uint64_t startEpoch = epoch;
      const size_t b = size_t(produced % uint64_t(slots));
      const int f = nextFrame;
      lk.unlock();
      std::string shortText;
      try {
        if (sourcePos == NT) {
          source->rewind();
          sourcePos = 0;
        }
        if (source->next(ring[b].get())) {
          ++sourcePos;
        } else {
          shortText = source->name() + " ended after " + std::to_string(sourcePos) + " frames, the manifest says NT=" +
                      std::to_string(NT) + " — a short driver is a session that stops part way through the loop, refusing";
        }
      } catch (const std::exception& e) {
        shortText = std::string("le_driver: ") + e.what();
      }
      // The producer does nothing but decode, so its own CPU clock is the
      // decoding cost.
      decodeCpu.store(telemetry::threadCpuMs(), std::memory_order_relaxed);
      if (!shortText.empty()) {
        fail(shortText);
        std::lock_guard<std::mutex> g(ringMutex);
        busy = false;
        slotFrame[b] = -1;
        return;
      }
      lk.lock();
      busy = false;
      if (startEpoch == epoch) {
        slotFrame[b] = f;
        ++produced;
        static telemetry::Counter& decoded = telemetry::counter("driver.frames_decoded");
        decoded.add();
        nextFrame = (f + 1) % NT;
        readyCv.notify_all();
      } else {
        // A seek restarted the source meanwhile. The buffer no longer holds
        // the older entry it held before, so it must not be found by a
        // search of the history.
        slotFrame[b] = -1;
      }
    }
  }

  std::unique_ptr<driver::Source> source;
  const int NT, W, H;
  const uint64_t frameBytes;
  const int lookAhead;
  const int history;
  const int slots;
  std::vector<std::unique_ptr<uint8_t[]>> ring;  // allocated once; contents guarded as described below

  std::mutex ringMutex;    // guards everything from slotFrame to seekCount
  std::mutex callerMutex;  // serialises the public pulls and seeks; taken before ringMutex
  std::condition_variable spaceCv;  // producer waits for room
  std::condition_variable readyCv;  // consumers wait for a frame
  std::vector<int> slotFrame;       // loop frame each buffer holds, -1 when none
  uint64_t consumed = 0;            // entries [consumed, produced) are ready
  uint64_t produced = 0;
  uint64_t keepFrom = 0;  // entries below are never offered again
  bool busy = false;      // producer decodes into buffer produced % slots without the lock
  int nextFrame = 0;      // loop frame the producer decodes next
  int expected = 0;       // loop frame a plain pull returns next
  int pendingSeek = -1;
  uint64_t epoch = 0;  // bumped by every seek that restarts the source
  bool stop = false;
  std::string error;  // first failure; empty while healthy
  uint64_t seekCount = 0;
  int sourcePos = 0;  // producer thread only: frames the source delivered since its last restart
  std::atomic<double> decodeCpu{0.0};  // the producer's CPU ms so far, refreshed after every frame
  std::thread thread;
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history) {
  if (!source) throw std::runtime_error("le_driver: a cursor needs a frame source");
  NT_ = source->NT();
  W_ = source->W();
  H_ = source->H();
  frameBytes_ = source->frameBytes();
  backend_ = source->name();
  impl_ = std::make_unique<Impl>(std::move(source), lookAhead, history);
}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int lookAhead, int history) {
  return std::make_unique<DriverCursor>(std::move(source), lookAhead, history);
}

int DriverCursor::pull(uint8_t* dst) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeNext(false);
  std::memcpy(dst, t.data, frameBytes_);
  return t.frame;
}

const uint8_t* DriverCursor::pull(int* frame) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeNext(false);
  if (frame) *frame = t.frame;
  return t.data;
}

uint8_t* DriverCursor::pullMut(int* frame) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeNext(true);
  if (frame) *frame = t.frame;
  return t.data;
}

int DriverCursor::pullAt(int si, uint8_t* dst) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeAt(si, false);
  std::memcpy(dst, t.data, frameBytes_);
  return si;
}

const uint8_t* DriverCursor::pullAt(int si, int* frame) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeAt(si, false);
  if (frame) *frame = t.frame;
  return t.data;
}

uint8_t* DriverCursor::pullMutAt(int si, int* frame) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  const Impl::Taken t = impl_->takeAt(si, true);
  if (frame) *frame = t.frame;
  return t.data;
}

void DriverCursor::seek(int si) {
  std::lock_guard<std::mutex> caller(impl_->callerMutex);
  std::lock_guard<std::mutex> lk(impl_->ringMutex);
  impl_->seekLocked(si);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->ringMutex);
  return impl_->expected;
}

uint64_t DriverCursor::residentBytes() const {
  return uint64_t(impl_->slots) * frameBytes_ + impl_->source->residentBytes();
}

double DriverCursor::decodeCpuMs() const { return impl_->decodeCpu.load(std::memory_order_relaxed); }

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->ringMutex);
  return impl_->seekCount;
}

}  // namespace le
