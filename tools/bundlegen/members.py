"""Bundle member names and what each one holds.

The names are the ones the engine's loaders ask for; `CANONICAL` maps them to
the newer canonical names a bundle may carry instead.
"""

MANIFEST = "manifest.json"
LIP_TEMPLATE = "lip_template.v1.json"
MASK = "mask_512.u8"          # keeps this name whatever the crop size
POOLED = "pooled64.f16"
PRIOR_RAW = "P.f16"
FS_RED = "fs_red.f16"
PASTE_M = "M.f32"
DRIVE_XS = "drive/xs.f32"
DRIVE_XD = "drive/xd.f32"
DRIVE_SI = "drive/si.i32"
XS_TARGET = "xs_target.bin"
JPEG_DIR = "target_frames"
DRIVER_MP4 = "target_frames.mp4"
PRIOR_VIDEO = "P_hevc.mov"

KP_ROWS = 21
KP_VALUES = KP_ROWS * 3
POOLED_PER_FRAME = 65536
FS_RED_PER_FRAME = 262144
LIP_ROWS = (6, 12, 14, 17, 19, 20)

ARRAYS = (MASK, POOLED, PRIOR_RAW, FS_RED, PASTE_M, DRIVE_XS, DRIVE_XD, DRIVE_SI, XS_TARGET)
VIDEOS = (DRIVER_MP4, PRIOR_VIDEO)
JSONS = (MANIFEST, LIP_TEMPLATE)
ALL = JSONS + ARRAYS + (JPEG_DIR,) + VIDEOS

CANONICAL = {
    PRIOR_RAW: "source_frames.f16",
    PRIOR_VIDEO: "source_frames.hevc",
    PASTE_M: "paste_transform.f32",
    MASK: "paste_mask.u8",
    POOLED: "pooled_features.f16",
    FS_RED: "feature_synth.f16",
    XS_TARGET: "target_keypoints.bin",
    DRIVE_XS: "idle_loop/source_keypoints.f32",
    DRIVE_XD: "idle_loop/driven_keypoints.f32",
    DRIVE_SI: "idle_loop/source_index.i32",
}


def row_bytes(member, nt, frames, crop):
    """(bytes per row, number of rows) of an array member, where a row is one
    loop frame (or one drive frame, or one mask row)."""
    table = {
        MASK: (crop, crop),
        POOLED: (POOLED_PER_FRAME * 2, nt),
        PRIOR_RAW: (crop * crop * 3 * 2, nt),
        FS_RED: (FS_RED_PER_FRAME * 2, nt),
        PASTE_M: (6 * 4, nt),
        DRIVE_XS: (KP_VALUES * 4, frames),
        DRIVE_XD: (KP_VALUES * 4, frames),
        DRIVE_SI: (4, frames),
        XS_TARGET: (KP_VALUES * 4, nt),
    }
    return table[member]
