/* Public C interface of the audio-to-expression stream (le_a2x_*): 16 kHz
 * mono speech in, one frame of 63 expression coefficients per 640 samples
 * (25 fps) out, each paired with a frame of the avatar's driving loop.
 *
 * Rules of this family:
 * - Ownership: a stream is created by le_a2x_create and freed only by
 *   le_a2x_destroy. Sample and output arrays belong to the caller; the
 *   library copies what it needs before returning.
 * - Threads: a stream is used by one thread at a time; different streams may
 *   run on different threads at once. The speech encoder is loaded once per
 *   process and shared by every stream.
 * - Errors: failing functions return NULL or a negative count and set the
 *   calling thread's le_a2x_last_error text, which is separate from
 *   le_last_error. No exception crosses this boundary.
 */
#ifndef LE_LE_A2X_H_
#define LE_LE_A2X_H_

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One audio-to-expression stream over an avatar's models. */
typedef struct le_a2x le_a2x;

/* Opens the stream of the bundle (directory or container) at bundle with
 * `threads` intra-op threads (< 1 or above the core's count: the core's
 * count); needs $W2V_ONNX. NULL with le_a2x_last_error set on failure. */
LE_API le_a2x* le_a2x_create(const char* bundle, int threads);

/* Frees the stream; NULL is ignored. */
LE_API void le_a2x_destroy(le_a2x* a);

/* Returns the calling thread's last error of this family; "" when none. */
LE_API const char* le_a2x_last_error(void);

/* Starts a new utterance: drops all audio and results. Driving frames start
 * at `start` (negative: where the next pulled frame would have been) and
 * walk forward (step >= 0) or backward (step < 0); with loop 0 the walk
 * bounces off the ends of the loop instead of wrapping. */
LE_API void le_a2x_reset(le_a2x* a, int start, int step, int loop);

/* Appends n samples (single precision, 16 kHz); n < 1 is ignored. Returns 1. */
LE_API int le_a2x_push(le_a2x* a, const float* samples, int n);

/* Marks the end of the utterance's audio: the remaining frames follow. */
LE_API void le_a2x_finish(le_a2x* a);

/* After le_a2x_finish the utterance's frame count, ceil(samples / 640);
 * -1 before. */
LE_API int le_a2x_total(le_a2x* a);

/* Computes ahead and returns the frames ready to pull now. */
LE_API int le_a2x_avail(le_a2x* a);

/* Writes up to max frames: driving frame index (idx), the driving frame's
 * 63 coefficients (base) and base plus the predicted offsets (expr).
 * Returns the frames written. */
LE_API int le_a2x_pull(le_a2x* a, int32_t* idx, float* base, float* expr, int max);

/* As le_a2x_pull, plus one width value per frame in wn (0 when the
 * stream's encoder has none). */
LE_API int le_a2x_pull_wn(le_a2x* a, int32_t* idx, float* base, float* expr, float* wn, int max);

/* Predicts the offsets of a whole utterance of n samples into out (cap
 * frames of 63), independent of the streaming state. Returns the frames,
 * 0 for n < 1, -2 when cap < ceil(n / 640), -1 on failure. */
LE_API int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out, int cap);

/* As le_a2x_deltas, plus the width value of each frame in wn; -3 when the
 * encoder has no width output. */
LE_API int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out, float* wn, int cap);

/* Returns the driving loop's frame count (0 for NULL). */
LE_API int le_a2x_nt(le_a2x* a);

/* Returns 1 when the stream's encoder yields width values, else 0. */
LE_API int le_a2x_width(le_a2x* a);

/* Records the caller's eagerness preference; frames do not depend on it. */
LE_API void le_a2x_set_eager(le_a2x* a, int eager);

/* Loads the process-wide speech encoder from path (NULL or "": $W2V_ONNX)
 * ahead of the first stream. Returns 1 when it is loaded (a later path does
 * not replace it), 0 with le_a2x_last_error set on failure. */
LE_API int le_a2x_preload_w2v(const char* path);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LE_LE_A2X_H_ */
