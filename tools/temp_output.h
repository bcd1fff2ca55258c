// An output file written under a temporary name beside its final place and
// renamed there only when it is complete, so that a failed or interrupted
// run neither leaves a partial file nor clobbers what was there before.
#pragma once

#include <string>

namespace le::tools {

class TempOutput {
 public:
  // Creates ".<name>.XXXXXX.part" beside `out`; throws std::runtime_error
  // ("cannot write <out>: ...") when `out` is a directory or the place is
  // not writable. SIGINT, SIGTERM and SIGHUP remove the file while it lives.
  explicit TempOutput(const std::string& out);
  // Removes the file unless commit() moved it to its final place.
  ~TempOutput();
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;

  const std::string& path() const { return path_; }
  // Renames the finished file to `out`; throws std::runtime_error on failure.
  void commit();

 private:
  std::string out_, path_;
};

}  // namespace le::tools
