"""Mouth shapes of phonemes and the per-frame lip targets they give.

A viseme is three numbers: opening (0 closed .. 1 the widest jaw of "a" in
"father"), width (-1 rounded and pushed forward .. 1 spread) and
labiodental (1 when the lower lip rests on the upper teeth, f and v).

Where the values come from: the usual grouping of English phonemes into
visemes (bilabials closed; labiodentals; dentals; alveolars, velars and
glottals that leave the lips to their neighbours; the rounded
post-alveolars, r and w) and, for vowels, their place on the vowel chart:
jaw opening follows vowel height (close i and u small, open a large) and lip
shape follows frontness and rounding (front i and e spread, back rounded
u, o and the "aw" of "law" rounded). Diphthongs move from their first
vowel to their second.

Coarticulation: each phoneme pulls the lips towards its shape with a
dominance that is full over its own span and decays exponentially outside
it; the target at any instant is the dominance-weighted mean of the
shapes. Lip closures and the f/v contact dominate strongly (a "b" must
close between two open vowels), vowels moderately, and the consonants made
with the tongue weakly, so "t" in "boot" stays rounded.
"""
import numpy as np

SR = 16000
FRAME = 640
TAU = 0.035            # seconds: decay of a phoneme's pull outside its span
GRID = 0.005           # seconds between target samples before frame averaging

# Phone (ARPAbet, lower case): (opening, width, labiodental, dominance).
_CLOSED, _LABIO, _VOWEL, _WEAK = 8.0, 4.0, 1.0, 0.3
SHAPES = {
    "pau": (0.0, 0.0, 0.0, 1.0),
    "p": (0.0, 0.0, 0.0, _CLOSED), "b": (0.0, 0.0, 0.0, _CLOSED), "m": (0.0, 0.0, 0.0, _CLOSED),
    "f": (0.1, 0.1, 1.0, _LABIO), "v": (0.1, 0.1, 1.0, _LABIO),
    "th": (0.25, 0.1, 0.0, 0.6), "dh": (0.25, 0.1, 0.0, 0.6),
    "t": (0.25, 0.2, 0.0, _WEAK), "d": (0.25, 0.2, 0.0, _WEAK), "n": (0.25, 0.2, 0.0, _WEAK),
    "l": (0.3, 0.2, 0.0, _WEAK), "s": (0.15, 0.3, 0.0, 0.5), "z": (0.15, 0.3, 0.0, 0.5),
    "k": (0.3, 0.0, 0.0, _WEAK), "g": (0.3, 0.0, 0.0, _WEAK), "ng": (0.3, 0.0, 0.0, _WEAK),
    "hh": (0.4, 0.0, 0.0, 0.15), "y": (0.2, 0.6, 0.0, 0.5),
    "sh": (0.25, -0.6, 0.0, 1.5), "zh": (0.25, -0.6, 0.0, 1.5),
    "ch": (0.25, -0.6, 0.0, 1.5), "jh": (0.25, -0.6, 0.0, 1.5),
    "r": (0.25, -0.5, 0.0, 1.0), "w": (0.1, -1.0, 0.0, 2.0),
    "iy": (0.3, 0.9, 0.0, _VOWEL), "ih": (0.4, 0.6, 0.0, _VOWEL), "ey": (0.45, 0.7, 0.0, _VOWEL),
    "eh": (0.6, 0.5, 0.0, _VOWEL), "ae": (0.8, 0.5, 0.0, _VOWEL), "aa": (1.0, 0.1, 0.0, _VOWEL),
    "ah": (0.7, 0.1, 0.0, _VOWEL), "ax": (0.45, 0.1, 0.0, _VOWEL), "er": (0.35, -0.3, 0.0, _VOWEL),
    "ao": (0.75, -0.5, 0.0, _VOWEL), "ow": (0.45, -0.8, 0.0, _VOWEL), "uh": (0.35, -0.6, 0.0, _VOWEL),
    "uw": (0.2, -1.0, 0.0, _VOWEL),
}
DIPHTHONGS = {"ay": ("aa", "iy"), "aw": ("aa", "uw"), "oy": ("ao", "iy")}

VOWELS = {"iy", "ih", "ey", "eh", "ae", "aa", "ah", "ax", "er", "ao", "ow", "uh", "uw", "ay", "aw", "oy"}
BILABIALS = {"p", "b", "m"}
ROUNDED = {"uw", "w", "ow"}
SPREAD = {"iy", "ey", "eh"}

# espeak-ng's English phoneme mnemonics (stress and variant marks stripped
# before the lookup) to the phones above.
ESPEAK = {
    "_": "pau", "_:": "pau", "_!": "pau", "_^_": "pau", "?": "pau",
    "p": "p", "b": "b", "m": "m", "f": "f", "v": "v", "T": "th", "D": "dh", "t": "t", "d": "d", "n": "n",
    "l": "l", "s": "s", "z": "z", "k": "k", "g": "g", "N": "ng", "h": "hh", "j": "y", "S": "sh", "Z": "zh",
    "tS": "ch", "dZ": "jh", "r": "r", "w": "w", "x": "k", "t#": "t", "d#": "d", "*": "t", "n-": "n", "l-": "l",
    "i": "iy", "i:": "iy", "I": "ih", "I2": "ih", "I#": "ih", "e": "eh", "E": "eh", "eI": "ey", "e@": "eh",
    "a": "ae", "a#": "ax", "A:": "aa", "A@": "aa", "0": "aa", "O:": "ao", "O": "ao", "O@": "ao", "o@": "ao",
    "V": "ah", "@": "ax", "@2": "ax", "@5": "ax", "@L": "ax", "3": "er", "3:": "er", "i@": "ih", "i@3": "ih",
    "U": "uh", "U@": "uh", "u:": "uw", "u": "uw", "aI": "ay", "aI@": "ay", "aU": "aw", "aU@": "aw",
    "OI": "oy", "oU": "ow", "@U": "ow", "o": "ow", "aa": "aa",
}


