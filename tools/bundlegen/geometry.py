"""Affine maps, idle motion, bilinear sampling and keypoints.

Coordinates are pixel-centre based: pixel (i, j) of an image sits at x = j,
y = i. A 2x3 affine [[a, b, c], [d, e, f]] maps (x, y) to
(a x + b y + c, d x + e y + f).
"""
import math

import numpy as np


def affine(scale=1.0, theta=0.0, tx=0.0, ty=0.0):
    c, s = math.cos(theta) * scale, math.sin(theta) * scale
    return np.array([[c, -s, tx], [s, c, ty]], dtype=np.float64)


def compose(a, b):
    """a after b."""
    a3 = np.vstack([a, [0, 0, 1]])
    b3 = np.vstack([b, [0, 0, 1]])
    return (a3 @ b3)[:2]


def invert(m):
    return np.linalg.inv(np.vstack([m, [0, 0, 1]]))[:2]


def apply(m, x, y):
    return m[0, 0] * x + m[0, 1] * y + m[0, 2], m[1, 0] * x + m[1, 1] * y + m[1, 2]


def about(center, scale, theta, shift):
    """Scale and rotate about `center`, then shift."""
    cx, cy = center
    return compose(affine(1, 0, cx + shift[0], cy + shift[1]),
                   compose(affine(scale, theta), affine(1, 0, -cx, -cy)))


def sample(img, x, y):
    """Bilinear sample of an HxWxC float image at float coordinates; returns
    (values ..xC, inside mask). Outside samples clamp to the border."""
    h, w = img.shape[:2]
    inside = (x >= -0.5) & (x <= w - 0.5) & (y >= -0.5) & (y <= h - 0.5)
    x = np.clip(x, 0, w - 1)
    y = np.clip(y, 0, h - 1)
    x0 = np.minimum(np.floor(x).astype(np.int64), w - 2 if w > 1 else 0)
    y0 = np.minimum(np.floor(y).astype(np.int64), h - 2 if h > 1 else 0)
    fx = (x - x0)[..., None].astype(np.float32)
    fy = (y - y0)[..., None].astype(np.float32)
    x1 = np.minimum(x0 + 1, w - 1)
    y1 = np.minimum(y0 + 1, h - 1)
    top = img[y0, x0] * (1 - fx) + img[y0, x1] * fx
    bot = img[y1, x0] * (1 - fx) + img[y1, x1] * fx
    return top * (1 - fy) + bot * fy, inside


def warp(img, m, out_w, out_h):
    """Image of out_h x out_w whose pixel (X, Y) samples `img` at m(X, Y)."""
    ys, xs = np.mgrid[0:out_h, 0:out_w].astype(np.float64)
    sx, sy = apply(m, xs, ys)
    return sample(img, sx, sy)


class IdleMotion:
    """Seamlessly looping head motion: every component is a whole number of
    periods over the loop, so frame NT equals frame 0."""

    def __init__(self, rng, nt, rot_deg, breath, sway_x, sway_y):
        self.nt = nt
        self.rot = math.radians(rot_deg)
        self.breath, self.sway_x, self.sway_y = breath, sway_x, sway_y
        self.phase = rng.uniform(0, 2 * math.pi, size=4)

    def at(self, t):
        w = 2 * math.pi * (t % self.nt) / self.nt
        p = self.phase
        theta = self.rot * math.sin(w + p[0])
        scale = 1 + self.breath * math.sin(2 * w + p[1])
        dx = self.sway_x * math.sin(w + p[2])
        dy = self.sway_y * math.sin(2 * w + p[3])
        return scale, theta, (dx, dy)


class Placement:
    """Where the portrait and the face crop sit in each frame.

    head(t):  portrait pixel -> canvas pixel for frame t.
    paste(t): crop pixel -> canvas pixel for frame t (the bundle's M). The
              crop follows the head one frame late, like a tracker would, so
              the keypoints carry a little residual motion.
    """

    def __init__(self, motion, face_center, offset, crop, crop_scale):
        self.motion = motion
        self.face_center = face_center
        self.offset = offset
        self.crop = crop
        self.crop_scale = crop_scale

    def head(self, t):
        scale, theta, (dx, dy) = self.motion.at(t)
        rest = affine(1, 0, self.offset[0], self.offset[1])
        return compose(rest, about(self.face_center, scale, theta, (dx, dy)))

    def crop_in_portrait(self):
        c = (self.crop - 1) / 2.0
        fx, fy = self.face_center
        s = self.crop_scale
        return np.array([[s, 0, fx - s * c], [0, s, fy - s * c]], dtype=np.float64)

    def paste(self, t):
        return compose(self.head(t - 1), self.crop_in_portrait())


def keypoints(placement, t, landmarks, depth):
    """21 x 3 keypoints of frame t in the crop's normalised [-1, 1] space:
    x = 2u / S - 1 for crop pixel u (and likewise y)."""
    s = placement.crop
    to_crop = compose(invert(placement.paste(t)), placement.head(t))
    u, v = apply(to_crop, landmarks[:, 0], landmarks[:, 1])
    kp = np.stack([2 * u / s - 1, 2 * v / s - 1, depth], axis=1)
    if np.abs(kp).max() > 1:
        raise ValueError("a keypoint of frame %d leaves the crop: the face does not fit the crop" % t)
    return kp.astype(np.float32)
