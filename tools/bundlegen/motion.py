"""Keypoint-motion directory and face-coefficient adapter of a synthetic bundle.

The motion directory (here the bundle directory itself) holds meta.json, the
raw float32 tables and three small ONNX models:

- hubert_student.onnx: log-mel [1, 80, 21] -> features [1, 20, 1024]. The
  first LOUD_DIMS features are the frame's loudness (the mean mel magnitude
  of two adjacent analysis frames, about 12 x RMS for voiced sound, ~0 in
  silence); the rest mix a coarse spectral projection.
- lmdm.onnx: conditioning vector [1, 265] and rows [1, 80, 1103] -> motion
  vectors [1, 80, 265]: the conditioning vector plus, on the lip expression
  values, a gain times the (3-frame smoothed) loudness read back from the
  normalised features. Silence therefore repeats the conditioning vector.
- stitch.onnx: x_s [1, 63], x_d [1, 63] -> [1, 21, 3], x_d + 0.25 (x_d - x_s),
  which is x_s itself when nothing moved.

The rows of src_xs_info.bin reproduce the bundle's xs_target.bin through the
engine's keypoint formula s * (c R + e) + (t0, t1, 0), so a silent utterance
drives exactly the idle loop.

With `fitted` (the demo preset), hubert_student.onnx and lmdm.onnx are the
phoneme-fitted models of tools/lipfit instead.

fca_stream.onnx: cond [1, 5376], prev [1, 63], h [384] -> m [1, 63], hn [384],
a small recurrent cell whose lip coefficients open with the speech encoder's
loudness channel (feature channel 0) over the conditioning window.
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from . import members as mb

N_FFT, N_BINS, N_MELS, N_FRAMES, HOP, SPAN, PAD = 512, 257, 80, 21, 320, 6480, 256
FEAT, VECTOR, POSE_VALUES, COND = 1024, 265, 202, 1103
LOUD_DIMS = 8
N_EMO = 4
LIP_GAIN = 0.03          # lip expression per unit of loudness
LIP_RANGE = 0.12         # clamp of the lip expression around the template's
STITCH_GAIN = 0.25
CH_SCALE_RATIO = 0.8     # template scale over src row 0's: the engine's lip ratio

FILES = ("meta.json", "hubert_stft_window.bin", "hubert_stft_binmat.bin", "hubert_fmean.bin",
         "hubert_fstd.bin", "emo.bin", "ch_xs_info.bin", "ch_sc.bin", "ch_eye_open.bin",
         "ch_eye_ball.bin", "v_min_max.bin", "src_xs_info.bin", "hubert_student.onnx",
         "lmdm.onnx", "stitch.onnx")
FCA = "fca_stream.onnx"


def window():
    n = np.arange(N_FFT)
    return (0.5 - 0.5 * np.cos(2 * np.pi * n / N_FFT)).astype(np.float32)


def mel_matrix(sr=16000):
    """257 x 80 triangular filters on the HTK mel scale, 0 to 8 kHz."""
    def hz2mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def mel2hz(m):
        return 700.0 * (10.0 ** (m / 2595.0) - 1.0)

    pts = mel2hz(np.linspace(hz2mel(0.0), hz2mel(sr / 2.0), N_MELS + 2))
    freqs = np.arange(N_BINS) * sr / N_FFT
    w = np.zeros((N_BINS, N_MELS))
    for m in range(N_MELS):
        lo, c, hi = pts[m], pts[m + 1], pts[m + 2]
        up = (freqs - lo) / max(c - lo, 1e-9)
        down = (hi - freqs) / max(hi - c, 1e-9)
        w[:, m] = np.maximum(0.0, np.minimum(up, down))
    return w.astype(np.float32)


def log_mel(samples, win, binmat):
    """The engine's log-mel of SPAN samples in double precision: [80, 21]."""
    x = np.pad(np.asarray(samples, np.float64), PAD, mode="reflect")
    frames = np.stack([x[b * HOP:b * HOP + N_FFT] for b in range(N_FRAMES)])
    mag = np.abs(np.fft.rfft(frames * win.astype(np.float64), axis=1))
    return np.log(mag @ binmat.astype(np.float64) + 1e-8).T


