/* Public C interface of the facecore engine.
 *
 * Rules that hold for every function declared here:
 * - Handles (le_ctx and the others) are opaque. The library creates and
 *   destroys them; a host never frees or copies one itself.
 * - Ownership: pointers the library hands out stay valid until the next call
 *   of the same kind on the same object; buffers the host passes in belong to
 *   the host, and the library copies out of them before returning.
 * - Errors: a failing function returns NULL, 0 or a negative code and sets the
 *   calling thread's last-error text of its family (le_last_error for the core
 *   context, prior and tessera families). No exception crosses this boundary.
 *   Functions that take an error buffer write at most capacity - 1 bytes and a
 *   terminator into it instead.
 * - Threads: a handle may be used from any thread but by one thread at a
 *   time, unless a function says otherwise. Last-error texts are per thread.
 */
#ifndef LE_LE_H_
#define LE_LE_H_

#include <stddef.h>
#include <stdint.h>

#if defined(LE_BUILDING_LIBRARY) || !defined(_WIN32)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
namespace le {
/* Rows of every keypoint set the host feeds: 21 rows of (x, y, z). */
constexpr int kHostKpRows = 21;
}  // namespace le
extern "C" {
#endif

/* Returns the library's version as "major.minor.patch"; never NULL. */
LE_API const char* le_version(void);

/* Returns the number of keypoint rows the library expects per set (21). */
LE_API int le_host_kp_rows(void);

/* Returns the name of the SIMD target the kernels run on, e.g. "AVX2". */
LE_API const char* le_simd_target(void);

/* Returns the calling thread's last error of the core family; "" when none. */
LE_API const char* le_last_error(void);

/* ---- Telemetry: what the engine did, and on what machine. ----
 * The engine's stages keep named counters (e.g. "render.frames",
 * "paste.frames", "driver.frames_decoded", "driver.underruns") and sampled
 * values (e.g. "render.call_ms", "paste.ms") for the whole process; updating
 * them never takes a lock. Both functions are safe from any thread. */

/* Writes one JSON document with every counter and value and a snapshot of the
 * machine into buf:
 *   {"format": "facecore-telemetry-v1", "facecore": "<version>",
 *    "machine": {"cpu_model", "logical_cores", "online_cores", "simd_target",
 *                "onnxruntime", "libavcodec", "ffmpeg", "os",
 *                "memory_total_bytes", "memory_available_bytes",
 *                "process_rss_bytes"},
 *    "counters": {"<name>": <count>, ...},
 *    "values": {"<name>": {"count", "sum", "mean", "min", "max", "last"}, ...}}
 * Names are sorted; machine figures that cannot be read are -1 or "unknown".
 * Returns the document's length in bytes without the terminator. When that
 * is cap or more, buf receives "" (never a cut document) and the host calls
 * again with a buffer of at least the length + 1; nothing is written when buf
 * is NULL or cap is 0. The document grows as counters move, so leave room
 * or call in a loop. Returns -1 with le_last_error set on failure. */
LE_API int64_t le_telemetry_json(char* buf, size_t cap);

/* Zeroes every counter and value; names stay registered. */
LE_API void le_telemetry_reset(void);

/* Adds one sample to the value `name` (created on first use), e.g. a host's
 * own "frame_cpu.encode_ms" beside the engine's per-frame stage CPU values
 * "frame_cpu.<source|render|teeth|decode|paste>_ms". Returns 0, or -1 with
 * le_last_error set for a NULL or malformed name. */
LE_API int le_telemetry_record(const char* name, double sample);

/* Reads the value `name`: its sample count and sum. Returns 1, or 0 when no
 * such value was ever recorded (then nothing is written). */
LE_API int le_telemetry_value(const char* name, int64_t* count, double* sum);

/* ---- Warp-prior frames: the bundle's prior video played by loop frame. ---- */

/* Opaque handle over a bundle's warp-prior video and its frame cursor. */
typedef struct le_prior le_prior;

/* Opens the warp-prior video of the bundle at bundle_dir with the given
 * look-ahead (2 when below 1) and history (at least 0) in frames, which
 * together hold at most 4096 frames; NULL on failure, with le_last_error set. */
LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);

