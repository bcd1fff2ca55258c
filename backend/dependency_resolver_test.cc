#include "backend/dependency_resolver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend/sha256.h"
#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace {

namespace c = mirelund::engine::container;
using le::bundle_test::ScopedEnv;
using le::bundle_test::writeText;

std::vector<c::Dependency> parse(const std::string& s) { return c::parse_dependencies(s.data(), s.size()); }

// A scratch world: HOME, the models root and the stores all point into it,
// so nothing of the machine's own is found.
class ResolverTest : public ::testing::Test {
 protected:
  le::test::TempDir tmp_;
  ScopedEnv home_{"HOME", tmp_.path().c_str()};
  ScopedEnv root_{"MIRELUND_MODELS_ROOT", nullptr};
  ScopedEnv deps_{"MIRELUND_DEPS_DIR", nullptr};
  ScopedEnv named_{"MIRELUND_W2V_ONNX", nullptr};
  ScopedEnv w2v_{"W2V_ONNX", nullptr};
  ScopedEnv fp32_{"MIRELUND_AUDIO_ENCODER_FP32", nullptr};
  std::string self_ = tmp_.file("lib");
};

TEST_F(ResolverTest, AssetDirectoriesInOrder) {
  ScopedEnv root("MIRELUND_MODELS_ROOT", "/m");
  const std::vector<std::string> want = {self_,
                                         self_ + "/models",
                                         self_ + "/corvane2-resources",
                                         self_ + "/../share/mirelund",
                                         self_ + "/../share/mirelund/corvane2-resources",
                                         self_ + "/../models",
                                         "/m",
                                         "/m/corvane2-resources",
                                         "/opt/mirelund/models",
                                         "/usr/local/share/mirelund",
                                         "/usr/local/share/mirelund/corvane2-resources",
                                         tmp_.path() + "/.mirelund/models"};
  EXPECT_EQ(c::shared_asset_dirs(self_), want);
  ScopedEnv noHome("HOME", "");
  EXPECT_EQ(c::shared_asset_dirs("").front(), "/m");
  EXPECT_EQ(c::shared_asset_dirs("").back(), "/usr/local/share/mirelund/corvane2-resources");
  ScopedEnv store("MIRELUND_DEPS_DIR", "/s");
  EXPECT_EQ(c::dependency_store_dirs(), (std::vector<std::string>{"/s", "/opt/mirelund/deps"}));
}

TEST_F(ResolverTest, SharedEncoderSearchIgnoresADirectoryNamedByTheVariable) {
  writeText(self_ + "/models/notes.txt", "x");
  writeText(self_ + "/models/wav2vec2_fp32_8s.onnx", "enc");
  writeText(tmp_.file("late/audio_encoder_fp32.onnx"), "late");
  ScopedEnv root("MIRELUND_MODELS_ROOT", tmp_.file("late").c_str());
  ScopedEnv named("MIRELUND_W2V_ONNX", tmp_.file("late").c_str());  // a directory
  EXPECT_EQ(c::resolve_shared_audio_encoder(self_), self_ + "/models/wav2vec2_fp32_8s.onnx");
  ScopedEnv file("MIRELUND_W2V_ONNX", tmp_.file("late/audio_encoder_fp32.onnx").c_str());
  EXPECT_EQ(c::resolve_shared_audio_encoder(self_), tmp_.file("late/audio_encoder_fp32.onnx"));
  EXPECT_EQ(c::resolve_shared_audio_encoder(tmp_.file("nothing")), tmp_.file("late/audio_encoder_fp32.onnx"));
}

