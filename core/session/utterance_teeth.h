// Builds the borrowed-teeth pass an utterance pipeline attaches, from the
// contents of a loaded tessera members handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/session/teeth_port.h"

namespace le {

class UtterancePipeline;

struct TeethAttachInputs {
  const uint8_t* bands;  // n_donors x band_h x band_w x 3, donor order
  int nDonors;
  const double* cent;      // 2 x n_donors
  const double* cCanon;    // 2
  const double* aperture;  // n_donors
  const int32_t* stamp;    // 12
  const uint8_t* headPt;
  int headPtLen;
  const char* headJson;
  const char* manifestJson;
};

// Checks the inputs against the pipeline's bundle and builds the pass;
// *geometry receives the mouth-geometry text. Throws std::runtime_error with
// the attach call's message.
std::unique_ptr<TeethPort> makeUtteranceTeeth(UtterancePipeline& pipeline, const TeethAttachInputs& in,
                                              std::string* geometry);

}  // namespace le