/* Returns the bytes of one prior frame (crop * crop * 3 halves); 0 for NULL. */
LE_API uint64_t le_prior_row_bytes(const le_prior* prior);

/* Copies loop frame si as planar half-precision RGB into out (cap bytes);
 * returns 1 on success, 0 on failure with le_last_error set. */
LE_API int le_prior_row(le_prior* prior, int si, void* out, uint64_t cap);

/* Returns the decoder description of the prior (owned by the handle); "" for NULL. */
LE_API const char* le_prior_backend(const le_prior* prior);

/* Stops the prior's decoding thread and frees the handle; NULL is ignored. */
LE_API void le_prior_close(le_prior* prior);

/* ---- Core context: one opened avatar bundle ---- */

/* An opened avatar bundle: manifest, identity and drive data, renderer,
 * compositor and driving-video cursor. */
typedef struct le_ctx le_ctx;

/* Opens the bundle at bundle_dir (directory or IMX container) with director
 * model "model_<model_key>.onnx", threads workers (< 1: the core's count) and
 * execution provider ep (NULL or "" for the CPU); NULL with le_last_error set
 * on failure. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);

/* Releases the context and everything it owns; NULL is accepted. */
LE_API void le_destroy(le_ctx* ctx);

/* Returns the frame count of the driving loop; 0 for a NULL context. */
LE_API int le_nt(le_ctx* ctx);

/* Returns the full-frame width in pixels; 0 for a NULL context. */
LE_API int le_width(le_ctx* ctx);

/* Returns the full-frame height in pixels; 0 for a NULL context. */
LE_API int le_height(le_ctx* ctx);

/* Returns the side of the square face crop in pixels; 0 for a NULL context. */
LE_API int le_crop(le_ctx* ctx);

/* Returns the number of drive frames; 0 for a NULL context. */
LE_API int le_drive_frames(le_ctx* ctx);

/* Renders source frame src_index driven from keypoints xs to xd (21 x 3 floats
 * each) and returns the crop (3 planes of crop x crop floats in 0..1, valid
 * until the next render on ctx), or NULL. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int src_index, const float* xs, const float* xd);

/* Renders drive frame drive_index with its own source frame and keypoints and
 * returns the crop as le_render_kp_crop does, or NULL. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int drive_index);

/* Renders as le_render_kp_crop and pastes into driving frame src_index,
 * writing width x height RGBA pixels into out (out_len >= width*height*4);
 * returns 1, or 0 on failure. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int src_index, const float* xs, const float* xd, uint8_t* out,
                             size_t out_len);

/* Renders drive frame drive_index and pastes it into the driving frame it
 * was rendered from, as RGBA into out (out_len >= width*height*4); returns 1,
 * or 0 on failure. */
LE_API int le_render_drive_rgba(le_ctx* ctx, int drive_index, uint8_t* out, size_t out_len);

/* Pastes crop into driving frame frame_index, written as packed RGB into out
 * (out_len >= width*height*3); returns 1, or 0 on failure. */
LE_API int le_paste_crop(le_ctx* ctx, int frame_index, const float* crop, uint8_t* out, size_t out_len);

/* Pastes the most recent rendered crop into driving frame frame_index and
 * returns the context's RGB frame (valid until the next paste or RGBA render),
 * or NULL. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int frame_index);

/* Returns driving frame frame_index as packed RGB (valid until the cursor
 * next moves), or NULL. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int frame_index);

/* Writes the bundle directory that handle resolves to into out (with its
 * terminator); returns 1, or -1 when it does not fit or resolving fails. */
LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t out_len);

/* Writes the path of bundle member `member` of handle into out; returns 1 when
 * that file can be read, 0 when it cannot, -1 on bad arguments or no room. */
LE_API int le_bundle_resolve_member(const char* handle, const char* member, char* out, size_t out_len);

