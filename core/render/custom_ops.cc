#include "core/render/custom_ops.h"

#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/render/int8_conv.h"
#include "core/render/sampler_kernels.h"

namespace le {

namespace {

constexpr int64_t kBandRows = 16;

// Turns any exception of a kernel body into an ORT status, so failures reach
// the caller of Run instead of unwinding through ORT's C frames.
template <class Body>
OrtStatusPtr statusOf(const OrtApi& api, Body&& body) noexcept {
  try {
    body();
    return nullptr;
  } catch (const Ort::Exception& e) {
    return api.CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return api.CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
  } catch (...) {
    return api.CreateStatus(ORT_RUNTIME_EXCEPTION, "unknown exception in a com.mirelund kernel");
  }
}

// Shape checks shared by the two samplers: X [N,C,H,W], grid [N,H,W,2].
void checkSamplerShapes(const char* op, const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
  if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[1] != xs[2] || gs[2] != xs[3] || gs[3] != 2)
    throw std::runtime_error(std::string(op) +
                             ": expects X [N,C,H,W] and a grid [N,H,W,2] with one sample point per input pixel.");
}

struct SamplerJob {
  const float* src;
  const float* grid;
  float* out;
  int64_t C, H, W;
};

template <bool Warp>
void runBand(void* p, size_t i) {
  const auto* j = static_cast<const SamplerJob*>(p);
  const int64_t r0 = static_cast<int64_t>(i) * kBandRows;
  if (Warp)
    warpDirectorBand(j->src, j->grid, j->out, j->W, j->H, r0, r0 + kBandRows);
  else
    gridsample_fast_band(j->src, j->grid, j->out, j->C, j->H, j->W, r0, r0 + kBandRows);
}

template <bool Warp>
struct SamplerKernel {
  explicit SamplerKernel(const OrtApi& api) : api_(api) {}

  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    return statusOf(api_, [&] {
      Ort::KernelContext ctx(context);
      const char* op = Warp ? "com.mirelund::WarpDirector" : "com.mirelund::GridSampleFast";
      Ort::ConstValue x = ctx.GetInput(0), grid = ctx.GetInput(1);
      const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
      const std::vector<int64_t> gs = grid.GetTensorTypeAndShapeInfo().GetShape();
      if (Warp && xs.size() == 4) checkWarpDirectorChannels(xs[1]);
      checkSamplerShapes(op, xs, gs);
      Ort::UnownedValue y = ctx.GetOutput(0, xs.data(), xs.size());
      const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3];
      if (N * C * H * W == 0) return;
      const float* src = x.GetTensorData<float>();
      const float* g = grid.GetTensorData<float>();
      float* out = y.GetTensorMutableData<float>();
      const size_t bands = static_cast<size_t>((H + kBandRows - 1) / kBandRows);
      for (int64_t n = 0; n < N; ++n) {
        SamplerJob job{src + n * C * H * W, g + n * H * W * 2, out + n * C * H * W, C, H, W};
        ctx.ParallelFor(&runBand<Warp>, bands, 0, &job);
      }
    });
  }

  const OrtApi& api_;
};

template <class TOp, class TKernel>
struct FloatOpBase : Ort::CustomOpBase<TOp, TKernel, true> {
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

template <bool Warp>
struct SamplerOp : FloatOpBase<SamplerOp<Warp>, SamplerKernel<Warp>> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo*, void** kernel) const {
    return statusOf(api, [&] { *kernel = new SamplerKernel<Warp>(api); });
  }
  const char* GetName() const { return Warp ? "WarpDirector" : "GridSampleFast"; }
  size_t GetInputTypeCount() const { return 2; }
};