def bin66(logits):
    p = np.exp(logits.astype(np.float64) - logits.max())
    p /= p.sum()
    return 3.0 * float((p * np.arange(66)).sum()) - 97.5


def pose_to_r(x, y, z):
    x, y, z = np.radians([x, y, z])
    c1, s1, c2, s2, c3, s3 = np.cos(x), np.sin(x), np.cos(y), np.sin(y), np.cos(z), np.sin(z)
    return np.array([[c2 * c3, c2 * s3, -s2],
                     [s1 * s2 * c3 - s3 * c1, c1 * c3 + s1 * s2 * s3, s1 * c2],
                     [s1 * s3 + c1 * s2 * c3, c1 * s2 * s3 - c3 * s1, c1 * c2]])


def _angle_logits(deg):
    """66 logits whose bin66 lies close to `deg`."""
    mu = (deg + 97.5) / 3.0
    i = np.arange(66)
    return (-0.5 * ((i - mu) / 1.5) ** 2).astype(np.float32)


def _save(model, path):
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)


def _const(name, arr):
    return numpy_helper.from_array(np.asarray(arr), name=name)


def _i64(*v):
    return np.array(v, dtype=np.int64)


def student_model(rng):
    u = np.zeros((1, 1, FEAT), np.float32)
    u[..., :LOUD_DIMS] = 1.0
    u[..., LOUD_DIMS:] = 0.05 * rng.standard_normal(FEAT - LOUD_DIMS)
    p = (0.05 * rng.standard_normal((N_MELS, 16))).astype(np.float32)
    q = (0.5 * rng.standard_normal((16, FEAT))).astype(np.float32)
    q[:, :LOUD_DIMS] = 0.0
    inits = [_const("u", u), _const("P", p), _const("Q", q), _const("half", np.float32(0.5)),
             _const("tenth", np.float32(0.1)), _const("s0", _i64(0)), _const("s1", _i64(1)),
             _const("e20", _i64(20)), _const("e21", _i64(21)), _const("ax1", _i64(1)), _const("ax2", _i64(2))]
    nodes = [
        helper.make_node("Exp", ["mel"], ["mag"]),
        helper.make_node("ReduceMean", ["mag"], ["mm"], axes=[1], keepdims=1),          # [1,1,21]
        helper.make_node("Slice", ["mm", "s0", "e20", "ax2"], ["mm_a"]),
        helper.make_node("Slice", ["mm", "s1", "e21", "ax2"], ["mm_b"]),
        helper.make_node("Add", ["mm_a", "mm_b"], ["mm_s"]),
        helper.make_node("Mul", ["mm_s", "half"], ["loud_r"]),                          # [1,1,20]
        helper.make_node("Transpose", ["loud_r"], ["loud"], perm=[0, 2, 1]),            # [1,20,1]
        helper.make_node("Mul", ["loud", "u"], ["f_loud"]),                              # [1,20,1024]
        helper.make_node("Transpose", ["mel"], ["melT"], perm=[0, 2, 1]),               # [1,21,80]
        helper.make_node("MatMul", ["melT", "P"], ["sp"]),                              # [1,21,16]
        helper.make_node("Slice", ["sp", "s0", "e20", "ax1"], ["sp_a"]),
        helper.make_node("Slice", ["sp", "s1", "e21", "ax1"], ["sp_b"]),
        helper.make_node("Add", ["sp_a", "sp_b"], ["sp_s"]),
        helper.make_node("Mul", ["sp_s", "tenth"], ["sp_m"]),
        helper.make_node("Tanh", ["sp_m"], ["sp_t"]),
        helper.make_node("MatMul", ["sp_t", "Q"], ["f_spec"]),                          # [1,20,1024]
        helper.make_node("Add", ["f_loud", "f_spec"], ["feat"]),
    ]
    g = helper.make_graph(nodes, "hubert_student",
                          [helper.make_tensor_value_info("mel", TensorProto.FLOAT, [1, N_MELS, N_FRAMES])],
                          [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, 20, FEAT])], inits)
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])