/* ---- Tessera family: the borrowed-teeth members of a bundle. ----
 * These functions report failures into a caller buffer (err, err_cap): at
 * most err_cap - 1 bytes and a terminator, nothing when err is NULL or
 * err_cap < 1. Strings and arrays returned by a handle stay owned by it. */
typedef struct le_tessera_carriage le_tessera_carriage;
typedef struct le_tessera_members le_tessera_members;

/* Returns the number of teeth member slots (4). */
LE_API int le_tessera_slot_count(void);

/* Returns the key of slot i (0..3), or NULL outside that range. */
LE_API const char* le_tessera_slot_key(int i);

/* Finds a bundle's teeth members; NULL only for a NULL argument or out of memory. */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);

/* Returns 1 when all four members are present, else 0 (0 for NULL). */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* h);

/* Returns 1 when the manifest declares a "tessera" block, else 0 (0 for NULL). */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* h);

/* Returns the member path of a slot, valid until the next call on h; "" for NULL or unknown keys. */
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* h, const char* slot_key);

/* Returns the number of missing member slots (0 for NULL). */
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* h);

/* Returns the i-th missing slot key, or NULL when out of range. */
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* h, int i);

/* Frees a carriage handle; NULL is ignored. */
LE_API void le_tessera_carriage_close(le_tessera_carriage* h);

/* Loads and validates a bundle's teeth members; NULL with the reason in err on failure. */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, size_t err_cap);

/* Returns the donor count (0 for NULL). */
LE_API int32_t le_tessera_members_n_donors(const le_tessera_members* h);

/* Returns the stored reference band width in pixels (0 for NULL). */
LE_API int32_t le_tessera_members_band_w(const le_tessera_members* h);

/* Returns the stored reference band height in pixels (0 for NULL). */
LE_API int32_t le_tessera_members_band_h(const le_tessera_members* h);

/* Returns the 2 x n_donors donor centroids (x, y), or NULL when empty or for NULL. */
LE_API const double* le_tessera_members_cent(const le_tessera_members* h);

/* Returns the n_donors donor apertures, or NULL when empty or for NULL. */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* h);

/* Returns the head weights file bytes, or NULL when empty or for NULL. */
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* h);

/* Returns the byte count of the head weights file (0 for NULL). */
LE_API uint32_t le_tessera_members_head_pt_len(const le_tessera_members* h);

/* Returns the canonical centroid as 2 doubles (x, y), or NULL for NULL. */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* h);

/* Returns the 12 geometry stamp integers, or NULL for NULL. */
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* h);

/* Returns the head configuration text ("" for NULL). */
LE_API const char* le_tessera_members_head_json(const le_tessera_members* h);

/* Returns the bundle manifest text ("" for NULL). */
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* h);

/* Returns the path of the bank's reference track ("" for NULL). */
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* h);

/* Returns the reference track's container name ("" for NULL). */
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* h);

/* Returns the reference track's codec name, possibly "" ("" for NULL). */
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* h);

/* Returns the reference track's pixel format ("" for NULL). */
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* h);

/* Returns the reference track's packing ("" for NULL). */
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* h);

/* Returns n_donors x band_h x band_w x 3, the bytes of all reference bands (0 for NULL). */
LE_API int64_t le_tessera_members_band_bytes(const le_tessera_members* h);

/* Copies the reference bands from track order (src) into donor order (dst); 0 on success, 1 with err set on failure. */
LE_API int le_tessera_members_reorder(const le_tessera_members* h, const uint8_t* src, uint8_t* dst, char* err,
                                      size_t err_cap);

/* Frees a members handle; NULL is ignored. */
LE_API void le_tessera_members_close(le_tessera_members* h);

/* Decodes the bank's reference track into dst (le_tessera_members_band_bytes
 * bytes): the reference bands in donor order, ready for le_tessera_run and
 * le_utt_tessera_attach. 0 on success, 1 with err set on failure. */
LE_API int le_tessera_members_decode_bank(const le_tessera_members* h, uint8_t* dst, char* err, size_t err_cap);

