// The plug-in's error boundary: no exception crosses an entry into the host.
// The plug-in reports through status codes only, so a caught exception (in
// practice an allocation failure) becomes the entry's failure status.
#pragma once

#include <exception>

namespace mirelund::engine {

// Runs `body` and returns its status, or `failValue` when it throws.
template <class Body>
int guarded(int failValue, Body&& body) noexcept {
  try {
    return static_cast<int>(body());
  } catch (...) {
    return failValue;
  }
}

// As guarded() for entries without a result.
template <class Body>
void guardedVoid(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace mirelund::engine
