#!/usr/bin/env python3
"""Writes a known signal and its keypoint-motion log-mel, computed by numpy in
double precision, for the engine's front-end test.

    motion_reference.py --out DIR [--encoder PATH]

DIR gets signal.f32 (6480 samples), window.f32 (512), binmat.f32 (257 x 80)
and mel.f64 (80 x 21, mel-major), all little-endian. --encoder also writes a
small stand-in for the 8-second speech encoder ("input_values" [1, 128000]
-> "audio_emb" [12, 200, 768]) whose features follow each frame's RMS.
"""
import argparse
import os

import numpy as np

from bundlegen import motion as mo


def signal():
    """A chirp over the speech band with a tone burst and a little noise;
    every analysis frame has energy in every mel band."""
    t = np.arange(mo.SPAN) / 16000.0
    x = 0.3 * np.sin(2 * np.pi * (100 * t + 0.5 * 7000 / t[-1] * t ** 2))
    x += 0.2 * np.sin(2 * np.pi * 440 * t) * (t > 0.1) * (t < 0.25)
    x += 0.01 * np.random.default_rng(7).standard_normal(mo.SPAN)
    return x.astype(np.float32)


def standin_encoder(path):
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    rng = np.random.default_rng(11)
    u = (0.5 + rng.random((12, 1, 768))).astype(np.float32)
    b = (0.05 * rng.standard_normal((12, 1, 768))).astype(np.float32)
    inits = [numpy_helper.from_array(u, "u"), numpy_helper.from_array(b, "b"),
             numpy_helper.from_array(np.array([200, 640], np.int64), "shape")]
    nodes = [
        helper.make_node("Reshape", ["input_values", "shape"], ["frames"]),
        helper.make_node("Mul", ["frames", "frames"], ["sq"]),
        helper.make_node("ReduceMean", ["sq"], ["ms"], axes=[1], keepdims=1),   # [200,1]
        helper.make_node("Sqrt", ["ms"], ["rms"]),
        helper.make_node("Mul", ["rms", "u"], ["scaled"]),                      # [12,200,768]
        helper.make_node("Add", ["scaled", "b"], ["audio_emb"]),
    ]
    g = helper.make_graph(nodes, "standin_encoder",
                          [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, 128000])],
                          [helper.make_tensor_value_info("audio_emb", TensorProto.FLOAT, [12, 200, 768])], inits)
    model = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True)
    ap.add_argument("--encoder")
    a = ap.parse_args()
    if a.encoder:
        standin_encoder(a.encoder)
    os.makedirs(a.out, exist_ok=True)
    x, win, mat = signal(), mo.window(), mo.mel_matrix()
    mel = mo.log_mel(x, win, mat)
    for name, arr, dt in (("signal.f32", x, "<f4"), ("window.f32", win, "<f4"), ("binmat.f32", mat, "<f4"),
                          ("mel.f64", mel, "<f8")):
        with open(os.path.join(a.out, name), "wb") as f:
            f.write(np.ascontiguousarray(arr, dt).tobytes())


if __name__ == "__main__":
    main()
