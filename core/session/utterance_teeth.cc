#include "core/session/utterance_teeth.h"

#include <stdexcept>

#include "core/session/context.h"
#include "core/session/utterance_pipeline.h"
#include "core/tessera/geometry_stamp.h"
#include "core/tessera/stream_borrow.h"

namespace le {
namespace {

// The stream borrow behind the pipeline's teeth stage. Skipped frames keep
// their own mouth: the write-back leaves their crop untouched.
class BorrowPort final : public TeethPort {
 public:
  BorrowPort(std::unique_ptr<tessera::StreamBorrow> borrow, int side) : borrow_(std::move(borrow)), side_(side) {}
  void setStopCheck(std::function<bool()> check) override { borrow_->setStopCheck(std::move(check)); }
  bool push(const float* crop, const float* kp) override {
    try {
      return borrow_->push(crop, kp, &result_);
    } catch (const tessera::TeethPass::Stopped& e) {
      throw TeethStopped(e.what());
    }
  }
  bool flush() override {
    try {
      return borrow_->flush(&result_);
    } catch (const tessera::TeethPass::Stopped& e) {
      throw TeethStopped(e.what());
    }
  }
  bool discard() override { return borrow_->discard(); }
  // A result that is not skipped but cannot be written back is a failed one.
  bool failed(std::string* message) const override {
    if (result_.skipped) return false;
    *message = tessera::StreamBorrow::windowProblem(side_, result_, borrow_->stamp());
    return !message->empty();
  }
  bool compose(float* crop) override {
    if (result_.skipped) return false;
    tessera::StreamBorrow::writeWindowDelta(crop, side_, result_, borrow_->stamp());
    return true;
  }
  bool synthWeight(double* weight) const override {
    if (result_.skipped) return false;
    *weight = result_.keep_mean;
    return true;
  }

 private:
  std::unique_ptr<tessera::StreamBorrow> borrow_;
  int side_;
  tessera::FrameResult result_;
};

}  // namespace

std::unique_ptr<TeethPort> makeUtteranceTeeth(UtterancePipeline& pipeline, const TeethAttachInputs& in,
                                              std::string* geometry) {
  const tessera::GeometryStamp stamp = tessera::GeometryStamp::fromArray(in.stamp);
  try {
    stamp.validate();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("le_utt_tessera_attach: ") + e.what());
  }
  if (stamp.canvas_w != pipeline.crop())
    throw std::runtime_error("le_utt_tessera_attach: bank canvas " + std::to_string(stamp.canvas_w) +
                             " != this bundle's render crop " + std::to_string(pipeline.crop()));
  if (!pipeline.hasXsTarget())
    throw std::runtime_error(
        "le_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame "
        "cannot be identified — refusing to arm the borrow against the manifest's compose-field geometry");
  try {
    tessera::StreamBorrowBuild built = tessera::makeStreamBorrow(
        in.bands, in.nDonors, in.cent, in.cCanon, in.aperture, in.stamp, in.headPt, size_t(in.headPtLen),
        in.headJson, in.manifestJson, pipeline.xsTarget().data(), pipeline.NT(),
        pipeline.context()->manifest.lipTemplateJson);
    *geometry = built.geometry;
    return std::make_unique<BorrowPort>(std::move(built.borrow), stamp.canvas_w);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("le_utt_tessera_attach: ") + e.what());
  }
}

}  // namespace le
