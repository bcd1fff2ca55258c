// The choices the backend open makes before and around creating the engine:
// model key, thread count, producer mode, and the environment variables it
// publishes to the core library.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "backend/lightbackend.h"

namespace mirelund::engine {

// The requested key when "model_<key>.onnx" is a member of the bundle, else
// the first of b1_int8, b1_fp32, b24_int8, b24_fp32 the bundle has, else b1_int8.
std::string chooseModelKey(const std::string& bundleDir, const char* requested);

// Workers for `hardware` threads (0: unknown): 2 up to 3, half up to 9, else 4.
int threadsForHardware(unsigned hardware);

// Most worker threads an open will start: each costs a stack and the engine
// starts a few more per worker.
constexpr int kMaxThreads = 256;

// The options' non-zero thread count; else $MIRELUND_CORVANE2_THREADS (or the
// deprecated $MIRELUND_C2L_THREADS) when positive, at most kMaxThreads; else
// threadsForHardware. The options' count is the caller's to check
// (threadsOptionValid).
int chooseThreadCount(const be_engine_open_options* options, unsigned hardware);

// False when the options ask for a negative count or more than kMaxThreads.
bool threadsOptionValid(const be_engine_open_options* options);

// $name when set and non-empty, else $deprecated (printing the deprecation
// line when that one is used), else empty.
std::string envWithDeprecated(const char* name, const char* deprecated);

// True when the producer variables ask for the utterance pipeline.
bool utteranceProducerSelected();

// False when MIRELUND_CORVANE2_TEETH is "0": the utterance producer then
// leaves a bundle's borrowed teeth out; anything else attaches them.
bool teethSelected();

// Directory of the plug-in's own file as the dynamic loader reports it
// (empty when it has none).
std::string pluginDirectory();

// Sets environment variables only where unset or empty, and can take back
// exactly the ones it set (a failed open leaves the environment as it was).
class EnvPublisher {
 public:
  // True when it set the variable.
  bool setIfUnset(const char* name, const std::string& value);
  void rollback();
  const std::vector<std::string>& published() const { return set_; }

 private:
  std::vector<std::string> set_;
};

// Publishes what the core library reads from the environment: the shared
// audio encoder ($W2V_ONNX), the grid-sample switches, and the short-window
// encoder pair (or the fallback notice when there is none).
void publishEngineEnvironment(const std::string& selfDir, EnvPublisher& env);

}  // namespace mirelund::engine
