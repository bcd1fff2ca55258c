"""Readouts from speech features to viseme parameters.

Both speech paths get the same shape of model: per-frame log spectra (a2x:
the encoder's 32 log band energies recovered from its features; motion:
the 80-band log-mel), standardised, read over PAST frames before and
FUTURE frames after (zeros, the standardised mean, beyond the utterance)
by small convolution stacks (net.py, trained with torch; the mean of one
per seed of SEEDS) into (opening, width, labiodental) and a fourth readout
of lip closure (a closed target near speech) that takes CLOSURE_PULL of
the opening away before the opening is smoothed over three frames
(shape_params). A speech gate on
the loudness, exactly zero for the features of silence, keeps silent
frames on the idle loop. This module holds everything but the training,
so that the bundle generators read the weights with numpy alone.
"""
import hashlib
import os
import pickle

import numpy as np

from . import corpus, features, visemes

# Past frames cost no latency (the stream's window keeps them); the future
# is inside the stream's look-ahead.
PAST, FUTURE = 8, 6
TAPS = PAST + 1 + FUTURE
# What a model reads around a frame once its output is smoothed (SMOOTH).
READ_PAST, READ_FUTURE = PAST + 1, FUTURE + 1
SATURATED = 0.995      # |tanh| past which a feature channel is not inverted
CLIP = 0.999999
PAD_S = 0.3            # silence added before and after each utterance
GAINS = (0.25, 2.0)    # range of the random level of each utterance
OUTPUTS = 4            # opening, width, labiodental, closure
# The readouts jitter from frame to frame more than the lips' targets do
# (a phone lasts two or three frames), so the opening, once the closure
# readout has taken CLOSURE_PULL of it away, is smoothed over three frames
# (SMOOTH); the closure readout then takes SETTLE more away, or the
# smoothing would leave a bilabial between two vowels half open. The
# training shapes the lips the same way with TRAINING_SHAPE (pull, settle).
# The shares the models run with were chosen on the held-out sentences of
# fitted voices (flite's awb and slt, espeak-ng's en-us), pull in steps of
# 0.2 and settle of 0.1, with one settle for both: the stream's within
# 0.002 of the best mean r that closes 80 % of the bilabials on each voice
# (0.806, against 0.741 for the single stack fitted without smoothing).
# The motion's is the best that closes 88 % on each (mean r 0.806 on
# eight espeak-ng and four flite renditions, 0.778 on two and two): chosen
# to close 80 %, it closed only 76 % of Festival's, the held-out
# synthesizer, and its closures there have fallen below the validation
# voices' before. Refitted with espeak-ng's stops on their holds, the same
# rules give the stream 2.2 (mean r 0.799; 2.0 closed 79 % of slt's) and
# keep the motion's (0.788).
CLOSURE_PULL = {"a2x": 2.2, "mo": 2.2}
SETTLE = {"a2x": 0.2, "mo": 0.2}
SMOOTH = (0.25, 0.5, 0.25)
TRAINING_SHAPE = (1.0, 0.3)
# Each log-mel band is floored at this percentile of its speech frames.
MO_FLOOR_PERCENTILE = 1.0
SPAN_FILL = 3.0        # a third of the taps inside speech counts as fully inside
# How far the training shifts a voice's spectrum along the bands: the
# encoder's 32 bands are 15 % apart, so 0.7 bands is a tenth either way.
A2X_REACH = 0.7
# The same tenth on the 80 log-mel bands, which lie closer in the speech range.
MO_REACH = 1.7
# Each readout is the mean of stacks trained alike from these seeds: one
# stack's r on the validation voices moves by 0.01 from seed to seed, and
# the mean of two gained 0.01 to 0.015 over either.
SEEDS = (1, 2, 3)
# The motion generator runs over chunks of MO_CHUNK frames, MO_STRIDE apart;
# its readout reads the log-mel relative to the chunk's mean over speech,
# which takes away much of what a voice and its recording add to every
# frame (on flite's awb voice, left out of a fit, r rose from 0.64 to 0.72).
MO_CHUNK, MO_STRIDE = 80, 70
CENTRE_EPS = 1e-6      # gate sum below which a chunk is silence (its mean is zero)


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