TEST_F(ResolverTest, EncoderFileNames) {
  for (const char* yes : {"wav2vec2_int8.onnx", "audio_encoder_fp32.onnx", "audio_encoder_fp16.onnx", "a2x_w2v.onnx",
                          "a2x_w2v.fp16.onnx", "wav2vec2_fp32_8s.onnx"})
    EXPECT_TRUE(c::is_audio_encoder_filename(yes)) << yes;
  for (const char* no : {"w2v.onnx", "wav2vec2_fp32.onnx", "audio_encoder_fp16_window_trunk.onnx", "a2x_w2v.onnx.bak",
                         "w2v_trunk32.onnx"})
    EXPECT_FALSE(c::is_audio_encoder_filename(no)) << no;
  EXPECT_TRUE(c::canonical_filenames("audio-encoder-int4").empty());
  EXPECT_EQ(c::canonical_filenames("audio-encoder-fp32").back(), "w2v.onnx");
}

TEST_F(ResolverTest, WindowPairsOnlyByPosition) {
  const std::string dir = tmp_.file("pair");
  writeText(dir + "/w2v_trunk32.onnx", "t");
  writeText(dir + "/audio_encoder_fp16_window_head.onnx", "h");
  std::string trunk, head;
  EXPECT_FALSE(c::window_pair_in(dir, trunk, head));
  writeText(dir + "/w2v_head32.onnx", "h");
  ASSERT_TRUE(c::window_pair_in(dir, trunk, head));
  EXPECT_EQ(trunk, dir + "/w2v_trunk32.onnx");
  EXPECT_EQ(head, dir + "/w2v_head32.onnx");
  writeText(dir + "/audio_encoder_fp16_window_trunk.onnx", "t");
  ASSERT_TRUE(c::window_pair_in(dir, trunk, head));
  EXPECT_EQ(trunk, dir + "/audio_encoder_fp16_window_trunk.onnx");
}

TEST_F(ResolverTest, WindowPairBesideTheEncoderComesFirst) {
  writeText(self_ + "/w2v_trunk32.onnx", "t");
  writeText(self_ + "/w2v_head32.onnx", "h");
  writeText(tmp_.file("enc/audio_encoder_fp16_window_trunk.onnx"), "t");
  writeText(tmp_.file("enc/audio_encoder_fp16_window_head.onnx"), "h");
  std::string trunk, head;
  EXPECT_FALSE(c::resolve_audio_encoder_window_pair(trunk, head, tmp_.file("nothing")));
  ASSERT_TRUE(c::resolve_audio_encoder_window_pair(trunk, head, self_));
  EXPECT_EQ(trunk, self_ + "/w2v_trunk32.onnx");
  ScopedEnv w2v("W2V_ONNX", tmp_.file("enc/audio_encoder_fp32.onnx").c_str());
  ASSERT_TRUE(c::resolve_audio_encoder_window_pair(trunk, head, self_));
  EXPECT_EQ(trunk, tmp_.file("enc/audio_encoder_fp16_window_trunk.onnx"));
  EXPECT_EQ(head, tmp_.file("enc/audio_encoder_fp16_window_head.onnx"));
}

TEST_F(ResolverTest, StoreLookupsByDigestFlatAndFannedOut) {
  const std::string store = tmp_.file("store");
  ScopedEnv deps("MIRELUND_DEPS_DIR", store.c_str());
  writeText(tmp_.file("payload"), "encoder bytes");
  const std::string digest = c::sha256_file_hex(tmp_.file("payload"));
  c::Dependency dep{"audio-encoder-fp32", digest, 13};
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), "");
  writeText(store + "/" + digest.substr(0, 2) + "/" + digest, "encoder bytes");
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), store + "/" + digest.substr(0, 2) + "/" + digest);
  writeText(store + "/" + digest, "encoder bytes");
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), store + "/" + digest);
  // A digest is a name inside the store, never a path out of it.
  writeText(tmp_.file("outside"), "x");
  c::Dependency hostile{"other", "../outside", 0};
  EXPECT_EQ(c::resolve_dependency(hostile, false, self_), "");
}

