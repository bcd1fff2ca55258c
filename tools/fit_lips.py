#!/usr/bin/env python3
"""Fits the demo's speech-to-lip readouts on a phoneme-timed corpus of
espeak-ng and flite speech and writes their weights (the committed
tools/lipfit/weights.npz).

    fit_lips.py [--out FILE] [--renditions N] [--flite-renditions N] [--stream-renditions N] [--epochs N]
                [--cache DIR]

Needs torch (Debian's python3-torch; bash scripts/setup.sh fit installs it).
Deterministic for a given espeak-ng, flite and torch on the CPU: the
voices, levels, initial weights, batches and augmentation are seeded and
torch runs its deterministic algorithms on two threads. Takes about thirty
minutes on two cores; the bundle generators only read the result, with
numpy.
"""
import argparse
import os
import sys

import numpy as np

from lipfit import fit, weights


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=weights.PATH)
    ap.add_argument("--renditions", type=int, default=8, help="espeak-ng voices per sentence for the motion readout")
    ap.add_argument("--flite-renditions", type=int, default=4, help="flite voices per sentence for the motion readout")
    ap.add_argument("--stream-renditions", type=int, default=4, help="voices per sentence for the stream readout")
    ap.add_argument("--cache", help="directory that keeps the corpus features between fits")
    ap.add_argument("--epochs", type=int, default=40, help="passes over the corpus per readout")
    a = ap.parse_args(argv)
    try:
        import torch  # noqa: F401
    except ImportError as e:
        print("fit_lips.py: fitting needs torch (Debian's python3-torch, or bash scripts/setup.sh fit): %s" % e,
              file=sys.stderr)
        return 2
    try:
        w = fit.build_weights(a.renditions, a.stream_renditions, a.flite_renditions, a.epochs, a.cache)
        tmp = "%s.%d.tmp.npz" % (a.out, os.getpid())
        np.savez_compressed(tmp, **w)
        os.replace(tmp, a.out)
    except (OSError, RuntimeError, ValueError) as e:
        print("fit_lips.py: %s" % e, file=sys.stderr)
        return 2
    print("wrote %s (%d B)" % (a.out, os.path.getsize(a.out)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
