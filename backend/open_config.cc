#include "backend/open_config.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "backend/dependency_resolver.h"
#include "le/le.h"

namespace mirelund::engine {
namespace {

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string();
}

bool hasMember(const std::string& bundleDir, const std::string& member) {
  char path[2048];
  return le_bundle_resolve_member(bundleDir.c_str(), member.c_str(), path, sizeof path) == 1;
}

bool readable(const std::string& path) { return std::ifstream(path).good(); }

constexpr const char* kWindowFallback =
    "[corvane2-light] MIRELUND_AUDIO_ENCODER_WINDOW_FALLBACK: the short-window streaming audio encoder is THE audio "
    "frontend but its trunk/head artifacts were not found (searched the shared-asset dirs + next to $W2V_ONNX for "
    "audio_encoder_fp16_window_{trunk,head}.onnx, legacy w2v_trunk32.onnx/w2v_head32.onnx). This session serves the "
    "LEGACY full-8s audio hop instead (reference quality, 2.8-3.9x the audio hop latency). Ship the pair beside the "
    "shared audio encoder (tools/export_w2v_window.py) \xE2\x80\x94 there is no mode to select, only bytes to "
    "deploy.\n";

}  // namespace

std::string chooseModelKey(const std::string& bundleDir, const char* requested) {
  if (requested && *requested && hasMember(bundleDir, std::string("model_") + requested + ".onnx")) return requested;
  for (const char* key : {"b1_int8", "b1_fp32", "b24_int8", "b24_fp32"})
    if (hasMember(bundleDir, std::string("model_") + key + ".onnx")) return key;
  return "b1_int8";
}

int threadsForHardware(unsigned hardware) {
  if (hardware <= 3) return 2;
  if (hardware <= 9) return static_cast<int>(hardware / 2);
  return 4;
}

int chooseThreadCount(const be_engine_open_options* options, unsigned hardware) {
  if (options && options->threads != 0) return options->threads;
  const std::string value = envWithDeprecated("MIRELUND_CORVANE2_THREADS", "MIRELUND_C2L_THREADS");
  const long n = value.empty() ? 0 : std::strtol(value.c_str(), nullptr, 10);
  if (n > 0) return n > kMaxThreads ? kMaxThreads : static_cast<int>(n);
  return threadsForHardware(hardware);
}

bool threadsOptionValid(const be_engine_open_options* options) {
  return !options || (options->threads >= 0 && options->threads <= kMaxThreads);
}

std::string envWithDeprecated(const char* name, const char* deprecated) {
  std::string v = envValue(name);
  if (!v.empty()) return v;
  v = envValue(deprecated);
  if (!v.empty()) std::fprintf(stderr, "[corvane-2] DEPRECATED env %s \xE2\x80\x94 use %s\n", deprecated, name);
  return v;
}

bool utteranceProducerSelected() {
  const std::string v = envWithDeprecated("MIRELUND_CORVANE2_PRODUCER", "MIRELUND_C2L_PRODUCER");
  if (v == "utt") {
    std::fprintf(stderr, "[corvane-2] DEPRECATED producer value \"utt\" \xE2\x80\x94 use \"utterance\"\n");
    return true;
  }
  return v == "utterance";
}

bool teethSelected() { return envValue("MIRELUND_CORVANE2_TEETH") != "0"; }

std::string pluginDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&pluginDirectory), &info) == 0 || !info.dli_fname) return {};
  const std::string file = info.dli_fname;
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

bool EnvPublisher::setIfUnset(const char* name, const std::string& value) {
  if (!envValue(name).empty()) return false;
  if (::setenv(name, value.c_str(), 1) != 0) return false;
  set_.push_back(name);
  return true;
}

void EnvPublisher::rollback() {
  for (const std::string& name : set_) ::unsetenv(name.c_str());
  set_.clear();
}

void publishEngineEnvironment(const std::string& selfDir, EnvPublisher& env) {
  if (envValue("W2V_ONNX").empty()) {
    const std::string encoder = container::resolve_shared_audio_encoder(selfDir);
    if (!encoder.empty()) env.setIfUnset("W2V_ONNX", encoder);
  }
  const std::string fast = envValue("MIRELUND_CORVANE2_GRIDSAMPLE_FAST");
  if (!fast.empty()) env.setIfUnset("LE_GS_FAST", fast);
  const std::string rewrite = envValue("MIRELUND_CORVANE2_GRIDSAMPLE_REWRITE");
  if (!rewrite.empty()) env.setIfUnset("LE_GS_REWRITE", rewrite);

  const std::string win = envValue("LE_A2X_W2V_WIN_ONNX"), head = envValue("LE_A2X_W2V_HEAD_ONNX");
  if (!win.empty() && !head.empty() && readable(win) && readable(head)) return;
  std::string trunkPath, headPath;
  if (!container::resolve_audio_encoder_window_pair(trunkPath, headPath, selfDir)) {
    std::fputs(kWindowFallback, stderr);
    return;
  }
  // The pair is published whole or not at all: completing a half-set pair
  // would match one model's trunk with another's head.
  if (win.empty() && head.empty()) {
    env.setIfUnset("LE_A2X_W2V_WIN_ONNX", trunkPath);
    env.setIfUnset("LE_A2X_W2V_HEAD_ONNX", headPath);
  }
}

}  // namespace mirelund::engine
