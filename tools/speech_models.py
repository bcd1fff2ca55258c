#!/usr/bin/env python3
"""Writes a family of small synthetic speech encoders.

    speech_models.py --out DIR [--dynamic-lt NAME]

Three models share one front end, so that the short-window pair reproduces
the full encoder's features up to the different normalisation windows and
half-precision rounding:

- column features every 80 samples: a Hann-windowed filter bank of 32 bands
  (160 taps, pairs of cosine and sine filters), the band energies smoothed
  over 7 columns (about 45 ms) and their logarithms, mixed into 640
  channels. Channel 0 is the loudness (mean log energy), channels 1-32 the
  spectral shape, the rest fixed mixtures of both.
- the head maps 640 channels of one video frame to 768 values through a
  matrix and tanh, and spreads them over 12 layers (a scale and an offset
  per layer and channel). Feature channel 0 of every layer is the loudness
  detector tanh(K (loudness - C)), which the avatar models read to open the
  mouth; silence (a zero window) gives the same features for every frame.

Files: "audio_encoder_fp32.onnx" (input_values [1,128000] -> audio_emb
[12,200,768]; the 1599 first columns resampled at 200 frames with the
positions p * 1598 / 199), "audio_encoder_fp16_window_trunk.onnx"
(input_values [1,32000] -> trunk_out, half [1,640,400]) and
"audio_encoder_fp16_window_head.onnx" (x [8,640] -> emb [8,9216]), and
full_only/ with the full encoder alone. --dynamic-lt NAME also writes a
trunk whose output length is left open.
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
SR = 16000
BANDS = 32
TAPS = 160
HOP = 80
SMOOTH = 7
EPS = 1e-4
CH = 640
EMB = 768
LAYERS = 12
FULL = 128000
WIN = 32000
FRAMES = 200
LOUD_K = 0.5     # loudness detector slope (per nat of mean log energy)
LOUD_C = -5.0    # and its midpoint: silence sits near log(EPS) = -9.2

FULL_NAME = "audio_encoder_fp32.onnx"
TRUNK_NAME = "audio_encoder_fp16_window_trunk.onnx"
HEAD_NAME = "audio_encoder_fp16_window_head.onnx"


def weights(seed=11):
    """All constants of the family, deterministic."""
    rng = np.random.default_rng(seed)
    t = np.arange(TAPS)
    hann = 0.5 - 0.5 * np.cos(2 * np.pi * (t + 0.5) / TAPS)
    freqs = np.geomspace(90.0, 7000.0, BANDS)
    bank = np.zeros((2 * BANDS, 1, TAPS), np.float32)
    for k, f in enumerate(freqs):
        arg = 2 * np.pi * f * t / SR
        bank[2 * k, 0] = 2 * hann * np.cos(arg) / hann.sum()
        bank[2 * k + 1, 0] = 2 * hann * np.sin(arg) / hann.sum()
    pair = np.zeros((BANDS, 2 * BANDS, 1), np.float32)
    for k in range(BANDS):
        pair[k, 2 * k, 0] = pair[k, 2 * k + 1, 0] = 1.0
    mix = np.zeros((CH, BANDS), np.float32)
    mix[0, :] = 1.0 / BANDS                                    # loudness
    mix[1:BANDS + 1] = 0.5 * (np.eye(BANDS) - 1.0 / BANDS)     # spectral shape
    mix[BANDS + 1:] = rng.standard_normal((CH - BANDS - 1, BANDS)) * (0.3 / np.sqrt(BANDS))
    mix_b = np.zeros(CH, np.float32)
    mix_b[BANDS + 1:] = rng.standard_normal(CH - BANDS - 1) * 0.5
    head = rng.standard_normal((CH, EMB)).astype(np.float32) * (0.6 / np.sqrt(CH))
    head[0, :] *= 0.2                      # loudness alone must not saturate the rest
    head[:, 0] = 0.0
    head[0, 0] = LOUD_K
    head_b = (rng.standard_normal(EMB) * 0.3).astype(np.float32)
    head_b[0] = -LOUD_K * LOUD_C
    scale = rng.uniform(0.5, 1.5, (LAYERS, EMB)).astype(np.float32)
    shift = (rng.standard_normal((LAYERS, EMB)) * 0.1).astype(np.float32)
    scale[:, 0], shift[:, 0] = 1.0, 0.0
    return dict(bank=bank, pair=pair, mix=mix[:, :, None], mix_b=mix_b, head=head, head_b=head_b,
                scale=scale, shift=shift)


class _Graph:
    def __init__(self, w):
        self.nodes, self.inits, self.w, self.count = [], [], w, 0

    def const(self, name, arr):
        self.inits.append(numpy_helper.from_array(np.asarray(arr), name))
        return name

    def node(self, op, inputs, out=None, **attrs):
        self.count += 1
        out = out or "%s_%d" % (op.lower(), self.count)
        self.nodes.append(helper.make_node(op, inputs, [out], name="/%s_%d" % (op, self.count), **attrs))
        return out

    def front(self, samples, n):
        """Normalised samples [1, n] -> column features [1, 640, n / 80]."""
        w = self.w
        self.const("shape_1_1_n", np.array([1, 1, n], np.int64))
        x = self.node("Reshape", [samples, "shape_1_1_n"])
        c = self.node("Conv", [x, self.const("bank", w["bank"])], strides=[HOP], pads=[HOP // 2, HOP // 2])
        e = self.node("Conv", [self.node("Mul", [c, c]), self.const("pair", w["pair"])])
        s = self.node("AveragePool", [e], kernel_shape=[SMOOTH], strides=[1],
                      pads=[SMOOTH // 2, SMOOTH // 2], count_include_pad=0)
        lg = self.node("Log", [self.node("Add", [s, self.const("eps", np.array(EPS, np.float32))])])
        return self.node("Conv", [lg, self.const("mix", w["mix"]), self.const("mix_b", w["mix_b"])])

    def head(self, x):
        """[F, 640] -> [F, 12, 768]."""
        w = self.w
        y = self.node("Add", [self.node("MatMul", [x, self.const("head", w["head"])]),
                              self.const("head_b", w["head_b"])])
        t = self.node("Unsqueeze", [self.node("Tanh", [y]), self.const("axis1", np.array([1], np.int64))])
        return self.node("Add", [self.node("Mul", [t, self.const("scale", w["scale"])]),
                                 self.const("shift", w["shift"])])

    def half_round(self, x):
        return self.node("Cast", [self.node("Cast", [x], to=TensorProto.FLOAT16)], to=TensorProto.FLOAT)


def _model(g, inputs, outputs, name):
    graph = helper.make_graph(g.nodes, name, inputs, outputs, initializer=g.inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="speech_models")
    m.ir_version = 8
    onnx.checker.check_model(m)
    return m


def frame_positions():
    """(lower column, upper column, fraction) of each of the 200 frames of an
    8-second window on its 1600 columns."""
    r = np.arange(FRAMES, dtype=np.float64) * 1598.0 / 199.0
    s = np.floor(r).astype(np.int64)
    return s, np.minimum(s + 1, 1598), (r - s).astype(np.float32)


def full_encoder(w):
    g = _Graph(w)
    cols = g.half_round(g.front("input_values", FULL))                  # [1,640,1600]
    s0, s1, frac = frame_positions()
    a = g.node("Gather", [cols, g.const("col_lo", s0)], axis=2)         # [1,640,200]
    b = g.node("Gather", [cols, g.const("col_hi", s1)], axis=2)
    f = g.const("col_frac", frac)
    one = g.const("one", np.array(1.0, np.float32))
    lerp = g.node("Add", [g.node("Mul", [a, g.node("Sub", [one, f])]), g.node("Mul", [b, f])])
    x = g.node("Transpose", [g.node("Squeeze", [g.half_round(lerp), g.const("axis0", np.array([0], np.int64))])],
               perm=[1, 0])                                             # [200,640]
    g.node("Transpose", [g.head(x)], "audio_emb", perm=[1, 0, 2])       # [12,200,768]
    f32 = TensorProto.FLOAT
    return _model(g, [helper.make_tensor_value_info("input_values", f32, [1, FULL])],
                  [helper.make_tensor_value_info("audio_emb", f32, [LAYERS, FRAMES, EMB])], "w2v_full")


def trunk(w, dynamic=False):
    """With `dynamic`, the input length is open too, so that no runtime can
    infer the output length before the first run."""
    g = _Graph(w)
    g.node("Cast", [g.front("input_values", -1 if dynamic else WIN)], "trunk_out", to=TensorProto.FLOAT16)
    lt = "lt" if dynamic else WIN // HOP
    n = "samples" if dynamic else WIN
    return _model(g, [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, n])],
                  [helper.make_tensor_value_info("trunk_out", TensorProto.FLOAT16, [1, CH, lt])], "w2v_trunk")


def head(w):
    g = _Graph(w)
    g.const("shape_emb", np.array([-1, LAYERS * EMB], np.int64))
    g.node("Reshape", [g.head("x"), "shape_emb"], "emb")
    f32 = TensorProto.FLOAT
    return _model(g, [helper.make_tensor_value_info("x", f32, [8, CH])],
                  [helper.make_tensor_value_info("emb", f32, [8, LAYERS * EMB])], "w2v_head")


def _save(model, path):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "wb") as fh:
        fh.write(model.SerializeToString())
    os.replace(tmp, path)


def write(out, dynamic_lt=None):
    os.makedirs(os.path.join(out, "full_only"), exist_ok=True)
    w = weights()
    paths = [os.path.join(out, FULL_NAME), os.path.join(out, TRUNK_NAME), os.path.join(out, HEAD_NAME)]
    full = full_encoder(w)
    _save(full, paths[0])
    _save(trunk(w), paths[1])
    _save(head(w), paths[2])
    _save(full, os.path.join(out, "full_only", FULL_NAME))
    if dynamic_lt:
        paths.append(os.path.join(out, dynamic_lt))
        _save(trunk(w, dynamic=True), paths[-1])
    return paths


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True, help="directory to write the models into")
    ap.add_argument("--dynamic-lt", metavar="NAME", help="also write a trunk with an open output length")
    a = ap.parse_args(argv)
    try:
        for p in write(a.out, a.dynamic_lt):
            print("wrote %s (%d B)" % (p, os.path.getsize(p)))
    except (OSError, ValueError) as e:
        raise SystemExit("speech_models.py: %s" % e)


if __name__ == "__main__":
    main()
