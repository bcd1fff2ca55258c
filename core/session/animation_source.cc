#include "core/session/animation_source.h"

#include <fstream>

#include "core/bundle/member_names.h"
#include "le/le_a2x.h"

namespace le {
namespace {

class A2xSource final : public AnimationSource {
 public:
  explicit A2xSource(le_a2x* a) : a_(a) {}
  ~A2xSource() override { le_a2x_destroy(a_); }
  void setEager(int eager) override { le_a2x_set_eager(a_, eager); }
  void reset(int start) override { le_a2x_reset(a_, start, 1, 1); }
  bool push(const float* samples, int n) override { return le_a2x_push(a_, samples, n) == 1; }
  void finish() override { le_a2x_finish(a_); }
  int avail() override { return le_a2x_avail(a_); }
  int pull(int32_t* idx, float* xs, float* xd, int max) override { return le_a2x_pull(a_, idx, xs, xd, max); }
  int total() override { return le_a2x_total(a_); }
  std::string error() const override { return le_a2x_last_error(); }

 private:
  le_a2x* a_;
};

class MotionSource final : public AnimationSource {
 public:
  explicit MotionSource(le_motion* m) : m_(m) {}
  ~MotionSource() override { le_motion_destroy(m_); }
  void setEager(int eager) override { le_motion_set_eager(m_, eager); }
  void reset(int start) override { le_motion_reset(m_, start, 1, 1); }
  bool push(const float* samples, int n) override { return le_motion_push(m_, samples, n) == 1; }
  void finish() override { le_motion_finish(m_); }
  int avail() override { return le_motion_avail(m_); }
  int pull(int32_t* idx, float* xs, float* xd, int max) override { return le_motion_pull(m_, idx, xs, xd, max); }
  int total() override { return le_motion_total(m_); }
  std::string error() const override { return le_motion_last_error(); }

 private:
  le_motion* m_;
};

}  // namespace

bool motionDirIsA2x(const std::string& motionDir) {
  return std::ifstream(resolveMember(motionDir, "a2x_enc_stream.onnx")).good();
}

std::unique_ptr<AnimationSource> openAnimationSource(bool a2x, const std::string& motionDir, int workers,
                                                     const std::string& ep, std::string* error) {
  if (a2x) {
    le_a2x* a = le_a2x_create(motionDir.c_str(), workers);
    if (!a) {
      *error = le_a2x_last_error();
      return nullptr;
    }
    return std::make_unique<A2xSource>(a);
  }
  le_motion* m = le_motion_create(motionDir.c_str(), workers, ep.c_str());
  if (!m) {
    *error = le_motion_last_error();
    return nullptr;
  }
  return std::make_unique<MotionSource>(m);
}

}  // namespace le