def lip_direction():
    """Unit lip motion on the 63 expression values: lips part vertically,
    mouth corners draw in."""
    d = np.zeros((mb.KP_ROWS, 3), np.float32)
    d[[14, 19], 1] = -0.5
    d[[17, 20], 1] = 1.0
    d[6, 0] = 0.25
    d[12, 0] = -0.25
    return d.reshape(-1)


def lmdm_model(fmean, fstd):
    dvec = np.zeros((1, 1, VECTOR), np.float32)
    dvec[0, 0, POSE_VALUES:] = LIP_GAIN * lip_direction()
    # A trace of loudness in the head scale and translation, so the chunk
    # conditioning carries something from chunk to chunk.
    dvec[0, 0, 0] = 0.002
    dvec[0, 0, 199:201] = 0.001
    inits = [_const("fmean8", fmean[:LOUD_DIMS].reshape(1, 1, -1)), _const("fstd8", fstd[:LOUD_DIMS].reshape(1, 1, -1)),
             _const("s0", _i64(0)), _const("e8", _i64(LOUD_DIMS)), _const("ax2", _i64(2)),
             _const("shape_t", _i64(1, 1, 80)), _const("shape_f", _i64(1, 80, 1)),
             _const("pads", _i64(0, 0, 1, 0, 0, 1)), _const("kern", np.array([[[0.25, 0.5, 0.25]]], np.float32)),
             _const("dvec", dvec)]
    nodes = [
        helper.make_node("Slice", ["aud_cond", "s0", "e8", "ax2"], ["a8"]),             # [1,80,8]
        helper.make_node("Sub", ["a8", "fmean8"], ["a8c"]),
        helper.make_node("Div", ["a8c", "fstd8"], ["a8n"]),
        helper.make_node("ReduceMean", ["a8n"], ["loud"], axes=[2], keepdims=1),        # [1,80,1]
        helper.make_node("Reshape", ["loud", "shape_t"], ["loud_t"]),                   # [1,1,80]
        helper.make_node("Pad", ["loud_t", "pads"], ["loud_p"], mode="edge"),           # [1,1,82]
        helper.make_node("Conv", ["loud_p", "kern"], ["loud_s"]),                       # [1,1,80]
        helper.make_node("Reshape", ["loud_s", "shape_f"], ["loud_f"]),                 # [1,80,1]
        helper.make_node("Mul", ["loud_f", "dvec"], ["delta"]),                          # [1,80,265]
        helper.make_node("Unsqueeze", ["kp_cond", "ax1"], ["kp3"]),                     # [1,1,265]
        helper.make_node("Add", ["kp3", "delta"], ["pred"]),
    ]
    inits.append(_const("ax1", _i64(1)))
    g = helper.make_graph(nodes, "lmdm",
                          [helper.make_tensor_value_info("kp_cond", TensorProto.FLOAT, [1, VECTOR]),
                           helper.make_tensor_value_info("aud_cond", TensorProto.FLOAT, [1, 80, COND])],
                          [helper.make_tensor_value_info("pred", TensorProto.FLOAT, [1, 80, VECTOR])], inits)
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])


