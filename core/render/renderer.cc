#include "core/render/renderer.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "core/bundle/identity.h"
#include "core/bundle/manifest.h"
#include "core/foundation/half.h"
#include "core/foundation/pool.h"
#include "core/render/conv_backend.h"
#include "core/render/custom_ops.h"
#include "core/render/graph_codec.h"
#include "core/render/graph_rewrites.h"
#include "core/render/graph_surgery.h"
#include "core/telemetry/frame_cpu.h"
#include "core/telemetry/telemetry.h"
#include "core/tessera/lip_contour.h"
#include "le/le.h"

namespace le {

int SourcePredictor::next(int cur) {
  const int n = frames_;
  int guess = cur;
  if (n > 1) {
    if (last_ == n - 1 && cur == 0) {
      wraps_ = true;
      if (n == 2) step_ = -1;
      guess = ((step_ % n) + n) % n;
    } else {
      if (last_ >= 0 && (cur - last_ == 1 || cur - last_ == -1)) step_ = cur - last_;
      const int p = cur + step_;
      if (wraps_)
        guess = ((p % n) + n) % n;
      else
        guess = p >= n ? n - 2 : (p < 0 ? 1 : p);
    }
  }
  last_ = cur;
  return guess;
}

namespace {

constexpr int64_t kPooledPerFrame = 64 * 32 * 32;
constexpr int64_t kFsRedPerFrame = 64 * 64 * 64;
constexpr int kKpValues = kHostKpRows * 3;

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const char* envOrNull(const char* name) {
  const char* v = std::getenv(name);
  return v;
}

bool envStartsWith(const char* name, char c) {
  const char* v = envOrNull(name);
  return v && v[0] == c;
}

bool envOn(const char* name) {
  const char* v = envOrNull(name);
  return v && v[0] && v[0] != '0';
}

// Only a regular file is a model: a directory opens as a stream on Linux and
// reports a nonsense size.
std::vector<uint8_t> readModel(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("Renderer: cannot open " + path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Renderer: cannot open " + path);
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())) ||
      in.gcount() != std::streamsize(bytes.size()))
    throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to Mirelund custom-domain nodes "
         "(com.mirelund::GridSampleFast, and com.mirelund::WarpDirector wherever LE_WARP_NODE is on), and ORT's "
         "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them \xe2\x80\x94 measured "
         "2026-09-15 on a published corvane2-android AAR, null deref inside libonnxruntime.so at session create, "
         "on both a door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so "
         "it cannot be caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle "
         "on the same bytes.";
}

std::string gsFastRefusal(const std::string& path) {
  return "Renderer: LE_GS_FAST=0 (or MIRELUND_CORVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + path +
         " has com.mirelund::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
         "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a "
         "registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact "
         "itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
         "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.";
}

std::string kpContractRefusal(const std::string& path, const std::string& input, int64_t rows) {
  std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " \xe2\x80\x94 the graph declares " +
                    input + " with " + std::to_string(rows) +
                    " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le.h). ";
  if (rows == 22)
    msg +=
        "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
        "second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which "
        "nothing on this path calls yet), so it cannot drive this director. ";
  msg +=
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
      "host that links this renderer: training/recipe/host_kp_contract.py is the publish gate that exists to "
      "prevent it.";
  return msg;
}

const char* kNoWarpPrior =
    "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a P_hevc.mov "
    "to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an offset from a null "
    "pointer \xe2\x80\x94 a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.";

// CoreML compute units of an ep label "coreml<sep><unit>".
std::string coremlUnitText(const std::string& ep) { return ep.size() < 8 ? "all" : ep.substr(7); }

