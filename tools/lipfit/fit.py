"""Readouts from speech features to viseme parameters.

Both speech paths get the same shape of model: per-frame log spectra (a2x:
the encoder's 32 log band energies recovered from its features; motion:
the 80-band log-mel), standardised, read over PAST frames before and
FUTURE frames after (zeros, the standardised mean, beyond the utterance)
by a small convolution stack (net.py, trained with torch) into (opening,
width, labiodental) and a fourth readout of lip closure (a closed target
near speech) that takes CLOSURE_PULL of the opening away. A speech gate on
the loudness, exactly zero for the features of silence, keeps silent
frames on the idle loop. This module holds everything but the training,
so that the bundle generators read the weights with numpy alone.
"""
import numpy as np

from . import corpus, features, visemes

PAST, FUTURE = 4, 6
TAPS = PAST + 1 + FUTURE
SATURATED = 0.995      # |tanh| past which a feature channel is not inverted
CLIP = 0.999999
PAD_S = 0.3            # silence added before and after each utterance
GAINS = (0.25, 2.0)    # range of the random level of each utterance
OUTPUTS = 4            # opening, width, labiodental, closure
# Share of the opening the closure readout takes away, per model, when the
# models run; the training takes the whole opening (TRAIN_PULL). The
# motion readout's whole opening closes only 64 to 72 % of the bilabials on
# speech the fitting did not use (flite's awb voice, and slt and an
# espeak-ng voice on the held-out sentences); 1.2 is the smallest pull, in
# steps of 0.1, that closes 80 % on both (for 0.01 less r).
CLOSURE_PULL = {"a2x": 1.0, "mo": 1.2}
TRAIN_PULL = 1.0
# Each log-mel band is floored at this percentile of its speech frames.
MO_FLOOR_PERCENTILE = 1.0
SPAN_FILL = 3.0        # a third of the taps inside speech counts as fully inside
# How far the training shifts a voice's spectrum along the bands: the
# encoder's 32 bands are 15 % apart, so 0.7 bands is a tenth either way.
A2X_REACH = 0.7
A2X_SEED = 1
# The same tenth on the 80 log-mel bands, which lie closer in the speech range.
MO_REACH = 1.7
MO_SEED = 1


def pad_utterance(samples, spans):
    n = int(PAD_S * visemes.SR)
    x = np.concatenate([np.zeros(n, np.float32), samples, np.zeros(n, np.float32)])
    return x, [(s + PAD_S, e + PAD_S, p) for s, e, p in spans]


def stack(z):
    """[frames, d] -> [frames, TAPS * d], tap k holding frame t + k - PAST."""
    f, d = z.shape
    p = np.concatenate([np.zeros((PAST, d), z.dtype), z, np.zeros((FUTURE, d), z.dtype)])
    return np.concatenate([p[k:k + f] for k in range(TAPS)], axis=1)


def closure_labels(t):
    """1 where the target is closed (opening < 0.1) with an open target
    (> 0.2) within 3 frames: a closure inside speech, not a pause."""
    near = np.convolve((t[:, 0] > 0.2).astype(float), np.ones(7), "same") > 0
    return ((t[:, 0] < 0.1) & near).astype(np.float64)


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


def band_inverse(fa):
    """The a2x features [frames, 768] are, per frame, fixed tanh mixtures
    of the encoder's 32 log band energies; this recovers the bands: (scale
    [768], offset [768], matrix [768, 32], bias [32]) with bands =
    atanh(clip((x - offset) / scale)) @ matrix + bias. Channels that
    saturate on the fitting speech get zero rows: past tanh's knee their
    value no longer tells their input."""
    import speech_models as sm
    enc = sm.weights()
    scale, offset = enc["scale"].mean(axis=0).astype(np.float64), enc["shift"].mean(axis=0).astype(np.float64)
    mix = enc["mix"][:, :, 0].astype(np.float64)
    a = mix.T @ enc["head"].astype(np.float64)                            # [32, 768]
    c = enc["mix_b"].astype(np.float64) @ enc["head"] + enc["head_b"]
    u = np.abs((fa - offset) / scale)
    keep = (u > SATURATED).mean(axis=0) < 0.002
    keep[0] = False                                                      # the loudness detector
    pinv = np.linalg.pinv(a[:, keep])                                    # [kept, 32]
    matrix = np.zeros((fa.shape[1], a.shape[0]))
    matrix[keep] = pinv
    return scale, offset, matrix, -c[keep] @ pinv


def a2x_bands(w, fa):
    u = np.clip((fa - w["a2x_offset"]) / w["a2x_scale"], -CLIP, CLIP)
    return np.arctanh(u) @ w["a2x_inv"] + w["a2x_inv_b"]


def layer_count(w, prefix):
    n = 0
    while "%s_w%d" % (prefix, n) in w:
        n += 1
    return n


def readout(z, w, prefix):
    """The readout stack in numpy: [frames, d] -> [frames, 4]; the first
    layer spans the taps, the others are per frame, ReLU between."""
    n = layer_count(w, prefix)
    x = z
    for k in range(n):
        cw, b = w["%s_w%d" % (prefix, k)], w["%s_b%d" % (prefix, k)]
        x = stack(x) @ cw.transpose(2, 1, 0).reshape(-1, cw.shape[0]) + b if k == 0 else x @ cw[:, :, 0].T + b
        if k + 1 < n:
            x = np.maximum(x, 0.0)
    return x