/* Runs the borrowed-teeth pass over a batch of n_frames face crops, pushing
 * every frame in order and flushing at the end.
 *   bands      n_donors reference bands in donor order, each band_h x band_w x 3
 *              bytes (band sizes follow from the stamp)
 *   cent       2 x n_donors donor centroids (x, y); c_canon: 2 doubles (x, y)
 *   aperture   n_donors donor apertures
 *   stamp      the 12 geometry integers (canvas_w ... shift_margin), validated first
 *   head_json  the head configuration text; head_pt, head_pt_len: the head weights file
 *   canvases   n_frames x canvas_h x canvas_w x 3 bytes of packed RGB
 *   masks      n_frames x canvas_h x canvas_w mouth mask bytes
 *   windows_out  n_frames x window_h x window_w x 3 bytes: each frame's composed
 *              mouth window; a skipped frame gets its own, unchanged window
 *   skipped_out  n_frames bytes, 1 where the pass skipped the frame (its mask was
 *              empty or its shift out of range), else 0; may be NULL
 * The frame's shift comes from its mask's centroid. Returns 0 on success, 1
 * with the reason in err on failure; windows_out is then unspecified. */
LE_API int le_tessera_run(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const char* head_json,
                          const uint8_t* head_pt, size_t head_pt_len, const uint8_t* canvases,
                          const uint8_t* masks, int n_frames, uint8_t* windows_out, uint8_t* skipped_out,
                          char* err, size_t err_cap);

/* As le_tessera_run, with each frame's shift given: shifts holds n_frames
 * pairs (dy, dx) in whole pixels; a pair beyond the stamp's pad skips that
 * frame. */
LE_API int le_tessera_run_shift(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const char* head_json,
                                const uint8_t* head_pt, size_t head_pt_len, const uint8_t* canvases,
                                const uint8_t* masks, const int32_t* shifts, int n_frames,
                                uint8_t* windows_out, uint8_t* skipped_out, char* err, size_t err_cap);

/* ---- Stream runner: a whole clip of speech rendered in one call. ----
 * The stream owns its own context (director "model_render.onnx") and the
 * bundle's face-coefficient adapter ("fca_stream.onnx"). One thread at a
 * time per stream; failures set le_stream_last_error. */
typedef struct le_stream le_stream;

/* Receives frame `index` (from 0) as width x height x 3 RGB bytes, valid
 * only during the call. */
typedef void (*le_stream_frame_fn)(void* user, int index, const uint8_t* rgb, int width, int height);

/* Opens bundle_dir with the 8-second speech encoder at encoder_path;
 * `skip` leading frames of every clip are dropped and the adapter's deltas
 * are scaled by `scale`. NULL on failure. */
LE_API le_stream* le_stream_create(const char* bundle_dir, const char* encoder_path, int threads, int skip,
                                   float scale);

/* Renders the n samples (16 kHz) as ceil(n / 640) - skip frames, handing
 * each to fn in order; returns the frames delivered, 0 for none, -1 on
 * failure. */
LE_API int le_stream_run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user);

/* Frame width and height in pixels; 0 for NULL. */
LE_API int le_stream_width(le_stream* s);
LE_API int le_stream_height(le_stream* s);

/* Frees the stream and its context; NULL is ignored. */
LE_API void le_stream_destroy(le_stream* s);

/* Returns the calling thread's last error of this family; "" when none. */
LE_API const char* le_stream_last_error(void);

/* ---- Utterance pipeline: speech pushed in real time, 25 fps frames out. ----
 * Every function here may be called from any host thread while the
 * pipeline's own threads run; each takes the pipeline's lock briefly and
 * never renders. le_utt_destroy must not race with other calls on the same
 * pipeline, and must come before le_destroy of its context. Failures set
 * the calling thread's le_utt_last_error text (separate from le_last_error);
 * render failures are read with le_utt_render_status. */
typedef struct le_utt le_utt;