const char* coremlUnits(const std::string& unit) {
  if (unit == "cpu") return "CPUOnly";
  if (unit == "gpu") return "CPUAndGPU";
  if (unit == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

struct InputInfo {
  std::string name;
  std::vector<int64_t> shape;
};

// The session's inputs (or outputs) with their declared shapes.
std::vector<InputInfo> sessionTensors(Ort::Session& s, bool outputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<InputInfo> out;
  const size_t n = outputs ? s.GetOutputCount() : s.GetInputCount();
  for (size_t i = 0; i < n; ++i) {
    InputInfo info;
    info.name = (outputs ? s.GetOutputNameAllocated(i, alloc) : s.GetInputNameAllocated(i, alloc)).get();
    Ort::TypeInfo t = outputs ? s.GetOutputTypeInfo(i) : s.GetInputTypeInfo(i);
    if (t.GetONNXType() == ONNX_TYPE_TENSOR) info.shape = t.GetTensorTypeAndShapeInfo().GetShape();
    out.push_back(std::move(info));
  }
  return out;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string t = "[";
  for (size_t i = 0; i < shape.size(); ++i) t += (i ? "," : "") + (shape[i] < 1 ? std::string("?") : std::to_string(shape[i]));
  return t + "]";
}

// A declared shape fits the bound one when the ranks agree and every static
// dimension matches; dynamic dimensions (< 1) take whatever is bound.
bool shapeFits(const std::vector<int64_t>& declared, const std::vector<int64_t>& bound) {
  if (declared.size() != bound.size()) return false;
  for (size_t i = 0; i < bound.size(); ++i)
    if (declared[i] >= 1 && declared[i] != bound[i]) return false;
  return true;
}

const InputInfo* findInput(const std::vector<InputInfo>& inputs, const std::string& name) {
  for (const auto& i : inputs)
    if (i.name == name) return &i;
  return nullptr;
}

// The session's own threads, started here so that their CPU counts to the
// thread that renders.
struct OrtWorker {
  std::thread thread;
  telemetry::HelperClocks* clocks;
};

OrtCustomThreadHandle startOrtWorker(void* clocks, OrtThreadWorkerFn fn, void* param) {
  try {
    auto w = std::make_unique<OrtWorker>();
    w->clocks = static_cast<telemetry::HelperClocks*>(clocks);
    w->thread = std::thread([fn, param] { fn(param); });
    w->clocks->add(w->thread.native_handle());
    return reinterpret_cast<OrtCustomThreadHandle>(w.release());
  } catch (const std::exception&) {
    return nullptr;  // the runtime reports the thread it could not start
  }
}

void joinOrtWorker(OrtCustomThreadHandle handle) {
  std::unique_ptr<OrtWorker> w(const_cast<OrtWorker*>(reinterpret_cast<const OrtWorker*>(handle)));
  w->clocks->remove(w->thread.native_handle());
  w->thread.join();
}

}  // namespace

class Renderer::Impl {
 public:
  Impl(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
       const std::string& ep);
  ~Impl();

  const float* render(const int* srcIdx, const float* kpSource, const float* kpDriving, int n);

  // Load steps, in order.
  bool chooseNative(const std::string& ep);
  void buildLipContour();
  void createSession(const std::string& ep);
  void makeSessionOptions();
  void appendProvider(const std::string& ep);
  void readModelBytes(bool cpu);
  void rewriteGraph(bool cpu);
  void registerOps();
  bool tryHoist(const std::string& ep);
  void createMainSession(const std::string& ep, bool cpu);
  void readContract();
  void checkShape(const std::vector<InputInfo>& tensors, const char* name, const std::vector<int64_t>& bound,
                  const char* what) const;
  void sizeBuffers();
  void bindAll();
  void startPrep();

  // Source-cone ring.
  int acquire(int srcIdx);
  void runPrepL(int srcIdx, int slot, std::unique_lock<std::mutex>& lock);
  void prepLoop();

  const float* renderNative(const int* srcIdx, const float* kpSource, const float* kpDriving, int n);
  void fillLip(int j, const float* kd);

  const Manifest& manifest_;
  Identity* identity_;
  std::string key_;
  std::string modelPath_;
  int threads_;
  std::string ep_ = "cpu";
  std::string note_;

  // The session's and the prep thread's CPU; outlives both. helperSeenMs_
  // is what render() has already counted of it.
  telemetry::HelperClocks helpers_;
  double helperSeenMs_ = 0;

  Ort::Env env_{nullptr};
  std::optional<Ort::SessionOptions> options_;
  std::optional<Ort::Session> session_;
  std::optional<Ort::IoBinding> binding_;
  Ort::RunOptions runOptions_{nullptr};
  std::atomic<bool> cancelled_{false};  // cancel() was called and resume() not yet
  Ort::MemoryInfo cpu_{nullptr};

  bool profiling_ = false;
  int64_t runs_ = 0;
  double runMs_ = 0;

  int batch_ = 0;
  int crop_;
  int64_t pElems_;
  bool fsRed_ = false;
  bool featSynth_ = false;  // the model file declares fs_red (known before any edit)
  std::vector<float> pooled_, P_, fsRedBuf_, ks_, kd_, rgb_;
  std::vector<Ort::Value> bound_;

  std::optional<tessera::LipContour> lip_;
  bool lipBound_ = false;
  std::vector<float> lipBuf_;

  std::unique_ptr<ConvEngine> native_;
  std::vector<uint16_t> pStage_;
  std::vector<const uint16_t*> pooledPtrs_, pPtrs_;

  // Load-time state of the rewrites.
  std::vector<uint8_t> model_;
  bool gsFast_ = true;  // the com.mirelund sampler is wanted (LE_GS_FAST not 0)
  bool gsRewrite_ = true;
  bool changed_ = false;
  bool warpApplied_ = false;

  // Source-cone hoist.
  std::optional<Ort::Session> prep_;
  std::optional<Ort::IoBinding> prepBinding_;
  std::optional<Ort::Value> prepInput_;
  std::string boundaryName_;
  int64_t boundaryDims_[4] = {0, 0, 0, 0};
  int64_t boundaryElems_ = 0;
  struct Slot {
    int index = -1;
    std::vector<float> data;
    std::optional<Ort::Value> value;
  };
  Slot ring_[2];
  std::mutex mu_;               // guards ring_ indices, pending_, pendingSlot_, inUse_, stop_,
  std::condition_variable cv_;  // prepBusy_, prepError_, hits_, misses_
  std::thread prepThread_;
  int pending_ = -1;
  int pendingSlot_ = -1;
  int inUse_ = -1;
  bool stop_ = false;
  bool prepBusy_ = false;
  std::string prepError_;
  uint64_t hits_ = 0, misses_ = 0;
  std::optional<SourcePredictor> predictor_;
};

Renderer::Impl::Impl(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
                     const std::string& ep)
    : manifest_(manifest),
      identity_(&identity),
      key_(modelKey),
      threads_(threads < 1 ? pool::threads() : threads),
      crop_(manifest.crop),
      pElems_(int64_t(3) * manifest.crop * manifest.crop) {
  modelPath_ = manifest.modelPath(modelKey);
  env_ = Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le");
  runOptions_ = Ort::RunOptions();
  // Giving the arena back after every run keeps the footprint at one frame's
  // working set, at the price of faulting it in again each run; a host that
  // owns the machine and needs the CPU sets LE_ORT_ARENA_SHRINK=0.
  if (!envStartsWith("LE_ORT_ARENA_SHRINK", '0'))
    runOptions_.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  cpu_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  std::string useEp = ep;
  if (chooseNative(ep)) return;
  if (useEp == "neon") useEp.clear();
  buildLipContour();
  try {
    createSession(useEp);
  } catch (const std::exception& e) {
    if (!startsWith(useEp, "coreml")) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s \xe2\x80\x94 falling back to the ORT CPU EP\n", e.what());
    prepBinding_.reset();
    prep_.reset();
    binding_.reset();
    session_.reset();
    lipBound_ = false;
    warpApplied_ = false;
    changed_ = false;
    createSession("");
  }
  readContract();
  sizeBuffers();
  bindAll();
  startPrep();
  helperSeenMs_ = helpers_.cpuMs();
}

Renderer::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (prepThread_.joinable()) {
    helpers_.remove(prepThread_.native_handle());
    prepThread_.join();
  }
  if (profiling_ && session_) {
    if (runs_ > 0)
      std::fprintf(stderr, "[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", long(runs_),
                   runMs_ / double(runs_));
    try {
      Ort::AllocatorWithDefaultOptions alloc;
      Ort::AllocatedStringPtr file = session_->EndProfilingAllocated(alloc);
      std::fprintf(stderr, "[le_ort_profile] %s\n", file.get());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[le_ort_profile] FAILED: %s\n", e.what());
    }
  }
}

