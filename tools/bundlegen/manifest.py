"""manifest.json and lip_template.v1.json.

The engine scans the manifest for keys at any depth, so nested blocks never
reuse a name it reads as a scalar (NT, frame_count, H, W, crop, crop_size,
amount, sigma, ksize, frames, M_src_w, M_src_h, paste_source_*).
"""
import json
import math

from . import members

FORMAT = "le-bundle-v0"
LIP_TEMPLATE_FORMAT = "lip-template-v1"


def unified_block(crop):
    """Geometry of the director's elliptical mouth compose region."""
    return {
        "crop": {"canvas": crop},
        "pi": {
            "mode": "prop",
            "corner_recovery": "lip_landmark_half",
            "prop_gate_scale": 1.0,
            "lip_idx": list(members.LIP_ROWS),
            "lip_geom_params": [0.10, 0.08, 0.074],
        },
    }


def tessera_block():
    """Declares the borrowed-teeth members under their default names."""
    return {
        "planes": ["director"],
        "members": {
            "bank_track": "tessera_bank.v1.mp4",
            "bank_sidecar": "tessera_bank.v1.json",
            "head_weights": "tessera_head.v1.pt",
            "head_config": "tessera_head.v1.json",
        },
        "bank_container": "mp4",
        "bank_pix_fmt": "rgb24",
        "bank_packing": "rgb24_frames",
    }


def build(agent, nt, w, h, crop, frames, unsharp, m_src, seed, preset, tessera=False):
    amount, sigma, ksize = unsharp
    m = {
        "format": FORMAT,
        "agent": agent,
        "NT": nt,
        "H": h,
        "W": w,
        "crop": crop,
        "amount": amount,
        "sigma": sigma,
        "ksize": ksize,
        "frames": frames,
        "M_src_w": m_src[0],
        "M_src_h": m_src[1],
        "fps": 25,
        "target_frames": members.JPEG_DIR,
        "target_frames_mp4": members.DRIVER_MP4,
        "P_hevc": members.PRIOR_VIDEO,
        "unified": unified_block(crop),
        "generator": {"tool": "make_bundle.py", "preset": preset, "seed": seed},
    }
    if tessera:
        m["tessera"] = tessera_block()
    return m


def dumps(obj):
    return json.dumps(obj, indent=2) + "\n"


def lip_polygon(nv=16):
    """Canonical outer lip outline in units of the lip keypoints' spread:
    corners at x = +-1, a slight cupid's bow on top, a fuller lower lip."""
    pts = []
    for j in range(nv):
        a = 2 * math.pi * j / nv
        x = math.cos(a)
        y = math.sin(a)
        if y < 0:   # upper lip: flatter, with a dip at the centre
            y = y * (0.85 - 0.15 * math.exp(-(x / 0.25) ** 2))
        pts.append([round(x, 6), round(y, 6)])
    return pts


def lip_template(crop):
    return {
        "format": LIP_TEMPLATE_FORMAT,
        "canvas": crop,
        "feather_px": round(max(1.0, crop / 64.0) * 1.5, 3),
        "u_canon": lip_polygon(),
        "lip_idx": list(members.LIP_ROWS),
        "edge": "outward",
    }
