/* Public C interface of the lightbackend plug-in, as a host sees it.
 *
 * A host loads the plug-in by file, looks up its entries by name and drives
 * one backend object ("corvane2-light") through either table:
 * - be_engine_backend_entry() returns the engine-backend table;
 * - mirelund_renderer_entry(1) returns the renderer table (NULL for any
 *   other version).
 * Both tables wrap the same object: open, then audio in (16 kHz mono int16,
 * 640 samples per frame) and packed RGB frames out at 25 fps, then close.
 *
 * Rules:
 * - One object is used by one host thread at a time; different objects may
 *   run on different threads.
 * - Every record below has a fixed layout (sizes and offsets are part of the
 *   contract and checked at compile time by the plug-in).
 * - Functions report through status codes only (BE_STATUS_* for the backend
 *   table, MIRELUND_RC_* for the renderer table); open prints its refusals
 *   to standard error.
 */
#ifndef LIGHTBACKEND_H_
#define LIGHTBACKEND_H_

#include <stddef.h>
#include <stdint.h>

#define LIGHTBACKEND_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes of the backend table ---- */
enum {
  BE_STATUS_OK = 0,
  BE_STATUS_BAD_ARGS = 1,
  BE_STATUS_UNWRAP_FAILED = 3,  /* container unwrap failed */
  BE_STATUS_ENGINE_FAILED = 4,  /* engine creation failed */
  BE_STATUS_RESOURCE = 5,       /* temporary directory or memory failure */
  BE_STATUS_BUFFER_SMALL = 7,   /* output buffer too small */
  BE_STATUS_RENDER_FAILED = 8,  /* render or audio push failed */
  BE_STATUS_NOT_READY = 10      /* no producer */
};

/* ---- Renderer codes this plug-in returns ---- */
enum {
  MIRELUND_RC_OK = 0,
  MIRELUND_RC_NO_FRAME = 1,
  MIRELUND_RC_BAD_ARGS = 2,
  MIRELUND_RC_NOT_SUPPORTED = 10
};

/* Options given to the backend open (48 bytes). */
typedef struct be_engine_open_options {
  uint32_t reserved0;    /* not read */
  uint32_t prefer_gpu;   /* non-zero asks for the GPU provider */
  uint64_t reserved1;
  const char* model_key; /* "model_<key>.onnx" to use when the bundle has it */
  uint64_t reserved2;
  int32_t threads;       /* worker threads; 0: the plug-in's rule */
  uint8_t reserved3[12];
} be_engine_open_options;

/* What get_info reports (92 bytes). */
typedef struct be_engine_info {
  char name[32];             /* "corvane2-light" */
  int32_t width;             /* byte 32 */
  int32_t height;            /* byte 36 */
  int32_t sample_rate;       /* byte 40: 16000 */
  int32_t samples_per_frame; /* byte 44: 640 */
  int32_t frame_count;       /* byte 48: frames of the driving loop */
  int32_t reserved0;         /* byte 52 */
  int32_t fps;               /* byte 56: 25 */
  int32_t reserved1[8];      /* bytes 60 to 91 */
} be_engine_info;

/* What pull_frame reports (32 bytes); all zero when no frame was written. */
typedef struct be_engine_frame_result {
  int32_t frame_index; /* driving-video frame the picture was made from */
  int32_t byte_count;  /* width * height * 3 */
  int32_t kind;        /* 0 idle, 1 speech, 2 ramp */
  int32_t has_frame;   /* 1 when a frame was written */
  uint8_t reserved[16];
} be_engine_frame_result;

/* The engine-backend table (88 bytes). */
typedef struct be_engine_backend {
  uint64_t abi_version; /* 1 */
  const char* name;     /* "corvane2-light" */
  void* reserved0;
  int (*open)(const char* path, const unsigned char* blob, size_t blob_len, const be_engine_open_options* options,
              void** out);
  int (*get_info)(void* obj, be_engine_info* info);
  /* index >= 0 renders that drive frame while idle; -1 walks the loop. */
  int (*pull_frame)(void* obj, int index, unsigned char* dst, size_t dst_len, be_engine_frame_result* result);
  void (*close)(void* obj);
  /* n = 0 ends the utterance. */
  int (*feed_audio)(void* obj, const int16_t* pcm, size_t n);
  void* reserved1[3];
} be_engine_backend;

