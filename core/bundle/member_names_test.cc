#include "core/bundle/member_names.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace le {
namespace {

TEST(MemberNamesTest, CanonicalNames) {
  EXPECT_EQ(canonicalMember("P.f16"), "source_frames.f16");
  EXPECT_EQ(canonicalMember("P_hevc.mov"), "source_frames.hevc");
  EXPECT_EQ(canonicalMember("a2x_enc_stream.onnx"), "audio_motion_encoder.onnx");
  EXPECT_EQ(canonicalMember("a2x_dec.onnx"), "audio_motion_decoder.onnx");
  EXPECT_EQ(canonicalMember("M.f32"), "paste_transform.f32");
  EXPECT_EQ(canonicalMember("mask_512.u8"), "paste_mask.u8");
  EXPECT_EQ(canonicalMember("pooled64.f16"), "pooled_features.f16");
  EXPECT_EQ(canonicalMember("fs_red.f16"), "feature_synth.f16");
  EXPECT_EQ(canonicalMember("xs_target.bin"), "target_keypoints.bin");
  EXPECT_EQ(canonicalMember("manifest.json"), "manifest.json");
  EXPECT_EQ(canonicalMember("P.f32"), "P.f32");
}

TEST(MemberNamesTest, BatchModelPattern) {
  EXPECT_EQ(canonicalMember("model_b4.onnx"), "render_model.batch4.onnx");
  EXPECT_EQ(canonicalMember("model_b4_int8.onnx"), "render_model.batch4.int8.onnx");
  EXPECT_EQ(canonicalMember("model_b4_int8_x.onnx"), "render_model.batch4.int8_x.onnx");
  EXPECT_EQ(canonicalMember("model_b_.onnx"), "render_model.batch.onnx");
  // Not longer than prefix + suffix: no mapping.
  EXPECT_EQ(canonicalMember("model_b.onnx"), "model_b.onnx");
  EXPECT_EQ(canonicalMember("model_base.onnx"), "render_model.batchase.onnx");
  EXPECT_EQ(canonicalMember("model_director.onnx"), "model_director.onnx");
}

TEST(MemberNamesTest, DrivePattern) {
  EXPECT_EQ(canonicalMember("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(canonicalMember("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(canonicalMember("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(canonicalMember("drive/si"), "idle_loop/source_index");
  EXPECT_EQ(canonicalMember("drive/xs.tar.gz"), "idle_loop/source_keypoints.tar.gz");
  EXPECT_EQ(canonicalMember("drive/other.bin"), "idle_loop/other.bin");
  EXPECT_EQ(canonicalMember("drive/"), "idle_loop/");
}

TEST(MemberNamesTest, ResolveFallsBackToTheCanonicalFileOnlyWhenAlone) {
  test::TempDir dir;
  // Neither exists: the welded path.
  EXPECT_EQ(resolveMember(dir.path(), "P.f16"), dir.file("P.f16"));
  test::writeFile(dir.file("source_frames.f16"), std::string("c"));
  EXPECT_EQ(resolveMember(dir.path(), "P.f16"), dir.file("source_frames.f16"));
  test::writeFile(dir.file("P.f16"), std::string("w"));
  EXPECT_EQ(resolveMember(dir.path(), "P.f16"), dir.file("P.f16"));
  // Canonical names reach into sub-directories and batch models.
  test::writeFile(dir.file("render_model.batch2.onnx"), std::string("m"));
  EXPECT_EQ(resolveMember(dir.path(), "model_b2.onnx"), dir.file("render_model.batch2.onnx"));
  ASSERT_EQ(test::runCommand("mkdir -p '" + dir.file("idle_loop") + "'"), 0);
  test::writeFile(dir.file("idle_loop/source_index.i32"), std::string("s"));
  EXPECT_EQ(resolveMember(dir.path(), "drive/si.i32"), dir.file("idle_loop/source_index.i32"));
  // Names without a canonical form are never probed.
  EXPECT_EQ(resolveMember(dir.path(), "nope.bin"), dir.file("nope.bin"));
}

}  // namespace
}  // namespace le