// Int8ConvVNNI: X float, W int8, weight scale float, bias float.
struct Int8ConvKernel {
  Int8ConvKernel(const OrtApi& api, const OrtKernelInfo* info) : api_(api) {
    Ort::ConstKernelInfo ki(info);
    auto ints = [&](const char* name, std::vector<int64_t> dflt) {
      try {
        return ki.GetAttributes<int64_t>(name);
      } catch (const Ort::Exception&) {
        return dflt;
      }
    };
    const std::vector<int64_t> st = ints("strides", {1, 1}), pd = ints("pads", {0, 0, 0, 0}),
                               dl = ints("dilations", {1, 1});
    if (st.size() != 2 || pd.size() != 4 || dl.size() != 2)
      throw std::runtime_error("Int8ConvVNNI: strides, pads and dilations must hold 2, 4 and 2 values.");
    for (int i = 0; i < 2; ++i) {
      geo_.strides[i] = st[i];
      geo_.dilations[i] = dl[i];
    }
    for (int i = 0; i < 4; ++i) geo_.pads[i] = pd[i];
    try {
      geo_.group = ki.GetAttribute<int64_t>("group");
    } catch (const Ort::Exception&) {
      geo_.group = 1;
    }
    if (geo_.group < 1) throw std::runtime_error("Int8ConvVNNI: group must be at least 1.");
    // Constant weights are packed once here; weights fed at run time are
    // packed per run.
    int isConst = 0;
    Ort::ConstValue w = ki.GetTensorConstantInput(1, &isConst);
    if (isConst) packed_ = pack(w);
  }

  static Int8PackedWeights pack(const Ort::ConstValue& w) {
    const std::vector<int64_t> ws = w.GetTensorTypeAndShapeInfo().GetShape();
    if (ws.size() != 4) throw std::runtime_error("Int8ConvVNNI: weights must have rank 4 [Cout, Cin/group, kh, kw].");
    return Int8PackedWeights(w.GetTensorData<int8_t>(), ws[0], ws[1], ws[2], ws[3]);
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    return statusOf(api_, [&] {
      Ort::KernelContext ctx(context);
      Ort::ConstValue x = ctx.GetInput(0), w = ctx.GetInput(1), sc = ctx.GetInput(2), b = ctx.GetInput(3);
      const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
      if (xs.size() != 4) throw std::runtime_error("Int8ConvVNNI: X must have rank 4 [N, Cin, H, W].");
      Int8PackedWeights runtime;
      const Int8PackedWeights& pw = packed_.empty() ? (runtime = pack(w)) : packed_;
      const int64_t Ho = int8ConvOutSize(xs[2], pw.kh(), geo_.strides[0], geo_.pads[0], geo_.pads[2], geo_.dilations[0]);
      const int64_t Wo = int8ConvOutSize(xs[3], pw.kw(), geo_.strides[1], geo_.pads[1], geo_.pads[3], geo_.dilations[1]);
      const int64_t ys[4] = {xs[0], pw.cout(), Ho, Wo};
      Ort::UnownedValue y = ctx.GetOutput(0, ys, 4);
      int8ConvForward(x.GetTensorData<float>(), xs[0], xs[1], xs[2], xs[3], pw, sc.GetTensorData<float>(),
                      static_cast<int64_t>(sc.GetTensorTypeAndShapeInfo().GetElementCount()),
                      b.GetTensorData<float>(), static_cast<int64_t>(b.GetTensorTypeAndShapeInfo().GetElementCount()),
                      geo_, y.GetTensorMutableData<float>());
    });
  }

  const OrtApi& api_;
  Int8ConvGeometry geo_;
  Int8PackedWeights packed_;
};

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const {
    return statusOf(api, [&] { *kernel = new Int8ConvKernel(api, info); });
  }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

void domainOps(Ort::CustomOpDomain& d) {
  // The op objects must outlive every session that uses them: statics,
  // constructed before the domain and so destroyed after it.
  static SamplerOp<false> gridSampleFast;
  static SamplerOp<true> warp;
  d.Add(&gridSampleFast);
  d.Add(&warp);
}

Ort::CustomOpDomain& int8Domain() {
  static Int8ConvOp op;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.mirelund.int8");
    d.Add(&op);
    return d;
  }();
  return domain;
}

}  // namespace

Ort::CustomOpDomain& mirelundDomain() {
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.mirelund");
    domainOps(d);
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(mirelundDomain()); }
void registerWarpDirector(Ort::SessionOptions& options) { options.Add(mirelundDomain()); }
void registerInt8ConvVNNI(Ort::SessionOptions& options) { options.Add(int8Domain()); }

}  // namespace le