// Native backend: "neon" asked for by the caller or by LE_CONV_BACKEND.
bool Renderer::Impl::chooseNative(const std::string& ep) {
  const char* env = envOrNull("LE_CONV_BACKEND");
  const bool requested = ep == "neon" || (ep.empty() && env && std::strcmp(env, "neon") == 0);
  if (!requested) return false;
  if (!ConvBackend::available()) {
    std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    return false;
  }
  if (!ConvBackend::graphSupported(modelPath_)) {
    std::fprintf(stderr,
                 "[le] NEON backend refused: %s is not the fused m4b graph (golden/unified director?); using ORT\n",
                 key_.c_str());
    return false;
  }
  if (crop_ != 512) throw std::runtime_error("le_conv: only crop=512 m4b bundles");
  native_ = ConvBackend::create(modelPath_, threads_);
  ep_ = "neon";
  batch_ = native_->batch();
  if (batch_ < 1) throw std::runtime_error("le_conv: the engine reports no batch size for " + modelPath_);
  rgb_.assign(size_t(batch_) * size_t(pElems_), 0.f);
  pooledPtrs_.assign(size_t(batch_), nullptr);
  pPtrs_.assign(size_t(batch_), nullptr);
  return true;
}

void Renderer::Impl::buildLipContour() {
  if (!manifest_.lipTemplateJson.empty())
    lip_.emplace(tessera::LipContour::fromTemplateJson(manifest_.lipTemplateJson, crop_));
}

void Renderer::Impl::createSession(const std::string& ep) {
  const bool cpu = !startsWith(ep, "coreml");
  makeSessionOptions();
  appendProvider(ep);
  readModelBytes(cpu);
  rewriteGraph(cpu);
  registerOps();
  tryHoist(ep);
  createMainSession(ep, cpu);
}

void Renderer::Impl::makeSessionOptions() {
  options_.emplace();
  options_->SetIntraOpNumThreads(threads_);
  options_->SetInterOpNumThreads(1);
  options_->SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!envStartsWith("LE_ORT_SPIN", '1')) options_->AddConfigEntry("session.intra_op.allow_spinning", "0");
  options_->AddConfigEntry("mlas.disable_kleidiai", "1");
  options_->SetCustomCreateThreadFn(startOrtWorker);
  options_->SetCustomThreadCreationOptions(&helpers_);
  options_->SetCustomJoinThreadFn(joinOrtWorker);
  const char* prof = envOrNull("LE_ORT_PROFILE");
  if (prof && prof[0]) {
    options_->EnableProfiling(prof);
    profiling_ = true;
  }
}

