#include "core/tessera/head_weights.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/tessera/member_fixture.h"
#include "core/tessera/pt_zip.h"
#include "tests/test_support.h"

namespace {

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le::test::thrownBy;
using Bytes = std::vector<uint8_t>;

Bytes head(const std::string& name) {
  auto v = le::test::readFile(le::test::tesseraVariant("heads") + "/" + name);
  return Bytes(v.begin(), v.end());
}

std::string refusal(const Bytes& b) {
  return thrownBy([&] { loadHeadPt(b.data(), b.size()); });
}

void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xffff);
  put16(b, v >> 16);
}

// A stored ZIP of the given entries, laid out the way torch writes it.
Bytes storedZip(const std::vector<std::pair<std::string, std::string>>& entries) {
  Bytes z, central;
  for (const auto& [name, data] : entries) {
    const uint32_t local = static_cast<uint32_t>(z.size());
    put32(z, 0x04034b50);
    put16(z, 20), put16(z, 0), put16(z, 0), put16(z, 0), put16(z, 0);
    put32(z, 0), put32(z, static_cast<uint32_t>(data.size())), put32(z, static_cast<uint32_t>(data.size()));
    put16(z, static_cast<uint32_t>(name.size())), put16(z, 0);
    z.insert(z.end(), name.begin(), name.end());
    z.insert(z.end(), data.begin(), data.end());
    put32(central, 0x02014b50);
    put16(central, 20), put16(central, 20), put16(central, 0), put16(central, 0), put16(central, 0), put16(central, 0);
    put32(central, 0), put32(central, static_cast<uint32_t>(data.size())), put32(central, static_cast<uint32_t>(data.size()));
    put16(central, static_cast<uint32_t>(name.size())), put16(central, 0), put16(central, 0);
    put16(central, 0), put16(central, 0), put32(central, 0), put32(central, local);
    central.insert(central.end(), name.begin(), name.end());
  }
  const uint32_t cd = static_cast<uint32_t>(z.size());
  z.insert(z.end(), central.begin(), central.end());
  put32(z, 0x06054b50);
  put16(z, 0), put16(z, 0), put16(z, static_cast<uint32_t>(entries.size())), put16(z, static_cast<uint32_t>(entries.size()));
  put32(z, static_cast<uint32_t>(central.size())), put32(z, cd), put16(z, 0);
  return z;
}

// Pickle helpers: protocol 2 opcodes as the writer emits them.
std::string uni(const std::string& s) {
  std::string o = "X";
  for (int i = 0; i < 4; ++i) o += static_cast<char>((s.size() >> (8 * i)) & 0xff);
  return o + s;
}
std::string glob(const std::string& m, const std::string& n) { return "c" + m + "\n" + n + "\n"; }
std::string k(int v) { return std::string("K") + static_cast<char>(v); }
const std::string kOrderedDict = glob("collections", "OrderedDict") + ")R";
std::string tensor(const std::string& key, int count, const std::string& shape, const std::string& strides,
                   const std::string& storage = "FloatStorage") {
  return glob("torch._utils", "_rebuild_tensor_v2") + "((" + uni("storage") + glob("torch", storage) + uni(key) +
         uni("cpu") + k(count) + "tQ" + k(0) + "(" + shape + "t(" + strides + "t\x89" + kOrderedDict + "tR";
}
Bytes pickleZip(const std::string& body, std::vector<std::pair<std::string, std::string>> storages = {}) {
  std::vector<std::pair<std::string, std::string>> e = {{"arch/data.pkl", "\x80\x02" + body}};
  for (auto& s : storages) e.emplace_back("arch/data/" + s.first, s.second);
  return storedZip(e);
}
std::string dictOf(const std::string& items) { return kOrderedDict + "(" + items + "u."; }

