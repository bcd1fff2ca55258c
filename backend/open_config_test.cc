#include "backend/open_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "backend/options_scan.h"
#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace {

namespace e = mirelund::engine;
using le::bundle_test::ScopedEnv;
using le::bundle_test::writeText;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "(unset)";
}

TEST(OpenConfig, ModelKeyChoice) {
  le::test::TempDir b;
  writeText(b.file("manifest.json"), "{}");
  EXPECT_EQ(e::chooseModelKey(b.path(), nullptr), "b1_int8");
  writeText(b.file("model_b24_fp32.onnx"), "m");
  EXPECT_EQ(e::chooseModelKey(b.path(), nullptr), "b24_fp32");
  EXPECT_EQ(e::chooseModelKey(b.path(), "render"), "b24_fp32");  // not in the bundle
  EXPECT_EQ(e::chooseModelKey(b.path(), ""), "b24_fp32");
  // Canonical member names count: model_b1_fp32.onnx may be carried as render_model.batch1.fp32.onnx.
  writeText(b.file("render_model.batch1.fp32.onnx"), "m");
  EXPECT_EQ(e::chooseModelKey(b.path(), nullptr), "b1_fp32");
  writeText(b.file("model_render.onnx"), "m");
  EXPECT_EQ(e::chooseModelKey(b.path(), "render"), "render");
}

TEST(OpenConfig, ThreadRule) {
  ScopedEnv a("MIRELUND_CORVANE2_THREADS", nullptr);
  ScopedEnv b("MIRELUND_C2L_THREADS", nullptr);
  EXPECT_EQ(e::threadsForHardware(0), 2);
  EXPECT_EQ(e::threadsForHardware(2), 2);
  EXPECT_EQ(e::threadsForHardware(3), 2);
  EXPECT_EQ(e::threadsForHardware(4), 2);
  EXPECT_EQ(e::threadsForHardware(8), 4);
  EXPECT_EQ(e::threadsForHardware(9), 4);
  EXPECT_EQ(e::threadsForHardware(16), 4);
  be_engine_open_options o{};
  o.threads = 3;
  EXPECT_EQ(e::chooseThreadCount(&o, 16), 3);
  o.threads = 0;
  EXPECT_EQ(e::chooseThreadCount(&o, 8), 4);
  {
    ScopedEnv zero("MIRELUND_CORVANE2_THREADS", "0");
    EXPECT_EQ(e::chooseThreadCount(nullptr, 8), 4);
    EXPECT_EQ(e::chooseThreadCount(nullptr, 16), 4);
    EXPECT_EQ(e::chooseThreadCount(nullptr, 2), 2);
  }
  ScopedEnv old("MIRELUND_C2L_THREADS", "6");
  testing::internal::CaptureStderr();
  EXPECT_EQ(e::chooseThreadCount(nullptr, 2), 6);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[corvane-2] DEPRECATED env MIRELUND_C2L_THREADS \xE2\x80\x94 use MIRELUND_CORVANE2_THREADS\n");
  ScopedEnv now("MIRELUND_CORVANE2_THREADS", "5");
  testing::internal::CaptureStderr();
  EXPECT_EQ(e::chooseThreadCount(nullptr, 2), 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OpenConfig, ProducerMode) {
  ScopedEnv a("MIRELUND_CORVANE2_PRODUCER", nullptr);
  ScopedEnv b("MIRELUND_C2L_PRODUCER", nullptr);
  EXPECT_FALSE(e::utteranceProducerSelected());
  {
    ScopedEnv u("MIRELUND_CORVANE2_PRODUCER", "utterance");
    EXPECT_TRUE(e::utteranceProducerSelected());
  }
  {
    ScopedEnv u("MIRELUND_CORVANE2_PRODUCER", "direct");
    EXPECT_FALSE(e::utteranceProducerSelected());
  }
  ScopedEnv u("MIRELUND_C2L_PRODUCER", "utt");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(e::utteranceProducerSelected());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[corvane-2] DEPRECATED env MIRELUND_C2L_PRODUCER \xE2\x80\x94 use MIRELUND_CORVANE2_PRODUCER\n"
            "[corvane-2] DEPRECATED producer value \"utt\" \xE2\x80\x94 use \"utterance\"\n");
}

TEST(OpenConfig, TeethUnlessTurnedOff) {
  for (const char* v : {static_cast<const char*>(nullptr), "", "1", "yes"}) {
    ScopedEnv t("MIRELUND_CORVANE2_TEETH", v);
    EXPECT_TRUE(e::teethSelected()) << (v ? v : "unset");
  }
  ScopedEnv off("MIRELUND_CORVANE2_TEETH", "0");
  EXPECT_FALSE(e::teethSelected());
}

