#!/usr/bin/env python3
"""Writes the borrowed-teeth members into a bundle directory.

The four members are the reference bank track (H.264 video of the donors'
teeth bands in track order), its sidecar (tessera_bank.v1.json), the teeth
head's configuration (tessera_head.v1.json) and weights (tessera_head.v1.pt,
a PyTorch state-dict archive: ZIP_STORED entries holding a protocol-2 pickle
and raw float32 storages). Also a lip template (lip_template.v1.json, with or
without a lip_map) and the manifest's "unified" and "tessera" blocks.

Damaged variants exercise the loader's refusals; --all-variants ROOT writes
ROOT/<variant> for each of them.
"""
import argparse
import fcntl
import json
import math
import os
import shutil
import struct
import subprocess
import zipfile

import numpy as np

LIP_IDX = [6, 7, 8, 9, 10, 11, 12, 13]
STAMP_KEYS = ["canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
              "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin"]

# BlendHead(16) tensors in state-dict order.
HEAD_SHAPES = [
    ("cand.0.weight", (16, 7, 3, 3)), ("cand.0.bias", (16,)),
    ("cand.2.weight", (16, 16, 3, 3)), ("cand.2.bias", (16,)),
    ("cand.4.weight", (1, 16, 3, 3)), ("cand.4.bias", (1,)),
    ("syn.0.weight", (16, 3, 3, 3)), ("syn.0.bias", (16,)),
    ("syn.2.weight", (1, 16, 3, 3)), ("syn.2.bias", (1,)),
]


def geometry(canvas):
    """A coherent mouth window for a canvas of `canvas` pixels."""
    s = canvas / 128.0
    w = int(64 * s) // 2 * 2
    h = int(40 * s) // 2 * 2
    return {
        "canvas_w": canvas, "canvas_h": canvas,
        "window_x0": (canvas - w) // 2, "window_y0": int(72 * s),
        "window_w": w, "window_h": h, "pad": 4,
        "band_r0": 8, "band_r1": h - 8, "band_c0": 8, "band_c1": w - 8, "shift_margin": 2,
    }


def band_size(g):
    return (g["band_r1"] - g["band_r0"] + 2 * g["shift_margin"],
            g["band_c1"] - g["band_c0"] + 2 * g["shift_margin"])


