"""Ridge readouts from speech features to viseme parameters.

Both speech paths get the same shape of model: standardised per-frame
features (a2x: projected on their first principal directions), stacked over
PAST frames before and FUTURE frames after (zeros, the standardised mean,
beyond the utterance), and a linear map to (opening, width, labiodental),
fitted in closed form, plus a fourth readout of lip closure (a closed
target near speech) that takes CLOSURE_PULL of the opening away: a linear
opening alone smooths "b" between two vowels into a half-open mouth. A
speech gate on the loudness, exactly zero for the features of silence,
keeps silent frames on the idle loop.
"""
import numpy as np

from . import corpus, features, visemes

PAST, FUTURE = 4, 6
TAPS = PAST + 1 + FUTURE
A2X_DIMS = 64
PAD_S = 0.3            # silence added before and after each utterance
GAINS = (0.25, 2.0)    # range of the random level of each utterance
OUTPUTS = 4            # opening, width, labiodental, closure
# Share of the opening the closure readout takes away: with two
# synthesizers in the corpus the opening readout is broader, and less than
# half lets a "b" between vowels stay half open on an unseen voice.
CLOSURE_PULL = 0.5
SPAN_FILL = 3.0        # a third of the taps inside speech counts as fully inside
# Ridge strengths, chosen for speech from other synthesizers rather than
# for the fitting corpus: the a2x features (tanh mixtures of band
# energies) carry a synthesizer's spectral detail closely, and a weak ridge
# learns that voice's detail; a strong one keeps the broad shape.
A2X_LAMBDA = 1.0
MOTION_LAMBDA = 1e-2


def pad_utterance(samples, spans):
    n = int(PAD_S * visemes.SR)
    x = np.concatenate([np.zeros(n, np.float32), samples, np.zeros(n, np.float32)])
    return x, [(s + PAD_S, e + PAD_S, p) for s, e, p in spans]


def stack(z):
    """[frames, d] -> [frames, TAPS * d], tap k holding frame t + k - PAST."""
    f, d = z.shape
    p = np.concatenate([np.zeros((PAST, d), z.dtype), z, np.zeros((FUTURE, d), z.dtype)])
    return np.concatenate([p[k:k + f] for k in range(TAPS)], axis=1)


def conv_weights(w, d):
    """Readout [TAPS * d, k] as Conv weights [k, d, TAPS]."""
    return np.ascontiguousarray(w.reshape(TAPS, d, -1).transpose(2, 1, 0)).astype(np.float32)


def closure_labels(t):
    """1 where the target is closed (opening < 0.1) with an open target
    (> 0.2) within 3 frames: a closure inside speech, not a pause."""
    near = np.convolve((t[:, 0] > 0.2).astype(float), np.ones(7), "same") > 0
    return ((t[:, 0] < 0.1) & near).astype(np.float64)


def ridge(x, y, lam):
    xm = np.concatenate([x, np.ones((x.shape[0], 1))], axis=1)
    a = xm.T @ xm
    a[np.diag_indices(x.shape[1])] += lam * x.shape[0]
    sol = np.linalg.solve(a, xm.T @ y)
    return sol[:-1], sol[-1]


def gated_ridge(x, gate, y, lam):
    """Ridge for y = gate * (x w + b): the readout is fitted as the model
    uses it, so that frames the gate closes do not pull on it."""
    xg = np.concatenate([x * gate, gate], axis=1)
    a = xg.T @ xg
    a[np.diag_indices(x.shape[1])] += lam * x.shape[0]
    sol = np.linalg.solve(a, xg.T @ y)
    return sol[:-1], sol[-1]


def dataset(utts, seed=9):
    """Per utterance: (a2x features, motion features, targets), level
    varied per utterance."""
    rng = np.random.default_rng(seed)
    out = []
    for samples, spans in utts:
        x, sp = pad_utterance(samples, spans)
        x = (x * rng.uniform(*GAINS)).astype(np.float32)
        fa = features.a2x_features(x)
        fm = features.motion_features(x)
        out.append((fa, fm, visemes.targets(sp, fa.shape[0])))
    return out


def _gate_bounds(loud_silence, loud_speech):
    """Gate from zero (at and below a level a little above silence's) to
    one (at the quietest tenth of speech frames)."""
    top = float(np.percentile(loud_speech, 10))
    lo = loud_silence + 0.15 * (top - loud_silence)
    return lo, max(top, lo + 1e-3)


