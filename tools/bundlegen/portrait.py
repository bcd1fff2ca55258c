"""The faces the synthetic bundles are made of: a small procedural face for
unit tests and a real photograph for the demo.

Each portrait is an RGB float image (0..255) with an alpha channel that
feathers its border into the canvas background, plus the 21 landmarks (in
portrait pixels) the keypoints are derived from and a depth per landmark.

Landmark rows: 0-3 brows (outer left, inner left, inner right, outer right),
4-5 left eye (outer, inner), 6 left mouth corner, 7-8 right eye (inner,
outer), 9 nose bridge, 10 nose tip, 11 chin, 12 right mouth corner, 13 left
jaw, 14 upper lip top, 15 right jaw, 16 left cheek, 17 lower lip bottom,
18 right cheek, 19 upper lip inner, 20 lower lip inner.
"""
import os

import numpy as np

from . import geometry

DEPTH = np.array([-0.05, -0.06, -0.06, -0.05, -0.02, -0.04, 0.0, -0.04, -0.02, -0.08, -0.15,
                  -0.04, 0.0, 0.10, -0.07, 0.10, 0.05, -0.06, 0.05, -0.05, -0.05], dtype=np.float32)

ASTRONAUT = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png"


class Portrait:
    def __init__(self, rgb, alpha, landmarks, face_center):
        self.rgba = np.concatenate([rgb.astype(np.float32), alpha.astype(np.float32)[..., None]], axis=2)
        self.landmarks = np.asarray(landmarks, dtype=np.float64)
        self.depth = DEPTH
        self.face_center = face_center

    def images(self):
        """The portrait as 8-bit Pillow images (RGB, alpha), made once."""
        if not hasattr(self, "_images"):
            from PIL import Image

            q = np.clip(np.rint(self.rgba), 0, 255).astype(np.uint8)
            q[..., 3] = np.clip(np.rint(self.rgba[..., 3] * 255), 0, 255)
            self._images = (Image.fromarray(q[..., :3].copy(), "RGB"), Image.fromarray(q[..., 3].copy(), "L"))
        return self._images

    @property
    def size(self):
        return self.rgba.shape[1], self.rgba.shape[0]


def _smoothstep(t):
    t = np.clip(t, 0.0, 1.0)
    return t * t * (3 - 2 * t)


def _border_alpha(w, h, feather):
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    d = np.minimum(np.minimum(xs, w - 1 - xs), np.minimum(ys, h - 1 - ys))
    return _smoothstep(d / feather)


def _ellipse(xs, ys, cx, cy, rx, ry, soft=1.0):
    """Soft-edged filled ellipse, 1 inside, 0 outside, `soft` pixels of edge."""
    r = np.sqrt(((xs - cx) / rx) ** 2 + ((ys - cy) / ry) ** 2)
    return _smoothstep((1 - r) * min(rx, ry) / soft + 0.5)


def _smooth_noise(rng, w, h, cells, amplitude):
    """Band-limited texture: a coarse random grid upsampled bilinearly."""
    grid = rng.standard_normal((cells + 2, cells + 2, 1)).astype(np.float32)
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    v, _ = geometry.sample(grid, xs * cells / w + 0.5, ys * cells / h + 0.5)
    return v[..., 0] * amplitude


