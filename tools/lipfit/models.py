"""The fitted readouts as the bundle's ONNX models, keeping the engine's
tensor contracts.

a2x stream encoder: feat [1,n,12,768], pos_window [1,n,h], attn [n,n] ->
ctx [1,n,h]. The layer mean is turned back into the encoder's 32 log band
energies (fit.band_inverse), standardised, read by the fitted convolution
stack over PAST frames before and FUTURE after and gated by the loudness
channel; fit.shape_params turns the readouts into the lip shape, smoothed
over a frame either side (the meta's look-ahead covers fit.READ_FUTURE,
its past context fit.READ_PAST). Context channels 0-2 carry (opening,
width, labiodental), channel 3 the gated closure readout (already
applied), channel 4 the speech span (fit.speech_span of the gate), the
rest are zero. The readout is the mean of plain convolution stacks, so the
encoder does not need the band mask or the positions.
a2x decoder: ctx_t [1,h], prev [1,63], h [1,1,h] -> m [1,63] (with unit
norms, the keypoint offsets themselves), h_out [1,1,h] (h unchanged): no
recurrence, the encoder already smooths over time and shapes the lips.
Within the speech span the decoder also closes the driving frame's own lip
gap, so that a closed viseme brings the lips into contact whatever the idle
face does with them.
hubert_student: log-mel [1,80,21] -> [1,20,1024], output frame j the mean of
mel frames j and j+1 in channels 0-79, zeros after.
lmdm: kp_cond [1,265], aud_cond [1,80,1103] -> [1,80,265], the conditioning
vector plus the gated readout (the fitted convolution stack over the
floored, standardised log-mel less its mean over the chunk's speech) as lip offsets on the expression values, with
the same closing of the driving frame's lip gap; each chunk's frame 0 keeps
the conditioning vector, the reference the engine measures lip motion from.
"""
import numpy as np
from onnx import TensorProto, helper

from bundlegen import a2x as a2x_gen

from . import fit, visemes

F32 = TensorProto.FLOAT
CTX = fit.OUTPUTS + 1     # context channels used: the gated readouts, then the gate itself
N_MELS, FEAT, VECTOR, POSE_VALUES = 80, 1024, 265, 202


class _Graph(a2x_gen._Graph):
    def i64(self, *v):
        return self.const(np.array(v, np.int64))

    def f32(self, v):
        return self.const(np.asarray(v, np.float32))

    def model(self, name, inputs, outputs):
        return a2x_gen._model(self, inputs, outputs, name)

    def gate(self, level, bounds):
        lo, hi = float(bounds[0]), float(bounds[1])
        x = self.node("Div", [self.node("Sub", [level, self.f32(lo)]), self.f32(hi - lo)])
        return self.node("Clip", [x, self.f32(0.0), self.f32(1.0)])

    def speech_span(self, gate, axis):
        """fit.speech_span of a gate [1, n, 1] along `axis` 1."""
        x = self.node("Transpose", [gate], perm=[0, 2, 1])                          # [1,1,n]
        pooled = self.node("AveragePool", [x], kernel_shape=[fit.TAPS], strides=[1],
                           pads=[fit.PAST, fit.FUTURE], count_include_pad=1)
        span = self.node("Clip", [self.node("Mul", [pooled, self.f32(fit.SPAN_FILL)]), self.f32(0.0), self.f32(1.0)])
        return self.node("Transpose", [span], perm=[0, 2, 1])

    def bands(self, x, w):
        """fit.a2x_bands of layer-mean features x [1, n, 768], with atanh
        written as half the log of (1 + u) / (1 - u)."""
        u = self.node("Clip", [self.node("Div", [self.node("Sub", [x, self.const(w["a2x_offset"])]),
                                                 self.const(w["a2x_scale"])]), self.f32(-fit.CLIP), self.f32(fit.CLIP)])
        ratio = self.node("Div", [self.node("Add", [self.f32(1.0), u]), self.node("Sub", [self.f32(1.0), u])])
        t = self.node("Mul", [self.node("Log", [ratio]), self.f32(0.5)])
        return self.node("Add", [self.node("MatMul", [t, self.const(w["a2x_inv"])]), self.const(w["a2x_inv_b"])])

    def centre(self, z, gate):
        """fit.centre of z [1, frames, d] with gate [1, frames, 1] over the
        frames of the chunk."""
        total = self.node("Max", [self.node("ReduceSum", [gate, self.i64(1)], keepdims=1), self.f32(fit.CENTRE_EPS)])
        mean = self.node("Div", [self.node("ReduceSum", [self.node("Mul", [z, gate]), self.i64(1)], keepdims=1), total])
        return self.node("Sub", [z, mean])

    def ensemble(self, x, w, prefix):
        """fit.ensemble over x [1, d, n] -> [1, 4, n]."""
        stacks = fit.members(w, prefix)
        total = self.node("Sum", [self.readout(x, w, m) for m in stacks])
        return self.node("Mul", [total, self.f32(1.0 / len(stacks))])

    def readout(self, x, w, prefix):
        """fit.readout over x [1, d, n] -> [1, 4, n]: the first convolution
        spans the taps, ReLU between layers."""
        n = fit.layer_count(w, prefix)
        for k in range(n):
            pads = [fit.PAST, fit.FUTURE] if k == 0 else [0, 0]
            x = self.node("Conv", [x, self.const(w["%s_w%d" % (prefix, k)]), self.const(w["%s_b%d" % (prefix, k)])],
                          pads=pads)
            if k + 1 < n:
                x = self.node("Relu", [x])
        return x

    def shape_params(self, p, kind, edge):
        """fit.shape_params of gated readouts p [1, n, 4] -> [1, n, 3]: the
        closure readout takes its share of the opening, which is smoothed
        over the frames and settled; width and contact in range. `edge`:
        frames beyond the first and last repeat them (a motion chunk,
        whose neighbours the engine cross-fades in) rather than being
        silence."""
        parts = [self.node("Slice", [p, self.i64(k), self.i64(k + 1), self.i64(2)]) for k in range(fit.OUTPUTS)]
        closed = self.node("Clip", [parts[3], self.f32(0.0), self.f32(1.0)])
        o = self.node("Relu", [self.node("Sub", [parts[0], self.node("Mul", [closed, self.f32(fit.CLOSURE_PULL[kind])])])])
        x = self.node("Transpose", [o], perm=[0, 2, 1])                                # [1,1,n]
        kernel = self.f32(np.array(fit.SMOOTH, np.float32)[None, None])
        if edge:
            x = self.node("Conv", [self.node("Pad", [x, self.i64(0, 0, 1, 0, 0, 1)], mode="edge"), kernel])
        else:
            x = self.node("Conv", [x, kernel], pads=[1, 1])
        x = self.node("Transpose", [x], perm=[0, 2, 1])
        o = self.node("Relu", [self.node("Sub", [x, self.node("Mul", [closed, self.f32(fit.SETTLE[kind])])])])
        w = self.node("Clip", [parts[1], self.f32(-1.2), self.f32(1.2)])
        f = self.node("Clip", [parts[2], self.f32(0.0), self.f32(1.0)])
        return self.node("Concat", [o, w, f], axis=2)


