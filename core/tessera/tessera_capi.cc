// C boundary of the teeth-member family. Failures go to the caller's buffer;
// no exception crosses.
#include <cstring>
#include <new>
#include <string>

#include "core/foundation/c_boundary.h"
#include "core/tessera/bank_track.h"
#include "core/tessera/carriage.h"
#include "core/tessera/members.h"
#include "le/le.h"

struct le_tessera_carriage {
  le::TesseraCarriage carriage;
  std::string pathOut;  // last le_tessera_carriage_path result
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
};

namespace {

using le::capi::guarded;
using le::capi::guardedToBuffer;
using le::capi::writeCallerBuffer;

// The tessera family reports through caller buffers; the core slot is only
// the fallback channel guarded() needs and is not cleared here.
constexpr le::capi::Family kFam = le::capi::Family::kCore;

template <class R, class Fn>
R field(const le_tessera_members* h, R fail, Fn fn) {
  return guarded(kFam, "le_tessera_members", fail, [&]() -> R { return h ? fn(h->in) : fail; }, false);
}

// Runs `body`, writing exception texts into (err, cap) unprefixed, as the
// family's messages are full sentences of their own.
template <class R, class Body>
R intoBuffer(const char* fn, char* err, size_t cap, R fail, Body&& body) {
  return guardedToBuffer(err, cap, fn, fail, [&]() -> R {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      writeCallerBuffer(err, cap, std::string(fn) + ": out of memory");
    } catch (const std::exception& e) {
      writeCallerBuffer(err, cap, e.what());
    } catch (...) {
      writeCallerBuffer(err, cap, std::string(fn) + ": unknown failure");
    }
    return fail;
  });
}

}  // namespace

extern "C" {

LE_API int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

LE_API const char* le_tessera_slot_key(int i) {
  if (i < 0 || i >= le::tesseraSlotCount()) return nullptr;
  return le::tesseraSlotKeys()[static_cast<size_t>(i)];
}

LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  return guarded(kFam, "le_tessera_carriage_open", static_cast<le_tessera_carriage*>(nullptr), [&] {
    auto* h = new le_tessera_carriage;
    try {
      h->carriage = le::tesseraCarriage(bundle_dir);
    } catch (const std::bad_alloc&) {
      delete h;
      throw;
    } catch (...) {
      h->carriage = le::tesseraDefaultCarriage();
    }
    return h;
  }, false);
}

LE_API int le_tessera_carriage_complete(const le_tessera_carriage* h) { return h && h->carriage.complete ? 1 : 0; }

LE_API int le_tessera_carriage_declared(const le_tessera_carriage* h) { return h && h->carriage.declared ? 1 : 0; }

LE_API const char* le_tessera_carriage_path(le_tessera_carriage* h, const char* slot_key) {
  if (!h || !slot_key) return "";
  return guarded(kFam, "le_tessera_carriage_path", "", [&]() -> const char* {
    int i = le::tesseraSlotIndex(slot_key);
    if (i < 0) return "";
    h->pathOut = h->carriage.paths[static_cast<size_t>(i)];
    return h->pathOut.c_str();
  }, false);
}

LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* h) {
  return h ? static_cast<int>(h->carriage.missing.size()) : 0;
}

LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* h, int i) {
  if (!h || i < 0 || static_cast<size_t>(i) >= h->carriage.missing.size()) return nullptr;
  return h->carriage.missing[static_cast<size_t>(i)].c_str();
}

LE_API void le_tessera_carriage_close(le_tessera_carriage* h) { delete h; }

LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, size_t err_cap) {
  if (!bundle_dir) {
    writeCallerBuffer(err, err_cap, "le_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  return intoBuffer("le_tessera_members_open", err, err_cap, static_cast<le_tessera_members*>(nullptr), [&] {
    auto* h = new le_tessera_members;
    try {
      h->in = le::loadTesseraMembers(bundle_dir);
    } catch (...) {
      delete h;
      throw;
    }
    return h;
  });
}

LE_API int32_t le_tessera_members_n_donors(const le_tessera_members* h) {
  return field(h, int32_t{0}, [](const auto& in) { return in.n_donors; });
}
LE_API int32_t le_tessera_members_band_w(const le_tessera_members* h) {
  return field(h, int32_t{0}, [](const auto& in) { return in.band_w; });
}
LE_API int32_t le_tessera_members_band_h(const le_tessera_members* h) {
  return field(h, int32_t{0}, [](const auto& in) { return in.band_h; });
}
LE_API const double* le_tessera_members_cent(const le_tessera_members* h) {
  return field(h, static_cast<const double*>(nullptr),
               [](const auto& in) { return in.cent.empty() ? nullptr : in.cent.data(); });
}
LE_API const double* le_tessera_members_aperture(const le_tessera_members* h) {
  return field(h, static_cast<const double*>(nullptr),
               [](const auto& in) { return in.aperture.empty() ? nullptr : in.aperture.data(); });
}
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* h) {
  return field(h, static_cast<const uint8_t*>(nullptr),
               [](const auto& in) { return in.head_pt.empty() ? nullptr : in.head_pt.data(); });
}
LE_API uint32_t le_tessera_members_head_pt_len(const le_tessera_members* h) {
  return field(h, uint32_t{0}, [](const auto& in) { return static_cast<uint32_t>(in.head_pt.size()); });
}
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* h) {
  return field(h, static_cast<const double*>(nullptr), [](const auto& in) { return in.c_canon.data(); });
}
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* h) {
  return field(h, static_cast<const int32_t*>(nullptr), [](const auto& in) { return in.stamp.data(); });
}
LE_API const char* le_tessera_members_head_json(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.head_json.c_str(); });
}
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.manifest_json.c_str(); });
}
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.bank_track_path.c_str(); });
}
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.bank_container.c_str(); });
}
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.bank_codec.c_str(); });
}
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.bank_pix_fmt.c_str(); });
}
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* h) {
  return field(h, "", [](const auto& in) { return in.bank_packing.c_str(); });
}
LE_API int64_t le_tessera_members_band_bytes(const le_tessera_members* h) {
  return field(h, int64_t{0}, [](const auto& in) { return in.bandBytes(); });
}

LE_API int le_tessera_members_reorder(const le_tessera_members* h, const uint8_t* src, uint8_t* dst, char* err,
                                      size_t err_cap) {
  if (!h || !src || !dst) {
    writeCallerBuffer(err, err_cap, "le_tessera_members_reorder: null argument");
    return 1;
  }
  return intoBuffer("le_tessera_members_reorder", err, err_cap, 1, [&] {
    le::reorderTrackToDonor(h->in, src, dst);
    return 0;
  });
}

LE_API int le_tessera_members_decode_bank(const le_tessera_members* h, uint8_t* dst, char* err, size_t err_cap) {
  if (!h || !dst) {
    writeCallerBuffer(err, err_cap, "le_tessera_members_decode_bank: null argument");
    return 1;
  }
  return intoBuffer("le_tessera_members_decode_bank", err, err_cap, 1, [&]() -> int {
                      const std::string track = le::tessera::readWholeFile(h->in.bank_track_path);
                      std::vector<int> order(h->in.track_order.begin(), h->in.track_order.end());
                      const std::vector<uint8_t> bands = le::tessera::decodeBankTrack(
                          reinterpret_cast<const uint8_t*>(track.data()), track.size(), h->in.n_donors,
                          h->in.band_h, h->in.band_w, order);
                      std::memcpy(dst, bands.data(), bands.size());
                      return 0;
                    });
}

LE_API void le_tessera_members_close(le_tessera_members* h) { delete h; }

}  // extern "C"
