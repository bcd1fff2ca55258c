// The one error boundary every extern "C" function goes through: no exception
// crosses into the host, and each family of C functions keeps its own
// thread-local last-error text.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace le::capi {

// One last-error slot per family of C functions.
enum class Family { kCore, kUtt, kStream, kA2x, kMotion, kFca, kCount };

// The calling thread's last-error text of `family`; created empty.
std::string& lastError(Family family);

// Sets the last error to "<fn>: <what>".
void setError(Family family, const char* fn, const char* what);

// Copies `msg` into a caller buffer: at most cap - 1 bytes and a terminator;
// nothing when buf is null or cap < 1.
void writeCallerBuffer(char* buf, std::size_t cap, const std::string& msg);

// Writes "<fn>: <what>" the same way without allocating, so that it also
// reports a failure to allocate.
void writeCallerError(char* buf, std::size_t cap, const char* fn, const char* what) noexcept;

// Runs `body` and returns its result. A thrown exception becomes the
// family's last error ("<fn>: <text>") and `failValue` is returned. When
// `clear` is set the last error is emptied on entry.
template <class R, class Body>
R guarded(Family family, const char* fn, R failValue, Body&& body, bool clear = true) noexcept {
  if (clear) lastError(family).clear();
  try {
    return body();
  } catch (const std::exception& e) {
    setError(family, fn, e.what());
  } catch (...) {
    setError(family, fn, "unknown exception");
  }
  return failValue;
}

// As guarded(), but the message ("<fn>: <text>") goes to a caller buffer.
template <class R, class Body>
R guardedToBuffer(char* err, std::size_t cap, const char* fn, R failValue, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    writeCallerError(err, cap, fn, e.what());
  } catch (...) {
    writeCallerError(err, cap, fn, "unknown exception");
  }
  return failValue;
}

}  // namespace le::capi
