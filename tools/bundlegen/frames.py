"""Driving frames: the portrait moved by the idle motion over the backdrop,
and the face crops cut from them through the paste transform."""
import numpy as np

from . import geometry


def _pil_affine(m):
    """Pillow's AFFINE data for a pixel-centre map m (Pillow samples output
    pixel corners at x + 0.5 and input pixels at centres x + 0.5)."""
    a, b, c = m[0]
    d, e, f = m[1]
    return (a, b, c + 0.5 - 0.5 * (a + b), d, e, f + 0.5 - 0.5 * (d + e))


def render(portrait, backdrop, head):
    """One W x H x 3 uint8 frame with the portrait placed by `head`
    (portrait pixel -> canvas pixel)."""
    from PIL import Image

    h, w = backdrop.shape[:2]
    pw, ph = portrait.size
    cx, cy = geometry.apply(head, np.array([0, pw - 1, 0, pw - 1.0]), np.array([0, 0, ph - 1, ph - 1.0]))
    x0, x1 = max(0, int(np.floor(cx.min())) - 1), min(w - 1, int(np.ceil(cx.max())) + 1)
    y0, y1 = max(0, int(np.floor(cy.min())) - 1), min(h - 1, int(np.ceil(cy.max())) + 1)
    frame = backdrop.copy()
    if x0 <= x1 and y0 <= y1:
        back = geometry.compose(geometry.invert(head), geometry.affine(1, 0, x0, y0))
        size = (x1 - x0 + 1, y1 - y0 + 1)
        data = _pil_affine(back)
        # Colour and alpha are resampled separately: Pillow would otherwise
        # premultiply, and the maths here is plain bilinear on each.
        rgb, alpha = portrait.images()
        rgb = np.asarray(rgb.transform(size, Image.AFFINE, data, resample=Image.BILINEAR), np.float32)
        a = np.asarray(alpha.transform(size, Image.AFFINE, data, resample=Image.BILINEAR),
                       np.float32)[..., None] / 255.0
        region = frame[y0:y1 + 1, x0:x1 + 1]
        frame[y0:y1 + 1, x0:x1 + 1] = region * (1 - a) + rgb * a
    return np.clip(np.rint(frame), 0, 255).astype(np.uint8)


def cut_crop(frame, paste, crop):
    """The crop x crop face crop whose pixel (u, v) is the frame at
    paste(u, v): exactly what pasting through `paste` puts back."""
    rgb, _ = geometry.warp(frame.astype(np.float32), paste, crop, crop)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def face_mask(crop):
    """Feathered elliptical face mask, crop x crop bytes, 255 over the face,
    falling to 0 well inside the crop border."""
    c = (crop - 1) / 2.0
    ys, xs = np.mgrid[0:crop, 0:crop].astype(np.float64)
    r = np.sqrt(((xs - c) / (0.40 * crop)) ** 2 + ((ys - c - 0.03 * crop) / (0.45 * crop)) ** 2)
    t = np.clip((1.0 - r) / 0.2, 0.0, 1.0)
    return np.rint(255 * t * t * (3 - 2 * t)).astype(np.uint8)