TEST(HeadWeights, ReadsTheStateDictToTheExactFloatsWithBothParameterCounts) {
  for (const char* name : {"ok", "no_syn"}) {
    SCOPED_TRACE(name);
    const Bytes pt = head(std::string(name) + ".pt");
    const HeadWeights w = loadHeadPt(pt.data(), pt.size());
    const Bytes raw = head(std::string(name) + ".f32");
    std::vector<float> want(raw.size() / 4);
    std::memcpy(want.data(), raw.data(), raw.size());
    std::vector<float> got;
    for (const auto* v : {&w.cand0_w, &w.cand0_b, &w.cand2_w, &w.cand2_b, &w.cand4_w, &w.cand4_b, &w.syn0_w,
                          &w.syn0_b, &w.syn2_w, &w.syn2_b})
      got.insert(got.end(), v->begin(), v->end());
    EXPECT_EQ(got, want);
    const bool full = std::string(name) == "ok";
    EXPECT_EQ(w.hasSyn(), full);
    EXPECT_EQ(w.params().total, full ? 4082 : 3489);
    EXPECT_EQ(w.params().weights, full ? 1008 + 2304 + 144 + 432 + 144 : 1008 + 2304 + 144);
  }
}

TEST(HeadWeights, ZipLayerRefusals) {
  const Bytes ok = head("ok.pt");
  EXPECT_EQ(refusal(Bytes(ok.begin(), ok.begin() + 21)), "teeth: head .pt is not a zip");
  EXPECT_EQ(refusal(Bytes(64, 0)), "teeth: head .pt has no zip EOCD");
  EXPECT_EQ(refusal(storedZip({})), "teeth: head .pt has no data.pkl");
  EXPECT_EQ(refusal(storedZip({{"arch/weights.bin", "x"}})), "teeth: head .pt has no data.pkl");
  EXPECT_EQ(refusal(head("deflate.pt")),
            "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");

  // Field offsets inside the single-entry archive built here.
  const Bytes one = storedZip({{"arch/data.pkl", "\x80\x02}."}});
  const size_t eocd = one.size() - 22, cd = eocd - (46 + 13);
  Bytes bad = one;
  bad[eocd + 16] = 0xff;  // central directory offset past the end
  EXPECT_EQ(refusal(bad), "teeth: head .pt central directory is malformed");
  bad = one;
  bad[cd + 28] = 0xff;  // name runs past the end
  EXPECT_EQ(refusal(bad), "teeth: head .pt central directory is malformed");
  bad = one;
  bad[cd + 42] = 0x05;  // local header offset lands on no local header
  EXPECT_EQ(refusal(bad), "teeth: head .pt local header out of range");
  bad = one;
  bad[cd + 24] = 0xff;  // uncompressed size past the end
  EXPECT_EQ(refusal(bad), "teeth: head .pt entry out of range");
  bad = one;
  bad[cd + 24] = 0, bad[cd + 20] = 0xff;  // zero uncompressed size: the compressed one counts
  EXPECT_EQ(refusal(bad), "teeth: head .pt entry out of range");
}