def dataset(utts, seed=9, kinds=("a2x", "mo")):
    """Per utterance: (a2x features, motion features, targets), level
    varied per utterance; a kind not in `kinds` is None (the stream's
    features take most of a fit's time)."""
    rng = np.random.default_rng(seed)
    out = []
    for samples, spans in utts:
        x, sp = pad_utterance(samples, spans)
        x = (x * rng.uniform(*GAINS)).astype(np.float32)
        fa = features.a2x_features(x) if "a2x" in kinds else None
        fm = features.motion_features(x) if "mo" in kinds else None
        out.append((fa, fm, visemes.targets(sp, -(-x.size // features.FRAME))))
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


def member(prefix, k):
    """The weights' prefix of a readout's k-th stack."""
    return prefix if k == 0 else "%s%d" % (prefix, k)


def members(w, prefix):
    """The prefixes of the stacks of readout `prefix` that `w` holds."""
    out = []
    while layer_count(w, member(prefix, len(out))):
        out.append(member(prefix, len(out)))
    return out


def ensemble(z, w, prefix):
    """The mean of the readout's stacks: [frames, d] -> [frames, 4]."""
    stacks = members(w, prefix)
    return sum(readout(z, w, m) for m in stacks) / len(stacks)


def readout(z, w, prefix):
    """One readout stack in numpy: [frames, d] -> [frames, 4]; the first
    layer spans the taps, the others are per frame, ReLU between."""
    n = layer_count(w, prefix)
    x = z
    for k in range(n):
        cw, b = w["%s_w%d" % (prefix, k)], w["%s_b%d" % (prefix, k)]
        x = stack(x) @ cw.transpose(2, 1, 0).reshape(-1, cw.shape[0]) + b if k == 0 else x @ cw[:, :, 0].T + b
        if k + 1 < n:
            x = np.maximum(x, 0.0)
    return x


def _speech(data):
    return np.concatenate([d[2][:, 0] for d in data]) > 0.05


def standardise_a2x(data):
    """The stream readout's fixed parts from the fitting corpus (the band
    projection, its standardisation and the speech gate), with each
    utterance's standardised bands and gate."""
    fa = np.concatenate([d[0] for d in data]).astype(np.float64)
    silent = np.zeros(features.FRAME * 40, np.float32)
    w = {}
    scale, offset, matrix, bias = band_inverse(fa)
    w.update(a2x_scale=scale.astype(np.float32), a2x_offset=offset.astype(np.float32),
             a2x_inv=matrix.astype(np.float32), a2x_inv_b=bias.astype(np.float32))
    bands = a2x_bands(w, fa)
    w.update(a2x_mean=bands.mean(axis=0).astype(np.float32), a2x_std=(bands.std(axis=0) + 1e-6).astype(np.float32),
             a2x_gate=np.array(_gate_bounds(float(features.a2x_features(silent)[:, 0].max()), fa[_speech(data), 0]),
                               np.float32))
    za = [(a2x_bands(w, d[0]) - w["a2x_mean"]) / w["a2x_std"] for d in data]
    ga = [_gate(d[0][:, :1], w["a2x_gate"]) for d in data]
    return w, za, ga


def standardise_motion(data):
    """The motion readout's fixed parts (log-mel floor, standardisation,
    speech gate) with each utterance's standardised log-mel and gate."""
    fm = np.concatenate([d[1] for d in data]).astype(np.float64)
    speech = _speech(data)
    silent = np.zeros(features.FRAME * 40, np.float32)
    # The log-mel of silence lies far below speech's (the log of its
    # floor): standardised over every frame, speech's own variation would
    # shrink to a third of a unit, under the training noise. Each band is
    # floored near its quietest speech and standardised over speech.
    floor = np.percentile(fm[speech], MO_FLOOR_PERCENTILE, axis=0)
    fs = np.maximum(fm[speech], floor)
    mu, sd = fs.mean(axis=0), fs.std(axis=0) + 1e-6
    loud = fm.mean(axis=1)
    w = dict(mo_floor=floor.astype(np.float32), mo_mean=mu.astype(np.float32), mo_std=sd.astype(np.float32),
             mo_gate=np.array(_gate_bounds(float(features.motion_features(silent).mean(axis=1).max()), loud[speech]),
                              np.float32))
    zm = [motion_inputs(w, d[1]) for d in data]
    gm = [motion_gate(w, d[1]) for d in data]
    return w, zm, gm


def standardise(data):
    """standardise_a2x and standardise_motion of one corpus: (weights,
    (a2x inputs, gates), (motion inputs, gates))."""
    w, za, ga = standardise_a2x(data)
    wm, zm, gm = standardise_motion(data)
    w.update(wm)
    return w, (za, ga), (zm, gm)


def labels(data):
    return [np.column_stack([d[2], closure_labels(d[2])]) for d in data]


def smooth(x):
    """x [frames] smoothed by SMOOTH, zero beyond the utterance (where the
    gate is)."""
    return np.convolve(np.pad(x, 1), SMOOTH[::-1], "valid")


def shape_params(p, kind):
    """Gated readouts [frames, 4] of an utterance -> (opening, width,
    labiodental) as model `kind` ("a2x", "mo") bounds them: the closure
    readout takes CLOSURE_PULL of the opening away, the rest is smoothed
    over three frames and SETTLE more taken away."""
    closed = np.clip(p[:, 3], 0.0, 1.0)
    o = np.maximum(p[:, 0] - CLOSURE_PULL[kind] * closed, 0.0)
    o = np.maximum(smooth(o) - SETTLE[kind] * closed, 0.0)
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
    return shape_params(ensemble(z, w, "a2x") * _gate(fa[:, :1], w["a2x_gate"]), "a2x")


def motion_inputs(w, fm):
    """Standardised log-mel [frames, 80], each band floored first."""
    return (np.maximum(fm, w["mo_floor"]) - w["mo_mean"]) / w["mo_std"]


def centre(z, gate):
    """z [frames, d] less its gate-weighted mean. The frames the gate shuts
    keep their level relative to it: the silent hold of a stop inside
    speech is what tells the readout to close the lips."""
    return z - (z * gate).sum(axis=0) / max(float(gate.sum()), CENTRE_EPS)


def centre_chunks(z, gate):
    """centre over each of the motion generator's chunks: frame f is read
    in the chunk that starts at the last multiple of MO_STRIDE at or before
    it, which spans MO_CHUNK frames."""
    out = np.empty_like(z)
    for lo in range(0, len(z), MO_STRIDE):
        hi = min(lo + MO_CHUNK, len(z))
        out[lo:lo + MO_STRIDE] = centre(z[lo:hi], gate[lo:hi])[:MO_STRIDE]
    return out


def motion_gate(w, fm):
    return _gate(fm.mean(axis=1, keepdims=True), w["mo_gate"])


def predict_motion(w, fm):
    gate = motion_gate(w, fm)
    z = centre_chunks(motion_inputs(w, fm), gate)
    return shape_params(ensemble(z, w, "mo") * gate, "mo")


def silence_floor(mean_of_silence):
    """The level below which the training treats a frame as silence."""
    return float(mean_of_silence) + 0.5


def train(stream_data, motion_data, epochs, log=print):
    """All weights of both models, each readout the mean of convolution
    stacks trained with torch, one per seed of SEEDS: the stream's on `stream_data`, the motion's on
    `motion_data` (utterances as dataset gives them)."""
    from . import net
    w, za, ga = standardise_a2x(stream_data)
    silent = np.zeros(features.FRAME * 40, np.float32)
    log("training the a2x readout")
    aug = (w["a2x_mean"].astype(np.float64), w["a2x_std"].astype(np.float64),
           silence_floor(a2x_bands(w, features.a2x_features(silent)).mean()), A2X_REACH)
    for i, seed in enumerate(SEEDS):
        for k, (cw, b) in enumerate(net.train(za, ga, labels(stream_data), seed, epochs, TRAINING_SHAPE, aug,
                                              log=log)):
            w["%s_w%d" % (member("a2x", i), k)], w["%s_b%d" % (member("a2x", i), k)] = cw, b
    wm, zm, gm = standardise_motion(motion_data)
    w.update(wm)
    log("training the motion readout")
    # Floored bands: silence reads as the floor, which the augmentation keeps.
    aug = (w["mo_mean"].astype(np.float64), w["mo_std"].astype(np.float64),
           silence_floor(w["mo_floor"].mean()), MO_REACH)
    for i, seed in enumerate(SEEDS):
        for k, (cw, b) in enumerate(net.train(zm, gm, labels(motion_data), seed, epochs, TRAINING_SHAPE, aug,
                                              centre_chunks, log)):
            w["%s_w%d" % (member("mo", i), k)], w["%s_b%d" % (member("mo", i), k)] = cw, b
    return w


def _cached(cache, name, key, compute, log):
    """compute(), kept in `cache` (a directory, or None for no cache) under
    a name that carries a digest of `key` and of the sources the features
    come from, so that a changed corpus or feature code is recomputed."""
    if cache is None:
        return compute()
    digest = hashlib.sha256(repr(key).encode())
    for module in (corpus, features, visemes):
        with open(module.__file__, "rb") as fh:
            digest.update(fh.read())
    path = os.path.join(cache, "%s-%s.pkl" % (name, digest.hexdigest()[:16]))
    if os.path.exists(path):
        log("reading %s" % path)
        with open(path, "rb") as fh:
            return pickle.load(fh)
    data = compute()
    os.makedirs(cache, exist_ok=True)
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "wb") as fh:
        pickle.dump(data, fh, protocol=pickle.HIGHEST_PROTOCOL)
    os.replace(tmp, path)
    return data


def build_weights(renditions=8, stream_renditions=4, flite_renditions=4, epochs=40, cache=None, log=print):
    """Fits on the fitting sentences spoken by espeak-ng and by flite's CMU
    Arctic voices: the stream's readout on espeak-ng's STREAM_VOICES and
    STREAM_VARIANTS and on flite, `stream_renditions` times each; the
    motion's on all of espeak-ng's voices and variants `renditions` times
    and on flite `flite_renditions` times. More renditions carry over
    better to a synthesizer the readouts did not hear: fitted on espeak-ng
    alone, the motion's readout reached r 0.56 on flite's awb and slt
    voices with two renditions, 0.63 with eight.
    `cache`: a directory that keeps the corpus features between fits."""
    texts, _ = corpus.sentences()

    def stream():
        log("speaking %d sentences x %d renditions for the stream" % (len(texts), stream_renditions))
        utts = corpus.espeak_corpus(texts, stream_renditions, voices=corpus.STREAM_VOICES,
                                    variants=corpus.STREAM_VARIANTS) + corpus.flite_corpus(texts, stream_renditions)
        log("computing the stream's features of %.0f s of speech" % (sum(u[0].size for u in utts) / visemes.SR))
        return dataset(utts, kinds=("a2x",))

    def motion():
        log("speaking %d sentences x %d + %d renditions for the motion" % (len(texts), renditions, flite_renditions))
        utts = corpus.espeak_corpus(texts, renditions) + corpus.flite_corpus(texts, flite_renditions)
        log("computing the motion's features of %.0f s of speech" % (sum(u[0].size for u in utts) / visemes.SR))
        return dataset(utts, kinds=("mo",))

    stream_data = _cached(cache, "stream", (texts, stream_renditions, corpus.STREAM_VOICES, corpus.STREAM_VARIANTS,
                                            corpus.FLITE_VOICES), stream, log)
    motion_data = _cached(cache, "motion", (texts, renditions, flite_renditions, corpus.VOICES, corpus.VARIANTS,
                                            corpus.FLITE_VOICES), motion, log)
    return train(stream_data, motion_data, epochs, log)