def fit(data):
    fa = np.concatenate([d[0] for d in data]).astype(np.float64)
    fm = np.concatenate([d[1] for d in data]).astype(np.float64)
    y = np.concatenate([np.column_stack([d[2], closure_labels(d[2])]) for d in data])
    speech = y[:, 0] > 0.05
    silent = np.zeros(features.FRAME * 40, np.float32)
    out = {}

    # a2x: standardise, project, stack, readout.
    mu, sd = fa.mean(axis=0), fa.std(axis=0) + 1e-6
    zs = (fa - mu) / sd
    _, _, vt = np.linalg.svd(zs[::4], full_matrices=False)
    proj = (vt[:A2X_DIMS].T / sd[:, None])                     # x @ proj - mu @ proj
    shift = mu @ proj
    zz = [(d[0] @ proj - shift) for d in data]
    w, b = ridge(np.concatenate([stack(z) for z in zz]), y, A2X_LAMBDA)
    loud = fa[:, 0]
    lo, hi = _gate_bounds(float(features.a2x_features(silent)[:, 0].max()), loud[speech])
    out.update(a2x_proj=proj.astype(np.float32), a2x_shift=shift.astype(np.float32),
               a2x_conv=conv_weights(w, A2X_DIMS), a2x_bias=b.astype(np.float32),
               a2x_gate=np.array([lo, hi], np.float32))

    # motion: standardise the log-mel, stack, readout fitted through the
    # gate, which reads the mean log-mel.
    mu, sd = fm.mean(axis=0), fm.std(axis=0) + 1e-6
    loud = fm.mean(axis=1)
    lo, hi = _gate_bounds(float(features.motion_features(silent).mean(axis=1).max()), loud[speech])
    gate = _gate(loud[:, None], (lo, hi))
    w, b = gated_ridge(np.concatenate([stack((d[1] - mu) / sd) for d in data]), gate, y, MOTION_LAMBDA)
    out.update(mo_mean=mu.astype(np.float32), mo_std=sd.astype(np.float32),
               mo_conv=conv_weights(w, fm.shape[1]), mo_bias=b.astype(np.float32),
               mo_gate=np.array([lo, hi], np.float32))
    return out


def _conv(z, cw, bias):
    """The models' temporal convolution in numpy: [frames, d] -> [frames, k]."""
    return stack(z) @ cw.transpose(2, 1, 0).reshape(-1, cw.shape[0]) + bias


def shape_params(p):
    """Gated readouts [frames, 4] -> (opening, width, labiodental) as the
    models bound them."""
    o = np.maximum(p[:, 0] - CLOSURE_PULL * np.clip(p[:, 3], 0.0, 1.0), 0.0)
    return np.column_stack([o, np.clip(p[:, 1], -1.2, 1.2), np.clip(p[:, 2], 0.0, 1.0)])


def speech_span(gate):
    """[frames, 1] -> [frames, 1]: how far each frame lies inside speech,
    from the mean of the gate over the readout's taps (PAST before, FUTURE
    after), tripled and capped at 1. The lips leave the idle face's own
    gap for speech over the span: a per-frame gate shuts in the silent part
    of a stop or a short pause, and the lips would spring back to the idle
    face exactly where they should close. Zero wherever the gate is zero
    over all taps, so silence stays on the idle loop."""
    pooled = stack(gate).mean(axis=1, keepdims=True)
    return np.clip(SPAN_FILL * pooled, 0.0, 1.0)


def _gate(level, bounds):
    return np.clip((level - bounds[0]) / (bounds[1] - bounds[0]), 0.0, 1.0)


def predict_a2x(w, fa):
    z = fa @ w["a2x_proj"] - w["a2x_shift"]
    return shape_params(_conv(z, w["a2x_conv"], w["a2x_bias"]) * _gate(fa[:, :1], w["a2x_gate"]))


def predict_motion(w, fm):
    z = (fm - w["mo_mean"]) / w["mo_std"]
    return shape_params(_conv(z, w["mo_conv"], w["mo_bias"]) * _gate(fm.mean(axis=1, keepdims=True), w["mo_gate"]))


def build_weights(renditions=2, log=print):
    """Fits on the fitting sentences spoken `renditions` times by espeak-ng
    and as often by flite's CMU Arctic voices."""
    texts, _ = corpus.sentences()
    log("speaking %d sentences x %d renditions with espeak-ng and with flite" % (len(texts), renditions))
    utts = corpus.espeak_corpus(texts, renditions) + corpus.flite_corpus(texts, renditions)
    log("computing features of %.0f s of speech" % (sum(u[0].size for u in utts) / visemes.SR))
    data = dataset(utts)
    return fit(data), data
