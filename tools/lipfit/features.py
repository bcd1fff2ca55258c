"""The speech features the engine hands the fitted models, recomputed in
numpy so that the fitting sees what the models will see.

a2x: the short-window path of the shared speech encoder (tools/
speech_models.py): per block of 8 frames a 2 s window ending 12 + 8 frames
past the block's start, normalised, the filter-bank front end, columns
resampled at the frame positions and the head; the stream encoder reads the
mean over the 12 layers, which is what a2x_features returns [frames, 768].

motion: the engine's log-mel of each 5-frame window (bundlegen.motion
log_mel) and the fitted student's per-frame value, the mean of its output
frames 6 + 2m and 7 + 2m, each the mean of two adjacent mel frames.
"""
import numpy as np

import speech_models as sm
from bundlegen import motion as mo

FRAME = 640
BLOCK = 8
RIGHT = 12            # the stream's default encoder right context, in frames
_W = None


def _weights():
    global _W
    if _W is None:
        w = sm.weights()
        _W = dict(bank=w["bank"][:, 0, :].astype(np.float64), mix=w["mix"][:, :, 0].astype(np.float64),
                  mix_b=w["mix_b"].astype(np.float64), head=w["head"].astype(np.float64),
                  head_b=w["head_b"].astype(np.float64), scale=w["scale"].mean(axis=0),
                  shift=w["shift"].mean(axis=0))
    return _W


def _half(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def _normalise(x):
    x = x.astype(np.float64)
    m = x.mean()
    return (x - m) * (1.0 / np.sqrt(np.float32(x.var() + 1e-7)))


def _columns(window):
    """[640, window / 80] trunk columns of one normalised window."""
    w = _weights()
    x = np.pad(window, (sm.HOP // 2, sm.HOP // 2))
    n = (x.size - sm.TAPS) // sm.HOP + 1
    frames = np.lib.stride_tricks.as_strided(x, (n, sm.TAPS), (x.strides[0] * sm.HOP, x.strides[0]))
    c = frames @ w["bank"].T                                  # [n, 64]
    e = c[:, 0::2] ** 2 + c[:, 1::2] ** 2                     # [n, 32]
    half = sm.SMOOTH // 2
    cs = np.concatenate([np.zeros((1, sm.BANDS)), np.cumsum(e, axis=0)])
    lo = np.maximum(np.arange(n) - half, 0)
    hi = np.minimum(np.arange(n) + half + 1, n)
    s = (cs[hi] - cs[lo]) / (hi - lo)[:, None]
    return (np.log(s + sm.EPS) @ w["mix"].T + w["mix_b"]).T  # [640, n]


def a2x_features(samples, right=RIGHT):
    """[frames, 768] layer-mean features of a finished utterance."""
    w = _weights()
    n = samples.size
    frames = -(-n // FRAME)
    out = np.zeros((frames, sm.EMB), np.float32)
    for b in range(0, frames, BLOCK):
        end = (b + BLOCK + right) * FRAME
        win = np.zeros(sm.WIN, np.float64)
        lo = end - sm.WIN
        src = samples[max(lo, 0):min(end, n)]
        win[max(lo, 0) - lo:max(lo, 0) - lo + src.size] = src
        cols = _half(_columns(_normalise(win)))               # trunk output is half precision
        lt = cols.shape[1]
        for i in range(b, min(b + BLOCK, frames)):
            p, q = (i, 0) if i < 200 else (i % 100 + 100, (i // 100 * 100 - 100) * FRAME)
            r = (q - lo) / 80.0 + p * 1598.0 / 199.0
            s = int(np.floor(r))
            if not 0 <= s < lt:
                raise ValueError("frame %d falls outside its trunk window" % i)
            f = r - s
            x = _half(cols[:, s] * (1 - f) + cols[:, min(s + 1, lt - 1)] * f).astype(np.float64)
            out[i] = np.tanh(x @ w["head"] + w["head_b"]) * w["scale"] + w["shift"]
    return out


def motion_features(samples, win=None, binmat=None):
    """[frames, 80] per-frame log-mel as the fitted student reports it."""
    win = mo.window() if win is None else win
    binmat = mo.mel_matrix() if binmat is None else binmat
    n = samples.size
    frames = -(-n // FRAME)
    out = np.zeros((frames, mo.N_MELS), np.float32)
    for w0 in range(0, frames, 5):
        span = np.zeros(mo.SPAN, np.float32)
        lo = FRAME * w0 - 2000
        src = samples[max(lo, 0):min(lo + mo.SPAN, n)]
        span[max(lo, 0) - lo:max(lo, 0) - lo + src.size] = src
        mel = mo.log_mel(span, win, binmat)                   # [80, 21]
        pair = 0.5 * (mel[:, :-1] + mel[:, 1:])               # the student's 20 output frames
        for m in range(min(5, frames - w0)):
            out[w0 + m] = 0.5 * (pair[:, 6 + 2 * m] + pair[:, 7 + 2 * m])
    return out
