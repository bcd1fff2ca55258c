#include "core/audio/encoder_sessions.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/foundation/pool.h"

namespace le::a2x {
namespace {

// Process-wide encoder state. Never destroyed: sessions outlive every stream
// and must not be torn down after ONNX Runtime's own statics at exit.
struct Shared {
  std::mutex mu;  // the encoder mutex: guards every field but lt
  std::unique_ptr<Ort::Env> env;
  std::unique_ptr<Ort::Session> full;
  std::string fullPath;
  std::unique_ptr<Ort::Session> trunk;
  std::unique_ptr<Ort::Session> head;
  std::string trunkOutput;
  bool tried = false;
  int loads = 0;
  std::atomic<int> lt{0};  // written once by the first trunk run when dynamic
};

Shared& shared() {
  static Shared* s = new Shared;
  return *s;
}

// Needs the encoder mutex.
Ort::Env& envLocked(Shared& s) {
  if (!s.env) s.env = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "le_a2x_w2v");
  return *s.env;
}

bool nonEmptyEnv(const char* name, std::string& out) {
  const char* v = std::getenv(name);
  if (!v || !*v) return false;
  out = v;
  return true;
}

bool readable(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return f.good();
}

// Releases the CUDA provider options however the append ends.
struct CudaOptions {
  OrtCUDAProviderOptionsV2* p = nullptr;
  ~CudaOptions() {
    if (p) Ort::GetApi().ReleaseCUDAProviderOptions(p);
  }
};

}  // namespace

Ort::SessionOptions audioSessionOptions(int threads, const char* tag) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads < 1 ? le::pool::threads() : threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  maybeAddCuda(o, tag);
  return o;
}

void maybeAddCuda(Ort::SessionOptions& options, const char* tag) {
  const char* on = std::getenv("LE_A2X_CUDA");
  if (!on || std::strcmp(on, "1") != 0 || !tag || std::strcmp(tag, "w2v") != 0) return;
  size_t mib = 3072;
  if (const char* m = std::getenv("LE_A2X_CUDA_MEM_MIB")) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(m, &end, 10);
    if (end != m && errno == 0 && v > 0) mib = static_cast<size_t>(v);
  }
  try {
    const OrtApi& api = Ort::GetApi();
    CudaOptions cuda;
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&cuda.p));
    const std::string bytes = std::to_string(static_cast<unsigned long long>(mib) << 20);
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit", "cudnn_conv_use_max_workspace",
                          "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", bytes.c_str(), "0", "0"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda.p, keys, values, 5));
    options.AppendExecutionProvider_CUDA_V2(*cuda.p);
    std::fprintf(stderr, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

bool isGeluFloat16Failure(const std::string& message) {
  return message.find("Gelu") != std::string::npos && message.find("float16") != std::string::npos;
}

Ort::Session openSession(Ort::Env& env, const std::string& path, Ort::SessionOptions& options) {
  try {
    return Ort::Session(env, path.c_str(), options);
  } catch (const std::exception& e) {
    if (!isGeluFloat16Failure(e.what())) throw;
    std::fprintf(stderr,
                 "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has "
                 "no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
    options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
    return Ort::Session(env, path.c_str(), options);
  }
}

long long fileSize(const std::string& path) {
  if (path.empty()) return -1;
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return -1;
  return static_cast<long long>(f.tellg());
}

Ort::Session& sharedW2v(const std::string& path, int threads) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.full) return *s.full;
  Ort::Env& env = envLocked(s);
  Ort::SessionOptions options = audioSessionOptions(threads, "w2v");
  auto session = std::make_unique<Ort::Session>(openSession(env, path, options));
  s.full = std::move(session);
  s.fullPath = path;
  ++s.loads;
  return *s.full;
}

std::string sharedW2vPath() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.fullPath;
}

bool sharedWindowPair(int threads, const std::string& encoderPath) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.trunk && s.head) return true;
  if (s.tried) return false;
  s.tried = true;

  std::string trunkPath, headPath;
  if (!(nonEmptyEnv("LE_A2X_W2V_WIN_ONNX", trunkPath) && nonEmptyEnv("LE_A2X_W2V_HEAD_ONNX", headPath))) {
    trunkPath.clear();
    headPath.clear();
    if (!encoderPath.empty()) {
      const size_t slash = encoderPath.rfind('/');
      const std::string dir = slash == std::string::npos ? "." : encoderPath.substr(0, slash);
      static const char* const kPairs[2][2] = {
          {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
          {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
      for (const auto& pair : kPairs) {
        const std::string t = dir + "/" + pair[0], h = dir + "/" + pair[1];
        if (readable(t) && readable(h)) {
          trunkPath = t;
          headPath = h;
          break;
        }
      }
    }
  }
  if (trunkPath.empty()) {
    std::fprintf(stderr,
                 "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                 "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                 "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                 "the LEGACY 8s window \xe2\x80\x94 same reference quality, 2.8-3.9x the audio hop cost. Ship the "
                 "pair beside the encoder (tools/export_w2v_window.py).\n",
                 encoderPath.c_str());
    return false;
  }
  try {
    Ort::Env& env = envLocked(s);
    Ort::SessionOptions options = audioSessionOptions(threads, "w2v");
    s.trunk = std::make_unique<Ort::Session>(openSession(env, trunkPath, options));
    s.head = std::make_unique<Ort::Session>(openSession(env, headPath, options));
    Ort::AllocatorWithDefaultOptions alloc;
    if (s.trunk->GetOutputCount() < 1) throw std::runtime_error("window trunk declares no output");
    s.trunkOutput = s.trunk->GetOutputNameAllocated(0, alloc).get();
    const std::vector<int64_t> shape = s.trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const int lt = shape.size() == 3 && shape[2] > 0 && shape[2] < (1 << 24) ? static_cast<int>(shape[2]) : 0;
    s.lt.store(lt);
    std::fprintf(stderr, "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                 lt > 0 ? std::to_string(lt).c_str() : "from-first-run", trunkPath.c_str(), fileSize(trunkPath),
                 headPath.c_str(), fileSize(headPath));
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] short-window w2v load FAILED (%s) \xe2\x80\x94 legacy 8s path\n", e.what());
    s.trunk.reset();
    s.head.reset();
    s.trunkOutput.clear();
    return false;
  }
}

WindowPair windowPair() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  WindowPair p;
  if (s.trunk && s.head) {
    p.trunk = s.trunk.get();
    p.head = s.head.get();
    p.trunkOutput = s.trunkOutput;
  }
  return p;
}

int trunkLength() { return shared().lt.load(); }

void setTrunkLength(int lt) {
  int expected = 0;
  shared().lt.compare_exchange_strong(expected, lt);
}

namespace detail {
int fullEncoderLoads() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.loads;
}
}  // namespace detail

}  // namespace le::a2x