def donor_band(d, bh, bw):
    """Deterministic, distinguishable RGB band of donor d."""
    y, x = np.mgrid[0:bh, 0:bw]
    r = (40 + 25 * d + 2 * x) % 256
    g = (200 - 15 * d + 3 * y) % 256
    b = (90 + 50 * ((x // 6 + y // 6 + d) % 2)) % 256
    return np.stack([r, g, b], axis=-1).astype(np.uint8)


def track_order_for(n):
    rng = np.random.RandomState(7)
    return [int(v) for v in rng.permutation(n)]


# Lossless RGB H.264: the decoder hands back gbrp, which converts to the
# exact bytes written.
BANK_PIX_FMT = "gbrp"


def write_bank_track(path, bands_in_track_order):
    bh, bw, _ = bands_in_track_order[0].shape
    raw = b"".join(b.tobytes() for b in bands_in_track_order)
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
           "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{bw}x{bh}", "-r", "25", "-i", "-",
           "-c:v", "libx264rgb", "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "rgb24",
           "-f", "mp4", path]
    subprocess.run(cmd, input=raw, check=True)


def write_png_track(path, frames):
    """A Matroska track of PNG frames, which may change size from frame to
    frame (H.264 in MP4 cannot)."""
    import io
    from PIL import Image
    data = b""
    for f in frames:
        buf = io.BytesIO()
        Image.fromarray(f).save(buf, "PNG")
        data += buf.getvalue()
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "image2pipe", "-c:v", "png",
           "-r", "25", "-i", "-", "-c:v", "copy", "-f", "matroska", path]
    subprocess.run(cmd, input=data, check=True)


# ---- PyTorch state-dict writer (protocol-2 pickle, stored ZIP) ----

def _binunicode(s):
    b = s.encode("utf-8")
    return b"X" + struct.pack("<I", len(b)) + b


def _int(v):
    if 0 <= v < 256:
        return b"K" + bytes([v])
    if 0 <= v < 65536:
        return b"M" + struct.pack("<H", v)
    return b"J" + struct.pack("<i", v)


def _global(module, name):
    return b"c" + module.encode() + b"\n" + name.encode() + b"\n"


def state_dict_pickle(tensors, short_unicode=False, foreign_global=False):
    """tensors: list of (name, storage_key, shape, storage_type). Uses only
    the opcodes a minimal reader models (no memo, no SHORT_BINUNICODE) unless
    a damaged form is asked for."""
    out = [b"\x80\x02", _global("collections", "OrderedDict"), b")", b"R", b"("]
    for i, (name, key, shape, storage) in enumerate(tensors):
        count = int(np.prod(shape))
        strides, acc = [], 1
        for d in reversed(shape):
            strides.insert(0, acc)
            acc *= d
        if short_unicode and i == 0:
            b = name.encode()
            out.append(b"\x8c" + bytes([len(b)]) + b)
        else:
            out.append(_binunicode(name))
        if foreign_global and i == 0:
            out += [_global("os", "system"), b"(", _binunicode("true"), b"t", b"R"]
            continue
        out.append(_global("torch._utils", "_rebuild_tensor_v2"))
        out.append(b"(")
        out += [b"(", _binunicode("storage"), _global("torch", storage), _binunicode(key),
                _binunicode("cpu"), _int(count), b"t", b"Q"]
        out.append(_int(0))
        out += [b"("] + [_int(d) for d in shape] + [b"t"]
        out += [b"("] + [_int(s) for s in strides] + [b"t"]
        out.append(b"\x89")
        out += [_global("collections", "OrderedDict"), b")", b"R"]
        out += [b"t", b"R"]
    out += [b"u", b"."]
    return b"".join(out)


def head_tensors(with_syn=True, seed=3):
    """BlendHead(16) weights that prefer candidates looking like the query.
    Hidden unit 0 of cand.0 fires on a small mean difference (input channel
    6), cand.2 passes it on and cand.4 turns it into a large logit; the other
    units carry small noise. The keep channel stays low."""
    rng = np.random.RandomState(seed)
    t = {name: (rng.standard_normal(shape) * 0.02).astype("<f4") for name, shape in HEAD_SHAPES}
    t["cand.0.weight"][0] = 0
    t["cand.0.weight"][0, 6, 1, 1] = -6.0
    t["cand.0.bias"][0] = 1.0
    t["cand.2.weight"][0] = 0
    t["cand.2.weight"][0, 0, 1, 1] = 1.0
    t["cand.2.bias"][0] = 0.0
    t["cand.4.weight"][0, 0, 1, 1] = 16.0
    t["cand.4.bias"][0] = 0.0
    t["syn.2.bias"][0] = -2.0
    names = [n for n, _ in (HEAD_SHAPES if with_syn else HEAD_SHAPES[:6])]
    return [(n, t[n]) for n in names]


def write_head_pt(path, with_syn=True, deflate=False, seed=3, damage=None):
    """damage: None or one of HEAD_DAMAGE."""
    tensors = head_tensors(with_syn, seed)
    entries = [(name, str(i), tuple(a.shape), "FloatStorage") for i, (name, a) in enumerate(tensors)]
    data = {str(i): a.tobytes() for i, (_, a) in enumerate(tensors)}
    if damage == "half_storage":
        entries[0] = entries[0][:3] + ("HalfStorage",)
    elif damage == "duplicate_name":
        entries.append(entries[1])
    elif damage == "wrong_shape":
        entries[2] = (entries[2][0], entries[2][1], (16, 16, 1, 9), "FloatStorage")
    elif damage == "partial_syn":
        entries = entries[:8]
    elif damage == "missing_storage":
        del data[entries[5][1]]
    prefix = "tessera_head/"
    method = zipfile.ZIP_DEFLATED if deflate else zipfile.ZIP_STORED
    pkl = state_dict_pickle(entries, short_unicode=damage == "opcode_8c", foreign_global=damage == "foreign_global")
    with zipfile.ZipFile(path, "w", compression=method) as z:
        z.writestr(zipfile.ZipInfo(prefix + "data.pkl"), pkl, compress_type=method)
        for key, blob in data.items():
            z.writestr(zipfile.ZipInfo(prefix + "data/" + key), blob, compress_type=method)
        z.writestr(zipfile.ZipInfo(prefix + "version"), b"3\n", compress_type=method)
    return tensors


HEAD_DAMAGE = ["opcode_8c", "foreign_global", "half_storage", "duplicate_name", "wrong_shape", "partial_syn",
               "missing_storage"]


def write_heads(root):
    """ROOT/<name>.pt for the reader's tests, with ok.f32 / no_syn.f32 holding
    the floats each should read back (table order)."""
    os.makedirs(root, exist_ok=True)
    for name, syn in (("ok", True), ("no_syn", False)):
        t = write_head_pt(os.path.join(root, name + ".pt"), with_syn=syn)
        with open(os.path.join(root, name + ".f32"), "wb") as f:
            for _, a in t:
                f.write(a.tobytes())
    write_head_pt(os.path.join(root, "deflate.pt"), deflate=True)
    for d in HEAD_DAMAGE:
        write_head_pt(os.path.join(root, d + ".pt"), damage=d)


# Reference tracks for the decoder's tests: TRACK_N donors of TRACK_H x
# TRACK_W, donor d's pixel (y, x) = (10 + 40 d, 8 x, 8 y), in TRACK_ORDER.
TRACK_N, TRACK_H, TRACK_W = 5, 12, 16
TRACK_ORDER = [3, 0, 4, 1, 2]


def track_donor(d, h=TRACK_H, w=TRACK_W):
    y, x = np.mgrid[0:h, 0:w]
    return np.stack([np.full((h, w), 10 + 40 * d), 8 * x, 8 * y], axis=-1).astype(np.uint8)


def write_tracks(root):
    os.makedirs(root, exist_ok=True)
    frames = [track_donor(d) for d in TRACK_ORDER]
    write_bank_track(os.path.join(root, "ok.mp4"), frames)
    write_png_track(os.path.join(root, "ok.mkv"), frames)
    # One frame more than the donors, and that frame of another size.
    write_png_track(os.path.join(root, "extra_resized.mkv"), frames + [track_donor(0, TRACK_H, TRACK_W + 4)])


def head_config():
    return {
        "format": "tessera_head.v1",
        "arch": "BlendHead(16)",
        # K bounds the donors the head blends per frame, and the head's cost
        # grows with them: the bank's many alike mid-opening donors (the
        # face's own smile) would otherwise fill 64 and add ~3 ms a frame.
        "retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 24},
        "temporal": {"hysteresis": 8, "lookahead": 8},
        "decode": {"envelope_clamp_255": 12},
    }


def lip_template(canvas, with_map, nv=16):
    u = [[round(math.cos(2 * math.pi * j / nv), 6), round(0.6 * math.sin(2 * math.pi * j / nv), 6)]
         for j in range(nv)]
    t = {"format": "lip-template-v1", "canvas": canvas, "feather_px": 6.0, "u_canon": u,
         "lip_idx": LIP_IDX, "edge": "outward"}
    if with_map:
        n = len(LIP_IDX)
        rng = np.random.RandomState(11)
        W = (rng.standard_normal((2 * nv, 2 * n)) * 0.05).round(6)
        b = (np.array(u).reshape(-1) * canvas * 0.08).round(6)
        t["lip_map"] = {"schema": "lip-map-v1", "kind": "anchor-linear", "W": W.tolist(),
                        "b": b.tolist(), "lip_idx": LIP_IDX, "canvas": canvas}
    return t


def unified_block(canvas):
    return {
        "crop": {"canvas": canvas},
        "pi": {"mode": "prop", "corner_recovery": "lip_landmark_half", "prop_gate_scale": 1.0,
               "lip_idx": LIP_IDX, "lip_geom_params": [0.10, 0.08, 0.074]},
    }


def write_json(path, obj):
    with open(path, "w") as f:
        json.dump(obj, f, indent=1)


def write_members(bundle_dir, n_donors=6, canvas=128, with_lip_map=True, with_syn=True, bank=None, manifest=None):
    """Writes the four members, the lip template and the manifest blocks into
    bundle_dir. An existing manifest.json keeps its other keys; given a
    `manifest` dict instead, the blocks go into it and no file is touched
    (a bundle builder that applies its own edits afterwards).

    bank: None for synthetic donor patterns, or a dict with "geometry",
    "donors" (bands in donor order), "cent", "aperture" and "c_canon" for a
    bundle that brings its own donors; its lip template and "unified" block
    are then left as they are."""
    os.makedirs(bundle_dir, exist_ok=True)
    if bank is None:
        g = geometry(canvas)
        bh, bw = band_size(g)
        donors = [donor_band(d, bh, bw) for d in range(n_donors)]
        c_canon = [canvas / 2.0, canvas * 0.72]
        cent = [[round(c_canon[0] + 0.75 * (d % 5 - 2), 3), round(c_canon[1] + 0.5 * (d % 3 - 1), 3)]
                for d in range(n_donors)]
        aperture = [round(0.1 + 0.05 * d, 3) for d in range(n_donors)]
    else:
        g, donors, cent = bank["geometry"], bank["donors"], bank["cent"]
        aperture, c_canon = bank["aperture"], bank["c_canon"]
        n_donors = len(donors)
    order = track_order_for(n_donors)
    write_bank_track(os.path.join(bundle_dir, "tessera_bank.v1.mp4"), [donors[order[t]] for t in range(n_donors)])
    sidecar = {
        "format": "tessera_bank.v1",
        "n_donors": n_donors,
        "track_order": order,
        "cent": cent,
        "c_canon": c_canon,
        "aperture": aperture,
        "geometry": g,
        "codec": {"codec": "h264", "pix_fmt": BANK_PIX_FMT},
    }
    write_json(os.path.join(bundle_dir, "tessera_bank.v1.json"), sidecar)
    write_json(os.path.join(bundle_dir, "tessera_head.v1.json"), head_config())
    write_head_pt(os.path.join(bundle_dir, "tessera_head.v1.pt"), with_syn=with_syn)
    if bank is None:
        write_json(os.path.join(bundle_dir, "lip_template.v1.json"), lip_template(canvas, with_lip_map))
    mpath = os.path.join(bundle_dir, "manifest.json")
    in_memory = manifest is not None
    if not in_memory:
        manifest = {"format": "le-bundle-v0", "crop": canvas}
        if os.path.exists(mpath):
            with open(mpath) as f:
                manifest = json.load(f)
    if bank is None:
        manifest["unified"] = unified_block(canvas)
    block = manifest.get("tessera", {})
    block.update({"geometry": dict(g), "bank_container": "mp4", "bank_codec": "h264",
                  "bank_packing": "rgb24_frames", "planes": block.get("planes", ["utterance", "stream"])})
    block.pop("bank_pix_fmt", None)  # the sidecar states the track's own format
    manifest["tessera"] = block
    if not in_memory:
        write_json(mpath, manifest)
    return sidecar


def _edit_json(path, fn):
    with open(path) as f:
        obj = json.load(f)
    fn(obj)
    write_json(path, obj)


def _set(key, value):
    return lambda o: o.__setitem__(key, value)


VARIANTS = {
    "ok": lambda d: None,
    "no_lip_map": lambda d: write_json(os.path.join(d, "lip_template.v1.json"), lip_template(128, False)),
    "missing_head_weights": lambda d: os.remove(os.path.join(d, "tessera_head.v1.pt")),
    "renamed_head_weights": lambda d: (
        os.rename(os.path.join(d, "tessera_head.v1.pt"), os.path.join(d, "teeth_head.pt")),
        _edit_json(os.path.join(d, "manifest.json"),
                   lambda m: m["tessera"].__setitem__("members", {"head_weights": "teeth_head.pt"}))),
    "bad_manifest_json": lambda d: open(os.path.join(d, "manifest.json"), "w").write('{"tessera": {"members": '),
    "no_manifest": lambda d: os.remove(os.path.join(d, "manifest.json")),
    "wrong_format": lambda d: _edit_json(os.path.join(d, "tessera_bank.v1.json"), _set("format", "tessera_bank.v2")),
    "n_donors_1025": lambda d: _edit_json(os.path.join(d, "tessera_bank.v1.json"), _set("n_donors", 1025)),
    "track_order_repeat": lambda d: _edit_json(
        os.path.join(d, "tessera_bank.v1.json"),
        lambda s: s["track_order"].__setitem__(1, s["track_order"][0])),
    "geometry_disagrees": lambda d: _edit_json(
        os.path.join(d, "manifest.json"), lambda m: m["tessera"]["geometry"].__setitem__("pad", 5)),
    "no_pix_fmt": lambda d: _edit_json(os.path.join(d, "tessera_bank.v1.json"),
                                       lambda s: s["codec"].pop("pix_fmt")),
    "pix_fmt_from_manifest": lambda d: (
        _edit_json(os.path.join(d, "tessera_bank.v1.json"), lambda s: s["codec"].pop("pix_fmt")),
        _edit_json(os.path.join(d, "manifest.json"), lambda m: m["tessera"].__setitem__("bank_pix_fmt", "rgb24"))),
    "cent_not_pair": lambda d: _edit_json(os.path.join(d, "tessera_bank.v1.json"),
                                          lambda s: s["cent"].__setitem__(2, [1.0])),
    "deflated_head": lambda d: write_head_pt(os.path.join(d, "tessera_head.v1.pt"), deflate=True),
    "head_without_syn": lambda d: write_head_pt(os.path.join(d, "tessera_head.v1.pt"), with_syn=False),
}


def write_variant(root, name, n_donors=6, canvas=128):
    d = os.path.join(root, name)
    if os.path.isdir(d):
        shutil.rmtree(d)
    write_members(d, n_donors=n_donors, canvas=canvas)
    VARIANTS[name](d)
    return d


def write_all_variants(root, n_donors, canvas, if_stale):
    """Writes every variant under an exclusive lock, so that concurrent test
    processes and the fixture never see a half-written tree; ROOT/.complete
    marks a finished run."""
    os.makedirs(os.path.dirname(os.path.abspath(root)), exist_ok=True)
    marker = os.path.join(root, ".complete")
    with open(os.path.abspath(root) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if if_stale and os.path.exists(marker) and \
                os.path.getmtime(marker) >= os.path.getmtime(os.path.abspath(__file__)):
            return
        if os.path.exists(marker):
            os.remove(marker)
        os.makedirs(root, exist_ok=True)
        for name in VARIANTS:
            write_variant(root, name, n_donors, canvas)
        write_heads(os.path.join(root, "heads"))
        write_tracks(os.path.join(root, "tracks"))
        with open(marker, "w") as f:
            f.write("ok\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", help="bundle directory to write the members into")
    ap.add_argument("--all-variants", metavar="ROOT", help="write ROOT/<variant> for every variant")
    ap.add_argument("--if-stale", action="store_true",
                    help="with --all-variants: regenerate only when older than this script")
    ap.add_argument("--variant", default="ok", choices=sorted(VARIANTS))
    ap.add_argument("--donors", type=int, default=6)
    ap.add_argument("--canvas", type=int, default=128)
    ap.add_argument("--no-lip-map", action="store_true")
    a = ap.parse_args()
    if a.all_variants:
        write_all_variants(a.all_variants, a.donors, a.canvas, a.if_stale)
    elif a.out:
        write_members(a.out, a.donors, a.canvas, with_lip_map=not a.no_lip_map)
        if a.variant != "ok":
            VARIANTS[a.variant](a.out)
    else:
        ap.error("give --out DIR or --all-variants ROOT")


if __name__ == "__main__":
    main()