def a2x_encoder(w, h):
    g = _Graph()
    fm = g.node("ReduceMean", ["feat"], axes=[2], keepdims=0)                       # [1,n,768]
    z = g.node("Div", [g.node("Sub", [g.bands(fm, w), g.const(w["a2x_mean"])]), g.const(w["a2x_std"])])  # [1,n,32]
    # Frames the stream pads its window with (all-zero features) read as the
    # features' mean, as frames beyond the utterance do in the fitting: an
    # output then depends on real frames only, however the window was cut.
    real = g.node("Cast", [g.node("Greater", [g.node("ReduceMax", [g.node("Abs", ["feat"])], axes=[2, 3], keepdims=0),
                                               g.f32(0.0)])], to=TensorProto.FLOAT)       # [1,n]
    z = g.node("Mul", [z, g.node("Unsqueeze", [real, g.i64(2)])])
    zt = g.node("Transpose", [z], perm=[0, 2, 1])                                   # [1,32,n]
    p = g.ensemble(zt, w, "a2x")                                                   # [1,4,n]
    loud = g.node("Slice", [fm, g.i64(0), g.i64(1), g.i64(2)])                     # [1,n,1]
    # Padding is silence: its all-zero loudness channel sits above silence's
    # own, and would leave the lips a little off the idle face at the end
    # of an utterance.
    gate = g.node("Mul", [g.gate(loud, w["a2x_gate"]), g.node("Unsqueeze", [real, g.i64(2)])])
    gated = g.node("Mul", [g.node("Transpose", [p], perm=[0, 2, 1]), gate])
    closure = g.node("Slice", [gated, g.i64(3), g.i64(4), g.i64(2)])
    span = g.speech_span(gate, 1)
    both = g.node("Concat", [g.shape_params(gated, "a2x", False), closure, span], axis=2)  # [1,n,5]
    g.node("Pad", [both, g.i64(0, 0, 0, 0, 0, h - CTX)], "ctx")                     # [1,n,h]
    inputs = [helper.make_tensor_value_info("feat", F32, [1, "n", 12, 768]),
              helper.make_tensor_value_info("pos_window", F32, [1, "n", h]),
              helper.make_tensor_value_info("attn", F32, ["n", "n"])]
    return g.model("a2x_enc_stream", inputs, [helper.make_tensor_value_info("ctx", F32, [1, "n", h])])


