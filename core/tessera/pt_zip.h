// The stored-only ZIP layer of a PyTorch state-dict file. torch writes every
// member ZIP_STORED, so anything compressed or out of bounds is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

struct ZipEntry {
  std::string name;
  std::size_t offset = 0;  // first data byte in the archive
  std::size_t size = 0;    // data bytes
};

// Lists the archive's entries from its central directory; every entry's data
// lies inside [data, data + size). Throws "teeth: head .pt ..." on refusal.
std::vector<ZipEntry> listStoredZip(const uint8_t* data, std::size_t size);

}  // namespace le::tessera