def standardise(data):
    """The fixed parts of both models from the fitting corpus: the a2x
    projection, the log-mel standardisation and both speech gates; with
    each utterance's standardised features and gate."""
    fa = np.concatenate([d[0] for d in data]).astype(np.float64)
    fm = np.concatenate([d[1] for d in data]).astype(np.float64)
    speech = np.concatenate([d[2][:, 0] for d in data]) > 0.05
    silent = np.zeros(features.FRAME * 40, np.float32)
    w = {}
    scale, offset, matrix, bias = band_inverse(fa)
    w.update(a2x_scale=scale.astype(np.float32), a2x_offset=offset.astype(np.float32),
             a2x_inv=matrix.astype(np.float32), a2x_inv_b=bias.astype(np.float32))
    bands = a2x_bands(w, fa)
    w.update(a2x_mean=bands.mean(axis=0).astype(np.float32), a2x_std=(bands.std(axis=0) + 1e-6).astype(np.float32),
             a2x_gate=np.array(_gate_bounds(float(features.a2x_features(silent)[:, 0].max()), fa[speech, 0]),
                               np.float32))
    # The log-mel of silence lies far below speech's (the log of its
    # floor): standardised over every frame, speech's own variation would
    # shrink to a third of a unit, under the training noise. Each band is
    # floored near its quietest speech and standardised over speech.
    floor = np.percentile(fm[speech], MO_FLOOR_PERCENTILE, axis=0)
    fs = np.maximum(fm[speech], floor)
    mu, sd = fs.mean(axis=0), fs.std(axis=0) + 1e-6
    loud = fm.mean(axis=1)
    w.update(mo_floor=floor.astype(np.float32), mo_mean=mu.astype(np.float32), mo_std=sd.astype(np.float32),
             mo_gate=np.array(_gate_bounds(float(features.motion_features(silent).mean(axis=1).max()), loud[speech]),
                              np.float32))
    za = [(a2x_bands(w, d[0]) - w["a2x_mean"]) / w["a2x_std"] for d in data]
    ga = [_gate(d[0][:, :1], w["a2x_gate"]) for d in data]
    zm = [motion_inputs(w, d[1]) for d in data]
    gm = [_gate(d[1].mean(axis=1, keepdims=True), w["mo_gate"]) for d in data]
    return w, (za, ga), (zm, gm)


def labels(data):
    return [np.column_stack([d[2], closure_labels(d[2])]) for d in data]


def shape_params(p, pull):
    """Gated readouts [frames, 4] -> (opening, width, labiodental) as the
    models bound them."""
    o = np.maximum(p[:, 0] - pull * np.clip(p[:, 3], 0.0, 1.0), 0.0)
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
    z = (a2x_bands(w, fa) - w["a2x_mean"]) / w["a2x_std"]
    return shape_params(readout(z, w, "a2x") * _gate(fa[:, :1], w["a2x_gate"]), CLOSURE_PULL["a2x"])


def motion_inputs(w, fm):
    """Standardised log-mel [frames, 80], each band floored first."""
    return (np.maximum(fm, w["mo_floor"]) - w["mo_mean"]) / w["mo_std"]


def predict_motion(w, fm):
    z = motion_inputs(w, fm)
    gate = _gate(fm.mean(axis=1, keepdims=True), w["mo_gate"])
    return shape_params(readout(z, w, "mo") * gate, CLOSURE_PULL["mo"])


def silence_floor(mean_of_silence):
    """The level below which the training treats a frame as silence."""
    return float(mean_of_silence) + 0.5


def train(stream_data, motion_data, epochs, log=print):
    """All weights of both models, each readout a convolution stack trained
    with torch: the stream's on `stream_data`, the motion's on
    `motion_data` (utterances as dataset gives them)."""
    from . import net
    w, (za, ga), _ = standardise(stream_data)
    silent = np.zeros(features.FRAME * 40, np.float32)
    log("training the a2x readout")
    aug = (w["a2x_mean"].astype(np.float64), w["a2x_std"].astype(np.float64),
           silence_floor(a2x_bands(w, features.a2x_features(silent)).mean()), A2X_REACH)
    for k, (cw, b) in enumerate(net.train(za, ga, labels(stream_data), A2X_SEED, epochs, TRAIN_PULL, aug, log)):
        w["a2x_w%d" % k], w["a2x_b%d" % k] = cw, b
    wm, _, (zm, gm) = standardise(motion_data)
    w.update({k: v for k, v in wm.items() if k.startswith("mo_")})
    log("training the motion readout")
    # Floored bands: silence reads as the floor, which the augmentation keeps.
    aug = (w["mo_mean"].astype(np.float64), w["mo_std"].astype(np.float64),
           silence_floor(w["mo_floor"].mean()), MO_REACH)
    for k, (cw, b) in enumerate(net.train(zm, gm, labels(motion_data), MO_SEED, epochs, TRAIN_PULL, aug, log)):
        w["mo_w%d" % k], w["mo_b%d" % k] = cw, b
    return w


def build_weights(renditions=2, epochs=40, log=print):
    """Fits on the fitting sentences spoken `renditions` times by espeak-ng
    and as often by flite's CMU Arctic voices: the stream's readout on
    espeak-ng's STREAM_VOICES and STREAM_VARIANTS, the motion's on all
    its voices and variants."""
    texts, _ = corpus.sentences()
    log("speaking %d sentences x %d renditions with espeak-ng and with flite" % (len(texts), renditions))
    spoken = corpus.flite_corpus(texts, renditions)
    stream = corpus.espeak_corpus(texts, renditions, voices=corpus.STREAM_VOICES,
                                  variants=corpus.STREAM_VARIANTS) + spoken
    motion = corpus.espeak_corpus(texts, renditions) + spoken
    log("computing features of %.0f s of speech" % (sum(u[0].size for u in stream + motion) / visemes.SR))
    return train(dataset(stream), dataset(motion), epochs, log)
