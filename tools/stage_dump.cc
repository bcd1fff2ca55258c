#include "tools/stage_dump.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace le::tools {

namespace {

// Record layout: u32 name length, name bytes, u8 type, u64 element count,
// then the elements. Both machines compared are little-endian, so values go
// out as they sit in memory.
constexpr uint8_t kTypeBytes = 0;
constexpr uint8_t kTypeFloat = 1;
constexpr uint32_t kMaxName = 4096;

template <class T>
void put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

class Reader {
 public:
  Reader(const std::string& path, std::string data) : path_(path), data_(std::move(data)) {}
  bool done() const { return pos_ == data_.size(); }
  size_t left() const { return data_.size() - pos_; }
  size_t pos() const { return pos_; }
  void take(void* dst, size_t n) {
    if (n > data_.size() - pos_)
      throw std::runtime_error("Stage dump " + path_ + " is truncated at byte " + std::to_string(pos_) + ": " +
                               std::to_string(n) + " more bytes were expected.");
    if (n == 0) return;  // an empty record's buffer may be null, which memcpy must not see
    std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
  }
  template <class T>
  T value() {
    T v;
    take(&v, sizeof v);
    return v;
  }

 private:
  std::string path_;
  std::string data_;
  size_t pos_ = 0;
};

}  // namespace

void StageDump::addFloats(const std::string& name, const float* data, size_t n) {
  if (name.empty() || arrays_.count(name))
    throw std::runtime_error("Stage record name \"" + name + "\" is empty or taken.");
  StageArray& a = arrays_[name];
  a.isFloat = true;
  a.f.assign(data, data + n);
}

void StageDump::addBytes(const std::string& name, const uint8_t* data, size_t n) {
  if (name.empty() || arrays_.count(name))
    throw std::runtime_error("Stage record name \"" + name + "\" is empty or taken.");
  arrays_[name].b.assign(data, data + n);
}

const StageArray& StageDump::find(const std::string& name) const {
  const auto it = arrays_.find(name);
  if (it == arrays_.end()) throw std::runtime_error("Stage dump " + origin_ + " has no record \"" + name + "\".");
  return it->second;
}

const std::vector<float>& StageDump::floats(const std::string& name) const {
  const StageArray& a = find(name);
  if (!a.isFloat) throw std::runtime_error("Stage record \"" + name + "\" of " + origin_ + " holds bytes, not floats.");
  return a.f;
}

const std::vector<uint8_t>& StageDump::bytes(const std::string& name) const {
  const StageArray& a = find(name);
  if (a.isFloat) throw std::runtime_error("Stage record \"" + name + "\" of " + origin_ + " holds floats, not bytes.");
  return a.b;
}

void StageDump::write(const std::string& path) const {
  std::string out;
  for (const auto& [name, a] : arrays_) {
    put(out, uint32_t(name.size()));
    out += name;
    put(out, a.isFloat ? kTypeFloat : kTypeBytes);
    put(out, uint64_t(a.size()));
    if (a.isFloat)
      out.append(reinterpret_cast<const char*>(a.f.data()), a.f.size() * sizeof(float));
    else
      out.append(reinterpret_cast<const char*>(a.b.data()), a.b.size());
  }
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!f) throw std::runtime_error("Cannot open stage dump " + path + " for writing.");
  const bool written = std::fwrite(out.data(), 1, out.size(), f.get()) == out.size();
  if (std::fclose(f.release()) != 0 || !written)
    throw std::runtime_error("Cannot write stage dump " + path + " completely.");
}

StageDump StageDump::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open stage dump " + path + ".");
  Reader r(path, std::string(std::istreambuf_iterator<char>(in), {}));
  StageDump d;
  d.origin_ = path;
  while (!r.done()) {
    const size_t at = r.pos();
    const uint32_t len = r.value<uint32_t>();
    if (len == 0 || len > kMaxName)
      throw std::runtime_error("Stage dump " + path + " has a record name of " + std::to_string(len) +
                               " bytes at byte " + std::to_string(at) + ".");
    std::string name(len, '\0');
    r.take(name.data(), len);
    const uint8_t type = r.value<uint8_t>();
    const uint64_t n = r.value<uint64_t>();
    if (type != kTypeBytes && type != kTypeFloat)
      throw std::runtime_error("Stage dump " + path + " record \"" + name + "\" has unknown type " +
                               std::to_string(type) + ".");
    // Checked before allocating: a corrupt count must not ask for terabytes.
    const uint64_t elem = type == kTypeFloat ? sizeof(float) : 1;
    if (n > r.left() / elem)
      throw std::runtime_error("Stage dump " + path + " record \"" + name + "\" claims " + std::to_string(n) +
                               " elements, more than the " + std::to_string(r.left()) + " bytes left.");
    std::vector<char> raw(n * elem);
    r.take(raw.data(), raw.size());
    if (d.arrays_.count(name))
      throw std::runtime_error("Stage dump " + path + " holds record \"" + name + "\" twice.");
    if (type == kTypeFloat)
      d.addFloats(name, reinterpret_cast<const float*>(raw.data()), n);
    else
      d.addBytes(name, reinterpret_cast<const uint8_t*>(raw.data()), n);
  }
  return d;
}

}  // namespace le::tools
