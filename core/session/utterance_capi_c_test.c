/* The utterance family from plain C, against le/le.h alone.
 * Usage: session_utterance_capi_c_test BUNDLE_DIR MOTION_DIR [SPEECH]
 * MOTION_DIR may hold no animation source at all: the pipeline then stays
 * not ready and plays idle frames. With SPEECH (any non-empty argument) the
 * motion directory's source must come up and speak. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "le/le.h"

#define LE_CHECK_CONTEXT le_utt_last_error()
#include "tests/c_check.h"

static void sleepMs(int ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static double nowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

/* How many times slower than real time the program runs ($LE_TEST_TIME_SCALE,
 * set for runs under an emulator). The pipeline then drains its audio that
 * much later, and pauses meant to outlast its hold stretch with it. */
static int timeScale(void) {
  const char* v = getenv("LE_TEST_TIME_SCALE");
  const int s = v ? atoi(v) : 1;
  return s < 1 ? 1 : (s > 1000 ? 1000 : s);
}

/* Pulls one frame, waiting up to 20 s (stretched by the time scale). */
static int pullWait(le_utt* u, unsigned char* buf, size_t len, le_utt_frame_info* info) {
  for (int i = 0; i < 20000 * timeScale(); ++i) {
    if (le_utt_pull_frame(u, buf, len, info)) return 1;
    sleepMs(1);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s BUNDLE_DIR MOTION_DIR [SPEECH]\n", argv[0]);
    return 2;
  }
  const int speech = argc > 3 && argv[3][0];
  le_utt_opts opts;
  memset(&opts, 0, sizeof opts);
  CHECK(le_utt_create(NULL, &opts) == NULL);
  CHECK(strcmp(le_utt_last_error(), "le_utt_create: NULL ctx/opts") == 0);

  le_ctx* ctx = le_create(argv[1], "b1_fp32", 1, NULL);
  if (!ctx) {
    fprintf(stderr, "le_create: %s\n", le_last_error());
    return 1;
  }
  CHECK(le_utt_create(ctx, NULL) == NULL);
  CHECK(le_utt_create(ctx, &opts) == NULL);
  CHECK(strcmp(le_utt_last_error(), "le_utt_create: opts.motion_dir required") == 0);

  le_utt* u = le_utt_open(ctx, argv[2]);
  CHECK(u != NULL);
  if (!u) return 1;
  const size_t bytes = (size_t)le_width(ctx) * (size_t)le_height(ctx) * 3;
  unsigned char* buf = malloc(bytes);
  le_utt_frame_info info;

  /* Idle frames come from the start, ready or not. */
  CHECK(pullWait(u, buf, bytes, &info) == 1);
  CHECK(info.kind == 0 && info.seq == 0 && info.src_index == 0 && info.speech_index == -1);
  CHECK(le_utt_frames_available(u) <= 8);
  while (le_utt_frames_available(u) == 0) sleepMs(1);
  CHECK(le_utt_pull_frame(u, buf, bytes - 1, &info) == 0);
  CHECK(strcmp(le_utt_last_error(), "le_utt_pull_frame: buffer too small") == 0);
  CHECK(le_utt_pull_frame(u, buf, bytes, &info) == 1);
  CHECK(info.seq == 1 && info.src_index == 1);
  CHECK(le_utt_pull_frame(u, NULL, bytes, &info) == 0);
  CHECK(strcmp(le_utt_last_error(), "le_utt_pull_frame: bad args") == 0);

  short pcm[640];
  for (int i = 0; i < 640; ++i) pcm[i] = (short)((i % 40) * 800 - 16000);
  CHECK(le_utt_push_audio(u, NULL, 10) == 0);
  CHECK(strcmp(le_utt_last_error(), "le_utt_push_audio: bad args") == 0);
  CHECK(le_utt_push_audio(u, pcm, 0) == 1);
  CHECK(strcmp(le_utt_last_error(), "") == 0);

  int ready = 0;
  for (int i = 0; i < 60000 && (ready = le_utt_ready(u)) == 0; ++i) sleepMs(1);
  if (speech) {
    CHECK(ready == 1);
    /* The empty push above does not start the latency clock: only the
     * speech below does. */
    sleepMs(300);
    const double before = nowMs();
    /* Two seconds of speech, then the end: speech frames, a ramp, idle. */
    for (int i = 0; i < 50; ++i) CHECK(le_utt_push_audio(u, pcm, 640) == 1);
    le_utt_end_utterance(u);
    int spoken = 0, ramp = 0, after = 0;
    double firstSeen = 0;
    while (after < 2 && pullWait(u, buf, bytes, &info)) {
      if (info.kind == 1 && !spoken++) firstSeen = nowMs();
      if (info.kind == 2) ++ramp;
      if (info.kind == 0 && ramp) ++after;
    }
    CHECK(spoken == 50);
    CHECK(ramp == 6);
    le_utt_stats st;
    le_utt_get_stats(u, &st);
    CHECK(st.utterances == 1 && st.speech_frames_pulled == 50 && st.state == 0);
    CHECK(st.first_frame_latency_ms > 0 && st.render_ms_avg > 0);
    CHECK(st.first_frame_latency_ms <= firstSeen - before);

    /* Speech pushed after the end, while the first utterance is still
     * being delivered, opens the next utterance: none of it is lost or
     * glued onto the first. Likewise after a pause just over the hold. */
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 30; ++i) CHECK(le_utt_push_audio(u, pcm, 640) == 1);
      if (round == 0) le_utt_end_utterance(u);
      const double until = nowMs() + (round == 0 ? 100 : 680 * timeScale());
      int ramps = 0, lastKind = 0;
      spoken = after = 0;
      while (nowMs() < until) {
        if (le_utt_pull_frame(u, buf, bytes, &info)) {
          spoken += info.kind == 1;
          if (info.kind == 2 && lastKind != 2) ++ramps;
          lastKind = info.kind;
        }
        sleepMs(2);
      }
      for (int i = 0; i < 30; ++i) CHECK(le_utt_push_audio(u, pcm, 640) == 1);
      le_utt_end_utterance(u);
      for (int n = 0; n < 400 && after < 2 && pullWait(u, buf, bytes, &info); ++n) {
        if (info.kind == 1) ++spoken;
        if (info.kind == 2 && lastKind != 2) ++ramps;
        if (info.kind == 0 && ramps == 2) ++after;
        lastKind = info.kind;
      }
      CHECK(spoken == 60);
      CHECK(ramps == 2);
      le_utt_get_stats(u, &st);
      CHECK(st.utterances == 3 + 2 * round);
    }
  } else {
    CHECK(ready == -1);
    CHECK(strlen(le_utt_last_error()) > 0);
    CHECK(pullWait(u, buf, bytes, &info) == 1 && info.kind == 0);
    /* Speech for a failed source is refused, not piled up. */
    CHECK(le_utt_push_audio(u, pcm, 640) == 0);
    CHECK(strncmp(le_utt_last_error(), "le_utt_push_audio: the animation source failed: ", 48) == 0);
    CHECK(le_utt_push_audio(u, pcm, 0) == 1);
  }

  int64_t failed = -1;
  char msg[64];
  CHECK(le_utt_render_status(u, &failed, msg, sizeof msg) == 0);
  CHECK(failed == 0 && msg[0] == '\0');
  char err[256];
  CHECK(le_utt_tessera_attach(NULL, NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, err, sizeof err) == 1);
  CHECK(strcmp(err, "le_utt_tessera_attach: null session") == 0);
  CHECK(le_utt_tessera_attach(u, NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, err, sizeof err) == 1);
  CHECK(strncmp(err, "le_utt_tessera_attach: a required member is null", 48) == 0);
  int64_t a = -1, b = -1;
  CHECK(le_utt_tessera_stats(u, &a, &b, msg, sizeof msg) == 0);
  CHECK(le_utt_tessera_geometry(u, msg, sizeof msg) == 0 && msg[0] == '\0');
  double mean, last;
  int64_t count;
  CHECK(le_utt_tessera_synth_w(u, &mean, &last, &count) == 0);

  le_utt_interrupt(u);
  le_utt_destroy(u);
  le_utt_destroy(NULL);
  CHECK(le_utt_ready(NULL) == -1 && le_utt_frames_available(NULL) == 0);
  free(buf);
  le_destroy(ctx);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  else printf("utterance C API checks passed\n");
  return failures ? 1 : 0;
}
