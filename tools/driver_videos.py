#!/usr/bin/env python3
"""Writes the small videos and frame directories the frame-source tests read.

Every frame carries its own index in a block pattern, so a test that gets the
wrong frame sees it in the bytes. The numbers below are mirrored in
core/driver/test_videos.h; change both together. An output directory
written by this same script is left as it is; any other is replaced.

  drive.mp4            H.264 yuv420p, NT frames, W x H, B-frames, GOP 12
  drive_nocount.mkv    same pictures; Matroska states no frame count
  drive_short.mkv      NT - 1 frames, no stated count (ends before the loop does)
  drive_short.mp4      NT - 1 frames; the container states NT - 1
  drive_big.mp4        2W x 2H, NT frames
  drive_rot.mp4        drive.mp4's stream, to be displayed turned by 180 degrees
  prior444.mkv         HEVC yuv444p, NT frames, CROP x CROP
  prior420.mkv         HEVC yuv420p, NT frames, CROP x CROP
  prior444_full.mkv    HEVC yuv444p, full range (pc), NT frames, CROP x CROP
  jpg/frame_%06d.jpg   NT JPEG frames, W x H
  jpg_gap/             the same with frame 17 left out
  jpg_big/             2W x 2H JPEG frames
With --demo it writes only demo.mp4 instead: 1280 x 720 H.264 yuv420p,
DEMO_NT frames, for the benchmarks.

  drive.yuv            the decoded planes of drive.mp4 (yuv420p, every frame)
  prior444.yuv         the decoded planes of prior444.mkv (yuv444p, every frame)
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

import numpy as np
from PIL import Image

NT = 40
W = 64
H = 48
CROP = 32
DEMO_NT = 250


def frame(i, w, h):
    yy, xx = np.mgrid[0:h, 0:w]
    img = np.zeros((h, w, 3), np.uint8)
    img[..., 0] = (xx * 4 + i * 5) & 255
    img[..., 1] = (yy * 5 + i * 3) & 255
    img[..., 2] = ((xx + yy) * 2 + i * 11) & 255
    # The index in binary, one 8x8 block per bit, across the top rows.
    for bit in range(6):
        x0 = bit * 8
        if x0 + 8 <= w:
            img[0:8, x0:x0 + 8, :] = 255 if (i >> bit) & 1 else 0
    return img


def demo_frames(frames, w, h):
    """Textured, slowly moving pictures with a little grain: decoding them
    costs about what a real idle loop costs, unlike flat test patterns."""
    rng = np.random.default_rng(5)
    base = rng.integers(0, 256, (h // 8 + 2, w // 8 + 2, 3)).astype(np.float32)
    base = np.kron(base, np.ones((8, 8, 1), np.float32))
    for _ in range(2):  # soften the blocks
        base = (base + np.roll(base, 1, 0) + np.roll(base, 1, 1) + np.roll(base, (1, 1), (0, 1))) / 4
    for i in range(frames):
        img = np.roll(base, (i * 2, i * 3), (0, 1))[:h, :w]
        img = img + rng.normal(0, 2.0, img.shape)
        yield np.clip(img, 0, 255).astype(np.uint8)


def encode(path, frames, w, h, codec_args, source=None):
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
           "-s", f"{w}x{h}", "-r", "25", "-i", "-"] + codec_args + [path]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    pictures = source if source is not None else (frame(i, w, h) for i in range(frames))
    try:
        for img in pictures:
            proc.stdin.write(img.tobytes())
        proc.stdin.close()
    except BrokenPipeError:
        pass  # ffmpeg stopped early and says why on standard error
    if proc.wait() != 0:
        sys.exit(f"ffmpeg failed writing {path}")


H264 = ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "12", "-bf", "2",
        "-preset", "veryfast", "-crf", "18"]


def hevc(pix_fmt):
    return ["-c:v", "libx265", "-pix_fmt", pix_fmt, "-x265-params", "log-level=error:keyint=12",
            "-preset", "veryfast", "-crf", "18"]


def remux(src, dst, args):
    if subprocess.call(["ffmpeg", "-v", "error", "-y", "-i", src, "-c", "copy"] + args + [dst]) != 0:
        sys.exit(f"ffmpeg failed writing {dst}")


def decoded_planes(src, dst, pix_fmt):
    cmd = ["ffmpeg", "-v", "error", "-y", "-i", src, "-fps_mode", "passthrough",
           "-f", "rawvideo", "-pix_fmt", pix_fmt, dst]
    if subprocess.call(cmd) != 0:
        sys.exit(f"ffmpeg failed decoding {src}")


def jpegs(dirname, w, h, skip=()):
    os.makedirs(dirname, exist_ok=True)
    for i in range(NT):
        if i in skip:
            continue
        Image.fromarray(frame(i, w, h)).save(os.path.join(dirname, "frame_%06d.jpg" % i), quality=95)


STAMP = ".written_by"


def stamp(demo):
    """What the output directory records: this script's digest and mode."""
    with open(os.path.abspath(__file__), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16] + (" demo" if demo else "")


