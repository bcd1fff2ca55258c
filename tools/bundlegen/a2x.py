"""The avatar's audio-to-expression models and tables.

The stream encoder reads the speech features of tools/speech_models.py,
whose channel 0 (in every layer) is a loudness detector in [-1, 1]. It keeps
that channel in context channel 0 and smooths it over its attention band;
the decoder's hidden unit 0 follows it with a little memory, and its
positive part opens the lips: the upper lip rows move up, the lower lip rows
down and the corners in, so a keypoint director opens the mouth with the
syllables and closes it in silence. Everything else is a small, fixed,
input-dependent motion. The demo preset writes the phoneme-fitted models
of tools/lipfit instead (FITTED_CONFIG), with the same files and tensors.

Files: "a2x_meta.json", "a2x_pos.f32" (P rows of h), "a2x_norm.f32" (63
means, 63 deviations), "a2x_enc_stream.onnx" (feat [1,n,12,768],
pos_window [1,n,h], attn [n,n] -> ctx [1,n,h] and, with width, wn [1,n])
and "a2x_dec.onnx" (ctx_t [1,h], prev [1,63], h [1,1,h] -> m [1,63],
h_out [1,1,h]).
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
COEFFS = 63
FEAT_LAYERS, FEAT_CH = 12, 768
META, POS, NORM, ENC, DEC = "a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "a2x_enc_stream.onnx", "a2x_dec.onnx"
FILES = (META, POS, NORM, ENC, DEC)

# Lip keypoint rows (as in the drive loop's own lip motion): (row, axis,
# direction of opening). Rows 14 and 19 are the upper lip, 17 and 20 the
# lower lip, 6 and 12 the corners.
LIP_MOTION = ((14, 1, -0.5), (19, 1, -0.5), (17, 1, 1.0), (20, 1, 1.0), (6, 0, 0.25), (12, 0, -0.25))
LIP_DEVIATION = 0.06    # keypoint units (the crop spans 2) at full opening
OTHER_DEVIATION = 0.004


class Config:
    def __init__(self, h=64, window=1, left=4, layers=2, width=1, silence_prime=0, rows=160, seed=21,
                 fitted=False):
        self.h, self.window, self.left, self.layers = h, window, left, layers
        self.width, self.silence_prime, self.rows, self.seed = width, silence_prime, rows, seed
        # The phoneme-fitted readouts of tools/lipfit instead of the loudness models.
        self.fitted = fitted


class _Graph:
    def __init__(self):
        self.nodes, self.inits, self.count = [], [], 0

    def const(self, arr, name=None):
        self.count += 1
        name = name or "c_%d" % self.count
        self.inits.append(numpy_helper.from_array(np.asarray(arr), name))
        return name

    def node(self, op, inputs, out=None, **attrs):
        self.count += 1
        out = out or "%s_%d" % (op.lower(), self.count)
        self.nodes.append(helper.make_node(op, inputs, [out], name="/%s_%d" % (op, self.count), **attrs))
        return out

    def matmul(self, x, w):
        return self.node("MatMul", [x, self.const(np.asarray(w, np.float32))])


def _model(g, inputs, outputs, name):
    graph = helper.make_graph(g.nodes, name, inputs, outputs, initializer=g.inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="bundlegen.a2x")
    m.ir_version = 8
    onnx.checker.check_model(m)
    return m


def encoder(cfg):
    """One attention block per declared layer, each attending within the
    band the "attn" input allows; residual sums keep the loudness channel."""
    h = cfg.h
    rng = np.random.default_rng(cfg.seed)
    g = _Graph()
    fm = g.node("ReduceMean", ["feat"], axes=[2], keepdims=0)                  # [1,n,768]
    w_in = rng.standard_normal((FEAT_CH, h)).astype(np.float32) * (1.0 / np.sqrt(FEAT_CH))
    w_in[:, 0] = 0.0
    w_in[0, :] = 0.0
    w_in[0, 0] = 1.0
    u = g.node("Add", [g.matmul(fm, w_in), "pos_window"])
    scale = g.const(np.array(1.0 / np.sqrt(h), np.float32))
    for _ in range(cfg.layers):
        wq = rng.standard_normal((h, h)) * (1.5 / np.sqrt(h))
        wk = rng.standard_normal((h, h)) * (1.5 / np.sqrt(h))
        wv = rng.standard_normal((h, h)) * (0.4 / np.sqrt(h))
        wv[:, 0] = 0.0
        wv[0, :] = 0.0
        wv[0, 0] = 0.5
        q, k, v = g.matmul(u, wq), g.matmul(u, wk), g.matmul(u, wv)
        sc = g.node("Mul", [g.node("MatMul", [q, g.node("Transpose", [k], perm=[0, 2, 1])]), scale])
        p = g.node("Softmax", [g.node("Add", [sc, "attn"])], axis=-1)
        u = g.node("Add", [u, g.node("MatMul", [p, v])])
    f32 = TensorProto.FLOAT
    g.node("Identity", [u], "ctx")
    outputs = [helper.make_tensor_value_info("ctx", f32, [1, "n", h])]
    if cfg.width:
        w_wn = rng.standard_normal((h, 1)).astype(np.float32) * (1.0 / np.sqrt(h))
        w_wn[0, 0] = 1.0
        shape = g.const(np.array([1, -1], np.int64))
        g.node("Reshape", [g.node("Sigmoid", [g.matmul(u, w_wn)]), shape], "wn")
        outputs.append(helper.make_tensor_value_info("wn", f32, [1, "n"]))
    inputs = [helper.make_tensor_value_info("feat", f32, [1, "n", FEAT_LAYERS, FEAT_CH]),
              helper.make_tensor_value_info("pos_window", f32, [1, "n", h]),
              helper.make_tensor_value_info("attn", f32, ["n", "n"])]
    return _model(g, inputs, outputs, "a2x_enc_stream")


def _lip_direction():
    d = np.zeros(COEFFS, np.float32)
    for row, axis, sign in LIP_MOTION:
        d[row * 3 + axis] = sign
    return d


def decoder(cfg):
    """A tanh recurrent cell; the opening is the positive part of hidden
    unit 0, which follows context channel 0."""
    h = cfg.h
    rng = np.random.default_rng(cfg.seed + 1)
    g = _Graph()
    lips = _lip_direction() != 0
    w_c = rng.standard_normal((h, h)).astype(np.float32) * (0.5 / np.sqrt(h))
    w_h = rng.standard_normal((h, h)).astype(np.float32) * (0.4 / np.sqrt(h))
    w_p = rng.standard_normal((COEFFS, h)).astype(np.float32) * (0.2 / np.sqrt(COEFFS))
    w_c[:, 0] = 0.0
    w_c[0, 0] = 0.8
    w_h[:, 0] = 0.0
    w_h[0, 0] = 0.3
    w_p[:, 0] = 0.0
    bias = np.zeros(h, np.float32)
    bias[0] = 0.3
    hr = g.node("Reshape", ["h", g.const(np.array([1, h], np.int64))])
    z = g.node("Add", [g.node("Add", [g.matmul("ctx_t", w_c), g.matmul(hr, w_h)]),
                       g.node("Add", [g.matmul("prev", w_p), g.const(bias)])])
    hn = g.node("Tanh", [z])
    g.node("Reshape", [hn, g.const(np.array([1, 1, h], np.int64))], "h_out")
    first = g.node("Slice", [hn, g.const(np.array([0], np.int64)), g.const(np.array([1], np.int64)),
                             g.const(np.array([1], np.int64))])
    opening = g.node("Relu", [g.node("Add", [first, g.const(np.array(0.1, np.float32))])])   # [1,1]
    w_r = rng.standard_normal((h, COEFFS)).astype(np.float32) * (1.0 / np.sqrt(h))
    w_r[0, :] = 0.0
    w_r[:, lips] = 0.0
    rest = g.node("Tanh", [g.matmul(hn, w_r)])
    g.node("Add", [g.node("Mul", [opening, g.const(_lip_direction())]), rest], "m")
    f32 = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("ctx_t", f32, [1, h]),
              helper.make_tensor_value_info("prev", f32, [1, COEFFS]),
              helper.make_tensor_value_info("h", f32, [1, 1, h])]
    outputs = [helper.make_tensor_value_info("m", f32, [1, COEFFS]),
               helper.make_tensor_value_info("h_out", f32, [1, 1, h])]
    return _model(g, inputs, outputs, "a2x_dec")


def positions(cfg):
    """P x h sinusoids; channel 0 stays zero so that position never reads as
    loudness."""
    i = np.arange(cfg.rows, dtype=np.float64)[:, None]
    k = np.arange(cfg.h, dtype=np.float64)[None, :]
    table = 0.3 * np.sin(i / np.power(50.0, k / cfg.h) + k)
    table[:, 0] = 0.0
    return table.astype("<f4")


def norm():
    lips = _lip_direction() != 0
    dev = np.where(lips, LIP_DEVIATION, OTHER_DEVIATION).astype(np.float32)
    return np.concatenate([np.zeros(COEFFS, np.float32), dev]).astype("<f4")


def meta(cfg):
    return {"h": cfg.h, "window": cfg.window, "left": cfg.left, "layers": cfg.layers,
            "width": cfg.width, "silence_prime": cfg.silence_prime, "pos_rows": cfg.rows}


def _fitted_blobs(cfg, rest_kp):
    from lipfit import fit, models, visemes, weights
    if cfg.width or cfg.window * cfg.layers < fit.READ_FUTURE or cfg.left * cfg.layers < fit.READ_PAST \
            or cfg.h < models.CTX:
        raise ValueError("the fitted a2x models need width 0, a look-ahead of %d frames, a past of %d and "
                         "at least %d context channels (h is %d)" % (fit.READ_FUTURE, fit.READ_PAST, models.CTX, cfg.h))
    w = weights.load()
    gap = 0.0 if rest_kp is None else visemes.rest_gap(rest_kp)
    return {NORM: lambda: models.a2x_norm().tobytes(),
            ENC: lambda: models.a2x_encoder(w, cfg.h).SerializeToString(),
            DEC: lambda: models.a2x_decoder(cfg.h, gap).SerializeToString()}


def write(directory, cfg, omit=(), rest_kp=None):
    """Writes the a2x files into `directory`; returns their paths. The
    fitted models close the lip gap of the driving keypoints `rest_kp`
    ([frames, 21, 3]) in speech."""
    blobs = {
        META: lambda: (json.dumps(meta(cfg), indent=1) + "\n").encode(),
        POS: lambda: positions(cfg).tobytes(),
        NORM: lambda: norm().tobytes(),
        ENC: lambda: encoder(cfg).SerializeToString(),
        DEC: lambda: decoder(cfg).SerializeToString(),
    }
    if cfg.fitted:
        blobs.update(_fitted_blobs(cfg, rest_kp))
    paths = []
    for name, make in blobs.items():
        if name in omit:
            continue
        path = os.path.join(directory, name)
        tmp = "%s.%d.tmp" % (path, os.getpid())
        with open(tmp, "wb") as fh:
            fh.write(make())
        os.replace(tmp, path)
        paths.append(path)
    return paths


# The presets' loudness models: the unit-test bundle has the width output,
# the demo has none and primes its decoder with a little silence.
PRESET_CONFIGS = {"tiny": Config(width=1), "demo": Config(width=0, silence_prime=8)}
# The fitted models read 7 frames ahead and 9 back: a look-ahead (8) still
# inside the encoder's right context of 20 frames, so it adds no latency.
FITTED_CONFIG = Config(width=0, window=4, left=5, silence_prime=8, fitted=True)
