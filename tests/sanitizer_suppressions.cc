// Linked into every test program of a sanitizer build. FFmpeg's
// frame-threaded decoder and ONNX Runtime's intra-op thread pool hand work
// between their own threads through atomics inside libraries that are not
// built with ThreadSanitizer, so every such hand-off shows up as a race
// within those libraries; and ONNX Runtime 1.21 does not free the status a
// custom kernel returns when it fails a run. Those reports are silenced here;
// races and leaks in the engine's own code are still reported.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n"
         "race:libonnxruntime.so\n";
}

extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}