// The variables open may publish, cleared for the test and restored after.
struct CleanEngineEnv {
  le::test::TempDir tmp;
  ScopedEnv home{"HOME", tmp.path().c_str()};
  ScopedEnv root{"MIRELUND_MODELS_ROOT", nullptr};
  ScopedEnv named{"MIRELUND_W2V_ONNX", nullptr};
  ScopedEnv w2v{"W2V_ONNX", nullptr};
  ScopedEnv win{"LE_A2X_W2V_WIN_ONNX", nullptr};
  ScopedEnv head{"LE_A2X_W2V_HEAD_ONNX", nullptr};
  ScopedEnv fast{"LE_GS_FAST", nullptr};
  ScopedEnv rewrite{"LE_GS_REWRITE", nullptr};
  ScopedEnv mfast{"MIRELUND_CORVANE2_GRIDSAMPLE_FAST", nullptr};
  ScopedEnv mrewrite{"MIRELUND_CORVANE2_GRIDSAMPLE_REWRITE", nullptr};
};

TEST(OpenConfig, PublishesEncoderPairAndSwitchesWithoutOverwritingAndTakesThemBack) {
  CleanEngineEnv clean;
  const std::string self = clean.tmp.file("lib");
  writeText(self + "/audio_encoder_fp32.onnx", "enc");
  writeText(self + "/audio_encoder_fp16_window_trunk.onnx", "t");
  writeText(self + "/audio_encoder_fp16_window_head.onnx", "h");
  ScopedEnv fast("MIRELUND_CORVANE2_GRIDSAMPLE_FAST", "1");
  ScopedEnv rewrite("LE_GS_REWRITE", "0");
  ScopedEnv mrewrite("MIRELUND_CORVANE2_GRIDSAMPLE_REWRITE", "1");
  e::EnvPublisher pub;
  e::publishEngineEnvironment(self, pub);
  EXPECT_EQ(env("W2V_ONNX"), self + "/audio_encoder_fp32.onnx");
  EXPECT_EQ(env("LE_GS_FAST"), "1");
  EXPECT_EQ(env("LE_GS_REWRITE"), "0");  // already set: kept
  EXPECT_EQ(env("LE_A2X_W2V_WIN_ONNX"), self + "/audio_encoder_fp16_window_trunk.onnx");
  EXPECT_EQ(env("LE_A2X_W2V_HEAD_ONNX"), self + "/audio_encoder_fp16_window_head.onnx");
  EXPECT_EQ(pub.published().size(), 4u);
  pub.rollback();
  EXPECT_EQ(env("W2V_ONNX"), "(unset)");
  EXPECT_EQ(env("LE_GS_FAST"), "(unset)");
  EXPECT_EQ(env("LE_GS_REWRITE"), "0");
  EXPECT_EQ(env("LE_A2X_W2V_HEAD_ONNX"), "(unset)");
}

TEST(OpenConfig, HalfSetWindowPairIsNeverCompleted) {
  CleanEngineEnv clean;
  const std::string self = clean.tmp.file("lib");
  writeText(self + "/w2v_trunk32.onnx", "t");
  writeText(self + "/w2v_head32.onnx", "h");
  ScopedEnv win("LE_A2X_W2V_WIN_ONNX", "/elsewhere/trunk.onnx");
  e::EnvPublisher pub;
  e::publishEngineEnvironment(self, pub);
  EXPECT_EQ(env("LE_A2X_W2V_WIN_ONNX"), "/elsewhere/trunk.onnx");
  EXPECT_EQ(env("LE_A2X_W2V_HEAD_ONNX"), "(unset)");
}

TEST(OpenConfig, MissingWindowPairPrintsTheFallbackNotice) {
  CleanEngineEnv clean;
  e::EnvPublisher pub;
  testing::internal::CaptureStderr();
  e::publishEngineEnvironment(clean.tmp.file("lib"), pub);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[corvane2-light] MIRELUND_AUDIO_ENCODER_WINDOW_FALLBACK: the short-window", 0), 0u) << err;
  EXPECT_TRUE(pub.published().empty());
}

TEST(OpenConfig, PluginDirectoryIsThisProgramsDirectory) {
  const std::string dir = e::pluginDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back() == '/', false);
  EXPECT_NE(dir.find("/backend"), std::string::npos) << dir;
}

TEST(RendererOptions, ScansThreeKeys) {
  auto o = e::scanRendererOptions("{\"prefer_gpu\": true, \"model_key\" : \"b24_fp32\", \"threads\":\t 3}");
  EXPECT_TRUE(o.preferGpu);
  EXPECT_EQ(o.modelKey, "b24_fp32");
  EXPECT_EQ(o.threads, 3);
  o = e::scanRendererOptions("{\"prefer_gpu\": false, \"model_key\": \"\", \"threads\": \"x\"}");
  EXPECT_FALSE(o.preferGpu);
  EXPECT_EQ(o.modelKey, "");
  EXPECT_EQ(o.threads, 0);
  o = e::scanRendererOptions("{\"model_key\": \"unterminated");
  EXPECT_EQ(o.modelKey, "");
  o = e::scanRendererOptions("{\"threads\": 99999999999999999999}");
  EXPECT_EQ(o.threads, 2147483647);
  o = e::scanRendererOptions(nullptr);
  EXPECT_FALSE(o.preferGpu);
  // Keys are found by name anywhere, even nested: the scanner is not a parser.
  o = e::scanRendererOptions("{\"x\": {\"threads\": 2}}");
  EXPECT_EQ(o.threads, 2);
}

}  // namespace