void Renderer::Impl::appendProvider(const std::string& ep) {
  if (ep.empty()) return;
  if (startsWith(ep, "xnnpack")) throw std::runtime_error(xnnpackRefusal(ep));
  if (!startsWith(ep, "coreml")) throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
  const std::string cache = coremlCacheDir(manifest_.dir);
  options_->AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                               {"MLComputeUnits", coremlUnits(coremlUnitText(ep))},
                                               {"ModelCacheDirectory", cache}});
}

// Reads the model and settles which sampler rewrites the graph may take.
void Renderer::Impl::readModelBytes(bool cpu) {
  gsFast_ = !envStartsWith("LE_GS_FAST", '0');
  if (!gsFast_) {
    std::vector<uint8_t> probe;
    try {
      probe = readModel(modelPath_);
    } catch (const std::exception&) {
      probe.clear();
    }
    if (!probe.empty() && graphHasBakedGridSampleFast(probe)) throw std::runtime_error(gsFastRefusal(modelPath_));
    gsRewrite_ = false;
  } else {
    gsRewrite_ = !envStartsWith("LE_GS_REWRITE", '0');
    if (!gsRewrite_ && cpu)
      std::fprintf(stderr,
                   "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.mirelund::GridSampleFast rewrite DISABLED "
                   "(%s); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A "
                   "standard bundle now runs ORT's own GridSample.\n",
                   key_.c_str());
  }
  model_ = readModel(modelPath_);
}

// Registers the kernels of every custom node the session will meet. Under
// LE_GS_FAST=0 the sampler's domain stays out unless the warp rewrite put a
// WarpDirector node into the graph, which has no other kernel.
void Renderer::Impl::registerOps() {
  if (gsFast_) {
    registerGridSampleFast(*options_);
  } else if (warpApplied_) {
    registerWarpDirector(*options_);
    std::fprintf(stderr,
                 "[le] LE_GS_FAST=0 with LE_WARP_NODE: com.mirelund::WarpDirector registered for the warp node (%s); "
                 "every other GridSample runs ORT's own kernel\n",
                 key_.c_str());
  }
  registerInt8ConvVNNI(*options_);
}

