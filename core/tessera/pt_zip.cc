#include "core/tessera/pt_zip.h"

#include <stdexcept>

namespace le::tessera {
namespace {

uint32_t u16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

constexpr uint32_t kEocdSig = 0x06054b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kLocalSig = 0x04034b50;
constexpr std::size_t kEocdLen = 22, kCentralLen = 46, kLocalLen = 30;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("teeth: head .pt ") + what); }

}  // namespace

std::vector<ZipEntry> listStoredZip(const uint8_t* data, std::size_t size) {
  if (!data || size < kEocdLen) fail("is not a zip");
  std::size_t eocd = size - kEocdLen;
  for (;;) {
    if (u32(data + eocd) == kEocdSig) break;
    if (eocd == 0) fail("has no zip EOCD");
    --eocd;
  }
  const uint32_t count = u16(data + eocd + 10);
  std::size_t at = u32(data + eocd + 16);
  if (count == 0) fail("has no data.pkl");
  std::vector<ZipEntry> out;
  out.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (at > size || size - at < kCentralLen || u32(data + at) != kCentralSig) fail("central directory is malformed");
    const uint8_t* h = data + at;
    if (u16(h + 10) != 0)
      fail("entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    const uint32_t compressed = u32(h + 20), uncompressed = u32(h + 24);
    const std::size_t nameLen = u16(h + 28), extraLen = u16(h + 30), commentLen = u16(h + 32);
    const std::size_t local = u32(h + 42);
    if (size - at - kCentralLen < nameLen + extraLen + commentLen) fail("central directory is malformed");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(h + kCentralLen), nameLen);
    at += kCentralLen + nameLen + extraLen + commentLen;
    if (local > size || size - local < kLocalLen || u32(data + local) != kLocalSig) fail("local header out of range");
    const std::size_t dataAt = local + kLocalLen + u16(data + local + 26) + u16(data + local + 28);
    e.size = uncompressed != 0 ? uncompressed : compressed;
    if (dataAt > size || size - dataAt < e.size) fail("entry out of range");
    e.offset = dataAt;
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace le::tessera