TEST(HeadWeights, PickleLayerRefusals) {
  EXPECT_EQ(refusal(head("opcode_8c.pt")), "teeth: unsupported pickle opcode 0x8c in head .pt");
  EXPECT_EQ(refusal(head("foreign_global.pt")),
            "teeth: head .pt calls os system — this reader refuses code it does not model");
  EXPECT_EQ(refusal(head("half_storage.pt")),
            "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it");
  EXPECT_EQ(refusal(pickleZip("]")), "teeth: unsupported pickle opcode 0x5d in head .pt");
  EXPECT_EQ(refusal(pickleZip("}")), "teeth: pickle truncated");
  EXPECT_EQ(refusal(pickleZip("X\x05\0\0\0ab")), "teeth: pickle truncated");
  EXPECT_EQ(refusal(pickleZip("cos\nsys")), "teeth: pickle truncated");
  EXPECT_EQ(refusal(pickleZip("}q\x01h\x02.")), "teeth: pickle BINGET out of range");
  EXPECT_EQ(refusal(pickleZip(std::string("}r\x01\0\0\0j\x02\0\0\0.", 12))), "teeth: pickle LONG_BINGET out of range");
  // A memo round trip is fine: the dict comes back and is empty.
  EXPECT_EQ(refusal(pickleZip("}q\x01h\x01.")), "teeth: head .pt state_dict is empty");
  EXPECT_EQ(refusal(pickleZip(glob("builtins", "eval") + "(" + uni("1") + "tR.")),
            "teeth: head .pt calls builtins eval — this reader refuses code it does not model");
  EXPECT_EQ(refusal(pickleZip(glob("collections", "OrderedDictX") + ")R.")),
            "teeth: head .pt calls collections OrderedDictX — this reader refuses code it does not model");
  EXPECT_EQ(refusal(pickleZip("(" + uni("storage") + uni("x") + "tQ.")), "teeth: unexpected persistent id in head .pt");
  EXPECT_EQ(refusal(pickleZip(glob("torch._utils", "_rebuild_tensor_v2") + "(" + k(1) + "tR.")),
            "teeth: malformed _rebuild_tensor_v2");
  EXPECT_EQ(refusal(pickleZip(kOrderedDict + ".")), "teeth: head .pt state_dict is empty");
  EXPECT_EQ(refusal(head("duplicate_name.pt")), "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous");

  // A memoised value costs two bytes per use but was copied whole at each:
  // a 1 MiB key set 20000 times (20 GB) and a 100000-entry tuple used as
  // shape and strides 20000 times (32 GB) are refused before they are built.
  const char kExpands[] = "teeth: head .pt pickle expands far beyond its own size — refusing it";
  std::string keys = "}" + uni(std::string(1 << 20, 'a')) + "q\x01Ns";
  for (int i = 0; i < 20000; ++i) keys += "h\x01Ns";
  EXPECT_EQ(refusal(pickleZip(keys + ".")), kExpands);
  std::string big = "(";
  for (int i = 0; i < 100000; ++i) big += k(1);
  std::string calls = "(" + uni("storage") + glob("torch", "FloatStorage") + uni("0") + uni("cpu") + k(1) + "tQq\x02" +
                      big + "tq\x03";
  for (int i = 0; i < 20000; ++i) calls += glob("torch._utils", "_rebuild_tensor_v2") + "(h\x02" + k(0) + "h\x03h\x03tR";
  EXPECT_EQ(refusal(pickleZip(calls + "N.")), kExpands);
}

TEST(HeadWeights, WeightRefusals) {
  EXPECT_EQ(refusal(pickleZip(dictOf(uni("cand.0.bias") + tensor("0", 16, k(16), k(1))), {{"0", std::string(64, '\0')}})),
            "teeth: head .pt lacks 'cand.0.weight'");
  EXPECT_EQ(refusal(pickleZip(dictOf(uni("cand.0.weight") + k(3)))), "teeth: 'cand.0.weight' is not a tensor");
  EXPECT_EQ(refusal(head("wrong_shape.pt")), "teeth: head 'cand.2.weight' has shape [16, 16, 1, 9] — not the BlendHead(16) arch");
  EXPECT_EQ(refusal(head("partial_syn.pt")), "teeth: head .pt lacks 'syn.2.weight'");
  EXPECT_EQ(refusal(head("missing_storage.pt")), "teeth: head storage 5 missing");
  // A storage shorter than its tensor, and strides that are not row-major.
  const std::string w0 = uni("cand.0.weight") + tensor("0", 255, k(16) + k(7) + k(3) + k(3), k(63) + k(9) + k(3) + k(1));
  EXPECT_EQ(refusal(pickleZip(dictOf(w0), {{"0", std::string(4 * 100, '\0')}})),
            "teeth: head storage 0 holds 100 floats, 'cand.0.weight' needs 1008 from offset 0");
  const std::string w1 = uni("cand.0.weight") + tensor("0", 255, k(16) + k(7) + k(3) + k(3), k(1) + k(16) + k(3) + k(1));
  EXPECT_EQ(refusal(pickleZip(dictOf(w1), {{"0", std::string(4 * 1008, '\0')}})),
            "teeth: head 'cand.0.weight' is not contiguous — refusing to reinterpret it");
}

}  // namespace