def a2x_decoder(h, rest_gap=0.0):
    """`rest_gap`: the driving frames' own lip gap, which speech closes
    before the viseme opening parts the lips again."""
    g = _Graph()
    params = g.node("Slice", ["ctx_t", g.i64(0), g.i64(3), g.i64(1)])                         # [1,3]
    gate = g.node("Slice", ["ctx_t", g.i64(fit.OUTPUTS), g.i64(CTX), g.i64(1)])               # [1,1]
    g.node("Add", [g.node("MatMul", [params, g.const(visemes.directions())]),
                   g.node("Mul", [gate, g.const(visemes.rest_closing(rest_gap)[None])])], "m")
    g.node("Identity", ["h"], "h_out")
    inputs = [helper.make_tensor_value_info("ctx_t", F32, [1, h]),
              helper.make_tensor_value_info("prev", F32, [1, 63]),
              helper.make_tensor_value_info("h", F32, [1, 1, h])]
    outputs = [helper.make_tensor_value_info("m", F32, [1, 63]),
               helper.make_tensor_value_info("h_out", F32, [1, 1, h])]
    return g.model("a2x_dec", inputs, outputs)


def a2x_norm():
    return np.concatenate([np.zeros(63, np.float32), np.ones(63, np.float32)]).astype("<f4")


def student():
    g = _Graph()
    a = g.node("Slice", ["mel", g.i64(0), g.i64(20), g.i64(2)])
    b = g.node("Slice", ["mel", g.i64(1), g.i64(21), g.i64(2)])
    m = g.node("Transpose", [g.node("Mul", [g.node("Add", [a, b]), g.f32(0.5)])], perm=[0, 2, 1])  # [1,20,80]
    g.node("Pad", [m, g.i64(0, 0, 0, 0, 0, FEAT - N_MELS)], "feat")
    return g.model("hubert_student", [helper.make_tensor_value_info("mel", F32, [1, N_MELS, 21])],
                   [helper.make_tensor_value_info("feat", F32, [1, 20, FEAT])])


def first_frame_idle_mask(frames=80):
    """[1, frames, 1]: 0 for a chunk's frame 0, 1 for the rest."""
    m = np.ones((1, frames, 1), np.float32)
    m[0, 0, 0] = 0.0
    return m


def lmdm(w, lip_scale, rest_gap=0.0):
    """`lip_scale`: keypoint offset per unit of expression motion, which
    the engine's lip ratio and stitching apply downstream; `rest_gap` as
    for a2x_decoder."""
    g = _Graph()
    mel = g.node("Slice", ["aud_cond", g.i64(0), g.i64(N_MELS), g.i64(2)])         # [1,80,80]
    floored = g.node("Max", [mel, g.const(w["mo_floor"])])
    z = g.node("Div", [g.node("Sub", [floored, g.const(w["mo_mean"])]), g.const(w["mo_std"])])
    loud = g.node("ReduceMean", [mel], axes=[2], keepdims=1)                        # [1,80,1]
    gate = g.gate(loud, w["mo_gate"])
    z = g.centre(z, gate)
    p = g.ensemble(g.node("Transpose", [z], perm=[0, 2, 1]), w, "mo")              # [1,4,80]
    gated = g.node("Mul", [g.node("Transpose", [p], perm=[0, 2, 1]), gate])
    shape = g.shape_params(gated, "mo", True)
    offsets = g.node("Add", [g.node("MatMul", [shape, g.const(visemes.directions() / lip_scale)]),
                             g.node("Mul", [g.speech_span(gate, 1), g.const(visemes.rest_closing(rest_gap) / lip_scale)])])
    # The engine moves the lips relative to the first frame it emits, which
    # is frame 0 of the first chunk: that frame carries the idle lips, or an
    # utterance that opens on speech would shift every later frame by its
    # first viseme (lips that never close, an offset left in the silence
    # after). Later chunks' frame 0 is cross-faded in at weight zero.
    offsets = g.node("Mul", [offsets, g.const(first_frame_idle_mask())])
    full = g.node("Pad", [offsets, g.i64(0, 0, POSE_VALUES, 0, 0, 0)])             # [1,80,265]
    g.node("Add", [g.node("Unsqueeze", ["kp_cond", g.i64(1)]), full], "pred")
    inputs = [helper.make_tensor_value_info("kp_cond", F32, [1, VECTOR]),
              helper.make_tensor_value_info("aud_cond", F32, [1, 80, 1103])]
    return g.model("lmdm", inputs, [helper.make_tensor_value_info("pred", F32, [1, 80, VECTOR])])
