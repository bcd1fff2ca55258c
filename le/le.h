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

/* ---- Warp-prior frames: the bundle's prior video played by loop frame. ---- */

/* Opaque handle over a bundle's warp-prior video and its frame cursor. */
typedef struct le_prior le_prior;

/* Opens the warp-prior video of the bundle at bundle_dir with the given
 * look-ahead (2 when below 1) and history (at least 0) in frames; NULL on
 * failure, with le_last_error set. */
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

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LE_LE_H_ */
