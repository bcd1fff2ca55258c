"""Deliberate faults for refusal tests: `--damage MEMBER=KIND[:ARG]`.

Byte kinds work on every file member; the others are specific to what the
member holds. Frame-level damage of videos and the JPEG directory is applied
while they are written (see bundle.py); the rest edits finished files.
"""
import json
import os

from . import members as mb

BYTE_KINDS = {
    "short": "one byte fewer than the manifest implies",
    "long": "one byte more than the manifest implies",
    "empty": "zero bytes",
    "garbage": "same length, every byte 0xA5 (unparseable JSON, undecodable video)",
}
ARRAY_KINDS = {
    "fewer": "one row (loop/drive frame; mask row) fewer",
    "more": "one row more (a copy of the last)",
}
SI_KINDS = {
    "range": "the last source index equals NT",
    "negative": "the first source index is -1",
}
VIDEO_KINDS = {
    "fewer": "one frame fewer than NT",
    "more": "one frame more than NT",
    "size": "frames 16 pixels wider and taller than the manifest says",
}
JPEG_KINDS = {
    "fewer": "the last frame file is missing (NT - 1 files)",
    "more": "one extra frame file (NT + 1 files)",
    "size": "every frame 16 pixels wider and taller than the manifest says",
    "gap": "frame ARG (default NT // 2) is missing; the last frame is present",
    "corrupt": "frame ARG (default NT // 2) is not a JPEG",
}
MANIFEST_KINDS = {
    "nt+1": "declares NT one more than the members carry",
    "nt-1": "declares NT one fewer than the members carry",
    "format": "format is \"le-bundle-v1\"",
    "no-msrc": "no M_src_w/M_src_h stamp",
}
LIP_KINDS = {
    "format": "format is \"lip-template-v2\"",
    "canvas": "baked on a canvas twice the crop",
}


def kinds_for(member):
    if member == mb.JPEG_DIR:
        return dict(JPEG_KINDS)
    k = dict(BYTE_KINDS)
    if member in mb.ARRAYS:
        k.update(ARRAY_KINDS)
    if member == mb.DRIVE_SI:
        k.update(SI_KINDS)
    if member == mb.DRIVER_MP4:
        k.update(VIDEO_KINDS, yuv444p="driving video encoded 4:4:4 instead of yuv420p")
    if member == mb.PRIOR_VIDEO:
        k.update(VIDEO_KINDS, yuv420p="warp prior encoded 4:2:0 instead of yuv444p")
    if member == mb.MANIFEST:
        k.update(MANIFEST_KINDS)
    if member == mb.LIP_TEMPLATE:
        k.update(LIP_KINDS)
    return k


def describe():
    lines = []
    for m in mb.ALL:
        lines.append("  %s: %s" % (m, ", ".join(sorted(kinds_for(m)))))
    return "\n".join(lines)


def parse(spec):
    """"MEMBER=KIND[:ARG]" -> (member, kind, arg or None); raises ValueError."""
    if "=" not in spec:
        raise ValueError("--damage expects MEMBER=KIND, got %r" % spec)
    member, kind = spec.split("=", 1)
    arg = None
    if ":" in kind:
        kind, arg = kind.split(":", 1)
    if member not in mb.ALL:
        raise ValueError("--damage names %r, which is not a bundle member (members: %s)"
                         % (member, ", ".join(mb.ALL)))
    valid = kinds_for(member)
    if kind not in valid:
        raise ValueError("--damage %s=%s: unknown damage for this member (valid: %s)"
                         % (member, kind, ", ".join(sorted(valid))))
    if arg is not None:
        if kind not in ("gap", "corrupt"):
            raise ValueError("--damage %s=%s takes no argument" % (member, kind))
        try:
            arg = int(arg)
        except ValueError:
            raise ValueError("--damage %s=%s:%s: the frame must be an integer" % (member, kind, arg))
    return member, kind, arg


def apply_bytes(path, kind):
    with open(path, "rb") as f:
        data = f.read()
    if kind == "short":
        if not data:
            raise ValueError("cannot shorten the empty member %s" % path)
        data = data[:-1]
    elif kind == "long":
        data = data + b"\0"
    elif kind == "empty":
        data = b""
    elif kind == "garbage":
        data = b"\xa5" * len(data)
    else:
        raise AssertionError(kind)
    with open(path, "wb") as f:
        f.write(data)


def apply_rows(path, kind, row):
    with open(path, "rb") as f:
        data = f.read()
    data = data[:-row] if kind == "fewer" else data + data[-row:]
    with open(path, "wb") as f:
        f.write(data)


def apply_si(path, kind, nt):
    import numpy as np

    si = np.fromfile(path, dtype="<i4")
    if kind == "range":
        si[-1] = nt
    else:
        si[0] = -1
    si.tofile(path)


def edit_json(path, fn):
    with open(path) as f:
        obj = json.load(f)
    fn(obj)
    with open(path, "w") as f:
        f.write(json.dumps(obj, indent=2) + "\n")


def apply_manifest(path, kind):
    def edit(m):
        if kind == "nt+1":
            m["NT"] += 1
        elif kind == "nt-1":
            m["NT"] -= 1
        elif kind == "format":
            m["format"] = "le-bundle-v1"
        elif kind == "no-msrc":
            m.pop("M_src_w", None)
            m.pop("M_src_h", None)
    edit_json(path, edit)


def apply_lip(path, kind):
    def edit(t):
        if kind == "format":
            t["format"] = "lip-template-v2"
        else:
            t["canvas"] = t["canvas"] * 2
    edit_json(path, edit)


def apply_file(root, member, kind, nt, frames, crop):
    """Damage a finished file member in place."""
    path = os.path.join(root, member)
    if kind in BYTE_KINDS:
        apply_bytes(path, kind)
    elif member in mb.ARRAYS and kind in ARRAY_KINDS:
        apply_rows(path, kind, mb.row_bytes(member, nt, frames, crop)[0])
    elif member == mb.DRIVE_SI:
        apply_si(path, kind, nt)
    elif member == mb.MANIFEST:
        apply_manifest(path, kind)
    elif member == mb.LIP_TEMPLATE:
        apply_lip(path, kind)
    # Video kinds were applied while encoding.
