"""The committed fitted weights (written by tools/fit_lips.py)."""
import os

import numpy as np

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "weights.npz")


def load(path=PATH):
    try:
        with np.load(path) as z:
            return {k: z[k] for k in z.files}
    except OSError as e:
        raise OSError("cannot read the fitted lip weights %s (tools/fit_lips.py writes them): %s" % (path, e))