TEST_F(ResolverTest, VerificationRefusesAWrongDigest) {
  writeText(self_ + "/models/audio_encoder_fp32.onnx", "real bytes");
  writeText(tmp_.file("explicit.onnx"), "real bytes");
  const std::string good = c::sha256_file_hex(self_ + "/models/audio_encoder_fp32.onnx");
  const std::string wrong(64, 'a');
  c::Dependency dep{"audio-encoder-fp32", wrong, 0};
  EXPECT_EQ(c::resolve_dependency(dep, false, self_), self_ + "/models/audio_encoder_fp32.onnx");
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), "");
  dep.sha256 = good;
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), self_ + "/models/audio_encoder_fp32.onnx");
  ScopedEnv fp32("MIRELUND_AUDIO_ENCODER_FP32", tmp_.file("explicit.onnx").c_str());
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), tmp_.file("explicit.onnx"));
  dep.sha256 = wrong;
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), "");
  // A corrupted store file is refused when verifying, too.
  const std::string store = tmp_.file("store");
  ScopedEnv deps("MIRELUND_DEPS_DIR", store.c_str());
  writeText(store + "/" + good, "rotten bytes");
  dep.sha256 = good;
  EXPECT_EQ(c::resolve_dependency(dep, true, self_), tmp_.file("explicit.onnx"));
  EXPECT_EQ(c::resolve_dependency(dep, false, self_), store + "/" + good);
}

TEST(ParseDependencies, ReadsWellFormedArrays) {
  const auto deps = parse(
      "{\"x\": 1, \"dependencies\" :\n [ {\"id\": \"audio-encoder-fp16\", \"sha256\": \"ab\\\"c\", \"bytes\": 42,"
      " \"note\": null}, {\"sha256\": \"dropped\"}, {\"id\":\"audio-encoder-fp32\",\"bytes\":\"7\"} ]}");
  ASSERT_EQ(deps.size(), 2u);
  EXPECT_EQ(deps[0].id, "audio-encoder-fp16");
  EXPECT_EQ(deps[0].sha256, "ab\\\"c");  // escapes are kept as written
  EXPECT_EQ(deps[0].bytes, 42u);
  EXPECT_EQ(deps[1].bytes, 7u);
  c::Dependency pick;
  ASSERT_TRUE(c::find_audio_encoder(deps, "audio-encoder-fp32", pick));
  EXPECT_EQ(pick.id, "audio-encoder-fp32");
  ASSERT_TRUE(c::find_audio_encoder(deps, "", pick));
  EXPECT_EQ(pick.id, "audio-encoder-fp16");
  EXPECT_FALSE(c::find_audio_encoder({{"tokenizer", "", 0}}, "", pick));
}

TEST(ParseDependencies, MalformedTextEndsTheScanWithWhatWasCollected) {
  EXPECT_TRUE(parse("").empty());
  EXPECT_TRUE(c::parse_dependencies(nullptr, 5).empty());
  EXPECT_TRUE(parse("{\"dependencies\": {\"id\": \"a\"}}").empty());
  EXPECT_TRUE(parse("{\"dependencies\" \"id\"}").empty());
  EXPECT_TRUE(parse("{\"dependencies\": [ {\"id\": \"a\"").empty());
  EXPECT_TRUE(parse("{\"dependencies\": [ {\"id\": \"a").empty());
  EXPECT_TRUE(parse("{\"dependencies\": [ {\"id\": \"a\\").empty());
  EXPECT_TRUE(parse("{\"dependencies\": [ {id: \"a\"} ]").empty());
  EXPECT_EQ(parse("{\"dependencies\": [ {\"id\": \"a\"}, 7, {\"id\": \"b\"} ]").size(), 1u);
  // A nested value is beyond the scanner: its element is dropped and the scan ends.
  EXPECT_EQ(parse("{\"dependencies\": [ {\"id\": \"a\"}, {\"id\": \"b\", \"n\": {\"z\": 1}}, {\"id\": \"c\"} ]").size(), 1u);
  EXPECT_EQ(parse("{\"dependencies\": [ {\"id\": \"a\"}, {\"id\": \"b\" \"x\"} ]").size(), 1u);
  // Text past the given length is not read.
  const std::string s = "{\"dependencies\": [ {\"id\": \"a\"} ]}";
  EXPECT_TRUE(c::parse_dependencies(s.data(), s.size() - 8).empty());
}

}  // namespace
