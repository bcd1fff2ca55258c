#!/usr/bin/env python3
"""Fits the demo's speech-to-lip readouts on a phoneme-timed corpus of
espeak-ng and flite speech and writes their weights (the committed
tools/lipfit/weights.npz).

    fit_lips.py [--out FILE] [--renditions N]

Deterministic for a given espeak-ng and flite: the voices, levels and the
fitting are seeded. Takes about ten minutes; the bundle generators only
read the result.
"""
import argparse
import os
import sys

import numpy as np

from lipfit import fit, weights


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=weights.PATH)
    ap.add_argument("--renditions", type=int, default=2, help="voices per sentence")
    a = ap.parse_args(argv)
    try:
        w, _ = fit.build_weights(a.renditions)
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
