// The process-wide speech encoder sessions shared by every audio-to-expression
// stream, and the session-opening rules every audio-side session follows.
//
// The full encoder reads 8 s windows ("input_values" [1,128000] ->
// "audio_emb" [12,200,768]); the optional short-window pair (a trunk over
// 2 s and a head over 8 video frames) gives the same features at a fraction
// of the cost. Sessions are opened lazily and kept until the process exits;
// one mutex (the encoder mutex) guards their creation and lookup, never their
// runs, so many streams run them at once.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>

namespace le::a2x {

// Session options of an audio-side session: `threads` intra-op threads
// (le::pool::threads() when below 1), one inter-op thread, no spinning,
// every graph optimisation, then the CUDA rule with `tag`.
Ort::SessionOptions audioSessionOptions(int threads, const char* tag);

// Appends the CUDA provider when LE_A2X_CUDA is exactly "1" and `tag` is
// exactly "w2v" (memory limit LE_A2X_CUDA_MEM_MIB when a positive integer,
// else 3072 MiB). Any failure is reported on stderr and leaves the CPU.
void maybeAddCuda(Ort::SessionOptions& options, const char* tag);

// Opens `path`; when the failure is the float16 Gelu fusion that the CPU
// provider has no kernel for, reopens once at the basic optimisation level.
// Other failures propagate.
Ort::Session openSession(Ort::Env& env, const std::string& path, Ort::SessionOptions& options);

// True for an open failure text naming both "Gelu" and "float16".
bool isGeluFloat16Failure(const std::string& message);

// Size of the file in bytes; -1 for an empty path or a file that does not
// open.
long long fileSize(const std::string& path);

// The shared full encoder, opened from `path` on the first call with
// `threads` intra-op threads; later calls get that session whatever path
// they name. Throws when opening fails (nothing is kept then).
Ort::Session& sharedW2v(const std::string& path, int threads);

// The path the shared full encoder was opened from ("" while none is open).
std::string sharedW2vPath();

// Looks for the short-window pair once per process (environment variables
// LE_A2X_W2V_WIN_ONNX and LE_A2X_W2V_HEAD_ONNX, else beside `encoderPath`)
// and opens it; reports on stderr either way. True when the pair is open.
bool sharedWindowPair(int threads, const std::string& encoderPath);

// The open short-window pair (valid once sharedWindowPair returned true).
struct WindowPair {
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  std::string trunkOutput;  // the trunk's first output
};
WindowPair windowPair();

// The trunk's output length LT: 0 while unknown (a dynamic length is taken
// from the first trunk run through setTrunkLength).
int trunkLength();
void setTrunkLength(int lt);

namespace detail {
// Times the full encoder has been opened in this process (tests: streams
// share one copy).
int fullEncoderLoads();
}  // namespace detail

}  // namespace le::a2x
