// ONNX Runtime custom operators of the director: com.mirelund::GridSampleFast,
// com.mirelund::WarpDirector and com.mirelund.int8::Int8ConvVNNI. They run on
// the CPU execution provider and are declared against the ORT_API_VERSION of
// the ONNX Runtime headers the project is built with.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace le {

// The process-wide "com.mirelund" domain carrying GridSampleFast and
// WarpDirector; created on first use, released at process exit.
Ort::CustomOpDomain& mirelundDomain();

// Both add the shared "com.mirelund" domain, so either registers both ops.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);
// Adds the "com.mirelund.int8" domain.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

}  // namespace le
