"""The borrowed-teeth bank of a generated bundle.

Donors are cut from the bundle's own face crops with the mouth opened by
different amounts, looking like what the director renders for that opening:
lips driven together at the smallest openings (warped towards the mouth
line, as the director moves them, so a rendered "m" finds its like in the
bank rather than the idle smile), the face's own mouth in between, and from
half the full opening an open mouth painted (dark interior, upper teeth,
lower teeth once the mouth is wide) whose height follows the opening. Each
stores the stamp's reference band of its crop. A donor's aperture is its
opening; its centroid is the pi-mask centroid of its opened lip keypoints.
The canonical centroid is the mean pi centroid of the loop's own keypoints
under the first corpus lip geometry, the one the bank's frames are
identified by.
"""
import numpy as np

# The corpus lip geometries the engine picks a bank's frame from (pad_x,
# pad_y, down); the bank is cut on v1.
CORPUS = {"v1": (0.05, 0.08, 0.015), "v2": (0.10, 0.08, 0.074), "v3": (0.14, 0.08, 0.074)}
CORPUS_V1 = CORPUS["v1"]
# The engine refuses a bank whose two nearest corpus geometries lie closer
# than this to its canonical centroid.
AMBIGUITY_PX = 3.0

# Lip keypoint rows (see portrait.py): corners, outer and inner lips.
_CORNERS = (6, 12)
_UPPER = (14, 19)
_LOWER = (17, 20)


def _smoothstep(u):
    return (3.0 - 2.0 * u) * u * u


def _ellipse(kp, rows, pad_x, pad_y, min_r, scale, down):
    pts = kp[list(rows), :2].astype(np.float64)
    cx, cy = pts.mean(axis=0)
    sx = np.abs(pts[:, 0] - cx).max()
    sy = np.abs(pts[:, 1] - cy).max()
    if pad_x:
        sx += pad_x
    if pad_y:
        sy += pad_y
    rx, ry = max(sx, min_r) * scale, max(sy, min_r) * scale
    return cx, cy + down, rx, ry, np.sqrt(rx * ry) * 256.0


def _ellipse_value(e, grid):
    cx, cy, rx, ry, sharp = e
    r = np.sqrt(((grid[None, :] - cx) / rx) ** 2 + ((grid[:, None] - cy) / ry) ** 2)
    t = (1.0 - r) * sharp / 10.0
    return np.where(t < 0, 0.0, _smoothstep(np.minimum(np.maximum(t, 0), 1.0)))


def pi_mask(kp, canvas, rows, params, corner_recovery=True, gate_scale=1.0):
    """The director's pi mask (canvas x canvas bytes) for one keypoint set
    (21 x 3, normalised crop coordinates) under lip geometry params."""
    pad_x, pad_y, down = params
    grid = 2.0 * np.arange(canvas, dtype=np.float32) / canvas - 1.0
    lip = _ellipse(kp, rows, pad_x, pad_y, 0.1, 1.0, down)
    if corner_recovery:
        cx, cy, rx, ry, sharp = lip
        pts = kp[list(rows), :2].astype(np.float64)
        m = np.sqrt(((pts[:, 0] - cx) / rx) ** 2 + ((pts[:, 1] - cy) / ry) ** 2).max()
        lip = _ellipse(kp, rows, pad_x, pad_y, 0.1, max(1.0, 5.0 / sharp + m), down)
    ys = kp[list(rows), 1].astype(np.float64)
    u = np.clip((np.abs(ys - ys.mean()).max() - 0.02) / 0.01, 0.0, 1.0)
    g = _smoothstep(u)
    v = _ellipse_value(lip, grid)
    if g > 0:
        v = np.maximum(v, g * _ellipse_value(_ellipse(kp, rows, 0, 0, 0.004, gate_scale, 0), grid))
    return np.rint(np.clip(v, 0, 1) * 255).astype(np.uint8)


def pi_centroid(kp, canvas, rows, params, corner_recovery=True, gate_scale=1.0):
    """(x, y) pixel centroid of the director's pi mask for one keypoint set,
    or None when the mask is empty."""
    mask = pi_mask(kp, canvas, rows, params, corner_recovery, gate_scale).astype(np.float64)
    total = mask.sum()
    if total <= 0:
        return None
    yy, xx = np.mgrid[0:canvas, 0:canvas]
    return float((mask * xx).sum() / total), float((mask * yy).sum() / total)