def stitch_model():
    inits = [_const("gain", np.float32(STITCH_GAIN)), _const("shape", _i64(1, 21, 3))]
    nodes = [
        helper.make_node("Sub", ["x_d", "x_s"], ["diff"]),
        helper.make_node("Mul", ["diff", "gain"], ["corr"]),
        helper.make_node("Add", ["x_d", "corr"], ["k_flat"]),
        helper.make_node("Reshape", ["k_flat", "shape"], ["k"]),
    ]
    g = helper.make_graph(nodes, "stitch",
                          [helper.make_tensor_value_info("x_s", TensorProto.FLOAT, [1, 63]),
                           helper.make_tensor_value_info("x_d", TensorProto.FLOAT, [1, 63])],
                          [helper.make_tensor_value_info("k", TensorProto.FLOAT, [1, 21, 3])], inits)
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])


def source_rows(kp):
    """nt x 328 frame information rows whose keypoint formula gives kp."""
    nt = kp.shape[0]
    t = np.arange(nt)
    phase = 2 * np.pi * t / max(nt, 1)
    pitch, yaw, roll = 2.0 * np.sin(phase), 3.0 * np.sin(phase + 1.0), 1.5 * np.cos(phase)
    scale = 1.0 + 0.02 * np.sin(2 * phase)
    k0 = kp[0].astype(np.float64)
    centre0 = k0[:, :2].mean(axis=0)
    canon = k0.copy()
    canon[:, :2] -= centre0
    rows = np.zeros((nt, 328), np.float32)
    for f in range(nt):
        r = rows[f]
        r[126:192] = _angle_logits(pitch[f])
        r[262:328] = _angle_logits(yaw[f])
        r[192:258] = _angle_logits(roll[f])
        r[258] = scale[f]
        centre = kp[f, :, :2].astype(np.float64).mean(axis=0)
        r[259:261] = centre
        r[261] = 0.0
        r[63:126] = canon.reshape(-1)
        rot = pose_to_r(bin66(r[126:192]), bin66(r[262:328]), bin66(r[192:258]))
        shift = np.array([r[259], r[260], 0.0])
        expr = (kp[f].astype(np.float64) - shift) / float(r[258]) - canon @ rot
        r[0:63] = expr.reshape(-1)
    return rows


def write_motion(out_dir, kp, rng, fitted=False):
    """Writes the motion directory files for keypoints kp (nt x 21 x 3);
    with `fitted`, the phoneme-fitted student and motion generator of
    tools/lipfit instead of the loudness ones."""
    nt = kp.shape[0]
    os.makedirs(out_dir, exist_ok=True)

    def raw(name, arr):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(np.asarray(arr, "<f4").tobytes())

    src = source_rows(kp)
    ch = src[0].copy()
    ch[258] = CH_SCALE_RATIO * src[0, 258]
    fmean = (0.1 * rng.standard_normal(FEAT)).astype(np.float32)
    fstd = (0.5 + rng.random(FEAT)).astype(np.float32)
    ref = np.zeros(VECTOR, np.float32)
    ref[0] = ch[258] - 1
    ref[1:67], ref[67:133], ref[133:199] = ch[126:192], ch[262:328], ch[192:258]
    ref[199:202], ref[202:] = ch[259:262], ch[0:63]
    vmin = np.full(VECTOR, -1e3, np.float32)
    vmax = np.full(VECTOR, 1e3, np.float32)
    vmin[POSE_VALUES:] = ref[POSE_VALUES:] - LIP_RANGE
    vmax[POSE_VALUES:] = ref[POSE_VALUES:] + LIP_RANGE

    with open(os.path.join(out_dir, "meta.json"), "w") as f:
        json.dump({"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": 1.0, "delta_pitch": 0.0}, f, indent=1)
    raw("hubert_stft_window.bin", window())
    raw("hubert_stft_binmat.bin", mel_matrix())
    raw("hubert_fmean.bin", fmean)
    raw("hubert_fstd.bin", fstd)
    raw("emo.bin", 0.1 * rng.standard_normal((N_EMO, 8)))
    raw("ch_xs_info.bin", ch)
    raw("ch_sc.bin", kp[0].reshape(-1))
    raw("ch_eye_open.bin", [0.35, 0.35])
    raw("ch_eye_ball.bin", np.zeros(6))
    raw("v_min_max.bin", np.concatenate([vmin, vmax]))
    raw("src_xs_info.bin", src)
    student, generator = student_model(rng), lmdm_model(fmean, fstd)
    if fitted:
        from lipfit import models, visemes, weights
        # The fitted student reports the log-mel itself: no feature scaling.
        raw("hubert_fmean.bin", np.zeros(FEAT))
        raw("hubert_fstd.bin", np.ones(FEAT))
        student = models.student()
        generator = models.lmdm(weights.load(), (1.0 + STITCH_GAIN) * CH_SCALE_RATIO, visemes.rest_gap(kp))
    _save(student, os.path.join(out_dir, "hubert_student.onnx"))
    _save(generator, os.path.join(out_dir, "lmdm.onnx"))
    _save(stitch_model(), os.path.join(out_dir, "stitch.onnx"))


