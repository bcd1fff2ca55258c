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

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LE_LE_H_ */
