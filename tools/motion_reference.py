#!/usr/bin/env python3
"""Writes a known signal and its keypoint-motion log-mel, computed by numpy in
double precision, for the engine's front-end test.

    motion_reference.py --out DIR

DIR gets signal.f32 (6480 samples), window.f32 (512), binmat.f32 (257 x 80)
and mel.f64 (80 x 21, mel-major), all little-endian.
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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    x, win, mat = signal(), mo.window(), mo.mel_matrix()
    mel = mo.log_mel(x, win, mat)
    for name, arr, dt in (("signal.f32", x, "<f4"), ("window.f32", win, "<f4"), ("binmat.f32", mat, "<f4"),
                          ("mel.f64", mel, "<f8")):
        with open(os.path.join(a.out, name), "wb") as f:
            f.write(np.ascontiguousarray(arr, dt).tobytes())


if __name__ == "__main__":
    main()