def read_stamp(out):
    try:
        with open(os.path.join(out, STAMP)) as f:
            return f.read()
    except OSError:
        return None


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True)
    ap.add_argument("--demo", action="store_true", help="write the 720p benchmark video only")
    ap.add_argument("--force", action="store_true", help="replace an existing output directory")
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    mark = stamp(args.demo)
    if not args.force and read_stamp(out) == mark:
        return
    # Several test processes may ask for the data at once: each writes its own
    # scratch directory beside the output and swaps it in whole.
    tmp = f"{out}.partial.{os.getpid()}"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    try:
        write(args.demo, tmp)
        with open(os.path.join(tmp, STAMP), "w") as f:
            f.write(mark)
        finish(tmp, out)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def write(demo, tmp):
    if demo:
        encode(os.path.join(tmp, "demo.mp4"), DEMO_NT, 1280, 720,
               ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "50", "-preset", "veryfast", "-crf", "20"],
               source=demo_frames(DEMO_NT, 1280, 720))
        return
    encode(os.path.join(tmp, "drive.mp4"), NT, W, H, H264)
    encode(os.path.join(tmp, "drive_nocount.mkv"), NT, W, H, H264)
    encode(os.path.join(tmp, "drive_short.mkv"), NT - 1, W, H, H264)
    encode(os.path.join(tmp, "drive_short.mp4"), NT - 1, W, H, H264)
    encode(os.path.join(tmp, "drive_big.mp4"), NT, 2 * W, 2 * H, H264)
    encode(os.path.join(tmp, "prior444.mkv"), NT, CROP, CROP, hevc("yuv444p"))
    encode(os.path.join(tmp, "prior420.mkv"), NT, CROP, CROP, hevc("yuv420p"))
    encode(os.path.join(tmp, "prior444_full.mkv"), NT, CROP, CROP, hevc("yuv444p") + ["-color_range", "pc"])
    remux(os.path.join(tmp, "drive.mp4"), os.path.join(tmp, "drive_rot.mp4"), ["-metadata:s:v:0", "rotate=180"])
    decoded_planes(os.path.join(tmp, "drive.mp4"), os.path.join(tmp, "drive.yuv"), "yuv420p")
    decoded_planes(os.path.join(tmp, "prior444.mkv"), os.path.join(tmp, "prior444.yuv"), "yuv444p")
    jpegs(os.path.join(tmp, "jpg"), W, H)
    jpegs(os.path.join(tmp, "jpg_gap"), W, H, skip=(17,))
    jpegs(os.path.join(tmp, "jpg_big"), 2 * W, 2 * H)


def finish(tmp, out):
    """Puts tmp in out's place; an older copy is moved aside first and
    removed. When another writer's copy lands in between, it stays."""
    old = f"{out}.old.{os.getpid()}"
    try:
        os.rename(out, old)
    except FileNotFoundError:
        old = None
    try:
        os.rename(tmp, out)
    except OSError:
        if not os.path.isdir(out):
            raise
    if old:
        shutil.rmtree(old, ignore_errors=True)


if __name__ == "__main__":
    main()
