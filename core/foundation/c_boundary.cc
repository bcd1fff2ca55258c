#include "core/foundation/c_boundary.h"

#include <cstring>
#include <initializer_list>

namespace le::capi {

std::string& lastError(Family family) {
  thread_local std::string slots[static_cast<int>(Family::kCount)];
  return slots[static_cast<int>(family)];
}

void setError(Family family, const char* fn, const char* what) {
  try {
    std::string& slot = lastError(family);
    slot.assign(fn);
    slot.append(": ");
    slot.append(what ? what : "");
  } catch (...) {
    // Out of memory while reporting: keep whatever the slot holds.
  }
}

void writeCallerBuffer(char* buf, std::size_t cap, const std::string& msg) {
  if (!buf || cap < 1) return;
  std::size_t n = msg.size() < cap - 1 ? msg.size() : cap - 1;
  std::memcpy(buf, msg.data(), n);
  buf[n] = '\0';
}

void writeCallerError(char* buf, std::size_t cap, const char* fn, const char* what) noexcept {
  if (!buf || cap < 1) return;
  std::size_t n = 0;
  for (const char* part : {fn, ": ", what})
    for (const char* c = part; *c && n + 1 < cap; ++c) buf[n++] = *c;
  buf[n] = '\0';
}

}  // namespace le::capi
