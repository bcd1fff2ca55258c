// Borrowed teeth for hosts that drive the engine through its C functions:
// attaches a bundle's teeth pass to an utterance pipeline when the bundle
// carries the members, and says what happened in one line.
#pragma once

#include <string>

#include "le/le.h"

namespace le::tools {

struct TeethAttach {
  bool attached = false;
  std::string status;  // e.g. "teeth: borrowed (1024 donors, geometry v1)"
};

// Attaches the pass when `bundle` carries all four teeth members; a bundle
// without any gets attached = false and says so. Throws std::runtime_error
// naming the bundle when it carries members that do not load or attach.
TeethAttach attachTeeth(le_utt* utt, const std::string& bundle);

// "<n> frames composed", with the pass's failure when it stopped.
std::string teethOutcome(le_utt* utt);

}  // namespace le::tools
