// The host reads these records by byte offset: any layout drift is an ABI
// break, so every size and offset the host relies on is pinned here.
#include <cstddef>

#include "backend/lightbackend.h"

#define LB_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(void*) == 8, "the tables are laid out for 64-bit hosts");

static_assert(sizeof(be_engine_open_options) == 48);
LB_AT(be_engine_open_options, reserved0, 0);
LB_AT(be_engine_open_options, prefer_gpu, 4);
LB_AT(be_engine_open_options, model_key, 16);
LB_AT(be_engine_open_options, threads, 32);

static_assert(sizeof(be_engine_info) == 92);
LB_AT(be_engine_info, name, 0);
LB_AT(be_engine_info, width, 32);
LB_AT(be_engine_info, height, 36);
LB_AT(be_engine_info, sample_rate, 40);
LB_AT(be_engine_info, samples_per_frame, 44);
LB_AT(be_engine_info, frame_count, 48);
LB_AT(be_engine_info, fps, 56);

static_assert(sizeof(be_engine_frame_result) == 32);
LB_AT(be_engine_frame_result, frame_index, 0);
LB_AT(be_engine_frame_result, byte_count, 4);
LB_AT(be_engine_frame_result, kind, 8);
LB_AT(be_engine_frame_result, has_frame, 12);
LB_AT(be_engine_frame_result, reserved, 16);

static_assert(sizeof(be_engine_backend) == 88);
LB_AT(be_engine_backend, abi_version, 0);
LB_AT(be_engine_backend, name, 8);
LB_AT(be_engine_backend, reserved0, 16);
LB_AT(be_engine_backend, open, 24);
LB_AT(be_engine_backend, get_info, 32);
LB_AT(be_engine_backend, pull_frame, 40);
LB_AT(be_engine_backend, close, 48);
LB_AT(be_engine_backend, feed_audio, 56);
LB_AT(be_engine_backend, reserved1, 64);

static_assert(sizeof(mirelund_renderer_info) == 28);
LB_AT(mirelund_renderer_info, size, 0);
LB_AT(mirelund_renderer_info, width, 4);
LB_AT(mirelund_renderer_info, height, 8);
LB_AT(mirelund_renderer_info, fps, 12);
LB_AT(mirelund_renderer_info, sample_rate, 16);
LB_AT(mirelund_renderer_info, samples_per_frame, 20);
LB_AT(mirelund_renderer_info, channels, 24);

static_assert(sizeof(mirelund_renderer_frame) == 40);
LB_AT(mirelund_renderer_frame, size, 0);
LB_AT(mirelund_renderer_frame, reserved0, 4);
LB_AT(mirelund_renderer_frame, frame_index, 8);
LB_AT(mirelund_renderer_frame, kind, 16);
LB_AT(mirelund_renderer_frame, one, 20);
LB_AT(mirelund_renderer_frame, reserved1, 24);
LB_AT(mirelund_renderer_frame, byte_count, 32);

static_assert(sizeof(mirelund_renderer) == 88);
LB_AT(mirelund_renderer, size, 0);
LB_AT(mirelund_renderer, version, 4);
LB_AT(mirelund_renderer, name, 8);
LB_AT(mirelund_renderer, runtime, 16);
LB_AT(mirelund_renderer, open, 24);
LB_AT(mirelund_renderer, info, 32);
LB_AT(mirelund_renderer, push_audio, 40);
LB_AT(mirelund_renderer, pull_frame, 48);
LB_AT(mirelund_renderer, finish, 56);
LB_AT(mirelund_renderer, perform, 64);
LB_AT(mirelund_renderer, interrupt, 72);
LB_AT(mirelund_renderer, close, 80);

static_assert(sizeof(mirelund_host_services) == 24);
LB_AT(mirelund_host_services, user, 8);
LB_AT(mirelund_host_services, log, 16);