typedef struct le_utt_opts {
  const char* motion_dir;   /* directory of the animation source's files (required) */
  int threads;              /* source worker count; < 1: the context's */
  const char* ep;           /* execution provider of the keypoint-motion source; NULL is "" */
  const char* steady_model; /* chunk renderer's model key; NULL or "": "b24_fp32"; "-": none */
  int eager;                /* source eager value; -2: hybrid; <= 0 otherwise: LE_UTT_HYBRID decides */
  double hold_s;            /* silence that ends an utterance, seconds; 0: 0.6; negative: never */
  int ramp_frames;          /* ramp after an utterance ends; < 1: 6 */
  int interrupt_ramp_frames; /* ramp after an interrupt; < 1: 4 */
} le_utt_opts;

typedef struct le_utt_frame_info {
  int64_t seq;          /* sequence number, from 0 over every published frame */
  int32_t kind;         /* 0 idle, 1 speech, 2 ramp */
  int32_t src_index;    /* driving-video frame */
  int32_t speech_index; /* frame within the utterance; -1 for idle and ramp */
} le_utt_frame_info;

typedef struct le_utt_stats {
  int64_t frames_pulled;
  int64_t speech_frames_pulled;
  int64_t utterances;            /* utterances whose first speech frame was published */
  double first_frame_latency_ms; /* latest utterance: first push to first speech frame */
  double render_ms_avg;          /* running average, old * 0.9 + sample * 0.1 */
  int32_t state;                 /* 0 idle, 1 utterance started, 2 speech, 3 ramp */
} le_utt_stats;

/* Starts a pipeline over ctx (which must outlive it); NULL on failure. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);

/* As le_utt_create with motion_dir and every other option zero. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);

/* Stops and joins the pipeline's threads and frees it; NULL is ignored. */
LE_API void le_utt_destroy(le_utt* u);

/* Returns the calling thread's last error of this family; "" when none. */
LE_API const char* le_utt_last_error(void);

/* Returns 1 when the animation source is up, 0 while warming up, -1 when it
 * failed (le_utt_last_error names why) or for NULL. Idle frames flow before. */
LE_API int le_utt_ready(le_utt* u);

/* Appends n 16-bit samples at 16 kHz (n = 0 only marks the time); 1, or 0
 * on bad arguments or, for n > 0, once the animation source has failed
 * (le_utt_ready -1; le_utt_last_error names why). */
LE_API int le_utt_push_audio(le_utt* u, const int16_t* pcm, int n);

/* Ends the current utterance once its frames are out; then it ramps to idle. */
LE_API void le_utt_end_utterance(le_utt* u);

/* Drops the current utterance at once: queued frames are discarded and the
 * face ramps back to idle from the last frame pulled. */
LE_API void le_utt_interrupt(le_utt* u);

/* Returns the frames waiting to be pulled (0 to 8); 0 for NULL. */
LE_API int le_utt_frames_available(le_utt* u);

/* Copies the next frame (width x height x 3 RGB bytes) into dst and fills
 * info when given. Returns 1, or 0 when no frame is waiting or on error
 * (a too small buffer keeps the frame for the next call). */
LE_API int le_utt_pull_frame(le_utt* u, uint8_t* dst, size_t dst_len, le_utt_frame_info* info);

/* Copies the statistics; nothing happens when either pointer is NULL. */
LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* out);

/* Writes the render-failure count and the last failure text (msg, msg_len);
 * returns -1 after a fatal render failure, else 0. */
LE_API int le_utt_render_status(le_utt* u, int64_t* failures, char* msg, int msg_len);

/* Arms the borrowed-teeth pass from a loaded members handle's contents:
 * reference bands (n_donors x band_h x band_w x 3 RGB, donor order), donor
 * count, centroids (2 x n_donors), canonical centroid (2), apertures
 * (n_donors), geometry stamp (12), head weights bytes and length, head
 * configuration text and manifest text. Returns 0 when armed, 1 with the
 * reason in err (err_len) when refused. */
LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bands, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len);

/* Writes the teeth pass's composed-frame and failed-result counts and its
 * last failure; returns 0 without a pass, -1 once it failed, else 1. */
LE_API int le_utt_tessera_stats(le_utt* u, int64_t* a, int64_t* b, char* msg, int msg_len);

