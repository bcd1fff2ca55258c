// Linked into the tests that decode video. FFmpeg's frame-threaded decoder
// hands buffers between its own threads through atomics inside libraries
// that are not built with ThreadSanitizer, so every such hand-off shows up
// as a race within libavcodec/libavutil. Those reports are silenced here;
// races in the engine's own code are still reported.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libavutil.so\n";
}