def canonical_centroid(kps, canvas, rows, params):
    pts = [c for c in (pi_centroid(k, canvas, rows, params) for k in kps) if c is not None]
    if not pts:
        raise ValueError("the pi mask is empty on every loop frame: no canonical mouth centroid")
    return [float(np.mean([p[0] for p in pts])), float(np.mean([p[1] for p in pts]))]


def corpus_separation(kps, canvas, rows):
    """Pixels between the v1 canonical centroid and the nearest other corpus
    geometry's: the margin by which a bank cut on v1 is told apart. It grows
    with the crop (the geometries differ by a fixed fraction of it)."""
    c1 = canonical_centroid(kps, canvas, rows, CORPUS_V1)
    return min(float(np.hypot(c[0] - c1[0], c[1] - c1[1]))
               for c in (canonical_centroid(kps, canvas, rows, CORPUS[k]) for k in ("v2", "v3")))


def window_geometry(canvas, centre):
    """The stamp: a mouth window centred on the canonical centroid, sized
    like the generator's other teeth members."""
    s = canvas / 128.0
    w = max(16, int(64 * s) // 4 * 4)
    h = max(12, int(40 * s) // 4 * 4)
    x0 = int(np.clip(round(centre[0] - w / 2), 0, canvas - w))
    y0 = int(np.clip(round(centre[1] - h / 2), 0, canvas - h))
    m = max(2, h // 5)
    return {"canvas_w": canvas, "canvas_h": canvas, "window_x0": x0, "window_y0": y0,
            "window_w": w, "window_h": h, "pad": 4,
            "band_r0": m, "band_r1": h - m, "band_c0": m, "band_c1": w - m, "shift_margin": 2}


def opened_keypoints(kp, opening, canvas):
    """Lip keypoints moved apart vertically by the opening (0..1): the inner
    and outer lips part by up to 0.45 of the mouth's half width."""
    out = kp.copy()
    half = abs(kp[_CORNERS[1], 0] - kp[_CORNERS[0], 0]) / 2.0
    gap = opening * 0.45 * half
    out[list(_UPPER), 1] -= gap
    out[list(_LOWER), 1] += gap
    return out


def paint_open_mouth(crop, kp, opening):
    """The crop (uint8, S x S x 3) with an open mouth painted between the lip
    corners: dark interior, upper teeth, and lower teeth once it is wide."""
    s = crop.shape[0]
    px = (kp[:, :2].astype(np.float64) + 1.0) * s / 2.0
    cx = (px[_CORNERS[0], 0] + px[_CORNERS[1], 0]) / 2.0
    cy = (px[_UPPER[1], 1] + px[_LOWER[1], 1]) / 2.0
    rx = max(2.0, abs(px[_CORNERS[1], 0] - px[_CORNERS[0], 0]) * 0.42)
    ry = max(0.6, opening * 0.45 * rx)
    ys, xs = np.mgrid[0:s, 0:s].astype(np.float64)
    r = np.sqrt(((xs - cx) / rx) ** 2 + ((ys - cy) / ry) ** 2)
    inside = np.clip((1.0 - r) * min(rx, ry) + 0.5, 0.0, 1.0)
    rel = (ys - (cy - ry)) / (2 * ry)                   # 0 at the top of the opening, 1 at the bottom
    gaps = 0.75 + 0.25 * (np.abs(np.sin((xs - cx) * np.pi / max(rx / 4.0, 1.0))) > 0.12)
    upper = (rel < 0.45).astype(np.float64) * gaps
    lower = ((rel > 0.8) & (opening > 0.5)).astype(np.float64) * gaps
    teeth = np.array([236.0, 232.0, 220.0])
    mouth = np.array([62.0, 18.0, 24.0])
    colour = mouth + (teeth - mouth) * np.clip(upper + lower, 0, 1)[..., None]
    out = crop.astype(np.float64) * (1 - inside[..., None]) + colour * inside[..., None]
    return np.clip(np.rint(out), 0, 255).astype(np.uint8)


def _smooth_ramp(v):
    return _smoothstep(np.clip(v, 0.0, 1.0))


def close_lips(crop, kp, closed):
    """The crop (uint8, S x S x 3, its own lip keypoints kp) with the lips
    driven together by the share `closed` (0..1): each lip's pixels move
    towards the mouth line, the inner lips by up to half the gap between
    them, so the gap (and any teeth the idle face shows there) narrows and at
    full closure vanishes, while the lips keep their own texture. This is how
    the director draws a closure (it warps the lips, it does not paint
    them), so retrieval can find these donors for a rendered "m"."""
    if closed <= 0:
        return crop
    s = crop.shape[0]
    px = (kp[:, :2].astype(np.float64) + 1.0) * s / 2.0
    cx = (px[_CORNERS[0], 0] + px[_CORNERS[1], 0]) / 2.0
    half = max(1.0, abs(px[_CORNERS[1], 0] - px[_CORNERS[0], 0]) / 2.0)
    top, inner_up = px[_UPPER[0], 1], px[_UPPER[1], 1]
    inner_low, bottom = px[_LOWER[1], 1], px[_LOWER[0], 1]
    line = (inner_up + inner_low) / 2.0
    gap = max(0.0, inner_low - inner_up)
    ys = np.arange(s, dtype=np.float64)[:, None]
    xs = np.arange(s, dtype=np.float64)[None, :]
    # Full pull along the middle of the mouth, none past the corners.
    along = _smooth_ramp((1.15 - np.abs(xs - cx) / half) / 0.3)
    # Each lip moves whole near the mouth line and not at all a lip's
    # thickness beyond its outer edge, so the skin around stays put.
    reach_up = max(1.0, line - top) * 2.0
    reach_low = max(1.0, bottom - line) * 2.0
    up = _smooth_ramp((ys - (line - reach_up)) / (reach_up - gap / 2.0 + 1e-9))
    low = _smooth_ramp(((line + reach_low) - ys) / (reach_low - gap / 2.0 + 1e-9))
    shift = closed * gap / 2.0 * along
    src = np.where(ys < line, ys - shift * up, ys + shift * low)
    src = np.clip(src, 0.0, s - 1.0)
    y0 = np.minimum(np.floor(src).astype(np.int64), s - 2)
    f = (src - y0)[..., None]
    cols = np.broadcast_to(np.arange(s), (s, s))
    img = crop.astype(np.float64)
    out = img[y0, cols] * (1.0 - f) + img[y0 + 1, cols] * f
    return np.clip(np.rint(out), 0, 255).astype(np.uint8)


def donor_frame(crop, kp, opening):
    """One donor's crop from the crop and its own lip keypoints kp: lips
    driven together at the smallest openings (fully closed up to 0.1,
    partly up to 0.2), the face's own mouth up to half the opening, a
    painted open mouth from there on."""
    if opening < 0.2:
        return close_lips(crop, kp, float(np.clip((0.2 - opening) / 0.1, 0.0, 1.0)))
    return crop if opening < 0.5 else paint_open_mouth(crop, kp, opening)


def build(crops, kps, n_donors, lip_rows):
    """The bank dict tessera_members.write_members takes: crops (NT x S x S x 3
    uint8) and their keypoints (NT x 21 x 3)."""
    nt, s = crops.shape[0], crops.shape[1]
    canon = canonical_centroid(kps, s, lip_rows, CORPUS_V1)
    g = window_geometry(s, canon)
    r0 = g["window_y0"] + g["band_r0"] - g["shift_margin"]
    r1 = g["window_y0"] + g["band_r1"] + g["shift_margin"]
    c0 = g["window_x0"] + g["band_c0"] - g["shift_margin"]
    c1 = g["window_x0"] + g["band_c1"] + g["shift_margin"]
    donors, cent, aperture = [], [], []
    for d in range(n_donors):
        t = d % nt
        opening = 0.05 + 0.95 * ((d * 0.6180339887) % 1.0)
        kp = opened_keypoints(kps[t], opening, s)
        frame = donor_frame(crops[t], kps[t], opening)
        donors.append(np.ascontiguousarray(frame[r0:r1, c0:c1]))
        c = pi_centroid(kp, s, lip_rows, CORPUS_V1) or canon
        cent.append([round(c[0], 4), round(c[1], 4)])
        aperture.append(round(opening, 4))
    return {"geometry": g, "donors": donors, "cent": cent, "aperture": aperture,
            "c_canon": [round(canon[0], 4), round(canon[1], 4)]}