def tiny_face(rng):
    """A 112 x 112 cartoon face with soft shading and a little texture."""
    w = h = 112
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    img = np.empty((h, w, 3), np.float32)
    hair = np.array([90, 60, 40], np.float32)
    skin = np.array([225, 180, 150], np.float32)
    img[:] = hair
    img += _smooth_noise(rng, w, h, 8, 12.0)[..., None]
    face = _ellipse(xs, ys, 56, 62, 22, 28, soft=1.5)
    shade = 1.0 - 0.15 * np.clip(((xs - 50) ** 2 + (ys - 56) ** 2) / 900.0, 0, 1)
    skin_img = skin * shade[..., None] + _smooth_noise(rng, w, h, 12, 6.0)[..., None]
    img = img * (1 - face[..., None]) + skin_img * face[..., None]

    def paint(mask, color):
        nonlocal img
        img = img * (1 - mask[..., None]) + np.array(color, np.float32) * mask[..., None]

    for cx in (46, 66):
        paint(_ellipse(xs, ys, cx, 52, 5, 2.8), (245, 245, 240))
        paint(_ellipse(xs, ys, cx, 52, 2.2, 2.2), (60, 40, 30))
    for x0, x1 in ((40, 52), (60, 72)):
        paint(_ellipse(xs, ys, (x0 + x1) / 2, 45.5, 6.5, 1.3), (80, 55, 35))
    paint(_ellipse(xs, ys, 56, 64, 2.5, 1.6), (190, 140, 115))
    paint(_ellipse(xs, ys, 56, 73, 9, 2.2), (190, 80, 85))    # upper lip
    paint(_ellipse(xs, ys, 56, 75.8, 8, 2.0), (175, 70, 75))  # lower lip
    paint(_ellipse(xs, ys, 56, 74.3, 7, 0.7, soft=0.8), (90, 30, 35))
    img = np.clip(img, 0, 255)
    landmarks = [(41, 46), (51, 45), (61, 45), (71, 46), (42, 52), (50, 52), (47, 74),
                 (62, 52), (70, 52), (56, 54), (56, 64), (56, 86), (65, 74), (37, 76),
                 (56, 71.5), (75, 76), (38, 64), (56, 77.5), (74, 64), (56, 73.5), (56, 75)]
    return Portrait(img, _border_alpha(w, h, 10.0), landmarks, (56.0, 62.0))


# Landmarks of the astronaut photograph at its native 512 x 512 size.
_ASTRONAUT_LANDMARKS = [
    (190, 92.5), (216.25, 92.5), (236.25, 93.75), (260, 95), (193.75, 101), (213.75, 102),
    (202.5, 141.25), (237.5, 103), (256.25, 102.5), (225, 105), (225.5, 127.5), (223.75, 176.25),
    (246.25, 142.5), (185, 152.5), (224.5, 139.5), (265, 152.5), (191.25, 130), (223.75, 156.25),
    (258.75, 130), (224.5, 143.75), (223.75, 149.5)]
_ASTRONAUT_FACE = (225.0, 128.0)


def astronaut(scale):
    """The public-domain NASA portrait that Debian's python3-skimage ships,
    resized by `scale`."""
    from PIL import Image

    if not os.path.isfile(ASTRONAUT):
        raise FileNotFoundError(
            "the demo preset needs %s (Debian package python3-skimage); install it "
            "or use --preset tiny" % ASTRONAUT)
    with Image.open(ASTRONAUT) as im:
        im = im.convert("RGB")
        side = int(round(im.size[0] * scale))
        im = im.resize((side, side), Image.LANCZOS)
        rgb = np.asarray(im, dtype=np.float32)
    # Coordinates are pixel-centre based, so resizing maps x to (x + 0.5) s - 0.5.
    lm = [((x + 0.5) * scale - 0.5, (y + 0.5) * scale - 0.5) for x, y in _ASTRONAUT_LANDMARKS]
    fc = tuple((c + 0.5) * scale - 0.5 for c in _ASTRONAUT_FACE)
    return Portrait(rgb, _border_alpha(side, side, 32.0), lm, fc)


def background(w, h):
    """A quiet studio backdrop: vertical gradient with a soft vignette."""
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    t = ys / max(h - 1, 1)
    top = np.array([92, 108, 132], np.float32)
    bottom = np.array([38, 46, 64], np.float32)
    img = top * (1 - t[..., None]) + bottom * t[..., None]
    r = np.sqrt(((xs - w / 2) / w) ** 2 + ((ys - h / 2) / h) ** 2)
    return img * (1 - 0.35 * r)[..., None]
