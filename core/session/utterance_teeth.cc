#include "core/session/utterance_teeth.h"

#include <stdexcept>

#include "core/session/utterance_pipeline.h"

namespace le {

std::unique_ptr<TeethPort> makeUtteranceTeeth(UtterancePipeline& pipeline, const TeethAttachInputs& in,
                                              std::string* geometry) {
  (void)geometry;
  const int canvas = in.stamp[0];
  if (canvas != pipeline.crop())
    throw std::runtime_error("le_utt_tessera_attach: bank canvas " + std::to_string(canvas) +
                             " != this bundle's render crop " + std::to_string(pipeline.crop()));
  if (!pipeline.hasXsTarget())
    throw std::runtime_error(
        "le_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame "
        "cannot be identified — refusing to arm the borrow against the manifest's compose-field geometry");
  throw std::runtime_error("le_utt_tessera_attach: the borrowed-teeth pass is not built into this library");
}

}  // namespace le
