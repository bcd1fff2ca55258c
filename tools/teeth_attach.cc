#include "tools/teeth_attach.h"

#include <memory>
#include <stdexcept>
#include <vector>

namespace le::tools {
namespace {

struct CarriageCloser {
  void operator()(le_tessera_carriage* c) const { le_tessera_carriage_close(c); }
};
struct MembersCloser {
  void operator()(le_tessera_members* m) const { le_tessera_members_close(m); }
};

}  // namespace

TeethAttach attachTeeth(le_utt* utt, const std::string& bundle) {
  {
    std::unique_ptr<le_tessera_carriage, CarriageCloser> carriage(le_tessera_carriage_open(bundle.c_str()));
    if (!carriage) throw std::runtime_error("Cannot look for the teeth members of " + bundle + ".");
    if (le_tessera_carriage_missing_count(carriage.get()) == le_tessera_slot_count())
      return {false, "teeth: none (the bundle carries no teeth members)"};
  }
  char err[2048] = {0};
  std::unique_ptr<le_tessera_members, MembersCloser> m(le_tessera_members_open(bundle.c_str(), err, sizeof err));
  if (!m) throw std::runtime_error("Cannot load the teeth members of " + bundle + ": " + err);
  const int64_t bytes = le_tessera_members_band_bytes(m.get());
  if (bytes <= 0) throw std::runtime_error("The teeth bank of " + bundle + " holds no reference bands.");
  std::vector<uint8_t> bands(static_cast<size_t>(bytes));
  if (le_tessera_members_decode_bank(m.get(), bands.data(), err, sizeof err) != 0)
    throw std::runtime_error("Cannot decode the teeth bank of " + bundle + ": " + err);
  const int donors = le_tessera_members_n_donors(m.get());
  if (le_utt_tessera_attach(utt, bands.data(), donors, le_tessera_members_cent(m.get()),
                            le_tessera_members_c_canon(m.get()), le_tessera_members_aperture(m.get()),
                            le_tessera_members_stamp(m.get()), le_tessera_members_head_pt(m.get()),
                            int(le_tessera_members_head_pt_len(m.get())), le_tessera_members_head_json(m.get()),
                            le_tessera_members_manifest_json(m.get()), err, int(sizeof err)) != 0)
    throw std::runtime_error("Cannot attach the teeth of " + bundle + ": " + err);
  char geometry[64] = {0};
  le_utt_tessera_geometry(utt, geometry, int(sizeof geometry));
  return {true, "teeth: borrowed (" + std::to_string(donors) + " donors, geometry " + geometry + ")"};
}

std::string teethOutcome(le_utt* utt) {
  int64_t composed = 0, failed = 0;
  char msg[512] = {0};
  const int r = le_utt_tessera_stats(utt, &composed, &failed, msg, int(sizeof msg));
  std::string out = std::to_string(composed) + " frames composed";
  if (r < 0) out += ", then the pass failed: " + std::string(msg);
  return out;
}

}  // namespace le::tools
