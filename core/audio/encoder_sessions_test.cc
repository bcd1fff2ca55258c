// The shared encoder sessions. CTest runs each case in its own process, so
// every case sees a process whose encoders are not loaded yet.
#include "core/audio/encoder_sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/audio/audio_test_util.h"
#include "le/le_a2x.h"
#include "tests/test_support.h"

namespace le::a2x {
namespace {

using audio_test::fullEncoder;
using audio_test::fullOnlyEncoder;
using audio_test::speechDir;

TEST(EncoderSessions, FileSizeAndTheGeluRuleText) {
  test::TempDir tmp;
  test::writeFile(tmp.file("f"), std::string(1234, 'x'));
  EXPECT_EQ(fileSize(tmp.file("f")), 1234);
  EXPECT_EQ(fileSize(""), -1);
  EXPECT_EQ(fileSize(tmp.file("missing")), -1);
  EXPECT_TRUE(isGeluFloat16Failure("Could not find an implementation for Gelu(1) node with type float16"));
  EXPECT_FALSE(isGeluFloat16Failure("Could not find an implementation for Gelu(1) node"));
  EXPECT_FALSE(isGeluFloat16Failure("float16 tensor type mismatch"));
}

std::string cudaMessages(const char* on, const char* mib, const char* tag) {
  if (on) ::setenv("LE_A2X_CUDA", on, 1);
  else ::unsetenv("LE_A2X_CUDA");
  if (mib) ::setenv("LE_A2X_CUDA_MEM_MIB", mib, 1);
  else ::unsetenv("LE_A2X_CUDA_MEM_MIB");
  testing::internal::CaptureStderr();
  Ort::SessionOptions o;
  maybeAddCuda(o, tag);
  return testing::internal::GetCapturedStderr();
}

TEST(EncoderSessions, CudaOnlyForExactlyOneAndTheEncoderTagAndFallsBack) {
  EXPECT_EQ(cudaMessages(nullptr, nullptr, "w2v"), "");
  EXPECT_EQ(cudaMessages("true", nullptr, "w2v"), "");
  EXPECT_EQ(cudaMessages("11", nullptr, "w2v"), "");
  EXPECT_EQ(cudaMessages("1", nullptr, "enc/dec"), "");
  // This runtime has no CUDA: either the append works or it says it falls back.
  const std::string m = cudaMessages("1", "0", "w2v");
  EXPECT_TRUE(m.rfind("[le_a2x] CUDA EP append failed (w2v): ", 0) == 0 || m.find("mem<=3072MiB") != std::string::npos)
      << m;
  EXPECT_NE(m.find(" -- falling back to CPU\n"), std::string::npos) << m;
}

TEST(EncoderSessions, AudioSessionsNeverSpin) {
  // Spinning intra-op threads would take the cores from the renderer
  // between audio hops; every audio-side session shares these options.
  for (const char* tag : {"w2v", "enc/dec", "fca"}) {
    Ort::SessionOptions o = audioSessionOptions(2, tag);
    EXPECT_EQ(o.GetConfigEntryOrDefault("session.intra_op.allow_spinning", "unset"), "0") << tag;
  }
}

TEST(EncoderSessions, SecondPreloadKeepsTheFirstEncoder) {
  ::unsetenv("W2V_ONNX");
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(le_a2x_preload_w2v("/nonexistent/enc.onnx"), 0);
  EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_preload_w2v: ", 0), 0u) << le_a2x_last_error();
  EXPECT_EQ(detail::fullEncoderLoads(), 0);
  ::setenv("W2V_ONNX", fullEncoder().c_str(), 1);
  EXPECT_EQ(le_a2x_preload_w2v(""), 1);
  EXPECT_STREQ(le_a2x_last_error(), "");
  EXPECT_EQ(le_a2x_preload_w2v(fullOnlyEncoder().c_str()), 1);
  EXPECT_EQ(detail::fullEncoderLoads(), 1);
  EXPECT_EQ(sharedW2vPath(), fullEncoder());
}

std::string pairSearch(const std::string& encoder, bool expectFound) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(sharedWindowPair(1, encoder), expectFound);
  return testing::internal::GetCapturedStderr();
}

TEST(EncoderSessions, PairBesideTheEncoderLoadsOnceWithItsLength) {
  ::setenv("LE_A2X_W2V_WIN_ONNX", "/nonexistent/trunk.onnx", 1);  // the head variable is unset: ignored
  const std::string m = pairSearch(fullEncoder(), true);
  EXPECT_NE(m.find("[le_a2x] short-window w2v frontend loaded (LT=400) trunk=" + speechDir() +
                   "/audio_encoder_fp16_window_trunk.onnx ("),
            std::string::npos)
      << m;
  EXPECT_EQ(trunkLength(), 400);
  EXPECT_EQ(windowPair().trunkOutput, "trunk_out");
  EXPECT_EQ(pairSearch(fullEncoder(), true), "");
}

TEST(EncoderSessions, MissingPairIsReportedOnceAndStaysMissing) {
  const std::string m = pairSearch(fullOnlyEncoder(), false);
  EXPECT_EQ(m.rfind("[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                    "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" +
                        fullOnlyEncoder() + ")",
                    0),
            0u)
      << m;
  EXPECT_EQ(pairSearch(fullEncoder(), false), "");  // searched once per process
  EXPECT_EQ(windowPair().trunk, nullptr);
}

TEST(EncoderSessions, LegacyNamesInTheCurrentDirectoryForAPlainName) {
  test::TempDir tmp;
  ASSERT_EQ(::symlink((speechDir() + "/audio_encoder_fp16_window_trunk.onnx").c_str(),
                      tmp.file("w2v_trunk32.onnx").c_str()), 0);
  ASSERT_EQ(::symlink((speechDir() + "/audio_encoder_fp16_window_head.onnx").c_str(),
                      tmp.file("w2v_head32.onnx").c_str()), 0);
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  const std::string m = pairSearch("audio_encoder_fp32.onnx", true);
  EXPECT_NE(m.find("trunk=./w2v_trunk32.onnx ("), std::string::npos) << m;
  EXPECT_NE(m.find("head=./w2v_head32.onnx ("), std::string::npos) << m;
  ASSERT_EQ(::chdir("/"), 0);
}

TEST(EncoderSessions, BrokenPairFallsBackToTheEightSecondPath) {
  test::TempDir tmp;
  test::writeFile(tmp.file("trunk.onnx"), "not a model");
  ::setenv("LE_A2X_W2V_WIN_ONNX", tmp.file("trunk.onnx").c_str(), 1);
  ::setenv("LE_A2X_W2V_HEAD_ONNX", (speechDir() + "/audio_encoder_fp16_window_head.onnx").c_str(), 1);
  const std::string m = pairSearch(fullEncoder(), false);
  EXPECT_EQ(m.rfind("[le_a2x] short-window w2v load FAILED (", 0), 0u) << m;
  EXPECT_NE(m.find(") \xe2\x80\x94 legacy 8s path\n"), std::string::npos) << m;
  EXPECT_EQ(windowPair().trunk, nullptr);
  EXPECT_EQ(pairSearch(fullEncoder(), false), "");
}

}  // namespace
}  // namespace le::a2x
