#include "core/telemetry/telemetry.h"

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace le::telemetry {
namespace {

// Never destroyed: stages on other threads may still update their counters
// while static destructors run at exit.
struct Registry {
  std::mutex mu;  // guards both maps (not the counters' values)
  std::map<std::string, std::unique_ptr<Counter>> counters;
  std::map<std::string, std::unique_ptr<Value>> values;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

void checkName(const std::string& name) {
  bool ok = !name.empty() && name.size() <= 64;
  for (char c : name)
    ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                c == '_' || c == '-');
  if (!ok)
    throw std::runtime_error("Telemetry name '" + name +
                             "' is not 1 to 64 letters, digits, '.', '_' or '-'.");
}

template <class T>
T& lookup(std::map<std::string, std::unique_ptr<T>>& map, const std::string& name) {
  checkName(name);
  std::lock_guard<std::mutex> lock(registry().mu);
  std::unique_ptr<T>& slot = map[name];
  if (!slot) slot = std::make_unique<T>();
  return *slot;
}

// Lowers (or raises) `target` to `sample` unless it already is at or beyond it.
template <class Better>
void improve(std::atomic<double>& target, double sample, Better better) {
  double cur = target.load(std::memory_order_relaxed);
  while (better(sample, cur) && !target.compare_exchange_weak(cur, sample, std::memory_order_relaxed)) {
  }
}

}  // namespace

void Value::record(double sample) noexcept {
  if (!std::isfinite(sample)) return;
  count_.fetch_add(1, std::memory_order_relaxed);
  improve(min_, sample, [](double s, double c) { return s < c; });
  improve(max_, sample, [](double s, double c) { return s > c; });
  double sum = sum_.load(std::memory_order_relaxed);
  while (!sum_.compare_exchange_weak(sum, sum + sample, std::memory_order_relaxed)) {
  }
  last_.store(sample, std::memory_order_relaxed);
}

Value::Summary Value::summary() const noexcept {
  Summary s;
  s.count = count_.load(std::memory_order_relaxed);
  s.sum = sum_.load(std::memory_order_relaxed);
  s.last = last_.load(std::memory_order_relaxed);
  // Before the first sample min and max hold their infinite seeds, which a
  // reader racing that sample (or a reset racing a record) can still see.
  if (s.count > 0) {
    s.min = min_.load(std::memory_order_relaxed);
    s.max = max_.load(std::memory_order_relaxed);
    if (!std::isfinite(s.min)) s.min = s.last;
    if (!std::isfinite(s.max)) s.max = s.last;
  }
  return s;
}

void Value::reset() noexcept {
  count_.store(0, std::memory_order_relaxed);
  sum_.store(0.0, std::memory_order_relaxed);
  min_.store(kInf, std::memory_order_relaxed);
  max_.store(-kInf, std::memory_order_relaxed);
  last_.store(0.0, std::memory_order_relaxed);
}

Counter& counter(const std::string& name) { return lookup(registry().counters, name); }

Value& value(const std::string& name) { return lookup(registry().values, name); }

std::vector<std::pair<std::string, int64_t>> counters() {
  std::lock_guard<std::mutex> lock(registry().mu);
  std::vector<std::pair<std::string, int64_t>> out;
  for (const auto& [name, c] : registry().counters) out.emplace_back(name, c->value());
  return out;
}

std::vector<std::pair<std::string, Value::Summary>> values() {
  std::lock_guard<std::mutex> lock(registry().mu);
  std::vector<std::pair<std::string, Value::Summary>> out;
  for (const auto& [name, v] : registry().values) out.emplace_back(name, v->summary());
  return out;
}

void resetAll() {
  std::lock_guard<std::mutex> lock(registry().mu);
  for (auto& [name, c] : registry().counters) c->reset();
  for (auto& [name, v] : registry().values) v->reset();
}

}  // namespace le::telemetry