# ---- face-coefficient adapter ----

FCA_FEAT, FCA_WIN, FCA_H = 768, 7, 384
FCA_WEIGHTS = (0.15, 0.5, 0.15, 0.08, 0.06, 0.04, 0.02)   # over offsets -1..5
FCA_GAIN = 0.01


def fca_model():
    """Lip opening from feature channel 0 of the conditioning window
    (weighted towards the current frame), the speech encoder's loudness
    detector; a leaky recurrence through prev and the first 63 values of h."""
    w7 = np.array([FCA_WEIGHTS], np.float32)                               # [1,7]
    lip = (FCA_GAIN * lip_direction()).reshape(1, 63).astype(np.float32)
    inits = [_const("w7", w7), _const("lip", lip),
             _const("shape7", _i64(FCA_WIN, FCA_FEAT)), _const("shape_h", _i64(1, FCA_H)),
             _const("shape_hn", _i64(FCA_H)), _const("keep", np.float32(0.3)), _const("decay", np.float32(0.5)),
             _const("mix", np.float32(0.1)), _const("s0", _i64(0)), _const("e1", _i64(1)), _const("e63", _i64(63)), _const("ax1", _i64(1)),
             _const("pads", _i64(0, 0, 0, FCA_H - 63))]
    nodes = [
        helper.make_node("Reshape", ["cond", "shape7"], ["c7"]),                # [7,768]
        helper.make_node("MatMul", ["w7", "c7"], ["cw"]),                       # [1,768]
        helper.make_node("Slice", ["cw", "s0", "e1", "ax1"], ["level"]),          # [1,1]
        helper.make_node("Mul", ["level", "lip"], ["drive"]),                   # [1,63]
        helper.make_node("Reshape", ["h", "shape_h"], ["h2"]),                  # [1,384]
        helper.make_node("Slice", ["h2", "s0", "e63", "ax1"], ["h63"]),
        helper.make_node("Mul", ["h63", "mix"], ["hm"]),
        helper.make_node("Mul", ["prev", "keep"], ["pk"]),
        helper.make_node("Add", ["drive", "pk"], ["m0"]),
        helper.make_node("Add", ["m0", "hm"], ["m"]),
        helper.make_node("Pad", ["m", "pads"], ["mp"]),                         # [1,384]
        helper.make_node("Mul", ["h2", "decay"], ["hd"]),
        helper.make_node("Add", ["hd", "mp"], ["hn2"]),
        helper.make_node("Reshape", ["hn2", "shape_hn"], ["hn"]),
    ]
    g = helper.make_graph(nodes, "fca_stream",
                          [helper.make_tensor_value_info("cond", TensorProto.FLOAT, [1, FCA_WIN * FCA_FEAT]),
                           helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, 63]),
                           helper.make_tensor_value_info("h", TensorProto.FLOAT, [FCA_H])],
                          [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, 63]),
                           helper.make_tensor_value_info("hn", TensorProto.FLOAT, [FCA_H])], inits)
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])


def write_fca(out_dir):
    _save(fca_model(), os.path.join(out_dir, FCA))