def espeak_phone(name):
    """An espeak-ng mnemonic as a phone of SHAPES (or a diphthong); None for
    marks that are not sounds."""
    name = name.strip()
    for cut in range(len(name), 0, -1):
        key = name[:cut]
        if key in ESPEAK:
            return ESPEAK[key]
        key = key.rstrip("0123456789#;,'/")
        if key in ESPEAK:
            return ESPEAK[key]
    return None


def festival_phone(name):
    """Festival's (and flite's) phone names: the same letters, "h#" and
    "sil" for pauses, "axr" as "er"."""
    name = name.lower().rstrip("0123456789")
    return {"h#": "pau", "sil": "pau", "axr": "er", "hh": "hh", "dx": "t", "nx": "n"}.get(name, name)


def _shape(phone):
    return SHAPES.get(phone, SHAPES["ax"])


def _pieces(phones):
    """(start, end, shape) with diphthongs split into their two halves."""
    out = []
    for start, end, phone in phones:
        if phone in DIPHTHONGS:
            mid = 0.5 * (start + end)
            a, b = DIPHTHONGS[phone]
            out += [(start, mid, _shape(a)), (mid, end, _shape(b))]
        else:
            out.append((start, end, _shape(phone)))
    return out


def targets(phones, frames):
    """Per-frame viseme targets [frames, 3] (opening, width, labiodental),
    each frame the mean over its 40 ms, for `phones` = (start s, end s,
    phone) in order; time outside every phone is pause."""
    pieces = _pieces(phones)
    end = frames * FRAME / SR
    if not pieces or pieces[-1][1] < end:
        pieces.append((pieces[-1][1] if pieces else 0.0, end + 1.0, SHAPES["pau"]))
    if pieces[0][0] > 0.0:
        pieces.insert(0, (-1.0, pieces[0][0], SHAPES["pau"]))
    t = (np.arange(int(round(end / GRID))) + 0.5) * GRID
    num = np.zeros((t.size, 3))
    den = np.zeros(t.size)
    for start, stop, (o, w, f, dom) in pieces:
        gap = np.maximum(start - t, 0.0) + np.maximum(t - stop, 0.0)
        d = dom * np.exp(-gap / TAU)
        num += d[:, None] * np.array([o, w, f])
        den += d
    fine = num / den[:, None]
    per = int(round(FRAME / SR / GRID))
    return fine[:frames * per].reshape(frames, per, 3).mean(axis=1)


def middle_frames(phones, wanted):
    """Frame indices at the middle of each phone in `wanted`."""
    return [int((0.5 * (s + e)) * SR // FRAME) for s, e, p in phones if p in wanted]


# Lip keypoint rows: 14 and 19 upper lip, 17 and 20 lower lip, 6 and 12
# the mouth corners (6 on the smaller-x side).
UPPER, LOWER, CORNERS = (14, 19), (17, 20), (6, 12)
OPEN_GAIN = 0.2        # keypoint units of lip parting at opening 1 (the crop spans 2)
WIDTH_GAIN = 0.08      # of each corner's sideways move at width +-1: a third of the mouth
                       # width, so that a rounded "oo" reads against a spread "ee"
LABIO_LIFT = 0.012     # the lower lip's lift onto the teeth


def directions():
    """[3, 63]: keypoint offsets of unit opening, width and labiodental
    contact. The upper lip takes a third of the parting, the lower lip (the
    jaw) the rest; rounding draws the corners in and pushes the lips
    forward (smaller third coordinate)."""
    d = np.zeros((3, 21, 3))
    for r in UPPER:
        d[0, r, 1] = -OPEN_GAIN / 3
    for r in LOWER:
        d[0, r, 1] = 2 * OPEN_GAIN / 3
    d[1, CORNERS[0], 0] = -WIDTH_GAIN
    d[1, CORNERS[1], 0] = WIDTH_GAIN
    for r in UPPER + LOWER:
        d[1, r, 2] = 0.3 * WIDTH_GAIN
    for r in LOWER:
        d[2, r, 1] = -LABIO_LIFT
        d[2, r, 2] = 0.5 * LABIO_LIFT
    return d.reshape(3, 63).astype(np.float32)


def rest_closing(gap):
    """[63]: the keypoint offset that narrows a lip gap of `gap` (keypoint
    units) to contact, along the opening direction."""
    return (-float(gap) / OPEN_GAIN) * directions()[0]


def inner_gap(kp):
    """Inner lip parting of keypoint frames [..., 63]: the lower inner lip's
    y minus the upper inner lip's (rows 20 and 19); 0 at contact."""
    k = np.asarray(kp).reshape(kp.shape[:-1] + (21, 3))
    return k[..., LOWER[1], 1] - k[..., UPPER[1], 1]


def rest_gap(kp):
    """The mean inner lip gap of a driving loop [frames, 21, 3] or
    [frames, 63], never negative."""
    k = np.asarray(kp, np.float64)
    return max(float(inner_gap(k.reshape(k.shape[0], 63)).mean()), 0.0)


def opening(kp):
    """Lip parting of keypoint frames [..., 63]: lower lip rows' mean y
    minus the upper lip rows'."""
    k = np.asarray(kp).reshape(kp.shape[:-1] + (21, 3))
    return k[..., list(LOWER), 1].mean(axis=-1) - k[..., list(UPPER), 1].mean(axis=-1)


def width(kp):
    k = np.asarray(kp).reshape(kp.shape[:-1] + (21, 3))
    return k[..., CORNERS[1], 0] - k[..., CORNERS[0], 0]
