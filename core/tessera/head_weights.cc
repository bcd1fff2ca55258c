#include "core/tessera/head_weights.h"

#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "core/tessera/pt_pickle.h"
#include "core/tessera/pt_zip.h"

namespace le::tessera {
namespace {

struct Slot {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

const std::vector<Slot>& slots() {
  static const std::vector<Slot> kSlots = {
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_w}, {"cand.0.bias", {16}, &HeadWeights::cand0_b},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_w}, {"cand.2.bias", {16}, &HeadWeights::cand2_b},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_w}, {"cand.4.bias", {1}, &HeadWeights::cand4_b},
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_w},   {"syn.0.bias", {16}, &HeadWeights::syn0_b},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_w},   {"syn.2.bias", {1}, &HeadWeights::syn2_b},
  };
  return kSlots;
}
constexpr std::size_t kCandSlots = 6;

std::string dims(const std::vector<int64_t>& shape) {
  std::string s;
  for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

HeadWeights::Params HeadWeights::params() const {
  Params p;
  for (const Slot& s : slots()) {
    const auto n = static_cast<int64_t>((this->*s.field).size());
    p.total += n;
    if (endsWith(s.name, ".weight")) p.weights += n;
  }
  return p;
}

HeadWeights loadHeadPt(const uint8_t* data, std::size_t size) {
  const std::vector<ZipEntry> entries = listStoredZip(data, size);
  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries)
    if (endsWith(e.name, "/data.pkl")) {
      pkl = &e;
      break;
    }
  if (!pkl) throw std::runtime_error("teeth: head .pt has no data.pkl");
  const std::string prefix = pkl->name.substr(0, pkl->name.size() - std::strlen("data.pkl"));

  const Unpickled u = unpickle(data + pkl->offset, pkl->size);
  if (u.root->kind != PVal::Kind::kDict) throw std::runtime_error("teeth: head .pt state_dict is not a dict");
  if (u.root->dict.empty()) throw std::runtime_error("teeth: head .pt state_dict is empty");
  std::map<std::string, int> seen;
  for (const auto& kv : u.root->dict) ++seen[kv.first];
  for (const auto& kv : u.root->dict)
    if (seen[kv.first] > 1)
      throw std::runtime_error("teeth: head .pt names '" + kv.first + "' " + std::to_string(seen[kv.first]) +
                               " times — ambiguous");

  auto lookup = [&](const std::string& name) -> const PVal* {
    for (const auto& kv : u.root->dict)
      if (kv.first == name) return kv.second;
    return nullptr;
  };
  bool anySyn = false;
  for (std::size_t i = kCandSlots; i < slots().size(); ++i) anySyn = anySyn || lookup(slots()[i].name);

  HeadWeights w;
  const std::size_t used = anySyn ? slots().size() : kCandSlots;
  for (std::size_t i = 0; i < used; ++i) {
    const Slot& s = slots()[i];
    const PVal* t = lookup(s.name);
    if (!t) throw std::runtime_error(std::string("teeth: head .pt lacks '") + s.name + "'");
    if (t->kind != PVal::Kind::kTensor) throw std::runtime_error(std::string("teeth: '") + s.name + "' is not a tensor");
    if (t->shape != s.shape)
      throw std::runtime_error(std::string("teeth: head '") + s.name + "' has shape [" + dims(t->shape) +
                               "] — not the BlendHead(16) arch");
    // Row-major contiguous strides only: anything else would need a gather
    // the writer never produces.
    int64_t count = 1;
    for (std::size_t d = s.shape.size(); d-- > 0;) {
      if (t->strides[d] != count && s.shape[d] != 1)
        throw std::runtime_error(std::string("teeth: head '") + s.name + "' is not contiguous — refusing to reinterpret it");
      count *= s.shape[d];
    }
    const ZipEntry* storage = nullptr;
    for (const ZipEntry& e : entries)
      if (e.name == prefix + "data/" + t->key) {
        storage = &e;
        break;
      }
    if (!storage) throw std::runtime_error("teeth: head storage " + t->key + " missing");
    const uint64_t floats = storage->size / 4;
    if (t->integer < 0 || static_cast<uint64_t>(t->integer) > floats ||
        floats - static_cast<uint64_t>(t->integer) < static_cast<uint64_t>(count))
      throw std::runtime_error("teeth: head storage " + t->key + " holds " + std::to_string(floats) + " floats, '" +
                               s.name + "' needs " + std::to_string(count) + " from offset " +
                               std::to_string(t->integer));
    std::vector<float>& dst = w.*s.field;
    dst.resize(static_cast<std::size_t>(count));
    const uint8_t* src = data + storage->offset + static_cast<std::size_t>(t->integer) * 4;
    for (std::size_t k = 0; k < dst.size(); ++k) {
      const uint8_t* b = src + 4 * k;
      const uint32_t bits = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                            static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
      std::memcpy(&dst[k], &bits, 4);
      if (!std::isfinite(dst[k]))
        throw std::runtime_error(std::string("teeth: head '") + s.name +
                                 "' carries a non-finite weight — refusing to serve it");
    }
  }
  const int64_t total = w.params().total;
  if (total != HeadWeights::kFullParams && total != HeadWeights::kCandParams)
    throw std::runtime_error("teeth: head has " + std::to_string(total) +
                             " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

}  // namespace le::tessera