void Renderer::Impl::rewriteGraph(bool cpu) {
  const char* k = key_.c_str();
  // A FeatSynth director draws from fs_red, not from the source image: one
  // that also declares P_rgb would have its image cone hoisted into a prep
  // session no buffer is sized for, and every lip edit binds m4b inputs.
  std::vector<int64_t> dims;
  const GsSlice graph = gsGraphOf(gsSliceOf(model_));
  featSynth_ = gsInputDims(graph, "fs_red", dims);
  if (featSynth_ && gsInputDims(graph, kHoistSource, dims))
    throw std::runtime_error("Renderer: " + modelPath_ +
                             " declares both fs_red and P_rgb, and a FeatSynth director takes no source image; "
                             "REFUSING to create a session.");
  const bool warpNode = envOn("LE_WARP_NODE");
  changed_ = false;
  warpApplied_ = false;
  if (warpNode && cpu) {
    std::string reason;
    const size_t removed = rewriteWarpBlockToCustomOp(model_, reason);
    if (removed) {
      std::fprintf(stderr, "[le] director warp -> com.mirelund::WarpDirector (%zu nodes removed, the source cone with them)\n",
                   removed);
      warpApplied_ = true;
      changed_ = true;
    } else {
      std::fprintf(stderr,
                   "[le] director warp NOT moved to one node (%s) \xe2\x80\x94 the graph loads exactly as it did before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
    }
  }
  size_t gs = 0;
  if (cpu && gsRewrite_) gs = rewriteGridSampleToFast(model_);
  const size_t blend = normaliseStudentBlend(model_);
  const size_t head = rewriteHeadCubicResize(model_);
  changed_ = changed_ || gs || blend || head;

  bool lipOk = false;
  if (lip_) {
    std::string reason;
    int canvas = 0, lipBatch = 0;
    if (featSynth_) reason = "a FeatSynth director, whose renders bind no lip contour";
    if (featSynth_ || !rewriteBindLipContour(model_, reason, canvas, lipBatch)) {
      std::fprintf(stderr,
                   "[le] !!! lip contour NOT bound to the compose alpha (%s): %s \xe2\x80\x94 this session serves the "
                   "graph's own ELLIPSE\n",
                   k, reason.empty() ? "no reason given" : reason.c_str());
    } else {
      if (canvas != crop_)
        throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                                 " and this bundle's manifest declares crop " + std::to_string(crop_) +
                                 " \xe2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
      lipOk = true;
      changed_ = true;
    }
  } else {
    std::fprintf(stderr,
                 "[le] !!! compose alpha: ELLIPSE (%s) \xe2\x80\x94 this bundle carries no %s, so the director "
                 "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/corvane-2/tools/carry_lip_template_fleet.py\n",
                 k, "lip_template.v1.json");
  }
  if (gs)
    std::fprintf(stderr, "[le] std GridSample -> com.mirelund::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 gs, k);
  if (blend)
    std::fprintf(stderr,
                 "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xe2\x80\x94 a "
                 "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit "
                 "that includes the GPU\n",
                 blend, k);
  if (head)
    std::fprintf(stderr,
                 "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
                 "(%s) \xe2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every "
                 "CPU-class EP and no CoreML/NNAPI EP can claim it\n",
                 head, k);
  if (lipOk) {
    std::fprintf(stderr,
                 "[le] compose alpha: LIP CONTOUR (%s) \xe2\x80\x94 Min(a, lip_delivery) bound at load, %d verts, "
                 "feather %.1f px; the graph's ellipse is not reachable in this session\n",
                 k, lip_->vertexCount(), lip_->featherPx());
    lipBound_ = true;
  }
}

// Moves the source cone into a batch-1 prep session when the graph allows it.
bool Renderer::Impl::tryHoist(const std::string& ep) {
  const char* k = key_.c_str();
  if (startsWith(ep, "coreml")) {
    const std::string unit = coremlUnitText(ep);
    if (unit == "all" || unit == "gpu") {
      std::fprintf(stderr,
                   "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU "
                   "and the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) "
                   "\xe2\x80\x94 the cone stays in the graph\n",
                   k, unit.c_str());
      return false;
    }
  }
  if (warpApplied_) {
    std::fprintf(stderr,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xe2\x80\x94 there is nothing "
                 "left to hoist\n",
                 k);
    return false;
  }
  if (!identity_->hasPrior() || model_.empty()) return false;
  std::string reason;
  try {
    std::string tip;
    const size_t concats = findSourceConeBoundary(model_, tip);
    if (concats != 1) {
      reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(concats);
    } else {
      GsBytes prepBytes;
      if (buildSourceConePrep(model_, tip, prepBytes, reason)) {
        Ort::SessionOptions po;
        po.SetIntraOpNumThreads(1);
        po.SetInterOpNumThreads(1);
        po.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
        po.AddConfigEntry("session.intra_op.allow_spinning", "0");
        po.AddConfigEntry("mlas.disable_kleidiai", "1");
        prep_.emplace(env_, prepBytes.data(), prepBytes.size(), po);
        const std::vector<int64_t> in0 = prep_->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
        const std::vector<int64_t> out0 = prep_->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
        if (in0.size() != 4 || in0[0] != 1) {
          reason = "batch-1 lever; this graph declares batch " + std::to_string(in0.empty() ? 0 : in0[0]);
        } else if (!shapeFits(in0, {1, 3, crop_, crop_})) {
          reason = "the cone's P_rgb is declared " + shapeText(in0) + " and this bundle's frames are " +
                   shapeText({1, 3, crop_, crop_});
        } else if (out0.size() != 4 || std::any_of(out0.begin(), out0.end(), [](int64_t d) { return d < 1; })) {
          // The prep graph publishes its tip with dynamic dims; ORT infers them from the static input.
          reason = "boundary shape is not static";
        } else if (double(out0[0]) * double(out0[1]) * double(out0[2]) * double(out0[3]) > double(1 << 28)) {
          // Each prefetch slot holds one boundary tensor; the shape comes from the model file.
          reason = "boundary tensor is over 2^28 values";
        } else {
          const int64_t dims[4] = {out0[0], out0[1], out0[2], out0[3]};
          GsBytes perFrame;
          if (buildSourceConePerFrame(model_, tip, dims, perFrame, reason)) {
            session_.emplace(env_, perFrame.data(), perFrame.size(), *options_);
            boundaryName_ = tip;
            std::copy(dims, dims + 4, boundaryDims_);
            boundaryElems_ = dims[0] * dims[1] * dims[2] * dims[3];
            std::fprintf(stderr,
                         "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is "
                         "prefetched per SOURCE FRAME on one spare core (%s)\n",
                         tip.c_str(), (long long)dims[0], (long long)dims[1], (long long)dims[2],
                         (long long)dims[3], k);
            return true;
          }
        }
      }
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  prep_.reset();
  session_.reset();
  std::fprintf(stderr, "[le] source-cone hoist NOT applied (%s): %s\n", k,
               reason.empty() ? "no reason given" : reason.c_str());
  return false;
}

void Renderer::Impl::createMainSession(const std::string& ep, bool cpu) {
  if (!session_) {
    if (changed_)
      session_.emplace(env_, model_.data(), model_.size(), *options_);
    else
      session_.emplace(env_, modelPath_.c_str(), *options_);
  }
  ep_ = ep.empty() ? "cpu" : ep;
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", ep_.c_str(),
               cpu ? "ORT CPU EP"
                   : "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph");
}

void Renderer::Impl::readContract() {
  const std::vector<InputInfo> inputs = sessionTensors(*session_, false);
  fsRed_ = findInput(inputs, "fs_red") != nullptr;
  const char* pooledName = fsRed_ ? "pooled" : "pooled64";
  const InputInfo* pooled = findInput(inputs, pooledName);
  if (!pooled || pooled->shape.size() != 4 || pooled->shape[0] < 1)
    throw std::runtime_error(std::string(pooledName) + " input not found / bad shape");
  batch_ = int(pooled->shape[0]);
  if (prep_ && batch_ != 1) throw std::runtime_error("Renderer: the hoisted director of " + modelPath_ +
                                                     " must run batch 1, and its graph declares " +
                                                     std::to_string(batch_) + ".");
  const char* kpNames[2] = {fsRed_ ? "kd" : "kp_driving", fsRed_ ? "ks" : "kp_source"};
  for (const char* name : kpNames) {
    const InputInfo* kp = findInput(inputs, name);
    if (!kp)
      throw std::runtime_error("Renderer: " + modelPath_ + " has no keypoint input named " + name +
                               "; REFUSING to create a session.");
    if (kp->shape.size() == 3 && kp->shape[1] >= 1 && kp->shape[1] != kHostKpRows)
      throw std::runtime_error(kpContractRefusal(modelPath_, name, kp->shape[1]));
  }
  if (!fsRed_ && !prep_ && !findInput(inputs, "P_rgb"))
    throw std::runtime_error("Renderer: " + modelPath_ +
                             " has neither an fs_red nor a P_rgb input; it is not a director this renderer binds.");

  // Every bound tensor against the bundle's geometry, so that a director made
  // for another crop or feature layout is refused here and not by ORT at
  // every render.
  const int64_t B = batch_, S = crop_;
  checkShape(inputs, pooledName, {B, 64, 32, 32}, "input");
  if (fsRed_) checkShape(inputs, "fs_red", {B, 64, 64, 64}, "input");
  if (!fsRed_ && !prep_) checkShape(inputs, "P_rgb", {B, 3, S, S}, "input");
  for (const char* name : kpNames) checkShape(inputs, name, {B, kHostKpRows, 3}, "input");
  const std::vector<InputInfo> outputs = sessionTensors(*session_, true);
  if (!findInput(outputs, "rgb"))
    throw std::runtime_error("Renderer: " + modelPath_ + " has no output named rgb; REFUSING to create a session.");
  checkShape(outputs, "rgb", {B, 3, S, S}, "output");
}

void Renderer::Impl::checkShape(const std::vector<InputInfo>& tensors, const char* name,
                                const std::vector<int64_t>& bound, const char* what) const {
  const InputInfo* t = findInput(tensors, name);
  if (t && !shapeFits(t->shape, bound))
    throw std::runtime_error("Renderer: " + modelPath_ + " declares its " + what + " " + name + " as " +
                             shapeText(t->shape) + " and this bundle binds " + shapeText(bound) +
                             " (batch " + std::to_string(batch_) + ", crop " + std::to_string(crop_) +
                             "); REFUSING to create a session.");
}

void Renderer::Impl::sizeBuffers() {
  const size_t b = size_t(batch_);
  pooled_.assign(b * kPooledPerFrame, 0.f);
  ks_.assign(b * kKpValues, 0.f);
  kd_.assign(b * kKpValues, 0.f);
  rgb_.assign(b * size_t(pElems_), 0.f);
  if (fsRed_) {
    if (!identity_->hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
    fsRedBuf_.assign(b * kFsRedPerFrame, 0.f);
  } else {
    if (!identity_->hasPrior()) throw std::runtime_error(kNoWarpPrior);
    P_.assign(b * size_t(pElems_), 0.f);
  }
  if (lipBound_) lipBuf_.assign(b * size_t(crop_) * size_t(crop_), 1.f);
  predictor_.emplace(identity_->NT());
}

void Renderer::Impl::bindAll() {
  binding_.emplace(*session_);
  const int64_t B = batch_, S = crop_;
  auto bindIn = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape) {
    bound_.push_back(Ort::Value::CreateTensor<float>(cpu_, buf.data(), buf.size(), shape.data(), shape.size()));
    binding_->BindInput(name, bound_.back());
  };
  if (fsRed_) {
    bindIn("fs_red", fsRedBuf_, {B, 64, 64, 64});
    bindIn("pooled", pooled_, {B, 64, 32, 32});
    bindIn("kd", kd_, {B, kHostKpRows, 3});
    bindIn("ks", ks_, {B, kHostKpRows, 3});
  } else {
    bindIn("pooled64", pooled_, {B, 64, 32, 32});
    if (!prep_) bindIn("P_rgb", P_, {B, 3, S, S});
    bindIn("kp_driving", kd_, {B, kHostKpRows, 3});
    bindIn("kp_source", ks_, {B, kHostKpRows, 3});
    if (lipBound_) bindIn(kLipInputName, lipBuf_, {B, 1, S, S});
  }
  const std::vector<int64_t> outShape{B, 3, S, S};
  bound_.push_back(Ort::Value::CreateTensor<float>(cpu_, rgb_.data(), rgb_.size(), outShape.data(), outShape.size()));
  binding_->BindOutput("rgb", bound_.back());
}

void Renderer::Impl::startPrep() {
  if (!prep_) return;
  prepBinding_.emplace(*prep_);
  const std::vector<int64_t> pShape{1, 3, crop_, crop_};
  prepInput_.emplace(Ort::Value::CreateTensor<float>(cpu_, P_.data(), size_t(pElems_), pShape.data(), 4));
  Ort::AllocatorWithDefaultOptions alloc;
  prepBinding_->BindInput(prep_->GetInputNameAllocated(0, alloc).get(), *prepInput_);
  for (Slot& s : ring_) {
    s.index = -1;
    s.data.assign(size_t(boundaryElems_), 0.f);
    s.value.emplace(Ort::Value::CreateTensor<float>(cpu_, s.data.data(), s.data.size(), boundaryDims_, 4));
  }
  prepThread_ = std::thread([this] { prepLoop(); });
  helpers_.add(prepThread_.native_handle());
}

void Renderer::Impl::prepLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (stop_) return;
    if (pending_ < 0) {
      cv_.wait(lock);
      continue;
    }
    prepBusy_ = true;
    runPrepL(pending_, pendingSlot_, lock);
    prepBusy_ = false;
    pending_ = -1;
    cv_.notify_all();
  }
}

// Fills `slot` with the boundary tensor of source frame srcIdx. Called with
// the lock held; runs ORT with it released. Only one fill runs at a time, so
// the P buffer and the prep binding are never shared.
void Renderer::Impl::runPrepL(int srcIdx, int slot, std::unique_lock<std::mutex>& lock) {
  Slot& s = ring_[slot];
  lock.unlock();
  std::string error;
  try {
    halfToFloat(identity_->P(srcIdx), P_.data(), size_t(pElems_));
    Ort::AllocatorWithDefaultOptions alloc;
    prepBinding_->BindOutput(prep_->GetOutputNameAllocated(0, alloc).get(), *s.value);
    prep_->Run(Ort::RunOptions(), *prepBinding_);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  }
  lock.lock();
  if (error.empty())
    s.index = srcIdx;
  else if (prepError_.empty())
    prepError_ = error;
}

int Renderer::Impl::acquire(int srcIdx) {
  std::unique_lock<std::mutex> lock(mu_);
  inUse_ = -1;
  for (;;) {
    if (!prepError_.empty()) {
      // Reported once: the failed slot stays empty, so the next render
      // fills it afresh instead of failing for the renderer's whole life.
      const std::string error = std::move(prepError_);
      prepError_.clear();
      throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xe2\x80\x94 " + error);
    }
    for (int i = 0; i < 2; ++i)
      if (ring_[i].index == srcIdx) {
        inUse_ = i;
        ++hits_;
        return i;
      }
    if (!prepBusy_ && pending_ < 0) {
      int pick = -1;
      for (int i = 0; i < 2 && pick < 0; ++i)
        if (i != inUse_ && (ring_[i].index < 0 || ring_[i].index != srcIdx)) pick = i;
      if (pick < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      ++misses_;
      ring_[pick].index = -1;
      runPrepL(srcIdx, pick, lock);
      continue;
    }
    cv_.wait(lock);
  }
}

void Renderer::Impl::fillLip(int j, const float* kd) {
  if (!lipBound_) return;
  lip_->contourF32Canvas(kd, lipBuf_.data() + size_t(j) * size_t(crop_) * size_t(crop_));
}

const float* Renderer::Impl::renderNative(const int* srcIdx, const float* kpSource, const float* kpDriving, int n) {
  const bool mapped = identity_->priorMapped();
  if (!mapped) pStage_.resize(size_t(batch_) * size_t(pElems_));
  for (int j = 0; j < n; ++j) {
    pooledPtrs_[size_t(j)] = identity_->pooled64(srcIdx[j]);
    const uint16_t* p = identity_->P(srcIdx[j]);
    if (!mapped) {
      uint16_t* dst = pStage_.data() + size_t(j) * size_t(pElems_);
      std::memcpy(dst, p, size_t(pElems_) * sizeof(uint16_t));
      p = dst;
    }
    pPtrs_[size_t(j)] = p;
  }
  native_->render(pooledPtrs_.data(), pPtrs_.data(), kpSource, kpDriving, n, rgb_.data());
  return rgb_.data();
}

const float* Renderer::Impl::render(const int* srcIdx, const float* kpSource, const float* kpDriving, int n) {
  if (n < 1 || n > batch_) throw std::runtime_error("render: bad n");
  for (int j = 0; j < n; ++j)
    if (srcIdx[j] < 0 || srcIdx[j] >= identity_->NT())
      throw std::runtime_error("render: source frame " + std::to_string(srcIdx[j]) + " is outside the loop of " +
                               std::to_string(identity_->NT()) + " frames");
  if (native_) return renderNative(srcIdx, kpSource, kpDriving, n);

  const size_t S2 = size_t(crop_) * size_t(crop_);
  if (prep_) {
    const int slot = acquire(srcIdx[0]);
    binding_->BindInput(boundaryName_.c_str(), *ring_[slot].value);
    halfToFloat(identity_->pooled64(srcIdx[0]), pooled_.data(), kPooledPerFrame);
    std::memcpy(ks_.data(), kpSource, kKpValues * sizeof(float));
    std::memcpy(kd_.data(), kpDriving, kKpValues * sizeof(float));
    fillLip(0, kpDriving);
    const int guess = predictor_->next(srcIdx[0]);
    {
      std::lock_guard<std::mutex> lock(mu_);
      const bool ready = ring_[0].index == guess || ring_[1].index == guess;
      if (!prepBusy_ && pending_ < 0 && prepError_.empty() && !ready) {
        for (int i = 0; i < 2; ++i)
          if (i != inUse_ && (ring_[i].index < 0 || ring_[i].index != guess)) {
            ring_[i].index = -1;
            pending_ = guess;
            pendingSlot_ = i;
            cv_.notify_all();
            break;
          }
      }
    }
  } else {
    for (int j = 0; j < batch_; ++j) {
      const size_t jj = size_t(j);
      if (j < n) {
        halfToFloat(identity_->pooled64(srcIdx[j]), pooled_.data() + jj * kPooledPerFrame, kPooledPerFrame);
        if (fsRed_)
          halfToFloat(identity_->fsRed(srcIdx[j]), fsRedBuf_.data() + jj * kFsRedPerFrame, kFsRedPerFrame);
        else
          halfToFloat(identity_->P(srcIdx[j]), P_.data() + jj * size_t(pElems_), size_t(pElems_));
      } else {
        const size_t last = size_t(n - 1);
        std::copy_n(pooled_.data() + last * kPooledPerFrame, kPooledPerFrame, pooled_.data() + jj * kPooledPerFrame);
        if (fsRed_)
          std::copy_n(fsRedBuf_.data() + last * kFsRedPerFrame, kFsRedPerFrame, fsRedBuf_.data() + jj * kFsRedPerFrame);
        else
          std::copy_n(P_.data() + last * size_t(pElems_), size_t(pElems_), P_.data() + jj * size_t(pElems_));
      }
      const size_t f = size_t(std::min(j, n - 1));
      std::memcpy(ks_.data() + jj * kKpValues, kpSource + f * kKpValues, kKpValues * sizeof(float));
      std::memcpy(kd_.data() + jj * kKpValues, kpDriving + f * kKpValues, kKpValues * sizeof(float));
      if (lipBound_) {
        if (j < n)
          fillLip(j, kpDriving + f * kKpValues);
        else
          std::copy_n(lipBuf_.data() + size_t(n - 1) * S2, S2, lipBuf_.data() + jj * S2);
      }
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  try {
    session_->Run(runOptions_, *binding_);
  } catch (const Ort::Exception&) {
    if (cancelled_.load()) throw std::runtime_error("Renderer " + key_ + ": the render was cancelled.");
    throw;
  }
  runMs_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runs_;
  // Everything the session's threads and the prep thread did since the last
  // frame was done for this one.
  const double helperMs = helpers_.cpuMs();
  telemetry::addHelperCpuMs(helperMs - helperSeenMs_);
  helperSeenMs_ = helperMs;
  return rgb_.data();
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
                   const std::string& ep)
    : impl_(std::make_unique<Impl>(manifest, identity, modelKey, threads, ep)) {}

Renderer::~Renderer() = default;

const float* Renderer::render(const int* srcIdx, const float* kpSource, const float* kpDriving, int n) {
  static telemetry::Counter& frames = telemetry::counter("render.frames");
  static telemetry::Value& ms = telemetry::value("render.call_ms");
  const telemetry::ScopedMs timer(ms);
  const float* crops = impl_->render(srcIdx, kpSource, kpDriving, n);
  frames.add(n);
  return crops;
}

// ONNX Runtime checks the flag between the graph's nodes.
void Renderer::cancel() {
  if (impl_->native_) return;
  impl_->cancelled_ = true;
  impl_->runOptions_.SetTerminate();
}
void Renderer::resume() {
  if (impl_->native_) return;
  impl_->runOptions_.UnsetTerminate();
  impl_->cancelled_ = false;
}

int Renderer::batch() const { return impl_->batch_; }
const char* Renderer::ep() const { return impl_->ep_.c_str(); }
const char* Renderer::backend() const { return impl_->native_ ? "neon" : "ort"; }
const std::string& Renderer::directorNote() const { return impl_->note_; }
bool Renderer::hoisted() const { return impl_->prep_.has_value(); }

uint64_t Renderer::ringHits() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->hits_;
}

uint64_t Renderer::ringMisses() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->misses_;
}

}  // namespace le
