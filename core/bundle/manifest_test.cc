#include "core/bundle/manifest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/bundle/bundle_test_util.h"
#include "tests/test_support.h"

namespace le {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using bundle_test::ScopedEnv;

// A complete manifest; `extra` is spliced in before the closing brace and
// `drop` removes one "key": value pair.
std::string manifestText(const std::string& extra = "", const std::string& drop = "") {
  std::string text =
      "{\n"
      "  \"format\": \"le-bundle-v0\",\n"
      "  \"agent\": \"ava-01\",\n"
      "  \"NT\": 48,\n"
      "  \"H\": 720,\n"
      "  \"W\": 1280,\n"
      "  \"M_src_w\": 1920,\n"
      "  \"M_src_h\": 1080,\n"
      "  \"crop\": 256,\n"
      "  \"amount\": 0.75,\n"
      "  \"sigma\": 1.5,\n"
      "  \"ksize\": 9,\n"
      "  \"frames\": 40\n";
  if (!drop.empty()) {
    size_t at = text.find("  \"" + drop + "\":");
    size_t end = text.find('\n', at);
    text.erase(at, end - at + 1);
    // Keep the JSON tidy: no comma may precede the closing brace.
    size_t last = text.rfind(",\n");
    if (last != std::string::npos && last + 2 == text.size()) text.erase(last, 1);
  }
  return text + extra + "}\n";
}

class ManifestTest : public ::testing::Test {
 protected:
  void write(const std::string& text) { test::writeFile(dir_.file("manifest.json"), text); }
  std::string loadError() {
    try {
      loadManifest(dir_.path());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  test::TempDir dir_;
  ScopedEnv msrc_{"CORVANE2_MSRC_MISSING_OK", nullptr};
};

TEST_F(ManifestTest, LoadsEveryField) {
  write(manifestText());
  test::writeFile(dir_.file("lip_template.v1.json"), std::string("{\"lips\": [1, 2]}"));
  Manifest m = loadManifest(dir_.path());
  EXPECT_EQ(m.dir, dir_.path());
  EXPECT_EQ(m.agent, "ava-01");
  EXPECT_EQ(m.NT, 48);
  EXPECT_EQ(m.H, 720);
  EXPECT_EQ(m.W, 1280);
  EXPECT_EQ(m.M_src_w, 1920);
  EXPECT_EQ(m.M_src_h, 1080);
  EXPECT_EQ(m.crop, 256);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 0.75f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 1.5f);
  EXPECT_EQ(m.unsharp.ksize, 9);
  EXPECT_EQ(m.frames, 40);
  EXPECT_EQ(m.lipTemplateJson, "{\"lips\": [1, 2]}");
}

TEST_F(ManifestTest, MissingLipTemplateIsNotAFailure) {
  write(manifestText());
  EXPECT_EQ(loadManifest(dir_.path()).lipTemplateJson, "");
}

TEST_F(ManifestTest, NestedBlockNeverShadowsTheRootValue) {
  write(manifestText(",  \"tessera\": {\"W\": 96, \"frames\": 3, \"crop\": 64}\n"));
  Manifest m = loadManifest(dir_.path());
  EXPECT_EQ(m.W, 1280);
  EXPECT_EQ(m.frames, 40);
  EXPECT_EQ(m.crop, 256);
}

TEST_F(ManifestTest, AmbiguousRootKeyIsRefused) {
  write(manifestText(",  \"H\": 480\n"));
  EXPECT_THAT(loadError(), StartsWith("manifest: key \"H\" is AMBIGUOUS"));
}

TEST_F(ManifestTest, NumericFallbackKeys) {
  write(manifestText(",  \"frame_count\": 30, \"crop_size\": 128, \"paste_source_width\": 640\n", "NT"));
  Manifest m = loadManifest(dir_.path());
  EXPECT_EQ(m.NT, 30);
  EXPECT_EQ(m.crop, 256);      // "crop" present: first form wins
  EXPECT_EQ(m.M_src_w, 1920);  // likewise for the stamp
  std::string noCrop = manifestText(",  \"crop_size\": 128, \"paste_source_height\": 600\n", "crop");
  size_t at = noCrop.find("  \"M_src_h\": 1080,\n");
  noCrop.erase(at, std::string("  \"M_src_h\": 1080,\n").size());
  write(noCrop);
  m = loadManifest(dir_.path());
  EXPECT_EQ(m.crop, 128);
  EXPECT_EQ(m.M_src_h, 600);
}

TEST_F(ManifestTest, RefusalsCarryTheirMessages) {
  write(manifestText("", "W"));
  EXPECT_EQ(loadError(), "manifest: missing key W");
  write(manifestText("", "NT"));
  EXPECT_EQ(loadError(), "manifest: missing key NT/frame_count");
  // A number written as a string reads as 0.
  std::string text = manifestText();
  text.replace(text.find("\"NT\": 48"), 8, "\"NT\": \"48\"");
  write(text);
  EXPECT_EQ(loadError(), "manifest: bad dims");
  text = manifestText();
  text.replace(text.find("\"le-bundle-v0\""), 14, "0");
  write(text);
  EXPECT_EQ(loadError(), "not an le-bundle-v0: " + dir_.path());
  write(manifestText(",  \"agent\": 7\n", "agent"));  // no quote follows the number
  EXPECT_EQ(loadError(), "manifest: bad string agent");
  text = manifestText();
  text.replace(text.find("\"M_src_h\": 1080"), 15, "\"M_src_h\": 0");
  write(text);
  EXPECT_EQ(loadError(), "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  test::TempDir empty;
  try {
    loadManifest(empty.path());
    FAIL() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open " + empty.path() + "/manifest.json");
  }
}

TEST_F(ManifestTest, NumbersOutsideTheFieldTypeAreRefused) {
  std::string text = manifestText();
  text.replace(text.find("\"W\": 1280"), 9, "\"W\": 1e300");
  write(text);
  EXPECT_THAT(loadError(), HasSubstr("\"W\" holds 1.0000000000000001e+300, which does not fit a 32-bit integer"));
  text = manifestText();
  text.replace(text.find("\"sigma\": 1.5"), 12, "\"sigma\": 1e39");
  write(text);
  EXPECT_THAT(loadError(), HasSubstr("\"sigma\" holds"));
  // Truncation toward zero inside the range.
  text = manifestText();
  text.replace(text.find("\"H\": 720"), 8, "\"H\": 720.9");
  write(text);
  EXPECT_EQ(loadManifest(dir_.path()).H, 720);
}

TEST_F(ManifestTest, MissingPasteSpaceStampNeedsTheExactEscape) {
  std::string text = manifestText("", "M_src_w");
  write(text);
  const std::string refusal =
      dir_.path() +
      "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
      "\xE2\x80\x94 the canvas is 1280x720, so M cannot be placed: absence is not evidence that M was "
      "authored at that size. Re-stamp the bundle (models/corvane-2/inference/backfill_msrc.py), or set "
      "CORVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption.";
  EXPECT_EQ(loadError(), refusal);
  for (const char* v : {"1 ", "true", "", "01"}) {
    ScopedEnv env("CORVANE2_MSRC_MISSING_OK", v);
    EXPECT_EQ(loadError(), refusal) << "value '" << v << "'";
  }
  ScopedEnv env("CORVANE2_MSRC_MISSING_OK", "1");
  Manifest m = loadManifest(dir_.path());
  EXPECT_EQ(m.M_src_w, 1280);
  EXPECT_EQ(m.M_src_h, 720);
}

TEST_F(ManifestTest, ModelPathsFindCanonicalBatchNames) {
  write(manifestText());
  test::writeFile(dir_.file("render_model.batch8.int8.onnx"), std::string("x"));
  Manifest m = loadManifest(dir_.path());
  EXPECT_EQ(m.modelPath("b8_int8"), dir_.path() + "/render_model.batch8.int8.onnx");
  EXPECT_EQ(m.modelPath("director"), dir_.path() + "/model_director.onnx");
}

TEST(CoremlCacheDirTest, CarriesTheRuntimeVersion) {
  std::string d = coremlCacheDir("/b");
  EXPECT_THAT(d, StartsWith("/b/.coreml_cache/ort"));
  EXPECT_GT(d.size(), std::string("/b/.coreml_cache/ort").size());
  EXPECT_THAT(d, ::testing::Not(HasSubstr("unknown")));
}

}  // namespace
}  // namespace le
