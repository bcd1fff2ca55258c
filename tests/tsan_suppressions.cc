// Linked into every test program of a ThreadSanitizer build. FFmpeg's
// frame-threaded decoder and ONNX Runtime's intra-op thread pool hand work
// between their own threads through atomics inside libraries that are not
// built with ThreadSanitizer, so every such hand-off shows up as a race
// within those libraries. Those reports are silenced here; races in the
// engine's own code are still reported.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n"
         "race:libonnxruntime.so\n";
}