/* Writes the mean and last synthesis weight and the frame count of the teeth
 * pass; returns 1 when it has counted frames, else 0. */
LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* last, int64_t* count);

/* Copies the teeth pass's mouth-geometry text into dst (len); returns 1 with
 * a pass attached, else 0. */
LE_API int le_utt_tessera_geometry(le_utt* u, char* dst, int len);

/* ---- Keypoint motion: speech in, driving keypoints out, for bundles whose
 * motion directory carries the keypoint-motion models. ----
 * A stream is used by one thread at a time. Failures set the calling
 * thread's le_motion_last_error text (separate from every other family);
 * every function clears it first. Sample and output arrays belong to the
 * caller. */
typedef struct le_motion le_motion;

/* Opens motion directory motion_dir with threads intra-op threads (< 1: the
 * core's count) on execution provider ep (NULL or "" for the CPU); NULL on
 * failure ("le_motion_create: NULL motion_dir" or "le_motion_create: " and
 * the reason). */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);

/* Frees the stream; NULL is ignored. */
LE_API void le_motion_destroy(le_motion* m);

/* Returns the calling thread's last error of this family; "" when none. */
LE_API const char* le_motion_last_error(void);

/* Starts a new utterance: drops all audio and results; driving frames start
 * at start (clamped to 0..nt-1) and walk by -1 for a negative step, else +1,
 * wrapping when loop is non-zero, else bouncing at the ends. */
LE_API void le_motion_reset(le_motion* m, int start, int step, int loop);

/* With eager > 0, frames may be offered before their audio look-ahead has
 * arrived; they are recomputed from complete audio as it comes. */
LE_API void le_motion_set_eager(le_motion* m, int eager);

/* Appends n >= 0 mono 16 kHz samples; 1, or 0 with "le_motion_push: bad
 * args / already finished". */
LE_API int le_motion_push(le_motion* m, const float* samples, int n);

/* Ends the utterance's audio and computes all remaining frames. */
LE_API void le_motion_finish(le_motion* m);

/* After le_motion_finish the utterance's frame count, ceil(samples / 640);
 * -1 before. */
LE_API int le_motion_total(le_motion* m);

/* Computes what the audio allows and returns the frames ready to pull. */
LE_API int le_motion_avail(le_motion* m);

/* Writes up to max frames: the driving frame index (idx may be NULL), 63
 * source keypoint values (xs) and 63 driving keypoint values (xd) per frame.
 * Returns the frames written; 0 with "le_motion_pull: bad args" when xs or xd
 * is NULL or max <= 0. */
LE_API int le_motion_pull(le_motion* m, int32_t* idx, float* xs, float* xd, int max);

/* Returns the driving-loop length nt (0 for NULL). */
LE_API int le_motion_nt(le_motion* m);

/* ---- Face-coefficient adapter: 63 expression coefficients per video frame
 * for a whole utterance, from a private copy of the 8-second speech encoder
 * and the bundle's autoregressive adapter model ("fca_stream.onnx"). ----
 * An adapter is used by one thread at a time. Failures set the calling
 * thread's le_fca_last_error text. */
typedef struct le_fca le_fca;

/* Opens the speech encoder at encoder_path and the adapter at adapter_path
 * with threads intra-op threads (< 1: the core's count); NULL with
 * "le_fca_create: " and the reason on failure. */
LE_API le_fca* le_fca_create(const char* encoder_path, const char* adapter_path, int threads);

/* Computes ceil(n / 640) frames of 63 coefficients from n samples into out
 * (cap frames of room). Returns the frame count; 0 for n < 1; -1 when cap is
 * too small (nothing written) or on failure. Calls are independent. */
LE_API int le_fca_deltas(le_fca* f, const float* samples, int n, float* out, int cap);

/* Returns the calling thread's last error of this family; "" when none. */
LE_API const char* le_fca_last_error(void);

/* Frees the adapter and its sessions; NULL is ignored. */
LE_API void le_fca_destroy(le_fca* f);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LE_LE_H_ */
