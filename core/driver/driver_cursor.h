// Random access by loop frame index over a frame source, with a small,
// fixed memory footprint: a producer thread decodes a few frames ahead of the
// consumer into a ring of buffers and keeps the most recent frames behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/driver/source.h"

namespace le {

struct Manifest;

class DriverCursor {
 public:
  // Takes the source and starts the producer, which fills `lookAhead`
  // frames from frame 0 at once. lookAhead is raised to at least 1 and
  // history to at least 0; together they hold at most 4096 frames (throws).
  DriverCursor(std::unique_ptr<driver::Source> source, int lookAhead, int history);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int lookAhead, int history);
  // The driving video of a bundle: its JPEG directory or its video member.
  static std::unique_ptr<DriverCursor> open(const Manifest& manifest, int lookAhead, int history);
  // The warp-prior video of a bundle.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& manifest, int lookAhead, int history);

  // The next loop frame copied into dst (frameBytes() bytes); returns its index.
  int pull(uint8_t* dst);
  // The next loop frame in place; *frame receives its index. The bytes stay
  // valid until the consumer has moved history + 1 frames past it.
  const uint8_t* pull(int* frame);
  // As pull(int*), for changing the bytes in place: the frame handed out is
  // never offered again, later requests for it decode it afresh.
  uint8_t* pullMut(int* frame);
  // Loop frame si copied into dst; returns si.
  int pullAt(int si, uint8_t* dst);
  const uint8_t* pullAt(int si, int* frame);
  uint8_t* pullMutAt(int si, int* frame);
  // Makes si the frame the next plain pull returns.
  void seek(int si);

  // The frame a plain pull returns next.
  int position() const;
  // Bytes held: every ring buffer plus the source's own estimate.
  uint64_t residentBytes() const;
  // Seeks that restarted the source.
  uint64_t seeks() const;
  // CPU milliseconds the producer thread has spent decoding so far.
  double decodeCpuMs() const;

  int NT() const { return NT_; }
  int W() const { return W_; }
  int H() const { return H_; }
  uint64_t frameBytes() const { return frameBytes_; }
  const std::string& backend() const { return backend_; }

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int NT_, W_, H_;
  uint64_t frameBytes_;
  std::string backend_;
};

}  // namespace le
