// The stream runner on the tiny bundle: frame counts, order, the idle loop's
// own keypoints at scale 0, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "le/le.h"
#include "tests/test_support.h"

namespace {

using le::test::bundlePath;

struct Collected {
  std::vector<int> order;
  std::vector<std::vector<uint8_t>> frames;
};

void collect(void* user, int index, const uint8_t* rgb, int w, int h) {
  auto* c = static_cast<Collected*>(user);
  c->order.push_back(index);
  c->frames.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
}

struct StreamDeleter {
  void operator()(le_stream* s) const { le_stream_destroy(s); }
};
using Stream = std::unique_ptr<le_stream, StreamDeleter>;

std::string encoder() { return le::test::dataDir() + "/speech/audio_encoder_fp32.onnx"; }

// A loud, syllable-like test signal: bursts of a 200 Hz tone.
std::vector<float> speechLike(int n) {
  std::vector<float> s(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    s[size_t(i)] = ((i / 2400) % 2 ? 0.5f : 0.02f) * std::sin(2.0f * 3.14159265f * 200.0f * float(i) / 16000.0f);
  return s;
}

TEST(StreamRunner, DeliversEveryFrameOnceInOrder) {
  Stream s(le_stream_create(bundlePath("tiny").c_str(), encoder().c_str(), 1, 0, 1.0f));
  ASSERT_TRUE(s) << le_stream_last_error();
  EXPECT_GT(le_stream_width(s.get()), 0);
  EXPECT_GT(le_stream_height(s.get()), 0);
  Collected c;
  EXPECT_EQ(le_stream_run(s.get(), nullptr, 0, collect, &c), 0);
  EXPECT_TRUE(c.order.empty());
  const std::vector<float> pcm = speechLike(640 * 30 + 1);
  EXPECT_EQ(le_stream_run(s.get(), pcm.data(), 1, collect, &c), 1);
  EXPECT_EQ(c.order, std::vector<int>{0});
  c = Collected();
  EXPECT_EQ(le_stream_run(s.get(), pcm.data(), int(pcm.size()), collect, &c), 31);
  ASSERT_EQ(c.order.size(), 31u);
  for (int i = 0; i < 31; ++i) EXPECT_EQ(c.order[size_t(i)], i);
  // The adapter moves the face: not every frame equals the one before.
  int changed = 0;
  for (size_t i = 1; i < c.frames.size(); ++i) changed += c.frames[i] != c.frames[i - 1];
  EXPECT_GT(changed, 0);
}

TEST(StreamRunner, SkipDropsLeadingFrames) {
  Stream s(le_stream_create(bundlePath("tiny").c_str(), encoder().c_str(), 1, 5, 1.0f));
  ASSERT_TRUE(s) << le_stream_last_error();
  const std::vector<float> pcm = speechLike(640 * 8);
  Collected c;
  EXPECT_EQ(le_stream_run(s.get(), pcm.data(), int(pcm.size()), collect, &c), 3);
  EXPECT_EQ(c.order, (std::vector<int>{0, 1, 2}));
  Collected none;
  EXPECT_EQ(le_stream_run(s.get(), pcm.data(), 640 * 5, collect, &none), 0);
  EXPECT_TRUE(none.order.empty());
}

TEST(StreamRunner, ScaleZeroPlaysTheIdleLoop) {
  const std::string bundle = bundlePath("tiny");
  Stream s(le_stream_create(bundle.c_str(), encoder().c_str(), 1, 2, 0.0f));
  ASSERT_TRUE(s) << le_stream_last_error();
  const std::vector<float> pcm = speechLike(640 * 20);
  Collected c;
  ASSERT_EQ(le_stream_run(s.get(), pcm.data(), int(pcm.size()), collect, &c), 18);
  le_ctx* ctx = le_create(bundle.c_str(), "render", 1, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const int nt = le_nt(ctx);
  const std::vector<unsigned char> raw = le::test::readFile(bundle + "/xs_target.bin");
  ASSERT_EQ(raw.size(), size_t(nt) * 63 * 4);
  const float* xs = reinterpret_cast<const float*>(raw.data());
  std::vector<uint8_t> expect(c.frames[0].size());
  for (int k = 0; k < 18; ++k) {
    const int src = (k + 2) % nt;
    ASSERT_NE(le_render_kp_crop(ctx, src, xs + src * 63, xs + src * 63), nullptr);
    ASSERT_EQ(le_paste_crop(ctx, src, le_render_kp_crop(ctx, src, xs + src * 63, xs + src * 63), expect.data(),
                            expect.size()),
              1);
    EXPECT_TRUE(c.frames[size_t(k)] == expect) << "frame " << k;
  }
  le_destroy(ctx);
}

TEST(StreamRunner, RefusesWhatItCannotRun) {
  le::test::TempDir tmp;
  const std::string copy = tmp.file("b");
  ASSERT_EQ(le::test::runCommand("cp -r '" + bundlePath("tiny") + "' '" + copy + "'"), 0);
  ASSERT_EQ(le::test::runCommand("rm '" + copy + "/fca_stream.onnx'"), 0);
  EXPECT_EQ(le_stream_create(copy.c_str(), encoder().c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()).rfind("le_fca_create: ", 0), 0u) << le_stream_last_error();

  EXPECT_EQ(le_stream_create(tmp.file("none").c_str(), encoder().c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()).rfind("le_create: ", 0), 0u) << le_stream_last_error();

  // A negative skip would read before the first frame's deltas.
  for (const int skip : {-3, -100000000}) {
    EXPECT_EQ(le_stream_create(bundlePath("tiny").c_str(), encoder().c_str(), 1, skip, 1.0f), nullptr);
    EXPECT_EQ(std::string(le_stream_last_error()),
              "le_stream_create: skip " + std::to_string(skip) + " is negative; it counts leading frames to drop");
  }

  // A director that cannot be loaded fails the run, not the process.
  ASSERT_EQ(le::test::runCommand("cp -r '" + bundlePath("tiny") + "' '" + tmp.file("c") + "'"), 0);
  le::test::writeFile(tmp.file("c") + "/model_render.onnx", std::string("not a model"));
  Stream s(le_stream_create(tmp.file("c").c_str(), encoder().c_str(), 1, 0, 1.0f));
  ASSERT_TRUE(s) << le_stream_last_error();
  const std::vector<float> pcm = speechLike(640 * 12);
  Collected c;
  EXPECT_EQ(le_stream_run(s.get(), pcm.data(), int(pcm.size()), collect, &c), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_TRUE(c.order.empty());
}

}  // namespace