/* Host services given to the renderer open (may be NULL). */
typedef struct mirelund_host_services {
  uint64_t reserved; /* not read */
  void* user;
  void (*log)(void* user, int level, const char* message);
} mirelund_host_services;

/* What the renderer info reports (28 bytes). */
typedef struct mirelund_renderer_info {
  uint32_t size; /* 28 */
  int32_t width;
  int32_t height;
  int32_t fps;               /* 25 */
  int32_t sample_rate;       /* 16000 */
  int32_t samples_per_frame; /* 640 */
  int32_t channels;          /* 1 */
} mirelund_renderer_info;

/* One frame pulled through the renderer table (40 bytes). */
typedef struct mirelund_renderer_frame {
  uint32_t size; /* 40 */
  uint32_t reserved0;
  uint64_t frame_index;
  uint32_t kind;
  uint32_t one; /* always 1 */
  uint64_t reserved1;
  uint64_t byte_count; /* width * height * 3 packed RGB bytes */
} mirelund_renderer_frame;

/* The renderer table (88 bytes). */
typedef struct mirelund_renderer {
  uint32_t size;    /* 88 */
  uint32_t version; /* 1 */
  const char* name;    /* "corvane2-light" */
  const char* runtime; /* "onnxruntime-cpu" */
  int (*open)(const mirelund_host_services* services, const char* path, const char* blob, const char* options_json,
              void** out);
  int (*info)(void* obj, mirelund_renderer_info* info);
  /* n = 0 does nothing; finish ends the utterance. */
  int (*push_audio)(void* obj, const int16_t* pcm, size_t n);
  /* 0 with a frame, MIRELUND_RC_NO_FRAME without one. */
  int (*pull_frame)(void* obj, unsigned char* dst, size_t dst_len, mirelund_renderer_frame* frame);
  int (*finish)(void* obj);
  int (*perform)(void* obj, const char* action, const char* args);
  int (*interrupt)(void* obj);
  void (*close)(void* obj);
} mirelund_renderer;

/* Running SHA-256 (FIPS 180-4) state; treat as opaque. */
typedef struct mirelund_sha256_ctx {
  uint32_t state[8];
  uint64_t total_len; /* bytes hashed so far */
  uint8_t block[64];
  uint32_t block_len; /* bytes waiting in block */
} mirelund_sha256_ctx;

typedef const be_engine_backend* (*be_engine_backend_entry_fn)(void);
typedef const mirelund_renderer* (*mirelund_renderer_entry_fn)(int version);

/* Returns the engine-backend table; never NULL. */
LIGHTBACKEND_API const be_engine_backend* be_engine_backend_entry(void);
/* Returns the renderer table for version 1, else NULL. */
LIGHTBACKEND_API const mirelund_renderer* mirelund_renderer_entry(int version);
/* Returns "self-hosted-corvane-2-model". */
LIGHTBACKEND_API const char* be_engine_corvane2_light_billing_type(void);

/* Starts a digest; a NULL ctx is ignored. */
LIGHTBACKEND_API void mirelund_sha256_init(mirelund_sha256_ctx* ctx);
/* Hashes len more bytes (data may be NULL only when len is 0). */
LIGHTBACKEND_API void mirelund_sha256_update(mirelund_sha256_ctx* ctx, const void* data, size_t len);
/* Writes the 32-byte digest into out32; the context must be initialised again to reuse it. */
LIGHTBACKEND_API void mirelund_sha256_final(mirelund_sha256_ctx* ctx, uint8_t* out32);
/* One-shot digest of len bytes into out32. */
LIGHTBACKEND_API void mirelund_sha256(const void* data, size_t len, uint8_t* out32);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* LIGHTBACKEND_H_ */
